// SSIMULACRA 2: a perceptual distance between a reference image and a
// distorted version of it, as a score (100 = identical, 90 = visually
// lossless, 30 = low quality; unbounded below).
//
// The metric, as Cloudinary published it: both images in linear sRGB, six
// scales (halved by 2x2 box averages in linear light), each converted to XYB
// (shifted to a 0..1 range); per scale and XYB channel an SSIM map (without
// the luminance denominator) and two edge maps (edges the distorted image
// gained, edges it lost) from Gaussian blurs of sigma 1.5; the mean and the
// 4-norm of each map; a weighted sum of those 108 norms mapped to the score.
#pragma once

#include "jxlcore/status.h"

#include <cstddef>
#include <cstdint>

namespace qmjxl {

enum class MetricSample { kU8, kU16, kF32 };

// One image as the caller holds it: `channels` 1 (grey), 2 (grey, alpha), 3
// (RGB) or 4 (RGBA) samples per pixel, addressed by byte strides (any
// layout NumPy can give).
struct MetricImage {
    const uint8_t *data = nullptr;
    size_t xsize = 0, ysize = 0, channels = 3;
    ptrdiff_t ystride = 0, xstride = 0, cstride = 0;  // bytes
    MetricSample sample = MetricSample::kU8;
    // Samples are linear light (0..1 nominal) rather than sRGB-encoded.
    bool linear = false;
    // With alpha: the grey level the colour is blended onto (set by ssimulacra2()).
    float background = 0.5f;
};

struct MetricOptions {
    size_t threads = 1;    // workers from the runner pool; 1 works on the caller's thread
    bool exact_threads = false;
};

// The score of `distorted` against `reference` (same size, at least 8x8).
// A grey image is taken as RGB with three equal channels, as the reference
// tool takes a grey PNG; images with alpha are blended onto a dark (0.1) and
// a light (0.9) background and the lower of the two scores is returned, as
// the tool does. Refuses sizes that differ or are below 8x8, channel counts
// that differ or are not 1 to 4, and non-finite float samples (kValue).
StatusOr<double> ssimulacra2(const MetricImage &reference, const MetricImage &distorted,
                             const MetricOptions &options);

// Lets the AVX2/FMA build of the inner loops run where the CPU has it (the
// default) or not (tests of the portable build); returns whether it runs.
bool allow_fused_kernels(bool allowed);

}  // namespace qmjxl
