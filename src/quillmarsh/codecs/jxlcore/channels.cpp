// Extra-channel facts and frame assembly.
#include "jxlcore/channels.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qmjxl {

namespace {

struct TypeName {
    JxlExtraChannelType type;
    const char *name;
};
constexpr TypeName kTypeNames[] = {
    {JXL_CHANNEL_ALPHA, "alpha"},
    {JXL_CHANNEL_DEPTH, "depth"},
    {JXL_CHANNEL_SPOT_COLOR, "spot_color"},
    {JXL_CHANNEL_SELECTION_MASK, "selection_mask"},
    {JXL_CHANNEL_BLACK, "black"},
    {JXL_CHANNEL_CFA, "cfa"},
    {JXL_CHANNEL_THERMAL, "thermal"},
    {JXL_CHANNEL_OPTIONAL, "optional"},
    {JXL_CHANNEL_UNKNOWN, "unknown"},
};

constexpr size_t kChunk = 256;  // pixels per conversion step


}  // namespace

const char *channel_type_name(JxlExtraChannelType type) {
    for (const auto &t : kTypeNames)
        if (t.type == type) return t.name;
    return "unknown";
}

int channel_type_from_name(const std::string &name) {
    for (const auto &t : kTypeNames)
        if (name == t.name) return static_cast<int>(t.type);
    return -1;
}

bool read_extra_channels(const JxlDecoder *dec, uint32_t count, std::vector<ExtraChannel> *out) {
    out->clear();
    out->resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        ExtraChannel &ec = (*out)[i];
        if (JxlDecoderGetExtraChannelInfo(dec, i, &ec.info) != JXL_DEC_SUCCESS) return false;
        if (ec.info.name_length > 0) {
            std::vector<char> buf(ec.info.name_length + 1, '\0');
            if (JxlDecoderGetExtraChannelName(dec, i, buf.data(), buf.size()) != JXL_DEC_SUCCESS)
                return false;
            ec.name.assign(buf.data(), ec.info.name_length);
        }
    }
    return true;
}

