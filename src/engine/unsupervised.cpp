// tarnwood._engine.UnsupervisedForest: the synthetic-data forest of
// unsupervised/ behind the package door. Same settings (without the
// process-wide n_jobs: threads are chosen per call), saved states and
// results as `_rs` RandomForestUnsupervised. Proximity tables are written
// cell by cell, in parallel, straight into new NumPy arrays; fits and the
// heavy analyses run with the interpreter lock released.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/proximity_sources.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "parallel/pool.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw::engine {
namespace {

using namespace tw::py;
using Model = tw::RandomForestUnsupervised;

// Work measures for the inline-or-released choice.
std::size_t tree_visits(const Model& m, std::size_t rows) { return rows * m.trees().size(); }

// Fills a new n_rows x width array from the table `make()` computes, both
// under the call's threads (released when `visits` is large).
template <class Make>
PyObject* table_result(std::size_t visits, std::size_t threads, const char* what,
                       std::size_t n_rows, std::size_t width, Make&& make) {
    check_result_fits(what, {n_rows, width});
    double* data = nullptr;
    Ref out(empty_array({n_rows, width}, data));
    run_call(visits >= kInlineVisits, what, threads, [&] {
        const auto table = make();
        if (table.rows.size() != n_rows || table.width != width) {
            throw InternalError("proximity table does not match its shape");
        }
        if constexpr (std::is_same_v<std::decay_t<decltype(table)>, ProximityUpper>) {
            fill_dense(UpperSource{table}, data);
        } else {
            fill_dense(RowsSource{table}, data);
        }
    });
    return out.release();
}

PyObject* forest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        UnsupervisedParams p =
            parse_unsupervised_settings(args, kwargs, "|OOOOOOO:UnsupervisedForest", false);
        return make_instance(type, new Model(std::move(p)));
    });
}

// fit(x, n_jobs=None, verbose=0): grows a new forest and replaces the fitted
// one only when the whole fit succeeds.
PyObject* forest_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "n_jobs", "verbose", nullptr};
        PyObject *ox, *ojobs = Py_None, *overbose = Py_None;
        parse_args(args, kwargs, "O|OO:fit", names, &ox, &ojobs, &overbose);
        const Matrix x = to_matrix(ox, "x");
        const std::size_t threads = threads_for(ojobs);
        const Progress progress = progress_for(overbose);
        Exclusive<Model> model(self);
        // Every tree keeps its out-of-bag rows (over a byte a training row).
        const std::uint64_t trees = model->params().n_estimators;
        check_fits("n_estimators = " + std::to_string(trees) + " trees on " +
                       std::to_string(x.rows()) + " rows",
                   trees, kMinTreeBytes + x.rows());
        auto grown = std::make_unique<Model>(model->params());
        run_released("fit", threads, progress, model->params().n_estimators,
                     [&] { grown->fit(x.view()); });
        auto* box = reinterpret_cast<Box<Model>*>(self);
        std::unique_ptr<Model> old(box->value);
        box->value = grown.release();
        return none();
    });
}

// ---- planned forests grown in batches (unsupervised/batches.cpp) ----------

// plan_batches(rows, n_features) -> bytes
PyObject* forest_plan_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rows", "n_features", nullptr};
        PyObject *orows, *ocols;
        parse_args(args, kwargs, "OO:plan_batches", names, &orows, &ocols);
        const std::uint64_t rows = to_count(orows, "rows");
        const std::uint64_t cols = to_count(ocols, "n_features");
        Shared<Model> model(self);
        const std::uint64_t trees = model->params().n_estimators;
        check_fits("n_estimators = " + std::to_string(trees) + " trees", trees, 48);
        return py_bytes(model->plan_batches(rows, cols));
    });
}

std::span<const std::uint8_t> byte_span(std::string_view v) {
    return {reinterpret_cast<const std::uint8_t*>(v.data()), v.size()};
}

// combined_bins(plan, bins) -> bytes: the combined matrix's bins from the
// real rows' bins (both feature after feature).
PyObject* forest_combined_bins(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"plan", "bins", nullptr};
        PyObject *oplan, *obins;
        parse_args(args, kwargs, "OO:combined_bins", names, &oplan, &obins);
        const std::string_view plan = to_bytes(oplan, "plan");
        const std::string_view bins = to_bytes(obins, "bins");
        std::vector<std::uint8_t> out;
        run_released("combined_bins", 1, Progress{}, 0,
                     [&] { out = Model::combined_bins(plan, byte_span(bins)); });
        return py_bytes(std::string(out.begin(), out.end()));
    });
}

