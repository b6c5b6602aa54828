"""Drive the loopback SDK from Python.

The package ships a loopback implementation of the media SDK: clouds in one process meet in
in-process rooms, and every event reaches its handler on the cloud's own event thread, as with
the real service. This module is how tests (and users testing their own programs) look inside it
and drive it: list the live clouds, raise any delegate event on a cloud's event thread, wait until
everything raised has been delivered, read the journal of SDK calls and the exceptions that left
handlers, inject results, and tune the loopback.

It talks to the very ``libmirelo.so`` that ``mirelo._mirelo`` loaded, through the library's small
C control interface. Every call into the library releases the interpreter lock, so waiting here
never keeps a handler from running. Against another ``libmirelo.so`` (the real SDK) this module
cannot be used: importing it raises ``ImportError``.

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

import ctypes
import math
import numbers
import operator
import os
import struct
from typing import Any, Callable, Mapping, Optional, Union

from . import _mirelo

__all__ = [
    "clouds",
    "emit",
    "flush",
    "failures",
    "journal",
    "reset",
    "inject",
    "stats",
    "settings",
    "configure",
    "configuration",
    "limits",
    "state",
    "retention",
    "ENVIRONMENTS",
]

ENVIRONMENTS = ("production", "staging", "test", "development")
"""The names that ``SetEnvironment`` accepts; ``production`` is the default."""

_INTERFACE_VERSION = 2

_OK = 0
_UNKNOWN_CLOUD = 1
_UNKNOWN_OPERATION = 2
_BAD_ARGUMENTS = 3
_TIMEOUT = 4
_BUFFER_TOO_SMALL = 5
_OUT_OF_MEMORY = 6
_INTERNAL_ERROR = 7

_FAULTS = {"snapshot_memory": 0, "snapshot_internal": 1, "clock_start": 2}

_CLOUDS = 0
_JOURNAL = 1
_FAILURES = 2
_STATS = 3
_SETTINGS = 4
_CONFIGURATION = 5
_CLOUD_STATES = 6
_RETENTION = 7
_LIMITS = 8

_INT32 = (-(2**31), 2**31 - 1)
_UINT32 = (0, 2**32 - 1)
_UINT64 = (0, 2**64 - 1)


# --- the library ---------------------------------------------------------------------------------


def _library_paths_in_process() -> list[str]:
    paths: list[str] = []
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and os.path.basename(fields[5].strip()).startswith("libmirelo.so"):
                    path = fields[5].strip()
                    if path not in paths:
                        paths.append(path)
    except OSError:
        pass
    return paths


def _open_library() -> ctypes.CDLL:
    # RTLD_NOLOAD: only ever the copy that _mirelo already loaded, never a second one.
    mode = os.RTLD_NOLOAD | os.RTLD_NOW
    candidates = ["libmirelo.so"] + _library_paths_in_process()
    errors = []
    for name in candidates:
        try:
            library = ctypes.CDLL(name, mode=mode)
        except OSError as error:
            errors.append(str(error))
            continue
        if hasattr(library, "mirelo_loopback_interface_version"):
            return library
        errors.append(f"{name} has no loopback control interface")
    raise ImportError("the loaded libmirelo.so is not the loopback SDK: " + "; ".join(errors))


def _bind(library: ctypes.CDLL) -> ctypes.CDLL:
    size_p = ctypes.POINTER(ctypes.c_size_t)
    byte_p = ctypes.POINTER(ctypes.c_uint8)
    signatures: dict[str, tuple[Any, list[Any]]] = {
        "mirelo_loopback_interface_version": (ctypes.c_int, []),
        "mirelo_loopback_snapshot": (ctypes.c_int, [ctypes.c_int, byte_p, ctypes.c_size_t, size_p]),
        "mirelo_loopback_emit_repeated": (
            ctypes.c_int,
            [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32, ctypes.c_double],
        ),
        "mirelo_loopback_flush": (ctypes.c_int, [ctypes.c_double]),
        "mirelo_loopback_reset": (ctypes.c_int, []),
        "mirelo_loopback_inject": (ctypes.c_int, [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int64, ctypes.c_uint32]),
        "mirelo_loopback_configure": (
            ctypes.c_int,
            [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t],
        ),
        "mirelo_loopback_last_error": (ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]),
        "mirelo_loopback_fail_next": (ctypes.c_int, [ctypes.c_int]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    version = library.mirelo_loopback_interface_version()
    if version != _INTERFACE_VERSION:
        raise ImportError(f"loopback control interface {version}, expected {_INTERFACE_VERSION}")
    return library


_lib = _bind(_open_library())


# --- the value encoding (see sdk/control/mirelo_loopback.h) ----------------------------------------------


def _encode(value: Any, out: bytearray) -> None:
    if value is None:
        out += b"\x00"
    elif isinstance(value, bool):
        out += b"\x01\x01" if value else b"\x01\x00"
    elif isinstance(value, int):
        if -(2**63) <= value < 2**63:
            out += b"\x02" + struct.pack("<q", value)
        else:
            out += b"\x03" + struct.pack("<Q", value)
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        out += b"\x04" + struct.pack("<I", len(data)) + data
    elif isinstance(value, (list, tuple)):
        out += b"\x05" + struct.pack("<I", len(value))
        for item in value:
            _encode(item, out)
    elif isinstance(value, dict):
        out += b"\x06" + struct.pack("<I", len(value))
        for name, item in value.items():
            encoded_name = name.encode("utf-8")
            out += struct.pack("<I", len(encoded_name)) + encoded_name
            _encode(item, out)
    else:  # pragma: no cover - the callers only build the types above
        raise TypeError(f"cannot encode {type(value).__name__}")


def _decode(view: memoryview, texts: bool = False) -> Any:
    """Decodes one value that fills the view. Payloads become ``bytes``, or with ``texts`` ``str``
    (UTF-8, undecodable bytes replaced), decoded straight from the view without an extra copy."""

    def at(offset: int) -> tuple[Any, int]:
        tag = view[offset]
        offset += 1
        if tag == 0:
            return None, offset
        if tag == 1:
            return view[offset] == 1, offset + 1
        if tag == 2:
            return struct.unpack_from("<q", view, offset)[0], offset + 8
        if tag == 3:
            return struct.unpack_from("<Q", view, offset)[0], offset + 8
        if tag == 4:
            (length,) = struct.unpack_from("<I", view, offset)
            offset += 4
            payload = view[offset : offset + length]
            return (str(payload, "utf-8", "replace") if texts else bytes(payload)), offset + length
        if tag == 5:
            (count,) = struct.unpack_from("<I", view, offset)
            offset += 4
            items = []
            for _ in range(count):
                item, offset = at(offset)
                items.append(item)
            return items, offset
        if tag == 6:
            (count,) = struct.unpack_from("<I", view, offset)
            offset += 4
            fields = {}
            for _ in range(count):
                (length,) = struct.unpack_from("<I", view, offset)
                offset += 4
                name = str(view[offset : offset + length], "utf-8")
                offset += length
                fields[name], offset = at(offset)
            return fields, offset
        raise RuntimeError(f"loopback sent an unknown value tag {tag}")

    value, end = at(0)
    if end != len(view):
        raise RuntimeError("loopback sent trailing bytes")
    return value


def _check_failure(status: int, what: str) -> None:
    """Raises MemoryError or RuntimeError when the library could not complete a call."""
    if status not in (_OUT_OF_MEMORY, _INTERNAL_ERROR):
        return
    # The reason is kept per thread, and ctypes runs the two calls on this same thread.
    reason = ctypes.create_string_buffer(256)
    _lib.mirelo_loopback_last_error(reason, len(reason))
    text = reason.value.decode("utf-8", "replace")
    if status == _OUT_OF_MEMORY:
        raise MemoryError(f"the loopback ran out of memory in {what}: {text}")
    raise RuntimeError(f"the loopback failed in {what}: {text}")


def _snapshot(kind: int, texts: bool = False) -> Any:
    """Reads a snapshot. It costs the buffer the library encodes into plus the decoded values:
    about twice what it returns (the buffer is read through a memoryview, never copied)."""
    size = ctypes.c_size_t(0)
    status = _lib.mirelo_loopback_snapshot(kind, None, 0, ctypes.byref(size))
    while status == _BUFFER_TOO_SMALL:
        # A little room to spare: what is snapshotted may grow between the two calls; if it grew
        # beyond, the call reports the new size and is made again.
        capacity = size.value + size.value // 32 + 4096
        buffer = (ctypes.c_uint8 * capacity)()
        status = _lib.mirelo_loopback_snapshot(kind, buffer, capacity, ctypes.byref(size))
        if status == _OK:
            with memoryview(buffer).cast("B") as whole, whole[: size.value] as view:
                return _decode(view, texts)
    _check_failure(status, "a snapshot")
    if status != _OK:
        raise RuntimeError(f"loopback snapshot {kind} failed with status {status}")
    raise RuntimeError("loopback snapshot fitted an empty buffer")  # pragma: no cover


def _check_timeout(timeout: float) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout < 0:
        raise ValueError(f"timeout must be at least 0, not {timeout!r}")
    return float(timeout)


def _check_handle(handle: int) -> int:
    if isinstance(handle, bool) or not isinstance(handle, int):
        raise TypeError(f"a cloud handle is an int, not {type(handle).__name__}")
    if not _UINT64[0] <= handle <= _UINT64[1]:
        raise ValueError(f"no live cloud has the handle {handle}")
    return handle


# --- emit: Python arguments to native ones ------------------------------------------------------


def _integer(value: Any, what: str, bounds: tuple[int, int], allow_bool: bool = False) -> int:
    if isinstance(value, bool) and not allow_bool:
        raise TypeError(f"{what} must be an int, not bool")
    if isinstance(value, int):
        number = int(value)
    else:
        try:
            number = operator.index(value)
        except TypeError:
            # The module's enumeration members convert with int().
            if not hasattr(type(value), "__members__") or not hasattr(value, "__int__"):
                raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None
            number = int(value)
    if not bounds[0] <= number <= bounds[1]:
        raise ValueError(f"{what} {number} is outside {bounds[0]}..{bounds[1]}")
    return number


def _text(value: Any, what: str) -> Optional[bytes]:
    if value is None:
        return None
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError(f"{what} must be a str, bytes or None, not {type(value).__name__}")
    if b"\x00" in data:
        raise ValueError(f"{what} holds a NUL byte, which would cut the text")
    return data


def _boolean(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


def _payload(value: Any, what: str) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{what} must be bytes, not {type(value).__name__}")
    return bytes(value)


def _user(value: Any, what: str) -> Optional[bytes]:
    if isinstance(value, _mirelo.UserInfo):
        return _text(value.user_id.GetValue(), what)
    return _text(value, what)


def _audio_frame(value: Any, what: str) -> dict[str, Any]:
    if not isinstance(value, _mirelo.AudioFrame):
        raise TypeError(f"{what} must be an AudioFrame, not {type(value).__name__}")
    return {
        "kind": b"audio",
        "pts": value.pts,
        "sample_rate": value.sample_rate,
        "channels": value.channels,
        "bits_per_sample": value.bits_per_sample,
        "codec": int(value.codec),
        "has_voice": bool(value.has_voice),
        "data": value.data,
    }


def _video_or_pixel_frame(value: Any, what: str) -> dict[str, Any]:
    if isinstance(value, _mirelo.VideoFrame):
        return {
            "kind": b"video",
            "pts": value.pts,
            "dts": value.dts,
            "codec": int(value.codec),
            "is_key_frame": bool(value.is_key_frame),
            "rotation": int(value.rotation),
            "data": value.data,
        }
    if isinstance(value, _mirelo.PixelFrame):
        return {
            "kind": b"pixel",
            "pts": value.pts,
            "width": value.width,
            "height": value.height,
            "format": int(value.format),
            "rotation": int(value.rotation),
            "data": value.data,
        }
    raise TypeError(f"{what} must be a VideoFrame or a PixelFrame, not {type(value).__name__}")


def _user_pair(value: Any, what: str, bounds: tuple[int, int]) -> list[Any]:
    if isinstance(value, _mirelo.NetworkQualityInfo):
        return [_text(value.user_id.GetValue(), what), int(value.quality)]
    if not isinstance(value, tuple) or len(value) != 2:
        raise TypeError(f"{what} must be a (user_id, value) tuple, not {type(value).__name__}")
    return [_user(value[0], f"{what} user id"), _integer(value[1], f"{what} value", bounds)]


def _quality(value: Any, what: str) -> Optional[list[Any]]:
    return None if value is None else _user_pair(value, what, _INT32)


def _records(value: Any, what: str, bounds: tuple[int, int]) -> list[list[Any]]:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{what} must be a list of (user_id, value) tuples, not {type(value).__name__}")
    return [_user_pair(item, f"{what}[{index}]", bounds) for index, item in enumerate(value)]


_Converter = Callable[[Any, str], Any]


def _int32(value: Any, what: str) -> int:
    return _integer(value, what, _INT32)


def _uint32(value: Any, what: str) -> int:
    return _integer(value, what, _UINT32)


def _qualities(value: Any, what: str) -> list[list[Any]]:
    return _records(value, what, _INT32)


def _volumes(value: Any, what: str) -> list[list[Any]]:
    return _records(value, what, _UINT32)


_SIGNATURES: dict[str, tuple[tuple[str, _Converter], ...]] = {
    "OnError": (("error", _int32),),
    "OnConnectionStateChanged": (("old_state", _int32), ("new_state", _int32)),
    "OnEnterRoom": (),
    "OnExitRoom": (),
    "OnLocalAudioChannelCreated": (),
    "OnLocalAudioChannelDestroyed": (),
    "OnLocalVideoChannelCreated": (("stream_type", _int32),),
    "OnLocalVideoChannelDestroyed": (("stream_type", _int32),),
    "OnRequestChangeVideoEncodeBitrate": (("stream_type", _int32), ("bitrate_bps", _int32)),
    "OnRequestKeyFrame": (("stream_type", _int32),),
    "OnRemoteUserEnterRoom": (("info", _user),),
    "OnRemoteUserExitRoom": (("info", _user), ("reason", _int32)),
    "OnRemoteAudioAvailable": (("user_id", _text), ("available", _boolean)),
    "OnRemoteVideoAvailable": (("user_id", _text), ("available", _boolean), ("type", _int32)),
    "OnRemoteVideoReceived": (("user_id", _text), ("type", _int32), ("frame", _video_or_pixel_frame)),
    "OnRemoteAudioReceived": (("user_id", _text), ("frame", _audio_frame)),
    "OnRemoteMixedAudioReceived": (("frame", _audio_frame),),
    "OnSeiMessageReceived": (
        ("user_id", _text),
        ("stream_type", _int32),
        ("message_type", _int32),
        ("message", _payload),
    ),
    "OnReceiveCustomCmdMsg": (("user_id", _text), ("cmd_id", _int32), ("seq", _uint32), ("message", _payload)),
    "OnMissCustomCmdMsg": (("user_id", _text), ("cmd_id", _int32), ("error_code", _uint32), ("missed", _uint32)),
    "OnNetworkQuality": (("local_quality", _quality), ("remote_qualities", _qualities)),
    "OnUserVoiceVolume": (("user_volumes", _volumes), ("total_volume", _uint32)),
    "OnReceiveAsrMessage": (("user_id", _text), ("text", _text)),
    "OnAsrServiceError": (("error_code", _int32), ("error_message", _text)),
}

_INJECTABLE = frozenset(
    {
        "EnterRoom",
        "ExitRoom",
        "Subscribe",
        "Unsubscribe",
        "GetAudioFrame",
        "CreateLocalAudioChannel",
        "SendAudioFrame",
        "SendContinuousAudioFrame",
        "DestroyLocalAudioChannel",
        "CreateLocalVideoChannel",
        "SendVideoFrame",
        "SendSeiMessage",
        "SendCustomCmdMsg",
        "DestroyLocalVideoChannel",
    }
)


# --- the public functions -----------------------------------------------------------------------


def clouds() -> list[int]:
    """Handles of the live SDK clouds, in creation order (handles count from 1, never reused)."""
    return list(_snapshot(_CLOUDS))


def emit(handle: int, operation: str, *args: Any, timeout: float = 5.0, repeat: int = 1) -> None:
    """Raises a delegate event on a cloud's event thread and returns once it has run.

    ``operation`` is the SDK's name of the delegate operation, any of the 25 (``OnError`` ...
    ``OnNetworkQuality``, ``OnRemoteVideoReceived`` for both frame forms, ``OnUserVoiceVolume``,
    ``OnReceiveAsrMessage``, ``OnAsrServiceError``). Arguments, in the operation's order:

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
    signature = _SIGNATURES.get(operation)
    if signature is None:
        raise ValueError(f"no delegate operation is named {operation!r}")
    if len(args) != len(signature):
        raise TypeError(f"{operation} takes {len(signature)} arguments ({len(args)} given)")
    seconds = _check_timeout(timeout)
    count = _integer(repeat, "repeat", (1, 2**32 - 1))
    encoded_args = [convert(value, f"{operation} {name}") for (name, convert), value in zip(signature, args)]
    encoded = bytearray()
    _encode(encoded_args, encoded)
    status = _lib.mirelo_loopback_emit_repeated(
        handle, operation.encode("ascii"), bytes(encoded), len(encoded), count, seconds
    )
    _check_failure(status, f"emit {operation}")
    if status == _OK:
        return
    if status == _UNKNOWN_CLOUD:
        raise ValueError(f"no live cloud has the handle {handle}")
    if status == _UNKNOWN_OPERATION:
        raise ValueError(f"no delegate operation is named {operation!r}")
    if status == _BAD_ARGUMENTS:
        raise TypeError(f"the loopback refused the arguments of {operation}")
    if status == _TIMEOUT:
        raise TimeoutError(f"{operation} on cloud {handle} did not run within {seconds} s")
    raise RuntimeError(f"emit failed with status {status}")


