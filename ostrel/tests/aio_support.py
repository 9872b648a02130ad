"""What the asyncio layer's tests add to ostrel.testing: room parameters receiving 48 kHz mono
callback audio by default, a recorder whose log a test reads and clears in place to compare
against, a bounded asyncio.run, and a subprocess runner for scenarios that may hang."""

import asyncio
import os
import subprocess
import sys
import textwrap
from typing import Any, Awaitable, Dict, List, Optional, Sequence, TypeVar

import _ostrel as o
import ostrel_loopback
from ostrel.testing import EVENT_NAMES as EVENTS  # noqa: F401  (for the tests that import it from here)
from ostrel.testing import Event, EventRecorder, Room

HERE = os.path.dirname(os.path.abspath(__file__))
T = TypeVar("T")


def params(
    user: str,
    room: str,
    *,
    rate: int = 48000,
    frame_ms: int = 20,
    method: Any = o.AUDIO_OBTAIN_METHOD_CALLBACK,
    mix: bool = False,
    pixel_out: bool = False,
) -> o.EnterRoomParams:
    return Room(room).params(
        user, sample_rate=rate, channels=1, frame_ms=frame_ms, obtain=method, mix=mix, pixel_out=pixel_out
    )


def run(coro: Awaitable[T], timeout: float = 60.0) -> T:
    """asyncio.run with a bound, so that a lost wake-up fails instead of hanging."""

    async def bounded() -> T:
        task = asyncio.ensure_future(coro)
        done, _ = await asyncio.wait([task], timeout=timeout)
        if not done:
            task.cancel()
            raise asyncio.TimeoutError("the test's coroutine ran for more than %g s" % timeout)
        return task.result()

    return asyncio.run(bounded())


def normal(value: Any) -> Any:
    """Arguments made comparable: records by their fields, frames by their payload."""
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    if isinstance(value, o.UserInfo):
        return ("UserInfo", value.user_id.GetValue())
    if isinstance(value, o.NetworkQualityInfo):
        return ("Quality", value.user_id.GetValue(), int(value.quality))
    if isinstance(value, (o.AudioFrame, o.VideoFrame, o.PixelFrame)):
        return (type(value).__name__, value.data)
    return value


class Recorder(EventRecorder):
    """An EventRecorder whose log is read and cleared in place while holding ``lock``."""

    @property
    def lock(self) -> Any:
        """Guards ``events``; the callbacks append under it."""
        return self._changed

    @property
    def events(self) -> List[Event]:
        """The log itself, oldest first, as (name, args)."""
        return self._events


def pcm_frame(value: int, rate: int = 48000, ms: int = 20) -> o.AudioFrame:
    frame = o.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = rate, 1, 16
    frame.SetData(int(value).to_bytes(2, "little", signed=True) * (rate * ms // 1000))
    return frame


def idle() -> None:
    assert ostrel_loopback.wait_idle(10.0)


def run_python(
    code: str, timeout: float = 120.0, env: Optional[Dict[str, str]] = None, args: Sequence[str] = ()
) -> "subprocess.CompletedProcess[str]":
    """Runs a scenario in a fresh interpreter (``sys.argv[1:]`` is ``args``); the timeout fails a hang."""
    full = dict(os.environ)
    full["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in full.get("PYTHONPATH", "").split(os.pathsep) if p])
    full.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True, timeout=timeout, env=full
    )
