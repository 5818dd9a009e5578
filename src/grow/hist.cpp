// Histogram grower: one tree of a forest on a bootstrap list, with candidate
// thresholds taken from the bin edges of the forest's HistogramData.
//
// The bootstrap rows are never copied as feature values. Each tree gathers
// its working set (grow/working_set.hpp): the bin bytes of its sampled rows
// plus a small record per row. A node owns a contiguous range of slots, and
// a split partitions the range stably in place, so each node's rows are read
// sequentially and stay in the order of the node's sample list.
//
// Each node gets one search (grow/hist_search.hpp), decided once from its
// size and the tree's mode; trees grown with random splits use the random
// search throughout. Nodes are grown depth first, left before right,
// with an explicit stack, so the generator is consumed in the same order as
// a recursive growth would and arbitrarily deep trees do not touch the call
// stack. Under a leaf limit the nodes split best first instead
// (grow/best_first.cpp) and the tree is written in the same pre-order
// layout. The class itself is declared in grow/hist_grower.hpp.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/prefault.hpp"
#include "grow/hist_grower.hpp"
#include "parallel/control.hpp"

namespace tw {
namespace histgrow {

void HistGrower::allocate() {
    const bool classification = ws_.classification();
    const std::size_t n_classes = ws_.n_classes();
    features_.resize(ws_.features());
    identity_.resize(ws_.features());
    for (std::size_t f = 0; f < identity_.size(); ++f) identity_[f] = static_cast<u32>(f);
    all_splittable_ = true;
    for (std::size_t f = 0; f < hist_.columns; ++f) all_splittable_ &= hist_.n_bins[f] >= 2;
    node_.reset(n_classes, params_.criterion);
    if (classification) leaf_count_.assign(n_classes, 0);
    if (params_.random_splits) {
        // Random splits draw among byte codes (fits bin them so).
        if (hist_.wide()) throw InternalError("random splits need 8-bit bin codes");
        random_.allocate(ws_.count_mode() ? 2 : n_classes);
        return;
    }
    if (ws_.count_mode()) {
        counts_.allocate();
        counted_.allocate(ws_.features());
        if (!(params_.max_features && *params_.max_features < ws_.features()) &&
            !params_.max_leaf_nodes) {
            // Every node examines the same features, so a split can hand its
            // histogram down, while several such histograms fit the budget
            // (wide data counts into the batched scratch histograms instead).
            choose_features(false);
            kept_.configure(examined_, ws_.features(), params_.min_samples_split,
                            params_.max_depth);
        }
        return;
    }
    // A node examines its drawn features and their twins.
    std::size_t most_examined = ws_.features();
    if (params_.max_features && *params_.max_features < most_examined) {
        most_examined = 2 * static_cast<std::size_t>(*params_.max_features);
    }
    dense_sums_ = dense_.allocate(most_examined);
    if (!dense_sums_) grouped_.allocate(n_classes);
    // Candidates of one feature walk, or of a batch of tiny-node candidates
    // (whose nodes hold at most kTinyNode classes).
    const std::size_t per_candidate =
        classification ? std::max<std::size_t>(dense_sums_ ? n_classes : 0, grow::kTinyNode) : 0;
    cand_.allocate(classification, n_classes, per_candidate, hist_.capacity);
    cand_.sums_only = grow::scores_sums_only(ws_);
    if (classification) tiny_.allocate(n_classes);
}

// The features examined at the node at `path`, in the order their
// candidates are offered (the first of equal gains wins). Without draw
// (laying out the kept histograms) every feature is taken in column order
// and the generator is not touched.
void HistGrower::choose_features(bool draw, u64 path) {
    const std::size_t nf = hist_.columns;
    const u64 node_key = order_seed_ ^ mix64(path);  // fast growth's draws at the node
    examined_.clear();
    std::size_t k = nf;
    if (params_.max_features && *params_.max_features < nf &&
        (params_.random_splits || params_.fast_growth)) {
        // Random splits and fast growth draw only the examined features
        // (best splits otherwise keep the whole shuffle their trees were
        // grown with). Fast growth draws them from the node's key (as its
        // feature order below): no generator steps or rejected draws, and a
        // node's features whatever order the nodes grow in.
        k = static_cast<std::size_t>(*params_.max_features);
        std::copy_n(identity_.data(), nf, features_.data());
        if (params_.random_splits) {
            choose_last(rng_, std::span<u32>(features_.data(), nf), k);
        } else {
            shuffle_by_key(std::span<u32>(features_.data(), nf), node_key, k);
        }
        const u32* drawn = features_.data() + (nf - k);
        if (all_splittable_) {
            examined_.assign(drawn, drawn + k);
        } else {
            for (std::size_t j = 0; j < k; ++j) {
                if (hist_.n_bins[drawn[j]] >= 2) examined_.push_back(drawn[j]);
            }
        }
    } else {
        if (params_.max_features && *params_.max_features < nf) {
            k = static_cast<std::size_t>(*params_.max_features);
            std::copy_n(identity_.data(), nf, features_.data());
            shuffle(rng_, std::span<u32>(features_.data(), nf));
        } else {
            std::copy_n(identity_.data(), nf, features_.data());
            // Fast growth examining every feature takes them in an order
            // drawn for the node, so that equal gains (common in small
            // nodes) do not always fall to the first columns. The order
            // comes from the tree's order seed and the node's path, not
            // from the tree's generator: its draws stay those of exact
            // growth, and a node gets its order whatever order the nodes
            // grow in (best first or depth first).
            if (draw && params_.fast_growth && nf > 1) {
                shuffle_by_key(std::span<u32>(features_.data(), nf), node_key);
            }
        }
        for (std::size_t j = 0; j < k; ++j) {
            if (hist_.n_bins[features_[j]] >= 2) examined_.push_back(features_[j]);
        }
    }
    // Categorical columns get their own search, after the others.
    categorical_.clear();
    if (!hist_.categories.empty()) {
        std::size_t kept = 0;
        for (const u32 f : examined_) {
            if (hist_.is_categorical(f)) {
                categorical_.push_back(f);
            } else {
                examined_[kept++] = f;
            }
        }
        examined_.resize(kept);
    }
    // The twins of the examined columns follow them, so that among equal
    // gains a split sending the missing values right wins.
    if (hist_.twin_of.empty()) return;
    const std::size_t drawn = examined_.size();
    for (std::size_t j = 0; j < drawn; ++j) {
        if (hist_.has_missing(examined_[j])) examined_.push_back(hist_.twin_index[examined_[j]]);
    }
}

// Fast growth centres a split's threshold in the gap its node's rows leave
// around it (WorkingSet::centred_cut), as a threshold midway between two
// sorted values: rows the node has not seen go to the nearer side. Twins,
// category sets and random splits keep their bin.
std::size_t HistGrower::cut_of(const BestSplit& best, u32 begin, u32 mid, u32 end) const {
    if (!params_.fast_growth || params_.random_splits || best.category ||
        hist_.column_of(best.feature) != best.feature) {
        return best.bin;
    }
    return ws_.centred_cut(begin, mid, end, best.feature, best.bin, best.above);
}

// The split node of a search's best candidate on slots begin..end-1 (already
// partitioned, nl and nr entries on each side, the threshold cut's upper
// edge), appended to the tree with its left child next: its column,
// threshold and missing side. The node is filled where it lies (a copy of
// one assembled field by field would be read back before its stores land).
void HistGrower::add_split_node(const BestSplit& best, std::size_t cut, u32 begin, u32 end, u64 n,
                                u64 nl, u64 nr) {
    const u32 me = static_cast<u32>(tree_.nodes.size());
    Node& node = tree_.nodes.emplace_back();
    node.left = me + 1;
    const std::size_t column = hist_.column_of(best.feature);
    // The threshold is the cut bin's upper edge.
    if (!best.category) node.threshold = hist_.bin_edges[best.feature][cut];
    node.feature = static_cast<std::uint32_t>(column);
    node.n_samples = n;
    bool missing_left = best.feature != column;
    if (best.category) {
        // The codes' bits form the node's set; the missing cell's bit is
        // its missing side.
        const CategorySet set = grow::category_set(best, hist_.categories[column], missing_left);
        node.threshold = std::numeric_limits<double>::quiet_NaN();
        node.cw_begin = static_cast<u32>(tree_.category_sets.size());
        tree_.category_sets.push_back(set);
        node.missing = kCategorical;
    }
    if (ws_.any_missing(begin, end, column)) {
        node.missing |= kMissingSeen | (missing_left ? kMissingLeft : 0);
    } else if (params_.missing_defaults) {
        node.missing |= kMissingDefault | (nl > nr ? kMissingLeft : 0);
    }
    tree_.n_features_used = std::max<u64>(tree_.n_features_used, column + 1);
    if (ranks_) {
        // Only ranks a coded node can hold are handed over.
        ranks_->push_back(best.category || best.feature != column || cut > kWideRanks
                              ? std::int16_t{-1}
                              : static_cast<std::int16_t>(cut));
    }
    if (coded_) {
        // The threshold is the cut's edge, the first of that value among
        // the usable (ascending) edges; a split off them leaves the tree to
        // be surveyed after growth.
        if (best.category || best.feature != column || column > 0xFFFF || cut >= usable_[column]) {
            *coded_ = PackedForest::TreeSurvey{};
            coded_ = nullptr;
        } else {
            any_left_ = any_left_ || (node.missing & kMissingLeft) != 0;
            coded_->nodes.push_back(CodedNode{static_cast<std::int16_t>(cut),
                                              static_cast<std::uint16_t>(column), 0});
            coded_->leaf_values.push_back(node.value);
        }
    }
}

// Tiny nodes give their kept histogram back; a node that can use one and
// has none takes one from the pool here, if the pool has one left.
SearchMode HistGrower::decide_search(u32 slots, u32& own) {
    if (slots <= (ws_.classification() ? grow::kTinyNode : grow::kTinyRegression)) {
        kept_.release(own);
        own = kNoHist;
        if (ws_.count_mode()) return SearchMode::kTinyCounts;
        return !ws_.classification() && slots == 2 ? SearchMode::kPair : SearchMode::kTiny;
    }
    if (kept_.enabled() &&
        (own != kNoHist || (slots >= grow::kSparseWalk && (own = kept_.acquire()) != kNoHist))) {
        return SearchMode::kKept;
    }
    if (ws_.count_mode()) return SearchMode::kCounts;
    return dense_sums_ ? SearchMode::kDense : SearchMode::kGrouped;
}

void HistGrower::search(SearchMode mode, grow::NodeRange node, u32 hist, u32 own,
                        BestSplit& best) {
    switch (mode) {
        case SearchMode::kTiny: tiny_.search(node, best); break;
        case SearchMode::kPair: tiny_.search_pair(node, best); break;
        case SearchMode::kTinyCounts: tiny_.search_counts(node, best); break;
        case SearchMode::kKept:
            if (hist == kNoHist) kept_.fill(own, ctx_, node.begin, node.end);  // newly acquired
            counts_.search_kept(node.rows, kept_, own, best);
            break;
        case SearchMode::kCounts: counts_.search(node, best); break;
        case SearchMode::kDense: dense_.search(node, best); break;
        case SearchMode::kGrouped: grouped_.search(node, best); break;
    }
}

// The leaf of slots begin..end-1, recorded as the leaf of their rows when
// the caller asked for them.
u32 HistGrower::make_leaf(u32 begin, u32 end) {
    const u32 leaf = make_leaf_of(begin, end);
    if (ranks_) ranks_->push_back(-1);
    if (coded_) {
        coded_->nodes.push_back(CodedNode{-1, 0, leaf});
        coded_->leaf_values.push_back(tree_.nodes[leaf].value);
    }
    if (!leaf_of_row_.empty()) std::fill(slot_leaf_.begin() + begin, slot_leaf_.begin() + end, leaf);
    return leaf;
}

u32 HistGrower::make_leaf_of(u32 begin, u32 end) {
    if (!ws_.classification()) {
        // The weighted mean from the working records: each record's w*y is
        // the product the leaf formula forms, and slots run in node order.
        if (tree_.nodes.size() >= std::numeric_limits<u32>::max()) {
            throw InternalError("tree has too many nodes");
        }
        const split::RegRecord* rec = ws_.reg_records();
        double total_w = 0.0, total_wy = 0.0;
        for (u32 i = begin; i < end; ++i) {
            total_w += rec[i].w;
            total_wy += rec[i].wy;
        }
        Node& leaf = tree_.nodes.emplace_back();
        // Merged slots: the weight sum is the number of entries.
        leaf.n_samples = ws_.merged() ? split::count_of(total_w) : end - begin;
        leaf.value = total_w > 0.0 ? total_wy / total_w : 0.0;
        return static_cast<u32>(tree_.nodes.size() - 1);
    }
    if (ws_.count_mode()) {
        // Unit weights: each class's weight is its count.
        u64 rows = 0, ones = 0;
        ws_.count_slots(begin, end, rows, ones);
        const u64 count[2] = {rows - ones, ones};
        return create_count_leaf(tree_, rows, ws_.class_ids(), count);
    }
    if (ws_.unit_weights()) {
        // Each class's weight is its number of entries, a whole number
        // whatever the order of the sum: counted from the records, the leaf
        // is the one create_leaf would make of the node's rows.
        const split::ClassRecord* rec = ws_.class_records();
        const bool merged = ws_.merged();
        u64 rows = 0;
        leaf_ids_.clear();
        for (u32 i = begin; i < end; ++i) {
            const u64 m = merged ? split::count_of(rec[i].w) : 1;
            rows += m;
            if (leaf_count_[rec[i].cls] == 0) leaf_ids_.push_back(rec[i].cls);
            leaf_count_[rec[i].cls] += m;
        }
        std::sort(leaf_ids_.begin(), leaf_ids_.end());
        leaf_counts_.clear();
        for (u64& d : leaf_ids_) {
            leaf_counts_.push_back(leaf_count_[d]);
            leaf_count_[d] = 0;
            d = ws_.class_ids()[d];
        }
        return create_count_leaf(tree_, rows, leaf_ids_, leaf_counts_);
    }
    leaf_rows_.clear();
    if (ws_.merged()) {
        // A merged slot stands for its row drawn weight-many times.
        const split::ClassRecord* rec = ws_.class_records();
        for (u32 i = begin; i < end; ++i) leaf_rows_.insert(leaf_rows_.end(), static_cast<std::size_t>(rec[i].w), ws_.source_row(i));
    } else {
        for (u32 i = begin; i < end; ++i) leaf_rows_.push_back(ws_.source_row(i));
    }
    return create_leaf(tree_, y_, w_, leaf_rows_, true);
}

Tree HistGrower::grow() {
    ws_.check_inputs();
    if (!leaf_of_row_.empty() && leaf_of_row_.size() < ws_.rows()) {
        throw InternalError("leaf list shorter than the rows");
    }
    ws_.gather();
    if (!leaf_of_row_.empty()) {
        if (!ws_.keeps_positions()) throw InternalError("the leaves of rows need the slots' positions");
        slot_leaf_.assign(ws_.slots(), 0);
    }
    allocate();
    if (coded_) {
        *coded_ = PackedForest::TreeSurvey{};
        usable_.resize(hist_.columns);
        for (std::size_t f = 0; f < hist_.columns; ++f) usable_[f] = usable_edges(hist_.bin_edges[f]);
    }
    if (params_.fast_growth) {
        // The next output of the tree's generator, left unconsumed.
        Rng peek = rng_;
        order_seed_ = peek.next_u64();
    }
    if (params_.max_leaf_nodes) return grow_best_first();
    const bool classification = ws_.classification();
    if (params_.fast_growth && !classification) {
        // Fast regression trees grow close to their bound of one leaf per
        // slot: the nodes are laid out once instead of copied on growth
        // (finish gives back what a shallower tree leaves unused).
        tree_.nodes.reserve(2 * ws_.slots());
        if (!params_.max_depth && params_.min_samples_split <= 2 && params_.min_samples_leaf <= 1 &&
            !(params_.min_impurity_decrease > 0.0)) {
            prefault(tree_.nodes.data(), tree_.nodes.capacity() * sizeof(Node),  // grown in full
                     parallel::stop_requested);
        }
        if (ranks_) ranks_->reserve(2 * ws_.slots());
        if (coded_) {
            // A tree of at most one leaf per slot has at most 2 slots - 1 nodes.
            const std::size_t most = std::max<std::size_t>(2 * ws_.slots(), 2) - 1;
            coded_->nodes.reserve(most);
            coded_->leaf_values.reserve(most);
        }
    }

    // Right children wait on the stack; a left child is grown next in fr
    // itself, without a round trip through the stack.
    std::vector<Frame> stack;
    Frame fr{0, static_cast<u32>(ws_.slots()), 0, kNoParent, kNoHist, ws_.entries()};
    for (bool have = true;;) {
        if (!have) {
            if (stack.empty()) break;
            fr = stack.back();
            stack.pop_back();
        }
        have = false;
        parallel::check_stop();
        if (tree_.nodes.size() >= std::numeric_limits<u32>::max() - 1) {
            throw InternalError("tree has too many nodes");
        }
        if (fr.parent != kNoParent) link_right(fr.parent);
        const u64 n = fr.rows;
        u32 own = fr.hist;  // kept histogram of this node, if any

        if (stops(n, fr.depth, fr.end - fr.begin)) {
            kept_.release(own);
            node_.release_kept(fr.totals);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const bool totals = fr.ones != Frame::kUnknown ? node_.compute_counts(n, fr.ones)
                            : fr.summed                ? node_.compute_sums(fr.sums)
                            : fr.totals != grow::NodeTotals::kNoKept ? node_.take_kept(fr.totals)
                                                       : node_.compute(ws_, fr.begin, fr.end);
        if (!totals) {
            if (classification) node_.clear();
            kept_.release(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const double node_weight = node_.parent.weight;
        if (tree_.nodes.empty()) root_weight_ = node_weight;
        choose_features(true, fr.path);
        BestSplit best;
        if (params_.random_splits) {
            random_.search(grow::NodeRange{fr.begin, fr.end, n}, rng_, best);
        } else {
            const SearchMode mode = decide_search(fr.end - fr.begin, own);
            search(mode, grow::NodeRange{fr.begin, fr.end, n}, fr.hist, own, best);
        }
        if (!categorical_.empty()) {
            grow::search_category_sets(ctx_, categorical_, cells_, grow::NodeRange{fr.begin, fr.end, n},
                                       params_.random_splits ? &rng_ : nullptr, best);
        }
        if (!best.splits() || (params_.min_impurity_decrease > 0.0 &&
                               node_weight / root_weight_ * best.gain <
                                   params_.min_impurity_decrease)) {
            if (classification) node_.clear();
            kept_.release(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const u32 mid = partition(fr.begin, fr.end, best);
        const std::size_t cut = cut_of(best, fr.begin, mid, fr.end);
        const u64 nl = ws_.left_rows();
        const u64 nr = n - nl;
        // An empty side would regrow the same rows forever when no depth
        // limit stops it; such a split becomes a leaf.
        if (nl < params_.min_samples_leaf || nr < params_.min_samples_leaf ||
            (!params_.max_depth && (nl == 0 || nr == 0))) {
            if (classification) node_.clear();
            kept_.release(own);
            make_leaf(fr.begin, fr.end);
            continue;
        }
        const u32 me = static_cast<u32>(tree_.nodes.size());
        add_split_node(best, cut, fr.begin, fr.end, n, nl, nr);
        const grow::KeptHistograms::Children kept = kept_.hand_down(
            own, ctx_, grow::NodeRange{fr.begin, fr.end, n}, mid, nl, nr, fr.depth + 1);
        // In count mode the partition counted the left side's classes, so
        // the children's totals are known without reading their slots.
        const u64 left_ones = ws_.count_mode() ? ws_.left_ones() : Frame::kUnknown;
        const u64 right_ones = ws_.count_mode() ? node_.ones() - left_ones : Frame::kUnknown;
        // A regression partition summed each side's records in slot order.
        const bool summed = ws_.sides_summed();
        // Merged classification: a large child takes its totals from the
        // node's and its sibling's instead of reading its slots.
        u32 left_totals = grow::NodeTotals::kNoKept, right_totals = grow::NodeTotals::kNoKept;
        if (classification) {
            if (ws_.merged() && std::max(mid - fr.begin, fr.end - mid) > 2 * node_.class_total.size()) {
                node_.keep_children(ws_, fr.begin, mid, fr.end, left_totals, right_totals);
            }
            node_.clear();
        }
        // A left child that the stop rules make a leaf comes next in
        // pre-order: it is made at once, and so is the right one then,
        // when it is a leaf too, without a frame of either.
        if (tree_.nodes.size() < std::numeric_limits<u32>::max() - 3 &&
            stops(nl, fr.depth + 1, mid - fr.begin)) {
            kept_.release(kept.left);
            node_.release_kept(left_totals);
            make_leaf(fr.begin, mid);
            if (stops(nr, fr.depth + 1, fr.end - mid)) {
                kept_.release(kept.right);
                node_.release_kept(right_totals);
                link_right(me);
                make_leaf(mid, fr.end);
                continue;
            }
            // The right child comes next, from fr: not pushed and taken back.
            fr.descend(mid, fr.end, me, kept.right, nr, right_ones, 1, summed, ws_.right_sums(),
                       right_totals);
            have = true;
            continue;
        }
        stack.push_back(Frame{mid, fr.end, fr.depth + 1, me, kept.right, nr, right_ones,
                              child_path(fr.path, 1), summed, ws_.right_sums(), right_totals});
        if (tree_.nodes.size() == me + 1) {
            fr.descend(fr.begin, mid, kNoParent, kept.left, nl, left_ones, 0, summed,
                       ws_.left_sums(), left_totals);
            have = true;
        } else {
            node_.release_kept(left_totals);
        }
    }
    return finish();
}

// The grown tree; the drawn rows' leaves go out (in one pass over the
// slots, whose rows are read independently of one another).
Tree HistGrower::finish() {
    if (!leaf_of_row_.empty()) {
        for (u32 i = 0; i < slot_leaf_.size(); ++i) leaf_of_row_[ws_.source_row(i)] = slot_leaf_[i];
    }
    if (2 * tree_.nodes.size() < tree_.nodes.capacity()) tree_.nodes.shrink_to_fit();
    if (coded_) {
        if (!tree_.has_categories() && coded_->nodes.size() == tree_.nodes.size()) {
            // Kept with the forest: sized to the tree (a tree grown in full
            // fills what was reserved).
            if (coded_->nodes.size() < coded_->nodes.capacity()) {
                coded_->nodes.shrink_to_fit();
                coded_->leaf_values.shrink_to_fit();
            }
            coded_->missing_left = any_left_;
            coded_->done = true;
            coded_->on_edges = true;
        } else {
            *coded_ = PackedForest::TreeSurvey{};
        }
    }
    return std::move(tree_);
}

}  // namespace histgrow

Tree build_tree_on_bootstrap(const MatrixView& x, Vec y, Vec w,
                             std::span<const std::size_t> bootstrap, const TreeParams& params,
                             Rng& rng, const HistogramData& hist,
                             std::span<std::uint32_t> leaf_of_row,
                             std::vector<std::int16_t>* ranks, grow::GrowScratch* scratch,
                             PackedForest::TreeSurvey* coded) {
    if (ranks) ranks->clear();
    histgrow::HistGrower grower(x, y, w, bootstrap, params, rng, hist, leaf_of_row, ranks, scratch, coded);
    return grower.grow();
}

}  // namespace tw
