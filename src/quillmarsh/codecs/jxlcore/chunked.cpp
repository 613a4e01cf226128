// ChunkedSource and ChunkedSink: the callbacks of libjxl's chunked frame
// input and output processor.
#include "jxlcore/chunked.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qmjxl {

namespace {

constexpr size_t kMinGrant = 65536;         // smallest buffer given to libjxl
constexpr size_t kMaxFileWrite = 16 << 20;  // largest single write to a file

// Sample c of pixel (y, x).
const uint8_t *sample_at(const FrameLayout &f, size_t y, size_t x, size_t c) {
    return f.data + static_cast<ptrdiff_t>(y) * f.ystride + static_cast<ptrdiff_t>(x) * f.xstride +
           static_cast<ptrdiff_t>(c) * f.cstride;
}

template <size_t B>
void copy_rows(const FrameLayout &f, size_t first, size_t count, size_t x, size_t y, size_t xs,
               size_t ys, uint8_t *out) {
    for (size_t r = 0; r < ys; ++r) {
        const uint8_t *row = sample_at(f, y + r, x, first);
        for (size_t i = 0; i < xs; ++i) {
            const uint8_t *p = row + static_cast<ptrdiff_t>(i) * f.xstride;
            for (size_t c = 0; c < count; ++c, out += B)
                std::memcpy(out, p + static_cast<ptrdiff_t>(c) * f.cstride, B);
        }
    }
}

// uint16 samples to uint8, clamped to 255.
void copy_rows_narrow(const FrameLayout &f, size_t sample, size_t x, size_t y, size_t xs,
                      size_t ys, uint8_t *out) {
    for (size_t r = 0; r < ys; ++r) {
        const uint8_t *row = sample_at(f, y + r, x, sample);
        for (size_t i = 0; i < xs; ++i) {
            uint16_t v;
            std::memcpy(&v, row + static_cast<ptrdiff_t>(i) * f.xstride, 2);
            *out++ = static_cast<uint8_t>(v < 255 ? v : 255);
        }
    }
}

}  // namespace

// ---- input -------------------------------------------------------------------

ChunkedSource::ChunkedSource(const FrameLayout &frame, const JxlPixelFormat &color,
                             size_t first_extra, std::vector<JxlPixelFormat> extras)
    : f_(frame), color_(color), first_extra_(first_extra), extras_(std::move(extras)) {
    const ptrdiff_t b = static_cast<ptrdiff_t>(f_.bytes);
    const ptrdiff_t pixel = static_cast<ptrdiff_t>(f_.samples) * b;
    // In place only when libjxl's colour format is the array's whole pixel.
    in_place_ = extras_.empty() && color_.num_channels == f_.samples && f_.aligned &&
                (f_.samples == 1 || f_.cstride == b) && (f_.xsize == 1 || f_.xstride == pixel) &&
                f_.ystride >= static_cast<ptrdiff_t>(f_.xsize) * pixel;
}

ChunkedSource::~ChunkedSource() { std::free(reserve_); }

Status ChunkedSource::reserve() {
    if (in_place_) return Status::Ok();
    // As large as the largest rectangle: the whole frame, which libjxl asks
    // for at once when it does not stream. Zero pages, mapped only if read.
    reserve_size_ = std::max<size_t>(f_.xsize * f_.ysize * color_.num_channels * f_.bytes, 1);
    reserve_ = std::calloc(reserve_size_, 1);
    if (!reserve_) return NoMemory("jxl: no memory for the frame's tiles");
    return Status::Ok();
}

JxlChunkedFrameInputSource ChunkedSource::callbacks() {
    return {this, color_format, color_at, extra_format, extra_at, release};
}

void ChunkedSource::color_format(void *opaque, JxlPixelFormat *pf) {
    *pf = static_cast<ChunkedSource *>(opaque)->color_;
}

void ChunkedSource::extra_format(void *opaque, size_t ec, JxlPixelFormat *pf) {
    auto *s = static_cast<ChunkedSource *>(opaque);
    if (ec < s->extras_.size()) *pf = s->extras_[ec];
}

const void *ChunkedSource::color_at(void *opaque, size_t x, size_t y, size_t xs, size_t ys,
                                    size_t *row_offset) {
    auto *s = static_cast<ChunkedSource *>(opaque);
    const FrameLayout &f = s->f_;
    if (s->in_place_) {
        *row_offset = static_cast<size_t>(f.ystride);
        return sample_at(f, y, x, 0);
    }
    return s->copy_tile(0, s->color_.num_channels, false, x, y, xs, ys, row_offset);
}

