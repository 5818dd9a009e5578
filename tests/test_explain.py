"""Exact Shapley values of whole models (`explain`, `explain_interactions`):
agreement with brute-force enumeration of feature coalitions on small
models (both modes, interactions too), local accuracy on every estimator
kind and on deep trees, identical results for every n_jobs, clean refusals
of bad input, and agreement with shap on identical trees when shap is
installed."""
import itertools
import math

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

import tarnwood


def make_data(n=300, p=4, seed=0, classes=None):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x[:, 0] * 2 + x[:, 1] * x[:, 2] + (x[:, min(3, p - 1)] > 0) + rng.normal(scale=0.3, size=n)
    if classes:
        y = np.digitize(y, np.quantile(y, np.linspace(0, 1, classes + 1)[1:-1]))
    return x, y


SMALL = {
    "TreeClassifier": dict(max_depth=4, random_state=0),
    "TreeRegressor": dict(max_depth=4, random_state=0),
    "ForestClassifier": dict(n_estimators=4, max_depth=4, random_state=0),
    "ForestRegressor": dict(n_estimators=4, max_depth=4, random_state=0),
    "BoostedClassifier": dict(n_estimators=3, rf_n_estimators=3, rf_max_depth=3, random_state=0),
    "BoostedRegressor": dict(n_estimators=3, rf_n_estimators=3, rf_max_depth=3, random_state=0),
}


def fitted(name, classes=2, seed=0, **params):
    x, y = make_data(seed=seed, classes=classes if "Classifier" in name else None)
    est = getattr(tarnwood, name)(**{**SMALL[name], **params}).fit(x, y)
    return est, x


# ---- brute force ----------------------------------------------------------


def path_dependent_value(trees, offset, row, coalition):
    """The path-dependent game: splits on features in the coalition follow
    the row, the others average their children by training sample counts."""
    total = np.array(offset, dtype=float)
    for t in trees:
        left, right, feat = t["children_left"], t["children_right"], t["features"]
        thr, val, w = t["thresholds"], t["values"], t["node_sample_weight"]

        def value(i):
            if left[i] < 0:
                return val[i]
            if feat[i] in coalition:
                return value(left[i] if row[feat[i]] <= thr[i] else right[i])
            nl, nr = w[left[i]], w[right[i]]
            return (nl * value(left[i]) + nr * value(right[i])) / (nl + nr)

        total = total + value(0)
    return total


def shapley(game, p):
    phi = np.zeros((len(game(())), p))
    for i in range(p):
        others = [j for j in range(p) if j != i]
        for k in range(p):
            weight = math.factorial(k) * math.factorial(p - k - 1) / math.factorial(p)
            for s in itertools.combinations(others, k):
                phi[:, i] += weight * (game(s + (i,)) - game(s))
    return phi


def shapley_interactions(game, p):
    """shap's interaction values: off the diagonal half the Shapley
    interaction index, the diagonal the rest of each feature's value."""
    phi = shapley(game, p)
    m = np.zeros((phi.shape[0], p, p))
    for i, j in itertools.permutations(range(p), 2):
        others = [k for k in range(p) if k not in (i, j)]
        for k in range(p - 1):
            weight = math.factorial(k) * math.factorial(p - k - 2) / (2 * math.factorial(p - 1))
            for s in itertools.combinations(others, k):
                m[:, i, j] += weight * (game(s + (i, j)) - game(s + (i,)) - game(s + (j,))
                                        + game(s))
    for i in range(p):
        m[:, i, i] = phi[:, i] - m[:, i, :].sum(axis=1) + m[:, i, i]
    return m


def interventional_game(est, row, background):
    def game(coalition):
        hybrid = background.copy()
        hybrid[:, list(coalition)] = row[list(coalition)]
        return est.model_.raw_output(hybrid).mean(axis=0)
    return game


