// Proximities of the unsupervised forest.
//
// Same-leaf pairs are found by grouping the training rows per leaf instead of
// comparing every pair in every tree, and the number of valid comparisons of
// a pair comes from per-row out-of-bag bitsets:
//   |oob(i) u oob(j)| = |oob(i)| + |oob(j)| - |oob(i) n oob(j)|.
// Counts are integers, so each value count / comparisons is exactly what a
// pair-by-pair accumulation gives. A row of the result is built at a time
// from its own leaf groups, so no n x n counter table exists.
#include <algorithm>
#include <bit>

#include "core/clones.hpp"
#include "core/errors.hpp"
#include "parallel/pool.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

std::vector<double> ProximityRows::to_dense() const {
    std::vector<double> out(rows.size() * width, 0.0);
    for (std::size_t r = 0; r < rows.size(); ++r)
        for_each_nonzero(r, [&](std::size_t j, double v) { out[r * width + j] = v; });
    return out;
}

std::int64_t LeafGroups::find_group(std::size_t t, std::size_t node) const {
    const auto& nodes = leaf_nodes[t];
    auto it = std::lower_bound(nodes.begin(), nodes.end(), node,
                               [](std::uint32_t a, std::size_t b) { return a < b; });
    if (it == nodes.end() || *it != node) return -1;
    return it - nodes.begin();
}

std::shared_ptr<const LeafGroups> RandomForestUnsupervised::leaf_groups() const {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    if (groups_) return groups_;

    auto g = std::make_shared<LeafGroups>();
    const std::size_t n = n_samples_;
    const std::size_t T = trees_.size();
    g->n = n;
    g->trees = T;
    g->words = (T + 63) / 64;
    g->ranges.resize(T * n);
    g->members.resize(T * n);
    g->offsets.resize(T);
    g->leaf_nodes.resize(T);

    g->oob_bits.assign(n * g->words, 0);
    g->oob_count.assign(n, 0);
    for (std::size_t t = 0; t < T; ++t) {
        for (std::uint32_t i : oob_sets_[t]) {
            g->oob_bits[i * g->words + t / 64] |= std::uint64_t{1} << (t % 64);
            ++g->oob_count[i];
        }
    }
    g->oob_ends.resize(T);

    parallel::parallel_for(T, [&](std::size_t t) {
        const Tree& tree = trees_[t];
        std::vector<std::uint32_t> leaf(n);
        std::vector<std::uint32_t> per_node(tree.nodes.size(), 0);
        std::vector<std::uint32_t> oob_per_node(tree.nodes.size(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            leaf[i] = static_cast<std::uint32_t>(tree.leaf_of(train_row(i)));
            ++per_node[leaf[i]];
            if (g->is_oob(i, t)) ++oob_per_node[leaf[i]];
        }
        // Groups in ascending node index; per_node becomes node -> group.
        auto& off = g->offsets[t];
        auto& oob_end = g->oob_ends[t];
        auto& nodes = g->leaf_nodes[t];
        off.push_back(0);
        for (std::size_t node = 0; node < per_node.size(); ++node) {
            if (per_node[node] == 0) continue;
            oob_end.push_back(off.back() + oob_per_node[node]);
            off.push_back(off.back() + per_node[node]);
            per_node[node] = static_cast<std::uint32_t>(nodes.size());
            nodes.push_back(static_cast<std::uint32_t>(node));
        }
        std::vector<std::uint32_t> next_oob(off.begin(), off.end() - 1);
        std::vector<std::uint32_t> next_inbag(oob_end);
        std::uint32_t* members = g->members.data() + t * n;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t gid = per_node[leaf[i]];
            g->ranges[i * T + t] = {off[gid], oob_end[gid], off[gid + 1]};
            auto& next = g->is_oob(i, t) ? next_oob : next_inbag;
            members[next[gid]++] = static_cast<std::uint32_t>(i);
        }
    });

    groups_ = std::move(g);
    return groups_;
}

namespace {

// Number of trees in which both rows are out of bag, with and without the
// popcount instruction (core/clones.hpp).
TW_POPCNT_CLONES
std::uint64_t common_bits(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
    std::uint64_t both = 0;
    for (std::size_t w = 0; w < words; ++w) both += std::popcount(a[w] & b[w]);
    return both;
}

// Integer same-leaf counts of one row.
template <class Count>
struct RowScratchOf {
    std::vector<Count> count;
    std::vector<std::uint32_t> touched;
    explicit RowScratchOf(std::size_t width) : count(width, 0), touched(width) {}

