"""The parameter records: defaults, field conversion, views into nested
values, and the attribute surface."""

import gc
import weakref

import pytest

import _corvel as corvel

import engine_probe as probe

INT32 = (-2**31, 2**31 - 1)
UINT32 = (0, 2**32 - 1)

# (record, field, kind, engine default). kind is "u32", "i32", "bool",
# "text" (a VoraString), the name of an enumeration, or the name of a nested
# record.
FIELDS = [
    ("RoomParams", "room_id", "u32", 0),
    ("RoomParams", "str_room_id", "text", ""),
    ("RoomParams", "user_id", "text", ""),
    ("RoomParams", "user_sig", "text", ""),
    ("RoomParams", "sdk_app_id", "u32", 0),
    ("EnterRoomParams", "room", "RoomParams", None),
    ("EnterRoomParams", "scene", "VORAScene", corvel.VORA_SCENE_VIDEO_CALL),
    ("EnterRoomParams", "role", "VORARole", corvel.VORA_ROLE_ANCHOR),
    ("EnterRoomParams", "private_map_key", "text", ""),
    ("EnterRoomParams", "audio_obtain_params", "AudioObtainParams", None),
    ("EnterRoomParams", "use_pixel_frame_input", "bool", False),
    ("EnterRoomParams", "use_pixel_frame_output", "bool", False),
    ("AudioEncodeParams", "channels", "i32", 1),
    ("AudioEncodeParams", "sample_rate", "i32", 48000),
    ("AudioEncodeParams", "frame_length_ms", "i32", 20),
    ("AudioEncodeParams", "bitrate_bps", "i32", 51200),
    ("AudioEncodeParams", "need_encode", "bool", True),
    ("VideoEncodeParams", "frame_rate", "i32", 15),
    ("VideoEncodeParams", "bitrate_bps", "i32", 0),
    ("VideoEncodeParams", "gop_in_seconds", "i32", 3),
    ("NetworkQualityInfo", "user_id", "text", ""),
    ("NetworkQualityInfo", "quality", "NetworkQuality", corvel.NETWORK_QUALITY_DOWN),
    ("UserInfo", "user_id", "text", ""),
    ("AudioObtainParams", "audio_obtain_method", "AudioObtainMethod",
     corvel.AUDIO_OBTAIN_METHOD_CALLBACK),
    ("AudioObtainParams", "enable_remote_audio_mix", "bool", False),
    ("AudioObtainParams", "output_sample_rate", "i32", 16000),
    ("AudioObtainParams", "output_channels", "i32", 1),
    ("AudioObtainParams", "output_frame_length_ms", "i32", 20),
    ("AudioObtainParams", "output_audio_codec_type", "AudioCodecType", corvel.AUDIO_CODEC_TYPE_PCM),
    ("VADParams", "enable", "bool", False),
]
RECORDS = sorted({record for record, *_ in FIELDS})
DEFAULTS = {(record, field): default for record, field, _, default in FIELDS}
NESTED = ("RoomParams", "AudioObtainParams")


def _of(*kinds):
    rows = [(r, f, k, d) for r, f, k, d in FIELDS if k in kinds]
    return pytest.mark.parametrize("record,field,kind,default", rows,
                                   ids=[f"{r}.{f}" for r, f, *_ in rows])


def _enum_kinds():
    return [k for _, _, k, _ in FIELDS if k[0].isupper() and k not in NESTED]


def _read(value):
    """A comparable form of a field value (texts by content, records by fields)."""
    if isinstance(value, corvel.VoraString):
        return ("text", value.GetValue())
    name = type(value).__name__
    if name in NESTED:
        return (name, tuple(_read(getattr(value, f)) for r, f, *_ in FIELDS if r == name))
    return value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@_of("u32", "i32", "bool", "text", *_enum_kinds())
