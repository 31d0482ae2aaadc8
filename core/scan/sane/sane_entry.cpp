// Library life cycle: initialisation (log switch, host detection, name lists,
// threshold table), exit and the I/O-mode answers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/debugtool.h"
#include "common/orvela_config.h"
#include "core/scan/imageproc/bilevel.h"
#include "core/scan/driver/orvela_drv.h"
#include "core/scan/sane/sane_boundary.h"
#include "core/scan/sane/sane_handles.h"
#include "core/scan/sane/sane_entry_points.h"
#include "core/scan/sane/sane_entry.h"
#include "core/scan/sane/sane_host.h"
#include "core/scan/sane/sane_name_lists.h"

extern "C" {

FILE* debug_file = nullptr;
int sanei_debug_orvela = 0;

}  // extern "C"

namespace {

constexpr const char* kLogMarkerPath = "/tmp/orvela_sane";

// Opens the marker path as the log, truncated, but only when it is a regular
// file of this process's user reached without following a link: a marker
// planted by someone else must never make us truncate or write their file, or
// the target of a link.
FILE* open_log_marker() {
    struct stat st;
    if (lstat(kLogMarkerPath, &st) != 0) return nullptr;
    const int fd = open(kLogMarkerPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* stream = fdopen(fd, "w+");
    if (stream == nullptr) close(fd);
    return stream;
}

void switch_log_on_if_marked() {
    FILE* stream = open_log_marker();
    if (stream == nullptr) return;
    FILE* previous = debug_file;
    debug_file = stream;
    px_dbg_start(stream, stream, stream);
    // A repeated initialisation reopens the log; the earlier stream is no
    // longer referenced by any level.
    if (previous != nullptr) fclose(previous);
}

}  // namespace

extern "C" {

static SANE_Status sane_orvela_init_body(SANE_Int* version_code) {
    switch_log_on_if_marked();
    // The level every SANE backend takes from SANE_DEBUG_<name>.
    sanei_debug_orvela = dbg_level_from_environment();
    dbg_set_stderr_level(sanei_debug_orvela);
    DBG_INFO("Run into sane_init\n");
    if (version_code != nullptr) *version_code = SANE_VERSION_CODE(1, 3, 1);
    DBG_INFO("***Orvela SANE Driver***\n");
    InitThresholdTable();
    detect_host_application();
    orvela_config::load();
    build_name_lists();
    return Drv_init(nullptr) == SCAN_STATUS_GOOD ? SANE_STATUS_GOOD : SANE_STATUS_INVAL;
}

static void sane_orvela_exit_body() {
    DBG_INFO("Run into sane_exit\n");
    sane_devices_release();
    Drv_exit();
    release_name_lists();
}

SANE_Status sane_orvela_set_io_mode(SANE_Handle /*handle*/, SANE_Bool /*non_blocking*/) {
    return SANE_STATUS_UNSUPPORTED;
}

SANE_Status sane_orvela_get_select_fd(SANE_Handle /*handle*/, SANE_Int* /*fd*/) { return SANE_STATUS_UNSUPPORTED; }

SANE_Status sane_orvela_init(SANE_Int* version_code, SANE_Auth_Callback /*authorize*/) {
    return sane_call("sane_orvela_init", [&] { return sane_orvela_init_body(version_code); });
}

void sane_orvela_exit(void) { c_boundary::run("sane_orvela_exit", sane_orvela_exit_body); }

}  // extern "C"
