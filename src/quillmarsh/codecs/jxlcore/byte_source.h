// Where a decoder's bytes come from, and the one refill path that feeds
// them to libjxl.
//
// A ByteSource is either a memory span (the whole input at once) or a pull
// source: a ChunkPuller, implemented by the bindings over a file descriptor
// (pread), a Python file object or the background chunk reader, appends the
// input's next bytes to an InputBuffer as libjxl asks for them.
//
// The input stays open for libjxl until libjxl asks for bytes past its end;
// only then is it closed, and libjxl's next answer is final. So the source
// knows, without a second decoding pass, whether a failing stream is cut:
// ran_out() says libjxl wanted more than the input holds. A caller that
// wants the input closed at once (libjxl then reports a cut stream as a
// plain error) calls close() after start().
//
// Use, in a decoder's event loop:
//     QM_RETURN_IF_ERROR(src.start(dec));
//     for (;;) {
//         QM_ASSIGN_OR_RETURN(JxlDecoderStatus st, src.process(dec));
//         if (st == JXL_DEC_SUCCESS) break;
//         if (st == JXL_DEC_ERROR) return src.ran_out() ? <cut> : <corrupt>;
//         ...  // the subscribed events
//     }
// or, where the refill must happen outside the lock-free step, call
// refill() on JXL_DEC_NEED_MORE_INPUT and act on its Refill.
//
// The core never touches the interpreter; a puller that needs it takes its lock itself.
#pragma once

#include "jxlcore/common.h"

#include <cstddef>
#include <cstdint>

namespace qmjxl {

// A malloc-owned byte buffer: the unconsumed tail of the input followed by
// the chunks pulled since. (Growing a std::vector would first zero bytes that
// a read is about to overwrite.) Grows by doubling.
class InputBuffer {
public:
    InputBuffer() = default;
    InputBuffer(InputBuffer &&other) noexcept;
    InputBuffer &operator=(InputBuffer &&other) noexcept;
    InputBuffer(const InputBuffer &) = delete;
    InputBuffer &operator=(const InputBuffer &) = delete;
    ~InputBuffer() { release(); }

    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // The first allocation, of exactly `capacity` bytes (NoMemory on failure).
    Status reserve(size_t capacity);
    // Room for `n` more bytes after the held ones; commit() what was written.
    StatusOr<uint8_t *> room(size_t n);
    void commit(size_t n) { size_ += n; }
    Status append(const uint8_t *p, size_t n);
    // Keeps only the last `n` held bytes, moved to the front.
    void keep_tail(size_t n);
    void release() noexcept;

private:
    Status grow(size_t needed);
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The pull side of a ByteSource.
class ChunkPuller {
public:
    virtual ~ChunkPuller() = default;
    // Appends the input's next bytes (at least one, as many as it has) to
    // `buf`: true; false when the input has ended (nothing appended). A read
    // that fails is a Status.
    virtual StatusOr<bool> pull(InputBuffer &buf) = 0;
};

// What a refill did.
enum class Refill {
    kMore,     // new bytes follow the unconsumed tail
    kClosed,   // the input has ended: the tail was handed back and the input
               // closed, so libjxl's next answer is final
    kDrained,  // the input has ended and libjxl had consumed all of it: nothing
               // is set and the input is still open. close() lets libjxl
               // conclude (a container may end at a box boundary); or report
               // the cut.
};

class ByteSource {
public:
    ByteSource() = default;
    // `data` stays valid and unchanged for as long as any decoder it feeds.
    static ByteSource memory(const uint8_t *data, size_t size);
    // Bytes from `puller` (not owned; it outlives the source) into a buffer of
    // `initial_capacity` bytes (0: allocated as the first chunk arrives).
    static StatusOr<ByteSource> pulled(ChunkPuller *puller, size_t initial_capacity = 0);

    // Before the first decoder: pulls until `min_bytes` are held or the input
    // ends, so that the caller can look at its start (empty? a signature?).
    Status prefetch(size_t min_bytes);
    // The bytes held now: all of a memory span; of a pulled input, what has
    // been read and not yet dropped.
    const uint8_t *data() const { return puller_ ? buf_.data() : data_; }
    // Where data() lies in the input: the bytes libjxl consumed and the
    // source dropped before it (always 0 for a memory span).
    uint64_t offset() const { return dropped_; }
    size_t size() const { return puller_ ? buf_.size() : size_; }
    size_t capacity() const { return buf_.capacity(); }
    bool pulls() const { return puller_ != nullptr; }

    // Hands the held bytes to `dec` (the first input of a new decoder).
    Status start(JxlDecoder *dec);
    // After JXL_DEC_NEED_MORE_INPUT: the unconsumed tail, then the next chunk.
    StatusOr<Refill> refill(JxlDecoder *dec);
    // JxlDecoderProcessInput, refilling as libjxl asks (a drained input is
    // closed): every other status is returned. NEED_MORE_INPUT comes back
    // only if libjxl asks again after the input was closed.
    StatusOr<JxlDecoderStatus> process(JxlDecoder *dec);
    // Tells `dec` that no more input follows (once).
    void close(JxlDecoder *dec);

    bool ended() const { return ended_; }    // the whole input has been read
    bool closed() const { return closed_; }  // ... and libjxl told so
    // libjxl asked for bytes past the end of the input: when it then fails,
    // the stream is cut rather than corrupt.
    bool ran_out() const { return ran_out_; }

    // Frees the buffer (a pulled source is unusable afterwards).
    void release() noexcept { buf_.release(); }

private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    ChunkPuller *puller_ = nullptr;
    InputBuffer buf_;
    uint64_t dropped_ = 0;
    bool ended_ = false;
    bool closed_ = false;
    bool ran_out_ = false;
};

}  // namespace qmjxl
