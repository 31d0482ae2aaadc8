#include "core/scan/page/jpeg_errors.h"

#include "common/debugtool.h"

namespace {

void log_jpeg_message(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX] = {};
    cinfo->err->format_message(cinfo, text);
    DBG_INFO("libjpeg: %s\n", text);
}

[[noreturn]] void on_fatal_error(j_common_ptr cinfo) {
    log_jpeg_message(cinfo);
    longjmp(reinterpret_cast<DecodeErrorManager*>(cinfo->err)->escape, 1);
}

void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    log_jpeg_message(cinfo);
    cinfo->err->num_warnings++;
}

}  // namespace

void install_decode_errors(const JpegApi* api, j_decompress_ptr cinfo, DecodeErrorManager* err) {
    cinfo->err = api->std_error(&err->pub);
    err->pub.error_exit = on_fatal_error;
    err->pub.emit_message = on_message;
    err->pub.output_message = log_jpeg_message;
}
