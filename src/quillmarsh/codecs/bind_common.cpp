// The bindings' shared helpers (see bind_common.h): the translation of a
// core Status into its Python exception, byte views, sample types and frame
// shapes, and the Python-side argument helpers.
#include "bind_common.h"

#include "jxlcore/runner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qmjxl {

ModuleState g;

// ---- errors ----------------------------------------------------------------

void raise_py(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}

void raise_jxl(const std::string &msg) { raise_py(g.jxl_error, msg); }

// The OSError subclass Python raises for `err` (IsADirectoryError for EISDIR...).
static PyObject *os_error_type(int err) {
    switch (err) {
        case EISDIR: return PyExc_IsADirectoryError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case ENOENT: return PyExc_FileNotFoundError;
        default: return PyExc_OSError;
    }
}

void throw_status(const Status &s) {
    switch (s.kind()) {
        case StatusKind::kOk: break;
        case StatusKind::kDecoderCall: raise_dec(s.call(), s.status());
        case StatusKind::kEncoderCall: raise_enc(s.call(), s.status(), s.error());
        case StatusKind::kStream: raise_jxl(s.message());
        case StatusKind::kValue: raise_py(PyExc_ValueError, s.message());
        case StatusKind::kType: raise_py(PyExc_TypeError, s.message());
        case StatusKind::kUnsupported: raise_py(PyExc_NotImplementedError, s.message());
        case StatusKind::kNoMemory: raise_py(PyExc_MemoryError, s.message());
        case StatusKind::kState: raise_py(PyExc_RuntimeError, s.message());
        case StatusKind::kIndex: raise_py(PyExc_IndexError, s.message());
        case StatusKind::kOs: {
            if (s.message_is_text()) raise_py(os_error_type(static_cast<int>(s.status())), s.message());
            errno = static_cast<int>(s.status());
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, s.message().c_str());
            throw_current();
        }
    }
    raise_py(PyExc_SystemError, "jxl: a failure was reported as success");
}

// ---- byte views ----------------------------------------------------------

void ByteView::acquire(PyObject *obj) {
    release();
    if (obj == Py_None) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw_current();
    held_ = true;
    if (view_.ndim != 1) {
        int nd = view_.ndim;
        release();
        raise_py(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got " +
                                       std::to_string(nd) + ")");
    }
    const char *f = view_.format;
    bool byte_fmt = f == nullptr || std::strcmp(f, "B") == 0 || std::strcmp(f, "=B") == 0 ||
                    std::strcmp(f, "<B") == 0 || std::strcmp(f, ">B") == 0 ||
                    std::strcmp(f, "@B") == 0;
    if (!byte_fmt || view_.itemsize != 1) {
        std::string got = f ? f : "?";
        release();
        raise_py(PyExc_ValueError,
                 "Buffer dtype mismatch, expected 'const unsigned char' but got '" + got + "'");
    }
}

