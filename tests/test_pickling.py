"""Pickling and copying of every engine class and every estimator of the
package: identical results after a round trip, fitted or not, and damaged or
foreign states refused with ValueError (never a crash)."""
import copy
import io
import pickle
import zlib

import joblib
import numpy as np
import pytest

import _rs
import tarnwood

RNG = np.random.default_rng(7)
X = RNG.normal(size=(60, 4))
Y_BIN = (X[:, 0] + 0.5 * X[:, 1] > 0).astype(float)
Y_MULTI = np.digitize(X[:, 2], [-0.5, 0.5]).astype(float)
Y_REG = X[:, 0] * 2.0 - X[:, 3] + 0.1 * RNG.normal(size=60)
X_NEW = RNG.normal(size=(15, 4))


def _fitted_tree(task="classification"):
    tree = _rs.DecisionTree(task=task, max_depth=4, random_state=1)
    tree.fit(X, Y_MULTI if task == "classification" else Y_REG)
    return tree


# name -> (unfitted factory, fit function, outputs of a fitted object)
def _engine_cases():
    small = dict(n_estimators=3, rf_n_estimators=4, random_state=2)
    cases = {
        "DecisionTree/classification": (
            lambda: _rs.DecisionTree(max_depth=4, random_state=1),
            lambda m: m.fit(X, Y_MULTI),
            lambda m: (m.predict(X_NEW), m.predict_proba(X_NEW), m.get_depth(), m.get_n_leaves(), m.classes_),
        ),
        "DecisionTree/regression": (
            lambda: _rs.DecisionTree(task="regression", random_state=1),
            lambda m: m.fit(X, Y_REG),
            lambda m: (m.predict(X_NEW), m.get_depth(), m.classes_),
        ),
        "RandomForestClassifier": (
            lambda: _rs.RandomForestClassifier(n_estimators=5, max_features="sqrt", random_state=3),
            lambda m: m.fit(X, Y_MULTI),
            lambda m: (m.predict(X_NEW), m.predict_proba(X_NEW), m.score(X, Y_MULTI), m.classes_, m.n_classes),
        ),
        "RandomForestRegressor": (
            lambda: _rs.RandomForestRegressor(n_estimators=5, bootstrap=False, random_state=3),
            lambda m: m.fit(X, Y_REG),
            lambda m: (m.predict(X_NEW), m.get_info()),
        ),
        "TarnwoodClassifier/binary": (
            lambda: _rs.TarnwoodClassifier(**small),
            lambda m: m.fit(X, Y_BIN),
            lambda m: (m.predict(X_NEW), m.predict_proba(X_NEW), m.predict_ci(X_NEW, 0.1),
                       m.feature_importances(), _export(m), m.trees_used, m.n_classes),
        ),
        "TarnwoodClassifier/multiclass": (
            lambda: _rs.TarnwoodClassifier(async_mode=True, **small),
            lambda m: m.fit(X, Y_MULTI),
            lambda m: (m.predict(X_NEW), m.predict_proba(X_NEW), _export(m), m.trees_used),
        ),
        "TarnwoodRegressor": (
            lambda: _rs.TarnwoodRegressor(conformal_fraction=0.3, use_histogram=False, **small),
            lambda m: m.fit(X, Y_REG),
            lambda m: (m.predict(X_NEW), m.predict_ci(X_NEW), m.predict_ci(X_NEW, 0.2), _export(m),
                       m.calibration_residuals, m.feature_importances()),
        ),
        "Tarnwood/classification": (
            lambda: _rs.Tarnwood(**small),
            lambda m: m.fit(X, Y_MULTI),
            lambda m: (m.predict(X_NEW), m.predict_proba(X_NEW), m.feature_importances(), m.trees_used),
        ),
        "Tarnwood/regression": (
            lambda: _rs.Tarnwood(task="regression", **small),
            lambda m: m.fit(X, Y_REG),
            lambda m: (m.predict(X_NEW), m.predict_ci(X_NEW, 0.01), m.trees_used),
        ),
        "RandomForestUnsupervised": (
            lambda: _rs.RandomForestUnsupervised(n_estimators=8, random_state=4, n_neighbors=3),
            lambda m: (m.fit(X), m.proximity_sparse()),
            lambda m: (m.transform(2), m.proximity_matrix(), m.proximity_sparse(2),
                       m.outlier_scores(True), m.predict_proximity(X_NEW),
                       m.predict_outlier_scores(X_NEW), m.feature_importances(), m.n_features_),
        ),
    }
    return {k: v for k, v in cases.items() if hasattr(_rs, k.split("/")[0])}


