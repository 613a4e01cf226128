// Frame destinations (see frame_sinks.h).
#include "jxlcore/frame_sinks.h"

#include <cstring>

namespace qmjxl {

void ReducedSink::configure(void *buf, size_t frame_height, size_t frame_width, size_t step,
                            Subsample mode, size_t pbytes) {
    base = static_cast<uint8_t *>(buf);
    height = frame_height;
    width = frame_width;
    n = step;
    pixel_bytes = pbytes;
    // The slice's first sample: 0, or the centre of the first block (the
    // last row/column when the frame is no larger than half a block).
    auto first = [&](size_t len) {
        if (mode == Subsample::kTopLeft) return size_t(0);
        const size_t off = n / 2;
        return off < len ? off : (len ? len - 1 : 0);
    };
    y0 = first(height);
    x0 = first(width);
    out_rows = (height + n - 1) / n;
    out_cols = (width + n - 1) / n;
    rows = height > y0 ? (height - y0 + n - 1) / n : 0;
    cols = width > x0 ? (width - x0 + n - 1) / n : 0;
    touched.store(false, std::memory_order_relaxed);
}

void ReducedSink::on_pixels(void *opaque, size_t x, size_t y, size_t num_pixels,
                            const void *pixels) {
    auto *s = static_cast<ReducedSink *>(opaque);
    if (!s->touched.load(std::memory_order_relaxed))
        s->touched.store(true, std::memory_order_relaxed);
    if (y < s->y0 || (y - s->y0) % s->n != 0) return;
    const size_t j = (y - s->y0) / s->n;
    if (j >= s->rows) return;
    const size_t n = s->n, pb = s->pixel_bytes, end = x + num_pixels;
    size_t k = x <= s->x0 ? 0 : (x - s->x0 + n - 1) / n;
    uint8_t *dst = s->base + (j * s->out_cols + k) * pb;
    const auto *src = static_cast<const uint8_t *>(pixels);
    // Threads write disjoint samples: each kept sample has one source pixel.
    for (size_t col = s->x0 + k * n; col < end && k < s->cols; col += n, ++k, dst += pb)
        std::memcpy(dst, src + (col - x) * pb, pb);
}

void ReducedSink::pad() const {
    // An edge pad of the sampled block: last column, then last row.
    const size_t pb = pixel_bytes, row_bytes = out_cols * pb;
    if (cols == 0 || rows == 0) return;
    for (size_t j = 0; j < rows; ++j) {
        uint8_t *row = base + j * row_bytes;
        for (size_t k = cols; k < out_cols; ++k) std::memcpy(row + k * pb, row + (cols - 1) * pb, pb);
    }
    for (size_t j = rows; j < out_rows; ++j)
        std::memcpy(base + j * row_bytes, base + (rows - 1) * row_bytes, row_bytes);
}

namespace {

const char *const kDoubleAlloc = "jxl: double-allocation in decode loop";
const char *const kSizeQuery = "JxlDecoderImageOutBufferSize failed";
const char *const kSizeMismatch = "jxl: out buffer size mismatch";
const char *const kSetBuffer = "JxlDecoderSetImageOutBuffer failed";

// For integer output, libjxl is told the codestream's bit depth.
Status set_bit_depth(JxlDecoder *dec, const JxlBitDepth &bd) {
    if (bd.type == JXL_BIT_DEPTH_FROM_CODESTREAM &&
        JxlDecoderSetImageOutBitDepth(dec, &bd) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderSetImageOutBitDepth failed");
    return Status::Ok();
}

Status attach_array(JxlDecoder *dec, const JxlPixelFormat &pf, const JxlBitDepth &bd, void *buf,
                    size_t size) {
    size_t out_size = 0;
    if (JxlDecoderImageOutBufferSize(dec, &pf, &out_size) != JXL_DEC_SUCCESS)
        return StreamError(kSizeQuery);
    if (out_size != size) return StreamError(kSizeMismatch);
    if (JxlDecoderSetImageOutBuffer(dec, &pf, buf, size) != JXL_DEC_SUCCESS)
        return StreamError(kSetBuffer);
    return set_bit_depth(dec, bd);
}

Status attach_reduced(JxlDecoder *dec, const JxlPixelFormat &pf, const JxlBitDepth &bd,
                      ReducedSink *sink) {
    // The frame libjxl is about to deliver must be the one the sink was sized for.
    size_t full_size = 0;
    if (JxlDecoderImageOutBufferSize(dec, &pf, &full_size) != JXL_DEC_SUCCESS)
        return StreamError(kSizeQuery);
    const uint64_t want = uint64_t(sink->width) * sink->height * pf.num_channels *
                          bytes_per_sample(pf.data_type);  // sizes bounded by the header checks
    if (full_size != want) return StreamError(kSizeMismatch);
    if (JxlDecoderSetImageOutCallback(dec, &pf, &ReducedSink::on_pixels, sink) != JXL_DEC_SUCCESS)
        return StreamError(kSetBuffer);
    return set_bit_depth(dec, bd);
}

Status attach_plan(JxlDecoder *dec, const FramePlan &plan) {
    switch (plan.set_buffers_nogil(dec)) {
        case 0: return Status::Ok();
        case -1: return StreamError(kSizeQuery);
        case -2: return StreamError(kSizeMismatch);
        default: return StreamError(kSetBuffer);
    }
}

}  // namespace

Status FrameSink::attach(JxlDecoder *dec, const JxlPixelFormat &pf, const JxlBitDepth &bd) {
    if (attached) return StreamError(kDoubleAlloc);
    QM_RETURN_IF_ERROR(plan      ? attach_plan(dec, *plan)
                       : reduced ? attach_reduced(dec, pf, bd, reduced)
                                 : attach_array(dec, pf, bd, buf, size));
    attached = true;
    return Status::Ok();
}

Status FrameSink::finish() const {
    if (reduced) {
        reduced->pad();
    } else if (plan && !plan->assemble_nogil(buf)) {
        return StreamError("jxl: the colour conversion for output_color failed");
    }
    return Status::Ok();
}

}  // namespace qmjxl
