// The vector kernels of src/split against the scalar formulas, bit for bit:
// regression, class and count gains by both criteria on random candidates
// (ties, tiny and huge weights, empty classes), the vector logarithm against
// the scalar one (and both against the C library's, within two units in the
// last place), and the count-mode bin walk of every form against the plain
// loop, the set-bit walk of masks against a plain scan, and the tiny-node kernels (sums,
// Gini counts) against plain walks; the kernels of
// growth free of that arithmetic (gains without the y*w*y sums, gini gains
// from whole counts) against the same formulas to within rounding. Built twice by tests/test_split.py, with the
// load-time choice of kernel versions and with the baseline version only.
// Prints "ok" or the first mismatch.
// Vectors cross no call here that matters (see src/split/kernels.cpp).
#pragma GCC diagnostic ignored "-Wpsabi"
#include <array>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "split/gain.hpp"
#include "split/kernels.hpp"

namespace {

using tw::split::Criterion;
using tw::split::ParentTotals;

std::mt19937_64 gen(20240611);

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(gen); }
std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(gen); }

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int failures = 0;
void fail(const char* what, std::size_t j, double got, double want) {
    if (failures++ < 5) std::printf("%s: candidate %zu gives %a, the formula %a\n", what, j, got, want);
}

// A weight drawn from a few scales, sometimes a whole number.
double weight() {
    switch (below(4)) {
        case 0: return static_cast<double>(1 + below(5));
        case 1: return uniform(1e-9, 1e-6);
        case 2: return uniform(1e3, 1e6);
        default: return uniform(0.01, 3.0);
    }
}

void check_regression() {
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = 4 * (1 + below(20));
        std::vector<double> wl(count), l1(count), l2(count), gain(count);
        ParentTotals p;
        double w = 0.0, s1 = 0.0, s2 = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            // Left totals are running sums of rows, as a walk forms them.
            const double rw = weight(), y = uniform(-5.0, 5.0) * (below(8) == 0 ? 1e4 : 1.0);
            const tw::split::RegRecord r = tw::split::reg_record(rw, y);
            w += r.w;
            s1 += r.wy;
            s2 += r.ywy;
            wl[j] = w;
            l1[j] = s1;
            l2[j] = s2;
        }
        const tw::split::RegRecord last = tw::split::reg_record(weight(), uniform(-5.0, 5.0));
        p.weight = w + last.w;
        p.wy = s1 + last.wy;
        p.ywy = s2 + last.ywy;
        p.impurity = tw::split::variance(p.weight, p.wy, p.ywy);
        tw::split::regression_gains(p, wl.data(), l1.data(), l2.data(), gain.data(), count);
        for (std::size_t j = 0; j < count; ++j) {
            const double want = tw::split::variance_gain(p, wl[j], l1[j], l2[j]);
            if (!same(gain[j], want)) fail("regression_gains", j, gain[j], want);
        }
        // Without the y*w*y sums: the same gains to within the rounding of
        // the mean square they cancel from.
        tw::split::regression_gains_of_sums(p, wl.data(), l1.data(), gain.data(), count);
        for (std::size_t j = 0; j < count; ++j) {
            const double want = tw::split::variance_gain(p, wl[j], l1[j], l2[j]);
            if (!(std::fabs(gain[j] - want) <= 1e-10 * (p.ywy / p.weight))) {
                fail("regression_gains_of_sums", j, gain[j], want);
            }
        }
    }
}

// The codes of a tiny node's features, a row of kTinySlots each: n drawn
// below spread, the rest +inf.
void tiny_codes(std::vector<double>& code, std::size_t features, std::size_t n, std::size_t spread) {
    constexpr std::size_t kSlots = tw::split::kTinySlots;
    for (std::size_t k = 0; k < features; ++k) {
        for (std::size_t i = 0; i < kSlots; ++i) {
            code[k * kSlots + i] = i < n ? static_cast<double>(below(spread))
                                         : std::numeric_limits<double>::infinity();
        }
    }
}

