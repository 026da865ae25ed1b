"""The module as a whole: import, version gate, contents, identity, isolation."""

import glob
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import _corvel

DOC = "VORA Corvel Python API (bind with C++ API by pybind11)"

CLASSES = [
    "VORACloud", "VORACloudDelegate", "VoraString", "RoomParams", "EnterRoomParams",
    "AudioEncodeParams", "VideoEncodeParams", "NetworkQualityInfo", "UserInfo",
    "AudioObtainParams", "VADParams", "AudioFrame", "VideoFrame", "PixelFrame",
]
ENUMS = [
    "Error", "VideoCodecType", "AudioCodecType", "VORARole", "VORAScene", "StreamType",
    "AudioObtainMethod", "NetworkQuality", "ConnectionState", "VideoRotation",
    "VideoPixelFormat",
]
FUNCTIONS = [
    "SetLogPath", "SetLogLevel", "EnableConsoleLog", "DisableConsoleLog",
    "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy", "SetEnvironment",
]
IMPORT_MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_docstring():
    assert _corvel.__doc__ == DOC


def test_contents_are_exactly_the_registered_names():
    members = {name for enum in ENUMS for name in getattr(_corvel, enum).__members__}
    expected = set(CLASSES) | set(ENUMS) | set(FUNCTIONS) | members
    assert set(vars(_corvel)) - IMPORT_MACHINERY == expected


def test_registration_order_is_visible_in_the_module_dict():
    names = [n for n in vars(_corvel) if n in CLASSES or n in ENUMS or n in FUNCTIONS]
    assert names == CLASSES + ENUMS + FUNCTIONS


@pytest.mark.parametrize("enum", ENUMS)
def test_enum_members_are_module_attributes(enum):
    for name, member in getattr(_corvel, enum).__members__.items():
        assert getattr(_corvel, name) is member


@pytest.mark.parametrize(
    "function, signature",
    [
        (_corvel.SetLogPath, "SetLogPath(path: str) -> bool"),
        (_corvel.SetLogLevel,
         "SetLogLevel(level: typing.SupportsInt | typing.SupportsIndex) -> None"),
        (_corvel.EnableConsoleLog, "EnableConsoleLog() -> None"),
        (_corvel.DisableConsoleLog, "DisableConsoleLog() -> None"),
        (_corvel.DisableLogCompress, "DisableLogCompress(disabled: bool) -> None"),
        (_corvel.DisableLogFile, "DisableLogFile(disabled: bool) -> None"),
        (_corvel.SetSocks5Proxy,
         "SetSocks5Proxy(ip: str, port: typing.SupportsInt | typing.SupportsIndex, "
         "username: str, password: str) -> bool"),
        (_corvel.SetEnvironment, "SetEnvironment(env: str) -> bool"),
        # Types registered after the cloud class render under their native names.
        (_corvel.VORACloud.EnterRoom,
         "EnterRoom(self: _corvel.VORACloud, params: corvel::vora::EnterRoomParams) -> int"),
        (_corvel.VORACloud.Subscribe,
         "Subscribe(self: _corvel.VORACloud, user_id: str, type: corvel::vora::StreamType)"
         " -> int"),
        (_corvel.VORACloud.__init__,
         "__init__(self: _corvel.VORACloud, arg0: PyVORACloudDelegate) -> None"),
    ],
)
def test_rendered_signatures(function, signature):
    assert function.__doc__.strip() == signature


def test_reimport_returns_the_identical_module():
    module, cloud_class, error_enum = _corvel, _corvel.VORACloud, _corvel.Error
    del sys.modules["_corvel"]
    try:
        import _corvel as again
        assert again is module
        assert again.VORACloud is cloud_class
        assert again.Error is error_enum
    finally:
        sys.modules["_corvel"] = module


def test_instances_have_no_dict_but_subclasses_do():
    with pytest.raises(AttributeError):
        _corvel.RoomParams().anything = 1

    class Mine(_corvel.RoomParams):
        pass

    mine = Mine()
    mine.anything = 1
    assert mine.anything == 1


def run_python(python, code, **kwargs):
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, **kwargs)


def test_isolated_subinterpreter_refuses_the_import():
    result = run_python(sys.executable, """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _corvel")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
        """, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused:")
    assert "ImportError" in result.stdout


def find_other_python(minor):
    pattern = os.path.expanduser(f"~/.pyenv/versions/3.{minor}.*/bin/python3.{minor}")
    candidates = sorted(glob.glob(pattern)) + [shutil.which(f"python3.{minor}")]
    return next((c for c in candidates if c and os.access(c, os.X_OK)), None)


@pytest.fixture
def module_copy(tmp_path):
    """The built module under a version-neutral name, with the engine beside it."""
    here = os.path.dirname(_corvel.__file__)
    shutil.copy(_corvel.__file__, tmp_path / "_corvel.so")
    for engine in (os.path.join(here, "libcorvel.so"),
                   os.path.join(here, "..", "corvel.libs", "libcorvel.so")):
        if os.path.exists(engine):
            shutil.copy(engine, tmp_path / "libcorvel.so")
            break
    return tmp_path


@pytest.mark.parametrize("lazy", [False, True], ids=["immediate-binding", "lazy-binding"])
def test_other_interpreter_version_is_refused(module_copy, lazy):
    python = find_other_python(13)
    if python is None:
        pytest.skip("no Python 3.13 on this machine")
    result = run_python(python, f"""
        import os, sys
        sys.path.insert(0, {str(module_copy)!r})
        if {lazy}:
            sys.setdlopenflags(os.RTLD_LAZY)
        try:
            import _corvel
        except ImportError as error:
            print("ImportError:", error)
        print("in sys.modules:", "_corvel" in sys.modules)
        print("version:", sys.version)
        """)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "ImportError:" in out
    assert "in sys.modules: False" in out
    if lazy:
        version = out.split("version: ", 1)[1].rstrip("\n")
        assert (f"ImportError: Python version mismatch: module was compiled for Python 3.12, "
                f"but the interpreter version is incompatible: {version}.") in out


def test_module_finds_the_engine_through_its_rpath():
    """The run-time search path is recorded as DT_RPATH, beside the module first."""
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    dynamic = subprocess.run([readelf, "-d", _corvel.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert "(RPATH)" in dynamic and "(RUNPATH)" not in dynamic
    assert "[$ORIGIN:$ORIGIN/../corvel.libs]" in dynamic
    assert "libcorvel.so" in dynamic
