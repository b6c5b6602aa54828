"""Random Python values at every entry point of _mirelo and of loopback.emit.

Whatever a caller passes, only a Python exception comes out, a refused write or setter call leaves
its object as it was (and reaches no SDK operation), and the process stays up: a crash would end
the whole run. The parameter types come from the signatures that the binding generates, so a
method or field added later is fuzzed without a change here. How many examples each test draws is
the "fuzz" settings profile (MIRELO_FUZZ_EXAMPLES, 150 by default); the run's total is printed in
pytest's summary.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import (
    EVENT_METHODS,
    FUZZ_CASES,
    CloudRig,
    RecordingHandler,
    audio_frame,
    event_sample,
    network_quality,
    pixel_frame,
    user_info,
    video_frame,
)
from mirelo import _mirelo as m
from mirelo import loopback

settings.register_profile(
    "fuzz",
    max_examples=int(os.environ.get("MIRELO_FUZZ_EXAMPLES", "150")),
    deadline=None,
    database=None,
    # CI sets it so that a run is reproducible; elsewhere every run tries new cases.
    derandomize=os.environ.get("MIRELO_FUZZ_DERANDOMIZE") == "1",
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)
FUZZ = settings.get_profile("fuzz")

# What a refused argument may raise (ValueError includes the Unicode errors). Anything else, such as
# a SystemError from a native function that failed without saying why, is a fault.
REFUSALS = (TypeError, ValueError, RuntimeError)

CLASSES = [value for value in vars(m).values() if isinstance(value, type) and value.__module__ == "mirelo._mirelo"]
ENUMS = [cls for cls in CLASSES if "__members__" in dir(cls)]
RECORDS = [cls for cls in CLASSES if cls not in ENUMS and cls not in (m.QOLTCloud, m.QOLTCloudDelegate, m.QoltString)]
FUNCTIONS = [value for name, value in vars(m).items() if callable(value) and not isinstance(value, type)]
ENUM_MEMBERS = [member for cls in ENUMS for member in cls.__members__.values()]


# --- values --------------------------------------------------------------------------------------

EDGE_INTS = sorted(
    {sign * 2**bits + delta for bits in (7, 8, 15, 16, 31, 32, 63, 64) for sign in (1, -1) for delta in (-1, 0, 1)}
    | {0, 1, -1, 2**100, -(2**100)}
)


class Index:
    """Converts through __index__ alone, to whatever it was given (a huge int, or not an int)."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value


class IntOnly:
    def __int__(self) -> int:
        return 7


class FloatOnly:
    def __float__(self) -> float:
        return 1.5


class Raising:
    """Every conversion it is asked for fails with a Python error."""

    def __index__(self) -> int:
        raise ValueError("no index")

    def __int__(self) -> int:
        raise ValueError("no int")

    def __bool__(self) -> bool:
        raise ValueError("no truth")

    def __str__(self) -> str:
        raise ValueError("no text")


class Text(str):
    pass


class Payload(bytes):
    pass


class Number(int):
    pass


def _null_holder() -> m.QoltString:
    return m.QoltString()


OTHER_OBJECTS: list[Callable[[], Any]] = [
    object,
    IntOnly,
    FloatOnly,
    Raising,
    lambda: Index(2**70),
    lambda: Index(-1),
    lambda: Index("not an int"),
    lambda: Text("sub\x00class"),
    lambda: Payload(b"\xff\x00"),
    lambda: Number(2**31),
    lambda: m.QoltString("holder"),
    _null_holder,
    lambda: m.QoltString(b"\xff\xfe"),
    m.QOLTCloudDelegate,
    RecordingHandler,
    audio_frame,
    video_frame,
    pixel_frame,
    lambda: user_info("alice"),
    lambda: network_quality("bob", m.NETWORK_QUALITY_GOOD),
    lambda: m,
    lambda: len,
    lambda: [1, "two", b"3"],
    lambda: {"a": 1},
    lambda: ("alice", 1),
] + [cls for cls in RECORDS]

