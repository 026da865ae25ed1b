"""Shared helpers of the benchmark sections: module location, timing."""

from __future__ import annotations

import gc
import os
import sys
import time
import timeit
from collections.abc import Callable
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The module under test: CORVEL_BENCH_MODULE_DIR (set by run.py) or whatever
# `import _corvel` finds. tests/ holds engine_probe, the ctypes access to the
# engine's inspection interface.
_module_dir = os.environ.get("CORVEL_BENCH_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "bench"))

# The corvel package: installed, or else this source tree's.
sys.path.append(ROOT)

import _corvel  # noqa: E402
import corvel  # noqa: E402

import engine_probe  # noqa: E402,F401  (the sections take it from here)
import native  # noqa: E402

bench = native.load()

# A delegate whose every callback is a Python no-op: the package's own.
NoopDelegate = corvel.Delegate


def make_pcm(milliseconds: int = 10, rate: int = 48000, channels: int = 2) -> bytes:
    samples = rate * milliseconds // 1000
    return bytes(range(256)) * (samples * channels * 2 // 256) + bytes(samples * channels * 2 % 256)


def enter_room(cloud: Any, room: int, user: str, channels: int = 2, frame_ms: int = 10) -> None:
    params = _corvel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = room
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("signature")
    if cloud.EnterRoom(params) != _corvel.ERR_OK:
        raise RuntimeError("EnterRoom failed")
    audio = _corvel.AudioEncodeParams()
    audio.channels = channels
    audio.sample_rate = 48000
    audio.frame_length_ms = frame_ms
    if cloud.CreateLocalAudioChannel(audio) != _corvel.ERR_OK:
        raise RuntimeError("CreateLocalAudioChannel failed")


def _timers(stmt: str, namespace: dict) -> tuple[timeit.Timer, timeit.Timer]:
    setup = "\n".join(f"{name} = __ns[{name!r}]" for name in namespace)
    glb = {"__ns": namespace}
    return (timeit.Timer(stmt, setup=setup, globals=glb),
            timeit.Timer("pass", setup=setup, globals=glb))


def loop_cost(namespace: dict, number: int, repeat: int = 7) -> float:
    """Seconds per iteration of an empty timed loop (best of `repeat`)."""
    _, empty = _timers("pass", namespace)
    return min(empty.repeat(repeat, number)) / number


def per_call(stmt: str, namespace: dict, number: int, repeat: int = 5,
             loop: float | None = None) -> float:
    """Seconds per execution of stmt (best of `repeat`), minus the cost of an
    empty loop (`loop`, measured here when not given). Names in `namespace`
    are locals of the timed function, as in timeit's setup."""
    timer, empty = _timers(stmt, namespace)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        timer.timeit(max(1, number // 10))  # warm-up
        best = min(timer.repeat(repeat, number)) / number
        if loop is None:
            loop = min(empty.repeat(repeat, number)) / number
    finally:
        if gc_was:
            gc.enable()
    return max(best - loop, 0.0)


def calibrate(stmt: str, namespace: dict, seconds: float, cap: int = 1_000_000) -> int:
    """Iterations of stmt that take about `seconds`."""
    timer, _ = _timers(stmt, namespace)
    n = 100
    while True:
        t = timer.timeit(n)
        if t > 0.01 or n >= cap:
            break
        n *= 10
    return max(100, min(cap, int(n * seconds / max(t, 1e-9))))


def busy(seconds: float) -> int:
    """Runs Python code on this thread for `seconds`; returns iterations."""
    end = time.perf_counter() + seconds
    n = 0
    x = 0
    while time.perf_counter() < end:
        for i in range(200):
            x += i * i
        n += 1
    return n


def ratio(value: float, baseline: float) -> float | None:
    return value / baseline if baseline > 0 else None


def wait_for(predicate: Callable[[], bool], timeout: float, interval: float = 0.005) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
