// DecoderSession without Python: a decode, refusals and cut streams, on
// images encoded here with libjxl.
#include "check.h"

#include "jxlcore/decoder_session.h"

#include <algorithm>
#include <vector>

using namespace qmjxl;

namespace {

// An RGB image of `xsize` x `ysize` with a gradient and some texture.
std::vector<uint8_t> test_pixels(uint32_t xsize, uint32_t ysize) {
    std::vector<uint8_t> px(size_t(xsize) * ysize * 3);
    for (uint32_t y = 0; y < ysize; ++y)
        for (uint32_t x = 0; x < xsize; ++x) {
            uint8_t *p = &px[(size_t(y) * xsize + x) * 3];
            p[0] = uint8_t(x * 255 / xsize);
            p[1] = uint8_t(y * 255 / ysize);
            p[2] = uint8_t((x * 7 + y * 13) ^ (x * y));
        }
    return px;
}

// The JPEG XL codestream of `px`: lossless, or lossy at distance 1.
std::vector<uint8_t> encode(const std::vector<uint8_t> &px, uint32_t xsize, uint32_t ysize,
                            bool lossless) {
    JxlEncoderPtr enc = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = xsize;
    info.ysize = ysize;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    std::vector<uint8_t> out;
    if (JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS) return out;
    JxlColorEncoding color;
    JxlColorEncodingSetToSRGB(&color, JXL_FALSE);
    JxlEncoderSetColorEncoding(enc.get(), &color);
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (lossless)
        JxlEncoderSetFrameLossless(fs, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(fs, 1.0f);
    JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, 3);
    const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderAddImageFrame(fs, &pf, px.data(), px.size()) != JXL_ENC_SUCCESS) return out;
    JxlEncoderCloseInput(enc.get());
    out.resize(4096);
    uint8_t *next = out.data();
    size_t avail = out.size();
    for (;;) {
        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc.get(), &next, &avail);
        if (st != JXL_ENC_NEED_MORE_OUTPUT) {
            out.resize(next - out.data());
            if (st != JXL_ENC_SUCCESS) out.clear();
            return out;
        }
        const size_t used = next - out.data();
        out.resize(out.size() * 2);
        next = out.data() + used;
        avail = out.size() - used;
    }
}

// A stream handed over `step` bytes at a time, up to `end`.
class SlicePuller : public ChunkPuller {
public:
    SlicePuller(const std::vector<uint8_t> &data, size_t end, size_t step)
        : data_(data), end_(end), step_(step) {}
    StatusOr<bool> pull(InputBuffer &buf) override {
        if (pos_ >= end_) return false;
        const size_t n = std::min(step_, end_ - pos_);
        QM_RETURN_IF_ERROR(buf.append(data_.data() + pos_, n));
        pos_ += n;
        return true;
    }

private:
    const std::vector<uint8_t> &data_;
    size_t end_, step_, pos_ = 0;
};

// The session's frame loop run to its first event past memory requests:
// the frame goes into `frame` (sized by the layout).
StatusOr<FrameEvent> decode_frame(DecoderSession &s, std::vector<uint8_t> *frame) {
    FrameJob job;
    s.begin_frame(job);
    frame->assign(s.layout().frame_bytes, 0);
    s.provide_memory(job, frame->data(), frame->size());
    for (;;) {
        StatusOr<FrameEvent> event = s.advance(job);
        if (!event.ok() || *event != FrameEvent::kNeedInput) return event;
        QM_RETURN_IF_ERROR(s.refill());
    }
}

// open(), refilling a streamed input as the header asks.
StatusOr<bool> open_session(DecoderSession &s) {
    StatusOr<bool> ready = s.open();
    while (ready.ok() && !*ready) {
        QM_RETURN_IF_ERROR(s.refill());
        ready = s.read_header();
    }
    return ready;
}

}  // namespace

TEST(decoder_session_decodes_a_lossless_image) {
    const std::vector<uint8_t> px = test_pixels(70, 40);
    const std::vector<uint8_t> stream = encode(px, 70, 40, true);
    CHECK(!stream.empty());
    DecoderSession s;
    CHECK(s.set_input(stream.data(), stream.size()).ok());
    auto header = s.open();
    CHECK(header.ok() && *header);
    CHECK(s.header().basic.xsize == 70 && s.header().basic.ysize == 40);
    CHECK(s.layout().samples == 3 && s.layout().format.data_type == JXL_TYPE_UINT8);
    std::vector<uint8_t> frame;
    auto first = decode_frame(s, &frame);
    CHECK(first.ok() && *first == FrameEvent::kFrame);
    CHECK(frame == px);
    auto next = decode_frame(s, &frame);
    CHECK(next.ok() && *next == FrameEvent::kEnd);
    CHECK(s.exhausted() && !s.truncated());
}

