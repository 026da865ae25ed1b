"""Callback delivery from engine threads into Python no-op overrides.

Binding: an engine instance whose delegate is a Python NoopDelegate is made to
deliver N callbacks from its delivery thread (inspection fire_many), and the
time until its queue is empty is measured. Main thread idle: blocked in
wait_idle (a ctypes call, lock released). Main thread busy: running a Python
loop for a fixed time; the figures are the number delivered meanwhile and the
share of its own pace the main thread kept. How the interpreter lock passes
between the two threads decides both, and varies a lot from run to run.

Baseline (same run): _corvel_bench's native caller, a thread that per call
takes the interpreter lock with PyGILState_Ensure (so a thread state per call,
as the binding does), builds equivalent arguments with the plain C API and
calls the same method of the same delegate object.

Also shown: the same native caller keeping one thread state for its whole
life, and the engine's own delivery cost (a C++ no-op delegate).
"""

from __future__ import annotations

import ctypes
import json
import time

from common import NoopDelegate, _corvel, bench, busy, engine_probe, make_pcm

PCM = make_pcm(10, 48000, 2)
FRAME = {"sample_rate": 48000, "channels": 2, "bits_per_sample": 16, "data": PCM}

# name shown, callback fired by the engine, its arguments, native caller
# kind, most callbacks queued at once for the busy case (memory)
CASES = [
    ("no arguments (OnEnterRoom)", "OnEnterRoom", (), 0, 1_000_000),
    ("AudioFrame 10 ms 48 kHz stereo (OnRemoteAudioReceived)", "OnRemoteAudioReceived",
     ("remote-user-1", FRAME), 1, 1_000_000),
    ("OnNetworkQuality, 8 remote records", "OnNetworkQuality",
     (("local-user", 2), [(f"remote-user-{k}", 2) for k in range(1, 9)]), 2, 200_000),
]


def _engine_rate(instance: int, callback: str, args: tuple, count: int) -> tuple[float, int]:
    """Seconds for `count` deliveries with this thread blocked; drops."""
    dropped = engine_probe.dropped(instance)
    start = time.perf_counter()
    queued = engine_probe.fire_many(instance, callback, count, *args)
    if not engine_probe.wait_idle(instance, timeout=600):
        raise RuntimeError("delivery did not finish")
    seconds = time.perf_counter() - start
    return seconds, (count - queued) + engine_probe.dropped(instance) - dropped


def _holding_lock():
    """The probe library through ctypes.PyDLL: its calls keep the interpreter
    lock (through the usual CDLL they let it go, and the engine may deliver
    a whole backlog meanwhile, before the main thread's busy spell)."""
    return ctypes.PyDLL(engine_probe.probe_library_path())


def _delivered_holding_lock(instance: int) -> int:
    lib = _holding_lock()
    lib.corvel_inspect_stats_json.restype = ctypes.c_void_p
    lib.corvel_inspect_stats_json.argtypes = [ctypes.c_uint64]
    lib.corvel_inspect_free.argtypes = [ctypes.c_void_p]
    pointer = lib.corvel_inspect_stats_json(instance)
    try:
        return json.loads(ctypes.string_at(pointer).decode("ascii"))["delivered"]
    finally:
        lib.corvel_inspect_free(pointer)


def _fire_many_holding_lock(instance: int, callback: str, count: int, args: tuple) -> None:
    """fire_many keeping the interpreter lock, so that no callback runs before
    the busy spell."""
    fire = _holding_lock().corvel_inspect_fire_many
    fire.restype = ctypes.c_int64
    fire.argtypes = [ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint64]
    slot = engine_probe._slot(callback)
    if fire(instance, slot, engine_probe._arguments(slot, args, {}).encode(), count) != count:
        raise RuntimeError("backlog not queued")


