// The interventional walk of one tree for one explained row x and one
// background row z. The game's value of a coalition S is the tree at the
// row taking x's values on S and z's elsewhere. Where x and z go the same
// way the walk follows them; where they part on a feature not yet fixed it
// branches: one side fixes the feature to x (it must be in S), the other to
// z (it must not be). A leaf reached with a features fixed to x and b to z is
// the game v [A in S, B outside S], whose Shapley values are
//     v (a-1)! b! / (a+b)!  for each feature of A,
//    -v a! (b-1)! / (a+b)!  for each feature of B.
// The walk is a loop over an explicit stack of pending branches.
#include <algorithm>

#include "tree_shap/ensemble_scratch.hpp"
#include "tree_shap/ensemble_shap.hpp"

namespace tw {

namespace {

// a! b! / (a + b + 1)!, the integral of t^a (1-t)^b over [0, 1], as a
// product of min(a, b) ratios.
double beta_weight(std::size_t a, std::size_t b) {
    const std::size_t lo = std::min(a, b), hi = std::max(a, b);
    double w = 1.0 / static_cast<double>(a + b + 1);
    for (std::size_t k = 1; k <= lo; ++k) {
        w *= static_cast<double>(k) / static_cast<double>(hi + k);
    }
    return w;
}

}  // namespace

void EnsembleShap::interventional_tree(const TreeInfo& t, const double* row, const double* back,
                                       double weight, double* phi, Scratch& s) const {
    const Node* nodes = nodes_.data() + t.node_begin;
    if (nodes[0].is_leaf()) return;
    const std::size_t w_n = t.width;
    const std::size_t p = n_features_;
    const double* values = values_.data() + t.value_begin;
    std::vector<Scratch::Branch>& branches = s.branches;
    std::vector<Scratch::Fixed>& fixed = s.fixed;
    std::vector<std::uint8_t>& side = s.side;
    branches.clear();
    fixed.clear();
    branches.push_back({0, kNoFeature, 0, 0});
    std::size_t n_row = 0;  // features of `fixed` on the row's side
    while (!branches.empty()) {
        const Scratch::Branch b = branches.back();
        branches.pop_back();
        while (fixed.size() > b.fixed) {
            if (fixed.back().side == 1) --n_row;
            side[fixed.back().feature] = 0;
            fixed.pop_back();
        }
        if (b.feature != kNoFeature) {
            fixed.push_back({b.feature, b.side});
            side[b.feature] = b.side;
            if (b.side == 1) ++n_row;
        }
        std::uint32_t i = b.node;
        while (!nodes[i].is_leaf()) {
            const Node& d = nodes[i];
            const std::uint32_t fe = d.feature;
            const std::uint32_t row_to = d.left_for(row, sets_.data()) ? i + 1 : d.right;
            const std::uint32_t back_to = d.left_for(back, sets_.data()) ? i + 1 : d.right;
            if (side[fe] == 1 || row_to == back_to) {
                i = row_to;
            } else if (side[fe] == 2) {
                i = back_to;
            } else {
                branches.push_back({back_to, fe, fixed.size(), 2});
                fixed.push_back({fe, 1});
                side[fe] = 1;
                ++n_row;
                i = row_to;
            }
        }
        const std::size_t a = n_row, bz = fixed.size() - n_row;
        if (a + bz == 0) continue;
        const double* v = values + std::size_t(nodes[i].feature) * w_n;
        const double pos = a > 0 ? weight * beta_weight(a - 1, bz) : 0.0;
        const double neg = bz > 0 ? weight * beta_weight(a, bz - 1) : 0.0;
        for (const Scratch::Fixed& e : fixed) {
            const double m = e.side == 1 ? pos : -neg;
            for (std::size_t c = 0; c < w_n; ++c) {
                phi[(t.first_output + c) * p + e.feature] += v[c] * m;
            }
        }
    }
    while (!fixed.empty()) {
        side[fixed.back().feature] = 0;
        fixed.pop_back();
    }
}

}  // namespace tw
