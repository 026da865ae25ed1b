"""The cloud object: construction, ownership of its engine instance and of its
delegate, and what each method hands the engine (read back through
engine_probe.calls)."""

import gc
import itertools
import time
import weakref

import pytest

import _corvel as corvel

import engine_probe as probe
from conftest import SilentDelegate

ERR_INVALID_OPERATION = -3
ERR_READ_TRY_AGAIN = -102
HIGH = corvel.STREAM_TYPE_VIDEO_HIGH


ROOMS = itertools.count(61000)  # a room of its own for each use, away from other tests


def enter_params(user="alice", room_id=None, method=corvel.AUDIO_OBTAIN_METHOD_CALLBACK):
    params = corvel.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = next(ROOMS) if room_id is None else room_id
    params.room.user_id = corvel.VoraString(user)
    params.room.user_sig = corvel.VoraString("sig")
    params.audio_obtain_params.audio_obtain_method = method
    return params


def audio_frame(data=b"\1\0\2\0", pts=5):
    frame = corvel.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample, frame.pts = 48000, 1, 16, pts
    frame.SetData(data)
    return frame


def video_frame():
    frame = corvel.VideoFrame()
    frame.pts, frame.dts, frame.is_key_frame = 10, 9, True
    frame.SetData(b"\0\0\0\1\x65")
    return frame


def pixel_frame():
    frame = corvel.PixelFrame()
    frame.pts, frame.width, frame.height = 11, 2, 2
    frame.format = corvel.VIDEO_PIXEL_FORMAT_RGBA
    frame.SetData(bytes(16))
    return frame


def encode_params(frame_rate=24, bitrate=300000, gop=2):
    params = corvel.VideoEncodeParams()
    params.frame_rate, params.bitrate_bps, params.gop_in_seconds = frame_rate, bitrate, gop
    return params


def vad(enable):
    params = corvel.VADParams()
    params.enable = enable
    return params


@pytest.fixture
def cloud():
    """A cloud in a room, with its audio channel and high video channel."""
    instance = corvel.VORACloud(SilentDelegate())
    iid = probe.last_instance()
    assert instance.EnterRoom(enter_params()) == 0
    assert instance.CreateLocalAudioChannel(corvel.AudioEncodeParams()) == 0
    assert instance.CreateLocalVideoChannel(HIGH) == 0
    probe.clear_calls(iid)
    yield instance, iid
    del instance
    if probe.is_live(iid):  # left in a reference cycle
        gc.collect()


def last_call(iid):
    return probe.calls(iid)[-1]


# ---- construction ----


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((object(),), {}),
    ((None,), {}),
    ((corvel.VORACloudDelegate, ), {}),
    ((), {"delegate": SilentDelegate()}),
    ((), {"arg0": SilentDelegate()}),
    ((SilentDelegate(), SilentDelegate()), {}),
    ((corvel.UserInfo(),), {}),
])
def test_construction_refused_creates_no_engine(args, kwargs):
    creates, live = probe.create_count(), probe.live_instances()
    with pytest.raises(TypeError):
        corvel.VORACloud(*args, **kwargs)
    assert (probe.create_count(), probe.live_instances()) == (creates, live)


def test_each_cloud_creates_one_engine_and_destroys_it_once():
    creates, destroys = probe.create_count(), probe.destroy_count()
    delegate = SilentDelegate()
    first = corvel.VORACloud(delegate)
    first_id = probe.last_instance()
    second = corvel.VORACloud(delegate)
    second_id = probe.last_instance()
    first.__init__(delegate)
    first.__init__(SilentDelegate())
    assert probe.create_count() == creates + 2 and first_id != second_id
    assert probe.is_live(first_id) and probe.is_live(second_id)
    watch = weakref.ref(first)
    del first
    assert watch() is None
    assert probe.destroy_count() == destroys + 1 and not probe.is_live(first_id)
    assert probe.is_live(second_id)
    del second
    gc.collect()
    assert probe.destroy_count() == destroys + 2 and not probe.is_live(second_id)


