// Wire trace reader: one pass over the lines, each checked against the format
// and the rules of its event (sizes, whole commands, open ... close order).
#include "tools/scanner_sim/trace_reader.h"

#include <charconv>
#include <fstream>
#include <string_view>

#include "tools/scanner_sim/sim_device.h"

namespace orvela_sim {
namespace {

constexpr size_t kMaxHexBytesPerLine = 64;

struct EventShape {
    char direction;
    std::string_view name;
    TraceEvent::Kind kind;
};

constexpr EventShape kEvents[] = {
    {'=', "open", TraceEvent::Open},         {'=', "open-failed", TraceEvent::OpenFailed},
    {'=', "close", TraceEvent::Close},       {'>', "cmd", TraceEvent::Command},
    {'>', "write", TraceEvent::Write},       {'>', "write-failed", TraceEvent::WriteFailed},
    {'<', "status", TraceEvent::Status},     {'<', "band", TraceEvent::Band},
    {'<', "page-end", TraceEvent::PageEnd},  {'<', "header", TraceEvent::Header},
    {'<', "data", TraceEvent::Data},         {'<', "read", TraceEvent::Read},
    {'<', "timeout", TraceEvent::Timeout},   {'>', "control", TraceEvent::ControlOut},
    {'<', "control", TraceEvent::ControlIn}, {'>', "snmp", TraceEvent::SnmpOut},
    {'<', "snmp", TraceEvent::SnmpIn},
};

constexpr std::string_view kCommandNames[] = {"lock", "unlock", "feeder-status", "abort", "scan-parameters", "unknown"};

// A parse failure of the current line, thrown inside the reader only.
struct LineError {
    std::string reason;
};

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t space = text.find(' ', pos);
        const size_t end = space == std::string_view::npos ? text.size() : space;
        words.push_back(text.substr(pos, end - pos));
        if (space == std::string_view::npos) break;
        pos = space + 1;
    }
    return words;
}

uint64_t parse_count(std::string_view word, const char* what) {
    uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || ec != std::errc() || ptr != word.data() + word.size())
        throw LineError{std::string(what) + " is not a number: \"" + std::string(word) + "\""};
    return v;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void append_hex(std::string_view hex, std::vector<uint8_t>& out) {
    if (hex.empty()) throw LineError{"hex bytes missing"};
    if (hex.size() % 2 != 0) throw LineError{"odd number of hex digits"};
    if (hex.size() / 2 > kMaxHexBytesPerLine) throw LineError{"more than 64 bytes of hex on one line"};
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            throw LineError{"not lower-case hex: \"" + std::string(hex.substr(i, 2)) + "\""};
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
}

// "+SECONDS.mmm" in milliseconds.
uint64_t parse_time(std::string_view word) {
    const size_t dot = word.find('.');
    if (word.size() < 2 || word[0] != '+' || dot == std::string_view::npos || word.size() - dot - 1 != 3)
        throw LineError{"time is not +SECONDS.mmm: \"" + std::string(word) + "\""};
    return parse_count(word.substr(1, dot - 1), "time") * 1000 + parse_count(word.substr(dot + 1), "time");
}

void expect_words(const std::vector<std::string_view>& args, size_t count, const char* form) {
    if (args.size() != count) throw LineError{std::string("expected ") + form};
}

void check_address(std::string_view word) {
    const size_t colon = word.rfind(':');
    if (colon == std::string_view::npos || colon == 0) throw LineError{"not ADDRESS:PORT: \"" + std::string(word) + "\""};
    parse_count(word.substr(colon + 1), "port");
}

