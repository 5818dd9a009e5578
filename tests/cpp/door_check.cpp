// Checks the parallel paths behind the package's engine module, without
// Python.
//
//   door_check <threads>
//
// - Sliced calls: a tree's predictions, class probabilities and Shapley
//   values computed slice by slice on the pool equal the whole-matrix call,
//   under run controls of one to three threads.
// - Dense proximity tables filled from an upper triangle or from full rows
//   equal the tables' own dense form.
// - Eight threads reading one fitted forest, tree and explainer at once,
//   each under its own run control, get the results of a single reader.
// - A stop token ends the growth of a tree from inside it.
// Prints "ok" and exits 0, or describes the first failure and exits 1.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/rng.hpp"
#include "decision_tree/decision_tree.hpp"
#include "module/proximity_sources.hpp"
#include "parallel/control.hpp"
#include "parallel/pool.hpp"
#include "parallel/rows.hpp"
#include "random_forest/random_forest.hpp"
#include "tree_shap/tree_shap.hpp"
#include "unsupervised/unsupervised.hpp"

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok && failures++ == 0) std::printf("failed: %s\n", what.c_str());
}

struct Data {
    std::vector<double> x;
    std::vector<double> y;
    tw::MatrixView view(std::size_t rows) const { return {x.data(), rows, 4, 4}; }
};

Data make_data(std::size_t n) {
    Data d;
    tw::Rng rng = tw::seed_rng(11);
    d.x.resize(n * 4);
    for (double& v : d.x) v = static_cast<double>(rng.next_u64() % 1000) / 100.0 - 5.0;
    for (std::size_t i = 0; i < n; ++i) {
        d.y.push_back(d.x[i * 4] + 0.5 * d.x[i * 4 + 1] > 0 ? 1.0 : 0.0);
    }
    return d;
}

// Runs f under a run control of `threads` threads.
template <class F>
auto under(std::size_t threads, F&& f) {
    tw::parallel::RunControl control;
    control.threads = threads;
    tw::parallel::ControlScope scope(&control);
    return f();
}

void check_sliced_calls(const Data& d) {
    const tw::MatrixView x = d.view(d.y.size());
    tw::DecisionTree tree(8, "entropy", "classification", 3, 2, 1);
    tree.fit(x, d.y, std::nullopt);
    const tw::TreeShap shap(tree, x, "classification");
    const std::vector<double> proba = tree.predict_proba(x);
    const std::vector<double> pred = tree.predict(x);
    const tw::MatrixView few = d.view(150);
    const std::vector<double> phi = shap.explain(few);
    expect(proba.size() == 2 * d.y.size() && phi.size() == 150 * 2 * 4 && tree.get_depth() > 2,
           "the tree and its explainer answer for every row");
    for (std::size_t threads : {1, 2, 3}) {
        const std::string t = " with " + std::to_string(threads) + " threads";
        expect(under(threads, [&] {
                   return tw::parallel::sliced_rows(x, 2, 97, [&](const tw::MatrixView& part) {
                       return tree.predict_proba(part);
                   });
               }) == proba,
               "sliced probabilities" + t);
        expect(under(threads, [&] {
                   return tw::parallel::sliced_rows(x, 1, 1000, [&](const tw::MatrixView& part) {
                       return tree.predict(part);
                   });
               }) == pred,
               "sliced predictions" + t);
        expect(under(threads, [&] {
                   return tw::parallel::sliced_rows(few, 2 * 4, 16, [&](const tw::MatrixView& part) {
                       return shap.explain(part);
                   });
               }) == phi,
               "sliced explanations" + t);
    }
    const tw::MatrixView none = d.view(0);
    expect(tw::parallel::sliced_rows(none, 2, 16, [&](const tw::MatrixView& part) {
               return tree.predict_proba(part);
           }).empty(),
           "no rows, no values");
}

