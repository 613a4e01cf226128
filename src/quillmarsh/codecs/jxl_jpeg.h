// JPEG recompression and reconstruction: the pieces the writer shares.
#pragma once

#include "jxlcore/jpeg_scan.h"
#include "bind_common.h"

#include <string>
#include <thread>
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

// The inspection of a JPEG around its recompression, shared by
// transcode_jpeg and JxlWriter.write_jpeg; all of it runs without the
// interpreter lock. start() walks the markers in line, so structural refusals
// never reach libjxl. With `verify` (and reconstruction data) finish()
// rebuilds the JPEG from the stream and compares it: libjxl mis-stores some
// JPEGs no walk foresees. Without it, a DC check (some 5 % of libjxl's time
// for a sequential JPEG) stands in: in line, or, with more than one thread and
// a JPEG of 64 KiB or more, on a thread of its own while libjxl works, and
// the JPEG is rebuilt only where the check could not follow the data. With
// verification the DC check runs only to name why a rebuild failed. Without
// reconstruction data (keep_metadata=False) neither runs: libjxl keeps every
// coefficient, and only a rebuilt file could differ.
class JpegVerdict {
public:
    JpegVerdict(const uint8_t *jpeg, size_t size, bool reconstructable, bool verify,
                size_t threads, bool exact_threads);
    ~JpegVerdict();  // joins the check's thread
    JpegVerdict(const JpegVerdict &) = delete;
    JpegVerdict &operator=(const JpegVerdict &) = delete;
    // The in-line part: a JPEG it refuses must not reach libjxl.
    JpegCheck start();
    // After libjxl failed on the JPEG: the DC check's refusal if it has one
    // (the refusal reported must not depend on where the check ran), else ok.
    JpegCheck dc_refusal();
    // After libjxl made the stream `jxl`: whether the JPEG comes back from
    // it. Besides verification, the JPEG is rebuilt where it is larger than
    // reconstruct_jpeg's budget for a stream that size.
    JpegCheck finish(const uint8_t *jxl, size_t jxl_size);

private:
    JpegCheck dc();  // the DC check's verdict: its thread joined, or run now

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
