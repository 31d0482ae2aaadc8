// Page resampling: kernels, weight tables, the page scaler's choices, and a
// differential test of every engine variant (portable and AVX2; one and
// two threads) against the plain formulation in tests/support.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/scan/imageproc/exported_extras.h"
#include "core/scan/imageproc/portable_trig.h"
#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/resample_engine.h"
#include "tests/support/resample_reference.h"

namespace {

using orvela::resample::EngineSettings;
using orvela::resample::GetEngineSettings;
using orvela::resample::SetEngineSettings;
using orvela::resample::SimdLevel;

double NotAKernel(double) { return 1.0; }

TEST(ResampleKernels, ValuesAtKnownPoints) {
    EXPECT_EQ(BoxFilter(0.5), 1.0);
    EXPECT_EQ(BoxFilter(-0.5), 1.0);
    EXPECT_EQ(BoxFilter(0.51), 0.0);
    EXPECT_EQ(BilinearFilter(-0.25), 0.75);
    EXPECT_EQ(BilinearFilter(1.0), 0.0);

    EXPECT_DOUBLE_EQ(BicubicFilter(0.0), 8.0 / 9.0);
    EXPECT_NEAR(BicubicFilter(1.0), 1.0 / 18.0, 1e-15);  // second polynomial
    EXPECT_NEAR(BicubicFilter(0.999999999), 1.0 / 18.0, 1e-8);  // continuous at 1
    EXPECT_NEAR(BicubicFilter(1.5), 16.0 / 9.0 - 5.0 + 4.5 - 7.0 / 18.0 * 3.375, 1e-15);
    EXPECT_EQ(BicubicFilter(2.0), 0.0);
    EXPECT_EQ(BicubicFilter(-1.5), BicubicFilter(1.5));

    EXPECT_DOUBLE_EQ(CatmullRomFilter(0.0), 1.0);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(1.0), 0.0);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(-1.0), 0.0);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(0.5), 0.5625);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(-0.5), 0.5625);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(1.5), -0.0625);
    EXPECT_DOUBLE_EQ(CatmullRomFilter(-1.5), -0.0625);
    EXPECT_EQ(CatmullRomFilter(-2.5), 0.0);
    EXPECT_EQ(CatmullRomFilter(2.0), 0.0);

    EXPECT_EQ(sinc(0.0), 1.0);
    EXPECT_NEAR(sinc(0.5), 2.0 / M_PI, 1e-15);
    EXPECT_EQ(Lanczos3Filter(0.0), 1.0);
    EXPECT_EQ(Lanczos3Filter(3.0), 0.0);
    EXPECT_EQ(Lanczos3Filter(-3.5), 0.0);
    EXPECT_NEAR(Lanczos3Filter(1.0), 0.0, 1e-15);
    EXPECT_NEAR(Lanczos3Filter(0.5), (2.0 / M_PI) * (std::sin(M_PI / 6) / (M_PI / 6)), 1e-15);

    EXPECT_DOUBLE_EQ(BSplineFilter(0.0), 4.0 / 6.0);
    EXPECT_DOUBLE_EQ(BSplineFilter(1.0), 1.0 / 6.0);
    EXPECT_DOUBLE_EQ(BSplineFilter(-1.5), 0.125 / 6.0);
    EXPECT_EQ(BSplineFilter(2.0), 0.0);

    EXPECT_DOUBLE_EQ(BlackmanFilter(0.0), 1.0);
    EXPECT_DOUBLE_EQ(BlackmanFilter(0.25), 0.42 - 0.08);
    EXPECT_EQ(BlackmanFilter(0.6), 0.0);
}

