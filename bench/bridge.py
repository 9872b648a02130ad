"""Benchmarks of the Python bridge on the loopback SDK (figures, not a pass/fail gate).

    python bench/bridge.py [--seconds N] [--events N] [--rounds N] [--only SECTION ...]

0. The cost of one event, next to the reference points a user would weigh the binding against:
   the plain CPython C API calling the same Python method from a native thread (with a thread
   state made per call, and with one kept for the thread) and a ctypes CFUNCTYPE callback called
   from a native thread. The bridge paths are OnRemoteAudioAvailable(str, bool),
   OnReceiveCustomCmdMsg(str, int, int, bytes) and OnRemoteAudioReceived(str, AudioFrame). Every
   contender runs the same method body on 640-byte payloads, in batches queued before the first
   call and timed on the calling thread from the batch's first call to its last. The contenders
   take turns batch by batch, so that a change of the machine's pace (a shared machine's speed
   moves by half from one 50 ms to the next) falls on all of them alike; a figure is the median
   over the rounds, and a ratio (to the kept-state floor, to ctypes) the median of the ratios
   within each round. One more
   reference row, the kept floor with each payload handed over from another thread (a copy made
   before the batch, freed after its call, as an SDK's event thread receives a message), shows
   what reading delivered data costs any binding; the ratios stay to the kept floor. The native
   helper is the module _bridge_floor (bench/floor), built with -DOSTREL_BUILD_BENCH=ON into
   <build>/bench, next to the python/ directory _ostrel is imported from (or --floor-dir).
   Every thread of this section runs on one processor (--no-pin lets them roam): no contender
   runs anything in parallel, and where the scheduler wakes a thread otherwise decides how much
   of the interpreter's working set each batch first pulls over from the other core. A native
   thread started per batch tends to start on the waiting main thread's core; the SDK's event
   thread, made once, wakes where it last ran. Unpinned, the bridge paths then move by a third
   between runs, and more than the floor does: noise about the scheduler, not a cost of the
   bridge.
1. Callbacks per second into a trivial OnRemoteAudioReceived override, with the main thread
   waiting and with it sending nonstop.
2. p50/p99 delay from SendAudioFrame to the override, with the main thread idle and with it
   busy running Python.
3. Reading a 1080p I420 frame's payload: ``data`` (a copy), a plain bytes copy of the same size,
   and a numpy array over the frame's buffer (no copy; numpy is optional).
"""

import argparse
import ctypes
import os
import statistics
import sys
import threading
import time

import native_helpers  # noqa: E402  (beside this file)

import _ostrel as ostrel
import ostrel_loopback
from ostrel.testing import QuietDelegate, Room

FRAME_BYTES = 960 * 2  # 20 ms of 48 kHz mono


def params(user, room):
    return Room(room).params(user, sample_rate=48000)


PAYLOAD = bytes(range(256)) * 2 + bytes(range(128))  # 640 bytes, every contender's payload
BATCH = 250  # events queued before a batch starts (under the loopback's 256-frame queue bound)


class Batch:
    """The method every contender calls: the same body everywhere. It counts its calls and notes
    the time of a batch's first call and its last."""

    def __init__(self):
        self.calls = 0
        self.size = 0
        self.first = 0.0
        self.last = 0.0
        self.done = threading.Event()

    def start(self, size):
        self.calls, self.size = 0, size
        self.done.clear()

    def hit(self, *args):
        self.calls += 1
        if self.calls == 1:
            self.first = time.perf_counter()
        if self.calls == self.size:
            self.last = time.perf_counter()
            self.done.set()


class BridgeSink(QuietDelegate, Batch):
    """Each measured callback is Batch.hit itself, the method the native contenders call, so
    that every contender runs the same body in one Python frame; the sink is its own batch.
    OnRemoteUserExitRoom holds the event thread at a gate while the next batch is queued behind
    it."""

    def __init__(self):
        super().__init__()  # the delegate's initialisation ends the chain
        Batch.__init__(self)
        self.gate = threading.Event()
        self.at_gate = threading.Event()

    def OnRemoteUserExitRoom(self, user_id, reason):
        self.at_gate.set()
        self.gate.wait()

    OnRemoteAudioAvailable = OnReceiveCustomCmdMsg = OnRemoteAudioReceived = Batch.hit


def load_floor(directory):
    """The native helper, from `directory` or from <build>/bench beside the _ostrel in use."""
    return native_helpers.load_helper("_bridge_floor", directory)


def bridge_contender(sink, event, args):
    """One batch of `size` events `event` injected into the bench member; returns the seconds
    from its first callback to its last."""

    def batch(size):
        sink.gate.clear()
        sink.at_gate.clear()
        ostrel_loopback.inject(b"bench", "OnRemoteUserExitRoom", b"gate", 0)
        sink.at_gate.wait(10)
        sink.start(size)
        for _ in range(size):
            ostrel_loopback.inject(b"bench", event, *args)
        sink.gate.set()
        if not sink.done.wait(30):
            raise RuntimeError("%s: %d of %d callbacks arrived" % (event, sink.calls, size))
        return sink.last - sink.first

    return batch


