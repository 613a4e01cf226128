// JxlReader: input resolution, header parse, frame loops (ordinary and
// progressive), streaming refills, lifecycle and metadata.
#include "jxl_reader.h"

#include <jxl/cms.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

using namespace nb::literals;

namespace qmjxl {

namespace {

constexpr size_t kChunkSize = 4194304;        // asked of the background reader
constexpr size_t kInitialInputBuf = 8388608;  // two chunks
constexpr int kPrefetch = 4;

// Event masks: BASIC_INFO | FULL_IMAGE, plus COLOR_ENCODING when colour is
// wanted, plus FRAME_PROGRESSION for the progressive path.
constexpr int kEventsBase = JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE;

const char *const kClosedMsg = "JxlReader is closed";
const char *const kBusyMsg = "jxl: JxlReader is in use by another thread";
const char *const kInputFailedMsg =
    "jxl: JxlReader cannot resume after its input failed part-way through a frame; "
    "open the stream again";

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

}  // namespace

// ---- lifecycle -------------------------------------------------------------

JxlReader::~JxlReader() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    release_native();
    view_.release();
    PyErr_Restore(t, v, tb);
    // The object references are dropped by the member destructors.
}

void JxlReader::release_native() noexcept {
    decoder_.reset();  // the decoder refers to the runner: destroy it first
    runner_.release();
    if (input_buf_) {
        std::free(input_buf_);
        input_buf_ = nullptr;
    }
}

void JxlReader::check_not_busy() const {
    if (busy_) raise_py(PyExc_RuntimeError, kBusyMsg);
}

void JxlReader::check_open() const {
    if (closed_ || !decoder_) raise_py(PyExc_RuntimeError, kClosedMsg);
}

void JxlReader::close() {
    if (closed_) return;
    check_not_busy();
    decoder_.reset();
    runner_.release();
    if (chunk_reader_.is_valid()) {
        nb::object cr = chunk_reader_;
        call_swallowing_exceptions([&] { cr.attr("close")(); });
        chunk_reader_.reset();
    }
    if (input_buf_) {
        std::free(input_buf_);
        input_buf_ = nullptr;
    }
    src_data_ = nullptr;
    src_size_ = 0;
    view_.release();
    data_ref_.reset();
    if (file_handle_.is_valid() && own_file_handle_) {
        nb::object fh = file_handle_;
        call_swallowing_exceptions([&] { fh.attr("close")(); });
    }
    file_handle_.reset();
    closed_ = 1;
}

// ---- construction ----------------------------------------------------------

