// Where an encoded stream goes: a growable memory buffer, or a file written
// through a temporary file beside it that only commit() renames into place,
// so that a failure never leaves a partial file or touches an existing one.
#pragma once

#include "jxlcore/status.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmjxl {

class ByteSink {
public:
    ByteSink() = default;  // in memory
    ~ByteSink();           // an uncommitted file is discarded
    ByteSink(const ByteSink &) = delete;
    ByteSink &operator=(const ByteSink &) = delete;

    // Makes this a file sink for `target`: refuses a directory or an
    // unwritable existing file, then creates the temporary file (with the
    // target's permissions, or those a new file gets). `shown` is the target
    // as the caller wrote it, for the messages.
    Status open_file(const std::string &target, const std::string &shown);
    bool is_file() const { return fd_ >= 0; }
    const std::string &target() const { return target_; }

    // The bytes held in memory: the whole stream of a memory sink; for a
    // file, those commit() writes before renaming.
    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    void set_size(size_t n) { size_ = n; }
    void clear() { size_ = 0; }
    // A buffer of at least `capacity` bytes (the bytes held stay).
    Status reserve(size_t capacity);
    // More room: doubling up to 32 MiB, then 32 MiB at a time, and at least
    // `needed` bytes. False when memory runs out; the bytes held stay valid.
    bool grow(size_t needed) noexcept;
    void free_memory() noexcept;

    // Writes straight to the file at `position`; the errno of a failure, or
    // 0. Needs no lock: it touches only this sink's file.
    int write_at(uint64_t position, const uint8_t *p, size_t n) noexcept;
    // File: the bytes held in memory are appended, the file is flushed to
    // disk, closed and renamed over the target. Memory: nothing to do.
    Status commit();
    // Closes and removes the temporary file; the target stays as it was.
    void discard() noexcept;

private:
    uint8_t *data_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
    int fd_ = -1;
    uint64_t file_end_ = 0;  // end of what write_at put in the file
    std::string target_, temp_;
};

}  // namespace qmjxl
