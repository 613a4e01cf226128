// libjxl's large working buffers, kept between calls.
//
// An encoder or decoder allocates its image planes afresh for every image
// and frees them at the end; each new plane is fresh memory the kernel maps
// and zeroes page by page on first touch. Encoding a 2048x2048 RGB image
// takes 40 to 100 thousand page faults, about 15 % of the encode's CPU time
// (part of it on the thread that runs libjxl's serial steps), decoding it
// about 2,000. Handing libjxl these memory managers keeps the freed blocks
// for the next call of the same size, already mapped.
//
// Idle blocks do not raise a call's peak: a block that no freed block
// matches first returns at least as many idle bytes to the system as it
// maps. What stays idle between calls is bounded by kBufferCacheBytes.
#pragma once

#include <jxl/memory_manager.h>

#include <cstddef>

namespace qmjxl {

// Idle bytes the cache may keep unless QUILLMARSH_JXL_BUFFER_CACHE_MB says
// otherwise (read once, when the first buffer is freed or taken).
constexpr size_t kBufferCacheBytes = size_t(256) << 20;

// The memory managers to create encoders and decoders with (never null).
JxlMemoryManager *encoder_buffers();
JxlMemoryManager *decoder_buffers();

// Switches the keeping of freed blocks off (every block is mapped and
// unmapped, and what is idle is released) or on again; returns the previous
// setting. For comparisons in tests and benchmarks.
bool set_buffer_cache(bool enabled);

// Bytes idle in the cache now.
size_t buffer_cache_idle_bytes();

}  // namespace qmjxl
