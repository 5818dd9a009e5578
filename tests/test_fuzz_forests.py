"""The fuzz suite (test_fuzz.py) for the package forests' own options and
analyses: oob_score, warm_start, max_samples, min_impurity_decrease,
splitter, max_leaf_nodes, criterion and class_weight of the
estimators, their analysis methods, the same keywords and methods of
`tarnwood._engine`, and saved states with a fit record. Every call returns
or raises ValueError / TypeError with a message; a refused fit leaves the
estimator as it was, and the object keeps working afterwards."""
import pickle
import zlib

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from test_fuzz import FUZZ, U64_MAX, X_GOOD, Y_CLASS, Y_REG, _guards, arrays, values_of  # noqa: F401

from tarnwood import ForestClassifier, ForestRegressor, _engine

ALLOWED = (ValueError, TypeError, OverflowError)
FOREST_METHODS = ["apply", "decision_path", "oob_permutation_importance", "feature_importances_",
                  "trees_", "estimators_samples_", "predict"]


REGRESSOR_METHODS = ["predict_quantiles", "predict_interval"]


def quantile_levels():
    return st.one_of(
        st.floats(allow_nan=True), st.lists(st.floats(-0.5, 1.5), max_size=4),
        st.sampled_from([[0.0, 1.0], [0.5, 0.5], [], [[0.5]], "x", None, np.array([0.1, 0.9]),
                         (0.25,), [np.nan], 2**64]))


def answer(fn, *args, **kwargs):
    """Calls fn; allowed failures must carry a message."""
    try:
        return True, fn(*args, **kwargs)
    except ALLOWED as exc:
        assert str(exc), f"{type(exc).__name__} without a message"
        return False, exc


def option_values():
    odd = st.sampled_from([None, -1, 0, 2**64, 1.5, "x", np.nan, [], {}, object()])
    return dict(
        oob_score=st.one_of(st.booleans(), st.just(lambda a, b: 0.5), odd),
        warm_start=st.one_of(st.booleans(), odd),
        max_samples=st.one_of(st.none(), st.integers(-2, 60), st.floats(-1, 2), odd),
        class_weight=st.one_of(st.sampled_from([None, "balanced", "balanced_subsample",
                                                {0.0: 2.0}, {1.0: 0.0, 0.0: 1.0}, {5.0: 1.0},
                                                "other"]), odd),
        min_impurity_decrease=st.one_of(st.floats(allow_nan=True), st.integers(-1, 2), odd),
        splitter=st.one_of(st.sampled_from(["best", "random", "Random", ""]), odd),
        max_leaf_nodes=st.one_of(st.none(), st.integers(-1, 12), st.just(2**64 - 1), odd),
        criterion=st.one_of(st.sampled_from(["gini", "entropy", "log_loss", "squared_error",
                                             "absolute_error", "GINI", "entropy\0"]), odd),
        bootstrap=st.booleans(),
        n_estimators=st.integers(1, 4),
    )


def summary(model, X):
    return [model.predict(X).tolist(), model.feature_importances_.tolist()]


@pytest.mark.parametrize("cls", [ForestClassifier, ForestRegressor])
@FUZZ
@given(data=st.data())
def test_forest_options_and_analyses_answer_cleanly(cls, data):
    y_good = Y_CLASS if cls is ForestClassifier else Y_REG
    values = option_values()
    if cls is ForestRegressor:
        values.pop("class_weight")
    params = {k: data.draw(v, label=k) for k, v in values.items()}
    model = cls(n_estimators=2, random_state=0)
    if data.draw(st.booleans()):
        model.fit(X_GOOD, y_good)
    before = pickle.dumps(model.__dict__.get("model_"))
    model.set_params(random_state=0, **params)
    x = data.draw(st.one_of(st.just(X_GOOD), arrays(ndim=2, cols=3)), label="x")
    y = y_good[: len(x)] if len(x) <= len(y_good) and data.draw(st.booleans()) else \
        data.draw(arrays(ndim=1, rows=len(x)))
    ok, _ = answer(model.fit, x, y)
    if not ok:
        assert pickle.dumps(model.__dict__.get("model_")) == before
    methods = FOREST_METHODS + (REGRESSOR_METHODS if cls is ForestRegressor else [])
    for method in methods:
        arg = data.draw(st.one_of(st.just(x), st.just(X_GOOD), arrays()), label=method)
        if method in ("apply", "decision_path", "predict"):
            answer(getattr(model, method), arg)
        elif method == "predict_quantiles":
            answer(model.predict_quantiles, arg, data.draw(quantile_levels(), label="levels"))
        elif method == "predict_interval":
            answer(model.predict_interval, arg,
                   alpha=data.draw(st.one_of(st.floats(allow_nan=True), st.sampled_from(
                       [0.05, 0.1, 0.5, 1e-300, 1 - 1e-16, 2**64, "0.1", None])), label="alpha"),
                   method=data.draw(st.sampled_from(["jackknife+", "quantile", "other", None]),
                                    label="interval method"))
        elif method == "oob_permutation_importance":
            answer(model.oob_permutation_importance, arg, y,
                   n_repeats=data.draw(st.one_of(st.integers(-1, 3), st.sampled_from([2**64, 1.5]))),
                   random_state=data.draw(st.one_of(st.none(), st.integers(-1, 5))))
        else:
            answer(getattr, model, method)
    good = cls(n_estimators=3, random_state=1, oob_score=True)
    model.set_params(**good.get_params())
    assert summary(model.fit(X_GOOD, y_good), X_GOOD) == summary(good.fit(X_GOOD, y_good), X_GOOD)


