"""Shared pieces of the room scenario tests (test_rooms_*.py): a delegate that
records every callback and can be waited on, room parameters, PCM helpers and a
fixture that creates parties and destroys them at the end.

The PCM helpers need numpy; a test that calls one is skipped without it."""

import gc
import itertools
import threading
import time

import pytest

_corvel = pytest.importorskip("_corvel")

import engine_probe as probe  # noqa: E402

WAIT = 10.0  # upper bound of every wait; nothing is asserted about time
APP = 1400000001
_rooms = itertools.count(1000)


class Party(_corvel.VORACloudDelegate):
    """Records callbacks as tuples (name, *plain values)."""

    def __init__(self):
        super().__init__()
        self.events = []
        self.cond = threading.Condition()
        self.hook = None  # called with each event before it is recorded

    def _add(self, *event):
        if self.hook:
            self.hook(event)
        with self.cond:
            self.events.append(event)
            self.cond.notify_all()

    def named(self, name):
        with self.cond:
            return [e for e in self.events if e[0] == name]

    def wait(self, predicate, timeout=WAIT):
        with self.cond:
            return self.cond.wait_for(lambda: predicate(self.events), timeout)

    def wait_count(self, name, count, timeout=WAIT):
        return self.wait(lambda ev: sum(1 for e in ev if e[0] == name) >= count, timeout)

    def wait_event(self, *event, timeout=WAIT):
        n = len(event)
        return self.wait(lambda ev: any(e[:n] == event for e in ev), timeout)

    def OnError(self, error):
        self._add("OnError", int(error))

    def OnConnectionStateChanged(self, old, new):
        self._add("OnConnectionStateChanged", int(old), int(new))

    def OnEnterRoom(self):
        self._add("OnEnterRoom")

    def OnExitRoom(self):
        self._add("OnExitRoom")

    def OnLocalAudioChannelCreated(self):
        self._add("OnLocalAudioChannelCreated")

    def OnLocalAudioChannelDestroyed(self):
        self._add("OnLocalAudioChannelDestroyed")

    def OnLocalVideoChannelCreated(self, stream_type):
        self._add("OnLocalVideoChannelCreated", int(stream_type))

    def OnLocalVideoChannelDestroyed(self, stream_type):
        self._add("OnLocalVideoChannelDestroyed", int(stream_type))

    def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate):
        self._add("OnRequestChangeVideoEncodeBitrate", int(stream_type), bitrate)

    def OnRequestKeyFrame(self, stream_type):
        self._add("OnRequestKeyFrame", int(stream_type))

    def OnRemoteUserEnterRoom(self, info):
        self._add("OnRemoteUserEnterRoom", info.user_id.GetValue())

    def OnRemoteUserExitRoom(self, info, reason):
        self._add("OnRemoteUserExitRoom", info.user_id.GetValue(), reason)

    def OnRemoteAudioAvailable(self, user_id, available):
        self._add("OnRemoteAudioAvailable", user_id, available)

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        self._add("OnRemoteVideoAvailable", user_id, available, int(stream_type))

    def OnRemoteAudioReceived(self, user_id, frame):
        self._add("OnRemoteAudioReceived", user_id, frame.sample_rate, frame.channels,
                  frame.pts, frame.has_voice, frame.data)

    def OnRemoteMixedAudioReceived(self, frame):
        self._add("OnRemoteMixedAudioReceived", frame.sample_rate, frame.channels, frame.pts,
                  frame.has_voice, frame.data)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        self._add("OnRemoteVideoFrameReceived", user_id, int(stream_type), frame.pts,
                  frame.is_key_frame, frame.data)

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self._add("OnRemotePixelFrameReceived", user_id, int(stream_type), frame.width,
                  frame.height, frame.data)

    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        self._add("OnSeiMessageReceived", user_id, int(stream_type), message_type, message)

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self._add("OnReceiveCustomCmdMsg", user_id, cmd_id, seq, message)

    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed):
        self._add("OnMissCustomCmdMsg", user_id, cmd_id, error_code, missed)

    def OnNetworkQuality(self, local, remotes):
        self._add("OnNetworkQuality", (local.user_id.GetValue(), int(local.quality)),
                  sorted((r.user_id.GetValue(), int(r.quality)) for r in remotes))