// The kernels' sine and cosine give the same bits on every processor (the C
// library's differ in the last bit between architectures, and on amd64
// between processors with and without FMA): correctly rounded on a grid
// over the kernels' range, checked where long double is wider than double;
// and the values and the weight tables of enlargements hash to what amd64
// gives, on every architecture the tests run on.
TEST(ResampleKernels, SineAndCosineAreTheSameOnEveryProcessor) {
    using orvela::resample::PortableCos;
    using orvela::resample::PortableSin;
    uint64_t digest = 14695981039346656037u;
    const auto mix = [&digest](double v) {
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        digest = (digest ^ bits) * 1099511628211u;
    };
    double worst = 0.0;
    for (int i = -40000; i <= 40000; ++i) {
        const double x = i * (4 * M_PI / 40000) + 1e-7;
        const double s = PortableSin(x), c = PortableCos(x);
        mix(s);
        mix(c);
        for (const auto& [got, want] : {std::pair{s, sinl(x)}, std::pair{c, cosl(x)}}) {
            const double near = static_cast<double>(want);
            const double ulp = std::nextafter(std::fabs(near), INFINITY) - std::fabs(near);
            worst = std::max(worst, static_cast<double>(std::fabs(got - want) / ulp));
        }
    }
    if (std::numeric_limits<long double>::digits > 60) {
        EXPECT_LE(worst, 0.5001);
    }
    for (const auto& [from, to] : {std::pair{1200u, 2400u}, {1200u, 1300u}, {300u, 2399u}, {600u, 601u}}) {
        const WeightsTableHandle table = WeightsTableInit(Lanczos3Filter, to, from);
        ASSERT_NE(table.m_WeightTable, nullptr);
        for (unsigned u = 0; u < to; ++u)
            for (unsigned k = 0; k < table.m_WindowSize; ++k) mix(WeightsTableGetWeight(table, u, k));
        WeightsTableRelease(table);
    }
    EXPECT_EQ(digest, 0x550a1ae5b261c2b9u) << std::hex << digest;
}

TEST(ResampleKernels, FilterWidthsComeFromTheTable) {
    EXPECT_EQ(GetFilterWidth(BoxFilter), 0.5);
    EXPECT_EQ(GetFilterWidth(BilinearFilter), 1.0);
    EXPECT_EQ(GetFilterWidth(BicubicFilter), 2.0);
    EXPECT_EQ(GetFilterWidth(CatmullRomFilter), 2.0);
    EXPECT_EQ(GetFilterWidth(Lanczos3Filter), 3.0);
    EXPECT_EQ(GetFilterWidth(BSplineFilter), 2.0);
    EXPECT_EQ(GetFilterWidth(BlackmanFilter), 0.5);
    EXPECT_EQ(GetFilterWidth(NotAKernel), 0.0);
    EXPECT_EQ(GetFilterWidth(nullptr), 0.0);
    ASSERT_EQ(filterWidthMap[4].func, Lanczos3Filter);
    EXPECT_EQ(filterWidthMap[6].width, 0.5);
}

TEST(ResampleWeights, HalvingWithTheCubic) {
    WeightsTableHandle h = WeightsTableInit(BicubicFilter, 300, 600);
    ASSERT_NE(h.m_WeightTable, nullptr);
    EXPECT_EQ(h.m_WindowSize, 9u);  // dWidth 4
    EXPECT_EQ(h.m_LineLength, 300u);
    for (unsigned u = 0; u < 300; ++u) {
        const unsigned left = WeightsTableGetLeftBoundary(h, u);
        const unsigned right = WeightsTableGetRightBoundary(h, u);
        ASSERT_LT(left, right);
        ASSERT_LE(right, 600u);
        ASSERT_LE(right - left, h.m_WindowSize);
        double sum = 0.0;
        for (unsigned i = 0; i < right - left; ++i) sum += WeightsTableGetWeight(h, u, i);
        EXPECT_NEAR(sum, 1.0, 1e-12) << "position " << u;
        EXPECT_NE(WeightsTableGetWeight(h, u, right - left - 1), 0.0);
    }
    // Position 0: centre 1.0, left -2 raised to 0, right 5; renormalised.
    EXPECT_EQ(WeightsTableGetLeftBoundary(h, 0), 0u);
    EXPECT_EQ(WeightsTableGetRightBoundary(h, 0), 5u);
    double raw[5], total = 0.0;
    for (int s = 0; s < 5; ++s) total += raw[s] = 0.5 * BicubicFilter((s + 0.5 - 1.0) * 0.5);
    for (int s = 0; s < 5; ++s) EXPECT_DOUBLE_EQ(WeightsTableGetWeight(h, 0, s), raw[s] / total);
    // A middle position: centre 201, taps 197 .. 204.
    EXPECT_EQ(WeightsTableGetLeftBoundary(h, 100), 197u);
    EXPECT_EQ(WeightsTableGetRightBoundary(h, 100), 205u);
    EXPECT_NEAR(WeightsTableGetWeight(h, 100, 3), 0.5 * BicubicFilter(-0.25), 1e-12);
    // Outside the table: 0, never a read past it.
    EXPECT_EQ(WeightsTableGetWeight(h, 300, 0), 0.0);
    EXPECT_EQ(WeightsTableGetWeight(h, 0, 9), 0.0);
    EXPECT_EQ(WeightsTableGetLeftBoundary(h, 300), 0u);
    EXPECT_EQ(WeightsTableGetRightBoundary(h, 1000), 0u);
    WeightsTableRelease(h);
}

