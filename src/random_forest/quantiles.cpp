// Quantile regression forest queries over the leaf samples
// (random_forest/leaf_samples.hpp): quantiles of query rows, out-of-bag
// quantiles of the training rows, and the conformalised quantile intervals
// built on both.
//
// Per query the in-bag entries of its leaves are gathered and their forest
// weights summed per rank, ranks ascending, trees in order within a rank.
// Two ways give the same sums: sorting the gathered (rank, leaf) keys when
// they are few against the training rows, or adding them into one slot per
// rank and scanning all ranks when they are many.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "parallel/pool.hpp"
#include "random_forest/leaf_samples.hpp"

namespace tw {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = 0x1p-52;

// One leaf of one tree: entries samples.trees[tree] at node `node`.
struct LeafRef {
    u32 tree;
    u32 node;
};

// Scratch space and the quantile computation of one thread.
class WeightedQuantiles {
public:
    explicit WeightedQuantiles(const LeafSamples& s) : s_(s) {}

    // out[j] = the quantile at levels[j] of the forest weights of `leaves`.
    void compute(std::span<const LeafRef> leaves, std::span<const double> levels, double* out) {
        const std::size_t m = leaves.size();
        total_.resize(m);
        end_.resize(m);
        std::size_t gathered = 0, valid = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const TreeSamples& ts = s_.trees[leaves[j].tree];
            const u32* first = ts.entries.data() + ts.begin[leaves[j].node];
            const u32* last = ts.entries.data() + ts.begin[leaves[j].node + 1];
            const u32* in_end = std::lower_bound(first, last, LeafSamples::kOutOfBag);
            double w = 0.0;
            if (s_.weights.empty()) {
                w = static_cast<double>(in_end - first);
            } else {
                for (const u32* e = first; e != in_end; ++e) w += s_.weights[*e];
            }
            total_[j] = w;
            end_[j] = static_cast<u32>(in_end - ts.entries.data());
            if (w > 0.0) {
                ++valid;
                gathered += static_cast<std::size_t>(in_end - first);
            }
        }
        if (valid == 0) {
            std::fill(out, out + levels.size(), kNaN);
            return;
        }
        cum_.clear();
        rank_.clear();
        if (4 * gathered >= s_.rows()) dense(leaves);
        else sparse(leaves);
        const double trees = static_cast<double>(valid);
        const double slack = (static_cast<double>(gathered) + 2.0) * kEps * trees;
        for (std::size_t q = 0; q < levels.size(); ++q) {
            const double target = levels[q] * trees - slack;
            auto at = std::lower_bound(cum_.begin(), cum_.end(), target);
            if (at == cum_.end()) --at;  // unreachable within the slack, kept safe
            out[q] = s_.targets[rank_[static_cast<std::size_t>(at - cum_.begin())]];
        }
    }

private:
    double entry_weight(u32 rank, std::size_t j) const { return s_.weight(rank) / total_[j]; }

    void push(u32 rank, double group, double& cum) {
        if (!(group > 0.0)) return;
        cum += group;
        cum_.push_back(cum);
        rank_.push_back(rank);
    }

    void sparse(std::span<const LeafRef> leaves) {
        keys_.clear();
        for (std::size_t j = 0; j < leaves.size(); ++j) {
            if (!(total_[j] > 0.0)) continue;
            const TreeSamples& ts = s_.trees[leaves[j].tree];
            for (u32 i = ts.begin[leaves[j].node]; i < end_[j]; ++i) {
                const u32 rank = ts.entries[i];
                if (s_.weight(rank) > 0.0) keys_.push_back((u64{rank} << 32) | j);
            }
        }
        std::sort(keys_.begin(), keys_.end());
        double cum = 0.0;
        for (std::size_t i = 0; i < keys_.size();) {
            const u32 rank = static_cast<u32>(keys_[i] >> 32);
            double group = 0.0;
            for (; i < keys_.size() && static_cast<u32>(keys_[i] >> 32) == rank; ++i) {
                group += entry_weight(rank, static_cast<std::size_t>(keys_[i] & 0xFFFFFFFFu));
            }
            push(rank, group, cum);
        }
    }

    void dense(std::span<const LeafRef> leaves) {
        slot_.assign(s_.rows(), 0.0);
        for (std::size_t j = 0; j < leaves.size(); ++j) {
            if (!(total_[j] > 0.0)) continue;
            const TreeSamples& ts = s_.trees[leaves[j].tree];
            for (u32 i = ts.begin[leaves[j].node]; i < end_[j]; ++i) {
                const u32 rank = ts.entries[i];
                if (s_.weight(rank) > 0.0) slot_[rank] += entry_weight(rank, j);
            }
        }
        double cum = 0.0;
        for (std::size_t k = 0; k < slot_.size(); ++k) push(static_cast<u32>(k), slot_[k], cum);
    }

    const LeafSamples& s_;
    std::vector<double> total_;
    std::vector<u32> end_;
    std::vector<u64> keys_;
    std::vector<double> slot_;
    std::vector<double> cum_;
    std::vector<u32> rank_;
};

