"""The scikit-learn estimators of the tarnwood package: scikit-learn's own
estimator checks, label remapping, parameter handling, prediction intervals
and the unsupervised transformer."""
import ast
import inspect
import math
import re
import warnings

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import _rs
import tarnwood

# Which engine class each estimator needs; estimators whose engine class is
# not in this build are skipped.
ENGINE = {
    "TreeClassifier": "DecisionTree",
    "TreeRegressor": "DecisionTree",
    "ForestClassifier": "RandomForestClassifier",
    "ForestRegressor": "RandomForestRegressor",
    "BoostedClassifier": "TarnwoodClassifier",
    "BoostedRegressor": "TarnwoodRegressor",
    "UnsupervisedForest": "RandomForestUnsupervised",
}


def available(name):
    return hasattr(_rs, ENGINE[name])


def small(name, **extra):
    """A quick configuration of each estimator for the tests."""
    settings = {
        "TreeClassifier": dict(random_state=0),
        "TreeRegressor": dict(random_state=0),
        "ForestClassifier": dict(n_estimators=10, random_state=0),
        "ForestRegressor": dict(n_estimators=10, random_state=0),
        "BoostedClassifier": dict(n_estimators=5, rf_n_estimators=5, random_state=0),
        "BoostedRegressor": dict(n_estimators=5, rf_n_estimators=5, random_state=0),
        "UnsupervisedForest": dict(n_estimators=20, random_state=0),
    }[name]
    settings.update(extra)
    return getattr(tarnwood, name)(**settings)


AVAILABLE = [name for name in ENGINE if available(name)]
CLASSIFIERS = [n for n in AVAILABLE if n.endswith("Classifier")]
REGRESSORS = [n for n in AVAILABLE if n.endswith("Regressor")]

_WEIGHTS_REASON = (
    "split thresholds are midpoints between neighbouring training values, zero-weight "
    "rows included, and tree growth counts rows, not weight, so integer weights are "
    "not the same as repeated or removed rows"
)
_CALIBRATION_REASON = (
    "rows are shuffled into a calibration share and a training share, so repeating a "
    "row is not the same as doubling its weight"
)
_EMBEDDING_REASON = (
    "fit_transform returns the MDS embedding of the training rows' out-of-bag "
    "proximities, while transform places rows by their proximities over all trees; "
    "for the training rows the two agree closely but not to 1e-2"
)


_CLASS_WEIGHT_REASON = (
    "the check's trees grow until their leaves are pure, and a pure leaf predicts its class "
    "whatever the class weights; scikit-learn's forests pass it only because the check sets "
    "min_weight_fraction_leaf, which these forests do not have (class weights do shift "
    "impure leaves: see test_forest_extras.py)"
)


def expected_failed_checks(estimator):
    name = type(estimator).__name__
    failed = {"check_sample_weight_equivalence_on_dense_data": _WEIGHTS_REASON}
    if name == "ForestClassifier":
        failed["check_class_weight_classifiers"] = _CLASS_WEIGHT_REASON
    if name == "BoostedRegressor":
        failed["check_sample_weight_equivalence_on_dense_data"] = _CALIBRATION_REASON
    if name == "UnsupervisedForest":
        failed = {
            "check_transformer_general": _EMBEDDING_REASON,
            "check_transformer_data_not_an_array": _EMBEDDING_REASON,
        }
    return failed


# The forests once more with the out-of-bag estimate, class weights, smaller
# bootstrap samples, the random splitter, a minimal impurity decrease, a
# leaf limit and the entropy criterion on.
WITH_OPTIONS = [
    small("ForestClassifier", oob_score=True, class_weight="balanced", max_samples=0.8),
    small("ForestClassifier", class_weight="balanced_subsample", max_samples=0.7),
    small("ForestRegressor", oob_score=True, max_samples=0.8),
    small("ForestClassifier", splitter="random", min_impurity_decrease=1e-4),
    small("ForestRegressor", splitter="random", bootstrap=False),
    small("ForestClassifier", max_leaf_nodes=6),
    small("ForestRegressor", max_leaf_nodes=6, splitter="random"),
    small("ForestClassifier", criterion="entropy"),
    small("ForestClassifier", criterion="log_loss", splitter="random", max_features=None),
]


