// Drawing the bed chart, encoding pages as JPEG, and reading positions back.
#include "tools/scanner_sim/page_image.h"

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <new>

namespace orvela_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint8_t kInk = 28;  // grid lines and glyph strokes

// Cell layout, in millimetres from the cell's top-left corner.
constexpr double kPatchTop = 1.0, kPatchBottom = 4.5;
constexpr double kXPatchLeft = 1.0, kXPatchRight = 4.5;
constexpr double kYPatchLeft = 5.5, kYPatchRight = 9.0;
constexpr double kLowerTop = 5.5, kLowerBottom = 9.0;  // 0.8 mm clear of the line below, as the patches above
constexpr double kGlyphLeft = 0.8, kGlyphPitch = 1.4, kGlyphCol = 0.35;  // 3 columns of 0.35 mm
constexpr int kGlyphsPerLine = 6;
constexpr double kGlyphLineTop[2] = {5.5, 7.35};
constexpr double kGlyphRow = 0.33;  // 5 rows of 0.33 mm

// Cell-code grey levels.
constexpr int kXCodeBase = 60, kXCodeStep = 7;
constexpr int kYCodeBase = 60, kYCodeStep = 5;

uint8_t clamp_byte(double v) {
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

uint32_t mix(uint32_t a, uint32_t b, uint32_t c = 0, uint32_t d = 0) {
    uint32_t h = 0x9E3779B9u ^ (a * 0x85EBCA6Bu) ^ (b * 0xC2B2AE35u) ^ (c * 0x27D4EB2Fu) ^ (d * 0x165667B1u);
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

enum class CellKind { Text, Photo, Plain };

int cell_index(double mm) {
    return static_cast<int>(std::floor(mm / kCellMm));
}

CellKind cell_kind(int cx, int cy) {
    uint32_t h = mix(static_cast<uint32_t>(cx), static_cast<uint32_t>(cy), 7) % 20;
    if (h < 12) return CellKind::Text;
    if (h < 15) return CellKind::Photo;
    return CellKind::Plain;
}

// 15-bit glyph bitmap (3 columns x 5 rows, bit = col * 5 + row); 0 is a space.
uint32_t glyph_bits(int cx, int cy, int line, int index) {
    uint32_t h = mix(static_cast<uint32_t>(cx), static_cast<uint32_t>(cy), static_cast<uint32_t>(line),
                     static_cast<uint32_t>(index) + 11);
    if (h % 7 == 0) return 0;
    uint32_t bits = (h >> 3) & 0x7FFF;
    // Letters have a stem: keep one full column so strokes look like text.
    bits |= 0x1Fu << (5 * ((h >> 20) % 3));
    return bits;
}

uint8_t x_code_level(int cx) {
    return static_cast<uint8_t>(std::clamp(kXCodeBase + kXCodeStep * cx, 0, 255));
}
uint8_t y_code_level(int cy) {
    return static_cast<uint8_t>(std::clamp(kYCodeBase + kYCodeStep * cy, 0, 255));
}

double red_of(double x_mm) {
    return 40.0 + 180.0 * std::clamp(x_mm / kBedWidthMm, 0.0, 1.0);
}
double green_of(double y_mm) {
    return 40.0 + 180.0 * std::clamp(y_mm / kBedHeightMm, 0.0, 1.0);
}
double blue_x(double x_mm) {
    return std::sin(2.0 * kPi * x_mm / 23.0);
}
double blue_y(double y_mm) {
    return std::sin(2.0 * kPi * y_mm / 31.0);
}
// Fine grain of the photo-like regions (zero mean, about 1 mm period).
double grain_x(double x_mm) {
    return std::sin(2.0 * kPi * x_mm / 0.9) + 0.5 * std::sin(2.0 * kPi * x_mm / 2.3);
}
double grain_y(double y_mm) {
    return std::cos(2.0 * kPi * y_mm / 1.1) + 0.5 * std::sin(2.0 * kPi * y_mm / 3.7);
}

// Fraction of [a, b] covered by the grid lines (width kGridLineMm, centred on
// multiples of 10 mm).
double line_coverage(double a, double b) {
    const double half = kGridLineMm / 2;
    double covered = 0;
    for (long k = static_cast<long>(std::floor((a - half) / kCellMm)); k <= static_cast<long>(std::ceil((b + half) / kCellMm));
         ++k) {
        double lo = std::max(a, k * kCellMm - half), hi = std::min(b, k * kCellMm + half);
        if (hi > lo) covered += hi - lo;
    }
    return b > a ? std::clamp(covered / (b - a), 0.0, 1.0) : 0.0;
}

// Where a coordinate falls inside its cell, for one axis, with everything the
// drawing needs from that axis worked out once.
struct AxisSample {
    int cell = 0;          // cx or cy
    float line = 0;        // grid line coverage of the pixel, 0..1
    float smooth = 0;      // red (x) or green (y) of the smooth code
    float tex = 0;         // blue texture factor
    float grain = 0;       // photo grain factor
    uint8_t zone = 0;      // x: 1 x-code patch, 2 y-code patch; y: 1 patch band, 2 lower region
    uint8_t code = 0;      // x: the x-code level of the cell; y: the y-code level
    int8_t glyph = -1;     // x: glyph index in the line; y: glyph line (0, 1)
    int8_t glyph_sub = 0;  // x: glyph column (0..2); y: glyph row (0..4)
};

AxisSample sample_point(double mm, double line, bool is_x) {
    AxisSample s;
    s.cell = cell_index(mm);
    const double local = mm - s.cell * kCellMm;
    s.line = static_cast<float>(line);
    s.smooth = static_cast<float>(is_x ? red_of(mm) : green_of(mm));
    s.tex = static_cast<float>(is_x ? blue_x(mm) : blue_y(mm));
    s.grain = static_cast<float>(is_x ? grain_x(mm) : grain_y(mm));
    if (is_x) {
        s.code = x_code_level(s.cell);
        if (local >= kXPatchLeft && local < kXPatchRight) s.zone = 1;
        else if (local >= kYPatchLeft && local < kYPatchRight) s.zone = 2;
        const double gu = local - kGlyphLeft;
        if (gu >= 0) {
            const int index = static_cast<int>(gu / kGlyphPitch);
            const double in = gu - index * kGlyphPitch;
            if (index < kGlyphsPerLine && in < 3 * kGlyphCol) {
                s.glyph = static_cast<int8_t>(index);
                s.glyph_sub = static_cast<int8_t>(std::min(2, static_cast<int>(in / kGlyphCol)));
            }
        }
    } else {
        s.code = y_code_level(s.cell);
        if (local >= kPatchTop && local < kPatchBottom) s.zone = 1;
        else if (local >= kLowerTop && local < kLowerBottom) s.zone = 2;
        for (int line_no = 0; line_no < 2; ++line_no) {
            const double gv = local - kGlyphLineTop[line_no];
            if (gv >= 0 && gv < 5 * kGlyphRow) {
                s.glyph = static_cast<int8_t>(line_no);
                s.glyph_sub = static_cast<int8_t>(std::min(4, static_cast<int>(gv / kGlyphRow)));
            }
        }
    }
    return s;
}

// Pixel `index` of an axis starting at start_mm with the given pitch.
AxisSample sample_axis(double start_mm, double pitch_mm, uint32_t index, bool is_x) {
    const double a = start_mm + index * pitch_mm;
    return sample_point(a + pitch_mm / 2, line_coverage(a, a + pitch_mm), is_x);
}

inline uint8_t to_byte(float v) {
    return static_cast<uint8_t>(v <= 0.f ? 0 : v >= 255.f ? 255 : static_cast<int>(v + 0.5f));
}

// What the lower region of one cell holds, looked up once per row and cell.
struct CellLook {
    CellKind kind = CellKind::Plain;
    uint32_t glyphs[kGlyphsPerLine] = {};  // bitmaps of the glyph line the row crosses
};

CellLook cell_look(int cx, int cy, int glyph_line) {
    CellLook look;
    look.kind = cell_kind(cx, cy);
    if (look.kind == CellKind::Text && glyph_line >= 0)
        for (int g = 0; g < kGlyphsPerLine; ++g) look.glyphs[g] = glyph_bits(cx, cy, glyph_line, g);
    return look;
}

// The chart at one pixel, grid lines included.
inline Rgb pixel_colour(const AxisSample& sx, const AxisSample& sy, const CellLook& look) {
    Rgb c;
    if (sy.zone == 1 && sx.zone == 1) {
        c = {sx.code, sx.code, sx.code};
    } else if (sy.zone == 1 && sx.zone == 2) {
        c = {sy.code, sy.code, sy.code};
    } else {
        float r = sx.smooth, g = sy.smooth, b = 128.f + 60.f * sx.tex * sy.tex;
        if (sy.zone == 2 && look.kind == CellKind::Photo) {
            const float grain = 14.f * sx.grain * sy.grain;
            r += grain;
            g -= grain;
            b += grain;
        }
        c = {to_byte(r), to_byte(g), to_byte(b)};
        if (sy.zone == 2 && look.kind == CellKind::Text && sy.glyph >= 0 && sx.glyph >= 0 &&
            (look.glyphs[sx.glyph] & (1u << (sx.glyph_sub * 5 + sy.glyph_sub))))
            c = {kInk, kInk, kInk};
    }
    if (sx.line > 0.f || sy.line > 0.f) {
        const float cover = 1.f - (1.f - sx.line) * (1.f - sy.line);
        auto blend = [cover](uint8_t v) { return to_byte(v * (1.f - cover) + kInk * cover); };
        c = {blend(c.r), blend(c.g), blend(c.b)};
    }
    return c;
}

// A range of columns [begin, end) that share something (a patch, a cell).
struct Run {
    uint32_t begin, end;
    int cell;
};

// Precomputed samples of a whole page, and the column ranges the row renderer
// works through.
struct PageGeometry {
    std::vector<AxisSample> columns;
    std::vector<AxisSample> rows;
    std::vector<uint8_t> red;          // red of the smooth code per column
    std::vector<float> tex;            // blue texture factor per column
    std::vector<uint32_t> line_columns;  // columns a vertical grid line touches
    std::vector<Run> x_patches, y_patches, cells;
    int cell_min = 0;
    int channels = 3;
};

void add_to_runs(std::vector<Run>& runs, uint32_t column, int cell) {
    if (!runs.empty() && runs.back().end == column && runs.back().cell == cell) {
        ++runs.back().end;
        return;
    }
    runs.push_back({column, column + 1, cell});
}

bool page_geometry(const PageRequest& req, PageGeometry& geo) {
    if (req.xres == 0 || req.yres == 0 || req.width == 0 || req.height == 0) return false;
    if (req.channels != 1 && req.channels != 3) return false;
    const double px = 25.4 / req.xres, py = 25.4 / req.yres;
    const double left = physical_left_mm(req), top = physical_top_mm(req);
    try {
        geo.columns.resize(req.width);
        geo.rows.resize(req.height);
        geo.red.resize(req.width);
        geo.tex.resize(req.width);
        for (uint32_t i = 0; i < req.width; ++i) {
            const AxisSample sx = sample_axis(left, px, i, true);
            geo.columns[i] = sx;
            geo.red[i] = to_byte(sx.smooth);
            geo.tex[i] = sx.tex;
            if (sx.line > 0.f) geo.line_columns.push_back(i);
            if (sx.zone == 1) add_to_runs(geo.x_patches, i, sx.cell);
            if (sx.zone == 2) add_to_runs(geo.y_patches, i, sx.cell);
            add_to_runs(geo.cells, i, sx.cell);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t j = 0; j < req.height; ++j) geo.rows[j] = sample_axis(top, py, j, false);
    geo.cell_min = geo.columns.front().cell;
    geo.channels = req.channels;
    return true;
}

inline void put(uint8_t* rgb, size_t i, Rgb c) {
    rgb[3 * i] = c.r;
    rgb[3 * i + 1] = c.g;
    rgb[3 * i + 2] = c.b;
}

// Renders row j; gives exactly what pixel_colour gives for every pixel, but
// works through the row by column ranges. `rgb` is scratch space of width * 3
// bytes (the output itself for colour pages).
void render_row(const PageGeometry& geo, uint32_t j, uint8_t* out, std::vector<uint8_t>& scratch) {
    const AxisSample& sy = geo.rows[j];
    const size_t width = geo.columns.size();
    uint8_t* rgb = out;
    if (geo.channels == 1) {
        scratch.resize(width * 3);
        rgb = scratch.data();
    }
    // The smooth code everywhere.
    const uint8_t green = to_byte(sy.smooth);
    const float ty = sy.tex;
    for (size_t i = 0; i < width; ++i) {
        rgb[3 * i] = geo.red[i];
        rgb[3 * i + 1] = green;
        rgb[3 * i + 2] = to_byte(128.f + 60.f * geo.tex[i] * ty);
    }
    if (sy.zone == 1) {
        // The code patches.
        for (const Run& run : geo.x_patches) {
            const uint8_t v = geo.columns[run.begin].code;
            for (uint32_t i = run.begin; i < run.end; ++i) put(rgb, i, {v, v, v});
        }
        for (const Run& run : geo.y_patches)
            for (uint32_t i = run.begin; i < run.end; ++i) put(rgb, i, {sy.code, sy.code, sy.code});
    } else if (sy.zone == 2) {
        // Photo grain or glyphs, cell by cell.
        for (const Run& run : geo.cells) {
            const CellLook look = cell_look(run.cell, sy.cell, sy.glyph);
            if (look.kind == CellKind::Photo) {
                for (uint32_t i = run.begin; i < run.end; ++i) {
                    const AxisSample& sx = geo.columns[i];
                    const float grain = 14.f * sx.grain * sy.grain;
                    put(rgb, i, {to_byte(sx.smooth + grain), to_byte(sy.smooth - grain), to_byte(128.f + 60.f * sx.tex * sy.tex + grain)});
                }
            } else if (look.kind == CellKind::Text && sy.glyph >= 0) {
                for (uint32_t i = run.begin; i < run.end; ++i) {
                    const AxisSample& sx = geo.columns[i];
                    if (sx.glyph >= 0 && (look.glyphs[sx.glyph] & (1u << (sx.glyph_sub * 5 + sy.glyph_sub))))
                        put(rgb, i, {kInk, kInk, kInk});
                }
            }
        }
    }
    // Grid lines over everything.
    auto blend_at = [&](size_t i) {
        const float cover = 1.f - (1.f - geo.columns[i].line) * (1.f - sy.line);
        for (int ch = 0; ch < 3; ++ch) rgb[3 * i + ch] = to_byte(rgb[3 * i + ch] * (1.f - cover) + kInk * cover);
    };
    if (sy.line > 0.f) {
        for (size_t i = 0; i < width; ++i) blend_at(i);
    } else {
        for (uint32_t i : geo.line_columns) blend_at(i);
    }
    if (geo.channels == 1)
        for (size_t i = 0; i < width; ++i) out[i] = luminance({rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]});
}

// libjpeg error handling: errors jump back to the caller, warnings are quiet.
struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void jpeg_error_exit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
void jpeg_quiet(j_common_ptr, int) {}

std::shared_ptr<const std::vector<uint8_t>> encode_page(const PageRequest& req) {
    if (req.width > 65500 || req.height > 65500) return nullptr;
    PageGeometry geo;
    if (!page_geometry(req, geo)) return nullptr;
    const size_t row_bytes = static_cast<size_t>(req.width) * req.channels;
    uint8_t* row = static_cast<uint8_t*>(std::malloc(row_bytes));
    if (!row) return nullptr;

    jpeg_compress_struct cinfo;
    JpegError err;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    std::shared_ptr<std::vector<uint8_t>> result;
    std::vector<uint8_t> scratch;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_error_exit;
    err.mgr.emit_message = jpeg_quiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        std::free(row);
        return nullptr;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = req.width;
    cinfo.image_height = req.height;
    cinfo.input_components = req.channels;
    cinfo.in_color_space = req.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(req.quality, 10, 100), TRUE);
    cinfo.density_unit = 1;  // dots per inch
    cinfo.X_density = static_cast<UINT16>(std::min<uint32_t>(req.xres, 65535));
    cinfo.Y_density = static_cast<UINT16>(std::min<uint32_t>(req.yres, 65535));
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        render_row(geo, cinfo.next_scanline, row, scratch);
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(row);
    try {
        result = std::make_shared<std::vector<uint8_t>>(out, out + out_size);
    } catch (const std::bad_alloc&) {
        result.reset();
    }
    std::free(out);
    return result;
}

// A few recent pages: feeder jobs and repeated tests ask for the same page.
std::mutex g_cache_mutex;
std::list<std::pair<PageRequest, std::shared_ptr<const std::vector<uint8_t>>>> g_cache;
constexpr size_t kCacheEntries = 6;

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Finds the grid lines in a luminance profile (pixel i covers [i, i+1)).
// Returns the position of the first line centre in [0, period), in pixels;
// nothing when no comb of dark lines stands out.
std::optional<double> find_line_phase(const std::vector<double>& profile, double period) {
    const size_t n = profile.size();
    if (n < 4 || period < 3 || static_cast<double>(n) < period * 1.5) return std::nullopt;
    const double ref = median_of(profile);
    std::vector<double> dark(n);
    for (size_t i = 0; i < n; ++i) dark[i] = std::max(0.0, ref - profile[i]);
    auto dark_at = [&](double c) {  // linear interpolation between pixel centres
        double t = c - 0.5;
        if (t < 0 || t > static_cast<double>(n - 1)) return 0.0;
        size_t i = static_cast<size_t>(t);
        double f = t - i;
        return i + 1 < n ? dark[i] * (1 - f) + dark[i + 1] * f : dark[i];
    };
    double best = -1, best_phase = 0;
    for (double p = 0; p < period; p += 0.25) {
        double score = 0;
        int lines = 0;
        for (double c = p; c < static_cast<double>(n); c += period, ++lines) score += dark_at(c);
        if (lines) score /= lines;
        if (score > best) {
            best = score;
            best_phase = p;
        }
    }
    // The lines must stand out against the rest of the profile.
    double mean_dark = 0;
    for (double d : dark) mean_dark += d;
    mean_dark /= n;
    if (best < 20 || best < 2.5 * mean_dark) return std::nullopt;

    // Refine each whole line by the centroid of its dip below the brightest
    // level around it (a local baseline, so the content beside a line does
    // not pull it one way).
    const double window = std::max(1.5, period * kGridLineMm / kCellMm * 1.5 + 1.0);
    double sum = 0, weight = 0;
    int k = 0;
    for (double c = best_phase; c < static_cast<double>(n); c += period, ++k) {
        if (c - window < 0 || c + window > static_cast<double>(n)) continue;
        const size_t first = static_cast<size_t>(std::max(0.0, std::ceil(c - window - 0.5)));
        size_t last = static_cast<size_t>(std::floor(c + window - 0.5));
        if (last >= n) last = n - 1;
        if (last <= first) continue;
        double base = 0;
        for (size_t i = first; i <= last; ++i) base = std::max(base, profile[i]);
        double m = 0, w = 0;
        for (size_t i = first; i <= last; ++i) {
            const double d = base - profile[i];
            m += d * (i + 0.5);
            w += d;
        }
        if (w <= 0) continue;
        sum += (m / w - k * period) * w;
        weight += w;
    }
    if (weight <= 0) return std::nullopt;
    double phase = sum / weight;
    while (phase < 0) phase += period;
    while (phase >= period) phase -= period;
    return phase;
}

}  // namespace

