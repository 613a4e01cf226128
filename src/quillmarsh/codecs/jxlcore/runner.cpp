// The process-wide pool of libjxl thread runners (see runner.h).
#include "jxlcore/runner.h"

#include <jxl/thread_parallel_runner.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace qmjxl {

namespace {

// What libjxl does without a runner: every task on the calling thread.
JxlParallelRetCode run_inline(void *jpegxl_opaque, JxlParallelRunInit init,
                              JxlParallelRunFunction func, uint32_t start, uint32_t end) {
    const JxlParallelRetCode rc = init(jpegxl_opaque, 1);
    if (rc != 0) return rc;
    for (uint32_t i = start; i < end; ++i) func(jpegxl_opaque, i, 0);
    return 0;
}

// Runs [start, end) on libjxl's thread runner `r` of `n` workers, one task
// per worker, each taking the range's tasks one at a time until none is left.
struct OneByOne {
    void *opaque;
    JxlParallelRunInit init;
    JxlParallelRunFunction func;
    std::atomic<uint32_t> next;
    uint32_t end;

    static JxlParallelRetCode init_fn(void *o, size_t num_threads) {
        auto *t = static_cast<OneByOne *>(o);
        return t->init(t->opaque, num_threads);
    }
    static void drain(void *o, uint32_t, size_t thread) {
        auto *t = static_cast<OneByOne *>(o);
        for (uint32_t i; (i = t->next.fetch_add(1, std::memory_order_relaxed)) < t->end;)
            t->func(t->opaque, i, thread);
    }
};

JxlParallelRetCode run_on(void *r, size_t n, bool one_by_one, void *jpegxl_opaque,
                          JxlParallelRunInit init, JxlParallelRunFunction func, uint32_t start,
                          uint32_t end) {
    if (!one_by_one) return JxlThreadParallelRunner(r, jpegxl_opaque, init, func, start, end);
    OneByOne t{jpegxl_opaque, init, func, {start}, end};
    const auto loops = static_cast<uint32_t>(std::min<size_t>(n, end - start));
    return JxlThreadParallelRunner(r, &t, OneByOne::init_fn, OneByOne::drain, 0, loops);
}

class Pool {
public:
    // An idle runner of `n` workers, a new one, or null when the caller
    // should run the section itself.
    void *acquire(size_t n, bool exact) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            Slot &s = slot(n);
            if (!s.idle.empty()) {
                void *r = s.idle.back();
                s.idle.pop_back();
                idle_threads_ -= n;
                return r;
            }
            if (!exact && s.live >= auto_limit(n)) return nullptr;
            ++s.live;
        }
        // Threads are started outside the lock: other sections go on meanwhile.
        void *r = JxlThreadParallelRunnerCreate(nullptr, n);
        if (!r) {
            std::lock_guard<std::mutex> lock(mu_);
            --slot(n).live;
        }
        return r;
    }

    void give_back(size_t n, void *r) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            Slot &s = slot(n);
            if (idle_threads_ + n <= idle_cap()) {
                s.idle.push_back(r);
                idle_threads_ += n;
                return;
            }
            --s.live;
        }
        JxlThreadParallelRunnerDestroy(r);
    }

    // fork(): the child has none of the pool's threads. Holding the lock
    // across fork() keeps the lists consistent; the child then forgets every
    // runner (destroying one would wait for threads that do not exist there).
    void before_fork() { mu_.lock(); }
    void after_fork_parent() { mu_.unlock(); }
    void after_fork_child() {
        slots_.clear();  // the runners themselves are leaked on purpose
        idle_threads_ = 0;
        mu_.unlock();
    }

private:
    struct Slot {
        size_t threads;
        std::vector<void *> idle;
        size_t live = 0;  // runners of this size in existence, idle or lent
    };

    Slot &slot(size_t n) {
        for (Slot &s : slots_)
            if (s.threads == n) return s;
        slots_.push_back(Slot{n, {}, 0});
        return slots_.back();
    }

    static size_t cores() { return std::max<size_t>(1, default_worker_threads()); }
    // Runners of n workers lent at once to requests that did not fix the
    // count: enough to keep twice the cores busy, and at least two.
    static size_t auto_limit(size_t n) { return std::max<size_t>(2, (2 * cores() + n - 1) / n); }
    // Idle worker threads kept for later sections; above that, a returned
    // runner is destroyed.
    static size_t idle_cap() { return std::max<size_t>(256, 8 * cores()); }

    std::mutex mu_;
    std::vector<Slot> slots_;
    size_t idle_threads_ = 0;
};

// Never destroyed: threads of a daemon Python thread may still be in a
// section while the interpreter exits.
Pool *g_pool = nullptr;
std::atomic<bool> g_pool_enabled{true};

Pool &pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pool = new Pool();
        pthread_atfork([] { g_pool->before_fork(); }, [] { g_pool->after_fork_parent(); },
                       [] { g_pool->after_fork_child(); });
    });
    return *g_pool;
}

}  // namespace

size_t default_worker_threads() {
    static const size_t n = JxlThreadParallelRunnerDefaultNumWorkerThreads();
    return n;
}

void RunnerRequest::release() noexcept {
    // A runner made before a fork() has no threads in the child: forgotten there.
    if (own && own_pid == static_cast<long>(getpid())) JxlThreadParallelRunnerDestroy(own);
    own = nullptr;
}

bool set_runner_pool(bool enabled) { return g_pool_enabled.exchange(enabled); }

JxlParallelRetCode pooled_runner(void *runner_opaque, void *jpegxl_opaque,
                                 JxlParallelRunInit init, JxlParallelRunFunction func,
                                 uint32_t start_range, uint32_t end_range) {
    auto *req = static_cast<RunnerRequest *>(runner_opaque);
    const size_t n = req->threads;
    // A single task gains nothing from waking workers.
    if (n <= 1 || end_range <= start_range + 1)
        return run_inline(jpegxl_opaque, init, func, start_range, end_range);
    if (!g_pool_enabled.load(std::memory_order_relaxed)) {
        const long pid = static_cast<long>(getpid());
        if (req->own && req->own_pid != pid) req->own = nullptr;  // inherited through fork()
        if (!req->own) {
            req->own = JxlThreadParallelRunnerCreate(nullptr, n);
            req->own_pid = pid;
        }
        if (!req->own) return run_inline(jpegxl_opaque, init, func, start_range, end_range);
        return run_on(req->own, n, req->one_by_one, jpegxl_opaque, init, func, start_range,
                      end_range);
    }
    Pool &p = pool();
    void *r = p.acquire(n, req->exact);
    if (!r) return run_inline(jpegxl_opaque, init, func, start_range, end_range);
    const JxlParallelRetCode rc =
        run_on(r, n, req->one_by_one, jpegxl_opaque, init, func, start_range, end_range);
    p.give_back(n, r);
    return rc;
}

}  // namespace qmjxl
