"""Drive the loopback SDK from Python.

The package ships a loopback implementation of the media SDK: clouds in one process meet in
in-process rooms, and every event reaches its handler on the cloud's own event thread, as with
the real service. This module is how tests (and users testing their own programs) look inside it
and drive it: list the live clouds, raise any delegate event on a cloud's event thread, wait until
everything raised has been delivered, read the journal of SDK calls and the exceptions that left
handlers, inject results, and tune the loopback.

It talks to the very ``libmirelo.so`` that ``mirelo._mirelo`` loaded, through the library's control
API (``mirelo._loopback``). Every call into the library releases the interpreter lock, so waiting
here never keeps a handler from running. Against another ``libmirelo.so`` (the real SDK) this
module cannot be used: importing it raises ``ImportError``.

A call that the library cannot complete raises ``MemoryError`` (memory exhausted) or
``RuntimeError`` with the library's reason, from any thread, handlers included.

After ``os.fork()`` the child has only the thread that forked. The clouds it inherits have no
event thread there: their events are dropped, their methods still return, they stay present in
their rooms until destroyed, and destroying them is safe. The child may exit (normally or with ``os._exit``), exec, and create clouds of its own,
whose events are delivered as usual; the child runs its own clock for paced
``SendContinuousAudioFrame`` audio and the periodic network-quality reports. In a child forked on
a thread other than the main one, the loopback's threads end when the forking thread ends: from
then on no cloud of that child delivers events.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Any

from . import _mirelo  # registers the records and frames that events take, before _loopback loads

# isort: split
from . import _loopback

__all__ = [
    "clouds",
    "handle_of",
    "emit",
    "flush",
    "failures",
    "journal",
    "reset",
    "inject",
    "fail_next_cloud",
    "stats",
    "settings",
    "configure",
    "configuration",
    "limits",
    "state",
    "retention",
    "ENVIRONMENTS",
    "EVENTS",
]

ENVIRONMENTS = ("production", "staging", "test", "development")
"""The names that ``SetEnvironment`` accepts; ``production`` is the default."""

EVENTS: tuple[str, ...] = tuple(_loopback.events())
"""The names that ``emit`` raises events by: the SDK's, and the handler methods' where they differ."""

_UINT64 = 2**64 - 1


def _check_timeout(timeout: float) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout < 0:
        raise ValueError(f"timeout must be at least 0, not {timeout!r}")
    return float(timeout)


def _check_handle(handle: int) -> int:
    if isinstance(handle, bool) or not isinstance(handle, int):
        raise TypeError(f"a cloud handle is an int, not {type(handle).__name__}")
    if not 0 <= handle <= _UINT64:
        raise ValueError(f"no live cloud has the handle {handle}")
    return handle


def _count(value: Any, what: str, low: int) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None
    if not low <= number <= 2**32 - 1:
        raise ValueError(f"{what} {number} is outside {low}..{2**32 - 1}")
    return number


def clouds() -> list[int]:
    """Handles of the live SDK clouds, in creation order (handles count from 1, never reused)."""
    return list(_loopback.clouds())


def handle_of(cloud_or_user_id: _mirelo.QOLTCloud | _mirelo.QOLTCloudDelegate | str) -> int:
    """The handle of a live cloud: of a ``QOLTCloud`` object, of the cloud a delegate (handler)
    serves, or of the cloud that is in a room as that user id. ``ValueError`` when there is no
    such cloud, or more than one (a handler serving two clouds, a user id in two rooms; a cloud
    made without a delegate is known by its user id only); ``TypeError`` for anything else."""
    if isinstance(cloud_or_user_id, str):
        found = [handle for handle, entry in state().items() if entry["user_id"] == cloud_or_user_id]
        what = f"user id {cloud_or_user_id!r}"
    elif isinstance(cloud_or_user_id, (_mirelo.QOLTCloud, _mirelo.QOLTCloudDelegate)):
        found = list(_loopback.clouds_serving(cloud_or_user_id))
        what = f"this {type(cloud_or_user_id).__name__} (a cloud made without a delegate is known by its user id only)"
    else:
        raise TypeError(f"a cloud, a delegate or a user id, not {type(cloud_or_user_id).__name__}")
    if len(found) != 1:
        raise ValueError(f"{len(found) or 'no'} live clouds for {what}")
    return found[0]


def emit(handle: int, operation: str, *args: Any, timeout: float = 5.0, repeat: int = 1) -> None:
    """Raises a delegate event on a cloud's event thread and returns once it has run.

    ``operation`` is the SDK's name of the delegate operation, any of the 25 (``OnError`` ...
    ``OnNetworkQuality``, ``OnRemoteVideoReceived`` for both frame forms, ``OnUserVoiceVolume``,
    ``OnReceiveAsrMessage``, ``OnAsrServiceError``), or the handler method's name where it differs:
    ``OnRemoteVideoFrameReceived`` and ``OnRemotePixelFrameReceived`` (each takes only its own frame
    form); ``EVENTS`` lists every name. Arguments, in the operation's order:

    - texts (user ids, messages of errors): ``str``, raw ``bytes`` (invalid UTF-8 allowed) or
      ``None`` for a null pointer; a NUL inside raises ``ValueError``;
    - integers and enumerations: ``int`` or an enumeration member, also values that no member
      has; a value outside the native type raises ``ValueError``; ``bool`` for flags;
    - frames: ``_mirelo`` frame objects, copied (fields and ``data``); a ``VideoFrame`` or a
      ``PixelFrame`` picks the form of ``OnRemoteVideoReceived``;
    - a user record: a ``UserInfo`` or a text;
    - a network-quality record: a ``(user_id, quality)`` tuple, a ``NetworkQualityInfo`` or
      ``None``; the remote records a list of them, the count being its length;
    - ``OnUserVoiceVolume``: a list of ``(user_id, volume)`` tuples and the total volume;
      ``OnReceiveAsrMessage``: the user id and the text;
    - a payload with its length: one ``bytes``.

    Wrong arity or types raise ``TypeError`` before anything is raised; an unknown handle or
    operation raises ``ValueError``; ``TimeoutError`` when the event has not run within
    ``timeout`` seconds (it still runs later). Called on the cloud's own event thread (from a
    handler), the event is queued and the call returns at once. If the cloud is destroyed
    before the event runs, the event is cancelled and the call returns.

    ``repeat`` raises that many identical events in a row and waits for the last (load tests,
    benchmarks): the arguments are converted once. They are queued a few thousand at a time, so
    memory stays bounded for any count; on ``TimeoutError`` the events not yet queued are not
    raised.
    """
    _check_handle(handle)
    if not isinstance(operation, str):
        raise TypeError(f"operation must be a str, not {type(operation).__name__}")
    seconds = _check_timeout(timeout)
    count = _count(repeat, "repeat", 1)
    _loopback.emit(handle, operation, args, seconds, count)


def flush(timeout: float = 5.0) -> None:
    """Returns once every event raised so far on every live cloud has been delivered (or dropped
    for load); ``TimeoutError`` otherwise. Called from a handler, it does not wait for that
    handler's own cloud, whose next events cannot run before the handler returns. Audio still
    waiting in ``SendContinuousAudioFrame``'s queue has not been raised yet and is not waited for."""
    _loopback.flush(_check_timeout(timeout))


