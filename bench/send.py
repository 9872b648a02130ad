"""Benchmark of a send's cost to the calling Python thread (figures, not a pass/fail gate).

    python bench/send.py [--seconds N] [--rounds N] [--fps N] [--width W] [--height H] [--reference-copy]
                         [--busy N]

One member sends 1080p I420 frames with ``SendPixelFrame`` at 30 frames a second to another that
subscribed to it, once as a receiver of encoded video (the SDK encodes H.264 for it) and once as
a receiver of pixel frames (same form, no codec); with --rounds N, N times each, taking turns. The
first second of each run warms up (the first calls start the SDK's worker and grow the heap) and
is not counted. For each run it prints:

- the time of one ``SendPixelFrame`` call on the sending thread, median and worst, in real time
  and in the sending thread's CPU time (the work the call does; real time adds waiting for a
  core, which a loaded machine shows as outliers); the calls over 2 ms, and how many of those the
  thread spent neither switched out nor faulting pages in, with under 1 ms of CPU time: calls
  whose processor the hypervisor took away (see steal below), not the process;
- the gaps seen by a ticker: a Python thread that sleeps 1 ms at a time and notes how long each
  wake-up took. A send that keeps the GIL while it works shows as a gap that long; median, p99
  and the longest gap are printed. On a machine with few processors a gap also grows while the
  woken ticker waits for a processor that the SDK's codec threads (or anything else) are using,
  which is not the GIL: where Linux says how long the thread waited on a run queue
  (/proc/thread-self/schedstat), the gaps follow again with that wait taken out of each (sleep,
  GIL and run time are what remain);
- the GIL waits alone, where the helper _gil_probe (bench/gil_probe, built with
  -DOSTREL_BUILD_BENCH=ON into <build>/bench beside the python/ directory _ostrel comes from) is
  found: a second ticker thread sleeps 1 ms at a time in native code, with the GIL released,
  and times each wake-up from the moment it runs again to the moment it holds the GIL; where
  Linux says, the same figures follow less the part of each wait spent on a run queue (the GIL
  given up, the woken ticker waiting for a processor, which is not a thread holding the GIL);
  and the same ticker's 1-ms sleeps themselves, which hold no GIL wait: a timer that fires late
  (an idle virtual processor woken late by the hypervisor, say) stretches them as it stretches
  the Python ticker's gaps;
- for the slowest call: its CPU time, page faults and context switches;
- after all runs, for each receiver, the ticker's gaps (as they are and less its run-queue
  wait), the GIL waits and the native ticker's sleeps pooled over its runs: median, p99, p99.9,
  how often one exceeded 2 and 5 ms (a gap, a sleep) or 1 and 2 ms (a GIL wait) per minute, and
  the longest; with several rounds, also each run's longest, their median, and in how many
  rounds the H.264 run's longest was no longer than the pixel run's beside it. The longest of a
  run is one sample in some ten thousand: the runs' spread of it, and the rates, tell a receiver
  that makes long waits from a machine that made one;
- with --reference-copy, what the machine itself gives a copy of that size: right after each
  send, the sending thread copies the same number of bytes from one of the frames' own payloads
  (as cold as the send's source) into one of four buffers taken in turn (as warm as the SDK's
  four pooled frames), with ctypes.memmove, which releases the GIL. Its median, worst and count
  over 2 ms are what any send that keeps the caller's frame (every SDK must copy it before it
  returns) can at best do on this machine at that moment. Off by default: the copy takes a
  processor and memory bandwidth that the ticker and the encoder would otherwise have;
- the frames sent and those the receiver got (warm-up included), and the frames the SDK dropped
  on the way (``send_dropped``, when the loopback SDK counts them). With --busy N, N other
  processes spin on the processors through all runs: a loaded machine, where the SDK's codec
  threads get only their share of a processor, and a receiver of H.264 loses the frames its
  encoder could not keep up with;
- the time the machine's hypervisor ran something else on our processors during the run ("steal"
  in /proc/stat, on Linux guests): a call or a gap stretched by it is not the process's doing.
"""

import argparse
import ctypes
import os
import resource
import statistics
import subprocess
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

import native_helpers  # noqa: E402  (beside this file)

import _ostrel as ostrel
import ostrel_loopback
from ostrel.testing import QuietDelegate, Room, pattern_i420


def pattern_frame(index: int, width: int, height: int) -> ostrel.PixelFrame:
    """Frame ``index`` of the moving I420 test pattern."""
    frame = ostrel.PixelFrame()
    frame.width, frame.height = width, height
    frame.format = ostrel.VIDEO_PIXEL_FORMAT_YUV420p
    frame.SetData(pattern_i420(index, width, height))
    return frame


