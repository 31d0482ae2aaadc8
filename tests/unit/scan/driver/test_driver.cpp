// The driver layer against a scripted scanner on loopback: the lock wait of
// Drv_open, the status translations of start, close and cancel, the page pull
// into a file with every way a page can end, and the band pull.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "backend/io_clock.h"
#include "backend/net_transport.h"
#include "core/scan/driver/orvela_drv.h"
#include "protocol/page_pull.h"
#include "protocol/scanner.h"
#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process.h"

using namespace std::chrono;

namespace {

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> band(const std::vector<uint8_t>& data) {
    return peer::reply(0x64, 0, 0, 0, static_cast<uint32_t>(data.size())) + data;
}

std::vector<uint8_t> end_of_page(uint8_t code, uint8_t adf) { return peer::reply(0x73, code, adf); }

struct Response {
    std::vector<uint8_t> bytes;
    bool hang_up = false;  // close the connection after sending
};

// A device that reads commands (8 bytes, 168 for the parameter block), lets
// the test answer each, and records them with their connection number.
class FakeScanner {
public:
    using Answer = std::function<Response(uint8_t id, int connection)>;
    explicit FakeScanner(Answer answer)
        : answer_(std::move(answer)), server_([this](int& fd, int index) { serve(fd, index); }) {}

    int port() const { return server_.port(); }
    int connections() const { return server_.connections(); }
    void stop_listening() { server_.stop_listening(); }
    void wait_idle() { server_.wait_idle(); }
    // "l", "u", ... one letter per command, connections separated by "|".
    std::string commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    std::vector<uint8_t> last_parameters() {
        std::lock_guard<std::mutex> lock(mutex_);
        return parameters_;
    }

private:
    void serve(int& fd, int index) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (index > 0) commands_ += "|";
        }
        for (;;) {
            std::vector<uint8_t> cmd = peer::read_bytes(fd, 8, 60000);
            if (cmd.empty()) return;
            if (cmd[1] == 0x69) {
                auto block = peer::read_bytes(fd, 160);
                std::lock_guard<std::mutex> lock(mutex_);
                parameters_ = cmd + block;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_ += static_cast<char>(cmd[0] == 0x53 ? cmd[1] : '?');
            }
            const Response r = answer_(cmd[1], index);
            if (!r.bytes.empty() && !peer::write_all(fd, r.bytes)) return;
            if (r.hang_up) return;
        }
    }

    Answer answer_;
    std::mutex mutex_;
    std::string commands_;
    std::vector<uint8_t> parameters_;
    LoopbackPeer server_;
};

// Any command: the fake scanner answers it with the page stream under test.
void trigger() {
    const uint8_t cmd[8] = {0x53, 0x78, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(TCP_Write(cmd, 8, 1), 8u);
}

struct Driver : ::testing::Test {
    TempDir dir;
    std::string page = dir.file("page.jpg");
    void TearDown() override { TCP_Close(); }
};

}  // namespace

TEST_F(Driver, OpenWaitsOutABusyOrWarmingUpScannerWithAFreshConnectionEachTime) {
    TestClock clock;
    FakeScanner scanner([](uint8_t id, int connection) {  // busy twice, then warming up three times
        if (id == 0x6C) return Response{peer::reply(0x73, connection < 2 ? 2 : connection < 5 ? 3 : 0, 0, 20)};
        return Response{peer::reply(0x73, 0)};
    });
    EXPECT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
    EXPECT_EQ(TestClock::pauses(), std::vector<uint32_t>(5, 2000000));
    EXPECT_EQ(scanner.connections(), 6);
    EXPECT_NE(orvela_net::mSocket, -1);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    EXPECT_EQ(orvela_net::mSocket, -1);
    scanner.wait_idle();
    EXPECT_EQ(scanner.commands(), "l|l|l|l|l|lu");  // each wait preceded by a close
}