TEXT_CHARACTERS = st.one_of(
    st.characters(exclude_categories=()),
    st.sampled_from(["\ud800", "\udfff", "\udc80", "\x00", "\xff", "\U0001f600", "/"]),
)
texts = st.one_of(
    st.text(TEXT_CHARACTERS, max_size=24),
    st.sampled_from(["", "\ud800", "a\x00b", "\x00"]),
    st.sampled_from([300, 5000]).map(lambda n: "é" * n),  # built, not listed: keeps the reprs short
)
raw_bytes = st.binary(max_size=64) | st.sampled_from([b"", b"\x00", b"\xff\xfe\xfd"]) | st.just(2000).map(bytes)
ints = st.sampled_from(EDGE_INTS) | st.integers()
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 1.0, 2.0**64])
enum_values = st.sampled_from(ENUM_MEMBERS) | st.builds(
    lambda cls, value: cls(value), st.sampled_from(ENUMS), st.sampled_from([0, 1, 5, 1000])
)
others = st.sampled_from(OTHER_OBJECTS).map(lambda factory: factory())

scalars = st.one_of(
    st.none(),
    st.booleans(),
    ints,
    floats,
    texts,
    raw_bytes,
    raw_bytes.map(bytearray),
    raw_bytes.map(memoryview),
    enum_values,
    others,
)
any_value = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner), max_leaves=4)


def instance_of(cls: type) -> st.SearchStrategy[Any]:
    if cls in ENUMS:
        return st.sampled_from(list(cls.__members__.values())) | st.sampled_from([0, 1, 5, 1000]).map(cls)
    if cls is m.QOLTCloudDelegate:
        return st.sampled_from([RecordingHandler, m.QOLTCloudDelegate]).map(lambda factory: factory())
    if cls in (m.AudioFrame, m.VideoFrame, m.PixelFrame):
        return frames(cls)
    if cls is m.QoltString:
        return st.builds(m.QoltString, st.text(max_size=16)) | st.builds(m.QoltString)
    return st.builds(cls)


@st.composite
def frames(draw: st.DrawFn, cls: type) -> Any:
    """A frame whose every field and payload is drawn: what an event or a send may carry."""
    frame = cls()
    for name in FIELDS[cls]:
        type_text = overloads(getattr(cls, name).fset)[0][0]
        # Integer fields are signed or unsigned; every one of them takes 0 .. 2**31 - 1.
        value = draw(st.integers(0, 2**31 - 1) if "SupportsInt" in type_text else valid(type_text))
        setattr(frame, name, value)
    frame.SetData(draw(st.binary(max_size=256)))
    return frame


def valid(type_text: str) -> st.SearchStrategy[Any]:
    """Values of the type that a generated signature names, which the binding converts."""
    if "SupportsInt" in type_text:
        return st.integers(-(2**31), 2**31 - 1) | st.sampled_from([0, 1, 2**31 - 1, -(2**31)])
    if type_text == "str":
        return st.text(max_size=16) | st.binary(max_size=16)
    if type_text == "bytes":
        return st.binary(max_size=256)
    if type_text == "bool":
        return st.booleans()
    if type_text == "PyQOLTCloudDelegate":
        return instance_of(m.QOLTCloudDelegate)
    cls = getattr(m, re.split(r"::|\.", type_text)[-1], None)
    return instance_of(cls) if isinstance(cls, type) else any_value


def edgy(type_text: str) -> st.SearchStrategy[Any]:
    """Near misses of the type: range edges, other integer-like objects, odd texts, subclasses,
    members of the wrong enumeration, None."""
    if "SupportsInt" in type_text:
        return ints | ints.filter(lambda v: abs(v) < 2**80).map(Index) | st.booleans() | enum_values | floats
    if type_text == "str":
        return texts | raw_bytes.map(bytearray) | st.none() | texts.map(Text) | raw_bytes.map(memoryview)
    if type_text == "bytes":
        return raw_bytes.map(Payload) | raw_bytes.map(bytearray) | texts | st.none()
    if type_text == "bool":
        return ints | st.none() | st.builds(Raising) | floats
    return enum_values | others | st.none()


