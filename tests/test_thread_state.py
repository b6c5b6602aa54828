"""Each SDK event thread gets one Python thread state, kept from its first event until it ends."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
import weakref
from collections.abc import Callable
from typing import Any

import pytest

from conftest import CloudRig, RecordingHandler, fork_unless_sanitized
from mirelo import _mirelo as m
from mirelo import loopback


class Marker:
    """An object whose collection can be watched with a weak reference."""


class ThreadLocalHandler(RecordingHandler):
    """Keeps a marker in a threading.local: it lives exactly as long as the event thread's state."""

    def __init__(self) -> None:
        super().__init__()
        self.local = threading.local()
        self.markers: list[weakref.ref[Marker]] = []
        self.seen_before: list[bool] = []

    def OnEnterRoom(self) -> None:
        self.seen_before.append(hasattr(self.local, "marker"))
        if not hasattr(self.local, "marker"):
            self.local.marker = Marker()
            self.markers.append(weakref.ref(self.local.marker))
        self.record("OnEnterRoom", ())


@pytest.fixture
def own_threads(loopback_config: Callable[..., None]) -> None:
    """Clouds made in the test get an event thread each (by default they share the pool's)."""
    loopback_config(event_threads=0)


@pytest.mark.usefixtures("own_threads")
def test_an_event_thread_keeps_its_thread_state_across_events(make_cloud: Callable[..., CloudRig]) -> None:
    rig = make_cloud(ThreadLocalHandler())
    for _ in range(5):
        rig.emit("OnEnterRoom")
    handler = rig.handler
    assert handler.seen_before == [False, True, True, True, True]
    assert len(handler.threads) == 1


@pytest.mark.usefixtures("own_threads")
def test_the_thread_state_is_released_when_its_event_thread_ends(make_cloud: Callable[..., CloudRig]) -> None:
    rig = make_cloud(ThreadLocalHandler())
    rig.emit("OnEnterRoom")
    marker = rig.handler.markers[0]
    assert marker() is not None
    rig.close()  # destroying the cloud ends its event thread, which clears its thread state
    assert marker() is None


@pytest.mark.usefixtures("own_threads")
def test_clouds_on_separate_threads_each_get_their_own_state(make_cloud: Callable[..., CloudRig]) -> None:
    handler = ThreadLocalHandler()
    rigs = [make_cloud(handler) for _ in range(3)]
    for rig in rigs:
        rig.emit("OnEnterRoom")
        rig.emit("OnEnterRoom")
    assert handler.seen_before == [False, True] * 3
    assert len(handler.threads) == 3


EXIT_WHILE_EVENTS_WAIT = """
import threading, time
from mirelo import _mirelo as m, loopback

class Handler(m.QOLTCloudDelegate):
    def __init__(self):
        super().__init__()
        self.started = threading.Event()
    def OnEnterRoom(self):
        self.started.set()
        time.sleep(0.2)  # gives up the interpreter lock while the main thread exits

handlers = [Handler() for _ in range(3)]
clouds = [m.QOLTCloud(h) for h in handlers]
for handle in loopback.clouds():
    for _ in range(3):
        threading.Thread(target=loopback.emit, args=(handle, "OnEnterRoom"), kwargs={"timeout": 30},
                         daemon=True).start()
assert all(h.started.wait(10) for h in handlers)
print("exiting", flush=True)
"""


def test_exit_while_handlers_have_given_up_the_lock_is_clean(tmp_path: Any) -> None:
    """At exit, events in flight finish first; later ones never touch the finalizing interpreter."""
    runs = [
        subprocess.run(
            [sys.executable, "-c", EXIT_WHILE_EVENTS_WAIT],
            capture_output=True,
            text=True,
            timeout=60,
            cwd=tmp_path,
        )
        for _ in range(5)
    ]
    assert [(run.returncode, run.stdout, run.stderr) for run in runs] == [(0, "exiting\n", "")] * 5


def test_a_python_thread_calling_base_methods_keeps_its_own_state(make_cloud: Callable[..., Any]) -> None:
    """Base event methods run the trampoline on the calling Python thread, whose state Python owns."""
    handler = RecordingHandler()
    errors: list[BaseException] = []

    def call() -> None:
        try:
            for _ in range(3):
                RecordingHandler.__mro__[1].OnEnterRoom(handler)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    worker = threading.Thread(target=call)
    worker.start()
    worker.join(timeout=10)
    assert not worker.is_alive()
    assert not errors
    assert handler.names() == ["OnEnterRoom"] * 3


@fork_unless_sanitized
@pytest.mark.usefixtures("own_threads")
def test_a_child_forked_while_sdk_threads_make_their_thread_states_starts() -> None:
    """Each new event thread makes its Python thread state with its first event; a fork at that
    moment must not leave the child waiting, as it starts, for the interpreter's list of states."""
    stop = threading.Event()
    errors: list[BaseException] = []

    def churn() -> None:
        try:
            while not stop.is_set():
                cloud = m.QOLTCloud(RecordingHandler())  # a thread of its own, new to Python
                loopback.emit(loopback.clouds()[-1], "OnEnterRoom", timeout=30)
                del cloud
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    churner = threading.Thread(target=churn)
    churner.start()
    hung = 0
    try:
        for _ in range(200):
            pid = os.fork()
            if pid == 0:
                os._exit(0)  # a child that hangs does so inside os.fork, before this line
            deadline = time.monotonic() + 10
            while os.waitpid(pid, os.WNOHANG)[0] == 0:
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    hung += 1
                    break
                time.sleep(0.001)
    finally:
        stop.set()
        churner.join(timeout=30)
    assert errors == [] and hung == 0
