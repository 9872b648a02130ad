"""Benchmarks of the asyncio layer on the loopback SDK (figures, not a pass/fail gate).

    python bench/aio.py [--events N] [--samples N]
    python bench/aio.py --scale N [--seconds S] [--rounds R] [--uvloop]

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

``--scale N`` measures a bot farm instead: N connections on one loop, in pairs, each speaking
16-bit PCM at 50 frames a second through its ``AudioSender`` and consuming its peer's audio with
``async for``; against N clouds with plain delegates in the same process, whose sending thread
does the same work (a frame filled in and sent per cloud every 20 ms). For each: the process's
CPU (cores; for aio also its loop thread's share, which nears 1.00 when one loop is the limit),
the latency from the send to the consumer (p50, p99: the frame's pts, set when it is
sent, against the consumer's clock; whole milliseconds), the frames dropped, and the share of
frames sent on schedule (late ones, half a frame or more, count as missed). With ``--rounds R``
the two arms take turns R times, each round's lines end with aio's CPU and p99 as multiples of
plain's in that round, and a last line gives the medians of those ratios: on a shared machine
the spread between runs is larger than many differences worth knowing. ``--uvloop`` runs the
asyncio arm (and everything else) on uvloop's loop, whose call_soon, handles and timers are
native code; its clock has millisecond steps, so latencies are whole milliseconds either way.
"""

import argparse
import asyncio
import statistics
import threading
import time
from typing import Any, Awaitable, Callable, Dict, List, Optional, Tuple

import _ostrel as o
import ostrel
import ostrel_loopback
from ostrel.testing import QuietDelegate, Room


def params(user: str, room: str) -> o.EnterRoomParams:
    return Room(room).params(user, sample_rate=48000, channels=1, frame_ms=20)


class Glue(QuietDelegate):
    """The hand-written bridges: every frame goes to an asyncio.Queue by one of two patterns."""

    def __init__(
        self, loop: asyncio.AbstractEventLoop, queue: "asyncio.Queue[Tuple[Any, float]]", blocking: bool
    ) -> None:
        super().__init__()
        self.loop, self.queue, self.blocking = loop, queue, blocking

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: o.AudioFrame) -> None:
        item = (frame, time.monotonic())
        if self.blocking:
            asyncio.run_coroutine_threadsafe(self.queue.put(item), self.loop).result()
        else:
            self.loop.call_soon_threadsafe(self.queue.put_nowait, item)


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


FRAME_BYTES = 1920  # 20 ms of 48 kHz mono 16-bit PCM


class Scale:
    """What one arm of the scale run measured."""

    def __init__(self) -> None:
        self.delays: List[float] = []  # ms from send to consumer, one per frame consumed
        self.expected = 0  # frames that should have been sent in the window
        self.on_time = 0  # frames sent on schedule in the window
        self.dropped = 0  # frames dropped on the way (SDK queues and stream bounds)
        self.cpu = 0.0  # process CPU seconds in the window
        self.loop_cpu: Optional[float] = None  # the event loop thread's CPU seconds in the window (aio)
        self.wall = 0.0  # seconds of the window

    def p99(self) -> float:
        d = sorted(self.delays) or [float("nan")]
        return d[int(len(d) * 0.99)]

    def line(self, name: str) -> str:
        d = sorted(self.delays) or [float("nan")]
        loop = "" if self.loop_cpu is None else f" (loop thread {self.loop_cpu / self.wall:4.2f})"
        return (
            f"   {name:6s} CPU {self.cpu / self.wall:5.2f} cores{loop}   latency p50 {statistics.median(d):5.1f} "
            f"p99 {self.p99():5.1f} ms   dropped {self.dropped}   on schedule "
            f"{100.0 * self.on_time / max(1, self.expected):5.1f} %   ({len(self.delays)} frames consumed)"
        )


def _now_ms() -> float:
    return time.monotonic() * 1000.0


class PlainEar(QuietDelegate):
    """A plain delegate that consumes its peer's audio where the SDK delivers it."""

    def __init__(self, delays: List[float]) -> None:
        super().__init__()
        self.delays = delays  # shared, appended to under the GIL
        self.counting = False  # inside the measured window

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: o.AudioFrame) -> None:
        if self.counting:
            self.delays.append(_now_ms() - frame.pts)


