"""End to end on the loopback engine: rooms shared by instances of one process.

Latency: party A sends one 20 ms frame of 48 kHz mono audio with
SendAudioFrame; the time until party B's OnRemoteAudioReceived starts running
in Python is measured, one frame in flight at a time, one frame every 20 ms.
Main thread idle: it waits on an Event for B's callback. Main thread busy: it
runs Python code until the next frame is due, and B's callback notes its time.

Scale: 2, 8 and 32 parties in one room, each sending one 20 ms frame of 48 kHz
mono audio every 20 ms (real time, paced by the main thread, which sleeps in
between); every party receives every other party's audio in its own callback
(OnRemoteAudioReceived per remote user, delivered in the sent format).
Figures: process CPU seconds per second of audio, callbacks delivered per
second, frames dropped (expected minus received, after a drain of up to 2 s),
and sending ticks that ran late.

Baseline (same run, _corvel_bench): the same scenarios with C++ no-op
delegates and a C++ sender: the engine's own latency and CPU. For latency
also: the binding sending to a C++ delegate, which leaves out the binding's
receiving side.
"""

from __future__ import annotations

import os
import threading
import time

from common import NoopDelegate, _corvel, bench, busy, corvel

FRAME_MS = 20
PCM = bytes(960 * 2)  # 20 ms of 48 kHz mono, 16-bit

_room_ids = iter(range(820_001, 830_000))


def rooms_available() -> bool:
    """True when two instances entering one room see each other."""
    entered = threading.Event()

    class Watch(NoopDelegate):
        def OnRemoteUserEnterRoom(self, info):
            entered.set()

    room = next(_room_ids)
    a = _corvel.VORACloud(Watch())
    b = _corvel.VORACloud(NoopDelegate())
    try:
        _enter(a, room, "probe-a")
        _enter(b, room, "probe-b")
        return entered.wait(2.0)
    except RuntimeError:
        return False
    finally:
        del a, b


def _enter(cloud, room: int, user: str) -> None:
    params = _corvel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = room
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("signature")
    obtain = params.audio_obtain_params
    obtain.output_sample_rate = 48000
    obtain.output_channels = 1
    obtain.output_frame_length_ms = FRAME_MS
    if cloud.EnterRoom(params) != _corvel.ERR_OK:
        raise RuntimeError("EnterRoom failed")
    audio = _corvel.AudioEncodeParams()
    audio.channels = 1
    audio.sample_rate = 48000
    audio.frame_length_ms = FRAME_MS
    if cloud.CreateLocalAudioChannel(audio) != _corvel.ERR_OK:
        raise RuntimeError("CreateLocalAudioChannel failed")


def _frame():
    frame = _corvel.AudioFrame()
    frame.sample_rate = 48000
    frame.channels = 1
    frame.SetData(PCM)
    return frame


def _percentiles(values: list[float]) -> dict:
    if not values:
        return {"p50_us": None, "p99_us": None, "max_us": None}
    ordered = sorted(values)

    def pick(q: float) -> float:
        return ordered[min(len(ordered) - 1, int(q * len(ordered)))]

    return {"p50_us": pick(0.50) / 1e3, "p99_us": pick(0.99) / 1e3, "max_us": ordered[-1] / 1e3}


class _Receiver(NoopDelegate):
    def __init__(self):
        super().__init__()
        self.arrived = threading.Event()
        self.at = 0

    def OnRemoteAudioReceived(self, user_id, frame):
        self.at = time.perf_counter_ns()
        self.arrived.set()


def _latency(count: int, busy_main: bool) -> dict:
    room = next(_room_ids)
    receiver = _Receiver()
    a = _corvel.VORACloud(NoopDelegate())
    b = _corvel.VORACloud(receiver)
    try:
        _enter(a, room, "sender")
        _enter(b, room, "receiver")
        time.sleep(0.2)
        frame = _frame()
        latencies = []
        lost = 0
        next_due = time.perf_counter()
        for _ in range(count):
            receiver.arrived.clear()
            sent = time.perf_counter_ns()
            a.SendAudioFrame(frame)
            next_due += FRAME_MS / 1000
            if busy_main:
                busy(max(0.0, next_due - time.perf_counter()))
                arrived = receiver.arrived.wait(0.2)
            else:
                arrived = receiver.arrived.wait(0.2)
                time.sleep(max(0.0, next_due - time.perf_counter()))
            if arrived:
                latencies.append(receiver.at - sent)
            else:
                lost += 1
        return {**_percentiles(latencies), "frames": count, "lost": lost}
    finally:
        del a, b


