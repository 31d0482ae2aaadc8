// The device of a wire trace: plays each open ... close session of a trace to
// one connection, answering every command that matches the trace's next one
// with the bytes the device sent for it, and stopping at the first command
// that does not match.
//
//   trace:  = open / > cmd lock / < status / > cmd scan-parameters / < status
//           < band / < data / < page-end / > cmd unlock / < status / = close
//   replay: host's lock            -> compared with the trace's, then its status
//           host's scan-parameters -> compared, then status, band, data, page-end
//           host's unlock          -> compared, then status; the host closes
//
// The bytes of a scan-parameters command that carry the date, time and time
// zone are not compared: a host fills them from its clock, so they differ on
// every run. A recorded `< timeout` keeps the device silent for as long as the
// recording had it silent, so that the host's read times out again.
//
// Over a transport without connections of its own (the USB emulation: one
// connection_opened for the device's life) a session ends when its last reply
// has been taken, and the host's next command begins the next one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tools/scanner_sim/trace_reader.h"
#include "tools/scanner_sim/wire_device.h"

namespace orvela_sim {

// Bytes the device sends, after staying silent for `silence` (a recorded time-out).
struct ReplyPart {
    std::vector<uint8_t> bytes;
    std::chrono::milliseconds silence{0};
};

// One command the host must send, and what the device answers it with.
struct ReplayStep {
    std::vector<uint8_t> command;
    std::string name;  // as the trace names it
    int line = 0;      // of the trace
    std::vector<ReplyPart> reply;
};

struct ReplaySession {
    int line = 0;                   // the trace's `= open` line
    std::string opened;             // its arguments ("net 10.0.0.2:53010")
    std::vector<ReplyPart> greeting;  // device bytes before the first command
    std::vector<ReplayStep> steps;
};

// The data channel sessions of a trace (SNMP and control transfers are not
// replayed: the simulator's own agent and the USB emulation answer those).
std::vector<ReplaySession> replay_sessions(const Trace& trace);

struct ReplayOptions {
    bool sessions_per_connection = true;  // false: the USB emulation (see above)
    // Where progress and the first difference are told, one line each.
    std::function<void(const std::string&)> log;
};

class ReplayModel : public WireDevice {
public:
    ReplayModel(std::vector<ReplaySession> sessions, ReplayOptions options);

    void connection_opened() override;
    void connection_closed() override;
    void host_sent(std::span<const uint8_t> bytes) override;
    NextAction next_action() override;
    size_t device_take(std::span<uint8_t> out) override;
    size_t pending() override;

    // Every session was played to its end.
    bool finished() const;
    // A difference (or a connection beyond the trace) ended the replay.
    bool failed() const;
    // Why the replay is not finished, for a report at the end; empty once finished.
    std::string unfinished_reason() const;
    int sessions_played() const;
    int session_count() const { return static_cast<int>(sessions_.size()); }

private:
    void begin_session();
    void end_session();
    void queue(const std::vector<ReplyPart>& parts);
    void fail(const std::string& what);
    bool output_done() const;
    void note(const std::string& line) const;
    std::string where() const;

    mutable std::mutex mutex_;
    std::vector<ReplaySession> sessions_;
    ReplayOptions options_;
    int next_session_ = 0;     // index of the session the next connection plays
    int session_ = -1;         // the session being played, -1 between sessions
    size_t step_ = 0;          // its next command
    bool connection_has_bytes_ = false;
    std::vector<uint8_t> in_;  // host bytes not yet matched
    std::deque<ReplyPart> out_;
    size_t out_pos_ = 0;       // bytes of out_.front() already taken
    std::chrono::steady_clock::time_point silent_until_{};
    bool drop_ = false;
    bool failed_ = false;
    int played_ = 0;
};

}  // namespace orvela_sim
