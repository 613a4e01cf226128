// Colour rows for SSIMULACRA 2: samples to linear light and the 2x2
// reduction between scales (XYB is in ssimulacra2_kernels.h).
#include "jxlcore/ssimulacra2_internal.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qmjxl {
namespace ssim2 {

namespace {

double srgb_to_linear(double v) {
    const double a = std::fabs(v);
    const double l = a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4);
    return v < 0 ? -l : l;
}

// Linear value of every code of an integer type, or its normalised code
// when the samples are already linear.
std::vector<float> make_table(size_t codes, bool linear) {
    std::vector<float> t(codes);
    const double max = static_cast<double>(codes - 1);
    for (size_t i = 0; i < codes; ++i) {
        const double v = static_cast<double>(i) / max;
        t[i] = static_cast<float>(linear ? v : srgb_to_linear(v));
    }
    return t;
}

const float *table(MetricSample s, bool linear) {
    static const std::vector<float> u8 = make_table(256, false);
    static const std::vector<float> u8_lin = make_table(256, true);
    static const std::vector<float> u16 = make_table(65536, false);
    static const std::vector<float> u16_lin = make_table(65536, true);
    if (s == MetricSample::kU8) return linear ? u8_lin.data() : u8.data();
    return linear ? u16_lin.data() : u16.data();
}

// sRGB-encoded float to linear: a 4096-step table over 0..1 read with linear
// interpolation (within 1e-7 of the exact curve); outside 0..1 the curve
// itself, mirrored for negative values.
constexpr int kSteps = 4096;
const float *float_table() {
    static const std::vector<float> t = [] {
        std::vector<float> v(kSteps + 2);
        for (int i = 0; i <= kSteps + 1; ++i) v[i] = static_cast<float>(srgb_to_linear(double(i) / kSteps));
        return v;
    }();
    return t.data();
}

inline float srgb_float_to_linear(float v, const float *t) {
    if (!(v >= 0.0f && v <= 1.0f)) return static_cast<float>(srgb_to_linear(v));
    const float p = v * kSteps;
    const int i = static_cast<int>(p);
    const float f = p - static_cast<float>(i);
    return t[i] + f * (t[i + 1] - t[i]);
}

template <class T>
inline T load(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void table_row(const MetricImage &im, const uint8_t *row, const float *t, float *r, float *g,
               float *b) {
    const ptrdiff_t xs = im.xstride, cs = im.cstride;
    if (im.channels == 1) {
        for (size_t x = 0; x < im.xsize; ++x) r[x] = g[x] = b[x] = t[load<T>(row + x * xs)];
        return;
    }
    for (size_t x = 0; x < im.xsize; ++x) {
        const uint8_t *p = row + x * xs;
        r[x] = t[load<T>(p)];
        g[x] = t[load<T>(p + cs)];
        b[x] = t[load<T>(p + 2 * cs)];
    }
}

// A sample of any type as a float, integer codes scaled to 0..1.
inline float sample_at(const MetricImage &im, const uint8_t *p) {
    switch (im.sample) {
    case MetricSample::kU8: return load<uint8_t>(p) * (1.0f / 255.0f);
    case MetricSample::kU16: return load<uint16_t>(p) * (1.0f / 65535.0f);
    case MetricSample::kF32: break;
    }
    return load<float>(p);
}

// An image with alpha (the last channel) blended onto im.background, in
// the samples' own encoding, as the reference tool blends a PNG's.
void blended_row(const MetricImage &im, const uint8_t *row, float *r, float *g, float *b) {
    const ptrdiff_t xs = im.xstride, cs = im.cstride;
    const float *t = float_table();
    const size_t colours = im.channels - 1;
    const float bg = im.background;
    float *out[3] = {r, g, b};
    for (size_t x = 0; x < im.xsize; ++x) {
        const uint8_t *p = row + x * xs;
        const float a = sample_at(im, p + colours * cs);
        for (size_t c = 0; c < colours; ++c) {
            const float v = a * sample_at(im, p + c * cs) + (1.0f - a) * bg;
            out[c][x] = im.linear ? v : srgb_float_to_linear(v, t);
        }
        if (colours == 1) g[x] = b[x] = r[x];
    }
}

void float_row(const MetricImage &im, const uint8_t *row, float *r, float *g, float *b) {
    const ptrdiff_t xs = im.xstride, cs = im.cstride;
    const float *t = float_table();
    float *out[3] = {r, g, b};
    const size_t nc = im.channels;
    for (size_t c = 0; c < nc; ++c) {
        float *o = out[c];
        const uint8_t *p = row + c * cs;
        if (im.linear) {
            for (size_t x = 0; x < im.xsize; ++x) o[x] = load<float>(p + x * xs);
        } else {
            for (size_t x = 0; x < im.xsize; ++x) o[x] = srgb_float_to_linear(load<float>(p + x * xs), t);
        }
    }
    if (nc == 1) {
        std::memcpy(g, r, im.xsize * sizeof(float));
        std::memcpy(b, r, im.xsize * sizeof(float));
    }
}

}  // namespace

void linear_row(const MetricImage &im, size_t y, float *r, float *g, float *b) {
    const uint8_t *row = im.data + static_cast<ptrdiff_t>(y) * im.ystride;
    if (im.channels == 2 || im.channels == 4) return blended_row(im, row, r, g, b);
    switch (im.sample) {
    case MetricSample::kU8:
        return table_row<uint8_t>(im, row, table(im.sample, im.linear), r, g, b);
    case MetricSample::kU16:
        return table_row<uint16_t>(im, row, table(im.sample, im.linear), r, g, b);
    case MetricSample::kF32:
        return float_row(im, row, r, g, b);
    }
}

void halve_row(const float *in0, const float *in1, size_t in_xsize, float *out) {
    const size_t out_xsize = (in_xsize + 1) / 2;
    const size_t pairs = in_xsize / 2;
    for (size_t x = 0; x < pairs; ++x) {
        float s = 0.0f;
        s += in0[2 * x];
        s += in0[2 * x + 1];
        s += in1[2 * x];
        s += in1[2 * x + 1];
        out[x] = s * 0.25f;
    }
    if (out_xsize > pairs) {
        const size_t l = in_xsize - 1;
        float s = 0.0f;
        s += in0[l];
        s += in0[l];
        s += in1[l];
        s += in1[l];
        out[pairs] = s * 0.25f;
    }
}

bool all_finite(const MetricImage &im) {
    if (im.sample != MetricSample::kF32) return true;
    for (size_t y = 0; y < im.ysize; ++y) {
        const uint8_t *row = im.data + static_cast<ptrdiff_t>(y) * im.ystride;
        for (size_t x = 0; x < im.xsize; ++x)
            for (size_t c = 0; c < im.channels; ++c)
                if (!std::isfinite(load<float>(row + x * im.xstride + c * im.cstride))) return false;
    }
    return true;
}

}  // namespace ssim2
}  // namespace qmjxl
