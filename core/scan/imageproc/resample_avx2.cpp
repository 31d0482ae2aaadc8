// AVX2 inner loops of the resampler (four double lanes), on x86 only. Only
// called when the CPU reports AVX2; the rest of the library stays portable.
//
// The target below deliberately leaves out FMA, and contraction is switched
// off as well: every multiply and add must stay a separate instruction for the
// results to equal the portable loops' bytes.
#include "core/scan/imageproc/resample_engine.h"

#if ORVELA_RESAMPLE_X86_KERNELS
#include <immintrin.h>

#include <cstdlib>
#include <cstring>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#pragma clang fp contract(off)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#pragma GCC optimize("O3", "fp-contract=off")
#endif

#include "core/scan/imageproc/resample_simd.h"

namespace {

// 4 x 4 byte transpose within 16 bytes.
inline __m128i Transpose4(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
}

struct OpsAvx2 {
    static constexpr unsigned L = 4;
    typedef __m256d D;
    static D Zero() { return _mm256_setzero_pd(); }
    static D Load(const double* p) { return _mm256_load_pd(p); }
    static D MulAdd(D acc, double w, D x) { return _mm256_add_pd(acc, _mm256_mul_pd(_mm256_set1_pd(w), x)); }
    static D Widen(const uint8_t* p) {
        int x;
        memcpy(&x, p, 4);
        return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(x)));
    }
    // trunc(acc + 0.5), clamped to 0..255, four bytes stored at p.
    static void StoreBytes(uint8_t* p, D acc) {
        __m128i r = _mm256_cvttpd_epi32(_mm256_add_pd(acc, _mm256_set1_pd(0.5)));
        r = _mm_min_epi32(_mm_max_epi32(r, _mm_setzero_si128()), _mm_set1_epi32(255));
        r = _mm_packus_epi16(_mm_packus_epi32(r, r), r);
        const int x = _mm_cvtsi128_si32(r);
        memcpy(p, &x, 4);
    }
    // rows[l][j + i] -> T[(j + i) * 4 + l] as doubles, for i, l < 4.
    static void TransposeIn(const uint8_t* const* rows, size_t j, double* T) {
        int a[4];
        for (int l = 0; l < 4; ++l) memcpy(&a[l], rows[l] + j, 4);
        __m128i t = Transpose4(_mm_setr_epi32(a[0], a[1], a[2], a[3]));
        for (int i = 0; i < 4; ++i) {
            _mm256_store_pd(T + (j + i) * 4, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(t)));
            t = _mm_srli_si128(t, 4);
        }
    }
    // OT[(j + i) * 4 + l] -> rows[l][j + i], for i < 4 and l < nr.
    static void TransposeOut(const uint8_t* OT, size_t j, uint8_t* const* rows, unsigned nr) {
        __m128i t = Transpose4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(OT + j * 4)));
        for (unsigned l = 0; l < nr; ++l) {
            const int x = _mm_cvtsi128_si32(t);
            memcpy(rows[l] + j, &x, 4);
            t = _mm_srli_si128(t, 4);
        }
    }
};

}  // namespace

namespace orvela::resample {

const RowKernels kAvx2Kernels{HorizontalSimd<OpsAvx2>, VerticalSimd<OpsAvx2>};

}  // namespace orvela::resample

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif  // ORVELA_RESAMPLE_X86_KERNELS
