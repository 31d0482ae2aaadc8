// The simulated scanner: command decoding, scripted answers and the page stream.
#include "tools/scanner_sim/sim_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <thread>
#include <utility>

#include "tools/scanner_sim/page_image.h"

namespace orvela_sim {
namespace {

using Clock = std::chrono::steady_clock;
using JpegPtr = std::shared_ptr<const std::vector<uint8_t>>;

uint32_t get_u32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Everything a page stream needs, captured when its 'i' command is accepted,
// so that a later set_script does not change a page already under way.
struct PagePlan {
    int page = 0;
    PageRequest request;
    std::shared_future<JpegPtr> jpeg;
    uint8_t end_code = 0;
    uint8_t end_adf = 0;
    bool stop_halfway = false;  // jam or cover open: half the data, then the end header
    JpegFault fault = JpegFault::None;
    uint32_t band_size = 65536;
    std::vector<uint32_t> band_pattern;
    int unknown_before_band = -1;
    uint8_t unknown_id = 'q';
    int page_delay_ms = 0;
    int band_delay_ms = 0;
    int64_t stall_after = -1;
    int stall_ms = 0;
    int64_t drop_after = -1;
    // Filled when the stream is built.
    std::vector<size_t> band_starts;  // offsets of every header in the stream
};

struct Segment {
    enum Kind { Bytes, Stall, Drop, PendingPage } kind = Bytes;
    std::shared_ptr<const std::vector<uint8_t>> buf;
    size_t pos = 0, end = 0;     // bytes [pos, end) of buf are still to send
    int delay_ms = 0;            // before the first byte
    bool timed = false;          // ready_at set
    Clock::time_point ready_at{};
    int stall_ms = 0;
    size_t at = 0;                   // stream offset of a page's stall or drop
    std::shared_ptr<PagePlan> page;  // set for the segments of a page stream
};

std::vector<uint8_t> apply_fault(const std::vector<uint8_t>& jpeg, JpegFault fault) {
    std::vector<uint8_t> out = jpeg;
    switch (fault) {
    case JpegFault::None:
        break;
    case JpegFault::Truncated:
        out.resize(out.size() / 2);
        break;
    case JpegFault::CorruptHeader: {
        bool damaged = false;
        for (size_t i = 0; i + 4 < out.size(); ++i) {
            if (out[i] == 0xFF && (out[i + 1] == 0xC0 || out[i + 1] == 0xC1 || out[i + 1] == 0xC2)) {
                out[i + 4] = 7;  // sample precision 7: no decoder accepts it
                damaged = true;
                break;
            }
        }
        if (!damaged && out.size() >= 2) out[0] = out[1] = 0;
        break;
    }
    case JpegFault::BadMarker:
        if (out.size() >= 4) {
            out[out.size() / 2] = 0xFF;
            out[out.size() / 2 + 1] = 0xD8;
        }
        break;
    case JpegFault::CorruptData: {
        // Noise (never 0xFF, so no marker is made) over a stretch of the scan data.
        size_t start = out.size() / 2, length = std::min<size_t>(4096, out.size() / 8);
        uint32_t state = 12345;
        for (size_t i = start; i < start + length && i + 2 < out.size(); ++i) {
            state = state * 1103515245u + 12345u;
            out[i] = static_cast<uint8_t>((state >> 16) % 255);
        }
        break;
    }
    }
    return out;
}

// Lays out a page stream: data bands, optionally an unknown header, and the end
// header. Records where each header starts.
std::shared_ptr<std::vector<uint8_t>> build_stream(PagePlan& plan, const std::vector<uint8_t>& data) {
    auto stream = std::make_shared<std::vector<uint8_t>>();
    size_t payload = data.size();
    if (plan.stop_halfway) payload /= 2;
    const size_t default_band = std::max<uint32_t>(plan.band_size, 1);
    size_t smallest_band = default_band;
    if (!plan.band_pattern.empty())
        smallest_band = std::max<uint32_t>(1, *std::min_element(plan.band_pattern.begin(), plan.band_pattern.end()));
    const size_t headers = payload / smallest_band + 3;  // bands, an unknown header, the end header
    stream->reserve(payload + 8 * headers);
    plan.band_starts.clear();
    uint8_t header[8];
    size_t offset = 0;
    int band = 0;
    while (offset < payload) {
        if (band == plan.unknown_before_band) {
            std::memset(header, 0, sizeof header);
            header[0] = plan.unknown_id;
            plan.band_starts.push_back(stream->size());
            stream->insert(stream->end(), header, header + 8);
        }
        size_t size = default_band;
        if (!plan.band_pattern.empty()) size = std::max<uint32_t>(plan.band_pattern[band % plan.band_pattern.size()], 1);
        size = std::min(size, payload - offset);
        std::memset(header, 0, sizeof header);
        header[0] = kRspData;
        put_u32(header + 4, static_cast<uint32_t>(size));
        plan.band_starts.push_back(stream->size());
        stream->insert(stream->end(), header, header + 8);
        stream->insert(stream->end(), data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + size));
        offset += size;
        ++band;
    }
    std::memset(header, 0, sizeof header);
    header[0] = kRspStatus;
    header[1] = plan.end_code;
    header[2] = plan.end_adf;
    plan.band_starts.push_back(stream->size());
    stream->insert(stream->end(), header, header + 8);
    return stream;
}

// Cuts a page stream into segments at band starts (delays), a stall point and a
// drop point.
std::vector<Segment> segment_stream(const std::shared_ptr<PagePlan>& plan,
                                    const std::shared_ptr<const std::vector<uint8_t>>& stream) {
    struct Cut {
        size_t offset;
        int delay_ms;
        bool stall, drop;
    };
    std::vector<Cut> cuts;
    cuts.push_back({0, plan->page_delay_ms + plan->band_delay_ms, false, false});
    if (plan->band_delay_ms > 0)
        for (size_t start : plan->band_starts)
            if (start > 0) cuts.push_back({start, plan->band_delay_ms, false, false});
    const size_t size = stream->size();
    if (plan->stall_after >= 0 && static_cast<uint64_t>(plan->stall_after) < size)
        cuts.push_back({static_cast<size_t>(plan->stall_after), 0, true, false});
    if (plan->drop_after >= 0 && static_cast<uint64_t>(plan->drop_after) < size)
        cuts.push_back({static_cast<size_t>(plan->drop_after), 0, false, true});
    std::stable_sort(cuts.begin(), cuts.end(), [](const Cut& a, const Cut& b) { return a.offset < b.offset; });

    std::vector<Segment> out;
    int delay = 0;
    size_t from = 0;
    auto flush = [&](size_t to) {
        if (to > from) {
            Segment s;
            s.kind = Segment::Bytes;
            s.buf = stream;
            s.pos = from;
            s.end = to;
            s.delay_ms = delay;
            s.page = plan;
            out.push_back(std::move(s));
            delay = 0;
        }
        from = to;
    };
    for (const Cut& cut : cuts) {
        flush(cut.offset);
        if (cut.stall) {
            Segment s;
            s.kind = Segment::Stall;
            s.stall_ms = plan->stall_ms;
            s.at = cut.offset;
            s.page = plan;
            out.push_back(std::move(s));
        } else if (cut.drop) {
            Segment s;
            s.kind = Segment::Drop;
            s.at = cut.offset;
            s.page = plan;
            out.push_back(std::move(s));
        } else {
            delay += cut.delay_ms;
        }
    }
    flush(size);
    return out;
}

bool applies_to_page(int configured, int page) {
    return configured == 0 || configured == page;
}

}  // namespace

