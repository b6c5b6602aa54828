"""Handlers that destroy each other's clouds: no cycle of waits, no event after the destruction.

Each run is a fresh interpreter (tests/scripts/destroy_cycle.py) with a timeout: two event
threads that wait for each other would hang the process for good.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

import pytest

RUNS = 50
ROUNDS = "5"


@pytest.mark.timeout(600)
@pytest.mark.parametrize("case", ["pair", "ring", "self-and-other"])
def test_handlers_destroying_each_others_clouds_never_wait_for_good(
    case: str, run_script: Callable[..., tuple[int, str, str]]
) -> None:
    with ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(lambda _: run_script("destroy_cycle.py", case, ROUNDS), range(RUNS)))
    assert outcomes == [(0, "ok\n", "")] * RUNS
