// Boxes, time base and frame headers handed to a libjxl encoder.
#include "jxlcore/encode_meta.h"

namespace qmjxl {

void EncodeMeta::fill_basic_info(JxlBasicInfo &info) const {
    if (!animation) return;
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = kTicksPerSecond;
    info.animation.tps_denominator = 1;
    info.animation.num_loops = num_loops;
    info.animation.have_timecodes = have_timecodes ? JXL_TRUE : JXL_FALSE;
}

Status add_boxes(JxlEncoder *enc, const std::vector<MetaBox> &boxes, bool compress) {
    if (boxes.empty()) return Status::Ok();
    JxlEncoderStatus st = JxlEncoderUseBoxes(enc);
    if (st != JXL_ENC_SUCCESS)
        return Status::EncoderCall("JxlEncoderUseBoxes", st, JxlEncoderGetError(enc));
    for (const MetaBox &b : boxes) {
        st = JxlEncoderAddBox(enc, b.type, reinterpret_cast<const uint8_t *>(b.contents.data()),
                              b.contents.size(), compress && !b.raw ? JXL_TRUE : JXL_FALSE);
        if (st != JXL_ENC_SUCCESS)
            return Status::EncoderCall("JxlEncoderAddBox", st, JxlEncoderGetError(enc));
    }
    return Status::Ok();
}

Status apply_frame_header(JxlEncoder *enc, JxlEncoderFrameSettings *fs,
                          const FrameHeaderFields &fields) {
    JxlFrameHeader h;
    JxlEncoderInitFrameHeader(&h);
    h.timecode = fields.timecode;
    if (fields.timed) {
        h.duration = fields.duration;
        h.is_last = fields.is_last ? JXL_TRUE : JXL_FALSE;
    }
    JxlEncoderStatus st = JxlEncoderSetFrameHeader(fs, &h);
    if (st != JXL_ENC_SUCCESS)
        return Status::EncoderCall("JxlEncoderSetFrameHeader", st, JxlEncoderGetError(enc));
    if (!fields.name.empty()) {
        st = JxlEncoderSetFrameName(fs, fields.name.c_str());
        if (st != JXL_ENC_SUCCESS)
            return Status::EncoderCall("JxlEncoderSetFrameName", st, JxlEncoderGetError(enc));
    }
    return Status::Ok();
}

}  // namespace qmjxl