TEST(ResampleWeights, EnlargementAndDegenerateTables) {
    WeightsTableHandle h = WeightsTableInit(Lanczos3Filter, 20, 10);
    ASSERT_NE(h.m_WeightTable, nullptr);
    EXPECT_EQ(h.m_WindowSize, 7u);  // unscaled kernel: dWidth 3
    // Position 5: centre 2.75, taps 0 .. 5; the last position ends at the source's end.
    EXPECT_EQ(WeightsTableGetLeftBoundary(h, 5), 0u);
    EXPECT_EQ(WeightsTableGetRightBoundary(h, 5), 6u);
    EXPECT_EQ(WeightsTableGetRightBoundary(h, 19), 10u);
    WeightsTableRelease(h);

    // A kernel with no width: every list is empty, and release is safe.
    h = WeightsTableInit(NotAKernel, 4, 8);
    ASSERT_NE(h.m_WeightTable, nullptr);
    EXPECT_EQ(h.m_WindowSize, 1u);
    for (unsigned u = 0; u < 4; ++u)
        EXPECT_EQ(WeightsTableGetLeftBoundary(h, u), WeightsTableGetRightBoundary(h, u));
    WeightsTableRelease(h);

    for (auto [dst, src] : {std::pair{0u, 5u}, std::pair{5u, 0u}}) {
        h = WeightsTableInit(BicubicFilter, dst, src);
        EXPECT_EQ(h.m_WeightTable, nullptr);
        EXPECT_EQ(h.m_LineLength, 0u);
        WeightsTableRelease(h);
    }
    h = WeightsTableInit(nullptr, 5, 5);
    EXPECT_EQ(h.m_WeightTable, nullptr);

    // The passes' packed tables hold WeightsTableInit's weights, bit for bit.
    for (auto [dst, src] : {std::pair{827u, 2480u}, std::pair{2480u, 1654u}, std::pair{7u, 3u}}) {
        h = WeightsTableInit(BicubicFilter, dst, src);
        orvela::resample::PackedWeights packed;
        ASSERT_TRUE(packed.build(BicubicFilter, dst, src));
        ASSERT_EQ(packed.taps, h.m_WindowSize);
        for (unsigned u = 0; u < dst; ++u) {
            EXPECT_EQ(packed.left[u], WeightsTableGetLeftBoundary(h, u));
            EXPECT_EQ(packed.left[u] + packed.count[u], WeightsTableGetRightBoundary(h, u));
            EXPECT_EQ(0, memcmp(packed.w + size_t{u} * packed.taps, h.m_WeightTable[u].Weights,
                                packed.taps * sizeof(double))) << u;
        }
        WeightsTableRelease(h);
    }
}

