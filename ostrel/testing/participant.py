"""A scripted member of a room: a cloud whose delegate, the participant itself, records every
event it receives (``EventRecorder``), and which sends test signals on the test's request.

Sending and leaving run on the caller's thread; the participant's cloud refers back to it, a
cycle that ``close`` breaks (the room closes its participants at the end of the test). An SDK
operation that fails raises ``ostrel.aio.SdkError`` naming the operation and the participant.
"""

from typing import List, Optional, Tuple

import ostrel
from ostrel.aio import SdkError

from .recorder import EventRecorder
from .signals import pattern_i420, tone_pcm

# Length of the audio frames the participant sends, and the pts step of its video frames.
AUDIO_FRAME_MS = 20
VIDEO_FRAME_MS = 66


class Participant(EventRecorder):
    """A member of a room driven by the test: it records what it receives and sends test
    signals. Made by ``Room.participant``, which returns once it is in the room."""

    def __init__(self, params: ostrel.EnterRoomParams, *, timeout: float = 5.0) -> None:
        __tracebackhide__ = True
        user_id = params.room.user_id.GetValue() or ""
        super().__init__(user_id)
        # The user id it entered with.
        self.user_id = user_id
        # The cloud, whose delegate is the participant; None once closed.
        self._cloud: Optional[ostrel.VONUCloud] = ostrel.VONUCloud(self)
        # Whether it entered to send pixel frames (send_pattern needs it).
        self._pixel_input = params.use_pixel_frame_input
        # (sample rate, channels) of its local audio channel, None while it has none.
        self._audio_format: Optional[Tuple[int, int]] = None
        # Index of the next tone sample at that rate, so a tone continues across calls.
        self._tone_sample = 0
        # pts of the next audio frame, in milliseconds.
        self._audio_pts = 0
        # Index of the next test pattern frame.
        self._pattern_index = 0
        # Whether it made its local video channel.
        self._video_channel = False
        try:
            self._check("EnterRoom", self.cloud.EnterRoom(params))
            self.wait_for("OnEnterRoom", timeout=timeout)
        except BaseException:
            self.close()
            raise

    @property
    def cloud(self) -> ostrel.VONUCloud:
        """The participant's cloud, for anything the helpers here do not cover."""
        if self._cloud is None:
            raise RuntimeError("participant %r is closed" % self.user_id)
        return self._cloud

    def send_tone(self, freq: float, ms: int, sample_rate: int = 48000, *, paced: bool = False) -> bytes:
        """Sends ``ms`` milliseconds (rounded up to whole 20 ms frames) of a ``freq`` Hz mono
        tone at ``sample_rate``, continuing the previous tone at that rate, and returns the PCM
        sent. A local audio channel at that rate is made first when needed. Frames go out at
        once (``SendAudioFrame``), or paced by the SDK clock when ``paced``
        (``SendContinuousAudioFrame``: the first at once, the rest one frame length apart)."""
        __tracebackhide__ = True
        if ms <= 0:
            raise ValueError("ms must be positive")
        self._audio_channel(sample_rate)
        samples = sample_rate * AUDIO_FRAME_MS // 1000
        sent: List[bytes] = []
        for _ in range(-(-ms // AUDIO_FRAME_MS)):
            pcm = tone_pcm(freq, sample_rate, self._tone_sample, samples)
            frame = ostrel.AudioFrame()
            frame.sample_rate, frame.channels, frame.bits_per_sample = sample_rate, 1, 16
            frame.codec = ostrel.AUDIO_CODEC_TYPE_PCM
            frame.pts = self._audio_pts & 0xFFFFFFFF
            frame.SetData(pcm)
            if paced:
                self._check("SendContinuousAudioFrame", self.cloud.SendContinuousAudioFrame(frame, False))
            else:
                self._check("SendAudioFrame", self.cloud.SendAudioFrame(frame))
            self._tone_sample += samples
            self._audio_pts += AUDIO_FRAME_MS
            sent.append(pcm)
        return b"".join(sent)

    def send_audio(self, pcm: bytes, sample_rate: int = 48000, channels: int = 1) -> None:
        """Sends 16-bit PCM (``channels`` interleaved) at ``sample_rate`` in 20 ms frames paced
        by the SDK clock (``SendContinuousAudioFrame``: the first at once, one frame length
        apart after it; the last frame padded with silence) and returns at once. A local audio
        channel of that format is made first when needed. On a frozen clock, or under
        ``Loopback.run``, the frames go out as the clock moves."""
        __tracebackhide__ = True
        frame_bytes = sample_rate * AUDIO_FRAME_MS // 1000 * channels * 2
        if not pcm or len(pcm) % (2 * channels):
            raise ValueError("pcm must be whole 16-bit samples of %d channel(s), and not empty" % channels)
        self._audio_channel(sample_rate, channels)
        for start in range(0, len(pcm), frame_bytes):
            chunk = pcm[start : start + frame_bytes]
            frame = ostrel.AudioFrame()
            frame.sample_rate, frame.channels, frame.bits_per_sample = sample_rate, channels, 16
            frame.codec = ostrel.AUDIO_CODEC_TYPE_PCM
            frame.pts = self._audio_pts & 0xFFFFFFFF
            frame.SetData(chunk + bytes(frame_bytes - len(chunk)))
            self._check("SendContinuousAudioFrame", self.cloud.SendContinuousAudioFrame(frame, False))
            self._audio_pts += AUDIO_FRAME_MS

    def heard(self, user_id: Optional[str] = None) -> bytes:
        """The 16-bit PCM the participant received, in its output format, in arrival order: from
        ``user_id``, or with None all of it (a mixing participant's mix, or every sender's frames
        one after another). What ``audio()`` returns, under the name tests read best."""
        return self.audio(user_id)

    def _audio_channel(self, sample_rate: int, channels: int = 1) -> None:
        __tracebackhide__ = True
        if self._audio_format == (sample_rate, channels):
            return
        if self._audio_format is not None:
            self._check("DestroyLocalAudioChannel", self.cloud.DestroyLocalAudioChannel())
        params = ostrel.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = sample_rate, channels, AUDIO_FRAME_MS
        self._check("CreateLocalAudioChannel", self.cloud.CreateLocalAudioChannel(params))
        self._audio_format, self._tone_sample = (sample_rate, channels), 0

    def send_pattern(self, frames: int, width: int = 320, height: int = 240) -> None:
        """Sends ``frames`` frames of a moving I420 test pattern on the HIGH video stream,
        continuing the previous pattern. The participant must have entered with
        ``pixel_in=True``; its local video channel is made on the first call."""
        __tracebackhide__ = True
        if not self._pixel_input:
            raise ValueError("participant %r sends encoded video: enter it with pixel_in=True" % self.user_id)
        if not self._video_channel:
            self._check("CreateLocalVideoChannel", self.cloud.CreateLocalVideoChannel(ostrel.STREAM_TYPE_VIDEO_HIGH))
            self._video_channel = True
        for _ in range(frames):
            frame = ostrel.PixelFrame()
            frame.width, frame.height = width, height
            frame.format = ostrel.VIDEO_PIXEL_FORMAT_YUV420p
            frame.pts = (self._pattern_index * VIDEO_FRAME_MS) & 0xFFFFFFFF
            frame.SetData(pattern_i420(self._pattern_index, width, height))
            self._check("SendPixelFrame", self.cloud.SendPixelFrame(ostrel.STREAM_TYPE_VIDEO_HIGH, frame))
            self._pattern_index += 1

    def leave(self, timeout: float = 5.0) -> None:
        """Leaves the room and returns once OnExitRoom has arrived. The cloud stays usable
        (it may enter again); its local channels end with the stay."""
        __tracebackhide__ = True
        start = self.count()
        self._check("ExitRoom", self.cloud.ExitRoom())
        self._audio_format, self._video_channel = None, False
        self.wait_for("OnExitRoom", timeout=timeout, since=start)

    def _check(self, operation: str, result: int) -> None:
        """Raises SdkError for an SDK operation that returned ``result``, naming the participant,
        with a hint when it has left its room (the usual cause of ERR_INVALID_OPERATION)."""
        __tracebackhide__ = True
        if result == 0:
            return
        error = SdkError(result, "%s for participant %r" % (operation, self.user_id))
        if self._has_left():
            error.args = (
                "%s; participant %r has left its room: enter it again first "
                "(participant.cloud.EnterRoom)" % (error, self.user_id),
            )
        raise error

    def _has_left(self) -> bool:
        """Whether the newer of its last OnEnterRoom and OnExitRoom is OnExitRoom."""
        for name, _ in reversed(self.events):
            if name in ("OnEnterRoom", "OnExitRoom"):
                return name == "OnExitRoom"
        return False

    def close(self) -> None:
        """Drops the cloud: the SDK instance is destroyed (leaving its room) unless the test
        still holds a reference to it. The participant's record stays readable."""
        self._cloud = None

    def __repr__(self) -> str:
        return "<Participant %r%s>" % (self.user_id, "" if self._cloud is not None else " closed")