def native_contender(batch, launch):
    """One batch where `launch(size)` makes `size` calls of `batch.hit` from a native thread;
    returns the seconds from its first call to its last."""

    def run(size):
        batch.start(size)
        launch(size)
        if not batch.done.is_set():
            raise RuntimeError("a native batch ended early")
        return batch.last - batch.first

    return run


# What a user writes without a binding: a C callback type, and a wrapper that makes the user id
# and the payload into Python objects before calling the method.
PEER_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t)


def floor_contender(floor, keep_state, handed_over=False):
    batch = Batch()
    return native_contender(
        batch, lambda size: floor.call_python(batch.hit, "peer", PAYLOAD, size, keep_state, handed_over)
    )


def ctypes_contender(floor):
    batch = Batch()

    def on_event(user, data, length):
        batch.hit(user.decode(), ctypes.string_at(data, length))

    callback = PEER_CALLBACK(on_event)  # referenced by launch, so alive as long as the contender

    def launch(size):
        floor.call_pointer(ctypes.cast(callback, ctypes.c_void_p).value, "peer", PAYLOAD, size)

    return native_contender(batch, launch)


def event_cost(events, rounds, floor_dir, pin):
    floor = load_floor(floor_dir)
    if floor is None:
        print("cost per event: skipped, _bridge_floor not built (configure with -DOSTREL_BUILD_BENCH=ON)")
        return
    allowed = os.sched_getaffinity(0)
    placement = "threads free to move"
    if pin:
        # Threads inherit the affinity of the thread that starts them: the cloud's event thread
        # and the floor's native threads are all started below.
        cpu = max(allowed)
        os.sched_setaffinity(0, {cpu})
        placement = "all threads on processor %d" % cpu
    try:
        measure_event_cost(floor, events, rounds, placement)
    finally:
        os.sched_setaffinity(0, allowed)


def measure_event_cost(floor, events, rounds, placement):
    ostrel_loopback.set_quality_interval(3_600_000)  # no quality reports between batches
    sink = BridgeSink()
    cloud = ostrel.VONUCloud(sink)
    cloud.EnterRoom(params("bench", "bench-event-cost"))
    sink.entered.wait(5)
    ostrel_loopback.wait_idle(5.0)

    contenders = [
        ("C API, thread state per call", floor_contender(floor, False)),
        ("C API, thread state kept", floor_contender(floor, True)),
        ("C API, kept, payload handed over", floor_contender(floor, True, handed_over=True)),
        ("ctypes callback", ctypes_contender(floor)),
        ("OnRemoteAudioAvailable(str, bool)", bridge_contender(sink, "OnRemoteAudioAvailable", (b"peer", 1))),
        (
            "OnReceiveCustomCmdMsg(str, int, int, bytes)",
            bridge_contender(sink, "OnReceiveCustomCmdMsg", (b"peer", 1, 7, PAYLOAD)),
        ),
        ("OnRemoteAudioReceived(str, AudioFrame)", bridge_contender(sink, "OnRemoteAudioReceived", (b"peer", PAYLOAD))),
    ]
    figures = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        # Batch by batch in turn, so that the machine's changes of pace (from one 50 ms to the
        # next on a shared one) fall on every contender alike.
        totals = {name: 0.0 for name, _ in contenders}
        intervals, left = 0, events
        while left > 0:
            size = min(BATCH, left)
            for name, batch in contenders:
                totals[name] += batch(size)
            intervals += size - 1
            left -= size
        for name, _ in contenders:
            figures[name].append(totals[name] / intervals)
    median = {name: statistics.median(values) for name, values in figures.items()}

    def ratio(name, reference):
        return statistics.median(a / b for a, b in zip(figures[name], figures[reference]))

    print(
        "cost per event (%d events in batches of %d, median of %d rounds, %d-byte payloads, %s):"
        % (events, BATCH, rounds, len(PAYLOAD), placement)
    )
    for name, _ in contenders:
        low, high = min(figures[name]), max(figures[name])
        print(
            "  %-46s %5.2f us (%.2f-%.2f)  %4.2fx kept floor  %4.2fx ctypes"
            % (
                name,
                median[name] * 1e6,
                low * 1e6,
                high * 1e6,
                ratio(name, "C API, thread state kept"),
                ratio(name, "ctypes callback"),
            )
        )
    cloud.ExitRoom()
    del cloud
    ostrel_loopback.set_quality_interval(2000)


