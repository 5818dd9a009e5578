// Grows histogram trees on random data and checks every node against a
// replay of the bootstrap entries the finished tree routes to it (value <=
// threshold goes left, NaN goes the node's missing side): a node's n_samples is the number of
// its entries, a leaf's class weights and value, or its weighted mean, are
// the sums over its entries in bootstrap order, bit for bit, and every
// threshold is an inner bin edge of its feature. This catches a partition
// that sends a row elsewhere than the tree does, in every grower mode:
// count mode (with and without kept histograms, and on columns holding NaN
// in their missing bin and twins), dense and
// grouped class sums, regression, tiny nodes and all stop rules, and fast
// growth (TreeParams::fast_growth), whose merged slots sum each distinct
// row once with its multiplicity, in ascending row order.
// Used by tests/test_histogram.py; prints "ok" or the first mismatches.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "core/radix_sort.hpp"
#include "core/rng.hpp"
#include "grow/grow.hpp"
#include "grow/scratch.hpp"
#include "histogram/histogram.hpp"

namespace {

std::mt19937_64 gen(77);
std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen); }
double normal() { return std::normal_distribution<double>(0.0, 1.0)(gen); }

int failures = 0;
template <class... A>
void fail(const char* format, A... args) {
    if (failures++ < 8) {
        std::printf(format, args...);
        std::printf("\n");
    }
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Buffers shared by every case's second growth (grow/scratch.hpp).
tw::grow::GrowScratch shared_scratch;

bool same_tree(const tw::Tree& a, const tw::Tree& b) {
    if (a.nodes.size() != b.nodes.size() || a.class_weights.size() != b.class_weights.size() ||
        a.category_sets != b.category_sets) {
        return false;
    }
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        const tw::Node& p = a.nodes[i];
        const tw::Node& q = b.nodes[i];
        if (!same(p.threshold, q.threshold) || !same(p.value, q.value) ||
            p.n_samples != q.n_samples || p.feature != q.feature || p.left != q.left ||
            p.right != q.right || p.cw_begin != q.cw_begin || p.cw_count != q.cw_count ||
            p.missing != q.missing) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.class_weights.size(); ++i) {
        if (std::memcmp(&a.class_weights[i], &b.class_weights[i], sizeof a.class_weights[i]) != 0) {
            return false;
        }
    }
    return true;
}

struct Case {
    std::size_t rows, cols;
    std::size_t classes;   // 0: regression
    bool unit_weights;
    double nan_rate;       // share of NaN in the columns that hold any
    bool ties;
    std::size_t boot_len;  // bootstrap entries
    tw::TreeParams params;
    std::size_t categories = 0;  // columns 0, 3, 6, ... hold codes of this many categories
};

