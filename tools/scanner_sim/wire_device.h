// The device's side of a transport, as the TCP server and the USB emulation
// drive it: bytes from the host in, bytes for the host out, and a word on what
// to do meanwhile. The scripted ScannerModel and the trace-playing ReplayModel
// both stand behind it, so either serves any transport.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orvela_sim {

// What the transport should do next.
struct NextAction {
    enum Kind {
        Idle,   // nothing to send until the host sends something
        Send,   // `bytes` bytes can be taken now
        Wait,   // something will be ready after `wait` (delay, or a page being prepared)
        Stall,  // stop sending; `wait` is how long (zero: until the connection ends)
        Drop,   // close the connection now
    } kind = Idle;
    size_t bytes = 0;
    std::chrono::milliseconds wait{0};
};

class WireDevice {
public:
    virtual ~WireDevice() = default;

    // A connection (a TCP connection, or the USB device being attached)
    // begins or ends; pending output is forgotten at the end.
    virtual void connection_opened() = 0;
    virtual void connection_closed() = 0;

    // Bytes the host sent, in whatever pieces they arrived.
    virtual void host_sent(std::span<const uint8_t> bytes) = 0;

    // What the transport should do now; after a Drop the device ignores the
    // connection until connection_closed.
    virtual NextAction next_action() = 0;

    // Bytes ready to send now, copied into `out`; never blocks.
    virtual size_t device_take(std::span<uint8_t> out) = 0;

    // Bytes ready to send now; also retires output that was sent in full.
    virtual size_t pending() = 0;
};

}  // namespace orvela_sim
