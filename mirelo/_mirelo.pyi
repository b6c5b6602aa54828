"""The room client of the mirelo real-time audio and video SDK, its handler, records, frames and
result codes: the native module `mirelo._mirelo`, whose every public name `mirelo` re-exports.

A program creates a `QOLTCloud` with a handler (a subclass of `mirelo.Delegate` or of
`QOLTCloudDelegate`), enters a room with `QOLTCloud.EnterRoom`, publishes audio and video through
local channels and receives what others publish as events on its handler.

- **Results.** Every cloud operation returns an `int`: `ERR_OK` (0) or a negative value of `Error`.
  Failures are never raised. `SendCustomCmdMsg` returns 1 (sent) or 0 (not sent) instead.
- **Bad arguments** (a wrong type, an integer out of the native range, `None` for a record, an
  object whose `__init__` never ran) raise `TypeError`; text that the SDK takes as a C string and
  that holds a NUL character raises `ValueError`. Both happen before anything reaches the SDK.
- **Threads.** Events arrive on the SDK's threads, with the interpreter lock held: keep handlers
  short. In the loopback SDK each cloud has one event thread that delivers its events one at a
  time, in the order they were raised.
- **Copies.** Payloads given to the SDK (`SetData`, `SendSeiMessage`, ...) are copied at once.
  Records and frames that an event hands to a handler are the handler's own copies.
- **Records are views.** Reading a record field of a record (`params.room`,
  `params.room.user_id`) gives a view into its owner: writing through it changes the owner.
  Assigning a record to a field copies it.

The library behind this module is `libmirelo.so`; the package ships a loopback implementation of
it (see `mirelo.loopback`), in which clouds of one process meet in in-process rooms. What the
loopback does is described here wherever a program can observe it.
"""

# Annotations stay unevaluated, so that tools which execute the stub (the API reference) can.
from __future__ import annotations

from typing import Any, ClassVar, SupportsIndex, SupportsInt, TypeAlias, overload

_Int: TypeAlias = SupportsInt | SupportsIndex
# Text parameters whose native type is a C string: str is encoded as UTF-8, bytes-like objects are
# passed raw, None becomes a null pointer.
_CText: TypeAlias = str | bytes | bytearray | None
# Text converted to an owned string: as above, but None is refused.
_Text: TypeAlias = str | bytes | bytearray

class _pybind11_type(type):
    """The metaclass of every class of the module."""

