// Channel layouts of the writer.
#include "jxlcore/encode_channels.h"

namespace qmjxl {

namespace {

std::string known_types() {
    std::string k = "color";
    for (const char *t : {"alpha", "depth", "spot_color", "selection_mask", "black", "cfa",
                          "thermal", "optional", "unknown"})
        k += std::string(", ") + t;
    return k;
}

std::string channel(size_t i) { return "jxl: channel " + std::to_string(i); }

}  // namespace

StatusOr<ChannelLayout> implicit_channel_layout(size_t samples, int color_channels) {
    ChannelLayout layout;
    if (samples <= 4) {
        if (color_channels && color_channels != (samples <= 2 ? 1 : 3))
            return ValueError("jxl: color_channels does not fit an array of " +
                              std::to_string(samples) +
                              " channels; pass channels= to say what each channel is");
        return layout;
    }
    layout.split = true;
    layout.ncolor = color_channels ? static_cast<uint32_t>(color_channels) : 1;
    if (samples - layout.ncolor > kMaxExtraChannels)
        return ValueError("jxl: " + std::to_string(samples) + " channels are too many (at most " +
                          std::to_string(kMaxExtraChannels) + " besides colour)");
    for (size_t i = layout.ncolor; i < samples; ++i) {
        ExtraSpec e;
        e.name = "channel " + std::to_string(i);
        layout.extras.push_back(e);
    }
    return layout;
}

Status ChannelListBuilder::check_count(size_t listed, size_t samples) {
    if (listed == samples) return Status::Ok();
    return ValueError("jxl: channels lists " + std::to_string(listed) +
                      " channels but the array has " + std::to_string(samples));
}

// Integer samples take 1 to the type's bits; float samples exactly the type's.
Status ChannelListBuilder::check_bits(size_t index, long long bits) const {
    const uint32_t bps = sample_.bits;
    const bool fits = sample_.exponent_bits ? bits == bps : bits >= 1 && bits <= bps;
    if (fits) return Status::Ok();
    return ValueError(channel(index) + " bits must be " +
                      (sample_.exponent_bits ? std::to_string(bps) + " for this float type"
                                             : "1.." + std::to_string(bps)) +
                      " (got " + std::to_string(bits) + ")");
}

Status ChannelListBuilder::add(size_t i, const ChannelEntry &entry) {
    uint32_t bits = 0;
    if (entry.has_bits) {
        QM_RETURN_IF_ERROR(check_bits(i, entry.bits));
        bits = static_cast<uint32_t>(entry.bits);
        if (!sample_.exponent_bits && bits != sample_.bits) layout_.codestream_depth = true;
    }
    if (entry.type == "color") {
        if (color_done_)
            return ValueError("jxl: colour channels must come first (channel " +
                              std::to_string(i) + ")");
        ++layout_.ncolor;
        if (bits) {
            if (layout_.color_bits && bits != layout_.color_bits)
                return ValueError("jxl: colour channels must share one bit depth");
            layout_.color_bits = bits;
        }
        return Status::Ok();
    }
    color_done_ = true;
    const int t = channel_type_from_name(entry.type);
    if (t < 0)
        return ValueError("jxl: unknown channel type " + entry.type_repr + " (known: " +
                          known_types() + ")");
    ExtraSpec e;
    e.type = static_cast<JxlExtraChannelType>(t);
    e.bits = bits;
    e.name = entry.name;
    if (entry.has_spot) {
        if (e.type != JXL_CHANNEL_SPOT_COLOR || entry.spot_count != 4)
            return ValueError(
                "jxl: spot_color is (red, green, blue, solidity) of a spot_color channel");
        for (int k = 0; k < 4; ++k) e.spot_color[k] = entry.spot[k];
    }
    if (entry.premultiplied >= 0) e.premultiplied = entry.premultiplied == 1;
    layout_.extras.push_back(e);
    return Status::Ok();
}

StatusOr<ChannelLayout> ChannelListBuilder::finish(int color_channels) {
    const uint32_t ncolor = layout_.ncolor;
    if (ncolor != 1 && ncolor != 3)
        return ValueError("jxl: channels must start with 1 or 3 \"color\" entries (got " +
                          std::to_string(ncolor) + ")");
    if (layout_.extras.size() > kMaxExtraChannels)
        return ValueError("jxl: " + std::to_string(layout_.extras.size()) +
                          " extra channels are too many (at most " +
                          std::to_string(kMaxExtraChannels) + ")");
    if (color_channels && static_cast<uint32_t>(color_channels) != ncolor)
        return ValueError("jxl: color_channels disagrees with channels");
    if (layout_.color_bits && layout_.color_bits <= 8 && sample_.bits == 16)
        return ValueError("jxl: colour channels of 8 bits or fewer need a uint8 array");
    return layout_;
}

}  // namespace qmjxl