def _engine_busy(instance: int, callback: str, args: tuple, seconds: float,
                 backlog: int) -> tuple[int, float]:
    """Deliveries while this thread runs Python for `seconds`."""
    _fire_many_holding_lock(instance, callback, backlog, args)
    before = _delivered_holding_lock(instance)
    start = time.perf_counter()
    loops = busy(seconds)
    elapsed = time.perf_counter() - start
    after = engine_probe.stats(instance)["delivered"]
    return after - before, elapsed, loops


def _native_idle(target, method: str, kind: int, count: int, persistent: bool) -> float:
    bench.caller_start(target, method, kind, count, persistent)
    calls, seconds = bench.caller_finish()
    assert calls == count
    return seconds


def _native_busy(target, method: str, kind: int, seconds: float) -> tuple[int, float, int]:
    bench.caller_start(target, method, kind, 1 << 62, False)
    loops = busy(seconds)
    calls, elapsed = bench.caller_finish(True)
    return calls, elapsed, loops


def run(quick: bool) -> dict:
    count = 2000 if quick else 100_000
    warm = 300 if quick else 5000
    busy_seconds = 0.2 if quick else 3.0
    rows = []
    engine_probe.set_queue_capacity(count + warm + 1000)
    delegate = NoopDelegate()
    cloud = _corvel.VORACloud(delegate)
    instance = engine_probe.last_instance()
    handle = bench.native_cloud_create(False)
    native_instance = engine_probe.last_instance()
    alone = busy(busy_seconds)  # the main thread's pace with nothing else running
    try:
        for label, callback, args, kind, cap in CASES:
            method = callback
            # warm-up of every path
            _engine_rate(instance, callback, args, warm)
            _native_idle(delegate, method, kind, warm, False)
            _native_idle(delegate, method, kind, warm, True)
            _engine_rate(native_instance, callback, args, warm)

            b_sec, b_drop = _engine_rate(instance, callback, args, count)
            n_sec = _native_idle(delegate, method, kind, count, False)
            p_sec = _native_idle(delegate, method, kind, count, True)
            e_sec, _ = _engine_rate(native_instance, callback, args, count)
            rows.append({
                "case": label, "main": "idle",
                "binding_ns": b_sec / count * 1e9, "binding_per_s": count / b_sec,
                "baseline_ns": n_sec / count * 1e9, "baseline_per_s": count / n_sec,
                "persistent_baseline_ns": p_sec / count * 1e9,
                "engine_only_ns": e_sec / count * 1e9,
                "dropped": b_drop, "count": count,
            })

            # Enough queued that delivery never runs dry while the main thread
            # is busy, even at the idle rate.
            backlog = min(int(count / b_sec * busy_seconds * 1.5) + 100, cap)
            engine_probe.set_queue_capacity(backlog + 100)
            busy_cloud = _corvel.VORACloud(delegate)
            busy_instance = engine_probe.last_instance()
            delivered, elapsed, loops = _engine_busy(busy_instance, callback, args, busy_seconds,
                                                     backlog)
            ran_dry = delivered >= backlog
            del busy_cloud  # discards what is left in its queue
            calls, n_elapsed, n_loops = _native_busy(delegate, method, kind, busy_seconds)
            rows.append({
                "case": label, "main": "busy",
                "binding_ns": elapsed / max(delivered, 1) * 1e9,
                "binding_per_s": delivered / elapsed,
                "baseline_ns": n_elapsed / max(calls, 1) * 1e9,
                "baseline_per_s": calls / n_elapsed,
                "persistent_baseline_ns": None, "engine_only_ns": None,
                "dropped": 0, "count": delivered, "ran_dry": ran_dry,
                # share of the main thread's own pace it kept meanwhile
                "main_progress": loops / alone, "baseline_main_progress": n_loops / alone,
            })
    finally:
        del cloud
        bench.native_cloud_destroy(handle)
        engine_probe.set_queue_capacity(0)
    for row in rows:
        row["ratio"] = row["binding_ns"] / row["baseline_ns"]
    return {"rows": rows}


if __name__ == "__main__":
    import json
    import sys

    print(json.dumps(run("--quick" in sys.argv), indent=1))
