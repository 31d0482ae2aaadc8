// Tests of the simulated scanner, driven over loopback by a tiny raw client
// that speaks the device protocol byte by byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/scan/imageproc/resample.h"
#include "tests/support/process.h"
#include "tools/scanner_sim/page_image.h"
#include "tools/scanner_sim/sim_device.h"
#include "tools/scanner_sim/sim_tcp_server.h"
#include "tools/scanner_sim/tests/sim_program.h"

using namespace orvela_sim;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A host side of the protocol with nothing but a socket.
class RawClient {
public:
    explicit RawClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }

    bool send(const uint8_t* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    template <size_t N>
    bool send(const std::array<uint8_t, N>& a) {
        return send(a.data(), N);
    }
    bool command(uint8_t id) { return send(make_command(id)); }

    // Exactly n bytes within timeout_ms, or nothing (eof_ tells whether the
    // connection ended). Partial data is kept in last_partial_.
    std::optional<Bytes> recv(size_t n, int timeout_ms = 5000) {
        Bytes out(n);
        size_t got = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        eof_ = false;
        while (got < n) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) break;
            ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) {
                eof_ = true;
                break;
            }
            got += static_cast<size_t>(r);
        }
        if (got < n) {
            last_partial_.assign(out.begin(), out.begin() + static_cast<long>(got));
            return std::nullopt;
        }
        return out;
    }
    bool eof() const { return eof_; }
    const Bytes& last_partial() const { return last_partial_; }

    // Sends a command and reads its 8-byte reply.
    std::optional<Bytes> exchange(uint8_t id) {
        if (!command(id)) return std::nullopt;
        return recv(8);
    }

    // A whole page stream as a host reads it: headers, bands, end header.
    struct Page {
        bool complete = false;      // an end header arrived
        Bytes end;                  // the end header
        Bytes jpeg;                 // the bands joined
        std::vector<uint32_t> bands;
        std::vector<Bytes> unknown;  // headers with another identifier
        size_t stream_bytes = 0;    // headers and data received
    };
    Page read_page(int timeout_ms = 10000) {
        Page page;
        for (;;) {
            auto h = recv(8, timeout_ms);
            if (!h) {
                page.stream_bytes += last_partial_.size();
                return page;
            }
            page.stream_bytes += 8;
            if ((*h)[0] == 'd') {
                uint32_t size = le32(h->data() + 4);
                auto data = recv(size, timeout_ms);
                if (!data) {
                    page.stream_bytes += last_partial_.size();
                    return page;
                }
                page.stream_bytes += size;
                page.bands.push_back(size);
                page.jpeg.insert(page.jpeg.end(), data->begin(), data->end());
            } else if ((*h)[0] == 's') {
                page.end = *h;
                page.complete = true;
                return page;
            } else {
                page.unknown.push_back(*h);
            }
        }
    }

    // Sends scan parameters; returns the reply.
    std::optional<Bytes> scan(const ScanInfo& info) {
        if (!send(make_scan_info_command(info))) return std::nullopt;
        return recv(8);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    Bytes last_partial_;
};

Bytes reply(uint8_t id, uint8_t status, uint8_t adf, uint8_t warm = 0) {
    return {id, status, adf, warm, 0, 0, 0, 0};
}

// A small colour area at 100 dpi: quick to render, a few bands at small sizes.
ScanInfo small_area(uint32_t source = 0, uint32_t type = 4) {
    return make_scan_info(source, type, 100, 100, 40, 60, 120, 90);
}

struct Decoded {
    bool ok = false;
    Bytes pixels;
    uint32_t width = 0, height = 0;
    int channels = 0;
};
Decoded decode(const Bytes& jpeg) {
    Decoded d;
    d.ok = decode_jpeg(jpeg, d.pixels, d.width, d.height, d.channels);
    return d;
}

// A server with a fresh model and the given script, started.
struct Sim {
    explicit Sim(SimScript script = {}) : server(std::make_shared<ScannerModel>(std::move(script))) {
        EXPECT_TRUE(server.start());
    }
    TcpScannerServer server;
    ScannerModel& model() { return server.model(); }
    uint16_t port() { return server.port(); }
};

}  // namespace

