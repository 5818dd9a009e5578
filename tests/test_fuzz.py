"""Property-based robustness suite: every constructor and method of every
registered class is called with generated inputs (odd dtypes, shapes,
layouts, non-finite values, extreme keywords, odd call orders). Each call
must return plain Python data or raise ValueError / TypeError /
OverflowError / the internal-failure exception with a message, and the
object must keep working afterwards.

The package's own engine classes (tarnwood._engine, named "engine.<Class>"
here) go through the same properties; their results may also be float64 or
int64 NumPy arrays, and their internal failures are RuntimeErrors.
The package forests' own options and analyses are fuzzed in
test_fuzz_forests.py, with the generators defined here.

Classes that the extension does not register are skipped. The default run
is short; set TARNWOOD_FUZZ=long for a thorough manual run.
"""
import inspect
import os

import numpy as np
import pytest

from conftest import FUZZ_HANG_SECONDS, FUZZ_LONG, fuzz_guards, fuzz_profile

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _rs  # noqa: E402
from tarnwood import _engine  # noqa: E402

LONG = FUZZ_LONG
HANG_SECONDS = FUZZ_HANG_SECONDS
FUZZ = fuzz_profile("tarnwood-fuzz", 12, 400)

ALLOWED = (ValueError, TypeError, OverflowError)
U64_MAX = 2**64 - 1


# Whether the class under test belongs to the package's engine module (set
# by `registered`, which every property calls first).
_CURRENT = {"engine": False}


def is_panic(exc):
    t = type(exc)
    if _CURRENT["engine"]:
        return t is RuntimeError
    return t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"


# ---- guards: hangs and runaway allocations ---------------------------------


@pytest.fixture(autouse=True)
def _guards():
    with fuzz_guards(HANG_SECONDS):
        yield


def plain(value, depth=0):
    """Results are plain Python objects, never NumPy arrays or scalars."""
    assert depth < 16
    if value is None or type(value) in (bool, int, float, str, bytes):
        return True
    if type(value).__name__ in CLASSES and getattr(_rs, type(value).__name__, None) is type(value):
        return True
    if _CURRENT["engine"] and getattr(_engine, type(value).__name__, None) is type(value):
        return True
    if _CURRENT["engine"] and type(value) is np.ndarray:
        return value.dtype in (np.float64, np.int64)
    if type(value) in (list, tuple):
        return all(plain(v, depth + 1) for v in value)
    if type(value) is dict:
        return all(type(k) is str and plain(v, depth + 1) for k, v in value.items())
    return False


def attempt(fn, *args, **kwargs):
    """Calls fn; returns (True, result) or (False, exception) for the allowed
    failures. Anything else fails the test."""
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as exc:
        assert str(exc), f"{type(exc).__name__} without a message"
        return False, exc
    except BaseException as exc:  # noqa: BLE001 - the internal-failure type is a BaseException
        if not is_panic(exc):
            raise
        msg = str(exc)
        assert msg, "internal failure without a message"
        assert "allocation" not in msg, f"runaway allocation: {msg}"
        return False, exc
    assert plain(result), f"non-plain result of type {type(result)!r}"
    return True, result


# ---- the classes and their surfaces ----------------------------------------

# Parameter kinds: matrix, vector, opt_vector, count, opt_count, seed, float,
# flag, text, opt_text, tree, bytes, jobs (a pool-size request), call_jobs
# (threads of one call), verbose.
SUPERVISED_FIT = [("x", "matrix"), ("y", "vector"), ("sample_weight", "opt_vector")]
FOREST_CTOR = [
    ("n_estimators", "count"), ("max_depth", "opt_count"), ("max_features", "opt_text"),
    ("bootstrap", "flag"), ("random_state", "seed"), ("min_samples_split", "count"),
    ("min_samples_leaf", "count"),
]
BOOST_HEAD = [
    ("n_estimators", "count"), ("learning_rate", "float"), ("rf_n_estimators", "count"),
    ("rf_max_depth", "opt_count"), ("rf_max_features", "opt_text"), ("bootstrap", "flag"),
    ("random_state", "seed"), ("min_samples_split", "count"), ("min_samples_leaf", "count"),
]
BOOST_TAIL = [("use_histogram", "flag"), ("async_mode", "flag"), ("tol", "float"),
              ("n_jobs", "jobs")]
# The engine door's boosting options, after its settings.
BOOST_OPTIONS = [("max_leaf_nodes", "opt_count"), ("validation_fraction", "float"),
                 ("n_iter_no_change", "count"), ("fast_growth", "flag")]

