"""Input that would be handled unsafely is refused before any SDK call: text with an embedded NUL, and
objects made with Class.__new__(Class) whose __init__ never ran."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

from conftest import CloudRig, audio_frame
from mirelo import _mirelo as m

NUL_TEXTS = ["alice\x00junk", b"alice\x00junk", bytearray(b"\x00")]


def _call(target: str, text: Any) -> Callable[[CloudRig], Any]:
    """Each text entry point of the module, with `text` where the SDK would get a C string."""
    calls: dict[str, Callable[[CloudRig], Any]] = {
        "Subscribe": lambda rig: rig.cloud.Subscribe(text, m.STREAM_TYPE_AUDIO),
        "Unsubscribe": lambda rig: rig.cloud.Unsubscribe(user_id=text, type=m.STREAM_TYPE_VIDEO_HIGH),
        "QoltString": lambda rig: m.QoltString(text),
        "QoltString.SetValue": lambda rig: m.QoltString("kept").SetValue(text),
        "SetLogPath": lambda rig: m.SetLogPath(text),
        "SetEnvironment": lambda rig: m.SetEnvironment(text),
        "SetSocks5Proxy-ip": lambda rig: m.SetSocks5Proxy(text, 1080, None, None),
        "SetSocks5Proxy-username": lambda rig: m.SetSocks5Proxy("127.0.0.1", 1080, text, "pw"),
        "SetSocks5Proxy-password": lambda rig: m.SetSocks5Proxy("127.0.0.1", 1080, "user", text),
    }
    return calls[target]


@pytest.mark.parametrize("text", NUL_TEXTS, ids=["str", "bytes", "bytearray"])
@pytest.mark.parametrize(
    "target",
    [
        "Subscribe",
        "Unsubscribe",
        "QoltString",
        "QoltString.SetValue",
        "SetLogPath",
        "SetEnvironment",
        "SetSocks5Proxy-ip",
        "SetSocks5Proxy-username",
        "SetSocks5Proxy-password",
    ],
)
def test_text_with_an_embedded_nul_is_refused_before_the_sdk_sees_it(
    target: str, text: Any, cloud: CloudRig, fresh_loopback: Any
) -> None:
    before = fresh_loopback.journal()
    with pytest.raises(ValueError, match="^embedded null character$"):
        _call(target, text)(cloud)
    assert fresh_loopback.journal() == before


def test_a_holder_keeps_its_text_when_a_nul_is_refused() -> None:
    holder = m.QoltString("kept")
    with pytest.raises(ValueError):
        holder.SetValue("a\x00b")
    assert holder.GetValue() == "kept"


UNINITIALISED_USES: list[tuple[type, Callable[[Any], Any]]] = [
    (m.QOLTCloud, lambda obj: obj.ExitRoom()),
    (m.QOLTCloud, lambda obj: obj.SendAudioFrame(audio_frame())),
    (m.QOLTCloud, lambda obj: obj.SendSeiMessage(1, b"x")),
    (m.QoltString, lambda obj: obj.GetValue()),
    (m.QoltString, lambda obj: str(obj)),
    (m.AudioFrame, lambda obj: obj.data),
    (m.AudioFrame, lambda obj: obj.SetData(b"\x00\x00")),
    (m.VideoFrame, lambda obj: obj.size),
    (m.PixelFrame, lambda obj: setattr(obj, "width", 4)),
    (m.RoomParams, lambda obj: obj.user_id),
    (m.EnterRoomParams, lambda obj: obj.room),
    (m.AudioEncodeParams, lambda obj: obj.sample_rate),
    (m.VideoEncodeParams, lambda obj: obj.frame_rate),
    (m.NetworkQualityInfo, lambda obj: obj.quality),
    (m.UserInfo, lambda obj: obj.user_id),
    (m.AudioObtainParams, lambda obj: obj.output_sample_rate),
    (m.VADParams, lambda obj: setattr(obj, "enable", True)),
    (m.QOLTCloudDelegate, lambda obj: m.QOLTCloudDelegate.OnEnterRoom(obj)),
]


@pytest.mark.parametrize(
    ("cls", "use"), UNINITIALISED_USES, ids=[f"{cls.__name__}-{i}" for i, (cls, _) in enumerate(UNINITIALISED_USES)]
)
def test_an_object_whose_init_never_ran_is_refused_on_first_use(cls: type, use: Callable[[Any], Any]) -> None:
    obj = cls.__new__(cls)
    with pytest.raises(TypeError, match=r"\.__init__\(\) was not called"):
        use(obj)
    del obj  # and freeing it is safe


@pytest.mark.parametrize(
    "use",
    [
        lambda cloud, frame: cloud.SendAudioFrame(frame),
        lambda cloud, frame: cloud.GetAudioFrame(frame),
        lambda cloud, frame: cloud.SendContinuousAudioFrame(frame, False),
    ],
    ids=["SendAudioFrame", "GetAudioFrame", "SendContinuousAudioFrame"],
)
def test_an_uninitialised_frame_is_refused_as_an_argument(use: Callable[..., Any], cloud: CloudRig) -> None:
    with pytest.raises(TypeError, match=r"AudioFrame\.__init__\(\) was not called"):
        use(cloud.cloud, m.AudioFrame.__new__(m.AudioFrame))


def test_a_cloud_cannot_be_built_on_an_uninitialised_handler() -> None:
    class Handler(m.QOLTCloudDelegate):
        pass

    with pytest.raises((TypeError, RuntimeError)):
        m.QOLTCloud(Handler.__new__(Handler))


def test_views_of_nested_records_are_not_mistaken_for_uninitialised_objects() -> None:
    params = m.EnterRoomParams()
    params.room.sdk_app_id = 7
    params.audio_obtain_params.output_sample_rate = 16000
    assert (params.room.sdk_app_id, params.audio_obtain_params.output_sample_rate) == (7, 16000)
