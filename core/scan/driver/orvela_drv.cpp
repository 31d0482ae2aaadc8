#include "core/scan/driver/orvela_drv.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "backend/io_clock.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "protocol/page_pull.h"
#include "protocol/scan_param.h"
#include "protocol/scanner.h"

using orvela_protocol::PageHeader;
using orvela_protocol::PagePull;

namespace {

// Protocol status after Drv_start and Drv_close.
SCAN_Status translate_command_status(DEVSTATUS status) {
    switch (status) {
    case STATUS_Timeout:
    case STATUS_ERROR:
    case STATUS_POWEREDOFF:
    case STATUS_USEWITHOUTLOCK:
        return SCAN_STATUS_DEVICE_BUSY;
    case STATUS_Error_ADF_Jam:
        return SCAN_STATUS_JAMMED;
    case STATUS_Error_ADF_CoverOpen:
        return SCAN_STATUS_COVER_OPEN;
    case STATUS_SCANSTOPPED:
        return SCAN_STATUS_CANCELLED;
    default:
        return SCAN_STATUS_GOOD;
    }
}

// Protocol status after Drv_open and Drv_cancel.
SCAN_Status translate_session_status(DEVSTATUS status) {
    switch (status) {
    case STATUS_Timeout:
    case STATUS_ERROR:
    case STATUS_POWEREDOFF:
        return SCAN_STATUS_DEVICE_BUSY;
    case STATUS_Error_ADF_Jam:
        return SCAN_STATUS_JAMMED;
    case STATUS_Error_ADF_CoverOpen:
        return SCAN_STATUS_COVER_OPEN;
    default:
        return SCAN_STATUS_GOOD;
    }
}

bool busy_or_warming(DEVSTATUS status) { return status == STATUS_USEWITHOUTLOCK || status == STATUS_WARMINGUP; }

bool canceled(bool* flag) { return flag != nullptr && __atomic_load_n(flag, __ATOMIC_ACQUIRE); }

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

using Buffer = std::unique_ptr<unsigned char, decltype(&free)>;

Buffer zeroed_buffer(size_t size) { return Buffer(static_cast<unsigned char*>(calloc(1, size)), &free); }

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
    return translate_session_status(status);
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
    return translate_session_status(last);
}

static SCAN_Status Drv_close_body() {
    DBG_INFO("Run into Drv_close\n");
    scanner_stop();
    const DEVSTATUS status = scanner_unlock();
    scanner_close();
    return translate_command_status(status);
}

