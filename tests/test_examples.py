"""The examples run standalone against the loopback service, and the package type-checks."""

from __future__ import annotations

import signal
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
    result = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "mirelo", "examples", cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def interrupted(command: list[str], signum: int, after: float, cwd: Path) -> subprocess.CompletedProcess[str]:
    """Runs an example and sends it `signum` once it has run for `after` seconds."""
    process = subprocess.Popen(
        [sys.executable, *command], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd
    )
    try:
        process.wait(after)
    except subprocess.TimeoutExpired:
        process.send_signal(signum)
    out, err = process.communicate(timeout=60)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def wav_seconds(path: Path) -> float:
    """The WAV file's length, once its header is checked against its size: a complete file."""
    with wave.open(str(path), "rb") as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getsampwidth()) == (16000, 1, 2)
        assert path.stat().st_size == 44 + wav.getnframes() * 2
        return wav.getnframes() / 16000


def test_ctrl_c_in_the_call_demo_still_writes_what_was_heard(tmp_path: Path) -> None:
    out = tmp_path / "received.wav"
    result = interrupted(
        [str(EXAMPLES / "call.py"), "--seconds", "30", "--out", str(out)], signal.SIGINT, 1.5, tmp_path
    )
    assert result.returncode == 130, result.stderr
    assert "interrupted: keeping what was heard" in result.stdout
    assert 0.2 < wav_seconds(out) < 5


def test_the_voice_agent_answers_each_turn_and_stops_when_talked_over(tmp_path: Path) -> None:
    result = run(str(EXAMPLES / "voice_agent.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("agent: 3 turns, 2 answers finished, 1 interrupted;")


def test_the_recorder_writes_one_file_per_user_and_the_mix(tmp_path: Path) -> None:
    result = run(str(EXAMPLES / "recorder.py"), "--seconds", "1", "--out", str(tmp_path / "rec"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lengths = {path.name: wav_seconds(path) for path in (tmp_path / "rec").iterdir()}
    assert sorted(lengths) == ["alice.wav", "bob.wav", "mix.wav"]
    assert all(0.9 <= length <= 1.2 for length in lengths.values()), lengths


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_the_recorder_stops_on_a_signal_with_every_file_complete(tmp_path: Path, signum: int) -> None:
    folder = tmp_path / "rec"
    result = interrupted(
        [str(EXAMPLES / "recorder.py"), "--seconds", "30", "--out", str(folder)], signum, 2.0, tmp_path
    )
    assert result.returncode == 0, result.stderr
    lengths = {path.name: wav_seconds(path) for path in folder.iterdir()}
    assert sorted(lengths) == ["alice.wav", "bob.wav", "mix.wav"] and min(lengths.values()) > 0.2


@pytest.mark.parametrize(
    ("user_id", "expected"),
    [("alice", "alice.wav"), ("../../etc/passwd", "______etc_passwd-"), ("mix", "mix-"), ("", "_-"), ("ü", "_-")],
)
def test_the_recorder_names_files_safely_whatever_the_user_id(user_id: str, expected: str) -> None:
    sys.path.insert(0, str(EXAMPLES))
    try:
        from recorder import file_name
    finally:
        sys.path.remove(str(EXAMPLES))
    name = file_name(user_id)
    assert name.startswith(expected) and name.endswith(".wav") and "/" not in name
