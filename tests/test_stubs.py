"""The type stubs of `_rs` match the real classes: constructor and method
signatures as `inspect.signature` reports them, and the same properties."""
import ast
import inspect
import pathlib

import pytest

import _rs

REPO_STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "_rs.pyi"


def _stub_path():
    beside = pathlib.Path(_rs.__file__).with_name("_rs.pyi")
    if "site-packages" in _rs.__file__:
        # An installed engine must carry its stub (and the package its marker).
        assert beside.is_file(), "_rs.pyi is not installed beside _rs"
        import tarnwood

        assert (pathlib.Path(tarnwood.__file__).parent / "py.typed").is_file()
        return beside
    return REPO_STUB


def _stub_classes():
    tree = ast.parse(_stub_path().read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


STUBS = _stub_classes()


def _is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def _stub_params(fn):
    """(name, default) of every parameter after self/cls, all of them
    positional-or-keyword."""
    args = fn.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    names = [a.arg for a in args.args][1:]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    padded = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    return list(zip(names, padded))


def _real_params(obj, *, drop_self):
    params = list(inspect.signature(obj).parameters.values())
    if drop_self:
        assert params[0].name == "self"
        params = params[1:]
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, (obj, p)
    return [(p.name, p.default) for p in params]


def test_every_engine_class_has_a_stub():
    assert set(_rs.__all__) <= set(STUBS)


@pytest.mark.parametrize("name", sorted(STUBS))
def test_stub_matches_the_real_class(name):
    if not hasattr(_rs, name):
        pytest.skip(f"{name} is not in this build")
    cls = getattr(_rs, name)
    stub = STUBS[name]
    methods = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}

    assert _stub_params(methods.pop("__new__")) == _real_params(cls, drop_self=False)

    stub_props = {n for n, f in methods.items() if _is_property(f)}
    stub_methods = {n: f for n, f in methods.items() if not _is_property(f)}
    for prop in stub_props:
        assert isinstance(inspect.getattr_static(cls, prop), type(_rs.DecisionTree.is_fitted)), prop
    for method, fn in stub_methods.items():
        real = getattr(cls, method)
        assert _stub_params(fn) == _real_params(real, drop_self=True), method

    # Nothing public of the real class is missing from the stub, and the
    # pickling hooks are there too.
    public = {n for n in vars(cls) if not n.startswith("_")}
    assert public == stub_props | {n for n in stub_methods if not n.startswith("_")}
    for hook in ("__getstate__", "__setstate__"):
        assert hook in vars(cls) and hook in stub_methods, hook
