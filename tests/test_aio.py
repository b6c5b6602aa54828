"""mirelo.aio: SDK events handed to an asyncio loop, and rooms entered with ``async with``."""

from __future__ import annotations

import asyncio
import contextlib
import subprocess
import sys
import threading
from collections.abc import AsyncIterator, Callable, Coroutine, Iterator
from pathlib import Path
from typing import Any, TypeVar

import pytest

import mirelo
from conftest import EVENT_METHODS, CloudRig, audio_frame, event_sample, plain
from mirelo import aio

T = TypeVar("T")
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(main: Coroutine[Any, Any, T], timeout: float = 30.0) -> T:
    return asyncio.run(asyncio.wait_for(main, timeout))


@pytest.fixture(autouse=True)
def no_handler_failures(fresh_loopback: Any) -> Iterator[Any]:
    """No event may ever fail in an EventStream: it never raises into the SDK."""
    yield fresh_loopback
    assert fresh_loopback.failures() == []


def mixed_audio(pts: int) -> mirelo.AudioFrame:
    frame = audio_frame()
    frame.pts = pts
    return frame


def received_pts(events: list[aio.Event]) -> list[Any]:
    return [e.frame.pts if e.media else e.name for e in events]


def check_counts(stats: aio.StreamStats) -> None:
    assert stats.received == stats.delivered + stats.dropped + stats.discarded + stats.pending


def as_event_args(received: tuple[Any, ...]) -> tuple[Any, ...]:
    """What a handler receives, as an event holds it: lists become tuples, so the event is immutable."""
    return tuple(tuple(arg) if isinstance(arg, list) else arg for arg in received)


# (SDK operation, emit arguments, event class, the event's args in plain form)
EVENTS = [
    (sample.operation, sample.emit, aio.EVENT_TYPES[name], as_event_args(sample.received))
    for name, sample in ((name, event_sample(name)) for name in EVENT_METHODS)
]


@pytest.mark.parametrize(("operation", "args", "event_type", "expected"), EVENTS, ids=[e[2].name for e in EVENTS])
def test_each_event_reaches_the_loop_as_its_own_event_object(
    make_cloud: Callable[..., CloudRig],
    operation: str,
    args: tuple[Any, ...],
    event_type: type[aio.Event],
    expected: Any,
) -> None:
    async def main() -> aio.Event:
        rig = make_cloud(aio.EventStream())
        rig.emit(operation, *args)
        return await rig.handler.next(timeout=5)

    event = run(main())
    assert type(event) is event_type and aio.EVENT_TYPES[event.name] is event_type
    assert plain(event.args) == expected


def test_events_arrive_in_order_on_the_loop_thread(make_cloud: Callable[..., CloudRig]) -> None:
    count = 100

    def raise_events(rig: CloudRig) -> None:  # on a thread of its own, as the SDK would
        for i in range(count):
            rig.emit("OnRemoteMixedAudioReceived", mixed_audio(i))
            rig.emit("OnReceiveCustomCmdMsg", "ann", 1, i, b"")
        rig.emit("OnExitRoom")

    async def main() -> None:
        stream = aio.EventStream(maxsize=count)
        rig = make_cloud(stream)
        callback_threads: set[int] = set()
        stream.on("OnExitRoom", lambda _: (callback_threads.add(threading.get_ident()), stream.close()))
        producer = asyncio.create_task(asyncio.to_thread(raise_events, rig))
        events = [event async for event in stream]
        await producer
        assert callback_threads == {threading.get_ident()}
        assert [(e.name, e.frame.pts if e.media else e.seq) for e in events] == [
            pair for i in range(count) for pair in (("OnRemoteMixedAudioReceived", i), ("OnReceiveCustomCmdMsg", i))
        ]
        assert stream.stats() == aio.StreamStats(
            received=2 * count + 1, delivered=2 * count + 1, dropped=0, discarded=0, pending=0
        )

    run(main())


def test_next_takes_the_named_event_and_leaves_the_others_in_order(make_cloud: Callable[..., CloudRig]) -> None:
    async def main() -> None:
        rig = make_cloud(aio.EventStream())
        stream: aio.EventStream = rig.handler
        for operation, args in [("OnEnterRoom", ()), ("OnError", (-1,)), ("OnExitRoom", ()), ("OnError", (-2,))]:
            rig.emit(operation, *args)
        error = await stream.next(aio.ErrorEvent, timeout=5)
        assert int(error.error) == -1
        assert (await stream.next("OnError", timeout=5)).args == (mirelo.Error(-2),)
        assert [(await stream.next(timeout=5)).name for _ in range(2)] == ["OnEnterRoom", "OnExitRoom"]
        for wanted in ["OnRemoteVideoReceived", aio.Event]:
            with pytest.raises(ValueError, match="unknown event"):
                await stream.next(wanted)  # type: ignore[call-overload]

    run(main())


