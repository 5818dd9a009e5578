// Exact Shapley values of whole tree ensembles (forests, boosted rounds, or
// a single tree), in two modes, and path-dependent interaction values.
//
// Terms:
//  output       one column of the model's raw score: a class probability of
//               a forest or tree classifier, the raw (log-odds or softmax)
//               score of a boosted classifier, or a regression value. A tree
//               adds `width` consecutive outputs starting at `first_output`,
//               its leaf values multiplied by its `scale` (1 / trees for a
//               forest, learning_rate / trees of the round when boosting).
//  cover        the training sample positions that reached a node (the
//               node's n_samples). A split's cover fractions are
//               left cover / (left + right) and right cover / (left + right),
//               0.5 each when both are 0.
//  path-dependent  the value of a coalition S averages the splits on
//               features outside S over their subtrees with the cover
//               fractions; the expected value is the cover-weighted mean leaf.
//  interventional  the value of S is the mean, over background rows z, of
//               the model at the row taking x's values on S and z's elsewhere;
//               the expected value is the mean model output on the background.
//  block        kBlockTrees consecutive trees. Every row's values are the sum,
//               in block order, of per-block sums taken in tree order, so the
//               arithmetic never depends on how rows and blocks are spread
//               over threads.
//
// Path-dependent algorithm: along a root-to-leaf path every distinct feature f
// has a zero fraction z_f (product of its cover fractions on the path) and a
// one fraction o_f (1 if the row follows all its splits on the path, else 0).
// With a_f(t) = z_f (1 - t) + o_f t and P(t) the product of a_f over the
// path's features, the leaf's Shapley value for feature i is
//     v (o_i - z_i) * integral over [0, 1] of P(t) / a_i(t) dt,
// a polynomial integral of degree below the path's feature count, which a
// Gauss-Legendre rule of ceil(count / 2) points integrates exactly. The walk
// keeps P at the rule's points per depth and sums the leaves' v P per subtree,
// so each node costs O(points x outputs), independent of the depth. A feature
// split again deeper on a path replaces its factor; the edge then also
// subtracts the term of its previous occurrence, and those terms cancel over
// the path (the rule is linear), leaving exactly the term of the last one.
// Interaction values condition on one feature j at a time: j's factor becomes
// the constant o_j - z_j, and the edges on i != j then give
// phi_ij = 1/2 sum over leaves v (o_i - z_i)(o_j - z_j) integral P / (a_i a_j);
// the diagonal is phi_i minus the row's other entries.
//
// Every walk is a loop over explicit stacks: trees of any depth are fine.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "tree/tree.hpp"

namespace tw {

class EnsembleShap {
public:
    static constexpr std::size_t kBlockTrees = 8;

    // An explainer of `n_outputs` outputs over rows of `n_features` columns.
    EnsembleShap(std::size_t n_outputs, std::size_t n_features);

    // Adds a tree: classification leaves give their class distribution over
    // `width` classes (Tree::leaf_proba), regression leaves their value
    // (width 1). Throws ValueError when the tree splits on a column beyond
    // n_features, InternalError when it is malformed.
    void add_tree(const Tree& tree, bool classification, std::size_t width,
                  std::size_t first_output, double scale);
    // A constant added to an output (boosting's starting score).
    void add_offset(std::size_t output, double value) { offset_[output] += value; }

    std::size_t n_outputs() const { return n_outputs_; }
    std::size_t n_features() const { return n_features_; }
    std::size_t n_trees() const { return trees_.size(); }

    // Refuses (ValueError) explanations whose per-thread scratch cannot be
    // allocated: deep trees on many features need depth x points doubles.
    void check_scratch(bool interactions) const;

    // Path-dependent values, row-major [rows][outputs][features], and the
    // expected value per output.
    std::vector<double> explain(const MatrixView& x) const;
    std::vector<double> expected_value() const;

