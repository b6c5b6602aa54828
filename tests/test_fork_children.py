"""Children forked anywhere, handlers included, end when they are done, whatever the loopback
started in them: each run is a fresh interpreter (tests/scripts/fork_child.py) that forks three
children, which end with os._exit, sys.exit and by returning; the parent waits for each with a
deadline and kills one that outlives it.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import fork_unless_sanitized

RUNS = 50

pytestmark = fork_unless_sanitized


@pytest.mark.timeout(900)
@pytest.mark.parametrize("work", ["enter-room", "keep-cloud", "paced-audio"])
@pytest.mark.parametrize("where", ["handler", "thread", "main"])
def test_every_child_ends_with_status_0(where: str, work: str, run_script: Callable[..., tuple[int, str, str]]) -> None:
    def run(_: int) -> tuple[int, str, str]:
        return run_script("fork_child.py", where, work, timeout=150, leak_check=where == "main")

    with ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(run, range(RUNS)))
    assert outcomes == [(0, "children: 0 0 0\n", "")] * RUNS
