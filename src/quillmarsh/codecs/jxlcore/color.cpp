// Colour conversion with lcms2 for images libjxl leaves in their own colour
// space. Enumerated descriptions get their transfer functions evaluated here
// (so PQ, HLG and the sRGB curve are exact, matching libjxl's own conversion
// of XYB images); lcms2 does the primaries, white point and ICC profiles.
#include "jxlcore/color.h"

#include <jxl/cms.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmjxl {

namespace {

constexpr size_t kChunk = 256;  // pixels per lcms2 call

struct Xy {
    double x, y;
};

bool white_point_xy(const JxlColorEncoding &e, Xy *wp) {
    switch (e.white_point) {
        case JXL_WHITE_POINT_D65: *wp = {0.3127, 0.3290}; return true;
        case JXL_WHITE_POINT_DCI: *wp = {0.314, 0.351}; return true;
        case JXL_WHITE_POINT_E: *wp = {1.0 / 3, 1.0 / 3}; return true;
        case JXL_WHITE_POINT_CUSTOM: *wp = {e.white_point_xy[0], e.white_point_xy[1]}; return true;
    }
    return false;
}

bool primaries_xy(const JxlColorEncoding &e, Xy p[3]) {
    switch (e.primaries) {
        case JXL_PRIMARIES_SRGB:
            p[0] = {0.639998686, 0.330010138};
            p[1] = {0.300003784, 0.600003357};
            p[2] = {0.150002046, 0.059997204};
            return true;
        case JXL_PRIMARIES_2100:
            p[0] = {0.708, 0.292};
            p[1] = {0.170, 0.797};
            p[2] = {0.131, 0.046};
            return true;
        case JXL_PRIMARIES_P3:
            p[0] = {0.680, 0.320};
            p[1] = {0.265, 0.690};
            p[2] = {0.150, 0.060};
            return true;
        case JXL_PRIMARIES_CUSTOM:
            p[0] = {e.primaries_red_xy[0], e.primaries_red_xy[1]};
            p[1] = {e.primaries_green_xy[0], e.primaries_green_xy[1]};
            p[2] = {e.primaries_blue_xy[0], e.primaries_blue_xy[1]};
            return true;
    }
    return false;
}

// ---- transfer functions (encoded <-> linear, 1.0 = nominal white) ----------

constexpr double kPqM1 = 2610.0 / 16384, kPqM2 = 2523.0 / 4096 * 128;
constexpr double kPqC1 = 3424.0 / 4096, kPqC2 = 2413.0 / 4096 * 32, kPqC3 = 2392.0 / 4096 * 32;
constexpr double kHlgA = 0.17883277, kHlgB = 0.28466892, kHlgC = 0.55991073;

double pq_to_linear(double e) {  // 1.0 = 10000 nits
    e = std::max(e, 0.0);
    const double p = std::pow(e, 1.0 / kPqM2);
    return std::pow(std::max(p - kPqC1, 0.0) / (kPqC2 - kPqC3 * p), 1.0 / kPqM1);
}
double linear_to_pq(double y) {
    const double p = std::pow(std::max(y, 0.0), kPqM1);
    return std::pow((kPqC1 + kPqC2 * p) / (1.0 + kPqC3 * p), kPqM2);
}
double hlg_to_linear(double e) {  // scene light, no OOTF
    e = std::max(e, 0.0);
    return e <= 0.5 ? e * e / 3.0 : (std::exp((e - kHlgC) / kHlgA) + kHlgB) / 12.0;
}
double linear_to_hlg(double l) {
    l = std::max(l, 0.0);
    return l <= 1.0 / 12 ? std::sqrt(3.0 * l) : kHlgA * std::log(12.0 * l - kHlgB) + kHlgC;
}

// Curves that pass through zero are mirrored for negative (out-of-gamut)
// samples, as libjxl does.
double to_linear(int tf, double gamma, double e) {
    const double a = std::fabs(e), s = e < 0 ? -1.0 : 1.0;
    switch (tf) {
        case JXL_TRANSFER_FUNCTION_LINEAR: return e;
        case JXL_TRANSFER_FUNCTION_SRGB:
            return s * (a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4));
        case JXL_TRANSFER_FUNCTION_709:
            return s * (a < 0.081 ? a / 4.5 : std::pow((a + 0.099) / 1.099, 1.0 / 0.45));
        case JXL_TRANSFER_FUNCTION_GAMMA: return s * std::pow(a, 1.0 / gamma);
        case JXL_TRANSFER_FUNCTION_DCI: return s * std::pow(a, 2.6);
        case JXL_TRANSFER_FUNCTION_PQ: return pq_to_linear(e);
        case JXL_TRANSFER_FUNCTION_HLG: return hlg_to_linear(e);
    }
    return e;
}
double from_linear(int tf, double gamma, double l) {
    const double a = std::fabs(l), s = l < 0 ? -1.0 : 1.0;
    switch (tf) {
        case JXL_TRANSFER_FUNCTION_LINEAR: return l;
        case JXL_TRANSFER_FUNCTION_SRGB:
            return s * (a <= 0.0031308 ? a * 12.92 : 1.055 * std::pow(a, 1.0 / 2.4) - 0.055);
        case JXL_TRANSFER_FUNCTION_709:
            return s * (a < 0.018 ? a * 4.5 : 1.099 * std::pow(a, 0.45) - 0.099);
        case JXL_TRANSFER_FUNCTION_GAMMA: return s * std::pow(a, gamma);
        case JXL_TRANSFER_FUNCTION_DCI: return s * std::pow(a, 1.0 / 2.6);
        case JXL_TRANSFER_FUNCTION_PQ: return linear_to_pq(l);
        case JXL_TRANSFER_FUNCTION_HLG: return linear_to_hlg(l);
    }
    return l;
}

