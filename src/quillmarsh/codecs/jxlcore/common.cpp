// Shared core helpers (see common.h).
#include "jxlcore/common.h"

namespace qmjxl {

bool signature_ok(const uint8_t *data, size_t size) {
    if (size == 0 || data == nullptr) return false;
    const JxlSignature sig = JxlSignatureCheck(data, size < 16 ? size : 16);
    return sig == JXL_SIG_CODESTREAM || sig == JXL_SIG_CONTAINER;
}

size_t bytes_per_sample(JxlDataType t) {
    switch (t) {
        case JXL_TYPE_UINT8: return 1;
        case JXL_TYPE_UINT16:
        case JXL_TYPE_FLOAT16: return 2;
        default: return 4;
    }
}

StatusOr<uint64_t> checked_mul(uint64_t a, uint64_t b, const char *what) {
    uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out))
        return ValueError(std::string("jxl: ") + what + " does not fit in 64 bits");
    return out;
}

StatusOr<uint64_t> frame_bytes(uint64_t xsize, uint64_t ysize, const JxlPixelFormat &pf) {
    const uint64_t pixel = uint64_t(pf.num_channels) * bytes_per_sample(pf.data_type);
    QM_ASSIGN_OR_RETURN(const uint64_t pixels, checked_mul(xsize, ysize, "the frame size"));
    return checked_mul(pixels, pixel, "the frame size");
}

StatusOr<uint64_t> configure_pixel_format(const JxlBasicInfo &info, size_t samples,
                                          JxlPixelFormat *pf, JxlBitDepth *bd) {
    pf->num_channels = static_cast<uint32_t>(samples);
    pf->endianness = JXL_NATIVE_ENDIAN;
    pf->align = 0;
    if (info.exponent_bits_per_sample != 0) {
        pf->data_type = info.bits_per_sample == 16 ? JXL_TYPE_FLOAT16 : JXL_TYPE_FLOAT;
        bd->type = JXL_BIT_DEPTH_FROM_PIXEL_FORMAT;
        bd->bits_per_sample = info.bits_per_sample == 16 ? 16 : 32;
        bd->exponent_bits_per_sample = info.exponent_bits_per_sample;
    } else if (info.bits_per_sample <= 16) {
        pf->data_type = info.bits_per_sample <= 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16;
        bd->type = JXL_BIT_DEPTH_FROM_CODESTREAM;
        bd->bits_per_sample = info.bits_per_sample;
        bd->exponent_bits_per_sample = 0;
    } else {
        pf->data_type = JXL_TYPE_FLOAT;
        bd->type = JXL_BIT_DEPTH_FROM_PIXEL_FORMAT;
        bd->bits_per_sample = 32;
        bd->exponent_bits_per_sample = 8;
    }
    return frame_bytes(info.xsize, info.ysize, *pf);
}

Status check_max_bytes(uint64_t nbytes, uint64_t limit, const std::string &what) {
    if (limit == 0 || nbytes <= limit) return Status::Ok();
    return ValueError("jxl: " + what + " needs " + std::to_string(nbytes) +
                      " bytes, more than max_bytes=" + std::to_string(limit) +
                      " (pass a larger max_bytes, or None, to decode it)");
}

Status check_max_pixels(const JxlBasicInfo &info, uint64_t limit) {
    const uint64_t pixels = static_cast<uint64_t>(info.xsize) * info.ysize;
    if (limit == 0 || pixels <= limit) return Status::Ok();
    return ValueError("jxl: image of " + std::to_string(info.xsize) + "x" +
                      std::to_string(info.ysize) + " = " + std::to_string(pixels) +
                      " pixels exceeds max_pixels=" + std::to_string(limit) +
                      " (a possible decompression bomb; pass a larger max_pixels, or None, to "
                      "decode it)");
}

}  // namespace qmjxl
