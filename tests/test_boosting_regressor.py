"""TarnwoodRegressor: construction, the two-phase fit with conformal
calibration, prediction intervals, streaming rounds and reproducibility."""
import inspect
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _rs

SIG_HEAD = ("(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, rf_max_depth=None, "
            "rf_max_features=None, bootstrap=True, random_state=None, min_samples_split=2, "
            "min_samples_leaf=1, ")
SIG_TAIL = "use_histogram=True, async_mode=False, tol=1e-4, n_jobs=None"
NOT_FITTED = "TarnwoodRegressor has not been fitted"


def friedman(n, seed, noise=1.0):
    r = np.random.default_rng(seed)
    x = r.uniform(size=(n, 6))
    y = (10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2
         + 10 * x[:, 3] + 5 * x[:, 4] + r.normal(scale=noise, size=n))
    return x, y


def dump(model):
    """The exported model as text (NaN thresholds make dicts compare unequal)."""
    return repr(model.to_dict())


def small(**kw):
    args = dict(n_estimators=4, rf_n_estimators=5, rf_max_depth=5, random_state=7)
    args.update(kw)
    return _rs.TarnwoodRegressor(**args)


def run_with_pool(n_jobs, body):
    """Runs `body` in a fresh interpreter whose pool has n_jobs threads and
    returns its stdout."""
    script = f"import _rs\n_rs.TarnwoodRegressor(n_jobs={n_jobs})\n" + textwrap.dedent(body)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    return out.stdout


# ---- construction ----------------------------------------------------------

def test_registration_order_and_text_signatures():
    names = [n for n in _rs.__all__ if n.startswith("Tarnwood")]
    assert names == ["Tarnwood", "TarnwoodClassifier", "TarnwoodRegressor"]
    expected = {
        "Tarnwood": SIG_HEAD + 'task="classification", ' + SIG_TAIL,
        "TarnwoodClassifier": SIG_HEAD + SIG_TAIL,
        "TarnwoodRegressor": SIG_HEAD + SIG_TAIL + ", conformal_fraction=0.2",
    }
    for name, sig in expected.items():
        cls = getattr(_rs, name)
        assert cls.__text_signature__ == sig + ")"
        assert cls.__module__ == "builtins"
        assert len(inspect.signature(cls).parameters) == sig.count("=")
    reg = _rs.TarnwoodRegressor
    assert reg.predict_ci.__text_signature__ == "($self, x, alpha=0.05)"
    assert reg.predict_ci.__doc__ == (
        "Confidence intervals via split conformal prediction.\n"
        "Guarantees (1-alpha) coverage on exchangeable data.\n"
        "The conformal quantile is calibrated on a held-out calibration set during fit.")
    assert reg.fit.__text_signature__ == "($self, x, y, sample_weight=None)"
    assert reg.to_dict.__text_signature__ == "($self)"


def test_constructor_argument_conversion():
    with pytest.raises(OverflowError):
        _rs.TarnwoodRegressor(n_estimators=-1)
    with pytest.raises(TypeError, match="^argument 'bootstrap': "):
        _rs.TarnwoodRegressor(bootstrap=1)
    with pytest.raises(TypeError, match="^argument 'learning_rate': "):
        _rs.TarnwoodRegressor(learning_rate="fast")
    with pytest.raises(TypeError, match="^argument 'conformal_fraction': "):
        _rs.TarnwoodRegressor(conformal_fraction=None)
    with pytest.raises(TypeError):
        _rs.TarnwoodRegressor(task="regression")
    # Positional order follows the signature; ints are accepted as floats.
    m = _rs.TarnwoodRegressor(3, 1, 2, None, "sqrt", False, 5, 2, 1, False, True, 0, 0, 0.3)
    assert m.n_estimators == 3 and not m.is_fitted and m.trees_used == []
    # A later n_jobs neither fails nor reports anything.
    _rs.TarnwoodRegressor(n_jobs=1)
    _rs.TarnwoodRegressor(n_jobs=0)


def test_unfitted_model():
    m = _rs.TarnwoodRegressor(n_estimators=7)
    x = np.zeros((2, 3))
    for call in (lambda: m.predict(x), lambda: m.predict_ci(x), m.feature_importances,
                 m.to_dict):
        with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
            call()
    assert (m.n_estimators, m.is_fitted, m.trees_used) == (7, False, [])


