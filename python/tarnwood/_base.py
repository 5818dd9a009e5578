"""Shared machinery of the scikit-learn estimators: parameter checks, seed
conversion, input validation and the label encoding of the classifiers.

The engine (`tarnwood._engine`) takes float64 arrays and plain Python numbers
and returns NumPy arrays; everything here turns scikit-learn conventions into
that form.
"""
import functools
import math
import numbers

import numpy as np
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from . import _categories

_SEED_LIMIT = 2**64
# The engine keeps counts and sizes in unsigned 64-bit integers.
_COUNT_LIMIT = 2**64 - 1


class InvalidParameterError(ValueError, TypeError):
    """An estimator parameter has a wrong type or value.

    Derives from both ValueError and TypeError, as scikit-learn's own
    parameter errors do, so either handler catches it.
    """


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def check_int(owner, name, value, minimum, *, allow_none=False, maximum=_COUNT_LIMIT):
    """An integer parameter of at least `minimum` (or None when allowed), at
    most `maximum` (None: no limit)."""
    if value is None and allow_none:
        return None
    if not _is_int(value) or value < minimum:
        kind = f"an int >= {minimum}" + (" or None" if allow_none else "")
        raise InvalidParameterError(
            f"The '{name}' parameter of {owner} must be {kind}. Got {value!r} instead."
        )
    if maximum is not None and value > maximum:
        top = "2**64 - 1" if maximum == _COUNT_LIMIT else str(maximum)
        kind = f"an int in the range [{minimum}, {top}]" + (" or None" if allow_none else "")
        raise InvalidParameterError(
            f"The '{name}' parameter of {owner} must be {kind}. Got {value!r} instead."
        )
    return int(value)


def check_n_jobs(owner, n_jobs):
    """n_jobs with scikit-learn's meaning: None or -1 all processors, k > 0
    exactly k threads, k < -1 all but |k| - 1; 0 is refused."""
    if n_jobs is None:
        return None
    if not _is_int(n_jobs) or n_jobs == 0:
        raise InvalidParameterError(
            f"The 'n_jobs' parameter of {owner} must be a nonzero int or None. "
            f"Got {n_jobs!r} instead."
        )
    return int(n_jobs)


def check_float(owner, name, value, *, low=None, high=None, low_open=False, high_open=False):
    """A finite real parameter inside the given bounds."""
    ok = isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))
    if ok:
        try:
            value = float(value)
        except OverflowError:  # an int beyond every float
            ok = False
        else:
            ok = math.isfinite(value)
    if ok and low is not None:
        ok = value > low if low_open else value >= low
    if ok and high is not None:
        ok = value < high if high_open else value <= high
    if not ok:
        lo = "-inf" if low is None else repr(low)
        hi = "inf" if high is None else repr(high)
        interval = ("(" if low_open or low is None else "[") + f"{lo}, {hi}" + (
            ")" if high_open or high is None else "]"
        )
        raise InvalidParameterError(
            f"The '{name}' parameter of {owner} must be a finite float in the range "
            f"{interval}. Got {value!r} instead."
        )
    return value


def check_bool(owner, name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise InvalidParameterError(
            f"The '{name}' parameter of {owner} must be a bool. Got {value!r} instead."
        )
    return bool(value)


def to_seed(owner, random_state):
    """The engine's seed for a scikit-learn `random_state`.

    None stays None (fresh operating-system entropy at every fit); an int must
    fit the engine's unsigned 64-bit seed; a RandomState or Generator gives a
    seed drawn from it, so a shared generator yields different seeds in turn.
    """
    if random_state is None:
        return None
    if _is_int(random_state):
        if 0 <= random_state < _SEED_LIMIT:
            return int(random_state)
        raise InvalidParameterError(
            f"The 'random_state' parameter of {owner} must be an int in the range "
            f"[0, 2**64 - 1], a RandomState or Generator instance, or None. "
            f"Got {random_state!r} instead."
        )
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**63 - 1))
    if isinstance(random_state, np.random.RandomState):
        return int(check_random_state(random_state).randint(0, 2**31 - 1))
    raise InvalidParameterError(
        f"The 'random_state' parameter of {owner} must be an int, a RandomState or "
        f"Generator instance, or None. Got {random_state!r} instead."
    )


