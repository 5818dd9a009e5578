// The package door's methods for the analyses of a fitted forest
// (random_forest/random_forest.hpp): out-of-bag predictions, impurity and
// out-of-bag permutation importances, leaf indices, decision paths, the
// replayed samples, the node arrays of each tree and the check of missing
// values met at splits that saw none. Shared by both forest
// classes; every result is a new NumPy array (or a tuple or dict of them).
//
// Node arrays follow the layout tools that read tree structure expect: a
// leaf has children -1, feature -2 and threshold -2.0; values have shape
// (nodes, 1, width), width being the number of classes or 1.
#pragma once
#include <cstdint>
#include <vector>

#include "core/validate.hpp"
#include "engine/run.hpp"
#include "module/py.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::engine {

// oob_predictions(): (values, counts) of the last fit, or None when it did
// not ask for out-of-bag estimates. values is (rows, width) for a
// classifier and (rows,) for a regressor.
template <class Model>
PyObject* forest_oob_predictions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        py::parse_no_args(args, kwargs, ":oob_predictions");
        py::Shared<Model> model(self);
        const OobPredictions& oob = model->oob();
        if (oob.width == 0) return py::none();
        const std::size_t rows = oob.count.size();
        py::Ref values(Model::name() == std::string_view("RandomForestClassifier")
                           ? py::float_array(oob.mean, rows, oob.width)
                           : py::float_array(oob.mean));
        py::Ref counts(py::int64_array(std::span<const std::uint32_t>(oob.count), {rows}));
        return PyTuple_Pack(2, values.get(), counts.get());
    });
}

// feature_importances(n_features)
template <class Model>
PyObject* forest_importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"n_features", nullptr};
        PyObject* on;
        py::parse_args(args, kwargs, "O:feature_importances", names, &on);
        const std::uint64_t n = py::to_count(on, "n_features");
        py::Shared<Model> model(self);
        if (n > kMaxFeatures) throw ValueError("n_features is larger than a tree can address");
        return py::float_array(model->feature_importances(static_cast<std::size_t>(n)));
    });
}

// apply(x, n_jobs=None): leaf indices, int64 (rows, trees).
template <class Model>
PyObject* forest_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "n_jobs", nullptr};
        PyObject *ox, *ojobs = Py_None;
        py::parse_args(args, kwargs, "O|O:apply", names, &ox, &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        std::vector<std::uint32_t> leaves;
        run_call(x.rows() * model->trees().size() >= kInlineVisits, "apply", threads,
                      [&] { leaves = model->apply(x.view()); });
        return py::int64_array(std::span<const std::uint32_t>(leaves),
                               {x.rows(), model->trees().size()});
    });
}

// decision_path(x, n_jobs=None): (row_begin, columns, offsets), int64.
template <class Model>
PyObject* forest_decision_path(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "n_jobs", nullptr};
        PyObject *ox, *ojobs = Py_None;
        py::parse_args(args, kwargs, "O|O:decision_path", names, &ox, &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        DecisionPaths paths;
        run_call(x.rows() * model->trees().size() >= kInlineVisits, "decision_path", threads,
                      [&] { paths = model->decision_path(x.view()); });
        using Span = std::span<const std::uint64_t>;
        py::Ref begin(py::int64_array(Span(paths.row_begin), {paths.row_begin.size()}));
        py::Ref columns(py::int64_array(Span(paths.columns), {paths.columns.size()}));
        py::Ref offsets(py::int64_array(Span(paths.offsets), {paths.offsets.size()}));
        return PyTuple_Pack(3, begin.get(), columns.get(), offsets.get());
    });
}

// sample_indices(tree): the positions tree `tree` grew on, int64.
template <class Model>
PyObject* forest_sample_indices(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"tree", nullptr};
        PyObject* ot;
        py::parse_args(args, kwargs, "O:sample_indices", names, &ot);
        const std::uint64_t t = py::to_count(ot, "tree");
        py::Shared<Model> model(self);
        if (t >= model->trees().size()) throw ValueError("tree index out of range");
        const std::vector<std::size_t> sample = model->sample_indices(static_cast<std::size_t>(t));
        return py::int64_array(std::span<const std::size_t>(sample), {sample.size()});
    });
}

