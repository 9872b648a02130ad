"""Code that the module would refuse at run time: overrides that the SDK would call with other
arguments than they take, and floats where the module takes only integers. scripts/check_types.sh
expects mypy and pyright to flag exactly the lines marked "expect:", and nothing else.
"""
import operator
from typing import List, Optional

import _ostrel as o


class WrongBot(o.VONUCloudDelegate):
    # The registered method's parameters: the SDK passes the message as bytes, without a length.
    def OnSeiMessageReceived(self, user_id: Optional[str], stream_type: o.StreamType, message_type: int, message: str, length: int) -> None:  # expect: override
        pass

    def OnNetworkQuality(self, local_quality: o.NetworkQualityInfo) -> None:  # expect: override
        pass

    def OnEnterRoom(self, room: int) -> None:  # expect: override
        pass

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:  # expect: override
        pass


class RightBot(o.VONUCloudDelegate):
    # Any parameter names fit, since the SDK passes the arguments by position.
    def OnReceiveCustomCmdMsg(self, uid: Optional[str], cmd: int, seq: int, body: bytes) -> None:
        pass

    def OnNetworkQuality(self, local: o.NetworkQualityInfo, remote: List[o.NetworkQualityInfo]) -> None:
        pass


def floats_refused(cloud: o.VONUCloud, params: o.EnterRoomParams, frame: o.AudioFrame) -> None:
    # Each raises TypeError at run time: an integer parameter or field never takes a float.
    o.SetLogLevel(1.5)  # expect: float argument
    o.SetSocks5Proxy("127.0.0.1", 1080.0, "user", "password")  # expect: float argument
    cloud.SendCustomCmdMsg(1.0, b"x", True, True)  # expect: float argument
    params.room.room_id = 7.0  # expect: float field
    frame.sample_rate = 48000.0  # expect: float field
    o.StreamType(1.0)  # expect: float argument


def integers_taken(cloud: o.VONUCloud, params: o.EnterRoomParams, frame: o.AudioFrame) -> None:
    # Whatever has __index__ is an integer to the module: int, bool and integer types of other
    # libraries alike.
    o.SetLogLevel(True)
    o.SetSocks5Proxy("127.0.0.1", operator.index(1080), "user", "password")
    cloud.SendCustomCmdMsg(-1, b"x", True, True)
    params.room.room_id = 7
    frame.sample_rate = 48000
