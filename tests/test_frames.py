"""Media frames: their fields, and payloads moving between Python bytes and
the engine's buffers."""

import gc
import os

import pytest

import _corvel as corvel

import engine_probe as probe
from conftest import SilentDelegate

FRAMES = ["AudioFrame", "VideoFrame", "PixelFrame"]

# (frame, field, kind, engine default); kind as in test_records.py.
FIELDS = [
    ("AudioFrame", "pts", "u32", 0),
    ("AudioFrame", "sample_rate", "i32", 48000),
    ("AudioFrame", "channels", "i32", 1),
    ("AudioFrame", "bits_per_sample", "i32", 16),
    ("AudioFrame", "codec", "AudioCodecType", corvel.AUDIO_CODEC_TYPE_PCM),
    ("AudioFrame", "has_voice", "bool", False),
    ("VideoFrame", "pts", "u32", 0),
    ("VideoFrame", "dts", "u32", 0),
    ("VideoFrame", "codec", "VideoCodecType", corvel.VIDEO_CODEC_TYPE_H264),
    ("VideoFrame", "is_key_frame", "bool", False),
    ("VideoFrame", "rotation", "VideoRotation", corvel.VIDEO_ROTATION_0),
    ("PixelFrame", "pts", "u32", 0),
    ("PixelFrame", "format", "VideoPixelFormat", corvel.VIDEO_PIXEL_FORMAT_YUV420p),
    ("PixelFrame", "height", "u32", 0),
    ("PixelFrame", "width", "u32", 0),
    ("PixelFrame", "rotation", "VideoRotation", corvel.VIDEO_ROTATION_0),
]
METHODS = {
    "AudioFrame": {"data", "SetData", "size", "SetExtraData"},
    "VideoFrame": {"data", "SetData", "size"},
    "PixelFrame": {"data", "SetData", "size"},
}
RANGES = {"u32": (0, 2**32 - 1), "i32": (-2**31, 2**31 - 1)}
FIELD_IDS = [f"{f}.{n}" for f, n, *_ in FIELDS]

PAYLOADS = [
    b"\x00",
    b"\x00\x00\x00",
    b"a\x00b\x00",
    b"plain text payload",
    bytes(range(256)),
    bytes(range(255, -1, -1)) * 17,
    b"\xff" * 4096,
]
PAYLOAD_IDS = [f"{len(p)}B-{p[:2].hex()}" for p in PAYLOADS]

NOT_BYTES = [bytearray(b"abc"), "abc", None, memoryview(b"abc"), 0, [97, 98, 99],
             b"abc".decode()]
NOT_BYTES_IDS = ["bytearray", "str", "None", "memoryview", "int", "list", "decoded"]


class Payload(bytes):
    """A bytes subclass, as an application might pass."""


def _new(frame):
    return getattr(corvel, frame)()


def _fields_of(frame):
    return {name: kind for f, name, kind, _ in FIELDS if f == frame}


def _snapshot(obj):
    return {name: getattr(obj, name) for name in _fields_of(type(obj).__name__)}


@pytest.mark.parametrize("frame,field,kind,default", FIELDS, ids=FIELD_IDS)
def test_engine_defaults(frame, field, kind, default):
    value = getattr(_new(frame), field)
    if kind in RANGES:
        assert type(value) is int
    elif kind == "bool":
        assert type(value) is bool
    else:
        assert type(value) is getattr(corvel, kind)
        assert value.name == default.name
    assert value == default


@pytest.mark.parametrize("frame", FRAMES)
def test_new_frame_has_an_empty_payload(frame):
    obj = _new(frame)
    assert obj.size == 0
    assert type(obj.data) is bytes and obj.data == b""


@pytest.mark.parametrize("frame", FRAMES)
def test_frames_expose_exactly_their_fields_and_payload_methods(frame):
    public = {name for name in dir(getattr(corvel, frame)) if not name.startswith("_")}
    assert public == set(_fields_of(frame)) | METHODS[frame]


