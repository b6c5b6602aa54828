"""Failures inside the loopback reach Python as clear errors or result codes, never as a crash.

Each case runs in a fresh interpreter started outside the repository (so that it imports the
installed package): an exception escaping the control API would abort it, and the clock thread that
EnterRoom starts runs once per process, so its failure can only be seen before any room entry.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SNAPSHOT_FAILURE = textwrap.dedent(
    """
    import sys
    import mirelo
    from mirelo import _mirelo as m, loopback

    fault, where = sys.argv[1:3]

    def snapshot_outcome():
        loopback._fail_next(fault)
        try:
            loopback.journal()
        except Exception as error:
            return f"{type(error).__name__}: {error}"
        return "no error"

    class Handler(mirelo.Delegate):
        def OnError(self, error):
            self.outcome = snapshot_outcome()

    handler = Handler()
    cloud = m.QOLTCloud(handler)
    if where == "handler":
        loopback.emit(loopback.clouds()[-1], "OnError", 1)
        print(handler.outcome)
    else:
        print(snapshot_outcome())
    # Only the armed snapshot failed: the next one works, and so does everything else.
    assert [op for _, op, _ in loopback.journal()] == ["Create"]
    loopback.flush()
    assert loopback.failures() == []
    """
)

CLOCK_START_FAILURE = textwrap.dedent(
    """
    import os, sys
    import mirelo
    from mirelo import _mirelo as m, loopback

    class Handler(mirelo.Delegate):
        def __init__(self):
            super().__init__()
            self.events = []

        def OnConnectionStateChanged(self, old, new):
            self.events.append("OnConnectionStateChanged")

        def OnEnterRoom(self):
            self.events.append("OnEnterRoom")

    params = m.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = 1
    params.room.user_id.SetValue("alice")
    params.room.user_sig.SetValue("sig")
    assert m.SetLogPath(sys.argv[1])
    handler = Handler()
    cloud = m.QOLTCloud(handler)
    (handle,) = loopback.clouds()

    loopback._fail_next("clock_start")
    assert cloud.EnterRoom(params) == m.ERR_FAILED
    loopback.flush()
    state = loopback.state()[handle]
    print(handler.events, state["in_room"], state["connection_state"], state["room"])

    # Nothing was left behind: the same entry works once a thread can start.
    assert cloud.EnterRoom(params) == m.ERR_OK
    loopback.flush()
    print(handler.events, loopback.state()[handle]["in_room"])
    try:
        loopback._fail_next("clock_start")
    except ValueError as error:
        print("ValueError:", error)
    """
)


def run_python(code: str, *args: str, cwd: Path) -> str:
    """Runs `code` in a fresh interpreter; returns its standard output once it exited with 0."""
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=60, cwd=cwd)
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    return done.stdout


@pytest.mark.parametrize("where", ["main", "handler"])
@pytest.mark.parametrize(
    "fault, expected",
    [
        ("snapshot_memory", "MemoryError: the loopback ran out of memory in a snapshot: std::bad_alloc\n"),
        (
            "snapshot_internal",
            "RuntimeError: the loopback failed in a snapshot: snapshot failed on request (fault injected)\n",
        ),
    ],
)
def test_a_control_call_that_fails_inside_the_loopback_raises_a_python_error(
    tmp_path: Path, fault: str, where: str, expected: str
) -> None:
    assert run_python(SNAPSHOT_FAILURE, fault, where, cwd=tmp_path) == expected


def test_enter_room_whose_clock_thread_cannot_start_fails_and_leaves_no_trace(tmp_path: Path) -> None:
    log_dir = tmp_path / "log"
    assert run_python(CLOCK_START_FAILURE, str(log_dir), cwd=tmp_path).splitlines() == [
        "[] False 0 None",
        "['OnConnectionStateChanged', 'OnConnectionStateChanged', 'OnEnterRoom'] True",
        "ValueError: the clock thread already runs in this process",
    ]
    (log,) = log_dir.iterdir()
    assert "EnterRoom failed: clock thread not started (injected)" in log.read_text()
