"""The extension module itself: its entry point, what it registers, and how it is installed."""

import importlib
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import mirelo
from mirelo import _mirelo

CLASSES = [
    "QOLTCloud",
    "QOLTCloudDelegate",
    "QoltString",
    "RoomParams",
    "EnterRoomParams",
    "AudioEncodeParams",
    "VideoEncodeParams",
    "NetworkQualityInfo",
    "UserInfo",
    "AudioObtainParams",
    "VADParams",
    "AudioFrame",
    "VideoFrame",
    "PixelFrame",
]
ENUMERATIONS = [
    "Error",
    "VideoCodecType",
    "AudioCodecType",
    "QOLTRole",
    "QOLTScene",
    "StreamType",
    "AudioObtainMethod",
    "NetworkQuality",
    "ConnectionState",
    "VideoRotation",
    "VideoPixelFormat",
]
FUNCTIONS = [
    "SetLogPath",
    "SetLogLevel",
    "EnableConsoleLog",
    "DisableConsoleLog",
    "DisableLogCompress",
    "DisableLogFile",
    "SetSocks5Proxy",
    "SetEnvironment",
]


def registration_order() -> list[str]:
    """Public names in the order the module adds them: each enumeration followed by its members."""
    names = list(CLASSES)
    for enumeration in ENUMERATIONS:
        names.append(enumeration)
        names.extend(getattr(_mirelo, enumeration).__members__)
    return names + FUNCTIONS


def public_names(namespace) -> list[str]:
    return [name for name in vars(namespace) if not name.startswith("_")]


def test_module_docstring():
    assert _mirelo.__doc__ == "QOLT Mirelo Python API (bind with C++ API by pybind11)"


def test_module_registers_exactly_its_public_names_in_order():
    assert public_names(_mirelo) == registration_order()


def test_package_reexports_every_public_name_and_adds_the_handler_base():
    assert sorted(mirelo.__all__) == sorted(registration_order() + ["Delegate"])
    for name in registration_order():
        assert getattr(mirelo, name) is getattr(_mirelo, name)
    assert issubclass(mirelo.Delegate, _mirelo.QOLTCloudDelegate)


def test_package_has_a_version():
    assert isinstance(mirelo.__version__, str) and mirelo.__version__


def test_reimport_returns_the_same_module_and_classes(monkeypatch):
    classes = {name: getattr(_mirelo, name) for name in CLASSES + ENUMERATIONS}
    monkeypatch.delitem(sys.modules, _mirelo.__name__)
    again = importlib.import_module(_mirelo.__name__)
    assert again is _mirelo
    for name, cls in classes.items():
        assert getattr(again, name) is cls


@pytest.mark.parametrize(
    "function, signature",
    [
        (
            _mirelo.QOLTCloud.EnterRoom,
            "EnterRoom(self: mirelo._mirelo.QOLTCloud, params: mirelo::qolt::EnterRoomParams) -> int",
        ),
        (_mirelo.SetLogPath, "SetLogPath(path: str) -> bool"),
    ],
)
def test_generated_signature_names_types_registered_later_natively(function, signature):
    assert function.__doc__.splitlines()[0] == signature


LOAD_INTO_OTHER_INTERPRETER = """
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY)  # let the version check refuse the module, not the dynamic loader
loader = importlib.machinery.ExtensionFileLoader("_mirelo", sys.argv[1])
try:
    importlib.util.module_from_spec(importlib.util.spec_from_loader("_mirelo", loader))
except ImportError as error:
    print(error)
else:
    print("imported")
print(sys.version)
"""

OTHER_INTERPRETERS = {
    version: sorted(Path("/root/.pyenv/versions").glob(f"{version}.*/bin/python{version}"))
    for version in ("3.10", "3.12")
}


def test_other_interpreter_versions_refuse_the_module(extension_path):
    interpreters = [found[-1] for found in OTHER_INTERPRETERS.values() if found]
    if not interpreters:
        pytest.skip("neither python3.10 nor python3.12 is installed under /root/.pyenv/versions")
    for interpreter in interpreters:
        result = subprocess.run(
            [str(interpreter), "-c", LOAD_INTO_OTHER_INTERPRETER, str(extension_path)],
            capture_output=True,
            text=True,
            timeout=60,
            check=True,
        )
        message, version = result.stdout.splitlines()
        assert message == (
            "Python version mismatch: module was compiled for Python 3.11, "
            f"but the interpreter version is incompatible: {version}."
        )


def test_installed_module_finds_the_sdk_beside_the_package(extension_path):
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", str(extension_path)], capture_output=True, text=True, check=True).stdout
    run_paths = [
        line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(RUNPATH)" in line or "(RPATH)" in line
    ]
    assert run_paths == ["$ORIGIN:$ORIGIN/../mirelo.libs"]
    assert (extension_path.parent.parent / "mirelo.libs" / "libmirelo.so").is_file()


SUB_INTERPRETER_IMPORT = """
import _xxsubinterpreters as interpreters
interpreter = interpreters.create()
try:
    interpreters.run_string(interpreter, "from mirelo import _mirelo")
except interpreters.RunFailedError as error:
    print(error)
import mirelo  # the main interpreter still imports it, and events still take the lock
from mirelo import loopback
print(mirelo._mirelo.__doc__)

class Handler(mirelo.Delegate):
    entered = 0

    def OnEnterRoom(self):
        type(self).entered += 1

cloud = mirelo.QOLTCloud(Handler())
loopback.emit(loopback.clouds()[-1], "OnEnterRoom", repeat=1000)
del cloud
print(Handler.entered)
"""


def test_a_sub_interpreter_is_refused_at_once_and_the_main_one_still_imports(tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", SUB_INTERPRETER_IMPORT], capture_output=True, text=True, timeout=60, cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "<class 'ImportError'>: _mirelo cannot be imported in a sub-interpreter: "
        "the SDK's threads report to the main interpreter",
        "QOLT Mirelo Python API (bind with C++ API by pybind11)",
        "1000",
    ]
