// Breiman's synthetic-data forest: real rows (class 1) against a copy whose
// columns are permuted independently (class 0), plus the analyses built on
// its out-of-bag bookkeeping: proximities, outlier scores, a classical-MDS
// embedding and permutation importances.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/matrix.hpp"
#include "core/rng.hpp"
#include "ensemble/bootstrap.hpp"
#include "tree/tree.hpp"

namespace tw {

struct UnsupervisedParams {
    std::uint64_t n_estimators = 500;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    std::optional<std::uint64_t> n_jobs;
    std::uint64_t n_neighbors = 0;  // None is kept as 0
};

// The random plan of a fit: every draw it takes from the master generator,
// in this order. First one Fisher-Yates shuffle of row indices per feature,
// in column order: synthetic row i of column j is x[perm[j][i]][j]. Then the
// tree plans (ensemble/bootstrap.hpp) over the combined matrix of 2n rows,
// real rows first: per tree 2n draws below 2n, its out-of-bag rows among the
// real rows, its tree seed.
std::vector<std::vector<std::size_t>> plan_columns(Rng& master, std::size_t n_rows,
                                                   std::size_t n_features);
ensemble::BootstrapOptions tree_plan_options(std::size_t n_rows);

// Rows of a proximity table that is `width` columns wide. A row keeps either
// its non-zero entries in ascending column order, or all `width` values when
// most of them are non-zero. Entries not kept are exactly 0.0.
struct ProximityRows {
    struct Row {
        bool dense = false;
        std::vector<std::uint32_t> cols;  // sparse rows only
        std::vector<double> vals;         // non-zero values, or all values when dense
    };
    std::size_t width = 0;
    std::vector<Row> rows;

    // Calls f(column, value) for every non-zero entry of row r in column order.
    template <class F>
    void for_each_nonzero(std::size_t r, F&& f) const {
        const Row& row = rows[r];
        if (row.dense) {
            for (std::size_t j = 0; j < row.vals.size(); ++j)
                if (row.vals[j] != 0.0) f(j, row.vals[j]);
        } else {
            for (std::size_t k = 0; k < row.cols.size(); ++k) f(row.cols[k], row.vals[k]);
        }
    }
    std::vector<double> to_dense() const;  // rows.size() * width, row-major
};

// A symmetric proximity table by its upper triangle: row i lists its non-zero
// entries in columns j >= i, ascending. full() mirrors it into all rows.
struct ProximityUpper {
    std::size_t width = 0;
    std::vector<ProximityRows::Row> rows;  // sparse rows

    ProximityRows full() const;
    // Position of row i's first entry right of the diagonal.
    std::size_t first_above(std::size_t i) const {
        const auto& cols = rows[i].cols;
        return !cols.empty() && cols[0] == i ? 1 : 0;
    }

    // Mirror images of the entries, for consecutive blocks of rows: each
    // call to next(b, f) calls f(row, column, value) for the non-zero cells
    // of rows [a, b) below the diagonal (a = the previous call's b, or the
    // starting row), in ascending column order per row. Each source row
    // keeps its position, so its entries are scanned once over all blocks.
    class Lower {
    public:
        Lower(const ProximityUpper& t, std::size_t start) : t_(t), pos_(start) {
            // Row i's entries of columns >= start (> i) begin at pos_[i].
            for (std::size_t i = 0; i < start; ++i) {
                const auto& cols = t.rows[i].cols;
                pos_[i] = static_cast<std::uint32_t>(
                    std::lower_bound(cols.begin(), cols.end(), static_cast<std::uint32_t>(start)) -
                    cols.begin());
            }
        }
        template <class F>
        void next(std::size_t b, F&& f) {
            // Source rows at or past the block start join as they come in.
            while (pos_.size() + 1 < b) {
                pos_.push_back(static_cast<std::uint32_t>(t_.first_above(pos_.size())));
            }
            for (std::size_t i = 0; i + 1 < b; ++i) {
                const auto& cols = t_.rows[i].cols;
                const auto& vals = t_.rows[i].vals;
                std::size_t e = pos_[i];
                for (; e < cols.size() && cols[e] < b; ++e) f(std::size_t{cols[e]}, i, vals[e]);
                pos_[i] = static_cast<std::uint32_t>(e);
            }
        }

