// One-shot decode functions: decode, frame_count, thumbnail_bytes.
#include "jxl_reader.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

// A decoder for one probe call, destroyed on every way out.
JxlDecoderPtr make_probe_decoder() {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) raise_jxl("JxlDecoderCreate returned NULL");
    return dec;
}

JxlDecoderStatus process_input_nogil(JxlDecoder *dec) {
    nb::gil_scoped_release unlocked;
    return JxlDecoderProcessInput(dec);
}

// ---- frame_count ---------------------------------------------------------

size_t frame_count(nb::handle data, nb::handle numthreads) {
    // `numthreads` is accepted for symmetry with the other functions: the
    // count is a bitstream parse on the calling thread.
    nb::bytes raw = whole_input_bytes(data);
    const auto *src = reinterpret_cast<const uint8_t *>(raw.c_str());
    const size_t size = raw.size();
    if (size == 0) return 0;

    JxlDecoderPtr dec = make_probe_decoder();
    JxlDecoderStatus st = JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FRAME);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSubscribeEvents", st);
    st = JxlDecoderSetInput(dec.get(), src, size);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetInput", st);
    JxlDecoderCloseInput(dec.get());

    size_t count = 0;
    for (;;) {
        st = process_input_nogil(dec.get());
        if (st == JXL_DEC_FRAME) {
            ++count;
        } else if (st == JXL_DEC_SUCCESS) {
            break;
        } else if (st == JXL_DEC_NEED_MORE_INPUT || st == JXL_DEC_ERROR) {
            if (stream_is_cut(src, size, JXL_DEC_FRAME, true))
                raise_jxl("jxl: truncated stream while counting frames");
            raise_dec("JxlDecoderProcessInput", JXL_DEC_ERROR);
        }
    }
    return count;
}

// ---- thumbnail_bytes -----------------------------------------------------

// Pixels are never looked at: a callback that drops them lets libjxl run
// without a full-size scratch image, so a header claiming gigapixels costs
// nothing here.
void discard_pixels(void *, size_t, size_t, size_t, const void *) {}

nb::object thumbnail_bytes(nb::handle data, nb::handle numthreads, nb::handle max_pixels) {
    const uint64_t limit = resolve_max_pixels(max_pixels);
    nb::bytes raw = whole_input_bytes(data);
    const auto *src = reinterpret_cast<const uint8_t *>(raw.c_str());
    const size_t size = raw.size();
    if (size == 0) return nb::none();

    JxlDecoderPtr dec = make_probe_decoder();
    JxlDecoderStatus st =
        JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSubscribeEvents", st);
    st = JxlDecoderSetProgressiveDetail(dec.get(), kDC);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetProgressiveDetail", st);
    st = JxlDecoderSetInput(dec.get(), src, size);
    if (st != JXL_DEC_SUCCESS) raise_dec("JxlDecoderSetInput", st);
    JxlDecoderCloseInput(dec.get());

    const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        st = process_input_nogil(dec.get());
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            // The header is known by now: refuse a bomb before libjxl decodes it.
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
                raise_jxl("JxlDecoderGetBasicInfo failed");
            ok_or_throw(check_max_pixels(info, limit));
            if (JxlDecoderSetImageOutCallback(dec.get(), &pf, discard_pixels, nullptr) !=
                JXL_DEC_SUCCESS)
                raise_jxl("JxlDecoderSetImageOutCallback failed");
        } else if (st == JXL_DEC_FRAME_PROGRESSION) {
            const size_t remaining = JxlDecoderReleaseInput(dec.get());
            if (remaining > size) raise_jxl("jxl: ReleaseInput returned more bytes than we supplied");
            return nb::bytes(raw.c_str(), size - remaining);
        } else if (st == JXL_DEC_SUCCESS || st == JXL_DEC_FULL_IMAGE) {
            return nb::none();
        } else if (st == JXL_DEC_NEED_MORE_INPUT || st == JXL_DEC_ERROR) {
            if (stream_is_cut(src, size, JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION, true))
                raise_jxl("jxl: truncated stream while seeking DC pass");
            raise_dec("JxlDecoderProcessInput", JXL_DEC_ERROR);
        }
    }
}

}  // namespace

// ---- decode ----------------------------------------------------------------

std::string text_of_index(nb::handle index) { return nb::str(index).c_str(); }

constexpr size_t kIndex = option_index(kReaderOptions, "index");
constexpr size_t kOut = option_index(kReaderOptions, "out");
constexpr size_t kSkip = option_index(kReaderOptions, "skip_frames");
static_assert(kIndex < std::size(kReaderOptions) && kOut < std::size(kReaderOptions) &&
              kSkip < std::size(kReaderOptions));