void JxlReader::open_input(nb::handle data) {
    // Where the bytes come from: in place, read whole, or streamed.
    nb::object input;       // memory mode: the object whose bytes are decoded
    nb::object stream_src;  // streaming: the path or file-like
    const bool want_stream = want_stream_;
    nb::object threshold = nb::int_(kStreamThreshold);
    auto above_threshold = [&](const nb::object &size) {
        int r = PyObject_RichCompareBool(size.ptr(), threshold.ptr(), Py_GT);
        if (r < 0) throw_current();
        return r == 1;
    };
    if (want_stream && is_path(data)) {
        nb::object size = nb::int_(-1);
        try {
            size = nb::module_::import_("os").attr("path").attr("getsize")(data);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
        if (above_threshold(size))
            stream_src = nb::borrow(data);
        else
            input = read_path(data);
    } else if (want_stream && nb::hasattr(data, "read") && !is_bytes_like(data)) {
        nb::object fsize = nb::int_(-1);
        auto probe_error = [](nb::python_error &e) {
            return e.matches(PyExc_OSError) || e.matches(PyExc_AttributeError);
        };
        try {
            nb::object fd = data.attr("fileno")();
            fsize = nb::module_::import_("os").attr("fstat")(fd).attr("st_size");
        } catch (nb::python_error &e) {
            if (!probe_error(e)) throw;
            try {
                nb::object cur = data.attr("tell")();
                data.attr("seek")(0, 2);
                fsize = data.attr("tell")();
                data.attr("seek")(cur);
            } catch (nb::python_error &e2) {
                if (!probe_error(e2)) throw;
            }
        }
        if (above_threshold(fsize))
            stream_src = nb::borrow(data);
        else
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
    if (stream_src.is_valid()) {
        init_streaming(stream_src);
    } else {
        view_.acquire(input.ptr());
        data_ref_ = input;
        src_data_ = view_.data();
        src_size_ = view_.size();
    }

    if (src_size_ == 0) raise_py(PyExc_ValueError, "jxl: empty input");
    if (!signature_ok(src_data_, src_size_))
        raise_py(PyExc_ValueError, "jxl: not a JPEG XL stream");
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
    downsample_ = static_cast<size_t>(ds);
}

void JxlReader::set_subsample(nb::handle subsample) {
    auto equals = [&](const char *name) {
        nb::str s(name);
        int r = PyObject_RichCompareBool(subsample.ptr(), s.ptr(), Py_EQ);
        if (r < 0) throw_current();
        return r == 1;
    };
    if (equals("top-left")) {
        subsample_mode_ = 0;
    } else if (equals("center")) {
        subsample_mode_ = 1;
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
    skipped_ = amount;
}

void JxlReader::init(const nb::handle *values) {
    ReaderValues v;
    std::copy(values, values + v.size(), v.begin());
    parse_options(*this, kReaderOptions, v);
    open_decoder();
    parse_header();
}

void JxlReader::open_decoder() {
    // Settings libjxl is given, decided while the GIL is held.
    if (num_threads_ > 1) {
        // With numthreads=None the count is chosen once the header gives the size.
        runner_.threads = auto_threads_ ? 1 : num_threads_;
        runner_.exact = !auto_threads_;
        // A streamed frame is decoded a span at a time: its groups' tasks
        // are handed out one by one (see RunnerRequest::one_by_one).
        runner_.one_by_one = streaming_ != 0;
    }
    int events = kEventsBase;
    if (parse_color_ || out_color_.requested || out_color_.desired_intensity_target > 0)
        events |= JXL_DEC_COLOR_ENCODING;
    if (downsample_ == 8) events |= JXL_DEC_FRAME_PROGRESSION;
    // Layers are sized from their headers; progressive frames are completed
    // unless their header says that no later frame can depend on them.
    frame_events_ = !coalesce_ || downsample_ == 8;
    if (frame_events_) events |= JXL_DEC_FRAME;
    // Spot colours are mixed into the colour channels when asked, and when a
    // rendering (output_color) of the colour alone is asked.
    const bool render_spot = render_spot_ || (!extra_channels_ && out_color_.requested);
    // All of an in-memory input is there: libjxl itself then tells a
    // truncated stream from one that needs no more bytes. With allow_partial
    // the input stays open until a frame asks for more than there is, so
    // that libjxl can still flush what it decoded.
    const bool close_input = !streaming_ && !allow_partial_;

    // Creating the decoder, setting it up and parsing up to its first event
    // touch no Python object: one release of the GIL covers them all, so that
    // a small decode hands the GIL to other threads as few times as it can.
    const char *failed = nullptr;  // the libjxl call that refused
    JxlDecoderStatus st = JXL_DEC_SUCCESS;
    {
        nb::gil_scoped_release unlocked;
        decoder_.reset(JxlDecoderCreate(nullptr));
        JxlDecoder *dec = decoder_.get();
        auto set = [&](JxlDecoderStatus s, const char *name) {
            if (!failed && s != JXL_DEC_SUCCESS) {
                failed = name;
                st = s;
            }
        };
        if (dec) {
            if (num_threads_ > 1)
                set(JxlDecoderSetParallelRunner(dec, pooled_runner, &runner_),
                    "JxlDecoderSetParallelRunner");
            if (keep_orientation_)
                set(JxlDecoderSetKeepOrientation(dec, JXL_TRUE), "JxlDecoderSetKeepOrientation");
            if (!coalesce_) set(JxlDecoderSetCoalescing(dec, JXL_FALSE), "JxlDecoderSetCoalescing");
            if (out_color_.requested)
                set(JxlDecoderSetCms(dec, *JxlGetDefaultCms()), "JxlDecoderSetCms");
            set(JxlDecoderSetRenderSpotcolors(dec, render_spot ? JXL_TRUE : JXL_FALSE),
                "JxlDecoderSetRenderSpotcolors");
            if (unpremultiply_)
                set(JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE),
                    "JxlDecoderSetUnpremultiplyAlpha");
            set(JxlDecoderSubscribeEvents(dec, events), "JxlDecoderSubscribeEvents");
            if (downsample_ == 8)
                set(JxlDecoderSetProgressiveDetail(dec, kLastPasses),
                    "JxlDecoderSetProgressiveDetail");
            set(JxlDecoderSetInput(dec, src_data_, src_size_), "JxlDecoderSetInput");
            if (!failed) {
                if (close_input) JxlDecoderCloseInput(dec);
                // Frames that libjxl parses past without rendering them.
                if (skipped_ > 0) JxlDecoderSkipFrames(dec, skipped_);
                header_status_ = JxlDecoderProcessInput(dec);
            }
        }
    }
    if (!decoder_) raise_jxl("JxlDecoderCreate returned NULL");
    if (failed) raise_dec(failed, st);
    input_closed_ = close_input ? 1 : 0;
}

void JxlReader::parse_header() {
    if (!parse_color_ && !out_color_.requested && !(out_color_.desired_intensity_target > 0))
        have_color_ = 1;
    BusyGuard guard(busy_);
    JxlDecoder *dec = decoder_.get();
    for (;;) {
        if (have_basic_info_ && have_color_) {
            if (!layout_done_) plan_layout();
            return;
        }
        JxlDecoderStatus st;
        if (header_status_ >= 0) {  // made by open_decoder
            st = static_cast<JxlDecoderStatus>(header_status_);
            header_status_ = -1;
        } else {
            nb::gil_scoped_release unlocked;
            st = JxlDecoderProcessInput(dec);
        }
        switch (st) {
            case JXL_DEC_SUCCESS:
                exhausted_ = 1;
                return;
            case JXL_DEC_NEED_MORE_INPUT:
                if (streaming_) {
                    refill_input();
                    continue;
                }
                [[fallthrough]];  // the whole input was given
            case JXL_DEC_ERROR:
                if (!streaming_ &&
                    stream_is_cut(src_data_, src_size_, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING,
                                 coalesce_))
                    raise_jxl(
                        "JxlDecoderProcessInput needs more input than was provided (truncated "
                        "stream?)");
                raise_dec("JxlDecoderProcessInput", JXL_DEC_ERROR);
            case JXL_DEC_BASIC_INFO: {
                if (JxlDecoderGetBasicInfo(dec, &basic_info_) != JXL_DEC_SUCCESS)
                    raise_jxl("JxlDecoderGetBasicInfo failed");
                have_basic_info_ = 1;
                ok_or_throw(check_max_pixels(basic_info_, max_pixels_));
                if (auto_threads_)
                    runner_.threads =
                        threads_for_size(basic_info_.xsize, basic_info_.ysize, num_threads_);
                if (basic_info_.num_extra_channels > kMaxExtraChannels)
                    raise_py(PyExc_ValueError,
                             "jxl: the stream declares " +
                                 std::to_string(basic_info_.num_extra_channels) +
                                 " extra channels; at most " +
                                 std::to_string(kMaxExtraChannels) + " are supported");
                if (!read_extra_channels(dec, basic_info_.num_extra_channels, &extras_))
                    raise_jxl("JxlDecoderGetExtraChannelInfo failed");
                // Non-XYB images are tone-mapped with the colour conversion
                // (see OutputColor and tone_map_in_place).
                if (out_color_.desired_intensity_target > 0 && !basic_info_.uses_original_profile) {
                    st = JxlDecoderSetDesiredIntensityTarget(
                        dec, out_color_.desired_intensity_target);
                    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetDesiredIntensityTarget", st);
                }
                continue;
            }
            case JXL_DEC_COLOR_ENCODING:
                if (out_color_.requested) {
                    on_color_encoding();
                } else if (out_color_.desired_intensity_target > 0 &&
                           basic_info_.uses_original_profile) {
                    tone_map_in_place();
                }
                // An image described only by an ICC profile has no encoding:
                // `color` is then None and `icc_profile` carries it.
                have_encoding_ = JxlDecoderGetColorAsEncodedProfile(
                                     dec, JXL_COLOR_PROFILE_TARGET_DATA, &color_encoding_) ==
                                 JXL_DEC_SUCCESS;
                if (out_color_.by_lcms) {
                    have_encoding_ = out_color_.delivered_has_encoding;
                    color_encoding_ = have_encoding_ ? out_color_.delivered_encoding
                                                     : JxlColorEncoding{};
                }
                have_color_ = 1;
                continue;
            default:
                continue;
        }
    }
}

// ---- streaming input -------------------------------------------------------

void JxlReader::init_streaming(nb::handle src) {
    meta_src_ = nb::borrow(src);
    if (!is_path(src)) {
        try {
            meta_pos_ = nb::cast<int64_t>(src.attr("tell")());
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
        } catch (nb::cast_error &) {
        }
    }
    nb::object cls = nb::module_::import_("quillmarsh.core.io").attr("BackgroundChunkReader");
    chunk_reader_ = cls(src, "chunk_size"_a = kChunkSize, "prefetch"_a = kPrefetch);
    streaming_ = 1;
    input_buf_capacity_ = kInitialInputBuf;
    input_buf_ = static_cast<uint8_t *>(std::malloc(kInitialInputBuf));
    if (!input_buf_)
        raise_py(PyExc_MemoryError, "jxl: failed to allocate streaming input buffer");

    nb::object first = chunk_reader_.attr("get")();
    if (first.is_none()) raise_py(PyExc_ValueError, "jxl: empty input");
    if (!PyBytes_CheckExact(first.ptr()))
        raise_py(PyExc_TypeError, "Expected bytes, got " + type_name_of(first));
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(first.ptr()));
    if (n == 0) raise_py(PyExc_ValueError, "jxl: empty input");
    // A chunk reader that ignores chunk_size must not overrun the buffer.
    if (n > input_buf_capacity_) grow_input_buf(n);
    std::memcpy(input_buf_, PyBytes_AS_STRING(first.ptr()), n);
    input_buf_used_ = n;
    if (!signature_ok(input_buf_, n)) raise_py(PyExc_ValueError, "jxl: not a JPEG XL stream");
    src_data_ = input_buf_;
    src_size_ = input_buf_used_;
}

void JxlReader::refill_input() {
    if (!decoder_ || !input_buf_) raise_py(PyExc_RuntimeError, kClosedMsg);
    JxlDecoder *dec = decoder_.get();
    size_t unprocessed = JxlDecoderReleaseInput(dec);
    if (unprocessed > input_buf_used_) unprocessed = input_buf_used_;
    if (unprocessed > 0) {
        const size_t tail_offset = input_buf_used_ - unprocessed;
        if (tail_offset != 0) std::memmove(input_buf_, input_buf_ + tail_offset, unprocessed);
        input_buf_used_ = unprocessed;
    } else {
        input_buf_used_ = 0;
    }

    if (input_eof_) {
        if (input_buf_used_ == 0)
            raise_jxl("jxl: NEED_MORE_INPUT after EOF (truncated stream?)");
    } else {
        if (!chunk_reader_.is_valid()) raise_py(PyExc_RuntimeError, kClosedMsg);
        nb::object chunk = chunk_reader_.attr("get")();
        if (chunk.is_none()) {
            input_eof_ = 1;
        } else {
            if (!PyBytes_CheckExact(chunk.ptr()))
                raise_py(PyExc_TypeError, "Expected bytes, got " + type_name_of(chunk));
            const size_t m = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
            if (input_buf_used_ + m > input_buf_capacity_) grow_input_buf(input_buf_used_ + m);
            if (m) std::memcpy(input_buf_ + input_buf_used_, PyBytes_AS_STRING(chunk.ptr()), m);
            input_buf_used_ += m;
        }
        if (input_buf_used_ == 0) raise_jxl("jxl: empty refill (truncated?)");
    }

    JxlDecoderStatus st = JxlDecoderSetInput(dec, input_buf_, input_buf_used_);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetInput", st);
    if (input_eof_ && !input_closed_) {
        JxlDecoderCloseInput(dec);
        input_closed_ = 1;
    }
}

void JxlReader::grow_input_buf(size_t needed) {
    size_t new_cap = input_buf_capacity_ ? input_buf_capacity_ : kInitialInputBuf;
    while (new_cap < needed) {
        if (new_cap > (SIZE_MAX >> 1))
            raise_py(PyExc_MemoryError, "jxl: failed to grow streaming input buffer");
        new_cap <<= 1;
    }
    void *new_buf = std::realloc(input_buf_, new_cap);
    if (!new_buf) raise_py(PyExc_MemoryError, "jxl: failed to grow streaming input buffer");
    input_buf_ = static_cast<uint8_t *>(new_buf);
    input_buf_capacity_ = new_cap;
}

// ---- frame loops -----------------------------------------------------------

void JxlReader::raise_decode_error(int rc) const {
    switch (rc) {
        case RC_ERR_PROCESS:
        case RC_ERR_NEED_INPUT_FATAL:
            // libjxl refuses a closed in-memory input that ends too early:
            // tell a cut stream from a corrupt one.
            if (!streaming_ && stream_is_cut(src_data_, src_size_, JXL_DEC_FULL_IMAGE, coalesce_))
                raise_jxl("JxlDecoderProcessInput needs more input (truncated stream?)");
            raise_jxl("JxlDecoderProcessInput returned JXL_DEC_ERROR");
        case RC_ERR_BUF_SIZE_QUERY: raise_jxl("JxlDecoderImageOutBufferSize failed");
        case RC_ERR_BUF_SIZE_MISMATCH: raise_jxl("jxl: out buffer size mismatch");
        case RC_ERR_SET_BUFFER: raise_jxl("JxlDecoderSetImageOutBuffer failed");
        case RC_ERR_SET_BIT_DEPTH: raise_jxl("JxlDecoderSetImageOutBitDepth failed");
        case RC_ERR_DOUBLE_ALLOC: raise_jxl("jxl: double-allocation in decode loop");
        default: raise_jxl("jxl: unknown decode error code " + std::to_string(rc));
    }
}

namespace {

int set_plan_buffers_nogil(JxlDecoder *dec, const FramePlan *plan, int *buffer_set) {
    if (*buffer_set) return RC_ERR_DOUBLE_ALLOC;
    switch (plan->set_buffers_nogil(dec)) {
        case 0: break;
        case -1: return RC_ERR_BUF_SIZE_QUERY;
        case -2: return RC_ERR_BUF_SIZE_MISMATCH;
        default: return RC_ERR_SET_BUFFER;
    }
    *buffer_set = 1;
    return 0;
}

}  // namespace

// ---- reduced frames ----------------------------------------------------------

void ReducedSink::configure(void *buf, size_t frame_height, size_t frame_width, size_t step,
                            int mode, size_t pbytes) {
    base = static_cast<uint8_t *>(buf);
    height = frame_height;
    width = frame_width;
    n = step;
    pixel_bytes = pbytes;
    // subsample_slice's first sample: 0, or the centre of the first block (the
    // last row/column when the frame is no larger than half a block).
    auto first = [&](size_t len) {
        if (mode == 0) return size_t(0);
        const size_t off = n / 2;
        return off < len ? off : (len ? len - 1 : 0);
    };
    y0 = first(height);
    x0 = first(width);
    out_rows = (height + n - 1) / n;
    out_cols = (width + n - 1) / n;
    rows = height > y0 ? (height - y0 + n - 1) / n : 0;
    cols = width > x0 ? (width - x0 + n - 1) / n : 0;
    touched.store(false, std::memory_order_relaxed);
}

void ReducedSink::on_pixels(void *opaque, size_t x, size_t y, size_t num_pixels,
                            const void *pixels) {
    auto *s = static_cast<ReducedSink *>(opaque);
    if (!s->touched.load(std::memory_order_relaxed))
        s->touched.store(true, std::memory_order_relaxed);
    if (y < s->y0 || (y - s->y0) % s->n != 0) return;
    const size_t j = (y - s->y0) / s->n;
    if (j >= s->rows) return;
    const size_t n = s->n, pb = s->pixel_bytes, end = x + num_pixels;
    size_t k = x <= s->x0 ? 0 : (x - s->x0 + n - 1) / n;
    uint8_t *dst = s->base + (j * s->out_cols + k) * pb;
    const auto *src = static_cast<const uint8_t *>(pixels);
    // Threads write disjoint samples: each kept sample has one source pixel.
    for (size_t col = s->x0 + k * n; col < end && k < s->cols; col += n, ++k, dst += pb)
        std::memcpy(dst, src + (col - x) * pb, pb);
}

void ReducedSink::pad_nogil() const {
    // np.pad(mode="edge") of the sampled block: last column, then last row.
    const size_t pb = pixel_bytes, row_bytes = out_cols * pb;
    if (cols == 0 || rows == 0) return;
    for (size_t j = 0; j < rows; ++j) {
        uint8_t *row = base + j * row_bytes;
        for (size_t k = cols; k < out_cols; ++k) std::memcpy(row + k * pb, row + (cols - 1) * pb, pb);
    }
    for (size_t j = rows; j < out_rows; ++j)
        std::memcpy(base + j * row_bytes, base + (rows - 1) * row_bytes, row_bytes);
}

int flush_progression_nogil(JxlDecoder *dec) {
    if (JxlDecoderFlushImage(dec) != JXL_DEC_SUCCESS) return RC_NEED_FLUSH;
    (void)JxlDecoderSkipCurrentFrame(dec);
    return RC_FRAME;
}

namespace {

int set_sink_nogil(JxlDecoder *dec, const JxlPixelFormat *pf, const JxlBitDepth *bd,
                   ReducedSink *sink, int *buffer_set) {
    if (*buffer_set) return RC_ERR_DOUBLE_ALLOC;
    // The frame libjxl is about to deliver must be the one the sink was sized for.
    size_t full_size = 0;
    if (JxlDecoderImageOutBufferSize(dec, pf, &full_size) != JXL_DEC_SUCCESS)
        return RC_ERR_BUF_SIZE_QUERY;
    const uint64_t want = uint64_t(sink->width) * sink->height * pf->num_channels *
                          bytes_per_sample(pf->data_type);  // sizes bounded by the header checks
    if (full_size != want) return RC_ERR_BUF_SIZE_MISMATCH;
    if (JxlDecoderSetImageOutCallback(dec, pf, &ReducedSink::on_pixels, sink) != JXL_DEC_SUCCESS)
        return RC_ERR_SET_BUFFER;
    if (bd->type == JXL_BIT_DEPTH_FROM_CODESTREAM &&
        JxlDecoderSetImageOutBitDepth(dec, bd) != JXL_DEC_SUCCESS)
        return RC_ERR_SET_BIT_DEPTH;
    *buffer_set = 1;
    return 0;
}

}  // namespace

int decode_frame_nogil(JxlDecoder *dec, const JxlPixelFormat *pf, const JxlBitDepth *bd,
                       void *buf, size_t buf_size, size_t target_ratio, size_t *out_ratio,
                       int *buffer_set_io, int streaming, const FramePlan *plan,
                       ReducedSink *sink, int *pending) {
    for (;;) {
        JxlDecoderStatus st;
        if (pending && *pending >= 0) {
            st = static_cast<JxlDecoderStatus>(*pending);
            *pending = -1;
        } else {
            st = JxlDecoderProcessInput(dec);
        }
        switch (st) {
            case JXL_DEC_FRAME_PROGRESSION: {
                const size_t ratio = JxlDecoderGetIntendedDownsamplingRatio(dec);
                if (ratio < 1 || ratio > target_ratio) continue;
                if (sink && ratio != sink->n) {
                    // Pixels already kept at the sink's ratio cannot be had
                    // again at another: go on to a point of its own ratio.
                    if (sink->touched.load(std::memory_order_relaxed)) continue;
                    *out_ratio = ratio;
                    return RC_RESAMPLE;
                }
                if (flush_progression_nogil(dec) == RC_FRAME) {
                    *out_ratio = ratio;
                    return RC_FRAME;
                }
                continue;  // wait for a finer point or the full image
            }
            case JXL_DEC_FULL_IMAGE: *out_ratio = 0; return RC_FRAME;
            case JXL_DEC_FRAME: return RC_FRAME_HEADER;
            case JXL_DEC_SUCCESS: return RC_EOF;
            case JXL_DEC_NEED_MORE_INPUT:
                return streaming ? RC_NEED_INPUT : RC_ERR_NEED_INPUT_FATAL;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
                const int rc = plan   ? set_plan_buffers_nogil(dec, plan, buffer_set_io)
                               : sink ? set_sink_nogil(dec, pf, bd, sink, buffer_set_io)
                                      : set_image_out_buffer(dec, pf, bd, buf, buf_size,
                                                             buffer_set_io);
                if (rc < 0) return rc;
                continue;
            }
            case JXL_DEC_ERROR: return RC_ERR_PROCESS;
            default: continue;
        }
    }
}

