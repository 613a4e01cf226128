// The decoder job (see decoder_session.h): set-up and header here, the
// output layout in decoder_layout.cpp, the frame loop in decoder_frames.cpp.
#include "jxlcore/decoder_session.h"

#include "jxlcore/buffer_cache.h"
#include "jxlcore/frame_scan.h"

#include <jxl/cms.h>


namespace qmjxl {

namespace {

// The streamed input's first buffer: two of the chunks the reader asks for.
constexpr size_t kInitialInputBuf = 8388608;

}  // namespace

// ---- input -------------------------------------------------------------------

Status DecoderSession::set_input(const uint8_t *data, size_t size) {
    input_.source = ByteSource::memory(data, size);
    if (size == 0) return ValueError("jxl: empty input");
    if (!signature_ok(data, size)) return ValueError("jxl: not a JPEG XL stream");
    return Status::Ok();
}

Status DecoderSession::start_stream(ChunkPuller *puller) {
    QM_ASSIGN_OR_RETURN(input_.source, ByteSource::pulled(puller, kInitialInputBuf));
    QM_RETURN_IF_ERROR(input_.source.prefetch(1));
    const ByteSource &src = input_.source;
    if (src.size() == 0) return ValueError("jxl: empty input");
    if (!signature_ok(src.data(), src.size())) return ValueError("jxl: not a JPEG XL stream");
    return Status::Ok();
}

Status DecoderSession::refill() {
    if (!decoder_ || !input_.source.pulls()) return StateError("JxlReader is closed");
    const bool was_closed = input_.source.closed();
    QM_ASSIGN_OR_RETURN(const Refill r, input_.source.refill(decoder_.get()));
    if (r != Refill::kDrained) return Status::Ok();
    // The input has ended and libjxl holds nothing of it, yet wants more.
    return StreamError(was_closed ? "jxl: NEED_MORE_INPUT after EOF (truncated stream?)"
                                  : "jxl: empty refill (truncated?)");
}

// ---- set-up and header -------------------------------------------------------

StatusOr<bool> DecoderSession::open() {
    QM_RETURN_IF_ERROR(configure_decoder());
    return read_header();
}

Status DecoderSession::configure_decoder() {
    const DecodeOptions &o = opts_;
    const bool auto_threads = o.num_threads == 0;
    const size_t threads = auto_threads ? default_worker_threads() : o.num_threads;
    if (threads > 1) {
        // With numthreads=None the count is chosen once the header gives the size.
        runner_.threads = auto_threads ? 1 : threads;
        runner_.exact = !auto_threads;
        // A streamed frame is decoded a span at a time: its groups' tasks
        // are handed out one by one (see RunnerRequest::one_by_one).
        runner_.one_by_one = input_.streamed();
    }
    out_color_.requested = o.output_color;
    if (o.output_color) out_color_.target = o.output_target;
    out_color_.desired_intensity_target = o.desired_intensity_target;
    int events = JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE;
    if (o.parse_color || o.output_color || o.desired_intensity_target > 0)
        events |= JXL_DEC_COLOR_ENCODING;
    if (o.downsample == 8) events |= JXL_DEC_FRAME_PROGRESSION;
    // Layers are sized from their headers; progressive frames are completed
    // unless their header says that no later frame can depend on them.
    progress_.frame_events = !o.coalesce || o.downsample == 8;
    if (progress_.frame_events) events |= JXL_DEC_FRAME;
    // Spot colours are mixed into the colour channels when asked, and when a
    // rendering (output_color) of the colour alone is asked.
    const bool render_spot = o.render_spot_colors || (!o.extra_channels && o.output_color);

    decoder_.reset(JxlDecoderCreate(decoder_buffers()));
    JxlDecoder *dec = decoder_.get();
    if (!dec) return StreamError("JxlDecoderCreate returned NULL");
    auto call = [](JxlDecoderStatus st, const char *name) {
        return st == JXL_DEC_SUCCESS ? Status::Ok() : Status::DecoderCall(name, st);
    };
    if (threads > 1)
        QM_RETURN_IF_ERROR(call(JxlDecoderSetParallelRunner(dec, pooled_runner, &runner_),
                                "JxlDecoderSetParallelRunner"));
    if (o.keep_orientation)
        QM_RETURN_IF_ERROR(
            call(JxlDecoderSetKeepOrientation(dec, JXL_TRUE), "JxlDecoderSetKeepOrientation"));
    if (!o.coalesce)
        QM_RETURN_IF_ERROR(call(JxlDecoderSetCoalescing(dec, JXL_FALSE), "JxlDecoderSetCoalescing"));
    if (o.output_color)
        QM_RETURN_IF_ERROR(call(JxlDecoderSetCms(dec, *JxlGetDefaultCms()), "JxlDecoderSetCms"));
    QM_RETURN_IF_ERROR(call(JxlDecoderSetRenderSpotcolors(dec, render_spot ? JXL_TRUE : JXL_FALSE),
                            "JxlDecoderSetRenderSpotcolors"));
    if (o.unpremultiply_alpha)
        QM_RETURN_IF_ERROR(call(JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE),
                                "JxlDecoderSetUnpremultiplyAlpha"));
    QM_RETURN_IF_ERROR(call(JxlDecoderSubscribeEvents(dec, events), "JxlDecoderSubscribeEvents"));
    if (o.downsample == 8)
        QM_RETURN_IF_ERROR(call(JxlDecoderSetProgressiveDetail(dec, kLastPasses),
                                "JxlDecoderSetProgressiveDetail"));
    // An in-memory input stays open: should libjxl ask for more, the stream
    // is cut (with allow_partial, the frame so far can still be flushed); the
    // input is closed then, and libjxl tells the end of the stream from a cut.
    QM_RETURN_IF_ERROR(input_.source.start(dec));
    // Frames that libjxl parses past without rendering them.
    if (o.skip_frames > 0) JxlDecoderSkipFrames(dec, o.skip_frames);
    return Status::Ok();
}