TEST(ResampleHelpers, RoundingClampAndSwap) {
    using orvela::resample::RoundSample;
    EXPECT_EQ(RoundSample(-0.6), 0);
    EXPECT_EQ(RoundSample(-40.0), 0);
    EXPECT_EQ(RoundSample(255.6), 255);
    EXPECT_EQ(RoundSample(300.0), 255);
    EXPECT_EQ(RoundSample(127.5), 128);
    EXPECT_EQ(RoundSample(127.49), 127);

    EXPECT_EQ(clamp(300, 0, 255), 255);
    EXPECT_EQ(clamp(-1, 0, 255), 0);
    EXPECT_EQ(clamp(17, 0, 255), 17);
    int a = 3, b = 9;
    inplace_swap(&a, &b);
    EXPECT_EQ(a, 9);
    EXPECT_EQ(b, 3);
    inplace_swap(&a, &a);
    EXPECT_EQ(a, 9);
    inplace_swap(&a, nullptr);
    EXPECT_EQ(a, 9);
}

std::vector<uint8_t> RandomImage(std::mt19937& rng, size_t bytes, bool smooth) {
    std::vector<uint8_t> v(bytes);
    if (smooth) {
        // Slow ramps with hard edges: most sums land between 0 and 255.
        for (size_t i = 0; i < bytes; ++i) v[i] = uint8_t((i * 7 / 5) % 97 + ((i / 61) % 3 == 0 ? 150 : 0));
    } else {
        for (auto& s : v) s = uint8_t(rng());  // random bytes drive the clamp both ways
    }
    return v;
}

TEST(ScaleDownPage, LeavesTheDestinationAloneWhenThereIsNothingToDo) {
    std::vector<uint8_t> src(40 * 30 * 4, 77), dst(20 * 15 * 4, 0xA5);
    ScaleDownPage(src.data(), 40, 30, 4, dst.data(), 20, 15);  // 4 channels: not handled
    EXPECT_EQ(std::count(dst.begin(), dst.end(), 0xA5), long(dst.size()));
    ScaleDownPage(src.data(), 40, 30, 2, dst.data(), 20, 15);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), 0xA5), long(dst.size()));

    std::vector<uint8_t> same(40 * 30 * 3, 0xA5);
    ScaleDownPage(src.data(), 40, 30, 3, same.data(), 40, 30);  // equal sizes
    EXPECT_EQ(std::count(same.begin(), same.end(), 0xA5), long(same.size()));

    // Nonsense arguments are refused without touching anything.
    ScaleDownPage(nullptr, 40, 30, 1, dst.data(), 20, 15);
    ScaleDownPage(src.data(), 40, 30, 1, nullptr, 20, 15);
    ScaleDownPage(src.data(), 0, 30, 1, dst.data(), 20, 15);
    ScaleDownPage(src.data(), 40, -3, 1, dst.data(), 20, 15);
    ScaleDownPage(src.data(), 40, 30, 1, dst.data(), 20, 0);
    ScaleDownPage(src.data(), 40, 30, 0, dst.data(), 20, 15);
    EXPECT_EQ(std::count(dst.begin(), dst.end(), 0xA5), long(dst.size()));
    EXPECT_TRUE(std::all_of(src.begin(), src.end(), [](uint8_t s) { return s == 77; }));
}

