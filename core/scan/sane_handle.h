// The open handle of the SANE front end: the option set of one opened device
// and the state of its current scan job. A SANE_Handle points to one of these.
#pragma once

#include <sane/sane.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/orvela_types.h"

class PageStream;
// Deletes a page of the streaming path where its type is complete
// (page_stream.cpp), so that the handle can own one through a forward
// declaration.
struct PageStreamDelete {
    void operator()(PageStream* page) const;
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
    // The page of the streaming path that reads are serving (null on the
    // whole-page path and between pages).
    std::unique_ptr<PageStream, PageStreamDelete> page_stream;
    // The error a read of the streaming page met (a jam, an opened cover, a
    // page the device cancelled, a broken stream): every later read answers
    // it again, with no bytes, until the next start; GOOD while there is none.
    SANE_Status page_failure;
};

inline bool cancel_flag_load(const orvela_scanner_t* s) {
    return __atomic_load_n(&s->job_canceled, __ATOMIC_SEQ_CST);
}
inline void cancel_flag_store(orvela_scanner_t* s, bool value) {
    __atomic_store_n(&s->job_canceled, value, __ATOMIC_SEQ_CST);
}

// Option set (sane_options.cpp).
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

// SANE_Fixed millimetres of the bed: its width (215.9 mm) and half of it.
constexpr SANE_Word kBedWidthFixed = 0xD7E666;
constexpr SANE_Word kBedHalfWidthFixed = 0x6BF333;

// Fills opt, val, pageSize and the option part of user_params; removes the
// feeder entry of the shared source list for a device without a feeder.
// SANE_STATUS_NO_MEM when a value copy cannot be made.
SANE_Status init_options(orvela_scanner_t* s);
// Frees the handle's option strings now (they go with the handle anyway);
// the values become null.
void release_options(orvela_scanner_t* s);
// Re-shapes the options after a source change (see sane_options.cpp).
SANE_Status mode_update(orvela_scanner_t* s, const char* source);

// Scan job (sane_start.cpp, sane_read.cpp).
extern "C" {
bool IsOutOfScanRange(orvela_scanner_t* s);
bool IsLowofSystemMemory(unsigned long needMem);
bool IsNoEnoughSpace(const char* path, unsigned int prefer_size);
void drv_cancelADFPages(orvela_scanner_t* s);
}
// Device resolution tier of a resolution option value.
unsigned device_x_dpi(SANE_Word resolution);
unsigned device_y_dpi(SANE_Word resolution);
// The device request that the options ask for, as start sends it.
ORVELA_ScanParam device_request(const orvela_scanner_t* s);
// Fills s->dev_params with it.
void compute_device_request(orvela_scanner_t* s);
// Fills s->sane_params from the options.
void compute_frame_parameters(orvela_scanner_t* s);

// The job's device section: start, read, cancel and the feeder drain hold it
// while they make device calls or touch the page. claim waits for a holder on
// another thread; try_claim does not wait. release runs the device work of a
// cancel that arrived while the section was held (and returns true then).
void job_section_claim(orvela_scanner_t* s);
bool job_section_try_claim(orvela_scanner_t* s);
bool job_section_release(orvela_scanner_t* s);
// The device work and bookkeeping of a cancel (the flag is already set).
void cancel_job_work(orvela_scanner_t* s);

// Page buffers (sane_decode.cpp): frees src_img and dst_img (which may share
// one buffer) and clears both pointers, and the streaming path's page
// (release_page_stream, sane_stream.cpp).
void release_page_buffers(orvela_scanner_t* s);
void release_page_stream(orvela_scanner_t* s);
// Decodes the JPEG page file into s->src_img.
extern "C" SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename);
