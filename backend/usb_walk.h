// The one walk over the USB devices of a libusb context, shared by the data
// channel, the control channel and discovery. Each device comes with its
// device descriptor; a device whose descriptor cannot be read is left out
// (and logged) and the walk goes on with the next one.
//
//   DeviceWalk walk(context);        // takes the device list
//   if (!walk.ok()) ...               // the list could not be had (logged)
//   walk.each([&](const UsbDevice& d) { ...; return WalkStep::Next; });
#pragma once

#include <libusb.h>
#include <sys/types.h>

#include "backend/usb_handles.h"

namespace orvela_usb {

// One device of a walk with its device descriptor.
struct UsbDevice {
    libusb_device* device = nullptr;
    libusb_device_descriptor descriptor{};

    // The active configuration's descriptor; null when it cannot be read.
    ConfigDescriptor active_config() const;
    // The device opened; null when libusb refuses (*rc says why).
    DeviceHandle open(int* rc = nullptr) const;
};

enum class WalkStep { Next, Stop };

class DeviceWalk {
public:
    // Takes the context's device list; logs when it cannot.
    explicit DeviceWalk(libusb_context* context);

    bool ok() const { return count_ >= 0; }
    // Devices in the list, or libusb's (negative) error when there is none.
    ssize_t size() const { return count_; }

    // Calls visit(const UsbDevice&) for each device, in the list's order,
    // until it returns WalkStep::Stop.
    template <class Visit>
    void each(Visit&& visit) const {
        for (ssize_t i = 0; i < count_; ++i) {
            UsbDevice device;
            if (!describe(list_.get()[i], device)) continue;
            if (visit(static_cast<const UsbDevice&>(device)) == WalkStep::Stop) return;
        }
    }

private:
    // Fills `out` for `device`; false (logged) when its descriptor cannot be read.
    static bool describe(libusb_device* device, UsbDevice& out);

    DeviceList list_;
    ssize_t count_ = 0;
};

}  // namespace orvela_usb
