"""Failures inside the loopback reach Python as clear errors or result codes, never as a crash.

Each case runs in a fresh interpreter started outside the repository (so that it imports the
installed package): an exception escaping into ctypes would abort it.
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


def run_python(code: str, *args: str, cwd: Path) -> str:
    """Runs `code` in a fresh interpreter; returns its standard output once it exited with 0."""
    done = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=60, cwd=cwd
    )
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
