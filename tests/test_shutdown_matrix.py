"""Ways for a program to end while its clouds live and their events flow, each run many times.

Every run is a fresh interpreter (tests/scripts/shutdown_matrix.py), started outside the
repository so that it imports the installed package: a crash or a hang at exit would take the test
process with it otherwise. Under make test-asan the runs inherit the sanitizer runtime; their
reports are sent to their own standard error here, which must stay empty.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import SANITIZED, fork_unless_sanitized

# Races that hit a narrow window run more often. A stuck handler delays exit by the 5 s exit drain, so
# those runs go many at a time: they mostly wait. Under the sanitizers an interpreter takes seconds to
# start, so the sanitized suite runs each race a quarter as often as the plain one.
RACE_RUNS = 50 if SANITIZED else 200


# In these cases threads are stopped for good in the middle of Python code as the program exits (a
# handler past the exit drain, a daemon thread taking the lock back after a Destroy), and the
# interpreter deletes their frames when it finalizes: what those frames referred to is unreachable
# at exit by design, so the leak checker is off for them. Every other sanitizer check stays on.
PARKING_CASES = {"daemon-destroy", "raise", "self-destroy", "poll", "compute"}


@pytest.mark.timeout(1200)
@pytest.mark.parametrize(
    "case, expected, runs, workers",
    [
        ("global", "exiting\n", 20, 2),
        ("own-handler", "exiting\n", 20, 2),
        ("thread", "exiting\n", 20, 2),
        ("sys-exit", "4 events, failures: 3 SystemExit: 5\n", 20, 2),
        ("interrupt", "interrupted\n", 20, 2),
        pytest.param("fork", "children: 0 0 0\n", 20, 2, marks=fork_unless_sanitized),
        ("daemon-destroy", "exiting\n", 50, 2),
        ("raise", "exiting\n", RACE_RUNS, 2),
        ("self-destroy", "exiting\n", RACE_RUNS, 2),
        ("poll", "exiting\n", 50, 10),
        ("compute", "exiting\n", 50, 4),
    ],
)
def test_the_program_ends_with_status_0_every_time(
    case: str, expected: str, runs: int, workers: int, run_script: Callable[..., tuple[int, str, str]]
) -> None:
    def run(_: int) -> tuple[int, str, str]:
        return run_script("shutdown_matrix.py", case, timeout=90, leak_check=case not in PARKING_CASES)

    with ThreadPoolExecutor(max_workers=workers) as pool:
        outcomes = list(pool.map(run, range(runs)))
    failures = [outcome for outcome in outcomes if outcome != (0, expected, "")]
    assert failures == [], f"{len(failures)} of {runs} runs failed"
