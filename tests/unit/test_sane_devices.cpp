// Opening and closing handles by device name (the device list is filled
// directly here: a real search would broadcast, so no name used here may
// lead to a network search or probe), and the device list across searches,
// which run in a private network namespace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/orvela_config.h"
#include "core/scan/orvela_devlist.h"
#include "core/scan/sane_globals.h"
#include "core/scan/sane_handle.h"
#include "core/scan/sane_name_lists.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_agent.h"

extern "C" {
SANE_Status sane_orvela_get_devices(const SANE_Device***, SANE_Bool);
void sane_orvela_exit(void);
SANE_Status sane_orvela_open(SANE_String_Const, SANE_Handle*);
void sane_orvela_close(SANE_Handle);
const SANE_Option_Descriptor* sane_orvela_get_option_descriptor(SANE_Handle, SANE_Int);
}

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

// A repeat search that finds nothing (the device went away) returns
// ACCESS_DENIED and leaves the frontend's list of the search before, and the
// records its entries point into, as they were; the current list is empty.
TEST(DeviceList, EmptyRepeatSearchKeepsTheFrontendsList) {
    const int rc = in_private_network([] {
        FastClock clock(20);
        build_name_lists();
        orvela_config::Settings settings;
        settings.usb_search = false;
        settings.discovery_broadcast = false;
        settings.socket_addresses = {"127.0.0.1"};
        orvela_config::set_current(settings);
        const SANE_Device** first = nullptr;
        {
            LoopbackAgent agent({device_answer(DeviceAnswer{})});
            if (!agent.bound()) return 1;
            if (sane_orvela_get_devices(&first, SANE_FALSE) != SANE_STATUS_GOOD) return 2;
        }
        if (first == nullptr || first[0] == nullptr || first[1] != nullptr) return 3;
        const SANE_Device** again = first;
        if (sane_orvela_get_devices(&again, SANE_FALSE) != SANE_STATUS_ACCESS_DENIED || again != first) return 4;
        if (strcmp(first[0]->name, "socket://127.0.0.1") != 0 || strcmp(first[0]->model, "OR-M1020") != 0) return 5;
        if (scannerList_all_count != 0 || getScannerFromName("socket://127.0.0.1") != nullptr) return 6;
        SANE_Handle h = nullptr;
        if (sane_orvela_open(first[0]->name, &h) != SANE_STATUS_DEVICE_BUSY) return 7;  // asked again: gone
        sane_orvela_exit();
        return 0;
    });
    if (rc == -1) GTEST_SKIP() << "needs a private network namespace (root)";
    EXPECT_EQ(rc, 0);
}

}  // namespace
