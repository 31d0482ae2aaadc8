// Streaming line scaler: which source lines emit output lines, the pixel
// smoothing and the blend with the kept line, and inputs it must survive.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/scan/imageproc/exported_extras.h"

namespace {

struct Emitted {
    int row;
    const unsigned char* data;
    std::vector<uint8_t> line;
    int channels;
};
std::vector<Emitted> gEmitted;

void Record(int row, const unsigned char* line, size_t length, int channels) {
    gEmitted.push_back({row, line, std::vector<uint8_t>(line, line + length), channels});
}

class Zoom : public ::testing::Test {
protected:
    void SetUp() override {
        gEmitted.clear();
        orvela::zoom::SetLineObserver(Record);
    }
    void TearDown() override { orvela::zoom::SetLineObserver(nullptr); }
};

std::vector<uint8_t> Line(size_t bytes, int seed) {
    std::vector<uint8_t> v(bytes);
    for (size_t i = 0; i < bytes; ++i) v[i] = uint8_t((i * 37 + seed * 101 + (i * i) % 13) % 256);
    return v;
}

// Smoothed sample at source pixel x, channel c (taps 0.25/0.5/0.25, or
// 0.5/0.5 with the left neighbour at the end of the line), truncated.
int Smooth(const std::vector<uint8_t>& l, size_t x, size_t C, size_t c, bool right) {
    const double L = l[(x - 1) * C + c], P = l[x * C + c];
    return int(right ? 0.25 * L + 0.5 * P + 0.25 * l[(x + 1) * C + c] : 0.5 * P + 0.5 * L);
}
double SmoothExact(const std::vector<uint8_t>& l, size_t x, size_t C, size_t c, bool right) {
    const double L = l[(x - 1) * C + c], P = l[x * C + c];
    return right ? 0.25 * L + 0.5 * P + 0.25 * l[(x + 1) * C + c] : 0.5 * P + 0.5 * L;
}

TEST_F(Zoom, OffOrEqualResolutionsLeaveTheLineAlone) {
    std::vector<uint8_t> a = Line(60, 1), b = Line(60, 2);
    zoom(true, 0, a.data(), 60, 600, 1, 300);
    zoom(true, 1, b.data(), 60, 600, 1, 300);
    ASSERT_EQ(gEmitted.size(), 1u);
    EXPECT_EQ(orvela::zoom::OldYValue(), 1);

    gEmitted.clear();
    zoom(false, 2, a.data(), 60, 600, 1, 300);  // not zooming: nothing at all
    EXPECT_TRUE(gEmitted.empty());
    EXPECT_EQ(orvela::zoom::OldYValue(), 1);

    zoom(true, 7, a.data(), 60, 300, 3, 300);  // equal: the source line itself
    ASSERT_EQ(gEmitted.size(), 1u);
    EXPECT_EQ(gEmitted[0].row, 7);
    EXPECT_EQ(gEmitted[0].data, a.data());
    EXPECT_EQ(gEmitted[0].line, a);
    EXPECT_EQ(gEmitted[0].channels, 3);
    EXPECT_EQ(orvela::zoom::OldYValue(), 1);  // state untouched
}

TEST_F(Zoom, HalvingGreyKeepsEvenLinesAndBlendsThemIntoOddOnes) {
    std::vector<std::vector<uint8_t>> src;
    for (int r = 0; r < 4; ++r) src.push_back(Line(600, r));
    zoom(true, 0, src[0].data(), 600, 600, 1, 300);
    EXPECT_TRUE(gEmitted.empty());
    EXPECT_EQ(orvela::zoom::OldYValue(), 0);
    zoom(true, 1, src[1].data(), 600, 600, 1, 300);
    ASSERT_EQ(gEmitted.size(), 1u);
    EXPECT_EQ(orvela::zoom::OldYValue(), 1);
    zoom(true, 2, src[2].data(), 600, 600, 1, 300);
    zoom(true, 3, src[3].data(), 600, 600, 1, 300);
    ASSERT_EQ(gEmitted.size(), 2u);

    for (int k = 0; k < 2; ++k) {
        const Emitted& e = gEmitted[k];
        const auto& cur = src[2 * k + 1];
        const auto& kept = src[2 * k];
        EXPECT_EQ(e.row, k);
        EXPECT_EQ(e.channels, 1);
        ASSERT_EQ(e.line.size(), 300u);
        // Output pixel i comes from source pixel 2i + 1.
        for (size_t i = 0; i < 300; ++i) {
            const size_t x = 2 * i + 1;
            const bool right = x + 1 < 600;
            const int own = Smooth(cur, x, 1, 0, right);
            const int want = int(0.5 * own + 0.5 * SmoothExact(kept, x, 1, 0, right));
            ASSERT_EQ(e.line[i], want) << "line " << k << " pixel " << i;
        }
    }
    // Pixel 0 is 0.25/0.5/0.25 of source pixels 0, 1, 2; the last pixel
    // 0.5/0.5 of source pixels 598 and 599.
    const auto& l1 = src[1];
    const auto& l0 = src[0];
    EXPECT_EQ(gEmitted[0].line[0],
              int(0.5 * int(0.25 * l1[0] + 0.5 * l1[1] + 0.25 * l1[2]) +
                  0.5 * (0.25 * l0[0] + 0.5 * l0[1] + 0.25 * l0[2])));
    EXPECT_EQ(gEmitted[0].line[299],
              int(0.5 * int(0.5 * l1[599] + 0.5 * l1[598]) + 0.5 * (0.5 * l0[599] + 0.5 * l0[598])));
}

TEST_F(Zoom, ColourLinesAreSmoothedPerChannel) {
    const std::vector<uint8_t> a = Line(30, 5), b = Line(30, 6);  // 10 RGB pixels
    std::vector<uint8_t> ca = a, cb = b;
    zoom(true, 0, ca.data(), 30, 600, 3, 300);
    zoom(true, 1, cb.data(), 30, 600, 3, 300);
    ASSERT_EQ(gEmitted.size(), 1u);
    ASSERT_EQ(gEmitted[0].line.size(), 15u);
    EXPECT_EQ(gEmitted[0].channels, 3);
    for (size_t i = 0; i < 5; ++i)
        for (size_t c = 0; c < 3; ++c) {
            const size_t x = 2 * i + 1;
            const bool right = x + 1 < 10;
            const int want = int(0.5 * Smooth(b, x, 3, c, right) + 0.5 * SmoothExact(a, x, 3, c, right));
            EXPECT_EQ(gEmitted[0].line[i * 3 + c], want) << i << "/" << c;
        }
}

TEST_F(Zoom, TwoThirdsEmitsTwoLinesOfEveryThree) {
    std::vector<std::vector<uint8_t>> src;
    for (int r = 0; r < 6; ++r) src.push_back(Line(300, 10 + r));
    for (int r = 0; r < 6; ++r) zoom(true, r, src[r].data(), 300, 300, 1, 200);
    ASSERT_EQ(gEmitted.size(), 4u);  // from source lines 1, 2, 4, 5
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(gEmitted[k].row, k);
        EXPECT_EQ(gEmitted[k].line.size(), 200u);
    }
    // Line 2 emits right after line 1 did, and blends with line 0, the last
    // line kept; the first of every three source pixels emits nothing.
    const size_t x = 1;  // output pixel 0
    EXPECT_EQ(gEmitted[1].line[0],
              int(0.5 * Smooth(src[2], x, 1, 0, true) + 0.5 * SmoothExact(src[0], x, 1, 0, true)));
    EXPECT_EQ(gEmitted[3].line[0],
              int(0.5 * Smooth(src[5], x, 1, 0, true) + 0.5 * SmoothExact(src[3], x, 1, 0, true)));
    EXPECT_EQ(orvela::zoom::OldYValue(), 4);
}

