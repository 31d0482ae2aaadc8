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

}  // extern "C"

namespace {

// The kernel's reach and scale for a table of dst positions read from src.
struct TableGeometry {
    double scale;   // dst / src
    double fscale;  // the kernel's argument and height scale (1 when growing)
    double width;   // the kernel's reach in source positions
    unsigned window;
};

bool Geometry(FilterFunc filter, unsigned dst, unsigned src, TableGeometry* g) {
    g->width = GetFilterWidth(filter);
    g->scale = static_cast<double>(dst) / static_cast<double>(src);
    g->fscale = 1.0;
    if (g->scale < 1.0) {
        // Reduction: stretch the kernel over 1/scale source pixels and lower
        // it by the same factor.
        g->fscale = g->scale;
        g->width = g->width / g->scale;
    }
    const double window = 2.0 * std::ceil(g->width) + 1.0;
    if (!(window < 4294967295.0)) return false;
    g->window = static_cast<unsigned>(window);
    return true;
}

// The weights of destination position u into weights[0, window) (zero on
// entry), and the source positions [*left, *right) they apply to.
void PositionWeights(FilterFunc filter, const TableGeometry& g, unsigned u, unsigned src, double* weights,
                     unsigned* left_out, unsigned* right_out) {
    // Centre of destination pixel u in source coordinates.
    const double dCenter = u / g.scale + 0.5 / g.scale;
    const double leftEdge = dCenter - g.width + 0.5;
    const double rightEdge = dCenter + g.width + 0.5;
    long long left = leftEdge < 0.0 ? 0 : static_cast<long long>(leftEdge);
    long long right = rightEdge < 0.0 ? 0 : static_cast<long long>(rightEdge);
    if (right > static_cast<long long>(src)) right = src;
    if (left > right) left = right;
    // The window always holds the support; the bound only guards the array.
    if (right - left > static_cast<long long>(g.window)) right = left + g.window;

    double total = 0.0;
    for (long long s = left; s < right; ++s) {
        const double w = g.fscale * filter((static_cast<double>(s) + 0.5 - dCenter) * g.fscale);
        weights[s - left] = w;
        total += w;
    }
    if (total > 0.0 && total != 1.0)
        for (long long s = left; s < right; ++s) weights[s - left] /= total;
    // Trailing zero weights would only add work.
    while (right > left && weights[right - left - 1] == 0.0) --right;
    *left_out = static_cast<unsigned>(left);
    *right_out = static_cast<unsigned>(right);
}

}  // namespace

extern "C" {

WeightsTableHandle WeightsTableInit(FilterFunc pFilter, unsigned uDstSize, unsigned uSrcSize) {
    WeightsTableHandle handle{nullptr, 0, 0};
    TableGeometry g{};
    if (pFilter == nullptr || uDstSize == 0 || uSrcSize == 0 || !Geometry(pFilter, uDstSize, uSrcSize, &g))
        return handle;

    auto* table = static_cast<Contribution*>(calloc(uDstSize, sizeof(Contribution)));
    if (table == nullptr) return handle;
    handle.m_WeightTable = table;
    handle.m_WindowSize = g.window;
    handle.m_LineLength = uDstSize;

    for (unsigned u = 0; u < uDstSize; ++u) {
        double* weights = static_cast<double*>(calloc(g.window, sizeof(double)));
        if (weights == nullptr) {
            WeightsTableRelease(handle);
            return WeightsTableHandle{nullptr, 0, 0};
        }
        table[u].Weights = weights;
        PositionWeights(pFilter, g, u, uSrcSize, weights, &table[u].Left, &table[u].Right);
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

PackedWeights::~PackedWeights() { release(); }

void PackedWeights::release() {
    free(left);
    free(count);
    free(w);
    left = count = nullptr;
    w = nullptr;
    dst_size = src_size = taps = 0;
}

// WeightsTableInit's table, computed straight into the packed arrays (one
// allocation each instead of one per position).
bool PackedWeights::build(FilterFunc filter, unsigned dst, unsigned src) {
    release();
    TableGeometry g{};
    if (filter == nullptr || dst == 0 || src == 0 || !Geometry(filter, dst, src, &g)) return false;
    const size_t n = dst, t = g.window;
    left = static_cast<unsigned*>(malloc(n * sizeof(unsigned)));
    count = static_cast<unsigned*>(malloc(n * sizeof(unsigned)));
    w = static_cast<double*>(calloc(n * t, sizeof(double)));
    if (left == nullptr || count == nullptr || w == nullptr) return false;
    for (unsigned u = 0; u < dst; ++u) {
        unsigned right = 0;
        PositionWeights(filter, g, u, src, w + u * t, &left[u], &right);
        count[u] = right - left[u];
    }
    dst_size = dst;
    src_size = src;
    taps = g.window;
    return true;
}

}  // namespace orvela::resample

