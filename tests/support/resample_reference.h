// The page scaler written the plain way, independently of the library's code:
// the two kernels that page scaling uses, the weight lists, a horizontal pass
// row by row and a vertical pass column by column, every sum in double with
// taps in ascending order. The library's fast passes must give exactly these
// bytes. Used by the resampling tests and the resampling benchmark.
//
// Multiply and add must stay separate here too (test programs are built for
// the x86-64 baseline, which has no FMA; the pragma keeps it so).
#pragma once
#if defined(__clang__)
#pragma clang fp contract(off)
#else
#pragma GCC optimize("fp-contract=off")
#endif

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace reference {

inline double Mitchell(double x) {
    const double t = std::fabs(x);
    if (t < 1.0) return 8.0 / 9.0 + t * t * (-2.0 + t * (7.0 / 6.0));
    if (t < 2.0) return 16.0 / 9.0 + t * (-10.0 / 3.0 + t * (2.0 + t * (-7.0 / 18.0)));
    return 0.0;
}

inline double Sinc(double v) {
    if (v == 0.0) return 1.0;
    return std::sin(std::numbers::pi * v) / (std::numbers::pi * v);
}

inline double Lanczos3(double x) {
    const double t = std::fabs(x);
    return t < 3.0 ? Sinc(t) * Sinc(t / 3.0) : 0.0;
}

struct Taps {
    int left = 0;
    std::vector<double> w;
};

// One weight list per destination position.
inline std::vector<Taps> Weights(bool lanczos, int dst, int src) {
    double width = lanczos ? 3.0 : 2.0;
    const double scale = double(dst) / double(src);
    double fscale = 1.0;
    if (scale < 1.0) {
        fscale = scale;
        width /= scale;
    }
    std::vector<Taps> table(dst);
    for (int u = 0; u < dst; ++u) {
        const double centre = u / scale + 0.5 / scale;
        int left = int(centre - width + 0.5);
        if (left < 0) left = 0;
        int right = int(centre + width + 0.5);
        if (right > src) right = src;
        std::vector<double> w;
        double total = 0.0;
        for (int s = left; s < right; ++s) {
            const double x = (s + 0.5 - centre) * fscale;
            const double k = fscale * (lanczos ? Lanczos3(x) : Mitchell(x));
            w.push_back(k);
            total += k;
        }
        if (total > 0.0 && total != 1.0)
            for (double& k : w) k /= total;
        while (!w.empty() && w.back() == 0.0) w.pop_back();
        table[u].left = left;
        table[u].w = w;
    }
    return table;
}

inline uint8_t Round(double sum) {
    int v = int(sum + 0.5);
    return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
}

inline void Horizontal(bool lanczos, const uint8_t* src, int height, int sw, int C, uint8_t* dst,
                       int dw) {
    const std::vector<Taps> t = Weights(lanczos, dw, sw);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < dw; ++x)
            for (int c = 0; c < C; ++c) {
                double sum = 0.0;
                for (size_t i = 0; i < t[x].w.size(); ++i)
                    sum += t[x].w[i] * src[(size_t(y) * sw + t[x].left + i) * C + c];
                dst[(size_t(y) * dw + x) * C + c] = Round(sum);
            }
}

inline void Vertical(bool lanczos, const uint8_t* src, int width, int sh, int C, uint8_t* dst,
                     int dh) {
    const std::vector<Taps> t = Weights(lanczos, dh, sh);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < dh; ++y)
            for (int c = 0; c < C; ++c) {
                double sum = 0.0;
                for (size_t i = 0; i < t[y].w.size(); ++i)
                    sum += t[y].w[i] * src[((t[y].left + i) * width + x) * C + c];
                dst[(size_t(y) * width + x) * C + c] = Round(sum);
            }
}

// Scales a page: Lanczos with the columns first when it gets wider, the cubic
// with the rows first otherwise; a change of height alone is a cubic vertical
// pass. Equal sizes write nothing.
inline void ScalePage(const uint8_t* src, int sw, int sh, int C, uint8_t* dst, int dw, int dh) {
    if (dw > sw) {
        if (dh == sh) return Horizontal(true, src, sh, sw, C, dst, dw);
        std::vector<uint8_t> mid(size_t(sw) * dh * C);
        Vertical(true, src, sw, sh, C, mid.data(), dh);
        Horizontal(true, mid.data(), dh, sw, C, dst, dw);
    } else if (dw == sw) {
        if (dh != sh) Vertical(false, src, sw, sh, C, dst, dh);
    } else {
        if (dh == sh) return Horizontal(false, src, sh, sw, C, dst, dw);
        std::vector<uint8_t> mid(size_t(dw) * sh * C);
        Horizontal(false, src, sh, sw, C, mid.data(), dw);
        Vertical(false, mid.data(), dw, sh, C, dst, dh);
    }
}

}  // namespace reference
