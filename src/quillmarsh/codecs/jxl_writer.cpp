// JxlWriter and encode: option handling, first-frame configuration, frame
// writing with the interpreter lock released, and delivery of the stream.
#include "jxl_writer.h"

#include "bind_sink.h"
#include "jxl_jpeg.h"
#include "jxlcore/verify.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <limits>

using namespace nb::literals;

namespace qmjxl {

namespace {

constexpr size_t kMinOutbuf = 32768;       // smallest initial output buffer
constexpr size_t kOutbufGranule = 65536;   // initial sizes are multiples of this

const char *const kInUse = "jxl: JxlWriter is in use by another thread";

// When a frame goes to libjxl in rectangles: "auto" for a still image with a
// side above libjxl's own streaming threshold (below it libjxl gathers the
// whole frame anyway); "never" and "always" exist for comparisons, set
// through the testing hooks only.
enum ChunkedMode { kChunkedAuto, kChunkedNever, kChunkedAlways };
#ifdef QM_TESTING_HOOKS
constexpr const char *kChunkedModeNames[] = {"auto", "never", "always"};
ChunkedMode g_chunked_mode = kChunkedAuto;  // read and set with the interpreter lock held
#else
constexpr ChunkedMode g_chunked_mode = kChunkedAuto;
#endif
constexpr npy_intp kChunkedMinSide = 2048;

// ---- small conversions with Python's semantics ---------------------------

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

// Offers libjxl the free room of the buffer until it reports success,
// growing the buffer when it asks for more.
int drain_nogil(EncStep &s) {
    ByteSink &out = *s.out;
    for (;;) {
        uint8_t *next = out.data() + out.size();
        size_t avail = out.capacity() - out.size();
        JxlEncoderStatus st = JxlEncoderProcessOutput(s.encoder, &next, &avail);
        out.set_size(out.capacity() - avail);
        if (st == JXL_ENC_NEED_MORE_OUTPUT) {
            // On failure the old buffer and the bytes already in it stay valid.
            if (!out.grow(0)) return ENC_ERR_REALLOC;
            continue;
        }
        if (st == JXL_ENC_SUCCESS) return ENC_OK;
        s.status = static_cast<int>(st);
        return ENC_ERR_PROCESS;
    }
}

}  // namespace

int encode_step_nogil(EncStep &s) noexcept {
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
        if (s.planes) {
            for (size_t k = 0; k < s.planes->size(); ++k) {
                const auto &plane = (*s.planes)[k];
                st = JxlEncoderSetExtraChannelBuffer(s.frame_settings, &(*s.plane_formats)[k],
                                                     plane.data(), plane.size(),
                                                     static_cast<uint32_t>(k));
                if (st != JXL_ENC_SUCCESS) {
                    s.status = static_cast<int>(st);
                    return ENC_ERR_ADD_FRAME;
                }
            }
        }
    }
    if (s.close_input) JxlEncoderCloseInput(s.encoder);
    if (s.drain_after) return drain_nogil(s);
    return ENC_OK;
}