// The tiny-node kernel against a plain walk over each feature's distinct
// codes in ascending order, its left sums added in slot order: nodes of
// 1 to 16 merged slots (whole weights) with tied codes, several features,
// leaf limits and incoming bests, compared bit for bit.
void check_tiny_sums() {
    constexpr std::size_t kSlots = tw::split::kTinySlots;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 1 + below(kSlots);
        const std::size_t features = 1 + below(6);
        const std::size_t spread = 1 + below(below(2) == 0 ? 4 : 250);
        std::vector<double> w(kSlots), wy(kSlots), code(features * kSlots);
        ParentTotals p;
        p.weight = 0.0;
        p.wy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            w[i] = static_cast<double>(1 + below(3));
            wy[i] = w[i] * uniform(-5.0, 5.0) * (below(8) == 0 ? 1e4 : 1.0);
            p.weight += w[i];
            p.wy += wy[i];
        }
        tiny_codes(code, features, n, spread);
        const double least = static_cast<double>(1 + below(3));
        const double than = below(3) == 0 ? uniform(0.0, 2.0) : 0.0;
        const tw::split::TinyBest got =
            tw::split::tiny_sums_best(p, code.data(), features, w.data(), wy.data(), n, least, than);
        double best = than;
        std::size_t feature = features, at = 0;
        for (std::size_t k = 0; k < features; ++k) {
            const double* c = code.data() + k * kSlots;
            std::vector<double> codes(c, c + n);
            std::sort(codes.begin(), codes.end());
            codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
            for (const double cut : codes) {
                double a = 0.0, b = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    if (c[i] <= cut) {
                        a += w[i];
                        b += wy[i];
                    }
                }
                const double rest = p.weight - a;
                if (!(a >= least && rest >= least)) continue;
                const double gain = tw::split::sums_gain(p, a, b);
                if (gain > best) {
                    best = gain;
                    feature = k;
                    at = static_cast<std::size_t>(cut);
                }
            }
        }
        if (got.feature != feature || (feature < features && (!same(got.gain, best) || got.code != at))) {
            fail("tiny_sums_best", got.feature, got.gain, best);
        }
    }
}

// The Gini form against a walk over each feature's slots sorted by (code,
// slot), the left counts of every class kept as it goes and each distinct
// code's candidate scored by gini_count_gains: nodes of 1 to 16 merged
// slots over up to 5 classes, tied codes, leaf limits and incoming bests.
void check_tiny_gini() {
    constexpr std::size_t kSlots = tw::split::kTinySlots;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = 1 + below(kSlots);
        const std::size_t features = 1 + below(6);
        const std::size_t classes = 1 + below(5);
        const std::size_t spread = 1 + below(below(2) == 0 ? 4 : 250);
        std::vector<double> m(kSlots, 0.0), cls(kSlots, -1.0), tm(kSlots, 0.0), code(features * kSlots);
        std::vector<double> total(classes, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            m[i] = static_cast<double>(1 + below(3));
            cls[i] = static_cast<double>(below(classes));
            total[static_cast<std::size_t>(cls[i])] += m[i];
        }
        ParentTotals p;
        p.weight = 0.0;
        double squares = 0.0;
        for (std::size_t c = 0; c < classes; ++c) {
            p.weight += total[c];
            squares += total[c] * total[c];
        }
        for (std::size_t i = 0; i < n; ++i) tm[i] = total[static_cast<std::size_t>(cls[i])] * m[i];
        tiny_codes(code, features, n, spread);
        const double least = static_cast<double>(1 + below(3));
        const double than = below(3) == 0 ? uniform(0.0, 0.5) : 0.0;
        const tw::split::TinyBest got = tw::split::tiny_gini_best(
            p, squares, code.data(), features, m.data(), cls.data(), tm.data(), n, least, than);
        double best = than;
        std::size_t feature = features, at = 0;
        for (std::size_t k = 0; k < features; ++k) {
            const double* c = code.data() + k * kSlots;
            std::vector<std::size_t> order(n);
            for (std::size_t i = 0; i < n; ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(),
                             [&](std::size_t a, std::size_t b) { return c[a] < c[b]; });
            std::vector<double> running(classes, 0.0);
            double wl = 0.0, sl = 0.0, cross = 0.0;
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t i = order[j];
                const std::size_t cl = static_cast<std::size_t>(cls[i]);
                sl += m[i] * (2.0 * running[cl] + m[i]);
                cross += total[cl] * m[i];
                running[cl] += m[i];
                wl += m[i];
                if (j + 1 < n && c[order[j + 1]] == c[i]) continue;  // the code's last slot
                if (!(wl >= least && p.weight - wl >= least)) continue;
                std::array<double, 4> a{wl, wl, wl, wl}, l{sl, sl, sl, sl}, x{cross, cross, cross, cross}, g{};
                tw::split::gini_count_gains(p, squares, a.data(), l.data(), x.data(), g.data(), 4);
                if (g[0] > best) {
                    best = g[0];
                    feature = k;
                    at = static_cast<std::size_t>(c[i]);
                }
            }
        }
        if (got.feature != feature || (feature < features && (!same(got.gain, best) || got.code != at))) {
            fail("tiny_gini_best", got.feature, got.gain, best);
        }
    }
}

