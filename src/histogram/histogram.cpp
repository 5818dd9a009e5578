// Quantile binning of a training matrix.
#include "histogram/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/clones.hpp"
#include "core/errors.hpp"
#include "core/radix_sort.hpp"
#include "parallel/pool.hpp"

namespace tw {
namespace {

// Number of edges strictly less than v (the first edge e with v <= e), found
// without data-dependent branches. Edges are ascending; v is not NaN.
inline std::size_t bin_of(const double* edges, std::size_t n_edges, double v) {
    const double* base = edges;
    std::size_t len = n_edges;
    while (len > 1) {
        const std::size_t half = len / 2;
        base = (base[half] < v) ? base + half : base;
        len -= half;
    }
    return static_cast<std::size_t>(base - edges) + (*base < v ? 1 : 0);
}

// The bins of the n values v[0], v[stride], ... (bin_of each), eight
// searches at a time so that their loads (and the values' cache misses)
// overlap; NaN gets bin 0 like bin_of.
template <class Code>
void bins_of(const double* edges, std::size_t n_edges, const double* v, std::size_t stride,
             std::size_t n, Code* out) {
    constexpr std::size_t kLanes = 8;
    std::size_t r = 0;
    for (; r + kLanes <= n; r += kLanes) {
        const double* base[kLanes];
        double value[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            base[j] = edges;
            value[j] = v[(r + j) * stride];
        }
        for (std::size_t len = n_edges; len > 1;) {
            const std::size_t half = len / 2;
            for (std::size_t j = 0; j < kLanes; ++j) {
                base[j] = (base[j][half] < value[j]) ? base[j] + half : base[j];
            }
            len -= half;
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            out[r + j] = static_cast<Code>(static_cast<std::size_t>(base[j] - edges) +
                                           (*base[j] < value[j] ? 1 : 0));
        }
    }
    for (; r < n; ++r) out[r] = static_cast<Code>(bin_of(edges, n_edges, v[r * stride]));
}

// The bins of the n values v[0], v[stride], ... (as bins_of gives them) read
// off a table of equal-width buckets over [low, high], the smallest and
// largest values, when no bucket holds more than kTableCompares edges: a
// value's bin is the number of edges in buckets below its own plus its
// bucket's edges below it, found with fixed compares. The bucket of a
// number only grows with it (each step rounds monotonically), so an edge in
// a lower bucket is below every value of a higher one, and one in a higher
// bucket above it. NaN lands in bucket 0 (its bin is replaced by the
// caller). False (nothing written) when some bucket holds more edges, the
// range is not finite, or the column is too short to repay the table.
constexpr std::size_t kTableCompares = 4;
template <class Code>
bool bins_by_table(const std::vector<double>& edges, double low, double high, const double* v,
                   std::size_t stride, std::size_t n, Code* out) {
    constexpr std::size_t kMinRows = 1024, kMostBuckets = std::size_t{1} << 13;
    if (n < kMinRows || !(low < high)) return false;
    const std::size_t buckets = std::min(kMostBuckets, n / 4);
    const double last = static_cast<double>(buckets - 1);
    const double scale = static_cast<double>(buckets) / (high - low);
    if (!std::isfinite(scale) || !(scale > 0.0)) return false;
    const auto bucket = [=](double x) __attribute__((always_inline)) {
        const double t = (x - low) * scale;
        return t > 0.0 ? static_cast<std::size_t>(t < last ? t : last) : std::size_t{0};
    };
    // first[b]: the edges in buckets below b.
    const std::size_t ne = edges.size();
    std::vector<std::uint32_t> first(buckets + 1, 0);
    for (std::size_t k = 0; k < ne; ++k) ++first[bucket(edges[k]) + 1];
    for (std::size_t b = 0; b < buckets; ++b) {
        if (first[b + 1] > kTableCompares) return false;
        first[b + 1] += first[b];
    }
    // Edges padded with +inf, which no value is above.
    std::vector<double> padded(edges);
    padded.resize(ne + kTableCompares, std::numeric_limits<double>::infinity());
    const double* e = padded.data();
    const std::uint32_t* f = first.data();
    for (std::size_t r = 0; r < n; ++r) {
        const double x = v[r * stride];
        const std::size_t lo = f[bucket(x)];
        const double* p = e + lo;
        std::size_t bin = lo;
        for (std::size_t j = 0; j < kTableCompares; ++j) bin += p[j] < x ? 1 : 0;
        out[r] = static_cast<Code>(bin);
    }
    return true;
}

// Ascending order with NaN after every number, a strict weak order when
// the column holds missing values (NaN).
inline bool value_less(double a, double b) {
    return a < b || (std::isnan(b) && !std::isnan(a));
}

// A point strictly between a < b that is at least a and below b: their
// midpoint, or a itself where rounding would carry the midpoint onto b.
inline double between(double a, double b) {
    const double mid = a + (b - a) * 0.5;
    return std::isfinite(mid) && mid >= a && mid < b ? mid : a;
}

// The part of a merged value's own rows in its spread, so that the last
// value and values of tiny gaps still weigh something, and the least share
// of the sizes a value keeps per share of the rows (see lossless_edges).
constexpr double kOwnSpread = 1e-3;
constexpr double kFrequentShare = 0.25;

// Each value's spread^(3/4) (see lossless_edges) from the sorted distinct
// values and their rows, into out. Square roots are correctly rounded, so
// every vector width gives the same results.
TW_VECTOR_CLONES
void spread_powers(const double* value, const double* count, std::size_t d, double rows,
                   double range, double* out) {
    const auto power_of = [&](std::size_t k, double gap) __attribute__((always_inline)) {
        const double half = std::sqrt(kOwnSpread * count[k] + rows * (gap / range));
        return half * std::sqrt(half);
    };
    for (std::size_t k = 0; k + 1 < d; ++k) out[k] = power_of(k, value[k + 1] - value[k]);
    if (d > 0) out[d - 1] = power_of(d - 1, 0.0);
}

// Buffers of one group of columns (bin_all), kept from column to column:
// sized once, so that no column pays for allocating and clearing them.
struct BinScratch {
    std::vector<double> column;               // the column's values, sorted
    std::vector<std::uint64_t> keys, other;   // radix sort
    std::vector<double> value, size, grown;   // lossless_edges
};

// One bin of the greedy merge (lossless_edges): from value i on, values
// join it while it stays nearer its target and value `last` or an earlier
// one is next; takes the bin's size off size_left and returns the index
// after the bin. Kept apart so that the running sum stays in a register.
inline std::size_t fill_bin(const double* size, std::size_t i, std::size_t last, double target,
                            double& size_left) {
    double taken = size[i++];
    while (i <= last && taken + 0.5 * size[i] < target) taken += size[i++];
    size_left -= taken;
    return i;
}

// Lossless edges of the sorted present values column[0..present) into at
// most max_bins bins (the last edge +inf), and per bin its value when it
// holds one (NaN when several); see BinSettings. A column of more distinct
// values than bins merges neighbouring values greedily into bins of about
// equal size, a value's size being its rows, or with a finite range
// rows^(1/4) * spread^(3/4): its spread being the rows its gap up to the
// next value would hold at the column's mean density (present * gap /
// range), plus kOwnSpread of its own rows. A bin's width then goes with
// the column's density to the power -1/4: bins of equal rows alone (power
// -1) leave the sparse ends of a column, where the values spread widest, a
// few wide bins whose rows no threshold can part, and bins of equal width
// (power 0) leave the dense middle of a long-tailed column a few bins. A
// value keeps at least kFrequentShare of its rows' share of the sizes, so
// that a frequent one (the zeros of a zero-inflated column) keeps a bin of
// its own.
void lossless_edges(const std::vector<double>& column, std::size_t present, std::size_t max_bins,
                    BinScratch& scratch, std::vector<double>& edges, std::vector<double>& values) {
    constexpr double kSeveral = std::numeric_limits<double>::quiet_NaN();
    // The distinct values and their counts, without a branch a value: every
    // value is written to the place of the next distinct one, which only a
    // new value keeps (a repeat is overwritten). The places hold first each
    // value's first position, then its count (exact: whole numbers).
    std::vector<double>& value = scratch.value;
    std::vector<double>& size = scratch.size;
    if (value.size() < present + 1) {
        value.resize(present + 1);
        size.resize(present + 1);
    }
    double* const val = value.data();
    double* const first = size.data();
    std::size_t d = present > 0 ? 1 : 0;
    if (present > 0) val[0] = column[0], first[0] = 0.0;
    for (std::size_t i = 1; i < present; ++i) {
        val[d] = column[i];
        first[d] = static_cast<double>(i);
        d += column[i] != column[i - 1] ? 1 : 0;
    }
    first[d] = static_cast<double>(present);
    for (std::size_t k = 0; k < d; ++k) first[k] = first[k + 1] - first[k];
    edges.clear();
    values.clear();
    double size_left = static_cast<double>(present);
    const double range = d > 1 ? value[d - 1] - value[0] : 0.0;
    if (d > max_bins && std::isfinite(range) && range > 0.0) {
        // gap / range is at most 1, whatever the scale of the values.
        const double rows = static_cast<double>(present);
        std::vector<double>& grown = scratch.grown;
        if (grown.size() < d) grown.resize(d);
        spread_powers(value.data(), size.data(), d, rows, range, grown.data());
        // Times rows^(1/4), for values of more than one row (1^(1/4) is 1:
        // most values, in continuous columns, skip it).
        double total = 0.0;
        for (std::size_t k = 0; k < d; ++k) {
            if (size[k] != 1.0) grown[k] *= std::sqrt(std::sqrt(size[k]));
            total += grown[k];
        }
        // Values below kFrequentShare of their rows' share are raised to it,
        // without a branch (small gaps are common and random; adding +0
        // leaves the sum as it is).
        const double per_row = kFrequentShare * total / rows;
        double raised = 0.0;
        for (std::size_t k = 0; k < d; ++k) {
            const double least = size[k] * per_row;
            raised += std::max(least - grown[k], 0.0);
            size[k] = std::max(least, grown[k]);
        }
        size_left = total + raised;
    }
    std::size_t i = 0, bins_left = max_bins;
    while (i + 1 < d && bins_left > 1) {
        if (d - i <= bins_left) {
            // Every remaining value can have its own bin.
            for (; i + 1 < d; ++i) {
                edges.push_back(between(value[i], value[i + 1]));
                values.push_back(value[i]);
            }
            break;
        }
        // Values join the bin while it stays nearer its share of the size
        // left and leaves a value for every bin after it; a bin holds at
        // least one value.
        const double target = size_left / static_cast<double>(bins_left);
        const std::size_t first = i;
        i = fill_bin(size.data(), i, d - bins_left, target, size_left);
        edges.push_back(between(value[i - 1], value[i]));
        values.push_back(i - first == 1 ? value[first] : kSeveral);
        --bins_left;
    }
    // The last bin holds the values from i on.
    values.push_back(i + 1 == d ? value[i] : kSeveral);
}

// The n values of a column are src[0], src[stride], ...
template <class Code>
void bin_feature(const double* src, std::size_t stride, std::size_t n, const BinSettings& settings,
                 BinScratch& scratch, std::vector<double>& edges, std::vector<double>& values,
                 std::vector<Code>& bins, std::uint8_t& missing) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double>& column = scratch.column;
    column.resize(n);
    bool has_nan = false, has_negative_zero = false;
    for (std::size_t r = 0; r < n; ++r) {
        const double v = src[r * stride];
        has_nan |= std::isnan(v);
        has_negative_zero |= v == 0.0 && std::signbit(v);
        column[r] = v;
    }
    missing = has_nan ? 1 : 0;
    std::size_t present = n;  // values that are not missing, sorted first
    if (has_nan) {
        std::sort(column.begin(), column.end(), value_less);
        while (present > 0 && std::isnan(column[present - 1])) --present;
    } else if (has_negative_zero || n < 512 || n > std::numeric_limits<std::uint32_t>::max()) {
        std::sort(column.begin(), column.end());
    } else {
        radix_sort_values(column, scratch.keys, scratch.other);
    }

