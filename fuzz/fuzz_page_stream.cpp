// libFuzzer target: the page-stream pull of the driver layer (Drv_scan2File)
// reading from a transport that serves the fuzzer's bytes. The transport sits
// at the device-dispatch seam (Device_*): it hands out the bytes in order like
// a connection that the peer closes after the last one (a short read at the
// end), so no socket or clock is involved.
// Input: byte 0 sets a cancel after that many transport reads (0: never), the
// rest is the stream. An independent reading of the stream gives the page
// file's expected bytes, the result, and whether the page is aborted (a pull
// that stops inside the page tells the device to stop), which must match
// exactly.
// Then the streaming path reads the same stream (the row pipeline over the
// device's page: the pull, the suspending decoder, the row rescaler,
// 300 -> 200 dpi) with the same cancel:
// unless the cancel stopped either, it must serve a complete page exactly
// when the whole-page path does (page file, decode, rescale), with the same
// bytes.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backend/device.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/driver/page_transfer.h"
#include "core/scan/job/job_page.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/page_rows.h"

namespace {

struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    unsigned reads = 0;
    unsigned cancel_after = 0;
    bool* cancel = nullptr;
    unsigned aborts = 0;  // abort commands written
} g_stream;

std::string& page_path() {
    static std::string path = [] {
        char dir[] = "/tmp/fuzz_page_stream.XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        return std::string(dir) + "/page.jpg";
    }();
    return path;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

struct Expected {
    std::vector<uint8_t> file;
    SCAN_Status status = SCAN_STATUS_IO_ERROR;
    int adf = STATUS_ADF_PAPER_EMPTY;
    bool aborted = false;
};

// The page as the protocol describes it: 8-byte headers, 'd' with a 32-bit
// little-endian size followed by that many data bytes (taken in pieces of
// the band buffer's size; a piece counts only when it is whole), 's' ends the
// page with a completion code and the feeder state. A cancel is seen before
// each header.
Expected model(const uint8_t* data, size_t size, unsigned cancel_after) {
    Expected e;
    size_t pos = 0;
    unsigned reads = 0;
    bool cancelled = false;
    bool broken = true;  // until an end header says otherwise
    auto read = [&](size_t n) -> bool {
        ++reads;
        const bool whole = size - pos >= n;
        pos += whole ? n : size - pos;
        if (cancel_after != 0 && reads >= cancel_after) cancelled = true;
        return whole;
    };
    for (;;) {
        if (cancelled) {
            e.status = SCAN_STATUS_CANCELLED;
            return e;
        }
        const size_t at = pos;
        if (!read(8)) break;
        const uint8_t* h = data + at;
        if (h[0] == 0x73) {
            broken = false;
            if (h[1] == 9) e.status = SCAN_STATUS_CANCELLED;
            else if (h[1] == 0) e.status = SCAN_STATUS_GOOD, e.adf = h[2];
            break;
        }
        // Any other header, and a data header of 0 bytes or fewer (as an
        // int), is a poll that carries nothing; a band above 256 MiB means
        // the stream is out of step.
        if (h[0] != 0x64) continue;
        const int announced = static_cast<int>(le32(h + 4));
        if (announced <= 0) continue;
        if (announced > (256 << 20)) break;
        size_t left = static_cast<size_t>(announced);
        bool whole = true;
        while (left > 0) {
            const size_t piece = left < orvela_drv::kBandBufferSize ? left : orvela_drv::kBandBufferSize;
            const size_t from = pos;
            if (!read(piece)) {
                whole = false;
                break;
            }
            e.file.insert(e.file.end(), data + from, data + from + piece);
            left -= piece;
        }
        if (!whole) break;
    }
    if (cancelled) e.status = SCAN_STATUS_CANCELLED, e.adf = STATUS_ADF_PAPER_EMPTY;
    e.aborted = broken && !cancelled;
    return e;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) abort();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

constexpr SANE_Word kResolution = 200;
constexpr unsigned kDeviceDpi = 300;

// The page the whole-page path serves from the page file; empty when it
// serves none.
std::vector<uint8_t> whole_page_path(const SCAN_RESULT& pulled) {
    std::vector<uint8_t> page;
    if (pulled.scan_status != SCAN_STATUS_GOOD) return page;
    ORVELA_IMAGE_RAW dst{};
    if (decode_page_file(page_path().c_str(), {kDeviceDpi, kDeviceDpi}, &dst, kResolution) == SCAN_STATUS_GOOD)
        page.assign(dst.img_data, dst.img_data + size_t{dst.img_width} * dst.img_height * dst.img_channel);
    free(dst.img_data);
    return page;
}

// The page the streaming path serves; empty when it ends otherwise than with
// a complete page and a normal end.
std::vector<uint8_t> streaming_path() {
    std::vector<uint8_t> page;
    orvela_drv::PageTransfer transfer(g_stream.cancel, orvela_drv::PageTransfer::CancelCheck::WhileWaiting);
    DevicePage source(transfer);
    PageRows stream(source, kResolution, {kDeviceDpi, kDeviceDpi}, false);
    if (!stream.init()) abort();
    const uint8_t* row = nullptr;
    PageRows::Result r;
    while ((r = stream.next_row(true, &row)) == PageRows::Result::Ready) {
        const ORVELA_IMAGE_RAW& shape = stream.shape();
        page.insert(page.end(), row, row + size_t{shape.img_width} * shape.img_channel);
    }
    if (r != PageRows::Result::NoRow || stream.finish() != PageRows::Result::Done ||
        transfer.end_result().scan_status != SCAN_STATUS_GOOD)
        page.clear();
    return page;
}

}  // namespace

