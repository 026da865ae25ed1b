"""The callback delegate: what each engine callback brings to a Python
subclass, what happens when a method is missing or fails, and the base
methods called from Python."""

import contextvars
import gc
import os
import sys
import threading
import time

import pytest

import _corvel as corvel

import engine_probe as probe

REQUIRED = probe.CALLBACKS[:18]
GUARDED = ("OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnNetworkQuality")
FORWARDED = probe.CALLBACKS[:22]

# Arguments the engine is asked to deliver, per callback.
FIRE_ARGS = {
    "OnError": (-3,),
    "OnConnectionStateChanged": (1, 3),
    "OnEnterRoom": (),
    "OnExitRoom": (),
    "OnLocalAudioChannelCreated": (),
    "OnLocalAudioChannelDestroyed": (),
    "OnLocalVideoChannelCreated": (3,),
    "OnLocalVideoChannelDestroyed": (2,),
    "OnRequestChangeVideoEncodeBitrate": (1, 2**31 - 1),
    "OnRequestKeyFrame": (4,),
    "OnRemoteUserEnterRoom": ("zoë",),
    "OnRemoteUserExitRoom": ("bob", 7),
    "OnRemoteAudioAvailable": ("é", True),
    "OnRemoteVideoAvailable": ("u", False, 3),
    "OnRemoteVideoFrameReceived": ("v", 1, {"pts": 2**32 - 1, "dts": 7, "is_key_frame": True,
                                            "codec": 1, "rotation": 3, "data": b"\0\1\2"}),
    "OnRemotePixelFrameReceived": ("p", 2, {"pts": 3, "width": 2, "height": 1, "format": 2,
                                            "rotation": 1, "data": bytes(range(8))}),
    "OnRemoteAudioReceived": ("a", {"sample_rate": 48000, "channels": 2, "bits_per_sample": 16,
                                    "codec": 2, "pts": 9, "has_voice": True, "data": b"ab\0"}),
    "OnRemoteMixedAudioReceived": ({"sample_rate": 8000, "pts": 1, "data": b"mix"},),
    "OnSeiMessageReceived": ("s", 3, -7, b"a\0b"),
    "OnReceiveCustomCmdMsg": ("c", 5, 6, b"m"),
    "OnMissCustomCmdMsg": ("m", 5, 6, 7),
    "OnNetworkQuality": (("me", 2), [("a", 1)]),
}

# What the Python method receives, made plain by plain().
RECEIVED = {
    "OnError": (("Error", -3),),
    "OnConnectionStateChanged": (("ConnectionState", 1), ("ConnectionState", 3)),
    "OnEnterRoom": (),
    "OnExitRoom": (),
    "OnLocalAudioChannelCreated": (),
    "OnLocalAudioChannelDestroyed": (),
    "OnLocalVideoChannelCreated": (("StreamType", 3),),
    "OnLocalVideoChannelDestroyed": (("StreamType", 2),),
    "OnRequestChangeVideoEncodeBitrate": (("StreamType", 1), 2**31 - 1),
    "OnRequestKeyFrame": (("StreamType", 4),),
    "OnRemoteUserEnterRoom": (("UserInfo", "zoë"),),
    "OnRemoteUserExitRoom": (("UserInfo", "bob"), 7),
    "OnRemoteAudioAvailable": ("é", True),
    "OnRemoteVideoAvailable": ("u", False, ("StreamType", 3)),
    "OnRemoteVideoFrameReceived": ("v", ("StreamType", 1), {
        "type": "VideoFrame", "pts": 2**32 - 1, "dts": 7, "is_key_frame": True,
        "codec": ("VideoCodecType", 1), "rotation": ("VideoRotation", 3), "data": b"\0\1\2"}),
    "OnRemotePixelFrameReceived": ("p", ("StreamType", 2), {
        "type": "PixelFrame", "pts": 3, "width": 2, "height": 1,
        "format": ("VideoPixelFormat", 2), "rotation": ("VideoRotation", 1),
        "data": bytes(range(8))}),
    "OnRemoteAudioReceived": ("a", {
        "type": "AudioFrame", "sample_rate": 48000, "channels": 2, "bits_per_sample": 16,
        "codec": ("AudioCodecType", 2), "pts": 9, "has_voice": True, "data": b"ab\0"}),
    "OnRemoteMixedAudioReceived": ({
        "type": "AudioFrame", "sample_rate": 8000, "channels": 1, "bits_per_sample": 16,
        "codec": ("AudioCodecType", 0), "pts": 1, "has_voice": False, "data": b"mix"},),
    "OnSeiMessageReceived": ("s", ("StreamType", 3), -7, b"a\0b"),
    "OnReceiveCustomCmdMsg": ("c", 5, 6, b"m"),
    "OnMissCustomCmdMsg": ("m", 5, 6, 7),
    "OnNetworkQuality": (("NetworkQualityInfo", "me", ("NetworkQuality", 2)),
                         [("NetworkQualityInfo", "a", ("NetworkQuality", 1))]),
}

FRAME_FIELDS = {
    "VideoFrame": ("pts", "dts", "is_key_frame", "codec", "rotation", "data"),
    "PixelFrame": ("pts", "width", "height", "format", "rotation", "data"),
    "AudioFrame": ("sample_rate", "channels", "bits_per_sample", "codec", "pts", "has_voice",
                   "data"),
}


