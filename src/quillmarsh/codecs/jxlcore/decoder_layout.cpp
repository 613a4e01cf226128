// The output layout of a decoder job: once the header is known, which
// channels a frame holds, its sample type, and whether libjxl writes the frame
// or it is assembled from per-channel buffers (FramePlan).
#include "jxlcore/decoder_session.h"

#include <algorithm>
#include <cmath>

namespace qmjxl {

namespace {

// Sample type of a channel of `bits` / `exp_bits`, ranked: uint8 < uint16 <
// float16 < float32 (float16 only holds floats of 16 bits).
int rank_of(uint32_t bits, uint32_t exp_bits) {
    if (exp_bits) return bits <= 16 ? 2 : 3;
    return bits <= 8 ? 0 : (bits <= 16 ? 1 : 3);
}

// The type libjxl writes a channel of `bits` / `exp_bits` in, unconverted.
JxlDataType natural_type(uint32_t bits, uint32_t exp_bits) {
    if (exp_bits || bits > 16) return JXL_TYPE_FLOAT;
    return bits <= 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16;
}

int first_alpha_of(const std::vector<ExtraChannel> &extras) {
    for (size_t i = 0; i < extras.size(); ++i)
        if (extras[i].info.type == JXL_CHANNEL_ALPHA) return static_cast<int>(i);
    return -1;
}

}  // namespace

Status DecoderSession::plan_layout() {
    const JxlBasicInfo &b = header_.basic;
    const std::vector<ExtraChannel> &extras = header_.extras;
    const bool want_extras = opts_.extra_channels, converting = out_color_.requested;
    const int first_alpha = first_alpha_of(extras);
    const bool cmyk = converting && black_channel() >= 0;

    // Extra channels delivered after colour, in file order.
    std::vector<uint32_t> deliver;
    for (uint32_t i = 0; i < extras.size(); ++i) {
        const JxlExtraChannelType t = extras[i].info.type;
        if (want_extras || static_cast<int>(i) == first_alpha) {
            deliver.push_back(i);
        } else if (t == JXL_CHANNEL_BLACK && converting) {
            // consumed by the CMYK rendering
        } else if (t == JXL_CHANNEL_SPOT_COLOR && (opts_.render_spot_colors || converting)) {
            // rendered into colour by libjxl
        } else {
            // The fixed refusal, then the way out: extra_channels=True reads these.
            return Unsupported(
                "jxl: unsupported channel layout (color=" + std::to_string(b.num_color_channels) +
                ", extra=" + std::to_string(b.num_extra_channels) +
                ", alpha=" + (b.alpha_bits ? "True" : "False") +
                "); v0.1 supports L, LA, RGB, RGBA only; to read the other channels too, pass "
                "extra_channels=True");
        }
    }
    // libjxl writes an interleaved alpha at colour's depth; an alpha of its
    // own depth goes through the plan, which keeps each channel's range.
    const bool alpha_own_depth =
        want_extras && first_alpha >= 0 &&
        (extras[first_alpha].info.bits_per_sample != b.bits_per_sample ||
         extras[first_alpha].info.exponent_bits_per_sample != b.exponent_bits_per_sample);
    const bool plain_layout =
        !alpha_own_depth &&
        (deliver.empty() || (deliver.size() == 1 && static_cast<int>(deliver[0]) == first_alpha));
    layout_.assembled = !plain_layout || out_color_.by_lcms || cmyk;
    if (layout_.assembled) return plan_assembled(deliver, cmyk);

    if (b.exponent_bits_per_sample != 0 && b.bits_per_sample != 32 && b.bits_per_sample != 16)
        return ValueError("jxl: unsupported float bits_per_sample=" +
                          std::to_string(b.bits_per_sample));
    // libjxl fills a requested alpha the image lacks with opaque samples.
    layout_.samples = b.num_color_channels + deliver.size() + (opts_.opaque_alpha && first_alpha < 0);
    QM_ASSIGN_OR_RETURN(layout_.frame_bytes, configure_pixel_format(b, layout_.samples,
                                                                    &layout_.format,
                                                                    &layout_.bit_depth));
    return Status::Ok();
}

Status DecoderSession::plan_assembled(const std::vector<uint32_t> &deliver, bool cmyk) {
    const JxlBasicInfo &b = header_.basic;
    const std::vector<ExtraChannel> &extras = header_.extras;
    const bool want_extras = opts_.extra_channels;
    // One sample type for the frame: the basic info's, or with every channel
    // the widest any channel needs.
    int rank = rank_of(b.bits_per_sample, b.exponent_bits_per_sample);
    uint32_t max_bits = b.bits_per_sample;
    if (want_extras) {
        bool all_half = b.exponent_bits_per_sample && b.bits_per_sample <= 16;
        for (uint32_t i : deliver) {
            const auto &info = extras[i].info;
            rank = std::max(rank, rank_of(info.bits_per_sample, info.exponent_bits_per_sample));
            max_bits = std::max(max_bits, info.bits_per_sample);
            all_half = all_half && info.exponent_bits_per_sample && info.bits_per_sample <= 16;
        }
        if (rank == 2 && !all_half) rank = 3;  // float16 only when every channel is one
    }
    static const JxlDataType kTypes[] = {JXL_TYPE_UINT8, JXL_TYPE_UINT16, JXL_TYPE_FLOAT16,
                                         JXL_TYPE_FLOAT};
    const JxlDataType type = kTypes[rank];
    const bool integer = rank < 2;
    // Full scale of a channel of `bits` in the frame: its own range, or the
    // widest channel's with rescale.
    auto out_scale = [&](uint32_t bits) {
        return std::ldexp(1.0, static_cast<int>(opts_.rescale ? max_bits : bits)) - 1.0;
    };
    FramePlan &p = layout_.plan;
    p.npixels = static_cast<size_t>(b.xsize) * b.ysize;
    p.color_in = b.num_color_channels;
    p.converter = out_color_.by_lcms ? &out_color_.converter : nullptr;
    p.color_out = p.converter ? static_cast<uint32_t>(out_color_.converter.dst_channels())
                              : b.num_color_channels;
    p.color_src.type = p.converter ? JXL_TYPE_FLOAT
                                   : natural_type(b.bits_per_sample, b.exponent_bits_per_sample);
    const bool from_codestream = p.color_src.type != JXL_TYPE_FLOAT;
    p.bit_depth = from_codestream ? JxlBitDepth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0}
                                  : JxlBitDepth{JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
    // Multiplier from what libjxl writes to the frame's units.
    auto source = [&](uint32_t bits, uint32_t exp_bits) {
        FramePlan::Source src;
        src.type = natural_type(bits, exp_bits);
        if (src.type == JXL_TYPE_FLOAT) {
            src.mul = integer ? out_scale(bits) : 1.0;
        } else {
            const double raw_max = from_codestream
                                       ? std::ldexp(1.0, static_cast<int>(bits)) - 1.0
                                       : (src.type == JXL_TYPE_UINT8 ? 255.0 : 65535.0);
            src.mul = (integer ? out_scale(bits) : 1.0) / raw_max;
            src.norm = 1.0 / raw_max;
        }
        return src;
    };
    if (!p.converter) p.color_src = source(b.bits_per_sample, b.exponent_bits_per_sample);
    p.converted_mul = integer ? out_scale(b.bits_per_sample) : 1.0;
    p.extra_index = deliver;
    const int black = black_channel();
    if (cmyk && !want_extras) p.extra_index.push_back(static_cast<uint32_t>(black));
    p.plane_src.clear();
    p.black_plane = -1;
    for (size_t k = 0; k < p.extra_index.size(); ++k) {
        const auto &info = extras[p.extra_index[k]].info;
        p.plane_src.push_back(source(info.bits_per_sample, info.exponent_bits_per_sample));
        if (cmyk && static_cast<int>(p.extra_index[k]) == black) p.black_plane = static_cast<int>(k);
    }
    p.opaque = opts_.opaque_alpha && first_alpha_of(extras) < 0;
    p.out_planes.clear();
    for (size_t k = 0; k < deliver.size(); ++k) p.out_planes.push_back(static_cast<uint32_t>(k));
    p.out_type = type;
    if (!p.allocate()) return NoMemory("jxl: no memory for the frame's channel buffers");
    layout_.samples = p.out_samples();
    layout_.format = JxlPixelFormat{static_cast<uint32_t>(layout_.samples), type, JXL_NATIVE_ENDIAN, 0};
    layout_.bit_depth = JxlBitDepth{JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
    layout_.frame_bytes = static_cast<uint64_t>(layout_.samples) * bytes_per_sample(type) * p.npixels;
    return Status::Ok();
}

}  // namespace qmjxl
