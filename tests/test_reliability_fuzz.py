"""Arbitrary Python values thrown at every function, method, constructor and
field setter of the module.

Each call must either succeed or raise TypeError, ValueError, AttributeError,
OverflowError or UnicodeError (or let through the exception that a hostile
argument's own dunder raised); it must never crash the interpreter, raise
SystemError, or leave an error set. Values: None, bools, integers from tiny to
10**100 and negative, floats with NaN and infinities, text with lone
surrogates, bytes of 4 MiB (64 KiB in the default tier), containers,
instances of every module class, enum members, and objects whose __index__,
__int__, __bool__, __eq__, __hash__, __len__ or __str__ raise or lie
(including subclasses of int, str, bytes and float).

Every group of callables runs in its own interpreter (this file run as a
script), which writes each call to a file before making it: a crash fails the
test and names the call that crashed. The default test tier runs every group
in one interpreter with few examples; the slow tier runs each group in its own.
Examples per callable: the loaded Hypothesis profile's max_examples (see
conftest.py), or CORVEL_FUZZ_EXAMPLES.
"""

from __future__ import annotations

import os
import reprlib
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

CLASSES = [
    "VORACloud", "VORACloudDelegate", "VoraString", "RoomParams", "EnterRoomParams",
    "AudioEncodeParams", "VideoEncodeParams", "NetworkQualityInfo", "UserInfo",
    "AudioObtainParams", "VADParams", "AudioFrame", "VideoFrame", "PixelFrame",
]
GROUPS = ["functions", "enums", *CLASSES]
# One interpreter taking every group in turn (a crash still names the call),
# and each group in an interpreter of its own.
# The default tier's run uses 64 KiB for its largest bytes: the error
# messages that quote a 4 MiB argument cost seconds.
CASES = [pytest.param(",".join(GROUPS), 64 << 10, id="all-groups"),
         *(pytest.param(group, 4 << 20, id=group, marks=pytest.mark.slow) for group in GROUPS)]


def examples() -> int:
    if os.environ.get("CORVEL_FUZZ_EXAMPLES"):
        return int(os.environ["CORVEL_FUZZ_EXAMPLES"])
    from hypothesis import settings
    return settings().max_examples  # the profile loaded by conftest.py


@pytest.mark.parametrize("group, huge", CASES)
def test_arbitrary_arguments_never_crash(group, huge, tmp_path):
    pytest.importorskip("hypothesis", reason="the fuzzing needs hypothesis")
    last_call = tmp_path / "last-call"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [HERE] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    try:
        child = subprocess.run(
            [sys.executable, "-X", "faulthandler", __file__, group, str(last_call),
             str(examples()), str(huge)],
            capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path)
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"{group}: still running after 600 s; last call: "
                    f"{last_call.read_text() if last_call.exists() else '?'}\n{hung.stderr}")
    if child.returncode < 0 or "Fatal Python error" in child.stderr:
        pytest.fail(f"{group}: the interpreter crashed (status {child.returncode}) on\n"
                    f"    {last_call.read_text() if last_call.exists() else '?'}\n"
                    f"{child.stderr[-10000:]}")
    assert child.returncode == 0, f"{group}:\n{child.stdout[-20000:]}\n{child.stderr[-10000:]}"
    assert "callables fuzzed" in child.stdout, child.stdout


# --------------------------------------------------------------------------
# The child: python test_reliability_fuzz.py GROUPS LAST_CALL_FILE EXAMPLES HUGE_BYTES


def fuzz_groups(groups: str, last_call_path: str, examples: int, huge: int) -> int:
    status = 0
    for group in groups.split(","):
        status |= fuzz(group, last_call_path, examples, huge)
    return status


