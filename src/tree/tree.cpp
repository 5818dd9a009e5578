// Structural measures, class-probability lookups and batched walks of flat
// pre-order trees. Children always follow their parent in the node vector,
// so every structural walk here is a single forward loop.
#include "tree/tree.hpp"

#include <algorithm>
#include <limits>

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

bool Tree::has_missing_left() const {
    for (const Node& n : nodes) {
        if ((n.missing & kMissingLeft) != 0) return true;
    }
    return false;
}

std::int64_t Tree::unseen_missing(const double* row) const {
    std::size_t i = 0;
    const Node* n = nodes.data();
    while (n[i].left != 0) {
        const double v = row[n[i].feature];
        if (v != v && (n[i].missing & kMissingSeen) == 0) return n[i].feature;
        i = goes_left_at(n[i], row) ? n[i].left : n[i].right;
    }
    return -1;
}

void Tree::set_missing_defaults() {
    for (Node& n : nodes) {
        if (n.is_leaf() || (n.missing & kMissingSeen) != 0) continue;
        if (n.left >= nodes.size() || n.right >= nodes.size()) throw InternalError("malformed tree");
        const bool left = nodes[n.left].n_samples > nodes[n.right].n_samples;
        n.missing = static_cast<std::uint8_t>((n.missing & kCategorical) | kMissingDefault |
                                              (left ? kMissingLeft : 0));
    }
}

bool Tree::direct_form(std::vector<PackedNode>& copy) const {
    if (nodes.empty()) throw InternalError("empty tree");
    copy.resize(nodes.size());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        if (n.left == 0) {
            copy[i] = PackedNode{nan, 0, static_cast<std::uint32_t>(i)};
        } else {
            if (n.left != i + 1 || (n.missing & (kMissingLeft | kCategorical)) != 0) return false;
            copy[i] = PackedNode{n.threshold, n.feature, n.right};
        }
    }
    return true;
}

bool Tree::missing_form(std::vector<MissingNode>& copy) const {
    if (nodes.empty()) throw InternalError("empty tree");
    copy.resize(nodes.size());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        const auto self = static_cast<std::uint32_t>(i);
        if (n.left == 0) {
            copy[i] = MissingNode{nan, 0, self, self};
        } else {
            if (n.left != i + 1 || n.is_categorical()) return false;
            const std::uint32_t nan_to = (n.missing & kMissingLeft) != 0 ? self + 1 : n.right;
            copy[i] = MissingNode{n.threshold, n.feature, n.right, nan_to};
        }
    }
    return true;
}

bool Tree::category_form(std::vector<CategoryNode>& copy) const {
    if (nodes.empty()) throw InternalError("empty tree");
    copy.resize(nodes.size());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        const auto self = static_cast<std::uint32_t>(i);
        if (n.left == 0) {
            copy[i] = CategoryNode{nan, nullptr, 0, self, self};
            continue;
        }
        if (n.left != i + 1) return false;
        const std::uint32_t nan_to = (n.missing & kMissingLeft) != 0 ? self + 1 : n.right;
        const std::uint64_t* set = nullptr;
        if (n.is_categorical()) {
            if (n.cw_begin >= category_sets.size()) throw InternalError("category set out of range");
            set = category_sets[n.cw_begin].data();
        }
        copy[i] = CategoryNode{n.threshold, set, n.feature, n.right, nan_to};
    }
    return true;
}

const PackedNode* Tree::direct_copy(std::size_t rows) const {
    if (nodes.empty()) throw InternalError("empty tree");
    // A single leaf stays on the nodes themselves: its direct form would read
    // column 0, which rows routed through a leaf need not have.
    if (nodes.size() == 1 || rows < 64 || rows * 32 < nodes.size()) return nullptr;
    thread_local std::vector<PackedNode> copy;
    return direct_form(copy) ? copy.data() : nullptr;
}

const MissingNode* Tree::missing_copy(std::size_t rows) const {
    if (nodes.size() == 1 || rows < 64 || rows * 32 < nodes.size()) return nullptr;
    thread_local std::vector<MissingNode> copy;
    return missing_form(copy) ? copy.data() : nullptr;
}

void Tree::predict_rows(const MatrixView& x, double* out) const {
    const Node* nd = nodes.data();
    walk_rows(x.rows, [&](std::size_t r) { return x.row(r); },
              [&](std::size_t r, std::uint32_t leaf) { out[r] = nd[leaf].value; });
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