@pytest.mark.parametrize("frame", FRAMES)
def test_every_field_keeps_its_own_value(frame):
    obj = _new(frame)
    expected = {}
    for seed, (name, kind) in enumerate(_fields_of(frame).items()):
        if kind in RANGES:
            value = RANGES[kind][1] - seed
        elif kind == "bool":
            value = True
        else:
            value = list(getattr(corvel, kind).__members__.values())[-1]
        setattr(obj, name, value)
        expected[name] = value
    assert _snapshot(obj) == expected
    assert obj.size == 0


@pytest.mark.parametrize("frame,field,kind,default",
                         [row for row in FIELDS if row[2] in RANGES],
                         ids=[i for i, row in zip(FIELD_IDS, FIELDS, strict=True)
                              if row[2] in RANGES])
def test_int_fields_accept_their_range_and_refuse_the_rest(frame, field, kind, default):
    obj = _new(frame)
    low, high = RANGES[kind]
    for value in (low, high):
        setattr(obj, field, value)
        assert getattr(obj, field) == value
    for value in (low - 1, high + 1, 2**64, 1.0, 0.5, "1", None):
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field) == high


@pytest.mark.parametrize("frame,field", [("AudioFrame", "has_voice"),
                                         ("VideoFrame", "is_key_frame")])
def test_bool_fields(frame, field):
    obj = _new(frame)
    for value, stored in ((True, True), (2, True), (None, False), (1, True), (0, False)):
        setattr(obj, field, value)
        assert getattr(obj, field) is stored
    setattr(obj, field, True)
    with pytest.raises(TypeError):
        setattr(obj, field, "yes")
    assert getattr(obj, field) is True


ENUM_FIELDS = [row for row in FIELDS if row[2] not in RANGES and row[2] != "bool"]


@pytest.mark.parametrize("frame,field,kind,default", ENUM_FIELDS,
                         ids=[f"{f}.{n}" for f, n, *_ in ENUM_FIELDS])
def test_enum_fields(frame, field, kind, default):
    cls = getattr(corvel, kind)
    obj = _new(frame)
    for member in cls.__members__.values():
        setattr(obj, field, member)
        read = getattr(obj, field)
        assert type(read) is cls and read == member and read is not member
    last = getattr(obj, field)
    setattr(obj, field, cls(7))
    assert last == list(cls.__members__.values())[-1]
    assert getattr(obj, field).value == 7 and getattr(obj, field).name == "???"
    other = corvel.VORA_ROLE_AUDIENCE
    for value in (0, 1, other, corvel.STREAM_TYPE_AUDIO, None, 1.0, default.name):
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field).value == 7


def test_rotation_and_codec_enumerations_are_not_interchangeable():
    video = corvel.VideoFrame()
    with pytest.raises(TypeError):
        video.codec = corvel.AUDIO_CODEC_TYPE_OPUS
    with pytest.raises(TypeError):
        video.rotation = corvel.VIDEO_PIXEL_FORMAT_RGBA
    pixel = corvel.PixelFrame()
    with pytest.raises(TypeError):
        pixel.format = corvel.VIDEO_ROTATION_90
    audio = corvel.AudioFrame()
    with pytest.raises(TypeError):
        audio.codec = corvel.VIDEO_CODEC_TYPE_H265


@pytest.mark.parametrize("frame", FRAMES)
@pytest.mark.parametrize("payload", PAYLOADS, ids=PAYLOAD_IDS)
def test_payload_round_trip(frame, payload):
    obj = _new(frame)
    assert obj.SetData(payload) is None
    assert obj.size == len(payload)
    assert type(obj.size) is int
    assert type(obj.data) is bytes
    assert obj.data == payload


@pytest.mark.parametrize("frame", FRAMES)
def test_each_read_of_data_is_a_new_snapshot(frame):
    obj = _new(frame)
    obj.SetData(b"first payload")
    first = obj.data
    second = obj.data
    assert first == second and first is not second
    obj.SetData(b"2nd")
    assert first == b"first payload" and second == b"first payload"
    assert obj.data == b"2nd" and obj.size == 3


@pytest.mark.parametrize("frame", FRAMES)
def test_set_data_replaces_the_payload(frame):
    obj = _new(frame)
    for payload in (b"short", bytes(range(200)), b"", b"x", b"", b"\x00" * 64):
        obj.SetData(payload)
        assert obj.size == len(payload)
        assert obj.data == payload
    obj.SetData(b"")
    assert obj.size == 0 and obj.data == b"" and type(obj.data) is bytes


