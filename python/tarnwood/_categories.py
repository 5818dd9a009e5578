"""Categorical features of the supervised estimators.

`categorical_features` says which columns of X hold categories rather than
numbers. At fit each such column gets its list of categories (a pandas
`category` column: the categories its dtype declares, in that order;
otherwise its distinct values, numbers in numeric order, anything else
sorted as text) and is replaced by float64 codes 0..k-1, NaN where the value
is missing (None, NaN, pd.NA, NaT). Every later X is encoded with the
stored lists, so the engine only ever sees float64 codes; a value the fit
never saw becomes NaN and takes the missing-value path (or is refused with
missing_unseen="error").

The fitted estimator keeps `is_categorical_` (a bool per feature) and
`categories_` (per feature an array of its categories, None for a numeric
feature). pandas is needed only for frames; polars and pyarrow frames are
read through their conversion to pandas.
"""
import numbers
import sys

import numpy as np

# The engine's category sets hold at most this many categories a feature.
MAX_CATEGORIES = 256

_PARAMETER = "categorical_features"


def _invalid(owner, setting):
    from ._base import InvalidParameterError

    return InvalidParameterError(
        f"The '{_PARAMETER}' parameter of {owner} must be 'from_dtype', None, a bool mask "
        "of length n_features, an array of int column indices or an array of str column "
        f"names. Got {setting!r} instead."
    )


def _form(owner, setting):
    """The kind of a `categorical_features` value ("from_dtype", "none",
    "mask", "indices" or "names") and its entries, checked without X."""
    if isinstance(setting, str):
        if setting == "from_dtype":
            return "from_dtype", None
        raise _invalid(owner, setting)
    if setting is None:
        return "none", None
    try:
        # Lists keep the types of their entries (numpy would turn [0, "x"]
        # into two strings).
        values = setting if isinstance(setting, np.ndarray) else np.asarray(setting, dtype=object)
    except (TypeError, ValueError):
        raise _invalid(owner, setting) from None
    if values.ndim != 1:
        raise _invalid(owner, setting)
    entries = values.tolist()
    if not entries:
        return "indices", []
    if all(isinstance(v, (bool, np.bool_)) for v in entries):
        return "mask", np.array(entries, dtype=bool)
    if all(isinstance(v, numbers.Integral) and not isinstance(v, (bool, np.bool_))
           for v in entries):
        return "indices", [int(i) for i in entries]
    if all(isinstance(v, str) for v in entries):
        return "names", entries
    raise _invalid(owner, setting)


def _by_dtype(dtype):
    """Whether a frame column of this dtype holds categories: pandas
    `category` columns, strings and other Python objects."""
    import pandas as pd

    if isinstance(dtype, pd.CategoricalDtype) or dtype == object:
        return True
    if str(dtype).startswith("dictionary<"):  # a pyarrow dictionary column
        return True
    return bool(pd.api.types.is_string_dtype(dtype))


def _label(names, j):
    return f"column {names[j]!r}" if names is not None else f"column {j}"


def resolve(owner, setting, n_features, names, dtypes):
    """The bool mask of the categorical columns. `names` are the column
    labels of a frame (None otherwise), `dtypes` its column dtypes (None
    for arrays, whose columns are never categorical by dtype)."""
    form, entries = _form(owner, setting)
    mask = np.zeros(n_features, dtype=bool)
    if form == "from_dtype":
        if dtypes is not None:
            mask[:] = [_by_dtype(d) for d in dtypes]
    elif form == "mask":
        if entries.shape[0] != n_features:
            raise ValueError(
                f"{_PARAMETER}: the bool mask has {entries.shape[0]} entries, but X has "
                f"{n_features} features."
            )
        mask[:] = entries
    elif form == "indices":
        for i in entries:
            if not -n_features <= i < n_features:
                raise ValueError(
                    f"{_PARAMETER}: column index {i} is out of range for X with "
                    f"{n_features} features."
                )
            mask[i] = True
    elif form == "names":
        if names is None:
            raise ValueError(
                f"{_PARAMETER} names columns ({entries[0]!r}, ...), which needs X to be a "
                "DataFrame with those column names; pass column indices or a bool mask "
                "for an array."
            )
        labels = list(names)
        for name in entries:
            hits = [j for j, label in enumerate(labels) if label == name]
            if not hits:
                raise ValueError(f"{_PARAMETER}: X has no column named {name!r}.")
            mask[hits] = True
    return mask


# ---- reading X ----------------------------------------------------------------


