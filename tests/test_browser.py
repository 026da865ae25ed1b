"""A person's browser in a room with our bots (slow tier).

The browser check (tools/browser_check.py) runs headless Chromium against
the page of examples/browser in a network namespace of its own: audio both
ways, the browser's camera decoded at the bot, messages both ways. It cannot
run without root, Chromium or Janus: then the test is skipped with the
reason, unless CORVEL_REQUIRE_BROWSER=1 (CI on a machine that installed
them) makes that a failure.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest
from janus_server import require_janus
from test_janus_rooms import parties  # noqa: F401  (a fixture: janus_party.py processes)

ROOT = Path(__file__).resolve().parent.parent
CANNOT_RUN = 77

pytestmark = pytest.mark.slow


def child_env() -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def test_a_browser_and_a_bot_hear_see_and_message_each_other(tmp_path):
    pytest.importorskip("numpy")
    out = tmp_path / "figures.json"
    run = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "browser_check.py"), "--json", str(out),
         "--logs", str(tmp_path / "logs")],
        capture_output=True, text=True, timeout=180, env=child_env())
    if run.returncode == CANNOT_RUN:
        reason = run.stdout.strip().splitlines()[-1]
        if os.environ.get("CORVEL_REQUIRE_BROWSER") == "1":
            pytest.fail(reason)
        pytest.skip(reason)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    figures = json.loads(out.read_text())
    assert figures["video"]["first_key"] and figures["video"]["decoded"] >= 10


def test_meet_bot_echoes_and_answers_a_party(parties):  # noqa: F811 (the fixture)
    """make meet's Janus and bot, met by a party of ours: the bot plays back
    the party's tone and answers its message; SIGTERM stops it all."""
    require_janus()
    meet = subprocess.Popen([sys.executable, str(ROOT / "tools" / "meet.py"), "--room", "77"],
                            stdout=subprocess.PIPE, text=True, env=child_env())
    try:
        assert meet.stdout is not None
        lines = [meet.stdout.readline() for _ in range(2)]
        url = re.search(r"on (http://\S+/janus)", lines[0])
        assert url and "Open http://127.0.0.1:" in lines[1], lines
        alice = parties("janus+" + url.group(1), "alice", "77", "127.0.0.1", "--rate", "48000")
        alice.wait("OnRemoteUserEnterRoom", timeout=15, user="bot")
        assert alice.do("audio")["result"] == 0
        alice.wait("OnRemoteAudioAvailable", timeout=15, user="bot", available=True)
        # The bot's forward of alice's messages follows her entry: say it
        # again until answered, as a person would.
        for _ in range(20):
            alice.do("messages", count=1, cmd=1)
            time.sleep(0.5)
            answers = [e["message"] for e in alice.named("OnReceiveCustomCmdMsg")
                       if e["message"].startswith("alice, you said: ")]
            if answers:
                break
        assert re.fullmatch(r"alice, you said: m\d+", answers[0]), answers
        alice.do("tone", freq=440, amp=8000, ms=2500, rate=48000)
        time.sleep(1.0)  # the echo's second
        echo = alice.report()["users"]["bot"]
        assert abs(echo["peak_hz"] - 440) < 5 and echo["rms"] > 1000, echo
    finally:
        meet.terminate()
        out, _ = meet.communicate(timeout=30)
    assert meet.returncode == 0
    assert "bot: left" in out
