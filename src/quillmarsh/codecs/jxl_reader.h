// JxlReader: the streaming JPEG XL decoder (input resolution, header parse,
// frame loops, streaming refills, progressive downsampling, metadata).
#pragma once

#include "jxlcore/channels.h"
#include "jxlcore/color.h"
#include "bind_meta.h"
#include "bind_options.h"
#include "jxlcore/runner.h"

#include <array>
#include <atomic>
#include <memory>
#include <vector>

namespace qmjxl {

// A frame reduced by `n` while libjxl delivers it: libjxl's image-out
// callback hands over full-resolution scanlines (from several threads at once
// with a runner), and only the samples of the reduced array are kept, at the
// positions subsample_slice takes them from. So a reduced decode never holds
// a full-size frame.
struct ReducedSink {
    uint8_t *base = nullptr;
    size_t height = 0, width = 0;       // the full-size frame's
    size_t n = 1, y0 = 0, x0 = 0;
    size_t rows = 0, cols = 0;          // sampled rows / columns inside the frame
    size_t out_rows = 0, out_cols = 0;  // the array's: ceil(height / n), ceil(width / n)
    size_t pixel_bytes = 0;
    // Whether libjxl has delivered any pixel of the frame yet.
    std::atomic<bool> touched{false};

    // `buf` holds out_rows x out_cols pixels of `pixel_bytes`; `mode` as
    // subsample_slice's.
    void configure(void *buf, size_t frame_height, size_t frame_width, size_t n, int mode,
                   size_t pixel_bytes);
    // The edge copies of centre sampling, once the frame is complete.
    void pad_nogil() const;
    static void on_pixels(void *opaque, size_t x, size_t y, size_t num_pixels, const void *pixels);
};

class JxlReader {
public:
    JxlReader() = default;
    JxlReader(const JxlReader &) = delete;
    JxlReader &operator=(const JxlReader &) = delete;
    // Releases native handles only; never calls close() of companion objects.
    ~JxlReader();

    // The constructor's work: `values` are the option table's, in its order.
    void init(const nb::handle *values);
    // Option steps of the constructor (see kReaderOptions).
    void open_input(nb::handle data);
    void set_downsample(nb::handle downsample);
    void set_subsample(nb::handle subsample);
    void set_skip_frames(nb::handle skip_frames);
    // Decoder, runner, events and input, from the parsed options.
    void open_decoder();
    // Colour-managed output: the target of output_color, the desired
    // intensity target; what libjxl or lcms2 does once the image is known.
    void set_output_color(nb::handle output_color);
    void set_desired_intensity_target(nb::handle nits);
    void on_color_encoding();
    // desired_intensity_target without output_color on a non-XYB PQ image:
    // tone-mapped within its own colour space by the same conversion.
    void tone_map_in_place();
    // Once the header is known: which channels a frame holds, its shape and
    // sample type, and whether it is assembled from per-channel buffers.
    void plan_layout();
    // The plan for assembled frames, or null when libjxl writes the array.
    const FramePlan *frame_plan() const { return assembled_ ? &plan_ : nullptr; }
    // After a frame: assembly of an assembled frame into its array.
    void finish_frame(void *frame_buf);
    int black_channel() const;

    void init_streaming(nb::handle src);
    void refill_input();
    void grow_input_buf(size_t needed);
    void parse_header();
    void fetch_icc_profile();
    // The metadata passes' results, computed on first use and cached.
    const BoxScan &box_scan();
    nb::list frames_info();
    void meta_input(ProbeInput &in);
    [[noreturn]] void raise_decode_error(int rc) const;

    void close();
    // Native part of close(): decoder, then runner, then the input buffer.
    void release_native() noexcept;
    // Refuses every call that would reach the decoder while a lock-free
    // step of this reader runs in another thread.
    void check_not_busy() const;
    void check_open() const;

    std::array<nb::object *, 7> gc_refs() {
        return {&data_ref_,    &file_handle_, &chunk_reader_, &frame_dtype_,
                &frame_shape_, &meta_src_,    &frames_info_};
    }

    // The runner request is declared before the decoder so that, should the
    // members ever be destroyed implicitly, the decoder still goes first.
    RunnerRequest runner_;
    JxlDecoderPtr decoder_;
    size_t num_threads_ = 0;
    bool auto_threads_ = false;  // numthreads=None: sized from the header
    uint64_t max_pixels_ = kDefaultMaxPixels;  // 0: no limit
    uint64_t max_bytes_ = kDefaultMaxBytes;    // 0: no limit

