// The USB half of orvela-discover: watches the backend's own USB walk and
// tells, for each scanner of the model table on the bus, its SANE name and
// whether the user who runs the tool may open its device node; when not, why
// (the node's owner, group and mode, whether the package's hwdb entry matched
// the device) and the usual mend.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "backend/usb_discovery.h"
#include "common/orvela_types.h"

namespace orvela_discover {

class UsbOnlooker : public orvela_usb::SearchObserver {
public:
    void model_device(const orvela_usb::ModelDeviceSeen& seen) override { seen_.push_back(seen); }

    // Scanners of the model table met on the bus, usable or not.
    int count() const { return static_cast<int>(seen_.size()); }
    // One block per scanner; `devices` are the records the walk listed.
    void print(FILE* out, const ORVELA_Scanner* devices, int count) const;

private:
    std::vector<orvela_usb::ModelDeviceSeen> seen_;
};

// Whether udev's record of the device node (bus, address) carries the mark
// of the package's hwdb file: "yes", "no", or "unknown" when udev keeps no
// record that can be read.
std::string hwdb_matched(int bus, int address);

}  // namespace orvela_discover
