#include "backend/usb_walk.h"

#include <cerrno>
#include <cstring>

#include "common/debugtool.h"

namespace orvela_usb {

namespace {

// Text of the current errno, for the descriptor-read message.
const char* errno_text() {
    static thread_local char text[128];
    const int saved = errno;
    const char* s = strerror_r(saved, text, sizeof text);
    return s != nullptr ? s : "";
}

}  // namespace

ConfigDescriptor UsbDevice::active_config() const {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return nullptr;
    return ConfigDescriptor(config);
}

DeviceHandle UsbDevice::open(int* rc) const {
    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(device, &handle);
    if (rc != nullptr) *rc = result;
    if (result != 0) return nullptr;
    return DeviceHandle(handle);
}

DeviceWalk::DeviceWalk(libusb_context* context) {
    libusb_device** list = nullptr;
    count_ = libusb_get_device_list(context, &list);
    if (count_ < 0) {
        DBG_INFO("libusb_get_device_list Get Device Error\n");
        return;
    }
    list_.reset(list);
}

bool DeviceWalk::describe(libusb_device* device, UsbDevice& out) {
    out.device = device;
    if (libusb_get_device_descriptor(device, &out.descriptor) != 0) {
        DBG_INFO(" libusb_get_device_descriptor error!, errstr =%s\n", errno_text());
        return false;
    }
    return true;
}

}  // namespace orvela_usb
