"""A two-party call with corvel.aio: alice plays a WAV file into the room,
bob records what he hears into another WAV file, and they trade a message.

    python examples/aio_call.py [--seconds 2] [--out heard.wav]

Both users live in this one process, on the loopback engine: two engine
instances entering the same room.
"""

from __future__ import annotations

import argparse
import array
import asyncio
import math
import tempfile
import wave
from pathlib import Path

import corvel
from corvel import aio, audio

ROOM = 4242
RATE = 48000


def write_tone(path: Path, seconds: float, hz: float = 440.0) -> None:
    """A sine tone, to have something to play."""
    count = int(RATE * seconds)
    samples = array.array(
        "h", (int(12000 * math.sin(2 * math.pi * hz * i / RATE)) for i in range(count)))
    with wave.open(str(path), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(RATE)
        wav.writeframes(samples.tobytes())


async def call(source: Path, heard: Path) -> None:
    async with (
        aio.Room(corvel.room_params(ROOM, "alice")) as alice,
        aio.Room(corvel.room_params(ROOM, "bob", sample_rate=RATE)) as bob,
    ):
        await alice.wait_for_user("bob")
        print("alice and bob are in room", ROOM)

        messages = bob.messages()
        alice.send_message(1, b"hello bob")
        message = await messages.get(timeout=5)
        print("bob got a message:", message)

        # Open bob's stream before alice plays, so no frame is missed; it ends
        # after as many frames as the file holds, or when alice leaves.
        frames = sum(1 for _ in audio.wav_frames(source))
        recording = asyncio.create_task(
            audio.record_wav(bob.audio("alice"), heard, max_frames=frames))
        await alice.create_audio_channel(sample_rate=RATE)
        sent = await audio.stream_wav(alice.cloud, source)
        print(f"alice played {sent} frames")
        written = await asyncio.wait_for(recording, timeout=10)
        print(f"bob recorded {written} frames into {heard} (dropped: {bob.dropped})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="corvel-call-") as folder:
        source = Path(folder) / "tone.wav"
        write_tone(source, args.seconds)
        asyncio.run(call(source, args.out or Path(folder) / "heard.wav"))


if __name__ == "__main__":
    main()