class QOLTCloud(metaclass=_pybind11_type):
    """The SDK's room client: one user in at most one room at a time.

    The SDK cloud lives exactly as long as this object: dropping the last reference destroys it
    (leaving its room, without further events) and waits until its event thread has finished the
    event it is delivering; no event reaches the handler after that. Don't store the cloud on its
    own handler: the two would keep each other alive until the interpreter exits.

    Methods may be called from any thread, handlers included. Each returns `ERR_OK` (0) when the
    SDK accepted the call; what follows is reported by events (`OnEnterRoom`, ...).
    """

    def __init__(self, delegate: QOLTCloudDelegate | None, /) -> None:
        """Creates an SDK cloud that reports its events to `delegate`.

        The cloud keeps `delegate` alive, so a handler may be passed in and forgotten. With `None`
        the cloud has no handler and its events are discarded (`mirelo.loopback.stats()` counts
        them). Raises `RuntimeError` when the SDK can make no cloud, and `TypeError` for a handler
        whose `__init__` did not call `super().__init__()`.
        """
    def EnterRoom(self, params: EnterRoomParams) -> int:
        """Enters the room that `params.room` names, as `params.room.user_id`.

        The SDK reads `params` during the call (it keeps no reference). Returns `ERR_OK` when the
        request was accepted; the room then confirms with `OnConnectionStateChanged` (to
        `CONNECTION_STATE_CONNECTING`, then `CONNECTION_STATE_CONNECTED`) and `OnEnterRoom`, and
        announces the anchors already in the room (`OnRemoteUserEnterRoom`, then
        `OnRemoteAudioAvailable` and `OnRemoteVideoAvailable` for their channels). An anchor is
        announced to everyone in the room; an audience member to nobody.

        Refusals, checked in this order:

        - `ERR_INVALID_SDK_APP_ID`: `room.sdk_app_id` is 0;
        - `ERR_INVALID_USER_ID`: `room.user_id` is empty;
        - `ERR_INVALID_ROOM_ID`: both `room.room_id` is 0 and `room.str_room_id` is empty;
        - `ERR_INVALID_USER_SIG`: `room.user_sig` is empty;
        - `ERR_INVALID_OPERATION`: the cloud is already in a room;
        - `ERR_INVALID_PARAMETER`: `role` is not a `QOLTRole` member, or `audio_obtain_params`
          asks for a format the SDK can't deliver (see `AudioObtainParams`);
        - `ERR_FAILED`: the SDK could not complete the call (memory or threads exhausted); nothing
          changed and the call may be retried.

        A user id that is already in that room is refused by the room, not by the call: it returns
        `ERR_OK`, then `OnError(ERR_ENTER_ROOM_FAILED)` arrives between a change to
        `CONNECTION_STATE_CONNECTING` and one to `CONNECTION_STATE_DISCONNECTED`.
        """
    def ExitRoom(self) -> int:
        """Leaves the room. The local audio and video channels are destroyed first
        (`OnLocalAudioChannelDestroyed`, `OnLocalVideoChannelDestroyed`), then `OnExitRoom` and a
        change to `CONNECTION_STATE_DISCONNECTED` arrive; the others in the room see the channels go
        and, for an anchor, `OnRemoteUserExitRoom`. Subscriptions end with the room.

        Returns `ERR_OK`, `ERR_INVALID_OPERATION` when the cloud is in no room, or `ERR_FAILED`.
        """
    def Subscribe(self, user_id: _Text, type: StreamType) -> int:
        """Receives the stream `type` (`STREAM_TYPE_AUDIO` or a video stream type) of the user
        `user_id` of this cloud's room.

        The subscription names the user, so it may be made before the user enters or publishes:
        their frames flow once they do. Subscribing to a video stream that is already published
        makes the publisher's SDK ask it for a key frame (`OnRequestKeyFrame`). How audio arrives is
        set by `EnterRoomParams.audio_obtain_params`.

        `user_id` is a `str` (UTF-8) or raw `bytes`; `None` raises `TypeError`, a NUL character
        `ValueError`. Returns `ERR_OK`; `ERR_INVALID_OPERATION` outside a room;
        `ERR_INVALID_PARAMETER` for `STREAM_TYPE_UNKNOWN` or a value no stream type has;
        `ERR_INVALID_USER_ID` for an empty `user_id`; `ERR_FAILED`.
        """
    def Unsubscribe(self, user_id: _Text, type: StreamType) -> int:
        """Stops receiving the stream `type` of `user_id`. Unsubscribing from a stream that was never
        subscribed to succeeds. Arguments and results as for `Subscribe`."""
    def GetAudioFrame(self, frame: AudioFrame | None) -> int:
        """Pull mode: fills `frame` with the next frame of the mix of the subscribed remote audio.

        Only for a cloud that entered with `audio_obtain_method = AUDIO_OBTAIN_METHOD_GET`; such a
        cloud gets no audio events. The frame is 16-bit PCM in the room's output format
        (`output_sample_rate`, `output_channels`) and holds `output_frame_length_ms` of audio; its
        `pts` counts milliseconds of mixed audio from 0, and `has_voice` is computed from the mix.
        The loopback buffers up to `mirelo.loopback.configure(audio_buffer_ms=...)` (1 s) of audio
        per sender; poll at least at the frame rate.

        Returns `ERR_OK`; `ERR_READ_TRY_AGAIN` when a whole frame is not buffered yet, outside a
        room, or when the cloud did not enter in pull mode (`frame` is then left as it was);
        `ERR_INVALID_PARAMETER` for `None`; `ERR_FAILED`.
        """
    def CreateLocalAudioChannel(self, params: AudioEncodeParams) -> int:
        """Starts publishing audio in the format `params` describes; the SDK copies `params`.

        Raises `OnLocalAudioChannelCreated` here and `OnRemoteAudioAvailable(user_id, True)` for
        everyone else in the room. Returns `ERR_OK`; `ERR_INVALID_OPERATION` when the cloud is not
        an anchor in a room or already has an audio channel; `ERR_INVALID_PARAMETER` for a format
        outside `AudioEncodeParams`'s limits; `ERR_FAILED`.
        """
    def DestroyLocalAudioChannel(self) -> int:
        """Stops publishing audio: frames still queued by `SendContinuousAudioFrame` are dropped,
        `OnLocalAudioChannelDestroyed` arrives here and `OnRemoteAudioAvailable(user_id, False)` for
        the others. Returns `ERR_OK`; `ERR_INVALID_OPERATION` outside a room or without an audio
        channel; `ERR_FAILED`."""
    def SendAudioFrame(self, frame: AudioFrame) -> int:
        """Sends one audio frame now; the caller paces the frames (one frame's duration apart).

        The SDK copies the frame, so the same object may be refilled and sent again at once. A PCM
        frame (`codec = AUDIO_CODEC_TYPE_PCM`) must be 16-bit, at the channel's `sample_rate` and
        `channels`, and hold a whole, non-zero number of samples per channel; any length is
        accepted, although the channel's `frame_length_ms` is the expected one. An encoded frame
        (another codec, non-empty) is accepted only when the channel was created with
        `need_encode = False`; the loopback passes it on unchanged, and only to receivers that take
        each user's audio by event (it has no codec to mix it).

        Subscribers receive the audio converted to their own output format (see
        `AudioObtainParams`). Returns `ERR_OK`; `ERR_INVALID_OPERATION` outside a room or without an
        audio channel; `ERR_INVALID_PARAMETER` for a frame that does not fit the channel;
        `ERR_FAILED`.
        """
    def SendContinuousAudioFrame(self, frame: AudioFrame, clear_send_queue: bool) -> int:
        """Queues one audio frame; the SDK sends the queued frames at the real-time pace of their
        durations, so a program may hand over audio faster than real time.

        With `clear_send_queue=True` the frames still queued are dropped first (say, to interrupt
        a prompt). The loopback's queue holds at most 500 frames: beyond that the oldest queued
        frame is dropped. A process stalled for more than 200 ms resumes at the real pace, without
        a burst. Frame checks and results as for `SendAudioFrame`; the frame is copied.
        `mirelo.loopback.state()[handle]["paced_audio_frames"]` tells how many frames wait.
        """
    def CreateLocalVideoChannel(self, type: StreamType) -> int:
        """Starts publishing the video stream `type` (`STREAM_TYPE_VIDEO_HIGH`, `_LOW` or `_AUX`; a
        cloud may publish several).

        Raises `OnLocalVideoChannelCreated(type)` here and `OnRemoteVideoAvailable(user_id, True,
        type)` for the others; when someone already subscribed to the stream, `OnRequestKeyFrame`
        follows here. Returns `ERR_OK`; `ERR_INVALID_OPERATION` when the cloud is not an anchor in
        a room or already publishes that stream; `ERR_INVALID_PARAMETER` for a type that is not a
        video stream; `ERR_FAILED`.
        """
    def DestroyLocalVideoChannel(self, type: StreamType) -> int:
        """Stops publishing the video stream `type`: `OnLocalVideoChannelDestroyed(type)` here and
        `OnRemoteVideoAvailable(user_id, False, type)` for the others. Returns `ERR_OK`;
        `ERR_INVALID_OPERATION` outside a room or when the stream is not published;
        `ERR_INVALID_PARAMETER` for a type that is not a video stream; `ERR_FAILED`."""
    def SendVideoFrame(self, type: StreamType, frame: VideoFrame) -> int:
        """Sends one encoded video frame on the published stream `type`; the frame is copied.

        Subscribers of the stream that entered with `use_pixel_frame_output = False` receive it,
        unchanged, at `OnRemoteVideoFrameReceived`; the loopback has no codec, so receivers of raw
        pictures get nothing. Returns `ERR_OK`; `ERR_INVALID_OPERATION` outside a room or when
        `type` is not published; `ERR_INVALID_PARAMETER` for a type that is not a video stream or an
        empty frame; `ERR_FAILED`.
        """
    def SendPixelFrame(self, type: StreamType, frame: PixelFrame) -> int:
        """Sends one raw picture on the published stream `type`; the frame is copied.

        The payload must be exactly the size that `format`, `width` and `height` give (see
        `PixelFrame`). Subscribers of the stream that entered with `use_pixel_frame_output = True`
        receive it at `OnRemotePixelFrameReceived`; others get nothing (no encoder in the loopback).
        Results as for `SendVideoFrame`; `ERR_INVALID_PARAMETER` also for a payload of the wrong
        size, an empty picture or an unknown format.
        """
    def SetVideoEncodeParam(self, type: StreamType, param: VideoEncodeParams) -> None:
        """Sets the encoder settings of the video stream `type`; the SDK copies `param`.

        Returns nothing and reports no error. The loopback encodes nothing: it keeps the settings
        per stream type (`mirelo.loopback.state()[handle]["video_encode_params"]`), also before the
        channel exists.
        """
    def SendSeiMessage(self, message_type: _Int, message: bytes) -> int:
        """Sends an SEI message riding on this cloud's video: on `STREAM_TYPE_VIDEO_HIGH` when it is
        published, else on the first video stream created.

        `message` must be `bytes` (1 to 1000 bytes in the loopback; a `bytearray` raises
        `TypeError`) and is copied; `message_type` is any 32-bit integer, passed on as it is.
        Subscribers of that stream receive it at `OnSeiMessageReceived`; SEI messages are never
        dropped for load. Returns `ERR_OK`; `ERR_INVALID_OPERATION` outside a room or without a
        video channel; `ERR_INVALID_PARAMETER` for an empty or too long message; `ERR_FAILED`.
        """
    def SendCustomCmdMsg(self, cmd_id: _Int, message: bytes, reliable: bool, ordered: bool) -> int:
        """Sends a custom message to everyone else in the room. Returns 1 when it was sent and 0
        when it was not: this result is not an `Error` code.

        `cmd_id` is 1 to 10 and `message` is `bytes` of at most 1024 bytes (empty allowed), copied.
        Each sender may send at most 30 messages and 8 KiB within any second. 0 is returned for an
        out-of-range `cmd_id`, a message too long or over the rate, a cloud in no room, and when the
        SDK could not complete the call. Receivers get `OnReceiveCustomCmdMsg` with a sequence
        number counted per sender and `cmd_id` from 1.

        An unreliable message (`reliable=False`) may be lost: the loopback loses it with the
        probability set by `mirelo.loopback.configure(custom_message_loss=...)` (0 by default), and
        the receiver learns how many were lost from `OnMissCustomCmdMsg`, just before the next
        message of that sender and `cmd_id` that arrives. In the loopback every message arrives in
        order, whatever `ordered` says.
        """
    def EnableVoiceActivityDetection(self, params: VADParams) -> None:
        """Turns voice activity detection of the audio this cloud sends on or off; returns nothing.

        While it is on, the loopback sets the `has_voice` flag of each PCM frame this cloud sends
        from the frame's samples (mean power above -40 dBFS) instead of passing on the sender's
        flag. Off (the default), `has_voice` travels as the sender set it.
        """

