// JxlWriter: the streaming JPEG XL encoder object and its one-shot wrapper.
#pragma once

#include "jxl_types.h"

namespace qmjxl {

// Sample type of a frame dtype: libjxl data type, bits per sample, exponent
// bits. Anything but native uint8/uint16/float16/float32 is a ValueError.
void _dtype_to_jxl(nb::handle dtype, JxlDataType *out, uint32_t *bps, uint32_t *exp_bps);

// One lock-free encoder step. Each stage runs only when asked for, in this
// order: drain the frames already queued, add the frame, close the input,
// drain. The buffer fields are local copies; the caller stores them back.
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
    uint8_t *outbuf = nullptr;
    size_t capacity = 0;
    size_t used = 0;
    int status = 0;  // libjxl status of the failing call
};

// Returns ENC_OK, ENC_ERR_ADD_FRAME, ENC_ERR_PROCESS or ENC_ERR_REALLOC.
// Touches no Python object.
int _add_frame_and_drain_nogil(EncStep &s) noexcept;

class JxlWriter {
public:
    JxlWriter() = default;
    ~JxlWriter() { _destroy_native(); }
    JxlWriter(const JxlWriter &) = delete;
    JxlWriter &operator=(const JxlWriter &) = delete;

    // Constructor body: destination, options, encoder and runner.
    void init(nb::handle dest, nb::handle color, nb::handle lossless, nb::handle quality,
              nb::handle distance, nb::handle effort, nb::handle decoding_speed,
              nb::handle numthreads, nb::handle animation, nb::handle container,
              nb::handle intensity_target, nb::handle icc_profile, nb::handle progressive,
              nb::handle min_nits, nb::handle relative_to_max_display, nb::handle linear_below,
              nb::handle color_transform, nb::handle modular);
    // Clean-up of a constructor that failed half-way: native objects, and the
    // file the constructor opened (it stays created, empty).
    void abort_init() noexcept;

    void write_frame(nb::handle arr, bool is_last);
    nb::object close();
    // Refuses use while a lock-free step of this writer runs (or re-entry
    // from inside one of its calls into Python).
    void check_not_busy() const;
    void abandon();  // __exit__ with an exception

    void _configure_from_first_frame(nb::handle arr);
    void _drain_all();
    void _flush_to_dest();
    void _destroy_native() noexcept;

    JxlEncoder *_encoder = nullptr;
    JxlEncoderFrameSettings *_frame_settings = nullptr;
    void *_runner = nullptr;
    size_t _num_threads = 0;
    nb::object _dest_obj;
    int _own_dest = 0;
    int _is_buffer = 0;
    JxlBasicInfo _basic_info{};
    JxlPixelFormat _pixel_format{};
    JxlBitDepth _bit_depth{};
    JxlColorEncoding _color_encoding{};
    int _config_done = 0;
    int _closed = 0;
    int _animation = 0;
    int _container = 0;
    int _lossless = 0;
    float _distance = 1.0f;
    int _effort = 5;
    int _decoding_speed = 0;
    int _progressive = 0;
    nb::object _color_spec;
    float _intensity_target = 0.0f;
    float _min_nits = 0.0f;
    int _relative_to_max_display = -1;
    float _linear_below = 0.0f;
    int _color_transform = -1;
    int _modular = -1;
    nb::object _icc_profile;
    nb::object _first_dtype;
    size_t _first_xsize = 0, _first_ysize = 0, _first_samples = 0;
    size_t _frame_nbytes = 0;
    uint8_t *_outbuf = nullptr;
    size_t _outbuf_capacity = 0;
    size_t _outbuf_used = 0;
    size_t _frame_count = 0;

    bool busy_ = false;
};

}  // namespace qmjxl