@pytest.mark.parametrize("frame", FRAMES)
def test_bytes_subclasses_are_accepted(frame):
    obj = _new(frame)
    obj.SetData(Payload(b"sub\x00class"))
    assert obj.data == b"sub\x00class" and type(obj.data) is bytes


@pytest.mark.parametrize("frame", FRAMES)
def test_payload_does_not_follow_the_source_object(frame):
    obj = _new(frame)
    source = bytes(bytearray(b"source"))
    obj.SetData(source)
    del source
    gc.collect()
    assert obj.data == b"source"


@pytest.mark.parametrize("frame", FRAMES)
@pytest.mark.parametrize("value", NOT_BYTES, ids=NOT_BYTES_IDS)
def test_set_data_refuses_what_is_not_bytes_and_keeps_the_frame(frame, value):
    obj = _new(frame)
    obj.SetData(b"kept")
    fields = _snapshot(obj)
    with pytest.raises(TypeError):
        obj.SetData(value)
    assert obj.size == 4 and obj.data == b"kept"
    assert _snapshot(obj) == fields


@pytest.mark.parametrize("value", NOT_BYTES, ids=NOT_BYTES_IDS)
def test_set_extra_data_refuses_what_is_not_bytes_and_keeps_the_frame(value):
    obj = corvel.AudioFrame()
    obj.SetData(b"kept")
    with pytest.raises(TypeError):
        obj.SetExtraData(value)
    assert obj.size == 4 and obj.data == b"kept"


@pytest.mark.parametrize("payload", [b"", b"\x00extra\x00", bytes(range(256)) * 4],
                         ids=["empty", "nul", "1KiB"])
def test_set_extra_data_takes_bytes_and_leaves_fields_alone(payload):
    obj = corvel.AudioFrame()
    obj.pts = 77
    obj.has_voice = True
    before = _snapshot(obj)
    assert obj.SetExtraData(payload) is None
    assert obj.SetExtraData(Payload(payload)) is None
    assert _snapshot(obj) == before


@pytest.mark.parametrize("frame", ["VideoFrame", "PixelFrame"])
def test_only_audio_frames_carry_extra_data(frame):
    obj = _new(frame)
    with pytest.raises(AttributeError):
        _ = obj.SetExtraData
    with pytest.raises(AttributeError):
        _ = getattr(corvel, frame).SetExtraData


@pytest.mark.parametrize("frame", FRAMES)
def test_payload_is_independent_of_fields_and_of_other_frames(frame):
    a, b = _new(frame), _new(frame)
    a.SetData(b"aaaa")
    b.SetData(b"bb")
    for name, kind in _fields_of(frame).items():
        if kind in RANGES:
            setattr(a, name, 12345)
    assert a.data == b"aaaa" and b.data == b"bb"
    fields = _snapshot(a)
    a.SetData(b"a")
    assert _snapshot(a) == fields
    assert _snapshot(b) == _snapshot(_new(frame))
    assert b.data == b"bb" and b.size == 2
    del b
    gc.collect()
    assert a.data == b"a"


@pytest.mark.parametrize("frame", FRAMES)
def test_large_payload_round_trip(frame):
    chunk = os.urandom(1 << 16)
    payload = chunk * 512  # 32 MiB
    obj = _new(frame)
    obj.SetData(payload)
    assert obj.size == len(payload) == 32 * 1024 * 1024
    data = obj.data
    assert len(data) == len(payload)
    assert data == payload
    obj.SetData(b"small")
    assert obj.data == b"small" and data == payload


@pytest.mark.parametrize("frame", FRAMES)
def test_size_and_data_are_read_only_properties(frame):
    obj = _new(frame)
    obj.SetData(b"xyz")
    with pytest.raises(TypeError):
        obj.size()
    with pytest.raises(TypeError):
        obj.data()
    for name, value in (("data", b"new"), ("size", 0), ("size", 3), ("data", None)):
        with pytest.raises(AttributeError):
            setattr(obj, name, value)
    for name in ("data", "size"):
        with pytest.raises(AttributeError):
            delattr(obj, name)
    assert obj.data == b"xyz" and obj.size == 3


