// JxlWriter's options and its Python surface: the option table (the one
// place where an argument meets its EncodeOptions field), the constructor,
// encode, the methods' bindings and the writer's internal hooks.
#include "bind_writer.h"

#include "bind_options.h"
#include "bind_sink.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

using namespace nb::literals;

namespace qmjxl {

namespace {

// The chunked mode new writers take: set through the testing hooks only.
#ifdef QM_TESTING_HOOKS
// Atomic: without the GIL, writers are made while a test sets it.
std::atomic<ChunkedMode> g_chunked_mode{ChunkedMode::kAuto};
constexpr const char *kChunkedModeNames[] = {"auto", "never", "always"};
#else
constexpr ChunkedMode g_chunked_mode = ChunkedMode::kAuto;
#endif

nb::object to_int(nb::handle h) {
    PyObject *r = PyNumber_Long(h.ptr());
    if (!r) throw_current();
    return nb::steal(r);
}

}  // namespace

// ---- small conversions with Python's semantics ---------------------------

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

nb::object get_attr(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (!r) throw_current();
    return nb::steal(r);
}

nb::object get_attr_optional(nb::handle obj, const char *name) {
    PyObject *r = PyObject_GetAttrString(obj.ptr(), name);
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(r);
}

nb::object import_color_name(const char *name) {
    nb::module_ mod = nb::module_::import_("quillmarsh.core.color");
    nb::object v = get_attr_optional(mod, name);
    if (!v.is_valid())
        raise_py(PyExc_ImportError, std::string("cannot import name '") + name +
                                        "' from 'quillmarsh.core.color'");
    return v;
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


SampleType dtype_to_jxl(nb::handle dtype) {
    nb::object dt = nb::borrow(g.np).attr("dtype")(dtype);
    struct Row {
        PyObject *type;
        SampleType sample;
    };
    const Row rows[] = {
        {g.t_uint8, {JXL_TYPE_UINT8, 8, 0}},
        {g.t_uint16, {JXL_TYPE_UINT16, 16, 0}},
        {g.t_float32, {JXL_TYPE_FLOAT, 32, 8}},
        {g.t_float16, {JXL_TYPE_FLOAT16, 16, 5}},
    };
    for (const Row &r : rows) {
        int eq = PyObject_RichCompareBool(dt.ptr(), r.type, Py_EQ);
        if (eq < 0) throw_current();
        if (eq) return r.sample;
    }
    raise_py(PyExc_ValueError, "jxl: unsupported dtype " + repr_of(dt) +
                                   " (want uint8, uint16, float16, or float32)");
}

// ---- options -----------------------------------------------------------------

namespace {

using Args = OptionArgs;

// None gives 0.0 (not given); otherwise a float32 that must be >= 0.
float nonneg_float_option(nb::handle h, const char *msg) {
    if (h.is_none()) return 0.0f;
    float v = to_float32(h);
    if (v < 0.0f) raise_py(PyExc_ValueError, msg);
    return v;
}

EncodeOptions &options_of(JxlWriter &w) { return w.session.options(); }

void parse_dest(JxlWriter &w, nb::handle dest, const Args &) {
    WriterDest &o = w.dest;
    if (dest.is_none()) {
        o.file = nb::none();
        o.is_buffer = true;
    } else if (is_path(dest)) {
        // A temporary file beside the target, renamed over it only by a
        // successful close: a failure never touches an existing file. A
        // missing folder or an unwritable target is refused now.
        o.file = nb::none();
        o.is_path = true;
        open_path_sink(w.session.out(), dest);
    } else if (get_attr_optional(dest, "write").is_valid()) {
        o.file = nb::borrow(dest);
    } else {
        raise_py(PyExc_TypeError, "dest must be path, file-like, or None; got " +
                                      str_of(reinterpret_cast<PyObject *>(Py_TYPE(dest.ptr()))));
    }
}

void parse_color(JxlWriter &w, nb::handle color, const Args &) {
    w.args.color_spec = import_color_name("parse_color")(color);
}

// quality, distance and lossless decide together.
void parse_quality(JxlWriter &w, nb::handle, const Args &all) {
    EncodeOptions &o = options_of(w);
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

// A bound on every integer sample's error: the frame is coded losslessly
// after its samples move onto a grid (jxlcore/bounded_error.h).
void parse_max_error(JxlWriter &w, nb::handle v, const Args &all) {
    if (v.is_none()) return;
    const double e = PyFloat_AsDouble(v.ptr());
    if (e == -1.0 && PyErr_Occurred()) throw_current();
    if (!(e >= 0.0 && std::isfinite(e)))
        raise_py(PyExc_ValueError, "jxl: max_error must be 0 or more (got " + str_of(v.ptr()) + ")");
    if (e == 0.0) return;
    if (!all["quality"].is_none() || !all["distance"].is_none() ||
        (!all["lossless"].is_none() && !truthy(all["lossless"])))
        raise_py(PyExc_ValueError, "jxl: pass max_error or a lossy quality/distance, not both");
    EncodeOptions &o = options_of(w);
    o.max_error = e;
    o.lossless = true;
    o.distance = 0.0f;
}

void parse_effort(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).effort = resolve_effort(v, EncodeOptions{}.effort);
}

void parse_decoding_speed(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).decoding_speed = truthy(v) ? static_cast<int>(clamp_int(v, 0, 4)) : 0;
}

void parse_progressive(JxlWriter &w, nb::handle v, const Args &) { options_of(w).progressive = truthy(v); }
void parse_numthreads(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).num_threads = resolve_numthreads(v);
    options_of(w).auto_threads = v.is_none();
}
void parse_animation(JxlWriter &w, nb::handle v, const Args &) { options_of(w).animation = truthy(v); }
void parse_container(JxlWriter &w, nb::handle v, const Args &) { options_of(w).container = truthy(v); }

void parse_intensity_target(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).display.intensity_target = nonneg_float_option(v, "intensity_target must be >= 0");
}
void parse_min_nits(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).display.min_nits = nonneg_float_option(v, "min_nits must be >= 0");
}

