// Pulls realistic A4 colour pages (300 and 600 dpi) from the simulated scanner
// over loopback, once through the backend's driver layer and once with a plain
// blocking-socket reader that does the same protocol exchange and writes the
// same file, alternating, and prints pages per second, MB/s and the ratio of
// the two times (medians). Each page is pulled from the simulator and from a
// device stand-in that sends the same stream as fast as the socket takes it.
//
//   bench_net_pull [rounds] [--device ADDR[:PORT]] [--page REQUEST]...
//     rounds   default 9 (a first round more warms up and is not counted)
//     --device pull from a scanner already running there (e.g. a simulator in
//              a test network) instead of the in-process ones
//     --page   XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS (device pixels, 1 grey or
//              3 colour) instead of the two A4 colour pages; repeatable
// With --device, each page also gives a line
//   RESULT page=XRESxYRES,WIDTHxHEIGHT,CHANNELS plain_s=.. backend_s=.. bytes=..
// (medians), the plain transfer time that whole-scan benchmarks compare with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <memory>
#include <poll.h>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "core/scan/driver/orvela_drv.h"
#include "protocol/scan_param.h"
#include "protocol/scanner.h"
#include "protocol/wire_format.h"
#include "tools/scanner_sim/page_image.h"
#include "tools/scanner_sim/sim_tcp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

