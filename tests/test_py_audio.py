"""corvel.audio: samples to and from frames, WAV files in and out of rooms."""

from __future__ import annotations

import array
import asyncio
import math
import re
import struct
import threading
import tracemalloc
import wave
from collections.abc import AsyncIterator, Callable
from pathlib import Path
from typing import Any

import pytest

import _corvel
import corvel
from corvel import aio, audio

WAIT = 5.0
VALUES = [0, 1, -1, 32767, -32768, 1234, -4321, 7]


def tone(count: int, channels: int = 1) -> array.array[int]:
    return array.array("h", (int(10000 * math.sin(i / 7)) for i in range(count * channels)))


def write_wav(path: Path, samples: array.array[int], rate: int, channels: int,
              width: int = 2) -> None:
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(width)
        wav.setframerate(rate)
        wav.writeframes(samples.tobytes() if width == 2 else bytes(len(samples)))


def read_wav(path: Path) -> tuple[int, int, array.array[int]]:
    with wave.open(str(path), "rb") as wav:
        values = array.array("h")
        values.frombytes(wav.readframes(wav.getnframes()))
        return wav.getframerate(), wav.getnchannels(), values


# --- samples and frames --------------------------------------------------------

RAW = array.array("h", VALUES).tobytes()


@pytest.mark.parametrize("make", [
    lambda: RAW,
    lambda: bytearray(RAW),
    lambda: memoryview(RAW),
    lambda: memoryview(RAW).cast("h"),
    lambda: memoryview(b"xx" + RAW)[2:],  # a view of part of a bytes object
    lambda: array.array("h", VALUES),
], ids=["bytes", "bytearray", "memoryview", "memoryview-h", "partial-view", "array"])
def test_samples_round_trip_through_a_frame(make: Callable[[], Any]) -> None:
    frame = audio.make_frame(make(), sample_rate=16000, channels=2, pts=5)
    shape = (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.pts)
    assert shape == (16000, 2, 16, 5)
    assert frame.codec == _corvel.AUDIO_CODEC_TYPE_PCM
    assert audio.samples(frame).tolist() == VALUES
    assert audio.to_array(frame).tolist() == VALUES


def test_bytes_and_views_of_whole_bytes_reach_set_data_uncopied() -> None:
    payload = audio._as_payload
    assert payload(RAW) is RAW
    assert payload(memoryview(RAW)) is RAW
    assert payload(memoryview(RAW).cast("h")) is RAW
    assert payload(memoryview(b"xx" + RAW)[2:]) == RAW  # a part must be copied


def test_samples_view_is_read_only_and_shares_the_data_bytes() -> None:
    view = audio.samples(audio.make_frame(RAW, sample_rate=16000))
    assert view.format == "h" and view.readonly and type(view.obj) is bytes
    copy = audio.to_array(audio.make_frame(RAW, sample_rate=16000))
    copy[0] = 99  # the array is the caller's own
    assert copy[0] == 99


@pytest.mark.parametrize("bad, error", [
    (array.array("i", [1, 2]), TypeError),
    (memoryview(array.array("i", [1, 2])), TypeError),
    (b"\x00\x01\x02", ValueError),
    ("text", TypeError),
])
def test_inputs_that_are_not_16_bit_samples_are_refused(bad: Any, error: type) -> None:
    frame = _corvel.AudioFrame()
    with pytest.raises(error):
        audio.set_samples(frame, bad)
    assert frame.size == 0


def test_odd_payload_is_not_viewed_as_samples() -> None:
    frame = _corvel.AudioFrame()
    frame.SetData(b"\x00\x01\x02")
    with pytest.raises(ValueError):
        audio.samples(frame)
    with pytest.raises(ValueError):
        audio.to_array(frame)


# --- WAV files -------------------------------------------------------------------