def flush(timeout: float = 5.0) -> None:
    """Returns once every event raised so far on every live cloud has been delivered (or dropped
    for load); ``TimeoutError`` otherwise. Called from a handler, it does not wait for that
    handler's own cloud, whose next events cannot run before the handler returns. Audio still
    waiting in ``SendContinuousAudioFrame``'s queue has not been raised yet and is not waited for."""
    seconds = _check_timeout(timeout)
    status = _lib.mirelo_loopback_flush(seconds)
    _check_failure(status, "flush")
    if status == _TIMEOUT:
        raise TimeoutError(f"events still undelivered after {seconds} s")


def failures() -> list[tuple[int, str, str]]:
    """(cloud handle, operation name, exception text) for every exception that left a delegate
    operation, oldest first; the text is the exception's ``what()`` or "unknown exception".

    Bounded (``limits()``: ``failure_text_bytes``, ``failures``, ``failure_bytes``): a longer text
    keeps its head (the exception and its innermost frames) and ends with
    ``"\n[... cut: N more bytes]"``; the oldest failures make room for new ones. ``retention()``
    counts the texts cut and the failures dropped."""
    return [(cloud, name, text) for cloud, name, text in _snapshot(_FAILURES, texts=True)]


def journal() -> list[tuple[int, str, tuple[Any, ...]]]:
    """Every SDK entry point called, oldest first, as (cloud handle or 0 for the process-wide
    functions, the SDK's operation name, the arguments).

    Arguments are plain values: texts as ``bytes`` (``None`` for null), payloads as ``bytes``,
    integers and enumerations as ``int``, flags as ``bool``, records and frames as dicts of
    their fields under the Python names (texts as bytes, enumerations as ints, nested records as
    dicts, a frame's payload under ``"data"``, an ``AudioFrame``'s extra data under
    ``"extra_data"``), a null frame pointer as ``None``. Secrets are never kept: ``user_sig`` and
    ``private_map_key`` of ``EnterRoom`` and the password of ``SetSocks5Proxy`` appear as a bool,
    whether a non-empty one was given. ``Create`` (whether the delegate is null) and ``Destroy``
    are journaled too. Only the newest entries are kept (see ``configure``); ``retention()``
    counts those dropped."""
    return [(cloud, name.decode("ascii"), tuple(arguments)) for cloud, name, arguments in _snapshot(_JOURNAL)]


