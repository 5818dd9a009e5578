#include "boosting/importances.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/errors.hpp"
#include "tree/node_totals.hpp"

namespace tw::boosting {

std::vector<double> compute_feature_importances(std::span<const InternalRF> forests) {
    if (forests.empty() || forests.front().trees.empty()) return {};
    std::uint64_t largest = 0;
    for (const Node& node : forests.front().trees.front().nodes) {
        if (node.feature > largest) largest = node.feature;
    }
    const std::uint64_t length = largest + 1;
    std::vector<double> importances(static_cast<std::size_t>(length), 0.0);
    double total = 0.0;
    for (const InternalRF& forest : forests) {
        for (const Tree& tree : forest.trees) {
            for (const Node& node : tree.nodes) {
                if (node.is_leaf() || node.feature >= length) continue;
                const double credit = static_cast<double>(node.n_samples);
                importances[static_cast<std::size_t>(node.feature)] += credit;
                total += credit;
            }
        }
    }
    if (total > 0.0) {
        for (double& v : importances) v = v / total;
    }
    return importances;
}

std::vector<double> impurity_importances(std::span<const InternalRF> forests,
                                         std::size_t n_features) {
    std::vector<double> out(n_features, 0.0);
    std::vector<double> round(n_features, 0.0);
    for (const InternalRF& forest : forests) {
        if (forest.trees.empty()) continue;
        std::fill(round.begin(), round.end(), 0.0);
        for (const Tree& tree : forest.trees) {
            if (tree.n_features_used > n_features) throw InternalError("importances too short");
            std::vector<double> v(n_features, 0.0);
            add_impurity_decreases(tree, 0, {}, v);
            const double root = static_cast<double>(tree.nodes.at(0).n_samples);
            if (!(root > 0.0)) continue;
            for (std::size_t f = 0; f < n_features; ++f) round[f] += v[f] / root;
        }
        const double trees = static_cast<double>(forest.trees.size());
        for (std::size_t f = 0; f < n_features; ++f) out[f] += round[f] / trees;
    }
    double total = 0.0;
    for (double v : out) total += v;
    if (total > 0.0) {
        for (double& v : out) v /= total;
    }
    return out;
}

FlatTree flatten_tree(const Tree& tree) {
    FlatTree flat;
    const std::size_t count = tree.nodes.size();
    flat.children_left.reserve(count);
    flat.children_right.reserve(count);
    flat.feature.reserve(count);
    flat.threshold.reserve(count);
    flat.value.reserve(count);
    if (count == 0) return flat;
    // Explicit pre-order walk; each stack entry is (node, slot of the parent's
    // child link to fill, or -1 for the root).
    std::vector<std::pair<std::size_t, std::int64_t>> stack;
    stack.emplace_back(0, -1);
    while (!stack.empty()) {
        const auto [index, parent_slot] = stack.back();
        stack.pop_back();
        const std::int64_t id = static_cast<std::int64_t>(flat.value.size());
        if (parent_slot >= 0) {
            // Even slots are left links, odd slots right links, of node slot/2.
            const std::size_t parent = static_cast<std::size_t>(parent_slot / 2);
            if (parent_slot % 2 == 0) flat.children_left[parent] = id;
            else flat.children_right[parent] = id;
        }
        const Node& node = tree.nodes[index];
        flat.children_left.push_back(-1);
        flat.children_right.push_back(-1);
        flat.feature.push_back(-1);
        flat.threshold.push_back(std::numeric_limits<double>::quiet_NaN());
        flat.value.push_back(node.value);
        if (!node.is_leaf()) {
            flat.feature.back() = static_cast<std::int64_t>(node.feature);
            flat.threshold.back() = node.threshold;
            stack.emplace_back(node.right, 2 * id + 1);
            stack.emplace_back(node.left, 2 * id);
        }
    }
    return flat;
}

}  // namespace tw::boosting
