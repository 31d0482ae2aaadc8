// One page of the streaming path: the page stream is pulled from the device
// piece by piece as rows are asked for, decoded as it arrives, rescaled row by
// row to the requested resolution and, for black and white, packed to one bit
// per pixel. Nothing of the page is kept but a window of rows.
//
//   next_row(may_wait)
//     rescaler wants a source row ──► decoder.step ── NeedData ──► pull a piece of
//        ▲                               │  Row                     the page stream
//        └───────────────────────────────┘                          (waits in slices;
//     rescaler.make_row ──► pack (B/W) ──► the row                    sees a cancel)
//   finish()
//     the rows no line shows, the end of the image, the rest of the stream up
//     to the end header
//
// The bytes of every row are those of the whole-page path: the same decoder,
// the engine's weights and passes (RowRescaler), the same packing with one
// CalcNewThreshold per pixel in row order.
#pragma once

#include <sane/sane.h>

#include <cstddef>
#include <cstdint>

#include "core/scan/imageproc/row_rescale.h"
#include "common/orvela_types.h"
#include "core/scan/page/stream_decoder.h"
#include "protocol/page_pull.h"

class PageStream {
public:
    enum class Result {
        Ready,      // open: the frame is known; next_row: *row holds the next row
        Wait,       // the next step needs bytes from the device (may_wait false)
        NoRow,      // every row of the page has been made
        Done,       // finish: the page is complete and the end header arrived
        Ended,      // the device ended the page before it was complete (end_result)
        Broken,     // the page cannot be finished while the device may still send it (status)
        Cancelled,  // the cancel flag was set while waiting for the device
    };

    // A page asked for at `resolution` and scanned at device_x x device_y dpi;
    // `bilevel` packs grey rows to one bit per pixel. cancel: the job's flag.
    PageStream(const bool* cancel, SANE_Word resolution, unsigned device_x, unsigned device_y, bool bilevel);
    PageStream(const PageStream&) = delete;
    PageStream& operator=(const PageStream&) = delete;
    ~PageStream();
    bool init();  // false without memory or the JPEG library

    // Memory the page's buffers take for a request of `width` device pixels
    // of `channels` samples asked for at `resolution` (resource check).
    static size_t memory_estimate(unsigned width, unsigned channels, SANE_Word resolution, unsigned device_x);

    // Reads up to the JPEG header and sets up the rows (Ready).
    Result open(bool may_wait);
    // The page as served: img_width (bytes once packed), img_height, img_channel.
    const ORVELA_IMAGE_RAW& shape() const { return shape_; }
    bool is_open() const { return open_; }

    // The next row of the served page (shape().img_width x img_channel bytes,
    // valid until the next call).
    Result next_row(bool may_wait, const uint8_t** row);
    unsigned rows_made() const { return rescaler_.rows_made(); }
    // The row next_row gave last (null before the first).
    const uint8_t* last_row() const { return last_row_; }

    // Makes the rows that nobody read, reads to the end of the image and
    // pulls the page stream up to its end header (Done).
    Result finish();

    // How the device ended the page (after Done or Ended), as Drv_scan2File
    // reports it: the feeder byte after a normal end.
    SCAN_RESULT end_result() const;
    // The SANE status of a Broken page (I/O error, no memory, unusable size).
    SANE_Status status() const { return status_; }
    // The page stream, for the drain that follows an abort.
    orvela_protocol::PagePull& pull() { return pull_; }

private:
    // One source row into the rescaler.
    Result decode_source_row(bool may_wait);
    // More bytes of the page for the decoder.
    Result fetch(bool may_wait);
    Result broken(SANE_Status status);

    orvela_protocol::PagePull pull_;
    StreamDecoder decoder_;
    RowRescaler rescaler_;
    SANE_Word resolution_;
    unsigned device_x_, device_y_;
    bool bilevel_;
    bool open_ = false;
    bool broken_ = false;  // a Broken page stays broken
    bool pack_ = false;
    const uint8_t* last_row_ = nullptr;
    uint8_t* packed_ = nullptr;
    ORVELA_IMAGE_RAW shape_{};
    SANE_Status status_ = SANE_STATUS_IO_ERROR;
};
