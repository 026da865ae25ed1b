"""corvel.aio against one engine instance: entering, leaving, errors, lifetime,
streams and their overflow policy.

Callbacks that a single instance never makes by itself (remote users, remote
media, OnError) are injected through the loopback engine's inspection
interface, which queues them on the instance's own delivery thread like any
other callback. Those tests are skipped with an engine that lacks it.
"""

from __future__ import annotations

import asyncio
import gc
import itertools
import os
import subprocess
import sys
import textwrap
import threading
import weakref
from typing import Any

import pytest

import _corvel
import corvel
from corvel import aio

import engine_probe
from py_kit import run

WAIT = 5.0  # seconds to wait for one engine event
ROOMS = itertools.count(710000)


def params(user: str = "alice", **overrides: Any) -> _corvel.EnterRoomParams:
    room = overrides.pop("room", None) or next(ROOMS)
    return corvel.room_params(room, user, **overrides)


async def delivered(instance: int) -> None:
    """Returns once every callback queued for the instance has run."""
    loop = asyncio.get_running_loop()
    assert await loop.run_in_executor(None, engine_probe.wait_idle, instance, WAIT)


def pcm(pts: int) -> dict[str, Any]:
    return {"sample_rate": 16000, "channels": 1, "bits_per_sample": 16, "pts": pts,
            "data": b"\x01\x00" * 320}


# --- entering and leaving ---------------------------------------------------


def test_async_with_enters_then_leaves_and_ends_the_engine() -> None:
    async def body() -> tuple[list[type], bool, bool]:
        room = aio.Room(params(), timeout=WAIT)
        async with room:
            assert room.in_room
            events = room.events()
            cloud = weakref.ref(room.cloud)
        seen = [type(event) async for event in events]  # ends: the room closed
        return seen, room.closed, cloud() is None

    seen, closed, cloud_gone = run(body)
    assert closed and cloud_gone
    assert seen[-1] is aio.RoomExited  # the exit was awaited before the engine ended


class Boom(Exception):
    pass


@pytest.mark.parametrize("ending", ["normal", "error", "cancelled"])
def test_leaving_the_block_exits_the_room_and_destroys_the_instance(
        probe: Any, ending: str) -> None:
    async def body() -> tuple[int, weakref.ref[_corvel.VORACloud]]:
        entered = asyncio.Event()
        seen: dict[str, Any] = {}

        async def use_room() -> None:
            async with aio.Room(params(), timeout=WAIT) as room:
                seen["instance"] = probe.last_instance()
                seen["cloud"] = weakref.ref(room.cloud)
                entered.set()
                if ending == "error":
                    raise Boom()
                if ending == "cancelled":
                    await asyncio.Event().wait()  # until cancelled

        task = asyncio.create_task(use_room())
        await entered.wait()
        if ending == "cancelled":
            task.cancel()
        try:
            await task
        except (Boom, asyncio.CancelledError):
            pass
        return seen["instance"], seen["cloud"]

    instance, cloud = run(body)
    assert cloud() is None
    assert not probe.is_live(instance)
    assert probe.calls(instance)[-1]["op"] == "ExitRoom"


@pytest.mark.parametrize("field, value, error", [
    ("sdk_app_id", 0, _corvel.ERR_INVALID_SDK_APP_ID),
    ("user", "", _corvel.ERR_INVALID_USER_ID),
    ("user_sig", "", _corvel.ERR_INVALID_USER_SIG),
    ("room", 0, _corvel.ERR_INVALID_ROOM_ID),
])
def test_refused_enter_raises_the_error_member_and_leaves_the_room_usable(
        field: str, value: Any, error: _corvel.Error) -> None:
    async def body() -> aio.RoomError:
        bad: dict[str, Any] = {"user": "alice", "room": next(ROOMS)}
        bad[field] = value
        user, room = bad.pop("user"), bad.pop("room")
        async with aio.Room(timeout=WAIT) as room_:
            with pytest.raises(aio.RoomError) as caught:
                await room_.enter(corvel.room_params(room, user, **bad))
            assert not room_.in_room
            await room_.enter(params())  # the failed attempt left nothing behind
            assert room_.in_room
        return caught.value

    raised = run(body)
    assert raised.error == error and isinstance(raised.error, _corvel.Error)
    assert raised.code == int(error) and raised.operation == "EnterRoom"