// grow_batch(plan, bins, edges, first, end, n_jobs=None) -> bytes
PyObject* forest_grow_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"plan", "bins", "edges", "first", "end", "n_jobs",
                                            nullptr};
        PyObject *oplan, *obins, *oedges, *ofirst, *oend, *ojobs = Py_None;
        parse_args(args, kwargs, "OOOOO|O:grow_batch", names, &oplan, &obins, &oedges, &ofirst,
                   &oend, &ojobs);
        const std::string_view plan = to_bytes(oplan, "plan");
        const std::string_view bins = to_bytes(obins, "bins");
        const std::vector<std::vector<double>> edges = to_edges(oedges);
        const std::uint64_t first = to_count(ofirst, "first");
        const std::uint64_t end = to_count(oend, "end");
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        std::string out;
        run_released("grow_batch", threads, Progress{}, 0, [&] {
            out = model->grow_batch(plan, byte_span(bins), edges, first, end);
        });
        return py_bytes(out);
    });
}

// merge_batches(plan, batches, x, n_jobs=None): installs the batches with
// the training rows x; the object changes only when the merge succeeds.
PyObject* forest_merge_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"plan", "batches", "x", "n_jobs", nullptr};
        PyObject *oplan, *obatches, *ox, *ojobs = Py_None;
        parse_args(args, kwargs, "OOO|O:merge_batches", names, &oplan, &obatches, &ox, &ojobs);
        const std::string_view plan = to_bytes(oplan, "plan");
        if (!PyList_Check(obatches)) {
            PyErr_Format(PyExc_TypeError, "argument 'batches': expected a list, got %s",
                         Py_TYPE(obatches)->tp_name);
            throw PyErrorSet{};
        }
        std::vector<std::string_view> batches;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obatches); ++i) {
            batches.push_back(to_bytes(PyList_GET_ITEM(obatches, i), "batches"));
        }
        const Matrix x = to_matrix(ox, "x");
        const std::size_t threads = threads_for(ojobs);
        Exclusive<Model> model(self);
        auto merged = std::make_unique<Model>(model->params());
        run_released("merge_batches", threads, Progress{}, 0,
                     [&] { merged->merge_batches(plan, batches, x.view()); });
        auto* box = reinterpret_cast<Box<Model>*>(self);
        std::unique_ptr<Model> old(box->value);
        box->value = merged.release();
        return none();
    });
}

// (use_oob=True, n_jobs=None)
PyObject* forest_proximity_matrix(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"use_oob", "n_jobs", nullptr};
        PyObject *o = nullptr, *ojobs = Py_None;
        parse_args(args, kwargs, "|OO:proximity_matrix", names, &o, &ojobs);
        const bool use_oob = o ? to_flag(o, "use_oob") : true;
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        const std::size_t n = model->n_samples();
        return table_result(tree_visits(*model, n), threads, "proximity_matrix", n, n,
                            [&] { return model->proximity_upper(use_oob); });
    });
}

PyObject* forest_predict_proximity(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict_proximity", threads);
        Shared<Model> model(self);
        return table_result(tree_visits(*model, x.rows()), threads, "predict_proximity",
                            x.rows(), model->n_samples(),
                            [&] { return model->predict_proximity(x.view()); });
    });
}

// Neighbour lists as the three arrays of a CSR matrix (indptr, indices,
// data), one row per list.
PyObject* csr_arrays(const std::vector<SparseProximityRow>& rows) {
    std::vector<std::uint64_t> indptr(rows.size() + 1, 0);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        indptr[r + 1] = indptr[r] + rows[r].neighbors.size();
    }
    std::vector<std::uint64_t> indices(indptr.back());
    std::vector<double> data(indptr.back());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::size_t at = indptr[r];
        for (const Neighbor& nb : rows[r].neighbors) {
            indices[at] = nb.index;
            data[at++] = nb.proximity;
        }
    }
    Ref a(count_array(indptr));
    Ref b(count_array(indices));
    const std::size_t nnz = data.size();
    Ref c(adopt_array(std::move(data), {nnz}));
    return check(PyTuple_Pack(3, a.get(), b.get(), c.get())).release();
}