ScanInfo decode_scan_info(std::span<const uint8_t, kScanInfoLength> b) {
    const uint8_t* p = b.data();
    ScanInfo s;
    s.nScanSrc = get_u32(p + 0);
    s.nTPA = get_u32(p + 4);
    s.nEndorser = get_u32(p + 8);
    s.nYear = get_u16(p + 12);
    s.nMonth = p[14];
    s.nDay = p[15];
    s.nHour = p[16];
    s.nMinute = p[17];
    s.nTimeZone = static_cast<int16_t>(get_u16(p + 18));
    s.nBedWidth = get_u32(p + 20);
    s.nBedHeight = get_u32(p + 24);
    s.nIntensityMin = static_cast<int32_t>(get_u32(p + 28));
    s.nIntensityMax = static_cast<int32_t>(get_u32(p + 32));
    s.nIntensityStep = get_u32(p + 36);
    s.nContrastMin = static_cast<int32_t>(get_u32(p + 40));
    s.nContrastMax = static_cast<int32_t>(get_u32(p + 44));
    s.nContrastStep = get_u32(p + 48);
    s.nSupportedCompressionType = get_u32(p + 52);
    s.nSupportedDataTypes = get_u32(p + 56);
    s.nWidthInPixels = get_u32(p + 60);
    s.nWidthInBytes = get_u32(p + 64);
    s.nLines = get_u32(p + 68);
    s.nDataType = get_u32(p + 72);
    s.nBitsPerPixel = get_u32(p + 76);
    s.nIntensity = get_u32(p + 80);
    s.nContrast = get_u32(p + 84);
    s.nXResolution = get_u32(p + 88);
    s.nYResoultion = get_u32(p + 92);
    s.nXPosition = get_u32(p + 96);
    s.nYPosition = get_u32(p + 100);
    s.nXExtent = get_u32(p + 104);
    s.nYExtent = get_u32(p + 108);
    s.nDitherPattern = get_u32(p + 112);
    s.nNegative = get_u32(p + 116);
    s.nMirror = get_u32(p + 120);
    s.nAutoback = get_u32(p + 124);
    s.nColorDitherPattern = get_u32(p + 128);
    s.nToneMap = get_u32(p + 132);
    s.nCompression = get_u32(p + 136);
    s.nRawDataFormat = get_u32(p + 140);
    s.nRawPixelOrder = get_u32(p + 144);
    s.nNeedDataAlignment = get_u32(p + 148);
    s.nDelayBetweenRead = get_u32(p + 152);
    s.nMaximumBufferSize = get_u32(p + 156);
    return s;
}