class QOLTCloudDelegate(metaclass=_pybind11_type):
    """The handler that a `QOLTCloud` reports its events to: subclass it and define the event
    methods (or subclass `mirelo.Delegate`, which defines all 22 as doing nothing).

    A subclass that defines `__init__` must call `super().__init__()`, or `QOLTCloud(handler)`
    raises `TypeError`.

    **Threads.** Each event method is called on an SDK thread, never on the thread that created the
    cloud, with the interpreter lock held; other events of the cloud wait until it returns. Record,
    count or queue and return: don't sleep, block or wait for a lock that a thread calling the SDK
    holds. Calling the cloud's own methods from a handler is fine.

    **Arguments.** Records (`UserInfo`, `NetworkQualityInfo`) and frames are new copies that the
    handler owns and may keep; texts are `str` (or `None` for a null text), payloads `bytes`,
    enumerations their enumeration type (also for values that no member names).

    **Required events.** The 18 events other than `OnSeiMessageReceived`, `OnReceiveCustomCmdMsg`,
    `OnMissCustomCmdMsg` and `OnNetworkQuality` are required: a handler without the method fails
    that event (the SDK logs it; the loopback lists it in `mirelo.loopback.failures()` as "Tried to
    call pure virtual function"). The other four are optional and dropped when not defined.

    **Errors.** An exception leaving a handler goes to the SDK as a C++ exception carrying the
    Python exception's text and traceback, which the SDK logs (the loopback lists it in
    `mirelo.loopback.failures()`); for `OnSeiMessageReceived`, `OnReceiveCustomCmdMsg` and
    `OnNetworkQuality` it is printed on standard error (`python callback NAME error: ...`) instead.
    Either way the next event is delivered as usual.

    Calling an event method on the base class from Python
    (`QOLTCloudDelegate.OnEnterRoom(handler)`) calls the handler's own method of that name and
    raises its exception, or `RuntimeError` for a required event it does not define.
    """

    def __init__(self) -> None:
        """Creates the native part of the handler; a subclass's `__init__` must call it."""
    def OnError(self, error: Error, /) -> None:
        """The SDK reports an error. The loopback raises `ERR_ENTER_ROOM_FAILED` when `EnterRoom`
        names a user id that is already in the room; `mirelo.loopback.emit` raises any code."""
    def OnConnectionStateChanged(self, old_state: ConnectionState, new_state: ConnectionState, /) -> None:
        """The connection to the room service changed from `old_state` to `new_state`: to
        `CONNECTION_STATE_CONNECTING` and then `CONNECTION_STATE_CONNECTED` on entering a room, to
        `CONNECTION_STATE_DISCONNECTED` on leaving it or when entering failed."""
    def OnEnterRoom(self) -> None:
        """The cloud entered its room; it may now publish and subscribe."""
    def OnExitRoom(self) -> None:
        """The cloud left its room (after `ExitRoom`)."""
    def OnLocalAudioChannelCreated(self) -> None:
        """The local audio channel exists: `SendAudioFrame` may be called."""
    def OnLocalAudioChannelDestroyed(self) -> None:
        """The local audio channel is gone (`DestroyLocalAudioChannel` or `ExitRoom`)."""
    def OnLocalVideoChannelCreated(self, stream_type: StreamType, /) -> None:
        """The local video channel `stream_type` exists."""
    def OnLocalVideoChannelDestroyed(self, stream_type: StreamType, /) -> None:
        """The local video channel `stream_type` is gone (`DestroyLocalVideoChannel` or
        `ExitRoom`)."""
    def OnRemoteUserEnterRoom(self, info: UserInfo, /) -> None:
        """An anchor is in the room: one who entered after this cloud, or one already there when
        this cloud entered. Audience members are never announced. `info` is the handler's copy."""
    def OnRemoteUserExitRoom(self, info: UserInfo, reason: int, /) -> None:
        """An anchor left the room (`ExitRoom`, or their cloud was destroyed). `reason` is the
        SDK's reason code; the loopback always gives 0."""
    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool, /) -> None:
        """The user `user_id` started (`True`) or stopped (`False`) publishing audio; also sent on
        entering a room for the audio channels already there."""
    def OnRemoteVideoAvailable(self, user_id: str | None, available: bool, type: StreamType, /) -> None:
        """The user `user_id` started (`True`) or stopped (`False`) publishing the video stream
        `type`; also sent on entering a room for the video channels already there."""
    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame, /) -> None:
        """One audio frame of the subscribed user `user_id`, for a cloud that entered with
        `AUDIO_OBTAIN_METHOD_CALLBACK` and `enable_remote_audio_mix = False` (the defaults).

        PCM audio arrives as 16-bit PCM converted to the cloud's `output_sample_rate` and
        `output_channels`, one frame for each frame sent (so of the sender's frame length), with
        the sender's `pts` and `has_voice`. Encoded audio arrives as it was sent. `frame` is the
        handler's own copy. A media event: dropped, oldest first, when more than
        `mirelo.loopback.configure(media_queue_bound=...)` (256) media events wait for this handler.
        """
    def OnRemoteMixedAudioReceived(self, frame: AudioFrame, /) -> None:
        """One frame of the mix of all subscribed remote audio, for a cloud that entered with
        `AUDIO_OBTAIN_METHOD_CALLBACK` and `enable_remote_audio_mix = True`.

        16-bit PCM in the output format, `output_frame_length_ms` long; `pts` counts milliseconds
        of mixed audio from 0, and `has_voice` is computed from the mix. A frame is mixed once
        every subscribed sender contributed its share, or once one sender is 3 frames ahead of the
        others. Only PCM audio is mixed. A media event (see `OnRemoteAudioReceived`).
        """
    def OnRemoteVideoFrameReceived(self, user_id: str | None, type: StreamType, frame: VideoFrame, /) -> None:
        """One encoded video frame of the subscribed stream `type` of `user_id`, as sent with
        `SendVideoFrame`, for a cloud that entered with `use_pixel_frame_output = False`. `frame`
        is the handler's own copy. A media event (see `OnRemoteAudioReceived`)."""
    def OnRemotePixelFrameReceived(self, user_id: str | None, type: StreamType, frame: PixelFrame, /) -> None:
        """One raw picture of the subscribed stream `type` of `user_id`, as sent with
        `SendPixelFrame`, for a cloud that entered with `use_pixel_frame_output = True`. `frame` is
        the handler's own copy. A media event (see `OnRemoteAudioReceived`)."""
    def OnRequestKeyFrame(self, stream_type: StreamType, /) -> None:
        """A subscriber needs a key frame on the published stream `stream_type`: send one next. The
        loopback asks when someone subscribes to a published stream, and when a stream that someone
        already subscribed to is created."""
    def OnRequestChangeVideoEncodeBitrate(self, stream_type: StreamType, bitrate_bps: int, /) -> None:
        """The SDK asks the encoder of `stream_type` to use `bitrate_bps` bits per second. The
        loopback never asks by itself (`mirelo.loopback.emit` can raise it)."""
    # Called from Python these three take the SDK's arguments: (user_id, stream_type, message_type,
    # message text, length), (user_id, cmd_id, seq, message text, length) and (local record or None,
    # remote record or None, count). The SDK calls a handler's own methods with
    # (user_id, stream_type, message_type, message: bytes), (user_id, cmd_id, seq, message: bytes)
    # and (local: NetworkQualityInfo, remote: list[NetworkQualityInfo]); a handler defines those.
    def OnSeiMessageReceived(self, *args: Any, **kwargs: Any) -> None:
        """An SEI message on a subscribed video stream. Optional.

        A handler defines `OnSeiMessageReceived(self, user_id, stream_type, message_type, message)`:
        the sender's `str` user id, the `StreamType` the message rode on, the sender's
        `message_type` (`int`) and the payload as `bytes`. An exception from it is printed on
        standard error and goes no further. SEI rides on video: a handler that falls behind loses the
        oldest, like frames (counted in `mirelo.loopback.stats()`).

        Called on the base class from Python it takes the SDK's own arguments instead:
        `(handler, user_id, stream_type, message_type, message, length)`, where `message` is text
        and `length` (at most its size in bytes, else `ValueError`) the bytes to pass on.
        """
    def OnReceiveCustomCmdMsg(self, *args: Any, **kwargs: Any) -> None:
        """A custom message from another user in the room (`SendCustomCmdMsg`). Optional.

        A handler defines `OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message)`: the
        sender's `str` user id, the command id (`int`, 1 to 10), the sequence number (`int`, counted
        from 1 per sender and command id) and the payload as `bytes`. An exception from it is
        printed on standard error and goes no further.

        Called on the base class from Python it takes the SDK's own arguments instead:
        `(handler, user_id, cmd_id, seq, message, length)`, as for `OnSeiMessageReceived`.
        """
    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int, /) -> None:
        """`missed` unreliable custom messages of `user_id` with `cmd_id` were lost since the last
        one that arrived; raised just before the next one that arrives. `error_code` is the SDK's
        reason (0 in the loopback). Optional."""
    def OnNetworkQuality(self, *args: Any, **kwargs: Any) -> None:
        """The periodic network quality report, every 2 s while in a room (the loopback's interval
        is set by `mirelo.loopback.configure(network_quality_interval=...)`). Optional.

        A handler defines `OnNetworkQuality(self, local, remote)`: `local` is this cloud's
        `NetworkQualityInfo`, `remote` a `list` of one `NetworkQualityInfo` per anchor in the room,
        all copies the handler owns. The loopback reports every quality as
        `NETWORK_QUALITY_EXCELLENT`. A report is a media event: one that waits too long may be
        dropped for the next. An exception from the handler is printed on standard error and goes
        no further.

        Called on the base class from Python it takes the SDK's own arguments instead:
        `(handler, local or None, remote or None, count)` where `count` is 0, or 1 with one remote
        record (`ValueError` beyond what was given).
        """

