// Pullers feeding the core ByteSource from Python inputs, and ProbeInput.
#include "bind_input.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

using namespace nb::literals;

namespace qmjxl {

namespace {

// A probe reads a path or file-like in chunks of this size.
constexpr size_t kProbeChunk = size_t(4) << 20;

// Stands for a failure whose Python error BoundPuller keeps: never shown.
Status kept_failure() { return StreamError("jxl: reading the input failed"); }

}  // namespace

// ---- pullers ---------------------------------------------------------------

void BoundPuller::raise_failure(const Status &s) {
    if (error_) {
        nb::python_error e = std::move(*error_);
        error_.reset();
        throw e;
    }
    if (errno_ != 0) {
        errno = errno_;
        PyErr_SetFromErrno(PyExc_OSError);
        throw_current();
    }
    throw_status(s);
}

Status BoundPuller::keep(nb::python_error &e) {
    error_ = std::make_unique<nb::python_error>(std::move(e));
    return kept_failure();
}

Status BoundPuller::keep_errno(int err) {
    errno_ = err;
    return kept_failure();
}

StatusOr<bool> FdPuller::pull(InputBuffer &buf) {
    QM_ASSIGN_OR_RETURN(uint8_t *dst, buf.room(chunk_));
    ssize_t got;
    do {
        got = ::pread(fd_, dst, chunk_, static_cast<off_t>(pos_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return keep_errno(errno);
    if (got == 0) return false;
    buf.commit(static_cast<size_t>(got));
    pos_ += got;
    return true;
}

StatusOr<bool> FilePuller::pull(InputBuffer &buf) {
    nb::gil_scoped_acquire locked;
    try {
        nb::object chunk = file_.attr("read")(chunk_);
        if (!PyBytes_Check(chunk.ptr()))
            return TypeError(std::string("jxl: read() returned ") + Py_TYPE(chunk.ptr())->tp_name +
                             ", expected bytes");
        const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
        if (n == 0) return false;
        QM_RETURN_IF_ERROR(
            buf.append(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(chunk.ptr())), n));
        return true;
    } catch (nb::python_error &e) {
        return keep(e);
    }
}

StatusOr<bool> ChunkReaderPuller::pull(InputBuffer &buf) {
    nb::gil_scoped_acquire locked;
    const bool first = !started_;
    started_ = true;
    try {
        nb::object chunk = reader_.attr("get")();
        if (chunk.is_none()) return false;
        if (!PyBytes_CheckExact(chunk.ptr()))
            return TypeError(
                "Expected bytes, got " +
                std::string(nb::str(nb::handle(Py_TYPE(chunk.ptr())).attr("__name__")).c_str()));
        const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
        if (n == 0) {
            if (first) return ValueError("jxl: empty input");
            if (buf.size() == 0) return StreamError("jxl: empty refill (truncated?)");
            return true;  // the unconsumed rest goes back as it is
        }
        const auto *p = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(chunk.ptr()));
        QM_RETURN_IF_ERROR(buf.append(p, n));
        if (record_) record_->insert(record_->end(), p, p + n);
        return true;
    } catch (nb::python_error &e) {
        return keep(e);
    }
}

// ---- remote inputs ---------------------------------------------------------

namespace {

// "scheme://..." with a scheme of two characters or more ("C://x" is a
// Windows path).
bool has_url_scheme(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw_current();
    if (n < 5 || !std::isalpha(static_cast<unsigned char>(p[0]))) return false;
    for (Py_ssize_t i = 1; i + 2 < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == ':') return i >= 2 && p[i + 1] == '/' && p[i + 2] == '/';
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

// A file object fsspec opened, or a RemoteInput: told by its type's module.
bool is_remote_object(nb::handle data) {
    PyObject *mod = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(data.ptr())),
                                           "__module__");
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    nb::object m = nb::steal(mod);
    if (!PyUnicode_Check(m.ptr())) return false;
    const char *name = PyUnicode_AsUTF8(m.ptr());
    if (!name) throw_current();
    if (std::strcmp(name, "quillmarsh.core.remote") == 0) return true;
    return std::strncmp(name, "fsspec.", 7) == 0 && nb::hasattr(data, "read");
}

const char *use_name(RemoteUse use) {
    switch (use) {
        case RemoteUse::kStream: return "stream";
        case RemoteUse::kProbe: return "probe";
        case RemoteUse::kPrefix: return "prefix";
    }
    return "stream";
}

}  // namespace

nb::object open_remote(nb::handle data, RemoteUse use) {
    if (PyUnicode_Check(data.ptr())) {
        if (!has_url_scheme(data)) return nb::object();
    } else if (is_bytes_like(data) || data.is_none() || is_path(data) || !is_remote_object(data)) {
        return nb::object();
    }
    return nb::module_::import_("quillmarsh.core.remote")
        .attr("open_remote")(data, "use"_a = use_name(use));
}

void tune_remote(nb::handle remote, RemoteUse use) {
    remote.attr("tune")(use_name(use));
}

// ---- whole inputs ----------------------------------------------------------

nb::bytes whole_input_bytes(nb::handle data) {
    nb::object d = nb::borrow(data);
    if (is_path(d)) {
        d = read_path(d);
    } else if (!is_bytes_like(d) && nb::hasattr(d, "read")) {
        d = d.attr("read")();
    }
    if (PyBytes_Check(d.ptr())) return nb::borrow<nb::bytes>(d);
    // An integer would make bytes() allocate that many zero bytes.
    if (PyLong_Check(d.ptr()))
        raise_py(PyExc_TypeError,
                 std::string("jxl: data must be bytes-like, a path or a binary file-like; got ") +
                     Py_TYPE(d.ptr())->tp_name);
    PyObject *b = PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), d.ptr());
    if (!b) throw_current();
    return nb::steal<nb::bytes>(b);
}

