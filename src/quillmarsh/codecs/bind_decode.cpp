// The one-shot decode function.
#include "bind_reader.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

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
            // Read to the end and closed: the decoder goes as soon as the end
            // of the stream is seen.
            r.session_.set_release_at_end(out.is_none());
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
            result = restore_grid(grid_box(r), nb::steal(first));
        }
    } catch (...) {
        r.close();
        throw;
    }
    r.close();
    return result;
}

}  // namespace

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
}

}  // namespace qmjxl
