"""A bot that records every event it receives, for test_stubs.py, which checks each argument
against the type that the stub names for it on the loopback SDK, so the stubs fit what the module
really passes. Its recording methods are derived from the class, as the helpers' are, so a new
event needs nothing here. scripts/check_types.sh runs mypy --strict and pyright over it.
"""

import threading
from typing import Callable, List, Sequence, Tuple

import _ostrel as o
import ostrel_loopback

Event = Tuple[str, Tuple[object, ...]]


class TypedBot(o.VONUCloudDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.entered = threading.Event()
        self.events: List[Event] = []

    def _note(self, name: str, *args: object) -> None:
        with self.lock:
            self.events.append((name, args))

    def OnEnterRoom(self) -> None:
        self._note("OnEnterRoom")
        self.entered.set()


def _recorder(name: str) -> Callable[..., None]:
    def record(self: TypedBot, *args: object) -> None:
        self._note(name, *args)

    record.__name__ = name
    return record


for _name in [n for n in vars(o.VONUCloudDelegate) if n.startswith("On") and n not in vars(TypedBot)]:
    setattr(TypedBot, _name, _recorder(_name))


def deliver(user: str, injected: Sequence[Tuple[str, Tuple[object, ...]]]) -> List[Event]:
    """Enters a loopback room as `user`, injects each (event, raw arguments) into the bot and
    returns every event the bot received meanwhile, oldest first."""
    bot = TypedBot()
    cloud = o.VONUCloud(bot)
    params = o.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.str_room_id.SetValue("typed")
    params.room.user_id.SetValue(user)
    params.room.user_sig.SetValue("sig")
    assert cloud.EnterRoom(params) == o.ERR_OK
    assert bot.entered.wait(10.0) and ostrel_loopback.wait_idle(10.0)
    for event, args in injected:
        assert ostrel_loopback.inject(user, event, *args) == 1
    assert ostrel_loopback.wait_idle(10.0)
    with bot.lock:
        received = list(bot.events)
    cloud.ExitRoom()
    ostrel_loopback.wait_idle(10.0)
    return received
