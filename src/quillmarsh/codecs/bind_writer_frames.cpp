// JxlWriter's frames: the first frame's configuration read from its array
// and the writer's options, whole and chunked frames and JPEGs handed to the
// EncoderSession with the interpreter lock released, and delivery.
#include "bind_writer.h"

#include "jxlcore/bounded_error.h"
#include "jxlcore/jpeg.h"
#include "jxlcore/sample_scan.h"

#include <limits>

namespace qmjxl {

namespace {

const char *const kInUse = "jxl: JxlWriter is in use by another thread";

// A colour-description attribute as a libjxl enum value: a non-negative
// integer of at most 32 bits, else OverflowError.
uint32_t enum_attr(nb::handle spec, const char *name) {
    nb::object v = get_attr(spec, name);
    nb::object idx = nb::steal(PyNumber_Index(v.ptr()));
    if (!idx.is_valid()) throw_current();
    unsigned long long x = PyLong_AsUnsignedLongLong(idx.ptr());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_current();
    if (x > std::numeric_limits<uint32_t>::max())
        raise_py(PyExc_OverflowError,
                 std::string("value too large to convert to unsigned int (") + name + ")");
    return static_cast<uint32_t>(x);
}

bool given(const nb::object &o) { return o.is_valid() && !o.is_none(); }

// The frame as libjxl gets it when its integer samples are bounded: values
// above a channel's declared bits refused (libjxl would clip them), and
// with max_error a copy of the samples moved onto the error grid.
nb::object bounded_frame(const EncoderSession &session, nb::object src, bool *chunked,
                         bool indices) {
    const FrameConfig &c = session.config();
    // Float samples reach here only when stored losslessly; grid indices are
    // on their grid already.
    const bool floats = c.sample.type == JXL_TYPE_FLOAT || c.sample.type == JXL_TYPE_FLOAT16;
    const double max_error = floats || indices ? 0.0 : session.options().max_error;
    if (!(max_error > 0) && !c.channels.codestream_depth) return src;
    std::vector<uint32_t> extra_bits;
    for (const ExtraSpec &e : c.channels.extras) extra_bits.push_back(e.bits);
    const size_t ncolor = c.channels.split ? c.channels.ncolor : c.samples;
    const std::vector<uint32_t> tops =
        channel_tops(c.samples, c.sample.bits, c.channels.color_bits, ncolor, extra_bits);
    if (*chunked) {  // read in place otherwise; the checks want it whole
        src = nb::borrow(g.np).attr("ascontiguousarray")(src);
        *chunked = false;
    }
    auto *a = reinterpret_cast<PyArrayObject *>(src.ptr());
    const size_t count = static_cast<size_t>(PyArray_SIZE(a));
    const JxlDataType type = c.sample.type;
    Status s;
    if (c.channels.codestream_depth) {
        nb::gil_scoped_release unlocked;
        s = check_sample_range(PyArray_DATA(a), count, type, tops);
    }
    ok_or_throw(s);
    if (!(max_error > 0)) return src;
    nb::object out = nb::borrow(g.np).attr("empty_like")(src);
    auto *o = reinterpret_cast<PyArrayObject *>(out.ptr());
    {
        nb::gil_scoped_release unlocked;
        s = snap_to_grid(PyArray_DATA(a), PyArray_DATA(o), count, type, tops, max_error);
    }
    ok_or_throw(s);
    return out;
}

std::string type_name_of(nb::handle h) {
    return str_of(reinterpret_cast<PyObject *>(Py_TYPE(h.ptr())));
}

// One channels= entry: a type name, or a dict of type, name, bits,
// spot_color and alpha_premultiplied. The Python side of the checks.
ChannelEntry channel_entry(size_t i, nb::handle entry) {
    nb::object type_obj, name_obj, bits_obj, spot_obj, premul_obj;
    const std::string where = "jxl: channel " + std::to_string(i);
    if (PyUnicode_Check(entry.ptr())) {
        type_obj = nb::borrow(entry);
    } else if (PyDict_Check(entry.ptr())) {
        for (auto item : nb::borrow<nb::dict>(entry)) {
            const std::string key = nb::str(item.first).c_str();
            if (key == "type") type_obj = nb::borrow(item.second);
            else if (key == "name") name_obj = nb::borrow(item.second);
            else if (key == "bits") bits_obj = nb::borrow(item.second);
            else if (key == "spot_color") spot_obj = nb::borrow(item.second);
            else if (key == "alpha_premultiplied") premul_obj = nb::borrow(item.second);
            else
                raise_py(PyExc_ValueError, where + " has an unknown key " + repr_of(item.first) +
                                               " (known: type, name, bits, spot_color, "
                                               "alpha_premultiplied)");
        }
        if (!type_obj.is_valid()) raise_py(PyExc_ValueError, where + " has no \"type\"");
    } else {
        raise_py(PyExc_TypeError,
                 where + " must be a type name or a dict (got " + type_name_of(entry) + ")");
    }
    if (!PyUnicode_Check(type_obj.ptr())) raise_py(PyExc_TypeError, where + " type must be text");
    ChannelEntry e;
    e.type = nb::str(type_obj).c_str();
    e.type_repr = repr_of(type_obj);
    if (given(bits_obj)) {
        e.has_bits = true;
        e.bits = clamp_int(bits_obj, 0, 64);
    }
    if (e.type == "color") return e;  // colour takes bits only
    if (given(name_obj)) {
        if (!PyUnicode_Check(name_obj.ptr()))
            raise_py(PyExc_TypeError,
                     where + " name must be text (got " + type_name_of(name_obj) + ")");
        e.name = nb::str(name_obj).c_str();
    }
    if (given(spot_obj)) {
        e.has_spot = true;
        e.spot_count = nb::len(spot_obj);
        if (e.spot_count == 4)
            for (int k = 0; k < 4; ++k) e.spot[k] = to_float32(spot_obj[k]);
    }
    if (premul_obj.is_valid()) e.premultiplied = truthy(premul_obj) ? 1 : 0;
    return e;
}

StridedFrame strided(PyArrayObject *a) {
    StridedFrame f;
    f.data = reinterpret_cast<const uint8_t *>(PyArray_BYTES(a));
    f.ndim = PyArray_NDIM(a);
    for (int i = 0; i < f.ndim && i < 3; ++i) {
        f.dims[i] = PyArray_DIMS(a)[i];
        f.strides[i] = PyArray_STRIDES(a)[i];
    }
    return f;
}

}  // namespace

// ---- first frame -----------------------------------------------------------

ChannelLayout JxlWriter::resolve_channels(size_t samples, const SampleType &sample) const {
    const int color_channels = session.options().color_channels;
    // Cleared by the garbage collector: as if never given.
    if (!given(args.channels))
        return value_or_throw(implicit_channel_layout(samples, color_channels));
    const nb::object &list = args.channels;
    ok_or_throw(ChannelListBuilder::check_count(nb::len(list), samples));
    ChannelListBuilder builder(sample);
    for (size_t i = 0; i < samples; ++i) ok_or_throw(builder.add(i, channel_entry(i, list[i])));
    return value_or_throw(builder.finish(color_channels));
}

ColorRequest JxlWriter::color_request() const {
    ColorRequest r;
    if (!given(args.color_spec)) return r;
    const nb::handle spec = args.color_spec;
    r.given = true;
    nb::object hdr = get_attr_optional(spec, "is_hdr");
    r.hdr = hdr.is_valid() && truthy(hdr);
    JxlColorEncoding &c = r.encoding;
    if (r.hdr) c.transfer_function = static_cast<JxlTransferFunction>(enum_attr(spec, "transfer"));
    if (!session.options().icc_profile.empty()) return r;  // the profile describes the colour
    c.white_point = static_cast<JxlWhitePoint>(enum_attr(spec, "white_point"));
    c.primaries = static_cast<JxlPrimaries>(enum_attr(spec, "primaries"));
    c.transfer_function = static_cast<JxlTransferFunction>(enum_attr(spec, "transfer"));
    c.rendering_intent = static_cast<JxlRenderingIntent>(enum_attr(spec, "rendering_intent"));
    nb::object transfer = get_attr(spec, "transfer");
    const int eq = PyObject_RichCompareBool(transfer.ptr(),
                                            import_color_name("JXL_TF_GAMMA").ptr(), Py_EQ);
    if (eq < 0) throw_current();
    if (eq) {
        const double gv = PyFloat_AsDouble(get_attr(spec, "gamma").ptr());
        if (gv == -1.0 && PyErr_Occurred()) throw_current();
        c.gamma = gv;
    }
    return r;
}

// Lossy extra channels: one distance for all, or one per extra channel.
std::vector<float> JxlWriter::extra_distances(size_t n) const {
    const nb::object &ecd = args.extra_channel_distance;
    if (!given(ecd) || n == 0) return {};
    if (!PySequence_Check(ecd.ptr())) return std::vector<float>(n, to_float32(ecd));
    if (static_cast<size_t>(nb::len(ecd)) != n)
        raise_py(PyExc_ValueError, "jxl: extra_channel_distance lists " +
                                       std::to_string(nb::len(ecd)) + " distances for " +
                                       std::to_string(n) + " extra channels");
    std::vector<float> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = to_float32(ecd[i]);
    return d;
}

void JxlWriter::configure_from_first_frame(PyArrayObject *arr) {
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
    PyObject *descr = reinterpret_cast<PyObject *>(PyArray_DESCR(arr));
    FrameConfig c;
    c.sample = dtype_to_jxl(descr);
    // JxlBasicInfo holds 32-bit sizes; a wider array would be silently cut.
    constexpr uint64_t kMaxDim = std::numeric_limits<uint32_t>::max();
    if (static_cast<uint64_t>(xsize) > kMaxDim || static_cast<uint64_t>(ysize) > kMaxDim)
        raise_py(PyExc_ValueError, "jxl: frame of " + std::to_string(ysize) + " x " +
                                       std::to_string(xsize) +
                                       " pixels is too large (at most 4294967295 per side)");
    first_dtype_ = nb::borrow(descr);
    c.xsize = static_cast<size_t>(xsize);
    c.ysize = static_cast<size_t>(ysize);
    c.samples = static_cast<size_t>(samples);
    c.channels = resolve_channels(c.samples, c.sample);
    c.color = color_request();
    c.extra_distance = extra_distances(c.channels.extras.size());
    ok_or_throw(session.configure(std::move(c)));
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
    const FrameConfig &c = session.config();
    if (static_cast<size_t>(dims[0]) != c.ysize || static_cast<size_t>(dims[1]) != c.xsize ||
        samples != c.samples)
        raise_py(PyExc_ValueError, "jxl: frame shape does not match first frame");
}

// ---- frames ----------------------------------------------------------------

void JxlWriter::check_not_busy() const {
    if (busy_) raise_py(PyExc_RuntimeError, kInUse);
}

nb::object JxlWriter::frame_array(nb::handle arr, bool *chunked) const {
    // A chunked frame is read where it lies (a memory map stays a map and is
    // kept alive by the array); a frame given at once must be C-contiguous.
    nb::object src = nb::borrow(g.np).attr("asarray")(arr);
    *chunked = false;
    if (PyArray_Check(src.ptr())) {
        auto *a = reinterpret_cast<PyArrayObject *>(src.ptr());
        const int nd = PyArray_NDIM(a);
        *chunked = nd >= 2 && session.takes_chunked(nd, static_cast<size_t>(PyArray_DIMS(a)[0]),
                                                    static_cast<size_t>(PyArray_DIMS(a)[1]),
                                                    static_cast<size_t>(PyArray_SIZE(a)));
    }
    if (!*chunked) src = nb::borrow(g.np).attr("ascontiguousarray")(src);
    if (!PyArray_Check(src.ptr()) ||
        (!*chunked && !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject *>(src.ptr()))))
        raise_py(PyExc_TypeError, "jxl: frame is not convertible to a C-contiguous array");
    return src;
}

