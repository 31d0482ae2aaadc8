#include "backend/usb_discovery.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "backend/usb_transport.h"
#include "backend/usb_walk.h"
#include "common/c_boundary.h"
#include "common/debugtool.h"
#include "common/scanner_description.h"

namespace {

using orvela_usb::ConfigDescriptor;
using orvela_usb::Context;
using orvela_usb::DeviceHandle;
using orvela_usb::DeviceWalk;
using orvela_usb::kStringBufferSize;
using orvela_usb::read_string_descriptor;
using orvela_usb::UsbDevice;
using orvela_usb::WalkStep;

constexpr uint8_t kClassPrinter = 7;
constexpr uint8_t kClassStillImage = 6;
constexpr uint8_t kClassVendor = 0xFF;

// The maker's three vendor IDs, in the order in which the hot-plug loop
// registers them: the third one (carried by no model row: printers of the
// family that have no scanner function), then the vendor ID of 21 model rows,
// then that of 27 rows.
constexpr int kMakerVendorIds[3] = {kOrvelaThirdVendorId, kOrvelaSecondVendorId, kOrvelaVendorId};

bool is_maker_vendor(int vendor_id) {
    for (int id : kMakerVendorIds) {
        if (id == vendor_id) return true;
    }
    return false;
}

// Copies a zero-filled 32-byte device text into a record field of 32 bytes.
void copy_text(char (&field)[32], const char (&text)[kStringBufferSize]) {
    static_assert(sizeof field == kStringBufferSize);
    memcpy(field, text, sizeof field);
    field[sizeof field - 1] = '\0';
}

// Overwrites the record's endpoint fields with the last bulk IN and the last
// bulk OUT endpoint of one alternate setting; a direction without a bulk
// endpoint keeps what the field held.
void pick_bulk_endpoints(const libusb_interface_descriptor& setting, ORVELA_Scanner& record) {
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        if ((endpoint.bEndpointAddress & 0x80) != 0) {
            record.endpoint_bulkin = endpoint.bEndpointAddress;
        } else {
            record.endpoint_bulkout = endpoint.bEndpointAddress;
        }
    }
}

// A growing malloc'ed array of whole records (the caller frees the array it is
// handed with free); released here unless handed over.
class RecordArray {
public:
    RecordArray() = default;
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;
    ~RecordArray() { free(items_); }

    // Appends a copy; false (array unchanged) when memory runs out.
    bool append(const ORVELA_Scanner& record) {
        void* grown = realloc(items_, sizeof(ORVELA_Scanner) * static_cast<size_t>(count_ + 1));
        if (grown == nullptr) return false;
        items_ = static_cast<ORVELA_Scanner*>(grown);
        items_[count_++] = record;
        return true;
    }
    // Gives the array to *out (null when it holds no record); returns the count.
    int hand_over(ORVELA_Scanner** out) {
        *out = count_ > 0 ? std::exchange(items_, nullptr) : nullptr;
        return count_;
    }

private:
    ORVELA_Scanner* items_ = nullptr;
    int count_ = 0;
};

enum class Walk { Scanners, Printers };