@parametrize_with_checks(
    [small(name) for name in AVAILABLE] + WITH_OPTIONS,
    expected_failed_checks=expected_failed_checks,
)
def test_scikit_learn_checks(estimator, check):
    check(estimator)


# ---- label remapping ------------------------------------------------------


def _labelled(rng, labels, n=120):
    x = rng.normal(size=(n, 4))
    k = len(labels)
    bins = np.digitize(x[:, 0] + 0.2 * x[:, 1], np.quantile(x[:, 0], np.linspace(0, 1, k + 1)[1:-1]))
    y = np.asarray(labels, dtype=object)[bins]
    return x, y


@pytest.mark.parametrize("name", CLASSIFIERS)
@pytest.mark.parametrize(
    "labels",
    [["cat", "dog"], [-3.0, 7.0, 100.0], [10, 20, 40, 80], [True, False]],
    ids=["strings", "floats", "gapped-ints", "bools"],
)
def test_any_labels_map_to_classes_and_back(rng, name, labels):
    x, y = _labelled(rng, labels)
    y = np.asarray(y.tolist())  # natural dtype of the labels
    model = small(name).fit(x, y)
    np.testing.assert_array_equal(model.classes_, np.unique(y))
    pred = model.predict(x)
    assert pred.dtype == y.dtype
    assert set(pred.tolist()) <= set(y.tolist())
    proba = model.predict_proba(x)
    assert proba.shape == (len(x), len(model.classes_))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    # predict is the most probable class (the first of equal maxima).
    np.testing.assert_array_equal(pred, model.classes_[np.argmax(proba, axis=1)])
    assert (pred == y).mean() > 0.8
    # Relabelling the classes order-preservingly changes nothing but names.
    positions = np.searchsorted(model.classes_, y)
    recoded = small(name).fit(x, positions * 2 + 1)
    np.testing.assert_array_equal(recoded.predict_proba(x), proba)
    np.testing.assert_array_equal(recoded.predict(x), np.searchsorted(model.classes_, pred) * 2 + 1)


@pytest.mark.parametrize("name", CLASSIFIERS)
def test_gapped_labels_keep_every_class_column(rng, name):
    # The engine would index probability columns by label value; the
    # estimator hands it positions, so label 7 keeps its own column.
    x = rng.normal(size=(90, 2))
    y = np.where(x[:, 0] > 0.5, 7, np.where(x[:, 0] < -0.5, 3, 5))
    model = small(name).fit(x, y)
    proba = model.predict_proba(x)
    assert proba.shape[1] == 3
    assert proba[y == 7, 2].mean() > 0.6


# ---- parameters and inputs ------------------------------------------------


@pytest.mark.parametrize("name", AVAILABLE)
def test_bad_parameters_raise_before_fitting(rng, name):
    x = rng.normal(size=(30, 3))
    y = (x[:, 0] > 0).astype(int)
    bad = [dict(random_state=-1), dict(random_state=2**64), dict(random_state="seed"), dict(min_samples_leaf=-1)]
    if "max_depth" in small(name).get_params():
        bad.append(dict(max_depth=2.5))
    for key in ("n_estimators", "rf_n_estimators"):
        if key in small(name).get_params():
            bad += [{key: 0}, {key: 1.5}]
    for key in ("max_features", "rf_max_features"):
        if key in small(name).get_params():
            bad += [{key: 0}, {key: 1.5}, {key: "auto"}, {key: True}]
    for params in bad:
        model = small(name, **params)
        with pytest.raises(ValueError) as err:
            model.fit(x, y)
        assert list(params)[0] in str(err.value)
        assert not hasattr(model, "model_")


@pytest.mark.parametrize("name", AVAILABLE)
def test_random_state_reproducible_and_generators_accepted(rng, name):
    x = rng.normal(size=(60, 3))
    y = (x[:, 0] + x[:, 1] > 0).astype(int)
    fit_args = (x,) if name == "UnsupervisedForest" else (x, y)
    out = "transform" if name == "UnsupervisedForest" else "predict"
    a = getattr(small(name, random_state=2**64 - 1).fit(*fit_args), out)(x)
    b = getattr(small(name, random_state=2**64 - 1).fit(*fit_args), out)(x)
    np.testing.assert_array_equal(a, b)
    c = getattr(small(name, random_state=np.random.RandomState(4)).fit(*fit_args), out)(x)
    d = getattr(small(name, random_state=np.random.RandomState(4)).fit(*fit_args), out)(x)
    np.testing.assert_array_equal(c, d)
    small(name, random_state=np.random.default_rng(1)).fit(*fit_args)