bool tf_known(const JxlColorEncoding &e) {
    switch (e.transfer_function) {
        case JXL_TRANSFER_FUNCTION_LINEAR:
        case JXL_TRANSFER_FUNCTION_SRGB:
        case JXL_TRANSFER_FUNCTION_709:
        case JXL_TRANSFER_FUNCTION_DCI:
        case JXL_TRANSFER_FUNCTION_PQ:
        case JXL_TRANSFER_FUNCTION_HLG: return true;
        case JXL_TRANSFER_FUNCTION_GAMMA: return e.gamma > 0.0 && e.gamma <= 1.0;
        default: return false;
    }
}

// Nits that a linear 1.0 stands for; PQ samples are absolute.
double pq_scale(const ColorEndpoint &ep) {
    const double it = ep.intensity_target > 0 ? ep.intensity_target : 255.0;
    return 10000.0 / it;
}

// The lcms2 tone curve of a transfer function (encoded -> linear).
cmsToneCurve *build_curve(const JxlColorEncoding &e) {
    switch (e.transfer_function) {
        case JXL_TRANSFER_FUNCTION_LINEAR: return cmsBuildGamma(nullptr, 1.0);
        case JXL_TRANSFER_FUNCTION_GAMMA: return cmsBuildGamma(nullptr, 1.0 / e.gamma);
        case JXL_TRANSFER_FUNCTION_DCI: return cmsBuildGamma(nullptr, 2.6);
        case JXL_TRANSFER_FUNCTION_SRGB: {
            const double p[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
            return cmsBuildParametricToneCurve(nullptr, 4, p);
        }
        case JXL_TRANSFER_FUNCTION_709: {
            const double p[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
            return cmsBuildParametricToneCurve(nullptr, 4, p);
        }
        case JXL_TRANSFER_FUNCTION_PQ:
        case JXL_TRANSFER_FUNCTION_HLG: {
            constexpr int n = 4096;
            std::vector<float> t(n);
            const bool pq = e.transfer_function == JXL_TRANSFER_FUNCTION_PQ;
            for (int i = 0; i < n; ++i) {
                const double v = double(i) / (n - 1);
                t[i] = float(pq ? pq_to_linear(v) : hlg_to_linear(v));
            }
            // HLG's scene light tops out a hair below 1.0; the table ends at 1.0.
            const float top = t[n - 1];
            for (auto &v : t) v = top > 0 ? v / top : v;
            return cmsBuildTabulatedToneCurveFloat(nullptr, n, t.data());
        }
        default: return nullptr;
    }
}

// An lcms2 profile of `e` with the given curve (null: linear).
cmsHPROFILE profile_of(const JxlColorEncoding &e, cmsToneCurve *curve) {
    Xy wp;
    if (!white_point_xy(e, &wp)) return nullptr;
    const cmsCIExyY white = {wp.x, wp.y, 1.0};
    cmsToneCurve *own = nullptr;
    if (!curve) curve = own = cmsBuildGamma(nullptr, 1.0);
    if (!curve) return nullptr;
    cmsHPROFILE h = nullptr;
    if (e.color_space == JXL_COLOR_SPACE_GRAY) {
        h = cmsCreateGrayProfile(&white, curve);
    } else if (e.color_space == JXL_COLOR_SPACE_RGB) {
        Xy p[3];
        if (primaries_xy(e, p)) {
            const cmsCIExyYTRIPLE prim = {{p[0].x, p[0].y, 1.0}, {p[1].x, p[1].y, 1.0},
                                          {p[2].x, p[2].y, 1.0}};
            cmsToneCurve *curves[3] = {curve, curve, curve};
            h = cmsCreateRGBProfile(&white, &prim, curves);
        }
    }
    if (own) cmsFreeToneCurve(own);
    return h;
}

cmsUInt32Number float_format(cmsColorSpaceSignature space) {
    switch (space) {
        case cmsSigGrayData: return TYPE_GRAY_FLT;
        case cmsSigRgbData: return TYPE_RGB_FLT;
        case cmsSigCmykData: return TYPE_CMYK_FLT;
        default: return 0;
    }
}

int channels_of(cmsColorSpaceSignature space) {
    switch (space) {
        case cmsSigGrayData: return 1;
        case cmsSigRgbData: return 3;
        case cmsSigCmykData: return 4;
        default: return 0;
    }
}

// lcms2 reports through a global handler; the codes returned here say enough.
void quiet_handler(cmsContext, cmsUInt32Number, const char *) {}

struct ProfileHolder {
    cmsHPROFILE h = nullptr;
    ~ProfileHolder() {
        if (h) cmsCloseProfile(h);
    }
};

// The lcms2 side of an endpoint: the ICC profile, or the linear profile of
// the enumerated description (its curve is applied outside lcms2).
int open_endpoint(const ColorEndpoint &ep, cmsHPROFILE *out) {
    if (ep.has_encoding) {
        if (!tf_known(ep.encoding)) return COLOR_ERR_ENCODING;
        *out = profile_of(ep.encoding, nullptr);
        return *out ? COLOR_OK : COLOR_ERR_ENCODING;
    }
    *out = cmsOpenProfileFromMem(ep.icc.data(), static_cast<cmsUInt32Number>(ep.icc.size()));
    return *out ? COLOR_OK : COLOR_ERR_PROFILE;
}

bool same_space(const JxlColorEncoding &a, const JxlColorEncoding &b) {
    if (a.color_space != b.color_space) return false;
    Xy wa, wb, pa[3], pb[3];
    if (!white_point_xy(a, &wa) || !white_point_xy(b, &wb)) return false;
    if (std::fabs(wa.x - wb.x) > 1e-6 || std::fabs(wa.y - wb.y) > 1e-6) return false;
    if (a.color_space == JXL_COLOR_SPACE_GRAY) return true;
    if (!primaries_xy(a, pa) || !primaries_xy(b, pb)) return false;
    for (int i = 0; i < 3; ++i)
        if (std::fabs(pa[i].x - pb[i].x) > 1e-6 || std::fabs(pa[i].y - pb[i].y) > 1e-6)
            return false;
    return true;
}

uint16_t float_to_half(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t absx = x & 0x7fffffffu;
    if (absx >= 0x7f800000u)  // inf or NaN
        return static_cast<uint16_t>(sign | 0x7c00u | (absx > 0x7f800000u ? 0x200u : 0u));
    if (absx >= 0x477ff000u) return static_cast<uint16_t>(sign | 0x7c00u);  // rounds to inf
    if (absx < 0x38800000u) {  // subnormal half (or zero)
        if (absx < 0x33000000u) return static_cast<uint16_t>(sign);
        const uint32_t e = absx >> 23;
        const uint32_t m = (absx & 0x7fffffu) | 0x800000u;
        const uint32_t shift = 126 - e;  // 14..24
        uint32_t h = m >> shift;
        const uint32_t rem = m & ((1u << shift) - 1), half = 1u << (shift - 1);
        if (rem > half || (rem == half && (h & 1u))) ++h;
        return static_cast<uint16_t>(sign | h);
    }
    uint32_t h = ((absx >> 13) - (112u << 10));
    const uint32_t rem = absx & 0x1fffu;
    if (rem > 0x1000u || (rem == 0x1000u && (h & 1u))) ++h;
    return static_cast<uint16_t>(sign | h);
}

// A short description of an enumerated encoding, for the profile's tag.
std::string encoding_description(const JxlColorEncoding &e) {
    std::string prim = e.primaries == JXL_PRIMARIES_SRGB   ? "sRGB"
                       : e.primaries == JXL_PRIMARIES_P3   ? "P3"
                       : e.primaries == JXL_PRIMARIES_2100 ? "Rec.2100"
                                                           : "custom";
    if (e.color_space == JXL_COLOR_SPACE_GRAY) prim = "grey";
    const char *tf = "";
    switch (e.transfer_function) {
        case JXL_TRANSFER_FUNCTION_SRGB: tf = "sRGB curve"; break;
        case JXL_TRANSFER_FUNCTION_LINEAR: tf = "linear"; break;
        case JXL_TRANSFER_FUNCTION_709: tf = "BT.709 curve"; break;
        case JXL_TRANSFER_FUNCTION_PQ: tf = "PQ"; break;
        case JXL_TRANSFER_FUNCTION_HLG: tf = "HLG"; break;
        case JXL_TRANSFER_FUNCTION_DCI: tf = "gamma 2.6"; break;
        case JXL_TRANSFER_FUNCTION_GAMMA: tf = "gamma"; break;
        default: tf = "unknown curve"; break;
    }
    return "quillmarsh " + prim + " " + tf;
}

// The code points of an RGB encoding with the D65 white (or P3's DCI
// white); false where none exist. libjxl's transfer-function values are the
// code points themselves.
bool cicp_of(const JxlColorEncoding &e, uint8_t out[3]) {
    if (e.color_space != JXL_COLOR_SPACE_RGB) return false;
    int prim = 0;
    if (e.white_point == JXL_WHITE_POINT_D65) {
        prim = e.primaries == JXL_PRIMARIES_SRGB   ? 1
               : e.primaries == JXL_PRIMARIES_2100 ? 9
               : e.primaries == JXL_PRIMARIES_P3   ? 12
                                                   : 0;
    } else if (e.white_point == JXL_WHITE_POINT_DCI && e.primaries == JXL_PRIMARIES_P3) {
        prim = 11;
    }
    switch (e.transfer_function) {
        case JXL_TRANSFER_FUNCTION_709:
        case JXL_TRANSFER_FUNCTION_LINEAR:
        case JXL_TRANSFER_FUNCTION_SRGB:
        case JXL_TRANSFER_FUNCTION_PQ:
        case JXL_TRANSFER_FUNCTION_DCI:
        case JXL_TRANSFER_FUNCTION_HLG: break;
        default: return false;
    }
    if (prim == 0) return false;
    out[0] = static_cast<uint8_t>(prim);
    out[1] = static_cast<uint8_t>(e.transfer_function);
    out[2] = 0;  // RGB, no matrix
    return true;
}

}  // namespace

uint32_t icc_color_space_nogil(const uint8_t *icc, size_t size) {
    cmsSetLogErrorHandler(quiet_handler);
    ProfileHolder p;
    p.h = cmsOpenProfileFromMem(icc, static_cast<cmsUInt32Number>(size));
    return p.h ? static_cast<uint32_t>(cmsGetColorSpace(p.h)) : 0u;
}

int icc_from_encoding_nogil(const JxlColorEncoding &enc, const std::string &description,
                            std::vector<uint8_t> *out) {
    cmsSetLogErrorHandler(quiet_handler);
    if (!tf_known(enc)) return COLOR_ERR_ENCODING;
    cmsToneCurve *curve = build_curve(enc);
    if (!curve) return COLOR_ERR_ENCODING;
    ProfileHolder p;
    p.h = profile_of(enc, curve);
    cmsFreeToneCurve(curve);
    if (!p.h) return COLOR_ERR_ENCODING;
    cmsSetProfileVersion(p.h, 4.4);
    cmsSetHeaderRenderingIntent(p.h, static_cast<cmsUInt32Number>(enc.rendering_intent));
    if (cmsMLU *mlu = cmsMLUalloc(nullptr, 1)) {
        cmsMLUsetASCII(mlu, "en", "US", description.c_str());
        cmsWriteTag(p.h, cmsSigProfileDescriptionTag, mlu);
        cmsMLUfree(mlu);
    }
    // The coding-independent code points name the space exactly: libjxl's
    // CMS (and other readers) then see PQ and HLG as such, not as the table.
    // Written raw: lcms2 2.14 pads the tag with four bytes more than the
    // 12-byte layout other readers (libjxl among them) expect.
    uint8_t cicp[12] = {'c', 'i', 'c', 'p', 0, 0, 0, 0, 0, 0, 0, 1};
    if (cicp_of(enc, cicp + 8)) cmsWriteRawTag(p.h, cmsSigcicpTag, cicp, sizeof cicp);
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(p.h, nullptr, &size) || size == 0) return COLOR_ERR_ENCODING;
    out->resize(size);
    if (!cmsSaveProfileToMem(p.h, out->data(), &size)) return COLOR_ERR_ENCODING;
    out->resize(size);
    return COLOR_OK;
}

