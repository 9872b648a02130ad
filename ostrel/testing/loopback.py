"""The loopback SDK as one test sees it: fresh rooms, the SDK clock, the faults it can
simulate, and the checks made when the test ends.

``Loopback`` notes, when it starts, which clouds are alive, whether the clock is frozen and the
report interval, and forgets the exception texts kept so far: those the SDK kept (exceptions
that left a callback) and those the binding kept (errors of the callbacks it reports on
standard error). ``close`` waits for the test's callbacks to return, restores what was done
through it (clock, faults, report interval), closes its participants and reports what the test
left wrong: exceptions that escaped a delegate callback, a callback that did not return, and
clouds still alive after a garbage collection. It drives only ``ostrel_loopback``; under a
vendor SDK, where that module cannot load, making one raises ``LoopbackUnavailable`` with the
reason.

A callback still running when ``close`` gives up on it, and any still running when the next
``Loopback`` starts, is disowned: an exception it raises later belongs to no test, so it is
not reported against the next one.
"""

# pyright: reportPossiblyUnboundVariable=false
# (_controls is bound whenever UNAVAILABLE is None, and nothing reaches it otherwise: making a
# Loopback checks UNAVAILABLE first.)
import collections
import ctypes
import gc
import itertools
import re
import sys
import threading
import types
import weakref
from traceback import format_stack
from typing import Any, Awaitable, List, Optional, Set, Type, TypeVar, Union, cast

import _ostrel
import ostrel

from .room import Room

T = TypeVar("T")

try:
    import ostrel_loopback as _controls

    # Why the loopback SDK's controls cannot be used, or None when they can.
    UNAVAILABLE: Optional[str] = None
except (ImportError, OSError, AttributeError) as error:  # a vendor libostrel.so has no controls
    UNAVAILABLE = "the loopback SDK's controls (ostrel_loopback) cannot be used here: %s" % error

# How long the end of a test waits for the callbacks still running to return, in seconds.
CALLBACK_RETURN_S = 30.0
# How long the start of a test waits for the events queued before it to be delivered.
SETTLE_S = 5.0

# Numbers rooms made by room() apart, process-wide.
_room_numbers = itertools.count(1)

# The Loopbacks that a test runs in, outermost first: the fixture's and those of with-blocks,
# which are sure to be closed (weakly all the same). One made while another is open is nested.
_open: List["weakref.ref[Loopback]"] = []
# The binding's record of the errors that callbacks reported on standard error. Called with the
# GIL held (a PyDLL function), as the record requires; the argument disowns the callbacks
# running now.
_take_reported = ctypes.PyDLL(_ostrel.__file__).ostrel_binding_take_reported_errors
_take_reported.restype = ctypes.py_object
_take_reported.argtypes = [ctypes.c_int]


def _reported_errors(disown_running: bool = False) -> List[str]:
    """The texts of the errors that callbacks reported on standard error since the last call."""
    return cast(List[str], _take_reported(1 if disown_running else 0))


class LoopbackUnavailable(RuntimeError):
    """The SDK in use is not the loopback SDK, or its control module cannot load."""


def _found(what: str, user_id: str, reached: int) -> int:
    __tracebackhide__ = True
    if reached == 0:
        raise LookupError("%s: no member %r is in a room" % (what, user_id))
    return reached


class Clock:
    """The SDK clock that every timed action of the loopback SDK reads (paced audio,
    network-quality reports, reconnects, media delay). It runs in real time until frozen."""

    def __init__(self) -> None:
        # Whether freeze() was called and resume() was not since.
        self._frozen = False
        # Whether freeze() or resume() was called: the state found at the start is then restored.
        self._used = False

    def freeze(self) -> None:
        """Stops the clock: nothing timed happens until it is advanced or resumed."""
        _controls.clock_freeze()
        self._frozen = self._used = True

    def advance(self, ms: int, timeout: float = 5.0) -> None:
        """Moves the clock forward by ``ms``, runs every timed action that falls due in time
        order, and returns once the events they caused have been delivered. Raises TimeoutError
        when their callbacks have not all returned after ``timeout`` seconds of real time."""
        __tracebackhide__ = True
        if ms < 0:
            raise ValueError("the clock only moves forward (ms=%d)" % ms)
        start = _controls.clock_now_ms()
        if not _controls.clock_advance(ms, timeout):
            where = ""
            if _controls.clock_frozen():
                where = "; the clock stopped %d ms into the step" % (_controls.clock_now_ms() - start)
            raise TimeoutError(
                "clock.advance(%d) gave up after %g s: the callbacks of the timed work due on "
                "the way had not all returned (a callback blocks or is slow)%s" % (ms, timeout, where)
            )

    def now_ms(self) -> int:
        """The clock's time in milliseconds."""
        return _controls.clock_now_ms()

    def resume(self) -> None:
        """Goes back to real time."""
        _controls.clock_resume()
        self._frozen = False
        self._used = True

    @property
    def frozen(self) -> bool:
        """Whether the clock was frozen through this object and not resumed since."""
        return self._frozen

    def _restore(self, frozen: bool) -> None:
        """Puts the clock back in the state found at the start (frozen or not), if it was used."""
        if self._used and _controls.clock_frozen() != frozen:
            if frozen:
                _controls.clock_freeze()
            else:
                _controls.clock_resume()
        self._frozen = self._used = False


