"""Forests of more than 256 bins a feature (16-bit bin codes): the finer
thresholds must be found, every analysis must walk the trees as prediction
does, and data that needs no more than 256 bins must grow the same forests
as the default."""

import numpy as np
import pytest

from tarnwood import ForestClassifier, ForestRegressor, _engine


def mixed(n, seed=0):
    # A continuous column of n distinct values, one with missing values and
    # a categorical one.
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.uniform(-3, 3, n), rng.normal(size=n), rng.integers(0, 5, n)])
    X[rng.random(n) < 0.15, 1] = np.nan
    y = np.sin(X[:, 0]) + np.nan_to_num(X[:, 1]) * (X[:, 2] % 2) + 0.2 * rng.normal(size=n)
    return X.astype(float), y


def trees(est):
    return [est.model_.tree_arrays(t) for t in range(est.n_estimators)]


def assert_same_trees(a, b):
    for x, y in zip(trees(a), trees(b)):
        assert x.keys() == y.keys()
        for key in x:
            np.testing.assert_array_equal(x[key], y[key])


def test_a_step_between_close_values_is_found_exactly():
    # 3000 distinct values: 256 bins hold about 12 each, so a step between
    # two neighbours inside a bin is out of reach of the default bins and
    # exactly reached with 4096.
    x = np.sort(np.random.default_rng(1).uniform(0, 1, 3000))
    mids = (x[:-1] + x[1:]) / 2
    edges = _engine.bin_edges(x[:, None], max_bins=256)[0]
    step = next(i for i in range(1500, 1520) if mids[i - 1] not in edges)
    y = (np.arange(3000) >= step).astype(float)
    want = mids[step - 1]
    thresholds = {}
    for bins in (256, 4096):
        m = ForestRegressor(n_estimators=1, bootstrap=False, max_depth=1, max_bins=bins,
                            random_state=0).fit(x[:, None], y)
        thresholds[bins] = m.trees_[0].threshold[0]
    assert thresholds[4096] == want
    assert thresholds[256] != want


@pytest.mark.parametrize("cls", [ForestRegressor, ForestClassifier])
def test_data_needing_few_bins_grows_the_default_forests(cls):
    # Every feature has at most 256 distinct values: the bins and so the
    # trees are those of max_bins=256, missing values and categories included.
    X, y = mixed(2000)
    X[:, :2] = np.round(X[:, :2], 1)
    if cls is ForestClassifier:
        y = (y > 0).astype(int) + (y > 1)
    kw = dict(n_estimators=4, random_state=3, categorical_features=[2])
    assert_same_trees(cls(max_bins=256, **kw).fit(X, y), cls(max_bins=50000, **kw).fit(X, y))


