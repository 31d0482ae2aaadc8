// Replay of a wire trace as a device (see replay_model.h).
#include "tools/scanner_sim/replay_model.h"

#include <algorithm>
#include <cstring>

#include "tools/scanner_sim/sim_device.h"

namespace orvela_sim {
namespace {

using Clock = std::chrono::steady_clock;

// Date, time and time zone inside a scan-parameters command (the block's
// nYear at offset 12 up to nTimeZone at 18, after the 8-byte command head).
constexpr size_t kClockFieldsBegin = kCmdLength + 12;
constexpr size_t kClockFieldsEnd = kCmdLength + 20;

bool is_scan_parameters(const std::vector<uint8_t>& command) {
    return command.size() == kScanInfoCmdLength && command[0] == kCmdHead && command[1] == kCmdScanInfo;
}

// Index of the first byte of `came` (its first `count` bytes) that differs
// from `expected`, or `count` when they agree.
size_t first_difference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& came, size_t count) {
    const bool clock_fields = is_scan_parameters(expected);
    for (size_t i = 0; i < count; ++i) {
        if (clock_fields && i >= kClockFieldsBegin && i < kClockFieldsEnd) continue;
        if (expected[i] != came[i]) return i;
    }
    return count;
}

std::string show(const std::vector<uint8_t>& bytes, size_t count) {
    constexpr size_t kShown = 16;
    std::string s = to_hex(bytes.data(), std::min(count, kShown));
    if (count > kShown) s += "... (" + std::to_string(count) + " bytes)";
    return s;
}

// The host's bytes as one command: the protocol's own length when they hold
// that much, else what there is.
std::string show_came(const std::vector<uint8_t>& in) {
    size_t n = in.size();
    if (n >= 2 && in[0] == kCmdHead) n = std::min(n, in[1] == kCmdScanInfo ? kScanInfoCmdLength : kCmdLength);
    const std::vector<uint8_t> command(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    return command_name(command) + " " + show(command, n);
}

}  // namespace

std::vector<ReplaySession> replay_sessions(const Trace& trace) {
    std::vector<ReplaySession> sessions;
    ReplaySession* session = nullptr;
    uint64_t last_time = 0;
    bool silent = false;          // a time-out was recorded before the next device bytes
    uint64_t silent_since = 0;
    for (const TraceEvent& e : trace.events) {
        if (e.kind == TraceEvent::Open) {
            session = &sessions.emplace_back();
            session->line = e.line;
            session->opened = e.name;
            last_time = e.time_ms;
            silent = false;
        } else if (e.kind == TraceEvent::Close) {
            session = nullptr;
        } else if (session == nullptr) {
            continue;  // SNMP and control transfers outside the data channel
        } else if (e.kind == TraceEvent::Command || e.kind == TraceEvent::Write) {
            ReplayStep& step = session->steps.emplace_back();
            step.command = e.bytes;
            step.name = e.kind == TraceEvent::Command ? e.name : "write";
            step.line = e.line;
            last_time = e.time_ms;
            silent = false;  // the host gave up waiting and moved on
        } else if (e.kind == TraceEvent::Timeout) {
            if (!silent) silent_since = last_time;
            silent = true;
        } else if (e.device_bytes()) {
            std::vector<ReplyPart>& parts = session->steps.empty() ? session->greeting : session->steps.back().reply;
            if (silent || parts.empty()) {
                ReplyPart& part = parts.emplace_back();
                if (silent) part.silence = std::chrono::milliseconds(e.time_ms > silent_since ? e.time_ms - silent_since : 0);
                silent = false;
            }
            parts.back().bytes.insert(parts.back().bytes.end(), e.bytes.begin(), e.bytes.end());
            last_time = e.time_ms;
        }
    }
    return sessions;
}

ReplayModel::ReplayModel(std::vector<ReplaySession> sessions, ReplayOptions options)
    : sessions_(std::move(sessions)), options_(std::move(options)) {}

void ReplayModel::note(const std::string& line) const {
    if (options_.log) options_.log(line);
}

std::string ReplayModel::where() const {
    const ReplaySession& s = sessions_[static_cast<size_t>(session_)];
    std::string w = "session " + std::to_string(session_ + 1) + " of " + std::to_string(sessions_.size()) +
                    " (trace line " + std::to_string(s.line) + "), ";
    if (step_ < s.steps.size())
        return w + "command " + std::to_string(step_ + 1) + " of " + std::to_string(s.steps.size()) + " (trace line " +
               std::to_string(s.steps[step_].line) + ")";
    return w + "after its last command (" + std::to_string(s.steps.size()) + ")";
}

void ReplayModel::fail(const std::string& what) {
    if (!failed_) note("replay difference: " + what);
    failed_ = true;
    drop_ = true;
    out_.clear();
    out_pos_ = 0;
}

void ReplayModel::queue(const std::vector<ReplyPart>& parts) {
    for (const ReplyPart& p : parts) out_.push_back(p);
}

bool ReplayModel::output_done() const {
    return out_.empty();
}

void ReplayModel::begin_session() {
    session_ = next_session_++;
    step_ = 0;
    queue(sessions_[static_cast<size_t>(session_)].greeting);
}

void ReplayModel::end_session() {
    ++played_;
    const ReplaySession& s = sessions_[static_cast<size_t>(session_)];
    note("replay: session " + std::to_string(session_ + 1) + " of " + std::to_string(sessions_.size()) +
         " (trace line " + std::to_string(s.line) + ") played, " + std::to_string(s.steps.size()) + " commands");
    session_ = -1;
}

void ReplayModel::connection_opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_has_bytes_ = false;
    in_.clear();
    out_.clear();
    out_pos_ = 0;
    silent_until_ = {};
    drop_ = failed_;
    if (failed_ || !options_.sessions_per_connection) return;
    if (next_session_ >= static_cast<int>(sessions_.size())) {
        fail("a connection after the trace's last session (" + std::to_string(sessions_.size()) + ")");
        return;
    }
    begin_session();
}