class Faults:
    """Network trouble for members, named by user id. Each raises LookupError when no such
    member is in a room (a misspelt id would otherwise do nothing) and returns the number of
    members it reached. ``reset`` clears what was set through it."""

    def __init__(self) -> None:
        # Members given media loss, media delay, a network quality, or dropped messages.
        self._lossy: Set[str] = set()
        self._delayed: Set[str] = set()
        self._degraded: Set[str] = set()
        self._dropping: Set[str] = set()

    def loss(self, user_id: str, audio: float = 0.0, video: float = 0.0, seed: Optional[int] = None) -> int:
        """That fraction of the audio and video frames delivered to the member are lost
        (reproducibly with a seed); ``loss(user_id)`` clears it."""
        __tracebackhide__ = True
        reached = _found("loss", user_id, _controls.media_loss(user_id, audio=audio, video=video, seed=seed))
        self._lossy.add(user_id)
        return reached

    def delay(self, user_id: str, ms: int, jitter_ms: int = 0) -> int:
        """Media to the member arrives ``ms`` (plus up to ``jitter_ms``) later on the SDK
        clock, in order; ``delay(user_id, 0)`` clears it."""
        __tracebackhide__ = True
        reached = _found("delay", user_id, _controls.media_delay(user_id, ms, jitter_ms=jitter_ms))
        self._delayed.add(user_id)
        return reached

    def disconnect(self, user_id: str, ms: int) -> int:
        """The member loses its connection and reconnects ``ms`` later on the SDK clock."""
        __tracebackhide__ = True
        return _found("disconnect", user_id, _controls.disconnect(user_id, ms))

    def kick(self, user_id: str, reason: int = 0) -> int:
        """Removes the member from its room; the others see it leave with ``reason``."""
        __tracebackhide__ = True
        return _found("kick", user_id, _controls.kick(user_id, reason))

    def raise_error(self, user_id: str, code: Union[int, ostrel.Error]) -> int:
        """Delivers OnError(code) to the member."""
        __tracebackhide__ = True
        return _found("raise_error", user_id, _controls.raise_error(user_id, int(code)))

    def drop_messages(self, user_id: str, count: int) -> int:
        """The member's next ``count`` custom command messages are lost."""
        __tracebackhide__ = True
        reached = _found("drop_messages", user_id, _controls.drop_messages(user_id, count))
        self._dropping.add(user_id)
        return reached

    def set_network_quality(self, user_id: str, quality: Union[int, ostrel.NetworkQuality]) -> int:
        """Sets the member's simulated network quality."""
        __tracebackhide__ = True
        reached = _found("set_network_quality", user_id, _controls.set_network_quality(user_id, int(quality)))
        self._degraded.add(user_id)
        return reached

    def reset(self) -> None:
        """Clears every fault set through this object."""
        for user_id in self._lossy:
            _controls.media_loss(user_id)
        for user_id in self._delayed:
            _controls.media_delay(user_id, 0)
        for user_id in self._degraded:
            _controls.set_network_quality(user_id, int(ostrel.NETWORK_QUALITY_EXCELLENT))
        for user_id in self._dropping:
            _controls.drop_messages(user_id, 0)
        for members in (self._lossy, self._delayed, self._degraded, self._dropping):
            members.clear()