// The arguments of one event line; continuation lines add to `bytes` later.
void parse_args(TraceEvent& e, const std::vector<std::string_view>& args) {
    switch (e.kind) {
    case TraceEvent::Open:
    case TraceEvent::OpenFailed:
        if (!args.empty() && args[0] == "net") {
            expect_words(args, 2, "net ADDRESS:PORT");
            check_address(args[1]);
        } else if (!args.empty() && args[0] == "usb") {
            expect_words(args, 3, "usb BUS:DEVICE VID:PID");
        } else {
            throw LineError{"expected net ADDRESS:PORT or usb BUS:DEVICE VID:PID"};
        }
        for (std::string_view a : args) e.name += (e.name.empty() ? "" : " ") + std::string(a);
        break;
    case TraceEvent::Close:
        expect_words(args, 0, "nothing after close");
        break;
    case TraceEvent::Command: {
        expect_words(args, 2, "cmd NAME HEX");
        bool known = false;
        for (std::string_view n : kCommandNames) known = known || n == args[0];
        if (!known) throw LineError{"unknown command name \"" + std::string(args[0]) + "\""};
        e.name = args[0];
        append_hex(args[1], e.bytes);
        break;
    }
    case TraceEvent::Write:
    case TraceEvent::Status:
    case TraceEvent::PageEnd:
    case TraceEvent::Header:
    case TraceEvent::ControlOut:
    case TraceEvent::ControlIn:
        expect_words(args, 1, "HEX");
        append_hex(args[0], e.bytes);
        break;
    case TraceEvent::WriteFailed:
        expect_words(args, 1, "SIZE");
        e.size = parse_count(args[0], "SIZE");
        break;
    case TraceEvent::Band:
    case TraceEvent::Read:
        expect_words(args, 2, "SIZE HEX");
        e.size = parse_count(args[0], "SIZE");
        append_hex(args[1], e.bytes);
        break;
    case TraceEvent::Data:
        expect_words(args, 1, "SIZE (the bytes on continuation lines)");
        e.size = parse_count(args[0], "SIZE");
        break;
    case TraceEvent::Timeout:
        expect_words(args, 2, "ASKED GOT");
        e.size = parse_count(args[0], "ASKED");
        e.got = parse_count(args[1], "GOT");
        break;
    case TraceEvent::SnmpOut:
    case TraceEvent::SnmpIn:
        expect_words(args, 2, "ADDRESS:PORT HEX");
        check_address(args[0]);
        e.name = args[0];
        append_hex(args[1], e.bytes);
        break;
    }
}

bool takes_continuation(TraceEvent::Kind k) {
    return k != TraceEvent::Open && k != TraceEvent::OpenFailed && k != TraceEvent::Close &&
           k != TraceEvent::WriteFailed && k != TraceEvent::Timeout;
}

// Checks an event once its continuation lines are in.
void finish_event(const TraceEvent& e) {
    const size_t n = e.bytes.size();
    switch (e.kind) {
    case TraceEvent::Command: {
        const size_t want = e.name == "scan-parameters" ? kScanInfoCmdLength : e.name == "unknown" ? n : kCmdLength;
        if (n != want) throw LineError{"cmd " + e.name + " holds " + std::to_string(n) + " bytes, not " + std::to_string(want)};
        break;
    }
    case TraceEvent::Status:
    case TraceEvent::Band:
    case TraceEvent::PageEnd:
    case TraceEvent::Header:
        if (n != kCmdLength) throw LineError{"a header or status holds 8 bytes, not " + std::to_string(n)};
        break;
    case TraceEvent::Data:
    case TraceEvent::Read:
        if (n != e.size)
            throw LineError{"SIZE says " + std::to_string(e.size) + " bytes but " + std::to_string(n) + " follow"};
        break;
    default:
        break;
    }
}

}  // namespace

bool TraceEvent::device_bytes() const {
    return kind == Status || kind == Band || kind == PageEnd || kind == Header || kind == Data || kind == Read;
}

std::string to_hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string command_name(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kCmdLength || bytes[0] != kCmdHead) return "unknown";
    if (bytes.size() == kScanInfoCmdLength && bytes[1] == kCmdScanInfo) return "scan-parameters";
    if (bytes.size() != kCmdLength) return "unknown";
    switch (bytes[1]) {
    case kCmdLock: return "lock";
    case kCmdUnlock: return "unlock";
    case kCmdFeeder: return "feeder-status";
    case kCmdAbort: return "abort";
    default: return "unknown";
    }
}