void dtype_to_jxl(nb::handle dtype, JxlDataType *out, uint32_t *bps, uint32_t *exp_bps) {
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

// ---- options -----------------------------------------------------------------

namespace {

using Args = OptionArgs;

void parse_dest(JxlWriter &w, nb::handle dest, const Args &) {
    WriterOptions &o = w.opt;
    if (dest.is_none()) {
        o.dest = nb::none();
        o.is_buffer = true;
    } else if (is_path(dest)) {
        // A temporary file beside the target, renamed over it only by a
        // successful close: a failure never touches an existing file. A
        // missing folder or an unwritable target is refused now.
        o.dest = nb::none();
        o.own_dest = true;
        open_path_sink(w.out, dest);
    } else if (get_attr_optional(dest, "write").is_valid()) {
        o.dest = nb::borrow(dest);
    } else {
        raise_py(PyExc_TypeError, "dest must be path, file-like, or None; got " +
                                      str_of(reinterpret_cast<PyObject *>(Py_TYPE(dest.ptr()))));
    }
}

void parse_color(JxlWriter &w, nb::handle color, const Args &) {
    w.opt.color_spec = import_color_name("parse_color")(color);
}

// quality, distance and lossless decide together.
void parse_quality(JxlWriter &w, nb::handle, const Args &all) {
    WriterOptions &o = w.opt;
    nb::handle quality = all["quality"], distance = all["distance"];
    if (!quality.is_none() && !distance.is_none())
        raise_py(PyExc_ValueError, "jxl: pass quality or distance, not both");
    nb::object lossless = nb::borrow(all["lossless"]);
    if (!quality.is_none()) {
        PyObject *qf = PyNumber_Float(quality.ptr());
        if (!qf) throw_current();
        nb::object q = nb::steal(qf);
        o.distance = JxlEncoderDistanceFromQuality(static_cast<float>(PyFloat_AS_DOUBLE(q.ptr())));
        if (lossless.is_none()) {
            // As cjxl's -q 100: quality 100 (or more) is lossless.
            PyObject *gt = PyObject_RichCompare(quality.ptr(), nb::int_(100).ptr(), Py_GE);
            if (!gt) throw_current();
            lossless = nb::steal(gt);
        }
    } else if (!distance.is_none()) {
        o.distance = to_float32(distance);
        if (lossless.is_none()) lossless = nb::bool_(o.distance == 0.0f);
    } else {
        o.distance = 0.0f;
        if (lossless.is_none()) lossless = nb::bool_(true);
    }
    o.lossless = truthy(lossless);
    if (o.lossless) o.distance = 0.0f;
}

void parse_effort(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.effort = v.is_none() ? 5 : static_cast<int>(clamp_int(v, 1, 10));
}

void parse_decoding_speed(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.decoding_speed = truthy(v) ? static_cast<int>(clamp_int(v, 0, 4)) : 0;
}

void parse_progressive(JxlWriter &w, nb::handle v, const Args &) { w.opt.progressive = truthy(v); }
void parse_numthreads(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.num_threads = resolve_numthreads(v);
    w.opt.auto_threads = v.is_none();
}
void parse_animation(JxlWriter &w, nb::handle v, const Args &) { w.opt.animation = truthy(v); }
void parse_container(JxlWriter &w, nb::handle v, const Args &) { w.opt.container = truthy(v); }

void parse_intensity_target(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.intensity_target = nonneg_float_option(v, "intensity_target must be >= 0");
}
void parse_min_nits(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.min_nits = nonneg_float_option(v, "min_nits must be >= 0");
}

// None: -1 (not given); otherwise the truth value.
int tri_state(nb::handle v) { return v.is_none() ? -1 : (truthy(v) ? 1 : 0); }

void parse_relative_to_max_display(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.relative_to_max_display = tri_state(v);
}

void parse_linear_below(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.linear_below = nonneg_float_option(v, "linear_below must be >= 0");
    // Relative to the display's peak, linear_below is a fraction. libjxl
    // refuses more than 1 only deep in encoding, and builds without NDEBUG
    // (Debian's packages) abort the process there instead.
    if (w.opt.relative_to_max_display == 1 && w.opt.linear_below > 1.0f)
        raise_py(PyExc_ValueError,
                 "linear_below must be <= 1 when relative_to_max_display is true");
}

// As libjxl's COLOR_TRANSFORM values.
void parse_color_transform(JxlWriter &w, nb::handle v, const Args &) {
    int &ct = w.opt.color_transform;
    if (v.is_none()) {
        ct = -1;
    } else if (PyUnicode_Check(v.ptr())) {
        nb::object low = v.attr("lower")();
        auto is = [&](const char *s) {
            int eq = PyObject_RichCompareBool(low.ptr(), nb::str(s).ptr(), Py_EQ);
            if (eq < 0) throw_current();
            return eq == 1;
        };
        if (is("xyb"))
            ct = 0;
        else if (is("none") || is("rgb"))
            ct = 1;
        else if (is("ycbcr"))
            ct = 2;
        else
            raise_py(PyExc_ValueError,
                     "color_transform must be 'xyb', 'none'/'rgb', 'ycbcr', or int 0/1/2; got " +
                         repr_of(v));
    } else {
        const long long n = clamp_int(v, -1, 3);
        if (n < 0 || n > 2) raise_py(PyExc_ValueError, "color_transform int must be 0, 1, or 2");
        ct = static_cast<int>(n);
    }
}

void parse_modular(JxlWriter &w, nb::handle v, const Args &) { w.opt.modular = tri_state(v); }

// An owned copy; its content is libjxl's to judge.
void parse_icc_profile(JxlWriter &w, nb::handle v, const Args &) {
    if (v.is_none()) {
        w.opt.icc_profile = nb::none();
        return;
    }
    if (!is_bytes_like(v)) {
        nb::handle tp(reinterpret_cast<PyObject *>(Py_TYPE(v.ptr())));
        raise_py(PyExc_TypeError, "icc_profile must be bytes-like; got " + str_of(tp.attr("__name__")));
    }
    PyObject *b = PyBytes_FromObject(v.ptr());
    if (!b) throw_current();
    nb::object copy = nb::steal(b);
    const Py_ssize_t n = PyBytes_GET_SIZE(b);
    if (n < 128)
        raise_py(PyExc_ValueError, "icc_profile too short (" + std::to_string(n) +
                                       " bytes); a valid ICC profile is at least 128 bytes");
    w.opt.icc_profile = copy;
}

void parse_channels(JxlWriter &w, nb::handle v, const Args &) {
    if (!v.is_none() && (PyUnicode_Check(v.ptr()) || !PySequence_Check(v.ptr())))
        raise_py(PyExc_TypeError, "jxl: channels must be a list of channel type names or dicts");
    w.opt.channels = nb::borrow(v);
}

void parse_color_channels(JxlWriter &w, nb::handle v, const Args &) {
    if (v.is_none()) return;
    const long long cc = clamp_int(v, 0, 4);
    if (cc != 1 && cc != 3)
        raise_py(PyExc_ValueError, "jxl: color_channels must be 1 or 3 (got " + repr_of(v) + ")");
    w.opt.color_channels = static_cast<int>(cc);
}

void parse_extra_channel_distance(JxlWriter &w, nb::handle v, const Args &) {
    w.opt.extra_channel_distance = nb::borrow(v);
}

void parse_meta(JxlWriter &w, nb::handle loops, const Args &all) {
    parse_encode_meta(w.meta, all["exif"], all["xmp"], all["jumbf"], all["compress_boxes"],
                      all["duration"], loops, all["timecodes"], truthy(all["animation"]));
}

}  // namespace

// The writer's options, in encode's parameter order (JxlWriter takes `dest`
// first, positionally). `step` is the order in which the constructor checks
// them: a new option takes the next free step.
constexpr Option<JxlWriter> kWriterOptions[] = {
    // name, stub annotation, JxlWriter default, encode default, positional, step, parse
    {"color", "_ColorInput", "None", "None", false, 3, parse_color},
    {"lossless", "bool | None", "None", "None", false, 4, nullptr},  // in parse_quality
    {"quality", "float | None", "None", "None", false, 4, nullptr},  // in parse_quality
    {"distance", "float | None", "None", "None", false, 4, parse_quality},
    {"effort", "int | None", "5", "5", false, 5, parse_effort},
    {"decoding_speed", "int | None", "0", "0", false, 6, parse_decoding_speed},
    {"numthreads", "int | None", "None", "None", false, 8, parse_numthreads},
    {"animation", "bool", "False", "False", false, 9, parse_animation},
    {"container", "bool", "False", "False", false, 9, parse_container},
    {"intensity_target", "float | None", "None", "None", false, 10, parse_intensity_target},
    {"icc_profile", "bytes | bytearray | memoryview | None", "None", "None", false, 16,
     parse_icc_profile},
    {"progressive", "bool", "False", "False", false, 7, parse_progressive},
    {"dest", "_PathLike | _WritableBinary | None", "None", "None", true, 2, parse_dest},
    {"min_nits", "float | None", "None", "None", false, 11, parse_min_nits},
    {"relative_to_max_display", "bool | None", "None", "None", false, 12,
     parse_relative_to_max_display},
    {"linear_below", "float | None", "None", "None", false, 13, parse_linear_below},
    {"color_transform", "_ColorTransform", "None", "None", false, 14, parse_color_transform},
    {"modular", "bool | None", "None", "None", false, 15, parse_modular},
    {"channels", "_ChannelList | None", "None", "None", false, 17, parse_channels},
    {"color_channels", "int | None", "None", "None", false, 18, parse_color_channels},
    {"extra_channel_distance", "float | list[float] | None", "None", "None", false, 19,
     parse_extra_channel_distance},
    // Metadata and timing, checked before a destination path is opened.
    {"exif", "bytes | None", "None", "None", false, 1, nullptr},  // in parse_meta
    {"xmp", "bytes | str | None", "None", "None", false, 1, nullptr},
    {"jumbf", "bytes | None", "None", "None", false, 1, nullptr},
    {"compress_boxes", "bool", "False", "False", false, 1, nullptr},
    {"duration", "float | Sequence[float] | None", "None", "None", false, 1, nullptr},
    {"loops", "int", "0", "0", false, 1, parse_meta},
    {"timecodes", "Sequence[int] | None", "None", "None", false, 1, nullptr},  // in parse_meta
};
constexpr size_t kWriterOptionCount = std::size(kWriterOptions);
using WriterValues = std::array<nb::handle, kWriterOptionCount>;
constexpr size_t kAnimation = option_index(kWriterOptions, "animation");
static_assert(kAnimation < kWriterOptionCount);

// ---- construction ----------------------------------------------------------

void JxlWriter::init(const nb::handle *values) {
    import_color_name("parse_color");
    import_color_name("ColorSpec");
    import_color_name("JXL_TF_GAMMA");
    WriterValues v;
    std::copy(values, values + kWriterOptionCount, v.begin());
    parse_options(*this, kWriterOptions, v);
    create_encoder();
}

void JxlWriter::create_encoder() {
    encoder_ = JxlEncoderMake(nullptr);
    if (!encoder_) raise_jxl("JxlEncoderCreate returned NULL");
    if (opt.num_threads > 1) {
        // With numthreads=None the count is chosen from the first frame's size.
        runner_.threads = opt.auto_threads ? 1 : opt.num_threads;
        runner_.exact = !opt.auto_threads;
        const JxlEncoderStatus st =
            JxlEncoderSetParallelRunner(encoder_.get(), pooled_runner, &runner_);
        if (st != JXL_ENC_SUCCESS)
            raise_enc("JxlEncoderSetParallelRunner", st, JxlEncoderGetError(encoder_.get()));
    }
}

void JxlWriter::abort_init() noexcept {
    release_native();
    discard_dest();
}

void JxlWriter::release_native() noexcept {
    frame_settings_ = nullptr;  // dies with the encoder
    encoder_.reset();
    sink_.reset();
    runner_.release();
    out.free_memory();
}

// Raises the encoder's error for a failed libjxl call `name`.
static void check_enc(JxlEncoder *enc, JxlEncoderStatus st, const char *name) {
    if (st != JXL_ENC_SUCCESS) raise_enc(name, st, JxlEncoderGetError(enc));
}

// ---- first frame -----------------------------------------------------------

void JxlWriter::configure_from_first_frame(nb::handle arr_h) {
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(arr_h.ptr());
    const int nd = PyArray_NDIM(arr);
    const npy_intp *dims = PyArray_DIMS(arr);
    npy_intp samples = 1;
    if (nd == 3) {
        samples = dims[2];
        if (samples < 1)
            raise_py(PyExc_ValueError, "jxl: last dim must be 1/2/3/4 channels (got " +
                                           std::to_string(samples) + ")");
    } else if (nd != 2) {
        raise_py(PyExc_ValueError,
                 "jxl: ndim=" + std::to_string(nd) + "; expected 2 (Y,X) or 3 (Y,X,C)");
    }
    const npy_intp ysize = dims[0], xsize = dims[1];

    JxlDataType dtype;
    uint32_t bps = 0, exp_bps = 0;
    dtype_to_jxl(reinterpret_cast<PyObject *>(PyArray_DESCR(arr)), &dtype, &bps, &exp_bps);

    // JxlBasicInfo holds 32-bit sizes; a wider array would be silently cut.
    constexpr uint64_t kMaxDim = std::numeric_limits<uint32_t>::max();
    if (static_cast<uint64_t>(xsize) > kMaxDim || static_cast<uint64_t>(ysize) > kMaxDim)
        raise_py(PyExc_ValueError, "jxl: frame of " + std::to_string(ysize) + " x " +
                                       std::to_string(xsize) +
                                       " pixels is too large (at most 4294967295 per side)");

    first_dtype_ = nb::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(arr)));
    first_xsize_ = static_cast<size_t>(xsize);
    first_ysize_ = static_cast<size_t>(ysize);
    first_samples_ = static_cast<size_t>(samples);
    frame_nbytes_ = static_cast<size_t>(PyArray_NBYTES(arr));
    split_ = resolve_channels(first_samples_, bps, exp_bps);
    const bool is_gray = split_ ? ncolor_ == 1 : samples <= 2;

    pixel_format_ = {split_ ? ncolor_ : static_cast<uint32_t>(samples), dtype, JXL_NATIVE_ENDIAN,
                     0};
    if (opt.auto_threads)
        runner_.threads = threads_for_size(first_xsize_, first_ysize_, opt.num_threads);
    // Animations and metadata boxes always go in the container.
    const bool container = opt.container || opt.animation || meta.wants_container();
    check_enc(encoder_.get(), JxlEncoderUseContainer(encoder_.get(), container),
              "JxlEncoderUseContainer");
    set_basic_info(bps, exp_bps, first_samples_);
    if (split_) declare_extra_channels(bps, exp_bps);
    // Before the first frame: ahead of the codestream.
    ok_or_throw(add_boxes(encoder_.get(), meta.boxes, meta.compress_boxes));
    set_color(dtype, is_gray);
    set_frame_settings();

    // Output buffer: a guess at the compressed size, in whole 64 KiB units.
    const size_t estimate = frame_nbytes_ / (opt.lossless ? 4 : 16);
    const size_t rounded = (estimate + kOutbufGranule - 1) / kOutbufGranule * kOutbufGranule;
    const size_t capacity = std::max(kMinOutbuf, rounded);
    ok_or_throw(out.reserve(capacity));
    config_done_ = true;
}

