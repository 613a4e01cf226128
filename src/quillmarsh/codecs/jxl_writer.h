// JxlWriter: the streaming JPEG XL encoder object and its one-shot wrapper.
#pragma once

#include "jxlcore/channels.h"
#include "jxlcore/byte_sink.h"
#include "jxlcore/chunked.h"
#include "bind_write_meta.h"
#include "bind_options.h"
#include "jxlcore/runner.h"

#include <memory>
#include <vector>

namespace qmjxl {

class JpegVerdict;

// Sample type of a frame dtype: libjxl data type, bits per sample, exponent
// bits. Anything but native uint8/uint16/float16/float32 is a ValueError.
void dtype_to_jxl(nb::handle dtype, JxlDataType *out, uint32_t *bps, uint32_t *exp_bps);

// One lock-free encoder step. Each stage runs only when asked for, in this
// order: drain the frames already queued, add the frame, close the input,
// drain, into `out`.
struct EncStep {
    JxlEncoder *encoder = nullptr;
    JxlEncoderFrameSettings *frame_settings = nullptr;
    JxlPixelFormat pixel_format{};
    const void *pixels = nullptr;
    size_t nbytes = 0;
    bool drain_before = false;
    bool add = false;
    bool close_input = false;
    bool drain_after = false;
    // Extra channels given as planes after the colour (pixels holds colour only).
    const std::vector<std::vector<uint8_t>> *planes = nullptr;
    const std::vector<JxlPixelFormat> *plane_formats = nullptr;
    ByteSink *out = nullptr;
    int status = 0;  // libjxl status of the failing call
};

// Returns ENC_OK, ENC_ERR_ADD_FRAME, ENC_ERR_PROCESS or ENC_ERR_REALLOC.
// Touches no Python object.
int encode_step_nogil(EncStep &s) noexcept;

// The constructor's options, normalised (one field per option-table row;
// -1 or 0.0 marks an option that was not given).
struct WriterOptions {
    nb::object dest;  // the caller's file-like, or None
    bool own_dest = false;  // a path: the writer's file sink
    bool is_buffer = false;
    nb::object color_spec;
    bool lossless = false;
    float distance = 1.0f;
    int effort = 5;
    int decoding_speed = 0;
    bool progressive = false;
    size_t num_threads = 0;
    bool auto_threads = false;  // numthreads=None: sized from the first frame
    bool animation = false;
    bool container = false;
    float intensity_target = 0.0f;
    float min_nits = 0.0f;
    int relative_to_max_display = -1;
    float linear_below = 0.0f;
    int color_transform = -1;
    int modular = -1;
    nb::object icc_profile;  // an owned bytes copy, or None
    // Channel layout, checked against the first frame's shape.
    nb::object channels;
    int color_channels = 0;  // 0: not given
    nb::object extra_channel_distance;
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
    // rebuild the JPEG (see jxl_jpeg.h). The stream is complete, in memory,
    // when it returns; a refused JPEG leaves the writer ready for a frame.
    void write_jpeg(nb::handle data, bool verify);
    nb::object close();
    // Refuses use while a lock-free step of this writer runs (or re-entry
    // from inside one of its calls into Python).
    void check_not_busy() const;
    void abandon();  // __exit__ with an exception: nothing is delivered
    // The native part of every way out: encoder, then runner, then buffer.
    void release_native() noexcept;
    // Removes the temporary file of a path destination (the target stays as it was).
    void discard_dest() noexcept { out.discard(); }

    std::array<nb::object *, 5> gc_refs() {
        return {&opt.dest, &opt.color_spec, &first_dtype_, &opt.channels,
                &opt.extra_channel_distance};
    }

    WriterOptions opt;
    EncodeMeta meta;  // boxes and timing
    ByteSink out;     // the stream: in memory, or a path's temporary file

private:
    void create_encoder();
    void configure_from_first_frame(nb::handle arr);
    void set_basic_info(uint32_t bps, uint32_t exp_bps, size_t samples);
    void set_color(JxlDataType dtype, bool is_gray);
    void set_frame_settings();
    // The channel layout of an array with `samples` channels; true when
    // frames go to libjxl as colour plus separate extra-channel planes.
    bool resolve_channels(size_t samples, uint32_t bps, uint32_t exp_bps);
    void declare_extra_channels(uint32_t bps, uint32_t exp_bps);
    void check_matches_first_frame(PyArrayObject *a) const;
    // True when the frame `a` goes to libjxl in rectangles (see jxl_chunked.h):
    // the only frame of a still image, large enough for libjxl to stream it.
    // NaN and infinity where libjxl would not keep them: ValueError naming the first.
    void refuse_non_finite(PyArrayObject *a);
    // Lossless float16 samples that libjxl would alter (see the definition).
    void keep_half_floats(nb::handle arr);
    bool wants_chunked(PyArrayObject *a) const;
    // The chunked write of a configured still image's frame; the stream is
    // complete when it returns.
    void write_chunked(PyArrayObject *a);
    // The still frame `src` encoded again from a fresh encoder at `effort`
    // (the stream made before is dropped).
    void remake_still(nb::handle src, int effort, nb::handle duration, nb::handle name,
                      nb::handle timecode);
    // A step with this writer's encoder and output buffer filled in.
    EncStep step() const;
    // Runs `s` without the interpreter lock, keeps its buffer, raises its error.
    void run(EncStep &s);
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

    // The runner request and the sink are declared before the encoder so
    // that the encoder, which uses them, is destroyed first.
    RunnerRequest runner_;
    std::unique_ptr<ChunkedSink> sink_;  // set: the output goes through it
    JxlEncoderPtr encoder_;
    JxlEncoderFrameSettings *frame_settings_ = nullptr;  // owned by the encoder
    JxlBasicInfo basic_info_{};
    JxlPixelFormat pixel_format_{};
    JxlColorEncoding color_encoding_{};
    bool config_done_ = false;
    bool jpeg_frame_ = false;  // write_jpeg configured the encoder
    bool closed_ = false;
    nb::object first_dtype_;
    size_t first_xsize_ = 0, first_ysize_ = 0, first_samples_ = 0;
    size_t frame_nbytes_ = 0;
    size_t frame_count_ = 0;      // frames submitted, refused ones included
    size_t frames_accepted_ = 0;  // frames libjxl took
    // Channels beyond colour and alpha.
    uint32_t ncolor_ = 0;
    std::vector<ExtraSpec> extras_;
    uint32_t color_bits_override_ = 0;
    bool split_ = false;             // colour and planes handed over separately
    bool codestream_depth_ = false;  // integer samples in each channel's own range

public:
    bool busy_ = false;
};

}  // namespace qmjxl