std::optional<Trace> read_trace(std::istream& in, TraceError* error) {
    Trace trace;
    std::string text;
    int line_no = 0;
    bool in_session = false;
    int session_line = 0;
    bool continuable = false;  // the previous line was an event taking continuation lines
    try {
        while (std::getline(in, text)) {
            ++line_no;
            if (in.eof()) throw LineError{"the last line has no line end (the file is cut short?)"};
            const std::string_view line = text;
            if (line_no == 1) {
                if (line != "orvela-trace 1" && line.substr(0, 15) != "orvela-trace 1 ")
                    throw LineError{"not a wire trace of version 1 (the first line must be \"orvela-trace 1\")"};
                trace.first_line = text;
                continue;
            }
            if (line.empty() || line[0] == '#') {
                continuable = false;
                continue;
            }
            if (line.substr(0, 2) == "  ") {
                if (!continuable || trace.events.empty())
                    throw LineError{"a continuation line without an event above that takes one"};
                append_hex(line.substr(2), trace.events.back().bytes);
                continue;
            }
            if (!trace.events.empty()) {
                // The event above is complete: its errors belong to its own line.
                const int here = line_no;
                line_no = trace.events.back().line;
                finish_event(trace.events.back());
                line_no = here;
            }
            // People's part of the line is dropped first.
            std::string_view event = line;
            const size_t comment = event.find(" #");
            if (comment != std::string_view::npos) event = event.substr(0, comment);
            const std::vector<std::string_view> words = split_words(event);
            if (words.size() < 3 || words[1].size() != 1)
                throw LineError{"not an event (TIME DIRECTION NAME [ARGS]), a comment or a continuation"};
            TraceEvent e;
            e.line = line_no;
            e.time_ms = parse_time(words[0]);
            const EventShape* known = nullptr;
            for (const EventShape& s : kEvents)
                if (s.direction == words[1][0] && s.name == words[2]) known = &s;
            if (known == nullptr)
                throw LineError{"unknown event \"" + std::string(words[1]) + " " + std::string(words[2]) + "\""};
            e.kind = known->kind;
            parse_args(e, std::vector<std::string_view>(words.begin() + 3, words.end()));
            const bool channel_event = e.kind != TraceEvent::SnmpOut && e.kind != TraceEvent::SnmpIn &&
                                       e.kind != TraceEvent::ControlOut && e.kind != TraceEvent::ControlIn &&
                                       e.kind != TraceEvent::OpenFailed;
            if (e.kind == TraceEvent::Open) {
                if (in_session)
                    throw LineError{"open while the session opened on line " + std::to_string(session_line) + " is open"};
                in_session = true;
                session_line = line_no;
            } else if (e.kind == TraceEvent::Close) {
                if (!in_session) throw LineError{"close without an open"};
                in_session = false;
            } else if (channel_event && !in_session) {
                throw LineError{"a data channel event outside an open ... close session"};
            }
            continuable = takes_continuation(e.kind);
            trace.events.push_back(std::move(e));
        }
        if (line_no == 0) throw LineError{"empty file, not a wire trace"};
        if (!trace.events.empty()) {
            line_no = trace.events.back().line;
            finish_event(trace.events.back());
        }
        if (in_session) {
            line_no = session_line;
            throw LineError{"the session opened here is never closed (the file is cut short?)"};
        }
    } catch (const LineError& e) {
        if (error) *error = TraceError{line_no, e.reason};
        return std::nullopt;
    }
    return trace;
}

std::optional<Trace> read_trace_file(const std::string& path, TraceError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = TraceError{0, "cannot be read"};
        return std::nullopt;
    }
    return read_trace(in, error);
}

}  // namespace orvela_sim
