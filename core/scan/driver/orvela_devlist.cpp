#include "core/scan/driver/orvela_devlist.h"

#include <cstdlib>
#include <cstring>

#include "backend/net_discovery.h"
#include "backend/usb_discovery.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/malloc_ptr.h"
#include "common/orvela_config.h"

extern "C" {
ORVELA_Scanner* scannerList_all = nullptr;
int scannerList_all_count = 0;
}

namespace {

// The array that the front end's device descriptions point into. It outlives
// the searches after it until the front end hands out descriptions of a newer
// array (a search that finds nothing, or fails, hands out none), or exit.
ORVELA_Scanner* g_pinned = nullptr;

// Makes `list` the current list. The array it replaces goes unless the front
// end's descriptions point into it; open handles hold copies of their records.
void replace_list(ORVELA_Scanner* list, int count) {
    if (scannerList_all != g_pinned) free(scannerList_all);
    scannerList_all = list;
    scannerList_all_count = count;
}

}  // namespace

extern "C" {

SANE_Status attach(const char* devname) {
    DBG_INFO("attach USB device devname=%s\n", devname ? devname : "");
    return SANE_STATUS_GOOD;
}

static int Drv_get_devices_body(ORVELA_Scanner** device_list) {
    DBG_INFO("Run into Scanner_get_devices\n");
    ORVELA_Scanner* usb_array = nullptr;
    int usb_count = 0;
    if (orvela_config::current().usb_search) {
        usb_count = USB_FindScanner(&usb_array);
    } else {
        DBG_INFO("USB search switched off\n");
    }
    const MallocPtr<ORVELA_Scanner[]> usb(usb_array);
    DBG_INFO("Found USB scanner %d\n", usb_count);
    ORVELA_Scanner* net_array = nullptr;
    const int net_count = Net_FindScanner(&net_array);
    const MallocPtr<ORVELA_Scanner[]> net(net_array);
    DBG_INFO("Found Net scanner %d\n", net_count);

    const int usb_n = usb != nullptr && usb_count > 0 ? usb_count : 0;
    const int net_n = net != nullptr && net_count > 0 ? net_count : 0;
    auto* all = static_cast<ORVELA_Scanner*>(calloc(static_cast<size_t>(usb_n + net_n + 1), sizeof(ORVELA_Scanner)));
    int count = 0;
    if (all != nullptr) {
        for (int i = 0; i < usb_n; ++i, ++count) {
            all[count] = usb[i];
            all[count].next = nullptr;
            DBG_INFO("[%d]USB productName:%s\n", count, all[count].deviceURI);
        }
        for (int i = 0; i < net_n; ++i, ++count) {
            all[count] = net[i];
            all[count].next = nullptr;
            DBG_INFO("[%d]Net productName:%s\n", count, all[count].deviceURI);
        }
    }
    replace_list(all, count);
    if (device_list != nullptr) *device_list = scannerList_all;
    return count;
}

ORVELA_Scanner* getScannerFromName(const char* devicename) {
    if (devicename == nullptr || scannerList_all == nullptr) return nullptr;
    for (int i = 0; i < scannerList_all_count; ++i) {
        if (strncmp(scannerList_all[i].deviceURI, devicename, 64) == 0) return &scannerList_all[i];
    }
    return nullptr;
}

int Drv_get_devices(ORVELA_Scanner** device_list) {
    return c_boundary::call("Drv_get_devices", 0, [&] { return Drv_get_devices_body(device_list); });
}

}  // extern "C"

ORVELA_Scanner* devlist_add(const ORVELA_Scanner& record) {
    if (ORVELA_Scanner* listed = getScannerFromName(record.deviceURI)) return listed;
    const size_t count = static_cast<size_t>(scannerList_all_count);
    auto* grown = static_cast<ORVELA_Scanner*>(calloc(count + 2, sizeof(ORVELA_Scanner)));
    if (grown == nullptr) return nullptr;
    if (scannerList_all != nullptr) memcpy(grown, scannerList_all, count * sizeof(ORVELA_Scanner));
    grown[count] = record;
    grown[count].next = nullptr;
    replace_list(grown, static_cast<int>(count) + 1);
    return &scannerList_all[count];
}

void devlist_pin(const ORVELA_Scanner* list) {
    if (list == g_pinned) return;
    if (g_pinned != scannerList_all) free(g_pinned);
    g_pinned = const_cast<ORVELA_Scanner*>(list);
}

void devlist_release() {
    replace_list(nullptr, 0);
    free(g_pinned);
    g_pinned = nullptr;
}
