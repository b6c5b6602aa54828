"""Streams in loopback rooms: subscriptions, local channels, video routing and SEI."""

from collections.abc import Callable
from typing import Any

import pytest

from conftest import RoomRig, pixel_frame, plain, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

HIGH, LOW, AUX = m.STREAM_TYPE_VIDEO_HIGH, m.STREAM_TYPE_VIDEO_LOW, m.STREAM_TYPE_VIDEO_AUX
INVALID_OPERATION, INVALID_PARAMETER = int(m.ERR_INVALID_OPERATION), int(m.ERR_INVALID_PARAMETER)


@pytest.fixture
def pair(make_member: Callable[..., RoomRig]) -> tuple[RoomRig, RoomRig]:
    """alice (anchor) and bob (anchor, pixel output off) in room 1, marks set after entering."""
    alice = make_member("alice")
    bob = make_member("bob")
    alice.mark()
    return alice, bob


def audio_params(**fields: Any) -> m.AudioEncodeParams:
    params = m.AudioEncodeParams()
    for name, value in fields.items():
        setattr(params, name, value)
    return params


RGBA, YUV420, YUVA420 = m.VIDEO_PIXEL_FORMAT_RGBA, m.VIDEO_PIXEL_FORMAT_YUV420p, m.VIDEO_PIXEL_FORMAT_YUVA420p


