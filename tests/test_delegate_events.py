"""Events raised by the SDK on its own threads, as the handler sees them, and what becomes of failures."""

from __future__ import annotations

import subprocess
import sys
import threading
from collections.abc import Callable
from typing import Any

import pytest

import mirelo
from conftest import (
    EVENT_METHODS,
    OPTIONAL_EVENT_METHODS,
    REQUIRED_EVENT_METHODS,
    CloudRig,
    RecordingHandler,
    assert_same,
    audio_frame,
    define_every_event,
    event_sample,
    pixel_frame,
    plain,
    video_frame,
)
from mirelo import _mirelo as m
from mirelo.delegate import GUARDED_EVENTS, PARAMETERS

# (SDK operation, emit arguments, handler method, the handler's arguments in plain form): one
# sample of each event, then the edge cases.
ONE_OF_EACH = [
    pytest.param(sample.operation, sample.emit, name, sample.received, id=name)
    for name, sample in ((name, event_sample(name)) for name in EVENT_METHODS)
]
EVENTS = ONE_OF_EACH + [
    pytest.param("OnError", (12345,), "OnError", (("Error", 12345),), id="OnError-value-no-member-has"),
    pytest.param(
        "OnRemoteAudioReceived",
        ("alice", audio_frame(b"")),
        "OnRemoteAudioReceived",
        ("alice", plain(audio_frame(b""))),
        id="OnRemoteAudioReceived-empty-payload",
    ),
    pytest.param(
        "OnSeiMessageReceived",
        ("alice", 3, 0, b""),
        "OnSeiMessageReceived",
        ("alice", ("StreamType", 3), 0, b""),
        id="OnSeiMessageReceived-empty-payload",
    ),
    pytest.param(
        "OnReceiveCustomCmdMsg",
        ("alice", 1, 0, b""),
        "OnReceiveCustomCmdMsg",
        ("alice", 1, 0, b""),
        id="OnReceiveCustomCmdMsg-empty-payload",
    ),
    pytest.param(
        "OnNetworkQuality",
        (None, [("a", 2), ("b", 3), ("c", 0)]),
        "OnNetworkQuality",
        (
            ("NetworkQualityInfo", "", ("NetworkQuality", 6)),
            [
                ("NetworkQualityInfo", "a", ("NetworkQuality", 2)),
                ("NetworkQualityInfo", "b", ("NetworkQuality", 3)),
                ("NetworkQualityInfo", "c", ("NetworkQuality", 0)),
            ],
        ),
        id="OnNetworkQuality-null-local-three-remote",
    ),
]


@pytest.mark.parametrize(("operation", "args", "method", "expected"), EVENTS)
def test_an_event_calls_the_handler_method_once_with_converted_arguments(
    cloud: CloudRig, operation: str, args: tuple[Any, ...], method: str, expected: tuple[Any, ...]
) -> None:
    cloud.emit(operation, *args)
    calls = cloud.handler.wait_for(1)
    assert [name for name, _ in calls] == [method]
    # Read after the event returned: what the handler kept is its own copy.
    assert_same(plain(calls[0][1]), expected)
    assert cloud.failures() == []


def test_an_enumeration_value_no_member_has_arrives_as_an_enumeration_object(cloud: CloudRig) -> None:
    cloud.emit("OnError", 12345)
    (error,) = cloud.handler.wait_for(1)[0][1]
    assert isinstance(error, m.Error)
    assert (error.value, error.name) == (12345, "???")


def test_a_quality_record_without_a_user_id_arrives_without_one(cloud: CloudRig) -> None:
    cloud.emit("OnNetworkQuality", (None, 1), [(None, 2), ("b", 3)])
    local, remote = cloud.handler.wait_for(1)[0][1]
    assert [record.user_id.GetValue() for record in (local, *remote)] == [None, None, "b"]


def test_three_remote_records_are_independent_objects(cloud: CloudRig) -> None:
    cloud.emit("OnNetworkQuality", None, [("a", 2), ("b", 3), ("c", 0)])
    _, remote = cloud.handler.wait_for(1)[0][1]
    remote[0].user_id.SetValue("changed")
    assert [r.user_id.GetValue() for r in remote] == ["changed", "b", "c"]


# The events whose first argument is a user id given as text.
TEXT_EVENTS = [name for name in EVENT_METHODS if PARAMETERS[name][:1] == ("user_id",)]
GUARDED_TEXT_EVENTS = [name for name in TEXT_EVENTS if name in GUARDED_EVENTS]


