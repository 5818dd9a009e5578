"""Input checks that every estimator shares: the fit-input checks of the
supervised classes (order and wording), the unsupervised fit's NaN check, and
the refusal of prediction matrices narrower than the fitted model reads."""
import numpy as np
import pytest

import _rs

SUPERVISED = {
    "DecisionTree": lambda: _rs.DecisionTree(random_state=0),
    "DecisionTree-regression": lambda: _rs.DecisionTree(task="regression", random_state=0),
    "RandomForestClassifier": lambda: _rs.RandomForestClassifier(n_estimators=3, random_state=0),
    "RandomForestRegressor": lambda: _rs.RandomForestRegressor(n_estimators=3, random_state=0),
    "Tarnwood": lambda: _rs.Tarnwood(n_estimators=2, rf_n_estimators=2, random_state=0),
    "TarnwoodClassifier": lambda: _rs.TarnwoodClassifier(n_estimators=2, rf_n_estimators=2,
                                                         random_state=0),
    "TarnwoodRegressor": lambda: _rs.TarnwoodRegressor(n_estimators=2, rf_n_estimators=2,
                                                       random_state=0),
}

IMPUTE = ". Impute or drop missing values before fitting."


def only_last_column_informative(n=40, p=3, seed=0):
    """Rows whose first p - 1 columns are constant, so every split of every
    tree tests column p - 1 and a model reads exactly p columns."""
    rng = np.random.default_rng(seed)
    x = np.zeros((n, p))
    x[:, -1] = rng.normal(size=n)
    y = (x[:, -1] > 0).astype(float)
    return x, y


@pytest.mark.parametrize("name", SUPERVISED)
def test_fit_inputs_are_checked_in_one_order_with_one_wording(name):
    x, y = only_last_column_informative()
    model = SUPERVISED[name]()
    model.fit(x, y)
    before = model.predict(x)

    def refused(x_, y_, w_=None):
        with pytest.raises(ValueError) as e:
            model.fit(x_, y_, w_)
        return str(e.value)

    bad_x = x.copy()
    bad_x[3, 2] = -np.inf
    bad_x[5, 0] = np.nan
    bad_y = y.copy()
    bad_y[7] = np.nan
    bad_w = np.ones(len(y))
    bad_w[4] = -0.5
    bad_w[6] = np.inf
    # Each call carries several faults; the message names the one checked first.
    assert refused(bad_x, bad_y[:-1], bad_w[:2]) == (
        "X contains non-finite value at row 3, column 2 (-inf)" + IMPUTE)
    assert refused(x, bad_y[:-1], bad_w[:2]) == "y contains non-finite value at index 7 (NaN)."
    assert refused(x, y[:-1], bad_w[:2]) == "y length (39) does not match number of samples (40)"
    assert refused(x, y, bad_w[:2]) == "sample_weight length (2) does not match number of samples (40)"
    assert refused(x, y, bad_w) == "sample_weight[4] = -0.5 is not a non-negative finite number"
    bad_w[4] = 1.0
    assert refused(x, y, bad_w) == "sample_weight[6] = inf is not a non-negative finite number"
    # A refused fit leaves the earlier model in place.
    assert model.predict(x) == before
    # Negative zero is a valid weight.
    model.fit(x, y, np.where(np.arange(len(y)) == 0, -0.0, 1.0))


@pytest.mark.parametrize("layout", ["C", "strided", "F"])
def test_the_first_refused_value_is_named_wherever_it_lies(layout):
    # Blocks of rows are tested as a whole before a value-by-value search:
    # the message still names the first refused value in row order, past
    # the first block, between two others, in an odd number of columns.
    rng = np.random.default_rng(5)
    x = rng.normal(size=(700, 7))
    y = rng.normal(size=700)
    x[650, 0] = -np.inf
    x[613, 5] = np.nan
    x[613, 6] = np.inf
    if layout == "strided":
        x = np.repeat(x, 2, axis=1)[:, ::2]
    elif layout == "F":
        x = np.asfortranarray(x)
    with pytest.raises(ValueError) as e:
        _rs.RandomForestRegressor(n_estimators=2, random_state=0).fit(x, y)
    assert str(e.value) == "X contains non-finite value at row 613, column 5 (NaN)" + IMPUTE
    bad = np.where(np.isnan(x), 0.0, x)
    with pytest.raises(ValueError) as e:
        _rs.RandomForestUnsupervised(n_estimators=2, random_state=0).fit(np.where(np.isinf(x), np.nan, x))
    assert str(e.value) == "X contains non-finite value at row 613, column 5 (NaN)" + IMPUTE
    with pytest.raises(ValueError) as e:
        _rs.RandomForestRegressor(n_estimators=2, random_state=0).fit(bad, y)
    assert str(e.value) == "X contains non-finite value at row 613, column 6 (inf)" + IMPUTE


