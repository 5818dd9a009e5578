"""The package forests' fast growth: repeated bootstrap rows summed once with
their multiplicity, partial feature draws. Trees must not depend on n_jobs,
must count and average their bootstrap entries as the exact path does, and
must predict as well as the exact path."""

import numpy as np
import pytest
from sklearn.datasets import make_classification, make_friedman1, make_regression
from sklearn.metrics import accuracy_score, r2_score

import tarnwood
from tarnwood.forest import _ForestBase
from tarnwood import ForestClassifier, ForestRegressor


def regression(n=1500, seed=0):
    X, y = make_friedman1(n, 8, noise=0.5, random_state=seed)
    return X, y


def multiclass(n=1500, classes=7, seed=0):
    return make_classification(n, 10, n_informative=7, n_classes=classes,
                               n_clusters_per_class=1, random_state=seed)


def rare_class(data):
    # Class 0 keeps a single row, so some bootstrap samples miss it.
    X, y = data
    zeros = np.flatnonzero(y == 0)
    y[zeros[1:]] = 1
    return X, y


def trees(est):
    m = est.model_
    return [m.tree_arrays(t) for t in range(est.n_estimators)]


@pytest.mark.parametrize("make,cls,kw", [
    (regression, ForestRegressor, dict(max_features="sqrt")),
    (regression, ForestRegressor, dict(max_features=1.0, min_samples_leaf=3)),
    (multiclass, ForestClassifier, dict()),
    (multiclass, ForestClassifier, dict(max_leaf_nodes=40)),
])
def test_fast_trees_do_not_depend_on_n_jobs(make, cls, kw):
    X, y = make()
    got = [trees(cls(n_estimators=6, random_state=3, n_jobs=j, **kw).fit(X, y)) for j in (1, 2, 3)]
    for other in got[1:]:
        for a, b in zip(got[0], other):
            assert a.keys() == b.keys()
            for key in a:
                np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("cls,make", [
    (ForestRegressor, regression),
    (ForestClassifier, multiclass),
    (ForestClassifier, lambda n: rare_class(multiclass(n, classes=40))),  # grouped search
])
def test_fast_leaves_count_and_average_their_bootstrap_entries(cls, make):
    # Each tree's leaves are replayed from its bootstrap entries (repeats
    # included): entry counts exact, regression means equal to rounding,
    # class fractions those of the entries' classes.
    X, y = make(n=600)
    est = cls(n_estimators=4, random_state=1, max_features="sqrt").fit(X, y)
    leaves = est.apply(X)
    for t in range(est.n_estimators):
        arrays = est.model_.tree_arrays(t)
        sample = np.asarray(est.model_.sample_indices(t))
        leaf = leaves[sample, t]
        ids, counts = np.unique(leaf, return_counts=True)
        np.testing.assert_array_equal(arrays["n_node_samples"][ids], counts)
        assert arrays["n_node_samples"][0] == len(sample)
        if cls is ForestRegressor:
            means = np.array([y[sample[leaf == i]].mean() for i in ids])
            np.testing.assert_allclose(arrays["value"][ids, 0, 0], means, rtol=1e-12, atol=1e-12)
        else:
            codes = np.searchsorted(est.classes_, y[sample])
            for i in ids:
                share = np.bincount(codes[leaf == i], minlength=len(est.classes_))
                np.testing.assert_allclose(arrays["value"][i, 0], share / share.sum(), rtol=1e-12)


def exact(monkeypatch):
    monkeypatch.setattr(_ForestBase, "_fast_growth", False)


@pytest.mark.parametrize("seed", [0, 1])
def test_fast_growth_loses_no_accuracy(seed, monkeypatch):
    # Scores on held-out rows, fast against exact, on several data sets.
    cases = [
        (ForestRegressor, *make_regression(3000, 12, n_informative=6, noise=5.0, random_state=seed),
         dict(max_features="sqrt"), r2_score, 0.03),  # other feature draws: noisier
        (ForestRegressor, *regression(3000, seed), dict(), r2_score, 0.01),
        (ForestClassifier, *multiclass(3000, 10, seed), dict(), accuracy_score, 0.03),
        (ForestClassifier, *multiclass(3000, 40, seed), dict(), accuracy_score, 0.03),
        (ForestClassifier, *multiclass(3000, 3, seed), dict(class_weight="balanced"),
         accuracy_score, 0.03),
    ]
    for cls, X, y, kw, score, slack in cases:
        half = len(y) // 2
        fast = cls(n_estimators=30, random_state=seed, n_jobs=2, **kw).fit(X[:half], y[:half])
        with monkeypatch.context() as m:
            exact(m)
            slow = cls(n_estimators=30, random_state=seed, n_jobs=2, **kw).fit(X[:half], y[:half])
        a = score(y[half:], fast.predict(X[half:]))
        b = score(y[half:], slow.predict(X[half:]))
        assert a >= b - slack, (cls.__name__, kw, a, b)


