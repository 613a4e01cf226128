// Colour conversion of decoded pixels for the images libjxl does not convert
// itself (it converts only XYB-coded ones): libjxl's own CMS where it reads
// both ends, lcms2 otherwise. Everything here runs without the interpreter
// lock and touches no Python object.
#pragma once

#include <jxl/cms_interface.h>
#include <jxl/color_encoding.h>
#include <jxl/decode.h>
#include <jxl/types.h>

#include "jxlcore/status.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qmjxl {

// Result codes of the colour steps.
constexpr int COLOR_OK = 0;
constexpr int COLOR_ERR_PROFILE = -20;    // an ICC profile lcms2 cannot read
constexpr int COLOR_ERR_SPACE = -21;      // profile colour space does not fit the channels
constexpr int COLOR_ERR_TRANSFORM = -22;  // lcms2 refused the transform
constexpr int COLOR_ERR_ENCODING = -23;   // a colour description lcms2 cannot build

// One end of a conversion: an enumerated colour description (transfer
// functions evaluated here in double precision, the matrix part by lcms2) or
// an ICC profile (lcms2 throughout).
struct ColorEndpoint {
    bool has_encoding = false;
    JxlColorEncoding encoding{};
    std::vector<uint8_t> icc;
    // Nits of a linear sample of 1.0; PQ samples are absolute, so they are
    // scaled by 10000 / this. 0 stands for 255 (libjxl's SDR default).
    float intensity_target = 0.0f;
};

// lcms2's colour-space signature of the ICC profile's data (cmsSigRgbData,
// cmsSigGrayData, cmsSigCmykData, ...), or 0 for a profile it cannot read.
uint32_t icc_color_space_nogil(const uint8_t *icc, size_t size);

// An ICC profile describing `enc` (RGB or grey), built with lcms2: parametric
// curves where they exist, tabulated ones for PQ and HLG. `description` goes
// into the profile's description tag.
int icc_from_encoding_nogil(const JxlColorEncoding &enc, const std::string &description,
                            std::vector<uint8_t> *out);

// The luminance of PQ samples mapped from a source peak into a display's
// peak (the EETF of Rec. 2390 applied to luminance, colour scaled with it):
// what libjxl does to XYB images for a desired intensity target.
struct ToneMap {
    bool active = false;
    int channels = 3;           // 1: grey
    double lum[3] = {0, 0, 0};  // luminance of each primary (sums to 1)
    double pq_src_peak = 1.0;   // PQ code of the source peak
    double max_lum = 1.0;       // display peak, normalised PQ
    double ks = 1.0;            // knee start
    double dst_peak = 0.0;      // nits

    // False when the source's primaries are unknown. Grey or RGB.
    bool init(const JxlColorEncoding &src, double src_peak_nits, double dst_peak_nits);
    // PQ-coded samples (`channels` per pixel) in place.
    void apply(float *rgb, size_t npixels) const;
};

// Luminance of each primary of an RGB encoding; false if unknown.
bool primary_luminances(const JxlColorEncoding &e, double lum[3]);

// Linear RGB brought into [0, 1] for a display, as libjxl does after tone
// mapping: mixed with the grey of its luminance (mostly keeping luminance,
// a little saturation) until no sample is negative or above 1, then scaled
// down by its largest sample where that still exceeds 1.
void gamut_map(float *rgb, size_t npixels, const double lum[3]);

// A prepared conversion between two endpoints.
class ColorConverter {
public:
    ColorConverter() = default;
    ColorConverter(const ColorConverter &) = delete;
    ColorConverter &operator=(const ColorConverter &) = delete;
    ~ColorConverter();

