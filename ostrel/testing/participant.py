"""A scripted member of a room: a cloud whose delegate records every event it receives.

The delegate runs on the SDK's event thread and only appends to a log under a condition
variable, so it never blocks the SDK for long and never raises. Everything else (waiting for an
event, sending test signals, leaving) runs on the caller's thread. Waiting is a condition wait
with a timeout; the asyncio form runs the same wait on an executor thread, so an SDK thread
never has to reach an event loop.
"""
import asyncio
import collections
import functools
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

import ostrel

from .signals import pattern_i420, tone_pcm

# One received event: the callback's name and the arguments it was called with.
Event = Tuple[str, Tuple[Any, ...]]
# A test on an event's arguments, called with them unpacked.
Predicate = Callable[..., bool]

# Every callback a delegate subclass may override, in the class's order.
EVENT_NAMES: Tuple[str, ...] = tuple(n for n in vars(ostrel.VONUCloudDelegate) if n.startswith("On"))

# Length of the audio frames the participant sends, and the pts step of its video frames.
AUDIO_FRAME_MS = 20
VIDEO_FRAME_MS = 66


class _Recorder(ostrel.VONUCloudDelegate):
    """A delegate that records every event as (name, args), in arrival order, and keeps the
    PCM of every audio frame it receives."""

    def __init__(self) -> None:
        super().__init__()
        # Guards everything below; notified on every event.
        self.changed = threading.Condition()
        # The events received so far, oldest first.
        self.events: List[Event] = []
        # PCM payloads received, oldest first, with the sender (None for a mix).
        self.pcm: List[Tuple[Optional[str], bytes]] = []

    def record(self, name: str, args: Tuple[Any, ...], pcm: Optional[Tuple[Optional[str], bytes]] = None) -> None:
        with self.changed:
            self.events.append((name, args))
            if pcm is not None:
                self.pcm.append(pcm)
            self.changed.notify_all()

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: ostrel.AudioFrame) -> None:
        self.record("OnRemoteAudioReceived", (user_id, frame), _pcm_of(user_id, frame))

    def OnRemoteMixedAudioReceived(self, frame: ostrel.AudioFrame) -> None:
        self.record("OnRemoteMixedAudioReceived", (frame,), _pcm_of(None, frame))


def _pcm_of(user_id: Optional[str], frame: ostrel.AudioFrame) -> Optional[Tuple[Optional[str], bytes]]:
    if frame.codec != ostrel.AUDIO_CODEC_TYPE_PCM:
        return None
    return user_id, frame.data


def _recording_method(name: str) -> Callable[..., None]:
    def method(self: _Recorder, *args: Any) -> None:
        self.record(name, args)

    method.__name__ = name
    return method


for _name in EVENT_NAMES:
    if _name not in vars(_Recorder):
        setattr(_Recorder, _name, _recording_method(_name))


def _check(operation: str, result: int) -> None:
    if result != 0:
        raise RuntimeError("%s returned %d" % (operation, result))


