"""The exact tree engine seen through DecisionTree: split thresholds, ties,
stop rules, weights, leaves, probabilities, very deep trees, input messages,
and agreement with a straightforward pure-Python grower that consumes the
same generator draws."""
import math

import numpy as np
import pytest

import _rs
from test_rng import PyPcg

U64_MAX = 2**64 - 1


# --- straightforward reference grower ---------------------------------------------

def class_index(v):
    if not v > 0:
        return 0
    if v >= 2.0**64:
        return U64_MAX
    return int(v)


def ref_leaf(y, w, P, cls):
    if cls:
        m = {}
        for p in P:
            c = class_index(y[p])
            m[c] = m.get(c, 0.0) + w[p]
        best = None
        for c in sorted(m):
            if best is None or m[c] >= m[best]:
                best = c
        return {"leaf": True, "value": float(best) if best is not None else 0.0,
                "cw": {c: m[c] for c in sorted(m)}, "n": len(P)}
    W = S = 0.0
    for p in P:
        W += w[p]
        S += w[p] * y[p]
    return {"leaf": True, "value": S / W if W > 0 else 0.0, "cw": None, "n": len(P)}


def ref_node(x, y, w, P, d, prm, rng):
    """Per-node algorithm: stable sort per examined feature, running sums."""
    cls = prm["cls"]
    n = len(P)
    if n < prm["mss"] or (prm["max_depth"] is not None and d >= prm["max_depth"]):
        return ref_leaf(y, w, P, cls)
    if cls and len({class_index(y[p]) for p in P}) <= 1:
        return ref_leaf(y, w, P, cls)
    W = 0.0
    for p in P:
        W += w[p]
    if W <= 0:
        return ref_leaf(y, w, P, cls)
    # With missing values (prm["twins"]: column -> its twin), x's columns
    # read them as +inf and the twins after them as -inf.
    twins = prm.get("twins", {})
    nf = x.shape[1] - len(twins)
    order = list(range(nf))
    rng.shuffle(order)
    k = nf if prm["max_features"] is None or prm["max_features"] >= nf else prm["max_features"]
    order = order[:k] + [twins[f] for f in order[:k] if f in twins]
    k = len(order)
    msl = prm["msl"]
    if cls:
        tot = {}
        for p in P:
            c = class_index(y[p])
            tot[c] = tot.get(c, 0.0) + w[p]
        s = 0.0
        for c in sorted(tot):
            t = tot[c] / W
            s += t * t
        parent = 1.0 - s
    else:
        S1 = S2 = 0.0
        for p in P:
            S1 += w[p] * y[p]
            S2 += y[p] * (w[p] * y[p])
        a = S1 / W
        parent = S2 / W - a * a
    best = (0.0, None, None)
    for f in order[:k]:
        srt = sorted(P, key=lambda p: x[p, f])  # stable
        WL = 0.0
        if cls:
            left, right = {}, dict(tot)
        else:
            L1 = L2 = 0.0
        for i in range(n - 1):
            p = srt[i]
            WL += w[p]
            if cls:
                c = class_index(y[p])
                left[c] = left.get(c, 0.0) + w[p]
                right[c] -= w[p]
            else:
                L1 += w[p] * y[p]
                L2 += y[p] * (w[p] * y[p])
            nL = i + 1
            if x[p, f] == x[srt[i + 1], f] or nL < msl or n - nL < msl:
                continue
            if not (WL > 0 and W - WL > 0):
                continue
            WR = W - WL
            if cls:
                sl = 0.0
                for c in sorted(left):
                    t = left[c] / WL
                    sl += t * t
                sr = 0.0
                for c in sorted(right):
                    t = right[c] / WR
                    sr += t * t
                gain = parent - (WL * (1.0 - sl) + WR * (1.0 - sr)) / W
            else:
                a = L1 / WL
                VL = L2 / WL - a * a
                b = (S1 - L1) / WR
                VR = (S2 - L2) / WR - b * b
                gain = parent - (WL * VL + WR * VR) / W
            if gain > best[0]:
                best = (gain, f, (x[p, f] + x[srt[i + 1], f]) * 0.5)
    gain, f, thr = best
    if f is None or gain <= 0:
        return ref_leaf(y, w, P, cls)
    # Missing values read as +inf stay right of "every value left".
    Lp = [p for p in P if x[p, f] <= thr and not (f in twins and x[p, f] == np.inf)]
    Rp = [p for p in P if p not in set(Lp)]
    if len(Lp) < msl or len(Rp) < msl:
        return ref_leaf(y, w, P, cls)
    column = next((c for c, t in twins.items() if t == f), f)
    seen = column in twins and any(x[p, column] == np.inf for p in P)
    left = ref_node(x, y, w, Lp, d + 1, prm, rng)
    right = ref_node(x, y, w, Rp, d + 1, prm, rng)
    return {"leaf": False, "f": column, "t": thr, "l": left, "r": right, "n": n,
            "ml": column != f if seen else len(Lp) > len(Rp)}


