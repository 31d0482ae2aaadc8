#include "backend/usb_transport.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "backend/io_clock.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"

extern "C" {
ORVELA_Scanner current_scanner = {};
}

libusb_context* gContext = nullptr;
libusb_device_handle* dev_handle = nullptr;
libusb_context* gDeviceContext = nullptr;
libusb_device_handle* devHandle = nullptr;

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
        const int result = libusb_bulk_transfer(dev_handle, static_cast<unsigned char>(current_scanner.endpoint_bulkin & 0xFF),
                                                bytes + received, static_cast<int>(size - received), &moved, slice);
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

using orvela_usb::kStringBufferSize;
using orvela_usb::read_string_descriptor;
using orvela_usb::timeout_ms;

// Text of the current errno, for the descriptor-read message.
const char* errno_text() {
    static thread_local char text[128];
    const int saved = errno;
    const char* s = strerror_r(saved, text, sizeof text);
    return s != nullptr ? s : "";
}

// Compares a device string with a record's text over the 32 bytes of the field.
bool same_text(const char* record_field, const char (&device_text)[kStringBufferSize]) {
    return strncmp(record_field, device_text, kStringBufferSize) == 0;
}

// Ends whatever a previous data-channel open left behind, so that opening
// again without a close leaks neither the handle nor the context.
void release_data_channel() {
    if (dev_handle != nullptr) {
        libusb_release_interface(dev_handle, current_scanner.interface);
        libusb_close(dev_handle);
        dev_handle = nullptr;
    }
    if (gContext != nullptr) {
        libusb_exit(gContext);
        gContext = nullptr;
    }
}

