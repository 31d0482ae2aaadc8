// Black-and-white conversion: a randomised threshold per grey pixel, so that
// light greys come out as a stochastic dot pattern.
#pragma once

#include <cstdint>

#include "common/orvela_types.h"

extern "C" {

extern int m_lpRandomScale[128];

// Fills m_lpRandomScale; called at every backend initialisation.
void InitThresholdTable(void);
// Threshold for a grey value 0..255: 127, or a random value in 128..255.
int CalcNewThreshold(int nDensity);

}  // extern "C"

// Packs `width` grey pixels to one bit per pixel, into (width + 7) / 8
// bytes: 1 (black) when the pixel is below its randomised threshold
// (CalcNewThreshold, once per pixel in order), first pixel in the top bit. A
// row that does not end on a whole byte ends in a partial byte whose unused
// bits are white: dropping those pixels would leave the frame's last byte to
// the read's fill pattern, a striped edge on the page. `out` may be `in`
// itself (it never runs ahead of the pixels read).
void pack_bilevel_row(const unsigned char* in, uint32_t width, unsigned char* out);
