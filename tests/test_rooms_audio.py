"""Audio between instances: validation, conversion to each receiver's format
(checked numerically), saturating mixing, GetAudioFrame, continuous pacing and
voice activity flags."""

import time

import pytest

from rooms_kit import (
    _corvel,
    audio_frame,
    audio_params,
    pcm,
    peak_frequency,
    probe,
    rms,
    send_tone,
    tone,
    until,
)

np = pytest.importorskip("numpy")

E = _corvel


def test_send_audio_frame_refusals(scene):
    a = scene.join("a")
    f = audio_frame(tone(48000, 1, 440, 1000, 960), 48000, 1)
    assert a.cloud.SendAudioFrame(f) == E.ERR_INVALID_OPERATION  # no channel yet
    assert a.cloud.CreateLocalAudioChannel(audio_params(48000, 1)) == 0
    wrong_rate = audio_frame(tone(16000, 1, 440, 1000, 320), 16000, 1)
    wrong_channels = audio_frame(tone(48000, 2, 440, 1000, 960), 48000, 2)
    half_sample = audio_frame([], 48000, 1)
    half_sample.SetData(b"\x01\x02\x03")
    aac = audio_frame(tone(48000, 1, 440, 1000, 960), 48000, 1)
    aac.codec = E.AUDIO_CODEC_TYPE_AAC
    not_opus = audio_frame([], 48000, 1)
    not_opus.codec = E.AUDIO_CODEC_TYPE_OPUS
    not_opus.SetData(b"\x03\x00")  # a packet of zero frames
    for frame, code in [(wrong_rate, E.ERR_INVALID_PARAMETER),
                        (wrong_channels, E.ERR_INVALID_PARAMETER),
                        (half_sample, E.ERR_INVALID_PARAMETER),
                        (aac, E.ERR_NOT_SUPPORTED),
                        (not_opus, E.ERR_INVALID_PARAMETER)]:
        assert a.cloud.SendAudioFrame(frame) == code
        assert a.cloud.SendContinuousAudioFrame(frame, False) == code
    assert probe.media(a.iid)["audio_sent"] == 0  # nothing refused was sent


