#include "core/scan/jpeg_errors.h"

#include <jerror.h>

#include "common/debugtool.h"

namespace {

void log_jpeg_message(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX] = {};
    cinfo->err->format_message(cinfo, text);
    DBG_INFO("libjpeg: %s\n", text);
}

DecodeErrorManager* manager_of(j_common_ptr cinfo) { return reinterpret_cast<DecodeErrorManager*>(cinfo->err); }

[[noreturn]] void on_fatal_error(j_common_ptr cinfo) {
    log_jpeg_message(cinfo);
    fail_decode(manager_of(cinfo), SCAN_STATUS_IO_ERROR);
}

// Warnings are logged; the one that says the data ended early makes the page
// unusable, so it fails like an error.
void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    log_jpeg_message(cinfo);
    if (cinfo->err->msg_code == JWRN_JPEG_EOF) fail_decode(manager_of(cinfo), SCAN_STATUS_IO_ERROR);
    cinfo->err->num_warnings++;
}

}  // namespace

void install_decode_errors(const JpegApi* api, j_decompress_ptr cinfo, DecodeErrorManager* err) {
    cinfo->err = api->std_error(&err->pub);
    err->pub.error_exit = on_fatal_error;
    err->pub.emit_message = on_message;
    err->pub.output_message = log_jpeg_message;
    err->failure = SCAN_STATUS_IO_ERROR;
}

void fail_decode(DecodeErrorManager* err, SCAN_Status why) {
    err->failure = why;
    longjmp(err->escape, 1);
}
