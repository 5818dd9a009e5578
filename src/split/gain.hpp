// Split scoring shared by both growers: the per-row records they sum, a
// node's parent totals, the impurity and gain formulas, the rule that admits
// a candidate and the record of the best split found so far.
//
// Terms: a candidate is one threshold considered for a node; its left
// totals are the sums over the rows it sends left (the right totals follow
// from the parent totals). Its gain is the parent impurity minus the
// weight-averaged impurities of the two sides. Impurity is the weighted
// variance for regression and, for classification, the criterion's: the
// Gini impurity (one minus the sum of squared class shares) or the entropy
// in bits (minus the sum of share * log2(share), formed from the class
// weights as the entropy mass below, with the logarithm of split/log2.hpp).
// Classes are dense: 0..K-1 in ascending order of the class index.
//
// These are the only scalar forms of the formulas; the vector kernels in
// split/kernels.hpp evaluate the same operations lane by lane.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "split/log2.hpp"

namespace tw::split {

// A classification row: its weight and dense class.
struct ClassRecord {
    double w;
    std::uint32_t cls;
};

// A regression row: the three terms whose sums give a side's variance.
struct RegRecord {
    double w;
    double wy;   // w * y
    double ywy;  // y * (w * y)
};

inline RegRecord reg_record(double w, double y) {
    const double wy = w * y;
    return RegRecord{w, wy, y * wy};
}

// The impurity of classification trees, named "gini" and "entropy".
enum class Criterion : std::uint8_t { kGini = 0, kEntropy = 1 };

inline const char* criterion_name(Criterion c) {
    return c == Criterion::kEntropy ? "entropy" : "gini";
}

// Sums over a node's rows and its impurity. Classification fills weight
// and impurity only (wy and ywy stay 0); its gains use `criterion`.
struct ParentTotals {
    double weight = 0.0;    // sum of w
    double wy = 0.0;        // sum of w * y
    double ywy = 0.0;       // sum of y * (w * y)
    double impurity = 0.0;  // the criterion's impurity, or the variance, of the node
    Criterion criterion = Criterion::kGini;
    // Classification: every row weighs 1, so the weight and every class or
    // side total is a whole number of rows (the kernels may then read
    // tabulated terms; the gains are the same).
    bool counts = false;
};

// Variance of rows with weight sum w and sums wy, ywy: E[y^2] - E[y]^2.
inline double variance(double w, double wy, double ywy) {
    const double mean = wy / w;
    return ywy / w - mean * mean;
}

// Gini impurity of rows of weight sum w whose k classes weigh weight(i):
// one minus the sum of squared shares, summed in the order i = 0..k-1.
template <class Weight>
__attribute__((always_inline)) inline double gini(std::size_t k, double w, Weight&& weight) {
    double s = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        const double share = weight(i) / w;
        s += share * share;
    }
    return 1.0 - s;
}

// v * log2(v) for v > 0 (the logarithm of split/log2.hpp).
__attribute__((always_inline)) inline double xlog2x(double v) { return v * log2_positive(v); }

// The entropy mass of rows of weight sum w > 0 whose k classes weigh
// weight(i): w times their entropy in bits, formed as xlog2x(w) minus
// xlog2x of each class weight above zero (a class without weight, or a
// rounding residue at or below zero, takes nothing), in the order
// i = 0..k-1. A side holding one class has mass 0 exactly.
template <class Weight>
__attribute__((always_inline)) inline double entropy_mass(std::size_t k, double w,
                                                          Weight&& weight) {
    double m = xlog2x(w);
    for (std::size_t i = 0; i < k; ++i) {
        const double t = weight(i);
        if (t > 0.0) m -= xlog2x(t);
    }
    return m;
}

// Entropy in bits: the mass over the weight.
template <class Weight>
__attribute__((always_inline)) inline double entropy(std::size_t k, double w, Weight&& weight) {
    return entropy_mass(k, w, weight) / w;
}

// The criterion's impurity (gini or entropy above).
template <class Weight>
__attribute__((always_inline)) inline double class_impurity(Criterion criterion, std::size_t k,
                                                            double w, Weight&& weight) {
    return criterion == Criterion::kEntropy ? entropy(k, w, weight) : gini(k, w, weight);
}

// The criterion's impurity times the weight: w times the Gini impurity, or
// the entropy mass; 0 for rows without weight.
template <class Weight>
inline double weighted_impurity(Criterion criterion, std::size_t k, double w, Weight&& weight) {
    if (!(w > 0.0)) return 0.0;
    return criterion == Criterion::kEntropy ? entropy_mass(k, w, weight) : w * gini(k, w, weight);
}

