// Serving a page from memory: a 216 x 297 mm colour page at 600 dpi
// (5102 x 7015 pixels, about 102 MiB) read through sane_orvela_read with a
// given buffer size, against memcpy of the same page. Prints the best of
// several runs of each.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/scan/sane/handle_order.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"
#include "core/scan/sane/sane_name_lists.h"
#include "core/scan/sane/sane_options.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A ready page in the handle, as start leaves it (touched, so that no page
// faults are timed).
void give_page(orvela_scanner_t* s, uint32_t w, uint32_t h) {
    const size_t n = size_t{w} * h * 3;
    auto* data = static_cast<unsigned char*>(malloc(n));
    if (data == nullptr) {
        fprintf(stderr, "no memory for the page\n");
        exit(1);
    }
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 131 + (i >> 12));
    s->job.serve_decoded_page({data, w, h, 3}, page_order(s));
}

}  // namespace

int main(int argc, char** argv) {
    const int max_length = argc > 1 ? atoi(argv[1]) : 32768;
    const int runs = 5;
    build_name_lists();
    auto s = std::make_unique<orvela_scanner_t>();
    snprintf(s->device.deviceURI, sizeof s->device.deviceURI, "%s", "socket://127.0.0.1");
    show_job_in_handle(s.get());
    if (init_options(s.get()) != SANE_STATUS_GOOD) return 1;
    SANE_Word r = 600;
    s->val[OPT_RESOLUTION].w = r;
    SANE_Parameters p{};
    sane_orvela_get_parameters(s.get(), &p);
    const size_t page_bytes = size_t(p.bytes_per_line) * size_t(p.lines);
    printf("page %d x %d colour, %d bytes a line, %.1f MiB; reads of %d bytes\n", p.pixels_per_line, p.lines,
           p.bytes_per_line, page_bytes / 1048576.0, max_length);

    std::vector<unsigned char> out(static_cast<size_t>(max_length));
    double best_read = 1e30;
    double best_last = 1e30;  // the call that ends the page and releases it
    size_t served = 0;
    for (int run = 0; run < runs; ++run) {
        give_page(s.get(), static_cast<uint32_t>(p.pixels_per_line), static_cast<uint32_t>(p.lines));
        served = 0;
        const auto t0 = Clock::now();
        SANE_Int len = 0;
        Clock::time_point last_call = t0;
        for (;;) {
            last_call = Clock::now();
            if (sane_orvela_read(s.get(), out.data(), max_length, &len) != SANE_STATUS_GOOD) break;
            served += size_t(len);
            if (s->page_completed) break;
        }
        best_read = std::min(best_read, ms_since(t0));
        best_last = std::min(best_last, ms_since(last_call));
    }
    if (served != page_bytes) {
        fprintf(stderr, "served %zu bytes, expected %zu\n", served, page_bytes);
        return 1;
    }

    // The same bytes with memcpy: once page to page, once in chunks of the
    // read size into one reused buffer (the access pattern of the reads).
    std::vector<unsigned char> src(page_bytes), dst(page_bytes);
    for (size_t i = 0; i < page_bytes; ++i) src[i] = static_cast<unsigned char>(i);
    memset(dst.data(), 1, dst.size());
    double best_whole = 1e30, best_chunks = 1e30;
    unsigned sink = 0;
    for (int run = 0; run < runs; ++run) {
        auto t0 = Clock::now();
        memcpy(dst.data(), src.data(), page_bytes);
        best_whole = std::min(best_whole, ms_since(t0));
        sink += dst[run * 977];
        t0 = Clock::now();
        for (size_t off = 0; off < page_bytes; off += out.size())
            memcpy(out.data(), src.data() + off, std::min(out.size(), page_bytes - off));
        best_chunks = std::min(best_chunks, ms_since(t0));
        sink += out[run];
    }
    printf("sane_orvela_read:            %8.2f ms (%.2f GiB/s)\n", best_read, page_bytes / best_read / 1.0737e6);
    printf("  of which the last call:    %8.2f ms (releasing the page)\n", best_last);
    printf("memcpy page to page:         %8.2f ms  -> read costs %.2fx\n", best_whole, best_read / best_whole);
    printf("memcpy in %6d-byte chunks: %8.2f ms  -> read costs %.2fx\n", max_length, best_chunks,
           best_read / best_chunks);
    return sink == 0xFFFFFFFF ? 2 : 0;
}