void JxlWriter::set_basic_info(uint32_t bps, uint32_t exp_bps, size_t samples) {
    JxlBasicInfo &b = basic_info_;
    JxlEncoderInitBasicInfo(&b);
    b.xsize = static_cast<uint32_t>(first_xsize_);
    b.ysize = static_cast<uint32_t>(first_ysize_);
    b.bits_per_sample = color_bits_override_ ? color_bits_override_ : bps;
    b.exponent_bits_per_sample = exp_bps;
    if (split_) {
        b.num_color_channels = ncolor_;
        b.num_extra_channels = static_cast<uint32_t>(extras_.size());
        if (!extras_.empty() && extras_[0].type == JXL_CHANNEL_ALPHA) {
            b.alpha_bits = extras_[0].bits ? extras_[0].bits : bps;
            b.alpha_exponent_bits = exp_bps;
            b.alpha_premultiplied = extras_[0].premultiplied ? JXL_TRUE : JXL_FALSE;
        }
    } else {
        b.num_color_channels = samples <= 2 ? 1 : 3;
        b.num_extra_channels = samples == 2 || samples == 4 ? 1 : 0;
        if (b.num_extra_channels) {
            b.alpha_bits = bps;
            b.alpha_exponent_bits = exp_bps;
        }
    }
    if (opt.lossless) b.uses_original_profile = JXL_TRUE;
    meta.fill_basic_info(b);  // animation: time base and loop count
    if (!opt.color_spec.is_none()) {
        nb::object hdr = get_attr_optional(opt.color_spec, "is_hdr");
        if (hdr.is_valid() && truthy(hdr)) {
            b.uses_original_profile = JXL_TRUE;
            // The nominal peak: 1000 nits for HLG (BT.2100's, libjxl's and
            // cjxl's choice), 10000 for PQ.
            const bool hlg = enum_attr(opt.color_spec, "transfer") == JXL_TRANSFER_FUNCTION_HLG;
            b.intensity_target = hlg ? 1000.0f : 10000.0f;
        }
    }
    if (opt.intensity_target > 0.0f) b.intensity_target = opt.intensity_target;
    if (opt.min_nits > 0.0f) b.min_nits = opt.min_nits;
    if (opt.relative_to_max_display >= 0) b.relative_to_max_display = opt.relative_to_max_display;
    if (opt.linear_below > 0.0f) b.linear_below = opt.linear_below;
    JxlEncoder *enc = encoder_.get();
    check_enc(enc, JxlEncoderSetBasicInfo(enc, &b), "JxlEncoderSetBasicInfo");
}

// The ICC profile wins; else the caller's description; else sRGB for 8-bit
// samples and linear sRGB for the rest.
void JxlWriter::set_color(JxlDataType dtype, bool is_gray) {
    JxlEncoder *enc = encoder_.get();
    JxlColorEncoding &c = color_encoding_;
    c = JxlColorEncoding{};
    if (!opt.icc_profile.is_none()) {
        const auto *icc = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(opt.icc_profile.ptr()));
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(opt.icc_profile.ptr()));
        // The header's colour space (bytes 16-19) against the pixels: libjxl
        // only says BAD_INPUT for a grey profile on colour or the reverse.
        const bool gray_profile = std::memcmp(icc + 16, "GRAY", 4) == 0;
        const bool rgb_profile = std::memcmp(icc + 16, "RGB ", 4) == 0;
        if (is_gray ? rgb_profile : gray_profile)
            raise_py(PyExc_ValueError,
                     std::string("jxl: icc_profile describes ") + (is_gray ? "RGB" : "grey") +
                         " colour but the image is " + (is_gray ? "grey" : "RGB") +
                         "; pass a" + (is_gray ? " grey" : "n RGB") + " profile, or " +
                         (is_gray ? "RGB" : "grey") + " pixels");
        check_enc(enc, JxlEncoderSetICCProfile(enc, icc, size), "JxlEncoderSetICCProfile");
        return;
    }
    if (opt.color_spec.is_none()) {
        if (dtype == JXL_TYPE_UINT8)
            JxlColorEncodingSetToSRGB(&c, is_gray);
        else
            JxlColorEncodingSetToLinearSRGB(&c, is_gray);
    } else {
        const nb::handle spec = opt.color_spec;
        c.color_space = is_gray ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
        c.white_point = static_cast<JxlWhitePoint>(enum_attr(spec, "white_point"));
        c.primaries = static_cast<JxlPrimaries>(enum_attr(spec, "primaries"));
        c.transfer_function = static_cast<JxlTransferFunction>(enum_attr(spec, "transfer"));
        c.rendering_intent = static_cast<JxlRenderingIntent>(enum_attr(spec, "rendering_intent"));
        nb::object transfer = get_attr(spec, "transfer");
        const int eq = PyObject_RichCompareBool(transfer.ptr(), import_color_name("JXL_TF_GAMMA").ptr(), Py_EQ);
        if (eq < 0) throw_current();
        if (eq) {
            const double gv = PyFloat_AsDouble(get_attr(spec, "gamma").ptr());
            if (gv == -1.0 && PyErr_Occurred()) throw_current();
            c.gamma = gv;
        }
    }
    check_enc(enc, JxlEncoderSetColorEncoding(enc, &c), "JxlEncoderSetColorEncoding");
}

void JxlWriter::set_frame_settings() {
    JxlEncoder *enc = encoder_.get();
    frame_settings_ = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!frame_settings_) raise_jxl("JxlEncoderFrameSettingsCreate returned NULL");
    JxlEncoderFrameSettings *fs = frame_settings_;
    if (opt.lossless)
        check_enc(enc, JxlEncoderSetFrameLossless(fs, JXL_TRUE), "JxlEncoderSetFrameLossless");
    else
        check_enc(enc, JxlEncoderSetFrameDistance(fs, opt.distance), "JxlEncoderSetFrameDistance");
    auto option = [&](JxlEncoderFrameSettingId id, int64_t value, const char *name) {
        const JxlEncoderStatus st = JxlEncoderFrameSettingsSetOption(fs, id, value);
        if (st != JXL_ENC_SUCCESS)
            raise_enc((std::string("JxlEncoderFrameSettingsSetOption ") + name).c_str(), st,
                      JxlEncoderGetError(enc));
    };
    // Effort 7 is libjxl's own default; the writer's default 5 is always sent.
    if (opt.effort != 7) option(JXL_ENC_FRAME_SETTING_EFFORT, opt.effort, "EFFORT");
    if (opt.decoding_speed != 0)
        option(JXL_ENC_FRAME_SETTING_DECODING_SPEED, opt.decoding_speed, "DECODING_SPEED");
    if (opt.color_transform >= 0)
        option(JXL_ENC_FRAME_SETTING_COLOR_TRANSFORM, opt.color_transform, "COLOR_TRANSFORM");
    if (opt.modular >= 0) option(JXL_ENC_FRAME_SETTING_MODULAR, opt.modular, "MODULAR");
    if (opt.progressive) {
        option(JXL_ENC_FRAME_SETTING_RESPONSIVE, 1, "RESPONSIVE");
        option(JXL_ENC_FRAME_SETTING_PROGRESSIVE_AC, 1, "PROGRESSIVE_AC");
    }
    // Bands of one scene predict each other: letting the lossless coder look
    // at the previous channels saves 10-35% on (Y, X, N) arrays (measured
    // on photographs made into bands) for about 1.5x the encode time.
    if (split_ && opt.lossless && extras_.size() >= 2)
        option(JXL_ENC_FRAME_SETTING_MODULAR_NB_PREV_CHANNELS, 3, "MODULAR_NB_PREV_CHANNELS");
    if (codestream_depth_) {
        const JxlBitDepth depth = {JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
        check_enc(enc, JxlEncoderSetFrameBitDepth(fs, &depth), "JxlEncoderSetFrameBitDepth");
    }
    // Lossy extra channels: one distance for all, or one per extra channel.
    const nb::object &ecd = opt.extra_channel_distance;
    if (ecd.is_valid() && !ecd.is_none() && !extras_.empty()) {
        const size_t n = extras_.size();
        std::vector<float> d(n);
        if (PySequence_Check(ecd.ptr())) {
            if (static_cast<size_t>(nb::len(ecd)) != n)
                raise_py(PyExc_ValueError, "jxl: extra_channel_distance lists " +
                                               std::to_string(nb::len(ecd)) + " distances for " +
                                               std::to_string(n) + " extra channels");
            for (size_t i = 0; i < n; ++i) d[i] = to_float32(ecd[i]);
        } else {
            std::fill(d.begin(), d.end(), to_float32(ecd));
        }
        for (size_t i = 0; i < n; ++i) {
            if (!(d[i] >= 0.0f && d[i] <= 25.0f))
                raise_py(PyExc_ValueError,
                         "jxl: extra_channel_distance must be between 0 and 25 (got " +
                             std::to_string(d[i]) + ")");
            check_enc(enc, JxlEncoderSetExtraChannelDistance(fs, i, d[i]),
                      "JxlEncoderSetExtraChannelDistance");
        }
    }
}

