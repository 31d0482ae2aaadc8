// Page decoding and the page file: the JPEG page that the driver layer writes
// to a fixed path under /tmp is prepared, locked, decoded into the handle and
// removed here.
#pragma once

#include "common/orvela_types.h"
#include "core/scan/sane/sane_handle.h"

extern "C" {

// A fixed device record (vendor, product, interface 0, serial); the argument
// is not looked at. Nothing in the backend calls it.
ORVELA_Scanner PaserFromURI(const char* deviceName);

}  // extern "C"

// What the page decoder tells a listener about the page it decodes (the
// pipelined rescale of start listens; orvela_sane_decompress has none).
class PageSink {
public:
    virtual ~PageSink() = default;
    // The page buffer is allocated and about to be filled.
    virtual void begin(unsigned char* buffer, unsigned w, unsigned h, unsigned C) = 0;
    // Rows [0, rows) are final.
    virtual void rows_ready(unsigned rows) = 0;
    // The decode failed; the buffer is released after this returns.
    virtual void abandon() = 0;
};

// Frees src_img and dst_img (which may share one buffer) and clears both
// pointers.
void release_page_buffers(orvela_scanner_t* s);
// Decodes the JPEG page file into s->src_img.
extern "C" SCAN_Status orvela_sane_decompress(orvela_scanner_t* s, const char* filename);

// Decodes the page file into s->src_img as orvela_sane_decompress does,
// telling `sink` (when not null) about each finished row.
SCAN_Status decode_page_file(orvela_scanner_t* s, const char* filename, PageSink* sink);

// Whether a JPEG frame of width x height pixels is one the device can send for
// a request at x_dpi x y_dpi (0 for either: the largest tier, 1200 x 600): at
// most the largest bed, 215.9 x 355.6 mm (8.5 x 14 in), plus 1/32 of each side
// for a device whose bed measures a little more than its nominal size. Any
// smaller frame is served, rescaled to the requested one; a larger one is
// refused before anything is allocated for it.
bool frame_fits_bed(unsigned width, unsigned height, unsigned x_dpi, unsigned y_dpi);

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
