// Leaf samples of a regression forest: for every tree, the training rows that
// reached each of its leaves, which quantile regression forests and the
// out-of-bag prediction intervals read. Terms:
//  rank          a training row's position among the training targets sorted
//                ascending (ties by row number). The store names rows by rank,
//                so a leaf's targets ascend with its entries.
//  entry         one 32-bit word in a leaf's list: the ranks of the rows the
//                tree's sample drew (in-bag), each once per draw, ascending,
//                then the ranks of the rows it never drew (out-of-bag) with
//                kOutOfBag set, ascending. Every training row appears in
//                exactly one leaf of every tree.
//  leaf weight   of an in-bag rank in a leaf: its draws times its sample
//                weight over the total of the leaf's in-bag entries.
//  forest weight of rank i at a row x: the mean, over the trees whose leaf
//                reached by x has a positive total, of the leaf weight of i
//                in that leaf (Meinshausen's quantile regression forest).
//  quantile      at level q, the smallest target y with F(y) >= q, F being
//                the forest weights' cumulative distribution; level 0 gives
//                the smallest target of positive weight.
//  pending tree  a tree of a local fit whose lists are not built yet: the
//                first query, save or warm start builds them from the leaf
//                each row reaches and the tree's draws, counted again from
//                its replayed sample (fits that never ask for quantiles or
//                intervals skip that work). The tree keeps the leaves its
//                growth gave the drawn rows, or none; the rows without one
//                are walked down it then, on the training rows' bin codes
//                the store keeps until every tree is built, unless the fit
//                walked them already.
//  level error   the cumulative sums are rounded floating-point sums of L
//                terms (L in-bag entries gathered), so F(y) is reached when
//                it is within (L + 2) * 2^-52 of q; below that gap the
//                answer is the exact quantile, and otherwise the exact one of
//                a level that close to q.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "tree/tree.hpp"

namespace tw {

struct TreeSamples {
    std::vector<std::uint32_t> begin;    // nodes + 1; node j owns [begin[j], begin[j + 1])
    std::vector<std::uint32_t> entries;  // leaf after leaf (split nodes own none)
};

namespace ensemble {
struct KeptBinnedRows;
}

// The inputs of a pending tree's lists (LeafSamples::of_tree). Its draws
// per row are counted again when the lists are built (DrawCounts), unless
// kept.
struct PendingTreeSamples {
    // Per row its leaf, as far as known: every row's when walked, else the
    // drawn rows' (the others unset until walked), or empty when no row's
    // leaf is known yet (every row is walked).
    std::vector<std::uint32_t> leaf_of_row;
    std::vector<std::uint32_t> draws;  // empty: counted again
    bool walked = false;   // leaf_of_row holds every row's leaf
    bool waiting = false;  // the tree's lists are still to be built
};

// Sets counts[r] to how often tree t's sample drew row r, for every row.
using DrawCounts = std::function<void(std::size_t t, std::vector<std::uint32_t>& counts)>;
struct CodedNode;
// Tree t's coded form on the bin edges of its fit (the prediction copy's,
// tree/packed.hpp), or null when there is none.
using CodedTrees = std::function<const CodedNode*(std::size_t t)>;

// A mutex that copies as a fresh one, so that the store holding it stays
// copyable.
struct BuildLock {
    std::mutex mutex;
    BuildLock() = default;
    BuildLock(const BuildLock&) {}
    BuildLock& operator=(const BuildLock&) { return *this; }
};

struct LeafSamples {
    static constexpr std::uint32_t kOutOfBag = 0x80000000u;
    // Largest training set the store can name (ranks take 31 bits).
    static constexpr std::uint64_t kMaxRows = kOutOfBag - 1;

    std::vector<double> targets;          // by rank, ascending
    std::vector<double> weights;          // by rank; empty when every row weighs 1
    std::vector<std::uint32_t> row_of_rank;
    // Per tree its lists, once built. Readers call build first: the lists
    // of pending trees are built on demand by a logically const store.
    mutable std::vector<TreeSamples> trees;
    // Empty when every tree is built; else one entry per tree, whose inputs
    // are empty once its lists are built.
    mutable std::vector<PendingTreeSamples> pending;
    // The training rows' codes the unwalked pending trees are walked on.
    mutable std::shared_ptr<const ensemble::KeptBinnedRows> pending_rows;

    // Builds the lists of the pending trees of `forest` (the trees these
    // samples belong to), trees in parallel, dropping each tree's inputs as
    // its lists are done: a failure or stop leaves the rest pending. Threads
    // sharing the store may call it together: one builds, the others wait.
    // counts_of gives the draws of the trees that did not keep them;
    // coded_of (when given) the coded forms the walks may take instead of
    // coding the trees again.
    void build(const std::vector<Tree>& forest, const DrawCounts& counts_of,
               const CodedTrees& coded_of = {}) const;
    // Trees still pending.
    std::size_t pending_trees() const;
    // Sets the leaves p's tree lacks, walking the rows on pending_rows: the
    // rows it never drew (draws[r] == 0), or every row when p knows none.
    // coded: null, or the tree's coded form on pending_rows' edges.
    void walk_pending(const Tree& tree, PendingTreeSamples& p, std::span<const std::uint32_t> draws,
                      const CodedNode* coded = nullptr) const;

