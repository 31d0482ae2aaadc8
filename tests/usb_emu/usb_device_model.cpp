#include "tests/usb_emu/usb_device_model.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace usb_emu {

AltSetting bulk_pair(uint8_t interface_class, uint8_t out_address, uint8_t in_address) {
    AltSetting setting;
    setting.interface_class = interface_class;
    setting.endpoints = {{out_address, 2, 512}, {in_address, 2, 512}};
    return setting;
}

AltSetting no_endpoints(uint8_t interface_class) {
    AltSetting setting;
    setting.interface_class = interface_class;
    return setting;
}

DeviceConfig scanner_config(uint16_t vendor_id, uint16_t product_id, std::u16string serial) {
    DeviceConfig config;
    config.vendor_id = vendor_id;
    config.product_id = product_id;
    config.serial = std::move(serial);
    config.interfaces = {Interface{{bulk_pair(0xFF, 0x01, 0x81)}, nullptr},
                         Interface{{bulk_pair(7, 0x02, 0x82)}, "usblp"}};
    return config;
}

std::vector<uint8_t> device_id_reply(const std::string& text) {
    std::vector<uint8_t> reply(text.size() + 2);
    reply[0] = static_cast<uint8_t>(text.size() >> 8);
    reply[1] = static_cast<uint8_t>(text.size());
    std::copy(text.begin(), text.end(), reply.begin() + 2);
    return reply;
}

int ScriptedPeer::host_sent(uint8_t endpoint, std::span<const uint8_t> bytes) {
    out_endpoints_used.push_back(endpoint);
    if (stall_out) return -EPIPE;
    received.insert(received.end(), bytes.begin(), bytes.end());
    return static_cast<int>(bytes.size());
}

int ScriptedPeer::device_take(uint8_t endpoint, std::span<uint8_t> buffer) {
    if (in_chunks.empty()) return kNak;
    in_endpoints_used.push_back(endpoint);
    std::vector<uint8_t>& chunk = in_chunks.front();
    const size_t n = std::min(chunk.size(), buffer.size());
    std::copy_n(chunk.begin(), n, buffer.begin());
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) in_chunks.pop_front();
    return static_cast<int>(n);
}

DeviceModel::DeviceModel(DeviceConfig config) : config_(std::move(config)) {
    const size_t count = config_.interfaces.size();
    claimed_by.assign(count, 0);
    alt.assign(count, 0);
    for (const Interface& iface : config_.interfaces) driver.push_back(iface.kernel_driver);

    std::vector<uint8_t>& d = config_descriptor_;
    d = {9, 2, 0, 0, static_cast<uint8_t>(count), 1, 0, 0xC0, 1};
    for (size_t i = 0; i < count; ++i) {
        const auto& settings = config_.interfaces[i].alt_settings;
        for (size_t a = 0; a < settings.size(); ++a) {
            const AltSetting& s = settings[a];
            const uint8_t header[9] = {9, 4, static_cast<uint8_t>(i), static_cast<uint8_t>(a),
                                       static_cast<uint8_t>(s.endpoints.size()), s.interface_class, s.subclass,
                                       s.protocol, 0};
            d.insert(d.end(), header, header + 9);
            for (const Endpoint& e : s.endpoints) {
                const uint8_t ep[7] = {7, 5, e.address, e.attributes, static_cast<uint8_t>(e.max_packet & 0xFF),
                                       static_cast<uint8_t>(e.max_packet >> 8),
                                       static_cast<uint8_t>((e.attributes & 3) == 3 ? 10 : 0)};
                d.insert(d.end(), ep, ep + 7);
            }
        }
    }
    d[2] = static_cast<uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<uint8_t>(d.size() >> 8);
}

std::vector<uint8_t> DeviceModel::sysfs_descriptors() const {
    const uint16_t vid = config_.vendor_id;
    const uint16_t pid = config_.product_id;
    const uint8_t device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                static_cast<uint8_t>(vid & 0xFF), static_cast<uint8_t>(vid >> 8),
                                static_cast<uint8_t>(pid & 0xFF), static_cast<uint8_t>(pid >> 8),
                                0x00, 0x01,
                                static_cast<uint8_t>(config_.manufacturer ? 1 : 0),
                                static_cast<uint8_t>(config_.product ? 2 : 0),
                                static_cast<uint8_t>(config_.serial ? 3 : 0),
                                1};
    std::vector<uint8_t> out(sizeof device + config_descriptor_.size());
    std::copy(device, device + sizeof device, out.begin());
    std::copy(config_descriptor_.begin(), config_descriptor_.end(), out.begin() + sizeof device);
    return out;
}

