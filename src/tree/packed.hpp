// Prediction copies of a forest's trees.
//
// The fitted trees keep everything growth and the saved state need (48-byte
// nodes with sample counts and class-weight ranges). Prediction only routes
// rows, so the forest is also kept in a compact form built once per fit or
// load, whose nodes descend with lane walks (tree/walk.hpp). In pre-order the
// left child of node i is i + 1, so a node needs only its test and its right
// child; a leaf is its own right child and its test always fails, so a row
// that reaches a leaf stays there. That lets several rows descend a tree
// together without per-row exit branches.
//
// Coded form: a forest tests at most a few hundred distinct thresholds per
// feature (histogram trees test bin edges only). With the feature's distinct
// thresholds sorted, T[0] < T[1] < ..., a value v satisfies v <= T[k] exactly
// when the number of thresholds below v is at most k, so each row is first
// replaced by one byte per feature (its code: that count; NaN counts above
// all) and a node compares bytes. Rows shrink from 8 to 1 byte per feature and
// nodes to 8 bytes, so a block of rows and a tree stay in cache while the
// block descends it. A forest with more distinct thresholds per feature, or
// more features than a node can name, uses the direct form (PackedNode),
// which compares the doubles themselves. Both reach the same leaves. Both
// send every missing value (NaN) right: in a forest with a split that sends
// missing values left, a block of rows holding a missing value walks the
// fitted trees themselves (which the caller passes) instead.
//
// Category form: a forest with category-set splits keeps every tree in the
// category-aware direct form (CategoryNode), whose sets are the forest's own
// copies, and walks every row through it (missing values included).
//
// Leaf payloads are precomputed: the leaf value (regression), or the list of
// (class, share of the leaf weight) for the classes that have a probability
// column (classification). Each share is the same quotient the plain leaf
// lookup computes, and every row adds its leaves tree by tree in tree order,
// so results are bit-identical to walking the fitted trees.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "core/matrix.hpp"
#include "tree/tree.hpp"
#include "tree/walk.hpp"

namespace tw {

// Storage of the per-node arrays, which are sized and then written in full
// by parallel loops: sizing leaves the (trivial) elements unwritten, so no
// thread zeroes memory that another fills, and each one first touches the
// pages of its own trees.
template <class T>
struct UnsetAllocator : std::allocator<T> {
    static_assert(std::is_trivially_default_constructible_v<T>);
    template <class U>
    struct rebind {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <class U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(static_cast<A&&>(a)...);
    }
};
template <class T>
using NodeArray = std::vector<T, UnsetAllocator<T>>;

// Coded form: go left when the row's code of `feature` is <= rank; a leaf has
// a negative rank (-1, or -2 - class for a classification leaf that gives all
// of its weight to one class) and feature 0. Rows are read as their codes.
struct CodedNode {
    std::int16_t rank;
    std::uint16_t feature;
    std::uint32_t right;