# Per class: constructor parameters, methods (name -> parameters), getters,
# the work-count keywords that must stay small when fitting, and a small
# configuration used for "still works" checks.
CLASSES = {
    "DecisionTree": dict(
        ctor=[("max_depth", "opt_count"), ("criterion", "text"), ("task", "text"),
              ("random_state", "seed"), ("min_samples_split", "count"),
              ("min_samples_leaf", "count")],
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")],
                 "predict_proba": [("x", "matrix")], "get_depth": [], "get_n_leaves": []},
        getters=["classes_", "is_fitted"],
        work=[],
        good=dict(random_state=3),
        texts={"task": ["classification", "regression"]},
    ),
    "RandomForestRegressor": dict(
        ctor=FOREST_CTOR,
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")], "get_info": []},
        getters=["n_estimators", "is_fitted"],
        work=["n_estimators"],
        good=dict(n_estimators=3, random_state=3),
        texts={},
    ),
    "RandomForestClassifier": dict(
        ctor=FOREST_CTOR,
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")],
                 "predict_proba": [("x", "matrix")],
                 "score": [("x", "matrix"), ("y", "vector")], "get_info": []},
        getters=["n_estimators", "n_classes", "classes_", "is_fitted"],
        work=["n_estimators"],
        good=dict(n_estimators=3, random_state=3),
        texts={},
    ),
    "TreeSHAP": dict(
        ctor=[("tree", "tree"), ("x_train", "matrix"), ("model_type", "text")],
        methods={"explain": [("x", "matrix")]},
        getters=[],
        work=[],
        good=None,  # built from a fitted DecisionTree, see make_good
        texts={"model_type": ["classification", "regression"]},
    ),
    "Tarnwood": dict(
        ctor=BOOST_HEAD + [("task", "text")] + BOOST_TAIL,
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")],
                 "predict_proba": [("x", "matrix")],
                 "predict_ci": [("x", "matrix"), ("alpha", "float")],
                 "feature_importances": []},
        getters=["n_estimators", "is_fitted", "trees_used"],
        work=["n_estimators", "rf_n_estimators"],
        good=dict(n_estimators=2, rf_n_estimators=2, random_state=3),
        texts={"task": ["classification", "regression"]},
    ),
    "TarnwoodClassifier": dict(
        ctor=BOOST_HEAD + BOOST_TAIL,
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")],
                 "predict_proba": [("x", "matrix")],
                 "predict_ci": [("x", "matrix"), ("alpha", "float")],
                 "feature_importances": [], "to_dict": []},
        getters=["n_estimators", "n_classes", "is_fitted", "trees_used"],
        work=["n_estimators", "rf_n_estimators"],
        good=dict(n_estimators=2, rf_n_estimators=2, random_state=3),
        texts={},
    ),
    "TarnwoodRegressor": dict(
        ctor=BOOST_HEAD + BOOST_TAIL + [("conformal_fraction", "float")],
        methods={"fit": SUPERVISED_FIT, "predict": [("x", "matrix")],
                 "predict_ci": [("x", "matrix"), ("alpha", "float")],
                 "feature_importances": [], "to_dict": []},
        getters=["n_estimators", "is_fitted", "trees_used"],
        work=["n_estimators", "rf_n_estimators"],
        good=dict(n_estimators=2, rf_n_estimators=2, random_state=3),
        texts={},
    ),
    "RandomForestUnsupervised": dict(
        ctor=[("n_estimators", "count"), ("max_depth", "opt_count"),
              ("max_features", "opt_text"), ("random_state", "seed"),
              ("min_samples_split", "count"), ("min_samples_leaf", "count"),
              ("n_jobs", "jobs"), ("n_neighbors", "opt_count")],
        methods={"fit": [("x", "matrix")],
                 "fit_transform": [("x", "matrix"), ("n_components", "count")],
                 "transform": [("n_components", "count")],
                 "proximity_matrix": [("use_oob", "flag")],
                 "proximity_sparse": [("k", "opt_count")],
                 "predict_proximity": [("x_new", "matrix")],
                 "outlier_scores": [("use_sparse", "flag")],
                 "predict_outlier_scores": [("x_new", "matrix")],
                 "feature_importances": []},
        getters=["n_estimators_", "is_fitted_", "n_samples_", "n_features_"],
        work=["n_estimators"],
        good=dict(n_estimators=4, random_state=3),
        texts={},
    ),
}