def ref_fit(x, y, w=None, task="classification", max_depth=None, mss=2, msl=1, seed=0):
    w = np.ones(len(y)) if w is None else w
    prm = {"cls": task == "classification", "max_depth": max_depth, "mss": mss, "msl": msl,
           "max_features": None}
    return ref_node(x, y, w, list(range(len(y))), 0, prm, PyPcg(seed))


def ref_route(node, row):
    while not node["leaf"]:
        node = node["l"] if row[node["f"]] <= node["t"] else node["r"]
    return node


def ref_proba(node, row, classes):
    cw = ref_route(node, row)["cw"]
    m = len(classes)
    p = [0.0] * m
    T = 0.0
    for c in cw:
        T += cw[c]
    if T > 0:
        for c, v in cw.items():
            if c < m:
                p[c] = v / T
    return [p[c] if c < m else 0.0 for c in classes]


def ref_depth(node):
    return 0 if node["leaf"] else 1 + max(ref_depth(node["l"]), ref_depth(node["r"]))


def ref_leaves(node):
    return 1 if node["leaf"] else ref_leaves(node["l"]) + ref_leaves(node["r"])


def probe_rows(x, rng, count=300):
    """Rows built from every training value, the midpoints between them and
    their neighbours, so that any difference in a threshold shows up."""
    cols = []
    for f in range(x.shape[1]):
        v = np.unique(x[:, f])
        mids = (v[:-1] + v[1:]) * 0.5
        cand = np.concatenate([v, mids, np.nextafter(mids, np.inf), np.nextafter(mids, -np.inf)])
        cols.append(cand)
    probes = np.column_stack([rng.choice(c, count) for c in cols])
    return np.vstack([x, probes])


def fit_tree(x, y, w=None, task="classification", max_depth=None, mss=2, msl=1, seed=0):
    t = _rs.DecisionTree(task=task, max_depth=max_depth, min_samples_split=mss,
                         min_samples_leaf=msl, random_state=seed)
    t.fit(x, y, w)
    return t


def assert_same_as_reference(x, y, w=None, task="classification", **kw):
    gen = np.random.default_rng(7)
    t = fit_tree(x, y, w, task=task, **kw)
    ref = ref_fit(x, y, w, task=task, **kw)
    probes = probe_rows(x, gen)
    want = [ref_route(ref, row)["value"] for row in probes]
    assert t.predict(probes) == want
    assert t.get_depth() == ref_depth(ref)
    assert t.get_n_leaves() == ref_leaves(ref)
    if task == "classification":
        classes = t.classes_
        assert classes == sorted({class_index(v) for v in y})
        assert t.predict_proba(probes) == [ref_proba(ref, row, classes) for row in probes]


