"""The hand-over from the SDK's threads to one asyncio event loop.

Every delegate method the layer installs does the same three things on the SDK thread: stamp the
event with the loop's time (``loop.time()``), append it to the bounded or unbounded queues of the
sinks that listen for its name (``collections.deque`` operations, atomic under the GIL), and make
sure one wake-up of the loop is pending. Nothing here waits: no lock, no future, no
``.result()``. The wake-up is shared by every connection on the loop (``_LoopWaker``): a burst of
events, for one connection or for a hundred, costs the loop one ``call_soon_threadsafe`` wake-up,
and the SDK thread returns to the SDK in microseconds however busy or blocked the loop is.

The wake-up flags need no lock. A hub with events not yet looked at is listed once (its flag
set, then the hub appended to the loop's list), and the loop's waker is scheduled once (its own
flag); on the loop, each flag is cleared before what it guards is looked at. Whichever way the
threads interleave under the GIL, an event appended after the loop looked finds a flag clear and
schedules another look (at worst a spare one). Once the loop is closed, events are counted and
dropped.

The delegate class is built from ``vars(VONUCloudDelegate)``: every callback the binding knows,
so no callback is ever missing from the layer's delegate, whichever SDK the binding was built for.
Each event is made as its callback's class (``ostrel.aio.events``).

The hub holds the streams a bot reads only weakly: a stream nothing else refers to (the iterator
a ``break`` left behind) is freed at once and stops collecting; the hub forgets it on the loop's
next wake-up. The connection's own sinks, and a ``wait_for``'s, are held for as long as they are
added. The first sink added, the connection's own, sees every event before any other does, and
``settle()`` lets it catch up before a consumer takes an event, so what it keeps (the users in the
room) is never behind what a consumer has read.
"""

import asyncio
import logging
import weakref
from collections import deque
from typing import Any, Deque, Dict, Iterable, Optional, Protocol, Tuple

import _ostrel

from ._event import Event
from ._loop_local import loop_local
from .events import EVENT_TYPES

log = logging.getLogger("ostrel.aio")

# Every callback of the delegate interface, in the class's order.
EVENT_NAMES: Tuple[str, ...] = tuple(name for name in vars(_ostrel.VONUCloudDelegate) if name.startswith("On"))

# The payload types of media events: an event whose last argument is one of these is a frame.
FRAME_TYPES = (_ostrel.AudioFrame, _ostrel.VideoFrame, _ostrel.PixelFrame)


def is_media(event: Event) -> bool:
    """True for frame events (the ones that may be dropped), False for control events."""
    return bool(event.args) and isinstance(event.args[-1], FRAME_TYPES)


class Sink(Protocol):
    """A receiver of events: ``push`` runs on SDK threads, ``poke`` on the loop."""

    def push(self, event: Event) -> None:
        """Queues the event without blocking; called on an SDK thread."""

    def poke(self) -> None:
        """Wakes a consumer waiting for what ``push`` queued; called on the loop after a burst."""


class _WeakSink:
    """A sink the hub holds weakly (a stream a bot reads); once it is freed, events pass it by."""

    __slots__ = ("ref",)

    def __init__(self, sink: Sink, hub: "Hub") -> None:
        self.ref = weakref.ref(sink, hub._sink_freed)

    def push(self, event: Event) -> None:
        sink = self.ref()
        if sink is not None:
            sink.push(event)

    def poke(self) -> None:
        sink = self.ref()
        if sink is not None:
            sink.poke()


