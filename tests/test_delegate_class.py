"""QOLTCloudDelegate used from Python: construction, the base event methods and what they convert."""

from __future__ import annotations

from typing import Any

import pytest

from conftest import (
    OPTIONAL_EVENT_METHODS,
    REQUIRED_EVENT_METHODS,
    RecordingHandler,
    assert_same,
    audio_frame,
    event_sample,
    network_quality,
    pixel_frame,
    plain,
    user_info,
    video_frame,
)
from mirelo import _mirelo as m

HIGH, LOW, AUX = m.STREAM_TYPE_VIDEO_HIGH, m.STREAM_TYPE_VIDEO_LOW, m.STREAM_TYPE_VIDEO_AUX


def pure_virtual(name: str) -> str:
    return f'Tried to call pure virtual function "QOLTCloudDelegate::{name}"'


class TestConstruction:
    def test_a_direct_instance_is_a_delegate(self) -> None:
        assert isinstance(m.QOLTCloudDelegate(), m.QOLTCloudDelegate)

    @pytest.mark.parametrize("args", [(1,), (None,)])
    def test_an_argument_is_refused(self, args: tuple[Any, ...]) -> None:
        with pytest.raises(TypeError):
            m.QOLTCloudDelegate(*args)

    def test_a_subclass_that_skips_the_base_init_cannot_be_instantiated(self) -> None:
        class NoBaseInit(m.QOLTCloudDelegate):
            def __init__(self) -> None:
                pass

        expected = f"{m.__name__}.QOLTCloudDelegate.__init__() must be called when overriding __init__"
        with pytest.raises(TypeError) as raised:
            NoBaseInit()
        assert str(raised.value) == expected

    @pytest.mark.parametrize(
        "name", ["OnUserVoiceVolume", "OnReceiveAsrMessage", "OnAsrServiceError", "OnRemoteVideoReceived"]
    )
    def test_the_class_has_no_member_for_slots_that_never_reach_python(self, name: str) -> None:
        assert not hasattr(m.QOLTCloudDelegate, name)


class TestWithoutAnOverride:
    @pytest.mark.parametrize("name", REQUIRED_EVENT_METHODS)
    def test_a_required_event_on_a_direct_instance_raises_the_pure_virtual_error(self, name: str) -> None:
        delegate = m.QOLTCloudDelegate()
        with pytest.raises(RuntimeError) as raised:
            getattr(delegate, name)(*event_sample(name).call)
        assert str(raised.value) == pure_virtual(name)

    @pytest.mark.parametrize("name", OPTIONAL_EVENT_METHODS)
    def test_an_optional_event_on_a_direct_instance_does_nothing(self, name: str) -> None:
        assert getattr(m.QOLTCloudDelegate(), name)(*event_sample(name).call) is None


class SuperCaller(m.QOLTCloudDelegate):
    """Handler methods that note their call, then call down to the base method through super()."""

    def __init__(self) -> None:
        super().__init__()
        self.called: list[str] = []

    def OnError(self, error: m.Error) -> None:
        self.called.append("OnError")
        super().OnError(error)

    def OnEnterRoom(self) -> None:
        self.called.append("OnEnterRoom")
        super().OnEnterRoom()

    def OnRemotePixelFrameReceived(self, user_id: str, stream_type: m.StreamType, frame: m.PixelFrame) -> None:
        self.called.append("OnRemotePixelFrameReceived")
        super().OnRemotePixelFrameReceived(user_id, stream_type, frame)

    def OnMissCustomCmdMsg(self, user_id: str, cmd_id: int, error_code: int, missed: int) -> None:
        self.called.append("OnMissCustomCmdMsg")
        return super().OnMissCustomCmdMsg(user_id, cmd_id, error_code, missed)

    def OnNetworkQuality(self, local: Any, remote: Any) -> None:
        self.called.append("OnNetworkQuality")
        return super().OnNetworkQuality(local, remote[0] if remote else None, len(remote))