std::array<uint8_t, kScanInfoLength> encode_scan_info(const ScanInfo& s) {
    std::array<uint8_t, kScanInfoLength> b{};
    uint8_t* p = b.data();
    put_u32(p + 0, s.nScanSrc);
    put_u32(p + 4, s.nTPA);
    put_u32(p + 8, s.nEndorser);
    put_u16(p + 12, s.nYear);
    p[14] = s.nMonth;
    p[15] = s.nDay;
    p[16] = s.nHour;
    p[17] = s.nMinute;
    put_u16(p + 18, static_cast<uint16_t>(s.nTimeZone));
    put_u32(p + 20, s.nBedWidth);
    put_u32(p + 24, s.nBedHeight);
    put_u32(p + 28, static_cast<uint32_t>(s.nIntensityMin));
    put_u32(p + 32, static_cast<uint32_t>(s.nIntensityMax));
    put_u32(p + 36, s.nIntensityStep);
    put_u32(p + 40, static_cast<uint32_t>(s.nContrastMin));
    put_u32(p + 44, static_cast<uint32_t>(s.nContrastMax));
    put_u32(p + 48, s.nContrastStep);
    put_u32(p + 52, s.nSupportedCompressionType);
    put_u32(p + 56, s.nSupportedDataTypes);
    put_u32(p + 60, s.nWidthInPixels);
    put_u32(p + 64, s.nWidthInBytes);
    put_u32(p + 68, s.nLines);
    put_u32(p + 72, s.nDataType);
    put_u32(p + 76, s.nBitsPerPixel);
    put_u32(p + 80, s.nIntensity);
    put_u32(p + 84, s.nContrast);
    put_u32(p + 88, s.nXResolution);
    put_u32(p + 92, s.nYResoultion);
    put_u32(p + 96, s.nXPosition);
    put_u32(p + 100, s.nYPosition);
    put_u32(p + 104, s.nXExtent);
    put_u32(p + 108, s.nYExtent);
    put_u32(p + 112, s.nDitherPattern);
    put_u32(p + 116, s.nNegative);
    put_u32(p + 120, s.nMirror);
    put_u32(p + 124, s.nAutoback);
    put_u32(p + 128, s.nColorDitherPattern);
    put_u32(p + 132, s.nToneMap);
    put_u32(p + 136, s.nCompression);
    put_u32(p + 140, s.nRawDataFormat);
    put_u32(p + 144, s.nRawPixelOrder);
    put_u32(p + 148, s.nNeedDataAlignment);
    put_u32(p + 152, s.nDelayBetweenRead);
    put_u32(p + 156, s.nMaximumBufferSize);
    return b;
}