    // A column with missing values keeps one bin of its share for them.
    const std::size_t cap = std::max<std::size_t>(settings.max_bins, kNarrowBins);
    const std::size_t max_value_bins = has_nan ? cap - 1 : cap;
    if (settings.lossless) {
        lossless_edges(column, present, std::min(max_value_bins, settings.max_bins - (has_nan ? 1 : 0)),
                       scratch, edges, values);
    } else {
        edges.clear();
    }
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < present && !settings.lossless; ++i) {
        if (i == 0 || column[i] != column[i - 1]) {
            if (++distinct > max_value_bins) break;  // only min(distinct, max) matters
        }
    }
    if (distinct >= 2) {
        const std::size_t b_count = std::min(distinct, max_value_bins);
        for (std::size_t j = 1; j < b_count; ++j) {
            const std::size_t pos = std::min(j * present / b_count, present - 1);
            const double v = column[pos];
            if (edges.empty() || v > edges.back()) edges.push_back(v);
        }
    }
    edges.push_back(inf);

    bins.resize(n);
    const double* e = edges.data();
    const std::size_t ne = edges.size();
    if (present == 0 ||
        !bins_by_table(edges, column[0], column[present - 1], src, stride, n, bins.data())) {
        bins_of(e, ne, src, stride, n, bins.data());
    }
    if (!has_nan) return;
    // The missing bin follows the value bins; its edge (+inf, like the last
    // value bin's) is never a threshold, as no candidate ends at the last bin.
    const auto missing_bin = static_cast<Code>(ne);
    for (std::size_t r = 0; r < n; ++r) {
        if (std::isnan(src[r * stride])) bins[r] = missing_bin;
    }
    edges.push_back(inf);
    if (!values.empty()) values.push_back(std::numeric_limits<double>::quiet_NaN());
}

