// JxlWriter and encode: option handling, first-frame configuration, frame
// writing with the interpreter lock released, and delivery of the stream.
#include "jxl_writer.h"

#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

using namespace nb::literals;

namespace qmjxl {

namespace {

constexpr size_t kGrowStep = 33554432;     // growth is capped at 32 MiB per step
constexpr size_t kMinOutbuf = 32768;       // smallest initial output buffer
constexpr size_t kOutbufGranule = 65536;   // initial sizes are multiples of this

const char *const kInUse = "jxl: JxlWriter is in use by another thread";

// ---- small conversions with Python's semantics ---------------------------

bool truth(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw_current();
    return r == 1;
}

// int(value): floats truncate, strings parse, anything else TypeError.
nb::object to_int(nb::handle h) {
    PyObject *r = PyNumber_Long(h.ptr());
    if (!r) throw_current();
    return nb::steal(r);
}

// An int object clamped into [lo, hi] without overflowing a C type.
long long clamp_int(nb::handle value, long long lo, long long hi) {
    nb::object v = to_int(value);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw_current();
    if (overflow > 0) return hi;
    if (overflow < 0) return lo;
    return std::min(std::max(x, lo), hi);
}

float to_float32(nb::handle h) {
    double d = PyFloat_AsDouble(h.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw_current();
    return static_cast<float>(d);
}

// None gives 0.0 (not given); otherwise a float32 that must be >= 0.
float nonneg_float_option(nb::handle h, const char *msg) {
    if (h.is_none()) return 0.0f;
    float v = to_float32(h);
    if (v < 0.0f) raise_py(PyExc_ValueError, msg);
    return v;
}

// getattr(obj, name) that raises the AttributeError unchanged.
nb::object get_attr(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (!r) throw_current();
    return nb::steal(r);
}

// getattr(obj, name, None) that lets errors other than AttributeError through;
// a null object when the attribute is missing.
nb::object get_attr_optional(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(r);
}

// `from quillmarsh.core.color import <name>`.
nb::object import_color_name(const char *name) {
    nb::module_ mod = nb::module_::import_("quillmarsh.core.color");
    nb::object v = get_attr_optional(mod, name);
    if (!v.is_valid())
        raise_py(PyExc_ImportError, std::string("cannot import name '") + name +
                                        "' from 'quillmarsh.core.color'");
    return v;
}

// A colour-description attribute as a libjxl enum value: a non-negative
// integer of at most 32 bits, else OverflowError.
uint32_t enum_attr(nb::handle spec, const char *name) {
    nb::object v = get_attr(spec, name);
    PyObject *idx = PyNumber_Index(v.ptr());
    if (!idx) throw_current();
    unsigned long long x = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_current();
    if (x > std::numeric_limits<uint32_t>::max())
        raise_py(PyExc_OverflowError,
                 std::string("value too large to convert to unsigned int (") + name + ")");
    return static_cast<uint32_t>(x);
}

std::string repr_of(nb::handle h) {
    PyObject *r = PyObject_Repr(h.ptr());
    if (!r) throw_current();
    nb::object ro = nb::steal(r);
    const char *s = PyUnicode_AsUTF8(ro.ptr());
    if (!s) throw_current();
    return s;
}

std::string str_of(nb::handle h) {
    PyObject *r = PyObject_Str(h.ptr());
    if (!r) throw_current();
    nb::object ro = nb::steal(r);
    const char *s = PyUnicode_AsUTF8(ro.ptr());
    if (!s) throw_current();
    return s;
}

// Doubling up to 32 MiB, then 32 MiB per step. A buffer that was never
// allocated (a writer closed before any frame) starts at the minimum.
size_t grown_capacity(size_t cap) {
    if (cap == 0) return kMinOutbuf;
    return std::min(cap * 2, cap + kGrowStep);
}

// Offers libjxl the free room of the buffer until it reports success,
// growing the buffer when it asks for more.
int drain_nogil(EncStep &s) {
    for (;;) {
        uint8_t *next = s.outbuf + s.used;
        size_t avail = s.capacity - s.used;
        JxlEncoderStatus st = JxlEncoderProcessOutput(s.encoder, &next, &avail);
        s.used = s.capacity - avail;
        if (st == JXL_ENC_NEED_MORE_OUTPUT) {
            size_t cap = grown_capacity(s.capacity);
            void *p = std::realloc(s.outbuf, cap);
            // On failure the old buffer and the bytes already in it stay valid.
            if (!p) return ENC_ERR_REALLOC;
            s.outbuf = static_cast<uint8_t *>(p);
            s.capacity = cap;
            continue;
        }
        if (st == JXL_ENC_SUCCESS) return ENC_OK;
        s.status = static_cast<int>(st);
        return ENC_ERR_PROCESS;
    }
}

}  // namespace

int _add_frame_and_drain_nogil(EncStep &s) noexcept {
    if (s.drain_before) {
        int rc = drain_nogil(s);
        if (rc != ENC_OK) return rc;
    }
    if (s.add) {
        JxlEncoderStatus st =
            JxlEncoderAddImageFrame(s.frame_settings, &s.pixel_format, s.pixels, s.nbytes);
        if (st != JXL_ENC_SUCCESS) {
            s.status = static_cast<int>(st);
            return ENC_ERR_ADD_FRAME;
        }
    }
    if (s.close_input) JxlEncoderCloseInput(s.encoder);
    if (s.drain_after) return drain_nogil(s);
    return ENC_OK;
}

void _dtype_to_jxl(nb::handle dtype, JxlDataType *out, uint32_t *bps, uint32_t *exp_bps) {
    nb::object dt = nb::borrow(g.np).attr("dtype")(dtype);
    struct Row {
        PyObject *type;
        JxlDataType jxl;
        uint32_t bps, exp;
    };
    const Row rows[] = {
        {g.t_uint8, JXL_TYPE_UINT8, 8, 0},
        {g.t_uint16, JXL_TYPE_UINT16, 16, 0},
        {g.t_float32, JXL_TYPE_FLOAT, 32, 8},
        {g.t_float16, JXL_TYPE_FLOAT16, 16, 5},
    };
    for (const Row &r : rows) {
        int eq = PyObject_RichCompareBool(dt.ptr(), r.type, Py_EQ);
        if (eq < 0) throw_current();
        if (eq) {
            *out = r.jxl;
            *bps = r.bps;
            *exp_bps = r.exp;
            return;
        }
    }
    raise_py(PyExc_ValueError, "jxl: unsupported dtype " + repr_of(dt) +
                                   " (want uint8, uint16, float16, or float32)");
}

// ---- construction ----------------------------------------------------------

void JxlWriter::init(nb::handle dest, nb::handle color, nb::handle lossless, nb::handle quality,
                     nb::handle distance, nb::handle effort, nb::handle decoding_speed,
                     nb::handle numthreads, nb::handle animation, nb::handle container,
                     nb::handle intensity_target, nb::handle icc_profile, nb::handle progressive,
                     nb::handle min_nits, nb::handle relative_to_max_display,
                     nb::handle linear_below, nb::handle color_transform, nb::handle modular) {
    nb::object parse_color = import_color_name("parse_color");
    import_color_name("ColorSpec");
    import_color_name("JXL_TF_GAMMA");

    // Destination.
    if (dest.is_none()) {
        _dest_obj = nb::none();
        _is_buffer = 1;
    } else if (is_path(dest)) {
        _dest_obj = nb::module_::import_("builtins").attr("open")(dest, "wb");
        _own_dest = 1;
    } else if (get_attr_optional(dest, "write").is_valid()) {
        _dest_obj = nb::borrow(dest);
    } else {
        raise_py(PyExc_TypeError, "dest must be path, file-like, or None; got " +
                                      str_of(reinterpret_cast<PyObject *>(Py_TYPE(dest.ptr()))));
    }

    _color_spec = parse_color(color);

    // Quality, distance and the lossless decision.
    if (!quality.is_none() && !distance.is_none())
        raise_py(PyExc_ValueError, "jxl: pass quality or distance, not both");
    nb::object lossless_obj = nb::borrow(lossless);
    if (!quality.is_none()) {
        PyObject *qf = PyNumber_Float(quality.ptr());
        if (!qf) throw_current();
        nb::object q = nb::steal(qf);
        _distance = JxlEncoderDistanceFromQuality(static_cast<float>(PyFloat_AS_DOUBLE(q.ptr())));
        if (lossless_obj.is_none()) {
            PyObject *gt = PyObject_RichCompare(quality.ptr(), nb::int_(100).ptr(), Py_GT);
            if (!gt) throw_current();
            lossless_obj = nb::steal(gt);
        }
    } else if (!distance.is_none()) {
        _distance = to_float32(distance);
        if (lossless_obj.is_none()) lossless_obj = nb::bool_(_distance == 0.0f);
    } else {
        _distance = 0.0f;
        if (lossless_obj.is_none()) lossless_obj = nb::bool_(true);
    }
    _lossless = truth(lossless_obj) ? 1 : 0;
    if (_lossless) _distance = 0.0f;

    _effort = effort.is_none() ? 5 : static_cast<int>(clamp_int(effort, 1, 10));
    _decoding_speed = truth(decoding_speed) ? static_cast<int>(clamp_int(decoding_speed, 0, 4)) : 0;
    _progressive = truth(progressive);
    _num_threads = resolve_numthreads(numthreads);
    _animation = truth(animation);
    _container = truth(container);
    _intensity_target = nonneg_float_option(intensity_target, "intensity_target must be >= 0");
    _min_nits = nonneg_float_option(min_nits, "min_nits must be >= 0");
    _relative_to_max_display =
        relative_to_max_display.is_none() ? -1 : (truth(relative_to_max_display) ? 1 : 0);
    _linear_below = nonneg_float_option(linear_below, "linear_below must be >= 0");
    // Relative to the display's peak, linear_below is a fraction. libjxl
    // refuses more than 1 only deep in encoding, and builds without NDEBUG
    // (Debian's packages) abort the process there instead.
    if (_relative_to_max_display == 1 && _linear_below > 1.0f)
        raise_py(PyExc_ValueError,
                 "linear_below must be <= 1 when relative_to_max_display is true");

    // Colour transform, as libjxl's COLOR_TRANSFORM values.
    if (color_transform.is_none()) {
        _color_transform = -1;
    } else if (PyUnicode_Check(color_transform.ptr())) {
        nb::object low = color_transform.attr("lower")();
        auto is = [&](const char *s) {
            int eq = PyObject_RichCompareBool(low.ptr(), nb::str(s).ptr(), Py_EQ);
            if (eq < 0) throw_current();
            return eq == 1;
        };
        if (is("xyb"))
            _color_transform = 0;
        else if (is("none") || is("rgb"))
            _color_transform = 1;
        else if (is("ycbcr"))
            _color_transform = 2;
        else
            raise_py(PyExc_ValueError,
                     "color_transform must be 'xyb', 'none'/'rgb', 'ycbcr', or int 0/1/2; got " +
                         repr_of(color_transform));
    } else {
        long long ct = clamp_int(color_transform, -1, 3);
        if (ct < 0 || ct > 2)
            raise_py(PyExc_ValueError, "color_transform int must be 0, 1, or 2");
        _color_transform = static_cast<int>(ct);
    }

    _modular = modular.is_none() ? -1 : (truth(modular) ? 1 : 0);

    // ICC profile: an owned copy; its content is libjxl's to judge.
    if (icc_profile.is_none()) {
        _icc_profile = nb::none();
    } else if (is_bytes_like(icc_profile)) {
        PyObject *b = PyBytes_FromObject(icc_profile.ptr());
        if (!b) throw_current();
        nb::object copy = nb::steal(b);
        Py_ssize_t n = PyBytes_GET_SIZE(b);
        if (n < 128)
            raise_py(PyExc_ValueError, "icc_profile too short (" + std::to_string(n) +
                                           " bytes); a valid ICC profile is at least 128 bytes");
        _icc_profile = copy;
    } else {
        nb::handle tp(reinterpret_cast<PyObject *>(Py_TYPE(icc_profile.ptr())));
        raise_py(PyExc_TypeError,
                 "icc_profile must be bytes-like; got " + str_of(tp.attr("__name__")));
    }

    // Native objects.
    _outbuf = nullptr;
    _outbuf_capacity = 0;
    _outbuf_used = 0;
    _encoder = JxlEncoderCreate(nullptr);
    if (!_encoder) raise_jxl("JxlEncoderCreate returned NULL");
    if (_num_threads > 1) {
        _runner = JxlThreadParallelRunnerCreate(nullptr, _num_threads);
        if (!_runner) raise_jxl("JxlThreadParallelRunnerCreate returned NULL");
        JxlEncoderStatus st = JxlEncoderSetParallelRunner(_encoder, JxlThreadParallelRunner, _runner);
        if (st != JXL_ENC_SUCCESS)
            raise_enc("JxlEncoderSetParallelRunner", st, JxlEncoderGetError(_encoder));
    }
}

void JxlWriter::abort_init() noexcept {
    _destroy_native();
    // The file stays created (and empty); close it now rather than leave it
    // to the file object's finaliser.
    if (_own_dest && _dest_obj.is_valid()) {
        PyObject *exc_type, *exc_value, *exc_tb;
        PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
        PyObject *r = PyObject_CallMethod(_dest_obj.ptr(), "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_Restore(exc_type, exc_value, exc_tb);
    }
}

void JxlWriter::_destroy_native() noexcept {
    if (_encoder) {
        JxlEncoderDestroy(_encoder);
        _encoder = nullptr;
        _frame_settings = nullptr;
    }
    if (_runner) {
        JxlThreadParallelRunnerDestroy(_runner);
        _runner = nullptr;
    }
    if (_outbuf) {
        std::free(_outbuf);
        _outbuf = nullptr;
    }
    _outbuf_capacity = 0;
    _outbuf_used = 0;
}

// ---- first frame -----------------------------------------------------------

void JxlWriter::_configure_from_first_frame(nb::handle arr_h) {
    nb::object tf_gamma = import_color_name("JXL_TF_GAMMA");
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arr_h.ptr());

    const int nd = PyArray_NDIM(arr);
    const npy_intp *dims = PyArray_DIMS(arr);
    npy_intp ysize = 0, xsize = 0, samples = 1;
    if (nd == 2) {
        ysize = dims[0];
        xsize = dims[1];
    } else if (nd == 3) {
        ysize = dims[0];
        xsize = dims[1];
        samples = dims[2];
        if (samples < 1 || samples > 4)
            raise_py(PyExc_ValueError, "jxl: last dim must be 1/2/3/4 channels (got " +
                                           std::to_string(samples) + ")");
    } else {
        raise_py(PyExc_ValueError,
                 "jxl: ndim=" + std::to_string(nd) + "; expected 2 (Y,X) or 3 (Y,X,C)");
    }

    JxlDataType dtype;
    uint32_t bps = 0, exp_bps = 0;
    _dtype_to_jxl(reinterpret_cast<PyObject *>(PyArray_DESCR(arr)), &dtype, &bps, &exp_bps);

    // JxlBasicInfo holds 32-bit sizes; a wider array would be silently cut.
    constexpr npy_intp kMaxDim = std::numeric_limits<uint32_t>::max();
    if (xsize > kMaxDim || ysize > kMaxDim)
        raise_py(PyExc_ValueError, "jxl: frame of " + std::to_string(ysize) + " x " +
                                       std::to_string(xsize) +
                                       " pixels is too large (at most 4294967295 per side)");

    _first_dtype = nb::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(arr)));
    _first_xsize = static_cast<size_t>(xsize);
    _first_ysize = static_cast<size_t>(ysize);
    _first_samples = static_cast<size_t>(samples);
    _frame_nbytes = static_cast<size_t>(PyArray_NBYTES(arr));
    const bool is_gray = samples <= 2;