// ---- ToneMap -------------------------------------------------------------------

bool primary_luminances(const JxlColorEncoding &e, double lum[3]) {
    Xy wp, p[3];
    if (e.color_space != JXL_COLOR_SPACE_RGB || !white_point_xy(e, &wp) || !primaries_xy(e, p))
        return false;
    // The Y row of RGB -> XYZ: the scales that make (1, 1, 1) the white
    // point, found by Cramer's rule.
    double m[3][3];
    const double w[3] = {wp.x / wp.y, 1.0, (1 - wp.x - wp.y) / wp.y};
    for (int i = 0; i < 3; ++i) {
        m[0][i] = p[i].x / p[i].y;
        m[1][i] = 1.0;
        m[2][i] = (1 - p[i].x - p[i].y) / p[i].y;
    }
    auto det3 = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double det = det3(m);
    if (std::fabs(det) < 1e-12) return false;
    for (int i = 0; i < 3; ++i) {
        double a[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) a[r][c] = c == i ? w[r] : m[r][c];
        lum[i] = det3(a) / det;
    }
    return true;
}

void gamut_map(float *rgb, size_t npixels, const double lum[3]) {
    constexpr double kKeepSaturation = 0.1;
    for (size_t i = 0; i < npixels; ++i) {
        float *v = rgb + 3 * i;
        const double y = lum[0] * v[0] + lum[1] * v[1] + lum[2] * v[2];
        // Share of grey that lifts the lowest sample to 0, and that brings
        // every sample into [0, 1] at this luminance.
        double to_zero = 0.0, to_range = 0.0;
        for (int c = 0; c < 3; ++c)
            if (v[c] < 0 && v[c] < y) to_zero = std::max(to_zero, v[c] / (v[c] - y));
        to_range = to_zero;
        for (int c = 0; c < 3; ++c)
            if (v[c] > 1 && v[c] > y) to_range = std::max(to_range, (v[c] - 1) / (v[c] - y));
        const double mix =
            std::clamp(to_range - kKeepSaturation * (to_range - to_zero), 0.0, 1.0);
        double top = 1.0;
        for (int c = 0; c < 3; ++c) {
            v[c] = static_cast<float>(v[c] + mix * (y - v[c]));
            top = std::max(top, static_cast<double>(v[c]));
        }
        for (int c = 0; c < 3; ++c) v[c] = static_cast<float>(v[c] / top);
    }
}