def resolve_max_features(owner, max_features, n_features, name="max_features"):
    """The engine's `max_features` text for a scikit-learn style setting.

    Accepts None (every feature), "sqrt", "log2", an int count >= 1 or a
    float fraction in (0, 1]. The count is resolved here, as scikit-learn
    does, and handed over in a form the engine reads back as exactly that
    count; None when every feature is examined.
    """
    if max_features is None:
        return None
    if isinstance(max_features, str):
        if max_features == "sqrt":
            count = max(1, int(math.sqrt(n_features)))
        elif max_features == "log2":
            count = max(1, int(math.log2(n_features))) if n_features > 0 else 1
        else:
            count = None
    elif _is_int(max_features) and max_features >= 1:
        count = int(max_features)
    elif (
        isinstance(max_features, numbers.Real)
        and not isinstance(max_features, (bool, np.bool_))
        and 0.0 < max_features <= 1.0
    ):
        count = max(1, int(max_features * n_features))
    else:
        count = None
    if count is None:
        raise InvalidParameterError(
            f"The '{name}' parameter of {owner} must be None, 'sqrt', 'log2', an "
            f"int >= 1 or a float in (0, 1]. Got {max_features!r} instead."
        )
    if count >= n_features:
        return None
    # The engine reads a number above 1 as a count and a number at most 1 as
    # a fraction of the columns (never fewer than one), so "0" means one.
    return str(count) if count >= 2 else "0"


def _finite_option(estimator):
    """What scikit-learn's validation accepts in X: NaN (a missing value)
    where the estimator handles missing values, otherwise only finite
    numbers."""
    return "allow-nan" if getattr(estimator, "_accepts_missing", False) else True


def _infinity_refused(estimator, X, err):
    """scikit-learn's refusal of an infinity, with where it is and that NaN
    would be read as a missing value."""
    if not getattr(estimator, "_accepts_missing", False) or "X contains infinity" not in str(err):
        return err
    try:
        values = np.asarray(X, dtype=np.float64)
    except (TypeError, ValueError):
        return err
    at = np.argwhere(~np.isfinite(values) & ~np.isnan(values)) if values.ndim == 2 else []
    where = f" (at row {at[0][0]}, column {at[0][1]})" if len(at) else ""
    return ValueError(
        f"Input X contains infinity{where}. {type(estimator).__name__} reads NaN as a "
        "missing value, but refuses infinite values; clip them or mark them missing."
    )


def _missing_refused(estimator, err):
    """scikit-learn's NaN message, with why this estimator refuses it."""
    why = getattr(estimator, "_missing_refusal", None)
    if why and "NaN" in str(err):
        return ValueError(f"{err}\n{why}")
    return err


_MISSING_UNSEEN = ("majority", "error")


def check_missing_unseen(estimator):
    """The estimator's `missing_unseen` setting, checked."""
    mode = getattr(estimator, "missing_unseen", "majority")
    if not isinstance(mode, str) or mode not in _MISSING_UNSEEN:
        raise InvalidParameterError(
            f"The 'missing_unseen' parameter of {type(estimator).__name__} must be a str "
            f"among {{'majority', 'error'}}. Got {mode!r} instead."
        )
    return mode


