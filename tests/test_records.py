"""The parameter records: fields, defaults, conversions on writing, views of nested values and copy-in."""

import gc
import weakref

import pytest

from mirelo import _mirelo
from mirelo._mirelo import AudioObtainParams, EnterRoomParams, QoltString, RoomParams

FIELDS = {
    "RoomParams": ["room_id", "str_room_id", "user_id", "user_sig", "sdk_app_id"],
    "EnterRoomParams": [
        "room",
        "scene",
        "role",
        "private_map_key",
        "audio_obtain_params",
        "use_pixel_frame_input",
        "use_pixel_frame_output",
    ],
    "AudioEncodeParams": ["channels", "sample_rate", "frame_length_ms", "bitrate_bps", "need_encode"],
    "VideoEncodeParams": ["frame_rate", "bitrate_bps", "gop_in_seconds"],
    "NetworkQualityInfo": ["user_id", "quality"],
    "UserInfo": ["user_id"],
    "AudioObtainParams": [
        "audio_obtain_method",
        "enable_remote_audio_mix",
        "output_sample_rate",
        "output_channels",
        "output_frame_length_ms",
        "output_audio_codec_type",
    ],
    "VADParams": ["enable"],
}

INT32_FIELDS = [
    ("AudioEncodeParams", "channels"),
    ("AudioEncodeParams", "sample_rate"),
    ("AudioEncodeParams", "frame_length_ms"),
    ("AudioEncodeParams", "bitrate_bps"),
    ("VideoEncodeParams", "frame_rate"),
    ("VideoEncodeParams", "bitrate_bps"),
    ("VideoEncodeParams", "gop_in_seconds"),
    ("AudioObtainParams", "output_sample_rate"),
    ("AudioObtainParams", "output_channels"),
    ("AudioObtainParams", "output_frame_length_ms"),
]
UINT32_FIELDS = [("RoomParams", "room_id"), ("RoomParams", "sdk_app_id")]
BOOL_FIELDS = [
    ("EnterRoomParams", "use_pixel_frame_input"),
    ("EnterRoomParams", "use_pixel_frame_output"),
    ("AudioEncodeParams", "need_encode"),
    ("AudioObtainParams", "enable_remote_audio_mix"),
    ("VADParams", "enable"),
]
ENUM_FIELDS = [
    ("EnterRoomParams", "scene", _mirelo.QOLT_SCENE_RECORD),
    ("EnterRoomParams", "role", _mirelo.QOLT_ROLE_AUDIENCE),
    ("NetworkQualityInfo", "quality", _mirelo.NETWORK_QUALITY_EXCELLENT),
    ("AudioObtainParams", "audio_obtain_method", _mirelo.AUDIO_OBTAIN_METHOD_GET),
    ("AudioObtainParams", "output_audio_codec_type", _mirelo.AUDIO_CODEC_TYPE_OPUS),
]
HOLDER_FIELDS = [
    ("RoomParams", "str_room_id"),
    ("RoomParams", "user_id"),
    ("RoomParams", "user_sig"),
    ("EnterRoomParams", "private_map_key"),
    ("NetworkQualityInfo", "user_id"),
    ("UserInfo", "user_id"),
]
RECORD_FIELDS = [("EnterRoomParams", "room", RoomParams), ("EnterRoomParams", "audio_obtain_params", AudioObtainParams)]

DEFAULTS = [
    (
        "AudioEncodeParams",
        {"channels": 1, "sample_rate": 48000, "frame_length_ms": 20, "bitrate_bps": 51200, "need_encode": True},
    ),
    ("VideoEncodeParams", {"frame_rate": 15, "bitrate_bps": 0, "gop_in_seconds": 3}),
    ("NetworkQualityInfo", {"quality": _mirelo.NETWORK_QUALITY_DOWN}),
    (
        "AudioObtainParams",
        {
            "audio_obtain_method": _mirelo.AUDIO_OBTAIN_METHOD_CALLBACK,
            "enable_remote_audio_mix": False,
            "output_sample_rate": 16000,
            "output_channels": 1,
            "output_frame_length_ms": 20,
            "output_audio_codec_type": _mirelo.AUDIO_CODEC_TYPE_PCM,
        },
    ),
    ("VADParams", {"enable": False}),
]


def make(record_name):
    return getattr(_mirelo, record_name)()


