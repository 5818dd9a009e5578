"""The boosted estimators' defaults against LightGBM and scikit-learn's
histogram boosting at theirs, on a small suite: scikit-learn's shipped data
sets and synthetic sets of a few sizes (regression, binary, multiclass).

Per set, over repeated random splits (75% train, 25% test): test R^2, or
log-loss and accuracy; fit and predict seconds (the fit including the
regressor's interval calibration); for regression, the coverage and mean
width of 90% intervals against LightGBM with split-conformal calibration on
the same share of held-out rows. Ratios are tarnwood / LightGBM.

Usage: python benchmarks/bench_boost_defaults.py [--quick] [--only NAME] [key=value ...]
(key=value pairs override the tarnwood defaults, e.g. rf_n_estimators=3,
to compare candidate settings; values are Python literals).
"""
import ast
import math
import sys
import time
import warnings

import numpy as np

warnings.filterwarnings("ignore")

try:
    from sklearn.datasets import (load_breast_cancer, load_diabetes, load_digits, load_iris,
                                  load_wine, make_classification, make_friedman1,
                                  make_regression)
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
    from sklearn.metrics import accuracy_score, log_loss, r2_score
    from sklearn.model_selection import train_test_split
except ImportError:  # pragma: no cover
    sys.exit("scikit-learn is needed for this benchmark (pip install scikit-learn)")
try:
    import lightgbm
except ImportError:  # pragma: no cover
    sys.exit("LightGBM is needed for this benchmark (pip install lightgbm)")

import tarnwood

QUICK = "--quick" in sys.argv
ONLY = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
OVERRIDES = dict(
    (a.split("=", 1)[0], ast.literal_eval(a.split("=", 1)[1])) for a in sys.argv[1:] if "=" in a
)
THREADS = 2
ALPHA = 0.1


def regression_sets():
    yield "diabetes", *load_diabetes(return_X_y=True), 10
    x, y = make_friedman1(n_samples=2000, noise=1.0, random_state=0)
    yield "friedman1 2k", x, y, 6
    x, y = make_regression(n_samples=5000, n_features=20, n_informative=10, noise=10.0,
                           random_state=0)
    yield "make_regression 5k", x, y, 4
    x, y = make_regression(n_samples=20000, n_features=20, n_informative=10, noise=10.0,
                           random_state=1)
    yield "make_regression 20k", x, y, 2


def classification_sets():
    yield "breast_cancer", *load_breast_cancer(return_X_y=True), 8
    yield "wine", *load_wine(return_X_y=True), 8
    yield "iris", *load_iris(return_X_y=True), 8
    yield "digits", *load_digits(return_X_y=True), 3
    x, y = make_classification(n_samples=3000, n_features=20, n_informative=8, flip_y=0.05,
                               random_state=0)
    yield "binary 3k", x, y, 4
    x, y = make_classification(n_samples=20000, n_features=20, n_informative=8, flip_y=0.05,
                               random_state=1)
    yield "binary 20k", x, y, 2
    x, y = make_classification(n_samples=6000, n_features=20, n_informative=10, n_classes=4,
                               n_clusters_per_class=2, random_state=2)
    yield "4 classes 6k", x, y, 2


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


def conformal_half_width(residuals, alpha):
    n = len(residuals)
    k = math.ceil((n + 1) * (1 - alpha))
    return math.inf if k > n else float(np.sort(residuals)[k - 1])


def split_conformal_lgbm(x_train, y_train, x_test, fraction, seed):
    """LightGBM at its defaults grown on all but `fraction` of the training
    rows, intervals from the held-out rows' absolute residuals."""
    x_fit, x_cal, y_fit, y_cal = train_test_split(x_train, y_train, test_size=fraction,
                                                  random_state=seed)
    model = lightgbm.LGBMRegressor(verbose=-1, n_jobs=THREADS).fit(x_fit, y_fit)
    q = conformal_half_width(np.abs(y_cal - model.predict(x_cal)), ALPHA)
    p = model.predict(x_test)
    return p - q, p + q


