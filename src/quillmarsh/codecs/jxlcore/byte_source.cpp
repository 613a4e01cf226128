// The input side of every decoder pass (see byte_source.h).
#include "jxlcore/byte_source.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qmjxl {

// ---- InputBuffer -----------------------------------------------------------

InputBuffer::InputBuffer(InputBuffer &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

InputBuffer &InputBuffer::operator=(InputBuffer &&other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void InputBuffer::release() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

Status InputBuffer::reserve(size_t capacity) {
    if (capacity <= capacity_) return Status::Ok();
    if (data_) return grow(capacity);
    data_ = static_cast<uint8_t *>(std::malloc(capacity));
    if (!data_) return NoMemory("jxl: failed to allocate streaming input buffer");
    capacity_ = capacity;
    return Status::Ok();
}

Status InputBuffer::grow(size_t needed) {
    size_t cap = capacity_ ? capacity_ : needed;
    while (cap < needed) {
        if (cap > (SIZE_MAX >> 1)) return NoMemory("jxl: failed to grow streaming input buffer");
        cap <<= 1;
    }
    void *p = std::realloc(data_, cap);
    if (!p) return NoMemory("jxl: failed to grow streaming input buffer");
    data_ = static_cast<uint8_t *>(p);
    capacity_ = cap;
    return Status::Ok();
}

StatusOr<uint8_t *> InputBuffer::room(size_t n) {
    if (n > SIZE_MAX - size_) return NoMemory("jxl: failed to grow streaming input buffer");
    if (size_ + n > capacity_) QM_RETURN_IF_ERROR(grow(size_ + n));
    return data_ + size_;
}

Status InputBuffer::append(const uint8_t *p, size_t n) {
    if (n == 0) return Status::Ok();
    QM_ASSIGN_OR_RETURN(uint8_t *dst, room(n));
    std::memcpy(dst, p, n);
    size_ += n;
    return Status::Ok();
}

void InputBuffer::keep_tail(size_t n) {
    n = std::min(n, size_);
    if (n > 0 && n < size_) std::memmove(data_, data_ + (size_ - n), n);
    size_ = n;
}

// ---- ByteSource ------------------------------------------------------------

ByteSource ByteSource::memory(const uint8_t *data, size_t size) {
    ByteSource s;
    s.data_ = data;
    s.size_ = size;
    s.ended_ = true;  // all of it is there from the start
    return s;
}

StatusOr<ByteSource> ByteSource::pulled(ChunkPuller *puller, size_t initial_capacity) {
    ByteSource s;
    s.puller_ = puller;
    if (initial_capacity > 0) QM_RETURN_IF_ERROR(s.buf_.reserve(initial_capacity));
    return s;
}

Status ByteSource::prefetch(size_t min_bytes) {
    while (puller_ && !ended_ && buf_.size() < min_bytes) {
        QM_ASSIGN_OR_RETURN(const bool more, puller_->pull(buf_));
        if (!more) ended_ = true;
    }
    return Status::Ok();
}

Status ByteSource::start(JxlDecoder *dec) {
    if (size() == 0) return Status::Ok();  // libjxl asks, and refill() answers
    const JxlDecoderStatus st = JxlDecoderSetInput(dec, data(), size());
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetInput", st);
    return Status::Ok();
}

StatusOr<Refill> ByteSource::refill(JxlDecoder *dec) {
    if (closed_) {  // libjxl gives nothing back once closed
        ran_out_ = true;
        return Refill::kDrained;
    }
    const size_t tail = std::min(JxlDecoderReleaseInput(dec), size());
    const uint8_t *rest = data() + (size() - tail);
    if (puller_) {
        dropped_ += buf_.size() - tail;
        buf_.keep_tail(tail);
        rest = buf_.data();
        if (!ended_) {
            QM_ASSIGN_OR_RETURN(const bool more, puller_->pull(buf_));
            if (more) {
                const JxlDecoderStatus st = JxlDecoderSetInput(dec, buf_.data(), buf_.size());
                if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetInput", st);
                return Refill::kMore;
            }
            ended_ = true;
        }
    }
    ran_out_ = true;
    if (tail == 0) return Refill::kDrained;
    const JxlDecoderStatus st = JxlDecoderSetInput(dec, rest, tail);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetInput", st);
    close(dec);
    return Refill::kClosed;
}

StatusOr<JxlDecoderStatus> ByteSource::process(JxlDecoder *dec) {
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        if (st != JXL_DEC_NEED_MORE_INPUT) return st;
        QM_ASSIGN_OR_RETURN(const Refill r, refill(dec));
        if (r == Refill::kDrained) {
            if (closed_) return st;
            close(dec);
        }
    }
}

void ByteSource::close(JxlDecoder *dec) {
    if (closed_) return;
    JxlDecoderCloseInput(dec);
    closed_ = true;
}

}  // namespace qmjxl
