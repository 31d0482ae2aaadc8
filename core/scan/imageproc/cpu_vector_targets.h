// Which of the instruction sets the resampler's vector code is built for this
// CPU (and its operating system) can run, asked without Highway's library: the
// backend uses Highway's headers only, so that loading it costs no library
// start-up and no package dependency.
#pragma once

#include <cstdint>

namespace orvela::resample {

// Highway's target bits (HWY_SSE4, HWY_AVX2, HWY_AVX3, HWY_NEON) of the sets
// this CPU runs; 0 where there is none or the architecture has no check.
int64_t CpuVectorTargets();

}  // namespace orvela::resample
