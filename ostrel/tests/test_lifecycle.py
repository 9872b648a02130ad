"""Lifetimes across threads: teardown while callbacks wait for the GIL, reference cycles and
interpreter exit. Each scenario runs in a subprocess with a timeout, so a deadlock fails the
test instead of hanging the run."""
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code, timeout=120, args=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + list(args), capture_output=True,
                          text=True, timeout=timeout, env=env)


def test_teardown_while_callback_waits_for_gil():
    # The main thread keeps the GIL until the SDK thread is inside a callback waiting for it,
    # then drops the cloud: Destroy must neither deadlock nor let a callback run after it.
    out = run_python("""
        import gc, sys, time
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import enter_params

        sys.setswitchinterval(1000.0)   # this thread gives the GIL up only when it blocks
        late = []

        class Busy(o.VONUCloudDelegate):
            def __init__(self):
                super().__init__()
                self.gone = False
            def OnConnectionStateChanged(self, old, new):
                if self.gone:
                    late.append("state")
            def OnEnterRoom(self):
                if self.gone:
                    late.append("enter")

        blocked = 0
        for i in range(1000):
            d = Busy()
            cloud = o.VONUCloud(d)
            cloud.EnterRoom(enter_params("u%d" % i, room="teardown"))
            deadline = time.monotonic() + 5
            while lb.callbacks_running() == 0 and time.monotonic() < deadline:
                pass                    # spins with the GIL held
            blocked += lb.callbacks_running() > 0
            del cloud
            d.gone = True
        sys.setswitchinterval(0.005)
        gc.collect()
        assert lb.wait_idle(10.0)
        assert lb.live_instances() == 0, lb.live_instances()
        print("blocked", blocked, "late", len(late))
    """, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "blocked 1000 late 0" in out.stdout, out.stdout


def test_reference_cycle_is_collected():
    out = run_python("""
        import gc
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import EventLog, enter_params

        gc.disable()
        class Bot(EventLog):
            def __init__(self, user):
                super().__init__()
                self.cloud = o.VONUCloud(self)          # delegate -> dict -> cloud -> delegate
                self.cloud.EnterRoom(enter_params(user, room="cycle"))

        base = lb.live_instances()
        bots = [Bot("c%d" % i) for i in range(5)]
        assert lb.wait_idle(10.0)
        assert lb.live_instances() == base + 5
        del bots
        assert lb.live_instances() == base + 5        # only a cycle holds them now
        gc.collect()
        print("after", lb.live_instances() - base)
    """)
    assert out.returncode == 0, out.stderr
    assert "after 0" in out.stdout


EXIT_PROGRAM = """
import sys, threading
import _ostrel as o, ostrel_loopback as lb
from roomkit import EventLog, enter_params

how = sys.argv[1]
room = "exit-" + sys.argv[2]

class Chatty(EventLog):
    def OnReceiveCustomCmdMsg(self, user, cmd, seq, msg):
        super().OnReceiveCustomCmdMsg(user, cmd, seq, msg)
        sum(range(200))

o.SetLogLevel(3)      # warnings and errors of the SDK go to standard error,
o.EnableConsoleLog()  # where the test would see a thread ended inside a callback
lb.set_quality_interval(1)
clouds = []
for user in ("a", "b", "c"):
    c = o.VONUCloud(Chatty())
    c.EnterRoom(enter_params(user, room=room))
    clouds.append(c)
lb.wait_idle(5.0)
for i in range(20):
    for c in clouds:
        c.SendCustomCmdMsg(1 + i % 10, b"x" * 20, True, True)
if how == "exit":
    sys.exit(3)
if how == "raise":
    raise SystemError("boom on purpose")
"""


@pytest.mark.parametrize("how,code", [("normal", 0), ("exit", 3), ("raise", 1)])
def test_exit_with_events_flowing(how, code):
    for i in range(17):
        out = run_python(EXIT_PROGRAM, timeout=60, args=(how, "%s%d" % (how, i)))
        assert out.returncode == code, (how, out.returncode, out.stderr)
        stderr = out.stderr
        if how == "raise":
            assert "SystemError: boom on purpose" in stderr
            stderr = stderr[:stderr.find("Traceback")]
        assert stderr.strip() == "", stderr


def test_cloud_dropped_inside_its_own_callback():
    # The last reference goes on the cloud's own event thread: Destroy runs there and must not
    # wait for the callback it is called from.
    out = run_python("""
        import gc, threading
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import EventLog, enter_params

        done = threading.Event()
        class SelfDestruct(EventLog):
            def OnEnterRoom(self):
                self.cloud = None
                done.set()

        watcher = EventLog()
        wcloud = o.VONUCloud(watcher)
        wcloud.EnterRoom(enter_params("watcher", room="self"))
        bots = []
        for i in range(50):
            d = SelfDestruct()
            d.cloud = o.VONUCloud(d)
            d.cloud.EnterRoom(enter_params("sd%d" % i, room="self"))
            assert done.wait(10)
            done.clear()
            bots.append(d)
        assert lb.wait_idle(10.0)
        gc.collect()
        assert watcher.wait_for(lambda w: len(w.of("OnRemoteUserExitRoom")) == 50)
        print("live", lb.live_instances())
    """)
    assert out.returncode == 0, out.stderr
    assert "live 1" in out.stdout