@pytest.mark.parametrize("send_rate, send_ch, out_rate, out_ch, out_ms", [
    (48000, 2, 16000, 1, 20),
    (16000, 1, 48000, 2, 10),
    (44100, 1, 48000, 1, 40),
    (8000, 1, 32000, 1, 20),
])
def test_tone_arrives_at_frequency_and_level_in_receiver_format(
        scene, send_rate, send_ch, out_rate, out_ch, out_ms):
    a = scene.join("a")
    b = scene.join("b", rate=out_rate, channels=out_ch, frame_ms=out_ms)
    assert a.cloud.CreateLocalAudioChannel(audio_params(send_rate, send_ch)) == 0
    send_tone(a, send_rate, send_ch, 1000, 12000, frames=40)  # 800 ms
    expected = 800 // out_ms - 3  # the filter delay holds back the very end
    assert b.party.wait_count("OnRemoteAudioReceived", expected)
    frames = b.party.named("OnRemoteAudioReceived")
    assert {(e[1], e[2], e[3], len(e[6])) for e in frames} == {
        ("a", out_rate, out_ch, out_rate * out_ms // 1000 * out_ch * 2)}
    signal = pcm(b"".join(e[6] for e in frames), out_ch)
    steady = signal[out_rate // 10:]  # past the filter's start
    channels = [steady] if out_ch == 1 else [steady[:, c] for c in range(out_ch)]
    for x in channels:
        assert peak_frequency(x, out_rate) == pytest.approx(1000, abs=out_rate / len(x) + 1)
        assert 20 * np.log10(rms(x) / (12000 / np.sqrt(2))) == pytest.approx(0, abs=0.5)
    pts = [e[4] for e in frames]
    assert pts == sorted(pts) and pts[-1] - pts[0] >= 600


@pytest.mark.parametrize("mix", [False, True], ids=["per user", "mixed"])
def test_opus_frames_received_by_one_member_can_be_sent_by_another(scene, mix):
    """b gets a's tone as Opus frames; c sends those frames as they are; d,
    a PCM receiver, hears the tone from c at its frequency and level."""
    a = scene.join("a")
    b = scene.join("b", rate=48000, codec=E.AUDIO_CODEC_TYPE_OPUS, mix=mix)
    c = scene.join("c")
    d = scene.join("d", rate=48000)
    assert a.cloud.CreateLocalAudioChannel(audio_params(48000, 1)) == 0
    send_tone(a, 48000, 1, 1000, 12000, frames=40)
    if mix:
        assert b.party.wait_count("OnRemoteMixedAudioReceived", 37)
        packets = [e[5] for e in b.party.named("OnRemoteMixedAudioReceived")]
    else:
        assert b.party.wait_count("OnRemoteAudioReceived", 37)
        packets = [e[6] for e in b.party.named("OnRemoteAudioReceived") if e[1] == "a"]
    assert c.cloud.CreateLocalAudioChannel(audio_params(48000, 1)) == 0
    assert all(0 < len(p) < 400 for p in packets)  # 20 ms of PCM would be 1,920 bytes
    for k, packet in enumerate(packets):
        frame = audio_frame([], 48000, 1, pts=k * 20)
        frame.codec = E.AUDIO_CODEC_TYPE_OPUS
        frame.SetData(packet)
        assert c.cloud.SendAudioFrame(frame) == 0
    assert until(lambda: len(d.party.named("OnRemoteAudioReceived")) >= 37 + len(packets))
    heard = [e for e in d.party.named("OnRemoteAudioReceived") if e[1] == "c"]
    assert {(e[2], e[3], len(e[6])) for e in heard} == {(48000, 1, 1920)}
    steady = pcm(b"".join(e[6] for e in heard))[48000 // 5:]  # past the codecs' start
    assert peak_frequency(steady, 48000) == pytest.approx(1000, abs=48000 / len(steady) + 1)
    assert 20 * np.log10(rms(steady) / (12000 / np.sqrt(2))) == pytest.approx(0, abs=1.5)


def test_unsubscribed_audio_stops_and_resumes(scene):
    a = scene.join("a")
    b = scene.join("b")
    a.cloud.CreateLocalAudioChannel(audio_params(16000))
    assert b.cloud.Unsubscribe("a", E.STREAM_TYPE_AUDIO) == 0
    send_tone(a, 16000, 1, 500, 8000, frames=5)
    # Media and messages share the room's queue: the message marks the end of
    # what was sent while unsubscribed.
    assert a.cloud.SendCustomCmdMsg(1, b"mark", True, True)
    assert b.party.wait_event("OnReceiveCustomCmdMsg", "a", 1, 1, b"mark")
    assert b.cloud.Subscribe("a", E.STREAM_TYPE_AUDIO) == 0
    send_tone(a, 16000, 1, 500, 8000, frames=5)
    assert b.party.wait_count("OnRemoteAudioReceived", 5)
    # Exactly the frames sent while subscribed (same format: no filter delay).
    assert probe.wait_idle(b.iid) and len(b.party.named("OnRemoteAudioReceived")) == 5


@pytest.mark.parametrize("method", ["callback", "get"])
def test_mixing_saturates_instead_of_wrapping(scene, method):
    probe.set_mix_wait_ms(2000)  # wait for both speakers, however loaded the machine
    get = method == "get"
    listener = scene.join(
        "listener", mix=True,
        method=E.AUDIO_OBTAIN_METHOD_GET if get else E.AUDIO_OBTAIN_METHOD_CALLBACK)
    s1 = scene.join("s1")
    s2 = scene.join("s2")
    for s in (s1, s2):
        assert s.cloud.CreateLocalAudioChannel(audio_params(16000)) == 0
    assert listener.party.wait_count("OnRemoteAudioAvailable", 2)
    loud = np.full(320, 25000, dtype=np.int16)  # two of these overflow int16
    quiet = np.full(320, 1000, dtype=np.int16)
    for _ in range(5):
        assert s1.cloud.SendAudioFrame(audio_frame(loud, 16000, 1)) == 0
        assert s2.cloud.SendAudioFrame(audio_frame(loud, 16000, 1)) == 0
    for _ in range(2):
        assert s1.cloud.SendAudioFrame(audio_frame(quiet, 16000, 1)) == 0
        assert s2.cloud.SendAudioFrame(audio_frame(-quiet, 16000, 1)) == 0

    frames = []
    if get:
        # Nothing signals a pulled frame: poll, as a playout thread would.
        f = E.AudioFrame()
        deadline = time.monotonic() + 10
        while len(frames) < 7 and time.monotonic() < deadline:
            if listener.cloud.GetAudioFrame(f) == 0:
                frames.append(f.data)
            else:
                time.sleep(0.005)
        assert listener.cloud.GetAudioFrame(f) == E.ERR_READ_TRY_AGAIN
    else:
        assert listener.party.wait_count("OnRemoteMixedAudioReceived", 7)
        frames = [e[5] for e in listener.party.named("OnRemoteMixedAudioReceived")]
    mixed = [pcm(d) for d in frames]
    assert all(np.all(x == 32767) for x in mixed[:5])  # clipped at the rail, never negative
    assert all(np.all(x == 0) for x in mixed[5:7])     # +1000 and -1000 cancel
    assert probe.media(listener.iid)["mixed_frames"] == 7


def test_get_audio_frame_without_audio_answers_try_again(scene):
    a = scene.join("a", method=E.AUDIO_OBTAIN_METHOD_GET, mix=True)
    f = E.AudioFrame()
    assert a.cloud.GetAudioFrame(f) == E.ERR_READ_TRY_AGAIN


def test_continuous_audio_is_paced_one_frame_per_frame_length(scene):
    a = scene.join("a")
    b = scene.join("b", rate=16000)
    a.cloud.CreateLocalAudioChannel(audio_params(16000, frame_ms=20))
    arrivals = []
    b.party.hook = lambda e: e[0] == "OnRemoteAudioReceived" and arrivals.append(
        time.monotonic())
    # 500 ms of audio in one call, 250 ms of it with pts 1000.
    clip = tone(16000, 1, 700, 9000, 8000)
    assert a.cloud.SendContinuousAudioFrame(audio_frame(clip, 16000, 1, pts=1000), False) == 0
    assert b.party.wait_count("OnRemoteAudioReceived", 25)
    frames = b.party.named("OnRemoteAudioReceived")
    assert [e[4] for e in frames] == [1000 + 20 * k for k in range(25)]
    assert pcm(b"".join(e[6] for e in frames)).tolist() == clip.tolist()
    # Paced, not burst: 25 frames of 20 ms cannot all arrive within 300 ms.
    assert arrivals[-1] - arrivals[0] >= 0.3


def test_clear_send_queue_drops_what_is_still_queued(scene):
    a = scene.join("a")
    b = scene.join("b", rate=16000)
    a.cloud.CreateLocalAudioChannel(audio_params(16000, frame_ms=20))
    long_clip = np.full(16000 * 5, 3000, dtype=np.int16)  # 5 s queued
    assert a.cloud.SendContinuousAudioFrame(audio_frame(long_clip, 16000, 1), False) == 0
    assert b.party.wait_count("OnRemoteAudioReceived", 1)
    marker = np.full(320, -7000, dtype=np.int16)
    assert a.cloud.SendContinuousAudioFrame(audio_frame(marker, 16000, 1, pts=99999), True) == 0
    assert b.party.wait_event("OnRemoteAudioReceived", "a", 16000, 1, 99999)
    assert probe.media(a.iid)["pacing_cleared"] > 200
    assert len(b.party.named("OnRemoteAudioReceived")) < 50


@pytest.mark.parametrize("enabled", [True, False])
def test_voice_activity_flags_follow_a_real_detector(scene, enabled):
    a = scene.join("a")
    b = scene.join("b", rate=16000)
    if enabled:
        b.cloud.EnableVoiceActivityDetection(E.VADParams())  # default off: stays off
        v = E.VADParams()
        v.enable = True
        b.cloud.EnableVoiceActivityDetection(v)
    a.cloud.CreateLocalAudioChannel(audio_params(16000))
    rng = np.random.default_rng(1)
    silence = (rng.standard_normal(320 * 25) * 3).astype(np.int16)       # -80 dBFS
    t = np.arange(320 * 25) / 16000
    voiced = (8000 * np.sin(2 * np.pi * 180 * t) * (1 + 0.5 * np.sin(2 * np.pi * 4 * t))
              ).astype(np.int16)
    for chunk in np.split(np.concatenate([silence, voiced]), 50):
        assert a.cloud.SendAudioFrame(audio_frame(chunk, 16000, 1)) == 0
    assert b.party.wait_count("OnRemoteAudioReceived", 50)
    flags = [e[5] for e in b.party.named("OnRemoteAudioReceived")]
    if enabled:
        assert not any(flags[:25]) and all(flags[30:])
    else:
        assert not any(flags)
