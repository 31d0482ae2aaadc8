// Builds SNMPv1 GetResponse messages as a scanner's agent (or a foreign one)
// would send them, for tests of discovery.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One BER element: tag, definite length (the shortest form), content.
Bytes ber(uint8_t tag, const Bytes& content);
// BER pieces one after the other.
Bytes cat(std::initializer_list<Bytes> parts);
Bytes ber_oid(const std::string& dotted);
Bytes ber_octets(const std::string& text);
Bytes ber_null();

struct DeviceAnswer {
    std::optional<std::string> sys_name = "scanner-1";
    std::optional<std::string> object_id = "1.3.6.1.4.1.93501.1.101";  // nullopt: NULL value
    std::optional<std::string> device_id = "MFG:Orvela;MDL:OR-M1020;CMD:PCL;";
    std::optional<std::string> serial = "SN0001";
    uint8_t pdu = 0xA2;           // GetResponse
    uint8_t error_status = 0;
    int32_t request_id = 0;
};

// The answer to the discovery request: the four bindings in request order.
Bytes device_answer(const DeviceAnswer& a);

// A GetResponse with one OCTET STRING binding.
Bytes single_answer(const std::string& oid, const std::string& value);
