// The package door's methods for the uncertainty of a fitted regression
// forest (random_forest/leaf_samples.hpp): quantile regression forest
// quantiles of new rows and of the training rows (out of bag), and
// out-of-bag prediction intervals. Every result is a new float64 array;
// the work runs with the interpreter lock released when it is large.
//
// Levels: a 1-D float64 array of quantile levels in [0, 1].
#pragma once
#include <string>

#include "engine/calls.hpp"
#include "module/py.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::engine {

// predict_quantiles(x, quantiles, n_jobs=None): (rows, levels).
template <class Model>
PyObject* forest_predict_quantiles(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "quantiles", "n_jobs", nullptr};
        PyObject *ox, *oq, *ojobs = Py_None;
        py::parse_args(args, kwargs, "OO|O:predict_quantiles", names, &ox, &oq, &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        const py::Vector q = py::to_vector(oq, "quantiles");
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        const std::size_t visits =
            saturating_add(saturating_mul(x.rows(), model->trees().size()), model->pending_sample_work());
        return rows_result(visits, threads, "predict_quantiles",
                           {x.rows(), q.view().size()},
                           [&] { return model->predict_quantiles(x.view(), q.view()); });
    });
}

// oob_quantiles(quantiles, n_jobs=None): (training rows, levels).
template <class Model>
PyObject* forest_oob_quantiles(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"quantiles", "n_jobs", nullptr};
        PyObject *oq, *ojobs = Py_None;
        py::parse_args(args, kwargs, "O|O:oob_quantiles", names, &oq, &ojobs);
        const py::Vector q = py::to_vector(oq, "quantiles");
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        const std::size_t rows = model->record() ? model->record()->rows : 0;
        const std::size_t visits =
            saturating_add(saturating_mul(rows, model->trees().size()), model->pending_sample_work());
        return rows_result(visits, threads, "oob_quantiles",
                           {rows, q.view().size()},
                           [&] { return model->oob_quantiles(q.view()); });
    });
}

// predict_interval(x, alpha, method="jackknife+", n_jobs=None): (rows, 2);
// method "jackknife+" or "quantile".
template <class Model>
PyObject* forest_predict_interval(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "alpha", "method", "n_jobs", nullptr};
        PyObject *ox, *oalpha, *omethod = nullptr, *ojobs = Py_None;
        py::parse_args(args, kwargs, "OO|OO:predict_interval", names, &ox, &oalpha, &omethod,
                       &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        const double alpha = py::to_float(oalpha, "alpha");
        const std::string method = omethod ? py::to_text(omethod, "method") : "jackknife+";
        const std::size_t threads = threads_for(ojobs);
        using Interval = typename Model::Interval;
        Interval kind;
        if (method == "jackknife+") kind = Interval::jackknife;
        else if (method == "quantile") kind = Interval::quantile;
        else throw ValueError("method must be 'jackknife+' or 'quantile', got '" + method + "'");
        py::Shared<Model> model(self);
        const std::size_t rows = model->record() ? model->record()->rows : 0;
        // Each query row meets every training row once per tree that left it out.
        const std::size_t visits = saturating_add(
            saturating_mul(x.rows() + 1, rows + model->trees().size()), model->pending_sample_work());
        return rows_result(visits, threads, "predict_interval", {x.rows(), 2},
                           [&] { return model->predict_interval(x.view(), alpha, kind); });
    });
}

template <class Model>
PyObject* forest_has_leaf_samples(PyObject* self, void*) {
    return py::guarded([&]() -> PyObject* {
        py::Shared<Model> model(self);
        return py::py_bool(model->has_leaf_samples());
    });
}

}  // namespace tw::engine

// The method-table entries of the uncertainty methods of regression forest T.
#define TW_FOREST_INTERVALS(T)                                                               \
    TW_METHOD("predict_quantiles", ::tw::engine::forest_predict_quantiles<T>,               \
              "predict_quantiles($self, x, quantiles, n_jobs=None)\n--\n\n"),                \
        TW_METHOD("oob_quantiles", ::tw::engine::forest_oob_quantiles<T>,                   \
                  "oob_quantiles($self, quantiles, n_jobs=None)\n--\n\n"),                   \
        TW_METHOD("predict_interval", ::tw::engine::forest_predict_interval<T>,             \
                  "predict_interval($self, x, alpha, method='jackknife+', n_jobs=None)\n--\n\n")
