// Reusable buffers of the histogram grower's working set.
//
// Terms:
//  scratch  the large per-tree buffers of a working set (grow/working_set.hpp:
//           the slots' bin rows, records and positions, their partition
//           copies, and the multiplicity tables of the drawn rows). A tree
//           grown with a scratch takes these buffers over and hands them
//           back when it is done, keeping their memory, so the next tree
//           grown with it reuses pages already faulted in instead of asking
//           the system for fresh ones. Nothing a tree reads depends on what
//           an earlier tree left there: every buffer is written before it
//           is read.
//  pool     the scratches of one fit: a tree leases one (a new one when all
//           are out), so at most one per thread of the fit exists, and they
//           are all freed with the pool at the end of the fit.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "split/gain.hpp"

namespace tw::grow {

struct GrowScratch {
    std::vector<std::uint8_t> bins, bins_tmp;
    std::vector<split::ClassRecord> class_records, class_records_tmp;
    std::vector<split::RegRecord> reg_records, reg_records_tmp;
    std::vector<std::uint32_t> positions, positions_tmp;
    std::vector<std::uint32_t> mult, distinct, first;
    // Not a buffer: the byte codes of every row of the tree's x, row after
    // row (row_width codes a row, ensemble/binned_rows.hpp), which the
    // working set then copies a row at a time; null to gather the codes
    // from the histogram's columns. Set by the caller for each tree.
    const std::uint8_t* row_codes = nullptr;
    std::size_t row_width = 0;
};

class ScratchPool {
public:
    // A scratch for one tree, given back to the pool when the lease ends.
    class Lease {
    public:
        Lease(ScratchPool* pool, std::unique_ptr<GrowScratch> s)
            : pool_(pool), scratch_(std::move(s)) {}
        Lease(Lease&& o) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease() {
            if (pool_ && scratch_) pool_->give(std::move(scratch_));
        }
        GrowScratch* get() const { return scratch_.get(); }

    private:
        ScratchPool* pool_;
        std::unique_ptr<GrowScratch> scratch_;
    };

    Lease take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<GrowScratch> s = std::move(free_.back());
                free_.pop_back();
                return Lease(this, std::move(s));
            }
        }
        return Lease(this, std::make_unique<GrowScratch>());
    }

private:
    void give(std::unique_ptr<GrowScratch> s) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            free_.push_back(std::move(s));
        } catch (...) {
            // Out of memory for the list: the scratch is freed instead.
        }
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<GrowScratch>> free_;
};

}  // namespace tw::grow
