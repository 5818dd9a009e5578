// Building the prediction copies of a forest (their walks: packed_walk.cpp).
#include "tree/packed.hpp"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "core/prefault.hpp"

namespace tw {
namespace {

// Class counts up to this get a dense share row per node.
constexpr std::size_t kDenseClasses = 8;

// The leaf's distribution: each class's share of the leaf weight, the total
// summed in ascending class order; classes without a column (n_classes and
// up) still count in the total. emit(class, share) for the classes with a
// column; nothing for split nodes.
// An array of a value per node of the tree, backed ahead of its writes.
void size_node_values(const Tree& t, NodeArray<double>& out) {
    out.resize(t.nodes.size());
    prefault(out.data(), t.nodes.size() * sizeof(double));
}

// Every node's value of the tree, in node order, into out.
void node_values(const Tree& t, NodeArray<double>& out) {
    size_node_values(t, out);
    for (std::size_t i = 0; i < t.nodes.size(); ++i) out[i] = t.nodes[i].value;
}

template <class Emit>
void leaf_shares(const Tree& t, std::size_t i, std::size_t n_classes, Emit&& emit) {
    const tw::Node& n = t.nodes[i];
    if (!n.is_leaf() || !n.has_class_weights) return;
    const std::span<const ClassWeight> cw = t.leaf_weights(i);
    double sum = 0.0;
    for (const ClassWeight& e : cw) sum += e.weight;
    if (!(sum > 0.0)) return;
    for (const ClassWeight& e : cw) {
        if (e.cls < n_classes) emit(e.cls, e.weight / sum);
    }
}


}  // namespace

namespace {

template <class Out>
bool binned_form_into(const Tree& tree, std::span<const std::vector<double>> edges, Out& out,
                      std::span<const std::uint8_t> nan_free, std::span<const std::int16_t> ranks,
                      std::size_t max_rank, bool* missing_left = nullptr,
                      double* values = nullptr) {
    max_rank = std::min(max_rank, kWideRanks);
    const std::vector<Node>& nodes = tree.nodes;
    out.resize(nodes.size());
    std::uint8_t any_left = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Node& n = nodes[i];
        any_left |= n.missing & kMissingLeft;
        if (values) values[i] = n.value;
        if (n.is_leaf()) {
            out[i] = CodedNode{-1, 0, static_cast<std::uint32_t>(i)};
            continue;
        }
        if (n.left != i + 1 || n.feature > 0xFFFF || n.feature >= edges.size() ||
            (n.missing & kCategorical) != 0) {
            return false;
        }
        if ((n.missing & kMissingLeft) != 0 &&
            !(n.feature < nan_free.size() && nan_free[n.feature] != 0)) {
            return false;
        }
        const std::vector<double>& e = edges[n.feature];
        if (e.empty()) return false;
        // A handed-over rank counts only as the first edge equal to the
        // threshold (what the search below finds), and up to max_rank.
        const std::size_t given =
            i < ranks.size() && ranks[i] >= 0 ? static_cast<std::size_t>(ranks[i]) : e.size();
        if (given < e.size() && given <= max_rank && e[given] == n.threshold &&
            (given == 0 || e[given - 1] < n.threshold)) {
            out[i] = CodedNode{ranks[i], static_cast<std::uint16_t>(n.feature), n.right};
            continue;
        }
        // The first edge not below the threshold, by a branch-free
        // binary search (the thresholds of a tree follow no order).
        const double* at = e.data();
        for (std::size_t len = e.size(); len > 1;) {
            const std::size_t half = len / 2;
            at = at[half - 1] < n.threshold ? at + half : at;
            len -= half;
        }
        const std::size_t rank = static_cast<std::size_t>(at - e.data()) + (*at < n.threshold ? 1 : 0);
        if (rank >= e.size() || !(e[rank] == n.threshold) || rank > max_rank) return false;
        out[i] = CodedNode{static_cast<std::int16_t>(rank), static_cast<std::uint16_t>(n.feature),
                           n.right};
    }
    // Every node was read: the flag covers the whole tree.
    if (missing_left) *missing_left = any_left != 0;
    return true;
}

}  // namespace

