// Parallel growth of a planned forest.
//
// Plans come from a BootstrapPlanner (ensemble/bootstrap.hpp, which defines
// plan, sample, tree seed and out-of-bag rows), drawn on one thread in tree
// order. Trees grow on the worker pool (parallel/pool.hpp): tree t calls
//     grow(t, sample, tree_rng)
// with its sample and tree_rng = seed_rng(its tree seed), and returns the
// caller's per-tree result (the tree, or the tree and its predictions). A
// stored sample is released from its plan once the tree has grown.
// Results come back in plan order whatever the scheduling, and the first
// exception thrown by planning or by any tree is rethrown on the calling
// thread once every item has finished or been skipped.
//
// Schedules:
//  - after_planning: every plan is drawn on the calling thread before any
//    tree grows.
//  - when_planned: the first pool item draws the plans in order and publishes
//    each one as soon as it is drawn; tree t starts growing once plan t is
//    out, so growth overlaps planning. Items are handed out in order, so the
//    planner has always started before anyone waits for it.
// Streaming (grow_until): plans first, then each grown tree's result is
// folded into caller statistics as it finishes, and the fold may stop the
// forest early.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/rng.hpp"
#include "ensemble/bootstrap.hpp"
#include "parallel/pool.hpp"

namespace tw::ensemble {

enum class Schedule { after_planning, when_planned };

template <class Grow>
using GrowResult = std::decay_t<
    std::invoke_result_t<Grow&, std::size_t, std::span<const std::size_t>, Rng&>>;

template <class Result>
struct GrownForest {
    std::vector<TreePlan> plans;
    std::vector<Result> results;  // results[t] grown from plans[t]
};

namespace detail {

template <class Grow>
GrowResult<Grow> grow_planned(const BootstrapPlanner& planner, TreePlan& plan, std::size_t t,
                              Grow& grow) {
    std::vector<std::size_t> sample;
    planner.sample(plan, sample);
    std::vector<std::uint32_t>().swap(plan.positions);
    Rng tree_rng = seed_rng(plan.seed);
    return grow(t, std::span<const std::size_t>(sample), tree_rng);
}

// Grows tree t and counts it as done for the call's control, if any.
template <class Grow>
GrowResult<Grow> grow_counted(const BootstrapPlanner& planner, TreePlan& plan, std::size_t t,
                              Grow& grow, parallel::RunControl* control) {
    GrowResult<Grow> result = grow_planned(planner, plan, t, grow);
    parallel::note_done(control);
    return result;
}

}  // namespace detail

// Plans n_trees trees with `planner` and grows them on the pool. Result must
// be default-constructible and movable.
template <class Grow>
GrownForest<GrowResult<Grow>> grow_forest(BootstrapPlanner& planner, std::size_t n_trees,
                                          Grow&& grow,
                                          Schedule schedule = Schedule::after_planning) {
    parallel::RunControl* const control = parallel::current_control();
    GrownForest<GrowResult<Grow>> out;
    out.plans.resize(n_trees);
    out.results.resize(n_trees);
    // Planning is long for large forests: a stop ends it between plans.
    const auto stopped = [control] {
        return control && control->stop.load(std::memory_order_relaxed);
    };
    if (schedule == Schedule::after_planning) {
        for (std::size_t t = 0; t < n_trees; ++t) {
            if (stopped()) throw parallel::Stopped{};
            out.plans[t] = planner.next();
        }
        parallel::parallel_for(n_trees, [&](std::size_t t) {
            out.results[t] = detail::grow_counted(planner, out.plans[t], t, grow, control);
        });
        return out;
    }
    // Item 0 plans; item t + 1 grows tree t. The planner writes plan slots
    // that no grower reads before their publication.
    std::atomic<std::size_t> planned{0};
    std::atomic<bool> plan_failed{false};
    parallel::parallel_for(n_trees + 1, [&](std::size_t item) {
        if (item == 0) {
            try {
                for (std::size_t t = 0; t < n_trees; ++t) {
                    if (stopped()) throw parallel::Stopped{};
                    out.plans[t] = planner.next();
                    planned.store(t + 1, std::memory_order_release);
                }
            } catch (...) {
                plan_failed.store(true, std::memory_order_release);
                throw;
            }
            return;
        }
        const std::size_t t = item - 1;
        while (planned.load(std::memory_order_acquire) <= t) {
            if (plan_failed.load(std::memory_order_acquire)) return;
            std::this_thread::yield();
        }
        out.results[t] = detail::grow_counted(planner, out.plans[t], t, grow, control);
    });
    return out;
}

// Streaming growth: plans n_trees trees on the calling thread, then grows
// them on the pool and hands each result to fold(result, count) as it
// finishes, one fold at a time, count being the number of results folded so
// far including this one. Once a fold returns true, trees not started yet are
// skipped and trees that finish afterwards are dropped unfolded. Returns the
// folded results in plan order. With one worker, trees grow and fold in plan
// order, so the result is the first trees of the plan up to the stop.
template <class Grow, class Fold>
std::vector<GrowResult<Grow>> grow_until(BootstrapPlanner& planner, std::size_t n_trees,
                                         Grow&& grow, Fold&& fold) {
    using Result = GrowResult<Grow>;
    parallel::RunControl* const control = parallel::current_control();
    std::vector<TreePlan> plans(n_trees);
    for (std::size_t t = 0; t < n_trees; ++t) {
        if (control && control->stop.load(std::memory_order_relaxed)) throw parallel::Stopped{};
        plans[t] = planner.next();
    }

    std::vector<std::optional<Result>> kept(n_trees);
    std::atomic<bool> stop{false};
    std::mutex fold_mutex;
    std::size_t folded = 0;  // guarded by fold_mutex
    parallel::parallel_for(n_trees, [&](std::size_t t) {
        if (stop.load(std::memory_order_acquire)) return;
        Result r = detail::grow_planned(planner, plans[t], t, grow);
        if (stop.load(std::memory_order_acquire)) return;
        {
            std::lock_guard<std::mutex> hold(fold_mutex);
            ++folded;
            if (fold(static_cast<const Result&>(r), folded)) {
                stop.store(true, std::memory_order_release);
            }
        }
        kept[t] = std::move(r);
        parallel::note_done(control);
    });

    std::vector<Result> out;
    for (std::optional<Result>& k : kept) {
        if (k) out.push_back(std::move(*k));
    }
    return out;
}

}  // namespace tw::ensemble
