"""Controls of the loopback SDK, for tests and offline bots.

The loopback SDK keeps a process-wide recorder of the calls that reach it. Recording is off
until ``record(True)``; ``calls()`` then lists each call as ``(name, arguments)``, oldest
first. Names are the SDK's member names (``SetLogPath``, ``AudioFrame::SetData``); text
arguments appear as ``bytes`` up to the first NUL (``None`` for a null pointer), payloads as
``bytes`` plus a ``<key>_null`` flag, numbers and flags as ``int`` and ``bool``.
"""

import ast
import ctypes
import os

__all__ = ["record", "clear", "calls", "last_call"]


def _load():
    import _ostrel

    here = os.path.dirname(os.path.abspath(_ostrel.__file__))
    for folder in (here, os.path.join(here, os.pardir, "ostrel.libs")):
        path = os.path.join(folder, "libostrel.so")
        if os.path.exists(path):
            return ctypes.CDLL(path)
    # Already loaded by _ostrel through its run path: dlopen finds it by name.
    return ctypes.CDLL("libostrel.so")


_lib = _load()
_lib.ostrel_loopback_record.argtypes = [ctypes.c_int]
_lib.ostrel_loopback_record.restype = None
_lib.ostrel_loopback_clear.argtypes = []
_lib.ostrel_loopback_clear.restype = None
_lib.ostrel_loopback_calls.argtypes = []
_lib.ostrel_loopback_calls.restype = ctypes.c_void_p
_lib.ostrel_loopback_free.argtypes = [ctypes.c_void_p]
_lib.ostrel_loopback_free.restype = None


def _take_text(pointer):
    """Copies and frees a text that the SDK allocated for us."""
    if not pointer:
        raise MemoryError("the loopback SDK could not allocate its answer")
    try:
        return ctypes.string_at(pointer).decode("ascii")
    finally:
        _lib.ostrel_loopback_free(pointer)


def record(on):
    """Starts (True) or stops (False) recording calls into the SDK."""
    _lib.ostrel_loopback_record(1 if on else 0)


def clear():
    """Forgets every recorded call."""
    _lib.ostrel_loopback_clear()


def calls():
    """The recorded calls, oldest first, as a list of (name, arguments) tuples."""
    return ast.literal_eval(_take_text(_lib.ostrel_loopback_calls()))


def last_call(name):
    """The arguments of the newest recorded call of that name, or None."""
    for call_name, args in reversed(calls()):
        if call_name == name:
            return args
    return None
