"""Distributed forest fits on Dask against local fits, and how fit time
would scale with workers and data size.

Part 1 (measured): make_classification(100,000 x 30, 10 informative, seed
0), ForestClassifier with 400 trees at its defaults (unlimited depth,
max_features "sqrt"). The local fit uses n_jobs=2; the Dask fit runs on a
LocalCluster of 2 worker processes with 1 thread each (the same two cores),
the data a persisted dask array of 10,000-row chunks. The two fits alternate
`--repeat` times and each is timed best of those; the cluster's start-up is not counted, everything else (bin
edges, binning, moving the binned matrix, growing, returning and merging the
trees) is. The script checks that both models are byte for byte the same.

Part 2 (estimated): the measured pieces of the Dask fit put into a model of
a cluster of w workers with c cores each:

    T(w, n) = t_start + t_bin(n) + t_ship(n) + t_grow(n) / (w c) + t_back(n)

with t_grow the local fit's tree-growing time on one core (two-core time x
2), t_bin the edges and binning (one pass over the data, split over the
workers but at least one column block's sort), t_ship the binned matrix
(n x d bytes) sent to every worker, t_back the trees returned to the client
and merged (their saved bytes at the measured rate; the client's link is
shared, so it does not shrink with w), and t_start the scheduling
latency measured on a tiny fit. Assumptions: growth work per tree is
proportional to n log2 n (histogram trees of unlimited depth), the saved
trees to n (leaves grow with the rows), network throughput between
machines equals the measured loopback rate divided by `--network-slowdown`
(default 4), and every worker holds the binned matrix (n x d bytes plus
its working copies) in memory.

    python benchmarks/bench_dask.py [--rows 100000] [--trees 400] [--repeat 2]

Needs dask[distributed] and scikit-learn (pip install 'tarnwood[dask]' scikit-learn).
Time it alone on the machine: flock -x /tmp/tw-cpu.lock python benchmarks/bench_dask.py
"""
import argparse
import math
import pickle

import numpy as np

from timing import best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=30)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=10_000)
    parser.add_argument("--network-slowdown", type=float, default=4.0)
    args = parser.parse_args()

    import dask.array as da
    import distributed
    from sklearn.datasets import make_classification

    import tarnwood
    from tarnwood import _engine
    from tarnwood.dask import DaskForestClassifier

    X, y = make_classification(n_samples=args.rows, n_features=args.features,
                               n_informative=10, random_state=0)
    X = np.ascontiguousarray(X, dtype=np.float64)
    params = dict(n_estimators=args.trees, random_state=0)

    cluster = distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster)
    Xd = da.from_array(X, chunks=(args.chunk, args.features)).persist()
    yd = da.from_array(y, chunks=args.chunk).persist()
    distributed.wait([Xd, yd])
    # Warm the workers (imports), then alternate the two fits so that load
    # from elsewhere on the machine hits both alike.
    DaskForestClassifier(n_estimators=2, random_state=0).fit(Xd, yd)
    local_time = dask_time = math.inf
    for _ in range(args.repeat):
        t, local = best(lambda: tarnwood.ForestClassifier(**params, n_jobs=2).fit(X, y), 1)
        local_time = min(local_time, t)
        t, remote = best(lambda: DaskForestClassifier(**params).fit(Xd, yd), 1)
        dask_time = min(dask_time, t)
    same = pickle.dumps(remote.to_local().model_) == pickle.dumps(local.model_)

    # Pieces of the model.
    tiny_time, _ = best(
        lambda: DaskForestClassifier(n_estimators=2, random_state=0).fit(Xd[:2000], yd[:2000]), 3)
    bin_time, _ = best(lambda: _engine.bin_rows(X, _engine.bin_edges(X, n_jobs=1)), 1)
    state = pickle.dumps(local.model_)
    payload = np.frombuffer(state, dtype=np.uint8)
    ship_time, _ = best(lambda: client.gather(client.scatter(payload, direct=True)), 2)
    client.close()
    cluster.close()

    rate = len(state) / max(ship_time, 1e-9)  # bytes per second, loopback round trip
    grow_core = local_time * 2  # one core's worth of growing
    print(f"data {args.rows} x {args.features}, {args.trees} trees, model {len(state) / 2**20:.0f} MiB")
    print(f"local fit (n_jobs=2):            {local_time:7.2f} s")
    print(f"Dask fit (2 workers x 1 thread): {dask_time:7.2f} s   ratio {dask_time / local_time:.2f}"
          f"   overhead {100 * (dask_time / local_time - 1):+.0f}%   identical model: {same}")
    print(f"pieces: scheduling {tiny_time:.2f} s, binning {bin_time:.2f} s on one core, "
          f"loopback transfer {rate / 2**20:.0f} MiB/s")

    print("\nestimated fit time (s), workers of 8 cores, network "
          f"{rate / args.network_slowdown / 2**20:.0f} MiB/s:")
    sizes = [args.rows, 10 * args.rows, 100 * args.rows]
    workers = [1, 2, 4, 8, 16, 32]
    print("rows \\ workers " + "".join(f"{w:>9d}" for w in workers))
    net = rate / args.network_slowdown
    for n in sizes:
        scale = n / args.rows
        grow = grow_core * scale * math.log2(n) / math.log2(args.rows)
        trees_back = len(state) * scale / net
        ship = n * args.features / net
        row = []
        for w in workers:
            t_bin = bin_time * scale / min(w * 8, args.features) + bin_time * scale / args.features
            row.append(tiny_time + t_bin + ship + grow / (w * 8) + trees_back)
        print(f"{n:>14d} " + "".join(f"{t:9.1f}" for t in row))
    print("(per worker memory: binned matrix n x d bytes plus working copies; at "
          f"{100 * args.rows} rows that is {3 * 100 * args.rows * args.features / 2**30:.1f} GiB)")


if __name__ == "__main__":
    main()