def test_next_times_out_without_losing_later_events(make_cloud: Callable[..., CloudRig]) -> None:
    async def main() -> None:
        rig = make_cloud(aio.EventStream())
        stream: aio.EventStream = rig.handler
        rig.emit("OnEnterRoom")
        with pytest.raises(TimeoutError):
            await stream.next("OnExitRoom", timeout=0.05)
        rig.emit("OnExitRoom")
        assert (await stream.next("OnExitRoom", timeout=5)).name == "OnExitRoom"
        assert (await stream.next(timeout=5)).name == "OnEnterRoom"

    run(main())


def test_an_event_handed_to_a_reader_cancelled_at_that_moment_is_kept(make_cloud: Callable[..., CloudRig]) -> None:
    async def main() -> None:
        rig = make_cloud(aio.EventStream())
        stream: aio.EventStream = rig.handler
        reader = asyncio.create_task(stream.next("OnError"))
        await asyncio.sleep(0)  # the reader waits
        rig.emit("OnEnterRoom")
        rig.emit("OnError", -1)
        await asyncio.sleep(0)  # the wake-up hands OnError to the reader, which has not run yet
        reader.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reader
        assert [(await stream.next(timeout=5)).name for _ in range(2)] == ["OnEnterRoom", "OnError"]
        check_counts(stream.stats())

    run(main())


@pytest.mark.parametrize(
    ("overflow", "kept"), [(aio.Overflow.DROP_OLDEST, [2, 3, 4]), (aio.Overflow.DROP_NEWEST, [0, 1, 2])]
)
@pytest.mark.parametrize("stage", ["loop busy", "nobody reading"])
def test_overflow_drops_media_by_policy_and_keeps_other_events(
    make_cloud: Callable[..., CloudRig], overflow: aio.Overflow, kept: list[int], stage: str
) -> None:
    async def main() -> None:
        stream = aio.EventStream(maxsize=3, overflow=overflow)
        rig = make_cloud(stream)
        for pts in range(5):
            rig.emit("OnRemoteMixedAudioReceived", mixed_audio(pts))
            rig.emit("OnRemoteAudioAvailable", "ann", True)
            if stage == "nobody reading":
                await asyncio.sleep(0)  # each event is routed before the next arrives
        stats = stream.stats()
        assert (stats.received, stats.dropped, stats.pending) == (10, 2, 8)
        stream.close()
        events = [event async for event in stream]
        assert received_pts(events) == [
            item for pts in range(5) for item in ([pts] if pts in kept else []) + ["OnRemoteAudioAvailable"]
        ]
        check_counts(stream.stats())

    run(main())


def test_events_after_the_loop_closed_are_discarded_and_counted(make_cloud: Callable[..., CloudRig]) -> None:
    async def main() -> tuple[aio.EventStream, CloudRig]:
        stream = aio.EventStream()
        rig = make_cloud(stream)
        rig.emit("OnEnterRoom")
        await stream.next(timeout=5)
        return stream, rig

    stream, rig = run(main())
    rig.emit("OnExitRoom")
    rig.emit("OnRemoteMixedAudioReceived", audio_frame())
    assert stream.stats() == aio.StreamStats(received=3, delivered=1, dropped=0, discarded=2, pending=0)


def test_a_closed_stream_ends_iteration_after_what_it_holds_and_discards_the_rest(
    make_cloud: Callable[..., CloudRig],
) -> None:
    async def main() -> None:
        stream = aio.EventStream()
        rig = make_cloud(stream)
        rig.emit("OnEnterRoom")
        waiting = asyncio.create_task(stream.next("OnExitRoom"))
        await asyncio.sleep(0)
        stream.close()
        rig.emit("OnExitRoom")
        with pytest.raises(aio.StreamClosed):
            await waiting
        assert [event.name async for event in stream] == ["OnEnterRoom"]
        assert stream.stats() == aio.StreamStats(received=2, delivered=1, dropped=0, discarded=1, pending=0)

    run(main())


