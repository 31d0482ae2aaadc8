// Helpers shared by the USB emulation tests: capturing the backend's
// informational log, device records, and the descriptors a process holds.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/debugtool.h"
#include "common/orvela_types.h"
#include "tests/support/process.h"

namespace usb_emu {

// Sends the informational log to a file for the lifetime of the object.
class LogCapture {
public:
    LogCapture() : path_(dir_.file("info.log")) {
        saved_ = g_info_file;
        file_ = fopen(path_.c_str(), "we+");
        g_info_file = file_;
    }
    ~LogCapture() {
        g_info_file = saved_;
        if (file_ != nullptr) fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return read_file(path_); }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
        return n;
    }
    // Waits up to `ms` for `s` to appear `times` times.
    bool wait_for(const std::string& s, size_t times = 1, int ms = 3000) const {
        for (int waited = 0; waited < ms; waited += 10) {
            if (count(s) >= times) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return count(s) >= times;
    }
    // Forgets what was logged so far.
    void clear() {
        if (file_ != nullptr && ftruncate(fileno(file_), 0) == 0) rewind(file_);
    }

private:
    TempDir dir_;
    std::string path_;
    FILE* file_ = nullptr;
    FILE* saved_ = nullptr;
};

// A data-channel record as discovery makes it for the usual scanner layout.
inline ORVELA_Scanner usb_record(int vendor, int product, const char* serial, int interface = 0, int in = 0x81,
                                 int out = 0x01) {
    ORVELA_Scanner r{};
    r.vendor_id = vendor;
    r.product_id = product;
    r.interface = interface;
    snprintf(r.serial, sizeof r.serial, "%s", serial);
    r.endpoint_bulkin = in;
    r.endpoint_bulkout = out;
    r.type_io = IOTYPE_USB;
    return r;
}

// "fd -> target" of every open descriptor, for messages.
inline std::string open_descriptor_list() {
    std::string out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
        out += std::string(e->d_name) + " -> " + target + "\n";
    }
    closedir(d);
    return out;
}

inline int open_descriptor_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

}  // namespace usb_emu
