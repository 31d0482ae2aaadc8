// What a wire trace says about the bytes that crossed the transport: the
// transport calls arrive raw (a write of 8 bytes, a read of 4096...), and a
// small state machine names them the way the protocol sees them, so that a
// person can read the trace and the simulator can replay it (the line format
// is that of tools/scanner_sim/trace_format.md).
//
//   write 8 bytes 0x53 ID       > cmd NAME            -> awaiting a reply
//   write 168 bytes 0x53 0x69   > cmd scan-parameters -> awaiting a reply
//   write 8 bytes 0x53 0x61     > cmd abort           -> page stream (drain)
//   awaiting, read 8 bytes      < status              -> page stream
//   page stream, 8-byte header  < band SIZE           -> SIZE bytes of band
//                               < page-end / < header
//   band, any read              < data                (up to the band's end)
//   anything else               > write / < read
//   a read short of its size    < timeout ASKED GOT   after the bytes that came
//
// Header and band progress survive a read cut short (a cancelled wait reads
// the rest later) and the abort command (the drain reads the rest of the band
// it interrupted). Each event is stamped with the milliseconds since the
// session began on orvela_io's clock: when its call was made (set_time), or
// by default when it is named.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/trace_file.h"

namespace wire_trace {

class TraceSession {
public:
    explicit TraceSession(TraceOutput& out) : out_(out) {}

    // Starts the clock and the state machine over (a new open).
    void restart();
    // The events that follow happened at `time_ms` (on orvela_io's clock),
    // not now: calls named after they were made.
    void set_time(int64_t time_ms) {
        time_ms_ = time_ms;
        time_set_ = true;
    }
    void use_clock() { time_set_ = false; }

    void comment(const char* text);
    // "= open ARGS" or "= open-failed ARGS".
    void opened(const char* args, bool ok);
    void closed();

    // `moved` is what the transport call returned.
    void wrote(const void* data, size_t size, size_t moved);
    void read(const void* data, size_t asked, size_t got);
    void control_wrote(const void* data, size_t size, size_t moved);
    void control_read(const void* data, size_t asked, size_t got);

    // One SNMP datagram to (sent) or from a device search's peer; `peer` is
    // ADDRESS:PORT.
    void snmp(bool sent, const char* peer, const void* data, size_t size);

private:
    // Outside a reply everything read is taken as the page stream: after a
    // page's end the next thing the device sends is the next page's header.
    enum class Expect { Reply, Stream };

    // "+S.mmm D NAME" without the line's end.
    void begin(char direction, const char* name);
    void text(const char* s);
    void number(uint64_t value);
    // " HEX" of at most 64 bytes, then the rest as continuation lines (the
    // comment, when there is one, goes on the event line).
    void hex_event_end(const uint8_t* bytes, size_t size, const char* comment);
    void hex(const uint8_t* bytes, size_t size);
    void continuation(const uint8_t* bytes, size_t size);
    void end_line();
    void timeout(size_t asked, size_t got);

    void command(const uint8_t* bytes, size_t size);
    void stream_bytes(const uint8_t* bytes, size_t size);
    void page_header(const uint8_t* header, bool whole);

    TraceOutput& out_;
    int64_t start_ms_ = 0;
    int64_t time_ms_ = 0;
    bool time_set_ = false;
    Expect expect_ = Expect::Stream;
    uint64_t band_left_ = 0;
    uint8_t header_[8] = {};
    size_t header_have_ = 0;
};

}  // namespace wire_trace
