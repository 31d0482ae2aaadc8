#include "protocol/wire_format.h"

#include <algorithm>
#include <type_traits>

namespace orvela_wire {
namespace {

// Every field of the parameter block, in order.
#define ORVELA_SCANINFO_FIELDS(X)                                                                              \
    X(nScanSrc) X(nTPA) X(nEndorser) X(nYear) X(nMonth) X(nDay) X(nHour) X(nMinute) X(nTimeZone) X(nBedWidth) \
    X(nBedHeight) X(nIntensityMin) X(nIntensityMax) X(nIntensityStep) X(nContrastMin) X(nContrastMax)         \
    X(nContrastStep) X(nSupportedCompressionType) X(nSupportedDataTypes) X(nWidthInPixels) X(nWidthInBytes)    \
    X(nLines) X(nDataType) X(nBitsPerPixel) X(nIntensity) X(nContrast) X(nXResolution) X(nYResoultion)        \
    X(nXPosition) X(nYPosition) X(nXExtent) X(nYExtent) X(nDitherPattern) X(nNegative) X(nMirror) X(nAutoback) \
    X(nColorDitherPattern) X(nToneMap) X(nCompression) X(nRawDataFormat) X(nRawPixelOrder)                    \
    X(nNeedDataAlignment) X(nDelayBetweenRead) X(nMaximumBufferSize)

#define ORVELA_FIELD_SIZE(field) +sizeof(SCANINFO::field)
static_assert(0 ORVELA_SCANINFO_FIELDS(ORVELA_FIELD_SIZE) == kScanInfoSize,
              "every byte of the parameter block belongs to one listed field");
#undef ORVELA_FIELD_SIZE

// value's bytes, least significant first.
template <typename T>
void put_le(uint8_t* out, T value) {
    const auto v = static_cast<std::make_unsigned_t<T>>(value);
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

}  // namespace

std::array<uint8_t, kScanInfoSize> encode_scan_info(const SCANINFO& info) {
    std::array<uint8_t, kScanInfoSize> out{};
#define ORVELA_PUT_FIELD(field) put_le(out.data() + offsetof(SCANINFO, field), info.field);
    ORVELA_SCANINFO_FIELDS(ORVELA_PUT_FIELD)
#undef ORVELA_PUT_FIELD
    return out;
}

std::array<uint8_t, kScanInfoCommandSize> encode_scan_info_command(uint8_t head, uint8_t id, const SCANINFO& info) {
    std::array<uint8_t, kScanInfoCommandSize> out{};
    out[0] = head;
    out[1] = id;  // the reserved bytes and the data length stay 0
    const std::array<uint8_t, kScanInfoSize> block = encode_scan_info(info);
    std::copy(block.begin(), block.end(), out.begin() + 8);
    return out;
}

ScanDataRsp decode_page_header(const uint8_t* bytes) {
    ScanDataRsp header{};
    header.cmdID = bytes[0];
    header.flag = bytes[1];
    header.adfStatus = bytes[2];
    header.reserved = bytes[3];
    header.dataSize = get_le32(bytes + 4);
    return header;
}

}  // namespace orvela_wire
