// Fitting and prediction of the two bagged forests.
#include "random_forest/random_forest.hpp"

#include <algorithm>
#include <numeric>

#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "tree/errors.hpp"
#include "tree/rng.hpp"
#include "tree/validate.hpp"

namespace tw {
namespace {

// Rows handed to one prediction task: every task walks each tree for all of
// its rows before moving to the next tree, so a tree stays in cache while it
// is used; tasks are as large as possible while still keeping every worker
// busy.
std::size_t predict_grain(std::size_t rows) {
    const std::size_t tasks = 4 * parallel::pool_size();
    return std::clamp<std::size_t>((rows + tasks - 1) / tasks, 64, 4096);
}
// Rows walked through one tree in lockstep, so that their node loads (mostly
// cache misses in deep trees) overlap instead of running one after another.
constexpr std::size_t kLockstep = 16;

// Writes the leaf index of rows [begin, end) of x (at most kLockstep) to leaf.
inline void leaves_of(const Tree& tree, const MatrixView& x, std::size_t begin, std::size_t end,
                      std::size_t* leaf) {
    // Each row walks on its own: rows of a group reach leaves at very
    // different depths in unbalanced forest trees.
    for (std::size_t j = 0; j < end - begin; ++j) leaf[j] = tree.leaf_of(x.row(begin + j));
}

TreeParams make_params(const ForestSettings& s, std::size_t n_features, bool classification) {
    TreeParams p;
    p.max_depth = s.max_depth;
    const std::uint64_t m = resolve_max_features(s.max_features, n_features);
    if (m < n_features) p.max_features = m;
    p.min_samples_split = s.min_samples_split;
    p.min_samples_leaf = s.min_samples_leaf;
    p.is_classification = classification;
    return p;
}

void check_width(const std::vector<Tree>& trees, const MatrixView& x) {
    std::uint64_t used = 0;
    for (const Tree& t : trees) used = std::max(used, t.n_features_used);
    if (x.cols < used) {
        throw ValueError("x has " + std::to_string(x.cols) +
                         " columns, but the fitted forest reads column " +
                         std::to_string(used - 1));
    }
}

void check_has_trees(const std::vector<Tree>& trees, const char* name) {
    if (trees.empty()) {
        throw ValueError(std::string(name) +
                         " has no trees (n_estimators=0), so it cannot predict");
    }
}

}  // namespace

std::vector<double> checked_fit_inputs(const MatrixView& x, Vec y,
                                       const std::optional<Vec>& sample_weight) {
    if (auto msg = validate_finite(x, y)) throw ValueError(*msg);
    if (y.size() != x.rows) {
        throw ValueError("y length (" + std::to_string(y.size()) +
                         ") does not match number of samples (" + std::to_string(x.rows) + ")");
    }
    if (sample_weight) {
        if (auto msg = validate_weights(*sample_weight, x.rows)) throw ValueError(*msg);
        return std::vector<double>(sample_weight->begin(), sample_weight->end());
    }
    return std::vector<double>(x.rows, 1.0);
}

std::vector<Tree> grow_forest(const MatrixView& x, Vec y, Vec weights, const TreeParams& params,
                              std::uint64_t n_estimators, bool bootstrap,
                              std::optional<std::uint64_t> seed) {
    const std::size_t n = x.rows;
    if (y.size() < n || weights.size() < n) throw InternalError("targets shorter than x");
    Rng forest_rng = seed_rng(seed);

    // Planning on the calling thread, tree 0 first. Instead of keeping every
    // bootstrap list, each plan keeps the generator as it stood before the
    // tree's draws; the worker replays exactly those draws. The plan's own
    // draws still run here, so the tree seeds follow the stated order.
    struct Plan {
        Rng draws;
        std::uint64_t tree_seed;
    };
    std::vector<Plan> plans;
    plans.reserve(static_cast<std::size_t>(n_estimators));
    for (std::uint64_t t = 0; t < n_estimators; ++t) {
        Plan plan{forest_rng, 0};
        if (bootstrap) {
            for (std::size_t i = 0; i < n; ++i) gen_range_u64(forest_rng, n);
        }
        plan.tree_seed = forest_rng.next_u64();
        plans.push_back(plan);
    }

    const HistogramData hist = HistogramData::build(x);
    std::vector<Tree> trees(plans.size());
    parallel::parallel_for(plans.size(), [&](std::size_t t) {
        std::vector<std::size_t> rows(n);
        if (bootstrap) {
            Rng replay = plans[t].draws;
            for (std::size_t i = 0; i < n; ++i) {
                rows[i] = static_cast<std::size_t>(gen_range_u64(replay, n));
            }
        } else {
            std::iota(rows.begin(), rows.end(), std::size_t{0});
        }
        Rng tree_rng = seed_rng(plans[t].tree_seed);
        trees[t] = build_tree_on_bootstrap(x, y, weights, rows, params, tree_rng, hist);
    });
    return trees;
}

// ---- classifier ------------------------------------------------------------

void RandomForestClassifier::fit(const MatrixView& x, Vec y,
                                 const std::optional<Vec>& sample_weight) {
    const std::vector<double> weights = checked_fit_inputs(x, y, sample_weight);
    std::vector<std::uint64_t> classes(y.size());
    std::transform(y.begin(), y.end(), classes.begin(), class_index);
    std::sort(classes.begin(), classes.end());
    classes.erase(std::unique(classes.begin(), classes.end()), classes.end());

    const TreeParams params = make_params(s_, x.cols, true);
    std::vector<Tree> trees =
        grow_forest(x, y, weights, params, s_.n_estimators, s_.bootstrap, s_.random_state);

    classes_ = std::move(classes);
    trees_ = std::move(trees);
    fitted_ = true;
}

void RandomForestClassifier::check_predictable(const MatrixView& x) const {
    if (!fitted_) throw ValueError("RandomForestClassifier has not been fitted");
    check_has_trees(trees_, "RandomForestClassifier");
    check_width(trees_, x);
}

std::vector<double> RandomForestClassifier::predict_proba(const MatrixView& x) const {
    check_predictable(x);
    const std::size_t k = n_classes();
    std::vector<double> out(x.rows * k, 0.0);
    if (k == 0) return out;
    const double n_trees = static_cast<double>(trees_.size());
    parallel::parallel_chunks(x.rows, predict_grain(x.rows), [&](std::size_t begin, std::size_t end) {
        double* acc = out.data() + begin * k;
        std::size_t leaf[kLockstep];
        for (const Tree& tree : trees_) {
            for (std::size_t r0 = begin; r0 < end; r0 += kLockstep) {
                const std::size_t r1 = std::min(end, r0 + kLockstep);
                leaves_of(tree, x, r0, r1, leaf);
                for (std::size_t r = r0; r < r1; ++r) {
                    const std::size_t node_index = leaf[r - r0];
                    if (!tree.nodes[node_index].has_class_weights) continue;
                    // The leaf's distribution: each class's share of the leaf
                    // weight (total summed in ascending class order); classes
                    // without a column still count in the total. Absent
                    // classes would add 0.0, which leaves the sums unchanged.
                    const std::span<const ClassWeight> cw = tree.leaf_weights(node_index);
                    double total = 0.0;
                    for (const ClassWeight& e : cw) total += e.weight;
                    if (!(total > 0.0)) continue;
                    double* row_acc = acc + (r - begin) * k;
                    for (const ClassWeight& e : cw) {
                        if (e.cls < k) row_acc[e.cls] += e.weight / total;
                    }
                }
            }
        }
        for (double* p = acc; p != out.data() + end * k; ++p) *p /= n_trees;
    });
    return out;
}

std::vector<double> RandomForestClassifier::predict(const MatrixView& x) const {
    const std::vector<double> proba = predict_proba(x);
    const std::size_t k = n_classes();
    std::vector<double> out(x.rows, 0.0);
    if (k < 2) return out;
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* row = proba.data() + r * k;
        std::size_t best = 0;
        double best_value = row[0];
        for (std::size_t c = 1; c < k; ++c) {
            if (row[c] >= best_value) {
                best_value = row[c];
                best = c;
            }
        }
        out[r] = static_cast<double>(best);
    }
    return out;
}

