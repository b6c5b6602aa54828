"""Floods behind a handler that falls behind: every queue stays bounded, every loss is counted, and
the handler's view of the room stays exact.

SEI goes as the media it rides on (oldest dropped beyond media_queue_bound). Once as many events
wait as that bound allows, state events that cancel out (available then unavailable, created then
destroyed, entered then left) are removed in pairs, with the media of that stream between them:
the handler never sees a stream close that it did not see open, nor a frame of a stream it
believes closed, and ends in the room's real state.
"""

from __future__ import annotations

import gc
import os
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from conftest import SANITIZED, RecordingHandler, RoomRig, enter_params, plain, video_frame, wait_until
from mirelo import _mirelo as m
from mirelo import loopback

AUDIO, HIGH, LOW = m.STREAM_TYPE_AUDIO, m.STREAM_TYPE_VIDEO_HIGH, m.STREAM_TYPE_VIDEO_LOW
STALL = 4242  # the OnError code that holds up a Stalling handler


class Stalling(RecordingHandler):
    """Records every event; OnError(STALL) holds up the event thread until released."""

    def __init__(self) -> None:
        super().__init__()
        self.stalled = threading.Event()
        self.release = threading.Event()

    def OnError(self, error: Any) -> None:
        if int(error) == STALL:
            self.stalled.set()
            self.release.wait(30)
        else:
            self.record("OnError", (error,))


def stall(rig: RoomRig) -> None:
    with pytest.raises(TimeoutError):
        loopback.emit(rig.handle, "OnError", STALL, timeout=0)
    assert rig.handler.stalled.wait(5)


def tone() -> m.AudioFrame:
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    return frame


def replay(calls: list[tuple[str, tuple[Any, ...]]]) -> set[tuple[Any, ...]]:
    """The room as a handler that saw `calls` believes it is: the remote users present, their open
    streams and the cloud's own channels. Fails on an event that closes what is not open, opens what
    is, or carries media of a stream that is not open."""
    view: set[tuple[Any, ...]] = set()

    def turn(key: tuple[Any, ...], on: bool) -> None:
        assert (key in view) != on, ("closed what was not open" if not on else "opened twice", key)
        (view.add if on else view.discard)(key)

    def needs(key: tuple[Any, ...]) -> None:
        assert key in view, ("media of a stream not open", key)

    for name, args in calls:
        args = plain(args)
        if name in ("OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"):
            turn(("user", args[0][1]), name.endswith("EnterRoom"))
        elif name == "OnRemoteAudioAvailable":
            if args[1]:
                needs(("user", args[0]))
            turn(("audio", args[0]), args[1])
        elif name == "OnRemoteVideoAvailable":
            if args[1]:
                needs(("user", args[0]))
            turn(("video", args[0], args[2][1]), args[1])
        elif name == "OnRemoteAudioReceived":
            needs(("audio", args[0]))
        elif name in ("OnRemoteVideoFrameReceived", "OnSeiMessageReceived"):
            needs(("video", args[0], args[1][1]))
        elif name in ("OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed"):
            turn(("local audio",), name.endswith("Created"))
        elif name in ("OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed"):
            turn(("local video", args[0][1]), name.endswith("Created"))
        elif name == "OnRequestKeyFrame":
            needs(("local video", args[0][1]))
        elif name == "OnExitRoom":
            view = {key for key in view if key[0].startswith("local")}
    return view


def real_view(handle: int) -> set[tuple[Any, ...]]:
    """What the room service says the cloud `handle` should believe."""
    states = loopback.state()
    me = states[handle]
    view: set[tuple[Any, ...]] = set()
    if me["audio_channel"] is not None:
        view.add(("local audio",))
    view.update(("local video", stream) for stream in me["video_channels"])
    for handle_, other in states.items():
        if (
            handle_ != handle
            and other["in_room"]
            and other["room"] == me["room"]
            and other["role"] == m.QOLT_ROLE_ANCHOR
        ):
            user = other["user_id"]
            view.add(("user", user))
            if other["audio_channel"] is not None:
                view.add(("audio", user))
            view.update(("video", user, stream) for stream in other["video_channels"])
    return view


def accounted(before: dict[str, Any], after: dict[str, Any]) -> int:
    """Events raised in between that were neither delivered, dropped nor coalesced (0 once flushed)."""
    return sum(
        (after[k] - before[k]) * (1 if k == "raised" else -1) for k in ("raised", "delivered", "dropped", "coalesced")
    )