// ---- channel layout --------------------------------------------------------

bool JxlWriter::resolve_channels(size_t samples, uint32_t bps, uint32_t exp_bps) {
    extras_.clear();
    codestream_depth_ = false;
    color_bits_override_ = 0;
    // Cleared by the garbage collector: as if never given.
    if (!opt.channels.is_valid()) opt.channels = nb::none();
    if (opt.channels.is_none()) {
        if (samples <= 4) {
            if (opt.color_channels && opt.color_channels != (samples <= 2 ? 1 : 3))
                raise_py(PyExc_ValueError,
                         "jxl: color_channels does not fit an array of " +
                             std::to_string(samples) + " channels; pass channels= to say "
                             "what each channel is");
            return false;
        }
        ncolor_ = opt.color_channels ? static_cast<uint32_t>(opt.color_channels) : 1;
        if (samples - ncolor_ > kMaxExtraChannels)
            raise_py(PyExc_ValueError, "jxl: " + std::to_string(samples) +
                                           " channels are too many (at most " +
                                           std::to_string(kMaxExtraChannels) +
                                           " besides colour)");
        for (size_t i = ncolor_; i < samples; ++i) {
            ExtraSpec e;
            e.name = "channel " + std::to_string(i);
            extras_.push_back(e);
        }
        return true;
    }

    const size_t n = static_cast<size_t>(nb::len(opt.channels));
    if (n != samples)
        raise_py(PyExc_ValueError, "jxl: channels lists " + std::to_string(n) +
                                       " channels but the array has " +
                                       std::to_string(samples));
    auto known = [] {
        std::string k = "color";
        for (const char *t : {"alpha", "depth", "spot_color", "selection_mask", "black", "cfa",
                              "thermal", "optional", "unknown"})
            k += std::string(", ") + t;
        return k;
    };
    ncolor_ = 0;
    bool color_done = false;
    uint32_t color_bits = 0;
    for (size_t i = 0; i < n; ++i) {
        nb::object entry = opt.channels[i];
        nb::object type_obj, name_obj, bits_obj, spot_obj, premul_obj;
        if (PyUnicode_Check(entry.ptr())) {
            type_obj = entry;
        } else if (PyDict_Check(entry.ptr())) {
            for (auto item : nb::borrow<nb::dict>(entry)) {
                const std::string key = nb::str(item.first).c_str();
                if (key == "type") type_obj = nb::borrow(item.second);
                else if (key == "name") name_obj = nb::borrow(item.second);
                else if (key == "bits") bits_obj = nb::borrow(item.second);
                else if (key == "spot_color") spot_obj = nb::borrow(item.second);
                else if (key == "alpha_premultiplied") premul_obj = nb::borrow(item.second);
                else
                    raise_py(PyExc_ValueError, "jxl: channel " + std::to_string(i) +
                                                   " has an unknown key " + repr_of(item.first) +
                                                   " (known: type, name, bits, spot_color, "
                                                   "alpha_premultiplied)");
            }
            if (!type_obj.is_valid())
                raise_py(PyExc_ValueError,
                         "jxl: channel " + std::to_string(i) + " has no \"type\"");
        } else {
            raise_py(PyExc_TypeError, "jxl: channel " + std::to_string(i) +
                                          " must be a type name or a dict (got " +
                                          str_of(reinterpret_cast<PyObject *>(
                                              Py_TYPE(entry.ptr()))) + ")");
        }
        if (!PyUnicode_Check(type_obj.ptr()))
            raise_py(PyExc_TypeError,
                     "jxl: channel " + std::to_string(i) + " type must be text");
        const std::string type = nb::str(type_obj).c_str();
        uint32_t bits = 0;
        if (bits_obj.is_valid() && !bits_obj.is_none()) {
            const long long b = clamp_int(bits_obj, 0, 64);
            const long long top = exp_bps ? bps : bps;
            if (exp_bps ? b != bps : (b < 1 || b > top))
                raise_py(PyExc_ValueError,
                         "jxl: channel " + std::to_string(i) + " bits must be " +
                             (exp_bps ? std::to_string(bps) + " for this float type"
                                      : "1.." + std::to_string(bps)) +
                             " (got " + std::to_string(b) + ")");
            bits = static_cast<uint32_t>(b);
            if (!exp_bps && bits != bps) codestream_depth_ = true;
        }
        if (type == "color") {
            if (color_done)
                raise_py(PyExc_ValueError, "jxl: colour channels must come first (channel " +
                                               std::to_string(i) + ")");
            ++ncolor_;
            if (bits) {
                if (color_bits && bits != color_bits)
                    raise_py(PyExc_ValueError, "jxl: colour channels must share one bit depth");
                color_bits = bits;
            }
            continue;
        }
        color_done = true;
        const int t = channel_type_from_name(type);
        if (t < 0)
            raise_py(PyExc_ValueError,
                     "jxl: unknown channel type " + repr_of(type_obj) + " (known: " + known() + ")");
        ExtraSpec e;
        e.type = static_cast<JxlExtraChannelType>(t);
        e.bits = bits;
        if (name_obj.is_valid() && !name_obj.is_none()) {
            if (!PyUnicode_Check(name_obj.ptr()))
                raise_py(PyExc_TypeError, "jxl: channel " + std::to_string(i) +
                                              " name must be text (got " +
                                              str_of(reinterpret_cast<PyObject *>(
                                                  Py_TYPE(name_obj.ptr()))) + ")");
            e.name = nb::str(name_obj).c_str();
        }
        if (spot_obj.is_valid() && !spot_obj.is_none()) {
            if (e.type != JXL_CHANNEL_SPOT_COLOR || nb::len(spot_obj) != 4)
                raise_py(PyExc_ValueError, "jxl: spot_color is (red, green, blue, solidity) "
                                           "of a spot_color channel");
            for (int k = 0; k < 4; ++k) e.spot_color[k] = to_float32(spot_obj[k]);
        }
        if (premul_obj.is_valid()) e.premultiplied = truthy(premul_obj);
        extras_.push_back(e);
    }
    if (ncolor_ != 1 && ncolor_ != 3)
        raise_py(PyExc_ValueError, "jxl: channels must start with 1 or 3 \"color\" entries (got " +
                                       std::to_string(ncolor_) + ")");
    if (extras_.size() > kMaxExtraChannels)
        raise_py(PyExc_ValueError, "jxl: " + std::to_string(extras_.size()) +
                                       " extra channels are too many (at most " +
                                       std::to_string(kMaxExtraChannels) + ")");
    if (opt.color_channels && static_cast<uint32_t>(opt.color_channels) != ncolor_)
        raise_py(PyExc_ValueError, "jxl: color_channels disagrees with channels");
    if (color_bits && color_bits <= 8 && bps == 16)
        raise_py(PyExc_ValueError, "jxl: colour channels of 8 bits or fewer need a uint8 array");
    color_bits_override_ = color_bits;
    return true;
}