def test_weighted_rows_keep_the_exact_sums(monkeypatch):
    # Rows of other weights keep a slot per entry: on one feature (no
    # partial draws, no feature order), fast and exact grow the same trees
    # (fast growth only places their thresholds otherwise).
    X, y = regression(500)
    X = X[:, :1]
    w = np.random.default_rng(0).uniform(0.5, 2.0, len(y))
    fast = ForestRegressor(n_estimators=4, random_state=2).fit(X, y, sample_weight=w)
    exact(monkeypatch)
    slow = ForestRegressor(n_estimators=4, random_state=2).fit(X, y, sample_weight=w)
    for a, b in zip(trees(fast), trees(slow)):
        for key in a:
            if key != "threshold":
                np.testing.assert_array_equal(a[key], b[key], err_msg=key)


def gap_split(cls, g, h):
    """One depth-2 tree on rows of x0 = 0 holding x1 = g (target 1 below the
    gap's middle, 2 above) and rows of x0 = 1 holding x1 = h (target 0): the
    second split parts the g values across the gap h fills."""
    X = np.c_[np.r_[np.zeros(len(g)), np.ones(len(h))], np.r_[g, h]]
    y = np.r_[1 + (g >= 0.5 * (g.min() + g.max())), np.zeros(len(h))]
    if cls is ForestClassifier:
        y = y.astype(int)
    est = cls(n_estimators=1, bootstrap=False, max_features=None, max_depth=2,
              random_state=0).fit(X, y)
    t = trees(est)[0]
    assert t["feature"][:2].tolist() == [0, 1]
    return est, t["threshold"][1]


@pytest.mark.parametrize("cls", [ForestRegressor, ForestClassifier])
def test_thresholds_sit_midway_across_the_node_gap(cls):
    # x1 in 0..9 and 90..99 on one side, the values between on the other:
    # the threshold sits halfway across the gap, not just above 9, and
    # unseen values in the gap go to the nearer side.
    g = np.r_[np.arange(10), np.arange(90, 100)].repeat(5).astype(float)
    est, threshold = gap_split(cls, g, np.linspace(10, 89, 100).round())
    assert 45 < threshold < 55
    assert est.predict([[0, 30], [0, 70]]).tolist() == [1, 2]
    # x1 = 0 or 10, the gap filled with nine values crowded near 0: every
    # bin holds one value, so the split takes the edge nearest 5 (between
    # 0.9 and 10), as an exact tree would, not the gap's middle bin (near
    # 0.45).
    g = np.r_[np.zeros(20), np.full(20, 10.0)]
    est, threshold = gap_split(cls, g, np.tile(np.arange(1, 10) / 10, 5))
    assert threshold == (0.9 + 10) / 2
    assert est.predict([[0, 3], [0, 6]]).tolist() == [1, 2]
    # A node of three rows, the gap between its two lowest values.
    est, threshold = gap_split(cls, np.array([0.0, 10.0, 20.0]), np.arange(1.0, 10.0))
    assert 4 < threshold < 6


def test_equal_gains_fall_to_features_drawn_per_node():
    # Three copies of one column tie at every node: with every feature
    # examined, each node offers them in its own drawn order, so all three
    # are used (binary, multiclass and regression, depth first and best
    # first); exact growth keeps the first column.
    rng = np.random.default_rng(0)
    x = rng.normal(size=(600, 1))
    X = np.hstack([x, x, x])
    targets = [(ForestRegressor, x[:, 0] ** 2 + 0.1 * rng.normal(size=600)),
               (ForestClassifier, (x[:, 0] > 0.3).astype(int) ^ (rng.random(600) < 0.3)),
               (ForestClassifier, np.digitize(x[:, 0] + 0.5 * rng.normal(size=600), [-1, 0, 1]))]
    for cls, y in targets:
        for kw in (dict(), dict(max_leaf_nodes=60)):
            est = cls(n_estimators=5, max_features=None, random_state=0, **kw).fit(X, y)
            used = np.concatenate([t.feature[t.feature >= 0] for t in est.trees_])
            assert np.bincount(used, minlength=3).min() > 0.2 * used.size, (cls, kw)
            again = cls(n_estimators=5, max_features=None, random_state=0, n_jobs=2, **kw)
            assert [t.feature.tolist() for t in again.fit(X, y).trees_] == \
                [t.feature.tolist() for t in est.trees_]


@pytest.mark.parametrize("cls,data", [(ForestRegressor, regression),
                                      (ForestClassifier, multiclass)])
