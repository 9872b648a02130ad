"""Benchmarks of the asyncio layer on the loopback SDK (figures, not a pass/fail gate).

    python bench/aio.py [--events N] [--samples N]

Three ways of getting a remote user's audio frames into a coroutine, measured in the same run:

- ``aio``: ``ostrel.aio`` (``conn.audio(user)``, batched wake-ups, bounded queue);
- ``glue``: a hand-written delegate calling ``loop.call_soon_threadsafe(queue.put_nowait, ...)``
  for every frame;
- ``blocking``: a delegate calling ``asyncio.run_coroutine_threadsafe(queue.put(...)).result()``,
  which holds the SDK thread until the loop has taken the frame.

1. Cost per event: process CPU time per frame over bursts of frames, from the sending thread's
   ``SendAudioFrame`` to the consumer coroutine (all SDK work included, the same for all three).
2. Latency, p50 and p99, from the SDK's call of the delegate to the consuming coroutine, one
   frame every 2 ms, with the loop idle and with it busy (another task running Python in 1 ms
   slices).
3. Frames per second one connection consumes, frames sent as fast as the SDK takes them.
"""
import argparse
import asyncio
import statistics
import threading
import time
from typing import Any, Awaitable, Callable, List, Optional, Tuple

import _ostrel as o
import ostrel
import ostrel_loopback
from ostrel.testing import EVENT_NAMES, Room

QUIET = [n for n in EVENT_NAMES if n != "OnRemoteAudioReceived"]


def params(user: str, room: str) -> o.EnterRoomParams:
    return Room(room).params(user, sample_rate=48000, channels=1, frame_ms=20)


class Glue(o.VONUCloudDelegate):
    """The hand-written bridges: every frame goes to an asyncio.Queue by one of two patterns."""

    def __init__(self, loop: asyncio.AbstractEventLoop, queue: "asyncio.Queue[Tuple[Any, float]]",
                 blocking: bool) -> None:
        super().__init__()
        self.loop, self.queue, self.blocking = loop, queue, blocking

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: o.AudioFrame) -> None:
        item = (frame, time.monotonic())
        if self.blocking:
            asyncio.run_coroutine_threadsafe(self.queue.put(item), self.loop).result()
        else:
            self.loop.call_soon_threadsafe(self.queue.put_nowait, item)


for _name in QUIET:
    setattr(Glue, _name, lambda self, *args: None)

Receive = Callable[[], Awaitable[float]]


class Way:
    """One of the three ways in a room with a sender; ``receive()`` gives one frame's SDK time."""

    def __init__(self, kind: str, room: str) -> None:
        self.kind, self.room = kind, room
        self.conn: Optional[ostrel.aio.Connection] = None  # the aio way's connection
        self.cloud: Optional[o.VONUCloud] = None  # the glue ways' cloud
        self.sender = o.VONUCloud(None)  # the member that sends the frames
        self.receive: Receive

    async def __aenter__(self) -> "Way":
        loop = asyncio.get_running_loop()
        if self.kind == "aio":
            self.conn = await ostrel.aio.connect(params("bot", self.room)).__aenter__()
            stream = self.conn.events("OnRemoteAudioReceived", maxsize=1000)

            async def receive_aio() -> float:
                return (await stream.__anext__()).time
            self.receive = receive_aio
        else:
            queue: "asyncio.Queue[Tuple[Any, float]]" = asyncio.Queue()
            self.cloud = o.VONUCloud(Glue(loop, queue, self.kind == "blocking"))
            self.cloud.EnterRoom(params("bot", self.room))

            async def receive_glue() -> float:
                return (await queue.get())[1]
            self.receive = receive_glue
        self.sender.EnterRoom(params("src", self.room))
        await settle()
        self.sender.CreateLocalAudioChannel(o.AudioEncodeParams())
        await settle()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        if self.conn is not None:
            await self.conn.close()
        if self.cloud is not None:
            self.cloud.ExitRoom()
        self.sender.ExitRoom()
        await settle()
        self.cloud = None


