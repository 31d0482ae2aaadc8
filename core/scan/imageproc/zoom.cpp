// Streaming line scaler.
//
// For a ratio of 1/2: source lines 0, 2, 4, ... are kept in lineBuffer and
// produce nothing; lines 1, 3, 5, ... each produce one output line that is
// averaged with the line kept before; within a line every second pixel is
// emitted, smoothed with its neighbours (0.25, 0.5, 0.25).
//
//   source row:   0      1      2      3   ...
//                keep   emit   keep   emit
//                  \____/ 0      \____/ 1
#include "core/scan/imageproc/zoom.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/debugtool.h"

namespace {

// Output-line count reached after the previous source line.
int oldYValue = 0;
// Copy of the last source line that produced no output line, grown with
// realloc; it keeps its contents and size across images.
unsigned char* lineBuffer = nullptr;
size_t lineBufferSize = 0;
// Bytes of lineBuffer that hold a line of the current image; 0 when the
// current image has stored none yet (row 0 resets it), so that a line of an
// earlier image is never blended in.
size_t storedLineLength = 0;

orvela::zoom::LineObserver gObserver = nullptr;

void Emit(int row, unsigned char* line, size_t length, int channels) {
    zoomLineCompleted(row, line, length, channels);
    if (gObserver != nullptr) gObserver(row, line, length, channels);
}

// Truncates a non-negative value to an int; false when it does not fit.
bool ToInt(double v, int* out) {
    if (!(v >= 0.0) || v >= static_cast<double>(INT_MAX)) return false;
    *out = static_cast<int>(v);
    return true;
}

// Smoothed sample of channel c at pixel x of a line (P the pixel, L and R its
// neighbours): 0.25 L + 0.5 P + 0.25 R with a right neighbour, else
// 0.5 P + 0.5 L.
double Smooth(const unsigned char* line, size_t x, size_t C, size_t c, bool hasRight) {
    const double L = line[(x - 1) * C + c];
    const double P = line[x * C + c];
    if (hasRight) return 0.25 * L + 0.5 * P + 0.25 * line[(x + 1) * C + c];
    return 0.5 * P + 0.5 * L;
}

}  // namespace

namespace orvela::zoom {

void SetLineObserver(LineObserver observer) { gObserver = observer; }

int OldYValue() { return oldYValue; }

}  // namespace orvela::zoom

extern "C" {

void zoomLineCompleted(int row, unsigned char* outLineData, size_t outLength, int channels) {
    (void)row;
    (void)outLineData;
    (void)outLength;
    (void)channels;
}

void zoom(bool isZoomIn, int row, unsigned char* inLineData, size_t inLength, int srcResolution,
          int inChannels, int dstResolution) {
    if (!isZoomIn) return;
    if (srcResolution == dstResolution) {
        Emit(row, inLineData, inLength, inChannels);
        return;
    }
    if (inLineData == nullptr || row < 0 || srcResolution <= 0 || dstResolution <= 0 ||
        inChannels <= 0)
        return;

    if (row == 0) storedLineLength = 0;  // a new image
    const int prevY = row == 0 ? 0 : oldYValue;
    oldYValue = prevY;

    const double ratio = static_cast<double>(dstResolution) / srcResolution;
    int yValue = 0;
    if (!ToInt((row + 1.0) * ratio + 0.00001, &yValue)) return;

    if (yValue == prevY) {
        // This line completes no output line: keep it for the next one.
        if (inLength > lineBufferSize) {
            auto* grown = static_cast<unsigned char*>(realloc(lineBuffer, inLength));
            if (grown == nullptr) {
                storedLineLength = 0;
                oldYValue = yValue;
                return;
            }
            lineBuffer = grown;
            lineBufferSize = inLength;
        }
        if (inLength > 0) memcpy(lineBuffer, inLineData, inLength);
        storedLineLength = inLength;
        oldYValue = yValue;
        return;
    }

    // Output line yValue - 1.
    int outLen = 0;
    if (!ToInt(static_cast<double>(inLength) * ratio + 0.00001, &outLen)) return;
    const size_t outLength = static_cast<size_t>(outLen);
    auto* out = static_cast<unsigned char*>(calloc(outLength ? outLength : 1, 1));
    if (out == nullptr) {
        DBG_INFO("zoom: no memory for a line of %zu bytes\n", outLength);
        oldYValue = yValue;
        return;
    }

    const size_t C = static_cast<size_t>(inChannels);
    // Blend with the kept line only when this image kept one that covers
    // every sample read here; otherwise (a ratio above 1, or a longer line
    // than the kept one) the output is the smoothed line alone.
    const bool hasTopLine = yValue > 0 && row * ratio + 0.00001 != static_cast<double>(yValue);
    const bool canBlend = hasTopLine && storedLineLength >= inLength;
    const size_t pixels = inLength / C;
    int oldXValue = 0;
    size_t outPos = 0;
    for (size_t x = 0; x < pixels; ++x) {
        int xValue = 0;
        if (!ToInt((x + 1.0) * ratio + 0.00001, &xValue)) break;
        if (xValue == oldXValue) continue;
        if (outPos + C > outLength) break;  // never past the output line
        const bool hasRight = x + 1 < pixels && (x + 2.0) * ratio + 0.00001 != xValue;
        const bool hasLeft = x > 0 && x * ratio + 0.00001 != xValue;
        if (hasLeft && (C == 1 || C == 3)) {
            for (size_t c = 0; c < C; ++c) {
                uint8_t v = static_cast<uint8_t>(Smooth(inLineData, x, C, c, hasRight));
                if (canBlend)
                    v = static_cast<uint8_t>(0.5 * v + 0.5 * Smooth(lineBuffer, x, C, c, hasRight));
                out[outPos + c] = v;
            }
        }
        outPos += C;
        oldXValue = xValue;
    }

    Emit(yValue - 1, out, outLength, inChannels);
    free(out);
    oldYValue = yValue;
}

}  // extern "C"
