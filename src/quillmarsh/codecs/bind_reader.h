// JxlReader, the Python type over a DecoderSession: where its input comes
// from, the Python objects it hands out, its option table and the frame
// iterators (bind_reader_frames.cpp).
#pragma once

#include "bind_options.h"
#include "bind_meta.h"
#include "jxlcore/decoder_session.h"

#include <array>
#include <memory>

namespace qmjxl {

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
    void set_output_color(nb::handle output_color);
    void set_desired_intensity_target(nb::handle nits);

    // Streamed input: the chunk reader started (or a remote input's ranges),
    // then its chunks handed to the session whenever libjxl runs dry.
    void init_streaming(nb::handle src, nb::object remote = nb::object());
    void refill_input();
    // A failed Status of the streamed input: the puller's Python error, if
    // that is what failed, or the Status's own exception.
    [[noreturn]] void raise_input_failure(const Status &s);

    void fetch_icc_profile();
    // The metadata passes' results, computed on first use and cached.
    const BoxScan &box_scan();
    nb::list frames_info();
    void meta_input(ProbeInput &in);

    void close();
    // Refuses every call that would reach the decoder while a lock-free
    // step of this reader runs in another thread.
    void check_not_busy() const;
    void check_open() const;
    bool is_open() const { return !closed_ && session_.has_decoder(); }

    DecodeOptions &options() { return session_.options(); }
    const DecodeOptions &options() const { return session_.options(); }
    const JxlBasicInfo &basic_info() const { return session_.header().basic; }

    std::array<nb::object *, 6> gc_refs() {
        return {&source_.data_ref, &source_.chunk_reader, &source_.meta_src,
                &facts_.frame_dtype, &facts_.frame_shape, &facts_.frames_info};
    }

    DecoderSession session_;
    // Where the bytes come from, on the Python side.
    struct Source {
        nb::object data_ref;  // the object whose bytes are decoded in place (null: none)
        ByteView view;        // its buffer export, held while open
        nb::object chunk_reader;
        std::unique_ptr<BoundPuller> puller;  // the chunk reader's chunks, for the session
        // Metadata passes read the input again on their own: a streamed path
        // or file object (from the position it had when the reader opened it).
        nb::object meta_src;
        int64_t meta_pos = -1;
        bool remote = false;  // chunk_reader is a RemoteInput
    } source_;
    // What the reader hands out about the image, made once.
    struct Facts {
        nb::object frame_dtype;
        nb::object frame_shape;
        nb::object icc_profile;
        bool icc_fetched = false;
        std::unique_ptr<BoxScan> boxes;
        nb::object frames_info;
    } facts_;
    bool busy_ = false;
    bool closed_ = false;

private:
    void read_header();
    void describe_frames();
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
         r.options().num_threads = v.is_none() ? 0 : resolve_numthreads(v);
     }},
    {"keep_orientation", "bool", "False", "False", false, 5,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.options().keep_orientation = truthy(v);
     }},
    {"coalesce", "bool", "True", "True", false, 4,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().coalesce = truthy(v); }},
    {"parse_color", "bool", "True", "False", false, 9,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().parse_color = truthy(v); }},
    {"streaming", "bool", "False", "False", false, 1,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().streaming = truthy(v); }},
    {"skip_frames", "int", "0", nullptr, false, 10,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_skip_frames(v); }},
    {"index", "int | None", nullptr, "None", false, 0, nullptr},
    {"downsample", "int", "1", "1", false, 6,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_downsample(v); }},
    {"subsample", "_Subsample", "'top-left'", "'top-left'", false, 7,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_subsample(v); }},
    {"max_pixels", "int | None", "1073741824", "1073741824", false, 8,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.options().max_pixels = resolve_max_pixels(v);
     }},
    {"max_bytes", "int | None", "8589934592", "8589934592", false, 16,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.options().max_bytes = resolve_limit(v, "max_bytes");
     }},
    {"output_color", "_OutputColor", "None", "None", false, 11,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_output_color(v); }},
    {"desired_intensity_target", "float | None", "None", "None", false, 12,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.set_desired_intensity_target(v); }},
    {"extra_channels", "bool", "False", "False", false, 13,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().extra_channels = truthy(v); }},
    {"render_spot_colors", "bool", "False", "False", false, 14,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.options().render_spot_colors = truthy(v);
     }},
    {"rescale", "bool", "False", "False", false, 15,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().rescale = truthy(v); }},
    {"unpremultiply_alpha", "bool", "False", "False", false, 16,
     [](JxlReader &r, nb::handle v, const OptionArgs &) {
         r.options().unpremultiply_alpha = truthy(v);
     }},
    {"opaque_alpha", "bool", "False", "False", false, 17,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().opaque_alpha = truthy(v); }},
    {"allow_partial", "bool", "False", "False", false, 18,
     [](JxlReader &r, nb::handle v, const OptionArgs &) { r.options().allow_partial = truthy(v); }},
    {"out", "_Frame | None", nullptr, "None", false, 0, nullptr},
};
using ReaderValues = std::array<nb::handle, std::size(kReaderOptions)>;

// Strided reduction of a (Y, X) or (Y, X, C) array by `n`, sampling the
// top-left pixel or the centre of each n-by-n block. Always a new array of
// ceil(Y/n) x ceil(X/n) pixels.
nb::object subsample_slice(nb::handle arr, Py_ssize_t n, Subsample mode);
// An array shape as Python writes it.
std::string shape_text(const npy_intp *dims, size_t nd);

// The Python type object of JxlReader (valid after register_reader).
nb::handle reader_type();
// The constructor's work on uninitialised memory (nothing is left to destroy
// when it throws).
void construct_reader(JxlReader *self, const ReaderValues &v);
// A new JxlReader object from option values in the table's order (each row
// with a parse step given), made without a call through Python.
nb::object new_reader(const ReaderValues &v);
// read(), read_into() and the frame iterators of a JxlReader object.
nb::object reader_read(nb::handle self);
nb::object reader_read_into(nb::handle self, nb::handle out);
nb::object reader_iter_frames(nb::pointer_and_handle<JxlReader> self, nb::handle out);
// Float samples written within max_error are stored as grid indices with a
// box holding offset, step and type: that box's payload as bytes (an
// invalid object for any other input, found from box headers only), and the
// samples restored from decoded indices.
nb::object grid_box(const JxlReader &r);
nb::object restore_grid(const nb::object &payload, const nb::object &indices);
nb::object reader_iter_progressive(nb::pointer_and_handle<JxlReader> self, bool full_buffer);
// The iterator type, registered before JxlReader.
void register_frame_iterator(nb::module_ &m);

}  // namespace qmjxl
