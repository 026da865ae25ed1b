"""The test Janus of tests/janus_server.py: it starts as itself, answers the
Janus API, and stops, also after a crash."""

import contextlib
import http.server
import json
import socket
import threading
import urllib.error

import pytest
from janus_server import JanusServer, janus_fixture, require_janus

janus = janus_fixture()


def test_answers_info_and_runs_only_what_the_tests_need(janus):
    info = janus.info()
    assert info["janus"] == "server_info"
    assert info["server-name"] == janus.server_name
    assert set(info["plugins"]) == {"janus.plugin.videoroom"}
    assert set(info["transports"]) == {"janus.transport.http"}
    # The API and the admin API both listen on loopback only.
    assert janus.url.startswith("http://127.0.0.1:")
    assert janus.post("", {"janus": "ping"})["janus"] == "pong"
    assert janus.admin({"janus": "ping"})["janus"] == "pong"
    rooms = janus.videoroom({"request": "list"})
    assert rooms["videoroom"] == "success"


@pytest.mark.slow
def test_stop_after_a_kill_and_a_restart(tmp_path):
    require_janus()
    server = JanusServer(tmp_path)
    with server:
        first_port = server.http_port
        server.kill()
        assert not server.running()
        with pytest.raises((urllib.error.URLError, ConnectionError, OSError)):
            server.info(timeout=0.5)
        server.restart()
        assert server.running()
        assert server.info()["server-name"] == server.server_name
    assert not server.running()
    assert server.stop() is None
    # Nothing listens on the old ports any more.
    for port in (first_port, server.http_port):
        with socket.socket() as s:
            s.settimeout(0.5)
            assert s.connect_ex(("127.0.0.1", port)) != 0
    # A clean stop ends on the server's own goodbye.
    assert "Bye!" in server.log_path.read_text(errors="replace")


class _ForeignJanus(http.server.BaseHTTPRequestHandler):
    """Answers every GET like another Janus would."""

    def do_GET(self):
        body = json.dumps({"janus": "server_info", "server-name": "someone-else",
                           "plugins": {"janus.plugin.videoroom": {}}}).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("squatter", [
    "listener", pytest.param("foreign-janus", marks=pytest.mark.slow)])
def test_a_taken_port_is_noticed_and_another_is_chosen(tmp_path, monkeypatch, squatter):
    """When the HTTP port is taken between choosing and binding it, the start
    must neither hang nor take the other server for its own: it retries on
    new ports."""
    require_janus()
    import janus_server

    with contextlib.ExitStack() as stack:
        if squatter == "listener":
            sock = stack.enter_context(socket.socket())
            sock.bind(("127.0.0.1", 0))
            sock.listen()
            taken = sock.getsockname()[1]
        else:
            other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _ForeignJanus)
            stack.callback(other.server_close)
            threading.Thread(target=other.serve_forever, daemon=True).start()
            stack.callback(other.shutdown)
            taken = other.server_address[1]
        ports = iter([taken])
        real_free_port = janus_server.free_port
        monkeypatch.setattr(janus_server, "free_port",
                            lambda: next(ports, None) or real_free_port())
        with JanusServer(tmp_path / "j", start_timeout=3) as server:
            assert server.http_port != taken
            assert server.info()["server-name"] == server.server_name
