// One decoder job: libjxl's decoder, its runner and input, the header facts,
// how frames come out, and libjxl's event loop (header, frames whole or as
// layers, progressive hand-off, partial input, streamed refills). Failures are
// returned as a Status whose message is made where the failure happens.
// Nothing here touches Python: the caller allocates the frame memory and
// feeds streamed bytes between the steps.
#pragma once

#include "jxlcore/byte_source.h"
#include "jxlcore/channels.h"
#include "jxlcore/color.h"
#include "jxlcore/common.h"
#include "jxlcore/frame_sinks.h"
#include "jxlcore/runner.h"

#include <optional>
#include <vector>

namespace qmjxl {

// The caller's wishes of one decode. Each default here is the one the
// reader's constructor documents.
struct DecodeOptions {
    // Workers; 0 stands for libjxl's default count, reduced to the calling
    // thread for an image of one group (numthreads=None).
    size_t num_threads = 0;
    bool keep_orientation = false;
    bool coalesce = true;
    bool parse_color = true;
    bool streaming = false;  // inputs above the threshold are streamed
    size_t skip_frames = 0;
    size_t downsample = 1;   // 1, 2, 4 or 8
    Subsample subsample = Subsample::kTopLeft;
    uint64_t max_pixels = kDefaultMaxPixels;  // 0: no limit
    uint64_t max_bytes = kDefaultMaxBytes;    // 0: no limit
    bool output_color = false;                // the target below is asked for
    ColorEndpoint output_target;
    float desired_intensity_target = 0.0f;    // 0: not asked
    bool extra_channels = false;
    bool render_spot_colors = false;
    bool rescale = false;
    bool unpremultiply_alpha = false;
    bool opaque_alpha = false;
    bool allow_partial = false;  // a stream cut short gives the frame decoded so far
};

// Where the session's frame loop stopped.
enum class FrameEvent {
    kFrame,       // a frame is complete (or flushed at a progression point) in its sink
    kEnd,         // no frame follows
    kNeedInput,   // streamed input ran dry: refill, then advance again
    kNeedMemory,  // the frame's size is known and its sink has no memory yet
    kResample,    // a progression point of another ratio than the reduced sink's
};

// One frame's work, from the caller's side.
struct FrameJob {
    FrameSink sink;
    // Stop at the last frame's progression point of at most `downsample`.
    bool progressive = false;
    // Ask libjxl what follows the frame before returning (a still image read
    // whole: its end costs no step of its own).
    bool to_end = false;
    size_t downsample = 1;
    // Filled by the session.
    size_t target = 0;           // progression ratio to stop at (0: the whole frame)
    size_t ratio = 0;            // the ratio of a flushed point (kFrame), or of kResample
    size_t ysize = 0, xsize = 0;  // the frame's full size (a layer's own)
};

class DecoderSession {
public:
    // What libjxl reads from.
    struct Input {
        ByteSource source;
        // A refill failed part-way through a frame: libjxl may still hold the
        // abandoned frame's memory and its unconsumed input is gone.
        bool failed = false;
        bool streamed() const { return source.pulls(); }
    };
    // What the header says.
    struct Header {
        JxlBasicInfo basic{};
        bool have_basic_info = false;
        bool have_color = false;
        bool have_encoding = false;  // libjxl describes the colour as an encoding
        JxlColorEncoding color{};
        std::vector<ExtraChannel> extras;
    };
    // How a frame comes out.
    struct Layout {
        JxlPixelFormat format{};
        JxlBitDepth bit_depth{};
        size_t samples = 0;  // per pixel
        uint64_t frame_bytes = 0;
        bool assembled = false;  // through `plan` rather than written by libjxl
        FramePlan plan;
    };
    // Where the frame loop stands.
    struct Progress {
        bool frame_events = false;  // JXL_DEC_FRAME is subscribed (layers, progressive)
        int pending = -1;           // a status libjxl gave that the next step takes first
        bool exhausted = false;
        bool truncated = false;     // allow_partial delivered a cut frame
        size_t frames_done = 0;
        bool release_at_end = false;  // the decoder goes as soon as the end is seen
    };

