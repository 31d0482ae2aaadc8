// Sine and cosine from additions, subtractions and multiplications in double
// alone, so that every processor gives the same bits: the C library's sin
// and cos differ in the last bit between architectures, and on amd64 even
// between processors with and without FMA (glibc picks its code by the CPU).
// The resampling kernels use them, and through the weights every frame.
// Accurate to about one unit in the last place for |x| < 800000; beyond that
// (never reached by a kernel) the C library's functions answer.
#pragma once

namespace orvela::resample {

double PortableSin(double x);
double PortableCos(double x);

}  // namespace orvela::resample
