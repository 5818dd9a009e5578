// Method bodies shared by the classes of the package door.
//
// Fit call: fit(x, y, sample_weight=None, n_jobs=None, verbose=0,
// categories=None, max_bins=None, lossless_bins=True), categories naming
// the categorical columns (to_categories below), max_bins the histogram
// growers' bins per feature (to_max_bins) and lossless_bins their edge rule
// (histogram/histogram.hpp; False gives the `_rs` classes' edges, for
// comparisons); models growing exact trees read neither. It grows
// a fresh model with the object's settings while the interpreter lock is
// released (engine/run.hpp) and replaces the fitted one only when the whole
// fit succeeded, so a failed or interrupted fit leaves the object as it was.
// Row call: a method whose first argument is a matrix of rows, whose last
// is n_jobs, and whose result is a float64 array made from the engine's
// result vector without copying it. Calls over few rows run inline; models
// whose own calls use one thread are sliced by rows (parallel/rows.hpp).
#pragma once
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "engine/limits.hpp"
#include "histogram/histogram.hpp"
#include "engine/run.hpp"
#include "parallel/rows.hpp"
#include "module/py.hpp"

namespace tw::engine {

// The categorical columns of a fit: None (none), or a sequence of one count
// per column, 0 for a numeric column and k (1..256) for one of category codes
// 0..k-1 (the values themselves are checked by the fit).
// max_bins: None (256) or an int in 2..most (256, or kWideBins for the
// forests, whose histograms take wide codes).
inline std::size_t to_max_bins(PyObject* obj, std::size_t most = kNarrowBins) {
    using namespace tw::py;
    if (obj == nullptr || obj == Py_None) return kNarrowBins;
    const std::uint64_t n = to_count(obj, "max_bins");
    if (n < 2 || n > most) {
        PyErr_Format(PyExc_ValueError, "max_bins must be an int in 2..%zu or None", most);
        throw PyErrorSet{};
    }
    return static_cast<std::size_t>(n);
}

// What a fit call passes to the model's fit besides the data.
struct FitExtras {
    std::vector<std::uint16_t> categories;
    std::size_t max_bins = 256;
    bool lossless_bins = true;
    BinSettings bins() const { return BinSettings{max_bins, lossless_bins}; }
};

inline std::vector<std::uint16_t> to_categories(PyObject* obj) {
    using namespace tw::py;
    std::vector<std::uint16_t> out;
    if (obj == nullptr || obj == Py_None) return out;
    Ref seq(PySequence_Fast(obj, "categories must be None or a sequence of counts"));
    if (!seq) throw PyErrorSet{};
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    bool any = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::uint64_t k = to_count(PySequence_Fast_GET_ITEM(seq.get(), i), "categories");
        if (k > 256) {
            PyErr_Format(PyExc_ValueError,
                         "categories: column %zd has %llu categories, more than 256", i,
                         static_cast<unsigned long long>(k));
            throw PyErrorSet{};
        }
        out.push_back(static_cast<std::uint16_t>(k));
        any = any || k != 0;
    }
    if (!any) out.clear();
    return out;
}

// `fresh(model)` returns a new unfitted model with the settings of `model`;
// `items(model)` the number of work items (trees) the fit reports progress
// over; `check(model, x)` refuses requests too large to fit (limits.hpp)
// before any work.
template <class Model, class Fresh, class Items, class Check>
PyObject* fit_call(PyObject* self, PyObject* args, PyObject* kwargs, Fresh&& fresh,
                   Items&& items, Check&& check) {
    using namespace tw::py;
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "y", "sample_weight", "n_jobs", "verbose",
                                            "categories", "max_bins", "lossless_bins",
                                            nullptr};
        PyObject *ox, *oy, *ow = Py_None, *ojobs = Py_None, *overbose = Py_None;
        PyObject *ocategories = Py_None, *obins = Py_None, *olossless = Py_True;
        parse_args(args, kwargs, "OO|OOOOOO:fit", names, &ox, &oy, &ow, &ojobs, &overbose,
                   &ocategories, &obins, &olossless);
        const Matrix x = to_matrix(ox, "x");
        const Vector y = to_vector(oy, "y");
        const std::optional<Vector> w = to_opt_vector(ow, "sample_weight");
        const std::size_t threads = threads_for(ojobs);
        const Progress progress = progress_for(overbose);
        const FitExtras extras{to_categories(ocategories), to_max_bins(obins),
                               to_flag(olossless, "lossless_bins")};
        Exclusive<Model> model(self);
        check(*model, x.view());
        Model grown = fresh(*model);
        std::optional<Vec> weights;
        if (w) weights = w->view();
        run_released("fit", threads, progress, items(*model),
                     [&] { grown.fit(x.view(), y.view(), weights, extras); });
        *model = std::move(grown);
        return none();
    });
}

// Parses (x, n_jobs=None) with `format` such as "O|O:predict".
inline py::Matrix parse_rows(PyObject* args, PyObject* kwargs, const char* format,
                             std::size_t& threads, const char* name = "x") {
    using namespace tw::py;
    const char* const names[] = {name, "n_jobs", nullptr};
    PyObject *ox, *ojobs = Py_None;
    parse_args(args, kwargs, format, names, &ox, &ojobs);
    Matrix x = to_matrix(ox, name);
    threads = threads_for(ojobs);
    return x;
}

// Runs `compute()` (returning the result vector) under the call's threads,
// released when `visits` (rows times trees, or a like measure of the work)
// is large, and returns it as an array of `shape`.
template <class Compute>
PyObject* rows_result(std::size_t visits, std::size_t threads, const char* what,
                      std::initializer_list<std::size_t> shape, Compute&& compute) {
    check_result_fits(what, shape);
    std::vector<double> out;
    run_call(visits >= kInlineVisits, what, threads, [&] { out = compute(); });
    return py::adopt_array(std::move(out), shape);
}

}  // namespace tw::engine
