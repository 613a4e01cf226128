// The byte source, the frame walker and the box walker over streams made
// here with libjxl's encoder, from memory and pulled in small chunks.
#include "check.h"

#include "jxlcore/boxes.h"
#include "jxlcore/byte_source.h"
#include "jxlcore/frame_scan.h"

#include <cstring>
#include <string>
#include <vector>

using namespace qmjxl;

namespace {

using Bytes = std::vector<uint8_t>;

const char kTiff[] = "II*\0\x08\0\0\0\0\0\0\0";
const char kXmp[] = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";

// A 16x8 lossless animation of `frames` frames lasting 100, 200, ... ticks;
// with `boxes`, in a container with an Exif box and a Brotli-compressed XMP box.
Bytes encode_animation(int frames, bool boxes) {
    JxlEncoderPtr enc = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = 16;
    info.ysize = 8;
    info.bits_per_sample = 8;
    info.uses_original_profile = JXL_TRUE;
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 1000;
    info.animation.tps_denominator = 1;
    if (boxes) JxlEncoderUseBoxes(enc.get());
    JxlEncoderSetBasicInfo(enc.get(), &info);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(enc.get(), &srgb);
    if (boxes) {
        std::string exif(4, '\0');
        exif.append(kTiff, sizeof kTiff - 1);
        JxlEncoderAddBox(enc.get(), "Exif", reinterpret_cast<const uint8_t *>(exif.data()),
                         exif.size(), JXL_FALSE);
        JxlEncoderAddBox(enc.get(), "xml ", reinterpret_cast<const uint8_t *>(kXmp),
                         sizeof kXmp - 1, JXL_TRUE);
    }
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    JxlEncoderSetFrameLossless(fs, JXL_TRUE);
    JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, 1);
    const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (int i = 0; i < frames; ++i) {
        JxlFrameHeader h;
        JxlEncoderInitFrameHeader(&h);
        h.duration = 100 * (i + 1);
        JxlEncoderSetFrameHeader(fs, &h);
        Bytes pixels(16 * 8 * 3);
        for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = uint8_t(k * 7 + i * 50);
        JxlEncoderAddImageFrame(fs, &pf, pixels.data(), pixels.size());
    }
    JxlEncoderCloseInput(enc.get());
    Bytes out(4096);
    uint8_t *next = out.data();
    size_t avail = out.size();
    while (JxlEncoderProcessOutput(enc.get(), &next, &avail) == JXL_ENC_NEED_MORE_OUTPUT) {
        const size_t used = next - out.data();
        out.resize(out.size() * 2);
        next = out.data() + used;
        avail = out.size() - used;
    }
    out.resize(next - out.data());
    return out;
}

// Hands out `step` bytes of `data` per pull.
class StepPuller : public ChunkPuller {
public:
    StepPuller(const Bytes &data, size_t step) : data_(data), step_(step) {}
    StatusOr<bool> pull(InputBuffer &buf) override {
        if (pos_ == data_.size()) return false;
        const size_t n = std::min(step_, data_.size() - pos_);
        QM_RETURN_IF_ERROR(buf.append(data_.data() + pos_, n));
        pos_ += n;
        return true;
    }

private:
    const Bytes &data_;
    size_t step_;
    size_t pos_ = 0;
};

// `run(src)` over `data` in memory and pulled 7 and 4096 bytes at a time.
template <typename Run>
void from_every_source(const Bytes &data, Run &&run) {
    ByteSource mem = ByteSource::memory(data.data(), data.size());
    run(mem);
    for (size_t step : {size_t(7), size_t(4096)}) {
        StepPuller puller(data, step);
        auto src = ByteSource::pulled(&puller);
        CHECK(src.ok());
        run(*src);
    }
}

}  // namespace

TEST(frame_walker_counts_and_reads_headers) {
    const Bytes anim = encode_animation(3, false);
    from_every_source(anim, [](ByteSource &src) {
        auto n = count_frames(src, true);
        CHECK(n.ok() && *n == 3);
    });
    from_every_source(anim, [](ByteSource &src) {
        auto h = scan_frame_headers(src, true);
        CHECK(h.ok() && h.value().frames.size() == 3);
        if (!h.ok() || h.value().frames.size() != 3) return;
        CHECK(h.value().info.have_animation && h.value().info.animation.tps_numerator == 1000);
        for (int i = 0; i < 3; ++i) {
            CHECK(h.value().frames[i].header.duration == uint32_t(100 * (i + 1)));
            CHECK((h.value().frames[i].header.is_last != 0) == (i == 2));
        }
    });
    ByteSource empty = ByteSource::memory(nullptr, 0);
    auto none = count_frames(empty, true);
    CHECK(none.ok() && *none == 0);
}

TEST(box_walker_lists_boxes_and_collects_metadata) {
    const Bytes anim = encode_animation(2, true);
    from_every_source(anim, [](ByteSource &src) {
        auto scan = scan_boxes(src);
        CHECK(scan.ok());
        if (!scan.ok()) return;
        std::string types;
        for (const BoxEntry &e : scan.value().boxes) types += e.type + (e.compressed ? "*" : "") + ",";
        CHECK(types.find("Exif,xml *,") != std::string::npos);
        CHECK(types.find("jxl") != std::string::npos);  // the codestream's box(es)
        CHECK(scan.value().have_exif && scan.value().have_xmp && !scan.value().have_jumbf);
        CHECK_EQ_STR(std::string(scan.value().xmp.begin(), scan.value().xmp.end()), kXmp);
        auto tiff = exif_tiff_range(scan.value().exif_box);
        CHECK(tiff.ok() && tiff.value().first == 4 && tiff.value().second == sizeof kTiff - 1);
    });
    const Bytes not_tiff = {0, 0, 0, 0, 'G', 'I', 'F', '8', '9', 'a', 0, 0};
    auto bad = exif_tiff_range(not_tiff);
    CHECK(!bad.ok() && bad.status().kind() == StatusKind::kStream);
}

TEST(cut_stream_is_told_from_a_corrupt_one) {
    const Bytes anim = encode_animation(3, false);
    for (size_t keep : {size_t(20), anim.size() / 3, anim.size() / 2}) {
        const Bytes cut(anim.begin(), anim.begin() + keep);
        from_every_source(cut, [](ByteSource &src) {
            auto n = count_frames(src, true);
            CHECK(!n.ok() && src.ran_out() && src.closed());
            CHECK_EQ_STR(n.status().message(), "jxl: truncated stream while counting frames");
        });
    }
    // The signature, then bytes that are no codestream: refused, not cut.
    Bytes corrupt(anim.begin(), anim.begin() + 2);
    corrupt.resize(anim.size(), 0xA5);
    ByteSource src = ByteSource::memory(corrupt.data(), corrupt.size());
    auto n = count_frames(src, true);
    CHECK(!n.ok() && !src.ran_out());
    CHECK(n.status().kind() == StatusKind::kDecoderCall);
    // A whole bare codestream ends without libjxl asking past its end.
    ByteSource whole = ByteSource::memory(anim.data(), anim.size());
    CHECK(count_frames(whole, true).ok() && !whole.ran_out());
}
