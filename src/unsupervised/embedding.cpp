// Classical MDS of the out-of-bag proximities: power iteration with
// deflation on the double-centred matrix B = 0.5 (P[k][l] - m_k - m_l + g),
// which is applied to vectors without ever being formed.
#include <cmath>
#include <limits>
#include <string>

#include "parallel/pool.hpp"
#include "core/errors.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw {

namespace {

constexpr int kMaxIterations = 1000;

struct Centred {
    const ProximityRows& P;
    std::vector<double> row_mean;
    double grand_mean = 0.0;

    explicit Centred(const ProximityRows& prox) : P(prox), row_mean(prox.rows.size(), 0.0) {
        const std::size_t n = P.rows.size();
        const double count = static_cast<double>(n);
        for (std::size_t k = 0; k < n; ++k) {
            double s = 0.0;
            P.for_each_nonzero(k, [&](std::size_t, double v) { s += v; });
            row_mean[k] = s / count;
        }
        double g = 0.0;
        for (double m : row_mean) g += m;
        grand_mean = g / count;
    }

    // t = B u. The product P u skips zero entries: with the sum starting at
    // +0.0, adding a zero product never changes it, so the result equals the
    // full column-order sum bit for bit.
    void apply(const std::vector<double>& u, std::vector<double>& t) const {
        const std::size_t n = u.size();
        parallel::parallel_chunks(n, 64, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                double s = 0.0;
                const auto& row = P.rows[k];
                if (row.dense) {
                    for (std::size_t l = 0; l < n; ++l) s += row.vals[l] * u[l];
                } else {
                    for (std::size_t q = 0; q < row.cols.size(); ++q)
                        s += row.vals[q] * u[row.cols[q]];
                }
                t[k] = s;
            }
        });
        double su = 0.0;
        double mu = 0.0;
        for (std::size_t k = 0; k < n; ++k) su += u[k];
        for (std::size_t k = 0; k < n; ++k) mu += row_mean[k] * u[k];
        for (std::size_t k = 0; k < n; ++k)
            t[k] = (t[k] - (row_mean[k] - grand_mean) * su - mu) * 0.5;
    }
};

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
    return s;
}

}  // namespace

std::vector<double> RandomForestUnsupervised::transform(std::size_t n_components) const {
    require_fitted();
    const std::size_t n = n_samples_;
    if (n_components > std::numeric_limits<std::size_t>::max() / sizeof(double) / n)
        throw ValueError("n_components (" + std::to_string(n_components) +
                         ") is too large: the embedding would not fit in memory");
    std::vector<double> coords(n * n_components, 0.0);
    if (n_components == 0) return coords;

    const ProximityRows prox = proximity_matrix(true);
    const Centred B(prox);

    std::vector<double> lambdas;
    std::vector<std::vector<double>> axes;  // unit eigenvectors of the found axes
    std::vector<double> v(n), u(n), t(n);
    for (std::size_t c = 0; c < n_components; ++c) {
        for (std::size_t k = 0; k < n; ++k) v[k] = (k % 2 == 0) ? 1.0 : -1.0;
        bool found = false;
        double lambda = 0.0;
        for (int iter = 0; iter < kMaxIterations; ++iter) {
            double ss = 0.0;
            for (double x : v) ss += x * x;
            const double norm = std::sqrt(ss);
            if (norm < 1e-10) break;
            for (std::size_t k = 0; k < n; ++k) u[k] = v[k] / norm;
            B.apply(u, t);
            for (std::size_t d = 0; d < axes.size(); ++d) {
                const double scale = lambdas[d] * dot(axes[d], u);
                const auto& ud = axes[d];
                for (std::size_t k = 0; k < n; ++k) t[k] = t[k] - scale * ud[k];
            }
            lambda = dot(t, u);
            double r = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const double e = t[k] - lambda * u[k];
                r += e * e;
            }
            if (r < std::fabs(lambda) * 1e-7) {
                found = true;
                break;
            }
            v.swap(t);
        }
        if (!found) continue;  // the axis stays zero and is not deflated
        const double root = std::sqrt(std::fabs(lambda));
        for (std::size_t k = 0; k < n; ++k) coords[k * n_components + c] = root * u[k];
        lambdas.push_back(lambda);
        axes.push_back(u);
    }
    return coords;
}

}  // namespace tw
