// Walks over a frame's samples in any strides, looking for values libjxl
// would not store as given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmjxl {

// A (Y, X) or (Y, X, C) frame: sample (y, x, c) is at
// data + y * strides[0] + x * strides[1] + c * strides[2] (bytes, any sign).
struct StridedFrame {
    const uint8_t *data = nullptr;
    int ndim = 2;
    ptrdiff_t dims[3] = {0, 0, 1};
    ptrdiff_t strides[3] = {0, 0, 0};
};

// Whether a float16 sample has a magnitude of 2**-15 to 2**-14 (exponent 0,
// top mantissa bit set).
bool has_upper_subnormals(const StridedFrame &f);

// The position (C order) of the first float sample (float16 when `half`)
// that is NaN, or with `nan_only` false NaN or infinite; false when none.
bool first_non_finite(const StridedFrame &f, bool half, bool nan_only, ptrdiff_t at[3]);

}  // namespace qmjxl
