// Building and checking the leaf samples of a regression forest
// (random_forest/leaf_samples.hpp).
#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/errors.hpp"
#include "core/prefault.hpp"
#include "core/radix_sort.hpp"
#include "core/serialize.hpp"
#include "ensemble/binned_rows.hpp"
#include "ensemble/bootstrap.hpp"
#include "parallel/control.hpp"
#include "parallel/pool.hpp"
#include "random_forest/leaf_samples.hpp"

namespace tw {

namespace {

// std::stable_sort's order (unique: equal items keep their order) in steps
// a stop request can end: runs of kRun items are sorted, then merged in
// pairs, pass after pass (merges keep the first run's items first among
// equal ones).
template <class Less>
void stable_sort_stoppable(std::vector<std::uint32_t>& items, Less less) {
    constexpr std::size_t kRun = std::size_t{1} << 16;
    const std::size_t n = items.size();
    for (std::size_t lo = 0; lo < n; lo += kRun) {
        parallel::check_stop();
        std::stable_sort(items.begin() + lo, items.begin() + std::min(n, lo + kRun), less);
    }
    if (n <= kRun) return;
    std::vector<std::uint32_t> other(n);
    std::uint32_t* from = items.data();
    std::uint32_t* to = other.data();
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            parallel::check_stop();
            const std::size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            std::merge(from + lo, from + mid, from + mid, from + hi, to + lo, less);
        }
        std::swap(from, to);
    }
    if (from != items.data()) items.swap(other);
}

// Rows up to which the targets are ranked by a radix sort, which a stop
// request cannot end: it takes well under a second. Beyond, the sort goes
// in steps.
constexpr std::size_t kRadixRows = std::size_t{1} << 24;

}  // namespace

LeafSamples LeafSamples::ranked(Vec y, std::span<const double> sample_weight) {
    if (y.size() > kMaxRows) throw InternalError("too many rows for leaf samples");
    const std::size_t n = y.size();
    LeafSamples s;
    s.row_of_rank.resize(n);
    std::iota(s.row_of_rank.begin(), s.row_of_rank.end(), 0u);
    const bool any_nan = std::any_of(y.begin(), y.end(), [](double v) { return std::isnan(v); });
    if (!any_nan && n <= kRadixRows) {
        // The rows by their targets' keys, in a stable radix sort: the order
        // of the stable comparison sort below (-0.0 folded into +0.0, which
        // compare equal).
        std::vector<std::uint64_t> keys(n), other;
        for (std::size_t r = 0; r < n; ++r) keys[r] = order_key(y[r] + 0.0);
        std::vector<std::uint32_t> rows_other;
        radix_sort_keys(keys, other, &s.row_of_rank, &rows_other);
    } else {
        stable_sort_stoppable(s.row_of_rank,
                              [&](std::uint32_t a, std::uint32_t b) { return y[a] < y[b]; });
    }
    s.targets.resize(n);
    for (std::size_t k = 0; k < n; ++k) s.targets[k] = y[s.row_of_rank[k]];
    const bool unit = std::all_of(sample_weight.begin(), sample_weight.end(),
                                  [](double w) { return w == 1.0; });
    if (!unit) {
        s.weights.resize(n);
        for (std::size_t k = 0; k < n; ++k) s.weights[k] = sample_weight[s.row_of_rank[k]];
    }
    return s;
}

std::vector<std::uint32_t> LeafSamples::rank_of_row() const {
    std::vector<std::uint32_t> out(row_of_rank.size());
    for (std::size_t k = 0; k < row_of_rank.size(); ++k) {
        out[row_of_rank[k]] = static_cast<std::uint32_t>(k);
    }
    return out;
}

