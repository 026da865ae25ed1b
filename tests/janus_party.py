"""One party of a call on a Janus server, in a process of its own.

    python janus_party.py ENVIRONMENT USER ROOM [--rate HZ] [--mix] [--opus]

ENVIRONMENT is the engine's (``janus+http://HOST:PORT/PATH``); ROOM a number,
or ``s:TEXT`` for a text room id. The media sockets' address comes from
CORVEL_JANUS_BIND_IP, as for any engine. --opus asks for remote audio as
Opus frames (kept as they are, not analysed). The party enters at once and
reports each callback as a JSON line on stdout (``{"ev": NAME, ...}``; audio
frames are not reported one by one). Commands come as JSON lines on stdin:

    {"do": "audio", "rate": 48000, "channels": 1}   open the audio channel
    {"do": "tone", "freq": 440, "amp": 8000, "ms": 2000, "rate": 48000, "channels": 1}
        real-time 20 ms frames of a tone (SendAudioFrame)
    {"do": "pips", "count": 50, "every_ms": 200, "rate": 48000}
        silence with one 20 ms tone frame every every_ms; each pip's send
        time is reported ({"ev": "pip", "t": MONOTONIC})
    {"do": "messages", "cmd": 1, "count": 20}       custom messages b"m0", b"m1", ...
    {"do": "relay", "user": "alice"}   sends the Opus frames received from the
                         user so far as they are, in real time ({"sent": N})
    {"do": "video"} / {"do": "video_off"}   opens / closes the HIGH video channel
    {"do": "subscribe", "user": "alice"}   Subscribe(user, HIGH)
    {"do": "frames", "count": 20, "sei_every": 5}
        H.264-shaped access units every 40 ms (a key frame first, then one
        every 10; 1 to 6 KiB each), an SEI message before every sei_every-th;
        each is reported ({"ev": "sent_frame", "pts", "key", "crc"}; video
        frames received likewise as OnRemoteVideoFrameReceived)
    {"do": "reset"}      forgets the audio received so far (reports start afresh)
    {"do": "report"}     {"ev": "report", ...}: per user the audio received
                         (frames, rate, channels, peak frequency, RMS), the
                         onset times of pips heard, the process' CPU seconds
    {"do": "exit"}       ExitRoom; {"do": "quit"} leaves the process

With CORVEL_PARTY_VIDEO_DUMP=PATH the video frames received are also
appended to PATH as they came (an H.264 Annex B stream, for a decoder).

Times are time.monotonic(), which is system-wide: comparable across parties.
"""

from __future__ import annotations

import json
import os
import sys
import threading
import time
import zlib
from typing import Any

import numpy as np

import _corvel

PIP_THRESHOLD = 1000.0  # RMS above which a frame counts as a pip's onset
PCM, OPUS = int(_corvel.AUDIO_CODEC_TYPE_PCM), int(_corvel.AUDIO_CODEC_TYPE_OPUS)

_out_lock = threading.Lock()


def emit(**event: Any) -> None:
    with _out_lock:
        sys.stdout.write(json.dumps(event) + "\n")
        sys.stdout.flush()