TEST(ScannerSimProtocol, RepliesToEveryCommandAndRecordsTheExactBytes) {
    SimScript script;
    script.sheets = 2;
    Sim sim(script);
    RawClient c(sim.port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 1));
    EXPECT_TRUE(sim.model().locked());
    EXPECT_EQ(c.exchange(kCmdFeeder), reply('s', 0, 1));
    EXPECT_EQ(c.exchange(kCmdAbort), reply('s', 0, 1)) << "an abort with no page under way still gets an end header";
    // A command that arrives byte by byte is answered once it is whole.
    const auto unlock = make_command(kCmdUnlock);
    for (size_t i = 0; i + 1 < unlock.size(); ++i) ASSERT_TRUE(c.send(&unlock[i], 1));
    EXPECT_FALSE(c.recv(8, 150)) << "no reply to 7 bytes of a command";
    ASSERT_TRUE(c.send(&unlock[7], 1));
    EXPECT_EQ(c.recv(8), reply('s', 0, 1));
    EXPECT_FALSE(sim.model().locked());
    // Unknown command (also id 0, which no script switch means) and wrong
    // head byte: illegal command.
    EXPECT_EQ(c.exchange('z'), reply('s', kStatusIllegalCmd, 1));
    EXPECT_EQ(c.exchange(0), reply('s', kStatusIllegalCmd, 1));
    const uint8_t bad_head[8] = {'X', 'l', 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(c.send(bad_head, 8));
    EXPECT_EQ(c.recv(8), reply('s', kStatusIllegalCmd, 1));
    EXPECT_FALSE(sim.model().locked());

    auto cmds = sim.model().commands();
    ASSERT_EQ(cmds.size(), 7u);
    EXPECT_EQ(cmds[0].raw, Bytes({0x53, 0x6C, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmds[1].id, kCmdFeeder);
    EXPECT_EQ(cmds[2].id, kCmdAbort);
    EXPECT_EQ(cmds[3].raw, Bytes({0x53, 0x75, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmds[5].id, 0);
    EXPECT_EQ(cmds[6].head, 'X');
    EXPECT_EQ(cmds[0].connection, 1);
    EXPECT_FALSE(cmds[0].info.has_value());
}

TEST(ScannerSimProtocol, ScanParameterBlockIsDecodedFieldByField) {
    // Every field distinct, so a swapped or shifted offset shows.
    std::array<uint8_t, kScanInfoLength> block{};
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);
    ScanInfo s = decode_scan_info(block);
    EXPECT_EQ(s.nScanSrc, le32(&block[0]));
    EXPECT_EQ(s.nYear, block[12] | block[13] << 8);
    EXPECT_EQ(s.nMonth, block[14]);
    EXPECT_EQ(s.nMinute, block[17]);
    EXPECT_EQ(static_cast<uint16_t>(s.nTimeZone), block[18] | block[19] << 8);
    EXPECT_EQ(s.nWidthInBytes, le32(&block[64]));
    EXPECT_EQ(s.nDataType, le32(&block[72]));
    EXPECT_EQ(s.nXResolution, le32(&block[88]));
    EXPECT_EQ(s.nYResoultion, le32(&block[92]));
    EXPECT_EQ(s.nXPosition, le32(&block[96]));
    EXPECT_EQ(s.nYExtent, le32(&block[108]));
    EXPECT_EQ(s.nMaximumBufferSize, le32(&block[156]));
    EXPECT_EQ(encode_scan_info(s), block);

    const ScanInfo host = make_scan_info(0, 2, 300, 300, 12, 34, 2480, 3507);
    const auto cmd = make_scan_info_command(host);
    EXPECT_EQ(cmd.size(), 168u);
    EXPECT_EQ(Bytes(cmd.begin(), cmd.begin() + 8), Bytes({0x53, 0x69, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(cmd.begin() + 8 + 64, cmd.begin() + 8 + 68), Bytes({0x4F, 0xFC, 0xFF, 0xFF}));
    EXPECT_EQ(host.nBedHeight, 11700u);
    EXPECT_EQ(make_scan_info(1, 4, 300, 300, 0, 0, 1, 1).nBedHeight, 14000u);

    // Over the wire the recorded block equals what was sent.
    Sim sim;
    RawClient c(sim.port());
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
    ScanInfo sent = small_area();
    sent.nTimeZone = -60;
    sent.nHour = 23;
    ASSERT_EQ(c.scan(sent), reply('s', 0, 0));
    EXPECT_TRUE(c.read_page().complete);
    auto cmds = sim.model().commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].raw.size(), 168u);
    ASSERT_TRUE(cmds[1].info.has_value());
    EXPECT_EQ(*cmds[1].info, sent);
    EXPECT_NE(describe(cmds[1]).find("res=100x100 pos=40,60 size=120x90"), std::string::npos) << describe(cmds[1]);
}

TEST(ScannerSimPage, BandedStreamReassemblesIntoTheRequestedJpeg) {
    SimScript script;
    script.band_size = 4096;
    script.record_sent_bands = true;
    Sim sim(script);
    RawClient c(sim.port());
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));

    // Colour.
    ASSERT_EQ(c.scan(make_scan_info(0, 4, 150, 150, 100, 200, 301, 207)), reply('s', 0, 0));
    auto page = c.read_page();
    ASSERT_TRUE(page.complete);
    EXPECT_EQ(page.end, reply('s', 0, 0));
    ASSERT_GT(page.bands.size(), 2u);
    for (size_t i = 0; i + 1 < page.bands.size(); ++i) EXPECT_EQ(page.bands[i], 4096u);
    EXPECT_LE(page.bands.back(), 4096u);
    auto d = decode(page.jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 301u);
    EXPECT_EQ(d.height, 207u);
    EXPECT_EQ(d.channels, 3);
    // Every band is reported once it went out in full, with the JPEG bytes up to its end.
    const auto sent = sim.model().take_sent_bands();
    ASSERT_EQ(sent.size(), page.bands.size());
    size_t through = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        through += page.bands[i];
        EXPECT_EQ(sent[i].page, 1);
        EXPECT_EQ(sent[i].jpeg_bytes, through) << "band " << i;
        if (i > 0) {
            EXPECT_GE(sent[i].when, sent[i - 1].when);
        }
    }
    EXPECT_TRUE(sim.model().take_sent_bands().empty()) << "taken once";

    // Grey, 1200 x 600 dpi.
    ASSERT_EQ(c.scan(make_scan_info(0, 2, 1200, 600, 0, 0, 500, 260)), reply('s', 0, 0));
    page = c.read_page();
    ASSERT_TRUE(page.complete);
    d = decode(page.jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 500u);
    EXPECT_EQ(d.height, 260u);
    EXPECT_EQ(d.channels, 1);

    // Parameters that describe no image are refused and start nothing.
    EXPECT_EQ(c.scan(make_scan_info(0, 4, 0, 300, 0, 0, 10, 10)), reply('s', kStatusInvalidParameter, 0));
    EXPECT_EQ(c.scan(make_scan_info(0, 4, 300, 300, 0, 0, 0, 10)), reply('s', kStatusInvalidParameter, 0));
    EXPECT_EQ(c.exchange(kCmdUnlock), reply('s', 0, 0)) << "nothing was streamed after a refused block";
    EXPECT_EQ(sim.model().pages_started(), 2);
}