void check(const Case& c, std::uint64_t seed) {
    std::vector<double> x(c.rows * c.cols), y(c.rows), w(c.rows);
    for (std::size_t r = 0; r < c.rows; ++r) {
        for (std::size_t f = 0; f < c.cols; ++f) {
            double v = normal();
            if (c.ties) v = std::round(v * 2.0) / 2.0;
            if (f == 2 && c.cols > 3) v = 1.5;  // a constant column
            if (c.categories != 0 && f % 3 == 0) v = static_cast<double>(below(c.categories));
            if (f % 2 == 1 && std::uniform_real_distribution<double>(0, 1)(gen) < c.nan_rate) {
                v = std::numeric_limits<double>::quiet_NaN();
            }
            x[r * c.cols + f] = v;
        }
        double signal = x[r * c.cols] == x[r * c.cols] ? x[r * c.cols] : 0.0;
        // A scattered effect of the categories: odd codes high.
        if (c.categories != 0) signal = static_cast<double>(static_cast<int>(signal) % 2) - 0.5;
        if (c.classes == 0) {
            y[r] = 2.0 * signal + 0.3 * normal();
        } else {
            const double s = signal + 0.5 * normal();
            std::size_t k = static_cast<std::size_t>((std::tanh(s) + 1.0) / 2.0 * c.classes);
            y[r] = static_cast<double>(std::min(k, c.classes - 1) * 3);  // gapped labels
        }
        w[r] = c.unit_weights ? 1.0 : 0.25 + static_cast<double>(below(8)) / 4.0;
    }
    std::vector<std::size_t> boot(c.boot_len);
    for (std::size_t& b : boot) b = below(c.rows);
    const tw::MatrixView view{x.data(), c.rows, c.cols, c.cols};
    std::vector<std::uint16_t> categories;
    if (c.categories != 0) {
        categories.assign(c.cols, 0);
        for (std::size_t f = 0; f < c.cols; f += 3) categories[f] = static_cast<std::uint16_t>(c.categories);
        // Missing codes in the categorical columns too.
        for (std::size_t r = 0; r < c.rows; ++r) {
            if (std::uniform_real_distribution<double>(0, 1)(gen) < c.nan_rate) {
                x[r * c.cols + 3 % c.cols] = std::numeric_limits<double>::quiet_NaN();
            }
        }
    }
    const tw::HistogramData hist = tw::HistogramData::build(view, categories);
    tw::Rng rng = tw::seed_rng(seed);
    const tw::Tree tree = tw::build_tree_on_bootstrap(view, y, w, boot, c.params, rng, hist);
    // The same tree again on the buffers every earlier case left behind
    // (other shapes, modes and sizes): nothing it reads may be stale.
    tw::Rng again = tw::seed_rng(seed);
    const tw::Tree reused = tw::build_tree_on_bootstrap(view, y, w, boot, c.params, again, hist,
                                                        {}, nullptr, &shared_scratch);
    if (!same_tree(tree, reused)) {
        fail("seed %llu: the tree grown on reused buffers differs", (unsigned long long)seed);
    }

    if (c.categories != 0 && !tree.has_categories()) {
        fail("seed %llu: no category-set split grown", (unsigned long long)seed);
    }
    // Every node's entries, in bootstrap order.
    std::vector<std::vector<std::size_t>> at(tree.nodes.size());
    for (std::size_t p = 0; p < boot.size(); ++p) {
        const double* row = view.row(boot[p]);
        std::size_t i = 0;
        at[0].push_back(boot[p]);
        while (!tree.nodes[i].is_leaf()) {
            const tw::Node& n = tree.nodes[i];
            i = tree.goes_left_at(n, row) ? n.left : n.right;
            at[i].push_back(boot[p]);
        }
    }
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const tw::Node& n = tree.nodes[i];
        const std::vector<std::size_t>& rows = at[i];
        if (n.n_samples != rows.size()) {
            fail("seed %llu node %zu: n_samples %llu, %zu entries routed", (unsigned long long)seed, i,
                 (unsigned long long)n.n_samples, rows.size());
        }
        if (!n.is_leaf() && n.is_categorical()) {
            // A set of codes below the column's count only.
            const tw::CategorySet& set = tree.category_sets.at(n.cw_begin);
            for (std::size_t code = c.categories; code < tw::kMaxCategories; ++code) {
                if (tw::in_category_set(set.data(), static_cast<std::uint32_t>(code))) {
                    fail("seed %llu node %zu: code %zu in the set", (unsigned long long)seed, i, code);
                }
            }
            if (categories.empty() || categories.at(n.feature) == 0) {
                fail("seed %llu node %zu: a set on a numeric column", (unsigned long long)seed, i);
            }
            continue;
        }
        if (!n.is_leaf()) {
            const std::vector<double>& edges = hist.bin_edges[n.feature];
            bool edge = false;
            for (std::size_t b = 0; b + 1 < edges.size(); ++b) edge = edge || same(edges[b], n.threshold);
            // "Missing only left": no value goes left.
            edge = edge || ((n.missing & tw::kMissingLeft) != 0 && n.threshold == -INFINITY);
            if (!edge) fail("seed %llu node %zu: threshold %a is no inner bin edge", (unsigned long long)seed, i, n.threshold);
            continue;
        }
        if (c.classes == 0) {
            double total_w = 0.0, total_wy = 0.0;
            if (c.params.fast_growth && c.unit_weights && !c.params.random_splits) {
                std::map<std::size_t, std::size_t> draws;  // row -> entries, ascending
                for (std::size_t r : rows) ++draws[r];
                for (const auto& [r, m] : draws) {
                    total_w += static_cast<double>(m);
                    total_wy += static_cast<double>(m) * y[r];
                }
            } else {
                for (std::size_t r : rows) {
                    total_w += w[r];
                    total_wy += w[r] * y[r];
                }
            }
            const double want = total_w > 0.0 ? total_wy / total_w : 0.0;
            if (!same(n.value, want)) fail("seed %llu leaf %zu: value %a, mean %a", (unsigned long long)seed, i, n.value, want);
            continue;
        }
        std::map<std::uint64_t, double> weights;
        for (std::size_t r : rows) {
            const auto it = weights.find(static_cast<std::uint64_t>(y[r]));
            if (it == weights.end()) {
                weights.emplace(static_cast<std::uint64_t>(y[r]), 0.0 + w[r]);
            } else {
                it->second += w[r];
            }
        }
        const auto cw = tree.leaf_weights(i);
        bool ok = n.has_class_weights && cw.size() == weights.size();
        std::size_t k = 0;
        double top = -1.0, value = 0.0;
        for (const auto& [cls, sum] : weights) {
            ok = ok && cw[k].cls == cls && same(cw[k].weight, sum);
            if (sum >= top) {
                top = sum;
                value = static_cast<double>(cls);
            }
            ++k;
        }
        ok = ok && same(n.value, value);
        if (!ok) fail("seed %llu leaf %zu: class weights or value differ from its %zu entries", (unsigned long long)seed, i, rows.size());
    }
}

