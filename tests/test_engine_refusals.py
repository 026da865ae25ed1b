"""Refused operations say why: corvel.last_refusal() on the calling thread, the
warning in the log (repeats summarised), and aio.RoomError's reason; sizes
that overflow or exceed a bound are refused rather than accepted."""

import threading

import pytest

import _corvel as E
import corvel
from corvel import aio

import engine_probe as probe
from py_kit import run
from rooms_kit import audio_params


def pixel_frame(width, height, data, fmt=E.VIDEO_PIXEL_FORMAT_RGBA):
    f = E.PixelFrame()
    f.width, f.height, f.format = width, height, fmt
    f.SetData(data)
    return f


def pcm_frame(seconds, rate=16000):
    f = E.AudioFrame()
    f.sample_rate, f.channels, f.bits_per_sample = rate, 1, 16
    f.SetData(bytes(int(rate * seconds) * 2))
    return f


def anchor_with_audio(scene):  # noqa: F811
    a = scene.join("a")
    assert a.cloud.CreateLocalAudioChannel(audio_params(rate=16000)) == 0
    return a


# (name, call on an anchor in a room with a 16 kHz mono audio channel, result, reason text)
REFUSALS = [
    ("cmd-id", lambda c: c.SendCustomCmdMsg(11, b"x", True, True), 0,
     "SendCustomCmdMsg refused: cmd_id 11 outside 1..10"),
    ("cmd-size", lambda c: c.SendCustomCmdMsg(1, bytes(1025), True, True), 0,
     "SendCustomCmdMsg refused: message of 1025 bytes is not 1..1024 bytes"),
    # 4 * w * h wraps to 4 in 64 bits: the size must not be computed modulo 2**64.
    ("pixel-size-overflow",
     lambda c: c.SendPixelFrame(E.STREAM_TYPE_VIDEO_HIGH, pixel_frame(2147418113, 2147549185,
                                                                      b"\0" * 4)),
     E.ERR_INVALID_PARAMETER, "has no representable size"),
    ("pixel-size-mismatch",
     lambda c: c.SendPixelFrame(E.STREAM_TYPE_VIDEO_HIGH, pixel_frame(2, 2, b"\0" * 15)),
     E.ERR_INVALID_PARAMETER, "payload of 15 bytes, a 2x2 picture of format"),
    ("audio-over-10-s", lambda c: c.SendAudioFrame(pcm_frame(10.02)), E.ERR_INVALID_PARAMETER,
     "is more than 10000 ms of audio"),
    ("audio-format", lambda c: c.SendAudioFrame(pcm_frame(0.02, rate=48000)),
     E.ERR_INVALID_PARAMETER, "frame is 48000 Hz 1 ch, the channel 16000 Hz 1 ch"),
    ("get-audio-by-callback", lambda c: c.GetAudioFrame(E.AudioFrame()),
     E.ERR_INVALID_OPERATION, "audio_obtain_method is not AUDIO_OBTAIN_METHOD_GET"),
    ("channel-twice", lambda c: c.CreateLocalAudioChannel(audio_params(rate=16000)),
     E.ERR_INVALID_OPERATION, "the audio channel is already open"),
]


@pytest.mark.parametrize("call, result, reason", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_a_refused_operation_keeps_its_reason_until_the_next_operation(
        scene, call, result, reason):  # noqa: F811
    a = anchor_with_audio(scene)
    assert call(a.cloud) == result
    assert reason in corvel.last_refusal()
    assert a.cloud.SendAudioFrame(pcm_frame(10)) == 0  # exactly 10 s is accepted
    assert corvel.last_refusal() == ""


def test_get_audio_frame_answers_try_again_only_when_pulling_in_a_room(scene):  # noqa: F811
    puller = scene.join("p", method=E.AUDIO_OBTAIN_METHOD_GET)
    assert puller.cloud.GetAudioFrame(E.AudioFrame()) == E.ERR_READ_TRY_AGAIN
    assert "try again" in corvel.last_refusal()
    assert puller.cloud.ExitRoom() == 0
    assert puller.party.wait_event("OnExitRoom")
    assert puller.cloud.GetAudioFrame(E.AudioFrame()) == E.ERR_INVALID_OPERATION
    assert corvel.last_refusal() == "GetAudioFrame refused: not in a room"


def test_the_reason_belongs_to_the_thread_that_called(scene):  # noqa: F811
    a = scene.join("a")
    seen = []

    def other():
        assert a.cloud.ExitRoom() == 0
        seen.append(corvel.last_refusal())

    assert a.cloud.SendCustomCmdMsg(0, b"x", True, True) == 0
    thread = threading.Thread(target=other)
    thread.start()
    thread.join(10)
    assert seen == [""]
    assert corvel.last_refusal().startswith("SendCustomCmdMsg refused: cmd_id 0")


def test_settings_refusals_say_why_and_identical_repeats_do_not_flood_the_log(tmp_path):
    probe.reset_settings()
    try:
        assert E.SetLogPath(str(tmp_path))
        assert not E.SetEnvironment("nowhere")
        assert "is not production, staging, test or loopback" in corvel.last_refusal()
        cloud = E.VORACloud(corvel.Delegate())
        for _ in range(1000):
            assert cloud.SendCustomCmdMsg(42, b"x", True, True) == 0
        del cloud
        probe.flush_log()
        log = (tmp_path / "corvel.log").read_text().splitlines()
    finally:
        probe.reset_settings()
    lines = [line for line in log if "cmd_id 42 outside" in line]
    assert len(lines) == 4, lines  # the first, then after 10, 100 and 1000
    assert all(" WARNING " in line for line in lines)
    assert lines[-1].endswith("(1000 times so far)")


def test_a_log_path_whose_corvel_log_is_a_fifo_is_refused_at_once(tmp_path):
    import os
    os.mkfifo(tmp_path / "corvel.log")
    probe.reset_settings()
    try:
        # Opening a FIFO for writing would wait for a reader, holding the caller.
        assert not E.SetLogPath(str(tmp_path))
        assert "cannot be opened as a regular file" in corvel.last_refusal()
    finally:
        probe.reset_settings()


def test_room_error_carries_the_engine_reason():
    async def body():
        async with aio.Room(corvel.room_params(720001, "alice"), timeout=5.0) as room:
            with pytest.raises(aio.RoomError) as caught:
                room.send_message(11, b"x")
        return caught.value

    error = run(body)
    assert error.reason == "SendCustomCmdMsg refused: cmd_id 11 outside 1..10"
    assert str(error) == f"SendCustomCmdMsg: ERR_FAILED (-1): {error.reason}"