def _export(model):
    # NaN thresholds do not compare equal; compare the export's text.
    return repr(model.to_dict())


def _unfitted_outputs(model):
    names = ["is_fitted", "is_fitted_", "n_estimators", "n_estimators_", "trees_used", "classes_",
             "n_classes", "n_samples_"]
    return {n: getattr(model, n) for n in names if hasattr(type(model), n)}


ENGINE = _engine_cases()


def _round_trips(model):
    yield pickle.loads(pickle.dumps(model))
    yield pickle.loads(pickle.dumps(model, protocol=2))
    yield copy.deepcopy(model)
    yield copy.copy(model)


@pytest.mark.parametrize("case", sorted(ENGINE))
def test_engine_objects_survive_pickle_and_copy(case):
    make, fit, outputs = ENGINE[case]
    model = make()
    for clone in _round_trips(model):
        assert type(clone) is type(model)
        assert _unfitted_outputs(clone) == _unfitted_outputs(model)
    fit(model)
    expected = outputs(model)
    for clone in _round_trips(model):
        assert clone is not model
        assert outputs(clone) == expected
        assert clone.__getstate__() == model.__getstate__()
    # A copy is independent: resetting the original leaves it alone.
    clone = copy.deepcopy(model)
    model.__setstate__(make().__getstate__())
    assert _unfitted_outputs(model) == _unfitted_outputs(make())
    assert outputs(clone) == expected


def test_tree_explainer_survives_pickle_and_copy():
    tree = _fitted_tree()
    for model_type in ("classification", "regression"):
        explainer = _rs.TreeSHAP(tree, X[:30], model_type)
        expected = explainer.explain(X_NEW)
        for clone in _round_trips(explainer):
            assert clone.explain(X_NEW) == expected
        with pytest.raises(ValueError, match="columns"):
            pickle.loads(pickle.dumps(explainer)).explain(X_NEW[:, :1])


def _fitted_states():
    states = {}
    for case, (make, fit, _) in ENGINE.items():
        model = make()
        fit(model)
        states[case] = (make, model.__getstate__())
    if hasattr(_rs, "TreeSHAP"):
        explainer = _rs.TreeSHAP(_fitted_tree(), X[:30], "classification")
        states["TreeSHAP"] = (None, explainer.__getstate__())
    return states


STATES = _fitted_states()


def _load(case, state):
    make = STATES[case][0]
    if make is None:
        return _rs.TreeSHAP._from_state(state)
    target = make()
    target.__setstate__(state)
    return target


def _exercise(model):
    """Every reading method; a loaded state may refuse with ValueError."""
    calls = ["predict", "predict_proba", "predict_ci", "explain", "predict_proximity",
             "predict_outlier_scores", "feature_importances", "transform", "proximity_matrix",
             "outlier_scores", "get_depth", "get_n_leaves", "to_dict"]
    for name in calls:
        method = getattr(model, name, None)
        if method is None:
            continue
        try:
            if name in ("predict", "predict_proba", "predict_ci", "explain", "predict_proximity",
                        "predict_outlier_scores"):
                method(np.vstack([X_NEW[:2], np.full((1, 4), np.nan)]))
            else:
                method()
        except ValueError:
            pass


