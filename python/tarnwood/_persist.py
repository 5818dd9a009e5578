"""Reconstruction of pickled `_rs` objects.

The extension's classes report `builtins` as their module, so pickle cannot
find them by name; their `__reduce__` points here instead.
"""
import _rs


def _restore(class_name, state):
    cls = getattr(_rs, class_name)
    from_state = getattr(cls, "_from_state", None)
    if from_state is not None:
        # Classes whose constructor needs arguments rebuild from the state.
        return from_state(state)
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj
