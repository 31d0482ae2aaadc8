// Throwing away the sheets left in the feeder.
#pragma once

#include "core/scan/sane/sane_handle.h"

extern "C" {
// Pulls the sheets left in the feeder and discards them, then closes.
void drv_cancelADFPages(orvela_scanner_t* s);
}
