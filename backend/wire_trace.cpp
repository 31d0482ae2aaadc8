#include "backend/wire_trace.h"

#include <arpa/inet.h>
#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "backend/held_calls.h"
#include "backend/io_clock.h"
#include "backend/trace_file.h"
#include "backend/trace_session.h"
#include "backend/trace_writer.h"
#include "common/debugtool.h"
#include "common/orvela_config.h"

namespace wire_trace {

TraceSession* g_device = nullptr;
TraceSession* g_search = nullptr;

namespace {

struct Channel {
    TraceOutput out;
    TraceSession session{out};
};
Channel g_search_channel;

// The open device's trace (null while none is written).
struct OpenDevice {
    DeviceTrace* trace = nullptr;
    // A process that ends with the device open still leaves its calls.
    ~OpenDevice() {
        if (trace == nullptr) return;
        trace->held.replay(trace->session);
        delete trace;
    }
};
OpenDevice g_open;

// A trace file this process created, by what it traces: a later session of
// the same device (or a later search) goes on in it rather than in a new one.
struct KnownFile {
    std::string key;
    std::string path;
    dev_t device;
    ino_t inode;
};
std::vector<KnownFile> g_known;

bool g_stopped = false;        // a trace file refused data: no more tracing
bool g_warned_directory = false;
bool g_search_to_file = false;  // trace_searches_to() chose the search's file
int g_searches = 0;

// Reopens the file this process made for `key`, when it is still the same
// file (a name that now holds another file or a symlink is not followed).
int reopen_known(const KnownFile& known) {
    const int fd = open(known.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != known.device || st.st_ino != known.inode) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens the channel's file for `key` in orvela.conf's trace directory: the
// one made earlier for it, else a new one that starts with `first_line`.
bool open_channel(TraceOutput& out, const std::string& key, const std::string& first_line) {
    const std::string& directory = orvela_config::current().trace_directory;
    if (directory.empty() || g_stopped) return false;
    for (const KnownFile& known : g_known) {
        if (known.key != key) continue;
        const int fd = reopen_known(known);
        if (fd >= 0) return out.attach(fd, known.path);
    }
    const std::string base =
        program_name() + "-" + std::to_string(static_cast<long>(getpid())) + "-" + file_name_part(key);
    std::string path;
    const int fd = create_trace_file(directory, base, &path);
    if (fd < 0) {
        const int code = errno;
        if (!g_warned_directory)
            DBG_WARN("Wire trace: no file can be created in %s (%s); going on without a trace\n", directory.c_str(),
                     strerror(code));
        g_warned_directory = true;
        return false;
    }
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (!out.attach(fd, path)) return false;
    if (known) g_known.push_back({key, path, st.st_dev, st.st_ino});  // may throw; the file is attached
    DBG_INFO("Wire trace: %s\n", path.c_str());
    out.put(first_line.data(), first_line.size());
    return true;
}

// After each event: a file that refused data ends all tracing (it has warned).
void check(Channel& channel, TraceSession*& active) {
    if (!channel.out.failed()) return;
    g_stopped = true;
    active = nullptr;
    channel.out.close();
}

std::string first_line(const std::string& what) {
    return "orvela-trace 1 " + program_name() + " pid " + std::to_string(static_cast<long>(getpid())) + " " + what +
           "\n";
}

// Ends the open device's trace: written out here (`now`) or on the writer
// thread.
void end_device_trace(bool now) {
    DeviceTrace* trace = g_open.trace;
    g_open.trace = nullptr;
    g_device = nullptr;
    if (trace == nullptr) return;
    if (!now) {
        write_out_later(trace);
        return;
    }
    trace->held.replay(trace->session);
    trace->out.close();
    if (trace->out.failed()) g_stopped = true;
    delete trace;
}

void hold(HeldCalls::Kind kind, const void* data, size_t size, size_t result) {
    DeviceTrace& trace = *g_open.trace;
    if (trace.held.add(kind, orvela_io::now_ms(), data, size, result)) return;
    // No room for more: what is held goes out now, and this call after it.
    trace.held.replay(trace.session);
    name_call(trace.session, kind, data, size, result);
    if (trace.out.failed()) {
        g_stopped = true;
        end_device_trace(true);
    }
}

}  // namespace

std::string program_name() {
    std::string name;
#ifdef __GLIBC__
    if (program_invocation_short_name != nullptr) name = program_invocation_short_name;
#endif
    if (name.empty()) {
        std::ifstream comm("/proc/self/comm");
        std::getline(comm, name);
    }
    return file_name_part(name.empty() ? std::string("unknown") : name, 32);
}

void device_opened(const ORVELA_Device& device, bool ok, int usb_bus, int usb_address) {
    try {
        end_device_trace(true);
        // The last session's file is complete before this one may append to it.
        if (!wait_written()) g_stopped = true;
        const std::string uri(device.deviceURI, strnlen(device.deviceURI, sizeof device.deviceURI));
        const std::string key = uri.empty() ? std::string(device.ipaddress) : uri;
        if (g_stopped || orvela_config::current().trace_directory.empty()) return;
        auto* trace = new (std::nothrow) DeviceTrace;
        if (trace == nullptr) return;
        g_open.trace = trace;
        if (!open_channel(trace->out, key, first_line("device " + key))) {
            end_device_trace(true);
            return;
        }
        char args[96];
        if (device.type_io == IOTYPE_USB)
            snprintf(args, sizeof args, "usb %03d:%03d %04x:%04x", usb_bus, usb_address, device.vendor_id & 0xFFFF,
                     device.product_id & 0xFFFF);
        else
            snprintf(args, sizeof args, "net %.63s:%d", device.ipaddress, device.port);
        TraceSession& session = trace->session;
        session.restart();
        if (device.modelName[0] != '\0') {
            char about[128];
            snprintf(about, sizeof about, "%.31s%s%.31s", device.modelName,
                     device.serial[0] != '\0' ? " serial " : "", device.serial);
            session.comment(about);
        }
        session.opened(args, ok);
        g_device = &session;
        // A failed open ends the session: the close that follows is nobody's.
        if (!ok || trace->out.failed()) end_device_trace(true);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        DBG_WARN("Wire trace: out of memory; going on without a trace\n");
        end_device_trace(true);
    }
}

void device_closing() {
    if (g_device == nullptr) return;
    hold(HeldCalls::Kind::Close, nullptr, 0, 0);
    end_device_trace(false);
}

void device_wrote_slow(const void* data, size_t size, size_t moved) {
    hold(HeldCalls::Kind::Write, data, size, moved);
}

void device_read_slow(const void* data, size_t asked, size_t got) { hold(HeldCalls::Kind::Read, data, asked, got); }

void control_wrote_slow(const void* data, size_t size, size_t moved) {
    hold(HeldCalls::Kind::ControlWrite, data, size, moved);
}

void control_read_slow(const void* data, size_t asked, size_t got) {
    hold(HeldCalls::Kind::ControlRead, data, asked, got);
}

SearchTrace::SearchTrace() {
    try {
        ++g_searches;
        if (!g_search_to_file && !open_channel(g_search_channel.out, "search", first_line("search"))) return;
        if (!g_search_channel.out.is_open()) return;
        TraceSession& session = g_search_channel.session;
        session.restart();
        const std::string title = "device search " + std::to_string(g_searches);
        session.comment(title.c_str());
        g_search = &session;
        check(g_search_channel, g_search);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        g_search = nullptr;
    }
}

SearchTrace::~SearchTrace() {
    if (g_search == nullptr) return;
    g_search = nullptr;
    if (g_search_to_file)
        g_search_channel.out.flush();
    else
        g_search_channel.out.close();
    if (g_search_channel.out.failed()) {
        g_stopped = true;
        g_search_channel.out.close();
    }
}

void snmp_slow(bool sent, const sockaddr_in& peer, const void* data, size_t size) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    char text[INET_ADDRSTRLEN + 8];
    snprintf(text, sizeof text, "%s:%u", address, static_cast<unsigned>(ntohs(peer.sin_port)));
    g_search->snmp(sent, text, data, size);
    check(g_search_channel, g_search);
}

bool trace_searches_to(const char* path, std::string* why) {
    try {
        stop_search_trace();
        const int fd = create_exclusive(path);
        if (fd < 0) {
            const int code = errno;
            if (why != nullptr) *why = code == EEXIST ? "the file exists already" : strerror(code);
            return false;
        }
        if (!g_search_channel.out.attach(fd, path)) {
            if (why != nullptr) *why = "out of memory";
            return false;
        }
        const std::string line = first_line("search");
        g_search_channel.out.put(line.data(), line.size());
        g_search_to_file = true;
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        if (why != nullptr) why->clear();
        return false;
    }
}

void stop_search_trace() {
    g_search = nullptr;
    g_search_to_file = false;
    g_search_channel.out.close();
}

}  // namespace wire_trace
