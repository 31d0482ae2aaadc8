// The command protocol over a loopback connection to a scripted device: the
// exact bytes of every command, the reply translations, time-outs, the unlock
// retries, the page-stream headers and the abort drain.
#include <gtest/gtest.h>

#include <cstring>

#include "backend/device.h"
#include "backend/net_transport.h"
#include "protocol/scanner.h"
#include "protocol/wire_format.h"
#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/loopback_peer.h"

using orvela_protocol::PageHeader;

namespace {

std::vector<uint8_t> command(uint8_t id) { return {0x53, id, 0, 0, 0, 0, 0, 0}; }

// A device that answers each 8-byte command it reads with the next scripted
// reply (an empty reply sends nothing) and records what it read.
struct ScriptedDevice {
    std::vector<std::vector<uint8_t>> replies;
    std::vector<std::vector<uint8_t>> received;
    std::vector<uint8_t> after;  // sent after the last reply
    std::unique_ptr<LoopbackPeer> server;

    void start() {
        server = std::make_unique<LoopbackPeer>([this](int& fd, int) {
            for (const auto& r : replies) {
                auto cmd = peer::read_bytes(fd, 8);
                if (cmd.empty()) return;
                received.push_back(cmd);
                if (!r.empty()) peer::write_all(fd, r);
            }
            if (!after.empty()) peer::write_all(fd, after);
            peer::wait_closed(fd, 20000);
        });
        ASSERT_TRUE(scanner_open(net_record(server->port())));
    }
    void finish() {
        scanner_close();
        server->wait_idle();
    }
};

struct Protocol : ::testing::Test {
    void TearDown() override { TCP_Close(); }
};

}  // namespace

TEST(StatusReply, FeederByteOverridesStatusAndIdentifier) {
    auto reply = [](uint8_t id, uint8_t status, uint8_t adf) {
        StatusRsp r{};
        r.cmdID = id;
        r.status = status;
        r.ADFStatus = adf;
        return orvela_protocol::decode_status_reply(r);
    };
    EXPECT_EQ(reply(0x73, 0, 0), STATUS_OK);
    EXPECT_EQ(reply(0x73, 3, 1), STATUS_WARMINGUP);
    EXPECT_EQ(reply(0x73, 43, 0), STATUS_INCOMPLETEFLASHDATA);
    EXPECT_EQ(reply(0x73, 0, 0x0F), STATUS_Error_ADF_Jam);
    EXPECT_EQ(reply(0x73, 2, 0x0E), STATUS_Error_ADF_CoverOpen);
    EXPECT_EQ(reply(0x64, 0, 0), STATUS_ERROR);
    EXPECT_EQ(reply(0x00, 0, 0x0F), STATUS_Error_ADF_Jam);
    EXPECT_EQ(reply(0x00, 0, 0x0E), STATUS_Error_ADF_CoverOpen);
}

TEST_F(Protocol, LockSendsItsCommandAndTranslatesEachReply) {
    ScriptedDevice dev;
    dev.replies = {peer::reply(0x73, 0), peer::reply(0x73, 2),       peer::reply(0x73, 3, 0, 42),
                   peer::reply(0x73, 0, 0x0F), peer::reply(0x73, 0, 0x0E), peer::reply(0x41, 0),
                   peer::reply(0x73, 4)};
    dev.start();
    EXPECT_EQ(scanner_lock(), STATUS_OK);
    EXPECT_EQ(scanner_lock(), STATUS_USEWITHOUTLOCK);
    EXPECT_EQ(scanner_lock(), STATUS_WARMINGUP);
    EXPECT_EQ(scanner_lock(), STATUS_Error_ADF_Jam);
    EXPECT_EQ(scanner_lock(), STATUS_Error_ADF_CoverOpen);
    EXPECT_EQ(scanner_lock(), STATUS_ERROR);
    EXPECT_EQ(scanner_lock(), STATUS_POWEREDOFF);
    dev.finish();
    ASSERT_EQ(dev.received.size(), 7u);
    for (const auto& c : dev.received) EXPECT_EQ(c, command(0x6C));
}

