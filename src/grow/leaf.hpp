// Appending nodes and class-weight leaves to a tree: the checks and the
// leaf value rule shared by the leaf constructors and both growers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/errors.hpp"
#include "tree/tree.hpp"

namespace tw::grow {

// Node and class-weight indices are 32-bit.
constexpr std::size_t kMaxIndex = std::numeric_limits<std::uint32_t>::max();

inline std::uint32_t append_node(Tree& tree, const Node& node) {
    if (tree.nodes.size() >= kMaxIndex) throw InternalError("tree has too many nodes");
    tree.nodes.push_back(node);
    return static_cast<std::uint32_t>(tree.nodes.size() - 1);
}

// A new node at the tree's end, to be filled where it lies (a node
// assembled aside and copied in is read back by loads wider than its
// fields' stores, which wait for them).
inline Node& new_node(Tree& tree) {
    if (tree.nodes.size() >= kMaxIndex) throw InternalError("tree has too many nodes");
    return tree.nodes.emplace_back();
}

// Largest weight wins; scanning in ascending class order and replacing on
// ties leaves the highest of equally heavy classes.
inline double heaviest_class(std::span<const ClassWeight> cw) {
    if (cw.empty()) return 0.0;
    const ClassWeight* best = &cw[0];
    for (std::size_t i = 1; i < cw.size(); ++i) {
        if (cw[i].weight >= best->weight) best = &cw[i];
    }
    return static_cast<double>(best->cls);
}

// Index where a leaf's class weights start; the leaf then appends them in
// ascending class order and calls finish_class_weights.
inline std::uint32_t class_weights_begin(const Tree& tree) {
    if (tree.class_weights.size() >= kMaxIndex) throw InternalError("tree has too many class weights");
    return static_cast<std::uint32_t>(tree.class_weights.size());
}

// Points the leaf at the class weights appended since begin and sets its
// value to the heaviest class.
inline void finish_class_weights(Tree& tree, Node& leaf, std::uint32_t begin) {
    const std::size_t count = tree.class_weights.size() - begin;
    if (tree.class_weights.size() >= kMaxIndex) throw InternalError("tree has too many class weights");
    leaf.has_class_weights = true;
    leaf.cw_begin = begin;
    leaf.cw_count = static_cast<std::uint32_t>(count);
    leaf.value = heaviest_class(std::span<const ClassWeight>(tree.class_weights.data() + begin, count));
}

}  // namespace tw::grow