std::size_t usable_edges(const std::vector<double>& e) {
    std::size_t k = 0;
    while (k < e.size() && k < 255 && !std::isnan(e[k]) && (k == 0 || e[k - 1] < e[k])) ++k;
    return k;
}

bool binned_form(const Tree& tree, std::span<const std::vector<double>> edges,
                 std::vector<CodedNode>& out, std::span<const std::uint8_t> nan_free,
                 std::span<const std::int16_t> ranks, std::size_t max_rank) {
    return binned_form_into(tree, edges, out, nan_free, ranks, max_rank);
}

namespace {

// Per feature, the distinct thresholds of one tree as they are met, at most
// 255 of them (the coded form's limit): the (feature, value) pairs go
// through one open-addressing table sized for the tree's splits, values
// compared by their bit patterns with -0.0 read as 0.0 (the same test
// under <=). NaN is not a threshold here.
// Appends threshold v to its feature's distinct values (out, in the order
// they are met; -0 kept as +0): its index, or -1 when out holds 255 already.
int append_distinct(double v, std::vector<double>& out) {
    if (out.size() >= 255) return -1;
    out.push_back(v == 0.0 ? 0.0 : v);
    return static_cast<int>(out.size() - 1);
}

class DistinctCuts {
public:
    explicit DistinctCuts(std::size_t splits) {
        std::size_t size = 16;
        while (size < 2 * splits) size *= 2;
        slots_.assign(size, Slot{kEmpty, 0, 0});
    }

    // The index of v among feature f's distinct values (out, in the order
    // they were met), adding it unless seen; -1 when f would exceed 255.
    int add(std::uint32_t f, double v, std::vector<double>& out) {
        if (v == 0.0) v = 0.0;
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = static_cast<std::size_t>(((bits ^ (std::uint64_t{f} << 32) ^ f) *
                                                   0x9E3779B97F4A7C15ull) >> 20) & mask;
        for (;;) {
            const Slot& slot = slots_[at];
            if (slot.bits == bits && slot.feature == f) return static_cast<int>(slot.index);
            if (slot.bits == kEmpty) break;
            at = (at + 1) & mask;
        }
        const int k = append_distinct(v, out);
        if (k >= 0) slots_[at] = Slot{bits, f, static_cast<std::uint32_t>(k)};
        return k;
    }

private:
    struct Slot {
        std::uint64_t bits;
        std::uint32_t feature;
        std::uint32_t index;
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // a NaN pattern
    std::vector<Slot> slots_;
};

}  // namespace

PackedForest::TreeSurvey PackedForest::survey(const Tree& tree, bool allow_coded,
                                              std::span<const std::int16_t> ranks,
                                              std::span<const std::vector<double>> edges) {
    const std::vector<tw::Node>& nodes = tree.nodes;
    const std::size_t used = tree.n_features_used;
    TreeSurvey c;
    c.done = true;
    // At most 255 distinct thresholds per feature fit, which bounds the table.
    bool collect = allow_coded && !tree.has_categories() && used <= 0xFFFF;
    // Splits whose grower gave each of them a byte rank, checked to be the
    // rank of their threshold among their feature's edges (ascending, so one
    // threshold per rank and one rank per threshold), find their thresholds'
    // places in a small per-feature table of ranks instead of the hash
    // table, in the same order.
    bool by_rank = collect && ranks.size() == nodes.size() && edges.size() >= used;
    for (std::size_t i = 0; by_rank && i < nodes.size(); ++i) {
        const tw::Node& n = nodes[i];
        const std::int16_t r = ranks[i];
        by_rank = n.is_leaf() || (n.feature < used && r >= 0 && r <= 255 &&
                                  static_cast<std::size_t>(r) < edges[n.feature].size() &&
                                  edges[n.feature][static_cast<std::size_t>(r)] == n.threshold);
    }
    std::optional<DistinctCuts> seen;
    std::vector<std::uint8_t> place;  // by_rank: per feature and rank, its index + 1 (0: unmet)
    if (collect) {
        c.values.resize(used);
        c.index.resize(nodes.size());
        if (by_rank) {
            place.assign(used * 256, 0);
        } else {
            seen.emplace(std::min(nodes.size() / 2 + 1, 255 * used + 1));
        }
    }
    // The index of split i's threshold among its feature's, -1 past 255.
    const auto index_of = [&](std::size_t i) {
        const tw::Node& n = nodes[i];
        if (!by_rank) return seen->add(n.feature, n.threshold, c.values[n.feature]);
        std::uint8_t& at = place[std::size_t{n.feature} * 256 + static_cast<std::size_t>(ranks[i])];
        if (at != 0) return at - 1;
        const int k = append_distinct(n.threshold, c.values[n.feature]);
        if (k >= 0) at = static_cast<std::uint8_t>(k + 1);
        return k;
    };
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const tw::Node& n = nodes[i];
        c.missing_left |= (n.missing & kMissingLeft) != 0;
        if (n.is_leaf()) continue;
        if (n.left != i + 1 || n.right <= i || n.right >= nodes.size() || n.feature >= used) {
            throw InternalError("tree nodes are not in pre-order");
        }
        if (!collect) continue;
        const int k = std::isnan(n.threshold) ? -1 : index_of(i);
        collect = k >= 0;
        c.index[i] = static_cast<std::uint8_t>(k);
    }
    c.coded = collect;
    if (!collect) {
        c.values.clear();
        c.index.clear();
    }
    return c;
}

