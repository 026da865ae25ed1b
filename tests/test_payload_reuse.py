"""Payload buffers rewritten in place, and operation records past their limit.

SetData/SetExtraData with the size a frame already has may reuse the frame's
buffer when nothing else holds it; a frame sharing the payload, a send still
queued in a room and the hashes the engine remembers per payload must never see
such a rewrite. Once an instance's operation record is full, operations are
only counted, and the count must stay exact."""

import os

import pytest

import _corvel as corvel

import engine_probe as probe
from rooms_kit import Member, Party, audio_params, enter_params

MAX_CALLS = 20000  # operation records kept per instance


def _send(cloud, frame):
    if isinstance(frame, corvel.AudioFrame):
        return cloud.SendAudioFrame(frame)
    if isinstance(frame, corvel.VideoFrame):
        return cloud.SendVideoFrame(corvel.STREAM_TYPE_VIDEO_HIGH, frame)
    return cloud.SendPixelFrame(corvel.STREAM_TYPE_VIDEO_HIGH, frame)


def _sent(instance):
    return [c["frame"] for c in probe.calls(instance)
            if c["op"] in ("SendAudioFrame", "SendVideoFrame")]


@pytest.mark.parametrize("frame_type,setter,prefix", [
    ("AudioFrame", "SetData", ""),
    ("AudioFrame", "SetExtraData", "extra_"),
    ("VideoFrame", "SetData", ""),
    ("PixelFrame", "SetData", ""),
])
@pytest.mark.parametrize("size", [64, 4098], ids=["hex", "hash-only"])
def test_rewrites_of_one_size_reach_the_engine_records(engine_cloud, frame_type, setter,
                                                       prefix, size):
    cloud, instance = engine_cloud
    frame = getattr(corvel, frame_type)()
    if prefix:
        frame.SetData(b"\x01\x02")
    payloads = [os.urandom(size), os.urandom(size), os.urandom(size), os.urandom(size + 2)]
    for payload in payloads:
        getattr(frame, setter)(payload)
        _send(cloud, frame)  # the engine hashes each payload it is sent
        _send(cloud, frame)  # and again, from what it remembered
    records = _sent(instance)
    assert len(records) == 2 * len(payloads)
    for i, payload in enumerate(payloads):
        for record in records[2 * i:2 * i + 2]:
            assert record[prefix + "size"] == len(payload)
            assert record[prefix + "fnv1a"] == probe.fnv1a64(payload)
            assert record[prefix + "data"] == (payload if len(payload) <= 1024 else None)
            if prefix:  # the data beside the extra bytes stays as it was
                assert (record["size"], record["data"]) == (2, b"\x01\x02")
    assert frame.data == (b"\x01\x02" if prefix else payloads[-1])


def _pcm(seed):
    return bytes((seed * 7 + i) & 0xFF for i in range(320 * 2))  # 20 ms, 16 kHz mono


def _audio(pcm):
    frame = corvel.AudioFrame()
    frame.sample_rate, frame.channels = 16000, 1  # the receivers' format: passed through
    frame.SetData(pcm)
    return frame


class Keeper(Party):
    """Also keeps the received frame objects (they share the engine's payload)."""

    def __init__(self):
        super().__init__()
        self.frames = []

    def OnRemoteAudioReceived(self, user_id, frame):
        self.frames.append(frame)
        super().OnRemoteAudioReceived(user_id, frame)


def _join_keeping(scene, user):
    party = Keeper()
    cloud = corvel.VORACloud(party)
    member = Member(cloud, party, probe.last_instance(), user)
    scene.members.append(member)
    assert cloud.EnterRoom(enter_params(user, scene.room_id)) == 0
    assert party.wait_event("OnEnterRoom")
    return member


def test_received_frames_sharing_one_payload_are_rewritten_independently(scene):
    a = scene.join("a")
    b = _join_keeping(scene, "b")
    c = _join_keeping(scene, "c")
    assert a.cloud.CreateLocalAudioChannel(audio_params(16000, 1)) == 0
    assert a.cloud.SendAudioFrame(_audio(_pcm(1))) == 0
    assert b.party.wait_count("OnRemoteAudioReceived", 1)
    assert c.party.wait_count("OnRemoteAudioReceived", 1)
    # Both receivers were handed the same converted block; each keeps its frame.
    kept_b = b.party.frames[0]
    kept_c = c.party.frames[0]
    assert kept_b.data == kept_c.data == _pcm(1)
    kept_b.SetData(_pcm(2))
    assert kept_c.data == _pcm(1)
    assert kept_b.data == _pcm(2)
    kept_c.SetData(_pcm(3))  # by now the only holder of the block
    assert (kept_b.data, kept_c.data) == (_pcm(2), _pcm(3))


def test_sends_still_queued_keep_their_bytes_when_the_frame_is_rewritten(scene):
    a = scene.join("a")
    b = scene.join("b")
    assert a.cloud.CreateLocalAudioChannel(audio_params(16000, 1)) == 0
    frame = _audio(_pcm(0))
    sent = []
    for i in range(40):
        frame.SetData(_pcm(i))
        frame.pts = i
        assert a.cloud.SendAudioFrame(frame) == 0  # queued in the room for the router
        sent.append(_pcm(i))
    assert b.party.wait_count("OnRemoteAudioReceived", len(sent))
    got = [e[6] for e in b.party.named("OnRemoteAudioReceived")]
    assert got == sent


@pytest.mark.parametrize("operation", [
    lambda cloud, frame: cloud.SendAudioFrame(frame),  # refused: no room, still recorded
    lambda cloud, frame: cloud.GetAudioFrame(frame),
    lambda cloud, frame: cloud.SendCustomCmdMsg(1, b"x", True, True),
], ids=["SendAudioFrame", "GetAudioFrame", "SendCustomCmdMsg"])
def test_operations_past_the_record_limit_are_counted_exactly(engine_cloud, operation):
    cloud, instance = engine_cloud
    frame = _audio(_pcm(5))
    extra = 37
    for _ in range(MAX_CALLS + extra):
        operation(cloud, frame)
    records = probe.calls(instance)
    assert len(records) == MAX_CALLS
    assert probe.stats(instance)["omitted_calls"] == extra
    seqs = [r["seq"] for r in records]
    assert seqs == sorted(seqs) and len(set(seqs)) == MAX_CALLS
    # Cleared, the record keeps operations again, starting with the next one.
    probe.clear_calls(instance)
    assert probe.stats(instance)["omitted_calls"] == 0
    operation(cloud, frame)
    after = probe.calls(instance)
    assert len(after) == 1 and after[0]["seq"] > seqs[-1] + extra
    assert probe.stats(instance)["omitted_calls"] == 0
