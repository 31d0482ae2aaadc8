// The wire trace: how the transport calls are named (exact text for a short
// exchange with a band), and how its files are made: 0600, never through a
// symlink or over a file, a directory that cannot be written only warned
// about, a file that stops taking data ending the trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "backend/device.h"
#include "backend/held_calls.h"
#include "backend/trace_file.h"
#include "backend/trace_session.h"
#include "backend/trace_writer.h"
#include "backend/wire_trace.h"
#include "common/orvela_config.h"
#include "protocol/wire_format.h"
#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string lower_hex(const uint8_t* b, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02x", b[i]);
        s += two;
    }
    return s;
}

// The events of a trace without their times.
// The text without the "+S.MMM " time at the start of each event line.
std::string untimed(const std::string& text) {
    std::string out;
    size_t line = 0;
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        end = end == std::string::npos ? text.size() : end + 1;
        size_t from = line;
        if (text[line] == '+') {
            const size_t dot = text.find('.', line);
            const size_t space = text.find(' ', line);
            if (dot < space && space == dot + 4 && space < end) from = space + 1;
        }
        out.append(text, from, end - from);
        line = end;
    }
    return out;
}

void set_trace_directory(const std::string& dir) {
    orvela_config::Settings s;
    s.trace_directory = dir;
    orvela_config::set_current(s);
}

}  // namespace

// The calls are held as they are made and named at the close, with the
// times at which they were made.
TEST(WireTrace, NamesEachCallOfAnExchange) {
    TempDir dir;
    const std::string path = dir.file("t.trace");
    wire_trace::TraceOutput out;
    ASSERT_TRUE(out.attach(wire_trace::create_exclusive(path), path));
    wire_trace::TraceSession session(out);
    TestClock clock(5);  // each reading 5 ms later
    session.restart();
    session.opened("net 127.0.0.1:53010", true);
    SCANINFO info{};
    info.nScanSrc = 1;
    info.nDataType = 2;
    info.nXResolution = 300;
    info.nYResoultion = 600;
    info.nXPosition = 12;
    info.nYPosition = 7;
    info.nXExtent = 2480;
    info.nYExtent = 3508;
    const auto sp = orvela_wire::encode_scan_info_command(0x53, 0x69, info);
    const Bytes params(sp.begin(), sp.end());
    const Bytes header = peer::reply(0x64, 0, 0, 0, 70);
    const Bytes band = peer::pattern(70, 7);
    using Kind = wire_trace::HeldCalls::Kind;
    const struct {
        Kind kind;
        Bytes bytes;
        size_t size, result;
    } calls[] = {
        {Kind::Write, {0x53, 0x6C, 0, 0, 0, 0, 0, 0}, 8, 8},
        {Kind::Read, peer::reply(0x73, 0, 1, 3), 8, 8},
        {Kind::Write, params, 168, 168},
        {Kind::Read, peer::reply(0x73), 8, 8},
        // A header in two pieces (a cancelled wait), its band cut by an
        // abort and drained after it, then the end of the page.
        {Kind::Read, Bytes(header.begin(), header.begin() + 3), 3, 3},
        {Kind::Read, Bytes(header.begin() + 3, header.end()), 5, 5},
        {Kind::Read, Bytes(band.begin(), band.begin() + 30), 40, 30},
        {Kind::Write, {0x53, 0x61, 0, 0, 0, 0, 0, 0}, 8, 8},
        {Kind::Read, Bytes(band.begin() + 30, band.end()), 40, 40},
        {Kind::Read, peer::reply(0x73, 9, 1), 8, 8},
        {Kind::Write, {0x53, 0x75, 0, 0, 0, 0, 0, 0}, 8, 3},
        {Kind::Read, {}, 8, 0},
        {Kind::Write, {1, 2, 3}, 3, 3},
    };
    wire_trace::HeldCalls held;
    for (const auto& c : calls) ASSERT_TRUE(held.add(c.kind, TestClock::now(), c.bytes.data(), c.size, c.result));
    held.replay(session);
    EXPECT_TRUE(held.empty());
    session.closed();
    out.close();

    const std::string expected =
        "+0.005 = open net 127.0.0.1:53010\n"
        "+0.010 > cmd lock 536c000000000000\n"
        "+0.015 < status 7300010300000000 # status 0 feeder 1 warm-up 3\n"
        "+0.020 > cmd scan-parameters " + lower_hex(params.data(), 64) +
        " # 300x600 dpi grey, feeder, x 12 y 7, 2480x3508\n"
        "  " + lower_hex(params.data() + 64, 64) + "\n"
        "  " + lower_hex(params.data() + 128, 40) + "\n"
        "+0.025 < status 7300000000000000 # status 0 feeder 0 warm-up 0\n"
        "+0.030 < read 3 640000\n"
        "+0.035 < read 5 0046000000\n"
        "+0.040 < data 30\n"
        "  " + lower_hex(band.data(), 30) + "\n"
        "+0.040 < timeout 40 30\n"
        "+0.045 > cmd abort 5361000000000000\n"
        "+0.050 < data 40\n"
        "  " + lower_hex(band.data() + 30, 40) + "\n"
        "+0.055 < page-end 7309010000000000 # flag 9 feeder 1\n"
        "+0.060 > write-failed 8 # 3 of them sent\n"
        "+0.065 < timeout 8 0\n"
        "+0.070 > write 010203\n"
        "+0.075 = close\n";
    EXPECT_EQ(read_file(path), expected);

    // A long job: once kMostHeld bytes are held, a call is refused (and the
    // hook writes the held ones out at once).
    const Bytes mib(size_t{1} << 20, 0x5a);
    size_t kept = 0;
    while (kept < 100 && held.add(Kind::Read, 0, mib.data(), mib.size(), mib.size())) ++kept;
    EXPECT_EQ(kept, wire_trace::HeldCalls::kMostHeld / mib.size() - 1);  // each call also holds its header
}

