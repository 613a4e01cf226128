// JPEG recompression and reconstruction: the pieces the writer shares.
#pragma once

#include "jxl_jpeg_scan.h"
#include "jxl_types.h"

#include <string>
#include <vector>

namespace qmjxl {

// Result codes of the lock-free JPEG steps.
constexpr int JPEG_ERR_INPUT = -10;    // the JPEG was refused (see its JpegCheck)
constexpr int JPEG_ERR_ENCODER = -11;  // a libjxl call failed

// Raises the ValueError for a failed check; returns for an ok one.
void raise_jpeg_check(const JpegCheck &check);

// JxlEncoderAddJPEGFrame of a JPEG inspect_jpeg accepted. Returns 0 or
// JPEG_ERR_ENCODER (libjxl's status and error in `status`/`err`). Runs
// without the interpreter lock.
int add_jpeg_frame_nogil(JxlEncoder *enc, JxlEncoderFrameSettings *fs, const uint8_t *jpeg,
                         size_t size, int *status, int *err);

// For a JPEG whose check could not decide (JpegCheck::verify): recompresses
// it at `effort` with reconstruction data and rebuilds it. 1 if the same
// bytes come back, 0 if not, -1 if libjxl refuses it. Without the lock.
int jpeg_rebuilds_nogil(const uint8_t *jpeg, size_t size, int effort, size_t threads);

// The check of a JPEG libjxl would not give back bit for bit.
JpegCheck not_rebuilt_check();

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
