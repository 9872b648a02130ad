"""Benchmarks of the Python bridge on the loopback SDK (figures, not a pass/fail gate).

    python bench/bridge.py [--seconds N]

1. Callbacks per second into a trivial OnRemoteAudioReceived override, with the main thread
   waiting and with it sending nonstop.
2. p50/p99 delay from SendAudioFrame to the override, with the main thread idle and with it
   busy running Python.
3. Reading ``data`` of a 1080p I420 frame, next to a plain bytes copy of the same size.
"""
import argparse
import os
import statistics
import sys
import threading
import time

import _ostrel as ostrel
import ostrel_loopback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import room_helpers  # noqa: E402  (the examples' shared helpers)

FRAME_BYTES = 960 * 2  # 20 ms of 48 kHz mono


def params(user, room):
    return room_helpers.enter_params(user, room, rate=48000)


class Sink(room_helpers.QuietDelegate):
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
    print("callbacks, main thread waiting: %d in %.2f s = %.0f callbacks/s" % (
        sink.count, elapsed, sink.count / elapsed))

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
    print("callbacks, main thread sending nonstop: %.0f callbacks/s (%d sent, %d dropped by the queue bound)" % (
        delivered / elapsed, sent, ostrel_loopback.dropped() - dropped0))


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
    print("delay SendAudioFrame -> override, main thread %s: p50 %.0f us, p99 %.0f us (%d frames)" % (
        "busy in Python" if busy else "idle", p50, p99, len(d)))


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
    print("1080p I420 (%d bytes): frame.data %.0f us (%.1f GB/s); bytes copy %.0f us (%.1f GB/s)" % (
        size, t_data * 1e6, size / t_data / 1e9, t_copy * 1e6, size / t_copy / 1e9))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args(argv)
    callbacks_per_second(args.seconds)
    delays(args.seconds, busy=False)
    delays(args.seconds, busy=True)
    data_read_speed()
    return 0


if __name__ == "__main__":
    sys.exit(main())
