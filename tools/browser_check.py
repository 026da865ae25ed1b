"""A real browser in a room with one of our bots, checked end to end.

    python tools/browser_check.py [--json OUT] [--logs DIR]

Everything runs in a network namespace of this process' own (Janus does not
use loopback interfaces for WebRTC, so the namespace gets a veth pair whose
two ends are its only other addresses): a private Janus, the page of
examples/browser served on 127.0.0.1, a bot (tests/janus_party.py, the
engine's Janus rooms) and headless Chromium with fake media devices.

What is checked: the bot hears the browser's microphone (the fake device's
tone, at its frequency) and gets its camera as H.264 access units that
decode from the first one on (a key frame); the browser hears the bot's 440
Hz tone and gets its custom messages, and the bot gets the browser's; the
page leaves and the bot sees the browser's user go.

Both directions' one-way audio latency is measured and printed with the
other figures: a 20 ms pip every 200 ms each way, from its send time (the
bot's SendAudioFrame; the page's audio graph rendering it into the
published track) to its onset at the other end (the bot's callback; in the
page, the decoded audio leaving the jitter buffer for playout, as a track
processor sees it). For a person listening the browser's audio output adds
its own latency (printed too: the page's audio graph's).

Exit status: 0 passed, 1 failed (the reasons are printed), 77 cannot run
here (not root, no Chromium, no Janus: the reason is printed).
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
PAGE_DIR = ROOT / "examples" / "browser"
sys.path.insert(0, str(ROOT / "tests"))

import janus_server  # noqa: E402

CANNOT_RUN = 77
ROOM = 1234
BROWSER_USER, BOT_USER = "chrome", "bot"
MIC_MS, PIPS, PIP_EVERY_MS = 4000, 25, 200
BOT_TONE_HZ = 440
FAKE_MIC_HZ = 400  # Chromium's fake microphone: a beep of about 400 Hz twice a second
STEP_TIMEOUT = 30.0
VETH = (("v0", "10.77.0.1/24"), ("v1", "10.77.0.2/24"))


def chromium_binary() -> str | None:
    explicit = os.environ.get("CORVEL_CHROMIUM")
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


def unavailable_reason() -> str | None:
    """Why the check cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (a network namespace of its own)"
    if not hasattr(os, "unshare"):
        return "this Python cannot make a network namespace"
    if shutil.which("ip") is None:
        return "no ip command (Debian iproute2)"
    if chromium_binary() is None:
        return "no Chromium (tools/system-deps-janus.sh --browser installs it)"
    return janus_server.unavailable_reason()


def enter_namespace() -> None:
    """This process (and what it starts) into a new network namespace with
    lo up and a veth pair."""
    os.unshare(os.CLONE_NEWNET)
    run = lambda *a: subprocess.run(["ip", *a], check=True, capture_output=True)  # noqa: E731
    run("link", "set", "lo", "up")
    run("link", "add", VETH[0][0], "type", "veth", "peer", "name", VETH[1][0])
    for name, address in VETH:
        run("addr", "add", address, "dev", name)
        run("link", "set", name, "up")


class PageServer:
    """The page's files on 127.0.0.1, and POST /probe for its findings."""

    def __init__(self) -> None:
        self.posts: list[dict[str, Any]] = []
        self.cond = threading.Condition()
        outer = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                super().__init__(*args, directory=str(PAGE_DIR), **kwargs)

            def do_POST(self) -> None:  # noqa: N802 (the library's name)
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                try:
                    post = json.loads(body)
                except ValueError:
                    post = {"phase": "garbled"}
                with outer.cond:
                    outer.posts.append(post)
                    outer.cond.notify_all()
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args: Any) -> None:
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def wait(self, phase: str, timeout: float) -> dict[str, Any]:
        def found() -> dict[str, Any] | None:
            return next((p for p in self.posts if p.get("phase") in (phase, "failed")), None)

        with self.cond:
            if not self.cond.wait_for(lambda: found() is not None, timeout):
                raise TimeoutError(f"the page did not report {phase!r} in {timeout:.0f} s")
            post = found()
            assert post is not None
            if post.get("phase") == "failed":
                raise RuntimeError(f"the page failed: {post.get('error')}")
            return post

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