class QoltString(metaclass=_pybind11_type):
    """The SDK's text holder, used by every text field of a record.

    A holder holds UTF-8 text, or no text at all (a null text, which `GetValue` returns as
    `None`). Write a field with `SetValue` or by assigning a new `QoltString`; a plain `str` is
    refused with `TypeError`. `str(holder)` gives the text (`RuntimeError` for a null text).
    """

    @overload
    def __init__(self) -> None:
        """An empty text (`""`), not a null one."""
    @overload
    def __init__(self, value: _CText, /) -> None:
        """The text `value` (`str` as UTF-8, `bytes` as they are), or a null text for `None`; a NUL
        character raises `ValueError`."""
    def GetValue(self) -> str | None:
        """The text, decoded as UTF-8, or `None` for a null text."""
    def SetValue(self, value: _CText, /) -> None:
        """Replaces the text with a copy of `value` (`str`, `bytes`, or `None` for a null text); a
        NUL character raises `ValueError` and leaves the text as it was."""

class RoomParams(metaclass=_pybind11_type):
    """Which room to enter and as whom: the `room` field of `EnterRoomParams`.

    The room is named by `str_room_id` when it is not empty, else by `room_id`; rooms of different
    `sdk_app_id` are different rooms.
    """

    def __init__(self) -> None:
        """Every field zero or empty."""
    @property
    def room_id(self) -> int:
        """The room's number (unsigned 32-bit, default 0); used when `str_room_id` is empty."""
    @room_id.setter
    def room_id(self, value: _Int) -> None: ...
    str_room_id: QoltString
    """The room's name (default empty); takes precedence over `room_id` when not empty. Reading
    it gives a view into this record."""
    user_id: QoltString
    """The id of this user in the room, required and unique in the room (default empty). A view."""
    user_sig: QoltString
    """The user's signature, required (default empty). A secret: the loopback journals only
    whether one was given. A view."""
    @property
    def sdk_app_id(self) -> int:
        """The application's id (unsigned 32-bit), required: 0 (the default) is refused."""
    @sdk_app_id.setter
    def sdk_app_id(self, value: _Int) -> None: ...

class EnterRoomParams(metaclass=_pybind11_type):
    """Everything `QOLTCloud.EnterRoom` needs; read during the call, never kept."""

    def __init__(self) -> None:
        """Defaults: an empty `room`, `QOLT_SCENE_VIDEO_CALL`, `QOLT_ROLE_ANCHOR`, an empty
        `private_map_key`, default `audio_obtain_params`, no pixel frames in or out."""
    room: RoomParams
    """Which room and as whom. Reading it gives a view: `params.room.sdk_app_id = 1` writes into
    `params`."""
    scene: QOLTScene
    """The kind of session (default `QOLT_SCENE_VIDEO_CALL`); the loopback only journals it."""
    role: QOLTRole
    """`QOLT_ROLE_ANCHOR` (the default) publishes and is seen by others; `QOLT_ROLE_AUDIENCE` only
    receives, is announced to nobody and cannot create channels."""
    private_map_key: QoltString
    """The room's permission key (default empty). A secret: the loopback journals only whether
    one was given, and checks nothing. A view."""
    audio_obtain_params: AudioObtainParams
    """How and in which format this cloud receives remote audio. A view."""
    @property
    def use_pixel_frame_input(self) -> bool:
        """Whether the program will send raw pictures (`SendPixelFrame`); default `False`. The
        loopback accepts both forms either way."""
    @use_pixel_frame_input.setter
    def use_pixel_frame_input(self, value: object) -> None: ...
    @property
    def use_pixel_frame_output(self) -> bool:
        """Whether this cloud receives video as raw pictures (`OnRemotePixelFrameReceived`) rather
        than encoded frames (`OnRemoteVideoFrameReceived`); default `False`. The loopback has no
        codec: each receiver gets only the frames sent in its form."""
    @use_pixel_frame_output.setter
    def use_pixel_frame_output(self, value: object) -> None: ...

class AudioEncodeParams(metaclass=_pybind11_type):
    """The format of the audio a cloud publishes: the argument of
    `QOLTCloud.CreateLocalAudioChannel`, which copies it. Out-of-range values are refused there
    with `ERR_INVALID_PARAMETER`, not here."""

    def __init__(self) -> None:
        """48 kHz mono, 20 ms frames, 51200 bit/s, encoded by the SDK."""
    @property
    def channels(self) -> int:
        """1 (the default) or 2."""
    @channels.setter
    def channels(self, value: _Int) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Samples per second of the PCM frames sent: 8000, 16000, 32000, 44100 or 48000 (the
        default)."""
    @sample_rate.setter
    def sample_rate(self, value: _Int) -> None: ...
    @property
    def frame_length_ms(self) -> int:
        """The expected duration of one frame in milliseconds: 10, 20 (the default), 40 or 60."""
    @frame_length_ms.setter
    def frame_length_ms(self, value: _Int) -> None: ...
    @property
    def bitrate_bps(self) -> int:
        """The encoder's target bit rate in bits per second, above 0 (default 51200)."""
    @bitrate_bps.setter
    def bitrate_bps(self, value: _Int) -> None: ...
    @property
    def need_encode(self) -> bool:
        """`True` (the default): the program sends PCM and the SDK encodes it. `False`: the program
        may also send frames it encoded itself (a codec other than PCM)."""
    @need_encode.setter
    def need_encode(self, value: object) -> None: ...

class VideoEncodeParams(metaclass=_pybind11_type):
    """Encoder settings of one video stream: the argument of `QOLTCloud.SetVideoEncodeParam`,
    which copies it. The loopback only keeps them."""

    def __init__(self) -> None:
        """15 frames per second, bit rate 0 (the SDK's choice), a key frame every 3 s."""
    @property
    def frame_rate(self) -> int:
        """Frames per second (default 15)."""
    @frame_rate.setter
    def frame_rate(self, value: _Int) -> None: ...
    @property
    def bitrate_bps(self) -> int:
        """Target bit rate in bits per second; 0 (the default) leaves it to the SDK."""
    @bitrate_bps.setter
    def bitrate_bps(self, value: _Int) -> None: ...
    @property
    def gop_in_seconds(self) -> int:
        """Seconds between key frames (default 3)."""
    @gop_in_seconds.setter
    def gop_in_seconds(self, value: _Int) -> None: ...