// proximity_sparse(k=None, n_jobs=None): the k largest out-of-bag
// proximities per training row as the three arrays of a CSR matrix
// (indptr, indices, data).
PyObject* forest_proximity_sparse(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"k", "n_jobs", nullptr};
        PyObject *o = Py_None, *ojobs = Py_None;
        parse_args(args, kwargs, "|OO:proximity_sparse", names, &o, &ojobs);
        const auto k = to_opt_count(o, "k");
        const std::size_t threads = threads_for(ojobs);
        Exclusive<Model> model(self);
        std::vector<SparseProximityRow> rows;
        run_call(tree_visits(*model, model->n_samples()) >= kInlineVisits, "proximity_sparse",
                 threads, [&] { rows = model->proximity_sparse(k); });
        return csr_arrays(rows);
    });
}

// Training rows [first, end) as a table of the call: (first, end, ...).
std::pair<std::size_t, std::size_t> row_range(const Model& model, PyObject* ofirst,
                                              PyObject* oend) {
    const std::uint64_t first = to_count(ofirst, "first");
    const std::uint64_t end = to_count(oend, "end");
    if (!model.is_fitted()) throw ValueError("Model has not been fitted");
    if (first > end || end > model.n_samples()) {
        throw ValueError("rows [" + std::to_string(first) + ", " + std::to_string(end) +
                         ") are not training rows (the forest has " +
                         std::to_string(model.n_samples()) + ")");
    }
    return {static_cast<std::size_t>(first), static_cast<std::size_t>(end)};
}

// proximity_rows(first, end, use_oob=True, n_jobs=None): rows [first, end)
// of proximity_matrix(use_oob), shape (end - first, n_samples).
PyObject* forest_proximity_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"first", "end", "use_oob", "n_jobs", nullptr};
        PyObject *ofirst, *oend, *o = nullptr, *ojobs = Py_None;
        parse_args(args, kwargs, "OO|OO:proximity_rows", names, &ofirst, &oend, &o, &ojobs);
        const bool use_oob = o ? to_flag(o, "use_oob") : true;
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        const auto [first, end] = row_range(*model, ofirst, oend);
        return table_result(tree_visits(*model, end - first), threads, "proximity_rows",
                            end - first, model->n_samples(),
                            [&] { return model->proximity_rows(use_oob, first, end); });
    });
}

// proximity_neighbors(first, end, k=None, n_jobs=None): rows [first, end)
// of proximity_sparse(k) as CSR arrays over those rows; the cache of
// proximity_sparse is left alone.
PyObject* forest_proximity_neighbors(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"first", "end", "k", "n_jobs", nullptr};
        PyObject *ofirst, *oend, *o = Py_None, *ojobs = Py_None;
        parse_args(args, kwargs, "OO|OO:proximity_neighbors", names, &ofirst, &oend, &o,
                   &ojobs);
        const auto k = to_opt_count(o, "k");
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        const auto [first, end] = row_range(*model, ofirst, oend);
        std::vector<SparseProximityRow> rows;
        run_call(tree_visits(*model, end - first) >= kInlineVisits, "proximity_neighbors",
                 threads, [&] { rows = model->neighbors(k, first, end); });
        return csr_arrays(rows);
    });
}

PyObject* forest_outlier_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"use_sparse", "n_jobs", nullptr};
        PyObject *o = nullptr, *ojobs = Py_None;
        parse_args(args, kwargs, "|OO:outlier_scores", names, &o, &ojobs);
        const bool use_sparse = o ? to_flag(o, "use_sparse") : false;
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        const std::size_t n = model->n_samples();
        return rows_result(tree_visits(*model, n), threads, "outlier_scores", {n},
                           [&] { return model->outlier_scores(use_sparse); });
    });
}

PyObject* forest_predict_outlier_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        const Matrix x = parse_rows(args, kwargs, "O|O:predict_outlier_scores", threads);
        Shared<Model> model(self);
        return rows_result(tree_visits(*model, x.rows()), threads, "predict_outlier_scores",
                           {x.rows()}, [&] { return model->predict_outlier_scores(x.view()); });
    });
}