bool recv_all(int fd, void* buf, size_t size) {
    auto* p = static_cast<uint8_t*>(buf);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, MSG_WAITALL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool send_all(int fd, const void* buf, size_t size) {
    return send(fd, buf, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// The plain reader: blocking socket, one recv per header, MSG_WAITALL per band
// into a 64 KiB buffer, appended to the file.
bool plain_pull(const char* ip, int port, const ORVELA_ScanParam& param, const char* path, size_t& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        close(fd);
        return false;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    uint8_t reply[8];
    const uint8_t lock[8] = {0x53, 0x6C};
    if (!send_all(fd, lock, 8) || !recv_all(fd, reply, 8) || reply[1] != 0) return false;
    const auto cmd = orvela_wire::encode_scan_info_command(0x53, 0x69, ParameterConvert(param));
    if (!send_all(fd, cmd.data(), cmd.size()) || !recv_all(fd, reply, 8) || reply[1] != 0) return false;
    FILE* f = fopen(path, "wb+");
    std::vector<uint8_t> band(65536);
    bytes = 0;
    bool ok = false;
    for (;;) {
        uint8_t header[8];
        if (!recv_all(fd, header, 8)) break;
        const ScanDataRsp h = orvela_wire::decode_page_header(header);
        if (h.cmdID == 0x73) {
            ok = h.flag == 0;
            break;
        }
        size_t left = h.dataSize;
        while (left > 0) {
            const size_t piece = std::min(left, band.size());
            if (!recv_all(fd, band.data(), piece)) break;
            fwrite(band.data(), 1, piece, f);
            left -= piece;
            bytes += piece;
        }
        if (left > 0) break;
    }
    fclose(f);
    const uint8_t unlock[8] = {0x53, 0x75};
    send_all(fd, unlock, 8);
    recv_all(fd, reply, 8);
    close(fd);
    return ok;
}

bool backend_pull(const char* ip, int port, const ORVELA_ScanParam& param, const char* path, size_t& bytes) {
    ORVELA_Scanner dev{};
    dev.type_io = IOTYPE_NET;
    snprintf(dev.ipaddress, sizeof dev.ipaddress, "%s", ip);
    dev.port = port;
    if (Drv_open(dev) != SCAN_STATUS_GOOD) return false;
    bool ok = Drv_start(param) == SCAN_STATUS_GOOD;
    if (ok) ok = Drv_scan2File(path, nullptr).scan_status == SCAN_STATUS_GOOD;
    Drv_close();
    FILE* f = fopen(path, "rb");
    fseek(f, 0, SEEK_END);
    bytes = static_cast<size_t>(ftell(f));
    fclose(f);
    return ok;
}

// A device that sends a prepared page stream as fast as the socket takes it:
// measures the readers without the simulator's own pace.
class BlastServer {
public:
    explicit BlastServer(const std::vector<uint8_t>& page) {
        for (size_t at = 0; at < page.size(); at += 65536) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(65536, page.size() - at));
            const uint8_t h[8] = {0x64, 0, 0, 0, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
            stream_.insert(stream_.end(), h, h + 8);
            stream_.insert(stream_.end(), page.begin() + static_cast<long>(at), page.begin() + static_cast<long>(at + n));
        }
        const uint8_t end[8] = {0x73, 0, 0, 0, 0, 0, 0, 0};
        stream_.insert(stream_.end(), end, end + 8);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd_, 4);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~BlastServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            uint8_t cmd[168];
            const uint8_t ok[8] = {0x73, 0, 0, 0, 0, 0, 0, 0};
            while (recv_all(c, cmd, 8)) {
                if (cmd[1] == 0x69 && !recv_all(c, cmd + 8, 160)) break;
                send_all(c, ok, 8);
                if (cmd[1] == 0x69) {
                    size_t at = 0;
                    while (at < stream_.size()) {
                        const ssize_t n = send(c, stream_.data() + at, stream_.size() - at, MSG_NOSIGNAL);
                        if (n <= 0) break;
                        at += static_cast<size_t>(n);
                    }
                }
            }
            close(c);
        }
    }
    std::vector<uint8_t> stream_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Times of both readers over the rounds (a first round more warms up): pulls
// alternate which reader goes first, so neither always finds a warmer cache
// or a quieter machine. False when a pull fails or the two readers (or the
// expected size, when given) disagree on the page's bytes.
struct Times {
    std::vector<double> backend, plain;
    size_t bytes = 0;
};
bool time_readers(const char* ip, int port, const ORVELA_ScanParam& p, const std::string& path, int rounds,
                  size_t expected, Times& t) {
    for (int i = 0; i < rounds + 1; ++i) {
        size_t b1 = 0, b2 = 0;
        bool ok1 = false, ok2 = false;
        double d_backend = 0, d_plain = 0;
        auto timed = [](auto&& pull) {
            const auto a = Clock::now();
            const bool ok = pull();
            return std::pair<bool, double>(ok, seconds(a, Clock::now()));
        };
        auto run_backend = [&] { std::tie(ok1, d_backend) = timed([&] { return backend_pull(ip, port, p, path.c_str(), b1); }); };
        auto run_plain = [&] { std::tie(ok2, d_plain) = timed([&] { return plain_pull(ip, port, p, path.c_str(), b2); }); };
        if (i % 2 == 0) {
            run_backend();
            run_plain();
        } else {
            run_plain();
            run_backend();
        }
        if (!ok1 || !ok2 || b1 != b2 || b1 == 0 || (expected != 0 && b1 != expected)) {
            fprintf(stderr, "pull failed from %s:%d at %ux%u dpi: backend %d (%zu bytes), plain %d (%zu bytes), page %zu\n",
                    ip, port, p.xResolution, p.yResolution, ok1, b1, ok2, b2, expected);
            return false;
        }
        t.bytes = b1;
        if (i == 0) continue;
        t.backend.push_back(d_backend);
        t.plain.push_back(d_plain);
    }
    return true;
}

void print_times(const char* label, unsigned dpi, const Times& t) {
    const double tb = median(t.backend), tp = median(t.plain);
    const double best_b = *std::min_element(t.backend.begin(), t.backend.end());
    const double best_p = *std::min_element(t.plain.begin(), t.plain.end());
    const double mb = static_cast<double>(t.bytes) / 1e6;
    printf("%-5u %-6s %-8s %9.2f %9.4f %9.2f %9.1f %7s %9.4f %7s\n", dpi, label, "plain", mb, tp, 1.0 / tp, mb / tp,
           "", best_p, "");
    printf("%-5u %-6s %-8s %9.2f %9.4f %9.2f %9.1f %7.2f %9.4f %7.2f\n", dpi, label, "backend", mb, tb, 1.0 / tb,
           mb / tb, tb / tp, best_b, best_b / best_p);
}

// "XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS" as the device request of a flatbed page.
bool parse_page(const char* text, ORVELA_ScanParam& p) {
    unsigned v[7];
    char end = 0;
    if (sscanf(text, "%u,%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &end) != 7 ||
        (v[6] != 1 && v[6] != 3))
        return false;
    p = ORVELA_ScanParam{};
    p.ScanSource = ScanSource_Flatbed;
    p.ScanColor = v[6] == 1 ? Grayscale : Color;
    p.xResolution = v[0];
    p.yResolution = v[1];
    p.Left = v[2];
    p.Top = v[3];
    p.widthPixel = v[4];
    p.heightPixel = v[5];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 9;
    std::string device_ip;
    int device_port = 53010;
    std::vector<ORVELA_ScanParam> pages;
    for (int i = 1; i < argc; ++i) {
        ORVELA_ScanParam page{};
        if (!strcmp(argv[i], "--device") && i + 1 < argc) {
            device_ip = argv[++i];
            const size_t colon = device_ip.find(':');
            if (colon != std::string::npos) {
                device_port = atoi(device_ip.c_str() + colon + 1);
                device_ip.resize(colon);
            }
        } else if (!strcmp(argv[i], "--page") && i + 1 < argc && parse_page(argv[i + 1], page)) {
            pages.push_back(page);
            ++i;
        } else if (argv[i][0] != '-' && atoi(argv[i]) > 0) {
            rounds = atoi(argv[i]);
        } else {
            fprintf(stderr, "usage: %s [rounds] [--device ADDR[:PORT]] [--page XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS]...\n",
                    argv[0]);
            return 2;
        }
    }
    if (pages.empty()) {
        for (unsigned dpi : {300u, 600u}) {
            ORVELA_ScanParam p{};
            p.ScanSource = ScanSource_Flatbed;
            p.ScanColor = Color;
            p.xResolution = p.yResolution = dpi;
            p.widthPixel = 2480 * dpi / 300;  // A4: 210 x 297 mm
            p.heightPixel = 3508 * dpi / 300;
            pages.push_back(p);
        }
    }
    char dir_template[] = "/tmp/orvela_bench_XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return 1;
    const std::string path = std::string(dir) + "/page.jpg";
    int status = 0;

    // "sim": the simulated scanner (its own pace included); "blast": the same
    // page stream sent as fast as the socket takes it; "device": the scanner
    // named by --device.
    // Medians first, then the best round of each reader and their ratio.
    printf("%-5s %-6s %-8s %9s %9s %9s %9s %7s %9s %7s\n", "dpi", "device", "reader", "page MB", "s/page", "pages/s",
           "MB/s", "ratio", "best s", "ratio");
    if (!device_ip.empty()) {
        for (const ORVELA_ScanParam& p : pages) {
            Times t;
            if (!time_readers(device_ip.c_str(), device_port, p, path, rounds, 0, t)) {
                status = 1;
                continue;
            }
            print_times("device", p.xResolution, t);
            printf("RESULT page=%ux%u,%ux%u,%d plain_s=%.4f backend_s=%.4f bytes=%zu\n", p.xResolution, p.yResolution,
                   p.widthPixel, p.heightPixel, p.ScanColor == Color ? 3 : 1, median(t.plain), median(t.backend),
                   t.bytes);
            fflush(stdout);
        }
    } else {
        orvela_sim::TcpScannerServer server;
        if (!server.start()) {
            fprintf(stderr, "simulator did not start\n");
            return 1;
        }
        for (const ORVELA_ScanParam& p : pages) {
            // Make the page once so that both readers find it ready in the cache.
            orvela_sim::PageRequest r;
            r.xres = p.xResolution;
            r.yres = p.yResolution;
            r.x = p.Left;
            r.y = p.Top;
            r.width = p.widthPixel;
            r.height = p.heightPixel;
            r.channels = p.ScanColor == Color ? 3 : 1;
            auto jpeg = orvela_sim::render_page_jpeg(r);
            if (!jpeg) return 1;
            BlastServer blast(*jpeg);
            for (const auto& [source, port] : {std::pair<const char*, int>{"sim", server.port()}, {"blast", blast.port()}}) {
                Times t;
                if (!time_readers("127.0.0.1", port, p, path, rounds, jpeg->size(), t)) {
                    status = 1;
                    continue;
                }
                print_times(source, p.xResolution, t);
            }
        }
    }
    unlink(path.c_str());
    rmdir(dir);
    return status;
}
