// ByteSink: the encoders' output, in memory or through a temporary file.
#include "jxlcore/byte_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qmjxl {

namespace {

constexpr size_t kMinCapacity = 32768;
constexpr size_t kGrowStep = size_t(32) << 20;

std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The permissions a new file gets under the process's umask.
mode_t new_file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

int write_all(int fd, const uint8_t *p, size_t n, uint64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(at));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        at += static_cast<uint64_t>(w);
        n -= static_cast<size_t>(w);
    }
    return 0;
}

}  // namespace

ByteSink::~ByteSink() {
    discard();
    free_memory();
}

Status ByteSink::open_file(const std::string &target, const std::string &shown) {
    struct stat st;
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return Status::OsText(EISDIR, "jxl: destination is a directory: " + shown);
    if (exists && ::access(target.c_str(), W_OK) != 0)
        return Status::OsText(EACCES, "jxl: destination is not writable: " + shown);
    // Hidden, beside the target (a rename never crosses file systems).
    std::string name = folder_of(target) + "/.XXXXXX.part";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    const int fd = ::mkstemps(buf.data(), 5);
    if (fd < 0) return Status::Os(errno, name);
    temp_.assign(buf.data());
    target_ = target;
    fd_ = fd;
    file_end_ = 0;
    // mkstemp makes the file 0600; the result should look like any file the
    // caller writes there (an existing target keeps its permissions).
    (void)::fchmod(fd_, exists ? (st.st_mode & 07777) : new_file_mode());
    return Status::Ok();
}

Status ByteSink::reserve(size_t capacity) {
    if (capacity <= capacity_) return Status::Ok();
    void *p = std::realloc(data_, capacity);
    if (!p) return NoMemory("jxl: failed to allocate output buffer");
    data_ = static_cast<uint8_t *>(p);
    capacity_ = capacity;
    return Status::Ok();
}

bool ByteSink::grow(size_t needed) noexcept {
    size_t cap = capacity_ ? std::min(capacity_ * 2, capacity_ + kGrowStep) : kMinCapacity;
    cap = std::max(cap, needed);
    void *p = std::realloc(data_, cap);
    if (!p) return false;
    data_ = static_cast<uint8_t *>(p);
    capacity_ = cap;
    return true;
}

void ByteSink::free_memory() noexcept {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    size_ = 0;
}

int ByteSink::write_at(uint64_t position, const uint8_t *p, size_t n) noexcept {
    if (fd_ < 0) return EBADF;
    const int err = write_all(fd_, p, n, position);
    if (!err) file_end_ = std::max<uint64_t>(file_end_, position + n);
    return err;
}

Status ByteSink::commit() {
    if (fd_ < 0) return Status::Ok();
    int err = write_all(fd_, data_, size_, file_end_);
    if (!err && ::fsync(fd_) != 0) err = errno;
    if (!err) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) err = errno;
    }
    if (!err && std::rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
    if (err) {
        discard();
        return Status::Os(err, target_);
    }
    temp_.clear();
    size_ = 0;
    return Status::Ok();
}

void ByteSink::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace qmjxl
