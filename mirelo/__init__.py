"""Python bindings for the mirelo real-time audio and video SDK."""

from importlib import metadata as _metadata

from . import _mirelo
from ._mirelo import *  # noqa: F401,F403
from .delegate import Delegate as Delegate

__all__ = [name for name in dir(_mirelo) if not name.startswith("_")] + ["Delegate"]

try:
    __version__ = _metadata.version("mirelo")
except _metadata.PackageNotFoundError:
    __version__ = "0.0.0"

del _metadata
