// Bootstrap planning: a tree's sample is drawn while planning (to advance the
// forest generator, find the out-of-bag rows and store the sample when asked
// to) and otherwise replayed when the tree grows.
#include "ensemble/bootstrap.hpp"

#include <algorithm>
#include <numeric>

#include "core/errors.hpp"

namespace tw::ensemble {

namespace {
// Draws a plan takes from the generator at a time, into a block on the stack.
constexpr std::size_t kDrawBlock = 1024;

// The rows r < n with counts[r] == 0, ascending, into rows (sized to hold
// them and one more). Every row is written, and only the end moves past the
// rows never drawn (no branch on the draws, which no predictor learns).
template <class Count>
void list_undrawn(const Count* counts, std::size_t n, std::vector<std::uint32_t>& rows) {
    std::size_t undrawn = 0;
    for (std::size_t r = 0; r < n; ++r) undrawn += counts[r] == 0 ? 1 : 0;
    rows.clear();
    rows.resize(undrawn + 1);
    std::uint32_t* out = rows.data();
    std::size_t end = 0;
    for (std::size_t r = 0; r < n; ++r) {
        out[end] = static_cast<std::uint32_t>(r);
        end += counts[r] == 0 ? 1 : 0;
    }
    rows.resize(end);
}
}  // namespace

BootstrapPlanner::BootstrapPlanner(Rng& forest, const BootstrapOptions& options)
    : forest_(forest), options_(options) {
    if (options_.oob_rows > options_.rows || options_.oob_rows > 0xFFFFFFFFull) {
        throw InternalError("out-of-bag rows outside the sample range");
    }
    store_ = options_.bootstrap && options_.store_samples && options_.rows <= 0xFFFFFFFFull;
    if (options_.bootstrap && options_.draws != 0 && options_.rows == 0) {
        throw InternalError("bootstrap draws from an empty range");
    }
    drawn_.resize(options_.bootstrap ? options_.oob_rows : 0);
}

TreePlan BootstrapPlanner::next() {
    TreePlan plan;
    plan.draws = forest_;
    if (options_.bootstrap) {
        const std::size_t rows = options_.rows;
        const std::size_t draws = options_.sample_size();
        const std::size_t candidates = options_.oob_rows;
        if (store_) plan.positions.resize(draws);
        std::uint32_t* stored = store_ ? plan.positions.data() : nullptr;
        char* drawn = drawn_.data();
        std::fill_n(drawn, candidates, 0);
        // A local generator: the byte stores below could alias the state of
        // one reached through a reference, which would then live in memory.
        Rng rng = forest_;
        std::uint64_t block[kDrawBlock];
        for (std::size_t first = 0; first < draws; first += kDrawBlock) {
            const std::size_t n = std::min(kDrawBlock, draws - first);
            fill_range_u64(rng, rows, block, n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t v = block[i];
                if (stored) stored[first + i] = static_cast<std::uint32_t>(v);
                if (v < candidates) drawn[v] = 1;
            }
        }
        forest_ = rng;
        list_undrawn(drawn, candidates, plan.oob);
    }
    // Without bootstrapping every row is in every sample: no out-of-bag rows.
    plan.seed = forest_.next_u64();
    return plan;
}

void BootstrapPlanner::sample(const TreePlan& plan, std::vector<std::size_t>& out) const {
    const std::size_t rows = options_.rows;
    const std::size_t draws = options_.sample_size();
    out.resize(draws);
    if (!options_.bootstrap) {
        std::iota(out.begin(), out.end(), std::size_t{0});
        return;
    }
    if (store_) {
        if (plan.positions.size() != draws) throw InternalError("stored sample already released");
        std::copy(plan.positions.begin(), plan.positions.end(), out.begin());
        return;
    }
    Rng replay = plan.draws;
    fill_range_u64(replay, rows, out.data(), draws);
}

void replay_sample(const Rng& draws, const BootstrapOptions& options,
                   std::vector<std::size_t>& out) {
    BootstrapOptions replayed = options;
    replayed.store_samples = false;
    replayed.oob_rows = 0;
    Rng unused;
    BootstrapPlanner planner(unused, replayed);
    TreePlan plan;
    plan.draws = draws;
    planner.sample(plan, out);
}

void count_draws(std::span<const std::size_t> sample, std::size_t rows,
                 std::vector<std::uint32_t>& counts) {
    counts.assign(rows, 0);
    for (std::size_t r : sample) {
        if (r >= rows) throw InternalError("sample position out of range");
        ++counts[r];
    }
}

std::vector<std::uint32_t> undrawn_rows(std::span<const std::uint32_t> counts) {
    std::vector<std::uint32_t> rows;
    list_undrawn(counts.data(), counts.size(), rows);
    return rows;
}

}  // namespace tw::ensemble
