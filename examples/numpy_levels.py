"""Audio levels with numpy (pip install 'corvel[numpy]'): bob measures the
loudness of every frame alice sends, through corvel.ndarray.

    python examples/numpy_levels.py
"""

from __future__ import annotations

import asyncio

import numpy as np

import corvel
from corvel import aio, ndarray

ROOM = 4343
RATE = 16000
FRAMES = 25  # half a second of 20 ms frames


def chirp(index: int) -> np.ndarray:
    """One 20 ms frame of a tone that grows louder frame by frame."""
    t = (np.arange(RATE // 50) + index * RATE // 50) / RATE
    return (index + 1) / FRAMES * np.sin(2 * np.pi * 330 * t)


async def main() -> None:
    async with (
        aio.Room(corvel.room_params(ROOM, "alice")) as alice,
        aio.Room(corvel.room_params(ROOM, "bob", sample_rate=RATE)) as bob,
    ):
        await alice.wait_for_user("bob")
        heard = bob.audio("alice")
        await alice.create_audio_channel(sample_rate=RATE)
        for index in range(FRAMES):
            alice.send_audio(
                ndarray.ndarray_to_audio(chirp(index), sample_rate=RATE, pts=index * 20))
        for _ in range(FRAMES):
            frame = await heard.get(timeout=5)
            samples = ndarray.audio_to_ndarray(frame).astype(np.float64) / 32768.0
            rms = float(np.sqrt(np.mean(samples ** 2)))
            print(f"pts {frame.pts:6d}  rms {rms:.3f}  " + "#" * int(rms * 60))


if __name__ == "__main__":
    asyncio.run(main())
