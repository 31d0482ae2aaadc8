// A page's host work as sane_orvela_start does it beside the transfer: the
// row pipeline (decode, rescale, packing to one bit per pixel for black and
// white) over the page's JPEG, here read from a file. Pages are the scanner
// simulator's realistic A4 JPEGs:
//   colour  300 -> 200 dpi   (2480 x 3507 x 3 -> 1653 x 2338)
//   grey    600 -> 400 dpi   (4960 x 7015     -> 3306 x 4676)
//   b/w     300 dpi          (2480 x 3507 grey, packed)
//
// Timings (median of the rounds, rounds interleaved): the decode alone, the
// rescale alone (ScaleDownPage on the decoded page, two threads and one),
// the packing alone, and the pipeline as start runs it, also as a multiple
// of the decode alone; the pipeline's bytes are checked against the decode
// followed by ScaleDownPage.
//
// Memory: each case runs once more in a fresh child process (fork), whose
// VmHWM after the page is the page's peak resident memory; the bound is the
// page as served plus 16 MiB (the pipeline holds a window of rows, not the
// decoded page).
//
//   bench_page_host [--rounds N] [--case colour|grey|bw ...] [--page REQUEST ...]
//     --page XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS[,RESOLUTION]: a page as the
//     device sends it for that request (device pixels, 1 grey or 3 colour),
//     served at RESOLUTION dpi (default XRES); replaces the three cases.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/scan/imageproc/bilevel.h"
#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/resample_engine.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_rows.h"
#include "tools/scanner_sim/page_image.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Processor time of the whole process (every thread), in ms.
double cpu_ms() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

constexpr double kMiB = 1048576.0;

struct Case {
    std::string name;
    uint32_t dpi;  // device dpi (horizontal)
    int channels;
    SANE_Word resolution;
    bool bilevel;
    // A request of its own (--page); otherwise A4 at dpi x dpi from the corner.
    uint32_t ydpi = 0, x = 0, y = 0, width = 0, height = 0;
};

// "XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS[,RESOLUTION]"
bool parse_page(const char* text, Case* out) {
    unsigned v[8] = {};
    const int n = sscanf(text, "%u,%u,%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    if (n < 7 || (v[6] != 1 && v[6] != 3) || v[0] == 0 || v[1] == 0) return false;
    const SANE_Word resolution = static_cast<SANE_Word>(n == 8 ? v[7] : v[0]);
    char name[96];
    snprintf(name, sizeof name, "%s-%ux%u-%ux%u-%d", v[6] == 3 ? "colour" : "grey", v[0], v[1], v[4], v[5], resolution);
    *out = Case{name, v[0], static_cast<int>(v[6]), resolution, false, v[1], v[2], v[3], v[4], v[5]};
    return true;
}

struct Prepared {
    Case c;
    std::string path;
    size_t jpeg_bytes = 0;
    uint32_t w = 0, h = 0, dw = 0, dh = 0;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// kB value of a /proc/self/status line ("VmHWM:"), or -1.
long status_kb(const char* key) {
    FILE* f = fopen("/proc/self/status", "re");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    const size_t n = strlen(key);
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, key, n) == 0) {
            kb = strtol(line + n, nullptr, 10);
            break;
        }
    fclose(f);
    return kb;
}

// The pipeline as start runs it; *page is malloc'ed.
bool run_page(const Prepared& p, ORVELA_IMAGE_RAW* page) {
    return decode_page_file(p.path.c_str(), {p.c.dpi, p.c.ydpi != 0 ? p.c.ydpi : p.c.dpi}, page, p.c.resolution,
                            p.c.bilevel) == SCAN_STATUS_GOOD;
}

struct Memory {
    long baseline_kb = -1;  // VmRSS when the child starts the page
    long peak_kb = -1;      // VmHWM after it
};

// One page in a fresh child.
Memory measure_in_child(const Prepared& p) {
    int fds[2];
    Memory m;
    if (pipe(fds) != 0) return m;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return m;
    }
    if (pid == 0) {
        close(fds[0]);
        Memory r;
        r.baseline_kb = status_kb("VmRSS:");
        ORVELA_IMAGE_RAW page{};
        if (run_page(p, &page)) r.peak_kb = status_kb("VmHWM:");
        free(page.img_data);
        (void)!write(fds[1], &r, sizeof r);
        _exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) m = Memory{};
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return m;
}

