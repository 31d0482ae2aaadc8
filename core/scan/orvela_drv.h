// The driver layer: device-independent scanner operations behind the SANE
// front end, each returning a SCAN_Status (numbered like SANE_Status).
#pragma once

#include <cstddef>

#include "core/scan/orvela_types.h"

extern "C" {

SCAN_Status Drv_init(void* callback);
void Drv_exit(void);

}  // extern "C"
