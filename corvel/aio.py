"""asyncio over the engine: rooms, awaitable operations, async iteration.

::

    async with corvel.aio.Room() as room:
        await room.enter(corvel.room_params(42, "alice"))
        async for frame in room.audio("bob"):
            ...

How engine events reach the event loop
--------------------------------------
The engine calls its delegate on its own threads. The delegate a
:class:`Room` installs does the least it can there: it stores the object the
module already copied for it (a frame, a user id, a message) into the bounded
queue of every :class:`Stream` that asked for that kind of item, and, when
that stream's reader is waiting, wakes the reader with
``loop.call_soon_threadsafe``. Results of operations (``OnEnterRoom``,
``OnExitRoom``, ``OnError``, local channel events) resolve their futures
through ``loop.call_soon_threadsafe`` as well. No user code runs on an engine
thread unless it is passed as ``on_engine_thread``.

Overflow
--------
Each stream holds at most ``maxsize`` items. When an item arrives at a full
stream, the policy of the stream decides: ``"drop_oldest"`` (the default)
discards the oldest queued item to make room, ``"drop_newest"`` discards the
arriving item. Either way ``stream.dropped`` counts it, and
``room.dropped`` counts the drops of every stream of the room. The engine
thread never waits for the reader. Items of a kind nobody streams are not
kept at all (and are not counted as dropped): open a stream before the items
you want start to arrive.

Lifetime
--------
The room owns the ``VORACloud``; the cloud keeps the delegate alive; the
delegate refers only to the room's queues and futures, never to the cloud or
the room, so no reference cycle keeps an engine alive. :meth:`Room.close`
drops the cloud, which destroys the engine instance at once (the engine
waits for callbacks in flight). ``async with`` closes the room on the way
out, also when the block raises or its task is cancelled. A room dropped
without being closed is closed when it is collected, with a
``ResourceWarning`` like an unclosed file: its streams end then.
"""

from __future__ import annotations

import asyncio
import collections
import sys
import threading
import warnings
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Generic, Literal, TypeAlias, TypeVar, cast

import _corvel

from ._params import as_error, checked_text, error_name
from ._status import last_refusal

__all__ = [
    "AudioAvailable",
    "BitrateRequested",
    "ConnectionChanged",
    "CustomMessage",
    "EngineError",
    "Event",
    "KeyFrameRequested",
    "LocalAudioChannel",
    "LocalVideoChannel",
    "Message",
    "MissedMessages",
    "NetworkQualityReport",
    "Overflow",
    "RemoteAudio",
    "RemoteVideo",
    "Room",
    "RoomEntered",
    "RoomError",
    "RoomExited",
    "SeiMessage",
    "Stream",
    "UserEntered",
    "UserEvent",
    "UserLeft",
    "VideoAvailable",
]

T = TypeVar("T")
Overflow: TypeAlias = Literal["drop_oldest", "drop_newest"]
EngineThreadHook: TypeAlias = Callable[[str, tuple[Any, ...]], object]

DEFAULT_TIMEOUT = 10.0


class RoomError(Exception):
    """An engine failure: a non-zero result code or an ``OnError`` callback.

    ``error`` is the ``_corvel.Error`` member, ``code`` its integer value,
    ``operation`` what failed (``"EnterRoom"``, ``"OnError"``, ...) and
    ``reason`` the engine's explanation (``corvel.last_refusal()``, read right
    after the call), or None when it gives none.
    """

    def __init__(
        self, error: int | _corvel.Error, operation: str, reason: str | None = None
    ) -> None:
        self.error: _corvel.Error = as_error(error)
        self.code: int = int(error)
        self.operation = operation
        self.reason = reason or None
        text = f"{operation}: {error_name(self.code)} ({self.code})"
        super().__init__(f"{text}: {self.reason}" if self.reason else text)


# --- what the streams carry ------------------------------------------------


@dataclass(frozen=True, slots=True)
class RemoteAudio:
    """A frame of one remote user's audio."""

    user_id: str
    frame: _corvel.AudioFrame


@dataclass(frozen=True, slots=True)
class RemoteVideo:
    """A remote video frame: encoded (``VideoFrame``) or raw (``PixelFrame``)."""

    user_id: str
    stream_type: _corvel.StreamType
    frame: _corvel.VideoFrame | _corvel.PixelFrame


@dataclass(frozen=True, slots=True)
class CustomMessage:
    """A custom command message (``OnReceiveCustomCmdMsg``)."""

    user_id: str
    cmd_id: int
    seq: int
    data: bytes