// ---- ProbeInput ------------------------------------------------------------

ProbeInput::~ProbeInput() {
    if (!own_file_ || !file_.is_valid()) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject *r = PyObject_CallMethod(file_.ptr(), "close", nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

void ProbeInput::pull_from(std::unique_ptr<BoundPuller> puller) {
    puller_ = std::move(puller);
    source_ = value_or_throw(ByteSource::pulled(puller_.get()));
}

bool ProbeInput::open_remote_recorded(nb::handle data, RemoteUse use,
                                      std::vector<uint8_t> *record) {
    nb::object remote = open_remote(data, use);
    if (!remote.is_valid()) return false;
    file_ = remote;
    own_file_ = true;
    pull_from(std::make_unique<ChunkReaderPuller>(file_, record));
    return true;
}

void ProbeInput::open(nb::handle data, RemoteUse use) {
    if (open_remote_recorded(data, use, nullptr)) return;
    if (is_path(data)) {
        file_ = nb::module_::import_("builtins").attr("open")(data, "rb");
        own_file_ = true;
    } else if (!is_bytes_like(data) && nb::hasattr(data, "read")) {
        file_ = nb::borrow(data);
    } else if (data.is_none()) {
        raise_py(PyExc_TypeError,
                 "jxl: data must be bytes-like, a path or a binary file-like; got NoneType");
    } else {
        view_.acquire(data.ptr());
        open_memory(view_.data(), view_.size());
        return;
    }
    pull_from(std::make_unique<FilePuller>(file_, kProbeChunk));
}

void ProbeInput::open_memory(const uint8_t *data, size_t size) {
    source_ = ByteSource::memory(data, size);
}

void ProbeInput::open_fd(int fd, int64_t offset) {
    pull_from(std::make_unique<FdPuller>(fd, offset, kProbeChunk));
}

void ProbeInput::fail(const Status &s) {
    if (puller_) puller_->raise_failure(s);
    throw_status(s);
}

}  // namespace qmjxl