void JxlWriter::declare_extra_channels(uint32_t bps, uint32_t exp_bps) {
    for (size_t i = 0; i < extras_.size(); ++i) {
        const ExtraSpec &e = extras_[i];
        JxlExtraChannelInfo info;
        JxlEncoderInitExtraChannelInfo(e.type, &info);
        info.bits_per_sample = e.bits ? e.bits : bps;
        info.exponent_bits_per_sample = exp_bps;
        info.alpha_premultiplied = e.premultiplied ? JXL_TRUE : JXL_FALSE;
        for (int k = 0; k < 4; ++k) info.spot_color[k] = e.spot_color[k];
        const uint32_t idx = static_cast<uint32_t>(i);
        JxlEncoderStatus st = JxlEncoderSetExtraChannelInfo(encoder_.get(), idx, &info);
        if (st != JXL_ENC_SUCCESS)
            raise_enc("JxlEncoderSetExtraChannelInfo", st, JxlEncoderGetError(encoder_.get()));
        if (!e.name.empty()) {
            st = JxlEncoderSetExtraChannelName(encoder_.get(), idx, e.name.data(), e.name.size());
            if (st != JXL_ENC_SUCCESS)
                raise_enc("JxlEncoderSetExtraChannelName", st, JxlEncoderGetError(encoder_.get()));
        }
    }
}

// ---- frames and output -----------------------------------------------------

void JxlWriter::check_not_busy() const {
    if (busy_) raise_py(PyExc_RuntimeError, kInUse);
}

void JxlWriter::check_matches_first_frame(PyArrayObject *a) const {
    PyObject *dt = reinterpret_cast<PyObject *>(PyArray_DESCR(a));
    const int ne = PyObject_RichCompareBool(dt, first_dtype_.ptr(), Py_NE);
    if (ne < 0) throw_current();
    if (ne)
        raise_py(PyExc_ValueError, "jxl: frame dtype " + repr_of(dt) +
                                       " does not match first frame dtype " +
                                       repr_of(first_dtype_));
    const int nd = PyArray_NDIM(a);
    if (nd != 2 && nd != 3) raise_py(PyExc_ValueError, "jxl: invalid ndim " + std::to_string(nd));
    const npy_intp *dims = PyArray_DIMS(a);
    const size_t samples = nd == 3 ? static_cast<size_t>(dims[2]) : 1;
    if (static_cast<size_t>(dims[0]) != first_ysize_ ||
        static_cast<size_t>(dims[1]) != first_xsize_ || samples != first_samples_)
        raise_py(PyExc_ValueError, "jxl: frame shape does not match first frame");
}

EncStep JxlWriter::step() const {
    EncStep s;
    s.encoder = encoder_.get();
    s.frame_settings = frame_settings_;
    s.pixel_format = pixel_format_;
    s.out = const_cast<ByteSink *>(&out);
    return s;
}

void JxlWriter::run(EncStep &s) {
    int rc;
    {
        nb::gil_scoped_release release;
        rc = encode_step_nogil(s);
    }
    if (s.add) ++frame_count_;  // a refused frame counts too
    if (s.add && rc != ENC_ERR_ADD_FRAME) ++frames_accepted_;
    switch (rc) {
        case ENC_OK: return;
        case ENC_ERR_REALLOC: raise_py(PyExc_MemoryError, "jxl: failed to grow output buffer");
        case ENC_ERR_ADD_FRAME:
            raise_enc("JxlEncoderAddImageFrame", s.status, JxlEncoderGetError(s.encoder));
        case ENC_ERR_PROCESS:
            raise_enc("JxlEncoderProcessOutput", s.status, JxlEncoderGetError(s.encoder));
        default: raise_jxl("jxl: unknown encode error code " + std::to_string(rc));
    }
}

void JxlWriter::write_frame(nb::handle arr, bool is_last, nb::handle duration,
                            nb::handle name, nb::handle timecode) {
    check_not_busy();
    // After an abandoning __exit__ the encoder is gone: as closed as it gets.
    if (closed_ || !encoder_) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    if (jpeg_frame_)
        raise_py(PyExc_ValueError, "jxl: the stream's only frame is the JPEG given to write_jpeg()");
    // The garbage collector may have cleared the object fields of a writer
    // in an unreachable cycle before a finaliser reaches it.
    if (config_done_ && !first_dtype_.is_valid()) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    // Held for the whole call: Python code run below (array conversion,
    // colour attributes, comparisons) must not re-enter this writer.
    BusyGuard guard(busy_);

    // A chunked frame is read where it lies (a memory map stays a map and is
    // kept alive by `src`); a frame given at once must be C-contiguous.
    nb::object src = nb::borrow(g.np).attr("asarray")(arr);
    const bool chunked =
        PyArray_Check(src.ptr()) && wants_chunked(reinterpret_cast<PyArrayObject *>(src.ptr()));
    if (!chunked) src = nb::borrow(g.np).attr("ascontiguousarray")(src);
    if (!PyArray_Check(src.ptr()) ||
        (!chunked && !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(src.ptr()))))
        raise_py(PyExc_TypeError, "jxl: frame is not convertible to a C-contiguous array");
    PyArrayObject *a = reinterpret_cast<PyArrayObject *>(src.ptr());
    if (!config_done_) {
        // The basic info declares timecodes: a sequence, or one on this frame.
        meta.have_timecodes =
            meta.animation && (meta.timecodes_given || (timecode.is_valid() && !timecode.is_none()));
        configure_from_first_frame(src);
    } else {
        check_matches_first_frame(a);
    }
    if (!opt.animation && frame_count_ > 0)
        raise_py(PyExc_RuntimeError,
                 "jxl: writer is not in animation mode; set animation=True for multi-frame output");

    if (PyArray_TYPE(a) == NPY_FLOAT16 || PyArray_TYPE(a) == NPY_FLOAT32) refuse_non_finite(a);
    if (opt.lossless && PyArray_TYPE(a) == NPY_FLOAT16) keep_half_floats(src);

    ok_or_throw(apply_frame_header(
        encoder_.get(), frame_settings_,
        frame_header_fields(meta, frame_count_, is_last, duration, name, timecode)));
    if (chunked) return write_chunked(a);

    EncStep s = step();
    s.pixels = PyArray_DATA(a);  // in place: libjxl copies what it keeps
    s.nbytes = static_cast<size_t>(PyArray_NBYTES(a));
    // Colour and extra channels go to libjxl separately.
    std::vector<uint8_t> color;
    std::vector<std::vector<uint8_t>> planes;
    std::vector<JxlPixelFormat> formats;
    if (split_) {
        const size_t npix = first_xsize_ * first_ysize_;
        const size_t bytes = bytes_per_sample(pixel_format_.data_type);
        // libjxl takes channels of 8 bits or fewer only as 8-bit samples.
        std::unique_ptr<bool[]> narrow(new bool[extras_.size() + 1]);
        for (size_t k = 0; k < extras_.size(); ++k)
            narrow[k] = pixel_format_.data_type == JXL_TYPE_UINT16 && extras_[k].bits &&
                        extras_[k].bits <= 8;
        try {
            color.resize(npix * ncolor_ * bytes);
            planes.resize(extras_.size());
            formats.resize(extras_.size());
            for (size_t k = 0; k < planes.size(); ++k) {
                planes[k].resize(npix * (narrow[k] ? 1 : bytes));
                formats[k] = {1, narrow[k] ? JXL_TYPE_UINT8 : pixel_format_.data_type,
                              JXL_NATIVE_ENDIAN, 0};
            }
        } catch (const std::bad_alloc &) {
            raise_py(PyExc_MemoryError, "jxl: no memory to split the frame's channels");
        }
        std::vector<uint8_t *> ptrs;
        for (auto &p : planes) ptrs.push_back(p.data());
        {
            nb::gil_scoped_release release;
            split_channels_nogil(static_cast<const uint8_t *>(s.pixels), npix, first_samples_,
                                 bytes, ncolor_, color.data(), ptrs.data(), narrow.get());
        }
        s.pixels = color.data();
        s.nbytes = color.size();
        s.planes = &planes;
        s.plane_formats = &formats;
    }

    // An 8-bit still from a libjxl whose effort-1 lossless coder is flawed
    // (see fast_lossless_sound) is decoded back and, if it differs, made
    // again at effort 2. Only 8-bit samples reach that coder's palette search.
    const bool verify = opt.lossless && opt.effort == 1 && !opt.animation && !split_ &&
                        pixel_format_.data_type == JXL_TYPE_UINT8;
    s.add = true;
    if (opt.animation && !is_last) {
        // libjxl marks a queued frame as the last one only if the input is
        // closed when it is encoded. So an animation frame stays queued until
        // the next write_frame or close: the frames before it are encoded
        // first, and the one still queued at close is encoded as the last.
        s.drain_before = frame_count_ > 0;
    } else {
        // A still image, or a frame the caller marked last: the stream ends here.
        s.close_input = true;
        s.drain_after = true;
    }
    run(s);
    if (verify) {
        const void *pixels = PyArray_DATA(a);
        const size_t nbytes = static_cast<size_t>(PyArray_NBYTES(a));
        bool same;
        {
            // The probe runs libjxl (once per process): not under the lock,
            // and no thread waits for it holding the lock.
            nb::gil_scoped_release unlocked;
            same = fast_lossless_sound() ||
                   decodes_to_nogil(out.data(), out.size(), pixel_format_, pixels, nbytes);
        }
        if (!same) remake_still(src, 2, duration, name, timecode);
    }
}

