// Analyses of a fitted forest's trees: leaf indices, decision paths, node
// totals, replayed samples and impurity importances.
#include <algorithm>
#include <string>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/bootstrap.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"

namespace tw {
namespace {

void check_rows_width(const std::vector<Tree>& trees, const MatrixView& x) {
    std::uint64_t used = 0;
    for (const Tree& t : trees) used = std::max(used, t.n_features_used);
    require_width(x, used, "x", "the fitted forest reads column");
}

}  // namespace

void ForestCore::check_fitted_trees() const {
    const std::string name(name_);
    if (!fitted_) throw ValueError(name + " has not been fitted");
    if (trees_.empty()) throw ValueError(name + " has no trees (n_estimators=0)");
}

std::span<const double> ForestCore::leaf_weight(std::size_t t) const {
    if (!record_ || t >= record_->leaf_weight.size()) return {};
    return record_->leaf_weight[t];
}

void ForestCore::check_rows(const MatrixView& x) const { check_rows_width(trees_, x); }

std::vector<std::uint32_t> ForestCore::apply(const MatrixView& x) const {
    check_fitted_trees();
    check_rows_width(trees_, x);
    const std::size_t T = trees_.size();
    std::vector<std::uint32_t> out(x.rows * T, 0);
    parallel::parallel_for(T, [&](std::size_t t) {
        trees_[t].walk_rows(x.rows, [&](std::size_t r) { return x.row(r); },
                            [&](std::size_t r, std::uint32_t leaf) { out[r * T + t] = leaf; });
    });
    return out;
}

DecisionPaths ForestCore::decision_path(const MatrixView& x) const {
    const std::vector<std::uint32_t> leaves = apply(x);
    const std::size_t T = trees_.size();
    DecisionPaths out;
    out.offsets.assign(1, 0);
    std::vector<std::vector<std::uint32_t>> depth(T);
    for (std::size_t t = 0; t < T; ++t) {
        const std::vector<Node>& nodes = trees_[t].nodes;
        out.offsets.push_back(out.offsets.back() + nodes.size());
        std::vector<std::uint32_t>& d = depth[t];
        d.assign(nodes.size(), 0);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].is_leaf()) continue;
            d[nodes[i].left] = d[i] + 1;
            d[nodes[i].right] = d[i] + 1;
        }
    }
    out.row_begin.assign(x.rows + 1, 0);
    for (std::size_t r = 0; r < x.rows; ++r) {
        std::uint64_t len = 0;
        for (std::size_t t = 0; t < T; ++t) len += depth[t][leaves[r * T + t]] + 1;
        out.row_begin[r + 1] = out.row_begin[r] + len;
    }
    out.columns.resize(out.row_begin.back());
    // Each row descends every tree again, writing the nodes it passes (in
    // pre-order they ascend from the root down).
    parallel::parallel_chunks(x.rows, 256, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            std::uint64_t* col = out.columns.data() + out.row_begin[r];
            const double* row = x.row(r);
            for (std::size_t t = 0; t < T; ++t) {
                const Tree& tree = trees_[t];
                const Node* nodes = tree.nodes.data();
                std::uint32_t i = 0;
                for (;;) {
                    *col++ = out.offsets[t] + i;
                    if (nodes[i].is_leaf()) break;
                    i = tree.goes_left_at(nodes[i], row) ? nodes[i].left : nodes[i].right;
                }
            }
        }
    });
    return out;
}

std::vector<std::size_t> ForestCore::sample_indices(std::size_t t) const {
    check_fitted_trees();
    if (!record_) {
        throw ValueError(std::string(name_) + " was fitted without a fit record (saved by an " +
                         "earlier release), so its samples are unknown");
    }
    if (record_->mixed) {
        throw ValueError("the trees were grown on different training data (warm_start), so " +
                         std::string("their samples do not index one data set"));
    }
    if (t >= trees_.size()) throw ValueError("tree index out of range");
    std::vector<std::size_t> sample;
    replay_sample(t, sample);
    return sample;
}

void ForestCore::replay_sample(std::size_t t, std::vector<std::size_t>& out) const {
    const TreeDraws& d = record_->draws.at(t);
    ensemble::replay_sample(d.draws,
                            {static_cast<std::size_t>(record_->rows), d.positions != 0, 0, false,
                             static_cast<std::size_t>(d.positions)},
                            out);
}

void ForestCore::draw_counts(std::size_t t, std::vector<std::uint32_t>& counts) const {
    std::vector<std::size_t> sample;
    replay_sample(t, sample);
    ensemble::count_draws(sample, static_cast<std::size_t>(record_->rows), counts);
}

void ForestCore::build_leaf_samples() const {
    record_->samples->build(
        trees_, [this](std::size_t t, std::vector<std::uint32_t>& counts) { draw_counts(t, counts); },
        [this](std::size_t t) { return packed_.coded_on_edges() ? packed_.coded_tree(t) : nullptr; });
}

NodeTotals ForestCore::tree_totals(std::size_t t) const {
    check_fitted_trees();
    if (t >= trees_.size()) throw ValueError("tree index out of range");
    return node_totals(trees_[t], width_, leaf_weight(t));
}

std::vector<double> ForestCore::feature_importances(std::size_t n_features) const {
    check_fitted_trees();
    std::uint64_t used = 0;
    for (const Tree& t : trees_) used = std::max(used, t.n_features_used);
    if (n_features < used) {
        throw ValueError("n_features (" + std::to_string(n_features) +
                         ") is below the columns the forest reads (" + std::to_string(used) + ")");
    }
    if (record_ && n_features != record_->cols) {
        throw ValueError("n_features (" + std::to_string(n_features) + ") is not the " +
                         std::to_string(record_->cols) + " columns the forest was fitted on");
    }
    if (n_features > (std::size_t{1} << 26)) throw ValueError("n_features is too large");
    // Per tree only the columns some split reads; the rest stay 0.
    const std::size_t T = trees_.size();
    std::vector<std::vector<double>> per_tree(T);
    // A tree without a split takes no part in the mean.
    parallel::parallel_for(T, [&](std::size_t t) {
        per_tree[t] = normalised_decreases(trees_[t], width_, leaf_weight(t), used, criterion_);
    });
    std::vector<double> out(n_features, 0.0);
    std::size_t splitting = 0;
    for (const std::vector<double>& v : per_tree) {
        if (v.empty()) continue;
        ++splitting;
        for (std::size_t f = 0; f < v.size(); ++f) out[f] += v[f];
    }
    if (splitting == 0) return out;
    double total = 0.0;
    for (double& v : out) {
        v /= static_cast<double>(splitting);
        total += v;
    }
    if (total > 0.0) {
        for (double& v : out) v /= total;
    }
    return out;
}

}  // namespace tw
