// A page decoded and rescaled in bands beside the decode must be the very
// page that decoding it whole and then calling ScaleDownPage gives: many
// shapes, both kernels, every band size and fallback; broken pages fail with
// the decode's statuses and leave nothing behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/resample_engine.h"
#include "core/scan/imageproc/row_rescale.h"
#include "core/scan/page/page_pipeline.h"
#include "core/scan/sane/sane_handle.h"
#include "tests/support/jpeg_encode.h"
#include "tests/support/process.h"
#include "core/scan/job/whole_page.h"
#include "core/scan/job/scan_job.h"

namespace {

// The page of `s` decoded from `path` and rescaled as start does it.
PageResult decode_and_rescale(orvela_scanner_t& s, const char* path, SANE_Word resolution, unsigned device_x) {
    return decode_and_rescale_page(path, {s.dev_params.xResolution, s.dev_params.yResolution}, resolution, device_x,
                                   &s.src_img, &s.dst_img);
}

using orvela::resample::EngineSettings;
using orvela::resample::SimdLevel;

// Restores the pipeline's and the engine's settings after each test.
class PagePipeline : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = get_page_pipeline_settings();
        engine_ = orvela::resample::GetEngineSettings();
    }
    void TearDown() override {
        set_page_pipeline_settings(saved_);
        orvela::resample::SetEngineSettings(engine_);
    }

    std::string write_page(const std::string& name, unsigned w, unsigned h, int channels, unsigned seed = 1) {
        const std::vector<uint8_t> jpeg = jpeg_encode(jpeg_test_picture(w, h, channels, seed), w, h, channels, 85);
        EXPECT_FALSE(jpeg.empty());
        const std::string path = dir_.file(name);
        EXPECT_TRUE(write_file(path, jpeg));
        return path;
    }

    TempDir dir_;

private:
    PagePipelineSettings saved_;
    EngineSettings engine_{};
};

struct Page {
    std::vector<uint8_t> bytes;
    uint32_t w = 0, h = 0, c = 0;
};

// The reference: the whole page decoded, then ScaleDownPage.
Page sequential(const std::string& path, SANE_Word resolution, unsigned device_x) {
    orvela_scanner_t s{};
    Page out;
    if (orvela_sane_decompress(&s, path.c_str()) != SCAN_STATUS_GOOD) return out;
    uint32_t dw = 0, dh = 0;
    if (rescaled_page_size(s.src_img.img_width, s.src_img.img_height, resolution, device_x, &dw, &dh)) {
        out.bytes.assign(size_t{dw} * dh * s.src_img.img_channel, 0xA5);
        ScaleDownPage(s.src_img.img_data, int(s.src_img.img_width), int(s.src_img.img_height),
                      int(s.src_img.img_channel), out.bytes.data(), int(dw), int(dh));
        out.w = dw;
        out.h = dh;
        out.c = s.src_img.img_channel;
    }
    release_page(&s);
    return out;
}

Page pipelined(const std::string& path, SANE_Word resolution, unsigned device_x) {
    orvela_scanner_t s{};
    Page out;
    const PageResult r = decode_and_rescale(s, path.c_str(), resolution, device_x);
    EXPECT_EQ(r.decoded, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.rescaled, SANE_STATUS_GOOD);
    EXPECT_EQ(s.src_img.img_data, nullptr);  // the decoded page is released
    if (s.dst_img.img_data != nullptr) {
        out.w = s.dst_img.img_width;
        out.h = s.dst_img.img_height;
        out.c = s.dst_img.img_channel;
        out.bytes.assign(s.dst_img.img_data, s.dst_img.img_data + size_t{out.w} * out.h * out.c);
    }
    release_page(&s);
    return out;
}

