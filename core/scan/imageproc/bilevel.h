// Black-and-white conversion: a randomised threshold per grey pixel, so that
// light greys come out as a stochastic dot pattern. Also the exported ordered-
// dither and halftone matrices (initialised data that nothing here reads).
#pragma once

#include <cstdint>

#include "common/orvela_types.h"

extern "C" {

extern int m_lpRandomScale[128];
extern unsigned int dither1[16][16];
extern unsigned int dither2[8][8];
extern unsigned int halftone[8][8];

// Fills m_lpRandomScale; called at every backend initialisation.
void InitThresholdTable(void);
// Threshold for a grey value 0..255: 127, or a random value in 128..255.
int CalcNewThreshold(int nDensity);

}  // extern "C"

// Packs a grey page to one bit per pixel in place: 1 (black) when the pixel
// is below its randomised threshold (CalcNewThreshold, once per pixel in
// order), first pixel in the top bit; img_width becomes the bytes of a row.
// A row that does not end on a whole byte ends in a partial byte whose unused
// bits are white: dropping those pixels would leave the frame's last byte to
// the read's fill pattern, a striped edge on the page.
void pack_bilevel_page(ORVELA_IMAGE_RAW& img);
// One row of it: `width` grey pixels into (width + 7) / 8 bytes; out may be
// in itself (it never runs ahead of the pixels read).
void pack_bilevel_row(const unsigned char* in, uint32_t width, unsigned char* out);
