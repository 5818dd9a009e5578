// Bin codes of rows, stored row after row, for walking trees grown on a
// histogram (histogram/histogram.hpp) without reading feature values.
//
// Terms: the code of a value in feature f is its bin, the number of f's bin
// edges below it; the training rows' codes are the histogram's bin bytes.
// A tree grown on the histogram tests bin edges only, so its coded form
// (tree/packed.hpp, binned_form) sends a row read as its codes to the leaf
// its values reach. Rows laid out row by row let a row walked down a tree
// read one short run of bytes (the histogram keeps them feature by feature).
// A histogram of wide codes (more than 256 bins a feature) gives rows of
// two-byte codes.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "histogram/histogram.hpp"
#include "parallel/pool.hpp"
#include "tree/packed.hpp"
#include "tree/tree.hpp"
#include "tree/walk.hpp"

namespace tw::ensemble {

struct BinnedRows {
    std::vector<std::uint8_t> codes;  // rows x width (byte codes)
    std::vector<std::uint16_t> wide_codes;  // rows x width, when the codes are wide
    std::size_t width = 0;
    const std::vector<std::vector<double>>* edges = nullptr;
    // Per column, 1 when no row here misses it (binned_form, nan_free).
    std::vector<std::uint8_t> nan_free;

    // The histogram's own rows (its first `rows`).
    static BinnedRows of(const HistogramData& hist, std::size_t rows) {
        BinnedRows b;
        b.width = hist.columns;
        b.edges = &hist.bin_edges;
        b.nan_free.resize(b.width);
        for (std::size_t f = 0; f < b.width; ++f) b.nan_free[f] = hist.is_nan_free(f) ? 1 : 0;
        if (hist.wide()) {
            b.transpose(hist.wide_bins, rows, b.wide_codes);
        } else {
            b.transpose(hist.bins, rows, b.codes);
        }
        return b;
    }

    // Other rows (x as wide as the histogram), coded by the histogram's
    // edges; NaN takes the last bin (a column's missing bin, if it has one),
    // which no test sends left, as a value walk sends NaN right at every
    // test of a tree without splits sending missing values left (the only
    // trees with a coded form).
    static BinnedRows of_values(const HistogramData& hist, const MatrixView& x) {
        BinnedRows b;
        b.width = hist.columns;
        b.edges = &hist.bin_edges;
        b.nan_free.assign(b.width, 1);
        if (hist.wide()) {
            b.code_values(hist, x, b.wide_codes);
        } else {
            b.code_values(hist, x, b.codes);
        }
        return b;
    }

    bool wide() const { return !wide_codes.empty(); }
    const std::uint8_t* row(std::size_t r) const { return codes.data() + r * width; }
    const std::uint16_t* wide_row(std::size_t r) const { return wide_codes.data() + r * width; }

private:
    // out (rows x width) from the histogram's columns of codes, in blocks of
    // rows on the pool: a block's rows stay in cache while every column
    // writes its codes into them.
    template <class Code>
    void transpose(const std::vector<std::vector<Code>>& columns, std::size_t rows,
                   std::vector<Code>& out) const {
        constexpr std::size_t kBlockBytes = std::size_t{1} << 16;
        out.resize(rows * width);
        const std::size_t block = std::max<std::size_t>(
            64, kBlockBytes / std::max<std::size_t>(1, width * sizeof(Code)));
        parallel::parallel_chunks(rows, block, [&](std::size_t begin, std::size_t end) {
            for (std::size_t f = 0; f < width; ++f) {
                const Code* column = columns[f].data();
                Code* to = out.data() + begin * width + f;
                for (std::size_t r = begin; r < end; ++r, to += width) *to = column[r];
            }
        });
    }
    // out (x.rows x width) from x's values and the histogram's edges,
    // clearing nan_free[f] for a column with a missing value.
    template <class Code>
    void code_values(const HistogramData& hist, const MatrixView& x, std::vector<Code>& out) {
        out.resize(x.rows * width);
        for (std::size_t f = 0; f < width; ++f) {
            const std::vector<double>& e = hist.bin_edges[f];
            const std::size_t last = e.empty() ? 0 : e.size() - 1;
            Code* to = out.data() + f;
            for (std::size_t r = 0; r < x.rows; ++r, to += width) {
                const double v = x.row(r)[f];
                if (v != v) nan_free[f] = 0;
                const std::size_t bin =
                    v == v ? static_cast<std::size_t>(std::lower_bound(e.begin(), e.end(), v) -
                                                      e.begin())
                           : last;
                *to = static_cast<Code>(std::min(bin, last));
            }
        }
    }
};

// The histogram's own rows with a copy of its edges, for walks after the
// histogram is gone (the pending leaf samples of a fit,
// random_forest/leaf_samples.hpp). Shared, never copied: rows.edges points
// at edges.
struct KeptBinnedRows {
    std::vector<std::vector<double>> edges;
    BinnedRows rows;

