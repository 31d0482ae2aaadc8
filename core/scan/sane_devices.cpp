// The entry points that connect a frontend to a device: the device list, and
// opening and closing a handle. None of them talks to a device; the
// connection is made by sane_orvela_start.
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/debugtool.h"
#include "core/scan/orvela_devlist.h"
#include "core/scan/sane_device_lookup.h"
#include "core/scan/sane_devices.h"
#include "core/scan/sane_entry_points.h"
#include "core/scan/sane_handle.h"

namespace {

// The list handed out by the last device search that found devices,
// null-terminated. Its entries point into the driver layer's device array,
// which is pinned for as long as they live: a later search that finds
// nothing, or fails, leaves both as they are, so the frontend's list never
// points at freed memory; a search that hands out a new list releases them.
const SANE_Device** devices = nullptr;

void release_entries(const SANE_Device** list) {
    if (list == nullptr) return;
    for (int i = 0; list[i] != nullptr; ++i) free(const_cast<SANE_Device*>(list[i]));
    free(list);
}

// The descriptions of `count` records, null-terminated; null when memory
// runs out (no half list is handed out).
const SANE_Device** describe(const ORVELA_Scanner* list, int count) {
    auto** fresh = static_cast<const SANE_Device**>(calloc(static_cast<size_t>(count) + 1, sizeof(SANE_Device*)));
    if (fresh == nullptr) return nullptr;
    for (int i = 0; i < count; ++i) {
        DBG_INFO("[%d]productName:%s\n", i, list[i].deviceURI);
        auto* entry = static_cast<SANE_Device*>(calloc(1, sizeof(SANE_Device)));
        if (entry == nullptr) {
            release_entries(fresh);
            return nullptr;
        }
        entry->name = list[i].deviceURI;
        entry->vendor = list[i].brandName;
        entry->model = list[i].modelName;
        entry->type = "Scanner";
        fresh[i] = entry;
    }
    return fresh;
}

}  // namespace

void sane_devices_release() {
    release_entries(devices);
    devices = nullptr;
}

extern "C" {

SANE_Status sane_orvela_get_devices(const SANE_Device*** device_list, SANE_Bool /*local_only*/) {
    DBG_INFO("Run into sane_get_devices\n");
    ORVELA_Scanner* list = nullptr;
    const int count = Drv_get_devices(&list);
    DBG_INFO("Found devices: %d\n", count);
    if (count <= 0 || list == nullptr) return SANE_STATUS_ACCESS_DENIED;

    const SANE_Device** fresh = describe(list, count);
    if (fresh == nullptr) return SANE_STATUS_NO_MEM;
    release_entries(devices);
    devices = fresh;
    devlist_pin(list);
    if (device_list != nullptr) *device_list = devices;
    DBG_INFO("Return after attach_devices, total=%d\n", count);
    return SANE_STATUS_GOOD;
}

SANE_Status sane_orvela_open(SANE_String_Const devicename, SANE_Handle* handle) {
    DBG_INFO("Run into sane_open, devicename:%s\n", devicename != nullptr ? devicename : "");
    if (handle == nullptr) return SANE_STATUS_INVAL;
    // An empty name does not stand for the first device. A name the last
    // search did not list (or a process that never searched) is looked for.
    const ORVELA_Scanner* record = find_device_for_open(devicename);
    if (record == nullptr) return SANE_STATUS_DEVICE_BUSY;

    auto* s = new (std::nothrow) orvela_scanner_t{};
    if (s == nullptr) return SANE_STATUS_NO_MEM;
    s->device = *record;
    s->page_read_lines = 0;
    s->job_completed = false;
    s->pageCount = 0;
    s->src_img.img_data = nullptr;
    s->dst_img.img_data = nullptr;
    s->job_canceled = false;
    s->hasXYPositionFromApp = false;
    DBG_INFO("init_options\n");
    if (init_options(s) != SANE_STATUS_GOOD) {
        release_options(s);
        delete s;
        return SANE_STATUS_NO_MEM;
    }
    *handle = s;
    DBG_INFO("Exit sane_open\n");
    return SANE_STATUS_GOOD;
}

// Gives the handle back with its option strings and page buffers. A job that
// still holds the device (the frontend did not cancel) has its connection
// closed first, so that the scanner is not left locked for this host.
void sane_orvela_close(SANE_Handle handle) {
    DBG_INFO("Exit from sane_close\n");
    auto* s = static_cast<orvela_scanner_t*>(handle);
    if (s == nullptr) return;
    job_section_claim(s);
    if (s->device_held) {
        cancel_flag_store(s, true);
        s->job_completed = false;
        cancel_job_work(s);
    }
    release_page_buffers(s);
    release_options(s);
    delete s;
}

}  // extern "C"
