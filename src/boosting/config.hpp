// Configuration shared by the boosted-forest ensembles and the growth
// settings they hand to the tree engine.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>
#include <string>

#include "grow/grow.hpp"
#include "histogram/histogram.hpp"

namespace tw::boosting {

struct BoostConfig {
    std::uint64_t n_estimators = 20;
    double learning_rate = 0.1;
    std::uint64_t rf_n_estimators = 20;
    std::optional<std::uint64_t> rf_max_depth;
    std::optional<std::string> rf_max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    bool use_histogram = true;
    bool async_mode = false;
    double tol = 1e-4;
    std::optional<std::uint64_t> n_jobs;  // kept, not read after construction
};

// Options of fits through the package door, kept with the model; the
// defaults fit exactly what the `_rs` classes fit.
struct BoostOptions {
    // Leaf limit of every internal tree, grown best first (histogram grower).
    std::optional<std::uint64_t> max_leaf_nodes;
    // Early stopping (boosting/early_stop.hpp): this share of the fit's rows
    // is held out, and the rounds stop once n_iter_no_change rounds in a row
    // have not lowered the held rows' loss; 0 grows every round.
    double validation_fraction = 0.0;
    std::uint64_t n_iter_no_change = 10;
    // Regressor: keep the model grown on the rows left after calibration
    // (one pass) instead of growing it again on every row.
    bool keep_calibrated = false;
    // x may hold missing values (NaN), and every split of the internal
    // trees gets a missing side (grow/grow.hpp). A setting of the fit only:
    // saved states keep the sides the rows taught, and loading through the
    // package door gives the other splits their defaults again.
    bool missing_values = false;
    // Internal trees grown with the faster arithmetic
    // (TreeParams::fast_growth); a setting of the fit, like missing_values.
    bool fast_growth = false;
    // Per column, 0 or its number of categories (core/validate.hpp,
    // check_categories); a setting of the fit, like missing_values.
    std::vector<std::uint16_t> categories;
    // How the histogram rounds bin the columns; also a setting of the fit.
    BinSettings bins;

    bool is_default() const {
        return !max_leaf_nodes && validation_fraction == 0.0 && n_iter_no_change == 10 &&
               !keep_calibrated;
    }
};

// Regression-tree settings for every internal tree of a fit on p columns:
// feature subsampling only when the resolved count is below p.
TreeParams make_tree_params(const BoostConfig& config, std::size_t n_features);
TreeParams make_tree_params(const BoostConfig& config, const BoostOptions& options,
                            std::size_t n_features);

// Minimum number of counted trees before a streaming round may stop.
inline std::size_t min_check_count(std::uint64_t rf_n_estimators) {
    const std::uint64_t half = rf_n_estimators / 2;
    return static_cast<std::size_t>(half > 3 ? half : 3);
}

// Requests a pool of exactly n_jobs threads; absent or 0 does nothing, and a
// request after the pool exists is silently ignored.
void set_thread_pool(std::optional<std::uint64_t> n_jobs);

// Float to count with truncation toward zero: NaN and negatives give 0, values
// beyond the 64-bit range saturate.
std::uint64_t trunc_to_count(double v);

// Rejects configurations that cannot produce a model (before any state changes).
void check_config_for_fit(const BoostConfig& config);
void check_options(const BoostOptions& options);

}  // namespace tw::boosting