class NetworkQualityInfo(metaclass=_pybind11_type):
    """One user's network quality, as `OnNetworkQuality` reports it."""

    def __init__(self) -> None:
        """An empty user id and `NETWORK_QUALITY_DOWN`."""
    user_id: QoltString
    """The user it is about; this cloud's own user for the local record. A view."""
    quality: NetworkQuality
    """How good the user's connection is."""

class UserInfo(metaclass=_pybind11_type):
    """A remote user, as `OnRemoteUserEnterRoom` and `OnRemoteUserExitRoom` report them."""

    def __init__(self) -> None:
        """An empty user id."""
    user_id: QoltString
    """The user's id in the room; read it with `info.user_id.GetValue()`. A view."""

class AudioObtainParams(metaclass=_pybind11_type):
    """How a cloud receives remote audio: the `audio_obtain_params` field of `EnterRoomParams`.

    - `AUDIO_OBTAIN_METHOD_CALLBACK` (the default) without mixing: each subscribed user's frames
      at `OnRemoteAudioReceived`;
    - `AUDIO_OBTAIN_METHOD_CALLBACK` with `enable_remote_audio_mix`: one mixed stream at
      `OnRemoteMixedAudioReceived`;
    - `AUDIO_OBTAIN_METHOD_GET`: no events; the program pulls mixed frames with
      `QOLTCloud.GetAudioFrame`.

    Audio arrives as 16-bit PCM converted to `output_sample_rate` and `output_channels`.
    `EnterRoom` returns `ERR_INVALID_PARAMETER` for a rate outside 8000 to 192000 Hz, channels
    outside 1 to 8, a frame length outside 10 to 1000 ms or an unknown obtain method.
    """

    def __init__(self) -> None:
        """Callback per user, 16 kHz mono, 20 ms mixed frames, PCM."""
    audio_obtain_method: AudioObtainMethod
    """Events (`AUDIO_OBTAIN_METHOD_CALLBACK`, the default) or pulling with `GetAudioFrame`
    (`AUDIO_OBTAIN_METHOD_GET`)."""
    @property
    def enable_remote_audio_mix(self) -> bool:
        """With the callback method: `True` mixes all subscribed audio into
        `OnRemoteMixedAudioReceived`; `False` (the default) delivers each user's frames apart."""
    @enable_remote_audio_mix.setter
    def enable_remote_audio_mix(self, value: object) -> None: ...
    @property
    def output_sample_rate(self) -> int:
        """Samples per second of the audio received, 8000 to 192000 (default 16000)."""
    @output_sample_rate.setter
    def output_sample_rate(self, value: _Int) -> None: ...
    @property
    def output_channels(self) -> int:
        """Channels of the audio received, 1 to 8 (default 1). Mono is copied to every channel,
        several channels are averaged into mono; otherwise the first channels are kept and any
        further channel copies the first."""
    @output_channels.setter
    def output_channels(self, value: _Int) -> None: ...
    @property
    def output_frame_length_ms(self) -> int:
        """Milliseconds per mixed frame (`OnRemoteMixedAudioReceived`, `GetAudioFrame`), 10 to 1000
        (default 20). Per-user frames keep the sender's frame length."""
    @output_frame_length_ms.setter
    def output_frame_length_ms(self, value: _Int) -> None: ...
    output_audio_codec_type: AudioCodecType
    """The codec of the audio received (default `AUDIO_CODEC_TYPE_PCM`). The loopback has no codec
    and always delivers PCM (encoded audio passes through unchanged)."""

class VADParams(metaclass=_pybind11_type):
    """The argument of `QOLTCloud.EnableVoiceActivityDetection`."""

    def __init__(self) -> None:
        """Detection off."""
    @property
    def enable(self) -> bool:
        """Whether the SDK sets `AudioFrame.has_voice` of the audio sent (default `False`)."""
    @enable.setter
    def enable(self, value: object) -> None: ...

class AudioFrame(metaclass=_pybind11_type):
    """A frame of audio: the fields that describe it and a payload.

    The payload is copied in by `SetData` and copied out by each read of `data`, so a frame may be
    refilled and sent again at once, and a frame received by a handler may be kept. PCM payloads
    are 16-bit signed little-endian samples, channels interleaved: 20 ms of 48 kHz mono is 960
    samples, 1920 bytes.
    """

    def __init__(self) -> None:
        """An empty 16-bit PCM frame, 48 kHz mono, `pts` 0, `has_voice` `False`."""
    @property
    def pts(self) -> int:
        """Presentation time stamp in milliseconds (unsigned 32-bit, default 0). The SDK passes the
        sender's value to per-user receivers; mixed frames count from 0."""
    @pts.setter
    def pts(self, value: _Int) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Samples per second (default 48000); must match the audio channel's when sending PCM."""
    @sample_rate.setter
    def sample_rate(self, value: _Int) -> None: ...
    @property
    def channels(self) -> int:
        """Interleaved channels (default 1); must match the audio channel's when sending PCM."""
    @channels.setter
    def channels(self, value: _Int) -> None: ...
    @property
    def bits_per_sample(self) -> int:
        """Bits per sample (default 16); PCM frames are sent only with 16."""
    @bits_per_sample.setter
    def bits_per_sample(self, value: _Int) -> None: ...
    codec: AudioCodecType
    """How the payload is coded (default `AUDIO_CODEC_TYPE_PCM`)."""
    @property
    def has_voice(self) -> bool:
        """Whether the frame holds speech (default `False`). Set by the sender and passed on as it
        is, unless the sender enabled voice activity detection
        (`QOLTCloud.EnableVoiceActivityDetection`), in which case the SDK computes it; mixed frames
        and frames from `GetAudioFrame` always carry the SDK's own verdict."""
    @has_voice.setter
    def has_voice(self, value: object) -> None: ...
    @property
    def data(self) -> bytes:
        """A copy of the payload (`b""` when empty). Read it once and keep the result: each read
        copies."""
    def SetData(self, data: bytes, /) -> None:
        """Replaces the payload with a copy of `data`, which must be `bytes` (a `bytearray` or
        `memoryview` raises `TypeError`). Any length is accepted here; sending checks it."""
    @property
    def size(self) -> int:
        """The payload's length in bytes."""
    def SetExtraData(self, data: bytes, /) -> None:
        """Attaches a copy of `data` (`bytes`) to the frame as codec side data. It cannot be read
        back; the loopback passes it on only with encoded audio (PCM is rebuilt at the receiver)."""

class VideoFrame(metaclass=_pybind11_type):
    """An encoded video frame: fields and a payload, which `SetData` and `data` copy (see
    `AudioFrame`)."""

    def __init__(self) -> None:
        """An empty H.264 frame, not a key frame, unrotated, time stamps 0."""
    @property
    def pts(self) -> int:
        """Presentation time stamp in milliseconds (unsigned 32-bit, default 0)."""
    @pts.setter
    def pts(self, value: _Int) -> None: ...
    @property
    def dts(self) -> int:
        """Decoding time stamp in milliseconds (unsigned 32-bit, default 0)."""
    @dts.setter
    def dts(self, value: _Int) -> None: ...
    codec: VideoCodecType
    """How the payload is coded (default `VIDEO_CODEC_TYPE_H264`); the loopback passes it on."""
    @property
    def is_key_frame(self) -> bool:
        """Whether the frame can be decoded on its own (default `False`)."""
    @is_key_frame.setter
    def is_key_frame(self, value: object) -> None: ...
    rotation: VideoRotation
    """How far to turn the picture for display (default `VIDEO_ROTATION_0`)."""
    @property
    def data(self) -> bytes:
        """A copy of the payload (`b""` when empty)."""
    def SetData(self, data: bytes, /) -> None:
        """Replaces the payload with a copy of `data` (`bytes` only). `SendVideoFrame` refuses an
        empty payload."""
    @property
    def size(self) -> int:
        """The payload's length in bytes."""

