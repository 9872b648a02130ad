"""What the examples share: EnterRoomParams for a room of the loopback SDK, frames of the test
signals the package's testing tools generate, and writing received audio to a WAV file. Their
delegates start from ``QuietDelegate`` (``ostrel.testing``), which accepts every event and
ignores it (a delegate subclass must not leave a callback out)."""

import time
import wave
from typing import List, Optional

import ostrel
from ostrel.testing import QuietDelegate

__all__ = [
    "APP_ID",
    "QuietDelegate",
    "Schedule",
    "TestMedia",
    "enter_params",
    "now_ms",
    "pattern_frame",
    "tone_frame",
    "write_wav",
]
from ostrel.testing.signals import pattern_i420, tone_pcm

APP_ID = 1400000001


def enter_params(
    user: str,
    room: str,
    *,
    method: ostrel.AudioObtainMethod = ostrel.AUDIO_OBTAIN_METHOD_CALLBACK,
    rate: int = 16000,
    channels: int = 1,
    frame_ms: int = 20,
    scene: Optional[ostrel.VONUScene] = None,
    pixel_in: bool = False,
    pixel_out: bool = False,
) -> ostrel.EnterRoomParams:
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


def now_ms() -> int:
    """A millisecond clock for frame timestamps (32 bits, wrapping)."""
    return int(time.monotonic() * 1000) & 0xFFFFFFFF


class Schedule:
    """Moments ``period`` seconds apart from ``start``, for a loop that sends at a steady pace:
    ``due(now)`` is true once for each moment ``now`` has reached, ``ticks`` counts them."""

    def __init__(self, period: float, start: float) -> None:
        self.period, self.next, self.ticks = period, start, 0

    def due(self, now: float) -> bool:
        if now < self.next:
            return False
        self.next += self.period
        self.ticks += 1
        return True


def tone_frame(index: int, rate: int, samples: int) -> ostrel.AudioFrame:
    """Frame `index` of a 440 Hz mono tone: `samples` 16-bit samples at `rate`."""
    frame = ostrel.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = rate, 1, 16
    frame.codec = ostrel.AUDIO_CODEC_TYPE_PCM
    frame.pts = now_ms()
    frame.SetData(tone_pcm(440, rate, index * samples, samples))
    return frame


def pattern_frame(index: int, width: int, height: int) -> ostrel.PixelFrame:
    """Frame `index` of a moving diagonal test pattern in I420."""
    frame = ostrel.PixelFrame()
    frame.width, frame.height = width, height
    frame.format = ostrel.VIDEO_PIXEL_FORMAT_YUV420p
    frame.pts = now_ms()
    frame.SetData(pattern_i420(index, width, height))
    return frame


class TestMedia:
    """The test tone and pattern, sent by ``cloud`` at their pace from ``start``: ``send_due(now)``
    sends every frame due by ``now``; ``next_due`` is when the next one is."""

    def __init__(
        self, cloud: ostrel.VONUCloud, start: float, *, rate: int, frame_ms: int, width: int, height: int, fps: int
    ) -> None:
        self.cloud, self.rate, self.samples = cloud, rate, rate * frame_ms // 1000
        self.width, self.height = width, height
        self.audio, self.video = Schedule(frame_ms / 1000, start), Schedule(1 / fps, start)

    @property
    def next_due(self) -> float:
        return min(self.audio.next, self.video.next)

    def send_due(self, now: float) -> None:
        while self.audio.due(now):
            self.cloud.SendAudioFrame(tone_frame(self.audio.ticks - 1, self.rate, self.samples))
        while self.video.due(now):
            frame = pattern_frame(self.video.ticks - 1, self.width, self.height)
            self.cloud.SendPixelFrame(ostrel.STREAM_TYPE_VIDEO_HIGH, frame)


def write_wav(path: str, chunks: List[bytes], rate: int, channels: int = 1) -> None:
    """Writes 16-bit PCM chunks as one WAV file."""
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(b"".join(chunks))