def failures() -> list[tuple[int, str, str]]:
    """(cloud handle, operation name, exception text) for every exception that left a delegate
    operation, oldest first; the text is the exception's ``what()`` or "unknown exception".

    Bounded (``limits()``: ``failure_text_bytes``, ``failures``, ``failure_bytes``): a longer text
    keeps its head (the exception and its innermost frames) and ends with
    ``"\n[... cut: N more bytes]"``; the oldest failures make room for new ones. ``retention()``
    counts the texts cut and the failures dropped."""
    return [(cloud, name.decode(), text.decode("utf-8", "replace")) for cloud, name, text in _loopback.failures()]


def journal() -> list[tuple[int, str, tuple[Any, ...]]]:
    """Every SDK entry point called, oldest first, as (cloud handle or 0 for the process-wide
    functions, the SDK's operation name, the arguments).

    Arguments are plain values: texts as ``bytes`` (``None`` for null), payloads as ``bytes``,
    integers and enumerations as ``int``, flags as ``bool``, records and frames as dicts of
    their fields under the Python names (texts as bytes, enumerations as ints, nested records as
    dicts, a frame's payload under ``"data"`` and its length under ``"size"``, an ``AudioFrame``'s
    extra data under ``"extra_data"`` and ``"extra_data_size"``; payloads are ``None`` unless
    ``configure(journal_frame_payloads=True)``), a null frame pointer as ``None``. Secrets are never kept: ``user_sig`` and
    ``private_map_key`` of ``EnterRoom`` and the password of ``SetSocks5Proxy`` appear as a bool,
    whether a non-empty one was given. ``Create`` (whether the delegate is null) and ``Destroy``
    are journaled too. Only the newest entries are kept (see ``configure``); ``retention()``
    counts those dropped."""
    return [(cloud, name.decode("ascii"), tuple(arguments)) for cloud, name, arguments in _loopback.journal()]


