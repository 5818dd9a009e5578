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
// thread ends it with Stopped. In-order folds see every tree once, in tree
// order, however the trees finish; forests fitted with a fit record give the
// same out-of-bag predictions with any thread count (also with random
// splits and a minimal impurity decrease), and a warm start the same forest
// as growing at once. A regression fit leaves its leaf samples pending:
// threads querying it at once build them once and answer alike, a save
// before any query writes the state a save after one writes, a stopped
// build leaves the rest to the next query, and shallow
// trees (whose lists are smaller than their inputs) build them at once.
// Prints "ok" and exits 0, or describes the first failure and exits 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ensemble/bootstrap.hpp"
#include "ensemble/grow_loop.hpp"
#include "ensemble/in_order.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"

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
    e.sample.resize(options.sample_size());
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
                    BootstrapOptions options{rows, bootstrap, oob, store};
                    // Smaller samples (max_samples) draw fewer positions.
                    if (rows == 300 && !store) options.draws = 71;
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
                        tw::ensemble::replay_sample(plans[u].draws, options, sample);
                        expect(sample == want[u].sample, name + ": replay_sample");
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

void check_in_order_fold() {
    const std::size_t n = 200;
    tw::ensemble::InOrderFold<std::size_t> fold(0, n);
    std::vector<std::size_t> seen;  // written by the folds only, one at a time
    tw::parallel::parallel_for(n, [&](std::size_t t) {
        // Uneven work, so that trees finish out of order.
        volatile std::size_t spin = 0;
        for (std::size_t i = 0; i < ((t * 7919) % 13) * 2000; ++i) spin = spin + i;
        fold.submit(t, t, [&](std::size_t v) { seen.push_back(v); });
    });
    std::vector<std::size_t> want(n);
    std::iota(want.begin(), want.end(), std::size_t{0});
    expect(seen == want && fold.folded() == n, "in-order fold: trees in order");
}

void check_recorded_forests() {
    const std::size_t rows = 300, cols = 4;
    std::vector<double> x(rows * cols), y(rows), yr(rows), w(rows);
    Rng data = tw::seed_rng(3);
    for (double& v : x) v = static_cast<double>(tw::gen_range_u64(data, 1000)) / 100.0;
    for (std::size_t r = 0; r < rows; ++r) {
        y[r] = x[r * cols] + x[r * cols + 1] > 10.0 ? 1.0 : 0.0;
        yr[r] = x[r * cols] * 2.0 - x[r * cols + 2];
        w[r] = 0.5 + static_cast<double>(r % 3);
    }
    const tw::MatrixView view{x.data(), rows, cols, cols};
    tw::ForestSettings settings;
    settings.n_estimators = 24;
    settings.random_state = 5;
    settings.max_features = std::string("2");
    tw::FitOptions options;
    options.record = true;
    options.oob = true;
    options.max_samples = 200;
    auto fit_clf = [&](std::size_t threads, std::uint64_t trees, const tw::ForestCore* warm) {
        tw::parallel::RunControl control;
        control.threads = threads;
        tw::parallel::ControlScope scope(&control);
        tw::ForestSettings s = settings;
        s.n_estimators = trees;
        tw::RandomForestClassifier model(s);
        tw::FitOptions o = options;
        o.warm_start = warm;
        o.balanced_subsample = true;
        model.fit(view, y, std::nullopt, o);
        return model;
    };
    const tw::RandomForestClassifier one = fit_clf(1, 24, nullptr);
    for (std::size_t threads : {2, 3}) {
        const tw::RandomForestClassifier many = fit_clf(threads, 24, nullptr);
        expect(many.save() == one.save(), "recorded fit: same forest with any thread count");
        const auto& a = one.oob().mean;
        const auto& b = many.oob().mean;
        expect(a.size() == rows * 2 && std::equal(a.begin(), a.end(), b.begin(), b.end(),
                                                  [](double u, double v) {
                                                      return u == v || (u != u && v != v);
                                                  }),
               "recorded fit: same out-of-bag predictions with any thread count");
    }
    const tw::RandomForestClassifier first = fit_clf(3, 10, nullptr);
    const tw::RandomForestClassifier warm = fit_clf(3, 24, &first);
    expect(warm.save() == one.save(), "warm start: the forest grown at once");
    expect(warm.oob().count == one.oob().count, "warm start: out-of-bag counts");

    tw::RandomForestRegressor reg(settings);
    {
        tw::parallel::RunControl control;
        control.threads = 3;
        tw::parallel::ControlScope scope(&control);
        reg.fit(view, yr, tw::Vec(w), options);
    }
    // Random splits and a minimal decrease, weighted and in count mode.
    for (const bool weighted : {false, true}) {
        std::string first_state;
        for (std::size_t threads : {1, 3}) {
            tw::parallel::RunControl control;
            control.threads = threads;
            tw::parallel::ControlScope scope(&control);
            tw::FitOptions o = options;
            o.random_splits = true;
            o.min_impurity_decrease = 1e-3;
            tw::RandomForestClassifier c(settings);
            c.fit(view, y, weighted ? std::optional<tw::Vec>(tw::Vec(w)) : std::nullopt, o);
            tw::RandomForestRegressor r(settings);
            r.fit(view, yr, weighted ? std::optional<tw::Vec>(tw::Vec(w)) : std::nullopt, o);
            const std::string state = c.save() + r.save();
            if (first_state.empty()) first_state = state;
            expect(state == first_state, "random splits: same forests with any thread count");
        }
    }
    const std::vector<double> imp = reg.feature_importances(cols);
    double total = 0.0;
    for (double v : imp) total += v;
    expect(imp.size() == cols && total > 0.999999 && total < 1.000001,
           "importances of a weighted regression forest sum to 1");
    const auto perm = reg.oob_permutation_importance(view, yr, 2, 1);
    expect(perm.drops.size() == cols * 2 && perm.drops[0] > perm.drops[3],
           "permutation importance ranks the informative feature first");
}

