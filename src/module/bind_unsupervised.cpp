// Python class RandomForestUnsupervised.
#include <algorithm>
#include <cstring>
#include <vector>

#include "module/classes.hpp"
#include "module/forest_settings.hpp"
#include "module/methods.hpp"
#include "module/proximity_sources.hpp"
#include "parallel/pool.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw::py {
namespace {

using Model = tw::RandomForestUnsupervised;

// Proximity tables hold few distinct values (each is a count divided by a
// count of trees), so each distinct value gets one float object that all its
// cells share, and every zero cell shares one 0.0: the returned lists cost
// about one pointer per cell instead of one float object per cell.
//
// Open-addressing set of the bit patterns of non-zero doubles (0 marks an
// empty slot: +0.0 is never stored), each with a dense id in insertion order.
class ValueSet {
public:
    ValueSet() : slots_(1024) {}
    // Id of the value, inserting it if new.
    std::uint32_t insert(std::uint64_t bits) {
        std::size_t i = hash(bits) & (slots_.size() - 1);
        while (slots_[i].bits != 0 && slots_[i].bits != bits) i = (i + 1) & (slots_.size() - 1);
        if (slots_[i].bits == bits) return slots_[i].id;
        const auto id = static_cast<std::uint32_t>(values_.size());
        slots_[i] = Slot{bits, id};
        values_.push_back(bits);
        if (values_.size() * 2 > slots_.size()) grow();
        return id;
    }
    // Id of a value known to be present.
    std::uint32_t find(std::uint64_t bits) const {
        std::size_t i = hash(bits) & (slots_.size() - 1);
        while (slots_[i].bits != bits) i = (i + 1) & (slots_.size() - 1);
        return slots_[i].id;
    }
    const std::vector<std::uint64_t>& values() const { return values_; }

private:
    struct Slot {
        std::uint64_t bits = 0;
        std::uint32_t id = 0;
    };
    static std::size_t hash(std::uint64_t b) {
        b ^= b >> 33;
        b *= 0xff51afd7ed558ccdULL;
        b ^= b >> 33;
        return static_cast<std::size_t>(b);
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.bits == 0) continue;
            std::size_t i = hash(slot.bits) & (slots_.size() - 1);
            while (slots_[i].bits != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }
    std::vector<Slot> slots_;
    std::vector<std::uint64_t> values_;
};

inline std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A list of `width` items whose storage is not cleared: the workers write
// every item (their first touch of the pages), and a failure clears them
// before the list can be released.
PyObject* new_row_list(std::size_t width) {
#if defined(Py_GIL_DISABLED)
    return check(PyList_New(static_cast<Py_ssize_t>(width))).release();
#else
    Ref list = check(PyList_New(0));
    if (width == 0) return list.release();
    PyObject** items = nullptr;
    if (width <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*))
        items = static_cast<PyObject**>(PyMem_Malloc(width * sizeof(PyObject*)));
    if (!items) {
        PyErr_NoMemory();
        throw PyErrorSet{};
    }
    auto* op = reinterpret_cast<PyListObject*>(list.get());
    op->ob_item = items;
    op->allocated = static_cast<Py_ssize_t>(width);
    Py_SET_SIZE(op, static_cast<Py_ssize_t>(width));
    return list.release();
#endif
}

