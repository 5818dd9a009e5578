// Jackknife+-after-bootstrap intervals (random_forest/leaf_samples.hpp).
//
// Each training row's out-of-bag trees come from the leaf samples (the
// trees whose leaf lists hold it out of bag), so no training data is needed
// after the fit. Query rows go in blocks of kBlock: the block's tree
// predictions form a small trees x kBlock table, and one pass over every
// training row's tree list sums, per row of the block, the predictions of
// the trees that left that training row out, in tree order.
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

constexpr std::size_t kBlock = 8;

// The training rows some tree left out (in rank order), the trees that left
// each out (tree order) and the row's out-of-bag residual.
struct LeftOut {
    std::vector<u64> begin;  // rows + 1
    std::vector<u32> tree;
    std::vector<double> residual;

    static LeftOut of(const std::vector<Tree>& forest, const LeafSamples& s) {
        const std::size_t n = s.rows();
        std::vector<u64> count(n, 0);
        for_each_out_of_bag(s, [&](u32 rank, u32, u32) { ++count[rank]; });
        std::vector<u32> compact(n, 0);  // position among the rows left out, + 1
        LeftOut o;
        o.begin.push_back(0);
        for (std::size_t k = 0; k < n; ++k) {
            if (count[k] == 0) continue;
            o.begin.push_back(o.begin.back() + count[k]);
            compact[k] = static_cast<u32>(o.begin.size() - 1);
        }
        const std::size_t m = o.begin.size() - 1;
        o.tree.resize(o.begin[m]);
        std::vector<double> sum(m, 0.0);
        std::vector<u64> next(o.begin.begin(), o.begin.end() - 1);
        for_each_out_of_bag(s, [&](u32 rank, u32 t, u32 node) {
            const u32 i = compact[rank] - 1;
            o.tree[next[i]++] = t;
            sum[i] += forest[t].nodes[node].value;
        });
        o.residual.resize(m);
        for (std::size_t k = 0; k < n; ++k) {
            if (compact[k] == 0) continue;
            const u32 i = compact[k] - 1;
            const double mean = sum[i] / static_cast<double>(o.begin[i + 1] - o.begin[i]);
            o.residual[i] = std::fabs(s.targets[k] - mean);
        }
        return o;
    }
};

}  // namespace

std::vector<double> jackknife_intervals(const std::vector<Tree>& forest, const LeafSamples& s,
                                        std::span<const u32> leaves, double alpha) {
    const std::size_t T = s.trees.size();
    if (T == 0 || forest.size() != T || leaves.size() % T != 0) {
        throw InternalError("intervals: leaf table shape");
    }
    const LeftOut left = LeftOut::of(forest, s);
    const std::size_t m = left.residual.size();
    if (m == 0) {
        throw ValueError("no training row is out of bag for any tree, so there are no "
                         "out-of-bag residuals (fit with bootstrap=True and more trees)");
    }
    const std::size_t rows = leaves.size() / T;
    std::vector<double> out(rows * 2);
    const u64 k_low = floor_times(alpha, u64{m} + 1);
    if (k_low < 1) {
        const double inf = std::numeric_limits<double>::infinity();
        for (std::size_t r = 0; r < rows; ++r) {
            out[2 * r] = -inf;
            out[2 * r + 1] = inf;
        }
        return out;
    }
    const u64 k_high = u64{m} + 1 - k_low;  // ceil((1 - alpha)(m + 1)), at most m
    const std::size_t blocks = (rows + kBlock - 1) / kBlock;
    parallel::parallel_for(blocks, [&](std::size_t b) {
        const std::size_t r0 = b * kBlock;
        const std::size_t width = std::min(kBlock, rows - r0);
        std::vector<double> pred(T * kBlock, 0.0);
        for (std::size_t k = 0; k < width; ++k) {
            for (std::size_t t = 0; t < T; ++t) {
                const u32 node = leaves[(r0 + k) * T + t];
                if (node >= forest[t].nodes.size()) throw InternalError("intervals: leaf range");
                pred[t * kBlock + k] = forest[t].nodes[node].value;
            }
        }
        thread_local std::vector<double> low, high;
        low.resize(kBlock * m);
        high.resize(kBlock * m);
        for (std::size_t i = 0; i < m; ++i) {
            double acc[kBlock] = {};
            for (u64 e = left.begin[i]; e < left.begin[i + 1]; ++e) {
                const double* p = pred.data() + std::size_t{left.tree[e]} * kBlock;
                for (std::size_t k = 0; k < kBlock; ++k) acc[k] += p[k];
            }
            const double c = static_cast<double>(left.begin[i + 1] - left.begin[i]);
            for (std::size_t k = 0; k < width; ++k) {
                const double mean = acc[k] / c;
                low[k * m + i] = mean - left.residual[i];
                high[k * m + i] = mean + left.residual[i];
            }
        }
        for (std::size_t k = 0; k < width; ++k) {
            double* lo = low.data() + k * m;
            double* hi = high.data() + k * m;
            std::nth_element(lo, lo + (k_low - 1), lo + m);
            std::nth_element(hi, hi + (k_high - 1), hi + m);
            double a = lo[k_low - 1], b = hi[k_high - 1];
            // Above alpha = 1/2 the ends can cross (an empty interval): the
            // point between them instead.
            if (a > b) a = b = a / 2.0 + b / 2.0;
            out[2 * (r0 + k)] = a;
            out[2 * (r0 + k) + 1] = b;
        }
    });
    return out;
}

}  // namespace tw