@pytest.mark.parametrize("frame,field", [(f, n) for f, n, *_ in FIELDS], ids=FIELD_IDS)
def test_fields_cannot_be_deleted(frame, field):
    obj = _new(frame)
    with pytest.raises(AttributeError):
        delattr(obj, field)


@pytest.mark.parametrize("frame", FRAMES)
@pytest.mark.parametrize("name", ["handle_", "handle", "payload", "extra_data", "foo"])
def test_unknown_attributes_are_refused(frame, name):
    obj = _new(frame)
    with pytest.raises(AttributeError):
        getattr(obj, name)
    with pytest.raises(AttributeError):
        setattr(obj, name, 1)


@pytest.mark.parametrize("frame", FRAMES)
def test_frames_take_no_constructor_arguments(frame):
    with pytest.raises(TypeError):
        getattr(corvel, frame)(b"payload")


@pytest.mark.parametrize("frame,method", [
    ("AudioFrame", "SetData"), ("AudioFrame", "SetExtraData"),
    ("VideoFrame", "SetData"), ("PixelFrame", "SetData"),
])
def test_payload_setter_docstrings_show_the_bytes_signature(frame, method):
    doc = getattr(getattr(corvel, frame), method).__doc__
    assert doc.startswith(f"{method}(self: _corvel.{frame}, arg0: bytes) -> None")


# ---- what the engine, compiled separately, reads from frames filled here ----


def _sent(instance, op):
    calls = [c for c in probe.calls(instance) if c["op"] == op]
    assert calls, f"the engine recorded no {op}"
    return calls[-1]


def _fill(obj, seed):
    expected = {}
    for name, kind in _fields_of(type(obj).__name__).items():
        if kind in RANGES:
            value = RANGES[kind][1] - seed if seed % 2 else RANGES[kind][0] + seed
        elif kind == "bool":
            value = bool(seed % 2)
        else:
            members = list(getattr(corvel, kind).__members__.values())
            value = members[seed % len(members)]
        setattr(obj, name, value)
        expected[name] = int(value) if kind not in ("bool",) else value
    return expected


def _payload_record(payload, prefix=""):
    return {prefix + "size": len(payload), prefix + "fnv1a": probe.fnv1a64(payload),
            prefix + "data": payload if len(payload) <= 1024 else None}


SEND_PAYLOADS = [b"", b"\x00", b"\x00\x01\x02\xff" * 5, bytes(range(256)) * 4,
                 bytes(range(256)) * 4 + b"!", os.urandom(1 << 16)]
SEND_IDS = ["empty", "nul", "20B", "1024B", "1025B", "64KiB"]


@pytest.mark.parametrize("payload", SEND_PAYLOADS, ids=SEND_IDS)
@pytest.mark.parametrize("extra", [b"", b"\x00extra"], ids=["no-extra", "extra"])
@pytest.mark.parametrize("seed", [1, pytest.param(2, marks=pytest.mark.slow)])
def test_engine_receives_audio_frame_fields_and_payload(engine_cloud, payload, extra, seed):
    cloud, instance = engine_cloud
    frame = corvel.AudioFrame()
    expected = _fill(frame, seed)
    frame.SetData(payload)
    frame.SetExtraData(extra)
    cloud.SendAudioFrame(frame)
    cloud.SendContinuousAudioFrame(frame, seed == 1)
    expected.update(_payload_record(payload))
    expected.update(_payload_record(extra, "extra_"))
    assert _sent(instance, "SendAudioFrame")["frame"] == expected
    continuous = _sent(instance, "SendContinuousAudioFrame")
    assert continuous["frame"] == expected
    assert continuous["clear_send_queue"] is (seed == 1)
    assert frame.data == payload and _snapshot(frame) == {
        k: v for k, v in expected.items() if k in _fields_of("AudioFrame")}


