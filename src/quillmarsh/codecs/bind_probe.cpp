// Probes that read a stream without decoding its pixels: frame_count and
// thumbnail_bytes.
#include "bind_common.h"

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

void register_probes(nb::module_ &m) {
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
