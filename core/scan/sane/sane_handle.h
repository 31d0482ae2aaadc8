// The open handle of the SANE front end: the option set of one opened device
// and the state of its current scan job. A SANE_Handle points to one of these.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/orvela_types.h"

class JobPage;
// Deletes the page of a start where its type is complete (scan_job.cpp), so
// that the handle can own one through a forward declaration.
struct JobPageDelete {
    void operator()(JobPage* page) const;
};

// What reads of the current page get (see the picture in job/scan_job.h).
enum class PageState {
    None,       // no page: nothing started yet, or a start is on its way
    Ready,      // start returned GOOD; no line read yet
    Serving,    // lines are going out
    Ended,      // every line went out and the page ended well: EOF
    Failed,     // the page stopped with page_status: that status again
    Cancelled,  // cancelled: CANCELLED
};

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
    ORVELA_IMAGE_RAW src_img;  // the decoded page
    ORVELA_IMAGE_RAW dst_img;  // the page as served (may share src_img's buffer)
    unsigned int page_read_lines;
    bool job_completed;
    bool page_completed;
    // Set by cancel, possibly from another thread, and polled by the page
    // transfer through a plain bool*: every access goes through
    // cancel_flag_load/cancel_flag_store (atomic).
    bool job_canceled;
    unsigned int pageCount;
    int pageSize;  // a SCAN_PAPER_SIZE value
    bool hasXYPositionFromApp;
    SANE_Parameters sane_params;
    ORVELA_ScanParam user_params;
    ORVELA_ScanParam dev_params;

    // The copies that the string option values point to (val[OPT_SOURCE].s,
    // val[OPT_MODE].s, val[OPT_PAPERSIZE].s), by option; they go with the
    // handle.
    std::unique_ptr<char[]> string_values[NUM_OPTIONS];

    // Job bookkeeping private to the front end.
    // Held (true) while one thread runs the device calls of a job or touches
    // the page state: start, read and cancel. A cancel that finds it held
    // leaves its device work to the holder (cancel_pending).
    std::atomic<bool> device_section_busy;
    std::atomic<bool> cancel_pending;
    bool device_held;           // Drv_open was called and no close/cancel since
    unsigned int line_offset;   // bytes of the current line already served
    bool serves_image;          // the device URI allows image data (set per page)
    // The page of the last start that reads serve (null between pages).
    std::unique_ptr<JobPage, JobPageDelete> page;
    // page_completed is true exactly in the Ended state.
    PageState page_state;
    SANE_Status page_status;  // the status of a Failed or Cancelled page
};

inline bool cancel_flag_load(const orvela_scanner_t* s) {
    return __atomic_load_n(&s->job_canceled, __ATOMIC_SEQ_CST);
}
inline void cancel_flag_store(orvela_scanner_t* s, bool value) {
    __atomic_store_n(&s->job_canceled, value, __ATOMIC_SEQ_CST);
}
