// Out-of-bag permutation importance: each tree scores its own out-of-bag
// rows, then the same rows with one feature's values permuted among them;
// the drop of the score, averaged over the trees, is the feature's
// importance in one repeat.
//
// Trees run in parallel. Every tree draws its permutations from a generator
// of its own, seeded by the tree's entry of a seed list drawn in tree order
// from the call's seed, features ascending and repeats in order within a
// tree; so the result does not depend on the thread count.
//
// Only rows whose path tests the feature can change their prediction, and
// only below the first node on the path that tests it (its entry node). So
// a tree's rows are copied once into a scratch block (as the forest's byte
// codes when it has them, else as values), each row's entry node per
// feature is noted on a first walk, and per feature and repeat only the
// affected rows get a permuted value and walk again from their entry node.
// Their values are the first draws of a Fisher-Yates shuffle of all the
// tree's out-of-bag rows (a uniformly drawn distinct source row each, as a
// full permutation would give them), undone afterwards. Features a tree
// never splits on draw nothing and drop 0.
#include <numeric>
#include <string>

#include "core/errors.hpp"
#include "core/validate.hpp"
#include "ensemble/bootstrap.hpp"
#include "ensemble/in_order.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"
#include "tree/walk.hpp"

namespace tw {
namespace {

using u32 = std::uint32_t;

// The targets a tree's predictions are scored against: their values, and
// for a classifier their class indices.
struct Targets {
    Vec y;
    std::vector<std::uint64_t> cls;  // classifier only
};

// A row's score term: a hit (classifier) or its squared error (regressor).
// leaf_cls holds the class of every leaf (classifier).
inline double term(const Node* nodes, const std::uint64_t* leaf_cls, std::uint32_t leaf,
                   const Targets& targets, std::size_t row, bool classification) {
    if (classification) return leaf_cls[leaf] == targets.cls[row] ? 1.0 : 0.0;
    const double e = targets.y[row] - nodes[leaf].value;
    return e * e;
}

// The drops of one tree over its out-of-bag rows `oob`, p x repeats, on a
// scratch block `rows` (m rows of `width` entries of type T, the layout
// NodeT reads).
template <class NodeT, class T>
void tree_drops(const Tree& tree, const NodeT* walk, std::vector<T>& rows, std::size_t width,
                std::span<const u32> oob, const Targets& targets, bool classification,
                double scale, std::size_t repeats, Rng& rng, std::vector<double>& out) {
    const std::size_t m = oob.size();
    const Node* nodes = tree.nodes.data();
    std::vector<std::uint64_t> leaf_class;
    if (classification) {
        leaf_class.resize(tree.nodes.size());
        for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
            leaf_class[i] = class_index(tree.nodes[i].value);
        }
    }
    const std::uint64_t* lc = leaf_class.data();
    const std::size_t p = out.size() / repeats;
    // First walk: each row's score term and its entry node per feature.
    struct Entry {
        u32 row;
        u32 node;
    };
    std::vector<std::vector<Entry>> affected(p);
    std::vector<double> base_term(m);
    std::vector<u32> seen(p, 0xFFFFFFFFu);
    for (std::size_t k = 0; k < m; ++k) {
        const T* row = rows.data() + k * width;
        u32 cur = 0;
        while (!nodes[cur].is_leaf()) {
            const u32 f = nodes[cur].feature;
            if (seen[f] != k) {
                seen[f] = static_cast<u32>(k);
                affected[f].push_back(Entry{static_cast<u32>(k), cur});
            }
            cur = walk[cur].next(row, cur);
        }
        base_term[k] = term(nodes, lc, cur, targets, oob[k], classification);
    }
    std::vector<T> column(m);
    std::vector<u32> pool(m);
    std::iota(pool.begin(), pool.end(), u32{0});
    std::vector<u32> swapped;
    const double per_row = 1.0 / static_cast<double>(m);
    for (std::size_t f = 0; f < p; ++f) {
        const std::vector<Entry>& hit = affected[f];
        if (hit.empty()) continue;
        for (std::size_t k = 0; k < m; ++k) column[k] = rows[k * width + f];
        for (std::size_t r = 0; r < repeats; ++r) {
            swapped.clear();
            for (std::size_t i = 0; i < hit.size(); ++i) {
                const std::size_t j = i + static_cast<std::size_t>(gen_range_u64(rng, m - i));
                std::swap(pool[i], pool[j]);
                swapped.push_back(static_cast<u32>(j));
                rows[hit[i].row * width + f] = column[pool[i]];
            }
            double delta = 0.0;
            walk_lanes_from(
                walk, hit.size(), [&](std::size_t i) { return hit[i].node; },
                [&](std::size_t i) { return rows.data() + hit[i].row * width; },
                [&](std::size_t i, u32 leaf) {
                    const u32 k = hit[i].row;
                    delta += term(nodes, lc, leaf, targets, oob[k], classification) -
                             base_term[k];
                });
            for (std::size_t i = hit.size(); i-- > 0;) {
                std::swap(pool[i], pool[swapped[i]]);
                rows[hit[i].row * width + f] = column[hit[i].row];
            }
            out[f * repeats + r] = classification ? -delta * per_row : delta * per_row / scale;
        }
    }
}

}  // namespace

