"""An asyncio bridge for SDK events.

The SDK calls handler methods on its own threads with the interpreter lock held. Touching an event
loop, a future or an `asyncio.Queue` from there is unsafe, and blocking there stalls the SDK. This
module moves every event onto one asyncio loop without ever blocking the SDK thread:

- `EventStream` is a handler (`QOLTCloudDelegate`) whose 22 event methods turn each event into an
  immutable `Event` object and hand it to the loop. Read events with `async for`, with
  `await stream.next(...)`, or register callbacks with `stream.on(...)`.
- `Room` is an `async with` block that creates a cloud with an `EventStream`, enters a room, and on
  the way out leaves it and destroys the cloud.
- `AudioPlayer` plays PCM into the room at real-time pace through `SendContinuousAudioFrame`, can be
  interrupted at once (barge-in), and tells when what it played has finished playing.
"""

from __future__ import annotations

import asyncio
import enum
import inspect
import threading
from collections import deque
from collections.abc import Callable, Collection, Iterator, Mapping
from dataclasses import dataclass
from types import MappingProxyType, TracebackType
from typing import Any, ClassVar, TypeVar, overload

from ._mirelo import (
    ERR_OK,
    ERR_READ_TRY_AGAIN,
    AudioFrame,
    ConnectionState,
    EnterRoomParams,
    Error,
    NetworkQualityInfo,
    PixelFrame,
    QOLTCloud,
    QOLTCloudDelegate,
    StreamType,
    UserInfo,
    VideoFrame,
)
from .delegate import EVENTS, _event_method

__all__ = [
    "AudioPlayer",
    "ConnectionStateChangedEvent",
    "EVENT_TYPES",
    "EnterRoomEvent",
    "ErrorEvent",
    "Event",
    "EventStream",
    "ExitRoomEvent",
    "LocalAudioChannelCreatedEvent",
    "LocalAudioChannelDestroyedEvent",
    "LocalVideoChannelCreatedEvent",
    "LocalVideoChannelDestroyedEvent",
    "MissCustomCmdMsgEvent",
    "NetworkQualityEvent",
    "Overflow",
    "ReceiveCustomCmdMsgEvent",
    "RemoteAudioAvailableEvent",
    "RemoteAudioReceivedEvent",
    "RemoteMixedAudioReceivedEvent",
    "RemotePixelFrameReceivedEvent",
    "RemoteUserEnterRoomEvent",
    "RemoteUserExitRoomEvent",
    "RemoteVideoAvailableEvent",
    "RemoteVideoFrameReceivedEvent",
    "RequestChangeVideoEncodeBitrateEvent",
    "RequestKeyFrameEvent",
    "Room",
    "RoomError",
    "SeiMessageReceivedEvent",
    "StreamClosed",
    "StreamStats",
    "check",
]


# --- Events -------------------------------------------------------------------------------------

_event_types: dict[str, type[Event]] = {}  # each event's class, by name, as the classes are defined


class Event:
    """One SDK event: `name` is the handler method's name, `args` its arguments in order.

    Each event has its own subclass with named fields (`RemoteAudioReceivedEvent.frame`, ...). The
    arguments are the binding's own copies, so an event may be kept as long as needed.
    """

    __slots__ = ()
    __match_args__: ClassVar[tuple[str, ...]] = ()

    name: ClassVar[str] = ""
    """The handler method's name, such as ``"OnRemoteAudioReceived"``."""

    media: ClassVar[bool] = False
    """True for remote audio, mixed audio, video and pixel frames, and the SEI riding on video: the
    events overflow may drop, as the SDK itself does."""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if Event not in cls.__bases__ or cls.__module__ != __name__:
            return  # a subclass of an event class is that event; a program's own classes are its own
        # Each event's class is named after its handler method: ErrorEvent is OnError's.
        name = "On" + cls.__name__.removesuffix("Event")
        if name not in EVENTS:
            raise TypeError(f"{cls.__name__} is named after no event of QOLTCloudDelegate")
        cls.name = name
        _event_types[name] = cls  # the dataclass's class with slots replaces the first one

    @property
    def args(self) -> tuple[Any, ...]:
        """The event's arguments, in the order the SDK passed them."""
        return tuple(getattr(self, field) for field in self.__match_args__)


E = TypeVar("E", bound=Event)


