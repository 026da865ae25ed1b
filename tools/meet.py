"""Meet a bot from a browser: a private Janus, the bot and the page, at once.

    python tools/meet.py [--room N] [--seconds S]      (make meet)

Starts Janus (HTTP API on 127.0.0.1, WebRTC on this machine's other
interfaces), examples/meet_bot.py in that Janus' room, and a small web
server for the page of examples/browser, then prints the address to open in
a browser on this machine. Ctrl-C, SIGTERM or --seconds stops everything.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "tools"))

import janus_server  # noqa: E402
from browser_check import PageServer  # noqa: E402


def _interrupt(*_: object) -> None:
    raise KeyboardInterrupt


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--room", type=int, default=1234)
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long")
    args = parser.parse_args()
    reason = janus_server.unavailable_reason()
    if reason:
        print(f"meet: {reason}")
        return 1
    signal.signal(signal.SIGTERM, _interrupt)  # stops as Ctrl-C does
    with janus_server.JanusServer() as janus:
        page = PageServer()
        bot = subprocess.Popen(
            [sys.executable, str(ROOT / "examples" / "meet_bot.py"), "janus+" + janus.url,
             str(args.room)], env=dict(os.environ, PYTHONUNBUFFERED="1"))
        try:
            print(f"Janus {janus.info().get('version_string', '')} on {janus.url}", flush=True)
            print(f"Open http://127.0.0.1:{page.port}/index.html?janus={janus.url}"
                  f"&room={args.room}&user=you", flush=True)
            print("(allow the microphone and camera; Ctrl-C stops)", flush=True)
            deadline = time.monotonic() + args.seconds if args.seconds else None
            while bot.poll() is None and (deadline is None or time.monotonic() < deadline):
                time.sleep(0.2)
        except KeyboardInterrupt:
            pass
        finally:
            if bot.poll() is None:
                bot.send_signal(signal.SIGTERM)
                try:
                    bot.wait(10)
                except subprocess.TimeoutExpired:
                    bot.kill()
                    bot.wait()
            page.close()
    return 0 if bot.returncode in (0, -signal.SIGTERM) else 1


if __name__ == "__main__":
    sys.exit(main())