TEST_F(Zoom, NeverBlendsWithAMissingShorterOrEarlierLine) {
    // An image whose kept line is 10 bytes, then a 600-byte line to blend:
    // the kept line does not cover it, so the output is the smoothed line
    // alone (a read past the kept line would be the fault).
    std::vector<uint8_t> shortLine = Line(10, 20), longLine = Line(600, 21);
    zoom(true, 0, shortLine.data(), 10, 600, 1, 300);
    zoom(true, 1, longLine.data(), 600, 600, 1, 300);
    ASSERT_EQ(gEmitted.size(), 1u);
    ASSERT_EQ(gEmitted[0].line.size(), 300u);
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(gEmitted[0].line[i], Smooth(longLine, 2 * i + 1, 1, 0, 2 * i + 2 < 600)) << i;

    // A ratio above 1: the first line of a new image emits at once; the line
    // kept by the previous image is not blended in. Each source pixel from 1
    // on gives one output pixel; the rest of the longer line stays zero.
    gEmitted.clear();
    std::vector<uint8_t> up = Line(100, 22);
    zoom(true, 0, up.data(), 100, 100, 1, 200);
    ASSERT_EQ(gEmitted.size(), 1u);
    EXPECT_EQ(gEmitted[0].row, 1);
    ASSERT_EQ(gEmitted[0].line.size(), 200u);
    EXPECT_EQ(gEmitted[0].line[0], 0);
    for (size_t x = 1; x < 100; ++x) ASSERT_EQ(gEmitted[0].line[x], Smooth(up, x, 1, 0, x + 1 < 100)) << x;
    for (size_t i = 100; i < 200; ++i) ASSERT_EQ(gEmitted[0].line[i], 0) << i;
    // Later lines of that image: still nothing of this image kept, no blend.
    zoom(true, 1, up.data(), 100, 100, 1, 200);
    ASSERT_EQ(gEmitted.size(), 2u);
    EXPECT_EQ(gEmitted[1].row, 3);
    EXPECT_EQ(gEmitted[1].line, gEmitted[0].line);
}

TEST_F(Zoom, RefusesNonsenseWithoutOutput) {
    std::vector<uint8_t> l = Line(64, 30);
    zoom(true, 0, nullptr, 64, 600, 1, 300);
    zoom(true, 1, nullptr, 64, 600, 1, 300);
    zoom(true, 1, l.data(), 64, 0, 1, 300);
    zoom(true, 1, l.data(), 64, -600, 1, 300);
    zoom(true, 1, l.data(), 64, 600, 1, 0);
    zoom(true, 1, l.data(), 64, 600, 0, 300);
    zoom(true, -1, l.data(), 64, 600, 1, 300);
    EXPECT_TRUE(gEmitted.empty());
    // A channel count other than 1 or 3 gives a line of zero pixels.
    zoom(true, 0, l.data(), 64, 600, 2, 300);
    zoom(true, 1, l.data(), 64, 600, 2, 300);
    ASSERT_EQ(gEmitted.size(), 1u);
    EXPECT_EQ(gEmitted[0].line, std::vector<uint8_t>(32, 0));
    // The hook itself accepts anything and does nothing.
    zoomLineCompleted(0, nullptr, 0, 0);
}

}  // namespace
