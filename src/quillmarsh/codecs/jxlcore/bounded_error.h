// Integer samples within a bound: each sample moved to the nearest point of
// a grid of step 2E+1 from its channel's minimum, then coded losslessly.
// libjxl's lossy modes bound a perceptual distance, not a sample's error;
// its lossless coder takes such a grid for about the bytes of the grid
// indices themselves (1-2 % more on a 16-bit MRI stack), and the stream
// stays one that any decoder reads as the moved values.
#pragma once

#include "jxlcore/status.h"

#include <jxl/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmjxl {

// The largest value of each channel of an interleaved pixel: 2**bits - 1.
std::vector<uint32_t> channel_tops(size_t samples, uint32_t type_bits, uint32_t color_bits,
                                   size_t ncolor, const std::vector<uint32_t> &extra_bits);

// ValueError naming the first sample above its channel's top (libjxl would
// clip it to the channel's bits without a word).
Status check_sample_range(const void *pixels, size_t count, JxlDataType type,
                          const std::vector<uint32_t> &tops);

// Writes `count` interleaved integer samples of `src` to `dst` on the grid
// of `max_error` (clamped to each channel's top) and checks every one is
// within the bound. Float samples are a StateError (the writer stores them
// as grid indices instead).
Status snap_to_grid(const void *src, void *dst, size_t count, JxlDataType type,
                    const std::vector<uint32_t> &tops, double max_error);

}  // namespace qmjxl
