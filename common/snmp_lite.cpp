#include "common/snmp_lite.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// Messages are built backwards: from the last element of the last variable
// binding towards the outer message header, so that the length of every
// element is known when its header is written (it is the number of bytes
// written since the element began). Every piece is written in reverse byte
// order and the whole buffer is reversed once at the end; no length is
// computed in advance and no temporary buffer is needed.

char* gOutputMark = nullptr;

namespace {

// The community of every request.
constexpr UINT8 kCommunity[] = {'r', 'd', 'c', 'o', 'm', 'm'};

constexpr size_t kMaxLength = 0x7FFFFFFF;

// Bytes written towards the end of a caller's buffer, refusing to go past its
// capacity. Once a byte did not fit, the build is spoilt and gives 0.
class BackWriter {
public:
    BackWriter(UINT8* output, size_t capacity) : out_(output), capacity_(capacity) {}

    void put(UINT8 byte) {
        if (pos_ >= capacity_) {
            overflow_ = true;
            return;
        }
        out_[pos_++] = byte;
    }
    size_t pos() const { return pos_; }
    bool overflow() const { return overflow_; }
    UINT8* data() { return out_; }

private:
    UINT8* out_;
    size_t capacity_;
    size_t pos_ = 0;
    bool overflow_ = false;
};

void reverseBytes(UINT8* data, size_t length) {
    if (length < 2) return;
    for (size_t i = 0, j = length - 1; i < j; ++i, --j) {
        const UINT8 t = data[i];
        data[i] = data[j];
        data[j] = t;
    }
}

// A minimal two's-complement integer, low byte first.
void appendBase256(BackWriter& w, INT32 value) {
    INT32 rest = value;
    UINT8 last = 0;
    do {
        last = static_cast<UINT8>(rest & 0xFF);
        w.put(last);
        rest >>= 8;  // arithmetic: a negative value stays negative
    } while (rest != 0 && rest != -1);
    if (rest == 0 && (last & 0x80) != 0) w.put(0x00);
    if (rest == -1 && (last & 0x80) == 0) w.put(0xFF);
}

// One sub-identifier, most significant group first once the buffer is
// reversed: the groups are produced low first, reversed into normal order, and
// the caller reverses the whole OID content again.
void appendBase128(BackWriter& w, UINT32 value) {
    const size_t start = w.pos();
    w.put(static_cast<UINT8>(value & 0x7F));
    for (value >>= 7; value != 0; value >>= 7) w.put(static_cast<UINT8>(0x80 | (value & 0x7F)));
    if (!w.overflow()) reverseBytes(w.data() + start, w.pos() - start);
}

// Short form up to 127, else 0x80 + byte count and the bytes; reversed.
void appendLength(BackWriter& w, size_t length) {
    if (length < 0x80) {
        w.put(static_cast<UINT8>(length));
        return;
    }
    UINT8 count = 0;
    for (size_t rest = length; rest != 0; rest >>= 8) {
        w.put(static_cast<UINT8>(rest & 0xFF));
        ++count;
    }
    w.put(static_cast<UINT8>(0x80 | count));
}

void appendString(BackWriter& w, const UINT8* bytes, size_t length) {
    for (size_t i = length; i-- > 0;) w.put(bytes[i]);
}

// The OID content of dotted decimal text. Every character other than '.'
// counts as a decimal digit; the first two arcs make one sub-identifier
// (40 x first + second). Returns the content length.
size_t appendObjectID(BackWriter& w, const char* text) {
    const size_t start = w.pos();
    UINT32 value = 0;
    UINT32 first = 0;
    int arc = 0;
    auto endArc = [&](UINT32 v) {
        if (arc == 0)
            first = v;
        else if (arc == 1)
            appendBase128(w, 40u * first + v);
        else
            appendBase128(w, v);
        ++arc;
    };
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '.') {
            endArc(value);
            value = 0;
        } else {
            value = value * 10u + static_cast<UINT32>(static_cast<unsigned char>(*c)) - '0';
        }
    }
    endArc(value);
    if (arc == 1) appendBase128(w, 40u * first);  // a single arc, or the empty text
    if (!w.overflow()) reverseBytes(w.data() + start, w.pos() - start);
    return w.pos() - start;
}

void appendItemInteger(BackWriter& w, INT32 value) {
    const size_t start = w.pos();
    appendBase256(w, value);
    appendLength(w, w.pos() - start);
    w.put(SNMPTypeInteger);
}

void appendItemNull(BackWriter& w) {
    w.put(0x00);
    w.put(SNMPTypeNull);
}