void JxlWriter::write_frame(nb::handle arr, bool is_last, nb::handle duration, nb::handle name,
                            nb::handle timecode) {
    if (target.given()) return write_targeted(arr, duration, name, timecode);
    check_not_busy();
    // After an abandoning __exit__ the encoder is gone: as closed as it gets.
    if (closed_ || !session.started()) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    if (jpeg_frame_)
        raise_py(PyExc_ValueError, "jxl: the stream's only frame is the JPEG given to write_jpeg()");
    // The garbage collector may have cleared the object fields of a writer
    // in an unreachable cycle before a finaliser reaches it.
    if (session.configured() && !first_dtype_.is_valid())
        raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    // Held for the whole call: Python code run below (array conversion,
    // colour attributes, comparisons) must not re-enter this writer.
    BusyGuard guard(busy_);
    if (grid_ == 1)
        raise_py(PyExc_ValueError,
                 "jxl: float samples within max_error take one frame per JxlWriter (encode() "
                 "takes an animation's frames at once, on one grid)");
    bool chunked = false;
    nb::object src = frame_array(arr, &chunked);
    if (!session.configured() && !grid_) src = float_grid(std::move(src), false);
    auto *a = reinterpret_cast<PyArrayObject *>(src.ptr());
    EncodeMeta &meta = session.meta();
    if (!session.configured()) {
        // The basic info declares timecodes: a sequence, or one on this frame.
        meta.have_timecodes =
            meta.animation && (meta.timecodes_given || (timecode.is_valid() && !timecode.is_none()));
        configure_from_first_frame(a);
    } else {
        check_matches_first_frame(a);
    }
    const EncodeOptions &opt = session.options();
    if (!opt.animation && session.frames_added() > 0)
        raise_py(PyExc_RuntimeError,
                 "jxl: writer is not in animation mode; set animation=True for multi-frame output");
    if (PyArray_TYPE(a) == NPY_FLOAT16 || PyArray_TYPE(a) == NPY_FLOAT32) refuse_non_finite(a);
    if (opt.lossless && PyArray_TYPE(a) == NPY_FLOAT16) keep_half_floats(a);
    src = bounded_frame(session, std::move(src), &chunked, grid_ != 0);
    a = reinterpret_cast<PyArrayObject *>(src.ptr());
    const FrameHeaderFields header =
        frame_header_fields(meta, session.frames_added(), is_last, duration, name, timecode);
    ok_or_throw(session.set_frame_header(header));
    if (chunked) return write_chunked(a);
    write_whole(a, is_last, header);
}

