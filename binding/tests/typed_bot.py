"""A bot written against the type stubs: it overrides every callback with the types the stubs
give it and records what it receives.

scripts/check_types.sh runs mypy --strict over it, so its overrides fit the stubs;
test_stubs.py runs it on the loopback SDK, so the stubs fit what the module really passes.
"""
import threading
from typing import List, Optional, Sequence, Tuple

import _ostrel as o
import ostrel_loopback

Event = Tuple[str, Tuple[object, ...]]


class TypedBot(o.VONUCloudDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.entered = threading.Event()
        self.events: List[Event] = []

    def _note(self, name: str, *args: object) -> None:
        with self.lock:
            self.events.append((name, args))

    def OnError(self, error: o.Error) -> None:
        self._note("OnError", error)

    def OnConnectionStateChanged(self, old_state: o.ConnectionState, new_state: o.ConnectionState) -> None:
        self._note("OnConnectionStateChanged", old_state, new_state)

    def OnEnterRoom(self) -> None:
        self._note("OnEnterRoom")
        self.entered.set()

    def OnExitRoom(self) -> None:
        self._note("OnExitRoom")

    def OnLocalAudioChannelCreated(self) -> None:
        self._note("OnLocalAudioChannelCreated")

    def OnLocalAudioChannelDestroyed(self) -> None:
        self._note("OnLocalAudioChannelDestroyed")

    def OnLocalVideoChannelCreated(self, stream_type: o.StreamType) -> None:
        self._note("OnLocalVideoChannelCreated", stream_type)

    def OnLocalVideoChannelDestroyed(self, stream_type: o.StreamType) -> None:
        self._note("OnLocalVideoChannelDestroyed", stream_type)

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: o.StreamType, bitrate_bps: int) -> None:
        self._note("OnRequestChangeVideoEncodeBitrate", stream_type, bitrate_bps)

    def OnRequestKeyFrame(self, stream_type: o.StreamType) -> None:
        self._note("OnRequestKeyFrame", stream_type)

    def OnRemoteUserEnterRoom(self, info: o.UserInfo) -> None:
        self._note("OnRemoteUserEnterRoom", info)

    def OnRemoteUserExitRoom(self, info: o.UserInfo, reason: int) -> None:
        self._note("OnRemoteUserExitRoom", info, reason)

    def OnRemoteAudioAvailable(self, user_id: Optional[str], available: bool) -> None:
        self._note("OnRemoteAudioAvailable", user_id, available)

    def OnRemoteVideoAvailable(self, user_id: Optional[str], available: bool, stream_type: o.StreamType) -> None:
        self._note("OnRemoteVideoAvailable", user_id, available, stream_type)

    def OnRemoteVideoFrameReceived(self, user_id: Optional[str], stream_type: o.StreamType,
                                   frame: o.VideoFrame) -> None:
        self._note("OnRemoteVideoFrameReceived", user_id, stream_type, frame)

    def OnRemotePixelFrameReceived(self, user_id: Optional[str], stream_type: o.StreamType,
                                   frame: o.PixelFrame) -> None:
        self._note("OnRemotePixelFrameReceived", user_id, stream_type, frame)

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: o.AudioFrame) -> None:
        self._note("OnRemoteAudioReceived", user_id, frame)

    def OnRemoteMixedAudioReceived(self, frame: o.AudioFrame) -> None:
        self._note("OnRemoteMixedAudioReceived", frame)

    def OnSeiMessageReceived(self, user_id: Optional[str], stream_type: o.StreamType, message_type: int,
                             message: bytes) -> None:
        self._note("OnSeiMessageReceived", user_id, stream_type, message_type, message)

    def OnReceiveCustomCmdMsg(self, user_id: Optional[str], cmd_id: int, seq: int, message: bytes) -> None:
        self._note("OnReceiveCustomCmdMsg", user_id, cmd_id, seq, message)

    def OnMissCustomCmdMsg(self, user_id: Optional[str], cmd_id: int, error_code: int, missed: int) -> None:
        self._note("OnMissCustomCmdMsg", user_id, cmd_id, error_code, missed)

    def OnNetworkQuality(self, local_quality: o.NetworkQualityInfo,
                         remote_qualities: List[o.NetworkQualityInfo]) -> None:
        self._note("OnNetworkQuality", local_quality, remote_qualities)


def deliver(user: str, injected: Sequence[Tuple[str, Tuple[object, ...]]]) -> List[Event]:
    """Enters a loopback room as `user`, injects each (event, raw arguments) into the bot and
    returns every event the bot received meanwhile, oldest first."""
    bot = TypedBot()
    cloud = o.VONUCloud(bot)
    params = o.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.str_room_id.SetValue("typed")
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("sig")
    assert cloud.EnterRoom(params) == o.ERR_OK
    assert bot.entered.wait(10.0) and ostrel_loopback.wait_idle(10.0)
    for event, args in injected:
        assert ostrel_loopback.inject(user, event, *args) == 1
    assert ostrel_loopback.wait_idle(10.0)
    with bot.lock:
        received = list(bot.events)
    cloud.ExitRoom()
    ostrel_loopback.wait_idle(10.0)
    return received
