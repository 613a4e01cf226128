// JxlWriter: the streaming encoder object Python sees, over the core's
// EncoderSession; and encode, its one-shot wrapper.
#pragma once

#include "bind_common.h"
#include "bind_write_meta.h"
#include "jxlcore/encoder_session.h"

#include <array>
#include <vector>

namespace qmjxl {

class JpegVerdict;

// Python conversions shared by the writer's files (bind_writer.cpp).
// int(value) clamped into [lo, hi] without overflowing a C type.
long long clamp_int(nb::handle value, long long lo, long long hi);
float to_float32(nb::handle h);
// getattr(obj, name) that raises the AttributeError unchanged; the optional
// form gives a null object when the attribute is missing.
nb::object get_attr(nb::handle obj, const char *name);
nb::object get_attr_optional(nb::handle obj, const char *name);
// `from quillmarsh.core.color import <name>`.
nb::object import_color_name(const char *name);
std::string repr_of(nb::handle h);
std::string str_of(nb::handle h);

// Sample type of a frame dtype. Anything but native uint8/uint16/float16/
// float32 is a ValueError.
SampleType dtype_to_jxl(nb::handle dtype);

// Where close() delivers the stream.
struct WriterDest {
    nb::object file;         // the caller's file-like (one write() at close), or None
    bool is_buffer = false;  // dest=None: close() returns the bytes
    bool is_path = false;    // the session's file sink, renamed into place by close()
};

// Options whose Python objects are read when the first frame fixes the
// layout (the channel list and distances depend on its sample count).
struct FirstFrameArgs {
    nb::object color_spec;  // quillmarsh.core.color.ColorSpec, or None
    nb::object channels;
    nb::object extra_channel_distance;
};

// An encode to a quality or a size (target_score / target_size): the search
// over distance is quillmarsh.codecs._quality_target's, whose trial encodes
// take the writer's other options; its stream becomes this writer's.
struct QualityTarget {
    double score = -1.0;  // SSIMULACRA 2, 0..100; negative: not given
    long long size = 0;   // bytes; 0: not given
    nb::object options;   // the writer's options for the trials (a dict)
    nb::object result;    // the frame's TargetResult once written
    bool given() const { return score >= 0.0 || size > 0; }
};

class JxlWriter {
public:
    JxlWriter() = default;
    JxlWriter(const JxlWriter &) = delete;
    JxlWriter &operator=(const JxlWriter &) = delete;

    // The constructor's work: `values` are the option table's, in its order.
    void init(const nb::handle *values);
    // A constructor that failed half-way removes the temporary file it made.
    void abort_init() noexcept;

    // `duration`, `name` and `timecode` (None: the writer's own) set the
    // frame's header.
    void write_frame(nb::handle arr, bool is_last, nb::handle duration = nb::handle(),
                     nb::handle name = nb::handle(), nb::handle timecode = nb::handle());
    // The stream's only frame from a JPEG, losslessly, with the data to
    // rebuild the JPEG (see jxlcore/jpeg.h). The stream is complete, in memory,
    // when it returns; a refused JPEG leaves the writer ready for a frame.
    void write_jpeg(nb::handle data, bool verify);
    nb::object close();
    // Refuses use while a lock-free step of this writer runs (or re-entry
    // from inside one of its calls into Python).
    void check_not_busy() const;
    // Float samples with max_error: the grid indices that go to libjxl in
    // their place (the channels' bits and the grid's box set), or `src`
    // itself to be stored losslessly. `stack`: encode()'s frames at once.
    nb::object float_grid(nb::object src, bool stack);
    void abandon();  // __exit__ with an exception: nothing is delivered
    // The native part of every way out: encoder, threads and buffer.
    void release_native() noexcept { session.release(); }

    std::array<nb::object *, 7> gc_refs() {
        return {&dest.file,          &args.color_spec,     &first_dtype_,   &args.channels,
                &args.extra_channel_distance, &target.options, &target.result};
    }

    EncoderSession session;
    WriterDest dest;
    FirstFrameArgs args;
    QualityTarget target;
    bool busy_ = false;

private:
    void start_session();
    // The frame of a writer with a target: the search's stream is adopted as
    // the whole output (see bind_writer_target.cpp).
    void write_targeted(nb::handle arr, nb::handle duration, nb::handle name,
                        nb::handle timecode);
    // The array to encode: read where it lies when it goes in rectangles,
    // else C-contiguous.
    nb::object frame_array(nb::handle arr, bool *chunked) const;
    void configure_from_first_frame(PyArrayObject *a);
    ChannelLayout resolve_channels(size_t samples, const SampleType &sample) const;
    ColorRequest color_request() const;
    std::vector<float> extra_distances(size_t extras) const;
    void check_matches_first_frame(PyArrayObject *a) const;
    // NaN and infinity where libjxl would not keep them: ValueError naming the first.
    void refuse_non_finite(PyArrayObject *a);
    // Lossless float16 samples that libjxl would alter (see the definition).
    void keep_half_floats(PyArrayObject *a);
    void write_whole(PyArrayObject *a, bool is_last, const FrameHeaderFields &header);
    // The chunked write of a configured still image's frame; the stream is
    // complete when it returns.
    void write_chunked(PyArrayObject *a);
    void flush_to_dest();
    // A close that delivers nothing: native objects and the temporary file
    // go, and the writer is closed.
    void finish() noexcept;
    // Back to a fresh encoder with no frame, as the constructor left it (a
    // JPEG refused by write_jpeg leaves nothing behind); closed if libjxl
    // has no encoder to give.
    void restart() noexcept;
    // write_jpeg's work from the encoder's settings to the finished stream.
    void add_jpeg(JpegVerdict &verdict, const uint8_t *jpeg, size_t size);

    nb::object first_dtype_;
    bool jpeg_frame_ = false;  // write_jpeg configured the encoder
    int grid_ = 0;             // float_grid's indices: 1 of the one frame, 2 of a stack
    bool closed_ = false;
};


}  // namespace qmjxl
