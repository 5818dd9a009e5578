// The process-wide worker pool. Its size is fixed once: by the first positive
// request made before any parallel work has run, otherwise by the number of
// processors available to the process at the first parallel operation. Later
// requests are ignored.
#pragma once
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>

#include "parallel/control.hpp"
#if defined(TW_TSAN_THREADS)
#include <thread>
#include <vector>
#endif

namespace tw::parallel {

// A request of 0 is ignored; requests above max_pool_threads are capped.
inline constexpr std::size_t max_pool_threads = 1024;
void request_pool_size(std::size_t n_threads);
std::size_t pool_size();  // fixes the size if not yet fixed

template <class F>
void run_items(std::size_t n, std::size_t threads, F&& f);

// The threads a parallel_for started here would run its items on.
inline std::size_t loop_threads() {
    const RunControl* const control = current_control();
    return control && control->threads != 0
               ? (control->threads < max_pool_threads ? control->threads : max_pool_threads)
               : pool_size();
}

// Runs f(i) for i in [0, n) on the pool. The first exception thrown by any
// item is rethrown on the calling thread after all items finished or were
// skipped. Callers write per-item results to slot i and combine them in item
// order on the calling thread, so results never depend on scheduling.
// Under a RunControl (parallel/control.hpp) the loop uses the control's
// thread count, and a stop skips the items not yet started and ends the
// loop with Stopped.
template <class F>
void parallel_for(std::size_t n, F&& f) {
    if (n == 0) return;
    RunControl* const control = current_control();
    const std::size_t threads = loop_threads();
    if (control) {
        auto guarded_item = [&](std::size_t i) {
            if (control->stop.load(std::memory_order_relaxed)) throw Stopped{};
            StopScope token(&control->stop);
            f(i);
        };
        // The items run without the control, so loops nested inside them
        // keep the pool's size, but with its stop token.
        ControlScope none(nullptr);
        run_items(n, threads, guarded_item);
        return;
    }
    if (const std::atomic<bool>* stop = current_stop()) {
        // A loop nested in a stoppable item hands its token on.
        run_items(n, pool_size(), [&](std::size_t i) {
            StopScope token(stop);
            f(i);
        });
        return;
    }
    run_items(n, threads, f);
}

// The loop of parallel_for over `threads` threads.
template <class F>
void run_items(std::size_t n, std::size_t threads, F&& f) {
    if (threads <= 1 || n == 1) {
        for (std::size_t i = 0; i < n; ++i) f(i);
        return;
    }
    std::exception_ptr error;
    std::mutex error_mutex;
    std::atomic<bool> failed{false};
    const int team = static_cast<int>(threads < n ? threads : n);
#if defined(TW_TSAN_THREADS)
    // ThreadSanitizer builds: the OpenMP runtime is not instrumented, so the
    // sanitizer cannot see the fork and join of a parallel region and reports
    // every hand-over as a race. The same items run on plain threads instead,
    // which it does see; races between items are still reported.
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < n;) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                f(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < team; ++t) helpers.emplace_back(worker);
    worker();
    for (std::thread& h : helpers) h.join();
#else
#pragma omp parallel for num_threads(team) schedule(dynamic, 1)
    for (std::size_t i = 0; i < n; ++i) {
        if (failed.load(std::memory_order_relaxed)) continue;
        try {
            f(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    }
#endif
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