def retention() -> dict[str, dict[str, int]]:
    """What the journal and the failure list hold, and what they lost since the last ``reset()``:
    ``{"journal": {"entries", "payload_bytes", "dropped"}, "failures": {"entries", "bytes",
    "dropped", "cut"}}``. ``dropped`` counts the oldest entries removed to stay within the bounds
    (and any that could not be stored for want of memory); ``cut`` the failure texts cut short."""
    counts: dict[str, dict[str, int]] = _loopback.retention()
    return counts


def reset(configuration: bool = False) -> None:
    """Empties the journal and the failures, zeroes what ``retention()`` counts and disarms a
    ``fail_next_cloud`` no cloud used yet; with ``configuration=True`` also puts every tunable of
    ``configure`` back to its default."""
    _loopback.reset(bool(configuration))


def inject(handle: int, operation: str, result: int | bool, count: int = 1) -> None:
    """Makes the next ``count`` calls of a cloud operation return ``result`` without doing
    anything else (they are still journaled). ``result`` is an int (a value of ``Error``, say),
    or a bool for ``SendCustomCmdMsg`` (an int there counts as true when non-zero). Injections for one operation are used in the order made.
    Operations without a result cannot be injected (``ValueError``)."""
    _check_handle(handle)
    if not isinstance(operation, str):
        raise TypeError(f"operation must be a str, not {type(operation).__name__}")
    if not _loopback.injectable(operation):
        raise ValueError(f"{operation!r} is not a cloud operation with a result")
    if operation == "SendCustomCmdMsg":
        # The SDK's result is a bool; an int counts by its truth, as the binding's result does.
        number = int(bool(_result(result, operation, allow_bool=True)))
    else:
        number = _result(result, operation)
    _loopback.inject(handle, operation, number, _count(count, "count", 0))


def _result(value: Any, operation: str, allow_bool: bool = False) -> int:
    if isinstance(value, bool) and not allow_bool:
        raise TypeError(f"{operation} result must be an int, not bool")
    try:
        number = int(value) if hasattr(type(value), "__members__") else operator.index(value)
    except TypeError:
        raise TypeError(f"{operation} result must be an int, not {type(value).__name__}") from None
    if allow_bool:
        return int(bool(number))
    if not -(2**31) <= number < 2**31:
        raise ValueError(f"{operation} result {number} is outside {-(2**31)}..{2**31 - 1}")
    return number


def fail_next_cloud(result: int) -> None:
    """Makes every call with a result of the next cloud created (``QOLTCloud(handler)``, in any
    thread) return ``result`` (a value of ``Error``, say) without doing anything else;
    ``SendCustomCmdMsg`` returns ``False``. The calls are still journaled. Lets a program's
    handling of a failing SDK be tested end to end, ``aio.Room`` included, without patching."""
    _loopback.fail_next_cloud(_result(result, "fail_next_cloud"))


def stats() -> dict[int, dict[str, Any]]:
    """Per live cloud: events ``raised``, ``delivered`` to the delegate, ``dropped`` for load
    (media events only, SEI included, oldest first, beyond ``media_queue_bound``), ``coalesced``
    (while the handler is behind: state events that cancelled out, such as a user's audio becoming
    available then unavailable before the handler saw either, with the media of that stream
    between them, and key-frame requests repeated while the same one waited), ``dropped_by_event``
    and ``coalesced_by_event`` (the same two counts by event name, a dict each), ``discarded`` (a
    cloud without a delegate) and still ``queued``; and its audio losses over its life:
    ``paced_audio_refused`` (frames that
    ``SendContinuousAudioFrame`` refused with ``ERR_READ_TRY_AGAIN``, its queue being full),
    ``paced_audio_cleared`` (queued frames discarded by ``clear_send_queue``, by closing the audio
    channel or by leaving the room) and ``audio_samples_dropped`` (received samples per channel
    never handed out: the oldest beyond ``audio_buffer_ms`` waiting for ``GetAudioFrame`` or the
    mix, and what was still waiting when its sender stopped or was unsubscribed)."""
    return {entry.pop("cloud"): entry for entry in _loopback.stats()}


