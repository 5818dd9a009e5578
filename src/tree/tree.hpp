// Fitted trees: a flat vector of nodes in pre-order (root 0, then the left
// subtree, then the right subtree). All walks are loops, so arbitrarily deep
// trees cannot overflow the stack. Batched walks are lane walks (see
// tree/walk.hpp); walking one row is leaf_of.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "tree/walk.hpp"

namespace tw {

struct ClassWeight {
    std::uint64_t cls;
    double weight;
};

// Largest number of columns a tree can split on (feature numbers are 32-bit).
inline constexpr std::size_t kMaxFeatures = 0xFFFFFFFFull;

// Node::missing bits. A row whose value of the split feature is missing (NaN)
// goes left where kMissingLeft is set, else right. kMissingSeen marks a side
// the node's training rows taught (some of them missed the feature).
// kMissingDefault marks a side chosen without such rows: the child more of
// the node's training samples reached (ties: right). Defaults follow from
// the tree itself, so saved states leave them out and loading restores them
// (Tree::set_missing_defaults); trees without them send such values right.
inline constexpr std::uint8_t kMissingLeft = 1;
inline constexpr std::uint8_t kMissingSeen = 2;
inline constexpr std::uint8_t kMissingDefault = 4;
// Node::missing bit of a category-set split: the feature holds category
// codes 0, 1, 2, ... (as doubles), and a row goes left when its code is in
// the node's set (Tree::category_sets[Node::cw_begin], bit c of word c / 64
// for code c). A missing value, or any value that is no code below 256,
// goes the node's missing side. Such a node's threshold is NaN.
inline constexpr std::uint8_t kCategorical = 8;

// 256 bits: a set of category codes 0..255.
using CategorySet = std::array<std::uint64_t, 4>;
inline constexpr std::size_t kMaxCategories = 256;

inline bool in_category_set(const std::uint64_t* set, std::uint32_t code) {
    return ((set[code >> 6] >> (code & 63)) & 1) != 0;
}

// Whether a row with value v of a category-set split's feature goes left.
inline bool category_goes_left(const std::uint64_t* set, double v, std::uint8_t missing) {
    if (v >= 0.0 && v < static_cast<double>(kMaxCategories)) {
        return in_category_set(set, static_cast<std::uint32_t>(v));
    }
    return (missing & kMissingLeft) != 0;
}

// Whether a row with value v of a split's feature goes left: v <= threshold,
// or v missing where missing values go left.
inline bool goes_left(double v, double threshold, std::uint8_t missing) {
    return v <= threshold || ((missing & kMissingLeft) != 0 && v != v);
}

// 48 bytes. Feature numbers are 32-bit: a matrix is never that wide in
// practice, fits check it, and saved states with larger numbers are refused.
struct Node {
    double threshold = 0.0;   // rows with x[feature] <= threshold go left
    double value = 0.0;       // leaf prediction (class index as float, or weighted mean)
    std::uint64_t n_samples = 0;  // sample positions that reached the node during growth
    std::uint32_t feature = 0;
    std::uint32_t left = 0;       // 0 = no child (the root is never a child)
    std::uint32_t right = 0;
    std::uint32_t cw_begin = 0;   // class weights of a classification leaf:
    std::uint32_t cw_count = 0;   //   Tree::class_weights[cw_begin, cw_begin + cw_count);
                                  //   a category-set split's set: category_sets[cw_begin]
    bool has_class_weights = false;
    std::uint8_t missing = 0;     // kMissingLeft, kMissingSeen, kMissingDefault, kCategorical

    bool is_leaf() const { return left == 0; }
    bool is_categorical() const { return (missing & kCategorical) != 0; }
    // The node a row moves to from this node (index self): self at a leaf.
    // Threshold splits only: trees with category-set splits route through
    // Tree (leaf_of, walk_rows), which holds the sets.
    std::uint32_t next(const double* row, std::uint32_t self) const {
        return left == 0 ? self : goes_left(row[feature], threshold, missing) ? left : right;
    }
};

struct Tree {
    std::vector<Node> nodes;                // pre-order
    std::vector<ClassWeight> class_weights; // per leaf, ascending class order
    std::vector<CategorySet> category_sets; // per category-set split (see kCategorical)
    // 1 + the largest feature index tested by a split node; 0 for a single leaf.
    // A row must have at least this many columns to be routed.
    std::uint64_t n_features_used = 0;

