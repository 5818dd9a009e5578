"""Histogram binning and histogram tree growth, checked bit for bit against a
slow, literal Python model of the algorithm (generator, binning, node
growth, planning and averaging)."""
import math

import numpy as np
import pytest

import _rs

M64 = (1 << 64) - 1
M128 = (1 << 128) - 1
PCG_MUL = 0x2360ED051FC65DA44385DF649FCCF645


# ---- generator -------------------------------------------------------------

class Pcg:
    def __init__(self, block):
        state = int.from_bytes(block[:16], "little")
        inc = int.from_bytes(block[16:], "little") | 1
        self.inc = inc
        self.state = (state + inc) & M128
        self._step()

    def _step(self):
        self.state = (self.state * PCG_MUL + self.inc) & M128

    def next_u64(self):
        self._step()
        s = self.state
        rot = s >> 122
        xsl = ((s >> 64) ^ s) & M64
        return ((xsl >> rot) | (xsl << (64 - rot))) & M64 if rot else xsl


def seed_rng(seed):
    block = bytearray()
    state = seed
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & M64
        xorshifted = (((state >> 18) ^ state) >> 27) & 0xFFFFFFFF
        rot = state >> 59
        out = ((xorshifted >> rot) | (xorshifted << (32 - rot))) & 0xFFFFFFFF if rot else xorshifted
        block += out.to_bytes(4, "little")
    return Pcg(bytes(block))


def gen_u64(rng, m):
    zone = ((m << (64 - m.bit_length())) & M64) - 1
    while True:
        prod = rng.next_u64() * m
        if prod & M64 <= zone:
            return prod >> 64


def gen_u32(rng, m):
    zone = ((m << (32 - m.bit_length())) & 0xFFFFFFFF) - 1
    while True:
        prod = (rng.next_u64() & 0xFFFFFFFF) * m
        if prod & 0xFFFFFFFF <= zone:
            return prod >> 32


def shuffle(rng, items):
    for i in range(len(items) - 1, 0, -1):
        j = gen_u32(rng, i + 1)
        items[i], items[j] = items[j], items[i]


def class_index(v):
    if math.isnan(v) or v <= 0:
        return 0
    return min(int(v), M64)


# ---- binning ---------------------------------------------------------------

