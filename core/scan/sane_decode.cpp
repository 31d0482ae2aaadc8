// Decoding of one scanned page: the complete JPEG stream in the page file
// becomes rows of 8-bit samples in the handle's src_img, one scanline per
// library call straight into its final place.
//
// libjpeg is reached only through the private table (orvela_jpeg_api). Its
// standard error manager would end the host process on a corrupt stream; here
// a fatal error (and the premature end of a truncated page) jumps back to the
// decode, which releases the decompressor, the buffer and the file and
// reports SCAN_STATUS_IO_ERROR (SCAN_STATUS_NO_MEM when the page buffer
// cannot be had).
#include "core/scan/sane_decode.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// jpeglib.h needs stdio first; jerror.h gives the message codes.
#include <jpeglib.h>
#include <jerror.h>

#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/jpeg_private.h"
#include "common/scanner_description.h"
#include "core/scan/jpeg_errors.h"

namespace {

// The decode proper. Every failure leaves through the recovery point below, a
// library error as well as the decoder's own (a refused frame, no memory, a
// stalled read): that one place destroys the decompressor, tells the sink and
// frees the buffer. Only trivially destructible locals live between setjmp
// and a longjmp; what changes after setjmp and is used after the jump is
// volatile. The sink, when there is one, lives in the caller's frame.
SCAN_Status decode_file(orvela_scanner_t* s, const JpegApi* api, FILE* file, PageSink* sink) {
    jpeg_decompress_struct cinfo;
    memset(&cinfo, 0, sizeof cinfo);
    DecodeErrorManager err;
    memset(&err, 0, sizeof err);
    unsigned char* volatile buffer = nullptr;

    install_decode_errors(api, &cinfo, &err);
    if (setjmp(err.escape) != 0) {
        api->destroy_decompress(&cinfo);
        if (buffer != nullptr && sink != nullptr) sink->abandon();
        free(buffer);
        return err.failure;
    }

    api->create_decompress(&cinfo);
    api->stdio_src(&cinfo, file);
    api->read_header(&cinfo, TRUE);
    DBG_INFO("libjpeg version: %d%c\n", 9, 'e');
    DBG_INFO("cinfo.image_width=%d\n", cinfo.image_width);
    DBG_INFO("cinfo.image_height=%d\n", cinfo.image_height);
    api->calc_output_dimensions(&cinfo);
    DBG_INFO("cinfo.output_width=%d\n", cinfo.output_width);
    DBG_INFO("cinfo.output_height=%d\n", cinfo.output_height);
    DBG_INFO("cinfo.output_components=%d\n", cinfo.output_components);

    // A page larger than the device can scan (a corrupt or foreign header) is
    // refused before anything is allocated for it; so are sample layouts the
    // page path cannot serve.
    if (!frame_fits_bed(cinfo.output_width, cinfo.output_height, s->dev_params.xResolution,
                        s->dev_params.yResolution) ||
        (cinfo.output_components != 1 && cinfo.output_components != 3)) {
        DBG_INFO("Refuse page of %ux%u pixels, %d components\n", cinfo.output_width, cinfo.output_height,
                 cinfo.output_components);
        fail_decode(&err, SCAN_STATUS_IO_ERROR);
    }
    const size_t stride = static_cast<size_t>(cinfo.output_width) * static_cast<size_t>(cinfo.output_components);
    // malloc'ed: the page buffers of the handle are released with free.
    buffer = static_cast<unsigned char*>(malloc(stride * cinfo.output_height));
    if (buffer == nullptr) fail_decode(&err, SCAN_STATUS_NO_MEM);
    if (sink != nullptr)
        sink->begin(buffer, cinfo.output_width, cinfo.output_height, static_cast<unsigned>(cinfo.output_components));

    api->start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = buffer + static_cast<size_t>(cinfo.output_scanline) * stride;
        // A standard I/O source never suspends; no progress means a broken
        // stream rather than a reason to spin.
        if (api->read_scanlines(&cinfo, &row, 1) != 1) fail_decode(&err, SCAN_STATUS_IO_ERROR);
        if (sink != nullptr) sink->rows_ready(cinfo.output_scanline);
    }
    api->finish_decompress(&cinfo);
    const ORVELA_IMAGE_RAW page = {buffer, cinfo.output_width, cinfo.output_height,
                                   static_cast<uint32_t>(cinfo.output_components)};
    api->destroy_decompress(&cinfo);

    release_page_buffers(s);
    s->src_img = page;
    return SCAN_STATUS_GOOD;
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

void release_page_buffers(orvela_scanner_t* s) {
    if (s->dst_img.img_data != s->src_img.img_data) free(s->dst_img.img_data);
    free(s->src_img.img_data);
    s->src_img.img_data = nullptr;
    s->dst_img.img_data = nullptr;
}

SCAN_Status decode_page_file(orvela_scanner_t* s, const char* filename, PageSink* sink) {
    const JpegApi* api = orvela_jpeg_api();
    if (s == nullptr || filename == nullptr || api == nullptr) return SCAN_STATUS_IO_ERROR;
    const int fd = open(filename, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return SCAN_STATUS_IO_ERROR;
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        return SCAN_STATUS_IO_ERROR;
    }
    const SCAN_Status status = decode_file(s, api, file, sink);
    fclose(file);
    return status;
}

extern "C" {

SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename) {
    return c_boundary::call("orvela_sane_decompress", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM,
                            [&] { return decode_page_file(s, filename, nullptr); });
}

ORVELA_Scanner PaserFromURI(const char* /*deviceName*/) {
    ORVELA_Scanner device;
    memset(&device, 0, sizeof device);
    device.vendor_id = kOrvelaVendorId;
    device.product_id = 0x1006;
    device.interface = 0;
    snprintf(device.serial, sizeof device.serial, "%s", "OR0000000001");
    return device;
}

}  // extern "C"

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void sleep_ms(long ms) {
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

}  // namespace

SCAN_Status page_file_acquire(const char* path, int wait_seconds, const bool* cancel, int* fd_out) {
    constexpr long kPollMs = 50;
    long waited_ms = 0;
    for (;;) {
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0) {
            DBG_INFO("Fail to open page file %s\n", path);
            return SCAN_STATUS_ACCESS_DENIED;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            DBG_INFO("Page file %s is not this user's regular file\n", path);
            close(fd);
            return SCAN_STATUS_ACCESS_DENIED;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The holder before us may have removed the file while we waited:
            // only the file that is still at the path counts.
            struct stat now;
            if (lstat(path, &now) == 0 && same_file(st, now)) {
                if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0) {
                    close(fd);
                    return SCAN_STATUS_ACCESS_DENIED;
                }
                *fd_out = fd;
                return SCAN_STATUS_GOOD;
            }
            close(fd);
            continue;
        }
        close(fd);
        if (cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_SEQ_CST)) return SCAN_STATUS_CANCELLED;
        if (waited_ms >= static_cast<long>(wait_seconds) * 1000) {
            DBG_INFO("Page file %s is in use by another scan\n", path);
            return SCAN_STATUS_DEVICE_BUSY;
        }
        sleep_ms(kPollMs);
        waited_ms += kPollMs;
    }
}

void page_file_release(const char* path, int fd, bool remove) {
    if (fd < 0) return;
    if (remove) unlink(path);
    close(fd);
}