class TestSuperCall:
    @pytest.mark.parametrize("name", ["OnError", "OnEnterRoom", "OnRemotePixelFrameReceived"])
    def test_a_required_event_reaching_the_base_from_its_own_override_raises_the_pure_virtual_error(
        self, name: str
    ) -> None:
        handler = SuperCaller()
        with pytest.raises(RuntimeError) as raised:
            getattr(handler, name)(*event_sample(name).call)
        assert str(raised.value) == pure_virtual(name)
        assert handler.called == [name]

    def test_an_optional_event_reaching_the_base_from_its_own_override_returns_none(self) -> None:
        handler = SuperCaller()
        assert handler.OnMissCustomCmdMsg("alice", 1, 2, 3) is None
        assert handler.OnNetworkQuality(network_quality("me", m.NETWORK_QUALITY_GOOD), []) is None
        assert handler.called == ["OnMissCustomCmdMsg", "OnNetworkQuality"]


# What the handler receives when a base method is called through the class, in plain form.
THROUGH_THE_CLASS = [
    pytest.param("OnError", (m.ERR_FAILED,), (("Error", -1),), id="OnError"),
    pytest.param("OnError", (m.Error(12345),), (("Error", 12345),), id="OnError-unnamed-value"),
    pytest.param(
        "OnConnectionStateChanged",
        (m.CONNECTION_STATE_INIT, m.CONNECTION_STATE_CONNECTED),
        (("ConnectionState", 0), ("ConnectionState", 3)),
        id="OnConnectionStateChanged",
    ),
    pytest.param("OnEnterRoom", (), (), id="OnEnterRoom"),
    pytest.param("OnLocalVideoChannelCreated", (AUX,), (("StreamType", 7),), id="OnLocalVideoChannelCreated"),
    pytest.param("OnRemoteUserEnterRoom", (user_info("alice"),), (("UserInfo", "alice"),), id="OnRemoteUserEnterRoom"),
    pytest.param("OnRemoteUserExitRoom", (user_info("bob"), -3), (("UserInfo", "bob"), -3), id="OnRemoteUserExitRoom"),
    pytest.param("OnRemoteAudioAvailable", (b"alice", True), ("alice", True), id="OnRemoteAudioAvailable-bytes-id"),
    pytest.param(
        "OnRemoteVideoAvailable",
        (None, False, LOW),
        (None, False, ("StreamType", 3)),
        id="OnRemoteVideoAvailable-null-id",
    ),
    pytest.param(
        "OnRemoteAudioReceived", ("ünï", audio_frame()), ("ünï", plain(audio_frame())), id="OnRemoteAudioReceived"
    ),
    pytest.param(
        "OnRemoteMixedAudioReceived", (audio_frame(),), (plain(audio_frame()),), id="OnRemoteMixedAudioReceived"
    ),
    pytest.param(
        "OnRemoteVideoFrameReceived",
        ("alice", HIGH, video_frame()),
        ("alice", ("StreamType", 2), plain(video_frame())),
        id="OnRemoteVideoFrameReceived",
    ),
    pytest.param(
        "OnRemotePixelFrameReceived",
        ("alice", AUX, pixel_frame()),
        ("alice", ("StreamType", 7), plain(pixel_frame())),
        id="OnRemotePixelFrameReceived",
    ),
    pytest.param(
        "OnRequestChangeVideoEncodeBitrate",
        (LOW, -2147483648),
        (("StreamType", 3), -2147483648),
        id="OnRequestChangeVideoEncodeBitrate",
    ),
    pytest.param(
        "OnSeiMessageReceived",
        ("alice", HIGH, -5, b"a\x00b", 3),
        ("alice", ("StreamType", 2), -5, b"a\x00b"),
        id="OnSeiMessageReceived-nul-payload",
    ),
    pytest.param(
        "OnSeiMessageReceived",
        ("alice", HIGH, 1, "héllo", 6),
        ("alice", ("StreamType", 2), 1, "héllo".encode()),
        id="OnSeiMessageReceived-utf8-length",
    ),
    pytest.param(
        "OnSeiMessageReceived",
        ("alice", HIGH, 1, "abc", 1),
        ("alice", ("StreamType", 2), 1, b"a"),
        id="OnSeiMessageReceived-shorter-length",
    ),
    pytest.param(
        "OnReceiveCustomCmdMsg",
        ("alice", -1, 4294967295, "", 0),
        ("alice", -1, 4294967295, b""),
        id="OnReceiveCustomCmdMsg-empty",
    ),
    pytest.param(
        "OnMissCustomCmdMsg",
        ("alice", -2147483648, 4294967295, 4294967295),
        ("alice", -2147483648, 4294967295, 4294967295),
        id="OnMissCustomCmdMsg",
    ),
    pytest.param(
        "OnNetworkQuality",
        (None, None, 0),
        (("NetworkQualityInfo", "", ("NetworkQuality", 6)), []),
        id="OnNetworkQuality-none",
    ),
    pytest.param(
        "OnNetworkQuality",
        (network_quality("me", m.NETWORK_QUALITY_GOOD), network_quality("you", m.NETWORK_QUALITY_BAD), 1),
        (("NetworkQualityInfo", "me", ("NetworkQuality", 2)), [("NetworkQualityInfo", "you", ("NetworkQuality", 4))]),
        id="OnNetworkQuality-one-remote",
    ),
    pytest.param(
        "OnNetworkQuality",
        (None, network_quality("you", m.NETWORK_QUALITY_BAD), 0),
        (("NetworkQualityInfo", "", ("NetworkQuality", 6)), []),
        id="OnNetworkQuality-count-zero",
    ),
]