def launch_chromium(url: str, workdir: Path) -> subprocess.Popen[bytes]:
    log = open(workdir / "chromium.log", "wb")  # noqa: SIM115 (closed with the process)
    return subprocess.Popen(
        [chromium_binary() or "chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
         "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
         "--autoplay-policy=no-user-gesture-required",
         "--disable-features=WebRtcHideLocalIpsWithMdns",
         f"--user-data-dir={workdir / 'profile'}", "--no-first-run", "--mute-audio", url],
        stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
        env=janus_server.clean_environment())


def stop_group(proc: subprocess.Popen[bytes]) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(5)


def latencies_ms(sent: list[float], heard: list[float]) -> list[float]:
    """Each pip (wall clock s) matched with the first onset heard after it and
    before the next one."""
    from test_janus_rooms import one_way_latencies
    return [1000 * d for d in one_way_latencies(sorted(sent), sorted(heard))]


def summary(values: list[float]) -> dict[str, Any]:
    if not values:
        return {"n": 0}
    ordered = sorted(values)
    return {"n": len(ordered), "p50": round(statistics.median(ordered), 1),
            "p90": round(ordered[min(len(ordered) - 1, int(0.9 * len(ordered)))], 1),
            "max": round(ordered[-1], 1)}


def decode_h264(path: Path) -> dict[str, Any]:
    """Decodes the bot's received stream; None figures without PyAV."""
    try:
        import av
    except ImportError:
        return {"decoder": None}
    decoded, size, errors = 0, None, 0
    with av.open(str(path), format="h264") as container:
        try:
            for frame in container.decode(video=0):
                decoded += 1
                size = (frame.width, frame.height)
        except av.error.FFmpegError:
            errors += 1
    return {"decoder": f"PyAV {av.__version__}", "decoded": decoded, "size": size,
            "errors": errors}


