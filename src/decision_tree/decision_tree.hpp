// The single decision tree estimator, grown by the exact grower: candidate
// thresholds are midpoints between consecutive sorted values of a feature
// (not histogram bin edges), over every row of the fit, without bootstrap.
// Task: "classification" (leaves carry class weights, predictions are class
// indices) or "regression" (leaves carry weighted means).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "grow/grow.hpp"
#include "core/matrix.hpp"
#include "tree/tree.hpp"

namespace tw {

class DecisionTree {
public:
    // Throws InternalError "task must be 'classification' or 'regression'".
    DecisionTree(std::optional<std::uint64_t> max_depth, std::string criterion, std::string task,
                 std::optional<std::uint64_t> random_state, std::uint64_t min_samples_split,
                 std::uint64_t min_samples_leaf);

    // Validates everything before changing state; throws ValueError.
    // missing_values: x may hold NaN, and every split gets a missing side
    // (grow/grow.hpp, ExactMissing and TreeParams::missing_defaults).
    // categories: the categorical columns (core/validate.hpp, check_categories).
    void fit(const MatrixView& x, Vec y, std::optional<Vec> sample_weight,
             bool missing_values = false, const std::vector<std::uint16_t>& categories = {});

    std::vector<double> predict(const MatrixView& x) const;
    // Row-major rows x classes().size().
    std::vector<double> predict_proba(const MatrixView& x) const;

    std::size_t get_depth() const { return tree_ ? tree_->depth() : 0; }
    std::size_t get_n_leaves() const { return tree_ ? tree_->n_leaves() : 0; }

    // A new unfitted tree with the same settings.
    DecisionTree unfitted() const {
        return DecisionTree(max_depth_, criterion_, task_, random_state_, min_samples_split_,
                            min_samples_leaf_);
    }

    bool is_fitted() const { return tree_.has_value(); }
    bool is_classification() const { return task_ == "classification"; }
    const std::optional<Tree>& tree() const { return tree_; }
    const std::optional<std::vector<std::uint64_t>>& classes() const { return classes_; }

    // Saved state (settings and fitted tree) for pickling; load validates it
    // fully and throws ValueError on a corrupted or foreign state.
    std::string save() const;
    // missing_values: the package door's trees, whose states may carry
    // missing sides and whose other splits get the default ones.
    static DecisionTree load(std::string_view state, bool missing_values = false);

private:
    void check_fitted() const;
    void check_width(const MatrixView& x) const;  // of a fitted tree

    std::optional<Tree> tree_;
    std::optional<std::uint64_t> max_depth_;
    std::optional<std::uint64_t> random_state_;
    std::string criterion_;
    std::string task_;
    std::optional<std::vector<std::uint64_t>> classes_;
    std::uint64_t min_samples_split_;
    std::uint64_t min_samples_leaf_;
};

}  // namespace tw
