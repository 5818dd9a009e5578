// Lane walks: several rows descending one tree in lock step.
//
// A lane is one row's place in a group of kLanes rows that descend the same
// tree together. Each round moves every lane one node down, so the node loads
// of different rows are independent and overlap instead of waiting on one
// another, which matters once a tree no longer fits in cache. A lane that
// reached its leaf stays there, and the group is done after a round in which
// no lane moved. Rows left after the last full group descend one at a time.
//
// A node layout is any node struct with a member
//     std::uint32_t next(Row row, std::uint32_t self) const
// that gives the node the row moves to from this node (index `self`), or
// `self` itself at a leaf. Every layout routes alike: a row whose value is
// <= the threshold goes left, any other row (NaN included) goes right.
//
// Direct form (PackedNode): a 16-byte node of a pre-order tree, where the
// left child of node i is i + 1, so a node needs only its threshold, its
// feature and its right child. A leaf is its own right child and has a NaN
// threshold, so its test always fails and a row that reached it stays there
// without a branch on whether the node is a leaf.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tw {

inline constexpr std::size_t kLanes = 16;

struct PackedNode {
    double threshold;
    std::uint32_t feature;
    std::uint32_t right;

    // The direction is data dependent and would mispredict about half of the
    // time as a branch, so it is a conditional move.
    std::uint32_t next(const double* row, std::uint32_t self) const {
        std::uint32_t to = right;
#if defined(__x86_64__)
        // ucomisd sets CF when threshold < value or the pair is unordered, so
        // "above or equal" is exactly value <= threshold (NaN goes right).
        __asm__("ucomisd (%[row],%[f],8), %[t]\n\tcmovae %[left], %[to]"
                : [to] "+r"(to)
                : [t] "x"(threshold), [row] "r"(row), [f] "r"(static_cast<std::uint64_t>(feature)),
                  [left] "r"(self + 1)
                : "cc");
#else
        const std::uint32_t mask = 0u - static_cast<std::uint32_t>(row[feature] <= threshold);
        to ^= (to ^ (self + 1)) & mask;
#endif
        return to;
    }
};

// Missing-aware direct form (MissingNode): a PackedNode that also names
// where a row whose value is missing goes (nan_to: the left child self + 1
// or the right child; self at a leaf). Used for trees with splits that send
// missing values left, so that PackedNode stays 16 bytes for all others.
struct MissingNode {
    double threshold;
    std::uint32_t feature;
    std::uint32_t right;
    std::uint32_t nan_to;
    std::uint32_t unused = 0;

    std::uint32_t next(const double* row, std::uint32_t self) const {
        std::uint32_t to = right;
#if defined(__x86_64__)
        // As PackedNode; an unordered pair (a missing value, or a leaf's NaN
        // threshold) also sets PF, which then picks nan_to.
        __asm__("ucomisd (%[row],%[f],8), %[t]\n\tcmovae %[left], %[to]\n\tcmovp %[nan], %[to]"
                : [to] "+r"(to)
                : [t] "x"(threshold), [row] "r"(row), [f] "r"(static_cast<std::uint64_t>(feature)),
                  [left] "r"(self + 1), [nan] "r"(nan_to)
                : "cc");
#else
        const double v = row[feature];
        to = v <= threshold ? self + 1 : v != v || threshold != threshold ? nan_to : right;
#endif
        return to;
    }
};

// Category-aware direct form (CategoryNode): a MissingNode that, at a
// category-set split (tree/tree.hpp, kCategorical), tests the row's code
// against the node's set instead of a threshold. Used for trees with such
// splits only; its branch on the kind of node is taken the same way at a
// node every time.
struct CategoryNode {
    double threshold;
    const std::uint64_t* set;  // a category-set split's set, else nullptr
    std::uint32_t feature;
    std::uint32_t right;
    std::uint32_t nan_to;
    std::uint32_t unused = 0;

    std::uint32_t next(const double* row, std::uint32_t self) const {
        const double v = row[feature];
        if (set != nullptr) {
            if (v >= 0.0 && v < 256.0) {
                const auto c = static_cast<std::uint32_t>(v);
                return ((set[c >> 6] >> (c & 63)) & 1) != 0 ? self + 1 : right;
            }
            return nan_to;
        }
        return v <= threshold ? self + 1 : v != v || threshold != threshold ? nan_to : right;
    }
};

// Whether a walk prefetches the rows of the next lane group while the
// current one descends. Only for rows laid out one after another in memory
// in walk order, so that rows [i, j) span the addresses row_at(i) to row_at(j).
enum class RowPrefetch { none, next_group };

// Walks rows 0 .. count-1 down the tree from node start_at(i) for row i (a
// node on the row's path; the root for walk_lanes) and calls emit(i, leaf)
// for each row i, leaf being the index of the leaf it reaches. row_at(i)
// gives row i in the form the node layout reads. Full groups emit their rows
// in order once the whole group has arrived.
template <RowPrefetch kPrefetch = RowPrefetch::none, class NodeT, class StartAt, class RowAt,
          class Emit>
inline void walk_lanes_from(const NodeT* nodes, std::size_t count, StartAt&& start_at,
                            RowAt&& row_at, Emit&& emit) {
    using Row = std::remove_cvref_t<decltype(row_at(std::size_t{0}))>;
    std::size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        std::uint32_t cur[kLanes];
        Row rows[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            rows[j] = row_at(i + j);
            cur[j] = start_at(i + j);
        }
        if constexpr (kPrefetch == RowPrefetch::next_group) {
            if (i + 2 * kLanes <= count) {
                // The next group's rows, so their first reads do not stall.
                const char* p = reinterpret_cast<const char*>(row_at(i + kLanes));
                const char* q = reinterpret_cast<const char*>(row_at(i + 2 * kLanes));
                for (; p < q; p += 64) __builtin_prefetch(p);
            }
        }
        for (;;) {
            std::uint32_t moved = 0;
#pragma GCC unroll 16
            for (std::size_t j = 0; j < kLanes; ++j) {
                const std::uint32_t to = nodes[cur[j]].next(rows[j], cur[j]);
                moved |= to ^ cur[j];
                cur[j] = to;
            }
            if (moved == 0) break;
        }
        for (std::size_t j = 0; j < kLanes; ++j) emit(i + j, cur[j]);
    }
    for (; i < count; ++i) {
        const Row row = row_at(i);
        std::uint32_t cur = start_at(i);
        for (;;) {
            const std::uint32_t to = nodes[cur].next(row, cur);
            if (to == cur) break;
            cur = to;
        }
        emit(i, cur);
    }
}

// walk_lanes_from with every row starting at the root.
template <RowPrefetch kPrefetch = RowPrefetch::none, class NodeT, class RowAt, class Emit>
inline void walk_lanes(const NodeT* nodes, std::size_t count, RowAt&& row_at, Emit&& emit) {
    walk_lanes_from<kPrefetch>(
        nodes, count, [](std::size_t) { return std::uint32_t{0}; }, row_at, emit);
}

}  // namespace tw
