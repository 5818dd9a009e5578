#include "boosting/config.hpp"

#include <cmath>
#include <limits>

#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "core/validate.hpp"

namespace tw::boosting {

TreeParams make_tree_params(const BoostConfig& config, std::size_t n_features) {
    return tree_params(config.rf_max_depth, config.rf_max_features, n_features,
                       config.min_samples_split, config.min_samples_leaf, false);
}

TreeParams make_tree_params(const BoostConfig& config, const BoostOptions& options,
                            std::size_t n_features) {
    TreeParams params = make_tree_params(config, n_features);
    if (config.use_histogram) params.max_leaf_nodes = options.max_leaf_nodes;
    params.missing_defaults = options.missing_values;
    params.fast_growth = options.fast_growth;
    params.categories = options.categories;
    return params;
}

void check_options(const BoostOptions& options) {
    if (options.max_leaf_nodes && *options.max_leaf_nodes < 2) {
        throw ValueError("max_leaf_nodes must be at least 2");
    }
    if (!(options.validation_fraction >= 0.0 && options.validation_fraction < 1.0)) {
        throw ValueError("validation_fraction must be in [0, 1)");
    }
    if (options.n_iter_no_change < 1) throw ValueError("n_iter_no_change must be at least 1");
}

void set_thread_pool(std::optional<std::uint64_t> n_jobs) {
    if (!n_jobs || *n_jobs == 0) return;
    tw::parallel::request_pool_size(static_cast<std::size_t>(*n_jobs));
}

std::uint64_t trunc_to_count(double v) {
    if (!(v >= 1.0)) return 0;  // NaN, negatives and [0, 1)
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

void check_config_for_fit(const BoostConfig& config) {
    if (config.rf_n_estimators == 0) {
        throw ValueError("rf_n_estimators must be at least 1 to fit a model");
    }
}

}  // namespace tw::boosting
