// Page resampling: a separable two-pass resampler for 8-bit images with one
// (grey) or three (interleaved RGB) samples per pixel. One pass resamples every
// row, the other every column, each through a table of precomputed filter
// weights (one weight list per destination position). Seven filter kernels are
// built in; ScaleDownPage uses the three-lobe Lanczos kernel when the page gets
// wider and the Mitchell-Netravali cubic otherwise.
//
// Images are packed rows of width x channels bytes, samples interleaved: the
// layout of ORVELA_IMAGE_RAW.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// A filter kernel: weight for an offset in (scaled) source pixels.
typedef double (*FilterFunc)(double dVal);

// One kernel and its support radius in source pixels.
struct FuncWidthMap {
    FilterFunc func;
    const double width;
};

// The weights of one destination position: Weights[i] applies to source
// position Left + i, for Left <= Left + i < Right.
struct Contribution {
    double* Weights;
    unsigned Left;
    unsigned Right;
};

// One weight list per destination position, each of m_WindowSize doubles.
// The handle owns the table and every weight list (WeightsTableRelease).
typedef struct _WeightsTableHandle {
    Contribution* m_WeightTable;
    unsigned m_WindowSize;
    unsigned m_LineLength;
} WeightsTableHandle;

double BoxFilter(double dVal);
double BilinearFilter(double dVal);
double BicubicFilter(double dVal);  // Mitchell-Netravali, B = C = 1/3
double CatmullRomFilter(double dVal);
double Lanczos3Filter(double dVal);
double BSplineFilter(double dVal);
double BlackmanFilter(double dVal);

// Normalised sinc: sin(pi v) / (pi v), exactly 1 at 0.
double sinc(double value);

// Support radius of a built-in kernel; 0 for any other function.
double GetFilterWidth(FilterFunc filter);

// Builds the weights that map uSrcSize source positions onto uDstSize
// destination positions. On a zero size, a missing filter or an allocation
// failure the handle comes back empty (null table, line length 0).
WeightsTableHandle WeightsTableInit(FilterFunc pFilter, unsigned uDstSize, unsigned uSrcSize);
void WeightsTableRelease(WeightsTableHandle handle);
// Weight of tap src_pos (counted from Left) of destination position dst_pos;
// 0 for a position outside the table.
double WeightsTableGetWeight(WeightsTableHandle handle, unsigned dst_pos, unsigned src_pos);
unsigned WeightsTableGetLeftBoundary(WeightsTableHandle handle, unsigned dst_pos);
unsigned WeightsTableGetRightBoundary(WeightsTableHandle handle, unsigned dst_pos);

// Scales srcImage (srcW x srcH pixels) into dstImage (dstW x dstH pixels, which
// the caller allocated with dstW x dstH x channels bytes). srcImage is left
// unchanged; neither buffer is freed. Only 1 and 3 channels are scaled; equal
// sizes leave the destination unwritten.
void ScaleDownPage(unsigned char* srcImage, int srcW, int srcH, int channels,
                   unsigned char* dstImage, int dstW, int dstH);

int clamp(int x, int min, int max);
void inplace_swap(int* x, int* y);

}  // extern "C"

// The kernels in their table order, with their support radii.
extern const FuncWidthMap filterWidthMap[7];
