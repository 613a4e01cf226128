// Probes that read a stream without decoding its pixels: frame_count,
// thumbnail_bytes and preview_bytes_needed. A local input is read whole first
// (see whole_input_bytes); a remote one in ranges, as far as the probe goes.
#include "bind_common.h"
#include "bind_input.h"
#include "jxlcore/byte_source.h"
#include "jxlcore/frame_scan.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

// `numthreads` is accepted for symmetry with the other functions: the probes
// are bitstream parses on the calling thread.
size_t frame_count(nb::handle data, nb::handle numthreads) {
    if (ProbeInput in; in.open_remote_recorded(data, RemoteUse::kProbe, nullptr))
        return in.run([](ByteSource &src) { return count_frames(src, true); });
    nb::bytes raw = whole_input_bytes(data);
    ByteSource src =
        ByteSource::memory(reinterpret_cast<const uint8_t *>(raw.c_str()), raw.size());
    return value_or_throw([&] {
        nb::gil_scoped_release unlocked;
        return count_frames(src, true);
    }());
}

// A remote input read up to the preview point of 1:`ratio` (the bytes kept
// in `fetched`): false when it has none.
bool fetch_remote_preview(nb::handle data, uint64_t limit, size_t ratio,
                          std::vector<uint8_t> *fetched, bool *remote) {
    ProbeInput in;
    *remote = in.open_remote_recorded(data, RemoteUse::kPrefix, fetched);
    if (!*remote) return false;
    return in.run([limit, ratio](ByteSource &src) { return read_to_preview_point(src, limit, ratio); });
}

nb::object thumbnail_bytes(nb::handle data, nb::handle numthreads, nb::handle max_pixels) {
    const uint64_t limit = resolve_max_pixels(max_pixels);
    std::vector<uint8_t> fetched;
    bool remote = false;
    nb::bytes raw;
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    if (fetch_remote_preview(data, limit, 8, &fetched, &remote)) {
        bytes = fetched.data();
        size = fetched.size();
    } else if (remote) {
        return nb::none();
    } else {
        raw = whole_input_bytes(data);
        bytes = reinterpret_cast<const uint8_t *>(raw.c_str());
        size = raw.size();
    }
    if (size == 0) return nb::none();
    ByteSource src = ByteSource::memory(bytes, size);
    const std::optional<size_t> n = value_or_throw([&] {
        nb::gil_scoped_release unlocked;
        return dc_prefix_length(src, limit);
    }());
    return n ? nb::object(nb::bytes(reinterpret_cast<const char *>(bytes), *n)) : nb::none();
}

nb::object preview_bytes_needed(nb::handle data, nb::handle downsample, nb::handle max_pixels) {
    const uint64_t limit = resolve_max_pixels(max_pixels);
    int overflow = 0;
    const long long ratio = PyLong_Check(downsample.ptr())
                                ? PyLong_AsLongLongAndOverflow(downsample.ptr(), &overflow)
                                : -1;
    if (ratio == -1 && PyErr_Occurred()) throw_current();
    if (overflow != 0 || !(ratio == 2 || ratio == 4 || ratio == 8))
        raise_py(PyExc_ValueError, "jxl: downsample must be 2, 4 or 8 (got " +
                                       std::string(nb::repr(downsample).c_str()) + ")");
    std::vector<uint8_t> fetched;
    bool remote = false;
    nb::bytes raw;
    ByteSource src;
    if (fetch_remote_preview(data, limit, static_cast<size_t>(ratio), &fetched, &remote)) {
        src = ByteSource::memory(fetched.data(), fetched.size());
    } else if (remote) {
        return nb::none();
    } else {
        raw = whole_input_bytes(data);
        src = ByteSource::memory(reinterpret_cast<const uint8_t *>(raw.c_str()), raw.size());
    }
    const std::optional<size_t> n = value_or_throw([&] {
        nb::gil_scoped_release unlocked;
        return preview_prefix_length(src, limit, static_cast<size_t>(ratio));
    }());
    return n ? nb::object(nb::int_(*n)) : nb::none();
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
          "libjxl had consumed on reaching it (the sections done from the front on;\n"
          "preview_bytes_needed tells the prefix that reaches it, which is longer\n"
          "when the DC sections are not all at the front). A URL is read in ranges\n"
          "up to the point. None when the first frame completes without\n"
          "one (lossless, lossy with alpha, or a single-group lossy image). For a\n"
          "decodable thumbnail use decode(..., downsample=8). `numthreads` is\n"
          "accepted and has no effect. An image claiming more than `max_pixels`\n"
          "pixels (default 2**30; None for no limit) is refused with ValueError.");
    m.def("preview_bytes_needed", &preview_bytes_needed, "data"_a.none(), nb::kw_only(),
          "downsample"_a.none() = 8, "max_pixels"_a.none() = kDefaultMaxPixels,
          nb::sig("def preview_bytes_needed(data: object, *, downsample: int = 8, "
                  "max_pixels: int | None = 1073741824) -> int | None"),
          "How many leading bytes decode(data, downsample=...) of a still image reads.\n\n"
          "The length of the prefix up to the first frame's progression point of\n"
          "1:`downsample` or finer (2, 4 or 8): a caller that fetches its own bytes\n"
          "asks for that range, and decoding the prefix with that downsample gives\n"
          "the preview. None when the frame has no such point before its end (the\n"
          "whole stream is needed) and for an empty input. A URL is read in ranges\n"
          "up to the point; a local input as the other probes read it. An image\n"
          "claiming more than `max_pixels` pixels is refused with ValueError.");
}

}  // namespace qmjxl
