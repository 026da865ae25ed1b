"""Pulling mixed audio with GetAudioFrame.

Two speakers send a tone each (440 Hz and 660 Hz) in real time; a listener
that entered with AUDIO_OBTAIN_METHOD_GET pulls one 20 ms frame of the mix
every 20 ms, as a playout thread would, and prints the level of each second:

    python examples/pull_mixed_audio.py
"""

from __future__ import annotations

import array
import gc
import math
import sys
import threading
import time

import corvel

ROOM, APP, RATE = 4343, 1400000001, 16000


def join(user: str, get: bool = False) -> corvel.VORACloud:
    cloud = corvel.VORACloud(corvel.Delegate())  # ignores every callback
    p = corvel.EnterRoomParams()
    p.room.sdk_app_id, p.room.room_id = APP, ROOM
    p.room.user_id, p.room.user_sig = corvel.VoraString(user), corvel.VoraString("demo")
    if get:
        a = p.audio_obtain_params
        a.audio_obtain_method = corvel.AUDIO_OBTAIN_METHOD_GET
        a.enable_remote_audio_mix = True
        a.output_sample_rate, a.output_channels, a.output_frame_length_ms = RATE, 1, 20
    assert cloud.EnterRoom(p) == corvel.ERR_OK
    return cloud


def speak(cloud: corvel.VORACloud, freq: float, seconds: float,
          stop: threading.Event) -> None:
    params = corvel.AudioEncodeParams()
    params.sample_rate, params.channels = 48000, 1
    assert cloud.CreateLocalAudioChannel(params) == corvel.ERR_OK
    start = time.monotonic()
    for k in range(int(seconds * 50)):
        if stop.is_set():
            break
        pcm = array.array("h", (int(8000 * math.sin(2 * math.pi * freq * (k * 960 + n) / 48000))
                                for n in range(960)))
        frame = corvel.AudioFrame()
        frame.sample_rate, frame.channels, frame.pts = 48000, 1, k * 20
        frame.SetData(pcm.tobytes())
        cloud.SendAudioFrame(frame)
        time.sleep(max(0.0, start + (k + 1) * 0.02 - time.monotonic()))


def main() -> int:
    listener = join("listener", get=True)
    speakers = [join("low"), join("high")]
    stop = threading.Event()
    threads = [threading.Thread(target=speak, args=(c, f, 2.0, stop))
               for c, f in zip(speakers, (440, 660), strict=True)]
    for t in threads:
        t.start()

    pulled, empty, levels = 0, 0, []
    frame = corvel.AudioFrame()
    start = time.monotonic()
    for k in range(125):  # 2.5 s of playout
        if listener.GetAudioFrame(frame) == corvel.ERR_OK:
            pulled += 1
            samples = array.array("h", frame.data)
            levels.append(math.sqrt(sum(s * s for s in samples) / len(samples)))
        else:  # ERR_READ_TRY_AGAIN: nothing buffered yet
            empty += 1
        time.sleep(max(0.0, start + (k + 1) * 0.02 - time.monotonic()))

    stop.set()
    for t in threads:
        t.join()
    del listener, speakers
    gc.collect()

    loud = [lvl for lvl in levels if lvl > 0]
    print(f"pulled {pulled} mixed frames of 20 ms at {RATE} Hz, {empty} pulls found nothing")
    if loud:
        # Two uncorrelated tones of amplitude 8000: the mix's RMS is 8000.
        print(f"mix level: median RMS {sorted(loud)[len(loud) // 2]:.0f} (two tones of RMS 5657)")
    return 0 if pulled >= 80 else 1


if __name__ == "__main__":
    sys.exit(main())
