#include "tests/support/snmp_answer.h"

#include <sstream>

Bytes ber(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    const size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        Bytes len;
        for (size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes ber_oid(const std::string& dotted) {
    std::vector<uint32_t> arcs;
    std::stringstream ss(dotted);
    for (std::string arc; std::getline(ss, arc, '.');) arcs.push_back(static_cast<uint32_t>(std::stoul(arc)));
    Bytes content;
    auto put = [&](uint32_t v) {
        Bytes groups{static_cast<uint8_t>(v & 0x7F)};
        for (v >>= 7; v != 0; v >>= 7) groups.insert(groups.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
        content.insert(content.end(), groups.begin(), groups.end());
    };
    if (arcs.size() >= 2) put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    return ber(0x06, content);
}

Bytes ber_octets(const std::string& text) { return ber(0x04, Bytes(text.begin(), text.end())); }
Bytes ber_null() { return {0x05, 0x00}; }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

namespace {

Bytes ber_int(int32_t v) {
    Bytes content;
    for (int i = 3; i >= 0; --i) content.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    while (content.size() > 1 && ((content[0] == 0 && !(content[1] & 0x80)) || (content[0] == 0xFF && (content[1] & 0x80))))
        content.erase(content.begin());
    return ber(0x02, content);
}

Bytes binding(const std::string& oid, const Bytes& value) { return ber(0x30, cat({ber_oid(oid), value})); }

}  // namespace

Bytes device_answer(const DeviceAnswer& a) {
    const Bytes bindings = cat({
        binding("1.3.6.1.2.1.1.5.0", a.sys_name ? ber_octets(*a.sys_name) : ber_null()),
        binding("1.3.6.1.2.1.1.2.0", a.object_id ? ber_oid(*a.object_id) : ber_null()),
        binding("1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", a.device_id ? ber_octets(*a.device_id) : ber_null()),
        binding("1.3.6.1.2.1.43.5.1.1.17.1", a.serial ? ber_octets(*a.serial) : ber_null()),
    });
    const Bytes pdu = ber(a.pdu, cat({ber_int(a.request_id), ber_int(a.error_status), ber_int(0), ber(0x30, bindings)}));
    return ber(0x30, cat({ber_int(0), ber_octets("rdcomm"), pdu}));
}

Bytes single_answer(const std::string& oid, const std::string& value) {
    const Bytes pdu = ber(0xA2, cat({ber_int(0), ber_int(0), ber_int(0), ber(0x30, binding(oid, ber_octets(value)))}));
    return ber(0x30, cat({ber_int(0), ber_octets("rdcomm"), pdu}));
}