    nb::object data_ref_;  // null handle stands for None
    ByteView view_;        // buffer export of data_ref_, held while open
    const uint8_t *src_data_ = nullptr;
    size_t src_size_ = 0;
    nb::object file_handle_;
    int own_file_handle_ = 0;

    nb::object chunk_reader_;
    bool want_stream_ = false;  // the streaming option: stream inputs above the threshold
    int streaming_ = 0;         // the input is actually streamed
    uint8_t *input_buf_ = nullptr;
    size_t input_buf_capacity_ = 0;
    size_t input_buf_used_ = 0;
    int input_eof_ = 0;
    int input_closed_ = 0;

    JxlBasicInfo basic_info_{};
    JxlColorEncoding color_encoding_{};
    JxlPixelFormat pixel_format_{};
    JxlBitDepth bit_depth_{};
    // The status of the first JxlDecoderProcessInput, made by open_decoder
    // for parse_header (-1 once taken).
    int header_status_ = -1;
    // A status libjxl gave after a frame that the next frame step takes
    // instead of asking again (-1: none); see FrameIterator::peek_end.
    int pending_status_ = -1;
    // Made by decode(), which only reads it to the end and closes it: the
    // decoder is destroyed as soon as the end of the stream is seen.
    bool one_shot_ = false;
    int have_basic_info_ = 0;
    int have_color_ = 0;
    bool have_encoding_ = false;  // libjxl could describe the colour as an encoding
    bool frame_events_ = false;   // JXL_DEC_FRAME is subscribed (layers, progressive)
    int parse_color_ = 0;
    int icc_fetched_ = 0;
    int coalesce_ = 1;
    int keep_orientation_ = 0;
    bool unpremultiply_ = false;  // straight alpha out of a premultiplied image
    bool opaque_alpha_ = false;   // an opaque alpha after colour when the image has none
    bool allow_partial_ = false;  // a stream cut short gives the frame decoded so far
    int truncated_ = 0;           // ... and that happened
    int closed_ = 0;
    int frames_started_ = 0;
    int exhausted_ = 0;
    size_t skipped_ = 0;      // frames libjxl was told to skip
    size_t frames_done_ = 0;  // frames delivered by the frame loop
    nb::object icc_profile_;
    nb::object frame_dtype_;
    nb::object frame_shape_;
    size_t samples_ = 0;
    uint64_t frame_nbytes_ = 0;
    size_t downsample_ = 1;
    int subsample_mode_ = 0;

    // Metadata passes read the input again on their own: a streamed path or
    // file object (from the position it had when the reader opened it).
    nb::object meta_src_;
    int64_t meta_pos_ = -1;
    std::unique_ptr<BoxScan> boxes_;
    nb::object frames_info_;

    // Colour-managed output (output_color=...).
    OutputColor out_color_;
    // Extra channels and assembled frames.
    int extra_channels_ = 0;
    int render_spot_ = 0;
    int rescale_ = 0;
    int layout_done_ = 0;
    std::vector<ExtraChannel> extras_;
    bool assembled_ = false;
    FramePlan plan_;
    // Reduced frames (downsample 2, 4, 8) of a frame libjxl writes alone;
    // owned here so that it lives as long as the decoder that calls it.
    ReducedSink sink_;