// A categorical column of k categories (codes 0..k-1, checked by the fit):
// bin c holds code c, and missing values a bin of their own after them.
// The edges only number the bins (category splits test sets, not edges).
template <class Code>
void bin_categories(const MatrixView& x, std::size_t f, std::size_t k, std::vector<double>& edges,
                    std::vector<Code>& bins) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    bins.resize(x.rows);
    bool has_nan = false;
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double v = x.at(r, f);
        has_nan |= std::isnan(v);
        bins[r] = std::isnan(v) ? static_cast<Code>(k) : static_cast<Code>(v);
    }
    edges.clear();
    for (std::size_t c = 0; c + 1 < k; ++c) edges.push_back(static_cast<double>(c));
    edges.push_back(inf);
    if (has_nan) edges.push_back(inf);
}

// The twin of a column with missing values (see histogram.hpp): the missing
// bin first, then the value bins one higher, and edges to match.
template <class Code>
void make_twin(const std::vector<Code>& bins, const std::vector<double>& edges,
               std::vector<Code>& twin_bins, std::vector<double>& twin_edges) {
    const std::size_t missing_bin = edges.size() - 1;
    twin_bins.resize(bins.size());
    for (std::size_t r = 0; r < bins.size(); ++r) {
        const Code b = bins[r];
        twin_bins[r] = b == missing_bin ? 0 : static_cast<Code>(b + 1);
    }
    twin_edges.clear();
    twin_edges.push_back(-std::numeric_limits<double>::infinity());
    twin_edges.insert(twin_edges.end(), edges.begin(), edges.end() - 1);
}

