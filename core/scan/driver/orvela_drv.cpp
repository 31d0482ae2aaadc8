#include "core/scan/driver/orvela_drv.h"

#include <cstdlib>

#include "backend/io_clock.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "core/scan/driver/page_transfer.h"
#include "protocol/page_pull.h"
#include "protocol/scan_param.h"
#include "protocol/scanner.h"

namespace {

// The two fixed tables from a protocol status to a SCAN_Status: after
// Drv_start and Drv_close (`command`: a missing lock is busy, a stopped scan
// cancelled), and after Drv_open and Drv_cancel (both are good there).
SCAN_Status translate_status(DEVSTATUS status, bool command) {
    switch (status) {
    case STATUS_Timeout:
    case STATUS_ERROR:
    case STATUS_POWEREDOFF:
        return SCAN_STATUS_DEVICE_BUSY;
    case STATUS_USEWITHOUTLOCK:
        return command ? SCAN_STATUS_DEVICE_BUSY : SCAN_STATUS_GOOD;
    case STATUS_Error_ADF_Jam:
        return SCAN_STATUS_JAMMED;
    case STATUS_Error_ADF_CoverOpen:
        return SCAN_STATUS_COVER_OPEN;
    case STATUS_SCANSTOPPED:
        return command ? SCAN_STATUS_CANCELLED : SCAN_STATUS_GOOD;
    default:
        return SCAN_STATUS_GOOD;
    }
}

bool busy_or_warming(DEVSTATUS status) { return status == STATUS_USEWITHOUTLOCK || status == STATUS_WARMINGUP; }

}  // namespace

namespace orvela_drv {

SCAN_Status cancel_page(orvela_protocol::PagePull* pull) {
    DBG_INFO("Run into Drv_cancel\n");
    if (!orvela_protocol::abort_page(pull)) {
        scanner_close();
        return SCAN_STATUS_GOOD;
    }
    const DEVSTATUS status = scanner_unlock();
    scanner_close();
    return translate_status(status, false);
}

}  // namespace orvela_drv

extern "C" {

static SCAN_Status Drv_open_body(ORVELA_Scanner dev) {
    DBG_INFO("Run into Drv_open\n");
    if (!scanner_open(dev)) return SCAN_STATUS_ACCESS_DENIED;
    DEVSTATUS last = scanner_lock();
    DBG_INFO("scanner_lock return 0x%02X\n", last);

    // Busy or warming up: let go of the connection, wait, and ask again on a
    // fresh one. A failed re-open counts as an attempt and keeps the last answer.
    for (int attempt = 0; attempt < orvela_drv::kLockAttempts && busy_or_warming(last); ++attempt) {
        scanner_close();
        orvela_io::sleep_us(orvela_drv::kLockWaitUs);
        if (scanner_open(dev)) {
            last = scanner_lock();
            DBG_INFO("scanner_lock return 0x%02X\n", last);
        }
    }
    if (busy_or_warming(last)) {
        // Still busy after every attempt: the scanner is not ours, so no
        // connection is kept (closing a closed one is harmless).
        scanner_close();
        return SCAN_STATUS_DEVICE_BUSY;
    }
    return translate_status(last, false);
}

static SCAN_Status Drv_close_body() {
    DBG_INFO("Run into Drv_close\n");
    scanner_stop();
    const DEVSTATUS status = scanner_unlock();
    scanner_close();
    return translate_status(status, true);
}

static SCAN_Status Drv_start_body(ORVELA_ScanParam param) {
    DBG_INFO("Run into Drv_start\n");
    const SCANINFO info = ParameterConvert(param);
    const DEVSTATUS status = scanner_set_parameters(info);
    DBG_INFO("scanner_set_parameters return %d\n", status);
    return translate_status(status, true);
}

SCAN_Status Drv_cancel(void) {
    return c_boundary::call("Drv_cancel", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM,
                            [] { return orvela_drv::cancel_page(nullptr); });
}

static STATUS_ADF Drv_get_adf_status_body() {
    DBG_INFO("Run into Drv_get_adf_status\n");
    return scanner_get_adf_status();
}

}  // extern "C"

extern "C" {

static SCAN_RESULT Drv_scan2File_body(const char* file, bool* isCanceled) {
    // Page data until the end of the page, a band larger than the buffer
    // appended in buffer-sized pieces; the cancel flag is looked at before
    // every header.
    orvela_drv::PageTransfer page(isCanceled, orvela_drv::PageTransfer::CancelCheck::BetweenRecords,
                                  file != nullptr ? file : "");
    page.drain();
    return page.finish();
}

SCAN_Status Drv_open(ORVELA_Scanner dev) {
    return c_boundary::call("Drv_open", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM, [&] { return Drv_open_body(dev); });
}

SCAN_Status Drv_close(void) {
    return c_boundary::call("Drv_close", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM, Drv_close_body);
}

SCAN_Status Drv_start(ORVELA_ScanParam param) {
    return c_boundary::call("Drv_start", SCAN_STATUS_IO_ERROR, SCAN_STATUS_NO_MEM,
                            [&] { return Drv_start_body(param); });
}

// Unknown, as when the device does not answer: a sheet may be there.
STATUS_ADF Drv_get_adf_status(void) {
    return c_boundary::call("Drv_get_adf_status", STATUS_ADF_PAPER_EXIST, Drv_get_adf_status_body);
}

SCAN_RESULT Drv_scan2File(const char* file, bool* isCanceled) {
    return c_boundary::call("Drv_scan2File", SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY},
                            SCAN_RESULT{SCAN_STATUS_NO_MEM, STATUS_ADF_PAPER_EMPTY},
                            [&] { return Drv_scan2File_body(file, isCanceled); });
}

}  // extern "C"
