"""A private Janus media server for tests, on 127.0.0.1.

``JanusServer`` writes a minimal configuration into its own folder (the HTTP
transport and the admin API on free ports, the VideoRoom plugin and nothing
else), starts ``janus`` with it, waits until the server answers as itself and
stops it again: SIGTERM, then SIGKILL after a bound. Every wait is bounded.

    with JanusServer(tmp_path) as janus:
        janus.url          # "http://127.0.0.1:PORT/janus"
        janus.info()       # the server's {"janus":"server_info", ...}

    janus = janus_fixture()          # in a test module: a module-scoped fixture
    janus = janus_fixture("function", session_timeout=5)

``janus_fixture`` and ``require_janus`` skip the test, with the reason, when
no ``janus`` program is installed (tools/system-deps-janus.sh installs it).

Notes on Janus 1.1.2 that shape this helper:
* ``configs_folder`` in janus.jcfg is ignored: the folder is passed with -F,
  or the plugins read /etc/janus.
* A transport whose port is taken only logs and Janus keeps running, so a
  readiness poll could reach another server on that port: every instance
  gets a unique ``server_name`` and the poll checks it, retrying on new ports.
* VideoRoom remote-publisher ports always come from 10000-60000; the
  ``rtp_port_range`` here is for ICE only (unused without WebRTC).
"""

from __future__ import annotations

import glob
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path
from typing import Any

import pytest

ADMIN_SECRET = "corvel-admin"
HOST = "127.0.0.1"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
KILL_TIMEOUT = 5.0
REQUEST_TIMEOUT = 2.0

_instance_counter = itertools.count(1)


def janus_binary() -> str | None:
    """The janus program: $CORVEL_JANUS, else janus on PATH, else /usr/bin/janus."""
    explicit = os.environ.get("CORVEL_JANUS")
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    found = shutil.which("janus")
    if found:
        return found
    return "/usr/bin/janus" if os.access("/usr/bin/janus", os.X_OK) else None


def janus_lib_dir() -> str | None:
    """The folder with Janus' plugins/ and transports/ (multiarch aware)."""
    explicit = os.environ.get("CORVEL_JANUS_LIB")
    if explicit:
        return explicit
    candidates = sorted(glob.glob("/usr/lib/*/janus")) + ["/usr/lib/janus", "/usr/local/lib/janus"]
    for candidate in candidates:
        if os.path.exists(os.path.join(candidate, "plugins", "libjanus_videoroom.so")):
            return candidate
    return None


def unavailable_reason() -> str | None:
    """Why a Janus cannot be started here, or None when it can."""
    if janus_binary() is None:
        return "janus is not installed (tools/system-deps-janus.sh installs it)"
    if janus_lib_dir() is None:
        return "janus is installed but its VideoRoom plugin was not found"
    return None


def require_janus() -> None:
    """Skips the calling test when no Janus can be started."""
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)


def clean_environment() -> dict[str, str]:
    """The environment for programs that are not ours to instrument: the
    sanitizer runs preload their runtime into the test process."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")}


def free_port() -> int:
    """A TCP port free on 127.0.0.1 right now (the server's answer is checked
    afterwards, since another process may take it in between)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def _disable_list(folder: str, keep: set[str]) -> str:
    names = sorted(
        os.path.basename(p) for p in glob.glob(os.path.join(folder, "libjanus_*.so"))
        if os.path.basename(p) not in keep)
    return ",".join(names)


