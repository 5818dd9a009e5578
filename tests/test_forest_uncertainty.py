"""Quantile regression forests and out-of-bag prediction intervals of
ForestRegressor: exact agreement with plain-Python rebuilds from `apply`,
`estimators_samples_` and `trees_`; monotone quantiles; empirical coverage
over many random splits; saved states, warm starts and refused calls."""
import math
import pickle
import zlib
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction

import numpy as np
import pytest

from sklearn.exceptions import NotFittedError

import _rs
from tarnwood import ForestRegressor

EPS = Fraction(2) ** -52


# ---- plain-Python rebuilds ---------------------------------------------------


class Rebuilt:
    """What a fitted forest's public analyses say about its training rows."""

    def __init__(self, forest, X, y, w):
        self.y = np.asarray(y, dtype=np.float64)
        self.w = np.ones(len(y)) if w is None else np.asarray(w, dtype=np.float64)
        self.leaves = forest.apply(X)
        n = len(y)
        self.counts = [np.bincount(s, minlength=n) for s in forest.estimators_samples_]
        self.values = [t.value[:, 0, 0] for t in forest.trees_]
        self.order = np.argsort(self.y, kind="stable")
        self.T = len(self.counts)

    def quantiles(self, pairs, levels):
        """The documented quantile rule over the leaves `pairs` [(tree, node)],
        in exact rational arithmetic."""
        weights, valid, gathered = {}, 0, 0
        for t, node in pairs:
            rows = np.flatnonzero((self.leaves[:, t] == node) & (self.counts[t] > 0))
            total = sum(Fraction(self.w[i]) * int(self.counts[t][i]) for i in rows)
            if total == 0:
                continue
            valid += 1
            gathered += int(self.counts[t][rows].sum())
            for i in rows:
                share = Fraction(self.w[i]) * int(self.counts[t][i]) / total
                weights[i] = weights.get(i, 0) + share
        if valid == 0:
            return [math.nan] * len(levels)
        out = []
        for q in levels:
            reach = (Fraction(q) - (gathered + 2) * EPS) * valid
            cum, answer = Fraction(0), None
            for i in self.order:
                if weights.get(i, 0) > 0:
                    cum += weights[i]
                    answer = self.y[i]
                    if cum >= reach:
                        break
            out.append(answer)
        return out

    def predict_quantiles(self, leaves, levels):
        return np.array([self.quantiles([(t, row[t]) for t in range(self.T)], levels)
                         for row in leaves])

    def oob_quantiles(self, levels):
        return np.array([
            self.quantiles([(t, self.leaves[i, t]) for t in range(self.T)
                            if self.counts[t][i] == 0], levels)
            for i in range(len(self.y))])

    def jackknife(self, leaves, alpha):
        n = len(self.y)
        sums, hits = np.zeros(n), np.zeros(n)
        for t in range(self.T):
            oob = self.counts[t] == 0
            sums[oob] += self.values[t][self.leaves[oob, t]]
            hits += oob
        kept = hits > 0
        residual = np.abs(self.y - sums / np.where(kept, hits, 1))[kept]
        test = np.zeros((len(leaves), n))
        for t in range(self.T):
            oob = self.counts[t] == 0
            test[:, oob] += self.values[t][leaves[:, t]][:, None]
        mean = test[:, kept] / hits[kept]
        m = int(kept.sum())
        k = math.floor(Fraction(alpha) * (m + 1))
        if k < 1:
            return np.column_stack([np.full(len(leaves), -np.inf), np.full(len(leaves), np.inf)])
        low = np.sort(mean - residual, axis=1)[:, k - 1]
        high = np.sort(mean + residual, axis=1)[:, m - k]
        mid = low / 2 + high / 2
        return np.column_stack([np.where(low > high, mid, low), np.where(low > high, mid, high)])

    def conformal_quantiles(self, leaves, alpha):
        levels = [alpha / 2, 1 - alpha / 2]
        oob = self.oob_quantiles(levels)
        kept = ~np.isnan(oob[:, 0])
        scores = np.sort(np.maximum(oob[kept, 0] - self.y[kept], self.y[kept] - oob[kept, 1]))
        m = scores.size
        k = m + 1 - math.floor(Fraction(alpha) * (m + 1))
        width = math.inf if k > m else scores[k - 1]
        q = self.predict_quantiles(leaves, levels)
        low, high = q[:, 0] - width, q[:, 1] + width
        empty = low > high
        mid = q[:, 0] / 2 + q[:, 1] / 2
        return np.column_stack([np.where(empty, mid, low), np.where(empty, mid, high)])


