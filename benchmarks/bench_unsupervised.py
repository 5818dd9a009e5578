"""Benchmark of RandomForestUnsupervised: fit, proximity_matrix, outlier_scores
and transform for n = 2,000 / 5,000 / 10,000 rows, p = 10, 500 trees.

Optionally compares with R's randomForest package in unsupervised mode with
proximities (Debian package r-cran-randomforest, driven through Rscript); R is
skipped when Rscript or the package is missing.

Each configuration runs in its own process so that peak memory (maximum
resident set size) belongs to that configuration alone.

    python benchmarks/bench_unsupervised.py [--sizes 2000 5000 10000]
        [--trees 500] [--r-sizes 2000 5000] [--jobs N]
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

OURS = textwrap.dedent(
    """
    import json, resource, sys, time
    import numpy as np
    import _rs
    n, p, trees, jobs = (int(a) for a in sys.argv[1:5])
    r = np.random.default_rng(0)
    x = np.vstack([r.normal(0, 1, (n // 2, p)), r.normal(2, 1, (n - n // 2, p))])
    def rss():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    base = rss()
    mf = sys.argv[5] if sys.argv[5] != "-" else None
    m = _rs.RandomForestUnsupervised(n_estimators=trees, random_state=0, max_features=mf,
                                     n_jobs=jobs if jobs > 0 else None)
    t = {}
    t0 = time.perf_counter(); m.fit(x); t["fit"] = time.perf_counter() - t0
    after_fit = rss()
    t0 = time.perf_counter(); P = m.proximity_matrix(); t["proximity"] = time.perf_counter() - t0
    del P
    after_prox = rss()
    t0 = time.perf_counter(); m.outlier_scores(); t["outliers"] = time.perf_counter() - t0
    t0 = time.perf_counter(); m.transform(2); t["transform"] = time.perf_counter() - t0
    print(json.dumps({"times": t, "rss_base_mb": base, "rss_fit_mb": after_fit,
                      "rss_prox_mb": after_prox, "rss_peak_mb": rss()}))
    """
)

R_SCRIPT = textwrap.dedent(
    """
    suppressMessages(library(randomForest))
    args <- commandArgs(trailingOnly = TRUE)
    n <- as.integer(args[1]); p <- as.integer(args[2]); trees <- as.integer(args[3])
    set.seed(0)
    h <- n %/% 2
    x <- rbind(matrix(rnorm(h * p), h, p), matrix(rnorm((n - h) * p, 2), n - h, p))
    mtry <- as.integer(args[4])
    tf <- proc.time()[["elapsed"]]
    if (args[5] == "1") randomForest(x, ntree = trees, mtry = mtry)
    t0 <- proc.time()[["elapsed"]]
    rf <- randomForest(x, ntree = trees, mtry = mtry, proximity = TRUE, oob.prox = TRUE)
    t1 <- proc.time()[["elapsed"]]
    o <- outlier(rf$proximity)
    t2 <- proc.time()[["elapsed"]]
    if (args[6] == "1") e <- cmdscale(1 - rf$proximity, k = 2)
    t3 <- proc.time()[["elapsed"]]
    cat(sprintf('{"fit_only": %f, "fit_prox": %f, "outliers": %f, "mds": %f}\\n',
                t0 - tf, t1 - t0, t2 - t1, t3 - t2))
    """
)


def child_peak_mb(before):
    after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0
    return after, max(after, before)


def run_ours(n, p, trees, jobs, max_features):
    res = subprocess.run([sys.executable, "-c", OURS, str(n), str(p), str(trees), str(jobs),
                          max_features or "-"],
                         capture_output=True, text=True)
    if res.returncode != 0:
        return {"error": res.stderr.strip().splitlines()[-1:]}
    return json.loads(res.stdout)


def r_available():
    if shutil.which("Rscript") is None:
        return False
    res = subprocess.run(["Rscript", "-e", "suppressMessages(library(randomForest))"],
                         capture_output=True)
    return res.returncode == 0


def run_r(n, p, trees, mtry, fit_only, mds):
    with tempfile.NamedTemporaryFile("w", suffix=".R", delete=False) as f:
        f.write(R_SCRIPT)
        path = f.name
    try:
        # GNU time is not assumed; peak memory of the R child comes from a
        # wrapper process whose own children are only R.
        wrapper = (
            "import resource, subprocess, sys, json;"
            "r = subprocess.run(sys.argv[1:], capture_output=True, text=True);"
            "peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0;"
            "print(json.dumps({'rc': r.returncode, 'out': r.stdout, 'err': r.stderr[-500:],"
            " 'peak': peak}))"
        )
        res = subprocess.run([sys.executable, "-c", wrapper, "Rscript", path, str(n), str(p),
                              str(trees), str(mtry), "1" if fit_only else "0",
                              "1" if mds else "0"],
                             capture_output=True, text=True)
        info = json.loads(res.stdout)
        if info["rc"] != 0:
            return {"error": info["err"]}
        out = json.loads(info["out"].strip().splitlines()[-1])
        out["rss_peak_mb"] = info["peak"]
        return out
    finally:
        os.unlink(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[2000, 5000, 10000])
    ap.add_argument("--r-sizes", type=int, nargs="*", default=[2000, 5000])
    ap.add_argument("--features", type=int, default=10)
    ap.add_argument("--trees", type=int, default=500)
    ap.add_argument("--jobs", type=int, default=0, help="worker threads (0 = all processors)")
    ap.add_argument("--max-features", default=None,
                    help="our max_features (default: all features); R's mtry is set to match")
    ap.add_argument("--r-mds-max", type=int, default=2000,
                    help="run R's cmdscale only up to this n (it is a full eigendecomposition)")
    ap.add_argument("--r-fit-only", action="store_true",
                    help="also time R's fit without proximities, to isolate its proximity cost")
    args = ap.parse_args()
    p, trees = args.features, args.trees
    have_r = r_available() and args.r_sizes
    if not have_r:
        print("R's randomForest not available (or disabled): timing this library alone")

    mf = args.max_features
    if mf is None:
        mtry = p
    elif mf == "sqrt":
        mtry = max(1, int(p ** 0.5))
    elif mf == "log2":
        mtry = max(1, int(np.log2(p)))
    else:
        v = float(mf)
        mtry = max(1, int(v * p)) if v <= 1 else int(v)
    print(f"p = {p}, trees = {trees}, max_features = {mf} (R mtry = {mtry}), "
          "times in seconds, memory = peak RSS in MB")
    for n in args.sizes:
        ours = run_ours(n, p, trees, args.jobs, args.max_features)
        if "error" in ours:
            print(f"n={n}: ours failed: {ours['error']}")
            continue
        t = ours["times"]
        result_mb = n * n * 8 / 2 ** 20
        line = (f"n={n:>6}  ours: fit {t['fit']:.2f}  proximity {t['proximity']:.2f}  "
                f"outliers {t['outliers']:.2f}  transform {t['transform']:.2f}  "
                f"peak {ours['rss_peak_mb']:.0f} MB (after fit {ours['rss_fit_mb']:.0f}, "
                f"n x n float64 result {result_mb:.0f} MB)")
        print(line, flush=True)
        if have_r and n in args.r_sizes:
            r = run_r(n, p, trees, mtry, args.r_fit_only, n <= args.r_mds_max)
            if "error" in r:
                print(f"          R failed: {r['error']}")
                continue
            ours_fp = t["fit"] + t["proximity"]
            print(f"          R:    fit+proximity {r['fit_prox']:.2f}  outliers {r['outliers']:.2f}  "
                  f"mds {r['mds']:.2f}{'' if n <= args.r_mds_max else ' (skipped)'}  peak {r['rss_peak_mb']:.0f} MB   "
                  f"fit+proximity speed-up x{r['fit_prox'] / ours_fp:.1f}", flush=True)
            if args.r_fit_only:
                r_prox = r["fit_prox"] - r["fit_only"]
                print(f"          R fit alone {r['fit_only']:.2f} (proximity share about "
                      f"{r_prox:.2f}); fit speed-up x{r['fit_only'] / t['fit']:.1f}, "
                      f"proximity speed-up x{r_prox / t['proximity']:.1f}", flush=True)


if __name__ == "__main__":
    main()
