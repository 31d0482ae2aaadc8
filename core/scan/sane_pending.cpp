// Entry points whose device-facing behaviour arrives with the option set, the
// scan job and the device list. Until then they answer as a backend that
// finds no device: nothing to list, nothing to open.
#include <sane/sane.h>

#include "common/debugtool.h"

extern "C" {

SANE_Status sane_orvela_get_devices(const SANE_Device*** /*device_list*/, SANE_Bool /*local_only*/) {
    DBG_INFO("Run into sane_get_devices\n");
    return SANE_STATUS_ACCESS_DENIED;
}

SANE_Status sane_orvela_open(SANE_String_Const devicename, SANE_Handle* /*handle*/) {
    DBG_INFO("Run into sane_open, devicename:%s\n", devicename ? devicename : "");
    return SANE_STATUS_DEVICE_BUSY;
}

void sane_orvela_close(SANE_Handle /*handle*/) {}

}  // extern "C"
