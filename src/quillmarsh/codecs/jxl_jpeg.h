// JPEG recompression and reconstruction: the pieces the writer shares.
#pragma once

#include "jxl_types.h"

#include <string>
#include <vector>

namespace qmjxl {

// Result codes of the lock-free JPEG steps.
constexpr int JPEG_ERR_INPUT = -10;    // the JPEG was refused by inspect_jpeg
constexpr int JPEG_ERR_ENCODER = -11;  // a libjxl call failed

// What inspect_jpeg found; `reason` names the problem for the error message.
struct JpegCheck {
    enum Kind { kOk, kNotJpeg, kTruncated, kCorrupt, kUnsupported };
    Kind kind = kOk;
    std::string reason;
    bool ok() const { return kind == kOk; }
};

// Walks the JPEG's markers (and the entropy-coded data, for its end) and
// tells whether libjxl can recompress it losslessly. Touches no Python object.
JpegCheck inspect_jpeg(const uint8_t *data, size_t size);

// Raises the ValueError for a failed check; returns for an ok one.
void raise_jpeg_check(const JpegCheck &check);

// inspect_jpeg, then JxlEncoderAddJPEGFrame. Returns 0, JPEG_ERR_INPUT (see
// `check`) or JPEG_ERR_ENCODER (libjxl's status and error in `status`/`err`).
// Runs without the interpreter lock.
int add_jpeg_frame_nogil(JxlEncoder *enc, JxlEncoderFrameSettings *fs, const uint8_t *jpeg,
                         size_t size, JpegCheck *check, int *status, int *err);

// The exception for a failed JxlEncoderAddJPEGFrame.
[[noreturn]] void raise_add_jpeg_frame(int status, int err);

// Largest JPEG reconstruct_jpeg rebuilds from `jxl_size` bytes of JPEG XL.
uint64_t reconstruction_limit(size_t jxl_size, const JxlBasicInfo &info);

// The destination of a one-shot call: None (bytes returned), a path
// (written through quillmarsh.core.io.AtomicOutput, made at construction so
// an unwritable path fails before any work) or a file-like (one write()).
// Until deliver() succeeds, a path's destination is untouched.
class JpegOutput {
public:
    explicit JpegOutput(nb::handle dest);
    ~JpegOutput();
    JpegOutput(const JpegOutput &) = delete;
    JpegOutput &operator=(const JpegOutput &) = delete;
    // bytes for no destination, else None after writing.
    nb::object deliver(const uint8_t *data, size_t size);

private:
    nb::object atomic_;  // AtomicOutput, until committed
    nb::object write_;   // the file-like's bound write method
};

void register_jpeg(nb::module_ &m);

}  // namespace qmjxl
