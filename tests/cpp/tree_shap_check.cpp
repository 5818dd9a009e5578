// Checks of the TreeShap core on hand-built random trees, run by
// tests/test_tree_shap.py (compiled with src/tree_shap/tree_shap.cpp and
// src/tree/tree.cpp).
//
//   tree_shap_check agree SEED N      enumeration vs path algorithm, efficiency,
//                                     and the enumeration against a plain
//                                     recursive reference, bit for bit
//   tree_shap_check deep DEPTH        chain tree with many distinct features:
//                                     path algorithm, no recursion, efficiency
//   tree_shap_check wide              many distinct features: auto picks the
//                                     path algorithm; efficiency holds
// Prints one summary line; exits 1 with a message on the first failure.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "tree_shap/tree_shap.hpp"

using tw::ClassWeight;
using tw::MatrixView;
using tw::Node;
using tw::Tree;
using tw::TreeShap;

namespace {

[[noreturn]] void fail(const std::string& msg) {
    std::printf("FAIL %s\n", msg.c_str());
    std::exit(1);
}

struct Data {
    std::vector<double> v;
    std::size_t rows, cols;
    MatrixView view() const { return {v.data(), rows, cols, cols}; }
};

Data random_data(std::mt19937_64& g, std::size_t rows, std::size_t cols, double nan_rate) {
    Data d{std::vector<double>(rows * cols), rows, cols};
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double& x : d.v) x = u(g) < nan_rate ? std::nan("") : u(g);
    return d;
}

// Random pre-order tree. Features come from a small pool so that paths repeat
// features; leaves carry a value and (for classification) class weights.
struct TreeGen {
    std::mt19937_64& g;
    std::size_t n_feat;
    std::size_t max_depth;
    std::size_t n_classes;
    Tree t;

    std::uint32_t grow(std::size_t depth) {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const std::uint32_t id = static_cast<std::uint32_t>(t.nodes.size());
        t.nodes.push_back(Node{});
        const bool split = depth < max_depth && (depth < 2 || u(g) < 0.75);
        if (!split) {
            Node& n = t.nodes[id];
            n.value = std::floor(u(g) * 7.0) - 3.0 + u(g);
            n.has_class_weights = true;
            n.cw_begin = static_cast<std::uint32_t>(t.class_weights.size());
            for (std::size_t c = 0; c < n_classes + 1; ++c) {  // one class beyond the outputs
                if (u(g) < 0.6) t.class_weights.push_back({c, std::floor(u(g) * 5.0)});
            }
            n.cw_count = static_cast<std::uint32_t>(t.class_weights.size() - n.cw_begin);
            return id;
        }
        const std::uint64_t f = g() % n_feat;
        const double thr = u(g);
        const std::uint32_t l = grow(depth + 1);
        const std::uint32_t r = grow(depth + 1);
        Node& n = t.nodes[id];
        n.feature = f;
        n.threshold = thr;
        n.left = l;
        n.right = r;
        return id;
    }
};

// n_samples: either the counts of a "training" sample routed through the tree,
// or random counts with some zeros.
void set_counts(Tree& t, const Data& fit, bool random_counts, std::mt19937_64& g) {
    for (Node& n : t.nodes) n.n_samples = 0;
    if (random_counts) {
        for (Node& n : t.nodes) n.n_samples = (g() % 4 == 0) ? 0 : g() % 40;
        return;
    }
    for (std::size_t r = 0; r < fit.rows; ++r) {
        const double* row = fit.v.data() + r * fit.cols;
        std::size_t i = 0;
        for (;;) {
            ++t.nodes[i].n_samples;
            if (t.nodes[i].left == 0) break;
            i = row[t.nodes[i].feature] <= t.nodes[i].threshold ? t.nodes[i].left
                                                                 : t.nodes[i].right;
        }
    }
}

// Plain recursive reference of the enumeration, written straight from its
// definition (separate value table per output, masks ascending).
struct Reference {
    const Tree& t;
    std::vector<std::uint64_t> lc, rc;  // covers
    std::vector<std::uint64_t> feats;
    bool classification;
    std::size_t n_out;

