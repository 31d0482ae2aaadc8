// Vector inner loops of the resampler, written once against Highway and built
// for every instruction set worth having (x86: SSE4, AVX2, AVX-512; arm64:
// NEON); the best one the CPU has is picked when the resampler first runs.
//
// Each output sample is computed as in the portable loops: sum from +0.0, taps
// in ascending order, a separate multiply and add (Mul then Add, never MulAdd:
// a fused one rounds once where the plain formulation rounds twice; the build
// also switches contraction off), trunc(sum + 0.5) clamped. Vectors only span
// independent output samples:
//  - horizontal pass: L source rows at a time (L the double lanes of the
//    target), transposed so that one vector holds one sample position of L
//    rows (same weight for every lane); the results are transposed back;
//  - vertical pass: up to kGroupRows destination rows together, L adjacent
//    samples of each per vector; each source row is widened once for all.
// The sums are in double: a target without double lanes (32-bit ARM NEON)
// leaves the rows to the portable loops.
//
// Everything built per target lives in Highway's per-target namespace and
// uses no library templates, so that no code built for a newer CPU can be
// shared with (or replace) code the portable path calls.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("O3", "fp-contract=off")
#endif

// The targets named above and no others: SSSE3 adds nothing over the portable
// loops here, AVX3_DL nothing over AVX-512, and SVE's scalable vectors do not
// fit the fixed lane counts below.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SSSE3 | HWY_AVX3_DL | HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#endif

// Highway's debug checks would call its library's Abort, and a library
// loaded into a frontend never aborts: the backend uses Highway's headers only.
#ifndef HWY_IS_DEBUG_BUILD
#define HWY_IS_DEBUG_BUILD 0
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/scan/imageproc/resample_vector.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/scan/imageproc/cpu_vector_targets.h"
#include "core/scan/imageproc/resample_engine.h"

