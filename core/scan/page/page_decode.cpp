// Decoding of one scanned page: the JPEG stream in the page file becomes rows
// of 8-bit samples in one buffer, each row decoded straight into its final
// place.
//
// The file is read in pieces into a StreamDecoder, the decoder of the page
// streamed from the device: one decoder for both deliveries, so the same
// libjpeg calls give the same bytes, and the same status for a corrupt page or
// one cut short (SCAN_STATUS_IO_ERROR). A page is cut short when the file ends
// while the decoder still wants bytes. SCAN_STATUS_NO_MEM: no page buffer.
#include "core/scan/page/page_decode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/debugtool.h"
#include "core/scan/page/stream_decoder.h"

namespace {

// The page file is read in pieces of this size, each when the decoder runs
// out of bytes.
constexpr size_t kReadPiece = size_t{64} << 10;

// Hands the decoder the next piece of the page file. 1: bytes were added;
// 0: the file has ended; -1: a read error, or input that the decoder will not
// take (more than it ever waits for, or no memory).
int feed_page_piece(StreamDecoder& decoder, int fd) {
    unsigned char* space = decoder.input_space(kReadPiece);
    if (space == nullptr) return -1;
    ssize_t n;
    do {
        n = read(fd, space, kReadPiece);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n == 0 ? 0 : -1;
    decoder.commit_input(static_cast<size_t>(n));
    return 1;
}

}  // namespace

bool frame_fits_bed(unsigned width, unsigned height, unsigned x_dpi, unsigned y_dpi) {
    if (x_dpi == 0 || y_dpi == 0) {
        x_dpi = 1200;
        y_dpi = 600;
    }
    const uint64_t bed_w = uint64_t{x_dpi} * 17 / 2;  // 215.9 mm = 8.5 in
    const uint64_t bed_h = uint64_t{y_dpi} * 14;      // 355.6 mm = 14 in
    return width > 0 && height > 0 && width <= bed_w + bed_w / 32 && height <= bed_h + bed_h / 32;
}

bool servable_frame(unsigned w, unsigned h, unsigned C, DeviceTier tier) {
    if (frame_fits_bed(w, h, tier.x_dpi, tier.y_dpi) && (C == 1 || C == 3)) return true;
    DBG_INFO("Refuse page of %ux%u pixels, %u components\n", w, h, C);
    return false;
}

void free_page_images(ORVELA_IMAGE_RAW* src, ORVELA_IMAGE_RAW* dst) {
    if (dst->img_data != src->img_data) free(dst->img_data);
    free(src->img_data);
    src->img_data = nullptr;
    dst->img_data = nullptr;
}

SCAN_Status decode_page_file(const char* filename, DeviceTier tier, PageSink* sink, ORVELA_IMAGE_RAW* page) {
    if (filename == nullptr) return SCAN_STATUS_IO_ERROR;
    StreamDecoder decoder;
    if (!decoder.init()) return SCAN_STATUS_IO_ERROR;  // no libjpeg, or no memory for it
    // O_NONBLOCK: a FIFO at the path blocks neither the open nor a read.
    const int fd = open(filename, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return SCAN_STATUS_IO_ERROR;

    unsigned char* buffer = nullptr;  // malloc'ed: page images are released with free
    size_t stride = 0;
    bool input_ended = false;
    SCAN_Status status = SCAN_STATUS_GOOD;
    for (;;) {
        unsigned char* row = buffer != nullptr ? buffer + decoder.rows_done() * stride : nullptr;
        const StreamDecoder::Step step = decoder.step(row);
        if (step == StreamDecoder::Step::Done) break;
        if (step == StreamDecoder::Step::Row) {
            if (sink != nullptr) sink->rows_ready(decoder.rows_done());
        } else if (step == StreamDecoder::Step::Header) {
            const unsigned w = decoder.width(), h = decoder.height(), C = decoder.components();
            // A page larger than the device can scan (a corrupt or foreign
            // header) is refused before anything is allocated for it; so are
            // sample layouts the page path cannot serve.
            if (!servable_frame(w, h, C, tier)) {
                status = SCAN_STATUS_IO_ERROR;
                break;
            }
            stride = size_t{w} * C;
            buffer = static_cast<unsigned char*>(malloc(stride * h));
            if (buffer == nullptr) {
                status = SCAN_STATUS_NO_MEM;
                break;
            }
            if (sink != nullptr) sink->begin(buffer, w, h, C);
        } else if (step == StreamDecoder::Step::NeedData && !input_ended) {
            const int fed = feed_page_piece(decoder, fd);
            if (fed < 0) {
                DBG_INFO("Fail to read page file %s\n", filename);
                status = SCAN_STATUS_IO_ERROR;
                break;
            }
            // At the end of the file a frame that waited for its whole input
            // goes on; anything else still wants bytes that will not come.
            input_ended = fed == 0;
            if (input_ended && !decoder.end_input()) {
                DBG_INFO("Page file %s ends inside the page\n", filename);
                status = SCAN_STATUS_IO_ERROR;
                break;
            }
        } else {
            // Failed, or more bytes wanted after the end of the file: a page
            // cut short.
            DBG_INFO("Fail to decode page file %s\n", filename);
            status = SCAN_STATUS_IO_ERROR;
            break;
        }
    }
    close(fd);

    if (status != SCAN_STATUS_GOOD) {
        if (buffer != nullptr && sink != nullptr) sink->abandon();
        free(buffer);
        return status;
    }
    *page = {buffer, decoder.width(), decoder.height(), decoder.components()};
    return SCAN_STATUS_GOOD;
}