def _is_pandas_frame(X):
    pd = sys.modules.get("pandas")  # a frame exists only once pandas is imported
    return pd is not None and isinstance(X, pd.DataFrame)


def _other_frame(X):
    """Whether X is a polars or pyarrow table (read through pandas)."""
    module = type(X).__module__
    return module.startswith(("polars", "pyarrow")) and hasattr(X, "to_pandas")


def _table(X, convert):
    """X as (pandas frame or None, 2-D ndarray or None): frames as they
    are (polars and pyarrow ones converted to pandas when `convert`),
    anything else as an array when it is a dense 2-D one. (None, None)
    leaves X to the usual validation, which then refuses it or reads it as
    numbers."""
    if _is_pandas_frame(X):
        return X, None
    if _other_frame(X):
        if not convert(X):
            return None, None
        try:
            return X.to_pandas(), None
        except Exception:  # noqa: BLE001 - no conversion: read it as numbers
            return None, None
    if hasattr(X, "toarray") or hasattr(X, "to_dask_array") or X is None:
        return None, None  # sparse and lazy inputs are never encoded
    try:
        array = np.asarray(X)
    except (TypeError, ValueError):
        return None, None
    return (None, array) if array.ndim == 2 else (None, None)


def _has_text_columns(X):
    """Whether a polars or pyarrow table has a column that is not numeric."""
    try:
        schema = X.schema
        types = list(schema.values()) if hasattr(schema, "values") else list(schema.types)
    except Exception:  # noqa: BLE001 - an unknown table: read it through pandas
        return True
    numeric = ("int", "uint", "float", "double", "bool", "decimal")
    return any(not str(t).lower().startswith(numeric) for t in types)


def _column(frame, array, j):
    if frame is not None:
        return frame.iloc[:, j]
    return array[:, j]


def _is_missing(value):
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN and NaT differ from themselves
    except (TypeError, ValueError):
        return type(value).__name__ == "NAType"  # pd.NA has no truth value


def _factorize(values, label):
    """(distinct non-missing values, the position of each entry among
    them, -1 where missing) of a column. Numbers equal in value (0, 0.0,
    False) are one value."""
    if values.dtype.kind in "iub":
        return np.unique(values, return_inverse=True)
    if values.dtype.kind == "f":
        present = ~np.isnan(values)
        uniques, inverse = np.unique(values[present], return_inverse=True)
        positions = np.full(values.shape[0], -1, dtype=np.intp)
        positions[present] = inverse
        return uniques, positions
    try:
        import pandas as pd
    except ImportError:
        pd = None
    try:
        if pd is not None:
            positions, uniques = pd.factorize(values, use_na_sentinel=True)
            return list(uniques), positions
        index = {}
        positions = np.empty(values.shape[0], dtype=np.intp)
        for i, v in enumerate(values.tolist()):
            positions[i] = -1 if _is_missing(v) else index.setdefault(v, len(index))
        return list(index), positions
    except TypeError as error:  # an unhashable value
        raise ValueError(
            f"Categorical {label} holds a value that cannot be a category ({error}); "
            "categories must be hashable values such as strings or numbers."
        ) from None


def _column_values(column):
    """(declared categories or None, 1-D values) of a column: a pandas
    `category` column gives its categories and codes."""
    cat = getattr(column, "cat", None)
    if cat is not None:
        codes = cat.codes.to_numpy()
        return np.asarray(cat.categories.to_numpy(dtype=object)), codes
    if hasattr(column, "to_numpy"):
        column = column.to_numpy()
    values = np.asarray(column)
    if values.dtype.kind == "f" and values.dtype != np.float64:
        values = values.astype(np.float64)
    return None, values


def _is_number(v):
    return isinstance(v, (numbers.Real, np.bool_))


def _refuse_infinite(uniques, label):
    for v in uniques:
        if isinstance(v, (float, np.floating)) and np.isinf(v):
            raise ValueError(
                f"Categorical {label} holds the infinite value {v!r}; a categorical "
                "feature's values are labels (finite numbers, strings, ...), and missing "
                "ones are NaN or None."
            )


def _as_categories(values):
    """The categories as an ndarray: numeric when they all are numbers,
    else of Python objects."""
    if all(_is_number(v) for v in values):
        array = np.asarray(values) if values else np.zeros(0)
        if array.dtype.kind in "biuf":
            return array
    array = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        array[i] = v
    return array