def state() -> dict[int, dict[str, Any]]:
    """What the room service knows of each live cloud: ``connection_state`` (an int of
    ``ConnectionState``), ``in_room``, ``room`` (the room's key text, or ``None``), ``user_id``,
    ``role``, ``audio_channel`` (its ``AudioEncodeParams`` as a dict, or ``None``),
    ``video_channels`` (stream types in creation order), ``subscriptions`` (a set of
    ``(user_id, stream_type)``), ``video_encode_params`` (by stream type), ``voice_detection`` and
    ``paced_audio_frames`` (frames waiting in ``SendContinuousAudioFrame``'s queue)."""
    clouds: dict[int, dict[str, Any]] = {}
    for entry in _loopback.state():
        for name in ("room", "user_id"):
            if entry[name] is not None:
                entry[name] = entry[name].decode("utf-8", "surrogateescape")
        entry["subscriptions"] = {
            (user.decode("utf-8", "surrogateescape"), kind) for user, kind in entry["subscriptions"]
        }
        entry["video_encode_params"] = {kind: params for kind, params in entry["video_encode_params"]}
        clouds[entry.pop("cloud")] = entry
    return clouds


def settings() -> dict[str, Any]:
    """The SDK's process-wide settings as the loopback holds them: log directory and file
    (``None`` while no file is written), ``log_file_error`` (why the file under the directory was
    refused, say a link or a FIFO planted under its name; ``None`` if it was not), level (0 verbose
    .. 6 none), console copy, file and compression switches, the SOCKS5 proxy (``None`` or host,
    port, username, has_password: the password itself is not kept) and the environment."""
    values: dict[str, Any] = _loopback.settings()
    for name in ("log_directory", "log_file", "log_file_error", "environment"):
        if values[name] is not None:
            values[name] = os.fsdecode(values[name])
    if values["proxy"] is not None:
        for name in ("host", "username"):
            values["proxy"][name] = values["proxy"][name].decode("utf-8", "surrogateescape")
    return values


_limits_cache: dict[str, Any] | None = None


def limits() -> dict[str, Any]:
    """The loopback's limits, read from the library's own definitions (the README's Limits table
    says what happens at each):

    ``paced_audio_frames`` (``SendContinuousAudioFrame``'s queue), ``mix_lag_frames``,
    ``audio_gap_ms`` (a pause that ends a stretch of a sender's audio),
    ``output_frame_ms`` (the ``(min, max)`` of ``output_frame_length_ms``),
    ``sei_message_bytes``, ``custom_message_bytes``, ``custom_messages_per_second`` and
    ``custom_message_bytes_per_second`` (per sender), ``failures``, ``failure_bytes`` and
    ``failure_text_bytes`` and ``emit_batch`` (events ``emit(repeat=)`` queues at a time); and
    under ``"configure"``, per
    argument of ``configure``, its ``(min, max, default)`` in ``configure``'s units."""
    global _limits_cache
    if _limits_cache is None:  # fixed for the library's life: read once
        _limits_cache = _loopback.limits()
    raw = dict(_limits_cache)
    raw["output_frame_ms"] = tuple(raw["output_frame_ms"])
    raw["configure"] = {name: (r["min"], r["max"], r["default"]) for name, r in raw.pop("configuration").items()}
    return raw


def _tunable(name: str, value: Any) -> int | float:
    """configure's value of a tunable; ValueError, with the accepted range, for any number it does
    not accept, TypeError for what is not a number."""
    low, high, _ = limits()["configure"][name]
    whole = isinstance(low, int)
    what, shown = ("a whole number", f"{low}..{high}") if whole else (_KINDS[name], f"{low:g}..{high:g}")

    def refused() -> ValueError:
        # An integer far out of range is named by its size: its digits could fill pages.
        given = (
            f"an integer of {value.bit_length()} bits"
            if isinstance(value, int) and value.bit_length() > 64
            else repr(value)
        )
        return ValueError(f"{name} must be {what} within {shown}, not {given}")

    if isinstance(value, bool):
        raise refused()  # a flag where a quantity is wanted, however Python counts it
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be {what}, not {type(value).__name__}")
    given: Any = value
    number: int | float
    try:
        number = operator.index(given) if whole else float(given)
    except TypeError:
        raise refused() from None  # 5.0, inf, nan: not a whole number
    except OverflowError:  # an int or fraction too large for a float
        raise refused() from None
    if not (low <= number <= high):  # NaN too
        raise refused()
    return number


