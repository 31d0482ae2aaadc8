// The scanner's side of the command protocol, independent of any transport.
//
// A ScannerModel is fed the bytes the host sent (host_sent) and yields the bytes
// the device wants to send (device_take). A transport wrapper (the TCP server in
// sim_tcp_server.h, or the USB emulation over bulk endpoints) moves the bytes
// and asks next_action() whether it should send now, wait, stall or drop the
// connection. Everything the device does beyond the plain protocol is scripted
// through SimScript, so tests can provoke every odd answer a real device gives.
//
// Protocol, as the device sees it:
//
//   host                                   device
//   "S l" lock      (8 bytes)      ->      's' status adf warm 0 0 0 0
//   "S u" unlock    (8 bytes)      ->      's' status adf 0 ...
//   "S f" feeder    (8 bytes)      ->      's' status adf 0 ...
//   "S i" + SCANINFO (168 bytes)   ->      's' status adf 0 ...    (status 0 starts the page)
//                                  <-      'd' 0 0 0 size32  + size bytes of JPEG   (repeated)
//                                  <-      's' code adf 0 0 0 0 0                   (end of page)
//   "S a" abort     (8 bytes)      ->      the rest of the current band, then 's' 9 adf (end, stopped)
//
// Commands are consumed by their own length: 168 bytes when byte 1 is 'i',
// 8 bytes otherwise. Multi-byte fields are little-endian.
//
// Thread safety: every public member function takes the model's mutex, so a
// transport may call host_sent and device_take from different threads.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/scanner_sim/wire_device.h"

namespace orvela_sim {

// Byte values of the protocol.
inline constexpr uint8_t kCmdHead = 0x53;      // 'S', first byte of every command
inline constexpr uint8_t kCmdLock = 0x6C;      // 'l'
inline constexpr uint8_t kCmdUnlock = 0x75;    // 'u'
inline constexpr uint8_t kCmdFeeder = 0x66;    // 'f'
inline constexpr uint8_t kCmdScanInfo = 0x69;  // 'i'
inline constexpr uint8_t kCmdAbort = 0x61;     // 'a'
inline constexpr uint8_t kRspStatus = 0x73;    // 's': status reply and end-of-page header
inline constexpr uint8_t kRspData = 0x64;      // 'd': data band header
inline constexpr size_t kCmdLength = 8;
inline constexpr size_t kScanInfoLength = 160;
inline constexpr size_t kScanInfoCmdLength = kCmdLength + kScanInfoLength;

// Device status bytes used by the model.
inline constexpr uint8_t kStatusOk = 0;
inline constexpr uint8_t kStatusIllegalCmd = 1;
inline constexpr uint8_t kStatusBusy = 2;  // also "used without lock"
inline constexpr uint8_t kStatusWarmingUp = 3;
inline constexpr uint8_t kStatusParamInUse = 8;
inline constexpr uint8_t kStatusScanStopped = 9;
inline constexpr uint8_t kStatusInvalidParameter = 14;

// Feeder bytes.
inline constexpr uint8_t kAdfEmpty = 0;
inline constexpr uint8_t kAdfPaper = 1;
inline constexpr uint8_t kAdfCoverOpen = 14;
inline constexpr uint8_t kAdfJam = 15;

// The 160-byte scan parameter block, decoded field by field (offsets in the
// comments). Field names are those of the host's record.
struct ScanInfo {
    uint32_t nScanSrc = 0;            // 0: 0 flatbed, 1 feeder, 2 automatic
    uint32_t nTPA = 0;                // 4
    uint32_t nEndorser = 0;           // 8
    uint16_t nYear = 0;               // 12
    uint8_t nMonth = 0;               // 14
    uint8_t nDay = 0;                 // 15
    uint8_t nHour = 0;                // 16
    uint8_t nMinute = 0;              // 17
    int16_t nTimeZone = 0;            // 18, minutes west of Greenwich
    uint32_t nBedWidth = 0;           // 20
    uint32_t nBedHeight = 0;          // 24
    int32_t nIntensityMin = 0;        // 28
    int32_t nIntensityMax = 0;        // 32
    uint32_t nIntensityStep = 0;      // 36
    int32_t nContrastMin = 0;         // 40
    int32_t nContrastMax = 0;         // 44
    uint32_t nContrastStep = 0;       // 48
    uint32_t nSupportedCompressionType = 0;  // 52
    uint32_t nSupportedDataTypes = 0;        // 56
    uint32_t nWidthInPixels = 0;      // 60
    uint32_t nWidthInBytes = 0;       // 64
    uint32_t nLines = 0;              // 68
    uint32_t nDataType = 0;           // 72: 2 grey, 4 colour
    uint32_t nBitsPerPixel = 0;       // 76
    uint32_t nIntensity = 0;          // 80
    uint32_t nContrast = 0;           // 84
    uint32_t nXResolution = 0;        // 88
    uint32_t nYResoultion = 0;        // 92 (spelled as the host spells it)
    uint32_t nXPosition = 0;          // 96, device pixels
    uint32_t nYPosition = 0;          // 100
    uint32_t nXExtent = 0;            // 104, width in pixels
    uint32_t nYExtent = 0;            // 108, height in pixels
    uint32_t nDitherPattern = 0;      // 112
    uint32_t nNegative = 0;           // 116
    uint32_t nMirror = 0;             // 120
    uint32_t nAutoback = 0;           // 124
    uint32_t nColorDitherPattern = 0; // 128
    uint32_t nToneMap = 0;            // 132
    uint32_t nCompression = 0;        // 136
    uint32_t nRawDataFormat = 0;      // 140
    uint32_t nRawPixelOrder = 0;      // 144
    uint32_t nNeedDataAlignment = 0;  // 148
    uint32_t nDelayBetweenRead = 0;   // 152
    uint32_t nMaximumBufferSize = 0;  // 156