def enter_params(user, room_id, *, role=None, method=None, mix=False, rate=16000, channels=1,
                 frame_ms=20, pixel_out=False, str_room=None, codec=None):
    p = _corvel.EnterRoomParams()
    p.room.sdk_app_id = APP
    p.room.room_id = room_id
    if str_room is not None:
        p.room.str_room_id = _corvel.VoraString(str_room)
    p.room.user_id = _corvel.VoraString(user)
    p.room.user_sig = _corvel.VoraString("sig")
    p.role = _corvel.VORA_ROLE_ANCHOR if role is None else role
    a = p.audio_obtain_params
    a.audio_obtain_method = _corvel.AUDIO_OBTAIN_METHOD_CALLBACK if method is None else method
    a.enable_remote_audio_mix = mix
    a.output_sample_rate = rate
    a.output_channels = channels
    a.output_frame_length_ms = frame_ms
    if codec is not None:
        a.output_audio_codec_type = codec
    p.use_pixel_frame_output = pixel_out
    return p


class Member:
    def __init__(self, cloud, party, iid, user):
        self.cloud, self.party, self.iid, self.user = cloud, party, iid, user


class Scene:
    """Parties of one fresh room; all destroyed at teardown."""

    def __init__(self):
        self.room_id = next(_rooms)
        self.members = []

    def join(self, user, **kwargs):
        party = Party()
        cloud = _corvel.VORACloud(party)
        member = Member(cloud, party, probe.last_instance(), user)
        self.members.append(member)
        assert cloud.EnterRoom(enter_params(user, self.room_id, **kwargs)) == 0
        assert party.wait_event("OnEnterRoom")
        return member

    def close(self):
        instances = [m.iid for m in self.members]
        for m in self.members:
            m.cloud = None
        self.members.clear()
        if any(probe.is_live(i) for i in instances):  # left in a reference cycle
            gc.collect()


@pytest.fixture
def scene():
    s = Scene()
    yield s
    s.close()
    probe.set_quality_interval_ms(0)
    probe.set_mix_wait_ms(0)


def until(check, timeout=WAIT):
    """Polls a counter-style condition that no callback announces (bounded)."""
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def audio_params(rate=48000, channels=1, frame_ms=20, bitrate=64000):
    p = _corvel.AudioEncodeParams()
    p.sample_rate, p.channels, p.frame_length_ms, p.bitrate_bps = rate, channels, frame_ms, bitrate
    return p


def _numpy():
    return pytest.importorskip("numpy", reason="the PCM helpers need numpy")


def tone(rate, channels, freq, amplitude, frames, start=0):
    np = _numpy()
    n = np.arange(start, start + frames)
    mono = np.round(amplitude * np.sin(2 * np.pi * freq * n / rate)).astype(np.int16)
    return np.repeat(mono, channels) if channels > 1 else mono


def audio_frame(samples, rate, channels, pts=0):
    np = _numpy()
    f = _corvel.AudioFrame()
    f.sample_rate, f.channels, f.pts = rate, channels, pts
    f.SetData(np.asarray(samples, dtype=np.int16).tobytes())
    return f


def send_tone(member, rate, channels, freq, amplitude, frames, frame_ms=20):
    per = rate * frame_ms // 1000
    for k in range(frames):
        pcm = tone(rate, channels, freq, amplitude, per, start=k * per)
        assert member.cloud.SendAudioFrame(audio_frame(pcm, rate, channels, pts=k * frame_ms)) == 0


def pcm(data, channels=1):
    np = _numpy()
    x = np.frombuffer(data, dtype=np.int16).astype(np.float64)
    return x.reshape(-1, channels) if channels > 1 else x


def peak_frequency(x, rate):
    np = _numpy()
    window = np.hanning(len(x))
    magnitudes = np.abs(np.fft.rfft(x * window))
    k = int(np.argmax(magnitudes[1:])) + 1
    return k * rate / len(x)


def rms(x):
    np = _numpy()
    return float(np.sqrt(np.mean(np.square(x))))
