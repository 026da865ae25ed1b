"""Every way a program can end while clouds sit in rooms with media flowing.

Each case is a child interpreter that puts clouds in a shared room, starts
audio, video and messages between them (plus an engine thread injecting
callbacks, so that traffic flows even on an engine without shared rooms),
waits until callbacks arrive, and then ends: returning from main, sys.exit,
an uncaught exception, SystemExit or KeyboardInterrupt raised inside a
callback, SIGINT, SIGTERM with and without a handler. The child must end
within the watchdog's bound, with the exit status that ending implies, with
no fatal error printed, and - when exit handlers run - with no callback
delivered after the module has ended its engines.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import _corvel

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(_corvel.__file__))
WATCHDOG = 60  # seconds; a child still running then has hung

# Registered before the module is imported, so that it runs after the
# module's own exit hook (exit hooks run last-registered first): it checks
# that no callback is delivered once the engines have been ended.
PRELUDE = r'''
import atexit, faulthandler, os, signal, sys, threading, time
faulthandler.enable()
delivered = [0]
def _after_engines_ended():
    before = delivered[0]
    time.sleep(0.2)
    late = delivered[0] - before
    os.write(1, f"ENDED late={late}\n".encode())
atexit.register(_after_engines_ended)

import _corvel as corvel
import engine_probe as probe

APP, ROOM = 1400000001, int(sys.argv[1])
flowing = threading.Event()


class Member(corvel.VORACloudDelegate):
    """Reads what it receives; `failure` is raised from every callback."""

    failure = None

    def __init__(self):
        super().__init__()
        self.cloud = None

    def _on(self):
        delivered[0] += 1
        if delivered[0] >= 200:
            flowing.set()
        if self.failure is not None:
            raise self.failure

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
    def OnRemoteUserEnterRoom(self, info): info.user_id.GetValue(); self._on()
    def OnRemoteUserExitRoom(self, info, reason): info.user_id.GetValue(); self._on()
    def OnRemoteAudioAvailable(self, user_id, available): self._on()
    def OnRemoteVideoAvailable(self, user_id, available, stream_type): self._on()
    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame): frame.data; self._on()
    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame): frame.data; self._on()
    def OnRemoteAudioReceived(self, user_id, frame): frame.data; self._on()
    def OnRemoteMixedAudioReceived(self, frame): frame.data; self._on()
    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message): self._on()
    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message): self._on()


def join(name, delegate, own=False):
    """A cloud in the room with an audio and a video channel; with own=True
    the delegate holds its cloud (a reference cycle) and None is returned."""
    cloud = corvel.VORACloud(delegate)
    params = corvel.EnterRoomParams()
    params.room.sdk_app_id, params.room.room_id = APP, ROOM
    params.room.user_id.SetValue(name)
    params.room.user_sig.SetValue("sig")
    assert cloud.EnterRoom(params) == corvel.ERR_OK
    audio = corvel.AudioEncodeParams()
    audio.sample_rate = 16000
    cloud.CreateLocalAudioChannel(audio)
    cloud.CreateLocalVideoChannel(corvel.STREAM_TYPE_VIDEO_HIGH)
    for other in ("alice", "bob", "carol"):
        cloud.Subscribe(other, corvel.STREAM_TYPE_VIDEO_HIGH)
    if own:
        delegate.cloud = cloud
        return None
    return cloud


def send_forever(clouds):
    """Media and messages from every cloud, until the process ends."""
    pcm = corvel.AudioFrame()
    pcm.sample_rate = 16000
    pcm.SetData(bytes(640))
    video = corvel.VideoFrame()
    video.SetData(b"\0\0\0\1" + bytes(300))
    while True:
        for cloud in clouds:
            cloud.SendContinuousAudioFrame(pcm, False)
            cloud.SendAudioFrame(pcm)
            cloud.SendVideoFrame(corvel.STREAM_TYPE_VIDEO_HIGH, video)
            cloud.SendSeiMessage(5, b"caption")
            cloud.SendCustomCmdMsg(1, b"hello", True, True)
        time.sleep(0.005)


def flood(instance):
    """An engine thread injecting callbacks with payloads."""
    frame = {"sample_rate": 16000, "channels": 1, "data": bytes(640)}
    assert probe.firehose_start(instance, "OnRemoteAudioReceived", "remote", frame,
                                interval_us=100) == 0
'''

WORKLOADS = {
    # Three clouds held by main, a daemon thread sending media.
    "room-media": """
    delegates = [Member() for _ in range(3)]
    clouds = [join(name, d) for name, d in zip(("alice", "bob", "carol"), delegates)]
    flood(probe.last_instance())
    threading.Thread(target=send_forever, args=(clouds,), daemon=True).start()
    """,
    # The delegates own their clouds (reference cycles nothing collects).
    "room-cycles": """
    delegates = [Member() for _ in range(3)]
    for name, d in zip(("alice", "bob", "carol"), delegates):
        join(name, d, own=True)
    flood(probe.last_instance())
    threading.Thread(target=send_forever, args=([d.cloud for d in delegates],),
                     daemon=True).start()
    del d
    """,
}

# (code run once callbacks flow, expected exit status, signal sent by the test)
ENDINGS = {
    "return-from-main": ("pass", 0, None),
    "sys.exit": ("sys.exit(4)", 4, None),
    "uncaught-exception": ("raise LookupError('main failed')", 1, None),
    "SystemExit-in-callbacks": (
        "Member.failure = SystemExit(9); time.sleep(0.3)", 0, None),
    "KeyboardInterrupt-in-callbacks": (
        "Member.failure = KeyboardInterrupt(); time.sleep(0.3)", 0, None),
    "SIGINT": ("print('WAITING', flush=True)\nwhile True: time.sleep(0.05)",
               -signal.SIGINT, signal.SIGINT),
    "SIGINT-handled": (
        "try:\n    print('WAITING', flush=True)\n    while True: time.sleep(0.05)\n"
        "except KeyboardInterrupt:\n    pass",
        0, signal.SIGINT),
    # The default action of SIGTERM ends the process at once, without exit
    # handlers: it must simply be killed by the signal, promptly.
    "SIGTERM": ("print('WAITING', flush=True)\nwhile True: time.sleep(0.05)",
                -signal.SIGTERM, signal.SIGTERM),
    "SIGTERM-raising-SystemExit": (
        "def _term(signum, frame): sys.exit(15)\n"
        "signal.signal(signal.SIGTERM, _term)\n"
        "print('WAITING', flush=True)\nwhile True: time.sleep(0.05)",
        15, signal.SIGTERM),
}

FATAL = ("Fatal Python error", "terminate called", "Segmentation fault", "AddressSanitizer",
         "runtime error:", "Aborted", "double free", "corrupted")


def run(workload: str, ending: str, room: int) -> tuple[subprocess.CompletedProcess, int]:
    code, status, signum = ENDINGS[ending]
    source = (PRELUDE + textwrap.dedent(WORKLOADS[workload])
              + "assert flowing.wait(30), 'no callbacks arrived'\n" + code + "\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [MODULE_DIR, TESTS_DIR] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    child = subprocess.Popen([sys.executable, "-c", source, str(room)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env, cwd=TESTS_DIR)
    try:
        if signum is not None:
            line = child.stdout.readline()
            assert line == "WAITING\n", line + child.stderr.read()
            child.send_signal(signum)
        out, err = child.communicate(timeout=WATCHDOG)
    except subprocess.TimeoutExpired:
        child.send_signal(signal.SIGABRT)  # faulthandler prints every thread's stack
        out, err = child.communicate()
        pytest.fail(f"child still running after {WATCHDOG} s: hung\n{out}\n{err[-20000:]}")
    return subprocess.CompletedProcess(child.args, child.returncode, out, err), status


# Every ending with media flowing; the other workloads end one way in the
# default tier and every way in the slow one.
MATRIX = [pytest.param(workload, ending, id=f"{workload}-{ending}",
                       marks=() if workload == "room-media" or ending == "return-from-main"
                       else pytest.mark.slow)
          for workload in WORKLOADS for ending in ENDINGS]


@pytest.mark.parametrize("workload, ending", MATRIX)
def test_process_ends_cleanly_with_clouds_in_rooms_and_media_flowing(workload, ending, request):
    room = 60000 + abs(hash(request.node.name)) % 30000
    child, status = run(workload, ending, room)
    report = (f"exit status {child.returncode}\nstdout: {child.stdout}\n"
              f"stderr: {child.stderr[-20000:]}")
    assert child.returncode == status, report
    for fatal in FATAL:
        assert fatal not in child.stderr, report
    if ending != "SIGTERM":
        # Exit handlers ran, the module's first: nothing arrived afterwards.
        assert "ENDED late=0\n" in child.stdout, report
    if ending == "uncaught-exception":
        assert "LookupError: main failed" in child.stderr, report