@pytest.mark.parametrize("payload", SEND_PAYLOADS, ids=SEND_IDS)
@pytest.mark.parametrize("frame_type,method,overload", [
    ("VideoFrame", "SendVideoFrame", "VideoFrame"),
    ("PixelFrame", "SendPixelFrame", "PixelFrame"),
])
@pytest.mark.parametrize("stream", [corvel.STREAM_TYPE_VIDEO_AUX, corvel.StreamType(5)],
                         ids=["aux", "unnamed"])
def test_engine_receives_video_frame_fields_and_payload(engine_cloud, payload, frame_type,
                                                        method, overload, stream):
    cloud, instance = engine_cloud
    frame = _new(frame_type)
    expected = _fill(frame, len(payload) % 5 + 1)
    frame.SetData(payload)
    getattr(cloud, method)(stream, frame)
    call = _sent(instance, "SendVideoFrame")
    assert call["overload"] == overload
    assert call["type"] == stream.value
    expected.update(_payload_record(payload))
    assert call["frame"] == expected


def test_engine_sees_the_payload_replaced_and_cleared(engine_cloud):
    cloud, instance = engine_cloud
    frame = corvel.AudioFrame()
    frame.SetData(b"first")
    frame.SetExtraData(b"kept")
    frame.SetData(b"second!")
    cloud.SendAudioFrame(frame)
    received = _sent(instance, "SendAudioFrame")["frame"]
    assert received["data"] == b"second!" and received["extra_data"] == b"kept"
    frame.SetData(b"")
    frame.SetExtraData(b"")
    cloud.SendAudioFrame(frame)
    received = _sent(instance, "SendAudioFrame")["frame"]
    assert received["size"] == 0 and received["data"] == b""
    assert received["extra_size"] == 0 and received["extra_data"] == b""


@pytest.mark.parametrize("frame_type,method", [
    ("AudioFrame", "SendAudioFrame"), ("VideoFrame", "SendVideoFrame"),
    ("PixelFrame", "SendPixelFrame"),
])
def test_engine_receives_large_payloads_intact(engine_cloud, frame_type, method):
    cloud, instance = engine_cloud
    op = "SendAudioFrame" if frame_type == "AudioFrame" else "SendVideoFrame"

    def send(frame):
        if frame_type == "AudioFrame":
            return cloud.SendAudioFrame(frame)
        return getattr(cloud, method)(corvel.STREAM_TYPE_VIDEO_HIGH, frame)

    frame = _new(frame_type)
    payload = os.urandom((1 << 20) + 7)
    frame.SetData(payload)
    send(frame)
    received = _sent(instance, op)["frame"]
    assert (received["size"], received["fnv1a"]) == (len(payload), probe.fnv1a64(payload))
    frame.SetData(bytes(range(256)) * (128 * 1024))  # 32 MiB
    send(frame)
    assert _sent(instance, op)["frame"]["size"] == 32 * 1024 * 1024


class FrameCatcher(SilentDelegate):
    """Keeps every frame the engine delivers, beyond the callback's return."""

    def __init__(self):
        super().__init__()
        self.frames = []

    def OnRemoteAudioReceived(self, user_id, frame):
        self.frames.append(frame)

    def OnRemoteMixedAudioReceived(self, frame):
        self.frames.append(frame)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        self.frames.append(frame)

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self.frames.append(frame)


DELIVERED = [
    ("OnRemoteAudioReceived", ("bob",), "AudioFrame",
     {"sample_rate": 8000, "channels": 2, "bits_per_sample": 8, "codec": 2, "pts": 2**32 - 1,
      "has_voice": True}),
    ("OnRemoteMixedAudioReceived", (), "AudioFrame",
     {"sample_rate": -5, "channels": 6, "bits_per_sample": 24, "codec": 1, "pts": 9,
      "has_voice": False}),
    ("OnRemoteVideoFrameReceived", ("bob", 7), "VideoFrame",
     {"pts": 1, "dts": 2**32 - 1, "is_key_frame": True, "codec": 1, "rotation": 3}),
    ("OnRemotePixelFrameReceived", ("bob", 3), "PixelFrame",
     {"pts": 4, "width": 1920, "height": 1080, "format": 2, "rotation": 1}),
]