PackedForest::TreeSurvey PackedForest::survey_on_edges(const Tree& tree,
                                                       std::span<const std::int16_t> ranks,
                                                       std::span<const std::vector<double>> edges,
                                                       bool values, std::size_t n_classes) {
    const std::vector<tw::Node>& nodes = tree.nodes;
    const std::size_t used = tree.n_features_used;
    TreeSurvey c;
    // The coded form sends every missing value right; the pack keeps the
    // rows with one away from trees with a split sending them left, so
    // those splits are coded like any other.
    const std::vector<std::uint8_t> any_side(used, 1);
    bool fits = !tree.has_categories() && used <= edges.size();
    // The nodes' values are copied in the same pass (every node's, as
    // node_values gives them).
    if (fits && values) size_node_values(tree, c.leaf_values);
    fits = fits && binned_form_into(tree, edges, c.nodes, any_side, ranks, kByteRanks,
                                    &c.missing_left, values ? c.leaf_values.data() : nullptr);
    std::vector<std::size_t> usable(fits ? used : 0);
    for (std::size_t f = 0; f < usable.size(); ++f) usable[f] = usable_edges(edges[f]);
    // The checks read the coded nodes (a leaf's rank is -1), an eighth of
    // the tree's bytes, not the tree again.
    const CodedNode* coded = c.nodes.data();
    for (std::size_t i = 0; fits && i < c.nodes.size(); ++i) {
        const CodedNode& n = coded[i];
        if (n.rank < 0) continue;
        if (n.right <= i || n.right >= nodes.size()) throw InternalError("tree nodes are not in pre-order");
        fits = static_cast<std::size_t>(n.rank) < usable[n.feature];
    }
    if (!fits) return survey(tree, true, ranks, edges);
    if (!values && n_classes > 0) {
        tree_shares(tree, n_classes, c.nodes.data(), c.share_begin, c.shares);
        c.share_classes = n_classes;
    }
    c.done = true;
    c.on_edges = true;
    return c;
}

