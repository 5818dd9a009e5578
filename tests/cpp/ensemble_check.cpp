// Checks the bootstrap planner and the parallel grow loop.
//
//   ensemble_check <threads>
//
// Plans must equal plain draws from the forest generator (sample, then tree
// seed, tree by tree), whether samples are stored or replayed, and leave the
// generator where those draws leave it; out-of-bag lists must be the rows the
// sample missed. Grown results must come back in plan order under both
// schedules, an exception thrown by one tree must reach the caller, and a
// streaming growth must keep exactly the trees it folded, in plan order.
// Under a run control, a forest grows with the control's thread count into
// the same results, counts its trees as done, and a stop set from another
// thread ends it with Stopped.
// Prints "ok" and exits 0, or describes the first failure and exits 1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ensemble/bootstrap.hpp"
#include "ensemble/grow_loop.hpp"
#include "parallel/pool.hpp"

namespace {

using tw::Rng;
using tw::ensemble::BootstrapPlanner;
using tw::ensemble::BootstrapOptions;
using tw::ensemble::TreePlan;

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok && failures++ == 0) std::printf("failed: %s\n", what.c_str());
}

// One tree's plan as plain draws.
struct Expected {
    std::vector<std::size_t> sample;
    std::uint64_t seed;
    std::vector<std::uint32_t> oob;
};

Expected draw_plainly(Rng& rng, const BootstrapOptions& options) {
    Expected e;
    e.sample.resize(options.rows);
    if (options.bootstrap) {
        for (std::size_t& v : e.sample) v = tw::gen_range_u64(rng, options.rows);
    } else {
        std::iota(e.sample.begin(), e.sample.end(), std::size_t{0});
    }
    e.seed = rng.next_u64();
    if (options.bootstrap) {
        const std::set<std::size_t> drawn(e.sample.begin(), e.sample.end());
        for (std::size_t i = 0; i < options.oob_rows; ++i) {
            if (!drawn.count(i)) e.oob.push_back(static_cast<std::uint32_t>(i));
        }
    }
    return e;
}

void check_planner() {
    for (const std::size_t rows : {0, 1, 2, 7, 300}) {
        for (const bool bootstrap : {true, false}) {
            for (const bool store : {true, false}) {
                for (const std::size_t oob : {std::size_t{0}, rows / 2, rows}) {
                    const BootstrapOptions options{rows, bootstrap, oob, store};
                    const std::string name = "rows " + std::to_string(rows) + " bootstrap " +
                                             std::to_string(bootstrap) + " store " +
                                             std::to_string(store) + " oob " +
                                             std::to_string(oob);
                    Rng forest = tw::seed_rng(rows * 31 + oob);
                    Rng plain = forest;
                    BootstrapPlanner planner(forest, options);
                    std::vector<TreePlan> plans;
                    std::vector<Expected> want;
                    for (int t = 0; t < 5; ++t) {
                        plans.push_back(planner.next());
                        want.push_back(draw_plainly(plain, options));
                    }
                    expect(forest.state() == plain.state(), name + ": generator left elsewhere");
                    std::vector<std::size_t> sample;
                    for (std::size_t t = 0; t < plans.size(); ++t) {
                        // Samples replay in any order, any number of times.
                        const std::size_t u = plans.size() - 1 - t;
                        planner.sample(plans[u], sample);
                        expect(sample == want[u].sample, name + ": sample");
                        planner.sample(plans[u], sample);
                        expect(sample == want[u].sample, name + ": second replay");
                        expect(plans[u].seed == want[u].seed, name + ": tree seed");
                        expect(plans[u].oob == want[u].oob, name + ": out-of-bag rows");
                        expect(plans[u].positions.empty() == !(store && bootstrap && rows > 0),
                               name + ": stored sample");
                    }
                }
            }
        }
    }
}

// A grown "tree": which plan it came from, its sample and its first draw.
struct Fake {
    std::size_t t = 0;
    std::vector<std::size_t> sample;
    std::uint64_t first = 0;
    bool operator==(const Fake&) const = default;
};

auto fake_grow = [](std::size_t t, std::span<const std::size_t> sample, Rng& rng) {
    return Fake{t, std::vector<std::size_t>(sample.begin(), sample.end()), rng.next_u64()};
};

