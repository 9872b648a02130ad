"""The consumer's half of a stream: async iteration over what the SDK delivered.

A subclass owns the queue (filled as the hub hands over a batch of events, ``_take`` as the
consumer reads); this class waits for items, stamps their lag, derives the drops, logs them, and
ends the iteration. Everything runs on the loop, so no lock is needed: the hub pokes each stream
that got items after the batch, which resolves a waiting consumer. One consumer per stream.

A stream is an async context manager (``async with conn.events(...) as stream:``), which closes
it on the way out. The hub holds a stream only weakly, so one nothing refers to (the iterator a
``break`` left) is freed and stops collecting at once; what its owner would undo on close
(unsubscribing a video stream, say) is then done on the loop.

A stream ends one of two ways. ``close()`` (the consumer's ``aclose()``, or the bot leaving the
room) drops what is queued, and the iteration stops (``StopAsyncIteration``). ``close(error)``
(the SDK ended the connection) stops collecting but lets the consumer take what was already
queued, and then raises ``error`` at every further read.
"""

import asyncio
import types
import weakref
from typing import Callable, Generic, List, NoReturn, Optional, Tuple, Type, TypeVar

from ._hub import Hub
from ._stats import DropWarning, StreamStats

T = TypeVar("T", covariant=True)
S = TypeVar("S", bound="Stream[object]")


def _undo_later(loop: asyncio.AbstractEventLoop, callbacks: List[Callable[[], None]]) -> None:
    """Runs a freed stream's close callbacks on its loop (the stream may die on any thread)."""
    if callbacks and not loop.is_closed():
        try:
            loop.call_soon_threadsafe(lambda: [callback() for callback in list(callbacks)])
        except RuntimeError:  # closed meanwhile
            pass


class Stream(Generic[T]):
    """An async iterator of items the SDK delivered; ends when closed."""

    def __init__(self, hub: Hub, what: str, on_close: Optional[Callable[[], None]] = None) -> None:
        self._hub = hub  # routes events here, and is told when the stream closes
        self._loop = hub.loop  # whose clock stamps the lag and whose futures the consumer waits on
        self._waiter: Optional["asyncio.Future[None]"] = None  # the consumer waiting for an item
        self._closed = False  # ended: by aclose(), the bot's exit or the SDK's end of the stay
        self._error: Optional[BaseException] = None  # raised once the queue is empty, if the SDK ended it
        self._on_close: List[Callable[[], None]] = [on_close] if on_close else []  # run once, on close
        self._received = 0  # items queued
        self._delivered = 0  # items handed to the consumer (loop)
        self._discarded = 0  # items still queued when the stream closed
        self._skipped = 0  # items queued that the stream no longer wanted (a narrowed backlog)
        self._max_depth = 0  # the most items queued at once
        self._max_lag = 0.0  # seconds, the longest from the SDK's call to the item's delivery
        self._evicted = False  # a full queue has let an item go: poke() looks for drops from then on
        self._warning = DropWarning(what, hub.loop.time)  # rate-limited drop log
        self._what = what  # the stream, as messages name it
        freed = weakref.finalize(self, _undo_later, hub.loop, self._on_close)  # if never closed
        freed.atexit = False

    # -- what a subclass provides ---------------------------------------------------------------
    def _take(self) -> Optional[Tuple[T, float]]:
        """The oldest queued item and its SDK time, or None (loop)."""
        raise NotImplementedError

    def _depth(self) -> int:
        """How many items are queued."""
        raise NotImplementedError

    def _clear(self) -> int:
        """Drops every queued item; returns how many there were."""
        raise NotImplementedError

    def _full(self) -> str:
        """What was full when items were dropped, for the drop warning."""
        raise NotImplementedError

    # -- shared behaviour -----------------------------------------------------------------------
    def _queued(self, depth: int) -> None:
        """Counts one queued item; ``depth`` is the queue's length after it."""
        self._received += 1
        if depth > self._max_depth:
            self._max_depth = depth

    def _dropped(self) -> int:
        return max(0, self._received - self._skipped - self._delivered - self._depth() - self._discarded)

    def _check_drops(self) -> None:
        self._warning.check(self._dropped(), self._full)

    @property
    def stats(self) -> StreamStats:
        """A snapshot of the stream's counters."""
        return StreamStats(
            received=self._received - self._skipped,
            dropped=self._dropped(),
            max_depth=self._max_depth,
            max_lag_ms=self._max_lag * 1000.0,
        )

    @property
    def closed(self) -> bool:
        """True once the stream has ended (items may still wait to be read if the SDK ended it)."""
        return self._closed

    def _deliver(self, item: Tuple[T, float]) -> T:
        # Hands one taken item to the consumer, counting it and its lag since the SDK's call.
        value, called = item
        self._delivered += 1
        lag = self._loop.time() - called
        if lag > self._max_lag:
            self._max_lag = lag
        return value  # drops are looked for by poke(), which follows every batch pushed

    def _ended(self) -> NoReturn:
        """Raises what ends a closed stream's iteration once nothing is left to read."""
        if self._error is not None:
            raise self._error.with_traceback(None)
        raise StopAsyncIteration

    def __aiter__(self) -> "Stream[T]":
        return self

    def take_nowait(self) -> Optional[T]:
        """The next item if one is waiting, else None; never waits. Once the SDK has ended the
        connection and nothing is left, raises ``ConnectionClosed`` instead."""
        self._hub.settle()
        item = self._take()
        if item is not None:
            return self._deliver(item)
        if self._closed and self._error is not None:
            self._ended()
        return None

    async def __anext__(self) -> T:
        while True:
            item = self._take()
            if item is not None:
                return self._deliver(item)
            if self._closed:
                self._ended()
            if self._waiter is not None:
                raise RuntimeError("ostrel.aio: a stream has one consumer at a time")
            waiter: "asyncio.Future[None]" = self._loop.create_future()
            self._waiter = waiter
            try:
                await waiter
            finally:
                self._waiter = None

    def poke(self) -> None:
        """Wakes the consumer if there is something for it (loop, after a burst)."""
        waiter = self._waiter
        if waiter is not None and not waiter.done() and (self._closed or self._depth()):
            waiter.set_result(None)
        if self._evicted:
            self._check_drops()

    def close(self, error: Optional[BaseException] = None) -> None:
        """Ends the stream now (loop). Without ``error`` what is queued is dropped and a waiting
        consumer gets StopAsyncIteration; with it, the queue is left to read and ``error`` follows."""
        if self._closed:
            return
        self._closed = True
        self._error = error
        self._hub.remove(self)
        if error is None:
            self._discarded += self._clear()
        self.poke()
        callbacks = list(self._on_close)
        self._on_close.clear()  # in place: the finalizer of a freed stream sees the same list
        for callback in callbacks:
            callback()

    def add_close_callback(self, callback: Callable[[], None]) -> None:
        """Runs ``callback`` when the stream ends (what its owner undoes: unsubscribing, say)."""
        self._on_close.append(callback)

    async def aclose(self) -> None:
        """Ends the stream (see ``close``)."""
        self.close()

    async def __aenter__(self: S) -> S:
        return self

    async def __aexit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[types.TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if not self._closed else "ended by the SDK" if self._error is not None else "closed"
        stats = self.stats
        return (
            f"<{type(self).__name__} {self._what}, {state}: {self._depth()} queued, {stats.received} received, "
            f"{self._delivered} read, {stats.dropped} dropped>"
        )
