// Portable inner loops of the resampler, the choice of vector code, and the
// split of a pass over two threads.
//
// Multiply and add stay separate instructions (the build switches
// contraction off everywhere; the pragma keeps it so for this file should it
// be built alone), so that every processor gives the same bytes.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("O3", "fp-contract=off")
#endif

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdlib>

#include "core/scan/imageproc/resample_engine.h"

namespace orvela::resample {

void HorizontalRowsScalar(const HorizontalJob& job, unsigned y0, unsigned y1) {
    const PackedWeights& wt = *job.weights;
    const size_t C = job.channels;
    const size_t srcRow = static_cast<size_t>(job.src_width) * C;
    const size_t dstRow = static_cast<size_t>(wt.dst_size) * C;
    for (size_t y = y0; y < y1; ++y) {
        const uint8_t* s = job.src + y * srcRow;
        uint8_t* d = job.dst + y * dstRow;
        for (size_t x = 0; x < wt.dst_size; ++x) {
            const double* w = wt.w + x * wt.taps;
            const uint8_t* p = s + wt.left[x] * C;
            const size_t n = wt.count[x];
            for (size_t c = 0; c < C; ++c) {
                double sum = 0.0;
                for (size_t i = 0; i < n; ++i) sum += w[i] * p[i * C + c];
                d[x * C + c] = RoundSample(sum);
            }
        }
    }
}

// Row by row: a whole destination row is accumulated in 8 sums at a time, so
// the source rows are read in order; each sample's sum keeps its tap order.
void VerticalRowsScalar(const VerticalJob& job, unsigned v0, unsigned v1) {
    const PackedWeights& wt = *job.weights;
    const size_t N = job.row_bytes;
    for (unsigned v = v0; v < v1; ++v) {
        const double* w = wt.w + static_cast<size_t>(v) * wt.taps;
        const unsigned n = wt.count[v];
        const uint8_t* top = job.src + static_cast<size_t>(wt.left[v]) * N;
        uint8_t* d = job.dst + static_cast<size_t>(v) * N;
        size_t j = 0;
        for (; j + 8 <= N; j += 8) {
            double a[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            const uint8_t* r = top + j;
            for (unsigned k = 0; k < n; ++k, r += N)
                for (int l = 0; l < 8; ++l) a[l] += w[k] * r[l];
            for (int l = 0; l < 8; ++l) d[j + l] = RoundSample(a[l]);
        }
        for (; j < N; ++j) {
            double sum = 0.0;
            const uint8_t* r = top + j;
            for (unsigned k = 0; k < n; ++k, r += N) sum += w[k] * *r;
            d[j] = RoundSample(sum);
        }
    }
}

void VerticalWindowRowScalar(const PackedWeights& wt, unsigned v, const uint8_t* const* rows, size_t N,
                             uint8_t* d) {
    const double* w = wt.w + static_cast<size_t>(v) * wt.taps;
    const unsigned n = wt.count[v];
    size_t j = 0;
    for (; j + 8 <= N; j += 8) {
        double a[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (unsigned k = 0; k < n; ++k)
            for (int l = 0; l < 8; ++l) a[l] += w[k] * rows[k][j + l];
        for (int l = 0; l < 8; ++l) d[j + l] = RoundSample(a[l]);
    }
    for (; j < N; ++j) {
        double sum = 0.0;
        for (unsigned k = 0; k < n; ++k) sum += w[k] * rows[k][j];
        d[j] = RoundSample(sum);
    }
}

SimdLevel DetectSimdLevel() {
#if ORVELA_RESAMPLE_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vbmi"))
        return SimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
#endif
    return SimdLevel::Scalar;
}

namespace {

int UsableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

const SimdLevel kCpuLevel = DetectSimdLevel();
const int kCpus = UsableCpus();
std::atomic<int> gLevel{static_cast<int>(kCpuLevel)};
std::atomic<int> gMaxThreads{kCpus >= 2 ? 2 : 1};

// A pass is split only when it is big enough to repay starting a thread
// (multiply-adds counted).
constexpr double kThreadWorkThreshold = 262144.0;

// The kernels of one level; the portable level has no fused two-pass kernel.
struct Kernels {
    bool (*horizontal)(const HorizontalJob&, unsigned, unsigned);
    void (*vertical)(const VerticalJob&, unsigned, unsigned);
    bool (*two_pass)(const TwoPassJob&, unsigned, unsigned);
    void (*window_row)(const PackedWeights&, unsigned, const uint8_t* const*, size_t, uint8_t*);
};

bool HorizontalRowsPortable(const HorizontalJob& job, unsigned y0, unsigned y1) {
    HorizontalRowsScalar(job, y0, y1);
    return true;
}

const Kernels& KernelsFor(SimdLevel level) {
    static const Kernels portable{HorizontalRowsPortable, VerticalRowsScalar, nullptr, VerticalWindowRowScalar};
#if ORVELA_RESAMPLE_X86_KERNELS
    static const Kernels avx2{HorizontalRowsAvx2, VerticalRowsAvx2, TwoPassRowsAvx2, VerticalWindowRowAvx2};
    static const Kernels avx512{HorizontalRowsAvx512, VerticalRowsAvx512, TwoPassRowsAvx512,
                                VerticalWindowRowAvx512};
    if (level == SimdLevel::Avx512) return avx512;
    if (level == SimdLevel::Avx2) return avx2;
#endif
    (void)level;
    return portable;
}

SimdLevel CurrentLevel() { return static_cast<SimdLevel>(gLevel.load(std::memory_order_relaxed)); }

void HorizontalRange(const HorizontalJob& job, unsigned y0, unsigned y1) {
    // A vector kernel without scratch memory leaves the rows to the portable code.
    if (!KernelsFor(CurrentLevel()).horizontal(job, y0, y1)) HorizontalRowsScalar(job, y0, y1);
}

void VerticalRange(const VerticalJob& job, unsigned v0, unsigned v1) {
    KernelsFor(CurrentLevel()).vertical(job, v0, v1);
}

bool TwoPassRange(const TwoPassJob& job, unsigned v0, unsigned v1) {
    return TwoPassRowsAt(CurrentLevel(), job, v0, v1);
}

// One part of a pass (rows [begin, end)), possibly run on a second thread.
// Nothing in the passes throws.
struct PassPart {
    const HorizontalJob* hjob;
    const VerticalJob* vjob;
    const TwoPassJob* tjob;
    unsigned begin;
    unsigned end;
    bool ok;
};

void* RunPart(void* arg) noexcept {
    auto* part = static_cast<PassPart*>(arg);
    part->ok = true;
    if (part->hjob != nullptr)
        HorizontalRange(*part->hjob, part->begin, part->end);
    else if (part->vjob != nullptr)
        VerticalRange(*part->vjob, part->begin, part->end);
    else
        part->ok = TwoPassRange(*part->tjob, part->begin, part->end);
    return nullptr;
}

// Runs the second part on a new thread and the first here; when no thread
// can be started both run here, one after the other.
void Split(PassPart& first, PassPart& second) {
    pthread_t worker;
    if (pthread_create(&worker, nullptr, RunPart, &second) != 0) {
        RunPart(&first);
        RunPart(&second);
        return;
    }
    RunPart(&first);
    pthread_join(worker, nullptr);
}

bool WorthTwoThreads(unsigned rows, double work) {
    return gMaxThreads.load(std::memory_order_relaxed) >= 2 && rows >= 16 &&
           work >= kThreadWorkThreshold;
}

}  // namespace

void VerticalWindowRow(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                       uint8_t* dst) {
    KernelsFor(CurrentLevel()).window_row(weights, v, rows, row_bytes, dst);
}

bool TwoPassRowsAt(SimdLevel level, const TwoPassJob& job, unsigned v0, unsigned v1) {
    const Kernels& kernels = KernelsFor(level);
    return kernels.two_pass != nullptr && kernels.two_pass(job, v0, v1);
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

void RunHorizontal(const HorizontalJob& job, unsigned rows) {
    const double work = static_cast<double>(rows) * job.weights->dst_size * job.channels *
                        job.weights->taps;
    if (!WorthTwoThreads(rows, work)) {
        HorizontalRange(job, 0, rows);
        return;
    }
    // The vector code takes rows in blocks of 8: split on a block boundary.
    const unsigned mid = (rows / 2 + 7) / 8 * 8;
    PassPart first{&job, nullptr, nullptr, 0, mid, false};
    PassPart second{&job, nullptr, nullptr, mid, rows, false};
    Split(first, second);
}

void RunVertical(const VerticalJob& job, unsigned rows) {
    const double work = static_cast<double>(rows) * job.row_bytes * job.weights->taps;
    if (!WorthTwoThreads(rows, work)) {
        VerticalRange(job, 0, rows);
        return;
    }
    const unsigned mid = rows / 2;
    PassPart first{nullptr, &job, nullptr, 0, mid, false};
    PassPart second{nullptr, &job, nullptr, mid, rows, false};
    Split(first, second);
}

bool RunTwoPass(const TwoPassJob& job) {
    if (CurrentLevel() == SimdLevel::Scalar) return false;
    const PackedWeights& wh = *job.horizontal;
    const PackedWeights& wv = *job.vertical;
    const unsigned rows = wv.dst_size;
    // Multiply-adds of the two passes.
    const double hRows = job.rows_first ? wv.src_size : wv.dst_size;
    const double vWidth = job.rows_first ? wh.dst_size : wh.src_size;
    const double work = (hRows * wh.dst_size * wh.taps + static_cast<double>(rows) * vWidth * wv.taps) *
                        job.channels;
    if (!WorthTwoThreads(rows, work)) return TwoPassRange(job, 0, rows);
    // Blocks of destination rows are made 8 at a time when the columns come
    // first: split on a block boundary.
    const unsigned mid = job.rows_first ? rows / 2 : (rows / 2 + 7) / 8 * 8;
    PassPart first{nullptr, nullptr, &job, 0, mid, false};
    PassPart second{nullptr, nullptr, &job, mid, rows, false};
    Split(first, second);
    // A part that found no scratch memory gets one more try, alone.
    if (!first.ok) first.ok = TwoPassRange(job, first.begin, first.end);
    if (!second.ok) second.ok = TwoPassRange(job, second.begin, second.end);
    return first.ok && second.ok;
}

}  // namespace orvela::resample