TEST(decoder_session_refuses_with_the_callers_message) {
    const std::vector<uint8_t> stream = encode(test_pixels(70, 40), 70, 40, true);
    {
        DecoderSession s;
        s.options().max_pixels = 1000;
        CHECK(s.set_input(stream.data(), stream.size()).ok());
        auto header = s.open();
        CHECK(!header.ok() && header.status().kind() == StatusKind::kValue);
        CHECK(header.status().message().rfind(
                  "jxl: image of 70x40 = 2800 pixels exceeds max_pixels=1000", 0) == 0);
    }
    {
        const uint8_t junk[] = {'n', 'o', 't', ' ', 'j', 'x', 'l'};
        DecoderSession s;
        const Status st = s.set_input(junk, sizeof junk);
        CHECK(st.kind() == StatusKind::kValue);
        CHECK_EQ_STR(st.message(), "jxl: not a JPEG XL stream");
    }
    {
        // The signature and a damaged header after it: libjxl's refusal.
        std::vector<uint8_t> damaged(stream.begin(), stream.end());
        for (size_t i = 2; i < damaged.size(); ++i) damaged[i] = 0xff;
        DecoderSession s;
        CHECK(s.set_input(damaged.data(), damaged.size()).ok());
        auto header = s.open();
        CHECK(!header.ok());
        CHECK(header.status().kind() == StatusKind::kDecoderCall ||
              header.status().kind() == StatusKind::kValue);
    }
}

TEST(decoder_session_knows_a_cut_stream) {
    const uint32_t xsize = 600, ysize = 400;
    const std::vector<uint8_t> stream = encode(test_pixels(xsize, ysize), xsize, ysize, false);
    CHECK(stream.size() > 1000);
    // Cut in the header.
    {
        DecoderSession s;
        CHECK(s.set_input(stream.data(), 3).ok());
        auto header = s.open();
        CHECK(!header.ok() && header.status().kind() == StatusKind::kStream);
        CHECK_EQ_STR(header.status().message(),
                     "JxlDecoderProcessInput needs more input than was provided (truncated "
                     "stream?)");
    }
    const size_t cut = stream.size() * 3 / 4;
    // Cut in the frame: refused as cut, not as damaged.
    {
        DecoderSession s;
        CHECK(s.set_input(stream.data(), cut).ok());
        CHECK(s.open().ok());
        std::vector<uint8_t> frame;
        auto event = decode_frame(s, &frame);
        CHECK(!event.ok() && event.status().kind() == StatusKind::kStream);
        CHECK_EQ_STR(event.status().message(),
                     "JxlDecoderProcessInput needs more input (truncated stream?)");
        CHECK(s.input().source.ran_out());
    }
    // With allow_partial, the frame decoded so far, marked truncated.
    {
        DecoderSession s;
        s.options().allow_partial = true;
        CHECK(s.set_input(stream.data(), cut).ok());
        CHECK(s.open().ok());
        std::vector<uint8_t> frame;
        auto event = decode_frame(s, &frame);
        CHECK(event.ok() && *event == FrameEvent::kFrame);
        CHECK(s.truncated() && s.exhausted());
    }
    // A whole stream is not cut.
    {
        DecoderSession s;
        s.options().allow_partial = true;
        CHECK(s.set_input(stream.data(), stream.size()).ok());
        CHECK(s.open().ok());
        std::vector<uint8_t> frame;
        auto event = decode_frame(s, &frame);
        CHECK(event.ok() && *event == FrameEvent::kFrame);
        CHECK(!s.truncated() && !s.input().source.ran_out());
    }
}

TEST(decoder_session_streams_in_small_chunks) {
    const std::vector<uint8_t> px = test_pixels(300, 200);
    const std::vector<uint8_t> stream = encode(px, 300, 200, true);
    {
        SlicePuller puller(stream, stream.size(), 777);
        DecoderSession s;
        CHECK(s.start_stream(&puller).ok());
        auto header = open_session(s);
        CHECK(header.ok() && *header);
        std::vector<uint8_t> frame;
        auto event = decode_frame(s, &frame);
        CHECK(event.ok() && *event == FrameEvent::kFrame);
        CHECK(frame == px);
    }
    {
        // Cut: libjxl gets the rest with the input closed, and refuses it.
        SlicePuller puller(stream, stream.size() / 2, 777);
        DecoderSession s;
        CHECK(s.start_stream(&puller).ok());
        CHECK(open_session(s).ok());
        std::vector<uint8_t> frame;
        auto event = decode_frame(s, &frame);
        CHECK(!event.ok() && event.status().kind() == StatusKind::kStream);
        CHECK(s.input().source.ended());
    }
}
