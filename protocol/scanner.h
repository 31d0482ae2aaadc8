// The scanner command protocol: fixed 8-byte commands (the scan-parameters
// command is 168 bytes), 8-byte status replies, and the page stream of 8-byte
// headers that either announce a data band following at once or end the page.
// Every operation maps what the device answers to a DEVSTATUS; none keeps
// state of its own (the connection belongs to the transport dispatch).
//
//   scanner_open -> scanner_lock (again while busy / warming up)
//     -> per page: scanner_set_parameters
//                  -> scanner_get_scan_status, scanner_get_scan_data ... end header
//     -> scanner_stop, scanner_unlock, scanner_close
//        (or scanner_abort, scanner_unlock, scanner_close to cancel)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/orvela_types.h"
#include "protocol/scan_param.h"

extern "C" {

#pragma pack(push, 1)
// Lock, unlock, feeder status.
typedef struct {
    uint8_t cmdHEAD;
    uint8_t cmdID;
    uint8_t reserved[6];
} scannerCmd;

typedef struct {
    uint8_t cmdHEAD;
    uint8_t cmdID;
    uint8_t Reserved[6];
} abortScanCmd;

typedef struct {
    uint8_t cmdHEAD;
    uint8_t cmdID;
    uint8_t reserved[2];
    uint32_t dataLength;  // sent as 0
    SCANINFO scanInfo;
} scanInfoCmd;

// Reply to lock, unlock and scan parameters.
typedef struct statusRsp {
    uint8_t cmdID;
    uint8_t status;
    uint8_t ADFStatus;
    uint8_t WarmLeftTime;
    uint8_t reserved[4];
} StatusRsp;

// Reply to the feeder-status command.
typedef struct {
    uint8_t cmdID;
    uint8_t status;
    uint8_t adfStatus;
    uint8_t reserved[5];
} ADFStatusRsp;

// Page-stream header: 'd' announces dataSize bytes of data, 's' ends the page
// with a completion code in flag and the feeder state in adfStatus.
typedef struct scanDataRsp {
    uint8_t cmdID;
    uint8_t flag;
    uint8_t adfStatus;
    uint8_t reserved;
    uint32_t dataSize;
} ScanDataRsp;
#pragma pack(pop)

bool scanner_open(ORVELA_Scanner scanner);
void scanner_close(void);
DEVSTATUS scanner_lock(void);
DEVSTATUS scanner_unlock(void);
// Every failure reads as STATUS_ADF_PAPER_EXIST.
STATUS_ADF scanner_get_adf_status(void);
DEVSTATUS scanner_set_parameters(SCANINFO info);
bool scanner_start(void);  // sends nothing; an accepted parameter block starts the scan
bool scanner_stop(void);   // sends nothing
// One page-stream header; false (record untouched) when none arrived. A header
// with an unknown identifier is a successful poll that changes nothing.
bool scanner_get_scan_status_time(ScanStatus* status, int timeout_second);
bool scanner_get_scan_status(ScanStatus* status);
// Exactly buffer_size bytes into buffer; the count, or 0 on failure.
size_t scanner_get_scan_data_time(void* buffer, int buffer_size, int timeout_second);
size_t scanner_get_scan_data(void* buffer, int buffer_size);
// Sends the abort command and swallows what the device still sends of the
// page; false only when the command could not be written.
bool scanner_abort(void);

// Reads one status reply (internal).
DEVSTATUS get_cmd_status(int timeout_second);

}  // extern "C"

static_assert(sizeof(scannerCmd) == 8 && sizeof(abortScanCmd) == 8 && sizeof(StatusRsp) == 8 &&
              sizeof(ADFStatusRsp) == 8 && sizeof(ScanDataRsp) == 8);
static_assert(sizeof(scanInfoCmd) == 168 && offsetof(scanInfoCmd, scanInfo) == 8);

namespace orvela_protocol {

class PagePull;

constexpr uint8_t kCmdHead = 0x53;
constexpr uint8_t kCmdLock = 0x6C;
constexpr uint8_t kCmdUnlock = 0x75;
constexpr uint8_t kCmdFeederStatus = 0x66;
constexpr uint8_t kCmdScanInfo = 0x69;
constexpr uint8_t kCmdAbort = 0x61;
constexpr uint8_t kReplyStatus = 0x73;  // 's': status reply, end-of-page header
constexpr uint8_t kReplyData = 0x64;    // 'd': data band header

constexpr int kCommandTimeout = 6;
constexpr int kReplyTimeout = 6;
constexpr int kFeederReplyTimeout = 30;
constexpr int kScanTimeout = 30;
constexpr int kDrainTimeout = 8;
constexpr int kUnlockAttempts = 3;
constexpr uint32_t kUnlockPauseUs = 50000;
constexpr size_t kDrainBufferSize = 32768;

enum class PageHeader { None, Data, End, Unknown };

// The protocol status that a status reply carries (the feeder byte's jam or
// cover-open overrides the status byte and a wrong identifier).
DEVSTATUS decode_status_reply(const StatusRsp& reply);

// Applies one page-stream header to the poll record and tells its kind.
PageHeader apply_page_header(const ScanDataRsp& header, ScanStatus& status);

// Polls one page-stream header like scanner_get_scan_status_time and tells
// which kind arrived (None when nothing did).
PageHeader read_page_header(ScanStatus& status, int timeout_second);

// scanner_abort for a page that `pull` (when not null) was reading: the rest of
// the header or band it left half read is consumed before the drain goes on
// header by header.
bool abort_page(PagePull* pull);

// Reads a band of `size` bytes through `buffer` (room for `capacity` bytes) in
// pieces of at most `capacity`, handing each piece to `sink`; false when a
// piece did not arrive in time or the sink refused it.
bool read_band(size_t size, unsigned char* buffer, size_t capacity, int timeout_second,
               const std::function<bool(const unsigned char*, size_t)>& sink);

}  // namespace orvela_protocol
