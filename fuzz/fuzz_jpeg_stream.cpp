// libFuzzer target: arbitrary bytes through the streaming JPEG decoder, cut
// into bands whose sizes the input chooses, with an optional band failure.
// Input: byte 0 picks the band sizes, byte 1 the band call that fails (0 for
// none), the rest is the stream. Rows are checked against the header.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/jpegdecompress.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint8_t mode;
    int failAt;
    int calls;
} g_feed;

size_t bandSize(int call) {
    switch (g_feed.mode & 3) {
        case 0: return 1;
        case 1: return 1 + static_cast<size_t>(call * 37 + g_feed.mode) % 700;
        case 2: return kJpegBandCacheSize;
        default: return 1 + (static_cast<size_t>(g_feed.mode) << 7) % kJpegBandCacheSize;
    }
}

int band(char* buffer, size_t* size) {
    const int call = g_feed.calls++;
    if (call + 1 == g_feed.failAt) {
        *size = 0;
        return 9;
    }
    if (g_feed.pos >= g_feed.size) {
        *size = 0;
        return 5;
    }
    size_t n = bandSize(call);
    if (n > g_feed.size - g_feed.pos) n = g_feed.size - g_feed.pos;
    memcpy(buffer, g_feed.data + g_feed.pos, n);
    g_feed.pos += n;
    *size = n;
    return 0;
}

struct Sink {
    DecodeInfo* info;
    size_t bytes;
    int next;
};

void row(unsigned char* data, size_t size, int line, void* caller) {
    Sink* sink = static_cast<Sink*>(caller);
    const DecodeInfo* info = sink->info;
    // Rows arrive in order, each of the frame's width times its components
    // (three for colour output, one for grey).
    const int components = info->colorSpace == JCS_GRAYSCALE ? 1 : info->colorSpace == JCS_RGB ? 3 : info->num_components;
    if (line != sink->next++ || line >= info->imageHeight || size != static_cast<size_t>(info->imageWidth) * components)
        abort();
    volatile unsigned char touch = data[0] ^ data[size - 1];
    (void)touch;
    // Huge frames made of a few bytes would take minutes: stop after a budget.
    sink->bytes += size;
    if (sink->bytes > (4u << 20)) __atomic_store_n(&sink->info->cancel, true, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 2) return 0;
    g_feed = Feed{input + 2, size - 2, 0, input[0], input[1], 0};
    DecodeInfo info{};
    Sink sink{&info, 0, 0};
    info.callback = row;
    info.getBandFunc = band;
    info.caller = &sink;
    JPEGDecompressStart(&info, false);
    if (info.sourceMgr != nullptr || info.workID != 0) abort();
    return 0;
}
