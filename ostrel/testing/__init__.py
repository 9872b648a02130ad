"""Testing bots offline on the loopback SDK.

Installed with the package, the pytest plugin ``ostrel`` (``ostrel.testing.plugin``) gives
every test the fixture ``loopback``: fresh rooms with scripted participants, the SDK clock,
simulated network faults, and a teardown that fails the test when an exception escaped a
delegate callback, a callback did not return or a cloud outlived it. The classes work without pytest too
(``with Loopback() as sdk: ...``).
"""

from ostrel.aio import EVENT_NAMES, Event

from .loopback import UNAVAILABLE, Clock, Faults, Loopback, LoopbackUnavailable
from .participant import Participant
from .quiet import QuietDelegate
from .recorder import EventRecorder, Predicate
from .room import APP_ID, Room
from .signals import dominant_hz, level_dbfs, pattern_i420, tone_pcm
from .thread_states import thread_states

__all__ = [
    "APP_ID",
    "EVENT_NAMES",
    "UNAVAILABLE",
    "Clock",
    "Event",
    "EventRecorder",
    "Faults",
    "Loopback",
    "LoopbackUnavailable",
    "Participant",
    "Predicate",
    "QuietDelegate",
    "Room",
    "dominant_hz",
    "level_dbfs",
    "pattern_i420",
    "thread_states",
    "tone_pcm",
]
