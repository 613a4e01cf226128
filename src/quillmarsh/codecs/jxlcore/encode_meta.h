// What an encoder writes besides pixels: metadata boxes, the animation's
// time base and loop count, and each frame's header. Plain records, filled
// by the bindings from their arguments and applied to a libjxl encoder.
#pragma once

#include "jxlcore/common.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qmjxl {

// The writer's time base: ticks per second, so whole milliseconds are exact.
constexpr uint32_t kTicksPerSecond = 1000;

struct MetaBox {
    char type[4];
    std::string contents;
    bool raw = false;  // never Brotli-compressed (a box readers find by its type)
};

// The stream-wide metadata and timing: boxes, time base and loops are set
// at the first frame; `ticks` and `timecodes` feed each frame's header.
struct EncodeMeta {
    std::vector<MetaBox> boxes;
    bool compress_boxes = false;
    bool animation = false;
    uint32_t default_ticks = kTicksPerSecond / 10;  // 0.1 s per frame
    std::vector<uint32_t> ticks;                     // one per frame, when a sequence was given
    bool per_frame = false;
    uint32_t num_loops = 0;
    // SMPTE timecodes (0xHHMMSSFF), one per frame, when a sequence was given.
    std::vector<uint32_t> timecodes;
    bool timecodes_given = false;
    // Whether the frames carry timecodes: decided at the first frame (given
    // a sequence, or a timecode on that frame), since the basic info says so.
    bool have_timecodes = false;

    bool wants_container() const { return !boxes.empty(); }
    // Before JxlEncoderSetBasicInfo: the time base and loop count.
    void fill_basic_info(JxlBasicInfo &info) const;
};

// One frame's header as decided from the writer's metadata and the frame's
// own arguments (an empty name: none). Duration and is_last belong to
// animation frames only (`timed`); a still frame keeps libjxl's defaults.
struct FrameHeaderFields {
    bool timed = false;
    uint32_t duration = 0;
    uint32_t timecode = 0;
    bool is_last = false;
    std::string name;
};

// JxlEncoderUseBoxes and the boxes, in order (none: no call at all). After
// JxlEncoderUseContainer and before the first frame.
Status add_boxes(JxlEncoder *enc, const std::vector<MetaBox> &boxes, bool compress);
// The frame header (and name) of the next frame added through `fs`.
Status apply_frame_header(JxlEncoder *enc, JxlEncoderFrameSettings *fs,
                          const FrameHeaderFields &fields);

}  // namespace qmjxl
