// The random plan of an unsupervised fit. All draws come from the master
// generator on the calling thread, in a fixed order, before any tree grows, so
// the fitted forest does not depend on the number of worker threads.
#include <numeric>

#include "unsupervised/unsupervised.hpp"

namespace tw {

void plan_columns(Rng& master, UnsupervisedPlan& plan, std::size_t n_rows, std::size_t n_features) {
    // One Fisher-Yates shuffle per column, in column order. Shuffling row
    // indices draws exactly what shuffling the values would.
    plan.column_perms.resize(n_features);
    for (std::size_t j = 0; j < n_features; ++j) {
        auto& perm = plan.column_perms[j];
        perm.resize(n_rows);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(master, std::span<std::size_t>(perm));
    }
}

void plan_tree(Rng& master, UnsupervisedPlan& plan, std::size_t t, std::size_t n_rows,
               std::vector<char>& drawn) {
    // 2n draws over real and synthetic rows alike, then the tree seed. The
    // generator's outputs are produced in batches; an output the range draw
    // rejects is skipped, exactly as drawing one at a time would.
    const std::size_t total = 2 * n_rows;
    const std::uint64_t zone = (static_cast<std::uint64_t>(total) << __builtin_clzll(total)) - 1;
    auto& boot = plan.bootstraps[t];
    boot.resize(total);
    std::fill(drawn.begin(), drawn.end(), 0);
    constexpr std::size_t kBatch = 256;
    std::uint64_t out[kBatch];
    std::size_t k = 0;
    while (k < total) {
        const std::size_t batch = std::min(kBatch, total - k);
        master.fill_u64(out, batch);
        for (std::size_t b = 0; b < batch; ++b) {
            const unsigned __int128 prod = static_cast<unsigned __int128>(out[b]) * total;
            if (static_cast<std::uint64_t>(prod) > zone) continue;
            const auto idx = static_cast<std::uint32_t>(prod >> 64);
            boot[k++] = idx;
            if (idx < n_rows) drawn[idx] = 1;
        }
    }
    auto& oob = plan.oob_rows[t];
    oob.clear();
    for (std::size_t i = 0; i < n_rows; ++i)
        if (!drawn[i]) oob.push_back(static_cast<std::uint32_t>(i));
    plan.tree_seeds[t] = master.next_u64();
}

UnsupervisedPlan plan_unsupervised(Rng& master, std::size_t n_rows, std::size_t n_features,
                                   std::size_t n_trees) {
    UnsupervisedPlan plan;
    plan_columns(master, plan, n_rows, n_features);
    plan.bootstraps.resize(n_trees);
    plan.oob_rows.resize(n_trees);
    plan.tree_seeds.resize(n_trees);
    std::vector<char> drawn(n_rows);
    for (std::size_t t = 0; t < n_trees; ++t) plan_tree(master, plan, t, n_rows, drawn);
    return plan;
}

}  // namespace tw
