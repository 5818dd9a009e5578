// Fitting and prediction of the two bagged forests.
#include "random_forest/random_forest.hpp"

#include <algorithm>

#include "ensemble/bootstrap.hpp"
#include "ensemble/grow_loop.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "core/rng.hpp"
#include "core/validate.hpp"

namespace tw {
namespace {

// Rows handed to one prediction task. A task walks every tree over all of
// its rows before moving to the next tree, so each tree is fetched once per
// task. When trees fit in a core's cache beside a block of rows, tasks are as
// large as that block allows (rows encoded at about one byte per feature,
// plus their sums), with at least two tasks per worker; larger trees stream
// from memory whatever the block, so then each worker takes one task and
// reads each tree once.
std::size_t predict_grain(std::size_t rows, std::size_t cols, std::size_t sums_per_row,
                          std::size_t tree_bytes) {
    constexpr std::size_t kCacheBytes = 384 * 1024;
    const std::size_t workers = parallel::pool_size();
    if (tree_bytes > kCacheBytes) return std::max<std::size_t>((rows + workers - 1) / workers, 64);
    const std::size_t row_bytes = cols + 8 * sums_per_row + 8;
    const std::size_t fit = std::max<std::size_t>(kCacheBytes / row_bytes, 64);
    const std::size_t tasks = std::max((rows + fit - 1) / fit, 2 * workers);
    return std::max<std::size_t>((rows + tasks - 1) / tasks, 64);
}

TreeParams make_params(const ForestSettings& s, std::size_t n_features, bool classification) {
    return tree_params(s.max_depth, s.max_features, n_features, s.min_samples_split,
                       s.min_samples_leaf, classification);
}

void check_width(const std::vector<Tree>& trees, const MatrixView& x) {
    std::uint64_t used = 0;
    for (const Tree& t : trees) used = std::max(used, t.n_features_used);
    require_width(x, used, "x", "the fitted forest reads column");
}

void check_has_trees(const std::vector<Tree>& trees, const char* name) {
    if (trees.empty()) {
        throw ValueError(std::string(name) +
                         " has no trees (n_estimators=0), so it cannot predict");
    }
}

}  // namespace

std::vector<Tree> grow_forest(const MatrixView& x, Vec y, Vec weights, const TreeParams& params,
                              std::uint64_t n_estimators, bool bootstrap,
                              std::optional<std::uint64_t> seed) {
    if (y.size() < x.rows || weights.size() < x.rows) throw InternalError("targets shorter than x");
    Rng forest_rng = seed_rng(seed);
    ensemble::BootstrapPlanner planner(forest_rng, {x.rows, bootstrap, 0});
    const HistogramData hist = HistogramData::build(x);
    return ensemble::grow_forest(planner, static_cast<std::size_t>(n_estimators),
                                 [&](std::size_t, std::span<const std::size_t> sample, Rng& rng) {
                                     return build_tree_on_bootstrap(x, y, weights, sample, params,
                                                                    rng, hist);
                                 },
                                 ensemble::Schedule::when_planned)
        .results;
}

// ---- classifier ------------------------------------------------------------

void RandomForestClassifier::fit(const MatrixView& x, Vec y,
                                 const std::optional<Vec>& sample_weight,
                                 const FitOptions& options) {
    const std::vector<double> weights = checked_fit_inputs(
        x, y, sample_weight, options.missing_values ? Refuse::infinite : Refuse::non_finite);
    check_categories(x, options.categories);
    std::vector<std::uint64_t> classes = distinct_classes(y);
    if (options.record) {
        const auto* previous = static_cast<const RandomForestClassifier*>(options.warm_start);
        if (previous && previous->fitted_ && previous->classes_ &&
            *previous->classes_ != classes) {
            throw ValueError("warm_start needs the classes of the fitted forest; y has other "
                             "classes");
        }
        fit_recorded(x, y, weights, classes, options);
        classes_ = std::move(classes);
        return;
    }

    const TreeParams params = make_params(s_, x.cols, true);
    std::vector<Tree> trees =
        grow_forest(x, y, weights, params, s_.n_estimators, s_.bootstrap, s_.random_state);

    PackedForest packed = PackedForest::shares(trees, classes.size());
    width_ = classes.size();
    classes_ = std::move(classes);
    trees_ = std::move(trees);
    packed_ = std::move(packed);
    record_.reset();
    oob_ = OobPredictions{};
    criterion_ = split::Criterion::kGini;
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
    parallel::parallel_chunks(x.rows, predict_grain(x.rows, x.cols, k, packed_.bytes_per_tree()), [&](std::size_t begin, std::size_t end) {
        double* acc = out.data() + begin * k;
        packed_.add_shares(x, begin, end, trees_, acc);
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
                                const std::optional<Vec>& sample_weight,
                                const FitOptions& options) {
    const std::vector<double> weights = checked_fit_inputs(
        x, y, sample_weight, options.missing_values ? Refuse::infinite : Refuse::non_finite);
    check_categories(x, options.categories);
    if (options.record) {
        fit_recorded(x, y, weights, {}, options);
        return;
    }
    const TreeParams params = make_params(s_, x.cols, false);
    std::vector<Tree> trees =
        grow_forest(x, y, weights, params, s_.n_estimators, s_.bootstrap, s_.random_state);
    PackedForest packed = PackedForest::values(trees);
    trees_ = std::move(trees);
    packed_ = std::move(packed);
    record_.reset();
    oob_ = OobPredictions{};
    criterion_ = split::Criterion::kGini;
    fitted_ = true;
}

std::vector<double> RandomForestRegressor::predict(const MatrixView& x) const {
    if (!fitted_) throw ValueError("RandomForestRegressor has not been fitted");
    check_has_trees(trees_, "RandomForestRegressor");
    check_width(trees_, x);
    std::vector<double> out(x.rows, 0.0);
    const double n_trees = static_cast<double>(trees_.size());
    parallel::parallel_chunks(x.rows, predict_grain(x.rows, x.cols, 1, packed_.bytes_per_tree()), [&](std::size_t begin, std::size_t end) {
        packed_.add_values(x, begin, end, trees_, out.data() + begin);
        for (std::size_t r = begin; r < end; ++r) out[r] /= n_trees;
    });
    return out;
}

}  // namespace tw
