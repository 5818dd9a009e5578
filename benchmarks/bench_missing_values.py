"""Forests on data with missing values, against scikit-learn's forests with
their native missing-value support.

Data: make_classification / make_regression (--rows x 30, 10 informative,
seed 0), half for training and half held out; 100 trees, max_features
"sqrt", unlimited depth, n_jobs=2 everywhere. Reports:

  1. random missingness (--share of every feature's values NaN, at random):
     fit time of ForestClassifier / ForestRegressor against scikit-learn's
     RandomForestClassifier / RandomForestRegressor on the same holed data
     (target: at least 10x faster), our fit on the holed data over our fit
     on the complete data (target: at most 1.3), and held-out accuracy / R²
     of both libraries on the holed data (target: within 0.5 points);
  2. informative missingness (x0 is missing exactly when the label's hidden
     cause holds, and x0 itself is noise): held-out accuracy of our forest
     on the raw data against mean imputation followed by our forest.

    python benchmarks/bench_missing_values.py [--rows 200000] [--share 0.2] [--repeats 2]

Needs scikit-learn 1.4 or later.
"""
import argparse

import numpy as np

from timing import best


def data(task, rows):
    from sklearn.datasets import make_classification, make_regression

    if task == "classification":
        x, y = make_classification(n_samples=rows, n_features=30, n_informative=10,
                                   random_state=0)
    else:
        x, y = make_regression(n_samples=rows, n_features=30, n_informative=10, noise=10.0,
                               random_state=0)
    half = rows // 2
    return x[:half], y[:half], x[half:], y[half:]


def holed(x, share, seed):
    x = x.copy()
    x[np.random.default_rng(seed).random(x.shape) < share] = np.nan
    return x


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=200000)
    ap.add_argument("--share", type=float, default=0.2)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()

    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    import tarnwood

    common = dict(n_estimators=args.trees, max_features="sqrt", n_jobs=2, random_state=0)
    print(f"{args.rows // 2} training rows x 30, {args.share:.0%} missing at random, "
          f"{args.trees} trees, n_jobs=2")
    for task in ("classification", "regression"):
        ours_cls = tarnwood.ForestClassifier if task == "classification" else tarnwood.ForestRegressor
        peer_cls = RandomForestClassifier if task == "classification" else RandomForestRegressor
        x, y, xt, yt = data(task, args.rows)
        xh, xth = holed(x, args.share, 1), holed(xt, args.share, 2)
        t_full, _ = best(lambda: ours_cls(**common).fit(x, y), args.repeats)
        t_ours, ours = best(lambda: ours_cls(**common).fit(xh, y), args.repeats)
        t_peer, peer = best(lambda: peer_cls(**common).fit(xh, y), 1)
        s_ours, s_peer = ours.score(xth, yt), peer.score(xth, yt)
        print(f"{task}: fit holed {t_ours:.2f} s, complete {t_full:.2f} s "
              f"(holed/complete {t_ours / t_full:.2f}); scikit-learn {t_peer:.2f} s "
              f"({t_peer / t_ours:.1f}x); held-out score {s_ours:.4f} vs {s_peer:.4f} "
              f"(gap {100 * (s_peer - s_ours):+.2f} points)")

    # Informative missingness: the label's cause shows only in whether x0 is
    # missing.
    rng = np.random.default_rng(3)
    n = min(args.rows, 40000)
    x = rng.normal(size=(n, 10))
    cause = rng.random(n) < 0.3
    y = (cause ^ (rng.random(n) < 0.1)) ^ (x[:, 1] + 0.5 * x[:, 2] > 1.5)
    x[cause, 0] = np.nan
    half = n // 2
    forest = dict(n_estimators=args.trees, n_jobs=2, random_state=0)
    raw = tarnwood.ForestClassifier(**forest).fit(x[:half], y[:half]).score(x[half:], y[half:])
    means = np.nanmean(x[:half], axis=0)
    imputed = np.where(np.isnan(x), means, x)
    imp = tarnwood.ForestClassifier(**forest).fit(imputed[:half], y[:half]).score(
        imputed[half:], y[half:])
    print(f"informative missingness ({half} rows): accuracy with NaN {raw:.4f}, "
          f"mean-imputed {imp:.4f} ({100 * (raw - imp):+.2f} points)")


if __name__ == "__main__":
    main()
