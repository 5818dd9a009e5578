"""Times the engine's main workloads in two builds of the extension, in one
run, to show that a change made nothing slower.

    python benchmarks/bench_engine_ab.py BEFORE_DIR AFTER_DIR [--rounds 3]

Each directory is put on PYTHONPATH in its own process (a build folder or a
`pip install --target` folder holding `_rs`). The builds take turns, round
after round, so that a change in machine load falls on both; each workload
reports the best time of each build over the rounds and the ratio
after / before (below 1 is faster).

Workloads: forest fit and predict (binary, multiclass, regression), the
boosted regressor and classifier, the explainer of one deep tree, and the
unsupervised forest with its proximity matrix.
"""
import argparse
import json
import os
import subprocess
import sys

WORKER = r'''
import json, sys, time
import numpy as np
import _rs

def best(f, k=1):
    t = float("inf")
    for _ in range(k):
        t0 = time.perf_counter(); f(); t = min(t, time.perf_counter() - t0)
    return t

rng = np.random.default_rng(0)
out = {}
x = rng.normal(size=(50000, 30)); xt = rng.normal(size=(20000, 30))
yb = (x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(size=50000) > 0).astype(float)
ym = np.digitize(x[:, 0] + 0.5 * x[:, 3], [-1.5, -0.5, 0.0, 0.5, 1.5]).astype(float)
yr = x[:, 0] * 2 + np.sin(3 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.3, size=50000)
for name, cls, y in (("forest binary", _rs.RandomForestClassifier, yb),
                     ("forest 6 classes", _rs.RandomForestClassifier, ym),
                     ("forest regression", _rs.RandomForestRegressor, yr)):
    m = cls(n_estimators=50, max_features="sqrt", random_state=0)
    out[name + " fit"] = best(lambda: m.fit(x, y))
    out[name + " predict"] = best(lambda: m.predict(xt), 3)
xs, ys = x[:10000, :10], yr[:10000]
b = _rs.TarnwoodRegressor(n_estimators=10, rf_n_estimators=10, random_state=0)
out["boosted regressor fit"] = best(lambda: b.fit(xs, ys))
out["boosted regressor predict_ci"] = best(lambda: b.predict_ci(xt[:, :10]), 3)
c = _rs.TarnwoodClassifier(n_estimators=10, rf_n_estimators=10, random_state=0)
out["boosted classifier fit"] = best(lambda: c.fit(xs, yb[:10000]))
t = _rs.DecisionTree(max_depth=12, random_state=0)
t.fit(x[:20000], ym[:20000])
ex = _rs.TreeSHAP(t, x[:2000], "classifier")
out["explainer depth 12"] = best(lambda: ex.explain(xt[:5000]), 2)
u = _rs.RandomForestUnsupervised(n_estimators=300, random_state=0)
xu = x[:3000, :10]
out["unsupervised fit"] = best(lambda: u.fit(xu))
out["unsupervised proximity"] = best(lambda: u.proximity_matrix(), 3)
print(json.dumps(out))
'''


def run(path):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(path))
    proc = subprocess.run([sys.executable, "-c", WORKER], env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"worker for {path} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    best = {"before": {}, "after": {}}
    for r in range(args.rounds):
        for side in (("before", "after") if r % 2 == 0 else ("after", "before")):
            res = run(getattr(args, side))
            for k, v in res.items():
                best[side][k] = min(v, best[side].get(k, float("inf")))
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)
    print(f"{'workload':32s} {'before s':>9s} {'after s':>9s} {'after/before':>12s}")
    for k, b in best["before"].items():
        a = best["after"][k]
        print(f"{k:32s} {b:9.3f} {a:9.3f} {a / b:12.3f}")


if __name__ == "__main__":
    main()