@pytest.mark.parametrize("name", [n for n in AVAILABLE if n.startswith(("Forest", "Boosted", "Unsup"))])
def test_max_features_forms_are_accepted(rng, name):
    x = rng.normal(size=(40, 5))
    y = (x[:, 0] > 0).astype(int)
    key = "rf_max_features" if name.startswith("Boosted") else "max_features"
    fit_args = (x,) if name == "UnsupervisedForest" else (x, y)
    for value in (None, "sqrt", "log2", 1, 2, 5, 9, 0.01, 0.5, 1.0):
        small(name, **{key: value}).fit(*fit_args)


def test_max_features_one_means_one_feature(rng):
    # The engine reads the text "1" as "all features" (a fraction); the
    # estimator must hand over a form that really means one feature.
    from tarnwood._base import resolve_max_features

    assert resolve_max_features("T", 1, 10) == "0"
    assert resolve_max_features("T", 0.1, 10) == "0"
    assert resolve_max_features("T", 3, 10) == "3"
    assert resolve_max_features("T", "sqrt", 10) == "3"
    assert resolve_max_features("T", 10, 10) is None
    assert resolve_max_features("T", 25, 10) is None
    assert resolve_max_features("T", 0.5, 10) == "5"


# ---- documented defaults ---------------------------------------------------

# A parameter line of a docstring: "name[, name...] : type, default=value[s]"
# (several names take their values in order, "2 and 1" or "20, None, None").
_DOC_DEFAULT = re.compile(r"^ {4}(\w+(?:, \w+)*) : .*?\bdefault[= ](.+)$")


def documented_defaults(cls):
    found = {}
    for line in (cls.__doc__ or "").splitlines():
        match = _DOC_DEFAULT.match(line)
        if match is None:
            continue
        names = match.group(1).split(", ")
        values = re.split(r", | and ", match.group(2))
        assert len(names) == len(values), line
        for name, value in zip(names, values):
            found[name] = ast.literal_eval(value)
    return found


def signature_defaults(cls):
    params = inspect.signature(cls.__init__).parameters.values()
    return {p.name: p.default for p in params if p.name != "self"}


@pytest.mark.parametrize("name", tarnwood.__all__)
def test_documented_defaults_are_the_constructor_defaults(name):
    cls = getattr(tarnwood, name)
    actual = signature_defaults(cls)
    documented = documented_defaults(cls)
    for key, value in documented.items():
        assert key in actual, f"{name} documents a parameter {key!r} it does not take"
        assert actual[key] == value and type(actual[key]) is type(value), (name, key)


def test_forest_regressor_documents_its_own_defaults():
    # The regressor's docstring defers to the classifier's and names the
    # parameters whose defaults differ; together they give every default.
    documented = documented_defaults(tarnwood.ForestClassifier)
    overrides = re.findall(r"`(\w+)` defaults to (\S+)", tarnwood.ForestRegressor.__doc__)
    assert overrides
    documented.update({key: ast.literal_eval(value) for key, value in overrides})
    documented.pop("class_weight")  # the classifier's own parameter
    assert documented == signature_defaults(tarnwood.ForestRegressor)
    assert documented_defaults(tarnwood.ForestClassifier) == signature_defaults(tarnwood.ForestClassifier)


def test_forest_defaults_are_scikit_learns():
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    for ours, theirs in (
        (tarnwood.ForestClassifier(), RandomForestClassifier()),
        (tarnwood.ForestRegressor(), RandomForestRegressor()),
    ):
        mine, reference = ours.get_params(), theirs.get_params()
        for key in ("n_estimators", "criterion", "max_features", "bootstrap", "max_depth",
                    "min_samples_split", "min_samples_leaf"):
            assert mine[key] == reference[key], (type(ours).__name__, key)
        # clone rebuilds from get_params, so it keeps each class's own default.
        assert clone(ours).get_params() == mine
        assert clone(ours.set_params(max_features=None)).get_params()["max_features"] is None