void check_grow_loop(std::size_t threads) {
    const BootstrapOptions options{50, true, 50, false};
    const std::size_t n_trees = 23;
    // Reference: plans drawn plainly, trees grown in order.
    Rng plain = tw::seed_rng(4);
    std::vector<Fake> want;
    for (std::size_t t = 0; t < n_trees; ++t) {
        const Expected e = draw_plainly(plain, options);
        Rng tree_rng = tw::seed_rng(e.seed);
        want.push_back(Fake{t, e.sample, tree_rng.next_u64()});
    }
    for (const auto schedule :
         {tw::ensemble::Schedule::after_planning, tw::ensemble::Schedule::when_planned}) {
        const std::string name =
            schedule == tw::ensemble::Schedule::after_planning ? "after planning" : "when planned";
        Rng forest = tw::seed_rng(4);
        BootstrapPlanner planner(forest, options);
        const auto grown = tw::ensemble::grow_forest(planner, n_trees, fake_grow, schedule);
        expect(grown.results.size() == n_trees && grown.plans.size() == n_trees, name + ": size");
        for (std::size_t t = 0; t < n_trees && t < grown.results.size(); ++t) {
            const Fake& g = grown.results[t];
            expect(g.t == t && g.sample == want[t].sample && g.first == want[t].first,
                   name + ": result " + std::to_string(t));
        }
        expect(forest.state() == plain.state(), name + ": generator left elsewhere");

        // A failing tree: the exception reaches the caller, whatever ran.
        Rng again = tw::seed_rng(4);
        BootstrapPlanner failing(again, options);
        bool caught = false;
        try {
            tw::ensemble::grow_forest(
                failing, n_trees,
                [](std::size_t t, std::span<const std::size_t> s, Rng& rng) {
                    if (t == 5) throw std::runtime_error("tree 5");
                    return fake_grow(t, s, rng);
                },
                schedule);
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "tree 5";
        }
        expect(caught, name + ": exception of a tree");
    }

    // Streaming: stop once 6 trees are folded.
    for (const std::size_t stop_at : {std::size_t{6}, n_trees + 1}) {
        const std::string name = "streaming, stop at " + std::to_string(stop_at);
        Rng forest = tw::seed_rng(4);
        BootstrapPlanner planner(forest, options);
        std::vector<std::size_t> folded;
        std::size_t last_count = 0;
        bool counts_in_order = true;
        const std::vector<Fake> kept = tw::ensemble::grow_until(
            planner, n_trees, fake_grow, [&](const Fake& g, std::size_t count) {
                counts_in_order = counts_in_order && count == last_count + 1;
                last_count = count;
                folded.push_back(g.t);
                return count == stop_at;
            });
        expect(counts_in_order, name + ": fold counts");
        std::vector<std::size_t> kept_plans;
        for (const Fake& g : kept) {
            kept_plans.push_back(g.t);
            expect(g.sample == want[g.t].sample && g.first == want[g.t].first,
                   name + ": kept result " + std::to_string(g.t));
        }
        std::sort(folded.begin(), folded.end());
        expect(kept_plans == folded, name + ": kept trees are the folded ones, in plan order");
        const std::size_t expected = std::min(stop_at, n_trees);
        if (threads == 1) {
            std::vector<std::size_t> first(expected);
            std::iota(first.begin(), first.end(), std::size_t{0});
            expect(kept_plans == first, name + ": one worker keeps the first trees");
        } else {
            expect(kept.size() >= expected, name + ": stopped before the fold asked to");
        }
    }
}

void check_run_control() {
    const BootstrapOptions options{40, true, 40, false};
    auto grow_all = [&](std::size_t n_trees) {
        Rng forest = tw::seed_rng(9);
        BootstrapPlanner planner(forest, options);
        return tw::ensemble::grow_forest(
                   planner, n_trees,
                   [](std::size_t t, std::span<const std::size_t> sample, Rng& rng) {
                       return Fake{t, std::vector<std::size_t>(sample.begin(), sample.end()),
                                   rng.next_u64()};
                   })
            .results;
    };
    const std::vector<Fake> want = grow_all(17);
    for (std::size_t threads : {1, 2, 3}) {
        tw::parallel::RunControl control;
        control.threads = threads;
        tw::parallel::ControlScope scope(&control);
        const std::vector<Fake> got = grow_all(17);
        expect(got == want, "run control: same trees with " + std::to_string(threads) + " threads");
        expect(control.done.load() == 17, "run control: every tree counted as done");
    }
    // A stop set by another thread while trees grow.
    tw::parallel::RunControl control;
    control.threads = 2;
    bool stopped = false;
    std::thread stopper([&] {
        while (control.done.load() < 3) std::this_thread::yield();
        control.stop.store(true);
    });
    try {
        tw::parallel::ControlScope scope(&control);
        Rng forest = tw::seed_rng(9);
        BootstrapPlanner planner(forest, options);
        tw::ensemble::grow_forest(planner, 5000,
                                  [](std::size_t t, std::span<const std::size_t>, Rng& rng) {
                                      return Fake{t, {}, rng.next_u64()};
                                  });
    } catch (const tw::parallel::Stopped&) {
        stopped = true;
    }
    stopper.join();
    expect(stopped || control.done.load() == 5000, "run control: a stop ends the forest");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    tw::parallel::request_pool_size(threads);
    check_planner();
    check_grow_loop(tw::parallel::pool_size());
    check_run_control();
    if (failures > 0) return 1;
    std::printf("ok\n");
    return 0;
}