def test_cloud_keeps_its_delegate_alive():
    delegate = SilentDelegate()
    watch = weakref.ref(delegate)
    cloud = corvel.VORACloud(delegate)
    iid = probe.last_instance()
    del delegate
    gc.collect()
    assert watch() is not None
    assert probe.fire(iid, "OnEnterRoom") == probe.DELIVERED
    del cloud
    gc.collect()
    assert watch() is None


def test_one_delegate_serves_several_clouds():
    seen = []

    class Counting(SilentDelegate):
        def OnRequestKeyFrame(self, stream_type):
            seen.append(int(stream_type))

    delegate = Counting()
    watch = weakref.ref(delegate)
    clouds = [corvel.VORACloud(delegate)]
    ids = [probe.last_instance()]
    clouds.append(corvel.VORACloud(delegate))
    ids.append(probe.last_instance())
    del delegate
    for stream, iid in zip((1, 2), ids, strict=True):
        assert probe.fire(iid, "OnRequestKeyFrame", stream) == probe.DELIVERED
    assert seen == [1, 2]
    del clouds[0]
    gc.collect()
    assert watch() is not None
    assert probe.fire(ids[1], "OnRequestKeyFrame", 3) == probe.DELIVERED
    assert seen == [1, 2, 3]
    del clouds[0]
    gc.collect()
    assert watch() is None


# ---- what the engine receives ----

# (call, operation, expected record fields)
FORWARDS = [
    (lambda c: c.ExitRoom(), "ExitRoom", {}),
    (lambda c: c.EnterRoom(enter_params("bob", 9)), "EnterRoom", {}),
    (lambda c: c.Subscribe("bob", corvel.STREAM_TYPE_AUDIO), "Subscribe",
     {"user_id": b"bob", "type": 1}),
    (lambda c: c.Unsubscribe("bob", corvel.STREAM_TYPE_VIDEO_AUX), "Unsubscribe",
     {"user_id": b"bob", "type": 7}),
    (lambda c: c.GetAudioFrame(corvel.AudioFrame()), "GetAudioFrame",
     {"frame_null": False, "result": ERR_INVALID_OPERATION}),  # not in a room
    (lambda c: c.CreateLocalAudioChannel(corvel.AudioEncodeParams()), "CreateLocalAudioChannel",
     {}),
    (lambda c: c.DestroyLocalAudioChannel(), "DestroyLocalAudioChannel", {}),
    (lambda c: c.SendAudioFrame(audio_frame()), "SendAudioFrame", {}),
    (lambda c: c.SendContinuousAudioFrame(audio_frame(), True), "SendContinuousAudioFrame",
     {"clear_send_queue": True}),
    (lambda c: c.SendContinuousAudioFrame(audio_frame(), False), "SendContinuousAudioFrame",
     {"clear_send_queue": False}),
    (lambda c: c.CreateLocalVideoChannel(corvel.STREAM_TYPE_VIDEO_LOW), "CreateLocalVideoChannel",
     {"type": 3}),
    (lambda c: c.DestroyLocalVideoChannel(HIGH), "DestroyLocalVideoChannel",
     {"type": 2}),
    (lambda c: c.SendVideoFrame(HIGH, video_frame()), "SendVideoFrame",
     {"overload": "VideoFrame", "type": 2}),
    (lambda c: c.SendPixelFrame(HIGH, pixel_frame()), "SendVideoFrame",
     {"overload": "PixelFrame", "type": 2}),
    (lambda c: c.SendVideoFrame(corvel.STREAM_TYPE_VIDEO_AUX, video_frame()), "SendVideoFrame",
     {"overload": "VideoFrame", "type": 7}),
    (lambda c: c.SetVideoEncodeParam(corvel.STREAM_TYPE_VIDEO_LOW, encode_params()),
     "SetVideoEncodeParam",
     {"type": 3, "param": {"frame_rate": 24, "bitrate_bps": 300000, "gop_in_seconds": 2}}),
    (lambda c: c.SendSeiMessage(-2**31, b"sei"), "SendSeiMessage",
     {"message_type": -2**31, "message": b"sei", "length": 3}),
    (lambda c: c.SendCustomCmdMsg(2**31 - 1, b"cmd", False, True), "SendCustomCmdMsg",
     {"cmd_id": 2**31 - 1, "message": b"cmd", "reliable": False, "ordered": True}),
    (lambda c: c.EnableVoiceActivityDetection(vad(True)), "EnableVoiceActivityDetection",
     {"params": {"enable": True}}),
]


