// Sorting and splitting the exact grower's sample orders.
#include "grow/sample_orders.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>

#include "core/errors.hpp"
#include "parallel/control.hpp"

namespace tw::grow {
namespace {

// Order-preserving unsigned key of a double (-0.0 and 0.0 share a key, so
// they tie as they compare equal).
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

struct RadixScratch {
    std::vector<std::uint64_t> keys, keys_tmp;
    std::vector<std::uint32_t> idx_tmp;
};

// perm = 0..n-1 sorted by ascending value, equal values in index order (a
// stable sort). LSD radix on 11-bit digits; digits that are equal for every
// key are skipped.
void sort_by_value(const std::vector<double>& values, std::vector<std::uint32_t>& perm,
                   RadixScratch& sc) {
    const std::size_t n = values.size();
    perm.resize(n);
    std::iota(perm.begin(), perm.end(), 0u);
    if (n < 512) {
        std::stable_sort(perm.begin(), perm.end(), [&](std::uint32_t a, std::uint32_t b) {
            return values[a] < values[b];
        });
        return;
    }
    constexpr int kBits = 11, kPasses = 6;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    sc.keys.resize(n);
    sc.keys_tmp.resize(n);
    sc.idx_tmp.resize(n);
    std::vector<std::uint32_t> counts(kBuckets * kPasses, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = sort_key(values[i]);
        sc.keys[i] = k;
        for (int p = 0; p < kPasses; ++p) ++counts[p * kBuckets + ((k >> (p * kBits)) & (kBuckets - 1))];
    }
    std::uint64_t* keys = sc.keys.data();
    std::uint64_t* keys_out = sc.keys_tmp.data();
    std::uint32_t* idx = perm.data();
    std::uint32_t* idx_out = sc.idx_tmp.data();
    for (int p = 0; p < kPasses; ++p) {
        std::uint32_t* c = counts.data() + p * kBuckets;
        const int shift = p * kBits;
        if (c[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;  // one bucket holds everything
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t t = c[b];
            c[b] = sum;
            sum += t;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = keys[i];
            const std::uint32_t dst = c[(k >> shift) & (kBuckets - 1)]++;
            keys_out[dst] = k;
            idx_out[dst] = idx[i];
        }
        std::swap(keys, keys_out);
        std::swap(idx, idx_out);
    }
    if (idx != perm.data()) std::memcpy(perm.data(), idx, n * sizeof(std::uint32_t));
}

}  // namespace

void SampleOrders::reset(std::size_t n) {
    n_ = n;
    list_.resize(n);
    std::iota(list_.begin(), list_.end(), 0u);
}

void SampleOrders::sort_features(const MatrixView& x, std::span<const std::size_t> positions) {
    const std::size_t n = n_;
    const std::size_t nf = x.cols;
    features_.resize(nf);
    // Gather the columns row by row (one pass over the matrix), then sort
    // each column and lay it out in sorted order.
    for (FeatureOrder& fo : features_) {
        fo.values.resize(n);
        fo.samples.resize(n);
    }
    for (std::size_t s = 0; s < n; ++s) {
        if ((s & 0xFFFF) == 0) parallel::check_stop();  // a long pass over many rows
        const double* row = x.row(positions[s]);
        for (std::size_t f = 0; f < nf; ++f) {
            const double v = row[f];
            if (std::isnan(v)) throw InternalError("NaN met while sorting feature values");
            features_[f].values[s] = v;
        }
    }
    std::vector<double> column(n);
    std::vector<std::uint32_t> perm(n);
    RadixScratch scratch;
    for (std::size_t f = 0; f < nf; ++f) {
        parallel::check_stop();  // sorting many rows is long: a stop ends it between columns
        FeatureOrder& fo = features_[f];
        column.swap(fo.values);
        sort_by_value(column, perm, scratch);
        fo.values.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            fo.samples[i] = perm[i];
            fo.values[i] = column[perm[i]];
        }
    }
    tmp_values_.resize(n);
    tmp_samples_.resize(n);
    goes_left_.assign(n, 0);
}

// Branch-free: every entry is written to both sides, and only the side it
// belongs to advances. The left side is compacted in place (its write
// position never passes the read position).
void SampleOrders::split_list(std::size_t f, std::size_t lo, std::size_t hi, std::size_t n_left) {
    const std::uint32_t* chosen = features_[f].samples.data();
    for (std::size_t i = 0; i < hi - lo; ++i) goes_left_[chosen[lo + i]] = i < n_left ? 1 : 0;
    partition_list(lo, hi);
}

void SampleOrders::partition_list(std::size_t lo, std::size_t hi) {
    std::uint32_t* a = list_.data();
    std::uint32_t* tmp = tmp_samples_.data();
    std::size_t wl = lo, wr = 0;
    for (std::size_t i = lo; i < hi; ++i) {
        const std::uint32_t s = a[i];
        const std::size_t g = goes_left_[s];
        a[wl] = s;
        tmp[wr] = s;
        wl += g;
        wr += 1 - g;
    }
    std::memcpy(a + wl, tmp, wr * sizeof(std::uint32_t));
}

void SampleOrders::split_features(std::size_t lo, std::size_t hi, bool want_left,
                                  bool want_right) {
    if (!want_left && !want_right) return;
    for (std::size_t f = 0; f < features_.size(); ++f) {
        parallel::check_stop();  // the grower is abandoned on a stop
        split_feature(f, lo, hi, want_left, want_right);
    }
}

void SampleOrders::split_feature(std::size_t f, std::size_t lo, std::size_t hi, bool want_left,
                                 bool want_right) {
    double* v = features_[f].values.data();
    std::uint32_t* ix = features_[f].samples.data();
    if (want_left && want_right) {
        double* tv = tmp_values_.data();
        std::uint32_t* ti = tmp_samples_.data();
        std::size_t wl = lo, wr = 0;
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint32_t s = ix[i];
            const double val = v[i];
            const std::size_t g = goes_left_[s];
            ix[wl] = s;
            v[wl] = val;
            ti[wr] = s;
            tv[wr] = val;
            wl += g;
            wr += 1 - g;
        }
        std::memcpy(ix + wl, ti, wr * sizeof(std::uint32_t));
        std::memcpy(v + wl, tv, wr * sizeof(double));
    } else if (want_left) {
        std::size_t wl = lo;
        for (std::size_t i = lo; i < hi; ++i) {
            const std::uint32_t s = ix[i];
            const double val = v[i];
            ix[wl] = s;
            v[wl] = val;
            wl += goes_left_[s];
        }
    } else {
        // Right side compacted towards hi, walking backwards.
        std::size_t wr = hi;
        for (std::size_t i = hi; i-- > lo;) {
            const std::uint32_t s = ix[i];
            const double val = v[i];
            ix[wr - 1] = s;
            v[wr - 1] = val;
            wr -= 1 - goes_left_[s];
        }
    }
}

}  // namespace tw::grow
