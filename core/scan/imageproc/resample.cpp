// Resampling kernels and weight tables: what the page path scales with (the
// kernels nothing here uses, the table accessors and the whole-page scaler
// are in exported_extras.cpp).
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

#include "core/scan/imageproc/portable_trig.h"
#include "core/scan/imageproc/resample_engine.h"

extern "C" {

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

double sinc(double value) {
    if (value == 0.0) return 1.0;
    const double a = std::numbers::pi * value;
    return orvela::resample::PortableSin(a) / a;
}

double Lanczos3Filter(double dVal) {
    const double t = std::fabs(dVal);
    return t < 3.0 ? sinc(t) * sinc(t / 3.0) : 0.0;
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

