// Per-feature binned copy of a training matrix (at most 256 bins a feature).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree/matrix.hpp"

namespace tw {

struct HistogramData {
    std::vector<std::vector<std::uint8_t>> bins;  // per feature, one bin per row
    std::vector<std::vector<double>> bin_edges;   // per feature, ascending, last = +inf
    std::vector<std::size_t> n_bins;              // per feature, == bin_edges[f].size()

    static HistogramData build(const MatrixView& x);
};

}  // namespace tw
