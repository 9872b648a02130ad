"""The Python thread state of an SDK thread: kept from one callback to the next, given back
when the thread ends. Each scenario runs in a subprocess with a timeout."""
from test_lifecycle import run_python

COMMON = """
import ctypes, threading, time, weakref
import _ostrel as o, ostrel_loopback as lb
from roomkit import EventLog, enter_params

api = ctypes.pythonapi
api.PyInterpreterState_Main.restype = ctypes.c_void_p
api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
api.PyThreadState_Next.restype = ctypes.c_void_p
api.PyThreadState_Next.argtypes = [ctypes.c_void_p]

def thread_states():
    # Deleting a thread state takes the GIL, which this walk holds (ctypes.pythonapi keeps it).
    count, state = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Main())
    while state:
        count, state = count + 1, api.PyThreadState_Next(state)
    return count

def settles_at(expected, timeout=10.0):
    deadline = time.monotonic() + timeout
    while thread_states() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_states()

local = threading.local()
finalized = []

class Token:
    pass

class Counter(EventLog):
    def OnReceiveCustomCmdMsg(self, user, cmd, seq, msg):
        if not hasattr(local, "calls"):
            local.calls = 0
            local.token = Token()
            weakref.finalize(local.token, finalized.append, threading.get_ident())
        local.calls += 1
        super().OnReceiveCustomCmdMsg(user, cmd, (threading.get_ident(), local.calls), msg)

def exchange(room, messages):
    receiver, sender = Counter(), EventLog()
    clouds = [o.VONUCloud(receiver), o.VONUCloud(sender)]
    clouds[0].EnterRoom(enter_params("r", room=room))
    clouds[1].EnterRoom(enter_params("s", room=room))
    assert lb.wait_idle(10.0)
    for i in range(messages):
        clouds[1].SendCustomCmdMsg(1, b"m%d" % i, True, True)
    assert receiver.wait_for(lambda d: len(d.of("OnReceiveCustomCmdMsg")) == messages)
    return clouds, [seq for _, _, seq, _ in receiver.of("OnReceiveCustomCmdMsg")]
"""


def test_threading_local_lives_as_long_as_the_sdk_thread():
    out = run_python(COMMON + """
base = thread_states()
clouds, seen = exchange("local", 20)
per_thread = {}
for ident, calls in seen:
    per_thread.setdefault(ident, []).append(calls)
# Each SDK thread counts its own callbacks, from 1 and without a gap.
assert all(calls == list(range(1, len(calls) + 1)) for calls in per_thread.values()), per_thread
assert threading.get_ident() not in per_thread and not hasattr(local, "calls")
assert finalized == []
del clouds
assert lb.wait_idle(10.0) and lb.live_instances() == 0
# The threads end: their states go, and the thread-local data with them.
print("states", settles_at(base) - base, "finalized", sorted(finalized) == sorted(per_thread))
""")
    assert out.returncode == 0, out.stderr
    assert "states 0 finalized True" in out.stdout, out.stdout


def test_thread_states_do_not_grow_over_cloud_lifetimes():
    out = run_python(COMMON + """
base = thread_states()
for i in range(100):
    clouds, _ = exchange("cycle%d" % i, 2)
    del clouds
assert lb.wait_idle(10.0) and lb.live_instances() == 0
print("states", settles_at(base) - base, "finalized", len(finalized) >= 100)
""", timeout=300)
    assert out.returncode == 0, out.stderr
    assert "states 0 finalized True" in out.stdout, out.stdout