def retention() -> dict[str, dict[str, int]]:
    """What the journal and the failure list hold, and what they lost since the last ``reset()``:
    ``{"journal": {"entries", "payload_bytes", "dropped"}, "failures": {"entries", "bytes",
    "dropped", "cut"}}``. ``dropped`` counts the oldest entries removed to stay within the bounds
    (and any that could not be stored for want of memory); ``cut`` the failure texts cut short."""
    counts: dict[str, dict[str, int]] = _snapshot(_RETENTION)
    return counts


def reset() -> None:
    """Empties the journal and the failures, and zeroes what ``retention()`` counts."""
    _check_failure(_lib.mirelo_loopback_reset(), "reset")


def inject(handle: int, operation: str, result: Union[int, bool], count: int = 1) -> None:
    """Makes the next ``count`` calls of a cloud operation return ``result`` without doing
    anything else (they are still journaled). ``result`` is an int (a value of ``Error``, say),
    or a bool for ``SendCustomCmdMsg`` (an int there counts as true when non-zero). Injections for one operation are used in the order made.
    Operations without a result cannot be injected (``ValueError``)."""
    _check_handle(handle)
    if not isinstance(operation, str):
        raise TypeError(f"operation must be a str, not {type(operation).__name__}")
    if operation not in _INJECTABLE:
        raise ValueError(f"{operation!r} is not a cloud operation with a result")
    if operation == "SendCustomCmdMsg":
        # The SDK's result is a bool; an int counts by its truth, as the binding's result does.
        number = int(bool(_integer(result, "SendCustomCmdMsg result", (-(2**63), 2**63 - 1), allow_bool=True)))
    else:
        number = _integer(result, f"{operation} result", _INT32)
    count = _integer(count, "count", _UINT32)
    status = _lib.mirelo_loopback_inject(handle, operation.encode("ascii"), number, count)
    _check_failure(status, f"inject {operation}")
    if status == _UNKNOWN_CLOUD:
        raise ValueError(f"no live cloud has the handle {handle}")
    if status != _OK:
        raise RuntimeError(f"inject failed with status {status}")


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
    return {entry.pop("cloud"): entry for entry in _snapshot(_STATS)}


