"""Missing values (NaN) in the package's estimators: the split search with a
missing bin and both missing sides, checked node for node against a plain
Python model of it; informative missingness; features missing only at
predict time; rows missing everywhere; saved states; and that data
without missing values grows exactly the trees it grew before."""
import math
import pickle

import numpy as np
import pytest

import tarnwood
from test_binning import reference_edges
from test_histogram import (
    best_bin,
    class_index,
    gen_u64,
    make_leaf,
    node_totals,
    seed_rng,
    shuffle,
)

INF = math.inf


# ---- reference: binning with a missing bin, and twins ---------------------------

def bin_column_missing(col):
    """Edges and bins of a column by the package's lossless rule; a column
    holding NaN keeps them in a last bin of their own (at most 255 value
    bins then)."""
    present = [v for v in col if not math.isnan(v)]
    has_nan = len(present) < len(col)
    edges = (reference_edges(present, 255 if has_nan else 256) if present else []) + [INF]
    bins = [len(edges) if math.isnan(v) else next(i for i, e in enumerate(edges) if v <= e)
            for v in col]
    if has_nan:
        edges.append(INF)
    return edges, bins, has_nan


def twin_of(edges, bins):
    """The same column with the missing bin first: candidates that send the
    missing values left."""
    missing_bin = len(edges) - 1
    return [-INF] + edges[:-1], [0 if b == missing_bin else b + 1 for b in bins]


def build_node(y, w, pos, depth, prm, rng, feats_info):
    """feats_info[f] = (edges, bins, column, sends_missing_left) for the
    columns, then the twins; prm["twins"][column] = the twin's index."""
    n = len(pos)
    nf = prm["nf"]
    cls = prm["cls"]
    msl = prm["msl"]
    if n < prm["mss"] or (prm["max_depth"] is not None and depth >= prm["max_depth"]):
        return make_leaf(y, w, pos, cls)
    if cls and (n == 0 or len({class_index(y[p]) for p in pos}) == 1):
        return make_leaf(y, w, pos, cls)
    big_w = 0.0
    for p in pos:
        big_w += w[p]
    if big_w <= 0:
        return make_leaf(y, w, pos, cls)
    feats = list(range(nf))
    mf = prm["max_features"]
    if mf is not None and mf < nf:
        shuffle(rng, feats)
        feats = feats[:mf]
    feats = [f for f in feats if len(feats_info[f][0]) >= 2]
    feats += [prm["twins"][f] for f in feats if f in prm["twins"]]
    parent, totals = node_totals(y, w, pos, cls, big_w)
    best = (0.0, None, None)
    for f in feats:
        edges, bins = feats_info[f][0], feats_info[f][1]
        gain, b = best_bin(bins, len(edges), y, w, pos, cls, msl, parent, big_w,
                           totals)
        if gain > best[0]:
            best = (gain, f, b)
    if best[1] is None:
        return make_leaf(y, w, pos, cls)
    _, f, b = best
    edges, bins, column, twin = feats_info[f]
    lp = [p for p in pos if bins[p] <= b]
    rp = [p for p in pos if not bins[p] <= b]
    if len(lp) < msl or len(rp) < msl:
        return make_leaf(y, w, pos, cls)
    col_bins = feats_info[column][1]
    seen = column in prm["twins"] and any(
        col_bins[p] == len(feats_info[column][0]) - 1 for p in pos)
    # Where no row of the node missed the column, missing values follow the
    # child more of the node's samples reached (ties: right).
    missing_left = twin if seen else len(lp) > len(rp)
    return {"leaf": False, "f": column, "t": edges[b], "ml": missing_left,
            "l": build_node(y, w, lp, depth + 1, prm, rng, feats_info),
            "r": build_node(y, w, rp, depth + 1, prm, rng, feats_info)}