TEST(ScannerSimPage, BandSizesFromOneByteToBeyond64KiB) {
    SimScript script;
    script.band_size = 1;
    Sim sim(script);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(make_scan_info(0, 2, 75, 75, 0, 0, 40, 30)), reply('s', 0, 0));
        auto page = c.read_page();
        ASSERT_TRUE(page.complete);
        ASSERT_GT(page.bands.size(), 100u);
        EXPECT_EQ(page.bands.size(), page.jpeg.size());
        EXPECT_TRUE(std::all_of(page.bands.begin(), page.bands.end(), [](uint32_t b) { return b == 1; }));
        EXPECT_TRUE(decode(page.jpeg).ok);
    }
    script.band_size = 100000;
    sim.model().set_script(script);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(make_scan_info(0, 4, 300, 300, 0, 0, 1200, 1200)), reply('s', 0, 0));
        auto page = c.read_page();
        ASSERT_TRUE(page.complete);
        ASSERT_GE(page.bands.size(), 2u) << "page of " << page.jpeg.size() << " bytes";
        EXPECT_EQ(page.bands[0], 100000u);
        EXPECT_TRUE(decode(page.jpeg).ok);
    }
    // A band pattern is used in turn.
    script.band_pattern = {3, 70000, 10};
    sim.model().set_script(script);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(make_scan_info(0, 4, 300, 300, 0, 0, 1200, 1200)), reply('s', 0, 0));
        auto page = c.read_page();
        ASSERT_TRUE(page.complete);
        ASSERT_GE(page.bands.size(), 4u);
        EXPECT_EQ(std::vector<uint32_t>(page.bands.begin(), page.bands.begin() + 4), (std::vector<uint32_t>{3, 70000, 10, 3}));
        EXPECT_TRUE(decode(page.jpeg).ok);
    }
}

TEST(ScannerSimFeeder, FeederByteFollowsTheSheetsLeft) {
    SimScript script;
    script.sheets = 3;
    script.flatbed_adf_byte = 1;
    Sim sim(script);
    RawClient c(sim.port());
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 1));
    EXPECT_EQ(c.exchange(kCmdFeeder), reply('s', 0, 1));
    std::vector<uint8_t> end_bytes;
    for (int page = 1; page <= 3; ++page) {
        ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1)) << "page " << page;
        auto p = c.read_page();
        ASSERT_TRUE(p.complete);
        EXPECT_EQ(p.end[1], 0);
        EXPECT_TRUE(decode(p.jpeg).ok);
        end_bytes.push_back(p.end[2]);
    }
    EXPECT_EQ(end_bytes, Bytes({1, 1, 0}));
    EXPECT_EQ(sim.model().sheets_left(), 0);
    EXPECT_EQ(c.exchange(kCmdFeeder), reply('s', 0, 0));
    // Empty feeder: the page ends at once without data.
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 0));
    auto empty = c.read_page();
    EXPECT_TRUE(empty.complete);
    EXPECT_TRUE(empty.bands.empty());
    EXPECT_EQ(empty.end, reply('s', 0, 0));
    // A flatbed page reports the configured byte, and automatic source without
    // paper scans the flatbed.
    ASSERT_EQ(c.scan(small_area(0)), reply('s', 0, 0));
    EXPECT_EQ(c.read_page().end, reply('s', 0, 1));
    ASSERT_EQ(c.scan(small_area(2)), reply('s', 0, 0));
    auto autopage = c.read_page();
    EXPECT_EQ(autopage.end, reply('s', 0, 1));
    EXPECT_FALSE(autopage.bands.empty());

    // An empty feeder can also refuse the request.
    script.sheets = 0;
    script.empty_feeder_status = 1;
    sim.model().set_script(script);
    EXPECT_EQ(c.scan(small_area(1)), reply('s', 1, 0));
    EXPECT_FALSE(c.recv(8, 150)) << "a refused page streams nothing";
}

TEST(ScannerSimLock, BusyWarmingAndScriptedLockAndUnlockAnswers) {
    SimScript script;
    script.busy_locks = 2;
    script.warming_locks = 1;
    script.warm_left_time = 42;
    script.lock_status.next = {4};
    script.unlock_status.otherwise = 5;
    Sim sim(script);
    // Busy and warming up are counted across connections, as the host
    // reconnects between attempts.
    std::vector<Bytes> answers;
    for (int i = 0; i < 5; ++i) {
        RawClient c(sim.port());
        auto r = c.exchange(kCmdLock);
        ASSERT_TRUE(r);
        answers.push_back(*r);
    }
    EXPECT_EQ(answers[0], reply('s', 2, 0));
    EXPECT_EQ(answers[1], reply('s', 2, 0));
    EXPECT_EQ(answers[2], reply('s', 3, 0, 42));
    EXPECT_EQ(answers[3], reply('s', 4, 0));
    EXPECT_EQ(answers[4], reply('s', 0, 0));
    EXPECT_EQ(sim.server.connections(), 5);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(c.exchange(kCmdUnlock), reply('s', 5, 0)) << "unlock " << i;
        EXPECT_TRUE(sim.model().locked()) << "a refused unlock keeps the lock";
    }
    // The lock is released when the connection ends.
    for (int i = 0; i < 50 && sim.model().locked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(sim.model().locked());

    // Jam and cover open reported with the lock; scan parameters need a lock.
    script = {};
    script.lock_adf_byte = kAdfJam;
    sim.model().set_script(script);
    RawClient c(sim.port());
    EXPECT_EQ(c.scan(small_area()), reply('s', kStatusBusy, 0)) << "scan parameters without a lock";
    EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 15));
    script.lock_adf_byte = kAdfCoverOpen;
    sim.model().set_script(script);
    EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 14));
}

TEST(ScannerSimPage, JamCoverOpenAndEndCodesPerPage) {
    SimScript script;
    script.sheets = 5;
    script.jam_at_page = 2;
    script.cover_open_at_page = 3;
    script.end_codes = {0, 0, 0, 9, 5};
    script.params_adf_byte[6] = kAdfJam;
    Sim sim(script);
    RawClient c(sim.port());
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 1));
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
    auto full = c.read_page();
    ASSERT_TRUE(full.complete);
    EXPECT_EQ(full.end, reply('s', 0, 1));
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
    auto jammed = c.read_page();
    EXPECT_EQ(jammed.end, reply('s', 0, 15));
    EXPECT_EQ(jammed.jpeg.size(), full.jpeg.size() / 2) << "a jam stops the page halfway";
    EXPECT_FALSE(decode(jammed.jpeg).ok && jammed.jpeg.size() == full.jpeg.size());
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
    EXPECT_EQ(c.read_page().end, reply('s', 0, 14));
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
    EXPECT_EQ(c.read_page().end, reply('s', 9, 1));
    ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
    EXPECT_EQ(c.read_page().end, reply('s', 5, 0));
    // The sixth request is answered with a jam and streams nothing.
    EXPECT_EQ(c.scan(small_area(1)), reply('s', 0, 15));
    EXPECT_FALSE(c.recv(8, 150));
    EXPECT_EQ(sim.model().pages_started(), 5);
}

