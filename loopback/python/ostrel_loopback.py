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


class _Arg(ctypes.Structure):
    """One argument of an injected callback (see ostrel_loopback_inject)."""


_Arg._fields_ = [
    ("kind", ctypes.c_int32),
    ("integer", ctypes.c_int64),
    ("data", ctypes.c_char_p),
    ("size", ctypes.c_size_t),
    ("items", ctypes.POINTER(_Arg)),
    ("count", ctypes.c_size_t),
]

_NULL, _INTEGER, _BYTES, _PAIR, _LIST = range(5)

_c = ctypes
# Every C function of the control interface: (result type, argument types). The probes are
# called through _pylib, the others through _lib.
_FUNCTIONS = {
    "record": (None, [_c.c_int]),
    "clear": (None, []),
    "calls": (_c.c_void_p, []),
    "calls_forgotten": (_c.c_ulonglong, []),
    "free": (None, [_c.c_void_p]),
    "wait_idle": (_c.c_int, [_c.c_double]),
    "set_network_quality": (_c.c_int, [_c.c_char_p, _c.c_int]),
    "set_quality_interval": (None, [_c.c_int]),
    "quality_interval": (_c.c_int, []),
    "drop_messages": (_c.c_int, [_c.c_char_p, _c.c_uint32]),
    "disconnect": (_c.c_int, [_c.c_char_p, _c.c_int]),
    "raise_error": (_c.c_int, [_c.c_char_p, _c.c_int]),
    "kick": (_c.c_int, [_c.c_char_p, _c.c_int]),
    "inject": (_c.c_int, [_c.c_char_p, _c.c_size_t, _c.c_char_p, _c.POINTER(_Arg), _c.c_size_t]),
    "fail_next_create": (None, []),
    "escaped": (_c.c_void_p, []),
    "clear_escaped": (None, []),
    "disown_running": (_c.c_int, []),
    "live_instances": (_c.c_int, []),
    "instances": (_c.c_void_p, []),
    "sdk_threads": (_c.c_int, []),
    "callbacks_running": (_c.c_int, []),
    "dropped": (_c.c_ulonglong, []),
    "send_dropped": (_c.c_ulonglong, []),
    "undecodable": (_c.c_ulonglong, []),
    "codecs": (_c.c_int, [_c.c_int]),
    "clock_freeze": (None, []),
    "clock_resume": (None, []),
    "clock_frozen": (_c.c_int, []),
    "clock_now_ms": (_c.c_int64, []),
    "clock_next_due_ms": (_c.c_int64, []),
    "clock_advance": (_c.c_int, [_c.c_int64, _c.c_double]),
    "media_loss": (_c.c_int, [_c.c_char_p, _c.c_double, _c.c_double, _c.c_int, _c.c_uint64]),
    "media_delay": (_c.c_int, [_c.c_char_p, _c.c_int, _c.c_int]),
}

# A second handle on the same library, loaded as a Python DLL: its functions are called with the
# interpreter lock held, unlike those of _lib (ctypes.CDLL releases it around every call).
_pylib = ctypes.PyDLL(_lib._name)


def _int_range(ctype):
    """(lowest, highest) value of a ctypes integer type, None for any other type."""
    code = getattr(ctype, "_type_", None)
    if not isinstance(code, str) or code not in "bBhHiIlLqQ":
        return None
    bits = 8 * ctypes.sizeof(ctype)
    return (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if code.islower() else (0, (1 << bits) - 1)


def _range_checked(function, argtypes):
    """``function`` refusing integers its C parameters cannot hold, which ctypes would pass
    silently cut to their low bits: TypeError, as the _ostrel module's own functions do."""
    ranges = [(i, t, _int_range(t)) for i, t in enumerate(argtypes)]
    ranges = [(i, t, r) for i, t, r in ranges if r is not None]
    if not ranges:
        return function

    def call(*args):
        for i, ctype, (low, high) in ranges:
            if isinstance(args[i], int) and not low <= args[i] <= high:
                raise TypeError(
                    "%s: %d is out of range for %s (%d to %d)" % (function.__name__, args[i], ctype.__name__, low, high)
                )
        return function(*args)

    return call


for _name, (_restype, _argtypes) in _FUNCTIONS.items():
    for _handle in (_lib, _pylib):
        _function = getattr(_handle, "ostrel_loopback_" + _name)
        _function.restype = _restype
        _function.argtypes = _argtypes
        setattr(_handle, _function.__name__, _range_checked(_function, _argtypes))


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


def calls_forgotten():
    """The number of calls the recorder let go since the last ``clear()``: it keeps the newest
    10,000 calls, and of those at most 16 MiB of text (the newest call always)."""
    return _lib.ostrel_loopback_calls_forgotten()


def last_call(name):
    """The arguments of the newest recorded call of that name, or None."""
    for call_name, args in reversed(calls()):
        if call_name == name:
            return args
    return None


# ---- Room simulation controls ----
#
# Members are named by the user id they entered a room with (str or bytes). Functions that act
# on members return how many instances they reached.


def _user_id(user_id):
    if isinstance(user_id, str):
        return user_id.encode("utf-8")
    if isinstance(user_id, (bytes, bytearray)):
        return bytes(user_id)
    raise TypeError("user_id must be str or bytes, not %s" % type(user_id).__name__)


def _int(value, what):
    if isinstance(value, int):  # bool included
        return int(value)
    raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))


