"""The eight process-wide settings functions: argument conversion, what the
engine receives, and what the engine does with the log settings."""

import gzip
import os
import subprocess
import sys
import textwrap

import pytest

import _corvel as corvel

import engine_probe as probe


@pytest.fixture(autouse=True)
def fresh_settings():
    probe.reset_settings()
    yield
    probe.reset_settings()


def last_call(name):
    return probe.settings()["last_calls"][name]


# --- argument conversion -----------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [
        lambda: corvel.SetLogPath(directory="/tmp"),             # unknown keyword
        lambda: corvel.SetLogPath(12),
        lambda: corvel.SetLogPath(),
        lambda: corvel.SetLogPath("/tmp", "/tmp"),
        lambda: corvel.SetLogPath("\udc80"),                      # not encodable as UTF-8
        lambda: corvel.SetLogLevel(2**31),
        lambda: corvel.SetLogLevel(-(2**31) - 1),
        lambda: corvel.SetLogLevel(1.5),
        lambda: corvel.SetLogLevel(2.0),
        lambda: corvel.SetLogLevel("2"),
        lambda: corvel.SetLogLevel(None),
        lambda: corvel.EnableConsoleLog(1),
        lambda: corvel.DisableConsoleLog(None),
        lambda: corvel.DisableLogFile("yes"),
        lambda: corvel.DisableLogCompress([]),
        lambda: corvel.SetSocks5Proxy("127.0.0.1", -1, None, None),
        lambda: corvel.SetSocks5Proxy("127.0.0.1", 65536, None, None),
        lambda: corvel.SetSocks5Proxy("127.0.0.1", 1080.0, None, None),
        lambda: corvel.SetSocks5Proxy("127.0.0.1", 1080, None),
        lambda: corvel.SetEnvironment(1),
    ],
)
def test_refused_arguments_raise_type_error_before_the_engine(call):
    before = probe.settings()["call_counts"]
    with pytest.raises(TypeError):
        call()
    assert probe.settings()["call_counts"] == before


def test_type_error_message_lists_the_signature():
    with pytest.raises(TypeError) as info:
        corvel.SetLogPath(directory="/tmp")
    text = str(info.value)
    assert "SetLogPath(): incompatible function arguments" in text
    assert "(path: str) -> bool" in text


@pytest.mark.parametrize(
    "level, expected",
    [(-1, -1), (0, 0), (2147483647, 2147483647), (-2147483648, -2147483648), (True, 1),
     (corvel.STREAM_TYPE_VIDEO_HIGH, 2), (corvel.ERR_INVALID_USER_SIG, -3320)],
)
def test_log_level_reaches_the_engine_unchanged(level, expected):
    assert corvel.SetLogLevel(level=level) is None
    assert last_call("SetLogLevel")["level"] == expected


@pytest.mark.parametrize(
    "function", [corvel.DisableLogFile, corvel.DisableLogCompress],
    ids=["DisableLogFile", "DisableLogCompress"])
@pytest.mark.parametrize(
    "value, expected", [(True, True), (False, False), (None, False), (0, False), (2, True),
                        (0.0, False), (0.5, True)])
def test_boolean_flags(function, value, expected):
    assert function(disabled=value) is None
    assert last_call(function.__name__)["disabled"] is expected


@pytest.mark.parametrize(
    "path, expected",
    [("/tmp/é", "/tmp/é".encode()), (b"/tmp/raw\xff", b"/tmp/raw\xff"),
     (bytearray(b"/tmp/ba"), b"/tmp/ba"), ("/tmp/cut\0here", b"/tmp/cut"), (None, None)],
)
def test_text_reaches_the_engine_as_bytes(path, expected):
    assert corvel.SetLogPath(path) is False  # none of these is a usable directory
    assert last_call("SetLogPath")["path"] == expected


def test_proxy_arguments_reach_the_engine_in_order():
    assert corvel.SetSocks5Proxy(password="pw", username="user", port=1080,
                                 ip=b"proxy.example") is True
    call = last_call("SetSocks5Proxy")
    assert (call["ip"], call["port"], call["username"], call["password"]) == (
        b"proxy.example", 1080, b"user", b"pw")


# --- engine behaviour ---------------------------------------------------------

