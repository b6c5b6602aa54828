"""Rooms of the loopback SDK: entering, presence of anchors and audience, leaving."""

from collections.abc import Callable
from typing import Any

import pytest

from conftest import ROOM_APP_ID, RecordingHandler, RoomRig, enter_params
from mirelo import _mirelo as m
from mirelo import loopback

INIT, DISCONNECTED, CONNECTING, CONNECTED = (("ConnectionState", value) for value in range(4))


def state(old: tuple[str, int], new: tuple[str, int]) -> tuple[str, tuple[Any, ...]]:
    return ("OnConnectionStateChanged", (old, new))


def entered(user_id: str) -> tuple[str, tuple[Any, ...]]:
    return ("OnRemoteUserEnterRoom", (("UserInfo", user_id),))


class TestEnterRoomRefusals:
    @pytest.mark.parametrize(
        "fields, error",
        [
            ({"sdk_app_id": 0}, m.ERR_INVALID_SDK_APP_ID),
            ({"user_id": ""}, m.ERR_INVALID_USER_ID),
            ({"room_id": 0}, m.ERR_INVALID_ROOM_ID),
            ({"user_sig": ""}, m.ERR_INVALID_USER_SIG),
            ({"sdk_app_id": 0, "user_id": "", "room_id": 0, "user_sig": ""}, m.ERR_INVALID_SDK_APP_ID),
            ({"user_id": "", "room_id": 0}, m.ERR_INVALID_USER_ID),
            ({"output_sample_rate": 7000}, m.ERR_INVALID_PARAMETER),
            ({"output_channels": 0}, m.ERR_INVALID_PARAMETER),
            ({"output_frame_length_ms": 0}, m.ERR_INVALID_PARAMETER),
        ],
    )
    def test_invalid_record_is_refused_without_any_event(self, cloud: Any, fields: dict[str, Any], error: int) -> None:
        user_id = fields.pop("user_id", "alice")
        room_id = fields.pop("room_id", 1)
        assert cloud.cloud.EnterRoom(enter_params(user_id, room_id, **fields)) == int(error)
        loopback.flush()
        assert cloud.handler.calls == []
        assert loopback.state()[cloud.handle]["connection_state"] == 0

    def test_null_user_id_is_refused(self, cloud: Any) -> None:
        params = enter_params("alice")
        params.room.user_id.SetValue(None)
        assert cloud.cloud.EnterRoom(params) == int(m.ERR_INVALID_USER_ID)

    def test_entering_twice_is_an_invalid_operation(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        assert alice.cloud.EnterRoom(enter_params("alice", 2)) == int(m.ERR_INVALID_OPERATION)
        loopback.flush()
        assert alice.since() == []


class TestEnterRoom:
    def test_raises_connecting_connected_then_enter(self, cloud: Any) -> None:
        assert cloud.cloud.EnterRoom(enter_params("alice")) == 0
        cloud.handler.wait_for(3)
        loopback.flush()
        assert [(name, tuple(int(a) for a in args)) for name, args in cloud.handler.calls] == [
            ("OnConnectionStateChanged", (0, 2)),
            ("OnConnectionStateChanged", (2, 3)),
            ("OnEnterRoom", ()),
        ]

    def test_duplicate_user_id_fails_without_entering(
        self, make_member: Callable[..., RoomRig], make_cloud: Any
    ) -> None:
        alice = make_member("alice")
        twin = make_cloud()
        assert twin.cloud.EnterRoom(enter_params("alice", role=m.QOLT_ROLE_AUDIENCE)) == 0
        loopback.flush()
        assert [(n, tuple(int(a) for a in args)) for n, args in twin.handler.calls] == [
            ("OnConnectionStateChanged", (0, 2)),
            ("OnError", (int(m.ERR_ENTER_ROOM_FAILED),)),
            ("OnConnectionStateChanged", (2, 1)),
        ]
        assert alice.since() == []
        assert not loopback.state()[twin.handle]["in_room"]
        # Not being in a room, it may try again elsewhere.
        assert twin.cloud.EnterRoom(enter_params("alice", 2)) == 0

    def test_anchors_see_each_other_in_order_of_entry(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_LOW) == 0
        assert alice.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_HIGH) == 0
        bob = make_member("bob", role=m.QOLT_ROLE_AUDIENCE)
        carol = make_member("carol")
        for rig in (alice, bob):
            rig.mark()
        dave = RoomRig(RecordingHandler(), "dave")
        try:
            assert dave.cloud.EnterRoom(enter_params("dave")) == 0
            loopback.flush()
            assert dave.names()[3:] == [
                "OnRemoteUserEnterRoom",
                "OnRemoteAudioAvailable",
                "OnRemoteVideoAvailable",
                "OnRemoteVideoAvailable",
                "OnRemoteUserEnterRoom",
            ]
            assert dave.since()[3:] == [
                entered("alice"),
                ("OnRemoteAudioAvailable", ("alice", True)),
                ("OnRemoteVideoAvailable", ("alice", True, ("StreamType", 3))),
                ("OnRemoteVideoAvailable", ("alice", True, ("StreamType", 2))),
                entered("carol"),
            ]
            assert alice.since() == [entered("dave")]
            assert bob.since() == [entered("dave")]
        finally:
            dave.close()

    def test_audience_is_not_announced_and_cannot_publish(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        bob = make_member("bob", role=m.QOLT_ROLE_AUDIENCE)
        assert bob.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == int(m.ERR_INVALID_OPERATION)
        assert bob.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_HIGH) == int(m.ERR_INVALID_OPERATION)
        assert bob.cloud.ExitRoom() == 0
        loopback.flush()
        assert alice.since() == []
        assert bob.since() == [("OnExitRoom", ()), state(CONNECTED, DISCONNECTED)]

    @pytest.mark.parametrize(
        "first, second, same_room",
        [
            ({"room_id": 1}, {"room_id": 1}, True),
            ({"room_id": 1}, {"room_id": 2}, False),
            ({"room_id": 1, "str_room_id": "lobby"}, {"room_id": 2, "str_room_id": "lobby"}, True),
            ({"room_id": 1, "str_room_id": "lobby"}, {"room_id": 1, "str_room_id": "hall"}, False),
            ({"room_id": 1, "str_room_id": "lobby"}, {"room_id": 1}, False),
            ({"room_id": 1}, {"room_id": 1, "sdk_app_id": ROOM_APP_ID + 1}, False),
        ],
    )
    def test_room_is_app_id_with_text_id_else_numeric_id(
        self, make_member: Callable[..., RoomRig], first: dict[str, Any], second: dict[str, Any], same_room: bool
    ) -> None:
        alice = make_member("alice", **first)
        make_member("bob", **second)
        loopback.flush()
        assert alice.since() == ([entered("bob")] if same_room else [])


