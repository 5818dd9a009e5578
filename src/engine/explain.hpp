// The package door's explanation methods, shared by every supervised model
// class (tree, forests, boosted ensembles): exact Shapley values and
// interaction values from the ensemble explainer (tree_shap/ensemble_shap.hpp)
// built from the model for the call, computed with the interpreter lock
// released when the work is large.
//
//   explain(x, x_background=None, n_jobs=None) -> (values, expected_value)
//       values (rows, outputs, features); path-dependent without a
//       background, interventional against its rows with one.
//   explain_interactions(x, n_jobs=None) -> (values, expected_value)
//       path-dependent, values (rows, outputs, features, features).
//   raw_output(x, n_jobs=None) -> (rows, outputs): the scores explained.
#pragma once
#include <optional>
#include <vector>

#include "engine/calls.hpp"
#include "engine/limits.hpp"
#include "engine/run.hpp"
#include "module/py.hpp"
#include "tree_shap/ensemble_sources.hpp"

namespace tw::engine {

// Rough work of explaining `rows` rows: rows x trees x a few hundred node
// visits, for the inline-or-released choice.
inline std::size_t explain_work(std::size_t rows, const EnsembleShap& ex) {
    return saturating_mul(saturating_mul(rows, ex.n_trees() + 1), 256);
}

inline PyObject* values_and_expected(std::vector<double>&& values,
                                     std::initializer_list<std::size_t> shape,
                                     const std::vector<double>& expected) {
    py::Ref v(py::adopt_array(std::move(values), shape));
    if (!v) return nullptr;
    py::Ref e(py::float_array(expected));
    if (!e) return nullptr;
    return PyTuple_Pack(2, v.get(), e.get());
}

template <class Model>
PyObject* model_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "x_background", "n_jobs", nullptr};
        PyObject *ox, *obg = Py_None, *ojobs = Py_None;
        py::parse_args(args, kwargs, "O|OO:explain", names, &ox, &obg, &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        std::optional<py::Matrix> bg;
        if (obg != Py_None) bg.emplace(py::to_matrix(obg, "x_background"));
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        const MatrixView xv = x.view();
        const EnsembleShap ex = explainer_of(*model, xv.cols);
        ex.check_scratch(false);
        check_result_fits("explain", {xv.rows, ex.n_outputs(), ex.n_features()});
        std::size_t work = explain_work(xv.rows, ex);
        if (bg) work = saturating_mul(work, bg->rows());
        std::vector<double> values, expected;
        run_call(work >= kInlineVisits, "explain", threads, [&] {
            if (bg) {
                values = ex.explain_interventional(xv, bg->view());
                expected = ex.expected_value(bg->view());
            } else {
                values = ex.explain(xv);
                expected = ex.expected_value();
            }
        });
        return values_and_expected(std::move(values), {xv.rows, ex.n_outputs(), ex.n_features()},
                                   expected);
    });
}

template <class Model>
PyObject* model_explain_interactions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const py::Matrix x = parse_rows(args, kwargs, "O|O:explain_interactions", threads);
        py::Shared<Model> model(self);
        const MatrixView xv = x.view();
        const EnsembleShap ex = explainer_of(*model, xv.cols);
        const std::size_t p = ex.n_features();
        check_result_fits("explain_interactions", {xv.rows, ex.n_outputs(), p, p});
        ex.check_scratch(true);
        std::vector<double> values;
        run_call(saturating_mul(explain_work(xv.rows, ex), p + 1) >= kInlineVisits,
                 "explain_interactions", threads, [&] { values = ex.explain_interactions(xv); });
        return values_and_expected(std::move(values), {xv.rows, ex.n_outputs(), p, p},
                                   ex.expected_value());
    });
}

template <class Model>
PyObject* model_raw_output(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const py::Matrix x = parse_rows(args, kwargs, "O|O:raw_output", threads);
        py::Shared<Model> model(self);
        const MatrixView xv = x.view();
        const EnsembleShap ex = explainer_of(*model, xv.cols);
        check_result_fits("raw_output", {xv.rows, ex.n_outputs()});
        std::vector<double> out;
        run_call(saturating_mul(xv.rows, ex.n_trees()) >= kInlineVisits, "raw_output", threads,
                 [&] { out = ex.raw_output(xv); });
        return py::adopt_array(std::move(out), {xv.rows, ex.n_outputs()});
    });
}

}  // namespace tw::engine

#define TW_EXPLAIN_METHODS(T)                                                              \
    TW_METHOD("explain", ::tw::engine::model_explain<T>,                                  \
              "explain($self, x, x_background=None, n_jobs=None)\n--\n\n"                 \
              "Exact Shapley values: (values, expected_value)."),                         \
        TW_METHOD("explain_interactions", ::tw::engine::model_explain_interactions<T>,    \
                  "explain_interactions($self, x, n_jobs=None)\n--\n\n"                   \
                  "Exact path-dependent interaction values: (values, expected_value)."),  \
        TW_METHOD("raw_output", ::tw::engine::model_raw_output<T>,                        \
                  "raw_output($self, x, n_jobs=None)\n--\n\n"                             \
                  "The raw scores that explain() accounts for.")