class _LoopWaker:
    """The one wake-up of a loop per burst, for every hub on it: hubs with events are listed on
    SDK threads, and drained together in one callback on the loop. It refers to the loop and the
    hubs weakly, so that a loop closed with hubs still listed keeps neither alive."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = weakref.ref(loop)  # the loop it wakes
        self._hubs: "Deque[weakref.ReferenceType[Hub]]" = deque()  # hubs with events the loop has not looked at
        self._pending = False  # a drain is scheduled and has not yet started

    def wake(self, hub: "Hub") -> None:
        """Lists ``hub`` and makes sure one drain is scheduled (SDK thread)."""
        self._hubs.append(hub.ref)
        if self._pending:
            return
        self._pending = True
        loop = self._loop()
        try:
            if loop is None:
                raise RuntimeError("the loop is gone")
            loop.call_soon_threadsafe(self._drain)
        except RuntimeError:  # closed between the hub's check and the call
            self._pending = False
            self._hubs.clear()
            hub.dropped += 1

    def _drain(self) -> None:
        self._pending = False  # before looking, so that a later listing schedules again
        hubs = self._hubs
        while hubs:
            hub = hubs.popleft()()
            if hub is not None:
                hub._drain()


class Hub:
    """Routes one connection's events to its sinks and has its loop woken once per burst."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop  # the loop that owns every sink of this hub
        self._waker = loop_local(loop, _LoopWaker, _LoopWaker)  # wakes the loop for every hub on it
        self.ref = weakref.ref(self)  # how the waker lists the hub
        self._routes: Dict[str, Tuple[Sink, ...]] = {}  # event name -> sinks; a tuple is replaced, never changed
        self._sinks: Tuple[Sink, ...] = ()  # every sink, poked after each burst
        self._first: Optional[Sink] = None  # the first sink added: the connection's own
        self._freed = False  # a weakly held sink was freed: forget it on the loop
        self._wake_pending = False  # a drain is scheduled and has not yet started
        self._closed = False  # the connection is gone: events are ignored
        self.dropped = 0  # events that arrived for a closed loop

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        """The loop this hub wakes."""
        return self._loop

    # -- the SDK thread's side ------------------------------------------------------------------
    def deliver(self, event: Event) -> None:
        """Hands one callback over; called by the delegate on an SDK thread. Never blocks."""
        if self._closed:  # left the room: the connection no longer listens
            return
        if self._loop.is_closed():
            self.dropped += 1
            return
        for sink in self._routes.get(event.name, ()):
            sink.push(event)
        self.wake()

    def wake(self) -> None:
        """Makes sure one drain of this hub is scheduled on its loop."""
        if self._wake_pending:
            return
        self._wake_pending = True
        self._waker.wake(self)

    # -- the loop's side ------------------------------------------------------------------------
    def _drain(self) -> None:
        self._wake_pending = False  # before looking, so that a later push schedules again
        if self._freed:
            self._forget_freed()
        for sink in self._sinks:
            try:
                sink.poke()
            except Exception:  # a fault of the layer: never let it stop the other sinks
                log.exception("ostrel.aio: waking a consumer failed")

    def settle(self) -> None:
        """Lets the connection's own sink take in what arrived, before a consumer takes an event (loop)."""
        if self._first is not None:
            self._first.poke()

    def add(self, sink: Sink, names: Iterable[str], weak: bool = False) -> None:
        """Routes the named events to ``sink`` from now on, holding it weakly if ``weak`` (loop thread)."""
        self.remove(sink)
        if self._freed:
            self._forget_freed()
        held: Sink = _WeakSink(sink, self) if weak else sink
        if self._first is None:
            self._first = held
        self._sinks += (held,)
        for name in names:
            self._routes[name] = self._routes.get(name, ()) + (held,)

    def remove(self, sink: Sink) -> None:
        """Stops routing events to ``sink`` (loop thread). A push already under way may still land."""
        self._keep(lambda held: held is not sink and not (isinstance(held, _WeakSink) and held.ref() is sink))

    def _sink_freed(self, _ref: "weakref.ReferenceType[Sink]") -> None:
        self._freed = True  # any thread: the loop forgets it at its next drain

    def _forget_freed(self) -> None:
        self._freed = False
        self._keep(lambda held: not (isinstance(held, _WeakSink) and held.ref() is None))

    def _keep(self, wanted: Any) -> None:
        if all(wanted(held) for held in self._sinks):
            return
        self._sinks = tuple(held for held in self._sinks if wanted(held))
        for name, sinks in list(self._routes.items()):
            self._routes[name] = tuple(held for held in sinks if wanted(held))

    @property
    def sink_count(self) -> int:
        """How many sinks events are routed to (loop)."""
        if self._freed:
            self._forget_freed()
        return len(self._sinks)

    def close(self) -> None:
        """Ignores every later event and forgets the sinks (loop thread)."""
        self._closed = True
        self._routes = {}
        self._sinks = ()
        self._first = None


def _forwarder(name: str) -> Any:
    make = EVENT_TYPES[name]

    def forward(self: "HubDelegate", *args: Any) -> None:
        try:
            hub = self._hub
            hub.deliver(make(name, args, hub.loop.time()))
        except Exception:  # never into the SDK: log it, with its traceback
            log.exception("ostrel.aio: event %s could not be handed to the event loop", name)

    forward.__name__ = forward.__qualname__ = name
    return forward


class HubDelegate(_ostrel.VONUCloudDelegate):
    """The layer's delegate: every callback is handed to a hub, none runs user code."""

    def __init__(self, hub: Hub) -> None:
        super().__init__()
        self._hub = hub  # where every event goes


for _name in EVENT_NAMES:
    setattr(HubDelegate, _name, _forwarder(_name))