void appendItemString(BackWriter& w, const UINT8* bytes, size_t length) {
    appendString(w, bytes, length);
    appendLength(w, length);
    w.put(SNMPTypeString);
}

void appendItemObjectID(BackWriter& w, const char* text) {
    appendLength(w, appendObjectID(w, text));
    w.put(SNMPTypeObjectID);
}

// Header of a container whose content is everything written since `start`.
void appendItemSequence(BackWriter& w, UINT8 tag, size_t start) {
    appendLength(w, w.pos() - start);
    w.put(tag);
}

// ---------------------------------------------------------------------------
// Reading

// A read position and the end of the bytes it may read.
struct Cursor {
    const UINT8* p;
    const UINT8* end;
    size_t left() const { return static_cast<size_t>(end - p); }
};

bool readHeader(Cursor& c, int* type, size_t* length) {
    const size_t n = snmp_lite::parseItem(c.p, c.left(), type, length);
    if (n == 0) return false;
    c.p += n;
    return true;
}

// A header with the given tag; its content lies within the cursor's bytes.
bool expectHeader(Cursor& c, int tag, size_t* length) {
    int type = 0;
    return readHeader(c, &type, length) && type == tag;
}

bool skip(Cursor& c, size_t n) {
    if (n > c.left()) return false;
    c.p += n;
    return true;
}

