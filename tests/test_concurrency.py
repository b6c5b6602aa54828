"""Several clouds raising events on their threads while Python threads call into them."""

from __future__ import annotations

import threading
import time
from collections import defaultdict
from typing import Callable

import pytest

from conftest import CloudRig
from mirelo import _mirelo as m
from mirelo import loopback

CLOUDS = 4
EMITTERS_PER_CLOUD = 2
CALLERS = 2
EVENTS_PER_EMITTER = 200


class Counting(m.QOLTCloudDelegate):
    """Keeps, per emitter tag, the sequence numbers of the OnMissCustomCmdMsg events it got."""

    def __init__(self) -> None:
        super().__init__()
        self.received: dict[int, list[int]] = defaultdict(list)
        self.threads: set[int] = set()

    def OnMissCustomCmdMsg(self, user_id: str, tag: int, error_code: int, sequence: int) -> None:
        self.received[tag].append(sequence)
        self.threads.add(threading.get_ident())


def call_methods(cloud: m.QOLTCloud) -> None:
    cloud.Subscribe("alice", m.STREAM_TYPE_AUDIO)
    cloud.SendSeiMessage(1, b"sei")
    cloud.SendCustomCmdMsg(1, b"cmd", True, True)
    cloud.EnableVoiceActivityDetection(m.VADParams())
    cloud.Unsubscribe("alice", m.STREAM_TYPE_AUDIO)


@pytest.mark.usefixtures("native_deadlock_guard")
def test_four_clouds_under_load_deliver_every_event_exactly_once_in_bounded_time(
    make_cloud: Callable[..., CloudRig],
) -> None:
    rigs = [make_cloud(Counting()) for _ in range(CLOUDS)]
    start = threading.Barrier(CLOUDS * EMITTERS_PER_CLOUD + CALLERS + 1)
    emitters_done = threading.Event()
    errors: list[BaseException] = []
    calls_made = [0] * CALLERS

    def emit_all(rig: CloudRig, tag: int) -> None:
        try:
            start.wait(timeout=10)
            for sequence in range(EVENTS_PER_EMITTER):
                loopback.emit(rig.handle, "OnMissCustomCmdMsg", f"emitter-{tag}", tag, 0, sequence, timeout=30)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    def call_until_done(index: int) -> None:
        try:
            start.wait(timeout=10)
            while not emitters_done.is_set():
                for rig in rigs:
                    call_methods(rig.cloud)
                calls_made[index] += 1
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    emitters = [
        threading.Thread(target=emit_all, args=(rig, tag))
        for rig in rigs
        for tag in range(EMITTERS_PER_CLOUD)
    ]
    callers = [threading.Thread(target=call_until_done, args=(index,)) for index in range(CALLERS)]
    for thread in emitters + callers:
        thread.start()
    began = time.monotonic()
    start.wait(timeout=10)
    for thread in emitters:
        thread.join(timeout=90)
    emitters_done.set()
    for thread in callers:
        thread.join(timeout=10)
    elapsed = time.monotonic() - began

    assert not any(thread.is_alive() for thread in emitters + callers)
    assert not errors
    assert elapsed < 90
    assert all(calls_made), calls_made
    loopback.flush()
    for rig in rigs:
        handler = rig.handler
        assert dict(handler.received) == {tag: list(range(EVENTS_PER_EMITTER)) for tag in range(EMITTERS_PER_CLOUD)}
        assert len(handler.threads) == 1
    assert len(set().union(*(rig.handler.threads for rig in rigs))) == CLOUDS
    assert all(rig.failures() == [] for rig in rigs)