    private:
        const ProximityUpper& t_;
        std::vector<std::uint32_t> pos_;
    };
};

struct Neighbor {
    std::uint64_t index;
    double proximity;
};
struct SparseProximityRow {
    std::vector<Neighbor> neighbors;  // by proximity, high to low
};

// Allocator whose value-less construction leaves elements uninitialised, for
// large tables that are written in full in parallel right away (their pages
// are then first touched by the workers instead of cleared on the calling
// thread).
template <class T>
struct UninitAllocator : std::allocator<T> {
    using value_type = T;
    UninitAllocator() = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Training rows grouped by the leaf they reach, per tree, plus each row's
// out-of-bag trees as a bitset. Leaf identity is the (tree, node index) pair
// of the flat tree, so it stays unique at any depth; groups of a tree are
// numbered in ascending node index. A group lists its rows that are out of
// bag for the tree first, then the others, each part in ascending order.
struct LeafGroups {
    std::size_t n = 0;       // training rows
    std::size_t trees = 0;
    std::size_t words = 0;   // 64-bit words per row bitset
    // [i * trees + t]: the part of tree t's member list holding row i's group:
    // [begin, oob_end) are its out-of-bag rows, [oob_end, end) the others.
    struct Range {
        std::uint32_t begin, oob_end, end;
    };
    std::vector<Range, UninitAllocator<Range>> ranges;
    std::vector<std::uint32_t, UninitAllocator<std::uint32_t>> members;  // [t * n + k]: rows of tree t ordered by group
    std::vector<std::vector<std::uint32_t>> offsets;     // per tree: groups + 1 bounds
    std::vector<std::vector<std::uint32_t>> oob_ends;    // per tree: end of each group's oob part
    std::vector<std::vector<std::uint32_t>> leaf_nodes;  // per tree: node index of each group
    std::vector<std::uint64_t> oob_bits;   // [i * words + t / 64]
    std::vector<std::uint32_t> oob_count;  // per row: trees in which it is out of bag

    std::span<const std::uint32_t> oob_part(std::size_t i, std::size_t t) const {
        const Range& r = ranges[i * trees + t];
        return {members.data() + t * n + r.begin, r.oob_end - r.begin};
    }
    std::span<const std::uint32_t> inbag_part(std::size_t i, std::size_t t) const {
        const Range& r = ranges[i * trees + t];
        return {members.data() + t * n + r.oob_end, r.end - r.oob_end};
    }
    std::span<const std::uint32_t> group_rows(std::size_t t, std::uint32_t g) const {
        const auto& off = offsets[t];
        return {members.data() + t * n + off[g], off[g + 1] - off[g]};
    }
    std::span<const std::uint32_t> group_oob_rows(std::size_t t, std::uint32_t g) const {
        const auto& off = offsets[t];
        return {members.data() + t * n + off[g], oob_ends[t][g] - off[g]};
    }
    std::span<const std::uint32_t> group_inbag_rows(std::size_t t, std::uint32_t g) const {
        const auto& off = offsets[t];
        return {members.data() + t * n + oob_ends[t][g], off[g + 1] - oob_ends[t][g]};
    }
    bool is_oob(std::size_t i, std::size_t t) const {
        return (oob_bits[i * words + t / 64] >> (t % 64)) & 1u;
    }
    // Group of tree t whose leaf is `node`, or -1 when no training row reaches it.
    std::int64_t find_group(std::size_t t, std::size_t node) const;
};

class RandomForestUnsupervised {
public:
    // Requests the worker-pool size when n_jobs is given and not 0.
    explicit RandomForestUnsupervised(UnsupervisedParams params);

    // Rejects empty matrices and NaN with ValueError before anything changes.
    void fit(const MatrixView& x);

    const UnsupervisedParams& params() const { return params_; }
    bool is_fitted() const { return is_fitted_; }
    std::size_t n_samples() const { return n_samples_; }
    std::size_t n_features() const;  // throws when not fitted
    const std::vector<Tree>& trees() const { return trees_; }
    const std::vector<std::vector<std::uint32_t>>& oob_sets() const { return oob_sets_; }
    const std::optional<std::vector<SparseProximityRow>>& sparse_cache() const {
        return sparse_cache_;
    }

