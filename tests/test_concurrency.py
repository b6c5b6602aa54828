"""Several clouds raising events on their threads while Python threads call into them."""

from __future__ import annotations

import threading
import time
from collections import defaultdict
from collections.abc import Callable
from typing import Any

import pytest

from conftest import CloudRig, enter_params, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

CLOUDS = 4
EMITTERS_PER_CLOUD = 2
CALLERS = 2
EVENTS_PER_EMITTER = 200


class Counting(m.QOLTCloudDelegate):
    """Keeps, per emitter tag, the sequence numbers of the OnMissCustomCmdMsg events it got, and
    counts events that began while another of this cloud's was running."""

    def __init__(self) -> None:
        super().__init__()
        self.received: dict[int, list[int]] = defaultdict(list)
        self.running = 0
        self.overlaps = 0

    def OnMissCustomCmdMsg(self, user_id: str, tag: int, error_code: int, sequence: int) -> None:
        self.overlaps += self.running
        self.running += 1
        self.received[tag].append(sequence)
        time.sleep(0)  # gives up the interpreter lock: a second event of this cloud would run now
        self.running -= 1


def call_methods(cloud: m.QOLTCloud) -> None:
    cloud.Subscribe("alice", m.STREAM_TYPE_AUDIO)
    cloud.SendSeiMessage(1, b"sei")
    cloud.SendCustomCmdMsg(1, b"cmd", True, True)
    cloud.EnableVoiceActivityDetection(m.VADParams())
    cloud.Unsubscribe("alice", m.STREAM_TYPE_AUDIO)


@pytest.mark.usefixtures("native_deadlock_guard")
def test_four_clouds_under_load_deliver_every_event_exactly_once_in_bounded_time(
    make_cloud: Callable[..., CloudRig],
) -> None:
    rigs = [make_cloud(Counting()) for _ in range(CLOUDS)]
    start = threading.Barrier(CLOUDS * EMITTERS_PER_CLOUD + CALLERS + 1)
    emitters_done = threading.Event()
    errors: list[BaseException] = []
    calls_made = [0] * CALLERS

    def emit_all(rig: CloudRig, tag: int) -> None:
        try:
            start.wait(timeout=10)
            for sequence in range(EVENTS_PER_EMITTER):
                loopback.emit(rig.handle, "OnMissCustomCmdMsg", f"emitter-{tag}", tag, 0, sequence, timeout=30)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    def call_until_done(index: int) -> None:
        try:
            start.wait(timeout=10)
            while not emitters_done.is_set():
                for rig in rigs:
                    call_methods(rig.cloud)
                calls_made[index] += 1
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    emitters = [threading.Thread(target=emit_all, args=(rig, tag)) for rig in rigs for tag in range(EMITTERS_PER_CLOUD)]
    callers = [threading.Thread(target=call_until_done, args=(index,)) for index in range(CALLERS)]
    for thread in emitters + callers:
        thread.start()
    began = time.monotonic()
    start.wait(timeout=10)
    for thread in emitters:
        thread.join(timeout=90)
    emitters_done.set()
    for thread in callers:
        thread.join(timeout=10)
    elapsed = time.monotonic() - began

    assert not any(thread.is_alive() for thread in emitters + callers)
    assert not errors
    assert elapsed < 90
    assert all(calls_made), calls_made
    loopback.flush()
    for rig in rigs:
        handler = rig.handler
        assert dict(handler.received) == {tag: list(range(EVENTS_PER_EMITTER)) for tag in range(EMITTERS_PER_CLOUD)}
        assert handler.overlaps == 0
    assert all(rig.failures() == [] for rig in rigs)


MEMBERS = 4
ROUNDS = 25
ROOM = 7


def stereo_frame() -> m.AudioFrame:
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 2, 16
    frame.SetData(bytes(range(256)) * 15)  # 20 ms
    return frame


