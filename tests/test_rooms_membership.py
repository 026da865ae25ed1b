"""Rooms between instances: entering, leaving, replacement, audience, room
identity and EnterRoom's validation, with two and three instances."""

import gc

import pytest

from rooms_kit import Party, _corvel, audio_params, enter_params, probe

E = _corvel


@pytest.mark.parametrize(
    "edit, code",
    [
        (lambda p: setattr(p.room, "sdk_app_id", 0), E.ERR_INVALID_SDK_APP_ID),
        (lambda p: setattr(p.room, "user_id", E.VoraString("")), E.ERR_INVALID_USER_ID),
        (lambda p: setattr(p.room, "user_sig", E.VoraString("")), E.ERR_INVALID_USER_SIG),
        (lambda p: setattr(p.room, "room_id", 0), E.ERR_INVALID_ROOM_ID),
        (lambda p: setattr(p.audio_obtain_params, "output_sample_rate", 22050),
         E.ERR_INVALID_PARAMETER),
        (lambda p: setattr(p.audio_obtain_params, "output_audio_codec_type",
                           E.AUDIO_CODEC_TYPE_AAC), E.ERR_NOT_SUPPORTED),
        (lambda p: (setattr(p.audio_obtain_params, "output_audio_codec_type",
                            E.AUDIO_CODEC_TYPE_OPUS),
                    setattr(p.audio_obtain_params, "output_sample_rate", 44100)),
         E.ERR_NOT_SUPPORTED),
    ],
)
def test_enter_room_refusals_have_their_own_code(edit, code):
    party = Party()
    cloud = E.VORACloud(party)
    p = enter_params("v", 77)
    edit(p)
    assert cloud.EnterRoom(p) == code
    assert cloud.EnterRoom(enter_params("v", 77)) == 0
    assert cloud.EnterRoom(enter_params("v", 77)) == E.ERR_INVALID_OPERATION  # already in
    del cloud
    gc.collect()


def test_three_parties_see_each_other_enter_and_leave(scene):
    a = scene.join("alice")
    a.cloud.CreateLocalAudioChannel(audio_params())
    assert a.cloud.CreateLocalVideoChannel(E.STREAM_TYPE_VIDEO_HIGH) == 0
    b = scene.join("bob")
    c = scene.join("carol")
    # The newcomer learns who is there and which of their channels are up.
    assert c.party.wait(lambda ev: {e[1] for e in ev if e[0] == "OnRemoteUserEnterRoom"}
                        == {"alice", "bob"})
    assert c.party.wait_event("OnRemoteAudioAvailable", "alice", True)
    assert c.party.wait_event("OnRemoteVideoAvailable", "alice", True, E.STREAM_TYPE_VIDEO_HIGH)
    assert a.party.wait_event("OnRemoteUserEnterRoom", "carol")
    assert b.party.wait_event("OnRemoteUserEnterRoom", "carol")
    names = [e[0] for e in c.party.events]
    assert names[:3] == ["OnConnectionStateChanged"] * 2 + ["OnEnterRoom"]

    assert a.cloud.ExitRoom() == 0
    for other in (b, c):
        assert other.party.wait_event("OnRemoteUserExitRoom", "alice", 0)
        ev = other.party.events
        i = ev.index(("OnRemoteUserExitRoom", "alice", 0))
        assert ("OnRemoteAudioAvailable", "alice", False) in ev[:i]
    assert a.party.wait_event("OnExitRoom")
    assert a.party.named("OnConnectionStateChanged")[-1] == (
        "OnConnectionStateChanged", E.CONNECTION_STATE_CONNECTED, E.CONNECTION_STATE_DISCONNECTED)

    # Destroy leaves the room first.
    c.cloud = None
    scene.members.remove(c)
    gc.collect()
    assert b.party.wait_event("OnRemoteUserExitRoom", "carol", 0)


def test_same_user_id_replaces_the_first_instance(scene):
    first = scene.join("dup")
    first.cloud.CreateLocalAudioChannel(audio_params())
    watcher = scene.join("watcher")
    assert watcher.party.wait_event("OnRemoteAudioAvailable", "dup", True)
    second = scene.join("dup")
    assert first.party.wait_event("OnExitRoom")
    assert ("OnLocalAudioChannelDestroyed",) in first.party.events
    assert watcher.party.wait_event("OnRemoteUserExitRoom", "dup", 3)
    assert watcher.party.wait(lambda ev: ev.count(("OnRemoteUserEnterRoom", "dup")) == 2)
    # The replaced instance is out: its operations see no room.
    assert first.cloud.ExitRoom() == E.ERR_INVALID_OPERATION
    assert not first.cloud.SendCustomCmdMsg(1, b"x", True, True)
    assert second.cloud.SendCustomCmdMsg(1, b"x", True, True)
    assert watcher.party.wait_event("OnReceiveCustomCmdMsg", "dup", 1, 1, b"x")


def test_audience_is_invisible_and_cannot_open_channels(scene):
    host = scene.join("host")
    viewer = scene.join("viewer", role=E.VORA_ROLE_AUDIENCE)
    assert viewer.party.wait_event("OnRemoteUserEnterRoom", "host")
    assert viewer.cloud.CreateLocalAudioChannel(audio_params()) == E.ERR_INVALID_OPERATION
    assert viewer.cloud.CreateLocalVideoChannel(E.STREAM_TYPE_VIDEO_HIGH) == E.ERR_INVALID_OPERATION
    assert not viewer.cloud.SendCustomCmdMsg(1, b"hi", True, True)
    # The audience still hears the host.
    assert host.cloud.SendCustomCmdMsg(2, b"welcome", True, True)
    assert viewer.party.wait_event("OnReceiveCustomCmdMsg", "host", 2, 1, b"welcome")
    assert not any(e[0] == "OnRemoteUserEnterRoom" for e in host.party.events)


@pytest.mark.parametrize("other_room", [
    dict(str_room="x"),                 # text id differs from numeric id
    dict(app=1400000002),               # same numbers, another application
])
def test_rooms_are_identified_by_app_and_id(scene, other_room):
    a = scene.join("a", str_room=None)
    party = Party()
    cloud = E.VORACloud(party)
    p = enter_params("b", scene.room_id, str_room=other_room.get("str_room"))
    if "app" in other_room:
        p.room.sdk_app_id = other_room["app"]
    assert cloud.EnterRoom(p) == 0
    assert cloud.SendCustomCmdMsg(1, b"anyone?", True, True)
    # Nobody else is in that room: a message sent back in a's room shows a is alone too.
    assert a.cloud.SendCustomCmdMsg(1, b"ping", True, True)
    assert probe.wait_idle(a.iid)
    room_members = [sorted(m["user_id"] for m in r["members"]) for r in probe.rooms()]
    assert [b"a"] in room_members and [b"b"] in room_members
    assert not party.named("OnRemoteUserEnterRoom")
    del cloud
    gc.collect()


def test_string_room_ids_join_the_same_room(scene):
    party_a, party_b = Party(), Party()
    a, b = E.VORACloud(party_a), E.VORACloud(party_b)
    assert a.EnterRoom(enter_params("sa", 0, str_room="lobby-ü")) == 0
    assert b.EnterRoom(enter_params("sb", 5, str_room="lobby-ü")) == 0  # text wins over number
    assert party_a.wait_event("OnRemoteUserEnterRoom", "sb")
    del a, b
    gc.collect()
