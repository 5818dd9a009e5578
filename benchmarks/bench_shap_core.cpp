// Times the two exact algorithms of the TreeSHAP core on one saved
// DecisionTree; driven by benchmarks/bench_shap.py.
//
//   bench_shap_core STATE X ROWS COLS N_EXPLAIN ENUM_BUDGET_SECONDS
// STATE: the tree's pickled state bytes; X: ROWS x COLS raw float64 (the
// background, whose first N_EXPLAIN rows are explained). Prints
//   m=<distinct split features> path_us=<per row> enum_us=<per row or nan> enum_rows=<n>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decision_tree/decision_tree.hpp"
#include "tree_shap/tree_shap.hpp"

namespace {

std::string slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// CPU time of this process: the machine may be shared, and wall time would
// count the waits.
double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: STATE X ROWS COLS N_EXPLAIN ENUM_BUDGET\n");
        return 2;
    }
    const std::string state = slurp(argv[1]);
    const std::string raw = slurp(argv[2]);
    const std::size_t rows = std::strtoull(argv[3], nullptr, 10);
    const std::size_t cols = std::strtoull(argv[4], nullptr, 10);
    const std::size_t n_explain = std::strtoull(argv[5], nullptr, 10);
    const double budget = std::atof(argv[6]);
    if (raw.size() != rows * cols * sizeof(double)) return 2;
    std::vector<double> x(rows * cols);
    std::memcpy(x.data(), raw.data(), raw.size());

    const tw::DecisionTree tree = tw::DecisionTree::load(state);
    const tw::MatrixView background{x.data(), rows, cols, cols};
    const tw::TreeShap ex(tree, background, "regression");
    const std::size_t m = ex.split_features().size();

    tw::MatrixView explained{x.data(), n_explain, cols, cols};
    double t0 = cpu_now();
    const auto path = ex.explain(explained, tw::TreeShap::Method::path);
    const double path_us = (cpu_now() - t0) / double(n_explain) * 1e6;

    // Enumeration: one row first, then as many rows as fit in the budget.
    double enum_us = std::nan("");
    std::size_t enum_rows = 0;
    double worst = 0.0;
    // Skipped when the 2^M walks of one row would take more than seconds.
    const double walks = std::ldexp(double(ex.n_nodes()), int(m));
    if (m <= tw::TreeShap::kEnumerationMax && walks <= 2e9) {
        explained.rows = 1;
        t0 = cpu_now();
        auto e = ex.explain(explained, tw::TreeShap::Method::enumeration);
        double one = (cpu_now() - t0);
        enum_rows = 1;
        if (one < budget / 2) {
            enum_rows = std::min<std::size_t>(n_explain, std::max(1.0, budget / std::max(one, 1e-9)));
            explained.rows = enum_rows;
            t0 = cpu_now();
            e = ex.explain(explained, tw::TreeShap::Method::enumeration);
            one = (cpu_now() - t0) / double(enum_rows);
        }
        enum_us = one * 1e6;
        for (std::size_t i = 0; i < e.size(); ++i) worst = std::max(worst, std::fabs(e[i] - path[i]));
    }
    std::printf("m=%zu path_us=%.3f enum_us=%.3f enum_rows=%zu enum_vs_path=%.3g\n", m, path_us,
                enum_us, enum_rows, worst);
    return 0;
}
