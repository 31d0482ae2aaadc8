// Resampling kernels, weight tables and the page scaler.
//
// Floating point here must be evaluated as written (no fused multiply-add):
// the weights feed every variant of the inner loops on every processor, and
// tests compare the output bytes with a plain formulation and across
// architectures. The build switches contraction off; the pragma keeps it so
// should the file be built on its own.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

#include "core/scan/imageproc/resample.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "common/checked_size.h"
#include "common/debugtool.h"
#include "core/scan/imageproc/portable_trig.h"
#include "core/scan/imageproc/resample_engine.h"

extern "C" {

double BoxFilter(double dVal) {
    return std::fabs(dVal) <= 0.5 ? 1.0 : 0.0;
}

double BilinearFilter(double dVal) {
    const double t = std::fabs(dVal);
    return t < 1.0 ? 1.0 - t : 0.0;
}

// Mitchell-Netravali cubic with B = C = 1/3, as two polynomials in |x|.
double BicubicFilter(double dVal) {
    constexpr double p0 = 8.0 / 9.0;
    constexpr double p2 = -2.0;
    constexpr double p3 = 7.0 / 6.0;
    constexpr double q0 = 16.0 / 9.0;
    constexpr double q1 = -10.0 / 3.0;
    constexpr double q2 = 2.0;
    constexpr double q3 = -7.0 / 18.0;
    const double t = std::fabs(dVal);
    if (t < 1.0) return p0 + t * t * (p2 + t * p3);
    if (t < 2.0) return q0 + t * (q1 + t * (q2 + t * q3));
    return 0.0;
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

double sinc(double value) {
    if (value == 0.0) return 1.0;
    const double a = std::numbers::pi * value;
    return orvela::resample::PortableSin(a) / a;
}

double Lanczos3Filter(double dVal) {
    const double t = std::fabs(dVal);
    return t < 3.0 ? sinc(t) * sinc(t / 3.0) : 0.0;
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

}  // extern "C"

const FuncWidthMap filterWidthMap[7] = {
    {BoxFilter, 0.5},      {BilinearFilter, 1.0}, {BicubicFilter, 2.0},  {CatmullRomFilter, 2.0},
    {Lanczos3Filter, 3.0}, {BSplineFilter, 2.0},  {BlackmanFilter, 0.5},
};

extern "C" {

double GetFilterWidth(FilterFunc filter) {
    if (filter == BoxFilter) return 0.5;
    for (int i = 1; i < 7; ++i)
        if (filterWidthMap[i].func == filter) return filterWidthMap[i].width;
    return 0.0;
}

WeightsTableHandle WeightsTableInit(FilterFunc pFilter, unsigned uDstSize, unsigned uSrcSize) {
    WeightsTableHandle handle{nullptr, 0, 0};
    if (pFilter == nullptr || uDstSize == 0 || uSrcSize == 0) return handle;

    double dWidth = GetFilterWidth(pFilter);
    const double dScale = static_cast<double>(uDstSize) / static_cast<double>(uSrcSize);
    double dFScale = 1.0;
    if (dScale < 1.0) {
        // Reduction: stretch the kernel over 1/dScale source pixels and lower
        // it by the same factor.
        dFScale = dScale;
        dWidth = dWidth / dScale;
    }
    const double window = 2.0 * std::ceil(dWidth) + 1.0;
    if (!(window < 4294967295.0)) return handle;
    const unsigned windowSize = static_cast<unsigned>(window);

    auto* table = static_cast<Contribution*>(calloc(uDstSize, sizeof(Contribution)));
    if (table == nullptr) return handle;
    handle.m_WeightTable = table;
    handle.m_WindowSize = windowSize;
    handle.m_LineLength = uDstSize;

    for (unsigned u = 0; u < uDstSize; ++u) {
        double* weights = static_cast<double*>(calloc(windowSize, sizeof(double)));
        if (weights == nullptr) {
            WeightsTableRelease(handle);
            return WeightsTableHandle{nullptr, 0, 0};
        }
        table[u].Weights = weights;

        // Centre of destination pixel u in source coordinates.
        const double dCenter = u / dScale + 0.5 / dScale;
        const double leftEdge = dCenter - dWidth + 0.5;
        const double rightEdge = dCenter + dWidth + 0.5;
        long long left = leftEdge < 0.0 ? 0 : static_cast<long long>(leftEdge);
        long long right = rightEdge < 0.0 ? 0 : static_cast<long long>(rightEdge);
        if (right > static_cast<long long>(uSrcSize)) right = uSrcSize;
        if (left > right) left = right;
        // The window always holds the support; the bound only guards the array.
        if (right - left > static_cast<long long>(windowSize)) right = left + windowSize;

        double total = 0.0;
        for (long long s = left; s < right; ++s) {
            const double w = dFScale * pFilter((static_cast<double>(s) + 0.5 - dCenter) * dFScale);
            weights[s - left] = w;
            total += w;
        }
        if (total > 0.0 && total != 1.0)
            for (long long s = left; s < right; ++s) weights[s - left] /= total;
        // Trailing zero weights would only add work.
        while (right > left && weights[right - left - 1] == 0.0) --right;

        table[u].Left = static_cast<unsigned>(left);
        table[u].Right = static_cast<unsigned>(right);
    }
    return handle;
}

void WeightsTableRelease(WeightsTableHandle handle) {
    if (handle.m_WeightTable == nullptr) return;
    for (unsigned u = 0; u < handle.m_LineLength; ++u) free(handle.m_WeightTable[u].Weights);
    free(handle.m_WeightTable);
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

}  // extern "C"

namespace orvela::resample {

PackedWeights::~PackedWeights() {
    free(left);
    free(count);
    free(w);
}

bool PackedWeights::build(FilterFunc filter, unsigned dst_size, unsigned src_size) {
    WeightsTableHandle table = WeightsTableInit(filter, dst_size, src_size);
    const bool ok = assign(table, src_size);
    WeightsTableRelease(table);
    return ok;
}

bool PackedWeights::assign(const WeightsTableHandle& table, unsigned src) {
    free(left);
    free(count);
    free(w);
    left = count = nullptr;
    w = nullptr;
    dst_size = src_size = taps = 0;
    if (table.m_WeightTable == nullptr || table.m_LineLength == 0) return false;
    const size_t n = table.m_LineLength;
    const size_t t = table.m_WindowSize;
    left = static_cast<unsigned*>(malloc(n * sizeof(unsigned)));
    count = static_cast<unsigned*>(malloc(n * sizeof(unsigned)));
    w = static_cast<double*>(calloc(n * t, sizeof(double)));
    if (left == nullptr || count == nullptr || w == nullptr) return false;
    for (size_t u = 0; u < n; ++u) {
        const Contribution& c = table.m_WeightTable[u];
        left[u] = c.Left;
        count[u] = c.Right - c.Left;
        memcpy(w + u * t, c.Weights, count[u] * sizeof(double));
    }
    dst_size = table.m_LineLength;
    src_size = src;
    taps = table.m_WindowSize;
    return true;
}

}  // namespace orvela::resample

using orvela::resample::HorizontalJob;
using orvela::resample::PackedWeights;
using orvela::resample::VerticalJob;

bool ResizeEngineHorizontalFilter(FilterFunc filter, const unsigned char* src, unsigned height,
                                  unsigned src_width, unsigned channels, unsigned char* dst,
                                  unsigned dst_width) {
    PackedWeights weights;
    if (!weights.build(filter, dst_width, src_width)) return dst_width == 0 || src_width == 0;
    if (channels != 1 && channels != 3) return true;
    orvela::resample::RunHorizontal(HorizontalJob{&weights, src, dst, src_width, channels}, height);
    return true;
}

bool ResizeEngineVerticalFilter(FilterFunc filter, const unsigned char* src, unsigned width,
                                unsigned src_height, unsigned channels, unsigned char* dst,
                                unsigned dst_height) {
    PackedWeights weights;
    if (!weights.build(filter, dst_height, src_height)) return dst_height == 0 || src_height == 0;
    if (channels != 1 && channels != 3) return true;
    orvela::resample::RunVertical(
        VerticalJob{&weights, src, dst, static_cast<size_t>(width) * channels}, dst_height);
    return true;
}

namespace {

// Both passes through an intermediate image of intermediateBytes bytes:
// rows first (horizontal then vertical) or columns first.
bool TwoPassesThroughImage(FilterFunc filter, bool rowsFirst, const unsigned char* src, unsigned srcW,
                           unsigned srcH, unsigned channels, unsigned char* dst, unsigned dstW,
                           unsigned dstH) {
    const size_t bytes = checked_bytes(rowsFirst ? dstW : srcW, rowsFirst ? srcH : dstH, channels);
    auto* mid = static_cast<unsigned char*>(malloc(bytes ? bytes : 1));
    if (mid == nullptr) return false;
    bool ok;
    if (rowsFirst) {
        ok = ResizeEngineHorizontalFilter(filter, src, srcH, srcW, channels, mid, dstW) &&
             ResizeEngineVerticalFilter(filter, mid, dstW, srcH, channels, dst, dstH);
    } else {
        ok = ResizeEngineVerticalFilter(filter, src, srcW, srcH, channels, mid, dstH) &&
             ResizeEngineHorizontalFilter(filter, mid, dstH, srcW, channels, dst, dstW);
    }
    free(mid);
    return ok;
}

// Both passes; the vector code does them together without a page-sized
// intermediate image, the portable code (or a failure to get scratch
// memory there) goes through one.
bool TwoPasses(FilterFunc filter, bool rowsFirst, const unsigned char* src, unsigned srcW, unsigned srcH,
               unsigned channels, unsigned char* dst, unsigned dstW, unsigned dstH) {
    if (channels == 1 || channels == 3) {
        PackedWeights wh, wv;
        if (wh.build(filter, dstW, srcW) && wv.build(filter, dstH, srcH) &&
            orvela::resample::RunTwoPass(orvela::resample::TwoPassJob{&wh, &wv, src, dst, srcW, channels,
                                                                       rowsFirst}))
            return true;
    }
    return TwoPassesThroughImage(filter, rowsFirst, src, srcW, srcH, channels, dst, dstW, dstH);
}

}  // namespace

bool ResizeEngineScale(const unsigned char* src, unsigned srcW, unsigned srcH, unsigned channels,
                       unsigned char* dst, unsigned dstW, unsigned dstH) {
    const FilterFunc filter = orvela::resample::PageFilter(srcW, dstW);
    if (dstW > srcW) {
        // Wider page: columns first, then rows.
        if (dstH == srcH) return ResizeEngineHorizontalFilter(filter, src, srcH, srcW, channels, dst, dstW);
        return TwoPasses(filter, false, src, srcW, srcH, channels, dst, dstW, dstH);
    }
    if (dstW == srcW) {
        if (dstH == srcH) return true;  // nothing to do
        return ResizeEngineVerticalFilter(filter, src, srcW, srcH, channels, dst, dstH);
    }
    // Narrower page: rows first, then columns.
    if (dstH == srcH) return ResizeEngineHorizontalFilter(filter, src, srcH, srcW, channels, dst, dstW);
    return TwoPasses(filter, true, src, srcW, srcH, channels, dst, dstW, dstH);
}

extern "C" void ScaleDownPage(unsigned char* srcImage, int srcW, int srcH, int channels,
                              unsigned char* dstImage, int dstW, int dstH) {
    DBG_INFO("Run into ScaleDownPage\n");
    if (srcImage == nullptr || dstImage == nullptr || srcW <= 0 || srcH <= 0 || dstW <= 0 ||
        dstH <= 0 || channels <= 0) {
        DBG_INFO("ScaleDownPage: invalid image %dx%dx%d -> %dx%d\n", srcW, srcH, channels, dstW, dstH);
        return;
    }
    if (!ResizeEngineScale(srcImage, static_cast<unsigned>(srcW), static_cast<unsigned>(srcH),
                           static_cast<unsigned>(channels), dstImage, static_cast<unsigned>(dstW),
                           static_cast<unsigned>(dstH))) {
        // The caller treats the destination as filled: hand it a blank (white)
        // page rather than uninitialised memory.
        DBG_INFO("ScaleDownPage: out of memory, page left blank\n");
        const size_t bytes = checked_bytes(static_cast<size_t>(dstW), static_cast<size_t>(dstH), channels);
        if ((channels == 1 || channels == 3) && bytes != SIZE_MAX) memset(dstImage, 0xFF, bytes);
    }
}
