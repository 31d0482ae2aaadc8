// What the library exports for callers outside the backend and nothing in
// the scan path calls: the kernels a page is never scaled with, the weight
// table's accessors, the whole-image passes and page scaler (ScaleDownPage,
// through the page path's own row rescaler), the line zoom, and the dither
// and halftone matrices.
//
// Floating point is evaluated as written (no fused multiply-add), as in
// resample.cpp.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

#include "core/scan/imageproc/exported_extras.h"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "common/checked_size.h"
#include "common/debugtool.h"
#include "core/scan/imageproc/bilevel.h"
#include "core/scan/imageproc/portable_trig.h"
#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/row_rescale.h"

using orvela::resample::PackedWeights;

extern "C" {

double BoxFilter(double dVal) {
    return std::fabs(dVal) <= 0.5 ? 1.0 : 0.0;
}

double BilinearFilter(double dVal) {
    const double t = std::fabs(dVal);
    return t < 1.0 ? 1.0 - t : 0.0;
}

double CatmullRomFilter(double dVal) {
    const double x = dVal;
    if (x < -2.0) return 0.0;
    if (x < -1.0) return 0.5 * (x * x * x + 5.0 * x * x + 8.0 * x + 4.0);
    if (x < 0.0) return 0.5 * (-3.0 * x * x * x - 5.0 * x * x + 2.0);
    if (x < 1.0) return 0.5 * (3.0 * x * x * x - 5.0 * x * x + 2.0);
    if (x < 2.0) return 0.5 * (-x * x * x + 5.0 * x * x - 8.0 * x + 4.0);
    return 0.0;
}

double BSplineFilter(double dVal) {
    const double t = std::fabs(dVal);
    if (t < 1.0) return (t * t * (3.0 * t - 6.0) + 4.0) / 6.0;
    if (t < 2.0) {
        const double u = 2.0 - t;
        return u * u * u / 6.0;
    }
    return 0.0;
}

double BlackmanFilter(double dVal) {
    if (std::fabs(dVal) > 0.5) return 0.0;
    return 0.42 + 0.5 * orvela::resample::PortableCos(2.0 * std::numbers::pi * dVal) +
           0.08 * orvela::resample::PortableCos(4.0 * std::numbers::pi * dVal);
}

double WeightsTableGetWeight(WeightsTableHandle handle, unsigned dst_pos, unsigned src_pos) {
    if (handle.m_WeightTable == nullptr || dst_pos >= handle.m_LineLength ||
        src_pos >= handle.m_WindowSize)
        return 0.0;
    return handle.m_WeightTable[dst_pos].Weights[src_pos];
}

unsigned WeightsTableGetLeftBoundary(WeightsTableHandle handle, unsigned dst_pos) {
    if (handle.m_WeightTable == nullptr || dst_pos >= handle.m_LineLength) return 0;
    return handle.m_WeightTable[dst_pos].Left;
}

unsigned WeightsTableGetRightBoundary(WeightsTableHandle handle, unsigned dst_pos) {
    if (handle.m_WeightTable == nullptr || dst_pos >= handle.m_LineLength) return 0;
    return handle.m_WeightTable[dst_pos].Right;
}

int clamp(int x, int min, int max) {
    if (x > max) return max;
    if (x < min) return min;
    return x;
}

void inplace_swap(int* x, int* y) {
    if (x == nullptr || y == nullptr || x == y) return;
    const int t = *x;
    *x = *y;
    *y = t;
}

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

}  // extern "C"

// ---------------------------------------------------------------------------
// Whole-image passes and the page scaler.