// Every feature's edges become its thresholds: a node's rank among them is
// the one its survey coded, and a row's code the number of edges below its
// value, which sends it where the tree's own threshold does.
bool PackedForest::take_on_edges(const std::vector<Tree>& trees, bool values,
                                 std::size_t n_classes, std::vector<TreeSurvey>& surveys,
                                 std::span<const std::vector<double>> edges) {
    if (surveys.size() != trees.size() || edges.size() < n_cols_) return false;
    // A survey's shares (and pure leaves' ranks) hold for its own columns:
    // every tree's over n_classes, or none.
    const bool listed = !values && !surveys.empty() && surveys[0].share_classes != 0;
    for (std::size_t t = 0; t < trees.size(); ++t) {
        const TreeSurvey& c = surveys[t];
        if (!c.on_edges || c.nodes.size() != trees[t].nodes.size() ||
            (values && c.leaf_values.size() != trees[t].nodes.size()) ||
            c.share_classes != (listed ? n_classes : 0) ||
            (listed && c.share_begin.size() != trees[t].nodes.size() + 1)) {
            return false;
        }
    }
    coded_ = true;
    on_edges_ = true;
    cut_begin_.assign(1, 0);
    cuts_.clear();
    for (std::size_t f = 0; f < n_cols_; ++f) {
        cuts_.insert(cuts_.end(), edges[f].begin(), edges[f].begin() + usable_edges(edges[f]));
        cut_begin_.push_back(cuts_.size());
    }
    missing_ = std::any_of(surveys.begin(), surveys.end(),
                           [](const TreeSurvey& v) { return v.missing_left; });
    coded_nodes_.resize(trees.size());
    if (values) value_.resize(trees.size());
    if (listed) {
        share_begin_.resize(trees.size());
        shares_.resize(trees.size());
    }
    for (std::size_t t = 0; t < trees.size(); ++t) {
        coded_nodes_[t] = std::move(surveys[t].nodes);
        if (values) value_[t] = std::move(surveys[t].leaf_values);
        if (listed) {
            share_begin_[t] = std::move(surveys[t].share_begin);
            shares_[t] = std::move(surveys[t].shares);
        }
    }
    return true;
}

