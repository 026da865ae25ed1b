"""A delegate base whose every callback does nothing."""

from __future__ import annotations

import _corvel


class Delegate(_corvel.VORACloudDelegate):
    """A ``VORACloudDelegate`` whose every callback is a no-op.

    The engine calls most callbacks whether or not an application cares about
    them (audio arrives for every user in the room, for example), and a
    ``VORACloudDelegate`` subclass that lacks one of them gets an error for
    each call. Subclass this one instead and define only the callbacks you
    need; the others quietly do nothing::

        class Bot(corvel.Delegate):
            def OnEnterRoom(self) -> None:
                print("in the room")

    A subclass that defines ``__init__`` must call ``super().__init__()``.
    """

    def OnError(self, error: _corvel.Error, /) -> None:
        """The engine reports an error (an ``Error`` code)."""

    def OnConnectionStateChanged(
        self, old_state: _corvel.ConnectionState, new_state: _corvel.ConnectionState, /
    ) -> None:
        """The connection to the room moved from ``old_state`` to ``new_state``."""

    def OnEnterRoom(self) -> None:
        """``EnterRoom`` succeeded: this instance is in the room."""

    def OnExitRoom(self) -> None:
        """This instance left the room (asked for, replaced or removed)."""

    def OnLocalAudioChannelCreated(self) -> None:
        """``CreateLocalAudioChannel`` opened the audio channel."""

    def OnLocalAudioChannelDestroyed(self) -> None:
        """The local audio channel closed."""

    def OnLocalVideoChannelCreated(self, stream_type: _corvel.StreamType, /) -> None:
        """A local video channel of ``stream_type`` opened."""

    def OnLocalVideoChannelDestroyed(self, stream_type: _corvel.StreamType, /) -> None:
        """The local video channel of ``stream_type`` closed."""

    def OnRequestChangeVideoEncodeBitrate(
        self, stream_type: _corvel.StreamType, bitrate_bps: int, /
    ) -> None:
        """The room asks for another video bitrate on ``stream_type``."""

    def OnRequestKeyFrame(self, stream_type: _corvel.StreamType, /) -> None:
        """The room asks for a key frame on ``stream_type``."""

    def OnRemoteUserEnterRoom(self, info: _corvel.UserInfo, /) -> None:
        """A remote user is in the room."""

    def OnRemoteUserExitRoom(self, info: _corvel.UserInfo, reason: int, /) -> None:
        """A remote user left (``reason``: 0 left, 2 removed, 3 replaced)."""

    def OnRemoteAudioAvailable(self, user_id: str, available: bool, /) -> None:
        """A remote user's audio channel opened or closed."""

    def OnRemoteVideoAvailable(
        self, user_id: str, available: bool, stream_type: _corvel.StreamType, /
    ) -> None:
        """A remote user's video channel of ``stream_type`` opened or closed."""

    def OnRemoteVideoFrameReceived(
        self, user_id: str, stream_type: _corvel.StreamType, frame: _corvel.VideoFrame, /
    ) -> None:
        """An encoded video frame from a remote user."""

    def OnRemotePixelFrameReceived(
        self, user_id: str, stream_type: _corvel.StreamType, frame: _corvel.PixelFrame, /
    ) -> None:
        """A raw picture from a remote user (``use_pixel_frame_output``)."""

    def OnRemoteAudioReceived(self, user_id: str, frame: _corvel.AudioFrame, /) -> None:
        """One audio frame from one remote user (audio by callback, unmixed)."""

    def OnRemoteMixedAudioReceived(self, frame: _corvel.AudioFrame, /) -> None:
        """One frame of every remote user's audio mixed (audio by callback, mixed)."""

    def OnSeiMessageReceived(
        self,
        user_id: str,
        stream_type: _corvel.StreamType,
        message_type: int,
        message: bytes,
        /,
    ) -> None:
        """An SEI message that rode in a remote user's video."""

    def OnReceiveCustomCmdMsg(
        self, user_id: str, cmd_id: int, seq: int, message: bytes, /
    ) -> None:
        """A custom command message from a remote user."""

    def OnMissCustomCmdMsg(
        self, user_id: str, cmd_id: int, error_code: int, missed: int, /
    ) -> None:
        """``missed`` messages of a remote user did not arrive (a gap in ``seq``)."""

    def OnNetworkQuality(
        self,
        local_quality: _corvel.NetworkQualityInfo,
        remote_qualities: list[_corvel.NetworkQualityInfo],
        /,
    ) -> None:
        """The quality of this instance's link and of the remote users' links."""
