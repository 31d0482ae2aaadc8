#include "core/scan/imageproc/bilevel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Width of the random threshold range, in percent of 128, indexed by the grey
// value's distance from the nearer end of the scale.
constexpr int kRandomScale[128] = {
    0,   0,   1,   2,   3,   3,   4,   5,   6,   6,   7,   8,   9,   9,   10,  11,
    12,  12,  13,  14,  15,  15,  16,  17,  18,  18,  19,  20,  21,  21,  22,  23,
    24,  24,  25,  26,  27,  27,  28,  29,  30,  31,  32,  33,  34,  34,  35,  36,
    37,  38,  38,  39,  40,  41,  42,  42,  43,  44,  45,  46,  46,  47,  48,  49,
    50,  53,  56,  59,  62,  65,  68,  71,  75,  78,  81,  84,  87,  90,  93,  96,
    100, 100, 100, 100, 100, 100, 91,  83,  75,  66,  58,  50,  41,  33,  25,  17,
    21,  26,  31,  35,  40,  45,  50,  54,  58,  62,  66,  70,  71,  73,  75,  77,
    79,  80,  81,  83,  84,  86,  87,  88,  90,  91,  93,  94,  95,  97,  98,  100,
};

}  // namespace

extern "C" {

int m_lpRandomScale[128];

void InitThresholdTable(void) { memcpy(m_lpRandomScale, kRandomScale, sizeof m_lpRandomScale); }

int CalcNewThreshold(int nDensity) {
    const int distance = nDensity <= 127 ? nDensity : 255 - nDensity;
    // Out-of-range values would index outside the table; clamp them to the
    // nearer end of the scale, where the threshold is fixed.
    const int k = distance < 0 ? 0 : (distance > 127 ? 127 : distance);
    const int scale = m_lpRandomScale[k];
    if (scale == 0) return 127;
    const int r = rand() % 128;
    return 128 + (r * scale) / 100;
}

}  // extern "C"

void pack_bilevel_row(const unsigned char* in, uint32_t width, unsigned char* out) {
    for (uint32_t x = 0; x < width; x += 8) {
        unsigned char byte = 0;
        const uint32_t bits = std::min<uint32_t>(8, width - x);
        for (uint32_t b = 0; b < bits; ++b) {
            const int v = in[x + b];
            if (v < CalcNewThreshold(v)) byte |= static_cast<unsigned char>(0x80 >> b);
        }
        *out++ = byte;  // never ahead of the input: out advances 1 per 8 read
    }
}
