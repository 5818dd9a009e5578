// Checks the prediction copies of forests against plain tree walks: random
// trees whose thresholds come from a small pool (coded form) or are all
// distinct (direct form), with or without splits sending missing values
// left, with or without category-set splits (rows then also hold codes,
// codes out of range and fractions), rows full of ties, NaN, infinities and
// signed zeros, row ranges of any length and offset; packs from trees coded
// on bin edges as their growers code them. Sums must match bit for bit.
// The batched walks of single trees (lanes over the fitted nodes, or over
// their direct-form copy for large batches) must reach the leaves leaf_of
// reaches, also for a tree whose left children do not follow their parent.
// Prints "ok" and exits 0, or describes the first mismatch and exits 1.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "tree/packed.hpp"

namespace {

using tw::Tree;

std::mt19937_64 gen(20261207);
// Whether the trees of a round give their splits random missing sides.
bool missing_sides = false;
// Whether some splits of a round's trees test random category sets.
bool category_splits = false;

double uniform() { return std::uniform_real_distribution<double>(-3.0, 3.0)(gen); }
std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen); }

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Pool {
    std::vector<double> values;  // empty: every threshold is fresh
    double draw() const { return values.empty() ? uniform() : values[below(values.size())]; }
};

// Appends a random subtree in pre-order and returns its root index.
std::uint32_t grow(Tree& t, const Pool& pool, std::size_t cols, std::size_t n_labels, int depth) {
    const auto me = static_cast<std::uint32_t>(t.nodes.size());
    t.nodes.emplace_back();
    if (depth == 0 || (depth < 9 && below(4) == 0)) {
        tw::Node& leaf = t.nodes[me];
        leaf.value = uniform();
        if (n_labels > 0) {
            leaf.has_class_weights = true;
            leaf.cw_begin = static_cast<std::uint32_t>(t.class_weights.size());
            std::uint64_t cls = below(2);
            const std::size_t count = 1 + below(3);
            for (std::size_t i = 0; i < count && cls < n_labels; ++i, cls += 1 + below(2)) {
                const std::size_t kind = below(6);
                const double w = kind == 0 ? 0.0 : kind == 1 ? -0.0 : 0.25 * (1 + below(12));
                t.class_weights.push_back(tw::ClassWeight{cls, w});
            }
            leaf.cw_count = static_cast<std::uint32_t>(t.class_weights.size() - leaf.cw_begin);
        }
        return me;
    }
    const std::size_t f = below(cols);
    t.nodes[me].feature = f;
    t.nodes[me].threshold = pool.draw();
    if (missing_sides) t.nodes[me].missing = static_cast<std::uint8_t>(below(4));
    if (category_splits && below(3) == 0) {
        tw::CategorySet set{};
        for (std::uint64_t& word : set) word = gen() & gen();
        t.nodes[me].missing |= tw::kCategorical;
        t.nodes[me].threshold = kNaN;
        t.nodes[me].cw_begin = static_cast<std::uint32_t>(t.category_sets.size());
        t.category_sets.push_back(set);
    }
    t.n_features_used = std::max<std::uint64_t>(t.n_features_used, f + 1);
    t.nodes[me].left = grow(t, pool, cols, n_labels, depth - 1);
    t.nodes[me].right = grow(t, pool, cols, n_labels, depth - 1);
    return me;
}

std::vector<Tree> forest(const Pool& pool, std::size_t cols, std::size_t n_labels) {
    std::vector<Tree> trees(1 + below(6));
    for (Tree& t : trees) grow(t, pool, cols, n_labels, static_cast<int>(below(12)));
    return trees;
}

