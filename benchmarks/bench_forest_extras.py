"""Out-of-bag estimates and permutation importances of the forests against
scikit-learn.

Data: make_classification(--rows x 30, 10 informative, seed 0) split in two
halves: a training half and a held-out half of the same size. 100 trees,
max_features "sqrt", unlimited depth, n_jobs=2 everywhere. Reports (best of
--repeats calls each; the two fits of item 1 alternate):

  1. ForestClassifier / ForestRegressor fit time with oob_score=True over
     the fit time without (target: at most 1.1);
  2. our oob_score_ beside scikit-learn's RandomForestClassifier /
     RandomForestRegressor oob_score_ on the same data and settings (target:
     within 0.5 points, i.e. 0.005);
  3. oob_permutation_importance(n_repeats=5) against
     sklearn.inspection.permutation_importance(n_repeats=5) on the held-out
     half, run on our forest and on scikit-learn's (target: at least 10x);
  4. splitter="random" (bootstrap=False) against scikit-learn's
     ExtraTreesClassifier / ExtraTreesRegressor defaults: fit time and
     held-out score (target: at least 5x faster);
  5. classifier only: fit time with criterion="entropy" over the fit time
     with "gini" (the two fits alternate), unit weights and random weights,
     and their held-out scores.

    python benchmarks/bench_forest_extras.py [--rows 40000] [--trees 100] [--repeats 3]

Needs scikit-learn.
"""
import argparse
import time

import numpy as np

from timing import best


def best_pair(f, g, k):
    """Best of k calls of f and of g, the calls alternating so that load
    changes on the machine hit both alike."""
    tf = tg = float("inf")
    out = None
    for _ in range(k):
        t0 = time.perf_counter()
        f()
        tf = min(tf, time.perf_counter() - t0)
        t0 = time.perf_counter()
        out = g()
        tg = min(tg, time.perf_counter() - t0)
    return tf, tg, out


def data(task, rows):
    from sklearn.datasets import make_classification, make_regression

    if task == "clf":
        x, y = make_classification(n_samples=rows, n_features=30, n_informative=10, random_state=0)
    else:
        x, y = make_regression(n_samples=rows, n_features=30, n_informative=10, noise=10.0,
                               random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float64)
    half = rows // 2
    return x[:half], y[:half], x[half:], y[half:]


def main():
    from sklearn.ensemble import (ExtraTreesClassifier, ExtraTreesRegressor,
                                  RandomForestClassifier, RandomForestRegressor)
    from sklearn.inspection import permutation_importance

    from tarnwood import ForestClassifier, ForestRegressor

    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=40_000)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    common = dict(n_estimators=args.trees, max_features="sqrt", random_state=0, n_jobs=2)
    print(f"rows {args.rows // 2} training + {args.rows // 2} held out, 30 features, "
          f"{args.trees} trees, max_features='sqrt', n_jobs=2")
    for task, ours_cls, theirs_cls in (("clf", ForestClassifier, RandomForestClassifier),
                                       ("reg", ForestRegressor, RandomForestRegressor)):
        x, y, xt, yt = data(task, args.rows)
        plain, with_oob, ours = best_pair(lambda: ours_cls(**common).fit(x, y),
                                          lambda: ours_cls(oob_score=True, **common).fit(x, y),
                                          args.repeats)
        theirs_fit, theirs = best(lambda: theirs_cls(oob_score=True, **common).fit(x, y), 1)
        print(f"\n[{task}] fit {plain:.3f} s, with oob_score {with_oob:.3f} s: "
              f"ratio {with_oob / plain:.3f} (target <= 1.1)")
        print(f"[{task}] oob_score_ ours {ours.oob_score_:.4f}, scikit-learn "
              f"{theirs.oob_score_:.4f}: difference {abs(ours.oob_score_ - theirs.oob_score_):.4f} "
              f"(target <= 0.005); held-out score ours {ours.score(xt, yt):.4f}, "
              f"scikit-learn {theirs.score(xt, yt):.4f}; scikit-learn fit {theirs_fit:.1f} s")
        oob_perm, result = best(
            lambda: ours.oob_permutation_importance(x, y, n_repeats=5, random_state=0), args.repeats)
        sk_ours, _ = best(lambda: permutation_importance(ours, xt, yt, n_repeats=5, random_state=0,
                                                         n_jobs=2), 1)
        sk_theirs, sk = best(lambda: permutation_importance(theirs, xt, yt, n_repeats=5,
                                                            random_state=0, n_jobs=2), 1)
        top_ours = np.argsort(-result.importances_mean)[:10]
        top_sk = np.argsort(-sk.importances_mean)[:10]
        print(f"[{task}] oob_permutation_importance {oob_perm:.3f} s; permutation_importance on "
              f"the held-out half: our forest {sk_ours:.2f} s ({sk_ours / oob_perm:.1f}x), "
              f"scikit-learn's forest {sk_theirs:.2f} s ({sk_theirs / oob_perm:.1f}x) "
              f"(target >= 10x)")
        print(f"[{task}] top-10 features shared with scikit-learn's ranking: "
              f"{len(set(top_ours) & set(top_sk))}/10")
        extra = dict(common, max_features="sqrt" if task == "clf" else 1.0)
        et_ours, et = best(lambda: ours_cls(splitter="random", bootstrap=False, **extra).fit(x, y),
                           args.repeats)
        peer = ExtraTreesClassifier if task == "clf" else ExtraTreesRegressor
        et_theirs, et_sk = best(lambda: peer(**extra).fit(x, y), 1)
        print(f"[{task}] extra trees: fit {et_ours:.3f} s, scikit-learn {et_theirs:.3f} s: "
              f"{et_theirs / et_ours:.1f}x (target >= 5x); held-out score ours "
              f"{et.score(xt, yt):.4f}, scikit-learn {et_sk.score(xt, yt):.4f}")
        if task != "clf":
            continue
        weights = np.random.default_rng(0).uniform(0.5, 2.0, size=len(y))
        for label, w in (("unit weights", None), ("random weights", weights)):
            gini, entropy, by_entropy = best_pair(
                lambda: ours_cls(**common).fit(x, y, sample_weight=w),
                lambda: ours_cls(criterion="entropy", **common).fit(x, y, sample_weight=w),
                args.repeats)
            print(f"[{task}] criterion, {label}: fit gini {gini:.3f} s, entropy {entropy:.3f} s: "
                  f"ratio {entropy / gini:.2f}; held-out score with entropy "
                  f"{by_entropy.score(xt, yt):.4f}")


if __name__ == "__main__":
    main()