void ByteView::release() noexcept {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

// ---- sample types and frame shapes -------------------------------------

PyObject *basic_info_to_dtype(const JxlBasicInfo &info) {
    if (info.exponent_bits_per_sample != 0) {
        if (info.bits_per_sample == 32) return g.t_float32;
        if (info.bits_per_sample == 16) return g.t_float16;
        raise_py(PyExc_ValueError,
                 "jxl: unsupported float bits_per_sample=" + std::to_string(info.bits_per_sample));
    }
    if (info.bits_per_sample <= 8) return g.t_uint8;
    if (info.bits_per_sample <= 16) return g.t_uint16;
    return g.t_float32;
}

std::pair<nb::tuple, size_t> shape_from_basic_info(const JxlBasicInfo &info) {
    const uint32_t c = info.num_color_channels, e = info.num_extra_channels;
    const bool a = info.alpha_bits != 0;
    size_t samples = 0;
    if (c == 1 || c == 3) {
        if (e == 0)
            samples = c;
        else if (a && e == 1)
            samples = c + 1;
    }
    if (samples == 0) {
        raise_py(PyExc_NotImplementedError,
                 "jxl: unsupported channel layout (color=" + std::to_string(c) +
                     ", extra=" + std::to_string(e) + ", alpha=" + (a ? "True" : "False") +
                     "); v0.1 supports L, LA, RGB, RGBA only");
    }
    nb::tuple shape = samples == 1
                          ? nb::make_tuple(info.ysize, info.xsize)
                          : nb::make_tuple(info.ysize, info.xsize, samples);
    return {shape, samples};
}

int npy_type_of(JxlDataType t) {
    switch (t) {
        case JXL_TYPE_UINT8: return NPY_UINT8;
        case JXL_TYPE_UINT16: return NPY_UINT16;
        case JXL_TYPE_FLOAT16: return NPY_FLOAT16;
        default: return NPY_FLOAT32;
    }
}

// ---- decode-loop helpers -------------------------------------------------

nb::object empty_frame(const nb::tuple &shape, int npy_type) {
    npy_intp dims[3] = {0, 0, 0};
    const int nd = static_cast<int>(nb::len(shape));
    for (int i = 0; i < nd; ++i) dims[i] = nb::cast<npy_intp>(shape[i]);
    PyObject *arr = PyArray_EMPTY(nd, dims, npy_type, 0);
    if (!arr) throw_current();
    return nb::steal(arr);
}

size_t resolve_numthreads(nb::handle numthreads) {
    if (numthreads.is_none()) return default_worker_threads();
    nb::object zero = nb::int_(0);
    int le = PyObject_RichCompareBool(numthreads.ptr(), zero.ptr(), Py_LE);
    if (le < 0) throw_current();
    if (le) return default_worker_threads();
    PyObject *idx = PyNumber_Index(numthreads.ptr());
    if (!idx) throw_current();
    size_t n = PyLong_AsSize_t(idx);
    Py_DECREF(idx);
    if (n == static_cast<size_t>(-1) && PyErr_Occurred()) throw_current();
    return std::min(n, kMaxThreads);
}

// `value` made an int by `convert` (PyNumber_Index, PyNumber_Long), as a
// long long; `*overflow` as PyLong_AsLongLongAndOverflow sets it.
static long long as_long_long(nb::handle value, PyObject *(*convert)(PyObject *), int *overflow) {
    PyObject *v = convert(value.ptr());
    if (!v) throw_current();
    const long long x = PyLong_AsLongLongAndOverflow(v, overflow);
    Py_DECREF(v);
    if (x == -1 && PyErr_Occurred()) throw_current();
    return x;
}

uint64_t resolve_limit(nb::handle value, const char *name) {
    if (value.is_none()) return 0;
    int overflow = 0;
    const long long v = as_long_long(value, PyNumber_Index, &overflow);
    if (overflow > 0) return 0;  // beyond any image libjxl can describe
    if (overflow < 0 || v < 1)
        raise_py(PyExc_ValueError, std::string(name) + " must be a positive integer or None (got " +
                                       std::string(nb::repr(value).c_str()) + ")");
    return static_cast<uint64_t>(v);
}

int resolve_effort(nb::handle value, int if_none) {
    if (value.is_none()) return if_none;
    int overflow = 0;
    const long long x = as_long_long(value, PyNumber_Long, &overflow);
    if (overflow) return overflow > 0 ? 10 : 1;
    return static_cast<int>(std::min(std::max(x, 1LL), 10LL));
}

bool is_path(nb::handle obj) {
    if (PyUnicode_Check(obj.ptr())) return true;
    int r = PyObject_IsInstance(obj.ptr(), g.os_pathlike);
    if (r < 0) throw_current();
    return r == 1;
}

bool is_bytes_like(nb::handle obj) {
    PyObject *o = obj.ptr();
    return PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o);
}

nb::object read_path(nb::handle path) {
    nb::object f = nb::module_::import_("builtins").attr("open")(path, "rb");
    nb::object data;
    try {
        data = f.attr("read")();
    } catch (...) {
        try {
            f.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
    f.attr("close")();
    return data;
}

bool truthy(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw_current();
    return r == 1;
}

void refuse_pickle(nb::handle self) {
    raise_py(PyExc_TypeError, std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name +
                                  "' object");
}

}  // namespace qmjxl