ScanInfo make_scan_info(uint32_t source, uint32_t data_type, uint32_t xres, uint32_t yres, uint32_t x, uint32_t y,
                        uint32_t width, uint32_t height) {
    ScanInfo s;
    s.nScanSrc = source;
    s.nYear = 2026;
    s.nMonth = 1;
    s.nDay = 1;
    s.nBedWidth = 8500;
    s.nBedHeight = source == 0 ? 11700 : 14000;
    s.nIntensityMin = -127;
    s.nIntensityMax = 127;
    s.nIntensityStep = 1;
    s.nContrastMin = -127;
    s.nContrastMax = 127;
    s.nContrastStep = 1;
    s.nSupportedCompressionType = 1;
    s.nSupportedDataTypes = 7;
    s.nWidthInPixels = 5100;
    s.nWidthInBytes = 0xFFFFFC4Fu;
    s.nLines = 1000;
    s.nDataType = data_type;
    s.nBitsPerPixel = data_type == 2 ? 8 : 24;
    s.nXResolution = xres;
    s.nYResoultion = yres;
    s.nXPosition = x;
    s.nYPosition = y;
    s.nXExtent = width;
    s.nYExtent = height;
    s.nCompression = 1;
    s.nRawDataFormat = 1;
    s.nNeedDataAlignment = 1;
    return s;
}

std::array<uint8_t, kCmdLength> make_command(uint8_t id) {
    return {kCmdHead, id, 0, 0, 0, 0, 0, 0};
}

std::array<uint8_t, kScanInfoCmdLength> make_scan_info_command(const ScanInfo& info) {
    std::array<uint8_t, kScanInfoCmdLength> cmd{};
    cmd[0] = kCmdHead;
    cmd[1] = kCmdScanInfo;
    auto block = encode_scan_info(info);
    std::copy(block.begin(), block.end(), cmd.begin() + kCmdLength);
    return cmd;
}

std::string describe(const RecordedCommand& c) {
    char text[512];
    std::string hex;
    for (size_t i = 0; i < std::min<size_t>(c.raw.size(), kCmdLength); ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", c.raw[i]);
        hex += h;
    }
    const char id = (c.id >= 0x20 && c.id < 0x7F) ? static_cast<char>(c.id) : '?';
    std::snprintf(text, sizeof text, "conn=%d cmd=%c len=%zu head=%s", c.connection, id, c.raw.size(), hex.c_str());
    std::string out = text;
    if (c.info) {
        const ScanInfo& s = *c.info;
        std::snprintf(text, sizeof text,
                      " src=%u type=%u bpp=%u res=%ux%u pos=%u,%u size=%ux%u bed=%ux%u date=%04u-%02u-%02u %02u:%02u tz=%d",
                      s.nScanSrc, s.nDataType, s.nBitsPerPixel, s.nXResolution, s.nYResoultion, s.nXPosition,
                      s.nYPosition, s.nXExtent, s.nYExtent, s.nBedWidth, s.nBedHeight, s.nYear, s.nMonth, s.nDay,
                      s.nHour, s.nMinute, s.nTimeZone);
        out += text;
    }
    return out;
}

struct ScannerModel::Impl {
    mutable std::mutex mutex;
    SimScript script;
    // Counters consumed from the script.
    int busy_left = 0, warming_left = 0, sheets = 0, wrong_id_left = 0;
    std::deque<uint8_t> lock_next, unlock_next, params_next, adf_query_next;
    int pages_received = 0;  // 'i' commands since set_script
    int pages_started = 0;   // accepted ones
    bool locked = false;
    // Connection state.
    int connections = 0;
    bool dropped = false;
    std::vector<uint8_t> inbuf;
    std::deque<Segment> out;
    std::vector<std::shared_future<JpegPtr>> abandoned;  // pages still rendering after a discard
    std::vector<RecordedCommand> commands;
    std::vector<SentBand> sent_bands;

    void reset_counters() {
        busy_left = script.busy_locks;
        warming_left = script.warming_locks;
        sheets = script.sheets;
        wrong_id_left = script.wrong_id_times;
        lock_next = script.lock_status.next;
        unlock_next = script.unlock_status.next;
        params_next = script.params_status.next;
        adf_query_next = script.adf_query_status.next;
        pages_received = 0;
        pages_started = 0;
    }

    static uint8_t take(std::deque<uint8_t>& next, const StatusPlan& plan) {
        if (next.empty()) return plan.otherwise;
        uint8_t v = next.front();
        next.pop_front();
        return v;
    }

    uint8_t feeder_byte() const { return sheets > 0 ? kAdfPaper : kAdfEmpty; }

    void discard(Segment& s) {
        if (s.kind == Segment::PendingPage && s.page) abandoned.push_back(s.page->jpeg);
    }

