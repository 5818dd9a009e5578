// Module functions of `tarnwood._engine` for training data held in row
// blocks by other processes (the package's distributed fits): the bin edges
// of whole columns, the bins of a row block with those edges, and the data
// hash of a fit record (random_forest.hpp) taken block by block.
//
// bin_edges(x, n_jobs=None, max_bins=None, lossless=True, values=False) ->
//     list of float64 arrays: per column of x the edges a fit gives it
//     (supervised forests: the lossless rule of histogram/histogram.hpp;
//     unsupervised ones: the plain rule; x must hold no missing values).
//     With values, the pair (edges, bin values): per column the value each
//     bin holds alone, or NaN (HistogramData::bin_values; empty arrays for
//     the plain rule), which grow_batch takes with the edges.
// bin_rows(x, edges) -> bytes: the bins of x's rows with those edges,
//     row-major, one byte a value; refuses NaN and infinities as fits do.
// data_hash_start(rows, n_features, targets) -> lanes (4 ints),
// data_hash_rows(lanes, x) -> lanes, data_hash_end(lanes, y) -> int: the
//     fit record's hash of the whole matrix (blocks in row order) and y.
#include <string>

#include "core/validate.hpp"
#include "engine/calls.hpp"
#include "engine/classes.hpp"
#include "engine/run.hpp"
#include "histogram/histogram.hpp"
#include "module/py.hpp"
#include "random_forest/random_forest.hpp"

namespace tw::engine {

using namespace tw::py;

std::vector<std::vector<double>> to_edges(PyObject* obj, const char* name) {
    if (!PyList_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a list, got %s", name,
                     Py_TYPE(obj)->tp_name);
        throw PyErrorSet{};
    }
    std::vector<std::vector<double>> edges;
    for (Py_ssize_t f = 0; f < PyList_GET_SIZE(obj); ++f) {
        const Vector e = to_vector(PyList_GET_ITEM(obj, f), name);
        edges.emplace_back(e.view().begin(), e.view().end());
    }
    return edges;
}

namespace {

PyObject* bin_edges(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::size_t threads = 0;
        std::size_t max_bins = 256;
        bool lossless = true;
        bool with_values = false;
        const Matrix x = [&] {
            static const char* const names[] = {"x", "n_jobs", "max_bins", "lossless", "values",
                                                nullptr};
            PyObject *ox, *ojobs = Py_None, *obins = Py_None, *olossless = Py_True,
                         *ovalues = Py_False;
            parse_args(args, kwargs, "O|OOOO:bin_edges", names, &ox, &ojobs, &obins, &olossless,
                       &ovalues);
            threads = threads_for(ojobs);
            max_bins = to_max_bins(obins, kWideBins);
            lossless = to_flag(olossless, "lossless");
            with_values = to_flag(ovalues, "values");
            return to_matrix(ox, "x");
        }();
        std::vector<std::vector<double>> edges, values;
        bool missing = false;
        run_released("bin_edges", threads, Progress{}, 0, [&] {
            HistogramData h = HistogramData::build(x.view(), {}, BinSettings{max_bins, lossless});
            missing = h.features() != h.columns;
            h.bin_edges.resize(h.columns);
            h.bin_values.resize(h.columns);
            edges = std::move(h.bin_edges);
            values = std::move(h.bin_values);
        });
        if (missing) {
            throw ValueError("x holds missing values (NaN); data binned in row blocks must not");
        }
        const auto arrays = [](const std::vector<std::vector<double>>& per_column) {
            Ref list = check(PyList_New(static_cast<Py_ssize_t>(per_column.size())));
            for (std::size_t f = 0; f < per_column.size(); ++f) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f), float_array(per_column[f]));
            }
            return list;
        };
        Ref list = arrays(edges);
        if (!with_values) return list.release();
        Ref with = arrays(values);
        return check(PyTuple_Pack(2, list.get(), with.get())).release();
    });
}