void check_classes() {
    for (int round = 0; round < 600; ++round) {
        const std::size_t kn = 2 + below(round % 3 == 0 ? 1 : 15);
        const std::size_t count = 4 * (1 + below(12));
        std::vector<double> tot(kn, 0.0), run(kn, 0.0);
        std::vector<double> wl(count), left(count * kn), gain(count);
        // Some rounds have rows of whole-number weights (0, 1, 2): whole totals, which
        // the entropy kernel may take from its table.
        const bool counts = round % 4 == 3;
        double w = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t c = below(kn);
            const double rw = counts ? static_cast<double>(below(3)) : below(6) == 0 ? 0.0 : weight();
            w += rw;
            run[c] += rw;
            wl[j] = w;
            for (std::size_t i = 0; i < kn; ++i) left[j * kn + i] = run[i];
        }
        for (std::size_t i = 0; i < kn; ++i) {
            tot[i] = run[i] + (below(3) == 0 ? 0.0 : counts ? static_cast<double>(below(9)) : weight());
        }
        ParentTotals p;
        p.counts = counts;
        p.weight = 0.0;
        p.criterion = round % 2 ? Criterion::kEntropy : Criterion::kGini;
        for (std::size_t i = 0; i < kn; ++i) p.weight += tot[i];
        p.impurity = tw::split::class_impurity(p.criterion, kn, p.weight,
                                               [&](std::size_t i) { return tot[i]; });
        tw::split::class_gains(p, tot.data(), kn, wl.data(), left.data(), gain.data(), count);
        for (std::size_t j = 0; j < count; ++j) {
            const double want = tw::split::class_gain(
                p, wl[j], kn, [&](std::size_t i) { return left[j * kn + i]; },
                [&](std::size_t i) { return tot[i] - left[j * kn + i]; });
            // Candidates with an empty side give NaN both ways.
            if (!same(gain[j], want) && !(gain[j] != gain[j] && want != want)) {
                fail("class_gains", j, gain[j], want);
            }
        }
    }
}

// Gini gains from whole class counts against the share formula.
void check_gini_counts() {
    for (int round = 0; round < 400; ++round) {
        const std::size_t kn = 2 + below(30);
        const std::size_t count = 4 * (1 + below(12));
        std::vector<double> tot(kn, 0.0), run(kn, 0.0);
        std::vector<double> wl(count), sl(count), cross(count), gain(count);
        std::vector<double> left(count * kn);
        const double scale = round % 2 ? 3.0 : 4000.0;
        double w = 0.0, squares = 0.0, dot = 0.0;
        for (std::size_t i = 0; i < kn; ++i) tot[i] = static_cast<double>(below(static_cast<std::size_t>(scale)));
        tot[0] += static_cast<double>(count) * scale;  // room for every candidate's rows
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t c = below(kn);
            const double add = static_cast<double>(1 + below(static_cast<std::size_t>(scale)));
            if (run[c] + add >= tot[c]) continue;
            squares += add * (2.0 * run[c] + add);
            dot += tot[c] * add;
            run[c] += add;
            w += add;
            wl[j] = w;
            sl[j] = squares;
            cross[j] = dot;
            for (std::size_t i = 0; i < kn; ++i) left[j * kn + i] = run[i];
        }
        std::size_t kept = 0;  // candidates that took rows
        for (std::size_t j = 0; j < count; ++j) {
            if (wl[j] > 0.0) {
                wl[kept] = wl[j];
                sl[kept] = sl[j];
                cross[kept] = cross[j];
                std::copy_n(left.begin() + j * kn, kn, left.begin() + kept * kn);
                ++kept;
            }
        }
        if (kept == 0) continue;
        const std::size_t padded = (kept + 3) & ~std::size_t{3};
        for (std::size_t j = kept; j < padded; ++j) {
            wl[j] = wl[kept - 1];
            sl[j] = sl[kept - 1];
            cross[j] = cross[kept - 1];
        }
        ParentTotals p;
        p.counts = true;
        double total_squares = 0.0;
        for (std::size_t i = 0; i < kn; ++i) {
            p.weight += tot[i];
            total_squares += tot[i] * tot[i];
        }
        p.impurity = tw::split::class_impurity(Criterion::kGini, kn, p.weight,
                                               [&](std::size_t i) { return tot[i]; });
        tw::split::gini_count_gains(p, total_squares, wl.data(), sl.data(), cross.data(),
                                    gain.data(), padded);
        for (std::size_t j = 0; j < kept; ++j) {
            const double want = tw::split::class_gain(
                p, wl[j], kn, [&](std::size_t i) { return left[j * kn + i]; },
                [&](std::size_t i) { return tot[i] - left[j * kn + i]; });
            if (!(std::fabs(gain[j] - want) <= 1e-12)) fail("gini_count_gains", j, gain[j], want);
        }
    }
}