# --- agreement with the reference ------------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
def test_classification_matches_reference(seed):
    g = np.random.default_rng(seed)
    n = int(g.integers(20, 70))
    x = np.round(g.normal(size=(n, 4)), 1)  # rounding makes ties in values and gains
    x[:, 3] = x[:, 1]                       # identical columns: ties decided by the shuffle
    y = g.integers(0, 4, n).astype(float) + g.uniform(0, 0.99, n)
    y[g.random(n) < 0.1] = 6.0              # a class gap
    w = g.choice([0.0, 0.5, 1.0, 2.0, 3.0], n) if seed % 2 else None
    kw = [dict(), dict(max_depth=3), dict(msl=3), dict(mss=7), dict(msl=2, mss=5), dict()][seed]
    assert_same_as_reference(x, y, w, seed=seed * 1000 + 1, **kw)


@pytest.mark.parametrize("seed", range(5))
def test_regression_matches_reference(seed):
    g = np.random.default_rng(100 + seed)
    n = int(g.integers(20, 70))
    x = np.round(g.normal(size=(n, 3)), 1)
    x[:, 2] = -x[:, 0]
    y = np.round(g.normal(size=n) * 10, 2) + x[:, 0] * 3
    w = g.choice([0.0, 0.25, 1.0, 4.0], n) if seed % 2 else None
    kw = [dict(), dict(max_depth=2), dict(msl=4), dict(mss=10), dict(msl=1)][seed]
    assert_same_as_reference(x, y, w, task="regression", seed=seed, **kw)


def test_many_classes_and_large_labels_match_reference():
    g = np.random.default_rng(3)
    n = 60
    x = np.round(g.normal(size=(n, 2)), 2)
    y = g.choice([0.0, 3.0, 1e9, 2.0**70, 17.5, -4.0], n)
    assert_same_as_reference(x, y, seed=11)


# --- thresholds, ties and stop rules -------------------------------------------------------

def test_midpoint_threshold_and_equal_values_go_left():
    x = np.array([[1.0], [2.0], [3.0], [4.0]])
    t = fit_tree(x, np.array([0.0, 0.0, 1.0, 1.0]))
    assert t.get_depth() == 1 and t.get_n_leaves() == 2
    assert t.predict(np.array([[2.5], [np.nextafter(2.5, 3)], [-1e300], [np.nan]])) == [0, 1, 0, 1]
    assert t.predict_proba(np.array([[0.0], [9.0]])) == [[1.0, 0.0], [0.0, 1.0]]


def test_midpoint_rounding_onto_upper_value_or_overflow_gives_leaf():
    a = 1.0 + 2.0**-52
    b = 1.0 + 2.0**-51
    assert (a + b) * 0.5 == b  # the midpoint rounds onto the upper value
    for lo, hi in [(a, b), (1e308, 1.7e308)]:
        t = fit_tree(np.array([[lo], [hi]]), np.array([0.0, 1.0]))
        assert t.get_n_leaves() == 1
        assert t.predict(np.array([[lo]])) == [1.0]  # equal weights: highest class
    # A value pair with an exact midpoint still splits.
    t = fit_tree(np.array([[1.0], [1.0 + 2.0**-51]]), np.array([0.0, 1.0]))
    assert t.get_n_leaves() == 2


def test_inseparable_rows_weighted_majority_and_ties():
    x = np.array([[5.0], [5.0]])
    t = fit_tree(x, np.array([0.0, 1.0]), np.array([1.0, 2.0]))
    assert t.get_n_leaves() == 1 and t.predict(x) == [1.0, 1.0]
    t = fit_tree(x, np.array([1.0, 0.0]), np.array([3.0, 2.0]))
    assert t.predict(x) == [1.0, 1.0]
    # Equal weights: the highest class wins; all-zero weights alike.
    t = fit_tree(np.zeros((3, 1)), np.array([2.0, 0.0, 1.0]), np.array([1.0, 1.0, 1.0]))
    assert t.predict(np.zeros((1, 1))) == [2.0]
    t = fit_tree(np.arange(3.0).reshape(-1, 1), np.array([2.0, 0.0, 1.0]), np.zeros(3))
    assert t.get_n_leaves() == 1 and t.predict(np.zeros((1, 1))) == [2.0]
    assert t.predict_proba(np.zeros((1, 1))) == [[0.0, 0.0, 0.0]]