def _refuse_unseen_missing(estimator, X):
    """With missing_unseen="error": a missing value that meets a split whose
    training rows had none of that feature is refused."""
    model = estimator.__dict__.get("model_")
    if model is None or not hasattr(model, "unseen_missing") or X.size == 0:
        return
    if check_missing_unseen(estimator) != "error" or not np.isnan(X).any():
        return
    hit = model.unseen_missing(X)
    if hit is not None:
        row, feature, tree = hit
        raise ValueError(
            f"X[{row}, {feature}] is missing, and tree {tree} meets it at a split on feature "
            f"{feature} whose training rows had no missing value there "
            "(missing_unseen='error'). Set missing_unseen='majority' to send such values "
            "to the child more training samples reached."
        )


def check_features(estimator, X, *, reset):
    """Validated float64 feature matrix (C order), recording or checking
    `n_features_in_` and `feature_names_in_`. NaN marks a missing value
    where the estimator accepts them; infinities are refused, and so are
    missing values meeting splits that saw none under
    missing_unseen="error". Categorical columns are first replaced by their
    codes (see `_categories`)."""
    if reset:
        X, encoding = _categories.encode_fit(estimator, X)
    else:
        X = _encoded(estimator, X)
    try:
        X = validate_data(
            estimator, X, reset=reset, dtype=np.float64, order="C",
            ensure_all_finite=_finite_option(estimator),
        )
    except ValueError as err:
        raise _infinity_refused(estimator, X, _missing_refused(estimator, err)) from None
    if reset:
        _categories.install(estimator, encoding, X.shape[1])
    else:
        _refuse_unseen_missing(estimator, X)
    return X


def _encoded(estimator, X):
    """X with the fitted categorical columns as codes; an unseen category
    is missing, or refused under missing_unseen="error"."""
    if not estimator.__dict__.get("is_categorical_", np.zeros(0, bool)).any():
        return X
    refuse = check_missing_unseen(estimator) == "error"
    return _categories.encode(estimator, X, refuse_unseen=refuse)


def check_fit_data(estimator, X, y, sample_weight, *, classifier):
    """Validated (X, y, sample_weight) for a supervised fit.

    Besides scikit-learn's checks, the sums the engine forms must stay
    finite: the total weight, and for regression the weighted sum of
    squared targets (impurities and residuals are built from it). X may
    hold missing values (NaN) where the estimator accepts them; y may not.
    Categorical columns become codes, and the fit's categories are recorded
    (`is_categorical_`, `categories_`).
    """
    X, encoding = _categories.encode_fit(estimator, X)
    try:
        X, y = validate_data(
            estimator, X, y, dtype=np.float64, order="C", y_numeric=not classifier,
            ensure_all_finite=_finite_option(estimator),
        )
    except ValueError as err:
        raise _infinity_refused(estimator, X, err) from None
    _categories.install(estimator, encoding, X.shape[1])
    if classifier:
        check_classification_targets(y)
    else:
        y = np.asarray(y, dtype=np.float64)
    if sample_weight is not None:
        sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64)
        with np.errstate(over="ignore", invalid="ignore"):
            total = float(np.sum(sample_weight))
        if not math.isfinite(total):
            raise ValueError(
                "sample_weight: the weights add up to more than the largest float64 "
                "number; rescale them (only their ratios matter)."
            )
    if not classifier and y.size:
        with np.errstate(over="ignore", invalid="ignore"):
            squares = float(np.sum(y * y if sample_weight is None else sample_weight * y * y))
        if not math.isfinite(squares):
            raise ValueError(
                "y: the (weighted) sum of squared targets exceeds the largest float64 "
                "number, so impurities and residuals cannot be computed; rescale y"
                + ("" if sample_weight is None else " or sample_weight")
                + "."
            )
    return X, y, sample_weight


def encode_labels(estimator, y):
    """Sets `classes_` and returns y as class positions 0..K-1 (float64)."""
    classes, encoded = np.unique(y, return_inverse=True)
    estimator.classes_ = classes
    return encoded.astype(np.float64)


def _copy_of(estimator):
    """A new estimator of the same class holding the same attributes (the
    attribute values themselves are shared)."""
    other = object.__new__(type(estimator))
    other.__dict__.update(estimator.__dict__)
    return other