def mostly(usual: st.SearchStrategy[Any], *rare: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Draws from `usual` six times in eight, else from one of `rare`."""
    return st.sampled_from([usual] * (3 * len(rare)) + list(rare)).flatmap(lambda strategy: strategy)


def argument(type_text: str) -> st.SearchStrategy[Any]:
    # Mostly values that convert, so that calls get past the binding and reach the SDK.
    return mostly(valid(type_text), edgy(type_text), any_value)


# --- signatures ----------------------------------------------------------------------------------


def _split_parameters(text: str) -> list[str]:
    parameters, depth, current = [], 0, ""
    for char in text:
        depth += char in "[("
        depth -= char in "])"
        if char == "," and depth == 0:
            parameters.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parameters.append(current.strip())
    return parameters


def overloads(function: Any) -> list[list[str]]:
    """The parameter types of each overload that the binding generated for a function or setter,
    without self."""
    found = []
    for line in (function.__doc__ or "").splitlines():
        match = re.match(r"^(?:\d+\. )?\w*\((.*)\) -> .*$", line.strip())
        if match is None:
            continue
        types = [p.split(": ", 1)[1] for p in _split_parameters(match.group(1)) if ": " in p]
        found.append(types[1:] if match.group(1).startswith("self") else types)
    return found


def call_arguments(function: Any) -> st.SearchStrategy[list[Any]]:
    """Arguments for one of the function's overloads, or random ones of a random count."""
    shapes = [st.tuples(*[argument(t) for t in types]).map(list) for types in overloads(function)]
    return mostly(st.one_of(*shapes), st.lists(any_value, max_size=5))


# --- snapshots -----------------------------------------------------------------------------------


def text_of(holder: m.QoltString) -> Any:
    try:
        return holder.GetValue()
    except UnicodeDecodeError as error:
        return ("undecodable", error.object)


def snapshot(value: Any) -> Any:
    """Everything that can be read from a record, frame, holder or enumeration, as plain values."""
    if isinstance(value, m.QoltString):
        return text_of(value)
    if type(value) in ENUMS:
        return int(value)
    if type(value) in RECORDS:
        fields = {name: snapshot(getattr(value, name)) for name in FIELDS[type(value)]}
        if isinstance(value, (m.AudioFrame, m.VideoFrame, m.PixelFrame)):
            fields["data"], fields["size"] = value.data, value.size
        return fields
    return value


FIELDS = {
    cls: [name for name, attr in vars(cls).items() if isinstance(attr, property) and attr.fset is not None]
    for cls in RECORDS
}
FIELD_TARGETS = [(cls, name) for cls in RECORDS for name in FIELDS[cls]]
METHOD_TARGETS = [
    (cls, name)
    for cls in CLASSES
    for name, attr in vars(cls).items()
    if callable(attr) and not isinstance(attr, type) and name not in ("__new__",)
]


def refused(error: BaseException) -> None:
    assert isinstance(error, REFUSALS), repr(error)


# --- the live cloud ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def live() -> Iterator[CloudRig]:
    """One cloud with a handler for every event, shared by the examples; a short journal keeps
    reading it cheap."""
    saved = loopback.configuration()
    loopback.configure(journal_entries=64)
    rig = CloudRig(RecordingHandler())
    yield rig
    rig.close()
    loopback.flush()
    loopback.configure(**saved)


def newest_journal_entry() -> Any:
    entries = loopback.journal()
    return entries[-1] if entries else None


def still_delivers(rig: CloudRig) -> None:
    before = len(rig.handler.calls)
    rig.emit("OnEnterRoom")
    assert rig.handler.names()[before:] == ["OnEnterRoom"]


# --- the tests -----------------------------------------------------------------------------------


@FUZZ
@given(target=st.sampled_from(CLASSES), data=st.data())
def test_constructors_accept_or_refuse_any_arguments(target: type, data: st.DataObject) -> None:
    FUZZ_CASES["constructors"] += 1
    args = data.draw(call_arguments(target.__init__))
    try:
        made = target(*args)
    except Exception as error:  # noqa: BLE001 - what came out is the subject
        refused(error)
    else:
        snapshot(made)


@FUZZ
@given(target=st.sampled_from(FIELD_TARGETS), through_view=st.booleans(), data=st.data())
def test_a_refused_field_write_leaves_the_record_unchanged(
    target: tuple[type, str], through_view: bool, data: st.DataObject
) -> None:
    FUZZ_CASES["fields"] += 1
    cls, name = target
    owner = m.EnterRoomParams()
    views = {m.RoomParams: owner.room, m.AudioObtainParams: owner.audio_obtain_params}
    viewed = through_view and cls in views
    record = views[cls] if viewed else cls()
    if isinstance(record, (m.AudioFrame, m.VideoFrame, m.PixelFrame)):
        record.SetData(b"payload")
    watched = owner if viewed else record
    before = snapshot(watched)
    value = data.draw(st.one_of(*[argument(t[0]) for t in overloads(getattr(cls, name).fset)], any_value))
    try:
        setattr(record, name, value)
    except Exception as error:  # noqa: BLE001 - what came out is the subject
        refused(error)
        assert snapshot(watched) == before
    else:
        snapshot(watched)


@FUZZ
@given(target=st.sampled_from([t for t in METHOD_TARGETS if t[0] is not m.QOLTCloud]), data=st.data())
def test_value_methods_and_base_events_accept_or_refuse_any_arguments(
    target: tuple[type, str], data: st.DataObject
) -> None:
    FUZZ_CASES["methods"] += 1
    cls, name = target
    if cls in ENUMS:
        subject: Any = cls(1)
    elif cls is m.QOLTCloudDelegate:
        subject = data.draw(st.sampled_from([RecordingHandler, m.QOLTCloudDelegate]))()
    elif cls is m.QoltString:
        subject = m.QoltString("before")
    else:
        subject = {m.AudioFrame: audio_frame, m.VideoFrame: video_frame, m.PixelFrame: pixel_frame}.get(cls, cls)()
    method = getattr(subject, name)
    args = data.draw(call_arguments(getattr(cls, name)))
    before = snapshot(subject)
    try:
        method(*args)
    except Exception as error:  # noqa: BLE001 - what came out is the subject
        refused(error)
        assert snapshot(subject) == before
    else:
        snapshot(subject)


@FUZZ
@given(name=st.sampled_from([name for cls, name in METHOD_TARGETS if cls is m.QOLTCloud]), data=st.data())
def test_cloud_methods_accept_or_refuse_any_arguments_and_refusals_reach_no_sdk_call(
    live: CloudRig, name: str, data: st.DataObject
) -> None:
    FUZZ_CASES["cloud methods"] += 1
    args = data.draw(call_arguments(getattr(m.QOLTCloud, name)))
    before = newest_journal_entry()
    try:
        getattr(live.cloud, name)(*args)
    except Exception as error:  # noqa: BLE001 - what came out is the subject
        refused(error)
        assert newest_journal_entry() == before
    for value in args:
        snapshot(value)  # whatever the SDK wrote into (GetAudioFrame) is still readable


@pytest.fixture
def log_sandbox(tmp_path: Any, monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """Relative log paths land in a temporary directory; the settings are put back afterwards."""
    monkeypatch.chdir(tmp_path)
    yield
    m.SetLogPath(str(tmp_path))
    m.DisableConsoleLog()
    m.SetLogLevel(2)
    m.DisableLogFile(False)
    m.DisableLogCompress(False)
    m.SetEnvironment("production")


def inside_sandbox(value: Any) -> bool:
    """Keeps SetLogPath from creating directories outside the sandbox."""
    if isinstance(value, (str, bytes, bytearray)):
        text = value if isinstance(value, str) else bytes(value).decode("latin-1")
        return not text.startswith(("/", "~")) and ".." not in text
    return True


@FUZZ
@given(function=st.sampled_from(FUNCTIONS), data=st.data())
def test_settings_functions_accept_or_refuse_any_arguments(
    log_sandbox: None, function: Any, data: st.DataObject
) -> None:
    FUZZ_CASES["functions"] += 1
    args = data.draw(call_arguments(function).filter(lambda values: all(map(inside_sandbox, values))))
    if function is m.EnableConsoleLog:
        args = args or [None]  # a console copy would flood the output: only its refusals run
    before = newest_journal_entry()
    try:
        function(*args)
    except Exception as error:  # noqa: BLE001 - what came out is the subject
        refused(error)
        assert newest_journal_entry() == before


# loopback.emit: the SDK's delegate operations with the kinds of their arguments.
EMIT_SIGNATURES: dict[str, tuple[str, ...]] = {
    "OnError": ("int",),
    "OnConnectionStateChanged": ("int", "int"),
    "OnEnterRoom": (),
    "OnExitRoom": (),
    "OnLocalAudioChannelCreated": (),
    "OnLocalAudioChannelDestroyed": (),
    "OnLocalVideoChannelCreated": ("int",),
    "OnLocalVideoChannelDestroyed": ("int",),
    "OnRequestChangeVideoEncodeBitrate": ("int", "int"),
    "OnRequestKeyFrame": ("int",),
    "OnRemoteUserEnterRoom": ("user",),
    "OnRemoteUserExitRoom": ("user", "int"),
    "OnRemoteAudioAvailable": ("text", "bool"),
    "OnRemoteVideoAvailable": ("text", "bool", "int"),
    "OnRemoteVideoReceived": ("text", "int", "video"),
    "OnRemoteAudioReceived": ("text", "audio"),
    "OnRemoteMixedAudioReceived": ("audio",),
    "OnSeiMessageReceived": ("text", "int", "int", "payload"),
    "OnReceiveCustomCmdMsg": ("text", "int", "uint", "payload"),
    "OnMissCustomCmdMsg": ("text", "int", "uint", "uint"),
    "OnNetworkQuality": ("quality", "qualities"),
    "OnUserVoiceVolume": ("volumes", "uint"),
    "OnReceiveAsrMessage": ("text", "text"),
    "OnAsrServiceError": ("int", "text"),
}
# Every event's operation is here, with as many arguments as its sample passes.
assert all(len(EMIT_SIGNATURES[event_sample(name).operation]) == len(event_sample(name).emit) for name in EVENT_METHODS)

# A user id a record holds passes through QoltString, which takes UTF-8 text only.
_record_text = st.text(st.characters(codec="utf-8", exclude_characters="\x00"), max_size=8)
_emit_text = (
    st.none()
    | st.text(st.characters(exclude_characters="\x00"), max_size=16)
    | st.binary(max_size=16).filter(lambda b: b"\x00" not in b)
)  # bytes that are not UTF-8 reach the handler as a decoding error
_emit_int = st.integers(-(2**31), 2**31 - 1) | st.sampled_from(ENUM_MEMBERS)
_emit_uint = st.integers(0, 2**32 - 1)
EMIT_KINDS: dict[str, st.SearchStrategy[Any]] = {
    "int": _emit_int,
    "uint": _emit_uint,
    "text": _emit_text,
    "bool": st.booleans(),
    "user": _emit_text | st.builds(user_info, _record_text),
    "audio": frames(m.AudioFrame),
    "video": frames(m.VideoFrame) | frames(m.PixelFrame),
    "payload": st.binary(max_size=2000),
    "quality": st.none()
    | st.tuples(_emit_text, _emit_int)
    | st.builds(network_quality, _record_text, instance_of(m.NetworkQuality)),
    "qualities": st.lists(st.tuples(_emit_text, _emit_int), max_size=5),
    "volumes": st.lists(st.tuples(_emit_text, _emit_uint), max_size=5),
}


@st.composite
def emit_calls(draw: st.DrawFn) -> tuple[Any, list[Any]]:
    """Mostly a known operation with arguments of its kinds; else wrong counts, kinds and names."""
    name = draw(mostly(st.sampled_from(sorted(EMIT_SIGNATURES)), texts))
    kinds = EMIT_SIGNATURES.get(name, ()) if isinstance(name, str) else ()
    shape = draw(st.sampled_from(["kinds", "kinds", "kinds", "one off", "random"]))
    if shape == "random":
        return name, draw(st.lists(any_value, max_size=5))
    args = [draw(EMIT_KINDS[kind]) for kind in kinds]
    if shape == "one off" and args:
        args[draw(st.integers(0, len(args) - 1))] = draw(any_value | ints | texts)
    return name, args


@FUZZ
@given(call=emit_calls(), repeat=mostly(st.just(1), st.sampled_from([2, 0, -1, 2**32, True, 1.0, None])))
def test_emit_raises_any_event_or_refuses_it_and_the_cloud_keeps_delivering(
    live: CloudRig, call: tuple[Any, list[Any]], repeat: Any
) -> None:
    FUZZ_CASES["emit"] += 1
    name, args = call
    try:
        loopback.emit(live.handle, name, *args, timeout=30.0, repeat=repeat)
    except (TypeError, ValueError) as error:
        refused(error)
    still_delivers(live)
