"""A delegate that records every event it receives, and waits on that record.

The callbacks run on the SDK's event thread and only append to a log under a condition
variable, so they never block the SDK for long and never raise. Waiting runs on the caller's
thread: a condition wait with a timeout; the asyncio form runs the same wait on an executor
thread, so an SDK thread never has to reach an event loop. A wait that times out says what did
arrive: how many events of each name, and the arguments of those of the awaited name.
"""

import asyncio
import collections
import functools
import threading
from time import monotonic
from typing import Any, Callable, List, Optional, Tuple

import ostrel
from ostrel.aio import EVENT_NAMES, Event
from ostrel.aio.events import EVENT_TYPES

# A test on an event's arguments, called with them unpacked.
Predicate = Callable[..., bool]

# How much of what arrived a timeout shows: events of the awaited name, items of a list,
# bytes of a payload, characters of a text.
_SHOWN_EVENTS = 3
_SHOWN_ITEMS = 3
_SHOWN_BYTES = 16
_SHOWN_CHARS = 40


class EventRecorder(ostrel.VONUCloudDelegate):
    """Records every event, in arrival order, and the PCM of every audio frame received. Each is
    an ``ostrel.aio.Event`` of its callback's class: the pair ``(name, args)``, with the
    arguments also by name (``event.user_id``) and ``event.time`` (``time.monotonic()``). Give it
    to a VONUCloud of your own, or use a Participant, which has one."""

    def __init__(self, name: str = "recorder") -> None:
        super().__init__()
        # Who records, for messages (a participant's user id).
        self.name = name
        # Guards the two lists below; notified on every event.
        self._changed = threading.Condition()
        # The events received so far, oldest first.
        self._events: List[Event] = []
        # PCM payloads received, oldest first, with the sender (None for a mix).
        self._pcm: List[Tuple[Optional[str], bytes]] = []

    def _record(self, name: str, args: Tuple[Any, ...], pcm: Optional[Tuple[Optional[str], bytes]] = None) -> None:
        with self._changed:
            self._events.append(EVENT_TYPES[name](name, args, monotonic()))
            if pcm is not None:
                self._pcm.append(pcm)
            self._changed.notify_all()

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: ostrel.AudioFrame) -> None:
        self._record("OnRemoteAudioReceived", (user_id, frame), _pcm_of(user_id, frame))

    def OnRemoteMixedAudioReceived(self, frame: ostrel.AudioFrame) -> None:
        self._record("OnRemoteMixedAudioReceived", (frame,), _pcm_of(None, frame))

    @property
    def events(self) -> List[Event]:
        """A copy of the events received so far, oldest first, each an ``Event``: ``(name, args)``."""
        with self._changed:
            return list(self._events)

    def count(self) -> int:
        """How many events were received so far (a mark for ``wait_for(..., since=)``)."""
        with self._changed:
            return len(self._events)

    def of(self, name: str) -> List[Tuple[Any, ...]]:
        """The arguments of every event of that name received so far, oldest first."""
        with self._changed:
            return [args for n, args in self._events if n == name]

    def clear(self) -> None:
        """Forgets the events and audio received so far."""
        with self._changed:
            self._events.clear()
            self._pcm.clear()

    def audio(self, from_user: Optional[str] = None) -> bytes:
        """The 16-bit PCM received so far: from that sender, or every PCM frame in arrival order
        when None (a mixing receiver's mix). Opus frames are not included."""
        with self._changed:
            return b"".join(pcm for user, pcm in self._pcm if from_user is None or user == from_user)

    def wait_for(
        self, name: str, predicate: Optional[Predicate] = None, timeout: float = 5.0, *, since: int = 0
    ) -> Tuple[Any, ...]:
        """The arguments of the first event of that name, from the ``since``-th on (received
        before or during the call), for which ``predicate(*args)`` is true. Raises
        TimeoutError after ``timeout`` seconds."""
        __tracebackhide__ = True
        return self._wait(name, predicate, timeout, since, threading.Event(), blocks_a_loop=_loop_running())

    async def wait_for_async(
        self, name: str, predicate: Optional[Predicate] = None, timeout: float = 5.0, *, since: int = 0
    ) -> Tuple[Any, ...]:
        """``wait_for`` for coroutines: the event loop keeps running while it waits, and
        cancelling the coroutine ends the wait. The predicate runs on a worker thread."""
        __tracebackhide__ = True
        cancelled = threading.Event()
        wait = functools.partial(self._wait, name, predicate, timeout, since, cancelled)
        try:
            return await asyncio.get_running_loop().run_in_executor(None, wait)
        finally:
            cancelled.set()
            with self._changed:
                self._changed.notify_all()

    def _wait(
        self,
        name: str,
        predicate: Optional[Predicate],
        timeout: float,
        since: int,
        cancelled: threading.Event,
        blocks_a_loop: bool = False,
    ) -> Tuple[Any, ...]:
        __tracebackhide__ = True
        if name not in EVENT_NAMES:
            raise ValueError("%r is not a delegate callback" % (name,))
        found: List[Tuple[Any, ...]] = []
        checked = since

        def ready() -> bool:
            nonlocal checked
            checked = min(checked, len(self._events))  # the log was cleared meanwhile
            for event_name, args in self._events[checked:]:
                checked += 1
                if event_name == name and (predicate is None or predicate(*args)):
                    found.append(args)
                    return True
            return cancelled.is_set()

        with self._changed:
            self._changed.wait_for(ready, timeout)
            if found:
                return found[0]
            if cancelled.is_set():
                raise asyncio.CancelledError()
            seen = collections.Counter(n for n, _ in self._events)
            candidates = [args for n, args in self._events[since:] if n == name]
        message = "%r received no %s%s within %g s; it received: %s" % (
            self.name,
            name,
            " matching the predicate" if predicate is not None else "",
            timeout,
            ", ".join("%s x%d" % item for item in seen.items()) or "nothing",
        )
        if candidates:
            shown = ", ".join(_brief(args) for args in candidates[:_SHOWN_EVENTS])
            more = " and %d more" % (len(candidates) - _SHOWN_EVENTS) if len(candidates) > _SHOWN_EVENTS else ""
            message += "; its %s events%s had the arguments %s%s" % (
                name,
                " from event %d on" % since if since else "",
                shown,
                more,
            )
        if blocks_a_loop:
            message += (
                "; wait_for blocked the event loop running in this thread, so nothing that loop drives "
                "could happen meanwhile: in a coroutine use await wait_for_async(...)"
            )
        raise TimeoutError(message)


