"""The SDK-wide settings functions: conversions of their arguments and their results."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from mirelo import _mirelo as m
from mirelo import loopback


@pytest.fixture
def settings_calls(fresh_loopback: Any) -> Iterator[Any]:
    """Returns the process-wide SDK calls made since the test began; restores the defaults afterwards."""

    def calls() -> list[tuple[str, tuple[Any, ...]]]:
        return [(op, args) for handle, op, args in loopback.journal() if handle == 0]

    yield calls
    m.DisableConsoleLog()
    m.SetLogLevel(2)
    m.DisableLogFile(False)
    m.DisableLogCompress(False)
    m.SetEnvironment("production")


@pytest.fixture
def log_dir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("sdk-logs")


# (function, positional args, keyword args, journaled arguments, result); "LOG" stands for a log directory.
CONVERSIONS = [
    pytest.param("SetLogPath", (None,), {}, (None,), False, id="SetLogPath-None"),
    pytest.param("SetLogPath", ("LOG",), {}, ("LOG",), True, id="SetLogPath-str"),
    pytest.param("SetLogPath", (), {"path": "LOG/b\xffytes"}, ("LOG/b\xffytes",), True, id="SetLogPath-bytes-keyword"),
    pytest.param("SetLogLevel", (-1,), {}, (-1,), None, id="SetLogLevel-minus-one"),
    pytest.param("SetLogLevel", (), {"level": 2**31 - 1}, (2**31 - 1,), None, id="SetLogLevel-int32-max"),
    pytest.param("SetLogLevel", (-(2**31),), {}, (-(2**31),), None, id="SetLogLevel-int32-min"),
    pytest.param("EnableConsoleLog", (), {}, (), None, id="EnableConsoleLog"),
    pytest.param("DisableConsoleLog", (), {}, (), None, id="DisableConsoleLog"),
    pytest.param("DisableLogCompress", (True,), {}, (True,), None, id="DisableLogCompress-True"),
    pytest.param("DisableLogFile", (None,), {}, (False,), None, id="DisableLogFile-None"),
    pytest.param("DisableLogFile", (2,), {}, (True,), None, id="DisableLogFile-int"),
    pytest.param("DisableLogFile", (), {"disabled": 0}, (False,), None, id="DisableLogFile-keyword-zero"),
    pytest.param(
        "SetSocks5Proxy",
        ("127.0.0.1", 65535, None, None),
        {},
        (b"127.0.0.1", 65535, None, False),
        "bool",
        id="SetSocks5Proxy-null-credentials",
    ),
    pytest.param(
        "SetSocks5Proxy",
        (),
        {"ip": b"proxy", "port": 0, "username": "user", "password": bytearray(b"pw")},
        (b"proxy", 0, b"user", True),
        "bool",
        id="SetSocks5Proxy-keywords",
    ),
    pytest.param("SetEnvironment", (None,), {}, (None,), "bool", id="SetEnvironment-None"),
    pytest.param("SetEnvironment", ("ünï",), {}, ("ünï".encode(),), "bool", id="SetEnvironment-utf8"),
]


def with_log_dir(value: Any, log_dir: Path) -> Any:
    if isinstance(value, str) and value.startswith("LOG"):
        text = str(log_dir) + value[3:]
        return text.encode("latin-1") if "\xff" in value else text
    return value


def journal_form(value: Any, log_dir: Path) -> Any:
    value = with_log_dir(value, log_dir)
    return value.encode() if isinstance(value, str) else value


@pytest.mark.parametrize(("function", "args", "kwargs", "journaled", "result"), CONVERSIONS)
def test_a_settings_function_calls_the_sdk_once_with_the_converted_arguments(
    settings_calls: Any,
    log_dir: Path,
    function: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    journaled: tuple[Any, ...],
    result: Any,
) -> None:
    args = tuple(with_log_dir(a, log_dir) for a in args)
    kwargs = {k: with_log_dir(v, log_dir) for k, v in kwargs.items()}
    returned = getattr(m, function)(*args, **kwargs)
    if result == "bool":
        assert type(returned) is bool
    else:
        assert returned is result
    expected = tuple(journal_form(a, log_dir) for a in journaled)
    assert settings_calls() == [(function, expected)]
    for actual, wanted in zip(settings_calls()[0][1], expected):
        assert type(actual) is type(wanted)


# (function, positional args, keyword args) that argument conversion refuses.
REFUSALS = [
    pytest.param("SetLogPath", (5,), {}, id="SetLogPath-int"),
    pytest.param("SetLogPath", ("\ud800",), {}, id="SetLogPath-unencodable"),
    pytest.param("SetLogPath", (m.QoltString("x"),), {}, id="SetLogPath-QoltString"),
    pytest.param("SetLogPath", (), {}, id="SetLogPath-missing"),
    pytest.param("SetLogPath", ("a", "b"), {}, id="SetLogPath-surplus"),
    pytest.param("SetLogPath", (), {"file": "a"}, id="SetLogPath-wrong-keyword"),
    pytest.param("SetLogLevel", (2**31,), {}, id="SetLogLevel-above-int32"),
    pytest.param("SetLogLevel", (-(2**31) - 1,), {}, id="SetLogLevel-below-int32"),
    pytest.param("SetLogLevel", (1.0,), {}, id="SetLogLevel-float"),
    pytest.param("SetLogLevel", ("1",), {}, id="SetLogLevel-str"),
    pytest.param("EnableConsoleLog", (True,), {}, id="EnableConsoleLog-surplus"),
    pytest.param("DisableLogFile", ("yes",), {}, id="DisableLogFile-str"),
    pytest.param("DisableLogFile", ([],), {}, id="DisableLogFile-list"),
    pytest.param("DisableLogCompress", (), {}, id="DisableLogCompress-missing"),
    pytest.param("SetSocks5Proxy", ("h", 65536, None, None), {}, id="SetSocks5Proxy-port-65536"),
    pytest.param("SetSocks5Proxy", ("h", -1, None, None), {}, id="SetSocks5Proxy-port-minus-one"),
    pytest.param("SetSocks5Proxy", ("h", 1080.0, None, None), {}, id="SetSocks5Proxy-port-float"),
    pytest.param("SetSocks5Proxy", ("h", 1080, None), {}, id="SetSocks5Proxy-missing-password"),
    pytest.param("SetEnvironment", (b"x", b"y"), {}, id="SetEnvironment-surplus"),
]


@pytest.mark.parametrize(("function", "args", "kwargs"), REFUSALS)
def test_an_argument_that_does_not_convert_raises_type_error_and_the_sdk_is_not_called(
    settings_calls: Any, function: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    with pytest.raises(TypeError):
        getattr(m, function)(*args, **kwargs)
    assert settings_calls() == []


def test_an_int_convertible_object_is_accepted_as_port(settings_calls: Any) -> None:
    class Port:
        def __index__(self) -> int:
            return 1080

    m.SetSocks5Proxy("h", Port(), None, None)
    assert settings_calls() == [("SetSocks5Proxy", (b"h", 1080, None, False))]
