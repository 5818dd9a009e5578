// The random plan of an unsupervised fit. All draws come from the master
// generator on the calling thread, in a fixed order, before any tree grows, so
// the fitted forest does not depend on the number of worker threads.
#include <numeric>

#include "unsupervised/unsupervised.hpp"

namespace tw {

UnsupervisedPlan plan_unsupervised(Rng& master, std::size_t n_rows, std::size_t n_features,
                                   std::size_t n_trees) {
    UnsupervisedPlan plan;

    // Synthetic columns: one Fisher-Yates shuffle per column, in column order.
    // Shuffling row indices draws exactly what shuffling the values would.
    plan.column_perms.resize(n_features);
    for (std::size_t j = 0; j < n_features; ++j) {
        auto& perm = plan.column_perms[j];
        perm.resize(n_rows);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(master, std::span<std::size_t>(perm));
    }

    // Per tree: 2n bootstrap draws over real and synthetic rows alike, then
    // the tree seed.
    const std::size_t total = 2 * n_rows;
    plan.bootstraps.resize(n_trees);
    plan.oob_rows.resize(n_trees);
    plan.tree_seeds.resize(n_trees);
    std::vector<char> drawn(n_rows);
    for (std::size_t t = 0; t < n_trees; ++t) {
        auto& boot = plan.bootstraps[t];
        boot.resize(total);
        std::fill(drawn.begin(), drawn.end(), 0);
        for (std::size_t k = 0; k < total; ++k) {
            const auto idx = static_cast<std::uint32_t>(gen_range_u64(master, total));
            boot[k] = idx;
            if (idx < n_rows) drawn[idx] = 1;
        }
        auto& oob = plan.oob_rows[t];
        for (std::size_t i = 0; i < n_rows; ++i)
            if (!drawn[i]) oob.push_back(static_cast<std::uint32_t>(i));
        plan.tree_seeds[t] = master.next_u64();
    }
    return plan;
}

}  // namespace tw