    // Plain increments: a row meets most columns through its many trees, so
    // finding them afterwards by one scan beats tracking first visits.
    void bump(std::span<const std::uint32_t> rows) {
        for (std::uint32_t j : rows) ++count[j];
    }
    // Only the rows from `first` on (parts list their rows ascending).
    void bump_from(std::span<const std::uint32_t> rows, std::uint32_t first) {
        const std::uint32_t* p = rows.data();
        const std::uint32_t* e = p + rows.size();
        if (p == e || e[-1] < first) return;
        if (*p < first) p = std::lower_bound(p, e, first);
        for (; p != e; ++p) ++count[*p];
    }

    // The non-zero columns j >= from as a sparse row, clearing the counts.
    template <class Comparisons>
    ProximityRows::Row take_from(std::size_t from, Comparisons&& comparisons) {
        ProximityRows::Row row;
        const std::size_t k = find_nonzero(from);
        row.cols.assign(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(k));
        row.vals.resize(k);
        emit(k, row.vals.data(), false, comparisons);
        return row;
    }

    // Emits count / comparisons(j) for the non-zero columns (dense when most
    // entries are non-zero) and clears the counts for the next row.
    template <class Comparisons>
    ProximityRows::Row take(Comparisons&& comparisons) {
        ProximityRows::Row row;
        const std::size_t width = count.size();
        const std::size_t k = find_nonzero(0);
        row.dense = k * 3 > width * 2;
        if (row.dense) {
            row.vals.assign(width, 0.0);
        } else {
            row.cols.assign(touched.begin(), touched.begin() + static_cast<std::ptrdiff_t>(k));
            row.vals.resize(k);
        }
        emit(k, row.vals.data(), row.dense, comparisons);
        return row;
    }

private:
    // Lists the non-zero columns j >= from in touched; returns how many.
    std::size_t find_nonzero(std::size_t from) {
        std::size_t k = 0;
        for (std::size_t j = from; j < count.size(); ++j) {
            touched[k] = static_cast<std::uint32_t>(j);
            k += count[j] != 0 ? 1 : 0;
        }
        return k;
    }
    // Values of the k listed columns, by column (dense) or in list order.
    template <class Comparisons>
    void emit(std::size_t k, double* vals, bool dense, Comparisons&& comparisons) {
        for (std::size_t e = 0; e < k; ++e) {
            const std::uint32_t j = touched[e];
            vals[dense ? j : e] = static_cast<double>(count[j]) / comparisons(j);
            count[j] = 0;
        }
    }
};
using RowScratch = RowScratchOf<std::uint32_t>;

std::size_t row_grain(std::size_t n) {
    const std::size_t threads = parallel::pool_size();
    std::size_t grain = n / (threads * 8 + 1);
    return std::clamp<std::size_t>(grain, 1, 256);
}

}  // namespace

ProximityUpper RandomForestUnsupervised::proximity_upper(bool use_oob) const {
    require_fitted();
    const auto groups = leaf_groups();
    const LeafGroups& G = *groups;
    const std::size_t n = n_samples_;
    const std::size_t T = trees_.size();
    const std::size_t words = G.words;

    // Same-leaf counts of row i with rows j >= i. Pairs with both rows in
    // bag are not valid comparisons.
    const auto count_row = [&](auto& s, std::size_t i) {
        const auto first = static_cast<std::uint32_t>(i);
        for (std::size_t t = 0; t < T; ++t) {
            if (t + 4 < T) {
                // Each tree's members lie elsewhere; fetch ahead.
                const LeafGroups::Range& r = G.ranges[i * T + t + 4];
                __builtin_prefetch(G.members.data() + (t + 4) * n + r.begin);
            }
            s.bump_from(G.oob_part(i, t), first);
            if (!use_oob || G.is_oob(i, t)) s.bump_from(G.inbag_part(i, t), first);
        }
    };
    // Valid comparisons: every tree, or the trees in which i or j is out of
    // bag. A pair that met at least once has at least one.
    const auto comparisons_of = [&](std::size_t i) {
        const std::uint64_t* bi = G.oob_bits.data() + i * words;
        const std::uint64_t ci = G.oob_count[i];
        const double all = static_cast<double>(T);
        return [&G, bi, ci, words, use_oob, all](std::uint32_t j) {
            if (!use_oob) return all;
            const std::uint64_t* bj = G.oob_bits.data() + std::size_t{j} * words;
            return static_cast<double>(ci + G.oob_count[j] - common_bits(bi, bj, words));
        };
    };

    // Each pair is counted once, from its lower row (columns j >= i).
    // Counts and comparisons are symmetric, so mirroring gives exactly the
    // values a full count would.
    ProximityUpper out;
    out.width = n;
    out.rows.resize(n);
    // Counts never exceed the number of trees: 16-bit counters when that
    // fits, halving the row's scratch.
    const auto count_rows = [&](auto scratch) {
        parallel::parallel_chunks(n, row_grain(n), [&](std::size_t begin, std::size_t end) {
            decltype(scratch) s(n);
            for (std::size_t i = begin; i < end; ++i) {
                count_row(s, i);
                out.rows[i] = s.take_from(i, comparisons_of(i));
            }
        });
    };
    if (T <= 0xFFFF) {
        count_rows(RowScratchOf<std::uint16_t>(0));
    } else {
        count_rows(RowScratchOf<std::uint32_t>(0));
    }
    return out;
}