    // Index of the leaf a row reaches (a missing value goes the node's
    // missing side). The row must have at least n_features_used columns.
    std::size_t leaf_of(const double* row) const {
        std::size_t i = 0;
        const Node* n = nodes.data();
        while (n[i].left != 0) i = goes_left_at(n[i], row) ? n[i].left : n[i].right;
        return i;
    }
    // Whether a row goes left at split node n of this tree.
    bool goes_left_at(const Node& n, const double* row) const {
        if (n.is_categorical()) {
            return category_goes_left(category_sets[n.cw_begin].data(), row[n.feature], n.missing);
        }
        return goes_left(row[n.feature], n.threshold, n.missing);
    }
    // Whether some split tests a category set.
    bool has_categories() const { return !category_sets.empty(); }
    // Whether some split sends missing values left (the direct forms route
    // them right only).
    bool has_missing_left() const;
    // The feature of the first split on the row's path that meets a missing
    // value where no training row of the node was missing (its side is
    // not one the node's training rows taught), or -1 when it meets none.
    std::int64_t unseen_missing(const double* row) const;
    // Gives every split without a taught missing side the default one
    // (kMissingDefault, see above).
    void set_missing_defaults();
    // The bits of a node's missing side that saved states keep.
    static std::uint8_t saved_missing(const Node& n) {
        return (n.missing & kMissingDefault) != 0 ? (n.missing & kCategorical) : n.missing;
    }
    // Whether some split keeps a taught missing side in saved states (which
    // then need a format that holds them).
    bool has_saved_missing() const {
        for (const Node& n : nodes) {
            if (saved_missing(n) != 0) return true;
        }
        return false;
    }
    double predict(const double* row) const { return nodes[leaf_of(row)].value; }

    // Batched form of predict over all rows of x (same results). Every row
    // of x must have at least n_features_used columns.
    void predict_rows(const MatrixView& x, double* out) const;

    // Lane walk of rows 0 .. count-1, row_at(i) giving row i: calls
    // emit(i, leaf) with the index of the leaf row i reaches (the one leaf_of
    // gives). Batches large enough to pay for it descend a direct-form copy
    // of the nodes, built per call in scratch space of the calling thread,
    // so emit must not start another walk on that thread.
    template <class RowAt, class Emit>
    void walk_rows(std::size_t count, RowAt&& row_at, Emit&& emit) const {
        if (has_categories()) {
            walk_categories(count, row_at, emit);
        } else if (const PackedNode* copy = direct_copy(count)) {
            walk_lanes(copy, count, row_at, emit);
        } else if (const MissingNode* missing = missing_copy(count)) {
            walk_lanes(missing, count, row_at, emit);
        } else {
            walk_lanes(nodes.data(), count, row_at, emit);
        }
    }

    std::span<const ClassWeight> leaf_weights(std::size_t node) const {
        const Node& n = nodes[node];
        return {class_weights.data() + n.cw_begin, n.cw_count};
    }

    // Class-probability vector of a leaf over n_classes entries (zeros for a
    // regression leaf or a leaf whose weights sum to <= 0); classes >= n_classes
    // are dropped but still count in the total.
    void leaf_proba(std::size_t node, std::size_t n_classes, double* out) const;
    std::vector<double> traverse_proba(const double* row, std::size_t n_classes) const;

    std::size_t depth() const;     // leaf = 0
    std::size_t n_leaves() const;

    // The direct form of the nodes (tree/walk.hpp) into `out`, for callers
    // that walk the same tree many times; false (out unusable) when some
    // left child does not follow its parent. Throws for a tree without nodes.
    bool direct_form(std::vector<PackedNode>& out) const;
    // The missing-aware direct form (tree/walk.hpp); false when some left
    // child does not follow its parent.
    bool missing_form(std::vector<MissingNode>& out) const;
    // The category-aware direct form (tree/walk.hpp), pointing into
    // category_sets (valid while the tree is unchanged); false when some
    // left child does not follow its parent.
    bool category_form(std::vector<CategoryNode>& out) const;

private:
    // walk_rows of a tree with category-set splits: a category-aware copy
    // when the walk pays for it, else one row at a time.
    template <class RowAt, class Emit>
    void walk_categories(std::size_t count, RowAt&& row_at, Emit&& emit) const {
        if (nodes.size() > 1 && count >= 64 && count * 32 >= nodes.size()) {
            thread_local std::vector<CategoryNode> copy;
            if (category_form(copy)) {
                walk_lanes(copy.data(), count, row_at, emit);
                return;
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            emit(i, static_cast<std::uint32_t>(leaf_of(row_at(i))));
        }
    }
    // The direct form of the nodes when a walk of `rows` rows pays for
    // building it and every left child follows its parent; nullptr otherwise.
    // Throws InternalError for a tree without nodes.
    const PackedNode* direct_copy(std::size_t rows) const;
    // The same for trees with splits sending missing values left, in the
    // missing-aware direct form.
    const MissingNode* missing_copy(std::size_t rows) const;
};

}  // namespace tw
