#include "core/scan/page/frame_lines.h"

#include <algorithm>
#include <cstring>
#include <string>

bool uri_serves_image_data(const char* uri, size_t size) {
    const std::string bounded(uri, strnlen(uri, size));
    return bounded.find("file://") != std::string::npos || bounded.find("socket://") != std::string::npos ||
           bounded.find("usb://") != std::string::npos;
}

bool line_row(const FrameLines& frame, const ORVELA_IMAGE_RAW& page, unsigned line, unsigned* row, size_t* count) {
    *count = 0;
    *row = frame.doubled_rows ? line / 2 : line;
    if (*row >= page.img_height) return false;
    const size_t row_bytes = static_cast<size_t>(page.img_width) * page.img_channel;
    const size_t n = page.img_width < frame.pixels_per_line ? row_bytes : frame.bytes_per_line;
    // Never more than the line, nor than the stored row (the options may have
    // changed since start).
    *count = std::min({n, frame.bytes_per_line, row_bytes});
    return true;
}

void copy_line_part(const unsigned char* row, size_t image_bytes, unsigned line, size_t offset, size_t n,
                    unsigned char* out) {
    size_t copied = 0;
    if (row != nullptr && offset < image_bytes) {
        copied = std::min(n, image_bytes - offset);
        memcpy(out, row + offset, copied);
    }
    if (copied < n) memset(out + copied, (line % 8) < 4 ? 0x00 : 0xFF, n - copied);
}
