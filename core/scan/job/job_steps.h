// The steps of a scan job (job/scan_job.h puts them in order), and the one
// place where the device's answers become SANE statuses.
#pragma once

#include <sane/sane.h>

#include "common/orvela_types.h"
#include "core/scan/sane/sane_handle.h"

// Where in a job a device answer was given; each place maps it its own way.
enum class JobStep {
    Open,         // Drv_open: jammed, cover open, or busy for any other failure
    FirstSheet,   // the feeder before the first sheet (its STATUS_ADF)
    StartPage,    // Drv_start: the status as it is
    PageEnd,      // the page pull: feeder jam / cover open, cancelled, I/O error
    Close,        // Drv_close at the job's end: jammed, cover open, or busy
};

// The SANE status of a device answer at a step: `status` for the driver's
// result, `adf` for the feeder byte (FirstSheet, PageEnd).
SANE_Status sane_status_of(JobStep step, SCAN_Status status, STATUS_ADF adf = STATUS_ADF_PAPER_EXIST);

// The checks of a start that touch neither the device nor the handle's page:
// the area and the rule that a finished job gives no more pages. On success
// `request` holds the device request. A start refused here, or by the
// resource checks after it, leaves the last start's page as it was: its
// buffers, how far it was read, and the request it was scanned with.
SANE_Status check_page_request(orvela_scanner_t* s, ORVELA_ScanParam* request);

// The start goes on: the last start's page is given up, the read position
// starts again, and `request` becomes the device request (dev_params).
void begin_page(orvela_scanner_t* s, const ORVELA_ScanParam& request);

// True when this start scans the next sheet of a feeder job that is open.
bool continuing_feeder_job(const orvela_scanner_t* s);

// A new job (not for a continuing feeder job): a cancel of the previous job
// no longer applies, one made while this start runs does.
void begin_job(orvela_scanner_t* s);

// Opens the device and takes the scanner's lock, and checks the feeder before
// its first sheet; nothing for a continuing feeder job.
SANE_Status open_job(orvela_scanner_t* s);

// Sends the page's scan parameters; the device starts scanning.
SANE_Status start_page(orvela_scanner_t* s);

// The end of a page pulled from the device (`result` as Drv_scan2File gives
// it): its status, the feeder check after the sheet, and the end of the job
// (finish_job) when the feeder is empty or the source is not the feeder.
// GOOD when the page is to be served; pageCount counts it then.
SANE_Status finish_page(orvela_scanner_t* s, const SCAN_RESULT& result);

// Unlocks and closes the device at the end of a job.
SCAN_Status finish_job(orvela_scanner_t* s);