// Nested lists of a proximity table. The distinct values are found and the
// lists filled by the worker pool: the lists and the shared floats are new
// and reachable from nothing else while the calling thread holds the
// interpreter lock and waits (the collector is paused), and the workers only
// store item pointers and count the references per value, which are added to
// the reference counts afterwards on the calling thread. The row lists'
// storage is not cleared first, so its pages are first touched by the
// workers; every path that fails before all items are set clears them.
template <class Source>
PyObject* proximity_lists(const Source& table) {
    GcPause pause;
    const std::size_t n_rows = table.n_rows();
    const std::size_t width = table.width();
    const std::size_t chunks =
        std::max<std::size_t>(1, std::min(n_rows, parallel::pool_size() * 4));
    const auto chunk_rows = [&](std::size_t c, std::size_t& begin, std::size_t& end) {
        begin = c * n_rows / chunks;
        end = (c + 1) * n_rows / chunks;
    };

    // Distinct non-zero values, per chunk, then merged.
    std::vector<std::vector<std::uint64_t>> found(chunks);
    parallel::parallel_for(chunks, [&](std::size_t c) {
        std::size_t begin, end;
        chunk_rows(c, begin, end);
        ValueSet local;
        for (std::size_t r = begin; r < end; ++r) {
            table.values(r, [&](double v) {
                if (v != 0.0) local.insert(bits_of(v));
            });
        }
        found[c] = local.values();
    });
    ValueSet all;
    for (const auto& f : found) {
        for (std::uint64_t b : f) all.insert(b);
    }
    found.clear();
    const std::size_t distinct = all.values().size();

    Ref zero = check(PyFloat_FromDouble(0.0));
    std::vector<Ref> floats(distinct);
    for (std::size_t id = 0; id < distinct; ++id) {
        double v;
        std::memcpy(&v, &all.values()[id], sizeof v);
        floats[id] = check(PyFloat_FromDouble(v));
    }
    std::vector<std::uint64_t> counts(chunks * (distinct + 1), 0);  // last: zeros
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(n_rows)));
    const auto items_of = [&](std::size_t r) {
        return reinterpret_cast<PyListObject*>(PyList_GET_ITEM(out.get(), static_cast<Py_ssize_t>(r)))
            ->ob_item;
    };
    // Rows whose items are not (yet) valid references are cleared before
    // the lists can be released.
    std::size_t made = 0;
    try {
        for (; made < n_rows; ++made) {
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(made), new_row_list(width));
        }
    } catch (...) {
        for (std::size_t r = 0; r < made; ++r) std::fill_n(items_of(r), width, nullptr);
        throw;
    }

    try {
        parallel::parallel_for(chunks, [&](std::size_t c) {
            std::size_t begin, end;
            chunk_rows(c, begin, end);
            std::uint64_t* count = counts.data() + c * (distinct + 1);
            PyObject* z = zero.get();
            // Blocks of rows, each cell written once, zeros filling the gaps.
            constexpr std::size_t kBlock = 64;
            std::size_t next[kBlock];
            auto cursor = table.cursor(begin);
            for (std::size_t a = begin; a < end; a += kBlock) {
                const std::size_t b = std::min(end, a + kBlock);
                std::fill_n(next, b - a, std::size_t{0});
                table.fill(cursor, a, b, [&](std::size_t r, std::size_t j, double v) {
                    if (v == 0.0) return;
                    PyObject** items = items_of(r);
                    std::size_t& nx = next[r - a];
                    count[distinct] += j - nx;
                    for (; nx < j; ++nx) items[nx] = z;
                    const std::uint32_t id = all.find(bits_of(v));
                    items[j] = floats[id].get();
                    ++count[id];
                    nx = j + 1;
                });
                for (std::size_t r = a; r < b; ++r) {
                    PyObject** items = items_of(r);
                    std::size_t& nx = next[r - a];
                    count[distinct] += width - nx;
                    for (; nx < width; ++nx) items[nx] = z;
                }
            }
        });
    } catch (...) {
        // Items without their references must not be released as if owned.
        for (std::size_t r = 0; r < n_rows; ++r) std::fill_n(items_of(r), width, nullptr);
        throw;
    }
    const auto add_refs = [&](PyObject* o, std::size_t id) {
        std::uint64_t total = 0;
        for (std::size_t c = 0; c < chunks; ++c) total += counts[c * (distinct + 1) + id];
        Py_SET_REFCNT(o, Py_REFCNT(o) + static_cast<Py_ssize_t>(total));
    };
    for (std::size_t id = 0; id < distinct; ++id) add_refs(floats[id].get(), id);
    add_refs(zero.get(), distinct);
    return out.release();
}

PyObject* neighbor_lists(const std::vector<SparseProximityRow>& rows) {
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto& nb = rows[r].neighbors;
        Ref row = check(PyList_New(static_cast<Py_ssize_t>(nb.size())));
        for (std::size_t q = 0; q < nb.size(); ++q) {
            Ref idx = check(PyLong_FromUnsignedLongLong(nb[q].index));
            Ref val = check(PyFloat_FromDouble(nb[q].proximity));
            PyObject* pair = PyTuple_Pack(2, idx.get(), val.get());
            if (!pair) throw PyErrorSet{};
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(q), pair);
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), row.release());
    }
    return out.release();
}

PyObject* rfu_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        UnsupervisedParams p = parse_unsupervised_settings(
            args, kwargs, "|OOOOOOOO:RandomForestUnsupervised", true);
        auto* model = new Model(std::move(p));
        return make_instance(type, model);
    });
}

PyObject* rfu_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:fit");
        Exclusive<Model> model(self);
        model->fit(x.view());
        return none();
    });
}

PyObject* embedding_rows(const Model& model, std::size_t n_components) {
    const std::vector<double> coords = model.transform(n_components);
    return float_rows(coords, model.n_samples(), n_components);
}

PyObject* rfu_fit_transform(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", "n_components", nullptr};
        PyObject *ox, *oc = nullptr;
        parse_args(args, kwargs, "O|O:fit_transform", names, &ox, &oc);
        Matrix x = to_matrix(ox, "x");
        const std::uint64_t c = oc ? to_count(oc, "n_components") : 2;
        Exclusive<Model> model(self);
        model->fit(x.view());
        return embedding_rows(*model, static_cast<std::size_t>(c));
    });
}

PyObject* rfu_transform(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"n_components", nullptr};
        PyObject* oc = nullptr;
        parse_args(args, kwargs, "|O:transform", names, &oc);
        const std::uint64_t c = oc ? to_count(oc, "n_components") : 2;
        Shared<Model> model(self);
        return embedding_rows(*model, static_cast<std::size_t>(c));
    });
}

PyObject* rfu_proximity_matrix(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"use_oob", nullptr};
        PyObject* o = nullptr;
        parse_args(args, kwargs, "|O:proximity_matrix", names, &o);
        const bool use_oob = o ? to_flag(o, "use_oob") : true;
        Shared<Model> model(self);
        return proximity_lists(UpperSource{model->proximity_upper(use_oob)});
    });
}

