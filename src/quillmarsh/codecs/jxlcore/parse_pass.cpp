// Shared steps of the parse-only passes (see parse_pass.h).
#include "jxlcore/parse_pass.h"

namespace qmjxl {

StatusOr<JxlDecoderPtr> make_parse_decoder(int events) {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) return StreamError("JxlDecoderCreate returned NULL");
    const JxlDecoderStatus st = JxlDecoderSubscribeEvents(dec.get(), events);
    if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSubscribeEvents", st);
    return dec;
}

Status start_stream(ByteSource &src, JxlDecoder *dec) {
    // Enough bytes for the signature check, whatever a reader hands out.
    QM_RETURN_IF_ERROR(src.prefetch(16));
    if (src.size() == 0) return ValueError("jxl: empty input");
    if (!signature_ok(src.data(), src.size())) return ValueError("jxl: not a JPEG XL stream");
    return src.start(dec);
}

}  // namespace qmjxl