tw::TreeParams params(bool classification, std::optional<std::uint64_t> depth,
                      std::optional<std::uint64_t> features, std::uint64_t split, std::uint64_t leaf) {
    tw::TreeParams p;
    p.is_classification = classification;
    p.max_depth = depth;
    p.max_features = features;
    p.min_samples_split = split;
    p.min_samples_leaf = leaf;
    return p;
}

tw::TreeParams leaf_limited(tw::TreeParams p) {
    p.max_leaf_nodes = 20;
    return p;
}

tw::TreeParams fast(tw::TreeParams p) {
    p.fast_growth = true;
    return p;
}

tw::TreeParams randomised(tw::TreeParams p) {
    p.random_splits = true;
    return p;
}

}  // namespace

// The radix sort against a stable comparison sort: keys of few and of many
// distinct values (so that passes are skipped or not, an odd or even number
// of them run), entries carried in their input order among equal keys, and
// doubles given back in the order of their values.
void check_radix() {
    for (const std::size_t n : {0, 1, 2, 3, 1000, 5001}) {
        const std::uint64_t one = 1, all = ~std::uint64_t{0};
        for (const std::uint64_t spread : {one, one * 7, one << 12, one << 25, all}) {
            std::vector<std::uint64_t> keys(n), other;
            for (auto& k : keys) k = spread == all ? gen() : gen() % spread;
            // Few keys of any digits, each many times.
            if (spread == 7) {
                const std::uint64_t few[3] = {gen(), gen(), gen()};
                for (auto& k : keys) k = few[k % 3] ^ (k >> 1);
            }
            std::vector<std::uint32_t> rows(n), rows_other;
            for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<std::uint32_t>(i);
            std::vector<std::uint32_t> want = rows;
            std::stable_sort(want.begin(), want.end(),
                             [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
            std::vector<std::uint64_t> sorted = keys;
            tw::radix_sort_keys(sorted, other, &rows, &rows_other);
            for (std::size_t i = 0; i < n; ++i) {
                if (rows[i] != want[i] || sorted[i] != keys[want[i]]) {
                    fail("radix sort of %zu keys below %llu: entry %zu is row %u, not %u", n,
                         static_cast<unsigned long long>(spread), i, rows[i], want[i]);
                    break;
                }
            }
        }
        std::vector<double> column(n);
        for (auto& v : column) {
            v = below(3) == 0 ? std::ldexp(normal(), static_cast<int>(below(40)) - 20) : -2.5;
        }
        std::vector<double> want = column;
        std::sort(want.begin(), want.end());
        std::vector<std::uint64_t> keys, other;
        tw::radix_sort_values(column, keys, other);
        if (column != want) fail("radix sort of %zu doubles is out of order", n);
    }
}

// Every row's code is the number of its column's edges below its value
// (NaN: the missing bin), whichever way the codes were found: columns of
// every kind of spread (normal, uniform, long-tailed, a few values, edges
// crowded into one spot, infinities of magnitude, missing values, -0.0),
// long enough for the bucket table and too short for it, in byte and
// two-byte codes, and with lossless and quantile edges.
void check_codes() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::size_t n : {300, 5000}) {
        const std::size_t cols = 9;
        std::vector<double> x(n * cols);
        for (std::size_t r = 0; r < n; ++r) {
            double* row = x.data() + r * cols;
            row[0] = normal();
            row[1] = std::uniform_real_distribution<double>(0, 1)(gen);
            row[2] = std::exp(3 * normal());
            row[3] = static_cast<double>(below(7)) - 3.0;
            row[4] = below(10) == 0 ? 1e6 * normal() : 1.0 + 1e-9 * normal();
            row[5] = below(4) == 0 ? nan : normal();
            row[6] = below(2) == 0 ? -0.0 : std::ldexp(normal(), -1000);
            const double u = std::uniform_real_distribution<double>(0, 1)(gen);
            row[7] = below(3) == 0 ? 1e300 : -1e300 * u;
            row[8] = std::round(normal() * 40);
        }
        const tw::MatrixView view{x.data(), n, cols, cols};
        const tw::BinSettings all_settings[] = {
            tw::BinSettings{}, tw::BinSettings{tw::kNarrowBins, true}, tw::BinSettings{1000, true},
            tw::BinSettings{16, true}};
        for (const tw::BinSettings& settings : all_settings) {
            const tw::HistogramData h = tw::HistogramData::build(view, {}, settings);
            for (std::size_t f = 0; f < cols; ++f) {
                const std::vector<double>& e = h.bin_edges[f];
                for (std::size_t r = 0; r < n; ++r) {
                    const double v = x[r * cols + f];
                    const auto below_v = std::lower_bound(e.begin(), e.end(), v);
                    const std::size_t want = std::isnan(v) ? e.size() - 1
                                                           : static_cast<std::size_t>(below_v - e.begin());
                    const std::size_t got = h.wide() ? h.wide_bins[f][r] : h.bins[f][r];
                    if (got != want) {
                        fail("codes: column %zu of %zu rows (max_bins %zu), row %zu: bin %zu, not %zu",
                             f, n, settings.max_bins, r, got, want);
                        break;
                    }
                }
            }
        }
    }
}

