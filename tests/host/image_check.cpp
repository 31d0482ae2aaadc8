// Reads a scanned image (PNM: P4 black-and-white, P5 grey, P6 colour) and
// reports its size and where on the simulated scanner's bed its top-left
// corner lies, read from the position-coded chart that the simulator draws.
//
// usage: image_check FILE DPI
// prints: size=WxH channels=C depth=D position=X_MM,Y_MM cells=N
//         (position=none when the content does not read as the chart)
//
// usage: image_check --bilevel BW_FILE GRAY_FILE
// A black-and-white page is its grey page thresholded: grey values up to 127
// are always black, 254 and 255 always white. Prints how many of those
// pixels disagree ("mismatches=N of M"); a shifted or mis-scaled page
// disagrees in thousands.
#include <algorithm>
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

struct Image {
    uint32_t width = 0, height = 0;
    int channels = 0;
    bool bilevel = false;
    std::vector<uint8_t> pixels;  // one byte per sample; bi-level as 0 / 255
};

// Reads a PNM file; the result's exit code is 0, or 2 (unreadable) or 3 (fewer
// bytes than the header announces).
int read_pnm(const char* path, Image& image) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        perror(path);
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

    std::vector<uint8_t>& pixels = image.pixels;
    pixels.resize(size_t{width} * height * channels);
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
    image.width = width;
    image.height = height;
    image.channels = channels;
    image.bilevel = bilevel;
    return 0;
}

int compare_bilevel(const char* bw_path, const char* grey_path) {
    Image bw, grey;
    if (int rc = read_pnm(bw_path, bw)) return rc;
    if (int rc = read_pnm(grey_path, grey)) return rc;
    // Packed lines are whole bytes: the frame may be a few pixels wider (the
    // padding must be white) or narrower than the grey page.
    if (!bw.bilevel || grey.channels != 1 || bw.height != grey.height || bw.width + 2 < grey.width ||
        bw.width > grey.width + 7) {
        printf("mismatched pages %ux%u %ux%u\n", bw.width, bw.height, grey.width, grey.height);
        return 1;
    }
    size_t fixed = 0, mismatches = 0;
    for (uint32_t y = 0; y < grey.height; ++y) {
        // A line the page does not cover (the last of a 1200 dpi frame whose
        // rows are doubled) holds the read's fill pattern, 0x00 or 0xFF bytes,
        // whose meaning differs between grey and black-and-white.
        const uint8_t* grey_row = &grey.pixels[size_t{y} * grey.width];
        if (std::all_of(grey_row, grey_row + grey.width, [&](uint8_t v) { return v == grey_row[0]; }) &&
            (grey_row[0] == 0 || grey_row[0] == 255))
            continue;
        for (uint32_t x = 0; x < bw.width; ++x) {
            const bool black = bw.pixels[size_t{y} * bw.width + x] == 0;
            if (x >= grey.width) {
                ++fixed;
                mismatches += black;
                continue;
            }
            const uint8_t g = grey.pixels[size_t{y} * grey.width + x];
            if (g > 127 && g < 254) continue;
            ++fixed;
            if ((g <= 127) != black) ++mismatches;
        }
    }
    printf("mismatches=%zu of %zu\n", mismatches, fixed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--bilevel") return compare_bilevel(argv[2], argv[3]);
    if (argc < 3) {
        fprintf(stderr, "usage: image_check FILE DPI | --bilevel BW_FILE GRAY_FILE\n");
        return 2;
    }
    Image image;
    if (int rc = read_pnm(argv[1], image)) return rc;
    const uint32_t width = image.width, height = image.height;
    const int channels = image.channels;
    const bool bilevel = image.bilevel;
    const double dpi = atof(argv[2]);
    const auto at = orvela_sim::locate_on_bed(image.pixels.data(), width, height, channels, dpi, dpi);
    printf("size=%ux%u channels=%d depth=%d ", width, height, channels, bilevel ? 1 : 8);
    if (at) {
        printf("position=%.2f,%.2f cells=%d\n", at->x_mm, at->y_mm, at->cells);
    } else {
        printf("position=none\n");
    }
    return 0;
}
