"""The loopback engine seen from Python: instance bookkeeping, settings records,
log rotation, operation records and callback injection through engine_probe."""

import faulthandler
import gc
import gzip
import os
import sys
import threading
import time

import pytest

_corvel = pytest.importorskip("_corvel")

import engine_probe as probe  # noqa: E402
from rooms_kit import Party  # noqa: E402


class Recorder(Party):
    """Party's record of every callback, with frames reduced to a few values."""

    def wait_for(self, count, timeout=5.0):
        return self.wait(lambda events: len(events) >= count, timeout)

    def OnRemoteAudioReceived(self, user_id, frame):
        self._add("OnRemoteAudioReceived", user_id, frame.sample_rate, frame.pts, frame.data)

    def OnRemoteMixedAudioReceived(self, frame):
        self._add("OnRemoteMixedAudioReceived", frame.data)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        self._add("OnRemoteVideoFrameReceived", user_id, int(stream_type))

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self._add("OnRemotePixelFrameReceived", user_id, int(stream_type))


def enter_params(user_id="alice"):
    params = _corvel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = 7
    params.room.user_id = _corvel.VoraString(user_id)
    params.room.user_sig = _corvel.VoraString("sig")
    return params


@pytest.fixture
def watchdog():
    """Turns a hang into a failure with tracebacks. Destroy waits for a callback
    in progress; a binding that kept the GIL across Destroy while that callback
    waits for the GIL would otherwise hang the whole run."""
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def clean_settings():
    probe.reset_settings()
    yield
    probe.reset_settings()


@pytest.fixture
def cloud():
    recorder = Recorder()
    instance = _corvel.VORACloud(recorder)
    yield instance, recorder, probe.last_instance()
    del instance
    gc.collect()


def test_instance_counters_follow_create_and_destroy():
    creates, destroys, live = probe.create_count(), probe.destroy_count(), probe.live_instances()
    first = _corvel.VORACloud(Recorder())
    id1 = probe.last_instance()
    second = _corvel.VORACloud(Recorder())
    assert probe.last_instance() > id1
    assert probe.live_instances() == live + 2
    assert probe.is_live(id1)
    del first, second
    gc.collect()
    assert (probe.create_count(), probe.destroy_count()) == (creates + 2, destroys + 2)
    assert probe.live_instances() == live
    assert not probe.is_live(id1)

    probe.fail_next_create()
    failed = _corvel.VORACloud(Recorder())
    assert probe.create_count() == creates + 3
    assert probe.last_instance() == id1 + 1  # no instance was made
    del failed
    gc.collect()
    assert probe.destroy_count() == destroys + 2  # a null engine is not destroyed


@pytest.mark.parametrize(
    "call, function, expected",
    [
        (lambda: _corvel.SetLogPath(None), "SetLogPath", {"path": None, "result": False}),
        (lambda: _corvel.SetLogPath(b"/no/such\xff"), "SetLogPath",
         {"path": b"/no/such\xff", "result": False}),
        (lambda: _corvel.SetLogLevel(-1), "SetLogLevel", {"level": -1}),
        (lambda: _corvel.DisableLogFile(True), "DisableLogFile", {"disabled": True}),
        (lambda: _corvel.DisableLogCompress(False), "DisableLogCompress", {"disabled": False}),
        (lambda: _corvel.SetSocks5Proxy(b"\xff", 0, None, ""), "SetSocks5Proxy",
         {"ip": b"\xff", "port": 0, "username": None, "password": b"", "result": False}),
        (lambda: _corvel.SetSocks5Proxy("::1", 65535, "u", "p"), "SetSocks5Proxy",
         {"ip": b"::1", "port": 65535, "username": b"u", "password": b"p", "result": True}),
        (lambda: _corvel.SetEnvironment(None), "SetEnvironment", {"env": None, "result": False}),
        (lambda: _corvel.SetEnvironment("loopback"), "SetEnvironment",
         {"env": b"loopback", "result": True}),
    ],
)
def test_settings_record_raw_arguments(clean_settings, call, function, expected):
    call()
    state = probe.settings()
    assert state["last_calls"][function] == expected
    assert state["call_counts"][function] == 1


@pytest.mark.parametrize("asked, stored", [(-1, 0), (0, 0), (4, 4), (6, 6), (2**31 - 1, 6)])
def test_log_level_is_clamped(clean_settings, asked, stored):
    _corvel.SetLogLevel(asked)
    assert probe.settings()["log"]["level"] == stored


