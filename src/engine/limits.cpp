// Memory limits of the package door's requests.
#include "engine/limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "core/errors.hpp"

namespace tw::engine {
namespace {

// Physical memory, or the process's address-space limit when lower.
std::uint64_t machine_memory() {
    std::uint64_t have = std::numeric_limits<std::uint64_t>::max();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) {
        have = saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page));
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<std::uint64_t>(limit.rlim_cur) < have) {
        have = static_cast<std::uint64_t>(limit.rlim_cur);
    }
    return have;
}

std::string gib(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    return text;
}

}  // namespace

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<std::uint64_t>::max();
    return out;
}

void check_fits(const std::string& request, std::uint64_t count, std::uint64_t bytes_each) {
    const std::uint64_t need = saturating_mul(count, bytes_each);
    const std::uint64_t have = machine_memory();
    if (need <= have) return;
    throw ValueError(request + " needs at least " + gib(need) + " GiB, more than the " +
                     gib(have) + " GiB of memory this process can use");
}

void check_trees(std::uint64_t trees, const char* parameter) {
    check_fits(std::string(parameter) + " = " + std::to_string(trees) + " trees", trees,
               kMinTreeBytes);
}

void check_result_fits(const char* what, std::initializer_list<std::size_t> shape) {
    std::uint64_t cells = 1;
    std::string dims;
    for (std::size_t d : shape) {
        cells = saturating_mul(cells, d);
        dims += (dims.empty() ? "" : " x ") + std::to_string(d);
    }
    check_fits(std::string("the result of ") + what + " (" + dims + " values)", cells, kCellBytes);
}

}  // namespace tw::engine
