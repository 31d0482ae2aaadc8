// Randomised thresholds for black-and-white, and the exported matrices.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "core/scan/imageproc/bilevel.h"
#include "core/scan/imageproc/exported_extras.h"

namespace {

class Threshold : public ::testing::Test {
protected:
    void SetUp() override { InitThresholdTable(); }
};

// The next value rand() will return, without disturbing the sequence.
int peek_rand(unsigned seed) {
    srand(seed);
    const int r = rand();
    srand(seed);
    return r;
}

TEST_F(Threshold, TableFollowsItsConstruction) {
    for (int j = 0; j < 10; ++j) {  // groups of four: 3j, 3j, 3j+1, 3j+2
        EXPECT_EQ(m_lpRandomScale[4 * j], 3 * j);
        EXPECT_EQ(m_lpRandomScale[4 * j + 1], 3 * j);
        EXPECT_EQ(m_lpRandomScale[4 * j + 2], 3 * j + 1);
        EXPECT_EQ(m_lpRandomScale[4 * j + 3], 3 * j + 2);
    }
    for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(m_lpRandomScale[64 + j], 50 + 3 * j);
        EXPECT_EQ(m_lpRandomScale[72 + j], 75 + 3 * j);
    }
    for (int i = 80; i <= 85; ++i) EXPECT_EQ(m_lpRandomScale[i], 100);
    EXPECT_EQ(m_lpRandomScale[105], 62);
    EXPECT_EQ(m_lpRandomScale[127], 100);
    EXPECT_EQ(m_lpRandomScale[96], 21);
}

TEST_F(Threshold, EndsOfTheScaleAreFixedAndDrawNothing) {
    for (int v : {0, 1, 254, 255}) {
        const int before = peek_rand(99);
        EXPECT_EQ(CalcNewThreshold(v), 127) << v;
        EXPECT_EQ(rand(), before) << "value " << v << " must not consume a random number";
    }
}

TEST_F(Threshold, DrawsFromTheScaledRange) {
    for (unsigned seed = 1; seed < 200; ++seed) {
        const int r = peek_rand(seed) % 128;
        EXPECT_EQ(CalcNewThreshold(127), 128 + r);
        srand(seed);
        EXPECT_EQ(CalcNewThreshold(128), 128 + r);
        srand(seed);
        EXPECT_EQ(CalcNewThreshold(2), r < 100 ? 128 : 129);
        srand(seed);
        EXPECT_EQ(CalcNewThreshold(150), 128 + r * 62 / 100);
    }
}

TEST_F(Threshold, FullScaleSpreadsOverTheWholeUpperRange) {
    std::set<int> seen;
    srand(7);
    for (int i = 0; i < 20000; ++i) {
        const int t = CalcNewThreshold(82);
        ASSERT_GE(t, 128);
        ASSERT_LE(t, 255);
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 128u);
}

TEST_F(Threshold, OutOfRangeGreyValuesStayInsideTheTable) {
    EXPECT_EQ(CalcNewThreshold(-5), 127);
    EXPECT_EQ(CalcNewThreshold(1000), 127);
}

TEST(DitherMatrices, AreBayerPermutationsAndTheStoredScreen) {
    std::set<unsigned> v8, v16;
    for (auto& row : dither2) v8.insert(std::begin(row), std::end(row));
    for (auto& row : dither1) v16.insert(std::begin(row), std::end(row));
    EXPECT_EQ(v8.size(), 64u);
    EXPECT_EQ(*v8.rbegin(), 63u);
    EXPECT_EQ(v16.size(), 256u);
    EXPECT_EQ(*v16.rbegin(), 255u);
    const unsigned first2[8] = {0, 32, 8, 40, 2, 34, 10, 42};
    const unsigned first1[16] = {0, 128, 32, 160, 8, 136, 40, 168, 2, 130, 34, 162, 10, 138, 42, 170};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dither2[0][i], first2[i]);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dither1[0][i], first1[i]);
    // Order 16 is built from order 8: its even rows and columns scaled by 4.
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) EXPECT_EQ(dither1[r][c], 4 * dither2[r][c]);

    int count41 = 0, count46 = 0;
    for (auto& row : halftone)
        for (unsigned x : row) count41 += x == 41, count46 += x == 46;
    EXPECT_EQ(count41, 2);
    EXPECT_EQ(count46, 0);
    EXPECT_EQ(halftone[3][3], 1u);
    EXPECT_EQ(halftone[7][0], 63u);
}

}  // namespace