namespace {

size_t size_of(JxlDataType t) {
    return t == JXL_TYPE_UINT8 ? 1 : (t == JXL_TYPE_FLOAT ? 4 : 2);
}

float half_to_float(uint16_t h) {
    const uint32_t sign = (h & 0x8000u) << 16, exp = (h >> 10) & 0x1fu, man = h & 0x3ffu;
    uint32_t bits;
    if (exp == 0) {
        if (man == 0) {
            bits = sign;
        } else {  // subnormal: renormalise
            int e = -1;
            uint32_t m = man;
            do {
                ++e;
                m <<= 1;
            } while ((m & 0x400u) == 0);
            bits = sign | ((112u - e) << 23) | ((m & 0x3ffu) << 13);
        }
    } else if (exp == 31) {
        bits = sign | 0x7f800000u | (man << 13);
    } else {
        bits = sign | ((exp + 112u) << 23) | (man << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// n samples of `type` at `src` (every `stride` samples), times `mul`, as float.
void load(const uint8_t *src, JxlDataType type, size_t stride, size_t n, double mul,
          float *out, size_t out_stride) {
    const float m = static_cast<float>(mul);
    switch (type) {
        case JXL_TYPE_UINT8:
            for (size_t i = 0; i < n; ++i) out[i * out_stride] = src[i * stride] * m;
            break;
        case JXL_TYPE_UINT16: {
            const auto *p = reinterpret_cast<const uint16_t *>(src);
            for (size_t i = 0; i < n; ++i) out[i * out_stride] = p[i * stride] * m;
            break;
        }
        case JXL_TYPE_FLOAT16: {
            const auto *p = reinterpret_cast<const uint16_t *>(src);
            for (size_t i = 0; i < n; ++i) out[i * out_stride] = half_to_float(p[i * stride]) * m;
            break;
        }
        default: {
            const auto *p = reinterpret_cast<const float *>(src);
            for (size_t i = 0; i < n; ++i) out[i * out_stride] = p[i * stride] * m;
            break;
        }
    }
}

template <typename T>
void put_int(T *dst, const float *v, size_t n, float top) {
    for (size_t i = 0; i < n; ++i) {
        const float x = v[i] > 0.0f ? (v[i] < top ? v[i] : top) : 0.0f;
        dst[i] = static_cast<T>(x + 0.5f);
    }
}

}  // namespace

bool FramePlan::allocate() noexcept {
    capacity = npixels;
    try {
        color.resize(npixels * color_in * size_of(color_src.type));
        planes.resize(extra_index.size());
        for (size_t k = 0; k < planes.size(); ++k)
            planes[k].resize(npixels * size_of(plane_src[k].type));
    } catch (const std::bad_alloc &) {
        release();
        return false;
    }
    return true;
}

void FramePlan::release() noexcept {
    FrameBytes().swap(color);
    std::vector<FrameBytes>().swap(planes);
}

int FramePlan::set_buffers_nogil(JxlDecoder *dec) const {
    const JxlPixelFormat pf = {color_in, color_src.type, JXL_NATIVE_ENDIAN, 0};
    // The buffers hold the image; a layer uses their first npixels pixels.
    if (npixels > capacity) return -2;
    size_t size = 0;
    if (JxlDecoderImageOutBufferSize(dec, &pf, &size) != JXL_DEC_SUCCESS) return -1;
    if (size != npixels * color_in * size_of(color_src.type)) return -2;
    if (JxlDecoderSetImageOutBuffer(dec, &pf, const_cast<uint8_t *>(color.data()), size) !=
        JXL_DEC_SUCCESS)
        return -3;
    for (size_t k = 0; k < planes.size(); ++k) {
        const JxlPixelFormat one = {1, plane_src[k].type, JXL_NATIVE_ENDIAN, 0};
        if (JxlDecoderExtraChannelBufferSize(dec, &one, &size, extra_index[k]) !=
            JXL_DEC_SUCCESS)
            return -1;
        if (size != npixels * size_of(plane_src[k].type)) return -2;
        if (JxlDecoderSetExtraChannelBuffer(dec, &one, const_cast<uint8_t *>(planes[k].data()),
                                            size, extra_index[k]) != JXL_DEC_SUCCESS)
            return -3;
    }
    // Integer samples keep the codestream's range (a 10-bit channel 0..1023).
    if (bit_depth.type == JXL_BIT_DEPTH_FROM_CODESTREAM &&
        JxlDecoderSetImageOutBitDepth(dec, &bit_depth) != JXL_DEC_SUCCESS)
        return -3;
    return 0;
}

bool FramePlan::assemble_nogil(void *dst) const {
    const size_t nout = out_samples();
    const size_t conv_in = black_plane >= 0 ? 4 : color_in;
    std::vector<float> col(kChunk * 4), tmp_in(kChunk * 4), tmp_out(kChunk * 4),
        row(kChunk * nout), kplane(kChunk);
    const size_t bps = size_of(out_type);
    const size_t csz = size_of(color_src.type);
    const float top = out_type == JXL_TYPE_UINT8 ? 255.0f : 65535.0f;
    const bool integer_out = out_type == JXL_TYPE_UINT8 || out_type == JXL_TYPE_UINT16;

    for (size_t base = 0; base < npixels; base += kChunk) {
        const size_t n = std::min(kChunk, npixels - base);
        if (converter) {
            // Converted colour comes in float [0, 1].
            for (uint32_t c = 0; c < color_in; ++c)
                load(color.data() + (base * color_in + c) * csz, color_src.type, color_in, n,
                     1.0, tmp_in.data() + c, conv_in);
            if (black_plane >= 0) {
                // Colour holds inverted inks (1 - C, 1 - M, 1 - Y), black 1 - K.
                load(planes[black_plane].data() + base * size_of(plane_src[black_plane].type),
                     plane_src[black_plane].type, 1, n, plane_src[black_plane].norm,
                     kplane.data(), 1);
                for (size_t i = 0; i < n; ++i) {
                    float *q = tmp_in.data() + i * 4;
                    for (int c = 0; c < 3; ++c) q[c] = 1.0f - q[c];
                    q[3] = 1.0f - kplane[i];
                }
            }
            if (!converter->apply_nogil(tmp_in.data(), conv_in, tmp_out.data(), color_out, n))
                return false;
            for (size_t i = 0; i < n; ++i)
                for (uint32_t c = 0; c < color_out; ++c)
                    row[i * nout + c] = (integer_out ? unit(tmp_out[i * color_out + c])
                                                     : tmp_out[i * color_out + c]) *
                                        static_cast<float>(converted_mul);
        } else {
            for (uint32_t c = 0; c < color_out; ++c)
                load(color.data() + (base * color_in + c) * csz, color_src.type, color_in, n,
                     color_src.mul, row.data() + c, nout);
        }
        if (opaque)
            for (size_t i = 0; i < n; ++i)
                row[i * nout + color_out] = static_cast<float>(converted_mul);
        for (size_t j = 0; j < out_planes.size(); ++j) {
            const uint32_t k = out_planes[j];
            load(planes[k].data() + base * size_of(plane_src[k].type), plane_src[k].type, 1, n,
                 plane_src[k].mul, row.data() + color_out + opaque + j, nout);
        }
        char *out = static_cast<char *>(dst) + base * nout * bps;
        switch (out_type) {
            case JXL_TYPE_UINT8:
                put_int(reinterpret_cast<uint8_t *>(out), row.data(), n * nout, top);
                break;
            case JXL_TYPE_UINT16:
                put_int(reinterpret_cast<uint16_t *>(out), row.data(), n * nout, top);
                break;
            default: store_samples_nogil(row.data(), n * nout, out, out_type, 1.0); break;
        }
    }
    return true;
}

void split_channels_nogil(const uint8_t *src, size_t npixels, size_t samples, size_t bytes,
                          uint32_t ncolor, uint8_t *color, uint8_t *const *planes,
                          const bool *narrow) {
    const size_t nextra = samples - ncolor;
    const size_t pix = samples * bytes, cb = ncolor * bytes;
    for (size_t i = 0; i < npixels; ++i) {
        const uint8_t *p = src + i * pix;
        std::memcpy(color + i * cb, p, cb);
        for (size_t k = 0; k < nextra; ++k) {
            if (narrow[k]) {
                uint16_t v;
                std::memcpy(&v, p + cb + k * bytes, 2);
                planes[k][i] = static_cast<uint8_t>(v < 255 ? v : 255);
            } else {
                std::memcpy(planes[k] + i * bytes, p + cb + k * bytes, bytes);
            }
        }
    }
}

}  // namespace qmjxl