namespace {

// Destination rows [v0, v1) of a page in memory through `rows`, which lends
// the page's rows.
void run_rows(RowRescaler& rows, const uint8_t* src, size_t src_bytes, uint8_t* dst, size_t dst_bytes, unsigned v0,
              unsigned v1) {
    rows.write_into(dst, dst_bytes);
    for (unsigned v = v0; v < v1; ++v) {
        while (rows.wants_row() || !rows.row_ready()) rows.take_row(src + rows.rows_taken() * src_bytes);
        const uint8_t* row = rows.make_row();
        if (row != dst + v * dst_bytes) memcpy(dst + v * dst_bytes, row, dst_bytes);
    }
}

// A page scaled by one or two threads, strip by strip: each thread takes the
// next strip of destination rows until none is left, so that a thread slowed
// by other work on the machine leaves more rows to the other. Strips shrink as
// the page ends (a quarter of the rows left, at least min_rows), so that
// neither thread waits long for the other's last strip, while few strips
// keep small the source rows two strips both read (the kernel's reach).
struct PageStrips {
    const uint8_t* src;
    unsigned w, h, C;
    uint8_t* dst;
    unsigned dw, dh, min_rows;
    std::atomic<unsigned> next{0};
    std::atomic<bool> ok{true};
};

// The next strip's destination rows [*v0, *v1); false when none is left.
bool TakeStrip(PageStrips& p, unsigned* v0, unsigned* v1) {
    unsigned from = p.next.load(std::memory_order_relaxed);
    for (;;) {
        if (from >= p.dh) return false;
        const unsigned left = p.dh - from;
        const unsigned rows = left / 4 > p.min_rows ? left / 4 : (left < p.min_rows ? left : p.min_rows);
        if (p.next.compare_exchange_weak(from, from + rows, std::memory_order_relaxed)) {
            *v0 = from, *v1 = from + rows;
            return true;
        }
    }
}

void* ScaleStrips(void* arg) noexcept {
    auto* p = static_cast<PageStrips*>(arg);
    RowRescaler rows;
    bool ready = false;
    for (unsigned v0 = 0, v1 = 0; TakeStrip(*p, &v0, &v1);) {
        if (ready) {
            rows.restart(v0, v1);
        } else if (!(ready = rows.init(p->w, p->h, p->C, p->dw, p->dh,
                                       orvela::resample::GetEngineSettings().level, v0, v1))) {
            p->ok = false;
            continue;  // the strips are still taken, so that none is left undone unnoticed
        }
        run_rows(rows, p->src, size_t{p->w} * p->C, p->dst, size_t{p->dw} * p->C, v0, v1);
    }
    return nullptr;
}

// One pass over a page in memory: to d wide (rows) or d high (columns).
bool RunPass(RowRescaler::Pass pass, FilterFunc filter, const uint8_t* src, unsigned w, unsigned h, unsigned C,
             uint8_t* dst, unsigned d) {
    if (w == 0 || h == 0 || d == 0) return true;  // nothing to do
    if (C != 1 && C != 3) {
        PackedWeights wt;  // built and released, nothing written
        return wt.build(filter, d, pass == RowRescaler::Pass::Rows ? w : h);
    }
    RowRescaler rows;
    if (!rows.init_pass(pass, filter, w, h, C, d, orvela::resample::GetEngineSettings().level)) return false;
    const bool wide = pass == RowRescaler::Pass::Rows;
    run_rows(rows, src, size_t{w} * C, dst, size_t{wide ? d : w} * C, 0, wide ? h : d);
    return true;
}

}  // namespace

bool ResizeEngineHorizontalFilter(FilterFunc filter, const unsigned char* src, unsigned height,
                                  unsigned src_width, unsigned channels, unsigned char* dst,
                                  unsigned dst_width) {
    return RunPass(RowRescaler::Pass::Rows, filter, src, src_width, height, channels, dst, dst_width);
}

bool ResizeEngineVerticalFilter(FilterFunc filter, const unsigned char* src, unsigned width,
                                unsigned src_height, unsigned channels, unsigned char* dst,
                                unsigned dst_height) {
    return RunPass(RowRescaler::Pass::Columns, filter, src, width, src_height, channels, dst, dst_height);
}

