"""Calls from Python into the engine, on an instance that answers at once.

Binding: the module's methods on a VORACloud that entered a room and opened an
audio channel (so SendAudioFrame answers ERR_OK), and a field of an AudioFrame.

Baselines (same run):
* a METH_FASTCALL no-op of the same arity on a C type (_corvel_bench.Noop),
  and for the field a C getter/setter: the floor of a call from Python;
* the same engine operation called through ctypes (the virtual function taken
  from the instance's vtable, a frame made by the engine's own exported
  constructor, the field read through a ctypes.Structure over the frame);
* the engine operation called directly from C++ (the engine's own cost),
  timed from the first operations of a fresh instance on.

Young and old instance: `SetData` + `SendAudioFrame` of a 20 ms frame from
C++, the first 2,000 calls on a fresh instance against 2,000 calls after
40,000; an engine that does more for young instances (keeps records of their
first operations, say) shows here.

The binding's own cost is measured on a VORACloud whose engine instance could
not be made (inspection fail_next_create): the module then runs the whole
call (dispatch, argument conversion, result conversion) and answers without
calling the engine. ctypes' own cost is the same ctypes call of a C no-op with
the operation's signature. The own costs are what is compared (the engine's
work, several microseconds and noisy, is the same for both); the whole calls
are shown too.
"""

from __future__ import annotations

import ctypes

import native
from common import (
    NoopDelegate,
    _corvel,
    bench,
    calibrate,
    engine_probe,
    enter_room,
    loop_cost,
    make_pcm,
    per_call,
)

# Slots of VORACloud's virtual functions, in declaration order (Itanium ABI).
VT_SUBSCRIBE = 2
VT_SEND_AUDIO_FRAME = 6
VT_SEND_CUSTOM_CMD_MSG = 14

MESSAGE = b"m" * 64
REMOTE = "remote-user-1"


class CAudioFrame(ctypes.Structure):
    """The AudioFrame record as laid out by the engine headers."""

    _fields_ = [
        ("sample_rate", ctypes.c_int),
        ("channels", ctypes.c_int),
        ("bits_per_sample", ctypes.c_int),
        ("codec", ctypes.c_uint),
        ("pts", ctypes.c_uint32),
        ("has_voice", ctypes.c_bool),
        ("handle_", ctypes.c_void_p),
    ]


def _ctypes_engine(cloud_pointer: int, pcm: bytes) -> dict:
    """The engine's operations bound through ctypes, and a frame to send."""
    lib = ctypes.CDLL(engine_probe.library_path())
    ctor = lib._ZN6corvel4vora10AudioFrameC1Ev
    ctor.argtypes = [ctypes.c_void_p]
    ctor.restype = None
    set_data = lib._ZN6corvel4vora10AudioFrame7SetDataEPKhm
    set_data.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    set_data.restype = None
    frame = CAudioFrame()
    ctor(ctypes.byref(frame))
    frame.channels = 2
    set_data(ctypes.byref(frame), pcm, len(pcm))

    vtable = ctypes.cast(cloud_pointer, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    this = ctypes.c_void_p(cloud_pointer)
    send_audio = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(CAudioFrame))(
        vtable[VT_SEND_AUDIO_FRAME])
    send_cmd = ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_char_p,
                                ctypes.c_size_t, ctypes.c_bool, ctypes.c_bool)(
        vtable[VT_SEND_CUSTOM_CMD_MSG])
    subscribe = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int)(
        vtable[VT_SUBSCRIBE])
    # The same signatures on C no-ops: what the ctypes call itself costs.
    noops = ctypes.CDLL(bench.__file__)
    noop_audio = noops.corvel_bench_noop_send_audio
    noop_audio.argtypes = [ctypes.c_void_p, ctypes.POINTER(CAudioFrame)]
    noop_audio.restype = ctypes.c_int
    noop_cmd = noops.corvel_bench_noop_send_cmd
    noop_cmd.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t,
                         ctypes.c_bool, ctypes.c_bool]
    noop_cmd.restype = ctypes.c_bool
    noop_subscribe = noops.corvel_bench_noop_subscribe
    noop_subscribe.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    noop_subscribe.restype = ctypes.c_int
    # The frame keeps its payload for the life of the process (a few KiB).
    return {"this": this, "cframe": frame, "send_audio": send_audio, "send_cmd": send_cmd,
            "subscribe": subscribe, "noop_audio": noop_audio, "noop_cmd": noop_cmd,
            "noop_subscribe": noop_subscribe}