TEST(ScaleDownPage, ChoosesKernelAndPassOrderByWidth) {
    std::mt19937 rng(7);
    const std::vector<uint8_t> src = RandomImage(rng, 24 * 18 * 3, false);
    struct Case {
        int dw, dh;
        bool lanczos;
    };
    // Taller only: cubic even though the page grows. Wider: Lanczos both ways.
    for (const Case c : {Case{24, 30, false}, Case{40, 18, true}, Case{40, 10, true},
                         Case{12, 30, false}, Case{12, 18, false}}) {
        std::vector<uint8_t> got(size_t(c.dw) * c.dh * 3, 1), want(got.size(), 2);
        ScaleDownPage(const_cast<uint8_t*>(src.data()), 24, 18, 3, got.data(), c.dw, c.dh);
        // Build the expectation pass by pass with the named kernel.
        if (c.dw > 24) {
            std::vector<uint8_t> mid(size_t(24) * c.dh * 3);
            if (c.dh == 18) {
                reference::Horizontal(true, src.data(), 18, 24, 3, want.data(), c.dw);
            } else {
                reference::Vertical(true, src.data(), 24, 18, 3, mid.data(), c.dh);
                reference::Horizontal(true, mid.data(), c.dh, 24, 3, want.data(), c.dw);
            }
        } else if (c.dw == 24) {
            reference::Vertical(c.lanczos, src.data(), 24, 18, 3, want.data(), c.dh);
        } else {
            std::vector<uint8_t> mid(size_t(c.dw) * 18 * 3);
            reference::Horizontal(false, src.data(), 18, 24, 3, mid.data(), c.dw);
            if (c.dh == 18)
                want = mid;
            else
                reference::Vertical(false, mid.data(), c.dw, 18, 3, want.data(), c.dh);
        }
        EXPECT_EQ(got, want) << c.dw << "x" << c.dh;
    }
}

// Restores the engine settings a test changed.
// A level and thread count, and at the vector level the one instruction set
// the vector code is picked from (each one this CPU runs in turn, Highway
// target bits).
struct Variant {
    EngineSettings settings;
    int64_t target;
};

void Apply(const Variant& v) {
    orvela::resample::LimitVectorTargets(v.target);
    SetEngineSettings(v.settings);
}

class EngineVariants : public ::testing::Test {
protected:
    void TearDown() override {
        orvela::resample::LimitVectorTargets(0);
        SetEngineSettings(saved_);
    }
    // Every variant this CPU can run.
    std::vector<Variant> Variants() const {
        std::vector<Variant> v;
        for (int threads : {1, 2}) v.push_back({{SimdLevel::Scalar, threads}, 0});
        if (orvela::resample::DetectSimdLevel() == SimdLevel::Vector)
            for (int64_t targets = orvela::resample::RunnableVectorTargets(); targets != 0; targets &= targets - 1)
                for (int threads : {1, 2}) v.push_back({{SimdLevel::Vector, threads}, targets & -targets});
        return v;
    }
    EngineSettings saved_ = GetEngineSettings();
};

std::string Name(const Variant& v) {
    const std::string level =
        v.settings.level == SimdLevel::Scalar ? "portable" : orvela::resample::VectorTargetName();
    return level + "/" + std::to_string(v.settings.max_threads) + "T";
}

struct Shape {
    int sw, sh, C, dw, dh;
};

