"""Instructions per event through the bridge, next to the C-API floor (figures, not a gate).

    python bench/instructions.py [--events N] [--floor-dir DIR]

Wall-clock figures of one event (bench/bridge.py) move by a third from run to run on a shared
machine; instruction counts do not. Each contender runs in a child under valgrind's callgrind,
counting only what runs inside the callback: for the bridge, inside the delegate's native
override (``PyVONUCloudDelegate::<event>``: exit gate, GIL, method lookup, arguments, the call and the
same Python method body as in bridge.py); for the floor, inside ``_bridge_floor.call_python`` with
a kept thread state (GIL, a str and a 640-byte bytes made per call, the call). What the loopback
SDK does to queue and dispatch an event is outside both. Needs valgrind on PATH and the floor
helper built (-DOSTREL_BUILD_BENCH=ON), found as in bridge.py.

Beside the instructions, the misses per event in callgrind's simulated first-level instruction
and data caches (valgrind's model, sized as this machine's): where a path's time grows faster
than its instructions, this is where to look. The events come in gated batches, as in bridge.py,
so that the event thread runs alone, as it does while bridge.py times it: the caches are
simulated for the whole process, not per processor.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import List, Optional, Tuple

import bridge  # noqa: E402  (beside this file: the batches and the method body)

import _ostrel as ostrel

HERE = os.path.dirname(os.path.abspath(__file__))

# The child for one bridge path: a member gets `count` injected events of `event`, in gated batches.
BRIDGE_CHILD = r"""
import sys
import _ostrel as o, ostrel_loopback as lb
sys.path.insert(0, sys.argv[3])
import bridge
event, count = sys.argv[1], int(sys.argv[2])
args = {"OnRemoteAudioAvailable": (b"peer", 1), "OnReceiveCustomCmdMsg": (b"peer", 1, 7, bridge.PAYLOAD),
        "OnRemoteAudioReceived": (b"peer", bridge.PAYLOAD)}[event]

sink = bridge.BridgeSink()
lb.set_quality_interval(3_600_000)
cloud = o.VONUCloud(sink)
cloud.EnterRoom(bridge.params("bench", "bench-instructions"))
sink.entered.wait(5)
lb.wait_idle(5.0)
batch = bridge.bridge_contender(sink, event, args)
for _ in range(count // bridge.BATCH):
    batch(bridge.BATCH)
cloud.ExitRoom()
"""

# The child for the floor: `count` calls from a native thread with a kept thread state.
FLOOR_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[3])
import bridge
floor = bridge.load_floor(sys.argv[2] or None)
batch = bridge.Batch()
batch.start(int(sys.argv[1]))
floor.call_python(batch.hit, "peer", bridge.PAYLOAD, int(sys.argv[1]), True)
"""


def instructions(toggle: str, argv: List[str]) -> Tuple[int, int, int]:
    """Instructions, and misses of the simulated L1 instruction and data caches, counted by
    callgrind inside functions matching `toggle` for the child `argv`."""
    with tempfile.TemporaryDirectory() as scratch:
        out = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--cache-sim=yes",
                "--callgrind-out-file=" + os.path.join(scratch, "cg"),
                "--toggle-collect=" + toggle,
                sys.executable,
            ]
            + argv,
            capture_output=True,
            text=True,
            check=True,
        )
    # With the cache simulation: Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw.
    found = re.search(r"Collected :((?: \d+){9})", out.stderr)
    if found is None:
        raise RuntimeError("no count from callgrind:\n" + out.stderr[-2000:])
    counts = [int(n) for n in found.group(1).split()]
    return counts[0], counts[3], counts[4] + counts[5]


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=4000)
    parser.add_argument("--floor-dir")
    options = parser.parse_args(argv)
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not on PATH")
    examples = os.path.join(HERE, os.pardir, "examples")
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(ostrel.__file__)), examples]
        + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    count = options.events
    count = options.events - options.events % bridge.BATCH  # whole batches
    floor = instructions("*call_python*", ["-c", FLOOR_CHILD, str(count), options.floor_dir or "", HERE])
    print(
        "per event (%d events, callgrind, inside the callback):    instructions        L1i misses  L1d misses" % count
    )
    print(
        "  %-46s %6.0f  1.00x floor  %9.1f  %10.1f"
        % ("C API, thread state kept", floor[0] / count, floor[1] / count, floor[2] / count)
    )
    for event, label in (
        ("OnRemoteAudioAvailable", "OnRemoteAudioAvailable(str, bool)"),
        ("OnReceiveCustomCmdMsg", "OnReceiveCustomCmdMsg(str, int, int, bytes)"),
        ("OnRemoteAudioReceived", "OnRemoteAudioReceived(str, AudioFrame)"),
    ):
        cost = instructions("PyVONUCloudDelegate::%s*" % event, ["-c", BRIDGE_CHILD, event, str(count), HERE])
        print(
            "  %-46s %6.0f  %4.2fx floor  %9.1f  %10.1f"
            % (label, cost[0] / count, cost[0] / floor[0], cost[1] / count, cost[2] / count)
        )


if __name__ == "__main__":
    main()