def wait_idle(timeout=5.0):
    """Waits until every frame sent before the call has been through the SDK's send workers, and
    every event queued by then has been delivered and its callback has returned. Returns False if
    that took longer than ``timeout`` seconds. The interpreter lock is released while waiting.
    From inside a callback it does not wait for that instance itself."""
    return _lib.ostrel_loopback_wait_idle(float(timeout)) == 1


def set_network_quality(user_id, quality):
    """Sets the simulated network quality (a NetworkQuality value, 0 to 6) of that member. A
    change asks the member to adapt its video bitrate (OnRequestChangeVideoEncodeBitrate)."""
    n = _lib.ostrel_loopback_set_network_quality(_user_id(user_id), _int(quality, "quality"))
    if n < 0:
        raise ValueError("quality must be a NetworkQuality value from 0 to 6")
    return n


def set_quality_interval(ms):
    """Sets the interval of OnNetworkQuality reports in milliseconds (default 2000, at least
    10); 0 stops the reports."""
    _lib.ostrel_loopback_set_quality_interval(_int(ms, "ms"))


def quality_interval():
    """The interval of OnNetworkQuality reports in force, in milliseconds; 0 while they are
    stopped."""
    return _lib.ostrel_loopback_quality_interval()


def drop_messages(user_id, count):
    """The next ``count`` custom command messages sent by that member are lost."""
    count = _int(count, "count")
    if count < 0:
        raise ValueError("count must not be negative")
    return _lib.ostrel_loopback_drop_messages(_user_id(user_id), count)


def disconnect(user_id, ms):
    """Simulates a lost connection of that member, reconnecting after ``ms`` milliseconds."""
    return _lib.ostrel_loopback_disconnect(_user_id(user_id), _int(ms, "ms"))


def raise_error(user_id, code):
    """Delivers OnError(code) to that member."""
    return _lib.ostrel_loopback_raise_error(_user_id(user_id), _int(code, "code"))


def kick(user_id, reason):
    """Removes that member from its room; the others see OnRemoteUserExitRoom(user, reason)."""
    return _lib.ostrel_loopback_kick(_user_id(user_id), _int(reason, "reason"))


# What the integer field of an argument holds: ctypes would cut a larger value silently.
_ARG_INTEGER_RANGE = _int_range(dict(_Arg._fields_)["integer"])


def _arg_integer(value):
    low, high = _ARG_INTEGER_RANGE
    if not low <= value <= high:
        raise ValueError("%d does not fit any callback argument" % value)
    return value


def _arg(value, keep):
    arg = _Arg()
    if value is None:
        arg.kind = _NULL
    elif isinstance(value, (bool, int)):
        arg.kind = _INTEGER
        arg.integer = _arg_integer(int(value))
    elif isinstance(value, (bytes, bytearray, str)):
        data = value.encode("utf-8") if isinstance(value, str) else bytes(value)
        keep.append(data)
        arg.kind = _BYTES
        arg.data = data
        arg.size = len(data)
    elif isinstance(value, tuple) and len(value) == 2:
        user, quality = value
        arg.kind = _PAIR
        arg.integer = _arg_integer(_int(quality, "quality"))
        if user is not None:
            data = _user_id(user)
            keep.append(data)
            arg.data = data
            arg.size = len(data)
    elif isinstance(value, list):
        items = (_Arg * max(len(value), 1))(*[_arg(v, keep) for v in value])
        keep.append(items)
        arg.kind = _LIST
        arg.items = ctypes.cast(items, ctypes.POINTER(_Arg))
        arg.count = len(value)
    else:
        raise TypeError("cannot pass %s to an injected callback" % type(value).__name__)
    return arg