class Party(_corvel.VORACloudDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.audio: dict[str, list[bytes]] = {}
        self.formats: dict[str, tuple[int, int, int]] = {}
        self.loud: dict[str, bool] = {}
        self.onsets: dict[str, list[float]] = {}
        dump = os.environ.get("CORVEL_PARTY_VIDEO_DUMP")
        self.video_dump = open(dump, "ab") if dump else None  # noqa: SIM115 (the process' life)

    def OnError(self, error: Any) -> None:
        emit(ev="OnError", code=int(error))

    def OnConnectionStateChanged(self, old: Any, new: Any) -> None:
        emit(ev="OnConnectionStateChanged", old=int(old), new=int(new))

    def OnEnterRoom(self) -> None:
        emit(ev="OnEnterRoom")

    def OnExitRoom(self) -> None:
        emit(ev="OnExitRoom")

    def OnLocalAudioChannelCreated(self) -> None:
        emit(ev="OnLocalAudioChannelCreated")

    def OnLocalVideoChannelCreated(self, stream_type: Any) -> None:
        emit(ev="OnLocalVideoChannelCreated", type=int(stream_type))

    def OnLocalVideoChannelDestroyed(self, stream_type: Any) -> None:
        emit(ev="OnLocalVideoChannelDestroyed", type=int(stream_type))

    def OnRemoteUserEnterRoom(self, info: Any) -> None:
        emit(ev="OnRemoteUserEnterRoom", user=info.user_id.GetValue())

    def OnRemoteUserExitRoom(self, info: Any, reason: int) -> None:
        emit(ev="OnRemoteUserExitRoom", user=info.user_id.GetValue(), reason=reason)

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        emit(ev="OnRemoteAudioAvailable", user=user_id, available=available)

    def OnRemoteVideoAvailable(self, user_id: str, available: bool, stream_type: Any) -> None:
        emit(ev="OnRemoteVideoAvailable", user=user_id, available=available,
             type=int(stream_type))

    def OnRemoteVideoFrameReceived(self, user_id: str, stream_type: Any, frame: Any) -> None:
        if self.video_dump:
            self.video_dump.write(frame.data)
            self.video_dump.flush()
        emit(ev="OnRemoteVideoFrameReceived", user=user_id, type=int(stream_type),
             pts=frame.pts, key=frame.is_key_frame, crc=zlib.crc32(frame.data))

    def OnSeiMessageReceived(self, user_id: str, stream_type: Any, message_type: int,
                             message: bytes) -> None:
        emit(ev="OnSeiMessageReceived", user=user_id, type=int(stream_type),
             message_type=message_type, message=bytes(message).decode())

    def OnRequestKeyFrame(self, stream_type: Any) -> None:
        emit(ev="OnRequestKeyFrame", type=int(stream_type))

    def _audio(self, user: str, frame: Any) -> None:
        now = time.monotonic()
        data = frame.data
        codec = int(frame.codec)
        x = np.frombuffer(data, dtype=np.int16).astype(np.float64) if codec == PCM else []
        loud = float(np.sqrt(np.mean(x * x))) > PIP_THRESHOLD if len(x) else False
        with self.lock:
            self.audio.setdefault(user, []).append(data)
            self.formats[user] = (frame.sample_rate, frame.channels, codec)
            if loud and not self.loud.get(user, False):
                self.onsets.setdefault(user, []).append(now)
            self.loud[user] = loud

    def OnRemoteAudioReceived(self, user_id: str, frame: Any) -> None:
        self._audio(user_id, frame)

    def OnRemoteMixedAudioReceived(self, frame: Any) -> None:
        self._audio("", frame)

    def OnReceiveCustomCmdMsg(self, user_id: str, cmd_id: int, seq: int, message: bytes) -> None:
        emit(ev="OnReceiveCustomCmdMsg", user=user_id, cmd=cmd_id, seq=seq,
             message=bytes(message).decode())

    def OnMissCustomCmdMsg(self, user_id: str, cmd_id: int, error_code: int, missed: int) -> None:
        emit(ev="OnMissCustomCmdMsg", user=user_id, cmd=cmd_id, missed=missed)

    def OnNetworkQuality(self, local: Any, remotes: Any) -> None:
        emit(ev="OnNetworkQuality", local=[local.user_id.GetValue(), int(local.quality)],
             remotes=sorted([r.user_id.GetValue(), int(r.quality)] for r in remotes))

    def report(self) -> dict[str, Any]:
        users = {}
        with self.lock:
            for user, chunks in self.audio.items():
                rate, channels, codec = self.formats[user]
                if codec != PCM:
                    users[user] = {"frames": len(chunks), "rate": rate, "channels": channels,
                                   "codec": codec, "max_bytes": max(map(len, chunks))}
                    continue
                x = np.frombuffer(b"".join(chunks), dtype=np.int16).astype(np.float64)
                mono = x.reshape(-1, channels)[:, 0] if channels > 1 else x
                loud = mono[np.abs(mono) > 0]
                peak = 0.0
                if len(mono) >= rate // 2:
                    window = np.hanning(len(mono))
                    mags = np.abs(np.fft.rfft(mono * window))
                    peak = (int(np.argmax(mags[1:])) + 1) * rate / len(mono)
                rms = float(np.sqrt(np.mean(loud * loud))) if len(loud) else 0.0
                users[user] = {"frames": len(chunks), "rate": rate, "channels": channels,
                               "codec": codec, "peak_hz": peak, "rms": rms,
                               "onsets": list(self.onsets.get(user, []))}
        t = os.times()
        return {"users": users, "cpu_s": t.user + t.system}


def frame_of(samples: np.ndarray, rate: int, channels: int, pts: int) -> Any:
    f = _corvel.AudioFrame()
    f.sample_rate, f.channels, f.pts = rate, channels, pts
    f.SetData(samples.astype(np.int16).tobytes())
    return f


def paced(cloud: Any, frames: list[np.ndarray], rate: int, channels: int,
          on_send: Any = None) -> None:
    send_paced(cloud, [frame_of(samples, rate, channels, k * 20)
                       for k, samples in enumerate(frames)], on_send)


def send_paced(cloud: Any, frames: list[Any], on_send: Any = None) -> None:
    """One frame every 20 ms."""
    start = time.monotonic()
    for k, frame in enumerate(frames):
        due = start + k * 0.020
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if on_send:
            on_send(k)
        cloud.SendAudioFrame(frame)


def access_unit(k: int) -> tuple[bytes, bool]:
    """The k-th H.264-shaped access unit (NAL headers right, bodies filler):
    SPS, PPS and an IDR slice every 10th, else one non-IDR slice."""
    key = k % 10 == 0
    start = b"\x00\x00\x00\x01"
    body = bytes((k * 7 + i) % 251 + 1 for i in range(1024 + (k * 997) % 5120))
    if key:
        nals = [b"\x67\x42\xc0\x1f" + body[:8], b"\x68\xce\x3c\x80", b"\x65" + body]
    else:
        nals = [b"\x41" + body]
    return b"".join(start + n for n in nals), key


def tone_frames(freq: float, amp: float, ms: int, rate: int, channels: int) -> list[np.ndarray]:
    per = rate // 50
    n = np.arange(per * (ms // 20))
    mono = np.round(amp * np.sin(2 * np.pi * freq * n / rate))
    pcm = np.repeat(mono, channels) if channels > 1 else mono
    return list(pcm.reshape(-1, per * channels))


def main() -> int:
    env, user, room = sys.argv[1], sys.argv[2], sys.argv[3]
    rate = int(sys.argv[sys.argv.index("--rate") + 1]) if "--rate" in sys.argv else 16000
    mix = "--mix" in sys.argv
    opus = "--opus" in sys.argv
    assert _corvel.SetEnvironment(env)
    party = Party()
    cloud = _corvel.VORACloud(party)
    p = _corvel.EnterRoomParams()
    p.room.sdk_app_id = 1400000001
    if room.startswith("s:"):
        p.room.str_room_id = _corvel.VoraString(room[2:])
    else:
        p.room.room_id = int(room)
    p.room.user_id = _corvel.VoraString(user)
    p.room.user_sig = _corvel.VoraString("sig")
    p.role = _corvel.VORA_ROLE_ANCHOR
    a = p.audio_obtain_params
    a.audio_obtain_method = _corvel.AUDIO_OBTAIN_METHOD_CALLBACK
    a.enable_remote_audio_mix = mix
    a.output_sample_rate, a.output_channels, a.output_frame_length_ms = rate, 1, 20
    if opus:
        a.output_audio_codec_type = _corvel.AUDIO_CODEC_TYPE_OPUS
    emit(ev="started", enter=cloud.EnterRoom(p))
    seqs: dict[int, int] = {}
    for line in sys.stdin:
        cmd = json.loads(line)
        what = cmd["do"]
        if what == "audio":
            ap = _corvel.AudioEncodeParams()
            ap.sample_rate, ap.channels = cmd.get("rate", 48000), cmd.get("channels", 1)
            ap.frame_length_ms, ap.bitrate_bps = 20, 32000
            emit(ev="done", do=what, result=cloud.CreateLocalAudioChannel(ap))
        elif what == "tone":
            r, ch = cmd.get("rate", 48000), cmd.get("channels", 1)
            paced(cloud, tone_frames(cmd["freq"], cmd["amp"], cmd["ms"], r, ch), r, ch)
            emit(ev="done", do=what)
        elif what == "pips":
            r, every = cmd.get("rate", 48000), cmd.get("every_ms", 200) // 20
            pip = tone_frames(1000, 10000, 20, r, 1)[0]
            silence = np.zeros_like(pip)
            frames = [pip if k % every == every - 1 else silence
                      for k in range(cmd["count"] * every)]
            paced(cloud, frames, r, 1,
                  lambda k, every=every: emit(ev="pip", t=time.monotonic())
                  if k % every == every - 1 else None)
            emit(ev="done", do=what)
        elif what == "messages":
            c = cmd.get("cmd", 1)
            for _ in range(cmd["count"]):
                k = seqs.get(c, 0)
                seqs[c] = k + 1
                cloud.SendCustomCmdMsg(c, f"m{k}".encode(), True, True)
                time.sleep(0.04)  # under the engine's 30 per second
            emit(ev="done", do=what)
        elif what == "relay":
            with party.lock:
                packets = list(party.audio.get(cmd["user"], []))
            frames = []
            for k, packet in enumerate(packets):
                f = _corvel.AudioFrame()
                f.sample_rate, f.channels, f.pts = rate, 1, k * 20
                f.codec = _corvel.AUDIO_CODEC_TYPE_OPUS
                f.SetData(packet)
                frames.append(f)
            send_paced(cloud, frames)
            emit(ev="done", do=what, sent=len(frames))
        elif what in ("video", "video_off"):
            high = _corvel.STREAM_TYPE_VIDEO_HIGH
            result = (cloud.CreateLocalVideoChannel(high) if what == "video"
                      else cloud.DestroyLocalVideoChannel(high))
            emit(ev="done", do=what, result=result)
        elif what == "subscribe":
            emit(ev="done", do=what,
                 result=cloud.Subscribe(cmd["user"], _corvel.STREAM_TYPE_VIDEO_HIGH))
        elif what == "frames":
            start = time.monotonic()
            for k in range(cmd["count"]):
                delay = start + k * 0.040 - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                if cmd.get("sei_every") and k % cmd["sei_every"] == 0:
                    cloud.SendSeiMessage(k, f"sei{k}".encode())
                data, key = access_unit(k)
                f = _corvel.VideoFrame()
                f.pts, f.dts, f.is_key_frame = k * 40, k * 40, key
                f.codec = _corvel.VIDEO_CODEC_TYPE_H264
                f.SetData(data)
                result = cloud.SendVideoFrame(_corvel.STREAM_TYPE_VIDEO_HIGH, f)
                emit(ev="sent_frame", pts=k * 40, key=key, crc=zlib.crc32(data), result=result)
            emit(ev="done", do=what)
        elif what == "reset":
            with party.lock:
                party.audio.clear()
                party.onsets.clear()
                party.loud.clear()
            emit(ev="done", do=what)
        elif what == "report":
            emit(ev="report", **party.report())
        elif what == "exit":
            emit(ev="done", do=what, result=cloud.ExitRoom())
        elif what == "quit":
            break
    started = time.monotonic()
    del cloud
    emit(ev="destroyed", seconds=time.monotonic() - started)
    return 0


if __name__ == "__main__":
    sys.exit(main())
