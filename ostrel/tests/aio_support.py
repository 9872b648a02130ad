"""What the asyncio layer's tests share: room parameters, a recording raw delegate to compare
against, a bounded asyncio.run, and a subprocess runner for scenarios that may hang."""
import asyncio
import os
import subprocess
import sys
import textwrap
import threading
from typing import Any, Awaitable, List, Optional, Tuple, TypeVar

import _ostrel as o
import ostrel_loopback

HERE = os.path.dirname(os.path.abspath(__file__))
EVENTS = [name for name in vars(o.VONUCloudDelegate) if name.startswith("On")]
T = TypeVar("T")


def params(user: str, room: str, *, rate: int = 48000, frame_ms: int = 20,
           method: Any = o.AUDIO_OBTAIN_METHOD_CALLBACK, mix: bool = False,
           pixel_out: bool = False) -> o.EnterRoomParams:
    p = o.EnterRoomParams()
    p.room.sdk_app_id = 1400000001
    p.room.str_room_id.SetValue(room)
    p.room.user_id.SetValue(user)
    p.room.user_sig.SetValue("sig-" + user)
    p.use_pixel_frame_output = pixel_out
    obtain = p.audio_obtain_params
    obtain.audio_obtain_method = method
    obtain.enable_remote_audio_mix = mix
    obtain.output_sample_rate = rate
    obtain.output_channels = 1
    obtain.output_frame_length_ms = frame_ms
    p.audio_obtain_params = obtain
    return p


def run(coro: Awaitable[T], timeout: float = 60.0) -> T:
    """asyncio.run with a bound, so that a lost wake-up fails instead of hanging."""
    async def bounded() -> T:
        return await asyncio.wait_for(coro, timeout)
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


class Recorder(o.VONUCloudDelegate):
    """A raw delegate that records (name, args) of every event, for comparison."""

    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.events: List[Tuple[str, Tuple[Any, ...]]] = []


def _record(name: str) -> Any:
    def method(self: Recorder, *args: Any) -> None:
        with self.lock:
            self.events.append((name, args))
    return method


for _name in EVENTS:
    setattr(Recorder, _name, _record(_name))


def pcm_frame(value: int, rate: int = 48000, ms: int = 20) -> o.AudioFrame:
    frame = o.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = rate, 1, 16
    frame.SetData(int(value).to_bytes(2, "little", signed=True) * (rate * ms // 1000))
    return frame


def idle() -> None:
    assert ostrel_loopback.wait_idle(10.0)


def run_python(code: str, timeout: float = 120.0, env: Optional[dict] = None) -> "subprocess.CompletedProcess[str]":
    """Runs a scenario in a fresh interpreter; the timeout fails a hang."""
    full = dict(os.environ)
    full["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in full.get("PYTHONPATH", "").split(os.pathsep) if p])
    full.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=full)