// One bin of the every-class walk against the per-class formula: the terms,
// the running totals it leaves and the bin it clears.
void check_bin_terms() {
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 2 * (1 + below(20));
        std::vector<double> c(n), run(n), tot(n);
        for (std::size_t i = 0; i < n; ++i) {
            c[i] = static_cast<double>(below(round % 2 ? 4 : 100000));
            run[i] = static_cast<double>(below(100000));
            tot[i] = run[i] + c[i] + static_cast<double>(below(1000));
        }
        double squares = 0.0, cross = 0.0;
        std::vector<double> after(run);
        for (std::size_t i = 0; i < n; ++i) {
            squares += c[i] * (2.0 * run[i] + c[i]);
            cross += tot[i] * c[i];
            after[i] += c[i];
        }
        const std::array<double, 2> got = tw::split::gini_bin_terms(c.data(), run.data(), tot.data(), n);
        if (got[0] != squares) fail("gini_bin_terms squares", n, got[0], squares);
        if (got[1] != cross) fail("gini_bin_terms cross", n, got[1], cross);
        for (std::size_t i = 0; i < n; ++i) {
            if (run[i] != after[i] || c[i] != 0.0) fail("gini_bin_terms running (or bin not cleared)", i, run[i], after[i]);
        }
    }
}

// A large node's walk of one feature against gini_bin_terms bin by bin:
// every pair count 1..16, the candidates kept (admissible ones only), their
// totals and bins, and the records cleared.
void check_count_walk() {
    for (int round = 0; round < 300; ++round) {
        const std::size_t pairs = 1 + round % 16;
        const std::size_t stride = 2 + 2 * pairs;
        const std::size_t bins = 1 + below(60);
        std::vector<double> hist(bins * stride + 8, 0.0), tot(2 * pairs, 0.0);
        std::vector<std::uint32_t> occupied;
        for (std::size_t b = 0; b < bins; ++b) {
            if (below(3) == 0) continue;
            occupied.push_back(static_cast<std::uint32_t>(b));
            double* h = hist.data() + b * stride;
            for (std::size_t c = 0; c < 2 * pairs; ++c) {
                h[2 + c] = below(3) == 0 ? static_cast<double>(below(round % 2 ? 3 : 5000)) : 0.0;
                h[0] += h[2 + c];
                tot[c] += h[2 + c];
            }
            if (h[0] == 0.0) h[2] = h[0] = 1.0, tot[0] += 1.0;
            h[1] = 12345.0;  // the slot tags: read by no one here
        }
        if (occupied.empty()) continue;
        std::uint64_t n = 0;
        double weight = 0.0;
        for (double t : tot) {
            n += static_cast<std::uint64_t>(t);
            weight += t;
        }
        const std::uint64_t min_leaf = 1 + below(4);
        std::vector<double> copy(hist), run(2 * pairs, 0.0);
        std::vector<double> wl(bins + 4), sq(bins + 4), cr(bins + 4);
        std::vector<std::uint16_t> bin(bins + 4);
        const std::size_t kept = tw::split::gini_count_walk(tw::split::GiniCountWalk{
            hist.data(), stride, occupied.data(), occupied.size(), tot.data(), pairs, n, weight,
            min_leaf, wl.data(), sq.data(), cr.data(), bin.data()});
        std::uint64_t nl = 0;
        double left = 0.0, squares = 0.0, cross = 0.0;
        std::size_t want = 0;
        for (const std::uint32_t b : occupied) {
            double* h = copy.data() + b * stride;
            nl += static_cast<std::uint64_t>(h[0]);
            left += h[0];
            const std::array<double, 2> t = tw::split::gini_bin_terms(h + 2, run.data(), tot.data(), 2 * pairs);
            squares += t[0];
            cross += t[1];
            if (!tw::split::admissible(nl, n, left, weight, min_leaf)) continue;
            if (want >= kept || sq[want] != squares || cr[want] != cross || wl[want] != left ||
                bin[want] != b) {
                fail("gini_count_walk candidate", want, want < kept ? sq[want] : -1.0, squares);
            }
            ++want;
        }
        if (kept != want) fail("gini_count_walk kept", pairs, static_cast<double>(kept), static_cast<double>(want));
        for (const std::uint32_t b : occupied) {
            for (std::size_t i = 0; i < stride; ++i) {
                if (hist[b * stride + i] != 0.0) fail("gini_count_walk record not cleared", b, hist[b * stride + i], 0.0);
            }
        }
    }
}

