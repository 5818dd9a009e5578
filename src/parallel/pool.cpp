// The process-wide worker pool: one thread count for every parallel loop of
// the library, fixed once for the life of the process.
#include "parallel/pool.hpp"

#include <omp.h>

#include <atomic>
#include <mutex>

namespace tw::parallel {
namespace {

std::mutex size_mutex;
std::atomic<std::size_t> fixed_size{0};  // 0 = not fixed yet

std::size_t default_size() {
    // omp_get_max_threads() honours OMP_NUM_THREADS and otherwise reports the
    // processors available to the process (its affinity mask).
    int n = omp_get_max_threads();
    if (n < 1) n = omp_get_num_procs();
    return n < 1 ? 1 : static_cast<std::size_t>(n);
}

}  // namespace

void request_pool_size(std::size_t n_threads) {
    if (n_threads == 0) return;
    if (n_threads > max_pool_threads) n_threads = max_pool_threads;
    if (fixed_size.load(std::memory_order_acquire) != 0) return;
    std::lock_guard<std::mutex> lock(size_mutex);
    if (fixed_size.load(std::memory_order_relaxed) == 0) {
        fixed_size.store(n_threads, std::memory_order_release);
    }
}

std::size_t pool_size() {
    std::size_t n = fixed_size.load(std::memory_order_acquire);
    if (n != 0) return n;
    std::lock_guard<std::mutex> lock(size_mutex);
    n = fixed_size.load(std::memory_order_relaxed);
    if (n == 0) {
        n = default_size();
        fixed_size.store(n, std::memory_order_release);
    }
    return n;
}

}  // namespace tw::parallel