_KINDS = {"network_quality_interval": "a number of seconds", "custom_message_loss": "a probability"}


def configure(
    *,
    network_quality_interval: float | None = None,
    custom_message_loss: float | None = None,
    custom_message_seed: int | None = None,
    media_queue_bound: int | None = None,
    audio_buffer_ms: int | None = None,
    journal_entries: int | None = None,
    journal_payload_bytes: int | None = None,
    journal_frame_payloads: bool | None = None,
    event_threads: int | None = None,
    event_stall_ms: int | None = None,
) -> None:
    """Tunes the loopback; arguments left ``None`` keep their value.

    - ``network_quality_interval``: seconds between ``OnNetworkQuality`` reports;
    - ``custom_message_loss``: probability that an unreliable custom message is lost;
      ``custom_message_seed`` seeds those decisions, so runs repeat;
    - ``media_queue_bound``: media events queued per cloud before the oldest are dropped;
    - ``audio_buffer_ms``: audio kept per sender for ``GetAudioFrame`` and the mix;
    - ``journal_entries`` and ``journal_payload_bytes``: how many of the newest journal entries
      are kept, and how many bytes of payload and text they may hold together;
    - ``journal_frame_payloads``: whether journaled frames (``SendAudioFrame``,
      ``SendContinuousAudioFrame``, ``SendVideoFrame``, ``GetAudioFrame``) keep their payloads
      (default ``False``). Without them, a frame's ``"data"`` (and an ``AudioFrame``'s
      ``"extra_data"``) is ``None``; its ``"size"`` (and ``"extra_data_size"``) is there either way;
    - ``event_threads``: the threads that deliver every cloud's events (default: the machine's
      cores); 0 gives each cloud made afterwards a thread of its own. A new size takes effect at once;
    - ``event_stall_ms``: how long a handler may hold a delivering thread before another thread
      takes the other clouds' events.

    Defaults and accepted ranges: ``limits()["configure"]`` and the README's Limits table.
    ``ValueError`` (nothing changed), its message giving the accepted range, for a number that is
    not accepted: out of range, infinite or NaN, a bool where a quantity is wanted, or a fraction
    where a whole number is wanted. ``TypeError`` for anything that is not a number or a bool.
    """
    given = {
        "network_quality_interval": network_quality_interval,
        "custom_message_loss": custom_message_loss,
        "custom_message_seed": custom_message_seed,
        "media_queue_bound": media_queue_bound,
        "audio_buffer_ms": audio_buffer_ms,
        "journal_entries": journal_entries,
        "journal_payload_bytes": journal_payload_bytes,
        # A flag, kept by the library as 0 or 1.
        "journal_frame_payloads": int(journal_frame_payloads)
        if isinstance(journal_frame_payloads, bool)
        else journal_frame_payloads,
        "event_threads": event_threads,
        "event_stall_ms": event_stall_ms,
    }
    _loopback.configure({name: _tunable(name, value) for name, value in given.items() if value is not None})


def _fail_next(fault: str) -> None:
    """A test aid: makes the next run of an operation fail. ``"snapshot_memory"`` and
    ``"snapshot_internal"``: the next snapshot (``journal()``, ``state()``, ...), in any thread,
    raises ``MemoryError`` or ``RuntimeError``. ``"clock_start"``: the next start of the room
    service's clock thread fails, so that ``EnterRoom`` returns ``ERR_FAILED``; ``ValueError`` once
    the clock runs (it starts with the process's first room entry)."""
    if not isinstance(fault, str):
        raise ValueError(f"no fault is named {fault!r}")
    _loopback.fail_next(fault)


def configuration() -> dict[str, Any]:
    """The loopback's current tunables, in the units ``configure`` takes."""
    values: dict[str, Any] = _loopback.configuration()
    return values