nb::object subsample_slice(nb::handle arr, Py_ssize_t n, int mode) {
    if (n < 1) raise_py(PyExc_ValueError, "jxl: n must be >= 1 (got " + std::to_string(n) + ")");
    nb::object shape = arr.attr("shape");
    const Py_ssize_t ndim = static_cast<Py_ssize_t>(nb::len(shape));
    if (ndim != 2 && ndim != 3)
        raise_py(PyExc_ValueError, "jxl: expected a 2-D or 3-D array (got " +
                                       std::to_string(ndim) + " dimensions)");
    const Py_ssize_t h = nb::cast<Py_ssize_t>(shape[0]);
    const Py_ssize_t w = nb::cast<Py_ssize_t>(shape[1]);
    Py_ssize_t y0 = 0, x0 = 0;
    if (mode != 0) {
        const Py_ssize_t off = n / 2;
        // A frame no larger than n/2 along an axis has no centre sample there:
        // take its last row/column, the nearest one that exists.
        y0 = off < h ? off : std::max<Py_ssize_t>(h - 1, 0);
        x0 = off < w ? off : std::max<Py_ssize_t>(w - 1, 0);
    }
    nb::object step = nb::int_(n);
    nb::object ys = nb::steal(PySlice_New(nb::int_(y0).ptr(), Py_None, step.ptr()));
    nb::object xs = nb::steal(PySlice_New(nb::int_(x0).ptr(), Py_None, step.ptr()));
    if (!ys.is_valid() || !xs.is_valid()) throw_current();
    nb::object view = arr[nb::make_tuple(ys, xs)];
    nb::object out = view.attr("copy")();
    if (mode == 0) return out;

    nb::object oshape = out.attr("shape");
    const Py_ssize_t hp = (h + n - 1) / n - nb::cast<Py_ssize_t>(oshape[0]);
    const Py_ssize_t wp = (w + n - 1) / n - nb::cast<Py_ssize_t>(oshape[1]);
    if (hp <= 0 && wp <= 0) return out;
    nb::object rows = nb::make_tuple(0, std::max<Py_ssize_t>(hp, 0));
    nb::object cols = nb::make_tuple(0, std::max<Py_ssize_t>(wp, 0));
    nb::object widths = ndim == 2 ? nb::object(nb::make_tuple(rows, cols))
                                  : nb::object(nb::make_tuple(rows, cols, nb::make_tuple(0, 0)));
    return nb::handle(g.np).attr("pad")(out, widths, "mode"_a = "edge");
}

// An array shape as Python writes it.
std::string shape_text(const npy_intp *dims, size_t nd) {
    std::string t = "(";
    for (size_t i = 0; i < nd; ++i) t += (i ? ", " : "") + std::to_string(dims[i]);
    return t + (nd == 1 ? ",)" : ")");
}

// The iterator behind iter_frames(), __iter__() and _iter_frames_progressive().
// Checks happen when it is advanced; a closed reader is refused on every
// resume, so a released decoder never reaches libjxl.
struct FrameIterator {
    nb::object reader_obj;  // strong reference to the JxlReader
    bool progressive = false;
    bool started = false;
    bool finished = false;
    nb::object delegate;  // the progressive iterator iter_frames() hands over to
    size_t dn = 1;
    int streaming = 0;
    nb::object frame;  // array being decoded
    int buffer_set = 0;
    // read() of an animation: frames are decoded straight into the slices of
    // one preallocated (T, ...) array instead of being stacked afterwards.
    nb::object stack;
    size_t stack_len = 0, stack_pos = 0;
    size_t out_ratio = 0;
    // The caller's memory: `stack` came from read_into() (a frame past its end
    // is an error, not a new array), or every frame goes into `out_frame`.
    bool caller_stack = false;
    nb::object out_frame;
    // Reduced frames sampled from a full-size buffer, as assembled frames
    // are (a check of the sink against it).
    bool full_buffer = false;
    // read() of a still image in memory: every frame is taken, so the status
    // after the frame is asked along with it (kept in the reader's
    // pending_status_ for the next step).
    bool peek_end = false;

    // Where the next frame goes, or null for a new array.
    nb::object dest_slot() {
        if (stack.is_valid()) {
            if (stack_pos >= stack_len) return {};
            PyObject *slot = PySequence_GetItem(stack.ptr(), static_cast<Py_ssize_t>(stack_pos));
            if (!slot) throw_current();
            return nb::steal(slot);  // C-contiguous view of one frame
        }
        return out_frame;
    }