@pytest.mark.parametrize("compress", [True, False])
def test_log_rotation_keeps_five_files(clean_settings, tmp_path, compress):
    assert _corvel.SetLogPath(str(tmp_path))
    _corvel.DisableLogCompress(not compress)
    probe.set_log_rotate_bytes(2000)
    for i in range(60):
        probe.log(2, f"line {i:03d} " + "x" * 200)
    probe.flush_log()
    suffix = ".log.gz" if compress else ".log"
    names = set(os.listdir(tmp_path))
    assert names == {"corvel.log"} | {f"corvel.{i}{suffix}" for i in range(1, 6)}
    newest = (tmp_path / f"corvel.1{suffix}").read_bytes()
    text = (gzip.decompress(newest) if compress else newest).decode()
    current = (tmp_path / "corvel.log").read_text()
    last_rotated = int(text.strip().splitlines()[-1].split("line ")[1][:3])
    assert f"line {last_rotated + 1:03d}" in current
    assert probe.settings()["log"]["rotations"] >= 5


def test_operations_are_recorded_with_raw_bytes(cloud):
    instance, _, iid = cloud
    assert instance.EnterRoom(enter_params("zoë")) == 0
    # Command ids are 1..10: refused, but recorded with the id as given.
    assert instance.SendCustomCmdMsg(-1, b"a\x00b", True, False) in (0, False)
    assert instance.Subscribe("bob", _corvel.STREAM_TYPE_AUDIO) == 0
    records = probe.calls(iid)
    assert [r["op"] for r in records] == ["EnterRoom", "SendCustomCmdMsg", "Subscribe"]
    room = records[0]["params"]["room"]
    assert room["user_id"] == "zoë".encode() and room["sdk_app_id"] == 1400000001
    assert room["str_room_id"] == b"" and room["custom_data"] == 0
    cmd = records[1]
    assert (cmd["cmd_id"], cmd["length"], cmd["message"]) == (2**32 - 1, 3, b"a\x00b")  # unsigned
    assert (cmd["reliable"], cmd["ordered"], cmd["result"]) == (True, False, False)
    assert records[2]["user_id"] == b"bob" and records[2]["type"] == 1


@pytest.mark.parametrize(
    "callback, args, kwargs, expected",
    [
        ("OnError", (-99999,), {}, ("OnError", -99999)),
        (1, (), {"error": -3317}, ("OnError", -3317)),
        ("OnConnectionStateChanged", (3, 1), {}, ("OnConnectionStateChanged", 3, 1)),
        ("OnRemoteAudioAvailable", (None, True), {}, ("OnRemoteAudioAvailable", None, True)),
        ("OnRemoteVideoAvailable", ("éa", False, 7), {},
         ("OnRemoteVideoAvailable", "éa", False, 7)),
        ("OnRemoteUserExitRoom", ("bob",), {"reason": -4}, ("OnRemoteUserExitRoom", "bob", -4)),
        ("OnRemoteAudioReceived", ("u",),
         {"frame": {"sample_rate": 8000, "pts": 9, "data": b"\0\1"}},
         ("OnRemoteAudioReceived", "u", 8000, 9, b"\0\1")),
        ("OnRemoteMixedAudioReceived", ({"data": b""},), {}, ("OnRemoteMixedAudioReceived", b"")),
        ("OnRemotePixelFrameReceived", ("p", 3, {"width": 1}), {},
         ("OnRemotePixelFrameReceived", "p", 3)),
        ("OnReceiveCustomCmdMsg", ("u", -1, 2**32 - 1, b"abc\xff", 2), {},
         ("OnReceiveCustomCmdMsg", "u", -1, 2**32 - 1, b"ab")),
    ],
)
def test_fire_delivers_on_an_engine_thread(cloud, callback, args, kwargs, expected):
    _, recorder, iid = cloud
    thread_ids = []
    recorder.hook = lambda event: thread_ids.append(threading.get_ident())
    assert probe.fire(iid, callback, *args, **kwargs) == probe.DELIVERED
    assert recorder.events == [expected]
    assert thread_ids[0] != threading.get_ident()


