// What the simulated scanner sees on its bed, and the JPEG pages made from it.
//
// The content depends only on the physical position, in millimetres from the
// top-left corner of the 215.9 x 297 mm bed as the image shows it (feeder
// sheets use the same coordinates, centred on the 215.9 mm path). So a test can
// tell from any scanned image where on the bed it was taken: left and top
// offsets, centring and mirroring.
//
// The bed is a chart of 10 mm cells:
//
//    x = 10*cx                      x = 10*(cx+1)
//    |<-------------- 10 mm -------------->|
//    #######################################   grid line (0.4 mm, dark) at y = 10*cy
//    #                                     #
//    #  [x-code patch]     [y-code patch]  #   v = 1 .. 4.5 mm: flat grey patches whose
//    #   grey 60+7*cx       grey 60+5*cy   #   levels tell the cell's column and row
//    #                                     #
//    #  ~~ smooth colour (photo region) ~~ #   v = 5.5 .. 9.0 mm: lines of small dark
//    #  Ab3 xq Zk  (glyph strokes) or photo#   glyph strokes (text-like detail), or a
//    #                                     #   photo-like region in some cells
//
// The smooth colour everywhere outside the grid, patches and glyphs is
// expected_colour(): red grows with x, green with y, blue carries a gentle
// texture. Grey pages are the luminance of the colour pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace orvela_sim {

inline constexpr double kBedWidthMm = 215.9;
inline constexpr double kBedHeightMm = 297.0;
inline constexpr double kCellMm = 10.0;       // grid pitch
inline constexpr double kGridLineMm = 0.4;    // grid line width, centred on multiples of 10 mm

// One page as the device is asked for it (the fields of the scan parameters
// that shape the image).
struct PageRequest {
    uint32_t xres = 300;        // dpi
    uint32_t yres = 300;
    uint32_t x = 0;             // nXPosition, device pixels
    uint32_t y = 0;             // nYPosition
    uint32_t width = 0;         // nXExtent, pixels
    uint32_t height = 0;        // nYExtent, pixels
    int channels = 3;           // 1 grey, 3 RGB
    bool right_rear = false;    // x counts from the bed's right edge
    int quality = 80;           // JPEG quality

    bool operator==(const PageRequest&) const = default;
};

struct Rgb {
    uint8_t r, g, b;
};

// Physical position (mm) of the top-left corner of the requested area: for a
// right-rear reference, left = 215.9 - (x + width) in millimetres.
double physical_left_mm(const PageRequest& request);
double physical_top_mm(const PageRequest& request);

// The smooth colour code at a physical position (what the bed shows wherever
// no grid line, patch or glyph is drawn).
Rgb expected_colour(double x_mm, double y_mm);
uint8_t luminance(Rgb c);  // grey value the device sends for that colour

// True when (x_mm, y_mm) and everything within margin_mm of it shows the
// smooth colour only (no grid line, patch or glyph nearby).
bool is_plain_region(double x_mm, double y_mm, double margin_mm);

// Exactly what is drawn at a point (no anti-aliasing).
Rgb bed_colour(double x_mm, double y_mm);

// One pixel of a page, colour, computed on its own: the slow reference that
// render_page_pixels must agree with.
Rgb page_pixel(const PageRequest& request, uint32_t column, uint32_t row);

// The requested area as raw pixels, rows packed (width * channels bytes each).
// Returns an empty vector when the area is empty or too large.
std::vector<uint8_t> render_page_pixels(const PageRequest& request);

// The requested area as a baseline JPEG (grey or RGB). The last few results
// are cached, so asking again for the same page costs nothing. Returns null
// when the area is empty, too large for JPEG (65500 pixels a side) or memory
// runs out.
std::shared_ptr<const std::vector<uint8_t>> render_page_jpeg(const PageRequest& request);

// Decodes a JPEG with libjpeg into packed rows; false when it cannot be
// decoded (the error is caught, never fatal).
bool decode_jpeg(std::span<const uint8_t> jpeg, std::vector<uint8_t>& pixels, uint32_t& width, uint32_t& height,
                 int& channels);

// Where on the bed an image was taken.
struct BedPosition {
    double x_mm = 0;  // physical position of the image's top-left corner
    double y_mm = 0;
    int cells = 0;    // how many whole cells agreed on the answer
};

// Estimates the physical position of an image's top-left corner from its
// content: finds the grid lines to a fraction of a pixel and reads the cell
// codes of the whole cells inside the image. Works on grey (channels 1) and
// RGB (channels 3) images, after JPEG and after rescaling (pass the image's
// actual dpi). Needs an image of at least about 22 x 22 mm; returns nothing
// when the content does not read as this chart (e.g. a mirrored image).
std::optional<BedPosition> locate_on_bed(const uint8_t* pixels, uint32_t width, uint32_t height, int channels,
                                         double dpi_x, double dpi_y);

}  // namespace orvela_sim
