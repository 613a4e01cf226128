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

StatusOr<std::optional<size_t>> prefix_length(ByteSource &src, uint64_t max_pixels,
                                              JxlProgressiveDetail detail, size_t max_ratio) {
    using Prefix = std::optional<size_t>;
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner,
                        make_parse_decoder(JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION));
    JxlDecoder *dec = owner.get();
    JxlDecoderStatus st = JxlDecoderSetProgressiveDetail(dec, detail);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetProgressiveDetail", st);
    QM_RETURN_IF_ERROR(src.start(dec));
    const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        QM_ASSIGN_OR_RETURN(st, src.process(dec));
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            // The header is known by now: refuse a bomb before libjxl decodes it.
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                return StreamError("JxlDecoderGetBasicInfo failed");
            QM_RETURN_IF_ERROR(check_max_pixels(info, max_pixels));
            if (JxlDecoderSetImageOutCallback(dec, &pf, discard_pixels, nullptr) != JXL_DEC_SUCCESS)
                return StreamError("JxlDecoderSetImageOutCallback failed");
        } else if (st == JXL_DEC_FRAME_PROGRESSION) {
            if (JxlDecoderGetIntendedDownsamplingRatio(dec) > max_ratio) continue;
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

}  // namespace

StatusOr<std::optional<size_t>> dc_prefix_length(ByteSource &src, uint64_t max_pixels) {
    return prefix_length(src, max_pixels, kDC, 8);
}

StatusOr<std::optional<size_t>> preview_prefix_length(ByteSource &src, uint64_t max_pixels,
                                                      size_t max_ratio) {
    QM_RETURN_IF_ERROR(src.prefetch(1));
    if (src.size() == 0) return std::optional<size_t>();
    return prefix_length(src, max_pixels, kLastPasses, max_ratio);
}

}  // namespace qmjxl