def run_regression():
    print("regression: R^2 (higher is better), 90% intervals")
    head = ("set", "tw R2", "lgbm R2", "hgb R2", "fit x", "pred x", "tw cov", "lg cov",
            "width x")
    print("".join(h.rjust(10) if i else h.ljust(22) for i, h in enumerate(head)))
    wins = total = 0
    for name, x, y, repeats in regression_sets():
        if ONLY and ONLY not in name:
            continue
        repeats = max(1, repeats // 2) if QUICK else repeats
        acc = {"tw": [], "lgbm": [], "hgb": []}
        times = {"tw": [], "lgbm": []}
        cov = {"tw": [], "lgbm": []}
        width = {"tw": [], "lgbm": []}
        for seed in range(repeats):
            xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=seed)
            tw = tarnwood.BoostedRegressor(random_state=seed, n_jobs=THREADS, **OVERRIDES)
            _, t_fit = timed(lambda: tw.fit(xtr, ytr))
            p, t_pred = timed(lambda: tw.predict(xte))
            acc["tw"].append(r2_score(yte, p))
            lo, hi = tw.predict_interval(xte, alpha=ALPHA).T
            cov["tw"].append(np.mean((yte >= lo) & (yte <= hi)))
            width["tw"].append(np.mean(hi - lo))
            lg = lightgbm.LGBMRegressor(verbose=-1, n_jobs=THREADS)
            _, l_fit = timed(lambda: lg.fit(xtr, ytr))
            p, l_pred = timed(lambda: lg.predict(xte))
            acc["lgbm"].append(r2_score(yte, p))
            times["tw"].append((t_fit, t_pred))
            times["lgbm"].append((l_fit, l_pred))
            lo, hi = split_conformal_lgbm(xtr, ytr, xte, tw.conformal_fraction, seed)
            cov["lgbm"].append(np.mean((yte >= lo) & (yte <= hi)))
            width["lgbm"].append(np.mean(hi - lo))
            hgb = HistGradientBoostingRegressor(random_state=seed).fit(xtr, ytr)
            acc["hgb"].append(r2_score(yte, hgb.predict(xte)))
        t = np.min(times["tw"], axis=0) / np.min(times["lgbm"], axis=0)
        m = {k: np.mean(v) for k, v in acc.items()}
        wins += m["tw"] >= m["lgbm"] - 1e-3
        total += 1
        cells = (name, m["tw"], m["lgbm"], m["hgb"], t[0], t[1], np.mean(cov["tw"]),
                 np.mean(cov["lgbm"]), np.mean(width["tw"]) / np.mean(width["lgbm"]))
        print("".join(c.ljust(22) if i == 0 else f"{c:10.3f}" for i, c in enumerate(cells)))
    print(f"R^2 within 0.001 of LightGBM or better on {wins} of {total} sets\n")


def run_classification():
    print("classification: log-loss (lower is better), accuracy")
    head = ("set", "tw LL", "lgbm LL", "hgb LL", "tw acc", "lgbm acc", "hgb acc", "fit x",
            "pred x")
    print("".join(h.rjust(10) if i else h.ljust(22) for i, h in enumerate(head)))
    wins = total = 0
    for name, x, y, repeats in classification_sets():
        if ONLY and ONLY not in name:
            continue
        repeats = max(1, repeats // 2) if QUICK else repeats
        ll = {"tw": [], "lgbm": [], "hgb": []}
        acc = {"tw": [], "lgbm": [], "hgb": []}
        times = {"tw": [], "lgbm": []}
        for seed in range(repeats):
            xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=seed,
                                                  stratify=y)
            models = {
                "tw": tarnwood.BoostedClassifier(random_state=seed, n_jobs=THREADS, **OVERRIDES),
                "lgbm": lightgbm.LGBMClassifier(verbose=-1, n_jobs=THREADS),
                "hgb": HistGradientBoostingClassifier(random_state=seed),
            }
            for key, model in models.items():
                _, t_fit = timed(lambda: model.fit(xtr, ytr))
                proba, t_pred = timed(lambda: model.predict_proba(xte))
                ll[key].append(log_loss(yte, proba, labels=model.classes_))
                acc[key].append(accuracy_score(yte, model.classes_[np.argmax(proba, axis=1)]))
                if key in times:
                    times[key].append((t_fit, t_pred))
        t = np.min(times["tw"], axis=0) / np.min(times["lgbm"], axis=0)
        a = {k: np.mean(v) for k, v in acc.items()}
        l = {k: np.mean(v) for k, v in ll.items()}
        wins += l["tw"] <= l["lgbm"] * 1.01
        total += 1
        cells = (name, l["tw"], l["lgbm"], l["hgb"], a["tw"], a["lgbm"], a["hgb"], t[0], t[1])
        print("".join(c.ljust(22) if i == 0 else f"{c:10.3f}" for i, c in enumerate(cells)))
    print(f"log-loss within 1% of LightGBM or better on {wins} of {total} sets\n")


if __name__ == "__main__":
    if OVERRIDES:
        print("tarnwood settings:", OVERRIDES)
    started = time.perf_counter()
    run_regression()
    run_classification()
    print(f"suite time {time.perf_counter() - started:.0f} s")
