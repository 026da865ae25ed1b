"""Network quality reports, simulated disconnection, server errors, simulated
loss on media, and isolation between instances (a slow delegate stalls no
one else; overload is counted)."""

import threading

import pytest

from rooms_kit import _corvel, audio_frame, audio_params, probe, send_tone, until

E = _corvel


@pytest.mark.parametrize("conditions, grade", [
    ({}, 1),                                   # excellent
    ({"loss": 0.02}, 2),                       # good
    ({"loss": 0.05, "delay_ms": 300}, 3),      # poor
    ({"loss": 0.15}, 4),                       # bad
    ({"loss": 0.5}, 5),                        # very bad
    ({"bandwidth_kbps": 10}, 4),               # far below what the channels need
])
def test_network_quality_reports_follow_conditions(scene, conditions, grade):
    probe.set_quality_interval_ms(50)
    a = scene.join("a")
    a.cloud.CreateLocalAudioChannel(audio_params())
    b = scene.join("b")
    scene.join("c")
    if conditions:
        probe.set_conditions(a.iid, **conditions)
    expected_local = ("OnNetworkQuality", ("a", grade), [("b", 1), ("c", 1)])
    assert a.party.wait(lambda ev: expected_local in ev)
    assert b.party.wait(lambda ev: ("OnNetworkQuality", ("b", 1), [("a", grade), ("c", 1)]) in ev)


def test_disconnection_reconnects_with_the_states_a_user_sees(scene):
    probe.set_quality_interval_ms(50)
    a = scene.join("a")
    b = scene.join("b")
    probe.disconnect(a.iid, 300)
    assert a.party.wait(lambda ev: ev.count(("OnConnectionStateChanged", 2, 3)) == 2)
    states = [e[1:] for e in a.party.named("OnConnectionStateChanged")]
    assert states == [(0, 2), (2, 3), (3, 1), (1, 2), (2, 3)]
    # While it was away, b saw it as down.
    assert b.party.wait(lambda ev: any(e[0] == "OnNetworkQuality" and ("a", 6) in e[2]
                                       for e in ev))
    outside = E.VORACloud(type(a.party)())
    with pytest.raises(ValueError, match="not in a room"):
        probe.disconnect(probe.last_instance(), 10)
    del outside


def test_reliable_message_sent_while_disconnected_arrives_after_reconnection(scene):
    a = scene.join("a")
    b = scene.join("b")
    probe.disconnect(b.iid, 200)
    assert a.cloud.SendCustomCmdMsg(1, b"later", True, True)
    assert a.cloud.SendCustomCmdMsg(2, b"gone", False, True)
    assert b.party.wait_event("OnReceiveCustomCmdMsg", "a", 1, 1, b"later")
    ev = b.party.events
    assert ev.index(("OnConnectionStateChanged", 2, 3), 2) < ev.index(
        ("OnReceiveCustomCmdMsg", "a", 1, 1, b"later"))
    assert not any(e[0] == "OnReceiveCustomCmdMsg" and e[2] == 2 for e in ev)


@pytest.mark.parametrize("code, removed", [
    (E.ERR_SERVER_PROCESS_FAILED, False),
    (E.ERR_BANNED_BY_SERVER, True),
    (E.ERR_SERVICE_SUSPENDED, True),
])
def test_server_errors_reach_on_error(scene, code, removed):
    a = scene.join("a")
    b = scene.join("b")
    probe.server_error(a.iid, code)
    assert a.party.wait_event("OnError", int(code))
    if removed:
        assert a.party.wait_event("OnExitRoom")
        assert b.party.wait_event("OnRemoteUserExitRoom", "a", 2)
        assert a.cloud.ExitRoom() == E.ERR_INVALID_OPERATION
    else:
        assert a.cloud.ExitRoom() == 0


def test_simulated_loss_drops_audio_and_is_counted(scene):
    a = scene.join("a")
    b = scene.join("b", rate=16000)
    probe.set_conditions(b.iid, loss=1.0)
    a.cloud.CreateLocalAudioChannel(audio_params(16000))
    send_tone(a, 16000, 1, 440, 5000, frames=10)
    # Loss applies when the router carries a frame: let it carry all ten first.
    assert until(lambda: probe.media(b.iid)["lost"] == 10)
    probe.set_conditions(b.iid, loss=0.0)
    send_tone(a, 16000, 1, 440, 5000, frames=1)
    assert b.party.wait_count("OnRemoteAudioReceived", 1)
    assert probe.media(b.iid)["lost"] == 10
    assert probe.conditions(b.iid) == {"loss": 0.0, "delay_ms": 0, "bandwidth_kbps": 0}


def test_a_slow_delegate_stalls_neither_sender_nor_other_receivers(scene):
    a = scene.join("a")
    slow = scene.join("slow", rate=16000)
    fast = scene.join("fast", rate=16000)
    gate = threading.Event()
    slow.party.hook = lambda e: e[0] == "OnRemoteAudioReceived" and gate.wait(WAIT_GATE)
    a.cloud.CreateLocalAudioChannel(audio_params(16000))
    try:
        send_tone(a, 16000, 1, 440, 5000, frames=50)  # returns while slow is blocked
        assert fast.party.wait_count("OnRemoteAudioReceived", 50)
    finally:
        gate.set()
    assert slow.party.wait_count("OnRemoteAudioReceived", 50)


WAIT_GATE = 10.0


def test_full_delivery_queue_drops_and_counts(scene):
    probe.set_queue_capacity(8)
    probe.set_quality_interval_ms(600000)  # no reports among the counted callbacks
    try:
        a = scene.join("a")
        b = scene.join("b", rate=16000)
    finally:
        probe.set_queue_capacity(0)
    gate = threading.Event()
    b.party.hook = lambda e: e[0] == "OnRemoteAudioReceived" and gate.wait(WAIT_GATE)
    a.cloud.CreateLocalAudioChannel(audio_params(16000))
    silence = [0] * 320
    for _ in range(40):
        assert a.cloud.SendAudioFrame(audio_frame(silence, 16000, 1)) == 0
    assert a.cloud.SendCustomCmdMsg(1, b"after", True, True)
    # The message went last through the room's queue: once the router has
    # carried it, every frame has met the full delivery queue.
    assert until(lambda: probe.media(b.iid)["messages_received"] == 1)
    gate.set()
    assert probe.wait_idle(b.iid)
    m = probe.media(b.iid)
    assert m["callback_drops"] > 0
    assert m["callback_drops"] + len(b.party.named("OnRemoteAudioReceived")) + len(
        b.party.named("OnReceiveCustomCmdMsg")) == 41
