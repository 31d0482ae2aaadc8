// Frame parameters and frame delivery from memory: line content, fill
// pattern, row doubling, small frontend buffers, end of page, and cancel
// (including a cancel that arrives while the job's section is held).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/scan/sane/handle_order.h"
#include "tests/support/test_handle.h"

namespace {

class Frame : public ::testing::Test {
protected:
    // Gives the handle a ready page of w x height pixels whose byte i of row
    // y is (y * 7 + i) & 0xFF, as start leaves it for the current options.
    static void give_page(TestHandle& h, uint32_t w, uint32_t height, uint32_t channels) {
        const size_t n = size_t{w} * height * channels;
        auto* data = static_cast<unsigned char*>(malloc(n));
        for (uint32_t y = 0; y < height; ++y)
            for (size_t i = 0; i < size_t{w} * channels; ++i)
                data[y * size_t{w} * channels + i] = static_cast<unsigned char>((y * 7 + i) & 0xFF);
        h->job.serve_decoded_page({data, w, height, channels}, page_order(h.get()));
    }
    void give_page(uint32_t w, uint32_t height, uint32_t channels) { give_page(h, w, height, channels); }
    std::vector<uint8_t> read_page(SANE_Int max_length, SANE_Status* last = nullptr) {
        const FrameRead frame = h.read_frame(max_length);
        if (last != nullptr) *last = frame.end;
        return frame.bytes;
    }

    TestHandle h;
};

TEST_F(Frame, ParametersFromTheOptions) {
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 200);
    SANE_Parameters p = h.parameters();
    EXPECT_EQ(p.format, SANE_FRAME_RGB);
    EXPECT_EQ(p.depth, 8);
    EXPECT_EQ(p.pixels_per_line, 1653);
    EXPECT_EQ(p.lines, 2338);
    EXPECT_EQ(p.bytes_per_line, 4959);
    EXPECT_EQ(p.last_frame, SANE_TRUE);

    h.set_string(OPT_MODE, "Gray");
    p = h.parameters();
    EXPECT_EQ(p.format, SANE_FRAME_GRAY);
    EXPECT_EQ(p.bytes_per_line, 1653);

    // 216 mm at 300 dpi: 2551 pixels announce (2551 + 5) / 8 = 319 bytes.
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(216));
    h.set_word(OPT_RESOLUTION, 300);
    h.set_string(OPT_MODE, "Black & White");
    p = h.parameters();
    EXPECT_EQ(p.depth, 1);
    EXPECT_EQ(p.format, SANE_FRAME_GRAY);
    EXPECT_EQ(p.bytes_per_line, 319);
    EXPECT_EQ(p.pixels_per_line, 2552);
    // The same answer again (it is computed from the options alone).
    EXPECT_EQ(h.parameters().pixels_per_line, 2552);
}

TEST_F(Frame, LinesWithImageAndFillPattern) {
    h.set_string(OPT_MODE, "Gray");
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(25.41));
    h.set_word(OPT_HEIGHT, mm(25.41));
    h.set_word(OPT_RESOLUTION, 20);  // 20 x 20 pixels
    const SANE_Parameters p = h.parameters();
    ASSERT_EQ(p.bytes_per_line, 20);
    ASSERT_EQ(p.lines, 20);
    // The page holds 12 rows of 15 pixels: the rest is fill pattern.
    give_page(15, 12, 1);
    SANE_Status last = SANE_STATUS_GOOD;
    const std::vector<uint8_t> page = read_page(64, &last);
    EXPECT_EQ(last, SANE_STATUS_EOF);
    ASSERT_EQ(page.size(), 400u);
    for (unsigned y = 0; y < 20; ++y)
        for (unsigned x = 0; x < 20; ++x) {
            const uint8_t fill = (y % 8) < 4 ? 0x00 : 0xFF;
            const uint8_t want = (y < 12 && x < 15) ? static_cast<uint8_t>((y * 7 + x) & 0xFF) : fill;
            ASSERT_EQ(page[y * 20 + x], want) << "line " << y << " byte " << x;
        }
    // The page buffer was released at the page end; EOF repeats.
    EXPECT_EQ(h->dst_img.img_data, nullptr);
    EXPECT_EQ(h->src_img.img_data, nullptr);
    SANE_Byte b[32];
    SANE_Int len = 7;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_EOF);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_EOF);
}

TEST_F(Frame, SameBytesWhateverTheBufferSize) {
    h.set_word(OPT_RESOLUTION, 50);  // colour, 216 x 297 mm: 425 x 584, 1275 bytes a line
    const SANE_Parameters p = h.parameters();
    ASSERT_EQ(p.bytes_per_line, 1275);
    std::vector<uint8_t> reference;
    for (SANE_Int max_length : {1275, 32768, 1, 3, 1000, 1024, 8188, 1274, 1276, 3 * 1275 - 7}) {
        give_page(425, 580, 3);
        const FrameRead frame = h.read_frame(max_length);
        ASSERT_EQ(frame.bytes.size(), size_t{1275} * 584) << max_length;
        if (reference.empty()) reference = frame.bytes;
        EXPECT_TRUE(frame.bytes == reference) << max_length;
        // One line a read, or the part of it that fits.
        size_t offset = 0;
        for (const SANE_Int len : frame.lengths) {
            ASSERT_EQ(len, std::min<SANE_Int>(max_length, SANE_Int(1275 - offset))) << max_length;
            offset = (offset + size_t(len)) % 1275;
        }
    }
    // Row 3 starts with the image's row 3.
    EXPECT_EQ(reference[3 * 1275], (3 * 7) & 0xFF);
    EXPECT_EQ(reference[3 * 1275 + 1274], (3 * 7 + 1274) & 0xFF);
}

