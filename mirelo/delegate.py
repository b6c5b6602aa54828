"""A handler base class whose every event does nothing, so subclasses define only what they need, and
whose handlers' errors are reported through `logging` instead of vanishing."""

from __future__ import annotations

import logging
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Any

from ._mirelo import (
    AudioFrame,
    ConnectionState,
    Error,
    NetworkQualityInfo,
    PixelFrame,
    QOLTCloudDelegate,
    StreamType,
    UserInfo,
    VideoFrame,
)

__all__ = ["Delegate", "EVENTS", "GUARDED_EVENTS", "PARAMETERS", "logger"]

EVENTS: tuple[str, ...] = tuple(name for name in vars(QOLTCloudDelegate) if name.startswith("On"))
"""The handler methods that the SDK calls, in the order the module registers them."""

GUARDED_EVENTS = frozenset({"OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnNetworkQuality"})
"""The events whose handler errors the module itself prints on one line of standard error
("python callback OnSeiMessageReceived error: ..."); every other event hands them to the SDK."""

logger = logging.getLogger("mirelo")
"""Where `Delegate` reports an exception leaving a handler method. With no logging configured,
Python's last-resort handler prints the record and its traceback on standard error."""


def _report(handler: Any, name: str) -> None:
    logger.exception("exception in handler %s.%s", type(handler).__qualname__, name)


def _event_method(name: str, body: str, namespace: dict[str, Any]) -> Callable[..., Any]:
    """A function named after the event `name` that takes `self` and exactly the event's arguments,
    named as in `PARAMETERS`, and runs `body`, in which ``{args}`` stands for those arguments
    ("old_state, new_state"; empty for an event without any) and the names in `namespace` are
    globals.

    Exact parameters, not `*args`: the interpreter calls such a function as cheaply as any other
    (a `*args` wrapper costs twice as much per event), and tracebacks and signatures read as the
    handler's own.
    """
    args = ", ".join(PARAMETERS[name])
    lines = "".join(f"    {line}\n" for line in body.format(args=args).splitlines())
    scope = dict(namespace)
    exec(f"def {name}(self, {args}):\n{lines}", scope)  # noqa: S102 - built from the event table alone
    function: Callable[..., Any] = scope[name]
    return function


def _reporting(name: str, method: Callable[..., Any]) -> Callable[..., Any]:
    """`method`, reporting an exception that leaves it before letting it go on to the SDK.

    SystemExit is not reported: like a thread's, a handler's sys.exit() is meant.
    """
    body = (
        "try:\n"
        "    return _method(self, {args})\n"
        "except SystemExit:\n"
        "    raise\n"
        "except BaseException:\n"
        f"    _report(self, {name!r})\n"
        "    raise"
    )
    reported = _event_method(name, body, {"_method": method, "_report": _report})
    reported.__qualname__ = getattr(method, "__qualname__", name)
    reported.__doc__ = method.__doc__
    reported.__wrapped__ = method  # type: ignore[attr-defined]
    reported._mirelo_reports = True  # type: ignore[attr-defined]
    return reported


class Delegate(QOLTCloudDelegate):
    """`QOLTCloudDelegate` with a method for each of the 22 events, each doing nothing.

    The SDK treats a missing handler method for any of the 18 required events as a failure of that
    event (the loopback records it in `mirelo.loopback.failures()`); deriving from this class instead
    of `QOLTCloudDelegate` means only the events a program cares about need a method. Every method is
    called on an SDK thread with the interpreter lock held: keep handlers short and never block in
    them.

    An exception that leaves a handler method of a subclass (but SystemExit, which a handler raises on
    purpose) is logged to the `mirelo` logger with its traceback (printed on standard error when the program configured no logging), then goes on to the
    SDK exactly as it would without this class. The three events in `GUARDED_EVENTS` are left alone:
    the module prints their errors itself. A subclass that reports its errors its own way turns this
    off with `class Handler(mirelo.Delegate, report_errors=False)`; it then costs nothing per event.
    """

    def __init_subclass__(cls, report_errors: bool = True, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if not report_errors:
            return
        for name in EVENTS:
            method = cls.__dict__.get(name)
            if name in GUARDED_EVENTS or not callable(method) or getattr(method, "_mirelo_reports", False):
                continue
            setattr(cls, name, _reporting(name, method))

    def OnError(self, error: Error) -> None:
        pass

    def OnConnectionStateChanged(self, old_state: ConnectionState, new_state: ConnectionState) -> None:
        pass

    def OnEnterRoom(self) -> None:
        pass

    def OnExitRoom(self) -> None:
        pass

    def OnLocalAudioChannelCreated(self) -> None:
        pass

    def OnLocalAudioChannelDestroyed(self) -> None:
        pass

    def OnLocalVideoChannelCreated(self, stream_type: StreamType) -> None:
        pass

    def OnLocalVideoChannelDestroyed(self, stream_type: StreamType) -> None:
        pass

    def OnRemoteUserEnterRoom(self, info: UserInfo) -> None:
        pass

    def OnRemoteUserExitRoom(self, info: UserInfo, reason: int) -> None:
        pass

    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool) -> None:
        pass

    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, stream_type: StreamType) -> None:
        pass

    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame) -> None:
        pass

    def OnRemoteMixedAudioReceived(self, frame: AudioFrame) -> None:
        pass

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: StreamType, frame: VideoFrame) -> None:
        pass

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: StreamType, frame: PixelFrame) -> None:
        pass

    def OnRequestKeyFrame(self, stream_type: StreamType) -> None:
        pass

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: StreamType, bitrate_bps: int) -> None:
        pass

    def OnSeiMessageReceived(
        self, user_id: str | None, stream_type: StreamType, message_type: int, message: bytes
    ) -> None:
        pass

    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes) -> None:
        pass

    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int) -> None:
        pass

    def OnNetworkQuality(self, local: NetworkQualityInfo, remote: list[NetworkQualityInfo]) -> None:
        pass


def _parameters(method: Callable[..., Any]) -> tuple[str, ...]:
    code = method.__code__
    return code.co_varnames[1 : code.co_argcount]


PARAMETERS: Mapping[str, tuple[str, ...]] = MappingProxyType(
    {name: _parameters(getattr(Delegate, name)) for name in EVENTS}
)
"""Each event's parameters after `self`, by event name, as `Delegate`'s methods name them: the SDK
passes them in this order."""

for _name in EVENTS:
    getattr(Delegate, _name).__doc__ = (
        f"Does nothing. The SDK calls `{_name}` on one of its threads (see `QOLTCloudDelegate.{_name}` for "
        "when and with what); override it to handle the event."
    )
del _name
