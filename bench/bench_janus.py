"""Rooms on a Janus server: one-way audio latency and CPU per party.

Starts a private Janus (tests/janus_server.py), then N parties, each a process
of its own (tests/janus_party.py) bound to its own loopback address, in one
room. Every party sends a 20 ms pip of tone every 200 ms between silent 20 ms
frames (real-time SendAudioFrame at 48 kHz mono) and receives every other
party's audio per user at 48 kHz. Latency: each pip's send time to the first
loud frame of it in a receiver's OnRemoteAudioReceived (time.monotonic() is
system-wide), through Opus, UDP, Janus and the receiver's jitter buffer.
Lost: pips some receiver never heard. CPU: the party processes' user+system
time over the sending, per party, as a share of one core (Python callbacks
and the test's own numpy included: an upper bound of the engine's).

    python bench/bench_janus.py --demo     # two parties, a report (make demo-janus)

Skipped (section "skipped") when no janus program is installed.
"""

from __future__ import annotations

import os
import statistics
import sys
import time
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import janus_server  # noqa: E402

import common  # noqa: E402,F401  (the module under test and tests/ on sys.path)


def _percentile(values: list[float], q: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def measure(parties: int, pips: int) -> dict[str, Any]:
    """A room of `parties` on a fresh Janus; every party sends `pips`."""
    from test_janus_rooms import Party, one_way_latencies
    with janus_server.JanusServer() as server:
        env = "janus+" + server.url
        users = [f"p{k}" for k in range(parties)]
        procs = [Party(env, u, "77", f"127.0.0.{k + 2}", "--rate", "48000")
                 for k, u in enumerate(users)]
        try:
            for p in procs:
                p.wait("OnEnterRoom", timeout=15)
                assert p.do("audio")["result"] == 0
            for p, me in zip(procs, users, strict=True):
                for other in users:
                    if other != me:
                        p.wait("OnRemoteAudioAvailable", timeout=15, user=other, available=True)
            time.sleep(0.5)  # every forward in place
            cpu0 = [p.report()["cpu_s"] for p in procs]
            start = time.monotonic()
            for p in procs:
                p.send(do="pips", count=pips)
            for p in procs:
                p.wait("done", timeout=pips * 0.2 + 20, do="pips")
            wall = time.monotonic() - start
            time.sleep(0.3)
            reports = [p.report() for p in procs]
            latencies: list[float] = []
            expected = 0
            for i, sender in enumerate(procs):
                sent = [e["t"] for e in sender.named("pip")]
                for j, r in enumerate(reports):
                    if i == j:
                        continue
                    expected += len(sent)
                    heard = r["users"].get(users[i], {}).get("onsets", [])
                    latencies += one_way_latencies(sent, heard)
            cpu = [r["cpu_s"] - c for r, c in zip(reports, cpu0, strict=True)]
        finally:
            for p in procs:
                p.close()
    return {
        "parties": parties, "pips": expected, "lost": expected - len(latencies),
        "p50_ms": _ms(_percentile(latencies, 0.50)), "p99_ms": _ms(_percentile(latencies, 0.99)),
        "max_ms": _ms(max(latencies) if latencies else None),
        "cpu_per_party": statistics.mean(cpu) / wall, "cpu_total": sum(cpu) / wall,
    }


def _ms(seconds: float | None) -> float | None:
    return None if seconds is None else seconds * 1000


def run(quick: bool) -> dict[str, Any]:
    reason = janus_server.unavailable_reason()
    if reason:
        return {"skipped": reason}
    try:
        import numpy  # noqa: F401
    except ImportError:
        return {"skipped": "numpy is not installed"}
    pips = 10 if quick else 50
    return {"rows": [measure(2, pips), measure(8, pips)]}


def demo() -> int:
    reason = janus_server.unavailable_reason()
    if reason:
        print(f"demo-janus: {reason} (tools/system-deps-janus.sh installs it)")
        return 1
    print("Janus on 127.0.0.1, two parties in processes of their own (127.0.0.2, 127.0.0.3),")
    print("each sending a 20 ms pip every 200 ms for 10 s and hearing the other's ...")
    r = measure(2, 50)
    print(f"one-way latency send -> remote callback: p50 {r['p50_ms']:.1f} ms, "
          f"p99 {r['p99_ms']:.1f} ms, max {r['max_ms']:.1f} ms")
    print(f"pips lost: {r['lost']} of {r['pips']}")
    print(f"CPU per party (process, Python included): {100 * r['cpu_per_party']:.1f} % of a core")
    print("jitter buffer: the receiver holds 20-40 ms of it (two-frame target on a steady"
          " stream, engine/net/README.md); the rest is Opus, UDP and Janus")
    return 0


if __name__ == "__main__":
    sys.exit(demo() if "--demo" in sys.argv else 0)
