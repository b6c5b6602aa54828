"""The media frames: metadata fields, payloads in and out as bytes, and what they refuse."""

import pytest

from mirelo import _mirelo
from mirelo._mirelo import AudioFrame, PixelFrame, VideoFrame

FRAMES = [AudioFrame, VideoFrame, PixelFrame]

MEMBERS = {
    AudioFrame: [
        "pts",
        "sample_rate",
        "channels",
        "bits_per_sample",
        "codec",
        "has_voice",
        "data",
        "SetData",
        "size",
        "SetExtraData",
    ],
    VideoFrame: ["pts", "dts", "codec", "is_key_frame", "rotation", "data", "SetData", "size"],
    PixelFrame: ["pts", "format", "height", "width", "rotation", "data", "SetData", "size"],
}
UINT32_FIELDS = [
    (AudioFrame, "pts"),
    (VideoFrame, "pts"),
    (VideoFrame, "dts"),
    (PixelFrame, "pts"),
    (PixelFrame, "height"),
    (PixelFrame, "width"),
]
INT32_FIELDS = [(AudioFrame, "sample_rate"), (AudioFrame, "channels"), (AudioFrame, "bits_per_sample")]
BOOL_FIELDS = [(AudioFrame, "has_voice"), (VideoFrame, "is_key_frame")]
ENUM_FIELDS = [
    (AudioFrame, "codec", _mirelo.AUDIO_CODEC_TYPE_OPUS, _mirelo.AUDIO_CODEC_TYPE_AAC),
    (VideoFrame, "codec", _mirelo.VIDEO_CODEC_TYPE_H265, _mirelo.VIDEO_CODEC_TYPE_H264),
    (VideoFrame, "rotation", _mirelo.VIDEO_ROTATION_90, _mirelo.VIDEO_ROTATION_270),
    (PixelFrame, "format", _mirelo.VIDEO_PIXEL_FORMAT_RGBA, _mirelo.VIDEO_PIXEL_FORMAT_YUVA420p),
    (PixelFrame, "rotation", _mirelo.VIDEO_ROTATION_180, _mirelo.VIDEO_ROTATION_0),
]


class BytesSubclass(bytes):
    pass


PAYLOADS = [
    b"",
    b"\x00",
    b"pcm\x00\x00data\xff",
    bytes(range(256)) * 4096,
    BytesSubclass(b"subclass"),
]
PAYLOAD_IDS = ["empty", "nul", "embedded-nul", "1MiB", "bytes-subclass"]


@pytest.mark.parametrize("frame_class", FRAMES)
class TestFrameClass:
    def test_members_in_registration_order(self, frame_class):
        public = [name for name in vars(frame_class) if not name.startswith("_")]
        assert public == MEMBERS[frame_class]

    def test_new_frame_has_an_empty_payload(self, frame_class):
        frame = frame_class()
        assert frame.data == b"" and type(frame.data) is bytes
        assert frame.size == 0

    @pytest.mark.parametrize("payload", PAYLOADS, ids=PAYLOAD_IDS)
    def test_payload_round_trip(self, frame_class, payload):
        frame = frame_class()
        assert frame.SetData(payload) is None
        assert frame.data == payload and type(frame.data) is bytes
        assert frame.size == len(payload) == len(frame.data)

    def test_payload_is_replaced_and_can_be_emptied(self, frame_class):
        frame = frame_class()
        frame.SetData(b"first payload")
        frame.SetData(b"two")
        assert frame.data == b"two"
        frame.SetData(b"")
        assert (frame.data, frame.size) == (b"", 0)

    def test_each_read_of_data_is_a_new_copy(self, frame_class):
        frame = frame_class()
        frame.SetData(b"abc")
        first = frame.data
        frame.SetData(b"xyz")
        assert first == b"abc" and frame.data == b"xyz"

    @pytest.mark.parametrize(
        "payload",
        [bytearray(b"abc"), memoryview(b"abc"), "abc", None, [97, 98, 99], 3],
        ids=["bytearray", "memoryview", "str", "none", "list", "int"],
    )
    def test_set_data_accepts_only_bytes(self, frame_class, payload):
        frame = frame_class()
        frame.SetData(b"kept")
        with pytest.raises(TypeError):
            frame.SetData(payload)
        assert frame.data == b"kept"

    def test_set_data_refuses_a_keyword(self, frame_class):
        frame = frame_class()
        with pytest.raises(TypeError):
            frame.SetData(data=b"abc")
        assert frame.data == b""

    @pytest.mark.parametrize("prop", ["data", "size"])
    def test_payload_properties_are_read_only(self, frame_class, prop):
        frame = frame_class()
        with pytest.raises(AttributeError):
            setattr(frame, prop, b"abc" if prop == "data" else 3)
        with pytest.raises(AttributeError):
            delattr(frame, prop)

    def test_constructor_takes_no_argument(self, frame_class):
        with pytest.raises(TypeError):
            frame_class(b"abc")

    def test_frames_refuse_new_attributes(self, frame_class):
        with pytest.raises(AttributeError):
            frame_class().extra = b"abc"


