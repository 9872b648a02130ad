"""``thread_states()``: how many threads the interpreter has a state for.

A native thread that takes the GIL for a callback (an SDK thread calling a Python delegate) keeps
a thread state for as long as it lives, so the count tells whether SDK threads ran Python: an
``ostrel.aio`` bot leaves it unchanged, a plain delegate adds one per SDK thread it heard from.
"""

import ctypes

_api = ctypes.pythonapi  # a PyDLL: its calls keep the GIL, so no state comes or goes during a walk
_api.PyInterpreterState_Main.restype = ctypes.c_void_p
_api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
_api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
_api.PyThreadState_Next.restype = ctypes.c_void_p
_api.PyThreadState_Next.argtypes = [ctypes.c_void_p]


def thread_states() -> int:
    """The thread states of the main interpreter: its Python threads, and the native threads
    that have taken the GIL and still live."""
    count, state = 0, _api.PyInterpreterState_ThreadHead(_api.PyInterpreterState_Main())
    while state:
        count, state = count + 1, _api.PyThreadState_Next(state)
    return int(count)
