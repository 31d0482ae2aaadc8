// Whole jobs through the driver layer against the simulated scanner on
// loopback: a page pulled into a file equals the JPEG the scanner made, feeder
// jobs sheet by sheet, a jam, cancel, and a connection that stalls or drops in
// the middle of a page. (The lock's waits and answers: test_driver.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "backend/net_transport.h"
#include "core/scan/driver/orvela_drv.h"
#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/process.h"
#include "tools/scanner_sim/page_image.h"
#include "tools/scanner_sim/sim_tcp_server.h"

using namespace std::chrono;
using namespace orvela_sim;

namespace {

struct SimDriver : ::testing::Test {
    TcpScannerServer server;
    TempDir dir;
    std::string page = dir.file("tmpscan.jpg");

    void start(const SimScript& script) {
        server.model().set_script(script);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
    }
    ORVELA_Scanner device() const { return net_record(server.port()); }
    void TearDown() override { TCP_Close(); }

    std::string command_ids() const {
        std::string out;
        for (const auto& c : const_cast<TcpScannerServer&>(server).model().commands()) out += static_cast<char>(c.id);
        return out;
    }
    std::vector<uint8_t> file() const { return read_file_bytes(page); }
};

ORVELA_ScanParam request(int source, int colour, unsigned dpi, unsigned left, unsigned top, unsigned w, unsigned h) {
    ORVELA_ScanParam p{};
    p.ScanSource = source;
    p.ScanColor = colour;
    p.xResolution = p.yResolution = dpi;
    p.Left = left;
    p.Top = top;
    p.widthPixel = w;
    p.heightPixel = h;
    return p;
}

std::vector<uint8_t> expected_jpeg(const ORVELA_ScanParam& p) {
    PageRequest r;
    r.xres = p.xResolution;
    r.yres = p.yResolution;
    r.x = p.Left;
    r.y = p.Top;
    r.width = p.widthPixel;
    r.height = p.heightPixel;
    r.channels = (p.ScanColor == Grayscale || p.ScanColor == Black_White) ? 1 : 3;
    auto jpeg = render_page_jpeg(r);
    return jpeg ? *jpeg : std::vector<uint8_t>{};
}

}  // namespace

TEST_F(SimDriver, FlatbedPageInTheFileIsExactlyTheScannersJpeg) {
    SimScript script;
    script.band_pattern = {1, 100000, 65536, 65537, 7, 40000};  // tiny bands and bands beyond the 64 KiB buffer
    start(script);
    const ORVELA_ScanParam p = request(ScanSource_Flatbed, Color, 300, 150, 300, 1200, 1500);
    ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
    bool cancel = false;
    const SCAN_RESULT r = Drv_scan2File(page.c_str(), &cancel);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(r.adf_status, STATUS_ADF_PAPER_EMPTY);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    const auto expected = expected_jpeg(p);
    ASSERT_GT(expected.size(), 200000u);
    EXPECT_EQ(file(), expected);
    EXPECT_EQ(command_ids(), "liu");
    EXPECT_FALSE(server.model().locked());

    // What the scanner decoded from the parameter block.
    const auto commands = server.model().commands();
    ASSERT_TRUE(commands[1].info.has_value());
    const ScanInfo& info = *commands[1].info;
    EXPECT_EQ(info.nScanSrc, 0u);
    EXPECT_EQ(info.nDataType, 4u);
    EXPECT_EQ(info.nXPosition, 150u);
    EXPECT_EQ(info.nYExtent, 1500u);
    EXPECT_EQ(info.nWidthInBytes, 0xFFFFFC4Fu);
}

TEST_F(SimDriver, FeederJobPullsEverySheetOnOneLock) {
    SimScript script;
    script.sheets = 3;
    start(script);
    const ORVELA_ScanParam p = request(ScanSource_ADF, Grayscale, 300, 0, 0, 600, 800);
    ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
    int pages = 0;
    EXPECT_EQ(Drv_get_adf_status(), STATUS_ADF_PAPER_EXIST);
    for (;;) {
        ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
        const SCAN_RESULT r = Drv_scan2File(page.c_str(), nullptr);
        ASSERT_EQ(r.scan_status, SCAN_STATUS_GOOD);
        ++pages;
        EXPECT_EQ(file(), expected_jpeg(p));
        if (r.adf_status == STATUS_ADF_PAPER_EMPTY && Drv_get_adf_status() == STATUS_ADF_PAPER_EMPTY) break;
        ASSERT_LT(pages, 5);
    }
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    EXPECT_EQ(command_ids(), "lfiiifu");
    EXPECT_EQ(server.model().sheets_left(), 0);
}

