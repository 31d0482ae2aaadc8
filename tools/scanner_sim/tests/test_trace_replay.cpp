// The wire trace reader's refusals, and the replay model driven as a
// transport drives it (bytes in pieces, silences, differences, sessions
// without connections); the whole program is tests/e2e/e2e_replay.sh's.
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/scanner_sim/replay_model.h"
#include "tools/scanner_sim/sim_device.h"

using namespace orvela_sim;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kTrace =
    "orvela-trace 1 by hand\n"
    "+0.000 = open net 127.0.0.1:53010\n"
    "+0.001 > cmd lock 536c000000000000\n"
    "+0.002 < status 7300000000000000 # status 0\n"
    "+0.003 > cmd unlock 5375000000000000\n"
    "+0.004 < timeout 8 0\n"
    "+0.203 < status 7300010000000000\n"
    "+0.300 = close\n";

std::optional<Trace> parse(const std::string& text, TraceError* error) {
    std::istringstream in(text);
    return read_trace(in, error);
}

std::vector<ReplaySession> sessions(const std::string& text) {
    TraceError error;
    const std::optional<Trace> trace = parse(text, &error);
    EXPECT_TRUE(trace) << error.line << ": " << error.reason;
    return trace ? replay_sessions(*trace) : std::vector<ReplaySession>{};
}

Bytes take(ReplayModel& m) {
    Bytes out(64);
    out.resize(m.device_take(out));
    return out;
}

Bytes command(uint8_t id) { return Bytes{kCmdHead, id, 0, 0, 0, 0, 0, 0}; }

}  // namespace

TEST(TraceReader, RefusesAMalformedFileAtTheLineAtFault) {
    struct Case {
        std::string from, to;
        int line;
        const char* reason;
    } const cases[] = {
        {"orvela-trace 1 by hand", "orvela-trace 2", 1, "version 1"},
        {"+0.001 > cmd", "+0.01 > cmd", 3, "+SECONDS.mmm"},
        {"lock 536c", "lock 536C", 3, "lower-case hex"},
        {"lock 536c000000000000", "lock 536c0000000000", 3, "holds 7 bytes, not 8"},
        {"+0.002 < status 7300000000000000 # status 0", "+0.002 < data 3\n  0102", 4, "SIZE says 3 bytes but 2"},
        {"+0.002 < status", "+0.002 < stat", 4, "unknown event"},
        {"+0.000 = open net 127.0.0.1:53010\n", "", 2, "outside an open"},
        {"+0.300 = close\n", "", 2, "never closed"},
        {"+0.300 = close\n", "+0.300 = close", 8, "no line end"},
    };
    for (const Case& c : cases) {
        std::string text = kTrace;
        text.replace(text.find(c.from), c.from.size(), c.to);
        TraceError error;
        EXPECT_FALSE(parse(text, &error)) << c.to;
        EXPECT_EQ(error.line, c.line) << c.to;
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
    }
}

TEST(ReplayModel, AnswersCommandsInPiecesKeepsTheRecordedSilenceAndStopsAtADifference) {
    std::vector<std::string> log;
    ReplayModel m(sessions(kTrace), {true, [&](const std::string& line) { log.push_back(line); }});
    m.connection_opened();
    const Bytes lock = command(kCmdLock);
    m.host_sent(std::span(lock).first(3));
    EXPECT_EQ(m.next_action().kind, NextAction::Idle);
    m.host_sent(std::span(lock).subspan(3));
    EXPECT_EQ(take(m), Bytes({0x73, 0, 0, 0, 0, 0, 0, 0}));
    const auto start = std::chrono::steady_clock::now();
    m.host_sent(command(kCmdUnlock));
    EXPECT_EQ(m.next_action().kind, NextAction::Wait);
    EXPECT_TRUE(take(m).empty());
    while (m.next_action().kind == NextAction::Wait) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));  // +0.203 - +0.003
    EXPECT_EQ(take(m), Bytes({0x73, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(m.finished());
    m.connection_closed();
    EXPECT_TRUE(m.finished());

    ReplayModel other(sessions(kTrace), {true, [&](const std::string& line) { log.push_back(line); }});
    other.connection_opened();
    other.host_sent(lock);
    take(other);
    other.host_sent(command(kCmdAbort));
    EXPECT_EQ(other.next_action().kind, NextAction::Drop);
    EXPECT_TRUE(other.failed());
    EXPECT_EQ(log.back(), "replay difference: session 1 of 1 (trace line 2), command 2 of 2 (trace line 5): the trace has "
                          "unlock 5375000000000000, came abort 5361000000000000");
}

TEST(ReplayModel, ComparesScanParametersButNotTheirClockAndPlaysSessionsWithoutConnections) {
    ScanInfo info = make_scan_info(0, 4, 300, 300, 0, 0, 100, 100);
    info.nYear = 2024;
    const auto recorded = make_scan_info_command(info);
    std::string text = "orvela-trace 1\n";
    for (int session = 0; session < 2; ++session) {
        text += "+0.000 = open usb 001:002 5e5a:1001\n+0.001 > cmd scan-parameters ";
        for (size_t at = 0; at < recorded.size(); at += 64)
            text += (at ? "  " : "") + to_hex(&recorded[at], std::min<size_t>(64, recorded.size() - at)) + "\n";
        text += "+0.002 < status 7300000000000000\n+0.003 = close\n";
    }
    std::vector<std::string> log;
    ReplayModel m(sessions(text), {false, [&](const std::string& line) { log.push_back(line); }});
    m.connection_opened();
    info.nYear = 2031;  // another day: still the same command
    const auto today = make_scan_info_command(info);
    m.host_sent(today);
    EXPECT_EQ(take(m).size(), 8u);
    EXPECT_FALSE(m.finished());
    info.nXResolution = 600;  // the second session's command differs
    m.host_sent(make_scan_info_command(info));
    EXPECT_TRUE(m.failed());
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("session 2 of 2 (trace line 8), command 1 of 1 (trace line 9): the trace has scan-parameters"),
              std::string::npos)
        << log.back();
    EXPECT_NE(log.back().find("first difference at byte 96: 2c in the trace, 58 came"), std::string::npos) << log.back();
}