@pytest.mark.parametrize("kind", ["function", "coroutine"])
def test_a_callback_exception_reaches_the_loop_exception_handler(
    make_cloud: Callable[..., CloudRig], kind: str
) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        reported: asyncio.Queue[dict[str, Any]] = asyncio.Queue()
        loop.set_exception_handler(lambda _, context: reported.put_nowait(context))
        stream = aio.EventStream()
        rig = make_cloud(stream)
        errors = [ValueError("first"), ValueError("second")]

        def fail(event: aio.ErrorEvent) -> None:
            raise errors.pop(0)

        async def fail_later(event: aio.ErrorEvent) -> None:
            await asyncio.sleep(0)
            fail(event)

        stream.on(aio.ErrorEvent, fail if kind == "function" else fail_later)
        for code in (-1, -2):
            rig.emit("OnError", code)
            context = await asyncio.wait_for(reported.get(), 5)
            assert str(context["exception"]) == ("first" if code == -1 else "second")
            assert int(context["event"].error) == code

    run(main())


def test_a_callback_that_raises_cancelled_error_is_reported_and_the_batch_goes_on(
    make_cloud: Callable[..., CloudRig],
) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        reported: list[dict[str, Any]] = []
        loop.set_exception_handler(lambda _, context: reported.append(context))
        stream = aio.EventStream()
        rig = make_cloud(stream)
        cancelled = loop.create_future()
        cancelled.cancel()
        stream.on(aio.EnterRoomEvent, lambda event: cancelled.result())
        for operation in ("OnEnterRoom", "OnExitRoom", "OnRemoteMixedAudioReceived"):  # one batch
            rig.emit(operation, *((audio_frame(),) if "Audio" in operation else ()))
        names = [(await stream.next(timeout=5)).name for _ in range(2)]
        assert names == ["OnExitRoom", "OnRemoteMixedAudioReceived"]
        assert [type(context["exception"]) for context in reported] == [asyncio.CancelledError]
        check_counts(stream.stats())

    run(main())


def test_a_keyboard_interrupt_in_a_callback_reaches_the_loop_and_the_rest_of_the_batch_waits(
    make_cloud: Callable[..., CloudRig],
) -> None:
    loop = asyncio.new_event_loop()
    try:
        stream = aio.EventStream(loop=loop)
        rig = make_cloud(stream)
        interrupts = [KeyboardInterrupt()]
        stream.on(aio.EnterRoomEvent, lambda event: (_ for _ in ()).throw(interrupts.pop()) if interrupts else None)
        for operation in ("OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated"):
            rig.emit(operation)
        with pytest.raises(KeyboardInterrupt):
            loop.run_until_complete(asyncio.sleep(0.05))
        names = [loop.run_until_complete(stream.next(timeout=5)).name for _ in range(2)]
        assert names == ["OnExitRoom", "OnLocalAudioChannelCreated"]
        check_counts(stream.stats())
    finally:
        loop.close()


@pytest.mark.parametrize(
    ("maxsize", "error"),
    [
        (float("nan"), TypeError),
        (1.5, TypeError),
        (True, TypeError),
        ("3", TypeError),
        (0, ValueError),
        (-1, ValueError),
    ],
)
def test_a_stream_bound_that_is_not_a_positive_int_is_refused(maxsize: Any, error: type[Exception]) -> None:
    async def main() -> None:
        with pytest.raises(error, match="maxsize"):
            aio.EventStream(maxsize=maxsize)

    run(main())


@pytest.mark.parametrize(
    ("operation", "result", "raises"),
    [
        ("SendCustomCmdMsg", 1, False),
        ("SendCustomCmdMsg", 0, True),
        ("SendCustomCmdMsg", -1, True),
        ("SetVideoEncodeParam", None, False),
        ("EnableVoiceActivityDetection", None, False),
        ("SendAudioFrame", 0, False),
        ("SendAudioFrame", 1, True),
        ("SendAudioFrame", -2, True),
    ],
)
def test_check_knows_what_success_is_for_each_operation(operation: str, result: Any, raises: bool) -> None:
    if raises:
        with pytest.raises(aio.RoomError, match=f"^{operation} failed: ") as caught:
            aio.check(operation, result)
        assert caught.value.code == result
    else:
        aio.check(operation, result)


