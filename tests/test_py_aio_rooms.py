"""corvel.aio with two or three parties in one room of the loopback engine:
users, audio (per user and mixed), messages, video, WAV in and out, and the
overflow policy under real media."""

from __future__ import annotations

import array
import asyncio
import contextlib
import itertools
import math
import wave
from collections.abc import AsyncIterator
from pathlib import Path
from typing import Any

import pytest

import _corvel
import corvel
from corvel import aio, audio

from py_kit import run

WAIT = 5.0
ROOMS = itertools.count(740000)


def frame_of(values: list[int] | array.array[int], rate: int = 48000, channels: int = 1,
             pts: int = 0) -> _corvel.AudioFrame:
    return audio.make_frame(array.array("h", values), sample_rate=rate, channels=channels,
                            pts=pts)


@contextlib.asynccontextmanager
async def pair(room: int, **bob_params: Any) -> AsyncIterator[tuple[aio.Room, aio.Room]]:
    """alice and bob in one room, each having seen the other."""
    async with (
        aio.Room(corvel.room_params(room, "alice"), timeout=WAIT) as alice,
        aio.Room(corvel.room_params(room, "bob", **bob_params), timeout=WAIT) as bob,
    ):
        await alice.wait_for_user("bob")
        await bob.wait_for_user("alice")
        yield alice, bob


def test_users_see_each_other_come_and_go() -> None:
    async def body() -> None:
        room = next(ROOMS)
        async with aio.Room(corvel.room_params(room, "alice"), timeout=WAIT) as alice:
            seen = alice.user_events()
            async with aio.Room(corvel.room_params(room, "bob"), timeout=WAIT) as bob:
                await alice.wait_for_user("bob")
                await bob.wait_for_user("alice")
                assert alice.users == {"bob"} and bob.users == {"alice"}
                await bob.create_audio_channel()
            assert await seen.get(WAIT) == aio.UserEntered("bob")
            assert await seen.get(WAIT) == aio.AudioAvailable("bob", True)
            assert await seen.get(WAIT) == aio.AudioAvailable("bob", False)
            assert await seen.get(WAIT) == aio.UserLeft("bob", 0)
            assert alice.users == frozenset()

    run(body)


@pytest.mark.parametrize("rate, channels, frame_ms", [
    (48000, 1, 20),  # the sender's own format: samples arrive unchanged
    (16000, 1, 20),
    (48000, 2, 10),
])
def test_remote_audio_arrives_in_order_in_the_format_asked_for(
        rate: int, channels: int, frame_ms: int) -> None:
    sent = [int(8000 * math.sin(i / 5)) for i in range(960 * 10)]  # 200 ms at 48 kHz

    async def body() -> list[_corvel.AudioFrame]:
        async with pair(next(ROOMS), sample_rate=rate, channels=channels,
                        frame_length_ms=frame_ms) as (alice, bob):
            heard = bob.audio("alice")
            await alice.create_audio_channel(sample_rate=48000)
            for index in range(10):
                alice.send_audio(frame_of(sent[index * 960:(index + 1) * 960], pts=index * 20))
            # All of it in the sender's format; else all but the converter's delay.
            needed = len(sent) * rate // 48000 * channels
            if (rate, channels) != (48000, 1):
                needed -= rate * 20 // 1000 * channels
            frames: list[_corvel.AudioFrame] = []
            while sum(f.size for f in frames) // 2 < needed:
                frames.append(await heard.get(WAIT))
            return frames

    frames = run(body)
    per_frame = rate * frame_ms // 1000 * channels
    shapes = {(f.sample_rate, f.channels, f.size) for f in frames}
    assert shapes == {(rate, channels, per_frame * 2)}
    assert [f.pts for f in frames] == sorted(f.pts for f in frames)
    if (rate, channels) == (48000, 1):
        received = array.array("h")
        for frame in frames:
            received.extend(audio.to_array(frame))
        assert received.tolist() == sent[:len(received)] and len(received) == len(sent)


def test_mixed_audio_adds_up_the_remote_users() -> None:
    async def body() -> tuple[int, int]:
        room = next(ROOMS)
        async with (
            aio.Room(corvel.room_params(room, "alice"), timeout=WAIT) as alice,
            aio.Room(corvel.room_params(room, "bob"), timeout=WAIT) as bob,
            aio.Room(corvel.room_params(room, "carol", mixed_audio=True, sample_rate=48000),
                     timeout=WAIT) as carol,
        ):
            await carol.wait_for_user("alice")
            await carol.wait_for_user("bob")
            mix, per_user = carol.mixed_audio(), carol.audio("alice")
            await alice.create_audio_channel(sample_rate=48000)
            await bob.create_audio_channel(sample_rate=48000)
            for index in range(5):
                alice.send_audio(frame_of([1000] * 960, pts=index * 20))
                bob.send_audio(frame_of([2000] * 960, pts=index * 20))
            expected = 5 * 960 * (1000 + 2000)
            total, loudest = 0, 0
            while total < expected:
                values = audio.samples(await mix.get(WAIT))
                total += sum(values)
                loudest = max(loudest, max(values))
            assert per_user.qsize() == 0  # mixing replaces per-user delivery
            return total, loudest

    total, loudest = run(body)
    assert total == 5 * 960 * 3000  # nothing lost, nothing counted twice
    assert loudest <= 3000