class JanusServer:
    """One janus process with its own configuration folder.

    Attributes once started: ``url`` (the Janus API), ``admin_url``,
    ``admin_secret``, ``http_port``, ``admin_port``, ``pid``, ``log_path``,
    ``server_name``, ``workdir``.
    """

    def __init__(self, workdir: str | os.PathLike[str] | None = None, *,
                 session_timeout: int = 20, debug_level: int = 4,
                 start_timeout: float = START_TIMEOUT) -> None:
        self._own_workdir = workdir is None
        if workdir is None:
            workdir = tempfile.mkdtemp(prefix="corvel-janus-")
        self.workdir = Path(workdir)
        self.session_timeout = session_timeout
        self.debug_level = debug_level
        self.start_timeout = start_timeout
        self.admin_secret = ADMIN_SECRET
        self.server_name = f"corvel-test-{os.getpid()}-{next(_instance_counter)}"
        self.http_port = 0
        self.admin_port = 0
        self.log_path = self.workdir / "janus.log"
        self._process: subprocess.Popen[bytes] | None = None
        self._log_file: Any = None

    # -- configuration -----------------------------------------------------

    def _write_config(self) -> None:
        lib = janus_lib_dir()
        if lib is None:
            raise RuntimeError(unavailable_reason() or "no janus")
        # ICE ports are never opened without WebRTC; still give each test
        # process its own block so parallel servers cannot meet there.
        ice_base = 20000 + (os.getpid() % 40) * 500
        cfg = self.workdir
        cfg.mkdir(parents=True, exist_ok=True)
        (cfg / "janus.jcfg").write_text(f"""general: {{
	configs_folder = "{cfg}"
	plugins_folder = "{lib}/plugins"
	transports_folder = "{lib}/transports"
	events_folder = "{lib}/events"
	loggers_folder = "{lib}/loggers"
	debug_level = {self.debug_level}
	debug_timestamps = true
	admin_secret = "{self.admin_secret}"
	session_timeout = {self.session_timeout}
	server_name = "{self.server_name}"
}}
media: {{ rtp_port_range = "{ice_base}-{ice_base + 499}" }}
nat: {{ nice_debug = false }}
plugins: {{ disable = "{_disable_list(lib + '/plugins', {'libjanus_videoroom.so'})}" }}
transports: {{ disable = "{_disable_list(lib + '/transports', {'libjanus_http.so'})}" }}
loggers: {{ disable = "{_disable_list(lib + '/loggers', set())}" }}
events: {{ broadcast = false }}
""")
        (cfg / "janus.transport.http.jcfg").write_text(f"""general: {{
	json = "compact"
	base_path = "/janus"
	http = true
	port = {self.http_port}
	ip = "{HOST}"
	https = false
}}
admin: {{
	admin_base_path = "/admin"
	admin_http = true
	admin_port = {self.admin_port}
	admin_ip = "{HOST}"
	admin_https = false
}}
""")
        (cfg / "janus.plugin.videoroom.jcfg").write_text("general: {\n}\n")

    # -- lifecycle ----------------------------------------------------------

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.http_port}/janus"

    @property
    def admin_url(self) -> str:
        return f"http://{HOST}:{self.admin_port}/admin"

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process else None

    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self, attempts: int = 3, *, keep_ports: bool = False) -> JanusServer:
        """Starts the server and waits until it answers as itself; on a port
        race tries again on new ports. ``keep_ports``: the ports of the last
        start, once (clients find the server where it was). Raises
        RuntimeError with the log tail."""
        binary = janus_binary()
        if binary is None:
            raise RuntimeError(unavailable_reason() or "no janus")
        keep_ports = keep_ports and self.http_port != 0
        last_error = ""
        for _ in range(1 if keep_ports else attempts):
            if not keep_ports:
                self.http_port = free_port()
                self.admin_port = free_port()
                while self.admin_port == self.http_port:
                    self.admin_port = free_port()
            self._write_config()
            self._log_file = open(self.log_path, "ab")
            self._process = subprocess.Popen(
                [binary, "-C", str(self.workdir / "janus.jcfg"), "-F", str(self.workdir), "-o"],
                stdin=subprocess.DEVNULL, stdout=self._log_file, stderr=subprocess.STDOUT,
                env=clean_environment(), start_new_session=True)
            error = self._wait_ready()
            if error is None:
                return self
            last_error = error
            self.stop()
        raise RuntimeError(f"janus did not start: {last_error}\n{self.log_tail()}")

    def _wait_ready(self) -> str | None:
        deadline = time.monotonic() + self.start_timeout
        error = "no answer"
        while time.monotonic() < deadline:
            if not self.running():
                return f"janus exited with {self._process.returncode if self._process else '?'}"
            try:
                info = self.info(timeout=0.5)
            except (OSError, ValueError) as exc:
                error = f"no answer ({exc})"
            else:
                if info.get("server-name") != self.server_name:
                    # Someone else is on this port, or our HTTP transport gave up.
                    return f"another server answered on port {self.http_port}"
                if "janus.plugin.videoroom" not in info.get("plugins", {}):
                    return "the VideoRoom plugin is not loaded"
                return None
            time.sleep(0.05)
        return f"not ready after {self.start_timeout} s: {error}"

    def stop(self) -> int | None:
        """SIGTERM, then SIGKILL after STOP_TIMEOUT. Returns the exit status
        (None if it was not started). Safe to call twice."""
        process, self._process = self._process, None
        status = None
        if process is not None:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(KILL_TIMEOUT)
            status = process.returncode
        if self._log_file is not None:
            self._log_file.close()
            self._log_file = None
        return status

    def kill(self) -> None:
        """SIGKILL, as a crash would; the server object can be started again."""
        if self._process is not None and self._process.poll() is None:
            self._process.kill()
            self._process.wait(KILL_TIMEOUT)

    def restart(self, *, keep_ports: bool = False) -> JanusServer:
        self.stop()
        return self.start(keep_ports=keep_ports)

    def cleanup(self) -> None:
        self.stop()
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self) -> JanusServer:
        try:
            return self.start()
        except BaseException:
            self.cleanup()
            raise

    def __exit__(self, *exc: object) -> None:
        self.cleanup()

    # -- requests -----------------------------------------------------------

    def _request(self, url: str, body: dict[str, Any] | None, timeout: float) -> Any:
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(url, data=data, method="GET" if data is None else "POST")
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            return json.loads(resp.read() or b"null")

    def info(self, timeout: float = REQUEST_TIMEOUT) -> dict[str, Any]:
        """GET /janus/info."""
        return self._request(self.url + "/info", None, timeout)

    def post(self, path: str, body: dict[str, Any], timeout: float = REQUEST_TIMEOUT) -> Any:
        """POSTs ``body`` (a transaction is added if missing) to url + path."""
        body = {"transaction": f"py{time.monotonic_ns()}", **body}
        return self._request(self.url + path, body, timeout)

    def admin(self, request: dict[str, Any], timeout: float = REQUEST_TIMEOUT) -> Any:
        """POSTs an admin API request (the secret and a transaction are added)."""
        body = {"transaction": f"py{time.monotonic_ns()}", "admin_secret": self.admin_secret,
                **request}
        return self._request(self.admin_url, body, timeout)

    def videoroom(self, request: dict[str, Any], timeout: float = REQUEST_TIMEOUT) -> Any:
        """A synchronous VideoRoom request through the admin API; returns its
        plugin answer (the ``response`` object)."""
        answer = self.admin({"janus": "message_plugin", "plugin": "janus.plugin.videoroom",
                             "request": request}, timeout)
        return answer.get("response", answer)

    def log_tail(self, lines: int = 40) -> str:
        try:
            text = self.log_path.read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])


def janus_fixture(scope: str = "module", **options: Any) -> Any:
    """A pytest fixture (assign it to a name in a test module) that yields a
    started JanusServer and stops it afterwards, on failure too; the test is
    skipped when no Janus is installed."""

    @pytest.fixture(scope=scope)  # type: ignore[misc]
    def _janus(tmp_path_factory: pytest.TempPathFactory) -> Any:
        require_janus()
        server = JanusServer(tmp_path_factory.mktemp("janus"), **options)
        with server:
            yield server

    return _janus