    ProximityRows proximity_matrix(bool use_oob) const;
    // The same table by its upper triangle (each pair counted once).
    ProximityUpper proximity_upper(bool use_oob) const;
    std::vector<SparseProximityRow> proximity_sparse(std::optional<std::uint64_t> k);
    // Training rows [first, last) of proximity_matrix(use_oob) (all columns)
    // and of proximity_sparse(k) (which they leave uncached): the same values,
    // computed for those rows only, so row blocks can be computed apart.
    ProximityRows proximity_rows(bool use_oob, std::size_t first, std::size_t last) const;
    std::vector<SparseProximityRow> neighbors(std::optional<std::uint64_t> k, std::size_t first,
                                              std::size_t last) const;
    ProximityRows predict_proximity(const MatrixView& x_new) const;

    std::vector<double> outlier_scores(bool use_sparse) const;
    std::vector<double> predict_outlier_scores(const MatrixView& x_new) const;

    // n * n_components coordinates, row-major.
    std::vector<double> transform(std::size_t n_components) const;

    std::vector<double> feature_importances() const;

    // Planned forests grown in batches (unsupervised/batches.cpp; terms as in
    // random_forest/batches.hpp): the plan of a fit on rows x cols data, the
    // binned combined matrix of a plan from the real rows' bins (feature
    // after feature, with edges binned as the combined matrix's), the saved
    // batch of trees [first, end) grown on it, and the installation of a
    // plan's batches with the training rows x, which equals fit(x).
    std::string plan_batches(std::size_t rows, std::size_t cols) const;
    static std::vector<std::uint8_t> combined_bins(std::string_view plan,
                                                   std::span<const std::uint8_t> real_bins);
    std::string grow_batch(std::string_view plan, std::span<const std::uint8_t> combined_bins,
                           const std::vector<std::vector<double>>& edges, std::size_t first,
                           std::size_t end) const;
    void merge_batches(std::string_view plan, std::span<const std::string_view> batches,
                       const MatrixView& x);

    // Saved state (parameters, forest, out-of-bag sets, training copy and the
    // sparse cache) for pickling; load validates it fully and throws
    // ValueError on a corrupted or foreign state. Loading makes no
    // worker-pool request.
    std::string save() const;
    static std::unique_ptr<RandomForestUnsupervised> load(std::string_view state);

private:
    // The fit's checks of the training rows, and the installation of a
    // finished fit.
    void check_training_rows(const MatrixView& x) const;
    void install(const MatrixView& x, std::vector<Tree> trees,
                 std::vector<std::vector<std::uint32_t>> oob_sets);
    void require_fitted() const;
    void require_trees() const;
    void check_new_rows(const MatrixView& x_new) const;
    const double* train_row(std::size_t i) const { return training_.data() + i * n_features_; }
    std::shared_ptr<const LeafGroups> leaf_groups() const;
    std::vector<double> raw_outlier_measures(bool use_sparse) const;

    UnsupervisedParams params_;
    std::vector<Tree> trees_;
    std::vector<std::vector<std::uint32_t>> oob_sets_;
    std::optional<std::vector<SparseProximityRow>> sparse_cache_;
    std::vector<double> training_;  // n_samples_ * n_features_, row-major
    std::size_t n_samples_ = 0;
    std::size_t n_features_ = 0;
    std::uint64_t columns_read_ = 0;  // 1 + the largest feature any split tests
    bool is_fitted_ = false;

    // Leaf groups of the training rows, built on first use after each fit.
    mutable std::mutex groups_mutex_;
    mutable std::shared_ptr<const LeafGroups> groups_;
};

// Centre (upper median), capped mean deviation and scores of a list of raw
// outlier measures; exposed for reuse and testing.
struct OutlierScale {
    double centre = 0.0;
    double spread = 1.0;
};
OutlierScale outlier_scale(std::span<const double> values);
double outlier_score(double value, const OutlierScale& scale);

}  // namespace tw