async def settle() -> None:
    """Waits until the SDK has delivered everything, without blocking the loop: the blocking
    bridge's callbacks need the loop to return (blocking it in wait_idle would deadlock)."""
    while not ostrel_loopback.wait_idle(0.0):
        await asyncio.sleep(0.005)


def frame_of(index: int) -> o.AudioFrame:
    frame = o.AudioFrame()
    frame.sample_rate, frame.channels = 48000, 1
    frame.pts = index
    frame.SetData(b"\x00\x01" * 960)
    return frame


async def cost_per_event(kind: str, count: int) -> float:
    """CPU microseconds per frame, in bursts of 200 (under the SDK's queue bound)."""
    async with Way(kind, "cost-" + kind) as way:
        frames = [frame_of(i) for i in range(200)]

        def burst() -> None:
            for f in frames:
                way.sender.SendAudioFrame(f)

        start, done = time.process_time(), 0
        while done < count:
            thread = threading.Thread(target=burst)
            thread.start()
            for _ in frames:
                await way.receive()
            thread.join()
            done += len(frames)
        return (time.process_time() - start) / done * 1e6


async def latency(kind: str, samples: int, busy: bool) -> Tuple[float, float]:
    """p50 and p99 in microseconds, from the SDK's call to the consuming coroutine."""
    async with Way(kind, "lat-" + kind) as way:
        stop = threading.Event()

        def send() -> None:
            for i in range(samples):
                if stop.is_set():
                    return
                way.sender.SendAudioFrame(frame_of(i))
                time.sleep(0.002)

        async def spin() -> None:
            while not stop.is_set():
                end = time.perf_counter() + 0.001
                while time.perf_counter() < end:
                    pass
                await asyncio.sleep(0)

        spinner = asyncio.ensure_future(spin()) if busy else None
        thread = threading.Thread(target=send)
        thread.start()
        delays: List[float] = []
        for _ in range(samples):
            called = await way.receive()
            delays.append(time.monotonic() - called)
        stop.set()
        thread.join()
        if spinner is not None:
            spinner.cancel()
        delays.sort()
        return statistics.median(delays) * 1e6, delays[int(len(delays) * 0.99)] * 1e6


async def frames_per_second(seconds: float) -> Tuple[float, int, int]:
    """Frames one connection's audio stream hands to a coroutine per second, with drops."""
    async with ostrel.aio.connect(params("bot", "fps")) as conn:
        stream = conn.audio("src", maxsize=256)
        sender = o.VONUCloud(None)
        sender.EnterRoom(params("src", "fps"))
        ostrel_loopback.wait_idle(5.0)
        sender.CreateLocalAudioChannel(o.AudioEncodeParams())
        ostrel_loopback.wait_idle(5.0)
        frame = frame_of(0)
        stop = threading.Event()

        def flood() -> None:
            while not stop.is_set():
                sender.SendAudioFrame(frame)

        thread = threading.Thread(target=flood)
        thread.start()
        start, count = time.monotonic(), 0
        while time.monotonic() - start < seconds:
            await stream.__anext__()
            count += 1
        elapsed = time.monotonic() - start
        stop.set()
        thread.join()
        sender.ExitRoom()
        return count / elapsed, stream.stats.received, stream.stats.dropped


async def main(events: int, samples: int) -> None:
    kinds = ("glue", "aio", "blocking")
    print("1. cost per event (CPU us per frame, SDK work included)")
    for kind in kinds:
        print(f"   {kind:9s} {await cost_per_event(kind, events):7.1f}")
    for busy in (False, True):
        print(f"2. latency SDK call -> coroutine, loop {'busy' if busy else 'idle'} (us)")
        for kind in kinds:
            p50, p99 = await latency(kind, samples, busy)
            print(f"   {kind:9s} p50 {p50:8.1f}  p99 {p99:8.1f}")
    fps, received, dropped = await frames_per_second(2.0)
    print(f"3. one connection consumes {fps:,.0f} frames/s ({dropped} of {received} dropped by its bound)")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=20000)
    parser.add_argument("--samples", type=int, default=1000)
    args = parser.parse_args()
    asyncio.run(main(args.events, args.samples))
