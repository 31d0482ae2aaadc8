// libFuzzer target: the option surface of an open handle. A sequence of calls
// with any option number, any action and value bytes of up to 319 bytes
// (strings longer than the descriptor's size included) drives
// sane_orvela_control_option and sane_orvela_get_option_descriptor, then
// sane_orvela_get_parameters. Every value buffer is a heap block of its exact
// size: GET_VALUE gets precisely the descriptor's size, so a write past it is
// caught by AddressSanitizer.
// Input: byte 0 chooses the device (feeder, right-rear bed) and the host
// (simple-scan or not); then records of option (1 byte, signed, or 5 bytes
// when the first is 0x7F), action (1 byte, signed), a flags byte, length
// (1 byte, doubled plus the flags' low bit) and that many value bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/scan/job/job_page.h"
#include "core/scan/sane/handle_order.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_handle.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"
#include "core/scan/sane/sane_options.h"

// The option surface, the frame parameters, the name lists and the host's
// state are compiled in; the scan job they are linked with is replaced here.
// None of the job's work may be reached: the handles here never start a page.
void JobPageDelete::operator()(JobPage*) const {}
ScanJob::ScanJob() = default;
ScanJob::~ScanJob() = default;
SANE_Status ScanJob::start(const PageOrder&) { std::abort(); }
SANE_Status ScanJob::read(SANE_Byte*, SANE_Int, SANE_Int*) { std::abort(); }
void ScanJob::cancel() { std::abort(); }
bool ScanJob::frame_in_progress(SANE_Parameters*) { return false; }  // no page is ever started

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos;
    bool has(size_t n) const { return size - pos >= n; }
    uint8_t byte() { return data[pos++]; }
};

bool is_string(const SANE_Option_Descriptor* d) { return d != nullptr && d->type == SANE_TYPE_STRING; }

// Every descriptor of the handle is sane and every value reads back into a
// buffer of exactly the descriptor's size, terminated when it is a string.
void check_all(orvela_scanner_t* s) {
    for (int option = 0; option < NUM_OPTIONS; ++option) {
        const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(s, option);
        if (d == nullptr || d->size <= 0 || d->size > 4096) abort();
        char* buffer = static_cast<char*>(malloc(static_cast<size_t>(d->size)));
        if (buffer == nullptr) abort();
        memset(buffer, 0x7F, static_cast<size_t>(d->size));
        if (sane_orvela_control_option(s, option, SANE_ACTION_GET_VALUE, buffer, nullptr) != SANE_STATUS_GOOD) abort();
        if (is_string(d) && memchr(buffer, '\0', static_cast<size_t>(d->size)) == nullptr) abort();
        free(buffer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1) return 0;
    Reader in{input, size, 1};
    snprintf(gApplicationName, sizeof gApplicationName, "%s", (input[0] & 4) ? "simple-scan" : "scanimage");
    gIsSimpleScanApp = (input[0] & 4) != 0;
    build_name_lists();
    orvela_scanner_t* s = new orvela_scanner_t{};
    s->device.isSupportADF = (input[0] & 1) != 0;
    s->device.isRightRearBP = (input[0] & 2) != 0;
    if (init_options(s) != SANE_STATUS_GOOD) abort();

    for (int calls = 0; calls < 64 && in.has(4); ++calls) {
        SANE_Int option = static_cast<int8_t>(in.byte());
        if (option == 0x7F && in.has(4)) {
            uint32_t wide = 0;
            for (int i = 0; i < 4; ++i) wide |= static_cast<uint32_t>(in.byte()) << (8 * i);
            option = static_cast<SANE_Int>(wide);
        }
        if (!in.has(3)) break;
        const int action = static_cast<int8_t>(in.byte());
        const uint8_t flags = in.byte();
        size_t length = static_cast<size_t>(in.byte()) * 2 + (flags & 1);
        if (length > in.size - in.pos) length = in.size - in.pos;
        const uint8_t* bytes = in.data + in.pos;
        in.pos += length;

        const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(s, option);
        if ((d == nullptr) != (option < 0 || option >= NUM_OPTIONS)) abort();
        SANE_Int info = -1;
        SANE_Int* info_ptr = (flags & 2) ? nullptr : &info;
        char* value = nullptr;
        if (action == SANE_ACTION_GET_VALUE && d != nullptr) {
            // Exactly the descriptor's size, nothing more.
            value = static_cast<char*>(malloc(static_cast<size_t>(d->size)));
            if (value == nullptr) abort();
            memset(value, 0x7F, static_cast<size_t>(d->size));
        } else {
            // The value bytes, terminated (a string may run far past the
            // descriptor's size); at least a word, as a word option reads one.
            const size_t room = length + 1 > sizeof(SANE_Word) ? length + 1 : sizeof(SANE_Word);
            value = static_cast<char*>(calloc(room, 1));
            if (value == nullptr) abort();
            if (length) memcpy(value, bytes, length);
        }
        void* passed = (flags & 4) ? nullptr : value;
        const SANE_Status status =
            sane_orvela_control_option(s, option, static_cast<SANE_Action>(action), passed, info_ptr);
        if (d == nullptr && status != SANE_STATUS_INVAL) abort();
        if (action == SANE_ACTION_GET_VALUE && d != nullptr && passed != nullptr) {
            if (status != SANE_STATUS_GOOD) abort();
            if (is_string(d) && memchr(value, '\0', static_cast<size_t>(d->size)) == nullptr) abort();
        }
        free(value);
        if (flags & 8) check_all(s);
    }
    check_all(s);
    SANE_Parameters params;
    if (sane_orvela_get_parameters(s, &params) != SANE_STATUS_GOOD) abort();
    if (params.depth != 1 && params.depth != 8) abort();
    if (params.format != SANE_FRAME_GRAY && params.format != SANE_FRAME_RGB) abort();
    sane_orvela_get_parameters(s, nullptr);
    release_options(s);
    delete s;
    return 0;
}
