"""``AudioSender``: 16-bit PCM of any length out to the room, paced in real time.

Writes are cut into frames of ``frame_ms`` and queued; the loop's pacer (``_pacer.py``, one timer
for every sender on the loop) sends each frame with ``SendAudioFrame`` at the moment its audio
starts on the sender's clock: frame *k* of a run of speech goes at ``t0 + k * frame_ms`` (or up to
``COALESCE_S`` before it, to share a wake-up). So the audio handed to the SDK is never more than
one frame ahead of real time (the lead, ``LEAD_FRAMES``), and ``clear()`` silences the bot within
one frame: what it drops was never sent.

A ``write`` returns once its own frames are within the lead (its last frame is the next to go, or
gone), which paces a producer that writes faster than real time; it also returns when ``clear()``
drops its frames. Bytes short of a whole frame wait for the next write; ``drain()`` pads them with
silence and returns once everything written has been sent.

If the loop runs late (busy, or a write came after the queue ran dry), frames that are due go out
at once to catch up, but never more than ``MAX_BEHIND_FRAMES`` behind the clock: beyond that the
run starts again from now rather than bursting a backlog into the room. Lateness is visible:
``stats`` counts the frames sent more than ``LATE_FRAMES`` of a frame after their moment and the
worst of them, and the first time a sender falls beyond its catch-up limit it logs a warning.

A ``write`` that is cancelled (or given up by a timeout) stops waiting, not sending: its frames
stay queued and go out on time. ``clear()`` drops them.

Failures are not silent. When the SDK refuses a frame, nothing more of what is queued is sent (it
is dropped, counted in ``frames_cleared``) and the writes and drains waiting then raise
``SdkError`` with the SDK's code; with none waiting, the next ``write`` or ``drain`` raises it.
The frames before the refused one went out. When the SDK ends the connection's stay, waiting and
later writes raise ``ConnectionClosed``; but the SDK may refuse a frame of a stay it has just
ended before its event saying so reaches the loop, and then the writes waiting raise that
refusal's ``SdkError`` (``ConnectionClosed`` is one too: catch ``SdkError`` for both). A bot that
leaves by itself releases waiting writes and later ones raise ``RuntimeError``.
"""

import asyncio
import logging
import weakref
from collections import deque
from dataclasses import dataclass
from typing import Callable, Deque, List, Optional, Tuple, Union

import _ostrel

from ._errors import SdkError, describe
from ._loop_local import loop_local
from ._pacer import COALESCE_S, Pacer
from ._stats import DROP_LOG_INTERVAL

log = logging.getLogger("ostrel.aio")

# How far ahead of the clock frames are sent, in frames.
LEAD_FRAMES = 1
# How far behind the clock the sender still catches up by sending due frames at once, in frames.
MAX_BEHIND_FRAMES = 3
# A frame sent this much of a frame after its moment or later counts as late.
LATE_FRAMES = 0.5

# Bytes of one sample of one channel: the sender takes 16-bit PCM.
SAMPLE_BYTES = 2
# Buffer formats taken as PCM: plain bytes, and 16-bit integers (a numpy int16 array, say).
_PCM_FORMATS = frozenset("bBch") | {"<h", "=h", "@h"}


def pcm_bytes(pcm: object, channels: int) -> Union[bytes, memoryview]:
    """``pcm`` as flat bytes: any bytes-like object of whole 16-bit samples, all channels."""
    whole = SAMPLE_BYTES * channels
    if type(pcm) is bytes and not len(pcm) % whole:  # the common case, as it is
        return pcm
    try:
        view = memoryview(pcm)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"ostrel.aio: write() takes a bytes-like object of 16-bit PCM, not {type(pcm).__name__}"
        ) from None
    if view.format not in _PCM_FORMATS:
        raise TypeError(f"ostrel.aio: write() takes 16-bit PCM; this buffer holds items of format {view.format!r}")
    if view.nbytes % whole:
        raise ValueError(
            f"ostrel.aio: write() takes whole samples of every channel ({whole} bytes each); got {view.nbytes} bytes"
        )
    return view.cast("B") if view.c_contiguous else memoryview(view.tobytes())


