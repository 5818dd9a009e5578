// Structural measures and class-probability lookups of flat pre-order trees.
// Children always follow their parent in the node vector, so every walk here
// is a single forward loop.
#include "tree/tree.hpp"

#include <algorithm>

#include "core/errors.hpp"

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

namespace {

constexpr std::size_t kLanes = 16;

// Walks rows [first, first + count) (count <= kLanes) in lock step and calls
// emit(j, leaf) for each.
template <typename Emit>
inline void walk_lanes(const Node* nd, const MatrixView& x, std::size_t first, std::size_t count,
                       Emit emit) {
    std::uint32_t cur[kLanes] = {};
    const double* rows[kLanes];
    for (std::size_t j = 0; j < count; ++j) rows[j] = x.row(first + j);
    bool moving = true;
    while (moving) {
        moving = false;
        for (std::size_t j = 0; j < count; ++j) {
            const Node& n = nd[cur[j]];
            if (n.left != 0) {
                cur[j] = rows[j][n.feature] <= n.threshold ? n.left : n.right;
                moving = true;
            }
        }
    }
    for (std::size_t j = 0; j < count; ++j) emit(j, cur[j]);
}

// A 16-byte routing copy of a pre-order tree: the left child of node i is
// i + 1, so a node needs only its feature, its right child (0 for a leaf) and
// one number: the threshold of a split, the value of a leaf.
struct RouteNode {
    double t;
    std::uint32_t feature;
    std::uint32_t right;
};

bool build_route(const std::vector<Node>& nodes, std::vector<RouteNode>& route) {
    route.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        if (n.left == 0) {
            route[i] = RouteNode{n.value, 0, 0};
        } else {
            if (n.left != i + 1) return false;
            route[i] = RouteNode{n.threshold, n.feature, n.right};
        }
    }
    return true;
}

template <typename Emit>
inline void walk_route(const RouteNode* rn, const MatrixView& x, std::size_t first,
                       std::size_t count, Emit emit) {
    std::uint32_t cur[kLanes] = {};
    const double* rows[kLanes];
    for (std::size_t j = 0; j < count; ++j) rows[j] = x.row(first + j);
    bool moving = true;
    while (moving) {
        moving = false;
        for (std::size_t j = 0; j < count; ++j) {
            const RouteNode& n = rn[cur[j]];
            if (n.right != 0) {
                // Branch-free choice: the direction is data dependent and
                // mispredicts half of the time.
                const std::uint32_t left = cur[j] + 1;
                const std::uint32_t mask = 0u - static_cast<std::uint32_t>(rows[j][n.feature] <= n.t);
                cur[j] = n.right ^ ((n.right ^ left) & mask);
                moving = true;
            }
        }
    }
    for (std::size_t j = 0; j < count; ++j) emit(j, cur[j]);
}

// Runs emit over every row, through the compact copy when the batch is large
// enough to pay for building it.
template <typename Emit>
void walk_all(const std::vector<Node>& nodes, const MatrixView& x, Emit emit) {
    if (nodes.empty()) throw InternalError("empty tree");
    if (x.rows >= 64 && x.rows * 32 >= nodes.size()) {
        thread_local std::vector<RouteNode> route;
        if (build_route(nodes, route)) {
            for (std::size_t r = 0; r < x.rows; r += kLanes) {
                const std::size_t count = std::min(kLanes, x.rows - r);
                walk_route(route.data(), x, r, count,
                           [&](std::size_t j, std::uint32_t leaf) { emit(r + j, leaf, route[leaf].t); });
            }
            return;
        }
    }
    for (std::size_t r = 0; r < x.rows; r += kLanes) {
        const std::size_t count = std::min(kLanes, x.rows - r);
        walk_lanes(nodes.data(), x, r, count,
                   [&](std::size_t j, std::uint32_t leaf) { emit(r + j, leaf, nodes[leaf].value); });
    }
}

}  // namespace

void Tree::leaves_of(const MatrixView& x, std::size_t* out) const {
    walk_all(nodes, x, [&](std::size_t r, std::uint32_t leaf, double) { out[r] = leaf; });
}

void Tree::predict_rows(const MatrixView& x, double* out) const {
    walk_all(nodes, x, [&](std::size_t r, std::uint32_t, double value) { out[r] = value; });
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