void JxlWriter::remake_still(nb::handle src, int effort, nb::handle duration, nb::handle name,
                             nb::handle timecode) {
    restart();
    if (closed_) raise_jxl("JxlEncoderCreate returned NULL");
    opt.effort = effort;
    configure_from_first_frame(src);
    ok_or_throw(apply_frame_header(encoder_.get(), frame_settings_,
                                   frame_header_fields(meta, 0, true, duration, name, timecode)));
    auto *a = reinterpret_cast<PyArrayObject *>(src.ptr());
    EncStep s = step();
    s.pixels = PyArray_DATA(a);
    s.nbytes = static_cast<size_t>(PyArray_NBYTES(a));
    s.add = true;
    s.close_input = true;
    s.drain_after = true;
    run(s);
}

namespace {

// The position of the first sample of the (Y, X[, C]) array, in C order and
// any strides, for which `bad(pointer to the sample)` holds; false when none.
template <class Bad>
bool find_sample_nogil(const uint8_t *data, const npy_intp *dims, const npy_intp *strides,
                       int nd, npy_intp at[3], Bad bad) {
    const npy_intp nc = nd == 3 ? dims[2] : 1, sc = nd == 3 ? strides[2] : 0;
    for (npy_intp y = 0; y < dims[0]; ++y)
        for (npy_intp x = 0; x < dims[1]; ++x) {
            const uint8_t *p = data + y * strides[0] + x * strides[1];
            for (npy_intp c = 0; c < nc; ++c)
                if (bad(p + c * sc)) {
                    at[0] = y, at[1] = x, at[2] = c;
                    return true;
                }
        }
    return false;
}

// Whether a float16 sample has a magnitude of 2**-15 to 2**-14 (exponent 0,
// top mantissa bit set).
bool has_upper_subnormals_nogil(const uint8_t *data, const npy_intp *dims,
                                const npy_intp *strides, int nd) {
    npy_intp at[3];
    return find_sample_nogil(data, dims, strides, nd, at, [](const uint8_t *p) {
        uint16_t h;
        std::memcpy(&h, p, 2);
        return (h & 0x7e00) == 0x0200;
    });
}

// The first float sample that is NaN (`nan_only`) or NaN or infinite.
bool first_non_finite_nogil(const uint8_t *data, const npy_intp *dims, const npy_intp *strides,
                            int nd, bool half, bool nan_only, npy_intp at[3]) {
    return find_sample_nogil(data, dims, strides, nd, at, [half, nan_only](const uint8_t *p) {
        if (half) {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return (h & 0x7c00) == 0x7c00 && (!nan_only || (h & 0x03ff) != 0);
        }
        uint32_t f;
        std::memcpy(&f, p, 4);
        return (f & 0x7f800000) == 0x7f800000 && (!nan_only || (f & 0x007fffff) != 0);
    });
}

}  // namespace

void JxlWriter::refuse_non_finite(PyArrayObject *a) {
    // libjxl's lossy coder cannot represent NaN or infinity (one such sample
    // spoils its neighbours, or the whole frame). Its lossless coder keeps
    // them in float32; in float16 it stores NaN's bits, but its decoder turns
    // every sample of the top exponent into a finite value above float16's
    // range, which comes back as infinity: NaN would be lost.
    const bool half = PyArray_TYPE(a) == NPY_FLOAT16;
    if (opt.lossless && !half) return;
    const bool nan_only = opt.lossless;
    npy_intp at[3];
    bool found;
    {
        nb::gil_scoped_release unlocked;
        found = first_non_finite_nogil(reinterpret_cast<const uint8_t *>(PyArray_BYTES(a)),
                                       PyArray_DIMS(a), PyArray_STRIDES(a), PyArray_NDIM(a), half,
                                       nan_only, at);
    }
    if (!found) return;
    std::string where = "[" + std::to_string(at[0]) + ", " + std::to_string(at[1]);
    if (PyArray_NDIM(a) == 3) where += ", " + std::to_string(at[2]);
    where += "]";
    if (opt.animation) where += " of frame " + std::to_string(frame_count_ + 1);
    const void *p = PyArray_NDIM(a) == 3 ? PyArray_GETPTR3(a, at[0], at[1], at[2])
                                         : PyArray_GETPTR2(a, at[0], at[1]);
    nb::object item = nb::steal(PyArray_GETITEM(a, static_cast<const char *>(p)));
    if (!item.is_valid()) throw_current();
    nb::object value = nb::steal(PyNumber_Float(item.ptr()));
    if (!value.is_valid()) throw_current();
    const std::string text = repr_of(value);
    if (nan_only)
        raise_py(PyExc_ValueError,
                 "jxl: libjxl does not keep float16 NaN losslessly (it decodes as infinity); the "
                 "first is sample " + where + " (" + text + "); pass float32 samples to keep NaN");
    raise_py(PyExc_ValueError,
             "jxl: lossy coding cannot represent NaN or infinity; the first is sample " + where +
                 " (" + text + "); encode losslessly or replace them");
}

void JxlWriter::keep_half_floats(nb::handle arr) {
    // libjxl 0.11's lossless coder stores float16 samples of magnitude
    // 2**-15 to 2**-14 (the upper half of the subnormals) wrongly, except
    // through its effort-1 coder of still frames of 1 to 4 channels (float32
    // input or not, measured). Such frames take that coder; where it is not
    // used the frame is refused rather than stored altered.
    auto *a = reinterpret_cast<PyArrayObject *>(arr.ptr());
    bool found;
    {
        nb::gil_scoped_release unlocked;
        found = has_upper_subnormals_nogil(reinterpret_cast<const uint8_t *>(PyArray_BYTES(a)),
                                           PyArray_DIMS(a), PyArray_STRIDES(a), PyArray_NDIM(a));
    }
    if (!found) return;
    if (opt.animation || split_)
        raise_py(PyExc_ValueError,
                 "jxl: libjxl does not store float16 samples between 2**-15 and 2**-14 in "
                 "magnitude losslessly in animations or with more than 4 channels; pass "
                 "float32 samples (or round these to 0 or 2**-14)");
    if (opt.effort != 1)
        check_enc(encoder_.get(),
                  JxlEncoderFrameSettingsSetOption(frame_settings_, JXL_ENC_FRAME_SETTING_EFFORT, 1),
                  "JxlEncoderFrameSettingsSetOption EFFORT");
}

bool JxlWriter::wants_chunked(PyArrayObject *a) const {
    if (g_chunked_mode == kChunkedNever || opt.animation || config_done_ || frame_count_ > 0)
        return false;
    const int nd = PyArray_NDIM(a);
    if ((nd != 2 && nd != 3) || PyArray_SIZE(a) == 0) return false;
    const npy_intp *dims = PyArray_DIMS(a);
    return g_chunked_mode == kChunkedAlways || dims[0] > kChunkedMinSide ||
           dims[1] > kChunkedMinSide;
}