def test_conformal_fraction_is_clamped():
    x, y = friedman(40, 1)
    # 0.05 becomes 0.1: nine rows hold out none and are rejected, ten hold out one.
    with pytest.raises(ValueError, match="calibration"):
        small(conformal_fraction=0.05).fit(x[:9], y[:9])
    small(conformal_fraction=0.05).fit(x[:10], y[:10])
    # 0.9 becomes 0.5: same model and quantile as 0.5 itself.
    a, b = small(conformal_fraction=0.9), small(conformal_fraction=0.5)
    a.fit(x, y)
    b.fit(x, y)
    assert dump(a) == dump(b)
    c = small(conformal_fraction=0.3)
    c.fit(x, y)
    assert c.to_dict()["conformal_quantile"] != a.to_dict()["conformal_quantile"]


# ---- fit validation ----------------------------------------------------------

def test_fit_rejects_bad_input_before_changing_state():
    x, y = friedman(60, 2)
    m = small()
    m.fit(x, y)
    before = dump(m)
    bad_x = x.copy()
    bad_x[2, 0] = np.nan
    cases = [
        (lambda: m.fit(bad_x, y), r"X contains non-finite value at row 2, column 0 \(NaN\)"),
        (lambda: m.fit(x, np.append(y[:-1], np.inf)), r"y contains non-finite value at index 59 \(inf\)"),
        (lambda: m.fit(x, y, np.ones(59)), r"sample_weight length \(59\) does not match number of samples \(60\)"),
        (lambda: m.fit(x, y, np.r_[np.ones(59), -0.5]), r"sample_weight\[59\] = -0.5 is not"),
        (lambda: m.fit(x, y[:-1]), r"y length \(59\) does not match number of samples \(60\)"),
        (lambda: m.fit(x, np.r_[y, 1.0]), r"y length \(61\)"),
        (lambda: m.fit(x[:4], y[:4]), "calibration"),
        (lambda: m.fit(x[:0], y[:0]), "calibration"),
        (lambda: small(rf_n_estimators=0).fit(x, y), "rf_n_estimators"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()
    assert dump(m) == before and m.is_fitted


def test_narrow_prediction_matrix_is_rejected():
    x, y = friedman(80, 3)
    m = small(rf_max_depth=None)
    m.fit(x, y)
    used = max(f for r in m.to_dict()["rounds"] for t in r["outputs"][0]["trees"]
               for f in t["feature"])
    with pytest.raises(ValueError, match="columns"):
        m.predict(x[:, :used])
    with pytest.raises(ValueError, match="columns"):
        m.predict_ci(x[:, :used])
    assert len(m.predict(x[:, :used + 1])) == 80
    assert m.predict(np.zeros((0, 6))) == []


# ---- the boosting pipeline ----------------------------------------------------

def test_single_exact_tree_round_matches_decision_tree_on_residuals():
    # One round, one exact tree on all rows, learning rate 1: the model is the
    # weighted mean plus a regression tree fitted to the residuals; a second
    # round fits the residuals of the first.
    r = np.random.default_rng(4)
    x = r.normal(size=(50, 3))
    y = x[:, 0] ** 2 + r.normal(scale=0.1, size=50)
    init = sum(y) / 50
    cfg = dict(rf_n_estimators=1, bootstrap=False, use_histogram=False, learning_rate=0.5,
               random_state=3)
    m1 = _rs.TarnwoodRegressor(n_estimators=1, **cfg)
    m1.fit(x, y)
    t1 = _rs.DecisionTree(task="regression")
    t1.fit(x, y - init)
    step1 = init + 0.5 * np.array(t1.predict(x))
    assert m1.predict(x) == list(step1)
    m2 = _rs.TarnwoodRegressor(n_estimators=2, **cfg)
    m2.fit(x, y)
    t2 = _rs.DecisionTree(task="regression")
    t2.fit(x, y - step1)
    assert m2.predict(x) == list(step1 + 0.5 * np.array(t2.predict(x)))
    assert m2.trees_used == [1, 1]


def test_zero_rounds_predict_the_weighted_mean():
    x, y = friedman(30, 5)
    w = np.linspace(0.0, 2.0, 30)
    m = small(n_estimators=0)
    m.fit(x, y, w)
    mean = 0.0
    for wi, yi in zip(w, y):
        mean += wi * yi
    mean /= sum(w)
    assert m.predict(x[:3]) == [mean] * 3
    assert m.trees_used == [] and m.to_dict()["rounds"] == []
    m.fit(x, y, np.zeros(30))
    assert m.predict(x[:2]) == [0.0, 0.0]


def test_boosting_fits_the_signal_and_uses_trees_as_configured():
    x, y = friedman(400, 6, noise=0.5)
    m = _rs.TarnwoodRegressor(n_estimators=15, rf_n_estimators=8, learning_rate=0.3,
                              random_state=0)
    m.fit(x, y)
    xt, yt = friedman(400, 60, noise=0.5)
    pred = np.array(m.predict(xt))
    r2 = 1 - np.mean((pred - yt) ** 2) / np.var(yt)
    assert r2 > 0.7
    assert m.trees_used == [8] * 15
    d = m.to_dict()
    assert d["n_estimators"] == 15 and all(len(r["outputs"][0]["trees"]) == 8 for r in d["rounds"])
    # More rounds fit the training data more closely.
    few = _rs.TarnwoodRegressor(n_estimators=2, rf_n_estimators=8, learning_rate=0.3,
                                random_state=0)
    few.fit(x, y)
    assert np.mean((np.array(few.predict(x)) - y) ** 2) > np.mean((np.array(m.predict(x)) - y) ** 2)


def test_exact_and_histogram_trees_both_work_and_differ():
    x, y = friedman(300, 7)
    h, e = small(), small(use_histogram=False)
    h.fit(x, y)
    e.fit(x, y)
    assert h.predict(x) != e.predict(x)
    thresholds = {t for r in h.to_dict()["rounds"] for tr in r["outputs"][0]["trees"]
                  for t in tr["threshold"] if not math.isnan(t)}
    # Histogram thresholds are real feature values; exact ones are midpoints.
    assert thresholds <= set(x.ravel())


# ---- intervals -------------------------------------------------------------------

def test_interval_half_width_follows_the_level_table():
    x, y = friedman(200, 8)
    m = small()
    m.fit(x, y)
    q = m.to_dict()["conformal_quantile"]
    assert q > 0
    pred = m.predict(x[:5])
    table = [(0.05, q), (0.0500005, q), (0.01, 1.3142857142857143 * q), (0.001, 1.3142857142857143 * q),
             (0.03, q), (0.05001, 0.8392857142857143 * q), (0.08, 0.8392857142857143 * q),
             (0.1, 0.8392857142857143 * q), (0.2, 0.653061224489796 * q),
             (float("nan"), 0.653061224489796 * q)]
    for alpha, half in table:
        ci = m.predict_ci(x[:5], alpha)
        assert ci == [[p - half, p + half] for p in pred], alpha
    assert m.predict_ci(x[:5]) == m.predict_ci(x[:5], 0.05)


def test_small_calibration_set_takes_the_largest_score():
    # Ten rows hold out two; the quantile is the larger calibration score. With
    # no rounds the calibration model is the mean of the eight training rows.
    y = np.array([0.0, 1.0, 3.0, 7.0, 15.0, 31.0, 63.0, 127.0, 255.0, 511.0])
    x = np.arange(10.0).reshape(-1, 1)
    m = _rs.TarnwoodRegressor(n_estimators=0, random_state=11)
    m.fit(x, y)
    q = m.to_dict()["conformal_quantile"]
    candidates = set()
    for a in range(10):
        for b in range(a + 1, 10):
            rest = [y[i] for i in range(10) if i not in (a, b)]
            mean = 0.0
            for v in rest:
                mean += v
            mean /= 8
            candidates.add(max(abs(y[a] - mean), abs(y[b] - mean)))
    assert q in candidates


def test_conformal_coverage_near_nominal():
    x, y = friedman(3000, 21, noise=1.0)
    m = _rs.TarnwoodRegressor(n_estimators=12, rf_n_estimators=10, learning_rate=0.3,
                              rf_max_depth=8, random_state=5)
    m.fit(x, y)
    xt, yt = friedman(5000, 22, noise=1.0)
    for alpha, low, high in [(0.05, 0.925, 0.975)]:
        ci = np.array(m.predict_ci(xt, alpha))
        covered = np.mean((yt >= ci[:, 0]) & (yt <= ci[:, 1]))
        assert low <= covered <= high, covered
    # The calibrated half-width is close to the 95% normal quantile of the
    # noise plus the model error, never far below it.
    assert 1.8 < m.to_dict()["conformal_quantile"] < 3.5


# ---- reproducibility and streaming ------------------------------------------

def test_same_seed_same_model_other_seed_other_model():
    x, y = friedman(150, 9)
    a, b, c = small(), small(), small(random_state=8)
    for m in (a, b, c):
        m.fit(x, y)
    assert dump(a) == dump(b)
    assert dump(a) != dump(c)
    a.fit(x, y)
    assert dump(a) == dump(b)


THREAD_SCRIPT = """
import numpy as np
r = np.random.default_rng(3)
x = r.normal(size=(300, 5))
y = x[:, 0] * 3 + np.sin(x[:, 1] * 2) + r.normal(scale=0.2, size=300)
out = []
for kw in (dict(), dict(use_histogram=False), dict(rf_max_features="sqrt", bootstrap=False),
           dict(async_mode=True, tol=1e-300)):
    m = _rs.TarnwoodRegressor(n_estimators=4, rf_n_estimators=6, random_state=2, **kw)
    m.fit(x, y)
    out.append((m.predict(x), m.to_dict()["conformal_quantile"], m.trees_used))
print(repr(out))
"""


def test_results_do_not_depend_on_thread_count():
    one = run_with_pool(1, THREAD_SCRIPT)
    two = run_with_pool(2, THREAD_SCRIPT)
    three = run_with_pool(3, THREAD_SCRIPT)
    assert one == two == three
    models = eval(one)
    # The streaming round whose check cannot fire equals the plain round.
    assert models[3] == models[0]


def test_streaming_round_equals_plain_round_when_check_cannot_fire():
    x, y = friedman(200, 10)
    plain = small(rf_n_estimators=6)
    stream = small(rf_n_estimators=6, async_mode=True, tol=1e-300)
    two = small(rf_n_estimators=2, async_mode=True, tol=1e9)
    two_plain = small(rf_n_estimators=2)
    for m in (plain, stream, two, two_plain):
        m.fit(x, y)
    assert dump(stream) == dump(plain)
    assert stream.trees_used == [6] * 4
    # Two trees never reach the check (it needs three), whatever the tolerance.
    assert dump(two) == dump(two_plain)


STREAM_SCRIPT = """
import numpy as np
r = np.random.default_rng(5)
x = r.normal(size=(200, 4))
y = x[:, 0] + r.normal(scale=0.1, size=200)
res = {}
for name, kw in {
    "big_tol_20": dict(rf_n_estimators=20, tol=1e9),
    "big_tol_5": dict(rf_n_estimators=5, tol=1e9),
    "identical_trees": dict(rf_n_estimators=12, bootstrap=False, tol=1e-12),
    "spread_rule": dict(rf_n_estimators=16, tol=0.0),
}.items():
    runs = []
    for _ in range(2):
        m = _rs.TarnwoodRegressor(n_estimators=3, async_mode=True, random_state=4, **kw)
        m.fit(x, y)
        runs.append((m.trees_used, m.predict(x[:20])))
    res[name] = runs
print(repr(res))
"""


def test_streaming_rounds_stop_at_the_minimum_check_count():
    single = eval(run_with_pool(1, STREAM_SCRIPT))
    # One worker: the check fires as soon as it may, and runs repeat exactly.
    assert single["big_tol_20"][0][0] == [10, 10, 10]
    assert single["big_tol_5"][0][0] == [3, 3, 3]
    assert single["identical_trees"][0][0] == [6, 6, 6]
    for runs in single.values():
        assert runs[0] == runs[1]
    assert all(3 <= t <= 16 for t in single["spread_rule"][0][0])
    # Several workers: at least the minimum check count, at most the plan.
    multi = eval(run_with_pool(2, STREAM_SCRIPT))
    for name, low, high in [("big_tol_20", 10, 20), ("big_tol_5", 3, 5),
                            ("identical_trees", 6, 12), ("spread_rule", 8, 16)]:
        for used, _ in multi[name]:
            assert all(low <= t <= high for t in used), (name, used)


def test_streaming_with_identical_trees_predicts_like_one_tree():
    # Identical trees average to any one of them, however many are kept.
    x, y = friedman(120, 12)
    stream = small(bootstrap=False, rf_n_estimators=12, async_mode=True, tol=1e-12)
    single = small(bootstrap=False, rf_n_estimators=1)
    stream.fit(x, y)
    single.fit(x, y)
    assert np.allclose(stream.predict(x), single.predict(x), rtol=0, atol=1e-9)
