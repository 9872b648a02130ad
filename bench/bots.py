"""A process full of bots on the loopback SDK (figures, not a pass/fail gate).

    python bench/bots.py [--clouds 50 100 200] [--seconds 10] [--idle-seconds 5]

For each count, in a fresh process: that many clouds in pairs, each pair alone in a room, every
cloud sending 50 frames a second (20 ms of 48 kHz mono PCM) to its partner and receiving its
partner's in OnRemoteAudioReceived. One Python thread sends for all of them, the way a bot runner
with one timer would. Printed per count: the process's threads and resident memory, its CPU use
as a share of one core, and the delay from SendAudioFrame to the receiver's override (p50, p99);
then the same clouds idle in their rooms (no sending) for threads, memory and CPU.

Profiles of a run, e.g. the 200-cloud one:

    python bench/bots.py --clouds 200 --child &    # prints its figures when done
    py-spy record --native --format raw -o bots.txt --pid $!
    perf record -F 999 -g -p $!                     # native frames, where perf is allowed
"""

import argparse
import os
import resource
import subprocess
import sys
import time
from typing import Callable, List, Optional, Sequence, Tuple

import _ostrel as ostrel
import ostrel_loopback
from ostrel.testing import QuietDelegate, Room

RATE = 48000
FRAME_MS = 20
SAMPLES = RATE * FRAME_MS // 1000
HISTORY = 64  # send times kept per cloud, by pts modulo this (far more than a frame's delay)


class Bot(QuietDelegate):
    """Receives its partner's audio and notes each frame's delay since its send."""

    def __init__(self, sent_at: List[float]) -> None:
        super().__init__()
        self.sent_at = sent_at  # the partner's send times, by pts modulo HISTORY
        self.delays: List[float] = []  # seconds from send to this override, per frame
        self.received = 0  # frames received

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: ostrel.AudioFrame) -> None:
        self.received += 1
        sent = self.sent_at[frame.pts % HISTORY]
        if sent:
            self.delays.append(time.perf_counter() - sent)


def process_figures() -> Tuple[int, float]:
    """Threads and resident memory (MiB) of this process now."""
    threads = len(os.listdir("/proc/self/task"))
    with open("/proc/self/status") as status:
        rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return threads, rss_kib / 1024


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def cpu_share(seconds: float, work: Callable[[float], None]) -> float:
    """Runs `work` and returns the process's CPU time over that wall time (1.0 = one core)."""
    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    work(seconds)
    return (cpu_seconds() - cpu0) / (time.perf_counter() - wall0)


def percentile(sorted_values: Sequence[float], fraction: float) -> float:
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * fraction))]


def run_clouds(count: int, seconds: float, idle_seconds: float) -> None:
    pairs = count // 2
    send_times = [[0.0] * HISTORY for _ in range(2 * pairs)]
    bots: List[Bot] = []
    clouds: List[ostrel.VONUCloud] = []
    for pair in range(pairs):
        room = "bots-%d" % pair
        for side in range(2):
            index = 2 * pair + side
            partner = index ^ 1
            bot = Bot(send_times[partner])
            cloud = ostrel.VONUCloud(bot)
            assert cloud.EnterRoom(Room(room).params("bot-%d" % index, sample_rate=RATE)) == 0
            bots.append(bot)
            clouds.append(cloud)
    for bot in bots:
        bot.entered.wait(10)
    params = ostrel.AudioEncodeParams()
    params.sample_rate, params.channels, params.frame_length_ms = RATE, 1, FRAME_MS
    for cloud in clouds:
        assert cloud.CreateLocalAudioChannel(params) == 0
    ostrel_loopback.wait_idle(10.0)

    frame = ostrel.AudioFrame()
    frame.sample_rate, frame.channels = RATE, 1
    frame.SetData(b"\x10\x00" * SAMPLES)

    def send(duration: float) -> None:
        stop = time.perf_counter() + duration
        next_at = time.perf_counter()
        pts = 0
        while next_at < stop:
            pts += FRAME_MS
            frame.pts = pts
            slot = pts % HISTORY
            for index, cloud in enumerate(clouds):
                send_times[index][slot] = time.perf_counter()
                cloud.SendAudioFrame(frame)
            next_at += FRAME_MS / 1000
            time.sleep(max(0.0, next_at - time.perf_counter()))
        ostrel_loopback.wait_idle(10.0)

    busy_share = cpu_share(seconds, send)
    threads, rss = process_figures()
    delays = sorted(d for bot in bots for d in bot.delays)
    received = sum(bot.received for bot in bots)
    idle_share = cpu_share(idle_seconds, time.sleep)
    idle_threads, idle_rss = process_figures()
    print(
        "%3d clouds sending: %d threads, %.1f MiB, %.1f %% of a core, delay p50 %.2f ms p99 %.2f ms "
        "(%d frames, %d dropped)"
        % (
            count,
            threads,
            rss,
            busy_share * 100,
            percentile(delays, 0.5) * 1e3,
            percentile(delays, 0.99) * 1e3,
            received,
            ostrel_loopback.dropped(),
        )
    )
    print(
        "%3d clouds idle:    %d threads, %.1f MiB, %.2f %% of a core"
        % (count, idle_threads, idle_rss, idle_share * 100)
    )
    sys.stdout.flush()
    for cloud in clouds:
        cloud.ExitRoom()
    ostrel_loopback.wait_idle(10.0)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clouds", type=int, nargs="+", default=[50, 100, 200])
    parser.add_argument("--seconds", type=float, default=10.0, help="sending time per count")
    parser.add_argument("--idle-seconds", type=float, default=5.0)
    parser.add_argument("--child", action="store_true", help="run one count in this process")
    args = parser.parse_args(argv)
    if args.child:
        for count in args.clouds:
            run_clouds(count, args.seconds, args.idle_seconds)
        return 0
    for count in args.clouds:
        # A fresh process per count, so that threads and memory are that count's alone.
        subprocess.run(
            [
                sys.executable,
                os.path.abspath(__file__),
                "--child",
                "--clouds",
                str(count),
                "--seconds",
                str(args.seconds),
                "--idle-seconds",
                str(args.idle_seconds),
            ],
            check=True,
            timeout=args.seconds + args.idle_seconds + 300,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