    // `src_channels`: 1 (grey), 3 (RGB) or 4 (CMYK ink amounts, 1 = full
    // ink); it must match the source's colour space. The target's channel
    // count follows from its colour space (dst_channels()). `intent` is a
    // JxlRenderingIntent; `bpc` asks for black-point compensation.
    int init_nogil(const ColorEndpoint &src, int src_channels, const ColorEndpoint &dst,
                   int intent, bool bpc);
    // With libjxl's default CMS: the same transfer functions, PQ scaling and
    // HLG OOTF as libjxl's conversion of XYB images. `intensity_target`: the
    // nits of (1, 1, 1) in relative spaces. `tone_map` (may be null) is
    // applied to the PQ-coded source first. False when the CMS refuses the
    // profiles (the caller then uses init_nogil).
    // `display` (may be null): dst_icc is then the linear form of this
    // encoding; the CMS's linear output is fitted into [0, 1] (RGB) and
    // given the encoding's curve.
    bool init_cms_nogil(const std::vector<uint8_t> &src_icc, const JxlColorEncoding *src_enc,
                        const std::vector<uint8_t> &dst_icc, const JxlColorEncoding *dst_enc,
                        int channels, float intensity_target, const ToneMap *tone_map,
                        const JxlColorEncoding *display = nullptr);
    int dst_channels() const { return dst_channels_; }
    bool identity() const { return identity_; }

    // Converts `npixels` pixels: the colour samples of pixel i are read from
    // src + i * src_stride and written to dst + i * dst_stride (strides in
    // floats); other samples are left alone. src and dst may be the same
    // buffer with the same stride. Thread-safe for one converter (calls
    // through libjxl's CMS take turns). False if the CMS failed.
    bool apply_nogil(const float *src, size_t src_stride, float *dst, size_t dst_stride,
                     size_t npixels) const;

private:
    void release() noexcept;

    const JxlCmsInterface *cms_ = nullptr;
    void *cms_state_ = nullptr;
    std::vector<uint8_t> cms_icc_[2];  // the CMS may keep pointers into them
    mutable std::mutex cms_mutex_;  // the CMS state holds one thread's buffers
    ToneMap tone_map_;
    bool display_ = false;  // CMS gives linear light: fit (RGB) and apply the curve here
    double dst_lum_[3] = {0, 0, 0};
    void *xform_ = nullptr;  // cmsHTRANSFORM
    int src_channels_ = 0;
    int dst_channels_ = 0;
    int src_tf_ = -1;  // JxlTransferFunction applied here, -1: lcms2 handles it
    int dst_tf_ = -1;
    double src_gamma_ = 0.0;
    double dst_gamma_ = 0.0;
    double src_scale_ = 1.0;  // linear = eotf(e) * src_scale_
    double dst_scale_ = 1.0;  // e = oetf(linear * dst_scale_)
    float in_scale_ = 1.0f;   // lcms2 takes CMYK floats in percent
    float out_scale_ = 1.0f;
    bool identity_ = false;
};

// The decoder's ICC profile of the data it delivers (TARGET_DATA); false if
// it has none.
bool decoder_icc_nogil(JxlDecoder *dec, std::vector<uint8_t> *out);

// Colour-managed output of one decoder: the requested target, and how it is
// met once the image's colour is known (by the decoder for XYB images, by a
// conversion of float frames otherwise).
struct OutputColor {
    bool requested = false;
    ColorEndpoint target;    // has_encoding: from a colour name; else ICC bytes
    float desired_intensity_target = 0.0f;  // 0: not asked
    // The target is the image's own space (tone mapping only): libjxl's
    // profile of it serves as the target's.
    bool in_place = false;

    // Filled by on_color_encoding_nogil. by_lcms: converted here (libjxl's
    // CMS or lcms2) rather than by the decoder.
    bool by_lcms = false;
    ColorConverter converter;
    int color_channels = 0;
    bool delivered_has_encoding = false;
    JxlColorEncoding delivered_encoding{};
    std::vector<uint8_t> delivered_icc;

    // At JXL_DEC_COLOR_ENCODING (the decoder has its CMS set): asks libjxl
    // for the target where it can convert, otherwise prepares the lcms2
    // conversion from the image's own profile. `cmyk`: the colour channels
    // and a black channel make CMYK through the image's CMYK profile.
    // The refusals are made here: ValueError for a target that does not fit
    // the image or cannot be built, JxlError for a profile or transform that
    // fails.
    Status on_color_encoding_nogil(JxlDecoder *dec, const JxlBasicInfo &info, bool cmyk);
};

// Clamped to [0, 1]; NaN gives 0.
inline float unit(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

// Writes `n` float samples as `type`: integers are clamped and rounded to
// 0..maxval, float16 rounds to nearest even, float32 is copied.
void store_samples_nogil(const float *src, size_t n, void *dst, JxlDataType type,
                         double maxval);

}  // namespace qmjxl
