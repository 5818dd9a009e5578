// Walking rows through the prediction copies of a forest: rows coded per
// feature, the lanes over each tree, the leaves' payloads added in tree order.
#include "tree/packed.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/errors.hpp"

namespace tw {

// Codes of rows 0 .. count-1, row_at(i) giving row i: byte f of a row is
// the number of feature f's thresholds below the value (all of them for NaN).
template <class RowAt>
void PackedForest::encode_rows(std::size_t count, RowAt&& row_at,
                               std::vector<std::uint8_t>& codes) const {
    const std::size_t w = n_cols_;
    codes.assign(count * w, 0);
    // Feature by feature, so a feature's thresholds stay in the first-level
    // cache and the searches of different rows overlap.
    for (std::size_t f = 0; f < w; ++f) {
        const double* c = cuts_.data() + cut_begin_[f];
        const std::size_t n = cut_begin_[f + 1] - cut_begin_[f];
        if (n == 0) continue;
        std::uint8_t* out = codes.data() + f;
        for (std::size_t i = 0; i < count; ++i) {
            const double v = row_at(i)[f];
            out[i * w] = static_cast<std::uint8_t>(v == v ? below_count(c, n, v) : n);
        }
    }
}

void PackedForest::encode(const MatrixView& x, std::size_t begin, std::size_t end,
                          std::vector<std::uint8_t>& codes) const {
    encode_rows(end - begin, [&](std::size_t i) { return x.row(begin + i); }, codes);
}

void PackedForest::encode_listed(const MatrixView& x, std::span<const std::uint32_t> rows,
                                 std::vector<std::uint8_t>& codes) const {
    if (!coded_) throw InternalError("forest not coded");
    if (x.cols < n_cols_) throw InternalError("rows narrower than the forest");
    for (std::uint32_t r : rows) {
        if (r >= x.rows) throw InternalError("row out of range");
    }
    encode_rows(rows.size(), [&](std::size_t i) { return x.row(rows[i]); }, codes);
}

// Calls emit(t, r, leaf) for every tree t in order and rows [begin, end) of
// x, leaf being the tree-local node index row r reaches.
template <class Emit>
void PackedForest::walk(const MatrixView& x, std::size_t begin, std::size_t end,
                        std::span<const Tree> trees, Emit&& emit) const {
    if (begin >= end) return;
    if (x.cols < n_cols_) throw InternalError("rows narrower than the forest");
    const std::size_t count = end - begin;
    if (!category_.nodes.empty()) {
        for (std::size_t t = 0; t < n_trees(); ++t) {
            auto at_leaf = [&](std::size_t i, std::uint32_t leaf) { emit(t, begin + i, leaf); };
            if (tree_begin_[t + 1] - tree_begin_[t] == 1) {
                for (std::size_t i = 0; i < count; ++i) at_leaf(i, 0u);  // reads no column
                continue;
            }
            walk_lanes<RowPrefetch::next_group>(category_.nodes.data() + tree_begin_[t], count,
                                                [&](std::size_t i) { return x.row(begin + i); },
                                                at_leaf);
        }
        return;
    }
    if (missing_ && x.has_missing(begin, end, n_cols_)) {
        if (trees.size() != n_trees()) throw InternalError("forest not packed from these trees");
        for (std::size_t t = 0; t < n_trees(); ++t) {
            trees[t].walk_rows(count, [&](std::size_t i) { return x.row(begin + i); },
                               [&](std::size_t i, std::uint32_t leaf) { emit(t, begin + i, leaf); });
        }
        return;
    }
    std::vector<std::uint8_t> codes;
    if (coded_) encode(x, begin, end, codes);
    for (std::size_t t = 0; t < n_trees(); ++t) {
        const std::size_t size = tree_begin_[t + 1] - tree_begin_[t];
        if (size == 1) {
            // A single leaf reads no column (x may have none).
            for (std::size_t i = 0; i < count; ++i) emit(t, begin + i, 0u);
            continue;
        }
        auto at_leaf = [&](std::size_t i, std::uint32_t leaf) { emit(t, begin + i, leaf); };
        if (coded_) {
            const std::uint8_t* base = codes.data();
            const std::size_t w = n_cols_;
            walk_lanes(coded_nodes_[t].data(), count,
                       [&](std::size_t i) { return base + i * w; }, at_leaf);
        } else {
            if (nodes_.size() != tree_begin_.back()) throw InternalError("forest not packed");
            walk_lanes<RowPrefetch::next_group>(nodes_.data() + tree_begin_[t], count,
                                                [&](std::size_t i) { return x.row(begin + i); },
                                                at_leaf);
        }
    }
}

void PackedForest::add_values(const MatrixView& x, std::size_t begin, std::size_t end,
                              std::span<const Tree> trees, double* acc) const {
    walk(x, begin, end, trees, [&](std::size_t t, std::size_t r, std::uint32_t leaf) {
        acc[r - begin] += value_[t][leaf];
    });
}

void PackedForest::add_shares(const MatrixView& x, std::size_t begin, std::size_t end,
                              std::span<const Tree> trees, double* acc) const {
    const std::size_t k = n_classes_;
    if (k == 0) return;
    walk(x, begin, end, trees, [&](std::size_t t, std::size_t r, std::uint32_t leaf) {
        const std::size_t node = tree_begin_[t] + leaf;
        double* row_acc = acc + (r - begin) * k;
        if (coded_ && coded_nodes_[t][leaf].rank < -1) {
            // A pure leaf: share 1.0 of one class, nothing for the others.
            row_acc[-2 - coded_nodes_[t][leaf].rank] += 1.0;
        } else if (dense_shares_) {
            const double* d = dense_.data() + node * k;
            for (std::size_t c = 0; c < k; ++c) row_acc[c] += d[c];
        } else {
            const std::uint32_t* first = share_begin_[t].data() + leaf;
            const Share* entries = shares_[t].data();
            for (std::uint32_t s = first[0]; s < first[1]; ++s) {
                row_acc[entries[s].cls] += entries[s].share;
            }
        }
    });
}

void PackedForest::add_group_means(const MatrixView& x, std::size_t begin, std::size_t end,
                                   std::span<const std::size_t> group_end, double scale,
                                   std::size_t outputs, std::span<const Tree> trees,
                                   double* out) const {
    if (begin >= end || group_end.empty() || outputs == 0) return;
    if (group_end.back() != n_trees()) throw InternalError("tree groups do not cover the forest");
    const std::size_t count = end - begin;
    std::vector<double> sums(count, 0.0);
    std::size_t group = 0;
    // Adds the finished groups up to (not including) the one holding tree t.
    const auto fold_before = [&](std::size_t t) {
        while (group < group_end.size() && group_end[group] <= t) {
            const std::size_t first = group == 0 ? 0 : group_end[group - 1];
            const double size = static_cast<double>(group_end[group] - first);
            const std::size_t column = group % outputs;
            for (std::size_t i = 0; i < count; ++i) {
                out[i * outputs + column] += scale * (sums[i] / size);
                sums[i] = 0.0;
            }
            ++group;
        }
    };
    fold_before(0);  // leading empty groups
    std::size_t current = 0;
    walk(x, begin, end, trees, [&](std::size_t t, std::size_t r, std::uint32_t leaf) {
        if (t != current) {
            current = t;
            fold_before(t);
        }
        sums[r - begin] += value_[t][leaf];
    });
    fold_before(n_trees());
}

}  // namespace tw
