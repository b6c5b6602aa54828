"""Custom messages and network-quality reports in loopback rooms."""

import time
from collections.abc import Callable
from typing import Any

import pytest

from conftest import RoomRig
from mirelo import _mirelo as m
from mirelo import loopback


@pytest.fixture
def trio(make_member: Callable[..., RoomRig]) -> tuple[RoomRig, RoomRig, RoomRig]:
    """alice and bob (anchors) and carol (audience) in room 1."""
    alice, bob = make_member("alice"), make_member("bob")
    carol = make_member("carol", role=m.QOLT_ROLE_AUDIENCE)
    for rig in (alice, bob):
        rig.mark()
    return alice, bob, carol


def messages(rig: RoomRig) -> list[tuple[str, tuple[Any, ...]]]:
    return [(n, a) for n, a in rig.since() if n in ("OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg")]


class TestCustomMessages:
    def test_every_other_user_gets_them_numbered_per_sender_and_command(
        self, trio: tuple[RoomRig, RoomRig, RoomRig]
    ) -> None:
        alice, bob, carol = trio
        sent = [(1, b"a"), (1, b"b"), (2, b"\x00c"), (1, b"")]
        for cmd_id, payload in sent:
            assert alice.cloud.SendCustomCmdMsg(cmd_id, payload, False, False) == 1
        assert bob.cloud.SendCustomCmdMsg(1, b"from bob", True, True) == 1
        loopback.flush()
        expected = [
            ("OnReceiveCustomCmdMsg", ("alice", 1, 1, b"a")),
            ("OnReceiveCustomCmdMsg", ("alice", 1, 2, b"b")),
            ("OnReceiveCustomCmdMsg", ("alice", 2, 1, b"\x00c")),
            ("OnReceiveCustomCmdMsg", ("alice", 1, 3, b"")),
        ]
        assert messages(bob) == expected
        assert messages(carol) == expected + [("OnReceiveCustomCmdMsg", ("bob", 1, 1, b"from bob"))]
        assert messages(alice) == [("OnReceiveCustomCmdMsg", ("bob", 1, 1, b"from bob"))]

    @pytest.mark.parametrize("cmd_id, size", [(0, 1), (11, 1), (-1, 1), (1, 1025)])
    def test_refused_commands_and_sizes(self, trio: tuple[RoomRig, RoomRig, RoomRig], cmd_id: int, size: int) -> None:
        alice, bob, _ = trio
        assert alice.cloud.SendCustomCmdMsg(cmd_id, bytes(size), True, True) == 0
        assert alice.cloud.SendCustomCmdMsg(10, bytes(1024), True, True) == 1

    def test_refused_outside_a_room(self, cloud: Any) -> None:
        assert cloud.cloud.SendCustomCmdMsg(1, b"x", True, True) == 0

    @pytest.mark.parametrize("count, size, accepted", [(31, 10, 30), (9, 1000, 8)])
    def test_rate_is_limited_per_second(
        self, trio: tuple[RoomRig, RoomRig, RoomRig], count: int, size: int, accepted: int
    ) -> None:
        alice, bob, _ = trio
        results = [alice.cloud.SendCustomCmdMsg(1, bytes(size), True, True) for _ in range(count)]
        assert results == [1] * accepted + [0] * (count - accepted)
        loopback.flush()
        assert [args[2] for _, args in messages(bob)] == list(range(1, accepted + 1))

    def test_lost_messages_are_reported_missing_on_the_next_one(
        self, trio: tuple[RoomRig, RoomRig, RoomRig], loopback_config: Any
    ) -> None:
        alice, bob, _ = trio
        loopback_config(custom_message_loss=0.5, custom_message_seed=7)
        for _ in range(20):
            assert alice.cloud.SendCustomCmdMsg(3, b"u", False, False) == 1
        for _ in range(5):
            assert alice.cloud.SendCustomCmdMsg(3, b"r", True, True) == 1
        loopback.flush()
        got = messages(bob)
        delivered = [args[2] for name, args in got if name == "OnReceiveCustomCmdMsg"]
        missed = sum(args[3] for name, args in got if name == "OnMissCustomCmdMsg")
        assert 0 < missed < 20
        assert delivered[-5:] == [21, 22, 23, 24, 25]  # reliable ones always arrive
        assert len(delivered) + missed == 25  # every number is either delivered or reported
        last_seq = 0
        for index, (name, args) in enumerate(got):
            if name == "OnReceiveCustomCmdMsg":
                last_seq = args[2]
                continue
            next_name, next_args = got[index + 1]  # a miss is reported right before the next message
            assert args[:3] == ("alice", 3, 0)
            assert next_name == "OnReceiveCustomCmdMsg"
            assert next_args[2] - last_seq - 1 == args[3]


class TestNetworkQuality:
    def test_reports_itself_and_the_other_anchors_periodically(
        self, make_member: Callable[..., RoomRig], loopback_config: Any
    ) -> None:
        loopback_config(network_quality_interval=0.05)
        alice = make_member("alice")
        make_member("bob")
        make_member("carol", role=m.QOLT_ROLE_AUDIENCE)
        alice.mark()
        deadline = time.monotonic() + 5
        while alice.names().count("OnNetworkQuality") < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        reports = [args for name, args in alice.since() if name == "OnNetworkQuality"]
        assert len(reports) >= 3
        excellent = ("NetworkQuality", int(m.NETWORK_QUALITY_EXCELLENT))
        assert reports[-1] == (("NetworkQualityInfo", "alice", excellent), [("NetworkQualityInfo", "bob", excellent)])

    def test_default_interval_is_two_seconds(self, fresh_loopback: Any) -> None:
        assert loopback.configuration()["network_quality_interval"] == 2.0