nb::object JxlWriter::float_grid(nb::object src, bool stack) {
    const double max_error = session.options().max_error;
    auto *a = reinterpret_cast<PyArrayObject *>(src.ptr());
    if (!(max_error > 0) || (PyArray_TYPE(a) != NPY_FLOAT16 && PyArray_TYPE(a) != NPY_FLOAT32))
        return src;
    if (given(args.channels))
        raise_py(PyExc_ValueError,
                 "jxl: max_error with float samples takes no channels= list (the grid sets "
                 "each channel's bits)");
    const int nd = PyArray_NDIM(a);
    const int sample_axis = stack ? 3 : 2;
    const npy_intp samples = nd == sample_axis + 1 ? PyArray_DIMS(a)[sample_axis] : 1;
    nb::object grid = nb::module_::import_("quillmarsh.core.bounded")
                          .attr("writer_grid")(src, max_error, samples);
    if (grid.is_none()) return src;  // stored losslessly: within any bound
    nb::bytes payload = nb::borrow<nb::bytes>(grid[2]);
    session.meta().boxes.push_back(
        {{'q', 'm', 'q', 'g'}, std::string(payload.c_str(), payload.size()), true});
    args.channels = grid[1];
    grid_ = stack ? 2 : 1;
    return grid[0];
}