def test_callbacks_take_their_events_until_removed(make_cloud: Callable[..., CloudRig]) -> None:
    async def main() -> None:
        stream = aio.EventStream()
        rig = make_cloud(stream)
        seen: list[str] = []
        remove = stream.on("OnEnterRoom", lambda event: seen.append(event.name))
        rig.emit("OnEnterRoom")
        rig.emit("OnExitRoom")
        assert (await stream.next(timeout=5)).name == "OnExitRoom"
        remove()
        rig.emit("OnEnterRoom")
        assert (await stream.next(timeout=5)).name == "OnEnterRoom"
        assert seen == ["OnEnterRoom"]

    run(main())


# --- Room against the loopback room service


def room_params(user_id: str, app_id: int = 1400000001) -> mirelo.EnterRoomParams:
    params = mirelo.EnterRoomParams()
    params.room.sdk_app_id = app_id
    params.room.str_room_id.SetValue("aio-room")
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("signature")
    params.role = mirelo.QOLT_ROLE_ANCHOR
    return params


def test_room_enters_and_leaves_cleanly(fresh_loopback: Any) -> None:
    async def main() -> aio.Room:
        async with aio.Room(room_params("ann")) as room:
            assert len(fresh_loopback.clouds()) == 1
            names = [(await room.stream.next(timeout=5)).name for _ in range(3)]
            assert names == ["OnConnectionStateChanged", "OnConnectionStateChanged", "OnEnterRoom"]
        assert (await room.stream.next(timeout=5)).name == "OnExitRoom"
        return room

    room = run(main())
    assert fresh_loopback.clouds() == []
    assert [op for _, op, _ in fresh_loopback.journal()] == ["Create", "EnterRoom", "ExitRoom", "Destroy"]
    with pytest.raises(RuntimeError):
        room.cloud


def hold_cloud_in_a_callback(room: aio.Room) -> None:
    """cloud -> stream -> callback -> cloud: a cycle that the garbage collector cannot see whole."""
    cloud = room.cloud
    room.stream.on("OnRemoteUserEnterRoom", lambda _: cloud.Subscribe("x", mirelo.STREAM_TYPE_AUDIO))


def test_room_leaves_and_destroys_the_cloud_when_the_body_raises(fresh_loopback: Any) -> None:
    async def main() -> None:
        with pytest.raises(KeyError):
            async with aio.Room(room_params("ann")) as room:
                hold_cloud_in_a_callback(room)
                raise KeyError("body")

    run(main())
    assert fresh_loopback.clouds() == []
    assert [op for _, op, _ in fresh_loopback.journal()][-2:] == ["ExitRoom", "Destroy"]


@pytest.mark.parametrize(
    ("params", "code"),
    [(room_params("ann", app_id=0), mirelo.ERR_INVALID_SDK_APP_ID), (room_params("bob"), mirelo.ERR_ENTER_ROOM_FAILED)],
    ids=["EnterRoom refuses", "OnError: user already in the room"],
)
def test_room_that_cannot_enter_raises_room_error(fresh_loopback: Any, params: Any, code: Any) -> None:
    async def main() -> None:
        async with aio.Room(room_params("bob")):
            with pytest.raises(aio.RoomError) as raised:
                async with aio.Room(params):
                    pytest.fail("entered")
            assert raised.value.code == int(code)
            assert len(fresh_loopback.clouds()) == 1

    run(main())
    assert fresh_loopback.clouds() == []


def test_echo_bot_example_runs_standalone() -> None:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "aio_bot.py"), "--seconds", "0.5"], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "the caller heard" in done.stdout


# --- Paced audio


def ramp(samples: int) -> bytes:
    """Distinct int16 samples, so that a lost, repeated or reordered frame shows."""
    return b"".join((i % 30000).to_bytes(2, "little", signed=True) for i in range(samples))


@contextlib.asynccontextmanager
async def speaker_and_listener(maxsize: int = 256) -> AsyncIterator[tuple[aio.Room, aio.Room]]:
    """Two members of one room: a speaker with a 48 kHz mono channel, and a listener subscribed to
    it at 48 kHz; both leave when the block ends."""
    from conftest import enter_params

    async with (
        aio.Room(enter_params("speaker", room_id=808)) as speaker,
        aio.Room(enter_params("listener", room_id=808, output_sample_rate=48000), maxsize=maxsize) as listener,
    ):
        channel = mirelo.AudioEncodeParams()
        channel.sample_rate, channel.channels = 48000, 1
        aio.check("CreateLocalAudioChannel", speaker.cloud.CreateLocalAudioChannel(channel))
        aio.check("Subscribe", listener.cloud.Subscribe("speaker", mirelo.STREAM_TYPE_AUDIO))
        yield speaker, listener