def atomic_fit(fit):
    """Runs `fit` on a copy of the estimator and installs the copy's
    attributes in one step once it succeeds: a failed or interrupted fit
    leaves the estimator exactly as it was, and a thread reading the
    estimator while another refits it sees the old fitted state or the new
    one, never a mixture."""

    @functools.wraps(fit)
    def fit_atomically(self, *args, **kwargs):
        work = _copy_of(self)
        fit(work, *args, **kwargs)
        self.__dict__.update(work.__dict__)
        # Attributes the new fit dropped (say, out-of-bag results) go too.
        for name in set(self.__dict__) - set(work.__dict__):
            self.__dict__.pop(name, None)
        return self

    return fit_atomically


def consistent(method):
    """Runs a method that reads several fitted attributes on a snapshot of
    them, so a refit on another thread cannot mix two fits' attributes."""

    @functools.wraps(method)
    def on_snapshot(self, *args, **kwargs):
        return method(_copy_of(self), *args, **kwargs)

    return on_snapshot


class EngineEstimator:
    """What every estimator holding a `tarnwood._engine` model shares: the
    thread count and progress setting of its calls, and its fitted model.

    `_engine` is the engine class of the fitted model. Estimators pickled by
    earlier releases hold `_rs` models; both classes share one saved-state
    format, so such a model is converted on first use.
    """

    _engine = None
    # Whether X may hold missing values (NaN).
    _accepts_missing = False

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = self._accepts_missing
        return tags

    def _threads(self):
        return check_n_jobs(type(self).__name__, getattr(self, "n_jobs", None))

    def _verbosity(self):
        verbose = getattr(self, "verbose", 0)
        if callable(verbose):
            return verbose
        # Every level above 1000 prints as 1000 does.
        return min(check_int(type(self).__name__, "verbose", verbose, 0, maximum=None), 1000)

    def _fitted_model(self):
        model = fitted(self)
        if not isinstance(model, self._engine):
            model = self.model_ = self._converted(model)
        return model

    def _converted(self, model):
        from ._persist import to_engine

        return to_engine(model, self._engine)

    def __setstate__(self, state):
        # Models of earlier releases become the package's own on loading.
        super().__setstate__(state)
        model = self.__dict__.get("model_")
        if model is not None and self._engine is not None and not isinstance(model, self._engine):
            self.model_ = self._converted(model)


def _normalised(proba):
    """Rows of class probabilities that sum to one. A tree whose bootstrap
    sample drew only rows of weight zero has leaves without weight and gives
    no probability at all; the forest's average then falls short of one, and
    is rescaled to the average over the trees that had weight (uniform when
    none had)."""
    if proba.ndim != 2 or proba.shape[1] == 0:
        return proba
    total = proba.sum(axis=1)
    short = total < 1.0 - 1e-9
    if short.any():
        proba = np.array(proba, copy=True)
        some = short & (total > 0.0)
        proba[some] /= total[some, None]
        proba[short & ~some] = 1.0 / proba.shape[1]
    return proba


class ClassifierOutputs:
    """predict_proba from the engine, columns in the order of `classes_`;
    predict as the most probable class (the first of equal maxima, as in
    scikit-learn, so predict always agrees with predict_proba)."""

    def predict_proba(self, X):
        model = self._fitted_model()
        X = check_features(self, X, reset=False)
        proba = model.predict_proba(X, n_jobs=self._threads())
        if proba.shape[1] != len(self.classes_):
            raise ValueError(
                f"The fitted model has {proba.shape[1]} classes but classes_ lists "
                f"{len(self.classes_)}; refit the estimator."
            )
        return _normalised(proba)

    def predict_log_proba(self, X):
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    @consistent
    def predict(self, X):
        proba = self.predict_proba(X)
        return self.classes_.take(np.argmax(proba, axis=1))


def fitted(estimator):
    check_is_fitted(estimator, "model_")
    return estimator.model_
