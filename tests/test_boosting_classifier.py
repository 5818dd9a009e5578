"""TarnwoodClassifier, model export, feature importances and the generic
Tarnwood class."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _rs

NOT_FITTED = "TarnwoodClassifier has not been fitted"


def blobs(n, k, seed, p=5, spread=1.0):
    r = np.random.default_rng(seed)
    centres = r.normal(scale=3.0, size=(k, p))
    y = np.arange(n) % k
    x = centres[y] + r.normal(scale=spread, size=(n, p))
    return x, y.astype(float)


def clf(**kw):
    args = dict(n_estimators=4, rf_n_estimators=5, rf_max_depth=4, random_state=3)
    args.update(kw)
    return _rs.TarnwoodClassifier(**args)


def dump(model):
    return repr(model.to_dict())


def run_with_pool(n_jobs, body):
    script = f"import _rs\n_rs.TarnwoodClassifier(n_jobs={n_jobs})\n" + textwrap.dedent(body)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    return out.stdout


# ---- plain-Python evaluation of an exported model ------------------------------

def leaf_value(tree, row):
    node = 0
    while tree["children_left"][node] != -1:
        if row[tree["feature"][node]] <= tree["threshold"][node]:
            node = tree["children_left"][node]
        else:
            node = tree["children_right"][node]
    return tree["value"][node]


def raw_scores(model, row):
    scores = list(model["init"])
    for rnd in model["rounds"]:
        for k, out in enumerate(rnd["outputs"]):
            total = 0.0
            for tree in out["trees"]:
                total += leaf_value(tree, row)
            scores[k] += model["learning_rate"] * (total / len(out["trees"]))
    return scores


def softmax(v):
    top = max(v)
    e = [math.exp(s - top) for s in v]
    total = 0.0
    for t in e:
        total += t
    return [t / total for t in e]


def evaluate(model, x):
    """predict and predict_proba (None for regression) of an exported model."""
    preds, probas = [], []
    for row in x:
        raw = raw_scores(model, list(row))
        if model["task"] == "regression":
            preds.append(raw[0])
        elif model["task"] == "binary":
            p = 1.0 / (math.exp(-raw[0]) + 1.0)
            preds.append(1.0 if p > 0.5 else 0.0)
            probas.append([1.0 - p, p])
        else:
            q = softmax(raw)
            best = 0
            for j in range(1, len(q)):
                if q[j] >= q[best]:
                    best = j
            preds.append(float(best))
            probas.append(q)
    return preds, (probas if model["task"] != "regression" else None)


# ---- classifier -----------------------------------------------------------------

def test_unfitted_classifier():
    m = _rs.TarnwoodClassifier(n_estimators=5)
    x = np.zeros((2, 2))
    for call in (lambda: m.predict(x), lambda: m.predict_proba(x), lambda: m.predict_ci(x),
                 m.feature_importances, m.to_dict):
        with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
            call()
    assert (m.n_estimators, m.n_classes, m.is_fitted, m.trees_used) == (5, 0, False, [])
    assert _rs.TarnwoodClassifier.predict_ci.__doc__ == (
        "Wilson score confidence interval on the predicted probability.\n"
        "Treats each tree's leaf probability as a binomial trial and\n"
        "computes the Wilson interval on the ensemble average.")


def test_fit_rejects_bad_labels_and_inputs_before_changing_state():
    x, y = blobs(60, 2, 1)
    m = clf()
    m.fit(x, y)
    before = dump(m)
    for labels in ([1.0, 2.0], [0.0, 2.0], [0.0, 1.0, 3.0], [5.0]):
        bad = np.resize(np.array(labels), 60)
        with pytest.raises(ValueError, match="class labels must be 0, 1, ..., K-1"):
            m.fit(x, bad)
    cases = [
        (lambda: m.fit(x[:0], y[:0]), "zero samples"),
        (lambda: m.fit(x, y[:-1]), r"y length \(59\) does not match number of samples \(60\)"),
        (lambda: m.fit(x, y, np.ones(61)), r"sample_weight length \(61\)"),
        (lambda: m.fit(x, np.r_[y[:-1], np.nan]), "y contains non-finite value at index 59"),
        (lambda: clf(rf_n_estimators=0).fit(x, y), "rf_n_estimators"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()
    assert dump(m) == before and m.n_classes == 2
    # Labels are truncated to class indices: 0.7 is class 0, 1.9 class 1.
    m.fit(x, np.where(y == 1.0, 1.9, 0.7))
    ref = clf()
    ref.fit(x, y)
    assert dump(m) == dump(ref)


def test_binary_and_multiclass_models_learn():
    for k in (2, 3, 5):
        x, y = blobs(300, k, 10 + k)
        m = _rs.TarnwoodClassifier(n_estimators=8, rf_n_estimators=8, random_state=1)
        m.fit(x, y)
        xt, yt = blobs(300, k, 10 + k)
        assert np.mean(np.array(m.predict(xt)) == yt) > 0.9
        proba = np.array(m.predict_proba(xt))
        assert proba.shape == (300, k) and np.allclose(proba.sum(axis=1), 1.0)
        assert m.n_classes == k
        assert m.trees_used == [8] * 8
        assert len(m.to_dict()["rounds"]) == 8


def test_initial_scores():
    x, y = blobs(40, 2, 2)
    w = np.linspace(0.5, 1.5, 40)
    m = clf(n_estimators=0)
    m.fit(x, y, w)
    num = den = 0.0
    for wi, yi in zip(w, y):
        num += wi * yi
    for wi in w:
        den += wi
    p = num / den
    assert m.to_dict()["init"] == [math.log(p / (1 - p))]
    m.fit(x, y, np.zeros(40))
    assert m.to_dict()["init"] == [0.0]
    # A class with no weight clamps the prior.
    m.fit(x, y, (y == 0).astype(float))
    assert m.to_dict()["init"] == [math.log(1e-5 / (1 - 1e-5))]
    x3, y3 = blobs(30, 3, 2)
    m.fit(x3, y3)
    assert m.to_dict()["init"] == [math.log(10 / 30)] * 3
    m.fit(x3, y3, np.zeros(30))
    assert m.to_dict()["init"] == [math.log(1e-5)] * 3
    # Without rounds the model predicts from the priors alone.
    assert m.predict_proba(x3[:1]) == [softmax([math.log(1e-5)] * 3)]


def test_single_class_model():
    x, _ = blobs(20, 2, 3)
    m = clf()
    m.fit(x, np.zeros(20))
    assert m.n_classes == 1
    assert m.predict(x[:3]) == [0.0] * 3
    assert m.predict_proba(x[:2]) == [[1.0], [1.0]]
    with pytest.raises(ValueError, match="predict_ci only supports binary classification"):
        m.predict_ci(x)
    # Its export evaluates with softmax, reproducing the model.
    d = m.to_dict()
    assert (d["task"], d["n_outputs"], d["n_classes"]) == ("multiclass", 1, 1)
    assert evaluate(d, x) == (m.predict(x), m.predict_proba(x))


def test_export_reproduces_predictions_exactly():
    xb, yb = blobs(200, 2, 4, spread=2.5)
    x3, y3 = blobs(200, 3, 5, spread=2.5)
    xr = xb
    yr = xb[:, 0] * 2 + np.sin(xb[:, 1])
    models = [
        (_rs.TarnwoodClassifier(n_estimators=5, rf_n_estimators=4, random_state=1), xb, yb),
        (_rs.TarnwoodClassifier(n_estimators=3, rf_n_estimators=3, rf_max_features="sqrt",
                                use_histogram=False, random_state=2), x3, y3),
        (_rs.TarnwoodRegressor(n_estimators=5, rf_n_estimators=4, random_state=3), xr, yr),
    ]
    for m, x, y in models:
        m.fit(x, y)
        d = m.to_dict()
        preds, probas = evaluate(d, x)
        assert preds == m.predict(x)
        if probas is not None:
            assert probas == m.predict_proba(x)


def test_export_layout():
    x, y = blobs(120, 3, 6)
    m = clf(n_estimators=2)
    m.fit(x, y)
    d = m.to_dict()
    assert list(d) == ["task", "n_outputs", "n_classes", "learning_rate", "init",
                       "n_estimators", "rounds"]
    assert (d["task"], d["n_outputs"], d["n_classes"], d["n_estimators"]) == ("multiclass", 3, 3, 2)
    assert d["learning_rate"] == 0.1
    for rnd in d["rounds"]:
        assert list(rnd) == ["outputs"] and len(rnd["outputs"]) == 3
        for out in rnd["outputs"]:
            assert list(out) == ["trees"] and len(out["trees"]) == 5
            for t in out["trees"]:
                assert list(t) == ["children_left", "children_right", "feature", "threshold", "value"]
                n = len(t["value"])
                assert all(len(t[key]) == n for key in t)
                for i in range(n):
                    if t["children_left"][i] == -1:
                        assert t["children_right"][i] == -1 and t["feature"][i] == -1
                        assert math.isnan(t["threshold"][i])
                    else:
                        # Pre-order: the left child follows at once, the right one later.
                        assert t["children_left"][i] == i + 1
                        assert t["children_right"][i] > i + 1 and t["value"][i] == 0.0
    b = clf(n_estimators=3)
    b.fit(*blobs(50, 2, 7))
    db = b.to_dict()
    assert (db["task"], db["n_outputs"], db["n_estimators"], len(db["rounds"])) == ("binary", 1, 3, 3)
    r = _rs.TarnwoodRegressor(n_estimators=2, rf_n_estimators=1, rf_max_depth=0, random_state=0)
    r.fit(x, y)
    dr = r.to_dict()
    assert list(dr) == ["task", "n_outputs", "learning_rate", "init", "n_estimators",
                        "conformal_quantile", "rounds"]
    stump = dr["rounds"][0]["outputs"][0]["trees"][0]
    assert stump["children_left"] == [-1] and stump["feature"] == [-1]
    assert math.isnan(stump["threshold"][0])
    assert m.to_dict() is not d


def test_deep_tree_export_and_prediction():
    # A long chain of splits exports and predicts without recursion limits.
    n = 3000
    x = np.arange(n, dtype=float).reshape(-1, 1)
    y = (np.arange(n) % 2).astype(float)
    m = _rs.TarnwoodClassifier(n_estimators=1, rf_n_estimators=1, bootstrap=False,
                               use_histogram=False, random_state=0)
    m.fit(x, y)
    d = m.to_dict()
    assert len(d["rounds"][0]["outputs"][0]["trees"][0]["value"]) == 2 * n - 1
    assert evaluate(d, x[:50])[0] == m.predict(x[:50])


def test_wilson_intervals():
    x, y = blobs(150, 2, 8, spread=3.0)
    m = clf(n_estimators=3, rf_n_estimators=4)
    m.fit(x, y)
    proba = m.predict_proba(x)
    n = 12.0
    for alpha, z, z2 in [(0.001, 2.576, 6.635776000000001), (0.01, 2.576, 6.635776000000001),
                         (0.05, 1.96, 3.8415999999999997), (0.07, 1.645, 2.706025),
                         (0.2, 1.28, 1.6384), (float("nan"), 1.28, 1.6384)]:
        ci = m.predict_ci(x, alpha)
        for (lo, hi), (_, p) in zip(ci, proba):
            d = 1 + z2 / n
            c = (p + z2 / (2 * n)) / d
            h = z * math.sqrt(p * (1 - p) / n + z2 / (4 * n * n)) / d
            assert lo == min(max(c - h, 0.0), 1.0) and hi == min(max(c + h, 0.0), 1.0)
            assert 0.0 <= lo <= hi <= 1.0
    assert m.predict_ci(x[:3]) == m.predict_ci(x[:3], 0.05)
    m3 = clf()
    m3.fit(*blobs(30, 3, 9))
    with pytest.raises(ValueError, match="^predict_ci only supports binary classification$"):
        m3.predict_ci(x)
    empty = clf(n_estimators=0)
    empty.fit(x, y)
    with pytest.raises(ValueError, match="at least one tree"):
        empty.predict_ci(x)
    assert empty.predict(x[:2]) == [0.0, 0.0] or empty.predict(x[:2]) == [1.0, 1.0]


def test_narrow_matrix_rejected():
    x, y = blobs(100, 3, 11)
    m = clf(rf_max_depth=None)
    m.fit(x, y)
    with pytest.raises(ValueError, match="columns"):
        m.predict(x[:, :1])
    with pytest.raises(ValueError, match="columns"):
        m.predict_proba(x[:, :1])


# ---- importances ------------------------------------------------------------------

def test_feature_importances_count_split_samples():
    # Stumps on all rows: every root is reached by all n rows, so each tree
    # credits n to its root feature.
    x, y = blobs(80, 3, 12, p=4)
    m = clf(n_estimators=3, rf_max_depth=1, bootstrap=False)
    m.fit(x, y)
    d = m.to_dict()
    trees = [t for r in d["rounds"] for o in r["outputs"] for t in o["trees"]]
    length = max(0, max(trees[0]["feature"])) + 1
    counts = [0.0] * length
    for t in trees:
        f = t["feature"][0]
        if 0 <= f < length:
            counts[f] += 80.0
    total = sum(counts)
    expected = [c / total for c in counts] if total > 0 else counts
    assert m.feature_importances() == pytest.approx(expected, abs=1e-15)
    assert sum(m.feature_importances()) == pytest.approx(1.0)
    leaves = clf(rf_max_depth=0)
    leaves.fit(x, y)
    assert leaves.feature_importances() == [0.0]
    r = _rs.TarnwoodRegressor(n_estimators=0)
    r.fit(x, x[:, 0])
    assert r.feature_importances() == []
    r = _rs.TarnwoodRegressor(n_estimators=3, rf_n_estimators=3, random_state=0)
    r.fit(x, x[:, 2] * 5)
    imp = r.feature_importances()
    assert imp.index(max(imp)) == 2


# ---- reproducibility and streaming ------------------------------------------------

THREAD_SCRIPT = """
import numpy as np
r = np.random.default_rng(1)
x = r.normal(size=(240, 4))
y2 = (x[:, 0] + r.normal(scale=0.5, size=240) > 0).astype(float)
y3 = np.digitize(x[:, 1] + x[:, 2], [-0.5, 0.5]).astype(float)
out = []
for y in (y2, y3):
    for kw in (dict(), dict(use_histogram=False, rf_max_features="sqrt"),
               dict(async_mode=True, tol=1e-300)):
        m = _rs.TarnwoodClassifier(n_estimators=3, rf_n_estimators=5, random_state=9, **kw)
        m.fit(x, y)
        out.append((m.predict_proba(x), m.trees_used))
