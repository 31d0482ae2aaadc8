// The streaming JPEG decoder: rows against a reference decode whatever the
// band sizes, skipped markers across bands, cancel, band failures, corrupt
// streams, and the worker's life cycle (joined or released exactly once).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/jpegdecompress.h"
#include "tests/support/jpeg_encode.h"

// ---------------------------------------------------------------------------
// Thread bookkeeping: this program's pthread_create, pthread_join and
// pthread_detach count what happens to every thread the decoder creates, and
// can make creation fail.

namespace {
std::mutex g_threadsMutex;
// Every thread created, in order, with its joins + detaches. An identifier
// can be reused once its thread is gone, so lookups take the latest entry.
std::vector<std::pair<pthread_t, int>> g_released;

void countRelease(pthread_t thread) {
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    for (auto it = g_released.rbegin(); it != g_released.rend(); ++it)
        if (pthread_equal(it->first, thread)) {
            ++it->second;
            return;
        }
}
std::atomic<bool> g_failCreate{false};

template <typename Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Fn real = next<Fn>("pthread_create");
    if (g_failCreate.load()) return EAGAIN;
    std::lock_guard<std::mutex> lock(g_threadsMutex);  // the new id is recorded before the thread can end
    const int rc = real(thread, attr, start, arg);
    if (rc == 0) g_released.emplace_back(*thread, 0);
    return rc;
}

extern "C" int pthread_join(pthread_t thread, void** result) {
    using Fn = int (*)(pthread_t, void**);
    static const Fn real = next<Fn>("pthread_join");
    countRelease(thread);
    return real(thread, result);
}

extern "C" int pthread_detach(pthread_t thread) {
    using Fn = int (*)(pthread_t);
    static const Fn real = next<Fn>("pthread_detach");
    countRelease(thread);
    return real(thread);
}

