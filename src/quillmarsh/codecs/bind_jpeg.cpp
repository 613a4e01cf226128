// transcode_jpeg and reconstruct_jpeg: their arguments, input and
// destination; the work itself is the core's (jxlcore/jpeg.h), run without
// the interpreter lock.
#include "bind_common.h"
#include "bind_sink.h"
#include "jxlcore/jpeg.h"

using namespace nb::literals;

namespace qmjxl {

namespace {

// The destination of a one-shot call: None (bytes returned), a path (a file
// sink, its temporary file made at construction so an unusable path fails
// before any work) or a file-like (one write() of the whole stream). The
// core writes into sink(); until deliver() a path's target is untouched, and
// a sink never committed leaves no file behind.
class JpegOutput {
public:
    explicit JpegOutput(nb::handle dest) {
        if (dest.is_none()) return;
        if (is_path(dest)) {
            open_path_sink(sink_, dest);
            to_file_ = true;
            return;
        }
        PyObject *w = PyObject_GetAttrString(dest.ptr(), "write");
        if (!w) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
            PyErr_Clear();
            raise_py(PyExc_TypeError, std::string("dest must be a path, a binary file-like or None; got ") +
                                          Py_TYPE(dest.ptr())->tp_name);
        }
        write_ = nb::steal(w);
    }
    ByteSink &sink() { return sink_; }
    // bytes for no destination, else None after writing. `made` is the
    // core's verdict; a file sink is committed without the lock.
    nb::object deliver(Status made) {
        if (made.ok() && to_file_) {
            nb::gil_scoped_release unlocked;
            made = sink_.commit();
        }
        ok_or_throw(made);
        if (to_file_) return nb::none();
        nb::bytes payload(reinterpret_cast<const char *>(sink_.data()), sink_.size());
        if (!write_.is_valid()) return std::move(payload);
        write_(payload);
        return nb::none();
    }

private:
    ByteSink sink_;
    bool to_file_ = false;  // a path's file sink
    nb::object write_;      // the file-like's bound write method
};

nb::object py_transcode_jpeg(nb::handle src, nb::handle dest, nb::handle effort,
                             nb::handle numthreads, nb::handle keep_metadata, nb::handle verify) {
    RecompressOptions opt;
    opt.effort = resolve_effort(effort, kJpegDefaultEffort);
    opt.threads = resolve_numthreads(numthreads);
    opt.exact_threads = !numthreads.is_none();
    opt.keep_metadata = truthy(keep_metadata);
    opt.verify = truthy(verify);
    JpegOutput output(dest);
    nb::bytes raw = whole_input_bytes(src);
    const auto *jpeg = reinterpret_cast<const uint8_t *>(raw.c_str());
    Status made;
    {
        nb::gil_scoped_release unlocked;
        made = recompress_jpeg(jpeg, raw.size(), opt, output.sink());
    }
    return output.deliver(std::move(made));
}

nb::object py_reconstruct_jpeg(nb::handle src, nb::handle dest, nb::handle numthreads,
                               nb::handle max_pixels) {
    ReconstructOptions opt;
    opt.threads = resolve_numthreads(numthreads);
    opt.exact_threads = !numthreads.is_none();
    opt.max_pixels = resolve_max_pixels(max_pixels);
    JpegOutput output(dest);
    nb::bytes raw = whole_input_bytes(src);
    const auto *jxl = reinterpret_cast<const uint8_t *>(raw.c_str());
    if (!signature_ok(jxl, raw.size())) raise_py(PyExc_ValueError, "jxl: not a JPEG XL stream");
    Status made;
    {
        nb::gil_scoped_release unlocked;
        made = reconstruct_jpeg(jxl, raw.size(), opt, output.sink());
    }
    return output.deliver(std::move(made));
}

}  // namespace

void register_jpeg(nb::module_ &m) {
    m.def("transcode_jpeg", &py_transcode_jpeg, "src"_a.none(), "dest"_a.none() = nb::none(),
          nb::kw_only(), "effort"_a.none() = kJpegDefaultEffort, "numthreads"_a.none() = nb::none(),
          "keep_metadata"_a.none() = true, "verify"_a.none() = true,
          nb::sig("def transcode_jpeg(src: object, dest: object = None, *, effort: int = 7, "
                  "numthreads: int | None = None, keep_metadata: bool = True, "
                  "verify: bool = True) -> bytes | None"),
          "Recompress a JPEG losslessly into JPEG XL.\n\n"
          "`src` is JPEG bytes, a path or a binary file-like. libjxl keeps the\n"
          "JPEG's DCT coefficients as they are (typically 15 to 25 % smaller) and,\n"
          "with `keep_metadata` (the default), its EXIF, XMP and JUMBF in boxes\n"
          "together with the data reconstruct_jpeg() needs to rebuild the original\n"
          "file bit for bit. keep_metadata=False drops the metadata and with it the\n"
          "reconstruction data: the pixels stay exactly those of the JPEG.\n\n"
          "`effort` is taken as the writer takes it: None gives the default 7, a\n"
          "float is truncated, and values below 1 or above 10 become 1 or 10.\n\n"
          "Returns the stream as bytes when `dest` is None; otherwise writes it to\n"
          "the path (atomically: the file appears only when complete) or file-like\n"
          "`dest` and returns None. A stream that is not a JPEG, is truncated or\n"
          "corrupt, or uses a variant libjxl cannot recompress (arithmetic coding,\n"
          "12-bit samples, lossless or hierarchical JPEG, CMYK) raises ValueError\n"
          "naming the reason, and nothing is written. So does a JPEG libjxl would\n"
          "accept but not rebuild bit for bit: `verify` (the default) rebuilds the\n"
          "JPEG from the new stream and compares it with the input, at about half\n"
          "the cost of the recompression. verify=False skips that for callers who\n"
          "accept the risk: only the known causes are checked then (a DC coefficient\n"
          "outside -2047..2047, ICC chunks libjxl cannot put back). A JPEG so much\n"
          "larger than its stream (megabytes of repetitive comments) that\n"
          "reconstruct_jpeg() would refuse to rebuild it is refused either way;\n"
          "with keep_metadata=False, which promises only the pixels, nothing is\n"
          "rebuilt and such a JPEG is recompressed.");
    m.def("reconstruct_jpeg", &py_reconstruct_jpeg, "src"_a.none(), "dest"_a.none() = nb::none(),
          nb::kw_only(), "numthreads"_a.none() = nb::none(),
          "max_pixels"_a.none() = kDefaultMaxPixels,
          nb::sig("def reconstruct_jpeg(src: object, dest: object = None, *, "
                  "numthreads: int | None = None, max_pixels: int | None = 1073741824) "
                  "-> bytes | None"),
          "Rebuild the original JPEG file from a JPEG XL made by transcode_jpeg().\n\n"
          "`src` is JPEG XL bytes, a path or a binary file-like. Returns the JPEG\n"
          "bytes when `dest` is None; otherwise writes them to the path (atomically)\n"
          "or file-like `dest` and returns None. A file without reconstruction data\n"
          "raises ValueError \"jxl: no JPEG reconstruction data in this file\". An\n"
          "image claiming more than `max_pixels` pixels is refused before decoding;\n"
          "the rebuilt JPEG may not exceed 8 bytes per image sample plus 16 times\n"
          "the input plus 1 MiB (ValueError beyond that, as for a decompression\n"
          "bomb); a damaged or truncated file raises JxlError.");
}

}  // namespace qmjxl