def test_invalid_utf8_user_id_is_reported_and_delivery_goes_on(cloud, monkeypatch):
    _, recorder, iid = cloud
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    errors = probe.stats(iid)["callback_errors"]
    assert probe.fire(iid, "OnRemoteAudioAvailable", b"\xff\xfe", True) == probe.DELIVERED
    assert probe.fire(iid, "OnEnterRoom") == probe.DELIVERED
    assert recorder.events == [("OnEnterRoom",)]
    # The module reports it (sys.unraisablehook); the engine sees a callback
    # that returned.
    assert probe.stats(iid)["callback_errors"] == errors
    assert [(r.err_msg, r.exc_type) for r in reports] == [
        ("Exception ignored in delegate callback OnRemoteAudioAvailable", UnicodeDecodeError)]


@pytest.mark.parametrize(
    "callback, kwargs",
    [
        (0, {}),
        ("OnError", {"error": 2**31}),
        ("OnReceiveCustomCmdMsg", {"message": b"ab", "length": 3}),
        ("OnReceiveCustomCmdMsg", {"message": None, "length": 1}),
        ("OnNetworkQuality", {"remote": [("a", 1)], "count": 2}),
        ("OnRemotePixelFrameReceived", {"frame": {"sample_rate": 1}}),
    ],
)
def test_fire_refuses_bad_arguments(cloud, callback, kwargs):
    _, recorder, iid = cloud
    with pytest.raises(ValueError):
        probe.fire(iid, callback, **kwargs)
    assert recorder.events == []


def test_fire_on_unknown_instance():
    assert probe.fire(2**63, "OnEnterRoom") == probe.UNKNOWN_INSTANCE
    with pytest.raises(KeyError):
        probe.calls(2**63)


def test_full_queue_drops_and_counts(watchdog):
    probe.set_queue_capacity(3)
    try:
        recorder = Recorder()
        gate = threading.Event()
        recorder.hook = lambda event: event[0] == "OnEnterRoom" and gate.wait(5)
        instance = _corvel.VORACloud(recorder)
        iid = probe.last_instance()
    finally:
        probe.set_queue_capacity(0)
    total = probe.dropped()
    assert probe.fire_many(iid, "OnEnterRoom", 1) == 1
    deadline = time.monotonic() + 5
    while probe.stats(iid)["queue_depth"] and time.monotonic() < deadline:
        time.sleep(0.001)
    # Media callbacks find the queue full; state callbacks go in past the limit.
    assert probe.fire_many(iid, "OnRequestKeyFrame", 5, 2) == 3
    assert probe.fire(iid, "OnRequestKeyFrame", 2, timeout=0) == probe.DROPPED
    assert probe.fire_many(iid, "OnExitRoom", 2) == 2
    assert probe.dropped(iid) == 3 and probe.dropped() == total + 3
    gate.set()
    assert probe.wait_idle(iid)
    assert [e[0] for e in recorder.events] == (["OnEnterRoom"] + ["OnRequestKeyFrame"] * 3
                                               + ["OnExitRoom"] * 2)
    del instance
    gc.collect()


def test_destroy_while_firehose_runs_stops_callbacks(watchdog):
    recorder = Recorder()
    # Slow callbacks keep one in progress or queued whenever Destroy comes.
    recorder.hook = lambda event: time.sleep(0.001)
    instance = _corvel.VORACloud(recorder)
    iid = probe.last_instance()
    assert probe.firehose_start(iid, "OnRequestKeyFrame", 2) == 0
    assert recorder.wait_for(20)
    del instance
    gc.collect()
    seen = len(recorder.events)
    time.sleep(0.05)
    assert len(recorder.events) == seen
    assert not probe.is_live(iid)
    assert probe.firehose_stop(iid) == probe.UNKNOWN_INSTANCE


def test_dropping_the_cloud_inside_its_own_callback(watchdog):
    recorder = Recorder()
    holder = [_corvel.VORACloud(recorder)]
    iid = probe.last_instance()
    recorder.hook = lambda event: event[0] == "OnEnterRoom" and holder.clear()
    assert holder[0].EnterRoom(enter_params()) == 0
    assert recorder.wait_for(3)
    time.sleep(0.05)
    assert [e[0] for e in recorder.events][-1] == "OnEnterRoom"
    assert len(recorder.events) == 3
    assert not probe.is_live(iid)
    assert probe.fire(iid, "OnEnterRoom") == probe.UNKNOWN_INSTANCE
