"""Overrides that the SDK would call with other arguments than they take. scripts/check_types.sh
expects mypy and pyright to flag exactly the lines marked "expect: override", and nothing else.
"""
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