def test_entering_twice_is_refused_with_invalid_operation() -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            with pytest.raises(aio.RoomError) as caught:
                await room.enter(params())
            assert caught.value.error == _corvel.ERR_INVALID_OPERATION
            assert room.in_room

    run(body)


def test_refused_enter_in_async_with_still_destroys_the_instance() -> None:
    async def body() -> None:
        room = aio.Room(params(sdk_app_id=0), timeout=WAIT)
        with pytest.raises(aio.RoomError):
            async with room:
                pytest.fail("the block must not run")
        assert room.closed

    run(body)


def test_on_error_while_entering_raises_room_error(probe: Any) -> None:
    """OnError arriving before OnEnterRoom fails enter() with that Error member."""
    release = threading.Event()

    def hold_delivery(name: str, args: tuple[Any, ...]) -> None:
        if name == "OnRequestKeyFrame":  # keeps the delivery thread busy until released
            release.wait(WAIT)

    async def body() -> tuple[aio.RoomError, aio.Room]:
        room = aio.Room(timeout=WAIT, on_engine_thread=hold_delivery).open()
        instance = probe.last_instance()
        probe.fire_many(instance, "OnRequestKeyFrame", 1, 2)
        probe.fire_many(instance, "OnError", 1, _corvel.ERR_ENTER_ROOM_FAILED)
        entering = asyncio.create_task(room.enter(params()))
        await asyncio.sleep(0)  # one loop turn: enter() runs up to its first await
        release.set()
        with pytest.raises(aio.RoomError) as caught:
            await entering
        await room.aclose()
        return caught.value, room

    error, room = run(body)
    assert error.error == _corvel.ERR_ENTER_ROOM_FAILED and error.operation == "OnError"
    assert room.last_error == _corvel.ERR_ENTER_ROOM_FAILED


def test_enter_times_out_when_the_engine_never_answers() -> None:
    """With delivery held, OnEnterRoom cannot arrive: enter() raises TimeoutError."""
    release = threading.Event()

    async def body() -> None:
        async with aio.Room(timeout=WAIT,
                            on_engine_thread=lambda name, args: release.wait(WAIT)) as room:
            try:
                with pytest.raises(TimeoutError):
                    await room.enter(params(), timeout=0.05)
            finally:
                release.set()

    run(body)


# --- lifetime ---------------------------------------------------------------


def test_dropping_a_room_ends_the_engine_without_the_cycle_collector() -> None:
    """No reference cycle: reference counting alone frees the cloud."""
    async def body() -> bool:
        room = aio.Room(params(), timeout=WAIT)
        await room.__aenter__()
        cloud = weakref.ref(room.cloud)
        gc.disable()
        try:
            with pytest.warns(ResourceWarning, match="unclosed"):
                del room
            return cloud() is None
        finally:
            gc.enable()

    assert run(body)


class Cycle:
    """Keeps a room in a reference cycle: only the collector frees it."""

    def __init__(self, room: aio.Room) -> None:
        self.room, self.me = room, self


@pytest.mark.parametrize("collected", ["by-refcount", "by-collector-on-another-thread"])
def test_a_room_dropped_unclosed_warns_ends_its_engine_and_its_streams(collected: str) -> None:
    """Dropped without close(): the engine instance ends, an `async for` over
    a stream ends instead of waiting forever, and a ResourceWarning says so -
    also when the collector frees the room on a thread that is not the loop's."""
    async def body() -> None:
        room = aio.Room(params(), timeout=WAIT)
        await room.__aenter__()
        cloud = weakref.ref(room.cloud)
        reader = asyncio.create_task(collect(room.audio("bob")))
        await asyncio.sleep(0.01)  # the reader waits now
        with pytest.warns(ResourceWarning, match="unclosed <corvel.aio.Room"):
            if collected == "by-refcount":
                del room
            else:
                Cycle(room)
                del room
                gc.disable()  # no collection on this thread before the one below
                try:
                    await asyncio.get_running_loop().run_in_executor(None, gc.collect)
                finally:
                    gc.enable()
        assert cloud() is None
        assert await asyncio.wait_for(reader, WAIT) == []

    run(body)


async def collect(stream: aio.Stream[Any]) -> list[Any]:
    return [item async for item in stream]