def test_forest_default_max_features_is_what_fit_uses(rng):
    # Sixteen features: "sqrt" examines four per split, so it grows different
    # trees than examining all sixteen.
    x = rng.normal(size=(300, 16))
    y = np.where(x[:, :4].sum(axis=1) + 0.5 * rng.normal(size=300) > 0, "yes", "no")
    target = x[:, :4].sum(axis=1) + 0.1 * rng.normal(size=300)
    x_new = rng.normal(size=(50, 16))

    def proba(**params):
        model = tarnwood.ForestClassifier(n_estimators=30, random_state=3, **params)
        return model.fit(x, y).predict_proba(x_new)

    default = proba()
    np.testing.assert_array_equal(default, proba(max_features="sqrt"))
    np.testing.assert_array_equal(default, proba(max_features=4))
    assert not np.array_equal(default, proba(max_features=None))
    # The defaults as they stand, 100 trees included.
    np.testing.assert_array_equal(
        tarnwood.ForestClassifier(random_state=3).fit(x, y).predict_proba(x_new),
        tarnwood.ForestClassifier(n_estimators=100, max_features="sqrt", random_state=3).fit(x, y).predict_proba(x_new),
    )

    def predict(**params):
        model = tarnwood.ForestRegressor(n_estimators=30, random_state=3, **params)
        return model.fit(x, target).predict(x_new)

    default = predict()
    np.testing.assert_array_equal(default, predict(max_features=1.0))
    np.testing.assert_array_equal(default, predict(max_features=None))
    assert not np.array_equal(default, predict(max_features="sqrt"))
    np.testing.assert_array_equal(
        tarnwood.ForestRegressor(random_state=3).fit(x, target).predict(x_new),
        tarnwood.ForestRegressor(n_estimators=100, max_features=None, random_state=3).fit(x, target).predict(x_new),
    )


@pytest.mark.parametrize("name", [n for n in AVAILABLE if n != "UnsupervisedForest"])
def test_inputs_are_validated_the_scikit_learn_way(rng, name):
    x = rng.normal(size=(40, 3))
    y = (x[:, 0] > 0).astype(int)
    model = small(name).fit(x.tolist(), y.tolist())  # array-likes
    assert model.n_features_in_ == 3
    with pytest.raises(ValueError, match="features"):
        model.predict(x[:, :2])
    bad = x.copy()
    bad[3, 1] = np.nan
    if model._accepts_missing:
        # A NaN is a missing value; an infinity is refused with its place.
        assert model.predict(bad).shape == (40,)
        small(name).fit(bad, y)
        bad[3, 1] = -np.inf
        with pytest.raises(ValueError, match=r"infinity \(at row 3, column 1\)"):
            model.predict(bad)
        with pytest.raises(ValueError, match="infinity"):
            small(name).fit(bad, y)
    else:
        with pytest.raises(ValueError, match="NaN"):
            model.predict(bad)
        with pytest.raises(ValueError, match="NaN"):
            small(name).fit(bad, y)
    with pytest.raises(ValueError):
        small(name).fit(x, y, sample_weight=np.ones(len(x) - 1))
    with pytest.raises(ValueError, match="sample_weight"):
        small(name).fit(x, y, sample_weight=-np.ones(len(x)))
    out = model.predict(np.asfortranarray(x[::2]).astype(np.float32))
    assert isinstance(out, np.ndarray) and out.shape == (20,)


# ---- composition with scikit-learn tools -----------------------------------


@pytest.mark.parametrize("name", [n for n in AVAILABLE if n != "UnsupervisedForest"])
def test_pipeline_cross_validation_and_grid_search(rng, name):
    x = rng.normal(size=(90, 4))
    y = x[:, 0] - x[:, 1] if name in REGRESSORS else np.where(x[:, 0] > x[:, 1], "hi", "lo")
    pipe = make_pipeline(StandardScaler(), small(name))
    scores = cross_val_score(pipe, x, y, cv=3)
    assert scores.shape == (3,) and np.all(np.isfinite(scores))
    grid = GridSearchCV(small(name), {"min_samples_leaf": [1, 5]}, cv=3).fit(x, y)
    assert grid.best_params_["min_samples_leaf"] in (1, 5)
    assert clone(grid.best_estimator_).get_params() == grid.best_estimator_.get_params()


