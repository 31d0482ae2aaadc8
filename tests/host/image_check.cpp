// Reads a scanned image (PNM: P4 black-and-white, P5 grey, P6 colour) and
// reports its size and where on the simulated scanner's bed its top-left
// corner lies, read from the position-coded chart that the simulator draws.
//
// usage: image_check FILE DPI
// prints: size=WxH channels=C depth=D position=X_MM,Y_MM cells=N
//         (position=none when the content does not read as the chart)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/scanner_sim/page_image.h"

namespace {

bool read_token(FILE* f, std::string& token) {
    token.clear();
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            continue;
        }
        if (!isspace(c)) break;
    }
    for (; c != EOF && !isspace(c); c = fgetc(f)) token += static_cast<char>(c);
    return !token.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: image_check FILE DPI\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (f == nullptr) {
        perror(argv[1]);
        return 2;
    }
    std::string magic, w, h, maxval;
    if (!read_token(f, magic) || !read_token(f, w) || !read_token(f, h)) return 2;
    const bool bilevel = magic == "P4";
    if (!bilevel && !read_token(f, maxval)) return 2;
    const int channels = magic == "P6" ? 3 : 1;
    const uint32_t width = static_cast<uint32_t>(atoi(w.c_str()));
    const uint32_t height = static_cast<uint32_t>(atoi(h.c_str()));
    if ((magic != "P4" && magic != "P5" && magic != "P6") || width == 0 || height == 0) return 2;

    std::vector<uint8_t> pixels(size_t{width} * height * channels);
    if (bilevel) {
        // A set bit is black, the leftmost pixel in the top bit.
        const size_t stride = (width + 7) / 8;
        std::vector<uint8_t> row(stride);
        for (uint32_t y = 0; y < height; ++y) {
            if (fread(row.data(), 1, stride, f) != stride) return 3;
            for (uint32_t x = 0; x < width; ++x)
                pixels[size_t{y} * width + x] = (row[x / 8] & (0x80 >> (x % 8))) ? 0 : 255;
        }
    } else if (fread(pixels.data(), 1, pixels.size(), f) != pixels.size()) {
        return 3;
    }
    fclose(f);

    const double dpi = atof(argv[2]);
    const auto at = orvela_sim::locate_on_bed(pixels.data(), width, height, channels, dpi, dpi);
    printf("size=%ux%u channels=%d depth=%d ", width, height, channels, bilevel ? 1 : 8);
    if (at) {
        printf("position=%.2f,%.2f cells=%d\n", at->x_mm, at->y_mm, at->cells);
    } else {
        printf("position=none\n");
    }
    return 0;
}
