// Saved state of the TreeSHAP explainer (pickling and deep copies).
#include <algorithm>

#include "tree/serialize.hpp"
#include "tree_shap/tree_shap.hpp"

namespace tw {

namespace {
constexpr std::string_view kTag = "TreeSHAP";
constexpr std::uint32_t kVersion = 1;
}  // namespace

std::string TreeShap::save() const {
    Writer w(kTag, kVersion);
    w.u64(n_features_);
    w.u64(n_outputs_);
    w.u64(nodes_.size());
    for (const ShapNode& d : nodes_) {
        w.f64(d.threshold);
        w.u64(d.feature);
        w.u64(d.n_samples);
        w.u64(d.left_cover);
        w.u64(d.right_cover);
        w.u32(d.left);
        w.u32(d.right);
    }
    w.f64s(leaf_values_);
    return w.bytes();
}

TreeShap TreeShap::load(std::string_view state) {
    Reader r(state, kTag, kVersion);
    TreeShap ex;
    ex.n_features_ = static_cast<std::size_t>(r.u64());
    ex.n_outputs_ = static_cast<std::size_t>(r.u64());
    ex.width_ = ex.n_outputs_;
    // Explanations allocate rows x outputs x features values; a state
    // claiming more columns than any background matrix could have is refused.
    if (ex.n_features_ > (std::size_t{1} << 24)) Reader::fail("implausible feature count");
    // The node structure is checked as a plain tree: pre-order children,
    // every node reached exactly once, all indices in range.
    Tree shape;
    shape.nodes.resize(r.count(8 * 5 + 4 * 2));
    ex.nodes_.assign(shape.nodes.size(), ShapNode{});
    for (std::size_t i = 0; i < shape.nodes.size(); ++i) {
        ShapNode& d = ex.nodes_[i];
        d.threshold = r.f64();
        d.feature = r.u64();
        d.n_samples = r.u64();
        d.left_cover = r.u64();
        d.right_cover = r.u64();
        d.left = r.u32();
        d.right = r.u32();
        Node& s = shape.nodes[i];
        s.left = d.left;
        s.right = d.right;
        if (!d.is_leaf()) {
            s.feature = d.feature;
            if (d.feature >= ex.n_features_) Reader::fail("split feature beyond the background columns");
            shape.n_features_used = std::max<std::uint64_t>(shape.n_features_used, d.feature + 1);
        } else if (d.feature != 0 || d.left_cover != 0 || d.right_cover != 0) {
            Reader::fail("leaf with split data");
        }
    }
    ex.leaf_values_ = r.f64s();
    r.finish();
    check_tree(shape);
    ex.min_columns_ = shape.n_features_used;

    // Derived data, as construction computes it: leaf value offsets and
    // feature positions in node order, subtree ends, and branch weights.
    std::size_t offset = 0;
    for (ShapNode& d : ex.nodes_) {
        if (d.is_leaf()) {
            if (ex.width_ > ex.leaf_values_.size() - offset) Reader::fail("leaf values missing");
            d.values = offset;
            offset += ex.width_;
            continue;
        }
        auto pos = std::find(ex.features_.begin(), ex.features_.end(), d.feature);
        d.bit = static_cast<std::uint32_t>(pos - ex.features_.begin());
        if (pos == ex.features_.end()) ex.features_.push_back(d.feature);
    }
    if (offset != ex.leaf_values_.size()) Reader::fail("leaf value count mismatch");
    for (std::size_t i = ex.nodes_.size(); i-- > 0;) {
        ShapNode& d = ex.nodes_[i];
        d.end = d.is_leaf() ? static_cast<std::uint32_t>(i + 1) : ex.nodes_[d.right].end;
    }
    for (ShapNode& d : ex.nodes_) {
        if (d.is_leaf()) continue;
        if (d.n_samples == 0) {
            d.w_left = 0.5;
            d.w_right = 0.5;
        } else {
            const double ns = static_cast<double>(d.n_samples);
            d.w_left = static_cast<double>(d.left_cover) / ns;
            d.w_right = static_cast<double>(d.right_cover) / ns;
        }
    }
    return ex;
}

}  // namespace tw