@pytest.mark.parametrize("case", sorted(STATES))
def test_damaged_states_are_refused_cleanly(case):
    state = STATES[case][1]
    # The state loads as saved.
    _exercise(_load(case, state))
    payload = state[:-4]
    bad = [b"", b"TWST", b"junk" * 10, state[:-1], state[: len(state) // 2], state + b"\0",
           _with_checksum(payload[:-1]), _with_checksum(payload[: len(payload) // 2]),
           _with_checksum(payload + b"\0"), _with_checksum(payload[:4] + b"\7" + payload[5:])]
    for other, (_, other_state) in STATES.items():
        if other.split("/")[0] != case.split("/")[0]:
            bad.append(other_state)  # a foreign class's state
    for blob in bad:
        with pytest.raises(ValueError, match="invalid saved state"):
            _load(case, blob)
    # Accidental damage anywhere is caught by the checksum.
    step = max(1, len(state) // 150)
    for i in range(0, len(state), step):
        mutated = bytearray(state)
        mutated[i] ^= 0x5A
        with pytest.raises(ValueError, match="invalid saved state"):
            _load(case, bytes(mutated))
    # With the checksum made to match, the damage reaches the structural
    # checks: each state either loads into an object whose every method
    # works (or refuses with ValueError), or is refused.
    for i in range(0, len(state) - 4, step):
        mutated = bytearray(state)
        mutated[i] ^= 0x5A
        try:
            loaded = _load(case, _with_checksum(bytes(mutated[:-4])))
        except ValueError as err:
            assert "invalid saved state" in str(err)
        else:
            _exercise(loaded)


def _with_checksum(payload):
    return payload + zlib.crc32(payload).to_bytes(4, "little")


@pytest.mark.parametrize("case", sorted(ENGINE))
def test_failed_setstate_leaves_the_object_unchanged(case):
    make, fit, outputs = ENGINE[case]
    model = make()
    fit(model)
    before = outputs(model)
    state = model.__getstate__()
    with pytest.raises(ValueError):
        model.__setstate__(state[:-3])
    with pytest.raises(TypeError):
        model.__setstate__("text")
    assert outputs(model) == before


# ---- the scikit-learn estimators -------------------------------------------------

ESTIMATORS = {
    "TreeClassifier": ("DecisionTree", dict(max_depth=3, random_state=0), "labels"),
    "TreeRegressor": ("DecisionTree", dict(random_state=0), "reg"),
    "ForestClassifier": ("RandomForestClassifier", dict(n_estimators=5, random_state=0), "labels"),
    "ForestRegressor": ("RandomForestRegressor", dict(n_estimators=5, random_state=0), "reg"),
    "BoostedClassifier": ("TarnwoodClassifier", dict(n_estimators=3, rf_n_estimators=3, random_state=0), "labels"),
    "BoostedRegressor": ("TarnwoodRegressor", dict(n_estimators=3, rf_n_estimators=3, random_state=0), "reg"),
    "UnsupervisedForest": ("RandomForestUnsupervised", dict(n_estimators=10, random_state=0), None),
}


def _estimator_outputs(est):
    if isinstance(est, tarnwood.UnsupervisedForest):
        return [est.transform(X_NEW), est.embedding_, est.outlier_scores(), est.feature_importances_]
    out = [est.predict(X_NEW), est.n_features_in_]
    if hasattr(est, "predict_proba"):
        out += [est.predict_proba(X_NEW), est.classes_]
    if isinstance(est, tarnwood.BoostedRegressor):
        out += [est.predict_interval(X_NEW, 0.3), est.feature_importances_]
    return out


@pytest.mark.parametrize("name", [n for n, (engine, _, _) in ESTIMATORS.items() if hasattr(_rs, engine)])
def test_estimators_survive_pickle_deepcopy_and_joblib(name):
    _, params, target = ESTIMATORS[name]
    est = getattr(tarnwood, name)(**params)
    clone = pickle.loads(pickle.dumps(est))
    assert clone.get_params() == est.get_params() and not hasattr(clone, "model_")
    y = {"labels": np.where(Y_MULTI == 1, "mid", np.where(Y_MULTI == 0, "low", "high")), "reg": Y_REG}
    args = (X,) if target is None else (X, y[target])
    est.fit(*args)
    expected = _estimator_outputs(est)
    buffer = io.BytesIO()
    joblib.dump(est, buffer)
    buffer.seek(0)
    for clone in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est), joblib.load(buffer)):
        got = _estimator_outputs(clone)
        assert len(got) == len(expected)
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b)
