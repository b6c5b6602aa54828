"""The eleven enumerations: members, order, text forms, comparisons, hashing, pickling and range."""

import operator
import pickle

import pytest

from mirelo import _mirelo

# Registration order, which is not always the order of the values.
MEMBERS = {
    "Error": [
        ("ERR_OK", 0),
        ("ERR_FAILED", -1),
        ("ERR_INVALID_PARAMETER", -2),
        ("ERR_INVALID_OPERATION", -3),
        ("ERR_NOT_SUPPORTED", -4),
        ("ERR_REQUEST_SERVER_TIMEOUT", -6),
        ("ERR_SERVER_PROCESS_FAILED", -7),
        ("ERR_READ_TRY_AGAIN", -102),
        ("ERR_NETWORK_UNREACHABLE", -103),
        ("ERR_ENTER_ROOM_FAILED", -3301),
        ("ERR_INVALID_SDK_APP_ID", -3317),
        ("ERR_INVALID_ROOM_ID", -3318),
        ("ERR_INVALID_USER_ID", -3319),
        ("ERR_INVALID_USER_SIG", -3320),
        ("ERR_SERVICE_SUSPENDED", -100013),
        ("ERR_BANNED_BY_SERVER", -205),
    ],
    "VideoCodecType": [("VIDEO_CODEC_TYPE_H264", 0), ("VIDEO_CODEC_TYPE_H265", 1)],
    "AudioCodecType": [("AUDIO_CODEC_TYPE_PCM", 0), ("AUDIO_CODEC_TYPE_OPUS", 1), ("AUDIO_CODEC_TYPE_AAC", 2)],
    "QOLTRole": [("QOLT_ROLE_ANCHOR", 0), ("QOLT_ROLE_AUDIENCE", 1)],
    "QOLTScene": [
        ("QOLT_SCENE_VIDEO_CALL", 0),
        ("QOLT_SCENE_AUDIO_CALL", 1),
        ("QOLT_SCENE_LIVE", 2),
        ("QOLT_SCENE_VOICE_CHAT", 3),
        ("QOLT_SCENE_RECORD", 4),
    ],
    "StreamType": [
        ("STREAM_TYPE_UNKNOWN", -1),
        ("STREAM_TYPE_VIDEO_HIGH", 2),
        ("STREAM_TYPE_VIDEO_LOW", 3),
        ("STREAM_TYPE_VIDEO_AUX", 7),
        ("STREAM_TYPE_AUDIO", 1),
    ],
    "AudioObtainMethod": [("AUDIO_OBTAIN_METHOD_GET", 0), ("AUDIO_OBTAIN_METHOD_CALLBACK", 1)],
    "NetworkQuality": [
        ("NETWORK_QUALITY_UNKNOWN", 0),
        ("NETWORK_QUALITY_EXCELLENT", 1),
        ("NETWORK_QUALITY_GOOD", 2),
        ("NETWORK_QUALITY_POOR", 3),
        ("NETWORK_QUALITY_BAD", 4),
        ("NETWORK_QUALITY_VERY_BAD", 5),
        ("NETWORK_QUALITY_DOWN", 6),
    ],
    "ConnectionState": [
        ("CONNECTION_STATE_INIT", 0),
        ("CONNECTION_STATE_DISCONNECTED", 1),
        ("CONNECTION_STATE_CONNECTING", 2),
        ("CONNECTION_STATE_CONNECTED", 3),
    ],
    "VideoRotation": [
        ("VIDEO_ROTATION_0", 0),
        ("VIDEO_ROTATION_90", 1),
        ("VIDEO_ROTATION_180", 2),
        ("VIDEO_ROTATION_270", 3),
    ],
    "VideoPixelFormat": [
        ("VIDEO_PIXEL_FORMAT_YUV420p", 0),
        ("VIDEO_PIXEL_FORMAT_YUVA420p", 1),
        ("VIDEO_PIXEL_FORMAT_RGBA", 2),
    ],
}
SIGNED = {"Error", "StreamType"}
EVERY_MEMBER = [(enum_name, name, value) for enum_name, members in MEMBERS.items() for name, value in members]


def test_module_registers_the_eleven_enumerations_in_order():
    registered = [
        name for name, value in vars(_mirelo).items() if isinstance(value, type) and hasattr(value, "__members__")
    ]
    assert registered == list(MEMBERS)


