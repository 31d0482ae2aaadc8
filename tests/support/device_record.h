// Device records as discovery makes them, for tests that open a device
// without searching for it.
#pragma once

#include <cstdio>

#include "common/orvela_types.h"

// A network scanner at address:port ("socket://address" as its name).
inline ORVELA_Scanner net_record(int port, const char* address = "127.0.0.1") {
    ORVELA_Scanner r{};
    r.type_io = IOTYPE_NET;
    snprintf(r.ipaddress, sizeof r.ipaddress, "%s", address);
    snprintf(r.deviceURI, sizeof r.deviceURI, "socket://%s", address);
    r.port = port;
    return r;
}

// The data channel of a USB scanner, by default the usual layout: interface
// 0 with bulk endpoints 0x81 (in) and 0x01 (out).
inline ORVELA_Scanner usb_record(int vendor, int product, const char* serial, int interface = 0, int in = 0x81,
                                 int out = 0x01) {
    ORVELA_Scanner r{};
    r.type_io = IOTYPE_USB;
    r.vendor_id = vendor;
    r.product_id = product;
    r.interface = interface;
    snprintf(r.serial, sizeof r.serial, "%s", serial);
    r.endpoint_bulkin = in;
    r.endpoint_bulkout = out;
    return r;
}
