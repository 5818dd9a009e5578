// The random plan of an unsupervised fit. All draws come from the master
// generator on the calling thread, in a fixed order, before any tree grows, so
// the fitted forest does not depend on the number of worker threads.
#include <numeric>

#include "unsupervised/unsupervised.hpp"

namespace tw {

UnsupervisedPlan plan_columns(Rng& master, std::size_t n_rows, std::size_t n_features,
                              std::size_t n_trees) {
    UnsupervisedPlan plan;
    plan.bootstraps.resize(n_trees);
    plan.oob_rows.resize(n_trees);
    plan.tree_seeds.resize(n_trees);
    // One Fisher-Yates shuffle per column, in column order. Shuffling row
    // indices draws exactly what shuffling the values would.
    plan.column_perms.resize(n_features);
    for (std::size_t j = 0; j < n_features; ++j) {
        auto& perm = plan.column_perms[j];
        perm.resize(n_rows);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(master, std::span<std::size_t>(perm));
    }
    return plan;
}

void plan_tree(Rng& master, UnsupervisedPlan& plan, std::size_t t, std::size_t n_rows,
               std::vector<char>& drawn) {
    // 2n draws over real and synthetic rows alike, then the tree seed.
    const std::size_t total = 2 * n_rows;
    auto& boot = plan.bootstraps[t];
    boot.resize(total);
    std::fill(drawn.begin(), drawn.end(), 0);
    std::size_t k = 0;
    gen_ranges_u64(master, total, total, [&](std::uint64_t v) {
        const auto idx = static_cast<std::uint32_t>(v);
        boot[k++] = idx;
        if (idx < n_rows) drawn[idx] = 1;
    });
    auto& oob = plan.oob_rows[t];
    oob.clear();
    for (std::size_t i = 0; i < n_rows; ++i)
        if (!drawn[i]) oob.push_back(static_cast<std::uint32_t>(i));
    plan.tree_seeds[t] = master.next_u64();
}

UnsupervisedPlan plan_unsupervised(Rng& master, std::size_t n_rows, std::size_t n_features,
                                   std::size_t n_trees) {
    UnsupervisedPlan plan = plan_columns(master, n_rows, n_features, n_trees);
    std::vector<char> drawn(n_rows);
    for (std::size_t t = 0; t < n_trees; ++t) plan_tree(master, plan, t, n_rows, drawn);
    return plan;
}

}  // namespace tw