void PackedForest::pack(const std::vector<Tree>& trees, bool allow_coded, bool values,
                        std::size_t n_classes, std::vector<TreeSurvey> surveys,
                        std::span<const std::vector<double>> edges) {
    n_cols_ = 0;
    on_edges_ = false;
    tree_begin_.assign(1, 0);
    for (const Tree& t : trees) {
        if (t.nodes.empty() || t.nodes.size() > std::numeric_limits<std::uint32_t>::max()) {
            throw InternalError("tree cannot be packed");
        }
        tree_begin_.push_back(tree_begin_.back() + t.nodes.size());
        n_cols_ = std::max<std::size_t>(n_cols_, t.n_features_used);
    }
    const bool categories =
        std::any_of(trees.begin(), trees.end(), [](const Tree& t) { return t.has_categories(); });
    // The coded form needs at most 255 distinct thresholds per feature
    // (codes 0..255 in a byte) and feature numbers that fit 16 bits.
    coded_ = !categories && allow_coded && n_cols_ <= 0xFFFF;
    if (coded_ && take_on_edges(trees, values, n_classes, surveys, edges)) return;

    // Each tree's survey, taken here unless the caller took it (one
    // parallel pass over the trees' nodes).
    if (surveys.size() != trees.size()) surveys.assign(trees.size(), TreeSurvey{});
    parallel::parallel_for(trees.size(), [&](std::size_t t) {
        if (!surveys[t].done || surveys[t].on_edges) {
            surveys[t] = survey(trees[t], allow_coded);
        } else if (surveys[t].coded && surveys[t].index.size() != trees[t].nodes.size()) {
            throw InternalError("a tree's survey does not fit the tree");
        }
    });
    // Both forms send every missing value right, so rows with a missing
    // value walk the fitted trees instead where some split sends them left.
    missing_ = std::any_of(surveys.begin(), surveys.end(),
                           [](const TreeSurvey& v) { return v.missing_left; });
    category_ = CategoryForm{};
    if (categories) {
        // The category form for every tree, its sets copied into category_.
        std::vector<std::size_t> set_begin(1, 0);
        for (const Tree& t : trees) {
            set_begin.push_back(set_begin.back() + t.category_sets.size());
            category_.sets.insert(category_.sets.end(), t.category_sets.begin(),
                                  t.category_sets.end());
        }
        category_.nodes.resize(tree_begin_.back());
        parallel::parallel_for(trees.size(), [&](std::size_t t) {
            std::vector<CategoryNode> copy;
            if (!trees[t].category_form(copy)) throw InternalError("tree nodes are not in pre-order");
            const std::uint64_t* own = trees[t].category_sets.empty()
                                           ? nullptr
                                           : trees[t].category_sets.data()->data();
            std::uint64_t* base =
                category_.sets.empty() ? nullptr : category_.sets[0].data() + 4 * set_begin[t];
            for (CategoryNode& n : copy) {
                if (n.set != nullptr) n.set = base + (n.set - own);
            }
            std::copy(copy.begin(), copy.end(), category_.nodes.begin() + tree_begin_[t]);
        });
        return;
    }

    // The trees' distinct thresholds merged per feature.
    std::vector<std::vector<double>> cuts;
    coded_ = coded_ && std::all_of(surveys.begin(), surveys.end(),
                                   [](const TreeSurvey& v) { return v.coded; });
    if (coded_) {
        // Per feature the distinct values of all trees, through the same
        // table (a feature with more than 255 does not fit), then sorted.
        cuts.resize(n_cols_);
        std::vector<std::uint8_t> fits(n_cols_, 1);
        parallel::parallel_for(n_cols_, [&](std::size_t f) {
            DistinctCuts seen(255);
            for (const TreeSurvey& c : surveys) {
                if (f >= c.values.size()) continue;
                for (const double v : c.values[f]) {
                    if (seen.add(static_cast<std::uint32_t>(f), v, cuts[f]) < 0) {
                        fits[f] = 0;
                        return;
                    }
                }
            }
            std::sort(cuts[f].begin(), cuts[f].end());
        });
        coded_ = std::all_of(fits.begin(), fits.end(), [](std::uint8_t u) { return u != 0; });
    }
    if (coded_) {
        cut_begin_.assign(1, 0);
        cuts_.clear();
        for (const auto& c : cuts) {
            cuts_.insert(cuts_.end(), c.begin(), c.end());
            cut_begin_.push_back(cuts_.size());
        }
        // A node's code is its threshold's rank among the feature's cuts,
        // found once per distinct threshold of each tree.
        coded_nodes_.resize(trees.size());
        if (values) value_.resize(trees.size());
        parallel::parallel_for(trees.size(), [&](std::size_t t) {
            const TreeSurvey& c = surveys[t];
            const std::size_t used = c.values.size();
            std::vector<std::size_t> first(used + 1, 0);
            for (std::size_t f = 0; f < used; ++f) first[f + 1] = first[f] + c.values[f].size();
            std::vector<std::uint8_t> rank(first[used]);
            for (std::size_t f = 0; f < used; ++f) {
                const std::vector<double>& all = cuts[f];
                for (std::size_t k = 0; k < c.values[f].size(); ++k) {
                    rank[first[f] + k] = static_cast<std::uint8_t>(
                        below_count(all.data(), all.size(), c.values[f][k]));
                }
            }
            const std::vector<tw::Node>& nodes = trees[t].nodes;
            coded_nodes_[t].resize(nodes.size());
            if (values) value_[t].resize(nodes.size());
            CodedNode* dst = coded_nodes_[t].data();
            double* value = values ? value_[t].data() : nullptr;
            prefault(dst, nodes.size() * sizeof(CodedNode));
            if (value) prefault(value, nodes.size() * sizeof(double));
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                const tw::Node& n = nodes[i];
                dst[i] = n.is_leaf() ? CodedNode{-1, 0, static_cast<std::uint32_t>(i)}
                                     : CodedNode{rank[first[n.feature] + c.index[i]],
                                                 static_cast<std::uint16_t>(n.feature), n.right};
                if (value) value[i] = n.value;
            }
        });
        return;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    per_node(trees, nodes_, [&](const tw::Node& n, std::uint32_t i) {
        return n.is_leaf() ? PackedNode{nan, 0, i} : PackedNode{n.threshold, n.feature, n.right};
    });
}

