// Making JPEG files in tests: libjpeg's compressor, loaded with dlopen so that
// no test program needs to link the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Encodes packed rows (width * channels bytes each; channels 1 or 3) as a
// baseline JPEG. Empty on failure.
std::vector<uint8_t> encode_test_jpeg(const uint8_t* pixels, unsigned width, unsigned height, int channels,
                                      int quality = 90);

// Writes bytes to a file; false on failure.
bool write_test_file(const std::string& path, const std::vector<uint8_t>& bytes);