def test_tied_features_are_chosen_by_the_feature_shuffle():
    # Two identical separating columns: the first of the shuffled order wins.
    x = np.array([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0], [3.0, 3.0]])
    y = np.array([0.0, 0.0, 1.0, 1.0])
    probe = np.array([[0.0, 3.0]])  # class 0 by column 0, class 1 by column 1
    chosen = set()
    for seed in range(12):
        order = [0, 1]
        PyPcg(seed).shuffle(order)
        got = fit_tree(x, y, seed=seed).predict(probe)[0]
        assert got == (0.0 if order[0] == 0 else 1.0)
        chosen.add(got)
    assert chosen == {0.0, 1.0}


def test_stop_rules():
    x = np.arange(8.0).reshape(-1, 1)
    y = np.array([0, 1, 0, 1, 1, 1, 0, 0], dtype=float)
    assert fit_tree(x, y, max_depth=0).get_n_leaves() == 1
    assert fit_tree(x, y, mss=9).get_n_leaves() == 1
    assert fit_tree(x, y, msl=5).get_n_leaves() == 1
    t = fit_tree(x, y, max_depth=2)
    assert t.get_depth() <= 2
    # A constant regression target never improves on zero gain.
    r = fit_tree(x, np.full(8, 3.25), task="regression")
    assert r.get_n_leaves() == 1 and r.predict(x[:1]) == [3.25]
    # Zero total weight stops at once, whatever the rows.
    r = fit_tree(x, np.arange(8.0), np.zeros(8), task="regression")
    assert r.get_n_leaves() == 1 and r.predict(x[:1]) == [0.0]


def test_min_samples_leaf_is_respected_in_every_leaf():
    g = np.random.default_rng(5)
    x = g.normal(size=(300, 3))
    y = (x[:, 0] + g.normal(scale=0.5, size=300) > 0).astype(float)
    for msl in (1, 7, 40):
        t = fit_tree(x, y, msl=msl, seed=1)
        # Leaves of a classification tree are told apart by their probability rows.
        counts = {}
        for row in t.predict_proba(x):
            counts[tuple(row)] = counts.get(tuple(row), 0) + 1
        if msl > 1:
            assert min(counts.values()) >= msl
        assert t.get_n_leaves() <= 300 // msl


def test_weights_zero_side_is_never_a_candidate():
    # Row 0 has weight 0: separating it off would leave WL == 0.
    x = np.arange(4.0).reshape(-1, 1)
    y = np.array([1.0, 0.0, 0.0, 0.0])
    t = fit_tree(x, y, np.array([0.0, 1.0, 1.0, 1.0]))
    assert t.get_n_leaves() == 1 and t.predict(x[:1]) == [0.0]  # class 1 is present with weight 0
    assert t.predict_proba(x[:1]) == [[1.0, 0.0]]


def test_regression_leaves_are_weighted_means():
    x = np.array([[0.0], [0.0], [0.0], [10.0], [10.0]])
    y = np.array([1.0, 2.0, 4.0, 100.0, 200.0])
    w = np.array([1.0, 1.0, 2.0, 3.0, 1.0])
    t = fit_tree(x, y, w, task="regression")
    assert t.predict(np.array([[0.0], [10.0]])) == [(1 + 2 + 8) / 4, (300 + 200) / 4]