def small_data(seed, n, hetero=False):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2, 2, size=(n, 3))
    noise = (0.1 + np.abs(X[:, 1])) if hetero else 0.5
    y = np.sin(X[:, 0]) * 2 + X[:, 2] + noise * rng.normal(size=n)
    return X, y


LEVELS = [0.0, 0.05, 0.1, 0.25, 1 / 3, 0.5, 0.75, 0.9, 0.95, 1.0]

# (forest settings, fit weights, training rows): few rows against the
# leaves' draws take the engine's per-rank path, many rows its sorted path.
REFERENCE_CASES = {
    "dense": (dict(n_estimators=12), None, 60),
    "sorted": (dict(n_estimators=8), None, 400),
    "sorted-weights": (dict(n_estimators=6, max_samples=0.7), "fraction", 600),
    "shallow": (dict(n_estimators=6, max_depth=2), None, 80),
    "integer-weights": (dict(n_estimators=10, min_samples_leaf=3), "integer", 90),
    "fraction-weights": (dict(n_estimators=9, max_samples=0.4), "fraction", 70),
    "ties": (dict(n_estimators=10, min_samples_leaf=4), "ties", 60),
}


def reference_fit(case):
    params, weights, n = REFERENCE_CASES[case]
    X, y = small_data(7, n + 15)
    rng = np.random.default_rng(1)
    if weights == "ties":
        y = np.round(y)
    w = {"integer": rng.integers(0, 3, size=n).astype(float),
         "fraction": rng.uniform(0.2, 2.0, size=n)}.get(weights)
    forest = ForestRegressor(random_state=5, **params).fit(X[:n], y[:n], sample_weight=w)
    return forest, Rebuilt(forest, X[:n], y[:n], w), X[n:]


@pytest.mark.parametrize("case", sorted(REFERENCE_CASES))
def test_quantiles_equal_a_plain_python_quantile_forest(case):
    forest, ref, X_new = reference_fit(case)
    got = forest.predict_quantiles(X_new, LEVELS)
    assert got.shape == (len(X_new), len(LEVELS))
    np.testing.assert_array_equal(got, ref.predict_quantiles(forest.apply(X_new), LEVELS))
    np.testing.assert_array_equal(forest.model_.oob_quantiles(np.array(LEVELS)),
                                  ref.oob_quantiles(LEVELS))


def test_quantiles_of_many_tied_weighted_rows_follow_their_sorted_targets():
    # Single-leaf trees on every row: each quantile is that of the whole
    # weighted sample. Over 65536 rows the targets are ranked in sorted runs
    # merged pass by pass; ties and weights catch a run or merge out of order.
    rng = np.random.default_rng(3)
    n = 140_000
    X = rng.normal(size=(n, 2))
    y = np.round(rng.normal(size=n) * 4)
    w = rng.uniform(0.5, 2.0, size=n)
    forest = ForestRegressor(n_estimators=2, bootstrap=False, min_samples_split=n + 1,
                             random_state=0).fit(X, y, sample_weight=w)
    levels = [0.01, 0.2, 0.37, 0.5, 0.83, 0.99]
    order = np.argsort(y, kind="stable")
    share = np.cumsum(w[order]) / w.sum()
    expected = [y[order][np.searchsorted(share, q)] for q in levels]
    np.testing.assert_array_equal(forest.predict_quantiles(X[:3], levels),
                                  np.tile(expected, (3, 1)))


