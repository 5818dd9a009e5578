// Node totals by one post-order pass over the pre-order nodes: the children
// of a split are finished before it, their totals are added into the
// split's, and only the totals along the current path are held (a stack of
// depth + 1 entries), so memory does not grow with the tree's size.
#include "tree/node_totals.hpp"

#include <algorithm>

#include "core/errors.hpp"

namespace tw {
namespace {

// The criterion's impurity times the weight of a node's class totals (for
// Gini, w * (1 - sum of squared shares)); 0 for a node without weight.
double weighted_impurity(split::Criterion criterion, const double* totals, std::size_t k,
                         double w) {
    return split::weighted_impurity(criterion, k, w, [&](std::size_t c) { return totals[c]; });
}

// Calls visit(node, entry, left, right) for every node in post-order, where
// entry is the node's totals and left/right its children's (nullptr at a
// leaf). An entry is [weight, class totals...] for classification and
// [weight, weighted sum of values, mean] for regression.
template <class Visit>
void fold_subtrees(const Tree& tree, std::size_t n_classes, std::span<const double> leaf_weight,
                   Visit&& visit) {
    const std::vector<Node>& nodes = tree.nodes;
    if (nodes.empty()) throw InternalError("empty tree");
    if (!leaf_weight.empty() && leaf_weight.size() != nodes.size()) {
        throw InternalError("leaf weights do not match the tree");
    }
    const bool classification = n_classes > 0;
    const std::size_t stride = classification ? n_classes + 1 : 3;
    std::vector<double> entries;  // stack of finished subtrees' entries
    struct Frame {
        std::uint32_t node;
        std::uint8_t stage;  // 0: left next, 1: right next, 2: both done
    };
    std::vector<Frame> frames{{0, 0}};
    while (!frames.empty()) {
        Frame& f = frames.back();
        const Node& n = nodes[f.node];
        if (n.is_leaf()) {
            const std::size_t at = entries.size();
            entries.resize(at + stride, 0.0);
            double* e = entries.data() + at;
            if (classification) {
                double total = 0.0;
                for (const ClassWeight& cw : tree.leaf_weights(f.node)) {
                    total += cw.weight;
                    if (cw.cls < n_classes) e[1 + cw.cls] = cw.weight;
                }
                e[0] = total;
            } else {
                e[0] = leaf_weight.empty() ? static_cast<double>(n.n_samples) : leaf_weight[f.node];
                e[1] = e[0] * n.value;
                e[2] = n.value;
            }
            visit(static_cast<std::size_t>(f.node), static_cast<const double*>(e),
                  static_cast<const double*>(nullptr), static_cast<const double*>(nullptr));
            frames.pop_back();
            continue;
        }
        if (n.left >= nodes.size() || n.right >= nodes.size() || n.left <= f.node ||
            n.right <= f.node) {
            throw InternalError("tree nodes are not in pre-order");
        }
        if (f.stage < 2) {
            const std::uint32_t child = f.stage == 0 ? n.left : n.right;
            ++f.stage;
            frames.push_back(Frame{child, 0});
            continue;
        }
        // Both children's entries are on top: left below right. The split's
        // entry goes after them, is visited, then replaces them.
        const std::size_t at = entries.size();
        entries.resize(at + stride);
        const double* l = entries.data() + at - 2 * stride;
        const double* r = entries.data() + at - stride;
        double* e = entries.data() + at;
        if (classification) {
            for (std::size_t j = 0; j < stride; ++j) e[j] = l[j] + r[j];
        } else {
            e[0] = l[0] + r[0];
            e[1] = l[1] + r[1];
            e[2] = e[0] > 0.0 ? e[1] / e[0] : 0.0;
        }
        visit(static_cast<std::size_t>(f.node), static_cast<const double*>(e), l, r);
        std::copy(e, e + stride, entries.data() + at - 2 * stride);
        entries.resize(at - stride);
        frames.pop_back();
    }
}

}  // namespace

NodeTotals node_totals(const Tree& tree, std::size_t n_classes,
                       std::span<const double> leaf_weight) {
    NodeTotals out;
    out.width = n_classes > 0 ? n_classes : 1;
    out.weight.assign(tree.nodes.size(), 0.0);
    out.value.assign(tree.nodes.size() * out.width, 0.0);
    fold_subtrees(tree, n_classes, leaf_weight,
                  [&](std::size_t i, const double* e, const double*, const double*) {
                      out.weight[i] = e[0];
                      double* v = out.value.data() + i * out.width;
                      if (n_classes == 0) {
                          v[0] = e[2];
                      } else if (e[0] > 0.0) {
                          for (std::size_t c = 0; c < n_classes; ++c) v[c] = e[1 + c] / e[0];
                      }
                  });
    return out;
}

void add_impurity_decreases(const Tree& tree, std::size_t n_classes,
                            std::span<const double> leaf_weight, std::span<double> per_feature,
                            split::Criterion criterion) {
    if (per_feature.size() < tree.n_features_used) throw InternalError("importances too short");
    fold_subtrees(tree, n_classes, leaf_weight,
                  [&](std::size_t i, const double* e, const double* l, const double* r) {
                      if (l == nullptr) return;
                      double d;
                      if (n_classes > 0) {
                          d = weighted_impurity(criterion, e + 1, n_classes, e[0]) -
                              weighted_impurity(criterion, l + 1, n_classes, l[0]) -
                              weighted_impurity(criterion, r + 1, n_classes, r[0]);
                      } else {
                          const double gap = l[2] - r[2];
                          d = e[0] > 0.0 ? l[0] * r[0] / e[0] * (gap * gap) : 0.0;
                      }
                      if (d > 0.0) per_feature[tree.nodes[i].feature] += d;
                  });
}

std::vector<double> normalised_decreases(const Tree& tree, std::size_t n_classes,
                                         std::span<const double> leaf_weight, std::size_t width,
                                         split::Criterion criterion) {
    std::vector<double> v(width, 0.0);
    add_impurity_decreases(tree, n_classes, leaf_weight, v, criterion);
    double total = 0.0;
    for (double d : v) total += d;
    if (!(total > 0.0)) return {};
    for (double& d : v) d /= total;
    return v;
}

std::vector<double> leaf_weights(std::size_t n_nodes, std::span<const std::uint32_t> rows,
                                 std::span<const std::uint32_t> leaves, std::span<const double> w,
                                 std::span<const std::uint32_t> counts) {
    if (leaves.size() != rows.size()) throw InternalError("leaves do not match the rows");
    std::vector<double> out(n_nodes, 0.0);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double weight = w[rows[k]];
        out[leaves[k]] += counts.empty() ? weight : static_cast<double>(counts[rows[k]]) * weight;
    }
    return out;
}

}  // namespace tw
