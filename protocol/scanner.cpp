#include "protocol/scanner.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "backend/device.h"
#include "backend/io_clock.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "protocol/page_pull.h"
#include "protocol/wire_format.h"

namespace orvela_protocol {
namespace {

// A record counts only when every byte of it moved.
bool write_all(const void* data, size_t size, int timeout_second) {
    return Device_Write(data, size, static_cast<unsigned>(timeout_second)) == size;
}

bool read_all(void* buffer, size_t size, int timeout_second) {
    return Device_Read(buffer, size, static_cast<unsigned>(timeout_second)) == size;
}

bool send_command(uint8_t id) {
    scannerCmd cmd{};
    cmd.cmdHEAD = kCmdHead;
    cmd.cmdID = id;
    return write_all(&cmd, sizeof cmd, kCommandTimeout);
}

}  // namespace

DEVSTATUS decode_status_reply(const StatusRsp& reply) {
    DEVSTATUS result = reply.cmdID == kReplyStatus ? static_cast<DEVSTATUS>(reply.status) : STATUS_ERROR;
    if (reply.ADFStatus == STATUS_ADF_JAM) result = STATUS_Error_ADF_Jam;
    else if (reply.ADFStatus == STATUS_ADF_COVER_OPEN) result = STATUS_Error_ADF_CoverOpen;
    return result;
}

PageHeader apply_page_header(const ScanDataRsp& header, ScanStatus& status) {
    if (header.cmdID == kReplyData) {
        status.status = ScanStatus_Scanning;
        status.data_size = static_cast<int>(header.dataSize);
        return PageHeader::Data;
    }
    if (header.cmdID == kReplyStatus) {
        status.status = ScanStatus_End;
        status.adfStatus = static_cast<STATUS_ADF>(header.adfStatus);
        status.error_code = static_cast<ERROR_CODE>(header.flag);
        return PageHeader::End;
    }
    return PageHeader::Unknown;
}

PageHeader read_page_header(ScanStatus& status, int timeout_second) {
    uint8_t header[orvela_wire::kRecordSize];
    if (!read_all(header, sizeof header, timeout_second)) return PageHeader::None;
    return apply_page_header(orvela_wire::decode_page_header(header), status);
}

bool read_band(size_t size, unsigned char* buffer, size_t capacity, int timeout_second,
               const std::function<bool(const unsigned char*, size_t)>& sink) {
    if (buffer == nullptr || capacity == 0) return false;
    while (size > 0) {
        const size_t piece = size < capacity ? size : capacity;
        if (!read_all(buffer, piece, timeout_second)) return false;
        if (!sink(buffer, piece)) return false;
        size -= piece;
    }
    return true;
}

bool abort_page(PagePull* pull) {
    abortScanCmd cmd{};
    cmd.cmdHEAD = kCmdHead;
    cmd.cmdID = kCmdAbort;
    if (!write_all(&cmd, sizeof cmd, kCommandTimeout)) return false;

    // Swallow the rest of the page: bands larger than the drain buffer are read
    // in pieces. The drain ends at the end of the page, at a header that does
    // not come, at a band that does not arrive, and at a header that is neither
    // data nor end (the stream is out of step; what follows means nothing).
    std::unique_ptr<unsigned char, decltype(&free)> drain(static_cast<unsigned char*>(calloc(1, kDrainBufferSize)),
                                                           &free);
    if (drain == nullptr) return true;
    if (pull != nullptr && !pull->finish_record(drain.get(), kDrainBufferSize, kDrainTimeout)) return true;
    ScanStatus status{};
    for (;;) {
        const PageHeader kind = read_page_header(status, kDrainTimeout);
        if (kind == PageHeader::None || kind == PageHeader::Unknown) break;
        if (status.data_size <= 0) break;
        if (kind == PageHeader::End) break;
        const bool read = read_band(static_cast<size_t>(status.data_size), drain.get(), kDrainBufferSize,
                                    kDrainTimeout, [](const unsigned char*, size_t) { return true; });
        if (!read) break;
    }
    return true;
}

}  // namespace orvela_protocol

using namespace orvela_protocol;

