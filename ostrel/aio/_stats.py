"""What a bounded stream counts, and the rate-limited warning it logs when it drops.

A stream counts what it queued (``received``, ``max_depth``) and what it handed over
(``delivered``, ``max_lag_ms``), all on the loop. Drops are not counted where they happen (a
full ``deque(maxlen=...)`` evicts its oldest item silently); they are derived: received, less
delivered, less still queued, less discarded at close. ``stats`` is a snapshot.
"""

import logging
from dataclasses import dataclass
from typing import Callable

log = logging.getLogger("ostrel.aio")

# At most one drop warning per stream in this many seconds.
DROP_LOG_INTERVAL = 1.0


@dataclass(frozen=True)
class StreamStats:
    """A snapshot of a stream's counters."""

    received: int  # items the SDK handed to the stream
    dropped: int  # items evicted, oldest first, because the stream was full
    max_depth: int  # the most items ever waiting at once
    max_lag_ms: float  # the longest time from the SDK's call to the item's delivery to the consumer


class DropWarning:
    """Logs a stream's new drops at WARNING, at most once per ``DROP_LOG_INTERVAL``."""

    def __init__(self, what: str, clock: Callable[[], float]) -> None:
        self._what = what  # the stream, as the warning names it
        self._clock = clock  # the loop's time
        self._reported = 0  # drops already logged
        self._last = float("-inf")  # the loop's time of the last warning

    def check(self, dropped: int, why: Callable[[], str]) -> None:
        """Logs if ``dropped`` grew and the last warning is old enough (loop thread); ``why()``
        says what was full (asked only then: this runs for every item)."""
        if dropped <= self._reported:
            return
        now = self._clock()
        if now - self._last < DROP_LOG_INTERVAL:
            return
        log.warning(
            "ostrel.aio: %s dropped %d item(s), %d in all: %s", self._what, dropped - self._reported, dropped, why()
        )
        self._reported, self._last = dropped, now
