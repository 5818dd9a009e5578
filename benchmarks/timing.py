"""Timing helper shared by the benchmark scripts."""
import time


def best(f, k):
    """Runs f() k times; returns the fastest time in seconds and the last result."""
    t = float("inf")
    out = None
    for _ in range(k):
        t0 = time.perf_counter()
        out = f()
        t = min(t, time.perf_counter() - t0)
    return t, out