def check(workdir: Path) -> dict[str, Any]:
    from test_janus_rooms import Party

    problems: list[str] = []
    figures: dict[str, Any] = {"problems": problems}
    offset = time.time() - time.monotonic()  # the bot's clock to the browser's
    dump = workdir / "video.h264"
    page = PageServer()
    chromium = None
    with janus_server.JanusServer(workdir / "janus") as janus:
        os.environ["CORVEL_PARTY_VIDEO_DUMP"] = str(dump)
        bot = Party("janus+" + janus.url, BOT_USER, str(ROOM), "127.0.0.1", "--rate", "48000")
        try:
            bot.wait("OnEnterRoom", timeout=STEP_TIMEOUT)
            assert bot.do("audio")["result"] == 0
            url = (f"http://127.0.0.1:{page.port}/index.html?janus={janus.url}&room={ROOM}"
                   f"&user={BROWSER_USER}&probe=/probe&mic_ms={MIC_MS}&pips={PIPS}&messages=3")
            launched = time.monotonic()
            chromium = launch_chromium(url, workdir)
            page.wait("ready", STEP_TIMEOUT)
            figures["browser_ready_s"] = round(time.monotonic() - launched, 2)
            bot.wait("OnRemoteUserEnterRoom", timeout=STEP_TIMEOUT, user=BROWSER_USER)
            bot.do("subscribe", user=BROWSER_USER)
            bot.do("reset")
            time.sleep(MIC_MS / 1000 - 0.5)
            mic = bot.report()["users"].get(BROWSER_USER)
            bot.do("reset")
            bot.do("tone", freq=BOT_TONE_HZ, amp=8000, ms=2000, rate=48000)
            bot.do("pips", count=PIPS, every_ms=PIP_EVERY_MS, rate=48000)
            bot.do("messages", count=3, cmd=1)
            found = page.wait("done", STEP_TIMEOUT)
            left = time.monotonic()  # the page leaves once it said done
            heard = bot.report()["users"].get(BROWSER_USER) or {}
            bot.wait("OnRemoteUserExitRoom", timeout=STEP_TIMEOUT, user=BROWSER_USER)
            figures["browser_left_s"] = round(time.monotonic() - left, 2)
            frames = [e for e in bot.named("OnRemoteVideoFrameReceived")
                      if e["user"] == BROWSER_USER]
            got = [e for e in bot.named("OnReceiveCustomCmdMsg") if e["user"] == BROWSER_USER]
            bot_pips = [e["t"] + offset for e in bot.named("pip")]
        finally:
            if chromium is not None:
                stop_group(chromium)
            bot.close()
            page.close()

    # The browser's microphone at the bot.
    figures["mic_at_bot"] = mic
    if not mic or not mic.get("frames"):
        problems.append("the bot heard nothing of the browser's microphone")
    elif not mic.get("rms"):
        problems.append("the browser's microphone reached the bot silent")
    figures["mic_peak_hz"] = mic and mic.get("peak_hz")
    if mic and mic.get("rms") and abs(mic["peak_hz"] - FAKE_MIC_HZ) > 15:
        problems.append(f"the browser's beep ({FAKE_MIC_HZ} Hz) came as {mic['peak_hz']:.0f} Hz")

    # Pips both ways.
    in_browser = found["heard"].get(BOT_USER, {})
    to_browser = latencies_ms(bot_pips, [t / 1000 for t in in_browser.get("onsets", [])])
    to_bot = latencies_ms([t / 1000 for t in found["pips"]],
                          [t + offset for t in heard.get("onsets", [])])
    figures["bot_to_browser_ms"] = summary(to_browser)
    figures["browser_to_bot_ms"] = summary(to_bot)
    for name, values, sent in (("bot to browser", to_browser, len(bot_pips)),
                               ("browser to bot", to_bot, len(found["pips"]))):
        if len(values) < sent * 0.8:
            problems.append(f"{name}: {len(values)} of {sent} pips heard")

    # The bot's tone in the browser.
    peaks = {int(hz): n for hz, n in in_browser.get("peaks", {}).items()}
    near = sum(n for hz, n in peaks.items() if abs(hz - BOT_TONE_HZ) <= 10)
    figures["bot_tone_in_browser"] = {"near_440_hz": near, "energy": in_browser.get("energy")}
    figures["browser_jitter_buffer_ms"] = in_browser.get("jitter_buffer_ms")
    figures["browser_audio_output_ms"] = found.get("audio_output_ms")
    if near < 5:
        problems.append(f"the browser did not hear the bot's {BOT_TONE_HZ} Hz tone ({peaks})")

    # Messages both ways.
    texts = [m["text"] for m in found["messages"] if m["from"] == BOT_USER]
    figures["messages"] = {"to_browser": texts, "to_bot": [m["message"] for m in got]}
    if texts[:3] != ["m0", "m1", "m2"]:
        problems.append(f"the browser got {texts} from the bot")
    if [m["message"] for m in got][:3] != [f"hello {k} from {BROWSER_USER}" for k in range(3)]:
        problems.append(f"the bot got {got} from the browser")

    # The camera at the bot.
    decoded = decode_h264(dump) if dump.exists() else {"decoder": None}
    figures["video"] = {"frames": len(frames), "first_key": bool(frames and frames[0]["key"]),
                        "keys": sum(1 for e in frames if e["key"]),
                        "codec": found.get("video_codec"),
                        "browser_encoded": found.get("video_sent"), **decoded}
    if len(frames) < 10:
        problems.append(f"the bot got {len(frames)} video frames from the browser")
    elif not frames[0]["key"]:
        problems.append("the first video frame the bot got is not a key frame")
    if decoded.get("decoder") and (decoded["decoded"] < len(frames) * 0.9 or decoded["errors"]):
        problems.append(f"the browser's video did not decode whole: {decoded} of {len(frames)}")
    if found.get("errors"):
        problems.append(f"the page reported errors: {found['errors']}")
    return figures


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--logs", help="keep Chromium's and Janus' logs in this folder")
    args = parser.parse_args(argv)
    reason = unavailable_reason()
    if reason:
        print(f"browser check: cannot run here: {reason}")
        return CANNOT_RUN
    enter_namespace()
    with tempfile.TemporaryDirectory(prefix="corvel-browser-") as tmp:
        workdir = Path(tmp)
        try:
            figures = check(workdir)
        except (AssertionError, TimeoutError, RuntimeError) as exc:
            figures = {"problems": [f"{type(exc).__name__}: {exc}"]}
        if args.logs:
            Path(args.logs).mkdir(parents=True, exist_ok=True)
            for name in ("chromium.log", "janus/janus.log"):
                if (workdir / name).exists():
                    shutil.copy(workdir / name, Path(args.logs) / Path(name).name)
    print(json.dumps(figures, indent=1))
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1))
    for problem in figures["problems"]:
        print(f"browser check: FAILED: {problem}")
    if not figures["problems"]:
        print("browser check: passed")
    return 1 if figures["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
