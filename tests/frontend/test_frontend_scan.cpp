// Whole scan jobs through the SANE front end against the simulated scanner
// over loopback: start, parameters, reads and cancel, with the served image
// checked against what the simulator drew (size, position on the bed, scale).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/alloc_fault.h"
#include "common/orvela_config.h"
#include "core/scan/imageproc/bilevel.h"
#include "core/scan/driver/orvela_devlist.h"
#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "tests/support/io_hooks.h"
#include "tests/support/process.h"
#include "tests/support/test_handle.h"
#include "tools/scanner_sim/page_image.h"
#include "tools/scanner_sim/sim_device.h"
#include "tools/scanner_sim/sim_tcp_server.h"
#include "core/scan/sane/exported_extras.h"
#include "core/scan/page/page_file.h"

namespace {

using orvela_sim::SimScript;
using orvela_sim::TcpScannerServer;

class ScanJob : public ::testing::Test {
protected:
    void SetUp() override {
        use_host("test_frontend_scan");
        // A page file of this test's own: other scans on the machine use /tmp's.
        saved_page_file = kScanFilePath;
        kScanFilePath = page_file.c_str();
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
    }
    void TearDown() override {
        alloc_fault::g_sites = 0;
        job.reset();  // closed while the scanner still answers
        server.stop();
        use_host("test_frontend_scan");
        orvela_config::set_current(orvela_config::Settings{});
        kScanFilePath = saved_page_file;
    }

    static void use_streaming(bool on) {
        orvela_config::Settings settings = orvela_config::current();
        settings.scan_streaming = on;
        orvela_config::set_current(settings);
    }

    // A handle on the simulated network scanner, as open would make it (the
    // one before is closed).
    TestHandle& open(bool adf = true, bool right_rear = false) {
        job.reset();
        job = std::make_unique<TestHandle>(adf, right_rear, server.port());
        return *job;
    }

    std::vector<orvela_sim::ScanInfo> scan_infos() {
        std::vector<orvela_sim::ScanInfo> infos;
        for (const auto& c : server.model().commands())
            if (c.info) infos.push_back(*c.info);
        return infos;
    }
    std::string command_ids() {
        std::string ids;
        for (const auto& c : server.model().commands()) ids += static_cast<char>(c.id);
        return ids;
    }
    // The log once the simulator has taken `want` (up to a second): after an
    // abort the backend may have read an earlier reply as the last command's
    // and closed before the simulator took that command.
    std::string command_ids_once(const std::string& want) {
        for (int i = 0; i < 100 && command_ids() != want; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return command_ids();
    }

    // Where the served page lies on the bed, read from its content.
    static std::optional<orvela_sim::BedPosition> locate(const FrameRead& page, double dpi) {
        const int channels = page.params.format == SANE_FRAME_RGB ? 3 : 1;
        return orvela_sim::locate_on_bed(page.bytes.data(), static_cast<uint32_t>(page.params.pixels_per_line),
                                         static_cast<uint32_t>(page.params.lines), channels, dpi, dpi);
    }

    TempDir dir;
    std::string page_file = dir.file("tmpscan.jpg");
    const char* saved_page_file = nullptr;
    TcpScannerServer server;
    std::unique_ptr<TestHandle> job;
};

TEST_F(ScanJob, FlatbedColourA4At200Dpi) {
    TestHandle& h = open();
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 200);
    LogCapture log;
    const FrameRead page = h.scan();  // (its parameters: test_scan_job)
    // The decode's lines in the diagnostic log, in their order.
    size_t from = 0;
    for (const char* line : {"libjpeg version: 9e\n", "cinfo.image_width=2480\n", "cinfo.image_height=3507\n",
                             "cinfo.output_width=2480\n", "cinfo.output_height=3507\n",
                             "cinfo.output_components=3\n", "jpeg decompress success!\n"}) {
        from = log.text().find(line, from);
        ASSERT_NE(from, std::string::npos) << line;
    }
    EXPECT_TRUE(log.contains("dst_img.img_width=1653, dst_img.img_height=2338\n"));
    const auto infos = scan_infos();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].nXResolution, 300u);
    EXPECT_EQ(infos[0].nYResoultion, 300u);
    EXPECT_EQ(infos[0].nXPosition, 0u);
    EXPECT_EQ(infos[0].nYPosition, 0u);
    EXPECT_EQ(infos[0].nXExtent, 2480u);
    EXPECT_EQ(infos[0].nYExtent, 3507u);
    EXPECT_EQ(infos[0].nDataType, 4u);

    const auto at = locate(page, 200);
    ASSERT_TRUE(at.has_value());
    EXPECT_NEAR(at->x_mm, 0.0, 0.3);
    EXPECT_NEAR(at->y_mm, 0.0, 0.3);
    // The device was unlocked and closed at the end of the page; the page
    // file is gone.
    EXPECT_FALSE(server.model().locked());
    EXPECT_EQ(command_ids(), "liu");
    EXPECT_NE(access(kScanFilePath, F_OK), 0);

    // Another flatbed start scans a new page.
    const FrameRead again = h.scan();
    EXPECT_EQ(again.bytes.size(), page.bytes.size());
    EXPECT_EQ(command_ids(), "liuliu");
}

// Each of `lines` in `text`, each after the one before.
::testing::AssertionResult in_order(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines)
        if ((at = text.find(line, at)) == std::string::npos)
            return ::testing::AssertionFailure() << line << " in " << text;
    return ::testing::AssertionSuccess();
}

