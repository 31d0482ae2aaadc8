// Owning types for the libusb objects the backend holds: a context, a device
// list, a device handle, a configuration descriptor and a claimed interface.
// Each gives its object back the one way libusb expects, on every path out.
//
// Where several live together, declare them in this order so that they go in
// the reverse one: context, handle, claimed interface.
#pragma once

#include <libusb.h>

#include <memory>
#include <utility>

namespace orvela_usb {

struct ContextRelease {
    void operator()(libusb_context* context) const noexcept { libusb_exit(context); }
};
using Context = std::unique_ptr<libusb_context, ContextRelease>;

// A private libusb context; null when libusb cannot start.
inline Context new_context() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return nullptr;
    return Context(context);
}

// Unreferences the listed devices with the list: a device opened from it keeps
// its own reference.
struct DeviceListRelease {
    void operator()(libusb_device** list) const noexcept { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*, DeviceListRelease>;

struct HandleClose {
    void operator()(libusb_device_handle* handle) const noexcept { libusb_close(handle); }
};
using DeviceHandle = std::unique_ptr<libusb_device_handle, HandleClose>;

struct ConfigRelease {
    void operator()(libusb_config_descriptor* config) const noexcept { libusb_free_config_descriptor(config); }
};
using ConfigDescriptor = std::unique_ptr<libusb_config_descriptor, ConfigRelease>;

// An interface claimed on an open handle; going, it releases the interface
// (not the handle, which must outlive it).
class ClaimedInterface {
public:
    ClaimedInterface() = default;
    // Claims interface `number`; empty when libusb refuses (*rc says why).
    static ClaimedInterface claim(libusb_device_handle* handle, int number, int* rc = nullptr) {
        ClaimedInterface claimed;
        const int result = libusb_claim_interface(handle, number);
        if (rc != nullptr) *rc = result;
        if (result == 0) {
            claimed.handle_ = handle;
            claimed.number_ = number;
        }
        return claimed;
    }
    ~ClaimedInterface() { reset(); }
    ClaimedInterface(ClaimedInterface&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), number_(other.number_) {}
    ClaimedInterface& operator=(ClaimedInterface&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            number_ = other.number_;
        }
        return *this;
    }
    ClaimedInterface(const ClaimedInterface&) = delete;
    ClaimedInterface& operator=(const ClaimedInterface&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    void reset() noexcept {
        if (handle_ != nullptr) libusb_release_interface(handle_, number_);
        handle_ = nullptr;
    }

private:
    libusb_device_handle* handle_ = nullptr;
    int number_ = 0;
};

}  // namespace orvela_usb
