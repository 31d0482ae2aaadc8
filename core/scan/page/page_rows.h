// The one row pipeline of a page, for both ways of delivering it: its JPEG
// bytes are read from a source as rows are asked for, decoded, rescaled row
// by row and, for black and white, packed to one bit per pixel, keeping a
// window of rows (the whole page keeps them all: read_whole_page).
//
//   next_row(may_wait)
//     rescaler wants a source row ──► decoder.step ── NeedData ──► source.read
//        ▲                               │  Row                     (the device:
//        └───────────────────────────────┘                          waits, sees a cancel)
//     rescaler.make_row ──► pack (B/W) ──► the row
//   finish()
//     the rows no line shows, the end of the image, then source.drain(): the
//     rest of the page up to its end
#pragma once

#include <sane/sane.h>

#include <cstddef>
#include <cstdint>

#include "common/debugtool.h"
#include "common/orvela_types.h"
#include "core/scan/imageproc/row_rescale.h"
#include "core/scan/page/page_decode.h"
#include "core/scan/page/stream_decoder.h"

// Where the JPEG bytes of a page come from: the device, as the page is pulled
// (job/job_page.h), or the page file (page_decode.cpp).
class PageSource {
public:
    enum class Got {
        Data,       // *got > 0 bytes
        Wait,       // more bytes need the device, and the caller may not wait
        End,        // the page has no more bytes
        Cancelled,  // a cancel stopped the wait
        Failed,     // the bytes cannot be had (a broken stream, a read error)
    };
    virtual ~PageSource() = default;
    virtual Got read(unsigned char* into, size_t room, size_t* got, bool may_wait) = 0;  // up to `room` bytes
    virtual Got drain() = 0;  // the rest read and thrown away: End, or what stopped it
};

// The pipeline's log lines, held for its owner to log where they belong:
// the decode's (the frame, libjpeg's messages), then the rescale and
// packing's.
struct PipelineLog {
    LogHold decode;
    LogHold image;
};

class PageRows {
public:
    enum class Result {
        Ready,      // open: the frame is known; next_row: *row holds the next row
        Wait,       // the next step needs bytes from the device (may_wait false)
        NoRow,      // every row of the page has been made
        Done,       // finish: the image is complete and the source at its end
        Ended,      // the source ended before the image did
        Broken,     // the page cannot be finished (status())
        Cancelled,  // a cancel stopped a wait for the device
    };

    // A page asked for at `resolution` and scanned at `tier`, which also bounds
    // its frame; `bilevel` packs grey rows to one bit per pixel.
    PageRows(PageSource& source, SANE_Word resolution, DeviceTier tier, bool bilevel);
    PageRows(const PageRows&) = delete;
    PageRows& operator=(const PageRows&) = delete;
    ~PageRows();
    bool init();  // false without memory (NO_MEM) or the JPEG library (IO_ERROR): status()
    // The pipeline's log lines go to `log` (null, the default: to the log).
    void hold_log(PipelineLog* log) {
        log_ = log;
        decoder_.hold_log(log != nullptr ? &log->decode : nullptr);
    }

    // Memory the rows take for a request of `width` device pixels of
    // `channels` samples at `resolution` (the streaming resource check).
    static size_t memory_estimate(unsigned width, unsigned channels, SANE_Word resolution, unsigned device_x);

    // Rows that a batch of the rescaler reads are waited for too (a caller
    // who needs every row anyway); otherwise only those at hand are taken.
    void wait_for_batches() { batches_wait_ = true; }
    // After open: the rows are decoded or rescaled straight into `page`.
    void make_rows_into(uint8_t* page) {
        if (!pack_) rescaler_.write_into(page, static_cast<size_t>(shape_.img_width) * shape_.img_channel);
    }

    // Reads up to the JPEG header and sets up the rows (Ready).
    Result open(bool may_wait);
    bool is_open() const { return open_; }
    // The page as served: img_width (bytes once packed), img_height, img_channel.
    const ORVELA_IMAGE_RAW& shape() const { return shape_; }

    // The next row of the served page (shape().img_width x img_channel bytes,
    // valid until the next call).
    Result next_row(bool may_wait, const uint8_t** row);
    unsigned rows_made() const { return rescaler_.rows_made(); }
    // The row next_row gave last (null before the first).
    const uint8_t* last_row() const { return last_row_; }

    Result finish();  // the rows nobody read, the end of the image, the source drained: Done

    // Of a Broken page: IO_ERROR (a corrupt or foreign page, a broken
    // stream), NO_MEM, or INVAL (no usable rescaled size).
    SANE_Status status() const { return status_; }
    // The page broke in the rescale or packing step (NO_MEM, INVAL), not in
    // its decode.
    bool image_step_failed() const { return image_step_failed_; }
    // After the image step failed: the decode goes on to the end of the
    // image, its rows thrown away, so that the page's decode is known to
    // succeed (Done) or fail (Broken, status() now the decode's; Ended,
    // Cancelled). The source is not drained.
    Result decode_rest();
    // The decode reached the end of the image.
    bool decoded() const { return decoder_.done(); }
    // The page is rescaled (the frame is not the scanned one).
    bool rescales() const { return rescale_; }

private:
    friend SANE_Status read_whole_page(PageRows& rows, ORVELA_IMAGE_RAW* page);
    Result decode_source_row(bool may_wait);
    Result fetch(bool may_wait);
    Result broken(SANE_Status status);
    Result image_step_broken(SANE_Status status);

    PageSource& source_;
    StreamDecoder decoder_;
    RowRescaler rescaler_;
    SANE_Word resolution_;
    DeviceTier tier_;
    bool bilevel_;
    bool open_ = false;
    bool broken_ = false;  // a Broken page stays broken
    bool pack_ = false;
    bool batches_wait_ = false;
    bool rescale_ = false;
    bool image_step_failed_ = false;
    PipelineLog* log_ = nullptr;
    const uint8_t* last_row_ = nullptr;
    uint8_t* packed_ = nullptr;
    ORVELA_IMAGE_RAW shape_{};
    SANE_Status status_ = SANE_STATUS_IO_ERROR;
};

// Size of a page of w x h pixels rescaled from device_x dpi to resolution:
// trunc(w * ratio + 0.00001) x trunc(ratio * h + 0.00001), logged (to `log`
// when given). False when either side comes out below 1 or above 524000.
bool rescaled_page_size(uint32_t w, uint32_t h, SANE_Word resolution, unsigned device_x, uint32_t* dst_w,
                        uint32_t* dst_h, LogHold* log = nullptr);

// Every row of the page into one malloc'ed buffer, *page (the caller frees
// it), and the source drained. GOOD; otherwise nothing stays allocated:
// IO_ERROR (a corrupt page, or one the source ended early), NO_MEM, INVAL,
// CANCELLED. A page whose rescale or packing fails (NO_MEM, INVAL) is still
// decoded to its end (rows.decoded() tells whether that went well; a decode
// that fails then makes it IO_ERROR). A page buffer that cannot be had is
// the rescale's lack of memory when the page is rescaled, else the decode's.
SANE_Status read_whole_page(PageRows& rows, ORVELA_IMAGE_RAW* page);
