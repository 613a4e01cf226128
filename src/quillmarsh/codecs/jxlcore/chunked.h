// Chunked encoding of large frames: libjxl pulls rectangles of the caller's
// array (JxlChunkedFrameInputSource) and pushes the stream out as it makes it
// (JxlEncoderOutputProcessor), so that neither a copy of the frame nor, for a
// file, the whole stream is held in memory.
#pragma once

#include "jxlcore/byte_sink.h"
#include "jxlcore/common.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmjxl {

// One frame of the caller's array: sample c of pixel (y, x) is at
// data + y * ystride + x * xstride + c * cstride (byte strides of any sign).
struct FrameLayout {
    const uint8_t *data = nullptr;
    size_t xsize = 0, ysize = 0;
    size_t samples = 1;  // per pixel in the array
    size_t bytes = 1;    // per sample
    ptrdiff_t ystride = 0, xstride = 0, cstride = 0;
    bool aligned = true;  // samples at addresses their type may be read from
};

// Hands libjxl rectangles of a FrameLayout. Colour (with interleaved alpha
// when `color` has 2 or 4 channels) is the array's first color.num_channels
// samples; extra channel k, when `extras` is given, is sample
// `first_extra + k`, a uint8 format over a uint16 array meaning clamped to
// 255. Packed pixels (a positive row stride, samples side by side) are handed
// out in place; any other layout is copied into a tile per rectangle, freed on
// release. libjxl may call from several worker threads at once.
class ChunkedSource {
public:
    ChunkedSource(const FrameLayout &frame, const JxlPixelFormat &color, size_t first_extra,
                  std::vector<JxlPixelFormat> extras);
    ChunkedSource(const ChunkedSource &) = delete;
    ChunkedSource &operator=(const ChunkedSource &) = delete;
    ~ChunkedSource();

    // Reserves the tile handed out when a copy finds no memory (libjxl has no
    // way to be told); NoMemory when even that is not there.
    Status reserve();
    JxlChunkedFrameInputSource callbacks();
    // A tile could not be allocated: the encoded stream is not the image.
    bool out_of_memory() const { return oom_.load(); }

private:
    static void color_format(void *opaque, JxlPixelFormat *pf);
    static const void *color_at(void *opaque, size_t x, size_t y, size_t xs, size_t ys,
                                size_t *row_offset);
    static void extra_format(void *opaque, size_t ec, JxlPixelFormat *pf);
    static const void *extra_at(void *opaque, size_t ec, size_t x, size_t y, size_t xs,
                                size_t ys, size_t *row_offset);
    static void release(void *opaque, const void *buf);
    // A tile of samples [first, first + count) of the rectangle, or the reserve.
    const void *copy_tile(size_t first, size_t count, bool narrow, size_t x, size_t y, size_t xs,
                          size_t ys, size_t *row_offset);

    FrameLayout f_;
    JxlPixelFormat color_;
    size_t first_extra_;
    std::vector<JxlPixelFormat> extras_;
    bool in_place_ = false;
    void *reserve_ = nullptr;
    size_t reserve_size_ = 0;
    std::atomic<bool> oom_{false};
};

// Where libjxl's output goes as it is made: a file sink's file, written at
// the encoder's positions (it seeks back to fill in sizes), or a memory
// sink's buffer, grown as needed (its size is the stream's length). The
// first failed write or allocation stops the encoder, which then reports an
// error.
class ChunkedSink {
public:
    explicit ChunkedSink(ByteSink *out);
    ChunkedSink(const ChunkedSink &) = delete;
    ChunkedSink &operator=(const ChunkedSink &) = delete;

    JxlEncoderOutputProcessor processor();
    int error() const { return err_; }  // errno of the failure (ENOMEM), or 0

private:
    static void *get_buffer(void *opaque, size_t *size);
    static void release_buffer(void *opaque, size_t written);
    static void seek(void *opaque, uint64_t position);
    static void set_finalized_position(void *opaque, uint64_t position);

    ByteSink *out_;
    std::vector<uint8_t> scratch_;  // the file's write buffer
    uint64_t pos_ = 0, end_ = 0;
    int err_ = 0;
};

}  // namespace qmjxl
