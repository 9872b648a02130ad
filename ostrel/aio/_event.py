"""``Event``: one delegate callback as the SDK made it.

An event is the pair ``(name, args)`` (a tuple, so ``name, args = event`` works, as it does for
what ``ostrel.testing``'s recorders keep) with the time the SDK called as ``event.time``; the
class of each callback (``ostrel.aio.events``) adds the callback's arguments as attributes named
as the delegate's parameters (``event.user_id``, ``event.message``).
"""

from typing import Any, Tuple, Type, TypeVar

E = TypeVar("E", bound="Event")


class Event(Tuple[str, Tuple[Any, ...]]):
    """One delegate callback: ``name``, the method's name; ``args``, its arguments exactly as the
    delegate method received them; ``time``, when the SDK called, on the clock of whoever
    received it (``loop.time()`` for ``ostrel.aio``: ``time.monotonic()`` on an ordinary loop,
    the SDK clock under ``ostrel.testing``'s ``run``). It is the tuple ``(name, args)``; two
    events are equal when their names and arguments are."""

    time: float  # when the SDK called

    def __new__(cls: Type[E], name: str, args: Tuple[Any, ...], time: float = 0.0) -> E:
        event = tuple.__new__(cls, (name, args))
        event.time = time
        return event

    @property
    def name(self) -> str:
        """The delegate method's name, e.g. "OnRemoteUserEnterRoom"."""
        return self[0]

    @property
    def args(self) -> Tuple[Any, ...]:
        """Exactly the arguments the delegate method received, in order."""
        return self[1]

    def __getnewargs__(self) -> Tuple[str, Tuple[Any, ...], float]:
        return self[0], self[1], self.time

    def __repr__(self) -> str:
        return "%s(name=%r, args=%r, time=%r)" % (type(self).__name__, self[0], self[1], self.time)
