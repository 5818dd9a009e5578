// Best-first growth of the histogram grower under a leaf limit
// (TreeParams::max_leaf_nodes): nodes are searched as they open and the one
// of the largest gain share splits next; the tree is then written in the
// pre-order layout depth-first growth gives (grow/hist_grower.hpp).
#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "grow/hist_grower.hpp"
#include "parallel/control.hpp"

namespace tw::histgrow {

// A node of best-first growth whose fate is not settled yet, or settled:
// its slots, its best split (when it may split) and, once split, the
// indices of its children among the opened nodes.
struct HistGrower::Open {
    u32 begin;
    u32 end;
    u64 depth;
    u64 rows;
    u64 path;  // child_path
    BestSplit best;
    double priority = 0.0;  // node weight share times gain
    bool split = false;
    u32 mid = 0;
    std::size_t cut = 0;  // once split: cut_of(best)
    std::size_t left = 0, right = 0;
};

// The search of one opened node, under the same rules as depth-first
// growth; false when the node must stay a leaf.
bool HistGrower::evaluate(Open& open) {
    parallel::check_stop();
    const u64 n = open.rows;
    if (stops(n, open.depth, open.end - open.begin)) return false;
    const bool classification = ws_.classification();
    if (!node_.compute(ws_, open.begin, open.end)) {
        if (classification) node_.clear();
        return false;
    }
    const double node_weight = node_.parent.weight;
    if (open.depth == 0) root_weight_ = node_weight;
    choose_features(true, open.path);
    if (params_.random_splits) {
        random_.search(grow::NodeRange{open.begin, open.end, n}, rng_, open.best);
    } else {
        u32 own = kNoHist;
        const SearchMode mode = decide_search(open.end - open.begin, own);
        search(mode, grow::NodeRange{open.begin, open.end, n}, kNoHist, own, open.best);
    }
    if (!categorical_.empty()) {
        grow::search_category_sets(ctx_, categorical_, cells_,
                                   grow::NodeRange{open.begin, open.end, n},
                                   params_.random_splits ? &rng_ : nullptr, open.best);
    }
    if (classification) node_.clear();
    if (!open.best.splits()) return false;
    open.priority = node_weight / root_weight_ * open.best.gain;
    return !(params_.min_impurity_decrease > 0.0 && open.priority < params_.min_impurity_decrease);
}

// Nodes are opened as their parents split, each searched once when opened
// (so the generator is consumed in the order of opening: a split's left
// child, then its right). The open node of the largest priority splits next,
// the first opened among equal ones, until the leaves reach the limit or no
// node can split. The tree is then written in pre-order, as depth-first
// growth writes it.
Tree HistGrower::grow_best_first() {
    const u64 limit = *params_.max_leaf_nodes;
    std::vector<Open> opened;
    opened.push_back(Open{0, static_cast<u32>(ws_.slots()), 0, ws_.entries(), 1, {}});
    // Heap of (priority, opening order) of the nodes that may split.
    std::vector<std::pair<double, std::size_t>> heap;
    const auto before = [](const std::pair<double, std::size_t>& a,
                           const std::pair<double, std::size_t>& b) {
        return a.first < b.first || (a.first == b.first && a.second > b.second);
    };
    const auto offer = [&](std::size_t i) {
        if (!evaluate(opened[i])) return;
        heap.emplace_back(opened[i].priority, i);
        std::push_heap(heap.begin(), heap.end(), before);
    };
    offer(0);
    u64 leaves = 1;
    while (!heap.empty() && leaves < limit) {
        std::pop_heap(heap.begin(), heap.end(), before);
        const std::size_t i = heap.back().second;
        heap.pop_back();
        const Open o = opened[i];
        const u32 mid = partition(o.begin, o.end, o.best);
        opened[i].cut = cut_of(o.best, o.begin, mid, o.end);
        const u64 nl = ws_.left_rows();
        const u64 nr = o.rows - nl;
        if (nl < params_.min_samples_leaf || nr < params_.min_samples_leaf || nl == 0 || nr == 0) {
            continue;
        }
        if (opened.size() + 2 >= std::numeric_limits<u32>::max() - 1) {
            throw InternalError("tree has too many nodes");
        }
        opened[i].split = true;
        opened[i].mid = mid;
        opened[i].left = opened.size();
        opened.push_back(Open{o.begin, mid, o.depth + 1, nl, child_path(o.path, 0), {}});
        opened[i].right = opened.size();
        opened.push_back(Open{mid, o.end, o.depth + 1, nr, child_path(o.path, 1), {}});
        ++leaves;
        offer(opened[i].left);
        offer(opened[i].right);
    }
    // Pre-order: a split node, then its left subtree, then its right one.
    std::vector<std::pair<std::size_t, u32>> stack{{0, kNoParent}};
    while (!stack.empty()) {
        const auto [i, parent] = stack.back();
        stack.pop_back();
        if (parent != kNoParent) link_right(parent);
        const Open& o = opened[i];
        if (!o.split) {
            make_leaf(o.begin, o.end);
            continue;
        }
        const u32 me = static_cast<u32>(tree_.nodes.size());
        add_split_node(o.best, o.cut, o.begin, o.end, o.rows, opened[o.left].rows,
                       opened[o.right].rows);
        stack.emplace_back(o.right, me);
        stack.emplace_back(o.left, kNoParent);
    }
    return finish();
}

}  // namespace tw::histgrow
