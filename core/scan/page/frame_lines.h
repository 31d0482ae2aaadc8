// How the lines of a frame are made from the rows of a page, for both ways
// of serving a page: which stored row a line shows, how many of its bytes,
// and the fill pattern for whatever the page does not cover.
#pragma once

#include <cstddef>

#include "common/orvela_types.h"

// The frame as the reads serve it.
struct FrameLines {
    size_t bytes_per_line = 0;
    size_t pixels_per_line = 0;
    unsigned lines = 0;
    bool doubled_rows = false;  // the 1200 x 600 tier: every stored row shows twice
};

// Whether a device URI lets image data be served (otherwise a page is fill
// pattern only). `uri` need not end in a NUL within `size` bytes.
bool uri_serves_image_data(const char* uri, size_t size);

// The row of a page of `page`'s shape (img_width, img_height, img_channel)
// that frame line `line` shows, and how many of its bytes; false when the
// page does not cover the line.
bool line_row(const FrameLines& frame, const ORVELA_IMAGE_RAW& page, unsigned line, unsigned* row, size_t* count);

// Bytes [offset, offset + n) of frame line `line` into out: the first
// `image_bytes` of the line from `row`, the rest fill pattern (0x00 on lines
// 0-3 of every 8, 0xFF on lines 4-7).
void copy_line_part(const unsigned char* row, size_t image_bytes, unsigned line, size_t offset, size_t n,
                    unsigned char* out);
