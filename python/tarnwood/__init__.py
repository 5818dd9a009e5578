"""tarnwood: fast tree ensembles with a C++ engine (`tarnwood._engine`).

The scikit-learn estimators below are imported on first use, so the engine's
pickles (which reconstruct through `tarnwood._persist`) load without
scikit-learn installed.
"""
import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .boost import BoostedClassifier, BoostedRegressor
    from .forest import ForestClassifier, ForestRegressor
    from .tree import TreeClassifier, TreeRegressor
    from .explain import shap_explanation
    from .unsupervised import UnsupervisedForest

__version__ = "0.1.0"

_ESTIMATORS = {
    "TreeClassifier": "tree",
    "TreeRegressor": "tree",
    "ForestClassifier": "forest",
    "ForestRegressor": "forest",
    "BoostedClassifier": "boost",
    "BoostedRegressor": "boost",
    "UnsupervisedForest": "unsupervised",
}
# Helpers beside the estimators (`__all__` lists the estimators only).
_FUNCTIONS = {"shap_explanation": "explain"}

__all__ = list(_ESTIMATORS)


def __getattr__(name):
    module = _ESTIMATORS.get(name) or _FUNCTIONS.get(name)
    if module is None:
        raise AttributeError(f"module 'tarnwood' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__) | set(_FUNCTIONS))
