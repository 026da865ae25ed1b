"""A person's browser and a bot in one Janus room: one-way audio latency.

Runs tools/browser_check.py (headless Chromium with fake devices and a bot of
the engine's Janus rooms, in a network namespace of its own; root only): the
bot sends a 20 ms pip every 200 ms and the page times each onset as the
decoded audio leaves its jitter buffer for playout, and the page sends pips
the same way to the bot (bench/README.md says what each figure spans).
Figures per run: p50, p90 and max of both directions, and the browser's
camera frames the bot got and decoded.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import browser_check  # noqa: E402

import common  # noqa: E402,F401  (the module under test on sys.path)


def one_run() -> dict[str, Any]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "figures.json")
        proc = subprocess.run(
            [sys.executable, os.path.join(ROOT, "tools", "browser_check.py"), "--json", out],
            capture_output=True, text=True, timeout=180,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        if not os.path.exists(out):
            return {"problems": [f"exit status {proc.returncode}: {proc.stdout[-500:]}"]}
        with open(out) as f:
            figures: dict[str, Any] = json.load(f)
    video = figures.get("video", {})
    return {"bot_to_browser": figures.get("bot_to_browser_ms", {}),
            "browser_to_bot": figures.get("browser_to_bot_ms", {}),
            "frames": video.get("frames"), "decoded": video.get("decoded"),
            "problems": figures["problems"]}


def run(quick: bool) -> dict[str, Any]:
    reason = browser_check.unavailable_reason()
    if reason:
        return {"skipped": reason}
    return {"rows": [one_run() for _ in range(1 if quick else 3)]}
