// quillmarsh.codecs._jxl: module frame, error reporting, shared helpers,
// the two probes libjxl_version/check_signature, and registration.
#define QM_IMPORT_NUMPY
#include "bind_options.h"
#include "bind_meta.h"
#include "jxl_jpeg.h"
#include "jxlcore/runner.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>

using namespace nb::literals;

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

// Looks `key` up in the module-level table `table` (by name at each use, so
// the tables stay ordinary module dicts); "unknown N" when absent.
static std::string status_name(const char *table, long long key) {
    PyObject *dict = g.module_dict ? PyDict_GetItemString(g.module_dict, table) : nullptr;
    if (dict && PyDict_Check(dict)) {
        PyObject *k = PyLong_FromLongLong(key);
        if (!k) throw_current();
        PyObject *v = PyDict_GetItemWithError(dict, k);
        Py_DECREF(k);
        if (v && PyUnicode_Check(v)) {
            const char *s = PyUnicode_AsUTF8(v);
            if (!s) throw_current();
            return s;
        }
        if (PyErr_Occurred()) throw_current();
    }
    return "unknown " + std::to_string(key);
}

void raise_dec(const char *func, long long status) {
    std::string name = status_name("_DEC_STATUS_NAMES", status);
    raise_jxl(std::string(func ? func : "None") + " returned " + name);
}

