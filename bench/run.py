#!/usr/bin/env python3
"""Runs the corvel benchmark suite and writes results.md and results.json.

    .venv/bin/python bench/run.py --out bench/results          # the whole suite
    .venv/bin/python bench/run.py --quick --installed --out DIR  # smoke run (CI)

By default the module and the engine are built first (Release, CMake) into
build/bench and measured from build/bench/lib. --module-dir DIR measures the
module found in DIR instead; --installed measures whatever `import _corvel`
finds (an installed wheel). The native baselines (_corvel_bench) are compiled
into build/bench-native/ against the engine the module loads.

Each section runs in its own interpreter, one after the other; e2e_pinned
runs the 32-party room with the whole process on one core (as `taskset -c 0`
would). The results open with the headline figures: the 32-party room's CPU
per second of audio, unpinned and pinned, and the callback rate with the main
thread busy against the native caller's.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
sys.path.insert(0, BENCH)

import report  # noqa: E402

SECTIONS = ("callbacks", "calls", "payload", "payload_tuned", "e2e", "e2e_pinned", "janus",
            "browser")
MODULES = {"callbacks": "bench_callbacks", "calls": "bench_calls", "payload": "bench_payload",
           "payload_tuned": "bench_payload", "e2e": "bench_e2e", "e2e_pinned": "bench_e2e",
           "janus": "bench_janus", "browser": "bench_browser"}
# glibc serves blocks of 32 MiB and more with a fresh mmap each time, so every
# page of them faults on first touch. These settings keep such blocks in the
# heap (see the README's Performance section).
TUNED_MALLOC = "glibc.malloc.mmap_threshold=67108864:glibc.malloc.trim_threshold=268435456"


def build_module(build_dir: str) -> str:
    """Configures and builds the module and engine (Release); returns the lib dir."""
    import pybind11

    # The venv's own tools first (make bench installs them there).
    here = os.path.dirname(sys.executable)
    path = os.pathsep.join([here, os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=path)
    if cmake is None:
        raise SystemExit("cmake not found: use --module-dir or --installed")
    configure = [cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}",
                 f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
    configured = os.path.exists(os.path.join(build_dir, "CMakeCache.txt"))
    if shutil.which("ninja", path=path) and not configured:
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, PATH=path))
    subprocess.run([cmake, "--build", build_dir, "-j2"], check=True,
                   env=dict(os.environ, PATH=path))
    return os.path.join(build_dir, "lib")


def machine() -> dict:
    info = {"python": platform.python_version(), "platform": platform.platform(),
            "cpus": os.cpu_count(), "cpu": platform.processor() or platform.machine()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        info["load_average"] = [round(x, 2) for x in os.getloadavg()]
    except OSError:
        pass
    try:
        info["commit"] = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                                        capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "corvel", "engine"],
                               capture_output=True, text=True).stdout.strip()
        info["worktree"] = "modified" if dirty else "clean"
    except OSError:
        pass
    return info


def run_section(name: str, quick: bool, module_dir: str | None, timeout: float) -> dict:
    env = dict(os.environ)
    if module_dir:
        env["CORVEL_BENCH_MODULE_DIR"] = module_dir
    else:
        env.pop("CORVEL_BENCH_MODULE_DIR", None)
    if name == "payload_tuned":
        env["GLIBC_TUNABLES"] = TUNED_MALLOC
    with tempfile.NamedTemporaryFile("r", suffix=".json", delete=False) as out:
        path = out.name
    try:
        command = [sys.executable, os.path.join(BENCH, "run.py"), "--section", name,
                   "--section-out", path] + (["--quick"] if quick else [])
        start = time.monotonic()
        proc = subprocess.run(command, env=env, timeout=timeout)
        if proc.returncode != 0:
            return {"error": f"exit code {proc.returncode}"}
        with open(path) as f:
            result = json.load(f)
        result["seconds"] = round(time.monotonic() - start, 1)
        return result
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    finally:
        os.unlink(path)


def section_main(name: str, out: str, quick: bool) -> None:
    """Runs one section in this interpreter (child mode)."""
    if name == "e2e_pinned":
        # Before the module loads: every thread made afterwards inherits it.
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    module = __import__(MODULES[name])
    result = module.run_pinned(quick) if name == "e2e_pinned" else module.run(quick)
    with open(out, "w") as f:
        json.dump(result, f)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join(BENCH, "results"),
                        help="folder for results.md and results.json (default bench/results)")
    parser.add_argument("--quick", action="store_true", help="smoke run: few iterations")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--module-dir", help="measure the _corvel found in this folder")
    where.add_argument("--installed", action="store_true",
                       help="measure the _corvel that `import _corvel` finds")
    parser.add_argument("--only", action="append", choices=SECTIONS,
                        help="run only this section (repeatable)")
    parser.add_argument("--section", choices=SECTIONS, help=argparse.SUPPRESS)
    parser.add_argument("--section-out", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.section:
        section_main(args.section, args.section_out, args.quick)
        return 0

    started = datetime.datetime.now(datetime.UTC)
    if args.installed:
        module_dir = None
    elif args.module_dir:
        module_dir = os.path.abspath(args.module_dir)
    else:
        module_dir = build_module(os.path.join(ROOT, "build", "bench"))
    timeout = 300 if args.quick else 3600
    results = {"machine": machine(), "quick": args.quick, "started": started.isoformat(),
               "module_dir": module_dir or "(installed)", "sections": {}}
    for name in args.only or SECTIONS:
        print(f"== {name}", file=sys.stderr, flush=True)
        results["sections"][name] = run_section(name, args.quick, module_dir, timeout)
    results["machine"]["load_average_after"] = machine().get("load_average")
    results["seconds"] = round(
        (datetime.datetime.now(datetime.UTC) - started).total_seconds(), 1)

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    markdown = report.markdown(results)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(markdown)
    print(markdown)
    failed = [n for n, r in results["sections"].items() if "error" in r]
    if failed:
        print("sections that failed: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