def test_a_node_draws_its_features_whatever_order_the_nodes_grow_in(cls, data):
    # Partial draws come from the node's place in the tree, not from a
    # generator consumed node after node: best-first growth under a leaf
    # limit it never reaches opens the nodes in another order, yet grows
    # the very trees of depth-first growth.
    X, y = data(600)
    depth_first = cls(n_estimators=3, max_features=3, random_state=5).fit(X, y)
    best_first = cls(n_estimators=3, max_features=3, random_state=5,
                     max_leaf_nodes=10**6).fit(X, y)
    for a, b in zip(trees(depth_first), trees(best_first)):
        assert a["feature"].size > 50
        for key in a:
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)


def test_boosted_regression_grows_fast_alike_for_every_n_jobs():
    # The boosted regressor's internal forests take the fast growth too:
    # its states do not depend on n_jobs, and it predicts as well as the
    # exact growth of the engine door.
    X, y = make_regression(2400, 10, n_informative=6, noise=5.0, random_state=4)
    states = [tarnwood.BoostedRegressor(n_estimators=6, rf_n_estimators=4, random_state=2,
                                        n_jobs=j).fit(X, y).model_.__getstate__()
              for j in (1, 2, 3)]
    assert states[0] == states[1] == states[2]
    half = len(y) // 2
    scores = []
    for fast in (True, False):
        m = tarnwood._engine.BoostedRegressor(n_estimators=10, rf_n_estimators=5, random_state=1,
                                               max_leaf_nodes=15, fast_growth=fast)
        m.fit(X[:half], y[:half], n_jobs=2)
        scores.append(r2_score(y[half:], m.predict(X[half:])))
    assert scores[0] >= scores[1] - 0.01, scores
    with pytest.raises(TypeError):
        tarnwood._engine.BoostedClassifier(fast_growth="yes")


@pytest.mark.parametrize("classes", [32, 25, 10])
def test_every_fast_gini_split_is_a_best_split_with_many_classes(classes):
    # Whole-count gini searches decode a bin's one or two classes from its
    # tag, walk small nodes' bins class by class and large nodes' bins with
    # every class's left count in vector registers (whole vectors of four
    # classes, then a pair); up to 32 classes, every split must still reach
    # the largest impurity decrease among all the node's splits (every
    # feature examined, one bin per distinct value).
    X, y = multiclass(500, classes=classes, seed=3)
    X = np.round(X, 1)  # some 40 values a feature: bins of one, two or many rows
    est = ForestClassifier(n_estimators=2, max_features=None, max_depth=6,
                           random_state=0).fit(X, y)
    codes = np.searchsorted(est.classes_, y)

    def decrease(left, right):
        def weighted_gini(part):
            counts = np.bincount(codes[part], minlength=classes)
            return counts.sum() - (counts ** 2).sum() / counts.sum()
        return weighted_gini(np.r_[left, right]) - weighted_gini(left) - weighted_gini(right)

    indicator, ptr = est.decision_path(X)
    for t in range(est.n_estimators):
        arrays = est.model_.tree_arrays(t)
        sample = np.asarray(est.model_.sample_indices(t))  # bootstrap entries, repeats kept
        paths = indicator[sample][:, ptr[t]:ptr[t + 1]].toarray().astype(bool)
        for node in np.flatnonzero(arrays["children_left"] >= 0):
            rows = sample[paths[:, node]]
            f, cut = arrays["feature"][node], arrays["threshold"][node]
            chosen = decrease(rows[X[rows, f] <= cut], rows[X[rows, f] > cut])
            best = max(decrease(rows[X[rows, g] <= v], rows[X[rows, g] > v])
                       for g in range(X.shape[1]) for v in np.unique(X[rows, g])[:-1])
            assert chosen >= best - 1e-9 * len(rows), (t, node)


@pytest.mark.parametrize("min_leaf,depth,n", [(1, 6, 500), (4, 6, 500), (30, 6, 500),
                                             (1, None, 90)])
