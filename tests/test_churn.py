"""Clouds created and destroyed 10,000 times: no thread and no memory stays behind.

Each cycle creates a cloud, enters a room where a listener hears it, publishes, leaves and destroys
the cloud; the four tests split the 10,000 cycles between four ways of publishing and leaving. After
a warm-up (the room service's clock thread, the interpreter's pools, a short journal filled), the
thread count must come back to where it was exactly, and the resident set may grow by at most
RSS_BOUND (it stays flat in practice; the bound leaves room for allocator noise).
"""

from __future__ import annotations

import gc
import os
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from conftest import SANITIZED, define_every_event, enter_params, pixel_frame, video_frame
from mirelo import _mirelo as m
from mirelo import loopback

CYCLES = 2_500
WARM_UP = 200
RSS_BOUND = 4 * 2**20
AUDIO, HIGH = m.STREAM_TYPE_AUDIO, m.STREAM_TYPE_VIDEO_HIGH


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Counting(m.QOLTCloudDelegate):
    """Takes every event and keeps only a count, so that the handler itself does not grow."""

    def __init__(self) -> None:
        super().__init__()
        self.events = 0

    def count(self, *args: Any) -> None:
        self.events += 1


define_every_event(Counting, Counting.count)


def tone() -> m.AudioFrame:
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    return frame


def publish_audio(cloud: m.QOLTCloud) -> None:
    assert cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
    assert cloud.SendAudioFrame(tone()) == 0


def publish_video(cloud: m.QOLTCloud) -> None:
    assert cloud.CreateLocalVideoChannel(HIGH) == 0
    assert cloud.SendVideoFrame(HIGH, video_frame()) == 0
    assert cloud.SendPixelFrame(HIGH, pixel_frame()) == 0


def send_messages(cloud: m.QOLTCloud) -> None:
    publish_video(cloud)
    assert cloud.SendSeiMessage(1, b"sei") == 0
    assert cloud.SendCustomCmdMsg(1, b"cmd", True, True) == 1


def pace_audio(cloud: m.QOLTCloud) -> None:
    assert cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
    for _ in range(3):
        assert cloud.SendContinuousAudioFrame(tone(), False) == 0  # left queued when the cloud goes


@pytest.fixture
def listener(loopback_config: Callable[..., None]) -> Iterator[Counting]:
    """A cloud in the room that subscribes to the churned user; a short journal."""
    loopback_config(journal_entries=100)
    handler = Counting()
    cloud = m.QOLTCloud(handler)
    assert cloud.EnterRoom(enter_params("listener")) == 0
    for stream in (AUDIO, HIGH):
        assert cloud.Subscribe("churned", stream) == 0
    yield handler
    del cloud
    gc.collect()
    loopback.flush()


@pytest.mark.timeout(600)
@pytest.mark.parametrize(
    "publish, leave",
    [
        pytest.param(publish_audio, "ExitRoom", id="audio-exit"),
        pytest.param(publish_video, "ExitRoom", id="video-exit"),
        pytest.param(send_messages, "ExitRoom", id="messages-exit"),
        pytest.param(pace_audio, "destroy", id="paced-audio-destroyed-in-room"),
    ],
)
def test_a_cycle_leaves_no_thread_and_no_memory_behind(
    listener: Counting, publish: Callable[[m.QOLTCloud], None], leave: str
) -> None:
    def cycle() -> None:
        cloud = m.QOLTCloud(Counting())
        assert cloud.EnterRoom(enter_params("churned")) == 0
        publish(cloud)
        if leave == "ExitRoom":
            assert cloud.ExitRoom() == 0
        del cloud  # destroys it: no other reference

    for _ in range(WARM_UP):
        cycle()
    loopback.flush()
    gc.collect()
    threads, resident = thread_count(), resident_bytes()
    heard = listener.events
    for _ in range(CYCLES):
        cycle()
    loopback.flush()
    gc.collect()
    assert thread_count() == threads
    assert listener.events - heard >= CYCLES * 3  # entries, media and exits reached the listener
    if not SANITIZED:  # the sanitizer's own bookkeeping grows the resident set
        assert resident_bytes() - resident <= RSS_BOUND
