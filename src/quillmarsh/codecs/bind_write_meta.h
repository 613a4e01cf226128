// The writer's metadata arguments read into the core's plain records:
// Exif, XMP and JUMBF contents, durations, loops, timecodes and frame names,
// checked with Python's own errors.
#pragma once

#include "bind_common.h"
#include "jxlcore/boxes.h"
#include "jxlcore/frame_scan.h"
#include "jxlcore/encode_meta.h"

#include <string>

namespace qmjxl {

// Exif box contents (offset field + TIFF data) from TIFF data with or
// without a leading "Exif\0\0". Raises TypeError / ValueError.
std::string exif_box_contents(nb::handle exif);
// A metadata payload's bytes; `what` names the argument in errors (a str is
// taken, as UTF-8, for "xmp" only). Raises TypeError / ValueError.
std::string box_payload(nb::handle value, const char *what);
// Seconds as ticks of kTicksPerSecond; ValueError for negative, NaN,
// infinite or too long durations.
uint32_t duration_ticks(nb::handle seconds, const char *what);
// A frame name as UTF-8 (str, no NUL, at most kMaxFrameName bytes).
std::string frame_name_utf8(nb::handle name);

// The constructor's metadata options. `duration`: None, a number of seconds
// or a sequence of them; `loops`: plays, 0 for forever; `timecodes`: None or
// a sequence of 32-bit timecodes. Raises TypeError / ValueError.
void parse_encode_meta(EncodeMeta &meta, nb::handle exif, nb::handle xmp, nb::handle jumbf,
                       nb::handle compress, nb::handle duration, nb::handle loops,
                       nb::handle timecodes, bool animation);

// The header of frame `index` (0-based); `duration`, `name` and `timecode`
// are write_frame's (None or a null handle: the writer's own). Raises
// TypeError / ValueError.
FrameHeaderFields frame_header_fields(const EncodeMeta &meta, size_t index, bool is_last,
                                      nb::handle duration, nb::handle name, nb::handle timecode);

}  // namespace qmjxl