def bin_column(col):
    n = len(col)
    s = sorted(col)
    m = len(set(s))
    edges = []
    if m >= 2:
        b = min(m, 256)
        for j in range(1, b):
            v = s[min(j * n // b, n - 1)]
            if not edges or v > edges[-1]:
                edges.append(v)
    edges.append(math.inf)
    bins = [next(i for i, e in enumerate(edges) if v <= e) for v in col]
    return edges, bins


# ---- growth ----------------------------------------------------------------

def make_leaf(y, w, pos, cls):
    if cls:
        cw = {}
        for p in pos:
            c = class_index(y[p])
            cw[c] = cw.get(c, 0.0) + w[p]
        value, best = 0.0, None
        for c in sorted(cw):
            if best is None or cw[c] >= best:
                best, value = cw[c], float(c)
        return {"leaf": True, "value": value, "cw": cw}
    tw = ts = 0.0
    for p in pos:
        tw += w[p]
        ts += w[p] * y[p]
    return {"leaf": True, "value": ts / tw if tw > 0 else 0.0, "cw": None}


def node_totals(y, w, pos, cls, big_w):
    """(impurity, totals) of a node of weight big_w: the Gini impurity and
    class totals, or the variance and (sum w*y, sum y*w*y)."""
    if cls:
        tot = {}
        for p in pos:
            c = class_index(y[p])
            tot[c] = tot.get(c, 0.0) + w[p]
        s = 0.0
        for c in sorted(tot):
            s += (tot[c] / big_w) * (tot[c] / big_w)
        return 1.0 - s, tot
    s1 = s2 = 0.0
    for p in pos:
        s1 += w[p] * y[p]
        s2 += y[p] * (w[p] * y[p])
    return s2 / big_w - (s1 / big_w) * (s1 / big_w), (s1, s2)


def best_bin(bins, nb, y, w, pos, cls, msl, parent, big_w, totals):
    """(gain, bin) of the first best candidate "bins 0..b left" of one
    feature (gain 0.0 when none is admissible); totals are the node's class
    totals, or its (sum w*y, sum y*w*y)."""
    n = len(pos)
    cnt = [0] * nb
    bw = [0.0] * nb
    bc = [dict() for _ in range(nb)]
    b1 = [0.0] * nb
    b2 = [0.0] * nb
    for p in pos:
        b = bins[p]
        cnt[b] += 1
        bw[b] += w[p]
        if cls:
            c = class_index(y[p])
            bc[b][c] = bc[b].get(c, 0.0) + w[p]
        else:
            b1[b] += w[p] * y[p]
            b2[b] += y[p] * (w[p] * y[p])
    best = (0.0, None)
    nl, wl, l1, l2, left = 0, 0.0, 0.0, 0.0, {}
    for b in range(nb - 1):
        nl += cnt[b]
        wl += bw[b]
        for c, v in bc[b].items():
            left[c] = left.get(c, 0.0) + v
        l1 += b1[b]
        l2 += b2[b]
        if not (big_w - wl > 0 and wl > 0 and nl >= msl and n - nl >= msl):
            continue
        wr = big_w - wl
        if cls:
            sl = 0.0
            for c in sorted(left):
                sl += (left[c] / wl) * (left[c] / wl)
            sr = 0.0
            for c in sorted(totals):
                t = (totals[c] - left.get(c, 0.0)) / wr
                sr += t * t
            gain = parent - (wl * (1.0 - sl) + wr * (1.0 - sr)) / big_w
        else:
            s1, s2 = totals
            vl = l2 / wl - (l1 / wl) * (l1 / wl)
            vr = (s2 - l2) / wr - ((s1 - l1) / wr) * ((s1 - l1) / wr)
            gain = parent - (wl * vl + wr * vr) / big_w
        if gain > best[0]:
            best = (gain, b)
    return best


def build_node(x, y, w, pos, depth, prm, rng, edges, bins):
    n = len(pos)
    nf = len(edges)
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
    parent, totals = node_totals(y, w, pos, cls, big_w)
    best = (0.0, None, None)
    for f in feats:
        if len(edges[f]) < 2:
            continue
        gain, b = best_bin(bins[f], len(edges[f]), y, w, pos, cls, msl, parent, big_w,
                           totals)
        if gain > best[0]:
            best = (gain, f, edges[f][b])
    if best[1] is None:
        return make_leaf(y, w, pos, cls)
    _, f, thr = best
    lp = [p for p in pos if x[p][f] <= thr]
    rp = [p for p in pos if not x[p][f] <= thr]
    if len(lp) < msl or len(rp) < msl:
        return make_leaf(y, w, pos, cls)
    left_node = build_node(x, y, w, lp, depth + 1, prm, rng, edges, bins)
    right_node = build_node(x, y, w, rp, depth + 1, prm, rng, edges, bins)
    return {"leaf": False, "f": f, "t": thr, "l": left_node, "r": right_node}


def resolve_max_features(setting, nf):
    if setting is None:
        return nf
    if setting == "sqrt":
        return max(1, int(math.sqrt(nf)))
    if setting == "log2":
        return max(1, int(math.log2(nf)))
    v = float(setting)
    return max(1, int(v * nf)) if v <= 1.0 else int(v)


def reference_forest(x, y, w, cls, n_estimators=5, max_depth=None, max_features=None,
                     bootstrap=True, seed=0, mss=2, msl=1):
    x = [list(r) for r in x]
    y = list(y)
    w = [1.0] * len(y) if w is None else list(w)
    n, nf = len(x), len(x[0])
    m = resolve_max_features(max_features, nf)
    prm = {"cls": cls, "msl": msl, "mss": mss, "max_depth": max_depth,
           "max_features": m if m < nf else None}
    rng = seed_rng(seed)
    plans = []
    for _ in range(n_estimators):
        boot = [gen_u64(rng, n) for _ in range(n)] if bootstrap else list(range(n))
        plans.append((boot, rng.next_u64()))
    cols = [bin_column([r[f] for r in x]) for f in range(nf)]
    edges = [c[0] for c in cols]
    bins = [c[1] for c in cols]
    trees = []
    for boot, tseed in plans:
        bx = [x[i] for i in boot]
        by = [y[i] for i in boot]
        bwt = [w[i] for i in boot]
        bb = [[bins[f][i] for i in boot] for f in range(nf)]
        trees.append(build_node(bx, by, bwt, list(range(len(boot))), 0, prm, seed_rng(tseed),
                                edges, bb))
    return trees


def leaf_for(node, row):
    while not node["leaf"]:
        node = node["l"] if row[node["f"]] <= node["t"] else node["r"]
    return node


def reference_proba(trees, x, k):
    out = []
    for row in x:
        s = [0.0] * k
        for t in trees:
            cw = leaf_for(t, row)["cw"]
            total = 0.0
            for c in sorted(cw):
                total += cw[c]
            if total > 0:
                for c in sorted(cw):
                    if c < k:
                        s[c] += cw[c] / total
        out.append([v / len(trees) for v in s])
    return out


def reference_regression(trees, x):
    out = []
    for row in x:
        s = 0.0
        for t in trees:
            s += leaf_for(t, row)["value"]
        out.append(s / len(trees))
    return out


# ---- data --------------------------------------------------------------------

def make_data(seed, n=120, nf=4, k=3, integer_cols=True):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, nf))
    if integer_cols:
        x[:, 0] = rng.integers(0, 5, size=n)   # few distinct values, shared bins
    x[:, -1] = np.round(x[:, -1], 1)
    y = (np.floor(x[:, 1] * 1.5) % k + (x[:, 0] > 2)) % k
    return x, y.astype(float)


