"""Forests on data with a categorical feature whose effect is not ordered.

Data (seed 0): --rows rows, half for training and half held out; column 0 is
a category of 50 levels (a pandas `category` column), each level with an
effect drawn at random, and 10 numeric columns (the first five carry the
Friedman #1 signal, the others are noise). Classification thresholds the
regression target at its median; the multiclass task cuts it at its
quintiles (5 classes: the heuristic order of the category search).

Compared, on the same data in the same run (100 trees, n_jobs=2):
  - tarnwood forests with category-set splits (categorical_features from
    the dtype), with the category's integer codes read as numbers
    (categorical_features=None), and with one-hot columns;
  - LightGBM in random-forest mode (bagging 0.632 of the rows per tree,
    every feature) with its native categorical handling;
  - scikit-learn's HistGradientBoosting (100 iterations) with the same
    categorical column.
Reports fit seconds (best of --repeats) and held-out accuracy / R².
Targets: category splits at least 2 points above integer codes, within
noise of one-hot, fit at most 1.5x the integer codes' and faster than
one-hot.

    python benchmarks/bench_categorical.py [--rows 200000] [--repeats 2]
"""
import argparse

import numpy as np

from timing import best


def data(rows, task, seed=0):
    import pandas as pd

    rng = np.random.default_rng(seed)
    cat = rng.integers(0, 50, rows)
    effect = rng.normal(scale=4.0, size=50)
    num = rng.uniform(size=(rows, 10))
    friedman = (10 * np.sin(np.pi * num[:, 0] * num[:, 1]) + 20 * (num[:, 2] - 0.5) ** 2
                + 10 * num[:, 3] + 5 * num[:, 4])
    y = effect[cat] + friedman + rng.normal(size=rows)
    if task == "classification":
        y = (y > np.median(y)).astype(int)
    elif task == "multiclass":
        y = np.searchsorted(np.quantile(y, [0.2, 0.4, 0.6, 0.8]), y)
    frame = pd.DataFrame(num, columns=[f"x{i}" for i in range(10)])
    frame.insert(0, "level", pd.Categorical([f"L{c:02d}" for c in cat]))
    half = rows // 2
    return frame.iloc[:half], y[:half], frame.iloc[half:], y[half:]


def encodings(train, test):
    """The frames as integer codes and as one-hot columns."""
    import pandas as pd

    codes = [f.assign(level=f["level"].cat.codes.astype(float)) for f in (train, test)]
    hot = [pd.get_dummies(f, columns=["level"], dtype=float) for f in (train, test)]
    return codes, hot


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=200000)
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()

    import lightgbm as lgb
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
    from sklearn.metrics import accuracy_score, r2_score

    import tarnwood

    print(f"rows {args.rows} (half held out), 50 levels + 10 numeric columns, 100 trees, n_jobs=2")
    for task in ("classification", "multiclass", "regression"):
        train, y, test, y_test = data(args.rows, task)
        (codes, codes_test), (hot, hot_test) = encodings(train, test)
        classify = task != "regression"
        Forest = tarnwood.ForestClassifier if classify else tarnwood.ForestRegressor
        score = accuracy_score if classify else r2_score
        runs = {
            "tarnwood, category sets": (lambda: Forest(n_estimators=100, n_jobs=2, random_state=0),
                                        train, test),
            "tarnwood, integer codes": (
                lambda: Forest(n_estimators=100, n_jobs=2, random_state=0, categorical_features=None),
                codes, codes_test),
            "tarnwood, one-hot": (
                lambda: Forest(n_estimators=100, n_jobs=2, random_state=0, categorical_features=None),
                hot, hot_test),
        }
        lgb_cls = lgb.LGBMClassifier if classify else lgb.LGBMRegressor
        runs["LightGBM rf, native"] = (
            lambda: lgb_cls(boosting_type="rf", n_estimators=100, subsample=0.632, subsample_freq=1,
                            num_leaves=4096, min_child_samples=1, n_jobs=2, verbose=-1,
                            random_state=0),
            train, test)
        hgb = HistGradientBoostingClassifier if classify else HistGradientBoostingRegressor
        runs["sklearn HistGB, native"] = (
            lambda: hgb(categorical_features="from_dtype", random_state=0), train, test)
        print(f"\n{task}")
        print(f"  {'model':<26} {'fit s':>8} {'held-out':>9}")
        results = {}
        for name, (make, fit_x, test_x) in runs.items():
            seconds, model = best(lambda: make().fit(fit_x, y), args.repeats)
            results[name] = (seconds, score(y_test, model.predict(test_x)))
            print(f"  {name:<26} {seconds:8.2f} {results[name][1]:9.4f}")
        ours, codes_r, hot_r = (results[k] for k in list(runs)[:3])
        print(f"  category sets - integer codes: {100 * (ours[1] - codes_r[1]):+.2f} points "
              f"(target >= +2), - one-hot: {100 * (ours[1] - hot_r[1]):+.2f} points")
        print(f"  fit: {ours[0] / codes_r[0]:.2f}x integer codes (target <= 1.5), "
              f"{ours[0] / hot_r[0]:.2f}x one-hot (target < 1), "
              f"{ours[0] / results['LightGBM rf, native'][0]:.2f}x LightGBM rf, "
              f"{ours[0] / results['sklearn HistGB, native'][0]:.2f}x HistGB")


if __name__ == "__main__":
    main()
