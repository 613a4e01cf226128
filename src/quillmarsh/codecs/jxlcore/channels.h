// Extra channels: their facts, and the assembly of a frame from libjxl's
// float colour buffer and per-channel planes (with the lcms2 colour
// conversion in between where asked). Nothing here touches Python objects.
#pragma once

#include "jxlcore/color.h"

#include <jxl/codestream_header.h>
#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace qmjxl {

// Leaves new elements uninitialised: libjxl writes every byte of the frame
// buffers, and untouched pages of a large buffer stay out of memory until it
// does, as a NumPy output array's do (a small file claiming a gigapixel
// fails before it has committed gigabytes).
template <typename T>
struct NoInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = NoInitAllocator<U>;
    };
    NoInitAllocator() = default;
    template <typename U>
    NoInitAllocator(const NoInitAllocator<U> &) noexcept {}
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};
using FrameBytes = std::vector<uint8_t, NoInitAllocator<uint8_t>>;

// Most extra channels a stream may declare that the reader and writer handle
// (libjxl's own limit is far higher; arrays wider than this are impractical).
constexpr uint32_t kMaxExtraChannels = 256;

// "alpha", "depth", "spot_color", ...; reserved types read as "unknown".
const char *channel_type_name(JxlExtraChannelType type);
// The type of a name, or -1 for a name that is not one ("color" is not).
int channel_type_from_name(const std::string &name);

struct ExtraChannel {
    JxlExtraChannelInfo info{};
    std::string name;
};

// Reads every extra channel's info and name (after JXL_DEC_BASIC_INFO).
// Returns false when libjxl refuses one.
bool read_extra_channels(const JxlDecoder *dec, uint32_t count, std::vector<ExtraChannel> *out);

// How one frame is assembled: libjxl writes colour (interleaved) and the
// listed extra channels (planes), each in its own sample type; the result is
// interleaved into the frame array, colour first (converted when `converter`
// is set, from CMYK when `black_plane` names the plane of the black channel),
// then the planes listed in `out_planes`. Every sample is multiplied by its
// source's `mul` on the way (integers out: then rounded and clamped).
struct FramePlan {
    struct Source {
        JxlDataType type = JXL_TYPE_FLOAT;
        double mul = 1.0;   // to the frame's units
        double norm = 1.0;  // to [0, 1]
    };
    size_t npixels = 0;                  // the frame's pixels (a layer's, without coalescing)
    size_t capacity = 0;                 // pixels the buffers hold: the image's
    uint32_t color_in = 0;               // colour channels libjxl writes
    Source color_src;                    // float when converted
    std::vector<uint32_t> extra_index;   // extra channel of each plane
    std::vector<Source> plane_src;
    JxlBitDepth bit_depth{JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
    const ColorConverter *converter = nullptr;
    int black_plane = -1;
    uint32_t color_out = 0;              // colour channels in the frame
    double converted_mul = 1.0;          // converted colour's full scale
    bool opaque = false;                 // a full-scale alpha right after colour
    std::vector<uint32_t> out_planes;    // planes written after colour (and opaque)
    JxlDataType out_type = JXL_TYPE_FLOAT;

    FrameBytes color;
    std::vector<FrameBytes> planes;

    size_t out_samples() const { return color_out + opaque + out_planes.size(); }
    // Allocates the buffers for `npixels` (the capacity); false when memory
    // runs out.
    bool allocate() noexcept;
    void release() noexcept;
    // At JXL_DEC_NEED_IMAGE_OUT_BUFFER: hands every buffer to libjxl.
    int set_buffers_nogil(JxlDecoder *dec) const;
    // After the frame: writes the frame array.
    bool assemble_nogil(void *dst) const;  // false: the colour conversion failed
};

// One extra channel as the writer declares it.
struct ExtraSpec {
    JxlExtraChannelType type = JXL_CHANNEL_OPTIONAL;
    std::string name;
    uint32_t bits = 0;  // 0: the sample type's
    float spot_color[4] = {0, 0, 0, 0};
    bool premultiplied = false;
};

// Splits `npixels` interleaved pixels of `samples` samples of `bytes` each
// into the first `ncolor` samples (interleaved, into `color`) and one plane
// per remaining sample (`planes[k]`, each npixels samples). A plane whose
// `narrow[k]` is set takes 16-bit samples as 8-bit ones (clamped to 255).
void split_channels_nogil(const uint8_t *src, size_t npixels, size_t samples, size_t bytes,
                          uint32_t ncolor, uint8_t *color, uint8_t *const *planes,
                          const bool *narrow);

}  // namespace qmjxl