    DecoderSession() = default;
    DecoderSession(const DecoderSession &) = delete;
    DecoderSession &operator=(const DecoderSession &) = delete;
    ~DecoderSession() { release(); }

    // Filled before open().
    DecodeOptions &options() { return opts_; }
    const DecodeOptions &options() const { return opts_; }

    // The input: all of it (kept alive by the caller while the session lives),
    // or chunks from `puller` (which outlives the session), of which the first
    // is read here.
    Status set_input(const uint8_t *data, size_t size);
    Status start_stream(ChunkPuller *puller);

    // Creates the decoder with the options' settings and parses the header
    // (read_header). True once the header is known; false when a streamed
    // input needs a refill first.
    StatusOr<bool> open();
    StatusOr<bool> read_header();

    // A streamed input's next chunk, after kNeedInput (or open / read_header
    // returning false). A failure of the puller is its own Status.
    Status refill();

    // The frame loop. begin_frame before the first advance of each frame;
    // after kNeedMemory and kResample, provide_memory / flush_resampled.
    // On kFrame the sink is finished (edges padded, channels assembled).
    void begin_frame(FrameJob &job) const;
    StatusOr<FrameEvent> advance(FrameJob &job);
    void provide_memory(FrameJob &job, void *buf, size_t size);
    // At kResample: `finer` holds the frame reduced by job.ratio. True when
    // the rendering at that ratio is there (the frame is done); false when the
    // frame goes on at the sink's own ratio.
    StatusOr<bool> flush_resampled(FrameJob &job, void *finer);
    // The reduced sink of a frame libjxl writes alone (lives as long as the
    // decoder that calls it).
    ReducedSink *reduced_sink() { return &reduced_; }
    // The plan of assembled frames, or null when libjxl writes the frame.
    FramePlan *frame_plan() { return layout_.assembled ? &layout_.plan : nullptr; }

    // Frames left in an in-memory stream (a parse-only pass), 0 when unknown.
    // `for_out`: for any downsample and for layers (a still image's too).
    size_t frames_left(bool for_out) const;
    // The ICC profile of the delivered pixels; false when there is none.
    bool icc_profile(std::vector<uint8_t> *out) const;

    // Decoder, then runner, then the streamed buffer.
    void release() noexcept;
    bool has_decoder() const { return decoder_ != nullptr; }

    const Input &input() const { return input_; }
    const Header &header() const { return header_; }
    const Layout &layout() const { return layout_; }
    const Progress &progress() const { return progress_; }
    bool exhausted() const { return progress_.exhausted; }
    bool truncated() const { return progress_.truncated; }
    void set_release_at_end(bool on) { progress_.release_at_end = on; }
    void mark_input_failed() { input_.failed = true; }

private:
    Status configure_decoder();
    // libjxl asked for more of an input that was all there: closes it, so
    // that libjxl's next answer is final (false when the input is streamed or
    // already closed).
    StatusOr<bool> close_input_after_running_out();
    Status on_basic_info();
    Status on_color_encoding();
    Status convert_color();
    Status tone_map_in_place();
    int black_channel() const;
    Status plan_layout();
    Status plan_assembled(const std::vector<uint32_t> &deliver, bool cmyk);
    // Frame-loop steps: an event to return, or none to go on.
    using MaybeEvent = std::optional<FrameEvent>;
    StatusOr<MaybeEvent> on_frame_header(FrameJob &job);
    StatusOr<MaybeEvent> on_progression(FrameJob &job);
    StatusOr<MaybeEvent> on_input_ran_out(FrameJob &job);
    StatusOr<FrameEvent> on_cut();
    Status frame_done(FrameJob &job, bool ask_next);
    JxlDecoderStatus next_status();

    DecodeOptions opts_;
    // The runner request is declared before the decoder so that, should the
    // members ever be destroyed implicitly, the decoder still goes first.
    RunnerRequest runner_;
    JxlDecoderPtr decoder_;
    Input input_;
    Header header_;
    Layout layout_;
    Progress progress_;
    OutputColor out_color_;
    ReducedSink reduced_;
};

}  // namespace qmjxl
