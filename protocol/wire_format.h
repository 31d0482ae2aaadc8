// The scanner's records as bytes on the wire: every multi-byte field is
// little-endian whatever the host's byte order, so a big-endian host sends
// and reads the same bytes. The exported record types (SCANINFO,
// ScanDataRsp...) stay plain host values for callers; only these functions
// turn them into bytes and back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/scan_param.h"
#include "protocol/scanner.h"

namespace orvela_wire {

constexpr size_t kScanInfoSize = 160;
constexpr size_t kScanInfoCommandSize = 8 + kScanInfoSize;
constexpr size_t kRecordSize = 8;  // commands, replies and page-stream headers

// The 160-byte scan parameter block.
std::array<uint8_t, kScanInfoSize> encode_scan_info(const SCANINFO& info);
// The scan-parameters command: head, identifier, two reserved bytes, the
// data length (sent as 0), then the block.
std::array<uint8_t, kScanInfoCommandSize> encode_scan_info_command(uint8_t head, uint8_t id, const SCANINFO& info);
// An 8-byte page-stream header.
ScanDataRsp decode_page_header(const uint8_t* bytes);

}  // namespace orvela_wire