    Reference(const Tree& tree, const MatrixView& xt, bool cls, std::size_t n_outputs)
        : t(tree), lc(tree.nodes.size()), rc(tree.nodes.size()), classification(cls),
          n_out(cls ? n_outputs : 1) {
        std::vector<std::size_t> all(xt.rows);
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
        cover(0, all, xt);
        collect(0);
    }
    void cover(std::size_t node, const std::vector<std::size_t>& rows, const MatrixView& xt) {
        const Node& n = t.nodes[node];
        if (n.left == 0) return;
        std::vector<std::size_t> l, r;
        for (std::size_t i : rows) (xt.at(i, n.feature) <= n.threshold ? l : r).push_back(i);
        lc[node] = l.size();
        rc[node] = r.size();
        cover(n.left, l, xt);
        cover(n.right, r, xt);
    }
    void collect(std::size_t node) {
        const Node& n = t.nodes[node];
        if (n.left == 0) return;
        if (std::find(feats.begin(), feats.end(), n.feature) == feats.end()) {
            feats.push_back(n.feature);
        }
        collect(n.left);
        collect(n.right);
    }
    std::vector<double> leaf(std::size_t node) const {
        const Node& n = t.nodes[node];
        if (!classification) return {n.value};
        std::vector<double> v(n_out, 0.0);
        double total = 0.0;
        for (std::uint32_t k = 0; k < n.cw_count; ++k) total += t.class_weights[n.cw_begin + k].weight;
        if (total > 0.0) {
            for (std::uint32_t k = 0; k < n.cw_count; ++k) {
                const ClassWeight& e = t.class_weights[n.cw_begin + k];
                if (e.cls < n_out) v[e.cls] = e.weight / total;
            }
        }
        return v;
    }
    double eval(const double* row, std::uint64_t mask, std::size_t node, std::size_t c) const {
        for (;;) {
            const Node& n = t.nodes[node];
            if (n.left == 0) {
                const auto v = leaf(node);
                return v[std::min(c, v.size() - 1)];
            }
            std::size_t pos = 0;
            bool in = false;
            for (; pos < feats.size(); ++pos) {
                if (feats[pos] == n.feature && ((mask >> pos) & 1)) { in = true; break; }
            }
            if (!in) {
                double wl = 0.5, wr = 0.5;
                if (n.n_samples != 0) {
                    wl = double(lc[node]) / double(n.n_samples);
                    wr = double(rc[node]) / double(n.n_samples);
                }
                const double a = eval(row, mask, n.left, c);
                const double b = eval(row, mask, n.right, c);
                return a * wl + b * wr;
            }
            node = row[n.feature] <= n.threshold ? n.left : n.right;
        }
    }
    std::vector<double> explain_row(const double* row, std::size_t c, std::size_t n_features) const {
        std::vector<double> phi(n_features, 0.0);
        const std::size_t m = feats.size();
        if (m == 0) return phi;
        std::vector<double> fact(m + 1);
        fact[0] = 1.0;
        for (std::size_t k = 1; k <= m; ++k) fact[k] = fact[k - 1] * double(k);
        std::vector<double> v(std::size_t(1) << m);
        for (std::uint64_t j = 0; j < v.size(); ++j) v[j] = eval(row, j, 0, c);
        for (std::size_t i = 0; i < m; ++i) {
            double sum = 0.0;
            for (std::uint64_t k = 0; k < v.size(); ++k) {
                if (k & (std::uint64_t(1) << i)) continue;
                const int s = std::popcount(k);
                const double weight = fact[s] * fact[m - 1 - s] / fact[m];
                sum += weight * (v[k | (std::uint64_t(1) << i)] - v[k]);
            }
            phi[feats[i]] += sum;
        }
        return phi;
    }
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int agree(std::uint64_t seed, int n_trees) {
    std::mt19937_64 g(seed);
    double worst = 0.0;
    std::size_t max_m = 0, compared = 0, repeated = 0;
    for (int it = 0; it < n_trees; ++it) {
        const std::size_t n_feat = 2 + g() % 11;
        const std::size_t cols = n_feat + g() % 3;
        const bool cls = g() % 2 == 0;
        const std::size_t n_classes = 1 + g() % 3;
        TreeGen gen{g, n_feat, 3 + g() % 7, n_classes, {}};
        gen.grow(0);
        Tree& t = gen.t;
        const double nan_rate = (it % 3 == 0) ? 0.1 : 0.0;
        // Training sample and a background that is smaller, equal or larger.
        const std::size_t n_fit = 20 + g() % 200;
        const Data fit = random_data(g, n_fit, cols, nan_rate);
        const int mode = it % 4;  // 0 smaller, 1 same rows, 2 larger, 3 random counts
        Data xt = mode == 1 ? fit
                            : random_data(g, mode == 0 ? n_fit / 4 : n_fit * 6, cols, nan_rate);
        set_counts(t, fit, mode == 3, g);
        const Data x = random_data(g, 4, cols, nan_rate);

        TreeShap ts(t, n_classes, cls, xt.view());
        const Reference ref(t, xt.view(), cls, n_classes);
        if (ts.split_features() != ref.feats) fail("feature order differs");
        const std::size_t m = ts.split_features().size();
        max_m = std::max(max_m, m);
        for (std::size_t k = 0; k < t.nodes.size(); ++k) {
            if (ts.left_cover(k) != ref.lc[k] || ts.right_cover(k) != ref.rc[k]) fail("covers differ");
        }
        if (m > 12) continue;
        // Count trees with a feature repeated on some root-to-leaf path.
        {
            std::vector<std::vector<std::uint64_t>> stack{{}};
            std::vector<std::size_t> nodes{0};
            bool rep = false;
            while (!nodes.empty()) {
                const std::size_t k = nodes.back();
                nodes.pop_back();
                auto path = stack.back();
                stack.pop_back();
                if (t.nodes[k].left == 0) continue;
                if (std::find(path.begin(), path.end(), t.nodes[k].feature) != path.end()) rep = true;
                path.push_back(t.nodes[k].feature);
                nodes.push_back(t.nodes[k].left);
                stack.push_back(path);
                nodes.push_back(t.nodes[k].right);
                stack.push_back(path);
            }
            repeated += rep;
        }
        const auto e = ts.explain(x.view(), TreeShap::Method::enumeration);
        const auto p = ts.explain(x.view(), TreeShap::Method::path);
        const auto a = ts.explain(x.view());
        const std::size_t no = ts.n_outputs(), nf = ts.n_features();
        if (m <= TreeShap::kEnumerationLimit && !std::equal(a.begin(), a.end(), e.begin(), same_bits)) {
            fail("automatic choice is not the enumeration for a small tree");
        }
        for (std::size_t r = 0; r < x.rows; ++r) {
            const double* row = x.v.data() + r * cols;
            for (std::size_t c = 0; c < no; ++c) {
                const double* pe = e.data() + (r * no + c) * nf;
                const double* pp = p.data() + (r * no + c) * nf;
                const auto want = ref.explain_row(row, c, nf);
                for (std::size_t f = 0; f < nf; ++f) {
                    if (!same_bits(pe[f], want[f])) {
                        fail("enumeration differs from the reference: tree " + std::to_string(it));
                    }
                }
                double vmax = 0.0;
                for (std::uint64_t j = 0; j < (std::uint64_t(1) << m); ++j) {
                    vmax = std::max(vmax, std::fabs(ts.coalition_value(row, j, c)));
                }
                const double vall = ts.coalition_value(row, (std::uint64_t(1) << m) - 1, c);
                const double vnone = ts.coalition_value(row, 0, c);
                double se = 0.0, sp = 0.0, err = 0.0;
                for (std::size_t f = 0; f < nf; ++f) {
                    se += pe[f];
                    sp += pp[f];
                    err = std::max(err, std::fabs(pe[f] - pp[f]));
                }
                const double scale = vmax > 0.0 ? vmax : 1.0;
                if (!std::isfinite(sp) || err > 1e-12 * scale) {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.3g", err / scale);
                    fail(std::string("path differs from enumeration by ") + buf +
                         " (tree " + std::to_string(it) + ")");
                }
                if (std::fabs(se - (vall - vnone)) > 1e-12 * scale ||
                    std::fabs(sp - (vall - vnone)) > 1e-12 * scale) {
                    fail("efficiency fails (tree " + std::to_string(it) + ")");
                }
                worst = std::max(worst, err / scale);
                ++compared;
            }
        }
    }
    std::printf("agree trees=%d compared=%zu repeated=%zu max_m=%zu worst=%.3g\n", n_trees,
                compared, repeated, max_m, worst);
    return 0;
}

// A chain: every split sends one side to a leaf. Features cycle over `n_feat`
// columns so they repeat many times along the single long path.
Tree chain(std::size_t depth, std::size_t n_feat, std::mt19937_64& g) {
    Tree t;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    // Pre-order: split 0, split 1, ..., split depth-1, last leaf, then the
    // right leaves in reverse depth order.
    t.nodes.assign(2 * depth + 1, Node{});
    for (std::size_t d = 0; d < depth; ++d) {
        Node& n = t.nodes[d];
        n.feature = (d * 7) % n_feat;
        n.threshold = u(g);
        n.left = static_cast<std::uint32_t>(d + 1);
        n.right = static_cast<std::uint32_t>(2 * depth - d);
    }
    for (std::size_t k = depth; k < 2 * depth + 1; ++k) t.nodes[k].value = u(g) * 10.0 - 5.0;
    return t;
}

int deep(std::size_t depth) {
    std::mt19937_64 g(7);
    const std::size_t n_feat = 40;
    Tree t = chain(depth, n_feat, g);
    const Data fit = random_data(g, 500, n_feat, 0.0);
    set_counts(t, fit, false, g);
    // Background twice the training rows: subtree weights above 1.
    Data xt = random_data(g, 1000, n_feat, 0.0);
    TreeShap ts(t, 1, false, xt.view());
    const Data x = random_data(g, 3, n_feat, 0.0);
    const auto phi = ts.explain(x.view());
    const std::size_t m = ts.split_features().size();
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* row = x.v.data() + r * n_feat;
        const double vall = ts.coalition_value(row, ~std::uint64_t(0), 0);
        const double vnone = ts.coalition_value(row, 0, 0);
        double s = 0.0;
        for (std::size_t f = 0; f < n_feat; ++f) s += phi[r * n_feat + f];
        if (!(std::fabs(s - (vall - vnone)) <= 1e-9 * std::max(1.0, std::fabs(vall) + std::fabs(vnone)))) {
            fail("deep efficiency: " + std::to_string(s) + " vs " + std::to_string(vall - vnone));
        }
    }
    std::printf("deep depth=%zu m=%zu ok\n", depth, m);
    return 0;
}

