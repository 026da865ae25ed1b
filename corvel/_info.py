"""Which module, engine library and interpreter are in use."""

from __future__ import annotations

import ctypes
import os
import platform
import sys
from dataclasses import dataclass
from importlib import metadata

import _corvel

ENGINE_LIBRARY = "libcorvel.so"
VERSION_SYMBOL = "corvel_engine_version"
UNKNOWN = "unknown"
DELETED = " (deleted)"


def _package_version() -> str:
    """The installed distribution's version, or ``"unknown"`` when corvel is not installed."""
    try:
        return metadata.version("corvel")
    except metadata.PackageNotFoundError:
        return UNKNOWN


__version__ = _package_version()


def loaded_engine_path(maps: str = "/proc/self/maps") -> str | None:
    """The path of the ``libcorvel.so`` mapped into this process, or None.

    The dynamic loader resolves the library once, when ``_corvel`` is
    imported; the process's memory map names the file it picked.
    """
    try:
        with open(maps, encoding="utf-8", errors="replace") as lines:
            for line in lines:
                # address perms offset dev inode [path]; the path may hold spaces.
                fields = line.rstrip("\n").split(maxsplit=5)
                if len(fields) < 6:
                    continue
                path = fields[5].removesuffix(DELETED)  # the file was replaced since
                if os.path.basename(path) == ENGINE_LIBRARY:
                    return path
    except OSError:
        return None
    return None


def engine_version(path: str | None = None) -> str:
    """The version the engine library reports, or ``"unknown"``.

    Reads ``corvel_engine_version()`` when the library exports it (the
    loopback engine may; a production engine does not). The library is looked
    up among those already loaded (``RTLD_NOLOAD``): nothing new is loaded.
    """
    path = path or loaded_engine_path()
    if path is None:
        return UNKNOWN
    try:
        library = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
        function = getattr(library, VERSION_SYMBOL)
    except (OSError, AttributeError):
        return UNKNOWN
    function.restype = ctypes.c_char_p
    function.argtypes = []
    value = function()
    if not isinstance(value, bytes):
        return UNKNOWN
    return value.decode("utf-8", errors="replace")


@dataclass(frozen=True)
class EngineInfo:
    """What ``python -m corvel`` prints."""

    package_version: str
    module_path: str
    engine_path: str | None
    engine_version: str
    python_version: str
    python_executable: str

    def lines(self) -> list[str]:
        return [
            f"corvel {self.package_version}",
            f"module: {self.module_path}",
            f"engine: {self.engine_version} ({self.engine_path or 'not found'})",
            f"python: {self.python_version} ({self.python_executable})",
        ]


def engine_info() -> EngineInfo:
    """Versions and paths of the package, the module, the engine and Python."""
    path = loaded_engine_path()
    return EngineInfo(
        package_version=__version__,
        module_path=os.path.realpath(_corvel.__file__ or "_corvel"),
        engine_path=path,
        engine_version=engine_version(path),
        python_version=platform.python_version(),
        python_executable=sys.executable,
    )