@pytest.mark.parametrize("name", list(SMALL))
def test_values_equal_brute_force_enumeration_in_both_modes(name):
    est, x = fitted(name, classes=3 if name != "TreeClassifier" else 2)
    p = x.shape[1]
    trees, offset = est.model_.explained_trees()
    rows, background = x[:3], x[50:62]
    values, expected = est.explain(rows, return_expected_value=True)
    ivalues, iexpected = est.explain(rows, background, return_expected_value=True)
    np.testing.assert_allclose(expected, path_dependent_value(trees, offset, rows[0], ()),
                               rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(iexpected, est.model_.raw_output(background).mean(axis=0),
                               rtol=1e-12, atol=1e-12)
    for r, row in enumerate(rows):
        exact = shapley(lambda s: path_dependent_value(trees, offset, row, s), p)
        np.testing.assert_allclose(values[r], exact, rtol=1e-10, atol=1e-12)
        exact = shapley(interventional_game(est, row, background), p)
        np.testing.assert_allclose(ivalues[r], exact, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("name", ["ForestRegressor", "ForestClassifier", "BoostedClassifier",
                                  "TreeRegressor"])
def test_interactions_equal_brute_force_and_sum_to_the_values(name):
    est, x = fitted(name, classes=3)
    p = x.shape[1]
    trees, offset = est.model_.explained_trees()
    rows = x[:3]
    inter, expected = est.explain_interactions(rows, return_expected_value=True)
    np.testing.assert_array_equal(expected, est.explain(rows, return_expected_value=True)[1])
    np.testing.assert_array_equal(inter, np.swapaxes(inter, 2, 3))
    np.testing.assert_allclose(inter.sum(axis=3), est.explain(rows), rtol=1e-10, atol=1e-12)
    for r, row in enumerate(rows):
        exact = shapley_interactions(lambda s: path_dependent_value(trees, offset, row, s), p)
        np.testing.assert_allclose(inter[r], exact, rtol=1e-9, atol=1e-12)


# ---- local accuracy -------------------------------------------------------


def raw_scores(est, x):
    """The scores explained, from the estimators' own predictions."""
    if isinstance(est, tarnwood.BoostedClassifier):
        proba = est.predict_proba(x)
        if proba.shape[1] == 2:
            return np.log(proba[:, 1] / proba[:, 0])[:, None]
        return None  # softmax scores are defined up to a constant per row
    if hasattr(est, "predict_proba"):
        return est.predict_proba(x)
    return est.predict(x)[:, None]


@pytest.mark.parametrize("name", list(SMALL))
@pytest.mark.parametrize("classes", [2, 3])
def test_local_accuracy_on_every_estimator_in_both_modes(name, classes):
    if "Regressor" in name and classes == 3:
        pytest.skip("one case per regressor")
    params = {"max_depth": None} if "Boosted" not in name else {"rf_max_depth": None}
    est, x = fitted(name, classes=classes, **params)
    rows = x[:40]
    raw = est.model_.raw_output(rows)
    own = raw_scores(est, rows)
    if own is not None:
        np.testing.assert_allclose(raw, own, rtol=1e-9, atol=1e-12)
    for background in (None, x[100:130]):
        values, expected = est.explain(rows, background, return_expected_value=True)
        outputs = raw.shape[1]
        assert values.shape == (40, outputs, x.shape[1]) and expected.shape == (outputs,)
        np.testing.assert_allclose(expected + values.sum(axis=2), raw, rtol=1e-10,
                                   atol=1e-10 * np.abs(raw).max())


def test_deep_trees_explain_without_recursion_and_stay_locally_accurate():
    # Alternating labels along one direction: each split peels off one row,
    # a chain thousands of splits deep.
    n = 3000
    i = np.arange(n, dtype=float)
    x = np.column_stack([i, -i, i * 0.5])
    est = tarnwood.TreeClassifier().fit(x, i % 2)
    assert est.get_depth() > 2000
    rows = x[::97]
    raw = est.predict_proba(rows)
    for background in (None, x[::500]):
        values, expected = est.explain(rows, background, return_expected_value=True)
        np.testing.assert_allclose(expected + values.sum(axis=2), raw, rtol=1e-10, atol=1e-10)
    inter = est.explain_interactions(rows[:3])
    np.testing.assert_allclose(inter.sum(axis=3), est.explain(rows[:3]), rtol=1e-9, atol=1e-10)


def test_deep_forest_on_many_features_is_locally_accurate():
    x, y = make_data(n=2000, p=12, seed=3)
    est = tarnwood.ForestRegressor(n_estimators=6, random_state=1).fit(x, y)
    rows = x[:50]
    values, expected = est.explain(rows, return_expected_value=True)
    np.testing.assert_allclose(expected + values.sum(axis=2)[:, 0], est.predict(rows),
                               rtol=1e-10)


# ---- threads --------------------------------------------------------------


@pytest.mark.parametrize("name", ["ForestClassifier", "BoostedRegressor", "TreeClassifier"])
def test_every_n_jobs_gives_identical_values(name):
    est, x = fitted(name, classes=3, n_estimators=20) if "Forest" in name else fitted(name, 3)
    results = []
    for jobs in (1, 2, 3, -1):
        est.set_params(n_jobs=jobs)
        # One row (spread over tree blocks), a few, and many.
        results.append([est.explain(x[:1]), est.explain(x[:5]), est.explain(x),
                        est.explain(x[:7], x[:25]), est.explain_interactions(x[:9])])
    for other in results[1:]:
        for a, b in zip(results[0], other):
            np.testing.assert_array_equal(a, b)
    # A row explained alone equals the same row in a batch.
    np.testing.assert_array_equal(results[0][1][:1], results[0][0])


# ---- refusals -------------------------------------------------------------


def test_bad_input_is_refused_with_clear_errors():
    est, x = fitted("ForestRegressor")
    with pytest.raises(ValueError, match="features"):
        est.explain(x[:, :3])
    with pytest.raises(ValueError, match="features"):
        est.explain(x[:3], x[:, :2])
    with pytest.raises(ValueError, match="0 sample"):
        est.explain(x[:3], x[:0])
    rows = x[:3].copy()
    rows[1, 2] = np.inf
    with pytest.raises(ValueError, match="infinity"):
        est.explain(rows)
    with pytest.raises(ValueError, match="infinity"):
        est.explain(x[:3], rows)
    with pytest.raises(NotFittedError):
        tarnwood.BoostedClassifier().explain(x)
    with pytest.raises(NotFittedError):
        tarnwood.TreeRegressor().explain_interactions(x)
    assert est.model_.explain(x[:0])[0].shape == (0, 1, 4)
    # The engine checks widths too.
    with pytest.raises(ValueError, match="x_background has 2 columns"):
        est.model_.explain(x[:3], x[:5, :2])
    with pytest.raises(ValueError, match="no rows"):
        est.model_.explain(x[:3], x[:0])


def test_engine_routes_missing_values_right_and_stays_locally_accurate():
    # A missing value is explained as it is predicted (it follows each
    # split's missing side), in both modes.
    est, x = fitted("ForestClassifier", classes=3)
    rows = x[:8].copy()
    rows[::2, 1] = np.nan
    rows[1::3, 0] = np.nan
    background = x[40:60].copy()
    background[::3, 2] = np.nan
    raw = est.model_.raw_output(rows)
    for bg in (None, background):
        values, expected = est.model_.explain(rows, bg)
        np.testing.assert_allclose(expected + values.sum(axis=2), raw, rtol=1e-10, atol=1e-12)
    values = est.model_.explain(rows, background)[0]
    game = interventional_game(est, rows[0], background)
    np.testing.assert_allclose(values[0], shapley(game, x.shape[1]), rtol=1e-10, atol=1e-12)


def test_impossible_interaction_results_are_refused_before_any_work():
    p = 40_000
    rng = np.random.default_rng(0)
    x = rng.normal(size=(4, p))
    est = tarnwood.TreeRegressor(max_depth=2).fit(x, np.arange(4.0))
    with pytest.raises(ValueError, match="explain_interactions"):
        est.model_.explain_interactions(np.zeros((1000, p)))
    assert est.explain(x[:2]).shape == (2, 1, p)


# ---- shap -----------------------------------------------------------------


def shap_model(est):
    trees, offset = est.model_.explained_trees()
    return {"trees": trees, "base_offset": offset if offset.size > 1 else float(offset[0]),
            "tree_output": "raw_value", "objective": "squared_error",
            "input_dtype": np.float64, "internal_dtype": np.float64}


@pytest.mark.parametrize("name", ["ForestClassifier", "BoostedRegressor", "BoostedClassifier"])
def test_values_agree_with_shap_on_identical_trees(name):
    shap = pytest.importorskip("shap")
    est, x = fitted(name, classes=3, **({"max_depth": None} if "Forest" in name else {}))
    rows = x[:30]
    ours = est.explain(rows)
    explainer = shap.TreeExplainer(shap_model(est), feature_perturbation="tree_path_dependent")
    theirs = np.asarray(explainer.shap_values(rows, check_additivity=False))
    theirs = theirs.reshape(30, x.shape[1], -1).transpose(0, 2, 1)
    np.testing.assert_allclose(ours, theirs, rtol=1e-9, atol=1e-9)
    # shap's interventional mode rounds through float32 (its values are not
    # additive to better than that, and its comparisons differ on rows equal
    # to a threshold), so it is compared on fresh rows to float32 precision;
    # the brute-force test above holds these values to 1e-10.
    rng = np.random.default_rng(5)
    rows, background = rng.normal(size=(30, x.shape[1])), rng.normal(size=(40, x.shape[1]))
    ours = est.explain(rows, background)
    explainer = shap.TreeExplainer(shap_model(est), data=background,
                                   feature_perturbation="interventional", model_output="raw")
    theirs = np.asarray(explainer.shap_values(rows, check_additivity=False))
    theirs = theirs.reshape(30, x.shape[1], -1).transpose(0, 2, 1)
    np.testing.assert_allclose(ours, theirs, rtol=1e-6, atol=1e-6 * np.abs(ours).max())


def test_shap_explanation_holds_values_base_values_and_names():
    shap = pytest.importorskip("shap")
    est, x = fitted("ForestClassifier", classes=3)
    explanation = tarnwood.shap_explanation(est, x[:6])
    values, expected = est.explain(x[:6], return_expected_value=True)
    assert isinstance(explanation, shap.Explanation)
    np.testing.assert_array_equal(explanation.values, values.transpose(0, 2, 1))
    np.testing.assert_array_equal(explanation.base_values, np.tile(expected, (6, 1)))
    assert explanation.feature_names == ["x0", "x1", "x2", "x3"]
    est, x = fitted("ForestRegressor")
    explanation = tarnwood.shap_explanation(est, x[:6], x[:20], feature_names=list("abcd"))
    assert explanation.values.shape == (6, 4) and explanation.base_values.shape == (6,)
    np.testing.assert_array_equal(explanation.data, x[:6])