    // Rows of byte codes, or of two-byte ones (histograms of more than 256
    // bins a feature).
    template <class Code>
        requires(std::is_same_v<Code, std::uint8_t> || std::is_same_v<Code, std::uint16_t>)
    std::uint32_t next(const Code* row, std::uint32_t self) const {
        std::uint32_t to = right;
        const std::int32_t r = rank;
        const std::int32_t code = row[feature];
#if defined(__x86_64__)
        __asm__("cmpl %[code], %[rank]\n\tcmovge %[left], %[to]"
                : [to] "+r"(to)
                : [code] "r"(code), [rank] "r"(r), [left] "r"(self + 1)
                : "cc");
#else
        const std::uint32_t mask = 0u - static_cast<std::uint32_t>(code <= r);
        to ^= (to ^ (self + 1)) & mask;
#endif
        return to;
    }
};
// Most a coded node's rank can be: codes read from bytes stop at 255, two-
// byte codes at what the rank's 16 signed bits hold.
constexpr std::size_t kByteRanks = 255;
// How many of a feature's edges serve as thresholds of the coded form: the
// ascending run they start with (the missing bin repeats the last edge,
// +inf), at most 255 of them.
std::size_t usable_edges(const std::vector<double>& e);
constexpr std::size_t kWideRanks = 32767;

// The coded form of one tree whose thresholds are bin edges (edges[f]
// ascending, as a histogram's): a split on edge b
// of feature f gets rank b, so rows read as their bin numbers reach the
// leaves their values reach. False (out unusable) when a threshold is not
// an edge, a feature does not fit 16 bits, a left child does not follow
// its parent, or a split sends missing values left on a column whose rows
// may hold them: coded rows read a missing value as the last bin, which
// goes right. `nan_free[f]` (when given) says that no walked row misses
// feature f, so its splits' missing sides do not matter. `ranks[i]` (when
// given and not negative) is node i's edge rank as its grower knew it,
// taken once checked against the threshold instead of searched. Ranks
// above max_rank (kByteRanks for rows of byte codes, kWideRanks for rows of
// two-byte ones) fail too.
bool binned_form(const Tree& tree, std::span<const std::vector<double>> edges,
                 std::vector<CodedNode>& out, std::span<const std::uint8_t> nan_free = {},
                 std::span<const std::int16_t> ranks = {}, std::size_t max_rank = kByteRanks);

// The category form's nodes and the sets they point at; a copy points its
// nodes at its own sets.
struct CategoryForm {
    std::vector<CategoryNode> nodes;
    std::vector<CategorySet> sets;

    CategoryForm() = default;
    CategoryForm(const CategoryForm& other) : nodes(other.nodes), sets(other.sets) { rebase(other); }
    CategoryForm& operator=(const CategoryForm& other) {
        if (this != &other) {
            nodes = other.nodes;
            sets = other.sets;
            rebase(other);
        }
        return *this;
    }
    CategoryForm(CategoryForm&&) noexcept = default;
    CategoryForm& operator=(CategoryForm&&) noexcept = default;

private:
    void rebase(const CategoryForm& other) {
        for (CategoryNode& n : nodes) {
            if (n.set != nullptr) n.set = sets.data()->data() + (n.set - other.sets.data()->data());
        }
    }
};

// Number of entries of the ascending list c[0..n) below v (n >= 1, v not
// NaN): a lower bound without branches on the data.
inline std::size_t below_count(const double* c, std::size_t n, double v) {
    std::size_t base = 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        base += static_cast<std::size_t>(c[base + half - 1] < v) * half;
        n -= half;
    }
    return base + static_cast<std::size_t>(c[base] < v);
}

class PackedForest {
public:
    // A class's share of a leaf's weight (classification payloads).
    struct Share {
        std::uint64_t cls;
        double share;
    };
    // What packing reads from one tree alone: its layout checked, whether
    // some split sends missing values left and, when the tree can take the
    // coded form, its distinct thresholds per feature in the order met with
    // each split node's index among them. A fit surveys each tree as soon
    // as it is grown, while its nodes are still in cache, and hands the
    // surveys to the pack, which takes the others itself.
    //
    // A tree grown on a histogram can instead be coded at once against all
    // of its features' bin edges (on_edges): its coded nodes, and the leaf
    // values or shares of its pack, are then built while it is in cache,
    // and a pack whose trees all come so takes every feature's edges as
    // its thresholds and these nodes as they are.
    struct TreeSurvey {
        bool done = false;  // taken; the pack surveys the tree otherwise
        bool missing_left = false;
        bool coded = false;  // values and index hold the tree's thresholds
        std::vector<std::vector<double>> values;  // per feature, as met
        std::vector<std::uint8_t> index;           // per node (split nodes)
        bool on_edges = false;  // nodes (and leaf_values) hold the tree coded on edges
        NodeArray<CodedNode> nodes;
        NodeArray<double> leaf_values;
        // On edges, for a classification pack over share_classes columns
        // (0: not taken): the leaves' shares as the pack keeps them (its
        // pure leaves already ranked in nodes).
        std::size_t share_classes = 0;
        NodeArray<std::uint32_t> share_begin;
        std::vector<Share> shares;
    };
    // Throws InternalError unless the nodes are in pre-order. allow_coded
    // as the pack will be given. ranks: empty, or per node its edge rank as
    // the grower knew it among edges[feature] (negative for leaves and
    // splits on no edge); a tree whose every split has a byte rank that
    // matches its threshold is surveyed through its ranks (the same survey).
    static TreeSurvey survey(const Tree& tree, bool allow_coded = true,
                             std::span<const std::int16_t> ranks = {},
                             std::span<const std::vector<double>> edges = {});
    // The tree coded on the edges (ranks as for survey; with values, its
    // leaf values too, and with n_classes its leaves' shares over that many
    // columns) when every feature has at most 255 edges and every split
    // tests one of them, else survey(tree, true, ranks, edges).
    static TreeSurvey survey_on_edges(const Tree& tree, std::span<const std::int16_t> ranks,
                                      std::span<const std::vector<double>> edges, bool values,
                                      std::size_t n_classes = 0);