// The log tells each page in its order, although the page is decoded while it
// arrives: the device's end of the page (whole pages: the page file's pull),
// the feeder check and the close where the job ends, then the decode, its
// outcome, the rescale and the packing. On both deliveries.
TEST_F(ScanJob, LogTellsEachPageInItsOrder) {
    const struct { const char *source, *mode; int sheets; } cases[] = {
        {"Flatbed", "Color", 1}, {"Automatic Document Feeder", "Gray", 3}, {"Flatbed", "Black & White", 1}};
    for (const auto& c : cases) {
        for (bool streaming : {false, true}) {
            SCOPED_TRACE(::testing::Message() << c.mode << " " << c.sheets << " streaming " << streaming);
            use_streaming(streaming);
            SimScript script;
            script.sheets = c.sheets;
            server.model().set_script(script);
            TestHandle& h = open();
            h.set_string(OPT_SOURCE, c.source);
            h.set_string(OPT_MODE, c.mode);
            h.set_string(OPT_PAPERSIZE, "A5 (148 x 210 mm)");
            h.set_word(OPT_RESOLUTION, 150);
            LogCapture log;
            for (int sheet = 0; sheet < c.sheets; ++sheet) h.scan();
            const std::string text = log.text();
            std::vector<std::string> pages;  // the log of each start and its reads
            for (size_t at = 0; (at = text.find("Run into sane_start", at)) != std::string::npos; ++at)
                pages.push_back(text.substr(at, text.find("Run into sane_start", at + 1) - at));
            ASSERT_EQ(pages.size(), size_t(c.sheets));
            for (size_t i = 0; i < pages.size(); ++i) {
                const bool last = i + 1 == pages.size();
                std::vector<std::string> want;
                if (!streaming) want.push_back("Page End. adf status");
                if (last && c.sheets > 1) want.push_back("sane_read ADF job end with no paper!\n");
                if (last) want.push_back("Run into Drv_close\n");
                for (const char* line : {"libjpeg version: 9e\n", "cinfo.output_components=",
                                         "jpeg decompress success!\n", "dst_img.img_width=", "Run into ScaleDownPage\n"})
                    want.push_back(line);
                if (strcmp(c.mode, "Black & White") == 0) want.push_back("Convert gray image to 1 bit B/W image!\n");
                EXPECT_TRUE(in_order(pages[i], want)) << "page " << i;
                EXPECT_EQ(pages[i].find("Run into Drv_close") == std::string::npos, !last) << "page " << i;
            }
        }
    }
}

// Memory that runs out once the device scans: the page is still pulled to
// the device's end (the next job works). A decode run to its end is told as a
// success and its page file removed, the rescale or packing answering NO_MEM;
// a decode without memory is told as a failure and the file stays.
TEST_F(ScanJob, NoMemoryAfterTheScanCommand) {
    using namespace alloc_fault;
    const struct { unsigned sites; const char* mode; SANE_Word resolution; bool decoded; } cases[] = {
        {Rescaler, "Gray", 200, true},    {Packing, "Black & White", 300, true}, {PageBuffer, "Color", 200, true},
        {PageBuffer, "Gray", 300, false}, {Decoder | DrainBand, "Gray", 300, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sites << " " << c.mode << " " << c.resolution);
        SimScript script;
        script.band_size = 20000;  // more than the drain's buffer without memory
        server.model().set_script(script);
        server.model().clear_commands();
        unlink(kScanFilePath);
        TestHandle& h = open();
        h.set_string(OPT_MODE, c.mode);
        h.set_area(10, 20, 60, 40);
        h.set_word(OPT_RESOLUTION, c.resolution);
        LogCapture log;
        g_sites = c.sites;
        EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_NO_MEM);
        g_sites = 0;
        EXPECT_TRUE(in_order(log.text(), {"Page End. adf status", "Run into Drv_close\n",
                                          c.decoded ? "jpeg decompress success!\n" : "jpeg decompress fail!\n"}));
        EXPECT_FALSE(log.contains(c.decoded ? "jpeg decompress fail!" : "jpeg decompress success!"));
        EXPECT_EQ(access(kScanFilePath, F_OK) == 0, !c.decoded);
        sane_orvela_cancel(h.get());
        h.scan();
        EXPECT_EQ(command_ids(), "liuliu");
        EXPECT_FALSE(server.model().locked());
    }
}

// Options set between a start and its page's end change neither what
// sane_get_parameters reports nor the bytes; they apply from the next start.
TEST_F(ScanJob, OptionsSetDuringThePageApplyFromTheNextStart) {
    TestHandle& h = open();
    for (bool streaming : {false, true}) {
        SCOPED_TRACE(streaming);
        use_streaming(streaming);
        h.set_string(OPT_MODE, "Gray");
        h.set("br-y", "297");  // 216 x 297 mm
        h.set_word(OPT_RESOLUTION, 100);
        const FrameRead before = h.scan();
        ASSERT_EQ(before.params.bytes_per_line, 850);
        ASSERT_EQ(before.params.lines, 1169);
        ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
        h.set("br-y", "100");
        EXPECT_EQ(h.parameters().lines, 1169);
        std::vector<SANE_Byte> bytes(850);
        SANE_Int len = 0;
        ASSERT_EQ(sane_orvela_read(h.get(), bytes.data(), 850, &len), SANE_STATUS_GOOD);
        bytes.resize(size_t(len));
        h.set_string(OPT_MODE, "Color");
        const FrameRead rest = h.read_frame(850);
        EXPECT_EQ(memcmp(&rest.params, &before.params, sizeof before.params), 0);
        bytes.insert(bytes.end(), rest.bytes.begin(), rest.bytes.end());
        EXPECT_TRUE(bytes == before.bytes);
        const SANE_Parameters after = h.parameters();  // the page ended: the options'
        EXPECT_EQ(after.lines, 393);
        EXPECT_EQ(after.bytes_per_line, 2550);
    }
}

