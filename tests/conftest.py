"""Fixtures shared by the test modules."""

import collections
import gc
import os
import re
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NamedTuple

import pytest

from mirelo import _mirelo
from mirelo.delegate import EVENTS


@pytest.fixture(scope="session")
def extension_path() -> Path:
    """The installed _mirelo extension file."""
    return Path(_mirelo.__file__)


# Recording handlers and clouds driven by the loopback SDK.

EVENT_METHODS = EVENTS
"""The 22 event methods that the module calls on a handler, in registration order."""
OPTIONAL_EVENT_METHODS = ("OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg", "OnNetworkQuality")
REQUIRED_EVENT_METHODS = tuple(name for name in EVENT_METHODS if name not in OPTIONAL_EVENT_METHODS)


class RecordingHandler(_mirelo.QOLTCloudDelegate):
    """Defines all 22 events; each records (method name, args) and wakes waiters."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: list[tuple[str, tuple[Any, ...]]] = []
        self.threads: set[int] = set()
        self._changed = threading.Condition()

    def record(self, name: str, args: tuple[Any, ...]) -> None:
        with self._changed:
            self.calls.append((name, args))
            self.threads.add(threading.get_ident())
            self._changed.notify_all()

    def wait_for(self, count: int, timeout: float = 5.0) -> list[tuple[str, tuple[Any, ...]]]:
        """Waits until at least `count` calls were recorded; returns a snapshot of them."""
        with self._changed:
            if not self._changed.wait_for(lambda: len(self.calls) >= count, timeout):
                raise TimeoutError(f"{len(self.calls)} of {count} events after {timeout} s")
            return list(self.calls)

    def names(self) -> list[str]:
        with self._changed:
            return [name for name, _ in self.calls]


def _recording_method(name: str) -> Callable[..., None]:
    def method(self: RecordingHandler, *args: Any) -> None:
        self.record(name, args)

    method.__name__ = method.__qualname__ = name
    return method


for _name in EVENT_METHODS:
    setattr(RecordingHandler, _name, _recording_method(_name))
del _name


def define_every_event(handler_class: type, method: Callable[..., Any]) -> None:
    """Makes `method` the handler of every event that `handler_class` does not define itself."""
    for name in EVENT_METHODS:
        if name not in vars(handler_class):
            setattr(handler_class, name, method)


# Plain forms of what events and base methods hand to Python, for exact comparisons.
ENUM_CLASSES = (
    _mirelo.Error,
    _mirelo.ConnectionState,
    _mirelo.StreamType,
    _mirelo.NetworkQuality,
    _mirelo.AudioCodecType,
    _mirelo.VideoCodecType,
    _mirelo.VideoRotation,
    _mirelo.VideoPixelFormat,
)
FRAME_FIELDS = {
    _mirelo.AudioFrame: ("pts", "sample_rate", "channels", "bits_per_sample", "codec", "has_voice"),
    _mirelo.VideoFrame: ("pts", "dts", "codec", "is_key_frame", "rotation"),
    _mirelo.PixelFrame: ("pts", "format", "height", "width", "rotation"),
}


def plain(value: Any) -> Any:
    """Turns enumerations, records, frames and lists into tuples, dicts and lists of plain values."""
    if isinstance(value, ENUM_CLASSES):
        return (type(value).__name__, int(value))
    if isinstance(value, _mirelo.UserInfo):
        return ("UserInfo", value.user_id.GetValue())
    if isinstance(value, _mirelo.NetworkQualityInfo):
        return ("NetworkQualityInfo", value.user_id.GetValue(), plain(value.quality))
    if type(value) in FRAME_FIELDS:
        fields = {name: plain(getattr(value, name)) for name in FRAME_FIELDS[type(value)]}
        fields["data"] = value.data
        fields["size"] = value.size
        return (type(value).__name__, fields)
    if isinstance(value, (list, tuple)):
        return type(value)(plain(item) for item in value)
    return value


def assert_same(actual: Any, expected: Any) -> None:
    """Equality that also tells True from 1 and str from bytes, at every level."""
    assert actual == expected
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(actual, (list, tuple)):
        for a, e in zip(actual, expected):
            assert_same(a, e)
    elif isinstance(actual, dict):
        for key in actual:
            assert_same(actual[key], expected[key])


def audio_frame(payload: bytes = b"\x00\x01pcm\x00\xff") -> _mirelo.AudioFrame:
    frame = _mirelo.AudioFrame()
    frame.pts = 4294967295
    frame.sample_rate = 48000
    frame.channels = 2
    frame.bits_per_sample = 16
    frame.codec = _mirelo.AUDIO_CODEC_TYPE_OPUS
    frame.has_voice = True
    frame.SetData(payload)
    return frame


def video_frame(payload: bytes = b"\x00\x00\x00\x01h264\x00") -> _mirelo.VideoFrame:
    frame = _mirelo.VideoFrame()
    frame.pts = 90000
    frame.dts = 4294967295
    frame.codec = _mirelo.VIDEO_CODEC_TYPE_H265
    frame.is_key_frame = True
    frame.rotation = _mirelo.VIDEO_ROTATION_270
    frame.SetData(payload)
    return frame


def pixel_frame(payload: bytes = bytes(range(16))) -> _mirelo.PixelFrame:
    frame = _mirelo.PixelFrame()
    frame.pts = 7
    frame.format = _mirelo.VIDEO_PIXEL_FORMAT_RGBA
    frame.height = 2
    frame.width = 2
    frame.rotation = _mirelo.VIDEO_ROTATION_90
    frame.SetData(payload)
    return frame


def network_quality(user_id: str, quality: Any) -> _mirelo.NetworkQualityInfo:
    record = _mirelo.NetworkQualityInfo()
    record.user_id = _mirelo.QoltString(user_id)
    record.quality = quality
    return record


def user_info(user_id: str) -> _mirelo.UserInfo:
    info = _mirelo.UserInfo()
    info.user_id = _mirelo.QoltString(user_id)
    return info


# One sample of each event, by handler method. A test that needs per-event data takes it from here,
# so that an event without a sample fails the tests instead of going untested.

UINT32_MAX = 4294967295
INT32_MIN = -2147483648


class EventSample(NamedTuple):
    operation: str  # the SDK operation that loopback.emit raises
    emit: tuple[Any, ...]  # its arguments for loopback.emit
    received: tuple[Any, ...]  # what the handler method then gets, in plain form
    call: tuple[Any, ...]  # arguments in range for calling the base method from Python


_HIGH, _LOW, _AUX = _mirelo.STREAM_TYPE_VIDEO_HIGH, _mirelo.STREAM_TYPE_VIDEO_LOW, _mirelo.STREAM_TYPE_VIDEO_AUX

EVENT_SAMPLES: dict[str, EventSample] = {
    "OnError": EventSample("OnError", (-3,), (("Error", -3),), (_mirelo.ERR_FAILED,)),
    "OnConnectionStateChanged": EventSample(
        "OnConnectionStateChanged",
        (0, 3),
        (("ConnectionState", 0), ("ConnectionState", 3)),
        (_mirelo.CONNECTION_STATE_INIT, _mirelo.CONNECTION_STATE_CONNECTED),
    ),
    "OnEnterRoom": EventSample("OnEnterRoom", (), (), ()),
    "OnExitRoom": EventSample("OnExitRoom", (), (), ()),
    "OnLocalAudioChannelCreated": EventSample("OnLocalAudioChannelCreated", (), (), ()),
    "OnLocalAudioChannelDestroyed": EventSample("OnLocalAudioChannelDestroyed", (), (), ()),
    "OnLocalVideoChannelCreated": EventSample("OnLocalVideoChannelCreated", (7,), (("StreamType", 7),), (_AUX,)),
    "OnLocalVideoChannelDestroyed": EventSample("OnLocalVideoChannelDestroyed", (3,), (("StreamType", 3),), (_LOW,)),
    "OnRemoteUserEnterRoom": EventSample(
        "OnRemoteUserEnterRoom", (user_info("alice"),), (("UserInfo", "alice"),), (user_info("alice"),)
    ),
    # A user id given as text for the record: the SDK builds the record.
    "OnRemoteUserExitRoom": EventSample(
        "OnRemoteUserExitRoom", ("bob", -1), (("UserInfo", "bob"), -1), (user_info("bob"), -3)
    ),
    "OnRemoteAudioAvailable": EventSample("OnRemoteAudioAvailable", ("alice", True), ("alice", True), ("alice", True)),
    "OnRemoteVideoAvailable": EventSample(
        "OnRemoteVideoAvailable", ("ünï", False, 3), ("ünï", False, ("StreamType", 3)), ("alice", False, _LOW)
    ),
    "OnRemoteAudioReceived": EventSample(
        "OnRemoteAudioReceived",
        ("alice", audio_frame()),
        ("alice", plain(audio_frame())),
        ("alice", audio_frame()),
    ),
    "OnRemoteMixedAudioReceived": EventSample(
        "OnRemoteMixedAudioReceived", (audio_frame(),), (plain(audio_frame()),), (audio_frame(),)
    ),
    # The SDK raises both kinds of video frame as one operation.
    "OnRemoteVideoFrameReceived": EventSample(
        "OnRemoteVideoReceived",
        ("alice", 2, video_frame()),
        ("alice", ("StreamType", 2), plain(video_frame())),
        ("alice", _HIGH, video_frame()),
    ),
    "OnRemotePixelFrameReceived": EventSample(
        "OnRemoteVideoReceived",
        ("alice", 7, pixel_frame()),
        ("alice", ("StreamType", 7), plain(pixel_frame())),
        ("alice", _AUX, pixel_frame()),
    ),
    "OnRequestKeyFrame": EventSample("OnRequestKeyFrame", (-1,), (("StreamType", -1),), (_HIGH,)),
    "OnRequestChangeVideoEncodeBitrate": EventSample(
        "OnRequestChangeVideoEncodeBitrate", (2, INT32_MIN), (("StreamType", 2), INT32_MIN), (_LOW, 2147483647)
    ),
    # The base methods of the three events with a payload or a list take its length or count too.
    "OnSeiMessageReceived": EventSample(
        "OnSeiMessageReceived",
        ("alice", 2, -5, b"sei\x00da\x00ta\x00"),
        ("alice", ("StreamType", 2), -5, b"sei\x00da\x00ta\x00"),
        ("alice", _HIGH, 3, b"a\x00b", 3),
    ),
    "OnReceiveCustomCmdMsg": EventSample(
        "OnReceiveCustomCmdMsg",
        ("alice", -1, UINT32_MAX, b"\x00\xff\x00"),
        ("alice", -1, UINT32_MAX, b"\x00\xff\x00"),
        ("alice", -1, UINT32_MAX, "xyz", 3),
    ),
    "OnMissCustomCmdMsg": EventSample(
        "OnMissCustomCmdMsg",
        ("alice", INT32_MIN, UINT32_MAX, UINT32_MAX),
        ("alice", INT32_MIN, UINT32_MAX, UINT32_MAX),
        ("alice", 1, UINT32_MAX, 0),
    ),
    "OnNetworkQuality": EventSample(
        "OnNetworkQuality",
        (("me", 1), []),
        (("NetworkQualityInfo", "me", ("NetworkQuality", 1)), []),
        (None, None, 0),
    ),
}


def event_sample(name: str) -> EventSample:
    """The sample of the event `name`; fails the test that asks when the event has none."""
    if name not in EVENT_SAMPLES:
        pytest.fail(f"{name} has no sample in conftest.EVENT_SAMPLES")
    return EVENT_SAMPLES[name]


class CloudRig:
    """A QOLTCloud with its handler and its loopback handle; close() destroys the cloud."""

    def __init__(self, handler: Any) -> None:
        from mirelo import loopback

        before = set(loopback.clouds())
        self.handler = handler
        self.cloud: Any = _mirelo.QOLTCloud(handler)
        created = [h for h in loopback.clouds() if h not in before]
        assert len(created) == 1, created
        self.handle: int = created[0]

    def emit(self, operation: str, *args: Any) -> None:
        from mirelo import loopback

        loopback.emit(self.handle, operation, *args)

    def journal(self) -> list[tuple[str, tuple[Any, ...]]]:
        """This cloud's SDK calls, as (operation, args), oldest first."""
        from mirelo import loopback

        return [(op, args) for handle, op, args in loopback.journal() if handle == self.handle]

    def failures(self) -> list[tuple[str, str]]:
        """Exceptions that left this cloud's delegate operations, as (operation, text)."""
        from mirelo import loopback

        return [(op, text) for handle, op, text in loopback.failures() if handle == self.handle]

    def close(self) -> None:
        self.cloud = None
        gc.collect()


