"""Video, SEI and custom messages between instances: subscriptions, key frame
requests, encoded and pixel forms, message limits, order and loss."""

import pytest

from rooms_kit import _corvel, probe, until

E = _corvel
HIGH, LOW, AUX = E.STREAM_TYPE_VIDEO_HIGH, E.STREAM_TYPE_VIDEO_LOW, E.STREAM_TYPE_VIDEO_AUX


def encoded(pts, key, data=b"\x00\x00\x00\x01frame"):
    f = E.VideoFrame()
    f.pts, f.is_key_frame = pts, key
    f.SetData(data)
    return f


def picture(w=4, h=2):
    f = E.PixelFrame()
    f.width, f.height = w, h
    f.SetData(bytes(range(w * h * 3 // 2)))
    return f


@pytest.mark.parametrize("stream", [HIGH, LOW, AUX])
def test_subscriber_asks_for_a_key_frame_and_receives_from_it(scene, stream):
    a = scene.join("a")
    b = scene.join("b")
    c = scene.join("c")  # not subscribed: receives nothing
    assert a.cloud.CreateLocalVideoChannel(stream) == 0
    assert b.party.wait_event("OnRemoteVideoAvailable", "a", True, stream)
    assert b.cloud.Subscribe("a", stream) == 0
    assert a.party.wait_event("OnRequestKeyFrame", stream)
    assert a.cloud.SendVideoFrame(stream, encoded(1, False)) == 0  # useless before a key frame
    assert a.cloud.SendVideoFrame(stream, encoded(2, True)) == 0
    assert a.cloud.SendVideoFrame(stream, encoded(3, False)) == 0
    assert b.party.wait_count("OnRemoteVideoFrameReceived", 2)
    assert [e[3:5] for e in b.party.named("OnRemoteVideoFrameReceived")] == [(2, True), (3, False)]
    assert probe.media(b.iid)["waiting_key_drops"] == 1
    assert b.cloud.Unsubscribe("a", stream) == 0
    assert a.cloud.SendVideoFrame(stream, encoded(4, True)) == 0
    assert a.cloud.SendCustomCmdMsg(1, b"mark", True, True)  # after the frame, same queue
    for r in (b, c):
        assert r.party.wait_event("OnReceiveCustomCmdMsg", "a", 1, 1, b"mark")
    assert len(b.party.named("OnRemoteVideoFrameReceived")) == 2
    assert not c.party.named("OnRemoteVideoFrameReceived")


def test_pixel_and_encoded_forms_follow_the_receivers_choice(scene):
    a = scene.join("a")
    pix = scene.join("pix", pixel_out=True)
    enc = scene.join("enc")
    a.cloud.CreateLocalVideoChannel(HIGH)
    for r in (pix, enc):
        r.cloud.Subscribe("a", HIGH)
    assert a.cloud.SendPixelFrame(HIGH, picture()) == 0
    assert a.cloud.SendVideoFrame(HIGH, encoded(5, True)) == 0
    assert pix.party.wait_event("OnRemotePixelFrameReceived", "a", HIGH, 4, 2, bytes(range(12)))
    assert enc.party.wait_event("OnRemoteVideoFrameReceived", "a", HIGH, 5, True)
    # No codec here: the other form cannot be produced; each receiver is told once.
    assert pix.party.wait_event("OnError", E.ERR_NOT_SUPPORTED)
    assert enc.party.wait_event("OnError", E.ERR_NOT_SUPPORTED)
    assert probe.media(pix.iid)["undecodable_drops"] == 1


def test_sei_rides_on_the_next_video_frame(scene):
    a = scene.join("a")
    b = scene.join("b")
    assert a.cloud.SendSeiMessage(5, b"too early") == E.ERR_INVALID_OPERATION  # no video channel
    a.cloud.CreateLocalVideoChannel(LOW)
    b.cloud.Subscribe("a", LOW)
    assert a.cloud.SendSeiMessage(5, b"caption 1") == 0
    assert a.cloud.SendSeiMessage(242, b"caption 2") == 0
    assert probe.wait_idle(b.iid) and not b.party.named("OnSeiMessageReceived")
    assert a.cloud.SendVideoFrame(LOW, encoded(9, True)) == 0
    assert b.party.wait_count("OnRemoteVideoFrameReceived", 1)
    ev = [e for e in b.party.events
          if e[0] in ("OnSeiMessageReceived", "OnRemoteVideoFrameReceived")]
    assert ev[:2] == [("OnSeiMessageReceived", "a", LOW, 5, b"caption 1"),
                      ("OnSeiMessageReceived", "a", LOW, 242, b"caption 2")]


def test_bandwidth_drop_asks_for_a_lower_video_bitrate(scene):
    a = scene.join("a")
    a.cloud.CreateLocalVideoChannel(HIGH)
    p = E.VideoEncodeParams()
    p.bitrate_bps = 1000000
    a.cloud.SetVideoEncodeParam(HIGH, p)
    probe.set_conditions(a.iid, bandwidth_kbps=500)
    assert a.party.wait_event("OnRequestChangeVideoEncodeBitrate", HIGH)
    lowered = a.party.named("OnRequestChangeVideoEncodeBitrate")[-1][2]
    assert 30000 <= lowered <= 450000
    probe.set_conditions(a.iid, bandwidth_kbps=0)
    assert a.party.wait_event("OnRequestChangeVideoEncodeBitrate", HIGH, 1000000)


@pytest.mark.parametrize("cmd, message, ok", [
    (1, b"x", True),
    (10, b"y" * 1024, True),
    (0, b"x", False),
    (11, b"x", False),
    (1, b"", False),
    (1, b"z" * 1025, False),
])
def test_custom_message_limits(scene, cmd, message, ok):
    a = scene.join("a")
    b = scene.join("b")
    assert bool(a.cloud.SendCustomCmdMsg(cmd, message, True, True)) == ok
    if ok:
        assert b.party.wait_event("OnReceiveCustomCmdMsg", "a", cmd, 1, message)


def test_custom_messages_are_rate_limited(scene):
    a = scene.join("a")
    results = [bool(a.cloud.SendCustomCmdMsg(1, b"m", True, True)) for _ in range(31)]
    assert results == [True] * 30 + [False]
    big = scene.join("big")
    results = [bool(big.cloud.SendCustomCmdMsg(2, b"k" * 1000, True, True)) for _ in range(9)]
    assert results == [True] * 8 + [False]  # 8 KiB per second


def test_sequence_numbers_count_per_command_id(scene):
    a = scene.join("a")
    b = scene.join("b")
    c = scene.join("c")
    for cmd in (1, 2, 1, 1, 2):
        assert a.cloud.SendCustomCmdMsg(cmd, b"%d" % cmd, True, True)
    for r in (b, c):
        assert r.party.wait_count("OnReceiveCustomCmdMsg", 5)
        got = [(e[2], e[3]) for e in r.party.named("OnReceiveCustomCmdMsg")]
        assert got == [(1, 1), (2, 1), (1, 2), (1, 3), (2, 2)]


def test_reliable_ordered_messages_survive_loss_in_order(scene):
    a = scene.join("a")
    b = scene.join("b")
    probe.set_conditions(b.iid, loss=0.5, delay_ms=5)
    for i in range(30):
        assert a.cloud.SendCustomCmdMsg(3, b"%d" % i, True, True)
    assert b.party.wait_count("OnReceiveCustomCmdMsg", 30)
    assert [e[3] for e in b.party.named("OnReceiveCustomCmdMsg")] == list(range(1, 31))
    assert not b.party.named("OnMissCustomCmdMsg")


def test_unreliable_messages_lost_are_reported_as_missed(scene):
    a = scene.join("a")
    b = scene.join("b")
    probe.set_conditions(b.iid, loss=1.0)
    for _ in range(4):
        assert a.cloud.SendCustomCmdMsg(4, b"lost", False, True)
    assert until(lambda: probe.media(b.iid)["missed_messages"] == 4)  # carried (and lost)
    probe.set_conditions(b.iid, loss=0.0)
    assert a.cloud.SendCustomCmdMsg(4, b"arrives", False, True)
    assert b.party.wait_event("OnReceiveCustomCmdMsg", "a", 4, 5, b"arrives")
    assert b.party.named("OnMissCustomCmdMsg") == [("OnMissCustomCmdMsg", "a", 4, 0, 4)]
    assert probe.media(b.iid)["missed_messages"] == 4