@pytest.fixture
def pair(fresh_loopback: Any, loopback_config: Any) -> Iterator[tuple[RoomRig, RoomRig]]:
    """A watcher and an actor in room 1, with Stalling handlers, each subscribed to the other's
    streams. A queue counts as behind once two events wait (media_queue_bound=2)."""
    loopback_config(media_queue_bound=2)
    rigs = [RoomRig(Stalling(), user) for user in ("watcher", "actor")]
    try:
        for rig in rigs:
            assert rig.cloud.EnterRoom(enter_params(rig.user_id)) == 0
        for rig, other in (rigs, rigs[::-1]):
            for stream in (AUDIO, LOW):
                assert rig.cloud.Subscribe(other.user_id, stream) == 0
        loopback.flush()
        yield rigs[0], rigs[1]
    finally:
        for rig in rigs:
            rig.handler.release.set()
        for rig in rigs:
            rig.close()
        loopback.flush(timeout=30)


def toggle_audio(watcher: RoomRig, actor: RoomRig) -> None:
    assert actor.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
    assert actor.cloud.SendAudioFrame(tone()) == 0
    assert actor.cloud.DestroyLocalAudioChannel() == 0


def toggle_video(watcher: RoomRig, actor: RoomRig) -> None:
    assert actor.cloud.CreateLocalVideoChannel(LOW) == 0
    assert actor.cloud.SendVideoFrame(LOW, video_frame()) == 0
    assert actor.cloud.SendSeiMessage(1, b"sei") == 0
    assert actor.cloud.DestroyLocalVideoChannel(LOW) == 0


def enter_and_leave(watcher: RoomRig, actor: RoomRig, message: bool = False) -> None:
    assert actor.cloud.EnterRoom(enter_params(actor.user_id)) == 0
    toggle_audio(watcher, actor)
    assert actor.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
    assert actor.cloud.SendAudioFrame(tone()) == 0
    if message:
        assert actor.cloud.SendCustomCmdMsg(1, b"kept", True, True) == 1
    assert actor.cloud.ExitRoom() == 0


def subscribe_again(watcher: RoomRig, actor: RoomRig) -> None:
    assert actor.cloud.Subscribe(watcher.user_id, LOW) == 0


def leave(watcher: RoomRig, actor: RoomRig) -> None:
    assert actor.cloud.ExitRoom() == 0


def publish_video(watcher: RoomRig, actor: RoomRig) -> None:
    assert watcher.cloud.CreateLocalVideoChannel(LOW) == 0


ROUNDS = 10  # within the custom messages' 30 a second
CASES = [
    # (set-up, one round of the flood, whose handler is behind, events it sees, events coalesced)
    pytest.param(
        None,
        toggle_audio,
        "watcher",
        [],
        {"OnRemoteAudioAvailable": 20, "OnRemoteAudioReceived": 10},
        id="remote-audio",
    ),
    pytest.param(
        None,
        toggle_audio,
        "actor",
        [],
        {"OnLocalAudioChannelCreated": 10, "OnLocalAudioChannelDestroyed": 10},
        id="local-audio",
    ),
    pytest.param(
        None,
        toggle_video,
        "watcher",
        [],
        {"OnRemoteVideoAvailable": 20, "OnRemoteVideoReceived": 10, "OnSeiMessageReceived": 10},
        id="remote-video",
    ),
    pytest.param(
        None,
        toggle_video,
        "actor",
        [],
        {"OnLocalVideoChannelCreated": 10, "OnLocalVideoChannelDestroyed": 10, "OnRequestKeyFrame": 10},
        id="local-video-and-its-key-frame-requests",
    ),
    pytest.param(
        leave,
        enter_and_leave,
        "watcher",
        [],
        {
            "OnRemoteUserEnterRoom": 10,
            "OnRemoteUserExitRoom": 10,
            "OnRemoteAudioAvailable": 40,
            "OnRemoteAudioReceived": 20,
        },
        id="remote-user",
    ),
    pytest.param(
        leave,
        lambda watcher, actor: enter_and_leave(watcher, actor, message=True),
        "watcher",
        ["OnRemoteUserEnterRoom", "OnReceiveCustomCmdMsg", "OnRemoteUserExitRoom"] * ROUNDS,
        {"OnRemoteAudioAvailable": 40, "OnRemoteAudioReceived": 20},
        id="remote-user-who-sent-a-message",
    ),
    pytest.param(
        publish_video,
        subscribe_again,
        "watcher",
        ["OnRequestKeyFrame"],
        {"OnRequestKeyFrame": 9},
        id="repeated-key-frame-request",
    ),
]