TEST_F(Driver, OpenThatStaysBusyGivesUpAfterThirtyAttemptsWithTheConnectionClosed) {
    TestClock clock;
    FakeScanner scanner([](uint8_t, int) { return Response{peer::reply(0x73, 2)}; });
    EXPECT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_DEVICE_BUSY);
    EXPECT_EQ(TestClock::pauses().size(), 30u);
    EXPECT_EQ(scanner.connections(), 31);
    EXPECT_EQ(orvela_net::mSocket, -1);
}

TEST_F(Driver, OpenCountsFailedReopensAsAttempts) {
    static FakeScanner* current = nullptr;
    static int sleeps = 0;
    FakeScanner scanner([](uint8_t, int) { return Response{peer::reply(0x73, 3)}; });
    current = &scanner;
    sleeps = 0;
    // The scanner vanishes during the first wait: every re-open fails.
    orvela_sleep_hook = [](uint32_t) {
        if (sleeps++ == 0) current->stop_listening();
    };
    const SCAN_Status status = Drv_open(net_record(scanner.port()));
    orvela_sleep_hook = nullptr;
    EXPECT_EQ(status, SCAN_STATUS_DEVICE_BUSY);
    EXPECT_EQ(sleeps, 30);
    EXPECT_EQ(scanner.connections(), 1);
    EXPECT_EQ(orvela_net::mSocket, -1);
}

TEST_F(Driver, OpenTranslatesOtherLockAnswersAtOnce) {
    TestClock clock(500);
    struct Case {
        uint8_t status, adf;
        bool answer;
        SCAN_Status expected;
    };
    const Case cases[] = {{4, 0, true, SCAN_STATUS_DEVICE_BUSY},  {15, 0, true, SCAN_STATUS_DEVICE_BUSY},
                          {0, 0x0F, true, SCAN_STATUS_JAMMED},    {0, 0x0E, true, SCAN_STATUS_COVER_OPEN},
                          {9, 0, true, SCAN_STATUS_GOOD},         {8, 0, true, SCAN_STATUS_GOOD},
                          {0, 0, false, SCAN_STATUS_DEVICE_BUSY}};  // no answer within 6 s
    for (const Case& c : cases) {
        FakeScanner scanner([&](uint8_t, int) { return Response{c.answer ? peer::reply(0x73, c.status, c.adf) : std::vector<uint8_t>{}}; });
        EXPECT_EQ(Drv_open(net_record(scanner.port())), c.expected) << int(c.status) << "/" << int(c.adf);
        EXPECT_TRUE(TestClock::pauses().empty());
        EXPECT_EQ(scanner.connections(), 1);
        TCP_Close();
    }
    EXPECT_EQ(Drv_open(net_record(0)), SCAN_STATUS_ACCESS_DENIED);
}

TEST_F(Driver, CloseAndCancelTranslateTheUnlockDifferentlyAndAlwaysDisconnect) {
    for (bool cancel : {false, true}) {
        FakeScanner scanner([](uint8_t id, int) {
            if (id == 0x6C) return Response{peer::reply(0x73, 0)};
            if (id == 0x61) return Response{end_of_page(9, 0)};
            return Response{peer::reply(0x73, 9)};  // unlock: scan stopped
        });
        TestClock clock;
        ASSERT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
        EXPECT_EQ(cancel ? Drv_cancel() : Drv_close(), cancel ? SCAN_STATUS_GOOD : SCAN_STATUS_CANCELLED);
        EXPECT_EQ(orvela_net::mSocket, -1);
        scanner.wait_idle();
        EXPECT_EQ(scanner.commands(), cancel ? "lauuu" : "luuu");  // unlock tried three times
    }
    // Busy unlock: busy for close, good for cancel; jam for both.
    for (bool cancel : {false, true}) {
        for (uint8_t adf : {uint8_t{0}, uint8_t{0x0F}}) {
            FakeScanner scanner([adf](uint8_t id, int) {
                if (id == 0x6C) return Response{peer::reply(0x73, 0)};
                if (id == 0x61) return Response{end_of_page(9, 0)};
                return Response{peer::reply(0x73, 2, adf)};
            });
            TestClock clock;
            ASSERT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
            const SCAN_Status expected =
                adf ? SCAN_STATUS_JAMMED : (cancel ? SCAN_STATUS_GOOD : SCAN_STATUS_DEVICE_BUSY);
            EXPECT_EQ(cancel ? Drv_cancel() : Drv_close(), expected) << cancel << " " << int(adf);
        }
    }
    // Nothing to abort on: good, and no unlock is tried.
    EXPECT_EQ(Drv_cancel(), SCAN_STATUS_GOOD);
}

