"""DecisionTree against scikit-learn's exact trees.

Classification on make_classification and regression on make_regression,
100,000 rows x 30 features, 80/20 split, fixed seeds. Both libraries grow
full trees over all features with the same min_samples_split/leaf. Fit and
predict (cheap, so repeated more often) are timed in the same run, best of
several; prints times, speed-up ratios and test
accuracy / R^2 of both.

    PYTHONPATH=build python benchmarks/bench_decision_tree.py [--rows N] [--repeat R]
"""
import argparse
import time

import numpy as np

import _rs

try:
    from sklearn.datasets import make_classification, make_regression
    from sklearn.model_selection import train_test_split
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor
except ImportError as exc:  # pragma: no cover
    raise SystemExit("scikit-learn is needed for this benchmark: pip install scikit-learn") from exc


def best_time(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def accuracy(y, p):
    return float(np.mean(np.asarray(p) == y))


def r2(y, p):
    p = np.asarray(p)
    return float(1.0 - np.sum((y - p) ** 2) / np.sum((y - y.mean()) ** 2))


def run(task, rows, repeat, mss, msl):
    if task == "classification":
        x, y = make_classification(n_samples=rows, n_features=30, n_informative=15,
                                   n_redundant=5, n_classes=3, random_state=0)
        sk = DecisionTreeClassifier(min_samples_split=mss, min_samples_leaf=msl, random_state=0)
        score, score_name = accuracy, "accuracy"
    else:
        x, y = make_regression(n_samples=rows, n_features=30, n_informative=20, noise=10.0,
                               random_state=0)
        sk = DecisionTreeRegressor(min_samples_split=mss, min_samples_leaf=msl, random_state=0)
        score, score_name = r2, "R^2"
    x = np.ascontiguousarray(x, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.2, random_state=0)
    xtr, xte = np.ascontiguousarray(xtr), np.ascontiguousarray(xte)
    ytr, yte = np.ascontiguousarray(ytr), np.ascontiguousarray(yte)

    tw = _rs.DecisionTree(task=task, random_state=0, min_samples_split=mss, min_samples_leaf=msl)
    tw_fit, _ = best_time(lambda: tw.fit(xtr, ytr), repeat)
    tw_pred_t, tw_pred = best_time(lambda: tw.predict(xte), 5 * repeat)
    sk_fit, _ = best_time(lambda: sk.fit(xtr, ytr), repeat)
    # Like for like: both return a Python list of floats.
    sk_pred_t, sk_pred = best_time(lambda: sk.predict(xte).tolist(), 5 * repeat)

    print(f"{task}: {rows} rows x 30 features, train {len(ytr)}, test {len(yte)}")
    print(f"  tarnwood      fit {tw_fit:8.3f}s  predict {tw_pred_t:8.4f}s  "
          f"{score_name} {score(yte, tw_pred):.4f}  depth {tw.get_depth()} leaves {tw.get_n_leaves()}")
    print(f"  scikit-learn  fit {sk_fit:8.3f}s  predict {sk_pred_t:8.4f}s  "
          f"{score_name} {score(yte, sk_pred):.4f}  depth {sk.get_depth()} leaves {sk.get_n_leaves()}")
    print(f"  speed-up      fit {sk_fit / tw_fit:6.2f}x  predict {sk_pred_t / tw_pred_t:6.2f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--min-samples-split", type=int, default=2)
    ap.add_argument("--min-samples-leaf", type=int, default=1)
    ap.add_argument("--task", choices=["classification", "regression", "both"], default="both")
    args = ap.parse_args()
    tasks = ["classification", "regression"] if args.task == "both" else [args.task]
    for task in tasks:
        run(task, args.rows, args.repeat, args.min_samples_split, args.min_samples_leaf)


if __name__ == "__main__":
    main()
