"""Lossless binning of the package's histogram trees: a column of few
distinct values gets one bin per value with edges halfway between them, a
column of many values gets bins of about equal size (rows blended with
value range) with frequent values kept apart, `max_bins` bounds the bins, and the `_rs` classes keep their own
binning."""
import math

import numpy as np
import pytest

import _rs
import tarnwood._engine as E


def between(a, b):
    mid = a + (b - a) * 0.5
    return mid if np.isfinite(mid) and a <= mid < b else a


def reference_edges(col, max_bins=256):
    """The lossless rule in plain Python (the last edge, +inf, left out):
    with more values than bins, a value's size is rows^(1/4) times
    spread^(3/4), its spread being the rows its gap up to the next value
    holds at the column's mean density, plus a thousandth of its rows; and
    at least a quarter of its rows' share of the sizes."""
    values, counts = np.unique(np.asarray(col, dtype=float), return_counts=True)
    values = [float(v) for v in values]
    size = [float(c) for c in counts]
    d = len(values)
    size_left = float(len(col))
    span = values[-1] - values[0] if d > 1 else 0.0
    if d > max_bins and np.isfinite(span) and span > 0:
        grown = []
        for k in range(d):
            gap = values[k + 1] - values[k] if k + 1 < d else 0.0
            spread = 1e-3 * size[k] + len(col) * (gap / span)
            half = math.sqrt(spread)
            own = 1.0 if size[k] == 1.0 else math.sqrt(math.sqrt(size[k]))
            grown.append(own * (half * math.sqrt(half)))
        total = 0.0  # summed in order, as the fit sums (sum() may compensate)
        for g in grown:
            total += g
        per_row = 0.25 * total / len(col)
        raised = 0.0
        for k in range(d):
            least = size[k] * per_row
            size[k] = max(grown[k], least)
            if least > grown[k]:
                raised += least - grown[k]
        size_left = total + raised
    edges, i, bins_left = [], 0, max_bins
    while i + 1 < d and bins_left > 1:
        if d - i <= bins_left:
            edges += [between(values[j], values[j + 1]) for j in range(i, d - 1)]
            break
        target = size_left / bins_left
        taken = size[i]
        i += 1
        while i + bins_left <= d and taken + 0.5 * size[i] < target:
            taken += size[i]
            i += 1
        edges.append(between(values[i - 1], values[i]))
        size_left -= taken
        bins_left -= 1
    return edges


def bins_of(col, edges):
    return np.searchsorted(np.asarray(edges), col, side="left")


def test_edges_follow_the_rule():
    rng = np.random.default_rng(0)
    columns = [
        rng.integers(0, 200, 5000).astype(float),             # one bin per value
        np.r_[np.zeros(4000), rng.normal(size=6000)],          # a value of 40% of the rows
        rng.normal(size=20000),                                # many values
        np.round(rng.exponential(size=20000), 1),              # a long tail of ties
        np.array([1.0, 2.0]),                                  # the two smallest apart
        np.full(10, 3.0),                                      # constant
        np.array([0.0, 5e-324, 1e300, 1.7976931348623157e308]),  # extremes
    ]
    x = np.column_stack([np.resize(c, 20000) for c in columns])
    for max_bins in (256, 32, 2):
        edges = E.bin_edges(x, max_bins=max_bins)
        for f, col in enumerate(x.T):
            want = reference_edges(col, max_bins)
            got = list(edges[f][:-1])
            assert edges[f][-1] == np.inf
            assert got == want, (f, max_bins)
            # No empty bin, at most max_bins of them.
            used = np.unique(bins_of(col, edges[f]))
            assert len(used) == len(edges[f]) <= max_bins
    # The sparse ends of a normal column get bins no wider than a few
    # shares of its range (bins of equal rows alone would leave its
    # outermost bins a fifth of the range wide), and its dense middle more
    # bins than equal widths would give it.
    normal = x[:, 2]
    normal_edges = E.bin_edges(x[:, 2:3])[0]
    assert len(normal_edges) == 256
    of = bins_of(normal, normal_edges)
    spread = [np.ptp(normal[of == b]) for b in range(256)]
    assert max(spread) < 4 * np.ptp(normal) / 256
    middle = np.abs(normal_edges[:-1]) < 0.5
    assert middle.sum() > 1.5 * 256 / np.ptp(normal)
    few = E.bin_edges(x[:, :1])[0]
    assert len(few) == 200  # 199 midpoints and +inf
    np.testing.assert_array_equal(few[:3], [0.5, 1.5, 2.5])
    zero_heavy = bins_of(x[:, 1], E.bin_edges(x[:, 1:2], max_bins=16)[0])
    assert np.unique(zero_heavy[x[:, 1] == 0.0]).size == 1
    assert not np.isin(zero_heavy[x[:, 1] == 0.0], zero_heavy[x[:, 1] != 0.0]).any()


