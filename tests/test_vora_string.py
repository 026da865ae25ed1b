"""VoraString: the engine's owned text, built and changed from Python."""

import gc

import pytest

import _corvel as corvel

NULL_TEXT_ERROR = "basic_string: construction from null is not valid"

# (argument, text the engine then holds)
TEXTS = [
    ("alice", "alice"),
    ("", ""),
    ("héllo wörld", "héllo wörld"),
    ("日本語 ✓ 🎧", "日本語 ✓ 🎧"),
    ("line\nbreak\ttab", "line\nbreak\ttab"),
    ("before\x00after", "before"),
    ("\x00", ""),
    (b"raw bytes", "raw bytes"),
    (b"", ""),
    (bytearray(b"from bytearray"), "from bytearray"),
    ("é".encode(), "é"),
    (b"cut\x00here", "cut"),
    (bytearray(b"cut\x00here"), "cut"),
    ("x" * 100_000, "x" * 100_000),
]
TEXT_IDS = [f"{type(arg).__name__}-{i}" for i, (arg, _) in enumerate(TEXTS)]

# Arguments that are not text at all.
NOT_TEXT = [0, 1.5, ["a"], object(), "lone \ud800 surrogate", "\udc80"]
NOT_TEXT_IDS = ["int", "float", "list", "object", "surrogate", "low-surrogate"]

INVALID_UTF8 = [b"\xff", b"\xc3", b"abc\x80def", b"\xed\xa0\x80", bytearray(b"\xfe\xfe")]


def test_default_holds_the_empty_text():
    value = corvel.VoraString()
    assert value.GetValue() == ""
    assert str(value) == ""
    assert repr(value) == "VoraString()"


@pytest.mark.parametrize("arg,text", TEXTS, ids=TEXT_IDS)
def test_construct_from_text(arg, text):
    value = corvel.VoraString(arg)
    assert value.GetValue() == text
    assert type(value.GetValue()) is str
    assert str(value) == text
    assert repr(value) == f"VoraString({text})"


@pytest.mark.parametrize("arg,text", TEXTS, ids=TEXT_IDS)
def test_set_value_replaces_the_text(arg, text):
    value = corvel.VoraString("previous text that is longer than most")
    assert value.SetValue(arg) is None
    assert value.GetValue() == text
    assert str(value) == text


def test_the_source_object_is_not_shared():
    source = bytearray(b"mutable")
    value = corvel.VoraString(source)
    source[:] = b"changed"
    assert value.GetValue() == "mutable"
    value.SetValue(source)
    source[0:1] = b"X"
    assert value.GetValue() == "changed"


@pytest.mark.parametrize("build", [
    lambda: corvel.VoraString(None),
    lambda: _set(corvel.VoraString("had text"), None),
    lambda: _set(corvel.VoraString(), None),
], ids=["construct", "set-after-text", "set-after-default"])
def test_null_text(build):
    value = build()
    assert value.GetValue() is None
    with pytest.raises(RuntimeError, match=NULL_TEXT_ERROR):
        str(value)
    with pytest.raises(RuntimeError, match=NULL_TEXT_ERROR):
        repr(value)


def _set(value, text):
    value.SetValue(text)
    return value


def test_null_text_can_be_replaced_again():
    value = corvel.VoraString(None)
    value.SetValue("back")
    assert value.GetValue() == "back" and str(value) == "back"
    for _ in range(3):
        value.SetValue(None)
        assert value.GetValue() is None
        value.SetValue("")
        assert value.GetValue() == ""


@pytest.mark.parametrize("text", [
    "it's", 'say "hi"', "back\\slash", "(nested)", "new\nline", "VoraString(x)", " ",
])
def test_repr_wraps_the_text_without_quoting_or_escaping(text):
    assert repr(corvel.VoraString(text)) == "VoraString(" + text + ")"


def test_repr_of_the_empty_text():
    assert repr(corvel.VoraString("")) == "VoraString()"
    assert repr(corvel.VoraString(b"")) == "VoraString()"


@pytest.mark.parametrize("arg", NOT_TEXT, ids=NOT_TEXT_IDS)
def test_construct_refuses_what_is_not_text(arg):
    with pytest.raises(TypeError):
        corvel.VoraString(arg)


@pytest.mark.parametrize("arg", NOT_TEXT, ids=NOT_TEXT_IDS)
def test_set_value_refuses_what_is_not_text_and_keeps_the_value(arg):
    value = corvel.VoraString("kept")
    with pytest.raises(TypeError):
        value.SetValue(arg)
    assert value.GetValue() == "kept"


def test_construct_refuses_more_than_one_argument():
    with pytest.raises(TypeError):
        corvel.VoraString("a", "b")
    with pytest.raises(TypeError):
        corvel.VoraString().SetValue()


@pytest.mark.parametrize("raw", INVALID_UTF8, ids=lambda raw: bytes(raw).hex())
@pytest.mark.parametrize("how", ["construct", "set"])
def test_stored_invalid_utf8_cannot_be_read_as_text(raw, how):
    value = corvel.VoraString(raw) if how == "construct" else _set(corvel.VoraString(), raw)
    with pytest.raises(UnicodeDecodeError):
        value.GetValue()
    with pytest.raises(UnicodeDecodeError):
        str(value)
    with pytest.raises(UnicodeDecodeError):
        repr(value)
    value.SetValue("fine")
    assert value.GetValue() == "fine"


def test_equality_is_identity():
    a = corvel.VoraString("same")
    b = corvel.VoraString("same")
    assert a == a
    assert a != b
    assert not (a == b)
    assert a != "same"


def test_text_read_earlier_does_not_follow_later_changes():
    value = corvel.VoraString("first")
    first = value.GetValue()
    as_str = str(value)
    value.SetValue("second, which is longer")
    assert first == "first" and as_str == "first"
    assert value.GetValue() == "second, which is longer"


def test_many_values_live_and_die_independently():
    values = [corvel.VoraString(f"value {i}") for i in range(2000)]
    del values[::2]
    gc.collect()
    assert [v.GetValue() for v in values[:3]] == ["value 1", "value 3", "value 5"]
    for i, v in enumerate(values):
        v.SetValue(None if i % 3 == 0 else str(i))
    assert values[0].GetValue() is None
    assert values[1].GetValue() == "1"