class Receiver(QuietDelegate):
    """Counts the video frames it gets, in either form."""

    def __init__(self) -> None:
        super().__init__()
        self.frames = 0

    def OnRemoteVideoFrameReceived(
        self, user_id: Optional[str], type: ostrel.StreamType, frame: ostrel.VideoFrame, /
    ) -> None:
        self.frames += 1

    def OnRemotePixelFrameReceived(
        self, user_id: Optional[str], type: ostrel.StreamType, frame: ostrel.PixelFrame, /
    ) -> None:
        self.frames += 1


class Ticker(threading.Thread):
    """Wakes every millisecond and keeps the length of each sleep-and-wake-up, and of the same
    less the time the thread spent waiting for a processor meanwhile (empty where unknown)."""

    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.gaps: List[float] = []
        self.off_queue: List[float] = []
        self.stop = threading.Event()

    def run(self) -> None:
        try:
            fd: Optional[int] = os.open("/proc/thread-self/schedstat", os.O_RDONLY)
        except OSError:
            fd = None
        try:
            last, waited = time.perf_counter(), run_queue_wait(fd)
            while not self.stop.is_set():
                time.sleep(0.001)
                now, wait = time.perf_counter(), run_queue_wait(fd)
                self.gaps.append(now - last)
                if wait is not None and waited is not None:
                    self.off_queue.append(now - last - (wait - waited))
                last, waited = now, wait
        finally:
            if fd is not None:
                os.close(fd)


def run_queue_wait(schedstat: Optional[int]) -> Optional[float]:
    """The seconds a thread has spent runnable but waiting for a processor so far (the second
    field of its schedstat, open as `schedstat`), or None where Linux does not say."""
    if schedstat is None:
        return None
    try:
        return int(os.pread(schedstat, 128, 0).split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return None


class GilProbe(threading.Thread):
    """Ticks for `seconds` through _gil_probe, keeping the GIL wait of each wake-up, the same
    less its time on a run queue (empty where unknown), and the 1-ms sleep before it."""

    def __init__(self, probe: Any, seconds: float) -> None:
        super().__init__(daemon=True)
        self.probe, self.seconds = probe, seconds
        self.waits: List[float] = []
        self.off_queue: List[float] = []
        self.sleeps: List[float] = []

    def run(self) -> None:
        wakes = self.probe.tick(self.seconds)
        self.waits = [wait for wait, _, _ in wakes]
        self.sleeps = [slept for _, _, slept in wakes]
        if all(queued is not None for _, queued, _ in wakes):
            self.off_queue = [wait - queued for wait, queued, _ in wakes]


def load_probe() -> Any:
    """_gil_probe from <build>/bench beside the _ostrel in use, or None when it was not built."""
    return native_helpers.load_helper("_gil_probe")


RUSAGE_THREAD = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)