@dataclass(frozen=True, slots=True)
class SeiMessage:
    """An SEI message carried in a video stream (``OnSeiMessageReceived``)."""

    user_id: str
    stream_type: _corvel.StreamType
    message_type: int
    data: bytes


Message: TypeAlias = CustomMessage | SeiMessage


@dataclass(frozen=True, slots=True)
class RoomEntered:
    """``OnEnterRoom``."""


@dataclass(frozen=True, slots=True)
class RoomExited:
    """``OnExitRoom``."""


@dataclass(frozen=True, slots=True)
class EngineError:
    """``OnError``."""

    error: _corvel.Error


@dataclass(frozen=True, slots=True)
class ConnectionChanged:
    """``OnConnectionStateChanged``."""

    old: _corvel.ConnectionState
    new: _corvel.ConnectionState


@dataclass(frozen=True, slots=True)
class UserEntered:
    """``OnRemoteUserEnterRoom``."""

    user_id: str


@dataclass(frozen=True, slots=True)
class UserLeft:
    """``OnRemoteUserExitRoom``."""

    user_id: str
    reason: int


@dataclass(frozen=True, slots=True)
class AudioAvailable:
    """``OnRemoteAudioAvailable``."""

    user_id: str
    available: bool


@dataclass(frozen=True, slots=True)
class VideoAvailable:
    """``OnRemoteVideoAvailable``."""

    user_id: str
    available: bool
    stream_type: _corvel.StreamType


@dataclass(frozen=True, slots=True)
class LocalAudioChannel:
    """``OnLocalAudioChannelCreated`` (created) or ``...Destroyed``."""

    created: bool


@dataclass(frozen=True, slots=True)
class LocalVideoChannel:
    """``OnLocalVideoChannelCreated`` (created) or ``...Destroyed``."""

    stream_type: _corvel.StreamType
    created: bool


@dataclass(frozen=True, slots=True)
class KeyFrameRequested:
    """``OnRequestKeyFrame``."""

    stream_type: _corvel.StreamType


@dataclass(frozen=True, slots=True)
class BitrateRequested:
    """``OnRequestChangeVideoEncodeBitrate``."""

    stream_type: _corvel.StreamType
    bitrate_bps: int


@dataclass(frozen=True, slots=True)
class NetworkQualityReport:
    """``OnNetworkQuality``: the local quality and one record per remote user."""

    local: _corvel.NetworkQualityInfo
    remotes: list[_corvel.NetworkQualityInfo]


@dataclass(frozen=True, slots=True)
class MissedMessages:
    """``OnMissCustomCmdMsg``."""

    user_id: str
    cmd_id: int
    error_code: int
    missed: int


UserEvent: TypeAlias = UserEntered | UserLeft | AudioAvailable | VideoAvailable

Event: TypeAlias = (
    RoomEntered
    | RoomExited
    | EngineError
    | ConnectionChanged
    | UserEntered
    | UserLeft
    | AudioAvailable
    | VideoAvailable
    | LocalAudioChannel
    | LocalVideoChannel
    | KeyFrameRequested
    | BitrateRequested
    | NetworkQualityReport
    | MissedMessages
)


# --- streams ----------------------------------------------------------------


