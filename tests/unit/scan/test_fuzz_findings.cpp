// Inputs found by the fuzz targets (fuzz/), replayed: option calls with
// actions outside the listed ones and areas turned inside out, which once
// tripped UndefinedBehaviorSanitizer or gave negative frame sizes; a cancel
// during the drain of a broken page, and a progressive frame too large to
// allocate. (Page ends with unnamed codes and feeder bytes are rows of
// test_driver's Scan2FileReportsHowThePageEnded.)
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/jpegdecompress.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/page/page_file.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "protocol/page_pull.h"
#include "protocol/scanner.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/process.h"
#include "tests/support/test_handle.h"
#include "core/scan/sane/exported_extras.h"
#include "core/scan/sane/handle_order.h"

namespace {

TEST(FuzzFindings, ActionsOutsideTheListedOnesChangeNothing) {
    TestHandle h;
    // An action is an int from a C caller or from the network; these are read
    // as ints, not as enum values (108 is the fuzzer's).
    for (int action : {108, -1, 3, INT_MAX, INT_MIN}) {
        SANE_Word word = 1200;
        SANE_Int info = -1;
        sane_orvela_control_option(h.get(), OPT_RESOLUTION, static_cast<SANE_Action>(action), &word, &info);
        EXPECT_EQ(info, 0) << action;
        EXPECT_EQ(h->val[OPT_RESOLUTION].w, 300) << action;
        EXPECT_EQ(word, 1200) << action;
    }
    EXPECT_STREQ(h->val[OPT_MODE].s, mode_list[0]);
}

TEST(FuzzFindings, AnAreaTurnedInsideOutIsAnEmptyFrameNotANegativeOne) {
    struct Case {
        const char* mode;
        int option;
        SANE_Word value;
    };
    // The fuzzer's input: grey, then a resolution of 0xA4A4A4A4; and the
    // same in colour and black and white, and negative widths and heights.
    const Case cases[] = {
        {"Gray", OPT_RESOLUTION, static_cast<SANE_Word>(0xA4A4A4A4u)},
        {"Color", OPT_RESOLUTION, -300},
        {"Color", OPT_WIDTH, -0x7FFFFFFF},
        {"Black & White", OPT_BR_X, -(100 << 16)},
        {"Color", OPT_BR_Y, INT_MIN},
        {"Gray", OPT_HEIGHT, -(5 << 16)},
    };
    for (const Case& c : cases) {
        TestHandle h;
        h.set_string(OPT_MODE, c.mode);
        h.set_word(c.option, c.value);
        const SANE_Parameters p = h.parameters();
        EXPECT_GE(p.pixels_per_line, 0) << c.mode << " " << c.option;
        EXPECT_GE(p.lines, 0) << c.mode << " " << c.option;
        EXPECT_GE(p.bytes_per_line, 0) << c.mode << " " << c.option;
        // Width or height (or both) is empty, so the frame has no bytes.
        EXPECT_EQ(static_cast<long long>(p.bytes_per_line) * p.lines, 0) << c.mode << " " << c.option;
    }
    // A right-side-out area is unchanged: A4 at 300 dpi in colour.
    TestHandle h;
    const SANE_Parameters p = h.parameters();
    EXPECT_EQ(p.pixels_per_line, 2551);
    EXPECT_EQ(p.lines, 3507);
    EXPECT_EQ(p.bytes_per_line, 3 * 2551);
}

// A pull that stops inside the page (here at a band too large to be in step)
// aborts the page and drains the rest; a cancel made during that drain turned the page's
// I/O error into a cancel. The result is now settled before the drain.
TEST(FuzzFindings, CancelDuringTheDrainOfABrokenPageKeepsItsIoError) {
    const std::vector<uint8_t> data = {'w', 'x', 'y', 'z'};
    std::vector<uint8_t> stream = peer::reply(0x64, 0, 0, 0, 4);
    stream.insert(stream.end(), data.begin(), data.end());
    const std::vector<uint8_t> too_large = peer::reply(0x64, 0, 0, 0, orvela_protocol::kMaxBandSize + 1);
    stream.insert(stream.end(), too_large.begin(), too_large.end());
    bool cancel = false;
    std::vector<uint8_t> command;
    LoopbackPeer scanner([&](int& fd, int) {
        peer::write_all(fd, stream);
        command = peer::read_bytes(fd, 8);
        __atomic_store_n(&cancel, true, __ATOMIC_RELEASE);
        peer::write_all(fd, peer::reply(0x73, 0, 0));
        peer::wait_closed(fd, 5000);
    });
    TempDir dir;
    const std::string page = dir.file("page.jpg");
    ASSERT_TRUE(scanner_open(net_record(scanner.port())));
    const SCAN_RESULT r = Drv_scan2File(page.c_str(), &cancel);
    scanner_close();
    scanner.wait_idle();
    EXPECT_EQ(command, (std::vector<uint8_t>{0x53, 0x61, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(cancel);
    EXPECT_EQ(r.scan_status, SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(read_file_bytes(page), data);
}

}  // namespace

// --- the streaming decoder (fuzz_jpeg_stream) ---

namespace {

std::vector<char> g_stream;
size_t g_stream_pos = 0;

int feed_stream(char* buffer, size_t* size) {
    const size_t n = std::min<size_t>(32768, g_stream.size() - g_stream_pos);
    memcpy(buffer, g_stream.data() + g_stream_pos, n);
    g_stream_pos += n;
    *size = n;
    return n == 0 ? 5 : 0;
}

long peak_rss_kb() {
    const std::string status = read_file("/proc/self/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

}  // namespace

// A 200-byte progressive stream announcing a 43540 x 32769 frame made libjpeg
// allocate about 4.3 GB of coefficient buffers inside the host. The decode now
// ends in a library error instead, having delivered no row.
TEST(FuzzFindings, HugeProgressiveFrameIsRefusedNotAllocated) {
    const std::string here = __FILE__;
    const std::string input = read_file(here.substr(0, here.rfind("/tests/")) +
                                        "/fuzz/findings/jpeg_stream_progressive_frame_4gb");
    ASSERT_GT(input.size(), 2u);
    g_stream.assign(input.begin() + 2, input.end());  // the fuzzer's two control bytes
    g_stream_pos = 0;
    int rows = 0;
    DecodeInfo info{};
    info.getBandFunc = feed_stream;
    info.caller = &rows;
    info.callback = [](unsigned char*, size_t, int, void* caller) { ++*static_cast<int*>(caller); };
    const long before = peak_rss_kb();
    JPEGDecompressStart(&info, false);
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(info.sourceMgr, nullptr);
    EXPECT_EQ(info.workID, 0u);
    EXPECT_LT(peak_rss_kb() - before, 600L * 1024);

    // The scan path's page decode refuses the frame too: it is larger than
    // the bed at any device resolution.
    TempDir dir;
    ASSERT_TRUE(write_file(dir.file("page.jpg"), std::vector<uint8_t>(g_stream.begin(), g_stream.end())));
    orvela_scanner_t page{};
    show_job_in_handle(&page);
    EXPECT_EQ(orvela_sane_decompress(&page, dir.file("page.jpg").c_str()), SCAN_STATUS_IO_ERROR);
    EXPECT_EQ(page.src_img.img_data, nullptr);
    EXPECT_LT(peak_rss_kb() - before, 600L * 1024);
}
