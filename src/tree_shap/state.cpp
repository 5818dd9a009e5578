// Saved state of the TreeSHAP explainer (pickling and deep copies).
#include <algorithm>

#include "core/serialize.hpp"
#include "tree_shap/tree_shap.hpp"

namespace tw {

namespace {
constexpr std::string_view kTag = "TreeSHAP";
constexpr std::uint32_t kVersion = 2;
}  // namespace

std::string TreeShap::save() const {
    Writer w(kTag, kVersion);
    w.u64(n_features_);
    w.u64(n_outputs_);
    w.u64(width_);
    w.u64(nodes_.size());
    for (const ShapNode& d : nodes_) {
        w.f64(d.threshold);
        w.f64(d.w_left);
        w.f64(d.w_right);
        w.u64(d.feature);
        w.u32(d.left);
        w.u32(d.right);
    }
    w.u64s(covers_);
    w.f64s(leaf_values_);
    return w.bytes();
}

TreeShap TreeShap::load(std::string_view state) {
    Reader r(state, kTag, kVersion);
    TreeShap ex;
    ex.n_features_ = static_cast<std::size_t>(r.u64());
    ex.n_outputs_ = static_cast<std::size_t>(r.u64());
    ex.width_ = static_cast<std::size_t>(r.u64());
    // Explanations allocate rows x outputs x features values; a state
    // claiming more columns or outputs than any real model is refused.
    if (ex.n_features_ > (std::size_t{1} << 24)) Reader::fail("implausible feature count");
    if (ex.n_outputs_ > (std::size_t{1} << 24)) Reader::fail("implausible output count");
    if (ex.width_ != 1 && ex.width_ != ex.n_outputs_) Reader::fail("bad leaf width");

    // The node structure is checked as a plain tree: pre-order children,
    // every node reached exactly once, all indices in range.
    Tree shape;
    shape.nodes.resize(r.count(8 * 4 + 4 * 2));
    ex.nodes_.assign(shape.nodes.size(), ShapNode{});
    for (std::size_t i = 0; i < shape.nodes.size(); ++i) {
        ShapNode& d = ex.nodes_[i];
        d.threshold = r.f64();
        d.w_left = r.f64();
        d.w_right = r.f64();
        d.feature = r.u64();
        d.left = r.u32();
        d.right = r.u32();
        Node& s = shape.nodes[i];
        s.left = d.left;
        s.right = d.right;
        if (!d.is_leaf()) {
            s.feature = d.feature;
            if (d.feature >= ex.n_features_) Reader::fail("split feature beyond the background columns");
            shape.n_features_used = std::max<std::uint64_t>(shape.n_features_used, d.feature + 1);
        }
    }
    ex.covers_ = r.u64s();
    ex.leaf_values_ = r.f64s();
    r.finish();
    check_tree(shape);
    if (ex.covers_.size() != 2 * ex.nodes_.size()) Reader::fail("cover count mismatch");

    // Derived data, as construction computes it: leaf value offsets, feature
    // positions in node order and subtree ends.
    std::size_t offset = 0;
    ex.has_splits_ = false;
    ex.max_feature_ = 0;
    for (ShapNode& d : ex.nodes_) {
        if (d.is_leaf()) {
            if (d.feature != offset || ex.width_ > ex.leaf_values_.size() - offset) {
                Reader::fail("leaf values out of place");
            }
            offset += ex.width_;
            continue;
        }
        ex.has_splits_ = true;
        ex.max_feature_ = std::max<std::uint64_t>(ex.max_feature_, d.feature);
        auto pos = std::find(ex.features_.begin(), ex.features_.end(), d.feature);
        d.bit = static_cast<std::uint32_t>(pos - ex.features_.begin());
        if (pos == ex.features_.end()) ex.features_.push_back(d.feature);
    }
    if (offset != ex.leaf_values_.size()) Reader::fail("leaf value count mismatch");
    for (std::size_t i = ex.nodes_.size(); i-- > 0;) {
        ShapNode& d = ex.nodes_[i];
        d.end = d.is_leaf() ? static_cast<std::uint32_t>(i + 1) : ex.nodes_[d.right].end;
    }
    return ex;
}

}  // namespace tw
