// Vector inner loops of the resampler over a small set of operations (struct
// Ops: L double lanes, see resample_avx2.cpp), included only after a target
// pragma; in an anonymous namespace and with no library templates, so that no
// code built for a newer CPU can be shared with (or replace) portable code.
//
// Each output sample is computed as in the portable loops: sum from +0.0,
// taps in ascending order, separate multiply and add, trunc(sum + 0.5)
// clamped. Vectors only span independent output samples:
//  - horizontal pass: L source rows at a time, transposed so that one vector
//    holds one sample position of L rows (same weights for every lane); the
//    results are transposed back into rows;
//  - vertical pass: up to kGroupRows destination rows together, L adjacent
//    samples of each per vector; each source row is widened once for all.
#pragma once

#include <cstdlib>
#include <cstring>

#include "core/scan/imageproc/resample_engine.h"

namespace {

using orvela::resample::HorizontalScratch;
using orvela::resample::PackedWeights;

// trunc(sum + 0.5) clamped to 0..255, for the scalar tails. Always inlined:
// an unoptimised build (gcc 14 at -O1 with the sanitizers) would make it a
// function of its own holding vector instructions outside the kernels.
__attribute__((always_inline)) inline uint8_t RoundTail(double sum) {
    const int v = static_cast<int>(sum + 0.5);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline size_t MinSize(size_t a, size_t b) { return a < b ? a : b; }
inline size_t MaxSize(size_t a, size_t b) { return a > b ? a : b; }

// Destination columns per chunk, so that the transposed source span of a chunk
// stays within about 16 KiB (level-1 cache).
inline unsigned ChunkColumns(const PackedWeights& wt, unsigned C, unsigned L) {
    const double scale = static_cast<double>(wt.dst_size) / wt.src_size;
    const double span = 16384.0 / (C * L * 8.0) - wt.taps;
    const double cols = span * (scale < 1.0 ? scale : 1.0);
    return cols > 8.0 ? static_cast<unsigned>(cols) : 8u;
}

// One block of L source rows (rows[l]; rows past the pass's end repeat the
// last row) into OT: OT[(u * C + c) * L + l] is row l's destination column u,
// channel c. T is the transposed-source scratch.
template <class O, unsigned C>
void HorizontalBlock(const uint8_t* const* rows, const PackedWeights& wt, double* T, uint8_t* OT, unsigned chunk) {
    constexpr unsigned L = O::L;
    constexpr unsigned G = C == 1 ? 8 : 4;  // destination columns per group
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
        double* Tb = T - j0 * L;  // Tb[j * L + l] for j in [j0, j1pad)
        size_t j = j0;
        for (; j + L <= j1; j += L) O::TransposeIn(rows, j, Tb);
        for (; j < j1; ++j)
            for (unsigned l = 0; l < L; ++l) Tb[j * L + l] = rows[l][j];
        for (; j < j1pad; ++j)
            for (unsigned l = 0; l < L; ++l) Tb[j * L + l] = 0.0;

        // G destination columns at a time: G x C independent sums per lane,
        // enough to keep both vector adders busy despite the add latency.
        const size_t WS = wt.taps;
        unsigned u = u0;
        for (; u + G <= u1; u += G) {
            const double* w0 = wt.w + static_cast<size_t>(u) * WS;
            unsigned n = 0;
            const double* base[G];
            for (unsigned g = 0; g < G; ++g) {
                n = wt.count[u + g] > n ? wt.count[u + g] : n;
                base[g] = Tb + static_cast<size_t>(wt.left[u + g]) * C * L;
            }
            typename O::D acc[G][C];
            for (unsigned g = 0; g < G; ++g)
                for (unsigned c = 0; c < C; ++c) acc[g][c] = O::Zero();
            for (unsigned k = 0; k < n; ++k) {
                for (unsigned g = 0; g < G; ++g) {
                    const double x = w0[g * WS + k];
                    for (unsigned c = 0; c < C; ++c)
                        acc[g][c] = O::MulAdd(acc[g][c], x, O::Load(base[g] + (static_cast<size_t>(k) * C + c) * L));
                }
            }
            for (unsigned g = 0; g < G; ++g)
                for (unsigned c = 0; c < C; ++c)
                    O::StoreBytes(OT + (static_cast<size_t>(u + g) * C + c) * L, acc[g][c]);
        }
        for (; u < u1; ++u) {
            const double* w = wt.w + static_cast<size_t>(u) * WS;
            const unsigned n = wt.count[u];
            const double* base = Tb + static_cast<size_t>(wt.left[u]) * C * L;
            typename O::D acc[C];
            for (unsigned c = 0; c < C; ++c) acc[c] = O::Zero();
            for (unsigned k = 0; k < n; ++k)
                for (unsigned c = 0; c < C; ++c)
                    acc[c] = O::MulAdd(acc[c], w[k], O::Load(base + (static_cast<size_t>(k) * C + c) * L));
            for (unsigned c = 0; c < C; ++c)
                O::StoreBytes(OT + (static_cast<size_t>(u) * C + c) * L, acc[c]);
        }
    }
}

// Destination rows v .. v + D - 1 (D <= kGroupRows) together: rows[r - lo] is source
// row r for r in [lo, hi). Each source row is widened once per block of
// samples and added into every destination row whose taps include it; each
// sum still takes its own taps in ascending order, from +0.0.
template <class O>
void VerticalRowGroup(const uint8_t* const* rows, size_t lo, const PackedWeights& wt, unsigned v, unsigned D,
                      size_t hi, size_t N, uint8_t* const* d) {
    constexpr unsigned L = O::L;
    size_t first[4] = {0, 0, 0, 0}, count[4] = {0, 0, 0, 0};
    const double* w[4] = {nullptr, nullptr, nullptr, nullptr};
    for (unsigned g = 0; g < D; ++g) {
        first[g] = wt.left[v + g] - lo;  // tap 0 of row g, relative to lo
        count[g] = wt.count[v + g];
        w[g] = wt.w + static_cast<size_t>(v + g) * wt.taps;
    }
    const size_t span = hi - lo;
    size_t j = 0;
    for (; j + 2 * L <= N; j += 2 * L) {
        typename O::D a[4][2];
        for (unsigned g = 0; g < 4; ++g) a[g][0] = a[g][1] = O::Zero();
        for (size_t r = 0; r < span; ++r) {
            const uint8_t* p = rows[r] + j;
            const typename O::D x0 = O::Widen(p), x1 = O::Widen(p + L);
            for (unsigned g = 0; g < 4; ++g) {
                const size_t k = r - first[g];  // wraps above count when r < first
                if (g < D && k < count[g]) {
                    a[g][0] = O::MulAdd(a[g][0], w[g][k], x0);
                    a[g][1] = O::MulAdd(a[g][1], w[g][k], x1);
                }
            }
        }
        for (unsigned g = 0; g < D; ++g) {
            O::StoreBytes(d[g] + j, a[g][0]);
            O::StoreBytes(d[g] + j + L, a[g][1]);
        }
    }
    for (; j < N; ++j)
        for (unsigned g = 0; g < D; ++g) {
            double sum = 0.0;
            for (size_t k = 0; k < count[g]; ++k) sum += w[g][k] * rows[first[g] + k][j];
            d[g][j] = RoundTail(sum);
        }
}

// Horizontal pass of one block: rows[l] -> drows[l] for l < nr (rows and
// drows hold L entries; those past nr repeat the last one).
template <class O, unsigned C>
void HorizontalBlockToRows(const uint8_t* const* rows, uint8_t* const* drows, unsigned nr, const PackedWeights& wt, HorizontalScratch& s, unsigned chunk) {
    constexpr unsigned L = O::L;
    const size_t ND = static_cast<size_t>(wt.dst_size) * C;
    HorizontalBlock<O, C>(rows, wt, s.transposed, s.results, chunk);
    size_t j = 0;
    for (; j + L <= ND; j += L) O::TransposeOut(s.results, j, drows, nr);
    for (; j < ND; ++j)
        for (unsigned l = 0; l < nr; ++l) drows[l][j] = s.results[j * L + l];
}

// Rows src[i] -> dst[i] for i < n, L rows at a time.
template <class O, unsigned C>
void HorizontalRowsT(const PackedWeights& wt, const uint8_t* const* src, uint8_t* const* dst, unsigned n,
                     HorizontalScratch& scratch) {
    constexpr unsigned L = O::L;
    const unsigned chunk = ChunkColumns(wt, C, L);
    for (unsigned y = 0; y < n; y += L) {
        const unsigned nr = n - y < L ? n - y : L;
        const uint8_t* rows[L];
        uint8_t* drows[L];
        for (unsigned l = 0; l < L; ++l) {
            rows[l] = src[y + (l < nr ? l : nr - 1)];
            drows[l] = dst[y + (l < nr ? l : nr - 1)];
        }
        HorizontalBlockToRows<O, C>(rows, drows, nr, wt, scratch, chunk);
    }
}

template <class O>
void HorizontalSimd(const PackedWeights& wt, unsigned C, const uint8_t* const* src, uint8_t* const* dst, unsigned n,
                    HorizontalScratch& scratch) {
    if (C == 1)
        HorizontalRowsT<O, 1>(wt, src, dst, n, scratch);
    else
        HorizontalRowsT<O, 3>(wt, src, dst, n, scratch);
}

template <class O>
void VerticalSimd(const PackedWeights& wt, unsigned v, unsigned D, const uint8_t* const* rows, size_t lo, size_t N,
                  uint8_t* const* dst) {
    size_t hi = lo;
    for (unsigned g = 0; g < D; ++g) hi = MaxSize(hi, static_cast<size_t>(wt.left[v + g]) + wt.count[v + g]);
    VerticalRowGroup<O>(rows, lo, wt, v, D, hi, N, dst);
}

}  // namespace