void check_counts() {
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = 1 + below(60);
        const std::size_t padded = (count + 3) & ~std::size_t{3};
        // Nodes of fewer than 8192 rows take the entropy terms from a table.
        const bool small = round % 4 == 1;
        const std::uint64_t n0 = 1 + below(round % 2 ? 40 : 2000000);
        const std::uint64_t n1 = 1 + below(small ? 3000 : 2000000);
        std::vector<std::uint64_t> packed(padded);
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint64_t ones = below(n1 + 1), zeros = below(n0 + 1);
            const std::uint64_t rows = ones + zeros == 0 ? 1 : ones + zeros;
            packed[j] = rows | (std::min(ones, rows) << 32);
        }
        for (std::size_t j = count; j < padded; ++j) packed[j] = packed[count - 1];
        const double t0 = static_cast<double>(n0), t1 = static_cast<double>(n1);
        ParentTotals p;
        p.weight = t0 + t1;
        p.criterion = round % 3 ? Criterion::kEntropy : Criterion::kGini;
        const double tot[2] = {t0, t1};
        p.impurity = tw::split::class_impurity(p.criterion, 2, p.weight,
                                               [&](std::size_t i) { return tot[i]; });
        std::vector<double> gain(padded);
        const double top = tw::split::count_gains(p, t0, t1, packed.data(), gain.data(), count);
        double want_top = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < count; ++j) {
            const double rows = static_cast<double>(packed[j] & 0xFFFFFFFFu);
            const double ones = static_cast<double>(packed[j] >> 32);
            const double l[2] = {rows - ones, ones};
            const double want = tw::split::class_gain(
                p, rows, 2, [&](std::size_t i) { return l[i]; },
                [&](std::size_t i) { return tot[i] - l[i]; });
            if (!same(gain[j], want)) fail("count_gains", j, gain[j], want);
            want_top = std::max(want_top, want);
        }
        if (!same(top, want_top)) fail("count_gains maximum", 0, top, want_top);
    }
}

// The logarithm: lanes equal the scalar form, and both are within two units
// in the last place of the C library's (exact at powers of two).
void check_log2() {
    double worst = 0.0;
    for (int round = 0; round < 200000; ++round) {
        double x[4];
        for (double& v : x) {
            switch (below(5)) {
                case 0: v = uniform(0.0, 1.0); break;
                case 1: v = uniform(0.69, 1.45); break;
                case 2: v = std::ldexp(uniform(1.0, 2.0), static_cast<int>(below(2098)) - 1074); break;
                case 3: v = static_cast<double>(1 + below(1000000)); break;
                default: v = std::ldexp(1.0, static_cast<int>(below(2097)) - 1074); break;
            }
            if (!(v > 0.0)) v = 0.5;
        }
        const tw::split::log2_v4d lanes =
            tw::split::log2_positive(tw::split::log2_v4d{x[0], x[1], x[2], x[3]});
        for (int l = 0; l < 4; ++l) {
            const double got = tw::split::log2_positive(x[l]);
            if (!same(lanes[l], got)) fail("log2 lane", static_cast<std::size_t>(l), lanes[l], got);
            const double want = std::log2(x[l]);
            const double err = want == 0.0 ? std::fabs(got) * 1e300
                                           : std::fabs(got - want) /
                                                 (std::nextafter(std::fabs(want), INFINITY) -
                                                  std::fabs(want));
            if (err > worst) worst = err;
            if (err > 2.0) fail("log2 accuracy", static_cast<std::size_t>(l), got, want);
        }
    }
    for (int e = -1074; e <= 1023; ++e) {
        const double got = tw::split::log2_positive(std::ldexp(1.0, e));
        if (got != static_cast<double>(e)) fail("log2 of a power of two", 0, got, e);
    }
}

using Walk = std::size_t (*)(std::uint64_t*, std::size_t, std::size_t, std::uint64_t, std::uint64_t,
                             std::uint64_t*, std::uint64_t*);

