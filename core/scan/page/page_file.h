// The page file: the JPEG page that the driver layer writes to a fixed path
// under /tmp, taken by one scan at a time (in this process or any other of
// this user's) and removed once its page is decoded.
#pragma once

#include "common/orvela_types.h"

extern "C" {
// The page file's path, "/tmp/tmpscan.jpg", shared by every handle and
// process (tests point it elsewhere).
extern const char* kScanFilePath;
}

// Takes the page file for this job: opens (creating it 0600) without
// following a symbolic link, refuses a file that is not a regular file of
// this user, and takes an exclusive lock on it, waiting up to wait_seconds
// while another scan (another handle or process) holds it; the wait ends early
// when *cancel becomes set (read atomically). On success *fd is the locked
// descriptor and the file is empty.
// SCAN_STATUS_ACCESS_DENIED: the path is a link, not a regular file, another
// user's, or cannot be created; SCAN_STATUS_DEVICE_BUSY: still locked after the
// wait; SCAN_STATUS_CANCELLED: cancelled while waiting.
SCAN_Status page_file_acquire(const char* path, int wait_seconds, const bool* cancel, int* fd);
// Gives the lock back; with remove, the file is unlinked first (under the lock,
// so that a waiter never takes a file that is about to disappear).
void page_file_release(const char* path, int fd, bool remove);
