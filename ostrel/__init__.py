"""Bots for the ostrel room SDK.

Everything the binding ``_ostrel`` exports is re-exported here unchanged (``ostrel.VONUCloud``,
``ostrel.EnterRoomParams``, ...), so ``import ostrel`` is all a bot needs; ``ostrel.aio`` is the
asyncio layer. The package uses only the binding's public surface, so it works the same over the
loopback SDK and a vendor one.
"""

import _ostrel
from _ostrel import *  # noqa: F401,F403

from . import aio  # noqa: F401  (ostrel.aio without an import of its own)

__all__ = sorted(name for name in vars(_ostrel) if not name.startswith("_"))