def _python_sender_native_receiver(count: int) -> dict:
    """The binding sends, a C++ delegate receives: the engine's and the
    sending side's part of the latency, without the binding's receive side."""
    room = next(_room_ids)
    a = _corvel.VORACloud(NoopDelegate())
    try:
        _enter(a, room, "sender")
        bench.native_receiver_start(room)
        time.sleep(0.2)
        frame = _frame()
        latencies = []
        lost = 0
        next_due = time.perf_counter()
        for _ in range(count):
            before, _ = bench.native_receiver_last()
            sent = time.monotonic_ns()  # the C++ steady clock
            a.SendAudioFrame(frame)
            next_due += FRAME_MS / 1000
            deadline = time.perf_counter() + 0.2
            while True:
                got, at = bench.native_receiver_last()
                if got > before or time.perf_counter() > deadline:
                    break
                time.sleep(0.0002)
            if got > before:
                latencies.append(at - sent)
            else:
                lost += 1
            time.sleep(max(0.0, next_due - time.perf_counter()))
        return {**_percentiles(latencies), "frames": count, "lost": lost}
    finally:
        bench.native_receiver_stop()
        del a


def _native_latency(count: int) -> dict:
    values = bench.native_latency(count, next(_room_ids))
    got = [v for v in values if v is not None]
    return {**_percentiles(got), "frames": count, "lost": len(values) - len(got)}


class _Counter(NoopDelegate):
    def __init__(self):
        super().__init__()
        self.audio = 0

    def OnRemoteAudioReceived(self, user_id, frame):
        self.audio += 1


def _scale(parties: int, ticks: int) -> dict:
    room = next(_room_ids)
    delegates = [_Counter() for _ in range(parties)]
    clouds = []
    try:
        for i, delegate in enumerate(delegates):
            clouds.append(_corvel.VORACloud(delegate))
            _enter(clouds[-1], room, f"party-{i}")
        time.sleep(0.3)
        for d in delegates:
            d.audio = 0
        # The product's own counter: the inspection library is never loaded
        # here, so the figures are those of the shipped engine.
        dropped0 = corvel.dropped_callbacks() or 0
        frame = _frame()
        late = 0
        cpu0 = time.process_time()
        start = time.perf_counter()
        next_due = start
        for _ in range(ticks):
            for cloud in clouds:
                cloud.SendAudioFrame(frame)
            next_due += FRAME_MS / 1000
            delay = next_due - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            else:
                late += 1
        sent_all = time.perf_counter()
        expected = ticks * parties * (parties - 1)
        deadline = sent_all + 2.0
        while sum(d.audio for d in delegates) < expected and time.perf_counter() < deadline:
            time.sleep(0.002)
        drain = time.perf_counter() - sent_all
        wall = time.perf_counter() - start
        cpu = time.process_time() - cpu0
        received = sum(d.audio for d in delegates)
        queue_dropped = (corvel.dropped_callbacks() or 0) - dropped0
    finally:
        del clouds
    audio_seconds = ticks * FRAME_MS / 1000
    return {
        "parties": parties, "audio_seconds": audio_seconds,
        "cpu_per_audio_second": cpu / audio_seconds,
        "callbacks_per_s": received / wall,
        "expected": expected, "received": received,
        "dropped": expected - received, "queue_dropped": queue_dropped,
        "late_ticks": late, "drain_ms": drain * 1e3,
    }


def _native_scale(parties: int, ticks: int) -> dict:
    r = bench.native_room_scale(parties, ticks, next(_room_ids))
    audio_seconds = ticks * FRAME_MS / 1000
    expected = ticks * parties * (parties - 1)
    return {
        "parties": parties, "audio_seconds": audio_seconds,
        "cpu_per_audio_second": r["cpu_seconds"] / audio_seconds,
        "callbacks_per_s": r["received"] / r["wall_seconds"],
        "expected": expected, "received": r["received"],
        "dropped": expected - r["received"], "queue_dropped": None,
        "late_ticks": r["late_ticks"], "drain_ms": r["drain_seconds"] * 1e3,
    }


def run(quick: bool) -> dict:
    if not rooms_available():
        return {"skipped": "engine has no rooms"}
    frames = 30 if quick else 500
    ticks = 15 if quick else 500
    latency = []
    for main in ("idle", "busy"):
        latency.append({"main": main, **_latency(frames, main == "busy")})
    latency.append({"main": "binding sends, C++ delegate receives",
                    **_python_sender_native_receiver(frames)})
    latency.append({"main": "native baseline", **_native_latency(frames)})
    scale = []
    for parties in (2, 8, 32):
        scale.append({"who": "binding", **_scale(parties, ticks)})
        scale.append({"who": "native baseline", **_native_scale(parties, ticks)})
    return {"latency": latency, "scale": scale}


def run_pinned(quick: bool) -> dict:
    """The 32-party room alone, in a process its caller has pinned to one core."""
    if not rooms_available():
        return {"skipped": "engine has no rooms"}
    ticks = 15 if quick else 500
    return {"cpus": sorted(os.sched_getaffinity(0)),
            "scale": [{"who": "binding", **_scale(32, ticks)},
                      {"who": "native baseline", **_native_scale(32, ticks)}]}


if __name__ == "__main__":
    import json
    import sys

    print(json.dumps(run("--quick" in sys.argv), indent=1))
