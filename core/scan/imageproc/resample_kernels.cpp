// Portable inner loops of the resampler, the choice of vector code and the
// engine settings.
//
// Multiply and add stay separate instructions (the build switches
// contraction off everywhere; the pragma keeps it so for this file should it
// be built alone), so that every processor gives the same bytes.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("O3", "fp-contract=off")
#endif

#include <sched.h>

#include <atomic>
#include <cstdlib>

#include "common/debugtool.h"
#include "core/scan/imageproc/resample_engine.h"

namespace orvela::resample {

namespace {

void HorizontalScalar(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst,
                      unsigned n, HorizontalScratch&) {
    for (unsigned y = 0; y < n; ++y) {
        const uint8_t* s = src[y];
        uint8_t* d = dst[y];
        for (size_t x = 0; x < wt.dst_size; ++x) {
            const double* w = wt.w + x * wt.taps;
            const uint8_t* p = s + static_cast<size_t>(wt.left[x]) * C;
            const size_t taps = wt.count[x];
            for (size_t c = 0; c < C; ++c) {
                double sum = 0.0;
                for (size_t i = 0; i < taps; ++i) sum += w[i] * p[i * C + c];
                d[x * C + c] = RoundSample(sum);
            }
        }
    }
}

// Row by row: a whole destination row is accumulated in 8 sums at a time, so
// the source rows are read in order; each sample's sum keeps its tap order.
void VerticalScalar(const PackedWeights& wt, unsigned v0, unsigned D, const uint8_t* const* rows, size_t lo,
                    size_t N, uint8_t* const* dst) {
    for (unsigned g = 0; g < D; ++g) {
        const unsigned v = v0 + g;
        const double* w = wt.w + static_cast<size_t>(v) * wt.taps;
        const unsigned n = wt.count[v];
        const uint8_t* const* r = rows + (wt.left[v] - lo);
        uint8_t* d = dst[g];
        size_t j = 0;
        for (; j + 8 <= N; j += 8) {
            double a[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            for (unsigned k = 0; k < n; ++k)
                for (int l = 0; l < 8; ++l) a[l] += w[k] * r[k][j + l];
            for (int l = 0; l < 8; ++l) d[j + l] = RoundSample(a[l]);
        }
        for (; j < N; ++j) {
            double sum = 0.0;
            for (unsigned k = 0; k < n; ++k) sum += w[k] * r[k][j];
            d[j] = RoundSample(sum);
        }
    }
}

}  // namespace

const RowKernels kPortableKernels{HorizontalScalar, VerticalScalar};

namespace {

int UsableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

const SimdLevel kCpuLevel = DetectSimdLevel();
std::atomic<int> gLevel{static_cast<int>(kCpuLevel)};
std::atomic<int> gMaxThreads{UsableCpus() >= 2 ? 2 : 1};

// A page is split only when it is big enough to repay starting a thread
// (multiply-adds counted).
constexpr double kThreadWorkThreshold = 262144.0;

}  // namespace

SimdLevel DetectSimdLevel() {
    return VectorLanes() > 1 && !VectorTargetIsEmulated() ? SimdLevel::Vector : SimdLevel::Scalar;
}

const RowKernels& KernelsFor(SimdLevel level) {
    const bool vector = level == SimdLevel::Vector;
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        if (vector)
            DBG_INFO("resampler: vector code for %s, %zu double lanes\n", VectorTargetName(), VectorLanes());
        else
            DBG_INFO("resampler: portable code (vector code: %s)\n", kCpuLevel == SimdLevel::Vector
                                                                     ? VectorTargetName()
                                                                     : "none worth it on this CPU");
    }
    return vector ? kVectorKernels : kPortableKernels;
}

HorizontalScratch::~HorizontalScratch() {
    free(transposed);
    free(results);
    free(group_weights);
}

bool HorizontalScratch::allocate(SimdLevel level, const PackedWeights& wt, unsigned C) {
    if (level == SimdLevel::Scalar) return true;
    const size_t L = VectorLanes();
    const size_t doubles = HorizontalSourceDoubles(wt, C, L) * kMaxHorizontalBlocks;
    const size_t bytes = HorizontalResultBytes(wt, C, L) * kMaxHorizontalBlocks;
    const size_t weights = static_cast<size_t>(wt.dst_size) * wt.taps;
    transposed = static_cast<double*>(aligned_alloc(64, (doubles * sizeof(double) + 63) / 64 * 64));
    results = static_cast<uint8_t*>(aligned_alloc(64, bytes));
    group_weights = static_cast<double*>(malloc((weights != 0 ? weights : 1) * sizeof(double)));
    if (transposed == nullptr || results == nullptr || group_weights == nullptr) return false;
    const unsigned G = HorizontalGroup(C);
    const size_t T = wt.taps;
    for (size_t u = 0; u + G <= wt.dst_size; u += G)
        for (size_t g = 0; g < G; ++g)
            for (size_t k = 0; k < T; ++k) group_weights[u * T + k * G + g] = wt.w[(u + g) * T + k];
    return true;
}

EngineSettings GetEngineSettings() {
    return EngineSettings{static_cast<SimdLevel>(gLevel.load()), gMaxThreads.load()};
}

void SetEngineSettings(EngineSettings settings) {
    SimdLevel level = settings.level;
    if (level > kCpuLevel) level = kCpuLevel;
    if (level < SimdLevel::Scalar) level = SimdLevel::Scalar;
    gLevel.store(static_cast<int>(level));
    gMaxThreads.store(settings.max_threads >= 2 ? 2 : 1);
}

bool WorthTwoThreads(unsigned rows, double work) {
    return gMaxThreads.load(std::memory_order_relaxed) >= 2 && rows >= 16 && work >= kThreadWorkThreshold;
}

}  // namespace orvela::resample