def inject(user_id, event, *args):
    """Delivers one raw callback to that member's delegate on its event thread, or to every
    live instance when ``user_id`` is None. ``event`` is the delegate's callback name (the two
    video overloads as OnRemoteVideoFrameReceived and OnRemotePixelFrameReceived). Arguments:
    user ids as bytes or None (a null pointer), enumerations as ints of any value, payloads as
    bytes (None: a null pointer), a UserInfo as its user id bytes, a frame as its payload bytes,
    a NetworkQualityInfo as (user_id, quality) or None, remote lists as lists of those.
    Returns the number of instances reached."""
    keep = []
    array = (_Arg * max(len(args), 1))(*[_arg(a, keep) for a in args])
    target = None if user_id is None else _user_id(user_id)
    n = _lib.ostrel_loopback_inject(
        target, 0 if target is None else len(target), event.encode("ascii"), array, len(args)
    )
    if n == -1:
        raise ValueError("unknown callback %r" % (event,))
    if n == -2:
        raise ValueError("arguments do not fit %s: %r" % (event, args))
    return n


def fail_next_create():
    """Makes the next VONUCloud::Create return a null pointer."""
    _lib.ostrel_loopback_fail_next_create()


def escaped():
    """The texts of exceptions that left delegate callbacks, oldest first (the newest 1000)."""
    return [t.decode("utf-8", "replace") for t in ast.literal_eval(_take_text(_lib.ostrel_loopback_escaped()))]


def clear_escaped():
    """Forgets the texts that escaped() lists."""
    _lib.ostrel_loopback_clear_escaped()


def disown_running():
    """Disowns the delegate callbacks running now and discards the events queued behind them on
    their instances: an exception that leaves a disowned callback is logged, but escaped() does
    not list it, and wait_idle() and clock_advance() do not wait for an instance while its
    disowned callback runs. Returns how many callbacks that disowned. For a harness whose test
    ended with a callback still running, so that the next test neither waits for it nor gets
    its exceptions, nor those of the events the stuck instance had not been given yet."""
    return _lib.ostrel_loopback_disown_running()


def live_instances():
    """The number of VONUCloud instances created and not yet destroyed."""
    return _lib.ostrel_loopback_live_instances()


def instances():
    """The live VONUCloud instances, oldest first, as ``(number, user_id, room_id)``: the
    instance's number (never reused in the process), and the user id and the room id (the text
    id, or the numeric one written out) of its stay in a room, both None outside a room."""
    found = ast.literal_eval(_take_text(_lib.ostrel_loopback_instances()))
    return [(number, _text_or_none(user_id), _text_or_none(room_id)) for number, user_id, room_id in found]


def _text_or_none(data):
    return None if data is None else data.decode("utf-8", "replace")


def sdk_threads():
    """The number of threads the SDK runs (event threads, send workers and the service thread)."""
    return _lib.ostrel_loopback_sdk_threads()


def dropped():
    """The number of media frames dropped so far because a delegate or a send worker fell behind
    (the second kind are also counted by send_dropped())."""
    return _lib.ostrel_loopback_dropped()


def send_dropped():
    """The number of sent media frames dropped so far, oldest first, because the SDK's delivery
    work for their stream (conversions and codecs, on a thread per sending stream) fell behind.
    A video stream codes its next frame after such a drop as a key frame."""
    return _lib.ostrel_loopback_send_dropped()


def undecodable():
    """The number of sent media frames the SDK could not decode for the receivers that needed
    them decoded (Opus packets for PCM receivers, H.264 access units for pixel receivers); such a
    frame reaches none of them. Each sender's are also logged, at most once a second."""
    return _lib.ostrel_loopback_undecodable()


_CODEC_KINDS = ("opus_encoders", "opus_decoders", "h264_encoders", "h264_decoders")


def codecs():
    """The codecs the SDK runs for its rooms right now, by kind: a dict with the keys
    ``opus_encoders``, ``opus_decoders``, ``h264_encoders`` and ``h264_decoders``. The SDK makes
    one where sender and receiver disagree on a form and releases it once no receiver needs it."""
    return {name: _lib.ostrel_loopback_codecs(kind) for kind, name in enumerate(_CODEC_KINDS)}


# ---- The SDK clock ----
#
# Every timed thing the SDK does (paced audio, network-quality reports, the reconnect after
# disconnect, delayed media, the custom message rate window) reads one clock: real time unless
# frozen.

