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

// Leaf value of `row` with feature f read as `value` instead.
double predict_with(const Tree& tree, const double* row, std::uint64_t f, double value) {
    const Node* nodes = tree.nodes.data();
    std::size_t i = 0;
    while (nodes[i].left != 0) {
        const Node& nd = nodes[i];
        const double x = nd.feature == f ? value : row[nd.feature];
        i = x <= nd.threshold ? nd.left : nd.right;
    }
    return nodes[i].value;
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
        std::size_t real = 0;
        for (std::uint32_t i : oob)
            if (tree.predict(train_row(i)) > 0.5) ++real;
        base[t] = static_cast<double>(real) / static_cast<double>(oob.size());
    });
    double base_sum = 0.0;
    for (double a : base) base_sum += a;
    const double baseline = base_sum / trees;

    Rng rng = seed_rng(params_.random_state);
    std::vector<double> imp(p, 0.0);
    std::vector<std::size_t> perm(n);
    std::vector<double> acc(T, 0.0);
    for (std::size_t f = 0; f < p; ++f) {
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(rng, std::span<std::size_t>(perm));
        parallel::parallel_for(T, [&](std::size_t t) {
            const auto& oob = oob_sets_[t];
            if (!uses[t][f] || oob.empty()) {
                acc[t] = base[t];
                return;
            }
            const Tree& tree = trees_[t];
            std::size_t real = 0;
            for (std::uint32_t i : oob) {
                const double v = training_[perm[i] * p + f];
                if (predict_with(tree, train_row(i), f, v) > 0.5) ++real;
            }
            acc[t] = static_cast<double>(real) / static_cast<double>(oob.size());
        });
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
