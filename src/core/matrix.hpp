// Read-only views over caller-owned float data: MatrixView for a matrix x
// (rows are samples, columns features), Vec for a vector such as y or
// sample_weight.
#pragma once
#include <cstddef>
#include <span>

namespace tw {

// A row-major matrix whose rows are contiguous runs of `cols` doubles,
// `row_stride` doubles apart. The boundary layer copies arrays of any other
// layout into this form before the engine sees them.
struct MatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t row_stride = 0;  // in elements

    const double* row(std::size_t i) const { return data + i * row_stride; }
    double at(std::size_t i, std::size_t j) const { return data[i * row_stride + j]; }

    // Whether rows [begin, end) hold a missing value (NaN) in their first
    // `width` columns.
    bool has_missing(std::size_t begin, std::size_t end, std::size_t width) const {
        for (std::size_t r = begin; r < end; ++r) {
            const double* p = row(r);
            bool any = false;
            for (std::size_t c = 0; c < width; ++c) any |= p[c] != p[c];
            if (any) return true;
        }
        return false;
    }
    bool has_missing() const { return cols != 0 && has_missing(0, rows, cols); }
};

using Vec = std::span<const double>;

}  // namespace tw
