// Vector inner loops of the resampler, written once over a small set of
// operations (struct Ops: L double lanes, see resample_avx2.cpp and
// resample_avx512.cpp). Included only by those two files, after their target
// pragmas, so that everything here is compiled for their instruction set; it
// lives in an anonymous namespace and uses no library templates, so no code
// built for a newer CPU can be shared with (or replace) portable code.
//
// Each output sample is computed as in the portable loops: sum from +0.0,
// taps in ascending order, separate multiply and add, trunc(sum + 0.5)
// clamped. Vectors only span independent output samples:
//  - horizontal pass: L source rows at a time, transposed so that one vector
//    holds one sample position of L rows (same weights for every lane); the
//    results are transposed back into rows;
//  - vertical pass: row by row, L adjacent samples of a destination row per
//    vector.
#pragma once

#include <cstdlib>
#include <cstring>

#include "core/scan/imageproc/resample_engine.h"

namespace {

using orvela::resample::HorizontalJob;
using orvela::resample::PackedWeights;
using orvela::resample::TwoPassJob;
using orvela::resample::VerticalJob;

// trunc(sum + 0.5) clamped to 0..255, for the scalar tails.
inline uint8_t RoundTail(double sum) {
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
void HorizontalBlock(const uint8_t* const* rows, unsigned src_width, const PackedWeights& wt,
                     double* T, uint8_t* OT, unsigned chunk) {
    constexpr unsigned L = O::L;
    constexpr unsigned G = C == 1 ? 8 : 4;  // destination columns per group
    const unsigned dw = wt.dst_size;
    const size_t rowSamples = static_cast<size_t>(src_width) * C;
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

// Rows of a vertical sum: tap k reads row rows(k).
struct StridedRows {
    const uint8_t* top;
    size_t stride;
    const uint8_t* operator()(unsigned k) const { return top + k * stride; }
};

// One destination row of N samples: sum over k of w[k] x rows(k)[j].
template <class O, class Rows>
void VerticalRow(const Rows& rows, unsigned n, const double* w, size_t N, uint8_t* d) {
    constexpr unsigned L = O::L;
    size_t j = 0;
    for (; j + 4 * L <= N; j += 4 * L) {
        typename O::D a0 = O::Zero(), a1 = O::Zero(), a2 = O::Zero(), a3 = O::Zero();
        for (unsigned k = 0; k < n; ++k) {
            const double wk = w[k];
            const uint8_t* r = rows(k) + j;
            a0 = O::MulAdd(a0, wk, O::Widen(r));
            a1 = O::MulAdd(a1, wk, O::Widen(r + L));
            a2 = O::MulAdd(a2, wk, O::Widen(r + 2 * L));
            a3 = O::MulAdd(a3, wk, O::Widen(r + 3 * L));
        }
        O::StoreBytes(d + j, a0);
        O::StoreBytes(d + j + L, a1);
        O::StoreBytes(d + j + 2 * L, a2);
        O::StoreBytes(d + j + 3 * L, a3);
    }
    for (; j + L <= N; j += L) {
        typename O::D a0 = O::Zero();
        for (unsigned k = 0; k < n; ++k) a0 = O::MulAdd(a0, w[k], O::Widen(rows(k) + j));
        O::StoreBytes(d + j, a0);
    }
    for (; j < N; ++j) {
        double sum = 0.0;
        for (unsigned k = 0; k < n; ++k) sum += w[k] * rows(k)[j];
        d[j] = RoundTail(sum);
    }
}

// Source rows that one group of destination rows may span: the list and
// the ring hold this many.
inline size_t GroupSpanCapacity(const PackedWeights& wt) { return 2 * static_cast<size_t>(wt.taps) + 16; }

// How many destination rows from v on (at most 4, and never past v1) can be
// done together: their source rows [*lo, *hi) must fit the capacity.
inline unsigned GroupRows(const PackedWeights& wt, unsigned v, unsigned v1, size_t capacity, size_t* lo,
                          size_t* hi) {
    unsigned D = v1 - v < 4 ? v1 - v : 4;
    for (;; --D) {
        size_t l = wt.left[v], h = l;
        for (unsigned g = 0; g < D; ++g) {
            l = MinSize(l, wt.left[v + g]);
            h = MaxSize(h, static_cast<size_t>(wt.left[v + g]) + wt.count[v + g]);
        }
        if (h - l <= capacity || D == 1) {
            *lo = l;
            *hi = h;
            return D;
        }
    }
}

// Destination rows v .. v + D - 1 (D <= 4) together: rows[r - lo] is source
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

template <class O>
void VerticalRowsSimd(const VerticalJob& job, unsigned v0, unsigned v1) {
    const PackedWeights& wt = *job.weights;
    const size_t N = job.row_bytes;
    const size_t capacity = GroupSpanCapacity(wt);
    auto** list = static_cast<const uint8_t**>(malloc(capacity * sizeof(const uint8_t*)));
    if (list == nullptr) {  // one row at a time needs no list
        for (unsigned v = v0; v < v1; ++v)
            VerticalRow<O>(StridedRows{job.src + static_cast<size_t>(wt.left[v]) * N, N}, wt.count[v],
                           wt.w + static_cast<size_t>(v) * wt.taps, N, job.dst + static_cast<size_t>(v) * N);
        return;
    }
    for (unsigned v = v0; v < v1;) {
        size_t lo, hi;
        const unsigned D = GroupRows(wt, v, v1, capacity, &lo, &hi);
        for (size_t r = lo; r < hi; ++r) list[r - lo] = job.src + r * N;
        uint8_t* d[4];
        for (unsigned g = 0; g < D; ++g) d[g] = job.dst + static_cast<size_t>(v + g) * N;
        VerticalRowGroup<O>(list, lo, wt, v, D, hi, N, d);
        v += D;
    }
    free(list);
}

// One destination row from a window of row pointers (rows[k] is source row
// left[v] + k): a group of one row.
template <class O>
void VerticalWindowRowSimd(const PackedWeights& wt, unsigned v, const uint8_t* const* rows, size_t N, uint8_t* dst) {
    uint8_t* d[1] = {dst};
    VerticalRowGroup<O>(rows, wt.left[v], wt, v, 1, static_cast<size_t>(wt.left[v]) + wt.count[v], N, d);
}

// Scratch of the horizontal blocks: T (transposed source span) and OT
// (transposed output bytes).
struct BlockScratch {
    double* T = nullptr;
    uint8_t* OT = nullptr;
    bool Allocate(unsigned src_width, unsigned C, const PackedWeights& wt, unsigned L) {
        const size_t tDoubles = (static_cast<size_t>(src_width) + wt.taps + L) * C * L;
        const size_t otBytes = static_cast<size_t>(wt.dst_size) * C * L + 64;
        T = static_cast<double*>(aligned_alloc(64, (tDoubles * sizeof(double) + 63) / 64 * 64));
        OT = static_cast<uint8_t*>(aligned_alloc(64, (otBytes + 63) / 64 * 64));
        return T != nullptr && OT != nullptr;
    }
    ~BlockScratch() {
        free(T);
        free(OT);
    }
};

// Horizontal pass of one block: rows[l] -> drows[l] for l < nr (rows and
// drows hold L entries; those past nr repeat the last one).
template <class O, unsigned C>
void HorizontalBlockToRows(const uint8_t* const* rows, uint8_t* const* drows, unsigned nr,
                           unsigned src_width, const PackedWeights& wt, BlockScratch& s, unsigned chunk) {
    constexpr unsigned L = O::L;
    const size_t ND = static_cast<size_t>(wt.dst_size) * C;
    HorizontalBlock<O, C>(rows, src_width, wt, s.T, s.OT, chunk);
    size_t j = 0;
    for (; j + L <= ND; j += L) O::TransposeOut(s.OT, j, drows, nr);
    for (; j < ND; ++j)
        for (unsigned l = 0; l < nr; ++l) drows[l][j] = s.OT[j * L + l];
}

template <class O, unsigned C>
void HorizontalRowsT(const HorizontalJob& job, unsigned y0, unsigned y1, BlockScratch& scratch) {
    constexpr unsigned L = O::L;
    const PackedWeights& wt = *job.weights;
    const size_t N = static_cast<size_t>(job.src_width) * C;
    const size_t ND = static_cast<size_t>(wt.dst_size) * C;
    const unsigned chunk = ChunkColumns(wt, C, L);
    for (unsigned y = y0; y < y1; y += L) {
        const unsigned nr = y1 - y < L ? y1 - y : L;
        const uint8_t* rows[L];
        uint8_t* drows[L];
        for (unsigned l = 0; l < L; ++l) {
            const size_t r = y + (l < nr ? l : nr - 1);
            rows[l] = job.src + r * N;
            drows[l] = job.dst + r * ND;
        }
        HorizontalBlockToRows<O, C>(rows, drows, nr, job.src_width, wt, scratch, chunk);
    }
}

template <class O>
bool HorizontalRowsSimd(const HorizontalJob& job, unsigned y0, unsigned y1) {
    if (y0 >= y1) return true;
    BlockScratch scratch;
    if (!scratch.Allocate(job.src_width, job.channels, *job.weights, O::L)) return false;
    if (job.channels == 1)
        HorizontalRowsT<O, 1>(job, y0, y1, scratch);
    else
        HorizontalRowsT<O, 3>(job, y0, y1, scratch);
    return true;
}

// Narrower page: destination rows [v0, v1) from a ring of intermediate rows.
template <class O, unsigned C>
bool RowsFirst(const TwoPassJob& job, unsigned v0, unsigned v1) {
    constexpr unsigned L = O::L;
    const PackedWeights& WH = *job.horizontal;
    const PackedWeights& WV = *job.vertical;
    const size_t N = static_cast<size_t>(job.src_width) * C;
    const size_t ND = static_cast<size_t>(WH.dst_size) * C;
    if (v0 >= v1) return true;
    // The ring below relies on the first tap never moving back up.
    size_t last = 0;
    for (unsigned v = v0; v < v1; ++v) {
        if (v > v0 && WV.left[v] < WV.left[v - 1]) return false;
        last = MaxSize(last, static_cast<size_t>(WV.left[v]) + WV.count[v]);
    }
    const size_t capacity = GroupSpanCapacity(WV);
    const size_t R = capacity + L;  // ring rows: a group's span and one block more
    BlockScratch scratch;
    auto* ring = static_cast<uint8_t*>(aligned_alloc(64, (R * ND + 64 + 63) / 64 * 64));
    auto** list = static_cast<const uint8_t**>(malloc(capacity * sizeof(const uint8_t*)));
    const bool ok = ring != nullptr && list != nullptr && scratch.Allocate(job.src_width, C, WH, L);
    if (ok) {
        const unsigned chunk = ChunkColumns(WH, C, L);
        size_t produced = WV.left[v0];  // next intermediate row to make
        for (unsigned v = v0; v < v1;) {
            size_t lo, need;
            const unsigned D = GroupRows(WV, v, v1, capacity, &lo, &need);
            while (produced < need) {
                const size_t y = produced;
                const unsigned nr = static_cast<unsigned>(MinSize(L, last - y));
                const uint8_t* rows[L];
                uint8_t* drows[L];
                for (unsigned l = 0; l < L; ++l) {
                    const size_t r = y + (l < nr ? l : nr - 1);
                    rows[l] = job.src + r * N;
                    drows[l] = ring + (r % R) * ND;
                }
                HorizontalBlockToRows<O, C>(rows, drows, nr, job.src_width, WH, scratch, chunk);
                produced += nr;
            }
            for (size_t r = lo; r < need; ++r) list[r - lo] = ring + (r % R) * ND;
            uint8_t* d[4];
            for (unsigned g = 0; g < D; ++g) d[g] = job.dst + static_cast<size_t>(v + g) * ND;
            VerticalRowGroup<O>(list, lo, WV, v, D, need, ND, d);
            v += D;
        }
    }
    free(ring);
    free(list);
    return ok;
}

// Wider page: each block of L destination rows is resampled vertically into
// a small buffer, then horizontally into the destination.
template <class O, unsigned C>
bool ColumnsFirst(const TwoPassJob& job, unsigned v0, unsigned v1) {
    constexpr unsigned L = O::L;
    const PackedWeights& WH = *job.horizontal;
    const PackedWeights& WV = *job.vertical;
    const size_t N = static_cast<size_t>(job.src_width) * C;
    const size_t ND = static_cast<size_t>(WH.dst_size) * C;
    BlockScratch scratch;
    const size_t capacity = GroupSpanCapacity(WV);
    auto* buf = static_cast<uint8_t*>(aligned_alloc(64, (L * N + 64 + 63) / 64 * 64));
    auto** list = static_cast<const uint8_t**>(malloc(capacity * sizeof(const uint8_t*)));
    const bool ok = buf != nullptr && list != nullptr && scratch.Allocate(job.src_width, C, WH, L);
    if (ok) {
        const unsigned chunk = ChunkColumns(WH, C, L);
        for (unsigned y = v0; y < v1; y += L) {
            const unsigned nr = v1 - y < L ? v1 - y : L;
            for (unsigned v = y; v < y + nr;) {
                size_t lo, hi;
                const unsigned D = GroupRows(WV, v, y + nr, capacity, &lo, &hi);
                for (size_t r = lo; r < hi; ++r) list[r - lo] = job.src + r * N;
                uint8_t* d[4];
                for (unsigned g = 0; g < D; ++g) d[g] = buf + static_cast<size_t>(v - y + g) * N;
                VerticalRowGroup<O>(list, lo, WV, v, D, hi, N, d);
                v += D;
            }
            const uint8_t* rows[L];
            uint8_t* drows[L];
            for (unsigned l = 0; l < L; ++l) {
                const unsigned r = l < nr ? l : nr - 1;
                rows[l] = buf + r * N;
                drows[l] = job.dst + (static_cast<size_t>(y) + r) * ND;
            }
            HorizontalBlockToRows<O, C>(rows, drows, nr, job.src_width, WH, scratch, chunk);
        }
    }
    free(buf);
    free(list);
    return ok;
}

template <class O>
bool TwoPassRowsSimd(const TwoPassJob& job, unsigned v0, unsigned v1) {
    if (job.channels == 1)
        return job.rows_first ? RowsFirst<O, 1>(job, v0, v1) : ColumnsFirst<O, 1>(job, v0, v1);
    if (job.channels == 3)
        return job.rows_first ? RowsFirst<O, 3>(job, v0, v1) : ColumnsFirst<O, 3>(job, v0, v1);
    return false;
}

}  // namespace
