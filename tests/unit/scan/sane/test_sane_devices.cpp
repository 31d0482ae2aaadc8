// Opening and closing handles by device name (the device list is filled
// directly here: a real search would broadcast, so no name used here may
// lead to a network search or probe).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/scan/driver/orvela_devlist.h"
#include "core/scan/sane/sane_device_lookup.h"
#include "core/scan/sane/exported_extras.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "core/scan/sane/sane_handle.h"
#include "core/scan/sane/sane_name_lists.h"

namespace {

TEST(OpenClose, ByDeviceName) {
    build_name_lists();
    const std::string long_uri = "usb://5E5A:1006:" + std::string(60, 'S');  // 76 characters
    ORVELA_Scanner usb{};
    snprintf(usb.deviceURI, sizeof usb.deviceURI, "%s", long_uri.c_str());
    usb.type_io = IOTYPE_USB;
    usb.isSupportADF = true;
    usb.isRightRearBP = true;
    ASSERT_NE(devlist_add(usb), nullptr);

    SANE_Handle h = nullptr;
    EXPECT_EQ(sane_orvela_open("", &h), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(sane_orvela_open(nullptr, &h), SANE_STATUS_DEVICE_BUSY);
    // A name no search lists (a USB name: looking for it walks the bus only,
    // nothing goes out on a network).
    EXPECT_EQ(sane_orvela_open("usb://5E5A:1006:NO-SUCH-SERIAL", &h), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(sane_orvela_open(long_uri.c_str(), nullptr), SANE_STATUS_INVAL);

    // Only the first 64 characters count.
    const std::string other_tail = long_uri.substr(0, 64) + "different";
    ASSERT_EQ(sane_orvela_open(other_tail.c_str(), &h), SANE_STATUS_GOOD);
    ASSERT_NE(h, nullptr);
    auto* s = static_cast<orvela_scanner_t*>(h);
    EXPECT_STREQ(s->device.deviceURI, long_uri.c_str());
    EXPECT_TRUE(s->device.isRightRearBP);
    EXPECT_EQ(s->pageCount, 0u);
    EXPECT_FALSE(s->job_canceled);
    EXPECT_FALSE(s->hasXYPositionFromApp);
    // Options are ready: the feeder's source entry is there.
    const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(h, OPT_SOURCE);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->cap, SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT);
    EXPECT_STREQ(s->val[OPT_MODE].s, mode_list[0]);

    // Two handles on one device are independent records.
    SANE_Handle h2 = nullptr;
    ASSERT_EQ(sane_orvela_open(long_uri.c_str(), &h2), SANE_STATUS_GOOD);
    EXPECT_NE(h2, h);
    sane_orvela_close(h2);
    sane_orvela_close(h);
    sane_orvela_close(nullptr);
}

TEST(PaserFromURI, FixedRecord) {
    const ORVELA_Scanner a = PaserFromURI("usb://anything");
    const ORVELA_Scanner b = PaserFromURI(nullptr);
    EXPECT_EQ(a.vendor_id, 0x5E5A);
    EXPECT_EQ(a.product_id, b.product_id);
    EXPECT_EQ(a.interface, 0);
    EXPECT_STREQ(a.serial, b.serial);
    EXPECT_STRNE(a.serial, "");
    EXPECT_EQ(a.deviceURI[0], '\0');
}

}  // namespace
