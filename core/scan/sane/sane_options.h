// The option set of an open handle: descriptors, defaults, value lists, and
// the re-shaping after a source change.
#pragma once

#include <sane/sane.h>

#include "core/scan/job/page_order.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {
extern const SANE_Range x_range;
extern const SANE_Range y_range;
extern const SANE_Range w_range;
extern const SANE_Range h_range;
}
extern const SANE_Word resbit_list[];
extern const SANE_Word resbit_list_simple_scan[];
extern const SANE_Word adf_resbit_list[];
extern const SANE_Word adf_resbit_list_simple_scan[];

// Fills opt, val, pageSize and the option part of user_params; removes the
// feeder entry of the shared source list for a device without a feeder.
// SANE_STATUS_NO_MEM when a value copy cannot be made.
SANE_Status init_options(orvela_scanner_t* s);
// Frees the handle's option strings now (they go with the handle anyway);
// the values become null.
void release_options(orvela_scanner_t* s);
// Re-shapes the options after a source change (see sane_options.cpp).
SANE_Status mode_update(orvela_scanner_t* s, const char* source);