bool ToneMap::init(const JxlColorEncoding &src, double src_peak_nits, double dst_peak_nits) {
    active = false;
    channels = src.color_space == JXL_COLOR_SPACE_GRAY ? 1 : 3;
    if (channels == 1) {
        lum[0] = 1.0;  // grey is its own luminance
        lum[1] = lum[2] = 0.0;
    } else if (!primary_luminances(src, lum)) {
        return false;
    }
    pq_src_peak = linear_to_pq(src_peak_nits / 10000.0);
    max_lum = linear_to_pq(dst_peak_nits / 10000.0) / pq_src_peak;
    ks = 1.5 * max_lum - 0.5;
    dst_peak = dst_peak_nits;
    active = pq_src_peak > 0 && dst_peak_nits > 0;
    return active;
}

void ToneMap::apply(float *rgb, size_t npixels) const {
    for (size_t i = 0; i < npixels; ++i) {
        float *v = rgb + channels * i;
        double nits[3] = {0, 0, 0};
        for (int c = 0; c < channels; ++c) nits[c] = 10000.0 * pq_to_linear(v[c]);
        const double y = lum[0] * nits[0] + lum[1] * nits[1] + lum[2] * nits[2];
        if (!(y > 1e-6)) continue;
        // Knee in normalised PQ: below ks unchanged, above a Hermite spline
        // that reaches the display's peak at the source's.
        const double e1 = std::min(1.0, linear_to_pq(y / 10000.0) / pq_src_peak);
        double e2 = e1;
        if (e1 >= ks && ks < 1.0) {
            const double t = (e1 - ks) / (1.0 - ks), t2 = t * t, t3 = t2 * t;
            e2 = (2 * t3 - 3 * t2 + 1) * ks + (t3 - 2 * t2 + t) * (1 - ks) +
                 (-2 * t3 + 3 * t2) * max_lum;
        }
        const double y_new = std::min(dst_peak, 10000.0 * pq_to_linear(e2 * pq_src_peak));
        const double ratio = y_new / y;
        for (int c = 0; c < channels; ++c)
            v[c] = static_cast<float>(linear_to_pq(nits[c] * ratio / 10000.0));
    }
}