def _wake(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


class Stream(Generic[T]):
    """A bounded queue filled from engine threads and read with ``async for``.

    Iteration ends (``StopAsyncIteration``) once the stream is closed and
    its queue is empty: when the room closes, when :meth:`close` is called,
    and, for the audio of one user, when that user leaves the room. Use it as
    a context manager (``with room.audio("bob") as frames:``) to close it at
    the end of a block. Only one task should read a stream at a time.
    """

    def __init__(
        self,
        hub: _Hub,
        kind: str,
        match: Callable[[T], bool] | None,
        maxsize: int,
        overflow: Overflow,
    ) -> None:
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        if overflow not in ("drop_oldest", "drop_newest"):
            raise ValueError(f"unknown overflow policy {overflow!r}")
        self._hub = hub
        self._loop = hub.loop
        self.kind = kind
        self._match = match
        self.maxsize = maxsize
        self.overflow: Overflow = overflow
        #: Items discarded because the stream was full.
        self.dropped = 0
        self._items: collections.deque[T] = collections.deque()
        self._lock = threading.Lock()
        self._closed = False
        self._waiter: asyncio.Future[None] | None = None

    # Engine thread side: never blocks, never raises.
    def _push(self, item: T) -> None:
        if self._match is not None and not self._match(item):
            return
        with self._lock:
            if self._closed:
                return
            if len(self._items) >= self.maxsize:
                self.dropped += 1
                self._hub.count_drop()
                if self.overflow == "drop_newest":
                    return
                self._items.popleft()
            self._items.append(item)
            waiter, self._waiter = self._waiter, None
        if waiter is not None:
            self._hub.call_soon(_wake, waiter)

    def _finish(self) -> None:
        with self._lock:
            self._closed = True
            waiter, self._waiter = self._waiter, None
        if waiter is not None:
            self._hub.call_soon(_wake, waiter)

    # Event loop side.
    def __aiter__(self) -> Stream[T]:
        return self

    async def __anext__(self) -> T:
        while True:
            with self._lock:
                if self._items:
                    return self._items.popleft()
                if self._closed:
                    raise StopAsyncIteration
                waiter: asyncio.Future[None] = self._loop.create_future()
                self._waiter = waiter
            try:
                await waiter
            finally:
                with self._lock:
                    if self._waiter is waiter:
                        self._waiter = None

    async def get(self, timeout: float | None = None) -> T:
        """The next item; TimeoutError after ``timeout`` seconds, EOFError at the end."""
        try:
            async with asyncio.timeout(timeout):
                return await self.__anext__()
        except StopAsyncIteration:
            raise EOFError(f"{self.kind} stream ended") from None

    def get_nowait(self) -> T | None:
        """The next queued item, or None when the queue is empty."""
        with self._lock:
            return self._items.popleft() if self._items else None

    def qsize(self) -> int:
        with self._lock:
            return len(self._items)

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stop receiving: queued items can still be read, then iteration ends."""
        self._hub.remove(self)
        self._finish()

    def __enter__(self) -> Stream[T]:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return (
            f"<Stream {self.kind} queued={self.qsize()} dropped={self.dropped}"
            f"{' closed' if self._closed else ''}>"
        )


# --- the state shared with the delegate -------------------------------------


# Open streams by kind (or by user id), in the order they were opened.
_Streams = dict[str, tuple[Stream[Any], ...]]


class _Hub:
    """Everything the delegate may touch: streams, futures, counters.

    Holds no reference to the cloud or to the room. Stream registries are
    tuples replaced as a whole on the loop thread, so engine threads read a
    consistent snapshot without a lock.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, hook: EngineThreadHook | None) -> None:
        self.loop = loop
        self.hook = hook
        self.streams: _Streams = {}
        self.user_audio: _Streams = {}
        self.users: frozenset[str] = frozenset()
        self.pending: dict[str, list[asyncio.Future[Any]]] = {}
        self.user_waiters: dict[str, list[asyncio.Future[None]]] = {}
        self.last_error: _corvel.Error | None = None
        self.in_room = False
        self.dropped = 0
        self.callback_errors = 0
        self._count_lock = threading.Lock()
        self.closed = False

    # Any thread.
    def call_soon(self, callback: Callable[..., None], *args: Any) -> None:
        try:
            self.loop.call_soon_threadsafe(callback, *args)
        except RuntimeError:  # the loop is closed: nobody is left to tell
            pass

    def count_drop(self) -> None:
        with self._count_lock:
            self.dropped += 1

    def report(self, callback: str, error: BaseException) -> None:
        with self._count_lock:
            self.callback_errors += 1
        self.call_soon(
            self.loop.call_exception_handler,
            {"message": f"corvel.aio: error in {callback} on an engine thread", "exception": error},
        )

    # Loop thread: registration.
    def add(self, stream: Stream[Any], user_id: str | None = None) -> None:
        if user_id is not None:
            kept = self.user_audio.get(user_id, ())
            self.user_audio = {**self.user_audio, user_id: kept + (stream,)}
        else:
            kept = self.streams.get(stream.kind, ())
            self.streams = {**self.streams, stream.kind: kept + (stream,)}

    def remove(self, stream: Stream[Any]) -> None:
        def without(streams: _Streams) -> _Streams:
            return {k: tuple(s for s in v if s is not stream) for k, v in streams.items()}

        self.streams = without(self.streams)
        self.user_audio = without(self.user_audio)

    def expect(self, name: str) -> asyncio.Future[Any]:
        future: asyncio.Future[Any] = self.loop.create_future()
        self.pending.setdefault(name, []).append(future)
        return future

    def forget(self, name: str, future: asyncio.Future[Any]) -> None:
        waiting = self.pending.get(name, [])
        if future in waiting:
            waiting.remove(future)

    def resolve(self, name: str, value: Any) -> None:
        for future in self.pending.pop(name, []):
            if not future.done():
                future.set_result(value)

    def fail(self, name: str, error: BaseException) -> None:
        for future in self.pending.pop(name, []):
            if not future.done():
                future.set_exception(error)

    def user_arrived(self, user_id: str) -> None:
        for future in self.user_waiters.pop(user_id, []):
            _wake(future)

    def shut(self) -> None:
        """The engine is gone: end every stream, cancel every future."""
        self.end_streams()
        self.cancel_waits()

    # Any thread.
    def end_streams(self) -> None:
        """Ends every stream: readers get what is queued, then the end."""
        self.closed = True
        groups = (*self.streams.values(), *self.user_audio.values())
        self.streams, self.user_audio = {}, {}
        for group in groups:
            for stream in group:
                stream._finish()

    # Loop thread.
    def cancel_waits(self) -> None:
        for futures in (*self.pending.values(), *self.user_waiters.values()):
            for future in futures:
                future.cancel()
        self.pending, self.user_waiters = {}, {}

    # Engine thread: delivery.
    def push(self, kind: str, item: Any) -> None:
        for stream in self.streams.get(kind, ()):
            stream._push(item)

    def push_user_audio(self, user_id: str, frame: _corvel.AudioFrame) -> None:
        for stream in self.user_audio.get(user_id, ()):
            stream._push(frame)

    def end_user_audio(self, user_id: str) -> None:
        streams = self.user_audio.get(user_id, ())
        for stream in streams:
            stream._finish()
        if streams:
            self.call_soon(self.forget_user_audio, user_id, streams)

    def forget_user_audio(self, user_id: str, ended: tuple[Stream[Any], ...]) -> None:
        left = tuple(s for s in self.user_audio.get(user_id, ()) if s not in ended)
        self.user_audio = {**self.user_audio, user_id: left}