    bool busy_ = false;
    // A refill failed part-way through a frame: libjxl may still hold the
    // abandoned frame array as its output buffer and its unconsumed input is
    // gone, so no later frame step may resume that decoder.
    int input_failed_ = 0;
};

// The reader's options (decode's too), in their parameter order. `step` is
// the order in which the constructor checks them: a new option takes the next
// free step. decode's `index` becomes the reader's `skip_frames`.
inline constexpr Option<JxlReader> kReaderOptions[] = {
    // name, stub annotation, JxlReader default, decode default, positional, step, parse
    {"data", "_Input", kRequired, kRequired, true, 2,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.open_input(v); }},
    {"numthreads", "int | None", "None", "None", false, 3,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.num_threads_ = resolve_numthreads(v);
         r.auto_threads_ = v.is_none();
     }},
    {"keep_orientation", "bool", "False", "False", false, 5,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.keep_orientation_ = truthy(v); }},
    {"coalesce", "bool", "True", "True", false, 4,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.coalesce_ = truthy(v); }},
    {"parse_color", "bool", "True", "False", false, 9,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.parse_color_ = truthy(v); }},
    {"streaming", "bool", "False", "False", false, 1,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.want_stream_ = truthy(v); }},
    {"skip_frames", "int", "0", nullptr, false, 10,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_skip_frames(v); }},
    {"index", "int | None", nullptr, "None", false, 0, nullptr},
    {"downsample", "int", "1", "1", false, 6,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_downsample(v); }},
    {"subsample", "_Subsample", "'top-left'", "'top-left'", false, 7,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_subsample(v); }},
    {"max_pixels", "int | None", "1073741824", "1073741824", false, 8,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.max_pixels_ = resolve_max_pixels(v); }},
    {"max_bytes", "int | None", "8589934592", "8589934592", false, 16,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.max_bytes_ = resolve_limit(v, "max_bytes");
     }},
    {"output_color", "_OutputColor", "None", "None", false, 11,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_output_color(v); }},
    {"desired_intensity_target", "float | None", "None", "None", false, 12,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_desired_intensity_target(v); }},
    {"extra_channels", "bool", "False", "False", false, 13,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.extra_channels_ = truthy(v); }},
    {"render_spot_colors", "bool", "False", "False", false, 14,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.render_spot_ = truthy(v); }},
    {"rescale", "bool", "False", "False", false, 15,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.rescale_ = truthy(v); }},
    {"unpremultiply_alpha", "bool", "False", "False", false, 16,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.unpremultiply_ = truthy(v); }},
    {"opaque_alpha", "bool", "False", "False", false, 17,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.opaque_alpha_ = truthy(v); }},
    {"allow_partial", "bool", "False", "False", false, 18,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.allow_partial_ = truthy(v); }},
    {"out", "_Frame | None", nullptr, "None", false, 0, nullptr},
};
using ReaderValues = std::array<nb::handle, std::size(kReaderOptions)>;

// The lock-free frame step: touches no Python object, returns an RC_* code.
// Decodes until the frame is complete (out_ratio 0) or, when target_ratio is
// above 0, until a progression point of at most that ratio, which is flushed
// into `buf` (out_ratio: its ratio); the rest of that frame is then skipped.
// With a `plan`, libjxl writes the plan's per-channel buffers instead of `buf`.
// With JXL_DEC_FRAME subscribed it stops at each frame's header
// (RC_FRAME_HEADER), so that the caller can size `buf` and choose the target.
// With a `sink`, libjxl's pixels go to it instead of `buf`; a progression
// point of another ratio than the sink's returns RC_RESAMPLE (out_ratio: its
// ratio) while no pixel has arrived, so that the caller can give the sink an
// array of that ratio and call flush_progression_nogil; once pixels have
// arrived such a point is passed over. A `pending` status (>= 0) is taken
// as libjxl's first answer instead of asking it, and reset to -1.
int decode_frame_nogil(JxlDecoder *dec, const JxlPixelFormat *pf, const JxlBitDepth *bd, void *buf,
                       size_t buf_size, size_t target_ratio, size_t *out_ratio, int *buffer_set_io,
                       int streaming, const FramePlan *plan = nullptr,
                       ReducedSink *sink = nullptr, int *pending = nullptr);
// At a progression point: flushes the rendering so far and skips the rest of
// the frame (RC_FRAME), or returns RC_NEED_FLUSH when libjxl has none.
int flush_progression_nogil(JxlDecoder *dec);

// Strided reduction of a (Y, X) or (Y, X, C) array by `n`; mode 0 samples the
// top-left pixel of each n-by-n block, any other mode its centre. Always a
// new array of ceil(Y/n) x ceil(X/n) pixels.
nb::object subsample_slice(nb::handle arr, Py_ssize_t n, int mode);

// The Python type object of JxlReader (valid after register_reader).
nb::handle reader_type();
// The constructor's work on uninitialised memory (nothing is left to destroy
// when it throws).
void construct_reader(JxlReader *self, const ReaderValues &v);
// A new JxlReader object from option values in the table's order (each row
// with a parse step given), made without a call through Python.
nb::object new_reader(const ReaderValues &v);
// read() and read_into() of a JxlReader object.
nb::object reader_read(nb::handle self);
nb::object reader_read_into(nb::handle self, nb::handle out);

}  // namespace qmjxl
