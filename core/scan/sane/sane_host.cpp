#include "core/scan/sane/sane_host.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/debugtool.h"

extern "C" {

char gApplicationName[128];
bool gIsSimpleScanApp = false;

}  // extern "C"

namespace {

bool begins_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool is_simple_scan_style(const char* name) { return begins_with(name, "simple-scan") || begins_with(name, "wps"); }

}  // namespace

void detect_host_application() {
    const int pid = getpid();
    DBG_INFO("get PID=%d\n", pid);
    char path[1024] = {};
    if (readlink("/proc/self/exe", path, sizeof path - 1) < 1) DBG_INFO("Fail to get process path!\n");

    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        DBG_INFO("Current process id: %d\n", pid);
        DBG_INFO("Current process name: \n");
        DBG_INFO("Current process path: %s\n", path);
        return;
    }
    const char* name = slash + 1;
    DBG_INFO("Current process id: %d\n", pid);
    DBG_INFO("Current process name: %s\n", name);
    DBG_INFO("Current process path:%s\n", path);
    snprintf(gApplicationName, sizeof gApplicationName, "%s", name);

    if (is_simple_scan_style(name)) {
        gIsSimpleScanApp = true;
        DBG_INFO("Current process is Simple-Scan style!\n");
    }
}

bool host_is_efile_app() { return strcmp(gApplicationName, "EFileApp") == 0; }

bool host_keeps_english_texts() { return host_is_efile_app() || strstr(gApplicationName, "office") != nullptr; }