    KeptBinnedRows(const HistogramData& hist, std::size_t n)
        : edges(hist.bin_edges), rows(BinnedRows::of(hist, n)) {
        rows.edges = &edges;
    }
    KeptBinnedRows(const KeptBinnedRows&) = delete;
    KeptBinnedRows& operator=(const KeptBinnedRows&) = delete;

    // Whether every tree grown on the histogram has a coded form on these
    // edges (binned_form): no category sets, no missing values (whose
    // splits may send them left, and whose twins test other features), and
    // columns and edges within what a coded node can name.
    static bool walks_every_tree(const HistogramData& hist) {
        if (!hist.categories.empty() || hist.columns > 0x10000 ||
            hist.features() != hist.columns || hist.bin_edges.size() != hist.columns) {
            return false;
        }
        const std::size_t ranks = hist.wide() ? kWideRanks : kByteRanks;
        for (std::size_t f = 0; f < hist.columns; ++f) {
            if (!hist.is_nan_free(f) || hist.has_missing(f) || hist.bin_edges[f].size() > ranks + 1) {
                return false;
            }
        }
        return true;
    }
};

// Calls emit(k, leaf) for k < count, row_of(k) naming the row of `binned`,
// when the tree has a coded form on its edges; false (nothing emitted)
// otherwise, and for single-leaf trees. ranks: as for binned_form. The
// tree is coded once (or `given`, its coded form on binned's edges, is
// walked); the rows are walked in consecutive chunks of at most `chunk`, in
// order, between(), which may throw (a stop request), being called between
// two chunks.
template <class RowOf, class Emit, class Between>
bool walk_binned_chunked(const Tree& tree, const BinnedRows& binned, std::size_t count,
                         std::size_t chunk, RowOf&& row_of, Emit&& emit, Between&& between,
                         std::span<const std::int16_t> ranks = {},
                         const CodedNode* given = nullptr) {
    thread_local std::vector<CodedNode> coding;
    const bool wide = binned.wide();
    if (tree.nodes.size() <= 1) return false;
    if (given == nullptr) {
        if (!binned_form(tree, *binned.edges, coding, binned.nan_free, ranks,
                         wide ? kWideRanks : kByteRanks)) {
            return false;
        }
        given = coding.data();
    }
    const CodedNode* const coded = given;
    if (chunk == 0) chunk = count;
    for (std::size_t first = 0; first < count; first += chunk) {
        if (first != 0) between();
        const std::size_t part = std::min(chunk, count - first);
        const auto emit_at = [&](std::size_t k, std::uint32_t leaf) { emit(first + k, leaf); };
        if (wide) {
            walk_lanes(coded, part, [&](std::size_t k) { return binned.wide_row(row_of(first + k)); },
                       emit_at);
        } else {
            walk_lanes(coded, part, [&](std::size_t k) { return binned.row(row_of(first + k)); },
                       emit_at);
        }
    }
    return true;
}

// walk_binned_chunked in one chunk.
template <class RowOf, class Emit>
bool walk_binned(const Tree& tree, const BinnedRows& binned, std::size_t count, RowOf&& row_of,
                 Emit&& emit, std::span<const std::int16_t> ranks = {}) {
    return walk_binned_chunked(tree, binned, count, count, row_of, emit, [] {}, ranks);
}

}  // namespace tw::ensemble
