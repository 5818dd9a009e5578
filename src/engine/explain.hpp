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
//   explained_trees() -> (trees, offset): the trees of those scores as node
//       arrays (a list of dicts: children_left, children_right,
//       children_default, features, thresholds, values (nodes, outputs),
//       node_sample_weight), each leaf's values already scaled into the
//       outputs it adds to, each split's values the cover-weighted mean of
//       its children; offset is the constant per output.
#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
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

template <class Model>
PyObject* model_explained_trees(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        py::parse_no_args(args, kwargs, ":explained_trees");
        py::Shared<Model> model(self);
        const ScoreTrees parts = score_trees(*model);
        const std::size_t k = parts.offset.size();
        for (const ScoreTree& t : parts.trees) {
            if (t.tree->has_categories()) {
                throw ValueError("the model has category-set splits, which these threshold "
                                 "node arrays cannot express; explain it with its own "
                                 "explanation methods");
            }
        }
        std::uint64_t cells = 0;
        for (const ScoreTree& t : parts.trees) cells += t.tree->nodes.size();
        check_fits("the node arrays of " + std::to_string(parts.trees.size()) + " trees",
                   saturating_mul(cells, k + 6), kCellBytes);
        py::Ref list(PyList_New(static_cast<Py_ssize_t>(parts.trees.size())));
        if (!list) throw py::PyErrorSet{};
        std::vector<double> leaf;
        for (std::size_t ti = 0; ti < parts.trees.size(); ++ti) {
            const ScoreTree& st = parts.trees[ti];
            const Tree& tree = *st.tree;
            const std::size_t n = tree.nodes.size();
            std::int64_t *left, *right, *deflt, *feature;
            double *threshold, *values, *weight;
            py::Ref a_left(py::new_int64_array({n}, left));
            py::Ref a_right(py::new_int64_array({n}, right));
            py::Ref a_default(py::new_int64_array({n}, deflt));
            py::Ref a_feature(py::new_int64_array({n}, feature));
            py::Ref a_threshold(py::empty_array({n}, threshold));
            py::Ref a_values(py::empty_array({n, k}, values));
            py::Ref a_weight(py::empty_array({n}, weight));
            if (!a_left || !a_right || !a_default || !a_feature || !a_threshold || !a_values ||
                !a_weight) {
                throw py::PyErrorSet{};
            }
            std::fill(values, values + n * k, 0.0);
            leaf.resize(st.width);
            for (std::size_t i = n; i-- > 0;) {
                const Node& d = tree.nodes[i];
                weight[i] = static_cast<double>(d.n_samples);
                double* v = values + i * k;
                if (d.is_leaf()) {
                    left[i] = right[i] = deflt[i] = -1;
                    feature[i] = -2;
                    threshold[i] = -2.0;
                    if (st.classification) tree.leaf_proba(i, st.width, leaf.data());
                    else leaf[0] = d.value;
                    for (std::size_t c = 0; c < st.width; ++c) {
                        v[st.first_output + c] = leaf[c] * st.scale;
                    }
                    continue;
                }
                if (d.left <= i || d.right <= i || d.left >= n || d.right >= n) {
                    throw InternalError("explained_trees: malformed tree");
                }
                left[i] = d.left;
                right[i] = d.right;
                deflt[i] = (d.missing & kMissingLeft) != 0 ? d.left : d.right;  // where NaN goes
                feature[i] = d.feature;
                threshold[i] = d.threshold;
                const double nl = static_cast<double>(tree.nodes[d.left].n_samples);
                const double nr = static_cast<double>(tree.nodes[d.right].n_samples);
                const double zl = nl + nr > 0.0 ? nl / (nl + nr) : 0.5;
                const double zr = nl + nr > 0.0 ? nr / (nl + nr) : 0.5;
                for (std::size_t c = 0; c < k; ++c) {
                    v[c] = zl * values[d.left * k + c] + zr * values[d.right * k + c];
                }
            }
            py::Ref dict(PyDict_New());
            if (!dict) throw py::PyErrorSet{};
            py::dict_set(dict.get(), "children_left", a_left.release());
            py::dict_set(dict.get(), "children_right", a_right.release());
            py::dict_set(dict.get(), "children_default", a_default.release());
            py::dict_set(dict.get(), "features", a_feature.release());
            py::dict_set(dict.get(), "thresholds", a_threshold.release());
            py::dict_set(dict.get(), "values", a_values.release());
            py::dict_set(dict.get(), "node_sample_weight", a_weight.release());
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(ti), dict.release());
        }
        py::Ref offset(py::float_array(parts.offset));
        if (!offset) throw py::PyErrorSet{};
        return PyTuple_Pack(2, list.get(), offset.get());
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
                  "The raw scores that explain() accounts for."),                         \
        TW_METHOD("explained_trees", ::tw::engine::model_explained_trees<T>,              \
                  "explained_trees($self)\n--\n\n"                                       \
                  "The trees of the raw scores as node arrays: (trees, offset).")
