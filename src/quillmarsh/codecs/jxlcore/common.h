// Shared vocabulary of the core: libjxl's headers, pixel formats and frame
// sizes, and the decoders' limits. Nothing here needs the interpreter: all of
// it runs without its lock.
#pragma once

#include "jxlcore/status.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmjxl {

// Result codes of the lock-free encoder step.
constexpr int ENC_OK = 0;
constexpr int ENC_ERR_ADD_FRAME = -1;
constexpr int ENC_ERR_PROCESS = -2;
constexpr int ENC_ERR_REALLOC = -3;

// Size above which a path or file-like is streamed when streaming=True.
constexpr size_t kStreamThreshold = 4194304;

// True for JXL_SIG_CODESTREAM and JXL_SIG_CONTAINER, looking at <= 16 bytes.
bool signature_ok(const uint8_t *data, size_t size);

// ---- sample types and frame sizes ---------------------------------------

size_t bytes_per_sample(JxlDataType t);
// a * b, or ValueError `what` when the product overflows 64 bits.
StatusOr<uint64_t> checked_mul(uint64_t a, uint64_t b, const char *what);
// Byte size of a (ysize, xsize) frame of `pf` (checked).
StatusOr<uint64_t> frame_bytes(uint64_t xsize, uint64_t ysize, const JxlPixelFormat &pf);
// Decoder output format for `info` with `samples` per pixel; gives the byte
// size of one full frame.
StatusOr<uint64_t> configure_pixel_format(const JxlBasicInfo &info, size_t samples,
                                          JxlPixelFormat *pf, JxlBitDepth *bd);

// ---- limits --------------------------------------------------------------

// Decompression-bomb guard of the decoding entry points: an image whose
// header claims more pixels than this is refused before any pixel buffer
// exists (libjxl's own working set for such an image runs to gigabytes).
constexpr uint64_t kDefaultMaxPixels = uint64_t(1) << 30;
// Byte budget of the decoders' output: 8 GiB unless the caller says otherwise.
constexpr uint64_t kDefaultMaxBytes = uint64_t(8) << 30;
// More workers than this cannot help on any machine we run on, and an absurd
// request (10**6) would make libjxl's runner die creating threads.
constexpr size_t kMaxThreads = 256;

// ValueError when `nbytes` of output (for `what`) exceed `limit` (0: no limit).
Status check_max_bytes(uint64_t nbytes, uint64_t limit, const std::string &what);
// ValueError when `info` claims more than `limit` pixels (0: no limit).
Status check_max_pixels(const JxlBasicInfo &info, uint64_t limit);

// The workers worth starting for an image of xsize x ysize when the caller
// left numthreads at None: an image of one 256x256 group has nothing to
// share out, and starting the threads would cost more than the decode.
inline size_t threads_for_size(uint64_t xsize, uint64_t ysize, size_t n) {
    return xsize <= 256 && ysize <= 256 ? 1 : n;
}

}  // namespace qmjxl
