// The paper sizes of the page-size option, in one table: the entries of the
// flatbed and feeder lists, the texts the option matches, the area each one
// sets and the SCAN_PAPER_SIZE it selects. The names are the English texts;
// lists and matching use their translations (TL).
#pragma once

#include <sane/sane.h>

#include <cstddef>

#include "core/scan/sane/sane_handle.h"

struct PaperSize {
    const char* name;
    SANE_Word width;   // SANE_Fixed millimetres; "Custom" sets no area
    SANE_Word height;
    SCAN_PAPER_SIZE code;
    bool on_feeder_list;  // the feeder's list offers it too
};

// In list and matching order; row i holds the code i.
constexpr size_t kPaperSizeCount = 7;
extern const PaperSize kPaperSizes[kPaperSizeCount];

// The row of a code.
inline const PaperSize& paper_size(SCAN_PAPER_SIZE code) { return kPaperSizes[code]; }

// Whether choosing the paper sets the scan area ("Custom" keeps it).
inline bool paper_sets_area(const PaperSize& paper) { return paper.code != ScanSize_Custom; }