// ---- ColorConverter ----------------------------------------------------------

ColorConverter::~ColorConverter() { release(); }

void ColorConverter::release() noexcept {
    if (xform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(xform_));
    xform_ = nullptr;
    if (cms_state_) cms_->destroy(cms_state_);
    cms_state_ = nullptr;
    cms_ = nullptr;
    tone_map_ = ToneMap{};
    display_ = false;
}

bool ColorConverter::init_cms_nogil(const std::vector<uint8_t> &src_icc,
                                    const JxlColorEncoding *src_enc,
                                    const std::vector<uint8_t> &dst_icc,
                                    const JxlColorEncoding *dst_enc, int channels,
                                    float intensity_target, const ToneMap *tone_map,
                                    const JxlColorEncoding *display) {
    release();
    if (display) {
        if (!tf_known(*display) || (channels == 3 && !primary_luminances(*display, dst_lum_)))
            return false;
        dst_tf_ = display->transfer_function;
        dst_gamma_ = display->gamma;
        // PQ is absolute: the display's 1.0 is intensity_target nits.
        dst_scale_ = dst_tf_ == JXL_TRANSFER_FUNCTION_PQ ? intensity_target / 10000.0 : 1.0;
    }
    if (src_icc.empty() || dst_icc.empty() || (channels != 1 && channels != 3)) return false;
    if (tone_map && tone_map->active && channels != tone_map->channels) return false;
    const JxlCmsInterface *cms = JxlGetDefaultCms();
    cms_icc_[0] = src_icc;
    cms_icc_[1] = dst_icc;
    JxlColorProfile in{}, out{};
    in.icc.data = cms_icc_[0].data();
    in.icc.size = cms_icc_[0].size();
    if (src_enc) in.color_encoding = *src_enc;
    in.num_channels = static_cast<size_t>(channels);
    out.icc.data = cms_icc_[1].data();
    out.icc.size = cms_icc_[1].size();
    if (dst_enc) out.color_encoding = *dst_enc;
    out.num_channels = static_cast<size_t>(channels);
    void *state = cms->init(cms->init_data, 1, kChunk, &in, &out, intensity_target);
    if (!state) return false;
    cms_ = cms;
    cms_state_ = state;
    if (tone_map) tone_map_ = *tone_map;
    display_ = display != nullptr;
    src_channels_ = dst_channels_ = channels;
    identity_ = false;
    return true;
}

