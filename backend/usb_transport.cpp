#include "backend/usb_transport.h"

#include <climits>
#include <cstring>

#include "backend/io_clock.h"
#include "backend/usb_walk.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"

extern "C" {
ORVELA_Scanner current_scanner = {};
}

// Declared in this order so that, going, the claim is released before its
// handle closes and the handle closes before its context ends.
orvela_usb::Context gContext;
orvela_usb::DeviceHandle dev_handle;
orvela_usb::ClaimedInterface data_claim;
orvela_usb::Context gDeviceContext;
orvela_usb::DeviceHandle devHandle;

namespace orvela_usb {

bool read_string_descriptor(libusb_device_handle* handle, uint8_t index, char (&out)[kStringBufferSize]) {
    memset(out, 0, sizeof out);
    if (handle == nullptr || index == 0) return false;
    const int n = libusb_get_string_descriptor_ascii(handle, index, reinterpret_cast<unsigned char*>(out),
                                                     static_cast<int>(sizeof out));
    if (n < 0) {
        memset(out, 0, sizeof out);
        return false;
    }
    out[sizeof out - 1] = '\0';
    // libusb passes Latin-1 code units through as single bytes; keep the
    // texts plain printable ASCII so that names stay valid wherever shown.
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) break;
        if (byte < 0x20 || byte > 0x7E) c = '?';
    }
    return true;
}

unsigned int timeout_ms(unsigned int timeout_second) {
    if (timeout_second > UINT_MAX / 1000u) return UINT_MAX;
    return timeout_second * 1000u;
}

size_t read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel) {
    if (dev_handle == nullptr || buffer == nullptr || size > static_cast<size_t>(INT_MAX)) return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const int64_t start = orvela_io::now_ms();
    size_t received = 0;
    while (received < size) {
        const int64_t left = limit_ms - (orvela_io::now_ms() - start);
        if (left <= 0) break;
        int moved = 0;
        const auto slice = static_cast<unsigned>(left < kReadSliceMs ? left : kReadSliceMs);
        const auto endpoint = static_cast<unsigned char>(current_scanner.endpoint_bulkin & 0xFF);
        const int result = libusb_bulk_transfer(dev_handle.get(), endpoint, bytes + received,
                                                static_cast<int>(size - received), &moved, slice);
        if (moved > 0) received += static_cast<size_t>(moved);
        if (result == 0 && received < size) break;  // a short transfer: the device sent less
        if (result != 0 && result != LIBUSB_ERROR_TIMEOUT) {
            DBG_INFO("USB_Read fail: errorcode=%d, actual_size is %d,request size=%d\n", result,
                     static_cast<int>(received), static_cast<int>(size));
            break;
        }
        if (received < size && cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_ACQUIRE)) break;
    }
    return received;
}

}  // namespace orvela_usb

