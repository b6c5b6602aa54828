"""A million events through the trampoline and a million calls from Python leave memory flat.

Each test warms its path up, then measures the interpreter's allocated blocks and the resident set
around 250,000 repetitions (four tests per side make the million). Bounds: at most BLOCK_BOUND more
blocks (a leaked object per event or call would be 250,000) and RSS_BOUND more resident bytes.
These measurements mean nothing under the sanitizers (every allocation goes through their
allocator), so there those tests are skipped; the batching test runs everywhere.
"""

from __future__ import annotations

import gc
import os
import re
import sys
import threading
import tracemalloc
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from conftest import SANITIZED, CloudRig, audio_frame, enter_params, network_quality, pixel_frame, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

REPEAT = 250_000
WARM_UP = 20_000  # past two of emit's batches, so the queue has been at its deepest
BLOCK_BOUND = 1_000
RSS_BOUND = 4 * 2**20
measures_memory = pytest.mark.skipif(
    SANITIZED, reason="the sanitizers' allocator makes block and RSS counts meaningless"
)


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(repeat: Callable[[int], None]) -> None:
    """Runs `repeat(WARM_UP)`, then checks that `repeat(REPEAT)` leaves blocks and RSS flat."""
    repeat(WARM_UP)
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    repeat(REPEAT)
    gc.collect()
    grown_blocks, grown_bytes = sys.getallocatedblocks() - blocks, resident_bytes() - resident
    assert grown_blocks <= BLOCK_BOUND, grown_blocks
    assert grown_bytes <= RSS_BOUND, grown_bytes


class Keeping(m.QOLTCloudDelegate):
    """Counts the events and touches what they carry, without keeping any of it."""

    def __init__(self) -> None:
        super().__init__()
        self.events = 0

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        self.events += 1

    def OnRemoteAudioReceived(self, user_id: str, frame: m.AudioFrame) -> None:
        self.events += len(frame.data) > 0

    def OnSeiMessageReceived(self, user_id: str, stream: Any, message_type: int, message: bytes) -> None:
        self.events += len(message) > 0

    def OnNetworkQuality(self, local: m.NetworkQualityInfo, remote: list[m.NetworkQualityInfo]) -> None:
        self.events += len(remote) == 2 and local.user_id.GetValue() == "me"


EVENTS = [
    pytest.param("OnRemoteAudioAvailable", ("alice", True), id="text-and-flag"),
    pytest.param("OnRemoteAudioReceived", ("alice", audio_frame(bytes(1920))), id="frame-copy"),
    pytest.param("OnSeiMessageReceived", ("alice", m.STREAM_TYPE_VIDEO_HIGH, 5, bytes(1000)), id="guarded-payload"),
    pytest.param(
        "OnNetworkQuality",
        (("me", 1), [network_quality("a", m.NETWORK_QUALITY_GOOD), ("b", 2)]),
        id="guarded-record-list",
    ),
]


@measures_memory
@pytest.mark.timeout(600)
@pytest.mark.parametrize("operation, args", EVENTS)
def test_events_through_the_trampoline_leave_memory_flat(
    make_cloud: Callable[..., CloudRig], operation: str, args: tuple[Any, ...]
) -> None:
    rig = make_cloud(Keeping())

    def raise_events(count: int) -> None:
        before = rig.handler.events
        loopback.emit(rig.handle, operation, *args, repeat=count, timeout=300)
        assert rig.handler.events - before == count

    assert_flat(raise_events)
    assert rig.failures() == []