class Loopback:
    """A clean loopback SDK for one test: ``room()``, ``clock``, ``faults``, ``wait_idle``.
    Usable as a context manager outside pytest, where leaving the block raises AssertionError
    for what ``close`` finds."""

    def __init__(self, prefix: str = "room") -> None:
        if UNAVAILABLE is not None:
            raise LoopbackUnavailable(UNAVAILABLE)
        # The SDK clock.
        self.clock = Clock()
        # The faults the SDK simulates.
        self.faults = Faults()
        # Start of the ids of rooms made by room(), letters, digits, '-' and '_' only.
        self._prefix = re.sub(r"[^A-Za-z0-9_-]+", "-", prefix)[:60] or "room"
        # Rooms made by room(), closed by close().
        self._rooms: List[Room] = []
        # Whether set_quality_interval() changed the report interval.
        self._interval_changed = False
        # Texts taken from the SDK's and the binding's records and not reported yet.
        self._taken: List[str] = []
        gc.collect()
        outer = _open_loopbacks()
        # Whether it was made inside another one (a with-block in a test that has the fixture),
        # whose test the texts kept so far and the callbacks running now belong to.
        self._nested = bool(outer)
        if outer:
            outer[-1]._taken = outer[-1].take_escaped()
        else:
            # Callbacks still running now began before the test: they are disowned (and no longer
            # waited for) before their texts are forgotten, so that none of theirs comes later.
            _controls.wait_idle(SETTLE_S)
            _controls.disown_running()
            _reported_errors(disown_running=True)
        _controls.clear_escaped()
        # What close() restores: whether the clock was frozen, and the report interval.
        self._clock_was_frozen = _controls.clock_frozen()
        self._interval_before = _controls.quality_interval()
        # The instances alive before the test, by number; others alive at the end are its leaks.
        self._instances_before = {number for number, _, _ in _controls.instances()}
        # ids of the clouds alive before the test, looked for only when there are any.
        self._clouds_before = {id(cloud) for cloud in _clouds()} if self._instances_before else set()

    def run(self, main: Awaitable[T], *, timeout: float = 60.0) -> T:
        """Runs the coroutine ``main`` to its end on a new event loop whose clock is the SDK
        clock, and returns its result or raises its exception. For the run the clock is frozen
        and moves only with the loop: whenever every task waits, it jumps to the next moment
        anything is due (an asyncio timer, or the SDK's paced audio, reports, reconnects,
        delayed media), so ``asyncio.sleep(30)`` takes no wall time and every run gives the
        same sequence. ``timeout`` is in real seconds. Tasks still running when ``main`` ends
        are cancelled and fail the run, naming them, as does an exception nobody retrieved.
        Blocking waits on the real clock (a participant's ``wait_for``) work for what the SDK
        delivers without its clock moving; for anything timed use ``await wait_for_async``.
        It uses asyncio's own loop, never uvloop."""
        __tracebackhide__ = True
        from . import virtual_time  # it needs ostrel_loopback, which a Loopback has

        return virtual_time.run(main, timeout=timeout)

    def room(self, name: Optional[str] = None) -> Room:
        """A room no other test uses, or the room ``name`` when given (``ValueError`` for an
        id the SDK would refuse)."""
        __tracebackhide__ = True
        room = Room(name if name is not None else "%s-%d" % (self._prefix, next(_room_numbers)))
        self._rooms.append(room)
        return room

    def wait_idle(self, timeout: float = 5.0) -> None:
        """Waits until every event queued so far has been delivered and its callback has
        returned; raises TimeoutError after ``timeout`` seconds."""
        __tracebackhide__ = True
        if not _controls.wait_idle(timeout):
            raise TimeoutError("the SDK still had events to deliver after %g s" % timeout)

    def set_quality_interval(self, ms: int) -> None:
        """Sets the interval of OnNetworkQuality reports (0 stops them) until the test ends."""
        _controls.set_quality_interval(ms)
        self._interval_changed = True

    def take_escaped(self) -> List[str]:
        """The texts of exceptions that escaped delegate callbacks so far, which the end of
        the test then no longer reports: for a test that provokes one on purpose. Errors of
        the callbacks the binding reports on standard error (OnNetworkQuality,
        OnReceiveCustomCmdMsg, OnSeiMessageReceived) are among them, as written there."""
        texts = self._taken + _controls.escaped() + _reported_errors()
        _controls.clear_escaped()
        self._taken = []
        return texts

    def close(self, check_leaks: bool = True) -> List[str]:
        """Ends the test's use of the SDK and returns what it found wrong (empty when nothing):
        waits up to ``CALLBACK_RETURN_S`` for the callbacks to return, restores the clock,
        faults and report interval set through this object, closes the participants, collects
        garbage and looks for escaped exceptions and, when ``check_leaks``, for clouds still
        alive that were not before."""
        problems: List[str] = []
        outermost = not self._nested
        settled = _controls.wait_idle(CALLBACK_RETURN_S)
        if not settled:
            problems.append(self._give_up(outermost, "%g s after the test" % CALLBACK_RETURN_S))
        self.faults.reset()
        self.clock._restore(self._clock_was_frozen)
        if self._interval_changed:
            _controls.set_quality_interval(self._interval_before)
            self._interval_changed = False
        for room in self._rooms:
            room.close()
        self._rooms.clear()
        gc.collect()
        if settled and not _controls.wait_idle(SETTLE_S):
            problems.append(self._give_up(outermost, "%g s after the test's participants were closed" % SETTLE_S))
        _open[:] = [ref for ref in _open if ref() not in (self, None)]
        escaped = self.take_escaped()
        if escaped:
            problems.insert(
                0,
                "%d exception(s) escaped a delegate callback during the test:\n%s" % (len(escaped), _grouped(escaped)),
            )
        if check_leaks:
            leaks = self._leaks()
            if leaks:
                problems.append(leaks)
        return problems

    def _give_up(self, outermost: bool, when: str) -> str:
        """Describes the callbacks that have not returned by ``when``, and disowns them unless
        this is inside another test's Loopback."""
        where = _callback_stacks()
        if outermost:
            _controls.disown_running()
            self._taken += _reported_errors(disown_running=True)
        return "a delegate callback was still running %s%s%s" % (
            when,
            "; what it raises from now on is not reported" if outermost else "",
            ":\n" + where if where else "",
        )

    def _leaks(self) -> str:
        """What the clouds made during the test and still alive are, or ''."""
        leaked = [(user, room) for number, user, room in _controls.instances() if number not in self._instances_before]
        if not leaked:
            return ""
        members = ", ".join(
            "user %r in room %r" % (user, room) if user is not None else "one in no room" for user, room in leaked
        )
        delegates = [_delegate_class(cloud) for cloud in _clouds() if id(cloud) not in self._clouds_before]
        found = ""
        if len(leaked) == 1 and len(delegates) == 1:
            found = " (delegate: %s)" % delegates[0]
        elif delegates:
            found = "; delegates of those the garbage collector finds: %s" % ", ".join(sorted(delegates))
        return "%d cloud(s) made during the test still alive after a garbage collection: %s%s" % (
            len(leaked),
            members,
            found,
        )

    def _enclose(self) -> None:
        """Makes this the Loopback that those made before it is closed are nested in; called
        where closing it is certain (a with-block, the fixture)."""
        _open.append(weakref.ref(self))

    def __enter__(self) -> "Loopback":
        self._enclose()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[types.TracebackType],
    ) -> None:
        problems = self.close(check_leaks=kind is None)
        if problems and kind is None:
            raise AssertionError("\n".join(problems))