TEST_F(Frame, BlackAndWhiteLineOneByteLongerThanThePackedRow) {
    h.set_string(OPT_MODE, "Black & White");
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(216));
    h.set_word(OPT_HEIGHT, mm(11));
    h.set_word(OPT_RESOLUTION, 300);
    const SANE_Parameters p = h.parameters();
    ASSERT_EQ(p.bytes_per_line, 319);
    // 2551 device pixels pack into 318 bytes a row.
    give_page(318, static_cast<uint32_t>(p.lines), 1);
    const std::vector<uint8_t> page = read_page(32768);
    ASSERT_EQ(page.size(), size_t{319} * static_cast<size_t>(p.lines));
    EXPECT_EQ(page[318], 0x00);              // line 0: fill 0x00
    EXPECT_EQ(page[5 * 319 + 318], 0xFF);    // line 5: fill 0xFF
    EXPECT_EQ(page[5 * 319 + 317], (5 * 7 + 317) & 0xFF);
}

TEST_F(Frame, RowsServedTwiceAt1200Dpi) {
    h.set_string(OPT_MODE, "Gray");
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(2.541));
    h.set_word(OPT_HEIGHT, mm(2.541));
    h.set_word(OPT_RESOLUTION, 1200);  // 120 x 120 announced, scanned at 1200 x 600 dpi
    const SANE_Parameters p = h.parameters();
    ASSERT_EQ(p.lines, 120);
    give_page(120, 60, 1);  // 600 dpi rows
    const std::vector<uint8_t> page = read_page(32768);
    ASSERT_EQ(page.size(), 120u * 120u);
    for (unsigned line = 0; line < 120; ++line)
        ASSERT_EQ(page[line * 120 + 5], ((line / 2) * 7 + 5) & 0xFF) << line;
}

TEST_F(Frame, DeviceWithoutKnownSchemeServesPatternOnly) {
    snprintf(h->device.deviceURI, sizeof h->device.deviceURI, "%s", "net:127.0.0.1");
    h.set_string(OPT_MODE, "Gray");
    h.set_word(OPT_RESOLUTION, 10);
    const SANE_Parameters p = h.parameters();
    give_page(static_cast<uint32_t>(p.pixels_per_line), static_cast<uint32_t>(p.lines), 1);
    const std::vector<uint8_t> page = read_page(4096);
    ASSERT_EQ(page.size(), size_t(p.bytes_per_line) * size_t(p.lines));
    for (size_t i = 0; i < page.size(); ++i)
        ASSERT_EQ(page[i], ((i / p.bytes_per_line) % 8) < 4 ? 0x00 : 0xFF) << i;
}

TEST_F(Frame, ReadsWithoutPageOrBadArguments) {
    // Nothing started and no parameters asked: the end, not an endless
    // series of empty reads.
    SANE_Byte b[16];
    SANE_Int len = 5;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_EOF);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(sane_orvela_read(h.get(), b, 0, &len), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_orvela_read(h.get(), nullptr, 16, &len), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_orvela_read(h.get(), b, 16, nullptr), SANE_STATUS_INVAL);
    EXPECT_EQ(sane_orvela_read(nullptr, b, 16, &len), SANE_STATUS_INVAL);

    // A stored row shorter than the line is not read past; the frame is the
    // one of the start, whatever the options say later.
    h.set_string(OPT_MODE, "Gray");
    h.set_word(OPT_RESOLUTION, 10);
    const SANE_Parameters p = h.parameters();
    give_page(5, 3, 1);
    h.set_string(OPT_MODE, "Color");
    const std::vector<uint8_t> page = read_page(100000);
    EXPECT_EQ(page.size(), size_t(p.bytes_per_line) * size_t(p.lines));
    EXPECT_EQ(page[4], (4) & 0xFF);
    EXPECT_EQ(page[5], 0x00);
}

TEST_F(Frame, CancelAndDeferredCancel) {
    h.set_word(OPT_RESOLUTION, 10);
    h.parameters();
    give_page(85, 116, 3);
    SANE_Byte b[512];
    SANE_Int len = 0;
    ASSERT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_GOOD);
    sane_orvela_cancel(h.get());
    EXPECT_TRUE(h->job_canceled);
    EXPECT_EQ(h->pageCount, 0u);
    EXPECT_FALSE(h->job_completed);
    EXPECT_EQ(h->page_read_lines, 0u);
    EXPECT_EQ(h->dst_img.img_data, nullptr);
    len = 9;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_CANCELLED);
    EXPECT_EQ(len, 0);
    // A second cancel changes nothing: no work, the page given since stays.
    give_page(85, 116, 3);
    sane_orvela_cancel(h.get());
    EXPECT_EQ(h->job.page_state(), PageState::Ready);

    // A cancel that finds the section held (a start on another thread, or a
    // signal handler interrupting the scanning thread) only sets the flag and
    // leaves its work to the holder; also while the flag is still set from
    // the previous job's cancel (a new start has not cleared it yet).
    TestHandle fresh;
    fresh.set_word(OPT_RESOLUTION, 10);
    fresh.parameters();
    for (TestHandle* t : {&fresh, &h}) {
        give_page(*t, 85, 116, 3);
        JobSection held((*t)->job, JobSection::kTryOnly);
        ASSERT_TRUE(held);
        sane_orvela_cancel(t->get());
        EXPECT_TRUE((*t)->job.cancelled());
        EXPECT_EQ((*t)->job.page_state(), PageState::Ready);
        EXPECT_TRUE(held.release());
        EXPECT_EQ((*t)->job.page_state(), PageState::Cancelled);
        EXPECT_TRUE((*t)->job_canceled);
        EXPECT_EQ((*t)->dst_img.img_data, nullptr);
    }
}

}  // namespace