@dataclass(frozen=True, slots=True)
class ErrorEvent(Event):
    """The SDK reported an error."""

    error: Error


@dataclass(frozen=True, slots=True)
class ConnectionStateChangedEvent(Event):
    """The connection to the room service changed state."""

    old_state: ConnectionState
    new_state: ConnectionState


@dataclass(frozen=True, slots=True)
class EnterRoomEvent(Event):
    """The cloud entered its room."""


@dataclass(frozen=True, slots=True)
class ExitRoomEvent(Event):
    """The cloud left its room."""


@dataclass(frozen=True, slots=True)
class LocalAudioChannelCreatedEvent(Event):
    """The local audio channel was created."""


@dataclass(frozen=True, slots=True)
class LocalAudioChannelDestroyedEvent(Event):
    """The local audio channel was destroyed."""


@dataclass(frozen=True, slots=True)
class LocalVideoChannelCreatedEvent(Event):
    """A local video channel was created."""

    stream_type: StreamType


@dataclass(frozen=True, slots=True)
class LocalVideoChannelDestroyedEvent(Event):
    """A local video channel was destroyed."""

    stream_type: StreamType


@dataclass(frozen=True, slots=True)
class RequestChangeVideoEncodeBitrateEvent(Event):
    """The SDK asks for another video bit rate."""

    stream_type: StreamType
    bitrate_bps: int


@dataclass(frozen=True, slots=True)
class RequestKeyFrameEvent(Event):
    """The SDK asks for a key frame on a video stream."""

    stream_type: StreamType


@dataclass(frozen=True, slots=True)
class RemoteUserEnterRoomEvent(Event):
    """A remote user entered the room."""

    info: UserInfo


@dataclass(frozen=True, slots=True)
class RemoteUserExitRoomEvent(Event):
    """A remote user left the room."""

    info: UserInfo
    reason: int


@dataclass(frozen=True, slots=True)
class RemoteAudioAvailableEvent(Event):
    """A remote user's audio became available or unavailable."""

    user_id: str | None
    available: bool


@dataclass(frozen=True, slots=True)
class RemoteVideoAvailableEvent(Event):
    """A remote user's video stream became available or unavailable."""

    user_id: str | None
    available: bool
    stream_type: StreamType


@dataclass(frozen=True, slots=True)
class RemoteVideoFrameReceivedEvent(Event):
    """An encoded video frame from a subscribed remote stream."""

    media: ClassVar[bool] = True
    user_id: str | None
    stream_type: StreamType
    frame: VideoFrame


@dataclass(frozen=True, slots=True)
class RemotePixelFrameReceivedEvent(Event):
    """A raw pixel frame from a subscribed remote stream."""

    media: ClassVar[bool] = True
    user_id: str | None
    stream_type: StreamType
    frame: PixelFrame


@dataclass(frozen=True, slots=True)
class RemoteAudioReceivedEvent(Event):
    """An audio frame from a subscribed remote user."""

    media: ClassVar[bool] = True
    user_id: str | None
    frame: AudioFrame


@dataclass(frozen=True, slots=True)
class RemoteMixedAudioReceivedEvent(Event):
    """A frame of the mix of all subscribed remote audio."""

    media: ClassVar[bool] = True
    frame: AudioFrame


@dataclass(frozen=True, slots=True)
class SeiMessageReceivedEvent(Event):
    """An SEI message riding on a remote video stream."""

    media: ClassVar[bool] = True
    user_id: str | None
    stream_type: StreamType
    message_type: int
    message: bytes


@dataclass(frozen=True, slots=True)
class ReceiveCustomCmdMsgEvent(Event):
    """A custom command message from a remote user."""

    user_id: str | None
    cmd_id: int
    seq: int
    message: bytes


@dataclass(frozen=True, slots=True)
class MissCustomCmdMsgEvent(Event):
    """Custom command messages from a remote user were lost."""

    user_id: str | None
    cmd_id: int
    error_code: int
    missed: int


@dataclass(frozen=True, slots=True)
class NetworkQualityEvent(Event):
    """A network quality report: the local user's and one per remote user."""

    local: NetworkQualityInfo
    remote: tuple[NetworkQualityInfo, ...]

    def __post_init__(self) -> None:
        # The SDK passes a list: a tuple keeps the event immutable.
        object.__setattr__(self, "remote", tuple(self.remote))


