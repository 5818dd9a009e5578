// Construction and fitting of the unsupervised forest.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/grow_loop.hpp"
#include "grow/grow.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

namespace {

constexpr const char* kNotFitted = "Model has not been fitted";

// Bootstrap indices, leaf groups and node indices are 32-bit; a combined
// matrix of 2n rows grows trees of fewer than 4n nodes.
constexpr std::size_t kMaxRows = std::size_t{1} << 29;

}  // namespace

RandomForestUnsupervised::RandomForestUnsupervised(UnsupervisedParams params)
    : params_(std::move(params)) {
    if (params_.n_jobs && *params_.n_jobs != 0)
        parallel::request_pool_size(static_cast<std::size_t>(*params_.n_jobs));
}

void RandomForestUnsupervised::require_fitted() const {
    if (!is_fitted_) throw ValueError(kNotFitted);
}

void RandomForestUnsupervised::require_trees() const {
    require_fitted();
    if (trees_.empty())
        throw ValueError("The forest has no trees (n_estimators=0); refit with n_estimators >= 1");
}

std::size_t RandomForestUnsupervised::n_features() const {
    require_fitted();
    return n_features_;
}

void RandomForestUnsupervised::check_new_rows(const MatrixView& x_new) const {
    require_width(x_new, columns_read_, "x_new", "the forest's splits read columns up to index",
                  n_features_);
}

void RandomForestUnsupervised::fit(const MatrixView& x) {
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    check_training_rows(x);

    const std::size_t n_trees = static_cast<std::size_t>(params_.n_estimators);
    Rng master = seed_rng(params_.random_state);
    std::vector<std::vector<std::size_t>> perms = plan_columns(master, n, p);

    // Combined matrix: the real rows, then the synthetic rows.
    const std::size_t total = 2 * n;
    std::vector<double> combined(total * p);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(x.row(i), p, combined.data() + i * p);
    for (std::size_t j = 0; j < p; ++j) {
        const auto& perm = perms[j];
        double* out = combined.data() + n * p + j;
        for (std::size_t i = 0; i < n; ++i) out[i * p] = x.at(perm[i], j);
    }
    std::vector<std::vector<std::size_t>>().swap(perms);
    std::vector<double> y(total, 0.0);
    std::fill_n(y.begin(), n, 1.0);
    const std::vector<double> w(total, 1.0);
    const MatrixView cview{combined.data(), total, p, p};

    const TreeParams tp = tree_params(params_.max_depth, params_.max_features, p,
                                      params_.min_samples_split, params_.min_samples_leaf, true);

    const HistogramData hist = HistogramData::build(cview);

    // Trees grow as soon as their plans are drawn: a plan's out-of-bag list
    // costs a pass over the rows, which overlaps the growth of earlier trees.
    ensemble::BootstrapPlanner planner(master, tree_plan_options(n));
    ensemble::GrownForest<Tree> grown = ensemble::grow_forest(
        planner, n_trees,
        [&](std::size_t, std::span<const std::size_t> sample, Rng& rng) {
            return build_tree_on_bootstrap(cview, y, w, sample, tp, rng, hist);
        },
        ensemble::Schedule::when_planned);
    std::vector<Tree> trees = std::move(grown.results);
    std::vector<std::vector<std::uint32_t>> oob_sets(n_trees);
    for (std::size_t t = 0; t < n_trees; ++t) oob_sets[t] = std::move(grown.plans[t].oob);

    install(x, std::move(trees), std::move(oob_sets));
}

void RandomForestUnsupervised::check_training_rows(const MatrixView& x) const {
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    if (n == 0 || p == 0)
        throw ValueError("X must have at least one row and one column (got " + std::to_string(n) +
                         " rows and " + std::to_string(p) + " columns)");
    if (n > kMaxRows)
        throw ValueError("X has " + std::to_string(n) + " rows; at most " +
                         std::to_string(kMaxRows) + " are supported");
    if (auto message = validate_features(x, Refuse::nan)) throw ValueError(*message);
}

void RandomForestUnsupervised::install(const MatrixView& x, std::vector<Tree> trees,
                                       std::vector<std::vector<std::uint32_t>> oob_sets) {
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    std::uint64_t columns_read = 0;
    for (const Tree& tree : trees) columns_read = std::max(columns_read, tree.n_features_used);

    std::vector<double> training(n * p);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(x.row(i), p, training.data() + i * p);

    // Everything that can fail has run; install the new model.
    std::lock_guard<std::mutex> lock(groups_mutex_);
    trees_ = std::move(trees);
    oob_sets_ = std::move(oob_sets);
    training_ = std::move(training);
    n_samples_ = n;
    n_features_ = p;
    columns_read_ = columns_read;
    sparse_cache_.reset();
    groups_.reset();
    is_fitted_ = true;
}

}  // namespace tw
