// The cache of libjxl's large buffers: reuse, its bounds, and encodes and
// decodes through it.
#include "check.h"

#include "jxlcore/buffer_cache.h"

#include <cstring>
#include <vector>

using namespace qmjxl;

namespace {

void *take(JxlMemoryManager *m, size_t n) { return m->alloc(m->opaque, n); }
void give(JxlMemoryManager *m, void *p) { m->free(m->opaque, p); }

}  // namespace

TEST(buffer_cache_reuses_a_freed_block_of_the_same_size) {
    JxlMemoryManager *m = decoder_buffers();
    set_buffer_cache(false);  // empty
    set_buffer_cache(true);
    const size_t mib = size_t(1) << 20;
    void *a = take(m, 3 * mib);
    std::memset(a, 7, 3 * mib);
    give(m, a);
    CHECK(buffer_cache_idle_bytes() >= 3 * mib);
    void *b = take(m, 3 * mib);
    CHECK(b == a);  // the same block, already mapped
    CHECK(buffer_cache_idle_bytes() == 0);
    // Another size finds no match: the idle block is released first, so the
    // cache never holds more beside a call than the call itself frees.
    give(m, b);
    void *c = take(m, 5 * mib);
    CHECK(buffer_cache_idle_bytes() == 0);
    give(m, c);
    // Small requests never reach the cache; off, nothing is kept.
    void *small = take(m, 1000);
    CHECK(small != nullptr);
    give(m, small);
    CHECK(buffer_cache_idle_bytes() == 5 * mib + (size_t(64) << 10));
    CHECK(set_buffer_cache(false));
    CHECK(buffer_cache_idle_bytes() == 0);
    void *d = take(m, 5 * mib);
    give(m, d);
    CHECK(buffer_cache_idle_bytes() == 0);
    set_buffer_cache(true);
}

TEST(buffer_cache_keeps_at_most_its_bound) {
    JxlMemoryManager *m = encoder_buffers();
    const size_t block = size_t(48) << 20;
    std::vector<void *> held;
    for (size_t i = 0; i < 8; ++i) held.push_back(take(m, block));
    for (void *p : held) give(m, p);
    CHECK(buffer_cache_idle_bytes() <= kBufferCacheBytes);
    CHECK(buffer_cache_idle_bytes() >= kBufferCacheBytes - block - (size_t(64) << 10));
    CHECK(take(m, size_t(1) << 62) == nullptr);  // a failed mapping is a null, not a throw
    set_buffer_cache(false);
    set_buffer_cache(true);
}