EVENT_TYPES: Mapping[str, type[Event]] = MappingProxyType(
    {name: _event_types[name] for name in EVENTS if name in _event_types}
)
"""Every event class, by its handler method's name, in the order the module registers the events."""


# --- The bounded buffer -------------------------------------------------------------------------


class Overflow(enum.Enum):
    """Which media event goes when an `EventStream`'s bound is reached.

    Only media events (remote audio, mixed audio, video and pixel frames) are ever dropped; presence,
    state, error and message events are always kept, as in the SDK's own queues.
    """

    DROP_OLDEST = "drop_oldest"
    """Drop the oldest waiting media event to make room for the new one: readers stay current."""

    DROP_NEWEST = "drop_newest"
    """Drop the arriving media event: readers see an unbroken run of older media."""


_Entry = tuple[int, Event]  # (sequence number, event); numbers grow in arrival order


class _Buffer:
    """Events in arrival order, holding at most `bound` media events.

    Media and other events sit in two deques so that dropping the oldest media event is O(1); the
    sequence numbers merge them back into arrival order. Not thread-safe: each owner guards it.
    """

    __slots__ = ("_media", "_other", "_bound", "_drop_oldest")

    def __init__(self, bound: int, overflow: Overflow) -> None:
        self._media: deque[_Entry] = deque()
        self._other: deque[_Entry] = deque()
        self._bound = bound
        self._drop_oldest = overflow is Overflow.DROP_OLDEST

    def __len__(self) -> int:
        return len(self._media) + len(self._other)

    def push(self, entry: _Entry) -> bool:
        """Appends `entry`; returns True if a media event (this one or an older one) was dropped."""
        if not entry[1].media:
            self._other.append(entry)
            return False
        if len(self._media) < self._bound:
            self._media.append(entry)
            return False
        if self._drop_oldest:
            self._media.popleft()
            self._media.append(entry)
        return True

    def put_back(self, entry: _Entry) -> None:
        """Reinserts an entry taken earlier at its place in arrival order, whatever the bound."""
        queue = self._media if entry[1].media else self._other
        index = len(queue)
        while index > 0 and queue[index - 1][0] > entry[0]:
            index -= 1
        queue.insert(index, entry)

    def pop(self, names: Collection[str] | None = None) -> _Entry | None:
        """Removes and returns the oldest entry (whose event's name is in `names`, if given)."""
        media = self._first(self._media, names)
        other = self._first(self._other, names)
        if media is None and other is None:
            return None
        if other is None or (media is not None and self._media[media][0] < self._other[other][0]):
            assert media is not None
            return self._take(self._media, media)
        return self._take(self._other, other)

    def __iter__(self) -> Iterator[_Entry]:
        return iter(sorted((*self._media, *self._other), key=lambda entry: entry[0]))

    def clear(self) -> int:
        """Empties the buffer; returns how many entries it held."""
        count = len(self)
        self._media.clear()
        self._other.clear()
        return count

    @staticmethod
    def _first(queue: deque[_Entry], names: Collection[str] | None) -> int | None:
        if names is None:
            return 0 if queue else None
        for index, (_, event) in enumerate(queue):
            if event.name in names:
                return index
        return None

    @staticmethod
    def _take(queue: deque[_Entry], index: int) -> _Entry:
        if index == 0:
            return queue.popleft()
        entry = queue[index]
        del queue[index]
        return entry


# --- The stream ---------------------------------------------------------------------------------


class StreamClosed(EOFError):
    """The stream was closed and holds no matching event: no more will come."""


@dataclass(frozen=True, slots=True)
class StreamStats:
    """Counts of an `EventStream`'s events; `received == delivered + dropped + discarded + pending`."""

    received: int
    """Events the SDK handed to the stream."""
    delivered: int
    """Events handed to a callback or returned to a reader."""
    dropped: int
    """Media events dropped by the overflow policy."""
    discarded: int
    """Events that arrived after the loop or the stream was closed, or were waiting then."""
    pending: int
    """Events waiting to be read."""


@dataclass(eq=False, slots=True)
class _Waiter:
    names: Collection[str] | None  # None: any event
    future: asyncio.Future[_Entry]
    consumes: bool  # False: an observer, which sees the event without taking it


