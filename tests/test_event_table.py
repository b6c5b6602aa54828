"""Every place that lists the events knows every event of the native QOLTCloudDelegate, with the same
parameters: the package's Delegate, mirelo.aio's event classes and forwarders, the stub, and the
tests' samples. An event added to the binding fails here until each of them knows it."""

from __future__ import annotations

import ast
import dataclasses
import re
from pathlib import Path

import pytest

import mirelo
from conftest import EVENT_SAMPLES
from mirelo import _mirelo as m
from mirelo import aio
from mirelo.delegate import EVENTS, PARAMETERS

NATIVE = [name for name in vars(m.QOLTCloudDelegate) if name.startswith("On")]
STUB = Path(mirelo.__file__).with_name("_mirelo.pyi")


def native_arity(name: str) -> int:
    """The number of arguments after self that the native base method takes, from its signature."""
    signature = getattr(m.QOLTCloudDelegate, name).__doc__.strip().splitlines()[0]
    return len(re.findall(r"\barg\d+:", signature))


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (delegate,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "QOLTCloudDelegate"]
    methods = [node for node in delegate.body if isinstance(node, ast.FunctionDef)]
    return {method.name: method for method in methods if method.name.startswith("On")}


def stub_handler_arity(method: ast.FunctionDef) -> int:
    """How many arguments the stub says a handler's method takes: its own parameters, or for a method
    declared with *args, those of the handler signature its docstring gives."""
    if method.args.vararg is None:
        return len(method.args.posonlyargs) + len(method.args.args) - 1
    docstring = ast.get_docstring(method) or ""
    found = re.search(rf"`{method.name}\(self(?P<params>(, \w+)*)\)`", docstring)
    assert found, f"the stub's {method.name} gives no handler signature"
    return found["params"].count(",")


def test_every_place_lists_exactly_the_native_events_in_order() -> None:
    assert list(EVENTS) == NATIVE
    assert [name for name in vars(mirelo.Delegate) if name.startswith("On")] == NATIVE
    assert list(stub_methods()) == NATIVE
    assert list(aio.EVENT_TYPES) == NATIVE
    assert [name for name in vars(aio.EventStream) if name.startswith("On")] == NATIVE
    assert sorted(EVENT_SAMPLES) == sorted(NATIVE)


@pytest.mark.parametrize("name", NATIVE)
def test_an_events_parameters_agree_everywhere(name: str) -> None:
    params = PARAMETERS[name]
    event_type = aio.EVENT_TYPES[name]
    assert event_type.name == name and getattr(aio, event_type.__name__) is event_type  # the public class
    assert tuple(field.name for field in dataclasses.fields(event_type)) == params
    assert event_type.__match_args__ == params
    assert getattr(aio.EventStream, name).__code__.co_varnames[1 : len(params) + 1] == params
    method = stub_methods()[name]
    assert stub_handler_arity(method) == len(params)
    if method.args.vararg is None:
        # The native base method takes the handler's arguments, but for the events whose base
        # method also takes a payload's length or a list's count, which the stub declares as *args.
        assert native_arity(name) == len(params)
    assert len(EVENT_SAMPLES[name].received) == len(params)
