// Checks the ensemble explainer (tree_shap/ensemble_shap.hpp) on the pool.
//
//   explain_check <threads>
//
// A forest classifier and a boosted regressor are explained (path-dependent,
// interventional, interactions) under a run control with one thread and
// with <threads>: every result must be bit-identical, locally accurate
// (expected value + sum of values = raw output), the interactions must sum
// to the values, and a stop set before the call must end it with Stopped.
// Run sanitized too (AddressSanitizer, ThreadSanitizer).
// Prints "ok" and exits 0, or describes the first failure and exits 1.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boosting/regressor.hpp"
#include "parallel/pool.hpp"
#include "random_forest/random_forest.hpp"
#include "tree_shap/ensemble_sources.hpp"

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok && failures++ == 0) std::printf("failed: %s\n", what.c_str());
}

struct Results {
    std::vector<double> path, interventional, interactions, raw, expected, expected_bg;
};

Results explain_all(const tw::EnsembleShap& ex, const tw::MatrixView& x, const tw::MatrixView& bg,
                    std::size_t threads) {
    tw::parallel::RunControl control;
    control.threads = threads;
    tw::parallel::ControlScope scope(&control);
    Results r;
    r.path = ex.explain(x);
    r.interventional = ex.explain_interventional(x, bg);
    r.interactions = ex.explain_interactions(x);
    r.raw = ex.raw_output(x);
    r.expected = ex.expected_value();
    r.expected_bg = ex.expected_value(bg);
    return r;
}

void check_model(const char* name, const tw::EnsembleShap& ex, const tw::MatrixView& x,
                 const tw::MatrixView& bg, std::size_t threads) {
    const Results one = explain_all(ex, x, bg, 1);
    const Results many = explain_all(ex, x, bg, threads);
    expect(one.path == many.path && one.interventional == many.interventional &&
               one.interactions == many.interactions && one.raw == many.raw,
           std::string(name) + ": results depend on the thread count");
    const std::size_t k = ex.n_outputs(), p = ex.n_features();
    double scale = 0.0;
    for (double v : one.raw) scale = std::fmax(scale, std::fabs(v));
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < k; ++c) {
            double a = one.expected[c], b = one.expected_bg[c];
            for (std::size_t f = 0; f < p; ++f) {
                a += one.path[(r * k + c) * p + f];
                b += one.interventional[(r * k + c) * p + f];
                double row = 0.0;
                for (std::size_t g = 0; g < p; ++g) row += one.interactions[((r * k + c) * p + f) * p + g];
                expect(std::fabs(row - one.path[(r * k + c) * p + f]) <= 1e-10 * (1.0 + scale),
                       std::string(name) + ": interactions do not sum to the values");
            }
            const double raw = one.raw[r * k + c];
            expect(std::fabs(a - raw) <= 1e-10 * (1.0 + scale),
                   std::string(name) + ": path-dependent values are not locally accurate");
            expect(std::fabs(b - raw) <= 1e-10 * (1.0 + scale),
                   std::string(name) + ": interventional values are not locally accurate");
        }
    }
    tw::parallel::RunControl control;
    control.threads = threads;
    control.stop.store(true);
    bool stopped = false;
    {
        tw::parallel::ControlScope scope(&control);
        try {
            (void)ex.explain(x);
        } catch (const tw::parallel::Stopped&) {
            stopped = true;
        }
    }
    expect(stopped, std::string(name) + ": a stopped call did not end with Stopped");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3;
    tw::parallel::request_pool_size(threads);
    const std::size_t n = 300, p = 5;
    std::uint64_t state = 88172645463325252ull;  // xorshift64
    auto uniform = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    std::vector<double> x(n * p), yc(n), yr(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t f = 0; f < p; ++f) x[i * p + f] = uniform() * 2.0 - 1.0;
        yr[i] = x[i * p] * 2.0 + x[i * p + 1] * x[i * p + 2];
        yc[i] = yr[i] > 0.3 ? 2.0 : (yr[i] > -0.3 ? 1.0 : 0.0);
    }
    const tw::MatrixView view{x.data(), n, p, p};
    const tw::MatrixView rows{x.data(), 7, p, p};
    const tw::MatrixView bg{x.data() + 100 * p, 20, p, p};

    tw::ForestSettings settings;
    settings.n_estimators = 12;
    settings.random_state = 3;
    tw::RandomForestClassifier forest(settings);
    forest.fit(view, tw::Vec(yc), std::nullopt);
    check_model("forest", tw::explainer_of(forest, p), rows, bg, threads);

    tw::boosting::BoostConfig config;
    config.n_estimators = 4;
    config.rf_n_estimators = 3;
    config.rf_max_depth = 5;
    config.random_state = 1;
    tw::boosting::TarnwoodRegressor boosted(config, 0.2);
    boosted.fit(view, tw::Vec(yr), std::nullopt);
    check_model("boosted", tw::explainer_of(boosted, p), rows, bg, threads);

    if (failures) return 1;
    std::printf("ok\n");
    return 0;
}