// None: -1 (not given); otherwise the truth value.
int tri_state(nb::handle v) { return v.is_none() ? -1 : (truthy(v) ? 1 : 0); }

void parse_relative_to_max_display(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).display.relative_to_max_display = tri_state(v);
}

void parse_linear_below(JxlWriter &w, nb::handle v, const Args &) {
    options_of(w).display.linear_below = nonneg_float_option(v, "linear_below must be >= 0");
    // Relative to the display's peak, linear_below is a fraction. libjxl
    // refuses more than 1 only deep in encoding, and builds without NDEBUG
    // (Debian's packages) abort the process there instead.
    if (options_of(w).display.relative_to_max_display == 1 && options_of(w).display.linear_below > 1.0f)
        raise_py(PyExc_ValueError,
                 "linear_below must be <= 1 when relative_to_max_display is true");
}

// As libjxl's COLOR_TRANSFORM values.
void parse_color_transform(JxlWriter &w, nb::handle v, const Args &) {
    int &ct = options_of(w).color_transform;
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

void parse_modular(JxlWriter &w, nb::handle v, const Args &) { options_of(w).modular = tri_state(v); }

// An owned copy; its content is libjxl's to judge.
void parse_icc_profile(JxlWriter &w, nb::handle v, const Args &) {
    if (v.is_none()) {
        options_of(w).icc_profile.clear();
        return;
    }
    if (!is_bytes_like(v)) {
        nb::handle tp(reinterpret_cast<PyObject *>(Py_TYPE(v.ptr())));
        raise_py(PyExc_TypeError, "icc_profile must be bytes-like; got " + str_of(tp.attr("__name__")));
    }
    nb::object copy = nb::steal(PyBytes_FromObject(v.ptr()));
    if (!copy.is_valid()) throw_current();
    const Py_ssize_t n = PyBytes_GET_SIZE(copy.ptr());
    if (n < 128)
        raise_py(PyExc_ValueError, "icc_profile too short (" + std::to_string(n) +
                                       " bytes); a valid ICC profile is at least 128 bytes");
    options_of(w).icc_profile.assign(PyBytes_AS_STRING(copy.ptr()), static_cast<size_t>(n));
}

void parse_channels(JxlWriter &w, nb::handle v, const Args &) {
    if (!v.is_none() && (PyUnicode_Check(v.ptr()) || !PySequence_Check(v.ptr())))
        raise_py(PyExc_TypeError, "jxl: channels must be a list of channel type names or dicts");
    w.args.channels = nb::borrow(v);
}

void parse_color_channels(JxlWriter &w, nb::handle v, const Args &) {
    if (v.is_none()) return;
    const long long cc = clamp_int(v, 0, 4);
    if (cc != 1 && cc != 3)
        raise_py(PyExc_ValueError, "jxl: color_channels must be 1 or 3 (got " + repr_of(v) + ")");
    options_of(w).color_channels = static_cast<int>(cc);
}

void parse_extra_channel_distance(JxlWriter &w, nb::handle v, const Args &) {
    w.args.extra_channel_distance = nb::borrow(v);
}

void parse_meta(JxlWriter &w, nb::handle loops, const Args &all) {
    parse_encode_meta(w.session.meta(), all["exif"], all["xmp"], all["jumbf"], all["compress_boxes"],
                      all["duration"], loops, all["timecodes"], truthy(all["animation"]));
}

// A target chooses the distance itself: checked before a destination opens.
void parse_target(JxlWriter &w, nb::handle, const Args &all) {
    QualityTarget &t = w.target;
    nb::handle score = all["target_score"], size = all["target_size"];
    if (score.is_none() && size.is_none()) return;
    if (!score.is_none() && !size.is_none())
        raise_py(PyExc_ValueError, "jxl: pass target_score or target_size, not both");
    const nb::handle lossless = all["lossless"];
    if (!all["quality"].is_none() || !all["distance"].is_none() || !all["max_error"].is_none() ||
        (!lossless.is_none() && truthy(lossless)))
        raise_py(PyExc_ValueError,
                 "jxl: target_score and target_size choose the distance; pass no quality, "
                 "distance, lossless or max_error with them");
    if (truthy(all["animation"]))
        raise_py(PyExc_ValueError,
                 "jxl: target_score and target_size apply to still images (animation=False)");
    if (!score.is_none()) {
        const double s = PyFloat_AsDouble(score.ptr());
        if (s == -1.0 && PyErr_Occurred()) throw_current();
        if (!(s >= 0.0 && s <= 100.0))  // NaN too
            raise_py(PyExc_ValueError, "jxl: target_score must be a SSIMULACRA 2 score from 0 "
                                       "to 100 (got " + repr_of(score) + ")");
        t.score = s;
    } else {
        const long long n = clamp_int(size, 0, std::numeric_limits<long long>::max());
        if (n < 1)
            raise_py(PyExc_ValueError, "jxl: target_size must be a positive number of bytes "
                                       "(got " + repr_of(size) + ")");
        t.size = n;
    }
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
    {"max_error", "float | None", "None", "None", false, 20, parse_max_error},
    // Metadata and timing, checked before a destination path is opened.
    {"exif", "bytes | None", "None", "None", false, 1, nullptr},  // in parse_meta
    {"xmp", "bytes | str | None", "None", "None", false, 1, nullptr},
    {"jumbf", "bytes | None", "None", "None", false, 1, nullptr},
    {"compress_boxes", "bool", "False", "False", false, 1, nullptr},
    {"duration", "float | Sequence[float] | None", "None", "None", false, 1, nullptr},
    {"loops", "int", "0", "0", false, 1, parse_meta},
    {"timecodes", "Sequence[int] | None", "None", "None", false, 1, nullptr},  // in parse_meta
    {"target_score", "float | None", "None", "None", false, 1, nullptr},  // in parse_target
    {"target_size", "int | None", "None", "None", false, 1, parse_target},
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
    session.options().chunked = g_chunked_mode;
    parse_options(*this, kWriterOptions, v);
    if (target.given()) {
        // The trials take every option but those that choose the distance
        // and the destination.
        nb::dict trial;
        for (size_t i = 0; i < kWriterOptionCount; ++i) {
            const std::string name = kWriterOptions[i].name;
            if (name != "dest" && name != "quality" && name != "distance" && name != "lossless" &&
                name != "target_score" && name != "target_size")
                trial[kWriterOptions[i].name] = v[i];
        }
        target.options = trial;
    }
    ok_or_throw(session.start());
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
            arr = w.float_grid(std::move(arr), true);  // one grid for every frame
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
        w.session.out().discard();
        throw;
    }
    return result;
}

