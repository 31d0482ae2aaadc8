// sane_timing: times one scan the way a frontend sees it, through the
// system's libsane (and so its dll meta-backend and SANE_CONFIG_DIR), in the
// process's first and only call to sane_open: no device search before it.
//
// usage: sane_timing DEVICE [NAME=VALUE ...]
//   NAME is an option name ("mode", "resolution", "Page Size"...); the value
//   is given as text and converted to the option's type.
// prints one line of key=value pairs, times in milliseconds:
//   init open start first_data read close total, and bytes, pixels, lines;
//   first_data, last_data and eof count from the call of sane_start to the
//   first frame byte, the last frame byte and the end-of-frame status;
//   start_at and first_at are those two moments on CLOCK_MONOTONIC in
//   seconds, to set beside a simulator's band log.
#include <sane/sane.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// steady_clock is CLOCK_MONOTONIC on Linux, the clock of the simulator's band log.
double monotonic_s(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

// Sets option `name` from its text form; false when there is no such option
// or the backend refuses the value.
bool set_option(SANE_Handle h, const std::string& name, const std::string& text) {
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(h, i);
        if (d == nullptr) break;
        if (d->name == nullptr || name != d->name) continue;
        SANE_Int info = 0;
        SANE_Status st;
        if (d->type == SANE_TYPE_STRING) {
            std::vector<char> value(static_cast<size_t>(d->size) + 1, '\0');
            snprintf(value.data(), value.size(), "%s", text.c_str());
            st = sane_control_option(h, i, SANE_ACTION_SET_VALUE, value.data(), &info);
        } else if (d->type == SANE_TYPE_FIXED) {
            SANE_Word v = SANE_FIX(atof(text.c_str()));
            st = sane_control_option(h, i, SANE_ACTION_SET_VALUE, &v, &info);
        } else if (d->type == SANE_TYPE_INT || d->type == SANE_TYPE_BOOL) {
            SANE_Word v = atoi(text.c_str());
            st = sane_control_option(h, i, SANE_ACTION_SET_VALUE, &v, &info);
        } else {
            return false;
        }
        if (st != SANE_STATUS_GOOD) fprintf(stderr, "sane_timing: %s=%s: %s\n", name.c_str(), text.c_str(), sane_strstatus(st));
        return st == SANE_STATUS_GOOD;
    }
    fprintf(stderr, "sane_timing: no option %s\n", name.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: sane_timing DEVICE [NAME=VALUE ...]\n");
        return 2;
    }
    const Clock::time_point begin = Clock::now();
    SANE_Int version = 0;
    if (sane_init(&version, nullptr) != SANE_STATUS_GOOD) return 1;
    const double init_ms = ms_since(begin);

    Clock::time_point t = Clock::now();
    SANE_Handle h = nullptr;
    SANE_Status st = sane_open(argv[1], &h);
    const double open_ms = ms_since(t);
    if (st != SANE_STATUS_GOOD) {
        fprintf(stderr, "sane_timing: open %s: %s\n", argv[1], sane_strstatus(st));
        sane_exit();
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const char* eq = strchr(argv[i], '=');
        if (eq == nullptr || !set_option(h, std::string(argv[i], static_cast<size_t>(eq - argv[i])), eq + 1)) {
            sane_close(h);
            sane_exit();
            return 2;
        }
    }

    const Clock::time_point start_at = Clock::now();
    st = sane_start(h);
    const double start_ms = ms_since(start_at);
    if (st != SANE_STATUS_GOOD) {
        fprintf(stderr, "sane_timing: start: %s\n", sane_strstatus(st));
        sane_close(h);
        sane_exit();
        return 1;
    }
    SANE_Parameters p{};
    sane_get_parameters(h, &p);
    // scanimage's default read size.
    std::vector<SANE_Byte> buffer(32768);
    long long bytes = 0;
    Clock::time_point first_at{}, last_at{};
    t = Clock::now();
    for (;;) {
        SANE_Int n = 0;
        st = sane_read(h, buffer.data(), static_cast<SANE_Int>(buffer.size()), &n);
        if (st != SANE_STATUS_GOOD) break;
        if (n > 0) {
            last_at = Clock::now();
            if (bytes == 0) first_at = last_at;
        }
        bytes += n;
    }
    const double read_ms = ms_since(t);
    const double eof_ms = ms_since(start_at);
    auto ms_after_start = [&](Clock::time_point at) {
        return bytes == 0 ? -1.0 : std::chrono::duration<double, std::milli>(at - start_at).count();
    };
    const bool complete = st == SANE_STATUS_EOF;
    if (!complete) fprintf(stderr, "sane_timing: read: %s\n", sane_strstatus(st));
    const long long expected = static_cast<long long>(p.bytes_per_line) * p.lines;

    t = Clock::now();
    sane_cancel(h);
    sane_close(h);
    sane_exit();
    const double close_ms = ms_since(t);
    printf("init=%.1f open=%.1f start=%.1f first_data=%.1f last_data=%.1f eof=%.1f read=%.1f close=%.1f total=%.1f "
           "bytes=%lld pixels=%d lines=%d start_at=%.6f first_at=%.6f\n",
           init_ms, open_ms, start_ms, ms_after_start(first_at), ms_after_start(last_at), eof_ms, read_ms, close_ms,
           ms_since(begin), bytes, p.pixels_per_line, p.lines, monotonic_s(start_at),
           bytes == 0 ? 0.0 : monotonic_s(first_at));
    return complete && bytes == expected ? 0 : 1;
}