F = TypeVar("F", bound=Callable[..., None])


def _delivers(name: str) -> Callable[[F], F]:
    """Wraps a delegate method: runs the user's hook, catches and reports errors."""

    def wrap(method: F) -> F:
        def callback(self: _Delegate, *args: Any) -> None:
            hub = self._hub
            try:
                if hub.hook is not None:
                    hub.hook(name, args)
                method(self, *args)
            except Exception as error:  # never let an error reach the engine
                hub.report(name, error)

        callback.__name__ = callback.__qualname__ = name
        return cast(F, callback)

    return wrap


class _Delegate(_corvel.VORACloudDelegate):
    """Forwards every callback to the hub. Runs on engine threads.

    It references the hub only: the cloud keeps this object alive, so a
    reference back to the cloud or the room would form a cycle.
    """

    def __init__(self, hub: _Hub) -> None:
        super().__init__()
        self._hub = hub

    @_delivers("OnError")
    def OnError(self, error: _corvel.Error) -> None:
        hub = self._hub
        hub.last_error = error
        hub.push("events", EngineError(error))
        hub.call_soon(hub.fail, "enter", RoomError(error, "OnError"))

    @_delivers("OnConnectionStateChanged")
    def OnConnectionStateChanged(
        self, old: _corvel.ConnectionState, new: _corvel.ConnectionState
    ) -> None:
        self._hub.push("events", ConnectionChanged(old, new))

    @_delivers("OnEnterRoom")
    def OnEnterRoom(self) -> None:
        hub = self._hub
        hub.in_room = True
        hub.push("events", RoomEntered())
        hub.call_soon(hub.resolve, "enter", None)

    @_delivers("OnExitRoom")
    def OnExitRoom(self) -> None:
        hub = self._hub
        hub.in_room = False
        hub.users = frozenset()
        hub.push("events", RoomExited())
        hub.call_soon(hub.resolve, "exit", None)

    @_delivers("OnLocalAudioChannelCreated")
    def OnLocalAudioChannelCreated(self) -> None:
        hub = self._hub
        hub.push("events", LocalAudioChannel(True))
        hub.call_soon(hub.resolve, "audio-channel", True)

    @_delivers("OnLocalAudioChannelDestroyed")
    def OnLocalAudioChannelDestroyed(self) -> None:
        hub = self._hub
        hub.push("events", LocalAudioChannel(False))
        hub.call_soon(hub.resolve, "audio-channel", False)

    @_delivers("OnLocalVideoChannelCreated")
    def OnLocalVideoChannelCreated(self, stream_type: _corvel.StreamType) -> None:
        hub = self._hub
        hub.push("events", LocalVideoChannel(stream_type, True))
        hub.call_soon(hub.resolve, f"video-channel-{int(stream_type)}", True)

    @_delivers("OnLocalVideoChannelDestroyed")
    def OnLocalVideoChannelDestroyed(self, stream_type: _corvel.StreamType) -> None:
        hub = self._hub
        hub.push("events", LocalVideoChannel(stream_type, False))
        hub.call_soon(hub.resolve, f"video-channel-{int(stream_type)}", False)

    @_delivers("OnRequestChangeVideoEncodeBitrate")
    def OnRequestChangeVideoEncodeBitrate(
        self, stream_type: _corvel.StreamType, bitrate_bps: int
    ) -> None:
        self._hub.push("events", BitrateRequested(stream_type, bitrate_bps))

    @_delivers("OnRequestKeyFrame")
    def OnRequestKeyFrame(self, stream_type: _corvel.StreamType) -> None:
        self._hub.push("events", KeyFrameRequested(stream_type))

    @_delivers("OnRemoteUserEnterRoom")
    def OnRemoteUserEnterRoom(self, info: _corvel.UserInfo) -> None:
        hub = self._hub
        user_id = info.user_id.GetValue() or ""
        hub.users = hub.users | {user_id}
        hub.push("events", UserEntered(user_id))
        if user_id in hub.user_waiters:
            hub.call_soon(hub.user_arrived, user_id)

    @_delivers("OnRemoteUserExitRoom")
    def OnRemoteUserExitRoom(self, info: _corvel.UserInfo, reason: int) -> None:
        hub = self._hub
        user_id = info.user_id.GetValue() or ""
        hub.users = hub.users - {user_id}
        hub.end_user_audio(user_id)
        hub.push("events", UserLeft(user_id, reason))

    @_delivers("OnRemoteAudioAvailable")
    def OnRemoteAudioAvailable(self, user_id: str | None, available: bool) -> None:
        self._hub.push("events", AudioAvailable(user_id or "", available))

    @_delivers("OnRemoteVideoAvailable")
    def OnRemoteVideoAvailable(
        self, user_id: str | None, available: bool, stream_type: _corvel.StreamType
    ) -> None:
        self._hub.push("events", VideoAvailable(user_id or "", available, stream_type))

    @_delivers("OnRemoteVideoFrameReceived")
    def OnRemoteVideoFrameReceived(
        self, user_id: str | None, stream_type: _corvel.StreamType, frame: _corvel.VideoFrame
    ) -> None:
        self._hub.push("video", RemoteVideo(user_id or "", stream_type, frame))

    @_delivers("OnRemotePixelFrameReceived")
    def OnRemotePixelFrameReceived(
        self, user_id: str | None, stream_type: _corvel.StreamType, frame: _corvel.PixelFrame
    ) -> None:
        self._hub.push("video", RemoteVideo(user_id or "", stream_type, frame))

    @_delivers("OnRemoteAudioReceived")
    def OnRemoteAudioReceived(self, user_id: str | None, frame: _corvel.AudioFrame) -> None:
        # The frame is already the module's own copy; the payload is not read here.
        hub = self._hub
        user = user_id or ""
        hub.push_user_audio(user, frame)
        if "audio" in hub.streams:
            hub.push("audio", RemoteAudio(user, frame))

    @_delivers("OnRemoteMixedAudioReceived")
    def OnRemoteMixedAudioReceived(self, frame: _corvel.AudioFrame) -> None:
        self._hub.push("mixed-audio", frame)

    @_delivers("OnSeiMessageReceived")
    def OnSeiMessageReceived(
        self,
        user_id: str | None,
        stream_type: _corvel.StreamType,
        message_type: int,
        message: bytes,
    ) -> None:
        self._hub.push("messages", SeiMessage(user_id or "", stream_type, message_type, message))

    @_delivers("OnReceiveCustomCmdMsg")
    def OnReceiveCustomCmdMsg(
        self, user_id: str | None, cmd_id: int, seq: int, message: bytes
    ) -> None:
        self._hub.push("messages", CustomMessage(user_id or "", cmd_id, seq, message))

    @_delivers("OnMissCustomCmdMsg")
    def OnMissCustomCmdMsg(
        self, user_id: str | None, cmd_id: int, error_code: int, missed: int
    ) -> None:
        self._hub.push("events", MissedMessages(user_id or "", cmd_id, error_code, missed))

    @_delivers("OnNetworkQuality")
    def OnNetworkQuality(
        self, local: _corvel.NetworkQualityInfo, remotes: list[_corvel.NetworkQualityInfo]
    ) -> None:
        self._hub.push("events", NetworkQualityReport(local, remotes))