ProximityRows RandomForestUnsupervised::proximity_rows(bool use_oob, std::size_t first,
                                                      std::size_t last) const {
    require_fitted();
    if (first > last || last > n_samples_) throw ValueError("rows outside the training rows");
    const auto groups = leaf_groups();
    const LeafGroups& G = *groups;
    const std::size_t n = n_samples_;
    const std::size_t T = trees_.size();
    const std::size_t words = G.words;
    // proximity_upper's counts and comparisons over every column: each pair
    // meets the same trees from either row, so every value is the one the
    // mirrored table holds.
    const auto count_row = [&](auto& s, std::size_t i) {
        for (std::size_t t = 0; t < T; ++t) {
            s.bump(G.oob_part(i, t));
            if (!use_oob || G.is_oob(i, t)) s.bump(G.inbag_part(i, t));
        }
    };
    const auto comparisons_of = [&](std::size_t i) {
        const std::uint64_t* bi = G.oob_bits.data() + i * words;
        const std::uint64_t ci = G.oob_count[i];
        const double all = static_cast<double>(T);
        return [&G, bi, ci, words, use_oob, all](std::uint32_t j) {
            if (!use_oob) return all;
            const std::uint64_t* bj = G.oob_bits.data() + std::size_t{j} * words;
            return static_cast<double>(ci + G.oob_count[j] - common_bits(bi, bj, words));
        };
    };
    const std::size_t m = last - first;
    ProximityRows out;
    out.width = n;
    out.rows.resize(m);
    parallel::parallel_chunks(m, row_grain(m), [&](std::size_t begin, std::size_t end) {
        RowScratch s(n);
        for (std::size_t r = begin; r < end; ++r) {
            count_row(s, first + r);
            out.rows[r] = s.take(comparisons_of(first + r));
        }
    });
    return out;
}

ProximityRows RandomForestUnsupervised::proximity_matrix(bool use_oob) const {
    return proximity_upper(use_oob).full();
}

ProximityRows ProximityUpper::full() const {
    const std::size_t n = rows.size();
    ProximityRows out;
    out.width = width;
    out.rows.resize(n);
    std::vector<std::uint32_t> lower_count(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& cols = rows[i].cols;
        for (std::size_t e = first_above(i); e < cols.size(); ++e) ++lower_count[cols[e]];
    }
    // Rows are completed a block at a time: the block's lower parts come
    // from the upper parts of the rows before it, in ascending row order.
    // Each worker takes a run of consecutive blocks.
    constexpr std::size_t kBlock = 64;
    const std::size_t runs = std::max<std::size_t>(1, std::min(n, parallel::pool_size() * 4));
    const auto complete = [&](std::size_t a, std::size_t b, Lower& lower) {
        std::vector<std::uint32_t> filled(b - a, 0);
        for (std::size_t r = a; r < b; ++r) {
            ProximityRows::Row& row = out.rows[r];
            const std::size_t k = lower_count[r] + rows[r].cols.size();
            if (k * 3 > n * 2) {
                row.dense = true;
                row.vals.assign(n, 0.0);
            } else {
                row.cols.resize(k);
                row.vals.resize(k);
            }
        }
        lower.next(b, [&](std::size_t r, std::size_t i, double v) {
            ProximityRows::Row& row = out.rows[r];
            if (row.dense) {
                row.vals[i] = v;
            } else {
                const std::uint32_t q = filled[r - a]++;
                row.cols[q] = static_cast<std::uint32_t>(i);
                row.vals[q] = v;
            }
        });
        for (std::size_t r = a; r < b; ++r) {
            ProximityRows::Row& row = out.rows[r];
            const auto& up = rows[r];
            if (row.dense) {
                for (std::size_t e = 0; e < up.cols.size(); ++e) row.vals[up.cols[e]] = up.vals[e];
            } else {
                std::copy(up.cols.begin(), up.cols.end(), row.cols.begin() + lower_count[r]);
                std::copy(up.vals.begin(), up.vals.end(), row.vals.begin() + lower_count[r]);
            }
        }
    };
    parallel::parallel_for(runs, [&](std::size_t run) {
        const std::size_t begin = run * n / runs;
        const std::size_t end = (run + 1) * n / runs;
        Lower lower(*this, begin);
        for (std::size_t a = begin; a < end; a += kBlock) complete(a, std::min(end, a + kBlock), lower);
    });
    return out;
}