def test_weights_scaled_by_a_power_of_two_give_the_same_tree():
    # Scaling every weight by 4 is exact, so every ratio and gain is unchanged,
    # while dropping the weights changes the tree.
    g = np.random.default_rng(9)
    x = np.round(g.normal(size=(80, 2)), 1)
    y = np.round(g.normal(size=80), 1) + (x[:, 1] > 0) * 2
    w = g.choice([0.0, 0.5, 1.0, 3.0], 80)
    probes = probe_rows(x, g)
    for task in ("regression", "classification"):
        yy = y if task == "regression" else np.abs(np.round(y))
        a = fit_tree(x, yy, w, task=task, seed=2)
        b = fit_tree(x, yy, 4.0 * w, task=task, seed=2)
        c = fit_tree(x, yy, None, task=task, seed=2)
        assert a.predict(probes) == b.predict(probes)
        assert a.predict(probes) != c.predict(probes)


# --- leaves and probabilities -------------------------------------------------------------

def test_class_labels_truncate_and_gaps_get_zero_probability():
    x = np.arange(6.0).reshape(-1, 1)
    t = fit_tree(x, np.array([0.9, 1.7, -3.0, 2.2, np.float64(2.0), 0.0]))
    assert t.classes_ == [0, 1, 2]
    t = fit_tree(x[:2], np.array([0.0, 2.0]))
    assert t.classes_ == [0, 2]
    for row in t.predict_proba(x):
        assert len(row) == 2 and row[1] == 0.0
    # Class 5 lies beyond the class count: dropped, but still in the total.
    x3 = np.zeros((4, 1))
    t = fit_tree(x3, np.array([0.0, 1.0, 5.0, 5.0]))
    assert t.classes_ == [0, 1, 5]
    assert t.predict_proba(x3[:1]) == [[0.25, 0.25, 0.0]]
    assert t.predict(x3[:1]) == [5.0]


def test_single_class_and_zero_rows():
    t = fit_tree(np.array([[1.0], [2.0]]), np.array([1.7, 1.2]))
    assert t.classes_ == [1] and t.get_n_leaves() == 1 and t.get_depth() == 0
    assert t.predict(np.array([[0.0]])) == [1.0]
    for task in ("classification", "regression"):
        t = fit_tree(np.zeros((0, 3)), np.zeros(0), task=task)
        assert t.is_fitted and t.get_depth() == 0 and t.get_n_leaves() == 1
        assert t.predict(np.ones((2, 3))) == [0.0, 0.0]
    t = fit_tree(np.zeros((0, 3)), np.zeros(0))
    assert t.classes_ == [] and t.predict_proba(np.ones((2, 3))) == [[], []]


def test_depth_and_leaves_of_a_balanced_tree():
    x = np.arange(16.0).reshape(-1, 1)
    t = fit_tree(x, np.arange(16.0), task="regression")
    assert t.get_depth() == 4 and t.get_n_leaves() == 16
    assert t.predict(x) == list(np.arange(16.0))


def test_refit_and_random_state_reproducibility():
    g = np.random.default_rng(4)
    x = np.round(g.normal(size=(200, 5)), 1)
    x[:, 4] = x[:, 0]
    y = (x[:, 0] > 0).astype(float) + (x[:, 1] > 0.5)
    probes = probe_rows(x, g)
    a = fit_tree(x, y, seed=42)
    b = fit_tree(x, y, seed=42)
    assert a.predict_proba(probes) == b.predict_proba(probes)
    before = a.predict(probes)
    a.fit(x, y)
    assert a.predict(probes) == before
    # Without a seed every fit draws fresh entropy but the data decide the leaves.
    c = _rs.DecisionTree()
    c.fit(x, y)
    assert c.predict(x) == a.predict(x)


def test_very_deep_tree_fits_predicts_and_is_freed():
    # Alternating labels along one feature peel one row per level.
    n = 10_001
    x = np.arange(n, dtype=float).reshape(-1, 1)
    y = (np.arange(n) % 2).astype(float)
    t = fit_tree(x, y, task="regression")
    assert t.get_depth() == n - 1 and t.get_n_leaves() == n
    assert t.predict(x[::-1]) == list(y[::-1])
    t.fit(x[:3], y[:3])  # replaces (and frees) the deep tree
    assert t.get_depth() == 2
    del t


