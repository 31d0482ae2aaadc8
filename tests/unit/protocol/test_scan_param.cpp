// The scan parameter block byte for byte, its date and time-zone fields, and
// the command that carries it.
#include <gtest/gtest.h>

#include <sys/timeb.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backend/net_transport.h"
#include "protocol/scan_param.h"
#include "protocol/scanner.h"
#include "protocol/wire_format.h"
#include "tests/support/loopback_peer.h"

namespace {

// The block as it goes on the wire (little-endian on every host).
std::vector<uint8_t> bytes_of(const SCANINFO& info) {
    const auto block = orvela_wire::encode_scan_info(info);
    return std::vector<uint8_t>(block.begin(), block.end());
}

ORVELA_ScanParam request(int color, int source, unsigned dpi, unsigned left, unsigned top, unsigned w, unsigned h) {
    ORVELA_ScanParam p{};
    p.XRes = 111;  // carried, never sent
    p.YRes = 222;
    p.bitPerPixel = 333;
    p.ScanColor = color;
    p.ScanSource = source;
    p.xResolution = dpi;
    p.yResolution = dpi;
    p.Left = left;
    p.Top = top;
    p.widthPixel = w;
    p.heightPixel = h;
    return p;
}

// 2026-01-01 22:30:00 UTC, which is already 2 January (00:30) two hours east.
time_t new_year_evening_utc() {
    tm t{};
    t.tm_year = 126;
    t.tm_mon = 0;
    t.tm_mday = 1;
    t.tm_hour = 22;
    t.tm_min = 30;
    return timegm(&t);
}

}  // namespace

