"""Property-based robustness suite of the scikit-learn estimators.

Every estimator of the package is driven with generated parameters (at and
beyond their bounds, wrong types, huge values), generated inputs (non-finite
and extreme values, empty and one-row data, odd dtypes and memory layouts,
lists, pandas frames, string and mixed labels, odd sample weights), odd call
orders and damaged pickles. The properties:

- every call answers with a result or an exception derived from Exception,
  and that exception is a ValueError, TypeError or MemoryError (never an
  internal failure);
- a call that fails leaves the estimator exactly as it was (same attributes,
  same saved model);
- whatever happened before, refitting on good data gives the same model as a
  fresh estimator with the same parameters and random_state;
- a damaged pickle either fails to load with an ordinary exception or gives
  an object that answers every call.

The default run is short and deterministic; TARNWOOD_FUZZ=long runs many
more random examples (TARNWOOD_FUZZ_EXAMPLES sets the count per property).
"""
import collections
import copy
import os
import pickle
import warnings
import weakref

import numpy as np
import pytest

from conftest import FUZZ_HANG_SECONDS, FUZZ_LONG, fuzz_guards, fuzz_profile

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from scipy import sparse  # noqa: E402
from sklearn.utils.validation import _num_samples  # noqa: E402

import _rs  # noqa: E402
import tarnwood  # noqa: E402
from tarnwood import _base as package_base  # noqa: E402
from tarnwood import _engine  # noqa: E402

try:
    import pandas as pd
except ImportError:  # the frame inputs are then drawn as lists
    pd = None

LONG = FUZZ_LONG
HANG_SECONDS = FUZZ_HANG_SECONDS
FUZZ = fuzz_profile("tarnwood-package-fuzz", 30, 300)

PREFERRED = (ValueError, TypeError, MemoryError)

# Exception types seen, by (type, context), with one message each: printed
# at the end of a long run to review what the estimators answer.
SEEN = collections.Counter()
SAMPLE = {}


# ---- guards: hangs and runaway allocations ---------------------------------


@pytest.fixture(autouse=True)
def _guards():
    with fuzz_guards(HANG_SECONDS):
        yield


@pytest.fixture(scope="module", autouse=True)
def _summary():
    yield
    if LONG and SEEN:
        print("\nexceptions seen (type, context: count, sample message):")
        for (kind, context), count in sorted(SEEN.items()):
            print(f"  {kind:22s} {context:8s} {count:6d}  {SAMPLE[kind, context][:100]!r}")