def reference_forest(x, y, cls, n_estimators, seed, max_features=None, max_depth=None, msl=1,
                     mss=2):
    x = [list(r) for r in x]
    n, nf = len(x), len(x[0])
    w = [1.0] * n
    rng = seed_rng(seed)
    plans = []
    for _ in range(n_estimators):
        plans.append(([gen_u64(rng, n) for _ in range(n)], rng.next_u64()))
    cols = [bin_column_missing([r[f] for r in x]) for f in range(nf)]
    twins = {}
    extra = []
    for f, (edges, bins, has_nan) in enumerate(cols):
        if has_nan:
            twins[f] = nf + len(extra)
            extra.append(twin_of(edges, bins))
    prm = {"cls": cls, "msl": msl, "mss": mss, "max_depth": max_depth, "nf": nf,
           "max_features": max_features, "twins": twins}
    trees = []
    for boot, tseed in plans:
        info = [([e for e in edges], [bins[i] for i in boot], f, False)
                for f, (edges, bins, _) in enumerate(cols)]
        for f, (edges, bins) in zip(twins, extra):
            info.append((edges, [bins[i] for i in boot], f, True))
        trees.append(build_node([y[i] for i in boot], [w[i] for i in boot],
                                list(range(len(boot))), 0, prm, seed_rng(tseed), info))
    return trees


def leaf_for(node, row):
    while not node["leaf"]:
        v = row[node["f"]]
        left = v <= node["t"] or (math.isnan(v) and node["ml"])
        node = node["l"] if left else node["r"]
    return node


def flattened(node):
    """Pre-order (feature, threshold, missing_left) of the splits, leaves None."""
    out = []
    stack = [node]
    while stack:
        d = stack.pop()
        if d["leaf"]:
            out.append(None)
            continue
        out.append((d["f"], d["t"], bool(d["ml"])))
        stack += [d["r"], d["l"]]
    return out


def engine_splits(structure):
    out = []
    for i in range(structure.node_count):
        if structure.children_left[i] == -1:
            out.append(None)
        else:
            out.append((int(structure.feature[i]), float(structure.threshold[i]),
                        bool(structure.missing_go_to_left[i])))
    return out


def holed(seed, n=140, nf=4, share=0.25):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, nf))
    x[:, 0] = rng.integers(0, 4, size=n)
    x[rng.random(x.shape) < share] = np.nan
    x[:, nf - 1] = np.round(x[:, nf - 1], 1)  # one column without holes
    signal = np.where(np.isnan(x[:, 1]), 1.5, x[:, 1])
    return x, rng, signal


@pytest.mark.parametrize("seed, kw", [
    (1, dict()),
    (2, dict(max_features=2)),
    (3, dict(min_samples_leaf=3, max_depth=4)),
])
def test_missing_value_splits_match_reference(seed, kw, monkeypatch):
    # The reference sums bootstrap entries one by one, as the exact path does.
    monkeypatch.setattr(tarnwood.forest._ForestBase, "_fast_growth", False)
    x, rng, signal = holed(seed)
    y_cls = (signal + 0.3 * rng.normal(size=len(x)) > 0.4).astype(float)
    y_reg = signal + np.nan_to_num(x[:, 2]) * 0.5
    probe = np.vstack([x, holed(seed + 50, n=40)[0]])
    probe[:3] = np.nan  # rows missing everywhere
    for cls, y in ((True, y_cls), (False, y_reg)):
        Est = tarnwood.ForestClassifier if cls else tarnwood.ForestRegressor
        model = Est(n_estimators=3, random_state=seed, max_features=kw.get("max_features"),
                    max_depth=kw.get("max_depth"), min_samples_leaf=kw.get("min_samples_leaf", 1))
        model.fit(x, y)
        trees = reference_forest(x, y.tolist(), cls, 3, seed, max_features=kw.get("max_features"),
                                 max_depth=kw.get("max_depth"), msl=kw.get("min_samples_leaf", 1))
        for t, ref in enumerate(trees):
            assert engine_splits(model.trees_[t]) == flattened(ref), (cls, t)
        if cls:
            want = []
            for row in probe.tolist():
                s = [0.0, 0.0]
                for t in trees:
                    cw = leaf_for(t, row)["cw"]
                    total = sum(cw[c] for c in sorted(cw))
                    for c in sorted(cw):
                        s[c] += cw[c] / total
                want.append([v / len(trees) for v in s])
            assert model.predict_proba(probe).tolist() == want
        else:
            want = [sum(leaf_for(t, row)["value"] for t in trees) / len(trees)
                    for row in probe.tolist()]
            assert model.predict(probe).tolist() == want