    std::size_t rows() const { return targets.size(); }
    double weight(std::uint32_t rank) const { return weights.empty() ? 1.0 : weights[rank]; }

    // Targets and weights sorted by rank, the trees left for the caller.
    static LeafSamples ranked(Vec y, std::span<const double> sample_weight);
    // rank_of_row[r] for every row r (the inverse of row_of_rank).
    std::vector<std::uint32_t> rank_of_row() const;
    // Tree `tree`'s entries from the leaf each row reaches and how often its
    // sample drew each row (rows never drawn are out of bag), with this
    // store's row order. rank_of_row (rank_of_row(), or empty) lets trees of
    // small leaves read their rows in row order.
    static TreeSamples of_tree(const Tree& tree, std::span<const std::uint32_t> leaf_of_row,
                               std::span<const std::uint32_t> draws,
                               std::span<const std::uint32_t> row_of_rank,
                               std::span<const std::uint32_t> rank_of_row = {});
    // Throws ValueError (through Reader::fail) unless the store fits `trees`
    // (grown on `rows` rows, tree t from `sample_size[t]` draws): ranks in
    // range, ascending leaf lists at leaves only, each row in one leaf.
    void check(const std::vector<Tree>& trees, std::span<const std::uint64_t> sample_size) const;

    mutable BuildLock lock;
};

// Calls visit(rank, tree, node) for every out-of-bag entry, trees in order,
// then nodes in order, then ranks ascending.
template <class Visit>
void for_each_out_of_bag(const LeafSamples& s, Visit&& visit) {
    for (std::size_t t = 0; t < s.trees.size(); ++t) {
        const TreeSamples& ts = s.trees[t];
        for (std::size_t j = 0; j + 1 < ts.begin.size(); ++j) {
            const std::uint32_t* e = ts.entries.data() + ts.begin[j];
            const std::uint32_t* last = ts.entries.data() + ts.begin[j + 1];
            // In-bag entries lack the mark, so they sort first.
            for (e = std::lower_bound(e, last, LeafSamples::kOutOfBag); e != last; ++e) {
                visit(*e & ~LeafSamples::kOutOfBag, static_cast<std::uint32_t>(t),
                      static_cast<std::uint32_t>(j));
            }
        }
    }
}

// The queries below take `leaves`, the leaf every query row reaches in every
// tree (rows x trees, row-major, as ForestCore::apply gives), and levels or
// alpha already checked: levels in [0, 1], alpha in (0, 1).

// Per query row, the quantiles at `levels` of the forest weights: rows x
// levels, row-major; NaN for a row whose leaves all have zero total weight.
std::vector<double> forest_quantiles(const LeafSamples& samples,
                                     std::span<const std::uint32_t> leaves,
                                     std::span<const double> levels);

// Per training row (in row order), the quantiles at `levels` of the forest
// weights of the trees for which it is out of bag: rows x levels; NaN for
// rows that no tree left out.
std::vector<double> oob_quantiles(const LeafSamples& samples, std::span<const double> levels);

// Jackknife+-after-bootstrap intervals at level 1 - alpha (Kim, Xu and
// Barber 2020) for the query rows: rows x 2 (lower, upper). With n the
// training rows some tree left out, mu_i(x) the mean of the predictions of
// the trees that left row i out (tree order) and R_i = |y_i - mu_i(x_i)|,
// the lower end is the floor(alpha (n + 1))-th smallest of mu_i(x) - R_i
// and the upper end the ceil((1 - alpha)(n + 1))-th smallest of
// mu_i(x) + R_i; both infinite when the first count is below 1. Ends that
// cross (possible for alpha above 1/2) give the point a / 2 + b / 2.
// Throws ValueError when no tree left any row out.
std::vector<double> jackknife_intervals(const std::vector<Tree>& trees,
                                        const LeafSamples& samples,
                                        std::span<const std::uint32_t> leaves, double alpha);

// Conformalised quantile intervals from the out-of-bag rows: with lo and hi
// the quantile forest's quantiles at alpha / 2 and 1 - alpha / 2, every
// training row some tree left out scores max(lo_i - y_i, y_i - hi_i) on
// its out-of-bag quantiles; with Q the ceil((1 - alpha)(n + 1))-th smallest
// score (inf when that exceeds n), each query row gets [lo - Q, hi + Q];
// when a negative Q makes that empty, the point (lo + hi) / 2 (as lo / 2 +
// hi / 2, which cannot overflow).
// Throws ValueError when no tree left any row out.
std::vector<double> quantile_intervals(const LeafSamples& samples,
                                       std::span<const std::uint32_t> leaves, double alpha);

// floor(alpha * count) for alpha in (0, 1), exactly (no rounding of the
// product can cross an integer).
std::uint64_t floor_times(double alpha, std::uint64_t count);

}  // namespace tw
