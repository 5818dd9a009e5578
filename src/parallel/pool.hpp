// The process-wide worker pool. Its size is fixed once: by the first positive
// request made before any parallel work has run, otherwise by the number of
// processors available to the process at the first parallel operation. Later
// requests are ignored.
#pragma once
#include <cstddef>
#include <exception>
#include <mutex>

namespace tw::parallel {

void request_pool_size(std::size_t n_threads);
std::size_t pool_size();  // fixes the size if not yet fixed

// Runs f(i) for i in [0, n) on the pool. The first exception thrown by any
// item is rethrown on the calling thread after all items finished or were
// skipped. Callers write per-item results to slot i and combine them in item
// order on the calling thread, so results never depend on scheduling.
template <class F>
void parallel_for(std::size_t n, F&& f) {
    if (n == 0) return;
    const std::size_t threads = pool_size();
    std::exception_ptr error;
    std::mutex error_mutex;
    bool failed = false;
    if (threads <= 1 || n == 1) {
        for (std::size_t i = 0; i < n; ++i) f(i);
        return;
    }
#pragma omp parallel for num_threads(static_cast<int>(threads)) schedule(dynamic, 1)
    for (std::size_t i = 0; i < n; ++i) {
        {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (failed) continue;
        }
        try {
            f(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!failed) {
                failed = true;
                error = std::current_exception();
            }
        }
    }
    if (error) std::rethrow_exception(error);
}

// Like parallel_for, but hands out contiguous chunks [begin, end) of about
// `grain` items, for cheap per-item work such as predicting rows.
template <class F>
void parallel_chunks(std::size_t n, std::size_t grain, F&& f) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    const std::size_t chunks = (n + grain - 1) / grain;
    parallel_for(chunks, [&](std::size_t c) {
        const std::size_t begin = c * grain;
        const std::size_t end = begin + grain < n ? begin + grain : n;
        f(begin, end);
    });
}

}  // namespace tw::parallel