class TestThroughTheClass:
    @pytest.mark.parametrize(("name", "args", "expected"), THROUGH_THE_CLASS)
    def test_the_base_method_calls_the_handler_once_with_converted_arguments(
        self, name: str, args: tuple[Any, ...], expected: tuple[Any, ...]
    ) -> None:
        handler = RecordingHandler()
        assert getattr(m.QOLTCloudDelegate, name)(handler, *args) is None
        assert handler.names() == [name]
        assert_same(plain(handler.calls[0][1]), expected)

    @pytest.mark.parametrize(
        ("name", "args"),
        [
            ("OnRemoteAudioReceived", ("alice", audio_frame())),
            ("OnRemoteUserEnterRoom", (user_info("alice"),)),
            ("OnNetworkQuality", (network_quality("me", m.NETWORK_QUALITY_GOOD), None, 0)),
        ],
    )
    def test_the_handler_gets_a_copy_not_the_callers_object(self, name: str, args: tuple[Any, ...]) -> None:
        handler = RecordingHandler()
        getattr(m.QOLTCloudDelegate, name)(handler, *args)
        received = handler.calls[0][1]
        given = [arg for arg in args if not isinstance(arg, (str, type(None), int))][0]
        copy = [arg for arg in received if type(arg) is type(given)][0]
        assert copy is not given
        assert_same(plain(copy), plain(given))

    def test_a_handler_exception_in_a_required_event_reaches_the_caller(self) -> None:
        class Failing(RecordingHandler):
            def OnEnterRoom(self) -> None:
                raise KeyError("from the handler")

        with pytest.raises(KeyError, match="from the handler"):
            m.QOLTCloudDelegate.OnEnterRoom(Failing())

    def test_a_handler_exception_in_a_guarded_event_is_printed_and_swallowed(self, stderr_text: Any) -> None:
        class Failing(RecordingHandler):
            def OnReceiveCustomCmdMsg(self, *args: Any) -> None:
                raise KeyError("from the handler")

        assert m.QOLTCloudDelegate.OnReceiveCustomCmdMsg(Failing(), "alice", 1, 1, "x", 1) is None
        err = stderr_text()
        assert err.startswith("python callback OnReceiveCustomCmdMsg error: KeyError: 'from the handler'\n\nAt:\n")
        assert err.count("python callback") == 1


