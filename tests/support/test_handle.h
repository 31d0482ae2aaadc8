// An open handle for tests: the record sane_orvela_open makes for a device
// (options initialised; the name lists too if no host was set up yet),
// without a device list, given back through sane_orvela_close; with the
// option and read calls that tests make of it.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"
#include "tests/support/device_record.h"

// SANE_Fixed millimetres.
constexpr SANE_Word mm(double v) { return static_cast<SANE_Word>(v * 65536.0 + (v < 0 ? -0.5 : 0.5)); }

// Sets the host name and kind, and rebuilds the shared name lists, as
// initialisation does in a host of that name.
void use_host(const char* name, bool simple_scan = false);

// A frame as a frontend reads it: the parameters, the bytes, and the status
// that ended the reads.
struct FrameRead {
    SANE_Parameters params{};
    std::vector<uint8_t> bytes;
    std::vector<SANE_Int> lengths;  // of the reads that delivered bytes
    SANE_Status end = SANE_STATUS_GOOD;
};

class TestHandle {
public:
    // A network device at 127.0.0.1:port, with or without a feeder, its
    // reference point at the left front or the right rear of the bed.
    explicit TestHandle(bool feeder = true, bool right_rear = false, int port = 0);
    ~TestHandle();
    TestHandle(const TestHandle&) = delete;
    TestHandle& operator=(const TestHandle&) = delete;

    orvela_scanner_t* get() const { return s_; }
    orvela_scanner_t* operator->() const { return s_; }
    // Hands the record over (to sane_orvela_close, say).
    orvela_scanner_t* release();

    // Option calls that must succeed; the set calls return the info flags.
    SANE_Int set_string(int option, const std::string& text);
    SANE_Int set_word(int option, SANE_Word value);
    std::string get_string(int option);
    SANE_Word get_word(int option);
    // Sets the option of that name from its text, as its type reads it (a
    // fixed-point value as a decimal); the set must succeed.
    SANE_Int set(const std::string& name, const std::string& text);
    // A custom area placed by the frontend, in millimetres.
    void set_area(double x, double y, double width, double height);
    SANE_Parameters parameters();

    // Reads the frame to its end in reads of max_length bytes; each read
    // must deliver 1 to max_length bytes and write nothing past them.
    FrameRead read_frame(SANE_Int max_length = 32768);
    // Starts a page and reads it: it must start, end with EOF and have the
    // size its parameters announce.
    FrameRead scan(SANE_Int max_length = 32768);

private:
    orvela_scanner_t* s_;
};
