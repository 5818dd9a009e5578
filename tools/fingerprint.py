"""Prints one SHA-1 per case over the results of the `_rs` classes.

Run it before and after an engine change that must not change any result,
and compare the two outputs (`diff`):

    PYTHONPATH=build python tools/fingerprint.py > after.txt

The cases cover every grower mode (count mode, dense class sums, grouped
class sums, regression, weights, feature subsampling, depth and leaf limits,
tiny nodes, wide matrices), both tree growers, the boosted ensembles, the
explainer and every analysis of the unsupervised forest. Saved states are
hashed too, so a change of the stored format shows up as well.
"""
import hashlib
import sys
import zlib

import numpy as np

import _rs


def digest(*parts):
    h = hashlib.sha1()
    for p in parts:
        h.update(repr(p).encode() if not isinstance(p, bytes) else p)
    return h.hexdigest()


def data(seed, n, p, kind, classes=2, ties=False):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    if ties:
        x = np.round(x * 2) / 2
    if kind == "reg":
        y = x[:, 0] * 2 + np.sin(x[:, 1]) + rng.normal(scale=0.3, size=n)
    else:
        score = x[:, 0] + 0.5 * x[:, 1] + rng.normal(scale=0.5, size=n)
        y = np.floor((score - score.min()) / (np.ptp(score) + 1e-12) * classes).clip(0, classes - 1)
        if classes == 2:
            y = (score > 0).astype(float)
    return np.ascontiguousarray(x), y.astype(float)


def roundtrip(model):
    state = model.__getstate__()
    clone = type(model).__new__(type(model))
    clone.__setstate__(state)
    assert clone.__getstate__() == state, "saved state does not re-save byte for byte"
    return state


def attr(model, name):
    """A method's result or a property's value."""
    v = getattr(model, name)
    return v() if callable(v) else v


def emit(name, *parts):
    print(f"{name} {digest(*parts)}")
    sys.stdout.flush()


def forests():
    cases = [
        ("clf-binary", dict(), 1500, 8, "clf", 2, False, None),
        ("clf-binary-sqrt", dict(max_features="sqrt"), 1500, 8, "clf", 2, False, None),
        ("clf-binary-ties", dict(max_features="0.5"), 800, 6, "clf", 2, True, None),
        ("clf-binary-weights", dict(max_features="sqrt"), 900, 7, "clf", 2, False, "w"),
        ("clf-binary-depth", dict(max_depth=3, min_samples_leaf=5), 900, 7, "clf", 2, False, None),
        ("clf-binary-nobootstrap", dict(bootstrap=False, min_samples_split=9), 600, 5, "clf", 2, False, None),
        ("clf-5", dict(max_features="sqrt"), 1200, 9, "clf", 5, False, None),
        ("clf-5-weights", dict(), 700, 6, "clf", 5, True, "w"),
        ("clf-40", dict(max_features="log2"), 1500, 6, "clf", 40, False, None),
        ("clf-40-weights", dict(), 600, 5, "clf", 40, False, "w"),
        ("clf-wide", dict(n_estimators=3), 60, 1100, "clf", 2, False, None),
        ("clf-tiny", dict(), 40, 3, "clf", 2, True, None),
    ]
    for name, kw, n, p, kind, k, ties, weights in cases:
        x, y = data(zlib.crc32(name.encode()) % 1000, n, p, kind, k, ties)
        w = np.random.default_rng(7).uniform(0.1, 3.0, size=n) if weights else None
        kw = dict(dict(n_estimators=15, random_state=11), **kw)
        m = _rs.RandomForestClassifier(**kw)
        m.fit(x, y, w)
        xt, _ = data(99, 300, p, kind)
        xt[::17, 0] = np.nan
        emit(name, roundtrip(m), m.predict(xt), m.predict_proba(xt), attr(m, 'get_info'), m.score(x, y))
    reg = [
        ("reg", dict(), 1500, 8, False, None),
        ("reg-sqrt", dict(max_features="sqrt"), 1500, 8, False, None),
        ("reg-weights-ties", dict(max_features="0.4"), 800, 6, True, "w"),
        ("reg-depth", dict(max_depth=4, min_samples_leaf=3), 900, 7, False, None),
        ("reg-tiny", dict(bootstrap=False), 30, 3, True, None),
    ]
    for name, kw, n, p, ties, weights in reg:
        x, y = data(zlib.crc32(name.encode()) % 1000, n, p, "reg", ties=ties)
        w = np.random.default_rng(8).uniform(0.1, 3.0, size=n) if weights else None
        kw = dict(dict(n_estimators=15, random_state=5), **kw)
        m = _rs.RandomForestRegressor(**kw)
        m.fit(x, y, w)
        xt, _ = data(98, 300, p, "reg")
        xt[::13, 1] = np.nan
        emit(name, roundtrip(m), m.predict(xt), attr(m, 'get_info'))


