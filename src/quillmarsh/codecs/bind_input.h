// The bindings' side of the core ByteSource: pullers over a file descriptor,
// a Python file object and the background chunk reader, and ProbeInput, the
// input of the probe and metadata functions.
#pragma once

#include "bind_common.h"
#include "jxlcore/byte_source.h"

#include <memory>
#include <utility>
#include <vector>

namespace qmjxl {

// A puller whose failure may be a Python error: a pull keeps the error (the
// core only sees a failed Status) and raise_failure raises it once the core
// has returned and the lock is held again.
class BoundPuller : public ChunkPuller {
public:
    // Raises the error a pull kept, or else `s`.
    [[noreturn]] void raise_failure(const Status &s);

protected:
    Status keep(nb::python_error &e);
    Status keep_errno(int err);

private:
    std::unique_ptr<nb::python_error> error_;
    int errno_ = 0;
};

// pread from `offset` on, in chunks of `chunk` bytes: the descriptor's own
// position (which another reader may be using) is left alone. Needs no lock.
class FdPuller final : public BoundPuller {
public:
    FdPuller(int fd, int64_t offset, size_t chunk) : fd_(fd), pos_(offset), chunk_(chunk) {}
    StatusOr<bool> pull(InputBuffer &buf) override;

private:
    int fd_;
    int64_t pos_;
    size_t chunk_;
};

// file.read(chunk), with the interpreter lock taken for the call.
class FilePuller final : public BoundPuller {
public:
    FilePuller(nb::handle file, size_t chunk) : file_(file), chunk_(chunk) {}
    StatusOr<bool> pull(InputBuffer &buf) override;

private:
    nb::handle file_;  // kept alive by the owner
    size_t chunk_;
};

// quillmarsh.core.io.BackgroundChunkReader.get(): bytes, or None at the end.
// Takes the interpreter lock for the call. An empty chunk adds nothing: the
// first one is an empty input, a later one with nothing of the input left
// unconsumed an input that cannot go on.
class ChunkReaderPuller final : public BoundPuller {
public:
    explicit ChunkReaderPuller(nb::handle reader, std::vector<uint8_t> *record = nullptr)
        : reader_(reader), record_(record) {}
    StatusOr<bool> pull(InputBuffer &buf) override;

private:
    nb::handle reader_;  // kept alive by the owner
    std::vector<uint8_t> *record_;  // every chunk is appended here too (null: no copy)
    bool started_ = false;
};

// How a remote input is read (quillmarsh.core.remote.open_remote).
enum class RemoteUse {
    kStream,  // a decode: ranges doubling, the next one fetched while libjxl works
    kProbe,   // header facts, frame walks: ranges doubling, nothing fetched ahead
    kPrefix,  // a progressive prefix: ranges growing by an eighth, nothing ahead
};

// A remote input (a URL with a scheme, a file object fsspec opened, a
// RemoteInput) as the RemoteInput reading it, which the caller closes; an
// invalid object for anything else (a local path, bytes, a file object).
nb::object open_remote(nb::handle data, RemoteUse use);
// Sets how an open RemoteInput reads from now on.
void tune_remote(nb::handle remote, RemoteUse use);

// Where a probe or metadata pass reads: a bytes-like in place (its buffer
// held), a path or file-like in chunks, a span or a file descriptor.
class ProbeInput {
public:
    ProbeInput() = default;
    ProbeInput(const ProbeInput &) = delete;
    ProbeInput &operator=(const ProbeInput &) = delete;
    ~ProbeInput();  // closes a file it opened, keeping any error that is set

    // A probe function's `data`: a path is opened and read in chunks, a
    // file-like read in chunks from where it stands, a remote input in ranges
    // (see RemoteUse), anything else used in place through its buffer. None is
    // a TypeError.
    void open(nb::handle data, RemoteUse use = RemoteUse::kProbe);
    // A remote input (see open_remote) whose bytes are also kept in `record`
    // (which outlives this input); false, and nothing opened, for any other.
    bool open_remote_recorded(nb::handle data, RemoteUse use, std::vector<uint8_t> *record);
    // A span valid for the life of this input.
    void open_memory(const uint8_t *data, size_t size);
    void open_fd(int fd, int64_t offset);

    // `pass(ByteSource &)` run without the interpreter lock; its failure (or
    // the Python error behind it) raised with the lock held again.
    template <class Pass>
    auto run(Pass &&pass) {
        auto result = [&] {
            nb::gil_scoped_release unlocked;
            return pass(source_);
        }();
        if (!result.ok()) fail(result.status());
        return std::move(result.value());
    }

private:
    [[noreturn]] void fail(const Status &s);
    void pull_from(std::unique_ptr<BoundPuller> puller);

    ByteView view_;
    nb::object file_;
    bool own_file_ = false;
    std::unique_ptr<BoundPuller> puller_;
    ByteSource source_;
};

}  // namespace qmjxl