int ColorConverter::init_nogil(const ColorEndpoint &src, int src_channels,
                               const ColorEndpoint &dst, int intent, bool bpc) {
    cmsSetLogErrorHandler(quiet_handler);
    release();
    src_channels_ = src_channels;
    src_tf_ = dst_tf_ = -1;
    src_scale_ = dst_scale_ = 1.0;
    identity_ = false;
    if (src.has_encoding) {
        src_tf_ = src.encoding.transfer_function;
        src_gamma_ = src.encoding.gamma;
        if (src_tf_ == JXL_TRANSFER_FUNCTION_PQ) src_scale_ = pq_scale(src);
    }
    if (dst.has_encoding) {
        dst_tf_ = dst.encoding.transfer_function;
        dst_gamma_ = dst.encoding.gamma;
        if (dst_tf_ == JXL_TRANSFER_FUNCTION_PQ) dst_scale_ = 1.0 / pq_scale(dst);
    }

    ProfileHolder ps, pd;
    int rc = open_endpoint(src, &ps.h);
    if (rc < 0) return rc;
    rc = open_endpoint(dst, &pd.h);
    if (rc < 0) return rc;
    const cmsColorSpaceSignature ss = cmsGetColorSpace(ps.h), ds = cmsGetColorSpace(pd.h);
    if (channels_of(ss) != src_channels || channels_of(ds) == 0) return COLOR_ERR_SPACE;
    dst_channels_ = channels_of(ds);
    in_scale_ = ss == cmsSigCmykData ? 100.0f : 1.0f;
    out_scale_ = ds == cmsSigCmykData ? 0.01f : 1.0f;

    if (src.has_encoding && dst.has_encoding && same_space(src.encoding, dst.encoding) &&
        src_tf_ == dst_tf_ && src_gamma_ == dst_gamma_ && src_scale_ * dst_scale_ == 1.0) {
        identity_ = true;
        return COLOR_OK;
    }
    cmsUInt32Number flags = cmsFLAGS_NOCACHE;
    if (bpc) flags |= cmsFLAGS_BLACKPOINTCOMPENSATION;
    // Matrix-shaper profiles with linear curves keep float samples unbounded;
    // the optimiser would tabulate (and clip) some pipelines.
    if (src.has_encoding && dst.has_encoding) flags |= cmsFLAGS_NOOPTIMIZE;
    xform_ = cmsCreateTransform(ps.h, float_format(ss), pd.h, float_format(ds),
                                static_cast<cmsUInt32Number>(intent), flags);
    return xform_ ? COLOR_OK : COLOR_ERR_TRANSFORM;
}

bool ColorConverter::apply_nogil(const float *src, size_t src_stride, float *dst,
                                 size_t dst_stride, size_t npixels) const {
    if (cms_state_) {
        std::lock_guard<std::mutex> lock(cms_mutex_);
        const int nc = src_channels_;
        for (size_t base = 0; base < npixels; base += kChunk) {
            const size_t n = std::min(kChunk, npixels - base);
            float *in = cms_->get_src_buf(cms_state_, 0);
            float *out = cms_->get_dst_buf(cms_state_, 0);
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < nc; ++c) in[i * nc + c] = src[(base + i) * src_stride + c];
            if (tone_map_.active) tone_map_.apply(in, n);
            if (!cms_->run(cms_state_, 0, in, out, n)) return false;
            if (display_) {
                if (nc == 3) gamut_map(out, n, dst_lum_);
                for (size_t i = 0; i < n * nc; ++i)
                    out[i] = static_cast<float>(
                        from_linear(dst_tf_, dst_gamma_, out[i] * dst_scale_));
            }
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < nc; ++c) dst[(base + i) * dst_stride + c] = out[i * nc + c];
        }
        return true;
    }
    float in[kChunk * 4], out[kChunk * 4];
    const int nin = src_channels_, nout = dst_channels_;
    for (size_t base = 0; base < npixels; base += kChunk) {
        const size_t n = std::min(kChunk, npixels - base);
        for (size_t i = 0; i < n; ++i) {
            const float *p = src + (base + i) * src_stride;
            for (int c = 0; c < nin; ++c) {
                double v = p[c];
                if (src_tf_ >= 0) v = to_linear(src_tf_, src_gamma_, v) * src_scale_;
                in[i * nin + c] = static_cast<float>(v) * in_scale_;
            }
        }
        if (identity_) {
            std::memcpy(out, in, n * nin * sizeof(float));
        } else {
            cmsDoTransform(static_cast<cmsHTRANSFORM>(xform_), in, out,
                           static_cast<cmsUInt32Number>(n));
        }
        for (size_t i = 0; i < n; ++i) {
            float *q = dst + (base + i) * dst_stride;
            for (int c = 0; c < nout; ++c) {
                double v = out[i * nout + c] * out_scale_;
                if (dst_tf_ >= 0) v = from_linear(dst_tf_, dst_gamma_, v * dst_scale_);
                q[c] = static_cast<float>(v);
            }
        }
    }
    return true;
}

namespace {

template <typename T>
void store_scaled(const float *src, size_t n, T *d, double maxval) {
    const float m = static_cast<float>(maxval);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<T>(unit(src[i]) * m + 0.5f);
}

}  // namespace