    // A decoded frame `res` handed out: copied into `dest` unless libjxl
    // wrote it there already (`direct`).
    nb::object deliver(nb::object res, const nb::object &dest, bool direct) {
        if (caller_stack && !dest.is_valid())
            raise_py(PyExc_ValueError, "jxl: the stream has more frames than out holds (" +
                                           std::to_string(stack_len) + ")");
        if (!dest.is_valid()) return res;
        // A layer of its own size (coalesce=False), or a coarser rendering.
        if (!direct) {
            auto *a = reinterpret_cast<PyArrayObject *>(res.ptr());
            auto *b = reinterpret_cast<PyArrayObject *>(dest.ptr());
            const size_t na = static_cast<size_t>(PyArray_NDIM(a));
            const size_t nb_ = static_cast<size_t>(PyArray_NDIM(b));
            if (na != nb_ || !std::equal(PyArray_DIMS(a), PyArray_DIMS(a) + na, PyArray_DIMS(b)))
                raise_py(PyExc_ValueError,
                         "jxl: a frame of shape " + shape_text(PyArray_DIMS(a), na) +
                             " does not fit out's " + shape_text(PyArray_DIMS(b), nb_) +
                             "; iterate over iter_frames() without out to get each one");
        }
        if (!direct) nb::handle(g.np).attr("copyto")(dest, res);
        if (stack.is_valid()) ++stack_pos;
        return dest;
    }

    // A failed refill leaves libjxl mid-frame (see input_failed_).
    static void refill(JxlReader &r) {
        try {
            r.refill_input();
        } catch (...) {
            r.input_failed_ = 1;
            throw;
        }
    }

    // The end of the frames: a null object (raised as StopIteration by
    // __next__ only; read() ends its loop without an exception).
    nb::object stop() {
        finished = true;
        frame.reset();
        delegate.reset();
        return {};
    }

    nb::object next() {
        if (finished || !reader_obj.is_valid()) return stop();
        if (delegate.is_valid()) {
            // Refused here, before the delegate is asked: its refusal would end
            // this iterator and drop the delegate while another thread runs it.
            nb::inst_ptr<JxlReader>(reader_obj)->check_not_busy();
            nb::object d = delegate;  // alive for the call, whatever close() does
            PyObject *item = PyIter_Next(d.ptr());
            if (item) {
                nb::object res = nb::steal(item);
                return deliver(res, dest_slot(), false);
            }
            if (PyErr_Occurred()) {
                finished = true;
                delegate.reset();
                throw_current();
            }
            return stop();
        }
        JxlReader &r = *nb::inst_ptr<JxlReader>(reader_obj);
        if (r.closed_ || !r.decoder_ || !r.frame_shape_.is_valid()) {
            finished = true;
            frame.reset();
            raise_py(PyExc_RuntimeError, kClosedMsg);
        }
        r.check_not_busy();  // a refusal, not a failure: the iterator stays usable
        if (r.input_failed_) {
            finished = true;
            frame.reset();
            raise_py(PyExc_RuntimeError, kInputFailedMsg);
        }
        try {
            if (!started) {
                started = true;
                if (!progressive && r.downsample_ == 8) {
                    delegate = reader_obj.attr("_iter_frames_progressive")();
                    return next();
                }
                dn = r.downsample_;
                streaming = r.streaming_;
            }
            return step(r);
        } catch (...) {
            finished = true;
            frame.reset();
            throw;
        }
    }

    // A new array for one frame of `shape`, within the byte budget.
    // A new array for a whole frame, within the byte budget.
    static nb::object new_frame(JxlReader &r) {
        ok_or_throw(check_max_bytes(r.frame_nbytes_, r.max_bytes_, "decoding a frame"));
        return empty_frame(nb::borrow<nb::tuple>(r.frame_shape_),
                           npy_type_of(r.pixel_format_.data_type));
    }

    // A new array for a layer of (ysize, xsize) pixels reduced by `n`, within
    // the byte budget.
    static nb::object new_layer(JxlReader &r, uint64_t ysize, uint64_t xsize, size_t n = 1) {
        ysize = (ysize + n - 1) / n;
        xsize = (xsize + n - 1) / n;
        ok_or_throw(check_max_bytes(value_or_throw(frame_bytes(xsize, ysize, r.pixel_format_)), r.max_bytes_,
                        "decoding a frame"));
        nb::tuple full = nb::borrow<nb::tuple>(r.frame_shape_);
        nb::tuple shape = nb::len(full) == 2 ? nb::make_tuple(ysize, xsize)
                                             : nb::make_tuple(ysize, xsize, full[2]);
        return empty_frame(shape, npy_type_of(r.pixel_format_.data_type));
    }

    static void *data_of(const nb::object &arr) {
        return arr.is_valid() ? PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.ptr())) : nullptr;
    }

    // One frame: decoded whole (into the next slice of `stack` when read()
    // preallocated one) or, on the progressive path, up to its progression
    // point of at most `dn`; then reduced to the wanted size. Without
    // coalescing, a frame is a layer of the size its header gives. A frame
    // that libjxl writes alone is reduced as it arrives (ReducedSink); an
    // assembled one (extra channels, lcms2 colour) is decoded whole first.
    nb::object step(JxlReader &r) {
        if (r.exhausted_) return stop();
        if (r.pending_status_ == JXL_DEC_SUCCESS) {  // seen after the last frame (to_end)
            r.pending_status_ = -1;
            r.exhausted_ = 1;
            return stop();
        }
        // The local reference keeps the array libjxl writes into alive should
        // close() be called on this iterator from another thread meanwhile.
        const nb::object dest = progressive ? nb::object() : dest_slot();
        const FramePlan *plan = r.frame_plan();
        ReducedSink *sink = dn >= 2 && !plan && !full_buffer ? &r.sink_ : nullptr;
        // Frames of the destination's shape are decoded straight into it;
        // layers get an array of their own size once their header is known.
        const bool direct = dest.is_valid() && (dn == 1 || sink) && r.coalesce_;
        const size_t pixel_bytes = r.samples_ * bytes_per_sample(r.pixel_format_.data_type);
        const size_t sink_n = dn;
        // The frame's (or layer's) full size, for the sink.
        size_t fy = 0, fx = 0;
        if (r.coalesce_) {
            fy = r.basic_info_.ysize;
            fx = r.basic_info_.xsize;
        }
        nb::object arr;
        if (direct) {
            arr = dest;
        } else if (!r.frame_events_) {
            arr = sink ? new_layer(r, fy, fx, sink_n) : new_frame(r);
        }
        if (sink && arr.is_valid()) sink->configure(data_of(arr), fy, fx, sink_n, r.subsample_mode_, pixel_bytes);
        buffer_set = 0;
        out_ratio = 0;
        // Frames that a later frame may be drawn onto are completed; only a
        // frame known to be the last one stops at its progression point.
        size_t target = progressive && !r.frame_events_ ? dn : 0;
        int rc;
        {
            BusyGuard guard(r.busy_);
            for (;;) {
                frame = arr;
                void *buf = data_of(arr);
                const size_t nbytes =
                    arr.is_valid() ? static_cast<size_t>(PyArray_NBYTES(
                                         reinterpret_cast<PyArrayObject *>(arr.ptr())))
                                   : 0;
                {
                    nb::gil_scoped_release unlocked;
                    rc = decode_frame_nogil(r.decoder_.get(), &r.pixel_format_, &r.bit_depth_, buf,
                                            nbytes, target, &out_ratio, &buffer_set, streaming, plan,
                                            sink, &r.pending_status_);
                    // The caller goes on to the end: what follows a still
                    // image's frame (normally the end of the stream) is asked
                    // now rather than in a release of the GIL of its own.
                    if (rc == RC_FRAME && peek_end) {
                        r.pending_status_ = JxlDecoderProcessInput(r.decoder_.get());
                        // decode()'s own reader needs nothing more of a decoder
                        // at the end of the stream: it goes here, not in
                        // close() with the GIL held.
                        if (r.pending_status_ == JXL_DEC_SUCCESS && r.one_shot_ && !plan && !sink)
                            r.decoder_.reset();
                    }
                }
                if (rc == RC_NEED_INPUT) {
                    refill(r);
                } else if (rc == RC_FRAME_HEADER) {
                    JxlFrameHeader h;
                    if (JxlDecoderGetFrameHeader(r.decoder_.get(), &h) != JXL_DEC_SUCCESS)
                        raise_jxl("JxlDecoderGetFrameHeader failed");
                    if (progressive) target = h.is_last ? dn : 0;
                    if (!r.coalesce_) {
                        fy = h.layer_info.ysize;
                        fx = h.layer_info.xsize;
                    }
                    // Layers have their own size, assembled ones (extra
                    // channels) too: the plan's buffers hold the image, a
                    // layer uses a part of them.
                    if (plan && !r.coalesce_) r.plan_.npixels = fy * fx;
                    if (!arr.is_valid()) {
                        if (sink) {
                            arr = new_layer(r, fy, fx, sink_n);
                            sink->configure(data_of(arr), fy, fx, sink_n, r.subsample_mode_,
                                            pixel_bytes);
                        } else {
                            arr = r.coalesce_ ? new_frame(r) : new_layer(r, fy, fx);
                        }
                    }
                } else if (rc == RC_RESAMPLE) {
                    // The frame's first progression point has another ratio
                    // than 1:dn and nothing is kept yet: its rendering at that
                    // ratio, as a full-size buffer sampled by it would give.
                    const size_t ratio = out_ratio;
                    nb::object finer = new_layer(r, fy, fx, ratio);
                    frame = finer;
                    sink->configure(data_of(finer), fy, fx, ratio, r.subsample_mode_, pixel_bytes);
                    {
                        nb::gil_scoped_release unlocked;
                        rc = flush_progression_nogil(r.decoder_.get());
                    }
                    if (rc == RC_FRAME) {
                        arr = finer;
                        break;
                    }
                    out_ratio = 0;
                    sink->configure(buf, fy, fx, sink_n, r.subsample_mode_, pixel_bytes);
                } else if (rc == RC_ERR_NEED_INPUT_FATAL && r.allow_partial_ && !r.streaming_) {
                    // Every byte was given. Mid-frame, the stream is cut:
                    // what libjxl decoded so far is the frame. Between
                    // frames, the input is closed and libjxl tells the end
                    // of the stream from a cut.
                    if (buffer_set) {
                        nb::gil_scoped_release unlocked;
                        if (JxlDecoderFlushImage(r.decoder_.get()) == JXL_DEC_SUCCESS) {
                            rc = RC_FRAME;
                            r.truncated_ = 1;
                        }
                        break;
                    }
                    if (r.input_closed_) break;
                    JxlDecoderCloseInput(r.decoder_.get());
                    r.input_closed_ = 1;
                } else {
                    break;
                }
            }
            if (rc == RC_FRAME) {
                if (sink) {
                    nb::gil_scoped_release unlocked;
                    sink->pad_nogil();
                } else {
                    r.finish_frame(data_of(arr));
                }
            }
        }
        frame.reset();
        if (rc == RC_EOF) {
            r.exhausted_ = 1;
            return stop();
        }
        if (r.truncated_) r.exhausted_ = 1;  // nothing follows a cut frame
        if (rc != RC_FRAME && r.allow_partial_ && !r.streaming_ && r.frames_done_ > 0 &&
            (rc == RC_ERR_PROCESS || rc == RC_ERR_NEED_INPUT_FATAL) &&
            stream_is_cut(r.src_data_, r.src_size_, JXL_DEC_FULL_IMAGE, r.coalesce_)) {
            // Cut before this frame had anything to show: the frames end.
            r.truncated_ = 1;
            r.exhausted_ = 1;
            return stop();
        }
        if (rc != RC_FRAME) r.raise_decode_error(rc);
        ++r.frames_done_;
        if (!r.decoder_) {  // released at the end of the stream (one_shot_)
            r.pending_status_ = -1;
            r.exhausted_ = 1;
            finished = true;
        }
        const size_t ratio = progressive && out_ratio ? out_ratio : dn;
        nb::object res = ratio < 2 || sink ? arr
                                           : subsample_slice(arr, static_cast<Py_ssize_t>(ratio),
                                                             r.subsample_mode_);
        return deliver(res, dest, direct);
    }

    void close() {
        finished = true;
        frame.reset();
        delegate.reset();
    }

    std::array<nb::object *, 5> gc_refs() {
        return {&reader_obj, &delegate, &frame, &stack, &out_frame};
    }
};

