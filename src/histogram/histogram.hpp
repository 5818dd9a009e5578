// Per-feature binned copy of a training matrix (at most 256 bins a feature).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/matrix.hpp"

namespace tw {

struct HistogramData {
    std::vector<std::vector<std::uint8_t>> bins;  // per feature, one bin per row
    std::vector<std::vector<double>> bin_edges;   // per feature, ascending, last = +inf
    std::vector<std::size_t> n_bins;              // per feature, == bin_edges[f].size()
    // Per feature: 1 when the column holds no NaN, so that "bin <= b" and
    // "value <= bin_edges[f][b]" select the same rows. Features without an
    // entry are treated as possibly holding NaN.
    std::vector<std::uint8_t> nan_free;

    // Bins every column of x (rows x.rows, features x.cols).
    static HistogramData build(const MatrixView& x);

    // Bins the rows of x with edges made by build (edges[f] for column f,
    // one per column of x) into `out`, row-major x.rows x x.cols: each value
    // gets the bin build gives it in the matrix the edges came from. Lets
    // row blocks of a matrix be binned apart with the whole matrix's edges.
    static void bin_rows(const MatrixView& x, const std::vector<std::vector<double>>& edges,
                         std::uint8_t* out);

    bool is_nan_free(std::size_t feature) const {
        return feature < nan_free.size() && nan_free[feature] != 0;
    }
};

}  // namespace tw