void raise_enc(const char *func, long long status, long long err_code) {
    std::string msg = std::string(func ? func : "None") + " returned " +
                      status_name("_ENC_STATUS_NAMES", status);
    if (err_code >= 0) msg += " (" + status_name("_ENC_ERR_NAMES", err_code) + ")";
    raise_jxl(msg);
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

uint64_t resolve_limit(nb::handle value, const char *name) {
    if (value.is_none()) return 0;
    PyObject *idx = PyNumber_Index(value.ptr());
    if (!idx) throw_current();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
    Py_DECREF(idx);
    if (v == -1 && PyErr_Occurred()) throw_current();
    if (overflow > 0) return 0;  // beyond any image libjxl can describe
    if (overflow < 0 || v < 1)
        raise_py(PyExc_ValueError, std::string(name) + " must be a positive integer or None (got " +
                                       std::string(nb::repr(value).c_str()) + ")");
    return static_cast<uint64_t>(v);
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

// ---- option tables -----------------------------------------------------------

nb::object literal_value(const char *text) {
    const std::string t(text);
    if (t == "None") return nb::none();
    if (t == "True") return nb::bool_(true);
    if (t == "False") return nb::bool_(false);
    if (t.size() >= 2 && t.front() == '\'' && t.back() == '\'')
        return nb::str(t.substr(1, t.size() - 2).c_str());
    PyObject *v = PyLong_FromString(text, nullptr, 10);
    if (!v) throw_current();
    return nb::steal(v);
}

const char *render_signature(const char *name, bool method, const ParamText *params,
                             size_t count, size_t positional, const char *ret) {
    static std::deque<std::string> kept;  // nb::sig keeps the pointer
    std::string s = std::string("def ") + name + "(" + (method ? "self" : "");
    for (size_t i = 0; i < count; ++i) {
        if (method || i > 0) s += ", ";
        if (i == positional) s += "*, ";
        s += std::string(params[i].name) + ": " + params[i].annotation;
        if (*params[i].default_) s += std::string(" = ") + params[i].default_;
    }
    s += std::string(") -> ") + ret;
    return kept.emplace_back(std::move(s)).c_str();
}

}  // namespace qmjxl

using namespace qmjxl;


namespace {

// nanobind functions show their signature only as text: each public callable
// is replaced by a plain function with the same signature (return annotation
// included) and docstring that forwards to it (see _forward.py).
void expose_forwarder(nb::handle scope, const char *name, const std::string &qualname) {
    // Kept for the life of the process: a static nb::object would be released
    // after the interpreter has gone.
    static PyObject *make =
        nb::object(nb::module_::import_("quillmarsh.codecs._forward").attr("forwarder")).release().ptr();
    nb::setattr(scope, name, nb::handle(make)(scope.attr(name), qualname));
}

}  // namespace

static std::string libjxl_version() {
    const uint32_t v = JxlDecoderVersion();
    return std::to_string(v / 1000000) + "." + std::to_string((v / 1000) % 1000) + "." +
           std::to_string(v % 1000);
}

static bool check_signature(nb::handle data) {
    ByteView view;
    view.acquire(data.ptr());
    return signature_ok(view.data(), view.size());
}

static nb::dict make_table(std::initializer_list<std::pair<int, const char *>> items) {
    nb::dict d;
    for (auto &kv : items) d[nb::int_(kv.first)] = nb::str(kv.second);
    return d;
}

static std::string text_of(nb::handle func) {
    return func.is_none() ? std::string("None") : nb::cast<std::string>(nb::str(func));
}

// libjxl's status and error codes by number, for the error messages.
static void add_status_tables(nb::module_ &m) {
    m.attr("_DEC_STATUS_NAMES") = make_table({
        {0, "JXL_DEC_SUCCESS"},
        {1, "JXL_DEC_ERROR"},
        {2, "JXL_DEC_NEED_MORE_INPUT"},
        {3, "JXL_DEC_NEED_PREVIEW_OUT_BUFFER"},
        {5, "JXL_DEC_NEED_IMAGE_OUT_BUFFER"},
        {6, "JXL_DEC_JPEG_NEED_MORE_OUTPUT"},
        {64, "JXL_DEC_BASIC_INFO"},
        {256, "JXL_DEC_COLOR_ENCODING"},
        {512, "JXL_DEC_PREVIEW_IMAGE"},
        {1024, "JXL_DEC_FRAME"},
        {4096, "JXL_DEC_FULL_IMAGE"},
        {8192, "JXL_DEC_JPEG_RECONSTRUCTION"},
        {16384, "JXL_DEC_BOX"},
        {32768, "JXL_DEC_FRAME_PROGRESSION"},
        {65536, "JXL_DEC_BOX_COMPLETE"},
    });
    m.attr("_ENC_STATUS_NAMES") = make_table({
        {0, "JXL_ENC_SUCCESS"},
        {1, "JXL_ENC_ERROR"},
        {2, "JXL_ENC_NEED_MORE_OUTPUT"},
    });
    m.attr("_ENC_ERR_NAMES") = make_table({
        {0, "JXL_ENC_ERR_OK"},
        {1, "JXL_ENC_ERR_GENERIC"},
        {2, "JXL_ENC_ERR_OOM"},
        {3, "JXL_ENC_ERR_JBRD"},
        {4, "JXL_ENC_ERR_BAD_INPUT"},
        {128, "JXL_ENC_ERR_NOT_SUPPORTED"},
        {129, "JXL_ENC_ERR_API_USAGE"},
    });
}

// Arrow's C data interface (its ABI, as Arrow publishes it).
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

namespace {

// What the exported schema and array point into, freed by their release.
struct ArrowPixelsSchema {
    ArrowSchema child;  // uint8
    ArrowSchema *children[1];
};
struct ArrowPixels {
    const void *list_buffers[1];  // no validity bitmap
    const void *byte_buffers[2];  // no validity bitmap, the samples
    ArrowArray child;
    ArrowArray *children[1];
    PyObject *owner;
};

void release_child_schema(ArrowSchema *s) { s->release = nullptr; }
void release_child_array(ArrowArray *a) { a->release = nullptr; }

void release_arrow_schema(ArrowSchema *s) {
    delete static_cast<ArrowPixelsSchema *>(s->private_data);
    s->release = nullptr;
}

void release_arrow_array(ArrowArray *a) {
    auto *p = static_cast<ArrowPixels *>(a->private_data);
    {
        // Consumers may release from any thread.
        PyGILState_STATE st = PyGILState_Ensure();
        Py_XDECREF(p->owner);
        PyGILState_Release(st);
    }
    delete p;
    a->release = nullptr;
}

void arrow_schema_capsule_free(PyObject *cap) {
    auto *s = static_cast<ArrowSchema *>(PyCapsule_GetPointer(cap, "arrow_schema"));
    if (s && s->release) s->release(s);
    delete s;
}

void arrow_array_capsule_free(PyObject *cap) {
    auto *a = static_cast<ArrowArray *>(PyCapsule_GetPointer(cap, "arrow_array"));
    if (a && a->release) a->release(a);
    delete a;
}

// A C-contiguous (Y, X, 4) uint8 array as Arrow's Y * X fixed-size lists of
// four uint8: the four-byte pixels Pillow keeps RGB, RGBX and RGBA images in,
// so that Image.fromarrow shares the array's memory instead of unpacking it.
// The array stays alive until the consumer releases it.
nb::object arrow_pixels(nb::handle arr) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND) != 0)
        throw nb::python_error();
    const bool ok = view.ndim == 3 && view.shape[2] == 4 && view.itemsize == 1 &&
                    view.format && std::strcmp(view.format, "B") == 0;
    const int64_t length = ok ? static_cast<int64_t>(view.shape[0]) * view.shape[1] : 0;
    void *data = view.buf;
    PyBuffer_Release(&view);
    if (!ok)
        raise_py(PyExc_ValueError, "jxl: arrow pixels need a C-contiguous (Y, X, 4) uint8 array");

    auto *ps = new ArrowPixelsSchema{};
    ps->child = ArrowSchema{"C", "", nullptr, 0, 0, nullptr, nullptr, release_child_schema,
                            nullptr};
    ps->children[0] = &ps->child;
    auto *schema = new ArrowSchema{"+w:4", "", nullptr, 0, 1, ps->children, nullptr,
                                   release_arrow_schema, ps};
    nb::object schema_cap =
        nb::steal(PyCapsule_New(schema, "arrow_schema", arrow_schema_capsule_free));
    if (!schema_cap) {
        release_arrow_schema(schema);
        delete schema;
        throw nb::python_error();
    }
    auto *p = new ArrowPixels{};
    p->byte_buffers[1] = data;
    p->child = ArrowArray{length * 4, 0, 0, 2, 0, p->byte_buffers, nullptr, nullptr,
                          release_child_array, nullptr};
    p->children[0] = &p->child;
    p->owner = arr.ptr();
    Py_INCREF(p->owner);
    auto *array = new ArrowArray{length, 0, 0, 1, 1, p->list_buffers, p->children, nullptr,
                                 release_arrow_array, p};
    nb::object array_cap = nb::steal(PyCapsule_New(array, "arrow_array", arrow_array_capsule_free));
    if (!array_cap) {
        release_arrow_array(array);
        delete array;
        throw nb::python_error();
    }
    return nb::make_tuple(schema_cap, array_cap);
}

}  // namespace

