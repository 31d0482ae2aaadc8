// Decoding of a page file (see page_decode.cpp).
#pragma once

#include "common/orvela_types.h"

// What the page decoder tells a listener about the page it decodes (the
// pipelined rescale listens).
class PageSink {
public:
    virtual ~PageSink() = default;
    // The page buffer is allocated and about to be filled.
    virtual void begin(unsigned char* buffer, unsigned w, unsigned h, unsigned C) = 0;
    // Rows [0, rows) are final.
    virtual void rows_ready(unsigned rows) = 0;
    // The decode failed; the buffer is released after this returns.
    virtual void abandon() = 0;
};

// The device tier a page was scanned at; it bounds the frame (frame_fits_bed).
struct DeviceTier {
    unsigned x_dpi = 0;
    unsigned y_dpi = 0;
};

// Decodes the JPEG page file into a malloc'ed buffer of rows (1 or 3 samples
// a pixel, no padding) and sets *page to it, telling `sink` (when not null)
// about each finished row. On failure (SCAN_STATUS_IO_ERROR: no file, a
// corrupt or cut-short page, a frame too large for the tier;
// SCAN_STATUS_NO_MEM) *page is left as it was and nothing stays allocated.
SCAN_Status decode_page_file(const char* filename, DeviceTier tier, PageSink* sink, ORVELA_IMAGE_RAW* page);

// Frees a decoded page and the page as served (which may share one buffer)
// and clears both pointers.
void free_page_images(ORVELA_IMAGE_RAW* src, ORVELA_IMAGE_RAW* dst);

// Whether a JPEG frame of width x height pixels is one the device can send for
// a request at x_dpi x y_dpi (0 for either: the largest tier, 1200 x 600): at
// most the largest bed, 215.9 x 355.6 mm (8.5 x 14 in), plus 1/32 of each side
// for a device whose bed measures a little more than its nominal size. Any
// smaller frame is served, rescaled to the requested one; a larger one is
// refused before anything is allocated for it.
bool frame_fits_bed(unsigned width, unsigned height, unsigned x_dpi, unsigned y_dpi);

// Whether a decoded frame of w x h pixels and C components is one the device
// can send at `tier` (frame_fits_bed) and the page path can serve (1 or 3
// components); a refused frame is logged.
bool servable_frame(unsigned w, unsigned h, unsigned C, DeviceTier tier);