@pytest.mark.parametrize("method", TEXT_EVENTS)
def test_a_null_user_id_arrives_as_none(cloud: CloudRig, method: str) -> None:
    sample = event_sample(method)
    cloud.emit(sample.operation, None, *sample.emit[1:])
    ((name, args),) = cloud.handler.wait_for(1)
    assert name == method
    assert args[0] is None


INVALID_UTF8_TEXT = "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 1: invalid start byte"


@pytest.mark.parametrize("method", [name for name in TEXT_EVENTS if name not in GUARDED_TEXT_EVENTS])
def test_an_invalid_utf8_user_id_fails_a_required_or_optional_event_without_calling_the_handler(
    cloud: CloudRig, stderr_text: Callable[[], str], method: str
) -> None:
    sample = event_sample(method)
    cloud.emit(sample.operation, b"a\xff", *sample.emit[1:])
    assert cloud.failures() == [(sample.operation, INVALID_UTF8_TEXT)]
    assert cloud.handler.calls == []
    assert "python callback" not in stderr_text()


@pytest.mark.parametrize("operation", GUARDED_TEXT_EVENTS)
def test_an_invalid_utf8_user_id_in_a_guarded_event_prints_the_error_line(
    cloud: CloudRig, stderr_text: Callable[[], str], operation: str
) -> None:
    cloud.emit(operation, b"a\xff", *event_sample(operation).emit[1:])
    assert stderr_text() == f"python callback {operation} error: {INVALID_UTF8_TEXT}\n"
    assert cloud.failures() == []
    assert cloud.handler.calls == []


class VideoNamesHandler(RecordingHandler):
    def OnRemoteVideoReceived(self, *args: Any) -> None:
        self.record("OnRemoteVideoReceived", args)


def test_a_handler_method_named_after_the_sdk_video_operation_is_never_called(make_cloud: Any) -> None:
    rig = make_cloud(VideoNamesHandler())
    rig.emit("OnRemoteVideoReceived", "alice", 2, video_frame())
    rig.emit("OnRemoteVideoReceived", "alice", 2, pixel_frame())
    assert rig.handler.wait_for(2) and rig.handler.names() == [
        "OnRemoteVideoFrameReceived",
        "OnRemotePixelFrameReceived",
    ]


class AllNamesHandler(RecordingHandler):
    """Also defines methods named after the three slots that must never reach Python."""

    def OnUserVoiceVolume(self, *args: Any) -> None:
        self.record("OnUserVoiceVolume", args)

    def OnReceiveAsrMessage(self, *args: Any) -> None:
        self.record("OnReceiveAsrMessage", args)

    def OnAsrServiceError(self, *args: Any) -> None:
        self.record("OnAsrServiceError", args)


@pytest.mark.parametrize(
    ("operation", "args"),
    [
        ("OnUserVoiceVolume", ([("alice", 80), ("bob", 0)], 80)),
        ("OnUserVoiceVolume", ([], 0)),
        ("OnReceiveAsrMessage", ("alice", "hello")),
        ("OnAsrServiceError", (-1, "asr down")),
    ],
)
def test_the_slots_that_never_reach_python_do_nothing(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...]
) -> None:
    rig = make_cloud(AllNamesHandler())
    rig.emit(operation, *args)
    rig.emit("OnEnterRoom")  # delivered after the first: the first has run by now
    assert rig.handler.wait_for(1) and rig.handler.names() == ["OnEnterRoom"]
    assert rig.failures() == []
    assert stderr_text() == ""


def test_events_run_on_an_sdk_thread_not_on_the_caller(cloud: CloudRig) -> None:
    for _ in range(3):
        cloud.emit("OnEnterRoom")
    cloud.handler.wait_for(3)
    assert threading.get_ident() not in cloud.handler.threads


# --- Failures ---------------------------------------------------------------------------------

# One emit per handler method: (SDK operation, emit arguments, handler method).
FIRST_CASE = {case.id: tuple(case.values[:3]) for case in ONE_OF_EACH}
GUARDED = tuple(sorted(GUARDED_EVENTS))
REQUIRED_CASES = [pytest.param(*FIRST_CASE[name], id=name) for name in REQUIRED_EVENT_METHODS]
OPTIONAL_CASES = [pytest.param(*FIRST_CASE[name], id=name) for name in OPTIONAL_EVENT_METHODS]
# The events whose errors reach the SDK, and those the module prints itself.
SDK_REPORTED_CASES = [case for case in REQUIRED_CASES + OPTIONAL_CASES if case.values[2] not in GUARDED]
GUARDED_CASES = [case for case in OPTIONAL_CASES if case.values[2] in GUARDED]