std::vector<double> rows_from(const Pool& pool, std::size_t rows, std::size_t cols) {
    std::vector<double> x(rows * cols);
    for (double& v : x) {
        switch (below(8)) {
            case 0: v = kNaN; break;
            case 1: v = below(2) ? kInf : -kInf; break;
            case 2: v = below(2) ? 0.0 : -0.0; break;
            case 3: v = uniform(); break;
            case 4:
                if (category_splits) {
                    const std::size_t kind = below(4);
                    v = kind == 0 ? static_cast<double>(below(300)) - 20.0
                        : kind == 1 ? static_cast<double>(below(256)) + 0.5
                                    : static_cast<double>(below(256));
                    break;
                }
                [[fallthrough]];
            default: v = pool.values.empty() ? uniform() : pool.draw();
        }
    }
    return x;
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

int fail(const char* what, int round) {
    std::printf("mismatch in %s, round %d\n", what, round);
    return 1;
}

// Per feature 0..width-1, the sorted distinct thresholds of the trees' splits.
std::vector<std::vector<double>> distinct_thresholds(std::span<const Tree> trees,
                                                     std::size_t width) {
    std::vector<std::vector<double>> edges(width);
    for (const Tree& t : trees) {
        for (const tw::Node& node : t.nodes) {
            if (!node.is_leaf() && !std::isnan(node.threshold)) {
                edges[node.feature].push_back(node.threshold);
            }
        }
    }
    for (std::vector<double>& e : edges) {
        std::sort(e.begin(), e.end());
        e.erase(std::unique(e.begin(), e.end()), e.end());
    }
    return edges;
}

// Per node of t its split's rank among its feature's edges as a grower
// would hand it over (-1 for leaves), now and then wrong.
std::vector<std::int16_t> edge_ranks(const Tree& t, const std::vector<std::vector<double>>& edges) {
    std::vector<std::int16_t> ranks(t.nodes.size(), -1);
    for (std::size_t i = 0; i < t.nodes.size(); ++i) {
        const tw::Node& node = t.nodes[i];
        if (node.is_leaf() || std::isnan(node.threshold)) continue;
        const std::vector<double>& e = edges[node.feature];
        const auto r = std::lower_bound(e.begin(), e.end(), node.threshold) - e.begin();
        ranks[i] = static_cast<std::int16_t>(std::min<std::ptrdiff_t>(r, 300));
        if (below(40) == 0) ranks[i] = static_cast<std::int16_t>(below(3));
    }
    return ranks;
}

// The same tree with every split's right subtree stored before its left one,
// so no left child follows its parent. old_to_new maps node indices.
Tree mirrored(const Tree& t, std::vector<std::uint32_t>& old_to_new) {
    Tree m;
    m.class_weights = t.class_weights;
    m.category_sets = t.category_sets;
    m.n_features_used = t.n_features_used;
    old_to_new.assign(t.nodes.size(), 0);
    std::vector<std::uint32_t> stack{0};
    std::vector<std::uint32_t> order;  // old nodes in the new pre-order
    while (!stack.empty()) {
        const std::uint32_t i = stack.back();
        stack.pop_back();
        old_to_new[i] = static_cast<std::uint32_t>(order.size());
        order.push_back(i);
        if (!t.nodes[i].is_leaf()) {
            stack.push_back(t.nodes[i].left);   // visited after the right subtree
            stack.push_back(t.nodes[i].right);
        }
    }
    for (const std::uint32_t i : order) {
        tw::Node n = t.nodes[i];
        if (!n.is_leaf()) {
            n.left = old_to_new[n.left];
            n.right = old_to_new[n.right];
        }
        m.nodes.push_back(n);
    }
    return m;
}

// Tree::walk_rows, Tree::predict_rows and lanes over the fitted nodes
// against leaf_of, row by row. Returns the name of the first failing walk.
const char* check_tree_walks(const Tree& t, const tw::MatrixView& x) {
    std::vector<std::size_t> want(x.rows), leaves(x.rows, ~std::size_t{0});
    std::vector<double> values(x.rows, kNaN);
    for (std::size_t r = 0; r < x.rows; ++r) want[r] = t.leaf_of(x.row(r));
    t.walk_rows(x.rows, [&](std::size_t r) { return x.row(r); },
                [&](std::size_t r, std::uint32_t leaf) { leaves[r] = leaf; });
    if (leaves != want) return "walk_rows";
    t.predict_rows(x, values.data());
    for (std::size_t r = 0; r < x.rows; ++r) {
        if (std::memcmp(&values[r], &t.nodes[want[r]].value, sizeof(double)) != 0) {
            return "predict_rows";
        }
    }
    // The fitted nodes route thresholds only; trees with category sets walk
    // through Tree.
    if (t.has_categories()) return nullptr;
    std::vector<std::size_t> seen(x.rows, 0);
    bool ok = true;
    tw::walk_lanes(t.nodes.data(), x.rows, [&](std::size_t r) { return x.row(r); },
                   [&](std::size_t r, std::uint32_t leaf) {
                       ok = ok && leaf == want[r];
                       ++seen[r];
                   });
    if (!ok || std::any_of(seen.begin(), seen.end(), [](std::size_t c) { return c != 1; })) {
        return "lanes over the fitted nodes";
    }
    return nullptr;
}

}  // namespace