void ReplayModel::connection_closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!options_.sessions_per_connection || session_ < 0) return;
    const ReplaySession& s = sessions_[static_cast<size_t>(session_)];
    if (failed_) {
        session_ = -1;
    } else if (!connection_has_bytes_ && !s.steps.empty() && s.greeting.empty()) {
        // A connection opened and closed without a word (a check that the
        // port answers) is no session of the trace.
        note("replay: a connection closed without sending anything; not counted as a session");
        --next_session_;
        session_ = -1;
    } else if (step_ < s.steps.size()) {
        const ReplayStep& step = s.steps[step_];
        fail(where() + ": the trace has " + step.name + " " + show(step.command, step.command.size()) +
             ", but the host closed the connection");
    } else if (!output_done()) {
        fail(where() + ": the host closed the connection before the trace's last bytes were sent");
    } else {
        end_session();
    }
    out_.clear();
    out_pos_ = 0;
}

void ReplayModel::host_sent(std::span<const uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drop_ || failed_ || bytes.empty()) return;
    connection_has_bytes_ = true;
    in_.insert(in_.end(), bytes.begin(), bytes.end());
    while (!in_.empty()) {
        if (session_ < 0) {
            // Only a transport without connections gets here: the host's
            // command after a finished session begins the next one.
            if (next_session_ >= static_cast<int>(sessions_.size())) {
                fail("after the trace's last session (" + std::to_string(sessions_.size()) + "), came " + show_came(in_));
                return;
            }
            begin_session();
        }
        const ReplaySession& s = sessions_[static_cast<size_t>(session_)];
        if (step_ == s.steps.size()) {
            if (!options_.sessions_per_connection && output_done() && s.greeting.empty()) {
                end_session();
                continue;
            }
            fail(where() + ": the trace's session ends here (the host closes it), but came " + show_came(in_));
            return;
        }
        const ReplayStep& step = s.steps[step_];
        const size_t n = std::min(in_.size(), step.command.size());
        const size_t diff = first_difference(step.command, in_, n);
        if (diff < n) {
            std::string what = where() + ": the trace has " + step.name + " " + show(step.command, step.command.size()) +
                               ", came " + show_came(in_);
            if (diff >= kCmdLength) {
                what += "; first difference at byte " + std::to_string(diff) + ": " + to_hex(&step.command[diff], 1) +
                        " in the trace, " + to_hex(&in_[diff], 1) + " came";
            }
            fail(what);
            return;
        }
        if (in_.size() < step.command.size()) return;  // the rest of the command is on its way
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(step.command.size()));
        queue(step.reply);
        ++step_;
    }
}

NextAction ReplayModel::next_action() {
    std::lock_guard<std::mutex> lock(mutex_);
    NextAction a;
    if (drop_) {
        a.kind = NextAction::Drop;
        return a;
    }
    if (out_.empty()) return a;
    ReplyPart& front = out_.front();
    if (out_pos_ == 0 && front.silence.count() > 0) {
        // The silence starts once everything before it has gone out.
        const Clock::time_point now = Clock::now();
        if (silent_until_ == Clock::time_point{}) silent_until_ = now + front.silence;
        if (now < silent_until_) {
            a.kind = NextAction::Wait;
            a.wait = std::max(std::chrono::milliseconds(1),
                              std::chrono::duration_cast<std::chrono::milliseconds>(silent_until_ - now));
            return a;
        }
        front.silence = std::chrono::milliseconds(0);
        silent_until_ = {};
    }
    a.kind = NextAction::Send;
    a.bytes = front.bytes.size() - out_pos_;
    return a;
}

size_t ReplayModel::device_take(std::span<uint8_t> out) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t taken = 0;
    while (!drop_ && taken < out.size() && !out_.empty()) {
        ReplyPart& front = out_.front();
        if (out_pos_ == 0 && front.silence.count() > 0) break;  // next_action lets it through in time
        const size_t n = std::min(out.size() - taken, front.bytes.size() - out_pos_);
        std::memcpy(out.data() + taken, front.bytes.data() + out_pos_, n);
        taken += n;
        out_pos_ += n;
        if (out_pos_ == front.bytes.size()) {
            out_.pop_front();
            out_pos_ = 0;
        }
    }
    return taken;
}

size_t ReplayModel::pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drop_ || out_.empty()) return 0;
    size_t n = 0;
    for (size_t i = 0; i < out_.size(); ++i) {
        if (out_[i].silence.count() > 0 && (i > 0 || out_pos_ == 0)) break;
        n += out_[i].bytes.size() - (i == 0 ? out_pos_ : 0);
    }
    return n;
}

bool ReplayModel::finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    if (played_ == static_cast<int>(sessions_.size())) return true;
    // Without connections the last session ends when its last reply is out.
    return !options_.sessions_per_connection && session_ == static_cast<int>(sessions_.size()) - 1 &&
           step_ == sessions_.back().steps.size() && output_done();
}

bool ReplayModel::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

int ReplayModel::sessions_played() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return played_;
}

std::string ReplayModel::unfinished_reason() const {
    if (finished()) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return "stopped at a difference";
    std::string why = std::to_string(played_) + " of " + std::to_string(sessions_.size()) + " sessions played";
    if (session_ >= 0) return why + "; " + where() + " not reached";
    return why + "; the next connection never came";
}

}  // namespace orvela_sim
