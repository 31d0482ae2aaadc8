// The page stream as a reader takes it: page data and the end of the page,
// with every rule about page-stream headers in this one place. The page-file
// pull of the driver layer (Drv_scan2File) and the streaming read both read
// their pages through a PagePull.
//
//   header 'd', size > 0          that many bytes of page data follow; handed
//                                 out in pieces of the reader's buffer
//   header 'd', size 0 or less    a poll that carries nothing (Idle)
//   header of any other id        a poll that changes nothing (Idle): status
//                                 or keep-alive headers of a working scanner
//   header 's'                    end of the page: completion code, feeder byte
//   nothing usable within the page-stream time-out (30 s, counted across the
//   polls that carry nothing), a band that does not arrive in time, or a band
//   announced larger than kMaxBandSize: the stream is broken (Failed)
//
// Without a cancel flag every header and piece is one whole transport read,
// as Device_Read does it; the caller looks at its own cancel flag between
// records. With one, reads wait in slices (orvela_dispatch::read_until) and
// stop as soon as the flag is set, remembering how much of a header or band
// was consumed, so that the drain after an abort starts in step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/orvela_types.h"
#include "protocol/scanner.h"

namespace orvela_protocol {

// A band announced larger than this means the stream is out of step: no band
// can be larger than a whole page, and the largest page the device can send
// (the full 215.9 x 355.6 mm bed in colour at 1200 x 600 dpi) is about 245 MiB
// of raw samples, more than its JPEG ever takes.
constexpr uint32_t kMaxBandSize = 256u << 20;

class PagePull {
public:
    enum class Result {
        Data,       // *got > 0 bytes of page data in the buffer
        Idle,       // a header that carries nothing; pull again
        End,        // the end header arrived (see status())
        Failed,     // the stream broke (no header in time, a band cut short, a band too large)
        Cancelled,  // the cancel flag was set while waiting
    };

    // cancel: null for whole-record reads, else the flag that ends waits.
    explicit PagePull(const bool* cancel = nullptr, int timeout_second = kScanTimeout);

    // The next piece of page data, at most `capacity` bytes, into `buffer`.
    Result pull(unsigned char* buffer, size_t capacity, size_t* got);

    // True between the first and the last byte of a header or band.
    bool inside_record() const { return header_have_ > 0 || band_left_ > 0; }
    bool data_arrived() const { return data_arrived_; }
    bool ended() const { return ended_; }
    // The poll record: after End, the end header's feeder byte and code.
    const ScanStatus& status() const { return status_; }

    // After the device was told to stop: reads and throws away the rest of
    // the header or band in progress, through `scratch`. True when the stream
    // is at a header boundary (the drain goes on from there); false when the
    // header it completed ended the page or the stream broke.
    bool finish_record(unsigned char* scratch, size_t capacity, int timeout_second);

private:
    size_t read(void* buffer, size_t size, int64_t limit_ms, const bool* cancel);
    bool cancelled() const;
    // Interprets the complete header in header_.
    Result take_header();

    const bool* cancel_;
    int timeout_second_;
    ScanStatus status_{};
    unsigned char header_[8] = {};
    size_t header_have_ = 0;  // bytes of the header in progress
    uint64_t band_left_ = 0;  // bytes of the band in progress still to come
    int64_t header_deadline_ = 0;
    bool waiting_for_header_ = false;  // header_deadline_ runs
    bool data_arrived_ = false;
    bool ended_ = false;
};

}  // namespace orvela_protocol