    PackedForest() = default;
    // Regression payloads (leaf values). allow_coded = false keeps the
    // direct form whatever the thresholds. surveys: empty, or one per tree
    // (TreeSurvey::done where taken); edges: the bin edges the surveys on
    // edges were taken on.
    static PackedForest values(const std::vector<Tree>& trees, bool allow_coded = true,
                               std::vector<TreeSurvey> surveys = {},
                               std::span<const std::vector<double>> edges = {});
    // Classification payloads over n_classes probability columns.
    static PackedForest shares(const std::vector<Tree>& trees, std::size_t n_classes,
                               bool allow_coded = true, std::vector<TreeSurvey> surveys = {},
                               std::span<const std::vector<double>> edges = {});

    std::size_t n_trees() const { return tree_begin_.empty() ? 0 : tree_begin_.size() - 1; }
    // Mean bytes a row block reads per tree (nodes and leaf payloads).
    std::size_t bytes_per_tree() const {
        if (n_trees() == 0) return 0;
        const std::size_t bytes = (coded_ ? tree_begin_.back() * sizeof(CodedNode) : 0) +
                                  nodes_.size() * sizeof(PackedNode) +
                                  category_.nodes.size() * sizeof(CategoryNode) +
                                  (value_.empty() ? 0 : tree_begin_.back() * 8) +
                                  dense_.size() * 8 + share_bytes();
        return bytes / n_trees();
    }
    bool coded() const { return coded_; }
    // Coded form on the bin edges the trees grew on (TreeSurvey::on_edges):
    // a row's codes are then its bin numbers.
    bool coded_on_edges() const { return on_edges_; }
    // Some split of the forest sends missing values left.
    bool missing_left() const { return missing_; }

    // Coded form only: the nodes of tree t (tree-local indices, root first),
    // and the codes of rows[k] of x for k in order, code_width() bytes each.
    const CodedNode* coded_tree(std::size_t t) const {
        return coded_nodes_.at(t).data();
    }
    std::size_t code_width() const { return n_cols_; }
    void encode_listed(const MatrixView& x, std::span<const std::uint32_t> rows,
                       std::vector<std::uint8_t>& codes) const;