class TestExitRoom:
    def test_outside_a_room_is_an_invalid_operation(self, cloud: Any) -> None:
        assert cloud.cloud.ExitRoom() == int(m.ERR_INVALID_OPERATION)

    def test_closes_channels_then_exits_and_others_see_streams_go_first(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        alice = make_member("alice")
        bob = make_member("bob")
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalVideoChannel(m.STREAM_TYPE_VIDEO_AUX) == 0
        assert bob.cloud.Subscribe("alice", m.STREAM_TYPE_AUDIO) == 0
        loopback.flush()
        alice.mark()
        bob.mark()
        assert alice.cloud.ExitRoom() == 0
        loopback.flush()
        assert alice.since() == [
            ("OnLocalAudioChannelDestroyed", ()),
            ("OnLocalVideoChannelDestroyed", (("StreamType", 7),)),
            ("OnExitRoom", ()),
            state(CONNECTED, DISCONNECTED),
        ]
        assert bob.since() == [
            ("OnRemoteAudioAvailable", ("alice", False)),
            ("OnRemoteVideoAvailable", ("alice", False, ("StreamType", 7))),
            ("OnRemoteUserExitRoom", (("UserInfo", "alice"), 0)),
        ]
        assert loopback.state()[alice.handle]["subscriptions"] == set()
        alice.mark()
        assert alice.cloud.EnterRoom(enter_params("alice")) == 0
        loopback.flush()
        assert alice.since()[0] == state(DISCONNECTED, CONNECTING)

    def test_subscriptions_end_with_the_exit(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        bob = make_member("bob")
        assert bob.cloud.Subscribe("alice", m.STREAM_TYPE_VIDEO_HIGH) == 0
        assert bob.cloud.ExitRoom() == 0
        assert loopback.state()[bob.handle]["subscriptions"] == set()
        assert alice.cloud.ExitRoom() == 0

    def test_destroying_a_cloud_in_a_room_leaves_it_as_others_see_it(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        bob = make_member("bob")
        assert alice.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        loopback.flush()
        bob.mark()
        alice.close()
        loopback.flush()
        assert bob.since() == [
            ("OnRemoteAudioAvailable", ("alice", False)),
            ("OnRemoteUserExitRoom", (("UserInfo", "alice"), 0)),
        ]
        # The user id is free again.
        carol = make_member("alice")
        assert carol.since() == []
        assert loopback.state()[carol.handle]["in_room"]