// Records the functions of one device's active configuration; `record` holds
// the device's texts and IDs and is carried from one function to the next.
// Returns false when the array could not grow.
bool record_functions(const libusb_config_descriptor& config, const libusb_device_descriptor& descriptor,
                      const Scanner_Description* row, Walk walk, ORVELA_Scanner& record, RecordArray& out) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& iface = config.interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = iface.altsetting[a];
            const uint8_t cls = setting.bInterfaceClass;
            const bool scanner_class = cls == kClassStillImage || cls == kClassVendor;
            const bool wanted = walk == Walk::Scanners ? scanner_class : cls == kClassPrinter;
            if (!scanner_class && cls != kClassPrinter) {
                DBG_INFO("It is not a printer or scannner!\n");
                continue;
            }
            if (!wanted) {
                if (walk == Walk::Scanners) {
                    DBG_INFO(" found orvela Printer vid=0x%04x, pid=0x%04x, interface=%d\n", descriptor.idVendor,
                             descriptor.idProduct, i);
                } else {
                    DBG_INFO(" found orvela scanner vid=0x%04x, pid=0x%04x, interface=%d\n", descriptor.idVendor,
                             descriptor.idProduct, i);
                }
                continue;
            }
            if (walk == Walk::Scanners) {
                DBG_INFO(" found orvela Scanner vid=0x%04x, pid=0x%04x, interface=%d\n", descriptor.idVendor,
                         descriptor.idProduct, i);
            } else {
                DBG_INFO(" found orvela Printer vid=0x%04x, pid=0x%04x, interface=%d\n", descriptor.idVendor,
                         descriptor.idProduct, i);
            }
            record.interface = i;
            record.vendor_id = descriptor.idVendor;
            record.product_id = descriptor.idProduct;
            if (row != nullptr) {
                record.isSupportADF = row->isSupportADF;
                record.isRightRearBP = row->isRightRearBP;
            }
            pick_bulk_endpoints(setting, record);
            DBG_INFO("endpoint_bulkin=0x%02X, endpoint_bulkout=0x%02X\n", record.endpoint_bulkin,
                     record.endpoint_bulkout);
            record.type_io = IOTYPE_USB;
            if (!out.append(record)) {
                DBG_INFO("Out of memory for the device list\n");
                return false;
            }
        }
    }
    return true;
}

// Describes one walked device of the maker and records its functions; Stop
// when the array could not grow.
WalkStep record_device(const UsbDevice& d, Walk walk, RecordArray& found,
                       orvela_usb::SearchObserver* observer = nullptr) {
    const libusb_device_descriptor& descriptor = d.descriptor;
    Scanner_Description row{};
    const Scanner_Description* row_ptr = nullptr;
    orvela_usb::ModelDeviceSeen seen;
    if (walk == Walk::Scanners) {
        const int index = MatchUSBProduct(descriptor.idVendor, descriptor.idProduct);
        if (index == -1) return WalkStep::Next;
        seen = {libusb_get_bus_number(d.device), libusb_get_device_address(d.device), descriptor.idVendor,
                descriptor.idProduct, index, 0, {}};
        DBG_INFO("Found orvela machine!\n");
        row = GetScannerDescription(index);
        row_ptr = &row;
    } else {
        if (!is_maker_vendor(descriptor.idVendor)) return WalkStep::Next;
        DBG_INFO("Found orvela machine!\n");
    }

    ORVELA_Scanner record{};
    const ConfigDescriptor config = d.active_config();
    if (config == nullptr) return WalkStep::Next;

    char serial[kStringBufferSize];
    char manufacturer[kStringBufferSize];
    char product[kStringBufferSize];
    {
        int rc = 0;
        const DeviceHandle handle = d.open(&rc);
        if (handle == nullptr) {
            DBG_INFO("Fail to open usb device, ret=%d!\n", rc);
            seen.open_rc = rc;
            if (observer != nullptr) observer->model_device(seen);
            return WalkStep::Next;
        }
        read_string_descriptor(handle.get(), descriptor.iSerialNumber, serial);
        read_string_descriptor(handle.get(), descriptor.iManufacturer, manufacturer);
        read_string_descriptor(handle.get(), descriptor.iProduct, product);
    }
    copy_text(record.serial, serial);
    copy_text(record.brandName, manufacturer);
    copy_text(record.modelName, product);
    snprintf(record.deviceURI, sizeof record.deviceURI, "usb://%04X:%04X:%s", descriptor.idVendor,
             descriptor.idProduct, orvela_usb::escape_serial(record.serial).c_str());
    DBG_INFO("%s\n", record.deviceURI);

    const bool grown = record_functions(*config, descriptor, row_ptr, walk, record, found);
    seen.device_uri = record.deviceURI;
    if (observer != nullptr) observer->model_device(seen);
    return grown ? WalkStep::Next : WalkStep::Stop;
}

