"""The SDK-wide settings of the loopback: its log, the proxy and the environment."""

import gc
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from mirelo import _mirelo as m
from mirelo import loopback


@pytest.fixture
def settings_restored(fresh_loopback: Any, tmp_path_factory: pytest.TempPathFactory) -> Iterator[None]:
    """Puts the process-wide settings back to quiet defaults afterwards (the log path cannot be unset:
    it is left on a directory of its own)."""
    yield
    m.DisableConsoleLog()
    m.SetLogLevel(2)
    m.DisableLogFile(False)
    assert m.SetLogPath(str(tmp_path_factory.mktemp("parked-log")))
    assert m.SetEnvironment("production")


def log_lines(directory: Path) -> list[str]:
    path = directory / f"mirelo_{os.getpid()}.log"
    return path.read_text().splitlines() if path.exists() else []


def churn_a_cloud() -> None:
    """Creating and destroying a cloud writes two INFO lines."""
    cloud = m.QOLTCloud(None)
    del cloud
    gc.collect()


@pytest.mark.usefixtures("settings_restored")
class TestLog:
    def test_writes_one_file_per_process_under_the_path(self, tmp_path: Path) -> None:
        directory = tmp_path / "logs" / "nested"
        assert m.SetLogPath(str(directory)) is True
        churn_a_cloud()
        lines = log_lines(directory)
        assert any("[INFO]" in line and "created without a delegate" in line for line in lines)
        assert loopback.settings()["log_file"] == str(directory / f"mirelo_{os.getpid()}.log")

    @pytest.mark.parametrize("path", [None, "", "file"])
    def test_refuses_null_empty_and_unusable_paths(self, tmp_path: Path, path: Any) -> None:
        assert m.SetLogPath(str(tmp_path)) is True
        if path == "file":
            path = str(tmp_path / "a-file")
            Path(path).write_text("not a directory")
        assert m.SetLogPath(path) is False
        assert loopback.settings()["log_directory"] == str(tmp_path)

    def test_level_filters_lines(self, tmp_path: Path, make_cloud: Any) -> None:
        m.SetLogLevel(4)  # errors and worse
        assert m.SetLogPath(str(tmp_path))
        churn_a_cloud()
        rig = make_cloud(m.QOLTCloudDelegate())
        loopback.emit(rig.handle, "OnEnterRoom")  # a handler failure is logged as an error
        lines = log_lines(tmp_path)
        assert [line for line in lines if "[INFO]" in line] == []
        assert any("[ERROR]" in line and "OnEnterRoom" in line for line in lines)
        assert loopback.settings()["log_level"] == 4

    def test_disabled_file_is_not_written(self, tmp_path: Path) -> None:
        m.DisableLogFile(True)
        assert m.SetLogPath(str(tmp_path))
        churn_a_cloud()
        assert log_lines(tmp_path) == []
        assert loopback.settings()["log_file"] is None

    def test_console_copies_go_to_standard_error_while_enabled(self, stderr_text: Callable[[], str]) -> None:
        m.EnableConsoleLog()
        churn_a_cloud()
        assert "created without a delegate" in stderr_text()
        m.DisableConsoleLog()
        churn_a_cloud()
        assert stderr_text() == ""

    def test_compression_switch_is_kept(self) -> None:
        m.DisableLogCompress(True)
        assert loopback.settings()["log_compress_disabled"] is True
        m.DisableLogCompress(False)
        assert loopback.settings()["log_compress_disabled"] is False


@pytest.mark.usefixtures("settings_restored")
class TestProxyAndEnvironment:
    @pytest.mark.parametrize("host, port", [("", 1080), (None, 1080), ("proxy", 0)])
    def test_proxy_needs_a_host_and_a_port(self, host: Any, port: int) -> None:
        before = loopback.settings()["proxy"]
        assert m.SetSocks5Proxy(host, port, "user", "secret") is False
        assert loopback.settings()["proxy"] == before

    def test_proxy_is_stored_without_showing_the_password(self) -> None:
        assert m.SetSocks5Proxy("10.0.0.1", 65535, None, "secret") is True
        assert loopback.settings()["proxy"] == {"host": "10.0.0.1", "port": 65535, "username": "", "has_password": True}

    @pytest.mark.parametrize("password, given", [("secret", True), ("", False), (None, False)])
    def test_proxy_shows_only_whether_a_password_was_given(self, password: Any, given: bool) -> None:
        assert m.SetSocks5Proxy("proxy", 1080, "user", password) is True
        assert loopback.settings()["proxy"] == {
            "host": "proxy",
            "port": 1080,
            "username": "user",
            "has_password": given,
        }

    @pytest.mark.parametrize("name", loopback.ENVIRONMENTS)
    def test_documented_environments_are_accepted(self, name: str) -> None:
        assert m.SetEnvironment(name) is True
        assert loopback.settings()["environment"] == name

    @pytest.mark.parametrize("name", [None, "", "Production", "prod", "test "])
    def test_other_environments_are_refused(self, name: Any) -> None:
        assert m.SetEnvironment("staging")
        assert m.SetEnvironment(name) is False
        assert loopback.settings()["environment"] == "staging"
