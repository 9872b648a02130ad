"""The hand-over from the SDK's threads to one asyncio event loop.

Each connection's cloud reports to a ``_ostrel.QueuedDelegate``: on the SDK's thread the binding
copies the event's arguments into native memory and queues them, without the GIL and without
waiting for anything, in the one ``_ostrel.EventQueue`` of the connection's loop (``_LoopQueue``).
The loop watches the queue's file descriptor (``loop.add_reader``); when it is readable, the loop
takes every event waiting, of every connection on it, in one call, and only then are they made
Python objects: each as its callback's class (``ostrel.aio.events``), stamped with the loop's
time of the SDK's call. So a burst of events, for one connection or for a hundred, costs the loop
one wake-up, and an SDK thread never waits for the GIL or the loop on the layer's behalf, however
busy, blocked or closed the loop is.

On the loop, each event goes to its connection's hub, which appends it to the queues of the sinks
that listen for its name and, after the batch, pokes each sink of each hub that got events. A
frame stream takes a frame event's arguments as they come (``FrameSink``): the ``Event`` object
is made only for sinks that keep events, so a frame that only streams of frames want costs no
more than its arguments.

Each take first lets the loop's pacer (``_pacer.py``) send what is due by then. asyncio runs a
timer that came due after the ready callbacks, the take among them, so without this the senders
would wait for the routing of the whole batch; with hundreds of connections on the loop, a batch
takes milliseconds.

Frames beyond the delegate's bound (``FRAME_BYTES_LIMIT``) waiting for a loop that does not take
them are lost in the binding and counted, as are events left for a loop that was closed
(``Connection.dropped_events``); control events are never lost while the loop runs.

A loop whose clock stands still between its own steps (``ostrel.testing``'s virtual time, which
sets ``_ostrel_stepped_clock``) stamps events with its time at the take: no step happens while
events wait. Any other loop's time is taken to run with ``time.monotonic()``.

The hub holds the streams a bot reads only weakly: a stream nothing else refers to (the iterator
a ``break`` left behind) is freed at once and stops collecting; the hub forgets it on the loop's
next wake-up. The connection's own sinks, and a ``wait_for``'s, are held for as long as they are
added. The first sink added, the connection's own, sees every event before any other does.
"""

import asyncio
import itertools
import logging
import weakref
from typing import Any, Dict, Iterable, Protocol, Tuple, get_type_hints

import _ostrel

from ._event import Event
from ._loop_local import loop_local
from ._pacer import Pacer
from ._stats import DropWarning
from .events import EVENT_TYPES

log = logging.getLogger("ostrel.aio")

# Every callback of the delegate interface, in the class's order.
EVENT_NAMES: Tuple[str, ...] = tuple(name for name in vars(_ostrel.VONUCloudDelegate) if name.startswith("On"))

# Bytes of frame payload a connection's delegate keeps waiting for its loop; more are lost (and
# counted) until the loop takes them.
FRAME_BYTES_LIMIT = 64 << 20

# The payload types of media events: an event whose last argument is one of these is a frame.
FRAME_TYPES = (_ostrel.AudioFrame, _ostrel.VideoFrame, _ostrel.PixelFrame)


# The callbacks that carry a frame: their event class's ``frame`` is one of FRAME_TYPES.
MEDIA_NAMES = frozenset(
    name
    for name, kind in EVENT_TYPES.items()
    if isinstance(getattr(kind, "frame", None), property)
    and get_type_hints(getattr(kind, "frame").fget).get("return") in FRAME_TYPES
)


def is_media(event: Event) -> bool:
    """True for frame events (the ones that may be dropped), False for control events."""
    return event[0] in MEDIA_NAMES


class Sink(Protocol):
    """A receiver of events, on the loop: ``push`` for each event of a batch, ``poke`` after it."""

    def push(self, event: Event) -> None:
        """Queues the event; never waits."""

    def poke(self) -> None:
        """Wakes a consumer waiting for what ``push`` queued; called on the loop after a burst."""


class FrameSink(Protocol):
    """A receiver of frames, on the loop: ``push_args`` for each frame event of a batch (its
    arguments and the time the SDK called), ``poke`` after it."""

    def push_args(self, args: Tuple[Any, ...], time: float) -> None:
        """Queues the frame the arguments carry, if it is one the sink takes; never waits."""

    def poke(self) -> None:
        """Wakes a consumer waiting for what ``push_args`` queued; called on the loop after a burst."""


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