// Equal, NaN included.
bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](double u, double v) { return u == v || (u != u && v != v); });
}

void check_pending_leaf_samples() {
    const std::size_t rows = 500, cols = 3;
    std::vector<double> x(rows * cols), y(rows);
    Rng data = tw::seed_rng(11);
    for (double& v : x) v = static_cast<double>(tw::gen_range_u64(data, 10000)) / 1000.0;
    for (std::size_t r = 0; r < rows; ++r) y[r] = x[r * cols] * x[r * cols + 1] - x[r * cols + 2];
    const tw::MatrixView view{x.data(), rows, cols, cols};
    tw::ForestSettings settings;
    settings.n_estimators = 16;
    settings.random_state = 9;
    tw::FitOptions options;
    options.record = true;
    options.fast_growth = true;
    auto fit = [&](std::optional<std::uint64_t> depth) {
        tw::ForestSettings s = settings;
        s.max_depth = depth;
        tw::RandomForestRegressor model(s);
        model.fit(view, y, std::nullopt, options);
        return model;
    };
    const std::vector<double> levels = {0.1, 0.5, 0.9};
    const tw::RandomForestRegressor alone = fit(std::nullopt);
    expect(alone.pending_sample_work() == rows * settings.n_estimators,
           "leaf samples: a fully grown fit leaves them pending");
    const std::string before = alone.save();
    const std::vector<double> expected = alone.predict_quantiles(view, levels);
    const std::vector<double> expected_oob = alone.oob_quantiles(levels);
    expect(alone.pending_sample_work() == 0 && alone.save() == before,
           "leaf samples: saved alike before and after a query");

    const tw::RandomForestRegressor shared = fit(std::nullopt);
    std::vector<std::vector<double>> got(4);
    std::vector<int> failed(got.size(), 0);
    std::vector<std::thread> callers;
    for (std::size_t k = 0; k < got.size(); ++k) {
        callers.emplace_back([&, k] {
            try {
                got[k] = k % 2 == 0 ? shared.predict_quantiles(view, levels)
                                    : shared.oob_quantiles(levels);
            } catch (...) {
                failed[k] = 1;
            }
        });
    }
    for (std::thread& t : callers) t.join();
    for (std::size_t k = 0; k < got.size(); ++k) {
        expect(failed[k] == 0 && same_values(got[k], k % 2 == 0 ? expected : expected_oob),
               "leaf samples: threads querying a fresh fit answer as one caller");
    }
    expect(shared.save() == before, "leaf samples: built once for every caller");

    // A stop during the build leaves the trees it had not finished pending:
    // a later query builds them into the same answers.
    const tw::RandomForestRegressor stopped = fit(std::nullopt);
    {
        tw::parallel::RunControl control;
        control.threads = 2;
        tw::parallel::ControlScope scope(&control);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            control.stop.store(true);
        });
        try {
            (void)stopped.predict_quantiles(view, levels);
        } catch (const tw::parallel::Stopped&) {
        }
        stopper.join();
    }
    expect(same_values(stopped.predict_quantiles(view, levels), expected),
           "leaf samples: a stopped build leaves the rest to the next query");

    // Without out-of-bag predictions nothing of a pending tree is kept but
    // the fit's codes, so shallow trees wait too; the first query walks
    // every row to the leaf the growth of a fit that builds at once gives it.
    const tw::RandomForestRegressor shallow = fit(2);
    expect(shallow.pending_sample_work() == rows * settings.n_estimators,
           "leaf samples: shallow trees leave them pending too");
    tw::ForestSettings two = settings;
    two.max_depth = 2;
    tw::FitOptions with_oob = options;
    with_oob.oob = true;
    tw::RandomForestRegressor at_once(two);
    at_once.fit(view, y, std::nullopt, with_oob);
    expect(at_once.pending_sample_work() == 0,
           "leaf samples: shallow trees with out-of-bag predictions build them at once");
    expect(same_values(shallow.predict_quantiles(view, levels), at_once.predict_quantiles(view, levels)),
           "leaf samples: every row walked by the first query reaches its grown leaf");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    tw::parallel::request_pool_size(threads);
    check_planner();
    check_grow_loop(tw::parallel::pool_size());
    check_run_control();
    check_in_order_fold();
    check_recorded_forests();
    check_pending_leaf_samples();
    if (failures > 0) return 1;
    std::printf("ok\n");
    return 0;
}