// ---- colour-managed output ---------------------------------------------------

void JxlReader::set_desired_intensity_target(nb::handle nits) {
    if (nits.is_none()) return;
    const double v = nb::cast<double>(nb::float_(nits));
    if (!(v > 0.0) || !std::isfinite(v))
        raise_py(PyExc_ValueError,
                 "jxl: desired_intensity_target must be a positive number of nits (got " +
                     std::string(nb::repr(nits).c_str()) + ")");
    out_color_.desired_intensity_target = static_cast<float>(v);
}

void JxlReader::set_output_color(nb::handle output_color) {
    OutputColor &oc = out_color_;
    if (output_color.is_none()) return;
    oc.requested = true;
    if (is_bytes_like(output_color)) {
        ByteView icc;
        icc.acquire(output_color.ptr());
        oc.target.icc.assign(icc.data(), icc.data() + icc.size());
        const uint32_t space = icc_color_space_nogil(oc.target.icc.data(), oc.target.icc.size());
        if (space == 0)
            raise_py(PyExc_ValueError,
                     "jxl: output_color bytes are not an ICC profile that lcms2 can read");
    } else if (PyUnicode_Check(output_color.ptr()) ||
               nb::isinstance(output_color, nb::module_::import_("quillmarsh.core.color")
                                                .attr("ColorSpec"))) {
        nb::object spec =
            nb::module_::import_("quillmarsh.core.color").attr("parse_color")(output_color);
        JxlColorEncoding &e = oc.target.encoding;
        e = JxlColorEncoding{};
        e.color_space = JXL_COLOR_SPACE_RGB;
        e.white_point = static_cast<JxlWhitePoint>(nb::cast<int>(spec.attr("white_point")));
        e.primaries = static_cast<JxlPrimaries>(nb::cast<int>(spec.attr("primaries")));
        e.transfer_function =
            static_cast<JxlTransferFunction>(nb::cast<int>(spec.attr("transfer")));
        e.rendering_intent =
            static_cast<JxlRenderingIntent>(nb::cast<int>(spec.attr("rendering_intent")));
        e.gamma = nb::cast<double>(spec.attr("gamma"));
        oc.target.has_encoding = true;
    } else {
        raise_py(PyExc_TypeError,
                 "jxl: output_color must be None, a colour name, a ColorSpec or ICC profile "
                 "bytes (got " + type_name_of(output_color) + ")");
    }
}

void JxlReader::on_color_encoding() {
    const bool cmyk = black_channel() >= 0;
    int rc;
    {
        nb::gil_scoped_release unlocked;
        rc = out_color_.on_color_encoding_nogil(decoder_.get(), basic_info_, cmyk);
    }
    switch (rc) {
        case COLOR_OK: break;
        case COLOR_ERR_SPACE:
            raise_py(PyExc_ValueError,
                     std::string("jxl: output_color's ICC profile does not describe ") +
                         (basic_info_.num_color_channels == 1 ? "grey" : "RGB") +
                         " data like this image's");
        case COLOR_ERR_ENCODING:
            raise_py(PyExc_ValueError,
                     "jxl: output_color describes a colour space that cannot be built "
                     "(unknown transfer function?)");
        case COLOR_ERR_PROFILE: raise_jxl("jxl: the image's colour profile cannot be read");
        default: raise_jxl("jxl: lcms2 could not build the colour transform for output_color");
    }
}

void JxlReader::tone_map_in_place() {
    JxlDecoder *dec = decoder_.get();
    JxlColorEncoding enc;
    if (black_channel() >= 0 ||
        JxlDecoderGetColorAsEncodedProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, &enc) !=
            JXL_DEC_SUCCESS ||
        enc.transfer_function != JXL_TRANSFER_FUNCTION_PQ)
        return;  // nothing to tone-map: libjxl would leave these alone too
    OutputColor &oc = out_color_;
    oc.target = ColorEndpoint{};
    oc.target.has_encoding = true;
    oc.target.encoding = enc;
    oc.in_place = true;
    on_color_encoding();
}

int JxlReader::black_channel() const {
    for (size_t i = 0; i < extras_.size(); ++i)
        if (extras_[i].info.type == JXL_CHANNEL_BLACK) return static_cast<int>(i);
    return -1;
}

namespace {

// Sample type of a channel of `bits` / `exp_bits`, ranked: uint8 < uint16 <
// float16 < float32 (float16 only holds floats of 16 bits).
int rank_of(uint32_t bits, uint32_t exp_bits) {
    if (exp_bits) return bits <= 16 ? 2 : 3;
    return bits <= 8 ? 0 : (bits <= 16 ? 1 : 3);
}

}  // namespace

