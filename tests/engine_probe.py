"""Test-side access to the engine's inspection interface (engine/probe/corvel_probe.h).

The interface lives in the test library libcorvel_probe.so, which installs
itself into the engine through the engine's hook (engine/corvel_hook.h) as
soon as it is loaded. It must hook into the very libcorvel.so that
``_corvel`` loaded: ``_corvel`` is imported first, and the probe library,
linked against ``libcorvel.so`` by its soname, then shares that one.

The probe library is found, in order: at CORVEL_PROBE_LIBRARY; beside the
engine library (dev and sanitizer builds put it there); in build/probe of
this checkout, built there on first use against the engine library (the
installed-wheel flow: the wheel carries no probe). Set CORVEL_ENGINE_LIBRARY
to a path to use an engine library without the module.

Byte strings come back as ``bytes`` (``None`` for a null pointer): the engine
writes them as hex under keys ending in ``_hex``, and this module turns each
such key ``name_hex`` into ``name``.

Functions:
    create_count(), destroy_count(), live_instances(), last_instance(),
    fail_next_create(), is_live(instance), live_ids(), set_queue_capacity(n)
    settings() -> dict, reset_settings(), set_log_rotate_bytes(n), flush_log(),
    log(level, message)
    calls(instance) -> list of dicts, clear_calls(instance)
    fire(instance, callback, *args, timeout=5.0, **kwargs) -> int
    fire_many(instance, callback, count, *args, **kwargs) -> int
    firehose_start(instance, callback, *args, interval_us=0, **kwargs)
    firehose_stop(instance) -> int
    wait_idle(instance, timeout=5.0) -> bool
    dropped(instance=None) -> int, stats(instance=0) -> dict
    set_conditions(instance, loss=, delay_ms=, bandwidth_kbps=), conditions(instance),
    disconnect(instance, duration_ms), server_error(instance, code),
    media(instance) -> dict, rooms() -> list, set_quality_interval_ms(ms),
    set_mix_wait_ms(ms)

``callback`` is a slot number 1..25 or a callback name; the two forms of
OnRemoteVideoReceived are "OnRemoteVideoFrameReceived" (15) and
"OnRemotePixelFrameReceived" (16). Arguments follow the callback's parameters
(see PARAMS) by position or name:

* text and byte parameters (user_id, message, text, ...): str (UTF-8), bytes,
  or None for a null pointer;
* enumerations and integers: anything int() accepts, including values with no
  enumeration member;
* frame: a dict of frame fields plus "data" (and "extra" for audio), or a
  frame object whose attributes are read;
* OnNetworkQuality local/remote: dicts {"user_id", "quality"} or
  (user_id, quality) pairs, local may be None; count defaults to len(remote)
  and may be smaller, never larger;
* message length defaults to len(message) and may be smaller, never larger.
"""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
from typing import Any

# Result codes of the injection functions.
DELIVERED = 0
UNKNOWN_INSTANCE = -1
BAD_ARGUMENTS = -2
DROPPED = -3
DISCARDED = -4
TIMED_OUT = -5
OWN_DELIVERY_THREAD = -6
FIREHOSE_STATE = -7

CALLBACKS = (
    "OnError",
    "OnConnectionStateChanged",
    "OnEnterRoom",
    "OnExitRoom",
    "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed",
    "OnLocalVideoChannelCreated",
    "OnLocalVideoChannelDestroyed",
    "OnRequestChangeVideoEncodeBitrate",
    "OnRequestKeyFrame",
    "OnRemoteUserEnterRoom",
    "OnRemoteUserExitRoom",
    "OnRemoteAudioAvailable",
    "OnRemoteVideoAvailable",
    "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived",
    "OnRemoteAudioReceived",
    "OnRemoteMixedAudioReceived",
    "OnSeiMessageReceived",
    "OnReceiveCustomCmdMsg",
    "OnMissCustomCmdMsg",
    "OnNetworkQuality",
    "OnUserVoiceVolume",
    "OnReceiveAsrMessage",
    "OnAsrServiceError",
)
SLOTS = {name: slot for slot, name in enumerate(CALLBACKS, start=1)}