def test_engine_defaults(record, field, kind, default):
    value = getattr(getattr(corvel, record)(), field)
    if kind == "text":
        assert type(value) is corvel.VoraString
        assert value.GetValue() == default
    elif kind == "bool":
        assert value is default
    elif kind in ("u32", "i32"):
        assert type(value) is int and value == default
    else:
        assert type(value) is getattr(corvel, kind)
        assert value == default and value.name == default.name


def test_nested_defaults_are_the_nested_records_defaults():
    params = corvel.EnterRoomParams()
    assert type(params.room) is corvel.RoomParams
    assert type(params.audio_obtain_params) is corvel.AudioObtainParams
    assert _read(params.room) == _read(corvel.RoomParams())
    assert _read(params.audio_obtain_params) == _read(corvel.AudioObtainParams())


@pytest.mark.parametrize("record", RECORDS)
def test_records_expose_exactly_their_fields(record):
    public = {name for name in dir(getattr(corvel, record)) if not name.startswith("_")}
    assert public == {f for r, f, *_ in FIELDS if r == record}


# Distinct values for every field of every record, to catch a field bound to
# the wrong member.
def _distinct_value(record, field, kind, seed):
    if kind == "u32":
        return 3_000_000_000 + seed
    if kind == "i32":
        return -1_000_000 - seed
    if kind == "bool":
        return not DEFAULTS[record, field]
    if kind == "text":
        return corvel.VoraString(f"{record}.{field}")
    if kind in NESTED:
        nested = getattr(corvel, kind)()
        for r, f, k, _ in FIELDS:
            if r == kind:
                setattr(nested, f, _distinct_value(r, f, k, seed + 100 + len(f)))
        return nested
    members = list(getattr(corvel, kind).__members__.values())
    return members[-1] if members[-1] != DEFAULTS[record, field] else members[0]


@pytest.mark.parametrize("record", RECORDS)
def test_every_field_keeps_its_own_value(record):
    obj = getattr(corvel, record)()
    expected = {}
    for seed, (r, field, kind, _) in enumerate(FIELDS):
        if r == record:
            value = _distinct_value(record, field, kind, seed)
            setattr(obj, field, value)
            expected[field] = _read(value)
    assert {field: _read(getattr(obj, field)) for field in expected} == expected


@_of("u32", "i32")
def test_int_fields_accept_their_whole_range(record, field, kind, default):
    obj = getattr(corvel, record)()
    low, high = UINT32 if kind == "u32" else INT32
    for value in (low, high, 1, Index(high), True):
        setattr(obj, field, value)
        assert getattr(obj, field) == int(value)
        assert type(getattr(obj, field)) is int


@_of("u32", "i32")
def test_int_fields_refuse_other_values_and_keep_theirs(record, field, kind, default):
    obj = getattr(corvel, record)()
    low, high = UINT32 if kind == "u32" else INT32
    setattr(obj, field, 7)
    for value in (low - 1, high + 1, 2**64, 7.0, 1.5, "7", b"7", None, Index(2**40),
                  [7]):
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field) == 7


@_of("bool")
def test_bool_fields_convert_by_truth(record, field, kind, default):
    obj = getattr(corvel, record)()
    for value, stored in ((True, True), (False, False), (2, True), (0, False), (None, False),
                          (-1, True)):
        setattr(obj, field, not stored)
        setattr(obj, field, value)
        assert getattr(obj, field) is stored


@_of("bool")
def test_bool_fields_refuse_text_and_keep_their_value(record, field, kind, default):
    obj = getattr(corvel, record)()
    for current in (True, False):
        setattr(obj, field, current)
        for value in ("yes", "", b"", [1], object()):
            with pytest.raises(TypeError):
                setattr(obj, field, value)
            assert getattr(obj, field) is current


@_of(*_enum_kinds())
def test_enum_fields_accept_every_member_of_their_enumeration(record, field, kind, default):
    obj = getattr(corvel, record)()
    for name, member in getattr(corvel, kind).__members__.items():
        setattr(obj, field, member)
        read = getattr(obj, field)
        assert type(read) is getattr(corvel, kind)
        assert read == member and read.name == name


