// A small, allocation-free SNMP version 1 codec: builds GetRequest and
// GetNextRequest messages for a list of object identifiers, checks a
// GetResponse and picks one variable binding's value out of it by position,
// and renders buffers and messages as text for diagnostics. It knows nothing
// about sockets: callers hand it byte buffers.
//
// Every function takes the capacity of the buffer it writes into and never
// writes past it; the readers never read past `data` + `len`.
//
// Do not include this header together with <jpeglib.h>: libjpeg defines INT32
// as long, this codec as a 32-bit int.
#pragma once

#include <cstddef>
#include <cstdint>

typedef unsigned char UINT8;
typedef uint32_t UINT32;
typedef int32_t INT32;

// The values are the BER tag bytes.
enum {
    SNMPTypeError = -1,
    SNMPTypeInteger = 2,
    SNMPTypeString = 4,
    SNMPTypeNull = 5,
    SNMPTypeObjectID = 6,
    SNMPTypeSequence = 48,
    SNMPTypeCounter = 65,
    SNMPTypeGauge = 66,
    SNMPTypeTimeTicks = 67,
    SNMPTypeGetRequest = 160,
    SNMPTypeGetNextRequest = 161,
    SNMPTypeGetResponse = 162,
    SNMPTypeSetRequest = 163,
    SNMPTypeTrap = 164,
};

extern "C" {

// Write position of the two dump routines (they are not re-entrant).
extern char* gOutputMark;

// Builders. `property` is one object identifier as dotted decimal text
// ("1.3.6.1.2.1.1.5.0"); `properties` is a list of them ended by a null
// pointer. The message (community "rdcomm", version 0) is written to
// `output`; the result is its length in bytes, or 0 when it would not fit in
// `outputSize` bytes or an argument is null.
INT32 SNMPBuildGetRequest(UINT8* output, const char* property, INT32 requestID, size_t outputSize);
INT32 SNMPBuildGetRequestMulti(UINT8* output, const char* const* properties, INT32 requestID, size_t outputSize);
INT32 SNMPBuildGetNextRequest(UINT8* output, const char* property, INT32 requestID, size_t outputSize);
INT32 SNMPBuildGetNextRequestMulti(UINT8* output, const char* const* properties, INT32 requestID,
                                   size_t outputSize);

// Readers of an SNMPv1 GetResponse without error; `index` counts the variable
// bindings from 0 in message order. Both give -1 for anything else.
//
// SNMPResponseType: the tag of binding `index`'s value (4, 6, 2, 5, ...). The
// request-id is stored through `requestID` when it is not null; the binding's
// object identifier is written as dotted text into `mibString` when it is not
// null (-1 when it does not fit in `mibStringSize` bytes).
INT32 SNMPResponseType(const UINT8* data, INT32 len, INT32 index, INT32* requestID, char* mibString,
                       size_t mibStringSize);

// SNMPResponseData: converts binding `index`'s value into `output`:
//   OCTET STRING  the bytes and a terminating zero, cut to outputSize - 1
//                 bytes; result: the number of bytes copied (the value may
//                 hold zero bytes of its own)
//   OBJECT ID     dotted text, zero-terminated; result: the text length
//                 (-1 when it does not fit)
//   INTEGER, Counter, Gauge, TimeTicks
//                 an INT32 (outputSize >= 4); result: that integer
//   anything else -1, nothing written
INT32 SNMPResponseData(const UINT8* data, INT32 len, INT32 index, void* output, size_t outputSize);

// Dumps into a text buffer of `outputSize` bytes (cut to fit, always
// zero-terminated); the result is the number of characters written.
// SNMPPrintBuffer: 16 bytes per line, hexadecimal and printable characters.
INT32 SNMPPrintBuffer(char* output, const UINT8* data, INT32 len, size_t outputSize);
// SNMPPrintPacket: the message as an indented tree of its BER items.
INT32 SNMPPrintPacket(char* output, const UINT8* data, INT32 len, size_t outputSize);

}  // extern "C"

// Internal pieces, visible for the tests.
namespace snmp_lite {

// The one builder behind the four entries; `type` is the PDU tag.
INT32 SNMPBuildPacketMulti(UINT8* output, int type, const char* const* properties, INT32 requestID,
                           size_t outputSize);

// One BER header at `input` (at most `available` bytes): the tag into `type`
// (the whole first byte, or the tag number of a multi-byte tag) and the
// content length into `dataSize`. The result is the number of header bytes,
// or 0 when the header is cut off, uses the indefinite length form, has a
// length or tag number beyond 31 bits, or declares more content than the
// `available` bytes after the header hold.
size_t parseItem(const UINT8* input, size_t available, int* type, size_t* dataSize);

// OBJECT IDENTIFIER content to dotted text in `output` (`outputSize` bytes,
// zero-terminated). The result is the text length, or -1 when the content is
// malformed (a sub-identifier cut off or wider than 32 bits) or the text does
// not fit. Empty content gives the empty text and 0.
int parseObjectID(const UINT8* input, size_t length, char* output, size_t outputSize);

}  // namespace snmp_lite
