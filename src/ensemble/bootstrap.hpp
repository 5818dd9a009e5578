// Bootstrap plans: the random choices each tree of a forest needs before it
// grows.
//
// A forest draws all of them from one forest generator, on one thread, tree 0
// first, so the fitted forest does not depend on how many threads grow it.
// Terms used here and by the growth loop (ensemble/grow_loop.hpp):
//  - sample: the positions (rows of the training matrix, repeats allowed)
//    a tree grows on. With bootstrapping they are `draws` draws (`rows`
//    unless set) uniform in [0, rows), with replacement, in draw order;
//    without, 0, 1, ..., rows - 1.
//  - tree seed: the 64-bit value drawn right after a tree's sample. The tree
//    grows with its own generator seed_rng(tree seed), so no two trees share
//    a generator and any thread can grow any tree.
//  - plan: a tree's sample and tree seed. A plan either stores its sample
//    (as 32-bit positions), or keeps only the forest generator as it stood
//    before the sample's draws, and the worker that grows the tree draws the
//    sample again from that copy (replay), which gives the very same
//    positions: no memory per plan, one more pass of draws per tree.
//  - out-of-bag rows: the rows below `oob_rows` that a tree's sample never
//    drew, ascending; listed in the plan when asked for.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/rng.hpp"

namespace tw::ensemble {

struct BootstrapOptions {
    std::size_t rows = 0;      // the draws' range (and positions per sample unless `draws`)
    bool bootstrap = true;     // false: every sample is 0 .. rows-1, nothing drawn
    std::size_t oob_rows = 0;  // list out-of-bag rows among [0, oob_rows); 0 = none
    // Store drawn samples in the plans instead of replaying them; ignored
    // (samples replayed) when positions do not fit 32 bits.
    bool store_samples = false;
    // Positions per bootstrap sample, at least 1; 0 = rows.
    std::size_t draws = 0;

    std::size_t sample_size() const { return bootstrap && draws != 0 ? draws : rows; }
};

struct TreePlan {
    Rng draws;                             // forest generator before the sample's draws
    std::uint64_t seed = 0;                // tree seed
    std::vector<std::uint32_t> oob;        // out-of-bag rows, when the options ask for them
    std::vector<std::uint32_t> positions;  // the stored sample (empty when replayed)
};

class BootstrapPlanner {
public:
    // Plans trees from `forest`, which each plan advances exactly as its
    // sample's draws and the tree seed do. oob_rows must not exceed rows and
    // must fit 32 bits.
    BootstrapPlanner(Rng& forest, const BootstrapOptions& options);

    // The next tree's plan.
    TreePlan next();
    // The plan's sample into `out` (resized to options().sample_size()).
    void sample(const TreePlan& plan, std::vector<std::size_t>& out) const;

    const BootstrapOptions& options() const { return options_; }

private:
    Rng& forest_;
    BootstrapOptions options_;
    bool store_ = false;       // samples stored in the plans
    std::vector<char> drawn_;  // per out-of-bag candidate row: drawn by the current sample
};

// The sample of a plan whose forest generator stood at `draws` before its
// draws, drawn again under `options` (what BootstrapPlanner::sample gives
// for a replayed plan), into `out`.
void replay_sample(const Rng& draws, const BootstrapOptions& options,
                   std::vector<std::size_t>& out);

// Per row below `rows`, how often `sample` drew it (throws InternalError for
// a position out of range).
void count_draws(std::span<const std::size_t> sample, std::size_t rows,
                 std::vector<std::uint32_t>& counts);

// The rows whose count (count_draws) is 0, ascending: the sample's
// out-of-bag rows.
std::vector<std::uint32_t> undrawn_rows(std::span<const std::uint32_t> counts);

}  // namespace tw::ensemble