class Participant:
    """A member of a room driven by the test: it records what it receives and sends test
    signals. Made by ``Room.participant``, which returns once it is in the room."""

    def __init__(self, params: ostrel.EnterRoomParams, *, timeout: float = 5.0) -> None:
        # The user id it entered with.
        self.user_id: str = params.room.user_id.GetValue() or ""
        # The delegate that records the events.
        self._recorder = _Recorder()
        # The cloud; None once closed.
        self._cloud: Optional[ostrel.VONUCloud] = ostrel.VONUCloud(self._recorder)
        # Whether it entered to send pixel frames (send_pattern needs it).
        self._pixel_input = params.use_pixel_frame_input
        # Sample rate of its local audio channel, None while it has none.
        self._audio_rate: Optional[int] = None
        # Index of the next tone sample at that rate, so a tone continues across calls.
        self._tone_sample = 0
        # pts of the next audio frame, in milliseconds.
        self._audio_pts = 0
        # Index of the next test pattern frame; a local video channel exists once it is > 0.
        self._pattern_index = 0
        try:
            _check("EnterRoom for %r" % self.user_id, self.cloud.EnterRoom(params))
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

    @property
    def events(self) -> List[Event]:
        """A copy of the events received so far, oldest first, as (name, args)."""
        with self._recorder.changed:
            return list(self._recorder.events)

    def of(self, name: str) -> List[Tuple[Any, ...]]:
        """The arguments of every event of that name received so far, oldest first."""
        with self._recorder.changed:
            return [args for n, args in self._recorder.events if n == name]

    def clear(self) -> None:
        """Forgets the events and audio received so far."""
        with self._recorder.changed:
            self._recorder.events.clear()
            self._recorder.pcm.clear()

    def wait_for(self, name: str, predicate: Optional[Predicate] = None, timeout: float = 5.0) -> Tuple[Any, ...]:
        """The arguments of the first event of that name received (now or already) for which
        ``predicate(*args)`` is true. Raises TimeoutError after ``timeout`` seconds."""
        return self._wait(name, predicate, timeout, 0, threading.Event())

    async def wait_for_async(self, name: str, predicate: Optional[Predicate] = None,
                             timeout: float = 5.0) -> Tuple[Any, ...]:
        """``wait_for`` for coroutines: the event loop keeps running while it waits. The
        predicate runs on a worker thread."""
        cancelled = threading.Event()
        wait = functools.partial(self._wait, name, predicate, timeout, 0, cancelled)
        try:
            return await asyncio.get_running_loop().run_in_executor(None, wait)
        finally:
            cancelled.set()
            with self._recorder.changed:
                self._recorder.changed.notify_all()

    def _wait(self, name: str, predicate: Optional[Predicate], timeout: float, start: int,
              cancelled: threading.Event) -> Tuple[Any, ...]:
        if name not in EVENT_NAMES:
            raise ValueError("%r is not a delegate callback" % (name,))
        recorder = self._recorder
        found: List[Tuple[Any, ...]] = []
        checked = start

        def ready() -> bool:
            nonlocal checked
            events = recorder.events
            checked = min(checked, len(events))  # the log was cleared meanwhile
            for event_name, args in events[checked:]:
                checked += 1
                if event_name == name and (predicate is None or predicate(*args)):
                    found.append(args)
                    return True
            return cancelled.is_set()

        with recorder.changed:
            recorder.changed.wait_for(ready, timeout)
            if found:
                return found[0]
            if cancelled.is_set():
                raise asyncio.CancelledError()
            seen = collections.Counter(n for n, _ in recorder.events)
        raise TimeoutError("%r received no %s%s within %g s; it received: %s" % (
            self.user_id, name, " matching the predicate" if predicate is not None else "", timeout,
            ", ".join("%s x%d" % item for item in seen.items()) or "nothing"))

    def audio(self, from_user: Optional[str] = None) -> bytes:
        """The 16-bit PCM received so far: from that sender, or every PCM frame in arrival order
        when None (a mixing receiver's mix). Opus frames are not included."""
        with self._recorder.changed:
            return b"".join(pcm for user, pcm in self._recorder.pcm if from_user is None or user == from_user)

    def send_tone(self, freq: float, ms: int, sample_rate: int = 48000, *, paced: bool = False) -> bytes:
        """Sends ``ms`` milliseconds (rounded up to whole 20 ms frames) of a ``freq`` Hz mono
        tone at ``sample_rate``, continuing the previous tone at that rate, and returns the PCM
        sent. A local audio channel at that rate is made first when needed. Frames go out at
        once (``SendAudioFrame``), or paced by the SDK clock when ``paced``
        (``SendContinuousAudioFrame``: the first at once, the rest one frame length apart)."""
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
                _check("SendContinuousAudioFrame", self.cloud.SendContinuousAudioFrame(frame, False))
            else:
                _check("SendAudioFrame", self.cloud.SendAudioFrame(frame))
            self._tone_sample += samples
            self._audio_pts += AUDIO_FRAME_MS
            sent.append(pcm)
        return b"".join(sent)

    def _audio_channel(self, sample_rate: int) -> None:
        if self._audio_rate == sample_rate:
            return
        if self._audio_rate is not None:
            _check("DestroyLocalAudioChannel", self.cloud.DestroyLocalAudioChannel())
        params = ostrel.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = sample_rate, 1, AUDIO_FRAME_MS
        _check("CreateLocalAudioChannel", self.cloud.CreateLocalAudioChannel(params))
        self._audio_rate, self._tone_sample = sample_rate, 0

    def send_pattern(self, frames: int, width: int = 320, height: int = 240) -> None:
        """Sends ``frames`` frames of a moving I420 test pattern on the HIGH video stream,
        continuing the previous pattern. The participant must have entered with
        ``pixel_in=True``; its local video channel is made on the first call."""
        if not self._pixel_input:
            raise ValueError("participant %r sends encoded video: enter it with pixel_in=True" % self.user_id)
        if self._pattern_index == 0:
            _check("CreateLocalVideoChannel", self.cloud.CreateLocalVideoChannel(ostrel.STREAM_TYPE_VIDEO_HIGH))
        for _ in range(frames):
            frame = ostrel.PixelFrame()
            frame.width, frame.height = width, height
            frame.format = ostrel.VIDEO_PIXEL_FORMAT_YUV420p
            frame.pts = (self._pattern_index * VIDEO_FRAME_MS) & 0xFFFFFFFF
            frame.SetData(pattern_i420(self._pattern_index, width, height))
            _check("SendPixelFrame", self.cloud.SendPixelFrame(ostrel.STREAM_TYPE_VIDEO_HIGH, frame))
            self._pattern_index += 1

    def leave(self, timeout: float = 5.0) -> None:
        """Leaves the room and returns once OnExitRoom has arrived. The cloud stays usable
        (it may enter again)."""
        with self._recorder.changed:
            start = len(self._recorder.events)
        _check("ExitRoom for %r" % self.user_id, self.cloud.ExitRoom())
        self._wait("OnExitRoom", None, timeout, start, threading.Event())

    def close(self) -> None:
        """Drops the cloud: the SDK instance is destroyed (leaving its room) unless the test
        still holds a reference to it."""
        self._cloud = None

    def __repr__(self) -> str:
        return "<Participant %r%s>" % (self.user_id, "" if self._cloud is not None else " closed")