# --- the room ---------------------------------------------------------------


def _check(result: int, operation: str) -> None:
    # Called right after the operation, on its thread: the reason is its own.
    if result != _corvel.ERR_OK:
        raise RoomError(result, operation, last_refusal())


class Room:
    """One engine instance and its delegate, driven from an asyncio event loop.

    Create it inside a running loop (or open it with ``async with``). The
    room is bound to that loop. ``on_engine_thread``, when given, is called
    as ``hook(callback_name, args)`` on the engine thread for every callback
    before the room handles it: the one way to run code there (keep it short;
    it holds the interpreter lock and delays every later callback).

    ``params`` given to the constructor are used by ``async with`` to enter
    the room on the way in.
    """

    def __init__(
        self,
        params: _corvel.EnterRoomParams | None = None,
        *,
        timeout: float | None = DEFAULT_TIMEOUT,
        on_engine_thread: EngineThreadHook | None = None,
    ) -> None:
        self._params = params
        self.timeout = timeout
        self._hook = on_engine_thread
        self._hub: _Hub | None = None
        self._cloud: _corvel.VORACloud | None = None
        self._closed = False
        self._needs_exit = False  # EnterRoom accepted and no ExitRoom since

    # -- opening and closing --

    def open(self) -> Room:
        """Creates the engine instance (done by ``async with`` and ``enter``)."""
        if self._closed:
            raise RuntimeError("the room is closed")
        if self._cloud is None:
            loop = asyncio.get_running_loop()
            self._hub = _Hub(loop, self._hook)
            self._cloud = _corvel.VORACloud(_Delegate(self._hub))
        return self

    @property
    def cloud(self) -> _corvel.VORACloud:
        """The ``VORACloud``, for operations the room does not wrap.

        Do not keep a reference to it past :meth:`close`: the engine instance
        ends only when the last reference to its cloud is dropped.
        """
        self.open()
        assert self._cloud is not None
        return self._cloud

    @property
    def _state(self) -> _Hub:
        self.open()
        assert self._hub is not None
        return self._hub

    def close(self) -> None:
        """Destroys the engine instance now and ends every stream.

        Synchronous and idempotent. The engine waits for callbacks in flight,
        then never calls the delegate again; items already queued stay
        readable.
        """
        if self._closed:
            return
        self._closed = True
        cloud, self._cloud = self._cloud, None
        if cloud is not None and self._needs_exit:
            cloud.ExitRoom()
        self._needs_exit = False
        del cloud  # the last reference: VORACloud::Destroy runs here
        if self._hub is not None:
            self._hub.shut()

    def __del__(self, _warn: Callable[..., None] = warnings.warn,
                _finalizing: Callable[[], bool] = sys.is_finalizing) -> None:
        # Dropped without close(). The collector may run this on any thread
        # (an engine thread among them) and during interpreter exit, when
        # module globals may be gone: only what was bound above is used.
        if getattr(self, "_closed", True) or getattr(self, "_cloud", None) is None:
            return
        try:
            if not _finalizing():
                _warn(f"unclosed {self!r}", ResourceWarning, source=self)
        finally:
            self._closed = True
            cloud, self._cloud = self._cloud, None
            if cloud is not None and self._needs_exit:
                cloud.ExitRoom()
            del cloud  # the engine instance ends here
            hub = self._hub
            if hub is not None:
                hub.end_streams()  # safe from any thread; wakes readers on their loop
                hub.call_soon(hub.cancel_waits)

    async def aclose(self, *, timeout: float | None = None) -> None:
        """Leaves the room (waiting up to ``timeout`` for OnExitRoom), then closes."""
        try:
            if self.in_room and not self._closed:
                try:
                    await self.exit(timeout=self.timeout if timeout is None else timeout)
                except (RoomError, TimeoutError):
                    pass
        finally:
            self.close()

    async def __aenter__(self) -> Room:
        self.open()
        if self._params is not None:
            try:
                await self.enter(self._params)
            except BaseException:
                self.close()
                raise
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if exc is None:
            await self.aclose()
        else:  # an error or a cancellation: no more awaiting, end it now
            self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def in_room(self) -> bool:
        """True from ``OnEnterRoom`` until ``OnExitRoom`` (also one the engine
        makes on its own, when another instance enters as the same user or
        the service removes this one) or :meth:`close`."""
        return self._hub is not None and self._hub.in_room and not self._closed

    # -- room operations --

    async def enter(
        self, params: _corvel.EnterRoomParams | None = None, *, timeout: float | None = None
    ) -> None:
        """Enters the room: resolves on ``OnEnterRoom``.

        Raises :class:`RoomError` when ``EnterRoom`` answers a non-zero code
        or when ``OnError`` arrives first (``error`` is the ``Error`` member),
        TimeoutError when neither arrives within ``timeout`` seconds.
        """
        params = params if params is not None else self._params
        if params is None:
            raise ValueError("enter() needs EnterRoomParams")
        hub = self._state
        future = hub.expect("enter")
        try:
            _check(self.cloud.EnterRoom(params), "EnterRoom")
            self._needs_exit = True
            async with asyncio.timeout(self.timeout if timeout is None else timeout):
                await future
        finally:
            hub.forget("enter", future)

    async def exit(self, *, timeout: float | None = None) -> None:
        """Leaves the room: resolves on ``OnExitRoom``."""
        hub = self._state
        future = hub.expect("exit")
        try:
            _check(self.cloud.ExitRoom(), "ExitRoom")
            self._needs_exit = False
            async with asyncio.timeout(self.timeout if timeout is None else timeout):
                await future
        finally:
            hub.forget("exit", future)

    async def wait_for_user(self, user_id: str, *, timeout: float | None = None) -> None:
        """Returns once ``user_id`` is in the room (at once if already there)."""
        hub = self._state
        if user_id in hub.users:
            return
        future: asyncio.Future[None] = hub.loop.create_future()
        hub.user_waiters.setdefault(user_id, []).append(future)
        if user_id in hub.users:  # arrived between the check and the registration
            hub.user_arrived(user_id)
        try:
            async with asyncio.timeout(self.timeout if timeout is None else timeout):
                await future
        finally:
            waiting = hub.user_waiters.get(user_id, [])
            if future in waiting:
                waiting.remove(future)

    @property
    def users(self) -> frozenset[str]:
        """The remote users in the room, as the engine reported them."""
        return self._hub.users if self._hub is not None else frozenset()

    def subscribe(self, user_id: str, stream_type: _corvel.StreamType) -> None:
        """``Subscribe``; ValueError for a user id with a NUL character."""
        _check(self.cloud.Subscribe(checked_text("user id", user_id), stream_type), "Subscribe")

    def unsubscribe(self, user_id: str, stream_type: _corvel.StreamType) -> None:
        """``Unsubscribe``; ValueError for a user id with a NUL character."""
        _check(self.cloud.Unsubscribe(checked_text("user id", user_id), stream_type),
               "Unsubscribe")

    # -- local channels and sending --

    async def create_audio_channel(
        self,
        params: _corvel.AudioEncodeParams | None = None,
        *,
        sample_rate: int = 48000,
        channels: int = 1,
        frame_length_ms: int = 20,
        timeout: float | None = None,
    ) -> None:
        """Creates the local audio channel: resolves on ``OnLocalAudioChannelCreated``."""
        if params is None:
            params = _corvel.AudioEncodeParams()
            params.sample_rate = sample_rate
            params.channels = channels
            params.frame_length_ms = frame_length_ms
        await self._channel_op(
            "audio-channel", lambda: self.cloud.CreateLocalAudioChannel(params),
            "CreateLocalAudioChannel", timeout)

    async def destroy_audio_channel(self, *, timeout: float | None = None) -> None:
        """Destroys the local audio channel: resolves on ``OnLocalAudioChannelDestroyed``."""
        await self._channel_op(
            "audio-channel", self.cloud.DestroyLocalAudioChannel, "DestroyLocalAudioChannel",
            timeout)

    async def create_video_channel(
        self, stream_type: _corvel.StreamType = _corvel.STREAM_TYPE_VIDEO_HIGH,
        *, timeout: float | None = None,
    ) -> None:
        """Creates a local video channel: resolves on ``OnLocalVideoChannelCreated``."""
        await self._channel_op(
            f"video-channel-{int(stream_type)}",
            lambda: self.cloud.CreateLocalVideoChannel(stream_type),
            "CreateLocalVideoChannel", timeout)

    async def destroy_video_channel(
        self, stream_type: _corvel.StreamType = _corvel.STREAM_TYPE_VIDEO_HIGH,
        *, timeout: float | None = None,
    ) -> None:
        """Destroys a local video channel: resolves on ``OnLocalVideoChannelDestroyed``."""
        await self._channel_op(
            f"video-channel-{int(stream_type)}",
            lambda: self.cloud.DestroyLocalVideoChannel(stream_type),
            "DestroyLocalVideoChannel", timeout)

    async def _channel_op(
        self, name: str, call: Callable[[], int], operation: str, timeout: float | None
    ) -> None:
        hub = self._state
        future = hub.expect(name)
        try:
            _check(call(), operation)
            async with asyncio.timeout(self.timeout if timeout is None else timeout):
                await future
        finally:
            hub.forget(name, future)

    def send_audio(self, frame: _corvel.AudioFrame, *, continuous: bool = False,
                   clear_send_queue: bool = False) -> None:
        """Sends one audio frame (``SendContinuousAudioFrame`` when ``continuous``)."""
        if continuous:
            _check(self.cloud.SendContinuousAudioFrame(frame, clear_send_queue),
                   "SendContinuousAudioFrame")
        else:
            _check(self.cloud.SendAudioFrame(frame), "SendAudioFrame")

    def send_video(self, frame: _corvel.VideoFrame | _corvel.PixelFrame,
                   stream_type: _corvel.StreamType = _corvel.STREAM_TYPE_VIDEO_HIGH) -> None:
        """Sends one video frame: encoded (``VideoFrame``) or raw (``PixelFrame``)."""
        if isinstance(frame, _corvel.PixelFrame):
            _check(self.cloud.SendPixelFrame(stream_type, frame), "SendPixelFrame")
        else:
            _check(self.cloud.SendVideoFrame(stream_type, frame), "SendVideoFrame")

    def send_message(self, cmd_id: int, data: bytes, *, reliable: bool = True,
                     ordered: bool = True) -> None:
        """Sends a custom command message; RoomError when the engine refuses it."""
        if not self.cloud.SendCustomCmdMsg(cmd_id, data, reliable, ordered):
            raise RoomError(_corvel.ERR_FAILED, "SendCustomCmdMsg", last_refusal())

    def send_sei(self, message_type: int, data: bytes) -> None:
        """Sends an SEI message along the local video."""
        _check(self.cloud.SendSeiMessage(message_type, data), "SendSeiMessage")

    # -- streams --

    def _stream(self, kind: str, maxsize: int, overflow: Overflow,
                match: Callable[[Any], bool] | None = None,
                user_id: str | None = None) -> Stream[Any]:
        hub = self._state
        stream: Stream[Any] = Stream(hub, kind, match, maxsize, overflow)
        hub.add(stream, user_id)
        return stream

    def audio(self, user_id: str, *, maxsize: int = 250,
              overflow: Overflow = "drop_oldest") -> Stream[_corvel.AudioFrame]:
        """Audio frames of one remote user; ends when that user leaves the room."""
        return self._stream(f"audio:{user_id}", maxsize, overflow, user_id=user_id)

    def all_audio(self, *, maxsize: int = 500,
                  overflow: Overflow = "drop_oldest") -> Stream[RemoteAudio]:
        """Audio frames of every remote user, each with its user id."""
        return self._stream("audio", maxsize, overflow)

    def mixed_audio(self, *, maxsize: int = 250,
                    overflow: Overflow = "drop_oldest") -> Stream[_corvel.AudioFrame]:
        """The mix of all remote audio (enter with ``room_params(..., mixed_audio=True)``)."""
        return self._stream("mixed-audio", maxsize, overflow)

    def video(self, user_id: str | None = None, *, maxsize: int = 30,
              overflow: Overflow = "drop_oldest") -> Stream[RemoteVideo]:
        """Remote video frames, of one user or of all."""
        match = None if user_id is None else (lambda item: item.user_id == user_id)
        return self._stream("video", maxsize, overflow, match)

    def messages(self, *, maxsize: int = 1000,
                 overflow: Overflow = "drop_oldest") -> Stream[Message]:
        """Custom command and SEI messages from remote users."""
        return self._stream("messages", maxsize, overflow)

    def events(self, *, maxsize: int = 1000, overflow: Overflow = "drop_oldest",
               types: Iterable[type] | None = None) -> Stream[Event]:
        """Room, user, channel and network events; only ``types`` when given."""
        wanted = tuple(types) if types is not None else None
        match = None if wanted is None else (lambda item: isinstance(item, wanted))
        return self._stream("events", maxsize, overflow, match)

    def user_events(self, *, maxsize: int = 1000,
                    overflow: Overflow = "drop_oldest") -> Stream[UserEvent]:
        """Remote users entering and leaving, and their media becoming available."""
        wanted = (UserEntered, UserLeft, AudioAvailable, VideoAvailable)
        return self._stream("events", maxsize, overflow, lambda item: isinstance(item, wanted))

    # -- counters --

    @property
    def dropped(self) -> int:
        """Items dropped by full streams of this room, all streams together."""
        return self._hub.dropped if self._hub is not None else 0

    @property
    def callback_errors(self) -> int:
        """Errors raised on engine threads (reported to the loop's exception handler)."""
        return self._hub.callback_errors if self._hub is not None else 0

    @property
    def last_error(self) -> _corvel.Error | None:
        """The last ``OnError`` of the engine, if any."""
        return self._hub.last_error if self._hub is not None else None

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("in room" if self.in_room else "open")
        return f"<corvel.aio.Room {state} users={sorted(self.users)} dropped={self.dropped}>"

