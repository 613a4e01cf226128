// Outcome of a core step: success, or what failed, made where it failed.
// The core never raises; the bindings turn a failed Status into the one
// Python exception its kind calls for (bind_common.h: throw_status).
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace qmjxl {

enum class StatusKind {
    kOk,
    kDecoderCall,  // a libjxl decoder call failed: `call` returned `status`
    kEncoderCall,  // a libjxl encoder call failed: `call`, `status`, `error` (JxlEncoderGetError)
    kStream,       // the stream itself is unusable (JxlError)
    kValue,        // a bad argument or an input refused (ValueError)
    kType,         // an argument of the wrong type (TypeError)
    kUnsupported,  // a layout or feature this codec does not handle (NotImplementedError)
    kNoMemory,     // a native allocation failed (MemoryError)
    kState,        // use of a closed or busy object (RuntimeError)
    kIndex,        // a frame index past the end (IndexError)
    kOs,           // reading or writing a file failed (OSError: `status` is errno, `message`
                   // the file, or the whole text when message_is_text())
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(StatusKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    static Status Ok() { return {}; }
    static Status DecoderCall(const char *call, long long status) {
        Status s(StatusKind::kDecoderCall, {});
        s.call_ = call;
        s.status_ = status;
        return s;
    }
    static Status EncoderCall(const char *call, long long status, long long error) {
        Status s(StatusKind::kEncoderCall, {});
        s.call_ = call;
        s.status_ = status;
        s.error_ = error;
        return s;
    }
    static Status Os(int err, std::string filename) {
        Status s(StatusKind::kOs, std::move(filename));
        s.status_ = err;
        return s;
    }

    // An OSError of errno `err` (its subclass) whose text is `message` alone.
    static Status OsText(int err, std::string message) {
        Status s(StatusKind::kOs, std::move(message));
        s.status_ = err;
        s.text_ = true;
        return s;
    }

    bool ok() const { return kind_ == StatusKind::kOk; }
    StatusKind kind() const { return kind_; }
    const std::string &message() const { return message_; }
    // The libjxl call and its status / error code (kDecoderCall, kEncoderCall;
    // `status` is errno for kOs).
    const char *call() const { return call_; }
    long long status() const { return status_; }
    long long error() const { return error_; }
    bool message_is_text() const { return text_; }

private:
    StatusKind kind_ = StatusKind::kOk;
    std::string message_;
    const char *call_ = nullptr;
    long long status_ = 0;
    long long error_ = -1;
    bool text_ = false;
};

inline Status StreamError(std::string m) { return {StatusKind::kStream, std::move(m)}; }
inline Status ValueError(std::string m) { return {StatusKind::kValue, std::move(m)}; }
inline Status TypeError(std::string m) { return {StatusKind::kType, std::move(m)}; }
inline Status Unsupported(std::string m) { return {StatusKind::kUnsupported, std::move(m)}; }
inline Status NoMemory(std::string m) { return {StatusKind::kNoMemory, std::move(m)}; }
inline Status StateError(std::string m) { return {StatusKind::kState, std::move(m)}; }

// A value, or the Status that explains why there is none.
template <class T>
class [[nodiscard]] StatusOr {
public:
    StatusOr(T value) : value_(std::move(value)) {}
    StatusOr(Status status) : status_(std::move(status)) {}

    // An OSError of errno `err` (its subclass) whose text is `message` alone.
    static Status OsText(int err, std::string message) {
        Status s(StatusKind::kOs, std::move(message));
        s.status_ = err;
        s.text_ = true;
        return s;
    }

    bool ok() const { return status_.ok(); }
    const Status &status() const { return status_; }
    T &value() { return *value_; }
    const T &value() const { return *value_; }
    T &operator*() { return *value_; }
    const T &operator*() const { return *value_; }

private:
    Status status_;
    std::optional<T> value_;
};

}  // namespace qmjxl

#define QM_CONCAT_INNER(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_INNER(a, b)

// Returns the Status of `expr` from the enclosing function when it failed.
#define QM_RETURN_IF_ERROR(expr)                                   \
    do {                                                           \
        ::qmjxl::Status qm_status_ = (expr);                       \
        if (!qm_status_.ok()) return qm_status_;                   \
    } while (0)

// `lhs = value of expr`, or returns its Status from the enclosing function.
#define QM_ASSIGN_OR_RETURN(lhs, expr) \
    QM_ASSIGN_OR_RETURN_IMPL(QM_CONCAT(qm_statusor_, __LINE__), lhs, expr)
#define QM_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
    auto tmp = (expr);                           \
    if (!tmp.ok()) return tmp.status();          \
    lhs = std::move(tmp.value())
