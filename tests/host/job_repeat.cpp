// A host that scans one page after another through the backend in a single
// process, the way a long-running frontend does: open, options, start, read
// to the end, cancel, close, for each job. After every job it prints the
// job's status, the bytes read and the process's open descriptors and
// resident memory, so a caller can see whether either grows with the jobs.
//
// usage: job_repeat LIBRARY DEVICE COUNT [OPTION=VALUE...] [--frame FILE]
//   DEVICE is the name as the backend itself lists it (socket://ADDRESS),
//   without the "orvela:" that the meta-backend adds in front.
//   OPTION=VALUE sets a SANE option by name, in the order given (a fixed-point
//   value in millimetres as a decimal), after the defaults mode=Gray,
//   resolution=75 and "Page Size=4x6 in". --frame writes the last job's frame
//   (the bytes read) to FILE.
//   prints "job N status=S bytes=B fds=F rss_kb=R" per job, then
//   "jobs=COUNT good=G"; exits 0 when every job delivered its whole frame.
#include <dirent.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sane/sane.h>

namespace {

struct Api {
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback);
    SANE_Status (*open)(SANE_String_Const, SANE_Handle*);
    void (*close)(SANE_Handle);
    const SANE_Option_Descriptor* (*descriptor)(SANE_Handle, SANE_Int);
    SANE_Status (*control)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*);
    SANE_Status (*start)(SANE_Handle);
    SANE_Status (*parameters)(SANE_Handle, SANE_Parameters*);
    SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
    void (*cancel)(SANE_Handle);
    void (*exit)();
};

template <typename F>
bool bind(void* lib, const char* name, F& fn) {
    fn = reinterpret_cast<F>(dlsym(lib, name));
    return fn != nullptr;
}

int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

long resident_kb() {
    FILE* f = fopen("/proc/self/status", "re");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "VmRSS:", 6) == 0) kb = strtol(line + 6, nullptr, 10);
    fclose(f);
    return kb;
}

int find_option(const Api& api, SANE_Handle h, const char* name) {
    for (SANE_Int i = 1; i < 64; ++i) {
        const SANE_Option_Descriptor* d = api.descriptor(h, i);
        if (d == nullptr) break;
        if (d->name != nullptr && strcmp(d->name, name) == 0) return i;
    }
    return -1;
}

// Sets option `name` from its text, as the option's type reads it.
bool set_option(const Api& api, SANE_Handle h, const std::string& name, const std::string& value) {
    const int i = find_option(api, h, name.c_str());
    if (i < 0) return false;
    const SANE_Value_Type type = api.descriptor(h, i)->type;
    if (type == SANE_TYPE_STRING) {
        std::vector<char> buf(value.begin(), value.end());
        buf.push_back('\0');
        return api.control(h, i, SANE_ACTION_SET_VALUE, buf.data(), nullptr) == SANE_STATUS_GOOD;
    }
    SANE_Word word = type == SANE_TYPE_FIXED ? SANE_FIX(strtod(value.c_str(), nullptr)) : atoi(value.c_str());
    return api.control(h, i, SANE_ACTION_SET_VALUE, &word, nullptr) == SANE_STATUS_GOOD;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

// One job; returns the start or read status and the frame read.
SANE_Status one_job(const Api& api, const char* device, const Settings& settings, std::vector<SANE_Byte>* frame) {
    frame->clear();
    SANE_Handle h = nullptr;
    SANE_Status st = api.open(device, &h);
    if (st != SANE_STATUS_GOOD) return st;
    for (const auto& [name, value] : settings) {
        if (!set_option(api, h, name, value)) {
            fprintf(stderr, "job_repeat: cannot set %s=%s\n", name.c_str(), value.c_str());
            api.close(h);
            return SANE_STATUS_INVAL;
        }
    }
    st = api.start(h);
    if (st == SANE_STATUS_GOOD) {
        SANE_Parameters p{};
        st = api.parameters(h, &p);
        std::vector<SANE_Byte> buf(32768);
        while (st == SANE_STATUS_GOOD) {
            SANE_Int len = 0;
            st = api.read(h, buf.data(), static_cast<SANE_Int>(buf.size()), &len);
            if (st == SANE_STATUS_GOOD) frame->insert(frame->end(), buf.begin(), buf.begin() + len);
        }
        const size_t want = static_cast<size_t>(p.bytes_per_line) * static_cast<size_t>(p.lines);
        if (st == SANE_STATUS_EOF) st = frame->size() == want ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
    }
    api.cancel(h);
    api.close(h);
    return st;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: job_repeat LIBRARY DEVICE COUNT [OPTION=VALUE...] [--frame FILE]\n");
        return 2;
    }
    Settings settings = {{"mode", "Gray"}, {"resolution", "75"}, {"Page Size", "4x6 in"}};
    const char* frame_file = nullptr;
    for (int a = 4; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--frame" && a + 1 < argc) {
            frame_file = argv[++a];
        } else if (arg.find('=') != std::string::npos) {
            settings.emplace_back(arg.substr(0, arg.find('=')), arg.substr(arg.find('=') + 1));
        } else {
            fprintf(stderr, "job_repeat: not OPTION=VALUE: %s\n", argv[a]);
            return 2;
        }
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "job_repeat: %s\n", dlerror());
        return 2;
    }
    Api api{};
    if (!bind(lib, "sane_orvela_init", api.init) || !bind(lib, "sane_orvela_open", api.open) ||
        !bind(lib, "sane_orvela_close", api.close) ||
        !bind(lib, "sane_orvela_get_option_descriptor", api.descriptor) ||
        !bind(lib, "sane_orvela_control_option", api.control) || !bind(lib, "sane_orvela_start", api.start) ||
        !bind(lib, "sane_orvela_get_parameters", api.parameters) || !bind(lib, "sane_orvela_read", api.read) ||
        !bind(lib, "sane_orvela_cancel", api.cancel) || !bind(lib, "sane_orvela_exit", api.exit))
        return 2;
    if (api.init(nullptr, nullptr) != SANE_STATUS_GOOD) return 3;

    const int count = atoi(argv[3]);
    int good = 0;
    std::vector<SANE_Byte> frame;
    for (int i = 1; i <= count; ++i) {
        const SANE_Status st = one_job(api, argv[2], settings, &frame);
        if (st == SANE_STATUS_GOOD) ++good;
        printf("job %d status=%d bytes=%zu fds=%d rss_kb=%ld\n", i, static_cast<int>(st), frame.size(),
               open_descriptors(), resident_kb());
        fflush(stdout);
    }
    api.exit();
    dlclose(lib);
    if (frame_file != nullptr) {
        FILE* out = fopen(frame_file, "wbe");
        const bool written = out != nullptr && fwrite(frame.data(), 1, frame.size(), out) == frame.size();
        if (out == nullptr || fclose(out) != 0 || !written) {
            perror(frame_file);
            return 2;
        }
    }
    printf("jobs=%d good=%d\n", count, good);
    return good == count ? 0 : 1;
}