TEST(ScannerSimFaults, WrongIdentifierUnknownHeaderAndDamagedJpeg) {
    SimScript script;
    script.wrong_id_command = kCmdLock;
    script.wrong_id_value = 'x';
    script.wrong_id_times = 1;
    script.unknown_header_before_band = 1;
    script.unknown_header_id = 'q';
    script.band_size = 2000;
    script.record_sent_bands = true;
    Sim sim(script);
    {
        RawClient c(sim.port());
        EXPECT_EQ(c.exchange(kCmdLock), reply('x', 0, 0));
        EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 0)) << "only once";
        ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
        auto page = c.read_page();
        ASSERT_TRUE(page.complete);
        ASSERT_EQ(page.unknown.size(), 1u);
        EXPECT_EQ(page.unknown[0][0], 'q');
        EXPECT_EQ(le32(page.unknown[0].data() + 4), 0u);
        EXPECT_TRUE(decode(page.jpeg).ok) << "no data follows an unknown header";
        const auto sent = sim.model().take_sent_bands();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0].jpeg_bytes, 2000u);
        EXPECT_EQ(sent.back().jpeg_bytes, page.jpeg.size()) << "the unknown header carries no JPEG bytes";
    }
    const auto clean = render_page_jpeg({100, 100, 40, 60, 120, 90, 3, false, 80});
    ASSERT_TRUE(clean);
    auto page_with = [&](JpegFault fault) {
        SimScript s;
        s.jpeg_fault = fault;
        sim.model().set_script(s);
        RawClient c(sim.port());
        EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        EXPECT_EQ(c.scan(small_area()), reply('s', 0, 0));
        return c.read_page();
    };
    auto none = page_with(JpegFault::None);
    EXPECT_EQ(none.jpeg, *clean) << "the stream carries the rendered page unchanged";
    auto truncated = page_with(JpegFault::Truncated);
    ASSERT_TRUE(truncated.complete);
    EXPECT_EQ(truncated.jpeg.size(), clean->size() / 2);
    EXPECT_TRUE(std::equal(truncated.jpeg.begin(), truncated.jpeg.end(), clean->begin()));
    auto header = page_with(JpegFault::CorruptHeader);
    EXPECT_EQ(header.jpeg.size(), clean->size());
    EXPECT_FALSE(decode(header.jpeg).ok);
    auto data = page_with(JpegFault::CorruptData);
    EXPECT_EQ(data.jpeg.size(), clean->size());
    EXPECT_NE(data.jpeg, *clean);
    auto marker = page_with(JpegFault::BadMarker);
    EXPECT_EQ(marker.jpeg.size(), clean->size());
    EXPECT_FALSE(decode(marker.jpeg).ok);
}

TEST(ScannerSimFaults, DroppedConnectionMidPage) {
    SimScript script;
    script.drop_after_page_bytes = 1000;
    script.band_size = 300;
    Sim sim(script);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
        auto page = c.read_page();
        EXPECT_FALSE(page.complete);
        EXPECT_EQ(page.stream_bytes, 1000u) << "exactly the scripted number of stream bytes";
        EXPECT_TRUE(c.eof());
    }
    // The next connection is served normally and the lock was released.
    script.drop_after_page_bytes = -1;
    script.drop_on_command = kCmdUnlock;
    sim.model().set_script(script);
    EXPECT_FALSE(sim.model().locked());
    RawClient c(sim.port());
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
    ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
    EXPECT_TRUE(c.read_page().complete);
    EXPECT_FALSE(c.exchange(kCmdUnlock)) << "connection dropped instead of the reply";
    EXPECT_TRUE(c.eof());
    EXPECT_EQ(sim.server.connections(), 2);
}

TEST(ScannerSimFaults, StallsAndDelays) {
    SimScript script;
    script.stall_after_page_bytes = 500;
    script.band_size = 400;
    Sim sim(script);
    {
        // An endless stall: 500 bytes, then silence while the connection lasts.
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
        auto page = c.read_page(400);
        EXPECT_FALSE(page.complete);
        EXPECT_FALSE(c.eof());
        EXPECT_EQ(page.stream_bytes, 500u);
    }
    // A finite stall, then the rest of the page.
    script.stall_ms = 300;
    sim.model().set_script(script);
    {
        RawClient c(sim.port());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
        auto start = Clock::now();
        auto page = c.read_page();
        EXPECT_TRUE(page.complete);
        EXPECT_GE(elapsed_ms(start), 290);
        EXPECT_TRUE(decode(page.jpeg).ok);
    }
    // Delays before replies, before a page and before bands.
    script = {};
    script.reply_delay_ms = 120;
    script.page_delay_ms = 150;
    script.band_delay_ms = 40;
    script.band_size = 1u << 20;
    sim.model().set_script(script);
    RawClient c(sim.port());
    auto start = Clock::now();
    ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
    EXPECT_GE(elapsed_ms(start), 115);
    ASSERT_EQ(c.scan(small_area()), reply('s', 0, 0));
    start = Clock::now();
    auto page = c.read_page();
    EXPECT_TRUE(page.complete);
    EXPECT_EQ(page.bands.size(), 1u);
    EXPECT_GE(elapsed_ms(start), 185) << "page delay plus one band delay";
    // A stall instead of a reply.
    script = {};
    script.stall_on_command = kCmdFeeder;
    sim.model().set_script(script);
    ASSERT_TRUE(c.command(kCmdFeeder));
    EXPECT_FALSE(c.recv(8, 300).has_value());
    EXPECT_FALSE(c.eof());
}