void JxlWriter::write_chunked(PyArrayObject *a) {
    JxlEncoder *enc = encoder_.get();
    // A path's temporary file gets each byte where libjxl puts it; bytes and
    // file-likes get the stream from memory, as from the frame-at-once path.
    if (out.is_file()) out.free_memory();
    sink_ = std::make_unique<ChunkedSink>(&out);
    check_enc(enc, JxlEncoderSetOutputProcessor(enc, sink_->processor()),
              "JxlEncoderSetOutputProcessor");

    FrameLayout f;
    f.data = reinterpret_cast<const uint8_t *>(PyArray_BYTES(a));
    f.xsize = first_xsize_;
    f.ysize = first_ysize_;
    f.samples = first_samples_;
    f.bytes = static_cast<size_t>(PyArray_ITEMSIZE(a));
    const npy_intp *strides = PyArray_STRIDES(a);
    f.ystride = strides[0];
    f.xstride = strides[1];
    f.cstride = PyArray_NDIM(a) == 3 ? strides[2] : static_cast<ptrdiff_t>(f.bytes);
    f.aligned = PyArray_ISALIGNED(a);
    std::vector<JxlPixelFormat> extras;
    for (const ExtraSpec &e : extras_) {
        // As the frame-at-once path: channels of 8 bits or fewer as 8-bit samples.
        const bool narrow = pixel_format_.data_type == JXL_TYPE_UINT16 && e.bits && e.bits <= 8;
        extras.push_back({1, narrow ? JXL_TYPE_UINT8 : pixel_format_.data_type, JXL_NATIVE_ENDIAN, 0});
    }
    ChunkedSource source(f, pixel_format_, split_ ? ncolor_ : 0, std::move(extras));
    ok_or_throw(source.reserve());

    JxlEncoderStatus st;
    {
        nb::gil_scoped_release release;
        st = JxlEncoderAddChunkedFrame(frame_settings_, JXL_TRUE, source.callbacks());
    }
    ++frame_count_;  // a refused frame counts too
    const int err = sink_->error();
    if (err == ENOMEM || source.out_of_memory())
        raise_py(PyExc_MemoryError, "jxl: no memory to encode the frame");
    if (err) ok_or_throw(Status::Os(err, out.target()));  // only a path's file is written now
    if (st != JXL_ENC_SUCCESS)
        raise_enc("JxlEncoderAddChunkedFrame", st, JxlEncoderGetError(enc));
    ++frames_accepted_;
}

void JxlWriter::write_jpeg(nb::handle data, bool verify) {
    check_not_busy();
    if (closed_ || !encoder_) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    BusyGuard guard(busy_);
    if (config_done_ || frame_count_ > 0)
        raise_py(PyExc_ValueError,
                 "jxl: write_jpeg() gives the stream its only frame; this writer already has one");
    if (opt.animation)
        raise_py(PyExc_ValueError, "jxl: write_jpeg() needs a still-image writer (animation=False)");
    // libjxl stores the JPEG's own metadata boxes; others would be lost.
    if (meta.wants_container())
        raise_py(PyExc_ValueError,
                 "jxl: write_jpeg() keeps the JPEG's own EXIF, XMP and JUMBF; open the writer "
                 "without exif, xmp or jumbf");
    nb::bytes raw = whole_input_bytes(data);
    const auto *jpeg = reinterpret_cast<const uint8_t *>(raw.c_str());
    const size_t size = raw.size();
    // As transcode_jpeg: the marker walk first, the DC check in line or
    // beside libjxl, the verdict on the finished stream.
    JpegVerdict verdict(jpeg, size, true, verify, opt.num_threads, !opt.auto_threads);
    JpegCheck check;
    {
        nb::gil_scoped_release unlocked;
        check = verdict.start();
    }
    raise_jpeg_check(check);  // before the encoder is touched
    try {
        add_jpeg(verdict, jpeg, size);
    } catch (...) {
        // Nothing has left the writer: the whole stream is still in memory,
        // so a refused JPEG leaves it as it was before the call.
        restart();
        throw;
    }
}

void JxlWriter::add_jpeg(JpegVerdict &verdict, const uint8_t *jpeg, size_t size) {
    // The JPEG's size is not known here: the default count, as transcode_jpeg.
    if (opt.auto_threads) runner_.threads = opt.num_threads;
    // As transcode_jpeg: the container with reconstruction data, the JPEG's
    // own metadata, Brotli effort 9; the writer's effort.
    JxlEncoder *enc = encoder_.get();
    auto ok = [&](JxlEncoderStatus st, const char *name) {
        if (st != JXL_ENC_SUCCESS) raise_enc(name, st, JxlEncoderGetError(enc));
    };
    ok(JxlEncoderUseContainer(enc, JXL_TRUE), "JxlEncoderUseContainer");
    ok(JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE), "JxlEncoderStoreJPEGMetadata");
    frame_settings_ = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!frame_settings_) raise_jxl("JxlEncoderFrameSettingsCreate returned NULL");
    ok(JxlEncoderFrameSettingsSetOption(frame_settings_, JXL_ENC_FRAME_SETTING_EFFORT, opt.effort),
       "JxlEncoderFrameSettingsSetOption EFFORT");
    ok(JxlEncoderFrameSettingsSetOption(frame_settings_, JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9),
       "JxlEncoderFrameSettingsSetOption BROTLI_EFFORT");
    ok_or_throw(out.reserve((size + kOutbufGranule) / kOutbufGranule * kOutbufGranule));
    config_done_ = true;
    jpeg_frame_ = true;

    int rc, status = 0, err = -1;
    JpegCheck check;
    {
        nb::gil_scoped_release unlocked;
        rc = add_jpeg_frame_nogil(enc, frame_settings_, jpeg, size, &status, &err);
        if (rc != 0) check = verdict.dc_refusal();
    }
    ++frame_count_;
    if (rc != 0) {
        raise_jpeg_check(check);
        raise_add_jpeg_frame(status, err);
    }
    ++frames_accepted_;
    EncStep s = step();
    s.close_input = true;
    s.drain_after = true;
    try {
        run(s);
    } catch (...) {
        {
            nb::gil_scoped_release unlocked;
            check = verdict.dc_refusal();
        }
        raise_jpeg_check(check);
        throw;
    }
    {
        nb::gil_scoped_release unlocked;
        check = verdict.finish(out.data(), out.size());
    }
    raise_jpeg_check(check);
}

void JxlWriter::restart() noexcept {
    release_native();
    config_done_ = false;
    jpeg_frame_ = false;
    frame_count_ = 0;
    frames_accepted_ = 0;
    try {
        create_encoder();
    } catch (...) {
        finish();
    }
}

void JxlWriter::flush_to_dest() {
    if (out.size() == 0 || opt.is_buffer) return;
    if (!opt.dest.is_valid()) raise_py(PyExc_RuntimeError, "jxl: destination already released");
    nb::object payload = nb::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(out.data()), static_cast<Py_ssize_t>(out.size())));
    if (!payload.is_valid()) throw_current();
    opt.dest.attr("write")(payload);
    out.clear();
}

nb::object JxlWriter::close() {
    check_not_busy();
    if (closed_) return nb::none();
    BusyGuard guard(busy_);
    // A stream without frames is not a JPEG XL file: nothing is delivered.
    if (frames_accepted_ == 0 && encoder_) {
        finish();
        raise_py(PyExc_ValueError, "jxl: no frames were written");
    }
    // A chunked frame was the whole stream, written when it was added.
    if (encoder_ && !sink_) {
        JxlEncoderCloseInput(encoder_.get());
        EncStep s = step();
        s.drain_after = true;
        try {
            run(s);
        } catch (...) {
            if (opt.own_dest) finish();  // nothing of it reaches the target
            throw;
        }
    }
    nb::object result = nb::none();
    if (opt.is_buffer) {
        PyObject *b = PyBytes_FromStringAndSize(
            out.data() ? reinterpret_cast<const char *>(out.data()) : "",
            static_cast<Py_ssize_t>(out.size()));
        if (!b) throw_current();
        result = nb::steal(b);
    } else if (opt.own_dest) {
        const Status committed = out.commit();
        if (!committed.ok()) {
            finish();
            throw_status(committed);
        }
    } else {
        flush_to_dest();  // a failed write keeps the stream for another close()
    }
    release_native();
    closed_ = true;
    return result;
}

void JxlWriter::finish() noexcept {
    release_native();
    discard_dest();
    closed_ = true;
}

void JxlWriter::abandon() {
    check_not_busy();
    release_native();
    discard_dest();
}

// ---- binding ---------------------------------------------------------------

