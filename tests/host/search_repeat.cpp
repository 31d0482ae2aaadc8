// A host that searches for devices again and again, opens and closes the
// first device found each time, and exits: run under valgrind, what the
// searches replace must be released, and the exit must release the rest.
// With "gone" it then waits for a line on standard input (the device is taken
// away meanwhile), searches once more, which must find nothing and leave the
// list pointer alone, and reads the names of the list it still holds.
//
// usage: search_repeat LIBRARY COUNT [gone]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sane/sane.h>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return 2;
    auto init = reinterpret_cast<SANE_Status (*)(SANE_Int*, SANE_Auth_Callback)>(dlsym(lib, "sane_orvela_init"));
    auto get_devices = reinterpret_cast<SANE_Status (*)(const SANE_Device***, SANE_Bool)>(
        dlsym(lib, "sane_orvela_get_devices"));
    auto open = reinterpret_cast<SANE_Status (*)(SANE_String_Const, SANE_Handle*)>(dlsym(lib, "sane_orvela_open"));
    auto close = reinterpret_cast<void (*)(SANE_Handle)>(dlsym(lib, "sane_orvela_close"));
    auto exit_fn = reinterpret_cast<void (*)()>(dlsym(lib, "sane_orvela_exit"));
    if (!init || !get_devices || !open || !close || !exit_fn) return 2;

    if (init(nullptr, nullptr) != SANE_STATUS_GOOD) return 3;
    const int count = atoi(argv[2]);
    int found = 0;
    const SANE_Device** held = nullptr;
    std::string held_name;
    for (int i = 0; i < count; ++i) {
        const SANE_Device** list = nullptr;
        if (get_devices(&list, SANE_FALSE) != SANE_STATUS_GOOD || list == nullptr || list[0] == nullptr) continue;
        ++found;
        held = list;
        held_name = list[0]->name;
        SANE_Handle handle = nullptr;
        if (open(list[0]->name, &handle) == SANE_STATUS_GOOD) close(handle);
    }
    bool gone_ok = true;
    if (argc > 3 && held != nullptr) {  // gone
        printf("waiting for the device to go\n");
        fflush(stdout);
        char line[16];
        if (fgets(line, sizeof line, stdin) == nullptr) return 2;
        const SANE_Device** list = held;
        const SANE_Status status = get_devices(&list, SANE_FALSE);
        gone_ok = status == SANE_STATUS_ACCESS_DENIED && list == held && held_name == held[0]->name;
        printf("after the device went: status %d, held list %s\n", status, gone_ok ? "intact" : "changed");
    }
    exit_fn();
    dlclose(lib);
    printf("searches=%d found=%d\n", count, found);
    return found == count && gone_ok ? 0 : 1;
}
