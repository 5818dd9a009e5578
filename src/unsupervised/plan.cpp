// The random plan of an unsupervised fit. All draws come from the master
// generator in a fixed order on one thread, so the fitted forest does not
// depend on the number of worker threads.
#include <numeric>

#include "unsupervised/unsupervised.hpp"

namespace tw {

std::vector<std::vector<std::size_t>> plan_columns(Rng& master, std::size_t n_rows,
                                                   std::size_t n_features) {
    // Shuffling row indices draws exactly what shuffling the values would.
    std::vector<std::vector<std::size_t>> perms(n_features);
    for (auto& perm : perms) {
        perm.resize(n_rows);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        shuffle(master, std::span<std::size_t>(perm));
    }
    return perms;
}

ensemble::BootstrapOptions tree_plan_options(std::size_t n_rows) {
    // Samples are kept as 32-bit positions until their tree grows (2n fits:
    // fits refuse more than 2^29 rows).
    return ensemble::BootstrapOptions{2 * n_rows, true, n_rows, true};
}

}  // namespace tw