@pytest.mark.parametrize("rate, channels, frame_ms, count", [
    (16000, 1, 20, 16000 // 50 * 3),        # whole frames
    (48000, 2, 10, 480 * 2 + 17),           # a short last frame
    (8000, 1, 60, 5),                       # less than one frame
])
@pytest.mark.parametrize("pad", [True, False])
def test_wav_file_is_cut_into_frames_in_order(tmp_path: Path, rate: int, channels: int,
                                              frame_ms: int, count: int, pad: bool) -> None:
    samples = tone(count, channels)
    write_wav(tmp_path / "in.wav", samples, rate, channels)
    frames = list(audio.wav_frames(tmp_path / "in.wav", frame_ms=frame_ms, pad=pad))
    per_frame = rate * frame_ms // 1000 * channels
    assert len(frames) == -(-count * channels // per_frame)
    assert [f.pts for f in frames] == [i * frame_ms for i in range(len(frames))]
    assert {(f.sample_rate, f.channels) for f in frames} == {(rate, channels)}
    joined = array.array("h")
    for frame in frames:
        joined.extend(audio.to_array(frame))
    assert joined[:len(samples)] == samples
    tail = joined[len(samples):]
    assert tail.tolist() == ([0] * len(tail))
    assert len(joined) == (len(frames) * per_frame if pad else len(samples))


def test_wav_frames_refuses_other_sample_widths(tmp_path: Path) -> None:
    write_wav(tmp_path / "8bit.wav", array.array("h", [0] * 100), 8000, 1, width=1)
    with pytest.raises(ValueError, match="16-bit"):
        list(audio.wav_frames(tmp_path / "8bit.wav"))


def wav_header(rate: int, channels: int, bits: int = 16, data: bytes = bytes(4)) -> bytes:
    """A PCM WAV file as its header claims it, whatever the claim."""
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 1, channels, rate, (rate * block) & 0xFFFFFFFF, block, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


@pytest.mark.parametrize("content, frame_ms, message", [
    (wav_header(25_000_000, 1000), 20, "25000000 Hz"),   # would size a 1 GB frame
    (wav_header(22050, 1), 20, "22050 Hz"),
    (wav_header(48000, 3), 20, "3 channels"),
    (wav_header(48000, 2, bits=24, data=bytes(6)), 20, "24-bit"),
    (b"RIFF\x04\x00\x00\x00WAVE" + bytes(36), 20, "not a readable WAV"),
    (wav_header(48000, 2), 0, "frame_ms=0"),
    (wav_header(48000, 2), 10**9, "frame_ms=1000000000"),  # a 48-byte file, 2 GB of padding
], ids=["huge-header", "rate", "channels", "width", "not-wav", "frame-0", "frame-huge"])
def test_wav_frames_refuses_what_the_engine_cannot_take_before_allocating(
        tmp_path: Path, content: bytes, frame_ms: int, message: str) -> None:
    (tmp_path / "claim.wav").write_bytes(content)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=re.escape(message)):
            next(audio.wav_frames(tmp_path / "claim.wav", frame_ms=frame_ms))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_wav_writer_round_trip_and_format_checks(tmp_path: Path) -> None:
    first = audio.make_frame(tone(320, 2), sample_rate=32000, channels=2)
    second = audio.make_frame(tone(320, 2)[::-1], sample_rate=32000, channels=2)
    with audio.WavWriter(tmp_path / "out.wav") as writer:
        writer.write(first)
        writer.write(second)
        with pytest.raises(ValueError):
            writer.write(audio.make_frame(tone(160), sample_rate=16000))
        opus = audio.make_frame(tone(160, 2), sample_rate=32000, channels=2)
        opus.codec = _corvel.AUDIO_CODEC_TYPE_OPUS
        with pytest.raises(ValueError):
            writer.write(opus)
    assert (writer.frames, writer.samples) == (2, 1280)
    rate, channels, values = read_wav(tmp_path / "out.wav")
    assert (rate, channels) == (32000, 2)
    assert values == audio.to_array(first) + audio.to_array(second)
    with pytest.raises(ValueError):
        writer.write(first)


def test_wav_writer_without_frames_leaves_a_valid_empty_file(tmp_path: Path) -> None:
    audio.WavWriter(tmp_path / "empty.wav", sample_rate=24000, channels=1).close()
    assert read_wav(tmp_path / "empty.wav") == (24000, 1, array.array("h"))


async def frame_source(count: int, forever: bool = False) -> AsyncIterator[_corvel.AudioFrame]:
    index = 0
    while forever or index < count:
        yield audio.make_frame(array.array("h", [index] * 160), sample_rate=16000, pts=index)
        index += 1
        await asyncio.sleep(0)


@pytest.mark.parametrize("count, max_frames, written", [(5, None, 5), (10, 3, 3), (0, None, 0)])
def test_record_wav_writes_until_the_end_or_the_limit(
        tmp_path: Path, count: int, max_frames: int | None, written: int) -> None:
    result = asyncio.run(audio.record_wav(frame_source(count), tmp_path / "r.wav",
                                          max_frames=max_frames, sample_rate=16000, channels=1))
    assert result == written
    _, _, values = read_wav(tmp_path / "r.wav")
    assert values.tolist() == [v for v in range(written) for _ in range(160)]


def test_cancelled_recording_leaves_a_complete_file(tmp_path: Path) -> None:
    async def body() -> None:
        task = asyncio.create_task(audio.record_wav(frame_source(0, forever=True),
                                                    tmp_path / "c.wav"))
        for _ in range(20):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(body())
    rate, channels, values = read_wav(tmp_path / "c.wav")
    assert (rate, channels) == (16000, 1) and len(values) % 160 == 0 and values


# --- WAV into a room ---------------------------------------------------------------


@pytest.mark.parametrize("realtime", [True, False])
def test_stream_wav_sends_every_frame_continuously(
        tmp_path: Path, probe: Any, realtime: bool) -> None:
    write_wav(tmp_path / "in.wav", tone(48000 // 10), 48000, 1)  # 100 ms: 5 frames

    async def body() -> tuple[int, int]:
        async with aio.Room(corvel.room_params(720001, "streamer"), timeout=WAIT) as room:
            instance = probe.last_instance()
            await room.create_audio_channel(sample_rate=48000)
            sent = await audio.stream_wav(room.cloud, tmp_path / "in.wav", realtime=realtime)
        return sent, instance

    sent, instance = asyncio.run(body())
    assert sent == 5
    records = [c for c in probe.calls(instance) if c["op"] == "SendContinuousAudioFrame"]
    assert len(records) == 5
    assert [r["clear_send_queue"] for r in records] == [True, False, False, False, False]
    assert [r["frame"]["pts"] for r in records] == [0, 20, 40, 60, 80]


def test_stream_wav_without_an_audio_channel_fails(tmp_path: Path) -> None:
    write_wav(tmp_path / "in.wav", tone(480), 48000, 1)

    async def body() -> None:
        async with aio.Room(corvel.room_params(720002, "streamer"), timeout=WAIT) as room:
            with pytest.raises(RuntimeError, match="ERR_INVALID_OPERATION"):
                await audio.stream_wav(room.cloud, tmp_path / "in.wav")

    asyncio.run(body())


@pytest.mark.parametrize("stopped, expected", [(False, 50), (True, 0)])
def test_blocking_stream_sends_the_file_unless_stopped(
        tmp_path: Path, stopped: bool, expected: int) -> None:
    write_wav(tmp_path / "in.wav", tone(48000), 48000, 1)  # one second: 50 frames
    stop = threading.Event()
    if stopped:
        stop.set()

    async def body() -> int:
        async with aio.Room(corvel.room_params(720003, "streamer"), timeout=WAIT) as room:
            await room.create_audio_channel(sample_rate=48000)
            return audio.stream_wav_blocking(room.cloud, tmp_path / "in.wav", realtime=False,
                                             stop=stop)

    assert asyncio.run(body()) == expected