    // Basic information.
    JxlEncoderInitBasicInfo(&_basic_info);
    _basic_info.xsize = static_cast<uint32_t>(xsize);
    _basic_info.ysize = static_cast<uint32_t>(ysize);
    _basic_info.bits_per_sample = bps;
    _basic_info.exponent_bits_per_sample = exp_bps;
    _basic_info.num_color_channels = is_gray ? 1 : 3;
    if (samples == 2 || samples == 4) {
        _basic_info.num_extra_channels = 1;
        _basic_info.alpha_bits = bps;
        _basic_info.alpha_exponent_bits = exp_bps;
    } else {
        _basic_info.num_extra_channels = 0;
    }
    if (_lossless) _basic_info.uses_original_profile = JXL_TRUE;
    if (_animation) {
        _basic_info.have_animation = JXL_TRUE;
        _basic_info.animation.tps_numerator = 10;
        _basic_info.animation.tps_denominator = 1;
        _basic_info.animation.num_loops = 0;
    }
    if (_color_spec.is_valid() && !_color_spec.is_none()) {
        nb::object hdr = get_attr_optional(_color_spec, "is_hdr");
        if (hdr.is_valid() && truth(hdr)) {
            _basic_info.uses_original_profile = JXL_TRUE;
            if (_basic_info.intensity_target == 0.0f) _basic_info.intensity_target = 10000.0f;
        }
    }
    if (_intensity_target > 0.0f) _basic_info.intensity_target = _intensity_target;
    if (_min_nits > 0.0f) _basic_info.min_nits = _min_nits;
    if (_relative_to_max_display >= 0)
        _basic_info.relative_to_max_display = _relative_to_max_display != 0 ? JXL_TRUE : JXL_FALSE;
    if (_linear_below > 0.0f) _basic_info.linear_below = _linear_below;