PyObject* bin_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "edges", nullptr};
        PyObject *ox, *oedges;
        parse_args(args, kwargs, "OO:bin_rows", names, &ox, &oedges);
        const Matrix x = to_matrix(ox, "x");
        const std::vector<std::vector<double>> edges = to_edges(oedges);
        const MatrixView view = x.view();
        if (edges.size() != view.cols) {
            throw ValueError("x has " + std::to_string(view.cols) + " columns but edges lists " +
                             std::to_string(edges.size()));
        }
        for (const std::vector<double>& e : edges) {
            if (e.empty()) throw ValueError("edges must not be empty");
            // Row blocks are coded a byte a value.
            if (e.size() > kNarrowBins) throw ValueError("edges may hold at most 256 per column");
        }
        if (auto message = validate_features(view)) throw ValueError(*message);
        std::string out(view.rows * view.cols, '\0');
        HistogramData::bin_rows(view, edges, reinterpret_cast<std::uint8_t*>(out.data()));
        return py_bytes(out);
    });
}

// Lanes as a tuple of four ints, and back.
PyObject* lanes_tuple(const std::uint64_t* lanes) {
    Ref t = check(PyTuple_New(4));
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(t.get(), i, py_int(lanes[i]));
    return t.release();
}

void to_lanes(PyObject* obj, std::uint64_t (&lanes)[4]) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 4) {
        PyErr_SetString(PyExc_TypeError, "argument 'lanes': expected a tuple of 4 ints");
        throw PyErrorSet{};
    }
    for (Py_ssize_t i = 0; i < 4; ++i) lanes[i] = to_count(PyTuple_GET_ITEM(obj, i), "lanes");
}

PyObject* data_hash_start(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"rows", "n_features", "targets", nullptr};
        PyObject *orows, *ocols, *otargets;
        parse_args(args, kwargs, "OOO:data_hash_start", names, &orows, &ocols, &otargets);
        const DataHash hash(to_count(orows, "rows"), to_count(ocols, "n_features"),
                            to_count(otargets, "targets"));
        return lanes_tuple(hash.lanes());
    });
}

PyObject* data_hash_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"lanes", "x", nullptr};
        PyObject *olanes, *ox;
        parse_args(args, kwargs, "OO:data_hash_rows", names, &olanes, &ox);
        std::uint64_t lanes[4];
        to_lanes(olanes, lanes);
        const Matrix x = to_matrix(ox, "x");
        DataHash hash(lanes, x.view().cols);
        hash.add_rows(x.view());
        return lanes_tuple(hash.lanes());
    });
}

PyObject* data_hash_end(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"lanes", "y", nullptr};
        PyObject *olanes, *oy;
        parse_args(args, kwargs, "OO:data_hash_end", names, &olanes, &oy);
        std::uint64_t lanes[4];
        to_lanes(olanes, lanes);
        const Vector y = to_vector(oy, "y");
        DataHash hash(lanes, 0);
        return py_int(hash.finish(y.view()));
    });
}

PyMethodDef g_functions[] = {
    TW_METHOD("bin_edges", bin_edges,
              "bin_edges(x, n_jobs=None, max_bins=None, lossless=True, values=False)\n--\n\n"
              "The bin edges of every column of x (with values, also the value each bin\n"
              "holds alone, or NaN)."),
    TW_METHOD("bin_rows", bin_rows,
              "bin_rows(x, edges)\n--\n\nThe bins of x's rows with the given edges (bytes)."),
    TW_METHOD("data_hash_start", data_hash_start,
              "data_hash_start(rows, n_features, targets)\n--\n\n"),
    TW_METHOD("data_hash_rows", data_hash_rows, "data_hash_rows(lanes, x)\n--\n\n"),
    TW_METHOD("data_hash_end", data_hash_end, "data_hash_end(lanes, y)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_bin_functions(PyObject* module) {
    return PyModule_AddFunctions(module, g_functions) == 0;
}

}  // namespace tw::engine