// The walk shared by USB_FindScanner and USB_FindPrinter.
int find_functions(ORVELA_Scanner** list_out, Walk walk, orvela_usb::SearchObserver* observer = nullptr) {
    DBG_INFO("Run into find usb devices.\n");
    RecordArray found;
    {
        const Context context = orvela_usb::new_context();
        if (context == nullptr) {
            DBG_INFO("libusb_init Error\n");
            return 0;
        }
        *list_out = nullptr;  // from here on the caller's pointer is written, also when the walk throws
        const DeviceWalk devices(context.get());
        devices.each([&](const UsbDevice& d) { return record_device(d, walk, found, observer); });
    }
    DBG_INFO("End find usb devices.\n");
    return found.hand_over(list_out);
}

// State shared between the hot-plug loop and the thread that asks it to stop.
std::mutex g_hotplug_mutex;
bool g_hotplug_stop = false;
bool g_hotplug_loop_active = false;

}  // namespace

namespace orvela_usb {

std::string escape_serial(const char* serial) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char* p = serial; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (safe) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int find_scanners(ORVELA_Scanner** scannerList, SearchObserver* observer) {
    if (scannerList == nullptr) return 0;
    return find_functions(scannerList, Walk::Scanners, observer);
}

void hotplug_request_stop() {
    std::lock_guard<std::mutex> lock(g_hotplug_mutex);
    g_hotplug_stop = true;
    // Only while the loop owns the default context: it ends that context only
    // after it has seen the stop under this lock.
    if (g_hotplug_loop_active) libusb_interrupt_event_handler(nullptr);
}

void hotplug_reset_stop() {
    std::lock_guard<std::mutex> lock(g_hotplug_mutex);
    g_hotplug_stop = false;
}

}  // namespace orvela_usb

extern "C" {

static int USB_FindScanner_body(ORVELA_Scanner** scannerList) {
    if (scannerList == nullptr) return 0;
    return find_functions(scannerList, Walk::Scanners);
}

static int USB_FindPrinter_body(ORVELA_Device** scannerList) {
    if (scannerList == nullptr) return 0;
    return find_functions(scannerList, Walk::Printers);
}

static bool getUSB1284DeviceId_body(const char* vendor, const char* modelname, const char* serial, char* buffer,
                        size_t bufSize) {
    if (buffer == nullptr || bufSize < 2) return false;
    ORVELA_Scanner record{};
    snprintf(record.brandName, sizeof record.brandName, "%s", vendor != nullptr ? vendor : "");
    snprintf(record.modelName, sizeof record.modelName, "%s", modelname != nullptr ? modelname : "");
    snprintf(record.serial, sizeof record.serial, "%s", serial != nullptr ? serial : "");
    if (!USB_DeviceOpen(record)) {
        // A failed open can leave the control channel's context in place.
        USB_DeviceClose();
        return false;
    }

    // The transfer never runs past the buffer: at most its size, and at most
    // what one control transfer can carry.
    const uint16_t length = bufSize > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(bufSize);
    const int received = libusb_control_transfer(devHandle.get(), 0xA1, 0, 1, 0,
                                                 reinterpret_cast<unsigned char*>(buffer), length, 3000);
    if (received < 0) {
        DBG_INFO("libusb: get device id error:%d\n", received);
        buffer[0] = 0;
        USB_DeviceClose();
        return false;
    }

    // The reply starts with its length in two bytes, high byte first; some
    // devices send it low byte first. Never take more than the buffer holds
    // after those two bytes, nor more than the device actually sent.
    const size_t limit = bufSize - 2;
    size_t text_length = 0;
    if (received >= 2) {
        const auto b0 = static_cast<unsigned char>(buffer[0]);
        const auto b1 = static_cast<unsigned char>(buffer[1]);
        text_length = (static_cast<size_t>(b0) << 8) | b1;
        if (text_length > limit) text_length = (static_cast<size_t>(b1) << 8) | b0;
        if (text_length > limit) text_length = limit;
        const size_t sent = static_cast<size_t>(received) - 2;
        if (text_length > sent) text_length = sent;
        memmove(buffer, buffer + 2, text_length);
    }
    buffer[text_length] = '\0';
    DBG_INFO("%s\n", buffer);
    USB_DeviceClose();
    return true;
}

static int LIBUSB_CALL hotplug_callback_body(libusb_context* ctx, libusb_device* dev, libusb_hotplug_event event,
                                 void* user_data) {
    (void)ctx;
    (void)user_data;
    libusb_device_descriptor descriptor{};
    if (dev == nullptr || libusb_get_device_descriptor(dev, &descriptor) != 0) {
        DBG_INFO("Error getting device descriptor\n");
        return 0;
    }
    DBG_INFO("Device: %04x:%04x\n", descriptor.idVendor, descriptor.idProduct);
    if (MatchUSBProduct(descriptor.idVendor, descriptor.idProduct) != -1) {
        DBG_INFO("It is a Orvela printer, and supports Daemon.\n");
        const long reference = static_cast<long>(reinterpret_cast<intptr_t>(dev));
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            DBG_INFO("Device attached, %ld!\n", reference);
        } else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
            DBG_INFO("Device detached, %ld!\n", reference);
        }
    }
    return 0;
}

