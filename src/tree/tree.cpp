// Structural measures and class-probability lookups of flat pre-order trees.
// Children always follow their parent in the node vector, so every walk here
// is a single forward loop.
#include "tree/tree.hpp"

#include <algorithm>

#include "tree/errors.hpp"

namespace tw {

void Tree::leaf_proba(std::size_t node, std::size_t n_classes, double* out) const {
    std::fill(out, out + n_classes, 0.0);
    const Node& n = nodes[node];
    if (!n.has_class_weights) return;
    const std::span<const ClassWeight> cw = leaf_weights(node);
    double total = 0.0;
    for (const ClassWeight& e : cw) total += e.weight;
    if (!(total > 0.0)) return;
    for (const ClassWeight& e : cw) {
        if (e.cls < n_classes) out[e.cls] = e.weight / total;
    }
}

std::vector<double> Tree::traverse_proba(const double* row, std::size_t n_classes) const {
    std::vector<double> out(n_classes, 0.0);
    leaf_proba(leaf_of(row), n_classes, out.data());
    return out;
}

std::size_t Tree::depth() const {
    if (nodes.empty()) return 0;
    std::vector<std::size_t> d(nodes.size(), 0);
    std::size_t deepest = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        if (n.is_leaf()) {
            deepest = std::max(deepest, d[i]);
            continue;
        }
        if (n.left <= i || n.right <= i || n.left >= nodes.size() || n.right >= nodes.size()) {
            throw InternalError("tree nodes are not in pre-order");
        }
        d[n.left] = d[i] + 1;
        d[n.right] = d[i] + 1;
    }
    return deepest;
}

std::size_t Tree::n_leaves() const {
    std::size_t count = 0;
    for (const Node& n : nodes) count += n.is_leaf() ? 1 : 0;
    return count;
}

}  // namespace tw