@pytest.mark.parametrize("call, op, fields", FORWARDS, ids=[f"{op}-{i}" for i, (_, op, _) in
                                                              enumerate(FORWARDS)])
def test_methods_forward_to_the_engine_and_return_its_result(cloud, call, op, fields):
    instance, iid = cloud
    returned = call(instance)
    records = probe.calls(iid)
    assert [r["op"] for r in records] == [op]
    record = records[0]
    assert {k: record[k] for k in fields} == fields
    if record["result"] is None:
        assert returned is None
    elif op == "SendCustomCmdMsg":
        assert type(returned) is int and returned == int(record["result"])
    else:
        assert type(returned) is int and returned == record["result"]


def test_frames_and_params_reach_the_engine_whole(cloud):
    instance, iid = cloud
    instance.SendAudioFrame(audio_frame(b"\0\1\2\3", pts=2**32 - 1))
    instance.SendVideoFrame(HIGH, video_frame())
    instance.SendPixelFrame(HIGH, pixel_frame())
    instance.EnterRoom(enter_params("zoë", 2**32 - 1))
    audio, video, pixel, room = probe.calls(iid)
    assert (audio["frame"]["data"], audio["frame"]["pts"], audio["frame"]["sample_rate"]) == (
        b"\0\1\2\3", 2**32 - 1, 48000)
    assert (video["frame"]["data"], video["frame"]["dts"], video["frame"]["is_key_frame"]) == (
        b"\0\0\0\1\x65", 9, True)
    assert (pixel["frame"]["width"], pixel["frame"]["format"], pixel["frame"]["size"]) == (2, 2, 16)
    assert room["params"]["room"]["user_id"] == "zoë".encode()
    assert room["params"]["room"]["room_id"] == 2**32 - 1


def test_keywords_in_any_order(cloud):
    instance, iid = cloud
    instance.SendCustomCmdMsg(ordered=False, reliable=True, message=b"k", cmd_id=4)
    instance.Subscribe(type=corvel.STREAM_TYPE_AUDIO, user_id="kw")
    instance.SendSeiMessage(message=b"s", message_type=5)
    instance.SendContinuousAudioFrame(clear_send_queue=True, frame=audio_frame())
    instance.SetVideoEncodeParam(param=encode_params(30), type=HIGH)
    instance.SendVideoFrame(frame=video_frame(), type=HIGH)
    cmd, sub, sei, audio, encode, video = probe.calls(iid)
    assert (cmd["cmd_id"], cmd["reliable"], cmd["ordered"]) == (4, True, False)
    assert (sub["user_id"], sub["type"]) == (b"kw", 1)
    assert (sei["message_type"], sei["message"]) == (5, b"s")
    assert audio["clear_send_queue"] is True
    assert (encode["type"], encode["param"]["frame_rate"]) == (2, 30)
    assert video["overload"] == "VideoFrame"


@pytest.mark.parametrize("method", ["Subscribe", "Unsubscribe"])
@pytest.mark.parametrize("user_id, received", [
    ("zoë", "zoë".encode()),
    (b"\xff\xfe", b"\xff\xfe"),
    (bytearray(b"\xfex"), b"\xfex"),
    ("a\0b", b"a"),
    ("", b""),
])
def test_user_id_forms(cloud, method, user_id, received):
    instance, iid = cloud
    getattr(instance, method)(user_id, corvel.STREAM_TYPE_AUDIO)
    assert last_call(iid)["user_id"] == received