YOUNG_CALLS = 2_000
OLD_AFTER = 40_000


def young_vs_old(repeat: int, in_room: bool = True) -> dict:
    """Best per-call time of SetData + SendAudioFrame (20 ms) on fresh
    instances: the first YOUNG_CALLS calls, and YOUNG_CALLS calls after
    OLD_AFTER. In a room (each fresh instance alone in a fresh room, so the
    room is young too) the frames are sent; outside one they are refused
    after the same checks."""
    op = "SetData+SendAudioFrame"
    young, old = [], []
    # One instance first, not counted: what a process pays once (its heap
    # growing, lazy symbol binding) is no instance's age.
    for counted in [False] + [True] * repeat:
        handle = bench.native_cloud_create(in_room)
        try:
            first = bench.native_op_seconds(handle, op, YOUNG_CALLS)[0]
            bench.native_op_seconds(handle, op, OLD_AFTER - YOUNG_CALLS)
            later = bench.native_op_seconds(handle, op, YOUNG_CALLS)[0]
            if counted:
                young.append(first)
                old.append(later)
        finally:
            bench.native_cloud_destroy(handle)
    y, o = min(young), min(old)
    return {"in_room": in_room, "young_ns": y * 1e9, "old_ns": o * 1e9,
            "ratio": y / o if o > 0 else None, "young_calls": YOUNG_CALLS, "old_after": OLD_AFTER}