def _grouped(texts: List[str]) -> str:
    """The texts, each once, in order of first appearance, with how often it came when more than
    once (a callback that fails every time fails alike)."""
    counts = collections.Counter(text.rstrip() for text in texts)
    return "\n\n".join(text if n == 1 else "%s\n(%d times)" % (text, n) for text, n in counts.items())


def _open_loopbacks() -> List[Loopback]:
    """The Loopbacks open that one made now is nested in, outermost first."""
    found = [ref() for ref in _open]
    return [kit for kit in found if kit is not None]


def _clouds() -> List[Any]:
    """The VONUCloud objects alive (the garbage collector tracks them all)."""
    return [o for o in gc.get_objects() if isinstance(o, ostrel.VONUCloud)]


def _delegate_class(cloud: Any) -> str:
    """The class of a cloud's delegate, as ``module.Class``, or 'none' for a cloud without."""
    for referent in gc.get_referents(cloud):
        if isinstance(referent, ostrel.VONUCloudDelegate):
            kind = type(referent)
            return (
                kind.__qualname__
                if kind.__module__ in ("_ostrel", "builtins")
                else "%s.%s" % (kind.__module__, kind.__qualname__)
            )
    return "none"


def _callback_stacks() -> str:
    """Where the SDK's threads that run Python code are: the callbacks still running."""
    ours = {t.ident for t in threading.enumerate() if not isinstance(t, threading._DummyThread)}
    stacks = [
        "".join(format_stack(frame, limit=-8)).rstrip()
        for ident, frame in sys._current_frames().items()
        if ident not in ours
    ]
    return "\n\n".join(stacks)