# The package's engine classes: threads and progress are per call.
CALL = [("n_jobs", "call_jobs")]
ENGINE_FIT = SUPERVISED_FIT + CALL + [("verbose", "verbose")]
ROWS = [("x", "matrix")] + CALL
# Explanations of every supervised engine class (tree_shap/ensemble_shap).
EXPLAIN = {"explain": [("x", "matrix"), ("x_background", "opt_matrix")] + CALL,
           "explain_interactions": ROWS, "raw_output": ROWS, "explained_trees": []}
CLASSES.update({
    "engine.Tree": dict(
        CLASSES["DecisionTree"], methods={"fit": ENGINE_FIT, "predict": ROWS,
                                          "predict_proba": ROWS, "get_depth": [],
                                          "get_n_leaves": [], **EXPLAIN}),
    "engine.TreeExplainer": dict(CLASSES["TreeSHAP"], methods={"explain": ROWS}),
    "engine.ForestClassifier": dict(
        CLASSES["RandomForestClassifier"],
        methods={"fit": ENGINE_FIT, "predict_proba": ROWS, **EXPLAIN},
        getters=["n_estimators", "classes_", "is_fitted"]),
    "engine.ForestRegressor": dict(
        CLASSES["RandomForestRegressor"],
        methods={"fit": ENGINE_FIT, "predict": ROWS,
                 "predict_quantiles": [("x", "matrix"), ("quantiles", "vector")] + CALL,
                 "oob_quantiles": [("quantiles", "vector")] + CALL,
                 "predict_interval": [("x", "matrix"), ("alpha", "float"),
                                      ("method", "text")] + CALL,
                 **EXPLAIN},
        getters=["n_estimators", "is_fitted", "has_leaf_samples"]),
    "engine.BoostedClassifier": dict(
        CLASSES["TarnwoodClassifier"], ctor=BOOST_HEAD + BOOST_TAIL[:3] + BOOST_OPTIONS,
        methods={"fit": ENGINE_FIT, "predict": ROWS, "predict_proba": ROWS,
                 "predict_ci": [("x", "matrix"), ("alpha", "float")] + CALL,
                 "feature_importances": [], "to_dict": [], **EXPLAIN}),
    "engine.BoostedRegressor": dict(
        CLASSES["TarnwoodRegressor"],
        ctor=BOOST_HEAD + BOOST_TAIL[:3] + [("conformal_fraction", "float")] + BOOST_OPTIONS
        + [("keep_calibrated", "flag")],
        methods={"fit": ENGINE_FIT, "predict": ROWS,
                 "predict_ci": [("x", "matrix"), ("alpha", "float")] + CALL,
                 "feature_importances": [], "to_dict": [], **EXPLAIN},
        getters=["n_estimators", "is_fitted", "trees_used", "calibration_residuals"]),
    "engine.UnsupervisedForest": dict(
        CLASSES["RandomForestUnsupervised"],
        ctor=[p for p in CLASSES["RandomForestUnsupervised"]["ctor"] if p[0] != "n_jobs"],
        methods={"fit": [("x", "matrix")] + CALL + [("verbose", "verbose")],
                 "transform": [("n_components", "count")] + CALL,
                 "proximity_matrix": [("use_oob", "flag")] + CALL,
                 "proximity_sparse": [("k", "opt_count")] + CALL,
                 "predict_proximity": ROWS,
                 "outlier_scores": [("use_sparse", "flag")] + CALL,
                 "predict_outlier_scores": ROWS,
                 "feature_importances": CALL},
        getters=["n_estimators", "is_fitted", "n_samples", "n_features"]),
})
# The `_rs` class each engine class mirrors (same settings and data).
LIKE = {"engine.Tree": "DecisionTree", "engine.TreeExplainer": "TreeSHAP",
        "engine.ForestClassifier": "RandomForestClassifier",
        "engine.ForestRegressor": "RandomForestRegressor",
        "engine.BoostedClassifier": "TarnwoodClassifier",
        "engine.BoostedRegressor": "TarnwoodRegressor",
        "engine.UnsupervisedForest": "RandomForestUnsupervised"}


def like(name):
    return LIKE.get(name, name)


# Methods whose count arguments size their output or their loops.
BOUNDED_COUNTS = {"n_components"}
MUTATORS = {"fit", "fit_transform", "proximity_sparse", "__setstate__"}
# Methods that answer on an unfitted object.
UNFITTED_OK = {"get_info", "get_depth", "get_n_leaves"}

NAMES = list(CLASSES)


def registered(name):
    _CURRENT["engine"] = name.startswith("engine.")
    module = _engine if _CURRENT["engine"] else _rs
    cls = getattr(module, name.split(".")[-1], None)
    if cls is None:
        pytest.skip(f"{name} is not registered")
    return cls