@pytest.mark.usefixtures("native_deadlock_guard")
def test_members_entering_subscribing_sending_and_leaving_at_once_keep_the_room_consistent(
    make_cloud: Callable[..., CloudRig],
) -> None:
    """Python threads work one live room while a thread reads the loopback's state (which lets go
    of the interpreter lock) and the clock thread paces audio: every call succeeds, and the room
    ends as the last round left it."""
    rigs = [make_cloud() for _ in range(MEMBERS)]
    users = [f"member-{index}" for index in range(MEMBERS)]
    start = threading.Barrier(MEMBERS + 2)
    workers_done = threading.Event()
    errors: list[BaseException] = []
    refused: list[tuple[str, str, int]] = []

    def expect_ok(user: str, operation: str, result: int) -> None:
        if result != 0:
            refused.append((user, operation, result))

    def work(index: int) -> None:
        try:
            cloud, user = rigs[index].cloud, users[index]
            others = [other for other in users if other != user]
            channel = m.AudioEncodeParams()
            channel.sample_rate, channel.channels = 48000, 2
            start.wait(timeout=10)
            for round_ in range(ROUNDS):
                expect_ok(user, "EnterRoom", cloud.EnterRoom(enter_params(user, ROOM, mix=index % 2 == 0)))
                expect_ok(user, "CreateLocalAudioChannel", cloud.CreateLocalAudioChannel(channel))
                expect_ok(user, "CreateLocalVideoChannel", cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_HIGH))
                for other in others:
                    expect_ok(user, "Subscribe", cloud.Subscribe(other, m.STREAM_TYPE_AUDIO))
                    expect_ok(user, "Subscribe", cloud.Subscribe(other, m.STREAM_TYPE_VIDEO_HIGH))
                for _ in range(3):
                    expect_ok(user, "SendContinuousAudioFrame", cloud.SendContinuousAudioFrame(stereo_frame(), False))
                    expect_ok(user, "SendAudioFrame", cloud.SendAudioFrame(stereo_frame()))
                    expect_ok(user, "SendVideoFrame", cloud.SendVideoFrame(m.STREAM_TYPE_VIDEO_HIGH, video_frame()))
                expect_ok(user, "Unsubscribe", cloud.Unsubscribe(others[0], m.STREAM_TYPE_AUDIO))
                if round_ < ROUNDS - 1:
                    expect_ok(user, "ExitRoom", cloud.ExitRoom())
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    def read_state() -> None:
        try:
            start.wait(timeout=10)
            while not workers_done.is_set():
                loopback.state()
                loopback.stats()
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    workers = [threading.Thread(target=work, args=(index,)) for index in range(MEMBERS)]
    reader = threading.Thread(target=read_state)
    for thread in (*workers, reader):
        thread.start()
    start.wait(timeout=10)
    for thread in workers:
        thread.join(timeout=60)
    workers_done.set()
    reader.join(timeout=10)

    assert not any(thread.is_alive() for thread in (*workers, reader))
    assert errors == []
    assert refused == []
    state = loopback.state()
    for rig, user in zip(rigs, users):
        others = [other for other in users if other != user]
        mine = state[rig.handle]
        assert (mine["in_room"], mine["user_id"], mine["video_channels"]) == (
            True,
            user,
            [int(m.STREAM_TYPE_VIDEO_HIGH)],
        )
        assert mine["audio_channel"] is not None
        assert sorted(map(tuple, mine["subscriptions"])) == sorted(
            [(other, int(m.STREAM_TYPE_AUDIO)) for other in others[1:]]
            + [(other, int(m.STREAM_TYPE_VIDEO_HIGH)) for other in others]
        )
    assert len({state[rig.handle]["room"] for rig in rigs}) == 1
    loopback.flush(timeout=30)
    for rig in rigs:
        names = rig.handler.names()
        assert (names.count("OnEnterRoom"), names.count("OnExitRoom")) == (ROUNDS, ROUNDS - 1)
        assert rig.failures() == []
    for rig in rigs:
        assert rig.cloud.ExitRoom() == 0
    assert not any(loopback.state()[rig.handle]["in_room"] for rig in rigs)


@pytest.mark.usefixtures("native_deadlock_guard")
def test_subscriptions_made_while_the_room_state_is_read_are_all_kept(make_member: Callable[..., Any]) -> None:
    """Reading the state lets go of the interpreter lock, so the subscriptions go on while the room
    service lists them: each listing holds a prefix of them, and in the end all are there."""
    bob = make_member("bob")
    wanted = [f"user-{index:05d}" for index in range(3000)]
    start = threading.Barrier(3)
    subscribing_done = threading.Event()
    errors: list[BaseException] = []
    refused: list[tuple[str, int]] = []
    seen: list[set[tuple[str, int]]] = []

    def subscribe() -> None:
        try:
            start.wait(timeout=10)
            for user in wanted:
                result = bob.cloud.Subscribe(user, m.STREAM_TYPE_AUDIO)
                if result != 0:
                    refused.append((user, result))
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)
        finally:
            subscribing_done.set()

    def read_state() -> None:
        try:
            start.wait(timeout=10)
            while not subscribing_done.is_set():
                seen.append(loopback.state()[bob.handle]["subscriptions"])
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    threads = [threading.Thread(target=subscribe), threading.Thread(target=read_state)]
    for thread in threads:
        thread.start()
    start.wait(timeout=10)
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == [] and refused == []
    every = [(user, int(m.STREAM_TYPE_AUDIO)) for user in wanted]
    for listing in seen:
        assert listing == set(every[: len(listing)])
    assert loopback.state()[bob.handle]["subscriptions"] == set(every)