// Signed big-endian content of 1 to 4 bytes.
bool parseBase256(const UINT8* input, size_t length, INT32* output) {
    if (length == 0 || length > 4) return false;
    UINT32 v = (input[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (size_t i = 0; i < length; ++i) v = (v << 8) | input[i];
    *output = static_cast<INT32>(v);
    return true;
}

// Unsigned big-endian content that fits in 32 bits (leading zero bytes allowed).
bool parseBase256Unsigned(const UINT8* input, size_t length, UINT32* output) {
    if (length == 0) return false;
    UINT32 v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (v > 0x00FFFFFFu) return false;
        v = (v << 8) | input[i];
    }
    *output = v;
    return true;
}

// An INTEGER item whose value must be `expected`.
bool expectInteger(Cursor& c, INT32 expected) {
    size_t length = 0;
    INT32 value = 0;
    if (!expectHeader(c, SNMPTypeInteger, &length)) return false;
    if (!parseBase256(c.p, length, &value) || value != expected) return false;
    c.p += length;
    return true;
}

// One sub-identifier from input[*pos]; false when it is cut off or wider than
// 32 bits.
bool parseBase128(const UINT8* input, size_t length, size_t* pos, UINT32* output) {
    UINT32 v = 0;
    UINT8 byte = 0;
    do {
        if (*pos >= length) return false;
        byte = input[(*pos)++];
        if (v > (0xFFFFFFFFu >> 7)) return false;
        v = (v << 7) | (byte & 0x7F);
    } while (byte & 0x80);
    *output = v;
    return true;
}

struct Binding {
    const UINT8* oid = nullptr;
    size_t oidLength = 0;
    int valueType = 0;
    const UINT8* value = nullptr;
    size_t valueLength = 0;
};

// One variable binding: a sequence of an OBJECT IDENTIFIER and a value.
bool parseBinding(Cursor& c, Binding* binding) {
    size_t length = 0;
    if (!expectHeader(c, SNMPTypeSequence, &length)) return false;
    Cursor inner{c.p, c.p + length};
    c.p += length;
    if (!expectHeader(inner, SNMPTypeObjectID, &binding->oidLength)) return false;
    binding->oid = inner.p;
    inner.p += binding->oidLength;
    if (!readHeader(inner, &binding->valueType, &binding->valueLength)) return false;
    binding->value = inner.p;
    return true;
}

// The walk shared by both readers: an SNMPv1 GetResponse without error and
// its binding `index`. Every container narrows the readable end to its own
// content, so nothing is read past the message, the PDU or the binding list.
bool walkResponse(const UINT8* data, INT32 len, INT32 index, INT32* requestID, Binding* binding) {
    if (data == nullptr || len <= 0 || index < 0) return false;
    Cursor c{data, data + len};
    size_t length = 0;

    if (!expectHeader(c, SNMPTypeSequence, &length)) return false;
    c.end = c.p + length;
    if (!expectInteger(c, 0)) return false;  // version 1

    int type = 0;
    if (!readHeader(c, &type, &length) || !skip(c, length)) return false;  // community

    if (!expectHeader(c, SNMPTypeGetResponse, &length)) return false;
    c.end = c.p + length;

    if (!expectHeader(c, SNMPTypeInteger, &length)) return false;
    INT32 id = 0;
    if (!parseBase256(c.p, length, &id)) return false;
    if (requestID != nullptr) *requestID = id;
    c.p += length;

    if (!expectInteger(c, 0) || !expectInteger(c, 0)) return false;  // error-status, error-index

    if (!expectHeader(c, SNMPTypeSequence, &length)) return false;
    c.end = c.p + length;

    for (INT32 i = 0; i < index; ++i) {
        Binding skipped;
        if (!parseBinding(c, &skipped)) return false;
        if (c.p >= c.end) return false;  // no binding after this one
    }
    return parseBinding(c, binding);
}

// ---------------------------------------------------------------------------
// Dumps

// End of the dump's text buffer (the last byte, kept for the terminating zero).
char* g_outputEnd = nullptr;

void put(const char* format, ...) __attribute__((format(printf, 1, 2)));
void put(const char* format, ...) {
    const size_t room = static_cast<size_t>(g_outputEnd - gOutputMark);
    if (room == 0) return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(gOutputMark, room + 1, format, args);
    va_end(args);
    if (n > 0) gOutputMark += (static_cast<size_t>(n) < room) ? static_cast<size_t>(n) : room;
}

bool startDump(char* output, size_t outputSize) {
    gOutputMark = output;
    if (output == nullptr || outputSize == 0) return false;
    g_outputEnd = output + outputSize - 1;
    *output = '\0';
    return true;
}

void indent(int depth) {
    for (int i = 0; i < depth; ++i) put("  ");
}

char printable(UINT8 byte) { return (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.'; }

// 16 bytes a line: 40 characters of hexadecimal in two-byte groups (an extra
// blank after the eighth byte), two blanks, 17 characters of text.
void printHexBuf(const UINT8* data, size_t length, int depth) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (size_t offset = 0; offset < length; offset += 16) {
        char hex[41];
        char text[18];
        memset(hex, ' ', 40);
        memset(text, ' ', 17);
        hex[40] = '\0';
        text[17] = '\0';
        for (size_t j = 0; j < 16 && offset + j < length; ++j) {
            const UINT8 byte = data[offset + j];
            const size_t at = (j / 2) * 5 + (j % 2) * 2 + (j >= 8 ? 1 : 0);
            hex[at] = kDigits[byte >> 4];
            hex[at + 1] = kDigits[byte & 0x0F];
            text[j + (j >= 8 ? 1 : 0)] = printable(byte);
        }
        indent(depth);
        put("%s  %s\n", hex, text);
    }
}

const char* containerName(int type) {
    switch (type) {
        case SNMPTypeSequence: return "Sequence";
        case SNMPTypeGetRequest: return "Get-Request";
        case SNMPTypeGetNextRequest: return "Get-Next-Request";
        case SNMPTypeGetResponse: return "Get-Response";
        case SNMPTypeSetRequest: return "Set-Request";
        case SNMPTypeTrap: return "Trap";
        default: return nullptr;
    }
}

const char* integerName(int type) {
    switch (type) {
        case SNMPTypeInteger: return "Integer";
        case SNMPTypeCounter: return "Counter";
        case SNMPTypeGauge: return "Gauge";
        case SNMPTypeTimeTicks: return "TimeTicks";
        default: return nullptr;
    }
}

// The dotted value of OID content, or "(malformed)".
void printObjectID(const UINT8* content, size_t size) {
    size_t pos = 0;
    UINT32 sub = 0;
    while (pos < size) {
        if (!parseBase128(content, size, &pos, &sub)) {
            put("(malformed)");
            return;
        }
    }
    pos = 0;
    if (size > 0 && parseBase128(content, size, &pos, &sub)) {
        if (sub < 80)
            put("%u.%u", sub / 40, sub % 40);
        else
            put("2.%u", sub - 80);
    }
    while (pos < size && parseBase128(content, size, &pos, &sub)) put(".%u", sub);
}

constexpr int kMaxDepth = 256;

void printPacket(const UINT8* data, size_t length) {
    const UINT8* ends[kMaxDepth];
    int depth = 0;
    const UINT8* p = data;
    const UINT8* const end = data + length;
    while (p < end) {
        while (depth > 0 && p >= ends[depth - 1]) {
            --depth;
            indent(depth);
            put("}\n");
        }
        const UINT8* limit = depth > 0 ? ends[depth - 1] : end;
        int type = 0;
        size_t size = 0;
        const size_t header = snmp_lite::parseItem(p, static_cast<size_t>(limit - p), &type, &size);
        if (header == 0) {
            indent(depth);
            put("malformed item, %zu bytes left\n", static_cast<size_t>(limit - p));
            printHexBuf(p, static_cast<size_t>(limit - p), depth + 1);
            break;
        }
        const UINT8* content = p + header;
        if (const char* name = containerName(type)) {
            indent(depth);
            put("%s {\n", name);
            if (depth == kMaxDepth) {
                indent(depth + 1);
                put("nesting too deep\n");
                break;
            }
            ends[depth++] = content + size;
            p = content;
            continue;
        }
        indent(depth);
        if (const char* name = integerName(type)) {
            UINT32 v = (size > 0 && (content[0] & 0x80)) ? 0xFFFFFFFFu : 0u;
            for (size_t i = 0; i < size; ++i) v = (v << 8) | content[i];
            put("%s (%d) = 0x%02x = %ld\n", name, static_cast<int>(size), v, static_cast<long>(static_cast<INT32>(v)));
        } else if (type == SNMPTypeString) {
            put("String = \"");
            for (size_t i = 0; i < size; ++i) put("%c", printable(content[i]));
            put("\"\n");
        } else if (type == SNMPTypeNull) {
            put("null\n");
        } else if (type == SNMPTypeObjectID) {
            put("ObjectID = %d: ", static_cast<int>(size));
            printObjectID(content, size);
            put("\n");
        } else {
            put("0x%x (%d)\n", static_cast<unsigned>(type), static_cast<int>(size));
            printHexBuf(content, size, depth + 1);
        }
        p = content + size;
    }
    while (depth > 0) {
        --depth;
        indent(depth);
        put("}\n");
    }
}

}  // namespace

namespace snmp_lite {

INT32 SNMPBuildPacketMulti(UINT8* output, int type, const char* const* properties, INT32 requestID,
                           size_t outputSize) {
    if (output == nullptr || properties == nullptr) return 0;
    BackWriter w(output, outputSize);

    size_t count = 0;
    while (properties[count] != nullptr) ++count;
    for (size_t i = count; i-- > 0;) {
        const size_t binding = w.pos();
        appendItemNull(w);
        appendItemObjectID(w, properties[i]);
        appendItemSequence(w, SNMPTypeSequence, binding);
    }
    appendItemSequence(w, SNMPTypeSequence, 0);  // variable-bindings
    appendItemInteger(w, 0);                      // error-index
    appendItemInteger(w, 0);                      // error-status
    appendItemInteger(w, requestID);
    appendItemSequence(w, static_cast<UINT8>(type), 0);
    appendItemString(w, kCommunity, sizeof kCommunity);
    appendItemInteger(w, 0);  // version 1
    appendItemSequence(w, SNMPTypeSequence, 0);

    if (w.overflow() || w.pos() > kMaxLength) return 0;
    reverseBytes(output, w.pos());
    return static_cast<INT32>(w.pos());
}

size_t parseItem(const UINT8* input, size_t available, int* type, size_t* dataSize) {
    if (input == nullptr || available == 0) return 0;
    size_t i = 0;
    int tag = input[i++];
    if ((tag & 0x1F) == 0x1F) {
        // Tag number in base-128 bytes.
        UINT32 number = 0;
        UINT8 byte = 0;
        do {
            if (i >= available) return 0;
            byte = input[i++];
            if (number > (kMaxLength >> 7)) return 0;
            number = (number << 7) | (byte & 0x7F);
        } while (byte & 0x80);
        tag = static_cast<int>(number);
    }
    if (i >= available) return 0;
    const UINT8 first = input[i++];
    size_t length = first;
    if (first == 0x80) return 0;  // indefinite length: never used by SNMP
    if (first > 0x80) {
        length = 0;
        for (int count = first - 0x80; count > 0; --count) {
            if (i >= available) return 0;
            if (length > (kMaxLength >> 8)) return 0;
            length = (length << 8) | input[i++];
        }
    }
    if (length > available - i) return 0;
    *type = tag;
    *dataSize = length;
    return i;
}

int parseObjectID(const UINT8* input, size_t length, char* output, size_t outputSize) {
    if (output == nullptr || outputSize == 0) return -1;
    output[0] = '\0';
    if (length == 0) return 0;
    if (input == nullptr) return -1;

    size_t pos = 0;
    size_t written = 0;
    auto append = [&](const char* format, unsigned a, unsigned b, bool two) {
        const size_t room = outputSize - written;
        const int n = two ? snprintf(output + written, room, format, a, b) : snprintf(output + written, room, format, a);
        if (n < 0 || static_cast<size_t>(n) >= room) return false;
        written += static_cast<size_t>(n);
        return true;
    };

    UINT32 sub = 0;
    bool ok = parseBase128(input, length, &pos, &sub);
    // The first sub-identifier holds two arcs: 40 x first + second, where the
    // first arc is 0, 1 or 2 and only arc 2 may have a second arc above 39.
    if (ok) ok = sub < 80 ? append("%u.%u", sub / 40, sub % 40, true) : append("%u.%u", 2, sub - 80, true);
    while (ok && pos < length) {
        ok = parseBase128(input, length, &pos, &sub) && append(".%u", sub, 0, false);
    }
    if (!ok) {
        output[0] = '\0';
        return -1;
    }
    return static_cast<int>(written);
}

}  // namespace snmp_lite

extern "C" {

INT32 SNMPBuildGetRequest(UINT8* output, const char* property, INT32 requestID, size_t outputSize) {
    const char* const properties[] = {property, nullptr};
    if (property == nullptr) return 0;
    return snmp_lite::SNMPBuildPacketMulti(output, SNMPTypeGetRequest, properties, requestID, outputSize);
}

INT32 SNMPBuildGetRequestMulti(UINT8* output, const char* const* properties, INT32 requestID, size_t outputSize) {
    return snmp_lite::SNMPBuildPacketMulti(output, SNMPTypeGetRequest, properties, requestID, outputSize);
}

INT32 SNMPBuildGetNextRequest(UINT8* output, const char* property, INT32 requestID, size_t outputSize) {
    const char* const properties[] = {property, nullptr};
    if (property == nullptr) return 0;
    return snmp_lite::SNMPBuildPacketMulti(output, SNMPTypeGetNextRequest, properties, requestID, outputSize);
}

INT32 SNMPBuildGetNextRequestMulti(UINT8* output, const char* const* properties, INT32 requestID,
                                   size_t outputSize) {
    return snmp_lite::SNMPBuildPacketMulti(output, SNMPTypeGetNextRequest, properties, requestID, outputSize);
}

INT32 SNMPResponseType(const UINT8* data, INT32 len, INT32 index, INT32* requestID, char* mibString,
                       size_t mibStringSize) {
    Binding binding;
    if (!walkResponse(data, len, index, requestID, &binding)) return SNMPTypeError;
    if (mibString != nullptr &&
        snmp_lite::parseObjectID(binding.oid, binding.oidLength, mibString, mibStringSize) < 0)
        return SNMPTypeError;
    return binding.valueType;
}

INT32 SNMPResponseData(const UINT8* data, INT32 len, INT32 index, void* output, size_t outputSize) {
    Binding binding;
    if (output == nullptr || !walkResponse(data, len, index, nullptr, &binding)) return -1;
    switch (binding.valueType) {
        case SNMPTypeString: {
            if (outputSize == 0) return -1;
            const size_t n = binding.valueLength < outputSize - 1 ? binding.valueLength : outputSize - 1;
            memcpy(output, binding.value, n);
            static_cast<char*>(output)[n] = '\0';
            return static_cast<INT32>(n);
        }
        case SNMPTypeObjectID:
            return snmp_lite::parseObjectID(binding.value, binding.valueLength, static_cast<char*>(output),
                                            outputSize);
        case SNMPTypeInteger:
        case SNMPTypeCounter:
        case SNMPTypeGauge:
        case SNMPTypeTimeTicks: {
            if (outputSize < sizeof(INT32)) return -1;
            INT32 value = -1;
            UINT32 unsignedValue = 0;
            if (binding.valueLength <= 4) {
                if (binding.valueLength > 0) parseBase256(binding.value, binding.valueLength, &value);
            } else if (binding.valueType != SNMPTypeInteger &&
                       parseBase256Unsigned(binding.value, binding.valueLength, &unsignedValue)) {
                // Counter, Gauge and TimeTicks are unsigned: 2^31 and above
                // need a leading zero byte. Their bits are handed on as INT32.
                value = static_cast<INT32>(unsignedValue);
            } else {
                return -1;  // wider than 32 bits
            }
            memcpy(output, &value, sizeof value);
            return value;
        }
        default:
            return -1;
    }
}

INT32 SNMPPrintBuffer(char* output, const UINT8* data, INT32 len, size_t outputSize) {
    if (!startDump(output, outputSize)) return 0;
    if (data != nullptr && len > 0) printHexBuf(data, static_cast<size_t>(len), 0);
    return static_cast<INT32>(gOutputMark - output);
}

INT32 SNMPPrintPacket(char* output, const UINT8* data, INT32 len, size_t outputSize) {
    if (!startDump(output, outputSize)) return 0;
    if (data != nullptr && len > 0) printPacket(data, static_cast<size_t>(len));
    return static_cast<INT32>(gOutputMark - output);
}

}  // extern "C"