void store_samples_nogil(const float *src, size_t n, void *dst, JxlDataType type,
                         double maxval) {
    switch (type) {
        case JXL_TYPE_UINT8: store_scaled(src, n, static_cast<uint8_t *>(dst), maxval); break;
        case JXL_TYPE_UINT16: store_scaled(src, n, static_cast<uint16_t *>(dst), maxval); break;
        case JXL_TYPE_FLOAT16: {
            auto *d = static_cast<uint16_t *>(dst);
            for (size_t i = 0; i < n; ++i) d[i] = float_to_half(src[i]);
            break;
        }
        case JXL_TYPE_FLOAT:
            if (static_cast<const void *>(src) != dst) std::memmove(dst, src, n * sizeof(float));
            break;
    }
}

}  // namespace qmjxl

namespace qmjxl {

// ---- OutputColor -------------------------------------------------------------

bool decoder_icc_nogil(JxlDecoder *dec, std::vector<uint8_t> *out) {
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0)
        return false;
    out->resize(size);
    return JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, out->data(),
                                          size) == JXL_DEC_SUCCESS;
}

namespace {

// The target as this image gets it: a colour name's encoding made grey for a
// grey image, an ICC profile checked against the image's colour channels.
int fit_target(OutputColor &oc, const JxlBasicInfo &info, bool cmyk, ColorEndpoint *dst) {
    oc.color_channels = info.num_color_channels == 1 ? 1 : 3;
    if (cmyk && oc.color_channels != 3) return COLOR_ERR_SPACE;
    *dst = oc.target;
    if (dst->has_encoding) {
        // A colour name describes RGB; a grey image stays grey with the name's
        // white point and transfer curve.
        dst->encoding.color_space =
            oc.color_channels == 1 ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    } else {
        const uint32_t space = icc_color_space_nogil(dst->icc.data(), dst->icc.size());
        if (space == 0) return COLOR_ERR_PROFILE;
        if (space != (oc.color_channels == 1 ? cmsSigGrayData : cmsSigRgbData))
            return COLOR_ERR_SPACE;
    }
    dst->intensity_target = oc.desired_intensity_target > 0 ? oc.desired_intensity_target
                                                            : info.intensity_target;
    oc.delivered_has_encoding = dst->has_encoding;
    oc.delivered_encoding = dst->encoding;
    return COLOR_OK;
}

// libjxl renders XYB images into any colour space itself; it leaves the
// others in their own. True when libjxl took the target.
bool libjxl_converts(OutputColor &oc, JxlDecoder *dec, const JxlBasicInfo &info, bool cmyk,
                     const ColorEndpoint &dst) {
    if (info.uses_original_profile || cmyk) return false;
    const JxlDecoderStatus st =
        dst.has_encoding
            ? JxlDecoderSetOutputColorProfile(dec, &dst.encoding, nullptr, 0)
            : JxlDecoderSetOutputColorProfile(dec, nullptr, dst.icc.data(), dst.icc.size());
    if (st != JXL_DEC_SUCCESS) return false;
    oc.by_lcms = false;
    if (!decoder_icc_nogil(dec, &oc.delivered_icc)) oc.delivered_icc.clear();
    if (!dst.has_encoding) oc.delivered_icc = dst.icc;
    return true;
}

// The image's own colour (an encoding where its curve is known, else its
// profile) and the profile of what is delivered: the target's bytes, or one
// built for the name (its code points let libjxl's CMS read PQ and HLG
// exactly; grey has none, so a grey PQ or HLG target is left to lcms2).
int source_and_delivered(OutputColor &oc, JxlDecoder *dec, const JxlBasicInfo &info, bool cmyk,
                         const ColorEndpoint &dst, ColorEndpoint *src) {
    src->intensity_target = info.intensity_target;
    if (!cmyk &&
        JxlDecoderGetColorAsEncodedProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, &src->encoding) ==
            JXL_DEC_SUCCESS &&
        tf_known(src->encoding)) {
        src->has_encoding = true;
    } else if (!decoder_icc_nogil(dec, &src->icc)) {
        return COLOR_ERR_PROFILE;
    }
    if (oc.in_place) {
        if (!decoder_icc_nogil(dec, &oc.delivered_icc)) return COLOR_ERR_PROFILE;
    } else if (dst.has_encoding) {
        const int rc = icc_from_encoding_nogil(dst.encoding, encoding_description(dst.encoding),
                                               &oc.delivered_icc);
        if (rc < 0) return rc;
    } else {
        oc.delivered_icc = dst.icc;
    }
    return COLOR_OK;
}