PermutationImportance ForestCore::oob_permutation_importance(const MatrixView& x, Vec y,
                                                             std::size_t repeats,
                                                             std::optional<std::uint64_t> seed) const {
    check_fitted_trees();
    const std::string name(name_);
    if (!record_) {
        throw ValueError(name + " was fitted without a fit record (saved by an earlier " +
                         "release), so its out-of-bag rows are unknown");
    }
    if (record_->mixed) {
        throw ValueError("the trees were grown on different training data (warm_start), so " +
                         std::string("they share no out-of-bag rows"));
    }
    if (x.rows != record_->rows || x.cols != record_->cols || y.size() != x.rows ||
        forest_data_hash(x, y) != record_->data_hash) {
        throw ValueError("x and y must be the training data of the last fit");
    }
    if (repeats < 1) throw ValueError("n_repeats must be at least 1");
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    const std::size_t T = trees_.size();
    // Each tree's drops (p x repeats) are held until folded in tree order.
    if (repeats > (std::size_t{1} << 20) || (p != 0 && repeats > (std::size_t{1} << 24) / p)) {
        throw ValueError("n_repeats is too large: n_features * n_repeats must be at most 2^24");
    }

    // Regression drops are in units of the variance of all training targets,
    // so that they read as drops of R^2.
    double scale = 1.0;
    if (!classification_ && n > 0) {
        double mean = 0.0;
        for (double v : y) mean += v;
        mean /= static_cast<double>(n);
        double var = 0.0;
        for (double v : y) var += (v - mean) * (v - mean);
        var /= static_cast<double>(n);
        if (var > 0.0) scale = var;
    }

    Targets targets{y, {}};
    if (classification_) {
        targets.cls.resize(n);
        for (std::size_t r = 0; r < n; ++r) targets.cls[r] = class_index(y[r]);
    }
    // The forest's byte codes of every training row, once (trees copy their
    // out-of-bag rows from them). Codes send missing values right, so rows
    // with missing values need the values where some split sends them left.
    const bool coded = packed_.coded() && packed_.code_width() <= p &&
                       !(packed_.missing_left() && x.has_missing());
    const std::size_t w = coded ? packed_.code_width() : 0;
    std::vector<std::uint8_t> all_codes;
    if (coded) {
        all_codes.resize(n * w);
        constexpr std::size_t kChunk = 4096;
        parallel::parallel_chunks(n, kChunk, [&](std::size_t begin, std::size_t end) {
            std::vector<u32> listed(end - begin);
            std::iota(listed.begin(), listed.end(), static_cast<u32>(begin));
            std::vector<std::uint8_t> part;
            packed_.encode_listed(x, listed, part);
            std::copy(part.begin(), part.end(), all_codes.begin() + begin * w);
        });
    }

    Rng master = seed_rng(seed);
    std::vector<std::uint64_t> seeds(T);
    for (std::uint64_t& s : seeds) s = master.next_u64();

    PermutationImportance result;
    result.repeats = repeats;
    result.drops.assign(p * repeats, 0.0);
    std::size_t counted = 0;
    // A tree's drops, p x repeats; empty for a tree without out-of-bag rows,
    // which takes no part in the mean.
    ensemble::InOrderFold<std::vector<double>> fold(0, T);
    auto add = [&](const std::vector<double>& v) {
        if (v.empty()) return;
        ++counted;
        for (std::size_t j = 0; j < v.size(); ++j) result.drops[j] += v[j];
    };
    parallel::parallel_for(T, [&](std::size_t t) {
        std::vector<std::size_t> sample;
        replay_sample(t, sample);
        std::vector<u32> counts;
        ensemble::count_draws(sample, n, counts);
        const std::vector<u32> oob = ensemble::undrawn_rows(counts);
        if (oob.empty()) {
            fold.submit(t, {}, add);
            return;
        }
        std::vector<double> out(p * repeats, 0.0);
        const Tree& tree = trees_[t];
        if (tree.nodes.size() == 1) {  // a single leaf uses no feature
            fold.submit(t, std::move(out), add);
            return;
        }
        Rng rng = seed_rng(seeds[t]);
        if (coded) {
            std::vector<std::uint8_t> codes(oob.size() * w);
            for (std::size_t k = 0; k < oob.size(); ++k) {
                std::copy_n(all_codes.begin() + static_cast<std::size_t>(oob[k]) * w, w,
                            codes.begin() + k * w);
            }
            tree_drops(tree, packed_.coded_tree(t), codes, w, oob, targets, classification_,
                       scale, repeats, rng, out);
        } else {
            std::vector<double> rows(oob.size() * p);
            for (std::size_t k = 0; k < oob.size(); ++k) {
                const double* src = x.row(oob[k]);
                std::copy(src, src + p, rows.data() + k * p);
            }
            if (tree.has_categories()) {
                std::vector<CategoryNode> nodes;
                if (!tree.category_form(nodes)) throw InternalError("tree nodes are not in pre-order");
                tree_drops(tree, nodes.data(), rows, p, oob, targets, classification_, scale,
                           repeats, rng, out);
            } else if (tree.has_missing_left()) {
                std::vector<MissingNode> nodes;
                if (!tree.missing_form(nodes)) throw InternalError("tree nodes are not in pre-order");
                tree_drops(tree, nodes.data(), rows, p, oob, targets, classification_, scale,
                           repeats, rng, out);
            } else {
                std::vector<PackedNode> nodes;
                if (!tree.direct_form(nodes)) throw InternalError("tree nodes are not in pre-order");
                tree_drops(tree, nodes.data(), rows, p, oob, targets, classification_, scale,
                           repeats, rng, out);
            }
        }
        fold.submit(t, std::move(out), add);
    });
    if (counted > 0) {
        for (double& v : result.drops) v /= static_cast<double>(counted);
    }
    return result;
}

}  // namespace tw