# ---- data ----------------------------------------------------------------

WIDTH = 3
_base = np.random.default_rng(20240607)
X_GOOD = _base.normal(size=(40, WIDTH))
Y_CLASS = (X_GOOD[:, 0] + 0.3 * X_GOOD[:, 1] > 0).astype(float)
Y_REG = X_GOOD[:, 0] * 2.0 + X_GOOD[:, 2]


def is_regression(name, obj_kwargs):
    name = like(name)
    if name in ("RandomForestRegressor", "TarnwoodRegressor"):
        return True
    if name in ("DecisionTree", "Tarnwood"):
        return obj_kwargs.get("task", "classification") != "classification"
    return False


FLOATS = st.one_of(
    st.floats(-5, 5, allow_nan=False),
    st.sampled_from([0.0, -0.0, 1.0, 2.0, np.nan, np.inf, -np.inf, 1e300, -1e300, 5e-324,
                     1.7976931348623157e308, 2.0**64, 1e19, -1.0, 0.5, 3.0]),
)
LABELS = st.one_of(
    st.sampled_from([0.0, 1.0, 2.0]),
    st.sampled_from([-1.0, -1e300, 0.9, 1.7, 2.0**63, 2.0**64, 1e19, 1e300, np.nan, np.inf,
                     -np.inf, 255.0, 256.0, 65536.0, 2.0**32]),
)

DTYPES = ["f8", "f8", "f8", "f8", "f4", "i8", "i4", "u8", "?", "c16", ">f8", "O", "f2"]


@st.composite
def arrays(draw, ndim=None, rows=None, cols=None, elements=FLOATS):
    """An array of any dtype, dimension and memory layout."""
    if ndim is None:
        ndim = draw(st.sampled_from([2, 2, 2, 1, 0, 3]))
    dims = []
    for axis in range(ndim):
        if axis == 0 and rows is not None:
            dims.append(rows)
        elif axis == 1 and cols is not None:
            dims.append(cols)
        else:
            dims.append(draw(st.integers(0, 6)))
    size = int(np.prod(dims)) if dims else 1
    values = draw(st.lists(elements, min_size=size, max_size=size))
    dtype = draw(st.sampled_from(DTYPES))
    base = np.array(values, dtype=np.float64).reshape(dims)
    with np.errstate(all="ignore"):
        if dtype == "O":
            arr = base.astype(object)
        elif dtype in ("i8", "i4", "u8", "?"):
            arr = np.nan_to_num(base, nan=0, posinf=0, neginf=0).clip(-1e6, 1e6).astype(dtype)
        else:
            arr = base.astype(dtype)
    layout = draw(st.sampled_from(
        ["c", "c", "fortran", "reversed", "strided", "transposed", "unaligned", "readonly",
         "broadcast"]))
    return relayout(arr, layout)