static int HotplugRegist_body(void) {
    DBG_INFO("Enter in Hotplug_register\n");
    int rc = libusb_init(nullptr);
    if (rc < 0) {
        DBG_INFO("failed to initialise libusb: %s\n", libusb_error_name(rc));
        return 1;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
        DBG_INFO("Hotplug capabilities are not supported on this platform\n");
        libusb_exit(nullptr);
        return 1;
    }

    libusb_hotplug_callback_handle handles[3] = {};
    int registered = 0;
    for (int vendor : kMakerVendorIds) {
        rc = libusb_hotplug_register_callback(
            nullptr,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, vendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, hotplug_callback,
            nullptr, &handles[registered]);
        if (rc != LIBUSB_SUCCESS) {
            DBG_INFO("Error registering callback 0\n");
            // Withdraw what was registered: the default context may outlive
            // this call when the host process uses it too.
            for (int i = 0; i < registered; ++i) libusb_hotplug_deregister_callback(nullptr, handles[i]);
            libusb_exit(nullptr);
            return 1;
        }
        ++registered;
    }

    {
        std::lock_guard<std::mutex> lock(g_hotplug_mutex);
        g_hotplug_loop_active = true;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_hotplug_mutex);
            if (g_hotplug_stop) {
                g_hotplug_loop_active = false;
                break;
            }
        }
        rc = libusb_handle_events(nullptr);
        // LIBUSB_ERROR_INTERRUPTED is the wake-up of a requested stop.
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            DBG_INFO("libusb_handle_events() failed: %s\n", libusb_error_name(rc));
        }
    }

    for (int i = 0; i < registered; ++i) libusb_hotplug_deregister_callback(nullptr, handles[i]);
    libusb_exit(nullptr);
    return 0;
}

int USB_FindScanner(ORVELA_Scanner** scannerList) {
    return c_boundary::call("USB_FindScanner", 0, [&] { return USB_FindScanner_body(scannerList); });
}

int USB_FindPrinter(ORVELA_Device** scannerList) {
    return c_boundary::call("USB_FindPrinter", 0, [&] { return USB_FindPrinter_body(scannerList); });
}

bool getUSB1284DeviceId(const char* vendor, const char* modelname, const char* serial, char* buffer,
                        size_t bufSize) {
    return c_boundary::call("getUSB1284DeviceId", false,
                            [&] { return getUSB1284DeviceId_body(vendor, modelname, serial, buffer, bufSize); });
}

int LIBUSB_CALL hotplug_callback(libusb_context* ctx, libusb_device* dev, libusb_hotplug_event event,
                                 void* user_data) {
    return c_boundary::call("hotplug_callback", 0, [&] { return hotplug_callback_body(ctx, dev, event, user_data); });
}

int HotplugRegist(void) { return c_boundary::call("HotplugRegist", 1, HotplugRegist_body); }

}  // extern "C"