bool DeviceModel::alt_exists(int interface, int alt_setting) const {
    return interface >= 0 && interface < interface_count() && alt_setting >= 0 &&
           alt_setting < static_cast<int>(config_.interfaces[static_cast<size_t>(interface)].alt_settings.size());
}

int DeviceModel::interface_of_endpoint(uint8_t endpoint) const {
    for (int i = 0; i < interface_count(); ++i) {
        const AltSetting& s = config_.interfaces[static_cast<size_t>(i)].alt_settings[static_cast<size_t>(alt[static_cast<size_t>(i)])];
        for (const Endpoint& e : s.endpoints) {
            if (e.address == endpoint) return i;
        }
    }
    return -1;
}

int DeviceModel::string_descriptor(int index, uint8_t* out, int max) const {
    uint8_t buf[256];
    int len = 0;
    if (index == 0) {
        const uint8_t languages[4] = {4, 3, 0x09, 0x04};  // en-US
        memcpy(buf, languages, 4);
        len = 4;
    } else {
        const std::optional<std::u16string>* text = index == 1   ? &config_.manufacturer
                                                    : index == 2 ? &config_.product
                                                    : index == 3 ? &config_.serial
                                                                 : nullptr;
        if (text == nullptr || !text->has_value()) return -EPIPE;
        len = 2;
        for (char16_t c : **text) {
            if (len + 2 > 254) break;  // bLength is one byte
            buf[len++] = static_cast<uint8_t>(c & 0xFF);
            buf[len++] = static_cast<uint8_t>(c >> 8);
        }
        buf[0] = static_cast<uint8_t>(len);
        buf[1] = 3;
    }
    len = std::min(len, max);
    memcpy(out, buf, static_cast<size_t>(len));
    return len;
}

int DeviceModel::control(const uint8_t s[8], uint8_t* data) {
    const uint8_t type = s[0];
    const uint8_t request = s[1];
    const auto value = static_cast<uint16_t>(s[2] | s[3] << 8);
    const auto index = static_cast<uint16_t>(s[4] | s[5] << 8);
    const int length = s[6] | s[7] << 8;

    if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
        const int kind = value >> 8;
        if (kind == 1 || kind == 2) {
            const std::vector<uint8_t> all = sysfs_descriptors();
            const uint8_t* src = kind == 1 ? all.data() : all.data() + 18;
            const int size = kind == 1 ? 18 : static_cast<int>(all.size() - 18);
            const int n = std::min(length, size);
            memcpy(data, src, static_cast<size_t>(n));
            return n;
        }
        if (kind == 3) return string_descriptor(value & 0xFF, data, length);
        return -EPIPE;
    }
    if (type == 0x80 && request == 0 && length >= 2) {  // GET_STATUS
        data[0] = 0;
        data[1] = 0;
        return 2;
    }
    if (type == 0x80 && request == 8 && length >= 1) {  // GET_CONFIGURATION
        data[0] = 1;
        return 1;
    }

    ControlRecord record{type, request, value, index, static_cast<uint16_t>(length), {}};
    if ((type & 0x80) == 0 && length > 0) record.data_out.assign(data, data + length);
    vendor_and_class_requests.push_back(record);

    if (type == 0xA1 && request == 0) {  // printer class GET_DEVICE_ID
        if (!config_.device_id_reply) return -EPIPE;
        const std::vector<uint8_t>& reply = *config_.device_id_reply;
        const int n = std::min(length, static_cast<int>(reply.size()));
        memcpy(data, reply.data(), static_cast<size_t>(n));
        return n;
    }
    if (type == 0x41 && request == 0x4D) {  // vendor write
        if (config_.vendor_write_stalls) return -EPIPE;
        return length;
    }
    if (type == 0xC1 && request == 0) {  // vendor read
        if (!config_.vendor_read_reply) return -EPIPE;
        const std::vector<uint8_t>& reply = *config_.vendor_read_reply;
        const int n = std::min(length, static_cast<int>(reply.size()));
        memcpy(data, reply.data(), static_cast<size_t>(n));
        return n;
    }
    return -EPIPE;
}

int DeviceModel::bulk_out(uint8_t endpoint, std::span<const uint8_t> bytes) {
    if (!peer_) return static_cast<int>(bytes.size());
    return peer_->host_sent(endpoint, bytes);
}

int DeviceModel::bulk_in(uint8_t endpoint, std::span<uint8_t> buffer) {
    if (!peer_) return kNak;
    return peer_->device_take(endpoint, buffer);
}

}  // namespace usb_emu
