// The writer's channel layout: which of an array's samples are colour and
// which are extra channels, from the caller's channels= list or from the
// sample count alone. The bindings read each list entry into a ChannelEntry;
// the checks of what the entries mean are here.
#pragma once

#include "jxlcore/channels.h"
#include "jxlcore/status.h"

#include <jxl/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmjxl {

// A frame's sample type as libjxl sees it.
struct SampleType {
    JxlDataType type = JXL_TYPE_UINT8;
    uint32_t bits = 8;
    uint32_t exponent_bits = 0;  // 0 for integers
};

struct ChannelLayout {
    // Colour and extra channels go to libjxl separately (a channels= list,
    // or more than 4 samples); otherwise the pixels are L, LA, RGB or RGBA.
    bool split = false;
    uint32_t ncolor = 0;  // colour channels of a split layout
    std::vector<ExtraSpec> extras;
    uint32_t color_bits = 0;        // the colour channels' bits when given (0: the type's)
    bool codestream_depth = false;  // integer samples in each channel's own range
};

// One entry of a channels= list.
struct ChannelEntry {
    std::string type;       // "color", "alpha", ...
    std::string type_repr;  // the type as the caller wrote it, for messages
    std::string name;       // empty: none
    bool has_bits = false;
    long long bits = 0;     // clamped to 0..64
    bool has_spot = false;
    size_t spot_count = 0;  // values the spot colour listed
    float spot[4] = {0, 0, 0, 0};
    int premultiplied = -1;  // -1: not given
};

// The layout of `samples` channels with no channels= list; `color_channels`
// 0 when not given.
StatusOr<ChannelLayout> implicit_channel_layout(size_t samples, int color_channels);

// Checks the entries of a channels= list one at a time (so a fault is
// reported at the first entry that has one), then the whole list.
class ChannelListBuilder {
public:
    explicit ChannelListBuilder(SampleType sample) : sample_(sample) { layout_.split = true; }
    // ValueError when the list does not give one entry per sample.
    static Status check_count(size_t listed, size_t samples);
    Status add(size_t index, const ChannelEntry &entry);
    StatusOr<ChannelLayout> finish(int color_channels);

private:
    Status check_bits(size_t index, long long bits) const;

    SampleType sample_;
    ChannelLayout layout_;
    bool color_done_ = false;
};

}  // namespace qmjxl
