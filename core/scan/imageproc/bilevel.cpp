#include "core/scan/imageproc/bilevel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/debugtool.h"

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

// Bayer index matrix of order 16.
unsigned int dither1[16][16] = {
    {  0, 128,  32, 160,   8, 136,  40, 168,   2, 130,  34, 162,  10, 138,  42, 170},
    {192,  64, 224,  96, 200,  72, 232, 104, 194,  66, 226,  98, 202,  74, 234, 106},
    { 48, 176,  16, 144,  56, 184,  24, 152,  50, 178,  18, 146,  58, 186,  26, 154},
    {240, 112, 208,  80, 248, 120, 216,  88, 242, 114, 210,  82, 250, 122, 218,  90},
    { 12, 140,  44, 172,   4, 132,  36, 164,  14, 142,  46, 174,   6, 134,  38, 166},
    {204,  76, 236, 108, 196,  68, 228, 100, 206,  78, 238, 110, 198,  70, 230, 102},
    { 60, 188,  28, 156,  52, 180,  20, 148,  62, 190,  30, 158,  54, 182,  22, 150},
    {252, 124, 220,  92, 244, 116, 212,  84, 254, 126, 222,  94, 246, 118, 214,  86},
    {  3, 131,  35, 163,  11, 139,  43, 171,   1, 129,  33, 161,   9, 137,  41, 169},
    {195,  67, 227,  99, 203,  75, 235, 107, 193,  65, 225,  97, 201,  73, 233, 105},
    { 51, 179,  19, 147,  59, 187,  27, 155,  49, 177,  17, 145,  57, 185,  25, 153},
    {243, 115, 211,  83, 251, 123, 219,  91, 241, 113, 209,  81, 249, 121, 217,  89},
    { 15, 143,  47, 175,   7, 135,  39, 167,  13, 141,  45, 173,   5, 133,  37, 165},
    {207,  79, 239, 111, 199,  71, 231, 103, 205,  77, 237, 109, 197,  69, 229, 101},
    { 63, 191,  31, 159,  55, 183,  23, 151,  61, 189,  29, 157,  53, 181,  21, 149},
    {255, 127, 223,  95, 247, 119, 215,  87, 253, 125, 221,  93, 245, 117, 213,  85}
};

// Bayer index matrix of order 8.
unsigned int dither2[8][8] = {
    {  0,  32,   8,  40,   2,  34,  10,  42},
    { 48,  16,  56,  24,  50,  18,  58,  26},
    { 12,  44,   4,  36,  14,  46,   6,  38},
    { 60,  28,  52,  20,  62,  30,  54,  22},
    {  3,  35,  11,  43,   1,  33,   9,  41},
    { 51,  19,  59,  27,  49,  17,  57,  25},
    { 15,  47,   7,  39,  13,  45,   5,  37},
    { 63,  31,  55,  23,  61,  29,  53,  21}
};

// Clustered-dot screen, values growing outward from the centre.
unsigned int halftone[8][8] = {
    {0, 53, 42, 26, 27, 43, 54, 61},  {60, 41, 25, 14, 15, 28, 44, 55},
    {52, 40, 13, 5, 6, 16, 29, 45},   {39, 24, 12, 1, 2, 7, 17, 30},
    {38, 23, 11, 4, 3, 8, 18, 31},    {51, 37, 22, 10, 9, 19, 32, 41},
    {59, 50, 36, 21, 20, 33, 47, 56}, {63, 58, 49, 35, 34, 48, 57, 62},
};

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

void pack_bilevel_page(ORVELA_IMAGE_RAW& img) {
    DBG_INFO("Convert gray image to 1 bit B/W image!\n");
    const uint32_t width = img.img_width;
    const size_t packed = (width + 7) / 8;
    for (uint32_t y = 0; y < img.img_height; ++y)
        pack_bilevel_row(img.img_data + static_cast<size_t>(y) * width, width, img.img_data + y * packed);
    img.img_width = static_cast<uint32_t>(packed);
}
