// libFuzzer target: the page decode (orvela_sane_decompress) of arbitrary
// bytes written to a page file, for a handle that asks for an area the first
// byte chooses. A decoded page must have the stream's shape, within the
// allowed size, with every byte of its buffer addressable.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/scan/sane/sane_handle.h"
#include "core/scan/job/whole_page.h"
#include "core/scan/job/scan_job.h"

namespace {

std::string& page_path() {
    static std::string path = [] {
        char dir[] = "/tmp/fuzz_page_decode.XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        return std::string(dir) + "/page.jpg";
    }();
    return path;
}

}  // namespace

// The handle here never has a streaming page.
void release_page_stream(orvela_scanner_t*) {}
void PageStreamDelete::operator()(PageStream*) const {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    const int fd = open(page_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    if (size > 1 && write(fd, input + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
    close(fd);

    // Areas from 16 x 16 to 2416 x 2416 pixels at one of the device tiers, or
    // none (the largest tier bounds the page then).
    orvela_scanner_t* s = new orvela_scanner_t{};
    static const unsigned tiers[4][2] = {{300, 300}, {600, 600}, {1200, 600}, {0, 0}};
    if (input[0] != 0xFF) {
        s->dev_params.widthPixel = 16 + (input[0] & 0x0F) * 160;
        s->dev_params.heightPixel = 16 + (input[0] >> 4) * 160;
        s->dev_params.xResolution = tiers[input[0] & 3][0];
        s->dev_params.yResolution = tiers[input[0] & 3][1];
    }
    const unsigned x_dpi = s->dev_params.xResolution != 0 ? s->dev_params.xResolution : 1200;
    const unsigned y_dpi = s->dev_params.yResolution != 0 ? s->dev_params.yResolution : 600;

    const SCAN_Status status = orvela_sane_decompress(s, page_path().c_str());
    if (status == SCAN_STATUS_GOOD) {
        const ORVELA_IMAGE_RAW& page = s->src_img;
        const unsigned long long pixels = static_cast<unsigned long long>(page.img_width) * page.img_height;
        // At most the bed (8.5 x 14 in) and 1/32 of each side.
        if (page.img_data == nullptr || pixels == 0 || page.img_width > x_dpi * 17 / 2 + x_dpi * 17 / 2 / 32 ||
            page.img_height > y_dpi * 14 + y_dpi * 14 / 32)
            abort();
        if (page.img_channel != 1 && page.img_channel != 3) abort();
        const size_t bytes = static_cast<size_t>(pixels) * page.img_channel;
        volatile unsigned char touch = page.img_data[0] ^ page.img_data[bytes - 1];
        (void)touch;
    } else if (status != SCAN_STATUS_IO_ERROR && status != SCAN_STATUS_NO_MEM) {
        abort();
    } else if (s->src_img.img_data != nullptr) {
        abort();  // a failed decode leaves no page behind
    }
    release_page(s);
    delete s;
    return 0;
}
