// orvela-discover: runs the backend's own device search (the same code as
// sane_get_devices, with the settings of orvela.conf) and tells what it found
// and, when nothing, why not. See orvela-discover(1).
//
//   exit 0  a scanner was found (also a USB scanner the user may not open)
//        1  none was found
//        2  usage error, or the trace file of -t cannot be made
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "backend/net_search.h"
#include "backend/usb_discovery.h"
#include "common/debugtool.h"
#include "common/malloc_ptr.h"
#include "common/orvela_config.h"
#include "tools/discover/net_report.h"
#include "tools/discover/trace_option.h"
#include "tools/discover/usb_report.h"

namespace {

constexpr int kFound = 0;
constexpr int kNoneFound = 1;
constexpr int kUsage = 2;

void usage(FILE* out) {
    fprintf(out,
            "Usage: orvela-discover [-d] [-t FILE]\n"
            "Searches the network and the USB bus for the scanners of the orvela SANE backend, as\n"
            "frontends do, and prints a line for orvela.conf for each network scanner, the name and\n"
            "access of each USB scanner, or why nothing answered.\n"
            "  -d       the search's log on standard error\n"
            "  -t FILE  write the search's trace to FILE\n"
            "  -h       this help\n");
}

int run(bool usb_on_bus_asked) {
    using namespace orvela_discover;
    const orvela_config::Settings& settings = orvela_config::current();
    printf("# orvela.conf: %s\n", settings.file.empty() ? "none found, defaults" : settings.file.c_str());

    UsbOnlooker usb;
    ORVELA_Scanner* usb_array = nullptr;
    const int usb_count = usb_on_bus_asked ? orvela_usb::find_scanners(&usb_array, &usb) : 0;
    const MallocPtr<ORVELA_Scanner[]> usb_devices(usb_array);

    NetOnlooker net;
    net_discovery::SearchPlan plan = net_discovery::configured_plan();
    plan.observer = &net;
    ORVELA_Scanner* net_array = nullptr;
    const int net_count = net_discovery::run_search(plan, &net_array);
    const MallocPtr<ORVELA_Scanner[]> net_devices(net_array);

    if (!usb_on_bus_asked)
        printf("# USB: not searched (usb off in orvela.conf)\n");
    else if (usb.count() == 0)
        printf("# USB: no scanner of this backend's models on the bus\n");
    usb.print(stdout, usb_devices.get(), usb_count);
    const bool found = usb.count() > 0 || net_count > 0;
    if (found) net.print_found(stdout, net_devices.get(), net_count);
    net.print_silent(stdout);
    if (found) return kFound;
    net.print_nothing_answered(stdout, plan.broadcast);
    return kNoneFound;
}

}  // namespace

int main(int argc, char** argv) {
    bool debug = false;
    const char* trace_file = nullptr;
    for (int c; (c = getopt(argc, argv, "dt:h")) != -1;) {
        switch (c) {
        case 'd': debug = true; break;
        case 't': trace_file = optarg; break;
        case 'h': usage(stdout); return kFound;
        default: usage(stderr); return kUsage;
        }
    }
    if (optind != argc) {
        fprintf(stderr, "orvela-discover: unexpected argument \"%s\"\n", argv[optind]);
        usage(stderr);
        return kUsage;
    }
    // Warnings at least, unless SANE_DEBUG_ORVELA asks otherwise: a line of
    // orvela.conf that cannot be used is skipped, and only its warning tells.
    const int level = getenv("SANE_DEBUG_ORVELA") != nullptr ? dbg_level_from_environment() : 2;
    dbg_set_stderr_level(debug && level < 3 ? 3 : level);
    try {
        orvela_config::load();
        if (trace_file != nullptr && !orvela_discover::start_trace(trace_file)) return kUsage;
        const int status = run(orvela_config::current().usb_search);
        orvela_discover::end_trace();
        return status;
    } catch (const std::exception& e) {
        fprintf(stderr, "orvela-discover: %s\n", e.what());
        return kNoneFound;
    }
}
