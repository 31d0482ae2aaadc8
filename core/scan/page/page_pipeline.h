// Host work of one page: the page file is decoded and, when the requested
// resolution differs from the device's, rescaled; a black-and-white page is
// then packed to one bit per pixel (imageproc/bilevel.h).
//
// Where the resampler can work on bands of destination rows (both axes
// change and vector code is available), a second thread rescales each band
// as soon as the decoder has produced the source rows it reads, so that the
// page costs little more than its decode; after the decode the two threads
// share the bands that are left. The bytes are exactly those of decoding the
// whole page and then calling ScaleDownPage on it: every destination row is
// computed by the same code from the same weights whatever band it is in.
//
//   decoder (caller's thread)   rows 0..k ready ----> rows ..m ready --> done, then bands left
//   band thread                 waits, band 0 ------> band 1 ... -------> bands left, ends
//
// Anything that prevents the bands (no thread, no memory for the weights, a
// band that finds no scratch memory) leaves the rescaling to ScaleDownPage on
// the whole decoded page, after the decode.
#pragma once

#include <cstdint>

#include <sane/sane.h>

#include "common/orvela_types.h"
#include "core/scan/page/page_decode.h"

// Outcome of a page's decode and rescale.
struct PageResult {
    SCAN_Status decoded;   // as orvela_sane_decompress: GOOD, IO_ERROR or NO_MEM
    SANE_Status rescaled;  // GOOD, INVAL (no usable size) or NO_MEM (no room for the rescaled page)
};

// Size of a page of w x h pixels rescaled from device_x dpi to resolution:
// trunc(w * ratio + 0.00001) x trunc(ratio * h + 0.00001). False when either
// side comes out below 1 or above 524000.
bool rescaled_page_size(uint32_t w, uint32_t h, SANE_Word resolution, unsigned device_x, uint32_t* dst_w,
                        uint32_t* dst_h);

// Decodes the page file (its frame bounded by `tier`) into *src, freeing the
// page images there were, and, when resolution differs from device_x,
// rescales it into *dst and releases src's buffer; otherwise *dst takes over
// *src. A failed decode leaves both as they were and nothing of this page
// allocated. A failed rescale leaves the decoded page in *src (dst's pointer
// cleared) for the caller to release.
PageResult decode_and_rescale_page(const char* filename, DeviceTier tier, SANE_Word resolution, unsigned device_x,
                                   ORVELA_IMAGE_RAW* src, ORVELA_IMAGE_RAW* dst);

// Settings for tests and the benchmark.
struct PagePipelineSettings {
    bool enabled = true;         // false: decode the whole page, then ScaleDownPage
    unsigned band_rows = 128;    // destination rows per band (rounded up to a multiple of 8)
    bool refuse_thread = false;  // act as if the band thread could not be started
};
PagePipelineSettings get_page_pipeline_settings();
void set_page_pipeline_settings(const PagePipelineSettings& settings);