StatusOr<bool> DecoderSession::close_input_after_running_out() {
    ByteSource &src = input_.source;
    if (src.pulls() || src.closed()) return false;
    // The unconsumed rest goes back with the input closed (or, with nothing
    // left, the input is closed as it is).
    QM_ASSIGN_OR_RETURN(const Refill r, src.refill(decoder_.get()));
    if (r == Refill::kDrained) src.close(decoder_.get());
    return true;
}

StatusOr<bool> DecoderSession::read_header() {
    if (!opts_.parse_color && !out_color_.requested && !(out_color_.desired_intensity_target > 0))
        header_.have_color = true;
    for (;;) {
        if (header_.have_basic_info && header_.have_color) {
            if (layout_.samples == 0) QM_RETURN_IF_ERROR(plan_layout());
            return true;
        }
        switch (JxlDecoderProcessInput(decoder_.get())) {
            case JXL_DEC_SUCCESS: progress_.exhausted = true; return true;
            case JXL_DEC_NEED_MORE_INPUT: {
                if (input_.streamed()) return false;
                QM_ASSIGN_OR_RETURN(const bool closed, close_input_after_running_out());
                if (closed) continue;
                [[fallthrough]];
            }
            case JXL_DEC_ERROR:
                if (!input_.streamed() && input_.source.ran_out())
                    return StreamError(
                        "JxlDecoderProcessInput needs more input than was provided (truncated "
                        "stream?)");
                return Status::DecoderCall("JxlDecoderProcessInput", JXL_DEC_ERROR);
            case JXL_DEC_BASIC_INFO: QM_RETURN_IF_ERROR(on_basic_info()); continue;
            case JXL_DEC_COLOR_ENCODING: QM_RETURN_IF_ERROR(on_color_encoding()); continue;
            default: continue;
        }
    }
}

