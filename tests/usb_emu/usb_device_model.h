// The emulated USB device seen by the real libusb through umockdev: its
// descriptors (configurable per test), its answers to standard, printer-class
// and vendor control requests, and the bulk traffic of its endpoints, which it
// hands to a pluggable peer (a scripted byte queue, or the scanner simulator).
//
// All methods run with the emulation's lock held (see UsbfsEmulation); the
// model itself is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usb_emu {

// Result of a bulk IN when the device has nothing to send yet: the transfer
// stays pending (the device NAKs) until data arrives or the host gives up.
constexpr int kNak = -100000;

struct Endpoint {
    uint8_t address = 0;     // bit 7 set: IN
    uint8_t attributes = 2;  // transfer type in bits 0..1: 2 bulk, 3 interrupt
    uint16_t max_packet = 512;
};

struct AltSetting {
    uint8_t interface_class = 0xFF;
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    std::vector<Endpoint> endpoints;
};

struct Interface {
    std::vector<AltSetting> alt_settings;  // at least one
    const char* kernel_driver = nullptr;   // a driver bound to it makes a claim fail (EBUSY)
};

// Shorthands for the usual layouts.
AltSetting bulk_pair(uint8_t interface_class, uint8_t out_address, uint8_t in_address);
AltSetting no_endpoints(uint8_t interface_class);

// Who answers the bulk endpoints: the host's bulk OUT bytes go to host_sent,
// and a bulk IN asks device_take for at most buffer.size() bytes.
class BulkPeer {
public:
    virtual ~BulkPeer() = default;
    // Bytes accepted, or -errno (-EPIPE: the endpoint stalls).
    virtual int host_sent(uint8_t endpoint, std::span<const uint8_t> bytes) = 0;
    // Bytes delivered, kNak when there is nothing yet, or -errno.
    virtual int device_take(uint8_t endpoint, std::span<uint8_t> buffer) = 0;
};

// The default peer: keeps what the host wrote, and answers bulk IN from a
// queue of chunks, one chunk per transfer (a chunk shorter than the host's
// request makes a short transfer; a longer one is delivered over several).
class ScriptedPeer : public BulkPeer {
public:
    int host_sent(uint8_t endpoint, std::span<const uint8_t> bytes) override;
    int device_take(uint8_t endpoint, std::span<uint8_t> buffer) override;

    void queue_in(std::vector<uint8_t> chunk) { in_chunks.push_back(std::move(chunk)); }

    std::deque<std::vector<uint8_t>> in_chunks;
    std::vector<uint8_t> received;  // every byte the host wrote, in order
    std::vector<uint8_t> out_endpoints_used;
    std::vector<uint8_t> in_endpoints_used;
    bool stall_out = false;         // bulk OUT answers with a stall
};

struct DeviceConfig {
    uint16_t vendor_id = 0x5E5A;
    uint16_t product_id = 0x1001;
    // String descriptors as UTF-16 code units; nullopt: no string (index 0).
    std::optional<std::u16string> manufacturer = u"Orvela";
    std::optional<std::u16string> product = u"OR-M1020";
    std::optional<std::u16string> serial = u"SN0001";
    std::vector<Interface> interfaces;  // the one configuration's interfaces

    // Raw reply to the printer-class GET_DEVICE_ID request (length bytes
    // included), or nullopt: the request stalls.
    std::optional<std::vector<uint8_t>> device_id_reply;
    // Vendor control requests: write (0x41/0x4D) stalls, read (0xC1/0) data.
    bool vendor_write_stalls = false;
    std::optional<std::vector<uint8_t>> vendor_read_reply;
};

// The usual scanner: interface 0 vendor class with bulk OUT 0x01 / IN 0x81,
// interface 1 printer class (usblp bound) with bulk 0x02 / 0x82.
DeviceConfig scanner_config(uint16_t vendor_id, uint16_t product_id, std::u16string serial);

// A GET_DEVICE_ID reply: two length bytes (high first, counting the text
// only) then the text.
std::vector<uint8_t> device_id_reply(const std::string& text);

class DeviceModel {
public:
    explicit DeviceModel(DeviceConfig config);

    const DeviceConfig& config() const { return config_; }
    // The answers to control requests may change while the device is attached;
    // descriptors are fixed when it is built.
    DeviceConfig& answers() { return config_; }
    // Device descriptor followed by the configuration descriptor (sysfs "descriptors").
    std::vector<uint8_t> sysfs_descriptors() const;
    int interface_count() const { return static_cast<int>(config_.interfaces.size()); }
    bool alt_exists(int interface, int alt) const;
    // Interface whose active alternate setting has this endpoint, or -1.
    int interface_of_endpoint(uint8_t endpoint) const;

    // Control transfer: setup is 8 bytes, data wLength bytes (IN: filled).
    // Returns bytes moved, or -errno (-EPIPE = stall).
    int control(const uint8_t setup[8], uint8_t* data);
    int bulk_out(uint8_t endpoint, std::span<const uint8_t> bytes);
    int bulk_in(uint8_t endpoint, std::span<uint8_t> buffer);

    void set_peer(std::shared_ptr<BulkPeer> peer) { peer_ = std::move(peer); }
    BulkPeer* peer() const { return peer_.get(); }

    // Kernel-side state kept by the usbfs emulation.
    std::vector<int> claimed_by;  // 0: free, else the owning client
    std::vector<int> alt;         // active alternate setting per interface
    std::vector<const char*> driver;
    bool unplugged = false;

    // What the host did, for the tests.
    struct ControlRecord {
        uint8_t request_type, request;
        uint16_t value, index, length;
        std::vector<uint8_t> data_out;
    };
    std::vector<ControlRecord> vendor_and_class_requests;
    unsigned claims = 0;

private:
    int string_descriptor(int index, uint8_t* out, int max) const;

    DeviceConfig config_;
    std::vector<uint8_t> config_descriptor_;
    std::shared_ptr<BulkPeer> peer_;
};

}  // namespace usb_emu
