#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "core/scan/driver/orvela_devlist.h"
#include "core/scan/driver/orvela_drv.h"

extern "C" {

SCAN_Status Drv_init(void* /*callback*/) {
    DBG_INFO("Run into Scanner_init\n");
    return SCAN_STATUS_GOOD;
}

// Releases the device list of the last search.
void Drv_exit(void) { c_boundary::run("Drv_exit", devlist_release); }

}  // extern "C"