for task in ("classification", "regression"):
    g = _rs.Tarnwood(n_estimators=2, rf_n_estimators=3, random_state=4, task=task)
    g.fit(x, y2)
    out.append(g.predict(x))
print(repr(out))
"""


def test_classifier_results_do_not_depend_on_thread_count():
    one = run_with_pool(1, THREAD_SCRIPT)
    assert one == run_with_pool(2, THREAD_SCRIPT) == run_with_pool(3, THREAD_SCRIPT)
    res = eval(one)
    assert res[2] == res[0] and res[5] == res[3]


STREAM_SCRIPT = """
import numpy as np
r = np.random.default_rng(2)
x = r.normal(size=(200, 3))
y2 = (x[:, 0] > 0).astype(float)
y3 = np.digitize(x[:, 0], [-0.5, 0.5]).astype(float)
res = []
for y, kw in ((y2, dict(tol=1e9)), (y3, dict(tol=1e9)), (y2, dict(tol=0.0))):
    m = _rs.TarnwoodClassifier(n_estimators=3, rf_n_estimators=20, async_mode=True,
                               random_state=6, **kw)
    m.fit(x, y)
    d = m.to_dict()
    res.append((m.trees_used, [[len(o["trees"]) for o in rd["outputs"]] for rd in d["rounds"]]))
