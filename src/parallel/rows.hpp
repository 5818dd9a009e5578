// Row-sliced calls: a model call over the rows of a matrix, split into
// consecutive slices computed on the worker pool, for models whose own calls
// run on one thread.
//
// Slice: the rows [begin, end) of a matrix, viewed in place.
#pragma once
#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/errors.hpp"
#include "core/matrix.hpp"
#include "parallel/pool.hpp"

namespace tw::parallel {

// The rows [begin, end) of x.
inline MatrixView row_slice(const MatrixView& x, std::size_t begin, std::size_t end) {
    MatrixView part = x;
    part.data = x.data + begin * x.row_stride;
    part.rows = end - begin;
    return part;
}

// Computes `compute(rows)` (a vector of `width` values per row, row-major)
// over consecutive slices of `grain` rows on the pool, each slice writing its
// own part of the result: for models whose own calls run on one thread.
// Results do not depend on the slicing, since rows are independent. Without
// rows the model still checks the (empty) matrix.
template <class Compute>
std::vector<double> sliced_rows(const MatrixView& x, std::size_t width, std::size_t grain,
                                Compute&& compute) {
    if (x.rows == 0) return compute(x);
    std::vector<double> out(x.rows * width);
    parallel_chunks(x.rows, grain, [&](std::size_t begin, std::size_t end) {
        const std::vector<double> part = compute(row_slice(x, begin, end));
        if (part.size() != (end - begin) * width) {
            throw InternalError("result size does not match its rows");
        }
        std::copy(part.begin(), part.end(), out.begin() + static_cast<std::ptrdiff_t>(begin * width));
    });
    return out;
}

}  // namespace tw::parallel
