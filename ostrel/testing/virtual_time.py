"""An asyncio event loop whose clock is the loopback SDK's, and ``run``, which runs a bot's
coroutine on it to its end.

The loop is asyncio's own selector loop with two things changed. ``time()`` is the SDK clock,
which stays frozen for the run. And where the loop would sleep, because every task waits, it
moves the SDK clock instead, to the next moment anything is due: the loop's own earliest timer
or the SDK's earliest timed work (paced audio, reports, reconnects, delayed media), whichever
comes first. Before it moves, it lets the SDK deliver every event already queued, and takes up
whatever that woke; moving runs the SDK's work due at that moment and delivers its events (the
clock reads the new moment while they are stamped), and the loop then runs what they woke before
any timer of a later moment. So ``asyncio.sleep(30)`` takes no wall time, a report due at 2 s
reaches the bot at 2 s, and the same scenario gives the same sequence every run.

The loop does not wait for work on other threads (``run_in_executor``) before moving the clock;
when nothing at all is due it waits for them in real time. ``timeout`` is in real seconds: a bot
that never ends (a loop of ``sleep`` calls runs without end in virtual time) fails then.

When ``main`` ends, ``run`` cancels the tasks still running and fails naming them, and fails for
any exception that reached the loop's exception handler (a task's exception nobody retrieved, a
callback's error), with its traceback. uvloop cannot be given another clock, so ``run`` always
uses this loop.
"""

# pyright: reportPossiblyUnboundVariable=false
import asyncio
import gc
import math
import selectors
import time
import traceback
from typing import Any, Awaitable, Dict, List, Optional, Tuple, TypeVar

import ostrel_loopback as _controls

T = TypeVar("T")

# Timers due within this much of the loop's time run now (the SDK clock counts milliseconds).
RESOLUTION_S = 0.0005


class RunTimeout(TimeoutError):
    """``run`` took longer than its timeout in real time."""


class _VirtualSelector:
    """The loop's selector, wrapped: where the loop would block, the SDK clock moves instead."""

    def __init__(self, selector: selectors.BaseSelector, loop: "VirtualTimeLoop") -> None:
        self._selector = selector  # the real one, for the loop's file descriptors
        self._loop = loop  # whose clock moves

    def select(self, timeout: Optional[float] = None) -> List[Tuple[selectors.SelectorKey, int]]:
        self._loop._check_deadline()
        ready = self._selector.select(0)
        if ready or (timeout is not None and timeout <= RESOLUTION_S):
            return ready
        return self._loop._idle(timeout)

    def __getattr__(self, name: str) -> Any:  # register, unregister, modify, get_key, get_map, close
        return getattr(self._selector, name)


class VirtualTimeLoop(asyncio.SelectorEventLoop):
    """An event loop on the SDK clock; see the module's note. Made by ``run``."""

    # Its clock stands still while events wait to be taken: ostrel.aio stamps them with the
    # loop's time as it takes them, which is the time of the SDK's call.
    _ostrel_stepped_clock = True

    def __init__(self, deadline: float) -> None:
        super().__init__()
        self._selector: Any = _VirtualSelector(self._selector, self)
        self._clock_resolution = RESOLUTION_S
        self._deadline = deadline  # time.monotonic() by which the run must end
        self._now = _controls.clock_now_ms() / 1000.0  # the SDK clock, as the loop last set or read it

    def time(self) -> float:
        """The SDK clock, in seconds; also read on SDK threads (``Event.time``)."""
        return self._now

    def _check_deadline(self) -> None:
        if time.monotonic() > self._deadline:
            raise RunTimeout()

    def _idle(self, timeout: Optional[float]) -> List[Tuple[selectors.SelectorKey, int]]:
        """Every task waits: deliver what the SDK has queued, else move the clock to what is due."""
        real: selectors.BaseSelector = self._selector._selector
        if not _controls.wait_idle(max(0.0, self._deadline - time.monotonic())):
            raise RunTimeout()
        ready = real.select(0)
        if ready or self._ready:  # type: ignore[attr-defined]
            return ready
        steps = [
            ms
            for ms in (_controls.clock_next_due_ms(), None if timeout is None else math.ceil(timeout * 1000.0 - 1e-6))
            if ms is not None
        ]
        if not steps:  # nothing is due in virtual time: what the tasks wait for comes from another thread
            return real.select(max(0.0, min(self._deadline - time.monotonic(), 1.0)))
        step = max(0, min(steps))
        self._now = (_controls.clock_now_ms() + step) / 1000.0  # what the events of the step are stamped with
        if not _controls.clock_advance(step, max(0.0, self._deadline - time.monotonic())):
            raise RunTimeout()
        self._now = _controls.clock_now_ms() / 1000.0
        return real.select(0)


def run(main: Awaitable[T], *, timeout: float = 60.0) -> T:
    """Runs ``main`` to its end on a new ``VirtualTimeLoop`` and returns its result or raises its
    exception; see the module's note. The SDK clock is frozen for the run and left as it was."""
    deadline = time.monotonic() + timeout
    was_frozen = _controls.clock_frozen()
    _controls.clock_freeze()
    loop = VirtualTimeLoop(deadline)
    reported: List[Dict[str, Any]] = []
    loop.set_exception_handler(lambda _loop, context: reported.append(context))
    started = loop.time()
    problems: List[str] = []
    try:
        asyncio.set_event_loop(loop)
        task: "asyncio.Task[T]" = asyncio.ensure_future(main, loop=loop)
        try:
            return loop.run_until_complete(task)
        except RunTimeout:
            task.cancel()
            raise RunTimeout(
                "the run took longer than %g s of real time (%.3f s of SDK time): does the bot "
                "ever end?" % (timeout, loop.time() - started)
            ) from None
        finally:
            problems += _cancel_the_rest(loop)
            gc.collect()  # a task's exception nobody retrieved is reported when the task is freed
            problems += [_describe(context) for context in reported]
            if problems and not _failed(task):
                raise AssertionError("\n\n".join(problems))
    finally:
        asyncio.set_event_loop(None)
        loop.close()
        if not was_frozen:
            _controls.clock_resume()


def _cancel_the_rest(loop: VirtualTimeLoop) -> List[str]:
    """Cancels the tasks still running once ``main`` ended; says which they were."""
    left = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for t in left:
        t.cancel()
    if left:
        loop._deadline = max(loop._deadline, time.monotonic() + 5.0)  # time to end them
        try:
            loop.run_until_complete(asyncio.gather(*left, return_exceptions=True))
        except RunTimeout:
            pass
    loop.run_until_complete(loop.shutdown_asyncgens())
    if not left:
        return []
    names = ", ".join(sorted(t.get_coro().__qualname__ for t in left))  # type: ignore[union-attr]
    return ["%d task(s) still running when the main coroutine ended were cancelled: %s" % (len(left), names)]


def _failed(task: "asyncio.Task[Any]") -> bool:
    return task.done() and (task.cancelled() or task.exception() is not None)


def _describe(context: Dict[str, Any]) -> str:
    error = context.get("exception")
    where = context.get("future") or context.get("handle")
    text = "%s%s" % (context.get("message", "an error reached the event loop"), " (%r)" % where if where else "")
    if error is not None:
        text += ":\n" + "".join(traceback.format_exception(type(error), error, error.__traceback__))
    return text