@pytest.fixture
def fresh_loopback() -> Iterator[Any]:
    """The loopback control module, every earlier event delivered, journal and failures emptied."""
    from mirelo import loopback

    loopback.flush()
    loopback.reset()
    yield loopback


@pytest.fixture
def make_cloud(fresh_loopback: Any) -> Iterator[Callable[..., CloudRig]]:
    """Builds CloudRigs (with a RecordingHandler unless a handler is given); destroys them at teardown."""
    rigs: list[CloudRig] = []

    def make(handler: Any = "recording") -> CloudRig:
        rig = CloudRig(RecordingHandler() if handler == "recording" else handler)
        rigs.append(rig)
        return rig

    yield make
    for rig in rigs:
        rig.close()


@pytest.fixture
def cloud(make_cloud: Callable[..., CloudRig]) -> CloudRig:
    """A CloudRig whose handler is a RecordingHandler."""
    return make_cloud()


@pytest.fixture
def stderr_text(capfd: pytest.CaptureFixture[str]) -> Callable[[], str]:
    """Returns what the process wrote to file descriptor 2 since the last call, C++ output included."""

    def read() -> str:
        sys.stderr.flush()
        return capfd.readouterr().err

    read()
    return read


@pytest.fixture
def loopback_config(fresh_loopback: Any) -> Iterator[Callable[..., None]]:
    """loopback.configure, with every tunable put back as it was at teardown."""
    saved = fresh_loopback.configuration()
    yield fresh_loopback.configure
    fresh_loopback.configure(**saved)


