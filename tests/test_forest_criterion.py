"""The criterion of ForestClassifier and ForestRegressor: entropy splits in
every search of the histogram grower, importances and min_impurity_decrease
measured by the forest's criterion, saved states and warm starts."""
import pickle
import struct
import zlib

import numpy as np
import pytest
from tarnwood import ForestClassifier, ForestRegressor
from tarnwood._base import InvalidParameterError


def state(model):
    return model.model_.__getstate__()


def data(kind, n=500, seed=0):
    """Features and labels that send the grower down one of its searches."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 6))
    x[:, 2] = np.round(x[:, 2] * 2)  # few distinct values
    score = x[:, 0] + 0.6 * x[:, 1] * x[:, 2] + 0.5 * rng.normal(size=n)
    if kind == "classes":  # dense per-bin class sums
        return x, np.digitize(score, [-1.0, -0.3, 0.3, 1.0]), None
    if kind == "many":  # more classes than the dense histograms hold: grouped search
        return x, (np.abs(score * 12).astype(int)) % 40, None
    y = (score > 0).astype(int)
    if kind == "weighted":  # two classes with weights: dense two-class walk
        return x, y, rng.uniform(0.2, 3.0, size=n)
    return x, y, None  # unit weights: count mode (scratch, kept and tiny histograms)


SEARCHES = [
    ("counts", {}),
    ("counts", {"max_features": None}),  # every feature at every node: kept histograms
    ("counts", {"splitter": "random"}),
    ("weighted", {}),
    ("weighted", {"splitter": "random"}),
    ("classes", {}),
    ("classes", {"splitter": "random", "bootstrap": False}),
    ("many", {}),
    ("counts", {"max_samples": 40}),  # small samples: mostly tiny nodes
]


@pytest.mark.parametrize("kind,options", SEARCHES)
def test_entropy_forests_differ_from_gini_and_are_the_same_for_every_n_jobs(kind, options):
    x, y, w = data(kind)
    kw = dict(n_estimators=8, random_state=5, **options)
    gini = ForestClassifier(**kw).fit(x, y, sample_weight=w)
    runs = [ForestClassifier(criterion="entropy", n_jobs=j, **kw).fit(x, y, sample_weight=w)
            for j in (1, 2, 3)]
    assert state(runs[0]) == state(runs[1]) == state(runs[2])
    np.testing.assert_array_equal(runs[0].predict_proba(x), runs[2].predict_proba(x))
    assert state(gini) != state(runs[0])
    assert runs[0].model_.criterion == "entropy" and gini.model_.criterion == "gini"
    log_loss = ForestClassifier(criterion="log_loss", **kw).fit(x, y, sample_weight=w)
    assert state(log_loss) == state(runs[0])
    # Both criteria fit the training data about equally well.
    assert abs(gini.score(x, y) - runs[0].score(x, y)) < 0.08


# ---- the split itself, against a plain computation ---------------------------


def gini(counts):
    n = counts.sum()
    return 1.0 - sum((c / n) ** 2 for c in counts)


def entropy(counts):
    n = counts.sum()
    return -sum(c / n * np.log2(c / n) for c in counts if c > 0)


def edges(column):
    """Candidate thresholds of a column as the package's binning forms them
    (the lossless rule: here, every boundary between distinct values)."""
    from test_binning import reference_edges

    return reference_edges(column)


def best_split(x, y, impurity):
    """The first (feature, threshold) of the largest gain over the bin edges,
    rows with x <= threshold going left, and the margin to the runner-up."""
    k = y.max() + 1
    parent = np.bincount(y, minlength=k)
    gains = []
    for f in range(x.shape[1]):
        for v in edges(x[:, f]):
            left = np.bincount(y[x[:, f] <= v], minlength=k)
            right = parent - left
            if left.sum() == 0 or right.sum() == 0:
                continue
            g = impurity(parent) - (left.sum() * impurity(left) +
                                    right.sum() * impurity(right)) / parent.sum()
            gains.append((g, f, v))
    order = sorted(range(len(gains)), key=lambda i: (-gains[i][0], i))
    return gains[order[0]], gains[order[0]][0] - gains[order[1]][0]


def stump(criterion, x, y, **extra):
    model = ForestClassifier(n_estimators=1, bootstrap=False, max_features=None, max_depth=1,
                             criterion=criterion, random_state=0, **extra)
    return model.fit(x, y)


def tiny_cases():
    """Small integer data sets on which Gini and entropy pick clearly
    different root splits."""
    rng = np.random.default_rng(11)
    found = []
    while len(found) < 4:
        x = rng.integers(0, 6, size=(14, 3)).astype(float)
        y = rng.integers(0, 3, size=14)
        (g, fg, vg), mg = best_split(x, y, gini)
        (e, fe, ve), me = best_split(x, y, entropy)
        if (fg, vg) != (fe, ve) and min(mg, me) > 1e-6 and g > 0 and e > 0:
            found.append((x, y, (fg, vg), (fe, ve), e))
    return found


@pytest.mark.parametrize("case", range(4))
def test_entropy_and_gini_stumps_split_where_a_plain_computation_says(case):
    x, y, (fg, vg), (fe, ve), _ = tiny_cases()[case]
    for criterion, f, v in (("gini", fg, vg), ("entropy", fe, ve)):
        tree = stump(criterion, x, y).trees_[0]
        assert tree.node_count == 3
        assert tree.feature[0] == f
        # The threshold sends the same training rows left as x <= v.
        np.testing.assert_array_equal(x[:, f] <= tree.threshold[0], x[:, f] <= v)


def test_min_impurity_decrease_is_measured_by_the_criterion():
    x, y, _, _, gain = tiny_cases()[0]
    assert stump("entropy", x, y, min_impurity_decrease=gain * (1 - 1e-9)).trees_[0].node_count == 3
    assert stump("entropy", x, y, min_impurity_decrease=gain * (1 + 1e-9)).trees_[0].node_count == 1
    # The entropy gain in bits exceeds the Gini gain here: a threshold between
    # the two stops only the Gini stump.
    (g, _, _), _ = best_split(x, y, gini)
    assert g < gain
    between = 0.5 * (g + gain)
    assert stump("gini", x, y, min_impurity_decrease=between).trees_[0].node_count == 1
    assert stump("entropy", x, y, min_impurity_decrease=between).trees_[0].node_count == 3


# ---- importances -------------------------------------------------------------


def decreases(tree, n_features, impurity):
    """Impurity decreases of one tree from its node arrays (shares times
    node weight), by the given impurity of the shares."""
    out = np.zeros(n_features)
    w = tree.weighted_n_node_samples
    values = tree.value[:, 0, :]
    for i in np.flatnonzero(tree.children_left >= 0):
        l, r = tree.children_left[i], tree.children_right[i]
        out[tree.feature[i]] += (w[i] * impurity(values[i]) - w[l] * impurity(values[l])
                                 - w[r] * impurity(values[r]))
    return out


def share_entropy(p):
    p = p[p > 0]
    return float(-(p * np.log2(p)).sum())


def share_gini(p):
    return float(1.0 - (p * p).sum())


@pytest.mark.parametrize("kind", ["counts", "weighted", "classes"])
def test_importances_are_the_mean_decrease_of_entropy(kind):
    x, y, w = data(kind, n=400, seed=3)
    model = ForestClassifier(n_estimators=6, criterion="entropy", max_depth=6,
                             random_state=2).fit(x, y, sample_weight=w)
    per_tree = [decreases(t, 6, share_entropy) for t in model.trees_]
    want = np.mean([v / v.sum() for v in per_tree], axis=0)
    want /= want.sum()
    np.testing.assert_allclose(model.feature_importances_, want, rtol=1e-9, atol=1e-15)
    # The Gini decreases of the same trees are other numbers.
    by_gini = np.mean([v / v.sum() for v in (decreases(t, 6, share_gini) for t in model.trees_)],
                      axis=0)
    assert np.abs(by_gini / by_gini.sum() - model.feature_importances_).max() > 1e-4


# ---- parameters, saved states, warm starts -----------------------------------


@pytest.mark.parametrize(
    "cls,bad",
    [(ForestClassifier, "squared_error"), (ForestClassifier, "Gini"), (ForestClassifier, None),
     (ForestClassifier, 1), (ForestRegressor, "gini"), (ForestRegressor, "absolute_error")],
)
def test_unknown_criteria_are_refused_and_leave_the_fitted_forest(cls, bad):
    x, y, _ = data("counts", n=200)
    model = cls(n_estimators=3, random_state=0).fit(x, y)
    before = state(model)
    with pytest.raises(InvalidParameterError, match=f"'criterion' parameter of {cls.__name__}"):
        model.set_params(criterion=bad).fit(x, y)
    assert state(model) == before


def test_the_engine_refuses_criteria_of_the_other_task():
    x, y, _ = data("counts", n=100)
    reg = ForestRegressor(n_estimators=2, random_state=0).fit(x, y.astype(float))
    with pytest.raises(ValueError, match="criterion must be 'squared_error'"):
        reg.model_.fit(x, y.astype(float), criterion="entropy")
    clf = ForestClassifier(n_estimators=2, random_state=0).fit(x, y)
    with pytest.raises(ValueError, match="criterion must be 'gini' or 'entropy'"):
        clf.model_.fit(x, y.astype(float), criterion="log_loss")
    assert reg.model_.criterion == "squared_error"


def _resign(payload):
    return payload + struct.pack("<I", zlib.crc32(payload))


def test_saved_states_keep_the_criterion_and_gini_states_keep_their_format():
    x, y, _ = data("classes", n=300)
    ent = ForestClassifier(n_estimators=4, criterion="entropy", random_state=1).fit(x, y)
    back = pickle.loads(pickle.dumps(ent))
    assert back.model_.criterion == "entropy"
    assert state(back) == state(ent)
    np.testing.assert_array_equal(back.feature_importances_, ent.feature_importances_)
    np.testing.assert_array_equal(back.predict_proba(x), ent.predict_proba(x))
    # Gini forests save the version-2 format of earlier releases, which
    # loads as Gini; entropy adds one byte after the fit record.
    gini = ForestClassifier(n_estimators=4, random_state=1).fit(x, y)
    raw_gini, raw_ent = state(gini), state(ent)
    version_at = 4 + 8 + len("RandomForestClassifier")
    assert struct.unpack_from("<I", raw_gini, version_at)[0] == 2
    assert struct.unpack_from("<I", raw_ent, version_at)[0] == 3
    assert pickle.loads(pickle.dumps(gini)).model_.criterion == "gini"
    # An unknown criterion byte, or one on a regressor, is refused.
    for byte in (0, 2, 255):
        damaged = _resign(raw_ent[:-5] + bytes([byte]))
        with pytest.raises(ValueError):
            type(ent.model_).__new__(type(ent.model_)).__setstate__(damaged)


def test_regressor_states_with_a_criterion_byte_are_refused():
    x, y, _ = data("counts", n=200)
    reg = ForestRegressor(n_estimators=2, random_state=0).fit(x, y.astype(float))
    raw = bytearray(state(reg)[:-4])
    version_at = 4 + 8 + len("RandomForestRegressor")
    struct.pack_into("<I", raw, version_at, 3)
    damaged = _resign(bytes(raw) + bytes([1]))
    with pytest.raises(ValueError):
        type(reg.model_).__new__(type(reg.model_)).__setstate__(damaged)


def test_warm_starts_keep_the_criterion():
    x, y, _ = data("counts", n=400)
    once = ForestClassifier(n_estimators=10, criterion="entropy", random_state=3).fit(x, y)
    grown = ForestClassifier(n_estimators=6, criterion="entropy", random_state=3, warm_start=True)
    grown.fit(x, y).set_params(n_estimators=10).fit(x, y)
    assert state(grown) == state(once)
    before = state(grown)
    with pytest.raises(ValueError, match="criterion of the fitted forest"):
        grown.set_params(n_estimators=12, criterion="gini").fit(x, y)
    assert state(grown) == before