def steal_seconds() -> float:
    """Processor time stolen from this (virtual) machine so far; 0 where /proc/stat does not say."""
    try:
        with open("/proc/stat") as stat:
            fields = stat.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def percentile(values: List[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


class ReferenceCopy:
    """A plain copy of a frame's size, timed: the payload of frame `i` into buffer `i` mod 4."""

    def __init__(self, frames: List[ostrel.PixelFrame]) -> None:
        self.sources = [frame.data for frame in frames]
        self.targets = [ctypes.create_string_buffer(len(self.sources[0])) for _ in range(4)]
        self.times: List[float] = []

    def __call__(self, i: int) -> None:
        source, target = self.sources[i % len(self.sources)], self.targets[i % len(self.targets)]
        t0 = time.perf_counter()
        ctypes.memmove(target, source, len(source))
        self.times.append(time.perf_counter() - t0)

    def figures(self) -> Dict[str, float]:
        if not self.times:
            return {}
        return {
            "copy_median_ms": statistics.median(self.times) * 1000,
            "copy_worst_ms": max(self.times) * 1000,
            "copy_over_2ms": sum(1 for t in self.times if t > 0.002),
        }


def run(
    room: str,
    pixel_out: bool,
    frames: List[ostrel.PixelFrame],
    seconds: float,
    fps: int,
    probe: Any,
    reference: Optional[ReferenceCopy],
) -> Tuple[Dict[str, float], Dict[str, List[float]]]:
    """One run: its figures, and its samples to pool over rounds (the ticker's gaps, the same
    less its time on a run queue, the GIL waits, the same less theirs, and the native ticker's
    sleeps; empty where unknown), in seconds."""
    sender, receiver = QuietDelegate(), Receiver()
    cs, cr = ostrel.VONUCloud(sender), ostrel.VONUCloud(receiver)
    try:
        assert cr.EnterRoom(Room(room).params("viewer", pixel_out=pixel_out)) == 0
        assert cr.Subscribe("camera", ostrel.STREAM_TYPE_VIDEO_HIGH) == 0
        assert cs.EnterRoom(Room(room).params("camera", pixel_in=True)) == 0
        assert cs.CreateLocalVideoChannel(ostrel.STREAM_TYPE_VIDEO_HIGH) == 0
        assert ostrel_loopback.wait_idle(5.0)
        dropped_before = send_dropped()
        calls: List[float] = []
        cpu: List[float] = []
        stalled = 0  # calls over 2 ms that neither switched nor faulted, and used under 1 ms of CPU
        worst = (0.0, 0.0, 0, 0)  # the slowest call: real and CPU seconds, page faults, switches
        ticker = Ticker()
        gil_probe = GilProbe(probe, seconds) if probe is not None else None
        steal_before = steal_seconds()
        period = 1.0 / fps
        start = time.perf_counter()
        warm_up = fps
        total = warm_up + int(seconds * fps)
        for i in range(total):
            if i == warm_up:
                ticker.start()
                if gil_probe is not None:
                    gil_probe.start()
            due = start + i * period
            pause = due - time.perf_counter()
            if pause > 0:
                time.sleep(pause)
            frame = frames[i % len(frames)]
            frame.pts = int(time.monotonic() * 1000) & 0xFFFFFFFF
            u0 = resource.getrusage(RUSAGE_THREAD)
            c0, t0 = time.thread_time(), time.perf_counter()
            assert cs.SendPixelFrame(ostrel.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            if i < warm_up:
                continue
            calls.append(time.perf_counter() - t0)
            cpu.append(time.thread_time() - c0)
            u1 = resource.getrusage(RUSAGE_THREAD)
            if calls[-1] > worst[0]:
                worst = (
                    calls[-1],
                    cpu[-1],
                    u1.ru_minflt - u0.ru_minflt,
                    u1.ru_nvcsw + u1.ru_nivcsw - u0.ru_nvcsw - u0.ru_nivcsw,
                )
            if (
                calls[-1] > 0.002
                and cpu[-1] < 0.001
                and u1.ru_minflt == u0.ru_minflt
                and (u1.ru_nvcsw + u1.ru_nivcsw == u0.ru_nvcsw + u0.ru_nivcsw)
            ):
                stalled += 1
            if reference is not None:
                reference(i)
        ticker.stop.set()
        ticker.join()
        if gil_probe is not None:
            gil_probe.join()
        steal = steal_seconds() - steal_before
        assert ostrel_loopback.wait_idle(30.0)
        return {
            "call_median_ms": statistics.median(calls) * 1000,
            "call_worst_ms": max(calls) * 1000,
            "cpu_median_ms": statistics.median(cpu) * 1000,
            "cpu_worst_ms": max(cpu) * 1000,
            "over_2ms": sum(1 for c in calls if c > 0.002),
            "stalled": stalled,
            "worst_cpu_ms": worst[1] * 1000,
            "worst_faults": worst[2],
            "worst_switches": worst[3],
            "gap_median_ms": statistics.median(ticker.gaps) * 1000,
            "gap_p99_ms": percentile(ticker.gaps, 0.99) * 1000,
            "gap_worst_ms": max(ticker.gaps) * 1000,
            **(reference.figures() if reference is not None else {}),
            "sent": total,
            "received": receiver.frames,
            "dropped": send_dropped() - dropped_before,
            "steal_ms": steal * 1000,
        }, {
            "gaps": ticker.gaps,
            "off_queue": ticker.off_queue,
            "gil_wait": gil_probe.waits if gil_probe is not None else [],
            "gil_off_queue": gil_probe.off_queue if gil_probe is not None else [],
            "native_sleep": gil_probe.sleeps if gil_probe is not None else [],
        }
    finally:
        cs.ExitRoom()
        cr.ExitRoom()
        del cs, cr


def tail_figures(samples: List[float], seconds: float, limits: Tuple[float, float]) -> str:
    """A line of figures for waits or gaps pooled over runs of `seconds` in all: median, p99,
    p99.9, how many exceeded each of the two `limits` per minute, and the longest."""
    per_minute = 60.0 / seconds
    over = "".join(
        f"  over {limit * 1000:g} ms {sum(1 for w in samples if w > limit) * per_minute:5.1f}/min" for limit in limits
    )
    return (
        f"median {statistics.median(samples) * 1000:.3f} ms  p99 {percentile(samples, 0.99) * 1000:.2f} ms"
        f"  p99.9 {percentile(samples, 0.999) * 1000:.2f} ms{over}  worst {max(samples) * 1000:.2f} ms"
    )


def send_dropped() -> int:
    counter = getattr(ostrel_loopback, "send_dropped", None)
    return int(counter()) if counter is not None else 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="sending time per run")
    parser.add_argument("--rounds", type=int, default=1, help="runs per receiver kind, taking turns")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument(
        "--reference-copy",
        action="store_true",
        help="after each send, time a plain copy of the frame's size (see above)",
    )
    parser.add_argument("--busy", type=int, default=0, help="processes spinning through the runs (see above)")
    args = parser.parse_args()
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.busy)]
    try:
        measure(args)
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()