def state() -> dict[int, dict[str, Any]]:
    """What the room service knows of each live cloud: ``connection_state`` (an int of
    ``ConnectionState``), ``in_room``, ``room`` (the room's key text, or ``None``), ``user_id``,
    ``role``, ``audio_channel`` (its ``AudioEncodeParams`` as a dict, or ``None``),
    ``video_channels`` (stream types in creation order), ``subscriptions`` (a set of
    ``(user_id, stream_type)``), ``video_encode_params`` (by stream type), ``voice_detection`` and
    ``paced_audio_frames`` (frames waiting in ``SendContinuousAudioFrame``'s queue)."""
    clouds: dict[int, dict[str, Any]] = {}
    for entry in _snapshot(_CLOUD_STATES):
        for name in ("room", "user_id"):
            if entry[name] is not None:
                entry[name] = entry[name].decode("utf-8", "surrogateescape")
        entry["subscriptions"] = {(user.decode("utf-8", "surrogateescape"), kind) for user, kind in entry["subscriptions"]}
        entry["video_encode_params"] = {kind: params for kind, params in entry["video_encode_params"]}
        clouds[entry.pop("cloud")] = entry
    return clouds


def settings() -> dict[str, Any]:
    """The SDK's process-wide settings as the loopback holds them: log directory and file
    (``None`` while no file is written), ``log_file_error`` (why the file under the directory was
    refused, say a link or a FIFO planted under its name; ``None`` if it was not), level (0 verbose
    .. 6 none), console copy, file and compression switches, the SOCKS5 proxy (``None`` or host,
    port, username, has_password: the password itself is not kept) and the environment."""
    values: dict[str, Any] = _snapshot(_SETTINGS)
    for name in ("log_directory", "log_file", "log_file_error", "environment"):
        if values[name] is not None:
            values[name] = os.fsdecode(values[name])
    if values["proxy"] is not None:
        for name in ("host", "username"):
            values["proxy"][name] = values["proxy"][name].decode("utf-8", "surrogateescape")
    return values