// Bins every column into codes of one width (columns, then twins).
template <class Code>
void bin_all(const MatrixView& x, const BinSettings& settings, HistogramData& h,
             std::vector<std::vector<Code>>& bins) {
    const std::size_t nf = x.cols;
    bins.resize(nf);
    std::vector<std::uint8_t> missing(nf, 0);
    // Neighbouring columns are binned together, each from its own copy: the
    // group's values are read off the rows in one pass (a column of a wide
    // matrix read alone takes a cache line per value, twice). Groups stay
    // small enough to give every thread a few, and their copies within a
    // budget.
    constexpr std::size_t kGroupBytes = std::size_t{1} << 26;
    const std::size_t n = x.rows;
    const std::size_t by_threads = nf / (2 * std::max<std::size_t>(1, parallel::loop_threads()));
    const std::size_t by_memory = kGroupBytes / (sizeof(double) * std::max<std::size_t>(1, n));
    const std::size_t group = std::clamp<std::size_t>(std::min(by_threads, by_memory), 1, 4);
    const std::size_t groups = (nf + group - 1) / group;
    parallel::parallel_for(groups, [&](std::size_t g) {
        const std::size_t first = g * group;
        const std::size_t width = std::min(group, nf - first);
        std::vector<double> copies;
        if (width > 1) {
            copies.resize(width * n);
            for (std::size_t r = 0; r < n; ++r) {
                const double* row = x.row(r) + first;
                for (std::size_t j = 0; j < width; ++j) copies[j * n + r] = row[j];
            }
        }
        BinScratch scratch;
        for (std::size_t j = 0; j < width; ++j) {
            const std::size_t f = first + j;
            if (h.is_categorical(f)) {
                bin_categories(x, f, h.categories[f], h.bin_edges[f], bins[f]);
            } else {
                const bool copied = width > 1;
                bin_feature(copied ? copies.data() + j * n : x.data + f, copied ? 1 : x.row_stride,
                            n, settings, scratch, h.bin_edges[f], h.bin_values[f], bins[f],
                            missing[f]);
            }
            h.n_bins[f] = h.bin_edges[f].size();
        }
    });
    for (std::size_t f = 0; f < nf; ++f) {
        if (missing[f] != 0) h.twin_of.push_back(static_cast<std::uint32_t>(f));
    }
    const std::size_t nt = h.twin_of.size();
    bins.resize(nf + nt);
    h.bin_edges.resize(nf + nt);
    h.bin_values.resize(nf + nt);
    h.n_bins.resize(nf + nt);
    h.nan_free.resize(nf + nt, 1);
    h.twin_index.assign(nf, HistogramData::kNoTwin);
    for (std::size_t j = 0; j < nt; ++j) h.twin_index[h.twin_of[j]] = static_cast<std::uint32_t>(nf + j);
    parallel::parallel_for(nt, [&](std::size_t j) {
        const std::size_t f = h.twin_of[j];
        make_twin(bins[f], h.bin_edges[f], bins[nf + j], h.bin_edges[nf + j]);
        h.n_bins[nf + j] = h.bin_edges[nf + j].size();
    });
}

}  // namespace