@dataclass(frozen=True)
class SenderStats:
    """A snapshot of an ``AudioSender``'s counters."""

    sent: int  # frames the SDK accepted
    failed: int  # frames the SDK refused
    cleared: int  # frames dropped unsent: by clear(), or queued behind a refused frame
    late: int  # frames sent LATE_FRAMES of a frame or more after their moment
    max_late_ms: float  # the latest a frame went out after its moment
    fell_behind: int  # times the sender was beyond MAX_BEHIND_FRAMES and started again from now


def _frame_pcm(frame: _ostrel.AudioFrame, sample_rate: int, channels: int) -> bytes:
    """The PCM of an ``AudioFrame`` whose format is the sender's; ``ValueError`` naming both otherwise."""
    if (
        frame.codec != _ostrel.AUDIO_CODEC_TYPE_PCM
        or frame.bits_per_sample != 16
        or frame.sample_rate != sample_rate
        or frame.channels != channels
    ):
        codec = "PCM" if frame.codec == _ostrel.AUDIO_CODEC_TYPE_PCM else str(frame.codec)
        raise ValueError(
            f"ostrel.aio: the frame is {frame.sample_rate} Hz, {frame.channels} channel(s), "
            f"{frame.bits_per_sample}-bit {codec}; this sender takes {sample_rate} Hz, "
            f"{channels} channel(s), 16-bit PCM"
        )
    return frame.data