// With the streaming path switched on, a frontend gets exactly the bytes of
// the whole-page path: each mode, the resolutions of both lists and off them,
// each page size, both sources, a right-rear device, reads of a few bytes,
// bands of one byte and of more than 64 KiB, pages with more or fewer rows and
// columns than the frame; black and white from the same random seed. No page
// file is written.
TEST_F(ScanJob, StreamingServesTheWholePagePathsBytes) {
    struct Case {
        const char* mode;
        SANE_Word resolution;
        const char* size;  // null: a 40 x 30 mm area
        SANE_Int max_length = 32768;
        const char* source = "Flatbed";
        bool right_rear = false;
        uint32_t band = 65536;
        int extra_rows = 0, extra_columns = 0;
    };
    const Case cases[] = {
        {"Color", 200, "A5 (148 x 210 mm)"},
        {"Color", 300, nullptr},
        {"Color", 1200, nullptr},  // rows served twice
        {"Gray", 100, "Full Size"},
        {"Gray", 400, nullptr},
        {"Gray", 600, nullptr},
        {"Black & White", 150, nullptr},
        {"Black & White", 300, "4x6 in"},
        {"Black & White", 1200, nullptr},
        {"Black & White", 137, nullptr, 7},
        {"Color", 75, "Letter (8.5 x 11 in)"},
        {"Gray", 250, "B5 (182 x 257 mm)"},
        {"Color", 137, nullptr, 3},
        {"Gray", 2400, nullptr},  // the page gets wider
        {"Gray", 100, nullptr, 1},
        {"Color", 200, "A4 (210 x 297 mm)", 32768, "Automatic Document Feeder"},
        {"Gray", 150, nullptr, 32768, "Flatbed", true},
        {"Gray", 100, nullptr, 8188, "Flatbed", false, 1},
        {"Color", 300, "A4 (210 x 297 mm)", 32768, "Flatbed", false, 200000},
        {"Gray", 200, nullptr, 32768, "Flatbed", false, 65536, 9, 5},
        {"Black & White", 300, nullptr, 32768, "Flatbed", false, 65536, -7, -3},
    };
    InitThresholdTable();  // as initialisation does: random thresholds for light greys
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.mode << " " << c.resolution << " " << (c.size ? c.size : "area") << " "
                                          << c.source << " " << c.max_length << " " << c.band << " " << c.extra_rows);
        SimScript script;
        script.sheets = 1;
        script.band_size = c.band;
        script.right_rear_reference = c.right_rear;
        script.page_extra_rows = c.extra_rows;
        script.page_extra_columns = c.extra_columns;
        TestHandle& h = open(true, c.right_rear);
        h.set_string(OPT_SOURCE, c.source);
        h.set_string(OPT_MODE, c.mode);
        // Black and white where the chart has light greys, whose bits the
        // random thresholds decide.
        const bool bilevel = strcmp(c.mode, "Black & White") == 0;
        if (c.size != nullptr) h.set_string(OPT_PAPERSIZE, c.size);
        else h.set_area(12, bilevel ? 262 : 17, 40, 30);
        h.set_word(OPT_RESOLUTION, c.resolution);
        FrameRead pages[2];
        for (bool streaming : {false, true}) {
            use_streaming(streaming);
            server.model().set_script(script);
            sane_orvela_cancel(h.get());  // a new job each time
            srand(20240611);
            ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
            EXPECT_EQ(h->dst_img.img_data == nullptr, streaming);  // whole: decoded by start
            pages[streaming] = h.read_frame(c.max_length);
            EXPECT_EQ(pages[streaming].end, SANE_STATUS_EOF);
        }
        EXPECT_EQ(memcmp(&pages[0].params, &pages[1].params, sizeof(SANE_Parameters)), 0);
        EXPECT_EQ(pages[0].bytes.size(), size_t(pages[0].params.bytes_per_line) * pages[0].params.lines);
        EXPECT_TRUE(pages[0].bytes == pages[1].bytes);
        EXPECT_NE(access(kScanFilePath, F_OK), 0);
        EXPECT_FALSE(server.model().locked());
    }
}

TEST_F(ScanJob, EachResolutionPlacesAndScalesTheArea) {
    TestHandle& h = open();
    h.set_string(OPT_MODE, "Gray");
    h.set_area(31, 42, 45, 36);
    for (SANE_Word r : {100, 200, 250, 300, 400, 600, 1200}) {
        SCOPED_TRACE(r);
        h.set_word(OPT_RESOLUTION, r);
        const FrameRead page = h.scan();
        EXPECT_EQ(page.params.pixels_per_line, static_cast<SANE_Int>(std::trunc(45.0 * r / 25.4)));
        EXPECT_EQ(page.params.lines, static_cast<SANE_Int>(std::trunc(r * 36.0 / 25.4)));
        const auto at = locate(page, r);
        ASSERT_TRUE(at.has_value());
        // Position to a device pixel or two; a wrong scale would move it by
        // whole millimetres.
        EXPECT_NEAR(at->x_mm, 31.0, 0.25);
        EXPECT_NEAR(at->y_mm, 42.0, 0.25);
        const auto info = scan_infos().back();
        const unsigned device_x = r <= 300 ? 300 : r <= 600 ? 600 : 1200;
        EXPECT_EQ(info.nXResolution, device_x);
        EXPECT_EQ(info.nYResoultion, r <= 300 ? 300u : 600u);
    }
    // Beyond 9600 dpi too: only the memory a page takes limits it.
    h.set_area(31, 42, 11, 11);
    h.set_word(OPT_RESOLUTION, 10000);
    const FrameRead fine = h.scan();
    EXPECT_EQ(fine.params.pixels_per_line, 4330);
    EXPECT_EQ(fine.params.lines, 4330);
}

TEST_F(ScanJob, ServedPixelsMatchTheDrawing) {
    TestHandle& h = open();
    h.set_string(OPT_MODE, "Gray");
    h.set_area(12, 17, 60, 40);
    h.set_word(OPT_RESOLUTION, 300);
    const FrameRead page = h.scan(1024);
    orvela_sim::PageRequest request;
    request.xres = request.yres = 300;
    request.x = static_cast<uint32_t>(std::trunc(12 * 300 / 25.4));
    request.y = static_cast<uint32_t>(std::trunc(17 * 300 / 25.4));
    request.width = static_cast<uint32_t>(page.params.pixels_per_line);
    request.height = static_cast<uint32_t>(page.params.lines);
    request.channels = 1;
    const std::vector<uint8_t> drawn = orvela_sim::render_page_pixels(request);
    ASSERT_EQ(drawn.size(), page.bytes.size());
    double total = 0;
    for (size_t i = 0; i < drawn.size(); ++i) total += std::abs(int(drawn[i]) - int(page.bytes[i]));
    EXPECT_LT(total / drawn.size(), 4.0);  // JPEG noise only
}

TEST_F(ScanJob, EachPageSize) {
    TestHandle& h = open();
    h.set_string(OPT_MODE, "Gray");
    h.set_word(OPT_RESOLUTION, 100);
    const struct {
        const char* name;
        double w, h;
    } sizes[] = {{"Full Size", 215.9, 297},  {"A4 (210 x 297 mm)", 210, 297}, {"Letter (8.5 x 11 in)", 215.9, 279.4},
                 {"A5 (148 x 210 mm)", 148, 210}, {"B5 (182 x 257 mm)", 182, 257}, {"4x6 in", 101.6, 152.4}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(size.name);
        h.set_string(OPT_PAPERSIZE, size.name);
        const FrameRead page = h.scan();
        const double w = h->val[OPT_WIDTH].w / 65536.0;
        const double height = h->val[OPT_HEIGHT].w / 65536.0;
        EXPECT_NEAR(w, size.w, 0.001);
        EXPECT_EQ(page.params.pixels_per_line, static_cast<SANE_Int>(std::trunc(w * 100 / 25.4)));
        EXPECT_EQ(page.params.lines, static_cast<SANE_Int>(std::trunc(100 * height / 25.4)));
        EXPECT_EQ(scan_infos().back().nXExtent, static_cast<uint32_t>(std::trunc(w * 300 / 25.4)));
        EXPECT_EQ(scan_infos().back().nYExtent, static_cast<uint32_t>(std::trunc(300 * height / 25.4)));
        const auto at = locate(page, 100);
        ASSERT_TRUE(at.has_value());
        EXPECT_NEAR(at->x_mm, 0.0, 0.4);
    }
}