TEST_F(SimDriver, AJamInTheMiddleOfTheJobReachesTheCaller) {
    SimScript script;
    script.sheets = 3;
    script.jam_at_page = 2;
    start(script);
    const ORVELA_ScanParam p = request(ScanSource_ADF, Grayscale, 300, 0, 0, 600, 800);
    ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
    EXPECT_EQ(Drv_scan2File(page.c_str(), nullptr).scan_status, SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
    const SCAN_RESULT jammed = Drv_scan2File(page.c_str(), nullptr);
    EXPECT_EQ(jammed.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(jammed.adf_status, STATUS_ADF_JAM);
    EXPECT_LT(file().size(), expected_jpeg(p).size());  // half a sheet
    Drv_close();
}

TEST_F(SimDriver, CancelDuringAPullStopsTheScannerAndReleasesIt) {
    SimScript script;
    script.band_size = 4096;
    script.band_delay_ms = 5;  // a slow page: ~1 s for all of it
    start(script);
    const ORVELA_ScanParam p = request(ScanSource_Flatbed, Color, 300, 0, 0, 1500, 2000);
    ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
    bool cancel = false;
    std::thread canceller([&] {
        std::this_thread::sleep_for(milliseconds(150));
        __atomic_store_n(&cancel, true, __ATOMIC_RELEASE);
    });
    const SCAN_RESULT r = Drv_scan2File(page.c_str(), &cancel);
    canceller.join();
    EXPECT_EQ(r.scan_status, SCAN_STATUS_CANCELLED);
    const size_t pulled = file().size();
    EXPECT_GT(pulled, 0u);
    EXPECT_LT(pulled, expected_jpeg(p).size());
    EXPECT_EQ(Drv_cancel(), SCAN_STATUS_GOOD);
    EXPECT_EQ(orvela_net::mSocket, -1);
    EXPECT_EQ(command_ids(), "liau");
    EXPECT_FALSE(server.model().locked());

    // The scanner is usable again at once: the abort left nothing behind.
    ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(request(ScanSource_Flatbed, Grayscale, 150, 0, 0, 300, 300)), SCAN_STATUS_GOOD);
    EXPECT_EQ(Drv_scan2File(page.c_str(), nullptr).scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(file(), expected_jpeg(request(ScanSource_Flatbed, Grayscale, 150, 0, 0, 300, 300)));
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
}

TEST_F(SimDriver, StalledOrDroppedStreamsFailAfterTheirTimeOuts) {
    TestClock clock(500);
    const ORVELA_ScanParam p = request(ScanSource_Flatbed, Grayscale, 300, 0, 0, 900, 900);
    for (bool drop : {false, true}) {
        // Half of the first header arrives: the time a pull waits then is
        // only the time-outs, however the machine's load splits the data.
        SimScript script;
        if (drop) script.drop_after_page_bytes = 4;
        else script.stall_after_page_bytes = 4;
        server.model().set_script(script);
        if (!server.running()) {
            ASSERT_TRUE(server.start());
        }
        ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
        ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
        SCAN_RESULT r{};
        const int64_t pulled = TestClock::elapsed_ms([&] { r = Drv_scan2File(page.c_str(), nullptr); });
        EXPECT_EQ(r.scan_status, SCAN_STATUS_IO_ERROR) << drop;
        EXPECT_EQ(file().size(), 0u);
        const int64_t cancelled = TestClock::elapsed_ms([] { Drv_cancel(); });
        EXPECT_EQ(orvela_net::mSocket, -1);
        // Each reading of the clock adds 500 ms to the waits.
        if (drop) {  // a closed connection: no wait at all
            EXPECT_LT(pulled, 6000);
            EXPECT_LT(cancelled, 6000);
        } else {
            // The 30-second header time-out and the abort's 8-second drain; the
            // cancel's drain and three unlocks of 6 seconds, 50 ms apart.
            EXPECT_GE(pulled, 38000);
            EXPECT_LE(pulled, 38000 + 16 * 500);
            EXPECT_GE(cancelled, 26150);
            EXPECT_LE(cancelled, 26150 + 16 * 500);
        }
    }
}

// A pull that stops inside the page while the connection stays open (a band
// that comes too late) tells the scanner to stop, so the unlock that follows
// gets its own reply and the scanner is released even by one that keeps its
// lock over a closed connection. A header of an unknown kind in the middle of
// the page is a poll that carries nothing: the page is pulled whole.
TEST_F(SimDriver, APullThatStopsInsideThePageLeavesTheScannerReleasable) {
    TestClock clock(1000);  // the 30-second header time-out passes in 30 wait slices, before the late band
    const ORVELA_ScanParam p = request(ScanSource_Flatbed, Grayscale, 300, 0, 0, 900, 900);
    for (const char* fault : {"late band", "unknown header", "no page file"}) {
        SCOPED_TRACE(fault);
        SimScript script;
        script.unlock_on_disconnect = false;
        script.band_size = 4096;
        if (std::strcmp(fault, "late band") == 0) script.band_delay_ms = 1500;
        else {
            // Bands paced so that the page is still streaming when the abort
            // arrives: a scanner that had sent the whole page would answer
            // the abort too, and that reply could stand in for the unlock's.
            if (std::strcmp(fault, "unknown header") == 0) script.unknown_header_before_band = 3;
            script.band_delay_ms = 20;
        }
        server.model().set_script(script);
        server.model().clear_commands();
        if (!server.running()) {
            ASSERT_TRUE(server.start());
        }
        ASSERT_EQ(Drv_open(device()), SCAN_STATUS_GOOD);
        ASSERT_EQ(Drv_start(p), SCAN_STATUS_GOOD);
        // A page file that cannot be made: the page is stopped and drained
        // as a broken one is.
        const bool late = std::strcmp(fault, "unknown header") != 0;
        const std::string file_name = std::strcmp(fault, "no page file") == 0 ? dir.file("gone/tmpscan.jpg") : page;
        EXPECT_EQ(Drv_scan2File(file_name.c_str(), nullptr).scan_status, late ? SCAN_STATUS_IO_ERROR : SCAN_STATUS_GOOD);
        if (!late) {
            EXPECT_EQ(file(), expected_jpeg(p));
        }
        EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
        EXPECT_EQ(command_ids(), late ? "liau" : "liu");
        EXPECT_FALSE(server.model().locked());
    }
}