class PixelFrame(metaclass=_pybind11_type):
    """A raw picture: its geometry, pixel format and pixels, which `SetData` and `data` copy.

    Planes follow one another without padding. For a `width` x `height` picture the payload is,
    with `w2 = (width + 1) // 2` and `h2 = (height + 1) // 2`:

    - `VIDEO_PIXEL_FORMAT_YUV420p`: `width * height + 2 * w2 * h2` bytes (Y, then U and V);
    - `VIDEO_PIXEL_FORMAT_YUVA420p`: `2 * width * height + 2 * w2 * h2` bytes;
    - `VIDEO_PIXEL_FORMAT_RGBA`: `4 * width * height` bytes.

    `QOLTCloud.SendPixelFrame` refuses any other size.
    """

    def __init__(self) -> None:
        """An empty 0 x 0 YUV420p picture, unrotated, `pts` 0."""
    @property
    def pts(self) -> int:
        """Presentation time stamp in milliseconds (unsigned 32-bit, default 0)."""
    @pts.setter
    def pts(self, value: _Int) -> None: ...
    format: VideoPixelFormat
    """The pixel layout (default `VIDEO_PIXEL_FORMAT_YUV420p`)."""
    @property
    def height(self) -> int:
        """Height in pixels (unsigned 32-bit, default 0)."""
    @height.setter
    def height(self, value: _Int) -> None: ...
    @property
    def width(self) -> int:
        """Width in pixels (unsigned 32-bit, default 0)."""
    @width.setter
    def width(self, value: _Int) -> None: ...
    rotation: VideoRotation
    """How far to turn the picture for display (default `VIDEO_ROTATION_0`)."""
    @property
    def data(self) -> bytes:
        """A copy of the pixels (`b""` when empty); a 1080p picture is copied at memory speed,
        so read it once."""
    def SetData(self, data: bytes, /) -> None:
        """Replaces the pixels with a copy of `data` (`bytes` only)."""
    @property
    def size(self) -> int:
        """The payload's length in bytes."""