// tree_arrays(tree): dict of the node arrays of tree `tree`.
template <class Model>
PyObject* forest_tree_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"tree", nullptr};
        PyObject* ot;
        py::parse_args(args, kwargs, "O:tree_arrays", names, &ot);
        const std::uint64_t t = py::to_count(ot, "tree");
        py::Shared<Model> model(self);
        if (model->is_fitted() && t >= model->trees().size()) {
            throw ValueError("tree index out of range");
        }
        const NodeTotals totals = model->tree_totals(static_cast<std::size_t>(t));
        const Tree& tree = model->trees()[t];
        const std::size_t n = tree.nodes.size();
        std::vector<std::int64_t> left(n), right(n), feature(n), samples(n), missing_left(n);
        std::vector<double> threshold(n);
        // Category-set splits: their sets as eight 32-bit words a node
        // (code c at bit c % 32 of word c / 32), zeros elsewhere.
        std::vector<std::int64_t> categorical(n, 0), bitset(n * 8, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const Node& nd = tree.nodes[i];
            if (!nd.is_leaf() && nd.is_categorical()) {
                categorical[i] = 1;
                const CategorySet& set = tree.category_sets.at(nd.cw_begin);
                for (std::size_t j = 0; j < 8; ++j) {
                    bitset[i * 8 + j] = static_cast<std::int64_t>((set[j / 2] >> (32 * (j % 2))) & 0xFFFFFFFFu);
                }
            }
            const bool leaf = nd.is_leaf();
            left[i] = leaf ? std::int64_t{-1} : std::int64_t{nd.left};
            right[i] = leaf ? std::int64_t{-1} : std::int64_t{nd.right};
            feature[i] = leaf ? std::int64_t{-2} : std::int64_t{nd.feature};
            threshold[i] = leaf ? -2.0 : nd.threshold;
            samples[i] = static_cast<std::int64_t>(nd.n_samples);
            missing_left[i] = !leaf && (nd.missing & kMissingLeft) != 0 ? 1 : 0;
        }
        using I64 = std::span<const std::int64_t>;
        py::Ref dict(PyDict_New());
        if (!dict) throw py::PyErrorSet{};
        py::dict_set(dict.get(), "children_left", py::int64_array(I64(left), {n}));
        py::dict_set(dict.get(), "children_right", py::int64_array(I64(right), {n}));
        py::dict_set(dict.get(), "feature", py::int64_array(I64(feature), {n}));
        py::dict_set(dict.get(), "threshold", py::float_array(threshold));
        py::dict_set(dict.get(), "missing_go_to_left", py::int64_array(I64(missing_left), {n}));
        py::dict_set(dict.get(), "is_categorical", py::int64_array(I64(categorical), {n}));
        py::dict_set(dict.get(), "categorical_bitset", py::int64_array(I64(bitset), {n, 8}));
        py::dict_set(dict.get(), "value", py::float_array(totals.value, {n, 1, totals.width}));
        py::dict_set(dict.get(), "n_node_samples", py::int64_array(I64(samples), {n}));
        py::dict_set(dict.get(), "weighted_n_node_samples", py::float_array(totals.weight));
        return dict.release();
    });
}

// oob_permutation_importance(x, y, n_repeats=5, random_state=None,
// n_jobs=None): drops, float (n_features, n_repeats).
template <class Model>
PyObject* forest_oob_permutation(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "y", "n_repeats", "random_state", "n_jobs",
                                            nullptr};
        PyObject *ox, *oy, *orep = nullptr, *oseed = Py_None, *ojobs = Py_None;
        py::parse_args(args, kwargs, "OO|OOO:oob_permutation_importance", names, &ox, &oy,
                       &orep, &oseed, &ojobs);
        const py::Matrix x = py::to_matrix(ox, "x");
        const py::Vector y = py::to_vector(oy, "y");
        const std::uint64_t repeats = orep ? py::to_count(orep, "n_repeats") : 5;
        const std::optional<std::uint64_t> seed = py::to_opt_count(oseed, "random_state");
        const std::size_t threads = threads_for(ojobs);
        py::Shared<Model> model(self);
        if (repeats < 1 || repeats > (std::uint64_t{1} << 20)) {
            throw ValueError("n_repeats must be in [1, 2^20]");
        }
        PermutationImportance result;
        run_released("oob_permutation_importance", threads, Progress{}, 0, [&] {
            result = model->oob_permutation_importance(x.view(), y.view(),
                                                       static_cast<std::size_t>(repeats), seed);
        });
        return py::float_array(result.drops, x.view().cols, result.repeats);
    });
}

// unseen_missing(x): None, or (row, feature, tree) of the first row, in row
// order, whose path in some tree (the first such tree) meets a missing value
// at a split whose training rows had none of that feature.
template <class Model>
PyObject* forest_unseen_missing(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const py::Matrix x = parse_rows(args, kwargs, "O|O:unseen_missing", threads);
        py::Shared<Model> model(self);
        if (!model->is_fitted()) throw ValueError("the forest has not been fitted");
        const MatrixView v = x.view();
        const std::vector<Tree>& trees = model->trees();
        for (const Tree& t : trees) require_width(v, t.n_features_used, "x", "the fitted forest reads column");
        for (std::size_t r = 0; r < v.rows; ++r) {
            if (!v.has_missing(r, r + 1, v.cols)) continue;
            for (std::size_t t = 0; t < trees.size(); ++t) {
                const std::int64_t f = trees[t].unseen_missing(v.row(r));
                if (f >= 0) return Py_BuildValue("(nLn)", static_cast<Py_ssize_t>(r), static_cast<long long>(f), static_cast<Py_ssize_t>(t));
            }
        }
        return py::none();
    });
}

}  // namespace tw::engine

// The method-table entries of the analyses of forest class T.
#define TW_FOREST_ANALYSES(T)                                                                 \
    TW_METHOD("unseen_missing", ::tw::engine::forest_unseen_missing<T>,                      \
              "unseen_missing($self, x, n_jobs=None)\n--\n\n"),                             \
    TW_METHOD("oob_predictions", ::tw::engine::forest_oob_predictions<T>,                    \
              "oob_predictions($self)\n--\n\n"),                                              \
        TW_METHOD("feature_importances", ::tw::engine::forest_importances<T>,                \
                  "feature_importances($self, n_features)\n--\n\n"),                         \
        TW_METHOD("apply", ::tw::engine::forest_apply<T>, "apply($self, x, n_jobs=None)\n--\n\n"), \
        TW_METHOD("decision_path", ::tw::engine::forest_decision_path<T>,                    \
                  "decision_path($self, x, n_jobs=None)\n--\n\n"),                           \
        TW_METHOD("sample_indices", ::tw::engine::forest_sample_indices<T>,                  \
                  "sample_indices($self, tree)\n--\n\n"),                                    \
        TW_METHOD("tree_arrays", ::tw::engine::forest_tree_arrays<T>,                        \
                  "tree_arrays($self, tree)\n--\n\n"),                                       \
        TW_METHOD("oob_permutation_importance", ::tw::engine::forest_oob_permutation<T>,     \
                  "oob_permutation_importance($self, x, y, n_repeats=5, random_state=None, " \
                  "n_jobs=None)\n--\n\n")