static SCAN_Status Drv_start_body(ORVELA_ScanParam param) {
    DBG_INFO("Run into Drv_start\n");
    const SCANINFO info = ParameterConvert(param);
    const DEVSTATUS status = scanner_set_parameters(info);
    DBG_INFO("scanner_set_parameters return %d\n", status);
    return translate_command_status(status);
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

namespace {

// Opens the page file like fopen(file, "wb+") would (created or emptied, read
// and write), but never through a symbolic link, private to the user when it
// is created, and closed on exec.
FILE* open_page_file(const char* file) {
    if (file == nullptr) return nullptr;
    const int fd = open(file, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "wb+");
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

extern "C" {

static SCAN_RESULT Drv_scan2File_body(const char* file, bool* isCanceled) {
    DBG_INFO("Run into Drv_scan2File\n");
    SCAN_RESULT result{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};

    std::unique_ptr<FILE, FileCloser> out(open_page_file(file));
    if (out == nullptr) {
        DBG_INFO("Fail to create file %s\n", file != nullptr ? file : "(null)");
        return result;
    }
    Buffer band = zeroed_buffer(orvela_drv::kBandBufferSize);
    if (band == nullptr) return result;

    // Page data until the end of the page, a band larger than the buffer
    // appended in buffer-sized pieces; the header rules are the pull's. The
    // cancel flag is looked at before every header.
    PagePull pull;
    bool success = false;
    bool stream_broken = false;  // the device may still be sending this page
    for (;;) {
        if (!pull.inside_record() && canceled(isCanceled)) break;
        size_t got = 0;
        const PagePull::Result r = pull.pull(band.get(), orvela_drv::kBandBufferSize, &got);
        if (r == PagePull::Result::Idle) continue;
        if (r == PagePull::Result::Data) {
            if (fwrite(band.get(), 1, got, out.get()) == got) continue;
            DBG_INFO("Fail to write page file %s, aborting the page\n", file != nullptr ? file : "(null)");
        } else if (r == PagePull::Result::End) {
            if (pull.status().error_code == STATUS_OK) {
                DBG_INFO(pull.data_arrived() ? "Page End. adf status=0x%02X\n"
                                             : "Page End without data. adf status=0x%02X\n",
                         pull.status().adfStatus);
                success = true;
            }
            break;
        }
        stream_broken = true;
        break;
    }
    band.reset();
    // Decided here: a cancel that comes while the rest of a broken page is
    // drained does not turn its I/O error into a cancel.
    const bool cancelled = canceled(isCanceled);
    // The pull stopped inside the page: a band that did not arrive in time, a
    // stream out of step, or a page file that could not take a band (a full
    // disk). The device may still be sending the page: it is told to stop and
    // the rest is drained, from where the pull stopped (inside a band larger
    // than the buffer when the file could not take a piece of it), so that
    // the unlock that follows gets its own reply and the scanner is released.
    // On a closed connection the abort fails at once. A cancel is left to the
    // caller's Drv_cancel.
    if (stream_broken && !cancelled) orvela_protocol::abort_page(&pull);
    // Data that cannot be flushed to the file is lost data.
    if (fclose(out.release()) != 0) success = false;

    if (cancelled || pull.status().error_code == STATUS_SCANSTOPPED) {
        result.scan_status = SCAN_STATUS_CANCELLED;
    } else if (success) {
        result.scan_status = SCAN_STATUS_GOOD;
        result.adf_status = pull.status().adfStatus;
    }
    return result;
}

static SCAN_RESULT Drv_scanBand_body(unsigned char* buffer, size_t* retSize) {
    DBG_INFO("Run into Drv_scanBand\n");
    if (retSize != nullptr) *retSize = 0;
    ScanStatus status{};
    const SCAN_RESULT failure{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY};
    if (buffer == nullptr || retSize == nullptr) return failure;

    const PageHeader kind = orvela_protocol::read_page_header(status, orvela_protocol::kScanTimeout);
    if (kind == PageHeader::End) {
        DBG_INFO("Page End. adf status=0x%02X\n", status.adfStatus);
        return SCAN_RESULT{SCAN_STATUS_EOF, status.adfStatus};
    }
    if (kind != PageHeader::Data || status.data_size <= 0) return failure;

    const size_t size = static_cast<size_t>(status.data_size);
    if (size > orvela_drv::kBandBufferSize) {
        // Larger than the buffer the caller is asked to provide: read it into
        // a buffer of our own so that the stream stays in step, and report
        // the band as lost.
        Buffer scratch = zeroed_buffer(orvela_drv::kBandBufferSize);
        if (scratch != nullptr) {
            orvela_protocol::read_band(size, scratch.get(), orvela_drv::kBandBufferSize, orvela_protocol::kScanTimeout,
                                       [](const unsigned char*, size_t) { return true; });
        }
        DBG_INFO("Drv_scanBand: band of %zu bytes is larger than %zu, dropped\n", size, orvela_drv::kBandBufferSize);
        return failure;
    }
    if (scanner_get_scan_data(buffer, status.data_size) == 0) return failure;
    *retSize = size;
    return SCAN_RESULT{SCAN_STATUS_GOOD, STATUS_ADF_PAPER_EMPTY};
}

SCAN_Status Drv_get_parameters(void* /*callback*/) { return SCAN_STATUS_GOOD; }

SCAN_Status Drv_read(unsigned char* /*buf*/, int /*len*/) { return SCAN_STATUS_GOOD; }

void Drv_get_backend_error_code(int* /*errCode*/) {}


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

SCAN_RESULT Drv_scanBand(unsigned char* buffer, size_t* retSize) {
    return c_boundary::call("Drv_scanBand", SCAN_RESULT{SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY},
                            SCAN_RESULT{SCAN_STATUS_NO_MEM, STATUS_ADF_PAPER_EMPTY},
                            [&] { return Drv_scanBand_body(buffer, retSize); });
}

}  // extern "C"