@pytest.mark.parametrize("settings", [
    dict(n_estimators=6),
    dict(n_estimators=6, max_leaf_nodes=9),
    dict(n_estimators=6, max_features=1, min_samples_leaf=2),
    dict(n_estimators=5, max_samples=0.5),
    dict(n_estimators=4, max_bins=1000),  # 16-bit bins: the first column's 700 values
])
def test_leaf_samples_follow_the_walk_on_missing_and_categorical_columns(settings):
    # A tree's leaf samples record where its drawn rows ended while it grew;
    # they must be the leaves a walk down the finished tree finds, for rows
    # with missing values, categories and repeated rows alike.
    rng = np.random.default_rng(3)
    n = 900 if "max_bins" in settings else 300
    X = np.column_stack([rng.uniform(-2, 2, n), rng.integers(0, 6, n).astype(float),
                         np.round(rng.uniform(0, 3, n), 1)])
    X[rng.random(n) < 0.2, 0] = np.nan
    X[rng.random(n) < 0.1, 1] = np.nan
    X[150:200] = X[100:150]  # duplicated rows
    y = np.nan_to_num(X[:, 0]) + (np.nan_to_num(X[:, 1]) % 3) + rng.normal(size=n)
    forest = ForestRegressor(random_state=2, categorical_features=[1], **settings).fit(X, y)
    ref = Rebuilt(forest, X, y, None)
    X_new = X[::7]
    np.testing.assert_array_equal(forest.predict_quantiles(X_new, LEVELS),
                                  ref.predict_quantiles(forest.apply(X_new), LEVELS))
    np.testing.assert_array_equal(forest.model_.oob_quantiles(np.array(LEVELS)),
                                  ref.oob_quantiles(LEVELS))


@pytest.mark.parametrize("case", sorted(REFERENCE_CASES))
@pytest.mark.parametrize("alpha", [0.05, 0.1, 0.2, 0.5, 0.875, 0.99])
def test_intervals_equal_plain_python_rebuilds(case, alpha):
    forest, ref, X_new = reference_fit(case)
    leaves = forest.apply(X_new)
    np.testing.assert_array_equal(forest.predict_interval(X_new, alpha=alpha),
                                  ref.jackknife(leaves, alpha))
    np.testing.assert_array_equal(forest.predict_interval(X_new, alpha=alpha, method="quantile"),
                                  ref.conformal_quantiles(leaves, alpha))


def test_out_of_bag_residuals_are_those_of_oob_prediction():
    """The intervals' residuals come from the leaf samples alone; they must be
    the fit's own out-of-bag predictions."""
    X, y = small_data(3, 120)
    forest = ForestRegressor(n_estimators=15, oob_score=True, random_state=2).fit(X, y)
    ref = Rebuilt(forest, X, y, None)
    sums, hits = np.zeros(len(y)), np.zeros(len(y))
    for t in range(ref.T):
        oob = ref.counts[t] == 0
        sums[oob] += ref.values[t][ref.leaves[oob, t]]
        hits += oob
    np.testing.assert_array_equal(sums / hits, forest.oob_prediction_)


def test_tiny_alpha_gives_infinite_intervals():
    X, y = small_data(4, 40)
    forest = ForestRegressor(n_estimators=10, random_state=0).fit(X, y)
    for method in ("jackknife+", "quantile"):
        out = forest.predict_interval(X[:5], alpha=0.01, method=method)  # 0.01 * 41 < 1
        assert np.all(out[:, 0] == -np.inf) and np.all(out[:, 1] == np.inf)


def test_quantiles_are_monotone_and_follow_the_levels():
    X, y = small_data(5, 500, hetero=True)
    forest = ForestRegressor(n_estimators=30, min_samples_leaf=5, random_state=1).fit(X, y)
    levels = np.linspace(0, 1, 41)
    q = forest.predict_quantiles(X[:200], levels)
    assert np.all(np.diff(q, axis=1) >= 0)
    assert np.all(q[:, 0] >= y.min()) and np.all(q[:, -1] <= y.max())
    assert set(np.unique(q)) <= set(y)  # quantiles are training targets
    shuffled = np.random.default_rng(0).permutation(levels.size)
    np.testing.assert_array_equal(forest.predict_quantiles(X[:200], levels[shuffled]),
                                  q[:, shuffled])
    np.testing.assert_array_equal(forest.predict_quantiles(X[:3], 0.5), q[:3, [20]])
    # Wider where the noise is larger (|x1| large).
    spread = q[:, 36] - q[:, 4]
    noisy = np.abs(X[:200, 1]) > 1.2
    quiet = np.abs(X[:200, 1]) < 0.4
    assert spread[noisy].mean() > 1.5 * spread[quiet].mean()