// libjxl's CMS, as for XYB images: relative spaces put (1, 1, 1) at the
// display's nits, HLG gets its OOTF for that display, and a PQ source is first
// tone-mapped into it. libjxl's decoder also tone-maps non-XYB PQ samples for
// a desired intensity target, but scales the result wrongly when the image's
// intensity target is not 10000 nits; the reader does not ask it to for these
// images. False when the CMS is not the one to use (lcms2 is then).
bool cms_converts(OutputColor &oc, JxlDecoder *dec, const JxlBasicInfo &info, bool cmyk,
                  const ColorEndpoint &src, const ColorEndpoint &dst) {
    const float desired = oc.desired_intensity_target;
    const bool same = src.has_encoding && dst.has_encoding &&
                      same_space(src.encoding, dst.encoding) &&
                      src.encoding.transfer_function == dst.encoding.transfer_function &&
                      src.encoding.gamma == dst.encoding.gamma;
    const bool tone_mapped = src.has_encoding && desired > 0 &&
                             src.encoding.transfer_function == JXL_TRANSFER_FUNCTION_PQ;
    const bool grey_hdr_target =
        oc.color_channels == 1 && dst.has_encoding && !tone_mapped &&
        (dst.encoding.transfer_function == JXL_TRANSFER_FUNCTION_PQ ||
         dst.encoding.transfer_function == JXL_TRANSFER_FUNCTION_HLG);
    // (The same space without tone mapping is left alone, exactly.)
    if (cmyk || (same && !tone_mapped) || grey_hdr_target) return false;
    std::vector<uint8_t> src_icc = src.icc;
    if (src_icc.empty() && !decoder_icc_nogil(dec, &src_icc)) src_icc.clear();
    ToneMap tm;
    const float nits = desired > 0 ? desired : info.intensity_target;
    if (tone_mapped) tm.init(src.encoding, info.intensity_target, desired);
    // HDR for a display of the desired nits: libjxl fits the colours into the
    // display's range after tone mapping (PQ) or the OOTF (HLG), in the
    // display's linear RGB, before its curve. (An HLG target would need the
    // OOTF undone first; it gets the plain conversion.)
    const bool hdr_source =
        src.has_encoding && (src.encoding.transfer_function == JXL_TRANSFER_FUNCTION_PQ ||
                             src.encoding.transfer_function == JXL_TRANSFER_FUNCTION_HLG);
    const bool display_target =
        dst.has_encoding && dst.encoding.transfer_function != JXL_TRANSFER_FUNCTION_HLG;
    if (desired > 0 && hdr_source && display_target) {
        JxlColorEncoding lin = dst.encoding;
        lin.transfer_function = JXL_TRANSFER_FUNCTION_LINEAR;
        std::vector<uint8_t> lin_icc;
        if (icc_from_encoding_nogil(lin, encoding_description(lin), &lin_icc) == COLOR_OK &&
            oc.converter.init_cms_nogil(src_icc, &src.encoding, lin_icc, &lin, oc.color_channels,
                                        nits, &tm, &dst.encoding))
            return true;
    }
    return oc.converter.init_cms_nogil(src_icc, src.has_encoding ? &src.encoding : nullptr,
                                       oc.delivered_icc,
                                       dst.has_encoding ? &dst.encoding : nullptr,
                                       oc.color_channels, nits, &tm);
}

// lcms2: CMYK, and profiles libjxl's CMS does not take.
int lcms2_converts(OutputColor &oc, bool cmyk, const ColorEndpoint &src,
                   const ColorEndpoint &dst) {
    int intent = dst.has_encoding ? dst.encoding.rendering_intent : JXL_RENDERING_INTENT_RELATIVE;
    if (!dst.has_encoding) {
        cmsSetLogErrorHandler(quiet_handler);
        ProfileHolder p;
        p.h = cmsOpenProfileFromMem(dst.icc.data(), static_cast<cmsUInt32Number>(dst.icc.size()));
        if (p.h) intent = static_cast<int>(cmsGetHeaderRenderingIntent(p.h));
    }
    return oc.converter.init_nogil(src, cmyk ? 4 : oc.color_channels, dst, intent, false);
}

int prepare_output_color(OutputColor &oc, JxlDecoder *dec, const JxlBasicInfo &info, bool cmyk) {
    ColorEndpoint dst;
    int rc = fit_target(oc, info, cmyk, &dst);
    if (rc != COLOR_OK || libjxl_converts(oc, dec, info, cmyk, dst)) return rc;
    ColorEndpoint src;
    rc = source_and_delivered(oc, dec, info, cmyk, dst, &src);
    if (rc != COLOR_OK) return rc;
    oc.by_lcms = true;
    if (cms_converts(oc, dec, info, cmyk, src, dst)) return COLOR_OK;
    return lcms2_converts(oc, cmyk, src, dst);
}

}  // namespace

Status OutputColor::on_color_encoding_nogil(JxlDecoder *dec, const JxlBasicInfo &info,
                                            bool cmyk) {
    switch (prepare_output_color(*this, dec, info, cmyk)) {
        case COLOR_OK: return Status::Ok();
        case COLOR_ERR_SPACE:
            return ValueError(std::string("jxl: output_color's ICC profile does not describe ") +
                              (info.num_color_channels == 1 ? "grey" : "RGB") +
                              " data like this image's");
        case COLOR_ERR_ENCODING:
            return ValueError(
                "jxl: output_color describes a colour space that cannot be built (unknown "
                "transfer function?)");
        case COLOR_ERR_PROFILE: return StreamError("jxl: the image's colour profile cannot be read");
        default:
            return StreamError("jxl: lcms2 could not build the colour transform for output_color");
    }
}

}  // namespace qmjxl
