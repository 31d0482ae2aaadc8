// The open handle of the SANE front end: the option set of one opened device
// and the state of its current scan job. A SANE_Handle points to one of these.
#pragma once

#include <sane/sane.h>

#include <cstdint>
#include <memory>

#include "common/orvela_types.h"
#include "core/scan/job/scan_job.h"

extern "C" {

enum orvela_sane_Option {
    OPT_NUM_OPTS = 0,
    OPT_SOURCE = 1,
    OPT_MODE = 2,
    OPT_RESOLUTION = 3,
    OPT_PREVIEW = 4,
    OPT_PAPERSIZE = 5,
    OPT_WIDTH = 6,
    OPT_HEIGHT = 7,
    OPT_TL_X = 8,
    OPT_TL_Y = 9,
    OPT_BR_X = 10,
    OPT_BR_Y = 11,
    NUM_OPTIONS = 12,
};

// The front end's names for the colour models (same numbers as ColorModel).
enum DATATYPE { BlackWhite = 1, Gray = 2, TrueColor = 4 };

enum SCAN_PAPER_SIZE {
    ScanSize_FullSize = 0,
    ScanSize_A4 = 1,
    ScanSize_Letter = 2,
    ScanSize_A5 = 3,
    ScanSize_B5 = 4,
    ScanSize_4x6 = 5,
    ScanSize_Custom = 6,
};

// One option value; a string points to a copy owned by the handle
// (orvela_scanner_t::string_values).
union Option_Value {
    SANE_Bool b;
    SANE_Word w;
    SANE_Word* wa;
    SANE_String s;
};

}  // extern "C"

struct orvela_scanner_t {
    orvela_scanner_t* next;  // never used
    ORVELA_Scanner device;   // copy of the device record taken at open
    SANE_Option_Descriptor opt[NUM_OPTIONS];
    Option_Value val[NUM_OPTIONS];
    // The job's state as the described record shows it, written by the scan
    // job (below, the owner) each time a call leaves it; dev_params too.
    ORVELA_IMAGE_RAW src_img;  // the decoded page
    ORVELA_IMAGE_RAW dst_img;  // the page as served (may share src_img's buffer)
    unsigned int page_read_lines;
    bool job_completed;
    bool page_completed;
    bool job_canceled;
    unsigned int pageCount;
    int pageSize;  // a SCAN_PAPER_SIZE value
    bool hasXYPositionFromApp;
    SANE_Parameters sane_params;
    ORVELA_ScanParam user_params;
    ORVELA_ScanParam dev_params;

    // The copies that the string values (source, mode, page size) point to.
    std::unique_ptr<char[]> string_values[NUM_OPTIONS];
    // The scan job: its state, the page, the device section.
    ScanJob job;
};
