"""Helpers for tests that run real rooms on the loopback SDK."""
import threading

import _ostrel as o
import ostrel_loopback

APP_ID = 1400000001
# Every callback a delegate subclass may override, in the class's order.
EVENTS = [name for name in vars(o.VONUCloudDelegate) if name.startswith("On")]


def enter_params(user, room="room-1", app_id=APP_ID, role=None, obtain=None, pixel_in=False, pixel_out=False):
    params = o.EnterRoomParams()
    params.room.sdk_app_id = app_id
    params.room.str_room_id.SetValue(room)
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("sig-" + user)
    if role is not None:
        params.role = role
    if obtain is not None:
        params.audio_obtain_params = obtain
    params.use_pixel_frame_input = pixel_in
    params.use_pixel_frame_output = pixel_out
    return params


def _recording_method(name):
    def method(self, *args):
        with self.lock:
            self.events.append((name, args))
            self.changed.notify_all()

    method.__name__ = name
    return method


class EventLog(o.VONUCloudDelegate):
    """A delegate that records every event as (name, args), in arrival order."""

    def __init__(self):
        super().__init__()
        self.lock = threading.RLock()  # wait_for's predicate reads the log while holding it
        self.changed = threading.Condition(self.lock)
        self.events = []

    def names(self):
        with self.lock:
            return [name for name, _ in self.events]

    def of(self, name):
        with self.lock:
            return [args for n, args in self.events if n == name]

    def wait_for(self, predicate, timeout=10.0):
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self), timeout)

    def clear(self):
        with self.lock:
            self.events.clear()


for _name in EVENTS:
    setattr(EventLog, _name, _recording_method(_name))


def idle():
    assert ostrel_loopback.wait_idle(10.0)