void JxlWriter::write_whole(PyArrayObject *a, bool is_last, const FrameHeaderFields &header) {
    const EncodeOptions &opt = session.options();
    const void *pixels = PyArray_DATA(a);  // in place: libjxl copies what it keeps
    const size_t nbytes = static_cast<size_t>(PyArray_NBYTES(a));
    // An animation frame not marked last stays queued until the next one.
    const bool last = !opt.animation || is_last;
    Status s;
    {
        nb::gil_scoped_release unlocked;
        s = session.add_frame(pixels, nbytes, last);
    }
    ok_or_throw(s);
    // An 8-bit still from a libjxl whose effort-1 lossless coder is flawed
    // (see fast_lossless_sound) is decoded back and, if it differs, made
    // again at effort 2. Only 8-bit samples reach that coder's palette search.
    const bool verify = opt.lossless && opt.effort == 1 && !opt.animation &&
                        !session.config().channels.split &&
                        session.pixel_format().data_type == JXL_TYPE_UINT8;
    if (!verify) return;
    {
        // The probe runs libjxl (once per process): not under the lock, and
        // no thread waits for it holding the lock.
        nb::gil_scoped_release unlocked;
        if (session.stream_matches(pixels, nbytes)) return;
        s = session.remake_still(2, header, pixels, nbytes);
    }
    if (!s.ok() && !session.started()) finish();  // no encoder to be had
    ok_or_throw(s);
}

