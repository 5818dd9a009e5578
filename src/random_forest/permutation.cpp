// Out-of-bag permutation importance: each tree scores its own out-of-bag
// rows, then the same rows with one feature's values permuted among them;
// the drop of the score, averaged over the trees, is the feature's
// importance in one repeat.
//
// Trees run in parallel. Every tree draws its permutations from a generator
// of its own, seeded by the tree's entry of a seed list drawn in tree order
// from the call's seed, features ascending and repeats in order within a
// tree; so the result does not depend on the thread count. Features a tree
// never splits on cannot change its predictions: their drop is 0 and they
// draw nothing. The rows of a tree are copied once into a scratch block in
// which one column at a time is permuted and put back.
#include <numeric>
#include <string>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/bootstrap.hpp"
#include "ensemble/in_order.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"
#include "tree/walk.hpp"

namespace tw {
namespace {

using u32 = std::uint32_t;

// Score of one tree's predictions of the scratch rows: hits (classifier) or
// the sum of squared errors (regressor).
double tree_score(const std::vector<PackedNode>& nodes, const Tree& tree, const double* rows,
                  std::size_t p, std::span<const u32> oob, Vec y, bool classification) {
    double score = 0.0;
    const Node* nd = tree.nodes.data();
    walk_lanes(nodes.data(), oob.size(), [&](std::size_t k) { return rows + k * p; },
               [&](std::size_t k, u32 leaf) {
                   const double target = y[oob[k]];
                   if (classification) {
                       score += class_index(nd[leaf].value) == class_index(target) ? 1.0 : 0.0;
                   } else {
                       const double e = target - nd[leaf].value;
                       score += e * e;
                   }
               });
    return score;
}

}  // namespace

PermutationImportance ForestCore::oob_permutation_importance(const MatrixView& x, Vec y,
                                                             std::size_t repeats,
                                                             std::optional<std::uint64_t> seed) const {
    check_fitted_trees();
    const std::string name(name_);
    if (!record_) {
        throw ValueError(name + " was fitted without a fit record (saved by an earlier " +
                         "release), so its out-of-bag rows are unknown");
    }
    if (record_->mixed) {
        throw ValueError("the trees were grown on different training data (warm_start), so " +
                         std::string("they share no out-of-bag rows"));
    }
    if (x.rows != record_->rows || x.cols != record_->cols || y.size() != x.rows ||
        forest_data_hash(x, y) != record_->data_hash) {
        throw ValueError("x and y must be the training data of the last fit");
    }
    if (repeats < 1) throw ValueError("n_repeats must be at least 1");
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    const std::size_t T = trees_.size();
    // Each tree's drops (p x repeats) are held until folded in tree order.
    if (repeats > (std::size_t{1} << 20) || (p != 0 && repeats > (std::size_t{1} << 24) / p)) {
        throw ValueError("n_repeats is too large: n_features * n_repeats must be at most 2^24");
    }

    // Regression drops are in units of the variance of all training targets,
    // so that they read as drops of R^2.
    double scale = 1.0;
    if (!classification_ && n > 0) {
        double mean = 0.0;
        for (double v : y) mean += v;
        mean /= static_cast<double>(n);
        double var = 0.0;
        for (double v : y) var += (v - mean) * (v - mean);
        var /= static_cast<double>(n);
        if (var > 0.0) scale = var;
    }

    Rng master = seed_rng(seed);
    std::vector<std::uint64_t> seeds(T);
    for (std::uint64_t& s : seeds) s = master.next_u64();

    PermutationImportance result;
    result.repeats = repeats;
    result.drops.assign(p * repeats, 0.0);
    std::size_t counted = 0;
    // A tree's drops, p x repeats; empty for a tree without out-of-bag rows,
    // which takes no part in the mean.
    ensemble::InOrderFold<std::vector<double>> fold(0, T);
    auto add = [&](const std::vector<double>& v) {
        if (v.empty()) return;
        ++counted;
        for (std::size_t j = 0; j < v.size(); ++j) result.drops[j] += v[j];
    };
    parallel::parallel_for(T, [&](std::size_t t) {
        std::vector<std::size_t> sample;
        replay_sample(t, sample);
        std::vector<u32> counts;
        ensemble::count_draws(sample, n, counts);
        std::vector<u32> oob;
        for (std::size_t r = 0; r < n; ++r) {
            if (counts[r] == 0) oob.push_back(static_cast<u32>(r));
        }
        if (oob.empty()) {
            fold.submit(t, {}, add);
            return;
        }
        std::vector<double> out(p * repeats, 0.0);
        const Tree& tree = trees_[t];
        std::vector<char> uses(p, 0);
        for (const Node& nd : tree.nodes) {
            if (!nd.is_leaf()) uses[nd.feature] = 1;
        }
        std::vector<PackedNode> nodes;
        if (tree.nodes.size() == 1 || !tree.direct_form(nodes)) {
            // A single leaf uses no feature; other trees are in pre-order.
            if (tree.nodes.size() != 1) throw InternalError("tree nodes are not in pre-order");
            fold.submit(t, std::move(out), add);
            return;
        }
        const std::size_t m = oob.size();
        std::vector<double> rows(m * p);
        for (std::size_t k = 0; k < m; ++k) {
            const double* src = x.row(oob[k]);
            std::copy(src, src + p, rows.data() + k * p);
        }
        const double base = tree_score(nodes, tree, rows.data(), p, oob, y, classification_);
        Rng rng = seed_rng(seeds[t]);
        std::vector<u32> perm(m);
        const double per_row = 1.0 / static_cast<double>(m);
        for (std::size_t f = 0; f < p; ++f) {
            if (!uses[f]) continue;
            for (std::size_t r = 0; r < repeats; ++r) {
                std::iota(perm.begin(), perm.end(), u32{0});
                shuffle(rng, std::span<u32>(perm));
                for (std::size_t k = 0; k < m; ++k) rows[k * p + f] = x.at(oob[perm[k]], f);
                const double score =
                    tree_score(nodes, tree, rows.data(), p, oob, y, classification_);
                out[f * repeats + r] = classification_ ? (base - score) * per_row
                                                       : (score - base) * per_row / scale;
            }
            for (std::size_t k = 0; k < m; ++k) rows[k * p + f] = x.at(oob[k], f);
        }
        fold.submit(t, std::move(out), add);
    });
    if (counted > 0) {
        for (double& v : result.drops) v /= static_cast<double>(counted);
    }
    return result;
}

}  // namespace tw
