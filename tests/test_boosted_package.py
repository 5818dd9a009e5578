"""The package's boosted estimators beyond the `_rs` classes: early
stopping, the kept calibrated model and its intervals, the packed
prediction copy, saved states with fit options, and calibrated
probabilities."""
import pickle

import numpy as np
import pytest
from sklearn.ensemble import HistGradientBoostingClassifier
from sklearn.metrics import log_loss

import _rs
import tarnwood


def friedman(rng, n, noise=1.0):
    x = rng.uniform(size=(n, 6))
    y = (10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 10 * x[:, 3]
         + 5 * x[:, 4] + rng.normal(scale=noise, size=n))
    return x, y


def blobs(rng, n, classes):
    centres = rng.normal(scale=1.5, size=(classes, 4))
    y = rng.integers(0, classes, size=n)
    return centres[y] + rng.normal(size=(n, 4)), y


def walk(tree, row):
    node = 0
    while tree["children_left"][node] != -1:
        go_left = row[tree["feature"][node]] <= tree["threshold"][node]
        node = tree["children_left"][node] if go_left else tree["children_right"][node]
    return tree["value"][node]


def raw_scores(model, x):
    """init + sum over rounds of learning_rate * (mean of the forest's trees),
    from the plain-data export."""
    d = model.to_dict()
    scores = np.tile(np.asarray(d["init"], dtype=float), (len(x), 1))
    for rnd in d["rounds"]:
        for j, output in enumerate(rnd["outputs"]):
            for i, row in enumerate(x):
                values = [walk(t, row) for t in output["trees"]]
                scores[i, j] += d["learning_rate"] * (sum(values) / len(values))
    return scores


def test_early_stopping_keeps_the_best_rounds_and_is_reproducible(rng):
    x, y = friedman(rng, 1500, noise=3.0)
    kw = dict(n_estimators=400, learning_rate=0.3, early_stopping=True, n_iter_no_change=5,
              random_state=4)
    fits = [tarnwood.BoostedRegressor(n_jobs=j, **kw).fit(x, y) for j in (1, 2)]
    a, b = fits
    assert 1 <= a.n_iter_ < 400 and a.n_iter_ == b.n_iter_ == len(a.trees_used_)
    np.testing.assert_array_equal(a.predict(x), b.predict(x))
    np.testing.assert_array_equal(a.predict_interval(x, 0.1), b.predict_interval(x, 0.1))
    back = pickle.loads(pickle.dumps(a))
    assert back.n_iter_ == a.n_iter_
    np.testing.assert_array_equal(back.predict(x), a.predict(x))
    # Off, every round is grown; 'auto' stays off for small data.
    assert tarnwood.BoostedRegressor(n_estimators=30, random_state=4).fit(x, y).n_iter_ == 30
    clf = tarnwood.BoostedClassifier(n_estimators=300, learning_rate=0.5, early_stopping=True,
                                     n_iter_no_change=3, random_state=0)
    xc, yc = blobs(rng, 1200, 3)
    clf.fit(xc, yc)
    assert 1 <= clf.n_iter_ < 300 and len(clf.model_.to_dict()["rounds"]) == clf.n_iter_


@pytest.mark.parametrize("make", [
    lambda: tarnwood.BoostedRegressor(n_estimators=12, random_state=2, early_stopping=True,
                                      n_iter_no_change=2),
    lambda: tarnwood.BoostedClassifier(n_estimators=5, rf_n_estimators=3, random_state=2),
])
def test_packed_predictions_equal_the_rounds_mean_tree_values(make, rng):
    # Regressor rounds, then a three-class model: forest r * 3 + j adds to
    # class j.
    regression = isinstance(make(), tarnwood.BoostedRegressor)
    x, y = friedman(rng, 600) if regression else blobs(rng, 600, 3)
    model = make().fit(x, y)
    rows = rng.uniform(size=(25, x.shape[1])) if regression else x[:25]
    want = raw_scores(model, rows)
    if regression:
        np.testing.assert_allclose(model.predict(rows), want[:, 0], rtol=1e-12)
    else:
        e = np.exp(want - want.max(axis=1, keepdims=True))
        np.testing.assert_allclose(model.predict_proba(rows), e / e.sum(axis=1, keepdims=True),
                                   rtol=1e-9)


def test_kept_calibrated_model_covers_at_its_level_over_repeated_splits():
    covered = []
    for seed in range(6):
        rng = np.random.default_rng(seed)
        x, y = friedman(rng, 1400)
        xt, yt = friedman(rng, 2000)
        model = tarnwood.BoostedRegressor(n_estimators=40, random_state=seed).fit(x, y)
        assert model.calibration_residuals_.size == 140
        lo, hi = model.predict_interval(xt, alpha=0.1).T
        covered.append(np.mean((lo <= yt) & (yt <= hi)))
    # Split-conformal: between 0.9 and 0.9 + 1/141 in expectation.
    assert 0.88 <= np.mean(covered) <= 0.93, covered
    # Refitting grows two models: the same calibration, a different kept model.
    rng = np.random.default_rng(0)
    x, y = friedman(rng, 800)
    one = tarnwood.BoostedRegressor(n_estimators=10, random_state=1).fit(x, y)
    two = tarnwood.BoostedRegressor(n_estimators=10, random_state=1,
                                    interval_method="refit").fit(x, y)
    np.testing.assert_array_equal(one.calibration_residuals_, two.calibration_residuals_)
    assert not np.array_equal(one.predict(x), two.predict(x))


def test_states_with_fit_options_load_only_through_the_package_door(rng):
    x, y = friedman(rng, 300)
    state = tarnwood.BoostedRegressor(n_estimators=3, random_state=0).fit(x, y).model_.__getstate__()
    with pytest.raises(ValueError, match="version"):
        _rs.TarnwoodRegressor().__setstate__(state)
    model = tarnwood._engine.BoostedRegressor()
    model.__setstate__(state)
    assert model.__getstate__() == state
    # Without options the state is the `_rs` one.
    legacy = tarnwood.BoostedRegressor(n_estimators=3, random_state=0, rf_max_leaf_nodes=None,
                                       interval_method="refit").fit(x, y)
    _rs.TarnwoodRegressor().__setstate__(legacy.model_.__getstate__())


def test_probabilities_are_calibrated(rng):
    x, y = blobs(rng, 6000, 2)
    y = np.where(rng.uniform(size=len(y)) < 0.1, 1 - y, y)  # label noise: no certainty
    xt, yt = x[4000:], y[4000:]
    x, y = x[:4000], y[:4000]
    model = tarnwood.BoostedClassifier(random_state=0).fit(x, y)
    p = model.predict_proba(xt)[:, 1]
    # Reliability: in every decile of predicted probability holding enough
    # rows, the observed frequency of class 1 is close to the mean prediction.
    edges = np.linspace(0, 1, 11)
    for lo, hi in zip(edges[:-1], edges[1:]):
        inside = (p >= lo) & (p < hi)
        if inside.sum() >= 100:
            assert abs(p[inside].mean() - yt[inside].mean()) < 0.06, (lo, hi)
    reference = HistGradientBoostingClassifier(random_state=0).fit(x, y)
    assert log_loss(yt, p) <= 1.05 * log_loss(yt, reference.predict_proba(xt)[:, 1])
    # Intervals on the probability still surround it.
    bounds = model.predict_interval(xt, alpha=0.1)
    assert np.all((0 <= bounds[:, 0]) & (bounds[:, 0] <= p) & (p <= bounds[:, 1])
                  & (bounds[:, 1] <= 1))
