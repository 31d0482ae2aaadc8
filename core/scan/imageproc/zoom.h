// Streaming line scaler: the caller feeds the lines of an image one at a time,
// top to bottom, with the source and destination resolutions; each finished
// output line is handed to zoomLineCompleted. Widths shrink by the resolution
// ratio with a small smoothing filter; lines are dropped so that their number
// shrinks by the same ratio, each emitted line averaged with the last dropped
// one. Every source line yields at most one output line, so it only reduces.
//
// The state is process-wide and unlocked: one image at a time, one thread.
// The page scaling of a scan does not use this (see resample.h).
#pragma once

#include <cstddef>

extern "C" {

// Feeds source line `row` (from 0; row 0 starts a new image) of inLength bytes
// with inChannels samples per pixel. Does nothing unless isZoomIn is true.
void zoom(bool isZoomIn, int row, unsigned char* inLineData, size_t inLength, int srcResolution,
          int inChannels, int dstResolution);

// Receives output line `row`; the body is empty (the lines are discarded).
void zoomLineCompleted(int row, unsigned char* outLineData, size_t outLength, int channels);

}  // extern "C"

namespace orvela::zoom {

// Observes every line handed to zoomLineCompleted (tests); null to stop.
using LineObserver = void (*)(int row, const unsigned char* line, size_t length, int channels);
void SetLineObserver(LineObserver observer);

// The output-line count reached after the previous source line.
int OldYValue();

}  // namespace orvela::zoom
