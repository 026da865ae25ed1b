"""The module without asyncio: a delegate that hands events to the main thread.

Callbacks run on engine threads while holding the interpreter lock, so each
one here only puts a small tuple on a queue.Queue; the main thread does the
work. The program ends the engine instance deterministically with `del`.

    python examples/threaded_delegate.py
"""

from __future__ import annotations

import queue

import _corvel
import corvel

Event = tuple[str, object]


class Delegate(corvel.Delegate):
    """The callbacks a call goes through, each one a single put(); the base class
    ignores the rest (SEI, custom messages, network quality)."""

    def __init__(self, events: queue.Queue[Event]) -> None:
        super().__init__()  # required when overriding __init__
        self.events = events  # the queue, never the cloud: no reference cycle

    def OnError(self, error: _corvel.Error) -> None:
        self.events.put(("error", error))

    def OnConnectionStateChanged(self, old: _corvel.ConnectionState,
                                 new: _corvel.ConnectionState) -> None:
        self.events.put(("connection", new))

    def OnEnterRoom(self) -> None:
        self.events.put(("entered", None))

    def OnExitRoom(self) -> None:
        self.events.put(("exited", None))

    def OnLocalAudioChannelCreated(self) -> None:
        self.events.put(("audio channel", True))

    def OnLocalAudioChannelDestroyed(self) -> None:
        self.events.put(("audio channel", False))

    def OnLocalVideoChannelCreated(self, stream_type: _corvel.StreamType) -> None:
        self.events.put(("video channel", stream_type))

    def OnLocalVideoChannelDestroyed(self, stream_type: _corvel.StreamType) -> None:
        self.events.put(("video channel gone", stream_type))

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: _corvel.StreamType,
                                          bitrate_bps: int) -> None:
        self.events.put(("bitrate", bitrate_bps))

    def OnRequestKeyFrame(self, stream_type: _corvel.StreamType) -> None:
        self.events.put(("key frame", stream_type))

    def OnRemoteUserEnterRoom(self, info: _corvel.UserInfo) -> None:
        self.events.put(("user entered", info.user_id.GetValue()))

    def OnRemoteUserExitRoom(self, info: _corvel.UserInfo, reason: int) -> None:
        self.events.put(("user left", info.user_id.GetValue()))

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        self.events.put(("audio available", (user_id, available)))

    def OnRemoteVideoAvailable(self, user_id: str, available: bool,
                               stream_type: _corvel.StreamType) -> None:
        self.events.put(("video available", (user_id, available)))

    def OnRemoteVideoFrameReceived(self, user_id: str, stream_type: _corvel.StreamType,
                                   frame: _corvel.VideoFrame) -> None:
        self.events.put(("video", frame))  # the frame is already a copy: keep it

    def OnRemotePixelFrameReceived(self, user_id: str, stream_type: _corvel.StreamType,
                                   frame: _corvel.PixelFrame) -> None:
        self.events.put(("pixels", frame))

    def OnRemoteAudioReceived(self, user_id: str, frame: _corvel.AudioFrame) -> None:
        self.events.put(("audio", frame))

    def OnRemoteMixedAudioReceived(self, frame: _corvel.AudioFrame) -> None:
        self.events.put(("mixed audio", frame))


def wait_for(events: queue.Queue[Event], wanted: str) -> object:
    """Prints events until `wanted` arrives; gives up after 5 s without one."""
    while True:
        name, value = events.get(timeout=5)
        print(f"  {name}: {value}")
        if name == wanted:
            return value


def main() -> None:
    events: queue.Queue[Event] = queue.Queue()
    cloud = _corvel.VORACloud(Delegate(events))
    result = cloud.EnterRoom(corvel.room_params(77, "carol"))
    print("EnterRoom ->", corvel.error_name(result))
    wait_for(events, "entered")

    result = cloud.CreateLocalAudioChannel(_corvel.AudioEncodeParams())
    print("CreateLocalAudioChannel ->", corvel.error_name(result))
    wait_for(events, "audio channel")

    print("ExitRoom ->", corvel.error_name(cloud.ExitRoom()))
    wait_for(events, "exited")
    del cloud  # the last reference: the engine instance ends here, not at exit
    print("engine instance destroyed")


if __name__ == "__main__":
    main()
