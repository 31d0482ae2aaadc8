// Black-and-white conversion: a randomised threshold per grey pixel, so that
// light greys come out as a stochastic dot pattern. Also the exported ordered-
// dither and halftone matrices (initialised data that nothing here reads).
#pragma once

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
