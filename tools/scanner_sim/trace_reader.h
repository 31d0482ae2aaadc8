// Reads a wire trace (trace_format.md, version 1) into its events, checking
// every line: a file that is not a version 1 trace, or has a line that cannot
// be parsed, is refused with the line's number and what is wrong with it, so
// that a trace edited by hand fails where the edit went wrong rather than
// somewhere in the replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace orvela_sim {

struct TraceEvent {
    enum Kind {
        Open,        // = open
        OpenFailed,  // = open-failed
        Close,       // = close
        Command,     // > cmd NAME HEX
        Write,       // > write HEX
        WriteFailed, // > write-failed SIZE
        Status,      // < status HEX
        Band,        // < band SIZE HEX
        PageEnd,     // < page-end HEX
        Header,      // < header HEX
        Data,        // < data SIZE
        Read,        // < read SIZE HEX
        Timeout,     // < timeout ASKED GOT
        ControlOut,  // > control HEX
        ControlIn,   // < control HEX
        SnmpOut,     // > snmp ADDRESS:PORT HEX
        SnmpIn,      // < snmp ADDRESS:PORT HEX
    };
    Kind kind = Open;
    int line = 0;                // where the event starts in the file, from 1
    uint64_t time_ms = 0;        // since the device was opened
    std::string name;            // cmd: the command's name; open, snmp: the address words
    std::vector<uint8_t> bytes;  // every byte of the event, continuation lines included
    uint64_t size = 0;           // band, data, read, write-failed: SIZE; timeout: ASKED
    uint64_t got = 0;            // timeout: GOT

    // True for the events whose bytes went from the device to the host on
    // the data channel.
    bool device_bytes() const;
};

struct Trace {
    std::string first_line;  // "orvela-trace 1 ..." with its free text
    std::vector<TraceEvent> events;
};

struct TraceError {
    int line = 0;  // 0: the file as a whole (cannot be read)
    std::string reason;
};

// Parses a whole trace; on failure returns nothing and says why in *error.
std::optional<Trace> read_trace(std::istream& in, TraceError* error);
std::optional<Trace> read_trace_file(const std::string& path, TraceError* error);

// The name the trace gives a command of these bytes ("lock", ...,
// "scan-parameters", or "unknown").
std::string command_name(const std::vector<uint8_t>& bytes);

// Lower-case hex, as in traces.
std::string to_hex(const uint8_t* bytes, size_t count);

}  // namespace orvela_sim