    // Interventional values against the rows of `background` (same width as
    // x, at least one row), and the mean output on the background.
    std::vector<double> explain_interventional(const MatrixView& x,
                                               const MatrixView& background) const;
    std::vector<double> expected_value(const MatrixView& background) const;

    // Path-dependent interaction values, [rows][outputs][features][features]:
    // symmetric, each row of a matrix summing to the feature's Shapley value.
    std::vector<double> explain_interactions(const MatrixView& x) const;

    // The model's raw output for each row, [rows][outputs] (offset plus the
    // trees' scaled leaf values, in tree order): what the values explain.
    std::vector<double> raw_output(const MatrixView& x) const;

    struct Scratch;  // per-thread working memory of the walks

private:
    // Left child of node i is i + 1; a leaf has right == 0 and keeps its
    // leaf number in `feature`. `missing` is the fitted node's missing side
    // (and whether it tests a category set).
    struct Node {
        double threshold;
        double z_left;
        double z_right;
        std::uint32_t feature;
        std::uint32_t right;
        std::uint8_t missing = 0;
        std::uint32_t set = 0;  // a category-set split: its set in sets_
        bool is_leaf() const { return right == 0; }
        bool left_for(const double* row, const CategorySet* sets) const {
            if ((missing & kCategorical) != 0) {
                return category_goes_left(sets[set].data(), row[feature], missing);
            }
            return goes_left(row[feature], threshold, missing);
        }
    };
    struct TreeInfo {
        std::size_t node_begin = 0;
        std::size_t n_nodes = 0;
        std::size_t value_begin = 0;   // leaf values, width per leaf, scaled
        std::size_t width = 1;
        std::size_t first_output = 0;
        std::size_t depth = 0;         // longest root-to-leaf path (edges)
        std::size_t path_features = 0; // most distinct features on one path
        std::size_t points = 1;        // Gauss-Legendre points of its walks
        std::size_t feature_begin = 0; // its distinct split features in features_
        std::size_t n_split_features = 0;
        std::size_t quad_begin = 0;    // its rule in quad_ (t, 1 - t, w, -w / (1 - t))
        std::size_t expected_begin = 0;
    };

    void check_rows(const MatrixView& x, const char* name) const;
    template <class PerBlock>
    std::vector<double> by_blocks(std::size_t rows, std::size_t row_width,
                                  PerBlock&& per_block) const;

    // One tree's contributions for one row: path-dependent values into
    // phi ([outputs][features]); with `condition` set, the interaction terms
    // phi_ij of the conditioning feature j = condition into inter
    // ([outputs][features][features]) instead.
    void path_tree(const TreeInfo& t, const double* row, double* phi, Scratch& s) const;
    void path_tree_conditioned(const TreeInfo& t, const double* row, std::uint32_t condition,
                               double* inter, Scratch& s) const;
    template <bool kConditioned>
    void path_walk(const TreeInfo& t, const double* row, std::uint32_t condition, double* out,
                   Scratch& s) const;
    void interventional_tree(const TreeInfo& t, const double* row, const double* back,
                             double weight, double* phi, Scratch& s) const;
    std::size_t leaf_of(const TreeInfo& t, const double* row) const;

    std::size_t n_outputs_;
    std::size_t n_features_;
    std::vector<Node> nodes_;
    std::vector<CategorySet> sets_;  // the category-set splits' sets, all trees
    std::vector<std::uint64_t> masks_;  // per node: bit f % 64 for features in its subtree
    std::vector<double> values_;
    std::vector<double> expected_;      // per tree and output of the tree: cover-weighted mean
    std::vector<std::uint32_t> features_;
    std::vector<TreeInfo> trees_;
    std::vector<double> offset_;
    std::vector<double> quad_;          // Gauss-Legendre rules, by point count
    std::vector<std::size_t> quad_at_;  // start of the rule of n points in quad_
    std::size_t max_depth_ = 0;
    std::size_t max_points_ = 1;
    std::size_t max_width_ = 1;
};

}  // namespace tw