# ---- boosted ensembles: importances and intervals -----------------------------


@pytest.mark.skipif(not available("BoostedRegressor"), reason="no boosted engine in this build")
def test_boosted_importances_cover_every_feature(rng):
    x = rng.normal(size=(200, 5))
    y = 3 * x[:, 4] + 0.1 * rng.normal(size=200)
    model = small("BoostedRegressor").fit(x, y)
    imp = model.feature_importances_
    assert imp.shape == (5,)
    assert np.argmax(imp) == 4
    np.testing.assert_allclose(imp.sum(), 1.0)
    assert model.trees_used_.tolist() == [5] * 5


def _regression(rng, n):
    x = rng.uniform(-2, 2, size=(n, 3))
    y = np.sin(2 * x[:, 0]) + x[:, 1] ** 2 + rng.normal(scale=0.3, size=n)
    return x, y


@pytest.mark.skipif(not available("BoostedRegressor"), reason="no boosted engine in this build")
def test_conformal_intervals_cover_at_their_level(rng):
    x, y = _regression(rng, 1000)
    x_test, y_test = _regression(rng, 4000)
    for method in ("holdout", "refit"):
        model = tarnwood.BoostedRegressor(
            n_estimators=10, rf_n_estimators=10, min_samples_leaf=5, random_state=1,
            interval_method=method,
        ).fit(x, y)
        n_cal = model.calibration_residuals_.size
        assert n_cal == 100  # conformal_fraction=0.1
        widths = []
        for alpha in (0.5, 0.3, 0.2, 0.1, 0.05, 0.01):
            bounds = model.predict_interval(x_test, alpha=alpha)
            assert bounds.shape == (len(x_test), 2)
            covered = np.mean((bounds[:, 0] <= y_test) & (y_test <= bounds[:, 1]))
            # "holdout" keeps the calibrated model (exact guarantee); "refit"
            # surrounds the model grown on all rows, whose residuals are no
            # larger. Allow binomial noise of the 4000 test rows and of the
            # 100 scores.
            assert covered >= 1 - alpha - 0.05, (method, alpha, covered)
            widths.append(bounds[0, 1] - bounds[0, 0])
        assert widths == sorted(widths)


@pytest.mark.skipif(not available("BoostedRegressor"), reason="no boosted engine in this build")
def test_conformal_quantile_is_the_finite_sample_order_statistic(rng):
    x, y = _regression(rng, 100)
    model = small("BoostedRegressor").set_params(conformal_fraction=0.2).fit(x, y)
    r = model.calibration_residuals_
    assert r.size == 20 and np.all(np.diff(r) >= 0) and np.all(r >= 0)
    # k = ceil((n + 1)(1 - alpha)) over n = 20 residuals.
    assert model.conformal_quantile(0.05) == r[19]  # 21 * 0.95 = 19.95 -> 20th
    assert model.conformal_quantile(0.5) == r[10]  # 10.5 -> 11th
    assert model.conformal_quantile(0.25) == r[15]  # 15.75 -> 16th
    assert model.conformal_quantile(0.04) == math.inf  # 20.16 -> 21st does not exist
    # The engine's own 95% interval uses its fixed-level quantile.
    p = model.predict(x)
    bounds = model.predict_interval(x, 0.5)
    np.testing.assert_allclose(bounds, np.column_stack([p - r[10], p + r[10]]))
    for bad in (0.0, 1.0, -0.1, float("nan"), "0.1"):
        with pytest.raises(ValueError):
            model.predict_interval(x, bad)


@pytest.mark.skipif(not available("BoostedRegressor"), reason="no boosted engine in this build")
def test_boosted_regressor_refuses_too_few_rows_for_calibration(rng):
    x, y = _regression(rng, 4)
    with pytest.raises(ValueError, match="n_samples = 4"):
        small("BoostedRegressor").fit(x, y)
    small("BoostedRegressor", conformal_fraction=0.25).fit(x, y)
    with pytest.raises(ValueError, match="conformal_fraction"):
        small("BoostedRegressor", conformal_fraction=0.9).fit(x, y)


