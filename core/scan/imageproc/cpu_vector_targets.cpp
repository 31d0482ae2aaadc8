// Each set requires every feature Highway 1.0.3 builds its code for
// (hwy/ops/set_macros-inl.h, HWY_TARGET_STR_*): the compiler may use any of
// them in that code. __builtin_cpu_supports also answers for the operating
// system: libgcc's reading of the CPU counts AVX and AVX-512 only when XGETBV
// says the system saves their registers (XCR0 bits 1-2, and 5-7).
#include "core/scan/imageproc/cpu_vector_targets.h"

#include <hwy/detect_targets.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace orvela::resample {

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Clang 14's __builtin_cpu_supports has no name for F16C: CPUID leaf 1, ECX.
bool HasF16c() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_F16C) != 0;
}
#endif

}  // namespace

int64_t CpuVectorTargets() {
#if defined(__x86_64__) || defined(__i386__)
    // Called from static initialisers too, maybe before libgcc's own one.
    __builtin_cpu_init();
    int64_t targets = 0;
    const bool sse4 = __builtin_cpu_supports("sse2") && __builtin_cpu_supports("ssse3") &&
                      __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
                      __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
    if (!sse4) return targets;
    targets |= HWY_SSE4;
    const bool avx2 = __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
                      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                      __builtin_cpu_supports("fma") && HasF16c();
    if (!avx2) return targets;
    targets |= HWY_AVX2;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        targets |= HWY_AVX3;
    return targets;
#elif defined(__aarch64__)
    // Advanced SIMD is part of every 64-bit ARM processor.
    return HWY_NEON;
#else
    return 0;
#endif
}

}  // namespace orvela::resample
