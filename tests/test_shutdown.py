"""Ending clouds and the interpreter while events flow: no deadlock, no crash."""

from __future__ import annotations

import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

SCRIPTS = Path(__file__).parent / "scripts"


def run_script(name: str, *args: str) -> subprocess.CompletedProcess[str]:
    # In a subprocess: a deadlock on the interpreter lock would hang this whole process, where
    # no timeout can fire.
    return subprocess.run([sys.executable, str(SCRIPTS / name), *args], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("flooders", [1, 3])
def test_a_cloud_destroyed_while_threads_flood_it_with_events_returns(flooders: int) -> None:
    run = run_script("destroy_flooded_cloud.py", str(flooders), "10")
    assert (run.returncode, run.stdout, run.stderr) == (0, "done\n", "")


@pytest.mark.parametrize("mode", ["keeps-lock", "releases-lock"])
def test_a_script_exiting_with_a_live_cloud_on_its_own_handler_exits_cleanly_every_time(mode: str) -> None:
    with ThreadPoolExecutor(max_workers=2) as pool:
        runs = list(pool.map(lambda _: run_script("exit_with_live_cloud.py", mode), range(20)))
    outcomes = [(run.returncode, run.stdout, run.stderr) for run in runs]
    assert outcomes == [(0, "exiting\n", "")] * 20