const void *ChunkedSource::extra_at(void *opaque, size_t ec, size_t x, size_t y, size_t xs,
                                    size_t ys, size_t *row_offset) {
    auto *s = static_cast<ChunkedSource *>(opaque);
    const bool narrow = ec < s->extras_.size() && s->extras_[ec].data_type == JXL_TYPE_UINT8 &&
                        s->f_.bytes == 2;
    return s->copy_tile(s->first_extra_ + ec, 1, narrow, x, y, xs, ys, row_offset);
}

const void *ChunkedSource::copy_tile(size_t first, size_t count, bool narrow, size_t x, size_t y,
                                     size_t xs, size_t ys, size_t *row_offset) {
    const size_t out_bytes = narrow ? 1 : f_.bytes;
    *row_offset = xs * count * out_bytes;
    // libjxl stays inside the frame; a request that does not is answered
    // with the reserve rather than with reads outside the caller's array.
    if (x > f_.xsize || y > f_.ysize || xs > f_.xsize - x || ys > f_.ysize - y ||
        first + count > f_.samples) {
        oom_ = true;
        return reserve_;
    }
    uint8_t *tile = static_cast<uint8_t *>(std::malloc(std::max<size_t>(*row_offset * ys, 1)));
    if (!tile) {
        // The encode is failed afterwards; libjxl only reads these zeros.
        oom_ = true;
        return reserve_;
    }
    if (narrow) {
        copy_rows_narrow(f_, first, x, y, xs, ys, tile);
    } else {
        switch (f_.bytes) {
            case 1: copy_rows<1>(f_, first, count, x, y, xs, ys, tile); break;
            case 2: copy_rows<2>(f_, first, count, x, y, xs, ys, tile); break;
            default: copy_rows<4>(f_, first, count, x, y, xs, ys, tile); break;
        }
    }
    return tile;
}

void ChunkedSource::release(void *opaque, const void *buf) {
    auto *s = static_cast<ChunkedSource *>(opaque);
    if (s->in_place_ || buf == s->reserve_) return;
    std::free(const_cast<void *>(buf));
}

// ---- output ------------------------------------------------------------------

// The stream starts the buffer: libjxl's positions are offsets into it.
ChunkedSink::ChunkedSink(ByteSink *out) : out_(out) { out->clear(); }

JxlEncoderOutputProcessor ChunkedSink::processor() {
    return {this, get_buffer, release_buffer, seek, set_finalized_position};
}

void *ChunkedSink::get_buffer(void *opaque, size_t *size) {
    auto *s = static_cast<ChunkedSink *>(opaque);
    if (s->err_) {
        *size = 0;
        return nullptr;  // stops the encoder
    }
    const size_t want = std::max(*size, kMinGrant);
    if (!s->out_->is_file()) {
        ByteSink &b = *s->out_;
        if (s->pos_ + want > b.capacity() && !b.grow(static_cast<size_t>(s->pos_) + want)) {
            s->err_ = ENOMEM;
            *size = 0;
            return nullptr;
        }
        *size = b.capacity() - static_cast<size_t>(s->pos_);
        return b.data() + s->pos_;
    }
    const size_t n = std::min(want, kMaxFileWrite);
    try {
        if (s->scratch_.size() < n) s->scratch_.resize(n);
    } catch (const std::bad_alloc &) {
        s->err_ = ENOMEM;
        *size = 0;
        return nullptr;
    }
    *size = s->scratch_.size();
    return s->scratch_.data();
}

void ChunkedSink::release_buffer(void *opaque, size_t written) {
    auto *s = static_cast<ChunkedSink *>(opaque);
    if (s->out_->is_file() && !s->err_) {
        s->err_ = s->out_->write_at(s->pos_, s->scratch_.data(), written);
        if (s->err_) return;
    }
    s->pos_ += written;
    s->end_ = std::max(s->end_, s->pos_);
    if (!s->out_->is_file()) s->out_->set_size(static_cast<size_t>(s->end_));
}

void ChunkedSink::seek(void *opaque, uint64_t position) {
    static_cast<ChunkedSink *>(opaque)->pos_ = position;
}

void ChunkedSink::set_finalized_position(void *, uint64_t) {
    // Nothing to do: bytes are delivered only when the whole stream is made.
}

}  // namespace qmjxl
