"""The installed package is laid out as the wheel ships it: `make wheel` runs these against it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig
from importlib import metadata
from pathlib import Path

import pytest

import mirelo
from mirelo import __main__ as main
from mirelo import _mirelo

PACKAGE = Path(mirelo.__file__).resolve().parent


def test_mirelo_is_imported_from_site_packages_not_from_a_source_tree() -> None:
    site_packages = {Path(sysconfig.get_paths()[kind]).resolve() for kind in ("purelib", "platlib")}
    assert PACKAGE.parent in site_packages
    assert Path(_mirelo.__file__).resolve().parent == PACKAGE


def test_the_sdk_library_keeps_its_name_and_is_found_through_the_run_path() -> None:
    library = PACKAGE.parent / "mirelo.libs" / "libmirelo.so"
    assert main.loaded_libraries() == [str(library)]
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", _mirelo.__file__], capture_output=True, text=True, check=True).stdout
    assert "[libmirelo.so]" in dynamic  # needed by that name, so another copy can take its place
    assert "[$ORIGIN:$ORIGIN/../mirelo.libs]" in dynamic


def test_the_package_ships_its_stub_and_the_demo() -> None:
    assert (PACKAGE / "_mirelo.pyi").is_file()
    assert (PACKAGE / "py.typed").is_file()
    assert main.DEMO.is_file()


@pytest.mark.skipif(os.environ.get("MIRELO_WHEEL_TEST") != "1", reason="only for the installed wheel (make wheel)")
def test_the_installed_wheel_is_tagged_manylinux() -> None:
    wheel = metadata.distribution("mirelo").read_text("WHEEL") or ""
    tags = [text.split(":", 1)[1].strip() for text in wheel.splitlines() if text.startswith("Tag:")]
    assert tags and all("manylinux_2_" in tag and tag.endswith("_x86_64") for tag in tags), tags
