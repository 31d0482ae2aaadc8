// A small SANE host: loads the backend library like a frontend would, runs its
// initialisation and prints what the host-dependent state became. Tests copy
// this program under different executable names (the backend detects its host
// from the executable's name).
//
// usage: host_probe LIBRARY [CATALOGUE_DIR]
//        host_probe LIBRARY --main   (calls the library's exported test entry)
#include <dlfcn.h>
#include <libintl.h>
#include <locale.h>

#include <cstdio>
#include <string>

#include <sane/sane.h>

namespace {

template <typename T>
T lookup(void* lib, const char* name) {
    void* sym = dlsym(lib, name);
    if (sym == nullptr) {
        fprintf(stderr, "missing symbol %s\n", name);
        return nullptr;
    }
    return reinterpret_cast<T>(sym);
}

void print_list(const char* key, const SANE_String_Const* list) {
    for (int i = 0; list[i] != nullptr; ++i) printf("%s[%d]=%s\n", key, i, list[i]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    setlocale(LC_ALL, "");
    const bool call_main = argc > 2 && std::string(argv[2]) == "--main";
    if (argc > 2 && !call_main) bindtextdomain("sane_orvela_drv", argv[2]);
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    if (call_main) {
        auto entry = lookup<int (*)()>(lib, "main");
        if (entry == nullptr) return 2;
        const int rc = entry();
        fflush(stdout);
        printf("main=%d\n", rc);
        return 0;
    }
    auto init = lookup<SANE_Status (*)(SANE_Int*, SANE_Auth_Callback)>(lib, "sane_orvela_init");
    auto exit_fn = lookup<void (*)()>(lib, "sane_orvela_exit");
    auto tl = lookup<const char* (*)(const char*)>(lib, "TL");
    auto name = lookup<const char*>(lib, "gApplicationName");
    auto simple = lookup<const bool*>(lib, "gIsSimpleScanApp");
    auto modes = lookup<const SANE_String_Const*>(lib, "mode_list");
    auto sources = lookup<const SANE_String_Const*>(lib, "source_list");
    auto papers = lookup<const SANE_String_Const*>(lib, "paperSize_list");
    if (!init || !exit_fn || !tl || !name || !simple || !modes || !sources || !papers) return 2;

    SANE_Int version = 0;
    printf("init=%d\n", init(&version, nullptr));
    printf("version=0x%08x\n", static_cast<unsigned>(version));
    printf("name=%s\n", name);
    printf("simple=%d\n", *simple ? 1 : 0);
    printf("TL(Color)=%s\n", tl("Color"));
    const char* null_text = tl(nullptr);
    printf("TL(null)=%s\n", null_text ? (*null_text ? null_text : "<empty>") : "<null>");
    print_list("mode", modes);
    print_list("source", sources);
    print_list("paper", papers);
    exit_fn();
    return 0;
}
