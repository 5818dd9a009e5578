// The histogram grower's category-set search: the node's rows are tallied
// into a cell table per categorical feature (grow/category_split.hpp), whose
// search offers the best set.
#include "grow/category_split.hpp"
#include "grow/hist_search.hpp"

namespace tw::grow {

void search_category_sets(const SearchContext& ctx, std::span<const u32> features,
                          CategoryTable& cells, const NodeRange& node, Rng* rng,
                          split::BestSplit& best) {
    const WorkingSet& ws = ctx.ws;
    const bool classification = ws.classification();
    const bool counts = ws.count_mode();
    const std::uint8_t* bins = ws.bins();
    const std::size_t rs = ws.row_bytes();
    const u32 begin = node.begin;
    const u32 end = node.end;
    // Category codes (and the missing cell) stay below 257 in wide codes too.
    for (const u32 f : features) {
        cells.reset(ctx.hist.categories[f], classification ? (counts ? 2 : ws.n_classes()) : 0);
        if (counts) {
            for (u32 i = begin; i < end; ++i) {
                const std::uint8_t* row = bins + static_cast<std::size_t>(i) * rs;
                const u32 t = WorkingSet::tag_of(row, ws.features());
                const u64 m = t & 0x7FFFFFFFu;
                cells.add(row[f], m, static_cast<double>(m), t >> 31);
            }
        } else if (classification) {
            const split::ClassRecord* rec = ws.class_records();
            for (u32 i = begin; i < end; ++i) {
                const u64 rows = ws.merged() ? split::count_of(rec[i].w) : 1;
                cells.add(ws.code(i, f), rows, rec[i].w, rec[i].cls);
            }
        } else {
            const split::RegRecord* rec = ws.reg_records();
            for (u32 i = begin; i < end; ++i) {
                const u64 rows = ws.merged() ? split::count_of(rec[i].w) : 1;
                cells.add(ws.code(i, f), rec[i], rows);
            }
        }
        cells.search(ctx.node.parent, ctx.node.classes, ctx.node.class_total.data(), node.rows,
                     ctx.min_leaf, f, best, rng);
    }
}

}  // namespace tw::grow
