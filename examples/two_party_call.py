"""A two-party call on the loopback engine, in one process.

alice streams three seconds of speech-like audio with SendContinuousAudioFrame
(the engine paces it out one 20 ms frame at a time), sends video frames with
SEI captions and a few custom messages. bob records what he hears to a WAV
file, counts what arrives and answers each message. Then both leave and a
short report is printed:

    python examples/two_party_call.py [output.wav]

Exit status 0 when everything sent arrived.
"""

from __future__ import annotations

import array
import gc
import math
import os
import sys
import tempfile
import threading
import time
import wave

import corvel

ROOM, APP = 4242, 1400000001
SEND_RATE, RECV_RATE = 48000, 16000
SECONDS = 3.0
T0 = time.monotonic()


def now_ms() -> float:
    return (time.monotonic() - T0) * 1000.0


def speech_like(rate: int, seconds: float) -> array.array[int]:
    """A voice-like signal: a gliding 110-180 Hz pitch with harmonics, shaped
    into syllables (4 per second) with short pauses between words."""
    out = array.array("h")
    phase = 0.0
    for n in range(int(rate * seconds)):
        t = n / rate
        pitch = 140 + 40 * math.sin(2 * math.pi * 0.7 * t)
        phase += 2 * math.pi * pitch / rate
        voice = sum(math.sin(k * phase) / k for k in range(1, 6))
        syllable = max(0.0, math.sin(2 * math.pi * 4 * t)) ** 0.5
        word = 0.0 if (t % 1.0) > 0.8 else 1.0
        out.append(int(6000 * voice * syllable * word))
    return out


class Quiet(corvel.Delegate):
    """Notes entering and errors; corvel.Delegate ignores what is not defined."""

    def __init__(self, name: str) -> None:
        super().__init__()
        self.name = name
        self.entered = threading.Event()
        self.cloud: corvel.VORACloud | None = None  # set once the engine instance exists

    def OnError(self, error: corvel.Error) -> None:
        print(f"{self.name}: error {int(error)}")

    def OnEnterRoom(self) -> None:
        self.entered.set()


class Alice(Quiet):
    def __init__(self) -> None:
        super().__init__("alice")
        self.bob_here = threading.Event()
        self.bob_watching = threading.Event()
        self.answers: list[bytes] = []

    def OnRemoteUserEnterRoom(self, info: corvel.UserInfo) -> None:
        self.bob_here.set()

    def OnRequestKeyFrame(self, stream_type: corvel.StreamType) -> None:
        self.bob_watching.set()

    def OnReceiveCustomCmdMsg(self, user_id: str, cmd_id: int, seq: int,
                              message: bytes) -> None:
        self.answers.append(message)


class Bob(Quiet):
    def __init__(self, wav: wave.Wave_write) -> None:
        super().__init__("bob")
        self.wav = wav
        self.audio_frames = self.audio_bytes = 0
        self.latencies: list[float] = []
        self.video_frames = 0
        self.captions: list[str] = []
        self.messages: list[tuple[int, int, bytes]] = []
        self.done = threading.Condition()

    def OnRemoteAudioReceived(self, user_id: str, frame: corvel.AudioFrame) -> None:
        self.latencies.append(now_ms() - frame.pts)
        data = frame.data
        self.wav.writeframes(data)
        with self.done:
            self.audio_frames += 1
            self.audio_bytes += len(data)
            self.done.notify_all()

    def OnRemoteVideoAvailable(self, user_id: str, available: bool,
                               stream_type: corvel.StreamType) -> None:
        if available and self.cloud is not None:
            self.cloud.Subscribe(user_id, stream_type)

    def OnRemoteVideoFrameReceived(self, user_id: str, stream_type: corvel.StreamType,
                                   frame: corvel.VideoFrame) -> None:
        self.video_frames += 1

    def OnSeiMessageReceived(self, user_id: str, stream_type: corvel.StreamType,
                             message_type: int, message: bytes) -> None:
        self.captions.append(message.decode())

    def OnReceiveCustomCmdMsg(self, user_id: str, cmd_id: int, seq: int,
                              message: bytes) -> None:
        self.messages.append((cmd_id, seq, message))
        if self.cloud is not None:  # answering from a callback
            self.cloud.SendCustomCmdMsg(2, b"ack " + message, True, True)


