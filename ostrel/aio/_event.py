"""``Event``: one delegate callback as the SDK made it.

An event is a named tuple ``(name, args, time)``, so code that unpacks or compares it as such keeps
working; the class of each callback (``ostrel.aio.events``) adds the callback's arguments as
attributes named as the delegate's parameters (``event.user_id``, ``event.message``).
"""
from typing import Any, NamedTuple, Tuple


class Event(NamedTuple):
    """One delegate callback: the method's ``name``, its ``args`` exactly as the delegate method
    received them, and ``time``, when the SDK called on the loop's clock (``loop.time()``: on an
    ordinary loop ``time.monotonic()``, on ``ostrel.testing``'s the SDK clock). The class of each
    callback, in ``ostrel.aio.events``, names the arguments too."""

    name: str  # the delegate method's name, e.g. "OnRemoteUserEnterRoom"
    args: Tuple[Any, ...]  # exactly the arguments the delegate method received
    time: float  # the loop's time (loop.time()) when the SDK called
