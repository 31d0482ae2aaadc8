// What a start asks of the device and of the machine: the area check, the
// device request that the options ask for, and the memory and disk checks.
#pragma once

#include <sane/sane.h>

#include "common/orvela_types.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {
bool IsOutOfScanRange(orvela_scanner_t* s);
bool IsLowofSystemMemory(unsigned long needMem);
bool IsNoEnoughSpace(const char* path, unsigned int prefer_size);
}
// Device resolution tier of a resolution option value.
unsigned device_x_dpi(SANE_Word resolution);
unsigned device_y_dpi(SANE_Word resolution);
// Where the request places the area across the bed.
enum class Placement {
    Described,  // start: centred on the feeder path, mirrored on a right-rear bed
    AsPlaced,   // the feeder drain: where tl-x and tl-y put it, signs kept
};
// The device request that the options ask for.
ORVELA_ScanParam device_request(const orvela_scanner_t* s, Placement placement = Placement::Described);

// Whether the page is scanned in grey and packed to one bit per pixel on the
// host (black and white asked for).
bool packs_bilevel(const orvela_scanner_t* s);
