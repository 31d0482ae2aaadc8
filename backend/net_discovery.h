// Network discovery: one SNMPv1 GetRequest (sysName, sysObjectID, the IEEE
// 1284 device ID and the serial number) broadcast to UDP port 161 of every
// broadcast-capable IPv4 interface (or to 255.255.255.255 when there is none)
// and sent directly to the addresses that orvela.conf lists, then the answers
// collected until the network has been quiet for 5 s (the search itself is
// in net_search.h). Each address whose sysObjectID names one of the maker's
// models (or carries one of its brand prefixes) becomes one IOTYPE_NET device
// record.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "common/orvela_types.h"

extern "C" {

// Finds the network scanners as orvela.conf asks (broadcast on or off, the
// quiet time, the listed addresses); stores a malloc'ed array through
// scannerList (null when none was found) and returns the count. The caller
// frees it.
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

// Examines one answer from `sender`: true, with `record` filled, when it is an
// error-free GetResponse carrying the four values and its sysObjectID is one
// of the maker's (a model row's, or one under a brand prefix of
// scanner_description.h).
bool answer_to_record(const uint8_t* datagram, int length, const sockaddr_in& sender, ORVELA_Scanner* record);

// A serial number that tells devices apart: not empty and not a factory
// placeholder made of one repeated character ("0000000000", blanks).
bool is_distinct_serial(const char* serial);

// A device on two of the host's subnets answers the broadcast once through
// each, from two addresses: true when `list` holds a record with the same
// distinct serial number and the same names.
bool is_listed_elsewhere(const ORVELA_Scanner& device, const ORVELA_Scanner* list, int count);

// The record of a scanner known from the model listed with its address
// alone: vendor and model from model table row `row` (a valid index), no
// serial number, named "socket://" and the dotted address.
void model_record(in_addr address, int row, ORVELA_Scanner* record);

// True, with `record` filled by model_record, when orvela.conf lists `name`
// (an address or host name), or a name of the same IPv4 address, with a model.
bool listed_with_model(const char* name, ORVELA_Scanner* record);

// Asks one address (IPv4 or a host name, resolved now) directly with the
// discovery request, resent every second, and accepts the answer under the
// same rules as a broadcast answer; true with `record` filled when the
// address is one of the maker's scanners. Waits at most timeoutSeconds.
bool probe_address(const char* address, ORVELA_Scanner* record, int timeoutSeconds);

}  // namespace net_discovery