print(repr(res))
"""


def test_streaming_classifier_rounds():
    single = eval(run_with_pool(1, STREAM_SCRIPT))
    assert single[0] == ([10, 10, 10], [[10]] * 3)
    # Multiclass: trees_used records the class-0 forest of each round.
    assert single[1] == ([10, 10, 10], [[10, 10, 10]] * 3)
    # The decided-probability rule on separable data stops early too.
    assert all(10 <= t <= 20 for t in single[2][0])
    multi = eval(run_with_pool(2, STREAM_SCRIPT))
    for used, sizes in multi:
        assert all(10 <= t <= 20 for t in used)
        assert [s[0] for s in sizes] == used


# ---- the generic class --------------------------------------------------------

def test_generic_class_dispatches_by_task():
    x, y = blobs(120, 2, 13)
    cfg = dict(n_estimators=3, rf_n_estimators=4, random_state=2)
    g = _rs.Tarnwood(**cfg)
    assert (g.n_estimators, g.is_fitted, g.trees_used) == (3, False, [])
    for call in (lambda: g.predict(x), lambda: g.predict_proba(x), lambda: g.predict_ci(x),
                 g.feature_importances):
        with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
            call()
    g.fit(x, y)
    c = _rs.TarnwoodClassifier(**cfg)
    c.fit(x, y)
    assert g.predict(x) == c.predict(x)
    assert g.predict_proba(x) == c.predict_proba(x)
    assert g.predict_ci(x, 0.1) == c.predict_ci(x, 0.1)
    assert g.feature_importances() == c.feature_importances()
    assert g.is_fitted and g.trees_used == c.trees_used
    assert not hasattr(g, "to_dict")

    for task in ("regression", "Classification", "Regression", ""):
        r = _rs.Tarnwood(task=task, **cfg)
        with pytest.raises(ValueError, match="^predict_proba is only available for classification$"):
            r.predict_proba(x)
        for call in (lambda: r.predict(x), lambda: r.predict_ci(x), r.feature_importances):
            with pytest.raises(ValueError, match="^TarnwoodRegressor has not been fitted$"):
                call()
    yr = x[:, 0] * 2.0
    r.fit(x, yr)
    ref = _rs.TarnwoodRegressor(conformal_fraction=0.2, **cfg)
    ref.fit(x, yr)
    assert r.predict(x) == ref.predict(x)
    assert r.predict_ci(x, 0.2) == ref.predict_ci(x, 0.2)
    assert r.feature_importances() == ref.feature_importances()
    with pytest.raises(ValueError, match="only available for classification"):
        r.predict_proba(x)
    with pytest.raises(TypeError, match="^argument 'x': "):
        r.predict_proba([[1.0]])
    with pytest.raises(TypeError, match="^argument 'task': "):
        _rs.Tarnwood(task=None)
    with pytest.raises(TypeError, match="^argument 'alpha': "):
        g.predict_ci(x, None)
