// Whole pages over USB: discovery finds the emulated scanner, and the driver
// layer opens, locks, sends the parameters, pulls the page into a file and
// closes, through the transport dispatch and the real libusb, against the
// scanner simulator's device model behind the bulk endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/device.h"
#include "backend/usb_discovery.h"
#include "backend/usb_transport.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/driver/page_transfer.h"
#include "core/scan/job/job_page.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_rows.h"
#include "tests/usb_emu/emu_test_util.h"
#include "tests/usb_emu/usbfs_emulation.h"

#ifdef ORVELA_HAVE_SCANNER_SIM
#include "tests/usb_emu/sim_bulk_peer.h"
#endif

using namespace usb_emu;

namespace {

#ifdef ORVELA_HAVE_SCANNER_SIM

ORVELA_ScanParam colour_page(unsigned width, unsigned height, int source = ScanSource_Flatbed) {
    ORVELA_ScanParam p{};
    p.XRes = p.YRes = 300;
    p.xResolution = p.yResolution = 300;
    p.ScanColor = Color;
    p.ScanSource = source;
    p.Left = 30;
    p.Top = 40;
    p.widthPixel = width;
    p.heightPixel = height;
    p.bitPerPixel = 24;
    return p;
}

class UsbPage : public testing::Test {
protected:
    // Attaches a scanner of the model table whose bulk endpoints lead to the
    // simulator, and finds it the way the device list does.
    ORVELA_Scanner attach(orvela_sim::SimScript script, uint16_t pid = 0x1006) {
        auto model = std::make_shared<orvela_sim::ScannerModel>(std::move(script));
        peer = std::make_shared<SimBulkPeer>(model);
        DeviceConfig config = scanner_config(0x5E5A, pid, u"PG0001");
        config.product = u"OR-M2270fdw";
        EmulatedDevice& d = bed.add(config);
        d.with_model([&](DeviceModel& m) {
            m.set_peer(peer);
            return 0;
        });
        device = &d;
        ORVELA_Scanner* list = nullptr;
        const int n = USB_FindScanner(&list);
        EXPECT_EQ(n, 1);
        ORVELA_Scanner record{};
        if (n >= 1) record = list[0];
        free(list);
        return record;
    }

    Testbed bed;
    TempDir dir;
    std::shared_ptr<SimBulkPeer> peer;
    EmulatedDevice* device = nullptr;
};

TEST_F(UsbPage, FlatbedPageReachesTheFileByteForByte) {
    orvela_sim::SimScript script;
    // Bands from one byte up to the driver's 64 KiB buffer, used in turn.
    script.band_pattern = {1, 4093, 65536, 777, 20000};
    const ORVELA_Scanner record = attach(script);
    ASSERT_EQ(record.type_io, IOTYPE_USB);
    ASSERT_EQ(record.endpoint_bulkout, 0x01);
    ASSERT_EQ(record.endpoint_bulkin, 0x81);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Drv_open(record), SCAN_STATUS_GOOD);
    EXPECT_EQ(CurrentDeviceType(), IOTYPE_USB);
    EXPECT_TRUE(peer->model().locked());
    ASSERT_EQ(Drv_start(colour_page(1200, 1600)), SCAN_STATUS_GOOD);

    const std::string path = dir.file("page.jpg");
    bool canceled = false;
    const SCAN_RESULT result = Drv_scan2File(path.c_str(), &canceled);
    EXPECT_EQ(result.scan_status, SCAN_STATUS_GOOD);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    EXPECT_FALSE(peer->model().locked());
    EXPECT_EQ(dev_handle, nullptr);
    EXPECT_EQ(gContext, nullptr);

    const std::vector<uint8_t> sent = peer->page_data();
    const std::vector<uint8_t> stored = read_file_bytes(path);
    ASSERT_GT(sent.size(), 65536u * 2);
    EXPECT_EQ(stored.size(), sent.size());
    EXPECT_TRUE(stored == sent);
    ASSERT_GE(stored.size(), 4u);
    EXPECT_EQ(stored[0], 0xFF);
    EXPECT_EQ(stored[1], 0xD8);
    EXPECT_EQ(stored[stored.size() - 2], 0xFF);
    EXPECT_EQ(stored.back(), 0xD9);