X_CODED = X_GOOD.copy()
X_CODED[:, 0] = np.arange(len(X_CODED)) % 5
X_CODED[3, 0] = np.nan


@pytest.mark.parametrize("name", ["ForestClassifier", "ForestRegressor"])
@FUZZ
@given(data=st.data())
def test_engine_forest_keywords_and_methods_answer_cleanly(name, data):
    cls = getattr(_engine, name)
    y = Y_CLASS if name == "ForestClassifier" else Y_REG
    model = cls(n_estimators=2, random_state=0)
    if data.draw(st.booleans()):
        model.fit(X_GOOD, y)
    other = data.draw(st.sampled_from(["self", "fitted", "unfitted", "foreign", None, 1, True]))
    warm = {"self": model, "fitted": cls(n_estimators=1, random_state=0), "unfitted": cls(),
            "foreign": _engine.ForestRegressor() if name == "ForestClassifier"
            else _engine.ForestClassifier()}.get(other, other)
    if other == "fitted":
        warm.fit(X_GOOD, y)
    keywords = dict(
        oob_score=data.draw(values_of("flag", "oob_score")),
        warm_start=warm,
        max_samples=data.draw(values_of("opt_count", "max_samples")),
        balanced_subsample=data.draw(values_of("flag", "balanced_subsample")),
        min_impurity_decrease=data.draw(values_of("float", "min_impurity_decrease")),
        random_splits=data.draw(values_of("flag", "random_splits")),
        max_leaf_nodes=data.draw(values_of("opt_count", "max_leaf_nodes")),
        criterion=data.draw(st.one_of(
            st.sampled_from(["gini", "entropy", "squared_error", "log_loss", "", None]),
            values_of("text", "criterion"))),
        fast_growth=data.draw(values_of("flag", "fast_growth")),
    )
    # Category columns and bins: a matrix whose first column holds codes
    # (and a missing one) with a matching count, or counts of any kind.
    width = X_GOOD.shape[1]
    coded = data.draw(st.booleans(), label="categorical")
    keywords["categories"] = [5] + [0] * (width - 1) if coded else data.draw(st.sampled_from(
        [None, [], [0] * width, [3] * width, [256] * width, [300], [1.5], "abc", [-1] * width,
         [0] * (width + 1), [2**64]]), label="categories")
    keywords["max_bins"] = data.draw(
        st.sampled_from([None, 2, 16, 256, 1, 257, 4096, 65536, 65537, -3, 2.5, "8"]),
                                     label="max_bins")
    keywords["lossless_bins"] = data.draw(values_of("flag", "lossless_bins"))
    x_fit = X_CODED if coded else X_GOOD
    answer(model.fit, data.draw(values_of("matrix", "x")), data.draw(values_of("vector", "y")),
           **keywords)
    answer(model.fit, x_fit, y, **keywords)
    count = data.draw(values_of("count", "tree"))
    for method, args in (("sample_indices", (count,)), ("tree_arrays", (count,)),
                         ("feature_importances", (count,)), ("oob_predictions", ()),
                         ("apply", (data.draw(values_of("matrix", "x")),)),
                         ("decision_path", (data.draw(values_of("matrix", "x")),)),
                         ("oob_permutation_importance",
                          (data.draw(st.one_of(st.just(X_GOOD), values_of("matrix", "x"))),
                           data.draw(st.one_of(st.just(y), values_of("vector", "y"))),
                           data.draw(values_of("count", "n_repeats", small_counts=True)),
                           data.draw(values_of("seed", "random_state"))))):
        answer(getattr(model, method), *args)
    if name == "ForestRegressor":
        x = data.draw(st.one_of(st.just(X_GOOD), values_of("matrix", "x")))
        levels = data.draw(st.one_of(quantile_levels(), values_of("vector", "quantiles")))
        answer(model.predict_quantiles, x, levels)
        answer(model.oob_quantiles, levels)
        answer(model.predict_interval, x, data.draw(values_of("float", "alpha")),
               data.draw(st.sampled_from(["jackknife+", "quantile", "", 3])))
    model.fit(X_GOOD, y, oob_score=True)
    assert model.oob_predictions()[0].shape[0] == len(y)


