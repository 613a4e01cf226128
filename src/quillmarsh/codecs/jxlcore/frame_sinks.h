// Where a decoded frame's pixels go: the caller's array (a new one, or the
// caller's own `out`), an array reduced while the pixels arrive, or the
// per-channel buffers of an assembled frame. The memory belongs to the
// caller; the sink tells libjxl about it and finishes the frame.
#pragma once

#include "jxlcore/channels.h"
#include "jxlcore/common.h"

#include <atomic>

namespace qmjxl {

// How a reduced frame takes its samples: the top-left or the centre pixel of
// each n-by-n block.
enum class Subsample { kTopLeft, kCenter };

// A frame reduced by `n` while libjxl delivers it: libjxl's image-out
// callback hands over full-resolution scanlines (from several threads at once
// with a runner), and only the samples of the reduced array are kept, at the
// positions a strided slice of the full frame takes them from. So a reduced
// decode never holds a full-size frame.
struct ReducedSink {
    uint8_t *base = nullptr;
    size_t height = 0, width = 0;       // the full-size frame's
    size_t n = 1, y0 = 0, x0 = 0;
    size_t rows = 0, cols = 0;          // sampled rows / columns inside the frame
    size_t out_rows = 0, out_cols = 0;  // the array's: ceil(height / n), ceil(width / n)
    size_t pixel_bytes = 0;
    // Whether libjxl has delivered any pixel of the frame yet.
    std::atomic<bool> touched{false};

    // `buf` holds out_rows x out_cols pixels of `pixel_bytes`.
    void configure(void *buf, size_t frame_height, size_t frame_width, size_t n, Subsample mode,
                   size_t pixel_bytes);
    // The edge copies of centre sampling, once the frame is complete.
    void pad() const;
    static void on_pixels(void *opaque, size_t x, size_t y, size_t num_pixels, const void *pixels);
};

// The destination of one frame. Exactly one of: the array (`buf`, `size`
// bytes) libjxl writes whole; `reduced`, which keeps the samples of a reduced
// array as they arrive; `plan`, whose per-channel buffers libjxl writes and
// which are assembled into `buf` once the frame is complete.
struct FrameSink {
    void *buf = nullptr;
    size_t size = 0;
    ReducedSink *reduced = nullptr;
    FramePlan *plan = nullptr;
    // libjxl has been handed the destination of the current frame.
    bool attached = false;

    bool has_memory() const { return buf != nullptr; }
    // At JXL_DEC_NEED_IMAGE_OUT_BUFFER: hands the destination to libjxl.
    Status attach(JxlDecoder *dec, const JxlPixelFormat &pf, const JxlBitDepth &bd);
    // Once the frame is complete: reduced edges padded, or the plan assembled.
    Status finish() const;
};

}  // namespace qmjxl