@pytest.mark.parametrize("prepare, flood, behind, seen, coalesced", CASES)
def test_a_flood_of_state_events_coalesces_and_leaves_the_handler_view_exact(
    pair: tuple[RoomRig, RoomRig],
    prepare: Any,
    flood: Callable[[RoomRig, RoomRig], None],
    behind: str,
    seen: list[str],
    coalesced: dict[str, int],
) -> None:
    watcher, actor = pair
    if prepare is not None:
        prepare(watcher, actor)
        loopback.flush()
    slow = watcher if behind == "watcher" else actor
    slow.mark()
    before = loopback.stats()[slow.handle]
    stall(slow)
    # A waiter queued first, and one that waits for what the flood raised: both are woken once the
    # events before theirs have run or were coalesced.
    waiters = [threading.Thread(target=loopback.emit, args=(slow.handle, "OnError", 7), kwargs={"timeout": 20})]
    waiters[0].start()
    assert wait_until(lambda: loopback.stats()[slow.handle]["queued"] == 1)
    for number in range(ROUNDS):
        flood(watcher, actor)
        if number == ROUNDS // 2:
            waiters.append(threading.Thread(target=loopback.flush, kwargs={"timeout": 20}))
            waiters[-1].start()
    waiting = loopback.stats()[slow.handle]["queued"]
    slow.handler.release.set()
    for waiter in waiters:
        waiter.join(25)
        assert not waiter.is_alive()
    loopback.flush(timeout=20)

    assert slow.names() == ["OnError"] + seen  # the emitted event first, never coalesced
    assert waiting <= len(seen) + 2
    after = loopback.stats()[slow.handle]
    assert accounted(before, after) == 0 and after["queued"] == 0
    assert after["dropped"] == before["dropped"]
    grown = {
        name: count - before["coalesced_by_event"].get(name, 0) for name, count in after["coalesced_by_event"].items()
    }
    assert {name: count for name, count in grown.items() if count} == coalesced
    assert after["coalesced"] - before["coalesced"] == sum(coalesced.values())
    assert replay(list(slow.handler.calls)) == real_view(slow.handle)


def sei_payloads(rig: RoomRig) -> list[bytes]:
    return [args[3] for name, args in rig.since() if name == "OnSeiMessageReceived"]


def test_sei_goes_as_media_oldest_first_and_every_loss_is_counted(
    pair: tuple[RoomRig, RoomRig], loopback_config: Any
) -> None:
    """SEI was never dropped: 200,000 messages behind a slow handler held 235 MB for two minutes."""
    loopback_config(media_queue_bound=8)
    watcher, actor = pair
    assert actor.cloud.CreateLocalVideoChannel(LOW) == 0
    loopback.flush()
    watcher.mark()
    before = loopback.stats()[watcher.handle]
    stall(watcher)
    for number in range(100):
        assert actor.cloud.SendSeiMessage(1, number.to_bytes(2, "big")) == 0
    waiting = loopback.stats()[watcher.handle]["queued"]
    watcher.handler.release.set()
    loopback.flush()
    assert waiting == 8
    assert sei_payloads(watcher) == [number.to_bytes(2, "big") for number in range(92, 100)]
    after = loopback.stats()[watcher.handle]
    assert (
        after["dropped_by_event"]["OnSeiMessageReceived"] - before["dropped_by_event"].get("OnSeiMessageReceived", 0)
        == 92
    )
    assert after["dropped"] - before["dropped"] == 92 and accounted(before, after) == 0


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator makes resident-set counts meaningless")
def test_a_large_sei_flood_behind_a_stalled_handler_leaves_memory_flat(
    pair: tuple[RoomRig, RoomRig], loopback_config: Any
) -> None:
    loopback_config(media_queue_bound=256, journal_entries=100)  # the journal keeps payloads too
    watcher, actor = pair
    assert actor.cloud.CreateLocalVideoChannel(LOW) == 0
    payload = bytes(1000)
    stall(watcher)
    for _ in range(1000):  # warm-up: the queue at its deepest
        actor.cloud.SendSeiMessage(1, payload)
    gc.collect()
    resident = resident_bytes()
    for _ in range(100_000):
        actor.cloud.SendSeiMessage(1, payload)
    grown = resident_bytes() - resident  # unbounded: about 110 MB
    assert loopback.stats()[watcher.handle]["queued"] == 256
    watcher.handler.release.set()
    assert grown <= 8 * 2**20, grown


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Slow(RecordingHandler):
    """Records every event and takes a while over each."""

    def record(self, name: str, args: tuple[Any, ...]) -> None:
        super().record(name, args)
        time.sleep(0.0002)