TEST_F(PagePipeline, BandedPagesEqualTheWholePageRescaled) {
    struct Shape {
        unsigned w, h;
        int channels;
        SANE_Word resolution;
        unsigned device_x;
    };
    const Shape shapes[] = {
        {620, 877, 3, 200, 300},  // colour, 300 -> 200 (cubic, rows first)
        {620, 877, 1, 200, 300},
        {1240, 1754, 1, 400, 600},  // grey 600 -> 400
        {333, 517, 3, 150, 300},    // odd sizes, 1/2
        {301, 299, 1, 75, 300},     // 1/4: long taps
        {257, 190, 3, 2400, 1200},  // wider page: Lanczos, columns first
        {97, 61, 1, 1800, 1200},    // growth by 1.5
        {3, 2, 3, 200, 300},        // tiny: 2 x 1
        {5, 3, 1, 2400, 1200},      // tiny growth: 10 x 6
        {16, 41, 3, 100, 300},      // narrow strip
    };
    const SimdLevel best = orvela::resample::DetectSimdLevel();
    int compared = 0;
    for (const Shape& sh : shapes) {
        const std::string path = write_page("p.jpg", sh.w, sh.h, sh.channels, sh.w + sh.h);
        const Page want = sequential(path, sh.resolution, sh.device_x);
        ASSERT_FALSE(want.bytes.empty()) << sh.w << "x" << sh.h;
        for (SimdLevel level : {SimdLevel::Avx2, best}) {
            orvela::resample::SetEngineSettings(EngineSettings{level, 2});
            for (unsigned band : {8u, 24u, 128u, 5000u})
                for (bool refuse : {false, true}) {
                    set_page_pipeline_settings(PagePipelineSettings{true, band, refuse});
                    const Page got = pipelined(path, sh.resolution, sh.device_x);
                    SCOPED_TRACE(::testing::Message() << sh.w << "x" << sh.h << "x" << sh.channels << " "
                                                      << sh.device_x << "->" << sh.resolution << " level "
                                                      << int(level) << " band " << band << " refuse " << refuse);
                    EXPECT_EQ(got.w, want.w);
                    EXPECT_EQ(got.h, want.h);
                    EXPECT_EQ(got.c, want.c);
                    EXPECT_TRUE(got.bytes == want.bytes);
                    ++compared;
                }
        }
    }
    EXPECT_EQ(compared, 10 * 2 * 4 * 2);

    // Settings that leave the work to ScaleDownPage give the same page too.
    const std::string path = write_page("q.jpg", 400, 300, 3, 7);
    const Page want = sequential(path, 200, 300);
    set_page_pipeline_settings(PagePipelineSettings{false, 64, false});
    EXPECT_TRUE(pipelined(path, 200, 300).bytes == want.bytes);
    set_page_pipeline_settings(PagePipelineSettings{true, 64, false});
    orvela::resample::SetEngineSettings(EngineSettings{SimdLevel::Scalar, 2});
    EXPECT_TRUE(pipelined(path, 200, 300).bytes == want.bytes);
    orvela::resample::SetEngineSettings(EngineSettings{best, 1});
    EXPECT_TRUE(pipelined(path, 200, 300).bytes == want.bytes);
}

// The streaming path's rescaler, fed row by row (only when a row is due, or
// as far ahead as it takes rows), gives ScaleDownPage's bytes at every level.
TEST_F(PagePipeline, RowByRowRescaleEqualsTheWholePageRescaled) {
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
    const SimdLevel best = orvela::resample::DetectSimdLevel();
    for (const Shape& sh : shapes) {
        const std::vector<uint8_t> src = jpeg_test_picture(sh.w, sh.h, static_cast<int>(sh.c), sh.w);
        std::vector<uint8_t> want(size_t{sh.dw} * sh.dh * sh.c, 0);
        if (sh.w == sh.dw && sh.h == sh.dh) want = src;  // ScaleDownPage leaves it unwritten
        else ScaleDownPage(const_cast<uint8_t*>(src.data()), int(sh.w), int(sh.h), int(sh.c), want.data(), int(sh.dw),
                           int(sh.dh));
        for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2, best})
            for (bool eager : {false, true}) {
                SCOPED_TRACE(::testing::Message() << sh.w << "x" << sh.h << "x" << sh.c << " -> " << sh.dw << "x"
                                                  << sh.dh << " level " << int(level) << " eager " << eager);
                orvela::resample::SetEngineSettings(EngineSettings{level, 1});
                RowRescaler rescaler;
                ASSERT_TRUE(rescaler.init(sh.w, sh.h, sh.c, sh.dw, sh.dh));
                std::vector<uint8_t> got;
                const size_t row = size_t{sh.w} * sh.c;
                auto take = [&] {
                    memcpy(rescaler.next_source_row(), &src[rescaler.rows_taken() * row], row);
                    rescaler.commit_row();
                };
                while (rescaler.rows_made() < sh.dh) {
                    while (!rescaler.row_ready()) take();
                    while (eager && rescaler.rows_taken() < sh.h && rescaler.wants_row_for_block()) take();
                    const uint8_t* out = rescaler.make_row();
                    got.insert(got.end(), out, out + size_t{sh.dw} * sh.c);
                }
                while (rescaler.rows_taken() < sh.h) take();  // the rest of the page is taken and dropped
                EXPECT_TRUE(got == want);
            }
    }
}