TEST_F(ScanJob, BlackAndWhite) {
    TestHandle& h = open();
    h.set_string(OPT_MODE, "Black & White");
    h.set_string(OPT_PAPERSIZE, "Custom");
    h.set_word(OPT_WIDTH, mm(216));
    h.set_word(OPT_HEIGHT, mm(30));
    h.set_word(OPT_TL_Y, mm(260));  // light greys down there
    h.set_word(OPT_RESOLUTION, 300);
    const FrameRead page = h.scan();
    ASSERT_EQ(page.params.depth, 1);
    ASSERT_EQ(page.params.bytes_per_line, 319);
    ASSERT_EQ(page.params.pixels_per_line, 2552);
    EXPECT_EQ(scan_infos().back().nDataType, 2u);  // scanned as grey

    orvela_sim::PageRequest request;
    request.width = 2551;
    request.y = static_cast<uint32_t>(std::trunc(260 * 300 / 25.4));
    request.height = static_cast<uint32_t>(page.params.lines);
    request.channels = 1;
    const std::vector<uint8_t> grey = orvela_sim::render_page_pixels(request);
    ASSERT_EQ(grey.size(), size_t{2551} * request.height);
    size_t dark = 0, dark_black = 0, light = 0, light_white = 0;
    for (uint32_t y = 0; y < request.height; ++y) {
        const uint8_t* line = &page.bytes[y * 319u];
        // 2551 pixels pack into 318 whole bytes and a 319th with 7 pixels; its
        // last bit is white padding.
        EXPECT_EQ(line[318] & 1, 0) << y;
        for (uint32_t x = 0; x < 2551; ++x) {
            const bool black = (line[x / 8] >> (7 - x % 8)) & 1;
            const uint8_t g = grey[y * 2551u + x];
            if (g < 80) {
                ++dark;
                dark_black += black;
            } else if (g > 200) {  // thresholds there stay below 182
                ++light;
                light_white += !black;
            }
        }
    }
    uint8_t lightest = 0;
    for (uint8_t g : grey) lightest = std::max(lightest, g);
    ASSERT_GT(dark, 1000u);
    ASSERT_GT(light, 100u) << "lightest grey " << int(lightest);
    EXPECT_GT(double(dark_black) / dark, 0.98);
    EXPECT_GT(double(light_white) / light, 0.98);
}

TEST_F(ScanJob, RightRearDeviceIsMirrored) {
    SimScript script;
    script.right_rear_reference = true;
    server.model().set_script(script);
    TestHandle& h = open(true, true);
    h.set_area(20, 30, 50, 40);
    h.set_word(OPT_RESOLUTION, 150);
    const FrameRead page = h.scan();
    // 215.9 - 20 - 50 mm from the right edge at 300 dpi.
    EXPECT_EQ(scan_infos().back().nXPosition, static_cast<uint32_t>(std::trunc((215.9 - 70) * 300 / 25.4)));
    const auto at = locate(page, 150);
    ASSERT_TRUE(at.has_value());
    EXPECT_NEAR(at->x_mm, 20.0, 0.4);
    EXPECT_NEAR(at->y_mm, 30.0, 0.4);
}

TEST_F(ScanJob, FeederJobOfThreeSheets) {
    SimScript script;
    script.sheets = 3;
    server.model().set_script(script);
    TestHandle& h = open();
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_string(OPT_MODE, "Gray");
    h.set_word(OPT_RESOLUTION, 100);
    for (int sheet = 1; sheet <= 3; ++sheet) {
        SCOPED_TRACE(sheet);
        const FrameRead page = h.scan();
        const auto at = locate(page, 100);
        ASSERT_TRUE(at.has_value());
        EXPECT_NEAR(at->x_mm, (215.9 - 210) / 2, 0.4);  // centred on the feeder path
    }
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_NO_DOCS);
    EXPECT_EQ(server.model().connections(), 1);  // one open for the whole job
    EXPECT_FALSE(server.model().locked());
    EXPECT_EQ(scan_infos().size(), 3u);
    EXPECT_EQ(scan_infos()[0].nXPosition, 34u);
    EXPECT_EQ(scan_infos()[0].nScanSrc, 1u);
    // Cancel opens the way for a new job.
    sane_orvela_cancel(h.get());
    script.sheets = 1;
    server.model().set_script(script);
    h.scan();

    // The same job through the streaming path.
    use_streaming(true);
    sane_orvela_cancel(h.get());
    script.sheets = 3;
    server.model().set_script(script);
    server.model().clear_commands();
    for (int sheet = 1; sheet <= 3; ++sheet) h.scan();
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_NO_DOCS);
    EXPECT_EQ(command_ids(), "lfiiifu");  // one lock for the job, the feeder asked before and after
    EXPECT_FALSE(server.model().locked());
}

TEST_F(ScanJob, FeederEmptyJammedOrOpenBeforeTheJob) {
    TestHandle& h = open();
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_word(OPT_RESOLUTION, 100);
    SimScript script;  // no sheets
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_NO_DOCS);
    EXPECT_TRUE(server.model().locked());  // left open until cancel
    sane_orvela_cancel(h.get());
    EXPECT_FALSE(server.model().locked());

    script.sheets = 2;
    script.adf_query_byte = 14;
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_COVER_OPEN);
    sane_orvela_cancel(h.get());

    script.adf_query_byte = 15;
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_JAMMED);
    // A frontend that reads after the failed start gets its status and no
    // bytes, not fill lines passed off as a page.
    h.parameters();
    SANE_Byte b[64];
    SANE_Int len = -1;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_JAMMED);
    EXPECT_EQ(len, 0);
    sane_orvela_cancel(h.get());

    script.adf_query_byte.reset();
    script.lock_adf_byte = 15;
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_JAMMED);
    sane_orvela_cancel(h.get());
    EXPECT_FALSE(server.model().locked());
}

TEST_F(ScanJob, JamAndCoverOpenDuringTheJob) {
    SimScript script;
    script.sheets = 3;
    script.jam_at_page = 2;
    server.model().set_script(script);
    TestHandle& h = open();
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_word(OPT_RESOLUTION, 100);
    h.scan();
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_JAMMED);
    sane_orvela_cancel(h.get());
    EXPECT_FALSE(server.model().locked());

    script.jam_at_page = 0;
    script.cover_open_at_page = 1;
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_COVER_OPEN);
    sane_orvela_cancel(h.get());
    EXPECT_FALSE(server.model().locked());
}

