// The row pipeline: the one rescaler gives the plain formulation's bytes
// however its rows are fed (only when a row is due, as far ahead as it wants
// them, or lent in place), and a page decoded, rescaled and packed through
// the pipeline is the decoded page rescaled; broken pages fail and leave
// nothing behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/scan/imageproc/resample_engine.h"
#include "core/scan/imageproc/row_rescale.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_rows.h"
#include "tests/support/jpeg_encode.h"
#include "tests/support/process.h"
#include "tests/support/resample_reference.h"

namespace {

using orvela::resample::SimdLevel;

TEST(RowRescaler, GivesThePlainBytesWhateverTheFeeding) {
    struct Shape {
        unsigned w, h, c, dw, dh;
    };
    const Shape shapes[] = {
        {620, 877, 3, 413, 584},  // 300 -> 200, cubic, rows first
        {301, 299, 1, 75, 74},    // 1/4: long taps
        {333, 517, 3, 166, 258},  // odd sizes
        {257, 190, 3, 514, 380},  // wider: Lanczos, columns first
        {97, 61, 1, 145, 91},     // growth by 1.5
        {3, 2, 3, 2, 1},          // tiny
        {16, 41, 1, 5, 13},       // narrow strip
        {120, 50, 3, 80, 50},     // rows only
        {120, 50, 1, 180, 50},    // rows only, wider
        {120, 50, 1, 120, 33},    // columns only
        {64, 20, 3, 64, 20},      // unchanged
    };
    enum Feeding { WhenDue, AsWanted, Lent };
    for (const Shape& sh : shapes) {
        const std::vector<uint8_t> src = jpeg_test_picture(sh.w, sh.h, static_cast<int>(sh.c), sh.w);
        std::vector<uint8_t> want(size_t{sh.dw} * sh.dh * sh.c);
        if (sh.w == sh.dw && sh.h == sh.dh) want = src;
        else reference::ScalePage(src.data(), int(sh.w), int(sh.h), int(sh.c), want.data(), int(sh.dw), int(sh.dh));
        for (SimdLevel level : {SimdLevel::Scalar, orvela::resample::DetectSimdLevel()})
            for (Feeding feeding : {WhenDue, AsWanted, Lent}) {
                SCOPED_TRACE(::testing::Message() << sh.w << "x" << sh.h << "x" << sh.c << " -> " << sh.dw << "x"
                                                  << sh.dh << " level " << int(level) << " feeding " << feeding);
                RowRescaler rescaler;
                ASSERT_TRUE(rescaler.init(sh.w, sh.h, sh.c, sh.dw, sh.dh, level));
                const size_t row = size_t{sh.w} * sh.c;
                auto take = [&] {
                    const uint8_t* from = &src[rescaler.rows_taken() * row];
                    if (feeding == Lent) {
                        rescaler.take_row(from);
                    } else {
                        memcpy(rescaler.next_source_row(), from, row);
                        rescaler.commit_row();
                    }
                };
                std::vector<uint8_t> got;
                while (rescaler.rows_made() < sh.dh) {
                    while (!rescaler.row_ready()) take();
                    while (feeding != WhenDue && rescaler.wants_row()) take();
                    const uint8_t* out = rescaler.make_row();
                    got.insert(got.end(), out, out + size_t{sh.dw} * sh.c);
                }
                while (rescaler.rows_taken() < sh.h) take();  // the rest of the page is taken and dropped
                EXPECT_TRUE(got == want);
            }
    }
}

class PagePipeline : public ::testing::Test {
protected:
    std::string write_page(const std::string& name, const std::vector<uint8_t>& jpeg) {
        const std::string path = dir_.file(name);
        EXPECT_TRUE(write_file(path, jpeg));
        return path;
    }
    TempDir dir_;
};

TEST_F(PagePipeline, RescaledAsScannedOrRefused) {
    const std::vector<uint8_t> jpeg = jpeg_encode(jpeg_test_picture(600, 800, 3, 3), 600, 800, 3, 85);
    const std::string path = write_page("p.jpg", jpeg);
    ORVELA_IMAGE_RAW decoded{}, rescaled{};
    ASSERT_EQ(decode_page_file(path.c_str(), {300, 300}, &decoded), SCAN_STATUS_GOOD);
    ASSERT_EQ(decode_page_file(path.c_str(), {300, 300}, &rescaled, 200), SCAN_STATUS_GOOD);
    ASSERT_EQ(rescaled.img_width, 400u);
    ASSERT_EQ(rescaled.img_height, 533u);
    std::vector<uint8_t> want(size_t{400} * 533 * 3);
    reference::ScalePage(decoded.img_data, 600, 800, 3, want.data(), 400, 533);
    EXPECT_EQ(memcmp(rescaled.img_data, want.data(), want.size()), 0);
    free(decoded.img_data);
    free(rescaled.img_data);

    // A page too small to rescale, and on a 32-bit host a rescaled page
    // larger than the address space (180000 x 240000 x 3 bytes here): refused,
    // never allocated short and overrun.
    ORVELA_IMAGE_RAW page{};
    const std::string one = write_page("one.jpg", jpeg_encode(jpeg_test_picture(1, 40, 1, 1), 1, 40, 1, 85));
    EXPECT_EQ(decode_page_file(one.c_str(), {300, 300}, &page, 200), SCAN_STATUS_IO_ERROR);
    if (sizeof(size_t) == 4) {
        EXPECT_EQ(decode_page_file(path.c_str(), {300, 300}, &page, 300 * 300), SCAN_STATUS_NO_MEM);
    }
    EXPECT_EQ(page.img_data, nullptr);

    uint32_t w = 0, h = 0;
    EXPECT_TRUE(rescaled_page_size(2480, 3507, 200, 300, &w, &h));
    EXPECT_EQ(w, 1653u);
    EXPECT_EQ(h, 2338u);
    EXPECT_TRUE(rescaled_page_size(4960, 7015, 400, 600, &w, &h));
    EXPECT_EQ(w, 3306u);
    EXPECT_EQ(h, 4676u);
    EXPECT_FALSE(rescaled_page_size(2, 2, 1, 300, &w, &h));
    EXPECT_TRUE(rescaled_page_size(65500, 10, 9600, 1200, &w, &h));
    EXPECT_EQ(w, 524000u);
    EXPECT_FALSE(rescaled_page_size(65501, 10, 9600, 1200, &w, &h));
}

TEST_F(PagePipeline, BrokenPagesFailAndLeaveNothing) {
    const std::vector<uint8_t> good = jpeg_encode(jpeg_test_picture(600, 800, 3, 3), 600, 800, 3, 85);
    ASSERT_GT(good.size(), 4000u);
    ORVELA_IMAGE_RAW page{};
    for (size_t keep : {size_t{2}, size_t{300}, good.size() / 4, good.size() / 2, good.size() - 40}) {
        const std::string cut = write_page("cut.jpg", std::vector<uint8_t>(good.begin(), good.begin() + long(keep)));
        for (bool bilevel : {false, true})
            EXPECT_EQ(decode_page_file(cut.c_str(), {300, 300}, &page, 200, bilevel), SCAN_STATUS_IO_ERROR) << keep;
    }
    EXPECT_EQ(decode_page_file(dir_.file("missing.jpg").c_str(), {300, 300}, &page, 200), SCAN_STATUS_IO_ERROR);
    const std::string garbage = write_page("garbage.jpg", std::vector<uint8_t>(4000, 0x5A));
    EXPECT_EQ(decode_page_file(garbage.c_str(), {300, 300}, &page, 200), SCAN_STATUS_IO_ERROR);
    // A page larger than the bed (at 10 dpi: 87 x 144 pixels with the margin).
    const std::string big = write_page("big.jpg", good);
    EXPECT_EQ(decode_page_file(big.c_str(), {10, 10}, &page, 7), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(page.img_data, nullptr);
}

}  // namespace
