"""The engine's enumerations as Python sees them: members, conversions,
comparison, hashing, text forms and pickling."""

import operator
import pickle
import subprocess
import sys

import pytest

import _corvel as corvel

# Every enumeration, its members in declaration order, and whether its
# underlying type is signed.
ENUMS = {
    "Error": (True, [
        ("ERR_OK", 0),
        ("ERR_FAILED", -1),
        ("ERR_INVALID_PARAMETER", -2),
        ("ERR_INVALID_OPERATION", -3),
        ("ERR_NOT_SUPPORTED", -4),
        ("ERR_REQUEST_SERVER_TIMEOUT", -6),
        ("ERR_SERVER_PROCESS_FAILED", -7),
        ("ERR_READ_TRY_AGAIN", -102),
        ("ERR_NETWORK_UNREACHABLE", -103),
        ("ERR_ENTER_ROOM_FAILED", -3301),
        ("ERR_INVALID_SDK_APP_ID", -3317),
        ("ERR_INVALID_ROOM_ID", -3318),
        ("ERR_INVALID_USER_ID", -3319),
        ("ERR_INVALID_USER_SIG", -3320),
        ("ERR_SERVICE_SUSPENDED", -100013),
        ("ERR_BANNED_BY_SERVER", -205),
    ]),
    "VideoCodecType": (False, [("VIDEO_CODEC_TYPE_H264", 0), ("VIDEO_CODEC_TYPE_H265", 1)]),
    "AudioCodecType": (False, [
        ("AUDIO_CODEC_TYPE_PCM", 0), ("AUDIO_CODEC_TYPE_OPUS", 1), ("AUDIO_CODEC_TYPE_AAC", 2)]),
    "VORARole": (False, [("VORA_ROLE_ANCHOR", 0), ("VORA_ROLE_AUDIENCE", 1)]),
    "VORAScene": (False, [
        ("VORA_SCENE_VIDEO_CALL", 0),
        ("VORA_SCENE_AUDIO_CALL", 1),
        ("VORA_SCENE_LIVE", 2),
        ("VORA_SCENE_VOICE_CHAT", 3),
        ("VORA_SCENE_RECORD", 4),
    ]),
    "StreamType": (True, [
        ("STREAM_TYPE_UNKNOWN", -1),
        ("STREAM_TYPE_VIDEO_HIGH", 2),
        ("STREAM_TYPE_VIDEO_LOW", 3),
        ("STREAM_TYPE_VIDEO_AUX", 7),
        ("STREAM_TYPE_AUDIO", 1),
    ]),
    "AudioObtainMethod": (False, [("AUDIO_OBTAIN_METHOD_GET", 0),
                                  ("AUDIO_OBTAIN_METHOD_CALLBACK", 1)]),
    "NetworkQuality": (False, [
        ("NETWORK_QUALITY_UNKNOWN", 0),
        ("NETWORK_QUALITY_EXCELLENT", 1),
        ("NETWORK_QUALITY_GOOD", 2),
        ("NETWORK_QUALITY_POOR", 3),
        ("NETWORK_QUALITY_BAD", 4),
        ("NETWORK_QUALITY_VERY_BAD", 5),
        ("NETWORK_QUALITY_DOWN", 6),
    ]),
    "ConnectionState": (False, [
        ("CONNECTION_STATE_INIT", 0),
        ("CONNECTION_STATE_DISCONNECTED", 1),
        ("CONNECTION_STATE_CONNECTING", 2),
        ("CONNECTION_STATE_CONNECTED", 3),
    ]),
    "VideoRotation": (False, [
        ("VIDEO_ROTATION_0", 0), ("VIDEO_ROTATION_90", 1),
        ("VIDEO_ROTATION_180", 2), ("VIDEO_ROTATION_270", 3)]),
    "VideoPixelFormat": (False, [
        ("VIDEO_PIXEL_FORMAT_YUV420p", 0),
        ("VIDEO_PIXEL_FORMAT_YUVA420p", 1),
        ("VIDEO_PIXEL_FORMAT_RGBA", 2),
    ]),
}

MEMBERS = [(enum, name, value) for enum, (_, members) in ENUMS.items() for name, value in members]
MEMBER_IDS = [name for _, name, _ in MEMBERS]


def _range(enum):
    return (-2**31, 2**31 - 1) if ENUMS[enum][0] else (0, 2**32 - 1)


