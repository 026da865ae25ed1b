"""Builds and loads _corvel_bench, the benchmarks' native baselines.

The extension (bench/_corvel_bench.cpp) is compiled here with the compiler
flags of the running interpreter (sysconfig) into build/bench-native/, and
rebuilt when its source, the engine headers or the command change. It links
against the libcorvel.so that ``_corvel`` loaded, so the engine instances it
makes live in the same engine as the module's.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "bench", "_corvel_bench.cpp")
# pybind11's own per-call cost, for the calls section.
PB_SOURCE = os.path.join(ROOT, "bench", "_corvel_bench_pb.cpp")
OUT_DIR = os.path.join(ROOT, "build", "bench-native")


def engine_library_dir() -> str:
    """Folder of the libcorvel.so the imported _corvel uses."""
    import engine_probe  # tests/engine_probe.py, on sys.path via bench.common

    return os.path.dirname(os.path.abspath(engine_probe.library_path()))


def _command(source: str, output: str, libdir: str, extra: list[str]) -> list[str]:
    cxx = shlex.split(os.environ.get("CXX", "c++"))
    return cxx + [
        "-std=c++20", "-O2", "-g", "-fPIC", "-shared", "-Wall", "-Wextra",
        "-fvisibility=hidden", "-pthread",
        "-I", sysconfig.get_paths()["include"],
        "-I", os.path.join(ROOT, "include"),
        *extra,
        source, "-o", output,
        "-L", libdir, "-lcorvel", f"-Wl,-rpath,{libdir}",
    ]


def _build(source: str, name: str, extra: list[str], verbose: bool) -> str:
    libdir = engine_library_dir()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    os.makedirs(OUT_DIR, exist_ok=True)
    output = os.path.join(OUT_DIR, name + suffix)
    command = _command(source, output, libdir, extra)
    digest = hashlib.sha256()
    digest.update(" ".join(command).encode())
    inputs = [source] + [
        os.path.join(d, f)
        for d, _, files in os.walk(os.path.join(ROOT, "include"))
        for f in sorted(files)
    ]
    for path in inputs:
        with open(path, "rb") as f:
            digest.update(f.read())
    stamp = output + ".stamp"
    fingerprint = digest.hexdigest()
    if os.path.exists(output) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read().strip() == fingerprint:
                return output
    if verbose:
        print("building", os.path.relpath(output, ROOT), file=sys.stderr)
    subprocess.run(command, check=True)
    with open(stamp, "w") as f:
        f.write(fingerprint + "\n")
    return output


def build(verbose: bool = False) -> str:
    """Compiles _corvel_bench when needed; returns the path of the module."""
    return _build(SOURCE, "_corvel_bench", [], verbose)


def build_pybind11(verbose: bool = False) -> str | None:
    """Compiles _corvel_bench_pb when needed; None without pybind11's headers."""
    try:
        import pybind11
    except ImportError:
        return None
    return _build(PB_SOURCE, "_corvel_bench_pb", ["-I", pybind11.get_include()], verbose)


def load():
    """The _corvel_bench module (built if needed). Import _corvel first."""
    if "_corvel_bench" in sys.modules:
        return sys.modules["_corvel_bench"]
    build()
    if OUT_DIR not in sys.path:
        sys.path.insert(0, OUT_DIR)
    import _corvel_bench

    return _corvel_bench


def load_pybind11():
    """The _corvel_bench_pb module (built if needed), or None without pybind11."""
    if "_corvel_bench_pb" in sys.modules:
        return sys.modules["_corvel_bench_pb"]
    if build_pybind11() is None:
        return None
    if OUT_DIR not in sys.path:
        sys.path.insert(0, OUT_DIR)
    import _corvel_bench_pb

    return _corvel_bench_pb
