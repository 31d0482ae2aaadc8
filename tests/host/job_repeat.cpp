// A host that scans one page after another through the backend in a single
// process, the way a long-running frontend does: open, options, start, read
// to the end, cancel, close, for each job. After every job it prints the
// job's status, the bytes read and the process's open descriptors and
// resident memory, so a caller can see whether either grows with the jobs.
//
// usage: job_repeat LIBRARY DEVICE COUNT [MODE [RESOLUTION [PAGE SIZE]]]
//   DEVICE is the name as the backend itself lists it (socket://ADDRESS),
//   without the "orvela:" that the meta-backend adds in front.
//   prints "job N status=S bytes=B fds=F rss_kb=R" per job, then
//   "jobs=COUNT good=G"; exits 0 when every job delivered its whole frame.
#include <dirent.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

bool set_string(const Api& api, SANE_Handle h, const char* name, const char* value) {
    const int i = find_option(api, h, name);
    if (i < 0) return false;
    std::vector<char> buf(strlen(value) + 1);
    memcpy(buf.data(), value, buf.size());
    return api.control(h, i, SANE_ACTION_SET_VALUE, buf.data(), nullptr) == SANE_STATUS_GOOD;
}

bool set_int(const Api& api, SANE_Handle h, const char* name, SANE_Int value) {
    const int i = find_option(api, h, name);
    return i >= 0 && api.control(h, i, SANE_ACTION_SET_VALUE, &value, nullptr) == SANE_STATUS_GOOD;
}

// One job; returns the start or read status and the bytes read.
SANE_Status one_job(const Api& api, const char* device, const char* mode, int resolution, const char* page,
                    long* bytes) {
    *bytes = 0;
    SANE_Handle h = nullptr;
    SANE_Status st = api.open(device, &h);
    if (st != SANE_STATUS_GOOD) return st;
    if (!set_string(api, h, "mode", mode) || !set_int(api, h, "resolution", resolution) ||
        !set_string(api, h, "Page Size", page)) {
        api.close(h);
        return SANE_STATUS_INVAL;
    }
    st = api.start(h);
    if (st == SANE_STATUS_GOOD) {
        SANE_Parameters p{};
        st = api.parameters(h, &p);
        std::vector<SANE_Byte> buf(32768);
        while (st == SANE_STATUS_GOOD) {
            SANE_Int len = 0;
            st = api.read(h, buf.data(), static_cast<SANE_Int>(buf.size()), &len);
            if (st == SANE_STATUS_GOOD) *bytes += len;
        }
        const long want = static_cast<long>(p.bytes_per_line) * p.lines;
        if (st == SANE_STATUS_EOF) st = *bytes == want ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
    }
    api.cancel(h);
    api.close(h);
    return st;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: job_repeat LIBRARY DEVICE COUNT [MODE [RESOLUTION [PAGE SIZE]]]\n");
        return 2;
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
    const char* mode = argc > 4 ? argv[4] : "Gray";
    const int resolution = argc > 5 ? atoi(argv[5]) : 75;
    const char* page = argc > 6 ? argv[6] : "4x6 in";
    int good = 0;
    for (int i = 1; i <= count; ++i) {
        long bytes = 0;
        const SANE_Status st = one_job(api, argv[2], mode, resolution, page, &bytes);
        if (st == SANE_STATUS_GOOD) ++good;
        printf("job %d status=%d bytes=%ld fds=%d rss_kb=%ld\n", i, static_cast<int>(st), bytes, open_descriptors(),
               resident_kb());
        fflush(stdout);
    }
    api.exit();
    dlclose(lib);
    printf("jobs=%d good=%d\n", count, good);
    return good == count ? 0 : 1;
}
