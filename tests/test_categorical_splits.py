"""Category-set splits in the engine: the split search checked node for node
against a plain Python model of it (histogram forests on their bootstrap
samples, exact trees on every row), the best partition against brute
force, every walk of a fitted model against routing written from its node
arrays, saved states, and the checks on the category codes a fit gets."""
import itertools
import math
import pickle

import numpy as np
import pytest

import _rs
import tarnwood._engine as E


# ---- reference --------------------------------------------------------------------

def var(w, s1, s2):
    m = s1 / w
    return s2 / w - m * m


def gini(ws, w):
    s = 0.0
    for v in ws:
        share = v / w
        s += share * share
    return 1.0 - s


def best_cells(X, rows, y, w, categories, min_leaf, classes=None):
    """The best category split of a node holding `rows` (node order): its
    feature, its set of left cells (the missing cell of k categories is k)
    and its gain, or None. Features in column order, the first of equal
    gains kept; cells sorted by mean target / share of the heaviest class."""
    n = len(rows)
    W = 0.0
    if classes is None:
        s1 = s2 = 0.0
        for r in rows:
            W += w[r]
            wy = w[r] * y[r]
            s1 += wy
            s2 += y[r] * wy
        if not W > 0:
            return None
        imp = var(W, s1, s2)
    else:
        tot = {}
        for r in rows:
            W += w[r]
            tot[y[r]] = tot.get(y[r], 0.0) + w[r]
        present = sorted(tot)
        if len(present) < 2:
            return None
        imp = gini([tot[c] for c in present], W)
        heavy = present[0]
        for c in present:
            if tot[c] > tot[heavy]:
                heavy = c
    best = None
    best_gain = 0.0
    for f, k in enumerate(categories):
        if k == 0:
            continue
        cells = {}
        for r in rows:
            v = X[r, f]
            c = k if math.isnan(v) else int(v)
            e = cells.setdefault(c, [0, 0.0, 0.0, 0.0, {}])
            e[0] += 1
            e[1] += w[r]
            if classes is None:
                wy = w[r] * y[r]
                e[2] += wy
                e[3] += y[r] * wy
            else:
                e[4][y[r]] = e[4].get(y[r], 0.0) + w[r]

        def key(c):
            e = cells[c]
            if not e[1] > 0:
                return 0.0
            return e[2] / e[1] if classes is None else e[4].get(heavy, 0.0) / e[1]

        order = sorted(cells, key=lambda c: (key(c), c))
        nl, wl, l1, l2, left = 0, 0.0, 0.0, 0.0, {}
        for j in range(len(order) - 1):
            e = cells[order[j]]
            nl += e[0]
            wl += e[1]
            l1 += e[2]
            l2 += e[3]
            for c, v in e[4].items():
                left[c] = left.get(c, 0.0) + v
            wr = W - wl
            if not (wr > 0 and wl > 0 and nl >= min_leaf and n - nl >= min_leaf):
                continue
            if classes is None:
                gain = imp - (wl * var(wl, l1, l2) + wr * var(wr, s1 - l1, s2 - l2)) / W
            else:
                gl = gini([left.get(c, 0.0) for c in present], wl)
                gr = gini([tot[c] - left.get(c, 0.0) for c in present], wr)
                gain = imp - (wl * gl + wr * gr) / W
            if gain > best_gain:
                best_gain = gain
                chosen = set(order[: j + 1])
                if nl > n - nl:  # absent categories go with the larger side
                    chosen |= {c for c in range(k) if c not in cells}
                best = (f, chosen, gain)
    return best


