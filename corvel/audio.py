"""16-bit PCM audio: frames, arrays, WAV files. Standard library only.

Samples are signed 16-bit little-endian integers, interleaved by channel:
the layout of WAV files and of the machine (x86-64, the only platform the
module is built for). Conversions copy as little as the module allows:

- :func:`samples` views a frame's payload as a ``memoryview`` of format
  ``"h"`` over the ``bytes`` object ``frame.data`` returns: no copy beyond the
  one the module makes when ``data`` is read;
- :func:`to_array` copies once more, into an ``array('h')`` you can modify;
- :func:`set_samples` and :func:`make_frame` hand a ``bytes`` object to
  ``SetData`` as it is, and a memoryview over a whole ``bytes`` object as that
  object; anything else (an ``array``, a ``bytearray``) is copied once into
  ``bytes``, the only type ``SetData`` accepts. The engine copies the payload
  into the frame in every case.

WAV: :func:`wav_frames` cuts a WAV file into frames, :func:`stream_wav` sends
one into a room at real time with ``SendContinuousAudioFrame``,
:class:`WavWriter` and :func:`record_wav` write received frames to a file.
"""

from __future__ import annotations

import array
import asyncio
import os
import threading
import time
import wave
from collections.abc import AsyncIterable, Iterator
from typing import Protocol, TypeAlias

import _corvel

__all__ = [
    "AudioSink",
    "WavWriter",
    "make_frame",
    "record_wav",
    "samples",
    "set_samples",
    "stream_wav",
    "stream_wav_blocking",
    "to_array",
    "wav_frames",
]

SAMPLE_BYTES = 2
#: The PCM formats the engine takes (audio channels and sends).
SAMPLE_RATES = (8000, 16000, 24000, 32000, 44100, 48000)
CHANNELS = (1, 2)
#: Frame lengths wav_frames cuts: 10 s is the engine's continuous send queue.
MIN_FRAME_MS, MAX_FRAME_MS = 1, 10_000
Samples: TypeAlias = "bytes | bytearray | memoryview | array.array[int]"
PathLike: TypeAlias = "str | os.PathLike[str]"


def samples(frame: _corvel.AudioFrame) -> memoryview:
    """The frame's samples as a read-only ``memoryview`` of format ``"h"``.

    The view is over the ``bytes`` object that reading ``frame.data`` made:
    no further copy. ``len(view)`` is the number of samples (all channels).
    """
    data = frame.data
    if len(data) % SAMPLE_BYTES:
        raise ValueError(f"payload of {len(data)} bytes is not 16-bit samples")
    return memoryview(data).cast("h")


def to_array(frame: _corvel.AudioFrame) -> array.array[int]:
    """The frame's samples copied into a new ``array('h')``."""
    data = frame.data
    if len(data) % SAMPLE_BYTES:
        raise ValueError(f"payload of {len(data)} bytes is not 16-bit samples")
    result = array.array("h")
    result.frombytes(data)
    return result


def _as_payload(values: Samples) -> bytes:
    """The bytes ``SetData`` needs, copying only when the input is not bytes."""
    if isinstance(values, array.array):
        if values.typecode != "h":
            raise TypeError(f"array of typecode {values.typecode!r}; 16-bit samples are 'h'")
        return values.tobytes()
    if isinstance(values, memoryview):
        if values.itemsize not in (1, SAMPLE_BYTES):
            raise TypeError(f"memoryview of {values.itemsize}-byte items; samples are 16-bit")
        whole = values.obj
        if type(whole) is bytes and values.c_contiguous and values.nbytes == len(whole):
            return whole  # a view of a whole bytes object: that object, no copy
        return values.tobytes()
    if type(values) is bytes:
        return values
    if isinstance(values, (bytes, bytearray)):
        return bytes(values)
    raise TypeError(f"cannot use {type(values).__name__} as 16-bit samples")


def set_samples(frame: _corvel.AudioFrame, values: Samples) -> None:
    """Sets the frame's payload from 16-bit samples (see the module notes on copies)."""
    payload = _as_payload(values)
    if len(payload) % SAMPLE_BYTES:
        raise ValueError(f"{len(payload)} bytes is not a whole number of 16-bit samples")
    frame.SetData(payload)


def make_frame(
    values: Samples,
    *,
    sample_rate: int,
    channels: int = 1,
    pts: int = 0,
) -> _corvel.AudioFrame:
    """A new PCM ``AudioFrame`` holding ``values`` (16-bit, interleaved)."""
    frame = _corvel.AudioFrame()
    frame.sample_rate = sample_rate
    frame.channels = channels
    frame.bits_per_sample = 16
    frame.codec = _corvel.AUDIO_CODEC_TYPE_PCM
    frame.pts = pts
    set_samples(frame, values)
    return frame


