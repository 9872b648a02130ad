"""The exceptions the asyncio layer raises for the SDK.

The SDK reports failures as integer result codes (``Error`` values); the layer turns the ones that
make an operation impossible (entering a room, subscribing, a refused audio frame) into
``SdkError`` so that ``async with`` and ``await`` can fail the usual Python way. When the SDK ends
a connection's stay in the room on its own (a kick, another instance entering with the same user
id, a fatal error, an exit the bot did not ask for), everything still using the connection gets
``ConnectionClosed``, an ``SdkError`` that says why.
"""

from typing import Optional

import _ostrel


def code_name(code: int) -> Optional[str]:
    """The ``Error`` member's name for ``code`` (``"ERR_INVALID_USER_SIG"``), if it has one."""
    for name, member in _ostrel.Error.__members__.items():
        if int(member) == code:
            return name
    return None


def describe(code: int) -> str:
    """``code`` as a message shows it: ``ERR_INVALID_PARAMETER (-2)``."""
    return f"{code_name(code) or 'error'} ({code})"


class SdkError(Exception):
    """An SDK operation failed; ``code`` is the SDK's ``Error`` value as an ``int``."""

    def __init__(self, code: int, operation: str) -> None:
        self.code = int(code)  # the SDK's result or error code
        self.operation = operation  # what failed: an SDK method or event name
        super().__init__(f"{operation} failed: {describe(self.code)}")

    @property
    def code_name(self) -> Optional[str]:
        """The ``Error`` member's name for ``code`` (``"ERR_INVALID_USER_SIG"``), if it has one."""
        return code_name(self.code)


class ConnectionClosed(SdkError):
    """The SDK ended the connection's stay in the room without the bot asking. ``code`` is the
    ``Error`` the SDK gave with it (0 when it gave none) and ``reason`` says what happened."""

    def __init__(self, code: int, reason: str) -> None:
        Exception.__init__(
            self,
            f"the SDK ended the stay in the room: {reason}"
            + (f" (OnError {code_name(int(code)) or 'error'}, {int(code)})" if code else ""),
        )
        self.code = int(code)
        self.operation = "the stay in the room"
        self.reason = reason  # what happened, in words