extern "C" {

DEVSTATUS get_cmd_status(int timeout_second) {
    StatusRsp reply{};
    if (!read_all(&reply, sizeof reply, timeout_second)) return STATUS_Timeout;
    const DEVSTATUS result = decode_status_reply(reply);
    DBG_INFO("get_cmd_status: cmdID=0x%02x status=0x%02x  ADFStatus = 0x%02x warmLeftTime=0x%02x\n", reply.cmdID,
             reply.status, reply.ADFStatus, reply.WarmLeftTime);
    return result;
}

static bool scanner_open_body(ORVELA_Scanner scanner) {
    DBG_INFO("Run into scanner_open\n");
    return Device_Open(scanner);
}

static void scanner_close_body() {
    DBG_INFO("Run into scanner_close\n");
    Device_Close();
}

static DEVSTATUS scanner_lock_body() {
    DBG_INFO("Run into scanner_lock\n");
    if (!send_command(kCmdLock)) return STATUS_Timeout;
    const DEVSTATUS result = get_cmd_status(kReplyTimeout);
    switch (result) {
    case STATUS_USEWITHOUTLOCK:
        DBG_INFO("scanner:busy\n");
        break;
    case STATUS_WARMINGUP:
        DBG_INFO("scanner:warming up,please wait a moment!\n");
        break;
    case STATUS_Error_ADF_CoverOpen:
        DBG_INFO("scanner:ADF Cover open!\n");
        break;
    case STATUS_Error_ADF_Jam:
        DBG_INFO("scanner:ADF Jamed!\n");
        break;
    default:
        break;
    }
    return result;
}

static DEVSTATUS scanner_unlock_body() {
    DBG_INFO("Run into scanner_unlock\n");
    DEVSTATUS result = STATUS_Timeout;
    for (int attempt = 1; attempt <= kUnlockAttempts; ++attempt) {
        if (!send_command(kCmdUnlock)) return STATUS_Timeout;
        result = get_cmd_status(kReplyTimeout);
        if (result == STATUS_Error_ADF_Jam) {
            DBG_INFO("scanner:ADF Jamed!\n");
            return result;
        }
        if (result == STATUS_Error_ADF_CoverOpen) {
            DBG_INFO("scanner:ADF Cover open!\n");
            return result;
        }
        if (result == STATUS_OK) return result;
        orvela_io::sleep_us(kUnlockPauseUs);
    }
    return result;
}

static STATUS_ADF scanner_get_adf_status_body() {
    if (!send_command(kCmdFeederStatus)) return STATUS_ADF_PAPER_EXIST;
    ADFStatusRsp reply{};
    if (!read_all(&reply, sizeof reply, kFeederReplyTimeout)) return STATUS_ADF_PAPER_EXIST;
    if (reply.cmdID != kReplyStatus || reply.status != 0) return STATUS_ADF_PAPER_EXIST;
    return static_cast<STATUS_ADF>(reply.adfStatus);
}

static DEVSTATUS scanner_set_parameters_body(SCANINFO info) {
    const auto cmd = orvela_wire::encode_scan_info_command(kCmdHead, kCmdScanInfo, info);
    if (!write_all(cmd.data(), cmd.size(), kCommandTimeout)) return STATUS_Timeout;
    return get_cmd_status(kReplyTimeout);
}

bool scanner_start(void) { return true; }

bool scanner_stop(void) { return true; }

static bool scanner_get_scan_status_time_body(ScanStatus* status, int timeout_second) {
    if (status == nullptr) return false;
    return read_page_header(*status, timeout_second) != PageHeader::None;
}

bool scanner_get_scan_status(ScanStatus* status) {
    return c_boundary::call("scanner_get_scan_status", false,
                            [&] { return scanner_get_scan_status_time_body(status, kScanTimeout); });
}

static size_t scanner_get_scan_data_time_body(void* buffer, int buffer_size, int timeout_second) {
    if (buffer == nullptr || buffer_size <= 0) return 0;
    const size_t size = static_cast<size_t>(buffer_size);
    return read_all(buffer, size, timeout_second) ? size : 0;
}

size_t scanner_get_scan_data(void* buffer, int buffer_size) {
    return c_boundary::call("scanner_get_scan_data", size_t{0},
                            [&] { return scanner_get_scan_data_time_body(buffer, buffer_size, kScanTimeout); });
}

bool scanner_abort(void) {
    return c_boundary::call("scanner_abort", false, [] { return abort_page(nullptr); });
}


bool scanner_open(ORVELA_Scanner scanner) {
    return c_boundary::call("scanner_open", false, [&] { return scanner_open_body(scanner); });
}

void scanner_close(void) { c_boundary::run("scanner_close", scanner_close_body); }

// An exception answers as a command that got no reply.
DEVSTATUS scanner_lock(void) { return c_boundary::call("scanner_lock", STATUS_Timeout, scanner_lock_body); }

DEVSTATUS scanner_unlock(void) { return c_boundary::call("scanner_unlock", STATUS_Timeout, scanner_unlock_body); }

STATUS_ADF scanner_get_adf_status(void) {
    return c_boundary::call("scanner_get_adf_status", STATUS_ADF_PAPER_EXIST, scanner_get_adf_status_body);
}

DEVSTATUS scanner_set_parameters(SCANINFO info) {
    return c_boundary::call("scanner_set_parameters", STATUS_Timeout,
                            [&] { return scanner_set_parameters_body(info); });
}

bool scanner_get_scan_status_time(ScanStatus* status, int timeout_second) {
    return c_boundary::call("scanner_get_scan_status_time", false,
                            [&] { return scanner_get_scan_status_time_body(status, timeout_second); });
}

size_t scanner_get_scan_data_time(void* buffer, int buffer_size, int timeout_second) {
    return c_boundary::call("scanner_get_scan_data_time", size_t{0},
                            [&] { return scanner_get_scan_data_time_body(buffer, buffer_size, timeout_second); });
}

}  // extern "C"
