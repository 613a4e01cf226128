// Checks of what libjxl's encoder produced (see verify.h).
#include "jxlcore/verify.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace qmjxl {

namespace {

// A 1x25 RGB row whose pixels 18 and 22 share a slot of the palette search's
// hash table within one batch of eight: the unpatched coder stores pixel 18
// as pixel 22's colour.
constexpr uint8_t kProbe[25][3] = {
    {30, 114, 198}, {241, 45, 128}, {222, 13, 201}, {103, 129, 235}, {122, 0, 171},
    {163, 108, 19}, {209, 138, 126}, {132, 247, 183}, {71, 89, 196},  {211, 249, 89},
    {0, 78, 213},   {227, 2, 200},   {102, 120, 46}, {158, 166, 135}, {82, 69, 147},
    {174, 62, 18},  {104, 204, 159}, {64, 110, 164}, {168, 50, 196}, {87, 70, 40},
    {238, 96, 4},   {104, 199, 11},  {52, 254, 14},  {175, 152, 191}, {79, 121, 94}};

// The probe encoded losslessly at effort 1; empty when libjxl refused it.
std::vector<uint8_t> encode_probe() {
    std::vector<uint8_t> out;
    JxlEncoderPtr enc = JxlEncoderMake(nullptr);
    if (!enc) return out;
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = 25;
    info.ysize = 1;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = JXL_TRUE;
    JxlColorEncoding color;
    JxlColorEncodingSetToSRGB(&color, JXL_FALSE);
    const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS ||
        JxlEncoderSetColorEncoding(enc.get(), &color) != JXL_ENC_SUCCESS)
        return out;
    JxlEncoderFrameSettings *fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (!fs || JxlEncoderSetFrameLossless(fs, JXL_TRUE) != JXL_ENC_SUCCESS ||
        JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, 1) != JXL_ENC_SUCCESS ||
        JxlEncoderAddImageFrame(fs, &pf, kProbe, sizeof kProbe) != JXL_ENC_SUCCESS)
        return out;
    JxlEncoderCloseInput(enc.get());
    out.resize(4096);
    uint8_t *next = out.data();
    size_t avail = out.size();
    if (JxlEncoderProcessOutput(enc.get(), &next, &avail) != JXL_ENC_SUCCESS) {
        out.clear();
        return out;
    }
    out.resize(out.size() - avail);
    return out;
}

bool g_sound = false;
std::once_flag g_checked;

}  // namespace

bool decodes_to_nogil(const uint8_t *stream, size_t size, const JxlPixelFormat &pf,
                      const void *pixels, size_t nbytes) noexcept {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), stream, size) != JXL_DEC_SUCCESS)
        return false;
    JxlDecoderCloseInput(dec.get());
    void *buf = std::malloc(nbytes ? nbytes : 1);
    if (!buf) return false;
    bool same = false;
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec.get());
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t want = 0;
            if (JxlDecoderImageOutBufferSize(dec.get(), &pf, &want) != JXL_DEC_SUCCESS ||
                want != nbytes ||
                JxlDecoderSetImageOutBuffer(dec.get(), &pf, buf, nbytes) != JXL_DEC_SUCCESS)
                break;
        } else if (st == JXL_DEC_FULL_IMAGE) {
            same = std::memcmp(buf, pixels, nbytes) == 0;
            break;
        } else {
            break;  // an error, or the stream ended without a frame
        }
    }
    std::free(buf);
    return same;
}

bool fast_lossless_sound() {
    std::call_once(g_checked, [] {
        const std::vector<uint8_t> stream = encode_probe();
        const JxlPixelFormat pf = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        g_sound = !stream.empty() &&
                  decodes_to_nogil(stream.data(), stream.size(), pf, kProbe, sizeof kProbe);
    });
    return g_sound;
}

}  // namespace qmjxl