async def heard(listener: aio.Room, fresh_loopback: Any) -> bytes:
    """The PCM that reached the listener so far."""
    fresh_loopback.flush()
    await asyncio.sleep(0.05)  # the drain onto the loop
    pcm = b""
    while listener.stream.stats().pending:
        event = await listener.stream.next(timeout=5)
        if isinstance(event, aio.RemoteAudioReceivedEvent):
            pcm += event.frame.data
    return pcm


@pytest.mark.parametrize("form", ["bytes", "memoryview", "array"])
def test_a_player_plays_every_sample_in_order_and_knows_when_it_is_done(fresh_loopback: Any, form: str) -> None:
    async def main() -> None:
        async with speaker_and_listener() as (speaker, listener):
            pcm = ramp(48000 * 3 // 10 + 480)  # 310 ms: 15 whole frames and a short last one
            player = aio.AudioPlayer(speaker.cloud, lead=0.05)
            source: Any = {"bytes": pcm, "memoryview": memoryview(pcm), "array": Int16Array(pcm)}[form]
            await player.play(source)
            assert player.playing
            await player.finished()
            assert not player.playing and player.remaining == 0.0
            assert await heard(listener, fresh_loopback) == pcm

    run(main())


def test_an_interrupted_player_stops_within_a_frame_and_its_play_returns(fresh_loopback: Any) -> None:
    async def main() -> None:
        async with speaker_and_listener() as (speaker, listener):
            player = aio.AudioPlayer(speaker.cloud, lead=0.1)
            playing = asyncio.ensure_future(player.play(ramp(48000 * 5)))  # 5 s
            await asyncio.sleep(0.3)
            player.interrupt()
            await asyncio.wait_for(playing, 1)
            await player.finished()
            pcm = await heard(listener, fresh_loopback)
            # What was heard is the start of the answer, then the one frame of silence.
            assert pcm.endswith(bytes(1920)) and len(pcm) < 48000 * 2 * 0.6
            assert ramp(48000 * 5).startswith(pcm[:-1920])

    run(main())


def test_a_player_far_ahead_waits_for_the_sdks_full_queue_and_loses_nothing(fresh_loopback: Any) -> None:
    async def main() -> None:
        # The listener hears 1 ms frames too (a frame shorter than its channel's is handed out at once).
        async with speaker_and_listener(maxsize=4096) as (speaker, listener):
            pcm = ramp(48000)  # 1 s in 1 ms frames: twice what the SDK's queue holds
            player = aio.AudioPlayer(speaker.cloud, frame_ms=1, lead=60.0)
            await player.play(pcm)
            await player.finished()
            assert await heard(listener, fresh_loopback) == pcm
            stats = fresh_loopback.stats()[fresh_loopback.clouds()[0]]  # the speaker's
            assert stats["paced_audio_refused"] > 0  # the queue was full, and the player waited

    run(main())


class Int16Array:
    """Stands for a numpy int16 array: a dtype and tobytes()."""

    dtype = "int16"

    def __init__(self, data: bytes) -> None:
        self.data = data

    def tobytes(self) -> bytes:
        return self.data


@pytest.mark.parametrize(
    ("pcm", "error"),
    [
        (b"\x00\x01\x02", ValueError),
        (type("Floats", (), {"dtype": "float32", "tobytes": lambda self: b""})(), TypeError),
    ],
    ids=["odd-bytes", "float-array"],
)
def test_a_player_refuses_pcm_that_is_not_whole_int16_samples(
    pcm: Any, error: type[Exception], cloud: CloudRig
) -> None:
    async def main() -> None:
        with pytest.raises(error):
            await aio.AudioPlayer(cloud.cloud).play(pcm)

    run(main())


def test_room_whose_sdk_fails_every_call_raises_room_error_and_leaves_no_cloud(fresh_loopback: Any) -> None:
    fresh_loopback.fail_next_cloud(mirelo.ERR_FAILED)

    async def main() -> None:
        with pytest.raises(aio.RoomError) as raised:
            async with aio.Room(room_params("cat")):
                pytest.fail("entered")
        assert (raised.value.operation, raised.value.code) == ("EnterRoom", int(mirelo.ERR_FAILED))

    run(main())
    assert fresh_loopback.clouds() == []