def record_calls(count: int) -> None:
    params = m.EnterRoomParams()
    for number in range(count // 4):
        params.room.room_id = number
        params.room.user_id = m.QoltString("user")
        params.room.user_id.GetValue()
        params.audio_obtain_params.output_sample_rate


def frame_calls(count: int) -> None:
    frames = (audio_frame(), video_frame(), pixel_frame())
    for number in range(count // 3):
        frame = frames[number % 3]
        frame.SetData(b"\x00" * (number % 64))
        frame.data
        frame.pts = number


def settings_calls(count: int) -> None:
    for _ in range(count // 2):
        m.SetLogLevel(2)
        m.DisableLogCompress(False)


@pytest.fixture
def entered_cloud(make_cloud: Callable[..., CloudRig], loopback_config: Callable[..., None]) -> Iterator[CloudRig]:
    loopback_config(journal_entries=100)  # the journal keeps its newest entries; keep them few
    rig = make_cloud(Keeping())
    assert rig.cloud.EnterRoom(enter_params("caller")) == 0
    assert rig.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_HIGH) == 0
    yield rig


@measures_memory
@pytest.mark.timeout(600)
@pytest.mark.parametrize(
    "calls", [record_calls, frame_calls, settings_calls, "cloud"], ids=["records", "frames", "settings", "cloud"]
)
def test_calls_from_python_leave_memory_flat(entered_cloud: CloudRig, calls: Any) -> None:
    if calls == "cloud":
        cloud = entered_cloud.cloud

        def calls(count: int) -> None:
            for _ in range(count // 4):
                cloud.Subscribe("someone", m.STREAM_TYPE_AUDIO)
                cloud.Unsubscribe("someone", m.STREAM_TYPE_AUDIO)
                cloud.SendSeiMessage(1, b"sei")
                cloud.GetAudioFrame(None)

    assert_flat(calls)


class Watching(m.QOLTCloudDelegate):
    """Samples the depth of its own queue while the events of one large emit run."""

    def __init__(self) -> None:
        super().__init__()
        self.handle = 0
        self.events = 0
        self.deepest = 0

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        self.events += 1
        if self.events % 1000 == 0:
            self.deepest = max(self.deepest, loopback.stats()[self.handle]["queued"])


def test_a_large_repeat_is_queued_in_bounded_batches(make_cloud: Callable[..., CloudRig]) -> None:
    """emit(repeat=N) once queued all N copies at once: a large N exhausted memory."""
    rig = make_cloud(Watching())
    rig.handler.handle = rig.handle
    loopback.emit(rig.handle, "OnRemoteAudioAvailable", "alice", True, repeat=50_000, timeout=300)
    assert rig.handler.events == 50_000
    assert 0 < rig.handler.deepest <= 2 * 4096


def test_a_large_repeat_that_times_out_raises_no_more_than_it_queued(make_cloud: Callable[..., CloudRig]) -> None:
    release = threading.Event()

    class Blocking(Watching):
        def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
            release.wait(10)
            super().OnRemoteAudioAvailable(user_id, available)

    rig = make_cloud(Blocking())
    rig.handler.handle = rig.handle
    with pytest.raises(TimeoutError):
        loopback.emit(rig.handle, "OnRemoteAudioAvailable", "alice", True, repeat=2**32 - 1, timeout=0.2)
    release.set()
    loopback.flush(timeout=60)
    assert rig.handler.events <= 2 * 4096


# The journal and the failure list are bounded in bytes too, and reading them costs about twice what
# they return (the library encodes into the reader's buffer, which is decoded through a memoryview).

CUT_MARKER = re.compile(r"\n\[\.\.\. cut: (\d+) more bytes\]\Z")


def peak_resident_growth(read: Callable[[], Any]) -> tuple[Any, int]:
    """Calls `read` and returns its result with how far the peak resident set rose meanwhile."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear_refs:
            clear_refs.write("5")  # restarts the peak from the current resident set
    except OSError:
        pytest.skip("the peak resident set cannot be reset here")

    def peak() -> int:
        with open("/proc/self/status", encoding="ascii") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))

    before = peak()
    result = read()
    return result, peak() - before


def traced_peak(read: Callable[[], Any]) -> tuple[Any, int]:
    """Calls `read` and returns its result with the peak of Python allocations made meanwhile."""
    tracemalloc.start()
    try:
        result = read()
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def deep_size(value: Any) -> int:
    if isinstance(value, (list, tuple)):
        return sys.getsizeof(value) + sum(deep_size(item) for item in value)
    if isinstance(value, dict):
        return sys.getsizeof(value) + sum(deep_size(k) + deep_size(v) for k, v in value.items())
    return sys.getsizeof(value)


class Recursing(m.QOLTCloudDelegate):
    """Fails on every event the way a runaway recursion does: with a traceback of 300 frames."""

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        def deeper(depth: int) -> None:
            if depth == 0:
                raise RecursionError("maximum recursion depth exceeded " + "in deeper " * 100)
            deeper(depth - 1)

        deeper(300)


@measures_memory
@pytest.mark.timeout(300)
def test_failures_of_a_recursive_bug_stay_bounded_and_their_reading_costs_about_what_it_returns(
    make_cloud: Callable[..., CloudRig],
) -> None:
    """12,000 such failures once kept about 290 MB, and reading them took 3.25 GB."""
    rig = make_cloud(Recursing())
    gc.collect()
    resident = resident_bytes()
    loopback.emit(rig.handle, "OnRemoteAudioAvailable", "alice", True, repeat=3000, timeout=240)
    retained = loopback.retention()["failures"]
    assert resident_bytes() - resident <= 4 * 2**20 + 3 * RSS_BOUND, resident_bytes() - resident  # unbounded: ~60 MB
    assert retained["bytes"] <= 4 * 2**20
    assert retained["cut"] == 3000
    assert retained["entries"] + retained["dropped"] == 3000 and retained["dropped"] > 0

    failures, python_peak = traced_peak(loopback.failures)
    returned = deep_size(failures)
    assert len(failures) == retained["entries"]
    assert python_peak <= 2.5 * returned, (python_peak, returned)
    _, resident_peak = peak_resident_growth(loopback.failures)
    assert resident_peak <= 3 * returned, (resident_peak, returned)
    for _, operation, text in failures:
        assert operation == "OnRemoteAudioAvailable"
        assert text.startswith("RecursionError: maximum recursion depth exceeded")
        assert len(text.encode()) <= 4096 and CUT_MARKER.search(text)


@measures_memory
@pytest.mark.timeout(300)
def test_reading_a_journal_of_large_payloads_costs_about_twice_what_it_returns(
    make_cloud: Callable[..., CloudRig], loopback_config: Any
) -> None:
    """journal() over 60 MiB of payload once peaked at 665 MB: a list of ints stood for the buffer."""
    loopback_config(journal_frame_payloads=True)
    rig = make_cloud(Keeping())
    frame = audio_frame()
    for marker in range(32):
        frame.SetData(bytes([marker]) * 2**20)  # a block of its own each time, shared with the journal
        rig.cloud.SendAudioFrame(frame)
    del frame
    gc.collect()
    payload = 32 * 2**20
    assert loopback.retention()["journal"]["payload_bytes"] >= payload

    entries, python_peak = traced_peak(loopback.journal)
    assert [args[0]["data"][:1] for _, op, args in entries if op == "SendAudioFrame"] == [bytes([i]) for i in range(32)]
    del entries
    assert python_peak <= 2.2 * payload, python_peak
    entries, resident_peak = peak_resident_growth(loopback.journal)
    assert resident_peak <= 2.5 * payload, resident_peak