int main() {
    for (int round = 0; round < 300; ++round) {
        const std::size_t cols = 1 + below(5);
        Pool pool;
        // Some rounds draw from a pool of more than 255 values: each tree
        // may fit the coded form while the forest does not.
        const bool wide_pool = round % 10 == 4;
        const bool small_pool = round % 3 != 0 && !wide_pool;
        if (small_pool) {
            pool.values = {0.0, -0.0, 1.0, -1.0, 0.5, kInf, -kInf, 1e308, -1e308, 5e-324};
            const std::size_t extra = below(240);
            for (std::size_t i = 0; i < extra; ++i) pool.values.push_back(uniform());
        } else if (wide_pool) {
            const std::size_t size = 256 + below(300);
            for (std::size_t i = 0; i < size; ++i) pool.values.push_back(uniform());
        }
        const std::size_t n_labels = round % 2 == 0 ? 0 : 1 + below(round % 4 == 1 ? 4 : 12);
        missing_sides = round % 5 >= 3;
        category_splits = round % 7 >= 5;
        const std::vector<Tree> trees = forest(pool, cols, n_labels);
        const std::size_t rows = below(70);
        const std::vector<double> data = rows_from(pool, rows, cols);
        const tw::MatrixView x{data.data(), rows, cols, cols};
        const std::size_t begin = rows == 0 ? 0 : below(rows);
        const std::size_t end = begin + below(rows - begin + 1);
        const std::size_t n = end - begin;

        // Plain walks, tree by tree, adding every class column.
        const std::size_t k = n_labels == 0 ? 0 : below(n_labels + 2);
        std::vector<double> want_values(n, 0.0), want_shares(n * k, 0.0), leaf(k);
        for (const Tree& t : trees) {
            for (std::size_t r = begin; r < end; ++r) {
                const std::size_t node = t.leaf_of(x.row(r));
                want_values[r - begin] += t.nodes[node].value;
                if (n_labels == 0) continue;
                t.leaf_proba(node, k, leaf.data());
                for (std::size_t c = 0; c < k; ++c) want_shares[(r - begin) * k + c] += leaf[c];
            }
        }

        for (const bool allow_coded : {true, false}) {
            const tw::PackedForest packed = n_labels == 0
                                                ? tw::PackedForest::values(trees, allow_coded)
                                                : tw::PackedForest::shares(trees, k, allow_coded);
            // A pool of at most 250 values always fits the coded form;
            // fresh thresholds almost never do.
            if (allow_coded && small_pool && !category_splits && !packed.coded()) {
                return fail("coded form refused", round);
            }
            if (!allow_coded && packed.coded()) return fail("coded form forced", round);
            // A copy walks its own copies of the category sets, after the
            // original is gone.
            std::optional<tw::PackedForest> original(packed);
            const tw::PackedForest copy = *original;
            original.reset();
            // Packed from surveys taken beforehand for some of the trees:
            // the same form.
            std::vector<tw::PackedForest::TreeSurvey> surveys(trees.size());
            for (std::size_t t = 0; t < trees.size(); ++t) {
                if (below(2) == 0) surveys[t] = tw::PackedForest::survey(trees[t], allow_coded);
            }
            const tw::PackedForest surveyed =
                n_labels == 0 ? tw::PackedForest::values(trees, allow_coded, std::move(surveys))
                              : tw::PackedForest::shares(trees, k, allow_coded, std::move(surveys));
            if (surveyed.coded() != packed.coded()) return fail("form from surveys", round);
            // Packed from trees coded on bin edges (per feature the forest's
            // sorted distinct thresholds, now and then followed by a missing
            // bin's repeated +inf; a rank now and then wrong; some trees
            // surveyed the usual way): the same sums, in the coded form
            // whenever every tree came coded on the edges.
            std::vector<std::vector<double>> forest_edges = distinct_thresholds(trees, cols);
            for (std::vector<double>& e : forest_edges) {
                if (below(3) == 0) {
                    if (e.empty() || e.back() != kInf) e.push_back(kInf);
                    e.push_back(kInf);
                }
            }
            std::vector<tw::PackedForest::TreeSurvey> on_edges(trees.size());
            // Classification trees take their shares over the pack's columns,
            // now and then over other ones (which the pack must not use).
            const std::size_t columns = n_labels == 0 ? 0 : below(4) == 0 ? k + 1 : k;
            bool all_on_edges = columns == k || n_labels == 0;
            for (std::size_t t = 0; t < trees.size(); ++t) {
                const std::vector<std::int16_t> ranks = edge_ranks(trees[t], forest_edges);
                if (below(6) == 0) {
                    on_edges[t] = tw::PackedForest::survey(trees[t], allow_coded);
                    all_on_edges = false;
                } else {
                    on_edges[t] = tw::PackedForest::survey_on_edges(trees[t], ranks, forest_edges,
                                                                    n_labels == 0, columns);
                    all_on_edges = all_on_edges && on_edges[t].on_edges;
                }
            }
            const tw::PackedForest by_edges =
                n_labels == 0
                    ? tw::PackedForest::values(trees, allow_coded, std::move(on_edges), forest_edges)
                    : tw::PackedForest::shares(trees, k, allow_coded, std::move(on_edges),
                                               forest_edges);
            if (allow_coded && all_on_edges && !by_edges.coded()) return fail("coded on edges", round);
            if (!allow_coded && by_edges.coded()) return fail("coded on edges forced", round);
            // Surveys through the splits' edge ranks (edges: each feature's
            // distinct thresholds, a rank now and then wrong or missing)
            // equal those through the thresholds.
            for (const Tree& t : trees) {
                const std::vector<std::vector<double>> edges =
                    distinct_thresholds({&t, 1}, t.n_features_used);
                const std::vector<std::int16_t> ranks = edge_ranks(t, edges);
                const tw::PackedForest::TreeSurvey a = tw::PackedForest::survey(t, allow_coded);
                const tw::PackedForest::TreeSurvey b =
                    tw::PackedForest::survey(t, allow_coded, ranks, edges);
                if (a.coded != b.coded || a.missing_left != b.missing_left ||
                    (a.coded && (a.index != b.index || a.values.size() != b.values.size()))) {
                    return fail("survey by ranks", round);
                }
                for (std::size_t f = 0; a.coded && f < a.values.size(); ++f) {
                    if (!same(a.values[f], b.values[f])) return fail("survey values by ranks", round);
                }
            }
            for (const tw::PackedForest* p : {&packed, &copy, &surveyed, &by_edges}) {
                std::vector<double> got(n_labels == 0 ? n : n * k, 0.0);
                if (n_labels == 0) {
                    p->add_values(x, begin, end, trees, got.data());
                    if (!same(got, want_values)) return fail("values", round);
                } else {
                    p->add_shares(x, begin, end, trees, got.data());
                    if (!same(got, want_shares)) return fail("shares", round);
                }
            }
        }
    }
    // Single trees: batches below and above the size that pays for the
    // direct-form copy, and the same trees with mirrored layouts (which walk
    // the fitted nodes only).
    for (int round = 0; round < 200; ++round) {
        const std::size_t cols = 1 + below(5);
        Pool pool;
        if (round % 2 == 0) pool.values = {0.0, -0.0, 1.0, -1.0, kInf, -kInf, 5e-324};
        missing_sides = round % 3 == 0;
        category_splits = round % 5 >= 3;
        Tree t;
        grow(t, pool, cols, 0, static_cast<int>(below(10)));
        const std::size_t rows = round % 4 == 0 ? below(64) : 64 + below(400);
        const std::vector<double> data = rows_from(pool, rows, cols);
        const tw::MatrixView x{data.data(), rows, cols, cols};
        if (const char* what = check_tree_walks(t, x)) return fail(what, round);
        std::vector<std::uint32_t> old_to_new;
        const Tree m = mirrored(t, old_to_new);
        if (const char* what = check_tree_walks(m, x)) return fail(what, round);
        for (std::size_t r = 0; r < rows; ++r) {
            if (m.leaf_of(x.row(r)) != old_to_new[t.leaf_of(x.row(r))]) {
                return fail("mirrored layout", round);
            }
        }
    }
    std::printf("ok\n");
    return 0;
}