constexpr std::size_t kGrain = 64;

// The out-of-bag leaves of every rank: leaves[begin[k] .. begin[k + 1]).
struct OutOfBagLeaves {
    std::vector<u64> begin;
    std::vector<LeafRef> leaves;

    static OutOfBagLeaves of(const LeafSamples& s) {
        OutOfBagLeaves o;
        const std::size_t n = s.rows();
        o.begin.assign(n + 1, 0);
        for_each_out_of_bag(s, [&](u32 rank, u32, u32) { ++o.begin[rank + 1]; });
        for (std::size_t k = 0; k < n; ++k) o.begin[k + 1] += o.begin[k];
        o.leaves.resize(o.begin[n]);
        std::vector<u64> next(o.begin.begin(), o.begin.end() - 1);
        for_each_out_of_bag(s, [&](u32 rank, u32 t, u32 j) { o.leaves[next[rank]++] = LeafRef{t, j}; });
        return o;
    }
};

// Out-of-bag quantiles per rank (ranks x levels).
std::vector<double> oob_by_rank(const LeafSamples& s, std::span<const double> levels) {
    const OutOfBagLeaves oob = OutOfBagLeaves::of(s);
    const std::size_t n = s.rows(), q = levels.size();
    std::vector<double> out(n * q, kNaN);
    parallel::parallel_chunks(n, kGrain * 4, [&](std::size_t begin, std::size_t end) {
        WeightedQuantiles wq(s);
        for (std::size_t k = begin; k < end; ++k) {
            const std::span<const LeafRef> leaves(oob.leaves.data() + oob.begin[k],
                                                  oob.begin[k + 1] - oob.begin[k]);
            if (!leaves.empty()) wq.compute(leaves, levels, out.data() + k * q);
        }
    });
    return out;
}

}  // namespace

std::vector<double> forest_quantiles(const LeafSamples& s, std::span<const u32> leaves,
                                     std::span<const double> levels) {
    const std::size_t T = s.trees.size();
    if (T == 0 || leaves.size() % T != 0) throw InternalError("quantiles: leaf table shape");
    const std::size_t rows = leaves.size() / T, q = levels.size();
    std::vector<double> out(rows * q);
    parallel::parallel_chunks(rows, kGrain, [&](std::size_t begin, std::size_t end) {
        WeightedQuantiles wq(s);
        std::vector<LeafRef> refs(T);
        for (std::size_t r = begin; r < end; ++r) {
            for (std::size_t t = 0; t < T; ++t) {
                const u32 node = leaves[r * T + t];
                if (node + std::size_t{1} >= s.trees[t].begin.size()) {
                    throw InternalError("quantiles: leaf out of range");
                }
                refs[t] = LeafRef{static_cast<u32>(t), node};
            }
            wq.compute(refs, levels, out.data() + r * q);
        }
    });
    return out;
}

std::vector<double> oob_quantiles(const LeafSamples& s, std::span<const double> levels) {
    const std::vector<double> by_rank = oob_by_rank(s, levels);
    const std::size_t q = levels.size();
    std::vector<double> out(by_rank.size());
    for (std::size_t k = 0; k < s.rows(); ++k) {
        std::copy_n(by_rank.data() + k * q, q, out.data() + std::size_t{s.row_of_rank[k]} * q);
    }
    return out;
}

std::vector<double> quantile_intervals(const LeafSamples& s, std::span<const u32> leaves,
                                       double alpha) {
    const double levels[2] = {alpha / 2.0, 1.0 - alpha / 2.0};
    const std::vector<double> oob = oob_by_rank(s, levels);
    std::vector<double> scores;
    scores.reserve(s.rows());
    for (std::size_t k = 0; k < s.rows(); ++k) {
        const double lo = oob[2 * k], hi = oob[2 * k + 1];
        if (std::isnan(lo)) continue;  // no tree left this row out (or none weighs it)
        const double y = s.targets[k];
        scores.push_back(std::max(lo - y, y - hi));
    }
    if (scores.empty()) {
        throw ValueError("no training row is out of bag for any tree, so there are no "
                         "out-of-bag scores to calibrate with (fit with bootstrap=True and "
                         "more trees)");
    }
    const u64 n = scores.size();
    const u64 k = n + 1 - floor_times(alpha, n + 1);
    double width = std::numeric_limits<double>::infinity();
    if (k <= n) {
        std::nth_element(scores.begin(), scores.begin() + static_cast<std::ptrdiff_t>(k - 1),
                         scores.end());
        width = scores[k - 1];
    }
    std::vector<double> out = forest_quantiles(s, leaves, levels);
    for (std::size_t r = 0; r < out.size(); r += 2) {
        const double lo = out[r] - width, hi = out[r + 1] + width;
        // A negative width can cross the ends: the interval would be empty,
        // and becomes the point between them (it still covers nothing).
        if (lo > hi) {
            out[r] = out[r + 1] = out[r] / 2.0 + out[r + 1] / 2.0;
        } else {
            out[r] = lo;
            out[r + 1] = hi;
        }
    }
    return out;
}

}  // namespace tw
