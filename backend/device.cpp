#include "backend/device.h"

#include <climits>
#include <cstdint>

#include "backend/net_transport.h"
#include "backend/usb_transport.h"
#include "backend/wire_trace.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"

namespace {

ORVELA_Scanner currentDevice{};

// The transports take time-outs as int (network) or unsigned (USB); a value
// too large for an int is as good as no limit.
int to_int_seconds(unsigned int seconds) { return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds); }

// USB control transfers take the size as int.
int to_int_size(size_t size) { return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

// A negative USB result keeps its sign when seen through size_t.
size_t widen(int result) { return static_cast<size_t>(static_cast<intptr_t>(result)); }

// The wire trace learns of each open here, with the USB device's place on its
// bus when there is one to name.
void trace_open(bool ok) {
    int bus = 0;
    int address = 0;
    if (ok && currentDevice.type_io == IOTYPE_USB && dev_handle != nullptr) {
        libusb_device* usb = libusb_get_device(dev_handle.get());
        bus = libusb_get_bus_number(usb);
        address = libusb_get_device_address(usb);
    }
    wire_trace::device_opened(currentDevice, ok, bus, address);
}

}  // namespace

extern "C" {

static bool Device_Open_body(ORVELA_Device device) {
    DBG_INFO("Run into Device_Open\n");
    currentDevice = device;
    bool ok = false;
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        ok = USB_Open(currentDevice);
        break;
    case IOTYPE_NET:
        ok = TCP_Connect(currentDevice.ipaddress, currentDevice.port, orvela_dispatch::kConnectTimeoutSeconds);
        break;
    default:
        break;
    }
    trace_open(ok);
    return ok;
}

static void Device_Close_body() {
    DBG_INFO("Run into Device_Close\n");
    wire_trace::device_closing();
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        USB_Close();
        break;
    case IOTYPE_NET:
        TCP_Close();
        break;
    default:
        break;
    }
}

static size_t Device_Read_transport(void* buffer, size_t size, unsigned int timeoutSeconds) {
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        return USB_Read(buffer, size, timeoutSeconds);
    case IOTYPE_NET:
        return TCP_Read(buffer, size, to_int_seconds(timeoutSeconds));
    default:
        return 0;
    }
}

static size_t Device_Read_body(void* buffer, size_t size, unsigned int timeoutSeconds) {
    const size_t got = Device_Read_transport(buffer, size, timeoutSeconds);
    wire_trace::device_read(buffer, size, got);
    return got;
}

static size_t Device_Write_transport(const void* data, size_t size, unsigned int timeoutSeconds) {
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        // The bulk OUT transfer only reads the data.
        return USB_Write(const_cast<void*>(data), size, timeoutSeconds);
    case IOTYPE_NET:
        return TCP_Write(data, size, to_int_seconds(timeoutSeconds));
    default:
        return 0;
    }
}

static size_t Device_Write_body(const void* data, size_t size, unsigned int timeoutSeconds) {
    const size_t moved = Device_Write_transport(data, size, timeoutSeconds);
    wire_trace::device_wrote(data, size, moved);
    return moved;
}

static bool Device_ControlOpen_body(ORVELA_Device device) {
    DBG_INFO("Run into Device_ControlOpen\n");
    currentDevice = device;
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        return USB_DeviceOpen(currentDevice);
    case IOTYPE_NET:
        return TCP_Connect(currentDevice.ipaddress, orvela_dispatch::kControlPort,
                           orvela_dispatch::kConnectTimeoutSeconds);
    default:
        return false;
    }
}

static void Device_ControlClose_body() {
    DBG_INFO("Run into Device_ControlClose\n");
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        USB_DeviceClose();
        break;
    case IOTYPE_NET:
        TCP_Close();
        break;
    default:
        break;
    }
}

static size_t Device_ControlRead_transport(void* buffer, size_t size, int timeoutSeconds) {
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        return widen(USB_ControlRead(static_cast<char*>(buffer), to_int_size(size),
                                     static_cast<unsigned int>(timeoutSeconds)));
    case IOTYPE_NET:
        return TCP_Read(buffer, size, timeoutSeconds);
    default:
        return 0;
    }
}

static size_t Device_ControlWrite_transport(const void* data, size_t size, int timeoutSeconds) {
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        // The control OUT transfer only reads the data.
        return widen(USB_ControlWrite(static_cast<char*>(const_cast<void*>(data)), to_int_size(size),
                                      static_cast<unsigned int>(timeoutSeconds)));
    case IOTYPE_NET:
        return TCP_Write(data, size, timeoutSeconds);
    default:
        return 0;
    }
}

// The control channel's transfers go into the open device's trace, if any;
// its opens and closes are not sessions of their own.
static size_t Device_ControlRead_body(void* buffer, size_t size, int timeoutSeconds) {
    const size_t got = Device_ControlRead_transport(buffer, size, timeoutSeconds);
    wire_trace::control_read(buffer, size, got);
    return got;
}

static size_t Device_ControlWrite_body(const void* data, size_t size, int timeoutSeconds) {
    const size_t moved = Device_ControlWrite_transport(data, size, timeoutSeconds);
    wire_trace::control_wrote(data, size, moved);
    return moved;
}

IOTYPE CurrentDeviceType(void) { return currentDevice.type_io; }


bool Device_Open(ORVELA_Device device) {
    return c_boundary::call("Device_Open", false, [&] { return Device_Open_body(device); });
}

void Device_Close(void) { c_boundary::run("Device_Close", Device_Close_body); }

size_t Device_Read(void* buffer, size_t size, unsigned int timeoutSeconds) {
    return c_boundary::call("Device_Read", size_t{0}, [&] { return Device_Read_body(buffer, size, timeoutSeconds); });
}

size_t Device_Write(const void* data, size_t size, unsigned int timeoutSeconds) {
    return c_boundary::call("Device_Write", size_t{0}, [&] { return Device_Write_body(data, size, timeoutSeconds); });
}

bool Device_ControlOpen(ORVELA_Device device) {
    return c_boundary::call("Device_ControlOpen", false, [&] { return Device_ControlOpen_body(device); });
}

void Device_ControlClose(void) { c_boundary::run("Device_ControlClose", Device_ControlClose_body); }

size_t Device_ControlRead(void* buffer, size_t size, int timeoutSeconds) {
    return c_boundary::call("Device_ControlRead", size_t{0},
                            [&] { return Device_ControlRead_body(buffer, size, timeoutSeconds); });
}

size_t Device_ControlWrite(const void* data, size_t size, int timeoutSeconds) {
    return c_boundary::call("Device_ControlWrite", size_t{0},
                            [&] { return Device_ControlWrite_body(data, size, timeoutSeconds); });
}

}  // extern "C"

namespace orvela_dispatch {

namespace {

size_t read_until_transport(void* buffer, size_t size, int64_t limit_ms, const bool* cancel) {
    switch (currentDevice.type_io) {
    case IOTYPE_USB:
        return orvela_usb::read_until(buffer, size, limit_ms, cancel);
    case IOTYPE_NET: {
        size_t received = 0;
        orvela_net::read_until(buffer, size, limit_ms, cancel, &received);
        return received;
    }
    default:
        return 0;
    }
}

}  // namespace

size_t read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel) {
    const size_t got = read_until_transport(buffer, size, limit_ms, cancel);
    wire_trace::device_read(buffer, size, got);
    return got;
}

}  // namespace orvela_dispatch
