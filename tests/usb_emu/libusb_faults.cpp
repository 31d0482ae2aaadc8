#include "tests/usb_emu/libusb_faults.h"

#include <dlfcn.h>
#include <libusb.h>

#include <new>

namespace usb_emu {
namespace {

LibusbFaults g_faults;

template <class Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using DescriptorFn = int(LIBUSB_CALL*)(libusb_device*, libusb_device_descriptor*);

int real_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    static const auto fn = real<DescriptorFn>("libusb_get_device_descriptor");
    return fn(dev, desc);
}

bool product_is(libusb_device* dev, int product) {
    libusb_device_descriptor desc{};
    return product >= 0 && real_descriptor(dev, &desc) == 0 && desc.idProduct == product;
}

}  // namespace

ArmedLibusbFaults::ArmedLibusbFaults(const LibusbFaults& faults) { g_faults = faults; }
ArmedLibusbFaults::~ArmedLibusbFaults() { g_faults = LibusbFaults{}; }

}  // namespace usb_emu

using usb_emu::g_faults;

extern "C" {

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    using Fn = ssize_t(LIBUSB_CALL*)(libusb_context*, libusb_device***);
    static const auto fn = usb_emu::real<Fn>("libusb_get_device_list");
    if (g_faults.device_list_throws) throw std::bad_alloc();
    if (g_faults.device_list_fails) return LIBUSB_ERROR_NO_MEM;
    return fn(ctx, list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    if (usb_emu::product_is(dev, g_faults.bad_descriptor_product)) return LIBUSB_ERROR_IO;
    return usb_emu::real_descriptor(dev, desc);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, libusb_config_descriptor** config) {
    using Fn = int(LIBUSB_CALL*)(libusb_device*, libusb_config_descriptor**);
    static const auto fn = usb_emu::real<Fn>("libusb_get_active_config_descriptor");
    if (usb_emu::product_is(dev, g_faults.bad_config_product)) return LIBUSB_ERROR_IO;
    return fn(dev, config);
}

}  // extern "C"