// Parent impurity minus the weight-averaged impurities of the sides.
inline double impurity_decrease(const ParentTotals& parent, double wl, double left_impurity,
                                double wr, double right_impurity) {
    return parent.impurity - (wl * left_impurity + wr * right_impurity) / parent.weight;
}

// Variance gain of a candidate with left totals wl, l1 (w*y), l2 (y*w*y).
inline double variance_gain(const ParentTotals& parent, double wl, double l1, double l2) {
    const double wr = parent.weight - wl;
    return impurity_decrease(parent, wl, variance(wl, l1, l2), wr,
                             variance(wr, parent.wy - l1, parent.ywy - l2));
}

// The variance gain of a candidate from its left weight and w*y sum alone
// (the y*w*y sums cancel from it): the formula of the vector kernel
// regression_gains_of_sums (split/kernels.hpp), operation for operation.
inline double sums_gain(const ParentTotals& parent, double wl, double l1) {
    const double mean = parent.wy / parent.weight;
    const double r = parent.wy - l1;
    const double rest = parent.weight - wl;
    return (l1 * l1 * rest + r * r * wl) / (wl * rest * parent.weight) - mean * mean;
}

// Gini gain of a candidate with left weight wl over the node's k classes:
// left(i) and right(i) give class i's weight on each side.
template <class Left, class Right>
__attribute__((always_inline)) inline double gini_gain(const ParentTotals& parent, double wl,
                                                       std::size_t k, Left&& left, Right&& right) {
    const double wr = parent.weight - wl;
    return impurity_decrease(parent, wl, gini(k, wl, left), wr, gini(k, wr, right));
}

// Entropy gain: the parent's entropy minus the sides' masses over the
// parent weight (the masses are the weighted side entropies that
// impurity_decrease forms).
template <class Left, class Right>
__attribute__((always_inline)) inline double entropy_gain(const ParentTotals& parent, double wl,
                                                          std::size_t k, Left&& left,
                                                          Right&& right) {
    const double wr = parent.weight - wl;
    return parent.impurity - (entropy_mass(k, wl, left) + entropy_mass(k, wr, right)) /
                                 parent.weight;
}

// The gain of a classification candidate by the parent's criterion.
template <class Left, class Right>
__attribute__((always_inline)) inline double class_gain(const ParentTotals& parent, double wl,
                                                        std::size_t k, Left&& left,
                                                        Right&& right) {
    if (parent.criterion == Criterion::kEntropy) return entropy_gain(parent, wl, k, left, right);
    return gini_gain(parent, wl, k, left, right);
}

// A count held exactly in a double (a whole number below 2^63), converted
// through the signed type: one instruction, where the unsigned conversion
// needs a range test.
inline std::uint64_t count_of(double v) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
}

// A candidate with nl of the node's n rows (left weight wl) on the left is
// scored only when both sides hold weight and at least min_leaf rows, and
// at least one row whatever min_leaf: with min_leaf 0 the weights alone
// would let rounding (the left sum formed in bin order, the node's in row
// order) admit a side without rows, a split that hands the whole node to one
// child, which may then split the same way without end.
inline bool admissible(std::uint64_t nl, std::uint64_t n, double wl, double weight,
                       std::uint64_t min_leaf) {
    return weight - wl > 0.0 && wl > 0.0 && nl >= min_leaf && n - nl >= min_leaf && nl != 0 &&
           nl != n;
}

// The best candidate so far. A node splits only on a found candidate of
// positive gain. Searches take a candidate only when its gain is strictly
// larger, so the first of equal gains (in the search's order) is kept.
struct BestSplit {
    double gain = 0.0;
    std::size_t feature = 0;
    std::size_t bin = 0;       // histogram grower: last bin of the left side
    // Histogram grower: the lowest bin above `bin` the node's rows occupy in
    // the feature, when the search saw it (kUnknown otherwise; `bin` itself
    // is then one the node's rows occupy).
    static constexpr std::size_t kUnknown = ~std::size_t{0};
    std::size_t above = kUnknown;
    double threshold = 0.0;    // exact grower: rows with value <= threshold go left
    bool found = false;
    // A category-set split (grow/category_split.hpp): the cells going left,
    // bit c of word c / 64 for cell c (a category code, or the missing cell).
    bool category = false;
    std::array<std::uint64_t, 4> cells{};

    bool splits() const { return found && gain > 0.0; }
    void take(double g, std::size_t f, std::size_t b) {
        gain = g;
        feature = f;
        bin = b;
        above = kUnknown;
        found = true;
        category = false;
    }
};

}  // namespace tw::split