def test_a_column_missing_in_few_rows_matches_reference_in_every_tree(monkeypatch):
    # One missing value: most bootstrap samples draw it in some trees and
    # not in others, so sides are taught in some nodes and defaults elsewhere.
    # The reference offers the features in column order, as exact growth does.
    monkeypatch.setattr(tarnwood.forest._ForestBase, "_fast_growth", False)
    rng = np.random.default_rng(8)
    x = rng.normal(size=(60, 3))
    x[7, 1] = np.nan
    y = (x[:, 0] + np.nan_to_num(x[:, 1]) > 0).astype(float)
    model = tarnwood.ForestClassifier(n_estimators=6, random_state=3, max_features=None)
    model.fit(x, y)
    trees = reference_forest(x, y.tolist(), True, 6, 3)
    for t, ref in enumerate(trees):
        assert engine_splits(model.trees_[t]) == flattened(ref)
    in_bag = [7 in set(s.tolist()) for s in model.estimators_samples_]
    assert any(in_bag) and not all(in_bag)


def test_informative_missingness_is_one_split():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(400, 3))
    missing = rng.random(400) < 0.4
    x[missing, 0] = np.nan
    y = missing.astype(int)
    model = tarnwood.ForestClassifier(n_estimators=5, max_depth=1, max_features=None,
                                      random_state=0).fit(x, y)
    assert model.score(x, y) == 1.0
    for tree, sample in zip(model.trees_, model.estimators_samples_):
        # "missing or not": every value of the sample left (any edge above
        # them parts the rows alike; the first wins), the missing ones right.
        assert tree.feature[0] == 0 and tree.threshold[0] >= np.nanmax(x[sample, 0])
        assert not tree.missing_go_to_left[0]
    # Mean imputation hides the same information in one value among many,
    # which one split cannot isolate.
    imputed = np.where(np.isnan(x), np.nanmean(x[:, 0]), x)
    stump = tarnwood.ForestClassifier(n_estimators=1, max_depth=1, max_features=None,
                                      bootstrap=False).fit(imputed, y)
    assert stump.score(imputed, y) < 0.9


def test_missing_only_at_predict_time_follows_the_larger_child():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(300, 4))
    y = x[:, 0] * 2 + x[:, 1]
    model = tarnwood.ForestRegressor(n_estimators=4, random_state=0).fit(x, y)
    probe = x[:20].copy()
    probe[::2, 0] = np.nan
    probe[::3, 1] = np.nan
    want = np.zeros(len(probe))
    for tree in model.trees_:
        for r, row in enumerate(probe):
            i = 0
            while tree.children_left[i] != -1:
                f, left, right = tree.feature[i], tree.children_left[i], tree.children_right[i]
                if np.isnan(row[f]):
                    go_left = tree.n_node_samples[left] > tree.n_node_samples[right]
                    assert bool(tree.missing_go_to_left[i]) == go_left
                else:
                    go_left = row[f] <= tree.threshold[i]
                i = left if go_left else right
            want[r] += tree.value[i, 0, 0]
    np.testing.assert_array_equal(model.predict(probe), want / 4)
    # missing_unseen="error" refuses such rows in every method taking X, and
    # accepts complete rows.
    strict = tarnwood.ForestRegressor(n_estimators=4, random_state=0, missing_unseen="error")
    strict.fit(x, y)
    np.testing.assert_array_equal(strict.predict(x[:20]), model.predict(x[:20]))
    for method in (strict.predict, strict.apply, strict.explain):
        with pytest.raises(ValueError, match=r"X\[0, 0\] is missing.*missing_unseen"):
            method(probe)
    with pytest.raises(ValueError, match="missing_unseen"):
        tarnwood.ForestRegressor(missing_unseen="left").fit(x, y)


def test_missing_values_fit_the_same_forest_for_every_thread_count_and_survive_pickling():
    x, rng, signal = holed(5, n=3000, nf=6)
    y = (signal > 0.3).astype(int)
    fits = [tarnwood.ForestClassifier(n_estimators=8, random_state=2, n_jobs=j, oob_score=True)
            .fit(x, y) for j in (1, 2)]
    assert fits[0].model_.__getstate__() == fits[1].model_.__getstate__()
    assert fits[0].oob_score_ == fits[1].oob_score_ and fits[0].oob_score_ > 0.7
    probe = holed(6, n=200, nf=6)[0]
    back = pickle.loads(pickle.dumps(fits[0]))
    np.testing.assert_array_equal(back.predict_proba(probe), fits[0].predict_proba(probe))
    for a, b in zip(back.trees_, fits[0].trees_):
        np.testing.assert_array_equal(a.missing_go_to_left, b.missing_go_to_left)
    # States of forests taught missing sides are version 4; forests fitted
    # on complete data keep the format they had (their sides are defaults,
    # restored on loading).
    version_at = 4 + 8 + len("RandomForestClassifier")
    state = fits[0].model_.__getstate__()
    assert int.from_bytes(state[version_at:version_at + 4], "little") == 4
    complete = tarnwood.ForestClassifier(n_estimators=3, random_state=0).fit(
        np.nan_to_num(x), y)
    state = complete.model_.__getstate__()
    assert int.from_bytes(state[version_at:version_at + 4], "little") == 2
    again = pickle.loads(pickle.dumps(complete))
    np.testing.assert_array_equal(again.predict(probe), complete.predict(probe))