// transform(n_components=2, n_jobs=None): the embedding of the training rows.
PyObject* forest_transform(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"n_components", "n_jobs", nullptr};
        PyObject *oc = nullptr, *ojobs = Py_None;
        parse_args(args, kwargs, "|OO:transform", names, &oc, &ojobs);
        const std::uint64_t c = oc ? to_count(oc, "n_components") : 2;
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        const std::size_t n = model->n_samples();
        return rows_result(tree_visits(*model, n), threads, "transform to n_components axes",
                           {n, static_cast<std::size_t>(c)},
                           [&] { return model->transform(static_cast<std::size_t>(c)); });
    });
}

PyObject* forest_importances(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"n_jobs", nullptr};
        PyObject* ojobs = Py_None;
        parse_args(args, kwargs, "|O:feature_importances", names, &ojobs);
        const std::size_t threads = threads_for(ojobs);
        Shared<Model> model(self);
        std::vector<double> values;
        run_call(tree_visits(*model, model->n_samples()) >= kInlineVisits, "feature_importances",
                 threads, [&] { values = model->feature_importances(); });
        const std::size_t n = values.size();
        return adopt_array(std::move(values), {n});
    });
}

template <std::size_t (*Get)(const Model&)>
PyObject* count_getter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(Get(*model));
    });
}
std::size_t n_estimators_of(const Model& m) { return m.params().n_estimators; }
std::size_t n_samples_of(const Model& m) { return m.n_samples(); }
std::size_t n_features_of(const Model& m) { return m.n_features(); }

PyMethodDef g_methods[] = {
    TW_METHOD("fit", forest_fit, "fit($self, x, n_jobs=None, verbose=0)\n--\n\n"),
    TW_METHOD("proximity_matrix", forest_proximity_matrix,
              "proximity_matrix($self, use_oob=True, n_jobs=None)\n--\n\n"),
    TW_METHOD("plan_batches", forest_plan_batches, "plan_batches($self, rows, n_features)\n--\n\n"),
    TW_METHOD("combined_bins", forest_combined_bins, "combined_bins($self, plan, bins)\n--\n\n"),
    TW_METHOD("grow_batch", forest_grow_batch,
              "grow_batch($self, plan, bins, edges, first, end, n_jobs=None)\n--\n\n"),
    TW_METHOD("merge_batches", forest_merge_batches,
              "merge_batches($self, plan, batches, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("proximity_rows", forest_proximity_rows,
              "proximity_rows($self, first, end, use_oob=True, n_jobs=None)\n--\n\n"),
    TW_METHOD("proximity_neighbors", forest_proximity_neighbors,
              "proximity_neighbors($self, first, end, k=None, n_jobs=None)\n--\n\n"),
    TW_METHOD("proximity_sparse", forest_proximity_sparse,
              "proximity_sparse($self, k=None, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_proximity", forest_predict_proximity,
              "predict_proximity($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("outlier_scores", forest_outlier_scores,
              "outlier_scores($self, use_sparse=False, n_jobs=None)\n--\n\n"),
    TW_METHOD("predict_outlier_scores", forest_predict_outlier_scores,
              "predict_outlier_scores($self, x, n_jobs=None)\n--\n\n"),
    TW_METHOD("transform", forest_transform, "transform($self, n_components=2, n_jobs=None)\n--\n\n"),
    TW_METHOD("feature_importances", forest_importances,
              "feature_importances($self, n_jobs=None)\n--\n\n"),
    TW_STATE_METHODS(Model),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TW_GETTER("n_estimators", count_getter<n_estimators_of>),
    TW_GETTER("is_fitted", is_fitted_getter<Model>),
    TW_GETTER("n_samples", count_getter<n_samples_of>),
    TW_GETTER("n_features", count_getter<n_features_of>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_unsupervised(PyObject* module) {
    const TypeDescription desc{
        "UnsupervisedForest",
        "UnsupervisedForest(n_estimators=500, max_depth=None, max_features=None, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1, n_neighbors=None)\n--\n\n"
        "Real rows against column-permuted copies: proximities, outlier scores, embedding "
        "and importances (saved states shared with _rs.RandomForestUnsupervised).",
        sizeof(Box<Model>), forest_new, dealloc_instance<Model>, g_methods, g_getset,
    };
    return add_class(module, desc) != nullptr;
}

}  // namespace tw::engine
