// Exports for callers outside the backend (exported_extras.cpp).
#pragma once

#include "common/orvela_types.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {
// A fixed device record (vendor, product, interface 0, serial) whatever the name.
ORVELA_Scanner PaserFromURI(const char* deviceName);
// The area check of a start: true when the handle's area cannot be scanned.
bool IsOutOfScanRange(orvela_scanner_t* s);
// Decodes the JPEG page file into s->src_img (the pages there were are
// freed); its frame is bounded by the device tier of s->dev_params.
SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename);
// Pulls the sheets left in the feeder and discards them, then closes.
void drv_cancelADFPages(orvela_scanner_t* s);
}
