"""RandomForestUnsupervised: fitting, proximities, outliers, embedding, importances."""
import inspect
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _rs

RFU = _rs.RandomForestUnsupervised
NOT_FITTED = "Model has not been fitted"


def clusters(seed=0, n=60, p=3):
    r = np.random.default_rng(seed)
    a = r.normal(0.0, 0.5, (n // 3, p))
    b = r.normal(5.0, 0.5, (n // 3, p))
    c = r.normal(-5.0, 0.5, (n - 2 * (n // 3), p))
    return np.vstack([a, b, c])


@pytest.fixture(scope="module")
def fitted():
    x = clusters()
    m = RFU(n_estimators=60, random_state=4)
    m.fit(x)
    return m, x


# ---- construction and attributes ------------------------------------------

def test_signature_and_defaults():
    assert str(inspect.signature(RFU)) == (
        "(n_estimators=500, max_depth=None, max_features=None, random_state=None, "
        "min_samples_split=2, min_samples_leaf=1, n_jobs=None, n_neighbors=None)"
    )
    m = RFU()
    assert m.n_estimators_ == 500 and m.is_fitted_ is False and m.n_samples_ == 0
    with pytest.raises(ValueError, match=NOT_FITTED):
        m.n_features_
    assert "Breiman's synthetic data method" in RFU.fit.__doc__


def test_argument_conversion():
    with pytest.raises(TypeError, match="max_features"):
        RFU(max_features=0.5)
    with pytest.raises(TypeError, match="n_estimators"):
        RFU(n_estimators=None)
    with pytest.raises(OverflowError):
        RFU(min_samples_leaf=-1)
    with pytest.raises(TypeError):
        RFU(n_estimators=5).fit(np.zeros((4, 2), dtype=np.int64))
    with pytest.raises(TypeError):
        RFU(n_estimators=5).feature_importances(1)


def test_unfitted_methods_raise_value_error():
    m = RFU(n_estimators=5)
    x = np.zeros((2, 2))
    calls = [
        lambda: m.proximity_matrix(), lambda: m.proximity_sparse(3),
        lambda: m.predict_proximity(x), lambda: m.outlier_scores(),
        lambda: m.predict_outlier_scores(x), lambda: m.transform(),
        lambda: m.feature_importances(),
    ]
    for call in calls:
        with pytest.raises(ValueError, match=NOT_FITTED):
            call()
    # Argument conversion comes first.
    with pytest.raises(TypeError, match="k"):
        m.proximity_sparse(k=1.5)


def test_fit_sets_attributes_and_max_features_as_text():
    x = clusters(n=30, p=5)
    for mf in ["sqrt", "7", "nonsense", None]:
        m = RFU(n_estimators=5, max_features=mf, random_state=1)
        m.fit(x)
        assert (m.n_samples_, m.n_features_, m.is_fitted_) == (30, 5, True)


# ---- sound behaviour on bad input -------------------------------------------

def test_bad_fit_input_is_rejected_and_keeps_previous_model(fitted):
    m, x = fitted
    before = m.proximity_matrix()
    bad = x.copy()
    bad[3, 1] = np.nan
    with pytest.raises(ValueError, match=r"row 3, column 1 \(NaN\)"):
        m.fit(bad)
    with pytest.raises(ValueError, match="at least one row and one column"):
        m.fit(np.zeros((0, 3)))
    with pytest.raises(ValueError, match="at least one row and one column"):
        m.fit(np.zeros((4, 0)))
    assert m.n_samples_ == x.shape[0]
    assert m.proximity_matrix() == before


def test_narrow_new_rows_are_rejected(fitted):
    m, x = fitted
    with pytest.raises(ValueError, match="x_new has 1 columns"):
        m.predict_proximity(x[:, :1].copy())
    with pytest.raises(ValueError, match="x_new has 0 columns"):
        m.predict_outlier_scores(np.zeros((2, 0)))
    # Wider rows are fine: only the columns the splits read matter.
    wide = np.hstack([x[:3], np.zeros((3, 2))])
    assert len(m.predict_proximity(wide)) == 3


def test_forest_without_trees_gives_clear_errors():
    x = clusters(n=12)
    m = RFU(n_estimators=0, random_state=0)
    m.fit(x)
    for call in [lambda: m.predict_proximity(x), lambda: m.predict_outlier_scores(x),
                 lambda: m.feature_importances()]:
        with pytest.raises(ValueError, match="no trees"):
            call()
    # Operations that divide by valid comparisons only stay well defined.
    assert m.proximity_matrix() == [[0.0] * 12 for _ in range(12)]
    assert m.outlier_scores() == [0.0] * 12
    assert m.proximity_sparse(2) == [[] for _ in range(12)]


def test_single_row_fit():
    m = RFU(n_estimators=10, random_state=0)
    m.fit(np.array([[1.0, 2.0]]))
    assert m.proximity_sparse(5) == [[]]
    assert len(m.transform()) == 1
    assert len(m.outlier_scores()) == 1


# ---- reproducibility --------------------------------------------------------

SCRIPT = textwrap.dedent(
    """
    import sys, json, numpy as np, _rs
    r = np.random.default_rng(1)
    x = np.vstack([r.normal(0, 1, (40, 3)), r.normal(3, 1, (40, 3))])
    m = _rs.RandomForestUnsupervised(n_estimators=40, random_state=9, max_features="sqrt",
                                     n_jobs=int(sys.argv[1]))
    m.fit(x)
    print(json.dumps([m.proximity_matrix(), m.proximity_sparse(4), m.outlier_scores(),
                      m.transform(2), m.feature_importances(),
                      m.predict_proximity(x[:5] + 0.1)]))
    """
)


def test_same_results_with_one_and_several_threads():
    outs = []
    for jobs in (1, 2, 3):
        res = subprocess.run([sys.executable, "-c", SCRIPT, str(jobs)], capture_output=True,
                             text=True, check=True)
        outs.append(res.stdout)
    assert outs[0] == outs[1] == outs[2]


def test_refit_with_same_seed_is_identical(fitted):
    m, x = fitted
    other = RFU(n_estimators=60, random_state=4)
    other.fit(x)
    assert other.proximity_matrix() == m.proximity_matrix()
    assert other.feature_importances() == m.feature_importances()
    assert m.feature_importances() == m.feature_importances()
    assert m.transform() == m.transform()


# ---- proximities --------------------------------------------------------------

def test_proximity_matrix_rules(fitted):
    m, x = fitted
    n = x.shape[0]
    for use_oob in (True, False):
        P = np.array(m.proximity_matrix(use_oob=use_oob))
        assert P.shape == (n, n)
        assert (P == P.T).all()
        assert P.min() >= 0.0 and P.max() <= 1.0
    P_all = np.array(m.proximity_matrix(use_oob=False))
    assert (np.diag(P_all) == 1.0).all()
    # Every proximity of the all-trees matrix is a multiple of 1/T.
    assert np.allclose(P_all * 60, np.round(P_all * 60))
    # Rows of one cluster are far closer to each other than to other clusters.
    assert P_all[:20, :20].mean() > 5 * P_all[:20, 20:].mean()
    # The all-trees matrix is exactly the new-row proximity of the training rows.
    assert m.predict_proximity(x) == m.proximity_matrix(use_oob=False)


def test_proximity_matrix_leaves_the_garbage_collector_as_it_was(fitted):
    import gc

    m, _ = fitted
    was = gc.isenabled()
    try:
        for state in (True, False):
            (gc.enable if state else gc.disable)()
            m.proximity_matrix()
            assert gc.isenabled() is state
    finally:
        (gc.enable if was else gc.disable)()


def _cell_objects(table):
    cells = {}
    for row in table:
        for v in row:
            cells.setdefault(id(v), [v, 0])[1] += 1
    return list(cells.values())


def test_proximity_lists_share_floats_with_exact_reference_counts():
    # Equal values share one float object; every cell must own exactly one
    # reference to its object, whatever the number of row blocks and workers.
    x = clusters(seed=3, n=300)
    m = RFU(n_estimators=30, random_state=2)
    m.fit(x)
    P_all = m.proximity_matrix(use_oob=False)
    assert P_all == m.predict_proximity(x)  # mirrored and direct tables agree
    del P_all
    probe = [float("0.5"), 0]
    base = sys.getrefcount(probe[0])  # held by one list entry, as each value below
    for make in (m.proximity_matrix, lambda: m.proximity_matrix(use_oob=False),
                 lambda: m.predict_proximity(x[:70] + 0.05)):
        P = make()
        cells = _cell_objects(P)
        assert len(cells) * 10 < sum(len(row) for row in P)
        # (counted outside assert statements, which hold temporaries)
        wrong = [e[1] for e in cells if sys.getrefcount(e[0]) != base + e[1]]
        assert wrong == []
        del P
        wrong = [e[1] for e in cells if sys.getrefcount(e[0]) != base]
        assert wrong == []


def test_proximity_lists_survive_running_out_of_memory():
    # Allocation failures at any point of building the lists must raise and
    # leave the model intact, never release half-built lists as if complete.
    script = textwrap.dedent("""
        import resource, sys
        import numpy as np
        import _rs
        r = np.random.default_rng(0)
        x = np.vstack([r.normal(0, 1, (800, 4)), r.normal(2, 1, (800, 4))])
        m = _rs.RandomForestUnsupervised(n_estimators=20, random_state=0)
        m.fit(x)
        want = m.proximity_matrix()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        seen = set()
        for mb in range(0, 40, 2):
            with open("/proc/self/statm") as f:
                vm = int(f.read().split()[0]) * 4096
            resource.setrlimit(resource.RLIMIT_AS, (vm + (mb << 20), hard))
            try:
                m.proximity_matrix()
                seen.add("ok")
            except BaseException as e:
                seen.add(type(e).__name__)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert m.proximity_matrix() == want
        print(sorted(seen))
    """)
    # One worker thread: the OpenMP runtime ends the process when it cannot
    # start a thread under the address-space cap, which is not what this
    # test is about.
    env = dict(os.environ, OMP_NUM_THREADS="1")
    res = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=300, env=env)
    assert res.returncode == 0, res.stderr[-2000:]
    seen = set(eval(res.stdout.strip().splitlines()[-1]))
    assert seen <= {"ok", "MemoryError", "PanicException"}
    assert "MemoryError" in seen


def test_oob_diagonal_is_zero_for_rows_never_out_of_bag():
    # With one tree, about a third of the rows are out of bag; the rest have
    # no valid comparison with each other.
    x = clusters(n=30)
    m = RFU(n_estimators=1, random_state=2)
    m.fit(x)
    P = np.array(m.proximity_matrix())
    diag = np.diag(P)
    assert set(np.unique(diag)) <= {0.0, 1.0}
    inbag = np.flatnonzero(diag == 0.0)
    assert 0 < len(inbag) < 30
    assert (P[np.ix_(inbag, inbag)] == 0.0).all()


def test_sparse_lists(fitted):
    m, x = fitted
    n = x.shape[0]
    rows = m.proximity_sparse(k=5)
    assert len(rows) == n
    for i, row in enumerate(rows):
        assert len(row) <= 5
        values = [v for _, v in row]
        assert values == sorted(values, reverse=True)
        for j, v in row:
            assert isinstance(j, int) and j != i and 0 <= j < n
            assert 0.0 < v <= 1.0 and math.isclose(v * 60, round(v * 60))
    assert all(len(r) <= 1 for r in m.proximity_sparse())          # n_neighbors=None -> 1
    assert all(len(r) <= 1 for r in m.proximity_sparse(k=0))       # 0 -> 1
    assert all(len(r) <= n - 1 for r in m.proximity_sparse(k=10 ** 6))
    m2 = RFU(n_estimators=20, random_state=0, n_neighbors=3)
    m2.fit(x)
    assert max(len(r) for r in m2.proximity_sparse()) == 3


def test_predict_proximity_of_training_rows_and_far_rows(fitted):
    m, x = fitted
    R = m.predict_proximity(np.vstack([x[:4], np.full((1, 3), 1e9), np.full((1, 3), np.nan)]))
    for i in range(4):
        assert R[i][i] == 1.0
    assert len(R) == 6 and all(len(r) == x.shape[0] for r in R)
    assert m.predict_proximity(np.zeros((0, 3))) == []


# ---- outlier scores -------------------------------------------------------------

def standardise(reference, values):
    s = sorted(reference)
    centre = s[len(s) // 2]
    d = sorted(min(abs(v - centre), 5 * centre) for v in reference)
    total = 0.0
    for v in d:
        total += v
    spread = total / len(reference)
    if not spread > 0:
        spread = 1.0
    return [min((v - centre) / spread, 20.0) for v in values]


def raw_measure(rows, n):
    out = []
    for row in rows:
        s = 0.0
        for v in row:
            s += v * v
        out.append(n / s if s > 0 else 0.0)
    return out


def test_outlier_scores_follow_standardisation(fitted):
    m, x = fitted
    n = x.shape[0]
    raw = raw_measure(m.proximity_matrix(), n)
    assert m.outlier_scores() == standardise(raw, raw)
    new = np.vstack([x[:3] + 0.05, np.full((1, 3), 40.0)])
    R = m.predict_proximity(new)
    raw_new = []
    for row in R:
        s = 0.0
        for v in row:
            s += v * v
        raw_new.append(n / s if s > 0 else 1.7976931348623157e308)
    got = m.predict_outlier_scores(new)
    assert got == standardise(raw, raw_new)
    assert max(got) <= 20.0


def test_planted_outlier_scores_highest():
    x = clusters(seed=5, n=90)
    x = np.vstack([x, [[0.0, 5.0, -5.0]]])  # each coordinate typical, the mix is not
    m = RFU(n_estimators=200, random_state=3)
    m.fit(x)
    scores = m.outlier_scores()
    assert int(np.argmax(scores)) == 90
    assert max(scores) <= 20.0


def test_sparse_outlier_scores(fitted):
    x = clusters(n=40)
    m = RFU(n_estimators=30, random_state=6)
    m.fit(x)
    assert m.outlier_scores(use_sparse=True) == m.outlier_scores()  # no cache yet
    rows = m.proximity_sparse(k=4)
    raw = raw_measure([[v for _, v in r] for r in rows], 40)
    assert m.outlier_scores(use_sparse=True) == standardise(raw, raw)
    m.fit(x)  # refitting clears the cache
    assert m.outlier_scores(use_sparse=True) == m.outlier_scores()


def test_standardisation_edge_rules():
    # A single-leaf forest: all proximities equal, so all raw values equal.
    x = clusters(n=20)
    m = RFU(n_estimators=30, random_state=1, max_depth=0)
    m.fit(x)
    assert m.proximity_matrix(use_oob=False) == [[1.0] * 20 for _ in range(20)]
    raw = raw_measure(m.proximity_matrix(), 20)
    assert m.outlier_scores() == standardise(raw, raw)
    # Upper middle value as the centre, deviations capped at 5 x centre.
    assert standardise([1, 2, 3, 4], [3]) == [0.0]
    assert standardise([1.0, 1.0, 1.0, 1000.0], [1000.0]) == [20.0]


# ---- embedding -----------------------------------------------------------------

def centred(P):
    n = len(P)
    m = P.sum(axis=1) / n
    g = m.sum() / n
    return 0.5 * (P - m[:, None] - m[None, :] + g)


def test_embedding_axes(fitted):
    m, x = fitted
    n = x.shape[0]
    E = np.array(m.transform(n_components=3))
    assert E.shape == (n, 3)
    B = centred(np.array(m.proximity_matrix()))
    eig = np.linalg.eigvalsh(B)
    lambdas = []
    for c in range(3):
        xc = E[:, c]
        norm2 = xc @ xc
        assert norm2 > 0
        u = xc / math.sqrt(norm2)
        lam = u @ B @ u
        lambdas.append(lam)
        # Coordinates are the unit eigenvector scaled by sqrt(|lambda|).
        assert math.isclose(norm2, abs(lam), rel_tol=1e-5)
        assert np.linalg.norm(B @ u - lam * u) < 1e-3 * abs(lam)
    # Power iteration with deflation finds the largest eigenvalues in turn.
    assert math.isclose(abs(lambdas[0]), np.abs(eig).max(), rel_tol=1e-6)
    U = E / np.linalg.norm(E, axis=0)
    assert abs(U[:, 0] @ U[:, 1]) < 1e-3 and abs(U[:, 0] @ U[:, 2]) < 1e-3
    # The three clusters separate in the plane of the first two axes.
    centres = [E[s, :2].mean(axis=0) for s in (slice(0, 20), slice(20, 40), slice(40, 60))]
    spread = max(np.linalg.norm(E[s, :2] - c, axis=1).max()
                 for s, c in zip((slice(0, 20), slice(20, 40), slice(40, 60)), centres))
    gaps = [np.linalg.norm(centres[a] - centres[b]) for a, b in ((0, 1), (0, 2), (1, 2))]
    assert min(gaps) > spread


def test_embedding_edge_cases(fitted):
    m, x = fitted
    assert m.transform(n_components=0) == [[] for _ in range(x.shape[0])]
    with pytest.raises(ValueError, match="n_components"):
        m.transform(n_components=2 ** 62)
    flat = RFU(n_estimators=60, max_depth=0, random_state=0)
    flat.fit(x)
    # Single-leaf trees: all proximities are 1, the centred matrix is zero and
    # no axis is found.
    assert flat.proximity_matrix() == [[1.0] * x.shape[0]] * x.shape[0]
    assert flat.transform() == [[0.0, 0.0]] * x.shape[0]
    other = RFU(n_estimators=60, random_state=4)
    assert other.fit_transform(x, n_components=2) == m.transform(2)
    assert other.is_fitted_


# ---- importances ---------------------------------------------------------------

def test_feature_importances(fitted):
    m, x = fitted
    imp = m.feature_importances()
    assert len(imp) == 3
    assert min(imp) >= 0.0 and math.isclose(sum(imp), 1.0)
    # A constant column is never split: its permutation changes nothing.
    xc = np.hstack([x, np.full((x.shape[0], 1), 2.5)])
    mc = RFU(n_estimators=40, random_state=2)
    mc.fit(xc)
    impc = mc.feature_importances()
    assert impc[3] == 0.0 and math.isclose(sum(impc), 1.0)


def test_feature_importances_without_seed_vary_but_stay_normalised():
    x = clusters(n=45)
    m = RFU(n_estimators=30)
    m.fit(x)
    for imp in (m.feature_importances(), m.feature_importances()):
        assert min(imp) >= 0.0 and math.isclose(sum(imp), 1.0)


def test_importances_without_positive_drop_are_returned_raw():
    # Single-leaf trees never read a feature: every drop is exactly 0, so the
    # raw values come back unnormalised.
    m = RFU(n_estimators=20, random_state=0, max_depth=0)
    m.fit(clusters(n=30))
    assert m.feature_importances() == [0.0, 0.0, 0.0]