def test_messages_video_and_sei_reach_the_other_party() -> None:
    async def body() -> None:
        async with pair(next(ROOMS)) as (alice, bob):
            messages, video = bob.messages(), bob.video("alice")
            for payload in (b"\x00binary\xff", b"second"):
                alice.send_message(7, payload)
            first, second = await messages.get(WAIT), await messages.get(WAIT)
            assert first == aio.CustomMessage("alice", 7, first.seq, b"\x00binary\xff")
            assert second == aio.CustomMessage("alice", 7, first.seq + 1, b"second")

            await alice.create_video_channel()
            bob.subscribe("alice", _corvel.STREAM_TYPE_VIDEO_HIGH)
            alice.send_sei(5, b"caption")
            encoded = _corvel.VideoFrame()
            encoded.SetData(b"\x00\x00\x00\x01\x65frame")
            encoded.is_key_frame = True
            encoded.pts = 33
            alice.send_video(encoded)
            received = await video.get(WAIT)
            assert (received.user_id, received.stream_type) == (
                "alice", _corvel.STREAM_TYPE_VIDEO_HIGH)
            assert isinstance(received.frame, _corvel.VideoFrame)
            assert (received.frame.data, received.frame.pts) == (encoded.data, 33)
            assert await messages.get(WAIT) == aio.SeiMessage(
                "alice", _corvel.STREAM_TYPE_VIDEO_HIGH, 5, b"caption")

    run(body)


def test_wav_played_by_one_party_is_recorded_by_the_other(tmp_path: Path) -> None:
    source = array.array("h", (int(9000 * math.sin(i / 9)) for i in range(48000 * 3 // 10)))
    with wave.open(str(tmp_path / "played.wav"), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(48000)
        wav.writeframes(source.tobytes())

    async def body() -> tuple[int, int]:
        async with pair(next(ROOMS), sample_rate=48000) as (alice, bob):
            recording = asyncio.create_task(
                audio.record_wav(bob.audio("alice"), tmp_path / "heard.wav", max_frames=15))
            await alice.create_audio_channel(sample_rate=48000)
            played = await audio.stream_wav(alice.cloud, tmp_path / "played.wav")
            return played, await recording

    played, recorded = run(body)
    assert played == recorded == 15
    with wave.open(str(tmp_path / "heard.wav"), "rb") as wav:
        assert (wav.getframerate(), wav.getnchannels()) == (48000, 1)
        heard = array.array("h", wav.readframes(wav.getnframes()))
    assert heard == source


@pytest.mark.parametrize("overflow, kept", [("drop_oldest", range(35, 40)),
                                            ("drop_newest", range(0, 5))])
def test_slow_reader_loses_what_the_policy_says_and_counts_it(
        overflow: aio.Overflow, kept: range) -> None:
    async def body() -> tuple[list[int], int, int]:
        async with pair(next(ROOMS), sample_rate=48000) as (alice, bob):
            slow = bob.audio("alice", maxsize=5, overflow=overflow)
            every = bob.all_audio(maxsize=100)
            await alice.create_audio_channel(sample_rate=48000)
            for index in range(40):
                alice.send_audio(frame_of([index] * 960, pts=index * 20))
            for _ in range(40):  # all arrived: the slow stream has done its dropping
                await every.get(WAIT)
            slow.close()
            return [audio.samples(f)[0] async for f in slow], slow.dropped, bob.dropped

    values, dropped, room_dropped = run(body)
    assert values == list(kept)
    assert dropped == room_dropped == 35


def test_entering_as_the_same_user_elsewhere_ends_the_first_session() -> None:
    """The engine takes the first instance out of the room on its own: the room
    reports it, and leaving the block afterwards is clean."""
    async def body() -> None:
        room = next(ROOMS)
        async with pair(room) as (first, bob):
            exits = first.events(types=[aio.RoomExited])
            seen = bob.user_events()
            async with aio.Room(corvel.room_params(room, "alice"), timeout=WAIT) as second:
                assert await exits.get(WAIT) == aio.RoomExited()
                assert not first.in_room and second.in_room
                assert await seen.get(WAIT) == aio.UserLeft("alice", 3)
                assert await seen.get(WAIT) == aio.UserEntered("alice")
                assert bob.users == {"alice"}

    run(body)


def test_removal_by_the_server_reports_the_error_and_ends_the_session(probe: Any) -> None:
    async def body() -> aio.Room:
        room = next(ROOMS)
        async with aio.Room(corvel.room_params(room, "alice"), timeout=WAIT) as alice:
            instance = probe.last_instance()
            events = alice.events(types=[aio.EngineError, aio.RoomExited])
            async with aio.Room(corvel.room_params(room, "bob"), timeout=WAIT) as bob:
                await bob.wait_for_user("alice")
                seen = bob.user_events()
                probe.server_error(instance, _corvel.ERR_BANNED_BY_SERVER)
                assert await events.get(WAIT) == aio.EngineError(_corvel.ERR_BANNED_BY_SERVER)
                assert await events.get(WAIT) == aio.RoomExited()
                assert await seen.get(WAIT) == aio.UserLeft("alice", 2)
                assert not alice.in_room
        return alice

    alice = run(body)
    assert alice.last_error == _corvel.ERR_BANNED_BY_SERVER and alice.closed


def test_network_quality_reports_name_the_other_users(probe: Any) -> None:
    probe.set_quality_interval_ms(20)
    try:
        async def body() -> aio.NetworkQualityReport:
            async with pair(next(ROOMS)) as (alice, bob):
                reports = alice.events(types=[aio.NetworkQualityReport])
                report = await reports.get(WAIT)
                assert isinstance(report, aio.NetworkQualityReport)
                return report

        report = run(body)
    finally:
        probe.set_quality_interval_ms(0)
    assert report.local.user_id.GetValue() == "alice"
    assert [r.user_id.GetValue() for r in report.remotes] == ["bob"]
    assert isinstance(report.local.quality, _corvel.NetworkQuality)
