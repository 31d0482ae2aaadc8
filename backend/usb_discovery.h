// USB discovery: finds the scanner functions (and, for outside callers, the
// printer functions) of the attached USB devices of the model table, reads a
// device's IEEE 1284 device ID over the control channel, and watches the bus
// for arrivals and departures of the maker's devices.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <string>

#include "common/orvela_types.h"

extern "C" {

// One record per scanner function (every alternate setting of an interface of
// class 6 or 0xFF) of every device of the model table. *scannerList receives a
// malloc'ed array (free it with free) or null; the result is the count. When
// libusb cannot be initialised, 0 is returned and *scannerList is not written.
int USB_FindScanner(ORVELA_Scanner** scannerList);

// The same walk for printer functions (class 7) of any device of the maker's
// three vendor IDs.
int USB_FindPrinter(ORVELA_Device** scannerList);

// Reads the IEEE 1284 device ID of the device whose manufacturer, product and
// serial strings equal the three texts, as NUL-terminated text into buffer.
// bufSize must be at least 2.
bool getUSB1284DeviceId(const char* vendor, const char* modelname, const char* serial, char* buffer,
                        size_t bufSize);

// Registers hotplug_callback for the maker's three vendor IDs on libusb's
// default context and handles events until orvela_usb::hotplug_request_stop()
// is called. Returns 1 after a failure, 0 after a requested stop.
int HotplugRegist(void);

// Logs one arrival or departure; always returns 0 (stay registered).
int LIBUSB_CALL hotplug_callback(libusb_context* ctx, libusb_device* dev, libusb_hotplug_event event,
                                 void* user_data);

}  // extern "C"

namespace orvela_usb {

// Writes the serial text into a device name: bytes outside [A-Za-z0-9._-] as
// %XX (upper-case hex), so that separators such as ':' and '/' or spaces in a
// serial cannot make two devices' names collide or split a name.
std::string escape_serial(const char* serial);

// A device of the model table as the walk of a search met it: where it sits
// on the bus and whether it could be opened (orvela-discover tells the user
// from it why a scanner is not listed).
struct ModelDeviceSeen {
    int bus = 0;
    int address = 0;
    int vendor_id = 0;
    int product_id = 0;
    int row = -1;            // its model table row
    int open_rc = 0;         // libusb's answer to opening it (LIBUSB_ERROR_ACCESS, ...)
    std::string device_uri;  // the name it is listed under; empty when it could not be opened
};

class SearchObserver {
public:
    virtual ~SearchObserver() = default;
    virtual void model_device(const ModelDeviceSeen& seen) = 0;
};

// USB_FindScanner's walk, told to `observer` (may be null) as it goes; may
// throw std::bad_alloc (USB_FindScanner catches it).
int find_scanners(ORVELA_Scanner** scannerList, SearchObserver* observer);

// Ends the event loop of HotplugRegist (from any thread): the loop wakes up,
// withdraws its registrations, ends the default context and returns 0. A stop
// requested before the loop starts makes the next HotplugRegist return at once
// after its registrations.
void hotplug_request_stop();

// Re-arms HotplugRegist after a stop.
void hotplug_reset_stop();

}  // namespace orvela_usb
