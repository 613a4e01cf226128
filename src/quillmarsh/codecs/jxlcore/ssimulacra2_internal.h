// The pieces of the SSIMULACRA 2 computation (ssimulacra2.h): colour rows,
// the recursive Gaussian and the per-band map sums. Shared by
// ssimulacra2.cpp (the driver), ssimulacra2_color.cpp and
// ssimulacra2_blur.cpp; not part of the core's interface.
#pragma once

#include "jxlcore/ssimulacra2.h"

#include <cstddef>
#include <vector>

namespace qmjxl {
namespace ssim2 {

// ---- colour (ssimulacra2_color.cpp) ---------------------------------------

// Row y of `im` as linear-light RGB planes (grey repeated in all three).
void linear_row(const MetricImage &im, size_t y, float *r, float *g, float *b);

// Linear RGB to XYB shifted into 0..1 (X*14 + 0.42, Y + 0.01, B - Y + 0.55)
// (ssimulacra2_kernels.h).
void xyb_row(const float *r, const float *g, const float *b, float *x, float *y, float *bb,
             size_t n);

// One output row of a 2x2 box reduction (the last row/column repeated for
// an odd size): out[x] = mean of in0[2x], in0[2x+1], in1[2x], in1[2x+1].
void halve_row(const float *in0, const float *in1, size_t in_xsize, float *out);

// True when every float sample of `im` is finite (other types: always).
bool all_finite(const MetricImage &im);

// ---- blur and map sums (ssimulacra2_blur.cpp) -----------------------------

// Radius N of the metric's recursive Gaussian (sigma 1.5).
constexpr int kRadius = 5;
// Quantities blurred per channel: a, b, a*a, b*b, a*b.
constexpr size_t kQuantities = 5;
// Widest column strip strip_sums takes.
constexpr size_t kStrip = 64;

// The six norms of one channel's maps over some pixels: sums of the SSIM
// error d and d^4, of the artefact map a and a^4, of the detail-loss map l
// and l^4 (means and 4-norms are taken once all pixels are in).
struct MapSums {
    double ssim[2] = {0, 0};
    double artifact[2] = {0, 0};
    double detail[2] = {0, 0};
    void add(const MapSums &o) {
        for (int i = 0; i < 2; ++i) {
            ssim[i] += o.ssim[i];
            artifact[i] += o.artifact[i];
            detail[i] += o.detail[i];
        }
    }
};

// The recursive Gaussian's coefficients, per resonator k (1, 3, 5), as
// single-precision factors of the recursion y = n2 * in - d1 * y1 - y2 and
// of its expansion to four outputs at once (lane j of a block from the
// block's inputs and the two outputs before it). mul_in[k][s] is shifted by
// s lanes (zeros below).
struct Resonators {
    float n2[3], d1[3];
    float mul_in[3][4][4];
    float mul_prev[3][4], mul_prev2[3][4];
};
const Resonators &resonators();

// Planes of one channel the two passes share: the five quantities blurred
// along x, then a and b themselves.
constexpr size_t kStripPlanes = kQuantities + 2;

// First pass of the blur, along x: the five quantities of rows [y0, y1) of
// one `xsize` x `ysize` channel (reference rows a[y], distorted rows b[y])
// into the planes h[0..4], and a and b into h[5] and h[6], all stored by
// strips of kStrip columns (the strip from column x0 at h[p] + x0 * ysize,
// its rows kStrip floats apart) so the column pass reads memory in order.
// `scratch` holds 4 * kQuantities * xsize.
void blur_x_rows(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                 size_t y0, size_t y1, float *const *h, float *scratch);

// Second pass, down the strip of columns [x0, x1) (x0 a multiple of kStrip,
// x1 at most kStrip further) of the whole plane, and the maps of those
// columns summed.
MapSums strip_sums(const float *const *h, size_t ysize, size_t x0, size_t x1);

}  // namespace ssim2
}  // namespace qmjxl
