"""Module entry: docstring, registration order, interpreter guard and run path."""

import ast
import glob
import os
import shutil
import subprocess

import pytest

import _ostrel

RECORDS = [
    "VonuString",
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
ENUMS = [
    "Error",
    "VideoCodecType",
    "AudioCodecType",
    "VONURole",
    "VONUScene",
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


def test_docstring():
    assert _ostrel.__doc__ == "VONU Ostrel Python API (bind with C++ API by pybind11)"


def test_registration_order_and_namespace():
    names = [n for n in vars(_ostrel) if not n.startswith("__")]
    # Everything registered is a class first, then enums with their exported members, then functions.
    classes = [n for n in names if n in RECORDS]
    assert classes == RECORDS
    assert [n for n in names if n in ENUMS] == ENUMS
    assert [n for n in names if n in FUNCTIONS] == FUNCTIONS
    assert names.index(RECORDS[-1]) < names.index(ENUMS[0])
    assert names.index("VideoPixelFormat") < names.index("SetLogPath")
    # Each enumeration's members follow it directly.
    for enum_name in ENUMS:
        start = names.index(enum_name) + 1
        members = list(getattr(_ostrel, enum_name).__members__)
        assert names[start : start + len(members)] == members
    assert "WatermarkType" not in names and "kWatermarkText" not in names
    for name in RECORDS + ENUMS:
        assert getattr(_ostrel, name).__module__ == "_ostrel"


def test_reimport_returns_same_module():
    import importlib

    again = importlib.import_module("_ostrel")
    assert again is _ostrel
    assert again.VonuString is _ostrel.VonuString


def _python39():
    found = sorted(glob.glob("/root/.pyenv/versions/3.9.*/bin/python3.9"))
    return os.environ.get("PYTHON39") or (found[-1] if found else shutil.which("python3.9"))


def test_other_interpreter_is_refused():
    python39 = _python39()
    if not python39:
        pytest.skip("no Python 3.9 interpreter on this machine")
    code = (
        "import importlib.machinery, importlib.util, sys\n"
        "loader = importlib.machinery.ExtensionFileLoader('_ostrel', sys.argv[1])\n"
        "spec = importlib.util.spec_from_file_location('_ostrel', sys.argv[1], loader=loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(repr(str(e)))\n"
        "    print(repr(sys.version))\n"
    )
    out = subprocess.run([python39, "-c", code, _ostrel.__file__], capture_output=True, text=True, timeout=60)
    lines = out.stdout.splitlines()
    assert len(lines) == 2, out
    message, version = (ast.literal_eval(line) for line in lines)
    assert version.startswith("3.9")
    assert message == (
        "Python version mismatch: module was compiled for Python 3.8, "
        "but the interpreter version is incompatible: " + version + "."
    )


def test_run_path_is_origin_relative():
    readelf = shutil.which("readelf")
    if not readelf:
        pytest.skip("readelf is not installed")
    dynamic = subprocess.run([readelf, "-d", _ostrel.__file__], capture_output=True, text=True, check=True).stdout
    paths = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "RPATH" in line or "RUNPATH" in line]
    assert paths == ["$ORIGIN:$ORIGIN/../ostrel.libs"]
    needed = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert "libostrel.so" in needed
    assert not any(os.sep in n for n in needed)