def test_unsupervised_fit_refuses_nan_but_not_infinities():
    x, _ = only_last_column_informative(p=2)
    model = _rs.RandomForestUnsupervised(n_estimators=3, random_state=0)
    bad = x.copy()
    bad[4, 1] = np.nan
    with pytest.raises(ValueError) as e:
        model.fit(bad)
    assert str(e.value) == "X contains non-finite value at row 4, column 1 (NaN)" + IMPUTE
    assert not model.is_fitted_
    bad[4, 1] = np.inf
    bad[6, 0] = -np.inf
    model.fit(bad)
    assert model.is_fitted_ and model.n_samples_ == len(x)


NARROW = {
    # name: (model, calls taking the matrix, what the message says reads it)
    "DecisionTree": (lambda: _rs.DecisionTree(random_state=0),
                     ("predict", "predict_proba"), "the fitted tree reads column"),
    "RandomForestClassifier": (lambda: _rs.RandomForestClassifier(n_estimators=3, random_state=0),
                               ("predict", "predict_proba"), "the fitted forest reads column"),
    "RandomForestRegressor": (lambda: _rs.RandomForestRegressor(n_estimators=3, random_state=0),
                              ("predict",), "the fitted forest reads column"),
    "Tarnwood": (lambda: _rs.Tarnwood(n_estimators=2, rf_n_estimators=2, random_state=0),
                 ("predict", "predict_proba", "predict_ci"), "the fitted model reads column"),
    "TarnwoodClassifier": (lambda: _rs.TarnwoodClassifier(n_estimators=2, rf_n_estimators=2,
                                                          random_state=0),
                           ("predict", "predict_proba", "predict_ci"),
                           "the fitted model reads column"),
    "TarnwoodRegressor": (lambda: _rs.TarnwoodRegressor(n_estimators=2, rf_n_estimators=2,
                                                        random_state=0),
                          ("predict", "predict_ci"), "the fitted model reads column"),
}


@pytest.mark.parametrize("name", NARROW)
def test_narrow_prediction_matrices_are_refused(name):
    make, calls, reader = NARROW[name]
    x, y = only_last_column_informative()
    model = make()
    model.fit(x, y)
    for call in calls:
        for width in (0, 2):
            with pytest.raises(ValueError) as e:
                getattr(model, call)(np.zeros((2, width)))
            assert str(e.value) == f"x has {width} columns, but {reader} 2", call
        # Exactly as wide as the model reads, or wider, is fine.
        assert len(getattr(model, call)(np.zeros((2, 3)))) == 2
        assert len(getattr(model, call)(np.zeros((2, 5)))) == 2
        # The boosted models answer a narrow matrix without rows; the trees
        # and forests refuse it like any other.
        if name.startswith("Tarnwood"):
            assert getattr(model, call)(np.zeros((0, 1))) == []
        else:
            with pytest.raises(ValueError, match=r"^x has 1 columns, but "):
                getattr(model, call)(np.zeros((0, 1)))


def test_narrow_new_rows_of_the_unsupervised_forest_are_refused():
    x, _ = only_last_column_informative(n=60)
    model = _rs.RandomForestUnsupervised(n_estimators=5, random_state=0)
    model.fit(x)
    for call in ("predict_proximity", "predict_outlier_scores"):
        with pytest.raises(ValueError) as e:
            getattr(model, call)(np.zeros((2, 1)))
        assert str(e.value) == ("x_new has 1 columns, but the forest's splits read columns up "
                                "to index 2 (the model was fitted on 3 columns)")
        assert len(getattr(model, call)(np.zeros((2, 3)))) == 2
