"""The one exception the asyncio layer raises for an SDK failure.

The SDK reports failures as integer result codes (``Error`` values); the layer turns the ones that
make an operation impossible (entering a room, subscribing) into ``SdkError`` so that ``async with``
and ``await`` can fail the usual Python way.
"""
from typing import Optional

import _ostrel


class SdkError(Exception):
    """An SDK operation failed; ``code`` is the SDK's ``Error`` value as an ``int``."""

    def __init__(self, code: int, operation: str) -> None:
        self.code = int(code)  # the SDK's result or error code
        self.operation = operation  # what failed: an SDK method or event name
        super().__init__(f"{operation} failed: {self.code_name or 'error'} ({self.code})")

    @property
    def code_name(self) -> Optional[str]:
        """The ``Error`` member's name for ``code`` (``"ERR_INVALID_USER_SIG"``), if it has one."""
        for name, member in _ostrel.Error.__members__.items():
            if int(member) == self.code:
                return name
        return None
