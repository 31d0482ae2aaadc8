// Writes the udev hardware-database file that marks the supported USB
// scanners for the SANE udev rules: one "usb:vXXXXpYYYY*" match with
// "libsane_matched=yes" per model-table row, so that systemd gives the user at
// the seat access to the device node (uaccess) and nobody needs root to scan.
//
// Only the model table counts: USB discovery opens nothing else. The third
// vendor ID (printer functions only) is deliberately left out, since no scanner
// function of it is ever used and marking it would open the printers' nodes.
//
// usage: gen_hwdb OUTPUT_FILE
#include <cstdio>
#include <set>
#include <utility>

#include "common/scanner_description.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_FILE\n", argv[0]);
        return 2;
    }
    FILE* out = fopen(argv[1], "we");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    fprintf(out,
            "# USB scanners served by the SANE backend \"orvela\" (libsane-orvela).\n"
            "# Generated from the backend's model table at build time; do not edit.\n"
            "# The SANE udev rules give the logged-in user access to matched devices.\n");
    std::set<std::pair<int, int>> seen;
    for (int i = 0; scanner_description_list[i].productID != 0; ++i) {
        const Scanner_Description& row = scanner_description_list[i];
        if (!seen.emplace(row.vendorID, row.productID).second) continue;
        fprintf(out, "\n# %s\nusb:v%04Xp%04X*\n libsane_matched=yes\n", row.modelName, row.vendorID, row.productID);
    }
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