def frame_duration_ms(frame: _corvel.AudioFrame) -> float:
    """How long the frame plays, from its size, rate and channel count."""
    per_second = frame.sample_rate * max(frame.channels, 1) * SAMPLE_BYTES
    return 1000.0 * frame.size / per_second if per_second else 0.0


# --- WAV ---------------------------------------------------------------------


def wav_frames(
    path: PathLike, *, frame_ms: int = 20, pad: bool = True
) -> Iterator[_corvel.AudioFrame]:
    """Cuts a 16-bit PCM WAV file into frames of ``frame_ms`` milliseconds.

    The last frame is filled up with silence when ``pad`` (engines expect
    frames of one length), else it is left short. ``pts`` counts milliseconds
    from the start of the file.

    ValueError, before any frame is made, for a file the engine could not
    send: not 16-bit PCM, a rate other than 8000, 16000, 24000, 32000, 44100
    or 48000 Hz, more than 2 channels, or a header that is not WAV at all;
    also for ``frame_ms`` outside 1..10000.
    """
    if not MIN_FRAME_MS <= frame_ms <= MAX_FRAME_MS:
        raise ValueError(f"frame_ms={frame_ms}: frames of {MIN_FRAME_MS} to {MAX_FRAME_MS} ms")
    try:
        wav = wave.open(os.fspath(path), "rb")
    except (wave.Error, EOFError) as error:
        raise ValueError(f"{path}: not a readable WAV file ({error})") from None
    with wav:
        # The header is the file's claim, checked before anything is sized by
        # it: the frame buffer below grows with the rate and channel count.
        rate, channels = wav.getframerate(), wav.getnchannels()
        if wav.getcomptype() != "NONE":
            raise ValueError(f"{path}: compressed WAV ({wav.getcomptype()})")
        if wav.getsampwidth() != SAMPLE_BYTES:
            raise ValueError(f"{path}: {8 * wav.getsampwidth()}-bit samples; 16-bit needed")
        if rate not in SAMPLE_RATES:
            raise ValueError(f"{path}: {rate} Hz; the engine takes "
                             f"{', '.join(map(str, SAMPLE_RATES))} Hz")
        if channels not in CHANNELS:
            raise ValueError(f"{path}: {channels} channels; the engine takes 1 or 2")
        per_frame = rate * frame_ms // 1000
        frame_bytes = per_frame * channels * SAMPLE_BYTES
        pts = 0
        while True:
            data = wav.readframes(per_frame)
            if not data:
                return
            if len(data) < frame_bytes and pad:
                data += bytes(frame_bytes - len(data))
            yield make_frame(data, sample_rate=rate, channels=channels, pts=pts)
            pts += frame_ms


class AudioSink(Protocol):
    """What :func:`stream_wav` sends through: a ``VORACloud`` or a ``corvel.aio.Room``'s cloud."""

    def SendContinuousAudioFrame(
        self, frame: _corvel.AudioFrame, clear_send_queue: bool
    ) -> int: ...


def _send(sink: AudioSink, frame: _corvel.AudioFrame, first: bool) -> None:
    result = sink.SendContinuousAudioFrame(frame, first)
    if result != _corvel.ERR_OK:
        from ._params import error_name

        raise RuntimeError(f"SendContinuousAudioFrame: {error_name(result)} ({result})")


async def stream_wav(
    sink: AudioSink,
    path: PathLike,
    *,
    frame_ms: int = 20,
    realtime: bool = True,
    lead_ms: int = 60,
    wait_played: bool = True,
) -> int:
    """Sends a WAV file into the room at real time; returns the frames sent.

    ``sink`` is a ``VORACloud`` (``room.cloud`` for a ``corvel.aio.Room``)
    whose local audio channel exists. Frame *n* is sent when the loop clock
    reaches ``start + n * frame_ms - lead_ms``: at most ``lead_ms`` of audio is
    ahead of real time, so the engine's send queue stays short. The first
    frame clears what an earlier stream left queued. ``realtime=False`` hands
    every frame over at once and leaves the pacing to the engine's send queue
    (which must be long enough for the file). Either way, with ``wait_played``
    the call returns when the file has played out, so that destroying the
    channel or leaving the room right after it cuts nothing off. Cancelling
    the task stops the stream.
    """
    loop = asyncio.get_running_loop()
    start = loop.time()
    sent = 0
    for frame in wav_frames(path, frame_ms=frame_ms):
        if realtime:
            delay = start + (sent * frame_ms - lead_ms) / 1000.0 - loop.time()
            if delay > 0:
                await asyncio.sleep(delay)
        _send(sink, frame, sent == 0)
        sent += 1
    if wait_played:
        delay = start + sent * frame_ms / 1000.0 - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
    return sent