// Every variant gives the reference's bytes: random shapes, shrink and grow,
// grey and colour, 1- and 2-row and 1-column images, and the page ratios.
TEST_F(EngineVariants, EveryVariantMatchesThePlainFormulation) {
    std::mt19937 rng(20261207);
    std::vector<Shape> shapes;
    for (int t = 0; t < 90; ++t) {
        const int C = (t & 1) ? 3 : 1;
        const int sw = 1 + int(rng() % 260), sh = 1 + int(rng() % 260);
        int dw, dh;
        switch (t % 6) {
            case 0: dw = sw + 1 + int(rng() % 200); dh = sh + 1 + int(rng() % 200); break;  // grow
            case 1: dw = 1 + int(rng() % sw); dh = 1 + int(rng() % sh); break;              // shrink
            case 2: dw = sw + 1 + int(rng() % 100); dh = 1 + int(rng() % sh); break;        // wider, shorter
            case 3: dw = 1 + int(rng() % sw); dh = sh + 1 + int(rng() % 100); break;        // narrower, taller
            case 4: dw = sw; dh = 1 + int(rng() % 300); break;                              // height only
            default: dw = 1 + int(rng() % 300); dh = sh; break;                             // width only
        }
        shapes.push_back({sw, sh, C, dw, dh});
    }
    for (int C : {1, 3}) {
        // 1- and 2-row, 1-column images and 1-pixel results.
        for (Shape s : {Shape{37, 1, C, 25, 1}, Shape{37, 2, C, 25, 1}, Shape{37, 2, C, 50, 2},
                        Shape{37, 1, C, 80, 3}, Shape{1, 40, C, 1, 27}, Shape{1, 1, C, 5, 7},
                        Shape{9, 2, C, 9, 1}, Shape{300, 2, C, 200, 2}, Shape{300, 2, C, 199, 1},
                        Shape{7, 5, C, 1, 1}, Shape{2, 300, C, 3, 100}})
            shapes.push_back(s);
        // Page ratios (300 to 200, 150, 100; 600 to 400; enlargement), big
        // enough that passes are split over two threads.
        shapes.push_back({620, 877, C, 413, 585});
        shapes.push_back({620, 877, C, 310, 438});
        shapes.push_back({620, 877, C, 206, 292});
        shapes.push_back({1241, 700, C, 827, 467});
        shapes.push_back({413, 585, C, 620, 877});
    }
    const std::vector<Variant> variants = Variants();
    for (size_t n = 0; n < shapes.size(); ++n) {
        const Shape& s = shapes[n];
        const std::vector<uint8_t> src = RandomImage(rng, size_t(s.sw) * s.sh * s.C, n % 2 == 0);
        std::vector<uint8_t> want(size_t(s.dw) * s.dh * s.C, 0x5A);
        reference::ScalePage(src.data(), s.sw, s.sh, s.C, want.data(), s.dw, s.dh);
        for (const Variant& v : variants) {
            Apply(v);
            std::vector<uint8_t> got(want.size(), 0x5A);
            std::vector<uint8_t> in = src;
            ScaleDownPage(in.data(), s.sw, s.sh, s.C, got.data(), s.dw, s.dh);
            ASSERT_EQ(in, src) << "source changed";
            if (got != want) {
                size_t bad = 0;
                for (size_t i = 0; i < got.size(); ++i) bad += got[i] != want[i];
                ADD_FAILURE() << Name(v) << ": " << s.sw << "x" << s.sh << "x" << s.C << " -> " << s.dw
                              << "x" << s.dh << ": " << bad << " of " << got.size() << " bytes differ";
            }
        }
    }
}

// Each pass on its own, through the internal entry points, with the odd
// widths at which vector loops end in scalar tails.
TEST_F(EngineVariants, SinglePassesMatchForEveryWidth) {
    std::mt19937 rng(99);
    const std::vector<Variant> variants = Variants();
    for (int C : {1, 3})
        for (int w = 1; w <= 41; w += 4) {
            const int h = 19;
            const std::vector<uint8_t> src = RandomImage(rng, size_t(w) * h * C, false);
            for (int dw : {1, (w * 2) / 3 + 1, w + 3}) {
                const bool lanczos = dw > w;
                std::vector<uint8_t> want(size_t(dw) * h * C);
                reference::Horizontal(lanczos, src.data(), h, w, C, want.data(), dw);
                for (const Variant& v : variants) {
                    Apply(v);
                    std::vector<uint8_t> got(want.size());
                    ASSERT_TRUE(ResizeEngineHorizontalFilter(lanczos ? Lanczos3Filter : BicubicFilter,
                                                             src.data(), h, w, C, got.data(), dw));
                    EXPECT_EQ(got, want) << Name(v) << " horizontal " << w << "->" << dw << " C" << C;
                }
            }
            for (int dh : {1, 11, 25}) {
                const bool lanczos = dh > h;
                std::vector<uint8_t> want(size_t(w) * dh * C);
                reference::Vertical(lanczos, src.data(), w, h, C, want.data(), dh);
                for (const Variant& v : variants) {
                    Apply(v);
                    std::vector<uint8_t> got(want.size());
                    ASSERT_TRUE(ResizeEngineVerticalFilter(lanczos ? Lanczos3Filter : BicubicFilter,
                                                           src.data(), w, h, C, got.data(), dh));
                    EXPECT_EQ(got, want) << Name(v) << " vertical " << h << "->" << dh << " C" << C;
                }
            }
        }
}