namespace {

// Entries per leaf, on average, below which a tree's rows are read in row
// order and its leaves' lists sorted after.
constexpr std::size_t kFewPerLeaf = 16;

// Ascending order of a longer leaf list: by insertion when short, the usual
// case.
__attribute__((noinline)) void sort_longer(std::uint32_t* first, std::uint32_t* last) {
    if (last - first > 32) {
        std::sort(first, last);
        return;
    }
    for (std::uint32_t* i = first + 1; i < last; ++i) {
        const std::uint32_t v = *i;
        std::uint32_t* j = i;
        for (; j > first && *(j - 1) > v; --j) *j = *(j - 1);
        *j = v;
    }
}

// Ascending order of one leaf list. Most lists of a fully grown tree hold
// one entry or two, which are ordered here without a call.
inline void sort_entries(std::uint32_t* first, std::uint32_t* last) {
    const std::ptrdiff_t n = last - first;
    if (n == 2) {
        const std::uint32_t a = first[0], b = first[1];
        first[0] = std::min(a, b);
        first[1] = std::max(a, b);
    } else if (n > 2) {
        sort_longer(first, last);
    }
}

}  // namespace

TreeSamples LeafSamples::of_tree(const Tree& tree, std::span<const std::uint32_t> leaf_of_row,
                                 std::span<const std::uint32_t> draws,
                                 std::span<const std::uint32_t> row_of_rank_,
                                 std::span<const std::uint32_t> rank_of_row) {
    const std::size_t nodes = tree.nodes.size();
    const std::size_t n = row_of_rank_.size();
    if (leaf_of_row.size() != n || draws.size() != n) {
        throw InternalError("leaf samples: row counts differ");
    }
    // Per node its in-bag and out-of-bag entries, side by side; then, in
    // place, the next free position of each list. Counts wrap only when the
    // total, checked before they are used, is out of range.
    std::vector<std::uint32_t> next(2 * nodes, 0);
    std::uint64_t total = 0;
    // Only the range is checked per row; that every node reached is a leaf
    // is checked node by node below (reading the nodes in order rather than
    // one per row at random).
    for (std::size_t r = 0; r < n; ++r) {
        const std::uint32_t leaf = leaf_of_row[r];
        if (leaf >= nodes) throw InternalError("leaf samples: a row reached no leaf");
        if (draws[r] != 0) next[2 * std::size_t{leaf}] += draws[r];
        else ++next[2 * std::size_t{leaf} + 1];
        total += draws[r] != 0 ? draws[r] : 1;
    }
    if (total > 0xFFFFFFFFull) throw InternalError("leaf samples: too many entries");
    parallel::check_stop();
    TreeSamples t;
    t.begin.reserve(nodes + 1);
    prefault(t.begin.data(), (nodes + 1) * sizeof(std::uint32_t));
    t.begin.resize(nodes + 1);
    std::uint32_t at = 0;
    for (std::size_t j = 0; j < nodes; ++j) {
        const std::uint32_t in_bag = next[2 * j], out_of_bag = next[2 * j + 1];
        if ((in_bag | out_of_bag) != 0 && !tree.nodes[j].is_leaf()) {
            throw InternalError("leaf samples: a row reached no leaf");
        }
        t.begin[j] = at;
        next[2 * j] = at;
        next[2 * j + 1] = at + in_bag;
        at += in_bag + out_of_bag;
    }
    t.begin[nodes] = at;
    t.entries.reserve(at);
    prefault(t.entries.data(), std::size_t{at} * sizeof(std::uint32_t));
    t.entries.resize(at);
    // Leaves of few entries each (fully grown trees): the rows are read in
    // order, each leaf's two lists sorted after. Otherwise the ranks are
    // taken in ascending order, so every leaf's lists come out ascending.
    const std::size_t leaves = (nodes + 1) / 2;
    parallel::check_stop();
    if (rank_of_row.size() == n && at <= kFewPerLeaf * leaves) {
        for (std::size_t r = 0; r < n; ++r) {
            const std::size_t leaf = leaf_of_row[r];
            const std::uint32_t rank = rank_of_row[r];
            if (draws[r] == 0) {
                t.entries[next[2 * leaf + 1]++] = rank | kOutOfBag;
                continue;
            }
            std::uint32_t& in = next[2 * leaf];
            for (std::uint32_t c = 0; c < draws[r]; ++c) t.entries[in++] = rank;
        }
        parallel::check_stop();
        // The in-bag list of node j ends where its out-of-bag list begins.
        // Nodes of at most one entry (split nodes have none) have nothing to
        // order.
        for (std::size_t j = 0; j < nodes; ++j) {
            if (t.begin[j + 1] - t.begin[j] <= 1) continue;
            sort_entries(t.entries.data() + t.begin[j], t.entries.data() + next[2 * j]);
            sort_entries(t.entries.data() + next[2 * j], t.entries.data() + t.begin[j + 1]);
        }
        return t;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t r = row_of_rank_[k];
        const std::uint32_t leaf = leaf_of_row[r];
        const auto rank = static_cast<std::uint32_t>(k);
        if (draws[r] == 0) {
            t.entries[next[2 * std::size_t{leaf} + 1]++] = rank | kOutOfBag;
            continue;
        }
        std::uint32_t& in = next[2 * std::size_t{leaf}];
        for (std::uint32_t c = 0; c < draws[r]; ++c) t.entries[in++] = rank;
    }
    return t;
}