# Rooms of the loopback SDK.

ROOM_APP_ID = 1400000001


def enter_params(
    user_id: Any,
    room_id: int = 1,
    *,
    str_room_id: str = "",
    sdk_app_id: int = ROOM_APP_ID,
    user_sig: str = "sig",
    role: Any = _mirelo.QOLT_ROLE_ANCHOR,
    method: Any = _mirelo.AUDIO_OBTAIN_METHOD_CALLBACK,
    mix: bool = False,
    output_sample_rate: int = 16000,
    output_channels: int = 1,
    output_frame_length_ms: int = 20,
    pixel_output: bool = False,
) -> _mirelo.EnterRoomParams:
    """An EnterRoomParams that the loopback accepts unless a field is set to something it refuses."""
    params = _mirelo.EnterRoomParams()
    params.room.sdk_app_id = sdk_app_id
    params.room.room_id = room_id
    params.room.str_room_id = _mirelo.QoltString(str_room_id)
    params.room.user_id = _mirelo.QoltString(user_id)
    params.room.user_sig = _mirelo.QoltString(user_sig)
    params.role = role
    obtain = params.audio_obtain_params
    obtain.audio_obtain_method = method
    obtain.enable_remote_audio_mix = mix
    obtain.output_sample_rate = output_sample_rate
    obtain.output_channels = output_channels
    obtain.output_frame_length_ms = output_frame_length_ms
    params.use_pixel_frame_output = pixel_output
    return params