TEST_F(ScanJob, BusyScanner) {
    SimScript script;
    script.busy_locks = 1;
    server.model().set_script(script);
    TestHandle& h = open();
    h.set_area(0, 0, 30, 30);
    h.set_word(OPT_RESOLUTION, 100);
    TestClock clock;
    h.scan();
    EXPECT_EQ(TestClock::pauses(), std::vector<uint32_t>{2000000});  // one 2 s wait
    EXPECT_EQ(server.model().connections(), 2);

    // A scanner that answers the lock with "powered off" is busy at once.
    script.busy_locks = 0;
    script.lock_status.otherwise = 4;
    server.model().set_script(script);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_DEVICE_BUSY);
}

TEST_F(ScanJob, HostApplications) {
    use_host("EFileApp");
    TestHandle& efile = open();
    efile.set_area(0, 0, 30, 30);
    efile.set_word(OPT_RESOLUTION, 100);
    const FrameRead whole = efile.scan();
    EXPECT_EQ(sane_orvela_start(efile.get()), SANE_STATUS_NO_DOCS);
    sane_orvela_cancel(efile.get());
    efile.scan();

    // A start refused before it touches the device (no documents, an area out
    // of range) leaves a page that was not read to its end where it was.
    for (bool streaming : {false, true}) {
        SCOPED_TRACE(streaming);
        use_streaming(streaming);
        sane_orvela_cancel(efile.get());
        ASSERT_EQ(sane_orvela_start(efile.get()), SANE_STATUS_GOOD);
        std::vector<uint8_t> bytes(whole.bytes.size());
        size_t got = 0;
        const auto read_up_to = [&](size_t end) {
            for (SANE_Int len = 0; got < end; got += static_cast<size_t>(len))
                ASSERT_EQ(sane_orvela_read(efile.get(), bytes.data() + got, static_cast<SANE_Int>(end - got), &len),
                          SANE_STATUS_GOOD);
        };
        read_up_to(bytes.size() / 2);
        if (!streaming) {  // the job ended with the page under this host
            EXPECT_EQ(sane_orvela_start(efile.get()), SANE_STATUS_NO_DOCS);
        }
        efile.set_word(OPT_WIDTH, mm(10));
        EXPECT_EQ(sane_orvela_start(efile.get()), SANE_STATUS_INVAL);
        efile.set_word(OPT_WIDTH, mm(30));
        read_up_to(bytes.size());
        SANE_Int len = 0;
        EXPECT_EQ(sane_orvela_read(efile.get(), bytes.data(), 1, &len), SANE_STATUS_EOF);
        EXPECT_TRUE(bytes == whole.bytes);
    }
    use_streaming(false);

    use_host("simple-scan", true);
    TestHandle& h = open();  // closes the first
    h.set_area(40, 50, 40, 30);
    h.set_word(OPT_RESOLUTION, 75);
    const FrameRead page = h.scan();
    EXPECT_EQ(scan_infos().back().nXResolution, 300u);
    EXPECT_EQ(page.params.pixels_per_line, static_cast<SANE_Int>(std::trunc(40 * 75 / 25.4)));
    const auto at = locate(page, 75);
    ASSERT_TRUE(at.has_value());
    EXPECT_NEAR(at->x_mm, 40.0, 0.5);
}

TEST_F(ScanJob, CancelFromAnotherThreadDuringTheTransfer) {
    SimScript script;
    script.band_size = 2048;
    script.band_delay_ms = 25;
    server.model().set_script(script);
    TestHandle& h = open();
    // A finished job, cancelled as frontends do after every page: the flag
    // stays set until the next job opens.
    h.set_area(0, 0, 30, 30);
    h.set_word(OPT_RESOLUTION, 100);
    h.scan();
    sane_orvela_cancel(h.get());
    ASSERT_TRUE(h->job_canceled);
    server.model().set_script(script);
    server.model().clear_commands();
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 300);

    // The cancel does not wait for the device: it returns while the start
    // still runs, which then stops the transfer (the abort below).
    std::atomic<bool> start_returned{false}, start_ran_past_cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        sane_orvela_cancel(h.get());
        start_ran_past_cancel = !start_returned.load();
    });
    const SANE_Status status = sane_orvela_start(h.get());
    start_returned = true;
    canceller.join();
    EXPECT_EQ(status, SANE_STATUS_CANCELLED);
    EXPECT_TRUE(start_ran_past_cancel.load());
    SANE_Byte b[64];
    SANE_Int len = 3;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_CANCELLED);
    EXPECT_EQ(len, 0);
    // The device calls ran one after the other: lock, parameters, abort,
    // unlock; nothing else.
    EXPECT_EQ(command_ids(), "liau");
    EXPECT_FALSE(server.model().locked());

    // The next start opens a new job.
    server.model().set_script(SimScript{});
    server.model().clear_commands();
    h.set_area(0, 0, 30, 30);
    h.scan();
    EXPECT_EQ(command_ids(), "liu");
}

TEST_F(ScanJob, CorruptPagesAreIoErrors) {
    TestHandle& h = open();
    h.set_area(0, 0, 40, 40);
    h.set_word(OPT_RESOLUTION, 300);
    for (auto fault : {orvela_sim::JpegFault::Truncated, orvela_sim::JpegFault::CorruptHeader}) {
        SimScript script;
        script.jpeg_fault = fault;
        server.model().set_script(script);
        EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_IO_ERROR);
        EXPECT_EQ(h->src_img.img_data, nullptr);
        EXPECT_EQ(access(kScanFilePath, F_OK), 0);  // kept for inspection
        EXPECT_FALSE(server.model().locked());
    }
    server.model().set_script(SimScript{});
    h.scan();
    EXPECT_NE(access(kScanFilePath, F_OK), 0);
}

