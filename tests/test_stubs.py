"""The type stubs describe the modules as they are at run time."""

import ast
import inspect
from pathlib import Path

import pytest

import vexlora
import vexlora.murkel
import vexlora.tessaly

PACKAGE = Path(vexlora.__file__).parent


def stub_tree(name):
    return ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8"))


def stub_parameters(fn: ast.FunctionDef):
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + [ast.literal_eval(d) for d in fn.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def runtime_parameters(obj):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in inspect.signature(obj).parameters.values()
    ]


def public_names(module):
    return {
        n
        for n, v in vars(module).items()
        if not n.startswith("__") and callable(v) and getattr(v, "__module__", None) == module.__name__
    }


@pytest.mark.parametrize("name", ["murkel", "tessaly"])
def test_every_runtime_function_and_class_has_a_stub(name):
    module = getattr(vexlora, name)
    stubbed = {node.name for node in stub_tree(name).body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert public_names(module) <= stubbed
    assert stubbed <= set(vars(module))


@pytest.mark.parametrize("name", ["murkel", "tessaly"])
def test_function_signatures_match(name):
    module = getattr(vexlora, name)
    for node in stub_tree(name).body:
        if isinstance(node, ast.FunctionDef):
            assert stub_parameters(node) == runtime_parameters(getattr(module, node.name)), node.name


def test_method_signatures_match():
    for node in stub_tree("murkel").body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(vexlora.murkel, node.name)
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name in ("feed_info", "reset", "__setstate__"):
                assert stub_parameters(item) == runtime_parameters(getattr(cls, item.name)), (node.name, item.name)


def test_stub_docstrings_match_runtime():
    for name in ("murkel", "tessaly"):
        module = getattr(vexlora, name)
        for node in stub_tree(name).body:
            doc = ast.get_docstring(node) if isinstance(node, (ast.FunctionDef, ast.ClassDef)) else None
            if doc:
                assert getattr(module, node.name).__doc__ == doc, node.name