WRONG_TYPES = [
    pytest.param("OnError", (-1,), id="int-for-Error"),
    pytest.param("OnError", (m.CONNECTION_STATE_INIT,), id="other-enum-for-Error"),
    pytest.param("OnLocalVideoChannelCreated", (2,), id="int-for-StreamType"),
    pytest.param("OnLocalVideoChannelCreated", (None,), id="None-for-StreamType"),
    pytest.param("OnRequestChangeVideoEncodeBitrate", (HIGH, 1.0), id="float-for-int"),
    pytest.param("OnRequestChangeVideoEncodeBitrate", (HIGH, 2**31), id="int-above-int32"),
    pytest.param("OnMissCustomCmdMsg", ("alice", 1, -1, 0), id="negative-uint32"),
    pytest.param("OnMissCustomCmdMsg", ("alice", 1, 0, 2**32), id="uint32-overflow"),
    pytest.param("OnRemoteAudioAvailable", (5, True), id="int-for-text"),
    pytest.param("OnRemoteUserEnterRoom", (None,), id="None-for-UserInfo"),
    pytest.param("OnRemoteUserEnterRoom", ("alice",), id="str-for-UserInfo"),
    pytest.param("OnRemoteAudioReceived", ("alice", None), id="None-for-frame"),
    pytest.param("OnRemoteVideoFrameReceived", ("alice", HIGH, pixel_frame()), id="pixel-frame-for-video-frame"),
    pytest.param("OnSeiMessageReceived", ("alice", HIGH, 1, "abc", -1), id="negative-length"),
    pytest.param("OnNetworkQuality", (None, None, -1), id="negative-count"),
    pytest.param("OnNetworkQuality", ("me", None, 0), id="str-for-record"),
    pytest.param("OnEnterRoom", (1,), id="surplus-argument"),
    pytest.param("OnError", (), id="missing-argument"),
]


@pytest.mark.parametrize(("name", "args"), WRONG_TYPES)
def test_arguments_that_do_not_convert_raise_type_error_before_the_handler_runs(
    name: str, args: tuple[Any, ...]
) -> None:
    handler = RecordingHandler()
    with pytest.raises(TypeError):
        getattr(m.QOLTCloudDelegate, name)(handler, *args)
    assert handler.calls == []


OVERSIZED = [
    pytest.param("OnSeiMessageReceived", ("alice", HIGH, 1, "abc", 4), id="sei-text"),
    pytest.param("OnSeiMessageReceived", ("alice", HIGH, 1, b"a\x00b", 4), id="sei-nul-bytes"),
    pytest.param("OnSeiMessageReceived", ("alice", HIGH, 1, "é", 3), id="sei-utf8"),
    pytest.param("OnSeiMessageReceived", ("alice", HIGH, 1, None, 1), id="sei-null"),
    pytest.param("OnReceiveCustomCmdMsg", ("alice", 1, 1, "abc", 4), id="custom-text"),
    pytest.param("OnReceiveCustomCmdMsg", ("alice", 1, 1, bytearray(b"\x00\x00"), 3), id="custom-bytearray"),
    pytest.param("OnReceiveCustomCmdMsg", ("alice", 1, 1, "", 2**40), id="custom-huge"),
    pytest.param(
        "OnNetworkQuality",
        (None, network_quality("you", m.NETWORK_QUALITY_BAD), 2),
        id="quality-two-of-one",
    ),
    pytest.param("OnNetworkQuality", (None, None, 1), id="quality-one-of-none"),
]


@pytest.mark.parametrize(("name", "args"), OVERSIZED)
def test_a_length_or_count_beyond_what_was_given_raises_value_error(name: str, args: tuple[Any, ...]) -> None:
    handler = RecordingHandler()
    with pytest.raises(ValueError):
        getattr(m.QOLTCloudDelegate, name)(handler, *args)
    assert handler.calls == []


def test_a_bytes_payload_with_embedded_nuls_counts_all_its_bytes() -> None:
    handler = RecordingHandler()
    m.QOLTCloudDelegate.OnReceiveCustomCmdMsg(handler, "alice", 1, 1, b"\x00\x00\x00", 3)
    assert_same(handler.calls[0][1][3], b"\x00\x00\x00")