@pytest.mark.parametrize("cmd_id, message, returned", [(1, b"x", 1), (-1, b"x", 0), (1, b"", 0)])
def test_send_custom_cmd_msg_returns_one_or_zero(cloud, cmd_id, message, returned):
    instance, iid = cloud
    result = instance.SendCustomCmdMsg(cmd_id, message, True, True)
    assert type(result) is int and result == returned
    assert last_call(iid)["result"] is bool(returned)


@pytest.mark.parametrize("cmd_id, received", [(-1, 2**32 - 1), (-2**31, 2**31), (0, 0),
                                              (2**31 - 1, 2**31 - 1)])
def test_command_id_passes_bit_for_bit(cloud, cmd_id, received):
    instance, iid = cloud
    instance.SendCustomCmdMsg(cmd_id, b"x", True, True)
    assert last_call(iid)["cmd_id"] == received


@pytest.mark.parametrize("message", [b"", b"\0", b"a\0b\0", bytes(range(256)) * 4])
@pytest.mark.parametrize("method", ["SendSeiMessage", "SendCustomCmdMsg"])
def test_messages_reach_the_engine_whole(cloud, method, message):
    instance, iid = cloud
    if method == "SendSeiMessage":
        instance.SendSeiMessage(1, message)
    else:
        instance.SendCustomCmdMsg(1, message, True, True)
    record = last_call(iid)
    assert (record["length"], record["message"], record["message_null"]) == (
        len(message), message, False)


@pytest.mark.parametrize("call", [
    lambda c: c.SendCustomCmdMsg(2**31, b"x", True, True),
    lambda c: c.SendCustomCmdMsg(-2**31 - 1, b"x", True, True),
    lambda c: c.SendCustomCmdMsg(1, bytearray(b"x"), True, True),
    lambda c: c.SendCustomCmdMsg(1, "x", True, True),
    lambda c: c.SendCustomCmdMsg(1, memoryview(b"x"), True, True),
    lambda c: c.SendCustomCmdMsg(1, None, True, True),
    lambda c: c.SendSeiMessage(1, bytearray(b"x")),
    lambda c: c.SendSeiMessage(1, "x"),
    lambda c: c.SendSeiMessage(1, memoryview(b"x")),
    lambda c: c.SendSeiMessage(2**31, b"x"),
    lambda c: c.Subscribe("\udcff", corvel.STREAM_TYPE_AUDIO),
    lambda c: c.Subscribe(None, corvel.STREAM_TYPE_AUDIO),
    lambda c: c.Subscribe("u", 2),
    lambda c: c.Unsubscribe("u", 4),
    lambda c: c.CreateLocalVideoChannel(2),
    lambda c: c.DestroyLocalVideoChannel(1),
    lambda c: c.SendVideoFrame(1, video_frame()),
    lambda c: c.SendVideoFrame(HIGH, pixel_frame()),
    lambda c: c.SendPixelFrame(HIGH, video_frame()),
    lambda c: c.SetVideoEncodeParam(1, encode_params()),
    lambda c: c.GetAudioFrame(None),
    lambda c: c.SendAudioFrame(None),
    lambda c: c.SendContinuousAudioFrame(audio_frame()),
    lambda c: c.SendContinuousAudioFrame(None, True),
    lambda c: c.EnterRoom(None),
    lambda c: c.EnableVoiceActivityDetection(None),
    lambda c: c.SendCustomCmdMsg(cmd_id=1, message=b"x", reliable=True),
])
def test_wrong_arguments_raise_type_error_without_calling_the_engine(cloud, call):
    instance, iid = cloud
    with pytest.raises(TypeError):
        call(instance)
    assert probe.calls(iid) == []


