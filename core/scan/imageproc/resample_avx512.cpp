// AVX-512 inner loops of the resampler (eight double lanes), on x86 only.
// Only called when the CPU reports AVX-512 F, BW, VL, DQ and VBMI; the rest
// of the library stays portable.
//
// AVX-512 includes fused multiply-add, and GCC fuses a multiply and an add
// (even written as intrinsics) unless contraction is off: it is switched off
// here, so every multiply and add stays a separate instruction and the results
// equal the portable loops' bytes.
//
// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register value, which its own warnings report as uninitialised
// (-Wuninitialized without optimisation, -Wmaybe-uninitialized with it): the
// warnings are off for the intrinsic headers and this file.
#include "core/scan/imageproc/resample_engine.h"

#if ORVELA_RESAMPLE_X86_KERNELS
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstdlib>
#include <cstring>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi"))), \
                             apply_to = function)
#pragma clang fp contract(off)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi")
#pragma GCC optimize("O3", "fp-contract=off")
#endif

#include "core/scan/imageproc/resample_simd.h"

namespace {

// 8 x 8 byte transpose of 64 bytes.
inline __m512i Transpose8(__m512i v) {
    const __m512i idx = _mm512_set_epi8(
        63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5,
        60, 52, 44, 36, 28, 20, 12, 4, 59, 51, 43, 35, 27, 19, 11, 3, 58, 50, 42, 34, 26, 18, 10, 2,
        57, 49, 41, 33, 25, 17, 9, 1, 56, 48, 40, 32, 24, 16, 8, 0);
    return _mm512_permutexvar_epi8(idx, v);
}

// Eight bytes from p into the low half (no alignment needed; a 64-bit
// register move would not exist on 32-bit x86).
inline __m128i Load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// Low eight bytes of q to lo, high eight to hi (no alignment needed).
inline void StoreHalves(uint8_t* lo, uint8_t* hi, __m128i q) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(lo), q);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(hi), _mm_unpackhi_epi64(q, q));
}

struct OpsAvx512 {
    static constexpr unsigned L = 8;
    typedef __m512d D;
    static D Zero() { return _mm512_setzero_pd(); }
    static D Load(const double* p) { return _mm512_load_pd(p); }
    static D MulAdd(D acc, double w, D x) { return _mm512_add_pd(acc, _mm512_mul_pd(_mm512_set1_pd(w), x)); }
    static D Widen(const uint8_t* p) { return _mm512_cvtepi32_pd(_mm256_cvtepu8_epi32(Load8(p))); }
    // trunc(acc + 0.5), clamped to 0..255, eight bytes stored at p.
    static void StoreBytes(uint8_t* p, D acc) {
        __m256i r = _mm512_cvttpd_epi32(_mm512_add_pd(acc, _mm512_set1_pd(0.5)));
        r = _mm256_min_epi32(_mm256_max_epi32(r, _mm256_setzero_si256()), _mm256_set1_epi32(255));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm256_cvtepi32_epi8(r));
    }
    // rows[l][j + i] -> T[(j + i) * 8 + l] as doubles, for i, l < 8.
    static void TransposeIn(const uint8_t* const* rows, size_t j, double* T) {
        const __m128i q0 = _mm_unpacklo_epi64(Load8(rows[0] + j), Load8(rows[1] + j));
        const __m128i q1 = _mm_unpacklo_epi64(Load8(rows[2] + j), Load8(rows[3] + j));
        const __m128i q2 = _mm_unpacklo_epi64(Load8(rows[4] + j), Load8(rows[5] + j));
        const __m128i q3 = _mm_unpacklo_epi64(Load8(rows[6] + j), Load8(rows[7] + j));
        __m512i t = _mm512_inserti64x2(_mm512_castsi128_si512(q0), q1, 1);
        t = _mm512_inserti64x2(_mm512_inserti64x2(t, q2, 2), q3, 3);
        t = Transpose8(t);
        alignas(64) uint8_t buf[64];
        _mm512_store_si512(buf, t);
        double* o = T + j * 8;
        for (int i = 0; i < 8; ++i)
            _mm512_store_pd(o + 8 * i, _mm512_cvtepi64_pd(_mm512_cvtepu8_epi64(Load8(buf + 8 * i))));
    }
    // OT[(j + i) * 8 + l] -> rows[l][j + i], for i < 8 and l < nr.
    static void TransposeOut(const uint8_t* OT, size_t j, uint8_t* const* rows, unsigned nr) {
        const __m512i t = Transpose8(_mm512_loadu_si512(OT + j * 8));
        if (nr == 8) {
            // Plain stores: left to itself the compiler makes a slow scatter.
            const __m128i q0 = _mm512_castsi512_si128(t), q1 = _mm512_extracti32x4_epi32(t, 1);
            const __m128i q2 = _mm512_extracti32x4_epi32(t, 2), q3 = _mm512_extracti32x4_epi32(t, 3);
            StoreHalves(rows[0] + j, rows[1] + j, q0);
            StoreHalves(rows[2] + j, rows[3] + j, q1);
            StoreHalves(rows[4] + j, rows[5] + j, q2);
            StoreHalves(rows[6] + j, rows[7] + j, q3);
            return;
        }
        alignas(64) uint8_t buf[64];
        _mm512_store_si512(buf, t);
        for (unsigned l = 0; l < nr; ++l) memcpy(rows[l] + j, buf + 8 * l, 8);
    }
};

}  // namespace

namespace orvela::resample {

bool HorizontalRowsAvx512(const HorizontalJob& job, unsigned y0, unsigned y1) {
    return HorizontalRowsSimd<OpsAvx512>(job, y0, y1);
}

void VerticalRowsAvx512(const VerticalJob& job, unsigned v0, unsigned v1) {
    VerticalRowsSimd<OpsAvx512>(job, v0, v1);
}

bool TwoPassRowsAvx512(const TwoPassJob& job, unsigned v0, unsigned v1) {
    return TwoPassRowsSimd<OpsAvx512>(job, v0, v1);
}

void VerticalWindowRowAvx512(const PackedWeights& weights, unsigned v, const uint8_t* const* rows, size_t row_bytes,
                         uint8_t* dst) {
    VerticalWindowRowSimd<OpsAvx512>(weights, v, rows, row_bytes, dst);
}

}  // namespace orvela::resample

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#pragma GCC diagnostic pop
#endif
#endif  // ORVELA_RESAMPLE_X86_KERNELS
