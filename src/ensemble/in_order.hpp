// In-order folding of per-tree results that finish in any order.
//
// Trees grow on the pool and finish in any order, while sums over trees must
// run in tree order to come out the same whatever the thread count. A tree
// hands in its payload (the part of its result a fold reads) as soon as it
// has finished; payloads are folded strictly in tree order, each by whichever
// thread completes the run of finished trees up to it. A payload is held only
// while an earlier tree is still growing, and one fold runs at a time.
#pragma once
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/errors.hpp"

namespace tw::ensemble {

template <class Payload>
class InOrderFold {
public:
    // Folds trees first .. end-1.
    InOrderFold(std::size_t first, std::size_t end)
        : first_(first), next_(first), slots_(end > first ? end - first : 0) {}

    // Hands in tree t's payload; fold(payload) then runs, here or on another
    // thread, once every earlier tree has been folded. fold must be the same
    // callable for every tree.
    template <class Fold>
    void submit(std::size_t t, Payload payload, Fold&& fold) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (t < next_ || t - first_ >= slots_.size() || slots_[t - first_]) {
            throw InternalError("tree handed in twice or out of range");
        }
        slots_[t - first_] = std::move(payload);
        if (folding_) return;  // the folding thread will reach it
        folding_ = true;
        while (next_ - first_ < slots_.size() && slots_[next_ - first_]) {
            Payload p = std::move(*slots_[next_ - first_]);
            slots_[next_ - first_].reset();
            lock.unlock();
            try {
                fold(p);
            } catch (...) {
                lock.lock();
                folding_ = false;
                throw;
            }
            lock.lock();
            ++next_;
        }
        folding_ = false;
    }

    // Trees folded so far (first included); call once the loop has ended.
    std::size_t folded() const { return next_; }

private:
    std::mutex mutex_;
    std::size_t first_;
    std::size_t next_;  // the next tree to fold
    bool folding_ = false;
    std::vector<std::optional<Payload>> slots_;
};

}  // namespace tw::ensemble