namespace {

using orvela_usb::ClaimedInterface;
using orvela_usb::Context;
using orvela_usb::DeviceHandle;
using orvela_usb::DeviceWalk;
using orvela_usb::kStringBufferSize;
using orvela_usb::read_string_descriptor;
using orvela_usb::timeout_ms;
using orvela_usb::UsbDevice;
using orvela_usb::WalkStep;

// Compares a device string with a record's text over the 32 bytes of the field.
bool same_text(const char* record_field, const char (&device_text)[kStringBufferSize]) {
    return strncmp(record_field, device_text, kStringBufferSize) == 0;
}

// Ends whatever a previous open of the channel left behind, so that opening
// again without a close leaks neither a claim, a handle nor a context.
void release_data_channel() {
    data_claim.reset();
    dev_handle.reset();
    gContext.reset();
}

void release_control_channel() {
    devHandle.reset();
    gDeviceContext.reset();
}

// One bulk transfer of exactly `size` bytes on `endpoint`; true only when all
// of them moved. `result` and `moved` report what libusb said.
bool bulk_exact(int endpoint, void* buffer, unsigned long size, unsigned int timeout_second, int& result,
                int& moved) {
    moved = 0;
    if (size > static_cast<unsigned long>(INT_MAX) || (buffer == nullptr && size != 0)) {
        result = LIBUSB_ERROR_INVALID_PARAM;
        return false;
    }
    result = libusb_bulk_transfer(dev_handle.get(), static_cast<unsigned char>(endpoint & 0xFF),
                                  static_cast<unsigned char*>(buffer), static_cast<int>(size), &moved,
                                  timeout_ms(timeout_second));
    return moved >= 0 && static_cast<unsigned long>(moved) == size;
}

// Length of a control transfer for a caller's buffer of `size` bytes: libusb
// carries at most 16 bits, and the transfer must never run past the buffer.
uint16_t control_length(long long size) {
    if (size <= 0) return 0;
    if (size > 0xFFFF) return 0xFFFF;
    return static_cast<uint16_t>(size);
}

// The data channel's device among the walked ones: the record's IDs and serial
// number, and the record's interface free to claim.
WalkStep take_if_data_device(const UsbDevice& d, const ORVELA_Scanner& scanner) {
    if (d.descriptor.idVendor != scanner.vendor_id || d.descriptor.idProduct != scanner.product_id)
        return WalkStep::Next;
    char serial[kStringBufferSize];
    DeviceHandle handle = d.open();
    if (handle == nullptr || !read_string_descriptor(handle.get(), d.descriptor.iSerialNumber, serial) ||
        !same_text(scanner.serial, serial)) {
        DBG_INFO("It's not match device seiral number\n");
        return WalkStep::Next;
    }
    ClaimedInterface claim = ClaimedInterface::claim(handle.get(), scanner.interface);
    if (!claim) {
        DBG_INFO("libusb_claim_interface Get Device Error\n");
        return WalkStep::Next;
    }
    DBG_INFO("Open device OK!\n");
    dev_handle = std::move(handle);
    data_claim = std::move(claim);
    return WalkStep::Stop;
}

// The control channel's device among the walked ones: a device of the model
// table whose manufacturer, product and serial texts are the record's.
WalkStep take_if_control_device(const UsbDevice& d, const ORVELA_Scanner& scanner) {
    if (MatchUSBProduct(d.descriptor.idVendor, d.descriptor.idProduct) == -1) return WalkStep::Next;
    DBG_INFO("Found orvela machine!\n");
    int rc = 0;
    DeviceHandle handle = d.open(&rc);
    if (handle == nullptr) {
        DBG_INFO("Fail to open usb device, ret=%d!\n", rc);
        return WalkStep::Next;
    }
    char serial[kStringBufferSize];
    char manufacturer[kStringBufferSize];
    char product[kStringBufferSize];
    read_string_descriptor(handle.get(), d.descriptor.iSerialNumber, serial);
    read_string_descriptor(handle.get(), d.descriptor.iManufacturer, manufacturer);
    read_string_descriptor(handle.get(), d.descriptor.iProduct, product);
    if (!same_text(scanner.brandName, manufacturer) || !same_text(scanner.modelName, product) ||
        !same_text(scanner.serial, serial))
        return WalkStep::Next;
    DBG_INFO("Success to open usb device!\n");
    devHandle = std::move(handle);
    return WalkStep::Stop;
}

bool usb_open(ORVELA_Scanner scanner) {
    release_data_channel();
    current_scanner = scanner;
    DBG_INFO("Run into USB_Open\n");

    Context context = orvela_usb::new_context();
    if (context == nullptr) {
        DBG_INFO("libusb_init Error\n");
        return false;
    }
    bool opened = false;
    {
        const DeviceWalk walk(context.get());
        if (!walk.ok()) return false;  // the context goes with it
        walk.each([&](const UsbDevice& d) {
            const WalkStep step = take_if_data_device(d, scanner);
            opened = step == WalkStep::Stop;
            return step;
        });
    }
    // Kept after a walk that found nothing too, until the close.
    gContext = std::move(context);
    DBG_INFO("USB_Open End\n");
    return opened;
}

size_t usb_read(void* buffer, unsigned long size, unsigned int timeout_second) {
    if (dev_handle == nullptr) {
        DBG_INFO("dev_handle is NULL!\n");
        return 0;
    }
    int result = 0;
    int moved = 0;
    const bool complete = bulk_exact(current_scanner.endpoint_bulkin, buffer, size, timeout_second, result, moved);
    if (result < 0) {
        DBG_INFO("endpoint_bulkin=0x%02X\n", current_scanner.endpoint_bulkin);
        DBG_INFO("USB_Read fail: errorcode=%d, actual_size is %d,request size=%d\n", result, moved,
                 static_cast<int>(size));
    }
    return complete ? size : 0;
}

size_t usb_write(void* data, unsigned long size, unsigned int timeout_second) {
    if (dev_handle == nullptr) {
        DBG_INFO("dev_handle is NULL!\n");
        return 0;
    }
    int result = 0;
    int moved = 0;
    const bool complete = bulk_exact(current_scanner.endpoint_bulkout, data, size, timeout_second, result, moved);
    if (result < 0) {
        DBG_INFO("endpoint_bulkout=0x%02X\n", current_scanner.endpoint_bulkout);
        DBG_INFO("USB_Write fail: errorcode=%d,actual_size==%d,request size=%d\n", result, moved,
                 static_cast<int>(size));
    } else {
        DBG_INFO("USB_Write success: errorcode=%d,actual_size==%d,request size=%d\n", result, moved,
                 static_cast<int>(size));
    }
    return complete ? size : 0;
}

void usb_close() {
    DBG_INFO("Run into USB_Close\n");
    if (dev_handle == nullptr) DBG_INFO("dev_handle is NULL!\n");
    release_data_channel();
    DBG_INFO("Close success\n");
}

bool usb_device_open(ORVELA_Scanner scanner) {
    release_control_channel();
    DBG_INFO("Run into USB_DeviceOpen.\n");
    Context context = orvela_usb::new_context();
    if (context == nullptr) {
        DBG_INFO("libusb_init Error\n");
        return false;
    }
    bool found = false;
    {
        const DeviceWalk walk(context.get());
        DBG_INFO("cnt=%d\n", static_cast<int>(walk.size()));
        if (!walk.ok()) return false;
        walk.each([&](const UsbDevice& d) {
            const WalkStep step = take_if_control_device(d, scanner);
            found = step == WalkStep::Stop;
            return step;
        });
    }
    gDeviceContext = std::move(context);
    return found;
}

void usb_device_close() {
    if (devHandle != nullptr) {
        DBG_INFO("USB_DeviceClose\n");
    } else {
        DBG_INFO("dev_handle is NULL!\n");
    }
    release_control_channel();
}

int usb_control_write(char* buffer, int bufSize, unsigned int timeout_second) {
    if (devHandle == nullptr) return 0;
    if (bufSize < 0 || (buffer == nullptr && bufSize != 0)) return LIBUSB_ERROR_INVALID_PARAM;
    const int rc = libusb_control_transfer(devHandle.get(), 0x41, 0x4D, 0x3C2B, 0,
                                           reinterpret_cast<unsigned char*>(buffer), control_length(bufSize),
                                           timeout_ms(timeout_second));
    if (rc >= 0) return rc;
    if (rc == LIBUSB_ERROR_PIPE) return bufSize;
    DBG_INFO("libusb: control write error:%d\n", rc);
    if (bufSize > 0) buffer[0] = 0;
    return rc;
}

int usb_control_read(char* buffer, int bufSize, unsigned int timeout_second) {
    if (devHandle == nullptr) return 0;
    if (bufSize < 0 || (buffer == nullptr && bufSize != 0)) return LIBUSB_ERROR_INVALID_PARAM;
    const int rc = libusb_control_transfer(devHandle.get(), 0xC1, 0, 0, 0, reinterpret_cast<unsigned char*>(buffer),
                                           control_length(bufSize), timeout_ms(timeout_second));
    if (rc < 0) {
        DBG_INFO("libusb: control read error:%d\n", rc);
        if (bufSize > 0) buffer[0] = 0;
        return rc;
    }
    DBG_INFO("libusb: control read success:%d\n", rc);
    return rc;
}

}  // namespace