void JxlReader::plan_layout() {
    layout_done_ = 1;
    const JxlBasicInfo &b = basic_info_;
    const uint32_t c = b.num_color_channels;
    int first_alpha = -1;
    for (size_t i = 0; i < extras_.size(); ++i)
        if (extras_[i].info.type == JXL_CHANNEL_ALPHA) {
            first_alpha = static_cast<int>(i);
            break;
        }
    const bool cmyk = out_color_.requested && black_channel() >= 0;

    // Extra channels delivered after colour, in file order.
    std::vector<uint32_t> deliver;
    for (uint32_t i = 0; i < extras_.size(); ++i) {
        const JxlExtraChannelType t = extras_[i].info.type;
        if (extra_channels_ || static_cast<int>(i) == first_alpha) {
            deliver.push_back(i);
        } else if (t == JXL_CHANNEL_BLACK && out_color_.requested) {
            // consumed by the CMYK rendering
        } else if (t == JXL_CHANNEL_SPOT_COLOR && (render_spot_ || out_color_.requested)) {
            // rendered into colour by libjxl
        } else {
            // The fixed refusal, then the way out: extra_channels=True reads these.
            raise_py(PyExc_NotImplementedError,
                     "jxl: unsupported channel layout (color=" + std::to_string(c) +
                         ", extra=" + std::to_string(b.num_extra_channels) + ", alpha=" +
                         (b.alpha_bits ? "True" : "False") +
                         "); v0.1 supports L, LA, RGB, RGBA only; to read the other channels "
                         "too, pass extra_channels=True");
        }
    }
    // libjxl writes an interleaved alpha at colour's depth; an alpha of its
    // own depth goes through the plan, which keeps each channel's range.
    const bool alpha_own_depth =
        extra_channels_ && first_alpha >= 0 &&
        (extras_[first_alpha].info.bits_per_sample != b.bits_per_sample ||
         extras_[first_alpha].info.exponent_bits_per_sample != b.exponent_bits_per_sample);
    const bool plain_layout =
        !alpha_own_depth &&
        (deliver.empty() || (deliver.size() == 1 && static_cast<int>(deliver[0]) == first_alpha));
    assembled_ = !plain_layout || out_color_.by_lcms || cmyk;

    if (!assembled_) {
        // libjxl fills a requested alpha the image lacks with opaque samples.
        samples_ = c + deliver.size() + (opaque_alpha_ && first_alpha < 0);
        frame_dtype_ = nb::borrow(basic_info_to_dtype(b));
        frame_nbytes_ = value_or_throw(configure_pixel_format(b, samples_, &pixel_format_, &bit_depth_));
    } else {
        // One sample type for the frame: the basic info's, or with every
        // channel the widest any channel needs.
        int rank = rank_of(b.bits_per_sample, b.exponent_bits_per_sample);
        uint32_t max_bits = b.bits_per_sample;
        if (extra_channels_) {
            for (uint32_t i : deliver) {
                const auto &info = extras_[i].info;
                rank = std::max(rank, rank_of(info.bits_per_sample, info.exponent_bits_per_sample));
                max_bits = std::max(max_bits, info.bits_per_sample);
            }
            if (rank == 2) {  // float16 only when every channel is a 16-bit float
                bool all_half = b.exponent_bits_per_sample && b.bits_per_sample <= 16;
                for (uint32_t i : deliver)
                    all_half = all_half && extras_[i].info.exponent_bits_per_sample &&
                               extras_[i].info.bits_per_sample <= 16;
                if (!all_half) rank = 3;
            }
        }
        static const JxlDataType kTypes[] = {JXL_TYPE_UINT8, JXL_TYPE_UINT16, JXL_TYPE_FLOAT16,
                                             JXL_TYPE_FLOAT};
        const JxlDataType type = kTypes[rank];
        const bool integer = rank < 2;
        // Full scale of a channel of `bits` in the frame: its own range, or
        // the widest channel's with rescale.
        auto out_scale = [&](uint32_t bits) {
            return std::ldexp(1.0, static_cast<int>(rescale_ ? max_bits : bits)) - 1.0;
        };
        auto natural = [](uint32_t bits, uint32_t exp_bits) {
            if (exp_bits || bits > 16) return JXL_TYPE_FLOAT;
            return bits <= 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16;
        };
        FramePlan &p = plan_;
        p.npixels = static_cast<size_t>(b.xsize) * b.ysize;
        p.color_in = c;
        p.converter = out_color_.by_lcms ? &out_color_.converter : nullptr;
        p.color_out = p.converter ? static_cast<uint32_t>(out_color_.converter.dst_channels()) : c;
        p.color_src.type = p.converter ? JXL_TYPE_FLOAT
                                       : natural(b.bits_per_sample, b.exponent_bits_per_sample);
        const bool from_codestream = p.color_src.type != JXL_TYPE_FLOAT;
        p.bit_depth = from_codestream ? JxlBitDepth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0}
                                      : JxlBitDepth{JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
        // Multiplier from what libjxl writes to the frame's units.
        auto source = [&](uint32_t bits, uint32_t exp_bits) {
            FramePlan::Source src;
            src.type = natural(bits, exp_bits);
            if (src.type == JXL_TYPE_FLOAT) {
                src.mul = integer ? out_scale(bits) : 1.0;
            } else {
                const double raw_max = from_codestream
                                           ? std::ldexp(1.0, static_cast<int>(bits)) - 1.0
                                           : (src.type == JXL_TYPE_UINT8 ? 255.0 : 65535.0);
                src.mul = (integer ? out_scale(bits) : 1.0) / raw_max;
                src.norm = 1.0 / raw_max;
            }
            return src;
        };
        if (!p.converter) p.color_src = source(b.bits_per_sample, b.exponent_bits_per_sample);
        p.converted_mul = integer ? out_scale(b.bits_per_sample) : 1.0;
        p.extra_index = deliver;
        if (cmyk && !extra_channels_) p.extra_index.push_back(static_cast<uint32_t>(black_channel()));
        p.plane_src.clear();
        p.black_plane = -1;
        for (size_t k = 0; k < p.extra_index.size(); ++k) {
            const auto &info = extras_[p.extra_index[k]].info;
            p.plane_src.push_back(source(info.bits_per_sample, info.exponent_bits_per_sample));
            if (cmyk && static_cast<int>(p.extra_index[k]) == black_channel())
                p.black_plane = static_cast<int>(k);
        }
        p.opaque = opaque_alpha_ && first_alpha < 0;
        p.out_planes.clear();
        for (size_t k = 0; k < deliver.size(); ++k) p.out_planes.push_back(static_cast<uint32_t>(k));
        p.out_type = type;
        if (!p.allocate())
            raise_py(PyExc_MemoryError, "jxl: no memory for the frame's channel buffers");
        samples_ = p.out_samples();
        pixel_format_ = JxlPixelFormat{static_cast<uint32_t>(samples_), type, JXL_NATIVE_ENDIAN, 0};
        bit_depth_ = JxlBitDepth{JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
        PyObject *t = type == JXL_TYPE_UINT8    ? g.t_uint8
                      : type == JXL_TYPE_UINT16 ? g.t_uint16
                      : type == JXL_TYPE_FLOAT16 ? g.t_float16
                                                 : g.t_float32;
        frame_dtype_ = nb::borrow(t);
        frame_nbytes_ = static_cast<uint64_t>(samples_) * bytes_per_sample(type) * p.npixels;
    }
    frame_shape_ = samples_ == 1 ? nb::make_tuple(b.ysize, b.xsize)
                                 : nb::make_tuple(b.ysize, b.xsize, samples_);
}

void JxlReader::finish_frame(void *frame_buf) {
    if (!assembled_) return;
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        ok = plan_.assemble_nogil(frame_buf);
    }
    if (!ok) raise_jxl("jxl: the colour conversion for output_color failed");
}

// ---- metadata --------------------------------------------------------------

void JxlReader::fetch_icc_profile() {
    icc_fetched_ = 1;
    if (out_color_.by_lcms) {
        const auto &icc = out_color_.delivered_icc;
        if (!icc.empty())
            icc_profile_ = nb::bytes(reinterpret_cast<const char *>(icc.data()), icc.size());
        return;
    }

    JxlDecoder *dec = decoder_.get();
    size_t icc_size = 0;
    if (JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &icc_size) !=
            JXL_DEC_SUCCESS ||
        icc_size == 0)
        return;
    PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(icc_size));
    if (!b) throw_current();
    nb::object profile = nb::steal(b);
    if (JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(b)),
                                       icc_size) == JXL_DEC_SUCCESS)
        icc_profile_ = profile;
}

void JxlReader::meta_input(ProbeInput &in) {
    if (!streaming_) return in.open_memory(src_data_, src_size_);
    if (is_path(meta_src_)) return in.open(meta_src_);
    int fd = -1;
    try {
        fd = nb::cast<int>(meta_src_.attr("fileno")());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (nb::cast_error &) {
    }
    if (fd < 0 || meta_pos_ < 0)
        raise_py(PyExc_RuntimeError,
                 "jxl: the metadata of a streamed file object is read through its file "
                 "descriptor, and this one has none; open the reader on a path or with "
                 "streaming=False");
    in.open_fd(fd, meta_pos_);
}

const BoxScan &JxlReader::box_scan() {
    if (boxes_) return *boxes_;
    check_open();
    check_not_busy();
    // Busy while the pass runs, so close() from another thread must wait.
    BusyGuard guard(busy_);
    ProbeInput in;
    meta_input(in);
    boxes_ = std::make_unique<BoxScan>(in.run(scan_boxes));
    return *boxes_;
}

nb::list JxlReader::frames_info() {
    if (!frames_info_.is_valid()) {
        check_open();
        check_not_busy();
        BusyGuard guard(busy_);
        ProbeInput in;
        meta_input(in);
        const bool coalesce = coalesce_ != 0;
        frames_info_ = frame_dicts(
            in.run([coalesce](ByteSource &src) { return scan_frame_headers(src, coalesce); }));
    }
    // Callers get their own list of their own dicts.
    nb::list out;
    for (nb::handle d : frames_info_) {
        PyObject *copy = PyDict_Copy(d.ptr());
        if (!copy) throw_current();
        out.append(nb::steal(copy));
    }
    return out;
}

// ---- cyclic garbage collection ---------------------------------------------

namespace {

using ReaderGc = GcSlots<JxlReader>;

int reader_traverse(PyObject *self, visitproc visit, void *arg) {
    if (int rc = ReaderGc::traverse(self, visit, arg)) return rc;
    if (!nb::inst_ready(self)) return 0;
    // The buffer export holds its own reference to the input; reporting it
    // lets a cycle through the input object be collected (breaking such a
    // cycle is left to the other objects in it: the export stays until the
    // reader is destroyed, since libjxl may still point into it).
    Py_VISIT(nb::inst_ptr<JxlReader>(self)->view_.owner());
    return 0;
}

PyType_Slot reader_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(reader_traverse)},
                              {Py_tp_clear, reinterpret_cast<void *>(ReaderGc::clear)},
                              {0, nullptr}};

using IterGc = GcSlots<FrameIterator>;

nb::handle g_reader_type;

// Frames left in an in-memory stream, counted by a parse-only decoder (frame
// events only, the reader's coalescing), or 0 when the count is unknown.
// `for_out`: read_into's count, for any downsample and for layers too (a
// still image's layers included).
size_t frames_left(const JxlReader &r, bool for_out = false) {
    if (r.streaming_ || !r.src_data_ || ((r.downsample_ != 1 || !r.coalesce_) && !for_out) ||
        (!r.basic_info_.have_animation && (r.coalesce_ || !for_out)) || r.exhausted_)
        return 0;
    ByteSource src = ByteSource::memory(r.src_data_, r.src_size_);
    const StatusOr<size_t> counted = count_frames(src, r.coalesce_ != 0);
    if (!counted.ok()) return 0;
    const size_t count = *counted;
    const size_t used = r.skipped_ + r.frames_done_;
    return count > used ? count - used : 0;
}

