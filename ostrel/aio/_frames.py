"""``FrameStream``: one kind of frame from the SDK, bounded, dropping the oldest when full.

The queue is a ``deque(maxlen=maxsize)``: an append evicts the oldest frame by itself, so memory
and the consumer's latency stay bounded by ``maxsize`` frames whatever the consumer does. Which
frames a stream takes is decided by the ``accept`` test its owner gives, over the callback's
arguments (a user id, a stream type), or None for every frame; the hub hands it each frame
event's arguments (``push_args``), and the pull-mode audio task feeds frames in directly with
``push_frame``.
"""

from collections import deque
from typing import Any, Callable, Deque, Optional, Tuple, TypeVar

from ._hub import Hub
from ._stream import Stream

F = TypeVar("F")


class FrameStream(Stream[F]):
    """An async iterator of frames: bounded by ``maxsize``, oldest dropped first, counted in ``stats``."""

    def __init__(
        self,
        hub: Hub,
        what: str,
        maxsize: int,
        accept: Optional[Callable[[Tuple[Any, ...]], bool]],
        on_close: Optional[Callable[[], None]] = None,
    ) -> None:
        if maxsize < 1:
            raise ValueError("maxsize must be at least 1")
        super().__init__(hub, what, on_close)
        self._accept = accept  # which callbacks' arguments carry this stream's frames; None: all
        self._frames: Deque[Tuple[F, float]] = deque(maxlen=maxsize)  # frames and their SDK times
        self.maxsize = maxsize  # the bound on queued frames

    def push_args(self, args: Tuple[Any, ...], time: float) -> None:
        """Queues the frame of one callback (the last of its arguments), if the stream takes it."""
        if self._closed or (self._accept is not None and not self._accept(args)):
            return
        frames = self._frames
        if len(frames) == self.maxsize:
            self._evicted = True
        frames.append((args[-1], time))
        self._queued(len(frames))

    def push_frame(self, frame: F, called: float) -> None:
        """Queues one frame (the pull task's, for pulled audio)."""
        self.push_args((frame,), called)

    def _take(self) -> Optional[Tuple[F, float]]:
        try:
            return self._frames.popleft()
        except IndexError:
            return None

    def _depth(self) -> int:
        return len(self._frames)

    def _clear(self) -> int:
        count = len(self._frames)
        self._frames.clear()
        return count

    def _full(self) -> str:
        return f"{self.maxsize} frame(s) were waiting unread (maxsize)"