# The tunables under configure's names: the library's name, how many of the library's units make
# one of configure's (None: a whole number, the same in both) and what a value must be.
_TUNABLES: dict[str, tuple[str, Optional[int], str]] = {
    "network_quality_interval": ("network_quality_interval_ms", 1000, "a number of seconds"),
    "custom_message_loss": ("custom_message_loss_ppm", 1_000_000, "a probability"),
    "custom_message_seed": ("custom_message_seed", None, "a whole number"),
    "media_queue_bound": ("media_queue_bound", None, "a whole number"),
    "audio_buffer_ms": ("audio_buffer_ms", None, "a whole number"),
    "journal_entries": ("journal_entries", None, "a whole number"),
    "journal_payload_bytes": ("journal_payload_bytes", None, "a whole number"),
}

_limits_cache: Optional[dict[str, Any]] = None


def _raw_limits() -> dict[str, Any]:
    # Fixed for the library's life: read once.
    global _limits_cache
    if _limits_cache is None:
        _limits_cache = _snapshot(_LIMITS)
    return _limits_cache


def _public(name: str, native: int) -> Union[int, float]:
    scale = _TUNABLES[name][1]
    return native if scale is None else native / scale


def limits() -> dict[str, Any]:
    """The loopback's limits, read from the library's own definitions (the README's Limits table
    says what happens at each):

    ``paced_audio_frames`` (``SendContinuousAudioFrame``'s queue), ``mix_lag_frames``,
    ``audio_gap_ms`` (a pause that ends a stretch of a sender's audio),
    ``output_frame_ms`` (the ``(min, max)`` of ``output_frame_length_ms``),
    ``sei_message_bytes``, ``custom_message_bytes``, ``custom_messages_per_second`` and
    ``custom_message_bytes_per_second`` (per sender), ``failures``, ``failure_bytes`` and
    ``failure_text_bytes``, ``emit_batch`` (events ``emit(repeat=)`` queues at a time) and
    ``value_depth`` (nesting of the control interface's values); and under ``"configure"``, per
    argument of ``configure``, its ``(min, max, default)`` in ``configure``'s units."""
    raw = dict(_raw_limits())
    raw["output_frame_ms"] = tuple(raw["output_frame_ms"])
    ranges = raw.pop("configuration")
    raw["configure"] = {
        name: tuple(_public(name, ranges[native][key]) for key in ("min", "max", "default"))
        for name, (native, _, _) in _TUNABLES.items()
    }
    return raw