bool ResizeEngineScale(const unsigned char* src, unsigned srcW, unsigned srcH, unsigned channels,
                       unsigned char* dst, unsigned dstW, unsigned dstH) {
    if (dstW == srcW && dstH == srcH) return true;  // nothing to do
    const double work = static_cast<double>(srcW) * srcH * channels * 8.0;
    const bool two = orvela::resample::WorthTwoThreads(dstH, work);
    // One thread takes the whole page at once.
    const unsigned min_rows = two ? (dstH / 32 > 8 ? dstH / 32 : 8) : dstH;
    PageStrips strips{src, srcW, srcH, channels, dst, dstW, dstH, min_rows};
    pthread_t worker;
    const bool started = two && pthread_create(&worker, nullptr, ScaleStrips, &strips) == 0;
    ScaleStrips(&strips);
    if (started) pthread_join(worker, nullptr);
    return strips.ok;
}

extern "C" void ScaleDownPage(unsigned char* srcImage, int srcW, int srcH, int channels,
                              unsigned char* dstImage, int dstW, int dstH) {
    DBG_INFO("Run into ScaleDownPage\n");
    if (srcImage == nullptr || dstImage == nullptr || srcW <= 0 || srcH <= 0 || dstW <= 0 ||
        dstH <= 0 || channels <= 0) {
        DBG_INFO("ScaleDownPage: invalid image %dx%dx%d -> %dx%d\n", srcW, srcH, channels, dstW, dstH);
        return;
    }
    if (channels != 1 && channels != 3) return;
    if (!ResizeEngineScale(srcImage, static_cast<unsigned>(srcW), static_cast<unsigned>(srcH),
                           static_cast<unsigned>(channels), dstImage, static_cast<unsigned>(dstW),
                           static_cast<unsigned>(dstH))) {
        // The caller treats the destination as filled: hand it a blank (white)
        // page rather than uninitialised memory.
        DBG_INFO("ScaleDownPage: out of memory, page left blank\n");
        const size_t bytes = checked_bytes(static_cast<size_t>(dstW), static_cast<size_t>(dstH), channels);
        if (bytes != SIZE_MAX) memset(dstImage, 0xFF, bytes);
    }
}

// ---------------------------------------------------------------------------
// Line zoom. For a ratio of 1/2: source lines 0, 2, 4, ... are kept in lineBuffer and
// produce nothing; lines 1, 3, 5, ... each produce one output line that is
// averaged with the line kept before; within a line every second pixel is
// emitted, smoothed with its neighbours (0.25, 0.5, 0.25).
//
//   source row:   0      1      2      3   ...
//                keep   emit   keep   emit
//                  \____/ 0      \____/ 1

namespace {

// The line zoom's state. Output-line count reached after the previous source line.
int oldYValue = 0;
// Copy of the last source line that produced no output line, grown with
// realloc; it keeps its contents and size across images.
unsigned char* lineBuffer = nullptr;
size_t lineBufferSize = 0;
// Bytes of lineBuffer that hold a line of the current image; 0 when the
// current image has stored none yet (row 0 resets it), so that a line of an
// earlier image is never blended in.
size_t storedLineLength = 0;

orvela::zoom::LineObserver gObserver = nullptr;

void Emit(int row, unsigned char* line, size_t length, int channels) {
    zoomLineCompleted(row, line, length, channels);
    if (gObserver != nullptr) gObserver(row, line, length, channels);
}

// Truncates a non-negative value to an int; false when it does not fit.
bool ToInt(double v, int* out) {
    if (!(v >= 0.0) || v >= static_cast<double>(INT_MAX)) return false;
    *out = static_cast<int>(v);
    return true;
}

// Smoothed sample of channel c at pixel x of a line (P the pixel, L and R its
// neighbours): 0.25 L + 0.5 P + 0.25 R with a right neighbour, else
// 0.5 P + 0.5 L.
double Smooth(const unsigned char* line, size_t x, size_t C, size_t c, bool hasRight) {
    const double L = line[(x - 1) * C + c];
    const double P = line[x * C + c];
    if (hasRight) return 0.25 * L + 0.5 * P + 0.25 * line[(x + 1) * C + c];
    return 0.5 * P + 0.5 * L;
}

}  // namespace