TEST_F(Driver, StartSendsTheParameterBlockAndTranslatesTheAnswer) {
    const std::pair<uint8_t, SCAN_Status> cases[] = {
        {0, SCAN_STATUS_GOOD},        {2, SCAN_STATUS_DEVICE_BUSY}, {4, SCAN_STATUS_DEVICE_BUSY},
        {15, SCAN_STATUS_DEVICE_BUSY}, {9, SCAN_STATUS_CANCELLED},  {14, SCAN_STATUS_GOOD}};
    size_t next = 0;
    FakeScanner scanner([&](uint8_t id, int) {
        if (id == 0x69) return Response{peer::reply(0x73, cases[next].first)};
        return Response{peer::reply(0x73, 0)};
    });
    ASSERT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
    ORVELA_ScanParam p{};
    p.ScanColor = Color;
    p.ScanSource = ScanSource_ADF;
    p.xResolution = p.yResolution = 300;
    p.widthPixel = 2550;
    p.heightPixel = 3300;
    for (next = 0; next < std::size(cases); ++next) EXPECT_EQ(Drv_start(p), cases[next].second) << next;
    const auto block = scanner.last_parameters();
    ASSERT_EQ(block.size(), 168u);
    EXPECT_EQ(block[1], 0x69);
    EXPECT_EQ(block[8], 1);                    // feeder
    EXPECT_EQ(block[8 + 24], 0xB0);            // bed height 14000 = 0x36B0
    EXPECT_EQ(block[8 + 72], 4);               // colour
    EXPECT_EQ(block[8 + 104] | block[8 + 105] << 8, 2550);
}

TEST_F(Driver, Scan2FileWritesExactlyTheBandsBytesIncludingBandsLargerThanItsBuffer) {
    const auto a = peer::pattern(1000, 1), b = peer::pattern(200000, 2), c = peer::pattern(65536, 3);
    FakeScanner scanner([&](uint8_t id, int) {
        if (id == 0x69)
            return Response{peer::reply(0x73, 0) + band(a) + peer::reply(0x64, 0, 0, 0, 0) + band(b) + band(c) +
                            end_of_page(0, 1)};
        return Response{peer::reply(0x73, 0)};
    });
    ASSERT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
    ORVELA_ScanParam p{};
    ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
    bool cancel = false;
    const SCAN_RESULT r = Drv_scan2File(page.c_str(), &cancel);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.adf_status, STATUS_ADF_PAPER_EXIST);
    EXPECT_EQ(read_file_bytes(page), a + b + c);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
}