class _LoopQueue:
    """The loop's end of one ``_ostrel.EventQueue``, shared by every hub on the loop: the queue's
    file descriptor is watched with ``add_reader``, and each wake-up takes all that waits. It
    refers to the loop and the hubs weakly, so that a loop closed with hubs still attached keeps
    neither alive."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._queue = _ostrel.EventQueue()  # where every delegate made here queues its events
        self._loop = weakref.ref(loop)  # the loop that takes them
        self._real_time = not getattr(loop, "_ostrel_stepped_clock", False)  # see the module's note
        self._hubs: "Dict[int, weakref.ReferenceType[Hub]]" = {}  # delegate key -> its hub
        self._keys = itertools.count(1)  # the next delegate's key
        self._lost = 0  # frames lost by the delegates, as last seen
        self._pacer = loop_local(loop, Pacer, Pacer)  # the loop's senders, given their due first at each take
        loop.add_reader(self._queue.fileno(), self.take)

    @property
    def waiting(self) -> bool:
        """Events wait to be taken."""
        return bool(self._queue)

    def attach(self, hub: "Hub") -> _ostrel.QueuedDelegate:
        """A delegate whose events go to ``hub`` (loop thread)."""
        key = next(self._keys)
        self._hubs[key] = hub.ref
        return _ostrel.QueuedDelegate(self._queue, key, FRAME_BYTES_LIMIT)

    def detach(self, delegate: _ostrel.QueuedDelegate) -> None:
        """Ignores the delegate's events from now on (loop thread)."""
        self._hubs.pop(delegate.key, None)

    def take(self) -> None:
        """Hands every event waiting to its hub, then pokes the hubs that got any (loop)."""
        loop = self._loop()
        if loop is None:
            return
        try:
            self._pacer.run_due()  # senders first: see the module's note
        except Exception:  # a fault of the layer: never let it stop the events
            log.exception("ostrel.aio: sending the frames due failed")
        hubs = self._hubs
        touched: "Dict[Hub, None]" = {}  # the hubs that got events, in order
        for key, name, args, time in self._queue.take(loop.time(), self._real_time):
            ref = hubs.get(key)
            hub = ref() if ref is not None else None
            if hub is None:
                continue
            try:
                hub.deliver(name, args, time)
            except Exception:  # a fault of the layer: never let it stop the other events
                log.exception("ostrel.aio: event %s could not be handed to its streams", name)
            touched[hub] = None
        for hub in touched:
            hub._drain()
        if self._queue.frames_lost != self._lost:  # a delegate's bound was reached: say whose
            self._lost = self._queue.frames_lost
            for ref in list(hubs.values()):
                hub = ref()
                if hub is not None:
                    hub.check_lost()