Status DecoderSession::on_basic_info() {
    JxlDecoder *dec = decoder_.get();
    JxlBasicInfo &b = header_.basic;
    if (JxlDecoderGetBasicInfo(dec, &b) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderGetBasicInfo failed");
    header_.have_basic_info = true;
    QM_RETURN_IF_ERROR(check_max_pixels(b, opts_.max_pixels));
    if (opts_.num_threads == 0)
        runner_.threads = threads_for_size(b.xsize, b.ysize, default_worker_threads());
    if (b.num_extra_channels > kMaxExtraChannels)
        return ValueError("jxl: the stream declares " + std::to_string(b.num_extra_channels) +
                          " extra channels; at most " + std::to_string(kMaxExtraChannels) +
                          " are supported");
    if (!read_extra_channels(dec, b.num_extra_channels, &header_.extras))
        return StreamError("JxlDecoderGetExtraChannelInfo failed");
    // Non-XYB images are tone-mapped with the colour conversion (see
    // OutputColor and tone_map_in_place).
    if (out_color_.desired_intensity_target > 0 && !b.uses_original_profile) {
        const JxlDecoderStatus st =
            JxlDecoderSetDesiredIntensityTarget(dec, out_color_.desired_intensity_target);
        if (st != JXL_DEC_SUCCESS)
            return Status::DecoderCall("JxlDecoderSetDesiredIntensityTarget", st);
    }
    return Status::Ok();
}

Status DecoderSession::on_color_encoding() {
    JxlDecoder *dec = decoder_.get();
    if (out_color_.requested) {
        QM_RETURN_IF_ERROR(convert_color());
    } else if (out_color_.desired_intensity_target > 0 && header_.basic.uses_original_profile) {
        QM_RETURN_IF_ERROR(tone_map_in_place());
    }
    // An image described only by an ICC profile has no encoding: `color` is
    // then None and `icc_profile` carries it.
    header_.have_encoding = JxlDecoderGetColorAsEncodedProfile(
                                dec, JXL_COLOR_PROFILE_TARGET_DATA, &header_.color) ==
                            JXL_DEC_SUCCESS;
    if (out_color_.by_lcms) {
        header_.have_encoding = out_color_.delivered_has_encoding;
        header_.color =
            header_.have_encoding ? out_color_.delivered_encoding : JxlColorEncoding{};
    }
    header_.have_color = true;
    return Status::Ok();
}

Status DecoderSession::convert_color() {
    return out_color_.on_color_encoding_nogil(decoder_.get(), header_.basic, black_channel() >= 0);
}

// desired_intensity_target without output_color on a non-XYB PQ image:
// tone-mapped within its own colour space by the same conversion.
Status DecoderSession::tone_map_in_place() {
    JxlColorEncoding enc;
    if (black_channel() >= 0 ||
        JxlDecoderGetColorAsEncodedProfile(decoder_.get(), JXL_COLOR_PROFILE_TARGET_DATA, &enc) !=
            JXL_DEC_SUCCESS ||
        enc.transfer_function != JXL_TRANSFER_FUNCTION_PQ)
        return Status::Ok();  // nothing to tone-map: libjxl would leave these alone too
    out_color_.target = ColorEndpoint{};
    out_color_.target.has_encoding = true;
    out_color_.target.encoding = enc;
    out_color_.in_place = true;
    return convert_color();
}

int DecoderSession::black_channel() const {
    for (size_t i = 0; i < header_.extras.size(); ++i)
        if (header_.extras[i].info.type == JXL_CHANNEL_BLACK) return static_cast<int>(i);
    return -1;
}

// ---- queries -------------------------------------------------------------------

size_t DecoderSession::frames_left(bool for_out) const {
    const JxlBasicInfo &b = header_.basic;
    const ByteSource &in = input_.source;
    if (in.pulls() || !in.data() || ((opts_.downsample != 1 || !opts_.coalesce) && !for_out) ||
        (!b.have_animation && (opts_.coalesce || !for_out)) || progress_.exhausted)
        return 0;
    ByteSource src = ByteSource::memory(in.data(), in.size());
    const StatusOr<size_t> counted = count_frames(src, opts_.coalesce);
    if (!counted.ok()) return 0;
    const size_t count = *counted;
    const size_t used = opts_.skip_frames + progress_.frames_done;
    return count > used ? count - used : 0;
}

bool DecoderSession::icc_profile(std::vector<uint8_t> *out) const {
    if (out_color_.by_lcms) {
        *out = out_color_.delivered_icc;
        return !out->empty();
    }
    JxlDecoder *dec = decoder_.get();
    size_t size = 0;
    if (!dec ||
        JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0)
        return false;
    out->resize(size);
    return JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, out->data(), size) ==
           JXL_DEC_SUCCESS;
}

void DecoderSession::release() noexcept {
    decoder_.reset();  // the decoder refers to the runner: destroy it first
    runner_.release();
    input_.source = ByteSource();  // frees a streamed input's buffer
}

}  // namespace qmjxl
