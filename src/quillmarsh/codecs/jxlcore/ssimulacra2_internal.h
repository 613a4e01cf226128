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

// Linear RGB to XYB shifted into 0..1 (X*14 + 0.42, Y + 0.01, B - Y + 0.55),
// in place: r becomes X, g Y, b B.
void xyb_row(float *r, float *g, float *b, size_t n);

// One output row of a 2x2 box reduction (the last row/column repeated for
// an odd size): out[x] = mean of in0[2x], in0[2x+1], in1[2x], in1[2x+1].
void halve_row(const float *in0, const float *in1, size_t in_xsize, float *out);

// True when every float sample of `im` is finite (other types: always).
bool all_finite(const MetricImage &im);

// ---- blur and map sums (ssimulacra2_blur.cpp) -----------------------------

// Half width of the metric's Gaussian kernel (taps -4..4).
constexpr int kHalfWidth = 4;

// The six norms of one channel's maps over some rows: sums of the SSIM
// error d and d^4, of the artefact map a and a^4, of the detail-loss map l
// and l^4 (means and 4-norms are taken once all rows are in).
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

// Working memory of one worker for band_sums on rows up to `xsize` wide.
class BandScratch {
public:
    explicit BandScratch(size_t xsize);
    size_t xsize() const { return xsize_; }

private:
    friend MapSums band_sums(const float *const *, const float *const *, size_t, size_t, size_t,
                             size_t, BandScratch &);
    size_t xsize_;
    std::vector<float> mem_;
};

// The map sums of one channel over rows [r0, r1) of a `xsize` x `ysize`
// plane pair (rows of the reference a[y], of the distorted b[y]). The
// blurred planes are made a row at a time, starting far enough above r0
// that the result equals the whole plane's rows r0..r1.
MapSums band_sums(const float *const *a, const float *const *b, size_t xsize, size_t ysize,
                  size_t r0, size_t r1, BandScratch &scratch);

}  // namespace ssim2
}  // namespace qmjxl
