// Python class RandomForestUnsupervised.
#include <cstring>
#include <vector>

#include "module/classes.hpp"
#include "module/py.hpp"
#include "module/state.hpp"
#include "unsupervised/unsupervised.hpp"

namespace tw::py {
namespace {

using Model = tw::RandomForestUnsupervised;

// Proximity tables hold few distinct values (each is a count divided by a
// count of trees), so equal values share one float object, and every zero
// cell shares the same 0.0: the returned lists cost about one pointer per
// cell instead of one float object per cell.
class FloatCache {
public:
    FloatCache() : slots_(1024) {}
    FloatCache(const FloatCache&) = delete;
    FloatCache& operator=(const FloatCache&) = delete;
    ~FloatCache() {
        for (const Slot& slot : slots_) Py_XDECREF(slot.obj);
    }
    // New reference to a float equal to v. Open addressing with linear
    // probing on the value's bits; the table stays at most half full.
    PyObject* get(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        std::size_t mask = slots_.size() - 1;
        std::size_t i = hash(bits) & mask;
        while (slots_[i].obj && slots_[i].bits != bits) i = (i + 1) & mask;
        if (!slots_[i].obj) {
            PyObject* f = PyFloat_FromDouble(v);
            if (!f) throw PyErrorSet{};
            slots_[i] = {bits, f};
            if (++used_ * 2 > slots_.size()) grow();
            Py_INCREF(f);
            return f;
        }
        Py_INCREF(slots_[i].obj);
        return slots_[i].obj;
    }

private:
    struct Slot {
        std::uint64_t bits = 0;
        PyObject* obj = nullptr;
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
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.obj) continue;
            std::size_t i = hash(slot.bits) & mask;
            while (slots_[i].obj) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

PyObject* proximity_lists(const ProximityRows& table) {
    GcPause pause;
    FloatCache floats;
    PyObject* zero = floats.get(0.0);
    Py_DECREF(zero);  // the cache keeps it alive
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(table.rows.size())));
    const std::size_t width = table.width;
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        Ref row = check(PyList_New(static_cast<Py_ssize_t>(width)));
        std::size_t next = 0;
        auto fill_zeros = [&](std::size_t upto) {
            for (; next < upto; ++next) {
                Py_INCREF(zero);
                PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(next), zero);
            }
        };
        table.for_each_nonzero(r, [&](std::size_t j, double v) {
            fill_zeros(j);
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), floats.get(v));
            next = j + 1;
        });
        fill_zeros(width);
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(r), row.release());
    }
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
        static const char* const names[] = {"n_estimators",     "max_depth",   "max_features",
                                            "random_state",     "min_samples_split",
                                            "min_samples_leaf", "n_jobs",      "n_neighbors",
                                            nullptr};
        PyObject *o_trees = nullptr, *o_depth = Py_None, *o_features = Py_None,
                 *o_seed = Py_None, *o_split = nullptr, *o_leaf = nullptr, *o_jobs = Py_None,
                 *o_neighbors = Py_None;
        parse_args(args, kwargs, "|OOOOOOOO:RandomForestUnsupervised", names, &o_trees, &o_depth,
                   &o_features, &o_seed, &o_split, &o_leaf, &o_jobs, &o_neighbors);
        UnsupervisedParams p;
        p.n_estimators = o_trees ? to_count(o_trees, "n_estimators") : 500;
        p.max_depth = to_opt_count(o_depth, "max_depth");
        p.max_features = to_opt_text(o_features, "max_features");
        p.random_state = to_seed(o_seed, "random_state");
        p.min_samples_split = o_split ? to_count(o_split, "min_samples_split") : 2;
        p.min_samples_leaf = o_leaf ? to_count(o_leaf, "min_samples_leaf") : 1;
        p.n_jobs = to_opt_count(o_jobs, "n_jobs");
        p.n_neighbors = to_opt_count(o_neighbors, "n_neighbors").value_or(0);
        auto* model = new Model(std::move(p));
        return make_instance(type, model);
    });
}

PyObject* rfu_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"x", nullptr};
        PyObject* ox;
        parse_args(args, kwargs, "O:fit", names, &ox);
        Matrix x = to_matrix(ox, "x");
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
        return proximity_lists(model->proximity_matrix(use_oob));
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
        static const char* const names[] = {"x_new", nullptr};
        PyObject* ox;
        parse_args(args, kwargs, "O:predict_proximity", names, &ox);
        Matrix x = to_matrix(ox, "x_new");
        Shared<Model> model(self);
        return proximity_lists(model->predict_proximity(x.view()));
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
        static const char* const names[] = {"x_new", nullptr};
        PyObject* ox;
        parse_args(args, kwargs, "O:predict_outlier_scores", names, &ox);
        Matrix x = to_matrix(ox, "x_new");
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

PyObject* rfu_is_fitted(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Shared<Model> model(self);
        return py_bool(model->is_fitted());
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
    TW_GETTER("is_fitted_", rfu_is_fitted),
    TW_GETTER("n_samples_", rfu_n_samples),
    TW_GETTER("n_features_", rfu_n_features),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_random_forest_unsupervised(PyObject* module) {
    ClassSpec desc{
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