    bool operator==(const ScanInfo&) const = default;
};

ScanInfo decode_scan_info(std::span<const uint8_t, kScanInfoLength> block);
std::array<uint8_t, kScanInfoLength> encode_scan_info(const ScanInfo& info);

// A block filled the way the host fills it for a request (fixed capability
// fields included); handy for clients written in tests.
ScanInfo make_scan_info(uint32_t source, uint32_t data_type, uint32_t xres, uint32_t yres, uint32_t x, uint32_t y,
                        uint32_t width, uint32_t height);

// Command encoders for test clients.
std::array<uint8_t, kCmdLength> make_command(uint8_t id);
std::array<uint8_t, kScanInfoCmdLength> make_scan_info_command(const ScanInfo& info);

// One command as the device received it.
struct RecordedCommand {
    std::vector<uint8_t> raw;     // exactly the bytes consumed for this command
    uint8_t head = 0;             // raw[0], 'S' from a well-behaved host
    uint8_t id = 0;               // raw[1]
    std::optional<ScanInfo> info; // decoded block of an 'i' command
    int connection = 0;           // 1-based number of the connection it came on
    std::chrono::steady_clock::time_point when{};
};

// Text form used by the command log of the command-line simulator.
std::string describe(const RecordedCommand& command);

// One band of a page stream handed to the transport in full: when, and how
// many of the page's JPEG bytes had gone out with it. Lets a benchmark tell
// how long after a band the host showed the lines it completed.
struct SentBand {
    int page = 0;           // as numbered in SimScript
    size_t jpeg_bytes = 0;  // JPEG data of the page up to the end of this band
    std::chrono::steady_clock::time_point when{};
};

// What a page's JPEG is made to look like.
enum class JpegFault {
    None,
    Truncated,     // only the first half of the file is sent (no end-of-image marker)
    CorruptHeader, // the frame header is damaged: decoding fails at once
    CorruptData,   // entropy-coded data is overwritten with noise in the middle
    BadMarker,     // a second start-of-image marker in the middle: the rows after it come out
                   // blank and the decoder fails when it reaches the marker
};

// How the device answers "S a".
enum class AbortMode {
    StopWithEnd,  // finish the band being sent, then end of page with code 9 (the default)
    SendRest,     // ignore the request but keep streaming the page to its normal end
    Ignore,       // stop sending the page and send nothing at all in reply
};

// A status byte for each of the next commands of one kind, then a default.
struct StatusPlan {
    std::deque<uint8_t> next;  // used first, one per command
    uint8_t otherwise = kStatusOk;
};

// The device's behaviour. Set it with ScannerModel::set_script before or
// between connections; counters inside (busy locks, sheets) are consumed as the
// host uses the device and start again from these values on every set_script.
// Pages are numbered from 1 in the order the 'i' commands are accepted since
// the script was set, across connections.
struct SimScript {
    // --- feeder --------------------------------------------------------------
    int sheets = 0;                 // sheets in the feeder; a feeder page takes one
    uint8_t flatbed_adf_byte = kAdfEmpty;  // feeder byte of a flatbed page's end header
    // Status of an 'i' for the feeder while it is empty; 0 accepts it and then
    // ends the page at once without data (feeder byte 0).
    uint8_t empty_feeder_status = kStatusOk;
    std::optional<uint8_t> adf_query_byte;  // answer to "S f" instead of the sheet count
    StatusPlan adf_query_status;            // status byte of the "S f" reply

