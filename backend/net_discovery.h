// Network discovery: one SNMPv1 GetRequest (sysName, sysObjectID, the IEEE
// 1284 device ID and the serial number) broadcast to UDP port 161 of every
// broadcast-capable IPv4 interface (or to 255.255.255.255 when there is none),
// then the answers collected until the network has been quiet for 5 s. Each
// address whose sysObjectID names one of the maker's models (or carries one of
// its brand prefixes) becomes one IOTYPE_NET device record.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "core/scan/orvela_types.h"

extern "C" {

// Finds the network scanners; stores a malloc'ed array through scannerList
// (null when none was found) and returns the count. The caller frees it.
int Net_FindScanner(ORVELA_Scanner** scannerList);

// Asks one address for its IEEE 1284 device ID; true when one was read into
// device1284Id (cut to size - 1 characters and terminated).
bool getSNMP1284DeviceId(const char* address, char* device1284Id, size_t size);

}  // extern "C"

// The value of `key` in an IEEE 1284 device ID ("KEY:value;..."), as a
// zero-filled 512-byte heap buffer that the caller frees; null when the key
// is absent.
char* GetValueFrom1284DeviceID(const char* device1284String, const char* key);
// True when a listed record carries the same address (first 64 characters).
bool ExistDevice(ORVELA_Scanner device, const ORVELA_Scanner* deviceList, int deviceListCount);

namespace net_discovery {

constexpr int kSnmpPort = 161;
constexpr int kScannerDataPort = 53010;
constexpr const char* kBrandOid = "1.3.6.1.4.1.93501";       // the maker's enterprise prefix
constexpr const char* kBrandImageOid = "1.3.6.1.4.1.2021";   // the imaging line's prefix

// Examines one answer from `sender`: true, with `record` filled, when it is an
// error-free GetResponse carrying the four values and its sysObjectID is one
// of the maker's.
bool answer_to_record(const uint8_t* datagram, int length, const sockaddr_in& sender, ORVELA_Scanner* record);

// Sends the priming datagram and the request three times to `destination`,
// port 161, with the pauses between them; true when one request went out.
bool send_discovery_burst(int sock, const sockaddr_in& destination, const uint8_t* request, size_t requestLength);

// Asks one address directly with the discovery request and accepts the answer
// under the same rules as a broadcast answer; true with `record` filled when
// the address is one of the maker's scanners. Waits at most timeoutSeconds.
bool probe_address(const char* address, ORVELA_Scanner* record, int timeoutSeconds);

}  // namespace net_discovery
