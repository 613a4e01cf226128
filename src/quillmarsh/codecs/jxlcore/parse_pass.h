// The event loop of the parse-only passes (boxes, frame headers): a decoder
// with only their events subscribed, fed from a ByteSource.
#pragma once

#include "jxlcore/byte_source.h"

#include <string>

namespace qmjxl {

// A decoder with `events` subscribed.
StatusOr<JxlDecoderPtr> make_parse_decoder(int events);

// start() after checking that the input is neither empty nor anything but a
// JPEG XL stream (ValueError).
Status start_stream(ByteSource &src, JxlDecoder *dec);

// Runs `dec` over `src` until libjxl reports success, handing every other
// event to `on_event` (which returns a Status). `what` names what is read in
// the errors of a corrupt or cut stream.
template <typename OnEvent>
Status run_parse_pass(JxlDecoder *dec, ByteSource &src, const char *what, OnEvent &&on_event) {
    QM_RETURN_IF_ERROR(start_stream(src, dec));
    for (;;) {
        QM_ASSIGN_OR_RETURN(const JxlDecoderStatus st, src.process(dec));
        switch (st) {
            case JXL_DEC_SUCCESS:
                return Status::Ok();
            case JXL_DEC_ERROR:
                return StreamError(std::string("jxl: corrupt or truncated stream while reading ") +
                                   what + " (JxlDecoderProcessInput returned JXL_DEC_ERROR)");
            case JXL_DEC_NEED_MORE_INPUT:
                return StreamError(std::string("jxl: truncated stream while reading ") + what);
            default:
                QM_RETURN_IF_ERROR(on_event(st));
        }
    }
}

}  // namespace qmjxl
