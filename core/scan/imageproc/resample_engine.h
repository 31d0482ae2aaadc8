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
    // place where every pass and every way of scaling a page gets its
    // weights. False when the sizes are unusable or memory ran out.
    bool build(FilterFunc filter, unsigned dst_size, unsigned src_size);

private:
    bool assign(const WeightsTableHandle& table, unsigned src_size);
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

// Horizontal pass over rows [y0, y1): src rows are src_width x channels bytes,
// dst rows weights.dst_size x channels. channels is 1 or 3.
struct HorizontalJob {
    const PackedWeights* weights;
    const uint8_t* src;
    uint8_t* dst;
    unsigned src_width;
    unsigned channels;
};
// Vertical pass over destination rows [v0, v1); rows are row_bytes long in
// both images.
struct VerticalJob {
    const PackedWeights* weights;
    const uint8_t* src;
    uint8_t* dst;
    size_t row_bytes;
};

// Both passes over destination rows, without a page-sized intermediate
// image: rows_first (the page gets narrower) resamples source rows into a
// small ring of intermediate rows, as the vertical pass needs them; otherwise
// (the page gets wider) each block of destination rows is first resampled
// vertically into a small buffer, then horizontally. The bytes are those of
// the two separate passes.
struct TwoPassJob {
    const PackedWeights* horizontal;  // src_width -> destination width
    const PackedWeights* vertical;    // source height -> destination height
    const uint8_t* src;
    uint8_t* dst;
    unsigned src_width;
    unsigned channels;
    bool rows_first;
};

// The x86 vector kernels (AVX2, AVX-512) exist on 32- and 64-bit x86 only;
// elsewhere the portable loops are the one level.
#if defined(__x86_64__) || defined(__i386__)
#define ORVELA_RESAMPLE_X86_KERNELS 1
#else
#define ORVELA_RESAMPLE_X86_KERNELS 0
#endif

// Instruction-set levels, chosen once per process from the CPU (always
// Scalar where there are no vector kernels).
enum class SimdLevel { Scalar = 0, Avx2 = 1, Avx512 = 2 };
SimdLevel DetectSimdLevel();

// Portable versions (any processor).
void HorizontalRowsScalar(const HorizontalJob& job, unsigned y0, unsigned y1);
void VerticalRowsScalar(const VerticalJob& job, unsigned v0, unsigned v1);
#if ORVELA_RESAMPLE_X86_KERNELS
// AVX2 and AVX-512 versions; only called when the CPU has the instructions.
// The horizontal ones need scratch memory and return false when it cannot be
// allocated (nothing written then).
bool HorizontalRowsAvx2(const HorizontalJob& job, unsigned y0, unsigned y1);
void VerticalRowsAvx2(const VerticalJob& job, unsigned v0, unsigned v1);
bool HorizontalRowsAvx512(const HorizontalJob& job, unsigned y0, unsigned y1);
void VerticalRowsAvx512(const VerticalJob& job, unsigned v0, unsigned v1);
// Fused two-pass rows [v0, v1); false when scratch memory cannot be had or the
// vertical table is not ordered as expected (nothing usable written then).
bool TwoPassRowsAvx2(const TwoPassJob& job, unsigned v0, unsigned v1);
bool TwoPassRowsAvx512(const TwoPassJob& job, unsigned v0, unsigned v1);
#endif

// Destination row v of the vertical pass from a window of source rows that
// need not be adjacent in memory: rows[k] is source row weights.left[v] + k,
// for k < weights.count[v]; rows are row_bytes long. The bytes are those the
// vertical pass over a whole image gives for row v, so a page can be rescaled
// from a sliding window of its rows.
void VerticalWindowRowScalar(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                             uint8_t* dst);
#if ORVELA_RESAMPLE_X86_KERNELS
void VerticalWindowRowAvx2(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                           uint8_t* dst);
void VerticalWindowRowAvx512(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                             uint8_t* dst);
#endif
// The same at the current engine level.
void VerticalWindowRow(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                       uint8_t* dst);

// Fused two-pass rows [v0, v1) with the kernels of `level`; false at the
// portable level (it has no fused kernel) and where the kernel gives up.
bool TwoPassRowsAt(SimdLevel level, const TwoPassJob& job, unsigned v0, unsigned v1);

// Engine settings, for tests and the benchmark: the instruction-set level
// (capped at what the CPU has) and the most threads a pass may use (1 or 2).
struct EngineSettings {
    SimdLevel level;
    int max_threads;
};
EngineSettings GetEngineSettings();
void SetEngineSettings(EngineSettings settings);

// Runs a pass over all its rows with the current settings. When a vector
// variant cannot get its scratch memory the portable code does the rows.
void RunHorizontal(const HorizontalJob& job, unsigned rows);
void RunVertical(const VerticalJob& job, unsigned rows);
// Fused two-pass scaling of all destination rows; false when it cannot run
// here (portable level, or no scratch memory): the caller then runs the two
// passes through an intermediate image.
bool RunTwoPass(const TwoPassJob& job);

}  // namespace orvela::resample