def plain(value):
    """Callback arguments as comparable plain values (enumerations keep their
    type name, records and frames become tuples and dicts)."""
    if isinstance(value, (tuple, list)):
        return type(value)(plain(v) for v in value)
    if hasattr(type(value), "__members__"):
        return (type(value).__name__, int(value))
    if isinstance(value, corvel.UserInfo):
        return ("UserInfo", value.user_id.GetValue())
    if isinstance(value, corvel.NetworkQualityInfo):
        return ("NetworkQualityInfo", value.user_id.GetValue(), plain(value.quality))
    name = type(value).__name__
    if name in FRAME_FIELDS:
        out = {"type": name}
        out.update({f: plain(getattr(value, f)) for f in FRAME_FIELDS[name]})
        return out
    return value


class Recorder(corvel.VORACloudDelegate):
    """Records (name, arguments, thread id) for each of the 22 forwarded callbacks."""

    def __init__(self):
        super().__init__()
        self.events = []

    def _record(self, name, *args):
        self.events.append((name, args, threading.get_ident()))


def _recording_method(name):
    return lambda self, *args: self._record(name, *args)


for _name in FORWARDED:
    setattr(Recorder, _name, _recording_method(_name))


class Bare(corvel.VORACloudDelegate):
    """Defines no callback at all."""


@pytest.fixture
def recorded():
    recorder = Recorder()
    cloud = corvel.VORACloud(recorder)
    instance = probe.last_instance()
    yield recorder, instance
    del cloud
    if probe.is_live(instance):  # left in a reference cycle
        gc.collect()


@pytest.fixture
def engine_log(tmp_path):
    """The text of the engine log, read after flushing it."""
    probe.reset_settings()
    assert corvel.SetLogPath(str(tmp_path))

    def read():
        probe.flush_log()
        return (tmp_path / "corvel.log").read_text(errors="replace")

    yield read
    probe.reset_settings()


@pytest.fixture
def stderr(capfd):
    """Reads what was written to fd 2 since the last read, with the engine's
    console log (also fd 2) off meanwhile."""
    console = probe.settings()["log"]["console"]
    corvel.DisableConsoleLog()
    capfd.readouterr()
    yield lambda: capfd.readouterr().err
    if console:
        corvel.EnableConsoleLog()