void JxlWriter::refuse_non_finite(PyArrayObject *a) {
    // libjxl's lossy coder cannot represent NaN or infinity (one such sample
    // spoils its neighbours, or the whole frame). Its lossless coder keeps
    // them in float32; in float16 it stores NaN's bits, but its decoder turns
    // every sample of the top exponent into a finite value above float16's
    // range, which comes back as infinity: NaN would be lost.
    const bool half = PyArray_TYPE(a) == NPY_FLOAT16;
    const EncodeOptions &opt = session.options();
    if (opt.lossless && !half) return;
    const bool nan_only = opt.lossless;
    ptrdiff_t at[3];
    bool found;
    {
        nb::gil_scoped_release unlocked;
        found = first_non_finite(strided(a), half, nan_only, at);
    }
    if (!found) return;
    std::string where = "[" + std::to_string(at[0]) + ", " + std::to_string(at[1]);
    if (PyArray_NDIM(a) == 3) where += ", " + std::to_string(at[2]);
    where += "]";
    if (opt.animation) where += " of frame " + std::to_string(session.frames_added() + 1);
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

void JxlWriter::keep_half_floats(PyArrayObject *a) {
    // libjxl 0.11's lossless coder stores float16 samples of magnitude
    // 2**-15 to 2**-14 (the upper half of the subnormals) wrongly, except
    // through its effort-1 coder of still frames of 1 to 4 channels (float32
    // input or not, measured). Such frames take that coder; where it is not
    // used the frame is refused rather than stored altered.
    bool found;
    {
        nb::gil_scoped_release unlocked;
        found = has_upper_subnormals(strided(a));
    }
    if (!found) return;
    if (session.options().animation || session.config().channels.split)
        raise_py(PyExc_ValueError,
                 "jxl: libjxl does not store float16 samples between 2**-15 and 2**-14 in "
                 "magnitude losslessly in animations or with more than 4 channels; pass "
                 "float32 samples (or round these to 0 or 2**-14)");
    ok_or_throw(session.use_effort_1());
}

void JxlWriter::write_chunked(PyArrayObject *a) {
    const FrameConfig &c = session.config();
    FrameLayout f;
    f.data = reinterpret_cast<const uint8_t *>(PyArray_BYTES(a));
    f.xsize = c.xsize;
    f.ysize = c.ysize;
    f.samples = c.samples;
    f.bytes = static_cast<size_t>(PyArray_ITEMSIZE(a));
    const npy_intp *strides = PyArray_STRIDES(a);
    f.ystride = strides[0];
    f.xstride = strides[1];
    f.cstride = PyArray_NDIM(a) == 3 ? strides[2] : static_cast<ptrdiff_t>(f.bytes);
    f.aligned = PyArray_ISALIGNED(a);
    Status s;
    {
        nb::gil_scoped_release unlocked;
        s = session.add_chunked(f);
    }
    ok_or_throw(s);
}

// ---- JPEG ------------------------------------------------------------------

void JxlWriter::write_jpeg(nb::handle data, bool verify) {
    check_not_busy();
    if (closed_ || !session.started()) raise_py(PyExc_RuntimeError, "JxlWriter is closed");
    BusyGuard guard(busy_);
    if (session.configured() || session.frames_added() > 0)
        raise_py(PyExc_ValueError,
                 "jxl: write_jpeg() gives the stream its only frame; this writer already has one");
    const EncodeOptions &opt = session.options();
    if (opt.animation)
        raise_py(PyExc_ValueError, "jxl: write_jpeg() needs a still-image writer (animation=False)");
    if (target.given())
        raise_py(PyExc_ValueError, "jxl: write_jpeg() recompresses losslessly; open the writer "
                                   "without target_score or target_size");
    // libjxl stores the JPEG's own metadata boxes; others would be lost.
    if (session.meta().wants_container())
        raise_py(PyExc_ValueError,
                 "jxl: write_jpeg() keeps the JPEG's own EXIF, XMP and JUMBF; open the writer "
                 "without exif, xmp or jumbf");
    nb::bytes raw = whole_input_bytes(data);
    const auto *jpeg = reinterpret_cast<const uint8_t *>(raw.c_str());
    const size_t size = raw.size();
    // As transcode_jpeg: the marker walk first, the DC check in line or
    // beside libjxl, the verdict on the finished stream.
    JpegVerdict verdict(jpeg, size, true, verify, opt.num_threads, !opt.auto_threads);
    Status check;
    {
        nb::gil_scoped_release unlocked;
        check = verdict.start();
    }
    ok_or_throw(check);  // before the encoder is touched
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
    ok_or_throw(session.configure_jpeg(size));
    jpeg_frame_ = true;
    // Where libjxl fails on the JPEG, the DC check's refusal (the JPEG's
    // fault) is reported before libjxl's failure.
    Status added, refusal;
    {
        nb::gil_scoped_release unlocked;
        added = add_jpeg_frame(session.encoder(), session.frame_settings(), jpeg, size);
        if (!added.ok()) refusal = verdict.dc_refusal();
    }
    session.count_frame(added.ok());
    if (!added.ok()) {
        ok_or_throw(refusal);
        throw_status(added);
    }
    Status finished;
    {
        nb::gil_scoped_release unlocked;
        finished = session.finish();
        if (!finished.ok()) refusal = verdict.dc_refusal();
    }
    if (!finished.ok()) {
        ok_or_throw(refusal);
        throw_status(finished);
    }
    Status verdict_on_stream;
    {
        nb::gil_scoped_release unlocked;
        verdict_on_stream = verdict.finish(session.out().data(), session.out().size());
    }
    ok_or_throw(verdict_on_stream);
}

// ---- delivery --------------------------------------------------------------

void JxlWriter::restart() noexcept {
    jpeg_frame_ = false;
    if (!session.start().ok()) finish();
}

void JxlWriter::flush_to_dest() {
    ByteSink &out = session.out();
    if (out.size() == 0 || dest.is_buffer) return;
    if (!dest.file.is_valid()) raise_py(PyExc_RuntimeError, "jxl: destination already released");
    nb::object payload = nb::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char *>(out.data()), static_cast<Py_ssize_t>(out.size())));
    if (!payload.is_valid()) throw_current();
    dest.file.attr("write")(payload);
    out.clear();
}

nb::object JxlWriter::close() {
    check_not_busy();
    if (closed_) return nb::none();
    BusyGuard guard(busy_);
    // A stream without frames is not a JPEG XL file: nothing is delivered.
    if (session.frames_accepted() == 0 && session.started()) {
        finish();
        raise_py(PyExc_ValueError, "jxl: no frames were written");
    }
    if (session.started()) {
        Status s;
        {
            nb::gil_scoped_release unlocked;
            s = session.finish();
        }
        if (!s.ok()) {
            if (dest.is_path) finish();  // nothing of it reaches the target
            throw_status(s);
        }
    }
    ByteSink &out = session.out();
    nb::object result = nb::none();
    if (dest.is_buffer) {
        PyObject *b = PyBytes_FromStringAndSize(
            out.data() ? reinterpret_cast<const char *>(out.data()) : "",
            static_cast<Py_ssize_t>(out.size()));
        if (!b) throw_current();
        result = nb::steal(b);
    } else if (dest.is_path) {
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
    session.out().discard();
    closed_ = true;
}

void JxlWriter::abandon() {
    check_not_busy();
    release_native();
    session.out().discard();
}

void JxlWriter::abort_init() noexcept {
    release_native();
    session.out().discard();
}

}  // namespace qmjxl
