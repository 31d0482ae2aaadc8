// The parts of scan start that need no device: the area check, the device
// request (tiers, feeder centring, mirroring), and the resource checks.
#include <gtest/gtest.h>

#include <climits>

#include "tests/support/test_handle.h"
#include "core/scan/job/page_request.h"
#include "core/scan/sane/exported_extras.h"
#include "core/scan/sane/handle_order.h"

namespace {

class StartChecks : public ::testing::Test {
protected:
    TestHandle h;
};

TEST_F(StartChecks, AreaLimits) {
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(10.9));
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_WIDTH, mm(11));
    h.set_word(OPT_HEIGHT, mm(11));
    EXPECT_FALSE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_HEIGHT, mm(10.99));
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_HEIGHT, mm(297));
    h.set_word(OPT_TL_X, mm(10));
    h.set_word(OPT_WIDTH, mm(206));
    EXPECT_FALSE(IsOutOfScanRange(h.get()));  // exactly 216 mm
    h.set_word(OPT_WIDTH, SANE_FIX(206.1));
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_WIDTH, mm(100));
    h.set_word(OPT_TL_Y, mm(1));
    EXPECT_TRUE(IsOutOfScanRange(h.get()));  // 1 + 297 mm
    h.set_word(OPT_TL_Y, 0);
    // Sums cannot wrap into range.
    h.set_word(OPT_TL_X, 0x7FFFFFFF);
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_TL_X, 0);

    // The feeder needs at least 127 mm a side and at most 600 dpi.
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_string(OPT_PAPERSIZE, "A5 (148 x 210 mm)");
    EXPECT_FALSE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_WIDTH, mm(127));
    h.set_word(OPT_HEIGHT, mm(127));
    EXPECT_FALSE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_WIDTH, mm(126.9));
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_WIDTH, mm(148));
    h.set_word(OPT_RESOLUTION, 1200);
    EXPECT_TRUE(IsOutOfScanRange(h.get()));
    h.set_word(OPT_RESOLUTION, 600);
    EXPECT_FALSE(IsOutOfScanRange(h.get()));
}

TEST_F(StartChecks, DeviceRequest) {
    // Flatbed A4 at 200 dpi, colour.
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 200);
    h->dev_params = device_request(page_order(h.get()));
    const ORVELA_ScanParam& d = h->dev_params;
    EXPECT_EQ(d.xResolution, 300u);
    EXPECT_EQ(d.yResolution, 300u);
    EXPECT_EQ(d.Left, 0u);
    EXPECT_EQ(d.Top, 0u);
    EXPECT_EQ(d.widthPixel, 2480u);
    EXPECT_EQ(d.heightPixel, 3507u);
    EXPECT_EQ(d.ScanColor, Color);
    EXPECT_EQ(d.ScanSource, ScanSource_Flatbed);
    EXPECT_EQ((d.widthPixel * d.heightPixel * 3) >> 20, 24u);

    // The same page from the feeder at 300 dpi is centred: 2.95 mm.
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_word(OPT_RESOLUTION, 300);
    h->dev_params = device_request(page_order(h.get()));
    EXPECT_EQ(d.Left, 34u);
    EXPECT_EQ(d.ScanSource, ScanSource_ADF);

    // Tiers; black and white is scanned as grey.
    h.set_string(OPT_SOURCE, "Flatbed");
    h.set_string(OPT_MODE, "Black & White");
    const struct {
        SANE_Word r;
        unsigned x, y;
    } tiers[] = {{75, 300, 300}, {250, 300, 300}, {300, 300, 300}, {301, 600, 600},
                 {400, 600, 600}, {600, 600, 600}, {601, 1200, 600}, {1200, 1200, 600}};
    for (const auto& t : tiers) {
        h.set_word(OPT_RESOLUTION, t.r);
        h->dev_params = device_request(page_order(h.get()));
        EXPECT_EQ(d.xResolution, t.x) << t.r;
        EXPECT_EQ(d.yResolution, t.y) << t.r;
        EXPECT_EQ(d.ScanColor, Grayscale) << t.r;
    }
    h.set_word(OPT_RESOLUTION, 1200);
    h->dev_params = device_request(page_order(h.get()));
    EXPECT_EQ(d.widthPixel, 9921u);   // 210 mm at 1200 dpi
    EXPECT_EQ(d.heightPixel, 7015u);  // 297 mm at 600 dpi

    // tl-x counts only once the frontend has placed the area.
    h.set_word(OPT_RESOLUTION, 300);
    h->hasXYPositionFromApp = false;
    h->val[OPT_TL_X].w = mm(20);
    h->val[OPT_TL_Y].w = mm(10);
    h->dev_params = device_request(page_order(h.get()));
    EXPECT_EQ(d.Left, 0u);
    EXPECT_EQ(d.Top, 118u);
    h.set_word(OPT_TL_X, mm(20));
    h->dev_params = device_request(page_order(h.get()));
    EXPECT_EQ(d.Left, 236u);
}

TEST_F(StartChecks, RightRearDeviceMirrorsTheArea) {
    h->device.isRightRearBP = true;
    h.set_string(OPT_PAPERSIZE, "A5 (148 x 210 mm)");  // tl-x 67.9 mm
    h->dev_params = device_request(page_order(h.get()));
    // Mirrored back: 215.9 - 67.9 - 148 = 0 mm from the right edge.
    EXPECT_EQ(h->dev_params.Left, 0u);
    h.set_word(OPT_TL_X, mm(20));
    h->dev_params = device_request(page_order(h.get()));
    // 215.9 - 20 - 148 = 47.9 mm at 300 dpi.
    EXPECT_EQ(h->dev_params.Left, 565u);
}

TEST(ResourceChecks, MemoryAndDisk) {
    EXPECT_FALSE(IsLowofSystemMemory(0));
    // A mebibyte count far beyond any machine, in a 32-bit unsigned long too.
    EXPECT_TRUE(IsLowofSystemMemory(ULONG_MAX));
    EXPECT_FALSE(IsNoEnoughSpace("/tmp", 0));
    EXPECT_TRUE(IsNoEnoughSpace("/tmp", 0xFFFFFFFFu / 2));
    // Without statfs the need itself is taken as the space: any real need fails.
    EXPECT_TRUE(IsNoEnoughSpace("/no/such/dir", 1));
    EXPECT_FALSE(IsNoEnoughSpace("/no/such/dir", 0));
}

}  // namespace
