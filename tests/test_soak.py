"""A minute of traffic in four rooms, one handler too slow for it (make soak; never in CI).

Eight clouds, two per room, each publishing paced audio, video, SEI and custom messages to the
other and subscribed to it. One handler takes far longer per media frame than frames arrive: its
cloud drops media (counted in stats()), while every other cloud drops nothing, every failure list
stays empty, and the resident set, sampled each second after a warm-up, stays within RSS_BOUND.
MIRELO_SOAK_SECONDS changes the length (60 by default).
"""

from __future__ import annotations

import gc
import os
import time
from collections.abc import Iterator
from typing import Any

import pytest

from conftest import define_every_event, enter_params, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

pytestmark = [pytest.mark.soak, pytest.mark.timeout(600)]

SECONDS = float(os.environ.get("MIRELO_SOAK_SECONDS", "60"))
WARM_UP_S = 10.0
TICK_S = 0.1
RSS_BOUND = 32 * 2**20
SLOW_FRAME_S = 0.03  # per media frame; about 65 arrive each second
AUDIO, HIGH = m.STREAM_TYPE_AUDIO, m.STREAM_TYPE_VIDEO_HIGH


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Listening(m.QOLTCloudDelegate):
    """Counts what arrives; a slow one also sleeps on every media frame (the interpreter lock is
    free meanwhile, as with any handler that waits or does I/O)."""

    def __init__(self, slow: bool = False) -> None:
        super().__init__()
        self.slow = slow
        self.counts: dict[str, int] = {}

    def count(self, name: str) -> None:
        self.counts[name] = self.counts.get(name, 0) + 1

    def media(self, name: str) -> None:
        self.count(name)
        if self.slow:
            time.sleep(SLOW_FRAME_S)

    def OnRemoteAudioReceived(self, user_id: str, frame: m.AudioFrame) -> None:
        self.media("audio")

    def OnRemoteVideoFrameReceived(self, user_id: str, stream: Any, frame: m.VideoFrame) -> None:
        self.media("video")

    def OnSeiMessageReceived(self, user_id: str, stream: Any, message_type: int, message: bytes) -> None:
        self.count("sei")

    def OnReceiveCustomCmdMsg(self, user_id: str, cmd_id: int, seq: int, message: bytes) -> None:
        self.count("message")

    def OnNetworkQuality(self, local: Any, remote: Any) -> None:
        self.count("quality")

    def other(self, *args: Any) -> None:
        self.count("other")


define_every_event(Listening, Listening.other)


class Member:
    def __init__(self, room: int, user: str, slow: bool) -> None:
        self.user = user
        self.handler = Listening(slow)
        before = set(loopback.clouds())
        self.cloud = m.QOLTCloud(self.handler)
        (self.handle,) = set(loopback.clouds()) - before
        assert self.cloud.EnterRoom(enter_params(user, 100 + room, output_sample_rate=48000)) == 0
        assert self.cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
        assert self.cloud.CreateLocalVideoChannel(HIGH) == 0


@pytest.fixture
def rooms(loopback_config: Any) -> Iterator[list[Member]]:
    loopback_config(journal_entries=1000, network_quality_interval=1.0)
    members = [
        Member(room, f"user-{room}-{seat}", slow=(room, seat) == (1, 0)) for room in range(4) for seat in range(2)
    ]
    for index, member in enumerate(members):
        partner = members[index ^ 1]
        assert member.cloud.Subscribe(partner.user, AUDIO) == 0
        assert member.cloud.Subscribe(partner.user, HIGH) == 0
    yield members
    for member in members:
        member.cloud = None
    gc.collect()
    loopback.flush(timeout=60)


def test_a_minute_of_traffic_drops_only_for_the_slow_handler_and_memory_stays_bounded(rooms: list[Member]) -> None:
    audio = m.AudioFrame()
    audio.sample_rate, audio.channels, audio.bits_per_sample = 48000, 1, 16
    audio.SetData(bytes(1920))
    video = video_frame(bytes(4000))
    samples: list[int] = []
    began = time.monotonic()
    next_sample = began + WARM_UP_S
    for tick in range(int(SECONDS / TICK_S)):
        deadline = began + (tick + 1) * TICK_S
        for member in rooms:
            for _ in range(5):  # 100 ms of audio, paced out by the room service's clock
                assert member.cloud.SendContinuousAudioFrame(audio, False) == 0
            if tick % 2 == 0 or tick % 4 == 1:  # 15 frames a second
                assert member.cloud.SendVideoFrame(HIGH, video) == 0
            if tick % 10 == 0:
                assert member.cloud.SendSeiMessage(1, b"sei") == 0
            if tick % 2 == 0:
                assert member.cloud.SendCustomCmdMsg(1, b"message", True, True) == 1
        now = time.monotonic()
        if now >= next_sample:
            samples.append(resident_bytes())
            next_sample += 1.0
        if deadline > now:
            time.sleep(deadline - now)  # the pace of the traffic, not a wait for a result
    loopback.flush(timeout=120)

    stats = loopback.stats()
    slow = next(member for member in rooms if member.handler.slow)
    assert stats[slow.handle]["dropped"] > 0
    for member in rooms:
        if member is not slow:
            assert stats[member.handle]["dropped"] == 0, member.user
            assert member.handler.counts.get("audio", 0) > 0 and member.handler.counts.get("video", 0) > 0
        assert member.handler.counts.get("sei", 0) > 0 and member.handler.counts.get("message", 0) > 0
    assert [failure for failure in loopback.failures() if failure[0] in {member.handle for member in rooms}] == []
    assert max(samples) - min(samples) <= RSS_BOUND
    print(
        f"\nsoak: {SECONDS:.0f} s; slow cloud dropped {stats[slow.handle]['dropped']} of {stats[slow.handle]['raised']} "
        f"events; others dropped {sum(stats[r.handle]['dropped'] for r in rooms if r is not slow)}; "
        f"RSS {min(samples) / 2**20:.1f}..{max(samples) / 2**20:.1f} MiB"
    )