@_of(*_enum_kinds())
def test_enum_fields_read_as_independent_copies(record, field, kind, default):
    cls = getattr(corvel, kind)
    members = list(cls.__members__.values())
    obj = getattr(corvel, record)()
    setattr(obj, field, members[1])
    first = getattr(obj, field)
    assert first is not members[1]
    assert first is not getattr(obj, field)
    setattr(obj, field, members[0])
    assert first == members[1] and first.value == members[1].value
    assert getattr(obj, field) == members[0]
    assert [m.value for m in cls.__members__.values()] == [m.value for m in members]


@_of(*_enum_kinds())
def test_enum_fields_accept_values_naming_no_member(record, field, kind, default):
    obj = getattr(corvel, record)()
    setattr(obj, field, getattr(corvel, kind)(99))
    read = getattr(obj, field)
    assert read.value == 99 and read.name == "???"
    setattr(obj, field, getattr(corvel, kind)(2**32 - 1))
    assert getattr(obj, field).value == 2**32 - 1


@_of(*_enum_kinds())
def test_enum_fields_refuse_anything_but_their_own_enumeration(record, field, kind, default):
    obj = getattr(corvel, record)()
    own = getattr(corvel, kind)
    before = getattr(obj, field)
    others = [m for m in (corvel.ERR_OK, corvel.VORA_ROLE_AUDIENCE, corvel.VORA_SCENE_LIVE,
                          corvel.AUDIO_CODEC_TYPE_OPUS, corvel.NETWORK_QUALITY_GOOD,
                          corvel.AUDIO_OBTAIN_METHOD_GET, corvel.STREAM_TYPE_AUDIO)
              if type(m) is not own]
    for value in [0, 1, before.value, True, 1.0, None, before.name, str(before), *others]:
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field) == before


@_of("text")
def test_text_fields_read_as_views_into_the_record(record, field, kind, default):
    obj = getattr(corvel, record)()
    view = getattr(obj, field)
    view.SetValue("through the view")
    assert getattr(obj, field).GetValue() == "through the view"
    getattr(obj, field).SetValue(None)
    assert view.GetValue() is None


@_of("text", *NESTED)
def test_views_keep_their_record_alive(record, field, kind, default):
    obj = getattr(corvel, record)()
    alive = weakref.ref(obj)
    view = getattr(obj, field)
    del obj
    gc.collect()
    assert alive() is not None
    if kind == "text":
        view.SetValue("written after the record lost its name")
        assert getattr(alive(), field).GetValue() == "written after the record lost its name"
    else:
        name, first_kind = [(f, k) for r, f, k, _ in FIELDS if r == kind][1][:2]
        setattr(view, name, _distinct_value(kind, name, first_kind, 5))
        assert _read(getattr(getattr(alive(), field), name)) == _read(getattr(view, name))
    del view
    gc.collect()
    assert alive() is None


def test_view_of_a_view_keeps_the_outer_record_alive():
    params = corvel.EnterRoomParams()
    alive = weakref.ref(params)
    user_id = params.room.user_id
    del params
    gc.collect()
    user_id.SetValue("bob")
    assert alive().room.user_id.GetValue() == "bob"
    del user_id
    gc.collect()
    assert alive() is None


@_of("text")
def test_assigning_a_text_field_copies_the_value(record, field, kind, default):
    obj = getattr(corvel, record)()
    source = corvel.VoraString("original")
    setattr(obj, field, source)
    source.SetValue("changed later")
    assert getattr(obj, field).GetValue() == "original"
    getattr(obj, field).SetValue("changed in the record")
    assert source.GetValue() == "changed later"
    del source
    gc.collect()
    assert getattr(obj, field).GetValue() == "changed in the record"