    // The device saw lock, parameters with our area, and unlock.
    const auto commands = peer->model().commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].id, orvela_sim::kCmdLock);
    EXPECT_EQ(commands[1].id, orvela_sim::kCmdScanInfo);
    ASSERT_TRUE(commands[1].info.has_value());
    EXPECT_EQ(commands[1].info->nXExtent, 1200u);
    EXPECT_EQ(commands[1].info->nYExtent, 1600u);
    EXPECT_EQ(commands[1].info->nXResolution, 300u);
    EXPECT_EQ(commands[2].id, orvela_sim::kCmdUnlock);
    EXPECT_EQ(device->stats().implicit_claims, 0u);
    RecordProperty("page_bytes", static_cast<int>(stored.size()));
    RecordProperty("page_ms", static_cast<int>(ms));
    printf("  page of %zu bytes in %zu bulk IN transfers, %.1f ms from open to close\n", stored.size(),
           peer->transfers().size(), ms);
}

TEST_F(UsbPage, BusyScannerIsWaitedOutAndFeederSheetsComeOneByOne) {
    orvela_sim::SimScript script;
    script.busy_locks = 1;  // one 2-second wait, with a close and a fresh USB open
    script.sheets = 2;
    script.band_size = 30000;
    const ORVELA_Scanner record = attach(script);

    ASSERT_EQ(Drv_open(record), SCAN_STATUS_GOOD);
    EXPECT_EQ(device->with_model([](DeviceModel& m) { return m.claims; }), 2u);
    EXPECT_EQ(Drv_get_adf_status(), STATUS_ADF_PAPER_EXIST);
    std::vector<std::vector<uint8_t>> pages;
    for (int sheet = 0; sheet < 2; ++sheet) {
        const size_t before = peer->page_data().size();
        ASSERT_EQ(Drv_start(colour_page(800, 1000, ScanSource_ADF)), SCAN_STATUS_GOOD);
        const std::string path = dir.file("sheet" + std::to_string(sheet) + ".jpg");
        bool canceled = false;
        const SCAN_RESULT r = Drv_scan2File(path.c_str(), &canceled);
        EXPECT_EQ(r.scan_status, SCAN_STATUS_GOOD);
        const std::vector<uint8_t> all = peer->page_data();
        const std::vector<uint8_t> sent(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
        EXPECT_TRUE(read_file_bytes(path) == sent) << "sheet " << sheet;
        pages.push_back(sent);
    }
    // The busy answer to the first lock cost a fresh claim of the USB device
    // (two claims, above) and a second lock.
    const auto commands = peer->model().commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const auto& c) { return c.id == orvela_sim::kCmdLock; }),
              2);
    EXPECT_EQ(Drv_get_adf_status(), STATUS_ADF_PAPER_EMPTY);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    EXPECT_EQ(peer->model().sheets_left(), 0);
    EXPECT_FALSE(pages[0].empty());
}

// The streaming path over USB: bands that come slower than the read's 100 ms
// transfers are waited for and decoded as they arrive, into the rows of the
// page as sent.
TEST_F(UsbPage, StreamingPageIsDecodedAsItComes) {
    orvela_sim::SimScript script;
    script.band_size = 8192;
    script.band_delay_ms = 150;
    ASSERT_EQ(Drv_open(attach(script)), SCAN_STATUS_GOOD);
    ASSERT_EQ(Drv_start(colour_page(600, 400)), SCAN_STATUS_GOOD);
    bool cancel = false;
    orvela_drv::PageTransfer transfer(&cancel, orvela_drv::PageTransfer::CancelCheck::WhileWaiting);
    DevicePage source(transfer);
    PageRows page(source, 300, {300, 300}, false);
    ASSERT_TRUE(page.init());
    std::vector<uint8_t> rows;
    const uint8_t* row = nullptr;
    while (page.next_row(true, &row) == PageRows::Result::Ready) rows.insert(rows.end(), row, row + 600 * 3);
    EXPECT_EQ(page.finish(), PageRows::Result::Done);
    EXPECT_EQ(Drv_close(), SCAN_STATUS_GOOD);
    const std::string path = dir.file("page.jpg");
    ASSERT_TRUE(write_file(path, peer->page_data()));
    ORVELA_IMAGE_RAW decoded{};
    ASSERT_EQ(decode_page_file(path.c_str(), {300, 300}, &decoded), SCAN_STATUS_GOOD);
    ASSERT_EQ(rows.size(), 600u * 400 * 3);
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), decoded.img_data));
    free(decoded.img_data);
}

#else

TEST(UsbPage, NeedsTheScannerSimulator) { GTEST_SKIP() << "orvela_scanner_sim is not part of this build"; }

#endif

}  // namespace
