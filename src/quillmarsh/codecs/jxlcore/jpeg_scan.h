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

// Walks the JPEG's markers the way libjxl's reader does and, with
// `check_dc`, decodes the Huffman-coded DC coefficients of every scan that
// carries them; tells whether libjxl can recompress the JPEG and, with
// `rebuild`, whether it can store what rebuilding it bit for bit needs (ICC
// chunks it can put back, the data after the end-of-image marker). The walk
// alone costs little; the DC check about 5 % of libjxl's recompression of a
// sequential JPEG.
JpegCheck inspect_jpeg(const uint8_t *data, size_t size, bool check_dc = true,
                       bool rebuild = true);

// Most bytes after the end-of-image marker libjxl stores for a rebuild.
constexpr size_t kMaxJpegTail = 4260096;

// Most markers (with runs of bytes between them) libjxl stores for a rebuild.
constexpr size_t kMaxJpegMarkers = 16384;

// Largest DC coefficient (in magnitude) libjxl rebuilds: it clamps others.
constexpr int kMaxJpegDc = 2047;

}  // namespace qmjxl
