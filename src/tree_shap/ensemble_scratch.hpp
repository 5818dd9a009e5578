// Working memory of the ensemble explainer's walks (tree_shap/ensemble_shap.hpp),
// one per thread and reused across rows and trees.
//
// Path walk: one frame per level of the current root-to-node path; per level
// the product polynomial P at the Gauss-Legendre points (`product`), the
// reciprocal of the entering edge's factor a(t) (`inverse`), and the running
// sum over the subtree's finished leaves of v P (`subtree`, width x points). `last` holds, per feature, the level of its latest split on the
// current path (-1: none).
// Interventional walk: a stack of pending branches and the list of features
// fixed so far to the explained row (side 1) or the background row (side 2).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree_shap/ensemble_shap.hpp"

namespace tw {

struct EnsembleShap::Scratch {
    struct Frame {
        std::uint32_t node;
        std::uint32_t stage;    // 0 entering, 1 left child done, 2 both done
        std::uint32_t feature;  // feature of the edge into this node
        std::int32_t previous;  // level of that feature's previous split, -1 none
        double z, o;            // combined fractions of the feature at this edge
    };
    std::vector<Frame> frames;  // one per level, indexed by level
    std::vector<double> product;
    std::vector<double> inverse;
    std::vector<double> subtree;
    std::vector<double> coef;
    std::vector<std::int32_t> last;

    struct Branch {
        std::uint32_t node;
        std::uint32_t feature;  // fixed when the branch is taken (kNoFeature: none)
        std::size_t fixed;      // length of `fixed` before it
        std::uint8_t side;
    };
    struct Fixed {
        std::uint32_t feature;
        std::uint8_t side;
    };
    std::vector<Branch> branches;
    std::vector<Fixed> fixed;
    std::vector<std::uint8_t> side;  // per feature: 0 free, 1 row, 2 background

    std::vector<double> block;  // one block's sums for one row
    std::vector<double> phi;    // one block's plain values (interactions)

    Scratch(std::size_t n_features, std::size_t depth, std::size_t points, std::size_t width)
        : last(n_features, -1), side(n_features, 0) {
        frames.resize(depth + 2);
        product.resize((depth + 2) * points);
        inverse.resize((depth + 2) * points);
        subtree.resize((depth + 2) * points * width);
        coef.resize(points);
    }
};

using EnsembleShapFrame = EnsembleShap::Scratch::Frame;

inline constexpr std::uint32_t kNoFeature = UINT32_MAX;

}  // namespace tw