int main() {
    check_radix();
    check_codes();
    const std::optional<std::uint64_t> none;
    const std::vector<Case> cases = {
        // Count mode: kept histograms handed down, then scratch ones with
        // feature sampling; NaN columns route by value.
        {600, 6, 2, true, 0.0, false, 600, params(true, none, none, 2, 1)},
        {600, 6, 2, true, 0.2, true, 900, params(true, none, none, 2, 1)},
        {400, 6, 2, true, 0.1, false, 400, params(true, none, 3, 2, 1)},
        {300, 5, 2, true, 0.3, true, 300, params(true, 6, none, 5, 3)},
        // Weighted and many-class classification (dense and grouped sums).
        {500, 5, 2, false, 0.0, true, 500, params(true, none, none, 2, 1)},
        {500, 5, 5, false, 0.15, false, 500, params(true, none, 2, 2, 2)},
        {700, 4, 40, true, 0.0, false, 700, params(true, none, none, 2, 1)},
        {700, 4, 40, false, 0.2, true, 500, params(true, 9, none, 3, 1)},
        // Regression, with tiny nodes down to pairs.
        {500, 5, 0, false, 0.0, false, 500, params(false, none, none, 2, 1)},
        {500, 5, 0, true, 0.25, true, 800, params(false, none, 2, 2, 1)},
        {200, 3, 0, false, 0.1, false, 200, params(false, 4, none, 10, 4)},
        // Category-set splits beside threshold ones, in every mode above,
        // with missing codes, best first and the extremely randomised rule.
        {600, 6, 2, true, 0.1, false, 600, params(true, none, none, 2, 1), 9},
        {600, 6, 2, true, 0.0, false, 900, params(true, none, 3, 2, 1), 40},
        {500, 5, 5, false, 0.15, false, 500, params(true, none, 2, 2, 2), 12},
        {700, 4, 40, false, 0.2, true, 500, params(true, 9, none, 3, 1), 7},
        {500, 5, 0, false, 0.2, false, 500, params(false, none, none, 2, 1), 30},
        {500, 7, 0, true, 0.0, true, 800, params(false, none, 2, 2, 1), 256},
        {500, 5, 0, false, 0.1, false, 500, leaf_limited(params(false, none, none, 2, 1)), 11},
        {500, 5, 2, true, 0.1, false, 500, randomised(params(true, none, 3, 2, 1)), 11},
        // Fast growth: merged slots in regression and outside count mode
        // (dense, grouped, tiny and pair searches, categories, best first),
        // and weighted rows, which keep a slot per entry.
        {500, 5, 0, true, 0.0, true, 900, fast(params(false, none, none, 2, 1))},
        {500, 6, 0, true, 0.2, false, 500, fast(params(false, none, 3, 2, 1))},
        {300, 5, 0, true, 0.1, true, 600, fast(params(false, 6, none, 5, 3))},
        {500, 5, 5, true, 0.15, false, 700, fast(params(true, none, 2, 2, 1))},
        {700, 4, 40, true, 0.1, true, 900, fast(params(true, none, none, 2, 2))},
        {500, 5, 5, false, 0.1, false, 500, fast(params(true, none, 3, 2, 1))},
        {500, 5, 0, false, 0.1, true, 500, fast(params(false, none, 2, 2, 1))},
        {500, 6, 0, true, 0.1, false, 700, fast(params(false, none, 3, 2, 1)), 12},
        {500, 6, 5, true, 0.1, false, 700, fast(params(true, none, none, 2, 1)), 9},
        {500, 5, 0, true, 0.1, false, 800, fast(leaf_limited(params(false, none, none, 2, 1)))},
        {500, 5, 0, true, 0.1, false, 800, fast(randomised(params(false, none, 3, 2, 1)))},
    };
    std::uint64_t seed = 1;
    for (int round = 0; round < 3; ++round) {
        for (const Case& c : cases) check(c, seed++);
    }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
