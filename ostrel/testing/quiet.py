"""``QuietDelegate``: a delegate that takes every event and does nothing with it.

A subclass of ``VONUCloudDelegate`` must define every callback the SDK may call (a missing one is
an error to the SDK); a bot, a benchmark or a test that wants a few events subclasses this one and
overrides only those. ``entered`` is set once the room is entered.
"""

import threading

import ostrel
from ostrel.aio import EVENT_NAMES


class QuietDelegate(ostrel.VONUCloudDelegate):
    """Ignores every event; ``entered`` (a ``threading.Event``) is set once the room is entered.
    Subclasses override what they want to see."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()


def _ignore(self: QuietDelegate, *args: object) -> None:
    pass


for _name in EVENT_NAMES:
    if _name != "OnEnterRoom":
        setattr(QuietDelegate, _name, _ignore)