    // acc[r - begin] += leaf value of row r, tree by tree in tree order, for
    // rows [begin, end) of x. x must be wide enough for every tree; trees
    // are the ones the forest was packed from.
    void add_values(const MatrixView& x, std::size_t begin, std::size_t end,
                    std::span<const Tree> trees, double* acc) const;
    // acc[(r - begin) * n_classes + c] += the leaf's share of class c, tree by
    // tree in tree order.
    void add_shares(const MatrixView& x, std::size_t begin, std::size_t end,
                    std::span<const Tree> trees, double* acc) const;
    // Means of consecutive groups of trees (the forests of boosting rounds):
    // group g holds trees group_end[g - 1] .. group_end[g] - 1 (group_end
    // ascending, the last entry n_trees()). For rows [begin, end) of x and
    // each group in order, the group's leaf values are summed in tree order
    // and scale * (sum / group size) is added to
    // out[(r - begin) * outputs + g % outputs] (an empty group adds NaN).
    void add_group_means(const MatrixView& x, std::size_t begin, std::size_t end,
                         std::span<const std::size_t> group_end, double scale,
                         std::size_t outputs, std::span<const Tree> trees, double* out) const;

private:
    // Lays out the nodes; with values, the coded form also takes the leaf
    // values in the same pass (value_ stays empty otherwise).
    // n_classes: the columns of a classification pack (0 with values).
    void pack(const std::vector<Tree>& trees, bool allow_coded, bool values, std::size_t n_classes,
              std::vector<TreeSurvey> surveys, std::span<const std::vector<double>> edges);
    // The coded form of trees all surveyed on `edges` (with their leaf
    // shares when all took them over n_classes columns); false (nothing
    // changed) when the edges cannot serve as the thresholds.
    bool take_on_edges(const std::vector<Tree>& trees, bool values, std::size_t n_classes,
                       std::vector<TreeSurvey>& surveys, std::span<const std::vector<double>> edges);
    // One tree's leaf shares over n_classes columns as the pack keeps them:
    // with coded nodes, a leaf whose distribution is exactly 1.0 for one
    // class (other columns zero) carries that class in its rank, -2 -
    // class, so that prediction adds 1.0 without reading the share lists;
    // the other leaves list their entries, begin[i] .. begin[i + 1] - 1 for
    // node i.
    static void tree_shares(const Tree& tree, std::size_t n_classes, CodedNode* coded,
                            NodeArray<std::uint32_t>& begin, std::vector<Share>& out);
    std::size_t share_bytes() const {
        std::size_t bytes = 0;
        for (std::size_t t = 0; t < shares_.size(); ++t) {
            bytes += shares_[t].size() * sizeof(Share) + share_begin_[t].size() * 4;
        }
        return bytes;
    }
    template <class T, class Make>
    void per_node(const std::vector<Tree>& trees, NodeArray<T>& out, Make&& make) const;
    void encode(const MatrixView& x, std::size_t begin, std::size_t end,
                std::vector<std::uint8_t>& codes) const;
    template <class RowAt>
    void encode_rows(std::size_t count, RowAt&& row_at, std::vector<std::uint8_t>& codes) const;
    template <class Emit>
    void walk(const MatrixView& x, std::size_t begin, std::size_t end,
              std::span<const Tree> trees, Emit&& emit) const;

    bool coded_ = false;
    bool on_edges_ = false;
    bool missing_ = false;  // some split sends missing values left
    std::size_t n_cols_ = 0;                  // columns any tree reads
    std::vector<std::size_t> tree_begin_;     // n_trees + 1 offsets into the node arrays
    NodeArray<PackedNode> nodes_;             // direct form
    std::vector<NodeArray<CodedNode>> coded_nodes_;  // coded form, per tree
    CategoryForm category_;                   // category form
    std::vector<std::size_t> cut_begin_;      // coded form: n_cols_ + 1 offsets into cuts_
    std::vector<double> cuts_;                // per feature, its distinct thresholds ascending
    std::vector<NodeArray<double>> value_;    // per tree and node (regression)
    // Classification lists, per tree: per node + 1 offsets, and entries.
    std::vector<NodeArray<std::uint32_t>> share_begin_;
    std::vector<std::vector<Share>> shares_;
    std::vector<double> dense_;  // per node, n_classes shares (few classes)
    bool dense_shares_ = false;
    std::size_t n_classes_ = 0;
};

}  // namespace tw
