#include "jxlcore/bounded_error.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace qmjxl {

namespace {

template <typename T>
Status range_of(const T *p, size_t count, const std::vector<uint32_t> &tops) {
    const size_t n = tops.size();
    for (size_t i = 0; i < count; ++i) {
        const size_t c = i % n;
        if (p[i] > tops[c])
            return ValueError("jxl: channel " + std::to_string(c) + " holds the value " +
                              std::to_string(p[i]) + ", which does not fit its bits (0 to " +
                              std::to_string(tops[c]) + ")");
    }
    return Status::Ok();
}

template <typename T>
Status snap(const T *src, T *dst, size_t count, const std::vector<uint32_t> &tops,
            uint64_t half) {
    const size_t n = tops.size();
    std::vector<uint64_t> low(n, UINT64_MAX);
    for (size_t i = 0; i < count; ++i) low[i % n] = std::min<uint64_t>(low[i % n], src[i]);
    const uint64_t step = 2 * half + 1;
    for (size_t i = 0; i < count; ++i) {
        const size_t c = i % n;
        const uint64_t x = src[i];
        uint64_t v = low[c] + (x - low[c] + half) / step * step;
        v = std::min<uint64_t>(v, tops[c]);
        const uint64_t err = v > x ? v - x : x - v;
        if (err > half)  // cannot happen while the grid arithmetic is right
            return StateError("jxl: max_error grid moved a sample by " + std::to_string(err));
        dst[i] = static_cast<T>(v);
    }
    return Status::Ok();
}

}  // namespace

std::vector<uint32_t> channel_tops(size_t samples, uint32_t type_bits, uint32_t color_bits,
                                   size_t ncolor, const std::vector<uint32_t> &extra_bits) {
    auto top = [](uint32_t bits) { return bits >= 32 ? UINT32_MAX : (1u << bits) - 1u; };
    std::vector<uint32_t> tops(samples, top(type_bits));
    for (size_t c = 0; c < samples; ++c) {
        if (c < ncolor) {
            if (color_bits) tops[c] = top(color_bits);
        } else if (c - ncolor < extra_bits.size() && extra_bits[c - ncolor]) {
            tops[c] = top(extra_bits[c - ncolor]);
        }
    }
    return tops;
}

Status check_sample_range(const void *pixels, size_t count, JxlDataType type,
                          const std::vector<uint32_t> &tops) {
    if (tops.empty()) return Status::Ok();
    if (type == JXL_TYPE_UINT8) return range_of(static_cast<const uint8_t *>(pixels), count, tops);
    if (type == JXL_TYPE_UINT16)
        return range_of(static_cast<const uint16_t *>(pixels), count, tops);
    return Status::Ok();
}

Status snap_to_grid(const void *src, void *dst, size_t count, JxlDataType type,
                    const std::vector<uint32_t> &tops, double max_error) {
    if (type != JXL_TYPE_UINT8 && type != JXL_TYPE_UINT16)
        return StateError("jxl: max_error grid of float samples (they go on a grid of indices)");
    if (tops.empty()) return StateError("jxl: max_error grid without channels");
    const uint64_t half = static_cast<uint64_t>(std::floor(std::min(max_error, 65535.0)));
    if (type == JXL_TYPE_UINT8)
        return snap(static_cast<const uint8_t *>(src), static_cast<uint8_t *>(dst), count, tops,
                    half);
    return snap(static_cast<const uint16_t *>(src), static_cast<uint16_t *>(dst), count, tops, half);
}

}  // namespace qmjxl