@_of("text")
def test_assigning_a_null_text_stores_a_null_text(record, field, kind, default):
    obj = getattr(corvel, record)()
    setattr(obj, field, corvel.VoraString(None))
    assert getattr(obj, field).GetValue() is None
    setattr(obj, field, corvel.VoraString("again"))
    assert getattr(obj, field).GetValue() == "again"


@_of("text")
def test_assigning_a_text_field_to_itself_keeps_the_text(record, field, kind, default):
    obj = getattr(corvel, record)()
    getattr(obj, field).SetValue("self " * 50)
    for _ in range(3):
        setattr(obj, field, getattr(obj, field))
    assert getattr(obj, field).GetValue() == "self " * 50


def test_text_fields_copy_between_records():
    a, b = corvel.RoomParams(), corvel.RoomParams()
    a.user_id.SetValue("alice")
    b.user_id = a.user_id
    b.user_sig = a.user_id
    a.user_id.SetValue("changed")
    assert b.user_id.GetValue() == "alice" and b.user_sig.GetValue() == "alice"


@_of("text")
def test_text_fields_refuse_anything_but_a_vora_string(record, field, kind, default):
    obj = getattr(corvel, record)()
    getattr(obj, field).SetValue("kept")
    for value in ("plain str", None, b"bytes", 0, corvel.RoomParams()):
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field).GetValue() == "kept"


@_of(*NESTED)
def test_nested_records_read_as_views(record, field, kind, default):
    params = getattr(corvel, record)()
    view = getattr(params, field)
    rows = [(f, k) for r, f, k, _ in FIELDS if r == kind]
    for seed, (name, sub_kind) in enumerate(rows):
        setattr(view, name, _distinct_value(kind, name, sub_kind, seed))
    assert _read(getattr(params, field)) == _read(view)
    assert _read(view) != _read(getattr(corvel, kind)())


@_of(*NESTED)
def test_assigning_a_nested_record_copies_it(record, field, kind, default):
    params = getattr(corvel, record)()
    source = getattr(corvel, kind)()
    rows = [(f, k) for r, f, k, _ in FIELDS if r == kind]
    for seed, (name, sub_kind) in enumerate(rows):
        setattr(source, name, _distinct_value(kind, name, sub_kind, seed))
    expected = _read(source)
    setattr(params, field, source)
    assert _read(getattr(params, field)) == expected
    fresh = getattr(corvel, kind)()
    for name, _ in rows:
        setattr(source, name, getattr(fresh, name))
    assert _read(getattr(params, field)) == expected
    del source
    gc.collect()
    assert _read(getattr(params, field)) == expected


def test_nested_room_copy_owns_its_texts():
    params = corvel.EnterRoomParams()
    room = corvel.RoomParams()
    room.user_id.SetValue("alice")
    room.str_room_id.SetValue(None)
    params.room = room
    room.user_id.SetValue("mallory")
    params.room.user_sig.SetValue("sig")
    assert params.room.user_id.GetValue() == "alice"
    assert params.room.str_room_id.GetValue() is None
    assert room.user_sig.GetValue() == ""
    params.room = params.room
    assert params.room.user_id.GetValue() == "alice"


@_of(*NESTED)
def test_nested_record_fields_refuse_other_types(record, field, kind, default):
    params = getattr(corvel, record)()
    other = "AudioObtainParams" if kind == "RoomParams" else "RoomParams"
    for value in (None, getattr(corvel, other)(), {}, 0):
        with pytest.raises(TypeError):
            setattr(params, field, value)


@pytest.mark.parametrize("record", RECORDS)
@pytest.mark.parametrize("name", ["custom_data", "foo", "decryption_delegate",
                                  "encryption_delegate", "__dict__"])
def test_unknown_attributes_cannot_be_read_or_written(record, name):
    obj = getattr(corvel, record)()
    with pytest.raises(AttributeError):
        getattr(obj, name)
    if name != "__dict__":
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


@pytest.mark.parametrize("record,field", [(r, f) for r, f, *_ in FIELDS],
                         ids=[f"{r}.{f}" for r, f, *_ in FIELDS])
