// Driver for tests/test_unsupervised_reference.py.
//
//   plan <seed> <n> <p> <trees>
//       prints the fit plan of the master generator as JSON.
//   check <seed> <trees> <max_features|-> <min_samples_leaf> <k> < matrix
//       reads "n p" and n*p values (row-major) from stdin, fits, and compares
//       every analysis with a plain pair-by-pair implementation, bit for bit.
//       Prints one "ok <name>" or "MISMATCH <name> ..." line per analysis.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "unsupervised/unsupervised.hpp"

using namespace tw;

namespace {

void print_plan(std::uint64_t seed, std::size_t n, std::size_t p, std::size_t trees) {
    Rng master = seed_rng(seed);
    const std::vector<std::vector<std::size_t>> perms = plan_columns(master, n, p);
    ensemble::BootstrapPlanner planner(master, tree_plan_options(n));
    auto list = [](const auto& v) {
        std::string s = "[";
        for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
        return s + "]";
    };
    std::cout << "{\"column_permutations\":[";
    for (std::size_t j = 0; j < p; ++j) std::cout << (j ? "," : "") << list(perms[j]);
    std::cout << "],\"trees\":[";
    std::vector<std::size_t> sample;
    for (std::size_t t = 0; t < trees; ++t) {
        const ensemble::TreePlan plan = planner.next();
        planner.sample(plan, sample);
        std::cout << (t ? "," : "") << "{\"bootstrap_indices\":" << list(sample)
                  << ",\"oob_rows\":" << list(plan.oob) << ",\"tree_seed\":\""
                  << plan.seed << "\"}";
    }
    std::cout << "],\"next_u64_after_plan\":\"" << master.next_u64() << "\"}\n";
}

// Heap numbering of the path: root 0, left 2c + 1, right 2c + 2.
std::uint64_t leaf_code(const Tree& tree, const double* row) {
    std::uint64_t code = 0;
    std::size_t i = 0;
    while (tree.nodes[i].left != 0) {
        const Node& nd = tree.nodes[i];
        if (row[nd.feature] <= nd.threshold) {
            code = 2 * code + 1;
            i = nd.left;
        } else {
            code = 2 * code + 2;
            i = nd.right;
        }
    }
    return code;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void report(const std::string& name, bool ok) {
    std::cout << (ok ? "ok " : "MISMATCH ") << name << "\n";
}

struct Reference {
    const RandomForestUnsupervised& model;
    const std::vector<double>& x;
    std::size_t n, p, T;
    std::vector<std::vector<std::uint64_t>> codes;  // [t][i]

    Reference(const RandomForestUnsupervised& m, const std::vector<double>& data, std::size_t rows,
              std::size_t cols)
        : model(m), x(data), n(rows), p(cols), T(m.trees().size()), codes(T) {
        for (std::size_t t = 0; t < T; ++t)
            for (std::size_t i = 0; i < n; ++i)
                codes[t].push_back(leaf_code(model.trees()[t], x.data() + i * p));
    }

    bool in_oob(std::size_t t, std::size_t i) const {
        const auto& s = model.oob_sets()[t];
        return std::find(s.begin(), s.end(), i) != s.end();
    }

    std::vector<double> proximity(bool use_oob) const {
        std::vector<double> P(n * n, 0.0);
        std::vector<std::uint64_t> V(n * n, 0);
        for (std::size_t t = 0; t < T; ++t)
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = i; j < n; ++j) {
                    const bool valid = !use_oob || (!model.oob_sets()[t].empty() &&
                                                    (in_oob(t, i) || in_oob(t, j)));
                    if (!valid) continue;
                    if (codes[t][i] == codes[t][j]) {
                        P[i * n + j] += 1.0;
                        if (i != j) P[j * n + i] += 1.0;
                    }
                    V[i * n + j] += 1;
                    if (i != j) V[j * n + i] += 1;
                }
        for (std::size_t c = 0; c < n * n; ++c)
            if (V[c] > 0) P[c] = P[c] / static_cast<double>(V[c]);
        return P;
    }

    // Groups visited in hash-map order: the result must not depend on it.
    std::vector<std::vector<Neighbor>> sparse(std::size_t K) const {
        std::vector<std::vector<Neighbor>> rows(n);
        auto by_value = [](const Neighbor& a, const Neighbor& b) {
            return a.proximity > b.proximity;
        };
        for (std::size_t t = 0; t < T; ++t) {
            std::unordered_map<std::uint64_t, std::vector<std::size_t>> groups;
            for (std::size_t j = 0; j < n; ++j) groups[codes[t][j]].push_back(j);
            for (const auto& [code, members] : groups)
                for (std::size_t a : members)
                    for (std::size_t b : members) {
                        if (a == b) continue;
                        if (model.oob_sets()[t].empty() || !(in_oob(t, a) || in_oob(t, b)))
                            continue;
                        auto& list = rows[a];
                        auto it = std::find_if(list.begin(), list.end(),
                                               [&](const Neighbor& e) { return e.index == b; });
                        if (it != list.end()) {
                            it->proximity += 1.0;
                        } else {
                            list.push_back({b, 1.0});
                        }
                        if (list.size() > 2 * K) {
                            std::stable_sort(list.begin(), list.end(), by_value);
                            list.resize(K);
                        }
                    }
        }
        for (auto& list : rows) {
            for (auto& e : list) e.proximity = e.proximity / static_cast<double>(T);
            std::stable_sort(list.begin(), list.end(), by_value);
            if (list.size() > K) list.resize(K);
        }
        return rows;
    }

    std::vector<double> predict(const std::vector<double>& xn, std::size_t m) const {
        std::vector<double> R(m * n, 0.0);
        for (std::size_t t = 0; t < T; ++t)
            for (std::size_t l = 0; l < m; ++l) {
                const std::uint64_t c = leaf_code(model.trees()[t], xn.data() + l * p);
                for (std::size_t j = 0; j < n; ++j)
                    if (codes[t][j] == c) R[l * n + j] += 1.0;
            }
        for (double& v : R) v = v / static_cast<double>(T);
        return R;
    }

    static std::vector<double> standardise(const std::vector<double>& ref,
                                           const std::vector<double>& values) {
        std::vector<double> s = ref;
        std::stable_sort(s.begin(), s.end());
        const double centre = s[s.size() / 2];
        std::vector<double> d;
        for (double v : ref) d.push_back(std::min(std::fabs(v - centre), 5.0 * centre));
        std::stable_sort(d.begin(), d.end());
        double sum = 0.0;
        for (double v : d) sum += v;
        double spread = sum / static_cast<double>(ref.size());
        if (!(spread > 0.0)) spread = 1.0;
        std::vector<double> out;
        for (double v : values) out.push_back(std::min((v - centre) / spread, 20.0));
        return out;
    }

    std::vector<double> raw_dense() const {
        const std::vector<double> P = proximity(true);
        std::vector<double> raw(n);
        for (std::size_t i = 0; i < n; ++i) {
            double s = 0.0;
            for (std::size_t j = 0; j < n; ++j) s += P[i * n + j] * P[i * n + j];
            raw[i] = s > 0.0 ? static_cast<double>(n) / s : 0.0;
        }
        return raw;
    }

    std::vector<double> embedding(std::size_t comps) const {
        const std::vector<double> P = proximity(true);
        std::vector<double> m(n);
        for (std::size_t k = 0; k < n; ++k) {
            double s = 0.0;
            for (std::size_t l = 0; l < n; ++l) s += P[k * n + l];
            m[k] = s / static_cast<double>(n);
        }
        double g = 0.0;
        for (double v : m) g += v;
        g = g / static_cast<double>(n);
        std::vector<double> out(n * comps, 0.0), lam(comps, 0.0);
        std::vector<std::vector<double>> U(comps, std::vector<double>(n, 0.0));
        for (std::size_t c = 0; c < comps; ++c) {
            std::vector<double> v(n);
            for (std::size_t k = 0; k < n; ++k) v[k] = k % 2 ? -1.0 : 1.0;
            for (int it = 0; it < 1000; ++it) {
                double ss = 0.0;
                for (double q : v) ss += q * q;
                const double norm = std::sqrt(ss);
                if (norm < 1e-10) break;
                std::vector<double> u(n), t(n, 0.0);
                for (std::size_t k = 0; k < n; ++k) u[k] = v[k] / norm;
                for (std::size_t k = 0; k < n; ++k) {
                    double s = 0.0;
                    for (std::size_t l = 0; l < n; ++l) s += P[k * n + l] * u[l];
                    t[k] = s;
                }
                double su = 0.0, mu = 0.0;
                for (std::size_t k = 0; k < n; ++k) su += u[k];
                for (std::size_t k = 0; k < n; ++k) mu += m[k] * u[k];
                for (std::size_t k = 0; k < n; ++k) t[k] = (t[k] - (m[k] - g) * su - mu) * 0.5;
                for (std::size_t d = 0; d < c; ++d) {
                    double dt = 0.0;
                    for (std::size_t k = 0; k < n; ++k) dt += U[d][k] * u[k];
                    for (std::size_t k = 0; k < n; ++k) t[k] = t[k] - lam[d] * dt * U[d][k];
                }
                double l = 0.0;
                for (std::size_t k = 0; k < n; ++k) l += t[k] * u[k];
                double r = 0.0;
                for (std::size_t k = 0; k < n; ++k) r += (t[k] - l * u[k]) * (t[k] - l * u[k]);
                if (r < std::fabs(l) * 1e-7) {
                    lam[c] = l;
                    U[c] = u;
                    for (std::size_t k = 0; k < n; ++k) out[k * comps + c] = std::sqrt(std::fabs(l)) * u[k];
                    break;
                }
                v = t;
            }
        }
        return out;
    }

    std::vector<double> importances(std::optional<std::uint64_t> seed) const {
        auto acc = [&](std::size_t t, const std::vector<double>& data) {
            const auto& oob = model.oob_sets()[t];
            if (oob.empty()) return 0.0;
            std::size_t real = 0;
            for (std::uint32_t i : oob)
                if (model.trees()[t].predict(data.data() + i * p) > 0.5) ++real;
            return static_cast<double>(real) / static_cast<double>(oob.size());
        };
        double b = 0.0;
        for (std::size_t t = 0; t < T; ++t) b += acc(t, x);
        b = b / static_cast<double>(T);
        Rng rng = seed_rng(seed);
        std::vector<double> imp(p);
        for (std::size_t f = 0; f < p; ++f) {
            std::vector<std::size_t> perm(n);
            for (std::size_t i = 0; i < n; ++i) perm[i] = i;
            shuffle(rng, std::span<std::size_t>(perm));
            std::vector<double> permuted = x;
            for (std::size_t i = 0; i < n; ++i) permuted[i * p + f] = x[perm[i] * p + f];
            double s = 0.0;
            for (std::size_t t = 0; t < T; ++t) s += acc(t, permuted);
            imp[f] = b - s / static_cast<double>(T);
        }
        double total = 0.0;
        for (double v : imp) total += std::max(v, 0.0);
        if (total > 0.0)
            for (double& v : imp) v = std::max(v, 0.0) / total;
        return imp;
    }
};

int check(std::uint64_t seed, std::size_t trees, const std::string& max_features,
          std::uint64_t min_leaf, std::size_t k) {
    std::size_t n = 0, p = 0;
    std::cin >> n >> p;
    std::vector<double> x(n * p);
    for (double& v : x) std::cin >> v;

    UnsupervisedParams params;
    params.n_estimators = trees;
    params.random_state = seed;
    params.min_samples_leaf = min_leaf;
    if (max_features != "-") params.max_features = max_features;
    RandomForestUnsupervised model(params);
    model.fit(MatrixView{x.data(), n, p, p});
    const Reference ref(model, x, n, p);

    for (bool use_oob : {true, false})
        report(use_oob ? "proximity_oob" : "proximity_all",
               same_bits(model.proximity_matrix(use_oob).to_dense(), ref.proximity(use_oob)));

    const std::size_t K = std::min<std::size_t>(std::max<std::size_t>(k, 1), n - 1);
    const auto fast = model.proximity_sparse(k);
    const auto slow = ref.sparse(K);
    bool sparse_ok = fast.size() == slow.size();
    for (std::size_t i = 0; sparse_ok && i < n; ++i) {
        sparse_ok = fast[i].neighbors.size() == slow[i].size();
        for (std::size_t q = 0; sparse_ok && q < slow[i].size(); ++q)
            sparse_ok = fast[i].neighbors[q].index == slow[i][q].index &&
                        fast[i].neighbors[q].proximity == slow[i][q].proximity;
    }
    report("sparse", sparse_ok);

    // New rows: the training rows shifted a little, plus one far away.
    std::vector<double> xn(x.begin(), x.begin() + std::min<std::size_t>(n, 5) * p);
    for (double& v : xn) v += 0.01;
    for (std::size_t j = 0; j < p; ++j) xn.push_back(1e6);
    const std::size_t m = xn.size() / p;
    const MatrixView xnv{xn.data(), m, p, p};
    report("predict_proximity", same_bits(model.predict_proximity(xnv).to_dense(), ref.predict(xn, m)));

    const std::vector<double> raw = ref.raw_dense();
    report("outlier_scores", same_bits(model.outlier_scores(false), Reference::standardise(raw, raw)));

    const std::vector<double> R = ref.predict(xn, m);
    std::vector<double> raw_new(m);
    for (std::size_t l = 0; l < m; ++l) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j) s += R[l * n + j] * R[l * n + j];
        raw_new[l] = s > 0.0 ? static_cast<double>(n) / s : 1.7976931348623157e308;
    }
    report("predict_outlier_scores",
           same_bits(model.predict_outlier_scores(xnv), Reference::standardise(raw, raw_new)));

    report("transform", same_bits(model.transform(3), ref.embedding(3)));
    report("feature_importances", same_bits(model.feature_importances(), ref.importances(seed)));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "plan" && argc == 6) {
        print_plan(std::stoull(argv[2]), std::stoull(argv[3]), std::stoull(argv[4]),
                   std::stoull(argv[5]));
        return 0;
    }
    if (cmd == "check" && argc == 7) {
        return check(std::stoull(argv[2]), std::stoull(argv[3]), argv[4], std::stoull(argv[5]),
                     std::stoull(argv[6]));
    }
    std::cerr << "usage: see the header of this file\n";
    return 2;
}
