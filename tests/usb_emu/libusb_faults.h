// Faults put into the libusb calls that the backend's device walk makes, for
// the tests of a device list that cannot be had, a call below an entry point
// that throws, and devices whose descriptors cannot be read. A test program
// that uses them carries its own definitions of these libusb functions, which
// take the place of the library's for the backend linked into it and pass
// every call on to the real library while no fault is armed.
#pragma once

namespace usb_emu {

struct LibusbFaults {
    bool device_list_fails = false;   // libusb_get_device_list answers LIBUSB_ERROR_NO_MEM
    bool device_list_throws = false;  // libusb_get_device_list throws std::bad_alloc
    int bad_descriptor_product = -1;  // libusb_get_device_descriptor fails for this product ID
    int bad_config_product = -1;      // libusb_get_active_config_descriptor fails for it
};

// Arms `faults` for its lifetime; arm only while no other thread calls libusb.
class ArmedLibusbFaults {
public:
    explicit ArmedLibusbFaults(const LibusbFaults& faults);
    ~ArmedLibusbFaults();
    ArmedLibusbFaults(const ArmedLibusbFaults&) = delete;
    ArmedLibusbFaults& operator=(const ArmedLibusbFaults&) = delete;
};

}  // namespace usb_emu
