// The frame walker and the DC prefix (see frame_scan.h).
#include "jxlcore/frame_scan.h"

#include "jxlcore/parse_pass.h"

namespace qmjxl {

namespace {

// A frame's header and name, once libjxl reports the frame.
StatusOr<FrameRecord> read_frame(JxlDecoder *dec) {
    FrameRecord f;
    JxlDecoderStatus st = JxlDecoderGetFrameHeader(dec, &f.header);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderGetFrameHeader", st);
    const size_t n = f.header.name_length;
    // The header can hold no longer name; anything else is a broken decoder.
    if (n > kMaxFrameName)
        return StreamError("jxl: frame name of " + std::to_string(n) +
                           " bytes is longer than the " + std::to_string(kMaxFrameName) +
                           " bytes a frame header can hold");
    f.name.assign(n + 1, '\0');
    if (n) {
        st = JxlDecoderGetFrameName(dec, f.name.data(), f.name.size());
        if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderGetFrameName", st);
    }
    f.name.resize(n);
    return f;
}

// Walks the frames of `src`: counts them into `count` and, with `headers`,
// reads the basic info and every frame's header.
Status walk_frames(ByteSource &src, bool coalesce, size_t *count, FrameHeaders *headers) {
    const int events = JXL_DEC_FRAME | (headers ? JXL_DEC_BASIC_INFO : 0);
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner, make_parse_decoder(events));
    JxlDecoder *dec = owner.get();
    if (!coalesce) {
        const JxlDecoderStatus st = JxlDecoderSetCoalescing(dec, JXL_FALSE);
        if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetCoalescing", st);
    }
    auto on_event = [&](JxlDecoderStatus st) -> Status {
        if (st == JXL_DEC_FRAME) ++*count;
        if (!headers) return Status::Ok();
        if (st == JXL_DEC_BASIC_INFO && JxlDecoderGetBasicInfo(dec, &headers->info) != JXL_DEC_SUCCESS)
            return StreamError("JxlDecoderGetBasicInfo failed");
        if (st == JXL_DEC_FRAME) {
            QM_ASSIGN_OR_RETURN(FrameRecord f, read_frame(dec));
            headers->frames.push_back(std::move(f));
        }
        return Status::Ok();
    };
    if (headers) return run_parse_pass(dec, src, "its frame headers", on_event);

    // The count checks no signature (libjxl's refusal says it) and has
    // messages of its own.
    QM_RETURN_IF_ERROR(src.start(dec));
    for (;;) {
        QM_ASSIGN_OR_RETURN(const JxlDecoderStatus st, src.process(dec));
        if (st == JXL_DEC_SUCCESS) return Status::Ok();
        if (st == JXL_DEC_ERROR || st == JXL_DEC_NEED_MORE_INPUT) {
            if (src.ran_out()) return StreamError("jxl: truncated stream while counting frames");
            return Status::DecoderCall("JxlDecoderProcessInput", JXL_DEC_ERROR);
        }
        QM_RETURN_IF_ERROR(on_event(st));
    }
}

// Pixels are never looked at: a callback that drops them lets libjxl run
// without a full-size scratch image, so a header claiming gigapixels costs
// nothing.
void discard_pixels(void *, size_t, size_t, size_t, const void *) {}

}  // namespace

StatusOr<size_t> count_frames(ByteSource &src, bool coalesce) {
    QM_RETURN_IF_ERROR(src.prefetch(1));
    if (src.size() == 0) return size_t(0);
    size_t count = 0;
    QM_RETURN_IF_ERROR(walk_frames(src, coalesce, &count, nullptr));
    return count;
}

StatusOr<FrameHeaders> scan_frame_headers(ByteSource &src, bool coalesce) {
    FrameHeaders headers;
    size_t count = 0;
    QM_RETURN_IF_ERROR(walk_frames(src, coalesce, &count, &headers));
    return headers;
}

namespace {

using Prefix = std::optional<size_t>;

struct PointWanted {
    uint64_t max_pixels;
    JxlProgressiveDetail detail;
    size_t max_ratio;
};

StatusOr<JxlDecoderPtr> point_decoder(const PointWanted &w) {
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner,
                        make_parse_decoder(JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION));
    const JxlDecoderStatus st = JxlDecoderSetProgressiveDetail(owner.get(), w.detail);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetProgressiveDetail", st);
    return owner;
}