class NoMethods(m.QOLTCloudDelegate):
    pass


@pytest.mark.parametrize(("operation", "args", "method"), REQUIRED_CASES)
def test_a_required_event_without_a_method_fails_with_the_pure_virtual_text(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(NoMethods())
    rig.emit(operation, *args)
    assert rig.failures() == [(operation, f'Tried to call pure virtual function "QOLTCloudDelegate::{method}"')]
    assert "python callback" not in stderr_text()


@pytest.mark.parametrize(("operation", "args", "method"), OPTIONAL_CASES)
def test_an_optional_event_without_a_method_is_dropped(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(NoMethods())
    rig.emit(operation, *args)
    assert rig.failures() == []
    assert stderr_text() == ""


@pytest.mark.parametrize(("operation", "args", "method"), REQUIRED_CASES + OPTIONAL_CASES)
def test_a_handler_derived_from_the_package_base_takes_every_event_quietly(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(mirelo.Delegate())
    rig.emit(operation, *args)
    assert rig.failures() == []
    assert stderr_text() == ""


class Raising(RecordingHandler):
    """Records each call, then raises from a function whose traceback line is known."""


def _raise_boom(self: Raising, *args: Any) -> None:
    self.record("call", args)
    raise ValueError("boom")


BOOM_CODE = _raise_boom.__code__
BOOM_LINE = max(line for _, _, line in BOOM_CODE.co_lines() if line is not None)
BOOM_TEXT = f"ValueError: boom\n\nAt:\n  {BOOM_CODE.co_filename}({BOOM_LINE}): {BOOM_CODE.co_name}\n"
define_every_event(Raising, _raise_boom)


@pytest.mark.parametrize(
    ("operation", "args", "method"),
    [case for case in REQUIRED_CASES] + [pytest.param(*FIRST_CASE["OnMissCustomCmdMsg"], id="OnMissCustomCmdMsg")],
)
def test_a_handler_exception_leaves_the_event_towards_the_sdk_and_the_next_event_is_delivered(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(Raising())
    rig.emit(operation, *args)
    rig.emit(operation, *args)
    assert rig.handler.wait_for(2) and len(rig.handler.calls) == 2
    assert rig.failures() == [(operation, BOOM_TEXT)] * 2
    assert "python callback" not in stderr_text()


@pytest.mark.parametrize(("operation", "args", "method"), [c for c in OPTIONAL_CASES if c.id in GUARDED])
def test_a_handler_exception_in_a_guarded_event_prints_one_error_line_and_the_next_event_is_delivered(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(Raising())
    rig.emit(operation, *args)
    assert stderr_text() == f"python callback {method} error: {BOOM_TEXT}\n"
    rig.emit(operation, *args)
    assert stderr_text() == f"python callback {method} error: {BOOM_TEXT}\n"
    assert len(rig.handler.calls) == 2
    assert rig.failures() == []


class NotCallable(m.QOLTCloudDelegate):
    OnEnterRoom = 5
    OnMissCustomCmdMsg = 5
    OnSeiMessageReceived = 5
    OnReceiveCustomCmdMsg = 5
    OnNetworkQuality = 5


@pytest.mark.parametrize(("operation", "args", "method"), [FIRST_CASE["OnEnterRoom"], FIRST_CASE["OnMissCustomCmdMsg"]])
def test_a_non_callable_attribute_fails_a_required_or_optional_event(
    make_cloud: Any, operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(NotCallable())
    rig.emit(operation, *args)
    assert rig.failures() == [(operation, "Object of type 'int' is not an instance of 'function'")]


@pytest.mark.parametrize(("operation", "args", "method"), [c for c in OPTIONAL_CASES if c.id in GUARDED])
def test_a_non_callable_attribute_in_a_guarded_event_prints_unknown_error(
    make_cloud: Any, stderr_text: Callable[[], str], operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(NotCallable())
    rig.emit(operation, *args)
    assert stderr_text() == "unknown error\n"
    assert rig.failures() == []


class WrongArity(RecordingHandler):
    def OnEnterRoom(self, unexpected: Any) -> None:
        self.record("OnEnterRoom", (unexpected,))

    def OnNetworkQuality(self, local: Any) -> None:
        self.record("OnNetworkQuality", (local,))


def test_a_method_with_the_wrong_parameters_fails_like_a_raising_one(
    make_cloud: Any, stderr_text: Callable[[], str]
) -> None:
    rig = make_cloud(WrongArity())
    rig.emit("OnEnterRoom")
    rig.emit("OnNetworkQuality", None, [])
    ((operation, text),) = rig.failures()
    assert operation == "OnEnterRoom" and text.startswith("TypeError: ")
    err = stderr_text()
    assert err.startswith("python callback OnNetworkQuality error: TypeError: ") and err.count("python callback") == 1
    assert rig.handler.calls == []


def _delegate_raising(report_errors: bool) -> Any:
    """A mirelo.Delegate subclass whose every event raises ValueError("boom")."""
    namespace = {method: (lambda self, *args: _raise_boom(self, *args)) for _, _, method in ONE_OF_EACH}

    class Reported(mirelo.Delegate, RecordingHandler, report_errors=report_errors):  # type: ignore[misc]
        locals().update(namespace)

    return Reported()


PRINTED_BY_DEFAULT = """
import mirelo
from mirelo import loopback

class Handler(mirelo.Delegate):
    def OnEnterRoom(self):
        raise ValueError("boom")

cloud = mirelo.QOLTCloud(Handler())
loopback.emit(loopback.clouds()[-1], "OnEnterRoom")
print(loopback.failures()[0][2].splitlines()[0])
"""


def test_with_no_logging_configured_a_handler_error_is_printed_and_the_sdk_still_gets_it(tmp_path: Any) -> None:
    done = subprocess.run(
        [sys.executable, "-c", PRINTED_BY_DEFAULT], capture_output=True, text=True, timeout=60, cwd=tmp_path
    )
    assert (done.returncode, done.stdout) == (0, "ValueError: boom\n")
    assert done.stderr.startswith("exception in handler Handler.OnEnterRoom\nTraceback (most recent call last):\n")
    assert done.stderr.endswith("line 7, in OnEnterRoom\nValueError: boom\n")


@pytest.mark.parametrize(("operation", "args", "method"), SDK_REPORTED_CASES)
def test_a_handler_error_goes_to_configured_logging_with_its_traceback(
    make_cloud: Any, caplog: pytest.LogCaptureFixture, operation: str, args: tuple[Any, ...], method: str
) -> None:
    rig = make_cloud(_delegate_raising(report_errors=True))
    with caplog.at_level("ERROR", logger="mirelo"):
        rig.emit(operation, *args)
    assert [(op, text.splitlines()[0]) for op, text in rig.failures()] == [(operation, "ValueError: boom")]
    [record] = caplog.records
    assert record.name == "mirelo" and record.exc_info is not None
    assert isinstance(record.exc_info[1], ValueError) and record.getMessage().endswith(f".{method}")


@pytest.mark.parametrize("report_errors", [True, False], ids=["default", "turned-off"])
@pytest.mark.parametrize(("operation", "args", "method"), GUARDED_CASES)
def test_guarded_events_print_their_own_line_only(
    make_cloud: Any,
    stderr_text: Callable[[], str],
    operation: str,
    args: tuple[Any, ...],
    method: str,
    report_errors: bool,
) -> None:
    rig = make_cloud(_delegate_raising(report_errors))
    rig.emit(operation, *args)
    err = stderr_text()
    assert err.startswith(f"python callback {method} error: ValueError: boom") and "exception in handler" not in err


@pytest.mark.parametrize(("operation", "args", "method"), REQUIRED_CASES[:3])
def test_reporting_turned_off_leaves_the_handler_error_to_the_sdk_alone(
    make_cloud: Any,
    stderr_text: Callable[[], str],
    caplog: pytest.LogCaptureFixture,
    operation: str,
    args: tuple[Any, ...],
    method: str,
) -> None:
    rig = make_cloud(_delegate_raising(report_errors=False))
    with caplog.at_level("DEBUG", logger="mirelo"):
        rig.emit(operation, *args)
    assert [op for op, _ in rig.failures()] == [operation]
    assert (stderr_text(), caplog.records) == ("", [])


def test_a_handler_that_calls_sys_exit_is_not_reported_but_the_sdk_still_gets_it(
    make_cloud: Any, caplog: pytest.LogCaptureFixture
) -> None:
    class Exiting(mirelo.Delegate):
        def OnEnterRoom(self) -> None:
            sys.exit(3)

    rig = make_cloud(Exiting())
    with caplog.at_level("DEBUG", logger="mirelo"):
        rig.emit("OnEnterRoom")
    assert [(op, text.splitlines()[0]) for op, text in rig.failures()] == [("OnEnterRoom", "SystemExit: 3")]
    assert caplog.records == []