CLASSIFIER_CASES = [
    dict(),
    dict(max_features="sqrt"),
    dict(max_features="0.5", min_samples_leaf=3),
    dict(max_depth=3, bootstrap=False, max_features="1"),
    dict(min_samples_split=10, max_features="log2"),
    dict(min_samples_leaf=0, max_features="2"),
]


@pytest.mark.parametrize("case", CLASSIFIER_CASES)
@pytest.mark.parametrize("weighted", [False, True])
def test_classifier_matches_reference_bit_for_bit(case, weighted):
    x, y = make_data(1)
    w = np.random.default_rng(2).uniform(0.0, 2.0, size=len(y)) if weighted else None
    if weighted:
        w[::7] = 0.0
    kw = dict(case)
    model = _rs.RandomForestClassifier(n_estimators=4, random_state=11, **kw)
    model.fit(x, y, w)
    trees = reference_forest(
        x, y, w, True, n_estimators=4, seed=11, max_depth=kw.get("max_depth"),
        max_features=kw.get("max_features"), bootstrap=kw.get("bootstrap", True),
        mss=kw.get("min_samples_split", 2), msl=kw.get("min_samples_leaf", 1))
    probe = np.vstack([x, make_data(3, n=60)[0]])
    assert model.predict_proba(probe) == reference_proba(trees, probe.tolist(), 3)


@pytest.mark.parametrize("case", [dict(), dict(max_features="0.5"),
                                  dict(min_samples_leaf=4, max_depth=5),
                                  dict(bootstrap=False, max_features="sqrt")])
@pytest.mark.parametrize("weighted", [False, True])
def test_regressor_matches_reference_bit_for_bit(case, weighted):
    x, _ = make_data(4, n=150)
    y = np.sin(x[:, 1] * 2.0) + 0.3 * x[:, 0] + np.round(x[:, 2], 1)
    w = np.random.default_rng(5).uniform(0.1, 3.0, size=len(y)) if weighted else None
    model = _rs.RandomForestRegressor(n_estimators=3, random_state=7, **case)
    model.fit(x, y, w)
    trees = reference_forest(
        x, y, w, False, n_estimators=3, seed=7, max_depth=case.get("max_depth"),
        max_features=case.get("max_features"), bootstrap=case.get("bootstrap", True),
        msl=case.get("min_samples_leaf", 1))
    probe = np.vstack([x, make_data(6, n=50)[0]])
    assert model.predict(probe) == reference_regression(trees, probe.tolist())


@pytest.mark.parametrize("nf", [9, 12, 20, 40])
def test_wide_rows_match_reference(nf):
    # Rows of bin bytes are moved in word-sized pieces for some widths.
    x, y = make_data(9, n=90, nf=nf)
    model = _rs.RandomForestClassifier(n_estimators=2, random_state=3, max_features="sqrt")
    model.fit(x, y)
    trees = reference_forest(x, y, None, True, n_estimators=2, seed=3, max_depth=None,
                             max_features="sqrt", bootstrap=True, mss=2, msl=1)
    assert model.predict_proba(x) == reference_proba(trees, x.tolist(), 3)


def test_many_classes_and_huge_labels_match_reference():
    # 40 classes take the grouped path of the grower; labels with gaps and a
    # huge label exercise the dense class remapping.
    rng = np.random.default_rng(8)
    x = rng.normal(size=(300, 3))
    y = np.floor((x[:, 0] + 3.0) * 7.0).clip(0, 39)
    y[::50] = 1e9
    w = rng.uniform(0.5, 1.5, size=300)
    model = _rs.RandomForestClassifier(n_estimators=2, random_state=3, max_features="2")
    model.fit(x, y, w)
    k = model.n_classes
    assert model.classes_[-1] == 10**9
    trees = reference_forest(x, y, w, True, n_estimators=2, seed=3, max_features="2")
    assert model.predict_proba(x) == reference_proba(trees, x.tolist(), k)


# ---- binning rules seen through single trees ------------------------------------

def one_tree(x, y, **kw):
    model = _rs.RandomForestRegressor(n_estimators=1, bootstrap=False, random_state=0, **kw)
    model.fit(np.asarray(x, dtype=float).reshape(len(y), -1), np.asarray(y, dtype=float))
    return model


