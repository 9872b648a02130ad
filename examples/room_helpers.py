"""What the examples share: EnterRoomParams for a room of the loopback SDK, and a delegate that
accepts every event and ignores it (a delegate subclass must not leave a callback out)."""
import threading
from typing import Optional

import _ostrel as ostrel

APP_ID = 1400000001


def enter_params(user: str, room: str, *,
                 method: ostrel.AudioObtainMethod = ostrel.AUDIO_OBTAIN_METHOD_CALLBACK,
                 rate: int = 16000, channels: int = 1, frame_ms: int = 20,
                 scene: Optional[ostrel.VONUScene] = None,
                 pixel_in: bool = False, pixel_out: bool = False) -> ostrel.EnterRoomParams:
    """Parameters that enter ``room`` as ``user``, receiving audio as ``rate`` Hz PCM."""
    params = ostrel.EnterRoomParams()
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(room)
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("signature-" + user)
    if scene is not None:
        params.scene = scene
    params.use_pixel_frame_input = pixel_in
    params.use_pixel_frame_output = pixel_out
    obtain = params.audio_obtain_params
    obtain.audio_obtain_method = method
    obtain.output_sample_rate = rate
    obtain.output_channels = channels
    obtain.output_frame_length_ms = frame_ms
    params.audio_obtain_params = obtain
    return params


class QuietDelegate(ostrel.VONUCloudDelegate):
    """Ignores every event; ``entered`` is set once the room is entered. Subclasses override
    what they want to see."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()


def _ignore(self: QuietDelegate, *args: object) -> None:
    pass


for _name in [n for n in vars(ostrel.VONUCloudDelegate) if n.startswith("On") and n != "OnEnterRoom"]:
    setattr(QuietDelegate, _name, _ignore)