def test_results_do_not_depend_on_threads_and_survive_pickling():
    X, y = small_data(6, 300)
    forest = ForestRegressor(n_estimators=20, random_state=3, n_jobs=1).fit(X, y)
    base = [forest.predict_quantiles(X, LEVELS), forest.predict_interval(X, alpha=0.1),
            forest.predict_interval(X, alpha=0.1, method="quantile")]
    for jobs in (2, -1):
        forest.set_params(n_jobs=jobs)
        other = [forest.predict_quantiles(X, LEVELS), forest.predict_interval(X, alpha=0.1),
                 forest.predict_interval(X, alpha=0.1, method="quantile")]
        for a, b in zip(base, other):
            np.testing.assert_array_equal(a, b)
    again = ForestRegressor(n_estimators=20, random_state=3, n_jobs=2).fit(X, y)
    np.testing.assert_array_equal(again.predict_quantiles(X, LEVELS), base[0])
    loaded = pickle.loads(pickle.dumps(forest))
    np.testing.assert_array_equal(loaded.predict_quantiles(X, LEVELS), base[0])
    np.testing.assert_array_equal(loaded.predict_interval(X, alpha=0.1), base[1])
    assert loaded.model_.__getstate__() == forest.model_.__getstate__()


def test_queries_of_a_fresh_fit_agree_whichever_comes_first():
    # A fit leaves its leaf lists (and the walks of the rows its trees never
    # drew) to the first query: threads asking at once, or a save before any
    # query, see the lists a lone query builds.
    X, y = small_data(7, 3000)

    def fit():
        return ForestRegressor(n_estimators=24, random_state=6, n_jobs=2).fit(X, y)

    def ask(forest, k):
        if k % 2 == 0:
            return forest.predict_quantiles(X[:500], LEVELS)
        return forest.predict_interval(X[:500], alpha=0.1, method="quantile")

    alone = fit()
    state = alone.model_.__getstate__()
    expected = [ask(alone, 0), ask(alone, 1)]
    assert alone.model_.__getstate__() == state
    shared = fit()
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda k: ask(shared, k), range(8)))
    for k, answer in enumerate(got):
        np.testing.assert_array_equal(answer, expected[k % 2])
    assert shared.model_.__getstate__() == state
    # A fit with out-of-bag predictions walks the rows its trees never drew
    # at once; the others walk them for the first query, to the same leaves.
    walked = ForestRegressor(n_estimators=24, random_state=6, n_jobs=2, oob_score=True).fit(X, y)
    np.testing.assert_array_equal(ask(walked, 1), expected[1])


def test_warm_start_keeps_the_leaf_samples_of_a_forest_grown_at_once():
    X, y = small_data(8, 150)
    w = np.random.default_rng(0).uniform(0.5, 2, size=len(y))
    once = ForestRegressor(n_estimators=12, random_state=4).fit(X, y, sample_weight=w)
    grown = ForestRegressor(n_estimators=5, random_state=4, warm_start=True)
    grown.fit(X, y, sample_weight=w).set_params(n_estimators=12).fit(X, y, sample_weight=w)
    assert grown.model_.__getstate__() == once.model_.__getstate__()
    # Kept trees without leaf samples (a state of the previous release) get them again.
    old = ForestRegressor(n_estimators=5, random_state=4, warm_start=True)
    old.fit(X, y, sample_weight=w)
    old.model_ = without_leaf_samples(old.model_, len(y), weighted=True)
    assert not old.model_.has_leaf_samples
    old.set_params(n_estimators=12).fit(X, y, sample_weight=w)
    np.testing.assert_array_equal(old.predict_quantiles(X, LEVELS),
                                  once.predict_quantiles(X, LEVELS))
    # Trees grown on other data share no training set.
    grown.set_params(n_estimators=14).fit(X[:100], y[:100])
    with pytest.raises(ValueError, match="warm_start"):
        grown.predict_quantiles(X, LEVELS)
    with pytest.raises(ValueError, match="warm_start"):
        grown.predict_interval(X)


