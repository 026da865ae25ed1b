"""python -m corvel: versions, paths and the self-check."""

from __future__ import annotations

import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import _corvel
import corvel
from corvel import _info

TIMEOUT = 120


SCRIPT = Path(sys.executable).with_name("corvel")  # the installed command


def run_cli(*args: str, command: list[str] | None = None) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.run([*(command or [sys.executable, "-m", "corvel"]), *args],
                          capture_output=True, text=True, timeout=TIMEOUT, env=env)


@pytest.mark.parametrize("command", ["python -m corvel", "corvel"])
def test_prints_the_module_engine_and_python_in_use(command: str) -> None:
    if command == "corvel" and not SCRIPT.exists():
        pytest.skip("corvel is not installed in this environment")
    result = run_cli(command=[str(SCRIPT)] if command == "corvel" else None)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"corvel {corvel.__version__}"
    assert lines[1] == f"module: {os.path.realpath(_corvel.__file__)}"
    engine = _info.loaded_engine_path()
    assert engine is not None and lines[2].startswith("engine: ")
    assert lines[2].endswith(f"({engine})")
    version, executable = lines[3].removeprefix("python: ").split(" ", 1)
    assert version == platform.python_version()
    assert os.path.samefile(executable.strip("()"), sys.executable)


def _not_installed(name: str) -> str:
    raise metadata.PackageNotFoundError(name)


@pytest.mark.parametrize("lookup, expected", [
    (lambda name: "9.8.7" if name == "corvel" else "?", "9.8.7"),
    (_not_installed, "unknown"),
], ids=["installed", "not-installed"])
def test_package_version_is_the_installed_distributions(
        monkeypatch: pytest.MonkeyPatch, lookup, expected: str) -> None:
    # Never a pyproject.toml found beside the package: a source tree that is
    # not installed has no version.
    monkeypatch.setattr(metadata, "version", lookup)
    assert _info._package_version() == expected


def test_self_check_passes_on_the_loopback_engine() -> None:
    result = run_cli("--self-check", "--timeout", "10")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1] == "self-check: pass"


MAPPED = "7f0c1a200000-7f0c1a212000 r-xp 00000000 08:01 123456"


@pytest.mark.parametrize("lines, expected", [
    ([f"{MAPPED}    /opt/corvel/libcorvel.so"], "/opt/corvel/libcorvel.so"),
    ([f"{MAPPED}    /opt/my engines/libcorvel.so"], "/opt/my engines/libcorvel.so"),
    ([f"{MAPPED}    /opt/corvel/libcorvel.so (deleted)"], "/opt/corvel/libcorvel.so"),
    ([f"{MAPPED}    /usr/lib/libcorvel.so.1", f"{MAPPED}", "7f00-7f01 rw-p 0 0:0 0 [heap]"], None),
    ([f"{MAPPED}    /x/libother.so", f"{MAPPED}    /y/libcorvel.so"], "/y/libcorvel.so"),
], ids=["plain", "spaces", "replaced-on-disk", "absent", "among-others"])
def test_engine_path_is_read_from_the_memory_map(
        tmp_path: Path, lines: list[str], expected: str | None) -> None:
    maps = tmp_path / "maps"
    maps.write_text("\n".join(lines) + "\n")
    assert _info.loaded_engine_path(str(maps)) == expected


def test_engine_version_is_unknown_without_the_symbol_or_the_library(tmp_path: Path) -> None:
    with open("/proc/self/maps") as maps:
        libc = next(line.split(maxsplit=5)[5].strip() for line in maps
                    if "/libc.so" in line)  # loaded, and has no corvel_engine_version
    assert _info.engine_version(libc) == "unknown"
    assert _info.engine_version(str(tmp_path / "libcorvel.so")) == "unknown"  # not loaded