bool prepare(const Case& c, const std::string& dir, Prepared* out) {
    orvela_sim::PageRequest request;
    request.xres = request.yres = c.dpi;
    request.width = static_cast<uint32_t>(210.0 * c.dpi / 25.4);
    request.height = static_cast<uint32_t>(c.dpi * 297.0 / 25.4);
    if (c.width != 0) {
        request.yres = c.ydpi;
        request.x = c.x;
        request.y = c.y;
        request.width = c.width;
        request.height = c.height;
    }
    request.channels = c.channels;
    auto jpeg = orvela_sim::render_page_jpeg(request);
    if (!jpeg) return false;
    out->c = c;
    out->path = dir + "/" + c.name + ".jpg";
    out->jpeg_bytes = jpeg->size();
    out->w = request.width;
    out->h = request.height;
    FILE* f = fopen(out->path.c_str(), "wbe");
    if (f == nullptr) return false;
    const bool ok = fwrite(jpeg->data(), 1, jpeg->size(), f) == jpeg->size();
    fclose(f);
    if (c.resolution != static_cast<SANE_Word>(c.dpi)) {
        if (!rescaled_page_size(out->w, out->h, c.resolution, c.dpi, &out->dw, &out->dh)) return false;
    } else {
        out->dw = out->w;
        out->dh = out->h;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    std::vector<std::string> wanted;
    std::vector<Case> cases;
    for (int i = 1; i < argc; ++i) {
        Case page;
        if (!strcmp(argv[i], "--rounds") && i + 1 < argc) {
            rounds = std::max(1, atoi(argv[++i]));
        } else if (!strcmp(argv[i], "--case") && i + 1 < argc) {
            wanted.push_back(argv[++i]);
        } else if (!strcmp(argv[i], "--page") && i + 1 < argc && parse_page(argv[i + 1], &page)) {
            cases.push_back(page);
            ++i;
        } else {
            fprintf(stderr,
                    "usage: %s [--rounds N] [--case colour|grey|bw]... "
                    "[--page XRES,YRES,X,Y,WIDTH,HEIGHT,CHANNELS[,RESOLUTION]]...\n",
                    argv[0]);
            return 2;
        }
    }
    InitThresholdTable();
    if (cases.empty())
        cases = {
            {"colour", 300, 3, 200, false},
            {"grey", 600, 1, 400, false},
            {"bw", 300, 1, 300, true},
        };
    char dir_template[] = "/tmp/bench_page_host.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;

    std::vector<Prepared> pages;
    for (const Case& c : cases) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), c.name) == wanted.end()) continue;
        Prepared p;
        if (!prepare(c, dir, &p)) {
            fprintf(stderr, "cannot make the %s page\n", c.name.c_str());
            return 1;
        }
        pages.push_back(p);
    }
    const auto engine = orvela::resample::GetEngineSettings();
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf("host work of one A4 page; %d rounds, median; SIMD level %d, up to %d threads, %ld cores online, "
           "load average %.2f\n",
           rounds, static_cast<int>(engine.level), engine.max_threads, sysconf(_SC_NPROCESSORS_ONLN), load[0]);
    printf("(timings need both cores: other work on the machine stretches the totals, see the processor time)\n");

    // Memory first, while this process is still small: every child starts
    // with what the parent holds resident (freed pages of timed rounds would
    // stay in its heap).
    std::vector<Memory> mems;
    for (const Prepared& p : pages) mems.push_back(measure_in_child(p));

    int status = 0;
    for (size_t k = 0; k < pages.size(); ++k) {
        const Prepared& p = pages[k];
        const Memory mem = mems[k];
        const DeviceTier tier{p.c.dpi, p.c.ydpi != 0 ? p.c.ydpi : p.c.dpi};
        std::vector<double> t_decode, t_rescale, t_rescale1, t_pack, t_pipe, c_decode, c_pipe;
        bool identical = true;
        for (int r = 0; r <= rounds; ++r) {  // round 0 warms up
            // The parts, one after the other.
            ORVELA_IMAGE_RAW decoded{};
            double c0 = cpu_ms();
            auto t0 = Clock::now();
            if (decode_page_file(p.path.c_str(), tier, &decoded) != SCAN_STATUS_GOOD) return 1;
            const double decode = ms_since(t0), decode_cpu = cpu_ms() - c0;
            ORVELA_IMAGE_RAW page = decoded;
            unsigned char* scaled = nullptr;
            double rescale = 0, rescale1 = 0;
            if (p.dw != p.w || p.dh != p.h) {
                scaled = static_cast<unsigned char*>(malloc(size_t{p.dw} * p.dh * page.img_channel));
                if (scaled == nullptr) return 1;
                for (int threads : {2, 1}) {
                    orvela::resample::SetEngineSettings({engine.level, threads});
                    t0 = Clock::now();
                    ScaleDownPage(page.img_data, int(page.img_width), int(page.img_height), int(page.img_channel),
                                  scaled, int(p.dw), int(p.dh));
                    (threads == 2 ? rescale : rescale1) = ms_since(t0);
                }
                orvela::resample::SetEngineSettings(engine);
                page = {scaled, p.dw, p.dh, page.img_channel};
            }
            double pack = 0;
            if (p.c.bilevel) {
                t0 = Clock::now();
                for (uint32_t y = 0; y < page.img_height; ++y)
                    pack_bilevel_row(page.img_data + size_t{y} * page.img_width, page.img_width,
                                     page.img_data + size_t{y} * page.img_width);
                pack = ms_since(t0);
            }
            // The pipeline.
            ORVELA_IMAGE_RAW piped{};
            c0 = cpu_ms();
            t0 = Clock::now();
            if (!run_page(p, &piped)) return 1;
            const double pipe = ms_since(t0), pipe_cpu = cpu_ms() - c0;
            // (Packed pages differ by design: the thresholds are randomised.)
            if (!p.c.bilevel && (piped.img_width != page.img_width || piped.img_height != page.img_height ||
                                 memcmp(piped.img_data, page.img_data,
                                        size_t{page.img_width} * page.img_height * page.img_channel) != 0))
                identical = false;
            free(piped.img_data);
            free(scaled);
            free(decoded.img_data);
            if (r == 0) continue;
            t_decode.push_back(decode);
            t_rescale.push_back(rescale);
            t_rescale1.push_back(rescale1);
            t_pack.push_back(pack);
            t_pipe.push_back(pipe);
            c_decode.push_back(decode_cpu);
            c_pipe.push_back(pipe_cpu);
        }
        const double d = median(t_decode), pipe = median(t_pipe);
        const double served_mib = double(p.dw) * p.dh * (p.c.bilevel ? 1.0 / 8 : p.c.channels) / kMiB;
        const double bound_mib = served_mib + 16.0;
        printf("\n%s: %ux%ux%d at %u dpi -> %ux%u at %d dpi%s, JPEG %.2f MiB\n", p.c.name.c_str(), p.w, p.h, p.c.channels,
               p.c.dpi, p.dw, p.dh, p.c.resolution, p.c.bilevel ? " packed to 1 bit" : "", p.jpeg_bytes / kMiB);
        printf("  decode %7.2f ms   rescale %7.2f ms (one thread %.2f ms)   pack %7.2f ms\n", d, median(t_rescale),
               median(t_rescale1), median(t_pack));
        printf("  pipeline as start %7.2f ms = %.2f x decode  (bytes %s)\n", pipe, pipe / d,
               p.c.bilevel ? "not compared: random thresholds" : identical ? "identical" : "DIFFER");
        printf("  processor time: decode %.2f, pipeline %.2f ms; best rounds: decode %.2f, pipeline %.2f ms\n",
               median(c_decode), median(c_pipe), *std::min_element(t_decode.begin(), t_decode.end()),
               *std::min_element(t_pipe.begin(), t_pipe.end()));
        // The whole child's peak counts, its resident start included.
        const bool mem_ok = mem.peak_kb > 0 && mem.peak_kb / 1024.0 <= bound_mib;
        printf("  peak resident (fresh child): %.1f MiB (child started at %.1f MiB); bound served %.1f + 16 = %.1f "
               "MiB: %s\n",
               mem.peak_kb / 1024.0, mem.baseline_kb / 1024.0, served_mib, bound_mib, mem_ok ? "within" : "EXCEEDED");
        if (!mem_ok) status = 1;
        printf("RESULT case=%s decode_ms=%.2f rescale_ms=%.2f pack_ms=%.2f start_ms=%.2f ratio_start=%.2f "
               "peak_mib=%.1f bound_mib=%.1f identical=%s\n",
               p.c.name.c_str(), d, median(t_rescale), median(t_pack), pipe, pipe / d, mem.peak_kb / 1024.0, bound_mib,
               identical ? "yes" : "no");
        fflush(stdout);
        if (!identical) status = 1;
    }
    for (const Prepared& p : pages) unlink(p.path.c_str());
    rmdir(dir.c_str());
    return status;
}
