#include "core/scan/orvela_devlist.h"

#include <cstdlib>
#include <cstring>

#include "backend/net_discovery.h"
#include "backend/usb_discovery.h"
#include "common/debugtool.h"

extern "C" {
ORVELA_Scanner* scannerList_all = nullptr;
int scannerList_all_count = 0;
}

namespace {

// An array that a direct find replaced: the frontend may still hold device
// descriptions pointing into it, so it lives until the next full search.
ORVELA_Scanner* g_retired = nullptr;

// Replaces the list. The superseded arrays are released here: a new search
// invalidates the frontend's previous device list (the front end rebuilds its
// descriptions from the new array at once), and open handles hold copies of
// their records.
void replace_list(ORVELA_Scanner* list, int count) {
    free(scannerList_all);
    free(g_retired);
    g_retired = nullptr;
    scannerList_all = list;
    scannerList_all_count = count;
}

}  // namespace

extern "C" {

SANE_Status attach(const char* devname) {
    DBG_INFO("attach USB device devname=%s\n", devname ? devname : "");
    return SANE_STATUS_GOOD;
}

int Drv_get_devices(ORVELA_Scanner** device_list) {
    DBG_INFO("Run into Scanner_get_devices\n");
    ORVELA_Scanner* usb = nullptr;
    const int usb_count = USB_FindScanner(&usb);
    DBG_INFO("Found USB scanner %d\n", usb_count);
    ORVELA_Scanner* net = nullptr;
    const int net_count = Net_FindScanner(&net);
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
    free(usb);
    free(net);
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

}  // extern "C"

ORVELA_Scanner* devlist_add(const ORVELA_Scanner& record) {
    if (ORVELA_Scanner* listed = getScannerFromName(record.deviceURI)) return listed;
    const size_t count = static_cast<size_t>(scannerList_all_count);
    auto* grown = static_cast<ORVELA_Scanner*>(calloc(count + 2, sizeof(ORVELA_Scanner)));
    if (grown == nullptr) return nullptr;
    if (scannerList_all != nullptr) memcpy(grown, scannerList_all, count * sizeof(ORVELA_Scanner));
    grown[count] = record;
    grown[count].next = nullptr;
    // The array of the last full search is the one the frontend's device list
    // points into: keep it; arrays made by earlier direct finds were never
    // handed out and can go.
    if (g_retired == nullptr) {
        g_retired = scannerList_all;
    } else {
        free(scannerList_all);
    }
    scannerList_all = grown;
    return &scannerList_all[scannerList_all_count++];
}

void devlist_release() { replace_list(nullptr, 0); }