def stream_wav_blocking(
    sink: AudioSink,
    path: PathLike,
    *,
    frame_ms: int = 20,
    realtime: bool = True,
    lead_ms: int = 60,
    wait_played: bool = True,
    stop: threading.Event | None = None,
) -> int:
    """:func:`stream_wav` for threads without an event loop; ``stop`` ends it early."""
    stop = stop or threading.Event()
    start = time.monotonic()
    sent = 0
    for frame in wav_frames(path, frame_ms=frame_ms):
        if realtime:
            delay = start + (sent * frame_ms - lead_ms) / 1000.0 - time.monotonic()
            if delay > 0 and stop.wait(delay):
                break
        if stop.is_set():
            break
        _send(sink, frame, sent == 0)
        sent += 1
    if wait_played:
        delay = start + sent * frame_ms / 1000.0 - time.monotonic()
        if delay > 0:
            stop.wait(delay)
    return sent


class WavWriter:
    """Writes PCM ``AudioFrame`` objects to a 16-bit WAV file.

    The sample rate and channel count come from the first frame unless given;
    a later frame in another format raises ValueError (nothing of it is
    written). Safe to call from any one thread at a time, for example from a
    delegate's ``OnRemoteAudioReceived``.
    """

    def __init__(self, path: PathLike, *, sample_rate: int | None = None,
                 channels: int | None = None) -> None:
        self.path = os.fspath(path)
        self.sample_rate = sample_rate
        self.channels = channels
        self.frames = 0
        self.samples = 0
        self._wav: wave.Wave_write | None = None
        self._closed = False
        if sample_rate is not None and channels is not None:
            self._open(sample_rate, channels)

    def _open(self, sample_rate: int, channels: int) -> wave.Wave_write:
        wav = wave.open(self.path, "wb")
        wav.setnchannels(channels)
        wav.setsampwidth(SAMPLE_BYTES)
        wav.setframerate(sample_rate)
        self._wav, self.sample_rate, self.channels = wav, sample_rate, channels
        return wav

    def write(self, frame: _corvel.AudioFrame) -> None:
        if self._closed:
            raise ValueError("write to a closed WavWriter")
        if frame.codec != _corvel.AUDIO_CODEC_TYPE_PCM or frame.bits_per_sample not in (0, 16):
            raise ValueError(f"not 16-bit PCM: codec {frame.codec.name}, "
                             f"{frame.bits_per_sample} bits per sample")
        wav = self._wav
        if wav is None:
            wav = self._open(frame.sample_rate, frame.channels)
        elif (frame.sample_rate, frame.channels) != (self.sample_rate, self.channels):
            raise ValueError(
                f"frame of {frame.sample_rate} Hz x {frame.channels} in a file of "
                f"{self.sample_rate} Hz x {self.channels}")
        data = frame.data
        if len(data) % (SAMPLE_BYTES * max(frame.channels, 1)):
            raise ValueError(f"payload of {len(data)} bytes is not whole 16-bit sample frames")
        wav.writeframesraw(data)
        self.frames += 1
        self.samples += len(data) // SAMPLE_BYTES

    def close(self) -> None:
        """Finishes the file (also when no frame came: an empty WAV needs a format)."""
        if self._closed:
            return
        self._closed = True
        wav = self._wav
        if wav is None:
            wav = self._open(self.sample_rate or 16000, self.channels or 1)
        wav.close()

    def __enter__(self) -> WavWriter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


async def record_wav(
    frames: AsyncIterable[_corvel.AudioFrame],
    path: PathLike,
    *,
    max_frames: int | None = None,
    sample_rate: int | None = None,
    channels: int | None = None,
) -> int:
    """Writes frames from an async iterable (``room.audio(user)``,
    ``room.mixed_audio()``) to a WAV file until it ends, ``max_frames`` are
    written, or the task is cancelled; the file is complete in every case.
    Returns the number of frames written.
    """
    with WavWriter(path, sample_rate=sample_rate, channels=channels) as writer:
        if max_frames is not None and max_frames <= 0:
            return 0
        async for frame in frames:
            writer.write(frame)
            if max_frames is not None and writer.frames >= max_frames:
                break
        return writer.frames
