"""engine/net's C++ tests: the units on their own, and the Janus client and
the room session against a Janus started here (tests/janus_server.py).

The GoogleTest programs come from $CORVEL_NET_BUILD_DIR when set (a CMake
build of engine/ with -DCORVEL_NET=ON -DCORVEL_ENGINE_GTESTS=ON), else they
are built into build/net (incremental after the first time). Skipped, with
the reason, when a build tool or a library is missing
(tools/system-deps-janus.sh --tests installs them)."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import threading
from pathlib import Path

import pytest
from janus_server import clean_environment, janus_fixture

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = ("net_units_test", "janus_client_test", "janus_room_test")
HEADERS = {
    "libopus-dev": ["/usr/include/opus/opus.h"],
    "libcurl4-openssl-dev": ["/usr/include/x86_64-linux-gnu/curl/curl.h",
                             "/usr/include/curl/curl.h"],
    "nlohmann-json3-dev": ["/usr/include/nlohmann/json.hpp"],
    "libgtest-dev": ["/usr/include/gtest/gtest.h"],
}
BUILD_TIMEOUT = 600
RUN_TIMEOUT = 120

janus = janus_fixture()
SHORT_SESSION_TIMEOUT = 3
janus_short_sessions = janus_fixture("function", session_timeout=SHORT_SESSION_TIMEOUT)
janus_to_restart = janus_fixture("function")
RESTART_TEST = "JanusRoomTest.ComesBackAfterTheServerRestartsOrReportsItGone"


def _missing_tools() -> list[str]:
    missing = [tool for tool in ("cmake", "c++") if shutil.which(tool) is None]
    missing += [pkg for pkg, paths in HEADERS.items() if not any(os.path.exists(p) for p in paths)]
    return missing


@pytest.fixture(scope="module")
def net_programs() -> dict[str, Path]:
    """Paths of the test programs, built if need be."""
    given = os.environ.get("CORVEL_NET_BUILD_DIR")
    build = Path(given) if given else ROOT / "build" / "net"
    def find() -> dict[str, Path]:
        found = {}
        for name in PROGRAMS:
            for candidate in (build / "net" / name, build / name):
                if candidate.exists():
                    found[name] = candidate
        return found
    if not given:
        missing = _missing_tools()
        if missing:
            pytest.skip("engine/net cannot be built here, missing: " + ", ".join(missing))
        configure = ["cmake", "-S", str(ROOT / "engine"), "-B", str(build), "-DCORVEL_NET=ON",
                     "-DCORVEL_ENGINE_GTESTS=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
        compile_ = ["cmake", "--build", str(build), "-j2", "--target", *PROGRAMS]
        for step in (configure, compile_):
            done = subprocess.run(step, capture_output=True, text=True, timeout=BUILD_TIMEOUT,
                                  env=clean_environment())
            assert done.returncode == 0, (
                f"{' '.join(step)} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}")
    programs = find()
    missing_programs = sorted(set(PROGRAMS) - set(programs))
    assert not missing_programs, f"not built in {build}: {missing_programs}"
    return programs


def _run(program: Path, env: dict[str, str] | None = None, *args: str) -> str:
    done = subprocess.run([str(program), *args], capture_output=True, text=True,
                          timeout=RUN_TIMEOUT, env={**clean_environment(), **(env or {})})
    output = done.stdout + done.stderr
    assert done.returncode == 0, output[-8000:]
    return output


@pytest.mark.slow
def test_units_pass(net_programs):
    output = _run(net_programs["net_units_test"])
    assert "[  PASSED  ]" in output
    assert "SKIPPED" not in output


@pytest.mark.slow
def test_janus_client_against_a_real_janus(net_programs, janus):
    output = _run(net_programs["janus_client_test"], {"CORVEL_JANUS_URL": janus.url},
                  "--gtest_filter=-JanusTest.SessionsLiveOnRequestsNotOnAHangingPoll")
    # The Janus tests ran (they skip without the URL), the two-party call among them.
    assert "SKIPPED" not in output, output[-4000:]
    assert "JanusTest.TwoPartiesHearEachOtherThroughTheRoom" in output
    # Each test cleaned up after itself: no room or remote publisher is left.
    rooms = janus.videoroom({"request": "list"})["list"]
    assert rooms == [], rooms


@pytest.mark.slow
def test_janus_client_session_expiry(net_programs, janus_short_sessions):
    """A session whose one long poll hangs expires; one that sends
    keepalives, or polls anew, does not (a Janus with a 3 s session timeout
    of its own)."""
    output = _run(net_programs["janus_client_test"],
                  {"CORVEL_JANUS_URL": janus_short_sessions.url,
                   "CORVEL_JANUS_SESSION_TIMEOUT": str(SHORT_SESSION_TIMEOUT)},
                  "--gtest_filter=JanusTest.SessionsLiveOnRequestsNotOnAHangingPoll")
    assert "SKIPPED" not in output, output[-4000:]
    assert "[  PASSED  ] 1 test" in output, output[-4000:]


@pytest.mark.slow
def test_janus_room_sessions_against_a_real_janus(net_programs, janus):
    """Two sessions in a room (audio both ways, messages, leave), leftovers of
    crashed engines, an absent server; prints the latency and CPU figures."""
    output = _run(net_programs["janus_room_test"], {"CORVEL_JANUS_URL": janus.url},
                  f"--gtest_filter=-{RESTART_TEST}")
    assert "SKIPPED" not in output, output[-4000:]
    assert "JanusRoomTest.TwoUsersHearAndMessageEachOtherThenOneLeaves" in output
    print("\n".join(line for line in output.splitlines() if line.startswith("figures:")))
    rooms = janus.videoroom({"request": "list"})["list"]
    assert rooms == [], rooms


@pytest.mark.slow
def test_janus_room_session_through_a_server_restart(net_programs, janus_to_restart):
    """The server is killed and started again on the same port mid-call, then
    hangs (SIGSTOP), then is killed for good: the program asks for each step
    on stdout ("@@janus kill" / "start" / "pause") and waits for our "ok" on
    stdin."""
    janus = janus_to_restart
    process = subprocess.Popen(
        [str(net_programs["janus_room_test"]), f"--gtest_filter={RESTART_TEST}"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        env={**clean_environment(), "CORVEL_JANUS_URL": janus.url,
             "CORVEL_JANUS_CONTROL": "stdio"})
    watchdog = threading.Timer(RUN_TIMEOUT, process.kill)
    watchdog.start()
    lines = []
    try:
        assert process.stdout is not None and process.stdin is not None
        for line in process.stdout:
            lines.append(line)
            step = line.strip()
            if step == "@@janus kill":
                janus.kill()
                janus.stop()
            elif step == "@@janus start":
                janus.start(keep_ports=True)
            elif step == "@@janus pause" and janus.pid is not None:
                os.kill(janus.pid, signal.SIGSTOP)
            else:
                continue
            process.stdin.write("ok\n")
            process.stdin.flush()
        status = process.wait()
    finally:
        watchdog.cancel()
        if process.poll() is None:
            process.kill()
            process.wait()
    output = "".join(lines)
    print("".join(line for line in lines if line.startswith("figures:")), end="")
    assert status == 0, output[-8000:]
    assert "SKIPPED" not in output, output[-4000:]
    assert f"[       OK ] {RESTART_TEST}" in output, output[-4000:]
