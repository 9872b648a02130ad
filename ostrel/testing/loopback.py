"""The loopback SDK as one test sees it: fresh rooms, the SDK clock, the faults it can
simulate, and the checks made when the test ends.

``Loopback`` notes, when it starts, how many clouds are alive and forgets the exception texts
the SDK kept so far. ``close`` undoes what was done through it (clock frozen, faults set, report
interval changed), closes its participants and reports what the test left wrong: exceptions
that escaped a delegate callback, and clouds still alive after a garbage collection. It drives
only ``ostrel_loopback``; under a vendor SDK, where that module cannot load, making one raises
``LoopbackUnavailable`` with the reason.
"""
# pyright: reportPossiblyUnboundVariable=false
# (_controls is bound whenever UNAVAILABLE is None, and nothing reaches it otherwise: making a
# Loopback checks UNAVAILABLE first.)
import gc
import itertools
import re
import types
from typing import List, Optional, Set, Type, Union

import ostrel

from .room import Room

try:
    import ostrel_loopback as _controls
    # Why the loopback SDK's controls cannot be used, or None when they can.
    UNAVAILABLE: Optional[str] = None
except (ImportError, OSError, AttributeError) as error:  # a vendor libostrel.so has no controls
    UNAVAILABLE = "the loopback SDK's controls (ostrel_loopback) cannot be used here: %s" % error

# The network-quality report interval the SDK starts with, restored after a test changed it.
DEFAULT_QUALITY_INTERVAL_MS = 2000

# Numbers rooms made by room() apart, process-wide.
_room_numbers = itertools.count(1)


class LoopbackUnavailable(RuntimeError):
    """The SDK in use is not the loopback SDK, or its control module cannot load."""


def _found(what: str, user_id: str, reached: int) -> int:
    if reached == 0:
        raise LookupError("%s: no member %r is in a room" % (what, user_id))
    return reached


class Clock:
    """The SDK clock that every timed action of the loopback SDK reads (paced audio,
    network-quality reports, reconnects, media delay). It runs in real time until frozen."""

    def __init__(self) -> None:
        # Whether freeze() was called and resume() was not since.
        self._frozen = False

    def freeze(self) -> None:
        """Stops the clock: nothing timed happens until it is advanced or resumed."""
        _controls.clock_freeze()
        self._frozen = True

    def advance(self, ms: int) -> None:
        """Moves the clock forward by ``ms``, runs every timed action that falls due in time
        order, and returns once the events they caused have been delivered."""
        if ms < 0:
            raise ValueError("the clock only moves forward (ms=%d)" % ms)
        _controls.clock_advance(ms)

    def now_ms(self) -> int:
        """The clock's time in milliseconds."""
        return _controls.clock_now_ms()

    def resume(self) -> None:
        """Goes back to real time."""
        _controls.clock_resume()
        self._frozen = False

    @property
    def frozen(self) -> bool:
        """Whether the clock was frozen through this object and not resumed since."""
        return self._frozen