double physical_left_mm(const PageRequest& request) {
    if (request.xres == 0) return 0;
    const double x = request.x * 25.4 / request.xres;
    if (!request.right_rear) return x;
    return kBedWidthMm - (x + request.width * 25.4 / request.xres);
}

double physical_top_mm(const PageRequest& request) {
    return request.yres ? request.y * 25.4 / request.yres : 0;
}

Rgb expected_colour(double x_mm, double y_mm) {
    return {clamp_byte(red_of(x_mm)), clamp_byte(green_of(y_mm)), clamp_byte(128.0 + 60.0 * blue_x(x_mm) * blue_y(y_mm))};
}

uint8_t luminance(Rgb c) {
    // The weights of JPEG's luma, in fixed point.
    return static_cast<uint8_t>((19595u * c.r + 38470u * c.g + 7471u * c.b + 32768u) >> 16);
}

bool is_plain_region(double x_mm, double y_mm, double margin_mm) {
    // Sample the neighbourhood finely enough to meet every drawn element.
    const double step = std::min(0.1, std::max(margin_mm, 0.01));
    for (double dy = -margin_mm; dy <= margin_mm + 1e-9; dy += step) {
        for (double dx = -margin_mm; dx <= margin_mm + 1e-9; dx += step) {
            const double x = x_mm + dx, y = y_mm + dy;
            if (line_coverage(x - 0.001, x + 0.001) > 0 || line_coverage(y - 0.001, y + 0.001) > 0) return false;
            const int cx = cell_index(x), cy = cell_index(y);
            const double u = x - cx * kCellMm, v = y - cy * kCellMm;
            if (v >= kPatchTop && v < kPatchBottom &&
                ((u >= kXPatchLeft && u < kXPatchRight) || (u >= kYPatchLeft && u < kYPatchRight)))
                return false;
            if (v >= kLowerTop && v < kLowerBottom && cell_kind(cx, cy) != CellKind::Plain) return false;
        }
    }
    return true;
}

