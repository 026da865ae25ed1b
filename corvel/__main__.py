"""``python -m corvel``: versions and paths; ``--self-check`` runs a short call.

The self-check puts two engine instances into one room, as two users, and
checks each step of a call between them: both enter, each sees the other, a
custom message and a second of audio go from one to the other, both leave.
It prints one line per step and ``self-check: pass`` or ``self-check: FAIL``;
the exit status is 0 on pass and 1 on failure.
"""

from __future__ import annotations

import argparse
import array
import asyncio
import math
import os
import sys
import time
from collections.abc import Awaitable, Callable, Sequence

import _corvel

from . import aio, audio
from ._info import engine_info
from ._params import room_params

SAMPLE_RATE = 48000
FRAME_MS = 20
CHECK_FRAMES = 50  # one second of audio


class CheckFailed(Exception):
    pass


def _tone(hz: float = 440.0) -> _corvel.AudioFrame:
    """One frame of a sine tone."""
    count = SAMPLE_RATE * FRAME_MS // 1000
    values = array.array(
        "h", (int(8000 * math.sin(2 * math.pi * hz * i / SAMPLE_RATE)) for i in range(count)))
    return audio.make_frame(values, sample_rate=SAMPLE_RATE)


async def _run_self_check(timeout: float, say: Callable[[str], None]) -> bool:
    room_id = 900000 + os.getpid() % 100000
    caller, callee = "self-check-caller", "self-check-callee"

    async def step(name: str, action: Callable[[], Awaitable[str | None]]) -> None:
        started = time.perf_counter()
        try:
            detail = await action()
        except (aio.RoomError, TimeoutError, EOFError, CheckFailed, ValueError) as error:
            kind = "timed out" if isinstance(error, TimeoutError) else str(error)
            say(f"  {name}: FAIL ({kind or type(error).__name__})")
            raise CheckFailed(name) from error
        elapsed = (time.perf_counter() - started) * 1000
        say(f"  {name}: ok ({elapsed:.1f} ms{', ' + detail if detail else ''})")

    async with aio.Room(timeout=timeout) as a, aio.Room(timeout=timeout) as b:
        heard = b.audio(caller)
        messages = b.messages()
        try:
            async def enter_both() -> str:
                await a.enter(room_params(room_id, caller))
                await b.enter(room_params(room_id, callee, sample_rate=SAMPLE_RATE))
                return f"room {room_id}"

            async def see_each_other() -> None:
                await a.wait_for_user(callee)
                await b.wait_for_user(caller)

            async def message() -> str:
                payload = b"corvel self-check \x00\xff"
                a.send_message(1, payload)
                received = await messages.get(timeout)
                if not isinstance(received, aio.CustomMessage) or received.data != payload:
                    raise CheckFailed(f"received {received!r}")
                return f"{len(payload)} bytes"

            async def send_audio() -> str:
                await a.create_audio_channel(sample_rate=SAMPLE_RATE, frame_length_ms=FRAME_MS)
                tone = _tone()
                for _ in range(CHECK_FRAMES):
                    a.send_audio(tone)
                frames, samples = 0, 0
                while frames < CHECK_FRAMES:
                    frame = await heard.get(timeout)
                    frames += 1
                    samples += len(audio.samples(frame))
                return f"{frames} frames, {samples} samples"

            async def leave() -> None:
                await a.exit()
                await b.exit()

            await step("enter the room", enter_both)
            await step("see each other", see_each_other)
            await step("custom message", message)
            await step("audio", send_audio)
            await step("leave the room", leave)
        except CheckFailed:
            return False
        finally:
            heard.close()
            messages.close()
    return True


def self_check(timeout: float = 10.0, say: Callable[[str], None] = print) -> bool:
    """Runs the self-check in a new event loop; True when every step passed."""
    say("self-check:")
    try:
        passed = asyncio.run(_run_self_check(timeout, say))
    except Exception as error:  # report, do not crash: this is a diagnostic
        say(f"  unexpected error: {type(error).__name__}: {error}")
        passed = False
    say(f"self-check: {'pass' if passed else 'FAIL'}")
    return passed


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvel",
        description="Print the versions of corvel, its engine and Python; optionally "
                    "run a short call on the engine.")
    parser.add_argument("--self-check", action="store_true",
                        help="run a short loopback call and report pass or fail")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds to wait for each engine event (default 10)")
    args = parser.parse_args(argv)
    for line in engine_info().lines():
        print(line)
    if args.self_check:
        sys.stdout.flush()
        return 0 if self_check(args.timeout) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