def run(quick: bool) -> dict:
    seconds = 0.02 if quick else 0.25  # per timed round of one path
    repeat = 3 if quick else 7
    # First, while no other instance of this section is in the bench room.
    ages = [young_vs_old(4 * repeat, in_room) for in_room in (True, False)]
    pcm = make_pcm(10, 48000, 2)
    cloud = _corvel.VORACloud(NoopDelegate())
    enter_room(cloud, room=910001, user="bench-calls")
    frame = _corvel.AudioFrame()
    frame.channels = 2
    frame.SetData(pcm)
    noop = bench.Noop()
    pb = native.load_pybind11()
    handle = bench.native_cloud_create(True)
    native_instance = engine_probe.last_instance()
    binding_instance = native_instance - 1
    c = _ctypes_engine(bench.native_cloud_pointer(handle), pcm)

    stream = _corvel.STREAM_TYPE_AUDIO
    ns = {"cloud": cloud, "frame": frame, "noop": noop, "msg": MESSAGE, "user": REMOTE,
          "user_b": REMOTE.encode(), "stream": stream, "stream_i": int(stream), **c}
    if pb is not None:
        ns["plain"] = pb.Plain()
        ns["record"] = pb.PlainRecord()
    # Sanity: every path does what it claims, once, before timing.
    assert cloud.SendAudioFrame(frame) == 0
    # (Past 30 a second the engine refuses custom messages: it answers 0 at once.)
    assert cloud.SendCustomCmdMsg(1, MESSAGE, True, True) == 1
    assert cloud.Subscribe(REMOTE, stream) == 0
    assert c["send_audio"](c["this"], ctypes.byref(c["cframe"])) == 0
    assert c["send_cmd"](c["this"], 1, MESSAGE, len(MESSAGE), True, True) is True
    assert c["subscribe"](c["this"], REMOTE.encode(), 1) == 0
    ns["frame_ref"] = ctypes.byref(c["cframe"])

    cases = [
        # label, binding stmt, no-op stmt, ctypes stmt, ctypes no-op stmt, native op
        ("SendAudioFrame (10 ms 48 kHz stereo)", "cloud.SendAudioFrame(frame)", "noop.m1(frame)",
         "send_audio(this, frame_ref)", "noop_audio(this, frame_ref)", "SendAudioFrame"),
        ("SendCustomCmdMsg (64 bytes)", "cloud.SendCustomCmdMsg(1, msg, True, True)",
         "noop.m4(1, msg, True, True)", "send_cmd(this, 1, msg, 64, True, True)",
         "noop_cmd(this, 1, msg, 64, True, True)", "SendCustomCmdMsg"),
        ("Subscribe", "cloud.Subscribe(user, stream)", "noop.m2(user, stream)",
         "subscribe(this, user_b, 1)", "noop_subscribe(this, user_b, 1)", "Subscribe"),
        ("AudioFrame.sample_rate read", "frame.sample_rate", "noop.field",
         "frame.sample_rate", "frame.sample_rate", "field_read"),
        ("AudioFrame.sample_rate write", "frame.sample_rate = 48000", "noop.field = 48000",
         "frame.sample_rate = 48000", "frame.sample_rate = 48000", "field_write"),
    ]
    engine_probe.fail_next_create()
    hollow = _corvel.VORACloud(NoopDelegate())  # no engine instance behind it
    ns["hollow"] = hollow
    rows = []
    try:
        loop = loop_cost(ns, 200_000, 3 * repeat)
        for label, b_stmt, n_stmt, c_stmt, c_own_stmt, op in cases:
            ctypes_ns = dict(ns)
            if op.startswith("field"):
                ctypes_ns["frame"] = c["cframe"]
            own_stmt = b_stmt.replace("cloud.", "hollow.")
            pb_stmt = b_stmt.replace("cloud.", "plain.").replace("frame.sample_rate",
                                                                 "record.sample_rate")
            number = calibrate(b_stmt, ns, seconds)
            best = {"binding": [], "own": [], "noop": [], "ctypes": [], "ctypes_own": [],
                    "engine": [], "pybind11": []}
            # Rounds interleave the paths, so that a noisy moment hits all.
            for _ in range(repeat):
                best["binding"].append(per_call(b_stmt, ns, number, 1, loop))
                best["own"].append(per_call(own_stmt, ns, number, 1, loop))
                best["noop"].append(per_call(n_stmt, ns, number, 1, loop))
                if pb is not None:
                    best["pybind11"].append(per_call(pb_stmt, ns, number, 1, loop))
                best["ctypes"].append(per_call(c_stmt, ctypes_ns, number, 1, loop))
                best["ctypes_own"].append(per_call(c_own_stmt, ctypes_ns, number, 1, loop))
                best["engine"].append(bench.native_op_seconds(handle, op, number)[0])
            t = {k: min(v) for k, v in best.items() if v}
            rows.append({
                "case": label,
                "binding_ns": t["binding"] * 1e9,
                "binding_own_ns": t["own"] * 1e9,
                "engine_ns": t["engine"] * 1e9,
                "loop_ns": loop * 1e9,
                "noop_ns": t["noop"] * 1e9,
                "pybind11_ns": t["pybind11"] * 1e9 if "pybind11" in t else None,
                "ratio_pybind11": t["own"] / t["pybind11"] if t.get("pybind11") else None,
                "ctypes_ns": t["ctypes"] * 1e9,
                "ctypes_own_ns": t["ctypes_own"] * 1e9,
                "ratio_noop": t["own"] / t["noop"] if t["noop"] > 0 else None,
                "ratio_ctypes": t["binding"] / t["ctypes"] if t["ctypes"] > 0 else None,
                "ratio_ctypes_own": t["own"] / t["ctypes_own"] if t["ctypes_own"] > 0 else None,
            })
    finally:
        del cloud, hollow
        bench.native_cloud_destroy(handle)
    del binding_instance
    return {"rows": rows, "young_old": ages}


if __name__ == "__main__":
    import json
    import sys

    print(json.dumps(run("--quick" in sys.argv), indent=1))
