"""Ways for a program to end while its clouds live and their events flow, each run many times.

Every run is a fresh interpreter (tests/scripts/shutdown_matrix.py), started outside the
repository so that it imports the installed package: a crash or a hang at exit would take the test
process with it otherwise. Under make test-asan the runs inherit the sanitizer runtime; their
reports are sent to their own standard error here, which must stay empty.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

SCRIPT = Path(__file__).parent / "scripts" / "shutdown_matrix.py"
# Races that hit a narrow window run more often. A stuck handler delays exit by the 5 s exit drain, so
# those runs go many at a time: they mostly wait.
RACE_RUNS = 200


# In these cases threads are stopped for good in the middle of Python code as the program exits (a
# handler past the exit drain, a daemon thread taking the lock back after a Destroy), and the
# interpreter deletes their frames when it finalizes: what those frames referred to is unreachable
# at exit by design, so the leak checker is off for them. Every other sanitizer check stays on.
PARKING_CASES = {"daemon-destroy", "raise", "self-destroy", "poll", "compute"}


def sanitizer_env(case: str) -> dict[str, str]:
    """The environment, with sanitizer reports going to standard error instead of log files."""
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    if "ASAN_OPTIONS" in env and case in PARKING_CASES:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


# In a child made by fork() the leak checker still lists the parent's other threads, cannot stop
# them, and says so on each exit; it checks the child all the same.
UNSUSPENDED = re.compile(r"==\d+==Running thread \d+ was not suspended\. False leaks are possible\.\n")


def run(case: str, cwd: Path) -> tuple[int, str, str]:
    try:
        done = subprocess.run(
            [sys.executable, str(SCRIPT), case],
            capture_output=True,
            text=True,
            timeout=90,
            cwd=cwd,
            env=sanitizer_env(case),
        )
    except subprocess.TimeoutExpired as expired:
        return (-1, f"hung: {expired.stdout!r}", f"{expired.stderr!r}")
    return (done.returncode, done.stdout, UNSUSPENDED.sub("", done.stderr))


@pytest.mark.timeout(1200)
@pytest.mark.parametrize(
    "case, expected, runs, workers",
    [
        ("global", "exiting\n", 20, 2),
        ("own-handler", "exiting\n", 20, 2),
        ("thread", "exiting\n", 20, 2),
        ("sys-exit", "4 events, failures: 3 SystemExit: 5\n", 20, 2),
        ("interrupt", "interrupted\n", 20, 2),
        ("fork", "children: 0 0 0\n", 20, 2),
        ("daemon-destroy", "exiting\n", 50, 2),
        ("raise", "exiting\n", RACE_RUNS, 2),
        ("self-destroy", "exiting\n", RACE_RUNS, 2),
        ("poll", "exiting\n", 50, 10),
        ("compute", "exiting\n", 50, 4),
    ],
)
def test_the_program_ends_with_status_0_every_time(
    case: str, expected: str, runs: int, workers: int, tmp_path: Path
) -> None:
    with ThreadPoolExecutor(max_workers=workers) as pool:
        outcomes = list(pool.map(lambda _: run(case, tmp_path), range(runs)))
    failures = [outcome for outcome in outcomes if outcome != (0, expected, "")]
    assert failures == [], f"{len(failures)} of {runs} runs failed"