@pytest.mark.parametrize("kind", ["regression", "binary", "classes", "many", "weighted", "exact"])
def test_wide_forests_agree_with_their_walks(kind, monkeypatch):
    # Predictions, out-of-bag estimates and leaf samples of 16-bit forests
    # against plain rebuilds from apply() and the trees' own arrays.
    X, y = mixed(1500, seed=4)
    w = None
    if kind in ("binary", "classes"):
        y = (y > 0).astype(int) + (kind == "classes") * (y > 1)
    if kind == "many":  # 40 classes: the grouped search
        y = np.searchsorted(np.quantile(y, np.linspace(0, 1, 41)[1:-1]), y)
    if kind == "weighted":
        w = np.random.default_rng(5).uniform(0.5, 2.0, len(y))
    if kind == "exact":
        from tarnwood.forest import _ForestBase
        monkeypatch.setattr(_ForestBase, "_fast_growth", False)
    cls = ForestRegressor if kind in ("regression", "weighted", "exact") else ForestClassifier
    est = cls(n_estimators=8, max_bins=4096, oob_score=True, random_state=1,
              categorical_features=[2], n_jobs=2).fit(X, y, sample_weight=w)
    # The trees did split (40 classes of 8 bootstrap trees fit less).
    assert est.score(X, y, sample_weight=w) > (0.7 if kind == "many" else 0.8)
    leaves = est.apply(X)
    # Each leaf holds the bootstrap entries the walk sends there.
    for t, sample in enumerate(est.estimators_samples_):
        ids, counts = np.unique(leaves[sample, t], return_counts=True)
        np.testing.assert_array_equal(est.model_.tree_arrays(t)["n_node_samples"][ids], counts)
    per_tree = [t.value[:, 0, :] if cls is ForestRegressor else
                t.value[:, 0, :] / t.value[:, 0, :].sum(axis=1, keepdims=True)
                for t in est.trees_]
    walked = np.mean([v[leaves[:, t]] for t, v in enumerate(per_tree)], axis=0)
    if cls is ForestRegressor:
        np.testing.assert_allclose(est.predict(X), walked[:, 0], rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_allclose(est.predict_proba(X), walked, rtol=1e-12, atol=1e-12)
    # Out-of-bag: the mean over the trees that did not draw the row.
    sums = np.zeros_like(walked)
    hits = np.zeros(len(y))
    for t, sample in enumerate(est.estimators_samples_):
        oob = np.bincount(sample, minlength=len(y)) == 0
        sums[oob] += per_tree[t][leaves[oob, t]]
        hits += oob
    seen = hits > 0
    got = est.oob_prediction_ if cls is ForestRegressor else est.oob_decision_function_
    want = sums[seen] / hits[seen, None]
    np.testing.assert_allclose(np.asarray(got)[seen].reshape(want.shape), want, rtol=1e-12,
                               atol=1e-12)
    if kind == "regression":
        # The leaf samples are the rows each tree drew into each leaf.
        q = est.predict_quantiles(X[:50], [0.0, 1.0])
        for i in range(50):
            mine = np.concatenate([y[s][leaves[s, t] == leaves[i, t]]
                                   for t, s in enumerate(est.estimators_samples_)])
            assert q[i, 0] == mine.min() and q[i, 1] == mine.max()


def test_wide_forests_do_not_depend_on_n_jobs():
    X, y = mixed(3000, seed=7)
    got = [ForestRegressor(n_estimators=6, max_bins=2000, max_features=1, random_state=2,
                           n_jobs=j).fit(X, y) for j in (1, 3)]
    assert_same_trees(*got)


def test_the_random_splitter_keeps_byte_bins():
    # Random thresholds are drawn among at most 256 bins a feature.
    X, y = mixed(3000, seed=8)
    kw = dict(n_estimators=3, splitter="random", random_state=0, categorical_features=[2])
    assert_same_trees(ForestRegressor(max_bins=256, **kw).fit(X, y),
                      ForestRegressor(max_bins=4096, **kw).fit(X, y))


@pytest.mark.filterwarnings("ignore:Some inputs do not have OOB scores")
def test_trees_with_thresholds_past_the_coded_ranks_walk_on_values():
    # 40000 distinct values at 65536 bins: splits high up the column have
    # edge ranks no coded node holds, so those trees' out-of-bag rows and
    # leaf samples are walked on values, and must still agree with apply().
    rng = np.random.default_rng(11)
    X = rng.uniform(0, 1, (40000, 1))
    y = np.sin(12 * X[:, 0]) + 0.1 * rng.normal(size=len(X))
    est = ForestRegressor(n_estimators=2, max_bins=65536, oob_score=True, random_state=0,
                          max_depth=12).fit(X, y)
    ranks = np.searchsorted(_engine.bin_edges(X, max_bins=65536)[0],
                            np.concatenate([t.threshold[t.feature >= 0] for t in est.trees_]))
    assert ranks.max() > 32767
    leaves = est.apply(X)
    sums, hits = np.zeros(len(y)), np.zeros(len(y))
    for t, sample in enumerate(est.estimators_samples_):
        oob = np.bincount(sample, minlength=len(y)) == 0
        sums[oob] += est.trees_[t].value[leaves[oob, t], 0, 0]
        hits += oob
    seen = hits > 0
    np.testing.assert_allclose(est.oob_prediction_[seen], sums[seen] / hits[seen], rtol=1e-12)
    q = est.predict_quantiles(X[:20], [0.0, 1.0])
    for i in range(20):
        mine = np.concatenate([y[s][leaves[s, t] == leaves[i, t]]
                               for t, s in enumerate(est.estimators_samples_)])
        assert q[i, 0] == mine.min() and q[i, 1] == mine.max()
