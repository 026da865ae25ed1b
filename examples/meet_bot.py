"""A bot that people can meet from a browser, in a room on a Janus server.

The bot enters the room and is an echo: what it hears (everyone in the room,
mixed) it plays back one second later, so a person hears themselves. It
answers every message, watches everyone's camera and, every few seconds,
tells the room how loud it hears it and how many video frames it gets from
each person.

    python examples/meet_bot.py janus+http://127.0.0.1:8088/janus 1234 [--user bot]

`make meet` starts a private Janus, this bot and the page a person opens
(examples/browser), and prints the address to open.
"""

from __future__ import annotations

import argparse
import collections
import math
import signal
import threading
import time

import corvel
import corvel.audio

RATE, FRAME_MS = 48000, 20
ECHO_DELAY_FRAMES = 1000 // FRAME_MS  # one second
CHAT_CMD = 1
REPORT_EVERY_S = 5.0


class Bot(corvel.Delegate):
    def __init__(self) -> None:
        super().__init__()
        self.cloud: corvel.VORACloud | None = None  # set once the instance exists
        self.entered = threading.Event()
        self.gone = threading.Event()
        self.lock = threading.Lock()
        self.echo: collections.deque[bytes] = collections.deque()
        self.pts = 0
        self.peak = 0  # the loudest sample heard since the last report
        self.frames: dict[str, int] = {}  # user -> video frames since the last report

    def OnError(self, error: corvel.Error) -> None:
        print(f"bot: engine error {error!r}")

    def OnEnterRoom(self) -> None:
        print("bot: in the room")
        self.entered.set()

    def OnExitRoom(self) -> None:
        self.gone.set()

    def OnRemoteUserEnterRoom(self, info: corvel.UserInfo) -> None:
        print(f"bot: {info.user_id.GetValue()} came in")

    def OnRemoteUserExitRoom(self, info: corvel.UserInfo, reason: int) -> None:
        print(f"bot: {info.user_id.GetValue()} left")

    def OnRemoteVideoAvailable(self, user_id: str, available: bool,
                               stream_type: corvel.StreamType) -> None:
        if available and self.cloud is not None:
            self.cloud.Subscribe(user_id, stream_type)  # frames come as the sender encoded them

    def OnRemoteVideoFrameReceived(self, user_id: str, stream_type: corvel.StreamType,
                                   frame: corvel.VideoFrame) -> None:
        with self.lock:
            self.frames[user_id] = self.frames.get(user_id, 0) + 1

    def OnRemoteMixedAudioReceived(self, frame: corvel.AudioFrame) -> None:
        samples = corvel.audio.samples(frame)
        peak = max(max(samples), -min(samples)) if len(samples) else 0
        with self.lock:
            self.peak = max(self.peak, peak)
            self.echo.append(bytes(frame.data))
            if len(self.echo) <= ECHO_DELAY_FRAMES:
                return
            payload = self.echo.popleft()
            self.pts += FRAME_MS
            pts = self.pts
        if self.cloud is not None:  # any operation may be called from a callback
            out = corvel.audio.make_frame(memoryview(payload).cast("h"), sample_rate=RATE, pts=pts)
            self.cloud.SendAudioFrame(out)

    def OnReceiveCustomCmdMsg(self, user_id: str, cmd_id: int, seq: int, message: bytes) -> None:
        text = bytes(message).decode(errors="replace")
        print(f"bot: {user_id} says {text!r}")
        self.say(f"{user_id}, you said: {text}")

    def say(self, text: str) -> None:
        if self.cloud is not None:
            self.cloud.SendCustomCmdMsg(CHAT_CMD, text.encode(), True, True)

    def report(self) -> None:
        with self.lock:
            peak, self.peak = self.peak, 0
            frames, self.frames = self.frames, {}
        if not peak and not frames:
            return
        dbfs = 20 * math.log10(peak / 32768) if peak else -math.inf
        seen = ", ".join(f"{user} at {n / REPORT_EVERY_S:.0f} frames/s"
                         for user, n in sorted(frames.items()))
        self.say(f"I hear the room peak at {dbfs:.0f} dBFS; I see {seen or 'no one'}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("environment", help="janus+http://HOST:PORT/janus")
    parser.add_argument("room", type=int)
    parser.add_argument("--user", default="bot")
    parser.add_argument("--seconds", type=float, default=0, help="leave after this long")
    args = parser.parse_args()
    if not corvel.SetEnvironment(args.environment):
        print(f"bot: the engine refused the environment {args.environment!r}")
        return 1
    bot = Bot()
    cloud = corvel.VORACloud(bot)
    bot.cloud = cloud  # the bot keeps the cloud: cleared below, before `del cloud`
    params = corvel.room_params(args.room, args.user, mixed_audio=True, sample_rate=RATE,
                                frame_length_ms=FRAME_MS)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        cloud.EnterRoom(params)
        if not bot.entered.wait(15):
            print("bot: could not enter the room")
            return 1
        encode = corvel.AudioEncodeParams()
        encode.sample_rate, encode.channels, encode.frame_length_ms = RATE, 1, FRAME_MS
        cloud.CreateLocalAudioChannel(encode)
        deadline = time.monotonic() + args.seconds if args.seconds else math.inf
        while not stop.wait(min(REPORT_EVERY_S, max(0.0, deadline - time.monotonic()))):
            if time.monotonic() >= deadline:
                break
            bot.report()
    except KeyboardInterrupt:
        pass
    finally:
        cloud.ExitRoom()
        bot.gone.wait(5)
        bot.cloud = None
        del cloud
    print("bot: left")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