@pytest.mark.parametrize("record_name", FIELDS)
class TestRecordClass:
    def test_fields_are_properties_in_registration_order(self, record_name):
        cls = getattr(_mirelo, record_name)
        assert [name for name, value in vars(cls).items() if isinstance(value, property)] == FIELDS[record_name]

    def test_constructor_takes_no_argument(self, record_name):
        with pytest.raises(TypeError):
            getattr(_mirelo, record_name)(0)

    def test_unknown_attributes_are_refused(self, record_name):
        record = make(record_name)
        with pytest.raises(AttributeError):
            record.no_such_field = 1
        assert not hasattr(record, "no_such_field")


@pytest.mark.parametrize("record_name, defaults", DEFAULTS)
def test_new_record_holds_the_interface_defaults(record_name, defaults):
    record = make(record_name)
    assert {field: getattr(record, field) for field in defaults} == defaults
    for field, value in defaults.items():
        assert type(getattr(record, field)) is type(value)


@pytest.mark.parametrize("record_name, field", HOLDER_FIELDS)
def test_new_record_text_fields_are_readable(record_name, field):
    assert getattr(make(record_name), field).GetValue() == ""


def test_nested_audio_obtain_params_hold_their_defaults():
    nested = EnterRoomParams().audio_obtain_params
    assert (nested.output_sample_rate, nested.output_channels, nested.output_frame_length_ms) == (16000, 1, 20)
    assert nested.audio_obtain_method == _mirelo.AUDIO_OBTAIN_METHOD_CALLBACK


def assert_refused(record, field, value, error=TypeError):
    before = getattr(record, field)
    with pytest.raises(error):
        setattr(record, field, value)
    assert getattr(record, field) == before


@pytest.mark.parametrize("record_name, field", INT32_FIELDS)
def test_signed_fields_take_the_signed_32_bit_range(record_name, field):
    record = make(record_name)
    for value in (-(2**31), 2**31 - 1, -1, 0):
        setattr(record, field, value)
        assert getattr(record, field) == value
    for value in (2**31, -(2**31) - 1, 51200.0, "7", None):
        assert_refused(record, field, value)


@pytest.mark.parametrize("record_name, field", UINT32_FIELDS)
def test_unsigned_fields_take_the_unsigned_32_bit_range(record_name, field):
    record = make(record_name)
    for value in (0, 2**32 - 1):
        setattr(record, field, value)
        assert getattr(record, field) == value
    for value in (-1, 2**32, 1.0, "7", None):
        assert_refused(record, field, value)


@pytest.mark.parametrize("record_name, field", BOOL_FIELDS)
def test_flag_fields_take_truth_values(record_name, field):
    record = make(record_name)
    for value, stored in ((True, True), (False, False), (2, True), (None, False), (1, True), (0, False)):
        setattr(record, field, value)
        assert getattr(record, field) is stored
    for value in ("yes", [1], object()):
        assert_refused(record, field, value)


@pytest.mark.parametrize("record_name, field, member", ENUM_FIELDS)
def test_enumeration_fields_take_members_of_their_enumeration_only(record_name, field, member):
    record = make(record_name)
    setattr(record, field, member)
    assert getattr(record, field) == member
    assert type(getattr(record, field)) is type(member)
    other_enumeration = _mirelo.VIDEO_ROTATION_0 if type(member) is not _mirelo.VideoRotation else _mirelo.ERR_OK
    for value in (int(member), other_enumeration, None, 1.0):
        assert_refused(record, field, value)


@pytest.mark.parametrize("record_name, field, member", ENUM_FIELDS)
def test_enumeration_read_from_a_field_is_a_copy(record_name, field, member):
    record = make(record_name)
    before = getattr(record, field)
    value = int(before)
    setattr(record, field, member)
    assert int(before) == value
    assert before is not getattr(record, field)


