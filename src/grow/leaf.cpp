// The leaf constructors, and the tree settings every estimator derives from
// its own (tree_params).
#include <algorithm>
#include <utility>
#include <vector>

#include "core/validate.hpp"
#include "grow/grow.hpp"
#include "grow/leaf.hpp"

namespace tw {

TreeParams tree_params(std::optional<std::uint64_t> max_depth,
                       const std::optional<std::string>& max_features, std::size_t n_features,
                       std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
                       bool is_classification) {
    TreeParams params;
    params.max_depth = max_depth;
    const std::uint64_t m = resolve_max_features(max_features, n_features);
    if (m < n_features) params.max_features = m;
    params.min_samples_split = min_samples_split;
    params.min_samples_leaf = min_samples_leaf;
    params.is_classification = is_classification;
    return params;
}

using grow::append_node;
using grow::new_node;
using grow::class_weights_begin;
using grow::finish_class_weights;

std::uint32_t create_leaf(Tree& tree, Vec y, Vec w, std::span<const std::size_t> positions,
                          bool is_classification) {
    for (const std::size_t p : positions) {
        if (p >= y.size() || p >= w.size()) throw InternalError("sample position out of range");
    }
    Node leaf;
    leaf.n_samples = positions.size();
    if (!is_classification) {
        double total_w = 0.0, total_wy = 0.0;
        for (const std::size_t p : positions) {
            total_w += w[p];
            total_wy += w[p] * y[p];
        }
        leaf.value = total_w > 0.0 ? total_wy / total_w : 0.0;
        return append_node(tree, leaf);
    }

    // Per-class sums in position order, kept sorted by class in the tree's
    // tail. Few distinct classes: sorted insertion. Many: sort (class, order).
    const std::uint32_t begin = class_weights_begin(tree);
    constexpr std::size_t kInsertLimit = 64;
    bool many = false;
    for (const std::size_t p : positions) {
        const std::uint64_t c = class_index(y[p]);
        auto first = tree.class_weights.begin() + begin;
        auto it = std::lower_bound(first, tree.class_weights.end(), c,
                                   [](const ClassWeight& e, std::uint64_t v) { return e.cls < v; });
        if (it != tree.class_weights.end() && it->cls == c) {
            it->weight += w[p];
        } else {
            if (tree.class_weights.size() - begin >= kInsertLimit) {
                many = true;
                break;
            }
            tree.class_weights.insert(it, ClassWeight{c, 0.0 + w[p]});
        }
    }
    if (many) {
        tree.class_weights.resize(begin);
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed(positions.size());
        for (std::size_t i = 0; i < positions.size(); ++i) keyed[i] = {class_index(y[positions[i]]), i};
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t i = 0; i < keyed.size();) {
            const std::uint64_t c = keyed[i].first;
            double sum = 0.0;
            for (; i < keyed.size() && keyed[i].first == c; ++i) sum += w[positions[keyed[i].second]];
            tree.class_weights.push_back(ClassWeight{c, sum});
        }
    }
    finish_class_weights(tree, leaf, begin);
    return append_node(tree, leaf);
}

std::uint32_t create_count_leaf(Tree& tree, std::uint64_t n,
                                std::span<const std::uint64_t> class_ids,
                                std::span<const std::uint64_t> count) {
    if (class_ids.size() != count.size()) throw InternalError("leaf counts without their classes");
    const std::uint32_t begin = class_weights_begin(tree);
    Node& leaf = new_node(tree);
    leaf.n_samples = n;
    for (std::size_t d = 0; d < count.size(); ++d) {
        if (count[d] != 0) {
            tree.class_weights.push_back(ClassWeight{class_ids[d], static_cast<double>(count[d])});
        }
    }
    finish_class_weights(tree, leaf, begin);
    return static_cast<std::uint32_t>(tree.nodes.size() - 1);
}

}  // namespace tw