void def_writer_protocol(nb::class_<JxlWriter> &cls);

void def_writer_class(nb::module_ &m) {
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
        nb::lock_self(), "arr"_a.none(), nb::kw_only(), "is_last"_a.none() = false,
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
        }, nb::lock_self(), "data"_a.none(), nb::kw_only(), "verify"_a.none() = true,
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
    def_writer_protocol(cls);
}

void def_writer_protocol(nb::class_<JxlWriter> &cls) {
    cls.def("close", &JxlWriter::close, nb::lock_self(), nb::sig("def close(self) -> bytes | None"),
            "Finalize encoding and release resources.\n\n"
            "Returns the stream as bytes in memory mode, else None after writing it to\n"
            "the destination. A second call returns None.");
    cls.def("__enter__", [](nb::handle self) { return nb::borrow(self); });
    cls.def(
        "__exit__",
        [](nb::handle self, nb::handle exc_type, nb::handle, nb::handle) {
            JxlWriter &w = ready_writer(self);
            if (exc_type.is_none()) {
                self.attr("close")();
            } else {
                nb::ft_object_guard lock(self);
                w.abandon();
            }
            return false;
        },
        "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());
    cls.def("__reduce__", [](nb::handle self) { refuse_pickle(self); });
    cls.def("__setstate__", [](nb::handle self, nb::handle) { refuse_pickle(self); },
            "state"_a.none());
    cls.def_prop_ro(
        "target_result", [](const JxlWriter &w) { return or_none(w.target.result); },
        nb::lock_self(), nb::sig("def target_result(self) -> TargetResult | None"),
        "What the frame written to target_score or target_size reached: a TargetResult\n"
        "(distance, score, size, encodes, sample_encodes); None before that frame or\n"
        "without a target.");
    // Internal: set while a lock-free step runs (tests of the concurrency guard).
    cls.def_prop_ro("_busy", [](const JxlWriter &w) { return w.busy_; }, nb::lock_self());
}

void def_encode(nb::module_ &m) {
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
}

void def_dtype_to_jxl(nb::module_ &m) {
    m.def(
        "_dtype_to_jxl",
        [](nb::handle dtype) {
            const SampleType t = dtype_to_jxl(dtype);
            return nb::make_tuple(static_cast<int>(t.type), t.bits, t.exponent_bits);
        },
        "dtype"_a.none());
}

}  // namespace

void register_writer(nb::module_ &m) {
    def_writer_class(m);
    def_encode(m);
    def_dtype_to_jxl(m);
}

#ifdef QM_TESTING_HOOKS
// Which frames new writers send to libjxl in rectangles (comparisons in
// tests and benchmarks). Returns the mode in force before; None only reads it.
void add_writer_testing_hooks(nb::module_ &testing) {
    testing.def(
        "chunked_mode",
        [](nb::handle mode) {
            const char *before = kChunkedModeNames[static_cast<int>(g_chunked_mode.load())];
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