TEST(ScannerSimAbort, StopRestOrIgnore) {
    SimScript script;
    script.band_size = 256;
    script.band_delay_ms = 15;  // the page lasts long enough to be aborted
    Sim sim(script);
    auto abort_after_first_band = [&](AbortMode mode) {
        script.abort_mode = mode;
        sim.model().set_script(script);
        RawClient c(sim.port());
        EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        EXPECT_EQ(c.scan(small_area()), reply('s', 0, 0));
        auto h = c.recv(8);
        EXPECT_TRUE(h && (*h)[0] == 'd');
        EXPECT_TRUE(c.command(kCmdAbort));
        EXPECT_TRUE(c.recv(256));
        // Then read the rest as the host's drain does.
        auto rest = c.read_page(500);
        EXPECT_EQ(c.exchange(kCmdUnlock), reply('s', 0, 0)) << "the stream is in step again";
        return rest;
    };
    auto stopped = abort_after_first_band(AbortMode::StopWithEnd);
    EXPECT_TRUE(stopped.complete);
    EXPECT_EQ(stopped.end, reply('s', kStatusScanStopped, 0));
    EXPECT_LE(stopped.bands.size(), 3u) << "the page stops at a band boundary";
    EXPECT_TRUE(stopped.unknown.empty());

    auto rest = abort_after_first_band(AbortMode::SendRest);
    EXPECT_TRUE(rest.complete);
    EXPECT_EQ(rest.end, reply('s', 0, 0));
    EXPECT_GT(rest.bands.size(), 5u);

    auto ignored = abort_after_first_band(AbortMode::Ignore);
    EXPECT_FALSE(ignored.complete);
    EXPECT_LE(ignored.bands.size(), 2u);
}

TEST(ScannerSimModel, DrivenDirectlyFromTwoThreadsAsOverBulkEndpoints) {
    // The USB emulation calls the model without sockets: one thread hands it
    // what the host wrote, another takes what the device sends.
    SimScript script;
    script.sheets = 2;
    script.band_size = 5000;
    script.reply_delay_ms = 30;
    ScannerModel model(script);
    model.connection_opened();
    EXPECT_EQ(model.next_action().kind, NextAction::Idle);
    uint8_t buf[65536];
    EXPECT_EQ(model.device_take(buf), 0u);

    std::thread writer([&] {
        const auto lock = make_command(kCmdLock);
        model.host_sent(lock);
        const auto scan = make_scan_info_command(small_area(1));
        for (uint8_t b : scan) model.host_sent(std::span<const uint8_t>(&b, 1));  // byte by byte
    });
    Bytes received;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    bool saw_wait = false;
    while (Clock::now() < deadline) {
        NextAction a = model.next_action();
        if (a.kind == NextAction::Wait) {
            saw_wait = true;
            EXPECT_LE(a.wait.count(), 30);
        }
        if (a.kind == NextAction::Send) {
            EXPECT_EQ(model.pending(), a.bytes);
            size_t n = model.device_take(std::span<uint8_t>(buf, std::min<size_t>(sizeof buf, 777)));
            EXPECT_GT(n, 0u);
            received.insert(received.end(), buf, buf + n);
        } else {
            model.wait_for_output(std::chrono::milliseconds(20));
        }
        // Done once the end-of-page header is in.
        if (received.size() >= 16 + 8) {
            size_t off = 16;
            while (off + 8 <= received.size() && received[off] == 'd') off += 8 + le32(&received[off + 4]);
            if (off + 8 <= received.size() && received[off] == 's') break;
        }
    }
    writer.join();
    EXPECT_TRUE(saw_wait) << "the reply delay shows as Wait";
    ASSERT_GE(received.size(), 24u);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 8), reply('s', 0, 1));
    EXPECT_EQ(Bytes(received.begin() + 8, received.begin() + 16), reply('s', 0, 1));
    Bytes jpeg;
    size_t off = 16;
    while (received[off] == 'd') {
        const uint32_t size = le32(&received[off + 4]);
        EXPECT_LE(size, 5000u);
        jpeg.insert(jpeg.end(), received.begin() + static_cast<long>(off + 8), received.begin() + static_cast<long>(off + 8 + size));
        off += 8 + size;
    }
    EXPECT_EQ(Bytes(received.begin() + static_cast<long>(off), received.end()), reply('s', 0, 1));
    EXPECT_TRUE(decode(jpeg).ok);
    EXPECT_EQ(model.commands().size(), 2u);

    // A scripted drop is reported once the stream reaches it; the model then
    // ignores the connection until it is closed.
    script.drop_after_page_bytes = 8;
    script.reply_delay_ms = 0;
    model.set_script(script);
    model.connection_closed();
    model.connection_opened();
    model.host_sent(make_command(kCmdLock));
    model.host_sent(make_scan_info_command(small_area(1)));
    EXPECT_EQ(model.wait_for_output(std::chrono::seconds(5)).kind, NextAction::Send);
    EXPECT_EQ(model.device_take(std::span<uint8_t>(buf, 16)), 16u);
    EXPECT_EQ(model.wait_for_output(std::chrono::seconds(5)).kind, NextAction::Send);
    EXPECT_EQ(model.device_take(buf), 8u) << "the first page header, then the drop";
    EXPECT_EQ(model.next_action().kind, NextAction::Drop);
    model.host_sent(make_command(kCmdFeeder));
    EXPECT_EQ(model.next_action().kind, NextAction::Drop);
    EXPECT_EQ(model.device_take(buf), 0u);
    model.connection_closed();
    model.connection_opened();
    model.host_sent(make_command(kCmdFeeder));
    EXPECT_EQ(model.next_action().kind, NextAction::Send);
    EXPECT_EQ(model.device_take(buf), 8u);
    EXPECT_EQ(Bytes(buf, buf + 8), reply('s', 0, 1));
    EXPECT_EQ(model.sheets_left(), 1) << "set_script refilled the feeder with 2; the dropped page took one";
    EXPECT_EQ(model.connections(), 3);

    // An abort that arrives while the end header is half sent: the page is
    // over, so the header is finished and the abort is answered after it.
    model.set_script({});
    model.host_sent(make_command(kCmdLock));
    model.host_sent(make_scan_info_command(small_area()));
    Bytes stream;
    for (int i = 0; i < 2000 && (stream.size() < 16 || stream.size() < 16 + 8); ++i) {
        if (model.wait_for_output(std::chrono::milliseconds(50)).kind != NextAction::Send) continue;
        size_t n = model.device_take(buf);
        stream.insert(stream.end(), buf, buf + n);
        if (stream.size() >= 24 && stream[16] == 'd') break;
    }
    ASSERT_GE(stream.size(), 24u);
    const size_t end_at = 16 + 8 + le32(&stream[20]);
    ASSERT_EQ(stream.size(), end_at + 8) << "one band and the end header, all ready at once";
    model.connection_closed();
    model.connection_opened();
    model.host_sent(make_command(kCmdLock));
    model.host_sent(make_scan_info_command(small_area()));
    size_t taken = 0;
    while (taken < end_at + 3 && model.wait_for_output(std::chrono::seconds(5)).kind == NextAction::Send)
        taken += model.device_take(std::span<uint8_t>(buf + taken, end_at + 3 - taken));
    ASSERT_EQ(taken, end_at + 3);
    model.host_sent(make_command(kCmdAbort));
    ASSERT_EQ(model.next_action().kind, NextAction::Send);
    EXPECT_EQ(model.device_take(buf), 5u + 8u);
    EXPECT_EQ(Bytes(buf, buf + 5), Bytes({0, 0, 0, 0, 0})) << "the rest of the end header";
    EXPECT_EQ(Bytes(buf + 5, buf + 13), reply('s', 0, 0)) << "then the answer to the abort";

    // Lock, scan and abort all before the device has sent anything: the
    // replies keep their order and the page ends stopped without data.
    model.connection_closed();
    model.connection_opened();
    const auto lock_cmd = make_command(kCmdLock);
    Bytes burst(lock_cmd.begin(), lock_cmd.end());
    const auto scan_cmd = make_scan_info_command(small_area());
    burst.insert(burst.end(), scan_cmd.begin(), scan_cmd.end());
    const auto abort_cmd = make_command(kCmdAbort);
    burst.insert(burst.end(), abort_cmd.begin(), abort_cmd.end());
    model.host_sent(burst);
    Bytes got;
    while (model.wait_for_output(std::chrono::milliseconds(200)).kind == NextAction::Send) {
        size_t n = model.device_take(buf);
        got.insert(got.end(), buf, buf + n);
    }
    Bytes want = reply('s', 0, 0);
    for (const Bytes& r : {reply('s', 0, 0), reply('s', kStatusScanStopped, 0)}) want.insert(want.end(), r.begin(), r.end());
    EXPECT_EQ(got, want);
}

