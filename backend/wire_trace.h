// The wire trace of this process: with `trace DIRECTORY` in orvela.conf, each
// opened device gets one file there (PROGRAM-PID-DEVICE.trace) holding every
// byte that crossed its transport, and the device searches one more
// (PROGRAM-PID-search.trace) holding their SNMP datagrams. The format is that
// of tools/scanner_sim/trace_format.md; TraceSession names the bytes.
//
// The transports know nothing of this: the dispatch door (device.cpp) and the
// search (net_search.cpp) each call the hooks below. While no trace is
// written a hook is one test of a pointer; nothing is formatted or allocated.
// While one is, a device's calls are held raw and named after it closes, on
// a thread of its own (HeldCalls, trace_writer.h), so that writing the trace
// does not hold up the page.
// A directory that cannot be written costs one warning and the scan goes on;
// a file that stops taking data ends the tracing of the process with one
// warning. Nothing here throws, except the unwinding of a thread that the
// host cancels inside a write (hence no noexcept: that must pass).
//
// The hooks expect what the dispatch door guarantees: one device open at a
// time and its calls one after the other.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "common/orvela_types.h"

namespace wire_trace {

class TraceSession;

// Not null while the open device's (or the running search's) trace is written.
extern TraceSession* g_device;
extern TraceSession* g_search;

// Data channel: after each open (with the USB bus and device numbers of the
// opened device; 0 when not known), before each close, after each transfer
// with what the transport returned.
void device_opened(const ORVELA_Device& device, bool ok, int usb_bus, int usb_address);
void device_closing();
void device_wrote_slow(const void* data, size_t size, size_t moved);
void device_read_slow(const void* data, size_t asked, size_t got);
void control_wrote_slow(const void* data, size_t size, size_t moved);
void control_read_slow(const void* data, size_t asked, size_t got);

inline void device_wrote(const void* data, size_t size, size_t moved) {
    if (g_device != nullptr) device_wrote_slow(data, size, moved);
}
inline void device_read(const void* data, size_t asked, size_t got) {
    if (g_device != nullptr) device_read_slow(data, asked, got);
}
inline void control_wrote(const void* data, size_t size, size_t moved) {
    if (g_device != nullptr) control_wrote_slow(data, size, moved);
}
inline void control_read(const void* data, size_t asked, size_t got) {
    if (g_device != nullptr) control_read_slow(data, asked, got);
}

// Device searches. A search holds a SearchTrace for its duration; the
// datagrams it sends and receives go to the search trace while one is open.
class SearchTrace {
public:
    SearchTrace();
    ~SearchTrace();
    SearchTrace(const SearchTrace&) = delete;
    SearchTrace& operator=(const SearchTrace&) = delete;
};
void snmp_slow(bool sent, const sockaddr_in& peer, const void* data, size_t size);
inline void snmp_sent(const sockaddr_in& to, const void* data, size_t size) {
    if (g_search != nullptr) snmp_slow(true, to, data, size);
}
inline void snmp_received(const sockaddr_in& from, const void* data, size_t size) {
    if (g_search != nullptr) snmp_slow(false, from, data, size);
}

// Sends the trace of every later search of this process to the new file
// `path` (created like every trace file: 0600, never over an existing file or
// through a symlink) instead of orvela.conf's directory; each search is one
// part of it, its times counted from the search's start. False, with the
// reason in `why`, when the file cannot be created. The file is written out
// at the end of each search and closed by stop_search_trace() (or at exit).
bool trace_searches_to(const char* path, std::string* why);
void stop_search_trace();

// The program name that trace file names start with (made safe for a file name).
std::string program_name();

}  // namespace wire_trace