    // Pixel format and (recorded) bit depth.
    _pixel_format.num_channels = static_cast<uint32_t>(samples);
    _pixel_format.data_type = dtype;
    _pixel_format.endianness = JXL_NATIVE_ENDIAN;
    _pixel_format.align = 0;
    _bit_depth.type = JXL_BIT_DEPTH_FROM_PIXEL_FORMAT;
    _bit_depth.bits_per_sample = bps;
    _bit_depth.exponent_bits_per_sample = exp_bps;

    auto check = [this](JxlEncoderStatus st, const char *name) {
        if (st != JXL_ENC_SUCCESS) raise_enc(name, st, JxlEncoderGetError(_encoder));
    };

    // Animations always go in the container.
    check(JxlEncoderUseContainer(_encoder, (_container || _animation) ? JXL_TRUE : JXL_FALSE),
          "JxlEncoderUseContainer");
    check(JxlEncoderSetBasicInfo(_encoder, &_basic_info), "JxlEncoderSetBasicInfo");

    // Colour: the ICC profile wins; else the caller's description; else sRGB
    // for 8-bit samples and linear sRGB for the rest.
    std::memset(&_color_encoding, 0, sizeof(_color_encoding));
    const bool has_spec = _color_spec.is_valid() && !_color_spec.is_none();
    if (_icc_profile.is_valid() && !_icc_profile.is_none()) {
        check(JxlEncoderSetICCProfile(
                  _encoder, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(_icc_profile.ptr())),
                  static_cast<size_t>(PyBytes_GET_SIZE(_icc_profile.ptr()))),
              "JxlEncoderSetICCProfile");
    } else if (!has_spec) {
        if (dtype == JXL_TYPE_UINT8)
            JxlColorEncodingSetToSRGB(&_color_encoding, is_gray ? JXL_TRUE : JXL_FALSE);
        else
            JxlColorEncodingSetToLinearSRGB(&_color_encoding, is_gray ? JXL_TRUE : JXL_FALSE);
        check(JxlEncoderSetColorEncoding(_encoder, &_color_encoding), "JxlEncoderSetColorEncoding");
    } else {
        _color_encoding.color_space = is_gray ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
        _color_encoding.white_point = static_cast<JxlWhitePoint>(enum_attr(_color_spec, "white_point"));
        _color_encoding.primaries = static_cast<JxlPrimaries>(enum_attr(_color_spec, "primaries"));
        _color_encoding.transfer_function =
            static_cast<JxlTransferFunction>(enum_attr(_color_spec, "transfer"));
        _color_encoding.rendering_intent =
            static_cast<JxlRenderingIntent>(enum_attr(_color_spec, "rendering_intent"));
        nb::object transfer = get_attr(_color_spec, "transfer");
        int eq = PyObject_RichCompareBool(transfer.ptr(), tf_gamma.ptr(), Py_EQ);
        if (eq < 0) throw_current();
        if (eq) {
            nb::object gamma = get_attr(_color_spec, "gamma");
            double gv = PyFloat_AsDouble(gamma.ptr());
            if (gv == -1.0 && PyErr_Occurred()) throw_current();
            _color_encoding.gamma = gv;
        }
        check(JxlEncoderSetColorEncoding(_encoder, &_color_encoding), "JxlEncoderSetColorEncoding");
    }

    _frame_settings = JxlEncoderFrameSettingsCreate(_encoder, nullptr);
    if (!_frame_settings) raise_jxl("JxlEncoderFrameSettingsCreate returned NULL");

    if (_lossless)
        check(JxlEncoderSetFrameLossless(_frame_settings, JXL_TRUE), "JxlEncoderSetFrameLossless");
    else
        check(JxlEncoderSetFrameDistance(_frame_settings, _distance), "JxlEncoderSetFrameDistance");

    auto option = [&](JxlEncoderFrameSettingId id, int64_t value, const char *name) {
        check(JxlEncoderFrameSettingsSetOption(_frame_settings, id, value), name);
    };
    // Effort 7 is libjxl's own default; the writer's default 5 is always sent.
    if (_effort != 7)
        option(JXL_ENC_FRAME_SETTING_EFFORT, _effort, "JxlEncoderFrameSettingsSetOption EFFORT");
    if (_decoding_speed != 0)
        option(JXL_ENC_FRAME_SETTING_DECODING_SPEED, _decoding_speed,
               "JxlEncoderFrameSettingsSetOption DECODING_SPEED");
    if (_color_transform >= 0)
        option(JXL_ENC_FRAME_SETTING_COLOR_TRANSFORM, _color_transform,
               "JxlEncoderFrameSettingsSetOption COLOR_TRANSFORM");
    if (_modular >= 0)
        option(JXL_ENC_FRAME_SETTING_MODULAR, _modular, "JxlEncoderFrameSettingsSetOption MODULAR");
    if (_progressive) {
        option(JXL_ENC_FRAME_SETTING_RESPONSIVE, 1, "JxlEncoderFrameSettingsSetOption RESPONSIVE");
        option(JXL_ENC_FRAME_SETTING_PROGRESSIVE_AC, 1,
               "JxlEncoderFrameSettingsSetOption PROGRESSIVE_AC");
    }

    // Output buffer: a guess at the compressed size, in whole 64 KiB units.
    size_t estimate = _frame_nbytes / (_lossless ? 4 : 16);
    size_t rounded = (estimate + kOutbufGranule - 1) / kOutbufGranule * kOutbufGranule;
    size_t capacity = std::max(kMinOutbuf, rounded);
    // A writer reconfigured after a failure may already hold a buffer.
    void *p = _outbuf ? std::realloc(_outbuf, capacity) : std::malloc(capacity);
    if (!p) raise_py(PyExc_MemoryError, "jxl: failed to allocate output buffer");
    _outbuf = static_cast<uint8_t *>(p);
    _config_done = 1;
    _outbuf_capacity = capacity;
}

