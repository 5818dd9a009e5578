// Bagged forests of histogram trees: planned on the calling thread, grown in
// parallel on the worker pool, predicted row-parallel.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grow/grow.hpp"
#include "core/matrix.hpp"
#include "tree/packed.hpp"
#include "tree/tree.hpp"

namespace tw {

struct ForestSettings {
    std::uint64_t n_estimators = 100;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
};

// Plans n_estimators trees from one forest generator seeded with `seed` (per
// tree: its sample of x.rows positions, drawn when bootstrapping, then its
// tree seed; see ensemble/bootstrap.hpp), bins x once and grows the trees on
// the pool. Tree i of the result comes from plan i. x, y and the weights must
// have x.rows entries.
std::vector<Tree> grow_forest(const MatrixView& x, Vec y, Vec weights, const TreeParams& params,
                              std::uint64_t n_estimators, bool bootstrap,
                              std::optional<std::uint64_t> seed);

class RandomForestClassifier {
public:
    static constexpr const char* name() { return "RandomForestClassifier"; }
    explicit RandomForestClassifier(ForestSettings settings) : s_(std::move(settings)) {}

    void fit(const MatrixView& x, Vec y, const std::optional<Vec>& sample_weight);
    // Row-major rows x n_classes().
    std::vector<double> predict_proba(const MatrixView& x) const;
    std::vector<double> predict(const MatrixView& x) const;
    double score(const MatrixView& x, Vec y) const;

    const ForestSettings& settings() const { return s_; }
    bool is_fitted() const { return fitted_; }
    std::size_t n_classes() const { return classes_ ? classes_->size() : 0; }
    const std::optional<std::vector<std::uint64_t>>& classes() const { return classes_; }
    const std::vector<Tree>& trees() const { return trees_; }

    // Saved state (settings and fitted forest) for pickling; load validates
    // it fully and throws ValueError on a corrupted or foreign state.
    std::string save() const;
    static RandomForestClassifier load(std::string_view state);

private:
    void check_predictable(const MatrixView& x) const;

    ForestSettings s_;
    std::vector<Tree> trees_;
    std::optional<std::vector<std::uint64_t>> classes_;
    PackedForest packed_;  // prediction copy of trees_
    bool fitted_ = false;
};

class RandomForestRegressor {
public:
    static constexpr const char* name() { return "RandomForestRegressor"; }
    explicit RandomForestRegressor(ForestSettings settings) : s_(std::move(settings)) {}

    void fit(const MatrixView& x, Vec y, const std::optional<Vec>& sample_weight);
    std::vector<double> predict(const MatrixView& x) const;

    const ForestSettings& settings() const { return s_; }
    bool is_fitted() const { return fitted_; }
    const std::vector<Tree>& trees() const { return trees_; }

    std::string save() const;
    static RandomForestRegressor load(std::string_view state);

private:
    ForestSettings s_;
    std::vector<Tree> trees_;
    PackedForest packed_;  // prediction copy of trees_
    bool fitted_ = false;
};

}  // namespace tw