    void clear_output() {
        for (Segment& s : out) discard(s);
        out.clear();
        // Forget renders that have finished; the rest are waited for at destruction.
        std::erase_if(abandoned, [](const std::shared_future<JpegPtr>& f) {
            return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
    }

    void push_bytes(std::vector<uint8_t> bytes, int delay_ms) {
        Segment s;
        s.kind = Segment::Bytes;
        auto buf = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
        s.end = buf->size();
        s.buf = std::move(buf);
        s.delay_ms = delay_ms;
        out.push_back(std::move(s));
    }

    // An 8-byte status reply to command `id`, honouring the scripted wrong
    // identifier, stall and drop.
    void reply(uint8_t id, uint8_t status, uint8_t adf, uint8_t warm = 0) {
        if (script.drop_on_command != 0 && script.drop_on_command == id) {
            Segment s;
            s.kind = Segment::Drop;
            out.push_back(std::move(s));
            return;
        }
        if (script.stall_on_command != 0 && script.stall_on_command == id) {
            Segment s;
            s.kind = Segment::Stall;
            s.stall_ms = script.stall_ms;
            out.push_back(std::move(s));
        }
        uint8_t ident = kRspStatus;
        if (script.wrong_id_command != 0 && script.wrong_id_command == id && wrong_id_left != 0) {
            ident = script.wrong_id_value;
            if (wrong_id_left > 0) --wrong_id_left;
        }
        push_bytes({ident, status, adf, warm, 0, 0, 0, 0}, script.reply_delay_ms);
    }

    bool page_in_progress() const {
        return std::any_of(out.begin(), out.end(), [](const Segment& s) { return s.page != nullptr; });
    }

    void on_lock() {
        uint8_t status, warm = 0;
        if (busy_left > 0) {
            --busy_left;
            status = kStatusBusy;
        } else if (warming_left > 0) {
            --warming_left;
            status = kStatusWarmingUp;
            warm = script.warm_left_time;
        } else {
            status = take(lock_next, script.lock_status);
        }
        if (status == kStatusOk) locked = true;
        reply(kCmdLock, status, script.lock_adf_byte.value_or(feeder_byte()), warm);
    }

    void on_unlock() {
        uint8_t status = take(unlock_next, script.unlock_status);
        if (status == kStatusOk) locked = false;
        reply(kCmdUnlock, status, feeder_byte());
    }

    void on_feeder_query() {
        uint8_t status = take(adf_query_next, script.adf_query_status);
        reply(kCmdFeeder, status, script.adf_query_byte.value_or(feeder_byte()));
    }

    void on_abort() {
        switch (script.abort_mode) {
        case AbortMode::SendRest:
            if (!page_in_progress()) reply(kCmdAbort, kStatusOk, feeder_byte());
            return;
        case AbortMode::Ignore:
            stop_page(nullptr);
            return;
        case AbortMode::StopWithEnd: {
            size_t insert_at = 0;
            std::shared_ptr<PagePlan> page = stop_page(&insert_at);
            if (page) {
                // The end header takes the place of the rest of the page.
                const auto pos = out.begin() + static_cast<long>(insert_at);
                // A stopped jam or cover-open page reports the feeder as it is.
                const bool fault = page->end_adf == kAdfJam || page->end_adf == kAdfCoverOpen;
                const uint8_t adf = fault ? feeder_byte() : page->end_adf;
                Segment s;
                auto buf = std::make_shared<std::vector<uint8_t>>(
                    std::vector<uint8_t>{kRspStatus, kStatusScanStopped, adf, 0, 0, 0, 0, 0});
                s.end = buf->size();
                s.buf = std::move(buf);
                s.delay_ms = script.reply_delay_ms;
                out.insert(pos, std::move(s));
            } else {
                reply(kCmdAbort, kStatusOk, feeder_byte());
            }
            return;
        }
        }
    }

    // Ends the page being streamed at the next band boundary: what the
    // transport has started to send is finished up to the end of that band (a
    // stall or drop inside it still happens). Returns the page that was
    // stopped, or null when none was under way; *insert_at is then where in
    // the output the stopped page ends (replies queued after it stay after it).
    std::shared_ptr<PagePlan> stop_page(size_t* insert_at) {
        auto first = std::find_if(out.begin(), out.end(), [](const Segment& s) { return s.page != nullptr; });
        if (first == out.end()) return nullptr;
        std::shared_ptr<PagePlan> page = first->page;
        if (first->kind == Segment::PendingPage) {
            if (insert_at) *insert_at = static_cast<size_t>(first - out.begin());
            discard(*first);
            out.erase(first);
            return page;
        }
        auto bytes = std::find_if(first, out.end(), [&](const Segment& s) { return s.page == page && s.kind == Segment::Bytes; });
        if (bytes == out.end()) return nullptr;  // the whole page has gone out already
        const auto& starts = page->band_starts;  // the end header is the last start
        if (starts.empty() || bytes->pos > starts.back()) return nullptr;  // the end header is going out already
        const size_t cut = *std::lower_bound(starts.begin(), starts.end(), bytes->pos);
        auto it = first;
        while (it != out.end() && it->page == page) {
            const size_t at = it->kind == Segment::Bytes ? it->pos : it->at;
            if (at < cut) {
                if (it->kind == Segment::Bytes) it->end = std::min(it->end, cut);
                ++it;
                continue;
            }
            discard(*it);
            it = out.erase(it);
        }
        if (insert_at) *insert_at = static_cast<size_t>(it - out.begin());
        return page;
    }

    void on_scan_info(const ScanInfo& info) {
        const int page = ++pages_received;
        if (script.require_lock && !locked) {
            reply(kCmdScanInfo, kStatusBusy, feeder_byte());
            return;
        }
        const bool valid = info.nXResolution > 0 && info.nYResoultion > 0 && info.nXResolution <= 4800 &&
                           info.nYResoultion <= 4800 && info.nXExtent > 0 && info.nYExtent > 0 &&
                           info.nXExtent <= 65500 && info.nYExtent <= 65500;
        if (!valid) {
            reply(kCmdScanInfo, kStatusInvalidParameter, feeder_byte());
            return;
        }
        uint8_t status = take(params_next, script.params_status);
        if (status != kStatusOk) {
            reply(kCmdScanInfo, status, feeder_byte());
            return;
        }
        if (auto it = script.params_adf_byte.find(page); it != script.params_adf_byte.end()) {
            reply(kCmdScanInfo, kStatusOk, it->second);
            return;
        }
        if (page_in_progress()) {
            reply(kCmdScanInfo, kStatusParamInUse, feeder_byte());
            return;
        }
        const bool feeder = info.nScanSrc == 1 || (info.nScanSrc == 2 && sheets > 0);
        if (feeder && sheets <= 0 && script.empty_feeder_status != kStatusOk) {
            reply(kCmdScanInfo, script.empty_feeder_status, kAdfEmpty);
            return;
        }
        reply(kCmdScanInfo, kStatusOk, feeder ? feeder_byte() : kAdfEmpty);
        ++pages_started;

        auto plan = std::make_shared<PagePlan>();
        plan->page = page;
        plan->end_code = page <= static_cast<int>(script.end_codes.size()) ? script.end_codes[page - 1] : 0;
        plan->band_size = script.band_size;
        plan->band_pattern = script.band_pattern;
        if (applies_to_page(script.unknown_header_page, page)) plan->unknown_before_band = script.unknown_header_before_band;
        plan->unknown_id = script.unknown_header_id;
        plan->page_delay_ms = script.page_delay_ms;
        plan->band_delay_ms = script.band_delay_ms;
        if (applies_to_page(script.stall_page, page)) {
            plan->stall_after = script.stall_after_page_bytes;
            plan->stall_ms = script.stall_ms;
        }
        if (applies_to_page(script.drop_page, page)) plan->drop_after = script.drop_after_page_bytes;
        if (applies_to_page(script.jpeg_fault_page, page)) plan->fault = script.jpeg_fault;

        if (feeder && sheets <= 0) {
            // Nothing to scan: the page ends at once without data.
            plan->end_adf = kAdfEmpty;
            push_page_stream(plan, {});
            return;
        }
        if (feeder) --sheets;
        plan->end_adf = feeder ? feeder_byte() : script.flatbed_adf_byte;
        if (script.jam_at_page == page) {
            plan->end_adf = kAdfJam;
            plan->stop_halfway = true;
        } else if (script.cover_open_at_page == page) {
            plan->end_adf = kAdfCoverOpen;
            plan->stop_halfway = true;
        }
        PageRequest& req = plan->request;
        req.xres = info.nXResolution;
        req.yres = info.nYResoultion;
        req.x = info.nXPosition;
        req.y = info.nYPosition;
        req.width = static_cast<uint32_t>(std::max<int64_t>(1, int64_t{info.nXExtent} + script.page_extra_columns));
        req.height = static_cast<uint32_t>(std::max<int64_t>(1, int64_t{info.nYExtent} + script.page_extra_rows));
        req.channels = info.nDataType == 2 ? 1 : 3;
        req.right_rear = script.right_rear_reference;
        req.quality = script.jpeg_quality;
        try {
            plan->jpeg = std::async(std::launch::async, [req] { return render_page_jpeg(req); }).share();
        } catch (const std::system_error&) {
            std::promise<JpegPtr> done;  // no thread to spare: render here
            done.set_value(render_page_jpeg(req));
            plan->jpeg = done.get_future().share();
        }
        Segment s;
        s.kind = Segment::PendingPage;
        s.page = plan;
        out.push_back(std::move(s));
    }

    void push_page_stream(const std::shared_ptr<PagePlan>& plan, const std::vector<uint8_t>& data) {
        auto stream = build_stream(*plan, data);
        for (Segment& s : segment_stream(plan, stream)) out.push_back(std::move(s));
    }

    void process_commands() {
        size_t used = 0;
        while (inbuf.size() - used >= 2) {
            const uint8_t* p = inbuf.data() + used;
            const size_t need = p[1] == kCmdScanInfo ? kScanInfoCmdLength : kCmdLength;
            if (inbuf.size() - used < need) break;
            RecordedCommand rec;
            rec.raw.assign(p, p + need);
            rec.head = p[0];
            rec.id = p[1];
            rec.connection = connections;
            rec.when = Clock::now();
            if (need == kScanInfoCmdLength) rec.info = decode_scan_info(std::span<const uint8_t, kScanInfoLength>(p + kCmdLength, kScanInfoLength));
            commands.push_back(rec);
            used += need;
            if (rec.head != kCmdHead) {
                reply(rec.id, kStatusIllegalCmd, feeder_byte());
                continue;
            }
            switch (rec.id) {
            case kCmdLock: on_lock(); break;
            case kCmdUnlock: on_unlock(); break;
            case kCmdFeeder: on_feeder_query(); break;
            case kCmdAbort: on_abort(); break;
            case kCmdScanInfo: on_scan_info(*rec.info); break;
            default: reply(rec.id, kStatusIllegalCmd, feeder_byte()); break;
            }
        }
        inbuf.erase(inbuf.begin(), inbuf.begin() + static_cast<long>(used));
    }

    // Brings the head of the queue into a state next_action can report.
    NextAction head_action() {
        const auto now = Clock::now();
        while (!out.empty()) {
            Segment& head = out.front();
            switch (head.kind) {
            case Segment::PendingPage: {
                if (head.page->jpeg.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                    return {NextAction::Wait, 0, std::chrono::milliseconds(2)};
                std::shared_ptr<PagePlan> plan = head.page;
                out.pop_front();
                JpegPtr jpeg = plan->jpeg.get();
                std::vector<Segment> segments;
                try {
                    // The page's bytes as made, or spoilt by the script's fault.
                    std::vector<uint8_t> spoilt;
                    const std::vector<uint8_t>* data = &spoilt;
                    if (!jpeg) plan->end_code = kStatusScanStopped;  // the page could not be made
                    else if (plan->fault == JpegFault::None) data = &*jpeg;
                    else spoilt = apply_fault(*jpeg, plan->fault);
                    segments = segment_stream(plan, build_stream(*plan, *data));
                } catch (const std::bad_alloc&) {
                    // No memory for the stream: the page ends at once, stopped.
                    plan->end_code = kStatusScanStopped;
                    segments = segment_stream(plan, build_stream(*plan, {}));
                }
                for (auto it = segments.rbegin(); it != segments.rend(); ++it) out.push_front(std::move(*it));
                continue;
            }
            case Segment::Stall:
                if (!head.timed) {
                    head.timed = true;
                    head.ready_at = now + std::chrono::milliseconds(head.stall_ms);
                }
                if (head.stall_ms > 0 && now >= head.ready_at) {
                    out.pop_front();
                    continue;
                }
                return {NextAction::Stall, 0,
                        head.stall_ms > 0 ? std::chrono::ceil<std::chrono::milliseconds>(head.ready_at - now)
                                          : std::chrono::milliseconds(0)};
            case Segment::Drop:
                return {NextAction::Drop, 0, std::chrono::milliseconds(0)};
            case Segment::Bytes:
                if (head.pos >= head.end) {
                    out.pop_front();
                    continue;
                }
                if (!head.timed) {
                    head.timed = true;
                    head.ready_at = now + std::chrono::milliseconds(head.delay_ms);
                }
                if (now < head.ready_at)
                    return {NextAction::Wait, 0, std::chrono::ceil<std::chrono::milliseconds>(head.ready_at - now)};
                return {NextAction::Send, head.end - head.pos, std::chrono::milliseconds(0)};
            }
        }
        return {};
    }
};

ScannerModel::ScannerModel() : ScannerModel(SimScript{}) {}

ScannerModel::ScannerModel(SimScript script) : impl_(std::make_unique<Impl>()) {
    impl_->script = std::move(script);
    impl_->reset_counters();
}

ScannerModel::~ScannerModel() {
    std::lock_guard lock(impl_->mutex);
    impl_->clear_output();
    for (auto& f : impl_->abandoned) f.wait();
}

void ScannerModel::set_script(SimScript script) {
    std::lock_guard lock(impl_->mutex);
    impl_->script = std::move(script);
    impl_->reset_counters();
}

SimScript ScannerModel::script() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->script;
}

void ScannerModel::connection_opened() {
    std::lock_guard lock(impl_->mutex);
    ++impl_->connections;
    impl_->dropped = false;
    impl_->inbuf.clear();
    impl_->clear_output();
}

void ScannerModel::connection_closed() {
    std::lock_guard lock(impl_->mutex);
    impl_->dropped = false;
    impl_->inbuf.clear();
    impl_->clear_output();
    if (impl_->script.unlock_on_disconnect) impl_->locked = false;
}

void ScannerModel::host_sent(std::span<const uint8_t> bytes) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->dropped) return;
    impl_->inbuf.insert(impl_->inbuf.end(), bytes.begin(), bytes.end());
    impl_->process_commands();
}

