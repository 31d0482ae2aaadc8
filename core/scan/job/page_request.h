// What a start asks of the device and of the machine: the area check, the
// device request that the order asks for, and the memory and disk checks.
#pragma once

#include <sane/sane.h>

#include "common/orvela_types.h"
#include "core/scan/job/page_order.h"

extern "C" {
bool IsLowofSystemMemory(unsigned long needMem);
bool IsNoEnoughSpace(const char* path, unsigned int prefer_size);
}
// The area check of a start (the exported IsOutOfScanRange): true when the
// area cannot be scanned.
bool area_out_of_range(const PageOrder& order);
// Where the request places the area across the bed.
enum class Placement {
    Described,  // start: centred on the feeder path, mirrored on a right-rear bed
    AsPlaced,   // the feeder drain: where tl-x and tl-y put it, signs kept
};
// The device request that the order asks for.
ORVELA_ScanParam device_request(const PageOrder& order, Placement placement = Placement::Described);

// Whether the page is scanned in grey and packed to one bit per pixel on the
// host (black and white asked for).
bool packs_bilevel(const PageOrder& order);