class RoomRig(CloudRig):
    """A CloudRig that has entered a room; since() gives the events recorded after a mark()."""

    def __init__(self, handler: Any, user_id: str) -> None:
        super().__init__(handler)
        self.user_id = user_id
        self._mark = 0

    def mark(self) -> None:
        self._mark = len(self.handler.calls)

    def since(self) -> list[tuple[str, tuple[Any, ...]]]:
        """The (event, args) recorded since the last mark(), with enumerations and records plain."""
        return [(name, plain(args)) for name, args in list(self.handler.calls)[self._mark :]]

    def names(self) -> list[str]:
        return [name for name, _ in self.since()]


@pytest.fixture
def make_member(fresh_loopback: Any) -> Iterator[Callable[..., RoomRig]]:
    """Builds RoomRigs that enter a room (keyword arguments go to enter_params), flushes, and
    marks; destroys them at teardown."""
    rigs: list[RoomRig] = []

    def make(user_id: str, room_id: int = 1, **kwargs: Any) -> RoomRig:
        rig = RoomRig(RecordingHandler(), user_id)
        rigs.append(rig)
        assert rig.cloud.EnterRoom(enter_params(user_id, room_id, **kwargs)) == 0
        fresh_loopback.flush()
        rig.mark()
        return rig

    yield make
    for rig in rigs:
        rig.close()
    fresh_loopback.flush()