class Hub:
    """Routes one connection's events to its sinks; its delegate queues them for the loop."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop  # the loop that owns every sink of this hub, and that it wakes
        self._queue = loop_local(loop, _LoopQueue, _LoopQueue)  # the loop's one queue
        self.ref = weakref.ref(self)  # how the queue finds the hub
        self.delegate = self._queue.attach(self)  # the cloud's delegate
        # Event name -> the sinks of its events, and the frame sinks of its frames (held weakly). A
        # tuple is replaced, never changed.
        self._routes: Dict[str, Tuple[Sink, ...]] = {}
        self._frame_routes: "Dict[str, Tuple[weakref.ReferenceType[FrameSink], ...]]" = {}
        self._sinks: Tuple[Any, ...] = ()  # every sink, in the order added; frame sinks as their weak references
        self._touched: Dict[Any, None] = {}  # the sinks that got events in this batch, poked after it
        self._freed = False  # a weakly held sink was freed: forget it on the loop
        self._closed = False  # the connection is gone: events are ignored
        self._lost = DropWarning("connection", loop.time)  # frames the delegate's bound kept out

    @property
    def dropped(self) -> int:
        """Events that never reached the loop: frames beyond the delegate's bound, and events
        left waiting for a loop that was closed."""
        delegate = self.delegate
        return delegate.frames_lost + (delegate.waiting if self.loop.is_closed() else 0)

    def deliver(self, name: str, args: Tuple[Any, ...], time: float) -> None:
        """Hands one event, the callback ``name`` with ``args`` that the SDK made at ``time``, to
        the sinks that listen for it (loop, as the queue takes it): the sinks of events first, so
        the connection's own sees every event before any stream does."""
        if self._closed:  # left the room: the connection no longer listens
            return
        touched = self._touched
        sinks = self._routes.get(name)
        if sinks:
            event = EVENT_TYPES[name](name, args, time)
            for sink in sinks:
                sink.push(event)
                touched[sink] = None
        for ref in self._frame_routes.get(name, ()):  # per frame: no Event, no wrapper
            frame_sink = ref()
            if frame_sink is not None:
                frame_sink.push_args(args, time)
                touched[frame_sink] = None

    def check_lost(self) -> None:
        """Logs the frames the delegate lost, at most once a second (loop)."""
        self._lost.check(self.delegate.frames_lost, _why_lost)

    def _drain(self) -> None:
        """Pokes the sinks that got events, after a batch (loop)."""
        if self._freed:
            self._forget_freed()
        touched, self._touched = self._touched, {}
        for sink in touched:
            try:
                sink.poke()
            except Exception:  # a fault of the layer: never let it stop the other sinks
                log.exception("ostrel.aio: waking a consumer failed")

    def settle(self) -> None:
        """Takes what the SDK has queued for the loop, before a consumer looks for an event (loop):
        what a stream holds is then never behind what the SDK delivered, and the connection's own
        sink, first in every batch, is never behind what a consumer reads."""
        if self._queue.waiting:
            self._queue.take()

    def add(self, sink: Sink, names: Iterable[str], weak: bool = False) -> None:
        """Routes the named events to ``sink`` from now on, holding it weakly if ``weak`` (loop thread)."""
        self.remove(sink)
        if self._freed:
            self._forget_freed()
        held: Sink = _WeakSink(sink, self) if weak else sink
        self._sinks += (held,)
        for name in names:
            self._routes[name] = self._routes.get(name, ()) + (held,)

    def add_frames(self, sink: FrameSink, names: Iterable[str]) -> None:
        """Routes the frames of the named events to ``sink`` from now on, held weakly (loop thread)."""
        self.remove(sink)
        if self._freed:
            self._forget_freed()
        ref = weakref.ref(sink, self._sink_freed)
        self._sinks += (ref,)
        for name in names:
            self._frame_routes[name] = self._frame_routes.get(name, ()) + (ref,)

    def remove(self, sink: Any) -> None:
        """Stops routing events to ``sink`` (loop thread). A push already under way may still land."""
        self._keep(lambda held: held is not sink and _referent(held) is not sink)

    def _sink_freed(self, _ref: "weakref.ReferenceType[Any]") -> None:
        self._freed = True  # any thread: the loop forgets it at its next drain

    def _forget_freed(self) -> None:
        self._freed = False
        self._keep(lambda held: _referent(held) is not None)

    def _keep(self, wanted: Any) -> None:
        if all(wanted(held) for held in self._sinks):
            return
        self._sinks = tuple(held for held in self._sinks if wanted(held))
        self._routes = {name: tuple(held for held in sinks if wanted(held)) for name, sinks in self._routes.items()}
        self._frame_routes = {
            name: tuple(held for held in sinks if wanted(held)) for name, sinks in self._frame_routes.items()
        }

    @property
    def sink_count(self) -> int:
        """How many sinks events are routed to (loop)."""
        if self._freed:
            self._forget_freed()
        return len(self._sinks)

    def close(self) -> None:
        """Ignores every later event and forgets the sinks (loop thread)."""
        self._closed = True
        self._queue.detach(self.delegate)
        self._routes = {}
        self._frame_routes = {}
        self._sinks = ()


def _referent(held: Any) -> Any:
    """What a sink held weakly refers to (None once freed); a sink held strongly is itself."""
    if isinstance(held, _WeakSink):
        return held.ref()
    if isinstance(held, weakref.ref):
        return held()
    return held


def _why_lost() -> str:
    return f"more than {FRAME_BYTES_LIMIT:,} bytes of frames were waiting for the event loop"
