"""``python -m mirelo``: which SDK library this installation runs on, and a demo call.

Without arguments it prints the package's version, the native module and the ``libmirelo.so`` that
the module loaded (the loopback SDK shipped with the package, or another one put in its place), the
pybind11 in use and the Python it runs on. ``python -m mirelo --demo [--seconds S] [--out FILE]``
runs the two-client call of ``examples/call.py``, which the package carries.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import platform
import runpy
import sys
from importlib import metadata
from pathlib import Path

import mirelo
from mirelo import _mirelo

# The C symbol that only the loopback SDK exports: its control interface (see mirelo.loopback).
LOOPBACK_SYMBOL = "mirelo_loopback_interface_version"

DEMO = Path(__file__).resolve().parent / "examples" / "call.py"


def loaded_libraries(name: str = "libmirelo.so") -> list[str]:
    """Paths of the loaded files whose name starts with `name`, from this process's memory map."""
    paths: list[str] = []
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="surrogateescape") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6:
                    path = fields[5].strip()
                    if os.path.basename(path).startswith(name) and path not in paths:
                        paths.append(path)
    except OSError:
        pass
    return paths


def loopback_interface(path: str) -> int | None:
    """The loopback control interface version of the loaded library at `path`, or None when that
    library is not the loopback (or not loaded: nothing is loaded here)."""
    try:
        library = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
    except OSError:
        return None
    if not hasattr(library, LOOPBACK_SYMBOL):
        return None
    version = getattr(library, LOOPBACK_SYMBOL)
    version.restype = ctypes.c_int
    version.argtypes = []
    return int(version())


def pybind11_abi() -> str | None:
    """The pybind11 internals the module registered in this interpreter, such as
    ``v11_system_libstdcpp_gxx_abi_1xxx_use_cxx11_abi_1``: which pybind11 modules can share types."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_Get.argtypes = []
    # The dict is a borrowed reference: a py_object result type would release it once more.
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    address = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
    if not address:
        return None
    state = ctypes.cast(address, ctypes.py_object).value
    prefix = "__pybind11_internals_"
    for key in list(state):
        if isinstance(key, str) and key.startswith(prefix):
            return key[len(prefix) :].rstrip("_")
    return None


def pybind11_version() -> str:
    try:
        version = metadata.version("pybind11") + " installed"
    except metadata.PackageNotFoundError:
        version = "unknown (not installed here)"
    abi = pybind11_abi()
    return version if abi is None else f"{version}; the module's internals: {abi}"


def report() -> str:
    lines = [f"mirelo    {mirelo.__version__} ({Path(mirelo.__file__).parent})"]
    lines.append(f"module    {_mirelo.__file__}")
    libraries = loaded_libraries()
    if not libraries:
        lines.append("library   libmirelo.so not found among the loaded files")
    for path in libraries:
        interface = loopback_interface(path)
        kind = f"the loopback SDK, control interface {interface}" if interface is not None else "not the loopback SDK"
        lines.append(f"library   {path} ({kind})")
    lines.append(f"pybind11  {pybind11_version()}")
    lines.append(
        f"python    {platform.python_version()} ({platform.python_implementation()}, {sys.executable}, "
        f"{platform.machine()}, glibc {platform.libc_ver()[1] or 'unknown'})"
    )
    return "\n".join(lines)


def run_demo(arguments: list[str]) -> None:
    if not DEMO.is_file():
        raise SystemExit(f"the demo is not installed: {DEMO} is missing")
    saved = sys.argv
    sys.argv = [str(DEMO), *arguments]
    try:
        runpy.run_path(str(DEMO), run_name="__main__")
    finally:
        sys.argv = saved


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(
        prog="python -m mirelo",
        description="Print which libmirelo.so the module loaded, the versions in use, and run the demo.",
        epilog="Arguments after --demo go to the demo: --seconds S (how long the speaker talks, "
        "default 3), --out FILE (the WAV file written, default received.wav).",
    )
    parser.add_argument("--demo", action="store_true", help="run the two-client call demo")
    arguments, rest = parser.parse_known_args(argv)
    if rest and not arguments.demo:
        parser.error(f"unrecognized arguments: {' '.join(rest)}")
    if arguments.demo:
        run_demo(rest)
    else:
        print(report())


if __name__ == "__main__":
    main()
