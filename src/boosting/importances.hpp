// Split-usage importances and the flat export form of fitted trees.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "boosting/internal_rf.hpp"

namespace tw::boosting {

// Per feature, the sample counts of the split nodes that test it, over every
// tree of every forest, normalised to sum to 1 when positive. The length is
// one more than the largest feature of any node of the first tree; splits on
// later features are ignored. Empty when there is no tree.
std::vector<double> compute_feature_importances(std::span<const InternalRF> forests);

// Mean decrease in impurity over n_features columns (n_features must cover
// every split): per tree the variance decreases of its targets with nodes
// weighted by their sample counts (tree/node_totals.hpp), divided by the
// root's count; averaged over each round's trees, summed over the rounds in
// order and normalised to sum to 1. All zeros when nothing splits.
std::vector<double> impurity_importances(std::span<const InternalRF> forests,
                                         std::size_t n_features);

// A tree as five parallel node lists in pre-order (root 0, the left subtree
// next, then the right subtree); leaves have children and feature -1 and a
// NaN threshold.
struct FlatTree {
    std::vector<std::int64_t> children_left;
    std::vector<std::int64_t> children_right;
    std::vector<std::int64_t> feature;
    std::vector<double> threshold;
    std::vector<double> value;
};
FlatTree flatten_tree(const Tree& tree);

}  // namespace tw::boosting
