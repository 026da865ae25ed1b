"""Building room parameters and naming result codes."""

from __future__ import annotations

import _corvel

DEFAULT_SDK_APP_ID = 1400000001


def checked_text(what: str, value: str) -> str:
    """``value`` when the engine can take it as it is, else ValueError.

    The engine receives text as C strings, which end at the first NUL: a user
    id ``"bot\\x00evil"`` would reach it as ``"bot"`` and enter (or
    subscribe to) somebody else.
    """
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\x00" in value:
        raise ValueError(f"{what} {value!r} contains a NUL character")
    return value


def room_params(
    room_id: int | str,
    user_id: str,
    *,
    sdk_app_id: int = DEFAULT_SDK_APP_ID,
    user_sig: str = "signature",
    role: _corvel.VORARole = _corvel.VORA_ROLE_ANCHOR,
    scene: _corvel.VORAScene = _corvel.VORA_SCENE_VIDEO_CALL,
    mixed_audio: bool = False,
    pull_audio: bool = False,
    sample_rate: int = 16000,
    channels: int = 1,
    frame_length_ms: int = 20,
    pixel_frames: bool = False,
) -> _corvel.EnterRoomParams:
    """An ``EnterRoomParams`` filled in one call.

    ``room_id`` is the numeric room id when it is an int and the textual one
    (``str_room_id``) when it is a str. Remote audio arrives per user
    (``OnRemoteAudioReceived``) unless ``mixed_audio`` asks for the mix of all
    remote users instead (``OnRemoteMixedAudioReceived``) or ``pull_audio``
    makes the mix wait for ``GetAudioFrame``. ``sample_rate``,
    ``channels`` and ``frame_length_ms`` describe the remote audio the
    application wants to receive. ``pixel_frames`` sends and receives video as
    raw ``PixelFrame`` pictures rather than encoded ``VideoFrame`` data.

    Text containing a NUL character raises ValueError: the engine would cut
    it there and enter as another user or into another room.
    """
    if isinstance(room_id, str):
        checked_text("room id", room_id)
    checked_text("user id", user_id)
    checked_text("user signature", user_sig)
    params = _corvel.EnterRoomParams()
    room = params.room
    room.sdk_app_id = sdk_app_id
    if isinstance(room_id, str):
        room.str_room_id.SetValue(room_id)
    else:
        room.room_id = room_id
    room.user_id.SetValue(user_id)
    room.user_sig.SetValue(user_sig)
    params.role = role
    params.scene = scene
    audio = params.audio_obtain_params
    audio.audio_obtain_method = (
        _corvel.AUDIO_OBTAIN_METHOD_GET if pull_audio else _corvel.AUDIO_OBTAIN_METHOD_CALLBACK
    )
    audio.enable_remote_audio_mix = mixed_audio
    audio.output_sample_rate = sample_rate
    audio.output_channels = channels
    audio.output_frame_length_ms = frame_length_ms
    audio.output_audio_codec_type = _corvel.AUDIO_CODEC_TYPE_PCM
    params.use_pixel_frame_input = pixel_frames
    params.use_pixel_frame_output = pixel_frames
    return params


def error_name(code: int | _corvel.Error) -> str:
    """``"ERR_INVALID_PARAMETER"`` for -2, and so on; ``"code N"`` when unknown."""
    value = int(code)
    for name, member in _corvel.Error.__members__.items():
        if int(member) == value:
            return name
    return f"code {value}"


def as_error(code: int | _corvel.Error) -> _corvel.Error:
    """The ``Error`` member for a result code (any int converts)."""
    if isinstance(code, _corvel.Error):
        return code
    return _corvel.Error(int(code))