// Current address-space size of this process, from /proc.
size_t AddressSpaceBytes() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long pages = 0;
    if (fscanf(f, "%lu", &pages) != 1) pages = 0;
    fclose(f);
    return pages * size_t(sysconf(_SC_PAGESIZE));
}

// AddressSanitizer reserves its shadow memory up front and allocates on its
// own terms: address-space limits say nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Lets the address space grow by at most `headroom` bytes from now on.
bool LimitAddressSpace(size_t headroom) {
    const size_t now = AddressSpaceBytes();
    const rlimit lim{now + headroom, now + headroom};
    return now != 0 && setrlimit(RLIMIT_AS, &lim) == 0;
}

void* Nothing(void*) { return nullptr; }

// These run in a freshly started copy of this program (a "threadsafe" death
// test), whose heap and thread-stack cache are untouched by the other tests,
// under an address-space limit. Exit codes: 0 as expected, 1 wrong output,
// 2 the limit did not take the memory away, 3 no limit could be set.
TEST_F(EngineVariants, ScalesOnOneThreadWhenNoThreadCanStart) {
    pthread_attr_t attr;
    size_t stack = 0;
    ASSERT_EQ(pthread_getattr_default_np(&attr), 0);
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
    if (stack < (4u << 20)) GTEST_SKIP() << "default thread stack too small to starve: " << stack;
    if (kSanitized) GTEST_SKIP() << "address-space limits do not work under a sanitizer";

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::mt19937 rng(5);
    const std::vector<uint8_t> src = RandomImage(rng, 600 * 600, true);
    std::vector<uint8_t> want(400 * 400), got(400 * 400, 0);
    reference::ScalePage(src.data(), 600, 600, 1, want.data(), 400, 400);
    SetEngineSettings({orvela::resample::DetectSimdLevel(), 2});
    EXPECT_EXIT(
        {
            if (!LimitAddressSpace(stack / 2)) _exit(3);
            pthread_t t;
            if (pthread_create(&t, nullptr, Nothing, nullptr) == 0) _exit(2);
            ScaleDownPage(const_cast<uint8_t*>(src.data()), 600, 600, 1, got.data(), 400, 400);
            _exit(got == want ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(EngineVariants, NeedsNoPageSizedBufferAndBlanksThePageWithoutMemory) {
    if (kSanitized) GTEST_SKIP() << "address-space limits do not work under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::mt19937 rng(6);
    const std::vector<uint8_t> src = RandomImage(rng, 3000 * 3000, true);
    std::vector<uint8_t> got(2000 * 1000, 0x11), want(got.size());
    reference::ScalePage(src.data(), 3000, 3000, 1, want.data(), 2000, 1000);
    // No level needs a 2000 x 3000 intermediate image: a window of rows.
    for (SimdLevel level : {SimdLevel::Scalar, orvela::resample::DetectSimdLevel()}) {
        SetEngineSettings({level, 1});
        EXPECT_EXIT(
            {
                if (!LimitAddressSpace(2u << 20)) _exit(3);
                void* volatile probe = malloc(6000000);  // volatile: the compiler may not assume it succeeds
                if (probe != nullptr) _exit(2);
                ScaleDownPage(const_cast<uint8_t*>(src.data()), 3000, 3000, 1, got.data(), 2000, 1000);
                _exit(got == want ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << int(level);
    }
    // Without memory even for the weights the page comes back blank (white),
    // never as uninitialised memory.
    EXPECT_EXIT(
        {
            if (!LimitAddressSpace(0)) _exit(3);
            void* volatile probe = malloc(300000);
            if (probe != nullptr) _exit(2);
            ScaleDownPage(const_cast<uint8_t*>(src.data()), 3000, 3000, 1, got.data(), 2000, 1000);
            _exit(std::all_of(got.begin(), got.end(), [](uint8_t v) { return v == 0xFF; }) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