class EventStream(QOLTCloudDelegate):
    """A handler that hands every SDK event to an asyncio loop as an `Event`.

    Create it on the loop (or pass `loop=`), give it to `QOLTCloud`, then read events with
    ``async for event in stream``, ``await stream.next("OnEnterRoom", timeout=5)``, or callbacks
    registered with ``stream.on("OnRemoteAudioReceived", fn)``. Every method but `stats` must be
    called on the loop's thread.

    The SDK thread never waits for the loop: events wait in a buffer that holds at most `maxsize`
    media events, and the `overflow` policy picks which media event goes when it is full (other
    events are always kept). Events that arrive once the loop or the stream is closed are counted in
    `stats().discarded` and never raise. The stream holds no reference to any cloud.
    """

    def __init__(
        self,
        *,
        maxsize: int = 256,
        overflow: Overflow = Overflow.DROP_OLDEST,
        loop: asyncio.AbstractEventLoop | None = None,
    ) -> None:
        super().__init__()
        if isinstance(maxsize, bool) or not isinstance(maxsize, int):
            raise TypeError(f"maxsize must be an int, not {maxsize!r}")
        if maxsize < 1:
            raise ValueError(f"maxsize must be at least 1, not {maxsize}")
        if not isinstance(overflow, Overflow):
            raise TypeError(f"overflow must be an Overflow, not {overflow!r}")
        self._loop = loop if loop is not None else asyncio.get_running_loop()
        self.maxsize = maxsize
        self.overflow = overflow
        # Events cross threads in two stages. The inbox is filled on SDK threads and emptied on the
        # loop thread, so it and its counters are guarded by a lock that is held only for a few
        # deque operations: an SDK thread never waits on the loop, only on that short section.
        # Doing the queue work on the loop thread instead (one call_soon_threadsafe per event)
        # would leave the bound unenforced while the loop is busy, since the loop's own queue of
        # callbacks is unbounded, and an SDK thread cannot drop the oldest event from a queue that
        # only the loop thread may touch. Only one wake-up call is outstanding at a time.
        self._lock = threading.Lock()
        self._inbox = _Buffer(maxsize, overflow)  # guarded by _lock
        self._wake_pending = False  # guarded by _lock
        self._sequence = 0  # guarded by _lock
        self._received = 0  # guarded by _lock
        self._inbox_dropped = 0  # guarded by _lock
        self._discarded = 0  # guarded by _lock
        self._closed = False  # written on the loop thread under _lock; SDK threads read it under _lock
        # The second stage belongs to the loop thread alone: events routed but not yet read.
        self._backlog = _Buffer(maxsize, overflow)
        self._backlog_dropped = 0
        self._draining = False
        self._unrouted: list[_Entry] = []  # taken from the inbox, not yet routed: a callback interrupted its batch
        self._delivered = 0
        self._waiters: list[_Waiter] = []
        self._callbacks: dict[str, list[Callable[[Any], object]]] = {}
        self._tasks: set[asyncio.Future[object]] = set()

    # -- Reading

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        """The loop that events are handed to."""
        return self._loop

    @property
    def closed(self) -> bool:
        """True once `close()` was called."""
        return self._closed

    def stats(self) -> StreamStats:
        """A snapshot of the stream's counts; may be called from any thread."""
        with self._lock:
            return StreamStats(
                received=self._received,
                delivered=self._delivered,
                dropped=self._inbox_dropped + self._backlog_dropped,
                discarded=self._discarded,
                pending=len(self._inbox) + len(self._backlog),
            )

    @overload
    async def next(self, name: str | None = None, timeout: float | None = None) -> Event: ...

    @overload
    async def next(self, name: type[E], timeout: float | None = None) -> E: ...

    async def next(self, name: str | type[Event] | None = None, timeout: float | None = None) -> Event:
        """Waits for the next event, or the next one named `name` (a name or an event class).

        Events of other names stay in the stream, in order, for later reads. Raises `TimeoutError`
        after `timeout` seconds (None: no limit) and `StreamClosed` once the stream is closed and
        holds no such event.
        """
        wanted = None if name is None else (_event_name(name),)
        self._drain()  # events already in the inbox come before any that a wait would see
        entry = self._backlog.pop(wanted)
        if entry is not None:
            self._delivered += 1
            return entry[1]
        if self._closed:
            raise StreamClosed("the event stream is closed")
        waiter = _Waiter(wanted, self._loop.create_future(), consumes=True)
        self._waiters.append(waiter)
        try:
            async with asyncio.timeout(timeout):
                return (await waiter.future)[1]
        except BaseException:
            self._forget(waiter)
            # A timeout or cancellation can land after the event was handed over: give it back,
            # or it would be lost.
            future = waiter.future
            if future.done() and not future.cancelled() and future.exception() is None:
                self._delivered -= 1
                self._offer(future.result(), put_back=True)
            raise

    def __aiter__(self) -> EventStream:
        return self

    async def __anext__(self) -> Event:
        try:
            return await self.next()
        except StreamClosed:
            raise StopAsyncIteration from None

    # -- Callbacks

    @overload
    def on(self, name: str, callback: Callable[[Event], object]) -> Callable[[], None]: ...

    @overload
    def on(self, name: type[E], callback: Callable[[E], object]) -> Callable[[], None]: ...

    def on(self, name: str | type[Event], callback: Callable[[Any], object]) -> Callable[[], None]:
        """Calls `callback(event)` on the loop for every later event named `name`.

        A callback that returns an awaitable (a coroutine function's) has it run as a task. An
        exception from a callback or its task goes to the loop's exception handler. Events that
        have callbacks go to them instead of to readers. Returns a function that removes the
        callback.
        """
        key = _event_name(name)
        self._drain()  # events that arrived before the registration keep going to readers
        self._callbacks.setdefault(key, []).append(callback)

        def remove() -> None:
            callbacks = self._callbacks.get(key, [])
            if callback in callbacks:
                callbacks.remove(callback)
            if not callbacks:
                self._callbacks.pop(key, None)

        return remove

    # -- Closing

    def close(self) -> None:
        """Ends the stream: readers get what is left, then `StreamClosed` (`async for` ends).

        Later SDK events are discarded and counted; callbacks are removed, which also breaks any
        reference cycle through them.
        """
        if self._closed:
            return
        self._drain()
        with self._lock:
            self._closed = True
        self._callbacks.clear()
        waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            if waiter.future.done():
                continue
            if waiter.consumes:
                waiter.future.set_exception(StreamClosed("the event stream is closed"))
            else:
                waiter.future.cancel()  # nobody may be left to retrieve an exception

    # -- Internals used by Room

    def _watch(self, names: Collection[str]) -> asyncio.Future[_Entry]:
        """A future for the next event named in `names`, which stays in the stream for others."""
        waiter = _Waiter(frozenset(names), self._loop.create_future(), consumes=False)
        waiter.future.add_done_callback(lambda _: self._forget(waiter))
        self._waiters.insert(0, waiter)  # observers come first: they take nothing
        return waiter.future

    # -- The SDK side: runs on SDK threads and must never block on the loop nor raise.

    def _push(self, event: Event) -> None:
        loop = self._loop
        with self._lock:
            self._received += 1
            if self._closed or loop.is_closed():
                self._discarded += 1 + self._inbox.clear()
                return
            self._sequence += 1
            if self._inbox.push((self._sequence, event)):
                self._inbox_dropped += 1
            if self._wake_pending:
                return
            self._wake_pending = True
        try:
            loop.call_soon_threadsafe(self._drain)
        except RuntimeError:
            # The loop closed after the check above; nothing will ever read the inbox.
            with self._lock:
                self._discarded += self._inbox.clear()

    # -- The loop side

    def _drain(self) -> None:
        """Routes everything in the inbox, in arrival order."""
        if self._draining:
            # Called again from a callback of this very drain: routing newer events now would put
            # them ahead of the rest of the batch. The wake-up that their arrival scheduled will
            # route them.
            return
        with self._lock:
            batch = self._unrouted + list(self._inbox)
            self._inbox.clear()
            self._wake_pending = False
        self._unrouted = []
        self._draining = True
        try:
            for index, entry in enumerate(batch):
                try:
                    self._route(entry)
                except BaseException:
                    # KeyboardInterrupt or SystemExit from a callback goes on to whoever runs the
                    # loop; the rest of the batch is routed by the next drain, not lost.
                    self._unrouted = batch[index + 1 :]
                    if self._unrouted:
                        self._loop.call_soon(self._drain)
                    raise
        finally:
            self._draining = False

    def _route(self, entry: _Entry) -> None:
        event = entry[1]
        callbacks = self._callbacks.get(event.name)
        if not callbacks:
            self._offer(entry)
            return
        for waiter in list(self._waiters):
            if not waiter.consumes:
                _hand(waiter, entry)
        self._delivered += 1
        for callback in list(callbacks):
            self._invoke(callback, event)

    def _offer(self, entry: _Entry, *, put_back: bool = False) -> None:
        """Shows an event to observers, hands it to the oldest reader waiting for it, else buffers it.

        An event given back by a reader that gave up is not shown to observers again.
        """
        for waiter in list(self._waiters):
            if put_back and not waiter.consumes:
                continue
            if _hand(waiter, entry) and waiter.consumes:
                self._delivered += 1
                return
        if put_back:
            self._backlog.put_back(entry)
        elif self._backlog.push(entry):
            self._backlog_dropped += 1

    def _forget(self, waiter: _Waiter) -> None:
        try:
            self._waiters.remove(waiter)
        except ValueError:
            pass

    def _invoke(self, callback: Callable[[Any], object], event: Event) -> None:
        try:
            result = callback(event)
        except (Exception, asyncio.CancelledError) as exc:
            # A CancelledError here is a callback's own bug (reading a cancelled future's result),
            # not a cancellation of the loop's work: it is reported like any other error.
            self._report(exc, callback, event)
            return
        if inspect.isawaitable(result):
            task = asyncio.ensure_future(result, loop=self._loop)
            self._tasks.add(task)
            task.add_done_callback(lambda done: self._task_done(done, callback, event))

    def _task_done(self, task: asyncio.Future[object], callback: Callable[[Any], object], event: Event) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            exc = task.exception()
            assert isinstance(exc, BaseException)
            self._report(exc, callback, event)

    def _report(self, exc: BaseException, callback: Callable[[Any], object], event: Event) -> None:
        self._loop.call_exception_handler(
            {
                "message": f"EventStream callback for {event.name} raised",
                "exception": exc,
                "callback": callback,
                "event": event,
            }
        )


