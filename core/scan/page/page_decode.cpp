// Decoding of a page file: the row pipeline (page_rows.h) over the file, read
// in pieces, with no rescaling, so that a page file gives the bytes and the
// statuses (SCAN_STATUS_IO_ERROR for a corrupt page or one cut short) of a
// page pulled from the device.
#include "core/scan/page/page_decode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/debugtool.h"
#include "core/scan/page/page_rows.h"

namespace {

// The page file as the pipeline's source.
class FileSource final : public PageSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    Got read(unsigned char* into, size_t room, size_t* got, bool) override {
        ssize_t n;
        do {
            n = ::read(fd_, into, room);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return n == 0 ? Got::End : Got::Failed;
        *got = static_cast<size_t>(n);
        return Got::Data;
    }
    // Bytes after the image belong to no row, and a file has nothing to wait for.
    Got drain() override { return Got::End; }

private:
    int fd_;
};

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

bool servable_frame(unsigned w, unsigned h, unsigned C, DeviceTier tier, LogHold* log) {
    if (frame_fits_bed(w, h, tier.x_dpi, tier.y_dpi) && (C == 1 || C == 3)) return true;
    DBG_HELD(log, "Refuse page of %ux%u pixels, %u components\n", w, h, C);
    return false;
}

SCAN_Status decode_page_file(const char* filename, DeviceTier tier, ORVELA_IMAGE_RAW* page, SANE_Word resolution,
                             bool bilevel) {
    if (filename == nullptr) return SCAN_STATUS_IO_ERROR;
    // O_NONBLOCK: a FIFO at the path blocks neither the open nor a read.
    const int fd = open(filename, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return SCAN_STATUS_IO_ERROR;
    FileSource source(fd);
    PageRows rows(source, resolution != 0 ? resolution : static_cast<SANE_Word>(tier.x_dpi), tier, bilevel);
    const SANE_Status status = rows.init() ? read_whole_page(rows, page) : SANE_STATUS_IO_ERROR;
    close(fd);
    if (status == SANE_STATUS_GOOD) return SCAN_STATUS_GOOD;
    DBG_INFO("Fail to decode page file %s\n", filename);
    return status == SANE_STATUS_NO_MEM ? SCAN_STATUS_NO_MEM : SCAN_STATUS_IO_ERROR;
}
