// Page-scaling benchmark. For each job (an A4 page from one resolution to
// another, grey and colour) it times, in one process and in interleaved
// rounds: the plain formulation (tests/support/resample_reference.h), the
// library's ScaleDownPage (its row rescaler, the one the page path runs) with
// one and two threads (and its portable code on one thread: the engine
// settings, an internal seam, force it), and libvips's
// resize with the same kernel and one and two threads; with the destination
// rows a millisecond of the best round. It prints medians and best rounds, checks that the library's
// bytes equal the plain formulation's, and prints the speed ratios (of the
// medians, and of the best rounds, which other work on a shared machine
// disturbs less).
//
//   [BENCH_VECTOR_TARGETS=BITS] bench_resample [--reps N] [--job NAME ...]
//   jobs: 300to200 300to150 300to100 600to400 200to300 (enlargement)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/scan/imageproc/resample.h"
#include "core/scan/imageproc/resample_engine.h"
#include "tests/support/resample_reference.h"

#ifdef ORVELA_BENCH_WITH_VIPS
#include <vips/vips.h>
#endif

namespace {

using orvela::resample::EngineSettings;
using orvela::resample::SetEngineSettings;
using orvela::resample::SimdLevel;

int PagePixels(double mm, int dpi) { return int(mm / 25.4 * dpi + 0.5); }

// A page with text-like detail on the left and a noisy photo on the right.
std::vector<uint8_t> MakePage(int w, int h, int C) {
    std::vector<uint8_t> p(size_t(w) * h * C, 255);
    uint32_t s = 12345;
    auto rnd = [&s] { return s = s * 1664525u + 1013904223u, s >> 8; };
    for (int y = 0; y < h; ++y) {
        uint8_t* row = p.data() + size_t(y) * w * C;
        const bool textLine = (y / 12) % 4 != 3;
        for (int x = 0; x < w / 2; ++x) {
            if (textLine && (x / 9 + y / 12) % 7 != 0 && (rnd() & 3) == 0)
                for (int c = 0; c < C; ++c) row[x * C + c] = uint8_t(20 + (rnd() & 31));
        }
        for (int x = w / 2; x < w; ++x)
            for (int c = 0; c < C; ++c)
                row[x * C + c] = uint8_t((x * (c + 1) / 7 + y / 5 + (rnd() & 15)) & 255);
    }
    return p;
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Impl {
    std::string name;
    std::function<void(uint8_t*)> run;
    std::vector<uint8_t> out;
    std::vector<double> times;
    double median = 0;
};

#ifdef ORVELA_BENCH_WITH_VIPS
bool VipsResize(const std::vector<uint8_t>& src, int sw, int sh, int C, uint8_t* dst, int dw, int dh,
                bool enlarge, int threads) {
    vips_concurrency_set(threads);
    VipsImage* in = vips_image_new_from_memory(src.data(), src.size(), sw, sh, C, VIPS_FORMAT_UCHAR);
    VipsImage* out = nullptr;
    const VipsKernel kernel = enlarge ? VIPS_KERNEL_LANCZOS3 : VIPS_KERNEL_MITCHELL;
    if (in == nullptr ||
        vips_resize(in, &out, double(dw) / sw, "vscale", double(dh) / sh, "kernel", kernel, nullptr) != 0) {
        fprintf(stderr, "vips: %s\n", vips_error_buffer());
        if (in) g_object_unref(in);
        return false;
    }
    size_t n = 0;
    void* mem = vips_image_write_to_memory(out, &n);
    const bool sizeOk = vips_image_get_width(out) == dw && vips_image_get_height(out) == dh;
    if (mem) memcpy(dst, mem, std::min(n, size_t(dw) * dh * C));
    g_free(mem);
    g_object_unref(out);
    g_object_unref(in);
    return sizeOk && mem != nullptr;
}
#endif

// Whether every engine variant (the portable one too) gave the plain bytes.
bool Identical(const std::vector<Impl>& impls, const Impl& plain) {
    for (const Impl& im : impls)
        if (im.name.rfind("engine", 0) == 0 && im.out != plain.out) return false;
    return true;
}

void RunJob(const std::string& name, int from, int to, int C, int reps) {
    const int sw = PagePixels(210, from), sh = PagePixels(297, from);
    const int dw = PagePixels(210, to), dh = PagePixels(297, to);
    const std::vector<uint8_t> src = MakePage(sw, sh, C);
    const size_t D = size_t(dw) * dh * C;
    const SimdLevel best = orvela::resample::DetectSimdLevel();
    const bool enlarge = dw > sw;

    std::vector<Impl> impls;
    auto add = [&](const std::string& n, std::function<void(uint8_t*)> f) {
        impls.push_back({n, std::move(f), std::vector<uint8_t>(D, 1), {}, 0});
    };
    add("plain", [&](uint8_t* d) { reference::ScalePage(src.data(), sw, sh, C, d, dw, dh); });
    auto engine = [&](SimdLevel level, int threads) {
        return [&, level, threads](uint8_t* d) {
            SetEngineSettings(EngineSettings{level, threads});
            ScaleDownPage(const_cast<uint8_t*>(src.data()), sw, sh, C, d, dw, dh);
        };
    };
    add("engine-portable-1T", engine(SimdLevel::Scalar, 1));
    add("engine-1T", engine(best, 1));
    add("engine-2T", engine(best, 2));
#ifdef ORVELA_BENCH_WITH_VIPS
    bool vipsOk = true;
    add("vips-1T", [&](uint8_t* d) { vipsOk &= VipsResize(src, sw, sh, C, d, dw, dh, enlarge, 1); });
    add("vips-2T", [&](uint8_t* d) { vipsOk &= VipsResize(src, sw, sh, C, d, dw, dh, enlarge, 2); });
#endif

    for (Impl& im : impls) im.run(im.out.data());  // warm-up: page faults, thread pools
    for (int r = 0; r < reps; ++r)
        for (size_t k = 0; k < impls.size(); ++k) {
            Impl& im = impls[(k + r) % impls.size()];
            const double t0 = NowMs();
            im.run(im.out.data());
            im.times.push_back(NowMs() - t0);
        }

    const char* cs = C == 1 ? "grey" : "colour";
    auto find = [&](const std::string& n) -> Impl* {
        for (Impl& im : impls)
            if (im.name == n) return &im;
        return nullptr;
    };
    for (Impl& im : impls) {
        std::sort(im.times.begin(), im.times.end());
        im.median = im.times[im.times.size() / 2];
    }
    const Impl& plain = *find("plain");
    printf("\n%s %s: %dx%d -> %dx%d (%s), %d rounds, vector code: %s\n", name.c_str(), cs, sw, sh, dw, dh,
           enlarge ? "Lanczos" : "cubic", reps,
           best == SimdLevel::Vector ? orvela::resample::VectorTargetName() : "none (portable loops)");
    for (const Impl& im : impls) {
        const char* check = "";
        if (im.name.rfind("engine", 0) == 0) check = im.out == plain.out ? "  identical to plain" : "  DIFFERS";
        printf("  %-20s median %8.2f ms  (min %8.2f, %6.0f destination rows/ms)%s\n", im.name.c_str(), im.median,
               im.times.front(), dh / im.times.front(), check);
    }
    const Impl& e1 = *find("engine-1T");
    const Impl& e2 = *find("engine-2T");
    const Impl& portable = *find("engine-portable-1T");
    printf("  ratio plain/engine-1T %.1fx, plain/engine-2T %.1fx, engine-portable-1T/engine-1T %.1fx\n",
           plain.median / e1.median, plain.median / e2.median, portable.median / e1.median);
#ifdef ORVELA_BENCH_WITH_VIPS
    const Impl& v1 = *find("vips-1T");
    const Impl& v2 = *find("vips-2T");
    printf("  ratio vips-1T/engine-1T %.1fx, vips-2T/engine-2T %.1fx%s\n", v1.median / e1.median,
           v2.median / e2.median, vipsOk ? "" : "  (vips reported an error or another size)");
    // Best rounds: less disturbed by other work on a shared machine.
    printf("  best-round ratios: plain/engine-1T %.1fx, plain/engine-2T %.1fx, vips-1T/engine-1T %.1fx, "
           "vips-2T/engine-2T %.1fx\n",
           plain.times.front() / e1.times.front(), plain.times.front() / e2.times.front(),
           v1.times.front() / e1.times.front(), v2.times.front() / e2.times.front());
    printf("RESULT job=%s %s plain_over_engine_1T=%.2f plain_over_engine_2T=%.2f vips_over_engine_1T=%.2f "
           "vips_over_engine_2T=%.2f vector_over_portable_1T=%.2f identical=%s\n",
           name.c_str(), cs, plain.median / e1.median, plain.median / e2.median, v1.median / e1.median,
           v2.median / e2.median, portable.median / e1.median, Identical(impls, plain) ? "yes" : "no");
#else
    printf("RESULT job=%s %s plain_over_engine_1T=%.2f plain_over_engine_2T=%.2f vector_over_portable_1T=%.2f "
           "identical=%s (no libvips)\n",
           name.c_str(), cs, plain.median / e1.median, plain.median / e2.median, portable.median / e1.median,
           Identical(impls, plain) ? "yes" : "no");
#endif
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    std::vector<std::string> wanted;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--reps") && i + 1 < argc)
            reps = std::max(1, atoi(argv[++i]));
        else if (!strcmp(argv[i], "--job") && i + 1 < argc)
            wanted.push_back(argv[++i]);
        else {
            fprintf(stderr, "usage: %s [--reps N] [--job 300to200|300to150|300to100|600to400|200to300]...\n",
                    argv[0]);
            return 2;
        }
    }
    // BENCH_VECTOR_TARGETS=<Highway target bits> picks the vector code among
    // those only (e.g. 512 for AVX2 on an AVX-512 machine).
    if (const char* targets = getenv("BENCH_VECTOR_TARGETS"))
        orvela::resample::LimitVectorTargets(strtoll(targets, nullptr, 0));
#ifdef ORVELA_BENCH_WITH_VIPS
    if (VIPS_INIT(argv[0])) {
        fprintf(stderr, "vips_init failed\n");
        return 1;
    }
    vips_cache_set_max(0);
#endif
    struct Job {
        const char* name;
        int from, to;
    };
    const Job jobs[] = {{"300to200", 300, 200}, {"300to150", 300, 150}, {"300to100", 300, 100},
                        {"600to400", 600, 400}, {"200to300", 200, 300}};
    const EngineSettings saved = orvela::resample::GetEngineSettings();
    for (const Job& j : jobs) {
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), j.name) == wanted.end()) continue;
        for (int C : {1, 3}) RunJob(j.name, j.from, j.to, C, reps);
    }
    SetEngineSettings(saved);
    return 0;
}