namespace orvela::zoom {

void SetLineObserver(LineObserver observer) { gObserver = observer; }

int OldYValue() { return oldYValue; }

}  // namespace orvela::zoom

extern "C" {

void zoomLineCompleted(int row, unsigned char* outLineData, size_t outLength, int channels) {
    (void)row;
    (void)outLineData;
    (void)outLength;
    (void)channels;
}

void zoom(bool isZoomIn, int row, unsigned char* inLineData, size_t inLength, int srcResolution,
          int inChannels, int dstResolution) {
    if (!isZoomIn) return;
    if (srcResolution == dstResolution) {
        Emit(row, inLineData, inLength, inChannels);
        return;
    }
    if (inLineData == nullptr || row < 0 || srcResolution <= 0 || dstResolution <= 0 ||
        inChannels <= 0)
        return;

    if (row == 0) storedLineLength = 0;  // a new image
    const int prevY = row == 0 ? 0 : oldYValue;
    oldYValue = prevY;

    const double ratio = static_cast<double>(dstResolution) / srcResolution;
    int yValue = 0;
    if (!ToInt((row + 1.0) * ratio + 0.00001, &yValue)) return;

    if (yValue == prevY) {
        // This line completes no output line: keep it for the next one.
        if (inLength > lineBufferSize) {
            auto* grown = static_cast<unsigned char*>(realloc(lineBuffer, inLength));
            if (grown == nullptr) {
                storedLineLength = 0;
                oldYValue = yValue;
                return;
            }
            lineBuffer = grown;
            lineBufferSize = inLength;
        }
        if (inLength > 0) memcpy(lineBuffer, inLineData, inLength);
        storedLineLength = inLength;
        oldYValue = yValue;
        return;
    }

    // Output line yValue - 1.
    int outLen = 0;
    if (!ToInt(static_cast<double>(inLength) * ratio + 0.00001, &outLen)) return;
    const size_t outLength = static_cast<size_t>(outLen);
    auto* out = static_cast<unsigned char*>(calloc(outLength ? outLength : 1, 1));
    if (out == nullptr) {
        DBG_INFO("zoom: no memory for a line of %zu bytes\n", outLength);
        oldYValue = yValue;
        return;
    }

    const size_t C = static_cast<size_t>(inChannels);
    // Blend with the kept line only when this image kept one that covers
    // every sample read here; otherwise (a ratio above 1, or a longer line
    // than the kept one) the output is the smoothed line alone.
    const bool hasTopLine = yValue > 0 && row * ratio + 0.00001 != static_cast<double>(yValue);
    const bool canBlend = hasTopLine && storedLineLength >= inLength;
    const size_t pixels = inLength / C;
    int oldXValue = 0;
    size_t outPos = 0;
    for (size_t x = 0; x < pixels; ++x) {
        int xValue = 0;
        if (!ToInt((x + 1.0) * ratio + 0.00001, &xValue)) break;
        if (xValue == oldXValue) continue;
        if (outPos + C > outLength) break;  // never past the output line
        const bool hasRight = x + 1 < pixels && (x + 2.0) * ratio + 0.00001 != xValue;
        const bool hasLeft = x > 0 && x * ratio + 0.00001 != xValue;
        if (hasLeft && (C == 1 || C == 3)) {
            for (size_t c = 0; c < C; ++c) {
                uint8_t v = static_cast<uint8_t>(Smooth(inLineData, x, C, c, hasRight));
                if (canBlend)
                    v = static_cast<uint8_t>(0.5 * v + 0.5 * Smooth(lineBuffer, x, C, c, hasRight));
                out[outPos + c] = v;
            }
        }
        outPos += C;
        oldXValue = xValue;
    }

    Emit(yValue - 1, out, outLength, inChannels);
    free(out);
    oldYValue = yValue;
}

}  // extern "C"