def _event_name(name: str | type[Event]) -> str:
    """Checks an event name or class, so that a misspelt name fails at once instead of never matching."""
    key = name.name if isinstance(name, type) and issubclass(name, Event) else name
    if not isinstance(key, str) or key not in EVENT_TYPES:
        raise ValueError(f"unknown event {name!r}; expected one of {', '.join(EVENT_TYPES)}")
    return key


def _hand(waiter: _Waiter, entry: _Entry) -> bool:
    """Resolves `waiter` with `entry` if it is still waiting for such an event."""
    if waiter.future.done() or (waiter.names is not None and entry[1].name not in waiter.names):
        return False
    waiter.future.set_result(entry)
    return True


# --- Rooms --------------------------------------------------------------------------------------


class RoomError(Exception):
    """An SDK operation failed: `code` is its result, or the code of the `OnError` event."""

    def __init__(self, operation: str, code: int | None) -> None:
        self.operation = operation
        self.code = code
        super().__init__(f"{operation} failed: {_error_name(operation, code)}")


# The results that mean success for the operations whose result is not an `Error` code:
# SendCustomCmdMsg returns 1 when the message was sent and 0 when it was not; SetVideoEncodeParam and
# EnableVoiceActivityDetection return nothing.
_SUCCESS: dict[str, int | None] = {
    "SendCustomCmdMsg": 1,
    "SetVideoEncodeParam": None,
    "EnableVoiceActivityDetection": None,
}


