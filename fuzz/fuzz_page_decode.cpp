// libFuzzer target: the page decode (decode_page_file, which
// orvela_sane_decompress calls) of arbitrary bytes written to a page file, at
// the device tier the first byte chooses. A decoded page must have the stream's shape, within the
// allowed size, with every byte of its buffer addressable.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/scan/page/page_decode.h"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    const int fd = open(page_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    if (size > 1 && write(fd, input + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
    close(fd);

    // Areas from 16 x 16 to 2416 x 2416 pixels at one of the device tiers, or
    // none (the largest tier bounds the page then).
    static const unsigned tiers[4][2] = {{300, 300}, {600, 600}, {1200, 600}, {0, 0}};
    DeviceTier tier;
    if (input[0] != 0xFF) tier = {tiers[input[0] & 3][0], tiers[input[0] & 3][1]};
    const unsigned x_dpi = tier.x_dpi != 0 ? tier.x_dpi : 1200;
    const unsigned y_dpi = tier.y_dpi != 0 ? tier.y_dpi : 600;

    ORVELA_IMAGE_RAW page{};
    const SCAN_Status status = decode_page_file(page_path().c_str(), tier, &page);
    if (status == SCAN_STATUS_GOOD) {
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
    } else if (page.img_data != nullptr) {
        abort();  // a failed decode leaves no page behind
    }
    free(page.img_data);
    return 0;
}