def flood_threads(actors: dict[str, Any], rounds: int, errors: list[BaseException]) -> list[threading.Thread]:
    """One thread per actor, each repeating its part of the flood `rounds` times, then destroying
    its cloud while it is still in the room (its exit coalesces with what waits)."""

    def audio(cloud: Any) -> None:
        cloud.CreateLocalAudioChannel(m.AudioEncodeParams())
        cloud.SendAudioFrame(tone())
        cloud.DestroyLocalAudioChannel()

    def video(cloud: Any) -> None:
        cloud.CreateLocalVideoChannel(LOW)
        cloud.SendVideoFrame(LOW, video_frame())
        cloud.SendSeiMessage(2, b"low")
        cloud.DestroyLocalVideoChannel(LOW)

    def presence(cloud: Any) -> None:
        cloud.EnterRoom(enter_params("visitor"))
        cloud.CreateLocalVideoChannel(HIGH)
        cloud.SendSeiMessage(3, b"visit")
        cloud.ExitRoom()

    def sei(cloud: Any) -> None:
        for _ in range(20):
            cloud.SendSeiMessage(4, bytes(1000))

    parts = {"toggler": audio, "video": video, "visitor": presence, "sender": sei}

    def run(user: str) -> None:
        try:
            for _ in range(rounds):
                parts[user](actors[user])
            actors[user] = None  # destroyed in the room, while the others flood on
        except BaseException as error:  # noqa: BLE001 - reported by the test
            errors.append(error)

    return [threading.Thread(target=run, args=(user,)) for user in parts]


@pytest.mark.usefixtures("native_deadlock_guard")
@pytest.mark.parametrize("destroy_watcher", [False, True], ids=["watcher-stays", "watcher-destroyed-mid-flood"])
def test_floods_from_several_threads_keep_the_queue_bounded_and_the_view_exact(
    fresh_loopback: Any, loopback_config: Any, destroy_watcher: bool
) -> None:
    bound = 16
    loopback_config(media_queue_bound=bound)
    watcher = RoomRig(Slow(), "watcher")
    actors: dict[str, Any] = {}
    try:
        assert watcher.cloud.EnterRoom(enter_params("watcher")) == 0
        for user in ("toggler", "video", "visitor", "sender"):
            for stream in (AUDIO, LOW, HIGH):
                assert watcher.cloud.Subscribe(user, stream) == 0
            actors[user] = m.QOLTCloud(RecordingHandler())
            if user != "visitor":
                assert actors[user].EnterRoom(enter_params(user)) == 0
        assert actors["sender"].CreateLocalVideoChannel(HIGH) == 0
        loopback.flush()
        handle = watcher.handle
        errors: list[BaseException] = []
        threads = flood_threads(actors, 1000, errors)

        def emit_while_flooding() -> None:
            # Each emit waits behind the flood: for events that may be coalesced or dropped meanwhile.
            try:
                for number in range(50):
                    loopback.emit(handle, "OnError", number, timeout=20)
            except ValueError as error:  # the cloud is gone
                if not destroy_watcher:
                    errors.append(error)
            except BaseException as error:  # noqa: BLE001 - reported by the test
                errors.append(error)

        threads.append(threading.Thread(target=emit_while_flooding))
        before = len(watcher.handler.calls)
        for thread in threads:
            thread.start()
        deepest = 0
        while any(thread.is_alive() for thread in threads[:4]):
            if destroy_watcher and watcher.cloud is not None and len(watcher.handler.calls) >= before + 10:
                watcher.close()
            elif watcher.cloud is not None:
                deepest = max(deepest, loopback.stats()[handle]["queued"])
            time.sleep(0.001)
        for thread in threads:
            thread.join(30)
            assert not thread.is_alive()
        assert errors == []
        loopback.flush(timeout=30)
        assert [failure for failure in loopback.failures() if failure[0] == handle] == []
        # Media up to the bound; other events up to it, and beyond it one opening and one closing
        # event for each of the four flooded users' topics; and the emitted event.
        assert deepest <= 2 * bound + 2 * 4 + 1, deepest
        if not destroy_watcher:
            stats = loopback.stats()[handle]
            assert stats["raised"] == stats["delivered"] + stats["dropped"] + stats["coalesced"]
            assert stats["coalesced"] > 0
            assert replay(list(watcher.handler.calls)) == real_view(handle) == set()
    finally:
        actors.clear()
        watcher.close()