// The transport seam, fed by the fuzzer.
extern "C" {

bool Device_Open(ORVELA_Device) { return true; }
void Device_Close(void) {}

size_t Device_Read(void* buffer, size_t size, unsigned int) {
    Stream& s = g_stream;
    const size_t n = size < s.size - s.pos ? size : s.size - s.pos;
    if (n) memcpy(buffer, s.data + s.pos, n);
    s.pos += n;
    ++s.reads;
    if (s.cancel_after != 0 && s.reads >= s.cancel_after) __atomic_store_n(s.cancel, true, __ATOMIC_RELEASE);
    return n;
}

}  // extern "C"

// The cancel-aware read of the streaming path, over the same bytes.
size_t orvela_dispatch::read_until(void* buffer, size_t size, int64_t, const bool*) {
    return Device_Read(buffer, size, 0);
}

extern "C" {

size_t Device_Write(const void* bytes, size_t size, unsigned int) {
    const auto* b = static_cast<const uint8_t*>(bytes);
    if (size == 8 && b[0] == 0x53 && b[1] == 0x61) ++g_stream.aborts;
    return size;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    bool cancel = false;
    // The stream in a block of its own size: a read past it is caught.
    const size_t length = size - 1;
    uint8_t* data = static_cast<uint8_t*>(malloc(length ? length : 1));
    if (data == nullptr) abort();
    if (length) memcpy(data, input + 1, length);
    g_stream = Stream{data, length, 0, 0, input[0], &cancel};

    const SCAN_RESULT result = Drv_scan2File(page_path().c_str(), &cancel);
    const Expected expected = model(data, length, input[0]);
    if (result.scan_status != expected.status) abort();
    if (static_cast<int>(result.adf_status) != expected.adf) abort();
    if (file_bytes(page_path()) != expected.file) abort();
    if (g_stream.aborts != (expected.aborted ? 1u : 0u)) abort();

    // The pages are compared when the cancel stopped neither pull (the two
    // read the stream in different pieces, so it stops them at different
    // places).
    const bool whole_cancelled = cancel;
    const std::vector<uint8_t> whole = whole_page_path(result);
    g_stream = Stream{data, length, 0, 0, input[0], &cancel};
    cancel = false;
    const std::vector<uint8_t> streamed = streaming_path();
    if (!whole_cancelled && !cancel && whole != streamed) abort();
    free(data);
    return 0;
}