def wrapped_picture_size(pixel_format: Any, width: int, height: int) -> int:
    """A raw picture's payload size as 64-bit arithmetic would wrap it round."""
    full, quarter = width * height, ((width + 1) // 2) * ((height + 1) // 2)
    return {YUV420: full + 2 * quarter, YUVA420: 2 * full + 2 * quarter, RGBA: 4 * full}[pixel_format] % 2**64


# (format, width, height, payload size): huge pictures whose size, counted in 64 bits, wraps round
# to the payload's size, then empty and huge pictures for every format.
HOSTILE_PICTURES = [
    (RGBA, 2147549185, 2147418113, 4),
    (RGBA, 1073807362, 4294705160, 64),
    (YUV420, 3649452082, 3369774176, 32),
    (YUV420, 3447336686, 3567342126, 38),
    (YUVA420, 4294836226, 1718039348, 4),
    (YUVA420, 2334878914, 3160205690, 34),
]
assert all(wrapped_picture_size(f, w, h) == size for f, w, h, size in HOSTILE_PICTURES)
HOSTILE_PICTURES += [
    (pixel_format, width, height, size)
    for pixel_format in (RGBA, YUV420, YUVA420)
    for width, height, size in (
        (0, 0, 0),
        (0, 0, 1),
        (0, 16, 1),
        (16, 0, 1),
        (2**32 - 1, 2**32 - 1, 16),
        (2**32 - 1, 1, 16),
    )
]


class TestSubscribe:
    @pytest.mark.parametrize("method", ["Subscribe", "Unsubscribe"])
    def test_refusals(self, cloud: Any, make_member: Callable[..., RoomRig], method: str) -> None:
        assert getattr(cloud.cloud, method)("alice", m.STREAM_TYPE_AUDIO) == INVALID_OPERATION
        bob = make_member("bob")
        call = getattr(bob.cloud, method)
        assert call("alice", m.STREAM_TYPE_UNKNOWN) == INVALID_PARAMETER
        assert call("alice", m.StreamType(5)) == INVALID_PARAMETER
        assert call("", m.STREAM_TYPE_AUDIO) == int(m.ERR_INVALID_USER_ID)

    def test_holds_before_the_user_enters_and_publishes(self, make_member: Callable[..., RoomRig]) -> None:
        bob = make_member("bob")
        assert bob.cloud.Subscribe("alice", HIGH) == 0
        alice = make_member("alice")
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        loopback.flush()
        assert alice.since() == [
            ("OnLocalVideoChannelCreated", (("StreamType", 2),)),
            ("OnRequestKeyFrame", (("StreamType", 2),)),
        ]
        bob.mark()
        assert alice.cloud.SendVideoFrame(HIGH, video_frame()) == 0
        loopback.flush()
        assert bob.names() == ["OnRemoteVideoFrameReceived"]

    def test_subscribing_to_a_published_video_stream_requests_a_key_frame(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, bob = pair
        assert alice.cloud.CreateLocalVideoChannel(LOW) == 0
        loopback.flush()
        alice.mark()
        assert bob.cloud.Subscribe("alice", LOW) == 0
        assert bob.cloud.Subscribe("alice", HIGH) == 0  # not published: no request
        assert bob.cloud.Subscribe("alice", m.STREAM_TYPE_AUDIO) == 0
        loopback.flush()
        assert alice.since() == [("OnRequestKeyFrame", (("StreamType", 3),))]

    def test_nothing_is_delivered_without_a_subscription(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, bob = pair
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert alice.cloud.CreateLocalAudioChannel(audio_params(sample_rate=16000)) == 0
        assert bob.cloud.Subscribe("alice", HIGH) == 0
        assert bob.cloud.Unsubscribe("alice", HIGH) == 0
        assert bob.cloud.Unsubscribe("alice", LOW) == 0  # never subscribed
        loopback.flush()
        bob.mark()
        assert alice.cloud.SendVideoFrame(HIGH, video_frame()) == 0
        assert alice.cloud.SendSeiMessage(1, b"sei") == 0
        pcm = m.AudioFrame()
        pcm.sample_rate, pcm.channels, pcm.bits_per_sample = 16000, 1, 16
        pcm.SetData(bytes(640))
        assert alice.cloud.SendAudioFrame(pcm) == 0
        loopback.flush()
        assert bob.since() == []


class TestLocalChannels:
    @pytest.mark.parametrize(
        "fields",
        [
            {"channels": 3},
            {"channels": 0},
            {"sample_rate": 22050},
            {"frame_length_ms": 30},
            {"bitrate_bps": 0},
        ],
    )
    def test_audio_channel_parameters_are_checked(self, pair: tuple[RoomRig, RoomRig], fields: dict[str, Any]) -> None:
        alice, bob = pair
        assert alice.cloud.CreateLocalAudioChannel(audio_params(**fields)) == INVALID_PARAMETER
        loopback.flush()
        assert alice.since() == [] and bob.since() == []

    @pytest.mark.parametrize("rate, channels, length", [(8000, 2, 10), (44100, 1, 40), (32000, 2, 60)])
    def test_audio_channel_formats_accepted(
        self, pair: tuple[RoomRig, RoomRig], rate: int, channels: int, length: int
    ) -> None:
        alice, _ = pair
        params = audio_params(sample_rate=rate, channels=channels, frame_length_ms=length)
        assert alice.cloud.CreateLocalAudioChannel(params) == 0

    def test_channels_need_a_room_and_cannot_be_made_twice(self, cloud: Any, pair: tuple[RoomRig, RoomRig]) -> None:
        assert cloud.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == INVALID_OPERATION
        assert cloud.cloud.CreateLocalVideoChannel(HIGH) == INVALID_OPERATION
        assert cloud.cloud.DestroyLocalAudioChannel() == INVALID_OPERATION
        alice, _ = pair
        assert alice.cloud.DestroyLocalAudioChannel() == INVALID_OPERATION
        assert alice.cloud.DestroyLocalVideoChannel(HIGH) == INVALID_OPERATION
        assert alice.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_AUDIO) == INVALID_PARAMETER
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == INVALID_OPERATION
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == INVALID_OPERATION

    @pytest.mark.parametrize("stream", [m.STREAM_TYPE_AUDIO, m.STREAM_TYPE_UNKNOWN, m.StreamType(5)])
    @pytest.mark.parametrize("published", [False, True])
    def test_video_calls_refuse_a_stream_type_that_is_not_video(
        self, pair: tuple[RoomRig, RoomRig], stream: Any, published: bool
    ) -> None:
        alice, _ = pair
        if published:
            assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
            assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert alice.cloud.CreateLocalVideoChannel(stream) == INVALID_PARAMETER
        assert alice.cloud.DestroyLocalVideoChannel(stream) == INVALID_PARAMETER
        assert alice.cloud.SendVideoFrame(stream, video_frame()) == INVALID_PARAMETER
        assert alice.cloud.SendPixelFrame(stream, pixel_frame()) == INVALID_PARAMETER
        assert loopback.state()[alice.handle]["video_channels"] == ([int(HIGH)] if published else [])

    def test_an_audience_member_cannot_publish(self, make_member: Callable[..., RoomRig]) -> None:
        viewer = make_member("viewer", role=m.QOLT_ROLE_AUDIENCE)
        assert viewer.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == INVALID_OPERATION
        assert viewer.cloud.CreateLocalVideoChannel(HIGH) == INVALID_OPERATION
        assert viewer.cloud.SendVideoFrame(HIGH, video_frame()) == INVALID_OPERATION
        assert viewer.cloud.SendSeiMessage(1, b"sei") == INVALID_OPERATION

    def test_after_leaving_the_room_every_channel_call_is_refused(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, _ = pair
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert alice.cloud.ExitRoom() == 0
        assert alice.cloud.ExitRoom() == INVALID_OPERATION
        assert alice.cloud.DestroyLocalAudioChannel() == INVALID_OPERATION
        assert alice.cloud.DestroyLocalVideoChannel(HIGH) == INVALID_OPERATION
        assert alice.cloud.SendVideoFrame(HIGH, video_frame()) == INVALID_OPERATION
        assert alice.cloud.SendPixelFrame(HIGH, pixel_frame()) == INVALID_OPERATION
        assert alice.cloud.SendSeiMessage(1, b"sei") == INVALID_OPERATION
        assert alice.cloud.Subscribe("bob", HIGH) == INVALID_OPERATION

    def test_creation_and_destruction_events(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, bob = pair
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalVideoChannel(AUX) == 0
        assert alice.cloud.DestroyLocalVideoChannel(AUX) == 0
        assert alice.cloud.DestroyLocalAudioChannel() == 0
        loopback.flush()
        assert alice.since() == [
            ("OnLocalAudioChannelCreated", ()),
            ("OnLocalVideoChannelCreated", (("StreamType", 7),)),
            ("OnLocalVideoChannelDestroyed", (("StreamType", 7),)),
            ("OnLocalAudioChannelDestroyed", ()),
        ]
        assert bob.since() == [
            ("OnRemoteAudioAvailable", ("alice", True)),
            ("OnRemoteVideoAvailable", ("alice", True, ("StreamType", 7))),
            ("OnRemoteVideoAvailable", ("alice", False, ("StreamType", 7))),
            ("OnRemoteAudioAvailable", ("alice", False)),
        ]

    def test_video_encode_params_are_kept_per_stream(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, _ = pair
        for stream, rate in ((HIGH, 30), (LOW, 10), (HIGH, 25)):
            params = m.VideoEncodeParams()
            params.frame_rate = rate
            alice.cloud.SetVideoEncodeParam(stream, params)
        kept = loopback.state()[alice.handle]["video_encode_params"]
        assert {kind: params["frame_rate"] for kind, params in kept.items()} == {2: 25, 3: 10}


class TestVideo:
    def test_sending_needs_the_channel(self, cloud: Any, pair: tuple[RoomRig, RoomRig]) -> None:
        assert cloud.cloud.SendVideoFrame(HIGH, video_frame()) == INVALID_OPERATION
        alice, _ = pair
        assert alice.cloud.SendVideoFrame(HIGH, video_frame()) == INVALID_OPERATION
        assert alice.cloud.SendPixelFrame(LOW, pixel_frame()) == INVALID_OPERATION

    def test_encoded_and_pixel_frames_go_to_their_kind_of_subscriber(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        encoded = make_member("enc")
        pixels = make_member("pix", pixel_output=True)
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        for rig in (encoded, pixels):
            assert rig.cloud.Subscribe("alice", HIGH) == 0
        loopback.flush()
        encoded.mark()
        pixels.mark()
        assert alice.cloud.SendVideoFrame(HIGH, video_frame(b"\x00\x00\x01encoded")) == 0
        assert alice.cloud.SendPixelFrame(HIGH, pixel_frame()) == 0
        loopback.flush()
        ((name, (user, stream, frame)),) = encoded.since()
        assert (name, user, stream, frame[1]["data"], frame[1]["is_key_frame"]) == (
            "OnRemoteVideoFrameReceived",
            "alice",
            ("StreamType", 2),
            b"\x00\x00\x01encoded",
            True,
        )
        ((name, (user, stream, frame)),) = pixels.since()
        assert (name, user, frame[1]["width"], frame[1]["data"]) == (
            "OnRemotePixelFrameReceived",
            "alice",
            2,
            bytes(range(16)),
        )

    @pytest.mark.parametrize(
        "width, height, pixel_format, size, accepted",
        [
            (2, 2, m.VIDEO_PIXEL_FORMAT_RGBA, 16, True),
            (2, 2, m.VIDEO_PIXEL_FORMAT_RGBA, 15, False),
            (4, 2, m.VIDEO_PIXEL_FORMAT_YUV420p, 12, True),
            (3, 3, m.VIDEO_PIXEL_FORMAT_YUV420p, 17, True),
            (4, 2, m.VIDEO_PIXEL_FORMAT_YUVA420p, 20, True),
            (4, 2, m.VIDEO_PIXEL_FORMAT_YUVA420p, 12, False),
            (0, 2, m.VIDEO_PIXEL_FORMAT_RGBA, 0, False),
            (2**32 - 1, 2**32 - 1, m.VIDEO_PIXEL_FORMAT_RGBA, 4, False),
        ],
    )
    def test_pixel_payload_must_match_the_picture(
        self, pair: tuple[RoomRig, RoomRig], width: int, height: int, pixel_format: Any, size: int, accepted: bool
    ) -> None:
        alice, _ = pair
        assert alice.cloud.CreateLocalVideoChannel(LOW) == 0
        frame = pixel_frame(bytes(size))
        frame.width, frame.height, frame.format = width, height, pixel_format
        assert alice.cloud.SendPixelFrame(LOW, frame) == (0 if accepted else INVALID_PARAMETER)

    @pytest.mark.parametrize("pixel_format, width, height, size", HOSTILE_PICTURES)
    def test_a_picture_whose_size_overflows_or_is_empty_is_refused_and_not_delivered(
        self, make_member: Callable[..., RoomRig], pixel_format: Any, width: int, height: int, size: int
    ) -> None:
        alice = make_member("alice")
        pixels = make_member("pix", pixel_output=True)
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert pixels.cloud.Subscribe("alice", HIGH) == 0
        loopback.flush()
        pixels.mark()
        frame = pixel_frame(bytes(size))
        frame.width, frame.height, frame.format = width, height, pixel_format
        assert alice.cloud.SendPixelFrame(HIGH, frame) == INVALID_PARAMETER
        loopback.flush()
        assert pixels.since() == []

    def test_empty_encoded_frame_is_refused(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, _ = pair
        assert alice.cloud.CreateLocalVideoChannel(LOW) == 0
        assert alice.cloud.SendVideoFrame(LOW, video_frame(b"")) == INVALID_PARAMETER

    @pytest.mark.parametrize(
        "pixel_format, width, height",
        [(RGBA, 3, 5), (RGBA, 640, 1), (YUV420, 5, 3), (YUV420, 1, 9), (YUVA420, 7, 2), (YUVA420, 6, 11)],
    )
    def test_a_picture_that_is_not_square_arrives_with_every_field_as_sent(
        self, make_member: Callable[..., RoomRig], pixel_format: Any, width: int, height: int
    ) -> None:
        alice = make_member("alice")
        pixels = make_member("pix", pixel_output=True)
        assert alice.cloud.CreateLocalVideoChannel(AUX) == 0
        assert pixels.cloud.Subscribe("alice", AUX) == 0
        loopback.flush()
        pixels.mark()
        size = wrapped_picture_size(pixel_format, width, height)
        frame = pixel_frame(bytes(index * 7 % 251 for index in range(size)))
        frame.pts, frame.width, frame.height, frame.format = 4000000000, width, height, pixel_format
        assert alice.cloud.SendPixelFrame(AUX, frame) == 0
        frame.width = frame.height = 0  # the room took its own copy
        loopback.flush()
        ((name, (user, stream, got)),) = pixels.since()
        assert (name, user, stream) == ("OnRemotePixelFrameReceived", "alice", ("StreamType", int(AUX)))
        assert got == (
            "PixelFrame",
            {
                "pts": 4000000000,
                "format": ("VideoPixelFormat", int(pixel_format)),
                "height": height,
                "width": width,
                "rotation": ("VideoRotation", int(m.VIDEO_ROTATION_90)),
                "data": frame.data,
                "size": size,
            },
        )

    @pytest.mark.parametrize("key_frame, rotation", [(False, m.VIDEO_ROTATION_0), (True, m.VIDEO_ROTATION_180)])
    def test_an_encoded_frame_arrives_with_every_field_as_sent(
        self, pair: tuple[RoomRig, RoomRig], key_frame: bool, rotation: Any
    ) -> None:
        alice, bob = pair
        assert alice.cloud.CreateLocalVideoChannel(LOW) == 0
        assert bob.cloud.Subscribe("alice", LOW) == 0
        loopback.flush()
        bob.mark()
        frame = video_frame(b"\x00\x00\x01" + bytes(range(200)))
        frame.pts, frame.dts, frame.is_key_frame, frame.rotation = 33, 30, key_frame, rotation
        assert alice.cloud.SendVideoFrame(LOW, frame) == 0
        loopback.flush()
        ((name, (user, stream, got)),) = bob.since()
        assert (name, user, stream, got) == (
            "OnRemoteVideoFrameReceived",
            "alice",
            ("StreamType", int(LOW)),
            plain(frame),
        )


class TestSei:
    @pytest.mark.parametrize("channels, carrier", [((LOW, HIGH), 2), ((AUX, LOW), 7)])
    def test_rides_on_the_high_stream_else_the_first(
        self, pair: tuple[RoomRig, RoomRig], channels: tuple[Any, ...], carrier: int
    ) -> None:
        alice, bob = pair
        for stream in channels:
            assert alice.cloud.CreateLocalVideoChannel(stream) == 0
        for stream in (HIGH, LOW, AUX):
            assert bob.cloud.Subscribe("alice", stream) == 0
        loopback.flush()
        bob.mark()
        assert alice.cloud.SendSeiMessage(5, b"\x00sei\xff") == 0
        loopback.flush()
        assert bob.since() == [("OnSeiMessageReceived", ("alice", ("StreamType", carrier), 5, b"\x00sei\xff"))]

    def test_refusals(self, pair: tuple[RoomRig, RoomRig]) -> None:
        alice, _ = pair
        assert alice.cloud.SendSeiMessage(1, b"x") == INVALID_OPERATION
        assert alice.cloud.CreateLocalVideoChannel(HIGH) == 0
        assert alice.cloud.SendSeiMessage(1, b"") == INVALID_PARAMETER
        assert alice.cloud.SendSeiMessage(1, bytes(1001)) == INVALID_PARAMETER
        assert alice.cloud.SendSeiMessage(1, bytes(1000)) == 0