class Sink(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.count = 0
        self.sent_at = {}
        self.delays = []

    def OnRemoteAudioReceived(self, user_id, frame):
        self.count += 1
        sent = self.sent_at.pop(frame.pts, None)
        if sent is not None:
            self.delays.append(time.perf_counter() - sent)


def room(name):
    sink, source = Sink(), Sink()
    receiver, sender = ostrel.VONUCloud(sink), ostrel.VONUCloud(source)
    receiver.EnterRoom(params("receiver", name))
    sender.EnterRoom(params("sender", name))
    source.entered.wait(5)
    sender.CreateLocalAudioChannel(ostrel.AudioEncodeParams())
    ostrel_loopback.wait_idle(5.0)
    frame = ostrel.AudioFrame()
    frame.sample_rate, frame.channels = 48000, 1
    frame.SetData(b"\x00\x01" * (FRAME_BYTES // 2))
    return sink, receiver, sender, frame


def callbacks_per_second(seconds):
    """Bursts of 200 frames (under the queue bound), each delivered while the main thread waits
    in wait_idle with the GIL released; then the same with the main thread sending nonstop,
    where every callback has to win the GIL from it (CPython's 5 ms switch interval)."""
    sink, receiver, sender, frame = room("bench-rate")
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        for _ in range(200):
            sender.SendAudioFrame(frame)
        ostrel_loopback.wait_idle(30.0)
    elapsed = time.perf_counter() - start
    print(
        "callbacks, main thread waiting: %d in %.2f s = %.0f callbacks/s" % (sink.count, elapsed, sink.count / elapsed)
    )

    sink.count = 0
    dropped0 = ostrel_loopback.dropped()
    sent = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        for _ in range(100):
            sender.SendAudioFrame(frame)
        sent += 100
    elapsed = time.perf_counter() - start
    delivered = sink.count
    ostrel_loopback.wait_idle(30.0)
    print(
        "callbacks, main thread sending nonstop: %.0f callbacks/s (%d sent, %d dropped by the queue bound)"
        % (delivered / elapsed, sent, ostrel_loopback.dropped() - dropped0)
    )


def delays(seconds, busy):
    sink, receiver, sender, frame = room("bench-delay-%s" % busy)
    stop = threading.Event()

    def send():
        pts = 0
        next_at = time.perf_counter()
        while not stop.is_set():
            pts += 1
            frame.pts = pts
            sink.sent_at[pts] = time.perf_counter()
            sender.SendAudioFrame(frame)
            next_at += 0.02
            time.sleep(max(0.0, next_at - time.perf_counter()))

    thread = threading.Thread(target=send)
    thread.start()
    end = time.perf_counter() + seconds
    if busy:
        x = 0
        while time.perf_counter() < end:
            for i in range(1000):
                x += i * i
    else:
        time.sleep(seconds)
    stop.set()
    thread.join()
    ostrel_loopback.wait_idle(5.0)
    d = sorted(sink.delays)
    if not d:
        print("delay (%s): no frames matched" % ("busy" if busy else "idle"))
        return
    p50 = d[len(d) // 2] * 1e6
    p99 = d[min(len(d) - 1, int(len(d) * 0.99))] * 1e6
    print(
        "delay SendAudioFrame -> override, main thread %s: p50 %.0f us, p99 %.0f us (%d frames)"
        % ("busy in Python" if busy else "idle", p50, p99, len(d))
    )


def data_read_speed():
    size = 1920 * 1080 * 3 // 2
    frame = ostrel.PixelFrame()
    frame.width, frame.height = 1920, 1080
    payload = bytes(range(256)) * (size // 256) + bytes(size % 256)
    frame.SetData(payload)
    buffer = bytearray(payload)

    def best(fn, n=50):
        times = []
        for _ in range(n):
            t = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t)
        return statistics.median(times)

    t_data = best(lambda: frame.data)
    t_copy = best(lambda: bytes(buffer))
    t_view = best(lambda: memoryview(frame).release())
    print(
        "1080p I420 (%d bytes): frame.data %.0f us (%.1f GB/s); bytes copy %.0f us (%.1f GB/s); "
        "memoryview %.2f us"
        % (size, t_data * 1e6, size / t_data / 1e9, t_copy * 1e6, size / t_copy / 1e9, t_view * 1e6)
    )
    try:
        import numpy
    except ImportError:
        print("1080p I420: numpy not installed, no array figures")
        return
    t_array = best(lambda: numpy.frombuffer(frame, dtype=numpy.uint8))
    t_from_data = best(lambda: numpy.frombuffer(frame.data, dtype=numpy.uint8))
    print(
        "1080p I420 as a numpy array: over the frame's buffer %.2f us; over a copy from data %.0f us (%.0fx)"
        % (t_array * 1e6, t_from_data * 1e6, t_from_data / t_array)
    )


SECTIONS = ["events", "rate", "delay", "payload"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--events", type=int, default=50_000, help="events per contender and round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--floor-dir", help="directory holding the _bridge_floor module")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=SECTIONS)
    parser.add_argument(
        "--no-pin",
        dest="pin",
        action="store_false",
        help="let the threads of the per-event section run on any processor",
    )
    args = parser.parse_args(argv)
    if "events" in args.only:
        event_cost(args.events, args.rounds, args.floor_dir, args.pin)
    if "rate" in args.only:
        callbacks_per_second(args.seconds)
    if "delay" in args.only:
        delays(args.seconds, busy=False)
        delays(args.seconds, busy=True)
    if "payload" in args.only:
        data_read_speed()
    return 0


if __name__ == "__main__":
    sys.exit(main())
