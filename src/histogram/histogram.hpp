// Per-feature binned copy of a training matrix: 8-bit bin codes (at most
// 256 bins a feature) or, when asked for more bins and some feature needs
// them, 16-bit ones (wide codes). BinSettings below chooses the edge rule
// and the most bins.
//
// Terms:
//  value bins   bin b holds the values v with edge[b-1] < v <= edge[b]; the
//               last value bin's edge is +inf.
//  missing bin  a column holding missing values (NaN) keeps them in a bin of
//               their own after the value bins (one value bin fewer then).
//               Its edge (+inf) is never a threshold, so "bin <= b" for a
//               candidate b sends the missing values right.
//  twin         per column with missing values, an extra feature (numbered
//               after the columns) holding the same rows with the missing
//               bin first (bin 0, edge -inf) and the value bins one higher:
//               its candidates are the column's thresholds with the missing
//               values sent left, plus "missing only left" (threshold -inf).
//               Searches treat twins as features of their own; a split on a
//               twin is a split of its column with missing values going left.
//  categorical  a column of category codes 0..k-1 (k <= 256): bin c holds
//  column       code c and the missing values, if any, bin k. It has no
//               twin: its splits send a set of bins left (grow/category_split.hpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/matrix.hpp"

namespace tw {

// How columns are binned. The plain rule (lossless = false) takes edges at
// quantile positions of the sorted values. The lossless rule gives a column
// of at most max_bins distinct values (max_bins - 1 with missing values) one
// bin per value, its edges halfway between neighbouring values; a column of
// more values gets edges between distinct values that split it into bins of
// about equal size, a value's size blending its rows and its share of the
// column's range (rows^(1/4) times range share^(3/4): see lossless_edges),
// a value too large for its share keeping a bin of its own, so no bin is
// empty, no two values share a bin needlessly, and neither the sparse ends
// nor the dense middle of a column are left a few wide bins.
// Most bins a feature has with 8-bit codes, and with wide ones.
constexpr std::size_t kNarrowBins = 256;
constexpr std::size_t kWideBins = 65536;

struct BinSettings {
    std::size_t max_bins = kNarrowBins;  // 2..kWideBins
    bool lossless = false;
};

struct HistogramData {
    static constexpr std::uint32_t kNoTwin = 0xFFFFFFFFu;

    std::size_t columns = 0;                       // columns of the matrix
    // Per feature (columns, then twins):
    std::vector<std::vector<std::uint8_t>> bins;   // one bin per row (empty with wide codes)
    // Wide codes: one 16-bit bin per row, for every feature; empty otherwise.
    std::vector<std::vector<std::uint16_t>> wide_bins;
    // Bins a per-feature histogram must hold: kNarrowBins, or with wide
    // codes the most bins of any feature rounded up to a multiple of 64.
    std::size_t capacity = kNarrowBins;
    std::vector<std::vector<double>> bin_edges;    // ascending (see above)
    // Per column binned by the lossless rule, per bin the one distinct
    // training value the bin holds, or NaN where it holds several (or is
    // the missing bin); empty for other features.
    std::vector<std::vector<double>> bin_values;
    std::vector<std::size_t> n_bins;               // == bin_edges[f].size()
    // 1 when "bin <= b" and "value <= bin_edges[f][b]" select the same rows
    // (always, for built data); features without an entry are treated as
    // needing the values.
    std::vector<std::uint8_t> nan_free;
    std::vector<std::uint32_t> twin_of;     // per twin, its column
    std::vector<std::uint32_t> twin_index;  // per column, its twin's feature or kNoTwin
    // Per column, 0 or its number of categories (empty: none categorical).
    std::vector<std::uint16_t> categories;

    // Bins every column of x (rows x.rows, features x.cols); categories as
    // above (empty, or one count per column, the codes checked by the fit).
    static HistogramData build(const MatrixView& x, std::span<const std::uint16_t> categories = {},
                               const BinSettings& settings = {});

    // Bins the rows of x with edges made by build (edges[f] for column f,
    // one per column of x) into `out`, row-major x.rows x x.cols: each value
    // gets the bin build gives it in the matrix the edges came from. Lets
    // row blocks of a matrix be binned apart with the whole matrix's edges.
    static void bin_rows(const MatrixView& x, const std::vector<std::vector<double>>& edges,
                         std::uint8_t* out);

    bool wide() const { return !wide_bins.empty(); }
    bool is_nan_free(std::size_t feature) const {
        return feature < nan_free.size() && nan_free[feature] != 0;
    }
    bool is_categorical(std::size_t feature) const {
        return feature < categories.size() && categories[feature] != 0;
    }
    // Columns plus twins.
    std::size_t features() const { return bins.size(); }
    bool has_missing(std::size_t column) const {
        return column < twin_index.size() && twin_index[column] != kNoTwin;
    }
    // The column a feature splits (itself, or a twin's column).
    std::size_t column_of(std::size_t feature) const {
        return feature < columns ? feature : twin_of[feature - columns];
    }
};

}  // namespace tw
