// Helpers shared by the USB emulation tests: the support library's log
// capture and device records, and the descriptors a process holds.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <string>

#include "tests/support/device_record.h"
#include "tests/support/io_hooks.h"
#include "tests/support/process.h"

namespace usb_emu {

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