// read(): every frame left, stacked. An animation in memory has its frames
// counted first (a bitstream parse, well under a millisecond) and decoded
// into one preallocated stack, saving the stack's copy and half the peak
// memory; any surprise falls back to stacking what was decoded.
nb::object read_all(nb::handle self) {
    nb::object it = self.attr("iter_frames")();
    JxlReader &r = nb::cast<JxlReader &>(self);
    const size_t done_before = r.frames_done_;
    FrameIterator *fi = nullptr;
    if (nb::isinstance<FrameIterator>(it) && !r.closed_ && r.decoder_ && !r.busy_) {
        fi = &nb::cast<FrameIterator &>(it);
        const size_t left = frames_left(r);
        if (left >= 2 && !fi->started) {
            const uint64_t total =
                value_or_throw(checked_mul(left, r.frame_nbytes_, "the animation size"));
            ok_or_throw(check_max_bytes(total, r.max_bytes_,
                            "decoding " + std::to_string(left) + " frames of " +
                                std::to_string(r.frame_nbytes_) + " bytes"));
            nb::tuple shape = nb::borrow<nb::tuple>(r.frame_shape_);
            npy_intp dims[4] = {static_cast<npy_intp>(left), 0, 0, 0};
            const int nd = static_cast<int>(nb::len(shape));
            for (int i = 0; i < nd; ++i) dims[i + 1] = nb::cast<npy_intp>(shape[i]);
            PyObject *a = PyArray_EMPTY(nd + 1, dims, npy_type_of(r.pixel_format_.data_type), 0);
            if (!a) throw_current();
            fi->stack = nb::steal(a);
            fi->stack_len = left;
        }
    }
    if (fi && !fi->started && !r.streaming_ && !r.frame_events_ && !r.basic_info_.have_animation)
        fi->peek_end = true;
    nb::object stack = fi ? fi->stack : nb::object();
    const size_t stack_len = fi ? fi->stack_len : 0;
    // Frames of an unknown count are kept in a list and then stacked: their
    // total is held to the budget as they come.
    nb::list frames;
    uint64_t total = 0;
    for (;;) {
        // Our own iterator is advanced directly: its end costs no exception.
        nb::object f;
        if (fi) {
            f = fi->next();
        } else if (PyObject *item = PyIter_Next(it.ptr())) {
            f = nb::steal(item);
        } else if (PyErr_Occurred()) {
            throw_current();
        }
        if (!f.is_valid()) break;
        if (!stack.is_valid()) {
            total += static_cast<uint64_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject *>(f.ptr())));
            if (nb::len(frames) > 0)
                ok_or_throw(check_max_bytes(total, r.max_bytes_,
                                "decoding " + std::to_string(nb::len(frames) + 1) + " frames"));
        }
        frames.append(f);
    }
    const size_t n = nb::len(frames);
    if (n == 0) {
        if (done_before > 0)
            raise_py(PyExc_RuntimeError, "jxl: all frames have been read");
        raise_jxl("jxl: no frames in stream");
    }
    if (stack.is_valid() && n == stack_len && fi->stack_pos == stack_len) return stack;
    if (n == 1) return frames[0];
    nb::object first_shape = frames[0].attr("shape");
    for (size_t i = 1; i < n; ++i)
        if (!first_shape.equal(frames[i].attr("shape")))
            raise_py(PyExc_ValueError,
                     "jxl: the layers differ in size and cannot be stacked; iterate over "
                     "iter_frames() to get each one");
    return nb::handle(g.np).attr("stack")(frames, "axis"_a = 0);
}

nb::object make_iterator(nb::handle reader, bool progressive) {
    FrameIterator it;
    it.reader_obj = nb::borrow(reader);
    it.progressive = progressive;
    return nb::cast(std::move(it));
}

// The shape of one delivered frame: the header's, reduced by `downsample`.
std::vector<npy_intp> delivered_frame_shape(const JxlReader &r) {
    std::vector<npy_intp> shape;
    for (nb::handle d : nb::borrow<nb::tuple>(r.frame_shape_)) shape.push_back(nb::cast<npy_intp>(d));
    const auto n = static_cast<npy_intp>(r.downsample_);
    shape[0] = (shape[0] + n - 1) / n;
    shape[1] = (shape[1] + n - 1) / n;
    return shape;
}

// Refuses, before anything is decoded, an `out` that frames cannot be
// written into as they are: wrong shape or dtype, strided, or read-only.
void check_out(nb::handle out, const std::vector<npy_intp> &shape, int npy_type) {
    if (!PyArray_Check(out.ptr()))
        raise_py(PyExc_TypeError, std::string("jxl: out must be a numpy.ndarray (got ") +
                                      Py_TYPE(out.ptr())->tp_name + ")");
    auto *a = reinterpret_cast<PyArrayObject *>(out.ptr());
    const size_t nd = static_cast<size_t>(PyArray_NDIM(a));
    const bool shape_ok = nd == shape.size() && std::equal(shape.begin(), shape.end(), PyArray_DIMS(a));
    const bool type_ok = PyArray_TYPE(a) == npy_type && PyArray_ISNOTSWAPPED(a);
    const bool contiguous = PyArray_IS_C_CONTIGUOUS(a);
    const bool writeable = PyArray_ISWRITEABLE(a);
    if (shape_ok && type_ok && contiguous && writeable) return;
    nb::object want_dtype = nb::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(npy_type)));
    std::string got = "shape " + shape_text(PyArray_DIMS(a), nd) + ", dtype " +
                      std::string(nb::str(nb::handle(reinterpret_cast<PyObject *>(PyArray_DESCR(a)))).c_str());
    if (!contiguous) got += ", not C-contiguous";
    if (!writeable) got += ", read-only";
    raise_py(PyExc_ValueError, "jxl: out must be a writeable C-contiguous array of shape " +
                                   shape_text(shape.data(), shape.size()) + " and dtype " +
                                   nb::str(want_dtype).c_str() + " (got " + got + ")");
}