def _loop_running() -> bool:
    """Whether an asyncio event loop runs in the calling thread."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return False
    return True


def _brief(value: Any) -> str:
    """A short text of a callback argument: payloads and lists shortened, records by the fields
    that tell them apart."""
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
        return repr(data) if len(data) <= _SHOWN_BYTES else "%s...(%d bytes)" % (repr(data[:_SHOWN_BYTES]), len(data))
    if isinstance(value, tuple):  # a callback's arguments
        return "(%s)" % ", ".join(_brief(v) for v in value)
    if isinstance(value, list):
        items = [_brief(v) for v in value[:_SHOWN_ITEMS]]
        if len(value) > _SHOWN_ITEMS:
            items.append("...%d in all" % len(value))
        return "[%s]" % ", ".join(items)
    if hasattr(type(value), "__members__"):  # an enumeration
        return str(getattr(value, "name", value))
    if isinstance(value, ostrel.VonuString):
        return _brief(value.GetValue())
    if type(value).__module__ == "_ostrel":  # a record or a frame
        fields = [
            "%s=%s" % (field, _brief(getattr(value, field)))
            for field in ("user_id", "quality", "pts")
            if hasattr(value, field)
        ]
        if hasattr(value, "data"):
            fields.append("%d bytes" % len(value.data))
        return "%s(%s)" % (type(value).__name__, ", ".join(fields))
    text = repr(value)
    return text if len(text) <= _SHOWN_CHARS else text[:_SHOWN_CHARS] + "..."


def _pcm_of(user_id: Optional[str], frame: ostrel.AudioFrame) -> Optional[Tuple[Optional[str], bytes]]:
    if frame.codec != ostrel.AUDIO_CODEC_TYPE_PCM:
        return None
    return user_id, frame.data


def _recording_method(name: str) -> Callable[..., None]:
    def method(self: EventRecorder, *args: Any) -> None:
        self._record(name, args)

    method.__name__ = name
    return method


for _name in EVENT_NAMES:
    if _name not in vars(EventRecorder):
        setattr(EventRecorder, _name, _recording_method(_name))