extern "C" {

bool USB_Open(ORVELA_Scanner scanner) {
    return c_boundary::call("USB_Open", false, [&] { return usb_open(scanner); });
}

size_t USB_Read(void* buffer, unsigned long size, unsigned int timeout_second) {
    return c_boundary::call("USB_Read", size_t{0}, [&] { return usb_read(buffer, size, timeout_second); });
}

size_t USB_Write(void* data, unsigned long size, unsigned int timeout_second) {
    return c_boundary::call("USB_Write", size_t{0}, [&] { return usb_write(data, size, timeout_second); });
}

void USB_Close(void) { c_boundary::run("USB_Close", usb_close); }

bool USB_DeviceOpen(ORVELA_Scanner scanner) {
    return c_boundary::call("USB_DeviceOpen", false, [&] { return usb_device_open(scanner); });
}

void USB_DeviceClose(void) { c_boundary::run("USB_DeviceClose", usb_device_close); }

// An exception from below answers as a failed transfer: LIBUSB_ERROR_OTHER.
int USB_ControlWrite(char* buffer, int bufSize, unsigned int timeout_second) {
    return c_boundary::call("USB_ControlWrite", int{LIBUSB_ERROR_OTHER},
                            [&] { return usb_control_write(buffer, bufSize, timeout_second); });
}

int USB_ControlRead(char* buffer, int bufSize, unsigned int timeout_second) {
    return c_boundary::call("USB_ControlRead", int{LIBUSB_ERROR_OTHER},
                            [&] { return usb_control_read(buffer, bufSize, timeout_second); });
}

}  // extern "C"