def attempt(fn, *args, lenient=False, **kwargs):
    """Calls fn; returns (True, result) or (False, exception).

    Anything outside Exception's tree propagates and fails the test. With
    `lenient` (objects loaded from damaged pickles) every Exception is an
    answer; otherwise only the preferred types and the known internal
    failures are."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - classified below
        note(exc, "lenient" if lenient else "strict")
        if not lenient:
            check_exception(exc)
        return False, exc
    return True, result


def note(exc, context):
    key = (type(exc).__name__, context)
    SEEN[key] += 1
    SAMPLE.setdefault(key, str(exc))


def check_exception(exc):
    if isinstance(exc, MemoryError):
        return
    assert str(exc), f"{type(exc).__name__} without a message"
    if isinstance(exc, PREFERRED):
        return
    raise AssertionError(
        f"{type(exc).__name__} is not one of ValueError, TypeError, MemoryError: {exc}"
    ) from exc


# ---- the estimators --------------------------------------------------------

NAMES = list(tarnwood.__all__)
CLASSIFIERS = {"TreeClassifier", "ForestClassifier", "BoostedClassifier"}
REGRESSORS = {"TreeRegressor", "ForestRegressor", "BoostedRegressor"}
BOOSTED = {"BoostedClassifier", "BoostedRegressor"}

# Quick settings for fits that must succeed; random_state makes them
# reproducible.
SMALL = {
    "TreeClassifier": dict(random_state=3),
    "TreeRegressor": dict(random_state=3),
    "ForestClassifier": dict(n_estimators=3, random_state=3),
    "ForestRegressor": dict(n_estimators=3, random_state=3),
    "BoostedClassifier": dict(n_estimators=2, rf_n_estimators=2, random_state=3),
    "BoostedRegressor": dict(n_estimators=2, rf_n_estimators=2, random_state=3),
    "UnsupervisedForest": dict(n_estimators=4, random_state=3),
}

# The boosted estimators' settings that fit what `_rs` fits (no fit options).
LEGACY_BOOSTED = {
    "BoostedClassifier": dict(rf_max_leaf_nodes=None, early_stopping=False),
    "BoostedRegressor": dict(rf_max_leaf_nodes=None, early_stopping=False,
                             interval_method="refit"),
}

# The kind of every constructor parameter (test_every_parameter_is_fuzzed
# keeps this complete). "work" and "size" parameters set the amount of work
# or the size of a result, and are kept small wherever a fit runs.
KIND = {
    "n_estimators": "work", "rf_n_estimators": "work", "n_components": "size",
    "max_depth": "opt_int", "rf_max_depth": "opt_int", "n_neighbors": "opt_int",
    "min_samples_split": "int", "min_samples_leaf": "int",
    "random_state": "seed", "n_jobs": "jobs", "verbose": "verbose",
    "max_features": "features", "rf_max_features": "features",
    "bootstrap": "flag", "use_histogram": "flag", "async_mode": "flag",
    "learning_rate": "float", "tol": "float", "conformal_fraction": "float",
    "oob_score": "oob_score", "warm_start": "warm_start", "class_weight": "class_weight",
    "max_samples": "max_samples", "min_impurity_decrease": "min_impurity_decrease",
    "splitter": "splitter", "max_leaf_nodes": "max_leaf_nodes", "criterion": "criterion",
    "missing_unseen": "missing_unseen",
    "rf_max_leaf_nodes": "max_leaf_nodes", "early_stopping": "early_stopping",
    "validation_fraction": "validation_fraction", "n_iter_no_change": "int",
    "interval_method": "boost_interval_method",
    "categorical_features": "categorical_features", "max_bins": "max_bins",
}
# The forests' own options: good values, values beyond their bounds, wrong
# kinds (test_fuzz_forests.py fuzzes their analyses in depth).
CHOICES = {
    "oob_score": [False, True, 1, "yes"],
    "warm_start": [False, True, None],
    "class_weight": [None, "balanced", "balanced_subsample", {0: 2.0}, "bad", 3],
    "max_samples": [None, 0.5, 1.0, 10, 0, -1, 1.5, 10**30, float("nan")],
    "min_impurity_decrease": [0.0, 0.01, 1e300, -1.0, float("nan"), "x"],
    "splitter": ["best", "random", "other", None],
    "max_leaf_nodes": [None, 2, 5, 10**6, 2**64 - 1, 1, 0, 2**64, 2.0, "4"],
    "criterion": ["gini", "entropy", "log_loss", "squared_error", "Entropy", "", None, 1],
    "missing_unseen": ["majority", "error", "Majority", "", None, 1],
    # The boosted ensembles' early stopping and interval method.
    "early_stopping": ["auto", True, False, np.bool_(True), "yes", None, 1, 0.5],
    "validation_fraction": [0.1, 0.5, 0.9, 1e-9, 0.0, 1.0, -0.1, float("nan"), float("inf"),
                            "0.1", None, True],
    "boost_interval_method": ["holdout", "refit", "Holdout", "cv", None, 1],
    # Which columns hold categories: every form, lengths and indices beyond
    # the data's width, names of an array's columns, and wrong kinds.
    "categorical_features": ["from_dtype", None, [True, False, False], [0], [-1, 1], [],
                             np.array([2]), ["f0"], "auto", "", [3], [0.5], [[0]], 1, True,
                             [True], [0, "f1"]],
    # Bins per feature: the bounds, beyond them, and wrong kinds.
    "max_bins": [256, 2, 3, 255, 1, 0, 257, 4096, 65536, 65537, -1, 2**64, 16.0, "32", None, True],
}

# Public calls on a fitted estimator: (name, argument kinds). A name starting
# with "." is an attribute. "rows" are feature rows, "target" labels or
# values, "alpha" a level, "k" a neighbour count, "flag" a switch.
_SUPERVISED = [("predict", ["rows"]), ("score", ["rows", "target"])]
_PROBA = [("predict_proba", ["rows"]), ("predict_log_proba", ["rows"])]
_TREE = [("get_depth", []), ("get_n_leaves", [])]
# Every supervised estimator: Shapley values in both modes and interactions.
_EXPLAIN = [("explain", ["rows"]), ("explain", ["rows", "rows"]),
            ("explain_interactions", ["rows"])]
_BOOSTED = [("predict_interval", ["rows", "alpha"]), ("to_dict", []),
            (".feature_importances_", []), (".trees_used_", []), (".n_iter_", [])]
CALLS = {
    "TreeClassifier": _SUPERVISED + _PROBA + _TREE + _EXPLAIN,
    "TreeRegressor": _SUPERVISED + _TREE + _EXPLAIN,
    "ForestClassifier": _SUPERVISED + _PROBA + _EXPLAIN,
    "ForestRegressor": _SUPERVISED + _EXPLAIN + [
        ("predict_quantiles", ["rows", "quantiles"]),
        ("predict_interval", ["rows", "alpha", "interval_method"])],
    "BoostedClassifier": _SUPERVISED + _PROBA + _BOOSTED + _EXPLAIN,
    "BoostedRegressor": _SUPERVISED + _BOOSTED + _EXPLAIN + [
        ("conformal_quantile", ["alpha"]), (".calibration_residuals_", [])],
    "UnsupervisedForest": [
        ("transform", ["rows"]), ("proximity_matrix", ["flag"]), ("proximity_sparse", ["k"]),
        ("predict_proximity", ["rows"]), ("outlier_scores", ["flag"]),
        ("predict_outlier_scores", ["rows"]), (".feature_importances_", []),
        (".embedding_", []), (".eigenvalues_", [])],
}


# Calls that may keep what they computed in the fitted model (which then
# saves it too).
CACHING = {"proximity_sparse"}


def make(name, **params):
    return getattr(tarnwood, name)(**{**SMALL[name], **params})


def good_params(name):
    """Every parameter of the quick configuration."""
    return make(name).get_params()


# ---- data ------------------------------------------------------------------

_rng = np.random.default_rng(20240611)
X_WIDE = _rng.normal(size=(40, 5))
X_GOOD = X_WIDE[:, :3]
Y_CLASS = (X_GOOD[:, 0] + 0.3 * X_GOOD[:, 1] > 0).astype(np.int64)
Y_REG = X_GOOD[:, 0] * 2.0 + X_GOOD[:, 2]
LABEL_SETS = [["ham", "spam"], [3, 7, 11], [True, False], [-1.5, 2.5, 1e308], ["a", "b", "c", "d"],
              [0]]


def good_target(name, width=3, labels=None):
    if name in REGRESSORS:
        return X_WIDE[:, 0] * 2.0 + X_WIDE[:, width - 1]
    if labels is None:
        return Y_CLASS
    picks = (np.abs(X_WIDE[:, 0] * 7).astype(int)) % len(labels)
    return np.asarray(labels)[picks]


# Classifiers whose last fit had sample weights with zeros or whose sum (over
# a bootstrap sample, too) can go beyond the float range: their
# probabilities need not sum to one, or are NaN
# (pinned by test_forest_probabilities_sum_to_one_with_zero_weight_rows and
# test_weights_whose_sum_overflows_are_refused).
LOOSE = weakref.WeakSet()


def track_weights(est, w, rows):
    """Records whether the fit that just succeeded had such weights (a
    scalar weight applies to every row)."""
    try:
        with np.errstate(all="ignore"):
            a = np.asarray(w, dtype=np.float64)
            if a.ndim == 0:
                a = np.full(rows, a)
            # A bootstrap sample may repeat the heaviest row on every draw.
            odd = a.size > 0 and bool(np.any(a == 0) or not np.isfinite(a.max() * a.size))
    except (TypeError, ValueError):
        odd = False
    if odd and w is not None:
        LOOSE.add(est)
    else:
        LOOSE.discard(est)


def fit_good(name, est, width=3, labels=None):
    LOOSE.discard(est)
    x = X_WIDE[:, :width]
    if name == "UnsupervisedForest":
        return est.fit(x)
    return est.fit(x, good_target(name, width, labels))


FINITE = st.one_of(
    st.floats(-3, 3, allow_nan=False),
    st.sampled_from([0.0, -0.0, 1.0, 1e308, -1e308, 1.7976931348623157e308, 5e-324, -5e-324,
                     1e-300, 2.0**53 + 1, 2.0**64, 1e19]),
)
NONFINITE = st.sampled_from([np.nan, np.inf, -np.inf])
VALUES = st.one_of(FINITE, FINITE, FINITE, FINITE, NONFINITE)

X_FORMS = ["f8", "f8", "f8", "f8", "f4", "f2", "i8", "i4", "u1", "bool", "c16", "object", "str",
           "bytes", "list", "frame", "frame", "frame-nullable", "frame-names", "frame-categories",
           "sparse", "1d", "3d", "scalar", "none", "ragged"]
LAYOUTS = ["c", "c", "fortran", "strided", "reversed", "readonly", "broadcast", "unaligned",
           "transposed"]
FRAME_NAMES = [["a", "b", "c", "d", "e"], ["b", "a", "c", "d", "e"], [0, 1, 2, 3, 4],
               ["a", 1, "c", 3, "e"]]


def relayout(arr, layout):
    """The same values in another memory layout."""
    if arr.ndim != 2:
        return arr
    if layout == "fortran":
        return np.asfortranarray(arr)
    if layout == "strided":
        return np.repeat(arr, 2, axis=1)[:, ::2]
    if layout == "reversed":
        return arr[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "readonly":
        arr = arr.copy()
        arr.setflags(write=False)
        return arr
    if layout == "broadcast" and arr.shape[0] > 0:
        return np.broadcast_to(arr[:1], arr.shape)
    if layout == "unaligned" and arr.dtype != object and arr.dtype.itemsize > 1:
        buf = np.zeros(arr.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(buf.data, dtype=arr.dtype, count=arr.size, offset=1).reshape(arr.shape)
        np.copyto(out, arr)
        return out
    if layout == "transposed":
        return np.ascontiguousarray(arr.T).T
    return arr


def as_integers(base, dtype):
    with np.errstate(all="ignore"):
        return np.nan_to_num(base, nan=0, posinf=0, neginf=0).clip(-100, 100).astype(dtype)


@st.composite
def matrices(draw, rows=None, cols=None, finite=None):
    """Feature rows in any form a caller might pass."""
    if rows is None:
        rows = draw(st.sampled_from([0, 1, 2, 3, 5, 8, 12, 20]))
    if cols is None:
        cols = draw(st.sampled_from([3, 3, 3, 0, 1, 2, 5]))
    if finite is None:
        finite = draw(st.integers(0, 3)) > 0
    elements = st.one_of(st.floats(-3, 3), FINITE) if finite else VALUES
    values = draw(st.lists(elements, min_size=rows * cols, max_size=rows * cols))
    base = np.array(values, dtype=np.float64).reshape(rows, cols)
    form = draw(st.sampled_from(X_FORMS))
    with np.errstate(all="ignore"):
        if form in ("f8", "f4", "f2", "c16"):
            arr = base.astype(form)
        elif form in ("i8", "i4", "u1", "bool"):
            arr = as_integers(base, form)
        elif form == "object":
            arr = base.astype(object)
            if arr.size and draw(st.booleans()):
                arr[draw(st.integers(0, rows - 1)), draw(st.integers(0, cols - 1))] = \
                    draw(st.sampled_from([None, "x", "1.5", b"2", [1.0], object()]))
        elif form == "str":
            return base.astype(str)
        elif form == "bytes":
            return base.astype("S32")
        elif form == "list":
            return base.tolist()
        elif form.startswith("frame"):
            if pd is None:
                return base.tolist()
            names = draw(st.sampled_from(FRAME_NAMES))[:cols]
            frame = pd.DataFrame(base, columns=names if form == "frame-names" else
                                 [f"f{i}" for i in range(cols)])
            if form == "frame-nullable":
                frame = frame.astype("Float64")
            if form == "frame-categories" and cols:
                # A category column and a string column, with missing entries.
                labels = [None if v != v else f"c{np.clip(v, -3, 3):.0f}" for v in base[:, 0]]
                frame[frame.columns[0]] = pd.Categorical(labels)
                if cols > 1:
                    frame[frame.columns[1]] = [None if v != v else f"s{v:.1f}" for v in base[:, 1]]
            return frame
        elif form == "sparse":
            return sparse.csr_matrix(np.nan_to_num(base))
        elif form == "1d":
            return base.ravel()
        elif form == "3d":
            return base.reshape(rows, cols, 1)
        elif form == "scalar":
            return draw(st.sampled_from([1.0, np.float64(2.0), "x", np.array(3.0)]))
        elif form == "none":
            return None
        elif form == "ragged":
            return [[1.0, 2.0], [3.0]] if draw(st.booleans()) else [[1.0] * cols, "ab"]
    return relayout(arr, draw(st.sampled_from(LAYOUTS)))


LABEL_VALUES = st.one_of(
    st.integers(0, 2),
    st.sampled_from([0.5, -1.0, 1e308, -1e308, 5e-324, 2.0**63, np.nan, np.inf, "a", "b", True,
                     None, b"x"]),
)


@st.composite
def targets(draw, rows, name):
    """Labels or values, of the right length or not, in any form."""
    n = draw(st.sampled_from([rows, rows, rows, rows, max(rows - 1, 0), rows + 1]))
    form = draw(st.sampled_from(["numeric", "numeric", "labels", "strings", "mixed", "column",
                                 "two-columns", "list", "series", "scalar", "bools"]))
    if form == "numeric" or (form == "labels" and name in REGRESSORS):
        values = draw(st.lists(VALUES if name in REGRESSORS else st.integers(0, 3),
                               min_size=n, max_size=n))
        return np.array(values, dtype=np.float64 if name in REGRESSORS else np.int64)
    if form == "labels":
        return np.array(draw(st.lists(LABEL_VALUES, min_size=n, max_size=n)), dtype=object)
    if form == "strings":
        return np.array(draw(st.lists(st.sampled_from(["ham", "spam", "", "é"]), min_size=n,
                                      max_size=n)))
    if form == "mixed":
        return np.array(draw(st.lists(st.sampled_from(["a", 1, 2.5]), min_size=n, max_size=n)),
                        dtype=object)
    if form == "bools":
        return np.array(draw(st.lists(st.booleans(), min_size=n, max_size=n)))
    values = np.array(draw(st.lists(st.integers(0, 2), min_size=n, max_size=n)), dtype=np.float64)
    if form == "column":
        return values.reshape(-1, 1)
    if form == "two-columns":
        return np.column_stack([values, values])
    if form == "list":
        return values.tolist()
    if form == "series":
        return values.tolist() if pd is None else pd.Series(values)
    return 1.0


WEIGHT_VALUES = st.one_of(
    st.floats(0, 3),
    st.sampled_from([0.0, 1.0, 1e308, 1.7976931348623157e308, 1e300, 5e-324, -1.0, -0.0, np.nan,
                     np.inf]),
)


@st.composite
def weights(draw, rows):
    if draw(st.integers(0, 2)) == 0:
        return None
    n = draw(st.sampled_from([rows, rows, rows, max(rows - 1, 0), rows + 1]))
    values = np.array(draw(st.lists(WEIGHT_VALUES, min_size=n, max_size=n)), dtype=np.float64)
    form = draw(st.sampled_from(["f8", "f8", "f8", "i8", "list", "scalar", "column", "str",
                                 "fortran-column"]))
    if form == "i8":
        return as_integers(values, "i8")
    if form == "list":
        return values.tolist()
    if form == "scalar":
        return draw(WEIGHT_VALUES)
    if form == "column":
        return values.reshape(-1, 1)
    if form == "str":
        return values.astype(str)
    if form == "fortran-column":
        return np.asfortranarray(np.column_stack([values, values]))[:, 0]
    return values


JUNK = st.sampled_from([None, "3", "", b"x", 1.5, float("nan"), float("inf"), True, False, [1],
                        {}, object(), np.float64(2.0), np.int64(2), -1, 0, 2**64, 2**70, -2**70,
                        10**400, complex(1, 0), np.array([1, 2])])
HUGE_INTS = [10**12, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**30, -2**63, -10**12]


@st.composite
def param_values(draw, kind, fit_runs=True):
    """A value for a parameter of the given kind: good values, values at and
    beyond the bounds, and now and then one of a wrong type. When a fit runs
    with it, work and result sizes stay small."""
    if kind in CHOICES:
        return draw(st.sampled_from(CHOICES[kind]))
    if draw(st.integers(0, 7)) == 0:
        value = draw(JUNK)
        if fit_runs and kind in ("work", "size") and isinstance(value, int) and 3 < value < 2**64:
            return 3
        return value
    if kind in ("int", "opt_int"):
        if kind == "opt_int" and draw(st.integers(0, 3)) == 0:
            return None
        return draw(st.one_of(st.integers(-2, 6), st.sampled_from(HUGE_INTS),
                              st.sampled_from([np.int64(3), np.uint64(2**64 - 1), np.int8(-1),
                                               np.int32(0)])))
    if kind in ("work", "size"):
        values = [-1, 0, 1, 2, 3, np.int64(2), 2**64, 10**30, -10**12, None]
        if not fit_runs:
            values += HUGE_INTS
        return draw(st.sampled_from(values))
    if kind == "seed":
        return draw(st.one_of(
            st.none(), st.integers(0, 2**64 - 1),
            st.sampled_from([-1, 2**64, np.int64(5), np.uint64(2**64 - 1), "seed", 1.5]),
            st.builds(np.random.RandomState, st.integers(0, 9)),
            st.builds(np.random.default_rng, st.integers(0, 9))))
    if kind == "jobs":
        return draw(st.sampled_from([None, None, 1, 2, -1, -2, -3, 0, 10**12, 2**64, -2**70, 1.5,
                                     "2", True, np.int64(2)]))
    if kind == "verbose":
        return draw(st.sampled_from([0, 0, False, None, 1, 3, 2**63, 2**70, -1, 1.5, "1", True,
                                     lambda done, total, elapsed: None, _refuse_progress,
                                     _check_progress, _check_progress]))
    if kind == "features":
        return draw(st.sampled_from([None, "sqrt", "log2", "auto", "", "SQRT", 0, 1, 2, 3, 5,
                                     10**12, 2**64, -1, 0.0, 1e-300, 0.5, 1.0, 1.0000001, 1e308,
                                     float("nan"), float("inf"), True, np.float32(0.5),
                                     np.int64(2), 10**400]))
    if kind == "flag":
        return draw(st.sampled_from([True, False, True, False, 1, 0, np.bool_(True), None, "True"]))
    if kind == "float":
        return draw(st.one_of(
            st.floats(allow_nan=True, allow_infinity=True),
            st.floats(0, 1),
            st.sampled_from([0.0, -0.0, 5e-324, 1e-300, 0.1, 0.2, 0.5, 1.0, 1e300, 1e308,
                             10**400, 1, np.float32(0.3), np.float64(0.1)])))
    raise AssertionError(kind)


def _refuse_progress(done, total, elapsed):
    raise ValueError("progress callback refused")


def _check_progress(done, total, elapsed):
    assert type(done) is int and type(total) is int and type(elapsed) is float
    assert 0 <= done <= total and elapsed >= 0.0, (done, total, elapsed)


@st.composite
def call_args(draw, kinds, rows_width):
    """Arguments of one public call."""
    args = []
    for kind in kinds:
        if kind == "rows":
            if draw(st.integers(0, 2)):
                args.append(X_WIDE[:draw(st.integers(1, 40)), :rows_width])
            else:
                args.append(draw(matrices(cols=draw(st.sampled_from([rows_width, rows_width, 0,
                                                                     1, 5])))))
        elif kind == "target":
            args.append(draw(targets(40, "ForestRegressor" if draw(st.booleans())
                                     else "ForestClassifier")))
        elif kind == "alpha":
            args.append(draw(param_values("float")))
        elif kind == "k":
            args.append(draw(param_values("opt_int", fit_runs=False)))
        elif kind == "flag":
            args.append(draw(param_values("flag")))
        elif kind == "quantiles":
            args.append(draw(st.one_of(
                st.lists(st.floats(-0.2, 1.2), max_size=4),
                st.sampled_from([0.5, [0.1, 0.5, 0.9], (0.0, 1.0), [], [[0.5]], [np.nan], "x",
                                 None, np.array([0.25, 0.75], dtype=np.float32), 10**400]))))
        elif kind == "interval_method":
            args.append(draw(st.sampled_from(["jackknife+", "quantile", "jackknife", None, 1])))
    return args


def good_args(kinds, width):
    return [{"rows": X_WIDE[:, :width], "target": good_target("ForestClassifier"),
             "alpha": 0.1, "k": 2, "flag": True, "quantiles": [0.1, 0.5, 0.9],
             "interval_method": "quantile"}[k] for k in kinds]


# ---- checks ----------------------------------------------------------------


class TookTooLong(Exception):
    """Raised by a progress callback when a fit runs past its time limit."""


def _time_limit(seconds):
    def progress(done, total, elapsed):
        if elapsed > seconds:
            raise TookTooLong(f"{done} of {total} done after {elapsed:.1f} s")
    return progress




def canonical(value):
    """A comparable form of an attribute value."""
    if isinstance(value, np.ndarray):
        if value.dtype == object:
            return ("objects", value.shape, repr(value.tolist()))
        return ("array", value.dtype.str, value.shape, value.tobytes())
    getstate = getattr(value, "__getstate__", None)
    if type(value).__module__ in ("builtins", "tarnwood._engine") and \
            type(value).__name__ in dir(_engine) and getstate is not None:
        return ("model", type(value).__name__, getstate())
    if isinstance(value, (np.random.RandomState, np.random.Generator)):
        # The caller's generator: a fit draws its seed from it, and may do so
        # before it fails on a later check.
        return ("generator", type(value).__name__)
    if callable(value):
        return ("callable", getattr(value, "__qualname__", repr(type(value))))
    text = repr(value)
    if " at 0x" in text:  # an object without a value of its own
        return ("object", type(value).__name__)
    return ("value", text)


def state_of(est):
    return {k: canonical(v) for k, v in vars(est).items()}


def call(est, method, args, lenient=False):
    if method.startswith("."):
        # A fitted attribute of an unfitted estimator does not exist (the
        # scikit-learn convention that hasattr relies on).
        unfitted = not hasattr(est, "model_")
        try:
            return True, getattr(est, method[1:])
        except Exception as exc:  # noqa: BLE001 - classified below
            if unfitted and not lenient and isinstance(exc, AttributeError):
                note(exc, "unfitted")
                return False, exc
            note(exc, "lenient" if lenient else "strict")
            if not lenient:
                check_exception(exc)
            return False, exc
    return attempt(lambda: getattr(est, method)(*args), lenient=lenient)


def n_rows(x):
    try:
        return _num_samples(x)
    except TypeError:
        return 1


ROW_CALLS = {"predict", "predict_proba", "predict_log_proba", "predict_interval", "transform",
             "predict_proximity", "predict_outlier_scores", "explain", "explain_interactions",
             "predict_quantiles"}


def check_result(name, est, method, args, result):
    """Shapes and ranges every successful call must respect."""
    n = _num_samples(args[0]) if method in ROW_CALLS else None
    if method in ROW_CALLS:
        assert isinstance(result, np.ndarray), type(result)
    if method in ("predict", "predict_outlier_scores"):
        assert result.shape == (n,)
        if name in CLASSIFIERS:
            classes = est.classes_.tolist()
            assert all(v in classes for v in result.tolist()), (result, classes)
    elif method == "predict_proba":
        assert result.shape == (n, len(est.classes_))
        if est not in LOOSE:
            assert np.all((result >= 0) & (result <= 1)), result
            np.testing.assert_allclose(result.sum(axis=1), 1.0, rtol=1e-9)
    elif method in ("predict_interval",):
        assert result.shape == (n, 2)
        lower, upper = result[:, 0], result[:, 1]
        assert np.all((lower <= upper) | np.isnan(lower) | np.isnan(upper)), result
    elif method == "predict_quantiles":
        levels = np.atleast_1d(np.asarray(args[1], dtype=np.float64))
        assert result.shape == (n, levels.size)
        if np.all(np.diff(levels) >= 0):
            assert np.all(np.diff(result, axis=1) >= 0), (levels, result)
    elif method == "transform":
        assert result.shape == (n, est.embedding_.shape[1])
    elif method == "predict_proximity":
        assert result.shape == (n, est.model_.n_samples)
    elif method in ("explain", "explain_interactions"):
        outputs = len(est.classes_) if name in CLASSIFIERS else 1
        if name == "BoostedClassifier" and outputs == 2:
            outputs = 1  # the log-odds of the second class
        p = est.n_features_in_
        shape = (n, outputs, p) if method == "explain" else (n, outputs, p, p)
        assert result.shape == shape, (result.shape, shape)
    elif method == "score":
        assert isinstance(result, float)


def fingerprint(name, est):
    """What a fitted estimator answers on good data."""
    width = est.n_features_in_
    x = X_WIDE[:, :width]
    if name == "UnsupervisedForest":
        out = [est.embedding_, est.transform(x[:6]), est.outlier_scores()]
    else:
        out = [est.predict(x)]
        if name in CLASSIFIERS:
            out.append(est.predict_proba(x))
        if name in BOOSTED:
            out.append(est.feature_importances_)
        if name.startswith("Tree"):
            out.append(est.explain(x[:4], x))
    return [canonical(np.asarray(v)) for v in out]


def assert_still_works(name, est, width=3, labels=None):
    """Refit with the quick configuration gives the model of a fresh
    estimator with those parameters."""
    est.set_params(**good_params(name))
    fresh = make(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit_good(name, est, width, labels)
        fit_good(name, fresh, width, labels)
    assert fingerprint(name, est) == fingerprint(name, fresh)


def exercise(name, est, draw=None, width=3, lenient=False):
    """Every public call, with good or drawn arguments; calls never change
    the estimator."""
    before = state_of(est) if not lenient else None
    for method, kinds in CALLS[name]:
        args = draw(call_args(kinds, width)) if draw is not None else good_args(kinds, width)
        ok, result = call(est, method, args, lenient=lenient)
        if ok and not lenient:
            check_result(name, est, method, args, result)
        if before is not None:
            if ok and method in CACHING:
                before = state_of(est)
            assert state_of(est) == before, f"{method} changed the estimator"


# ---- properties ------------------------------------------------------------


def test_every_parameter_is_fuzzed():
    for name in NAMES:
        assert set(make(name).get_params()) <= set(KIND), name
        public = set(dir(type(make(name)))) | set(vars(fit_good(name, make(name))))
        assert {m.lstrip(".") for m, _ in CALLS[name]} <= public, name


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_parameters_at_and_beyond_their_bounds(name, data):
    """Constructor parameters of every kind and size: a fit either refuses
    them cleanly (leaving the estimator as it was) or gives an estimator that
    answers every call."""
    params = {}
    for pname in make(name).get_params():
        if data.draw(st.booleans(), label=f"set {pname}"):
            params[pname] = data.draw(param_values(KIND[pname]), label=pname)
    if data.draw(st.booleans(), label="fitted first"):
        est = fit_good(name, make(name)).set_params(**params)
    else:
        ok, est = attempt(make, name, **params)
        assert ok, est  # constructors only store their parameters
    before = state_of(est)
    ok, err = attempt(fit_good, name, est)
    if not ok:
        assert state_of(est) == before, f"failed fit ({err!r}) changed the estimator"
    else:
        exercise(name, est)
    assert_still_works(name, est)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_any_input_is_answered(name, data):
    """Generated rows, targets and weights for fit, then generated arguments
    for every call."""
    est = make(name)
    if data.draw(st.booleans(), label="fitted first"):
        fit_good(name, est)
    before = state_of(est)
    x = data.draw(matrices(), label="X")
    rows = n_rows(x)
    if name == "UnsupervisedForest":
        if data.draw(st.booleans(), label="fit_transform"):
            ok, err = attempt(est.fit_transform, x)
            if ok:
                assert err.shape == est.embedding_.shape == (n_rows(x), est.n_components)
        else:
            ok, err = attempt(est.fit, x)
    else:
        y = data.draw(targets(rows, name), label="y")
        w = data.draw(weights(rows), label="sample_weight")
        ok, err = attempt(est.fit, x, y, sample_weight=w)
        if ok:
            track_weights(est, w, rows)
    if not ok:
        assert state_of(est) == before, f"failed fit ({err!r}) changed the estimator"
    width = est.n_features_in_ if hasattr(est, "n_features_in_") else 3
    exercise(name, est, data.draw, width=width)
    assert_still_works(name, est)


STEPS = ["fit", "fit", "fit-classes", "fit-drawn", "call", "call", "call", "set_params",
         "pickle", "deepcopy"]


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_calls_in_any_order(name, data):
    """Fits of other widths and classes, failing fits, every call (also before
    any fit), set_params and pickling in any order. A failing call leaves the
    estimator as it was; every answer fits the model last fitted."""
    est = make(name)
    width, labels = 3, None
    for _ in range(data.draw(st.integers(1, 7), label="steps")):
        step = data.draw(st.sampled_from(STEPS), label="step")
        before = state_of(est)
        if step in ("fit", "fit-classes"):
            new_width = data.draw(st.integers(1, 5), label="width")
            new_labels = data.draw(st.sampled_from(LABEL_SETS), label="labels") \
                if step == "fit-classes" else None
            ok, err = attempt(fit_good, name, est, new_width, new_labels)
            if ok:
                width, labels = new_width, new_labels
                if name in CLASSIFIERS:
                    expected = np.unique(good_target(name, width, labels))
                    assert est.classes_.tolist() == expected.tolist()
        elif step == "fit-drawn":
            x = data.draw(matrices(rows=data.draw(st.sampled_from([0, 1, 6, 20]))), label="X")
            rows = n_rows(x)
            if name == "UnsupervisedForest":
                ok, err = attempt(est.fit, x)
            else:
                w = data.draw(weights(rows), label="sample_weight")
                ok, err = attempt(est.fit, x, data.draw(targets(rows, name), label="y"), w)
                if ok:
                    track_weights(est, w, rows)
            if ok:
                width = est.n_features_in_
                labels = "drawn"
        elif step == "call":
            method, kinds = data.draw(st.sampled_from(CALLS[name]), label="method")
            args = data.draw(call_args(kinds, width), label="args")
            ok, result = call(est, method, args)
            if ok:
                check_result(name, est, method, args, result)
            if not ok or method not in CACHING:
                assert state_of(est) == before, f"{method} changed the estimator"
            continue
        elif step == "set_params":
            pname = data.draw(st.sampled_from(sorted(est.get_params())), label="param")
            est.set_params(**{pname: data.draw(param_values(KIND[pname]), label="value")})
            continue
        elif step == "pickle":
            # Parameters that cannot be pickled (a lambda as verbose) make
            # pickling fail the usual way.
            ok, blob = attempt(pickle.dumps, est, lenient=True)
            if ok:
                loose, est = est in LOOSE, pickle.loads(blob)
                assert state_of(est) == before
                if loose:
                    LOOSE.add(est)
            continue
        else:
            loose, est = est in LOOSE, copy.deepcopy(est)
            assert state_of(est) == before
            if loose:
                LOOSE.add(est)
            continue
        if not ok:
            assert state_of(est) == before, f"failed {step} ({err!r}) changed the estimator"
    assert_still_works(name, est, width, None if labels == "drawn" else labels)


REFUSED_DATA = ["nan", "inf", "empty", "no-columns", "short-target", "negative-weight",
                "nan-weight", "strings"]
REFUSED_ROWS = ["nan", "inf", "empty", "no-columns", "strings"]


def refused_data(name, kind):
    """Arguments of a fit whose data is refused."""
    x, y, w = X_GOOD.copy(), good_target(name), None
    if kind == "nan":
        # A missing value in X is refused only where missing values are not
        # handled; elsewhere a NaN target is.
        if getattr(tarnwood, name)._accepts_missing:
            y = np.array(y, dtype=object)
            y[3] = np.nan
        else:
            x[3, 1] = np.nan
    elif kind == "inf":
        x[0, 0] = -np.inf
    elif kind == "empty":
        x, y = x[:0], y[:0]
    elif kind == "no-columns":
        x = x[:, :0]
    elif kind == "short-target":
        y = y[:-1]
    elif kind == "negative-weight":
        w = np.r_[np.ones(len(x) - 1), -1.0]
    elif kind == "nan-weight":
        w = np.r_[np.nan, np.ones(len(x) - 1)]
    elif kind == "strings":
        x = x.astype(str)
        x[2, 2] = "two"
    if name == "UnsupervisedForest":
        return (x,)
    return (x, y, w)


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_huge_work_counts_answer_at_once_when_no_work_can_start(name, data):
    """Huge work counts and result sizes are only stored; a fit on refused
    data, and every call of an estimator not fitted with them, still answer
    at once (a progress callback stops any fit that starts working)."""
    params = {p: data.draw(st.sampled_from(HUGE_INTS), label=p)
              for p in make(name).get_params() if KIND[p] in ("work", "size")}
    if "verbose" in make(name).get_params():
        params["verbose"] = _time_limit(2.0)
    if data.draw(st.booleans(), label="fitted first"):
        est = fit_good(name, make(name)).set_params(**params)
    else:
        est = make(name, **params)
    before = state_of(est)
    kinds = REFUSED_ROWS if name == "UnsupervisedForest" else REFUSED_DATA
    kind = data.draw(st.sampled_from(kinds), label="data")
    ok, err = attempt(est.fit, *refused_data(name, kind))
    assert not ok
    assert state_of(est) == before
    exercise(name, est)


# The `_rs` class whose saved state each engine class shares.
RS_CLASS = {"Tree": "DecisionTree", "ForestClassifier": "RandomForestClassifier",
            "ForestRegressor": "RandomForestRegressor", "BoostedClassifier": "TarnwoodClassifier",
            "BoostedRegressor": "TarnwoodRegressor", "UnsupervisedForest": "RandomForestUnsupervised"}
DAMAGE = ["truncate", "flip", "flip", "splice", "delete", "u64", "repeat"]


@pytest.mark.parametrize("name", NAMES)
@FUZZ
@given(data=st.data())
def test_damaged_pickles(name, data):
    """A damaged pickle fails to load with an ordinary exception, or loads
    into an object that answers every call with a result or an exception."""
    est = make(name)
    fitted = data.draw(st.booleans(), label="fitted")
    if fitted:
        fit_good(name, est)
        if data.draw(st.booleans(), label="earlier release"):
            # Estimators pickled by earlier releases hold `_rs` models.
            rs_cls = getattr(_rs, RS_CLASS[type(est.model_).__name__])
            if name.startswith("Forest"):
                # The package's forests also save their fit record, which
                # `_rs` does not read: the old model is grown by `_rs`.
                model = rs_cls(n_estimators=3, random_state=1)
                model.fit(X_GOOD, good_target(name, 3, None).astype(np.float64))
            else:
                if name in BOOSTED:
                    # `_rs` states hold no fit options: such models were
                    # fitted without them.
                    fit_good(name, est.set_params(**LEGACY_BOOSTED[name]))
                model = rs_cls.__new__(rs_cls)
                model.__setstate__(est.model_.__getstate__())
            est.model_ = model
    blob = bytearray(pickle.dumps(est, protocol=data.draw(st.sampled_from([2, 4, 5]))))
    if fitted:
        # Intact, it predicts what the estimator predicts (which switches an
        # earlier release's model to the engine's on first use).
        assert fingerprint(name, pickle.loads(bytes(blob))) == fingerprint(name, est)
    for _ in range(data.draw(st.integers(1, 3), label="damages")):
        mode = data.draw(st.sampled_from(DAMAGE), label="damage")
        i = data.draw(st.integers(0, len(blob) - 1), label="at")
        if mode == "truncate":
            blob = blob[:i]
        elif mode == "flip":
            blob[i] ^= 1 << data.draw(st.integers(0, 7))
        elif mode == "splice":
            blob[i:i] = data.draw(st.binary(min_size=1, max_size=9))
        elif mode == "delete":
            del blob[i:i + data.draw(st.integers(1, 16))]
        elif mode == "u64":
            blob[i:i + 8] = data.draw(st.sampled_from([2**64 - 1, 2**63, 2**32, 10**12, 0])) \
                .to_bytes(8, "little")
        elif mode == "repeat":
            j = data.draw(st.integers(i, len(blob)))
            blob[j:j] = blob[i:j][:64]
        if not blob:
            break
    ok, loaded = attempt(pickle.loads, bytes(blob), lenient=True)
    if not ok or not isinstance(loaded, package_base.EngineEstimator):
        return
    loaded_name = type(loaded).__name__
    width = getattr(loaded, "n_features_in_", 3)
    width = width if isinstance(width, int) and 1 <= width <= 5 else 3
    exercise(loaded_name, loaded, width=width, lenient=True)
    for w in (1, 5):
        for method, kinds in CALLS[loaded_name]:
            call(loaded, method, good_args(kinds, w), lenient=True)
    attempt(repr, loaded, lenient=True)
    ok, params = attempt(loaded.get_params, lenient=True)
    if ok and all(_small_size(params.get(p)) for p in params if KIND.get(p) in ("work", "size")):
        # Refitting rebuilds the model from the parameters alone.
        fresh = type(loaded)(**params)
        a = attempt(fit_good, loaded_name, loaded, lenient=True)[0]
        b = attempt(fit_good, loaded_name, fresh, lenient=True)[0]
        assert a == b
        if a and params.get("random_state") is not None and isinstance(params["random_state"], int):
            assert fingerprint(loaded_name, loaded) == fingerprint(loaded_name, fresh)


def _small_size(value):
    return value is None or not isinstance(value, int) or value <= 50


# ---- faults found by the properties, pinned --------------------------------


SUPERVISED = [n for n in NAMES if n != "UnsupervisedForest"]
WITH_PROGRESS = [n for n in NAMES if "verbose" in make(n).get_params()]


def _answers(name, est):
    return fingerprint(name, est), state_of(est)


@pytest.mark.parametrize("name", NAMES)
def test_failed_fit_leaves_a_fitted_estimator_as_it_was(name):
    """Fits that fail after the data checks (a parameter refused, the engine
    refusing the weights, a progress callback interrupting) must not leave a
    new width or new classes beside the old model."""
    est = fit_good(name, make(name))
    before = _answers(name, est)
    wide = X_WIDE
    if name == "UnsupervisedForest":
        failing = [lambda: est.set_params(n_estimators=0).fit(wide)]
    else:
        y = np.where(good_target(name, 5) > 0, "up", "down") if name in CLASSIFIERS \
            else good_target(name, 5)
        failing = [
            lambda: est.set_params(min_samples_leaf=-1).fit(wide, y),
            lambda: est.fit(wide, y, sample_weight=np.r_[-1.0, np.ones(39)]),
        ]
    for fit in failing:
        with pytest.raises(ValueError):
            fit()
        est.set_params(**good_params(name))
        assert _answers(name, est) == before
    if name in WITH_PROGRESS:
        def interrupt(done, total, elapsed):
            raise KeyboardInterrupt

        args = (wide,) if name == "UnsupervisedForest" else (wide, y)
        with pytest.raises(KeyboardInterrupt):
            est.set_params(verbose=interrupt).fit(*args)
        est.set_params(**good_params(name))
        assert _answers(name, est) == before


@pytest.mark.parametrize("name", NAMES)
def test_failed_first_fit_leaves_no_fitted_attributes(name):
    est = make(name, **{"min_samples_split": None})
    with pytest.raises(ValueError, match="min_samples_split"):
        fit_good(name, est)
    assert vars(est) == vars(make(name, min_samples_split=None))


@pytest.mark.parametrize("name", NAMES)
def test_integers_beyond_64_bits_are_refused_naming_the_parameter(name):
    params = [p for p in make(name).get_params() if KIND[p] in ("work", "size", "int", "opt_int")]
    assert params
    for pname in params:
        for value in (2**64, 10**30):
            est = make(name, **{pname: value})
            with pytest.raises(ValueError, match=f"'{pname}'.*2\\*\\*64 - 1") as err:
                fit_good(name, est)
            assert isinstance(err.value, TypeError)  # both, as scikit-learn's are
            assert not hasattr(est, "n_features_in_")
    # At the bound, counts that need no work are accepted.
    for pname in ("max_depth", "min_samples_split", "min_samples_leaf", "rf_max_depth",
                  "n_neighbors"):
        if pname in params:
            fit_good(name, make(name, **{pname: 2**64 - 1}))


def test_neighbour_counts_beyond_64_bits_are_refused():
    est = fit_good("UnsupervisedForest", make("UnsupervisedForest"))
    with pytest.raises(ValueError, match="'k'"):
        est.proximity_sparse(k=2**64)
    assert est.proximity_sparse(k=2**64 - 1).shape == (40, 40)


@pytest.mark.parametrize("name", sorted(BOOSTED))
def test_numbers_beyond_the_float_range_are_refused_naming_the_parameter(name):
    for pname in ("learning_rate", "tol", "conformal_fraction"):
        if pname in make(name).get_params():
            with pytest.raises(ValueError, match=f"'{pname}'"):
                fit_good(name, make(name, **{pname: 10**400}))
    est = fit_good(name, make(name))
    with pytest.raises(ValueError, match="'alpha'"):
        est.predict_interval(X_GOOD, alpha=10**400)
    if name == "BoostedRegressor":
        with pytest.raises(ValueError, match="'alpha'"):
            est.conformal_quantile(10**400)


@pytest.mark.parametrize("name", WITH_PROGRESS)
def test_verbose_levels_beyond_64_bits_print_progress(name, capsys):
    fit_good(name, make(name, verbose=2**70))
    assert "done" in capsys.readouterr().err


@pytest.mark.parametrize("name", sorted(CLASSIFIERS))
def test_classes_that_do_not_match_the_model_are_refused(name):
    """What a damaged pickle or an assignment can do: the probabilities
    then have no label, and predict must not index past classes_."""
    est = fit_good(name, make(name))
    est.classes_ = est.classes_[:1]
    for method in ("predict", "predict_proba", "predict_log_proba"):
        with pytest.raises(ValueError, match="classes"):
            getattr(est, method)(X_GOOD)


def _refused_up_front(fit, pname):
    with pytest.raises((MemoryError, ValueError)) as err:
        fit()
    if not isinstance(err.value, MemoryError):
        assert pname in str(err.value)



@pytest.mark.parametrize("value", [10**12, 2**63 - 1, 2**64 - 1])
@pytest.mark.parametrize("name, pname", [
    ("ForestClassifier", "n_estimators"), ("ForestRegressor", "n_estimators"),
    ("UnsupervisedForest", "n_estimators"), ("UnsupervisedForest", "n_components"),
    ("BoostedClassifier", "rf_n_estimators"), ("BoostedRegressor", "rf_n_estimators"),
])
def test_impossible_sizes_are_refused_up_front(name, pname, value):
    if pname == "n_components" and value > 10**12:
        pytest.skip("refused with a ValueError naming n_components already")
    est = make(name, **{pname: value})
    _refused_up_front(lambda: fit_good(name, est), pname)
    assert not hasattr(est, "model_")


@pytest.mark.parametrize("name", sorted(BOOSTED))
def test_impossible_round_counts_are_refused_up_front(name):
    est = make(name, n_estimators=10**12, rf_n_estimators=1, verbose=_time_limit(1.0))
    _refused_up_front(lambda: fit_good(name, est), "n_estimators")


_OVERFLOW = ("weighted sums that overflow the float range are not refused: the engine "
             "builds a model of NaN leaves or reports an internal failure")


def test_boosted_regressor_refuses_weights_whose_sums_overflow():
    est = make("BoostedRegressor")
    with pytest.raises(ValueError, match="sample_weight"):
        est.fit(X_GOOD, Y_REG, sample_weight=np.full(len(X_GOOD), 1e308))


@pytest.mark.parametrize("name", [n for n in SUPERVISED if n != "BoostedRegressor"])
def test_weights_whose_sums_overflow_are_refused(name):
    n = len(X_GOOD)
    # The last total is finite, but a bootstrap sample that draws the heavy
    # row twice is not.
    for w in (np.full(n, 1e308), np.full(n, 1e307), np.r_[np.ones(n - 1), 1e308]):
        est = make(name)
        try:
            est.fit(X_GOOD, good_target(name), sample_weight=w)
        except ValueError as err:
            assert "sample_weight" in str(err)
            continue
        out = est.predict_proba(X_GOOD) if name in CLASSIFIERS else est.predict(X_GOOD)
        assert np.all(np.isfinite(out)), f"sample_weight = {w[-2:]}: {out[:2]}"


@pytest.mark.parametrize("rate", [1e308, 1e30, 50.0])
def test_boosted_regressor_learning_rates_that_overflow_are_refused(rate):
    est = make("BoostedRegressor", learning_rate=rate, n_estimators=200, rf_n_estimators=1)
    try:
        est.fit(X_GOOD, Y_REG)
    except ValueError as err:
        assert "learning_rate" in str(err)
        assert not hasattr(est, "model_")
    else:
        assert np.all(np.isfinite(est.predict(X_GOOD)))


def test_forest_probabilities_sum_to_one_with_zero_weight_rows():
    # Some bootstrap samples draw only the row of weight zero.
    x = np.zeros((2, 2))
    est = make("ForestClassifier").fit(x, [0, 0], sample_weight=[0.0, 1.0])
    np.testing.assert_allclose(est.predict_proba(x).sum(axis=1), 1.0)
    x = np.arange(8.0).reshape(4, 2)
    est = make("ForestClassifier", n_estimators=30).fit(x, [0, 1, 0, 1],
                                                       sample_weight=[0.0, 0.0, 1.0, 1.0])
    proba = est.predict_proba(x)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    assert np.array_equal(est.predict(x), est.classes_[np.argmax(proba, axis=1)])


def test_engine_takes_any_verbose_level():
    model = _engine.ForestRegressor(n_estimators=1, random_state=0)
    model.fit(X_GOOD, Y_REG, None, n_jobs=1, verbose=2**70)
    with pytest.raises(ValueError, match="verbose"):
        model.fit(X_GOOD, Y_REG, None, n_jobs=1, verbose=-2**70)


@pytest.mark.parametrize("name", sorted(BOOSTED))
def test_progress_totals_do_not_wrap(name):
    seen = []

    def progress(done, total, elapsed):
        seen.append((done, total))
        raise TookTooLong

    est = make(name, n_estimators=2**63 - 1, rf_n_estimators=1, verbose=progress)
    try:
        fit_good(name, est)
    except TookTooLong:
        pass
    except (MemoryError, ValueError):
        return  # refused up front
    done, total = seen[0]
    assert 0 <= done <= total, seen[0]


# ---- the Dask estimators (tarnwood.dask) ------------------------------------
# Their own parameters (client, batch_size, timeout), their input kinds (dask
# arrays of any row chunking, in-memory arrays, bad values inside a chunk)
# and their proximity calls, on an in-process cluster: every call answers
# with a result or a preferred exception, a failed fit leaves the estimator
# as it was, and a fit equals the local estimator's.

DASK_NAMES = ["DaskForestClassifier", "DaskForestRegressor", "DaskBoostedClassifier",
              "DaskBoostedRegressor", "DaskUnsupervisedForest"]
DASK_FUZZ = fuzz_profile("tarnwood-dask-fuzz", 8, 60)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(processes=False, n_workers=2, threads_per_worker=1,
                                       dashboard_address=":0")
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def _local_name(name):
    return name[len("Dask"):]


@pytest.mark.parametrize("name", DASK_NAMES)
@DASK_FUZZ
@given(data=st.data())
def test_dask_estimators_answer_any_setting_and_chunking(dask_client, name, data):
    da = pytest.importorskip("dask.array")
    from tarnwood import dask as tdask

    local_name = _local_name(name)
    params = dict(SMALL[local_name])
    # Either every Dask parameter good, or one of them bad.
    good = {"batch_size": [None, 1, 2, 10**6], "timeout": [None, 30, 30.0],
            "client": [None, dask_client]}
    bad = {"batch_size": [0, -1, 1.5, "2", 2**64], "timeout": [0, -1.0, float("nan"), "x"],
           "client": [3, "client"]}
    for key, values in good.items():
        params[key] = data.draw(st.sampled_from(values))
    if data.draw(st.booleans()):
        key = data.draw(st.sampled_from(sorted(bad)))
        params[key] = data.draw(st.sampled_from(bad[key]))
    est = getattr(tdask, name)(**params)
    x = X_GOOD.copy()
    if data.draw(st.sampled_from([False, False, False, True])):
        x[data.draw(st.integers(0, len(x) - 1)), 0] = data.draw(
            st.sampled_from([np.nan, np.inf, -np.inf]))
    rows = data.draw(st.integers(1, len(x)))
    kind = data.draw(st.sampled_from(["dask", "numpy"]))
    X = da.from_array(x, chunks=(rows, x.shape[1])) if kind == "dask" else x
    y = None if local_name == "UnsupervisedForest" else (
        Y_REG if local_name.endswith("Regressor") else Y_CLASS)
    before = state_of(est)
    ok, result = attempt(est.fit, X) if y is None else attempt(est.fit, X, y)
    if not ok:
        assert state_of(est) == before, "a failed fit changed the estimator"
        return
    local_params = {k: v for k, v in params.items() if k not in ("batch_size", "timeout", "client")}
    local = make(local_name, **local_params)
    local.fit(x) if y is None else local.fit(x, y)
    assert pickle.dumps(est.to_local().model_) == pickle.dumps(local.model_)
    if local_name == "UnsupervisedForest":
        block = data.draw(st.sampled_from([None, 1, 7, 10**9, 0, -2, "3"]))
        ok, table = attempt(lambda: est.proximity_matrix(True, rows_per_block=block).compute())
        if ok:
            np.testing.assert_array_equal(table, local.proximity_matrix(True))
        k = data.draw(st.sampled_from([None, 1, 3, 10**6, -1, "2"]))
        ok, top = attempt(est.proximity_sparse, k, rows_per_block=block)
        if ok:
            np.testing.assert_array_equal(top.toarray(), local.proximity_sparse(k).toarray())
    else:
        np.testing.assert_array_equal(est.predict(X).compute() if hasattr(est.predict(X), "compute")
                                      else est.predict(X), local.predict(x))