// ---- frames and output -----------------------------------------------------

void JxlWriter::check_not_busy() const {
    if (busy_) raise_py(PyExc_RuntimeError, kInUse);
}

void JxlWriter::write_frame(nb::handle arr, bool is_last) {
    check_not_busy();
    // After an abandoning __exit__ the encoder is gone: as closed as it gets.
    if (_closed || !_encoder) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    // The garbage collector may have cleared the object fields of a writer
    // in an unreachable cycle before a finaliser reaches it.
    if (_config_done && !_first_dtype.is_valid())
        raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    // Held for the whole call: Python code run below (array conversion,
    // colour attributes, comparisons) must not re-enter this writer.
    BusyGuard guard(busy_);

    nb::object src = nb::borrow(g.np).attr("ascontiguousarray")(arr);
    if (!PyArray_Check(src.ptr()) ||
        !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(src.ptr())))
        raise_py(PyExc_TypeError, "jxl: frame is not convertible to a C-contiguous array");
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(src.ptr());

    if (!_config_done) {
        _configure_from_first_frame(src);
    } else {
        PyObject *dt = reinterpret_cast<PyObject *>(PyArray_DESCR(a));
        int ne = PyObject_RichCompareBool(dt, _first_dtype.ptr(), Py_NE);
        if (ne < 0) throw_current();
        if (ne)
            raise_py(PyExc_ValueError, "jxl: frame dtype " + repr_of(dt) +
                                           " does not match first frame dtype " +
                                           repr_of(_first_dtype));
        const int nd = PyArray_NDIM(a);
        const npy_intp *dims = PyArray_DIMS(a);
        bool match;
        if (nd == 2)
            match = static_cast<size_t>(dims[0]) == _first_ysize &&
                    static_cast<size_t>(dims[1]) == _first_xsize && _first_samples == 1;
        else if (nd == 3)
            match = static_cast<size_t>(dims[0]) == _first_ysize &&
                    static_cast<size_t>(dims[1]) == _first_xsize &&
                    static_cast<size_t>(dims[2]) == _first_samples;
        else
            raise_py(PyExc_ValueError, "jxl: invalid ndim " + std::to_string(nd));
        if (!match) raise_py(PyExc_ValueError, "jxl: frame shape does not match first frame");
    }

    if (!_animation && _frame_count > 0)
        raise_py(PyExc_RuntimeError,
                 "jxl: writer is not in animation mode; set animation=True for multi-frame output");

    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.duration = 1;
    if (_animation) header.is_last = is_last ? JXL_TRUE : JXL_FALSE;
    JxlEncoderStatus st = JxlEncoderSetFrameHeader(_frame_settings, &header);
    if (st != JXL_ENC_SUCCESS)
        raise_enc("JxlEncoderSetFrameHeader", st, JxlEncoderGetError(_encoder));

    EncStep s;
    s.encoder = _encoder;
    s.frame_settings = _frame_settings;
    s.pixel_format = _pixel_format;
    s.pixels = PyArray_DATA(a);  // in place: libjxl copies what it keeps
    s.nbytes = static_cast<size_t>(PyArray_NBYTES(a));
    s.outbuf = _outbuf;
    s.capacity = _outbuf_capacity;
    s.used = _outbuf_used;
    s.add = true;
    if (_animation && !is_last) {
        // libjxl marks a queued frame as the last one only if the input is
        // closed when it is encoded. So an animation frame stays queued until
        // the next write_frame or close: the frames before it are encoded
        // first, and the one still queued at close is encoded as the last.
        s.drain_before = _frame_count > 0;
    } else {
        // A still image, or a frame the caller marked last: the stream ends here.
        s.close_input = true;
        s.drain_after = true;
    }

    int rc;
    {
        nb::gil_scoped_release release;
        rc = _add_frame_and_drain_nogil(s);
    }
    _outbuf = s.outbuf;
    _outbuf_capacity = s.capacity;
    _outbuf_used = s.used;
    _frame_count += 1;

    switch (rc) {
        case ENC_OK: return;
        case ENC_ERR_REALLOC: raise_py(PyExc_MemoryError, "jxl: failed to grow output buffer");
        case ENC_ERR_ADD_FRAME:
            raise_enc("JxlEncoderAddImageFrame", s.status, JxlEncoderGetError(_encoder));
        case ENC_ERR_PROCESS:
            raise_enc("JxlEncoderProcessOutput", s.status, JxlEncoderGetError(_encoder));
        default: raise_jxl("jxl: unknown encode error code " + std::to_string(rc));
    }
}