def test_binning_matches_reference_edges():
    rng = np.random.default_rng(9)
    for col in ([1, 2, 3, 4], [5.0, 5.0, 7.0], list(rng.normal(size=1000)),
                list(np.arange(300.0)), list(rng.integers(0, 3, size=50).astype(float))):
        edges, bins = bin_column(col)
        assert edges[-1] == math.inf and len(edges) <= 256
        assert all(a < b for a, b in zip(edges, edges[1:]))
        assert max(bins) < len(edges)
    assert bin_column([1, 2, 3, 4]) == ([2, 3, 4, math.inf], [0, 0, 1, 2])
    assert bin_column([3.0] * 5) == ([math.inf], [0] * 5)
    edges, bins = bin_column(list(np.arange(1000.0)))
    assert len(edges) == 256 and bins[997:] == [255] * 3


def test_thresholds_are_bin_edges_not_midpoints():
    # Values 1..4 with targets separating {1, 2} from {3, 4}: the edges are
    # [2, 3, 4, inf], so the split sits exactly at 2 and 2.0 goes left.
    m = one_tree([1, 2, 3, 4], [0, 0, 10, 10])
    assert m.predict(np.array([[2.0], [2.0000001], [-5.0], [100.0]])) == [0.0, 10.0, 0.0, 10.0]
    # 1 and 2 share bin 0 and cannot be separated.
    m = one_tree([1, 2, 3, 4], [0, 10, 10, 10])
    assert m.predict(np.array([[1.0], [2.0], [3.0]])) == [5.0, 5.0, 10.0]


def test_two_valued_feature_needs_unequal_counts():
    # Equal counts of 0 and 1: edges [1, inf], everything in bin 0, no split.
    m = one_tree([0, 0, 1, 1], [0, 0, 1, 1])
    assert m.predict(np.array([[0.0], [1.0]])) == [0.5, 0.5]
    # More zeros than ones: the edge is 0 and the feature splits.
    m = one_tree([0, 0, 0, 1, 1], [0, 0, 0, 1, 1])
    assert m.predict(np.array([[0.0], [1.0]])) == [0.0, 1.0]


def test_constant_feature_is_never_chosen():
    x = np.column_stack([np.full(40, 3.0), np.arange(40.0)])
    y = (np.arange(40) >= 20).astype(float)
    m = one_tree(x, y)
    # Only column 1 can split; a probe that differs in column 0 alone changes nothing.
    assert m.predict(np.array([[-1e9, 5.0], [1e9, 5.0], [3.0, 30.0]])) == [0.0, 0.0, 1.0]


def test_min_samples_leaf_three_on_five_rows_gives_a_leaf():
    m = one_tree([1, 2, 3, 4, 5], [0, 0, 1, 1, 1], min_samples_leaf=3)
    assert m.predict(np.array([[0.0], [9.0]])) == [0.6, 0.6]


def test_extreme_values_bin_and_route_correctly():
    x = np.array([-1e308, -1.0, 0.0, 1.0, 1e308, 1e308])
    y = np.array([0.0, 0.0, 0.0, 5.0, 5.0, 5.0])
    m = one_tree(x, y)
    assert m.predict(np.array([[-1e308], [0.0], [0.5], [1.0], [np.inf], [np.nan]])) == [
        0.0, 0.0, 5.0, 5.0, 5.0, 5.0]


def test_grown_nodes_match_a_replay_of_their_rows(cpp_checks):
    # tests/cpp/hist_check.cpp grows trees in every grower mode (NaN columns
    # included) and replays the bootstrap rows through each finished tree:
    # node sizes, leaf class weights and means must match bit for bit.
    from conftest import ctest

    assert "tests passed" in ctest(cpp_checks, "-R", "^hist_check")


@pytest.mark.parametrize("kind", ["mixed", "few_values", "negative_zero"])
def test_bin_edges_of_long_columns_match_reference(kind):
    # Long columns are sorted by their bits; the edges must be the ones a
    # comparison sort gives, whatever the signs, magnitudes and repeats. A
    # tree fitted on the ranks of x with no limits splits at every edge.
    from tarnwood import ForestRegressor
    rng = np.random.default_rng(3)
    if kind == "mixed":
        col = np.concatenate([rng.normal(size=1500) * 10.0 ** rng.integers(-300, 300, 1500),
                              [5e-324, -5e-324, 1e308, -1e308, 0.0, 0.0, 2.0, 2.0, -3.5]])
    elif kind == "few_values":
        col = rng.integers(-40, 40, size=3000).astype(float) * 0.25
    else:
        col = np.concatenate([rng.normal(size=900), [-0.0, 0.0, -0.0]])
    rng.shuffle(col)
    from test_binning import reference_edges
    edges = reference_edges(col) + [math.inf]  # the package's lossless rule
    tree = ForestRegressor(n_estimators=1, bootstrap=False, random_state=0).fit(
        col.reshape(-1, 1), np.argsort(np.argsort(col)).astype(float)).trees_[0]
    used = tree.threshold[tree.feature >= 0]
    assert set(used.tolist()) == set(edges[:-1])
