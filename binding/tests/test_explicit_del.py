"""An explicit cloud.__del__() racing other threads: the SDK instance is destroyed exactly once,
and a method either runs on the live instance or raises RuntimeError, never on a destroyed one.
Each scenario runs in a subprocess with a timeout (and under the sanitizers when the test run
preloads them)."""

import pytest
from test_lifecycle import run_python

RACE_PROGRAM = """
import sys, threading
import _ostrel as o, ostrel_loopback as lb
from roomkit import EventLog, enter_params

users, deleters, rounds = (int(a) for a in sys.argv[1:4])
destroyed = "this VONUCloud has been destroyed"
base = lb.live_instances()
refused = 0
late = []
frame = o.AudioFrame()
frame.SetData(b"\\0\\0" * 480)


def use(cloud, start, counts):
    start.wait()
    for i in range(300):
        try:
            cloud.SendCustomCmdMsg(1, b"x", True, True)
            cloud.Subscribe("nobody", o.STREAM_TYPE_VIDEO_HIGH)
            cloud.SendAudioFrame(frame)
        except RuntimeError as e:
            assert str(e) == destroyed, e
            counts.append(i)
            return


def delete(cloud, start):
    start.wait()
    cloud.__del__()
    # Whoever returns from __del__ finds the instance gone, also the one that did not destroy it.
    if lb.live_instances() != base:
        late.append(lb.live_instances() - base)


for r in range(rounds):
    cloud = o.VONUCloud(EventLog())
    cloud.EnterRoom(enter_params("race%d" % r, room="del-race"))
    start = threading.Barrier(users + deleters)
    counts = []
    threads = [threading.Thread(target=use, args=(cloud, start, counts)) for _ in range(users)]
    threads += [threading.Thread(target=delete, args=(cloud, start)) for _ in range(deleters)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    refused += len(counts)
    cloud.__del__()        # once more, after the fact: nothing left to do
    try:
        cloud.ExitRoom()
        late.append("method ran after __del__")
    except RuntimeError as e:
        assert str(e) == destroyed, e
    del cloud

assert lb.wait_idle(10.0)
print("live", lb.live_instances() - base, "late", late, "refused", refused > 0 or users == 0)
"""


@pytest.mark.parametrize(
    "users,deleters,rounds",
    [
        (8, 1, 40),  # eight threads call methods while a ninth calls __del__()
        (1, 1, 100),  # the smallest race
        (0, 2, 100),  # two finalizers at once
        (4, 3, 40),  # both
    ],
)
def test_del_races_methods_and_other_dels(users, deleters, rounds):
    out = run_python(RACE_PROGRAM, timeout=240, args=(str(users), str(deleters), str(rounds)))
    assert out.returncode == 0, (out.returncode, out.stderr[-3000:])
    assert out.stdout.strip() == "live 0 late [] refused True", (out.stdout, out.stderr[-3000:])


def test_del_inside_own_callback_while_another_thread_destroys():
    # One thread's __del__() is in Destroy, which waits for the running callback; the callback's
    # own __del__() must return at once instead of waiting for that Destroy.
    out = run_python(
        """
        import threading, time
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import enter_params

        inside, done = threading.Event(), threading.Event()

        class Bot(o.VONUCloudDelegate):
            def OnConnectionStateChanged(self, old, new):
                pass
            def OnEnterRoom(self):
                inside.set()
                time.sleep(0.3)            # let the main thread reach Destroy
                self.cloud.__del__()
                done.set()

        base = lb.live_instances()
        bot = Bot()
        bot.cloud = o.VONUCloud(bot)
        bot.cloud.EnterRoom(enter_params("self-del", room="del-inside"))
        assert inside.wait(10)
        bot.cloud.__del__()
        print("callback done", done.is_set(), "live", lb.live_instances() - base)
    """,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.strip() == "callback done True live 0", (out.stdout, out.stderr[-3000:])