TEST_F(Driver, Scan2FileReportsHowThePageEnded) {
    struct Case {
        std::vector<uint8_t> stream;
        SCAN_Status status;
        STATUS_ADF adf;
        size_t file_size;
    };
    const auto data = peer::pattern(5000, 4);
    const Case cases[] = {
        {end_of_page(0, 0), SCAN_STATUS_GOOD, STATUS_ADF_PAPER_EMPTY, 0},                   // no data at all
        {band(data) + end_of_page(9, 0xC8), SCAN_STATUS_CANCELLED, STATUS_ADF_PAPER_EMPTY, 5000},  // stopped on the device
        {band(data) + end_of_page(5, 1), SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY, 5000},   // device error
        // Codes and feeder bytes beyond the named ones (found by fuzz_page_stream):
        // a clean end passes the device's byte through unchanged.
        {band(data) + peer::reply(0x73, 0xFF, 0xFF, 0xFF, 0xFFFFFFFFu), SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY,
         5000},
        {band(data) + end_of_page(0x80, 1), SCAN_STATUS_IO_ERROR, STATUS_ADF_PAPER_EMPTY, 5000},
        {band(data) + end_of_page(0, 0xEE), SCAN_STATUS_GOOD, static_cast<STATUS_ADF>(0xEE), 5000},
        // A header that is neither data nor end, and a data header of 0 bytes
        // or fewer (as an int), are polls that carry nothing.
        {band(data) + peer::reply(0x00, 0, 0, 0, 0) + band(data) + end_of_page(0, 1), SCAN_STATUS_GOOD,
         STATUS_ADF_PAPER_EXIST, 10000},
        {peer::reply(0x64, 0, 0, 0, 0x80000000u) + peer::reply(0x64, 0, 0, 0, 0) + band(data) + end_of_page(0, 0),
         SCAN_STATUS_GOOD, STATUS_ADF_PAPER_EMPTY, 5000},
        // A band beyond 256 MiB means the stream is out of step.
        {band(data) + peer::reply(0x64, 0, 0, 0, orvela_protocol::kMaxBandSize + 1) + data, SCAN_STATUS_IO_ERROR,
         STATUS_ADF_PAPER_EMPTY, 5000},
    };
    TestClock clock;
    for (const Case& c : cases) {
        FakeScanner scanner([&](uint8_t id, int) { return Response{id == 0x61 ? end_of_page(9, 0) : c.stream}; });
        ASSERT_TRUE(scanner_open(net_record(scanner.port())));
        trigger();
        bool cancel = false;
        SCAN_RESULT r{};
        // Ended by the stream, before any 30-second time-out.
        EXPECT_LT(TestClock::elapsed_ms([&] { r = Drv_scan2File(page.c_str(), &cancel); }), 30000);
        EXPECT_EQ(r.scan_status, c.status) << hex(std::vector<uint8_t>(c.stream.begin(), c.stream.begin() + 8));
        EXPECT_EQ(r.adf_status, c.adf);
        EXPECT_EQ(read_file_bytes(page).size(), c.file_size);
        scanner_close();
    }
}

