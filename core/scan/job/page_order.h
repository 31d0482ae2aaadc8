// What a start asks of the scan job: a plain record that the SANE front end
// builds from the handle's options, device and host at every start (and for
// the feeder drain), so that the job needs nothing of the handle.
#pragma once

#include <sane/sane.h>

#include <cstddef>

#include "common/orvela_types.h"

// SANE_Fixed millimetres of the bed's width (215.9 mm, the reference of
// feeder centring and of mirrored positions) and of half of it.
constexpr SANE_Word kBedWidthFixed = 0xD7E666;
constexpr SANE_Word kBedHalfWidthFixed = 0x6BF333;

// The frame as the reads serve it.
struct FrameLines {
    size_t bytes_per_line = 0;
    size_t pixels_per_line = 0;
    unsigned lines = 0;
    bool doubled_rows = false;  // the 1200 x 600 tier: every stored row shows twice
};

// Which way a start delivers its page.
enum class PageDelivery { WholePage, Streaming };

struct PageOrder {
    const ORVELA_Scanner* device = nullptr;  // the handle's copy of the device record
    SANE_Word resolution = 0;                // dpi asked for
    SCAN_SOURCE source = ScanSource_Flatbed;
    ColorModel colour = Color;
    // The scan area as the options hold it, SANE_Fixed millimetres.
    SANE_Word tl_x = 0, tl_y = 0, width = 0, height = 0;
    bool placed_by_frontend = false;  // the frontend set the area's position itself
    bool one_page_per_flatbed_job = false;  // the host's flatbed job ends after one page
    FrameLines frame;           // the frame that reads serve
    SANE_Parameters announced{};  // that frame as sane_orvela_get_parameters tells it
    bool serves_image = false;  // the device URI lets image data be served (else fill pattern)
    PageDelivery delivery = PageDelivery::WholePage;
};