def relayout(arr, layout):
    if arr.ndim == 0:
        return arr
    if layout == "fortran":
        return np.asfortranarray(arr)
    if layout == "reversed":
        return np.ascontiguousarray(arr[::-1])[::-1] if arr.ndim == 1 else arr[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "strided":
        big = np.repeat(arr, 2, axis=arr.ndim - 1)
        return big[..., ::2] if arr.ndim > 1 else big[::2]
    if layout == "transposed":
        return np.ascontiguousarray(arr.T).T
    if layout == "unaligned" and arr.dtype != object:
        buf = np.zeros(arr.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(buf.data, dtype=arr.dtype, count=arr.size, offset=1)
        out = out.reshape(arr.shape)
        np.copyto(out, arr)
        return out
    if layout == "readonly":
        arr = arr.copy()
        arr.setflags(write=False)
        return arr
    if layout == "broadcast" and arr.shape[0] > 0:
        return np.broadcast_to(arr[:1], arr.shape)
    return arr


NON_ARRAYS = st.sampled_from([None, 0, 1.5, "x", b"x", [[1.0, 2.0]], [1.0], (1.0,), {}, object(),
                              np.float64(1.0)])


@st.composite
def values_of(draw, kind, name, good_kind_only=False, small_counts=False):
    """A value for a parameter of the given kind: mostly well typed, with odd
    values, sometimes of a wrong type."""
    if not good_kind_only and kind != "jobs" and draw(st.integers(0, 9)) == 0:
        return draw(st.one_of(NON_ARRAYS, st.integers(-2**70, 2**70), st.booleans(),
                              st.floats(allow_nan=True), st.text(max_size=5)))
    if kind in ("matrix", "opt_matrix"):
        if kind == "opt_matrix" and draw(st.integers(0, 2)) == 0:
            return None
        if draw(st.integers(0, 3)) == 0:
            return draw(arrays())
        return draw(arrays(ndim=2, rows=draw(st.integers(0, 12)),
                           cols=draw(st.sampled_from([WIDTH, WIDTH, 0, 1, 2, 5]))))
    if kind in ("vector", "opt_vector"):
        if kind == "opt_vector" and draw(st.booleans()):
            return None
        elements = LABELS if name == "y" else FLOATS
        return draw(arrays(ndim=draw(st.sampled_from([1, 1, 1, 2, 0])), elements=elements))
    if kind in ("count", "opt_count", "seed"):
        if kind != "count" and draw(st.integers(0, 3)) == 0:
            return None
        if small_counts or name in BOUNDED_COUNTS:
            return draw(st.one_of(st.integers(0, 5), st.sampled_from([-1, -2**63])))
        return draw(st.one_of(st.integers(0, 5),
                              st.sampled_from([-1, U64_MAX, 2**64, 2**63, 2**32, 10**9, -2**64,
                                               2**100])))
    if kind == "jobs":
        # The pool size is fixed process-wide by the first positive request,
        # so only values that leave it alone are generated here.
        return draw(st.sampled_from([None, 0, -1, -2**70, 2**64, 1.5, "2", True]))
    if kind == "call_jobs":
        if good_kind_only:
            return draw(st.sampled_from([None, 1, 2, -1, 3]))
        return draw(st.sampled_from([None, 1, 2, -1, -2, 0, -2**70, 2**64, 1.5, "2", True]))
    if kind == "verbose":
        choices = [0, None, False, lambda done, total, elapsed: None]
        if not good_kind_only:
            choices += [-1, 2**70, 1.5, "1", _refuse_progress]
        return draw(st.sampled_from(choices))
    if kind == "float":
        return draw(st.one_of(FLOATS, st.integers(-3, 3), st.sampled_from([10**400, -10**400])))
    if kind == "flag":
        return draw(st.one_of(st.booleans(), st.sampled_from([1, 0, np.bool_(True), None])))
    if kind in ("text", "opt_text"):
        if kind == "opt_text" and draw(st.integers(0, 3)) == 0:
            return None
        return draw(st.one_of(
            st.sampled_from(["sqrt", "log2", "0.5", "1", "1.0", "2", "7", "nan", "inf", "-inf",
                             "-1", "0", "1e308", "1e-320", "", " 0.5", "0x10", "\x00",
                             "classification", "regression", "Classification",
                             "clas\u00e9", "\ud800" if False else "\u2603",
                             "jackknife+", "quantile"]),
            st.text(max_size=8)))
    if kind == "tree":
        return draw(st.sampled_from(["fitted", "unfitted", "fitted", None, 3]))
    if kind == "bytes":
        return draw(st.binary(max_size=64))
    raise AssertionError(kind)


def _refuse_progress(done, total, elapsed):
    raise ValueError("progress callback refused")


def realise(value, name):
    """Turns placeholder tree values into real trees of the module under test."""
    if not isinstance(value, str):
        return value
    tree = _engine.Tree if _CURRENT["engine"] else _rs.DecisionTree
    if value == "fitted":
        t = tree(random_state=0, task="classification")
        t.fit(X_GOOD, Y_CLASS)
        return t
    if value == "fitted-regression":
        t = tree(random_state=0, task="regression")
        t.fit(X_GOOD, Y_REG)
        return t
    if value == "unfitted":
        return tree()
    return value


def make_good(name, cls):
    entry = CLASSES[name]
    if like(name) == "TreeSHAP":
        return cls(realise("fitted", "tree"), X_GOOD, "classification"), {}
    kwargs = dict(entry["good"])
    return cls(**kwargs), kwargs


def fit_good(name, obj, kwargs):
    if like(name) == "TreeSHAP":
        return
    if like(name) == "RandomForestUnsupervised":
        obj.fit(X_GOOD)
        return
    y = Y_REG if is_regression(name, kwargs) else Y_CLASS
    obj.fit(X_GOOD, y)


def fingerprint(name, obj, kwargs):
    """A deterministic summary of a fitted object's behaviour on good data."""
    if like(name) == "TreeSHAP":
        return obj.explain(X_GOOD[:5])
    if like(name) == "RandomForestUnsupervised":
        return obj.proximity_matrix(True)
    out = [obj.predict(X_GOOD)] if hasattr(obj, "predict") else []
    if hasattr(obj, "predict_proba") and not is_regression(name, kwargs):
        out.append(obj.predict_proba(X_GOOD))
    return out


def assert_still_works(name, cls, obj, kwargs):
    """After any sequence of calls the object refits and predicts exactly like
    a fresh one."""
    fresh, _ = make_good(name, cls) if like(name) == "TreeSHAP" else (cls(**kwargs), kwargs)
    fit_good(name, obj, kwargs)
    fit_good(name, fresh, kwargs)
    a = fingerprint(name, obj, kwargs)
    b = fingerprint(name, fresh, kwargs)
    assert repr(as_lists(a)) == repr(as_lists(b))


def as_lists(value):
    """Arrays as nested lists, so that repr shows every value."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, (list, tuple)):
        return [as_lists(v) for v in value]
    return value


def good_arg(kind):
    """A well-formed argument of the kind, for calls that must answer."""
    return {"matrix": X_GOOD, "vector": Y_CLASS, "count": 2, "opt_count": 2, "flag": True,
            "call_jobs": None, "verbose": 0}.get(kind, 0.05)


def draw_args(draw, params, **kw):
    args = {}
    for pname, kind in params:
        args[pname] = draw(values_of(kind, pname, **kw))
    return args


# ---- properties ------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_constructor_accepts_or_rejects_cleanly(name, data):
    cls = registered(name)
    entry = CLASSES[name]
    kwargs = {}
    for pname, kind in entry["ctor"]:
        if data.draw(st.booleans(), label=f"give {pname}"):
            value = data.draw(values_of(kind, pname), label=pname)
            kwargs[pname] = realise(value, pname)
    positional = data.draw(st.booleans(), label="positional")
    if positional:
        names = [p for p, _ in entry["ctor"]]
        args = []
        for p in names:
            if p not in kwargs:
                break
            args.append(kwargs.pop(p))
        ok, obj = attempt(cls, *args, **kwargs)
    else:
        ok, obj = attempt(cls, **kwargs)
    if ok:
        for getter in entry["getters"]:
            attempt(getattr, obj, getter)
        for method, params in entry["methods"].items():
            if not params:
                attempt(getattr(obj, method))
    # Surplus and unknown arguments are TypeErrors.
    with pytest.raises(TypeError):
        cls(*([None] * (len(entry["ctor"]) + 1)))
    with pytest.raises(TypeError):
        cls(no_such_keyword=1)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_method_calls_in_any_order_leave_the_object_working(name, data):
    cls = registered(name)
    entry = CLASSES[name]
    obj, kwargs = make_good(name, cls)
    if data.draw(st.booleans(), label="fitted first"):
        fit_good(name, obj, kwargs)
    methods = sorted(entry["methods"])
    steps = data.draw(st.integers(1, 6), label="steps")
    for _ in range(steps):
        method = data.draw(st.sampled_from(methods + entry["getters"]), label="method")
        if method in entry["getters"]:
            attempt(getattr, obj, method)
            continue
        params = entry["methods"][method]
        args = draw_args(data.draw, params)
        if data.draw(st.integers(0, 9), label="arity") == 0:
            # Wrong arity: one argument too many, or a required one missing.
            if data.draw(st.booleans()):
                with pytest.raises(TypeError):
                    getattr(obj, method)(*args.values(), None)
            elif any(p.default is inspect.Parameter.empty
                     for p in inspect.signature(getattr(obj, method)).parameters.values()):
                with pytest.raises(TypeError):
                    getattr(obj, method)()
            continue
        if data.draw(st.booleans(), label="by keyword"):
            attempt(getattr(obj, method), **args)
        else:
            attempt(getattr(obj, method), *args.values())
    assert_still_works(name, cls, obj, kwargs)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_extreme_settings_fit_and_predict(name, data):
    """Constructor settings at their extremes (work counts kept small), then a
    fit on generated data and every method."""
    cls = registered(name)
    entry = CLASSES[name]
    kwargs = {}
    for pname, kind in entry["ctor"]:
        if kind == "tree":
            kwargs[pname] = realise(data.draw(st.sampled_from(["fitted", "fitted-regression"])),
                                    pname)
            continue
        if pname in entry["work"]:
            kwargs[pname] = data.draw(st.integers(0, 3), label=pname)
            continue
        if pname in entry["texts"] and data.draw(st.booleans()):
            kwargs[pname] = data.draw(st.sampled_from(entry["texts"][pname]), label=pname)
            continue
        if pname == "n_jobs":
            continue
        if data.draw(st.booleans(), label=f"give {pname}"):
            kwargs[pname] = data.draw(values_of(kind, pname, good_kind_only=True), label=pname)
    ok, obj = attempt(cls, **kwargs)
    if not ok:
        return
    rows = data.draw(st.integers(0, 14), label="rows")
    cols = data.draw(st.integers(0, 4), label="cols")
    x = data.draw(arrays(ndim=2, rows=rows, cols=cols,
                         elements=st.one_of(st.floats(-3, 3), FLOATS)), label="x")
    if data.draw(st.integers(0, 2), label="dtype ok") and x.dtype != np.float64:
        x = x.astype(np.float64) if x.dtype != object else np.zeros(x.shape)
    y_len = data.draw(st.sampled_from([rows, rows, rows, max(rows - 1, 0), rows + 1]), label="ylen")
    y = np.array(data.draw(st.lists(LABELS, min_size=y_len, max_size=y_len), label="y"),
                 dtype=np.float64)
    w = None
    if data.draw(st.booleans(), label="weights"):
        w_len = data.draw(st.sampled_from([rows, rows, max(rows - 1, 0), rows + 1]))
        w = np.array(data.draw(st.lists(st.one_of(st.floats(0, 3), FLOATS), min_size=w_len,
                                        max_size=w_len)), dtype=np.float64)
    if "fit" in entry["methods"]:
        if ("y", "vector") in entry["methods"]["fit"]:
            attempt(obj.fit, x, y, w)
        else:
            attempt(obj.fit, x)
    for method, params in entry["methods"].items():
        if method == "fit":
            continue
        args = []
        for pname, kind in params:
            if kind == "matrix":
                args.append(x if data.draw(st.booleans()) else
                            data.draw(arrays(ndim=2, rows=data.draw(st.integers(0, 5)),
                                             cols=data.draw(st.integers(0, 5)))))
            elif kind == "vector":
                args.append(y)
            elif kind == "count" or kind == "opt_count":
                args.append(data.draw(st.integers(0, 4)))
            else:
                args.append(data.draw(values_of(kind, pname, good_kind_only=True)))
        attempt(getattr(obj, method), *args)
    for getter in entry["getters"]:
        attempt(getattr, obj, getter)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_huge_counts_fail_fast_or_are_rejected(name, data):
    """Huge work counts are stored as given; calls that cannot start work
    (not fitted, invalid data) still answer at once."""
    cls = registered(name)
    entry = CLASSES[name]
    if not entry["work"]:
        pytest.skip("no work counts")
    kwargs = dict(entry["good"])
    for pname in entry["work"]:
        kwargs[pname] = data.draw(st.sampled_from([10**9, 2**63, U64_MAX]), label=pname)
    ok, obj = attempt(cls, **kwargs)
    assert ok, obj
    for getter in entry["getters"]:
        attempt(getattr, obj, getter)
    for method, params in entry["methods"].items():
        if method in MUTATORS:
            continue
        args = [good_arg(k) for _, k in params]
        ok, err = attempt(getattr(obj, method), *args)
        assert ok == (method in UNFITTED_OK), f"{method}: {err}"
    bad = X_GOOD.copy()
    bad[data.draw(st.integers(0, len(bad) - 1)), data.draw(st.integers(0, WIDTH - 1))] = \
        data.draw(st.sampled_from([np.nan, np.inf, -np.inf]))
    if ("y", "vector") in entry["methods"]["fit"]:
        with pytest.raises(ValueError):
            obj.fit(bad, Y_CLASS)
        with pytest.raises(ValueError):
            obj.fit(X_GOOD, Y_CLASS, -np.ones(len(Y_CLASS)))


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_saved_state_corruption_is_rejected(name, data):
    """A damaged or foreign saved state is refused with ValueError/TypeError;
    a state that loads yields an object that answers every call."""
    cls = registered(name)
    if not hasattr(cls, "__setstate__"):
        pytest.skip("no saved state")
    obj, kwargs = make_good(name, cls)
    if data.draw(st.booleans()):
        fit_good(name, obj, kwargs)
    state = obj.__getstate__()
    if not isinstance(state, bytes):
        pytest.skip("no saved state")
    mode = data.draw(st.sampled_from(["truncate", "flip", "append", "random", "splice",
                                      "u64", "other"]))
    b = bytearray(state)
    if mode == "truncate":
        b = b[:data.draw(st.integers(0, max(len(b) - 1, 0)))]
    elif mode == "flip":
        for _ in range(data.draw(st.integers(1, 4))):
            i = data.draw(st.integers(0, len(b) - 1))
            b[i] ^= 1 << data.draw(st.integers(0, 7))
    elif mode == "append":
        b += data.draw(st.binary(min_size=1, max_size=16))
    elif mode == "random":
        b = bytearray(data.draw(st.binary(max_size=200)))
    elif mode == "splice":
        i = data.draw(st.integers(0, len(b)))
        b[i:i] = data.draw(st.binary(min_size=1, max_size=9))
    elif mode == "u64" and len(b) >= 8:
        i = data.draw(st.integers(0, len(b) - 8))
        b[i:i + 8] = data.draw(st.sampled_from([U64_MAX, 2**63, 2**32, 2**31, 10**9, 0]))\
            .to_bytes(8, "little")
    elif mode == "other":
        other = data.draw(st.sampled_from([n for n in NAMES if hasattr(_rs, n)]))
        _CURRENT["engine"] = False
        o2, k2 = make_good(other, getattr(_rs, other))
        other_state = o2.__getstate__()
        if isinstance(other_state, bytes):
            b = bytearray(other_state)
        _CURRENT["engine"] = name.startswith("engine.")
    target = cls.__new__(cls) if like(name) != "TreeSHAP" else make_good(name, cls)[0]
    ok, _ = attempt(target.__setstate__, bytes(b))
    for getter in CLASSES[name]["getters"]:
        attempt(getattr, target, getter)
    for method, params in CLASSES[name]["methods"].items():
        if method in MUTATORS:
            continue
        args = [good_arg(k) for _, k in params]
        attempt(getattr(target, method), *args)
        attempt(getattr(target, method), X_GOOD[:, :1], *args[1:]) if params and \
            params[0][1] == "matrix" else None
    if like(name) != "TreeSHAP":
        fit_good(name, target, kwargs) if not ok else None


def test_reentrant_access_is_refused():
    """A method that re-enters the same object (through an argument's
    conversion hook) gets the borrow RuntimeError, never corrupts it."""

    class Sneaky(np.ndarray):
        pass

    t = _rs.DecisionTree(random_state=0)
    t.fit(X_GOOD, Y_CLASS)
    before = t.predict(X_GOOD)

    class Hook:
        def __index__(self):
            t.fit(X_GOOD[:5], Y_CLASS[:5])
            return 1

    # Arguments are converted before access is taken, so a hook that refits
    # the object during conversion is harmless.
    u = _rs.DecisionTree(min_samples_leaf=Hook())
    assert u.is_fitted is False
    t.fit(X_GOOD, Y_CLASS)
    assert t.predict(X_GOOD) == before


# ---- the row-block door: bin edges, bin values and batches ------------------

_ODD = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=True), st.text(max_size=2),
                 st.booleans(), st.lists(st.floats(allow_nan=True), max_size=3))


@FUZZ
@given(data=st.data())
def test_row_block_edges_values_and_batches_answer_cleanly(data):
    """bin_edges with any `values` flag, and grow_batch with any bin values
    (lists of arrays of any length and content, or odd objects), answer with
    the edges or a batch, or a clean ValueError / TypeError."""
    rows = data.draw(st.integers(2, 40))
    levels = data.draw(st.integers(1, 6))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    x = np.column_stack([rng.integers(0, levels, rows) * 0.5, rng.normal(size=rows)])
    flag = data.draw(st.one_of(st.booleans(), _ODD))
    try:
        got = _engine.bin_edges(x, values=flag)
    except ALLOWED:
        got = None
    edges, values = _engine.bin_edges(x, values=True)
    assert [len(v) for v in values] == [len(e) for e in edges]
    if got is not None and not isinstance(got, tuple):
        assert all(np.array_equal(a, b) for a, b in zip(got, edges))
    bins = np.concatenate([np.searchsorted(e, c) for e, c in zip(edges, x.T)]).astype(np.uint8)
    model = _engine.ForestRegressor(n_estimators=2, random_state=0)
    plan = model.plan_batches(rows, 2)
    y = rng.normal(size=rows)
    arrays = st.lists(st.lists(st.one_of(st.floats(allow_nan=True), st.sampled_from(
        [float(v) for v in values[0] if not np.isnan(v)] or [0.0])), max_size=8).map(
            lambda v: np.asarray(v, dtype=float)), max_size=3)
    bad = data.draw(st.one_of(arrays, _ODD, st.just(values), st.just([values[0]] * 2)))
    try:
        out = model.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2, bin_values=bad)
    except ALLOWED:
        out = None
    assert out is None or isinstance(out, bytes)
    # The model and the door keep working.
    good = model.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2, bin_values=values)
    assert isinstance(good, bytes)
