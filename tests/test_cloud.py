"""The room client QOLTCloud: construction, lifetime, forwarding of every method, results and refusals."""

from __future__ import annotations

import gc
import weakref
from collections.abc import Callable
from typing import Any

import pytest

from conftest import CloudRig, RecordingHandler, audio_frame, pixel_frame, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

HIGH, LOW, AUX, AUDIO = m.STREAM_TYPE_VIDEO_HIGH, m.STREAM_TYPE_VIDEO_LOW, m.STREAM_TYPE_VIDEO_AUX, m.STREAM_TYPE_AUDIO
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def calls_of(handle: int, operation: str) -> list[tuple[Any, ...]]:
    return [args for h, op, args in loopback.journal() if h == handle and op == operation]


def match(actual: Any, expected: Any) -> bool:
    """Like ==, except that an expected dict needs only its own keys to be present and equal."""
    if isinstance(expected, dict):
        return isinstance(actual, dict) and all(k in actual and match(actual[k], v) for k, v in expected.items())
    if isinstance(expected, (list, tuple)):
        return (
            isinstance(actual, (list, tuple))
            and len(actual) == len(expected)
            and all(match(a, e) for a, e in zip(actual, expected))
        )
    return type(actual) is type(expected) and actual == expected


class TestConstruction:
    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [
            pytest.param((), {}, id="no-argument"),
            pytest.param((), {"delegate": "handler"}, id="keyword"),
            pytest.param(("handler", "handler"), {}, id="two-arguments"),
            pytest.param((1,), {}, id="int"),
            pytest.param((m.UserInfo(),), {}, id="other-class"),
        ],
    )
    def test_a_refused_construction_creates_no_sdk_cloud(
        self, fresh_loopback: Any, args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> None:
        handler = RecordingHandler()
        args = tuple(handler if a == "handler" else a for a in args)
        kwargs = {k: handler if v == "handler" else v for k, v in kwargs.items()}
        clouds_before = loopback.clouds()
        with pytest.raises(TypeError):
            m.QOLTCloud(*args, **kwargs)
        assert loopback.clouds() == clouds_before
        assert loopback.journal() == []

    def test_the_sdk_cloud_is_created_with_the_handlers_delegate(self, cloud: CloudRig) -> None:
        assert cloud.journal() == [("Create", (False,))]
        assert cloud.handle in loopback.clouds()

    def test_none_creates_a_cloud_without_delegate_whose_events_go_nowhere(
        self, make_cloud: Callable[..., CloudRig]
    ) -> None:
        rig = make_cloud(None)
        assert rig.journal() == [("Create", (True,))]
        rig.emit("OnEnterRoom")
        rig.emit("OnError", -1)
        loopback.flush()
        assert rig.failures() == []

    def test_a_direct_delegate_instance_is_accepted_and_its_events_fail_as_pure_virtual(
        self, make_cloud: Callable[..., CloudRig]
    ) -> None:
        rig = make_cloud(m.QOLTCloudDelegate())
        rig.emit("OnEnterRoom")
        assert rig.failures() == [
            ("OnEnterRoom", 'Tried to call pure virtual function "QOLTCloudDelegate::OnEnterRoom"')
        ]

    def test_one_handler_serves_two_clouds(self, make_cloud: Callable[..., CloudRig]) -> None:
        handler = RecordingHandler()
        first, second = make_cloud(handler), make_cloud(handler)
        first.emit("OnError", -1)
        second.emit("OnEnterRoom")
        first.close()
        second.emit("OnExitRoom")
        assert handler.names() == ["OnError", "OnEnterRoom", "OnExitRoom"]


class TestLifetime:
    def test_the_handler_is_kept_alive_and_keeps_receiving_after_the_program_drops_it(
        self, fresh_loopback: Any
    ) -> None:
        handler = RecordingHandler()
        calls = handler.calls
        alive = weakref.ref(handler)
        cloud = m.QOLTCloud(handler)
        (handle,) = [h for h, op, _ in loopback.journal() if op == "Create"]
        del handler
        gc.collect()
        assert alive() is not None
        loopback.emit(handle, "OnEnterRoom")
        assert calls == [("OnEnterRoom", ())]
        del cloud
        gc.collect()
        assert alive() is None

    def test_destroy_runs_once_and_completes_before_the_handler_is_released(self, fresh_loopback: Any) -> None:
        handler = RecordingHandler()
        cloud = m.QOLTCloud(handler)
        (handle,) = loopback.clouds()[-1:]
        seen_at_release: list[tuple[int, bool]] = []
        weakref.finalize(
            handler, lambda: seen_at_release.append((len(calls_of(handle, "Destroy")), handle in loopback.clouds()))
        )
        del handler
        gc.collect()
        assert seen_at_release == []
        del cloud
        assert seen_at_release == [(1, False)]
        gc.collect()
        assert len(calls_of(handle, "Destroy")) == 1

    def test_destroying_the_cloud_leaves_a_handler_the_program_still_holds_usable(self, fresh_loopback: Any) -> None:
        handler = RecordingHandler()
        cloud = m.QOLTCloud(handler)
        handle = loopback.clouds()[-1]
        del cloud
        assert calls_of(handle, "Destroy") == [()]
        assert handle not in loopback.clouds()
        m.QOLTCloudDelegate.OnEnterRoom(handler)
        assert handler.names() == ["OnEnterRoom"]

    def test_a_handler_that_drops_its_own_cloud_in_an_event_does_not_hang(self, fresh_loopback: Any) -> None:
        class SelfDropping(RecordingHandler):
            def OnExitRoom(self) -> None:
                self.record("OnExitRoom", ())
                self.cloud = None

        handler = SelfDropping()
        handler.cloud = m.QOLTCloud(handler)
        handle = loopback.clouds()[-1]
        del handler
        loopback.emit(handle, "OnExitRoom")
        loopback.flush()
        assert calls_of(handle, "Destroy") == [()]


def enter_room_params() -> m.EnterRoomParams:
    params = m.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = 4294967295
    params.room.str_room_id = m.QoltString("room-1")
    params.room.user_id = m.QoltString("alice")
    params.room.user_sig = m.QoltString("sig")
    params.scene = m.QOLT_SCENE_LIVE
    params.role = m.QOLT_ROLE_AUDIENCE
    params.private_map_key = m.QoltString("key")
    params.audio_obtain_params.audio_obtain_method = m.AUDIO_OBTAIN_METHOD_GET
    params.audio_obtain_params.output_sample_rate = 48000
    params.use_pixel_frame_input = True
    return params


def audio_encode_params() -> m.AudioEncodeParams:
    params = m.AudioEncodeParams()
    params.channels = 2
    params.sample_rate = 44100
    params.need_encode = False
    return params


def video_encode_params() -> m.VideoEncodeParams:
    params = m.VideoEncodeParams()
    params.frame_rate = 30
    params.bitrate_bps = INT32_MAX
    return params


def vad_params() -> m.VADParams:
    params = m.VADParams()
    params.enable = True
    return params


AUDIO_FRAME_FIELDS = {
    "pts": 4294967295,
    "sample_rate": 48000,
    "channels": 2,
    "bits_per_sample": 16,
    "codec": 1,
    "has_voice": True,
    "data": b"\x00\x01pcm\x00\xff",
}

# (method, positional args, keyword args, SDK operation, journaled arguments; dicts need only the given keys).
FORWARDING = [
    pytest.param(
        "EnterRoom",
        (enter_room_params(),),
        {},
        "EnterRoom",
        (
            {
                "room": {
                    "room_id": 4294967295,
                    "str_room_id": b"room-1",
                    "user_id": b"alice",
                    "user_sig": True,
                    "sdk_app_id": 1400000001,
                },
                "scene": 2,
                "role": 1,
                "private_map_key": True,
                "audio_obtain_params": {"audio_obtain_method": 0, "output_sample_rate": 48000},
                "use_pixel_frame_input": True,
                "use_pixel_frame_output": False,
            },
        ),
        id="EnterRoom",
    ),
    pytest.param("ExitRoom", (), {}, "ExitRoom", (), id="ExitRoom"),
    pytest.param("Subscribe", ("alice", HIGH), {}, "Subscribe", (b"alice", 2), id="Subscribe"),
    pytest.param("Subscribe", ("ünï", AUDIO), {}, "Subscribe", ("ünï".encode(), 1), id="Subscribe-utf8"),
    pytest.param("Subscribe", (b"\xffraw", AUDIO), {}, "Subscribe", (b"\xffraw", 1), id="Subscribe-raw-bytes"),
    pytest.param(
        "Subscribe", (), {"user_id": "alice", "type": AUX}, "Subscribe", (b"alice", 7), id="Subscribe-keywords"
    ),
    pytest.param("Unsubscribe", (bytearray(b"bob"), LOW), {}, "Unsubscribe", (b"bob", 3), id="Unsubscribe-bytearray"),
    pytest.param("GetAudioFrame", (audio_frame(),), {}, "GetAudioFrame", (AUDIO_FRAME_FIELDS,), id="GetAudioFrame"),
    pytest.param("GetAudioFrame", (None,), {}, "GetAudioFrame", (None,), id="GetAudioFrame-none"),
    pytest.param(
        "CreateLocalAudioChannel",
        (audio_encode_params(),),
        {},
        "CreateLocalAudioChannel",
        ({"channels": 2, "sample_rate": 44100, "frame_length_ms": 20, "bitrate_bps": 51200, "need_encode": False},),
        id="CreateLocalAudioChannel",
    ),
    pytest.param("DestroyLocalAudioChannel", (), {}, "DestroyLocalAudioChannel", (), id="DestroyLocalAudioChannel"),
    pytest.param("SendAudioFrame", (audio_frame(),), {}, "SendAudioFrame", (AUDIO_FRAME_FIELDS,), id="SendAudioFrame"),
    pytest.param(
        "SendContinuousAudioFrame",
        (audio_frame(),),
        {"clear_send_queue": 1},
        "SendContinuousAudioFrame",
        (AUDIO_FRAME_FIELDS, True),
        id="SendContinuousAudioFrame",
    ),
    pytest.param("CreateLocalVideoChannel", (AUX,), {}, "CreateLocalVideoChannel", (7,), id="CreateLocalVideoChannel"),
    pytest.param(
        "DestroyLocalVideoChannel", (HIGH,), {}, "DestroyLocalVideoChannel", (2,), id="DestroyLocalVideoChannel"
    ),
    pytest.param(
        "SendVideoFrame",
        (HIGH, video_frame()),
        {},
        "SendVideoFrame",
        (
            2,
            {
                "pts": 90000,
                "dts": 4294967295,
                "codec": 1,
                "is_key_frame": True,
                "rotation": 3,
                "data": video_frame().data,
            },
        ),
        id="SendVideoFrame",
    ),
    pytest.param(
        "SendPixelFrame",
        (LOW, pixel_frame()),
        {},
        "SendVideoFrame",
        (3, {"pts": 7, "format": 2, "height": 2, "width": 2, "rotation": 1, "data": bytes(range(16))}),
        id="SendPixelFrame",
    ),
    pytest.param(
        "SetVideoEncodeParam",
        (HIGH, video_encode_params()),
        {},
        "SetVideoEncodeParam",
        (2, {"frame_rate": 30, "bitrate_bps": INT32_MAX, "gop_in_seconds": 3}),
        id="SetVideoEncodeParam",
    ),
    pytest.param("SendSeiMessage", (-1, b"a\x00b\x00"), {}, "SendSeiMessage", (-1, b"a\x00b\x00"), id="SendSeiMessage"),
    pytest.param("SendSeiMessage", (INT32_MAX, b""), {}, "SendSeiMessage", (INT32_MAX, b""), id="SendSeiMessage-empty"),
    pytest.param(
        "SendCustomCmdMsg",
        (-1, b"\x00cmd", True, False),
        {},
        "SendCustomCmdMsg",
        (4294967295, b"\x00cmd", True, False),
        id="SendCustomCmdMsg-negative-cmd-id",
    ),
    pytest.param(
        "SendCustomCmdMsg",
        (),
        {"cmd_id": INT32_MIN, "message": b"", "reliable": False, "ordered": True},
        "SendCustomCmdMsg",
        (2**31, b"", False, True),
        id="SendCustomCmdMsg-keywords-empty",
    ),
    pytest.param(
        "EnableVoiceActivityDetection",
        (vad_params(),),
        {},
        "EnableVoiceActivityDetection",
        ({"enable": True},),
        id="EnableVoiceActivityDetection",
    ),
]

VOID_METHODS = ("SetVideoEncodeParam", "EnableVoiceActivityDetection")


@pytest.mark.parametrize(("method", "args", "kwargs", "operation", "journaled"), FORWARDING)
def test_a_method_calls_its_sdk_operation_once_with_the_arguments(
    cloud: CloudRig,
    loopback_config: Any,
    method: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    operation: str,
    journaled: Any,
) -> None:
    loopback_config(journal_frame_payloads=True)  # the frames' payloads as the SDK got them
    if method not in VOID_METHODS:  # an injected result keeps the room service out of it
        loopback.inject(cloud.handle, operation, False if operation == "SendCustomCmdMsg" else -7)
    getattr(cloud.cloud, method)(*args, **kwargs)
    calls = cloud.journal()[1:]  # after Create
    assert len(calls) == 1
    assert calls[0][0] == operation
    assert match(calls[0][1], journaled), calls[0][1]


RESULT_METHODS = [
    pytest.param(p.values[0], p.values[1], p.values[2], p.values[3], id=p.id)
    for p in FORWARDING
    if p.values[0] not in VOID_METHODS and p.values[0] != "SendCustomCmdMsg"
]


@pytest.mark.parametrize("result", [-7, 0, -100013, INT32_MAX])
@pytest.mark.parametrize(("method", "args", "kwargs", "operation"), RESULT_METHODS)
def test_the_sdk_result_comes_back_as_a_plain_int(
    cloud: CloudRig, method: str, args: tuple[Any, ...], kwargs: dict[str, Any], operation: str, result: int
) -> None:
    loopback.inject(cloud.handle, operation, result)
    returned = getattr(cloud.cloud, method)(*args, **kwargs)
    assert type(returned) is int and returned == result


@pytest.mark.parametrize(("injected", "expected"), [(False, 0), (True, 1)])
def test_send_custom_cmd_msg_returns_the_sdk_bool_as_int(cloud: CloudRig, injected: bool, expected: int) -> None:
    loopback.inject(cloud.handle, "SendCustomCmdMsg", injected)
    returned = cloud.cloud.SendCustomCmdMsg(1, b"x", True, True)
    assert type(returned) is int and returned == expected


@pytest.mark.parametrize(
    ("method", "args"),
    [("SetVideoEncodeParam", (HIGH, m.VideoEncodeParams())), ("EnableVoiceActivityDetection", (m.VADParams(),))],
)
def test_the_void_methods_return_none(cloud: CloudRig, method: str, args: tuple[Any, ...]) -> None:
    assert getattr(cloud.cloud, method)(*args) is None


class BadBuffer(bytes):
    pass


# (method, positional args) refused by argument conversion before the SDK is called.
REFUSALS = [
    pytest.param("EnterRoom", (None,), id="EnterRoom-None"),
    pytest.param("EnterRoom", (m.RoomParams(),), id="EnterRoom-other-record"),
    pytest.param("ExitRoom", (1,), id="ExitRoom-surplus"),
    pytest.param("Subscribe", (None, HIGH), id="Subscribe-None-id"),
    pytest.param("Subscribe", ("alice", 2), id="Subscribe-int-for-StreamType"),
    pytest.param("Subscribe", ("alice", m.CONNECTION_STATE_INIT), id="Subscribe-other-enum"),
    pytest.param("Subscribe", (5, HIGH), id="Subscribe-int-id"),
    pytest.param("Subscribe", ("\ud800", HIGH), id="Subscribe-unencodable-id"),
    pytest.param("Unsubscribe", ("alice",), id="Unsubscribe-missing"),
    pytest.param("GetAudioFrame", (video_frame(),), id="GetAudioFrame-video-frame"),
    pytest.param("CreateLocalAudioChannel", (None,), id="CreateLocalAudioChannel-None"),
    pytest.param("SendAudioFrame", (None,), id="SendAudioFrame-None"),
    pytest.param("SendContinuousAudioFrame", (audio_frame(),), id="SendContinuousAudioFrame-missing-clear"),
    pytest.param("SendContinuousAudioFrame", (audio_frame(), "yes"), id="SendContinuousAudioFrame-str-bool"),
    pytest.param("CreateLocalVideoChannel", (2,), id="CreateLocalVideoChannel-int"),
    pytest.param("SendVideoFrame", (HIGH, pixel_frame()), id="SendVideoFrame-pixel-frame"),
    pytest.param("SendPixelFrame", (HIGH, video_frame()), id="SendPixelFrame-video-frame"),
    pytest.param("SetVideoEncodeParam", (HIGH, None), id="SetVideoEncodeParam-None"),
    pytest.param("SendSeiMessage", (1, bytearray(b"x")), id="SendSeiMessage-bytearray"),
    pytest.param("SendSeiMessage", (1, "text"), id="SendSeiMessage-str"),
    pytest.param("SendSeiMessage", (1, None), id="SendSeiMessage-None"),
    pytest.param("SendSeiMessage", (1.0, b"x"), id="SendSeiMessage-float-type"),
    pytest.param("SendSeiMessage", (2**31, b"x"), id="SendSeiMessage-type-above-int32"),
    pytest.param("SendCustomCmdMsg", (1.0, b"x", True, True), id="SendCustomCmdMsg-float"),
    pytest.param("SendCustomCmdMsg", (2**31, b"x", True, True), id="SendCustomCmdMsg-above-int32"),
    pytest.param("SendCustomCmdMsg", (1, bytearray(b"x"), True, True), id="SendCustomCmdMsg-bytearray"),
    pytest.param("SendCustomCmdMsg", (1, b"x", True), id="SendCustomCmdMsg-missing"),
    pytest.param("EnableVoiceActivityDetection", (None,), id="EnableVoiceActivityDetection-None"),
]


@pytest.mark.parametrize(("method", "args"), REFUSALS)
def test_an_argument_that_does_not_convert_raises_type_error_before_any_sdk_call(
    cloud: CloudRig, method: str, args: tuple[Any, ...]
) -> None:
    before = loopback.journal()
    with pytest.raises(TypeError):
        getattr(cloud.cloud, method)(*args)
    assert loopback.journal() == before


def test_an_unexpected_keyword_is_refused(cloud: CloudRig) -> None:
    before = loopback.journal()
    with pytest.raises(TypeError):
        cloud.cloud.Subscribe(user="alice", type=HIGH)
    assert loopback.journal() == before


def test_a_bytes_subclass_is_accepted_as_payload(cloud: CloudRig) -> None:
    loopback.inject(cloud.handle, "SendSeiMessage", 0)
    assert cloud.cloud.SendSeiMessage(1, BadBuffer(b"sub")) == 0
    assert cloud.journal()[-1] == ("SendSeiMessage", (1, b"sub"))
