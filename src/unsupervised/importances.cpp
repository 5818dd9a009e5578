// Permutation importances: how much permuting one feature across the training
// rows lowers the share of out-of-bag (real) rows that each tree still
// recognises as real.
#include <algorithm>
#include <numeric>

#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

namespace {

// Share of the out-of-bag rows `oob` that `tree` calls real (leaf value above
// 0.5), the rows read from the row-major n x p matrix `x`. The rows descend
// the fitted nodes in lanes: these walks are short (one tree's out-of-bag
// rows), so a compact copy of the nodes would not pay for itself.
double real_share(const Tree& tree, const std::vector<std::uint32_t>& oob, const double* x,
                  std::size_t p) {
    std::size_t real = 0;
    const Node* nodes = tree.nodes.data();
    walk_lanes(nodes, oob.size(), [&](std::size_t k) { return x + oob[k] * p; },
               [&](std::size_t, std::uint32_t leaf) { real += nodes[leaf].value > 0.5 ? 1 : 0; });
    return static_cast<double>(real) / static_cast<double>(oob.size());
}

}  // namespace

std::vector<double> RandomForestUnsupervised::feature_importances() const {
    require_trees();
    const std::size_t T = trees_.size();
    const std::size_t n = n_samples_;
    const std::size_t p = n_features_;
    const double trees = static_cast<double>(T);

    // Features each tree splits on: permuting any other feature cannot change
    // its predictions, so its permuted accuracy is its baseline accuracy.
    std::vector<std::vector<char>> uses(T, std::vector<char>(p, 0));
    std::vector<double> base(T, 0.0);
    parallel::parallel_for(T, [&](std::size_t t) {
        const Tree& tree = trees_[t];
        for (const Node& nd : tree.nodes)
            if (!nd.is_leaf()) uses[t][nd.feature] = 1;
        const auto& oob = oob_sets_[t];
        if (oob.empty()) return;
        base[t] = real_share(tree, oob, training_.data(), p);
    });
    double base_sum = 0.0;
    for (double a : base) base_sum += a;
    const double baseline = base_sum / trees;

    // Feature f permuted: row i of `permuted` is training row i with column f
    // taken from training row perm[i]. The column is put back afterwards.
    Rng rng = seed_rng(params_.random_state);
    std::vector<double> imp(p, 0.0);
    std::vector<std::size_t> perm(n);
    std::vector<double> acc(T, 0.0);
    std::vector<double> permuted(training_);
    for (std::size_t f = 0; f < p; ++f) {
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(rng, std::span<std::size_t>(perm));
        for (std::size_t i = 0; i < n; ++i) permuted[i * p + f] = training_[perm[i] * p + f];
        parallel::parallel_for(T, [&](std::size_t t) {
            const auto& oob = oob_sets_[t];
            if (!uses[t][f] || oob.empty()) {
                acc[t] = base[t];
                return;
            }
            acc[t] = real_share(trees_[t], oob, permuted.data(), p);
        });
        for (std::size_t i = 0; i < n; ++i) permuted[i * p + f] = training_[i * p + f];
        double sum = 0.0;
        for (double a : acc) sum += a;
        imp[f] = baseline - sum / trees;
    }

    double total = 0.0;
    for (double v : imp) total += std::max(v, 0.0);
    if (total > 0.0)
        for (double& v : imp) v = std::max(v, 0.0) / total;
    return imp;
}

}  // namespace tw
