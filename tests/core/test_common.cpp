// Frame sizes, limits and the JPEG scan, without Python.
#include "check.h"

#include "jxlcore/common.h"
#include "jxlcore/jpeg_scan.h"

using namespace qmjxl;

TEST(frame_size_overflow_is_a_value_error) {
    const JxlPixelFormat pf = {4, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
    auto ok = frame_bytes(3, 2, pf);
    CHECK(ok.ok() && *ok == 96);
    auto big = frame_bytes(uint64_t(1) << 40, uint64_t(1) << 30, pf);
    CHECK(!big.ok());
    CHECK(big.status().kind() == StatusKind::kValue);
    CHECK_EQ_STR(big.status().message(), "jxl: the frame size does not fit in 64 bits");
}

TEST(pixel_limit_names_the_image) {
    JxlBasicInfo info{};
    info.xsize = 70000;
    info.ysize = 70000;
    CHECK(check_max_pixels(info, 0).ok());
    const Status s = check_max_pixels(info, kDefaultMaxPixels);
    CHECK(s.kind() == StatusKind::kValue);
    CHECK(s.message().rfind("jxl: image of 70000x70000 = 4900000000 pixels exceeds", 0) == 0);
}

TEST(jpeg_scan_refuses_what_is_not_a_jpeg) {
    const uint8_t png[] = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
    CHECK(inspect_jpeg(png, sizeof png).kind == JpegCheck::kNotJpeg);
    const uint8_t soi_only[] = {0xFF, 0xD8, 0xFF};
    CHECK(inspect_jpeg(soi_only, sizeof soi_only).kind == JpegCheck::kTruncated);
}