TEST(ScannerSimImage, LocateOnBedFindsTheRequestedOffsetWithinOneMillimetre) {
    struct Case {
        uint32_t dpi_x, dpi_y;
        double x_mm, y_mm, w_mm, h_mm;
        int channels;
        bool right_rear;
    };
    const Case cases[] = {
        {300, 300, 30, 50, 60, 45, 3, false},  {300, 300, 30, 50, 60, 45, 1, false},
        {100, 100, 50, 30, 80, 90, 3, false},  {75, 75, 2.95, 0, 210, 297, 1, false},
        {600, 600, 120.5, 210.7, 25, 25, 3, false}, {1200, 600, 7, 3, 24, 24, 1, false},
        {300, 300, 30, 50, 60, 45, 3, true},
    };
    for (const Case& k : cases) {
        PageRequest r;
        r.xres = k.dpi_x;
        r.yres = k.dpi_y;
        r.x = static_cast<uint32_t>(k.x_mm * k.dpi_x / 25.4);
        r.y = static_cast<uint32_t>(k.y_mm * k.dpi_y / 25.4);
        r.width = static_cast<uint32_t>(k.w_mm * k.dpi_x / 25.4);
        r.height = static_cast<uint32_t>(k.h_mm * k.dpi_y / 25.4);
        r.channels = k.channels;
        r.right_rear = k.right_rear;
        auto jpeg = render_page_jpeg(r);
        ASSERT_TRUE(jpeg);
        auto d = decode(*jpeg);
        ASSERT_TRUE(d.ok);
        auto pos = locate_on_bed(d.pixels.data(), d.width, d.height, d.channels, k.dpi_x, k.dpi_y);
        ASSERT_TRUE(pos) << k.dpi_x << " dpi at " << k.x_mm << "," << k.y_mm;
        const double want_x = k.right_rear ? kBedWidthMm - (r.x + r.width) * 25.4 / k.dpi_x : r.x * 25.4 / k.dpi_x;
        EXPECT_NEAR(pos->x_mm, want_x, 1.0) << k.dpi_x << " dpi at " << k.x_mm << "," << k.y_mm;
        EXPECT_NEAR(pos->y_mm, r.y * 25.4 / k.dpi_y, 1.0) << k.dpi_x << " dpi at " << k.x_mm << "," << k.y_mm;
        EXPECT_NEAR(physical_left_mm(r), want_x, 1e-9);
    }
    // Right-rear reference: x 30 mm from the right edge of a 60 mm wide area is
    // physically at 215.9 - 90 mm (at 254 dpi, 10 pixels are 1 mm).
    EXPECT_NEAR(physical_left_mm({254, 254, 300, 0, 600, 100, 3, true, 80}), 215.9 - 90.0, 1e-9);
    EXPECT_NEAR(physical_left_mm({254, 254, 300, 0, 600, 100, 3, false, 80}), 30.0, 1e-9);
    EXPECT_NEAR(physical_top_mm({254, 127, 300, 300, 600, 100, 3, true, 80}), 60.0, 1e-9);

    // After rescaling to half (2 x 2 box average, as a frontend-side scaler
    // would), with the image's new dpi.
    PageRequest r{300, 300, 354, 590, 900, 700, 3, false, 80};
    auto d = decode(*render_page_jpeg(r));
    ASSERT_TRUE(d.ok);
    const uint32_t hw = d.width / 2, hh = d.height / 2;
    Bytes half(hw * hh * 3);
    for (uint32_t y = 0; y < hh; ++y)
        for (uint32_t x = 0; x < hw; ++x)
            for (int ch = 0; ch < 3; ++ch) {
                auto at = [&](uint32_t xx, uint32_t yy) { return d.pixels[(yy * d.width + xx) * 3 + ch]; };
                half[(y * hw + x) * 3 + ch] =
                    static_cast<uint8_t>((at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1) + 2) / 4);
            }
    auto pos = locate_on_bed(half.data(), hw, hh, 3, 150, 150);
    ASSERT_TRUE(pos);
    EXPECT_NEAR(pos->x_mm, 354 * 25.4 / 300, 1.0);
    EXPECT_NEAR(pos->y_mm, 590 * 25.4 / 300, 1.0);

    // A mirrored image does not read as the chart; neither does flat grey or
    // an image too small to hold a whole cell.
    Bytes mirrored(d.pixels.size());
    for (uint32_t y = 0; y < d.height; ++y)
        for (uint32_t x = 0; x < d.width; ++x)
            std::memcpy(&mirrored[(y * d.width + x) * 3], &d.pixels[(y * d.width + (d.width - 1 - x)) * 3], 3);
    EXPECT_FALSE(locate_on_bed(mirrored.data(), d.width, d.height, 3, 300, 300));
    Bytes flat(400 * 400, 128);
    EXPECT_FALSE(locate_on_bed(flat.data(), 400, 400, 1, 300, 300));
    EXPECT_FALSE(locate_on_bed(d.pixels.data(), 100, 100, 3, 300, 300));
}