TEST_F(Protocol, MissingOrShortRepliesAreTimeOutsAndUnwritableCommandsToo) {
    TestClock clock(500);
    ScriptedDevice dev;
    dev.replies = {{}, {0x73, 0, 0}};  // no reply; then only 3 of 8 bytes
    dev.start();
    for (int i = 0; i < 2; ++i) {  // each after its 6-second reply time-out
        const int64_t waited = TestClock::elapsed_ms([] { EXPECT_EQ(scanner_lock(), STATUS_Timeout); });
        EXPECT_GE(waited, 6000) << i;
        EXPECT_LE(waited, 9000) << i;  // and the clock's readings around it, 500 ms each
    }
    dev.finish();
    // With no connection nothing can be written.
    EXPECT_EQ(scanner_lock(), STATUS_Timeout);
    EXPECT_EQ(scanner_unlock(), STATUS_Timeout);
    SCANINFO info{};
    EXPECT_EQ(scanner_set_parameters(info), STATUS_Timeout);
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EXIST);
    EXPECT_FALSE(scanner_abort());
    EXPECT_TRUE(TestClock::pauses().empty());  // an unwritable unlock is not retried
}

TEST_F(Protocol, UnlockRetriesThreeTimesFiftyMillisecondsApart) {
    TestClock clock;
    ScriptedDevice dev;
    dev.replies = {peer::reply(0x73, 5), peer::reply(0x73, 5), peer::reply(0x73, 5)};
    dev.start();
    EXPECT_EQ(scanner_unlock(), STATUS_COPYNOTLOCKED);
    dev.finish();
    ASSERT_EQ(dev.received.size(), 3u);
    for (const auto& c : dev.received) EXPECT_EQ(c, command(0x75));
    EXPECT_EQ(TestClock::pauses(), (std::vector<uint32_t>{50000, 50000, 50000}));
}

TEST_F(Protocol, UnlockStopsAtSuccessJamOrCoverOpen) {
    TestClock clock;
    ScriptedDevice dev;
    dev.replies = {peer::reply(0x73, 1), peer::reply(0x73, 0),                              // retried once, then OK
                   peer::reply(0x73, 0, 0x0F),                                              // jam: at once
                   peer::reply(0x73, 9), peer::reply(0x73, 0, 0x0E)};                       // cover open on retry
    dev.start();
    EXPECT_EQ(scanner_unlock(), STATUS_OK);
    EXPECT_EQ(TestClock::pauses().size(), 1u);
    EXPECT_EQ(scanner_unlock(), STATUS_Error_ADF_Jam);
    EXPECT_EQ(TestClock::pauses().size(), 1u);
    EXPECT_EQ(scanner_unlock(), STATUS_Error_ADF_CoverOpen);
    EXPECT_EQ(TestClock::pauses().size(), 2u);
    dev.finish();
    EXPECT_EQ(dev.received.size(), 5u);
}

TEST_F(Protocol, FeederQueryReadsEveryFailureAsPaperPresent) {
    TestClock clock(1000);
    ScriptedDevice dev;
    dev.replies = {peer::reply(0x73, 0, 0), peer::reply(0x73, 0, 14), peer::reply(0x73, 0, 7),
                   peer::reply(0x73, 1, 0), peer::reply(0x61, 0, 0), {}};
    dev.start();
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EMPTY);
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_COVER_OPEN);
    EXPECT_EQ(static_cast<int>(scanner_get_adf_status()), 7);  // passed through unchanged
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EXIST);  // status 1
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EXIST);  // wrong identifier
    EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EXIST);  // no reply within 30 s
    dev.finish();
    ASSERT_EQ(dev.received.size(), 6u);
    for (const auto& c : dev.received) EXPECT_EQ(c, command(0x66));
}

TEST_F(Protocol, ScanParametersGoOutAsOne168ByteCommand) {
    std::vector<uint8_t> got;
    LoopbackPeer server([&](int& fd, int) {
        got = peer::read_bytes(fd, 168);
        peer::write_all(fd, peer::reply(0x73, 0));
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(scanner_open(net_record(server.port())));
    SCANINFO info;
    const std::vector<uint8_t> pattern = peer::pattern(sizeof info, 11);
    memcpy(&info, pattern.data(), sizeof info);
    const auto encoded = orvela_wire::encode_scan_info(info);
    const std::vector<uint8_t> block(encoded.begin(), encoded.end());
    EXPECT_EQ(scanner_set_parameters(info), STATUS_OK);
    scanner_close();
    server.wait_idle();
    ASSERT_EQ(got.size(), 168u);
    EXPECT_EQ(hex(std::vector<uint8_t>(got.begin(), got.begin() + 8)), "53 69 00 00 00 00 00 00");
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 8, got.end()), block);
    EXPECT_TRUE(scanner_start());
    EXPECT_TRUE(scanner_stop());
}

