// Category-set splits, shared by both growers.
//
// Terms:
//  cell        one category of a categorical feature at a node: code c is
//              cell c, and the rows missing the feature form cell k (k the
//              feature's number of categories). A present cell holds some
//              of the node's rows.
//  cell table  per cell, the node's rows there: their count (bootstrap
//              entries), weight, and the regression sums (w*y, y*w*y) or the
//              weight of each class.
//  order       the present cells sorted by their mean target (regression)
//              or by their share of the node's heaviest class (first of
//              equal ones in class order), ties by cell. Every candidate
//              sends a prefix of the order left. For regression and for two
//              classes the best prefix is the best of all two-way partitions
//              of the cells; with more classes it is a heuristic that keeps
//              the search to one pass.
//  absent      a category without rows at the node goes with the larger
//              child (by rows; ties right), so unseen combinations follow
//              the majority, as missing values without a taught side do.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/rng.hpp"
#include "split/gain.hpp"
#include "tree/tree.hpp"

namespace tw::grow {

class CategoryTable {
public:
    // Readies the (empty) table for a feature of `categories` categories
    // (cells categories + 1, the last for missing values) and n_classes
    // dense classes (0: regression).
    void reset(std::size_t categories, std::size_t n_classes);

    // A regression record standing for `rows` entries.
    void add(std::size_t cell, const split::RegRecord& r, std::uint64_t rows = 1) {
        Cell& c = touch(cell);
        c.rows += rows;
        c.w += r.w;
        c.wy += r.wy;
        c.ywy += r.ywy;
    }
    // `rows` entries of dense class cls weighing w in all.
    void add(std::size_t cell, std::uint64_t rows, double w, std::uint32_t cls) {
        Cell& c = touch(cell);
        c.rows += rows;
        c.w += w;
        class_w_[cell * n_classes_ + cls] += w;
    }

    // The best prefix of the order of a node of n entries: taken into best
    // (as a category split of `feature`) when its gain beats best's. For
    // classification, classes lists the node's dense classes (ascending)
    // and class_total their totals by dense class. rng given: a single
    // prefix, drawn uniformly (the extremely randomised rule). Empties the
    // table.
    void search(const split::ParentTotals& parent, std::span<const std::uint32_t> classes,
                const double* class_total, std::uint64_t n, std::uint64_t min_leaf,
                std::size_t feature, split::BestSplit& best, Rng* rng = nullptr);

private:
    struct Cell {
        std::uint64_t rows = 0;
        double w = 0.0, wy = 0.0, ywy = 0.0;
    };
    // The cell, listed among the present ones on its first row.
    Cell& touch(std::size_t cell) {
        Cell& c = cells_[cell];
        if (c.rows == 0) present_.push_back(static_cast<std::uint32_t>(cell));
        return c;
    }
    void scan(const split::ParentTotals& parent, std::span<const std::uint32_t> classes,
              const double* class_total, std::uint64_t n, std::uint64_t min_leaf,
              std::size_t feature, split::BestSplit& best, Rng* rng);
    double key(std::size_t cell, std::uint32_t heaviest) const;

    std::size_t categories_ = 0;
    std::size_t n_classes_ = 0;
    std::vector<Cell> cells_;         // kept zero outside a node's use
    std::vector<double> class_w_;     // cell * n_classes + class, likewise
    std::vector<std::uint32_t> present_;  // cells with rows, first-touch order
    std::vector<std::uint32_t> order_;
    std::vector<double> keys_, left_, right_;
};

// The set of a category split found for a feature of k categories (the
// codes' bits of best.cells), and in missing_left whether its missing cell
// went left.
CategorySet category_set(const split::BestSplit& best, std::size_t k, bool& missing_left);

}  // namespace tw::grow