PyObject* rfu_proximity_sparse(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"k", nullptr};
        PyObject* o = Py_None;
        parse_args(args, kwargs, "|O:proximity_sparse", names, &o);
        const auto k = to_opt_count(o, "k");
        Exclusive<Model> model(self);
        return neighbor_lists(model->proximity_sparse(k));
    });
}

PyObject* rfu_predict_proximity(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_proximity", "x_new");
        Shared<Model> model(self);
        return proximity_lists(RowsSource{model->predict_proximity(x.view())});
    });
}

PyObject* rfu_outlier_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"use_sparse", nullptr};
        PyObject* o = nullptr;
        parse_args(args, kwargs, "|O:outlier_scores", names, &o);
        const bool use_sparse = o ? to_flag(o, "use_sparse") : false;
        Shared<Model> model(self);
        return float_list(model->outlier_scores(use_sparse));
    });
}

PyObject* rfu_predict_outlier_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Matrix x = parse_matrix(args, kwargs, "O:predict_outlier_scores", "x_new");
        Shared<Model> model(self);
        return float_list(model->predict_outlier_scores(x.view()));
    });
}

PyObject* rfu_feature_importances(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return float_list(model->feature_importances());
    });
}

PyObject* rfu_n_estimators(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->params().n_estimators);
    });
}

PyObject* rfu_n_samples(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->n_samples());
    });
}

PyObject* rfu_n_features(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_int(model->n_features());
    });
}

PyMethodDef g_methods[] = {
    TW_METHOD("fit", rfu_fit,
              "fit($self, x)\n--\n\n"
              "Fit the unsupervised random forest using Breiman's synthetic data method.\n"
              "Creates a synthetic dataset by permuting each feature independently,\n"
              "labels original data as class 1 and synthetic as class 0,\n"
              "then trains a classification RF."),
    TW_METHOD("proximity_matrix", rfu_proximity_matrix,
              "proximity_matrix($self, use_oob=True)\n--\n\n"
              "Compute the proximity matrix (n x n) using OOB-based method.\n"
              "Following Breiman: proximity is computed only when at least one sample is OOB.\n"
              "prox(i, j) = (weighted count of co-occurrences) / (number of valid comparisons)"),
    TW_METHOD("proximity_sparse", rfu_proximity_sparse,
              "proximity_sparse($self, k=None)\n--\n\n"
              "Compute sparse proximity (k nearest neighbors per sample).\n"
              "More memory efficient for large datasets.\n"
              "Returns list of (neighbor_index, proximity) tuples per sample."),
    TW_METHOD("predict_proximity", rfu_predict_proximity,
              "predict_proximity($self, x_new)\n--\n\n"
              "Compute proximity of new samples to training samples.\n"
              "Returns (n_new, n_train) proximity matrix."),
    TW_METHOD("outlier_scores", rfu_outlier_scores,
              "outlier_scores($self, use_sparse=False)\n--\n\n"
              "Compute outlier scores following Breiman's method.\n"
              "outlier(n) = n / sum(prox(n, k)^2) for all k, then standardized\n"
              "by (score - median) / MAD.\n"
              "Higher values = more outlier."),
    TW_METHOD("predict_outlier_scores", rfu_predict_outlier_scores,
              "predict_outlier_scores($self, x_new)\n--\n\n"
              "Get outlier scores for new samples based on proximity to training data."),
    TW_METHOD("transform", rfu_transform,
              "transform($self, n_components=2)\n--\n\n"
              "Compute low-dimensional embedding via classical MDS on the proximity matrix.\n"
              "Follows Breiman's myscale subroutine: power iteration on double-centered\n"
              "proximity matrix to find eigenvalues/eigenvectors."),
    TW_METHOD("fit_transform", rfu_fit_transform,
              "fit_transform($self, x, n_components=2)\n--\n\n"
              "Convenience method: fit the model and return the embedding."),
    {"feature_importances", reinterpret_cast<PyCFunction>(rfu_feature_importances), METH_NOARGS,
     "feature_importances($self)\n--\n\n"
     "Compute variable importance via permutation.\n"
     "For unsupervised RF, importance is measured by how much permuting\n"
     "a variable decreases the ability to distinguish real from synthetic data."},
    TW_STATE_METHODS(Model),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TW_GETTER("n_estimators_", rfu_n_estimators),
    TW_GETTER("is_fitted_", is_fitted_getter<Model>),
    TW_GETTER("n_samples_", rfu_n_samples),
    TW_GETTER("n_features_", rfu_n_features),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_random_forest_unsupervised(PyObject* module) {
    TypeDescription desc{
        "RandomForestUnsupervised",
        "RandomForestUnsupervised(n_estimators=500, max_depth=None, max_features=None, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1, n_jobs=None, "
        "n_neighbors=None)\n--\n\n",
        sizeof(Box<Model>),
        rfu_new,
        dealloc_instance<Model>,
        g_methods,
        g_getset,
    };
    return add_class(module, desc) != nullptr;
}

}  // namespace tw::py