def without_leaf_samples(model, n, weighted=False):
    """The version-2 state (fit record, no leaf samples) of `model`, fitted on
    n rows (with sample weights other than 1 when `weighted`): what the
    previous release saved."""
    state = model.__getstate__()[:-4]
    tail = 8 + 8 * n + 8 + (8 * n if weighted else 0) + 8 + 4 * n + 8
    for t in range(model.n_estimators):
        nodes = model.tree_arrays(t)["children_left"].size
        draws = model.sample_indices(t).size
        out_of_bag = n - np.unique(model.sample_indices(t)).size
        tail += 8 + 4 * (nodes + 1) + 8 + 4 * (draws + out_of_bag)
    body = bytearray(state[:-tail])
    at = 4 + 8 + len("RandomForestRegressor")
    assert body[at:at + 4] == (3).to_bytes(4, "little")
    body[at:at + 4] = (2).to_bytes(4, "little")
    body += zlib.crc32(bytes(body)).to_bytes(4, "little")
    old = type(model).__new__(type(model))
    old.__setstate__(bytes(body))
    return old


def test_states_of_earlier_releases_load_and_refuse_quantiles_clearly():
    X, y = small_data(9, 80)
    forest = ForestRegressor(n_estimators=6, random_state=0).fit(X, y)
    old = without_leaf_samples(forest.model_, len(y))
    np.testing.assert_array_equal(old.predict(X), forest.predict(X))
    forest.model_ = old
    with pytest.raises(ValueError, match="earlier release"):
        forest.predict_quantiles(X)
    legacy = _rs.RandomForestRegressor(n_estimators=4, random_state=0)
    legacy.fit(X, y)
    forest.model_ = legacy
    with pytest.raises(ValueError, match="fit record"):
        forest.predict_interval(X)
    state = ForestRegressor(n_estimators=3, random_state=0).fit(X, y).model_.__getstate__()
    with pytest.raises(ValueError):
        _rs.RandomForestRegressor().__setstate__(state)


def test_damaged_leaf_samples_are_refused():
    X, y = small_data(10, 50)
    model = ForestRegressor(n_estimators=3, random_state=0).fit(X, y).model_
    state = bytearray(model.__getstate__()[:-4])
    rng = np.random.default_rng(0)
    refused = 0
    for _ in range(60):
        damaged = bytearray(state)
        i = int(rng.integers(len(state) - 1200, len(state)))
        damaged[i] ^= 1 << int(rng.integers(0, 8))
        damaged += zlib.crc32(bytes(damaged)).to_bytes(4, "little")
        target = type(model).__new__(type(model))
        try:
            target.__setstate__(bytes(damaged))
        except ValueError:
            refused += 1
            continue
        target.predict_quantiles(X, np.array(LEVELS))  # whatever loads answers
        target.predict_interval(X, 0.1)
    assert refused > 30


def test_refused_calls_name_the_problem():
    X, y = small_data(11, 60)
    forest = ForestRegressor(n_estimators=5, random_state=0)
    with pytest.raises(NotFittedError):
        forest.predict_quantiles(X)
    forest.fit(X, y)
    for bad in ([], [[0.5]], [0.5, 1.5], [-0.1], [np.nan], "x", None):
        with pytest.raises(ValueError, match="quantiles"):
            forest.predict_quantiles(X, bad)
    for alpha in (0, 1, -0.5, 1.5, np.nan, "0.1", None):
        with pytest.raises(ValueError, match="alpha"):
            forest.predict_interval(X, alpha=alpha)
    with pytest.raises(ValueError, match="method"):
        forest.predict_interval(X, method="split")
    with pytest.raises(ValueError, match="features"):
        forest.predict_quantiles(X[:, :2])
    with pytest.raises(ValueError, match="infinity"):
        forest.predict_interval(np.full((2, 3), np.inf))
    model = forest.model_
    with pytest.raises(ValueError, match="quantiles must lie"):
        model.predict_quantiles(X, np.array([0.2, 2.0]))
    with pytest.raises(ValueError, match="alpha must be in"):
        model.predict_interval(X, 1.0)
    with pytest.raises(ValueError, match="method must be"):
        model.predict_interval(X, 0.1, "other")
    with pytest.raises(ValueError, match="column"):
        model.predict_quantiles(X[:, :1], np.array([0.5]))
    no_bag = ForestRegressor(n_estimators=4, bootstrap=False, random_state=0).fit(X, y)
    assert no_bag.predict_quantiles(X[:3]).shape == (3, 3)
    for method in ("jackknife+", "quantile"):
        with pytest.raises(ValueError, match="bootstrap=True"):
            no_bag.predict_interval(X, method=method)
    # One tree drawing every row leaves no row out.
    full = ForestRegressor(n_estimators=1, max_samples=1.0, random_state=0).fit(X[:1], y[:1])
    with pytest.raises(ValueError, match="out of bag"):
        full.predict_interval(X[:2])
    assert model.predict_interval(X[:0], 0.1).shape == (0, 2)
    assert model.predict_quantiles(X[:0], np.array([0.5])).shape == (0, 1)