def _tunable(name: str, value: Any) -> int:
    """configure's value of a tunable in the library's units; ValueError, with the accepted range,
    for any number it does not accept, TypeError for what is not a number."""
    native, scale, what = _TUNABLES[name]
    ranges = _raw_limits()["configuration"][native]
    low, high = ranges["min"], ranges["max"]
    shown = f"{low}..{high}" if scale is None else f"{low / scale:g}..{high / scale:g}"

    def refused() -> ValueError:
        # An integer far out of range is named by its size: its digits could fill pages.
        given = f"an integer of {value.bit_length()} bits" if isinstance(value, int) and value.bit_length() > 64 else repr(value)
        return ValueError(f"{name} must be {what} within {shown}, not {given}")

    if isinstance(value, bool):
        raise refused()  # a flag where a quantity is wanted, however Python counts it
    if scale is None:
        try:
            number = operator.index(value)
        except TypeError:
            if isinstance(value, numbers.Real):
                raise refused() from None  # 5.0, inf, nan: not a whole number
            raise TypeError(f"{name} must be {what}, not {type(value).__name__}") from None
    else:
        if not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be {what}, not {type(value).__name__}")
        try:
            scaled = float(value) * scale
        except OverflowError:  # an int or fraction too large for a float
            raise refused() from None
        if not math.isfinite(scaled):
            raise refused()
        number = round(scaled)
    if not low <= number <= high:
        raise refused()
    return number