class Index:
    """An object that is not an int but converts to one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("enum", ENUMS)
def test_members_are_listed_in_declaration_order(enum):
    cls = getattr(corvel, enum)
    members = cls.__members__
    assert [(name, int(member)) for name, member in members.items()] == ENUMS[enum][1]
    for name, member in members.items():
        assert member is getattr(cls, name)
        assert type(member) is cls


@pytest.mark.parametrize("enum,name,value", MEMBERS, ids=MEMBER_IDS)
def test_member_reports_its_name_and_value(enum, name, value):
    cls = getattr(corvel, enum)
    member = getattr(cls, name)
    assert getattr(corvel, name) is member
    assert member.name == name
    assert member.value == value and type(member.value) is int
    assert int(member) == value and member.__index__() == value
    assert hash(member) == hash(value)
    assert str(member) == f"{enum}.{name}"
    assert repr(member) == f"<{enum}.{name}: {value}>"


@pytest.mark.parametrize("enum,name,value", MEMBERS, ids=MEMBER_IDS)
def test_constructing_from_a_member_value_gives_an_equal_instance(enum, name, value):
    cls = getattr(corvel, enum)
    made = cls(value)
    assert type(made) is cls
    assert made == getattr(cls, name)
    assert made.name == name


@pytest.mark.parametrize("enum", ENUMS)
def test_values_across_the_whole_underlying_range_are_accepted(enum):
    cls = getattr(corvel, enum)
    low, high = _range(enum)
    for value in (low, high, 12345, True, False, Index(high)):
        made = cls(value)
        assert made.value == int(value)


@pytest.mark.parametrize("enum", ENUMS)
def test_values_outside_the_underlying_range_are_refused(enum):
    cls = getattr(corvel, enum)
    low, high = _range(enum)
    for value in (low - 1, high + 1, 2**64, -2**63 - 1):
        with pytest.raises(TypeError):
            cls(value)


@pytest.mark.parametrize("enum", ENUMS)
@pytest.mark.parametrize("value", [0.0, 1.5, "0", b"\x00", None, [0], Index(2**40)],
                         ids=["float0", "float", "str", "bytes", "None", "list", "big-index"])
def test_non_integers_are_refused(enum, value):
    with pytest.raises(TypeError):
        getattr(corvel, enum)(value)


@pytest.mark.parametrize("enum,value", [
    ("Error", -8), ("Error", 1), ("Error", -2**31), ("StreamType", 5), ("StreamType", -2),
    ("VORARole", 2), ("VideoRotation", 90), ("VideoPixelFormat", 2**32 - 1),
    ("NetworkQuality", 7),
])
def test_value_naming_no_member_is_kept_and_named_unknown(enum, value):
    made = getattr(corvel, enum)(value)
    assert made.value == value and int(made) == value
    assert made.name == "???"
    assert str(made) == f"{enum}.???"
    assert repr(made) == f"<{enum}.???: {value}>"
    assert made not in getattr(corvel, enum).__members__.values()


def test_text_forms_of_negative_values():
    assert repr(corvel.ERR_SERVICE_SUSPENDED) == "<Error.ERR_SERVICE_SUSPENDED: -100013>"
    assert str(corvel.Error(-8)) == "Error.???"
    assert repr(corvel.Error(-8)) == "<Error.???: -8>"
    assert repr(corvel.STREAM_TYPE_UNKNOWN) == "<StreamType.STREAM_TYPE_UNKNOWN: -1>"


@pytest.mark.parametrize("left,right,equal", [
    (corvel.VORA_ROLE_ANCHOR, corvel.VORA_ROLE_ANCHOR, True),
    (corvel.VORA_ROLE_ANCHOR, corvel.VORARole(0), True),
    (corvel.VORA_ROLE_ANCHOR, corvel.VORA_ROLE_AUDIENCE, False),
    (corvel.VORA_ROLE_ANCHOR, 0, True),
    (corvel.VORA_ROLE_AUDIENCE, 1, True),
    (corvel.VORA_ROLE_AUDIENCE, 0, False),
    (corvel.ERR_SERVICE_SUSPENDED, -100013, True),
    (corvel.STREAM_TYPE_UNKNOWN, -1, True),
    (corvel.STREAM_TYPE_UNKNOWN, 2**32 - 1, False),
    (corvel.VORA_ROLE_AUDIENCE, 1.0, True),
    (corvel.VORA_ROLE_AUDIENCE, 1.5, False),
    (corvel.VORA_ROLE_AUDIENCE, True, True),
    (corvel.VORA_ROLE_ANCHOR, corvel.VORA_SCENE_VIDEO_CALL, True),
    (corvel.VORA_ROLE_AUDIENCE, corvel.STREAM_TYPE_AUDIO, True),
    (corvel.ERR_OK, corvel.VIDEO_ROTATION_0, True),
    (corvel.ERR_FAILED, corvel.STREAM_TYPE_UNKNOWN, True),
    (corvel.ERR_OK, corvel.VORA_ROLE_AUDIENCE, False),
    (corvel.ERR_OK, None, False),
    (corvel.VORA_ROLE_ANCHOR, "0", False),
    (corvel.VORA_ROLE_ANCHOR, "VORA_ROLE_ANCHOR", False),
    (corvel.VORA_ROLE_ANCHOR, b"", False),
    (corvel.VORA_ROLE_ANCHOR, [], False),
    (corvel.StreamType(5), 5, True),
    (corvel.StreamType(5), corvel.StreamType(5), True),
], ids=lambda v: getattr(v, "name", None) or repr(v))
def test_equality_compares_the_integer_value(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal
    assert (right != left) is (not equal)


def test_hash_agrees_with_equality_across_enumerations():
    assert len({corvel.VORA_ROLE_ANCHOR, corvel.VORA_SCENE_VIDEO_CALL, corvel.ERR_OK, 0}) == 1
    lookup = {corvel.STREAM_TYPE_UNKNOWN: "unknown"}
    assert lookup[-1] == "unknown"
    assert lookup[corvel.ERR_FAILED] == "unknown"
    assert {-100013: "x"}[corvel.ERR_SERVICE_SUSPENDED] == "x"


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge],
                         ids=["lt", "le", "gt", "ge"])
@pytest.mark.parametrize("other", [corvel.VORA_ROLE_AUDIENCE, 1, 0.5],
                         ids=["member", "int", "float"])
def test_enumerations_are_not_ordered(op, other):
    with pytest.raises(TypeError):
        op(corvel.VORA_ROLE_ANCHOR, other)


@pytest.mark.parametrize("op", [
    operator.add, operator.sub, operator.mul, operator.and_, operator.or_, operator.xor,
    operator.lshift, operator.floordiv, operator.mod,
], ids=lambda op: op.__name__)
@pytest.mark.parametrize("other", [corvel.NETWORK_QUALITY_GOOD, 1], ids=["member", "int"])
def test_enumerations_have_no_arithmetic(op, other):
    with pytest.raises(TypeError):
        op(corvel.NETWORK_QUALITY_POOR, other)
    with pytest.raises(TypeError):
        op(other, corvel.NETWORK_QUALITY_POOR)


@pytest.mark.parametrize("op", [operator.neg, operator.invert, abs], ids=["neg", "invert", "abs"])
def test_enumerations_have_no_unary_arithmetic(op):
    with pytest.raises(TypeError):
        op(corvel.NETWORK_QUALITY_POOR)


@pytest.mark.parametrize("enum,name,value", MEMBERS, ids=MEMBER_IDS)
def test_every_instance_is_truthy(enum, name, value):
    assert bool(getattr(corvel, name)) is True
    assert bool(getattr(corvel, enum)(value)) is True


def test_zero_valued_and_unknown_instances_are_truthy():
    assert corvel.ERR_OK
    assert corvel.Error(0)
    assert corvel.StreamType(0)


def test_members_work_where_python_wants_an_integer():
    items = ["zero", "one", "two", "three"]
    assert items[corvel.VIDEO_ROTATION_180] == "two"
    assert items[corvel.STREAM_TYPE_UNKNOWN] == "three"
    assert hex(corvel.VIDEO_PIXEL_FORMAT_RGBA) == "0x2"
    assert hex(corvel.ERR_ENTER_ROOM_FAILED) == "-0xce5"
    assert list(range(corvel.NETWORK_QUALITY_BAD)) == [0, 1, 2, 3]
    assert operator.index(corvel.VORA_SCENE_RECORD) == 4


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("enum,name,value", [
    ("NetworkQuality", "NETWORK_QUALITY_POOR", 3),
    ("Error", "ERR_SERVICE_SUSPENDED", -100013),
    ("StreamType", "STREAM_TYPE_UNKNOWN", -1),
    ("VideoPixelFormat", "VIDEO_PIXEL_FORMAT_RGBA", 2),
])
def test_pickling_round_trip(protocol, enum, name, value):
    member = getattr(corvel, name)
    back = pickle.loads(pickle.dumps(member, protocol=protocol))
    assert type(back) is getattr(corvel, enum)
    assert back == member and back.value == value and back.name == name


@pytest.mark.parametrize("protocol", [0, 1])
def test_oldest_pickle_protocols_fail_cleanly(protocol):
    # In a child process: before the allocator was guarded this aborted the interpreter.
    code = (
        "import pickle, _corvel as c\n"
        "for v in (c.NETWORK_QUALITY_POOR, c.RoomParams(), c.AudioFrame()):\n"
        "    try:\n"
        f"        pickle.dumps(v, protocol={protocol})\n"
        "    except TypeError:\n"
        "        print('TypeError')\n"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["TypeError"] * 3


def test_pickling_a_value_naming_no_member():
    back = pickle.loads(pickle.dumps(corvel.Error(-8)))
    assert type(back) is corvel.Error and back.value == -8 and back.name == "???"


def test_docstring_lists_the_members():
    assert corvel.VORARole.__doc__ == "Members:\n\n  VORA_ROLE_ANCHOR\n\n  VORA_ROLE_AUDIENCE"


@pytest.mark.parametrize("enum", ENUMS)
def test_every_docstring_lists_its_members_in_order(enum):
    names = [name for name, _ in ENUMS[enum][1]]
    assert getattr(corvel, enum).__doc__ == "Members:" + "".join(f"\n\n  {n}" for n in names)


def test_value_and_name_are_read_only():
    member = corvel.VORARole(1)
    with pytest.raises(AttributeError):
        member.value = 0
    with pytest.raises(AttributeError):
        member.name = "VORA_ROLE_ANCHOR"
    assert member.value == 1 and corvel.VORA_ROLE_AUDIENCE.value == 1
