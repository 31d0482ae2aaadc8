#include "tools/discover/usb_report.h"

#include <grp.h>
#include <libusb.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/scanner_description.h"

namespace orvela_discover {
namespace {

std::string node_path(int bus, int address) {
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, address);
    return path;
}

std::string user_name() {
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "uid " + std::to_string(getuid());
}

std::string group_name(gid_t gid) {
    const group* gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

bool in_group(gid_t gid) {
    if (getgid() == gid || getegid() == gid) return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The node's owner, group and mode, with the mend that fits them.
void explain_denied(FILE* out, const std::string& node, int bus, int address) {
    struct stat st {};
    const std::string matched = hwdb_matched(bus, address);
    if (stat(node.c_str(), &st) != 0) {
        fprintf(out, "#   %s: %s\n", node.c_str(), strerror(errno));
    } else {
        const passwd* owner = getpwuid(st.st_uid);
        fprintf(out, "#   %s: owner %s, group %s, mode %04o\n", node.c_str(),
                owner != nullptr ? owner->pw_name : std::to_string(st.st_uid).c_str(),
                group_name(st.st_gid).c_str(), static_cast<unsigned>(st.st_mode & 07777));
    }
    fprintf(out, "#   the package's hwdb entry matched it: %s\n", matched.c_str());
    fprintf(out, "#   mend: ");
    if (matched != "yes") {
        fprintf(out,
                "install the package (its file hwdb.d/20-sane-orvela.hwdb marks the device for the SANE udev "
                "rules, which give the user at the computer access), then\n"
                "#     sudo systemd-hwdb --usr update && sudo udevadm trigger\n"
                "#   and plug the scanner in again; ");
    } else {
        fprintf(out, "udev gives the access to the user logged in at the computer itself; from another session "
                     "(ssh, a service), ");
    }
    const bool group_usable = stat(node.c_str(), &st) == 0 && st.st_gid != 0 && (st.st_mode & 060) == 060;
    if (group_usable && !in_group(st.st_gid)) {
        fprintf(out, "or add %s to group %s (sudo adduser %s %s) and log in again\n", user_name().c_str(),
                group_name(st.st_gid).c_str(), user_name().c_str(), group_name(st.st_gid).c_str());
    } else {
        fprintf(out, "or add %s to group scanner (or lp, whichever the node belongs to) and log in again\n",
                user_name().c_str());
    }
}

}  // namespace

std::string hwdb_matched(int bus, int address) {
    // udev's record of a USB device node: character major 189, minor
    // (bus - 1) * 128 + (address - 1).
    const std::string record =
        "/run/udev/data/c189:" + std::to_string((bus - 1) * 128 + (address - 1));
    std::ifstream in(record);
    if (!in) return "unknown";
    for (std::string line; std::getline(in, line);) {
        if (line == "E:libsane_matched=yes") return "yes";
    }
    return "no";
}

void UsbOnlooker::print(FILE* out, const ORVELA_Scanner* devices, int count) const {
    for (const orvela_usb::ModelDeviceSeen& seen : seen_) {
        const std::string node = node_path(seen.bus, seen.address);
        const bool may_open = access(node.c_str(), R_OK | W_OK) == 0;
        const Scanner_Description model = GetScannerDescription(seen.row);
        const ORVELA_Scanner* record = nullptr;
        for (int i = 0; i < count; ++i) {
            if (!seen.device_uri.empty() && seen.device_uri == devices[i].deviceURI) record = &devices[i];
        }
        fprintf(out, "# %s%s  %s %s  USB %04X:%04X  bus %03d device %03d\n", record != nullptr ? "orvela:" : "",
                record != nullptr ? record->deviceURI : "(not listed: it could not be opened)",
                record != nullptr ? record->brandName : kOrvelaBrandName,
                record != nullptr ? record->modelName : model.modelName, seen.vendor_id, seen.product_id, seen.bus,
                seen.address);
        if (may_open && seen.open_rc == 0) {
            fprintf(out, "#   %s: user %s may open it\n", node.c_str(), user_name().c_str());
        } else if (may_open) {
            fprintf(out, "#   %s: user %s may open it, but opening failed: %s\n", node.c_str(), user_name().c_str(),
                    libusb_error_name(seen.open_rc));
        } else {
            fprintf(out, "#   %s: user %s may not open it\n", node.c_str(), user_name().c_str());
            explain_denied(out, node, seen.bus, seen.address);
        }
    }
}

}  // namespace orvela_discover