def test_every_fast_regression_split_is_a_best_admissible_split(min_leaf, depth, n):
    # Regression on merged slots keeps the left sums at every occupied bin
    # and cuts the admissible run (both sides holding min_samples_leaf
    # bootstrap entries) out afterwards; nodes of a few slots score each
    # set of slots sent left once. Every split must reach the largest
    # variance decrease among the node's admissible splits, and every leaf
    # above the depth limit must have none left.
    X, y = make_friedman1(n, 5, noise=0.3, random_state=4)
    X = np.round(X, 2)  # about 100 values a feature: bins of one or several rows
    # Outlying targets at the low end of one feature and the high end of
    # another: the best splits regardless of min_samples_leaf cut them off.
    y[np.argsort(X[:, 0])[:6]] += 40.0
    y[np.argsort(X[:, 1])[-6:]] -= 40.0
    est = ForestRegressor(n_estimators=2, max_features=None, max_depth=depth,
                          min_samples_leaf=min_leaf, random_state=0).fit(X, y)

    def decrease(left, right):
        def squares(part):
            return ((y[part] - y[part].mean()) ** 2).sum() if len(part) else 0.0
        return squares(np.r_[left, right]) - squares(left) - squares(right)

    def best_admissible(rows):
        return max((decrease(rows[X[rows, g] <= v], rows[X[rows, g] > v])
                    for g in range(X.shape[1]) for v in np.unique(X[rows, g])[:-1]
                    if min_leaf <= (X[rows, g] <= v).sum() <= len(rows) - min_leaf),
                   default=0.0)

    indicator, ptr = est.decision_path(X)
    for t in range(est.n_estimators):
        arrays = est.model_.tree_arrays(t)
        sample = np.asarray(est.model_.sample_indices(t))
        paths = indicator[sample][:, ptr[t]:ptr[t + 1]].toarray().astype(bool)
        level = np.zeros(len(arrays["children_left"]), int)
        for node, (a, b) in enumerate(zip(arrays["children_left"], arrays["children_right"])):
            if a >= 0:
                level[a] = level[b] = level[node] + 1
        tol = 1e-9 * len(sample) * y.var()
        for node in range(len(level)):
            rows = sample[paths[:, node]]
            if arrays["children_left"][node] < 0:
                # A leaf above the depth limit has no admissible split left.
                if depth is None or level[node] < depth:
                    assert best_admissible(rows) <= tol, (t, node)
                continue
            f, cut = arrays["feature"][node], arrays["threshold"][node]
            left, right = rows[X[rows, f] <= cut], rows[X[rows, f] > cut]
            assert min(len(left), len(right)) >= min_leaf, (t, node)
            assert decrease(left, right) >= best_admissible(rows) - tol, (t, node)


@pytest.mark.parametrize("kw,nan", [(dict(max_features="sqrt"), False),
                                    (dict(max_leaf_nodes=60), True),
                                    (dict(max_features=0.5, min_samples_leaf=2), False),
                                    (dict(max_features="sqrt"), True)])
def test_regression_trees_predict_as_their_thresholds_send_rows(kw, nan):
    # Regression trees are coded for prediction on the bin edges while they
    # grow: predict and apply must reach the leaves the trees' own
    # thresholds send every row to, on columns of up to 255 usable edges
    # (many distinct values), a few values and ties, and NaN (whose splits
    # on "missing or not" the coded form leaves to the survey of the tree).
    rng = np.random.default_rng(3)
    X = np.column_stack([rng.normal(size=3000), rng.integers(0, 4, 3000),
                         np.round(rng.uniform(size=3000), 3), rng.normal(size=3000) ** 3])
    y = X[:, 0] + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=3000)
    if nan:
        X[rng.random(3000) < 0.05, 3] = np.nan
    est = ForestRegressor(n_estimators=4, random_state=0, **kw).fit(X, y)
    walked = np.empty((len(X), est.n_estimators), int)
    for t, tree in enumerate(est.trees_):
        node = np.zeros(len(X), int)
        for _ in range(tree.max_depth):
            inner = tree.children_left[node] >= 0
            f = np.where(inner, tree.feature[node], 0)
            v = X[np.arange(len(X)), f]
            left = np.where(np.isnan(v), tree.missing_go_to_left[node] == 1,
                            v <= tree.threshold[node])
            node = np.where(inner, np.where(left, tree.children_left[node],
                                            tree.children_right[node]), node)
        walked[:, t] = node
    np.testing.assert_array_equal(est.apply(X), walked)
    values = np.stack([tree.value[walked[:, t], 0, 0] for t, tree in enumerate(est.trees_)], 1)
    np.testing.assert_allclose(est.predict(X), values.mean(1), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("classes", [2, 3])
def test_trees_grow_alike_from_row_and_column_codes(classes):
    # A fit of a few trees gathers each working set from the histogram's
    # columns, one of more trees copies whole rows of row-major codes: the
    # trees both grow from the same draws must be the same.
    X, y = make_classification(3000, 12, n_informative=6, n_classes=classes, random_state=0)
    few = ForestClassifier(n_estimators=3, random_state=0).fit(X, y)
    more = ForestClassifier(n_estimators=6, random_state=0).fit(X, y)
    for a, b in zip(few.trees_, more.trees_[:3]):
        np.testing.assert_array_equal(a.feature, b.feature)
        np.testing.assert_array_equal(a.threshold, b.threshold)
        np.testing.assert_array_equal(a.value, b.value)
