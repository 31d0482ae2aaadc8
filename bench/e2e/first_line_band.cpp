// first_line_band: how many bytes of a simulated page's JPEG a decoder needs
// before it can give the page's first line, counted in whole bands as the
// simulator sends them. With the simulator's band log this tells when the
// band that completes the first line went out, to set beside the moment the
// frontend got its first byte.
//
// usage: first_line_band XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS BAND_SIZE
//   the request as the simulator logged it (device pixels, 1 grey or 3
//   colour); the page is made exactly as the simulator makes it.
// prints: first_line_bytes=N band=K bands=T jpeg_bytes=S
//   N: JPEG bytes up to the end of band K (0-based), the first band after
//   which libjpeg (default settings, as the backend decodes) returns a line.
//   That is the first line of the frame only when the page needs no rescale
//   (the device resolution is the requested one).
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs stdio first.
#include <jpeglib.h>

#include <algorithm>
#include <vector>

#include "tools/scanner_sim/page_image.h"

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf escape;
};

[[noreturn]] void on_error(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->escape, 1); }

// A source that holds the bytes received so far and suspends the decoder at
// their end; `end` grows band by band.
struct BandSource {
    jpeg_source_mgr pub;
    const uint8_t* data;
    size_t end;
    size_t skip;  // bytes the decoder asked to skip beyond what has arrived
};

void init_source(j_decompress_ptr) {}
boolean fill_input_buffer(j_decompress_ptr) { return FALSE; }  // suspend: wait for the next band
void term_source(j_decompress_ptr) {}
void skip_input_data(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<BandSource*>(cinfo->src);
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    if (n <= src->pub.bytes_in_buffer) {
        src->pub.next_input_byte += n;
        src->pub.bytes_in_buffer -= n;
    } else {
        src->skip = n - src->pub.bytes_in_buffer;
        src->pub.next_input_byte += src->pub.bytes_in_buffer;
        src->pub.bytes_in_buffer = 0;
    }
}

// Makes the bytes up to `end` available to the decoder.
void extend(BandSource* src, size_t end) {
    src->end = end;
    const uint8_t* at = src->pub.next_input_byte;
    size_t left = static_cast<size_t>(src->data + end - at);
    const size_t skipped = src->skip < left ? src->skip : left;
    src->skip -= skipped;
    src->pub.next_input_byte = at + skipped;
    src->pub.bytes_in_buffer = left - skipped;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned v[7];
    char tail = 0;
    if (argc != 3 || sscanf(argv[1], "%u,%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &tail) != 7 ||
        atol(argv[2]) <= 0) {
        fprintf(stderr, "usage: first_line_band XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS BAND_SIZE\n");
        return 2;
    }
    orvela_sim::PageRequest request;
    request.xres = v[0];
    request.yres = v[1];
    request.x = v[2];
    request.y = v[3];
    request.width = v[4];
    request.height = v[5];
    request.channels = static_cast<int>(v[6]);
    const size_t band = static_cast<size_t>(atol(argv[2]));
    const auto jpeg = orvela_sim::render_page_jpeg(request);
    if (!jpeg) {
        fprintf(stderr, "first_line_band: the simulator makes no page for %s\n", argv[1]);
        return 1;
    }

    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    if (setjmp(err.escape)) {
        fprintf(stderr, "first_line_band: the page does not decode\n");
        jpeg_destroy_decompress(&cinfo);
        return 1;
    }
    jpeg_create_decompress(&cinfo);
    BandSource src{};
    src.pub.init_source = init_source;
    src.pub.fill_input_buffer = fill_input_buffer;
    src.pub.skip_input_data = skip_input_data;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = term_source;
    src.data = jpeg->data();
    src.pub.next_input_byte = src.data;
    cinfo.src = &src.pub;

    const size_t bands = (jpeg->size() + band - 1) / band;
    std::vector<JSAMPLE> row;
    int stage = 0;  // 0 header, 1 start, 2 first line
    for (size_t k = 0; k < bands; ++k) {
        extend(&src, std::min(jpeg->size(), (k + 1) * band));
        if (stage == 0 && jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) stage = 1;
        if (stage == 1 && jpeg_start_decompress(&cinfo)) {
            row.resize(static_cast<size_t>(cinfo.output_width) * cinfo.output_components);
            stage = 2;
        }
        JSAMPROW rows[1] = {row.data()};
        if (stage == 2 && jpeg_read_scanlines(&cinfo, rows, 1) == 1) {
            printf("first_line_bytes=%zu band=%zu bands=%zu jpeg_bytes=%zu\n", src.end, k, bands, jpeg->size());
            jpeg_abort_decompress(&cinfo);
            jpeg_destroy_decompress(&cinfo);
            return 0;
        }
    }
    fprintf(stderr, "first_line_band: no line after the whole page\n");
    jpeg_destroy_decompress(&cinfo);
    return 1;
}
