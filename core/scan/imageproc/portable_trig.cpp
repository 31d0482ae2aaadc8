#include "core/scan/imageproc/portable_trig.h"

#include <cmath>

// Every operation here must round as written: no multiply and add fused.
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

namespace orvela::resample {
namespace {

// An unevaluated sum hi + lo of two doubles (|lo| at most half a unit of
// hi): about 106 bits, so that the leading terms of the series carry no
// rounding error worth a bit of the result.
struct Double2 {
    double hi;
    double lo;
};

// a + b exactly (Knuth's two-sum), any order of magnitude.
Double2 TwoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b exactly when |a| >= |b|.
Double2 FastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a * b exactly (Dekker's product: each factor split into 26-bit halves).
Double2 TwoProduct(double a, double b) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double ca = kSplit * a, cb = kSplit * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    const double p = a * b;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

Double2 Mul(Double2 a, Double2 b) {
    Double2 p = TwoProduct(a.hi, b.hi);
    return FastTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

Double2 Add(Double2 a, Double2 b) {
    const Double2 s = TwoSum(a.hi, b.hi);
    return FastTwoSum(s.hi, s.lo + (a.lo + b.lo));
}

// 1/n! (with the series' sign) to 106 bits.
constexpr Double2 kSinC3{-0x1.5555555555555p-3, -0x1.5555555555555p-57};
constexpr Double2 kSinC5{0x1.1111111111111p-7, 0x1.1111111111111p-63};
constexpr Double2 kCosC4{0x1.5555555555555p-5, 0x1.5555555555555p-59};
constexpr Double2 kCosC6{-0x1.6c16c16c16c17p-10, 0x1.f49f49f49f49fp-65};

// pi/2 as the sum of three doubles: the first two hold 33 bits each, so that
// k times them is exact for |k| < 2^20.
constexpr double kPio2Hi = 0x1.921fb544p+0;
constexpr double kPio2Mid = 0x1.0b4611a6p-34;
constexpr double kPio2Lo = 0x1.3198a2e037073p-69;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kReducible = 500000.0 * 1.5707963267948966;

// sin(r.hi + r.lo), |r.hi| <= pi/4: the Taylor series to the term below
// 1e-21, its first three terms to 106 bits and the rest (below 4e-5 of the
// result) in double; the effect of r.lo to first order (r.lo cos r.hi).
double SinKernel(Double2 r) {
    const Double2 z = TwoProduct(r.hi, r.hi);
    const Double2 x3 = Mul(z, {r.hi, 0.0});
    const Double2 x5 = Mul(x3, z);
    const double zz = z.hi;
    const double rest = x5.hi * zz * (-1.0 / 5040 + zz * (1.0 / 362880 + zz * (-1.0 / 39916800 +
                        zz * (1.0 / 6227020800.0 + zz * (-1.0 / 1307674368000.0 + zz * (1.0 / 355687428096000.0 +
                        zz * (-1.0 / 121645100408832000.0)))))));
    Double2 sum = Add({r.hi, 0.0}, Mul(x3, kSinC3));
    sum = Add(sum, Mul(x5, kSinC5));
    sum = Add(sum, {rest + r.lo * (1.0 - zz * (0.5 - zz / 24)), 0.0});  // lo cos(hi)
    return sum.hi + sum.lo;
}

// cos(r.hi + r.lo), |r.hi| <= pi/4, in the same way.
double CosKernel(Double2 r) {
    const Double2 z = TwoProduct(r.hi, r.hi);
    const Double2 z2 = Mul(z, z);
    const Double2 z3 = Mul(z2, z);
    const double zz = z.hi;
    const double rest = z2.hi * z2.hi * (1.0 / 40320 + zz * (-1.0 / 3628800 + zz * (1.0 / 479001600 +
                        zz * (-1.0 / 87178291200.0 + zz * (1.0 / 20922789888000.0 + zz * (-1.0 / 6402373705728000.0 +
                        zz * (1.0 / 2432902008176640000.0)))))));
    Double2 sum = Add({1.0, 0.0}, {-0.5 * z.hi, -0.5 * z.lo});
    sum = Add(sum, Mul(z2, kCosC4));
    sum = Add(sum, Mul(z3, kCosC6));
    sum = Add(sum, {rest - r.lo * r.hi * (1.0 - zz * (1.0 / 6 - zz / 120)), 0.0});  // lo sin(hi)
    return sum.hi + sum.lo;
}

// sin(x + quarter * pi/2): x less the nearest multiple k of pi/2, to about
// 106 bits, then the kernel of k's quadrant.
double SinShifted(double x, int quarter) {
    const double k = std::floor(x * kTwoOverPi + 0.5);
    const double a = x - k * kPio2Hi;  // exact: k * kPio2Hi is exact and close to x
    const Double2 ab = TwoSum(a, -(k * kPio2Mid));
    const Double2 r = FastTwoSum(ab.hi, ab.lo - k * kPio2Lo);
    switch ((static_cast<long long>(k) + quarter) & 3) {
        case 0: return SinKernel(r);
        case 1: return CosKernel(r);
        case 2: return -SinKernel(r);
        default: return -CosKernel(r);
    }
}

}  // namespace

double PortableSin(double x) {
    if (!(std::fabs(x) < kReducible)) return std::sin(x);
    return SinShifted(x, 0);
}

double PortableCos(double x) {
    if (!(std::fabs(x) < kReducible)) return std::cos(x);
    return SinShifted(x, 1);
}

}  // namespace orvela::resample
