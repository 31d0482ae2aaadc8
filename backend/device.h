// Transport dispatch: the one door through which the command protocol reaches
// the device. It keeps a copy of the open device's record and forwards every
// call to the USB transport or the network transport according to the record's
// `type_io`; it moves bytes only, without framing, retrying or interpreting.
//
//   data channel     Device_Open -> Device_Write / Device_Read ... -> Device_Close
//                    USB bulk endpoints, or TCP to the record's ipaddress:port
//   control channel  Device_ControlOpen -> Device_ControlWrite / Device_ControlRead
//                    ... -> Device_ControlClose
//                    USB control transfers, or TCP to port 9100 of the device
//
// A network device's two channels share the network transport's one socket,
// so at most one of them is open at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/orvela_types.h"

extern "C" {

// Both opens copy the record into the current device first, whatever follows.
bool Device_Open(ORVELA_Device device);
void Device_Close(void);
size_t Device_Read(void* buffer, size_t size, unsigned int timeoutSeconds);
size_t Device_Write(const void* data, size_t size, unsigned int timeoutSeconds);

bool Device_ControlOpen(ORVELA_Device device);
void Device_ControlClose(void);
// A negative USB error code arrives widened to size_t with its sign.
size_t Device_ControlRead(void* buffer, size_t size, int timeoutSeconds);
size_t Device_ControlWrite(const void* data, size_t size, int timeoutSeconds);

// The `type_io` of the current device record (0 before the first open).
IOTYPE CurrentDeviceType(void);

}  // extern "C"

namespace orvela_dispatch {

constexpr int kConnectTimeoutSeconds = 8;
constexpr int kControlPort = 9100;

// Longest wait of read_until between two looks at its cancel flag.
constexpr int kCancelSliceMs = 100;

// Reads `size` bytes of the data channel like Device_Read, but in waits of at
// most kCancelSliceMs, giving up early once *cancel (read atomically; may be
// null) is set, also by a signal handler on this thread. Returns the bytes
// that arrived, kept in the buffer whatever the end: fewer than `size` when
// cancelled, timed out (limit_ms) or when the connection failed.
size_t read_until(void* buffer, size_t size, int64_t limit_ms, const bool* cancel);

}  // namespace orvela_dispatch
