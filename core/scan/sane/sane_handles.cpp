// The entry points that connect a frontend to a device: the device list, and
// opening and closing a handle. None of them talks to a device; the
// connection is made by sane_orvela_start.
#include <memory>
#include <vector>

#include "common/debugtool.h"
#include "core/scan/driver/orvela_devlist.h"
#include "core/scan/sane/handle_order.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_device_lookup.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"
#include "core/scan/sane/sane_handles.h"
#include "core/scan/sane/sane_options.h"

namespace {

// The descriptions handed out by the last device search that found devices:
// the entries and the null-terminated list of pointers to them that the
// frontend gets. The entries point into the driver layer's device array,
// which is pinned for as long as they live: a later search that finds
// nothing, or fails, leaves both as they are, so the frontend's list never
// points at freed memory; a search that hands out a new list releases them.
struct DeviceDescriptions {
    std::vector<SANE_Device> entries;
    std::vector<const SANE_Device*> list;
};

DeviceDescriptions devices;

// The descriptions of `count` records.
DeviceDescriptions describe(const ORVELA_Scanner* list, int count) {
    DeviceDescriptions fresh;
    fresh.entries.reserve(static_cast<size_t>(count));
    fresh.list.reserve(static_cast<size_t>(count) + 1);
    for (int i = 0; i < count; ++i) {
        DBG_INFO("[%d]productName:%s\n", i, list[i].deviceURI);
        fresh.entries.push_back(SANE_Device{list[i].deviceURI, list[i].brandName, list[i].modelName, "Scanner"});
    }
    for (const SANE_Device& entry : fresh.entries) fresh.list.push_back(&entry);
    fresh.list.push_back(nullptr);
    return fresh;
}

SANE_Status get_devices(const SANE_Device*** device_list) {
    DBG_INFO("Run into sane_get_devices\n");
    ORVELA_Scanner* list = nullptr;
    const int count = Drv_get_devices(&list);
    DBG_INFO("Found devices: %d\n", count);
    if (count <= 0 || list == nullptr) return SANE_STATUS_ACCESS_DENIED;

    // Out of memory here leaves the last list as it was (the boundary answers
    // SANE_STATUS_NO_MEM).
    devices = describe(list, count);
    devlist_pin(list);
    if (device_list != nullptr) *device_list = devices.list.data();
    DBG_INFO("Return after attach_devices, total=%d\n", count);
    return SANE_STATUS_GOOD;
}

SANE_Status open_handle(SANE_String_Const devicename, SANE_Handle* handle) {
    DBG_INFO("Run into sane_open, devicename:%s\n", devicename != nullptr ? devicename : "");
    if (handle == nullptr) return SANE_STATUS_INVAL;
    // An empty name does not stand for the first device. A name the last
    // search did not list (or a process that never searched) is looked for.
    const ORVELA_Scanner* record = find_device_for_open(devicename);
    if (record == nullptr) return SANE_STATUS_DEVICE_BUSY;

    auto s = std::make_unique<orvela_scanner_t>();  // every field zero
    s->device = *record;
    show_job_in_handle(s.get());
    DBG_INFO("init_options\n");
    if (init_options(s.get()) != SANE_STATUS_GOOD) {
        release_options(s.get());
        return SANE_STATUS_NO_MEM;
    }
    *handle = s.release();  // the frontend holds it until sane_orvela_close
    DBG_INFO("Exit sane_open\n");
    return SANE_STATUS_GOOD;
}

// Gives the handle back with its option strings and page buffers. A job that
// still holds the device (the frontend did not cancel) has its connection
// closed first, so that the scanner is not left locked for this host.
void close_handle(SANE_Handle handle) {
    DBG_INFO("Exit from sane_close\n");
    const std::unique_ptr<orvela_scanner_t> s(static_cast<orvela_scanner_t*>(handle));
    if (s == nullptr) return;
    s->job.close();
    release_options(s.get());
}

}  // namespace

void sane_devices_release() { devices = DeviceDescriptions{}; }

extern "C" {

SANE_Status sane_orvela_get_devices(const SANE_Device*** device_list, SANE_Bool /*local_only*/) {
    return sane_call("sane_orvela_get_devices", [&] { return get_devices(device_list); });
}

SANE_Status sane_orvela_open(SANE_String_Const devicename, SANE_Handle* handle) {
    return sane_call("sane_orvela_open", [&] { return open_handle(devicename, handle); });
}

void sane_orvela_close(SANE_Handle handle) {
    c_boundary::run("sane_orvela_close", [&] { close_handle(handle); });
}

}  // extern "C"
