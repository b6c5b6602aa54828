"""Secrets and the log file: the journal, the settings and the log never hold a secret, and the log
is never written through a name that someone else planted in its folder.

Cases that plant names under the log's path run in a fresh interpreter, where the log's name
(mirelo_<pid>.log) is known before the path is set and where a FIFO that blocked the open would only
hang that interpreter.
"""

from __future__ import annotations

import os
import stat
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from conftest import enter_params
from mirelo import _mirelo as m
from mirelo import loopback

PASSWORD = "pr0xy-pa55word-xyzzy"
USER_SIG = "us3r-s1g-plugh"
PRIVATE_MAP_KEY = "pr1vate-map-k3y-plover"


@pytest.fixture
def quiet_settings(fresh_loopback: Any, tmp_path_factory: pytest.TempPathFactory) -> Iterator[None]:
    """Puts the process-wide log and proxy settings back to quiet defaults afterwards."""
    yield
    m.SetLogLevel(2)
    assert m.SetLogPath(str(tmp_path_factory.mktemp("parked-log")))


@pytest.mark.usefixtures("quiet_settings")
def test_no_secret_reaches_the_journal_the_settings_or_the_log(tmp_path: Path, make_cloud: Any) -> None:
    m.SetLogLevel(0)
    assert m.SetLogPath(str(tmp_path))
    assert m.SetSocks5Proxy("10.0.0.1", 1080, "user", PASSWORD)
    params = enter_params("alice", user_sig=USER_SIG)
    params.private_map_key.SetValue(PRIVATE_MAP_KEY)
    rig = make_cloud()
    assert rig.cloud.EnterRoom(params) == 0
    assert m.SetSocks5Proxy("10.0.0.1", 1080, "user", None)
    loopback.flush()

    log = (tmp_path / f"mirelo_{os.getpid()}.log").read_text()
    everything = repr(loopback.journal()) + repr(loopback.settings()) + repr(loopback.state()) + log
    for secret in (PASSWORD, USER_SIG, PRIVATE_MAP_KEY):
        assert secret not in everything
    # What is kept instead: whether one was given.
    proxies = [args[3] for handle, op, args in loopback.journal() if op == "SetSocks5Proxy"]
    assert proxies[-2:] == [True, False]
    ((entered,),) = [args for op, args in rig.journal() if op == "EnterRoom"]
    assert (entered["room"]["user_sig"], entered["private_map_key"]) == (True, True)


def run_python(code: str, *args: str, cwd: Path) -> str:
    """Runs `code` in a fresh interpreter; returns its standard output once it exited with 0."""
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=60, cwd=cwd)
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    return done.stdout


PLANT_THEN_SET_PATH = textwrap.dedent(
    """
    import gc, os, sys
    from mirelo import _mirelo as m, loopback

    kind, directory, victim = sys.argv[1:4]
    os.makedirs(directory)
    log = os.path.join(directory, f"mirelo_{os.getpid()}.log")
    if kind == "symbolic link":
        os.symlink(victim, log)
    elif kind == "dangling symbolic link":
        os.symlink(victim + ".new", log)
    elif kind == "FIFO":
        os.mkfifo(log)
    elif kind == "FIFO with a reader":
        os.mkfifo(log)
        reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
    elif kind == "directory":
        os.mkdir(log)
    elif kind == "hard link":
        os.link(victim, log)
    elif kind == "file of another user":
        with open(log, "w"):
            pass
        os.chown(log, 65534, 65534)
    m.SetLogLevel(0)
    print(m.SetLogPath(directory), loopback.settings()["log_file"])
    m.QOLTCloud(None)  # created and destroyed: two lines for a log, if there were one
    gc.collect()
    """
)


@pytest.mark.parametrize(
    "kind",
    [
        "symbolic link",
        "dangling symbolic link",
        "FIFO",
        "FIFO with a reader",
        "directory",
        "hard link",
        pytest.param(
            "file of another user",
            marks=pytest.mark.skipif(os.geteuid() != 0, reason="planting another user's file takes root"),
        ),
    ],
)
def test_a_name_planted_under_the_log_path_is_refused_and_nothing_is_written_through_it(
    tmp_path: Path, kind: str
) -> None:
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    assert run_python(PLANT_THEN_SET_PATH, kind, str(tmp_path / "shared"), str(victim), cwd=tmp_path) == "False None\n"
    assert victim.read_text() == "precious\n"
    assert not (tmp_path / "victim.new").exists()


SWAP_BEFORE_REOPENING = textwrap.dedent(
    """
    import gc, os, sys
    from mirelo import _mirelo as m, loopback

    directory, victim = sys.argv[1:3]
    log = os.path.join(directory, f"mirelo_{os.getpid()}.log")
    assert m.SetLogPath(directory)
    m.DisableLogFile(True)  # closes the file; the next line opens it again
    os.unlink(log)
    os.symlink(victim, log)
    m.DisableLogFile(False)
    m.QOLTCloud(None)
    gc.collect()
    settings = loopback.settings()
    print(settings["log_file"], settings["log_file_error"] == log + ": is a symbolic link")
    """
)


def test_a_log_file_swapped_for_a_link_before_it_is_reopened_is_refused_and_reported(tmp_path: Path) -> None:
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    assert run_python(SWAP_BEFORE_REOPENING, str(tmp_path / "logs"), str(victim), cwd=tmp_path) == "None True\n"
    assert victim.read_text() == "precious\n"


CREATE_UNDER_UMASK = textwrap.dedent(
    """
    import os, sys
    from mirelo import _mirelo as m

    directory, umask, existing_mode = sys.argv[1], int(sys.argv[2], 8), int(sys.argv[3], 8)
    log = os.path.join(directory, f"mirelo_{os.getpid()}.log")
    os.makedirs(directory)
    if existing_mode:
        with open(log, "w"):
            pass
        os.chmod(log, existing_mode)
    os.umask(umask)
    assert m.SetLogPath(directory)
    print(oct(os.stat(log).st_mode))
    """
)


@pytest.mark.parametrize(
    "umask, existing_mode",
    [(0o000, 0), (0o022, 0), (0o277, 0), (0o022, 0o644), (0o000, 0o666)],
    ids=["umask-000", "umask-022", "umask-277", "existing-644", "existing-666"],
)
def test_the_log_file_is_readable_by_its_owner_only_whatever_the_umask(
    tmp_path: Path, umask: int, existing_mode: int
) -> None:
    mode = run_python(CREATE_UNDER_UMASK, str(tmp_path / "logs"), oct(umask), oct(existing_mode), cwd=tmp_path)
    assert mode == oct(stat.S_IFREG | 0o600) + "\n"
