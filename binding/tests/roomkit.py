"""What the binding tests add to ostrel.testing for rooms on the loopback SDK: parameters with a
default room id, a recorder that waits on a test over its whole log (the subprocess scenarios
print whether it came true rather than raising), and a wait for the SDK to go idle."""

import ostrel_loopback
from ostrel.testing import EventRecorder, Room


def enter_params(user, room="room-1", **options):
    """EnterRoomParams for ``user`` in ``room``; ``options`` as for ``Room.params``."""
    return Room(room).params(user, **options)


class EventLog(EventRecorder):
    """An EventRecorder whose ``wait_for`` takes a test over the whole log and answers whether
    it came true in time, instead of waiting for one named event."""

    def names(self):
        """The names of the events received so far, in arrival order."""
        return [name for name, _ in self.events]

    def wait_for(self, predicate, timeout=10.0):  # the log-wide form the binding tests use
        with self._changed:
            return self._changed.wait_for(lambda: predicate(self), timeout)


def idle():
    assert ostrel_loopback.wait_idle(10.0)
