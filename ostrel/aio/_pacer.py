"""``Pacer``: one timer per event loop for every ``AudioSender`` on it.

Each sender asks for the moment its next frame is due; the pacer keeps those moments in a heap
and holds one timer, at the earliest. When it fires, every sender whose moment is due by then or
within ``COALESCE_S`` after it sends what is due: a farm of senders at scattered phases costs the
loop a few wake-ups per frame length instead of one per sender and frame. A frame therefore goes
out at most ``COALESCE_S`` early, never more than half a frame (each sender bounds it by its own
frame length), so the audio handed to the SDK stays within the one-frame lead.

A sender that changes its mind (``clear()``, a new run) just asks again; a moment it no longer
waits for is skipped when it comes up (the sender says whether it is still the one it wants).

The loop's event queue calls ``run_due`` as it takes a batch of events (``_hub.py``), so that
frames due by then go out before the batch is routed rather than after it; the timer that comes
due later finds nothing to do.

The pacer refers to its loop and to the senders weakly, and keeps no handle of its timer (a timer
it no longer wants fires and is ignored): a loop closed with moments still waiting keeps neither
the loop nor its senders alive.
"""

import asyncio
import heapq
import itertools
import weakref
from typing import Callable, List, Optional, Protocol, Tuple

# How far ahead of its moment a frame may go out, to share the wake-up of an earlier one (s).
COALESCE_S = 0.005


class Paced(Protocol):
    """What the pacer calls: ``due(when, now)`` at (or just before) the moment ``when`` asked for."""

    @property
    def ref(self) -> Callable[[], Optional["Paced"]]:
        """A weak reference to the sender: how the pacer holds it."""
        ...

    def due(self, when: float, now: float) -> None:
        """Sends what is due by ``now`` plus the sender's allowance, if ``when`` is still its moment."""


class Pacer:
    """The timer of one loop's senders; see the module's note."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = weakref.ref(loop)  # whose clock and timers it uses
        self._moments: List[Tuple[float, int, Callable[[], Optional[Paced]]]] = []  # a heap of (when, order, sender)
        self._order = itertools.count()  # breaks ties in the order senders asked
        self._timer_at = float("inf")  # when the timer it wants fires: at the earliest moment

    def ask(self, sender: Paced, when: float) -> None:
        """Calls ``sender.due`` at ``when`` (loop thread)."""
        heapq.heappush(self._moments, (when, next(self._order), sender.ref))
        if when < self._timer_at:
            self._arm(when)

    def _arm(self, when: float) -> None:
        loop = self._loop()
        if loop is not None:
            loop.call_at(when, self._fire, when)
            self._timer_at = when

    def run_due(self) -> None:
        """Sends what is due now, if the timer is due, ahead of its place among the loop's callbacks."""
        loop = self._loop()
        if loop is not None and loop.time() >= self._timer_at:
            self._fire(self._timer_at)

    def _fire(self, armed_at: float) -> None:
        if armed_at != self._timer_at:  # a timer made unwanted by an earlier one
            return
        self._timer_at = float("inf")
        loop = self._loop()
        if loop is None:
            return
        now = loop.time()
        moments = self._moments
        due = []
        while moments and moments[0][0] <= now + COALESCE_S:
            due.append(heapq.heappop(moments))
        for when, _, ref in due:
            sender = ref()
            if sender is not None:
                sender.due(when, now)
        if moments and moments[0][0] < self._timer_at:  # senders that asked again armed at their own moment
            self._arm(moments[0][0])
