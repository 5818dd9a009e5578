// Row sources of the proximity tables: one interface over a table of full
// rows (ProximityRows) and a symmetric table kept by its upper triangle
// (ProximityUpper), for the code that writes a table out cell by cell, and
// the parallel fill of a dense row-major table from either. Python-free.
//
// Cursor: a source's position for filling consecutive blocks of rows.
#pragma once
#include <algorithm>
#include <cstddef>

#include "parallel/pool.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw::py {

// Row sources: values(r, f) calls f(v) for the stored
// non-zero values of row r; fill(cursor, a, b, emit) calls emit(r, j, v) for
// the non-zero cells of rows [a, b), in ascending column order within each
// row, for consecutive blocks from the row the cursor was made for.
struct RowsSource {
    const ProximityRows& t;
    std::size_t n_rows() const { return t.rows.size(); }
    std::size_t width() const { return t.width; }
    template <class F>
    void values(std::size_t r, F&& f) const {
        t.for_each_nonzero(r, [&](std::size_t, double v) { f(v); });
    }
    struct Cursor {};
    Cursor cursor(std::size_t) const { return {}; }
    template <class Emit>
    void fill(Cursor&, std::size_t a, std::size_t b, Emit&& emit) const {
        for (std::size_t r = a; r < b; ++r)
            t.for_each_nonzero(r, [&](std::size_t j, double v) { emit(r, j, v); });
    }
};

// A symmetric table from its upper triangle: a row's cells below the
// diagonal are the mirror images of earlier rows' entries.
struct UpperSource {
    const ProximityUpper& t;
    std::size_t n_rows() const { return t.rows.size(); }
    std::size_t width() const { return t.width; }
    template <class F>
    void values(std::size_t r, F&& f) const {
        for (double v : t.rows[r].vals) f(v);
    }
    using Cursor = ProximityUpper::Lower;
    Cursor cursor(std::size_t start) const { return Cursor(t, start); }
    template <class Emit>
    void fill(Cursor& lower, std::size_t a, std::size_t b, Emit&& emit) const {
        lower.next(b, emit);
        for (std::size_t r = a; r < b; ++r) {
            const auto& row = t.rows[r];
            for (std::size_t e = 0; e < row.cols.size(); ++e) emit(r, std::size_t{row.cols[e]}, row.vals[e]);
        }
    }
};

// Writes `table` (a row source, module/proximity_sources.hpp) into the
// row-major n_rows x width buffer `out`: slices of rows on the pool, each
// clearing its rows and then storing their non-zero cells.
template <class Source>
void fill_dense(const Source& table, double* out) {
    const std::size_t n_rows = table.n_rows();
    const std::size_t width = table.width();
    constexpr std::size_t kBlock = 64;
    const std::size_t slices = (n_rows + 255) / 256;
    parallel::parallel_for(slices, [&](std::size_t s) {
        const std::size_t begin = s * 256;
        const std::size_t end = std::min(n_rows, begin + 256);
        std::fill(out + begin * width, out + end * width, 0.0);
        auto cursor = table.cursor(begin);
        for (std::size_t a = begin; a < end; a += kBlock) {
            const std::size_t b = std::min(end, a + kBlock);
            table.fill(cursor, a, b, [&](std::size_t r, std::size_t j, double v) {
                out[r * width + j] = v;
            });
        }
    });
}

}  // namespace tw::py