// The header is known by now: refuse a bomb before libjxl decodes it, and
// drop the pixels as they come.
Status discard_output(JxlDecoder *dec, uint64_t max_pixels) {
    static const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlBasicInfo info;
    if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderGetBasicInfo failed");
    QM_RETURN_IF_ERROR(check_max_pixels(info, max_pixels));
    if (JxlDecoderSetImageOutCallback(dec, &pf, discard_pixels, nullptr) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderSetImageOutCallback failed");
    return Status::Ok();
}

// libjxl over all of `src`: the bytes it had consumed at the point, or none
// when the frame completes without one. Consumed bytes are the sections
// done from the front on; a point whose sections are not all there (a
// table of contents in another order than the file's) is reached later in
// the file, which `first_fed_at_point` finds.
StatusOr<Prefix> consumed_at_point(ByteSource &src, const PointWanted &w) {
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner, point_decoder(w));
    JxlDecoder *dec = owner.get();
    QM_RETURN_IF_ERROR(src.start(dec));
    for (;;) {
        QM_ASSIGN_OR_RETURN(const JxlDecoderStatus st, src.process(dec));
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            QM_RETURN_IF_ERROR(discard_output(dec, w.max_pixels));
        } else if (st == JXL_DEC_FRAME_PROGRESSION) {
            if (JxlDecoderGetIntendedDownsamplingRatio(dec) > w.max_ratio) continue;
            const size_t remaining = JxlDecoderReleaseInput(dec);
            if (remaining > src.size())
                return StreamError("jxl: ReleaseInput returned more bytes than we supplied");
            // A pulled source has dropped what libjxl consumed before.
            return Prefix(static_cast<size_t>(src.offset()) + src.size() - remaining);
        } else if (st == JXL_DEC_SUCCESS || st == JXL_DEC_FULL_IMAGE) {
            return Prefix();
        } else if (st == JXL_DEC_NEED_MORE_INPUT || st == JXL_DEC_ERROR) {
            if (src.ran_out()) return StreamError("jxl: truncated stream while seeking DC pass");
            return Status::DecoderCall("JxlDecoderProcessInput", JXL_DEC_ERROR);
        }
    }
}

// `data[0, n)` handed to a new decoder `from` bytes at first, then `step`
// more at a time: how many it had when the point was reached (none: not
// within n bytes).
StatusOr<Prefix> first_fed_at_point(const uint8_t *data, size_t n, size_t from, size_t step,
                                    const PointWanted &w) {
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner, point_decoder(w));
    JxlDecoder *dec = owner.get();
    size_t fed = std::min(from, n), consumed = 0;
    if (JxlDecoderSetInput(dec, data, fed) != JXL_DEC_SUCCESS)
        return StreamError("JxlDecoderSetInput failed");
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec);
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            QM_RETURN_IF_ERROR(discard_output(dec, w.max_pixels));
        } else if (st == JXL_DEC_FRAME_PROGRESSION) {
            if (JxlDecoderGetIntendedDownsamplingRatio(dec) <= w.max_ratio) return Prefix(fed);
        } else if (st == JXL_DEC_NEED_MORE_INPUT) {
            if (fed == n) return Prefix();
            consumed = fed - JxlDecoderReleaseInput(dec);
            fed = std::min(n, fed + step);
            if (JxlDecoderSetInput(dec, data + consumed, fed - consumed) != JXL_DEC_SUCCESS)
                return StreamError("JxlDecoderSetInput failed");
        } else {
            return Prefix();  // the frame ended, or the stream broke, before the point
        }
    }
}

// The shortest prefix of `data` with which libjxl reaches the point.
StatusOr<Prefix> prefix_in_memory(const uint8_t *data, size_t n, const PointWanted &w) {
    ByteSource all = ByteSource::memory(data, n);
    QM_ASSIGN_OR_RETURN(const Prefix consumed, consumed_at_point(all, w));
    if (!consumed) return Prefix();
    // Usually the consumed bytes are the prefix; else step on, coarse then by byte.
    constexpr size_t kStep = 256;
    QM_ASSIGN_OR_RETURN(const Prefix coarse, first_fed_at_point(data, n, *consumed, kStep, w));
    if (!coarse || *coarse == *consumed) return consumed;
    const size_t from = std::max(*consumed, *coarse - kStep);
    QM_ASSIGN_OR_RETURN(const Prefix exact, first_fed_at_point(data, *coarse, from, 1, w));
    return exact ? exact : coarse;
}

}  // namespace

StatusOr<std::optional<size_t>> dc_prefix_length(ByteSource &src, uint64_t max_pixels) {
    if (src.pulls()) return ValueError("jxl: dc_prefix_length measures a memory span");
    return consumed_at_point(src, {max_pixels, kDC, 8});
}

StatusOr<std::optional<size_t>> preview_prefix_length(ByteSource &src, uint64_t max_pixels,
                                                      size_t max_ratio) {
    if (src.pulls()) return ValueError("jxl: preview_prefix_length measures a memory span");
    if (src.size() == 0) return Prefix();
    return prefix_in_memory(src.data(), src.size(), {max_pixels, kLastPasses, max_ratio});
}

StatusOr<bool> read_to_preview_point(ByteSource &src, uint64_t max_pixels, size_t max_ratio) {
    QM_RETURN_IF_ERROR(src.prefetch(1));
    if (src.size() == 0) return false;
    QM_ASSIGN_OR_RETURN(const Prefix reached,
                        consumed_at_point(src, {max_pixels, kLastPasses, max_ratio}));
    return reached.has_value();
}

}  // namespace qmjxl
