#include "backend/trace_session.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "backend/io_clock.h"

namespace wire_trace {
namespace {

constexpr uint8_t kCmdHead = 0x53;
constexpr size_t kRecordSize = 8;
constexpr size_t kScanParametersSize = 168;
constexpr size_t kHexPerLine = 64;  // bytes of one hex line

// Two lower-case digits per byte value, looked up rather than computed: a
// page's bands are most of a trace.
constexpr std::array<char, 512> make_hex_table() {
    std::array<char, 512> table{};
    constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
        table[2 * i] = kDigits[i >> 4];
        table[2 * i + 1] = kDigits[i & 15];
    }
    return table;
}
constexpr std::array<char, 512> kHexTable = make_hex_table();

char* put_hex(char* at, const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        memcpy(at, &kHexTable[2 * size_t{bytes[i]}], 2);
        at += 2;
    }
    return at;
}

uint32_t le32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

const char* command_name(uint8_t id) {
    switch (id) {
    case 0x6C: return "lock";
    case 0x75: return "unlock";
    case 0x66: return "feeder-status";
    case 0x61: return "abort";
    default: return "unknown";
    }
}

// Offsets in the scan-parameters command: 8 bytes of command head, then the
// parameter block, little-endian. The transports sit below the protocol and
// do not see its records; the trace's tests encode a block with the
// protocol's own encoder, so these cannot drift from it unnoticed.
constexpr size_t kSource = 8 + 0;
constexpr size_t kDataType = 8 + 72;
constexpr size_t kXResolution = 8 + 88;
constexpr size_t kYResolution = 8 + 92;
constexpr size_t kXPosition = 8 + 96;
constexpr size_t kYPosition = 8 + 100;
constexpr size_t kXExtent = 8 + 104;
constexpr size_t kYExtent = 8 + 108;

void describe_parameters(const uint8_t* c, char* out, size_t size) {
    const uint32_t type = le32(c + kDataType);
    const uint32_t source = le32(c + kSource);
    char mode[24];
    if (type == 4) snprintf(mode, sizeof mode, "colour");
    else if (type == 2) snprintf(mode, sizeof mode, "grey");
    else snprintf(mode, sizeof mode, "data type %u", static_cast<unsigned>(type));
    snprintf(out, size, "%ux%u dpi %s, %s, x %u y %u, %ux%u", static_cast<unsigned>(le32(c + kXResolution)),
             static_cast<unsigned>(le32(c + kYResolution)), mode,
             source == 0 ? "flatbed" : source == 1 ? "feeder" : "automatic",
             static_cast<unsigned>(le32(c + kXPosition)), static_cast<unsigned>(le32(c + kYPosition)),
             static_cast<unsigned>(le32(c + kXExtent)), static_cast<unsigned>(le32(c + kYExtent)));
}

}  // namespace

void TraceSession::restart() {
    start_ms_ = orvela_io::now_ms();
    time_set_ = false;
    expect_ = Expect::Stream;
    band_left_ = 0;
    header_have_ = 0;
}

void TraceSession::text(const char* s) { out_.put(s); }

void TraceSession::number(uint64_t value) {
    char digits[24];
    size_t n = 0;
    do {
        digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out_.put(digits + sizeof digits - n, n);
}

void TraceSession::begin(char direction, const char* name) {
    int64_t ms = (time_set_ ? time_ms_ : orvela_io::now_ms()) - start_ms_;
    if (ms < 0) ms = 0;
    out_.put("+", 1);
    number(static_cast<uint64_t>(ms / 1000));
    const char fraction[6] = {'.', static_cast<char>('0' + ms % 1000 / 100), static_cast<char>('0' + ms % 100 / 10),
                              static_cast<char>('0' + ms % 10), ' ', direction};
    out_.put(fraction, sizeof fraction);
    out_.put(" ", 1);
    text(name);
}

void TraceSession::end_line() { out_.put("\n", 1); }

void TraceSession::hex(const uint8_t* bytes, size_t size) {
    char* room = out_.reserve(2 * size);
    if (room == nullptr) return;
    put_hex(room, bytes, size);
    out_.commit(2 * size);
}

void TraceSession::continuation(const uint8_t* bytes, size_t size) {
    while (size > 0) {
        const size_t piece = size < kHexPerLine ? size : kHexPerLine;
        char* room = out_.reserve(2 * kHexPerLine + 3);
        if (room == nullptr) return;
        room[0] = ' ';
        room[1] = ' ';
        char* end = put_hex(room + 2, bytes, piece);
        *end++ = '\n';
        out_.commit(static_cast<size_t>(end - room));
        bytes += piece;
        size -= piece;
    }
}

void TraceSession::hex_event_end(const uint8_t* bytes, size_t size, const char* comment) {
    const size_t first = size < kHexPerLine ? size : kHexPerLine;
    if (first > 0) {
        out_.put(" ", 1);
        hex(bytes, first);
    }
    if (comment != nullptr) {
        out_.put(" # ", 3);
        text(comment);
    }
    end_line();
    continuation(bytes + first, size - first);
}

void TraceSession::timeout(size_t asked, size_t got) {
    begin('<', "timeout ");
    number(asked);
    out_.put(" ", 1);
    number(got);
    end_line();
}

void TraceSession::comment(const char* s) {
    out_.put("# ", 2);
    text(s);
    end_line();
}

void TraceSession::opened(const char* args, bool ok) {
    begin('=', ok ? "open " : "open-failed ");
    text(args);
    end_line();
}

void TraceSession::closed() {
    begin('=', "close");
    end_line();
}

void TraceSession::command(const uint8_t* bytes, size_t size) {
    char note[96];
    const char* comment = nullptr;
    const char* name = "unknown";
    if (size == kScanParametersSize && bytes[1] == 0x69) {
        name = "scan-parameters";
        describe_parameters(bytes, note, sizeof note);
        comment = note;
    } else if (size == kRecordSize) {
        name = command_name(bytes[1]);
    }
    if (strcmp(name, "unknown") == 0) {
        snprintf(note, sizeof note, "id 0x%02x", bytes[1]);
        comment = note;
    }
    begin('>', "cmd ");
    text(name);
    hex_event_end(bytes, size, comment);
    if (bytes[1] == 0x61 && size == kRecordSize) {
        // The drain after an abort goes on from wherever the page stopped.
        expect_ = Expect::Stream;
    } else {
        expect_ = Expect::Reply;
        band_left_ = 0;
        header_have_ = 0;
    }
}

void TraceSession::wrote(const void* data, size_t size, size_t moved) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (moved != size || bytes == nullptr) {
        begin('>', "write-failed ");
        number(size);
        out_.put(" # ", 3);
        number(moved);
        text(" of them sent");
        end_line();
        return;
    }
    if ((size == kRecordSize || size == kScanParametersSize) && bytes[0] == kCmdHead) {
        command(bytes, size);
        return;
    }
    begin('>', "write");
    hex_event_end(bytes, size, nullptr);
}