def fuzz(group: str, last_call_path: str, examples: int, huge: int) -> int:
    import traceback

    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    import _corvel as corvel

    from conftest import SilentDelegate

    class HostileError(Exception):
        """Raised by the hostile values' own methods."""

    def hostile(*_args, **_kwargs):
        raise HostileError("hostile dunder")

    class BadIndex:
        __index__ = __int__ = __float__ = __bool__ = __len__ = hostile
        __repr__ = lambda self: "BadIndex()"

    class HugeIndex:
        __index__ = __int__ = lambda self: 2**200
        __repr__ = lambda self: "HugeIndex()"

    class LyingIndex:
        __index__ = __int__ = lambda self: "not a number"
        __repr__ = lambda self: "LyingIndex()"

    class BadBool:
        __bool__ = hostile
        __repr__ = lambda self: "BadBool()"

    class BadEq:
        __eq__ = __ne__ = __hash__ = __lt__ = hostile
        __repr__ = lambda self: "BadEq()"

    class BadStr:
        __str__ = __fspath__ = __bytes__ = hostile
        __repr__ = lambda self: "BadStr()"

    class HostileInt(int):
        __index__ = __int__ = __bool__ = __eq__ = __hash__ = hostile
        __repr__ = lambda self: "HostileInt()"

    class HostileFloat(float):
        __index__ = __int__ = __float__ = __bool__ = hostile
        __repr__ = lambda self: "HostileFloat()"

    class HostileStr(str):
        __eq__ = __hash__ = __len__ = __str__ = __iter__ = hostile
        __repr__ = lambda self: "HostileStr()"

    class HostileBytes(bytes):
        __len__ = __bytes__ = __eq__ = __hash__ = __iter__ = hostile
        __repr__ = lambda self: "HostileBytes()"

    class HostileList(list):
        __len__ = __iter__ = __getitem__ = hostile
        __repr__ = lambda self: "HostileList()"

    hostiles = [BadIndex(), HugeIndex(), LyingIndex(), BadBool(), BadEq(), BadStr(),
                HostileInt(3), HostileFloat(1.5), HostileStr("abc"), HostileBytes(b"abc"),
                HostileList([1])]

    huge_bytes = b"\xab" * huge
    huge_text = "\u00e9" * (1 << 20)
    edge_ints = [0, 1, -1, 2, 255, 256, 2**15, 2**16, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1,
                 2**32 - 1, 2**32, 2**53, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1,
                 2**64, 10**100, -(10**100)]

    def make_instance(name: str):
        if name == "VORACloud":
            return corvel.VORACloud(SilentDelegate())
        if name == "VORACloudDelegate":
            return SilentDelegate()
        return getattr(corvel, name)()

    enums = [value for value in vars(corvel).values()
             if isinstance(value, type) and hasattr(value, "__members__")]
    members = [m for e in enums for m in e.__members__.values()]

    module_objects = st.one_of(
        st.sampled_from(CLASSES).map(make_instance),
        st.builds(lambda: corvel.VoraString(None)),  # holds no text at all
        st.integers(0, len(members) - 1).map(lambda i: members[i]),
        st.just(corvel.VORACloudDelegate()),
    )
    scalars = st.one_of(
        st.none(), st.booleans(),
        st.integers(), st.sampled_from(edge_ints),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(st.characters(exclude_categories=()), max_size=40),
        st.sampled_from(["", "\ud800", "a\udfffb", "\x00", "user\x00id", "a" * 5000]),
        st.binary(max_size=80),
        # By index, never by value: strategies keep the repr of their values.
        st.integers(0, 3).map(lambda i: (huge_bytes, huge_text, bytearray(b"xy"),
                                         memoryview(b"abc"))[i]),
        st.integers(0, len(hostiles) - 1).map(lambda i: hostiles[i]),
        module_objects,
    )
    # Dictionary keys: any text that encodes to UTF-8. Spelled out, since the
    # default alphabet (characters(codec="utf-8")) costs seconds of set-up in
    # every interpreter.
    utf8_keys = st.text(st.characters(exclude_categories=("Cs",)), max_size=5)
    values = st.recursive(
        scalars,
        lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                                st.dictionaries(utf8_keys, inner, max_size=2)),
        max_leaves=4)

    allowed = (TypeError, ValueError, AttributeError, OverflowError, UnicodeError, HostileError)
    log = open(last_call_path, "w")

    # Containers may hold the 4 MiB bytes: a plain repr() of those is slow.
    brief = reprlib.Repr(maxlevel=3, maxstring=100, maxlong=60, maxother=100)

    def short(value):
        if type(value) in (bytes, bytearray, str) and len(value) > 100:
            return f"<{type(value).__name__} of length {len(value)}>"
        if type(value).__module__ != "builtins" and not hasattr(type(value), "__members__"):
            if not type(value).__module__.startswith("_corvel"):
                return f"<{type(value).__name__}>"
        try:
            return brief.repr(value)[:200]
        except Exception:  # noqa: BLE001 - a hostile repr
            return f"<{type(value).__name__}>"

    def describe(label, args):
        return f"{label}({', '.join(short(a) for a in args)})"

    def call(label, fn, args, pure_virtual_ok=False):
        log.seek(0)
        log.write(describe(label, args) + "\n")
        log.truncate()
        log.flush()
        try:
            fn(*args)
        except allowed:
            pass
        except RuntimeError as error:
            # Two documented RuntimeErrors: the base delegate class has no
            # body for the callbacks an application must define, and a
            # VoraString that holds no text has no str() or repr().
            if not ((pure_virtual_ok and "pure virtual" in str(error))
                    or "construction from null is not valid" in str(error)):
                raise
        except SystemError:
            raise
        except BaseException as error:
            raise AssertionError(f"{describe(label, args)} raised "
                                 f"{type(error).__name__}: {error}") from error

    targets = []  # (label, function, takes a receiver of this class or None)
    if group == "functions":
        for name in ("SetLogPath", "SetLogLevel", "EnableConsoleLog", "DisableConsoleLog",
                     "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy", "SetEnvironment"):
            targets.append((name, getattr(corvel, name), None))
    elif group == "enums":
        # Every enumeration's constructor; the methods, which the binding
        # library generates alike for all of them, of two of them.
        for cls in enums:
            targets.append((f"{cls.__name__}", cls, None))
            if cls not in (corvel.Error, corvel.StreamType):
                continue
            for name, attr in vars(cls).items():
                if callable(attr) and name not in ("__new__",):
                    first = next(iter(cls.__members__.values()))
                    targets.append((f"{cls.__name__}.{name}", attr,
                                    lambda cls=cls, first=first: cls(int(first))))
    else:
        cls = getattr(corvel, group)
        targets.append((group, cls, None))
        for name, attr in vars(cls).items():
            receiver = lambda group=group: make_instance(group)
            if isinstance(attr, property):
                if attr.fset is not None:
                    targets.append((f"{group}.{name}.setter", attr.fset, receiver))
                targets.append((f"{group}.{name}.getter", attr.fget, receiver))
            elif callable(attr) and not isinstance(attr, type):
                targets.append((f"{group}.{name}", attr, receiver))

    # The log functions write where they are told; keep that inside the
    # working folder (a temporary one).
    if group == "functions":
        original = corvel.SetLogPath
        here = os.getcwd()

        def contained(*args):
            args = [os.path.join(here, a.lstrip("/")) if isinstance(a, str) else a for a in args]
            return original(*args)
        targets = [(label, contained if label == "SetLogPath" else fn, r)
                   for label, fn, r in targets]

    pure_ok = group == "VORACloudDelegate"

    def fuzz_one(label, fn, receiver):
        @settings(max_examples=examples, deadline=None, database=None,
                  suppress_health_check=list(HealthCheck))
        @given(args=st.lists(values, max_size=4), own=st.booleans())
        def check(args, own):
            if receiver is not None and own:
                args = [receiver(), *args]
            call(label, fn, args, pure_virtual_ok=pure_ok)

        check()

    failures = 0
    for label, fn, receiver in targets:
        try:
            fuzz_one(label, fn, receiver)
        except Exception:  # noqa: BLE001 - reported below with the failing call
            failures += 1
            print(f"FAILED {label}")
            traceback.print_exc(file=sys.stdout)
    log.close()
    print(f"{group}: {len(targets)} callables fuzzed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(fuzz_groups(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])))
