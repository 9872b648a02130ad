"""A room for one test: its id, the EnterRoomParams that enter it, and the scripted
participants made in it, which the room closes at the end of the test."""

from typing import Any, List, Optional

import ostrel

from .participant import Participant

# The app id every test room lives under; the loopback SDK accepts any non-zero one.
APP_ID = 1400000001


def _set_given(record: Any, **fields: Any) -> None:
    """Sets each of ``fields`` on ``record`` that has a value; None keeps the SDK's default."""
    for name, value in fields.items():
        if value is not None:
            setattr(record, name, value)


class Room:
    """A room, named by ``id`` under ``APP_ID``. ``params`` gives what a bot enters it with;
    ``participant`` enters a scripted member."""

    def __init__(self, room_id: str) -> None:
        __tracebackhide__ = True
        if not room_id or "\0" in room_id:
            # The SDK refuses an empty id (ERR_INVALID_ROOM_ID, with no numeric id either) and
            # reads one only up to its first NUL, which would put the members in another room.
            raise ValueError("a room id must be a non-empty text without NUL characters, not %r" % (room_id,))
        # The room's text id (str_room_id).
        self.id = room_id
        # Participants made here, closed by close().
        self._participants: List[Participant] = []

    def params(
        self,
        user_id: str,
        *,
        sample_rate: Optional[int] = None,
        channels: Optional[int] = None,
        frame_ms: Optional[int] = None,
        obtain: Optional[ostrel.AudioObtainMethod] = None,
        mix: Optional[bool] = None,
        codec: Optional[ostrel.AudioCodecType] = None,
        pixel_in: bool = False,
        pixel_out: bool = False,
        role: Optional[ostrel.VONURole] = None,
        scene: Optional[ostrel.VONUScene] = None,
    ) -> ostrel.EnterRoomParams:
        """EnterRoomParams that enter this room as ``user_id``. The audio options set the
        member's AudioObtainParams (output sample rate, channels, frame length in ms, obtain
        method, remote audio mix, output codec); ``pixel_in`` and ``pixel_out`` choose raw
        pixel frames over encoded video for sending and receiving. An option left as None keeps
        the SDK's default."""
        params = ostrel.EnterRoomParams()
        params.room.sdk_app_id = APP_ID
        params.room.str_room_id.SetValue(self.id)
        params.room.user_id.SetValue(user_id)
        params.room.user_sig.SetValue("sig-" + user_id)
        params.use_pixel_frame_input = pixel_in
        params.use_pixel_frame_output = pixel_out
        _set_given(params, role=role, scene=scene)
        _set_given(
            params.audio_obtain_params,  # a view: changes go into params
            output_sample_rate=sample_rate,
            output_channels=channels,
            output_frame_length_ms=frame_ms,
            audio_obtain_method=obtain,
            enable_remote_audio_mix=mix,
            output_audio_codec_type=codec,
        )
        return params

    def participant(self, user_id: str, *, timeout: float = 5.0, **options: Any) -> Participant:
        """Enters a scripted participant as ``user_id`` (``options`` as for ``params``) and
        returns once its OnEnterRoom has arrived."""
        __tracebackhide__ = True
        participant = Participant(self.params(user_id, **options), timeout=timeout)
        self._participants.append(participant)
        return participant

    def close(self) -> None:
        """Closes every participant made here."""
        for participant in self._participants:
            participant.close()
        self._participants.clear()

    def __repr__(self) -> str:
        return "<Room %r>" % self.id
