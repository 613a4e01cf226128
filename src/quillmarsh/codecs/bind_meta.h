// The metadata probes (frames_info, _read_boxes) and the Python form of the
// core's box and frame-header scans, which the reader's properties share.
#pragma once

#include "bind_input.h"
#include "jxlcore/boxes.h"
#include "jxlcore/frame_scan.h"

#include <vector>

namespace qmjxl {

// The TIFF-structured part of an Exif box's contents; JxlError if malformed.
nb::bytes exif_payload(const std::vector<uint8_t> &box);

// A BoxScan as Python objects: exif, xmp and jumbf as bytes or None, boxes as
// a list of (type, size or None, compressed).
nb::dict boxes_to_dict(const BoxScan &scan);
nb::list box_list(const BoxScan &scan);

// One dict per frame: duration (seconds), duration_ticks, timecode, name,
// is_last and the layer (xsize, ysize, crop_x0, crop_y0, blend_mode).
nb::list frame_dicts(const FrameHeaders &headers);

void register_meta(nb::module_ &m);

}  // namespace qmjxl
