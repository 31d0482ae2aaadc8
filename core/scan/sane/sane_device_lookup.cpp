#include "core/scan/sane/sane_device_lookup.h"

#include <arpa/inet.h>

#include <cstring>

#include "backend/net_discovery.h"
#include "backend/net_search.h"
#include "backend/usb_discovery.h"
#include "common/debugtool.h"
#include "common/malloc_ptr.h"
#include "core/scan/driver/orvela_devlist.h"

namespace {

constexpr char kUsbScheme[] = "usb://";
constexpr char kSocketScheme[] = "socket://";
constexpr int kDirectProbeSeconds = net_discovery::kListedQuerySeconds;

bool has_scheme(const char* name, const char* scheme) { return strncmp(name, scheme, strlen(scheme)) == 0; }

// Adds the first record of `found` whose name matches to the device list; the
// search's own array is released.
const ORVELA_Scanner* adopt_match(ORVELA_Scanner* found_array, int count, const char* devicename) {
    const MallocPtr<ORVELA_Scanner[]> found(found_array);
    const ORVELA_Scanner* listed = nullptr;
    for (int i = 0; found != nullptr && i < count && listed == nullptr; ++i) {
        if (strncmp(found[i].deviceURI, devicename, 64) == 0) listed = devlist_add(found[i]);
    }
    return listed;
}

}  // namespace

const ORVELA_Scanner* find_device_for_open(const char* devicename) {
    if (devicename == nullptr || devicename[0] == '\0') return nullptr;
    if (const ORVELA_Scanner* listed = getScannerFromName(devicename)) return listed;
    DBG_INFO("Device %s not in the last search, looking for it\n", devicename);

    // The searches below add the one record to the list instead of replacing
    // the list: a frontend may still hold descriptions of the last search.
    const bool usb = has_scheme(devicename, kUsbScheme);
    const bool net = has_scheme(devicename, kSocketScheme);
    if (usb || !net) {
        ORVELA_Scanner* found = nullptr;
        const int count = USB_FindScanner(&found);
        if (const ORVELA_Scanner* listed = adopt_match(found, count, devicename)) return listed;
    }
    if (net) {
        const char* host = devicename + strlen(kSocketScheme);
        ORVELA_Scanner record;
        if (net_discovery::listed_with_model(host, &record)) {
            DBG_INFO("%s is listed in orvela.conf as %s: opened without asking SNMP\n", devicename, record.modelName);
            return devlist_add(record);
        }
        if (!net_discovery::probe_address(host, &record, kDirectProbeSeconds)) return nullptr;
        // The device names itself by its address, so a dotted address must be
        // the whole of the name (one with more after it is not that device);
        // a host name, as orvela.conf may give it, stands for the address it
        // resolved to, and the device is listed under that address.
        in_addr address;
        if (inet_pton(AF_INET, host, &address) == 1 && strncmp(record.deviceURI, devicename, 64) != 0) return nullptr;
        return devlist_add(record);
    }
    if (!usb) {
        ORVELA_Scanner* found = nullptr;
        const int count = Net_FindScanner(&found);
        return adopt_match(found, count, devicename);
    }
    return nullptr;
}
