// Decoding of a page file, and the frame rules every page is decoded by.
#pragma once

#include <sane/sane.h>

#include "common/orvela_types.h"

class LogHold;

// The device tier a page was scanned at; it bounds the frame (frame_fits_bed).
struct DeviceTier {
    unsigned x_dpi = 0;
    unsigned y_dpi = 0;
};

// Decodes the JPEG page file through the row pipeline into a malloc'ed buffer
// of rows (1 or 3 samples a pixel, no padding) and sets *page to it; with a
// resolution other than the tier's, rescaled to it, and with `bilevel`, grey
// packed to one bit per pixel, as a start does it. On failure
// (SCAN_STATUS_IO_ERROR: no file, a corrupt or cut-short page, a frame too
// large for the tier, no usable rescaled size; SCAN_STATUS_NO_MEM) *page is
// left as it was and nothing stays allocated.
SCAN_Status decode_page_file(const char* filename, DeviceTier tier, ORVELA_IMAGE_RAW* page, SANE_Word resolution = 0,
                             bool bilevel = false);

// Whether a JPEG frame of width x height pixels is one the device can send for
// a request at x_dpi x y_dpi (0 for either: the largest tier, 1200 x 600): at
// most the largest bed, 215.9 x 355.6 mm (8.5 x 14 in), plus 1/32 of each side
// for a device whose bed measures a little more than its nominal size. Any
// smaller frame is served, rescaled to the requested one; a larger one is
// refused before anything is allocated for it.
bool frame_fits_bed(unsigned width, unsigned height, unsigned x_dpi, unsigned y_dpi);

// Whether a decoded frame of w x h pixels and C components is one the device
// can send at `tier` (frame_fits_bed) and the page path can serve (1 or 3
// components); a refused frame is logged (to `log` when given).
bool servable_frame(unsigned w, unsigned h, unsigned C, DeviceTier tier, LogHold* log = nullptr);