Rgb bed_colour(double x_mm, double y_mm) {
    const double onx = line_coverage(x_mm - 0.0005, x_mm + 0.0005) > 0.5 ? 1.0 : 0.0;
    const double ony = line_coverage(y_mm - 0.0005, y_mm + 0.0005) > 0.5 ? 1.0 : 0.0;
    const AxisSample sx = sample_point(x_mm, onx, true), sy = sample_point(y_mm, ony, false);
    return pixel_colour(sx, sy, cell_look(sx.cell, sy.cell, sy.zone == 2 ? sy.glyph : -1));
}

Rgb page_pixel(const PageRequest& request, uint32_t column, uint32_t row) {
    if (request.xres == 0 || request.yres == 0) return {0, 0, 0};
    const AxisSample sx = sample_axis(physical_left_mm(request), 25.4 / request.xres, column, true);
    const AxisSample sy = sample_axis(physical_top_mm(request), 25.4 / request.yres, row, false);
    return pixel_colour(sx, sy, cell_look(sx.cell, sy.cell, sy.zone == 2 ? sy.glyph : -1));
}

std::vector<uint8_t> render_page_pixels(const PageRequest& request) {
    std::vector<uint8_t> pixels;
    const uint64_t bytes = uint64_t{request.width} * request.height * static_cast<uint64_t>(std::max(request.channels, 0));
    if (bytes == 0 || bytes > (uint64_t{1} << 31)) return pixels;
    PageGeometry geo;
    if (!page_geometry(request, geo)) return pixels;
    try {
        pixels.resize(bytes);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const size_t row_bytes = static_cast<size_t>(request.width) * request.channels;
    std::vector<uint8_t> scratch;
    for (uint32_t j = 0; j < request.height; ++j) render_row(geo, j, pixels.data() + j * row_bytes, scratch);
    return pixels;
}

std::shared_ptr<const std::vector<uint8_t>> render_page_jpeg(const PageRequest& request) {
    {
        std::lock_guard lock(g_cache_mutex);
        for (auto it = g_cache.begin(); it != g_cache.end(); ++it) {
            if (it->first == request) {
                g_cache.splice(g_cache.begin(), g_cache, it);
                return g_cache.front().second;
            }
        }
    }
    auto jpeg = encode_page(request);
    if (jpeg) {
        std::lock_guard lock(g_cache_mutex);
        g_cache.emplace_front(request, jpeg);
        while (g_cache.size() > kCacheEntries) g_cache.pop_back();
    }
    return jpeg;
}

bool decode_jpeg(std::span<const uint8_t> jpeg, std::vector<uint8_t>& pixels, uint32_t& width, uint32_t& height,
                 int& channels) {
    if (jpeg.empty()) return false;
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_error_exit;
    err.mgr.emit_message = jpeg_quiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const size_t row_bytes = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    bool ok = true;
    try {
        pixels.assign(row_bytes * cinfo.output_height, 0);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[1] = {pixels.data() + cinfo.output_scanline * row_bytes};
        jpeg_read_scanlines(&cinfo, rows, 1);
    }
    width = cinfo.output_width;
    height = cinfo.output_height;
    channels = cinfo.output_components;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

std::optional<BedPosition> locate_on_bed(const uint8_t* pixels, uint32_t width, uint32_t height, int channels,
                                         double dpi_x, double dpi_y) {
    if (!pixels || width == 0 || height == 0 || (channels != 1 && channels != 3) || dpi_x <= 0 || dpi_y <= 0)
        return std::nullopt;
    const double sx = dpi_x / 25.4, sy = dpi_y / 25.4;  // pixels per millimetre
    auto lum = [&](size_t i, size_t j) -> double {
        const uint8_t* p = pixels + (j * width + i) * channels;
        return channels == 1 ? p[0] : 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    };
    std::vector<double> cols(width, 0.0), rows(height, 0.0);
    for (size_t j = 0; j < height; ++j) {
        for (size_t i = 0; i < width; ++i) {
            double l = lum(i, j);
            cols[i] += l;
            rows[j] += l;
        }
    }
    for (double& c : cols) c /= height;
    for (double& r : rows) r /= width;
    const double period_x = kCellMm * sx, period_y = kCellMm * sy;
    auto phase_x = find_line_phase(cols, period_x);
    auto phase_y = find_line_phase(rows, period_y);
    if (!phase_x || !phase_y) return std::nullopt;

    // Mean luminance of a square of +-half_mm around a point given in pixels.
    auto patch_mean = [&](double cx_px, double cy_px, double half_mm) -> std::optional<double> {
        long i0 = std::lround(cx_px - half_mm * sx), i1 = std::lround(cx_px + half_mm * sx);
        long j0 = std::lround(cy_px - half_mm * sy), j1 = std::lround(cy_px + half_mm * sy);
        if (i0 < 0 || j0 < 0 || i1 >= static_cast<long>(width) || j1 >= static_cast<long>(height)) return std::nullopt;
        if (i1 < i0) i1 = i0;
        if (j1 < j0) j1 = j0;
        double sum = 0;
        for (long j = j0; j <= j1; ++j)
            for (long i = i0; i <= i1; ++i) sum += lum(static_cast<size_t>(i), static_cast<size_t>(j));
        return sum / static_cast<double>((i1 - i0 + 1) * (j1 - j0 + 1));
    };
    auto read_code = [](double level, int base, int step) -> std::optional<int> {
        int code = static_cast<int>(std::lround((level - base) / step));
        if (code < 0 || std::abs(level - (base + step * code)) > step * 0.4) return std::nullopt;
        return code;
    };

    // Votes for the column and row number of the first whole line.
    std::map<int, int> votes_x, votes_y;
    int cells = 0;
    for (int k = 0; *phase_x + (k + 1) * period_x <= width; ++k) {
        for (int m = 0; *phase_y + (m + 1) * period_y <= height; ++m) {
            const double left = *phase_x + k * period_x, top = *phase_y + m * period_y;
            const double patch_v = (kPatchTop + kPatchBottom) / 2, half = 1.0;
            auto xl = patch_mean(left + (kXPatchLeft + kXPatchRight) / 2 * sx, top + patch_v * sy, half);
            auto yl = patch_mean(left + (kYPatchLeft + kYPatchRight) / 2 * sx, top + patch_v * sy, half);
            if (!xl || !yl) continue;
            auto cx = read_code(*xl, kXCodeBase, kXCodeStep);
            auto cy = read_code(*yl, kYCodeBase, kYCodeStep);
            ++cells;
            if (cx) ++votes_x[*cx - k];
            if (cy) ++votes_y[*cy - m];
        }
    }
    if (cells == 0) return std::nullopt;
    auto winner = [cells](const std::map<int, int>& votes) -> std::optional<std::pair<int, int>> {
        auto best = std::max_element(votes.begin(), votes.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        if (best == votes.end() || best->second * 2 <= cells) return std::nullopt;
        return std::pair{best->first, best->second};
    };
    auto wx = winner(votes_x), wy = winner(votes_y);
    if (!wx || !wy) return std::nullopt;
    BedPosition pos;
    pos.x_mm = kCellMm * wx->first - *phase_x / sx;
    pos.y_mm = kCellMm * wy->first - *phase_y / sy;
    pos.cells = std::min(wx->second, wy->second);
    return pos;
}

}  // namespace orvela_sim