int wide() {
    // 40 distinct features: beyond enumeration. Every split on its own column
    // on a balanced tree, so v(S) for any S is cheap to get from the tree.
    std::mt19937_64 g(11);
    const std::size_t n_feat = 64;
    TreeGen gen{g, n_feat, 9, 1, {}};
    gen.grow(0);
    Tree& t = gen.t;
    const Data fit = random_data(g, 400, n_feat, 0.0);
    set_counts(t, fit, false, g);
    const Data xt = random_data(g, 250, n_feat, 0.05);
    TreeShap ts(t, 1, false, xt.view());
    const std::size_t m = ts.split_features().size();
    if (m <= TreeShap::kEnumerationLimit) fail("wide tree too narrow");
    bool refused = false;
    if (m > TreeShap::kEnumerationMax) {
        try {
            ts.explain(fit.view(), TreeShap::Method::enumeration);
        } catch (const tw::ValueError&) {
            refused = true;
        }
        if (!refused) fail("enumeration of too many features was not refused");
    }
    const Data x = random_data(g, 5, n_feat, 0.05);
    const auto a = ts.explain(x.view());
    const auto p = ts.explain(x.view(), TreeShap::Method::path);
    if (!std::equal(a.begin(), a.end(), p.begin(), same_bits)) fail("automatic is not the path");
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* row = x.v.data() + r * n_feat;
        const double vall = ts.coalition_value(row, ~std::uint64_t(0), 0);
        const double vnone = ts.coalition_value(row, 0, 0);
        double s = 0.0;
        for (std::size_t f = 0; f < n_feat; ++f) s += a[r * n_feat + f];
        if (std::fabs(s - (vall - vnone)) > 1e-12 * std::max(1.0, std::fabs(vall) + std::fabs(vnone))) {
            fail("wide efficiency");
        }
    }
    // A column the tree splits on that x lacks is refused.
    bool narrow = false;
    try {
        MatrixView v = x.view();
        v.cols = 1;
        ts.explain(v);
    } catch (const tw::ValueError&) {
        narrow = true;
    }
    if (!narrow) fail("narrow x accepted");
    std::printf("wide m=%zu ok\n", m);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) fail("usage");
    const std::string cmd = argv[1];
    if (cmd == "agree" && argc == 4) return agree(std::strtoull(argv[2], nullptr, 10), std::atoi(argv[3]));
    if (cmd == "deep" && argc == 3) return deep(std::strtoull(argv[2], nullptr, 10));
    if (cmd == "wide") return wide();
    fail("usage");
}
