// JxlReader: its options and input, lifecycle, metadata, properties and
// registration. The decoding is the DecoderSession's; the frame iterators
// and read() are in bind_reader_frames.cpp.
#include "bind_reader.h"

#include <cmath>
#include <string>

using namespace nb::literals;

namespace qmjxl {

namespace {

constexpr size_t kChunkSize = 4194304;  // asked of the background reader
constexpr int kPrefetch = 4;

const char *const kClosedMsg = "JxlReader is closed";
const char *const kBusyMsg = "jxl: JxlReader is in use by another thread";

std::string type_name_of(nb::handle o) {
    return nb::str(nb::handle(Py_TYPE(o.ptr())).attr("__name__")).c_str();
}

// Runs `f`; swallows an error derived from Exception, lets anything else
// (KeyboardInterrupt, SystemExit) through.
template <typename F>
void call_swallowing_exceptions(F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

PyObject *dtype_of(JxlDataType t) {
    return t == JXL_TYPE_UINT8    ? g.t_uint8
           : t == JXL_TYPE_UINT16 ? g.t_uint16
           : t == JXL_TYPE_FLOAT16 ? g.t_float16
                                   : g.t_float32;
}

}  // namespace

// ---- lifecycle -------------------------------------------------------------

JxlReader::~JxlReader() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    session_.release();
    source_.view.release();
    PyErr_Restore(t, v, tb);
    // The object references are dropped by the member destructors.
}

void JxlReader::check_not_busy() const {
    if (busy_) raise_py(PyExc_RuntimeError, kBusyMsg);
}

void JxlReader::check_open() const {
    if (!is_open()) raise_py(PyExc_RuntimeError, kClosedMsg);
}

void JxlReader::close() {
    if (closed_) return;
    check_not_busy();
    session_.release();
    if (source_.chunk_reader.is_valid()) {
        nb::object cr = source_.chunk_reader;
        call_swallowing_exceptions([&] { cr.attr("close")(); });
        source_.chunk_reader.reset();
    }
    source_.view.release();
    source_.data_ref.reset();
    closed_ = true;
}

// ---- construction ----------------------------------------------------------

namespace {

// Whether the size of a path or file-like makes it worth streaming.
bool above_stream_threshold(const nb::object &size) {
    nb::object threshold = nb::int_(kStreamThreshold);
    const int r = PyObject_RichCompareBool(size.ptr(), threshold.ptr(), Py_GT);
    if (r < 0) throw_current();
    return r == 1;
}

nb::object path_size(nb::handle path) {
    try {
        return nb::module_::import_("os").attr("path").attr("getsize")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    return nb::int_(-1);
}

// The size of a file-like: its descriptor's, or what seeking to the end
// finds; -1 when it tells neither.
nb::object file_size(nb::handle f) {
    auto probe_error = [](nb::python_error &e) {
        return e.matches(PyExc_OSError) || e.matches(PyExc_AttributeError);
    };
    try {
        nb::object fd = f.attr("fileno")();
        return nb::module_::import_("os").attr("fstat")(fd).attr("st_size");
    } catch (nb::python_error &e) {
        if (!probe_error(e)) throw;
    }
    try {
        nb::object cur = f.attr("tell")();
        f.attr("seek")(0, 2);
        nb::object size = f.attr("tell")();
        f.attr("seek")(cur);
        return size;
    } catch (nb::python_error &e) {
        if (!probe_error(e)) throw;
    }
    return nb::int_(-1);
}

}  // namespace

void JxlReader::open_input(nb::handle data) {
    // Where the bytes come from: in place, read whole, or streamed.
    nb::object input;  // memory mode: the object whose bytes are decoded
    // A URL or fsspec file is always streamed: decoding overlaps the download
    // and a job that ends early ends it.
    if (nb::object remote = open_remote(data, RemoteUse::kStream); remote.is_valid())
        return init_streaming(data, remote);
    const bool want_stream = options().streaming;
    if (want_stream && is_path(data)) {
        if (above_stream_threshold(path_size(data))) return init_streaming(data);
        input = read_path(data);
    } else if (want_stream && nb::hasattr(data, "read") && !is_bytes_like(data)) {
        if (above_stream_threshold(file_size(data))) return init_streaming(data);
        input = data.attr("read")();
    } else if (is_path(data)) {
        input = read_path(data);
    } else if (!is_bytes_like(data) && nb::hasattr(data, "read")) {
        input = data.attr("read")();
    } else {
        input = nb::borrow(data);
    }
    // The view is held while the reader is open, so a bytearray cannot be
    // resized under libjxl.
    source_.view.acquire(input.ptr());
    source_.data_ref = input;
    ok_or_throw(session_.set_input(source_.view.data(), source_.view.size()));
}

void JxlReader::init_streaming(nb::handle src, nb::object remote) {
    source_.meta_src = nb::borrow(src);
    if (remote.is_valid()) {
        source_.remote = true;
        source_.chunk_reader = remote;
    } else if (!is_path(src)) {
        try {
            source_.meta_pos = nb::cast<int64_t>(src.attr("tell")());
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
        } catch (nb::cast_error &) {
        }
    }
    if (!source_.remote) {
        nb::object cls = nb::module_::import_("quillmarsh.core.io").attr("BackgroundChunkReader");
        source_.chunk_reader = cls(src, "chunk_size"_a = kChunkSize, "prefetch"_a = kPrefetch);
    }
    source_.puller = std::make_unique<ChunkReaderPuller>(source_.chunk_reader);
    const Status started = session_.start_stream(source_.puller.get());
    if (!started.ok()) raise_input_failure(started);
}

void JxlReader::refill_input() {
    const Status refilled = session_.refill();
    if (!refilled.ok()) raise_input_failure(refilled);
}

void JxlReader::raise_input_failure(const Status &s) {
    if (source_.puller) source_.puller->raise_failure(s);
    throw_status(s);
}

void JxlReader::set_downsample(nb::handle downsample) {
    PyObject *ds_obj = PyNumber_Long(downsample.ptr());
    if (!ds_obj) throw_current();
    nb::object ds_int = nb::steal(ds_obj);
    int overflow = 0;
    const long long ds = PyLong_AsLongLongAndOverflow(ds_int.ptr(), &overflow);
    if (overflow != 0 || !(ds == 1 || ds == 2 || ds == 4 || ds == 8)) {
        raise_py(PyExc_ValueError,
                 "jxl: downsample must be 1, 2, 4, or 8 (got " +
                     std::string(nb::str(ds_int).c_str()) +
                     "). libjxl's native progressive decoder only supports these ratios via "
                     "JxlDecoderGetIntendedDownsamplingRatio.");
    }
    options().downsample = static_cast<size_t>(ds);
}

void JxlReader::set_subsample(nb::handle subsample) {
    auto equals = [&](const char *name) {
        nb::str s(name);
        int r = PyObject_RichCompareBool(subsample.ptr(), s.ptr(), Py_EQ);
        if (r < 0) throw_current();
        return r == 1;
    };
    if (equals("top-left")) {
        options().subsample = Subsample::kTopLeft;
    } else if (equals("center")) {
        options().subsample = Subsample::kCenter;
    } else {
        raise_py(PyExc_ValueError, "jxl: subsample must be 'top-left' or 'center' (got " +
                                       std::string(nb::repr(subsample).c_str()) + ").");
    }
}

void JxlReader::set_skip_frames(nb::handle skip_frames) {
    nb::object zero = nb::int_(0);
    const int gt = PyObject_RichCompareBool(skip_frames.ptr(), zero.ptr(), Py_GT);
    if (gt < 0) throw_current();
    if (!gt) return;
    PyObject *n = PyNumber_Long(skip_frames.ptr());
    if (!n) throw_current();
    const size_t amount = PyLong_AsSize_t(n);
    Py_DECREF(n);
    if (amount == static_cast<size_t>(-1) && PyErr_Occurred()) throw_current();
    options().skip_frames = amount;
}

void JxlReader::set_desired_intensity_target(nb::handle nits) {
    if (nits.is_none()) return;
    const double v = nb::cast<double>(nb::float_(nits));
    if (!(v > 0.0) || !std::isfinite(v))
        raise_py(PyExc_ValueError,
                 "jxl: desired_intensity_target must be a positive number of nits (got " +
                     std::string(nb::repr(nits).c_str()) + ")");
    options().desired_intensity_target = static_cast<float>(v);
}

void JxlReader::set_output_color(nb::handle output_color) {
    if (output_color.is_none()) return;
    DecodeOptions &o = options();
    o.output_color = true;
    ColorEndpoint &target = o.output_target;
    if (is_bytes_like(output_color)) {
        ByteView icc;
        icc.acquire(output_color.ptr());
        target.icc.assign(icc.data(), icc.data() + icc.size());
        if (icc_color_space_nogil(target.icc.data(), target.icc.size()) == 0)
            raise_py(PyExc_ValueError,
                     "jxl: output_color bytes are not an ICC profile that lcms2 can read");
    } else if (PyUnicode_Check(output_color.ptr()) ||
               nb::isinstance(output_color, nb::module_::import_("quillmarsh.core.color")
                                                .attr("ColorSpec"))) {
        nb::object spec =
            nb::module_::import_("quillmarsh.core.color").attr("parse_color")(output_color);
        JxlColorEncoding &e = target.encoding;
        e = JxlColorEncoding{};
        e.color_space = JXL_COLOR_SPACE_RGB;
        e.white_point = static_cast<JxlWhitePoint>(nb::cast<int>(spec.attr("white_point")));
        e.primaries = static_cast<JxlPrimaries>(nb::cast<int>(spec.attr("primaries")));
        e.transfer_function =
            static_cast<JxlTransferFunction>(nb::cast<int>(spec.attr("transfer")));
        e.rendering_intent =
            static_cast<JxlRenderingIntent>(nb::cast<int>(spec.attr("rendering_intent")));
        e.gamma = nb::cast<double>(spec.attr("gamma"));
        target.has_encoding = true;
    } else {
        raise_py(PyExc_TypeError,
                 "jxl: output_color must be None, a colour name, a ColorSpec or ICC profile "
                 "bytes (got " + type_name_of(output_color) + ")");
    }
}

void JxlReader::init(const nb::handle *values) {
    ReaderValues v;
    std::copy(values, values + v.size(), v.begin());
    parse_options(*this, kReaderOptions, v);
    // A 1:8 preview ends at its progression point: a remote input reads up
    // to it in small steps and nothing ahead.
    if (source_.remote && options().downsample == 8)
        tune_remote(source_.chunk_reader, RemoteUse::kPrefix);
    read_header();
}

void JxlReader::read_header() {
    BusyGuard guard(busy_);
    // Creating the decoder, setting it up and parsing the header touch no
    // Python object: one release of the GIL covers them all, so that a small
    // decode hands the GIL to other threads as few times as it can.
    StatusOr<bool> ready = false;
    {
        nb::gil_scoped_release unlocked;
        ready = session_.open();
    }
    while (ready.ok() && !*ready) {
        refill_input();
        nb::gil_scoped_release unlocked;
        ready = session_.read_header();
    }
    ok_or_throw(ready.status());
    describe_frames();
}

void JxlReader::describe_frames() {
    const DecoderSession::Layout &layout = session_.layout();
    if (layout.samples == 0) return;  // the stream ended before its header did
    const JxlBasicInfo &b = basic_info();
    facts_.frame_dtype = nb::borrow(dtype_of(layout.format.data_type));
    facts_.frame_shape = layout.samples == 1 ? nb::make_tuple(b.ysize, b.xsize)
                                             : nb::make_tuple(b.ysize, b.xsize, layout.samples);
}

// ---- metadata --------------------------------------------------------------

void JxlReader::fetch_icc_profile() {
    facts_.icc_fetched = true;
    std::vector<uint8_t> icc;
    if (session_.icc_profile(&icc))
        facts_.icc_profile = nb::bytes(reinterpret_cast<const char *>(icc.data()), icc.size());
}

void JxlReader::meta_input(ProbeInput &in) {
    const ByteSource &input = session_.input().source;
    if (!input.pulls()) return in.open_memory(input.data(), input.size());
    // A remote file is read again from its start (the box walk goes through
    // the whole file; the frame walk as far as the frames go).
    if (source_.remote) return in.open(source_.chunk_reader.attr("reopen")());
    if (is_path(source_.meta_src)) return in.open(source_.meta_src);
    int fd = -1;
    try {
        fd = nb::cast<int>(source_.meta_src.attr("fileno")());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (nb::cast_error &) {
    }
    if (fd < 0 || source_.meta_pos < 0)
        raise_py(PyExc_RuntimeError,
                 "jxl: the metadata of a streamed file object is read through its file "
                 "descriptor, and this one has none; open the reader on a path or with "
                 "streaming=False");
    in.open_fd(fd, source_.meta_pos);
}

const BoxScan &JxlReader::box_scan() {
    if (facts_.boxes) return *facts_.boxes;
    check_open();
    check_not_busy();
    // Busy while the pass runs, so close() from another thread must wait.
    BusyGuard guard(busy_);
    ProbeInput in;
    meta_input(in);
    facts_.boxes = std::make_unique<BoxScan>(in.run(scan_boxes));
    return *facts_.boxes;
}

nb::list JxlReader::frames_info() {
    if (!facts_.frames_info.is_valid()) {
        check_open();
        check_not_busy();
        BusyGuard guard(busy_);
        ProbeInput in;
        meta_input(in);
        const bool coalesce = options().coalesce;
        facts_.frames_info = frame_dicts(
            in.run([coalesce](ByteSource &src) { return scan_frame_headers(src, coalesce); }));
    }
    // Callers get their own list of their own dicts.
    nb::list out;
    for (nb::handle d : facts_.frames_info) {
        PyObject *copy = PyDict_Copy(d.ptr());
        if (!copy) throw_current();
        out.append(nb::steal(copy));
    }
    return out;
}

// ---- construction from C++ -------------------------------------------------

namespace {

nb::handle g_reader_type;

}  // namespace

nb::handle reader_type() { return g_reader_type; }

void construct_reader(JxlReader *self, const ReaderValues &v) {
    new (self) JxlReader();
    try {
        self->init(v.data());
    } catch (...) {
        // nanobind runs no destructor for an instance whose construction
        // failed: release everything here. A background chunk reader started
        // for this reader would otherwise keep its thread.
        if (self->source_.chunk_reader.is_valid()) {
            try {
                self->source_.chunk_reader.attr("close")();
            } catch (...) {
            }
        }
        self->~JxlReader();
        throw;
    }
}

nb::object new_reader(const ReaderValues &v) {
    nb::object inst = nb::inst_alloc(reader_type());
    construct_reader(nb::inst_ptr<JxlReader>(inst), v);
    nb::inst_mark_ready(inst);
    return inst;
}

// ---- registration ----------------------------------------------------------

namespace {

using ReaderGc = GcSlots<JxlReader>;

int reader_traverse(PyObject *self, visitproc visit, void *arg) {
    if (int rc = ReaderGc::traverse(self, visit, arg)) return rc;
    if (!nb::inst_ready(self)) return 0;
    // The buffer export holds its own reference to the input; reporting it
    // lets a cycle through the input object be collected (breaking such a
    // cycle is left to the other objects in it: the export stays until the
    // reader is destroyed, since libjxl may still point into it).
    Py_VISIT(nb::inst_ptr<JxlReader>(self)->source_.view.owner());
    return 0;
}

PyType_Slot reader_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(reader_traverse)},
                              {Py_tp_clear, reinterpret_cast<void *>(ReaderGc::clear)},
                              {0, nullptr}};

// The main fields of libjxl's JxlBasicInfo.
nb::dict basic_info_dict(const JxlBasicInfo &b) {
    nb::dict d;
    d["xsize"] = b.xsize;
    d["ysize"] = b.ysize;
    d["bits_per_sample"] = b.bits_per_sample;
    d["exponent_bits_per_sample"] = b.exponent_bits_per_sample;
    d["num_color_channels"] = b.num_color_channels;
    d["num_extra_channels"] = b.num_extra_channels;
    d["alpha_bits"] = b.alpha_bits;
    d["have_animation"] = b.have_animation != 0;
    d["orientation"] = static_cast<int>(b.orientation);
    d["intensity_target"] = static_cast<double>(b.intensity_target);
    d["min_nits"] = static_cast<double>(b.min_nits);
    d["relative_to_max_display"] = b.relative_to_max_display != 0;
    d["linear_below"] = static_cast<double>(b.linear_below);
    d["uses_original_profile"] = b.uses_original_profile != 0;
    d["alpha_premultiplied"] = b.alpha_premultiplied != 0;
    // Animation timing: plays (0 = forever), ticks per second.
    const JxlAnimationHeader &a = b.animation;
    d["num_loops"] = b.have_animation ? a.num_loops : 0u;
    d["tps"] = b.have_animation && a.tps_denominator
                   ? nb::object(nb::float_(double(a.tps_numerator) / a.tps_denominator))
                   : nb::none();
    d["have_timecodes"] = b.have_animation && a.have_timecodes;
    return d;
}

nb::object color_dict(const JxlReader &r) {
    const DecoderSession::Header &h = r.session_.header();
    if (!r.options().parse_color || !h.have_encoding) return nb::none();
    const JxlColorEncoding &c = h.color;
    nb::dict d;
    d["color_space"] = static_cast<int>(c.color_space);
    d["white_point"] = static_cast<int>(c.white_point);
    d["primaries"] = static_cast<int>(c.primaries);
    d["transfer_function"] = static_cast<int>(c.transfer_function);
    d["rendering_intent"] = static_cast<int>(c.rendering_intent);
    return d;
}

// One dict per channel: colour first, then the extra channels in file order.
nb::list channel_list(const JxlReader &r) {
    const JxlBasicInfo &b = r.basic_info();
    nb::list out;
    static const char *const kRgb[] = {"R", "G", "B"};
    for (uint32_t i = 0; i < b.num_color_channels; ++i) {
        nb::dict d;
        d["type"] = "color";
        d["name"] = b.num_color_channels == 1 ? "L" : kRgb[i % 3];
        d["bits_per_sample"] = b.bits_per_sample;
        d["exponent_bits_per_sample"] = b.exponent_bits_per_sample;
        out.append(d);
    }
    for (const ExtraChannel &ec : r.session_.header().extras) {
        const JxlExtraChannelInfo &in = ec.info;
        nb::dict d;
        d["type"] = channel_type_name(in.type);
        // Names are bytes in the file: invalid UTF-8 is replaced, as in frame
        // names, rather than failing the whole list.
        PyObject *name = PyUnicode_DecodeUTF8(ec.name.data(), static_cast<Py_ssize_t>(ec.name.size()),
                                              "replace");
        if (!name) throw_current();
        d["name"] = nb::steal(name);
        d["bits_per_sample"] = in.bits_per_sample;
        d["exponent_bits_per_sample"] = in.exponent_bits_per_sample;
        if (in.type == JXL_CHANNEL_ALPHA) d["alpha_premultiplied"] = in.alpha_premultiplied != 0;
        if (in.type == JXL_CHANNEL_SPOT_COLOR)
            d["spot_color"] = nb::make_tuple(in.spot_color[0], in.spot_color[1], in.spot_color[2],
                                             in.spot_color[3]);
        out.append(d);
    }
    return out;
}

nb::object bytes_or_none(bool have, const std::vector<uint8_t> &data) {
    return have ? nb::object(nb::bytes(reinterpret_cast<const char *>(data.data()), data.size()))
                : nb::none();
}

// The header facts of an open (or closed) reader.
void bind_header_properties(nb::class_<JxlReader> &cls) {
    const nb::lock_self locked;
    cls.def_prop_ro("xsize", [](JxlReader &r) { return r.basic_info().xsize; }, locked)
        .def_prop_ro("ysize", [](JxlReader &r) { return r.basic_info().ysize; }, locked)
        .def_prop_ro("samples", [](JxlReader &r) { return r.session_.layout().samples; }, locked)
        .def_prop_ro(
            "truncated", [](JxlReader &r) { return r.session_.truncated(); },
            "True once allow_partial delivered a frame of a stream cut short (what\n"
            "libjxl had decoded when the bytes ran out); no frame follows it.", locked)
        .def_prop_ro("frame_shape",
                     [](JxlReader &r) { return or_none(r.facts_.frame_shape); }, locked)
        .def_prop_ro("dtype", [](JxlReader &r) { return or_none(r.facts_.frame_dtype); }, locked)
        .def_prop_ro("is_animation",
                     [](JxlReader &r) { return r.basic_info().have_animation != 0; }, locked)
        .def_prop_ro(
            "n_frames", [](JxlReader &) { return nb::none(); },
            "Best-effort frame count (None if unknown until decoded).", locked)
        .def_prop_ro("color", &color_dict,
                     "Decoded JxlColorEncoding as a dict.\n\n"
                     "None when the reader was opened with parse_color=False, or when the\n"
                     "colour is described only by an ICC profile (see icc_profile).", locked)
        .def_prop_ro(
            "icc_profile",
            [](JxlReader &r) -> nb::object {
                if (r.facts_.icc_fetched) return or_none(r.facts_.icc_profile);
                if (!r.options().parse_color || !r.is_open()) return nb::none();
                r.check_not_busy();
                r.fetch_icc_profile();
                return or_none(r.facts_.icc_profile);
            },
            "ICC profile bytes (lazy).\n\n"
            "Fetched from libjxl on first access and cached; None without colour\n"
            "parsing, or when first asked after close().", locked)
        .def_prop_ro("channels", &channel_list,
                     "One dict per channel of the stream, colour first, then the extra\n"
                     "channels in file order: \"type\", \"name\", \"bits_per_sample\",\n"
                     "\"exponent_bits_per_sample\", \"alpha_premultiplied\" for alpha and\n"
                     "\"spot_color\" (red, green, blue, solidity) for spot colours. Known from\n"
                     "the header alone.", locked)
        .def_prop_ro("basic_info",
                     [](JxlReader &r) { return basic_info_dict(r.basic_info()); }, locked);
}

// The container's boxes and the frame headers: passes of their own, cached.
void bind_metadata_properties(nb::class_<JxlReader> &cls) {
    const nb::lock_self locked;
    cls.def_prop_ro(
           "exif",
           [](JxlReader &r) -> nb::object {
               const BoxScan &s = r.box_scan();
               return s.have_exif ? nb::object(exif_payload(s.exif_box)) : nb::none();
           },
           "EXIF as TIFF-structured bytes (\"II*\\0\" or \"MM\\0*\" first), or None.\n\n"
           "Read from the Exif box on first access of any box property (a pass of\n"
           "its own over the input, brob boxes decompressed), then cached.", locked)
        .def_prop_ro(
            "xmp",
            [](JxlReader &r) {
                const BoxScan &s = r.box_scan();
                return bytes_or_none(s.have_xmp, s.xmp);
            },
            "XMP packet bytes (the \"xml \" box), or None.", locked)
        .def_prop_ro(
            "jumbf",
            [](JxlReader &r) {
                const BoxScan &s = r.box_scan();
                return bytes_or_none(s.have_jumbf, s.jumbf);
            },
            "JUMBF superbox bytes (the \"jumb\" box), or None.", locked)
        .def_prop_ro(
            "boxes", [](JxlReader &r) { return box_list(r.box_scan()); },
            "The container's boxes in file order: (type, size, compressed) tuples.\n\n"
            "type is the decompressed type of a brob box, size its stored contents'\n"
            "(None for a last box that runs to the end of the file). Empty for a\n"
            "bare codestream.", locked)
        .def_prop_ro(
            "has_jpeg_reconstruction",
            [](JxlReader &r) {
                for (const BoxEntry &e : r.box_scan().boxes)
                    if (e.type == "jbrd") return true;
                return false;
            },
            "True when the file holds the data to rebuild the JPEG it was recompressed\n"
            "from (see reconstruct_jpeg()).\n\n"
            "From the box listing (the pass of `boxes`: no pixels decoded), cached.", locked)
        .def_prop_ro(
            "frames_info", [](JxlReader &r) { return r.frames_info(); },
            "One dict per frame from a parse-only pass (see frames_info()), as this\n"
            "reader's coalescing delivers them.", locked);
}

// Internal state, read-only, for the tests of the concurrency guard, of
// closing and of the streaming buffer (none of it observable otherwise).
void bind_state_properties(nb::class_<JxlReader> &cls) {
    const nb::lock_self locked;
    auto input = [](JxlReader &r) -> const ByteSource & { return r.session_.input().source; };
    cls.def_prop_ro("_busy", [](JxlReader &r) { return r.busy_; }, locked)
        .def_prop_ro("_closed", [](JxlReader &r) { return r.closed_; }, locked)
        .def_prop_ro("_streaming", [=](JxlReader &r) { return input(r).pulls(); }, locked)
        .def_prop_ro("_input_buf_capacity",
                     [=](JxlReader &r) { return input(r).capacity(); }, locked)
        .def_prop_ro("_input_buf_used",
                     [=](JxlReader &r) { return input(r).pulls() ? input(r).size() : 0; }, locked)
        .def_prop_ro("_has_input_buf",
                     [=](JxlReader &r) { return input(r).capacity() > 0; }, locked)
        .def_prop_ro("_input_eof",
                     [=](JxlReader &r) { return input(r).pulls() && input(r).ended(); }, locked)
        .def_prop_ro("_input_closed", [=](JxlReader &r) { return input(r).closed(); }, locked)
        .def_prop_ro("_chunk_reader",
                     [](JxlReader &r) { return or_none(r.source_.chunk_reader); }, locked)
        .def_prop_ro("_has_decoder", [](JxlReader &r) { return r.session_.has_decoder(); }, locked);
}

// The decoding methods of JxlReader.
void bind_reader_methods(nb::class_<JxlReader> &cls) {
    // read() and read_into() take the reader's lock (and the iterator's) themselves.
    cls.def("iter_frames", &reader_iter_frames, nb::kw_only(), "out"_a.none() = nb::none(),
            nb::lock_self(),
            nb::sig("def iter_frames(self, *, out: numpy.ndarray | None = None) -> "
                    "Iterator[numpy.ndarray]"),
            "Yield one decoded numpy array per JXL frame.\n\n"
            "With `out` (a C-contiguous array of one frame's shape and dtype), every\n"
            "frame is written into it and `out` itself is yielded.")
        .def("read_into", &reader_read_into, "out"_a,
             nb::sig("def read_into(self, out: numpy.ndarray) -> numpy.ndarray"),
             "Decode the frames left into `out` and return it.\n\n"
             "`out` has read()'s shape and dtype and is C-contiguous and writeable;\n"
             "it is checked before anything is decoded (ValueError naming both).")
        .def("__iter__", [](nb::handle self) { return self.attr("iter_frames")(); })
        .def("read", &reader_read, nb::sig("def read(self) -> numpy.ndarray"),
             "Decode the entire stream.\n\n"
             "A still image gives its one frame; several frames are stacked on a new\n"
             "leading axis.")
        .def("_iter_frames_progressive", &reader_iter_progressive, nb::kw_only(),
             "full_buffer"_a = false,
             nb::sig("def _iter_frames_progressive(self, *, full_buffer: bool = False) -> "
                     "Iterator[numpy.ndarray]"));
}

}  // namespace

void register_reader(nb::module_ &m) {
    register_frame_iterator(m);
    nb::class_<JxlReader> cls(m, "JxlReader", nb::type_slots(reader_slots),
                              "Streaming JPEG XL decoder.\n\n"
                              "Parses the header on construction; frames are decoded one at a\n"
                              "time by iter_frames() / read(). Accepts bytes-like objects, paths\n"
                              "and binary file-likes; use as a context manager or call close().");
    g_reader_type = cls;

    using Init = ParamList<kReaderOptions, Callable::Constructor, 0>;
    bind_options<kReaderOptions, Callable::Constructor, JxlReader *>(
        cls, "__init__", [](JxlReader *self, const ReaderValues &v) { construct_reader(self, v); },
        std::array<const char *, 0>{}, Init::signature("__init__", true, {}, "None"),
        "Open a reader and parse the header; see the class docstring.");
    nb::dict options = m.attr("_OPTIONS");
    options["JxlReader"] = describe_options(kReaderOptions);

    bind_reader_methods(cls);
    cls.def("close", [](JxlReader &r) { r.close(); }, nb::lock_self(),
            nb::sig("def close(self) -> None"),
            "Release the decoder, the runner, the streaming input and the input\n"
            "reference. Safe to call more than once.")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__",
            [](nb::handle self, nb::handle, nb::handle, nb::handle) {
                self.attr("close")();
                return false;
            },
            nb::arg("exc_type").none(), nb::arg("exc").none(), nb::arg("tb").none())
        .def("__reduce__", [](nb::handle self) { refuse_pickle(self); })
        .def("__setstate__", [](nb::handle self, nb::handle) { refuse_pickle(self); },
             nb::arg("state").none());
    bind_header_properties(cls);
    bind_metadata_properties(cls);
    bind_state_properties(cls);

    m.def(
        "_subsample_slice",
        [](nb::handle arr, Py_ssize_t n, int mode) {
            return subsample_slice(arr, n, mode == 0 ? Subsample::kTopLeft : Subsample::kCenter);
        },
        "arr"_a, "n"_a, "mode"_a,
        "Strided reduction of a (Y, X) or (Y, X, C) array by n (mode 0: top-left,\n"
        "otherwise centre sampling); always a new array of ceil(Y/n) x ceil(X/n).");
}

}  // namespace qmjxl