void LeafSamples::walk_pending(const Tree& tree, PendingTreeSamples& p,
                               std::span<const std::uint32_t> draws, const CodedNode* coded) const {
    const std::size_t n = draws.size();
    const bool every_row = p.leaf_of_row.empty();
    if (!pending_rows || pending_rows->rows.width == 0 || (!every_row && p.leaf_of_row.size() != n) ||
        pending_rows->rows.codes.size() + pending_rows->rows.wide_codes.size() <
            n * pending_rows->rows.width) {
        throw InternalError("leaf samples: the rows to walk are missing");
    }
    // A walk of every row fills its own list, taken only once complete: a
    // stop or failure leaves p as it was.
    std::vector<std::uint32_t> all;
    if (every_row) all.assign(n, 0);
    std::vector<std::uint32_t>& leaf_of_row = every_row ? all : p.leaf_of_row;
    const std::vector<std::uint32_t> out_of_bag =
        every_row ? std::vector<std::uint32_t>{} : ensemble::undrawn_rows(draws);
    const std::size_t to_walk = every_row ? n : out_of_bag.size();
    const auto row_of = [&](std::size_t k) { return every_row ? k : std::size_t{out_of_bag[k]}; };
    const auto emit = [&](std::size_t k, std::uint32_t leaf) { leaf_of_row[row_of(k)] = leaf; };
    // In chunks, between which a stop request ends the walk.
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    parallel::check_stop();
    if (tree.nodes.size() <= 1) {
        for (std::size_t k = 0; k < to_walk; ++k) emit(k, 0);
    } else if (!ensemble::walk_binned_chunked(
                   tree, pending_rows->rows, to_walk, kChunk, row_of, emit,
                   [] { parallel::check_stop(); }, {}, pending_rows->rows.wide() ? nullptr : coded)) {
        throw InternalError("leaf samples: a pending tree has no coded form");
    }
    if (every_row) p.leaf_of_row = std::move(all);
    p.walked = true;
}

void LeafSamples::build(const std::vector<Tree>& forest, const DrawCounts& counts_of,
                        const CodedTrees& coded_of) const {
    std::lock_guard<std::mutex> hold(lock.mutex);
    if (pending.empty()) return;
    if (pending.size() != trees.size() || forest.size() != trees.size()) {
        throw InternalError("leaf samples: pending lists do not match the trees");
    }
    const std::vector<std::uint32_t> ranks = rank_of_row();
    // Each item writes its own tree's lists and inputs only.
    parallel::parallel_for(trees.size(), [&](std::size_t t) {
        PendingTreeSamples& p = pending[t];
        if (!p.waiting) return;
        std::vector<std::uint32_t> counted;
        std::span<const std::uint32_t> draws = p.draws;
        if (draws.empty()) {
            counts_of(t, counted);
            draws = counted;
        }
        if (!p.walked) walk_pending(forest[t], p, draws, coded_of ? coded_of(t) : nullptr);
        trees[t] = of_tree(forest[t], p.leaf_of_row, draws, row_of_rank, ranks);
        p = PendingTreeSamples{};
    });
    pending.clear();
    pending_rows.reset();
}