// out[tree_begin_[t] + i] = make(node i of tree t, i) for every tree, in
// parallel over the trees.
template <class T, class Make>
void PackedForest::per_node(const std::vector<Tree>& trees, NodeArray<T>& out,
                            Make&& make) const {
    out.resize(tree_begin_.back());
    parallel::parallel_for(trees.size(), [&](std::size_t t) {
        const std::vector<tw::Node>& nodes = trees[t].nodes;
        T* dst = out.data() + tree_begin_[t];
        prefault(dst, nodes.size() * sizeof(T));
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            dst[i] = make(nodes[i], static_cast<std::uint32_t>(i));
        }
    });
}

PackedForest PackedForest::values(const std::vector<Tree>& trees, bool allow_coded,
                                  std::vector<TreeSurvey> surveys,
                                  std::span<const std::vector<double>> edges) {
    PackedForest p;
    p.pack(trees, allow_coded, true, 0, std::move(surveys), edges);
    if (p.value_.empty()) {
        p.value_.resize(trees.size());
        parallel::parallel_for(trees.size(), [&](std::size_t t) { node_values(trees[t], p.value_[t]); });
    }
    return p;
}

void PackedForest::tree_shares(const Tree& tree, std::size_t n_classes, CodedNode* coded,
                               NodeArray<std::uint32_t>& begin, std::vector<Share>& out) {
    const std::size_t n = tree.nodes.size();
    begin.resize(n + 1);
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
        begin[i] = static_cast<std::uint32_t>(out.size());
        std::uint64_t one = 0;
        std::size_t ones = 0;
        bool pure = true;
        leaf_shares(tree, i, n_classes, [&](std::uint64_t cls, double share) {
            out.push_back(Share{cls, share});
            if (share == 1.0) {
                one = cls;
                ++ones;
            } else if (share != 0.0) {
                pure = false;
            }
        });
        if (coded != nullptr && pure && ones == 1 && one <= 32765) {
            coded[i].rank = static_cast<std::int16_t>(-2 - static_cast<int>(one));
            out.resize(begin[i]);
        }
        if (out.size() > std::numeric_limits<std::uint32_t>::max()) {
            throw InternalError("too many leaf shares");
        }
    }
    begin[n] = static_cast<std::uint32_t>(out.size());
}

PackedForest PackedForest::shares(const std::vector<Tree>& trees, std::size_t n_classes,
                                  bool allow_coded, std::vector<TreeSurvey> surveys,
                                  std::span<const std::vector<double>> edges) {
    PackedForest p;
    p.pack(trees, allow_coded, false, n_classes, std::move(surveys), edges);
    p.n_classes_ = n_classes;
    if (!p.share_begin_.empty()) return p;  // taken with the trees coded on edges
    // Few classes in the direct form: every node gets a row of n_classes
    // shares (zeros for absent classes and split nodes). Adding a zero
    // leaves a sum of non-negative shares unchanged, so the sums match the
    // lists. The coded form keeps lists, and only for the leaves that are
    // not pure (usually a small minority).
    p.dense_shares_ = !p.coded_ && n_classes <= kDenseClasses;
    if (p.dense_shares_) {
        p.dense_.assign(p.tree_begin_.back() * n_classes, 0.0);
        parallel::parallel_for(trees.size(), [&](std::size_t t) {
            double* base = p.dense_.data() + p.tree_begin_[t] * n_classes;
            for (std::size_t i = 0; i < trees[t].nodes.size(); ++i) {
                leaf_shares(trees[t], i, n_classes, [&](std::uint64_t cls, double share) {
                    base[i * n_classes + cls] = share;
                });
            }
        });
        return p;
    }
    p.share_begin_.resize(trees.size());
    p.shares_.resize(trees.size());
    parallel::parallel_for(trees.size(), [&](std::size_t t) {
        tree_shares(trees[t], n_classes, p.coded_ ? p.coded_nodes_[t].data() : nullptr,
                    p.share_begin_[t], p.shares_[t]);
    });
    return p;
}

}  // namespace tw