void check_dense_tables(const Data& d) {
    tw::UnsupervisedParams p;
    p.n_estimators = 30;
    p.random_state = 5;
    tw::RandomForestUnsupervised forest(p);
    forest.fit(d.view(300));
    for (bool use_oob : {true, false}) {
        const tw::ProximityUpper upper = forest.proximity_upper(use_oob);
        const std::vector<double> want = upper.full().to_dense();
        expect(want.size() == 300 * 300 && want[0] > 0.0, "a full training table");
        for (std::size_t threads : {1, 3}) {
            std::vector<double> got(want.size(), -1.0);
            under(threads, [&] {
                tw::py::fill_dense(tw::py::UpperSource{upper}, got.data());
                return 0;
            });
            expect(got == want, "dense table from the upper triangle");
        }
    }
    const tw::ProximityRows rows = forest.predict_proximity(d.view(700));
    const std::vector<double> want = rows.to_dense();
    std::vector<double> got(want.size(), -1.0);
    under(2, [&] {
        tw::py::fill_dense(tw::py::RowsSource{rows}, got.data());
        return 0;
    });
    expect(got == want, "dense table from full rows");
}

void check_concurrent_readers(const Data& d) {
    const tw::MatrixView x = d.view(d.y.size());
    tw::ForestSettings s;
    s.n_estimators = 12;
    s.random_state = 1;
    tw::RandomForestClassifier forest(s);
    forest.fit(x, d.y, std::nullopt);
    tw::DecisionTree tree(6, "entropy", "classification", 3, 2, 1);
    tree.fit(x, d.y, std::nullopt);
    const tw::TreeShap shap(tree, x, "classification");
    const tw::MatrixView few = d.view(60);
    const std::vector<double> proba = forest.predict_proba(x);
    const std::vector<double> phi = shap.explain(few);
    std::vector<int> same(8, 0);
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < 8; ++r) {
        readers.emplace_back([&, r] {
            const std::size_t threads = 1 + r % 3;
            bool ok = under(threads, [&] { return forest.predict_proba(x); }) == proba;
            ok = ok && under(threads, [&] {
                     return tw::parallel::sliced_rows(few, 8, 7, [&](const tw::MatrixView& part) {
                         return shap.explain(part);
                     });
                 }) == phi;
            same[r] = ok ? 1 : 0;
        });
    }
    for (std::thread& t : readers) t.join();
    for (std::size_t r = 0; r < 8; ++r) {
        expect(same[r] == 1, "reader " + std::to_string(r) + " saw the single reader's results");
    }
}

// A stop token set while a tree grows ends the growth with Stopped, in the
// exact grower and in the forests' histogram grower alike; without it the
// same fits succeed.
void check_stop_inside_trees(const Data& d) {
    const tw::MatrixView x = d.view(d.y.size());
    std::atomic<bool> stop{true};
    bool stopped_tree = false, stopped_forest = false;
    {
        tw::parallel::StopScope token(&stop);
        try {
            tw::DecisionTree tree(std::nullopt, "entropy", "regression", 3, 2, 1);
            tree.fit(x, d.y, std::nullopt);
        } catch (const tw::parallel::Stopped&) {
            stopped_tree = true;
        }
        try {
            tw::ForestSettings s;
            s.n_estimators = 2;
            tw::RandomForestRegressor forest(s);
            forest.fit(x, d.y, std::nullopt);
        } catch (const tw::parallel::Stopped&) {
            stopped_forest = true;
        }
    }
    expect(stopped_tree && stopped_forest, "a stop token ends growing trees");
    tw::DecisionTree tree(std::nullopt, "entropy", "regression", 3, 2, 1);
    tree.fit(x, d.y, std::nullopt);
    expect(tree.get_n_leaves() > 1, "without a stop token the tree grows");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    tw::parallel::request_pool_size(threads);
    const Data d = make_data(2000);
    check_sliced_calls(d);
    check_dense_tables(d);
    check_concurrent_readers(d);
    check_stop_inside_trees(d);
    if (failures > 0) return 1;
    std::printf("ok\n");
    return 0;
}