TEST(WireTrace, FilesAreNewPrivateAndNeverFollowALink) {
    TempDir dir;
    set_trace_directory(dir.path());
    const std::string name = dir.file("test_wire_trace-" + std::to_string(getpid()) + "-socket_127.0.0.1");
    // Taken names: a file and a symlink to a file that must stay as it is.
    ASSERT_TRUE(write_file(name + ".trace", {'x'}));
    ASSERT_TRUE(write_file(dir.file("target"), {'y'}));
    ASSERT_EQ(symlink(dir.file("target").c_str(), (name + "-2.trace").c_str()), 0);

    LoopbackPeer scanner([](int& fd, int) {
        peer::read_bytes(fd, 8);
        peer::write_all(fd, peer::reply(0x73));
        peer::wait_closed(fd);
    });
    const Bytes lock = {0x53, 0x6C, 0, 0, 0, 0, 0, 0};
    uint8_t reply[8];
    for (int session = 0; session < 2; ++session) {
        ASSERT_TRUE(Device_Open(net_record(scanner.port())));
        EXPECT_EQ(Device_Write(lock.data(), 8, 6), 8u);
        EXPECT_EQ(Device_Read(reply, 8, 6), 8u);
        Device_Close();
        scanner.wait_idle();
    }
    set_trace_directory("");
    EXPECT_TRUE(wire_trace::wait_written());  // the close hands the file to the writer thread
    EXPECT_EQ(read_file(name + ".trace"), "x");
    EXPECT_EQ(read_file(dir.file("target")), "y");
    // One file for both sessions of the device.
    const std::string session =
        "= open net 127.0.0.1:" + std::to_string(scanner.port()) +
        "\n> cmd lock 536c000000000000\n< status 7300000000000000 # status 0 feeder 0 warm-up 0\n= close\n";
    EXPECT_EQ(untimed(read_file(name + "-3.trace")),
              "orvela-trace 1 test_wire_trace pid " + std::to_string(getpid()) + " device socket://127.0.0.1\n" +
                  session + session);
    struct stat st;
    ASSERT_EQ(stat((name + "-3.trace").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(WireTrace, AnUnwritableDirectoryOrFileOnlyWarns) {
    LogCapture log(LogCapture::Streams::WarningsAndErrors);
    set_trace_directory("/nonexistent/traces");
    LoopbackPeer scanner([](int& fd, int) {
        peer::write_all(fd, peer::reply(0x73));
        peer::wait_closed(fd);
    });
    uint8_t reply[8] = {};
    for (int session = 0; session < 2; ++session) {
        ASSERT_TRUE(Device_Open(net_record(scanner.port())));
        EXPECT_EQ(Device_Read(reply, 8, 6), 8u);
        Device_Close();
        scanner.wait_idle();
    }
    set_trace_directory("");
    EXPECT_EQ(reply[0], 0x73);
    EXPECT_EQ(log.count("WARN: "), 1u) << log.text();
    EXPECT_TRUE(log.contains("no file can be created in /nonexistent/traces")) << log.text();

    // A file that refuses data: one warning, then nothing more is tried.
    log.clear();
    wire_trace::TraceOutput out;
    ASSERT_TRUE(out.attach(open("/dev/full", O_WRONLY | O_CLOEXEC), "/dev/full"));
    out.put("event\n");
    EXPECT_FALSE(out.flush());
    EXPECT_TRUE(out.failed());
    out.put("more\n");
    EXPECT_EQ(out.reserve(1), nullptr);
    out.close();
    EXPECT_EQ(log.count("WARN: "), 1u) << log.text();
    EXPECT_TRUE(log.contains("Wire trace /dev/full: cannot be written")) << log.text();
}

TEST(WireTrace, NamesAreSafeAndSearchFilesAreNeverReplaced) {
    EXPECT_EQ(wire_trace::file_name_part("usb://5E5A:1001:AB/../c d"), "usb_5E5A_1001_AB_.._c_d");
    EXPECT_EQ(wire_trace::file_name_part(".hidden"), "_.hidden");
    EXPECT_EQ(wire_trace::file_name_part(""), "_");
    EXPECT_EQ(wire_trace::file_name_part("abcdef", 4), "abcd");
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("taken"), {'x'}));
    std::string why;
    EXPECT_FALSE(wire_trace::trace_searches_to(dir.file("taken").c_str(), &why));
    EXPECT_EQ(why, "the file exists already");
    EXPECT_EQ(read_file(dir.file("taken")), "x");
}