def configure(
    *,
    network_quality_interval: Optional[float] = None,
    custom_message_loss: Optional[float] = None,
    custom_message_seed: Optional[int] = None,
    media_queue_bound: Optional[int] = None,
    audio_buffer_ms: Optional[int] = None,
    journal_entries: Optional[int] = None,
    journal_payload_bytes: Optional[int] = None,
) -> None:
    """Tunes the loopback; arguments left ``None`` keep their value.

    - ``network_quality_interval``: seconds between ``OnNetworkQuality`` reports;
    - ``custom_message_loss``: probability that an unreliable custom message is lost;
      ``custom_message_seed`` seeds those decisions, so runs repeat;
    - ``media_queue_bound``: media events queued per cloud before the oldest are dropped;
    - ``audio_buffer_ms``: audio kept per sender for ``GetAudioFrame`` and the mix;
    - ``journal_entries`` and ``journal_payload_bytes``: how many of the newest journal entries
      are kept, and how many bytes of payload and text they may hold together.

    Defaults and accepted ranges: ``limits()["configure"]`` and the README's Limits table.
    ``ValueError`` (nothing changed), its message giving the accepted range, for a number that is
    not accepted: out of range, infinite or NaN, a bool, or a fraction where a whole number is
    wanted. ``TypeError`` for anything that is not a number.
    """
    given = {
        "network_quality_interval": network_quality_interval,
        "custom_message_loss": custom_message_loss,
        "custom_message_seed": custom_message_seed,
        "media_queue_bound": media_queue_bound,
        "audio_buffer_ms": audio_buffer_ms,
        "journal_entries": journal_entries,
        "journal_payload_bytes": journal_payload_bytes,
    }
    _apply_configuration(
        {_TUNABLES[name][0]: _tunable(name, value) for name, value in given.items() if value is not None}
    )


