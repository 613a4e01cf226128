// Sample walks of the writer's frame checks.
#include "jxlcore/sample_scan.h"

#include <cstring>

namespace qmjxl {

namespace {

// The position of the first sample, in C order, for which `bad(pointer to
// the sample)` holds; false when none.
template <class Bad>
bool find_sample(const StridedFrame &f, ptrdiff_t at[3], Bad bad) {
    const ptrdiff_t nc = f.ndim == 3 ? f.dims[2] : 1, sc = f.ndim == 3 ? f.strides[2] : 0;
    for (ptrdiff_t y = 0; y < f.dims[0]; ++y)
        for (ptrdiff_t x = 0; x < f.dims[1]; ++x) {
            const uint8_t *p = f.data + y * f.strides[0] + x * f.strides[1];
            for (ptrdiff_t c = 0; c < nc; ++c)
                if (bad(p + c * sc)) {
                    at[0] = y, at[1] = x, at[2] = c;
                    return true;
                }
        }
    return false;
}

}  // namespace

bool has_upper_subnormals(const StridedFrame &f) {
    ptrdiff_t at[3];
    return find_sample(f, at, [](const uint8_t *p) {
        uint16_t h;
        std::memcpy(&h, p, 2);
        return (h & 0x7e00) == 0x0200;
    });
}

bool first_non_finite(const StridedFrame &f, bool half, bool nan_only, ptrdiff_t at[3]) {
    return find_sample(f, at, [half, nan_only](const uint8_t *p) {
        if (half) {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return (h & 0x7c00) == 0x7c00 && (!nan_only || (h & 0x03ff) != 0);
        }
        uint32_t v;
        std::memcpy(&v, p, 4);
        return (v & 0x7f800000) == 0x7f800000 && (!nan_only || (v & 0x007fffff) != 0);
    });
}

}  // namespace qmjxl