TEST_F(Driver, Scan2FileFailsCleanlyWhenThePeerStallsClosesOrTheFileCannotBeMade) {
    constexpr int64_t kStep = 500;
    TestClock clock(kStep);  // every reading of the clock adds a step
    const auto data = peer::pattern(3000, 5);
    int scenario = 0;
    FakeScanner scanner([&](uint8_t, int) {
        if (scenario == 0) return Response{band(data)};                        // then silence
        if (scenario == 1) return Response{band(data) + peer::reply(0x64, 0, 0, 0, 5000) + data, true};  // cut mid-band
        return Response{band(data) + end_of_page(0, 1)};
    });
    for (scenario = 0; scenario < 2; ++scenario) {
        ASSERT_TRUE(scanner_open(net_record(scanner.port())));
        trigger();
        SCAN_RESULT r{};
        const int64_t took = TestClock::elapsed_ms([&] { r = Drv_scan2File(page.c_str(), nullptr); });
        if (scenario == 0) {  // the 30-second header time-out, then the abort's 8-second drain time-out
            EXPECT_GE(took, 38000);
            EXPECT_LE(took, 38000 + 16 * kStep);
        } else {  // at the close
            EXPECT_LT(took, 30000);
        }
        EXPECT_EQ(r.scan_status, SCAN_STATUS_IO_ERROR) << scenario;
        EXPECT_EQ(r.adf_status, 0);
        EXPECT_EQ(read_file_bytes(page), data) << scenario;  // the bands that arrived whole stay in the file
        scanner_close();
    }
    // Polls that carry nothing, one every 10 ms, do not keep a page alive past
    // the header time-out: the pull ends at it while they still come.
    std::atomic<int> polls{0};
    LoopbackPeer polling([&](int& fd, int) {
        peer::read_bytes(fd, 8);
        peer::write_all(fd, band(data));
        for (; polls < 1000; ++polls) {
            if (!peer::write_all(fd, peer::reply(polls % 2 ? 0x51 : 0x64, 0, 0, 0, 0))) return;
            std::this_thread::sleep_for(milliseconds(10));
        }
    });
    ASSERT_TRUE(scanner_open(net_record(polling.port())));
    trigger();
    const int64_t took = TestClock::elapsed_ms(
        [&] { EXPECT_EQ(Drv_scan2File(page.c_str(), nullptr).scan_status, SCAN_STATUS_IO_ERROR); });
    EXPECT_GE(took, 30000);
    EXPECT_LE(took, 30000 + 16 * kStep);
    EXPECT_LT(polls.load(), 1000);
    EXPECT_EQ(read_file_bytes(page), data);
    scanner_close();

    const std::string missing = dir.file("no/such/dir/page.jpg");
    EXPECT_EQ(Drv_scan2File(missing.c_str(), nullptr).scan_status, SCAN_STATUS_IO_ERROR);

    // A page file path that is a symbolic link is never followed.
    const std::string target = dir.file("precious"), link = dir.file("linked.jpg");
    FILE* f = fopen(target.c_str(), "w");
    fputs("keep", f);
    fclose(f);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(Drv_scan2File(link.c_str(), nullptr).scan_status, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(read_file_bytes(target), std::vector<uint8_t>({'k', 'e', 'e', 'p'}));

    // A page file that cannot take the first piece of a band larger than the
    // band buffer (a full disk): the abort's drain starts with the rest of
    // that band, so the unlock after it gets its own reply.
    const auto big = peer::pattern(100000, 7);
    FakeScanner full_disk([&](uint8_t id, int) {
        if (id == 0x61) return Response{};  // the abort: the page is on its way already
        if (id == 0x75) return Response{peer::reply(0x73, 0)};
        return Response{band(big) + end_of_page(0, 1)};
    });
    ASSERT_TRUE(scanner_open(net_record(full_disk.port())));
    trigger();
    EXPECT_EQ(Drv_scan2File("/dev/full", nullptr).scan_status, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(scanner_unlock(), STATUS_OK);
    scanner_close();
    full_disk.wait_idle();
    EXPECT_EQ(full_disk.commands(), "xau");
}

TEST_F(Driver, Scan2FileStopsAtTheNextHeaderOnceCancelled) {
    const auto data = peer::pattern(2000, 6);
    FakeScanner scanner([&](uint8_t, int) { return Response{band(data) + band(data) + end_of_page(0, 1)}; });
    ASSERT_TRUE(scanner_open(net_record(scanner.port())));
    trigger();
    bool cancel = true;
    SCAN_RESULT r = Drv_scan2File(page.c_str(), &cancel);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_CANCELLED);
    EXPECT_EQ(r.adf_status, 0);
    EXPECT_TRUE(read_file_bytes(page).empty());
    // Nothing was consumed: the page is still there to be pulled.
    cancel = false;
    r = Drv_scan2File(page.c_str(), &cancel);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(read_file_bytes(page), data + data);
    scanner_close();
}

// The streaming path's pull, cancelled while it waits inside a header or a
// band: the drain after the abort starts with the rest of that record, so
// the unlock gets its own reply.
TEST_F(Driver, CancelledPullDrainsFromInsideTheRecord) {
    const std::vector<uint8_t> stream = band(peer::pattern(5000, 11)) + end_of_page(9, 0);
    for (size_t split : {size_t{3}, size_t{8 + 3000}}) {
        SCOPED_TRACE(split);
        std::vector<uint8_t> commands;
        LoopbackPeer scanner([&](int& fd, int) {
            peer::write_all(fd, stream.data(), split);
            commands = peer::read_bytes(fd, 8);  // the abort
            peer::write_all(fd, stream.data() + split, stream.size() - split);
            commands = commands + peer::read_bytes(fd, 8);  // the unlock
            peer::write_all(fd, peer::reply(0x73, 0));
            peer::wait_closed(fd);
        });
        ASSERT_TRUE(scanner_open(net_record(scanner.port())));
        bool cancel = false;
        orvela_protocol::PagePull pull(&cancel);
        std::thread canceller([&] {
            std::this_thread::sleep_for(milliseconds(150));
            __atomic_store_n(&cancel, true, __ATOMIC_RELEASE);
        });
        std::vector<uint8_t> buffer(65536);
        size_t got = 0;
        EXPECT_EQ(pull.pull(buffer.data(), buffer.size(), &got), orvela_protocol::PagePull::Result::Cancelled);
        canceller.join();
        EXPECT_TRUE(pull.inside_record());
        EXPECT_EQ(orvela_drv::cancel_page(&pull), SCAN_STATUS_GOOD);
        scanner.wait_idle();
        EXPECT_EQ(commands, peer::reply(0x53, 0x61) + peer::reply(0x53, 0x75));
    }
}

TEST_F(Driver, ScanBandReturnsOneBandAtATimeAndNeverWritesPastItsBuffer) {
    const auto small = peer::pattern(4000, 7), full = peer::pattern(65536, 8), big = peer::pattern(65537, 9);
    FakeScanner scanner([&](uint8_t, int) {
        return Response{band(small) + band(full) + band(big) + peer::reply(0x64, 0, 0, 0, 0) + end_of_page(5, 1)};
    });
    ASSERT_TRUE(scanner_open(net_record(scanner.port())));
    trigger();
    std::vector<uint8_t> buffer(65536 + 64, 0xEE);
    size_t size = 99;

    SCAN_RESULT r = Drv_scanBand(buffer.data(), &size);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(size, small.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4000), small);

    r = Drv_scanBand(buffer.data(), &size);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(size, full.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 65536), full);

    r = Drv_scanBand(buffer.data(), &size);  // one byte too many: drained, refused
    EXPECT_EQ(r.scan_status, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 65536, buffer.end()), std::vector<uint8_t>(64, 0xEE));

    r = Drv_scanBand(buffer.data(), &size);  // a band of 0 bytes
    EXPECT_EQ(r.scan_status, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(size, 0u);

    r = Drv_scanBand(buffer.data(), &size);  // still in step: the end of the page
    EXPECT_EQ(r.scan_status, SCAN_STATUS_EOF);
    EXPECT_EQ(r.adf_status, STATUS_ADF_PAPER_EXIST);
    EXPECT_EQ(size, 0u);
    scanner_close();

    EXPECT_EQ(Drv_scanBand(nullptr, &size).scan_status, SCAN_STATUS_IO_ERROR);
}

TEST_F(Driver, FeederStatusAndTheInertOperations) {
    FakeScanner scanner([](uint8_t id, int) {
        return Response{id == 0x66 ? peer::reply(0x73, 0, 0x0F) : peer::reply(0x73, 0)};
    });
    ASSERT_EQ(Drv_open(net_record(scanner.port())), SCAN_STATUS_GOOD);
    EXPECT_EQ(Drv_get_adf_status(), STATUS_ADF_JAM);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    scanner.wait_idle();
    EXPECT_EQ(scanner.commands(), "lfu");

    EXPECT_EQ(Drv_get_parameters(nullptr), SCAN_STATUS_GOOD);
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(Drv_read(buf, 4), SCAN_STATUS_GOOD);
    EXPECT_EQ(buf[0], 1);
    int code = 1234;
    Drv_get_backend_error_code(&code);
    EXPECT_EQ(code, 1234);
}