namespace {

using Rows = std::vector<std::vector<uint8_t>>;

// The band source: the stream cut into bands of the given sizes (cycled),
// with optional faults. The band function has no context argument, so the
// feed in use is a global.
struct Feed {
    std::vector<uint8_t> data;
    std::vector<size_t> sizes{32768};
    int failAtCall = -1;   // this call (0-based) returns failStatus
    int failStatus = 9;
    size_t claimSize = 0;  // when set, the count reported for every band
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterEnd{0};
    size_t pos = 0;
    bool ended = false;
};
Feed* g_feed = nullptr;

int bandFunc(char* buffer, size_t* size) {
    Feed& f = *g_feed;
    const int call = f.calls++;
    if (f.ended) ++f.callsAfterEnd;
    if (call == f.failAtCall) {
        f.ended = true;
        *size = 0;
        return f.failStatus;
    }
    if (f.pos >= f.data.size()) {
        f.ended = true;
        *size = 0;
        return 5;
    }
    size_t n = f.sizes[static_cast<size_t>(call) % f.sizes.size()];
    if (n > f.data.size() - f.pos) n = f.data.size() - f.pos;
    memcpy(buffer, f.data.data() + f.pos, n);
    f.pos += n;
    *size = f.claimSize ? f.claimSize : n;
    return 0;
}

// What reached the row callback.
struct Collected {
    Rows rows;
    std::vector<int> indices;
    std::vector<size_t> sizes;
    std::vector<std::thread::id> threads;
    int cancelAtRow = -1;    // set cancel from inside the callback after this row
    int throwAtRow = -1;
    int endAtRow = -1;  // call JPEGDecompressEnd from the callback
    int endResult = 0;
    std::atomic<int> holdFrom{INT_MAX};  // the callbacks of rows from here on wait
    std::atomic<int> delivered{0};
    DecodeInfo* info = nullptr;
};

void collect(unsigned char* data, size_t size, int line, void* caller) {
    Collected& c = *static_cast<Collected*>(caller);
    c.rows.emplace_back(data, data + size);
    c.indices.push_back(line);
    c.sizes.push_back(size);
    c.threads.push_back(std::this_thread::get_id());
    ++c.delivered;
    if (line == c.cancelAtRow) __atomic_store_n(&c.info->cancel, true, __ATOMIC_RELEASE);
    if (line == c.throwAtRow) throw std::runtime_error("row consumer failed");
    if (line == c.endAtRow) c.endResult = JPEGDecompressEnd(c.info);
    while (line >= c.holdFrom.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Runs one decode of `feed` and returns what was collected; the record is
// left for inspection in `info`.
struct Decode {
    DecodeInfo info{};
    Collected out;
};

void decode(Feed& feed, Decode& run, bool threaded) {
    g_feed = &feed;
    run.info.callback = collect;
    run.info.getBandFunc = bandFunc;
    run.info.caller = &run.out;
    run.out.info = &run.info;
    JPEGDecompressStart(&run.info, threaded);
    if (threaded) {
        EXPECT_EQ(JPEGDecompressEnd(&run.info), 0);
    }
    EXPECT_EQ(run.info.sourceMgr, nullptr);  // released at the end of every decode
    EXPECT_EQ(run.info.workID, 0u);
}

std::vector<uint8_t> picture(unsigned w, unsigned h, int channels, JpegEncodeOptions options = {}) {
    const std::vector<uint8_t> jpeg = jpeg_encode(jpeg_test_picture(w, h, channels), w, h, channels, options);
    EXPECT_FALSE(jpeg.empty());
    return jpeg;
}

Rows reference(const std::vector<uint8_t>& jpeg) {
    Rows rows;
    EXPECT_TRUE(jpeg_decode_reference(jpeg, &rows));
    return rows;
}

TEST(JpegDecompress, BandSizesDoNotChangeTheRows) {
    for (int channels : {1, 3}) {
        JpegEncodeOptions options;
        options.densityUnit = 2;
        options.xDensity = 118;
        options.yDensity = 59;
        const std::vector<uint8_t> jpeg = picture(37, 100, channels, options);
        const Rows expected = reference(jpeg);
        ASSERT_EQ(expected.size(), 100u);
        for (const std::vector<size_t>& sizes :
             std::vector<std::vector<size_t>>{{1}, {32768}, {7, 1, 4096, 32768, 3}, {2}}) {
            Feed feed;
            feed.data = jpeg;
            feed.sizes = sizes;
            Decode run;
            decode(feed, run, false);
            EXPECT_EQ(run.out.rows, expected) << channels << " channels, first band " << sizes[0];
            ASSERT_EQ(run.out.indices.size(), 100u);
            for (int i = 0; i < 100; ++i) {
                EXPECT_EQ(run.out.indices[i], i);
                EXPECT_EQ(run.out.sizes[i], 37u * channels);
            }
            EXPECT_EQ(run.info.imageWidth, 37);
            EXPECT_EQ(run.info.imageHeight, 100);
            EXPECT_EQ(run.info.num_components, channels);
            EXPECT_EQ(run.info.colorSpace, channels == 3 ? JCS_RGB : JCS_GRAYSCALE);
            EXPECT_EQ(run.info.density_unit, 2);
            EXPECT_EQ(run.info.X_density, 118);
            EXPECT_EQ(run.info.Y_density, 59);
            EXPECT_EQ(feed.callsAfterEnd.load(), 0);
        }
    }

    // Progressive scans and restart markers, in one-byte bands.
    JpegEncodeOptions progressive;
    progressive.progressive = true;
    JpegEncodeOptions restarts;
    restarts.restartRows = 1;
    for (const JpegEncodeOptions& options : {progressive, restarts}) {
        const std::vector<uint8_t> jpeg = picture(64, 48, 3, options);
        Feed feed;
        feed.data = jpeg;
        feed.sizes = {1};
        Decode run;
        decode(feed, run, false);
        EXPECT_EQ(run.out.rows, reference(jpeg));
    }
}

TEST(JpegDecompress, SkippedMarkersAcrossBands) {
    JpegEncodeOptions options;
    options.markers.push_back({JPEG_APP0 + 5, std::vector<uint8_t>(50000, 0xAB)});
    options.markers.push_back({JPEG_COM, std::vector<uint8_t>(40000, 'c')});
    options.markers.push_back({JPEG_APP0 + 9, std::vector<uint8_t>(3000, 0xFF)});
    const std::vector<uint8_t> jpeg = picture(40, 30, 3, options);
    ASSERT_GT(jpeg.size(), 93000u);
    const Rows expected = reference(jpeg);
    for (const std::vector<size_t>& sizes : std::vector<std::vector<size_t>>{{32768}, {1000}, {1}, {65, 32768}}) {
        Feed feed;
        feed.data = jpeg;
        feed.sizes = sizes;
        Decode run;
        decode(feed, run, false);
        EXPECT_EQ(run.out.rows, expected) << "first band " << sizes[0];
        EXPECT_EQ(feed.pos, jpeg.size());  // read to its end
    }
}

TEST(JpegDecompress, CancelAndCallbackFaults) {
    const std::vector<uint8_t> jpeg = picture(32, 100, 1);
    {
        // Cancelled before the first row: the header is read, no row is delivered.
        Feed feed;
        feed.data = jpeg;
        Decode run;
        run.info.cancel = true;
        decode(feed, run, false);
        EXPECT_TRUE(run.out.rows.empty());
        EXPECT_EQ(run.info.imageWidth, 32);
    }
    {
        // Cancelled by the callback of row 10: that row is the last.
        Feed feed;
        feed.data = jpeg;
        Decode run;
        run.out.cancelAtRow = 10;
        decode(feed, run, false);
        EXPECT_EQ(run.out.rows.size(), 11u);
    }
    {
        // A callback that throws stops the decode; nothing escapes Start.
        Feed feed;
        feed.data = jpeg;
        Decode run;
        run.out.throwAtRow = 3;
        decode(feed, run, false);
        EXPECT_EQ(run.out.rows.size(), 4u);
    }
    {
        // The exported empty callback and a null callback decode quietly.
        Feed feed;
        feed.data = jpeg;
        DecodeInfo info{};
        g_feed = &feed;
        info.callback = orvela_JpegLineCallback;
        info.getBandFunc = bandFunc;
        JPEGDecompressStart(&info, false);
        EXPECT_EQ(feed.pos, jpeg.size());  // decoded to the end
        EXPECT_EQ(info.sourceMgr, nullptr);
        Feed again;
        again.data = jpeg;
        g_feed = &again;
        DecodeInfo none{};
        none.getBandFunc = bandFunc;
        JPEGDecompressStart(&none, false);
        EXPECT_EQ(again.pos, jpeg.size());
        EXPECT_EQ(none.sourceMgr, nullptr);
    }
    DecodeInfo idle{};
    EXPECT_EQ(JPEGDecompressEnd(&idle), 0);  // no worker: returns at once
    EXPECT_EQ(JPEGDecompressEnd(nullptr), 0);
    JPEGDecompressStart(nullptr, false);
}

TEST(JpegDecompress, BandFailuresEndTheDecode) {
    const std::vector<uint8_t> jpeg = picture(64, 200, 3);
    const Rows expected = reference(jpeg);
    for (int failAt : {0, 1, 5, 20}) {
        // A failing band ends the decode without a library error and without
        // asking for more bands.
        Feed feed;
        feed.data = jpeg;
        feed.sizes = {256};
        feed.failAtCall = failAt;
        Decode run;
        decode(feed, run, false);
        EXPECT_LT(run.out.rows.size(), 200u) << failAt;
        EXPECT_EQ(feed.callsAfterEnd.load(), 0) << failAt;
        for (size_t i = 0; i < run.out.rows.size(); ++i) EXPECT_EQ(run.out.rows[i], expected[i]);
    }
    {
        // The stream ends at once: only an end-of-image marker, so the header
        // read fails inside the library and the error manager takes over.
        Feed feed;
        Decode run;
        decode(feed, run, false);
        EXPECT_TRUE(run.out.rows.empty());
        EXPECT_EQ(run.info.imageWidth, 0);
        EXPECT_EQ(feed.calls.load(), 1);
    }
    {
        // A band that claims more than the cache holds, and an empty "good"
        // band, are failures, not reads past the cache or endless refills
        // (the largest claim a size_t holds, 32 or 64 bits wide).
        for (size_t claim : {size_t{32769}, SIZE_MAX}) {
            Feed feed;
            feed.data = jpeg;
            feed.claimSize = claim;
            Decode run;
            decode(feed, run, false);
            EXPECT_TRUE(run.out.rows.empty());
            EXPECT_EQ(feed.calls.load(), 1);
        }
        Feed feed;
        feed.data = jpeg;
        feed.sizes = {0};
        Decode run;
        decode(feed, run, false);
        EXPECT_TRUE(run.out.rows.empty());
        EXPECT_EQ(feed.calls.load(), 1);
    }
}

TEST(JpegDecompress, CorruptStreams) {
    const std::vector<uint8_t> jpeg = picture(48, 64, 3);
    {
        // Not a JPEG at all.
        Feed feed;
        feed.data = std::vector<uint8_t>(5000, 0x5A);
        Decode run;
        decode(feed, run, false);
        EXPECT_TRUE(run.out.rows.empty());
        EXPECT_EQ(run.info.imageWidth, 0);
    }
    {
        // Cut in the middle of the scan: the library pads the missing rows
        // and the decode finishes with every row.
        Feed feed;
        feed.data.assign(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10));
        feed.sizes = {100};
        Decode run;
        decode(feed, run, false);
        EXPECT_EQ(run.out.rows.size(), 64u);
    }
    {
        // A zero frame width in the header.
        std::vector<uint8_t> bad = jpeg;
        size_t sof = 0;
        for (size_t i = 0; i + 1 < bad.size(); ++i)
            if (bad[i] == 0xFF && bad[i + 1] == 0xC0) {
                sof = i;
                break;
            }
        ASSERT_NE(sof, 0u);
        bad[sof + 7] = 0;
        bad[sof + 8] = 0;
        Feed feed;
        feed.data = bad;
        Decode run;
        decode(feed, run, false);
        EXPECT_TRUE(run.out.rows.empty());
    }
    {
        // Damaged scan data: whatever the library makes of it, the decode ends.
        for (unsigned seed = 1; seed <= 20; ++seed) {
            std::vector<uint8_t> damaged = jpeg;
            unsigned state = seed;
            for (int k = 0; k < 30; ++k) {
                state = state * 1103515245u + 12345u;
                damaged[700 + (state >> 8) % (damaged.size() - 702)] ^= static_cast<uint8_t>(state >> 3);
            }
            Feed feed;
            feed.data = damaged;
            feed.sizes = {333};
            Decode run;
            decode(feed, run, false);
            EXPECT_LE(run.out.rows.size(), 64u);
        }
    }
}

// Threads created by the decoder that have been joined or released more or
// less than once; waits up to a second for workers finishing their last steps.
int unbalancedThreads() {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int bad = 0;
        {
            std::lock_guard<std::mutex> lock(g_threadsMutex);
            for (const auto& [id, count] : g_released) bad += (count != 1);
        }
        if (bad == 0) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    int bad = 0;
    for (const auto& [id, count] : g_released) bad += (count != 1);
    return bad;
}

TEST(JpegDecompress, WorkerThread) {
    {
        std::lock_guard<std::mutex> lock(g_threadsMutex);
        g_released.clear();
    }
    const std::vector<uint8_t> jpeg = picture(50, 80, 3);
    const Rows expected = reference(jpeg);
    {
        // Same rows on the worker; every callback runs there.
        Feed feed;
        feed.data = jpeg;
        feed.sizes = {513};
        Decode run;
        decode(feed, run, true);
        EXPECT_EQ(run.out.rows, expected);
        for (const std::thread::id& id : run.out.threads) EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(JPEGDecompressEnd(&run.info), 0);  // a second End has nothing to wait for
    }
    {
        // Cancelled from this thread while the worker waits inside row 5.
        Feed feed;
        feed.data = jpeg;
        g_feed = &feed;
        Decode run;
        run.out.holdFrom = 5;
        run.out.info = &run.info;
        run.info.callback = collect;
        run.info.getBandFunc = bandFunc;
        run.info.caller = &run.out;
        JPEGDecompressStart(&run.info, true);
        while (run.out.delivered.load() < 6) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        __atomic_store_n(&run.info.cancel, true, __ATOMIC_RELEASE);
        run.out.holdFrom = INT_MAX;
        EXPECT_EQ(JPEGDecompressEnd(&run.info), 0);
        EXPECT_EQ(run.out.rows.size(), 6u);
        EXPECT_EQ(run.info.workID, 0u);
        EXPECT_EQ(run.info.sourceMgr, nullptr);
    }
    {
        // End called from the worker's own callback cannot join; the
        // caller's End afterwards still does.
        Feed feed;
        feed.data = jpeg;
        Decode run;
        run.out.endAtRow = 2;
        run.out.holdFrom = 0;  // until Start has returned and published workID
        g_feed = &feed;
        run.info.callback = collect;
        run.info.getBandFunc = bandFunc;
        run.info.caller = &run.out;
        run.out.info = &run.info;
        JPEGDecompressStart(&run.info, true);
        run.out.holdFrom = 3;
        while (run.out.delivered.load() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(run.out.endResult, EDEADLK);
        run.out.holdFrom = INT_MAX;
        EXPECT_EQ(JPEGDecompressEnd(&run.info), 0);
        EXPECT_EQ(run.out.rows.size(), 80u);
        EXPECT_EQ(run.info.workID, 0u);
    }
    {
        // A library error on the worker: the worker still ends and is joined.
        Feed feed;
        feed.data = std::vector<uint8_t>(100, 0);
        Decode run;
        decode(feed, run, true);
        EXPECT_TRUE(run.out.rows.empty());
    }
    // End racing the worker's end: small images, End at once or after a pause
    // around the decode's own length. Each worker is joined or released once.
    const std::vector<uint8_t> small = picture(16, 8, 1);
    for (int i = 0; i < 150; ++i) {
        Feed feed;
        feed.data = small;
        g_feed = &feed;
        Decode run;
        run.info.callback = collect;
        run.info.getBandFunc = bandFunc;
        run.info.caller = &run.out;
        run.out.info = &run.info;
        JPEGDecompressStart(&run.info, true);
        if (i % 3 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
        if (i % 3 == 2) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const int joined = JPEGDecompressEnd(&run.info);
        EXPECT_EQ(joined, 0);
        // After End the decode is over: either joined, or the worker had
        // already finished everything and released itself.
        EXPECT_EQ(run.info.workID, 0u);
        EXPECT_EQ(run.info.sourceMgr, nullptr);
        EXPECT_EQ(run.out.rows.size(), 8u);
    }
    EXPECT_EQ(unbalancedThreads(), 0);
    std::lock_guard<std::mutex> lock(g_threadsMutex);
    EXPECT_EQ(g_released.size(), 154u);
}

TEST(JpegDecompress, WorkerThatCannotBeCreated) {
    const std::vector<uint8_t> jpeg = picture(16, 16, 1);
    Feed feed;
    feed.data = jpeg;
    g_feed = &feed;
    Decode run;
    run.info.callback = collect;
    run.info.getBandFunc = bandFunc;
    run.info.caller = &run.out;
    g_failCreate = true;
    JPEGDecompressStart(&run.info, true);
    g_failCreate = false;
    EXPECT_EQ(run.info.workID, 0u);
    EXPECT_EQ(run.info.sourceMgr, nullptr);
    EXPECT_EQ(JPEGDecompressEnd(&run.info), 0);
    EXPECT_TRUE(run.out.rows.empty());
    EXPECT_EQ(feed.calls.load(), 0);

    // The record is usable for the next decode.
    Feed again;
    again.data = jpeg;
    Decode next;
    decode(again, next, true);
    EXPECT_EQ(next.out.rows.size(), 16u);
}

}  // namespace

namespace {

// The decoder as outside callers reach it: through the shared library's
// exported names, with libjpeg bound privately inside it.
TEST(JpegDecompress, ExportedFromTheLibrary) {
    void* lib = dlopen(ORVELA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using StartFn = void (*)(DecodeInfo*, bool);
    using EndFn = int (*)(DecodeInfo*);
    const auto start = reinterpret_cast<StartFn>(dlsym(lib, "JPEGDecompressStart"));
    const auto end = reinterpret_cast<EndFn>(dlsym(lib, "JPEGDecompressEnd"));
    ASSERT_NE(start, nullptr);
    ASSERT_NE(end, nullptr);
    EXPECT_NE(dlsym(lib, "decodethread"), nullptr);
    EXPECT_NE(dlsym(lib, "orvela_JpegLineCallback"), nullptr);
    EXPECT_EQ(dlsym(lib, "fill_input_buffer"), nullptr);  // reached only through libjpeg

    const std::vector<uint8_t> jpeg = picture(33, 21, 3);
    Feed feed;
    feed.data = jpeg;
    feed.sizes = {100};
    g_feed = &feed;
    Decode run;
    run.info.callback = collect;
    run.info.getBandFunc = bandFunc;
    run.info.caller = &run.out;
    run.out.info = &run.info;
    start(&run.info, true);
    EXPECT_EQ(end(&run.info), 0);
    EXPECT_EQ(run.out.rows, reference(jpeg));
    EXPECT_EQ(run.info.sourceMgr, nullptr);
    // The library stays loaded: a worker that released itself may still be
    // leaving its last function.
}

}  // namespace