def check(operation: str, code: int | None) -> None:
    """Raises `RoomError` unless `code`, the result of the SDK operation `operation`, means success:
    ERR_OK for most operations, 1 for SendCustomCmdMsg (0 means the message was not sent), None for
    the two that return nothing."""
    if code != _SUCCESS.get(operation, int(ERR_OK)):
        raise RoomError(operation, code)


def _error_name(operation: str, code: int | None) -> str:
    if operation in _SUCCESS:
        return "not sent (0)" if code == 0 else f"result {code!r}"
    for name, member in Error.__members__.items():
        if int(member) == code:
            return f"{name} ({code})"
    return f"error {code}"


class Room:
    """``async with Room(params) as room:`` is a cloud in a room for the duration of the block.

    Entering creates a `QOLTCloud` with a new `EventStream`, calls `EnterRoom(params)` and waits for
    `OnEnterRoom`; it raises `RoomError` if `EnterRoom` returns an error or the SDK reports
    `OnError` first, and `TimeoutError` after `enter_timeout` seconds. In the block, `room.cloud`
    publishes and `room.stream` receives (the events that led into the room are in it too).
    Leaving, also when the block raises, calls `ExitRoom`, waits up to `exit_timeout` seconds for
    `OnExitRoom`, closes the stream and drops the cloud so that it is destroyed. Don't keep
    references to `room.cloud` beyond the block: the cloud lives as long as they do.
    """

    def __init__(
        self,
        params: EnterRoomParams,
        *,
        maxsize: int = 256,
        overflow: Overflow = Overflow.DROP_OLDEST,
        enter_timeout: float | None = 10.0,
        exit_timeout: float | None = 5.0,
    ) -> None:
        self.params = params
        self._maxsize = maxsize
        self._overflow = overflow
        self.enter_timeout = enter_timeout
        self.exit_timeout = exit_timeout
        self._cloud: QOLTCloud | None = None
        self._stream: EventStream | None = None

    @property
    def cloud(self) -> QOLTCloud:
        """The room's cloud; only inside the ``async with`` block."""
        if self._cloud is None:
            raise RuntimeError("the room is not entered")
        return self._cloud

    @property
    def stream(self) -> EventStream:
        """The room's events; still readable after the block, until what was left is read."""
        if self._stream is None:
            raise RuntimeError("the room was never entered")
        return self._stream

    async def __aenter__(self) -> Room:
        if self._stream is not None:
            raise RuntimeError("a Room can be entered only once")
        stream = EventStream(maxsize=self._maxsize, overflow=self._overflow)
        self._stream = stream
        self._cloud = QOLTCloud(stream)
        try:
            # Watch before entering: the answer may be routed as soon as this task awaits.
            outcome = stream._watch(("OnEnterRoom", "OnError"))
            check("EnterRoom", self._cloud.EnterRoom(self.params))
            async with asyncio.timeout(self.enter_timeout):
                _, event = await outcome
            if isinstance(event, ErrorEvent):
                raise RoomError("EnterRoom", int(event.error))
        except BaseException:
            # Destroying the cloud leaves the room if the SDK got that far.
            self._release()
            raise
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        # No local variable holds the cloud: a traceback leaving this frame would keep it alive.
        try:
            stream = self._stream
            if self._cloud is None or stream is None:
                return
            left = stream._watch(("OnExitRoom",))
            # A closed stream routes nothing: there is no OnExitRoom to wait for.
            if self._cloud.ExitRoom() == int(ERR_OK) and not stream.closed:
                # No OnExitRoom in time is no reason to fail the block: destroying the cloud
                # leaves the room anyway.
                try:
                    async with asyncio.timeout(self.exit_timeout):
                        await left
                except TimeoutError:
                    pass
        finally:
            self._release()

    def _release(self) -> None:
        """Closes the stream, then drops the cloud, which destroys it unless the caller kept it.

        The stream goes first: it drops its callbacks, which may refer to the cloud.
        """
        if self._stream is not None:
            self._stream.close()
        self._cloud = None


