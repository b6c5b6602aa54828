"""A handler base class whose every event does nothing, so subclasses define only what they need."""

from __future__ import annotations

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

__all__ = ["Delegate"]


class Delegate(QOLTCloudDelegate):
    """`QOLTCloudDelegate` with a method for each of the 22 events, each doing nothing.

    The SDK treats a missing handler method for any of the 18 required events as a failure of that
    event (the loopback records it in `mirelo.loopback.failures()`); deriving from this class instead
    of `QOLTCloudDelegate` means only the events a program cares about need a method. Every method is
    called on an SDK thread with the interpreter lock held: keep handlers short and never block in
    them.
    """

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

    def OnSeiMessageReceived(self, user_id: str | None, stream_type: StreamType, message_type: int, message: bytes) -> None:
        pass

    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes) -> None:
        pass

    def OnMissCustomCmdMsg(self, user_id: str | None, cmd_id: int, error_code: int, missed: int) -> None:
        pass

    def OnNetworkQuality(self, local: NetworkQualityInfo, remote: list[NetworkQualityInfo]) -> None:
        pass
