// Exact Shapley values of one fitted tree.
//
// The value of a coalition S of split features is the tree's output when the
// splits on features in S follow the explained row and every other split
// averages its two subtrees with weights left_cover / n_samples and
// right_cover / n_samples (0.5 and 0.5 when n_samples is 0), where the covers
// count the background rows that reach the split and go to each side.
//
// Two exact algorithms compute the Shapley values of that game:
//  - enumeration of all 2^M coalitions of the M distinct split features, with
//    a fixed order of operations (used while M is at most kEnumerationLimit);
//  - the polynomial path algorithm, which walks the tree once per row and
//    keeps, along each root-to-leaf path, the Shapley weights of the features
//    seen so far (extend / unwind of per-feature zero and one fractions).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decision_tree/decision_tree.hpp"
#include "core/errors.hpp"
#include "core/matrix.hpp"
#include "tree/tree.hpp"

namespace tw {

namespace shap_detail {
struct PathElem;
struct PathWork;
}  // namespace shap_detail

class TreeShap {
public:
    // Trees with at most this many distinct split features are enumerated, so
    // their values carry exactly the enumeration's rounding; larger ones use
    // the path algorithm (faster at every size measured, depth 4 to 12).
    static constexpr std::size_t kEnumerationLimit = 10;
    // Forced enumeration refuses larger feature sets (2^M tables per row).
    static constexpr std::size_t kEnumerationMax = 20;

    enum class Method { automatic, enumeration, path };

    // Explains `tree` against the background rows of `x_train`. Copies what it
    // keeps. Throws ValueError "Tree must be fitted before creating TreeSHAP"
    // for an unfitted tree, and a ValueError when the tree splits on a column
    // that x_train does not have.
    TreeShap(const DecisionTree& tree, const MatrixView& x_train, const std::string& model_type);

    // Lower-level form: `n_outputs` outputs, leaves read as class
    // distributions when `classification` is set, else as their `value`.
    TreeShap(const Tree& tree, std::size_t n_outputs, bool classification,
             const MatrixView& x_train);

    // Shapley values, row-major [rows of x][n_outputs][n_features]. Throws
    // ValueError when the tree splits on a column that x does not have.
    std::vector<double> explain(const MatrixView& x, Method method = Method::automatic) const;

    std::size_t n_features() const { return n_features_; }
    std::size_t n_outputs() const { return n_outputs_; }
    // Distinct split features in order of first appearance (pre-order).
    const std::vector<std::uint64_t>& split_features() const { return features_; }
    // Background rows that reach node i and go left / right (0 on leaves).
    std::uint64_t left_cover(std::size_t i) const { return covers_[2 * i]; }
    std::uint64_t right_cover(std::size_t i) const { return covers_[2 * i + 1]; }
    std::size_t n_nodes() const { return nodes_.size(); }

    // The value of the coalition `mask` (bit i = split_features()[i]; features
    // from position 64 on are never in it) for one row and output, as the
    // enumeration computes it.
    double coalition_value(const double* row, std::uint64_t mask, std::size_t output) const;

    // Saved state (the explainer's tree with its background covers and leaf
    // outputs) for pickling; load validates it fully and throws ValueError
    // on a corrupted or foreign state.
    std::string save() const;
    static TreeShap load(std::string_view state);

private:
    TreeShap() = default;

    // The walks touch only these 48 bytes per node.
    struct ShapNode {
        double threshold = 0.0;
        double w_left = 0.0;   // weight of the left subtree when the feature is absent
        double w_right = 0.0;
        std::uint64_t feature = 0;  // leaves: offset of their values in leaf_values_
        std::uint32_t left = 0;     // 0 = leaf
        std::uint32_t right = 0;
        std::uint32_t end = 0;      // one past the last node of this subtree
        std::uint32_t bit = 0;      // position of `feature` in features_
        std::size_t values() const { return feature; }
        bool is_leaf() const { return left == 0; }
    };

    void build(const Tree& tree, bool classification, const MatrixView& x_train);
    void check_columns(std::size_t cols, const char* name) const;

    void explain_enumeration(const double* row, double* out, std::vector<double>& table,
                             std::vector<std::uint64_t>& stack) const;
    using PathWork = shap_detail::PathWork;
    void leaf_path(const std::vector<shap_detail::PathElem>& path, std::size_t q,
                   const double* v, double* out, PathWork& ws) const;
    void explain_path(const double* row, double* out, PathWork& ws) const;

    std::vector<ShapNode> nodes_;
    std::vector<std::uint64_t> covers_;  // left and right cover per node
    std::vector<double> leaf_values_;  // width_ values per leaf
    std::vector<std::uint64_t> features_;
    std::size_t n_features_ = 0;
    std::size_t n_outputs_ = 0;
    std::size_t width_ = 1;            // values stored per leaf
    bool has_splits_ = false;
    std::uint64_t max_feature_ = 0;    // largest split feature (when has_splits_)
};

}  // namespace tw
