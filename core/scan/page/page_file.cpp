#include "core/scan/page/page_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "common/debugtool.h"

extern "C" {
const char* kScanFilePath = "/tmp/tmpscan.jpg";
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void sleep_ms(long ms) {
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

}  // namespace

SCAN_Status page_file_acquire(const char* path, int wait_seconds, const bool* cancel, int* fd_out) {
    constexpr long kPollMs = 50;
    long waited_ms = 0;
    for (;;) {
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0) {
            DBG_INFO("Fail to open page file %s\n", path);
            return SCAN_STATUS_ACCESS_DENIED;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            DBG_INFO("Page file %s is not this user's regular file\n", path);
            close(fd);
            return SCAN_STATUS_ACCESS_DENIED;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The holder before us may have removed the file while we waited:
            // only the file that is still at the path counts.
            struct stat now;
            if (lstat(path, &now) == 0 && same_file(st, now)) {
                if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0) {
                    close(fd);
                    return SCAN_STATUS_ACCESS_DENIED;
                }
                *fd_out = fd;
                return SCAN_STATUS_GOOD;
            }
            close(fd);
            continue;
        }
        close(fd);
        if (cancel != nullptr && __atomic_load_n(cancel, __ATOMIC_SEQ_CST)) return SCAN_STATUS_CANCELLED;
        if (waited_ms >= static_cast<long>(wait_seconds) * 1000) {
            DBG_INFO("Page file %s is in use by another scan\n", path);
            return SCAN_STATUS_DEVICE_BUSY;
        }
        sleep_ms(kPollMs);
        waited_ms += kPollMs;
    }
}

void page_file_release(const char* path, int fd, bool remove) {
    if (fd < 0) return;
    if (remove) unlink(path);
    close(fd);
}