TEST_F(PagePipeline, PagesServedAsScannedOrWithoutAUsableSize) {
    // The device's own resolution: no rescale, dst_img is src_img.
    const std::string path = write_page("p.jpg", 90, 70, 3);
    orvela_scanner_t s{};
    PageResult r = decode_and_rescale(s, path.c_str(), 300, 300);
    EXPECT_EQ(r.decoded, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.rescaled, SANE_STATUS_GOOD);
    ASSERT_NE(s.src_img.img_data, nullptr);
    EXPECT_EQ(s.dst_img.img_data, s.src_img.img_data);
    EXPECT_EQ(s.dst_img.img_width, 90u);
    EXPECT_EQ(s.dst_img.img_height, 70u);

    // A page too small to rescale: decoded, then refused; the decoded page
    // stays for the caller to release, nothing else is held.
    const std::string one = write_page("one.jpg", 1, 40, 1);
    r = decode_and_rescale(s, one.c_str(), 200, 300);
    EXPECT_EQ(r.decoded, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.rescaled, SANE_STATUS_INVAL);
    ASSERT_NE(s.src_img.img_data, nullptr);
    EXPECT_EQ(s.src_img.img_width, 1u);
    EXPECT_EQ(s.dst_img.img_data, nullptr);
    release_page(&s);

    // On a 32-bit host a rescaled page can be larger than the address space
    // (42930 x 33390 x 3 bytes here): refused for want of memory, never
    // allocated short and overrun.
    if (sizeof(size_t) == 4) {
        r = decode_and_rescale(s, path.c_str(), 300 * 477, 300);
        EXPECT_EQ(r.decoded, SCAN_STATUS_GOOD);
        EXPECT_EQ(r.rescaled, SANE_STATUS_NO_MEM);
        release_page(&s);
    }

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

TEST_F(PagePipeline, BrokenPagesFailAndReleaseEverything) {
    const std::vector<uint8_t> good =
        jpeg_encode(jpeg_test_picture(600, 800, 3, 3), 600, 800, 3, 85);
    ASSERT_GT(good.size(), 4000u);
    const std::string cut_path = dir_.file("cut.jpg");
    orvela_scanner_t s{};
    auto* sentinel = static_cast<unsigned char*>(malloc(16));
    s.src_img = {sentinel, 4, 4, 1};
    s.dst_img = s.src_img;
    // Small bands: the band thread is at work (or waiting) when the data ends.
    for (unsigned band : {8u, 64u})
        for (bool refuse : {false, true}) {
            set_page_pipeline_settings(PagePipelineSettings{true, band, refuse});
            for (size_t keep : {size_t{2}, size_t{300}, good.size() / 4, good.size() / 2, good.size() - 40}) {
                std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(keep));
                ASSERT_TRUE(write_file(cut_path, cut));
                const PageResult r = decode_and_rescale(s, cut_path.c_str(), 200, 300);
                EXPECT_EQ(r.decoded, SCAN_STATUS_IO_ERROR) << keep;
                // The handle's earlier page is untouched.
                EXPECT_EQ(s.src_img.img_data, sentinel) << keep;
                EXPECT_EQ(s.dst_img.img_data, sentinel) << keep;
            }
        }
    EXPECT_EQ(decode_and_rescale(s, dir_.file("missing.jpg").c_str(), 200, 300).decoded,
              SCAN_STATUS_IO_ERROR);
    const std::vector<uint8_t> garbage(4000, 0x5A);
    ASSERT_TRUE(write_file(cut_path, garbage));
    EXPECT_EQ(decode_and_rescale(s, cut_path.c_str(), 200, 300).decoded, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(s.src_img.img_data, sentinel);

    // A page larger than the bed (at 10 dpi: 87 x 144 pixels with the
    // margin) is refused before anything runs.
    s.dev_params.xResolution = s.dev_params.yResolution = 10;
    ASSERT_TRUE(write_file(cut_path, good));
    EXPECT_EQ(decode_and_rescale(s, cut_path.c_str(), 200, 300).decoded, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(s.src_img.img_data, sentinel);

    // The next good page goes through, and replaces the earlier one.
    s.dev_params = {};
    const PageResult r = decode_and_rescale(s, cut_path.c_str(), 200, 300);
    EXPECT_EQ(r.decoded, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.rescaled, SANE_STATUS_GOOD);
    EXPECT_EQ(s.dst_img.img_width, 400u);
    EXPECT_EQ(s.dst_img.img_height, 533u);
    EXPECT_EQ(s.src_img.img_data, nullptr);
    release_page(&s);
}

}  // namespace