@pytest.mark.parametrize(
    "ip, port, username, password, accepted",
    [
        ("127.0.0.1", 1080, None, None, True),
        ("::1", 1080, None, None, True),
        ("2001:db8::8a2e:370:7334", 65535, "u", "p", True),
        ("proxy-1.corp.example", 1, "", "", True),
        ("127.0.0.1", 0, None, None, False),          # port 0 converts but is refused
        ("", 1080, None, None, False),
        (None, 1080, None, None, False),
        ("999.1.1.1", 1080, None, None, False),       # neither an address nor a host name
        ("bad_host!", 1080, None, None, False),
        ("-leading.example", 1080, None, None, False),
        ("a" * 64 + ".example", 1080, None, None, False),
        ("127.0.0.1", 1080, "user", None, False),    # credentials come in pairs
        ("127.0.0.1", 1080, None, "secret", False),
    ],
)
def test_proxy_validation(ip, port, username, password, accepted):
    assert corvel.SetSocks5Proxy(ip, port, username, password) is accepted
    proxy = probe.settings()["proxy"]
    if accepted:
        assert proxy["ip"] == ip.encode() and proxy["port"] == port
    else:
        assert proxy is None  # a refused setting stores nothing


@pytest.mark.parametrize(
    "env, accepted",
    [("production", True), ("staging", True), ("test", True), ("loopback", True),
     ("Production", False), ("", False), ("dev", False), (None, False),
     # a Janus server: the scheme, a host, a port and a path are all needed
     ("janus+http://127.0.0.1:8088/janus", True), ("janus+http://media.example:80/j", True),
     ("janus+http://127.0.0.1/janus", False), ("janus+http://127.0.0.1:0/janus", False),
     ("janus+http://127.0.0.1:8088", False), ("janus+https://127.0.0.1:8088/janus", False),
     ("janus+http://bad host:8088/janus", False)],
)
def test_environment_names(env, accepted):
    assert corvel.SetEnvironment(env) is accepted
    if accepted:
        assert probe.settings()["environment"] == env


@pytest.mark.parametrize("path", ["/nonexistent/dir", "/etc/passwd", None, ""])
def test_unusable_log_paths_are_refused(path):
    assert corvel.SetLogPath(path) is False


def test_read_only_directory_is_refused(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root can write anywhere")
    tmp_path.chmod(0o500)
    assert corvel.SetLogPath(str(tmp_path)) is False


def log_text(directory):
    probe.flush_log()
    path = directory / "corvel.log"
    return path.read_text(errors="replace") if path.exists() else ""


def test_log_file_honours_level_and_file_switch(tmp_path):
    assert corvel.SetLogPath(str(tmp_path)) is True
    corvel.SetLogLevel(3)
    probe.log(2, "info-line-dropped")
    probe.log(4, "error-line-kept")
    text = log_text(tmp_path)
    assert "error-line-kept" in text and "info-line-dropped" not in text

    corvel.DisableLogFile(True)
    probe.log(4, "while-file-disabled")
    corvel.DisableLogFile(False)
    probe.log(4, "after-file-enabled")
    text = log_text(tmp_path)
    assert "while-file-disabled" not in text and "after-file-enabled" in text


@pytest.mark.parametrize("compress", [True, False])
def test_log_rotation(tmp_path, compress):
    assert corvel.SetLogPath(str(tmp_path)) is True
    corvel.DisableLogCompress(not compress)
    probe.set_log_rotate_bytes(4096)
    for i in range(200):
        probe.log(4, f"line {i:04d} " + "x" * 60)
    probe.flush_log()
    rotated = tmp_path / ("corvel.1.log.gz" if compress else "corvel.1.log")
    assert rotated.exists()
    data = gzip.decompress(rotated.read_bytes()) if compress else rotated.read_bytes()
    assert b"line " in data
    assert (tmp_path / "corvel.log").stat().st_size <= 4096 + 200


def test_console_log_goes_to_standard_error(tmp_path):
    code = textwrap.dedent("""
        import _corvel as corvel, engine_probe as probe
        corvel.EnableConsoleLog()
        probe.log(4, "to-the-console")
        corvel.DisableConsoleLog()
        probe.log(4, "not-to-the-console")
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60, env=env, cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr
    assert "to-the-console" in result.stderr
    assert "not-to-the-console" not in result.stderr
    assert result.stdout == ""


def test_settings_work_without_and_after_clouds():
    class Quiet(corvel.VORACloudDelegate):
        pass

    assert corvel.SetEnvironment("test") is True
    cloud = corvel.VORACloud(Quiet())
    del cloud
    assert corvel.SetEnvironment("staging") is True
    assert probe.settings()["environment"] == "staging"