def enter(cloud: corvel.VORACloud, user: str) -> None:
    p = corvel.EnterRoomParams()
    p.room.sdk_app_id, p.room.room_id = APP, ROOM
    p.room.user_id, p.room.user_sig = corvel.VoraString(user), corvel.VoraString("demo")
    a = p.audio_obtain_params
    a.audio_obtain_method = corvel.AUDIO_OBTAIN_METHOD_CALLBACK
    a.output_sample_rate, a.output_channels, a.output_frame_length_ms = RECV_RATE, 1, 20
    assert cloud.EnterRoom(p) == corvel.ERR_OK


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q / 100 * len(ordered)))]


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(),
                                                              "corvel_two_party_call.wav")
    wav = wave.open(path, "wb")
    wav.setnchannels(1)
    wav.setsampwidth(2)
    wav.setframerate(RECV_RATE)

    alice, bob = Alice(), Bob(wav)
    alice.cloud, bob.cloud = corvel.VORACloud(alice), corvel.VORACloud(bob)
    enter(bob.cloud, "bob")
    enter(alice.cloud, "alice")
    assert alice.entered.wait(5) and alice.bob_here.wait(5)

    audio = corvel.AudioEncodeParams()
    audio.sample_rate, audio.channels, audio.frame_length_ms = SEND_RATE, 1, 20
    assert alice.cloud.CreateLocalAudioChannel(audio) == corvel.ERR_OK
    assert alice.cloud.CreateLocalVideoChannel(corvel.STREAM_TYPE_VIDEO_HIGH) == corvel.ERR_OK
    assert alice.bob_watching.wait(5)  # bob subscribed: he asks for a key frame

    # The whole clip in one call; pts is the time its first sample goes out.
    clip = corvel.AudioFrame()
    clip.sample_rate, clip.channels = SEND_RATE, 1
    clip.SetData(speech_like(SEND_RATE, SECONDS).tobytes())
    clip.pts = int(now_ms())
    assert alice.cloud.SendContinuousAudioFrame(clip, False) == corvel.ERR_OK

    # Video at 10 fps for the length of the clip, a key frame with a caption each second.
    messages = 0
    for n in range(int(SECONDS * 10)):
        if n % 10 == 0:
            alice.cloud.SendSeiMessage(5, f"caption {n // 10}".encode())
            messages += alice.cloud.SendCustomCmdMsg(1, f"second {n // 10}".encode(), True, True)
        frame = corvel.VideoFrame()
        frame.pts, frame.is_key_frame = int(now_ms()), n % 10 == 0
        frame.SetData(b"\x00\x00\x00\x01" + bytes([n % 256]) * 1200)
        assert alice.cloud.SendVideoFrame(corvel.STREAM_TYPE_VIDEO_HIGH, frame) == corvel.ERR_OK
        time.sleep(0.1)  # the camera's frame interval

    expected_frames = int(SECONDS * 1000 / 20) - 1  # the resampler holds back a few ms
    with bob.done:
        bob.done.wait_for(lambda: bob.audio_frames >= expected_frames, timeout=10)
    deadline = time.monotonic() + 5
    while len(alice.answers) < messages and time.monotonic() < deadline:
        time.sleep(0.01)

    alice.cloud.ExitRoom()
    bob.cloud.ExitRoom()
    alice.cloud = bob.cloud = None  # destroys both engine instances
    gc.collect()
    wav.close()

    ok = (bob.audio_frames >= expected_frames and bob.video_frames == int(SECONDS * 10)
          and len(bob.captions) == int(SECONDS) and len(alice.answers) == messages)
    print("two-party call on the loopback engine")
    print(f"  audio   {bob.audio_frames} frames, {bob.audio_bytes} bytes -> {path}")
    print(f"  latency p50 {percentile(bob.latencies, 50):.1f} ms, "
          f"p90 {percentile(bob.latencies, 90):.1f} ms, p99 {percentile(bob.latencies, 99):.1f} ms"
          " (send to callback)")
    print(f"  video   {bob.video_frames} frames, SEI {bob.captions}")
    print(f"  messages {len(bob.messages)} received, {len(alice.answers)} answered")
    print("  result  " + ("ok" if ok else "INCOMPLETE"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
