// Checks of what libjxl's encoder produced: its effort-1 lossless coder is
// tested once per process, and a stream can be decoded back and compared
// with the pixels it was made from.
#pragma once

#include "jxlcore/common.h"

namespace qmjxl {

// Whether the effort-1 lossless coder of the loaded libjxl stores 8-bit
// stills exactly. libjxl 0.11.2 as released can miss a palette hash
// collision there and store a wrong colour (scripts/bootstrap-libjxl patches
// it); the answer comes from encoding and decoding an image that hits the
// flaw, once per process, so any libjxl is judged by what it does.
bool fast_lossless_sound();

// True when `stream` decodes (first frame, in `pf`) to exactly the
// `nbytes` bytes at `pixels`. Touches no Python object.
bool decodes_to_nogil(const uint8_t *stream, size_t size, const JxlPixelFormat &pf,
                      const void *pixels, size_t nbytes) noexcept;

}  // namespace qmjxl