def grow_reference(X, rows, y, w, categories, min_leaf=1, max_depth=None, classes=None):
    """Pre-order nodes (feature, left codes, missing left, n) of the tree the
    engine grows with every feature categorical and examined at each node;
    leaves are (None, value) with the weighted mean (regression)."""
    out = []
    stack = [(list(rows), 0)]
    while stack:
        node, depth = stack.pop()
        split = None
        if len(node) >= 2 and (max_depth is None or depth < max_depth):
            split = best_cells(X, node, y, w, categories, min_leaf, classes)
        if split is None:
            W = sum(w[r] for r in node) if node else 0.0
            s = 0.0
            for r in node:
                s += w[r] * y[r]
            out.append((None, len(node), s / W if W > 0 else 0.0))
            continue
        f, cells, _ = split
        k = categories[f]

        def goes_left(r):
            v = X[r, f]
            return (k if math.isnan(v) else int(v)) in cells

        left = [r for r in node if goes_left(r)]
        right = [r for r in node if not goes_left(r)]
        out.append((f, len(node), frozenset(c for c in cells if c < k), frozenset(cells)))
        stack.append((right, depth + 1))
        stack.append((left, depth + 1))
    return out


def codes_of(bitset_row):
    return frozenset(c for c in range(256) if (int(bitset_row[c // 32]) >> (c % 32)) & 1)


def engine_nodes(arrays, regression=True):
    out = []
    for i in range(len(arrays["children_left"])):
        n = int(arrays["n_node_samples"][i])
        if arrays["children_left"][i] == -1:
            value = float(arrays["value"][i, 0, 0]) if regression else None
            out.append((None, n, value))
        else:
            assert arrays["is_categorical"][i] == 1
            assert math.isnan(arrays["threshold"][i])
            out.append((int(arrays["feature"][i]), n, codes_of(arrays["categorical_bitset"][i])))
    return out


def route(arrays, row):
    """Leaf a row reaches, from the node arrays alone."""
    i = 0
    while arrays["children_left"][i] != -1:
        v = row[arrays["feature"][i]]
        if arrays["is_categorical"][i]:
            if math.isnan(v):
                left = arrays["missing_go_to_left"][i] == 1
            else:
                c = int(v)
                left = (int(arrays["categorical_bitset"][i][c // 32]) >> (c % 32)) & 1 == 1
        elif math.isnan(v):
            left = arrays["missing_go_to_left"][i] == 1
        else:
            left = v <= arrays["threshold"][i]
        i = arrays["children_left"][i] if left else arrays["children_right"][i]
    return i


def categorical_data(n=400, ks=(7, 12), seed=0, missing=0.0, classify=False):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.integers(0, k, n).astype(float) for k in ks])
    if missing:
        X[rng.random(X.shape) < missing] = np.nan
    effect = [rng.normal(size=k + 1) for k in ks]
    y = sum(effect[j][np.where(np.isnan(X[:, j]), ks[j], X[:, j]).astype(int)]
            for j in range(len(ks)))
    y = y + 0.3 * rng.normal(size=n)
    if classify:
        y = (y > np.median(y)).astype(float)
    return X, y


# ---- the search against the reference ----------------------------------------------

@pytest.mark.parametrize("missing", [0.0, 0.15])
def test_histogram_forest_regression_matches_reference(missing):
    X, y = categorical_data(missing=missing, seed=1)
    ks = [7, 12]
    m = E.ForestRegressor(n_estimators=3, random_state=5, min_samples_leaf=3, max_depth=6)
    m.fit(X, y, categories=ks)
    w = np.ones(len(y))
    for t in range(3):
        rows = list(m.sample_indices(t))
        ref = grow_reference(X, rows, y, w, ks, min_leaf=3, max_depth=6)
        got = engine_nodes(m.tree_arrays(t))
        assert len(got) == len(ref)
        for a, b in zip(got, ref):
            # Leaves: package forests sum a repeated bootstrap row once with
            # its multiplicity, so means agree to rounding.
            assert a[:2] == b[:2]
            if a[0] is None:
                assert a[2] == pytest.approx(b[2], rel=1e-12, abs=1e-12)
            else:
                assert a[2] == b[2]


def test_histogram_forest_classification_and_exact_tree_match_reference():
    X, y = categorical_data(seed=2, classify=True, missing=0.1)
    ks = [7, 12]
    m = E.ForestClassifier(n_estimators=2, random_state=3, max_depth=5)
    m.fit(X, y, categories=ks)
    w = np.ones(len(y))
    for t in range(2):
        ref = grow_reference(X, list(m.sample_indices(t)), y, w, ks, max_depth=5, classes=True)
        got = engine_nodes(m.tree_arrays(t), regression=False)
        assert [g[:2] for g in got] == [r[:2] for r in ref]
        assert [g[2] for g in got if g[0] is not None] == [r[2] for r in ref if r[0] is not None]

    # The exact tree grows on every row in order: its predictions are the
    # reference leaves' weighted means, bit for bit.
    Xr, yr = categorical_data(seed=4, missing=0.1)
    wr = np.random.default_rng(0).uniform(0.5, 2.0, len(yr))
    tree = E.Tree(task="regression", random_state=0, max_depth=4, min_samples_leaf=2)
    tree.fit(Xr, yr, wr, categories=ks)
    ref = grow_reference(Xr, range(len(yr)), yr, wr, ks, min_leaf=2, max_depth=4)
    expected = [reference_predict(ref, ks, row) for row in Xr]
    np.testing.assert_array_equal(tree.predict(Xr), expected)


def reference_predict(ref, ks, row):
    """The value of the reference leaf a row reaches (pre-order nodes)."""
    i = 0
    while ref[i][0] is not None:
        f, cells = ref[i][0], ref[i][3]
        v = row[f]
        if (ks[f] if math.isnan(v) else int(v)) in cells:
            i += 1
            continue
        depth, j = 1, i + 1  # skip the left subtree
        while depth:
            depth += 1 if ref[j][0] is not None else -1
            j += 1
        i = j
    return ref[i][2]


def test_best_prefix_is_the_best_partition():
    """For regression and two classes the sorted-order scan finds the best of
    all two-way partitions of the present categories."""
    rng = np.random.default_rng(7)
    for classify in (False, True):
        for trial in range(4):
            k = 6
            X = rng.integers(0, k, 120).astype(float)[:, None]
            y = rng.normal(size=k)[X[:, 0].astype(int)] + rng.normal(size=120)
            if classify:
                y = (y > 0).astype(float)
            task = "classification" if classify else "regression"
            tree = E.Tree(task=task, random_state=0, max_depth=1)
            tree.fit(X, y, categories=[k])
            w = np.ones(120)
            found = best_cells(X, range(120), y, w, [k], 1, True if classify else None)
            brute = 0.0
            for r in range(1, k):
                for left in itertools.combinations(range(k), r):
                    part = [[i for i in range(120) if (int(X[i, 0]) in left) == side]
                            for side in (True, False)]
                    gain = _gain(y, part, classify)
                    brute = max(brute, gain)
            assert found[2] == pytest.approx(brute, rel=1e-12, abs=1e-15)
            # The tree's root split is that partition.
            out = tree.predict_proba(X)[:, 1] if classify else tree.predict(X)
            left = {c for c in range(k) if out[X[:, 0] == c][0] == out[X[:, 0] == min(found[1])][0]}
            assert left == set(found[1])


def _gain(y, part, classify):
    allrows = part[0] + part[1]
    if not part[0] or not part[1]:
        return 0.0

    def imp(rows):
        v = y[rows]
        if classify:
            p = v.mean()
            return 1 - p * p - (1 - p) * (1 - p)
        return v.var()

    n = len(allrows)
    return imp(allrows) - (len(part[0]) * imp(part[0]) + len(part[1]) * imp(part[1])) / n


# ---- one split where codes need many ----------------------------------------------

def test_scattered_set_is_one_split_where_codes_need_many():
    rng = np.random.default_rng(0)
    n, k = 4000, 50
    codes = rng.integers(0, k, n).astype(float)
    members = rng.choice(k, 25, replace=False)
    y = np.isin(codes, members).astype(float)
    X = codes[:, None]
    stump = E.Tree(task="classification", random_state=0, max_depth=1)
    stump.fit(X, y, categories=[k])
    assert np.mean(stump.predict(X) == y) == 1.0
    coded = E.Tree(task="classification", random_state=0, max_depth=1)
    coded.fit(X, y)
    assert np.mean(coded.predict(X) == y) < 0.8
    full = E.Tree(task="classification", random_state=0)
    full.fit(X, y)
    assert full.get_depth() > 3
    forest = E.ForestClassifier(n_estimators=5, random_state=0, max_depth=1)
    forest.fit(X, y, categories=[k])
    assert np.mean(np.argmax(forest.predict_proba(X), axis=1) == y) == 1.0


# ---- walks, states, missing and unseen values ---------------------------------------

def test_every_walk_follows_the_node_arrays():
    X, y = categorical_data(n=600, seed=3, missing=0.1)
    X = np.column_stack([X, np.random.default_rng(1).normal(size=len(y))])
    ks = [7, 12, 0]
    m = E.ForestRegressor(n_estimators=6, random_state=2)
    m.fit(X, y, categories=ks, oob_score=True)
    test = X.copy()
    test[::5, 0] = np.nan  # missing
    test[1::7, 1] = 11.0   # a code the node may not have seen
    arrays = [m.tree_arrays(t) for t in range(6)]
    leaves = np.array([[route(a, row) for a in arrays] for row in test])
    np.testing.assert_array_equal(m.apply(test), leaves)
    expected = np.mean([[a["value"][leaves[r, t], 0, 0] for t, a in enumerate(arrays)]
                        for r in range(len(test))], axis=1)
    np.testing.assert_allclose(m.predict(test), expected, rtol=1e-12)
    # Few rows walk one at a time, many through the category form.
    np.testing.assert_array_equal(m.predict(test[:3]), m.predict(test)[:3])
    # Explanations add up to the prediction.
    phi, expected_value = m.explain(test[:40])
    np.testing.assert_allclose((np.sum(phi, axis=-1) + expected_value).ravel(), m.predict(test[:40]),
                               rtol=1e-9, atol=1e-9)
    # Out-of-bag predictions and importances walk the trees too.
    # An out-of-bag row's prediction averages the trees that did not draw it.
    values, counts = m.oob_predictions()
    drawn = np.zeros((len(y), 6), dtype=bool)
    for t in range(6):
        drawn[m.sample_indices(t), t] = True
    train = np.array([[route(a, row) for a in arrays] for row in X])
    for r in range(0, len(y), 37):
        trees = [t for t in range(6) if not drawn[r, t]]
        assert counts[r] == len(trees)
        if trees:
            mean = np.mean([arrays[t]["value"][train[r, t], 0, 0] for t in trees])
            assert np.ravel(values)[r] == pytest.approx(mean, rel=1e-12)
    # Shuffling a categorical column that the trees split on costs accuracy.
    drops = np.asarray(m.oob_permutation_importance(X, y, 3, 0))
    assert drops.reshape(3, -1).mean(axis=1)[:2].min() > 0
    # The same model whatever the number of threads.
    one = E.ForestRegressor(n_estimators=6, random_state=2)
    one.fit(X, y, n_jobs=1, categories=ks)
    np.testing.assert_array_equal(one.predict(test, n_jobs=1), m.predict(test, n_jobs=2))


def test_missing_and_absent_categories_take_their_sides():
    # Category 3 never reaches the root in training: it goes with the larger
    # side. Missing values at training teach their side.
    n = 300
    codes = np.array([0, 1, 2] * 100, dtype=float)
    y = np.where(codes == 1, 5.0, 0.0)
    X = codes[:, None].copy()
    X[:30, 0] = np.nan  # codes 0 of the first rows become missing
    y[:30] = 5.0        # and behave as category 1
    tree = E.Tree(task="regression", random_state=0, max_depth=1)
    tree.fit(X, y, categories=[4])
    probe = np.array([[0.0], [1.0], [2.0], [3.0], [np.nan]])
    p = tree.predict(probe)
    assert p[1] == p[4] != p[0]
    assert p[3] == p[0]  # the larger side (categories 0 and 2)
    assert tree.unseen_missing(probe) is None  # the root learned a missing side


def test_saved_states_keep_the_sets_and_older_readers_refuse_them():
    X, y = categorical_data(seed=6, missing=0.1)
    ks = [7, 12]
    models = [E.ForestRegressor(n_estimators=3, random_state=0),
              E.ForestClassifier(n_estimators=3, random_state=0),
              E.Tree(task="regression", random_state=0),
              E.BoostedRegressor(n_estimators=5, random_state=0)]
    for m in models:
        target = (y > 0).astype(float) if isinstance(m, E.ForestClassifier) else y
        m.fit(X, target, categories=ks)
        back = pickle.loads(pickle.dumps(m))
        out = "predict_proba" if isinstance(m, E.ForestClassifier) else "predict"
        np.testing.assert_array_equal(getattr(back, out)(X), getattr(m, out)(X))
        assert back.__getstate__() == m.__getstate__()
    state = models[0].__getstate__()
    rs = _rs.RandomForestRegressor.__new__(_rs.RandomForestRegressor)
    with pytest.raises(ValueError, match="unsupported format version"):
        rs.__setstate__(state)
    # Numeric data keeps its old format (no sets written).
    plain = E.ForestRegressor(n_estimators=3, random_state=0)
    plain.fit(np.nan_to_num(X), y)
    coded = E.ForestRegressor(n_estimators=3, random_state=0)
    coded.fit(np.nan_to_num(X), y, categories=[0, 0])
    assert plain.__getstate__() == coded.__getstate__()


def test_boosted_and_extremely_randomised_trees_split_on_sets():
    X, y = categorical_data(n=800, seed=8)
    ks = [7, 12]
    b = E.BoostedRegressor(n_estimators=20, random_state=0)
    b.fit(X, y, categories=ks)
    plain = E.BoostedRegressor(n_estimators=20, random_state=0)
    plain.fit(X, y)
    err = lambda model: float(np.mean((model.predict(X) - y) ** 2))
    assert err(b) < err(plain)
    r = E.ForestRegressor(n_estimators=10, random_state=0)
    r.fit(X, y, categories=ks, random_splits=True)
    assert any(r.tree_arrays(t)["is_categorical"].any() for t in range(10))
    again = E.ForestRegressor(n_estimators=10, random_state=0)
    again.fit(X, y, categories=ks, random_splits=True)
    np.testing.assert_array_equal(r.predict(X), again.predict(X))


@pytest.mark.parametrize(
    "x, categories, message",
    [
        ([[0.0], [1.5]], [3], r"x\[1, 0\] = 1\.5 is not a category code \(0 to 2\)"),
        ([[0.0], [3.0]], [3], r"x\[1, 0\] = 3 is not a category code"),
        ([[0.0], [-1.0]], [3], r"is not a category code"),
        ([[0.0], [1.0]], [3, 0], r"2 entries for x of 1 columns"),
        ([[0.0], [1.0]], [300], r"more than 256"),
        ([[0.0], [np.nan]], [256], r"256 categories and a missing value"),
    ],
)
def test_fits_refuse_bad_category_codes(x, categories, message):
    X = np.array(x)
    for m in (E.ForestRegressor(n_estimators=2), E.Tree(task="regression"),
              E.BoostedRegressor(n_estimators=2)):
        with pytest.raises(ValueError, match=message):
            m.fit(X, np.array([0.0, 1.0]), categories=categories)
        assert not m.is_fitted
    with pytest.raises(TypeError):
        E.ForestRegressor().fit(X, np.array([0.0, 1.0]), categories=3)


def test_explainers_without_sets_refuse_category_splits():
    X, y = categorical_data(seed=9)
    tree = E.Tree(task="regression", random_state=0, max_depth=3)
    tree.fit(X, y, categories=[7, 12])
    with pytest.raises(ValueError, match="category-set splits"):
        E.TreeExplainer(tree, X, "regression")
    with pytest.raises(ValueError, match="category-set splits"):
        tree.explained_trees()