// Every walk form on the same random histogram, against a plain loop.
void check_walks() {
    std::vector<Walk> walks = {tw::split::walk_bins, tw::split::walk_bins_scalar};
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) walks.push_back(tw::split::walk_bins_avx2);
#endif
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n_bins = 2 + below(255);
        const std::size_t last = n_bins - 2;
        const std::size_t clear = below(2) ? n_bins : 0;
        std::vector<std::uint64_t> h(260, 0);
        const std::size_t density = 1 + below(4);
        std::uint64_t rows = 0;
        for (std::size_t b = 0; b < n_bins; ++b) {
            if (below(density) != 0) continue;
            const std::uint64_t n = 1 + below(round % 5 == 0 ? 3 : 100000);
            h[b] = n | (below(n + 1) << 32);
            rows += n;
        }
        const std::uint64_t lo = below(4), hi = rows >= lo ? rows - below(rows / 2 + 1) : 0;
        // The plain walk.
        std::vector<std::uint64_t> want, want_bin;
        std::uint64_t sum = 0;
        for (std::size_t b = 0; b <= last; ++b) {
            sum += h[b];
            const std::uint64_t nl = sum & 0xFFFFFFFFu;
            if (h[b] != 0 && nl >= lo && nl <= hi) {
                want.push_back(sum);
                want_bin.push_back(b);
            }
        }
        for (std::size_t k = 0; k < walks.size(); ++k) {
            std::vector<std::uint64_t> hk = h, cand(264), cand_bin(264);
            const std::size_t nc = walks[k](hk.data(), last, clear, lo, hi, cand.data(), cand_bin.data());
            bool ok = nc == want.size();
            for (std::size_t j = 0; ok && j < nc; ++j) ok = cand[j] == want[j] && cand_bin[j] == want_bin[j];
            for (std::size_t b = 0; ok && b < 260; ++b) ok = hk[b] == (b < clear ? 0 : h[b]);
            if (!ok && failures++ < 5) {
                std::printf("walk form %zu: %zu bins, clear %zu, lo %llu, hi %llu: %zu candidates, want %zu\n",
                            k, n_bins, clear, static_cast<unsigned long long>(lo),
                            static_cast<unsigned long long>(hi), nc, want.size());
            }
        }
    }
}

void check_helpers() {
    // Set bits of one to four words visited in ascending order, each word
    // cleared (through the byte-compress list where the processor has it):
    // sparse, empty and full words.
    for (int round = 0; round < 400; ++round) {
        const std::size_t words = 1 + static_cast<std::size_t>(round % 4);
        std::uint64_t mask[5] = {gen(), gen() & gen(), 0, gen() >> below(64), 1};
        if (round % 7 == 0) mask[0] = mask[1] = mask[3] = 0;
        if (round % 11 == 0) mask[0] = mask[1] = mask[2] = mask[3] = ~std::uint64_t{0};
        if (round % 13 == 0) mask[words - 1] = std::uint64_t{1} << 63;
        std::vector<std::size_t> seen, want;
        for (std::size_t b = 0; b < 64 * words; ++b) {
            if ((mask[b / 64] >> (b % 64)) & 1) want.push_back(b);
        }
        tw::split::for_each_bit_clearing(mask, words, [&](std::size_t b) { seen.push_back(b); });
        if (seen != want && failures++ < 5) std::printf("for_each_bit: order or bits differ\n");
        bool cleared = mask[4] == 1;  // the word past the mask is left alone
        for (std::size_t w = 0; w < words; ++w) cleared = cleared && mask[w] == 0;
        if (!cleared && failures++ < 5) std::printf("for_each_bit: mask not cleared\n");
    }
    // Lane-wise subtraction, including the borrow of a packed count's halves.
    std::vector<std::uint64_t> a(256 + 4), b(256 + 4), want(256 + 4);
    for (std::size_t i = 0; i < a.size(); ++i) {
        b[i] = gen() >> 2;
        a[i] = b[i] + (gen() >> 2);
        want[i] = a[i] - b[i];
    }
    tw::split::subtract_counts(a.data(), b.data(), a.size());
    if (a != want && failures++ < 5) std::printf("subtract_counts differs\n");
}

}  // namespace

int main() {
    check_regression();
    check_tiny_sums();
    check_tiny_gini();
    check_classes();
    check_gini_counts();
    check_bin_terms();
    check_count_walk();
    check_counts();
    check_log2();
    check_walks();
    check_helpers();
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