def test_a_room_left_unclosed_at_interpreter_exit_ends_quietly() -> None:
    source = textwrap.dedent("""
        import asyncio, warnings
        import corvel
        from corvel import aio
        warnings.simplefilter("error")
        KEPT = []
        async def main():
            room = aio.Room(corvel.room_params(ROOM, "alice"))
            await room.enter()
            KEPT.append((room, room.audio("bob")))
        asyncio.run(main())
        print("done")
    """).replace("ROOM", str(next(ROOMS)))
    child = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                           timeout=60, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert (child.returncode, child.stdout, child.stderr) == (0, "done\n", "")


@pytest.mark.parametrize("use", [
    lambda room: corvel.room_params(5, "bot\x00evil"),  # would enter as "bot"
    lambda room: corvel.room_params("lobby\x00b", "bot"),
    lambda room: corvel.room_params(5, "bot", user_sig="sig\x00"),
    lambda room: room.subscribe("bob\x00x", corvel.STREAM_TYPE_AUDIO),
    lambda room: room.unsubscribe("bob\x00x", corvel.STREAM_TYPE_AUDIO),
], ids=["user-id", "room-id", "user-sig", "subscribe", "unsubscribe"])
def test_text_with_a_nul_is_refused_before_the_engine_cuts_it(use: Any) -> None:
    async def body() -> None:
        async with aio.Room(timeout=WAIT) as room:
            with pytest.raises(ValueError, match="NUL"):
                use(room)

    run(body)


def test_close_is_idempotent_and_operations_after_it_raise() -> None:
    async def body() -> None:
        room = aio.Room(params(), timeout=WAIT)
        async with room:
            pass
        room.close()
        with pytest.raises(RuntimeError):
            _ = room.cloud
        with pytest.raises(RuntimeError):
            await room.enter(params())

    run(body)


# --- callbacks, threads, errors -----------------------------------------------


def test_only_the_hook_runs_on_engine_threads_and_its_errors_are_reported(
        probe: Any) -> None:
    hook_threads: set[int] = set()

    def hook(name: str, args: tuple[Any, ...]) -> None:
        hook_threads.add(threading.get_ident())
        if name == "OnRequestKeyFrame":
            raise ValueError("hook failure")

    async def body() -> tuple[int, list[dict[str, Any]], int, set[int]]:
        loop = asyncio.get_running_loop()
        reported: list[dict[str, Any]] = []
        loop.set_exception_handler(lambda _loop, context: reported.append(context))
        reader_threads: set[int] = set()
        async with aio.Room(params(), timeout=WAIT, on_engine_thread=hook) as room:
            events = room.events(types=[aio.KeyFrameRequested, aio.LocalAudioChannel])
            probe.fire_many(probe.last_instance(), "OnRequestKeyFrame", 1, 2)
            await room.create_audio_channel()
            # The failing hook dropped the key frame request; delivery went on.
            assert isinstance(await events.get(WAIT), aio.LocalAudioChannel)
            reader_threads.add(threading.get_ident())
            errors = room.callback_errors
        await asyncio.sleep(0)  # the report is scheduled with call_soon_threadsafe
        return errors, reported, threading.get_ident(), reader_threads

    errors, reported, loop_thread, reader_threads = run(body)
    assert errors == 1
    assert [type(c.get("exception")) for c in reported] == [ValueError]
    assert "OnRequestKeyFrame" in reported[0]["message"]
    assert loop_thread not in hook_threads and reader_threads == {loop_thread}


# --- streams ------------------------------------------------------------------


@pytest.mark.parametrize("overflow, kept_pts", [("drop_oldest", 2), ("drop_newest", 1)])
def test_full_stream_follows_its_overflow_policy_and_counts_drops(
        probe: Any, overflow: aio.Overflow, kept_pts: int) -> None:
    async def body() -> tuple[list[int], int, int]:
        async with aio.Room(params(), timeout=WAIT) as room:
            instance = probe.last_instance()
            frames = room.audio("bob", maxsize=4, overflow=overflow)
            everyone = room.all_audio(maxsize=100)
            probe.fire_many(instance, "OnRemoteAudioReceived", 6, "bob", pcm(1))
            probe.fire_many(instance, "OnRemoteAudioReceived", 6, "bob", pcm(2))
            await delivered(instance)
            kept = [frame.pts for frame in (frames.get_nowait() for _ in range(4)) if frame]
            assert frames.get_nowait() is None
            assert everyone.qsize() == 12 and everyone.dropped == 0
            return kept, frames.dropped, room.dropped

    kept, dropped, room_dropped = run(body)
    assert kept == [kept_pts] * 4
    assert dropped == room_dropped == 8