class Error(metaclass=_pybind11_type):
    """The result codes of the SDK: what cloud operations return and what `OnError` reports.

    Compare with `==` (`result == ERR_OK`), never with `is`, and don't use a member's truth value:
    every member, `ERR_OK` included, is true. A code that no member names (a newer SDK's) still
    converts: `Error(-9)`, whose `name` is `"???"`."""

    ERR_OK: ClassVar[Error]  # value = 0
    """Success: the call was accepted. Value 0."""
    ERR_FAILED: ClassVar[Error]  # value = -1
    """The SDK could not complete the call (the loopback: memory or threads exhausted; the reason
    goes to the log). Nothing changed; the call may be retried. Value -1."""
    ERR_INVALID_PARAMETER: ClassVar[Error]  # value = -2
    """An argument is out of range or does not fit the current setup (say a frame in the wrong
    format). Value -2."""
    ERR_INVALID_OPERATION: ClassVar[Error]  # value = -3
    """The operation does not fit the cloud's state: sending without a channel, subscribing outside a
    room, entering twice, an audience member creating a channel. Value -3."""
    ERR_NOT_SUPPORTED: ClassVar[Error]  # value = -4
    """The SDK does not support the operation. Value -4."""
    ERR_REQUEST_SERVER_TIMEOUT: ClassVar[Error]  # value = -6
    """The room service did not answer in time (never from the loopback by itself). Value -6."""
    ERR_SERVER_PROCESS_FAILED: ClassVar[Error]  # value = -7
    """The room service failed to process the request (never from the loopback by itself). Value -7."""
    ERR_READ_TRY_AGAIN: ClassVar[Error]  # value = -102
    """`GetAudioFrame` has no whole frame to give yet; call again later. Value -102."""
    ERR_NETWORK_UNREACHABLE: ClassVar[Error]  # value = -103
    """The room service cannot be reached (never from the loopback by itself). Value -103."""
    ERR_ENTER_ROOM_FAILED: ClassVar[Error]  # value = -3301
    """Entering the room failed; `OnError` reports it when the user id is already in the room. Value -3301."""
    ERR_INVALID_SDK_APP_ID: ClassVar[Error]  # value = -3317
    """`EnterRoom`: `RoomParams.sdk_app_id` is 0. Value -3317."""
    ERR_INVALID_ROOM_ID: ClassVar[Error]  # value = -3318
    """`EnterRoom`: the room has neither a number nor a name. Value -3318."""
    ERR_INVALID_USER_ID: ClassVar[Error]  # value = -3319
    """`EnterRoom`, `Subscribe`, `Unsubscribe`: the user id is empty. Value -3319."""
    ERR_INVALID_USER_SIG: ClassVar[Error]  # value = -3320
    """`EnterRoom`: `RoomParams.user_sig` is empty. Value -3320."""
    ERR_SERVICE_SUSPENDED: ClassVar[Error]  # value = -100013
    """The application's service is suspended (never from the loopback by itself). Value -100013."""
    ERR_BANNED_BY_SERVER: ClassVar[Error]  # value = -205
    """The room service removed this user (never from the loopback by itself). Value -205."""
    __members__: ClassVar[dict[str, Error]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"ERR_OK"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class VideoCodecType(metaclass=_pybind11_type):
    """How an encoded video frame is coded."""

    VIDEO_CODEC_TYPE_H264: ClassVar[VideoCodecType]  # value = 0
    """H.264 (AVC). Value 0."""
    VIDEO_CODEC_TYPE_H265: ClassVar[VideoCodecType]  # value = 1
    """H.265 (HEVC). Value 1."""
    __members__: ClassVar[dict[str, VideoCodecType]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"VIDEO_CODEC_TYPE_H264"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class AudioCodecType(metaclass=_pybind11_type):
    """How an audio payload is coded."""

    AUDIO_CODEC_TYPE_PCM: ClassVar[AudioCodecType]  # value = 0
    """Uncoded 16-bit signed little-endian samples, channels interleaved. Value 0."""
    AUDIO_CODEC_TYPE_OPUS: ClassVar[AudioCodecType]  # value = 1
    """Opus packets. Value 1."""
    AUDIO_CODEC_TYPE_AAC: ClassVar[AudioCodecType]  # value = 2
    """AAC frames. Value 2."""
    __members__: ClassVar[dict[str, AudioCodecType]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"AUDIO_CODEC_TYPE_PCM"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class QOLTRole(metaclass=_pybind11_type):
    """A user's role in a room."""

    QOLT_ROLE_ANCHOR: ClassVar[QOLTRole]  # value = 0
    """Publishes audio and video and is announced to everyone in the room. Value 0."""
    QOLT_ROLE_AUDIENCE: ClassVar[QOLTRole]  # value = 1
    """Only receives: cannot create channels and is announced to nobody. Value 1."""
    __members__: ClassVar[dict[str, QOLTRole]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"QOLT_ROLE_ANCHOR"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class QOLTScene(metaclass=_pybind11_type):
    """The kind of session a cloud enters a room for; the loopback only journals it."""

    QOLT_SCENE_VIDEO_CALL: ClassVar[QOLTScene]  # value = 0
    """A video call (the default). Value 0."""
    QOLT_SCENE_AUDIO_CALL: ClassVar[QOLTScene]  # value = 1
    """An audio call. Value 1."""
    QOLT_SCENE_LIVE: ClassVar[QOLTScene]  # value = 2
    """A live broadcast with an audience. Value 2."""
    QOLT_SCENE_VOICE_CHAT: ClassVar[QOLTScene]  # value = 3
    """A voice chat room. Value 3."""
    QOLT_SCENE_RECORD: ClassVar[QOLTScene]  # value = 4
    """A recording session. Value 4."""
    __members__: ClassVar[dict[str, QOLTScene]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"QOLT_SCENE_VIDEO_CALL"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class StreamType(metaclass=_pybind11_type):
    """A user's streams: their audio and up to three video streams."""

    STREAM_TYPE_UNKNOWN: ClassVar[StreamType]  # value = -1
    """No stream; refused by every operation. Value -1."""
    STREAM_TYPE_VIDEO_HIGH: ClassVar[StreamType]  # value = 2
    """The main video stream; SEI messages ride on it when it is published. Value 2."""
    STREAM_TYPE_VIDEO_LOW: ClassVar[StreamType]  # value = 3
    """A smaller version of the main video stream. Value 3."""
    STREAM_TYPE_VIDEO_AUX: ClassVar[StreamType]  # value = 7
    """An auxiliary video stream (say a shared screen). Value 7."""
    STREAM_TYPE_AUDIO: ClassVar[StreamType]  # value = 1
    """The user's audio; for `Subscribe` and `Unsubscribe` only. Value 1."""
    __members__: ClassVar[dict[str, StreamType]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"STREAM_TYPE_UNKNOWN"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class AudioObtainMethod(metaclass=_pybind11_type):
    """How a cloud receives remote audio (see `AudioObtainParams`)."""

    AUDIO_OBTAIN_METHOD_GET: ClassVar[AudioObtainMethod]  # value = 0
    """The program pulls mixed frames with `QOLTCloud.GetAudioFrame`; no audio events. Value 0."""
    AUDIO_OBTAIN_METHOD_CALLBACK: ClassVar[AudioObtainMethod]  # value = 1
    """Audio arrives as events (the default). Value 1."""
    __members__: ClassVar[dict[str, AudioObtainMethod]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"AUDIO_OBTAIN_METHOD_GET"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class NetworkQuality(metaclass=_pybind11_type):
    """How good a user's connection is, from best to worst."""

    NETWORK_QUALITY_UNKNOWN: ClassVar[NetworkQuality]  # value = 0
    """Not measured yet. Value 0."""
    NETWORK_QUALITY_EXCELLENT: ClassVar[NetworkQuality]  # value = 1
    """Excellent; what the loopback always reports. Value 1."""
    NETWORK_QUALITY_GOOD: ClassVar[NetworkQuality]  # value = 2
    """Good. Value 2."""
    NETWORK_QUALITY_POOR: ClassVar[NetworkQuality]  # value = 3
    """Poor: some loss or delay. Value 3."""
    NETWORK_QUALITY_BAD: ClassVar[NetworkQuality]  # value = 4
    """Bad: noticeable loss or delay. Value 4."""
    NETWORK_QUALITY_VERY_BAD: ClassVar[NetworkQuality]  # value = 5
    """Very bad: barely usable. Value 5."""
    NETWORK_QUALITY_DOWN: ClassVar[NetworkQuality]  # value = 6
    """No connection; the value of a new `NetworkQualityInfo`. Value 6."""
    __members__: ClassVar[dict[str, NetworkQuality]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"NETWORK_QUALITY_UNKNOWN"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class ConnectionState(metaclass=_pybind11_type):
    """The state of a cloud's connection to the room service (`OnConnectionStateChanged`)."""

    CONNECTION_STATE_INIT: ClassVar[ConnectionState]  # value = 0
    """Never connected: a new cloud. Value 0."""
    CONNECTION_STATE_DISCONNECTED: ClassVar[ConnectionState]  # value = 1
    """Not connected: after leaving a room, or when entering failed. Value 1."""
    CONNECTION_STATE_CONNECTING: ClassVar[ConnectionState]  # value = 2
    """Entering a room. Value 2."""
    CONNECTION_STATE_CONNECTED: ClassVar[ConnectionState]  # value = 3
    """In a room. Value 3."""
    __members__: ClassVar[dict[str, ConnectionState]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"CONNECTION_STATE_INIT"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class VideoRotation(metaclass=_pybind11_type):
    """How far a picture must be turned clockwise for display, in quarter turns."""

    VIDEO_ROTATION_0: ClassVar[VideoRotation]  # value = 0
    """Upright. Value 0."""
    VIDEO_ROTATION_90: ClassVar[VideoRotation]  # value = 1
    """A quarter turn (90 degrees). Value 1."""
    VIDEO_ROTATION_180: ClassVar[VideoRotation]  # value = 2
    """Upside down (180 degrees). Value 2."""
    VIDEO_ROTATION_270: ClassVar[VideoRotation]  # value = 3
    """Three quarter turns (270 degrees). Value 3."""
    __members__: ClassVar[dict[str, VideoRotation]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"VIDEO_ROTATION_0"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

class VideoPixelFormat(metaclass=_pybind11_type):
    """The layout of a raw picture's pixels (see `PixelFrame` for the sizes)."""

    VIDEO_PIXEL_FORMAT_YUV420p: ClassVar[VideoPixelFormat]  # value = 0
    """Planar Y, U, V; U and V at half width and height (I420). Value 0."""
    VIDEO_PIXEL_FORMAT_YUVA420p: ClassVar[VideoPixelFormat]  # value = 1
    """YUV420p followed by a full-size alpha plane. Value 1."""
    VIDEO_PIXEL_FORMAT_RGBA: ClassVar[VideoPixelFormat]  # value = 2
    """Packed 8-bit red, green, blue, alpha: 4 bytes per pixel. Value 2."""
    __members__: ClassVar[dict[str, VideoPixelFormat]]
    def __init__(self, value: _Int) -> None:
        """The member with this value; a value that no member has is kept too (its `name` is `"???"`)."""
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: _Int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, such as `"VIDEO_PIXEL_FORMAT_YUV420p"`."""
    @property
    def value(self) -> int:
        """The member's integer value, as the SDK uses it."""

ERR_OK: Error
"""`Error.ERR_OK` (0)."""
ERR_FAILED: Error
"""`Error.ERR_FAILED` (-1)."""
ERR_INVALID_PARAMETER: Error
"""`Error.ERR_INVALID_PARAMETER` (-2)."""
ERR_INVALID_OPERATION: Error
"""`Error.ERR_INVALID_OPERATION` (-3)."""
ERR_NOT_SUPPORTED: Error
"""`Error.ERR_NOT_SUPPORTED` (-4)."""
ERR_REQUEST_SERVER_TIMEOUT: Error
"""`Error.ERR_REQUEST_SERVER_TIMEOUT` (-6)."""
ERR_SERVER_PROCESS_FAILED: Error
"""`Error.ERR_SERVER_PROCESS_FAILED` (-7)."""
ERR_READ_TRY_AGAIN: Error
"""`Error.ERR_READ_TRY_AGAIN` (-102)."""
ERR_NETWORK_UNREACHABLE: Error
"""`Error.ERR_NETWORK_UNREACHABLE` (-103)."""
ERR_ENTER_ROOM_FAILED: Error
"""`Error.ERR_ENTER_ROOM_FAILED` (-3301)."""
ERR_INVALID_SDK_APP_ID: Error
"""`Error.ERR_INVALID_SDK_APP_ID` (-3317)."""
ERR_INVALID_ROOM_ID: Error
"""`Error.ERR_INVALID_ROOM_ID` (-3318)."""
ERR_INVALID_USER_ID: Error
"""`Error.ERR_INVALID_USER_ID` (-3319)."""
ERR_INVALID_USER_SIG: Error
"""`Error.ERR_INVALID_USER_SIG` (-3320)."""
ERR_SERVICE_SUSPENDED: Error
"""`Error.ERR_SERVICE_SUSPENDED` (-100013)."""
ERR_BANNED_BY_SERVER: Error
"""`Error.ERR_BANNED_BY_SERVER` (-205)."""
VIDEO_CODEC_TYPE_H264: VideoCodecType
"""`VideoCodecType.VIDEO_CODEC_TYPE_H264` (0)."""
VIDEO_CODEC_TYPE_H265: VideoCodecType
"""`VideoCodecType.VIDEO_CODEC_TYPE_H265` (1)."""
AUDIO_CODEC_TYPE_PCM: AudioCodecType
"""`AudioCodecType.AUDIO_CODEC_TYPE_PCM` (0)."""
AUDIO_CODEC_TYPE_OPUS: AudioCodecType
"""`AudioCodecType.AUDIO_CODEC_TYPE_OPUS` (1)."""
AUDIO_CODEC_TYPE_AAC: AudioCodecType
"""`AudioCodecType.AUDIO_CODEC_TYPE_AAC` (2)."""
QOLT_ROLE_ANCHOR: QOLTRole
"""`QOLTRole.QOLT_ROLE_ANCHOR` (0)."""
QOLT_ROLE_AUDIENCE: QOLTRole
"""`QOLTRole.QOLT_ROLE_AUDIENCE` (1)."""
QOLT_SCENE_VIDEO_CALL: QOLTScene
"""`QOLTScene.QOLT_SCENE_VIDEO_CALL` (0)."""
QOLT_SCENE_AUDIO_CALL: QOLTScene
"""`QOLTScene.QOLT_SCENE_AUDIO_CALL` (1)."""
QOLT_SCENE_LIVE: QOLTScene
"""`QOLTScene.QOLT_SCENE_LIVE` (2)."""
QOLT_SCENE_VOICE_CHAT: QOLTScene
"""`QOLTScene.QOLT_SCENE_VOICE_CHAT` (3)."""
QOLT_SCENE_RECORD: QOLTScene
"""`QOLTScene.QOLT_SCENE_RECORD` (4)."""
STREAM_TYPE_UNKNOWN: StreamType
"""`StreamType.STREAM_TYPE_UNKNOWN` (-1)."""
STREAM_TYPE_VIDEO_HIGH: StreamType
"""`StreamType.STREAM_TYPE_VIDEO_HIGH` (2)."""
STREAM_TYPE_VIDEO_LOW: StreamType
"""`StreamType.STREAM_TYPE_VIDEO_LOW` (3)."""
STREAM_TYPE_VIDEO_AUX: StreamType
"""`StreamType.STREAM_TYPE_VIDEO_AUX` (7)."""
STREAM_TYPE_AUDIO: StreamType
"""`StreamType.STREAM_TYPE_AUDIO` (1)."""
AUDIO_OBTAIN_METHOD_GET: AudioObtainMethod
"""`AudioObtainMethod.AUDIO_OBTAIN_METHOD_GET` (0)."""
AUDIO_OBTAIN_METHOD_CALLBACK: AudioObtainMethod
"""`AudioObtainMethod.AUDIO_OBTAIN_METHOD_CALLBACK` (1)."""
NETWORK_QUALITY_UNKNOWN: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_UNKNOWN` (0)."""
NETWORK_QUALITY_EXCELLENT: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_EXCELLENT` (1)."""
NETWORK_QUALITY_GOOD: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_GOOD` (2)."""
NETWORK_QUALITY_POOR: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_POOR` (3)."""
NETWORK_QUALITY_BAD: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_BAD` (4)."""
NETWORK_QUALITY_VERY_BAD: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_VERY_BAD` (5)."""
NETWORK_QUALITY_DOWN: NetworkQuality
"""`NetworkQuality.NETWORK_QUALITY_DOWN` (6)."""
CONNECTION_STATE_INIT: ConnectionState
"""`ConnectionState.CONNECTION_STATE_INIT` (0)."""
CONNECTION_STATE_DISCONNECTED: ConnectionState
"""`ConnectionState.CONNECTION_STATE_DISCONNECTED` (1)."""
CONNECTION_STATE_CONNECTING: ConnectionState
"""`ConnectionState.CONNECTION_STATE_CONNECTING` (2)."""
CONNECTION_STATE_CONNECTED: ConnectionState
"""`ConnectionState.CONNECTION_STATE_CONNECTED` (3)."""
VIDEO_ROTATION_0: VideoRotation
"""`VideoRotation.VIDEO_ROTATION_0` (0)."""
VIDEO_ROTATION_90: VideoRotation
"""`VideoRotation.VIDEO_ROTATION_90` (1)."""
VIDEO_ROTATION_180: VideoRotation
"""`VideoRotation.VIDEO_ROTATION_180` (2)."""
VIDEO_ROTATION_270: VideoRotation
"""`VideoRotation.VIDEO_ROTATION_270` (3)."""
VIDEO_PIXEL_FORMAT_YUV420p: VideoPixelFormat
"""`VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUV420p` (0)."""
VIDEO_PIXEL_FORMAT_YUVA420p: VideoPixelFormat
"""`VideoPixelFormat.VIDEO_PIXEL_FORMAT_YUVA420p` (1)."""
VIDEO_PIXEL_FORMAT_RGBA: VideoPixelFormat
"""`VideoPixelFormat.VIDEO_PIXEL_FORMAT_RGBA` (2)."""

def SetLogPath(path: _CText) -> bool:
    """Writes the SDK's log to `mirelo_<pid>.log` in the folder `path` (`str` or `bytes`), creating
    the folder if needed; process-wide, for every cloud.

    The log names users and rooms, so the file is created readable by its owner only (mode 0600,
    whatever the umask), and a symbolic link, FIFO, directory or device under its name, another
    user's file or a file with other hard links is refused, never written through. Returns `True`
    when the log will be written there; `False`, keeping the previous setting, for `None`, an empty
    path, a folder that cannot be created or written, or a refused file (the reason is logged; see
    also `mirelo.loopback.settings()["log_file_error"]`). A NUL character raises `ValueError`.
    """

def SetLogLevel(level: _Int) -> None:
    """Writes only log lines at `level` or above: 0 verbose, 1 debug, 2 info (the default),
    3 warning, 4 error, 5 fatal, 6 nothing. Values outside 0 to 6 are clamped."""

def EnableConsoleLog() -> None:
    """Copies every log line to standard error as well (off by default)."""

def DisableConsoleLog() -> None:
    """Stops copying log lines to standard error."""

def DisableLogCompress(disabled: object) -> None:
    """Turns compression of the log file off (`True`) or on (`False`). The loopback never
    compresses its log and only keeps the setting."""

def DisableLogFile(disabled: object) -> None:
    """Stops writing the log file (`True`) or writes it again (`False`), under the folder set by
    `SetLogPath`. When the file is refused on reopening, no log is written and
    `mirelo.loopback.settings()["log_file_error"]` says why."""

def SetSocks5Proxy(ip: _CText, port: _Int, username: _CText, password: _CText) -> bool:
    """Routes the SDK's traffic through the SOCKS5 proxy at `ip`:`port`, logging in with
    `username` and `password` (each may be `None`).

    Returns `False` for an empty or `None` `ip` or a `port` of 0; a port outside 0 to 65535 raises
    `TypeError`, a NUL character in a text `ValueError`. The password is never kept as text: the
    SDK's journal and settings only say whether one was given. The loopback has no network and
    only keeps the setting (`mirelo.loopback.settings()["proxy"]`).
    """

def SetEnvironment(env: _CText) -> bool:
    """Picks the SDK's service environment: `"production"` (the default), `"staging"`, `"test"` or
    `"development"`. Returns `False`, keeping the previous one, for any other name or `None`."""
