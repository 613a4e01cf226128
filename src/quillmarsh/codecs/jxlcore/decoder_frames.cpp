// The frame loop of a decoder job (see decoder_session.h): libjxl's events
// until a frame is in its sink, the end, or a point where the caller acts
// (refill, memory for the frame, a progression point of another ratio).
#include "jxlcore/decoder_session.h"

namespace qmjxl {

namespace {

size_t pixel_bytes_of(const DecoderSession::Layout &layout) {
    return layout.samples * bytes_per_sample(layout.format.data_type);
}

}  // namespace

void DecoderSession::begin_frame(FrameJob &job) const {
    job.sink.attached = false;
    job.ratio = 0;
    // Frames that a later frame may be drawn onto are completed; only a frame
    // known to be the last one stops at its progression point.
    job.target = job.progressive && !progress_.frame_events ? job.downsample : 0;
    job.ysize = opts_.coalesce ? header_.basic.ysize : 0;
    job.xsize = opts_.coalesce ? header_.basic.xsize : 0;
}

void DecoderSession::provide_memory(FrameJob &job, void *buf, size_t size) {
    job.sink.buf = buf;
    job.sink.size = size;
    if (job.sink.reduced)
        job.sink.reduced->configure(buf, job.ysize, job.xsize, job.downsample, opts_.subsample,
                                    pixel_bytes_of(layout_));
}

JxlDecoderStatus DecoderSession::next_status() {
    if (progress_.pending >= 0) {
        const auto st = static_cast<JxlDecoderStatus>(progress_.pending);
        progress_.pending = -1;
        return st;
    }
    return JxlDecoderProcessInput(decoder_.get());
}

StatusOr<FrameEvent> DecoderSession::advance(FrameJob &job) {
    for (;;) {
        MaybeEvent event;
        switch (next_status()) {
            case JXL_DEC_FRAME_PROGRESSION: {
                QM_ASSIGN_OR_RETURN(event, on_progression(job));
                break;
            }
            case JXL_DEC_FULL_IMAGE:
                job.ratio = 0;
                QM_RETURN_IF_ERROR(frame_done(job, job.to_end));
                return FrameEvent::kFrame;
            case JXL_DEC_FRAME: {
                QM_ASSIGN_OR_RETURN(event, on_frame_header(job));
                break;
            }
            case JXL_DEC_SUCCESS: progress_.exhausted = true; return FrameEvent::kEnd;
            case JXL_DEC_NEED_MORE_INPUT: {
                if (input_.streamed()) return FrameEvent::kNeedInput;
                QM_ASSIGN_OR_RETURN(event, on_input_ran_out(job));
                break;
            }
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                QM_RETURN_IF_ERROR(
                    job.sink.attach(decoder_.get(), layout_.format, layout_.bit_depth));
                break;
            case JXL_DEC_ERROR:
                if (!input_.streamed() && input_.source.ran_out()) return on_cut();
                return StreamError("JxlDecoderProcessInput returned JXL_DEC_ERROR");
            default: break;
        }
        if (event) return *event;
    }
}

StatusOr<DecoderSession::MaybeEvent> DecoderSession::on_frame_header(FrameJob &job) {
    JxlFrameHeader h;
    if (JxlDecoderGetFrameHeader(decoder_.get(), &h) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderGetFrameHeader failed");
    if (job.progressive) job.target = h.is_last ? job.downsample : 0;
    if (!opts_.coalesce) {
        job.ysize = h.layer_info.ysize;
        job.xsize = h.layer_info.xsize;
        // A layer uses a part of the plan's buffers, which hold the image.
        if (job.sink.plan) job.sink.plan->npixels = job.ysize * job.xsize;
    }
    if (!job.sink.has_memory()) return MaybeEvent(FrameEvent::kNeedMemory);
    return MaybeEvent();
}

StatusOr<DecoderSession::MaybeEvent> DecoderSession::on_progression(FrameJob &job) {
    JxlDecoder *dec = decoder_.get();
    const size_t ratio = JxlDecoderGetIntendedDownsamplingRatio(dec);
    if (ratio < 1 || ratio > job.target) return MaybeEvent();
    if (job.sink.reduced && ratio != job.sink.reduced->n) {
        // Pixels already kept at the sink's ratio cannot be had again at
        // another: go on to a point of its own ratio.
        if (job.sink.reduced->touched.load(std::memory_order_relaxed)) return MaybeEvent();
        job.ratio = ratio;
        return MaybeEvent(FrameEvent::kResample);
    }
    // No rendering to flush here: wait for a finer point or the full image.
    if (JxlDecoderFlushImage(dec) != JXL_DEC_SUCCESS) return MaybeEvent();
    (void)JxlDecoderSkipCurrentFrame(dec);
    job.ratio = ratio;
    QM_RETURN_IF_ERROR(frame_done(job, job.to_end));
    return MaybeEvent(FrameEvent::kFrame);
}

StatusOr<DecoderSession::MaybeEvent> DecoderSession::on_input_ran_out(FrameJob &job) {
    // Every byte was given. Mid-frame, with allow_partial, what libjxl
    // decoded so far is the frame.
    if (opts_.allow_partial && job.sink.attached) {
        if (JxlDecoderFlushImage(decoder_.get()) == JXL_DEC_SUCCESS) {
            progress_.truncated = true;
            QM_RETURN_IF_ERROR(frame_done(job, false));
            return MaybeEvent(FrameEvent::kFrame);
        }
    } else {
        QM_ASSIGN_OR_RETURN(const bool closed, close_input_after_running_out());
        if (closed) return MaybeEvent();  // libjxl now tells the end of the stream from a cut
    }
    QM_ASSIGN_OR_RETURN(const FrameEvent event, on_cut());
    return MaybeEvent(event);
}

StatusOr<FrameEvent> DecoderSession::on_cut() {
    // With allow_partial, a stream cut before a frame had anything to show
    // ends the frames.
    if (opts_.allow_partial && progress_.frames_done > 0) {
        progress_.truncated = true;
        progress_.exhausted = true;
        return FrameEvent::kEnd;
    }
    return StreamError("JxlDecoderProcessInput needs more input (truncated stream?)");
}

Status DecoderSession::frame_done(FrameJob &job, bool ask_next) {
    if (ask_next) {
        // What follows a still image's frame (normally the end of the stream)
        // is asked now rather than in a step of its own.
        progress_.pending = JxlDecoderProcessInput(decoder_.get());
        if (progress_.pending == JXL_DEC_NEED_MORE_INPUT) {
            QM_ASSIGN_OR_RETURN(const bool closed, close_input_after_running_out());
            if (closed) progress_.pending = JxlDecoderProcessInput(decoder_.get());
        }
        if (progress_.pending == JXL_DEC_SUCCESS) {
            progress_.pending = -1;
            progress_.exhausted = true;
            // A one-shot decode needs nothing more of a decoder at the end of
            // the stream: it goes here, not later with the caller's lock held.
            if (progress_.release_at_end && !job.sink.plan && !job.sink.reduced) decoder_.reset();
        }
    }
    QM_RETURN_IF_ERROR(job.sink.finish());
    ++progress_.frames_done;
    if (progress_.truncated) progress_.exhausted = true;  // nothing follows a cut frame
    return Status::Ok();
}

StatusOr<bool> DecoderSession::flush_resampled(FrameJob &job, void *finer) {
    // The frame's first progression point has another ratio than the sink's
    // and nothing is kept yet: its rendering at that ratio, as a full-size
    // buffer sampled by it would give.
    JxlDecoder *dec = decoder_.get();
    const size_t pb = pixel_bytes_of(layout_);
    reduced_.configure(finer, job.ysize, job.xsize, job.ratio, opts_.subsample, pb);
    if (JxlDecoderFlushImage(dec) == JXL_DEC_SUCCESS) {
        (void)JxlDecoderSkipCurrentFrame(dec);
        QM_RETURN_IF_ERROR(frame_done(job, false));
        return true;
    }
    job.ratio = 0;
    reduced_.configure(job.sink.buf, job.ysize, job.xsize, job.downsample, opts_.subsample, pb);
    return false;
}

}  // namespace qmjxl
