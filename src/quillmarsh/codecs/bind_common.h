// Shared vocabulary of the bindings: module globals, the translation of a
// core Status into its Python exception, byte views, sample types, frame
// shapes and the Python-side argument helpers.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "jxlcore/common.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// NumPy's C API table is imported once, in _jxl.cpp.
#define PY_ARRAY_UNIQUE_SYMBOL QUILLMARSH_JXL_ARRAY_API
#ifndef QM_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace nb = nanobind;

namespace qmjxl {

// Process-wide state filled once at import (one interpreter per process).
// All references are strong and live until the interpreter ends.
struct ModuleState {
    PyObject *module_dict = nullptr;  // the _jxl module's __dict__
    PyObject *jxl_error = nullptr;    // quillmarsh.core.errors.JxlError
    PyObject *np = nullptr;           // numpy
    PyObject *os_pathlike = nullptr;  // os.PathLike
    PyObject *t_uint8 = nullptr;      // numpy scalar types
    PyObject *t_uint16 = nullptr;
    PyObject *t_float16 = nullptr;
    PyObject *t_float32 = nullptr;
};
extern ModuleState g;

// ---- errors ----------------------------------------------------------------

// Raise `type` with `msg` and unwind to nanobind, which hands it to Python.
[[noreturn]] void raise_py(PyObject *type, const std::string &msg);
[[noreturn]] void raise_jxl(const std::string &msg);
// The one way a libjxl decoder / encoder status becomes JxlError.
[[noreturn]] void raise_dec(const char *func, long long status);
[[noreturn]] void raise_enc(const char *func, long long status, long long err_code = -1);
// The one translation of a failed core Status into its Python exception.
[[noreturn]] void throw_status(const Status &s);
inline void ok_or_throw(const Status &s) {
    if (!s.ok()) throw_status(s);
}
template <class T>
T value_or_throw(StatusOr<T> r) {
    if (!r.ok()) throw_status(r.status());
    return std::move(r.value());
}
// Re-raise the Python error that is currently set.
[[noreturn]] inline void throw_current() { throw nb::python_error(); }

// ---- byte views ----------------------------------------------------------

// A read-only, one-dimensional, C-contiguous view of unsigned bytes held for
// as long as this object lives: while it is held, a bytearray cannot be
// resized under the pointer. None gives an empty view.
class ByteView {
public:
    ByteView() = default;
    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;
    ~ByteView() { release(); }

    // Raises the buffer protocol's TypeError/BufferError, or ValueError for
    // a view of the wrong dimensionality or item type.
    void acquire(PyObject *obj);
    void release() noexcept;
    const uint8_t *data() const { return held_ ? static_cast<const uint8_t *>(view_.buf) : nullptr; }
    size_t size() const { return held_ ? static_cast<size_t>(view_.len) : 0; }
    bool held() const { return held_; }
    // The exporter the view holds a reference to (for GC traversal), or null.
    PyObject *owner() const { return held_ ? view_.obj : nullptr; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---- sample types and frame shapes -------------------------------------

// NumPy scalar type (a borrowed reference to numpy.uint8 etc.) for a stream.
// Raises ValueError for an unsupported float width.
PyObject *basic_info_to_dtype(const JxlBasicInfo &info);

// Frame shape tuple and samples per pixel. Raises NotImplementedError for a
// channel layout other than L, LA, RGB, RGBA.
std::pair<nb::tuple, size_t> shape_from_basic_info(const JxlBasicInfo &info);

int npy_type_of(JxlDataType t);

// ---- decode-loop helpers -------------------------------------------------

// A new uninitialised C-contiguous array for one frame.
nb::object empty_frame(const nb::tuple &shape, int npy_type);

// numthreads: None or <= 0 gives libjxl's default worker count.
size_t resolve_numthreads(nb::handle numthreads);
// None gives 0 (no limit); otherwise a positive integer (`name` in the error).
uint64_t resolve_limit(nb::handle value, const char *name);
inline uint64_t resolve_max_pixels(nb::handle max_pixels) {
    return resolve_limit(max_pixels, "max_pixels");
}
// An encoder effort: None gives `if_none`; otherwise int(value) (a float is
// truncated; its conversion errors propagate), below 1 taken as 1 and above
// 10 as 10.
int resolve_effort(nb::handle value, int if_none);

// Python-level helpers.
bool is_path(nb::handle obj);           // str or os.PathLike
bool is_bytes_like(nb::handle obj);     // bytes, bytearray, memoryview (or subclasses)
nb::object read_path(nb::handle path);  // open(path, "rb").read()

// Whole-input normalisation of the probes: a path is read, a file-like is
// read once, a bytes object is used as is and anything else goes through
// bytes() (so a mutable input is copied before the lock is released).
nb::bytes whole_input_bytes(nb::handle data);

// Refuses concurrent use of one reader or writer: set while a lock-free libjxl
// step runs, checked by every entry point with the object's lock held. That
// lock is the GIL, or on a free-threaded interpreter the object's critical
// section (nb::lock_self(), nb::ft_object_guard); either is let go wherever
// the thread may block (the release around libjxl, a call into Python), so
// the flag is checked and set with no such call between, and every stretch of
// code that reads or writes an object's fields holds that object's lock.
struct BusyGuard {
    explicit BusyGuard(bool &flag) : flag_(flag) { flag_ = true; }
    ~BusyGuard() { flag_ = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    bool &flag_;
};

// Cyclic garbage collection for a bound type whose Python references are
// the nb::object members T::gc_refs() points to: tp_traverse reports them,
// tp_clear drops them. Native handles are left to destruction.
template <typename T>
struct GcSlots {
    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        for (nb::object *o : nb::inst_ptr<T>(self)->gc_refs()) Py_VISIT(o->ptr());
        return 0;
    }
    static int clear(PyObject *self) {
        if (!nb::inst_ready(self)) return 0;
        for (nb::object *o : nb::inst_ptr<T>(self)->gc_refs()) o->reset();
        return 0;
    }
    static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(traverse)},
                                         {Py_tp_clear, reinterpret_cast<void *>(clear)},
                                         {0, nullptr}};
};

// Pickling refusal shared by the reader and the writer.
[[noreturn]] void refuse_pickle(nb::handle self);
// Truth value of any object, as bool(); its errors propagate.
bool truthy(nb::handle h);
// The handle, or None for a null one.
inline nb::object or_none(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

// Subsystem registration.
void register_reader(nb::module_ &m);
void register_writer(nb::module_ &m);
void register_decode_funcs(nb::module_ &m);
void register_probes(nb::module_ &m);
void register_jpeg(nb::module_ &m);
void register_arrow(nb::module_ &m);
void register_metrics(nb::module_ &m);

#ifdef QM_TESTING_HOOKS
// The submodule _testing (bind_testing.cpp), only in builds with the CMake
// option QM_TESTING_HOOKS; each subsystem adds its own hooks to it.
void register_testing(nb::module_ &m);
void add_writer_testing_hooks(nb::module_ &testing);  // chunked_mode
void add_metrics_testing_hooks(nb::module_ &testing);  // ssimulacra2_fused
#endif

}  // namespace qmjxl
