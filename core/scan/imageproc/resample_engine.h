// Inner loops of the resampler. The weight table is repacked into one block
// (every position's list padded with +0.0 to the same tap count) so that the
// loops can run over several destination positions at once.
//
// Every variant computes each output sample exactly as the plain formulation
// does: the sum starts at +0.0, taps are added in ascending order, each tap is
// a separate multiply and add in double (never fused), and the result is
// trunc(sum + 0.5) clamped to 0..255. Vector code only spans independent
// output samples, so all variants give the same bytes. A padded tap adds
// +0.0 * sample = +0.0, which leaves the sum's value unchanged.
//
// The kernels work on rows given by pointers, so that the one rescaler
// (row_rescale.h) can feed them from a page in memory, from a ring of rows or
// from rows it borrows from its caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/scan/imageproc/resample.h"

namespace orvela::resample {

struct PackedWeights {
    unsigned dst_size = 0;
    unsigned src_size = 0;
    unsigned taps = 0;          // doubles per position in w (the table's window)
    unsigned* left = nullptr;   // first source position, per destination position
    unsigned* count = nullptr;  // taps in use, per destination position
    double* w = nullptr;        // w[u * taps + k]; +0.0 from count[u] on

    PackedWeights() = default;
    PackedWeights(const PackedWeights&) = delete;
    PackedWeights& operator=(const PackedWeights&) = delete;
    ~PackedWeights();
    // The weights of `filter` for dst_size destination positions read from
    // src_size source positions (WeightsTableInit's table, packed): the one
    // place where every pass gets its weights. False when the sizes are
    // unusable or memory ran out.
    bool build(FilterFunc filter, unsigned dst_size, unsigned src_size);

private:
    void release();
};

// The kernel a page is scaled with, on both axes: Lanczos when the page gets
// wider, the Mitchell cubic otherwise (also when only its height changes).
inline FilterFunc PageFilter(unsigned src_width, unsigned dst_width) {
    return dst_width > src_width ? Lanczos3Filter : BicubicFilter;
}

// Rounds a weighted sum to a sample: trunc(sum + 0.5), clamped to 0..255.
inline uint8_t RoundSample(double sum) {
    const int v = static_cast<int>(sum + 0.5);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Destination rows the vertical kernel makes together (each source row is
// widened once for all of them).
constexpr unsigned kGroupRows = 4;
// Rows of working memory a ring of source rows needs beyond a group's span.
inline size_t GroupSpanCapacity(const PackedWeights& wt) { return 2 * static_cast<size_t>(wt.taps) + 16; }

// Instruction-set levels: the portable loops, or the vector code of the best
// instruction set the CPU has (resample_vector.cpp; picked once per process,
// cpu_vector_targets.h asks the CPU). Where no vector code beats the portable
// loops (no double lanes, or only Highway's emulation) the CPU's level is
// Scalar.
enum class SimdLevel { Scalar = 0, Vector = 1 };
SimdLevel DetectSimdLevel();

// The vector code's double lanes (0 where it has none) and the name of the
// instruction set it was built for.
size_t VectorLanes();
const char* VectorTargetName();
bool VectorTargetIsEmulated();

// Highway's target bits of the vector code built here that this CPU runs
// (the baseline's always), and, for tests and the benchmark, a limit on the
// sets the vector code is picked from (0 lifts it; none left within it picks
// the baseline's).
int64_t RunnableVectorTargets();
void LimitVectorTargets(int64_t targets);

// Destination columns the vector horizontal kernel makes together.
constexpr unsigned HorizontalGroup(unsigned channels) { return channels == 1 ? 8 : 4; }
// Blocks of rows (of as many rows as the vector lanes) that the horizontal
// kernel takes at once, at most; the room each needs for its transposed
// source (doubles) and its results (bytes, a multiple of 64).
constexpr unsigned kMaxHorizontalBlocks = 2;
inline size_t HorizontalSourceDoubles(const PackedWeights& wt, unsigned C, size_t lanes) {
    return (static_cast<size_t>(wt.src_size) + wt.taps + lanes) * C * lanes;
}
inline size_t HorizontalResultBytes(const PackedWeights& wt, unsigned C, size_t lanes) {
    return (static_cast<size_t>(wt.dst_size) * C * lanes + 64 + 63) / 64 * 64;
}

// Working memory of the horizontal kernel for one weight table and row width
// (none at the portable level).
class HorizontalScratch {
public:
    HorizontalScratch() = default;
    HorizontalScratch(const HorizontalScratch&) = delete;
    HorizontalScratch& operator=(const HorizontalScratch&) = delete;
    ~HorizontalScratch();
    bool allocate(SimdLevel level, const PackedWeights& wt, unsigned channels);
    double* transposed = nullptr;  // source samples of a block of rows, lane by lane
    uint8_t* results = nullptr;    // destination samples of the block, lane by lane
    // The weights of each whole group of HorizontalGroup(channels) columns
    // from column u (a multiple of the group), tap by tap:
    // group_weights[u * taps + k * group + g] = w[(u + g) * taps + k], so
    // that the group's loop reads them from one pointer.
    double* group_weights = nullptr;
};

// The inner loops of one level.
struct RowKernels {
    // Rows src[i] (wt.src_size x C samples) into dst[i] (wt.dst_size x C),
    // for i < n; C is 1 or 3.
    void (*horizontal)(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst,
                       unsigned n, HorizontalScratch& scratch);
    // Destination rows v .. v + D - 1 (D <= kGroupRows) of a vertical pass over
    // rows of N bytes: rows[r - lo] is source row r, for every r the group
    // reads (lo <= wt.left[v]).
    void (*vertical)(const PackedWeights& wt, unsigned v, unsigned D, const uint8_t* const* rows, size_t lo,
                     size_t N, uint8_t* const* dst);
};
// The loops of `level`; the first call logs which ones the resampler runs.
const RowKernels& KernelsFor(SimdLevel level);
extern const RowKernels kPortableKernels;
// Only called when DetectSimdLevel() found them worth it.
extern const RowKernels kVectorKernels;

// Engine settings, for tests and the benchmark: the instruction-set level
// (capped at what the CPU has) and the most threads a page scaling may use
// (1 or 2).
struct EngineSettings {
    SimdLevel level;
    int max_threads;
};
EngineSettings GetEngineSettings();
void SetEngineSettings(EngineSettings settings);

// Whether scaling `rows` destination rows worth `work` multiply-adds is split
// over two threads with the current settings.
bool WorthTwoThreads(unsigned rows, double work);

}  // namespace orvela::resample
