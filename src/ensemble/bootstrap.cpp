// Bootstrap planning: a tree's sample is drawn while planning (to advance the
// forest generator, find the out-of-bag rows and store the sample when asked
// to) and otherwise replayed when the tree grows.
#include "ensemble/bootstrap.hpp"

#include <algorithm>
#include <numeric>

#include "core/errors.hpp"

namespace tw::ensemble {

BootstrapPlanner::BootstrapPlanner(Rng& forest, const BootstrapOptions& options)
    : forest_(forest), options_(options) {
    if (options_.oob_rows > options_.rows || options_.oob_rows > 0xFFFFFFFFull) {
        throw InternalError("out-of-bag rows outside the sample range");
    }
    store_ = options_.bootstrap && options_.store_samples && options_.rows <= 0xFFFFFFFFull;
    drawn_.resize(options_.bootstrap ? options_.oob_rows : 0);
}

TreePlan BootstrapPlanner::next() {
    TreePlan plan;
    plan.draws = forest_;
    if (options_.bootstrap) {
        const std::size_t rows = options_.rows;
        const std::size_t candidates = options_.oob_rows;
        if (store_) plan.positions.resize(rows);
        std::uint32_t* stored = store_ ? plan.positions.data() : nullptr;
        char* drawn = drawn_.data();
        std::fill_n(drawn, candidates, 0);
        // A local generator: the byte stores below could alias the state of
        // one reached through a reference, which would then live in memory.
        Rng rng = forest_;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::uint64_t v = gen_range_u64(rng, rows);
            if (stored) stored[i] = static_cast<std::uint32_t>(v);
            if (v < candidates) drawn[v] = 1;
        }
        forest_ = rng;
        for (std::size_t i = 0; i < candidates; ++i) {
            if (!drawn[i]) plan.oob.push_back(static_cast<std::uint32_t>(i));
        }
    }
    // Without bootstrapping every row is in every sample: no out-of-bag rows.
    plan.seed = forest_.next_u64();
    return plan;
}

void BootstrapPlanner::sample(const TreePlan& plan, std::vector<std::size_t>& out) const {
    const std::size_t rows = options_.rows;
    out.resize(rows);
    if (!options_.bootstrap) {
        std::iota(out.begin(), out.end(), std::size_t{0});
        return;
    }
    if (store_) {
        if (plan.positions.size() != rows) throw InternalError("stored sample already released");
        std::copy(plan.positions.begin(), plan.positions.end(), out.begin());
        return;
    }
    Rng replay = plan.draws;
    for (std::size_t i = 0; i < rows; ++i) out[i] = static_cast<std::size_t>(gen_range_u64(replay, rows));
}

}  // namespace tw::ensemble
