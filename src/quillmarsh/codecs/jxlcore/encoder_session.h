// One encode: a libjxl encoder with its worker threads, configured from the
// first frame, fed whole frames, chunked frames or a JPEG, its stream
// collected in a ByteSink. Every failure comes back as a Status made where it
// happened; nothing here touches Python, so the lock-free steps (add_frame,
// add_chunked, finish) can run without the interpreter lock.
#pragma once

#include "jxlcore/byte_sink.h"
#include "jxlcore/chunked.h"
#include "jxlcore/common.h"
#include "jxlcore/encode_channels.h"
#include "jxlcore/encode_meta.h"
#include "jxlcore/runner.h"

#include <memory>
#include <string>
#include <vector>

namespace qmjxl {

// When a still frame goes to libjxl in rectangles: kAuto for a side above
// libjxl's own streaming threshold (below it libjxl gathers the whole frame
// anyway); the other two are for comparisons in tests and benchmarks.
enum class ChunkedMode { kAuto, kNever, kAlways };

// How the display should treat the samples' brightness (0 or -1: not given).
struct DisplayOptions {
    float intensity_target = 0.0f;
    float min_nits = 0.0f;
    int relative_to_max_display = -1;
    float linear_below = 0.0f;
};

// The encoder's options, each default written here once.
struct EncodeOptions {
    bool lossless = true;
    float distance = 0.0f;
    double max_error = 0.0;  // above 0: integer samples on a grid within it, coded losslessly
    int effort = 5;  // libjxl's own default is 7
    int decoding_speed = 0;
    bool progressive = false;
    size_t num_threads = 0;     // workers (libjxl's default count when not given)
    bool auto_threads = false;  // not given: sized from the first frame
    bool animation = false;
    bool container = false;
    DisplayOptions display;
    int color_transform = -1;  // libjxl's COLOR_TRANSFORM, -1: its choice
    int modular = -1;          // -1: libjxl's choice
    std::string icc_profile;   // empty: none
    int color_channels = 0;    // 0: not given
    ChunkedMode chunked = ChunkedMode::kAuto;
};

// The caller's colour description, when it is not an ICC profile.
struct ColorRequest {
    bool given = false;
    bool hdr = false;           // PQ or HLG: the nominal peak goes in the basic info
    JxlColorEncoding encoding{};  // the colour space is set from the pixels
};

// What the first frame fixes.
struct FrameConfig {
    size_t xsize = 0, ysize = 0, samples = 0;
    SampleType sample;
    ChannelLayout channels;
    ColorRequest color;
    std::vector<float> extra_distance;  // one per extra channel; empty: libjxl's
};

class EncoderSession {
public:
    EncoderSession() = default;
    EncoderSession(const EncoderSession &) = delete;
    EncoderSession &operator=(const EncoderSession &) = delete;

    EncodeOptions &options() { return opt_; }
    const EncodeOptions &options() const { return opt_; }
    EncodeMeta &meta() { return meta_; }
    const EncodeMeta &meta() const { return meta_; }
    ByteSink &out() { return out_; }

    // A fresh encoder (with the worker threads) and no frame; what was made
    // before is dropped.
    Status start();
    // Encoder, chunked output, worker threads and the memory buffer go.
    void release() noexcept;
    bool started() const { return enc_ != nullptr; }
    bool configured() const { return configured_; }
    size_t frames_added() const { return frames_added_; }  // refused ones included
    size_t frames_accepted() const { return frames_accepted_; }
    const FrameConfig &config() const { return config_; }
    const JxlPixelFormat &pixel_format() const { return pixel_format_; }

    // Whether a frame of `ndim` dimensions (Y, X first) goes in rectangles.
    bool takes_chunked(int ndim, size_t ysize, size_t xsize, size_t count) const;
    // The first frame's settings: container, basic info, extra channels,
    // boxes, colour, frame settings and an output buffer sized for it.
    Status configure(FrameConfig config);
    // The header of the next frame.
    Status set_frame_header(const FrameHeaderFields &fields);
    // Lossless float16 frames whose samples only the effort-1 coder keeps.
    Status use_effort_1();

    // A whole frame, interleaved and C-contiguous (`nbytes` of it). Its
    // extra channels are split off first when the layout is split. `last`
    // closes the input and drains the stream; otherwise the frames queued
    // before it are drained first (libjxl marks the last frame only when
    // the input is closed before it is encoded).
    Status add_frame(const void *pixels, size_t nbytes, bool last);
    // A still image's only frame, read in rectangles where it lies; the
    // stream is complete when it returns.
    Status add_chunked(const FrameLayout &frame);
    // After an 8-bit effort-1 lossless still: whether the stream decodes to
    // `pixels` (that coder is flawed in some libjxl builds).
    bool stream_matches(const void *pixels, size_t nbytes) const;
    // The still frame encoded again from a fresh encoder at `effort`, with
    // the same configuration and header.
    Status remake_still(int effort, const FrameHeaderFields &header, const void *pixels,
                        size_t nbytes);
    // Closes the input and drains what libjxl still holds into out().
    Status finish();

    // JPEG recompression: the container, JPEG metadata, effort and Brotli
    // effort of a transcode, and a buffer for a stream about `jpeg_size`.
    Status configure_jpeg(size_t jpeg_size);
    JxlEncoder *encoder() const { return enc_.get(); }
    JxlEncoderFrameSettings *frame_settings() const { return fs_; }
    // Counts a JPEG frame handed to libjxl (`accepted` when it took it).
    void count_frame(bool accepted);

private:
    Status set_basic_info();
    Status declare_extra_channels();
    Status set_color();
    Status set_frame_settings();
    Status set_option(JxlEncoderFrameSettingId id, int64_t value, const char *name);
    Status drain();
    // A frame's colour and extra-channel planes, handed to libjxl separately.
    struct SplitFrame {
        std::vector<uint8_t> color;
        std::vector<std::vector<uint8_t>> planes;
        std::vector<JxlPixelFormat> formats;
    };
    Status split_frame(const void *pixels, SplitFrame *out) const;
    Status add_image(const void *pixels, size_t nbytes, const SplitFrame &split);

    EncodeOptions opt_;
    EncodeMeta meta_;
    ByteSink out_;
    FrameConfig config_;
    JxlPixelFormat pixel_format_{};
    // The runner request and the chunked output are declared before the
    // encoder, which uses them, so that the encoder is destroyed first.
    RunnerRequest runner_;
    std::unique_ptr<ChunkedSink> chunked_out_;
    JxlEncoderPtr enc_;
    JxlEncoderFrameSettings *fs_ = nullptr;  // owned by the encoder
    bool configured_ = false;
    size_t frames_added_ = 0;
    size_t frames_accepted_ = 0;
};

}  // namespace qmjxl