# The event methods: each hands its arguments, as they are (the binding already passes copies), to
# its event's class and the event to the loop.
for _event_class in EVENT_TYPES.values():
    _forward = _event_method(_event_class.name, "self._push(_event({args}))", {"_event": _event_class})
    _forward.__qualname__ = f"EventStream.{_event_class.name}"
    _forward.__doc__ = (
        f"Hands the SDK's `{_event_class.name}` to the loop as a `{_event_class.__name__}`, "
        "without waiting for the loop; called on the SDK's thread."
    )
    setattr(EventStream, _event_class.name, _forward)
del _event_class, _forward

# --- Paced audio ----------------------------------------------------------------------------------


class AudioPlayer:
    """Plays 16-bit PCM into a room through `QOLTCloud.SendContinuousAudioFrame`.

    The SDK sends what `SendContinuousAudioFrame` queued at real-time pace, one frame after another.
    The player cuts PCM into frames of `frame_ms` and keeps at most `lead` seconds queued ahead of
    that pace: the SDK's queue never fills (a full queue refuses frames), and `interrupt()` has
    little to throw away. Use it on the loop's thread, with a cloud whose local audio channel has
    the same `sample_rate` and `channels`.

    `play(pcm)` returns once all of `pcm` is queued; `finished()` waits for the estimated end of
    playout, and `interrupt()` stops at once: it clears the SDK's queue (with one frame of silence,
    the only way the SDK offers) and ends any `play()` in progress. PCM is `bytes`-like (interleaved
    little-endian int16), or a numpy `int16` array when numpy is installed.
    """

    def __init__(
        self,
        cloud: QOLTCloud,
        *,
        sample_rate: int = 48000,
        channels: int = 1,
        frame_ms: int = 20,
        lead: float = 0.2,
    ) -> None:
        if sample_rate <= 0 or channels <= 0 or frame_ms <= 0:
            raise ValueError("sample_rate, channels and frame_ms must be positive")
        if not lead >= 0:
            raise ValueError(f"lead must be at least 0 seconds, not {lead}")
        self.cloud = cloud
        self.sample_rate = sample_rate
        self.channels = channels
        self.frame_ms = frame_ms
        self.lead = lead
        self._frame_bytes = sample_rate * frame_ms // 1000 * channels * 2
        self._end = 0.0  # loop time at which what was queued is estimated to have played
        self._generation = 0  # bumped by interrupt(): a play() that sees it change stops
        self._playing = asyncio.Lock()

    @property
    def playing(self) -> bool:
        """Whether queued audio is estimated to be still playing."""
        return self._end > asyncio.get_running_loop().time()

    @property
    def remaining(self) -> float:
        """Seconds until the estimated end of playout (0 when nothing plays)."""
        return max(0.0, self._end - asyncio.get_running_loop().time())

    async def play(self, pcm: Any) -> None:
        """Queues `pcm` after what is already playing, pacing itself; returns once all of it is
        queued, or as soon as `interrupt()` is called. A frame that the SDK's full queue refuses
        (`ERR_READ_TRY_AGAIN`) is offered again a frame later; any other refusal raises `RoomError`."""
        data = _pcm_bytes(pcm, self.channels)
        generation = self._generation
        loop = asyncio.get_running_loop()
        async with self._playing:  # two plays never interleave their frames
            for offset in range(0, len(data), self._frame_bytes):
                chunk = data[offset : offset + self._frame_bytes]
                while True:
                    ahead = self._end - loop.time() - self.lead
                    if ahead > 0:
                        await asyncio.sleep(ahead)
                    if generation != self._generation:
                        return
                    code = self._queue(chunk, clear=False)
                    if code != int(ERR_READ_TRY_AGAIN):
                        check("SendContinuousAudioFrame", code)
                        break
                    await asyncio.sleep(self.frame_ms / 1000)

    def interrupt(self) -> None:
        """Stops playing at once: what was queued is dropped and a `play()` in progress returns.
        The SDK plays one frame of silence, which replaces its queue."""
        self._generation += 1
        self._end = 0.0
        check("SendContinuousAudioFrame", self._queue(bytes(self._frame_bytes), clear=True))

    async def finished(self) -> None:
        """Waits until what was played is estimated to have finished playing, including audio
        queued while waiting."""
        loop = asyncio.get_running_loop()
        while (delay := self._end - loop.time()) > 0:
            await asyncio.sleep(delay)

    def _queue(self, chunk: bytes, *, clear: bool) -> int:
        """Hands one frame to the SDK; returns its result, and moves the end of playout if queued."""
        frame = AudioFrame()
        frame.sample_rate, frame.channels, frame.bits_per_sample = self.sample_rate, self.channels, 16
        frame.SetData(chunk)
        code: int = self.cloud.SendContinuousAudioFrame(frame, clear)
        if code == int(ERR_OK):
            now = asyncio.get_running_loop().time()
            self._end = max(self._end, now) + len(chunk) / (2 * self.channels * self.sample_rate)
        return code


def _pcm_bytes(pcm: Any, channels: int) -> bytes:
    """`pcm` as bytes of whole int16 samples for `channels`; numpy arrays must hold int16."""
    dtype = getattr(pcm, "dtype", None)
    if dtype is not None:
        if str(dtype) != "int16":
            raise TypeError(f"PCM arrays must hold int16 samples, not {dtype}")
        pcm = pcm.tobytes()
    data = bytes(memoryview(pcm).cast("B"))
    if len(data) % (2 * channels):
        raise ValueError(f"PCM must hold whole 16-bit samples for {channels} channel(s); got {len(data)} bytes")
    return data