def test_get_audio_frame_with_nothing_buffered_leaves_the_frame_alone(cloud):
    instance, iid = cloud
    frame = audio_frame(b"keep", pts=77)
    assert instance.GetAudioFrame(frame) == ERR_INVALID_OPERATION  # not in a room
    assert (frame.data, frame.pts) == (b"keep", 77)


def test_get_audio_frame_fills_the_frame_in_place():
    sender_cloud = corvel.VORACloud(SilentDelegate())
    receiver = corvel.VORACloud(SilentDelegate())
    room = next(ROOMS)
    pull = enter_params("rx", room, corvel.AUDIO_OBTAIN_METHOD_GET)
    output = pull.audio_obtain_params
    output.output_sample_rate, output.output_channels, output.output_frame_length_ms = 48000, 2, 10
    assert receiver.EnterRoom(pull) == 0
    assert sender_cloud.EnterRoom(enter_params("tx", room)) == 0
    assert sender_cloud.CreateLocalAudioChannel(corvel.AudioEncodeParams()) == 0
    frame = audio_frame(b"old", pts=123)
    result = ERR_READ_TRY_AGAIN
    deadline = time.monotonic() + 5
    while result == ERR_READ_TRY_AGAIN and time.monotonic() < deadline:
        assert sender_cloud.SendAudioFrame(audio_frame(bytes(range(256)) * 8)) == 0
        result = receiver.GetAudioFrame(frame)
        time.sleep(0.01)  # nothing to await: the engine offers no arrival event
    del sender_cloud, receiver
    if result == ERR_READ_TRY_AGAIN:
        pytest.skip("the engine does not carry audio between instances yet")
    assert result == 0
    assert (frame.sample_rate, frame.channels, frame.bits_per_sample) == (48000, 2, 16)
    assert frame.size == 48000 // 100 * 2 * 2 and frame.data != b"old"


# ---- an engine that could not be made ----


def test_cloud_without_engine():
    gc.collect()
    probe.fail_next_create()
    creates, destroys, last = probe.create_count(), probe.destroy_count(), probe.last_instance()
    cloud = corvel.VORACloud(SilentDelegate())
    assert probe.create_count() == creates + 1 and probe.last_instance() == last
    int_calls = [
        lambda: cloud.EnterRoom(enter_params()),
        lambda: cloud.ExitRoom(),
        lambda: cloud.Subscribe("u", corvel.STREAM_TYPE_AUDIO),
        lambda: cloud.Unsubscribe("u", corvel.STREAM_TYPE_AUDIO),
        lambda: cloud.GetAudioFrame(corvel.AudioFrame()),
        lambda: cloud.CreateLocalAudioChannel(corvel.AudioEncodeParams()),
        lambda: cloud.DestroyLocalAudioChannel(),
        lambda: cloud.SendAudioFrame(audio_frame()),
        lambda: cloud.SendContinuousAudioFrame(audio_frame(), False),
        lambda: cloud.CreateLocalVideoChannel(HIGH),
        lambda: cloud.DestroyLocalVideoChannel(HIGH),
        lambda: cloud.SendVideoFrame(HIGH, video_frame()),
        lambda: cloud.SendPixelFrame(HIGH, pixel_frame()),
        lambda: cloud.SendSeiMessage(1, b"x"),
    ]
    assert [call() for call in int_calls] == [ERR_INVALID_OPERATION] * len(int_calls)
    assert cloud.SendCustomCmdMsg(1, b"x", True, True) == 0
    assert cloud.SetVideoEncodeParam(HIGH, encode_params()) is None
    assert cloud.EnableVoiceActivityDetection(vad(True)) is None
    with pytest.raises(TypeError):
        cloud.GetAudioFrame(None)
    assert probe.last_instance() == last
    cloud = None  # the last reference (the calls above hold the name, not the object)
    gc.collect()
    assert probe.destroy_count() == destroys