@pytest.mark.parametrize("record_name, field", HOLDER_FIELDS)
class TestTextField:
    def test_set_value_on_the_view_changes_the_record(self, record_name, field):
        record = make(record_name)
        getattr(record, field).SetValue("alice")
        assert getattr(record, field).GetValue() == "alice"

    def test_view_is_the_same_object_while_alive(self, record_name, field):
        record = make(record_name)
        view = getattr(record, field)
        assert getattr(record, field) is view

    def test_assigned_holder_is_copied_in(self, record_name, field):
        record = make(record_name)
        holder = QoltString("alice")
        setattr(record, field, holder)
        assert getattr(record, field).GetValue() == "alice"
        holder.SetValue("bob")
        assert getattr(record, field).GetValue() == "alice"
        getattr(record, field).SetValue("carol")
        assert holder.GetValue() == "bob"

    def test_assigned_holder_without_text_is_copied_in(self, record_name, field):
        record = make(record_name)
        setattr(record, field, QoltString(None))
        assert getattr(record, field).GetValue() is None

    @pytest.mark.parametrize("value", ["alice", b"alice", None, RoomParams()], ids=["str", "bytes", "none", "record"])
    def test_anything_but_a_holder_is_refused(self, record_name, field, value):
        record = make(record_name)
        getattr(record, field).SetValue("kept")
        with pytest.raises(TypeError):
            setattr(record, field, value)
        assert getattr(record, field).GetValue() == "kept"


def test_room_view_writes_through_to_the_enter_room_params():
    params = EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id.SetValue("alice")
    params.audio_obtain_params.output_sample_rate = 48000
    assert params.room.sdk_app_id == 1400000001
    assert params.room.user_id.GetValue() == "alice"
    assert params.audio_obtain_params.output_sample_rate == 48000


def test_room_assignment_copies_every_field_in():
    room = RoomParams()
    room.sdk_app_id, room.room_id = 7, 4294967295
    for field, text in (("user_id", "alice"), ("user_sig", "signature"), ("str_room_id", "room-1")):
        getattr(room, field).SetValue(text)
    params = EnterRoomParams()
    params.room = room
    room.sdk_app_id = 8
    room.user_id.SetValue("bob")
    copied = params.room
    assert (copied.sdk_app_id, copied.room_id) == (7, 4294967295)
    assert [copied.user_id.GetValue(), copied.user_sig.GetValue(), copied.str_room_id.GetValue()] == [
        "alice",
        "signature",
        "room-1",
    ]


def test_audio_obtain_params_assignment_copies_in():
    source = AudioObtainParams()
    source.output_channels = 2
    params = EnterRoomParams()
    params.audio_obtain_params = source
    source.output_channels = 6
    assert params.audio_obtain_params.output_channels == 2


@pytest.mark.parametrize("record_name, field, record_class", RECORD_FIELDS)
@pytest.mark.parametrize("value", [None, QoltString("x"), "record"], ids=["none", "holder", "str"])
def test_record_field_refuses_anything_but_its_record(record_name, field, record_class, value):
    params = make(record_name)
    view = getattr(params, field)
    first_field = FIELDS[record_class.__name__][0]
    before = getattr(view, first_field)
    with pytest.raises(TypeError):
        setattr(params, field, value)
    assert getattr(getattr(params, field), first_field) == before


def test_record_field_refuses_a_record_of_another_class():
    with pytest.raises(TypeError):
        EnterRoomParams().room = AudioObtainParams()


def write_room(room):
    room.sdk_app_id = 5
    return room.sdk_app_id == 5


def write_text(holder):
    holder.SetValue("still here")
    return str(holder) == "still here"


def write_audio_obtain_params(params):
    params.output_channels = 2
    return params.output_channels == 2


@pytest.mark.parametrize(
    "read_view, write_and_check",
    [
        (lambda params: params.room, write_room),
        (lambda params: params.room.user_id, write_text),
        (lambda params: params.private_map_key, write_text),
        (lambda params: params.audio_obtain_params, write_audio_obtain_params),
    ],
    ids=["room", "room.user_id", "private_map_key", "audio_obtain_params"],
)
def test_view_keeps_its_parent_alive(read_view, write_and_check):
    params = EnterRoomParams()
    parent = weakref.ref(params)
    view = read_view(params)
    del params
    gc.collect()
    assert parent() is not None
    assert write_and_check(view)
    del view
    gc.collect()
    assert parent() is None


@pytest.mark.parametrize("field", ["custom_data", "decryption_delegate", "encryption_delegate"])
def test_pointer_fields_of_room_params_are_not_exposed(field):
    room = RoomParams()
    assert not hasattr(room, field)
    with pytest.raises(AttributeError):
        setattr(room, field, 0)