def _sorted_order(uniques):
    """The order of the distinct values: numbers numerically, then the
    rest sorted as text."""
    def key(i):
        v = uniques[i]
        return (0, v, "") if _is_number(v) else (1, 0, str(v))

    return sorted(range(len(uniques)), key=key)


def _fit_column(column, label):
    """(categories, float64 codes) of one categorical column at fit."""
    declared, values = _column_values(column)
    if declared is not None:
        categories = _as_categories(declared.tolist())
        codes = values.astype(np.float64)
        codes[values < 0] = np.nan
    else:
        uniques, positions = _factorize(values, label)
        if isinstance(uniques, np.ndarray):  # sorted already
            _refuse_infinite(uniques.tolist(), label)
            categories = uniques
        else:
            _refuse_infinite(uniques, label)
            order = _sorted_order(uniques)
            categories = _as_categories([uniques[i] for i in order])
            rank = np.empty(len(order), dtype=np.intp)
            rank[order] = np.arange(len(order))
            positions = np.where(positions >= 0, rank[np.maximum(positions, 0)], -1)
        codes = np.where(positions >= 0, positions, np.nan).astype(np.float64)
    if categories.shape[0] > MAX_CATEGORIES:
        raise ValueError(
            f"Categorical {label} has {categories.shape[0]} categories, more than the "
            f"{MAX_CATEGORIES} a categorical feature may have. Encode it as a numeric "
            "feature instead (for example with target or ordinal encoding), or leave it out "
            f"of {_PARAMETER}."
        )
    if categories.shape[0] == MAX_CATEGORIES and np.isnan(codes).any():
        # Missing values take a category's place in the engine's tables.
        raise ValueError(
            f"Categorical {label} has {MAX_CATEGORIES} categories and missing values; a "
            f"categorical feature with missing values may have at most {MAX_CATEGORIES - 1} "
            "categories. Merge rare categories, or encode the feature as a numeric one (for "
            "example with target or ordinal encoding)."
        )
    return categories, codes


def _encode_column(column, categories, label):
    """(float64 codes, first row holding an unseen category or None) of a
    column, encoded with the categories of the fit."""
    declared, values = _column_values(column)
    if declared is not None:
        uniques, positions = declared.tolist(), values
    else:
        uniques, positions = _factorize(values, label)
        uniques = uniques.tolist() if isinstance(uniques, np.ndarray) else uniques
        _refuse_infinite(uniques, label)
    lookup = {}
    for code, value in enumerate(categories.tolist()):
        lookup.setdefault(value, code)
    mapped = np.array([lookup.get(u, -1) for u in uniques] + [-1], dtype=np.intp)
    codes = mapped[positions]  # position -1 (missing) reads the trailing -1
    unseen = np.flatnonzero((codes < 0) & (positions >= 0))
    codes = np.where(codes >= 0, codes, np.nan).astype(np.float64)
    return codes, (int(unseen[0]) if unseen.size else None), uniques, positions


def _replaced(X, frame, array, columns):
    """X with the given columns ({position: float64 codes}) replaced."""
    if frame is not None:
        out = frame.copy(deep=False)
        for j, codes in columns.items():
            out.isetitem(j, codes)
        return out
    out = np.array(array, dtype=np.float64 if array.dtype.kind in "fiub" else object)
    for j, codes in columns.items():
        out[:, j] = codes
    return out


# ---- fit and the later calls --------------------------------------------------


class Encoding:
    """The categorical columns found at fit and their categories."""

    def __init__(self, mask, categories):
        self.mask = mask
        self.categories = categories


def encode_fit(estimator, X):
    """(X to validate, Encoding or None) at fit: the categorical columns
    replaced by their codes. Estimators without the parameter, and inputs
    without categorical columns, give X itself."""
    if _PARAMETER not in estimator.__dict__:
        return X, None
    owner = type(estimator).__name__
    setting = estimator.__dict__[_PARAMETER]
    form, _ = _form(owner, setting)
    if form == "none" or (form == "from_dtype" and not (_is_pandas_frame(X) or _other_frame(X))):
        return X, None  # arrays have no column dtypes to read categories from
    frame, array = _table(X, _has_text_columns if form == "from_dtype" else lambda table: True)
    if frame is None and array is None:
        return X, None
    if frame is not None:
        names, dtypes = list(frame.columns), list(frame.dtypes)
    else:
        names, dtypes = None, None
    source = frame if frame is not None else array
    mask = resolve(owner, setting, source.shape[1], names, dtypes)
    if not mask.any():
        return X, None
    categories = [None] * mask.shape[0]
    columns = {}
    for j in np.flatnonzero(mask):
        categories[j], columns[j] = _fit_column(_column(frame, array, j), _label(names, j))
    return _replaced(X, frame, array, columns), Encoding(mask, categories)