def test_media_and_messages_reach_the_streams_that_asked_for_them(probe: Any) -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            instance = probe.last_instance()
            bob, carol = room.audio("bob"), room.audio("carol")
            mixed, video, messages = room.mixed_audio(), room.video("bob"), room.messages()
            probe.fire_many(instance, "OnRemoteAudioReceived", 1, "bob", pcm(7))
            probe.fire_many(instance, "OnRemoteMixedAudioReceived", 1, pcm(8))
            probe.fire_many(instance, "OnRemoteVideoFrameReceived", 1, "bob", 2,
                            {"pts": 9, "data": b"\x00\x00\x00\x01"})
            probe.fire_many(instance, "OnRemotePixelFrameReceived", 1, "carol", 2,
                            {"width": 2, "height": 2, "format": 2, "data": bytes(16)})
            probe.fire_many(instance, "OnReceiveCustomCmdMsg", 1, "bob", 3, 4, b"\x00\xff\x00")
            probe.fire_many(instance, "OnSeiMessageReceived", 1, "bob", 2, 5, b"hi")
            bob_frame = await bob.get(WAIT)
            assert bob_frame.pts == 7 and bob_frame.data == b"\x01\x00" * 320
            assert (await mixed.get(WAIT)).pts == 8
            seen = await video.get(WAIT)
            assert (seen.user_id, seen.stream_type) == ("bob", _corvel.STREAM_TYPE_VIDEO_HIGH)
            assert isinstance(seen.frame, _corvel.VideoFrame) and seen.frame.pts == 9
            assert await messages.get(WAIT) == aio.CustomMessage("bob", 3, 4, b"\x00\xff\x00")
            assert await messages.get(WAIT) == aio.SeiMessage(
                "bob", _corvel.STREAM_TYPE_VIDEO_HIGH, 5, b"hi")
            await delivered(instance)
            assert carol.qsize() == 0 and video.qsize() == 0  # carol's pixels: not bob's

    run(body)


def test_user_stream_ends_when_the_user_leaves_and_users_are_tracked(probe: Any) -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            instance = probe.last_instance()
            frames = room.audio("bob")
            user_events = room.user_events()
            arrival = asyncio.create_task(room.wait_for_user("bob"))
            probe.fire_many(instance, "OnRemoteUserEnterRoom", 1, "bob")
            await arrival
            assert room.users == {"bob"}
            probe.fire_many(instance, "OnRemoteAudioReceived", 3, "bob", pcm(1))
            probe.fire_many(instance, "OnRemoteUserExitRoom", 1, "bob", 0)
            received = [frame.pts async for frame in frames]  # ends at the exit
            assert received == [1, 1, 1]
            assert room.users == frozenset()
            assert [await user_events.get(WAIT), await user_events.get(WAIT)] == [
                aio.UserEntered("bob"), aio.UserLeft("bob", 0)]
            assert user_events.qsize() == 0  # the audio frames are not user events

    run(body)


def test_wait_for_absent_user_times_out() -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            with pytest.raises(TimeoutError):
                await room.wait_for_user("nobody", timeout=0.01)

    run(body)


def test_stream_ends_after_close_and_reports_the_end() -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            with room.events() as events:
                await room.create_audio_channel()
            # Closed by the with block: what was queued stays readable, then the end.
            assert await events.get(WAIT) == aio.LocalAudioChannel(True)
            with pytest.raises(EOFError):
                await events.get(WAIT)
            with pytest.raises(TimeoutError):
                await room.messages().get(timeout=0.01)
        with pytest.raises(RuntimeError):
            room.events()

    run(body)


def test_a_waiting_reader_is_woken_by_close() -> None:
    async def body() -> None:
        async with aio.Room(params(), timeout=WAIT) as room:
            messages = room.messages()
            reader = asyncio.create_task(messages.get())
            await asyncio.sleep(0)  # the reader is now waiting
            room.close()
            with pytest.raises(EOFError):
                await reader

    run(body)


@pytest.mark.parametrize("maxsize, overflow", [(0, "drop_oldest"), (1, "block")])
def test_invalid_stream_settings_are_refused(maxsize: int, overflow: Any) -> None:
    async def body() -> None:
        async with aio.Room(timeout=WAIT) as room:
            with pytest.raises(ValueError):
                room.events(maxsize=maxsize, overflow=overflow)

    run(body)