def test_regressor_intervals_and_explanations_take_missing_values():
    x, rng, signal = holed(9, n=400, nf=4)
    y = signal * 3 + rng.normal(size=len(x))
    model = tarnwood.ForestRegressor(n_estimators=20, random_state=0).fit(x, y)
    probe = holed(10, n=30, nf=4)[0]
    probe[0] = np.nan
    lo, hi = model.predict_interval(probe).T
    assert np.all(lo <= hi) and np.isfinite(lo).all()
    assert model.predict_quantiles(probe, [0.5]).shape == (30, 1)
    values, expected = model.explain(probe, return_expected_value=True)
    np.testing.assert_allclose(values.sum(axis=2)[:, 0] + expected[0], model.predict(probe),
                               rtol=1e-9, atol=1e-9)
    background = holed(11, n=25, nf=4)[0]
    values, expected = model.explain(probe, background, return_expected_value=True)
    np.testing.assert_allclose(values.sum(axis=2)[:, 0] + expected[0], model.predict(probe),
                               rtol=1e-9, atol=1e-9)


# ---- single exact trees ------------------------------------------------------------

def exact_reference(x, y, task, seed, max_depth=None, msl=1):
    from test_decision_tree import PyPcg, ref_node

    cols = [f for f in range(x.shape[1]) if np.isnan(x[:, f]).any()]
    twins = {f: x.shape[1] + j for j, f in enumerate(cols)}
    wide = np.hstack([np.where(np.isnan(x), np.inf, x),
                      np.where(np.isnan(x[:, cols]), -np.inf, x[:, cols])])
    prm = {"cls": task == "classification", "max_depth": max_depth, "mss": 2, "msl": msl,
           "max_features": None, "twins": twins}
    return ref_node(wide, y, np.ones(len(y)), list(range(len(y))), 0, prm, PyPcg(seed))


def exact_route(node, row):
    while not node["leaf"]:
        v = row[node["f"]]
        left = v <= node["t"] or (math.isnan(v) and node["ml"])
        node = node["l"] if left else node["r"]
    return node


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_exact_trees_with_missing_values_match_reference(seed):
    x, rng, signal = holed(seed + 20, n=90, nf=4, share=0.3)
    probe = np.vstack([x, holed(seed + 70, n=40, nf=4)[0], np.full((2, 4), np.nan)])
    for task, y in (("classification", (signal > 0.2).astype(float)),
                    ("regression", signal + np.nan_to_num(x[:, 2]))):
        Est = tarnwood.TreeClassifier if task == "classification" else tarnwood.TreeRegressor
        model = Est(random_state=seed, min_samples_leaf=2).fit(x, y)
        ref = exact_reference(x, y, task, seed, msl=2)
        want = [exact_route(ref, row)["value"] for row in probe.tolist()]
        got = model.predict(probe)
        if task == "classification":
            got = got.astype(float)
        assert got.tolist() == want, task
    back = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(back.predict(probe), model.predict(probe))


def test_boosted_ensembles_take_missing_values_in_both_growers():
    x, rng, signal = holed(12, n=1500, nf=4)
    y = signal * 2 + np.isnan(x[:, 2])
    probe = holed(13, n=50, nf=4)[0]
    for kw in (dict(), dict(use_histogram=False, n_estimators=4)):
        model = tarnwood.BoostedRegressor(random_state=0, **kw).fit(x, y)
        assert model.score(x, y) > 0.5
        back = pickle.loads(pickle.dumps(model))
        np.testing.assert_array_equal(back.predict(probe), model.predict(probe))
        lo, hi = model.predict_interval(probe).T
        assert np.all(lo <= hi)
    clf = tarnwood.BoostedClassifier(random_state=0).fit(x, (y > 1).astype(int))
    assert clf.predict_proba(probe).shape == (50, 2)
    with pytest.raises(ValueError, match="infinity"):
        clf.predict(np.full((2, 4), np.inf))
