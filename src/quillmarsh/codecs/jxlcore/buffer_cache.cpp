// The cache of libjxl's large buffers (see buffer_cache.h).
#include "jxlcore/buffer_cache.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace qmjxl {

namespace {

// Each allocation starts with a header holding the size of its mapping (0:
// from malloc); the caller's bytes follow, aligned as malloc aligns them.
constexpr size_t kHeader = 64;
constexpr size_t kGranule = size_t(64) << 10;  // mappings are whole 64 KiB units

struct Block {
    size_t size;
    void *base;
};

// The bound on idle bytes: QUILLMARSH_JXL_BUFFER_CACHE_MB (MiB; 0 keeps
// nothing) for processes that must hold little idle memory, else the default.
size_t limit_from_environment() {
    const char *v = std::getenv("QUILLMARSH_JXL_BUFFER_CACHE_MB");
    if (!v || !*v) return kBufferCacheBytes;
    char *end = nullptr;
    const unsigned long long mib = std::strtoull(v, &end, 10);
    if (*end != '\0' || v[0] == '-' || mib > (size_t(1) << 24)) return kBufferCacheBytes;
    return static_cast<size_t>(mib) << 20;
}

class Cache {
public:
    void *take(size_t size) {
        std::vector<Block> evicted;
        void *base = nullptr;
        {
            std::lock_guard<std::mutex> lock(mu_);
            // The most recently freed block of this size.
            for (size_t i = idle_.size(); i-- > 0;) {
                if (idle_[i].size != size) continue;
                base = idle_[i].base;
                idle_bytes_ -= size;
                idle_.erase(idle_.begin() + static_cast<ptrdiff_t>(i));
                break;
            }
            // No match: the oldest idle blocks make room for the new one.
            if (!base) evict_locked(idle_bytes_ - std::min(idle_bytes_, size), &evicted);
        }
        unmap(evicted);
        return base;
    }

    // Keeps the block; false when the cache is off or it is larger than the bound.
    bool keep(size_t size, void *base) {
        std::vector<Block> evicted;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!enabled_ || size > limit_) return false;
            evict_locked(limit_ - size, &evicted);
            idle_.push_back({size, base});
            idle_bytes_ += size;
        }
        unmap(evicted);
        return true;
    }

    bool set_enabled(bool enabled) {
        std::vector<Block> evicted;
        bool was;
        {
            std::lock_guard<std::mutex> lock(mu_);
            was = enabled_;
            enabled_ = enabled;
            if (!enabled) evict_locked(0, &evicted);
        }
        unmap(evicted);
        return was;
    }

    size_t idle_bytes() {
        std::lock_guard<std::mutex> lock(mu_);
        return idle_bytes_;
    }

    // fork(): the lock is held across it so that the child's list is
    // consistent; the child keeps the blocks (its copies are valid memory).
    void before_fork() { mu_.lock(); }
    void after_fork() { mu_.unlock(); }

private:
    // Takes the oldest blocks out until at most `keep` idle bytes are left.
    void evict_locked(size_t keep, std::vector<Block> *out) {
        size_t n = 0;
        while (n < idle_.size() && idle_bytes_ > keep) {
            idle_bytes_ -= idle_[n].size;
            out->push_back(idle_[n++]);
        }
        idle_.erase(idle_.begin(), idle_.begin() + static_cast<ptrdiff_t>(n));
    }

    static void unmap(const std::vector<Block> &blocks) {
        for (const Block &b : blocks) munmap(b.base, b.size);
    }

    std::mutex mu_;
    std::vector<Block> idle_;  // oldest first
    size_t idle_bytes_ = 0;
    bool enabled_ = true;
    size_t limit_ = limit_from_environment();
};

// Never destroyed: a daemon thread's decoder may free its buffers while the
// interpreter exits.
Cache *g_cache = nullptr;

Cache &cache() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_cache = new Cache();
        pthread_atfork([] { g_cache->before_fork(); }, [] { g_cache->after_fork(); },
                       [] { g_cache->after_fork(); });
    });
    return *g_cache;
}

void *with_header(void *base, size_t mapping) {
    *static_cast<size_t *>(base) = mapping;
    return static_cast<uint8_t *>(base) + kHeader;
}

// `opaque` points to the smallest request that is served from the cache;
// smaller ones go to malloc.
void *cache_alloc(void *opaque, size_t size) {
    if (size > SIZE_MAX - kHeader - kGranule) return nullptr;
    if (size + kHeader < *static_cast<const size_t *>(opaque)) {
        void *p = std::malloc(size + kHeader);
        return p ? with_header(p, 0) : nullptr;
    }
    const size_t mapping = (size + kHeader + kGranule - 1) / kGranule * kGranule;
    void *base = cache().take(mapping);
    if (!base) {
        base = mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return nullptr;
    }
    return with_header(base, mapping);
}

void cache_free(void *, void *address) {
    if (!address) return;
    void *base = static_cast<uint8_t *>(address) - kHeader;
    const size_t mapping = *static_cast<size_t *>(base);
    if (mapping == 0) {
        std::free(base);
    } else if (!cache().keep(mapping, base)) {
        munmap(base, mapping);
    }
}

// An encoder's per-group blocks (about 1 MiB, dozens alive at once, their
// number varying from call to call) are left to malloc: kept here, they would
// push out the planes a later call asks for. A decoder's blocks of 1 MiB and
// more (the borders kept between groups) recur call after call.
size_t g_encoder_min = size_t(4) << 20;
size_t g_decoder_min = size_t(1) << 20;
JxlMemoryManager g_encoder = {&g_encoder_min, cache_alloc, cache_free};
JxlMemoryManager g_decoder = {&g_decoder_min, cache_alloc, cache_free};

}  // namespace

JxlMemoryManager *encoder_buffers() { return &g_encoder; }
JxlMemoryManager *decoder_buffers() { return &g_decoder; }

bool set_buffer_cache(bool enabled) { return cache().set_enabled(enabled); }

size_t buffer_cache_idle_bytes() { return cache().idle_bytes(); }

}  // namespace qmjxl