HWY_BEFORE_NAMESPACE();
namespace orvela::resample {
namespace HWY_NAMESPACE {

#if HWY_HAVE_FLOAT64
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<double>;
using DI = hn::Rebind<int32_t, DF>;
using DB = hn::Rebind<uint8_t, DF>;
using VF = hn::Vec<DF>;
constexpr size_t L = hn::MaxLanes(DF());

HWY_INLINE size_t MinSize(size_t a, size_t b) { return a < b ? a : b; }
HWY_INLINE size_t MaxSize(size_t a, size_t b) { return a > b ? a : b; }

HWY_INLINE VF MulAdd(VF acc, double w, VF x) { return hn::Add(acc, hn::Mul(hn::Set(DF(), w), x)); }

// L bytes from p as doubles.
HWY_INLINE VF Widen(const uint8_t* p) { return hn::PromoteTo(DF(), hn::PromoteTo(DI(), hn::LoadU(DB(), p))); }

// trunc(acc + 0.5), clamped to 0..255 (the narrowing saturates), L bytes at p.
HWY_INLINE void StoreBytes(uint8_t* p, VF acc) {
    const auto r = hn::DemoteTo(DI(), hn::Add(acc, hn::Set(DF(), 0.5)));
    hn::StoreU(hn::DemoteTo(DB(), r), DB(), p);
}

// StoreBytes for n sums (n even) going to p, p + L, p + 2 L, ...: two at a
// time through one narrowing of twice the lanes, which takes fewer shuffles.
HWY_INLINE void StoreBytesPairs(uint8_t* p, const VF* acc, size_t n) {
#if HWY_TARGET == HWY_SCALAR
    for (size_t i = 0; i < n; ++i) StoreBytes(p + i * L, acc[i]);
#else
    const hn::Twice<DI> di2;
    const hn::Rebind<uint8_t, decltype(di2)> db2;
    const VF half = hn::Set(DF(), 0.5);
    for (size_t i = 0; i + 1 < n; i += 2) {
        const auto lo = hn::DemoteTo(DI(), hn::Add(acc[i], half));
        const auto hi = hn::DemoteTo(DI(), hn::Add(acc[i + 1], half));
        hn::StoreU(hn::DemoteTo(db2, hn::Combine(di2, hi, lo)), db2, p + i * L);
    }
#endif
}

HWY_INLINE uint8_t RoundTail(double sum) {
    const int v = static_cast<int>(sum + 0.5);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// v[r] lane c -> v[c] lane r, for an L x L block. Each round of even/odd
// concatenation rotates the bits of (row, lane) right by one; log2(L) rounds
// swap them.
HWY_INLINE void TransposeSquare(VF* v) {
#if HWY_TARGET == HWY_SCALAR
    (void)v;  // one lane: nothing to swap
#else
    {
        const DF d;
        for (size_t half = 1; half < L; half *= 2) {
            VF t[L];
            for (size_t i = 0; i < L / 2; ++i) {
                t[i] = hn::ConcatEven(d, v[2 * i + 1], v[2 * i]);
                t[i + L / 2] = hn::ConcatOdd(d, v[2 * i + 1], v[2 * i]);
            }
            for (size_t i = 0; i < L; ++i) v[i] = t[i];
        }
    }
#endif
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
// Byte transposes in three (8 x 8) or two (4 x 4) rounds of byte, pair and
// quad interleaving within 128 bits: far fewer and cheaper shuffles than
// transposing doubles.
using V8 = hn::Vec<hn::Full128<uint8_t>>;

// p[l][i] for l, i < 8 -> e[m] = (p[0..7][2m], p[0..7][2m + 1]).
HWY_INLINE void Transpose8x8(const uint8_t* const* p, V8* e) {
    const hn::Full128<uint8_t> d8;
    const hn::Full128<uint16_t> d16;
    const hn::Full128<uint32_t> d32;
    const hn::Full64<uint8_t> h8;
    V8 a[8];
    for (size_t l = 0; l < 8; ++l) a[l] = hn::ZeroExtendVector(d8, hn::LoadU(h8, p[l]));
    const auto b0 = hn::BitCast(d16, hn::InterleaveLower(a[0], a[1]));
    const auto b1 = hn::BitCast(d16, hn::InterleaveLower(a[2], a[3]));
    const auto b2 = hn::BitCast(d16, hn::InterleaveLower(a[4], a[5]));
    const auto b3 = hn::BitCast(d16, hn::InterleaveLower(a[6], a[7]));
    const auto c0 = hn::BitCast(d32, hn::InterleaveLower(b0, b1));
    const auto c1 = hn::BitCast(d32, hn::InterleaveUpper(d16, b0, b1));
    const auto c2 = hn::BitCast(d32, hn::InterleaveLower(b2, b3));
    const auto c3 = hn::BitCast(d32, hn::InterleaveUpper(d16, b2, b3));
    e[0] = hn::BitCast(d8, hn::InterleaveLower(c0, c2));
    e[1] = hn::BitCast(d8, hn::InterleaveUpper(d32, c0, c2));
    e[2] = hn::BitCast(d8, hn::InterleaveLower(c1, c3));
    e[3] = hn::BitCast(d8, hn::InterleaveUpper(d32, c1, c3));
}

// p[l][i] for l, i < 4 -> byte 4 i + l.
HWY_INLINE V8 Transpose4x4(const uint8_t* const* p) {
    const hn::Full128<uint8_t> d8;
    const hn::Full128<uint16_t> d16;
    const hn::Full64<uint8_t> h8;
    const hn::Full32<uint8_t> q8;
    V8 a[4];
    for (size_t l = 0; l < 4; ++l) a[l] = hn::ZeroExtendVector(d8, hn::ZeroExtendVector(h8, hn::LoadU(q8, p[l])));
    const auto b0 = hn::BitCast(d16, hn::InterleaveLower(a[0], a[1]));
    const auto b1 = hn::BitCast(d16, hn::InterleaveLower(a[2], a[3]));
    return hn::BitCast(d8, hn::InterleaveLower(b0, b1));
}

// The bytes from 4 k on, to the front.
template <int k>
HWY_INLINE V8 ShiftRightQuads(V8 v) {
    return hn::ShiftRightBytes<4 * k>(hn::Full128<uint8_t>(), v);
}
#endif

// rows[l][j + i] -> T[(j + i) * L + l] as doubles, for i, l < L.
HWY_INLINE void TransposeIn(const uint8_t* const* rows, size_t j, double* T) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    static_assert(L == 8);
    const uint8_t* p[8];
    for (size_t l = 0; l < 8; ++l) p[l] = rows[l] + j;
    V8 e[4];
    Transpose8x8(p, e);
    const hn::Full64<uint8_t> h8;
    for (size_t i = 0; i < 4; ++i) {
        hn::Store(hn::PromoteTo(DF(), hn::PromoteTo(DI(), hn::LowerHalf(e[i]))), DF(), T + (j + 2 * i) * 8);
        hn::Store(hn::PromoteTo(DF(), hn::PromoteTo(DI(), hn::UpperHalf(h8, e[i]))), DF(),
                  T + (j + 2 * i + 1) * 8);
    }
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    static_assert(L == 4);
    const uint8_t* p[4];
    for (size_t l = 0; l < 4; ++l) p[l] = rows[l] + j;
    const V8 c = Transpose4x4(p);
    const hn::Full32<uint8_t> q8;
    const V8 e[4] = {c, ShiftRightQuads<1>(c), ShiftRightQuads<2>(c), ShiftRightQuads<3>(c)};
    for (size_t i = 0; i < 4; ++i)
        hn::Store(hn::PromoteTo(DF(), hn::PromoteTo(DI(), hn::LowerHalf(q8, hn::LowerHalf(e[i])))), DF(),
                  T + (j + i) * 4);
#else
    VF v[L];
    for (size_t l = 0; l < L; ++l) v[l] = Widen(rows[l] + j);
    TransposeSquare(v);
    for (size_t i = 0; i < L; ++i) hn::Store(v[i], DF(), T + (j + i) * L);
#endif
}

// OT[(j + i) * L + l] -> rows[l][j + i] for i < L and l < nr: the lanes' results
// back into their rows.
HWY_INLINE void TransposeOut(const uint8_t* OT, size_t j, uint8_t* const* rows, unsigned nr) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    if (nr == L) {
        const uint8_t* p[L];
        for (size_t i = 0; i < L; ++i) p[i] = OT + (j + i) * L;
#if HWY_TARGET <= HWY_AVX3
        V8 e[4];
        Transpose8x8(p, e);
        const hn::Full64<uint8_t> h8;
        for (size_t m = 0; m < 4; ++m) {
            hn::StoreU(hn::LowerHalf(e[m]), h8, rows[2 * m] + j);
            hn::StoreU(hn::UpperHalf(h8, e[m]), h8, rows[2 * m + 1] + j);
        }
#else
        const hn::Full32<uint8_t> q8;
        const V8 c = Transpose4x4(p);
        const V8 e[4] = {c, ShiftRightQuads<1>(c), ShiftRightQuads<2>(c), ShiftRightQuads<3>(c)};
        for (size_t l = 0; l < 4; ++l) hn::StoreU(hn::LowerHalf(q8, hn::LowerHalf(e[l])), q8, rows[l] + j);
#endif
        return;
    }
#endif
    for (unsigned l = 0; l < nr; ++l)
        for (size_t i = 0; i < L; ++i) rows[l][j + i] = OT[(j + i) * L + l];
}

// Bytes of transposed source a chunk of destination columns reads, per block
// of L rows. Each chunk transposes the taps that reach into the next one again,
// so small chunks cost more than they gain in cache hits: with 8 lanes 16 KiB
// (level 1) measured 5-10 % slower than 128 KiB (level 2); with 4 lanes the
// two measured alike.
constexpr double kChunkSourceBytes = L >= 8 ? 131072.0 : 16384.0;

// Destination columns per chunk.
unsigned ChunkColumns(const PackedWeights& wt, unsigned C) {
    const double scale = static_cast<double>(wt.dst_size) / wt.src_size;
    const double span = kChunkSourceBytes / (C * L * 8.0) - wt.taps;
    const double cols = span * (scale < 1.0 ? scale : 1.0);
    // A multiple of 8, so that every whole group starts at a multiple of the
    // group (scratch.group_weights).
    return cols > 8.0 ? static_cast<unsigned>(cols) / 8 * 8 : 8u;
}

// Blocks of L rows one pass of the horizontal loop takes at most: with 32
// vector registers two, so that each weight, once broadcast, serves both (the
// loop is bound by its loads; colour's 2 x 12 sums still fit); with 16
// registers one.
constexpr unsigned kBlocks = HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3 ? 2 : 1;

// Where block b of a pass keeps its transposed source and its results
// (HorizontalScratch holds room for kMaxHorizontalBlocks blocks).
HWY_INLINE double* BlockSource(const HorizontalScratch& s, const PackedWeights& wt, unsigned C, unsigned b) {
    return s.transposed + b * HorizontalSourceDoubles(wt, C, L);
}
HWY_INLINE uint8_t* BlockResults(const HorizontalScratch& s, const PackedWeights& wt, unsigned C, unsigned b) {
    return s.results + b * HorizontalResultBytes(wt, C, L);
}

// R blocks of L source rows (rows[b * L + l]; rows past the pass's end repeat
// the last row) into their result blocks OT: OT[(u * C + c) * L + l] is row
// l's destination column u, channel c.
template <unsigned C, unsigned R>
void HorizontalBlock(const uint8_t* const* rows, const PackedWeights& wt, const HorizontalScratch& scratch,
                     unsigned chunk) {
    constexpr unsigned G = HorizontalGroup(C);
    const unsigned dw = wt.dst_size;
    const size_t rowSamples = static_cast<size_t>(wt.src_size) * C;
    for (unsigned u0 = 0; u0 < dw; u0 += chunk) {
        const unsigned u1 = u0 + chunk < dw ? u0 + chunk : dw;
        // Source span read by this chunk, including the padded taps of each
        // group of columns.
        size_t s0 = wt.left[u0], s1 = s0;
        for (unsigned u = u0; u < u1; u += G) {
            const unsigned g1 = u + G < u1 ? u + G : u1;
            size_t n = 0;
            for (unsigned q = u; q < g1; ++q) n = MaxSize(n, wt.count[q]);
            for (unsigned q = u; q < g1; ++q) s1 = MaxSize(s1, wt.left[q] + n);
        }
        const size_t j0 = s0 * C, j1pad = s1 * C, j1 = MinSize(j1pad, rowSamples);
        double* Tb[R];  // Tb[b][j * L + l] for j in [j0, j1pad)
        for (unsigned b = 0; b < R; ++b) {
            Tb[b] = BlockSource(scratch, wt, C, b) - j0 * L;
            const uint8_t* const* br = rows + b * L;
            size_t j = j0;
            for (; j + L <= j1; j += L) TransposeIn(br, j, Tb[b]);
            for (; j < j1; ++j)
                for (unsigned l = 0; l < L; ++l) Tb[b][j * L + l] = br[l][j];
            for (; j < j1pad; ++j)
                for (unsigned l = 0; l < L; ++l) Tb[b][j * L + l] = 0.0;
        }

        // G destination columns at a time: G x C x R independent sums per
        // lane, enough to keep both vector adders busy despite the add latency.
        const size_t WS = wt.taps;
        unsigned u = u0;
        for (; u + G <= u1; u += G) {
            const double* wg = scratch.group_weights + static_cast<size_t>(u) * WS;
            unsigned n = 0;
            size_t off[G];
            for (unsigned g = 0; g < G; ++g) {
                n = wt.count[u + g] > n ? wt.count[u + g] : n;
                off[g] = static_cast<size_t>(wt.left[u + g]) * C * L;
            }
            VF acc[R][G][C];
            for (unsigned b = 0; b < R; ++b)
                for (unsigned g = 0; g < G; ++g)
                    for (unsigned c = 0; c < C; ++c) acc[b][g][c] = hn::Zero(DF());
            for (size_t k = 0; k < n; ++k, wg += G) {
                for (unsigned g = 0; g < G; ++g) {
                    const VF x = hn::Set(DF(), wg[g]);
                    for (unsigned b = 0; b < R; ++b)
                        for (unsigned c = 0; c < C; ++c)
                            acc[b][g][c] = hn::Add(acc[b][g][c],
                                                   hn::Mul(x, hn::Load(DF(), Tb[b] + off[g] + (k * C + c) * L)));
                }
            }
            // The group's G x C results of a block lie side by side.
            for (unsigned b = 0; b < R; ++b)
                StoreBytesPairs(BlockResults(scratch, wt, C, b) + static_cast<size_t>(u) * C * L, &acc[b][0][0],
                                G * C);
        }
        for (; u < u1; ++u) {
            const double* w = wt.w + static_cast<size_t>(u) * WS;
            const unsigned n = wt.count[u];
            const size_t off = static_cast<size_t>(wt.left[u]) * C * L;
            for (unsigned b = 0; b < R; ++b) {
                VF acc[C];
                for (unsigned c = 0; c < C; ++c) acc[c] = hn::Zero(DF());
                for (size_t k = 0; k < n; ++k)
                    for (unsigned c = 0; c < C; ++c)
                        acc[c] = MulAdd(acc[c], w[k], hn::Load(DF(), Tb[b] + off + (k * C + c) * L));
                uint8_t* OT = BlockResults(scratch, wt, C, b);
                for (unsigned c = 0; c < C; ++c) StoreBytes(OT + (static_cast<size_t>(u) * C + c) * L, acc[c]);
            }
        }
    }
}

// Rows src[i] -> dst[i] for i < n: kBlocks x L rows at a time while there are
// more than L, then L.
template <unsigned C>
void HorizontalRows(const PackedWeights& wt, const uint8_t* const* src, uint8_t* const* dst, unsigned n,
                    HorizontalScratch& scratch) {
    const unsigned chunk = ChunkColumns(wt, C);
    const size_t ND = static_cast<size_t>(wt.dst_size) * C;
    for (unsigned y = 0; y < n;) {
        const unsigned R = n - y > L ? kBlocks : 1;
        const unsigned nr = n - y < R * L ? n - y : R * L;
        const uint8_t* rows[kBlocks * L];
        uint8_t* drows[kBlocks * L];
        for (unsigned l = 0; l < R * L; ++l) {
            rows[l] = src[y + (l < nr ? l : nr - 1)];
            drows[l] = dst[y + (l < nr ? l : nr - 1)];
        }
        if (R == kBlocks && kBlocks > 1)
            HorizontalBlock<C, kBlocks>(rows, wt, scratch, chunk);
        else
            HorizontalBlock<C, 1>(rows, wt, scratch, chunk);
        for (unsigned b = 0; b < R; ++b) {
            const uint8_t* OT = BlockResults(scratch, wt, C, b);
            const unsigned bn = nr > b * L ? (nr - b * L < L ? nr - b * L : L) : 0;
            uint8_t* const* br = drows + b * L;
            size_t j = 0;
            for (; j + L <= ND; j += L) TransposeOut(OT, j, br, bn);
            for (; j < ND; ++j)
                for (unsigned l = 0; l < bn; ++l) br[l][j] = OT[j * L + l];
        }
        y += nr;
    }
}

void Horizontal(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst, unsigned n,
                HorizontalScratch& scratch) {
    if (C == 1)
        HorizontalRows<1>(wt, src, dst, n, scratch);
    else
        HorizontalRows<3>(wt, src, dst, n, scratch);
}

// Vectors of adjacent samples per destination row the vertical loop keeps
// (4 rows x 2 sums: room left for the widened source vectors with 16
// registers; more measured no faster with 32).
constexpr size_t kVerticalVectors = 2;
// Source rows a group may span to be widened into a buffer first, and the
// vectors of adjacent samples taken per row then (four independent sums per
// destination row hide the add latency).
constexpr size_t kStagedSpan = 48;
constexpr size_t kStagedVectors = 4;

// Destination rows v .. v + D - 1 (D <= kGroupRows) together: rows[r - lo] is
// source row r. Each source row is widened once per block of samples and added
// into every destination row whose taps include it; each sum still takes its
// own taps in ascending order, from +0.0.
void Vertical(const PackedWeights& wt, unsigned v, unsigned D, const uint8_t* const* rows, size_t lo, size_t N,
              uint8_t* const* d) {
    size_t first[kGroupRows] = {}, count[kGroupRows] = {};
    const double* w[kGroupRows] = {};
    size_t hi = lo;
    for (unsigned g = 0; g < D; ++g) {
        first[g] = wt.left[v + g] - lo;  // tap 0 of row g, relative to lo
        count[g] = wt.count[v + g];
        w[g] = wt.w + static_cast<size_t>(v + g) * wt.taps;
        hi = MaxSize(hi, static_cast<size_t>(wt.left[v + g]) + wt.count[v + g]);
    }
    const size_t span = hi - lo;
    size_t j = 0;
    if (span <= kStagedSpan) {
        // The group's source rows widened once into X, then each destination
        // row's taps in a tight loop of its own: no test per row and tap.
        HWY_ALIGN double X[kStagedSpan * kStagedVectors * L];
        for (; j + kStagedVectors * L <= N; j += kStagedVectors * L) {
            for (size_t r = 0; r < span; ++r)
                for (size_t i = 0; i < kStagedVectors; ++i)
                    hn::Store(Widen(rows[r] + j + i * L), DF(), X + (r * kStagedVectors + i) * L);
            for (unsigned g = 0; g < D; ++g) {
                VF a[kStagedVectors];
                for (size_t i = 0; i < kStagedVectors; ++i) a[i] = hn::Zero(DF());
                const double* x = X + first[g] * kStagedVectors * L;
                for (size_t k = 0; k < count[g]; ++k, x += kStagedVectors * L) {
                    const VF wk = hn::Set(DF(), w[g][k]);
                    for (size_t i = 0; i < kStagedVectors; ++i)
                        a[i] = hn::Add(a[i], hn::Mul(wk, hn::Load(DF(), x + i * L)));
                }
                StoreBytesPairs(d[g] + j, a, kStagedVectors);
            }
        }
    }
    for (; j + kVerticalVectors * L <= N; j += kVerticalVectors * L) {
        VF a[kGroupRows][kVerticalVectors];
        for (unsigned g = 0; g < kGroupRows; ++g)
            for (size_t i = 0; i < kVerticalVectors; ++i) a[g][i] = hn::Zero(DF());
        for (size_t r = 0; r < span; ++r) {
            const uint8_t* p = rows[r] + j;
            VF x[kVerticalVectors];
            for (size_t i = 0; i < kVerticalVectors; ++i) x[i] = Widen(p + i * L);
            for (unsigned g = 0; g < kGroupRows; ++g) {
                const size_t k = r - first[g];  // wraps above count when r < first
                if (g < D && k < count[g])
                    for (size_t i = 0; i < kVerticalVectors; ++i) a[g][i] = MulAdd(a[g][i], w[g][k], x[i]);
            }
        }
        for (unsigned g = 0; g < D; ++g)
            for (size_t i = 0; i < kVerticalVectors; ++i) StoreBytes(d[g] + j + i * L, a[g][i]);
    }
    for (; j < N; ++j)
        for (unsigned g = 0; g < D; ++g) {
            double sum = 0.0;
            for (size_t k = 0; k < count[g]; ++k) sum += w[g][k] * rows[first[g] + k][j];
            d[g][j] = RoundTail(sum);
        }
}

size_t Lanes() { return L; }

#else  // no double lanes: the portable loops do the rows

void Horizontal(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst, unsigned n,
                HorizontalScratch& scratch) {
    kPortableKernels.horizontal(wt, C, src, dst, n, scratch);
}

void Vertical(const PackedWeights& wt, unsigned v, unsigned D, const uint8_t* const* rows, size_t lo, size_t N,
              uint8_t* const* d) {
    kPortableKernels.vertical(wt, v, D, rows, lo, N, d);
}

size_t Lanes() { return 0; }

#endif  // HWY_HAVE_FLOAT64

}  // namespace HWY_NAMESPACE
}  // namespace orvela::resample
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvela::resample {

namespace {

// One instruction set's code. The CPU is asked by CpuVectorTargets, not by
// Highway's dispatch, which lives in its library.
struct VectorCode {
    int64_t target;
    decltype(&HWY_STATIC_DISPATCH(Horizontal)) horizontal;
    decltype(&HWY_STATIC_DISPATCH(Vertical)) vertical;
    decltype(&HWY_STATIC_DISPATCH(Lanes)) lanes;
};

#define ORVELA_VECTOR_CODE(ns) {HWY_##ns, &N_##ns::Horizontal, &N_##ns::Vertical, &N_##ns::Lanes}
// Best first; the last is the code built for the compiler's baseline, which
// every CPU of the architecture runs.
const VectorCode kBuilt[] = {
#if (HWY_TARGETS & HWY_AVX3) && HWY_STATIC_TARGET != HWY_AVX3
    ORVELA_VECTOR_CODE(AVX3),
#endif
#if (HWY_TARGETS & HWY_AVX2) && HWY_STATIC_TARGET != HWY_AVX2
    ORVELA_VECTOR_CODE(AVX2),
#endif
#if (HWY_TARGETS & HWY_SSE4) && HWY_STATIC_TARGET != HWY_SSE4
    ORVELA_VECTOR_CODE(SSE4),
#endif
#if (HWY_TARGETS & HWY_NEON) && HWY_STATIC_TARGET != HWY_NEON
    ORVELA_VECTOR_CODE(NEON),
#endif
    {HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(Horizontal), &HWY_STATIC_DISPATCH(Vertical),
     &HWY_STATIC_DISPATCH(Lanes)},
};
#undef ORVELA_VECTOR_CODE
constexpr size_t kBuiltCount = sizeof(kBuilt) / sizeof(kBuilt[0]);

int64_t Runnable() {
    static const int64_t runnable = (CpuVectorTargets() | HWY_STATIC_TARGET);
    return runnable;
}

std::atomic<int64_t> gLimit{0};
std::atomic<const VectorCode*> gChosen{nullptr};

// The best code the CPU runs within the limit, else the baseline's.
const VectorCode* Choose() {
    const int64_t limit = gLimit.load(std::memory_order_relaxed);
    const int64_t usable = Runnable() & (limit != 0 ? limit : ~int64_t{0});
    for (const VectorCode& code : kBuilt)
        if ((code.target & usable) != 0) return &code;
    return &kBuilt[kBuiltCount - 1];
}

const VectorCode& Chosen() {
    const VectorCode* code = gChosen.load(std::memory_order_acquire);
    if (code == nullptr) {
        code = Choose();
        gChosen.store(code, std::memory_order_release);
    }
    return *code;
}

void HorizontalDispatched(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst,
                          unsigned n, HorizontalScratch& scratch) {
    Chosen().horizontal(wt, C, src, dst, n, scratch);
}

void VerticalDispatched(const PackedWeights& wt, unsigned v, unsigned D, const uint8_t* const* rows, size_t lo,
                        size_t N, uint8_t* const* d) {
    Chosen().vertical(wt, v, D, rows, lo, N, d);
}

}  // namespace

const RowKernels kVectorKernels{HorizontalDispatched, VerticalDispatched};

size_t VectorLanes() { return Chosen().lanes(); }

const char* VectorTargetName() { return hwy::TargetName(Chosen().target); }

bool VectorTargetIsEmulated() { return (Chosen().target & (HWY_EMU128 | HWY_SCALAR)) != 0; }

int64_t RunnableVectorTargets() {
    int64_t built = 0;
    for (const VectorCode& code : kBuilt) built |= code.target;
    return built & Runnable();
}

void LimitVectorTargets(int64_t targets) {
    gLimit.store(targets, std::memory_order_relaxed);
    gChosen.store(Choose(), std::memory_order_release);
}

}  // namespace orvela::resample
#endif  // HWY_ONCE