_MAX_ADVANCE_MS = 1 << 40  # about 34 years


def clock_freeze():
    """Stops the SDK clock: from now on nothing timed happens until clock_advance or
    clock_resume."""
    _lib.ostrel_loopback_clock_freeze()


def clock_advance(ms, timeout=5.0):
    """Moves the SDK clock ``ms`` milliseconds forward. The timed work that falls due on the way
    runs in time order; after the work of each due time the events it caused are delivered and
    their callbacks have returned (as wait_idle) before the clock moves on. A running clock jumps
    ahead and runs on from there. Returns False if that took longer than ``timeout`` seconds of
    real time. The interpreter lock is released meanwhile."""
    ms = _int(ms, "ms")
    if not 0 <= ms <= _MAX_ADVANCE_MS:
        raise ValueError("ms must be from 0 to %d" % _MAX_ADVANCE_MS)
    return _lib.ostrel_loopback_clock_advance(ms, float(timeout)) == 1


def clock_now_ms():
    """The SDK clock in milliseconds, from an arbitrary start: only differences mean anything."""
    return _lib.ostrel_loopback_clock_now_ms()


def clock_next_due_ms():
    """Milliseconds until the SDK's earliest timed work is due on its clock, rounded up (0 for work
    due now), or None when no timed work waits: how far a frozen clock can be advanced before
    anything happens."""
    ms = _lib.ostrel_loopback_clock_next_due_ms()
    return None if ms < 0 else ms


def clock_resume():
    """Lets the SDK clock run with real time again, from where it stands."""
    _lib.ostrel_loopback_clock_resume()


def clock_frozen():
    """Whether the SDK clock is frozen."""
    return _lib.ostrel_loopback_clock_frozen() == 1


# ---- Media faults ----

_MAX_DELAY_MS = 3600 * 1000


def _fraction(value, what):
    if isinstance(value, (int, float)) and 0.0 <= value <= 1.0:
        return float(value)
    raise ValueError("%s must be a fraction from 0 to 1, not %r" % (what, value))


def media_loss(user_id, audio=0.0, video=0.0, seed=None):
    """Loses that fraction (0 to 1) of the audio and of the video frames delivered to that
    member. With a ``seed`` (an int from 0 to 2**64 - 1) the same frames are lost every run;
    without, the draws are random. ``media_loss(user_id)`` ends the loss."""
    audio, video = _fraction(audio, "audio"), _fraction(video, "video")
    if seed is not None:
        seed = _int(seed, "seed")
        if not 0 <= seed < 1 << 64:
            raise ValueError("seed must be from 0 to 2**64 - 1")
    return _lib.ostrel_loopback_media_loss(
        _user_id(user_id), audio, video, 0 if seed is None else 1, 0 if seed is None else seed
    )


def media_delay(user_id, ms, jitter_ms=0):
    """Media to that member arrives ``ms`` milliseconds later on the SDK clock, each frame up to
    ``jitter_ms`` more or less, in the order sent. ``media_delay(user_id, 0)`` ends the delay;
    frames already on their way still arrive when due."""
    ms, jitter_ms = _int(ms, "ms"), _int(jitter_ms, "jitter_ms")
    if not (0 <= ms <= _MAX_DELAY_MS and 0 <= jitter_ms <= _MAX_DELAY_MS):
        raise ValueError("ms and jitter_ms must be from 0 to %d" % _MAX_DELAY_MS)
    return _lib.ostrel_loopback_media_delay(_user_id(user_id), ms, jitter_ms)


# ---- Probes for tests ----


def callbacks_running():
    """The number of delegate callbacks, process-wide, that the SDK has called and that have not
    returned yet.

    The call does NOT release the interpreter lock (it goes through a ``ctypes.PyDLL`` handle).
    A test may therefore spin on it while holding the lock, for instance to be sure that an SDK
    thread has entered a callback and is now waiting for the interpreter lock::

        while ostrel_loopback.callbacks_running() == 0:
            pass

    No SDK thread can run Python code meanwhile, so the loop must not wait for anything that
    needs the interpreter lock. The count is taken without locks and may change right after the
    call returns."""
    return _pylib.ostrel_loopback_callbacks_running()


# The public names: every function this module defines without a leading underscore.
__all__ = sorted(
    name
    for name, value in globals().items()
    if not name.startswith("_") and getattr(value, "__module__", None) == __name__
)
