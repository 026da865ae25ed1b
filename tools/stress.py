#!/usr/bin/env python3
"""Stress and soak run of the module and the engine.

For a bounded time, several Python threads create clouds, put them in a few
shared rooms, send media and messages, inject callbacks of every kind through
the engine's inspection interface (tests/engine_probe.py), and drop clouds:
from the thread that made them, or from inside one of their own callbacks.
Some delegates raise from every callback (Exception, SystemExit,
KeyboardInterrupt), some are slow, all of them read the payloads they get.

The run happens in a child process watched by this one: when the child makes
no progress for --stall seconds or outlives --seconds by --grace seconds, the
watchdog dumps every Python stack (faulthandler, SIGUSR1) and every native
stack (gdb, when installed), kills the child and fails. A crash fails too.

    tools/stress.py --seconds 60              # the CI run
    tools/stress.py --seconds 3600 --threads 6  # a soak

Prints operations done, callbacks delivered, payload bytes read and peak
resident memory; exit status 0 when the run held up.
"""

from __future__ import annotations

import argparse
import faulthandler
import gc
import itertools
import json
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import weakref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = 1400000001
ROOMS = (91001, 91002, 91003)


# --------------------------------------------------------------------------
# Child: the workload.


def child_main(args: argparse.Namespace) -> int:
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import _corvel as corvel

    import engine_probe as probe

    faulthandler.register(signal.SIGUSR1, all_threads=True)
    rng_seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print(f"stress: seed {rng_seed}", file=sys.stderr, flush=True)

    callbacks = itertools.count()       # next() is atomic under the GIL
    raised = itertools.count()
    late = itertools.count()            # callbacks after the cloud was dropped
    payload_bytes = itertools.count()
    ops = itertools.count()
    created = itertools.count()
    dropped = itertools.count()
    self_dropped = itertools.count()
    room_arrivals = itertools.count()   # OnRemoteUserEnterRoom from a real room

    def read(data: bytes) -> None:
        # A real read of every byte (a sum), not just a length.
        if data:
            sum(memoryview(data)[::max(1, len(data) // 64)])
            for _ in range(len(data) // 1024 + 1):
                next(payload_bytes)

    failures = [RuntimeError("delegate failure"), ValueError("bad value"),
                SystemExit(3), KeyboardInterrupt(), MemoryError(), ZeroDivisionError()]

    class Delegate(corvel.VORACloudDelegate):
        """mode: 'plain', 'raising', 'slow' or 'self-drop' (owns its cloud and
        drops it from a callback after a few calls)."""

        def __init__(self, mode: str, rng: random.Random) -> None:
            super().__init__()
            self.mode = mode
            self.dead = False
            self.cloud = None
            self.ref = None             # weak reference to the cloud, for 'self-drop'
            self.remaining = rng.randrange(1, 40)
            self.failure = failures[rng.randrange(len(failures))]

        def _on(self) -> None:
            next(callbacks)
            if self.dead:
                next(late)
            if self.mode == "slow":
                time.sleep(0.0005)
            elif self.mode == "self-drop" and self.cloud is not None:
                self.remaining -= 1
                if self.remaining <= 0:
                    self.cloud = None   # usually the last reference: destroyed right here
                    if self.ref() is None:
                        self.dead = True
                        next(self_dropped)
            elif self.mode == "raising":
                next(raised)
                raise type(self.failure)(*self.failure.args)

        def OnError(self, error): self._on()
        def OnConnectionStateChanged(self, old, new): self._on()
        def OnEnterRoom(self): self._on()
        def OnExitRoom(self): self._on()
        def OnLocalAudioChannelCreated(self): self._on()
        def OnLocalAudioChannelDestroyed(self): self._on()
        def OnLocalVideoChannelCreated(self, stream_type): self._on()
        def OnLocalVideoChannelDestroyed(self, stream_type): self._on()
        def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate): self._on()
        def OnRequestKeyFrame(self, stream_type): self._on()

        def OnRemoteUserEnterRoom(self, info):
            user = info.user_id.GetValue()
            read(user.encode("utf-8", "surrogatepass"))
            if user.startswith("user-"):
                next(room_arrivals)
            self._on()

        def OnRemoteUserExitRoom(self, info, reason):
            read(info.user_id.GetValue().encode("utf-8", "surrogatepass"))
            self._on()

        def OnRemoteAudioAvailable(self, user_id, available): self._on()
        def OnRemoteVideoAvailable(self, user_id, available, stream_type): self._on()

        def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
            read(frame.data)
            self._on()

        def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
            read(frame.data)
            self._on()

        def OnRemoteAudioReceived(self, user_id, frame):
            read(frame.data)
            self._on()

        def OnRemoteMixedAudioReceived(self, frame):
            read(frame.data)
            self._on()

        def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
            read(message)
            self._on()

        def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
            read(message)
            self._on()

        def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed): self._on()

        def OnNetworkQuality(self, local, remotes):
            for info in [local, *remotes]:
                info.user_id.GetValue()
            self._on()

    # Injected callbacks of every kind, with payloads.
    blob = bytes(range(256)) * 8
    frame_audio = {"sample_rate": 16000, "channels": 1, "bits_per_sample": 16, "codec": 0,
                   "pts": 7, "has_voice": True, "data": blob[:640], "extra": b"x"}
    frame_video = {"pts": 1, "dts": 1, "is_key_frame": True, "codec": 0, "rotation": 0,
                   "data": blob}
    frame_pixel = {"pts": 1, "width": 4, "height": 2, "format": 0, "rotation": 0,
                   "data": blob[:12]}
    injections = [
        ("OnError", (-1,)),
        ("OnConnectionStateChanged", (3, 1)),
        ("OnEnterRoom", ()),
        ("OnExitRoom", ()),
        ("OnLocalAudioChannelCreated", ()),
        ("OnLocalAudioChannelDestroyed", ()),
        ("OnLocalVideoChannelCreated", (1,)),
        ("OnLocalVideoChannelDestroyed", (1,)),
        ("OnRequestChangeVideoEncodeBitrate", (1, 300000)),
        ("OnRequestKeyFrame", (2,)),
        ("OnRemoteUserEnterRoom", ("remote-\u00e9",)),
        ("OnRemoteUserExitRoom", ("remote", 0)),
        ("OnRemoteAudioAvailable", ("remote", True)),
        ("OnRemoteVideoAvailable", ("remote", True, 1)),
        ("OnRemoteVideoFrameReceived", ("remote", 1, frame_video)),
        ("OnRemotePixelFrameReceived", ("remote", 1, frame_pixel)),
        ("OnRemoteAudioReceived", ("remote", frame_audio)),
        ("OnRemoteMixedAudioReceived", (frame_audio,)),
        ("OnSeiMessageReceived", ("remote", 1, 5, blob[:100])),
        ("OnReceiveCustomCmdMsg", ("remote", 1, 9, blob[:500])),
        ("OnMissCustomCmdMsg", ("remote", 1, 0, 2)),
        ("OnNetworkQuality", (("me", 1), [("a", 2), ("b", 3)])),
        ("OnUserVoiceVolume", ([("a", 10)], 1, 10)),
        ("OnReceiveAsrMessage", ("a", "text")),
        ("OnAsrServiceError", (1, "info")),
    ]

    create_lock = threading.Lock()
    user_numbers = itertools.count(1)
    stop = threading.Event()
    errors: list[str] = []

    def pcm(rng: random.Random) -> corvel.AudioFrame:
        frame = corvel.AudioFrame()
        frame.sample_rate = 16000
        frame.channels = 1
        frame.SetData(rng.randbytes(640))
        return frame

    def worker(index: int) -> None:
        rng = random.Random(rng_seed * 1000 + index)
        mine: list[tuple[object, Delegate, int]] = []   # (cloud or weakref, delegate, id)

        def cloud_of(entry):
            target = entry[0]
            return target() if isinstance(target, weakref.ref) else target

        def new_cloud() -> None:
            mode = rng.choice(["plain", "plain", "raising", "slow", "self-drop"])
            delegate = Delegate(mode, rng)
            with create_lock:
                cloud = corvel.VORACloud(delegate)
                iid = probe.last_instance()
            next(created)
            params = corvel.EnterRoomParams()
            params.room.sdk_app_id = APP
            params.room.room_id = rng.choice(ROOMS)
            # Now and then a user id already in use: the room replaces its holder.
            number = next(user_numbers)
            if number > 1 and rng.random() < 0.05:
                number = rng.randrange(1, number)
            params.room.user_id.SetValue(f"user-{number}")
            params.room.user_sig.SetValue("sig")
            if rng.random() < 0.3:
                params.audio_obtain_params.audio_obtain_method = corvel.AUDIO_OBTAIN_METHOD_GET
                params.audio_obtain_params.enable_remote_audio_mix = True
            cloud.EnterRoom(params)
            if mode == "self-drop":
                delegate.cloud = cloud
                delegate.ref = weakref.ref(cloud)
                mine.append((weakref.ref(cloud), delegate, iid))
            else:
                mine.append((cloud, delegate, iid))

        def drop(position: int) -> None:
            # The caller holds no reference of its own: after this the cloud
            # is gone, and its delegate must not hear from the engine again.
            delegate = mine.pop(position)[1]
            delegate.cloud = None
            delegate.dead = True
            next(dropped)

        def media(cloud, rng: random.Random) -> None:
            step = rng.randrange(8)
            if step == 0:
                params = corvel.AudioEncodeParams()
                params.sample_rate = 16000
                cloud.CreateLocalAudioChannel(params)
                cloud.CreateLocalVideoChannel(corvel.STREAM_TYPE_VIDEO_HIGH)
            elif step in (1, 2):
                cloud.SendAudioFrame(pcm(rng))
            elif step == 3:
                cloud.SendContinuousAudioFrame(pcm(rng), rng.random() < 0.1)
            elif step == 4:
                frame = corvel.VideoFrame()
                frame.SetData(rng.randbytes(rng.randrange(1, 4000)))
                cloud.SendVideoFrame(corvel.STREAM_TYPE_VIDEO_HIGH, frame)
                cloud.SendSeiMessage(5, rng.randbytes(rng.randrange(1, 64)))
            elif step == 5:
                cloud.SendCustomCmdMsg(rng.randrange(1, 11), rng.randbytes(rng.randrange(1, 900)),
                                       True, True)
            elif step == 6:
                frame = corvel.AudioFrame()
                if cloud.GetAudioFrame(frame) == corvel.ERR_OK:
                    read(frame.data)
            else:
                for user in ("user-1", "user-2", "user-3"):
                    cloud.Subscribe(user, corvel.STREAM_TYPE_VIDEO_HIGH)

        if index == 0 and os.environ.get("CORVEL_STRESS_HANG"):
            # Checks the watchdog: a callback that never returns, and a thread
            # that waits for it without limit.
            class Stuck(Delegate):
                def OnError(self, error):
                    threading.Event().wait()
            with create_lock:
                _stuck = corvel.VORACloud(Stuck("plain", rng))  # kept until the end
                probe.fire(probe.last_instance(), "OnError", -1, timeout=None)

        try:
            while not stop.is_set():
                next(ops)
                action = rng.random()
                if len(mine) < 2 or (action < 0.08 and len(mine) < args.clouds):
                    new_cloud()
                    continue
                position = rng.randrange(len(mine))
                if action < 0.16:
                    drop(position)
                    continue
                cloud = cloud_of(mine[position])
                if cloud is None:            # dropped by its own callback
                    mine.pop(position)
                    continue
                iid = mine[position][2]
                if action < 0.55:
                    media(cloud, rng)
                elif action < 0.75:
                    name, call_args = injections[rng.randrange(len(injections))]
                    probe.fire_many(iid, name, rng.randrange(1, 30), *call_args)
                elif action < 0.82:
                    name, call_args = injections[rng.randrange(len(injections))]
                    result = probe.fire(iid, name, *call_args, timeout=30)
                    if result == probe.TIMED_OUT:
                        errors.append(f"fire {name} on {iid} timed out")
                elif action < 0.86:
                    if probe.firehose_start(iid, "OnRequestKeyFrame", 1, interval_us=50) == 0:
                        time.sleep(rng.random() * 0.02)
                        probe.firehose_stop(iid)
                elif action < 0.93:
                    if cloud.ExitRoom() == corvel.ERR_OK and rng.random() < 0.5:
                        params = corvel.EnterRoomParams()
                        params.room.sdk_app_id = APP
                        params.room.room_id = rng.choice(ROOMS)
                        params.room.user_id.SetValue(f"user-{next(user_numbers)}")
                        params.room.user_sig.SetValue("sig")
                        cloud.EnterRoom(params)
                else:
                    time.sleep(0.001)
                del cloud
        except BaseException as error:  # noqa: BLE001 - reported, then the run fails
            errors.append(f"worker {index}: {type(error).__name__}: {error}")
        finally:
            while mine:
                drop(len(mine) - 1)

    threads = [threading.Thread(target=worker, args=(i,), name=f"stress-{i}")
               for i in range(args.threads)]
    started = time.monotonic()
    for thread in threads:
        thread.start()

    def snapshot() -> dict:
        peek = lambda counter: int(repr(counter)[6:-1])  # count(N) -> N, no increment
        return {
            "elapsed": round(time.monotonic() - started, 1),
            "ops": peek(ops), "callbacks": peek(callbacks), "raised": peek(raised),
            "created": peek(created), "dropped": peek(dropped),
            "self_dropped": peek(self_dropped), "late": peek(late),
            "room_arrivals": peek(room_arrivals),
            "payload_kib": peek(payload_bytes), "live": probe.live_instances(),
            "peak_rss_mib": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, 1),
        }

    deadline = started + args.seconds
    while time.monotonic() < deadline and all(t.is_alive() for t in threads):
        time.sleep(min(1.0, max(0.0, deadline - time.monotonic())))
        print("progress " + json.dumps(snapshot()), flush=True)
    stop.set()
    for thread in threads:
        thread.join()
    gc.collect()
    # Every engine instance must be gone: the workers dropped all their clouds.
    for _ in range(200):
        if probe.live_instances() == 0:
            break
        time.sleep(0.05)
    result = snapshot()
    engine = probe.stats(0)
    result.update({"seed": rng_seed, "engine_dropped": engine["dropped"],
                   "engine_callback_errors": engine["callback_errors"],
                   "errors": errors[:20]})
    problems = list(errors)
    if result["late"]:
        problems.append(f"{result['late']} callbacks arrived after their cloud was dropped")
    if result["live"]:
        problems.append(
            f"{result['live']} engine instances still live after every cloud was dropped")
    result["problems"] = problems
    print("result " + json.dumps(result), flush=True)
    return 1 if problems else 0


# --------------------------------------------------------------------------
# Parent: the watchdog.


def native_stacks(pid: int) -> str:
    gdb = None if os.environ.get("CORVEL_STRESS_NO_GDB") else shutil.which("gdb")
    if gdb is None:
        return "(gdb not installed: no native stacks)"
    try:
        out = subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-iex", "set auto-load off",
                              "-ex", "thread apply all bt 25"],
                             capture_output=True, text=True, timeout=120)
        return out.stdout[-60000:]
    except subprocess.TimeoutExpired:
        return "(gdb timed out)"