@pytest.mark.parametrize("callback,args,frame_type,fields", DELIVERED,
                         ids=[d[0] for d in DELIVERED])
@pytest.mark.parametrize("payload", [b"", b"\x00remote\x00", bytes(range(256)) * 40],
                         ids=["empty", "nul", "10KiB"])
def test_frames_delivered_to_python_own_their_payload(callback, args, frame_type, fields,
                                                      payload):
    delegate = FrameCatcher()
    cloud = corvel.VORACloud(delegate)
    instance = probe.last_instance()
    frame_arg = dict(fields, data=payload)
    assert probe.fire(instance, callback, *args, frame_arg) == probe.DELIVERED
    assert probe.fire(instance, callback, *args, dict(fields, data=b"later")) == probe.DELIVERED
    del cloud
    gc.collect()
    first, second = delegate.frames
    assert type(first) is getattr(corvel, frame_type)
    assert {name: int(value) if not isinstance(value, bool) else value
            for name, value in _snapshot(first).items()} == fields
    assert first.data == payload and first.size == len(payload)
    assert second.data == b"later"
    first.SetData(b"changed here")
    assert second.data == b"later"


def test_a_delivered_audio_frame_keeps_its_extra_data_when_sent_back(engine_cloud):
    cloud, instance = engine_cloud
    delegate = FrameCatcher()
    source = corvel.VORACloud(delegate)
    source_id = probe.last_instance()
    frame = {"pts": 3, "data": b"\x00pcm", "extra": b"\x00side"}
    assert probe.fire(source_id, "OnRemoteAudioReceived", "bob", frame) == probe.DELIVERED
    del source
    gc.collect()
    (received,) = delegate.frames
    cloud.SendAudioFrame(received)
    sent = _sent(instance, "SendAudioFrame")["frame"]
    assert sent["pts"] == 3
    assert sent["data"] == b"\x00pcm" and sent["extra_data"] == b"\x00side"


# ---- the TypeError of a field names the field and what it accepts ----


@pytest.mark.parametrize("frame,field,kind,default", FIELDS, ids=FIELD_IDS)
def test_refused_value_names_the_field_and_what_it_accepts(frame, field, kind, default):
    obj = _new(frame)
    if kind in RANGES:
        low, high = RANGES[kind]
        expected = f"an integer in {low}..{high}"
        refused = [(low - 1, repr(low - 1)), (high + 1, repr(high + 1)), (1.5, "1.5"),
                   ("1", "'1'"), (None, "None")]
    elif kind == "bool":
        expected, refused = "a bool", [("yes", "'yes'"), (b"", "b''")]
    else:
        expected = ("an " if kind[0] in "AEIOU" else "a ") + kind
        refused = [(0, "0"), (None, "None"), (corvel.VORA_ROLE_AUDIENCE, "<VORARole."
                                             "VORA_ROLE_AUDIENCE: 1>")]
    for value, shown in refused:
        with pytest.raises(TypeError) as raised:
            setattr(obj, field, value)
        assert str(raised.value) == f"{frame}.{field}: expected {expected}, got {shown}"


def test_refused_value_with_a_long_repr_is_shortened():
    with pytest.raises(TypeError) as raised:
        corvel.AudioFrame().pts = "x" * 500
    message = str(raised.value)
    assert message.startswith("AudioFrame.pts: expected an integer in 0..4294967295, got 'xxx")
    assert message.endswith("...") and len(message) < 160


def test_refused_value_whose_repr_fails_is_still_refused():
    class Unprintable:
        def __repr__(self):
            raise ValueError("no repr")

    with pytest.raises(TypeError, match=r"^VideoFrame\.dts: expected an integer in "
                                        r"0\.\.4294967295, got <unprintable>$"):
        corvel.VideoFrame().dts = Unprintable()


def test_setter_signatures_are_those_of_plain_fields():
    # The setters' argument renders as the field's type, as def_readwrite's
    # does (the stub, generated from these, must not change).
    assert "arg0: typing.SupportsInt | typing.SupportsIndex" in \
        corvel.AudioFrame.pts.fset.__doc__
    assert "arg0: bool" in corvel.AudioFrame.has_voice.fset.__doc__
