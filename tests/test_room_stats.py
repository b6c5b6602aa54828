"""Load on loopback clouds: bounded queues drop media oldest first, never messages (state events that
cancel out are coalesced: tests/test_floods.py)."""

import threading
from typing import Any

from conftest import RecordingHandler, RoomRig, enter_params, video_frame
from mirelo import _mirelo as m
from mirelo import loopback


class StallingHandler(RecordingHandler):
    """The first video frame holds up the event thread until released."""

    def __init__(self) -> None:
        super().__init__()
        self.stalled = threading.Event()
        self.release = threading.Event()

    def OnRemoteVideoFrameReceived(self, *args: Any) -> None:
        self.record("OnRemoteVideoFrameReceived", args)
        if not self.stalled.is_set():
            self.stalled.set()
            self.release.wait(10)


def test_a_stalled_handler_loses_its_oldest_media_only(make_member: Any, loopback_config: Any) -> None:
    loopback_config(media_queue_bound=5)
    alice = make_member("alice")
    assert alice.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_HIGH) == 0
    bob = RoomRig(StallingHandler(), "bob")
    try:
        assert bob.cloud.EnterRoom(enter_params("bob")) == 0
        assert bob.cloud.Subscribe("alice", m.STREAM_TYPE_VIDEO_HIGH) == 0
        loopback.flush()
        bob.mark()
        before = loopback.stats()[bob.handle]
        for pts in range(20):
            frame = video_frame()
            frame.pts = pts
            assert alice.cloud.SendVideoFrame(m.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            if pts == 0:
                assert bob.handler.stalled.wait(5)
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        for _ in range(8):
            assert alice.cloud.SendCustomCmdMsg(1, b"kept", True, True)
        bob.handler.release.set()
        loopback.flush()
        events = bob.since()
        assert [args[2][1]["pts"] for name, args in events if name == "OnRemoteVideoFrameReceived"] == [
            0,
            15,
            16,
            17,
            18,
            19,
        ]
        assert [name for name, _ in events].count("OnReceiveCustomCmdMsg") == 8
        assert ("OnRemoteAudioAvailable", ("alice", True)) in events
        after = loopback.stats()[bob.handle]
        assert after["dropped"] - before["dropped"] == 14
        dropped_video = after["dropped_by_event"]["OnRemoteVideoReceived"] - before["dropped_by_event"].get(
            "OnRemoteVideoReceived", 0
        )
        assert dropped_video == 14
        assert after["raised"] - before["raised"] == 20 + 1 + 8
        assert after["delivered"] - before["delivered"] == 6 + 1 + 8
        assert after["queued"] == 0
    finally:
        bob.handler.release.set()
        bob.close()
