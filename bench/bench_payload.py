"""Payload transfer between Python bytes and engine frames.

`frame.data` copies the frame's payload once, into a new bytes object;
`frame.SetData(b)` hands the bytes object's buffer to the engine, which copies
it once into a new payload. Both are timed per call and shown in GB/s
(10^9 bytes per second).

Baselines (same run, _corvel_bench): memcpy of the same size into one warm
destination (the bandwidth bar), and, for reference, memcpy into a fresh
malloc'd destination that is freed again: the least any call that must
return new memory can cost, page faults of fresh pages included.
"""

from __future__ import annotations

from common import _corvel, bench, loop_cost, per_call

KIB = 1024
MIB = 1024 * KIB

# label, size, frame type
CASES = [
    ("10 ms audio, 48 kHz stereo (1920 B)", 1920, "audio"),
    ("64 KiB", 64 * KIB, "video"),
    ("1 MiB", 1 * MIB, "video"),
    ("1080p RGBA picture (7.9 MiB)", 1920 * 1080 * 4, "pixel"),
    ("32 MiB", 32 * MIB, "video"),
]


def _frame(kind: str):
    if kind == "audio":
        frame = _corvel.AudioFrame()
        frame.channels = 2
        return frame
    if kind == "pixel":
        frame = _corvel.PixelFrame()
        frame.width, frame.height = 1920, 1080
        frame.format = _corvel.VIDEO_PIXEL_FORMAT_RGBA
        return frame
    return _corvel.VideoFrame()


def _number(size: int, quick: bool) -> int:
    budget = (16 if quick else 512) * MIB  # bytes moved per timed round
    return max(4 if quick else 8, min(200_000, budget // size))


def run(quick: bool) -> dict:
    repeat = 3 if quick else 7
    rows = []
    for label, size, kind in CASES:
        payload = bytes(range(256)) * (size // 256) + bytes(size % 256)
        frame = _frame(kind)
        frame.SetData(payload)
        assert frame.size == size and frame.data == payload
        number = _number(size, quick)
        ns = {"frame": frame, "payload": payload}
        loop = loop_cost(ns, number)
        get_t = set_t = memcpy_t = fresh_t = float("inf")
        # Interleaved rounds: a noisy moment hits every path alike.
        for _ in range(repeat):
            get_t = min(get_t, per_call("frame.data", ns, number, 1, loop))
            set_t = min(set_t, per_call("frame.SetData(payload)", ns, number, 1, loop))
            memcpy_t = min(memcpy_t, bench.memcpy_seconds(size, 0.05 if quick else 0.2, 1, False))
            fresh_t = min(fresh_t, bench.memcpy_seconds(size, 0.05 if quick else 0.2, 1, True))
        rows.append({
            "case": label, "bytes": size,
            "data_gbps": size / get_t / 1e9, "setdata_gbps": size / set_t / 1e9,
            "memcpy_gbps": size / memcpy_t / 1e9, "fresh_memcpy_gbps": size / fresh_t / 1e9,
            "data_us": get_t * 1e6, "setdata_us": set_t * 1e6, "memcpy_us": memcpy_t * 1e6,
            "data_ratio": memcpy_t / get_t, "setdata_ratio": memcpy_t / set_t,
        })
    return {"rows": rows}


if __name__ == "__main__":
    import json
    import sys

    print(json.dumps(run("--quick" in sys.argv), indent=1))
