"""The stream behind ``Connection.events()``: delegate events in the order the SDK made them.

Control events (room, user, channel, message, quality, error) are never dropped: they wait in an
unbounded queue. Frame events wait in a second queue bounded by ``maxsize`` that drops its oldest
when full. Each event carries a sequence number, and the consumer takes whichever queue's head came
first, so the two queues read as one, in the SDK's order.

A connection keeps one such stream from before it enters the room, the backlog, so that the events
of entering (the users already present, say) are not lost before the bot asks for them. The first
``events()`` takes the backlog over; until then it keeps the latest ``BACKLOG_LIMIT`` control events.
"""

from collections import deque
from typing import Deque, FrozenSet, Optional, Tuple, TypeVar, cast

from ._event import Event
from ._hub import Hub, is_media
from ._stream import Stream

E = TypeVar("E", bound=Event, covariant=True)

# Control events a connection keeps for its first events() iterator.
BACKLOG_LIMIT = 1000


class EventStream(Stream[E]):
    """An async iterator of the named callbacks' events, each of its callback's class
    (``ostrel.aio.events``), in the SDK's order. Control events wait unbounded; frame events wait
    in a queue of ``maxsize`` that drops its oldest. ``async with`` closes it; ``stats`` counts."""

    def __init__(self, hub: Hub, names: FrozenSet[str], maxsize: int, limit: Optional[int] = None) -> None:
        super().__init__(hub, "event stream")
        self._names = names  # the callbacks this stream wants
        self._control: Deque[Tuple[int, Event]] = deque()  # control events, unbounded
        self._media: Optional[Deque[Tuple[int, Event]]] = deque(maxlen=maxsize) if maxsize > 0 else None  # frames
        self._limit = limit  # a bound on control events: the backlog's only
        self._maxsize = maxsize  # the bound on frame events
        self._seq = 0  # sequence number of the last event queued

    @property
    def names(self) -> FrozenSet[str]:
        """The callbacks this stream yields."""
        return self._names

    def retarget(self, names: FrozenSet[str], maxsize: int) -> None:
        """Turns the backlog into an ordinary stream of ``names`` (loop)."""
        self._names = names
        self._media = deque(maxlen=maxsize) if maxsize > 0 else None
        self._limit = None
        self._maxsize = maxsize

    def push(self, event: Event) -> None:
        if self._closed or event[0] not in self._names:  # the name, without the property: per event
            return
        self._seq += 1
        if is_media(event):
            media = self._media
            if media is None:
                return
            if len(media) == self._maxsize:
                self._evicted = True
            media.append((self._seq, event))
            self._queued(len(media) + len(self._control))
        else:
            control = self._control
            if self._limit is not None and len(control) >= self._limit:
                control.popleft()
                self._evicted = True
            control.append((self._seq, event))
            self._queued(len(control) + (len(self._media) if self._media is not None else 0))

    def _take(self) -> Optional[Tuple[E, float]]:
        while True:
            control, media = self._control, self._media
            if control and (not media or control[0][0] < media[0][0]):
                _, event = control.popleft()
            elif media:
                _, event = media.popleft()
            else:
                return None
            if event.name in self._names:  # a narrowed backlog skips what it no longer wants
                return cast(E, event), event.time
            self._skipped += 1

    def _depth(self) -> int:
        return len(self._control) + (len(self._media) if self._media is not None else 0)

    def _full(self) -> str:
        if self._limit is not None:
            return f"backlog of {self._limit:,} events full before the first events() call"
        return f"{self._maxsize} frame event(s) were waiting unread (maxsize)"

    def _clear(self) -> int:
        count = self._depth()
        self._control.clear()
        if self._media is not None:
            self._media.clear()
        return count