def test_fields_cannot_be_deleted(record, field):
    obj = getattr(corvel, record)()
    before = _read(getattr(obj, field))
    # A property without a deleter: Python raises AttributeError here.
    with pytest.raises(AttributeError):
        delattr(obj, field)
    assert _read(getattr(obj, field)) == before


@pytest.mark.parametrize("record", RECORDS)
@pytest.mark.parametrize("args,kwargs", [((0,), {}), ((None,), {}), ((), {"room_id": 1}),
                                         ((), {"enable": True})])
def test_records_take_no_constructor_arguments(record, args, kwargs):
    with pytest.raises(TypeError):
        getattr(corvel, record)(*args, **kwargs)


def test_python_subclass_can_hold_new_attributes():
    class TaggedRoom(corvel.RoomParams):
        pass

    room = TaggedRoom()
    room.tag = "mine"
    room.room_id = 9
    params = corvel.EnterRoomParams()
    params.room = room
    assert room.tag == "mine"
    assert params.room.room_id == 9 and type(params.room) is corvel.RoomParams


# ---- what the engine, compiled separately, reads from records filled here ----


def _last_call(instance, op):
    calls = [c for c in probe.calls(instance) if c["op"] == op]
    assert calls, f"the engine recorded no {op}"
    return calls[-1]


ENTER_ROOM_CASES = {
    "distinct": dict(
        sdk_app_id=4_000_000_001, room_id=3_999_999_999, user_id="alice-ü",
        user_sig="sig\x7f", str_room_id="room-42", scene=corvel.VORA_SCENE_VOICE_CHAT,
        role=corvel.VORA_ROLE_AUDIENCE, private_map_key="pmk",
        method=corvel.AUDIO_OBTAIN_METHOD_GET,
        mix=True, rate=44100, channels=2, frame_ms=10, codec=corvel.AUDIO_CODEC_TYPE_OPUS,
        pixel_in=True, pixel_out=False),
    "extremes": dict(
        sdk_app_id=2**32 - 1, room_id=0, user_id=None, user_sig="", str_room_id=None,
        scene=corvel.VORA_SCENE_RECORD, role=corvel.VORA_ROLE_ANCHOR, private_map_key=None,
        method=corvel.AUDIO_OBTAIN_METHOD_CALLBACK, mix=False, rate=-2**31, channels=2**31 - 1,
        frame_ms=-1, codec=corvel.AUDIO_CODEC_TYPE_AAC, pixel_in=False, pixel_out=True),
    "unnamed-enums": dict(
        sdk_app_id=1, room_id=2, user_id="u", user_sig="s", str_room_id="r",
        scene=corvel.VORAScene(77), role=corvel.VORARole(2**32 - 1), private_map_key="k",
        method=corvel.AudioObtainMethod(9), mix=True, rate=8000, channels=1, frame_ms=40,
        codec=corvel.AudioCodecType(5), pixel_in=True, pixel_out=True),
}


def _text(value):
    return None if value is None else value.encode()