class Faults:
    """Network trouble for members, named by user id. Those acting on members present raise
    LookupError when no such member is in a room (a misspelt id would otherwise do nothing).
    ``reset`` clears what was set through it."""

    def __init__(self) -> None:
        # Members given media loss, media delay, a network quality, or dropped messages.
        self._lossy: Set[str] = set()
        self._delayed: Set[str] = set()
        self._degraded: Set[str] = set()
        self._dropping: Set[str] = set()

    def loss(self, user_id: str, audio: float = 0.0, video: float = 0.0, seed: Optional[int] = None) -> None:
        """That fraction of the audio and video frames delivered to the member are lost
        (reproducibly with a seed); ``loss(user_id)`` clears it."""
        _controls.media_loss(user_id, audio=audio, video=video, seed=seed)
        self._lossy.add(user_id)

    def delay(self, user_id: str, ms: int, jitter_ms: int = 0) -> None:
        """Media to the member arrives ``ms`` (plus up to ``jitter_ms``) later on the SDK
        clock, in order; ``delay(user_id, 0)`` clears it."""
        _controls.media_delay(user_id, ms, jitter_ms=jitter_ms)
        self._delayed.add(user_id)

    def disconnect(self, user_id: str, ms: int) -> int:
        """The member loses its connection and reconnects ``ms`` later on the SDK clock."""
        return _found("disconnect", user_id, _controls.disconnect(user_id, ms))

    def kick(self, user_id: str, reason: int = 0) -> int:
        """Removes the member from its room; the others see it leave with ``reason``."""
        return _found("kick", user_id, _controls.kick(user_id, reason))

    def raise_error(self, user_id: str, code: Union[int, ostrel.Error]) -> int:
        """Delivers OnError(code) to the member."""
        return _found("raise_error", user_id, _controls.raise_error(user_id, int(code)))

    def drop_messages(self, user_id: str, count: int) -> int:
        """The member's next ``count`` custom command messages are lost."""
        reached = _found("drop_messages", user_id, _controls.drop_messages(user_id, count))
        self._dropping.add(user_id)
        return reached

    def set_network_quality(self, user_id: str, quality: Union[int, ostrel.NetworkQuality]) -> int:
        """Sets the member's simulated network quality."""
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
        gc.collect()
        _controls.wait_idle(5.0)
        _controls.clear_escaped()
        # Clouds alive before the test; more at the end are the test's leaks.
        self._baseline = _controls.live_instances()

    def room(self, name: Optional[str] = None) -> Room:
        """A room no other test uses, or the room ``name`` when given."""
        room = Room(name if name is not None else "%s-%d" % (self._prefix, next(_room_numbers)))
        self._rooms.append(room)
        return room

    def wait_idle(self, timeout: float = 5.0) -> None:
        """Waits until every event queued so far has been delivered and its callback has
        returned; raises TimeoutError after ``timeout`` seconds."""
        if not _controls.wait_idle(timeout):
            raise TimeoutError("the SDK still had events to deliver after %g s" % timeout)

    def set_quality_interval(self, ms: int) -> None:
        """Sets the interval of OnNetworkQuality reports (0 stops them) until the test ends."""
        _controls.set_quality_interval(ms)
        self._interval_changed = True

    def take_escaped(self) -> List[str]:
        """The texts of exceptions that escaped delegate callbacks so far, which the end of
        the test then no longer reports: for a test that provokes one on purpose."""
        texts = _controls.escaped()
        _controls.clear_escaped()
        return texts

    def close(self, check_leaks: bool = True) -> List[str]:
        """Ends the test's use of the SDK and returns what it found wrong (empty when nothing):
        undoes the clock, faults and report interval set through this object, closes the
        participants, collects garbage and looks for escaped exceptions and, when
        ``check_leaks``, for clouds still alive that were not before."""
        problems: List[str] = []
        if not _controls.wait_idle(5.0):
            problems.append("the SDK still had events to deliver 5 s after the test: a callback did not return")
        self.faults.reset()
        if self.clock.frozen:
            self.clock.resume()
        if self._interval_changed:
            _controls.set_quality_interval(DEFAULT_QUALITY_INTERVAL_MS)
            self._interval_changed = False
        for room in self._rooms:
            room.close()
        self._rooms.clear()
        gc.collect()
        _controls.wait_idle(5.0)
        escaped = self.take_escaped()
        if escaped:
            problems.append("%d exception(s) escaped a delegate callback during the test:\n%s" % (
                len(escaped), "\n\n".join(escaped)))
        leaked = _controls.live_instances() - self._baseline
        if check_leaks and leaked > 0:
            problems.append("%d cloud(s) made during the test still alive after a garbage collection" % leaked)
        return problems

    def __enter__(self) -> "Loopback":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[types.TracebackType]) -> None:
        problems = self.close(check_leaks=kind is None)
        if problems and kind is None:
            raise AssertionError("\n".join(problems))
