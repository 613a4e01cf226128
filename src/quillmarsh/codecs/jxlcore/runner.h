// Worker threads shared by every encoder and decoder of the process.
#pragma once

#include <jxl/parallel_runner.h>

#include <cstddef>
#include <cstdint>

namespace qmjxl {

// What one encoder or decoder asks of the shared workers. libjxl is handed
// `pooled_runner` with a pointer to this; each parallel section of its work
// then borrows an idle libjxl runner of `threads` workers from a process-wide
// pool and gives it back when the section ends. Threads are therefore started
// once per process rather than once per call, and no runner ever serves two
// sections at once (libjxl allows one caller per runner). The request must
// outlive the encoder or decoder it was given to.
struct RunnerRequest {
    // Workers per section; 1 runs the section on the calling thread. A
    // decoder or writer left at numthreads=None starts at 1 and is raised once
    // the image size is known (before any pixel work).
    size_t threads = 1;
    // The caller chose the count: always a runner of exactly that many
    // workers. Otherwise a section runs on the calling thread when every
    // pooled runner is busy and the pool is at its size limit (the cores are
    // taken by then anyway).
    bool exact = false;
    // Tasks are claimed one at a time instead of in libjxl's blocks. libjxl's
    // thread runner hands out blocks sized from the whole range, so a section
    // whose work sits in a few neighbouring tasks (the groups of one streamed
    // span, among all the frame's groups) lands on one worker; claimed one by
    // one, that work is shared by all workers.
    bool one_by_one = false;

    RunnerRequest() = default;
    RunnerRequest(const RunnerRequest &) = delete;
    RunnerRequest &operator=(const RunnerRequest &) = delete;
    ~RunnerRequest() { release(); }
    // Drops the runner of its own that the request has with the pool
    // switched off; call once its encoder or decoder is destroyed.
    void release() noexcept;

    void *own = nullptr;  // with the pool switched off: a runner for this request alone
    long own_pid = 0;
};

// libjxl's default worker count (the machine's cores), asked once per
// process: libjxl reads it from /sys on every call, three system calls that
// each small decode would otherwise make with the GIL held.
size_t default_worker_threads();

// The JxlParallelRunner to hand to libjxl, with a RunnerRequest* as opaque.
JxlParallelRetCode pooled_runner(void *runner_opaque, void *jpegxl_opaque,
                                 JxlParallelRunInit init, JxlParallelRunFunction func,
                                 uint32_t start_range, uint32_t end_range);

// Switches the pool off (each request then starts a runner of its own on its
// first section and keeps it while it lives, the behaviour before the pool;
// the benchmarks compare the two) or on again. Returns the previous setting.
bool set_runner_pool(bool enabled);

}  // namespace qmjxl