@pytest.fixture
def unraisable(monkeypatch):
    """The reports that reach sys.unraisablehook during the test, as
    (err_msg, exc_type, exc_value, object) tuples."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(
        (report.err_msg, report.exc_type, report.exc_value, report.object)))
    return reports


def pure_virtual(name):
    return f'Tried to call pure virtual function "VORACloudDelegate::{name}"'


def cloud_of(delegate_class):
    """A cloud on a new instance of delegate_class, with its engine id."""
    cloud = corvel.VORACloud(delegate_class())
    return cloud, probe.last_instance()


def errors_of(instance):
    return probe.stats(instance)["callback_errors"]


# ---- delivery and conversion ----


@pytest.mark.parametrize("name", FORWARDED)
def test_each_callback_arrives_converted_on_an_engine_thread(recorded, name):
    recorder, instance = recorded
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    received = [(n, repr(plain(args))) for n, args, _ in recorder.events]
    assert received == [(name, repr(RECEIVED[name]))]
    assert recorder.events[0][2] != threading.get_ident()


@pytest.mark.parametrize("name, args, position", [
    ("OnRemoteUserEnterRoom", (None,), 0),
    ("OnRemoteUserExitRoom", (None, 0), 0),
    ("OnRemoteAudioAvailable", (None, True), 0),
    ("OnRemoteVideoAvailable", (None, True, 1), 0),
    ("OnRemoteVideoFrameReceived", (None, 1, {}), 0),
    ("OnRemotePixelFrameReceived", (None, 1, {}), 0),
    ("OnRemoteAudioReceived", (None, {}), 0),
    ("OnSeiMessageReceived", (None, 1, 0, b"x"), 0),
    ("OnReceiveCustomCmdMsg", (None, 0, 0, b"x"), 0),
    ("OnMissCustomCmdMsg", (None, 0, 0, 0), 0),
    ("OnNetworkQuality", ((None, 1), [(None, 2)]), 1),
])
def test_null_user_id_arrives_as_none(recorded, name, args, position):
    recorder, instance = recorded
    assert probe.fire(instance, name, *args) == probe.DELIVERED
    received = plain(recorder.events[0][1][position])
    if isinstance(received, list):  # the remote records of OnNetworkQuality
        received = received[0][1]
    elif isinstance(received, tuple):  # a UserInfo
        received = received[1]
    assert received is None


@pytest.mark.parametrize("name, args, received", [
    ("OnError", (-8,), (("Error", -8),)),
    ("OnError", (2**31 - 1,), (("Error", 2**31 - 1),)),
    ("OnConnectionStateChanged", (9, 2**32 - 1),
     (("ConnectionState", 9), ("ConnectionState", 2**32 - 1))),
    ("OnLocalVideoChannelCreated", (5,), (("StreamType", 5),)),
    ("OnRequestKeyFrame", (-1,), (("StreamType", -1),)),
    ("OnRequestChangeVideoEncodeBitrate", (0, -2**31), (("StreamType", 0), -2**31)),
    ("OnRemoteUserExitRoom", ("u", -1), (("UserInfo", "u"), -1)),
    ("OnReceiveCustomCmdMsg", ("u", -1, 2**32 - 1, b""), ("u", -1, 2**32 - 1, b"")),
    ("OnReceiveCustomCmdMsg", ("u", -2**31, 0, b""), ("u", -2**31, 0, b"")),
    ("OnMissCustomCmdMsg", ("u", -1, 2**32 - 1, 2**32 - 1), ("u", -1, 2**32 - 1, 2**32 - 1)),
    ("OnSeiMessageReceived", ("u", 7, -2**31, b"x"), ("u", ("StreamType", 7), -2**31, b"x")),
    ("OnNetworkQuality", (("u", 9), []),
     (("NetworkQualityInfo", "u", ("NetworkQuality", 9)), [])),
])
def test_extreme_numbers_and_values_without_a_member(recorded, name, args, received):
    recorder, instance = recorded
    assert probe.fire(instance, name, *args) == probe.DELIVERED
    assert repr(plain(recorder.events[0][1])) == repr(received)


MESSAGE_NUMBERS = {"OnSeiMessageReceived": (corvel.STREAM_TYPE_AUDIO, 1),
                   "OnReceiveCustomCmdMsg": (-1, 2**32 - 1)}


@pytest.mark.parametrize("name", ["OnSeiMessageReceived", "OnReceiveCustomCmdMsg"])
@pytest.mark.parametrize("message, length, received", [
    (b"\0a\0b\0", None, b"\0a\0b\0"),
    (b"abc", 0, b""),
    (b"", None, b""),
    (b"ab\0cd", 3, b"ab\0"),
    (None, 0, b""),
])
def test_messages_arrive_as_bytes_of_the_given_length(recorded, name, message, length, received):
    recorder, instance = recorded
    kwargs = {} if length is None else {"length": length}
    assert probe.fire(instance, name, "u", 1, 2, message, **kwargs) == probe.DELIVERED
    payload = recorder.events[0][1][3]
    assert type(payload) is bytes and payload == received


@pytest.mark.parametrize("local, remote, count, received", [
    (None, [], 0, (("NetworkQualityInfo", "", ("NetworkQuality", 6)), [])),
    (("l", 1), [("a", 1), ("b", 9), (None, 3)], 3,
     (("NetworkQualityInfo", "l", ("NetworkQuality", 1)),
      [("NetworkQualityInfo", "a", ("NetworkQuality", 1)),
       ("NetworkQualityInfo", "b", ("NetworkQuality", 9)),
       ("NetworkQualityInfo", None, ("NetworkQuality", 3))])),
    (("l", 0), [("a", 1), ("b", 2)], 1,
     (("NetworkQualityInfo", "l", ("NetworkQuality", 0)),
      [("NetworkQualityInfo", "a", ("NetworkQuality", 1))])),
    (None, None, 0, (("NetworkQualityInfo", "", ("NetworkQuality", 6)), [])),
])
def test_network_quality_records(recorded, local, remote, count, received):
    recorder, instance = recorded
    assert probe.fire(instance, "OnNetworkQuality", local, remote, count) == probe.DELIVERED
    assert repr(plain(recorder.events[0][1])) == repr(received)


@pytest.mark.parametrize("name", ["OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
                                  "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived",
                                  "OnRemoteUserEnterRoom", "OnNetworkQuality"])
def test_values_kept_after_the_callback_stay_readable_and_unchanged(recorded, name):
    recorder, instance = recorded
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    kept = recorder.events[0][1]
    # Later deliveries of other values must not show through the kept ones.
    other = {"OnRemoteUserEnterRoom": ("someone else",),
             "OnNetworkQuality": (("x", 5), [("y", 4), ("z", 3)])}.get(name)
    if other is None:
        frame = dict(FIRE_ARGS[name][-1], pts=1234, data=b"\xee" * len(FIRE_ARGS[name][-1]["data"]))
        other = FIRE_ARGS[name][:-1] + (frame,)
    assert probe.fire_many(instance, name, 50, *other) == 50
    assert probe.wait_idle(instance)
    gc.collect()
    assert repr(plain(kept)) == repr(RECEIVED[name])
    assert repr(plain(recorder.events[-1][1])) != repr(RECEIVED[name])


def test_a_method_named_like_the_native_overloads_receives_neither_form():
    class Native(Recorder):
        def OnRemoteVideoReceived(self, *args):
            self._record("OnRemoteVideoReceived", *args)

    recorder = Native()
    cloud = corvel.VORACloud(recorder)
    instance = probe.last_instance()
    for name in ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived"):
        assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert [e[0] for e in recorder.events] == ["OnRemoteVideoFrameReceived",
                                               "OnRemotePixelFrameReceived"]
    del cloud


@pytest.mark.parametrize("slot, args", [(23, ([("a", 1)], 1, 5)), (24, ("a", "b")),
                                         (25, (1, "x"))])
def test_callbacks_beyond_the_forwarded_ones_do_nothing(stderr, slot, args):
    class Listener(Recorder):
        pass

    for name in ("OnUserVoiceVolume", "OnReceiveAsrMessage", "OnAsrServiceError"):
        setattr(Listener, name, _recording_method(name))
    recorder = Listener()
    cloud = corvel.VORACloud(recorder)
    instance = probe.last_instance()
    assert probe.fire(instance, slot, *args) == probe.DELIVERED
    assert recorder.events == [] and errors_of(instance) == 0
    assert stderr() == ""
    del cloud


@pytest.mark.parametrize("name, args", [("OnRequestKeyFrame", (2,)),
                                         ("OnReceiveCustomCmdMsg", ("u", 1, 2, b"m"))])
def test_each_callback_starts_with_fresh_per_thread_state(name, args):
    local = threading.local()
    variable = contextvars.ContextVar("variable", default="unset")
    seen = []

    def method(self, *received):
        seen.append((getattr(local, "value", None), variable.get(), sys.gettrace()))
        local.value = "left behind"
        variable.set("left behind")
        sys.settrace(lambda *trace: None)

    cloud, instance = cloud_of(type("Leaving", (Recorder,), {name: method}))
    for _ in range(3):
        assert probe.fire(instance, name, *args) == probe.DELIVERED
    assert seen == [(None, "unset", None)] * 3
    del cloud


# ---- missing methods ----


@pytest.mark.parametrize("name", REQUIRED)
def test_missing_required_method_is_reported_and_delivery_goes_on(unraisable, stderr, name):
    cloud = corvel.VORACloud(delegate := Bare())
    instance = probe.last_instance()
    other = "OnExitRoom" if name == "OnEnterRoom" else "OnEnterRoom"
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert probe.fire(instance, other) == probe.DELIVERED
    assert [(m, t, str(v), o) for m, t, v, o in unraisable] == [
        (f"Exception ignored in delegate callback {name}", RuntimeError, pure_virtual(name),
         delegate),
        (f"Exception ignored in delegate callback {other}", RuntimeError, pure_virtual(other),
         delegate),
    ]
    assert errors_of(instance) == 0  # the engine saw a callback that returned
    del cloud


def test_unraisable_report_goes_to_stderr_by_default(stderr, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)  # not pytest's
    cloud, instance = cloud_of(Bare)
    assert probe.fire(instance, "OnEnterRoom") == probe.DELIVERED
    err = stderr()
    assert err.startswith("Exception ignored in delegate callback OnEnterRoom: <test_delegate.Bare")
    assert err.rstrip().endswith(f"RuntimeError: {pure_virtual('OnEnterRoom')}")
    del cloud


@pytest.mark.parametrize("name", ["OnMissCustomCmdMsg", *GUARDED])
def test_missing_optional_method_does_nothing(stderr, name):
    cloud, instance = cloud_of(Bare)
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert errors_of(instance) == 0
    assert stderr() == ""
    del cloud


@pytest.mark.parametrize("name", ["OnMissCustomCmdMsg", *GUARDED])
def test_method_added_after_it_was_found_missing_is_called(name):
    calls = []

    class Late(corvel.VORACloudDelegate):
        pass

    cloud, instance = cloud_of(Late)
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert calls == []
    setattr(Late, name, lambda self, *args: calls.append(args))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    other, other_instance = cloud_of(Late)
    assert probe.fire(other_instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert len(calls) == 2
    # Removed again: back to the base behaviour, for every instance.
    delattr(Late, name)
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert len(calls) == 2
    del cloud, other


def test_required_method_added_and_removed_later_is_seen(unraisable):
    calls = []

    class Late(Recorder):
        pass

    name = "OnRequestKeyFrame"
    cloud, instance = cloud_of(Late)
    setattr(Late, name, lambda self, *args: calls.append(args))
    assert probe.fire(instance, name, 2) == probe.DELIVERED
    assert len(calls) == 1
    delattr(Late, name)  # Recorder's own method again
    assert probe.fire(instance, name, 2) == probe.DELIVERED
    assert len(calls) == 1 and unraisable == []
    del cloud


# ---- what counts as an override ----


def test_callable_set_on_one_instance_overrides_for_that_instance_only(unraisable):
    import collections

    class Mixer(Recorder):
        pass

    one, two = Mixer(), Mixer()
    frames = collections.deque()
    one.OnRemoteMixedAudioReceived = frames.append  # a builtin
    clouds = [corvel.VORACloud(one), corvel.VORACloud(two)]
    first, second = probe.live_ids()[-2:]
    args = FIRE_ARGS["OnRemoteMixedAudioReceived"]
    for _ in range(2):
        assert probe.fire(first, "OnRemoteMixedAudioReceived", *args) == probe.DELIVERED
        assert probe.fire(second, "OnRemoteMixedAudioReceived", *args) == probe.DELIVERED
    assert [plain(f) for f in frames] == [RECEIVED["OnRemoteMixedAudioReceived"][0]] * 2
    assert one.events == []
    assert [e[0] for e in two.events] == ["OnRemoteMixedAudioReceived"] * 2
    # A third instance made afterwards still has the class's method.
    three = Mixer()
    clouds.append(corvel.VORACloud(three))
    assert probe.fire(probe.last_instance(), "OnRemoteMixedAudioReceived", *args) == \
        probe.DELIVERED
    assert [e[0] for e in three.events] == ["OnRemoteMixedAudioReceived"]
    assert unraisable == []
    del clouds


@pytest.mark.parametrize("kind", ["partial", "builtin", "callable-object", "staticmethod",
                                  "instance-partial"])
def test_any_callable_found_is_the_override(unraisable, kind):
    import functools

    calls = []

    class Callable:
        def __call__(self, *args):
            calls.append(args)

    def record(*args):
        calls.append(args)

    class Custom(Recorder):
        pass

    delegate = Custom()
    if kind == "partial":
        Custom.OnRequestKeyFrame = functools.partial(record, "partial")
    elif kind == "builtin":
        Custom.OnRequestKeyFrame = calls.append  # called with the stream type alone
    elif kind == "callable-object":
        Custom.OnRequestKeyFrame = Callable()
    elif kind == "staticmethod":
        Custom.OnRequestKeyFrame = staticmethod(record)
    else:
        delegate.OnRequestKeyFrame = functools.partial(record, "instance")
    cloud = corvel.VORACloud(delegate)
    assert probe.fire(probe.last_instance(), "OnRequestKeyFrame", 4) == probe.DELIVERED
    assert len(calls) == 1, calls
    received = calls[0] if isinstance(calls[0], tuple) else (calls[0],)
    assert plain(received[-1]) == ("StreamType", 4), calls
    assert delegate.events == [] and unraisable == []
    del cloud


def test_base_method_set_on_an_instance_is_not_an_override(unraisable):
    delegate = Recorder()
    delegate.OnRequestKeyFrame = corvel.VORACloudDelegate.OnRequestKeyFrame.__get__(delegate)
    cloud = corvel.VORACloud(delegate)
    assert probe.fire(probe.last_instance(), "OnRequestKeyFrame", 4) == probe.DELIVERED
    assert delegate.events == []
    assert [(m, str(v)) for m, _, v, _ in unraisable] == [
        ("Exception ignored in delegate callback OnRequestKeyFrame",
         pure_virtual("OnRequestKeyFrame"))]
    del cloud


# ---- failures inside callbacks ----


def _raiser(exception):
    def method(self, *args):
        raise exception
    return method


@pytest.mark.parametrize("name", GUARDED)
@pytest.mark.parametrize("exception, description", [
    (ValueError("bad value"), "ValueError: bad value"),
    (SystemExit(3), "SystemExit: 3"),
    (KeyboardInterrupt(), "KeyboardInterrupt"),
    (UnicodeError("\xe9"), "UnicodeError: \xe9"),
])
def test_guarded_callback_errors_are_printed_and_swallowed(stderr, name, exception, description):
    cloud, instance = cloud_of(type("Failing", (Recorder,), {name: _raiser(exception)}))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert probe.fire(instance, "OnEnterRoom") == probe.DELIVERED
    err = stderr()
    assert err.startswith(f"python callback {name} error: {description}")
    assert err.endswith("\n") and err.count("python callback") == 1
    assert errors_of(instance) == 0
    del cloud


@pytest.mark.parametrize("name", GUARDED)
def test_guarded_callback_with_wrong_parameter_count(stderr, name):
    cloud, instance = cloud_of(type("Narrow", (Recorder,), {name: lambda self: None}))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert stderr().startswith(f"python callback {name} error: TypeError: ")
    assert errors_of(instance) == 0
    del cloud


@pytest.mark.parametrize("name", GUARDED)
@pytest.mark.parametrize("value", [5, None, "text"])
def test_guarded_callback_that_is_not_callable_prints_unknown_error(stderr, name, value):
    cloud, instance = cloud_of(type("NotCallable", (Recorder,), {name: value}))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert stderr() == "unknown error\n"
    assert errors_of(instance) == 0
    del cloud


@pytest.mark.parametrize("name", ["OnSeiMessageReceived", "OnReceiveCustomCmdMsg"])
def test_guarded_callback_with_undecodable_user_id(stderr, recorded, name):
    recorder, instance = recorded
    assert probe.fire(instance, name, b"\xffu", 1, 2, b"m") == probe.DELIVERED
    assert probe.fire(instance, name, "u", 1, 2, b"m") == probe.DELIVERED
    err = stderr()
    assert err.startswith(f"python callback {name} error: UnicodeDecodeError: ")
    assert err.count("\n") == 1
    assert [e[0] for e in recorder.events] == [name] and errors_of(instance) == 0


@pytest.mark.parametrize("name", ["OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
                                  "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
                                  "OnRemoteAudioReceived"])
def test_required_callback_with_undecodable_user_id_is_reported(unraisable, stderr, recorded,
                                                                name):
    recorder, instance = recorded
    args = (b"\xfe",) + FIRE_ARGS[name][1:]
    assert probe.fire(instance, name, *args) == probe.DELIVERED
    assert probe.fire(instance, "OnExitRoom") == probe.DELIVERED
    assert [e[0] for e in recorder.events] == ["OnExitRoom"]
    assert errors_of(instance) == 0
    assert [(m, t, o) for m, t, _, o in unraisable] == [
        (f"Exception ignored in delegate callback {name}", UnicodeDecodeError, recorder)]
    assert "python callback" not in stderr()


@pytest.mark.parametrize("name", [*REQUIRED, "OnMissCustomCmdMsg"])
def test_exception_raised_by_a_callback_is_reported_once(unraisable, name):
    failure = LookupError(f"refused {name}")
    cloud, instance = cloud_of(type("Failing", (Recorder,), {name: _raiser(failure)}))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert probe.fire(instance, "OnError", -1 if name != "OnError" else -2) == probe.DELIVERED
    assert len(unraisable) == 1
    err_msg, exc_type, exc_value, obj = unraisable[0]
    assert err_msg == f"Exception ignored in delegate callback {name}"
    assert exc_type is LookupError and exc_value is failure
    assert isinstance(obj, Recorder) and errors_of(instance) == 0
    del cloud


@pytest.mark.parametrize("exception", [SystemExit(3), KeyboardInterrupt()])
def test_exit_exceptions_in_a_callback_are_reported_not_raised(unraisable, exception):
    cloud, instance = cloud_of(type("Leaving", (Recorder,), {"OnEnterRoom": _raiser(exception)}))
    assert probe.fire(instance, "OnEnterRoom") == probe.DELIVERED
    assert [(m, v) for m, _, v, _ in unraisable] == [
        ("Exception ignored in delegate callback OnEnterRoom", exception)]
    del cloud


@pytest.mark.parametrize("name", ["OnEnterRoom", "OnRemoteAudioReceived", "OnMissCustomCmdMsg"])
def test_callback_with_wrong_parameter_count_is_reported(unraisable, name):
    cloud, instance = cloud_of(type("Narrow", (Recorder,), {name: lambda self, a, b, c, d, e: 0}))
    assert probe.fire(instance, name, *FIRE_ARGS[name]) == probe.DELIVERED
    assert [(m, t) for m, t, _, _ in unraisable] == [
        (f"Exception ignored in delegate callback {name}", TypeError)]
    del cloud


@pytest.mark.parametrize("value", [5, None])
def test_required_callback_that_is_not_callable_is_reported(unraisable, value):
    cloud, instance = cloud_of(type("NotCallable", (Recorder,), {"OnEnterRoom": value}))
    assert probe.fire(instance, "OnEnterRoom") == probe.DELIVERED
    assert [(m, t) for m, t, _, _ in unraisable] == [
        ("Exception ignored in delegate callback OnEnterRoom", TypeError)]
    del cloud


def test_repeated_failures_are_reported_once_and_summarised_when_the_cloud_ends(unraisable):
    class Failing(Recorder):
        def OnRemoteAudioReceived(self, user_id, frame):
            raise ValueError(f"bad frame from {user_id}")

        def OnRequestKeyFrame(self, stream_type):
            raise ValueError("no key frame")

    delegate = Failing()
    cloud = corvel.VORACloud(delegate)
    instance = probe.last_instance()
    args = FIRE_ARGS["OnRemoteAudioReceived"]
    assert probe.fire_many(instance, "OnRemoteAudioReceived", 50, *args) == 50
    assert probe.wait_idle(instance)
    # Another callback, or another exception type, is another key.
    assert probe.fire(instance, "OnRequestKeyFrame", 2) == probe.DELIVERED
    assert probe.fire(instance, "OnEnterRoom") == probe.DELIVERED
    assert [m for m, _, _, _ in unraisable] == [
        "Exception ignored in delegate callback OnRemoteAudioReceived",
        "Exception ignored in delegate callback OnRequestKeyFrame"]
    Failing.OnRemoteAudioReceived = _raiser(KeyError("other"))
    assert probe.fire(instance, "OnRemoteAudioReceived", *args) == probe.DELIVERED
    assert [t for _, t, _, _ in unraisable][2:] == [KeyError]
    del unraisable[:]
    # The 49 counted are reported once when the cloud ends.
    del cloud
    gc.collect()
    assert len(unraisable) == 1, unraisable
    err_msg, exc_type, exc_value, obj = unraisable[0]
    assert err_msg.startswith("Exception ignored in delegate callback OnRemoteAudioReceived "
                              "(49 more times in the last ")
    assert err_msg.endswith(" s, before a cloud of it ended)")
    assert exc_type is ValueError and str(exc_value) == "bad frame from a"
    assert obj is delegate


@pytest.mark.slow
def test_repeated_failures_are_summarised_at_a_bounded_rate(unraisable):
    class Failing(Recorder):
        def OnRequestKeyFrame(self, stream_type):
            raise ValueError("no key frame")

    cloud, instance = cloud_of(Failing)
    assert probe.fire_many(instance, "OnRequestKeyFrame", 10, 2) == 10
    assert probe.wait_idle(instance)
    assert len(unraisable) == 1
    time.sleep(5.2)
    assert probe.fire_many(instance, "OnRequestKeyFrame", 3, 2) == 3
    assert probe.wait_idle(instance)
    assert len(unraisable) == 2
    err_msg = unraisable[1][0]
    assert err_msg.startswith("Exception ignored in delegate callback OnRequestKeyFrame "
                              "(10 more times in the last 5.")
    assert str(unraisable[1][2]) == "no key frame"
    del cloud
    gc.collect()
    assert len(unraisable) == 3
    assert unraisable[2][0].startswith("Exception ignored in delegate callback "
                                       "OnRequestKeyFrame (2 more times in the last ")


def test_missing_audio_callback_in_a_room_with_audio_gives_one_report(unraisable):
    class NoAudio(Recorder):
        # The base method again: as if the class had never defined it.
        OnRemoteAudioReceived = corvel.VORACloudDelegate.__dict__["OnRemoteAudioReceived"]

    room = 7000 + os.getpid() % 1000

    def join(delegate, user):
        cloud = corvel.VORACloud(delegate)
        params = corvel.EnterRoomParams()
        params.room.sdk_app_id, params.room.room_id = 1400000001, room
        params.room.user_id.SetValue(user)
        params.room.user_sig.SetValue("sig")
        assert cloud.EnterRoom(params) == corvel.ERR_OK
        return cloud, probe.last_instance()

    listener = NoAudio()
    listening, listening_id = join(listener, "listener")
    sending, _ = join(Recorder(), "sender")
    audio = corvel.AudioEncodeParams()
    audio.sample_rate = 16000
    assert sending.CreateLocalAudioChannel(audio) == corvel.ERR_OK
    frame = corvel.AudioFrame()
    frame.sample_rate = 16000
    frame.SetData(bytes(640))
    before = probe.stats(listening_id)["delivered"]
    for _ in range(50):
        sending.SendAudioFrame(frame)
        time.sleep(0.02)
    assert probe.wait_idle(listening_id)
    assert probe.stats(listening_id)["delivered"] - before >= 25
    assert [(m, str(v)) for m, _, v, _ in unraisable] == [
        ("Exception ignored in delegate callback OnRemoteAudioReceived",
         pure_virtual("OnRemoteAudioReceived"))]
    del sending, listening
    gc.collect()


# ---- base methods called from Python ----

BASE_ARGS = {
    "OnError": (corvel.ERR_OK,),
    "OnConnectionStateChanged": (corvel.CONNECTION_STATE_INIT, corvel.CONNECTION_STATE_CONNECTED),
    "OnLocalVideoChannelCreated": (corvel.STREAM_TYPE_VIDEO_HIGH,),
    "OnLocalVideoChannelDestroyed": (corvel.STREAM_TYPE_VIDEO_HIGH,),
    "OnRequestChangeVideoEncodeBitrate": (corvel.STREAM_TYPE_VIDEO_LOW, 1000),
    "OnRequestKeyFrame": (corvel.STREAM_TYPE_VIDEO_AUX,),
    "OnRemoteUserEnterRoom": (corvel.UserInfo(),),
    "OnRemoteUserExitRoom": (corvel.UserInfo(), 0),
    "OnRemoteAudioAvailable": ("u", True),
    "OnRemoteVideoAvailable": ("u", True, corvel.STREAM_TYPE_VIDEO_HIGH),
    "OnRemoteVideoFrameReceived": ("u", corvel.STREAM_TYPE_VIDEO_HIGH, corvel.VideoFrame()),
    "OnRemotePixelFrameReceived": ("u", corvel.STREAM_TYPE_VIDEO_HIGH, corvel.PixelFrame()),
    "OnRemoteAudioReceived": ("u", corvel.AudioFrame()),
    "OnRemoteMixedAudioReceived": (corvel.AudioFrame(),),
}


@pytest.mark.parametrize("name", REQUIRED)
def test_base_required_method_raises_the_pure_virtual_error(name):
    method = getattr(corvel.VORACloudDelegate(), name)
    with pytest.raises(RuntimeError) as raised:
        method(*BASE_ARGS.get(name, ()))
    assert str(raised.value) == f'Tried to call pure virtual function "VORACloudDelegate::{name}"'


@pytest.mark.parametrize("name, args", [
    ("OnMissCustomCmdMsg", ("u", -1, 2**32 - 1, 0)),
    ("OnNetworkQuality", (None, None, 0)),
    ("OnNetworkQuality", (corvel.NetworkQualityInfo(), corvel.NetworkQualityInfo(), 1)),
    ("OnSeiMessageReceived", (None, corvel.STREAM_TYPE_AUDIO, 0, None, 0)),
    ("OnReceiveCustomCmdMsg", ("u", -1, 2**32 - 1, "abc", 4)),
])
def test_base_optional_methods_do_nothing(stderr, name, args):
    assert getattr(corvel.VORACloudDelegate(), name)(*args) is None
    assert stderr() == ""


def test_python_caller_of_a_base_method_receives_the_exception(unraisable):
    failure = ValueError("from the override")

    class Failing(Recorder):
        def OnError(self, error):
            raise failure

        def OnMissCustomCmdMsg(self, *args):
            raise failure

        def OnSeiMessageReceived(self, *args):
            raise failure

    delegate = Failing()
    with pytest.raises(ValueError) as raised:
        corvel.VORACloudDelegate.OnError(delegate, corvel.ERR_FAILED)
    assert raised.value is failure
    with pytest.raises(ValueError):
        delegate_base = corvel.VORACloudDelegate.OnMissCustomCmdMsg
        delegate_base(delegate, "u", 1, 2, 3)
    with pytest.raises(ValueError):
        corvel.VORACloudDelegate.OnSeiMessageReceived(delegate, "u", corvel.STREAM_TYPE_AUDIO,
                                                      1, "abc", 3)
    with pytest.raises(RuntimeError, match="pure virtual"):
        Bare().OnEnterRoom()
    assert unraisable == []


def test_base_method_called_from_python_leaves_the_callers_thread_state_alone():
    local = threading.local()
    local.value = "kept"
    variable = contextvars.ContextVar("variable", default="unset")
    variable.set("kept")
    trace = lambda *args: None  # noqa: E731
    seen = []

    class Looking(Recorder):
        def OnError(self, error):
            seen.append((getattr(local, "value", None), variable.get()))

    previous = sys.gettrace()
    sys.settrace(trace)
    try:
        corvel.VORACloudDelegate.OnError(Looking(), corvel.ERR_OK)
        still_traced = sys.gettrace() is trace
    finally:
        sys.settrace(previous)
    assert seen == [("kept", "kept")]
    assert local.value == "kept" and variable.get() == "kept" and still_traced


def test_super_call_from_an_override():
    class Calling(corvel.VORACloudDelegate):
        def OnEnterRoom(self):
            super().OnEnterRoom()

        def OnMissCustomCmdMsg(self, *args):
            self.result = super().OnMissCustomCmdMsg(*args)

    delegate = Calling()
    with pytest.raises(RuntimeError,
                       match='pure virtual function "VORACloudDelegate::OnEnterRoom"'):
        delegate.OnEnterRoom()
    delegate.result = "unset"
    delegate.OnMissCustomCmdMsg("u", 1, 2, 3)
    assert delegate.result is None


def test_base_method_called_through_the_class_runs_the_override_once():
    class Forwarding(Recorder):
        def report(self, error):
            corvel.VORACloudDelegate.OnError(self, error)

    delegate = Forwarding()
    delegate.report(corvel.ERR_FAILED)
    assert [(n, plain(a)) for n, a, _ in delegate.events] == [("OnError", (("Error", -1),))]


def test_subclass_init_must_call_the_base_init():
    class Forgetful(Recorder):
        def __init__(self):
            self.events = []

    with pytest.raises(TypeError, match=r"^_corvel\.VORACloudDelegate\.__init__\(\) must be "
                                        r"called when overriding __init__$"):
        Forgetful()


MESSAGE_NUMBERS = {"OnSeiMessageReceived": (corvel.STREAM_TYPE_AUDIO, 1),
                   "OnReceiveCustomCmdMsg": (-1, 2**32 - 1)}


@pytest.mark.parametrize("name", ["OnSeiMessageReceived", "OnReceiveCustomCmdMsg"])
@pytest.mark.parametrize("message, length, received", [
    ("abc", 4, b"abc\0"),
    ("abc", 2, b"ab"),
    ("é", 3, b"\xc3\xa9\0"),
    (b"\xff\xfe", 3, b"\xff\xfe\0"),
    (None, 0, b""),
    (b"a\0bc", 2, b"a\0"),
])
def test_base_message_methods_pass_what_the_caller_supplied(name, message, length, received):
    delegate = Recorder()
    getattr(corvel.VORACloudDelegate, name)(delegate, "u", *MESSAGE_NUMBERS[name], message, length)
    assert [(n, a[3]) for n, a, _ in delegate.events] == [(name, received)]


@pytest.mark.parametrize("name", ["OnSeiMessageReceived", "OnReceiveCustomCmdMsg"])
@pytest.mark.parametrize("message, length", [("abc", 5), ("é", 4), (None, 1), (b"", 2),
                                             (b"a\0bc", 6), ("x", 2**64 - 1),
                                             # Only the text up to its first NUL is known to be
                                             # there: the rest is refused rather than trusted.
                                             (b"a\0bc", 3), (b"a\0bc", 5)])
def test_base_message_methods_refuse_lengths_beyond_the_message(name, message, length):
    delegate = Recorder()
    with pytest.raises(ValueError):
        getattr(corvel.VORACloudDelegate, name)(delegate, "u", *MESSAGE_NUMBERS[name], message,
                                                 length)
    assert delegate.events == []


@pytest.mark.parametrize("remote, count", [(None, 1), (corvel.NetworkQualityInfo(), 2),
                                           (corvel.NetworkQualityInfo(), 2**64 - 1)])
def test_base_network_quality_refuses_counts_beyond_the_records(remote, count):
    delegate = Recorder()
    with pytest.raises(ValueError):
        corvel.VORACloudDelegate.OnNetworkQuality(delegate, None, remote, count)
    assert delegate.events == []


def test_base_network_quality_passes_the_records_supplied():
    delegate = Recorder()
    local, remote = corvel.NetworkQualityInfo(), corvel.NetworkQualityInfo()
    local.user_id, remote.user_id = corvel.VoraString("me"), corvel.VoraString("you")
    remote.quality = corvel.NETWORK_QUALITY_POOR
    corvel.VORACloudDelegate.OnNetworkQuality(delegate, local, remote, 1)
    corvel.VORACloudDelegate.OnNetworkQuality(delegate, None, remote, 0)
    assert [plain(a) for _, a, _ in delegate.events] == [
        (("NetworkQualityInfo", "me", ("NetworkQuality", 6)),
         [("NetworkQualityInfo", "you", ("NetworkQuality", 3))]),
        (("NetworkQualityInfo", "", ("NetworkQuality", 6)), []),
    ]
