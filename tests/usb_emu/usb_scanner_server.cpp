// usb_scanner_server: an emulated USB scanner for a real frontend.
//
// This process owns a umockdev testbed with one scanner on it, whose bulk
// endpoints lead to the scanner simulator's device model; it runs the command
// given after "--" with libumockdev-preload.so.0 in LD_PRELOAD (the frontend
// then sees the scanner through the unmodified libusb), waits for it, tears
// the testbed down and exits with the command's status (128 + signal when it
// was killed).
//
//   usb_scanner_server [options] -- command [args...]
//     --vid HEX --pid HEX     USB IDs (default 5E5A 1001)
//     --serial TEXT           serial number string (default SN0001)
//     --manufacturer TEXT     manufacturer string (default Orvela)
//     --product TEXT          product string (default OR-M1020)
//     --sheets N              sheets in the feeder
//     --right-rear            positions count from the bed's right edge
//     --band-size N           data bytes per band
//     --quality Q             JPEG quality of the pages (10 to 100)
//     --busy N                the next N locks answer "busy"
//     --jam-at-page K         page K stops halfway with a paper jam
//     --band-delay MS         pause before every band of a page
//     --unplug-after MS       pull the cable MS milliseconds after the first page started
//     --replay FILE           be the device of a wire trace instead of the simulator's
//                             scripted model: its sessions are played one after
//                             the other; exits 99 when the trace was not played to
//                             its end (the first difference on stderr)
//     --stats                 print what the device saw on exit (stderr)
//     --stats-file F          append that line to F instead
//
// This process needs no preload itself: umockdev serves the ioctls of the
// child's emulated /dev node from a worker thread here. The child is started
// with posix_spawn (no code runs between fork and exec: umockdev's locks are
// not fit for a forked child).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/usb_emu/sim_bulk_peer.h"
#include "tests/usb_emu/usbfs_emulation.h"
#include "tools/scanner_sim/replay_model.h"

extern char** environ;

namespace {

volatile sig_atomic_t g_child = 0;

// A termination request (ctest's time-out, Ctrl-C) goes to the frontend; the
// testbed is torn down once it has gone.
void forward_signal(int sig) {
    if (g_child > 0) kill(g_child, sig);
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: usb_scanner_server [--vid HEX] [--pid HEX] [--serial S] [--manufacturer S] [--product S]\n"
            "                          [--sheets N] [--right-rear] [--band-size N] [--busy N] [--jam-at-page K]\n"
            "                          [--quality Q]\n"
            "                          [--band-delay MS] [--unplug-after MS] [--replay FILE]\n"
            "                          [--stats] [--stats-file F] -- command [args...]\n");
    exit(2);
}