# Parameter names per slot, in the callback's order.
PARAMS = {
    1: ("error",),
    2: ("old_state", "new_state"),
    3: (),
    4: (),
    5: (),
    6: (),
    7: ("stream_type",),
    8: ("stream_type",),
    9: ("stream_type", "bitrate_bps"),
    10: ("stream_type",),
    11: ("user_id",),
    12: ("user_id", "reason"),
    13: ("user_id", "available"),
    14: ("user_id", "available", "type"),
    15: ("user_id", "type", "frame"),
    16: ("user_id", "type", "frame"),
    17: ("user_id", "frame"),
    18: ("frame",),
    19: ("user_id", "stream_type", "message_type", "message", "length"),
    20: ("user_id", "cmd_id", "seq", "message", "length"),
    21: ("user_id", "cmd_id", "error_code", "missed"),
    22: ("local", "remote", "count"),
    23: ("volumes", "count", "total"),
    24: ("speaker_user_id", "text"),
    25: ("error", "error_info"),
}

_BYTE_PARAMS = {"user_id", "message", "speaker_user_id", "text", "error_info"}
_BOOL_PARAMS = {"available"}
_FRAME_FIELDS = {
    15: ("pts", "dts", "is_key_frame", "codec", "rotation"),
    16: ("pts", "width", "height", "format", "rotation"),
    17: ("sample_rate", "channels", "bits_per_sample", "codec", "pts", "has_voice"),
    18: ("sample_rate", "channels", "bits_per_sample", "codec", "pts", "has_voice"),
}
_BOOL_FIELDS = {"is_key_frame", "has_voice"}


def fnv1a64(data: bytes) -> int:
    """FNV-1a 64 of data: the hash the engine records of every payload."""
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def library_path() -> str:
    override = os.environ.get("CORVEL_ENGINE_LIBRARY")
    if override:
        return override
    import _corvel

    here = os.path.dirname(os.path.abspath(_corvel.__file__))
    beside = os.path.join(here, "libcorvel.so")
    if os.path.exists(beside):
        return beside
    return os.path.normpath(os.path.join(here, "..", "corvel.libs", "libcorvel.so"))


PROBE_NAME = "libcorvel_probe.so"
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _build_probe(engine: str) -> str:
    """Builds engine/probe into build/probe against `engine`, when the library
    is missing, was built against another engine or is older than a source."""
    build = os.path.join(_ROOT, "build", "probe")
    output = os.path.join(build, PROBE_NAME)
    cache = os.path.join(build, "CMakeCache.txt")
    engine = os.path.realpath(engine)
    configured = os.path.exists(cache) and f"CORVEL_ENGINE_LIBRARY:FILEPATH={engine}\n" in open(
        cache, encoding="utf-8").read()
    sources = os.path.join(_ROOT, "engine", "probe")
    newest = max(os.path.getmtime(os.path.join(sources, name)) for name in os.listdir(sources))
    newest = max(newest, os.path.getmtime(os.path.join(_ROOT, "engine", "corvel_hook.h")))
    if configured and os.path.exists(output) and os.path.getmtime(output) >= newest:
        return output
    # Tools run clean of what the tests set for the interpreter (a sanitizer
    # preloaded, another module path).
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "LD_PRELOAD")}
    if not configured:
        subprocess.run(["cmake", "-S", sources, "-B", build, f"-DCORVEL_ENGINE_LIBRARY={engine}"],
                       check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", build, "-j2"], check=True, stdout=subprocess.DEVNULL,
                   env=env)
    return output


def probe_library_path() -> str:
    override = os.environ.get("CORVEL_PROBE_LIBRARY")
    if override:
        return override
    engine = library_path()
    beside = os.path.join(os.path.dirname(engine), PROBE_NAME)
    if os.path.exists(beside):
        return beside
    return _build_probe(engine)


_lib = None


