// JPEG images for tests: an encoder with the options they need (quality,
// extra markers, density, progressive scans, arithmetic coding, restart
// intervals), a reference
// decoder reading from memory and a test picture. Both use libjpeg loaded
// with dlopen, so no test program links it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JpegEncodeOptions {
    JpegEncodeOptions(int q = 90) : quality(q) {}  // implicit: a quality alone is enough
    int quality;
    bool progressive = false;
    bool arithmetic = false;  // arithmetic coding instead of Huffman
    int restartRows = 0;  // restart interval in MCU rows; 0 for none
    uint8_t densityUnit = 1;
    uint16_t xDensity = 300;
    uint16_t yDensity = 300;
    // Markers written after the JFIF header: (marker code, payload), e.g.
    // 0xE5 for APP5 or 0xFE for a comment. Payloads of up to 65533 bytes.
    std::vector<std::pair<int, std::vector<uint8_t>>> markers;
};

// Encodes packed rows (width * channels bytes each; channels 1 or 3). Empty
// on failure.
std::vector<uint8_t> jpeg_encode(const std::vector<uint8_t>& pixels, unsigned width, unsigned height, int channels,
                                 const JpegEncodeOptions& options = {});

// Decodes a whole JPEG from memory into its rows; false on any library error.
bool jpeg_decode_reference(const std::vector<uint8_t>& jpeg, std::vector<std::vector<uint8_t>>* rows);

// A test picture with detail: gradients, a checkerboard and noise.
std::vector<uint8_t> jpeg_test_picture(unsigned width, unsigned height, int channels, unsigned seed = 1);
