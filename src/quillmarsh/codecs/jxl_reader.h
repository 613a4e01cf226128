// JxlReader: the streaming JPEG XL decoder (input resolution, header parse,
// frame loops, streaming refills, progressive downsampling, metadata).
#pragma once

#include "jxl_meta.h"
#include "jxl_types.h"

#include <jxl/thread_parallel_runner_cxx.h>

#include <memory>

namespace qmjxl {

class JxlReader {
public:
    JxlReader() = default;
    JxlReader(const JxlReader &) = delete;
    JxlReader &operator=(const JxlReader &) = delete;
    // Releases native handles only; never calls close() of companion objects.
    ~JxlReader();

    // The constructor's work.
    void init(nb::handle data, nb::handle numthreads,
              nb::handle keep_orientation, nb::handle coalesce, nb::handle parse_color,
              nb::handle streaming, nb::handle skip_frames, nb::handle downsample,
              nb::handle subsample, nb::handle max_pixels);

    void init_streaming(nb::handle src);
    void refill_input();
    void grow_input_buf(size_t needed);
    void parse_header();
    void fetch_icc_profile();
    // The metadata passes' results, computed on first use and cached.
    const BoxScan &box_scan();
    nb::list frames_info();
    MetaInput meta_input(ProbeSource &src);
    [[noreturn]] void raise_decode_error(int rc) const;

    void close();
    // Native part of close(): decoder, then runner, then the input buffer.
    void release_native() noexcept;
    // Refuses every call that would reach the decoder while a lock-free
    // step of this reader runs in another thread.
    void check_not_busy() const;
    void check_open() const;

    // The runner is declared before the decoder so that, should the members
    // ever be destroyed implicitly, the decoder still goes first.
    JxlThreadParallelRunnerPtr runner_;
    JxlDecoderPtr decoder_;
    size_t num_threads_ = 0;
    uint64_t max_pixels_ = kDefaultMaxPixels;  // 0: no limit

    nb::object data_ref_;  // null handle stands for None
    ByteView view_;        // buffer export of data_ref_, held while open
    const uint8_t *src_data_ = nullptr;
    size_t src_size_ = 0;
    nb::object file_handle_;
    int own_file_handle_ = 0;

    nb::object chunk_reader_;
    int streaming_ = 0;
    uint8_t *input_buf_ = nullptr;
    size_t input_buf_capacity_ = 0;
    size_t input_buf_used_ = 0;
    int input_eof_ = 0;
    int input_closed_ = 0;

    JxlBasicInfo basic_info_{};
    JxlColorEncoding color_encoding_{};
    JxlPixelFormat pixel_format_{};
    JxlBitDepth bit_depth_{};
    int have_basic_info_ = 0;
    int have_color_ = 0;
    int parse_color_ = 0;
    int icc_fetched_ = 0;
    int coalesce_ = 1;
    int keep_orientation_ = 0;
    int closed_ = 0;
    int frames_started_ = 0;
    int exhausted_ = 0;
    size_t skipped_ = 0;      // frames libjxl was told to skip
    size_t frames_done_ = 0;  // frames delivered by the full-size frame loop
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

    bool busy_ = false;
    // A refill failed part-way through a frame: libjxl may still hold the
    // abandoned frame array as its output buffer and its unconsumed input is
    // gone, so no later frame step may resume that decoder.
    int input_failed_ = 0;
};

// Lock-free per-frame steps: touch no Python object, return an RC_* code.
int decode_one_frame_nogil(JxlDecoder *dec, const JxlPixelFormat *pf, const JxlBitDepth *bd,
                           void *buf, size_t buf_size, int *buffer_set_io, int streaming);
int decode_one_frame_progressive_nogil(JxlDecoder *dec, const JxlPixelFormat *pf,
                                       const JxlBitDepth *bd, void *buf, size_t buf_size,
                                       size_t target_ratio, size_t *out_ratio,
                                       int *buffer_set_io, int streaming);

// Strided reduction of a (Y, X) or (Y, X, C) array by `n`; mode 0 samples the
// top-left pixel of each n-by-n block, any other mode its centre. Always a
// new array of ceil(Y/n) x ceil(X/n) pixels.
nb::object subsample_slice(nb::handle arr, Py_ssize_t n, int mode);

// The Python type object of JxlReader (valid after register_reader).
nb::handle reader_type();

}  // namespace qmjxl