TEST_F(Protocol, PageStreamHeadersFillOnlyWhatTheyCarry) {
    const auto band = peer::pattern(1000, 12);
    ScriptedDevice dev;
    dev.replies = {};
    dev.after = peer::reply(0x64, 0xAA, 0xBB, 0xCC, 1000);
    dev.after.insert(dev.after.end(), band.begin(), band.end());
    for (uint8_t b : peer::reply(0x7A, 1, 2, 3, 99)) dev.after.push_back(b);     // unknown identifier
    for (uint8_t b : peer::reply(0x73, 9, 1, 0, 77)) dev.after.push_back(b);     // end, stopped, paper
    for (uint8_t b : peer::reply(0x64, 0, 0, 0, 0x80000000u)) dev.after.push_back(b);
    dev.start();

    ScanStatus st{};
    ASSERT_TRUE(scanner_get_scan_status(&st));
    EXPECT_EQ(st.status, ScanStatus_Scanning);
    EXPECT_EQ(st.data_size, 1000);
    EXPECT_EQ(st.adfStatus, 0);
    EXPECT_EQ(st.error_code, 0);
    std::vector<uint8_t> got(1000);
    EXPECT_EQ(scanner_get_scan_data(got.data(), 1000), 1000u);
    EXPECT_EQ(got, band);

    ASSERT_TRUE(scanner_get_scan_status(&st));  // unknown: nothing changes
    EXPECT_EQ(st.status, ScanStatus_Scanning);
    EXPECT_EQ(st.data_size, 1000);

    ASSERT_TRUE(scanner_get_scan_status(&st));
    EXPECT_EQ(st.status, ScanStatus_End);
    EXPECT_EQ(st.adfStatus, STATUS_ADF_PAPER_EXIST);
    EXPECT_EQ(st.error_code, STATUS_SCANSTOPPED);
    EXPECT_EQ(st.data_size, 1000);  // not carried by an end header

    ASSERT_TRUE(scanner_get_scan_status(&st));
    EXPECT_LT(st.data_size, 0);  // a size beyond the int range reads negative

    // Nothing more: false, record untouched.
    ScanStatus before = st;
    EXPECT_FALSE(scanner_get_scan_status_time(&st, 1));
    EXPECT_EQ(memcmp(&before, &st, sizeof st), 0);
    EXPECT_FALSE(scanner_get_scan_status(nullptr));
    EXPECT_EQ(scanner_get_scan_data(got.data(), 0), 0u);
    EXPECT_EQ(scanner_get_scan_data(nullptr, 10), 0u);
    dev.finish();
}

TEST_F(Protocol, ABandCutShortByTheDeviceIsAFailedRead) {
    LoopbackPeer server([&](int& fd, int) {
        peer::write_all(fd, peer::pattern(600, 13));  // 600 of the 1000 bytes, then gone
        shutdown(fd, SHUT_WR);
        peer::wait_closed(fd);
    });
    TestClock clock;
    ASSERT_TRUE(scanner_open(net_record(server.port())));
    std::vector<uint8_t> got(1000);
    // Ended by the close, well before the 30-second time-out.
    EXPECT_LT(TestClock::elapsed_ms([&] { EXPECT_EQ(scanner_get_scan_data(got.data(), 1000), 0u); }), 10000);
    scanner_close();
}

