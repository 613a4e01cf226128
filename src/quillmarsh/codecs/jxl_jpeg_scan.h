// Inspection of a JPEG before libjxl recompresses it: the marker walk and a
// check of the DC coefficients. Plain C++ (no Python), so it runs without the
// interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmjxl {

// What inspect_jpeg found; `reason` names the problem for the error message.
struct JpegCheck {
    enum Kind {
        kOk,
        kNotJpeg,
        kTruncated,
        kCorrupt,
        kUnsupported,  // a variant libjxl refuses
        kNotLossless,  // libjxl accepts it but would not rebuild the same bytes
    };
    Kind kind = kOk;
    std::string reason;
    // An ok JPEG whose entropy-coded data the check could not follow to the
    // end: whether libjxl rebuilds it is known only by rebuilding it.
    bool verify = false;
    bool ok() const { return kind == kOk; }
};

// Walks the JPEG's markers and, with `check_dc`, decodes the Huffman-coded
// DC coefficients of every scan that carries them; tells whether libjxl can
// recompress the JPEG and rebuild it bit for bit. The walk alone costs little;
// the DC check about 5 % of libjxl's recompression of a sequential JPEG.
JpegCheck inspect_jpeg(const uint8_t *data, size_t size, bool check_dc = true);

// Largest DC coefficient (in magnitude) libjxl rebuilds: it clamps others.
constexpr int kMaxJpegDc = 2047;

}  // namespace qmjxl
