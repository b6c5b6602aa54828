"""The examples run standalone against the loopback service, and the package type-checks."""

from __future__ import annotations

import subprocess
import sys
import wave
from array import array
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(*command: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run outside the repository so that `mirelo` is the installed package, not the source folder.
    return subprocess.run([sys.executable, *command], capture_output=True, text=True, timeout=120, cwd=cwd)


def zero_crossing_frequency(samples: array, rate: int) -> float:
    crossings = sum(1 for a, b in zip(samples, samples[1:]) if (a < 0) != (b < 0))
    return crossings / 2 / (len(samples) / rate)


def test_the_call_demo_records_the_speakers_440_hz_tone_at_16_khz(tmp_path: Path) -> None:
    out = tmp_path / "received.wav"
    result = run(str(EXAMPLES / "call.py"), "--seconds", "1.2", "--out", str(out), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.splitlines()[0].startswith("t=1s frames=")
    with wave.open(str(out), "rb") as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getsampwidth()) == (16000, 1, 2)
        samples = array("h", wav.readframes(wav.getnframes()))
    assert len(samples) >= 16000
    steady = samples[1600:-1600]  # leave out the edges of the recording
    assert zero_crossing_frequency(steady, 16000) == pytest.approx(440, abs=2)
    assert max(abs(s) for s in steady) > 8000  # the tone arrives at its level, not attenuated


def test_the_threaded_echo_bot_echoes_every_frame(tmp_path: Path) -> None:
    result = run(str(EXAMPLES / "echo_bot.py"), "--seconds", "0.6", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    last = result.stdout.splitlines()[-1]
    assert last == "bot: echoed 30 frames; the caller heard 30 of them"


def test_the_type_stubs_match_the_built_module(tmp_path: Path) -> None:
    result = run("-m", "mypy.stubtest", "mirelo._mirelo", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_package_and_examples_pass_strict_type_checking(tmp_path: Path) -> None:
    result = run(
        "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "mirelo", "examples", cwd=ROOT
    )
    assert result.returncode == 0, result.stdout + result.stderr
