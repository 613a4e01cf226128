// Shared vocabulary of the JPEG XL codec: module globals, error reporting,
// byte views, sample types, frame shapes, result codes and the output-buffer
// handshake used by every decode loop.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>

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

// Result codes of the lock-free decoder steps.
constexpr int RC_FRAME = 0;
constexpr int RC_EOF = 1;
constexpr int RC_NEED_INPUT = 2;
constexpr int RC_FRAME_HEADER = 3;  // a frame's header is known, its pixels not yet
constexpr int RC_RESAMPLE = 4;      // a progression point of another ratio than the sink's
constexpr int RC_NEED_FLUSH = 5;    // no rendering to flush at this point
constexpr int RC_ERR_PROCESS = -1;
constexpr int RC_ERR_NEED_INPUT_FATAL = -2;
constexpr int RC_ERR_BUF_SIZE_QUERY = -3;
constexpr int RC_ERR_BUF_SIZE_MISMATCH = -4;
constexpr int RC_ERR_SET_BUFFER = -5;
constexpr int RC_ERR_SET_BIT_DEPTH = -6;
constexpr int RC_ERR_DOUBLE_ALLOC = -7;

// Result codes of the lock-free encoder step.
constexpr int ENC_OK = 0;
constexpr int ENC_ERR_ADD_FRAME = -1;
constexpr int ENC_ERR_PROCESS = -2;
constexpr int ENC_ERR_REALLOC = -3;

// Size above which a path or file-like is streamed when streaming=True.
constexpr Py_ssize_t kStreamThreshold = 4194304;

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

// True for JXL_SIG_CODESTREAM and JXL_SIG_CONTAINER, looking at <= 16 bytes.
bool signature_ok(const uint8_t *data, size_t size);

// ---- sample types and frame shapes -------------------------------------

// NumPy scalar type (a borrowed reference to numpy.uint8 etc.) for a stream.
// Raises ValueError for an unsupported float width.
PyObject *basic_info_to_dtype(const JxlBasicInfo &info);

// Frame shape tuple and samples per pixel. Raises NotImplementedError for a
// channel layout other than L, LA, RGB, RGBA.
std::pair<nb::tuple, size_t> shape_from_basic_info(const JxlBasicInfo &info);

// Decoder output format for `info` with `samples` per pixel; returns the byte
// size of one full frame (ValueError when it overflows 64 bits).
uint64_t configure_pixel_format(const JxlBasicInfo &info, size_t samples,
                                JxlPixelFormat *pf, JxlBitDepth *bd);

// a * b, or ValueError `what` when the product overflows 64 bits.
uint64_t checked_mul(uint64_t a, uint64_t b, const char *what);
// Byte size of a (ysize, xsize) frame of `pf` (checked).
uint64_t frame_bytes(uint64_t xsize, uint64_t ysize, const JxlPixelFormat &pf);

int npy_type_of(JxlDataType t);
size_t bytes_per_sample(JxlDataType t);

// ---- decode-loop helpers -------------------------------------------------

// The output-buffer handshake of every decode loop, on
// JXL_DEC_NEED_IMAGE_OUT_BUFFER: refuses a second buffer for the same frame,
// insists on libjxl's size matching `buf_size`, registers the buffer and,
// for integer output, the codestream bit depth. Returns 0 or a negative RC.
// Runs without the interpreter lock.
int set_image_out_buffer(JxlDecoder *dec, const JxlPixelFormat *pf, const JxlBitDepth *bd,
                         void *buf, size_t buf_size, int *buffer_set);

// A new uninitialised C-contiguous array for one frame.
nb::object empty_frame(const nb::tuple &shape, int npy_type);

// numthreads: None or <= 0 gives libjxl's default worker count.
size_t resolve_numthreads(nb::handle numthreads);
// The workers worth starting for an image of xsize x ysize when the caller
// left numthreads at None: an image of one 256x256 group has nothing to
// share out, and starting the threads would cost more than the decode.
inline size_t threads_for_size(uint64_t xsize, uint64_t ysize, size_t n) {
    return xsize <= 256 && ysize <= 256 ? 1 : n;
}

// Decompression-bomb guard of the decoding entry points: an image whose
// header claims more pixels than this is refused before any pixel buffer
// exists (libjxl's own working set for such an image runs to gigabytes).
constexpr uint64_t kDefaultMaxPixels = uint64_t(1) << 30;
// Byte budget of the decoders' output: 8 GiB unless the caller says otherwise.
constexpr uint64_t kDefaultMaxBytes = uint64_t(8) << 30;
// None gives 0 (no limit); otherwise a positive integer (`name` in the error).
uint64_t resolve_limit(nb::handle value, const char *name);
inline uint64_t resolve_max_pixels(nb::handle max_pixels) {
    return resolve_limit(max_pixels, "max_pixels");
}
// Raises ValueError when `nbytes` of output (for `what`) exceed `limit` (0: no limit).
void check_max_bytes(uint64_t nbytes, uint64_t limit, const std::string &what);
// Raises ValueError when `info` claims more than `limit` pixels (0: no limit).
void check_max_pixels(const JxlBasicInfo &info, uint64_t limit);

// After libjxl refused an in-memory stream whose input was closed: true when
// the same bytes, left open, only run out (a cut stream) instead of failing.
// Runs a pass of its own over `data` with `events` subscribed (pixels, if
// any, are dropped), so it is for error paths only.
bool input_is_cut(const uint8_t *data, size_t size, int events, bool coalesce);

// Python-level helpers.
bool is_path(nb::handle obj);           // str or os.PathLike
bool is_bytes_like(nb::handle obj);     // bytes, bytearray, memoryview (or subclasses)
nb::object read_path(nb::handle path);  // open(path, "rb").read()

// Whole-input normalisation of the probes: a path is read, a file-like is
// read once, a bytes object is used as is and anything else goes through
// bytes() (so a mutable input is copied before the lock is released).
nb::bytes whole_input_bytes(nb::handle data);

// Refuses concurrent use of one reader or writer: set while a lock-free libjxl
// step runs, checked (with the lock held) by every entry point.
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

}  // namespace qmjxl
