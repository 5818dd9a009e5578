// Grows one tree from data given on stdin and prints it in pre-order; used by
// tests/test_decision_tree.py to check the growers on arbitrary position
// lists (repeats, any order), max_features and the leaf constructor.
//
// Input (whitespace separated):
//   mode n_rows n_cols classification max_depth max_features
//   min_samples_split min_samples_leaf seed n_positions
//   x (row-major), y, w, positions
// mode: exact | bootstrap | leaf; max_depth / max_features: -1 = absent.
// Output, one line per node:
//   S <feature> <threshold> <n_samples> <left> <right>
//   L <value> <n_samples> <n_class_weights> [<class> <weight>]...
// Floats are printed as hexadecimal floats so that they read back exactly.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "grow/grow.hpp"

int main() {
    std::string mode;
    std::size_t rows = 0, cols = 0, n_pos = 0;
    int cls = 0;
    long long max_depth = -1, max_features = -1;
    std::uint64_t mss = 2, msl = 1, seed = 0;
    std::cin >> mode >> rows >> cols >> cls >> max_depth >> max_features >> mss >> msl >> seed >> n_pos;
    std::vector<double> x(rows * cols), y(rows), w(rows);
    std::vector<std::size_t> pos(n_pos);
    auto read_double = [](double& v) {
        std::string t;
        std::cin >> t;
        v = std::strtod(t.c_str(), nullptr);  // accepts hexadecimal floats
    };
    for (double& v : x) read_double(v);
    for (double& v : y) read_double(v);
    for (double& v : w) read_double(v);
    for (std::size_t& p : pos) std::cin >> p;

    tw::MatrixView view{x.data(), rows, cols, cols};
    tw::TreeParams params;
    if (max_depth >= 0) params.max_depth = static_cast<std::uint64_t>(max_depth);
    if (max_features >= 0) params.max_features = static_cast<std::uint64_t>(max_features);
    params.min_samples_split = mss;
    params.min_samples_leaf = msl;
    params.is_classification = cls != 0;
    tw::Rng rng = tw::seed_rng(seed);

    tw::Tree tree;
    try {
        if (mode == "exact") {
            tree = tw::build_tree_exact(view, y, w, pos, params, rng);
        } else if (mode == "bootstrap") {
            tree = tw::build_tree_on_bootstrap_exact(view, y, w, pos, params, rng);
        } else {
            tw::create_leaf(tree, y, w, pos, params.is_classification);
        }
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 0;
    }
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const tw::Node& n = tree.nodes[i];
        if (!n.is_leaf()) {
            std::printf("S %llu %a %llu %u %u\n", static_cast<unsigned long long>(n.feature), n.threshold,
                        static_cast<unsigned long long>(n.n_samples), n.left, n.right);
        } else {
            std::printf("L %a %llu %u", n.value, static_cast<unsigned long long>(n.n_samples),
                        n.has_class_weights ? n.cw_count : 0u);
            for (const tw::ClassWeight& cw : tree.leaf_weights(i)) {
                if (!n.has_class_weights) break;
                std::printf(" %llu %a", static_cast<unsigned long long>(cw.cls), cw.weight);
            }
            std::printf("%s\n", n.has_class_weights ? "" : " R");
        }
    }
    std::printf("used %llu depth %zu leaves %zu\n", static_cast<unsigned long long>(tree.n_features_used),
                tree.depth(), tree.n_leaves());
    return 0;
}