TEST_F(Protocol, AbortDrainsTheRestOfThePageInPiecesAndLeavesTheStreamInStep) {
    // Bands larger than the 32 KiB drain buffer, then the end of the page, then
    // a reply that must still be read in step.
    std::vector<uint8_t> abort_cmd;
    LoopbackPeer server([&](int& fd, int) {
        abort_cmd = peer::read_bytes(fd, 8);
        for (uint32_t size : {100000u, 32768u, 1u, 70000u}) {
            peer::write_all(fd, peer::reply(0x64, 0, 0, 0, size));
            peer::write_all(fd, peer::pattern(size, size));
        }
        peer::write_all(fd, peer::reply(0x73, 9, 0));
        peer::write_all(fd, peer::reply(0x73, 0, 0x01, 0x55));  // the answer to the next command
        peer::wait_closed(fd);
    });
    ASSERT_TRUE(scanner_open(net_record(server.port())));
    EXPECT_TRUE(scanner_abort());
    uint8_t next[8] = {};
    EXPECT_EQ(Device_Read(next, 8, 2), 8u);
    EXPECT_EQ(next[0], 0x73);
    EXPECT_EQ(next[3], 0x55);
    scanner_close();
    server.wait_idle();
    EXPECT_EQ(abort_cmd, command(0x61));
}

TEST_F(Protocol, AbortSucceedsWhateverTheDeviceDoesAfterwards) {
    TestClock clock(500);
    int scenario = 0;
    LoopbackPeer server([&](int& fd, int index) {
        peer::read_bytes(fd, 8);
        if (index == 0) {  // silence
        } else if (index == 1) {  // garbage header: the drain stops at once
            peer::write_all(fd, peer::reply(0x00, 0, 0, 0, 4));
            peer::write_all(fd, peer::reply(0x64, 0, 0, 0, 8));
        } else if (index == 2) {  // a band announced but never sent
            peer::write_all(fd, peer::reply(0x64, 0, 0, 0, 5000));
        } else {  // a zero-size band header ends the drain
            peer::write_all(fd, peer::reply(0x64, 0, 0, 0, 0));
            peer::write_all(fd, peer::reply(0x73, 0, 0, 0x66));
        }
        peer::wait_closed(fd, 20000);
    });
    for (scenario = 0; scenario < 4; ++scenario) {
        ASSERT_TRUE(scanner_open(net_record(server.port())));
        const int64_t took = TestClock::elapsed_ms([&] { EXPECT_TRUE(scanner_abort()) << scenario; });
        // Silence and a band that never comes end at the 8-second drain time-out
        // (with the clock's readings around it, 500 ms each).
        if (scenario == 0 || scenario == 2) {
            EXPECT_GE(took, 8000) << scenario;
            EXPECT_LE(took, 11000) << scenario;
        } else {
            EXPECT_LT(took, 8000) << scenario;
        }
        if (scenario == 1) {
            uint8_t rest[8] = {};
            EXPECT_EQ(Device_Read(rest, 8, 1), 8u);  // the header after the garbage was not swallowed
            EXPECT_EQ(rest[0], 0x64);
        }
        if (scenario == 3) {
            uint8_t rest[8] = {};
            EXPECT_EQ(Device_Read(rest, 8, 1), 8u);
            EXPECT_EQ(rest[3], 0x66);
        }
        scanner_close();
    }
}

TEST_F(Protocol, EachExchangeWaitsItsOwnTimeOut) {
    TestClock clock(500);
    LoopbackPeer server([&](int& fd, int) { peer::wait_closed(fd, 60000); });  // reads, never answers
    ASSERT_TRUE(scanner_open(net_record(server.port())));
    ScanStatus st{};
    uint8_t buf[16];
    const int64_t lock = TestClock::elapsed_ms([] { EXPECT_EQ(scanner_lock(), STATUS_Timeout); });
    const int64_t feeder = TestClock::elapsed_ms([] { EXPECT_EQ(scanner_get_adf_status(), STATUS_ADF_PAPER_EXIST); });
    const int64_t header = TestClock::elapsed_ms([&] { EXPECT_FALSE(scanner_get_scan_status(&st)); });
    const int64_t data = TestClock::elapsed_ms([&] { EXPECT_EQ(scanner_get_scan_data(buf, 16), 0u); });
    const int64_t drain = TestClock::elapsed_ms([] { EXPECT_TRUE(scanner_abort()); });
    scanner_close();
    // Each waits its own time-out, and the clock's readings around it (500 ms each).
    for (const auto& [took, seconds] : {std::pair{lock, 6}, {feeder, 30}, {header, 30}, {data, 30}, {drain, 8}}) {
        EXPECT_GE(took, seconds * 1000) << seconds;
        EXPECT_LE(took, seconds * 1000 + 3000) << seconds;
    }
}