    // --- lock / unlock ---------------------------------------------------------
    int busy_locks = 0;             // the next N locks answer 2 (busy)
    int warming_locks = 0;          // then the next N locks answer 3 (warming up)
    uint8_t warm_left_time = 20;    // WarmLeftTime byte of a warming-up answer
    StatusPlan lock_status;         // after the busy and warming-up ones
    std::optional<uint8_t> lock_adf_byte;  // feeder byte of every lock reply (14 or 15)
    StatusPlan unlock_status;       // e.g. otherwise = 5 for "5 every time"
    bool require_lock = true;       // 'i' without a lock is refused with status 2
    bool unlock_on_disconnect = true;  // a dropped connection releases the lock

    // --- scan parameters and pages --------------------------------------------
    StatusPlan params_status;       // status byte of the 'i' reply
    std::map<int, uint8_t> params_adf_byte;  // feeder byte of the 'i' reply of page k (refuses it)
    std::vector<uint8_t> end_codes; // completion code of page k = end_codes[k-1]; 0 beyond
    int jam_at_page = 0;            // page k stops halfway with end feeder byte 15
    int cover_open_at_page = 0;     // page k stops halfway with end feeder byte 14
    bool right_rear_reference = false;  // nXPosition counts from the bed's right edge
    int page_extra_columns = 0;     // the page's image is this much wider than asked (narrower when < 0)
    int page_extra_rows = 0;        // ... and this much taller (shorter when < 0)
    int jpeg_quality = 80;
    JpegFault jpeg_fault = JpegFault::None;
    int jpeg_fault_page = 0;        // 0: every page

    // --- stream shape ------------------------------------------------------------
    uint32_t band_size = 65536;     // data bytes per band (the last one is shorter)
    std::vector<uint32_t> band_pattern;  // if not empty: band sizes used in turn instead
    int unknown_header_before_band = -1;  // insert an 8-byte header with an unknown id before band n (0-based)
    uint8_t unknown_header_id = 'q';
    int unknown_header_page = 0;    // 0: every page

    // --- timing and failures ------------------------------------------------------
    int reply_delay_ms = 0;         // before every 8-byte reply
    int page_delay_ms = 0;          // before the first header of a page
    int band_delay_ms = 0;          // before every band header
    uint8_t wrong_id_command = 0;   // replies to this command id ('l', 'u', 'f', 'i'; 0 none) ...
    uint8_t wrong_id_value = 'x';   // ... carry this identifier instead of 's'
    int wrong_id_times = 1;         // ... this many times (-1: always)
    int stall_page = 0;             // page whose stream stalls (0: every page)
    int64_t stall_after_page_bytes = -1;  // stop sending after this many bytes of the page stream
    int stall_ms = 0;               // how long the stall lasts; 0: until the connection ends
    uint8_t stall_on_command = 0;   // stall instead of replying to this command id (0 none)
    int drop_page = 0;              // page whose connection is dropped (0: every page)
    int64_t drop_after_page_bytes = -1;  // close the connection after this many bytes of the page stream
    uint8_t drop_on_command = 0;    // close the connection instead of replying to this command id (0 none)
    AbortMode abort_mode = AbortMode::StopWithEnd;
    bool record_sent_bands = false;  // keep a SentBand per band for take_sent_bands()
};

class ScannerModel : public WireDevice {
public:
    ScannerModel();
    explicit ScannerModel(SimScript script);
    ~ScannerModel() override;
    ScannerModel(const ScannerModel&) = delete;
    ScannerModel& operator=(const ScannerModel&) = delete;

    // Replaces the script and restarts its counters (sheets, busy locks, pages).
    // The command record is kept; clear it with clear_commands().
    void set_script(SimScript script);
    SimScript script() const;

    // Transport events. connection_opened starts a new connection (fresh
    // command buffer, empty output); connection_closed forgets pending output
    // and, if scripted, releases the lock.
    void connection_opened() override;
    void connection_closed() override;

    // Bytes the host sent; whole commands are answered, a partial one waits.
    void host_sent(std::span<const uint8_t> bytes) override;

    // What the transport should do now (see NextAction). A Stall is reported
    // for as long as it lasts; after a Drop the model ignores this connection
    // until connection_closed/connection_opened.
    NextAction next_action() override;

    // Bytes ready to send now, copied into `out`; returns the count (0 while
    // waiting, stalled or idle).
    size_t device_take(std::span<uint8_t> out) override;

    // Bytes ready to send now (0 while a delay runs or a page is prepared).
    size_t pending() override;

    // Blocks until the output is ready, waiting out delays; for transports that
    // have a thread to spare. Returns next_action() as it is then.
    NextAction wait_for_output(std::chrono::milliseconds limit);

    // Observations for tests.
    std::vector<RecordedCommand> commands() const;
    void clear_commands();
    bool locked() const;
    int sheets_left() const;
    int pages_started() const;  // 'i' commands accepted since set_script
    int connections() const;    // connection_opened calls since construction
    // The bands handed out since the last call (only with record_sent_bands).
    std::vector<SentBand> take_sent_bands();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvela_sim