bool parse_number(const char* text, int base, long min, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t vid = 0x5E5A, pid = 0x1001;
    std::string serial = "SN0001", manufacturer = "Orvela", product = "OR-M1020";
    orvela_sim::SimScript script;
    bool stats = false;
    long unplug_after_ms = -1;
    std::string stats_file, replay_file;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc && strcmp(argv[i + 1], "--") != 0;
        long v = 0;
        if (arg == "--stats") {
            stats = true;
        } else if (arg == "--right-rear") {
            script.right_rear_reference = true;
        } else if (!has_value) {
            usage();
        } else if (arg == "--vid" && parse_number(argv[i + 1], 16, 1, 0xFFFF, v)) {
            vid = static_cast<uint16_t>(v);
            ++i;
        } else if (arg == "--pid" && parse_number(argv[i + 1], 16, 1, 0xFFFF, v)) {
            pid = static_cast<uint16_t>(v);
            ++i;
        } else if (arg == "--stats-file") {
            stats = true;
            stats_file = argv[++i];
        } else if (arg == "--replay") {
            replay_file = argv[++i];
        } else if (arg == "--serial") {
            serial = argv[++i];
        } else if (arg == "--manufacturer") {
            manufacturer = argv[++i];
        } else if (arg == "--product") {
            product = argv[++i];
        } else if (arg == "--sheets" && parse_number(argv[i + 1], 10, 0, 1000, v)) {
            script.sheets = static_cast<int>(v);
            ++i;
        } else if (arg == "--band-size" && parse_number(argv[i + 1], 10, 1, 1 << 24, v)) {
            script.band_size = static_cast<uint32_t>(v);
            ++i;
        } else if (arg == "--quality" && parse_number(argv[i + 1], 10, 10, 100, v)) {
            script.jpeg_quality = static_cast<int>(v);
            ++i;
        } else if (arg == "--busy" && parse_number(argv[i + 1], 10, 0, 1000, v)) {
            script.busy_locks = static_cast<int>(v);
            ++i;
        } else if (arg == "--band-delay" && parse_number(argv[i + 1], 10, 0, 60000, v)) {
            script.band_delay_ms = static_cast<int>(v);
            ++i;
        } else if (arg == "--unplug-after" && parse_number(argv[i + 1], 10, 0, 600000, v)) {
            unplug_after_ms = v;
            ++i;
        } else if (arg == "--jam-at-page" && parse_number(argv[i + 1], 10, 1, 1000, v)) {
            script.jam_at_page = static_cast<int>(v);
            ++i;
        } else {
            usage();
        }
    }
    if (i + 1 >= argc) usage();
    char** command = argv + i + 1;

    // umockdev's socket paths must stay below 108 characters.
    const char* tmp = getenv("TMPDIR");
    if (tmp == nullptr || strlen(tmp) > 40) setenv("TMPDIR", "/tmp", 1);

    int status = 0;
    try {
        usb_emu::Testbed bed;  // sets UMOCKDEV_DIR for the child
        auto model = std::make_shared<orvela_sim::ScannerModel>(script);
        std::shared_ptr<orvela_sim::ReplayModel> replay;
        if (!replay_file.empty()) {
            orvela_sim::TraceError bad;
            const auto trace = orvela_sim::read_trace_file(replay_file, &bad);
            if (!trace) {
                fprintf(stderr, "usb_scanner_server: %s:%d: %s\n", replay_file.c_str(), bad.line, bad.reason.c_str());
                return 2;
            }
            orvela_sim::ReplayOptions options;
            options.sessions_per_connection = false;  // the bus has no connections: sessions follow each other
            options.log = [](const std::string& line) { fprintf(stderr, "usb_scanner_server: %s\n", line.c_str()); };
            replay = std::make_shared<orvela_sim::ReplayModel>(orvela_sim::replay_sessions(*trace), options);
        }
        auto peer = replay ? std::make_shared<usb_emu::SimBulkPeer>(std::shared_ptr<orvela_sim::WireDevice>(replay))
                           : std::make_shared<usb_emu::SimBulkPeer>(model);
        usb_emu::DeviceConfig config = usb_emu::scanner_config(vid, pid, usb_emu::u16(serial));
        config.manufacturer = usb_emu::u16(manufacturer);
        config.product = usb_emu::u16(product);
        usb_emu::EmulatedDevice& device = bed.add(config);
        device.with_model([&](usb_emu::DeviceModel& m) {
            m.set_peer(peer);
            return 0;
        });

        // The child's environment: ours (UMOCKDEV_DIR included) with the
        // preload library in front of any other. Built as a copy, since
        // umockdev's thread is running already and setenv is not thread safe.
        std::vector<std::string> env_text;
        std::string preload = "LD_PRELOAD=libumockdev-preload.so.0";
        for (char** e = environ; *e != nullptr; ++e) {
            if (strncmp(*e, "LD_PRELOAD=", 11) == 0) {
                if ((*e)[11] != '\0') preload += std::string(":") + (*e + 11);
            } else {
                env_text.emplace_back(*e);
            }
        }
        env_text.push_back(preload);
        std::vector<char*> child_env;
        for (std::string& e : env_text) child_env.push_back(e.data());
        child_env.push_back(nullptr);

        struct sigaction sa {};
        sa.sa_handler = forward_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);

        pid_t child = 0;
        const int rc = posix_spawnp(&child, command[0], nullptr, nullptr, command, child_env.data());
        if (rc != 0) {
            fprintf(stderr, "usb_scanner_server: cannot run %s: %s\n", command[0], strerror(rc));
            return 127;
        }
        g_child = child;
        int wstatus = 0;
        if (unplug_after_ms >= 0) {
            // Watch for the first page, then pull the cable while the
            // frontend is still at it.
            using Clock = std::chrono::steady_clock;
            std::optional<Clock::time_point> page_started;
            bool unplugged = false;
            for (;;) {
                const pid_t done = waitpid(child, &wstatus, WNOHANG);
                if (done == child || (done < 0 && errno != EINTR)) break;
                if (!page_started && model->pages_started() > 0) page_started = Clock::now();
                if (page_started && !unplugged &&
                    Clock::now() - *page_started >= std::chrono::milliseconds(unplug_after_ms)) {
                    bed.remove(device);
                    unplugged = true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } else {
            while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
            }
        }
        g_child = 0;
        status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);

        if (replay && !replay->finished()) {
            fprintf(stderr, "usb_scanner_server: replay of %s not played to its end: %s\n", replay_file.c_str(),
                    replay->unfinished_reason().c_str());
            status = 99;
        } else if (replay) {
            fprintf(stderr, "usb_scanner_server: replay of %s: all %d sessions played\n", replay_file.c_str(),
                    replay->session_count());
        }
        if (stats) {
            const usb_emu::UsbfsStats s = device.stats();
            const auto commands = model->commands();
            FILE* out = stats_file.empty() ? stderr : fopen(stats_file.c_str(), "ae");
            if (out == nullptr) out = stderr;
            fprintf(out,
                    "usb_scanner_server: child status %d; %llu ioctls, %llu URBs, %zu commands, %d pages, "
                    "%zu bytes of page data, locked=%d\n",
                    status, static_cast<unsigned long long>(s.ioctls), static_cast<unsigned long long>(s.submits),
                    commands.size(), model->pages_started(), peer->page_data().size(), model->locked() ? 1 : 0);
            if (out != stderr) fclose(out);
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "usb_scanner_server: %s\n", e.what());
        return 2;
    }
    return status;
}