@pytest.mark.parametrize("case", ENTER_ROOM_CASES)
def test_engine_receives_every_field_of_enter_room_params(engine_cloud, case):
    cloud, instance = engine_cloud
    v = ENTER_ROOM_CASES[case]
    params = corvel.EnterRoomParams()
    room = params.room  # a view: writes land in params
    room.sdk_app_id = v["sdk_app_id"]
    room.room_id = v["room_id"]
    room.user_id.SetValue(v["user_id"])
    room.user_sig = corvel.VoraString(v["user_sig"])
    params.room.str_room_id.SetValue(v["str_room_id"])
    params.scene = v["scene"]
    params.role = v["role"]
    params.private_map_key.SetValue(v["private_map_key"])
    obtain = corvel.AudioObtainParams()  # assigned whole: copied in
    obtain.audio_obtain_method = v["method"]
    obtain.enable_remote_audio_mix = v["mix"]
    obtain.output_sample_rate = v["rate"]
    obtain.output_channels = v["channels"]
    obtain.output_frame_length_ms = v["frame_ms"]
    obtain.output_audio_codec_type = v["codec"]
    params.audio_obtain_params = obtain
    params.use_pixel_frame_input = v["pixel_in"]
    params.use_pixel_frame_output = v["pixel_out"]

    cloud.EnterRoom(params)

    assert _last_call(instance, "EnterRoom")["params"] == {
        "room": {
            "sdk_app_id": v["sdk_app_id"], "user_id": _text(v["user_id"]),
            "user_sig": _text(v["user_sig"]), "room_id": v["room_id"],
            "str_room_id": _text(v["str_room_id"]),
            "custom_data": 0, "decryption_delegate": 0, "encryption_delegate": 0,
        },
        "scene": v["scene"].value,
        "role": v["role"].value,
        "private_map_key": _text(v["private_map_key"]),
        "audio_obtain_params": {
            "audio_obtain_method": v["method"].value,
            "enable_remote_audio_mix": v["mix"],
            "output_sample_rate": v["rate"],
            "output_channels": v["channels"],
            "output_frame_length_ms": v["frame_ms"],
            "output_audio_codec_type": v["codec"].value,
        },
        "use_pixel_frame_input": v["pixel_in"],
        "use_pixel_frame_output": v["pixel_out"],
    }
    # The engine reads the record; it leaves it as it was.
    assert params.room.user_id.GetValue() == v["user_id"]
    assert params.audio_obtain_params.output_sample_rate == v["rate"]


def test_engine_receives_default_enter_room_params(engine_cloud):
    cloud, instance = engine_cloud
    cloud.EnterRoom(corvel.EnterRoomParams())
    received = _last_call(instance, "EnterRoom")["params"]
    assert received["room"] == {
        "sdk_app_id": 0, "user_id": b"", "user_sig": b"", "room_id": 0, "str_room_id": b"",
        "custom_data": 0, "decryption_delegate": 0, "encryption_delegate": 0}
    assert received["scene"] == 0 and received["role"] == 0
    assert received["private_map_key"] == b""
    assert received["audio_obtain_params"] == {
        "audio_obtain_method": 1, "enable_remote_audio_mix": False, "output_sample_rate": 16000,
        "output_channels": 1, "output_frame_length_ms": 20, "output_audio_codec_type": 0}
    assert received["use_pixel_frame_input"] is False
    assert received["use_pixel_frame_output"] is False


@pytest.mark.parametrize("values", [
    (2, 44100, 10, 128000, False),
    (-2**31, 2**31 - 1, 0, -1, True),
    (1, 48000, 20, 51200, True),
])
def test_engine_receives_audio_encode_params(engine_cloud, values):
    cloud, instance = engine_cloud
    params = corvel.AudioEncodeParams()
    names = ("channels", "sample_rate", "frame_length_ms", "bitrate_bps", "need_encode")
    for name, value in zip(names, values, strict=True):
        setattr(params, name, value)
    cloud.CreateLocalAudioChannel(params)
    received = _last_call(instance, "CreateLocalAudioChannel")["params"]
    assert received == dict(zip(names, values, strict=True))


@pytest.mark.parametrize("stream,values", [
    (corvel.STREAM_TYPE_VIDEO_AUX, (30, 2_500_000, 1)),
    (corvel.STREAM_TYPE_VIDEO_LOW, (-2**31, 2**31 - 1, -7)),
    (corvel.StreamType(5), (15, 0, 3)),
])
def test_engine_receives_video_encode_params(engine_cloud, stream, values):
    cloud, instance = engine_cloud
    params = corvel.VideoEncodeParams()
    names = ("frame_rate", "bitrate_bps", "gop_in_seconds")
    for name, value in zip(names, values, strict=True):
        setattr(params, name, value)
    cloud.SetVideoEncodeParam(stream, params)
    call = _last_call(instance, "SetVideoEncodeParam")
    assert call["type"] == stream.value
    assert call["param"] == dict(zip(names, values, strict=True))