std::size_t LeafSamples::pending_trees() const {
    std::lock_guard<std::mutex> hold(lock.mutex);
    return static_cast<std::size_t>(
        std::count_if(pending.begin(), pending.end(),
                      [](const PendingTreeSamples& p) { return p.waiting; }));
}

void LeafSamples::check(const std::vector<Tree>& forest,
                        std::span<const std::uint64_t> sample_size) const {
    const std::size_t n = targets.size();
    if (n > kMaxRows) Reader::fail("leaf samples: too many rows");
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(targets[k])) Reader::fail("leaf samples: a target is not finite");
        if (k > 0 && targets[k] < targets[k - 1]) Reader::fail("leaf samples: targets not sorted");
    }
    if (!weights.empty() && weights.size() != n) Reader::fail("leaf samples: weight count");
    for (double w : weights) {
        if (!std::isfinite(w) || w < 0.0) Reader::fail("leaf samples: a weight is not a weight");
    }
    if (row_of_rank.size() != n) Reader::fail("leaf samples: row order size");
    std::vector<char> seen(n, 0);
    for (std::uint32_t r : row_of_rank) {
        if (r >= n || seen[r]) Reader::fail("leaf samples: row order is not a permutation");
        seen[r] = 1;
    }
    if (trees.size() != forest.size() || sample_size.size() != forest.size()) {
        Reader::fail("leaf samples do not match the trees");
    }
    // Per rank, 1 + the last tree it was seen in.
    std::vector<std::uint32_t> tree_of(n, 0);
    for (std::size_t t = 0; t < forest.size(); ++t) {
        const TreeSamples& ts = trees[t];
        const std::vector<Node>& nodes = forest[t].nodes;
        if (ts.begin.size() != nodes.size() + 1 || ts.begin[0] != 0 ||
            ts.begin.back() != ts.entries.size()) {
            Reader::fail("leaf samples do not match their tree");
        }
        std::uint64_t drawn = 0, distinct = 0;
        const auto stamp = static_cast<std::uint32_t>(t + 1);
        for (std::size_t j = 0; j < nodes.size(); ++j) {
            const std::uint32_t b = ts.begin[j], e = ts.begin[j + 1];
            if (e < b) Reader::fail("leaf samples: ranges out of order");
            if (!nodes[j].is_leaf() && e != b) Reader::fail("leaf samples at a split node");
            for (std::uint32_t i = b; i < e; ++i) {
                const std::uint32_t v = ts.entries[i];
                if (i > b && v < ts.entries[i - 1]) Reader::fail("leaf samples not ascending");
                const std::uint32_t rank = v & ~kOutOfBag;
                if (rank >= n) Reader::fail("leaf samples: rank out of range");
                const bool repeat = i > b && v == ts.entries[i - 1];
                if (repeat && (v & kOutOfBag)) Reader::fail("leaf samples: repeated out-of-bag row");
                if (tree_of[rank] == stamp && !repeat) Reader::fail("leaf samples: a row in two leaves");
                if (!repeat) ++distinct;
                tree_of[rank] = stamp;
                if (!(v & kOutOfBag)) ++drawn;
            }
        }
        if (distinct != n) Reader::fail("leaf samples: a row in no leaf");
        if (drawn != sample_size[t]) Reader::fail("leaf samples do not match the tree's sample");
    }
}

std::uint64_t floor_times(double alpha, std::uint64_t count) {
    const double c = static_cast<double>(count);
    double k = std::floor(alpha * c);
    if (k < 0.0) k = 0.0;
    // fma rounds alpha * c - k once, so its sign is the exact product's.
    while (std::fma(alpha, c, -(k + 1.0)) >= 0.0) k += 1.0;
    while (k > 0.0 && std::fma(alpha, c, -k) < 0.0) k -= 1.0;
    return static_cast<std::uint64_t>(k);
}

}  // namespace tw
