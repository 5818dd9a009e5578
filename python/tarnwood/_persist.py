"""Reconstruction of pickled engine objects.

The `_rs` classes report `builtins` as their module, so pickle cannot find
them by name; their `__reduce__` points here instead, and so does that of
the package's own engine classes (`tarnwood._engine`), whose names differ
from every `_rs` name.
"""
import _rs


def _restore(class_name, state):
    cls = getattr(_rs, class_name, None)
    if cls is None:
        from . import _engine

        cls = getattr(_engine, class_name)
    from_state = getattr(cls, "_from_state", None)
    if from_state is not None:
        # Classes whose constructor needs arguments rebuild from the state.
        return from_state(state)
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj


def to_engine(model, engine_cls):
    """A model of the package's engine class from `model`: the same object
    when it already is one, else (a model unpickled from a release whose
    estimators held `_rs` objects) rebuilt from its saved state, which both
    classes share."""
    if isinstance(model, engine_cls):
        return model
    obj = engine_cls.__new__(engine_cls)
    obj.__setstate__(model.__getstate__())
    return obj