def library() -> ctypes.CDLL:
    """The probe library, loaded once, with the inspection signatures set."""
    global _lib
    if _lib is not None:
        return _lib
    if not os.environ.get("CORVEL_ENGINE_LIBRARY"):
        import _corvel  # noqa: F401  (loads the engine the probe must hook into)
    engine = ctypes.CDLL(library_path(), mode=ctypes.RTLD_GLOBAL)
    if not hasattr(engine, "corvel_engine_hook"):
        raise AttributeError("the engine library has no hook (not the loopback engine)")
    lib = ctypes.CDLL(probe_library_path())
    u64, i64, cint, text = ctypes.c_uint64, ctypes.c_int64, ctypes.c_int, ctypes.c_char_p
    owned = ctypes.c_void_p  # malloc'd JSON text, released with corvel_inspect_free
    signatures = {
        "corvel_inspect_version": (cint, []),
        "corvel_inspect_free": (None, [ctypes.c_void_p]),
        "corvel_inspect_last_error": (text, []),
        "corvel_inspect_create_count": (u64, []),
        "corvel_inspect_destroy_count": (u64, []),
        "corvel_inspect_live_instances": (u64, []),
        "corvel_inspect_last_instance": (u64, []),
        "corvel_inspect_fail_next_create": (None, []),
        "corvel_inspect_is_live": (cint, [u64]),
        "corvel_inspect_live_ids_json": (owned, []),
        "corvel_inspect_set_queue_capacity": (None, [u64]),
        "corvel_inspect_settings_json": (owned, []),
        "corvel_inspect_reset_settings": (None, []),
        "corvel_inspect_set_log_rotate_bytes": (None, [u64]),
        "corvel_inspect_flush_log": (None, []),
        "corvel_inspect_log": (None, [cint, text]),
        "corvel_inspect_calls_json": (owned, [u64]),
        "corvel_inspect_clear_calls": (cint, [u64]),
        "corvel_inspect_fire": (cint, [u64, cint, text, cint]),
        "corvel_inspect_fire_many": (i64, [u64, cint, text, u64]),
        "corvel_inspect_firehose_start": (cint, [u64, cint, text, ctypes.c_uint32]),
        "corvel_inspect_firehose_stop": (i64, [u64]),
        "corvel_inspect_wait_idle": (cint, [u64, cint]),
        "corvel_inspect_side_thread_start": (cint, [u64, cint, text]),
        "corvel_inspect_side_thread_join": (cint, []),
        "corvel_inspect_dropped": (i64, [u64]),
        "corvel_inspect_dropped_total": (u64, []),
        "corvel_inspect_stats_json": (owned, [u64]),
        "corvel_inspect_set_conditions": (cint, [u64, text]),
        "corvel_inspect_conditions_json": (owned, [u64]),
        "corvel_inspect_disconnect": (cint, [u64, cint]),
        "corvel_inspect_server_error": (cint, [u64, cint]),
        "corvel_inspect_media_json": (owned, [u64]),
        "corvel_inspect_rooms_json": (owned, []),
        "corvel_inspect_set_quality_interval_ms": (None, [ctypes.c_uint32]),
        "corvel_inspect_set_mix_wait_ms": (None, [ctypes.c_uint32]),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    _lib = lib
    return lib


def _decode(value: Any) -> Any:
    """Turns every "name_hex" key into "name" holding bytes (or None)."""
    if isinstance(value, list):
        return [_decode(v) for v in value]
    if isinstance(value, dict):
        out = {}
        for key, v in value.items():
            if key.endswith("_hex") and (v is None or isinstance(v, str)):
                out[key[:-4]] = None if v is None else bytes.fromhex(v)
            else:
                out[key] = _decode(v)
        return out
    return value


def _take_json(pointer: int | None) -> Any:
    if not pointer:
        return None
    try:
        return json.loads(ctypes.string_at(pointer).decode("ascii"))
    finally:
        library().corvel_inspect_free(pointer)


# ---- instances ----


def create_count() -> int:
    return library().corvel_inspect_create_count()


def destroy_count() -> int:
    return library().corvel_inspect_destroy_count()


def live_instances() -> int:
    return library().corvel_inspect_live_instances()


def last_instance() -> int:
    """Id of the most recently created engine instance (0 before any)."""
    return library().corvel_inspect_last_instance()


def delivery_threads() -> int:
    """Threads of the engine's delivery pool running now."""
    return stats()["delivery_threads"]


def fail_next_create() -> None:
    library().corvel_inspect_fail_next_create()


def is_live(instance: int) -> bool:
    return bool(library().corvel_inspect_is_live(instance))


def live_ids() -> list[int]:
    return _take_json(library().corvel_inspect_live_ids_json())


def set_queue_capacity(capacity: int) -> None:
    """Callback queue size of instances created afterwards (0: default 4096)."""
    library().corvel_inspect_set_queue_capacity(capacity)


# ---- settings and log ----


def settings() -> dict:
    return _decode(_take_json(library().corvel_inspect_settings_json()))


def reset_settings() -> None:
    library().corvel_inspect_reset_settings()


def set_log_rotate_bytes(n: int) -> None:
    """Rotation size of corvel.log (0: default 4 MiB)."""
    library().corvel_inspect_set_log_rotate_bytes(n)


def flush_log() -> None:
    library().corvel_inspect_flush_log()


def log(level: int, message: str | bytes) -> None:
    """Writes one line through the engine log."""
    if isinstance(message, str):
        message = message.encode()
    library().corvel_inspect_log(level, message)


# ---- operations received ----


def calls(instance: int) -> list[dict]:
    """Operations the instance received, oldest first. KeyError if unknown."""
    result = _take_json(library().corvel_inspect_calls_json(instance))
    if result is None:
        raise KeyError(instance)
    return _decode(result)


def clear_calls(instance: int) -> None:
    if library().corvel_inspect_clear_calls(instance) != 0:
        raise KeyError(instance)


# ---- callback injection ----


def _slot(callback: int | str) -> int:
    if isinstance(callback, int):
        return callback
    if callback == "OnRemoteVideoReceived":
        raise ValueError("name the form: OnRemoteVideoFrameReceived or OnRemotePixelFrameReceived")
    return SLOTS[callback]


def _hex(value: str | bytes | None) -> str | None:
    if value is None:
        return None
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogatepass")
    return bytes(value).hex()


def _frame(slot: int, frame: Any) -> dict:
    if isinstance(frame, dict):
        source = dict(frame)
    else:
        source = {f: getattr(frame, f) for f in _FRAME_FIELDS[slot] if hasattr(frame, f)}
        if hasattr(frame, "data"):
            source["data"] = frame.data
    out = {}
    for key, value in source.items():
        if key in ("data", "extra"):
            out[key + "_hex"] = _hex(value)
        elif key in _BOOL_FIELDS:
            out[key] = bool(value)
        else:
            out[key] = int(value)
    return out


def _record(value: Any, number_key: str) -> dict:
    if isinstance(value, dict):
        user, number = value.get("user_id", ""), value.get(number_key, 0)
    else:
        user, number = value
    return {"user_id_hex": _hex(user), number_key: int(number)}


def _arguments(slot: int, args: tuple, kwargs: dict) -> str:
    names = PARAMS.get(slot, ())  # an unknown slot goes to the engine, which refuses it
    label = CALLBACKS[slot - 1] if slot in PARAMS else f"slot {slot}"
    if len(args) > len(names):
        raise TypeError(f"{label} takes {len(names)} arguments")
    values = dict(zip(names, args, strict=False))  # the rest may come by keyword
    for key, value in kwargs.items():
        if key not in names or key in values:
            raise TypeError(f"bad or repeated argument {key!r} for {label}")
        values[key] = value
    out: dict[str, Any] = {}
    for name, value in values.items():
        if name in _BYTE_PARAMS:
            out[name + "_hex"] = _hex(value)
        elif name in _BOOL_PARAMS:
            out[name] = bool(value)
        elif name == "frame":
            out[name] = _frame(slot, value)
        elif name == "local":
            out[name] = None if value is None else _record(value, "quality")
        elif name == "remote":
            out[name] = None if value is None else [_record(v, "quality") for v in value]
        elif name == "volumes":
            out[name] = None if value is None else [_record(v, "volume") for v in value]
        else:
            out[name] = int(value)
    return json.dumps(out)


def _check(code: int) -> int:
    if code == BAD_ARGUMENTS:
        raise ValueError(library().corvel_inspect_last_error().decode())
    return code


def fire(instance: int, callback: int | str, *args: Any, timeout: float | None = 5.0,
         **kwargs: Any) -> int:
    """Makes the instance deliver one callback and waits until it has run.

    Returns DELIVERED (0) or a negative code (UNKNOWN_INSTANCE, DROPPED,
    DISCARDED, TIMED_OUT, OWN_DELIVERY_THREAD); ValueError for arguments the
    engine refuses. timeout None waits without limit. ctypes releases the GIL
    for the call, so Python delegates run meanwhile.
    """
    slot = _slot(callback)
    payload = _arguments(slot, args, kwargs).encode()
    timeout_ms = -1 if timeout is None else int(timeout * 1000)
    return _check(library().corvel_inspect_fire(instance, slot, payload, timeout_ms))


def fire_many(instance: int, callback: int | str, count: int, *args: Any, **kwargs: Any) -> int:
    """Queues count copies without waiting; returns how many were queued."""
    slot = _slot(callback)
    payload = _arguments(slot, args, kwargs).encode()
    return _check(library().corvel_inspect_fire_many(instance, slot, payload, count))


def firehose_start(instance: int, callback: int | str, *args: Any, interval_us: int = 0,
                   **kwargs: Any) -> int:
    """Starts an engine thread that keeps queueing the callback (0 on success)."""
    slot = _slot(callback)
    payload = _arguments(slot, args, kwargs).encode()
    return _check(library().corvel_inspect_firehose_start(instance, slot, payload, interval_us))


def firehose_stop(instance: int) -> int:
    """Stops the firehose; returns how many callbacks it queued, or a negative code."""
    return library().corvel_inspect_firehose_stop(instance)


def wait_idle(instance: int, timeout: float = 5.0) -> bool:
    """True once the instance's queue is empty and no callback runs."""
    return library().corvel_inspect_wait_idle(instance, int(timeout * 1000)) == 0


def side_thread_start(instance: int, callback: int | str, *args: Any, **kwargs: Any) -> int:
    """Starts an engine thread outside the instance's delivery that calls the
    callback once on the instance's delegate, then waits to be joined; returns
    once the callback has run (0) or a negative code."""
    slot = _slot(callback)
    payload = _arguments(slot, args, kwargs).encode()
    return _check(library().corvel_inspect_side_thread_start(instance, slot, payload))


def side_thread_join(hold_gil: bool = False) -> int:
    """Ends and joins that thread (0, or a negative code without one). With
    hold_gil, the call keeps the interpreter lock while it joins, as an engine
    operation called from Python does."""
    if not hold_gil:
        return library().corvel_inspect_side_thread_join()
    join = ctypes.PyDLL(probe_library_path()).corvel_inspect_side_thread_join
    join.restype = ctypes.c_int
    join.argtypes = []
    return join()


# ---- delivery counters ----


def dropped(instance: int | None = None) -> int:
    """Callbacks dropped on a full queue: of one instance, or in total."""
    if instance is None:
        return library().corvel_inspect_dropped_total()
    count = library().corvel_inspect_dropped(instance)
    if count < 0:
        raise KeyError(instance)
    return count


def stats(instance: int = 0) -> dict:
    """Delivery counters of one instance, or process totals for 0."""
    result = _take_json(library().corvel_inspect_stats_json(instance))
    if result is None:
        raise KeyError(instance)
    return result


# ---- rooms and the media router ----


def set_conditions(instance: int, **conditions: float) -> None:
    """Simulated network of an instance: loss (0..1), delay_ms, bandwidth_kbps
    (0 unlimited). KeyError for an unknown instance, ValueError for bad values."""
    encoded = json.dumps(conditions).encode()
    code = _check(library().corvel_inspect_set_conditions(instance, encoded))
    if code == UNKNOWN_INSTANCE:
        raise KeyError(instance)


def conditions(instance: int) -> dict:
    result = _take_json(library().corvel_inspect_conditions_json(instance))
    if result is None:
        raise KeyError(instance)
    return result


def disconnect(instance: int, duration_ms: int) -> None:
    """Drops the instance's connection; the engine reconnects after duration_ms."""
    code = _check(library().corvel_inspect_disconnect(instance, duration_ms))
    if code == UNKNOWN_INSTANCE:
        raise KeyError(instance)


def server_error(instance: int, code: int) -> None:
    """The server reports an error to the instance (OnError); banning codes also
    remove it from its room."""
    if library().corvel_inspect_server_error(instance, int(code)) == UNKNOWN_INSTANCE:
        raise KeyError(instance)


def media(instance: int) -> dict:
    """Router counters of an instance (and its room state while live)."""
    result = _take_json(library().corvel_inspect_media_json(instance))
    if result is None:
        raise KeyError(instance)
    return _decode(result)


def rooms() -> list[dict]:
    return _decode(_take_json(library().corvel_inspect_rooms_json()))


def set_quality_interval_ms(ms: int) -> None:
    """OnNetworkQuality interval (0 restores 2000 ms)."""
    library().corvel_inspect_set_quality_interval_ms(ms)


def set_mix_wait_ms(ms: int) -> None:
    """How long mixers wait for a late sender (0 restores 60 ms)."""
    library().corvel_inspect_set_mix_wait_ms(ms)