TEST(ScanParameterBlock, FlatbedGreyRequestByteForByte) {
    const SCANINFO info = orvela_protocol::ParameterConvertAt(request(Grayscale, ScanSource_Flatbed, 300, 10, 20, 2550, 3507),
                                                              new_year_evening_utc(), -120);
    EXPECT_EQ(hex(bytes_of(info)),
              "00 00 00 00 00 00 00 00 00 00 00 00 "  // source, TPA, endorser
              "EA 07 01 01 16 1E 88 FF "              // 2026-01-01 22:30 UTC, 120 minutes east
              "34 21 00 00 B4 2D 00 00 "              // bed 8500 x 11700
              "81 FF FF FF 7F 00 00 00 01 00 00 00 "  // intensity -127..127 step 1
              "81 FF FF FF 7F 00 00 00 01 00 00 00 "  // contrast
              "01 00 00 00 07 00 00 00 EC 13 00 00 "  // compression types, data types, 5100 px
              "4F FC FF FF E8 03 00 00 "              // the constant at 64, 1000 lines
              "02 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00 "  // grey, 8 bits, intensity, contrast
              "2C 01 00 00 2C 01 00 00 0A 00 00 00 14 00 00 00 "  // 300 x 300 dpi at (10, 20)
              "F6 09 00 00 B3 0D 00 00 "                          // 2550 x 3507
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "01 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(ScanParameterBlock, ColourAndSourceDecideTypeDepthAndBedHeight) {
    const time_t now = new_year_evening_utc();
    SCANINFO bw = orvela_protocol::ParameterConvertAt(request(Black_White, ScanSource_Flatbed, 600, 0, 0, 1, 1), now, 0);
    EXPECT_EQ(bw.nDataType, 2u);
    EXPECT_EQ(bw.nBitsPerPixel, 8u);
    EXPECT_EQ(bw.nBedHeight, 11700u);

    SCANINFO feeder = orvela_protocol::ParameterConvertAt(request(Color, ScanSource_ADF, 300, 0, 0, 1, 1), now, 0);
    EXPECT_EQ(feeder.nScanSrc, 1u);
    EXPECT_EQ(feeder.nBedHeight, 14000u);
    EXPECT_EQ(feeder.nDataType, 4u);
    EXPECT_EQ(feeder.nBitsPerPixel, 24u);

    SCANINFO automatic = orvela_protocol::ParameterConvertAt(request(0, ScanSource_Auto, 150, 0, 0, 1, 1), now, 0);
    EXPECT_EQ(automatic.nScanSrc, 2u);
    EXPECT_EQ(automatic.nBedHeight, 14000u);
    EXPECT_EQ(automatic.nDataType, 4u);  // colour model 0 goes out as colour
    EXPECT_EQ(automatic.nBitsPerPixel, 24u);
    EXPECT_EQ(automatic.nXResolution, 150u);
    EXPECT_EQ(automatic.nYResoultion, 150u);

    for (const SCANINFO& info : {bw, feeder, automatic}) {
        const auto b = bytes_of(info);
        EXPECT_EQ(hex(std::vector<uint8_t>(b.begin() + 64, b.begin() + 68)), "4F FC FF FF");
    }
    // The time-zone field carries its sign in two bytes: 5 hours west.
    SCANINFO west = orvela_protocol::ParameterConvertAt(request(Color, 0, 300, 0, 0, 1, 1), now, 300);
    EXPECT_EQ(west.nTimeZone, 300);
    // The UTC date, not the local one, whatever the process's time zone.
    EXPECT_EQ(west.nDay, 1);
    EXPECT_EQ(west.nHour, 22);
}

TEST(ScanParameterBlock, ParameterConvertUsesTheUtcClockAndFtimesZone) {
    const char* old_tz = getenv("TZ");
    const std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "XST-14", 1);  // far east of Greenwich: the local date is often another day
    tzset();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t before = time(nullptr);
        const SCANINFO info = ParameterConvert(request(Grayscale, 0, 300, 1, 2, 3, 4));
        const time_t after = time(nullptr);
        if (before / 60 != after / 60) continue;  // a minute boundary passed: try again
        tm utc{};
        gmtime_r(&before, &utc);
        EXPECT_EQ(info.nYear, utc.tm_year + 1900);
        EXPECT_EQ(info.nMonth, utc.tm_mon + 1);
        EXPECT_EQ(info.nDay, utc.tm_mday);
        EXPECT_EQ(info.nHour, utc.tm_hour);
        EXPECT_EQ(info.nMinute, utc.tm_min);
        timeb tb{};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        ftime(&tb);
#pragma GCC diagnostic pop
        EXPECT_EQ(static_cast<int16_t>(info.nTimeZone), tb.timezone);
        EXPECT_EQ(info.nXPosition, 1u);
        EXPECT_EQ(info.nYExtent, 4u);
        break;
    }
    if (old_tz) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(ScanParameterBlock, PaperSizeTable) {
    const float expected[5][2] = {{8.268f, 11.693f}, {5.827f, 8.268f}, {7.165f, 10.0f}, {8.5f, 11.0f}, {4.0f, 6.0f}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(scan_size_array[i].index, i);
        EXPECT_FLOAT_EQ(scan_size_array[i].width, expected[i][0]);
        EXPECT_FLOAT_EQ(scan_size_array[i].height, expected[i][1]);
    }
    EXPECT_EQ(scan_size_array[Scan_Letter].index, Scan_Letter);
}

TEST(ScanParameterBlock, SentBehindAnEightByteHeaderWithZeroLength) {
    std::vector<uint8_t> got;
    LoopbackPeer server([&](int& fd, int) {
        got = peer::read_bytes(fd, 168);
        peer::write_all(fd, peer::reply(0x73, 14));
        peer::wait_closed(fd);
    });
    ORVELA_Device d{};
    d.type_io = IOTYPE_NET;
    strcpy(d.ipaddress, "127.0.0.1");
    d.port = server.port();
    ASSERT_TRUE(scanner_open(d));
    const SCANINFO info = ParameterConvert(request(Grayscale, 0, 300, 10, 20, 2550, 3507));
    EXPECT_EQ(scanner_set_parameters(info), STATUS_INVALIDPARAMETERFMT);
    scanner_close();
    server.wait_idle();
    ASSERT_EQ(got.size(), 168u);
    EXPECT_EQ(hex(std::vector<uint8_t>(got.begin(), got.begin() + 8)), "53 69 00 00 00 00 00 00");
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 8, got.end()), bytes_of(info));
}