@pytest.mark.skipif(not available("BoostedClassifier"), reason="no boosted engine in this build")
def test_boosted_classifier_wilson_intervals(rng):
    x = rng.normal(size=(150, 3))
    y = np.where(x[:, 0] > 0, "yes", "no")
    model = small("BoostedClassifier").fit(x, y)
    bounds = model.predict_interval(x, alpha=0.1)
    p = model.predict_proba(x)[:, 1]
    assert bounds.shape == (150, 2)
    assert np.all((0 <= bounds[:, 0]) & (bounds[:, 0] <= p + 1e-12))
    assert np.all((p - 1e-12 <= bounds[:, 1]) & (bounds[:, 1] <= 1))
    three = small("BoostedClassifier").fit(x, np.digitize(x[:, 0], [-0.5, 0.5]))
    with pytest.raises(ValueError, match="two classes"):
        three.predict_interval(x)


# ---- the unsupervised transformer ------------------------------------------------


@pytest.mark.skipif(not available("UnsupervisedForest"), reason="no unsupervised engine in this build")
def test_unsupervised_forest_embeds_and_places_new_rows(rng):
    centres = np.array([[0, 0, 0, 0], [6, 6, 0, 0], [0, 6, 6, 0]], dtype=float)
    x = np.vstack([c + rng.normal(size=(30, 4)) for c in centres])
    model = tarnwood.UnsupervisedForest(n_estimators=100, random_state=0, n_components=2)
    emb = model.fit_transform(x)
    assert emb.shape == (90, 2)
    np.testing.assert_array_equal(emb, model.embedding_)
    engine = _rs.RandomForestUnsupervised(n_estimators=100, random_state=0)
    np.testing.assert_array_equal(emb, np.asarray(engine.fit_transform(x, 2)))
    # Each axis' squared coordinates sum to |eigenvalue|.
    np.testing.assert_allclose((emb**2).sum(axis=0), np.abs(model.eigenvalues_), rtol=1e-5)
    # New rows land near the training rows of their own group.
    placed = model.transform(x)
    assert np.corrcoef(placed[:, 0], emb[:, 0])[0, 1] > 0.95
    fresh = np.vstack([c + rng.normal(size=(5, 4)) for c in centres])
    new = model.transform(fresh)
    group_means = np.array([emb[30 * g : 30 * (g + 1)].mean(axis=0) for g in range(3)])
    nearest = np.argmin(((new[:, None, :] - group_means[None]) ** 2).sum(axis=2), axis=1)
    np.testing.assert_array_equal(nearest, np.repeat([0, 1, 2], 5))


@pytest.mark.skipif(not available("UnsupervisedForest"), reason="no unsupervised engine in this build")
def test_unsupervised_forest_analyses_are_arrays(rng):
    x = rng.normal(size=(40, 3))
    x[:, 2] = x[:, 0] + 0.05 * rng.normal(size=40)
    model = small("UnsupervisedForest", n_neighbors=4).fit(x)
    # The package's results match the compatibility module's on the same state.
    from tarnwood._persist import _restore

    engine = _restore("RandomForestUnsupervised", model.model_.__getstate__())
    prox = model.proximity_matrix()
    assert prox.shape == (40, 40)
    np.testing.assert_array_equal(prox, np.asarray(engine.proximity_matrix(True)))
    assert np.allclose(prox, prox.T)
    sp = model.proximity_sparse()
    assert sp.shape == (40, 40) and sp.getnnz(axis=1).max() <= 4
    rows = engine.proximity_sparse(None)
    for i, row in enumerate(rows):
        for j, value in row:
            assert sp[i, j] == value
    assert model.proximity_sparse(k=2).getnnz(axis=1).max() <= 2
    assert model.outlier_scores().shape == (40,)
    assert model.outlier_scores(use_sparse=True).shape == (40,)
    scores = model.predict_outlier_scores(np.vstack([x[:3], [[40.0, -40.0, 40.0]]]))
    assert scores.shape == (4,) and scores[3] == scores.max()
    assert model.predict_proximity(x[:5]).shape == (5, 40)
    imp = model.feature_importances_
    assert imp.shape == (3,)
    with pytest.raises(ValueError, match="features"):
        model.transform(x[:, :2])
