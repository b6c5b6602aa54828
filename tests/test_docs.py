"""Every public name of the package has a docstring, and the API reference builds from them."""

from __future__ import annotations

import ast
import fnmatch
import importlib
import inspect
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

import mirelo

# The installed package's stub: the one that type checkers and the API reference read.
STUB = Path(mirelo.__file__).parent / "_mirelo.pyi"
PYTHON_MODULES = ("mirelo", "mirelo.aio", "mirelo.loopback", "mirelo.delegate")

# Public names that still lack a docstring, as fnmatch patterns; each must still match a missing
# one, so the list only shrinks.
KNOWN_MISSING: frozenset[str] = frozenset()


def _is_public(name: str) -> bool:
    return not name.startswith("_")


def _has_docstring(body: list[ast.stmt], index: int) -> bool:
    """Whether the statement after body[index] is a string literal: the attribute's docstring."""
    if index + 1 >= len(body):
        return False
    following = body[index + 1]
    return (
        isinstance(following, ast.Expr)
        and isinstance(following.value, ast.Constant)
        and isinstance(following.value.value, str)
        and following.value.value.strip() != ""
    )


def _is_setter(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter") for d in node.decorator_list)


def _undocumented_in(body: list[ast.stmt], prefix: str) -> Iterator[str]:
    for index, node in enumerate(body):
        if isinstance(node, ast.ClassDef):
            if _is_public(node.name):
                if not ast.get_docstring(node):
                    yield prefix + node.name
                yield from _undocumented_in(node.body, f"{prefix}{node.name}.")
        elif isinstance(node, ast.FunctionDef):
            if (_is_public(node.name) or node.name == "__init__") and not _is_setter(node):
                if not ast.get_docstring(node):
                    yield prefix + node.name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            if _is_public(node.target.id) and not _has_docstring(body, index):
                yield prefix + node.target.id


def undocumented_stub_names(source: str) -> list[str]:
    """Public classes, functions, methods, properties, fields and members of a stub without a
    docstring; `__init__` counts as public, the other special methods don't."""
    tree = ast.parse(source)
    missing = [] if ast.get_docstring(tree) else ["<module>"]
    return missing + list(_undocumented_in(tree.body, ""))


def stub_names(source: str) -> set[str]:
    names: set[str] = set()
    for node in ast.parse(source).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def _documented_variables(module: ModuleType) -> set[str]:
    """Module-level names assigned with a string literal right after them, read from the source."""
    body = ast.parse(inspect.getsource(module)).body
    documented = set()
    for index, node in enumerate(body):
        targets: list[ast.expr] = []
        if isinstance(node, ast.Assign):
            targets = node.targets
        elif isinstance(node, ast.AnnAssign):
            targets = [node.target]
        if _has_docstring(body, index):
            documented.update(t.id for t in targets if isinstance(t, ast.Name))
    return documented


def _own_doc(value: Any) -> str | None:
    if isinstance(value, (staticmethod, classmethod)):
        value = value.__func__
    return value.__doc__ if isinstance(value, (property, type)) or inspect.isfunction(value) else None


def undocumented_python_names(module: ModuleType, covered_by_stub: set[str]) -> list[str]:
    """Names in the module's `__all__` (and the public methods and properties their classes define)
    without a docstring of their own: an inherited one tells nothing about the override."""
    prefix = module.__name__ + "."
    missing = [] if module.__doc__ else [prefix + "<module>"]
    variables = _documented_variables(module)
    for name in module.__all__:
        value = getattr(module, name)
        if getattr(value, "__module__", None) == "mirelo._mirelo" and name in covered_by_stub:
            continue  # documented by the stub
        if inspect.isclass(value) or inspect.isfunction(value):
            if not value.__doc__:
                missing.append(prefix + name)
        elif name not in variables:
            missing.append(prefix + name)
        if inspect.isclass(value) and value.__module__ == module.__name__:
            for member, attribute in vars(value).items():
                if not _is_public(member):
                    continue
                is_method = inspect.isfunction(attribute) or isinstance(
                    attribute, (staticmethod, classmethod, property)
                )
                if is_method and not _own_doc(attribute):
                    missing.append(f"{prefix}{name}.{member}")
    return missing


def test_the_stub_documents_every_public_name() -> None:
    assert undocumented_stub_names(STUB.read_text(encoding="utf-8")) == []


@pytest.mark.parametrize(
    "source, missing",
    [
        ("class A:\n    x: int\n", ["<module>", "A", "A.x"]),
        ('"""m"""\nclass A:\n    """a"""\n    def f(self) -> None: ...\n', ["A.f"]),
        ('"""m"""\nX: int\n"""x"""\ndef g() -> None:\n    """g"""\n', []),
        (
            '"""m"""\nclass A:\n    """a"""\n    @property\n    def p(self) -> int:\n        """p"""\n'
            "    @p.setter\n    def p(self, v: int) -> None: ...\n    def __eq__(self, o: object) -> bool: ...\n"
            "    def __init__(self) -> None: ...\n",
            ["A.__init__"],
        ),
    ],
)
def test_the_stub_check_finds_what_lacks_a_docstring(source: str, missing: list[str]) -> None:
    assert undocumented_stub_names(source) == missing


def test_the_python_modules_document_every_public_name() -> None:
    covered = stub_names(STUB.read_text(encoding="utf-8"))
    missing = [
        name
        for module_name in PYTHON_MODULES
        for name in undocumented_python_names(importlib.import_module(module_name), covered)
    ]
    unexpected = [name for name in missing if not any(fnmatch.fnmatchcase(name, p) for p in KNOWN_MISSING)]
    stale = [p for p in KNOWN_MISSING if not any(fnmatch.fnmatchcase(name, p) for name in missing)]
    assert unexpected == []
    assert stale == [], "documented now: remove from KNOWN_MISSING"