def measure(args: argparse.Namespace) -> None:
    """The runs and their figures, as the module's docstring says."""
    frames = [pattern_frame(i, args.width, args.height) for i in range(30)]
    probe = load_probe()
    kinds = (("H.264", False), ("pixels", True))
    busy = f", {args.busy} processes spinning" if args.busy else ""
    print(f"SendPixelFrame of {args.width}x{args.height} I420 at {args.fps} fps, {args.seconds:g} s per run{busy}")
    print(
        "receiver   call median  call worst   cpu median  cpu worst  >2 ms (stalled)"
        "   gap median  gap p99  gap worst   sent  received  dropped     steal"
    )
    results: List[Tuple[str, Dict[str, float]]] = []
    pooled: Dict[str, Dict[str, List[float]]] = {name: {} for name, _ in kinds}
    round_worst: Dict[str, Dict[str, List[float]]] = {name: {} for name, _ in kinds}
    for turn in range(args.rounds):
        for name, pixel_out in kinds:
            reference = ReferenceCopy(frames) if args.reference_copy else None
            r, samples = run(f"bench-send-{name}-{turn}", pixel_out, frames, args.seconds, args.fps, probe, reference)
            results.append((name, r))
            for key, values in samples.items():
                pooled[name].setdefault(key, []).extend(values)
                if values:
                    round_worst[name].setdefault(key, []).append(max(values))
            print(
                f"{name:<9} {r['call_median_ms']:9.2f} ms {r['call_worst_ms']:8.2f} ms"
                f" {r['cpu_median_ms']:9.2f} ms {r['cpu_worst_ms']:7.2f} ms"
                f" {r['over_2ms']:6d} ({r['stalled']:d})"
                f" {r['gap_median_ms']:9.2f} ms {r['gap_p99_ms']:6.2f} ms {r['gap_worst_ms']:7.2f} ms"
                f" {r['sent']:6d} {r['received']:9d} {r['dropped']:8d} {r['steal_ms']:6.0f} ms"
            )
    for name, r in results:
        print(
            f"{name:<9} slowest call: {r['call_worst_ms']:.2f} ms, of which {r['worst_cpu_ms']:.2f} ms on a processor;"
            f" {r['worst_faults']:.0f} page faults, {r['worst_switches']:.0f} context switches"
        )
    if all("copy_median_ms" in r for _, r in results):
        print("plain copy of the frame's bytes right after each send (ctypes.memmove, GIL released):")
        for name, r in results:
            print(
                f"{name:<9} median {r['copy_median_ms']:.2f} ms  worst {r['copy_worst_ms']:.2f} ms"
                f"  over 2 ms: {r['copy_over_2ms']:.0f}"
            )
    if not any(pooled[name].get("gil_wait") for name, _ in kinds):
        print("GIL wait of a waking thread: _gil_probe not built (configure with -DOSTREL_BUILD_BENCH=ON)")
    seconds = args.seconds * args.rounds
    # A ticker's gap holds its 1-ms sleep; a GIL wait holds nothing else.
    for key, limits, title in (
        ("gaps", (0.002, 0.005), "ticker gaps"),
        (
            "off_queue",
            (0.002, 0.005),
            "ticker gaps less the time the ticker waited for a processor (sleep, GIL and run time)",
        ),
        ("gil_wait", (0.001, 0.002), "GIL wait of a waking thread (_gil_probe)"),
        ("gil_off_queue", (0.001, 0.002), "the same less its time waiting for a processor"),
        (
            "native_sleep",
            (0.002, 0.005),
            "the 1-ms sleeps of the native ticker, no GIL involved (what the machine adds to any gap)",
        ),
    ):
        if all(pooled[name].get(key) for name, _ in kinds):
            print(f"{title}, over {seconds:g} s per receiver:")
            for name, _ in kinds:
                print(f"{name:<9} {tail_figures(pooled[name][key], seconds, limits)}")
            if args.rounds > 1:
                for name, _ in kinds:
                    worsts = ", ".join(f"{w * 1000:.2f}" for w in round_worst[name][key])
                    middle = statistics.median(round_worst[name][key]) * 1000
                    print(f"{name:<9} worst of each run: {worsts} ms (median {middle:.2f} ms)")
                (first, _), (second, _) = kinds
                shorter = sum(1 for a, b in zip(round_worst[first][key], round_worst[second][key]) if a <= b)
                print(
                    f"rounds in which the {first} run's worst was no longer than the {second} run's:"
                    f" {shorter} of {args.rounds}"
                )


if __name__ == "__main__":
    main()