@pytest.mark.parametrize("enable", [True, False, None, 2])
def test_engine_receives_vad_params(engine_cloud, enable):
    cloud, instance = engine_cloud
    params = corvel.VADParams()
    params.enable = not enable
    params.enable = enable
    cloud.EnableVoiceActivityDetection(params)
    assert _last_call(instance, "EnableVoiceActivityDetection")["params"] == {
        "enable": bool(enable)}


@pytest.mark.parametrize("method,args", [
    ("EnterRoom", [corvel.RoomParams()]),
    ("EnterRoom", [None]),
    ("CreateLocalAudioChannel", [corvel.VideoEncodeParams()]),
    ("CreateLocalAudioChannel", [None]),
    ("SetVideoEncodeParam", [2, corvel.VideoEncodeParams()]),
    ("SetVideoEncodeParam", [corvel.VORA_ROLE_AUDIENCE, corvel.VideoEncodeParams()]),
    ("SetVideoEncodeParam", [corvel.STREAM_TYPE_VIDEO_HIGH, corvel.AudioEncodeParams()]),
    ("EnableVoiceActivityDetection", [True]),
    ("EnableVoiceActivityDetection", [None]),
    ("CreateLocalVideoChannel", [2]),
    ("CreateLocalVideoChannel", [corvel.NETWORK_QUALITY_GOOD]),
    ("DestroyLocalVideoChannel", [corvel.VIDEO_ROTATION_180]),
    ("Subscribe", ["bob", 1]),
    ("Subscribe", ["bob", corvel.VORA_ROLE_AUDIENCE]),
    ("Unsubscribe", ["bob", -1]),
])
def test_cloud_methods_refuse_the_wrong_record_or_enumeration(engine_cloud, method, args):
    cloud, instance = engine_cloud
    before = len(probe.calls(instance))
    with pytest.raises(TypeError):
        getattr(cloud, method)(*args)
    assert len(probe.calls(instance)) == before


# ---- the TypeError of a field names the field and what it accepts ----


@_of("u32", "i32")
def test_int_field_refusal_names_the_field_and_its_range(record, field, kind, default):
    low, high = UINT32 if kind == "u32" else INT32
    obj = getattr(corvel, record)()
    for value, shown in ((low - 1, str(low - 1)), (high + 1, str(high + 1)), (2**64, str(2**64)),
                         (7.0, "7.0"), ("7", "'7'"), (None, "None"), (Index(2**40), None)):
        with pytest.raises(TypeError) as raised:
            setattr(obj, field, value)
        message = str(raised.value)
        assert message.startswith(f"{record}.{field}: expected an integer in {low}..{high}, "
                                  f"got "), message
        if shown is not None:
            assert message.endswith(f"got {shown}")


@_of("bool", "text", *NESTED, *_enum_kinds())
def test_other_field_refusals_name_the_field_and_its_type(record, field, kind, default):
    expected = {"bool": "a bool", "text": "a VoraString"}.get(
        kind, ("an " if kind[0] in "AEIOU" else "a ") + kind)
    value = "yes" if kind == "bool" else 3
    with pytest.raises(TypeError) as raised:
        setattr(getattr(corvel, record)(), field, value)
    assert str(raised.value) == f"{record}.{field}: expected {expected}, got {value!r}"


@_of("text", *NESTED)
def test_fields_refuse_a_value_never_initialised(record, field, kind, default):
    cls = corvel.VoraString if kind == "text" else getattr(corvel, kind)
    obj = getattr(corvel, record)()
    before = _read(getattr(obj, field))
    with pytest.raises(TypeError, match="never initialised"):
        setattr(obj, field, cls.__new__(cls))
    assert _read(getattr(obj, field)) == before
