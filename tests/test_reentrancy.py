"""Handlers that call back into the SDK from inside their events: no deadlock, nothing lost.

A deadlock here would hang the interpreter lock, which pytest-timeout cannot interrupt; the native
watchdog fails the run instead.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

import pytest

from conftest import RecordingHandler, RoomRig, enter_params, pixel_frame, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

pytestmark = pytest.mark.usefixtures("native_deadlock_guard")

AUDIO, HIGH = m.STREAM_TYPE_AUDIO, m.STREAM_TYPE_VIDEO_HIGH


def tone() -> m.AudioFrame:
    """20 ms of 48 kHz mono: what a default audio channel takes."""
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(range(256)) * 7 + bytes(128))
    return frame


class CallingBack(RecordingHandler):
    """When `trigger` arrives, calls every method of its own cloud from the event thread."""

    def __init__(self, trigger: str) -> None:
        super().__init__()
        self.trigger = trigger
        self.rig: Any = None
        self.results: dict[str, Any] = {}
        self.errors: list[BaseException] = []
        self.done = threading.Event()

    def record(self, name: str, args: tuple[Any, ...]) -> None:
        super().record(name, args)
        if name == self.trigger and not self.done.is_set():
            try:
                self.call_everything()
            except BaseException as error:  # noqa: BLE001 - handed to the test thread
                self.errors.append(error)
            self.done.set()

    def call_everything(self) -> None:
        cloud, r = self.rig.cloud, self.results
        r["Subscribe"] = cloud.Subscribe("peer", AUDIO)
        r["Unsubscribe"] = cloud.Unsubscribe("peer", HIGH)
        r["CreateLocalAudioChannel"] = cloud.CreateLocalAudioChannel(m.AudioEncodeParams())
        r["SendAudioFrame"] = cloud.SendAudioFrame(tone())
        r["SendContinuousAudioFrame"] = cloud.SendContinuousAudioFrame(tone(), False)
        r["GetAudioFrame"] = cloud.GetAudioFrame(m.AudioFrame())
        r["CreateLocalVideoChannel"] = cloud.CreateLocalVideoChannel(HIGH)
        r["SetVideoEncodeParam"] = cloud.SetVideoEncodeParam(HIGH, m.VideoEncodeParams())
        r["SendVideoFrame"] = cloud.SendVideoFrame(HIGH, video_frame())
        r["SendPixelFrame"] = cloud.SendPixelFrame(HIGH, pixel_frame())
        r["SendSeiMessage"] = cloud.SendSeiMessage(7, b"sei from a handler")
        r["SendCustomCmdMsg"] = cloud.SendCustomCmdMsg(3, b"cmd from a handler", True, True)
        r["EnableVoiceActivityDetection"] = cloud.EnableVoiceActivityDetection(m.VADParams())
        loopback.emit(self.rig.handle, "OnRequestChangeVideoEncodeBitrate", HIGH, 1)  # queued behind us
        loopback.flush()  # waits for every other cloud, not for this one
        r["DestroyLocalVideoChannel"] = cloud.DestroyLocalVideoChannel(HIGH)
        r["DestroyLocalAudioChannel"] = cloud.DestroyLocalAudioChannel()
        r["ExitRoom"] = cloud.ExitRoom()
        r["EnterRoom"] = cloud.EnterRoom(enter_params("actor"))


# What the calls return: everything succeeds, except GetAudioFrame, which has nothing buffered yet.
EXPECTED_RESULTS = {
    "Subscribe": 0,
    "Unsubscribe": 0,
    "CreateLocalAudioChannel": 0,
    "SendAudioFrame": 0,
    "SendContinuousAudioFrame": 0,
    "GetAudioFrame": int(m.ERR_READ_TRY_AGAIN),
    "CreateLocalVideoChannel": 0,
    "SetVideoEncodeParam": None,
    "SendVideoFrame": 0,
    "SendPixelFrame": 0,
    "SendSeiMessage": 0,
    "SendCustomCmdMsg": 1,
    "EnableVoiceActivityDetection": None,
    "DestroyLocalVideoChannel": 0,
    "DestroyLocalAudioChannel": 0,
    "ExitRoom": 0,
    "EnterRoom": 0,
}


@pytest.mark.parametrize(
    "trigger",
    [
        "OnRemoteUserEnterRoom",  # required, raised by the room service
        "OnRemoteAudioAvailable",  # required, raised by emit
        "OnSeiMessageReceived",  # guarded
        "OnMissCustomCmdMsg",  # optional
        "OnNetworkQuality",  # guarded
    ],
)
def test_a_handler_calls_every_method_of_its_own_cloud_and_what_it_sends_arrives(
    make_member: Callable[..., RoomRig], fresh_loopback: Any, trigger: str
) -> None:
    peer = make_member("peer")
    assert peer.cloud.Subscribe("actor", AUDIO) == 0
    assert peer.cloud.Subscribe("actor", HIGH) == 0
    loopback.flush()
    peer.mark()
    actor = CallingBack(trigger)
    actor.rig = RoomRig(actor, "actor")
    assert actor.rig.cloud.EnterRoom(enter_params("actor")) == 0  # the actor hears of the peer
    emitted = {
        "OnRemoteAudioAvailable": ("peer", True),
        "OnSeiMessageReceived": ("peer", HIGH, 1, b"go"),
        "OnMissCustomCmdMsg": ("peer", 1, 0, 1),
        "OnNetworkQuality": (None, []),
    }
    try:
        if trigger in emitted:
            actor.rig.emit(trigger, *emitted[trigger])
        assert actor.done.wait(30)
        assert not actor.errors
        assert actor.results == EXPECTED_RESULTS
        loopback.flush()
        received = peer.names()
        for event in (
            "OnRemoteAudioReceived",
            "OnRemoteVideoFrameReceived",
            "OnSeiMessageReceived",
            "OnReceiveCustomCmdMsg",
        ):
            assert event in received
        assert received[-2:] == ["OnRemoteUserExitRoom", "OnRemoteUserEnterRoom"]  # left and came back
        after = iter(actor.names()[actor.names().index(trigger) + 1 :])
        assert all(event in after for event in ("OnRequestChangeVideoEncodeBitrate", "OnExitRoom", "OnEnterRoom"))
        assert actor.rig.failures() == []
    finally:
        actor.rig.close()


class CrossCalling(RecordingHandler):
    """Each OnMissCustomCmdMsg calls into the other cloud: sends, subscribes, leaves, enters."""

    def __init__(self, user: str) -> None:
        super().__init__()
        self.user = user
        self.other: Any = None
        self.errors: list[BaseException] = []

    def OnMissCustomCmdMsg(self, user_id: str, cmd_id: int, error_code: int, missed: int) -> None:
        try:
            other = self.other.cloud
            other.SendCustomCmdMsg(2, b"cross", True, True)
            other.Subscribe(self.user, AUDIO)
            if missed % 10 == 0:
                other.ExitRoom()
                other.EnterRoom(enter_params(self.other.user_id))
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            self.errors.append(error)
        self.record("OnMissCustomCmdMsg", (user_id, cmd_id, error_code, missed))


def test_two_handlers_calling_into_each_others_clouds_at_once_both_finish(fresh_loopback: Any) -> None:
    rigs = [RoomRig(CrossCalling(user), user) for user in ("left", "right")]
    try:
        for rig in rigs:
            assert rig.cloud.EnterRoom(enter_params(rig.user_id)) == 0
        rigs[0].handler.other, rigs[1].handler.other = rigs[1], rigs[0]
        errors: list[BaseException] = []

        def drive(rig: RoomRig) -> None:
            try:
                for number in range(100):
                    loopback.emit(rig.handle, "OnMissCustomCmdMsg", "x", 1, 0, number, timeout=30)
            except BaseException as error:  # noqa: BLE001 - handed to the test thread
                errors.append(error)

        threads = [threading.Thread(target=drive, args=(rig,)) for rig in rigs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        assert not any(thread.is_alive() for thread in threads)
        assert not errors
        for rig in rigs:
            assert not rig.handler.errors
            assert [args[3] for name, args in rig.handler.calls if name == "OnMissCustomCmdMsg"] == list(range(100))
            assert rig.failures() == []
    finally:
        for rig in rigs:
            rig.close()
