"""`python -m mirelo` tells which SDK library the module loaded, and runs the demo."""

from __future__ import annotations

import ctypes.util
import os
import platform
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import mirelo
from mirelo import __main__ as main

LIBRARY = Path(mirelo.__file__).resolve().parent.parent / "mirelo.libs" / "libmirelo.so"


def run(*arguments: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    # Outside the repository, so that `mirelo` is the installed package.
    return subprocess.run(
        [sys.executable, "-m", "mirelo", *arguments], capture_output=True, text=True, timeout=60, cwd=cwd, env=env
    )


def line(output: str, label: str) -> str:
    return next(text for text in output.splitlines() if text.startswith(label))


def test_it_reports_the_loopback_it_loaded_and_the_versions_in_use(tmp_path: Path) -> None:
    result = run(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert line(result.stdout, "library") == f"library   {LIBRARY} (the loopback SDK, control interface 2)"
    assert mirelo.__version__ in line(result.stdout, "mirelo")
    assert line(result.stdout, "pybind11").split()[1]  # a version, or "unknown"
    assert platform.python_version() in line(result.stdout, "python")


def test_it_reports_the_library_actually_loaded_when_another_is_put_first(tmp_path: Path) -> None:
    # The way a program runs against another libmirelo.so: its folder on LD_LIBRARY_PATH.
    other = tmp_path / "vendor"
    other.mkdir()
    shutil.copy(LIBRARY, other / "libmirelo.so")
    env = dict(os.environ, LD_LIBRARY_PATH=str(other))
    result = run(cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert line(result.stdout, "library").startswith(f"library   {other / 'libmirelo.so'} (the loopback SDK")


def test_a_library_without_the_loopback_symbol_is_not_the_loopback() -> None:
    libc = ctypes.util.find_library("c")
    assert libc is not None
    ctypes.CDLL(libc)  # loaded already; the check never loads anything itself
    assert main.loopback_interface(libc) is None
    assert main.loopback_interface(str(LIBRARY)) == 2


def test_the_demo_runs_from_the_installed_package(tmp_path: Path) -> None:
    out = tmp_path / "heard.wav"
    result = run("--demo", "--seconds", "1", "--out", str(out), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0].startswith("t=1s frames=")
    with wave.open(str(out), "rb") as wav:
        assert (wav.getframerate(), wav.getnchannels()) == (16000, 1)
        assert wav.getnframes() >= 15000


def test_arguments_other_than_the_demos_are_refused(tmp_path: Path) -> None:
    result = run("--seconds", "1", cwd=tmp_path)
    assert result.returncode == 2
    assert "unrecognized arguments: --seconds 1" in result.stderr