def test_bin_values_travel_with_the_edges_of_row_block_fits():
    rng = np.random.default_rng(2)
    x = np.column_stack([rng.integers(0, 5, 4000) * 1.5,  # a bin per value
                         rng.normal(size=4000)])           # bins of several values
    edges, values = E.bin_edges(x, values=True)
    np.testing.assert_array_equal(values[0], [0.0, 1.5, 3.0, 4.5, 6.0])
    # A bin's value where it holds one, NaN where it holds several.
    assert len(values[1]) == len(edges[1])
    of = bins_of(x[:, 1], edges[1])
    for b, v in enumerate(values[1]):
        held = np.unique(x[of == b, 1])
        assert (v == held[0]) if held.size == 1 else np.isnan(v)
    assert np.isnan(values[1]).sum() > 200
    assert isinstance(E.bin_edges(x), list)
    bins = np.concatenate([np.searchsorted(e, c) for e, c in zip(edges, x.T)]).astype(np.uint8)
    y = x[:, 0] + rng.normal(size=4000)
    m = E.ForestRegressor(n_estimators=2, random_state=0)
    plan = m.plan_batches(4000, 2)
    grown = m.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2, bin_values=values)
    assert grown == m.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2,
                                 bin_values=[v.copy() for v in values])
    shifted = [values[0] + 1.0, values[1]]
    for bad, message in [(values[:1], "one array per feature"),
                         ([values[0][:-1], values[1]], "empty or one per bin"),
                         (shifted, "outside its bin")]:
        with pytest.raises(ValueError, match=message):
            m.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2, bin_values=bad)
    with pytest.raises(TypeError, match="bin_values"):
        m.grow_batch(bins.tobytes(), edges, y, None, plan, 0, 2, bin_values=(1, 2))


def test_forests_find_every_threshold_of_up_to_256_values():
    rng = np.random.default_rng(1)
    # Steps between neighbouring values of 250: the plain quantile edges
    # merge some neighbours, the lossless ones keep every boundary.
    x = rng.integers(0, 250, (6000, 1)).astype(float)
    y = (x[:, 0] % 7 == 3).astype(float)
    m = E.ForestRegressor(n_estimators=5, random_state=0, bootstrap=False)
    m.fit(x, y)
    assert np.max(np.abs(m.predict(x) - y)) == 0.0
    # Every threshold is a midpoint between training values.
    t = m.tree_arrays(0)["threshold"]
    t = t[m.tree_arrays(0)["children_left"] != -1]
    assert np.all(t % 1.0 == 0.5)
    # The specified classes keep the plain edges on the same data.
    rs = _rs.RandomForestRegressor(n_estimators=5, random_state=0, bootstrap=False)
    rs.fit(x, y)
    assert not np.all(np.asarray(rs.predict(x)) == y)


def test_max_bins_bounds_every_split_and_is_checked():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(3000, 3))
    y = x[:, 0] + rng.normal(size=3000)
    # 1000 takes 16-bit bins: 3000 distinct values a feature.
    for bins in (2, 16, 1000):
        m = E.ForestRegressor(n_estimators=3, random_state=0)
        m.fit(x, y, max_bins=bins)
        edges = E.bin_edges(x, max_bins=bins)
        for t in range(3):
            a = m.tree_arrays(t)
            split = a["children_left"] != -1
            for f, thr in zip(a["feature"][split], a["threshold"][split]):
                assert thr in edges[f]
            assert len(edges[f]) == min(bins, 3000)
    b = E.BoostedRegressor(n_estimators=3, random_state=0)
    b.fit(x, y, max_bins=8)
    for bad in (1, 65537, -1):
        with pytest.raises((ValueError, OverflowError)):
            E.ForestRegressor(n_estimators=2).fit(x, y, max_bins=bad)
    # Boosted rounds bin in bytes only.
    with pytest.raises(ValueError, match="2..256"):
        b.fit(x, y, max_bins=257)


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_wide_matrices_bin_each_column_as_alone(n_jobs):
    # Wide matrices bin their columns in groups read off the rows together:
    # every column's edges and bin values must be those it gets alone, and
    # a full tree on distinct rows (NaN and -0.0 among the values) must
    # route every training row to its own leaf.
    rng = np.random.default_rng(11)
    n, nf = 3000, 19
    x = rng.normal(size=(n, nf))
    x[:, 3] = rng.integers(0, 7, n)          # few values
    x[:, 8] = np.where(rng.random(n) < 0.3, -0.0, x[:, 8])
    x[:, 12] = np.round(x[:, 12], 1)
    edges, values = E.bin_edges(x, n_jobs=n_jobs, values=True)
    for f in range(nf):
        alone_edges, alone_values = E.bin_edges(np.ascontiguousarray(x[:, [f]]), n_jobs=1,
                                                values=True)
        np.testing.assert_array_equal(edges[f], alone_edges[0])
        np.testing.assert_array_equal(values[f], alone_values[0])
    from tarnwood import ForestRegressor
    x[rng.random((n, nf)) < 0.05] = np.nan
    y = np.arange(n, dtype=float)
    tree = ForestRegressor(n_estimators=1, bootstrap=False, max_features=None, random_state=0,
                           n_jobs=n_jobs).fit(x, y)
    np.testing.assert_array_equal(tree.predict(x), y)
