"""Fixtures shared by the test modules."""

from pathlib import Path

import pytest

from mirelo import _mirelo


@pytest.fixture(scope="session")
def extension_path() -> Path:
    """The installed _mirelo extension file."""
    return Path(_mirelo.__file__)