# --- input messages -----------------------------------------------------------------------

def test_non_finite_messages():
    t = _rs.DecisionTree()
    x = np.zeros((4, 2))
    x[2, 0] = np.nan
    with pytest.raises(ValueError) as e:
        t.fit(x, np.array([np.nan, 0, 0, 0]))
    assert str(e.value) == ("X contains non-finite value at row 2, column 0 (NaN). "
                            "Impute or drop missing values before fitting.")
    x[2, 0] = 0.0
    x[3, 1] = -np.inf
    with pytest.raises(ValueError, match=r"at row 3, column 1 \(-inf\)\."):
        t.fit(x, np.zeros(4))
    with pytest.raises(ValueError) as e:
        t.fit(np.zeros((2, 1)), np.array([1.0, np.inf]))
    assert str(e.value) == "y contains non-finite value at index 1 (inf)."
    assert not t.is_fitted


@pytest.mark.parametrize("value,text", [
    (-0.5, "-0.5"), (-1.0, "-1"), (-1e300, "-1" + "0" * 300), (-1e-7, "-0.0000001"),
    (-123.456, "-123.456"), (-0.1, "-0.1"), (-5e-324, "-0." + "0" * 323 + "5"),
    (-2.0**53, "-9007199254740992"), (-1.7976931348623157e308, "-17976931348623157" + "0" * 292),
    (np.nan, "NaN"), (np.inf, "inf"),
])
def test_weight_messages_print_numbers_without_exponent(value, text):
    t = _rs.DecisionTree()
    w = np.array([1.0, value, -1.0])
    with pytest.raises(ValueError) as e:
        t.fit(np.zeros((3, 1)), np.zeros(3), w)
    assert str(e.value) == f"sample_weight[1] = {text} is not a non-negative finite number"


def test_weight_length_and_negative_zero():
    t = _rs.DecisionTree()
    with pytest.raises(ValueError) as e:
        t.fit(np.zeros((4, 1)), np.zeros(4), np.ones(3))
    assert str(e.value) == "sample_weight length (3) does not match number of samples (4)"
    t.fit(np.zeros((2, 1)), np.zeros(2), np.array([0.0, -0.0]))
    assert t.is_fitted


# --- the growers on arbitrary position lists, through a C++ driver ---------------------

@pytest.fixture(scope="module")
def grow_driver(cpp_exe):
    import subprocess

    exe = cpp_exe("grow_driver")

    def run(mode, x, y, w, positions, cls=True, max_depth=None, max_features=None, mss=2, msl=1,
            seed=0):
        head = [mode, x.shape[0], x.shape[1], int(cls), -1 if max_depth is None else max_depth,
                -1 if max_features is None else max_features, mss, msl, seed, len(positions)]
        body = [float(v).hex() for v in np.concatenate([x.ravel(), y, w])]
        text = " ".join(map(str, head + body + list(positions)))
        out = subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True,
                             timeout=120).stdout.splitlines()
        return out

    return run


def dump_reference(node, out=None):
    """Pre-order lines in the driver's format."""
    if out is None:
        out = []
    if node["leaf"]:
        if node["cw"] is None:
            out.append(("L", node["value"], node["n"], None))
        else:
            out.append(("L", node["value"], node["n"], list(node["cw"].items())))
        return out
    me = len(out)
    out.append(None)
    dump_reference(node["l"], out)
    right = len(out)
    dump_reference(node["r"], out)
    out[me] = ("S", node["f"], node["t"], node["n"], me + 1, right)
    return out