HistogramData HistogramData::build(const MatrixView& x, std::span<const std::uint16_t> categories,
                                   const BinSettings& settings) {
    if (settings.max_bins < 2 || settings.max_bins > kWideBins) {
        throw InternalError("max_bins out of range");
    }
    const std::size_t nf = x.cols;
    HistogramData h;
    h.columns = nf;
    if (!categories.empty()) {
        if (categories.size() != nf) throw InternalError("a category count per column expected");
        h.categories.assign(categories.begin(), categories.end());
    }
    h.bin_edges.resize(nf);
    h.bin_values.resize(nf);
    h.n_bins.assign(nf, 1);
    h.nan_free.assign(nf, 1);
    if (settings.max_bins <= kNarrowBins) {
        bin_all(x, settings, h, h.bins);
        return h;
    }
    // Wide codes are kept only when some feature has more bins than a
    // byte can number; otherwise the same bins are stored as bytes.
    bin_all(x, settings, h, h.wide_bins);
    const std::size_t most =
        h.n_bins.empty() ? 0 : *std::max_element(h.n_bins.begin(), h.n_bins.end());
    h.bins.resize(h.wide_bins.size());
    if (most > kNarrowBins) {
        h.capacity = (most + 63) & ~std::size_t{63};
        return h;
    }
    parallel::parallel_for(h.wide_bins.size(), [&](std::size_t f) {
        h.bins[f].assign(h.wide_bins[f].begin(), h.wide_bins[f].end());
        std::vector<std::uint16_t>().swap(h.wide_bins[f]);
    });
    h.wide_bins.clear();
    return h;
}

void HistogramData::bin_rows(const MatrixView& x, const std::vector<std::vector<double>>& edges,
                             std::uint8_t* out) {
    const std::size_t nf = x.cols;
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* row = x.row(r);
        std::uint8_t* o = out + r * nf;
        for (std::size_t f = 0; f < nf; ++f) {
            o[f] = static_cast<std::uint8_t>(bin_of(edges[f].data(), edges[f].size(), row[f]));
        }
    }
}

}  // namespace tw
