"""Ending clouds and the interpreter while events flow: no deadlock, no crash."""

from __future__ import annotations

import gc
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pytest

from conftest import RecordingHandler
from mirelo import _mirelo as m
from mirelo import loopback

SCRIPTS = Path(__file__).parent / "scripts"


class Busy(RecordingHandler):
    """Records OnEnterRoom and re-raises it on its own cloud, so its event thread never idles."""

    handle = 0

    def OnEnterRoom(self) -> None:
        self.record("OnEnterRoom", ())
        loopback.emit(self.handle, "OnEnterRoom")  # from the event thread: queued, no wait


def flood(handle: int, start: threading.Barrier, errors: list[BaseException]) -> None:
    try:
        start.wait(timeout=10)
        while True:
            loopback.emit(handle, "OnRemoteAudioAvailable", "alice", True, timeout=10)
    except ValueError:  # the cloud is gone: the flood ends
        pass
    except BaseException as error:  # noqa: BLE001 - handed to the test thread
        errors.append(error)


# A deadlock here hangs inside native code, where only the thread method of pytest-timeout fires.
@pytest.mark.timeout(60, method="thread")
@pytest.mark.parametrize("flooders", [1, 3])
def test_a_cloud_destroyed_while_threads_flood_it_with_events_returns(fresh_loopback: Any, flooders: int) -> None:
    for _ in range(10):
        handler = Busy()
        cloud = m.QOLTCloud(handler)
        handler.handle = handle = loopback.clouds()[-1]
        start = threading.Barrier(flooders + 1)
        errors: list[BaseException] = []
        threads = [threading.Thread(target=flood, args=(handle, start, errors)) for _ in range(flooders)]
        for thread in threads:
            thread.start()
        loopback.emit(handle, "OnEnterRoom")
        start.wait(timeout=10)
        handler.wait_for(20)

        began = time.monotonic()
        del cloud
        assert time.monotonic() - began < 10
        delivered = len(handler.calls)
        for thread in threads:
            thread.join(timeout=20)
        assert not any(thread.is_alive() for thread in threads)
        assert not errors
        assert handle not in loopback.clouds()
        loopback.flush()
        assert len(handler.calls) == delivered, "an event ran after Destroy returned"
        gc.collect()


def run_exit_script(mode: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(SCRIPTS / "exit_with_live_cloud.py"), mode],
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.mark.parametrize("mode", ["keeps-lock", "releases-lock"])
def test_a_script_exiting_with_a_live_cloud_on_its_own_handler_exits_cleanly_every_time(mode: str) -> None:
    with ThreadPoolExecutor(max_workers=2) as pool:
        runs = list(pool.map(lambda _: run_exit_script(mode), range(20)))
    outcomes = [(run.returncode, run.stdout, run.stderr) for run in runs]
    assert outcomes == [(0, "exiting\n", "")] * 20