def _apply_configuration(given: Mapping[str, Any]) -> None:
    encoded = bytearray()
    _encode(dict(given), encoded)
    error = ctypes.create_string_buffer(128)
    status = _lib.mirelo_loopback_configure(bytes(encoded), len(encoded), error, len(error))
    _check_failure(status, "configure")
    if status != _OK:
        native = error.value.decode("ascii", "replace")
        public = next((name for name, (field, _, _) in _TUNABLES.items() if field == native), native)
        raise ValueError(f"the loopback refused {public}: {given.get(native)!r} is out of its range")


def _fail_next(fault: str) -> None:
    """A test aid: makes the next run of an operation fail. ``"snapshot_memory"`` and
    ``"snapshot_internal"``: the next snapshot (``journal()``, ``state()``, ...), in any thread,
    raises ``MemoryError`` or ``RuntimeError``. ``"clock_start"``: the next start of the room
    service's clock thread fails, so that ``EnterRoom`` returns ``ERR_FAILED``; ``ValueError`` once
    the clock runs (it starts with the process's first room entry)."""
    if fault not in _FAULTS:
        raise ValueError(f"no fault is named {fault!r}")
    status = _lib.mirelo_loopback_fail_next(_FAULTS[fault])
    _check_failure(status, "fail_next")
    if status == _BAD_ARGUMENTS:
        raise ValueError("the clock thread already runs in this process")
    if status != _OK:
        raise RuntimeError(f"fail_next failed with status {status}")


def configuration() -> dict[str, Any]:
    """The loopback's current tunables, in the units ``configure`` takes."""
    raw: dict[str, Any] = _snapshot(_CONFIGURATION)
    return {name: _public(name, raw[native]) for name, (native, _, _) in _TUNABLES.items()}