NB_MODULE(_jxl, m) {
    // One interpreter per process, executed once: the module keeps process-wide
    // references (ModuleState) that a second execution would overwrite.
    static PyInterpreterState *first_interp = nullptr;
    static bool executed = false;
    PyInterpreterState *interp = PyInterpreterState_Get();
    if (first_interp && first_interp != interp)
        throw std::runtime_error(
            "Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.");
    if (executed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_jxl' has already been imported. Re-initialisation is not "
                        "supported.");
        throw nb::python_error();
    }
    first_interp = interp;

    m.doc() =
        "Streaming JPEG XL codec for quillmarsh.\n\n"
        "Reads and writes JPEG XL straight into and out of NumPy arrays through libjxl,\n"
        "with the interpreter lock released while libjxl works.\n\n"
        "JxlReader / decode      decode frames (whole, by index, streamed, downsampled)\n"
        "JxlWriter / encode      encode stills and animations\n"
        "frame_count             count frames without decoding pixels\n"
        "thumbnail_bytes         measure the progressive DC prefix\n"
        "check_signature         cheap signature test\n"
        "libjxl_version          version of the libjxl in use\n";

    m.attr("io") = nb::module_::import_("io");
    nb::module_ os = nb::module_::import_("os");
    m.attr("os") = os;
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;

    if (_import_array() < 0) {
        PyErr_Clear();
        throw std::runtime_error("numpy._core.multiarray failed to import");
    }

    add_status_tables(m);
    m.attr("_OPTIONS") = nb::dict();  // each class's option table, filled at registration

    nb::object jxl_error = nb::module_::import_("quillmarsh.core.errors").attr("JxlError");
    m.attr("JxlError") = jxl_error;

    g.module_dict = PyModule_GetDict(m.ptr());
    Py_INCREF(g.module_dict);
    g.jxl_error = jxl_error.inc_ref().ptr();
    g.np = np.inc_ref().ptr();
    g.os_pathlike = os.attr("PathLike").inc_ref().ptr();
    g.t_uint8 = np.attr("uint8").inc_ref().ptr();
    g.t_uint16 = np.attr("uint16").inc_ref().ptr();
    g.t_float16 = np.attr("float16").inc_ref().ptr();
    g.t_float32 = np.attr("float32").inc_ref().ptr();

    m.def("libjxl_version", &libjxl_version);
    m.def("check_signature", &check_signature, "data"_a.none(),
          nb::sig("def check_signature(data: object) -> bool"),
          "Return True if `data` looks like a JPEG XL stream.\n\n"
          "`data` is any one-dimensional contiguous byte buffer (bytes, bytearray,\n"
          "memoryview, uint8 array) or None. Only the first 16 bytes are examined.");

    // Internal: the error-reporting path, reachable for tests.
    m.def(
        "_raise_dec",
        [](nb::handle func, long long status) { raise_dec(text_of(func).c_str(), status); },
        "func"_a.none(), "status"_a);
    m.def(
        "_raise_enc",
        [](nb::handle func, long long status, long long err_code) {
            raise_enc(text_of(func).c_str(), status, err_code);
        },
        "func"_a.none(), "status"_a, "err_code"_a = -1);
    // Internal: (schema, array) capsules sharing a (Y, X, 4) uint8 array, for
    // the Pillow plugin's Image.fromarrow.
    m.def("_arrow_pixels", &arrow_pixels, "arr"_a);

    register_reader(m);
    register_writer(m);
    register_decode_funcs(m);
    register_probes(m);
    register_meta(m);
    register_jpeg(m);
#ifdef QM_TESTING_HOOKS
    register_testing(m);
#endif

    for (const char *name : {"libjxl_version", "check_signature", "decode", "encode", "frame_count",
                             "thumbnail_bytes", "frames_info", "transcode_jpeg", "reconstruct_jpeg"})
        if (nb::hasattr(m, name)) expose_forwarder(m, name, name);
    nb::object reader = m.attr("JxlReader"), writer = m.attr("JxlWriter");
    for (const char *name : {"iter_frames", "read", "read_into", "close", "_iter_frames_progressive"})
        expose_forwarder(reader, name, std::string("JxlReader.") + name);
    for (const char *name : {"write_frame", "write_jpeg", "close"})
        expose_forwarder(writer, name, std::string("JxlWriter.") + name);
    executed = true;
}
