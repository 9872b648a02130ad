"""``loop_local``: one object of a kind per event loop, made on first use.

What every connection on a loop shares (the wake-up, the pacing timer) hangs off the loop here,
in a table keyed weakly by the loop: an object kept for a loop must refer to it only weakly, or
the loop (and all the object reaches) would never be freed.
"""

import asyncio
import weakref
from typing import Any, Callable, Dict, Type, TypeVar

T = TypeVar("T")

# For each loop, the object of each kind made for it.
_made: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Dict[Type[Any], Any]]" = weakref.WeakKeyDictionary()


def loop_local(loop: asyncio.AbstractEventLoop, kind: Type[T], make: Callable[[asyncio.AbstractEventLoop], T]) -> T:
    """The object of ``kind`` kept for ``loop``, made with ``make(loop)`` the first time (loop thread)."""
    made = _made.setdefault(loop, {})
    found = made.get(kind)
    if found is None:
        found = made[kind] = make(loop)
    return found