std::vector<SparseProximityRow> RandomForestUnsupervised::proximity_sparse(
    std::optional<std::uint64_t> k) {
    require_fitted();
    std::vector<SparseProximityRow> result = neighbors(k, 0, n_samples_);
    sparse_cache_ = result;
    return result;
}

std::vector<SparseProximityRow> RandomForestUnsupervised::neighbors(std::optional<std::uint64_t> k,
                                                                   std::size_t first,
                                                                   std::size_t last) const {
    require_fitted();
    if (first > last || last > n_samples_) throw ValueError("rows outside the training rows");
    const std::size_t n = n_samples_;
    const std::size_t T = trees_.size();
    std::uint64_t K = k ? *k : params_.n_neighbors;
    K = std::max<std::uint64_t>(K, 1);
    K = std::min<std::uint64_t>(K, n - 1);
    const std::size_t keep = static_cast<std::size_t>(K);

    const auto groups = leaf_groups();
    const LeafGroups& G = *groups;

    const auto by_value = [](const Neighbor& a, const Neighbor& b) {
        return a.proximity > b.proximity;
    };

    // Each row's list only ever receives the pairs (a, b) of its own leaf
    // group in each tree, so the rows are independent and their update
    // sequences (trees in order, group rows ascending) are fixed whatever the
    // order in which groups are visited.
    const std::size_t m = last - first;
    std::vector<SparseProximityRow> result(m);
    parallel::parallel_chunks(m, row_grain(m), [&](std::size_t begin, std::size_t end) {
        std::vector<std::int64_t> pos(n, -1);
        for (std::size_t a = first + begin; a < first + end; ++a) {
            std::vector<Neighbor>& list = result[a - first].neighbors;
            for (std::size_t t = 0; t < T; ++t) {
                const bool a_oob = G.is_oob(a, t);
                const auto oob = G.oob_part(a, t);
                const auto inbag = G.inbag_part(a, t);
                // Walk the group in ascending row order by merging its two
                // ascending parts; in-bag rows count only when a is out of bag.
                std::size_t p = 0, q = 0;
                while (p < oob.size() || (a_oob && q < inbag.size())) {
                    std::uint32_t b;
                    if (p < oob.size() && (!a_oob || q >= inbag.size() || oob[p] < inbag[q]))
                        b = oob[p++];
                    else
                        b = inbag[q++];
                    if (b == a) continue;
                    if (pos[b] >= 0) {
                        list[static_cast<std::size_t>(pos[b])].proximity += 1.0;
                        continue;
                    }
                    pos[b] = static_cast<std::int64_t>(list.size());
                    list.push_back({b, 1.0});
                    if (list.size() > 2 * keep) {
                        std::stable_sort(list.begin(), list.end(), by_value);
                        for (std::size_t q = keep; q < list.size(); ++q) pos[list[q].index] = -1;
                        list.resize(keep);
                        for (std::size_t q = 0; q < list.size(); ++q)
                            pos[list[q].index] = static_cast<std::int64_t>(q);
                    }
                }
            }
            const double trees = static_cast<double>(T);
            for (Neighbor& e : list) {
                pos[e.index] = -1;
                e.proximity = e.proximity / trees;
            }
            std::stable_sort(list.begin(), list.end(), by_value);
            if (list.size() > keep) list.resize(keep);
            list.shrink_to_fit();
        }
    });
    return result;
}

ProximityRows RandomForestUnsupervised::predict_proximity(const MatrixView& x_new) const {
    require_trees();
    check_new_rows(x_new);
    const auto groups = leaf_groups();
    const LeafGroups& G = *groups;
    const std::size_t n = n_samples_;
    const std::size_t T = trees_.size();
    const std::size_t m = x_new.rows;

    ProximityRows out;
    out.width = n;
    out.rows.resize(m);
    parallel::parallel_chunks(m, row_grain(m), [&](std::size_t begin, std::size_t end) {
        RowScratch s(n);
        const double trees = static_cast<double>(T);
        for (std::size_t l = begin; l < end; ++l) {
            const double* row = x_new.row(l);
            for (std::size_t t = 0; t < T; ++t) {
                const std::int64_t g = G.find_group(t, trees_[t].leaf_of(row));
                if (g < 0) continue;
                s.bump(G.group_rows(t, static_cast<std::uint32_t>(g)));
            }
            out.rows[l] = s.take([&](std::uint32_t) { return trees; });
        }
    });
    return out;
}

}  // namespace tw