@FUZZ
@given(data=st.data())
def test_damaged_fit_records_are_refused(data):
    """States with a fit record whose fields are damaged behind a valid
    checksum load only when consistent; whatever loads keeps answering."""
    name = data.draw(st.sampled_from(["ForestClassifier", "ForestRegressor"]))
    cls = getattr(_engine, name)
    y = Y_CLASS if name == "ForestClassifier" else Y_REG
    model = cls(n_estimators=3, random_state=0)
    model.fit(X_GOOD, y, np.linspace(0.5, 2.0, len(y)), oob_score=True, max_samples=30)
    state = bytearray(model.__getstate__()[:-4])
    # Damage the tail, where the record lies (a regressor's leaf samples
    # come after it).
    window = 400 if name == "ForestClassifier" else data.draw(st.sampled_from([400, 3000]))
    for _ in range(data.draw(st.integers(1, 3))):
        i = data.draw(st.integers(max(0, len(state) - window), len(state) - 1))
        if data.draw(st.booleans()):
            state[i] ^= 1 << data.draw(st.integers(0, 7))
        elif i + 8 <= len(state):
            value = data.draw(st.sampled_from([U64_MAX, 2**63, 2**32, 10**9, 31, 0]))
            state[i:i + 8] = value.to_bytes(8, "little")
    state += zlib.crc32(bytes(state)).to_bytes(4, "little")
    target = cls.__new__(cls)
    ok, _ = answer(target.__setstate__, bytes(state))
    for method, args in (("predict" if name == "ForestRegressor" else "predict_proba", (X_GOOD,)),
                         ("sample_indices", (1,)), ("tree_arrays", (2,)),
                         ("feature_importances", (3,)), ("apply", (X_GOOD,)),
                         ("oob_permutation_importance", (X_GOOD, y, 2, 0))) + (
            (("predict_quantiles", (X_GOOD, np.array([0.0, 0.5, 1.0]))),
             ("oob_quantiles", (np.array([0.3]),)), ("predict_interval", (X_GOOD, 0.2)),
             ("predict_interval", (X_GOOD, 0.2, "quantile")))
            if name == "ForestRegressor" else ()):
        answer(getattr(target, method), *args)
    if ok:
        answer(target.fit, X_GOOD, y, warm_start=target)
    target.fit(X_GOOD, y)


@FUZZ
@given(data=st.data())
def test_importance_functions_answer_cleanly(data):
    """tree_importances and boosted_importances with any state, matrix,
    weights, kind and feature count."""
    import _rs

    task = data.draw(st.sampled_from(["classification", "regression"]))
    tree = _rs.DecisionTree(random_state=0, task=task)
    tree.fit(X_GOOD, Y_REG if task == "regression" else Y_CLASS)
    boosted = _rs.TarnwoodRegressor(n_estimators=2, rf_n_estimators=2, random_state=0)
    boosted.fit(X_GOOD, Y_REG)
    state = data.draw(st.one_of(st.sampled_from([tree.__getstate__(), boosted.__getstate__()]),
                                st.binary(max_size=40), values_of("matrix", "state")))
    answer(_engine.tree_importances, state, data.draw(values_of("matrix", "x")),
           data.draw(values_of("opt_vector", "sample_weight")))
    answer(_engine.boosted_importances, state,
           data.draw(st.sampled_from(["regressor", "classifier", "", 3])),
           data.draw(values_of("count", "n_features")))
    ok, imp = answer(_engine.tree_importances, tree.__getstate__(), X_GOOD)
    assert ok and imp.shape == (X_GOOD.shape[1],)