@pytest.mark.parametrize("enum_name", MEMBERS)
class TestEnumerationClass:
    def test_members_in_registration_order(self, enum_name):
        enumeration = getattr(_mirelo, enum_name)
        assert [(name, member.value) for name, member in enumeration.__members__.items()] == MEMBERS[enum_name]

    def test_docstring_lists_the_members(self, enum_name):
        expected = "Members:" + "".join(f"\n\n  {name}" for name, _ in MEMBERS[enum_name])
        assert getattr(_mirelo, enum_name).__doc__ == expected

    def test_value_that_no_member_has_is_still_an_instance(self, enum_name):
        enumeration = getattr(_mirelo, enum_name)
        unnamed = 5 if enum_name == "StreamType" else 1000
        instance = enumeration(unnamed)
        assert instance.name == "???"
        assert repr(instance) == f"<{enum_name}.???: {unnamed}>"
        assert instance == unnamed

    def test_values_outside_the_underlying_type_are_refused(self, enum_name):
        enumeration = getattr(_mirelo, enum_name)
        if enum_name in SIGNED:
            accepted, refused = [-(2**31), 2**31 - 1], [-(2**31) - 1, 2**31]
        else:
            accepted, refused = [0, 2**32 - 1], [-1, 2**32]
        for value in accepted:
            assert int(enumeration(value)) == value
        for value in refused + [1.0, None, "1"]:
            with pytest.raises(TypeError):
                enumeration(value)

    def test_ordering_and_bitwise_operators_are_not_defined(self, enum_name):
        member = next(iter(getattr(_mirelo, enum_name).__members__.values()))
        for operation in (operator.lt, operator.le, operator.gt, operator.ge, operator.or_, operator.and_):
            with pytest.raises(TypeError):
                operation(member, member)
        with pytest.raises(TypeError):
            ~member


@pytest.mark.parametrize("enum_name, name, value", EVERY_MEMBER)
class TestMember:
    def test_exported_into_the_module_as_the_same_object(self, enum_name, name, value):
        enumeration = getattr(_mirelo, enum_name)
        assert getattr(_mirelo, name) is getattr(enumeration, name) is enumeration.__members__[name]

    def test_text_forms(self, enum_name, name, value):
        member = getattr(_mirelo, name)
        assert member.name == name
        assert repr(member) == f"<{enum_name}.{name}: {value}>"
        assert str(member) == f"{enum_name}.{name}"

    def test_value_as_int(self, enum_name, name, value):
        member = getattr(_mirelo, name)
        assert member.value == int(member) == operator.index(member) == value
        assert type(member.value) is int

    def test_compares_and_hashes_by_value(self, enum_name, name, value):
        member = getattr(_mirelo, name)
        assert member == value and not member != value
        assert member != value + 1
        assert member == getattr(_mirelo, enum_name)(value)
        assert hash(member) == hash(value)
        assert {value: "found"}[member] == "found"
        assert (member == None) is False  # noqa: E711
        assert (member != None) is True  # noqa: E711

    def test_is_truthy_whatever_its_value(self, enum_name, name, value):
        assert bool(getattr(_mirelo, name)) is True

    def test_pickles_by_value(self, enum_name, name, value):
        member = getattr(_mirelo, name)
        restored = pickle.loads(pickle.dumps(member))
        assert type(restored) is type(member)
        assert restored == member and restored.name == name


@pytest.mark.parametrize(
    "left, right",
    [
        (_mirelo.VIDEO_ROTATION_90, _mirelo.VIDEO_CODEC_TYPE_H265),
        (_mirelo.ERR_OK, _mirelo.QOLT_SCENE_VIDEO_CALL),
        (_mirelo.STREAM_TYPE_VIDEO_HIGH, _mirelo.NETWORK_QUALITY_GOOD),
    ],
)
def test_members_of_different_enumerations_with_one_value_are_equal(left, right):
    assert left == right and hash(left) == hash(right)


def test_members_of_different_enumerations_with_different_values_differ():
    assert _mirelo.ERR_FAILED != _mirelo.STREAM_TYPE_AUDIO
    assert _mirelo.STREAM_TYPE_UNKNOWN == _mirelo.ERR_FAILED


def test_unpickling_a_value_that_no_member_has_keeps_the_value():
    restored = pickle.loads(pickle.dumps(_mirelo.StreamType(5)))
    assert int(restored) == 5 and restored.name == "???"