def wait_until_quiet(stream, most: float = 2.0, quiet: float = 0.3) -> None:
    """Waits (at most `most` s) until the child has written nothing more to
    `stream` for `quiet` s: its stack dump is complete."""
    size, changed, end = -1, time.monotonic(), time.monotonic() + most
    while time.monotonic() < end:
        now = os.fstat(stream.fileno()).st_size
        if now != size:
            size, changed = now, time.monotonic()
        elif time.monotonic() - changed >= quiet:
            return
        time.sleep(0.05)


def parent_main(args: argparse.Namespace) -> int:
    command = [sys.executable, os.path.abspath(__file__), "--child",
               "--seconds", str(args.seconds), "--threads", str(args.threads),
               "--clouds", str(args.clouds)]
    if args.seed is not None:
        command += ["--seed", str(args.seed)]
    with tempfile.TemporaryFile(mode="w+") as errors:
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, text=True)
        last: dict = {}
        result: dict | None = None
        lines: list[str] = []
        progress_at = time.monotonic()
        last_ops = -1
        hang = None

        def reader() -> None:
            nonlocal result, last, progress_at, last_ops
            for line in child.stdout:
                lines.append(line)
                if line.startswith("progress "):
                    last = json.loads(line[len("progress "):])
                    if last["ops"] != last_ops:
                        last_ops = last["ops"]
                        progress_at = time.monotonic()
                elif line.startswith("result "):
                    result = json.loads(line[len("result "):])

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
        limit = time.monotonic() + args.seconds + args.grace
        while child.poll() is None:
            time.sleep(0.2)
            now = time.monotonic()
            if now > limit:
                hang = f"still running {args.grace:g} s after its {args.seconds:g} s"
            elif now - progress_at > args.stall:
                hang = f"no progress for {args.stall:g} s"
            if hang:
                print(f"stress: HANG: {hang}; stacks follow", file=sys.stderr)
                child.send_signal(signal.SIGUSR1)    # Python stacks, into the child's stderr
                wait_until_quiet(errors)
                print(native_stacks(child.pid), file=sys.stderr)
                child.kill()
                child.wait()
                break
        thread.join(timeout=10)
        errors.seek(0)
        stderr = errors.read()

    code = child.returncode
    final = result or last
    shown = (f"{k} {v}" for k, v in final.items() if k not in ("errors", "problems"))
    print("stress: " + ", ".join(shown))
    callback_error_lines = sum(1 for line in stderr.splitlines() if "python callback" in line)
    print(f"stress: {callback_error_lines} callback errors printed by the module")
    failed = hang is not None or code != 0 or result is None
    if failed:
        tail = "\n".join(line for line in stderr.splitlines()
                         if "python callback" not in line and "unknown error" not in line)
        print("stress: FAILED" + (f" ({hang})" if hang else f" (exit status {code})"),
              file=sys.stderr)
        if result and result.get("problems"):
            for problem in result["problems"]:
                print(f"  {problem}", file=sys.stderr)
        print(tail[-20000:], file=sys.stderr)
        return 1
    print(f"stress: passed: {final['ops']} operations, {final['callbacks']} callbacks delivered, "
          f"{final['created']} clouds created, peak RSS {final['peak_rss_mib']} MiB")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the run")
    parser.add_argument("--threads", type=int, default=4, help="Python worker threads")
    parser.add_argument("--clouds", type=int, default=6, help="clouds held per worker at most")
    parser.add_argument("--seed", type=int, default=None,
                        help="random seed (printed when not given)")
    parser.add_argument("--stall", type=float, default=60.0,
                        help="seconds without progress that count as a hang")
    parser.add_argument("--grace", type=float, default=120.0,
                        help="seconds past --seconds before the run counts as hung")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    return child_main(args) if args.child else parent_main(args)


if __name__ == "__main__":
    sys.exit(main())