def trees_and_shap():
    for task in ("classification", "regression"):
        for crit in ("gini", "entropy"):
            for depth, msl in ((None, 1), (4, 3)):
                kind = "clf" if task == "classification" else "reg"
                x, y = data(3, 500, 6, kind, 3 if kind == "clf" else 2, ties=True)
                w = np.random.default_rng(1).uniform(0.5, 2.0, size=500)
                t = _rs.DecisionTree(max_depth=depth, criterion=crit, task=task, random_state=2,
                                     min_samples_leaf=msl)
                t.fit(x, y, w)
                xt, _ = data(4, 100, 6, kind)
                parts = [roundtrip(t), t.predict(xt), attr(t, 'get_depth'), attr(t, 'get_n_leaves')]
                if task == "classification":
                    parts.append(t.predict_proba(xt))
                emit(f"tree-{task}-{crit}-{depth}", *parts)
                shap_t = _rs.DecisionTree(max_depth=depth or 6, criterion=crit, task=task,
                                          random_state=2)
                shap_t.fit(x, y)
                for mt in ("classifier", "regressor") if task == "classification" else ("regressor",):
                    try:
                        ex = _rs.TreeSHAP(shap_t, x[:200], mt)
                        emit(f"shap-{task}-{crit}-{depth}-{mt}", roundtrip(ex), ex.explain(xt[:40]))
                    except Exception as e:  # a refused combination is a result too
                        emit(f"shap-{task}-{crit}-{depth}-{mt}", type(e).__name__, str(e))


def boosted():
    x, y = data(21, 600, 6, "reg")
    xc, yc = data(22, 600, 6, "clf")
    xm, ym = data(23, 600, 6, "clf", 4)
    xt, _ = data(24, 150, 6, "reg")
    for hist in (True, False):
        for am in (False, True):
            kw = dict(n_estimators=6, rf_n_estimators=4, random_state=3, use_histogram=hist,
                      async_mode=am, rf_max_features="sqrt", n_jobs=2)
            r = _rs.TarnwoodRegressor(**kw, rf_max_depth=5)
            r.fit(x, y)
            emit(f"boost-reg-{hist}-{am}", roundtrip(r), r.predict(xt), r.predict_ci(xt, 0.1),
                 attr(r, 'feature_importances'), attr(r, 'to_dict'), attr(r, 'trees_used'), attr(r, 'calibration_residuals'))
            c = _rs.TarnwoodClassifier(**kw)
            c.fit(xc, yc, np.linspace(0.5, 1.5, 600))
            emit(f"boost-clf2-{hist}-{am}", roundtrip(c), c.predict(xt), c.predict_proba(xt),
                 c.predict_ci(xt), attr(c, 'feature_importances'), attr(c, 'to_dict'), attr(c, 'trees_used'))
            c = _rs.TarnwoodClassifier(**kw, rf_max_depth=4)
            c.fit(xm, ym)
            emit(f"boost-clf4-{hist}-{am}", roundtrip(c), c.predict(xt), c.predict_proba(xt),
                 attr(c, 'feature_importances'), attr(c, 'to_dict'), attr(c, 'trees_used'))
            g = _rs.Tarnwood(**kw, task="regression")
            g.fit(x, y)
            emit(f"boost-generic-{hist}-{am}", roundtrip(g), g.predict(xt), g.predict_ci(xt),
                 attr(g, 'feature_importances'), attr(g, 'trees_used'))


def unsupervised():
    for name, kw, n, p in (("unsup", dict(), 300, 5),
                           ("unsup-sqrt-depth", dict(max_features="sqrt", max_depth=6,
                                                     min_samples_leaf=2), 250, 7),
                           ("unsup-neighbors", dict(n_neighbors=5), 200, 4)):
        x, _ = data(zlib.crc32(name.encode()) % 1000, n, p, "reg", ties=True)
        m = _rs.RandomForestUnsupervised(n_estimators=40, random_state=9, n_jobs=2, **kw)
        m.fit(x)
        xt, _ = data(5, 50, p, "reg")
        emit(name, roundtrip(m), m.proximity_matrix(True), m.proximity_matrix(False),
             m.proximity_sparse(), m.proximity_sparse(4), m.predict_proximity(xt),
             m.outlier_scores(), m.outlier_scores(True), m.predict_outlier_scores(xt),
             m.transform(2), m.transform(3), attr(m, 'feature_importances'))


if __name__ == "__main__":
    forests()
    trees_and_shap()
    boosted()
    unsupervised()