class AudioSender:
    """Paced 16-bit PCM output through one connection's cloud, made by ``Connection.audio_sender``.

    ``await write(pcm)`` queues PCM (any bytes-like object of whole samples, or an ``AudioFrame``
    of the sender's format) and returns once its frames are within one frame of real time;
    ``await drain()`` sends the rest, the last partial frame padded with silence; ``clear()``
    drops everything queued at once (barge-in). ``sample_rate``, ``channels`` and ``frame_ms`` are
    its format; ``stats`` and the ``frames_*`` attributes count what happened. A refused frame
    raises ``SdkError`` from the waiting (or next) ``write``/``drain``; the SDK ending the
    connection raises ``ConnectionClosed``."""

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        send: Callable[[_ostrel.AudioFrame], int],
        sample_rate: int,
        channels: int,
        frame_ms: int,
    ) -> None:
        self.sample_rate = sample_rate  # Hz of the PCM written
        self.channels = channels  # interleaved channels of the PCM written
        self.frame_ms = frame_ms  # length of each frame sent
        self._loop = loop  # runs the pacing timer
        self._send = send  # hands one frame to the SDK, returns its result code
        self._frame_bytes = sample_rate * frame_ms // 1000 * channels * 2  # bytes of one frame
        self._frames: Deque[bytes] = deque()  # whole frames waiting to be sent
        # The frame every send fills in: the SDK reads it during the call only, as it must any frame.
        self._frame = _ostrel.AudioFrame()
        self._frame.sample_rate, self._frame.channels, self._frame.bits_per_sample = sample_rate, channels, 16
        self._frame.codec = _ostrel.AUDIO_CODEC_TYPE_PCM
        self._partial = bytearray()  # written bytes short of a whole frame
        self._queued_total = 0  # frames ever queued
        self._done_total = 0  # frames ever taken off the queue (sent or cleared)
        self._waiters: List[Tuple[int, "asyncio.Future[None]"]] = []  # writes and drains: (frames done, future)
        self._pacer = loop_local(loop, Pacer, Pacer)  # calls due() when the next frame is due
        self.ref = weakref.ref(self)  # how the pacer holds the sender
        self._due: Optional[float] = None  # the moment asked of the pacer, None when none is
        self._run_start: Optional[float] = None  # loop time of frame 0 of the current run
        self._run_sent = 0  # frames sent in the current run
        self._closed = False  # the connection left: nothing more is sent
        self._ended: Optional[BaseException] = None  # why the SDK ended the connection, raised by writes
        self._refused: Optional[SdkError] = None  # a refusal no write or drain has raised yet
        self._last_warning = float("-inf")  # when a failed send was last logged
        self.frames_sent = 0  # frames the SDK accepted
        self.frames_failed = 0  # frames the SDK refused (logged at most once a second)
        self.frames_cleared = 0  # frames dropped unsent: by clear(), or queued behind a refused frame
        self._late = 0  # frames sent LATE_FRAMES or more after their moment
        self._max_late = 0.0  # seconds, the latest a frame went out
        self._fell_behind = 0  # restarts from now after falling beyond MAX_BEHIND_FRAMES

    @property
    def queued_ms(self) -> float:
        """Milliseconds of written audio not yet sent."""
        queued = len(self._frames) * self._frame_bytes + len(self._partial)
        return queued * self.frame_ms / self._frame_bytes

    @property
    def stats(self) -> SenderStats:
        """A snapshot of the sender's counters, lateness included."""
        return SenderStats(
            sent=self.frames_sent,
            failed=self.frames_failed,
            cleared=self.frames_cleared,
            late=self._late,
            max_late_ms=self._max_late * 1000.0,
            fell_behind=self._fell_behind,
        )

    async def write(self, pcm: object) -> None:
        """Queues ``pcm`` and returns once its frames are within one frame of real time, so a
        producer faster than real time is held to it. ``pcm`` is 16-bit interleaved PCM: any
        bytes-like object of whole samples (``bytes``, ``memoryview``, a numpy int16 array), or an
        ``AudioFrame`` of the sender's rate and channels. Raises ``TypeError`` for anything else,
        ``ValueError`` for a partial sample or a frame of another format, ``SdkError`` when the SDK
        refused a frame since the last write or drain returned, and ``ConnectionClosed`` once the
        SDK ended the connection. Cancelling it stops the wait, not the sending (see ``clear``)."""
        if (
            type(pcm) is bytes
            and len(pcm) == self._frame_bytes
            and not self._partial
            and not self._closed  # nor ended: close() marks both
            and self._refused is None
        ):  # one whole frame of bytes to an open sender, the usual case: as it is, per frame
            self._frames.append(pcm)
            self._queued_total += 1
            if self._due is None:  # see _added
                self._schedule(catch_up=False)
        else:
            self._check_open()
            if isinstance(pcm, _ostrel.AudioFrame):
                pcm = _frame_pcm(pcm, self.sample_rate, self.channels)
            data = pcm_bytes(pcm, self.channels)
            self._raise_refusal()
            if not self._partial and len(data) == self._frame_bytes:  # one whole frame: no cutting
                self._frames.append(bytes(data))
                self._added(1)
            else:
                self._partial += data
                self._cut(len(self._partial) // self._frame_bytes)
        waiting = self._until(self._queued_total - LEAD_FRAMES)
        if waiting is not None:
            await waiting

    async def drain(self) -> None:
        """Sends what is left (the last partial frame padded with silence) and returns once all is
        sent; raises ``SdkError`` as ``write`` does."""
        self._check_open(closed_ok=True)
        self._raise_refusal()
        if self._partial:
            self._partial += bytes(self._frame_bytes - len(self._partial))
            self._cut(1)
        waiting = self._until(self._queued_total)
        if waiting is not None:
            await waiting

    def clear(self) -> None:
        """Drops everything queued, at once; waiting writes and drains return."""
        self.frames_cleared += len(self._frames)
        self._done_total += len(self._frames)
        self._frames.clear()
        self._partial.clear()
        self._due = None  # the moment asked for is skipped when it comes
        self._wake()

    def close(self, error: Optional[BaseException] = None) -> None:
        """Stops for good: drops the queue and ends waiting writes, which return (the bot left) or
        raise ``error`` (the SDK ended the connection), as every later write does."""
        self._closed = True
        if error is not None:
            self._ended = error
            self._fail_waiters(error)
        self.clear()

    # -- internals ------------------------------------------------------------------------------
    def _check_open(self, closed_ok: bool = False) -> None:
        if self._ended is not None:
            raise self._ended.with_traceback(None)
        if self._closed and not closed_ok:
            raise RuntimeError("ostrel.aio: the connection of this sender has ended")

    def _raise_refusal(self) -> None:
        refused, self._refused = self._refused, None
        if refused is not None:
            raise refused

    def _fail_waiters(self, error: BaseException) -> None:
        for _, future in self._waiters:
            if not future.done():
                future.set_exception(error)
        self._waiters = []

    def _cut(self, count: int) -> None:
        size = self._frame_bytes
        for i in range(count):
            self._frames.append(bytes(self._partial[i * size : (i + 1) * size]))
        del self._partial[: count * size]
        self._added(count)

    def _added(self, count: int) -> None:
        self._queued_total += count
        if count and self._due is None and not self._closed:
            self._schedule(catch_up=False)  # the queue had run dry: a late start is a pause, not a debt

    def _until(self, done: int) -> "Optional[asyncio.Future[None]]":
        # What to await until `done` frames are taken off the queue; None when they are (a plain
        # call rather than a coroutine: it runs for every frame written).
        if self._done_total >= done:
            return None
        future: "asyncio.Future[None]" = self._loop.create_future()
        self._waiters.append((done, future))
        return future

    def _wake(self) -> None:
        if not self._waiters:
            return
        still = []
        for done, future in self._waiters:
            if self._done_total >= done or self._closed:
                if not future.done():
                    future.set_result(None)
            else:
                still.append((done, future))
        self._waiters = still

    def _schedule(self, catch_up: bool, now: Optional[float] = None) -> None:
        if now is None:
            now = self._loop.time()
        frame = self.frame_ms / 1000.0
        behind = 0.0 if self._run_start is None else now - (self._run_start + self._run_sent * frame)
        if self._run_start is None or behind > (MAX_BEHIND_FRAMES * frame if catch_up else 0.0):
            self._run_start, self._run_sent = now, 0
        self._due = self._run_start + self._run_sent * frame
        self._pacer.ask(self, self._due)

    def due(self, when: float, now: float) -> None:
        """The pacer's call at the moment ``when`` this sender asked for (``now`` on the loop's
        clock, up to ``COALESCE_S`` before it): sends what is due, unless it no longer waits."""
        if when != self._due:
            return
        self._due = None
        frame = self.frame_ms / 1000.0
        assert self._run_start is not None
        behind = now - (self._run_start + self._run_sent * frame)
        if behind > MAX_BEHIND_FRAMES * frame:  # the loop was held up: start again rather than burst
            self._fell_behind += 1
            self._late += 1  # the frame that starts the new run is that late
            self._max_late = max(self._max_late, behind)
            if self._fell_behind == 1:
                log.warning(
                    "ostrel.aio: %r fell %.0f ms behind real time, more than it catches up (%d frames); "
                    "it starts again from now (is the loop blocked?)",
                    self,
                    behind * 1000,
                    MAX_BEHIND_FRAMES,
                )
            self._run_start, self._run_sent = now, 0
        lead_until = now + (LEAD_FRAMES - 1) * frame + min(COALESCE_S, frame / 2)
        while self._frames and self._run_start + self._run_sent * frame <= lead_until + 1e-4:
            late = now - (self._run_start + self._run_sent * frame)
            if late >= LATE_FRAMES * frame:
                self._late += 1
                self._max_late = max(self._max_late, late)
            code = self._transmit(self._frames.popleft())
            self._run_sent += 1
            if code != 0:
                self._refuse(code)
                return
            self._done_total += 1
        self._wake()
        if self._frames:
            self._schedule(catch_up=True, now=now)

    def _refuse(self, code: int) -> None:
        # The SDK refused the frame just taken off the queue: the writes done before it return,
        # those waiting for it or later frames fail, and what is queued behind it is dropped.
        self.frames_failed += 1
        self._wake()
        if self._waiters:
            self._fail_waiters(SdkError(code, "SendAudioFrame"))
        else:
            self._refused = SdkError(code, "SendAudioFrame")
        self._done_total += 1
        self.clear()
        now = self._loop.time()
        if now - self._last_warning >= DROP_LOG_INTERVAL:
            self._last_warning = now
            log.warning(
                "ostrel.aio: SendAudioFrame refused a frame: %s; %d frame(s) refused so far",
                describe(code),
                self.frames_failed,
            )

    def _transmit(self, pcm: bytes) -> int:
        """Hands one frame to the SDK; returns its result (0 when the frame was taken)."""
        frame = self._frame
        frame.pts = int(self._loop.time() * 1000) & 0xFFFFFFFF
        frame.SetData(pcm)
        try:
            code = self._send(frame)
        except Exception as error:  # the cloud is gone (another process's, or destroyed)
            log.warning("ostrel.aio: SendAudioFrame failed: %s", error)
            self.close()
            return 0
        if code == 0:
            self.frames_sent += 1
        return code

    def __repr__(self) -> str:
        state = "ended by the SDK" if self._ended is not None else "closed" if self._closed else "open"
        return (
            f"<AudioSender {self.sample_rate} Hz, {self.channels} channel(s), {self.frame_ms} ms, {state}: "
            f"{self.queued_ms:.0f} ms queued, {self.frames_sent} sent, {self.frames_failed} refused, "
            f"{self.frames_cleared} cleared, {self._late} late>"
        )
