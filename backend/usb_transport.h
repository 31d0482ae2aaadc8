// USB transport: two independent byte channels to a USB-attached scanner on
// libusb-1.0, each with its own libusb context and device handle.
//
//   data channel     USB_Open -> USB_Write / USB_Read ... -> USB_Close
//                    finds the device by vendor ID, product ID and serial
//                    number, claims its scanner interface and moves bytes over
//                    that interface's bulk endpoints.
//   control channel  USB_DeviceOpen -> USB_ControlWrite / USB_ControlRead ...
//                    -> USB_DeviceClose
//                    finds a device of the model table by its manufacturer,
//                    product and serial texts, claims nothing, and exchanges
//                    vendor requests over the default control endpoint.
//
// Every read or write is exactly one libusb transfer of the size asked for; no
// framing, retry or chunking. Time-outs are whole seconds (0 = no limit).
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "backend/usb_handles.h"
#include "common/orvela_types.h"

extern "C" {

// Copy of the record given to the last USB_Open: the endpoints and the
// interface number of the data channel are taken from it.
extern ORVELA_Scanner current_scanner;

bool USB_Open(ORVELA_Scanner scanner);
void USB_Close(void);
// Both return `size` when exactly `size` bytes moved, else 0.
size_t USB_Read(void* buffer, unsigned long size, unsigned int timeout_second);
size_t USB_Write(void* data, unsigned long size, unsigned int timeout_second);

bool USB_DeviceOpen(ORVELA_Scanner scanner);
void USB_DeviceClose(void);
// Bytes moved, a negative libusb error code, or 0 while the channel is closed.
// A write that the device stalls counts as complete (returns bufSize).
int USB_ControlWrite(char* buffer, int bufSize, unsigned int timeout_second);
int USB_ControlRead(char* buffer, int bufSize, unsigned int timeout_second);

}  // extern "C"

// Process-wide state of the two channels (private to the library; declared here
// so that the discovery code and the tests can see it). Each channel is closed
// (all empty) or open; a failed open may leave its context until the close.
extern orvela_usb::Context gContext;               // data channel context
extern orvela_usb::DeviceHandle dev_handle;        // data channel handle
extern orvela_usb::ClaimedInterface data_claim;    // the data channel's claimed interface
extern orvela_usb::Context gDeviceContext;         // control channel context
extern orvela_usb::DeviceHandle devHandle;         // control channel handle

namespace orvela_usb {

// Size of the buffers that string descriptors are read into: at most 31
// characters and a NUL.
constexpr size_t kStringBufferSize = 32;

// Reads string descriptor `index` of an open device as ASCII into a zero-filled
// 32-byte buffer; returns false (buffer left empty) when the index is 0 or the
// read fails. Characters outside printable ASCII arrive as '?', longer texts are
// cut to 31 characters.
bool read_string_descriptor(libusb_device_handle* handle, uint8_t index, char (&out)[kStringBufferSize]);

// Converts a time-out in whole seconds into libusb's milliseconds, saturating
// instead of wrapping for very large values. 0 stays 0 (no limit).
unsigned int timeout_ms(unsigned int timeout_second);

// Longest single bulk transfer of read_until, so that a cancel is seen.
constexpr unsigned kReadSliceMs = 100;

// Reads `size` bytes from the data channel's bulk IN endpoint in transfers of
// at most kReadSliceMs, until all arrived, limit_ms passed, the device ended a
// transfer short or failed, or *cancel (when not null) was seen set between
// two transfers. Returns the bytes that arrived; they stay in the buffer.
size_t read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel);

}  // namespace orvela_usb
