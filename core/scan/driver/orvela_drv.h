// The driver layer: device-independent scanner operations behind the SANE
// front end, each returning a SCAN_Status (numbered like SANE_Status). The
// scan job (job/scan_job.h) calls them in order: Drv_open at a job's first
// page, Drv_start and the page pull per page, Drv_close or Drv_cancel at its
// end.
#pragma once

#include <cstddef>

#include "common/orvela_types.h"

extern "C" {

SCAN_Status Drv_init(void* callback);
void Drv_exit(void);

// Opens the device and takes the scanner's lock, waiting out a busy or
// warming-up scanner. SCAN_STATUS_ACCESS_DENIED when it cannot be opened;
// SCAN_STATUS_DEVICE_BUSY (connection closed) when it stays busy.
SCAN_Status Drv_open(ORVELA_Scanner dev);
// Unlocks and closes; the connection is closed whatever the unlock gave.
SCAN_Status Drv_close(void);
// Sends the scan parameters of one page; an accepted block starts the scan.
SCAN_Status Drv_start(ORVELA_ScanParam param);
// Aborts the scan, swallows the rest of the page, unlocks and closes.
SCAN_Status Drv_cancel(void);
STATUS_ADF Drv_get_adf_status(void);
// Pulls one page into `file` (created or truncated). `isCanceled` may be set
// by another thread with an atomic store (__atomic_store_n / std::atomic_ref);
// it is read atomically once per header. Null means never cancelled.
SCAN_RESULT Drv_scan2File(const char* file, bool* isCanceled);
// Pulls one band into `buffer`, which must hold 65,536 bytes. A band larger
// than that is read and discarded and reported as SCAN_STATUS_IO_ERROR.
SCAN_RESULT Drv_scanBand(unsigned char* buffer, size_t* retSize);
SCAN_Status Drv_get_parameters(void* callback);
SCAN_Status Drv_read(unsigned char* buf, int len);
void Drv_get_backend_error_code(int* errCode);

}  // extern "C"

namespace orvela_protocol {
class PagePull;
}

namespace orvela_drv {

// Drv_cancel for a page that `pull` was reading (null: at a header boundary):
// abort, drain from where the pull stopped, unlock, close.
SCAN_Status cancel_page(orvela_protocol::PagePull* pull);

constexpr int kLockAttempts = 30;
constexpr unsigned kLockWaitUs = 2000000;
constexpr size_t kBandBufferSize = 65536;

}  // namespace orvela_drv