void JxlWriter::_drain_all() {
    EncStep s;
    s.encoder = _encoder;
    s.outbuf = _outbuf;
    s.capacity = _outbuf_capacity;
    s.used = _outbuf_used;
    s.drain_after = true;
    int rc;
    {
        nb::gil_scoped_release release;
        rc = _add_frame_and_drain_nogil(s);
    }
    _outbuf = s.outbuf;
    _outbuf_capacity = s.capacity;
    _outbuf_used = s.used;
    if (rc == ENC_ERR_REALLOC) raise_py(PyExc_MemoryError, "jxl: failed to grow output buffer");
    if (rc != ENC_OK) raise_enc("JxlEncoderProcessOutput", s.status, JxlEncoderGetError(_encoder));
}

void JxlWriter::_flush_to_dest() {
    if (_outbuf_used == 0 || _is_buffer) return;
    if (!_dest_obj.is_valid()) raise_py(PyExc_RuntimeError, "jxl: destination already released");
    nb::object payload = nb::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(_outbuf), static_cast<Py_ssize_t>(_outbuf_used)));
    if (!payload.is_valid()) throw_current();
    _dest_obj.attr("write")(payload);
    _outbuf_used = 0;
}

nb::object JxlWriter::close() {
    check_not_busy();
    if (_closed) return nb::none();
    BusyGuard guard(busy_);
    if (_encoder) {
        JxlEncoderCloseInput(_encoder);
        _drain_all();
    }
    nb::object result = nb::none();
    if (_is_buffer) {
        PyObject *b = PyBytes_FromStringAndSize(
            _outbuf ? reinterpret_cast<const char *>(_outbuf) : "",
            static_cast<Py_ssize_t>(_outbuf ? _outbuf_used : 0));
        if (!b) throw_current();
        result = nb::steal(b);
    } else {
        _flush_to_dest();
        if (_own_dest && _dest_obj.is_valid()) {
            PyObject *r = PyObject_CallMethod(_dest_obj.ptr(), "close", nullptr);
            if (r) {
                Py_DECREF(r);
            } else {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_current();
                PyErr_Clear();
            }
        }
    }
    _destroy_native();
    _closed = 1;
    return result;
}