def install(estimator, encoding, n_features):
    """Sets `is_categorical_` and `categories_` after a successful fit
    validation (a warm start must keep the fitted ones)."""
    if _PARAMETER not in estimator.__dict__:
        return
    if encoding is None:
        mask, categories = np.zeros(n_features, dtype=bool), [None] * n_features
    else:
        mask, categories = encoding.mask, encoding.categories
    warm = estimator.__dict__.get("warm_start")
    if isinstance(warm, (bool, np.bool_)) and warm and "model_" in estimator.__dict__:
        old_mask = estimator.__dict__.get("is_categorical_")
        old = estimator.__dict__.get("categories_")
        if old_mask is None:
            old_mask, old = np.zeros(n_features, dtype=bool), [None] * n_features
        if old_mask.shape == mask.shape and not _same(old_mask, old, mask, categories):
            raise ValueError(
                "warm_start needs the categorical features of the fitted forest: the "
                "categorical columns or their categories differ from those of the fit it "
                "continues."
            )
    estimator.is_categorical_ = mask
    estimator.categories_ = categories


def _same(mask_a, cats_a, mask_b, cats_b):
    if not np.array_equal(mask_a, mask_b):
        return False
    return all(
        (a is None and b is None)
        or (a is not None and b is not None and a.tolist() == b.tolist())
        for a, b in zip(cats_a, cats_b)
    )


def encode(estimator, X, *, refuse_unseen):
    """X with the categorical columns of the fit replaced by their codes
    (X itself when the fit had none). Inputs of another width or other
    column names are left to the usual validation, which refuses them."""
    mask = estimator.__dict__.get("is_categorical_")
    if mask is None or not mask.any():
        return X
    frame, array = _table(X, lambda table: True)
    source = frame if frame is not None else array
    if source is None or source.shape[1] != mask.shape[0]:
        return X
    names = list(frame.columns) if frame is not None else None
    fitted_names = estimator.__dict__.get("feature_names_in_")
    if names is not None and fitted_names is not None and [str(n) for n in names] != list(
            fitted_names):
        return X
    shown = names if names is not None else (
        list(fitted_names) if fitted_names is not None else None)
    columns = {}
    for j in np.flatnonzero(mask):
        label = _label(shown, j)
        codes, unseen, uniques, positions = _encode_column(
            _column(frame, array, j), estimator.categories_[j], label)
        if unseen is not None and refuse_unseen:
            value = uniques[positions[unseen]]
            raise ValueError(
                f"X[{unseen}, {j}] holds {value!r}, a category of {label} that the fit did "
                "not see (missing_unseen='error'). Set missing_unseen='majority' to read "
                "unseen categories as missing values."
            )
        columns[j] = codes
    return _replaced(X, frame, array, columns)


def fit_keywords(estimator):
    """The engine fit's `categories` keyword: per feature 0 for a numeric
    one, its category count for a categorical one; nothing when every
    feature is numeric."""
    mask = estimator.__dict__.get("is_categorical_")
    if mask is None or not mask.any():
        return {}
    counts = [
        max(int(c.shape[0]), 1) if m else 0 for m, c in zip(mask.tolist(), estimator.categories_)
    ]
    return {"categories": counts}


def refuse_distributed(owner, local, X):
    """Distributed fits take numeric features only: a ValueError when
    `categorical_features` would make a column of X categorical."""
    setting = local.__dict__.get(_PARAMETER)
    if _form(owner, setting)[0] == "none":
        return
    names = dtypes = None
    if hasattr(X, "columns") and hasattr(X, "dtypes"):
        names, dtypes = list(X.columns), list(X.dtypes)
        n_features = len(names)
    else:
        try:
            shape = getattr(X, "shape", None) or np.shape(X)
        except ValueError:  # ragged rows, refused by the fit itself
            return
        if len(shape) != 2:
            return
        n_features = int(shape[1])
    mask = resolve(owner, setting, n_features, names, dtypes)
    if mask.any():
        which = [_label(names, j) for j in np.flatnonzero(mask)[:3]]
        raise ValueError(
            f"{owner} does not take categorical features (found {', '.join(which)}"
            f"{', ...' if mask.sum() > 3 else ''}); fit the plain estimator locally, encode "
            f"them as numbers, or set {_PARAMETER}=None."
        )