TEST(ScannerSimImage, LocateOnBedAfterTheBackendsOwnRescaling) {
    // The front end scans at 300 or 600 dpi and rescales with its resampler
    // (Mitchell cubic when shrinking, Lanczos when enlarging); positions must
    // still read back within a millimetre.
    struct Case {
        uint32_t device_dpi, dpi;
        int channels;
    };
    const Case cases[] = {{300, 75, 3}, {300, 100, 1}, {300, 150, 3}, {300, 200, 1}, {600, 400, 3}, {300, 450, 1}};
    for (const Case& k : cases) {
        PageRequest r;
        r.xres = r.yres = k.device_dpi;
        r.x = static_cast<uint32_t>(30.0 * k.device_dpi / 25.4);
        r.y = static_cast<uint32_t>(50.0 * k.device_dpi / 25.4);
        r.width = static_cast<uint32_t>(70.0 * k.device_dpi / 25.4);
        r.height = static_cast<uint32_t>(55.0 * k.device_dpi / 25.4);
        r.channels = k.channels;
        auto d = decode(*render_page_jpeg(r));
        ASSERT_TRUE(d.ok);
        const double ratio = static_cast<double>(k.dpi) / k.device_dpi;
        const int w = static_cast<int>(d.width * ratio + 0.00001), h = static_cast<int>(ratio * d.height + 0.00001);
        Bytes scaled(static_cast<size_t>(w) * h * k.channels);
        ScaleDownPage(d.pixels.data(), static_cast<int>(d.width), static_cast<int>(d.height), k.channels, scaled.data(), w, h);
        auto pos = locate_on_bed(scaled.data(), static_cast<uint32_t>(w), static_cast<uint32_t>(h), k.channels, k.dpi, k.dpi);
        ASSERT_TRUE(pos) << k.device_dpi << " -> " << k.dpi << " dpi";
        std::printf("%u -> %u dpi, %d channel(s): off by %.3f, %.3f mm\n", k.device_dpi, k.dpi, k.channels,
                    pos->x_mm - r.x * 25.4 / k.device_dpi, pos->y_mm - r.y * 25.4 / k.device_dpi);
        EXPECT_NEAR(pos->x_mm, r.x * 25.4 / k.device_dpi, 1.0) << k.device_dpi << " -> " << k.dpi << " dpi";
        EXPECT_NEAR(pos->y_mm, r.y * 25.4 / k.device_dpi, 1.0) << k.device_dpi << " -> " << k.dpi << " dpi";
    }
}

