// Exports for callers outside the backend that the scan path never calls
// (exported_extras.cpp). The resampler's own exports (the kernels, the weight
// table and ScaleDownPage) are declared with it, in resample.h.
//
// zoom is a streaming line scaler that only reduces: the caller feeds the
// lines of an image top to bottom, and each finished output line, smoothed
// and averaged with the last dropped line, goes to zoomLineCompleted. Its
// state is process-wide and unlocked: one image at a time, one thread.
#pragma once

#include <cstddef>

#include "core/scan/imageproc/resample.h"

extern "C" {

// Ordered-dither index matrices (Bayer, orders 16 and 8) and a clustered-dot
// screen; initialised data that nothing here reads.
extern unsigned int dither1[16][16];
extern unsigned int dither2[8][8];
extern unsigned int halftone[8][8];

// Feeds source line `row` (from 0; row 0 starts a new image) of inLength bytes
// with inChannels samples per pixel. Does nothing unless isZoomIn is true.
void zoom(bool isZoomIn, int row, unsigned char* inLineData, size_t inLength, int srcResolution,
          int inChannels, int dstResolution);

// Receives output line `row`; the body is empty (the lines are discarded).
void zoomLineCompleted(int row, unsigned char* outLineData, size_t outLength, int channels);

}  // extern "C"

// The described whole-image steps of the page scaler. Each builds its weight
// table and resamples; for a channel count other than 1 or 3 nothing is
// written. They return false only when working memory could not be
// allocated (the destination is then unwritten).
bool ResizeEngineHorizontalFilter(FilterFunc filter, const unsigned char* src, unsigned height,
                                  unsigned src_width, unsigned channels, unsigned char* dst,
                                  unsigned dst_width);
bool ResizeEngineVerticalFilter(FilterFunc filter, const unsigned char* src, unsigned width,
                                unsigned src_height, unsigned channels, unsigned char* dst,
                                unsigned dst_height);
// Chooses the kernel and the passes for a page (the row rescaler's choice);
// false when memory ran out.
bool ResizeEngineScale(const unsigned char* src, unsigned srcW, unsigned srcH, unsigned channels,
                       unsigned char* dst, unsigned dstW, unsigned dstH);

namespace orvela::zoom {

// Observes every line handed to zoomLineCompleted (tests); null to stop.
using LineObserver = void (*)(int row, const unsigned char* line, size_t length, int channels);
void SetLineObserver(LineObserver observer);

// The output-line count reached after the previous source line.
int OldYValue();

}  // namespace orvela::zoom