@pytest.fixture
def native_deadlock_guard() -> Iterator[None]:
    """Ends the process with every thread's traceback if the test outlives 100 s.

    pytest-timeout runs Python code to stop a test, which a deadlock on the interpreter lock never
    lets run; faulthandler's watchdog is native, so the run fails instead of hanging."""
    import faulthandler

    faulthandler.dump_traceback_later(100, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def wait_until(condition: Callable[[], bool], timeout: float = 10.0) -> bool:
    """Polls `condition` until it holds or `timeout` seconds pass; returns whether it held."""
    import time

    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


# Under make test-asan and make test-tsan.
SANITIZED = os.environ.get("MIRELO_SANITIZED") == "1"

# The sanitizers' allocator is not safe across fork(): a child forked while another thread of the
# parent is inside it can hang there, whatever the loopback does. Fork tests belong to the plain
# suite; the sanitized ones check the rest.
fork_unless_sanitized = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is not fork-safe")

# Scripts run in fresh interpreters, for checks that could hang or crash the process.

SCRIPTS = Path(__file__).parent / "scripts"

# In a child made by fork() the leak checker still lists the parent's other threads, cannot stop
# them, and says so on each exit; it checks the child all the same.
_UNSUSPENDED_THREAD = re.compile(r"==\d+==Running thread \d+ was not suspended\. False leaks are possible\.\n")


@pytest.fixture
def run_script(tmp_path: Path) -> Callable[..., tuple[int, str, str]]:
    """Runs tests/scripts/NAME with arguments in a fresh interpreter, outside the repository so that
    it imports the installed package; returns (status, stdout, stderr), status -1 when it outlived
    `timeout` seconds and was killed. Sanitizer reports go to its standard error.

    leak_check=False turns the sanitizer's leak check off (its other checks stay): a child forked on
    a thread other than main ends without the interpreter's finalization, and what the parent's
    other threads held on their stacks, which the child does not have, looks leaked there."""
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))

    def run(name: str, *args: str, timeout: float = 60.0, leak_check: bool = True) -> tuple[int, str, str]:
        run_env = dict(env)
        if not leak_check and "ASAN_OPTIONS" in run_env:
            run_env["ASAN_OPTIONS"] += ":detect_leaks=0"
        try:
            done = subprocess.run(
                [sys.executable, str(SCRIPTS / name), *args],
                capture_output=True,
                text=True,
                timeout=timeout,
                cwd=tmp_path,
                env=run_env,
            )
        except subprocess.TimeoutExpired as expired:
            return (-1, f"hung: {expired.stdout!r}", f"{expired.stderr!r}")
        return (done.returncode, done.stdout, _UNSUSPENDED_THREAD.sub("", done.stderr))

    return run


# Fuzzing: examples drawn per fuzzed entry point, reported at the end of the run.

FUZZ_CASES: "collections.Counter[str]" = collections.Counter()


def pytest_terminal_summary(terminalreporter: Any) -> None:
    if FUZZ_CASES:
        details = ", ".join(f"{name} {count}" for name, count in sorted(FUZZ_CASES.items()))
        terminalreporter.write_line(f"fuzz cases tried: {sum(FUZZ_CASES.values())} ({details})")