void JxlWriter::abandon() {
    check_not_busy();
    _destroy_native();
}

// ---- binding ---------------------------------------------------------------

namespace {

using WriterGc = GcSlots<JxlWriter, &JxlWriter::_dest_obj, &JxlWriter::_color_spec,
                         &JxlWriter::_first_dtype>;

nb::object or_none(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

[[noreturn]] void refuse_pickle() {
    raise_py(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}

nb::object encode(nb::handle arr_in, nb::handle color, nb::handle lossless, nb::handle quality,
                  nb::handle distance, nb::handle effort, nb::handle decoding_speed,
                  nb::handle numthreads, nb::handle animation, nb::handle container,
                  nb::handle intensity_target, nb::handle icc_profile, nb::handle progressive,
                  nb::handle dest, nb::handle min_nits, nb::handle relative_to_max_display,
                  nb::handle linear_below, nb::handle color_transform, nb::handle modular) {
    nb::object arr = nb::borrow(g.np).attr("asarray")(arr_in);
    const bool anim = truth(animation);
    // Checked before the writer exists, so no destination file is created.
    if (anim && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(arr.ptr())) < 3)
        raise_py(PyExc_ValueError, "animation requires (T, Y, X[, C]) input");

    nb::object wobj = nb::type<JxlWriter>()(
        dest, "color"_a = color, "lossless"_a = lossless, "quality"_a = quality,
        "distance"_a = distance, "effort"_a = effort, "decoding_speed"_a = decoding_speed,
        "numthreads"_a = numthreads, "animation"_a = animation, "container"_a = container,
        "intensity_target"_a = intensity_target, "icc_profile"_a = icc_profile,
        "progressive"_a = progressive, "min_nits"_a = min_nits,
        "relative_to_max_display"_a = relative_to_max_display, "linear_below"_a = linear_below,
        "color_transform"_a = color_transform, "modular"_a = modular);
    JxlWriter *w = nb::inst_ptr<JxlWriter>(wobj);

    nb::object result;
    try {
        if (anim) {
            const npy_intp t = PyArray_DIMS(reinterpret_cast<PyArrayObject *>(arr.ptr()))[0];
            for (npy_intp i = 0; i < t; ++i) {
                PyObject *f = PySequence_GetItem(arr.ptr(), i);
                if (!f) throw_current();
                nb::object frame = nb::steal(f);
                w->write_frame(frame, i == t - 1);
            }
        } else {
            w->write_frame(arr, true);
        }
        result = w->close();
    } catch (...) {
        // Leaving the context with an exception abandons the stream.
        w->_destroy_native();
        throw;
    }
    w->close();
    return result;
}

}  // namespace

void register_writer(nb::module_ &m) {
    nb::class_<JxlWriter> cls(m, "JxlWriter", nb::type_slots(WriterGc::slots),
                              "Streaming JPEG XL encoder.\n\n"
                              "Frames are NumPy arrays of shape (Y, X) or (Y, X, C), C in 1..4\n"
                              "(L, LA, RGB, RGBA), of uint8, uint16, float16 or float32. The\n"
                              "compressed stream is collected in memory and delivered by close():\n"
                              "returned as bytes when `dest` is None, else written in one call to\n"
                              "the path or file-like `dest`.");

    cls.def(
        "__init__",
        [](JxlWriter *self, nb::handle dest, nb::handle color, nb::handle lossless,
           nb::handle quality, nb::handle distance, nb::handle effort, nb::handle decoding_speed,
           nb::handle numthreads, nb::handle animation, nb::handle container,
           nb::handle intensity_target, nb::handle icc_profile, nb::handle progressive,
           nb::handle min_nits, nb::handle relative_to_max_display, nb::handle linear_below,
           nb::handle color_transform, nb::handle modular) {
            new (self) JxlWriter();
            try {
                self->init(dest, color, lossless, quality, distance, effort, decoding_speed,
                           numthreads, animation, container, intensity_target, icc_profile,
                           progressive, min_nits, relative_to_max_display, linear_below,
                           color_transform, modular);
            } catch (...) {
                // nanobind runs no destructor for an instance whose __init__ failed.
                self->abort_init();
                self->~JxlWriter();
                throw;
            }
        },
        "dest"_a.none() = nb::none(), nb::kw_only(), "color"_a.none() = nb::none(),
        "lossless"_a.none() = nb::none(), "quality"_a.none() = nb::none(),
        "distance"_a.none() = nb::none(), "effort"_a.none() = 5,
        "decoding_speed"_a.none() = 0, "numthreads"_a.none() = nb::none(),
        "animation"_a.none() = false, "container"_a.none() = false,
        "intensity_target"_a.none() = nb::none(), "icc_profile"_a.none() = nb::none(),
        "progressive"_a.none() = false, "min_nits"_a.none() = nb::none(),
        "relative_to_max_display"_a.none() = nb::none(), "linear_below"_a.none() = nb::none(),
        "color_transform"_a.none() = nb::none(), "modular"_a.none() = nb::none(),
        nb::sig("def __init__(self, dest: object = None, *, color: object = None, "
                "lossless: object = None, quality: object = None, distance: object = None, "
                "effort: object = 5, decoding_speed: object = 0, numthreads: object = None, "
                "animation: object = False, container: object = False, "
                "intensity_target: object = None, icc_profile: object = None, "
                "progressive: object = False, min_nits: object = None, "
                "relative_to_max_display: object = None, linear_below: object = None, "
                "color_transform: object = None, modular: object = None) -> None"));

    cls.def(
        "write_frame",
        [](JxlWriter &w, nb::handle arr, nb::handle is_last) { w.write_frame(arr, truth(is_last)); },
        "arr"_a.none(), nb::kw_only(), "is_last"_a.none() = false,
        nb::sig("def write_frame(self, arr: object, *, is_last: object = False) -> None"),
        "Encode one frame.\n\n"
        "The first frame fixes size, channels and sample type; later frames (animation\n"
        "writers only) must match it. `is_last` marks the final animation frame.");
    cls.def("close", &JxlWriter::close, nb::sig("def close(self) -> bytes | None"),
            "Finalize encoding and release resources.\n\n"
            "Returns the stream as bytes in memory mode, else None after writing it to\n"
            "the destination. A second call returns None.");
    cls.def("__enter__", [](nb::handle self) { return nb::borrow(self); });
    cls.def(
        "__exit__",
        [](nb::handle self, nb::handle exc_type, nb::handle exc, nb::handle tb) {
            // JxlWriter.__new__ alone gives an instance with no C++ state.
            if (!nb::inst_ready(self))
                raise_py(PyExc_TypeError, "jxl: JxlWriter.__init__ has not run");
            JxlWriter *w = nb::inst_ptr<JxlWriter>(self);
            if (exc_type.is_none())
                self.attr("close")();
            else
                w->abandon();
            return false;
        },
        "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());
    cls.def("__reduce__", [](nb::handle) { refuse_pickle(); });
    cls.def("__setstate__", [](nb::handle, nb::handle) { refuse_pickle(); }, "state"_a.none());

    // Read-only views of the internal state, for tests and debugging.
    cls.def_prop_ro("_outbuf_capacity", [](const JxlWriter &w) { return w._outbuf_capacity; });
    cls.def_prop_ro("_outbuf_used", [](const JxlWriter &w) { return w._outbuf_used; });
    cls.def_prop_ro("_frame_count", [](const JxlWriter &w) { return w._frame_count; });
    cls.def_prop_ro("_frame_nbytes", [](const JxlWriter &w) { return w._frame_nbytes; });
    cls.def_prop_ro("_effort", [](const JxlWriter &w) { return w._effort; });
    cls.def_prop_ro("_distance", [](const JxlWriter &w) { return w._distance; });
    cls.def_prop_ro("_lossless", [](const JxlWriter &w) { return w._lossless != 0; });
    cls.def_prop_ro("_decoding_speed", [](const JxlWriter &w) { return w._decoding_speed; });
    cls.def_prop_ro("_progressive", [](const JxlWriter &w) { return w._progressive != 0; });
    cls.def_prop_ro("_color_transform", [](const JxlWriter &w) { return w._color_transform; });
    cls.def_prop_ro("_modular", [](const JxlWriter &w) { return w._modular; });
    cls.def_prop_ro("_num_threads", [](const JxlWriter &w) { return w._num_threads; });
    cls.def_prop_ro("_has_runner", [](const JxlWriter &w) { return w._runner != nullptr; });
    cls.def_prop_ro("_animation", [](const JxlWriter &w) { return w._animation != 0; });
    cls.def_prop_ro("_container", [](const JxlWriter &w) { return w._container != 0; });
    cls.def_prop_ro("_intensity_target", [](const JxlWriter &w) { return w._intensity_target; });
    cls.def_prop_ro("_min_nits", [](const JxlWriter &w) { return w._min_nits; });
    cls.def_prop_ro("_relative_to_max_display",
                    [](const JxlWriter &w) { return w._relative_to_max_display; });
    cls.def_prop_ro("_linear_below", [](const JxlWriter &w) { return w._linear_below; });
    cls.def_prop_ro("_is_buffer", [](const JxlWriter &w) { return w._is_buffer != 0; });
    cls.def_prop_ro("_own_dest", [](const JxlWriter &w) { return w._own_dest != 0; });
    cls.def_prop_ro("_closed", [](const JxlWriter &w) { return w._closed != 0; });
    cls.def_prop_ro("_config_done", [](const JxlWriter &w) { return w._config_done != 0; });
    cls.def_prop_ro("_busy", [](const JxlWriter &w) { return w.busy_; });
    cls.def_prop_ro("_has_encoder", [](const JxlWriter &w) { return w._encoder != nullptr; });
    cls.def_prop_ro("_dest_obj", [](const JxlWriter &w) { return or_none(w._dest_obj); });
    cls.def_prop_ro("_color_spec", [](const JxlWriter &w) { return or_none(w._color_spec); });
    cls.def_prop_ro("_icc_profile", [](const JxlWriter &w) { return or_none(w._icc_profile); });
    cls.def_prop_ro("_first_dtype", [](const JxlWriter &w) { return or_none(w._first_dtype); });
    cls.def_prop_ro("_basic_info", [](const JxlWriter &w) {
        const JxlBasicInfo &b = w._basic_info;
        nb::dict d;
        d["xsize"] = b.xsize;
        d["ysize"] = b.ysize;
        d["bits_per_sample"] = b.bits_per_sample;
        d["exponent_bits_per_sample"] = b.exponent_bits_per_sample;
        d["num_color_channels"] = b.num_color_channels;
        d["num_extra_channels"] = b.num_extra_channels;
        d["alpha_bits"] = b.alpha_bits;
        d["alpha_exponent_bits"] = b.alpha_exponent_bits;
        d["uses_original_profile"] = b.uses_original_profile != 0;
        d["have_animation"] = b.have_animation != 0;
        d["tps_numerator"] = b.animation.tps_numerator;
        d["tps_denominator"] = b.animation.tps_denominator;
        d["num_loops"] = b.animation.num_loops;
        d["intensity_target"] = b.intensity_target;
        d["min_nits"] = b.min_nits;
        d["relative_to_max_display"] = b.relative_to_max_display != 0;
        d["linear_below"] = b.linear_below;
        return d;
    });
    cls.def_prop_ro("_color_encoding", [](const JxlWriter &w) {
        const JxlColorEncoding &c = w._color_encoding;
        return nb::make_tuple(static_cast<int>(c.color_space), static_cast<int>(c.white_point),
                              static_cast<int>(c.primaries), static_cast<int>(c.transfer_function),
                              static_cast<int>(c.rendering_intent), c.gamma);
    });

    m.def("encode", &encode, "arr"_a.none(), nb::kw_only(), "color"_a.none() = nb::none(),
          "lossless"_a.none() = nb::none(), "quality"_a.none() = nb::none(),
          "distance"_a.none() = nb::none(), "effort"_a.none() = 5, "decoding_speed"_a.none() = 0,
          "numthreads"_a.none() = nb::none(), "animation"_a.none() = false,
          "container"_a.none() = false, "intensity_target"_a.none() = nb::none(),
          "icc_profile"_a.none() = nb::none(), "progressive"_a.none() = false,
          "dest"_a.none() = nb::none(), "min_nits"_a.none() = nb::none(),
          "relative_to_max_display"_a.none() = nb::none(), "linear_below"_a.none() = nb::none(),
          "color_transform"_a.none() = nb::none(), "modular"_a.none() = nb::none(),
          nb::sig("def encode(arr: object, *, color: object = None, lossless: object = None, "
                  "quality: object = None, distance: object = None, effort: object = 5, "
                  "decoding_speed: object = 0, numthreads: object = None, "
                  "animation: object = False, container: object = False, "
                  "intensity_target: object = None, icc_profile: object = None, "
                  "progressive: object = False, dest: object = None, min_nits: object = None, "
                  "relative_to_max_display: object = None, linear_below: object = None, "
                  "color_transform: object = None, modular: object = None) -> bytes | None"),
          "Encode a single ndarray (or animation stack) to JPEG XL bytes.\n\n"
          "`arr` is one frame, (Y, X) or (Y, X, C), or with animation=True a stack\n"
          "(T, Y, X[, C]) of T frames. Returns bytes, or None when `dest` is given.\n"
          "The options are JxlWriter's.");

    m.def(
        "_dtype_to_jxl",
        [](nb::handle dtype) {
            JxlDataType t;
            uint32_t bps = 0, exp = 0;
            _dtype_to_jxl(dtype, &t, &bps, &exp);
            return nb::make_tuple(static_cast<int>(t), bps, exp);
        },
        "dtype"_a.none());
}

}  // namespace qmjxl