def scale_plain(count: int, seconds: float) -> Scale:
    result = Scale()
    ears = [PlainEar(result.delays) for _ in range(count)]
    clouds = [o.VONUCloud(ear) for ear in ears]
    for i, cloud in enumerate(clouds):
        cloud.EnterRoom(params("p%d" % i, "plain-%d" % (i // 2)))
    ostrel_loopback.wait_idle(30.0)
    for cloud in clouds:
        cloud.CreateLocalAudioChannel(o.AudioEncodeParams())
    ostrel_loopback.wait_idle(30.0)
    pcm = b"\x00\x01" * (FRAME_BYTES // 2)
    stop, window = threading.Event(), threading.Event()
    sent: Dict[str, int] = {"on_time": 0, "ticks": 0}

    frame = o.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.codec = o.AUDIO_CODEC_TYPE_PCM

    def speak() -> None:  # every 20 ms, one frame sent per cloud
        start = time.monotonic()
        tick = 0
        while not stop.is_set():
            due = start + tick * 0.02
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            late = time.monotonic() - due >= 0.01
            for cloud in clouds:  # one frame filled in per send, as an AudioSender does
                frame.pts = int(_now_ms()) & 0xFFFFFFFF
                frame.SetData(pcm)
                cloud.SendAudioFrame(frame)
                if window.is_set() and not late:
                    sent["on_time"] += 1
            if window.is_set():
                sent["ticks"] += 1
            tick += 1

    thread = threading.Thread(target=speak)
    thread.start()
    time.sleep(1.0)  # warm-up
    dropped, cpu, wall = ostrel_loopback.dropped(), time.process_time(), time.monotonic()
    for ear in ears:
        ear.counting = True
    window.set()
    time.sleep(seconds)
    window.clear()
    for ear in ears:
        ear.counting = False
    result.cpu, result.wall = time.process_time() - cpu, time.monotonic() - wall
    result.dropped = ostrel_loopback.dropped() - dropped
    result.expected = int(result.wall * 50) * count
    result.on_time = min(sent["on_time"], result.expected)  # a tick started in the window may end past it
    stop.set()
    thread.join()
    clouds.clear()
    ostrel_loopback.wait_idle(30.0)
    return result


async def scale_aio(count: int, seconds: float) -> Scale:
    result = Scale()
    loop = asyncio.get_running_loop()
    conns = [await ostrel.aio.connect(params("a%d" % i, "aio-%d" % (i // 2))) for i in range(count)]
    await settle()
    senders = [conn.audio_sender(48000, 1, 20) for conn in conns]
    counting = False

    async def speak(sender: ostrel.aio.AudioSender) -> None:
        pcm = b"\x00\x01" * (FRAME_BYTES // 2)
        while True:
            await sender.write(pcm)

    async def listen(conn: ostrel.aio.Connection, peer: str) -> None:
        async for frame in conn.audio(peer, maxsize=50):
            if counting:
                result.delays.append(loop.time() * 1000.0 - frame.pts)

    tasks = [asyncio.ensure_future(speak(s)) for s in senders]
    tasks += [asyncio.ensure_future(listen(c, "a%d" % (i ^ 1))) for i, c in enumerate(conns)]
    await asyncio.sleep(1.0)  # warm-up
    before = [(s.stats.sent, s.stats.late) for s in senders]
    dropped, cpu, wall = ostrel_loopback.dropped(), time.process_time(), time.monotonic()
    loop_cpu = time.thread_time()
    counting = True
    await asyncio.sleep(seconds)
    counting = False
    result.cpu, result.wall = time.process_time() - cpu, time.monotonic() - wall
    result.loop_cpu = time.thread_time() - loop_cpu
    result.dropped = ostrel_loopback.dropped() - dropped
    after = [(s.stats.sent, s.stats.late) for s in senders]
    sent = sum(a[0] - b[0] for a, b in zip(after, before))
    late = sum(a[1] - b[1] for a, b in zip(after, before))
    result.expected, result.on_time = int(result.wall * 50) * count, min(sent - late, int(result.wall * 50) * count)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    result.dropped += sum(stream.stats.dropped for conn in conns for stream in list(conn._streams))
    for conn in conns:
        await conn.close()
    return result


async def scale(count: int, seconds: float, rounds: int) -> None:
    print(f"scale: {count} connections in pairs, 50 frames/s each, {seconds:g} s, {rounds} round(s)")
    cpu, p99 = [], []
    for _ in range(rounds):
        plain = scale_plain(count, seconds)
        aio = await scale_aio(count, seconds)
        cpu.append(aio.cpu / aio.wall / (plain.cpu / plain.wall))
        p99.append(aio.p99() / plain.p99())
        print(plain.line("plain"))
        print(aio.line("aio") + f"   x{cpu[-1]:.2f} CPU, x{p99[-1]:.2f} p99")
    if rounds > 1:
        print(f"   median of {rounds} rounds: aio x{statistics.median(cpu):.2f} CPU, x{statistics.median(p99):.2f} p99")


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
    parser.add_argument("--scale", type=int, default=0, help="connections of a bot farm (the scale run)")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each scale run")
    parser.add_argument("--rounds", type=int, default=1, help="turns of the two scale arms")
    parser.add_argument("--uvloop", action="store_true", help="run on uvloop's event loop")
    args = parser.parse_args()
    if args.uvloop:
        import uvloop

        uvloop.install()
    asyncio.run(scale(args.scale, args.seconds, args.rounds) if args.scale else main(args.events, args.samples))