void TraceSession::page_header(const uint8_t* h, bool whole) {
    char note[48];
    const uint32_t size = le32(h + 4);
    if (h[0] == 0x64) {
        band_left_ = size;
        if (!whole) return;
        begin('<', "band ");
        number(size);
        hex_event_end(h, kRecordSize, nullptr);
    } else if (h[0] == 0x73) {
        if (!whole) return;
        snprintf(note, sizeof note, "flag %u feeder %u", h[1], h[2]);
        begin('<', "page-end");
        hex_event_end(h, kRecordSize, note);
    } else if (whole) {
        begin('<', "header");
        hex_event_end(h, kRecordSize, nullptr);
    }
}

void TraceSession::stream_bytes(const uint8_t* bytes, size_t size) {
    while (size > 0) {
        if (band_left_ > 0) {
            const size_t piece = size < band_left_ ? size : static_cast<size_t>(band_left_);
            begin('<', "data ");
            number(piece);
            end_line();
            continuation(bytes, piece);
            band_left_ -= piece;
            bytes += piece;
            size -= piece;
        } else if (header_have_ == 0 && size >= kRecordSize) {
            page_header(bytes, true);
            bytes += kRecordSize;
            size -= kRecordSize;
        } else {
            // A header that comes in pieces: each piece as it came, the
            // header read once it is whole so that its band is known.
            const size_t piece = size < kRecordSize - header_have_ ? size : kRecordSize - header_have_;
            begin('<', "read ");
            number(piece);
            hex_event_end(bytes, piece, nullptr);
            memcpy(header_ + header_have_, bytes, piece);
            header_have_ += piece;
            if (header_have_ == kRecordSize) {
                header_have_ = 0;
                page_header(header_, false);
            }
            bytes += piece;
            size -= piece;
        }
    }
}

void TraceSession::read(const void* data, size_t asked, size_t got) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (got > asked) got = 0;  // a negative result seen through size_t: nothing came
    if (got > 0 && bytes != nullptr) {
        if (expect_ == Expect::Reply && got == kRecordSize) {
            char note[64];
            snprintf(note, sizeof note, "status %u feeder %u warm-up %u", bytes[1], bytes[2], bytes[3]);
            begin('<', "status");
            hex_event_end(bytes, got, note);
            expect_ = Expect::Stream;
        } else if (expect_ == Expect::Reply) {
            begin('<', "read ");
            number(got);
            hex_event_end(bytes, got, nullptr);
        } else {
            stream_bytes(bytes, got);
        }
    }
    if (got < asked) timeout(asked, got);
}

void TraceSession::control_wrote(const void* data, size_t size, size_t moved) {
    if (moved != size || data == nullptr) {
        begin('>', "write-failed ");
        number(size);
        out_.put(" # control", 10);
        end_line();
        return;
    }
    begin('>', "control");
    hex_event_end(static_cast<const uint8_t*>(data), size, nullptr);
}

void TraceSession::control_read(const void* data, size_t asked, size_t got) {
    if (got > asked) got = 0;
    if (got > 0 && data != nullptr) {
        begin('<', "control");
        hex_event_end(static_cast<const uint8_t*>(data), got, nullptr);
    }
    if (got < asked) timeout(asked, got);
}

void TraceSession::snmp(bool sent, const char* peer, const void* data, size_t size) {
    begin(sent ? '>' : '<', "snmp ");
    text(peer);
    hex_event_end(static_cast<const uint8_t*>(data), size, nullptr);
}

}  // namespace wire_trace
