// Node totals of a fitted tree, worked out from its leaves: every node's
// weight and value, and the impurity decrease of every split (the terms of
// mean-decrease-in-impurity importances).
//
// Terms:
//  width          entries of a node value: the number of classes, or 1 for
//                 a regression tree (n_classes = 0 below).
//  leaf weight    the weight of the training sample positions that reached
//                 a leaf: the sum of a classification leaf's class weights,
//                 or for a regression leaf the entry of `leaf_weight` when
//                 the caller keeps one per node, else its n_samples (the
//                 weight when every row weighs 1).
//  node weight    the sum of the leaf weights below a node.
//  node value     class shares (class total / node weight; at a leaf the
//                 same quotients Tree::leaf_proba forms) or the weighted
//                 mean of the leaf values (a leaf's own value at a leaf).
//  impurity decrease
//                 of a split of weight W into children of weights WL and WR:
//                 W * G - WL * GL - WR * GR, with G the impurity of the
//                 class totals by the tree's criterion (split/gain.hpp); for regression the same with the variance,
//                 computed as WL * WR / W * (mL - mR)^2 from the children's
//                 means (an identity that avoids cancellation). Negative
//                 rounding residues count as 0.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "split/gain.hpp"
#include "tree/tree.hpp"

namespace tw {

struct NodeTotals {
    std::size_t width = 1;
    std::vector<double> weight;  // per node
    std::vector<double> value;   // per node, `width` entries
};

// leaf_weight: empty, or one entry per node (read at regression leaves).
NodeTotals node_totals(const Tree& tree, std::size_t n_classes, std::span<const double> leaf_weight);

// Adds every split's impurity decrease to per_feature[feature]; per_feature
// must cover tree.n_features_used entries. The criterion applies to
// classification trees.
void add_impurity_decreases(const Tree& tree, std::size_t n_classes,
                            std::span<const double> leaf_weight, std::span<double> per_feature,
                            split::Criterion criterion = split::Criterion::kGini);

// The impurity decreases of one tree over `width` >= n_features_used
// columns, normalised to sum to 1; empty for a tree without a split (or
// whose splits decrease nothing).
std::vector<double> normalised_decreases(const Tree& tree, std::size_t n_classes,
                                         std::span<const double> leaf_weight, std::size_t width,
                                         split::Criterion criterion = split::Criterion::kGini);

// Leaf weights (one entry per node, see above) of rows[k] reaching
// leaves[k] with weight w[rows[k]] times counts[rows[k]] (1 when counts is
// empty), added in the order listed.
std::vector<double> leaf_weights(std::size_t n_nodes, std::span<const std::uint32_t> rows,
                                 std::span<const std::uint32_t> leaves, std::span<const double> w,
                                 std::span<const std::uint32_t> counts);

}  // namespace tw
