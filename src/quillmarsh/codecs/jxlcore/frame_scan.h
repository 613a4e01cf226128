// The one frame walker: frames as a decoder delivers them, found without
// decoding pixels (libjxl skips frame bodies through their table of
// contents). It counts them (frame_count, the reader's stack size) and reads
// their headers (frames_info); and the DC prefix of the first frame.
#pragma once

#include "jxlcore/byte_source.h"

#include <optional>
#include <string>
#include <vector>

namespace qmjxl {

// Longest frame name a frame header can hold, in UTF-8 bytes.
constexpr size_t kMaxFrameName = 1071;

struct FrameRecord {
    JxlFrameHeader header{};  // duration, timecode, is_last, the layer
    std::string name;         // as stored (UTF-8, not checked)
};

struct FrameHeaders {
    JxlBasicInfo info{};  // the stream's: time base, timecodes
    std::vector<FrameRecord> frames;
};

// The frames a decoder with this coalescing delivers (layers too when
// `coalesce` is false). A cut stream fails as "jxl: truncated stream while
// counting frames", any other refusal as libjxl's decoder error. libjxl does
// not read the last frame's pixel data when no pixels are wanted, so a cut
// inside it is not seen here. An empty input holds 0 frames.
StatusOr<size_t> count_frames(ByteSource &src, bool coalesce);

// One record per frame, the same frames count_frames counts. ValueError for
// an empty input or one that is not JPEG XL; JxlError for a corrupt or cut
// stream and a frame name longer than a header can hold.
StatusOr<FrameHeaders> scan_frame_headers(ByteSource &src, bool coalesce);

// How many bytes of a memory source libjxl had consumed when it reached the
// first frame's DC (1:8) progression point; none when that frame completes
// without one. Consumed bytes are the sections done from the front on: a
// frame whose DC sections are not all at its front (libjxl streams a large
// image that is not progressive group by group) needs more to reach the point,
// which preview_prefix_length tells. An image claiming more than `max_pixels`
// pixels (0: no limit) is refused (ValueError) before libjxl decodes it; its
// pixels are dropped as they come, so no full-size scratch image exists.
StatusOr<std::optional<size_t>> dc_prefix_length(ByteSource &src, uint64_t max_pixels);

// The shortest prefix of a memory source with which libjxl reaches the first
// frame's progression point of 1:`max_ratio` or finer (2, 4 or 8) as a
// reduced decode sees them (libjxl's kLastPasses detail): the prefix a
// 1:`max_ratio` preview of a still image needs, wherever the frame's
// sections lie. None without such a point and for an empty input.
StatusOr<std::optional<size_t>> preview_prefix_length(ByteSource &src, uint64_t max_pixels,
                                                      size_t max_ratio);

// Pulls `src` until libjxl reaches that point, and no further: whether it
// did (false for an empty input, or a frame without the point). The bytes
// pulled are then measured as a memory span.
StatusOr<bool> read_to_preview_point(ByteSource &src, uint64_t max_pixels, size_t max_ratio);

}  // namespace qmjxl
