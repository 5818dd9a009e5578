#include "boosting/early_stop.hpp"

#include <algorithm>
#include <numeric>

#include "boosting/config.hpp"

namespace tw::boosting {

HeldSplit split_held(std::size_t n, double fraction, Rng& rng,
                     std::span<const std::uint64_t> classes) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    shuffle(rng, std::span<std::size_t>(order));
    HeldSplit out;
    if (classes.empty()) {
        const std::size_t held =
            std::min<std::size_t>(trunc_to_count(fraction * static_cast<double>(n)), n);
        out.fit.assign(order.begin(), order.end() - static_cast<std::ptrdiff_t>(held));
        out.held.assign(order.end() - static_cast<std::ptrdiff_t>(held), order.end());
        return out;
    }
    const std::uint64_t k = *std::max_element(classes.begin(), classes.end()) + 1;
    std::vector<std::size_t> count(k, 0), quota(k, 0);
    for (std::size_t i = 0; i < n; ++i) ++count[classes[i]];
    for (std::size_t c = 0; c < k; ++c) {
        quota[c] = trunc_to_count(fraction * static_cast<double>(count[c]));
        if (quota[c] >= count[c] && count[c] > 0) quota[c] = count[c] - 1;
    }
    // The first quota[c] rows of class c in shuffled order are held.
    for (const std::size_t i : order) {
        std::size_t& q = quota[classes[i]];
        if (q > 0) {
            --q;
            out.held.push_back(i);
        } else {
            out.fit.push_back(i);
        }
    }
    return out;
}

std::vector<double> gather(Vec v, std::span<const std::size_t> which) {
    std::vector<double> out(which.size());
    for (std::size_t i = 0; i < which.size(); ++i) out[i] = v[which[i]];
    return out;
}

}  // namespace tw::boosting