NextAction ScannerModel::next_action() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->dropped) return {NextAction::Drop, 0, std::chrono::milliseconds(0)};
    NextAction a = impl_->head_action();
    if (a.kind == NextAction::Drop) {
        impl_->dropped = true;
        impl_->clear_output();
    }
    return a;
}

size_t ScannerModel::device_take(std::span<uint8_t> dest) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->dropped) return 0;
    size_t taken = 0;
    while (taken < dest.size()) {
        NextAction a = impl_->head_action();
        if (a.kind != NextAction::Send) break;
        Segment& head = impl_->out.front();
        size_t n = std::min(dest.size() - taken, head.end - head.pos);
        std::memcpy(dest.data() + taken, head.buf->data() + head.pos, n);
        if (impl_->script.record_sent_bands && head.page) {
            // Every header that this piece reaches closes the band before it;
            // each header before header j took 8 bytes of the stream.
            const std::vector<size_t>& starts = head.page->band_starts;
            auto j = std::upper_bound(starts.begin(), starts.end(), head.pos);
            for (; j != starts.end() && *j <= head.pos + n; ++j) {
                const size_t headers = static_cast<size_t>(j - starts.begin());
                impl_->sent_bands.push_back({head.page->page, *j - 8 * headers, Clock::now()});
            }
        }
        head.pos += n;
        taken += n;
    }
    return taken;
}

size_t ScannerModel::pending() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->dropped) return 0;
    NextAction a = impl_->head_action();
    return a.kind == NextAction::Send ? a.bytes : 0;
}

NextAction ScannerModel::wait_for_output(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        NextAction a = next_action();
        if (a.kind != NextAction::Wait && a.kind != NextAction::Idle) return a;
        const auto now = Clock::now();
        if (now >= deadline) return a;
        auto step = std::chrono::milliseconds(2);
        if (a.kind == NextAction::Wait) step = std::max(std::chrono::milliseconds(1), std::min(a.wait, step * 10));
        std::this_thread::sleep_for(std::min<Clock::duration>(step, deadline - now));
    }
}

std::vector<RecordedCommand> ScannerModel::commands() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->commands;
}

std::vector<SentBand> ScannerModel::take_sent_bands() {
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->sent_bands, {});
}

void ScannerModel::clear_commands() {
    std::lock_guard lock(impl_->mutex);
    impl_->commands.clear();
}

bool ScannerModel::locked() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->locked;
}

int ScannerModel::sheets_left() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->sheets;
}

int ScannerModel::pages_started() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pages_started;
}

int ScannerModel::connections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

}  // namespace orvela_sim