double RandomForestClassifier::score(const MatrixView& x, Vec y) const {
    const std::vector<double> pred = predict(x);
    const std::size_t m = std::min(pred.size(), y.size());
    std::size_t hits = 0;
    for (std::size_t i = 0; i < m; ++i) {
        if (class_index(pred[i]) == class_index(y[i])) ++hits;
    }
    return static_cast<double>(hits) / static_cast<double>(y.size());
}

// ---- regressor -------------------------------------------------------------

void RandomForestRegressor::fit(const MatrixView& x, Vec y,
                                const std::optional<Vec>& sample_weight) {
    const std::vector<double> weights = checked_fit_inputs(x, y, sample_weight);
    const TreeParams params = make_params(s_, x.cols, false);
    std::vector<Tree> trees =
        grow_forest(x, y, weights, params, s_.n_estimators, s_.bootstrap, s_.random_state);
    trees_ = std::move(trees);
    fitted_ = true;
}

std::vector<double> RandomForestRegressor::predict(const MatrixView& x) const {
    if (!fitted_) throw ValueError("RandomForestRegressor has not been fitted");
    check_has_trees(trees_, "RandomForestRegressor");
    check_width(trees_, x);
    std::vector<double> out(x.rows, 0.0);
    const double n_trees = static_cast<double>(trees_.size());
    parallel::parallel_chunks(x.rows, predict_grain(x.rows), [&](std::size_t begin, std::size_t end) {
        std::size_t leaf[kLockstep];
        for (const Tree& tree : trees_) {
            for (std::size_t r0 = begin; r0 < end; r0 += kLockstep) {
                const std::size_t r1 = std::min(end, r0 + kLockstep);
                leaves_of(tree, x, r0, r1, leaf);
                for (std::size_t r = r0; r < r1; ++r) out[r] += tree.nodes[leaf[r - r0]].value;
            }
        }
        for (std::size_t r = begin; r < end; ++r) out[r] /= n_trees;
    });
    return out;
}

}  // namespace tw
