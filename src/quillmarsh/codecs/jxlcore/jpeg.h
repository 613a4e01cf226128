// Lossless JPEG recompression into JPEG XL and reconstruction of the
// original JPEG file from it. No Python: every step runs without the
// interpreter lock and reports failure as a Status with its final message.
#pragma once

#include "jxlcore/byte_sink.h"
#include "jxlcore/common.h"
#include "jxlcore/jpeg_scan.h"

#include <thread>

namespace qmjxl {

// Effort of a recompression when the caller gives none: libjxl's default,
// at which the stream is byte for byte cjxl's --lossless_jpeg=1.
constexpr int kJpegDefaultEffort = 7;

struct RecompressOptions {
    int effort = kJpegDefaultEffort;  // 1 to 10
    size_t threads = 1;
    bool exact_threads = false;  // the caller chose the count
    // EXIF, XMP and JUMBF in boxes with the data to rebuild the JPEG;
    // without it the stream keeps the coefficients only.
    bool keep_metadata = true;
    // Rebuild the JPEG from the new stream and compare it with the input.
    bool verify = true;
};

struct ReconstructOptions {
    size_t threads = 1;
    bool exact_threads = false;  // the caller chose the count
    uint64_t max_pixels = kDefaultMaxPixels;  // 0: no limit
};

// The JPEG XL stream of `jpeg` in `out`'s memory (what it held before is
// dropped; a file sink's commit() then writes it), or the reason it was
// refused: a ValueError naming it, or the libjxl call that failed.
Status recompress_jpeg(const uint8_t *jpeg, size_t size, const RecompressOptions &opt,
                       ByteSink &out);

// The JPEG file a stream made by recompress_jpeg holds, in `out`'s memory
// as above. The caller has checked the signature.
Status reconstruct_jpeg(const uint8_t *jxl, size_t size, const ReconstructOptions &opt,
                        ByteSink &out);

// Largest JPEG reconstruct_jpeg rebuilds from `jxl_size` bytes of JPEG XL.
uint64_t reconstruction_limit(size_t jxl_size, const JxlBasicInfo &info);

// The ValueError of a refused JPEG (ok for an accepted one).
Status jpeg_check_status(const JpegCheck &check);

// JxlEncoderAddJPEGFrame of a JPEG the marker walk accepted; a JPEG libjxl
// cannot read or store the rebuild data of is a ValueError saying so.
Status add_jpeg_frame(JxlEncoder *enc, JxlEncoderFrameSettings *fs, const uint8_t *jpeg,
                      size_t size);

// The inspection of a JPEG around its recompression, shared by
// recompress_jpeg and the writer's JPEG frame. start() walks the markers in
// line, so structural refusals never reach libjxl. With `verify` (and
// reconstruction data) finish() rebuilds the JPEG from the stream and
// compares it: libjxl mis-stores some JPEGs no walk foresees. Without it, a
// DC check (some 5 % of libjxl's time for a sequential JPEG) stands in: in
// line, or, with more than one thread and a JPEG of 64 KiB or more, on a
// thread of its own while libjxl works, and the JPEG is rebuilt only where
// the check could not follow the data. With verification the DC check runs
// only to name why a rebuild failed. Without reconstruction data
// (keep_metadata=False) neither runs: libjxl keeps every coefficient, and
// only a rebuilt file could differ.
class JpegVerdict {
public:
    JpegVerdict(const uint8_t *jpeg, size_t size, bool reconstructable, bool verify,
                size_t threads, bool exact_threads);
    ~JpegVerdict();  // joins the check's thread
    JpegVerdict(const JpegVerdict &) = delete;
    JpegVerdict &operator=(const JpegVerdict &) = delete;
    // The in-line part: a JPEG it refuses must not reach libjxl.
    Status start();
    // After libjxl failed on the JPEG: the DC check's refusal if it has one
    // (the refusal reported must not depend on where the check ran, so it
    // goes before libjxl's failure), else ok.
    Status dc_refusal();
    // After libjxl made the stream `jxl`: whether the JPEG comes back from
    // it. Besides verification, the JPEG is rebuilt where it is larger than
    // reconstruct_jpeg's budget for a stream that size.
    Status finish(const uint8_t *jxl, size_t jxl_size);

private:
    JpegCheck dc();  // the DC check's verdict: its thread joined, or run now
    JpegCheck rebuild_verdict(const uint8_t *jxl, size_t jxl_size);

    const uint8_t *jpeg_;
    size_t size_;
    bool reconstructable_;
    bool verify_;
    size_t threads_;
    bool exact_threads_;
    bool aside_;
    bool dc_done_ = false;
    JpegCheck dc_;
    std::thread thread_;
};

}  // namespace qmjxl