// One JxlReader for the call, closed on every way out; every error passes
// through unchanged. It is made and read directly, not through Python calls:
// for a small image that work is a good part of what the call does while
// holding the GIL.
nb::object decode(const ReaderValues &v) {
    const nb::handle index = v[kIndex];
    long long skip = 0;
    if (!index.is_none()) {
        PyObject *n = PyNumber_Long(index.ptr());
        if (!n) throw_current();
        nb::object as_int = nb::steal(n);
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (overflow != 0 || i < INT32_MIN || i > INT32_MAX)
            raise_py(PyExc_OverflowError, "jxl: index must fit in a signed 32-bit integer (got " +
                                              text_of_index(index) + ")");
        // A negative index would skip nothing and quietly return frame 0.
        if (i < 0)
            raise_py(PyExc_IndexError, "jxl: index must be >= 0 (got " + text_of_index(index) + ")");
        skip = i;
    }

    // The caller's options go to the reader as given; the index becomes its skip.
    const nb::object skip_frames = nb::int_(skip);
    ReaderValues rv = v;
    rv[kSkip] = skip_frames;
    nb::object reader = new_reader(rv);
    JxlReader &r = *nb::inst_ptr<JxlReader>(reader);
    nb::object result;
    try {
        const nb::handle out = v[kOut];
        if (index.is_none()) {
            r.one_shot_ = out.is_none();
            result = out.is_none() ? reader_read(reader) : reader_read_into(reader, out);
        } else {
            nb::object frames = out.is_none() ? reader.attr("iter_frames")()
                                              : reader.attr("iter_frames")("out"_a = out);
            PyObject *first = PyIter_Next(frames.ptr());
            if (!first) {
                if (PyErr_Occurred()) throw_current();
                raise_py(PyExc_IndexError, "jxl: frame " + text_of_index(index) +
                                               " not found (stream too short?)");
            }
            result = nb::steal(first);
        }
    } catch (...) {
        r.close();
        throw;
    }
    r.close();
    return result;
}

void register_decode_funcs(nb::module_ &m) {
    using Decode = ParamList<kReaderOptions, Callable::Function, 0>;
    bind_options<kReaderOptions, Callable::Function>(
        m, "decode", &decode, std::array<const char *, 0>{},
        Decode::signature("decode", false, {}, "numpy.ndarray"),
          "Decode a JPEG XL bytes/path into a numpy array (single ndarray).\n\n"
          "`index` selects one frame (earlier frames are skipped at parse cost); a\n"
          "whole animation is stacked on a new leading axis. `downsample` 2, 4 or 8\n"
          "reduces every frame (8 through libjxl's progressive decoding);\n"
          "`streaming` reads large files in the background. An image whose header\n"
          "claims more than `max_pixels` pixels (default 2**30) is refused with\n"
          "ValueError before anything is allocated, and so is output above\n"
          "`max_bytes` bytes (default 8 GiB, all frames together); None lifts either.\n"
          "With `out`, a C-contiguous array of the result's shape and dtype, the\n"
          "frames are written into it and `out` is returned.");
    m.def("frame_count", &frame_count, "data"_a.none(), nb::kw_only(),
          "numthreads"_a.none() = nb::none(),
          nb::sig("def frame_count(data: object, *, numthreads: object = None) -> int"),
          "Return the number of frames in a JPEG XL stream.\n\n"
          "`data` is bytes-like, a path or a binary file-like object. No pixels are\n"
          "decoded: libjxl only parses the bitstream, skipping frame bodies through\n"
          "their table of contents (well under a millisecond for a 16-frame\n"
          "1024x1024 16-bit stack). Frames are counted as a coalescing reader\n"
          "delivers them. An empty input counts 0 frames. `numthreads` is accepted\n"
          "and has no effect.\n\n"
          "A stream cut before the last frame's table of contents raises JxlError;\n"
          "libjxl does not read the last frame's pixel data when no pixels are\n"
          "wanted, so a cut inside it is only seen by decode().");
    m.def("thumbnail_bytes", &thumbnail_bytes, "data"_a.none(), nb::kw_only(),
          "numthreads"_a.none() = nb::none(), "max_pixels"_a.none() = kDefaultMaxPixels,
          nb::sig("def thumbnail_bytes(data: object, *, numthreads: object = None, "
                  "max_pixels: int | None = 1073741824) -> bytes | None"),
          "Return the JXL byte-prefix consumed up to the DC progressive pass.\n\n"
          "The prefix is a measurement, not a decodable file: it tells whether the\n"
          "first frame has a DC (1:8) progression point and how many input bytes\n"
          "libjxl needed to reach it. None when the first frame completes without\n"
          "one (lossless, lossy with alpha, or a single-group lossy image). For a\n"
          "decodable thumbnail use decode(..., downsample=8). `numthreads` is\n"
          "accepted and has no effect. An image claiming more than `max_pixels`\n"
          "pixels (default 2**30; None for no limit) is refused with ValueError.");
}

}  // namespace qmjxl