namespace {

JxlWriter &ready_writer(nb::handle self) {
    // JxlWriter.__new__ alone gives an instance with no C++ state.
    if (!nb::inst_ready(self)) raise_py(PyExc_TypeError, "jxl: JxlWriter.__init__ has not run");
    return *nb::inst_ptr<JxlWriter>(self);
}

nb::object encode(nb::handle arr_in, const WriterValues &v) {
    nb::object arr = nb::borrow(g.np).attr("asarray")(arr_in);
    const bool anim = truthy(v[kAnimation]);
    // Checked before the writer exists, so no destination file is created.
    if (anim && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(arr.ptr())) < 3)
        raise_py(PyExc_ValueError, "animation requires (T, Y, X[, C]) input");
    for (const char *name : {"duration", "timecodes"}) {
        const nb::handle per_frame = v[option_index(kWriterOptions, name)];
        if (anim && PySequence_Check(per_frame.ptr()) && !PyUnicode_Check(per_frame.ptr())) {
            const Py_ssize_t n = PySequence_Size(per_frame.ptr());
            if (n < 0) throw_current();
            const npy_intp t = PyArray_DIMS(reinterpret_cast<PyArrayObject *>(arr.ptr()))[0];
            if (n != t)
                raise_py(PyExc_ValueError, std::string(name) + " has " + std::to_string(n) +
                                               " entries for " + std::to_string(t) + " frames");
        }
    }

    nb::kwargs kw;
    for (size_t i = 0; i < kWriterOptionCount; ++i) kw[kWriterOptions[i].name] = v[i];
    nb::object wobj = nb::type<JxlWriter>()(**kw);
    JxlWriter &w = *nb::inst_ptr<JxlWriter>(wobj);
    nb::object result;
    try {
        if (anim) {
            const npy_intp t = PyArray_DIMS(reinterpret_cast<PyArrayObject *>(arr.ptr()))[0];
            for (npy_intp i = 0; i < t; ++i) {
                PyObject *f = PySequence_GetItem(arr.ptr(), i);
                if (!f) throw_current();
                w.write_frame(nb::steal(f), i == t - 1);
            }
        } else {
            w.write_frame(arr, true);
        }
        result = w.close();
    } catch (...) {
        // Leaving the context with an exception abandons the stream.
        w.release_native();
        throw;
    }
    return result;
}

}  // namespace

void register_writer(nb::module_ &m) {
    nb::class_<JxlWriter> cls(m, "JxlWriter", nb::type_slots(GcSlots<JxlWriter>::slots),
                              "Streaming JPEG XL encoder.\n\n"
                              "Frames are NumPy arrays of shape (Y, X) or (Y, X, C), C in 1..4\n"
                              "(L, LA, RGB, RGBA), of uint8, uint16, float16 or float32. The\n"
                              "compressed stream is collected in memory and delivered by close():\n"
                              "returned as bytes when `dest` is None, else written in one call to\n"
                              "the path or file-like `dest`. A still image with a side above 2048\n"
                              "pixels is read from the array where it lies (a memory map is not\n"
                              "copied) in sections, and a path gets the stream as it is made; the\n"
                              "file appears at the path only when close() succeeds.");

    using Init = ParamList<kWriterOptions, Callable::Constructor, 0>;
    bind_options<kWriterOptions, Callable::Constructor, JxlWriter *>(
        cls, "__init__",
        [](JxlWriter *self, const WriterValues &v) {
            new (self) JxlWriter();
            try {
                self->init(v.data());
            } catch (...) {
                // nanobind runs no destructor for an instance whose __init__ failed.
                self->abort_init();
                self->~JxlWriter();
                throw;
            }
        },
        std::array<const char *, 0>{}, Init::signature("__init__", true, {}, "None"),
        "Open a writer; see the class docstring for the options.");

    cls.def(
        "write_frame",
        [](JxlWriter &w, nb::handle arr, nb::handle is_last, nb::handle duration,
           nb::handle name, nb::handle timecode) {
            w.write_frame(arr, truthy(is_last), duration, name, timecode);
        },
        "arr"_a.none(), nb::kw_only(), "is_last"_a.none() = false,
        "duration"_a.none() = nb::none(), "name"_a.none() = nb::none(),
        "timecode"_a.none() = nb::none(),
        nb::sig("def write_frame(self, arr: object, *, is_last: object = False, "
                "duration: object = None, name: object = None, timecode: object = None) -> None"),
        "Encode one frame.\n\n"
        "The first frame fixes size, channels and sample type; later frames (animation\n"
        "writers only) must match it. `is_last` marks the final animation frame;\n"
        "`duration` (seconds) overrides the writer's for this frame, `name` names it,\n"
        "`timecode` (SMPTE, 0xHHMMSSFF) stamps it: a timecode on the first frame (or\n"
        "the writer's `timecodes`) makes every frame carry one.");
    cls.def(
        "write_jpeg", [](JxlWriter &w, nb::handle data, nb::handle verify) {
            w.write_jpeg(data, truthy(verify));
        }, "data"_a.none(), nb::kw_only(), "verify"_a.none() = true,
        nb::sig("def write_jpeg(self, data: object, *, verify: bool = True) -> None"),
        "Add a JPEG as the stream's only frame, recompressed losslessly.\n\n"
        "`data` is JPEG bytes, a path or a binary file-like. As transcode_jpeg():\n"
        "the DCT coefficients are kept, with the JPEG's EXIF, XMP and JUMBF and the\n"
        "data reconstruct_jpeg() needs to rebuild the file; the writer's `effort`\n"
        "applies, its quality and colour options do not. Only on a still-image\n"
        "writer with no frame yet. The stream is made by this call and kept in\n"
        "memory until close(). A JPEG transcode_jpeg() refuses (not one, truncated,\n"
        "one libjxl cannot recompress, would not rebuild bit for bit or that\n"
        "reconstruct_jpeg() would refuse to rebuild from its stream) raises the same\n"
        "ValueError here; nothing reaches the destination and the writer stays\n"
        "ready for a frame. `verify` is transcode_jpeg()'s: the JPEG is rebuilt\n"
        "from the stream and compared unless it is False.");
    cls.def("close", &JxlWriter::close, nb::sig("def close(self) -> bytes | None"),
            "Finalize encoding and release resources.\n\n"
            "Returns the stream as bytes in memory mode, else None after writing it to\n"
            "the destination. A second call returns None.");
    cls.def("__enter__", [](nb::handle self) { return nb::borrow(self); });
    cls.def(
        "__exit__",
        [](nb::handle self, nb::handle exc_type, nb::handle, nb::handle) {
            JxlWriter &w = ready_writer(self);
            if (exc_type.is_none())
                self.attr("close")();
            else
                w.abandon();
            return false;
        },
        "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());
    cls.def("__reduce__", [](nb::handle self) { refuse_pickle(self); });
    cls.def("__setstate__", [](nb::handle self, nb::handle) { refuse_pickle(self); },
            "state"_a.none());
    // Internal: set while a lock-free step runs (tests of the concurrency guard).
    cls.def_prop_ro("_busy", [](const JxlWriter &w) { return w.busy_; });

    using Encode = ParamList<kWriterOptions, Callable::Function, 1>;
    bind_options<kWriterOptions, Callable::Function, nb::handle>(
        m, "encode", &encode, std::array<const char *, 1>{"arr"},
        Encode::signature("encode", false, {ParamText{"arr", "npt.ArrayLike", kRequired}},
                          "bytes | None"),
        "Encode a single ndarray (or animation stack) to JPEG XL bytes.\n\n"
        "`arr` is one frame, (Y, X) or (Y, X, C), or with animation=True a stack\n"
        "(T, Y, X[, C]) of T frames. Returns bytes, or None when `dest` is given.\n"
        "The options are JxlWriter's.");

    nb::dict options = m.attr("_OPTIONS");
    options["JxlWriter"] = describe_options(kWriterOptions);

    m.def(
        "_dtype_to_jxl",
        [](nb::handle dtype) {
            JxlDataType t;
            uint32_t bps = 0, exp = 0;
            dtype_to_jxl(dtype, &t, &bps, &exp);
            return nb::make_tuple(static_cast<int>(t), bps, exp);
        },
        "dtype"_a.none());
}

#ifdef QM_TESTING_HOOKS
// Which frames go to libjxl in rectangles (comparisons in tests and
// benchmarks). Returns the mode in force before; None only reads it.
void add_writer_testing_hooks(nb::module_ &testing) {
    testing.def(
        "chunked_mode",
        [](nb::handle mode) {
            const char *before = kChunkedModeNames[g_chunked_mode];
            if (!mode.is_none()) {
                const char *u = PyUnicode_Check(mode.ptr()) ? PyUnicode_AsUTF8(mode.ptr()) : "";
                if (!u) throw_current();
                const std::string m = u;
                size_t i = 0;
                while (i < std::size(kChunkedModeNames) && m != kChunkedModeNames[i]) ++i;
                if (i == std::size(kChunkedModeNames))
                    raise_py(PyExc_ValueError, "mode must be 'auto', 'never' or 'always'");
                g_chunked_mode = static_cast<ChunkedMode>(i);
            }
            return nb::str(before);
        },
        "mode"_a.none() = nb::none());
}
#endif

}  // namespace qmjxl