// read() into the caller's array: the frames left, stacked when there are
// several (as read() returns them), each written in place.
nb::object read_into(nb::handle self, nb::handle out) {
    JxlReader &r = nb::cast<JxlReader &>(self);
    r.check_open();
    r.check_not_busy();
    std::vector<npy_intp> shape = delivered_frame_shape(r);
    const int type = npy_type_of(r.pixel_format_.data_type);
    // An animation (or a still image's layers, with coalesce=False) not
    // counted ahead (streamed, or one whose count could not be parsed: a
    // damaged or cut stream) takes out's length as the count, one frame for
    // a frame-shaped out, and is checked as frames arrive: a frame past it or
    // a decoding error is not reported as success.
    const bool several = r.basic_info_.have_animation != 0 || !r.coalesce_;
    size_t count = several ? frames_left(r, true) : 1;
    const bool uncounted = several && count == 0 && !r.exhausted_;
    if (!r.basic_info_.have_animation && count == 0) count = 1;  // a still's only layer
    const bool with_t = PyArray_Check(out.ptr()) &&
                        PyArray_NDIM(reinterpret_cast<PyArrayObject *>(out.ptr())) ==
                            static_cast<int>(shape.size()) + 1;
    const size_t out_t =
        with_t ? static_cast<size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject *>(out.ptr()), 0))
               : 1;
    bool stacked = count >= 2;
    // Cut short, an animation's last frame may have nothing to show, and
    // decode(allow_partial=True) then ends before it: an out sized for the
    // frames before it is taken too (and checked as frames arrive).
    const bool one_short = r.allow_partial_ && count >= 2 && out_t == count - 1 &&
                           (with_t || count == 2);
    if (uncounted || one_short) {
        count = out_t;
        stacked = with_t;
    }
    if (stacked) shape.insert(shape.begin(), static_cast<npy_intp>(count));
    check_out(out, shape, type);

    nb::object it = self.attr("iter_frames")();
    FrameIterator &fi = nb::cast<FrameIterator &>(it);
    if (stacked || uncounted || one_short) {
        // A frame-shaped out as a stack of one.
        std::vector<npy_intp> one(shape);
        if (!stacked) one.insert(one.begin(), 1);
        PyArray_Dims dims{one.data(), static_cast<int>(one.size())};
        PyObject *view = PyArray_Newshape(reinterpret_cast<PyArrayObject *>(out.ptr()), &dims,
                                          NPY_CORDER);
        if (!view) throw_current();
        fi.stack = nb::steal(view);
        fi.stack_len = count;
        fi.caller_stack = true;
        stacked = true;
    } else {
        fi.out_frame = nb::borrow(out);
    }
    size_t n = 0;
    while (!stacked ? n < 1 : true) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw_current();
            break;
        }
        Py_DECREF(item);
        ++n;
    }
    if (n == 0) raise_jxl("jxl: no frames in stream");
    if (stacked && n != count) {
        // allow_partial=True: the frames a cut stream gives are what out holds.
        if (r.truncated_) {
            std::vector<npy_intp> want = delivered_frame_shape(r);
            if (n >= 2) want.insert(want.begin(), static_cast<npy_intp>(n));
            raise_py(PyExc_ValueError, "jxl: the stream is cut short after " + std::to_string(n) +
                                           (n == 1 ? " frame" : " frames") + " but out holds " +
                                           std::to_string(count) +
                                           "; pass out of shape " +
                                           shape_text(want.data(), want.size()));
        }
        raise_jxl("jxl: the stream has " + std::to_string(n) + " frames but out holds " +
                  std::to_string(count));
    }
    return nb::borrow(out);
}

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
        if (self->chunk_reader_.is_valid()) {
            try {
                self->chunk_reader_.attr("close")();
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

nb::object reader_read(nb::handle self) { return read_all(self); }

nb::object reader_read_into(nb::handle self, nb::handle out) { return read_into(self, out); }

// ---- registration ----------------------------------------------------------

namespace {

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

// The header facts and metadata of an open (or closed) reader.
void bind_reader_properties(nb::class_<JxlReader> &cls) {
    cls.def_prop_ro("xsize", [](JxlReader &r) { return r.basic_info_.xsize; })
        .def_prop_ro("ysize", [](JxlReader &r) { return r.basic_info_.ysize; })
        .def_prop_ro("samples", [](JxlReader &r) { return r.samples_; })
        .def_prop_ro(
            "truncated", [](JxlReader &r) { return r.truncated_ != 0; },
            "True once allow_partial delivered a frame of a stream cut short (what\n"
            "libjxl had decoded when the bytes ran out); no frame follows it.")
        .def_prop_ro("frame_shape", [](JxlReader &r) { return or_none(r.frame_shape_); })
        .def_prop_ro("dtype", [](JxlReader &r) { return or_none(r.frame_dtype_); })
        .def_prop_ro("is_animation",
                     [](JxlReader &r) { return r.basic_info_.have_animation != 0; })
        .def_prop_ro(
            "n_frames", [](JxlReader &) { return nb::none(); },
            "Best-effort frame count (None if unknown until decoded).")
        .def_prop_ro(
            "color",
            [](JxlReader &r) -> nb::object {
                if (!r.parse_color_ || !r.have_encoding_) return nb::none();
                const JxlColorEncoding &c = r.color_encoding_;
                nb::dict d;
                d["color_space"] = static_cast<int>(c.color_space);
                d["white_point"] = static_cast<int>(c.white_point);
                d["primaries"] = static_cast<int>(c.primaries);
                d["transfer_function"] = static_cast<int>(c.transfer_function);
                d["rendering_intent"] = static_cast<int>(c.rendering_intent);
                return d;
            },
            "Decoded JxlColorEncoding as a dict.\n\n"
            "None when the reader was opened with parse_color=False, or when the\n"
            "colour is described only by an ICC profile (see icc_profile).")
        .def_prop_ro(
            "icc_profile",
            [](JxlReader &r) -> nb::object {
                if (r.icc_fetched_) return or_none(r.icc_profile_);
                if (!r.parse_color_ || r.closed_ || !r.decoder_) return nb::none();
                r.check_not_busy();
                r.fetch_icc_profile();
                return or_none(r.icc_profile_);
            },
            "ICC profile bytes (lazy).\n\n"
            "Fetched from libjxl on first access and cached; None without colour\n"
            "parsing, or when first asked after close().")
        .def_prop_ro(
            "exif",
            [](JxlReader &r) -> nb::object {
                const BoxScan &s = r.box_scan();
                return s.have_exif ? nb::object(exif_payload(s.exif_box)) : nb::none();
            },
            "EXIF as TIFF-structured bytes (\"II*\\0\" or \"MM\\0*\" first), or None.\n\n"
            "Read from the Exif box on first access of any box property (a pass of\n"
            "its own over the input, brob boxes decompressed), then cached.")
        .def_prop_ro(
            "xmp",
            [](JxlReader &r) -> nb::object {
                const BoxScan &s = r.box_scan();
                return s.have_xmp ? nb::object(nb::bytes(reinterpret_cast<const char *>(
                                                             s.xmp.data()),
                                                         s.xmp.size()))
                                  : nb::none();
            },
            "XMP packet bytes (the \"xml \" box), or None.")
        .def_prop_ro(
            "jumbf",
            [](JxlReader &r) -> nb::object {
                const BoxScan &s = r.box_scan();
                return s.have_jumbf ? nb::object(nb::bytes(reinterpret_cast<const char *>(
                                                               s.jumbf.data()),
                                                           s.jumbf.size()))
                                    : nb::none();
            },
            "JUMBF superbox bytes (the \"jumb\" box), or None.")
        .def_prop_ro(
            "boxes", [](JxlReader &r) { return box_list(r.box_scan()); },
            "The container's boxes in file order: (type, size, compressed) tuples.\n\n"
            "type is the decompressed type of a brob box, size its stored contents'\n"
            "(None for a last box that runs to the end of the file). Empty for a\n"
            "bare codestream.")
        .def_prop_ro(
            "has_jpeg_reconstruction",
            [](JxlReader &r) {
                for (const BoxEntry &e : r.box_scan().boxes)
                    if (e.type == "jbrd") return true;
                return false;
            },
            "True when the file holds the data to rebuild the JPEG it was recompressed\n"
            "from (see reconstruct_jpeg()).\n\n"
            "From the box listing (the pass of `boxes`: no pixels decoded), cached.")
        .def_prop_ro(
            "frames_info", [](JxlReader &r) { return r.frames_info(); },
            "One dict per frame from a parse-only pass (see frames_info()), as this\n"
            "reader's coalescing delivers them.")
        .def_prop_ro(
            "channels",
            [](JxlReader &r) {
                const JxlBasicInfo &b = r.basic_info_;
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
                for (const ExtraChannel &ec : r.extras_) {
                    const JxlExtraChannelInfo &in = ec.info;
                    nb::dict d;
                    d["type"] = channel_type_name(in.type);
                    // Names are bytes in the file: invalid UTF-8 is replaced,
                    // as in frame names, rather than failing the whole list.
                    PyObject *name = PyUnicode_DecodeUTF8(
                        ec.name.data(), static_cast<Py_ssize_t>(ec.name.size()), "replace");
                    if (!name) throw_current();
                    d["name"] = nb::steal(name);
                    d["bits_per_sample"] = in.bits_per_sample;
                    d["exponent_bits_per_sample"] = in.exponent_bits_per_sample;
                    if (in.type == JXL_CHANNEL_ALPHA)
                        d["alpha_premultiplied"] = in.alpha_premultiplied != 0;
                    if (in.type == JXL_CHANNEL_SPOT_COLOR)
                        d["spot_color"] = nb::make_tuple(in.spot_color[0], in.spot_color[1],
                                                         in.spot_color[2], in.spot_color[3]);
                    out.append(d);
                }
                return out;
            },
            "One dict per channel of the stream, colour first, then the extra\n"
            "channels in file order: \"type\", \"name\", \"bits_per_sample\",\n"
            "\"exponent_bits_per_sample\", \"alpha_premultiplied\" for alpha and\n"
            "\"spot_color\" (red, green, blue, solidity) for spot colours. Known from\n"
            "the header alone.")
        .def_prop_ro("basic_info", [](JxlReader &r) { return basic_info_dict(r.basic_info_); });

    // Internal state, read-only, for the tests of the concurrency guard, of
    // closing and of the streaming buffer (none of it observable otherwise).
    cls.def_prop_ro("_busy", [](JxlReader &r) { return r.busy_; })
        .def_prop_ro("_closed", [](JxlReader &r) { return r.closed_ != 0; })
        .def_prop_ro("_streaming", [](JxlReader &r) { return r.streaming_ != 0; })
        .def_prop_ro("_input_buf_capacity", [](JxlReader &r) { return r.input_buf_capacity_; })
        .def_prop_ro("_input_buf_used", [](JxlReader &r) { return r.input_buf_used_; })
        .def_prop_ro("_has_input_buf", [](JxlReader &r) { return r.input_buf_ != nullptr; })
        .def_prop_ro("_input_eof", [](JxlReader &r) { return r.input_eof_ != 0; })
        .def_prop_ro("_input_closed", [](JxlReader &r) { return r.input_closed_ != 0; })
        .def_prop_ro("_chunk_reader", [](JxlReader &r) { return or_none(r.chunk_reader_); })
        .def_prop_ro("_has_decoder", [](JxlReader &r) { return static_cast<bool>(r.decoder_); });
}

}  // namespace

void register_reader(nb::module_ &m) {
    nb::class_<FrameIterator>(m, "_FrameIterator", nb::type_slots(IterGc::slots),
                              "Iterator over the decoded frames of a JxlReader.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__",
             [](FrameIterator &it) {
                 nb::object f = it.next();
                 if (!f.is_valid()) throw nb::stop_iteration();
                 return f;
             })
        .def("close", [](FrameIterator &it) { it.close(); },
             "Stop the iteration; the reader stays open.");

    using Self = nb::pointer_and_handle<JxlReader>;
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

    cls.def(
           "iter_frames",
           [](Self self, nb::handle out) {
               nb::object it = make_iterator(self.h, false);
               if (!out.is_none()) {
                   JxlReader &r = *self.p;
                   r.check_open();
                   check_out(out, delivered_frame_shape(r), npy_type_of(r.pixel_format_.data_type));
                   nb::cast<FrameIterator &>(it).out_frame = nb::borrow(out);
               }
               return it;
           },
           nb::kw_only(), "out"_a.none() = nb::none(),
           nb::sig("def iter_frames(self, *, out: numpy.ndarray | None = None) -> "
                   "Iterator[numpy.ndarray]"),
           "Yield one decoded numpy array per JXL frame.\n\n"
           "With `out` (a C-contiguous array of one frame's shape and dtype), every\n"
           "frame is written into it and `out` itself is yielded.")
        .def("read_into", &read_into, "out"_a,
             nb::sig("def read_into(self, out: numpy.ndarray) -> numpy.ndarray"),
             "Decode the frames left into `out` and return it.\n\n"
             "`out` has read()'s shape and dtype and is C-contiguous and writeable;\n"
             "it is checked before anything is decoded (ValueError naming both).")
        .def("__iter__", [](nb::handle self) { return self.attr("iter_frames")(); })
        .def(
            "read", &read_all, nb::sig("def read(self) -> numpy.ndarray"),
            "Decode the entire stream.\n\n"
            "A still image gives its one frame; several frames are stacked on a new\n"
            "leading axis.")
        .def("_iter_frames_progressive",
             [](Self self, bool full_buffer) {
                 nb::object it = make_iterator(self.h, true);
                 nb::cast<FrameIterator &>(it).full_buffer = full_buffer;
                 return it;
             },
             nb::kw_only(), "full_buffer"_a = false,
             nb::sig("def _iter_frames_progressive(self, *, full_buffer: bool = False) -> "
                     "Iterator[numpy.ndarray]"))
        .def("close", [](JxlReader &r) { r.close(); }, nb::sig("def close(self) -> None"),
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

    bind_reader_properties(cls);

    m.def(
        "_subsample_slice",
        [](nb::handle arr, Py_ssize_t n, int mode) { return subsample_slice(arr, n, mode); },
        "arr"_a, "n"_a, "mode"_a,
        "Strided reduction of a (Y, X) or (Y, X, C) array by n (mode 0: top-left,\n"
        "otherwise centre sampling); always a new array of ceil(Y/n) x ceil(X/n).");
}

}  // namespace qmjxl
