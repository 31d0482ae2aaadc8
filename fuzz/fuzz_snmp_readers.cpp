// libFuzzer target: arbitrary datagrams through the GetResponse readers and
// the packet dump, with output buffers of exact, input-chosen sizes on the
// heap so that any write past them is caught by AddressSanitizer. The first
// byte chooses the capacities; the rest is the datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/snmp_lite.h"

namespace {

// A heap block of exactly `size` bytes (at least one, so malloc(0) is avoided
// while a zero capacity is still passed on).
struct Block {
    explicit Block(size_t size) : data(static_cast<char*>(malloc(size ? size : 1))) {}
    ~Block() { free(data); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    char* data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    const size_t textSize = input[0] & 0x3F;           // 0..63: cut strings and OIDs
    const size_t valueSize = (input[0] >> 6) * 2;      // 0, 2, 4, 6: integers need 4
    // The datagram is copied to a block of its own size: reads past it are caught.
    const size_t len = size - 1;
    Block datagram(len);
    if (len) memcpy(datagram.data, input + 1, len);
    const UINT8* data = reinterpret_cast<const UINT8*>(datagram.data);

    for (INT32 index = 0; index < 6; ++index) {
        Block text(textSize);
        Block mib(textSize);
        INT32 requestId = 0;
        SNMPResponseType(data, static_cast<INT32>(len), index, &requestId, mib.data, textSize);
        const INT32 type = SNMPResponseType(data, static_cast<INT32>(len), index, nullptr, nullptr, 0);
        const INT32 n = SNMPResponseData(data, static_cast<INT32>(len), index, text.data, textSize);
        if (type == SNMPTypeString || type == SNMPTypeObjectID) {
            // A text result is a count that fits the buffer, terminated.
            if (n >= 0 && (static_cast<size_t>(n) >= textSize || text.data[n] != '\0')) abort();
        }
        if (type == -1 && n != -1) abort();  // both readers walk the message alike
        Block value(valueSize);
        SNMPResponseData(data, static_cast<INT32>(len), index, value.data, valueSize);
    }

    // The dumps: a small buffer cuts them, a large one takes everything.
    const size_t dumpSize = 1 + textSize * 8;
    Block dump(dumpSize);
    const INT32 written = SNMPPrintPacket(dump.data, data, static_cast<INT32>(len), dumpSize);
    if (written < 0 || static_cast<size_t>(written) >= dumpSize || strlen(dump.data) != static_cast<size_t>(written))
        abort();
    SNMPPrintBuffer(dump.data, data, static_cast<INT32>(len), dumpSize);

    // The same bytes as OID text through the builder, into a tight buffer.
    Block oid(len + 1);
    memcpy(oid.data, data, len);
    oid.data[len] = '\0';
    Block request(textSize * 4);
    SNMPBuildGetRequest(reinterpret_cast<UINT8*>(request.data), oid.data, static_cast<INT32>(len), textSize * 4);
    return 0;
}
