"""The Python thread state of an SDK thread: kept from one callback to the next, released after
the thread ends without the ending thread waiting for the GIL. Each scenario runs in a
subprocess with a timeout."""

import pytest
from test_lifecycle import run_python

COMMON = """
import ctypes, os, sys, threading, time, weakref
import _ostrel as o, ostrel_loopback as lb
from roomkit import EventLog, enter_params
from ostrel.testing import thread_states

def wait_until(test, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not test() and time.monotonic() < deadline:
        time.sleep(0.01)
    return test()

local = threading.local()
finalized = []

class Token:
    pass

def mark_thread():
    # threading.local data whose finalizer notes the thread once that data is released.
    if not hasattr(local, "calls"):
        local.calls = 0
        local.token = Token()
        weakref.finalize(local.token, finalized.append, threading.get_ident())
    local.calls += 1
    return local.calls

class Counter(EventLog):
    def OnReceiveCustomCmdMsg(self, user, cmd, seq, msg):
        super().OnReceiveCustomCmdMsg(user, cmd, (threading.get_ident(), mark_thread()), msg)

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

class DropsItself(EventLog):
    # Marks its thread, then drops its cloud from that thread: the SDK cannot join a thread
    # from inside it, so the thread ends after the callback, with no binding call to follow.
    def OnEnterRoom(self):
        super().OnEnterRoom()
        self.thread = threading.get_ident(), threading.get_native_id()
        mark_thread()
        self.cloud = None

def thread_ended_unreleased(room):
    bot = DropsItself()
    bot.cloud = o.VONUCloud(bot)
    bot.cloud.EnterRoom(enter_params("dropper", room=room))
    assert wait_until(lambda: bot.cloud is None)
    ident, native = bot.thread
    assert wait_until(lambda: not os.path.exists("/proc/self/task/%d" % native))  # gone for good
    return ident
"""


def lines_of(program, timeout=120):
    """The lines `program` prints, run after COMMON in a fresh interpreter that must succeed."""
    out = run_python(COMMON + program, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_threading_local_lives_as_long_as_the_sdk_thread():
    lines = lines_of("""
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
# Destroying the clouds joined their threads: their states went, the thread-local data with them.
print("states", thread_states() - base, "finalized", sorted(finalized) == sorted(per_thread))
""")
    assert "states 0 finalized True" in lines, lines


def test_thread_states_do_not_grow_over_cloud_lifetimes():
    lines = lines_of(
        """
base = thread_states()
for i in range(100):
    clouds, _ = exchange("cycle%d" % i, 2)
    del clouds
assert lb.wait_idle(10.0) and lb.live_instances() == 0
print("states", thread_states() - base, "finalized", len(finalized) >= 100)
""",
        timeout=300,
    )
    assert "states 0 finalized True" in lines, lines


def test_state_of_a_thread_that_ended_alone_goes_at_the_next_callback():
    lines = lines_of("""
base = thread_states()
ident = thread_ended_unreleased("alone")
# The thread ended without the GIL: its state waits for the binding's next hold of it.
print("ended", thread_states() - base, finalized)
clouds, _ = exchange("next", 1)
print("after a callback", finalized == [ident])
""")
    assert lines == ["ended 1 []", "after a callback True"], lines


def test_sdk_threads_end_while_python_holds_the_gil():
    # Another Python thread destroys the clouds; from the moment it lets the GIL go for Destroy,
    # the main thread keeps the GIL until the SDK has joined the receiver's thread, which ran
    # callbacks and ends with its state kept. A thread that waited for the GIL as it ended would
    # never be joined.
    lines = lines_of(
        """
sys.setswitchinterval(1000.0)   # a thread gives the GIL up only when it blocks
sdk = ctypes.PyDLL(os.path.join(os.path.dirname(o.__file__), "libostrel.so"))  # calls keep the GIL
clouds, seen = exchange("join", 3)
before = lb.sdk_threads()
asked = threading.Event()
def destroy():
    asked.set()
    clouds.clear()          # the GIL goes only inside the receiver's Destroy
destroyer = threading.Thread(target=destroy)
destroyer.start()
asked.wait()
deadline = time.monotonic() + 10
while sdk.ostrel_loopback_sdk_threads() == before and time.monotonic() < deadline:
    pass
joined = sdk.ostrel_loopback_sdk_threads() < before
destroyer.join()
print("joined under the GIL", joined, "finalized", sorted(finalized) == sorted({i for i, _ in seen}))
""",
        timeout=60,
    )
    assert "joined under the GIL True finalized True" in lines, lines


def test_fork_leaves_the_parents_ended_states_alone():
    # At the fork the parent has a state listed for release. The child has no such thread and
    # CPython deleted that state in it after the fork: the child's own callbacks must not touch
    # it, while the parent releases it as usual.
    lines = lines_of("""
ident = thread_ended_unreleased("parent")
pid = os.fork()
if pid == 0:
    cleared_by_fork = list(finalized)
    base = thread_states()
    clouds, seen = exchange("child", 3)
    del clouds
    mine = sorted({i for i, _ in seen})
    print("child", cleared_by_fork == [ident], thread_states() == base, sorted(finalized[1:]) == mine, flush=True)
    os._exit(0)
print("child status", os.waitpid(pid, 0)[1])
clouds, _ = exchange("parent-next", 1)
print("parent", finalized == [ident])
""")
    assert lines == ["child True True True", "child status 0", "parent True"], lines


@pytest.mark.parametrize("how,code", [("exit", 3), ("return", 0)])
def test_exit_with_states_kept_and_listed(how, code):
    # Exit begins with one state listed for release and SDK threads inside callbacks that set
    # thread-local data: the interpreter deletes what is left, and no thread touches Python late.
    program = (
        COMMON
        + """
thread_ended_unreleased("exit-listed")
clouds = []
for user in ("a", "b", "c"):
    bot = Counter()
    clouds.append(o.VONUCloud(bot))
    clouds[-1].EnterRoom(enter_params(user, room="exit-kept"))
assert lb.wait_idle(10.0)
for i in range(30):
    for c in clouds:
        c.SendCustomCmdMsg(1, b"x", True, True)
if sys.argv[1] == "exit":
    sys.exit(3)
"""
    )
    for _ in range(5):
        out = run_python(program, timeout=60, args=(how,))
        assert out.returncode == code, (out.returncode, out.stderr)
        assert out.stderr.strip() == "", out.stderr