// Streaming: what goes wrong in the middle of a page ends the read that meets
// it, after the lines already delivered; a page the device may still be
// sending is aborted and drained; the next job works.
TEST_F(ScanJob, StreamingFaultsEndTheReadThatMeetsThem) {
    using orvela_sim::JpegFault;
    const struct {
        const char* name;
        void (*fault)(SimScript&);
        bool feeder;
        SANE_Status status;
        const char* commands;  // what the scanner saw up to the frontend's cancel
    } faults[] = {
        // The image ends early: the device's end of page comes first.
        {"truncated", [](SimScript& s) { s.jpeg_fault = JpegFault::Truncated; }, false, SANE_STATUS_IO_ERROR, "liu"},
        // A marker that cannot be there: the decoder fails while the page streams.
        {"bad marker", [](SimScript& s) { s.jpeg_fault = JpegFault::BadMarker; }, false, SANE_STATUS_IO_ERROR, "liau"},
        {"jam", [](SimScript& s) { s.jam_at_page = 1; }, true, SANE_STATUS_JAMMED, "lfiu"},
        {"cover open", [](SimScript& s) { s.cover_open_at_page = 1; }, true, SANE_STATUS_COVER_OPEN, "lfiu"},
        // The whole page arrives, and its end says the scan was stopped on the device.
        {"cancelled on the device", [](SimScript& s) { s.end_codes = {9}; }, true, SANE_STATUS_CANCELLED, "lfifu"},
        {"dropped", [](SimScript& s) { s.drop_after_page_bytes = 60000; }, true, SANE_STATUS_IO_ERROR, "lfi"},
        // The stalled scanner answers neither the abort nor the unlocks (three
        // tries); closing the connection releases it.
        {"stalled", [](SimScript& s) { s.stall_after_page_bytes = 60000; }, true, SANE_STATUS_IO_ERROR, "lfiauuu"},
    };
    use_streaming(true);
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        SimScript script;
        script.sheets = 2;
        script.band_size = 8192;
        f.fault(script);
        server.model().set_script(script);
        server.model().clear_commands();
        TestHandle& h = open();
        h.set_string(OPT_SOURCE, f.feeder ? "Automatic Document Feeder" : "Flatbed");
        h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
        h.set_string(OPT_MODE, "Gray");
        h.set_word(OPT_RESOLUTION, 200);
        ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
        SANE_Byte first[4096];
        SANE_Int len = 0;
        ASSERT_EQ(sane_orvela_read(h.get(), first, sizeof first, &len), SANE_STATUS_GOOD);  // lines delivered
        std::optional<TestClock> clock;  // for the stall: 30 s in 30 wait slices
        if (script.stall_after_page_bytes >= 0) clock.emplace(1000);
        EXPECT_EQ(h.read_frame(4096).end, f.status);
        // A frontend that reads on gets the same status and no bytes, never
        // fill lines passed off as the page.
        for (int i = 0; i < 3; ++i) {
            len = -1;
            EXPECT_EQ(sane_orvela_read(h.get(), first, sizeof first, &len), f.status) << i;
            EXPECT_EQ(len, 0) << i;
        }
        sane_orvela_cancel(h.get());
        EXPECT_EQ(command_ids_once(f.commands), f.commands);
        EXPECT_FALSE(server.model().locked());
        // The next job starts cleanly.
        server.model().set_script(SimScript{});
        h.set_string(OPT_SOURCE, "Flatbed");
        h.set_area(0, 0, 30, 30);
        h.scan();
    }
}