def test_new_audio_frame_metadata():
    frame = AudioFrame()
    assert (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.pts, frame.has_voice) == (
        48000,
        1,
        16,
        0,
        False,
    )
    assert frame.codec == _mirelo.AUDIO_CODEC_TYPE_PCM


@pytest.mark.parametrize("payload", [b"", b"extra\x00data"], ids=["empty", "bytes"])
def test_extra_data_leaves_the_payload_alone(payload):
    frame = AudioFrame()
    frame.SetData(b"payload")
    assert frame.SetExtraData(payload) is None
    assert (frame.data, frame.size) == (b"payload", 7)


@pytest.mark.parametrize("call", [lambda f: f.SetExtraData(bytearray(b"x")), lambda f: f.SetExtraData(data=b"x")])
def test_extra_data_accepts_only_positional_bytes(call):
    with pytest.raises(TypeError):
        call(AudioFrame())


@pytest.mark.parametrize("frame_class", [VideoFrame, PixelFrame])
def test_video_frames_have_no_extra_data(frame_class):
    assert not hasattr(frame_class(), "SetExtraData")


@pytest.mark.parametrize("frame_class, field", UINT32_FIELDS)
def test_unsigned_fields_take_the_unsigned_32_bit_range(frame_class, field):
    frame = frame_class()
    for value in (0, 2**32 - 1):
        setattr(frame, field, value)
        assert getattr(frame, field) == value
    for value in (-1, 2**32, 1.0, None):
        with pytest.raises(TypeError):
            setattr(frame, field, value)
        assert getattr(frame, field) == 2**32 - 1


@pytest.mark.parametrize("frame_class, field", INT32_FIELDS)
def test_signed_fields_take_the_signed_32_bit_range(frame_class, field):
    frame = frame_class()
    for value in (-(2**31), 2**31 - 1, -1):
        setattr(frame, field, value)
        assert getattr(frame, field) == value
    for value in (2**31, -(2**31) - 1, 16.0, None):
        with pytest.raises(TypeError):
            setattr(frame, field, value)
        assert getattr(frame, field) == -1


@pytest.mark.parametrize("frame_class, field", BOOL_FIELDS)
def test_flag_fields_take_truth_values(frame_class, field):
    frame = frame_class()
    for value, stored in ((True, True), (None, False), (2, True), (0, False)):
        setattr(frame, field, value)
        assert getattr(frame, field) is stored
    with pytest.raises(TypeError):
        setattr(frame, field, "yes")
    assert getattr(frame, field) is False


@pytest.mark.parametrize("frame_class, field, member, other_member", ENUM_FIELDS)
def test_enumeration_fields_take_members_of_their_enumeration_only(frame_class, field, member, other_member):
    frame = frame_class()
    setattr(frame, field, member)
    assert getattr(frame, field) == member
    foreign = _mirelo.ERR_FAILED
    for value in (int(member), foreign, None):
        with pytest.raises(TypeError):
            setattr(frame, field, value)
        assert getattr(frame, field) == member


@pytest.mark.parametrize("frame_class, field, member, other_member", ENUM_FIELDS)
def test_enumeration_read_from_a_field_keeps_its_value(frame_class, field, member, other_member):
    frame = frame_class()
    setattr(frame, field, member)
    read = getattr(frame, field)
    setattr(frame, field, other_member)
    assert read == member and getattr(frame, field) == other_member