# ---- coverage ----------------------------------------------------------------

REPEATS, N_TRAIN, N_TEST = 40, 200, 200
ALPHAS = (0.05, 0.1, 0.2)


def tolerance(alpha):
    """Four standard errors of the mean coverage over REPEATS splits. One
    split's coverage varies with its test rows (binomial, alpha (1 - alpha) /
    N_TEST) and with its training rows (the conformal quantile's own spread,
    about alpha (1 - alpha) / N_TRAIN); the factor 2 allows for the
    out-of-bag estimates' extra noise."""
    return 4 * math.sqrt(2 * alpha * (1 - alpha) * (1 / N_TEST + 1 / N_TRAIN) / REPEATS)


@pytest.fixture(scope="module")
def coverage_runs():
    results = {}
    for hetero in (False, True):
        for r in range(REPEATS):
            X, y = small_data(1000 + r + 100 * hetero, N_TRAIN + N_TEST, hetero)
            forest = ForestRegressor(n_estimators=60, min_samples_leaf=3, random_state=r)
            forest.fit(X[:N_TRAIN], y[:N_TRAIN])
            for method in ("jackknife+", "quantile"):
                for alpha in ALPHAS:
                    iv = forest.predict_interval(X[N_TRAIN:], alpha=alpha, method=method)
                    y_new = y[N_TRAIN:]
                    covered = np.mean((iv[:, 0] <= y_new) & (y_new <= iv[:, 1]))
                    noisy = np.abs(X[N_TRAIN:, 1]) > 1.2
                    width = iv[:, 1] - iv[:, 0]
                    ratio = width[noisy].mean() / width[~noisy].mean()
                    results.setdefault((hetero, method, alpha), []).append((covered, ratio))
    return {k: np.array(v) for k, v in results.items()}


@pytest.mark.parametrize("hetero", [False, True], ids=["homoscedastic", "heteroscedastic"])
@pytest.mark.parametrize("method", ["jackknife+", "quantile"])
@pytest.mark.parametrize("alpha", ALPHAS)
def test_coverage_over_random_splits(coverage_runs, hetero, method, alpha):
    covered = coverage_runs[(hetero, method, alpha)][:, 0]
    tol = tolerance(alpha)
    print(f"{method} hetero={hetero} alpha={alpha}: coverage {covered.mean():.4f} "
          f"(target {1 - alpha}, tolerance {tol:.4f})")
    assert covered.mean() >= 1 - alpha - tol
    # Not bought with needlessly wide intervals: within the tolerance plus
    # the conformal quantile's discreteness above the target.
    assert covered.mean() <= 1 - alpha + tol + 1 / (N_TRAIN + 1)


def test_conformalised_quantiles_widen_with_the_noise(coverage_runs):
    adaptive = coverage_runs[(True, "quantile", 0.1)][:, 1].mean()
    fixed = coverage_runs[(True, "jackknife+", 0.1)][:, 1].mean()
    # Width in the noisy region (noise sd about 1.7) over the rest (about
    # 0.6): the trees split on the signal, not on the noise level, so the
    # quantile forest follows it only in part; jackknife+ not at all.
    assert adaptive > 1.12 and adaptive > fixed + 0.1, (adaptive, fixed)
    assert abs(fixed - 1) < 0.05, fixed
