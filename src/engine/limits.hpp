// Requests too large for this machine, refused before any work starts.
//
// A request is a count of items (trees, cells of a table) of at least a
// known size each. When the smallest memory they could take exceeds the
// machine's physical memory, the call raises ValueError naming the request,
// its size and the memory available (physical memory, or the process's
// address-space limit when lower), instead of running until an
// allocation fails.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace tw::engine {

// Bytes a fitted tree takes at the very least (its node storage and its
// slot in the forest), and a cell of a float64 table.
inline constexpr std::uint64_t kMinTreeBytes = 64;
inline constexpr std::uint64_t kCellBytes = 8;

// Throws ValueError "<request> needs at least N GiB, more than the X GiB of
// memory this process can use" when count * bytes_each exceeds the memory.
// `request` describes the count, e.g. "n_estimators = 1000000000000 trees".
void check_fits(const std::string& request, std::uint64_t count, std::uint64_t bytes_each);

// Refuses a float64 result of `shape` (from the call `what`) that cannot fit.
void check_result_fits(const char* what, std::initializer_list<std::size_t> shape);

// Refuses a forest of `trees` trees (the n_estimators of a fit) that
// cannot fit; `parameter` names the request, e.g. "n_estimators".
void check_trees(std::uint64_t trees, const char* parameter = "n_estimators");

// a * b and a + b, saturating at the largest count.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a + b < a ? ~std::uint64_t{0} : a + b;
}

}  // namespace tw::engine