def parse_dump(lines):
    nodes = []
    for line in lines[:-1]:
        t = line.split()
        if t[0] == "S":
            nodes.append(("S", int(t[1]), float.fromhex(t[2]), int(t[3]), int(t[4]), int(t[5])))
        elif t[-1] == "R":
            nodes.append(("L", float.fromhex(t[1]), int(t[2]), None))
        else:
            k = int(t[3])
            cw = [(int(t[4 + 2 * i]), float.fromhex(t[5 + 2 * i])) for i in range(k)]
            nodes.append(("L", float.fromhex(t[1]), int(t[2]), cw))
    return nodes


@pytest.mark.parametrize("case", range(8))
def test_growers_on_position_lists_match_reference(grow_driver, case):
    g = np.random.default_rng(500 + case)
    rows, cols = int(g.integers(8, 40)), int(g.integers(1, 5))
    x = np.round(g.normal(size=(rows, cols)), 1)
    cls = case % 2 == 0
    y = g.integers(0, 3, rows).astype(float) if cls else np.round(g.normal(size=rows), 2)
    w = g.choice([0.0, 0.5, 1.0, 2.0], rows) if case % 3 else np.ones(rows)
    # Positions with repeats and in any order, as bootstrap lists are.
    positions = g.integers(0, rows, int(g.integers(0, 2 * rows)))
    kw = dict(max_features=[None, 1, 2, None][case % 4], max_depth=[None, 4][case % 2 == 1 and case > 4],
              msl=case % 3, mss=case % 4, seed=case)
    prm = {"cls": cls, "max_depth": kw["max_depth"], "mss": kw["mss"], "msl": kw["msl"],
           "max_features": kw["max_features"]}
    ref = ref_node(x, y, w, list(positions), 0, prm, PyPcg(kw["seed"]))
    want = dump_reference(ref)
    for mode in ("exact", "bootstrap"):
        out = grow_driver(mode, x, y, w, positions, cls=cls, **kw)
        assert parse_dump(out) == want, mode
        used = 1 + max([n[1] for n in want if n[0] == "S"], default=-1)
        assert out[-1] == f"used {used} depth {ref_depth(ref)} leaves {ref_leaves(ref)}"
    # Growing on the copied rows with positions 0..L-1 gives the same tree.
    out = grow_driver("exact", x[positions], y[positions], w[positions], range(len(positions)),
                      cls=cls, **kw)
    assert parse_dump(out) == want


def test_create_leaf_on_position_lists(grow_driver):
    x = np.zeros((5, 1))
    y = np.array([2.0, 0.5, 2.9, 7.0, 1e19])
    w = np.array([0.1, 0.2, 0.7, 0.0, 0.25])
    positions = [2, 0, 0, 3, 4, 1, 2]
    out = parse_dump(grow_driver("leaf", x, y, w, positions))
    assert out == dump_reference(ref_leaf(y, w, positions, True))
    assert out[0][3][0] == (0, 0.2) and out[0][3][-1] == (10**19, 0.25)
    assert out[0][1] == 2.0 and out[0][2] == 7
    out = parse_dump(grow_driver("leaf", x, y, w, positions, cls=False))
    assert out == dump_reference(ref_leaf(y, w, positions, False))
    # More distinct classes than the small-map path holds, and no positions.
    y = np.arange(100.0)[::-1].copy()
    w = np.ones(100)
    positions = list(range(100)) + [3, 3]
    out = parse_dump(grow_driver("leaf", np.zeros((100, 1)), y, w, positions))
    assert out == dump_reference(ref_leaf(y, w, positions, True))
    assert out[0][1] == 96.0
    assert parse_dump(grow_driver("leaf", x[:0], y[:0], w[:0], [])) == [("L", 0.0, 0, [])]


def test_out_of_range_positions_are_internal_errors(grow_driver):
    x = np.zeros((3, 1))
    for mode in ("exact", "bootstrap", "leaf"):
        out = grow_driver(mode, x, np.zeros(3), np.ones(3), [0, 3])
        assert out[0].startswith("error ") and "out of range" in out[0]