TEST(ScannerSimImage, SmoothColourCodeAndGreyAreWhatTheJpegShows) {
    // Plain regions carry the expected colour (within JPEG error); grey pages
    // carry its luminance.
    PageRequest colour{300, 300, 0, 0, 2551, 1200, 3, false, 85};
    PageRequest grey = colour;
    grey.channels = 1;
    auto dc = decode(*render_page_jpeg(colour));
    auto dg = decode(*render_page_jpeg(grey));
    ASSERT_TRUE(dc.ok && dg.ok);
    int checked = 0;
    for (double y = 2; y < 100; y += 3.1) {
        for (double x = 2; x < 214; x += 4.3) {
            if (!is_plain_region(x, y, 0.5)) continue;
            const uint32_t i = static_cast<uint32_t>(x * 300 / 25.4), j = static_cast<uint32_t>(y * 300 / 25.4);
            const Rgb want = expected_colour((i + 0.5) * 25.4 / 300, (j + 0.5) * 25.4 / 300);
            const uint8_t* p = &dc.pixels[(j * dc.width + i) * 3];
            EXPECT_NEAR(p[0], want.r, 8) << x << "," << y;
            EXPECT_NEAR(p[1], want.g, 8) << x << "," << y;
            EXPECT_NEAR(p[2], want.b, 8) << x << "," << y;
            EXPECT_NEAR(dg.pixels[j * dg.width + i], luminance(want), 6) << x << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 50);
    // The code grows red with x and green with y.
    EXPECT_LT(expected_colour(10, 10).r + 100, expected_colour(200, 10).r);
    EXPECT_LT(expected_colour(10, 10).g + 100, expected_colour(10, 280).g);
    // Raw rendering and the JPEG agree on size; the page has text-like detail
    // (ink-dark pixels) as well as the smooth code.
    auto raw = render_page_pixels(grey);
    ASSERT_EQ(raw.size(), size_t{2551} * 1200);
    const size_t dark = static_cast<size_t>(std::count_if(raw.begin(), raw.end(), [](uint8_t v) { return v < 40; }));
    EXPECT_GT(dark, raw.size() / 50);
    EXPECT_LT(dark, raw.size() / 4);
    EXPECT_EQ(bed_colour(10.0, 55.0).r, 28) << "grid line";
}

TEST(ScannerSimImage, FastRowRendererMatchesThePixelByPixelReference) {
    // Areas that cross cells, lines, patches, glyphs and photo regions, at
    // resolutions whose pixels straddle the grid lines differently.
    const PageRequest pages[] = {
        {300, 300, 0, 0, 400, 700, 3, false, 80},
        {75, 75, 33, 71, 180, 200, 3, false, 80},
        {600, 600, 1234, 2345, 300, 260, 1, false, 80},
        {1200, 600, 5000, 100, 250, 300, 3, true, 80},
        {127, 211, 3, 5, 333, 222, 1, true, 80},
    };
    for (const PageRequest& r : pages) {
        const auto pixels = render_page_pixels(r);
        ASSERT_EQ(pixels.size(), size_t{r.width} * r.height * r.channels);
        size_t mismatches = 0;
        for (uint32_t j = 0; j < r.height; ++j) {
            for (uint32_t i = 0; i < r.width; ++i) {
                const Rgb want = page_pixel(r, i, j);
                const uint8_t* got = &pixels[(size_t{j} * r.width + i) * r.channels];
                const bool same = r.channels == 1 ? got[0] == luminance(want)
                                                  : got[0] == want.r && got[1] == want.g && got[2] == want.b;
                if (!same && mismatches++ < 3)
                    ADD_FAILURE() << r.xres << "x" << r.yres << " dpi, pixel " << i << "," << j;
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(ScannerSimImage, A4ColourPageHasARealisticSizeAndIsQuickToMake) {
    PageRequest a4{300, 300, 0, 0, 2480, 3507, 3, false, 80};
    a4.quality = 81;  // not cached by other tests
    // Processor time of this thread, which a loaded machine does not stretch.
    const auto cpu_ms = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1000L + t.tv_nsec / 1000000;
    };
    const long start = cpu_ms();
    auto jpeg = render_page_jpeg(a4);
    const long ms = cpu_ms() - start;
    ASSERT_TRUE(jpeg);
    std::printf("A4 300 dpi colour page: %zu bytes in %ld ms of processor time\n", jpeg->size(), ms);
    EXPECT_GT(jpeg->size(), 300u * 1024);
    EXPECT_LT(jpeg->size(), 5u * 1024 * 1024);
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(ms, 2000);
#endif
    EXPECT_EQ(render_page_jpeg(a4), jpeg) << "the same page comes from the cache (the same object)";
}

TEST(ScannerSimServer, StopsCleanlyWithoutLeakingDescriptors) {
    const int before = open_descriptor_count();
    {
        TcpScannerServer server;
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        EXPECT_NE(server.port(), 0);
        EXPECT_FALSE(server.start()) << "already running";
        RawClient c(server.port());
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.exchange(kCmdLock), reply('s', 0, 0));
        EXPECT_EQ(server.open_connections(), 1);
        // Stop while a client is connected and a page is being prepared.
        ASSERT_TRUE(c.send(make_scan_info_command(make_scan_info(0, 4, 300, 300, 0, 0, 2000, 2000))));
        server.stop();
        server.stop();
        EXPECT_FALSE(server.running());
        auto r = c.recv(8, 1000);
        auto more = c.recv(1 << 20, 1000);
        EXPECT_FALSE(more) << "the connection was closed by stop()";
        EXPECT_EQ(server.connections(), 1);
    }
    EXPECT_EQ(open_descriptor_count(), before);

    // A second server on a port in use fails to start and says why.
    TcpScannerServer first;
    ASSERT_TRUE(first.start());
    ServerOptions same;
    same.port = first.port();
    TcpScannerServer second(same);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("bind"), std::string::npos) << error;
}

TEST(ScannerSimProgram, RunsUntilSigtermWithPidfileAndCommandLog) {
    TempDir dir;
    const std::string pidfile = dir.file("sim.pid"), logfile = dir.file("commands.log");
    SimProgram sim({"--listen", "127.0.0.1", "--port", "0", "--pidfile", pidfile, "--log", logfile, "--sheets", "2",
                    "--busy", "1", "--band-size", "1000"});
    const uint16_t port = sim.port();  // the first line names it
    ASSERT_NE(port, 0) << sim.first_line;
    std::ifstream pf(pidfile);
    long written_pid = 0;
    pf >> written_pid;
    EXPECT_EQ(written_pid, sim.pid);
    {
        RawClient c(port);
        EXPECT_EQ(c.exchange(kCmdLock), reply('s', 2, 1)) << "--busy 1";
        EXPECT_EQ(c.exchange(kCmdLock), reply('s', 0, 1));
        ASSERT_EQ(c.scan(small_area(1)), reply('s', 0, 1));
        auto page = c.read_page();
        EXPECT_TRUE(page.complete);
        EXPECT_EQ(page.end, reply('s', 0, 1)) << "--sheets 2: one left";
        ASSERT_FALSE(page.bands.empty());
        EXPECT_EQ(page.bands[0], 1000u);
        EXPECT_TRUE(decode(page.jpeg).ok);
        EXPECT_EQ(c.exchange(kCmdUnlock), reply('s', 0, 1));
    }
    ASSERT_EQ(::kill(sim.pid, SIGTERM), 0);
    EXPECT_EQ(sim.wait_exit(), 0);
    EXPECT_NE(::access(pidfile.c_str(), F_OK), 0) << "pid file removed at exit";
    const std::string text = read_file(logfile);
    EXPECT_NE(text.find("cmd=l len=8 head=536c000000000000"), std::string::npos) << text;
    EXPECT_NE(text.find("cmd=i len=168"), std::string::npos) << text;
    EXPECT_NE(text.find("src=1 type=4"), std::string::npos) << text;
    EXPECT_NE(text.find("cmd=u"), std::string::npos) << text;

    // Bad arguments are refused with a message.
    SimProgram bad({"--port", "70000"});
    EXPECT_EQ(bad.wait_exit(), 2);
}