void release_control_channel() {
    if (devHandle != nullptr) {
        libusb_close(devHandle);
        devHandle = nullptr;
    }
    if (gDeviceContext != nullptr) {
        libusb_exit(gDeviceContext);
        gDeviceContext = nullptr;
    }
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
    result = libusb_bulk_transfer(dev_handle, static_cast<unsigned char>(endpoint & 0xFF),
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

}  // namespace

extern "C" {

bool USB_Open(ORVELA_Scanner scanner) {
    release_data_channel();
    current_scanner = scanner;
    DBG_INFO("Run into USB_Open\n");

    if (libusb_init(&gContext) != 0) {
        gContext = nullptr;
        DBG_INFO("libusb_init Error\n");
        return false;
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(gContext, &list);
    if (count < 0) {
        DBG_INFO("libusb_get_device_list Get Device Error\n");
        return false;
    }

    bool opened = false;
    for (ssize_t i = 0; i < count && !opened; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) {
            DBG_INFO(" libusb_get_device_descriptor error!, errstr =%s\n", errno_text());
            continue;
        }
        if (descriptor.idVendor != scanner.vendor_id || descriptor.idProduct != scanner.product_id) continue;

        char serial[kStringBufferSize];
        dev_handle = nullptr;
        if (libusb_open(device, &dev_handle) != 0) dev_handle = nullptr;
        if (dev_handle == nullptr || !read_string_descriptor(dev_handle, descriptor.iSerialNumber, serial) ||
            !same_text(scanner.serial, serial)) {
            DBG_INFO("It's not match device seiral number\n");
            if (dev_handle != nullptr) libusb_close(dev_handle);
            dev_handle = nullptr;
            continue;
        }
        if (libusb_claim_interface(dev_handle, scanner.interface) != 0) {
            DBG_INFO("libusb_claim_interface Get Device Error\n");
            libusb_close(dev_handle);
            dev_handle = nullptr;
            continue;
        }
        DBG_INFO("Open device OK!\n");
        opened = true;
    }

    libusb_free_device_list(list, 1);
    DBG_INFO("USB_Open End\n");
    return opened;
}

size_t USB_Read(void* buffer, unsigned long size, unsigned int timeout_second) {
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

size_t USB_Write(void* data, unsigned long size, unsigned int timeout_second) {
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

void USB_Close(void) {
    DBG_INFO("Run into USB_Close\n");
    if (dev_handle != nullptr) {
        libusb_release_interface(dev_handle, current_scanner.interface);
        libusb_close(dev_handle);
    } else {
        DBG_INFO("dev_handle is NULL!\n");
    }
    if (gContext != nullptr) libusb_exit(gContext);
    dev_handle = nullptr;
    gContext = nullptr;
    DBG_INFO("Close success\n");
}

bool USB_DeviceOpen(ORVELA_Scanner scanner) {
    release_control_channel();
    DBG_INFO("Run into USB_DeviceOpen.\n");
    if (libusb_init(&gDeviceContext) != 0) {
        gDeviceContext = nullptr;
        DBG_INFO("libusb_init Error\n");
        return false;
    }

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(gDeviceContext, &list);
    if (count < 0) {
        DBG_INFO("libusb_get_device_list Get Device Error\n");
        DBG_INFO("cnt=%d\n", static_cast<int>(count));
        return false;
    }
    DBG_INFO("cnt=%d\n", static_cast<int>(count));

    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) {
            DBG_INFO(" libusb_get_device_descriptor error!, errstr =%s\n", errno_text());
            libusb_free_device_list(list, 1);
            return false;
        }
        if (MatchUSBProduct(descriptor.idVendor, descriptor.idProduct) == -1) continue;
        DBG_INFO("Found orvela machine!\n");

        devHandle = nullptr;
        const int rc = libusb_open(device, &devHandle);
        if (rc != 0) {
            devHandle = nullptr;
            DBG_INFO("Fail to open usb device, ret=%d!\n", rc);
            continue;
        }
        char serial[kStringBufferSize];
        char manufacturer[kStringBufferSize];
        char product[kStringBufferSize];
        read_string_descriptor(devHandle, descriptor.iSerialNumber, serial);
        read_string_descriptor(devHandle, descriptor.iManufacturer, manufacturer);
        read_string_descriptor(devHandle, descriptor.iProduct, product);
        if (same_text(scanner.brandName, manufacturer) && same_text(scanner.modelName, product) &&
            same_text(scanner.serial, serial)) {
            DBG_INFO("Success to open usb device!\n");
            libusb_free_device_list(list, 1);
            return true;
        }
        libusb_close(devHandle);
        devHandle = nullptr;
    }
    libusb_free_device_list(list, 1);
    return false;
}

void USB_DeviceClose(void) {
    if (devHandle != nullptr) {
        DBG_INFO("USB_DeviceClose\n");
        libusb_close(devHandle);
    } else {
        DBG_INFO("dev_handle is NULL!\n");
    }
    if (gDeviceContext != nullptr) libusb_exit(gDeviceContext);
    devHandle = nullptr;
    gDeviceContext = nullptr;
}

int USB_ControlWrite(char* buffer, int bufSize, unsigned int timeout_second) {
    if (devHandle == nullptr) return 0;
    if (bufSize < 0 || (buffer == nullptr && bufSize != 0)) return LIBUSB_ERROR_INVALID_PARAM;
    const int rc = libusb_control_transfer(devHandle, 0x41, 0x4D, 0x3C2B, 0, reinterpret_cast<unsigned char*>(buffer),
                                           control_length(bufSize), timeout_ms(timeout_second));
    if (rc >= 0) return rc;
    if (rc == LIBUSB_ERROR_PIPE) return bufSize;
    DBG_INFO("libusb: control write error:%d\n", rc);
    if (bufSize > 0) buffer[0] = 0;
    return rc;
}

int USB_ControlRead(char* buffer, int bufSize, unsigned int timeout_second) {
    if (devHandle == nullptr) return 0;
    if (bufSize < 0 || (buffer == nullptr && bufSize != 0)) return LIBUSB_ERROR_INVALID_PARAM;
    const int rc = libusb_control_transfer(devHandle, 0xC1, 0, 0, 0, reinterpret_cast<unsigned char*>(buffer),
                                           control_length(bufSize), timeout_ms(timeout_second));
    if (rc < 0) {
        DBG_INFO("libusb: control read error:%d\n", rc);
        if (bufSize > 0) buffer[0] = 0;
        return rc;
    }
    DBG_INFO("libusb: control read success:%d\n", rc);
    return rc;
}

}  // extern "C"