// Streaming: a cancel from another thread ends a read that waits for a
// stalled scanner at once; the page is aborted and drained and the scanner
// unlocked. A frontend that stops reading and cancels, or closes the
// handle, mid-page leaves the scanner unlocked too.
TEST_F(ScanJob, StreamingCancelEndsTheWaitingRead) {
    use_streaming(true);
    SimScript script;
    script.band_size = 4096;
    script.stall_after_page_bytes = 5 * (4096 + 8);  // before the sixth band's header
    server.model().set_script(script);
    TestHandle& h = open();
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 300);
    ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
    TestClock clock;
    std::atomic<bool> waiting{false};
    std::atomic<int64_t> cancelled_at{0};
    std::thread canceller([&] {
        while (!waiting.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the read waits by now
        cancelled_at = TestClock::now();
        sane_orvela_cancel(h.get());
    });
    std::vector<SANE_Byte> buf(32768);
    SANE_Int len = 0;
    size_t delivered = 0;
    SANE_Status st;
    while ((st = sane_orvela_read(h.get(), buf.data(), 32768, &len)) == SANE_STATUS_GOOD) {
        delivered += static_cast<size_t>(len);
        waiting = true;
    }
    const int64_t returned = TestClock::now();
    canceller.join();
    EXPECT_EQ(st, SANE_STATUS_CANCELLED);
    EXPECT_EQ(len, 0);
    EXPECT_GT(delivered, 0u);
    // From the cancel to the read's return no time-out passed (the shortest is
    // 6 s): a few readings of the test clock, 100 ms each.
    EXPECT_LT(returned - cancelled_at, 3000);
    EXPECT_EQ(command_ids_once("liau"), "liau");
    EXPECT_FALSE(server.model().locked());
    EXPECT_EQ(sane_orvela_read(h.get(), buf.data(), 32768, &len), SANE_STATUS_CANCELLED);

    // The next scan on the same handle works.
    server.model().set_script(SimScript{});
    server.model().clear_commands();
    h.set_area(0, 0, 30, 30);
    h.scan();
    EXPECT_EQ(command_ids(), "liu");

    // A frontend that stops reading after a few lines and cancels, or closes
    // the handle.
    script.stall_after_page_bytes = -1;
    script.band_delay_ms = 5;
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    for (bool close : {false, true}) {
        server.model().set_script(script);
        server.model().clear_commands();
        ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(sane_orvela_read(h.get(), buf.data(), 32768, &len), SANE_STATUS_GOOD);
        if (close) sane_orvela_close(h.release());
        else sane_orvela_cancel(h.get());
        EXPECT_EQ(command_ids_once("liau"), "liau");
        EXPECT_FALSE(server.model().locked());
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::string status_name(SANE_Status s) {
    static const char* const names[] = {"GOOD",    "UNSUPPORTED", "CANCELLED",  "DEVICE_BUSY", "INVAL",  "EOF",
                                        "JAMMED",  "NO_DOCS",     "COVER_OPEN", "IO_ERROR",    "NO_MEM", "ACCESS_DENIED"};
    return s >= 0 && s < 12 ? names[s] : std::to_string(s);
}

// Both deliveries serve what the code before the row pipeline served: for every
// row of the frame table (tests/cross/frame_table.txt, on the mirrored feeder
// model that frame_check.sh scans) and for pages that go wrong, the start's
// status, the status that ends the reads and that of one more read, the bytes
// and their digest (64-bit FNV-1a), whether the page file is left after the
// job's cancel, and the commands the device saw. tests/frontend/frame_digests.txt
// holds these, one line a case and delivery; it was written by this test
// against the code whose whole-page delivery decoded and rescaled the page
// after pulling it. A change that means to alter them writes it again (from
// the top folder):
//   ORVELA_WRITE_DIGESTS=$PWD/tests/frontend/frame_digests.txt ctest --test-dir build -R BothDeliveries
TEST_F(ScanJob, BothDeliveriesServeWhatTheyServedBefore) {
    using orvela_sim::JpegFault;
    struct Case {
        std::string name, settings;  // settings as a row of the frame table
        void (*fault)(SimScript&) = [](SimScript&) {};
        int pages = 1;  // started one after the other in one job
        size_t cancel_after_bands = 0;  // if not 0, cancelled from another thread once the device sent these
    };
    const std::string here = __FILE__, top = here.substr(0, here.rfind("/tests/"));
    std::vector<Case> cases;
    for (const std::string& row : split(read_file(top + "/tests/cross/frame_table.txt"), '\n'))
        if (!row.empty() && row[0] != '#') cases.push_back({row, row});
    const std::string grey = "|mode=Gray|resolution=200|Page Size=A4 (210 x 297 mm)";
    const std::string flatbed = "source=Flatbed" + grey, feeder = "source=Automatic Document Feeder" + grey;
    cases.insert(cases.end(), {
        {"corrupt header", flatbed, [](SimScript& s) { s.jpeg_fault = JpegFault::CorruptHeader; }},
        {"bad marker", flatbed, [](SimScript& s) { s.jpeg_fault = JpegFault::BadMarker; }},
        {"truncated", flatbed, [](SimScript& s) { s.jpeg_fault = JpegFault::Truncated; }},
        {"dropped mid-page", feeder, [](SimScript& s) { s.drop_after_page_bytes = 60000; }},
        {"stalled mid-page", feeder, [](SimScript& s) { s.stall_after_page_bytes = 60000; }},
        {"cancelled on the device", feeder, [](SimScript& s) { s.end_codes = {9}; }},
        {"jam on the second sheet", feeder, [](SimScript& s) { s.jam_at_page = 2; }, 2},
        // Paced so that the cancel lands long before the page's end.
        {"cancel from another thread", flatbed, [](SimScript& s) { s.band_size = 2048; s.band_delay_ms = 25; }, 1, 20},
    });
    const char* const fields[] = {"start", "end of reads", "one more read", "bytes", "FNV-1a 64", "page file left",
                                  "commands"};
    const char* write_to = getenv("ORVELA_WRITE_DIGESTS");
    const std::string golden_path = top + "/tests/frontend/frame_digests.txt";
    std::map<std::string, std::vector<std::string>> golden;  // by "case<TAB>delivery"
    for (const std::string& line : split(write_to ? "" : read_file(golden_path), '\n')) {
        std::vector<std::string> v = split(line, '\t');
        v.resize(2 + std::size(fields));  // (no commands: the line ends with a tab)
        if (!line.empty() && line[0] != '#') golden[v[0] + '\t' + v[1]].assign(v.begin() + 2, v.end());
    }
    std::string written =
        "# Written by ScanJob.BothDeliveriesServeWhatTheyServedBefore (tests/frontend/test_frontend_scan.cpp) with\n"
        "# ORVELA_WRITE_DIGESTS set. \"-\": not recorded (how far the reads got before a cancel from another thread\n"
        "# depends on timing). Commands: l lock, f feeder, i scan parameters, a abort, u unlock. Tab-separated:\n"
        "# case\tdelivery";
    for (const char* f : fields) written += std::string("\t") + f;
    written += '\n';
    InitThresholdTable();  // as initialisation does
    for (const Case& c : cases) {
        for (bool streaming : {false, true}) {
            const std::string key = c.name + '\t' + (streaming ? "streaming" : "whole");
            SCOPED_TRACE(key);
            use_streaming(streaming);
            SimScript script;
            script.sheets = 3;
            script.right_rear_reference = true;
            script.band_size = 8192;
            script.record_sent_bands = c.cancel_after_bands != 0;
            c.fault(script);
            TestHandle& h = open(true, true);
            for (const std::string& s : split(c.settings, '|'))
                h.set(s.substr(0, s.find('=')), s.substr(s.find('=') + 1));
            server.model().set_script(script);
            server.model().clear_commands();
            unlink(kScanFilePath);
            std::optional<TestClock> clock;  // a stall's 30 s time-outs in 30 wait slices
            if (script.stall_after_page_bytes >= 0) clock.emplace(1000);
            std::thread canceller([&] {
                for (size_t sent = 0, waits = 0; c.cancel_after_bands != 0 && waits < 10000; ++waits) {
                    sent += server.model().take_sent_bands().size();
                    if (sent >= c.cancel_after_bands) return sane_orvela_cancel(h.get());
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            std::string statuses[3];
            size_t bytes = 0;
            uint64_t digest = 0xcbf29ce484222325u;
            for (int page = 0; page < c.pages; ++page) {
                const std::string sep = page == 0 ? "" : "/";
                srand(20240611);  // black and white: the same random thresholds for both deliveries
                statuses[0] += sep + status_name(sane_orvela_start(h.get()));
                const FrameRead frame = h.read_frame(32768);  // a frontend's read size
                SANE_Byte b[16];
                SANE_Int len = 0;
                statuses[1] += sep + status_name(frame.end);
                statuses[2] += sep + status_name(sane_orvela_read(h.get(), b, sizeof b, &len));
                bytes += frame.bytes.size();
                for (uint8_t byte : frame.bytes) digest = (digest ^ byte) * 0x100000001b3u;
            }
            canceller.join();
            sane_orvela_cancel(h.get());
            const bool timed = streaming && c.cancel_after_bands != 0;
            char hex[17];
            snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
            const auto want = golden.find(key);
            if (want == golden.end()) std::this_thread::sleep_for(std::chrono::milliseconds(300));  // commands settle
            const std::vector<std::string> got = {statuses[0], statuses[1], statuses[2],
                                                  timed ? "-" : std::to_string(bytes), timed ? "-" : hex,
                                                  access(kScanFilePath, F_OK) == 0 ? "yes" : "no",
                                                  want == golden.end() ? command_ids() : command_ids_once(want->second[6])};
            if (write_to != nullptr) {
                written += key;
                for (const std::string& v : got) written += '\t' + v;
                written += '\n';
            } else if (want == golden.end()) {
                ADD_FAILURE() << key << ": no line in " << golden_path;
            } else {
                for (size_t i = 0; i < got.size(); ++i)
                    EXPECT_EQ(got[i], want->second[i]) << c.name << ", " << (streaming ? "streaming" : "whole") << ": "
                                                       << fields[i] << " was " << want->second[i] << ", is " << got[i];
            }
        }
    }
    if (write_to != nullptr) ASSERT_TRUE(write_file(write_to, std::vector<uint8_t>(written.begin(), written.end())));
    else EXPECT_EQ(golden.size(), 2 * cases.size()) << "lines of " << golden_path << " for cases that are gone";
}

// The whole life of a handle through the entry points: open by name, options,
// a feeder page, and a close that still finds the job open.
TEST_F(ScanJob, OpenByNameScanAndClose) {
    ORVELA_Scanner record = net_record(server.port());
    snprintf(record.deviceURI, sizeof record.deviceURI, "socket://127.0.0.1:%d", server.port());
    record.isSupportADF = true;
    ASSERT_NE(devlist_add(record), nullptr);
    SimScript script;
    script.sheets = 2;
    server.model().set_script(script);

    SANE_Handle h = nullptr;
    ASSERT_EQ(sane_orvela_open(record.deviceURI, &h), SANE_STATUS_GOOD);
    std::string source = "Automatic Document Feeder";
    ASSERT_EQ(sane_orvela_control_option(h, OPT_SOURCE, SANE_ACTION_SET_VALUE, source.data(), nullptr),
              SANE_STATUS_GOOD);
    SANE_Word r = 100;
    ASSERT_EQ(sane_orvela_control_option(h, OPT_RESOLUTION, SANE_ACTION_SET_VALUE, &r, nullptr), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_orvela_start(h), SANE_STATUS_GOOD);
    SANE_Parameters p{};
    ASSERT_EQ(sane_orvela_get_parameters(h, &p), SANE_STATUS_GOOD);
    std::vector<SANE_Byte> buf(8188);
    size_t total = 0;
    SANE_Int len = 0;
    SANE_Status st;
    while ((st = sane_orvela_read(h, buf.data(), 8188, &len)) == SANE_STATUS_GOOD) total += static_cast<size_t>(len);
    EXPECT_EQ(st, SANE_STATUS_EOF);
    EXPECT_EQ(total, static_cast<size_t>(p.bytes_per_line) * p.lines);
    // One sheet is left: the job still holds the scanner. Closing the handle
    // lets it go.
    EXPECT_TRUE(server.model().locked());
    sane_orvela_close(h);
    EXPECT_FALSE(server.model().locked());
}

// Two scans at once never share the page file: the second waits until the
// first is done with it, and a cancel ends the wait without device contact.
// A streaming scan has no page file to wait for.
TEST_F(ScanJob, WaitsForAnotherScansPageFile) {
    TestHandle& h = open();
    h.set_area(0, 0, 30, 30);
    h.set_word(OPT_RESOLUTION, 100);
    h.scan();
    sane_orvela_cancel(h.get());  // the flag stays set from this job
    server.model().clear_commands();

    // The start waits for the file until the cancel (its own wait would last
    // 120 s; the file is never released meanwhile).
    int held = -1;
    ASSERT_EQ(page_file_acquire(kScanFilePath, 0, nullptr, &held), SCAN_STATUS_GOOD);
    std::atomic<bool> cancel_issued{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel_issued = true;
        sane_orvela_cancel(h.get());
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_CANCELLED);
    EXPECT_TRUE(cancel_issued.load());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));  // the page file's wait is real time
    canceller.join();
    EXPECT_EQ(command_ids(), "");

    // The next start scans once the file is released, and not before.
    std::string before_release = "?";
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        before_release = command_ids();
        page_file_release(kScanFilePath, held, false);
    });
    h.scan();
    releaser.join();
    EXPECT_EQ(before_release, "");
    EXPECT_EQ(command_ids(), "liu");

    // The streaming path has no page file: it scans while the file is held.
    ASSERT_EQ(page_file_acquire(kScanFilePath, 0, nullptr, &held), SCAN_STATUS_GOOD);
    use_streaming(true);
    h.scan();
    page_file_release(kScanFilePath, held, false);
}

// Ending a feeder job early pulls the sheets left in the feeder through the
// scanner, placed where the frontend put the area (no centring).
TEST_F(ScanJob, DrainTheFeeder) {
    SimScript script;
    script.sheets = 4;
    server.model().set_script(script);
    TestHandle& h = open();
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    h.set_string(OPT_PAPERSIZE, "A4 (210 x 297 mm)");
    h.set_word(OPT_RESOLUTION, 100);
    const SANE_Parameters frame = h.parameters();
    ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
    SANE_Byte b[64];
    SANE_Int len = 0;
    ASSERT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_GOOD);
    EXPECT_EQ(server.model().sheets_left(), 3);
    h.set_word(OPT_TL_X, mm(10));
    drv_cancelADFPages(h.get());
    // The page in memory is still served to its end.
    const FrameRead rest = h.read_frame();
    EXPECT_EQ(rest.end, SANE_STATUS_EOF);
    EXPECT_EQ(rest.bytes.size() + len, size_t(frame.bytes_per_line) * size_t(frame.lines));
    EXPECT_EQ(server.model().sheets_left(), 0);
    EXPECT_EQ(server.model().pages_started(), 4);
    EXPECT_FALSE(server.model().locked());
    EXPECT_TRUE(h->job_completed);
    const auto infos = scan_infos();
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[0].nXPosition, 34u);  // the first sheet was centred
    EXPECT_EQ(infos[1].nXPosition, 118u);  // tl-x 10 mm as it stands
    h.set_word(OPT_TL_X, 0);
    EXPECT_EQ(sane_orvela_start(h.get()), SANE_STATUS_NO_DOCS);

    // On a flatbed source it does nothing.
    server.model().clear_commands();
    h.set_string(OPT_SOURCE, "Flatbed");
    drv_cancelADFPages(h.get());
    EXPECT_EQ(command_ids(), "");

    // A streaming sheet in the middle is pulled to its end first.
    use_streaming(true);
    sane_orvela_cancel(h.get());
    server.model().set_script(script);
    server.model().clear_commands();
    h.set_string(OPT_SOURCE, "Automatic Document Feeder");
    ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_GOOD);
    drv_cancelADFPages(h.get());
    EXPECT_EQ(server.model().sheets_left(), 0);
    EXPECT_FALSE(server.model().locked());
    EXPECT_EQ(command_ids(), "lfififfiffifu");  // no abort: the sheet is pulled whole
    // Its rest was thrown away: reads say so instead of serving anything.
    len = -1;
    EXPECT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_CANCELLED);
    EXPECT_EQ(len, 0);

    // A sheet whose pull fails in the middle (the scanner stalls) is aborted
    // and the scanner released; no feeder query goes into the half-read page.
    sane_orvela_cancel(h.get());
    script.stall_after_page_bytes = 300000;  // a few hundred rows of the sheet
    server.model().set_script(script);
    server.model().clear_commands();
    ASSERT_EQ(sane_orvela_start(h.get()), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_orvela_read(h.get(), b, sizeof b, &len), SANE_STATUS_GOOD);
    {
        TestClock clock(1000);  // the 30-second band time-out in 30 wait slices
        drv_cancelADFPages(h.get());
    }
    EXPECT_EQ(command_ids(), "lfiauuu");  // the stalled scanner answers neither abort nor unlocks
    EXPECT_FALSE(server.model().locked());
    EXPECT_TRUE(h->job_completed);
}

}  // namespace
