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
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)] + list(args),
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def test_teardown_while_callback_waits_for_gil():
    # The main thread keeps the GIL until the SDK thread is inside a callback waiting for it,
    # then drops the cloud: Destroy must neither deadlock nor let a callback run after it.
    out = run_python(
        """
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
    """,
        timeout=300,
    )
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
            stderr = stderr[: stderr.find("Traceback")]
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


STUCK_PROGRAM = """
import sys, threading, time
import _ostrel as o, ostrel_loopback as lb
from roomkit import enter_params

where, how = sys.argv[1], sys.argv[2]
if where == "module":          # the delegate class ships in a library module
    from stuck_bot import StuckBot
else:
    never = threading.Event()
    class StuckBot(o.VONUCloudDelegate):
        def OnConnectionStateChanged(self, old, new):
            pass
        def OnEnterRoom(self):
            never.wait()        # nothing ever sets it

cloud = StuckBot and o.VONUCloud(StuckBot())
cloud.EnterRoom(enter_params("stuck-" + where + how, room="stuck"))
while lb.callbacks_running() == 0:
    time.sleep(0.01)
if how == "exit":
    sys.exit(4)
"""


def test_exit_with_a_callback_stuck_forever(tmp_path):
    # Each program exits once the exit gate's wait (10 s) ends, with its own exit code; the
    # cloud whose callback never returns is left undestroyed rather than waited for.
    (tmp_path / "stuck_bot.py").write_text(
        textwrap.dedent("""
        import threading
        import _ostrel as o
        never = threading.Event()
        class StuckBot(o.VONUCloudDelegate):
            def OnConnectionStateChanged(self, old, new):
                pass
            def OnEnterRoom(self):
                never.wait()
    """)
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [HERE, str(tmp_path)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    cases = [("main", "normal", 0), ("main", "exit", 4), ("module", "normal", 0), ("module", "exit", 4)]
    runs = [
        (
            case,
            subprocess.Popen(
                [sys.executable, "-c", STUCK_PROGRAM, case[0], case[1]],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            ),
        )
        for case in cases
    ]
    for (where, how, code), run in runs:
        try:
            _, err = run.communicate(timeout=25)
        except subprocess.TimeoutExpired:
            run.kill()
            pytest.fail("%s/%s did not exit" % (where, how))
        assert (run.returncode, err) == (code, ""), (where, how)


RAISING_PROGRAM = """
import sys
import _ostrel as o, ostrel_loopback as lb
from roomkit import enter_params

def deep(n):
    if n == 0:
        raise ValueError("raised on purpose")
    deep(n - 1)

class Raiser(o.VONUCloudDelegate):
    def OnConnectionStateChanged(self, old, new): pass
    def OnEnterRoom(self): pass
    def OnLocalAudioChannelCreated(self): pass
    def OnRemoteUserEnterRoom(self, info): pass
    def OnRemoteAudioAvailable(self, user, available): pass
    if sys.argv[1] == "raise":   # else the missing-method error leaves each audio callback
        def OnRemoteAudioReceived(self, user, frame):
            deep(40)

clouds = [o.VONUCloud(Raiser()) for _ in range(8)]
for i, c in enumerate(clouds):
    c.EnterRoom(enter_params("r%d" % i, room="raising"))
lb.wait_idle(5.0)
for c in clouds:
    c.CreateLocalAudioChannel(o.AudioEncodeParams())
lb.wait_idle(5.0)
frame = o.AudioFrame()
frame.SetData(b"\\0\\0" * 960)
for _ in range(30):
    for c in clouds:
        c.SendAudioFrame(frame)
"""


def test_exit_while_callbacks_raise():
    # Errors leave the callbacks towards the SDK right up to the end of the program; handling
    # them must need nothing of the interpreter, which may be finalizing by then.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    modes = ["raise", "missing"] * 50
    failures = []
    for first in range(0, len(modes), 2):  # two at a time, to load both cores
        runs = [
            subprocess.Popen(
                [sys.executable, "-c", RAISING_PROGRAM, mode],
                env=env,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for mode in modes[first : first + 2]
        ]
        for run in runs:
            _, err = run.communicate(timeout=60)
            if run.returncode != 0 or err:
                failures.append((run.returncode, err[-500:]))
    assert failures == []


def test_cycle_collected_while_events_flow():
    # Bots in the pattern docs/callbacks.md shows are dropped and collected while SEI messages and video reach
    # them: no callback may run on a delegate that the collector has started to clear.
    out = run_python(
        """
        import gc, threading
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import enter_params

        class Bot(o.VONUCloudDelegate):
            def __init__(self, user):
                super().__init__()
                self.got = []
                self.cloud = o.VONUCloud(self)
                self.cloud.EnterRoom(enter_params(user, room="flow"))
                self.cloud.Subscribe("sender", o.STREAM_TYPE_VIDEO_HIGH)
            def OnSeiMessageReceived(self, user, stream, kind, message):
                self.got.append(message)
            def OnRemoteVideoFrameReceived(self, user, stream, frame):
                self.got.append(frame.pts)
            def __getattr__(self, name):          # every other event: ignored
                if name.startswith("On"):
                    return lambda *args: None
                raise AttributeError(name)

        sender = Bot("sender")
        sender.cloud.CreateLocalVideoChannel(o.STREAM_TYPE_VIDEO_HIGH)
        stop = threading.Event()
        def send():
            frame = o.VideoFrame()
            frame.SetData(b"v" * 100)
            while not stop.is_set():
                sender.cloud.SendSeiMessage(5, b"sei")
                sender.cloud.SendVideoFrame(o.STREAM_TYPE_VIDEO_HIGH, frame)
        lb.clear_escaped()
        gc.disable()
        thread = threading.Thread(target=send)
        thread.start()
        for _ in range(30):
            bots = [Bot("b%d" % i) for i in range(10)]
            del bots
            gc.collect()
        stop.set()
        thread.join()
        assert lb.wait_idle(10.0)
        print("escaped", [e for e in lb.escaped() if "got" in e or "Error" in e][:3])
    """,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert "escaped []" in out.stdout and "AttributeError" not in out.stderr, (out.stdout, out.stderr[-2000:])


def test_collector_inside_a_callback_frees_nothing_in_use():
    # With the threshold at 1 the collector runs inside callbacks, on the cloud's own event
    # thread, where it may find that very cloud's cycle: the running callback keeps its
    # delegate alive until it returns.
    out = run_python(
        """
        import gc
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import enter_params

        class Bot(o.VONUCloudDelegate):
            def __init__(self, user):
                super().__init__()
                self.user = user
                self.cloud = o.VONUCloud(self)
                self.cloud.EnterRoom(enter_params(user, room="gc-inside"))
            def OnConnectionStateChanged(self, old, new):
                self.last = [self.user] * 3
            def OnEnterRoom(self):
                self.entered = [self.user, len(self.last)]
            def OnRemoteUserEnterRoom(self, info):
                self.seen = info.user_id.GetValue()
            def OnRemoteUserExitRoom(self, info, reason):
                self.seen = None

        lb.clear_escaped()
        gc.set_threshold(1)
        for i in range(200):
            Bot("g%d" % i)
        gc.set_threshold(700)
        gc.collect()
        assert lb.wait_idle(10.0)
        gc.collect()
        print("live", lb.live_instances(), "escaped", lb.escaped()[:3])
    """,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert "live 0 escaped []" in out.stdout, (out.stdout, out.stderr[-2000:])


def test_exit_handler_registered_before_the_first_cloud_gets_its_callbacks():
    # atexit runs handlers last-registered first: a handler registered before any cloud existed
    # still leaves its room and hears OnExitRoom, whether the program ends normally or by
    # sys.exit, and the process ends with the program's own status.
    program = """
        import atexit, sys
        import _ostrel as o
        from roomkit import EventLog, enter_params, idle

        bot = EventLog()
        def leave():
            print("exit", bot.cloud.ExitRoom(), "heard", bool(bot.wait_for(lambda b: b.of("OnExitRoom"))), flush=True)
        atexit.register(leave)
        bot.cloud = o.VONUCloud(bot)
        bot.cloud.EnterRoom(enter_params("leaver", room="atexit"))
        idle()
        if sys.argv[1] == "exit":
            sys.exit(5)
    """
    for how, code in (("normal", 0), ("exit", 5)):
        out = run_python(program, timeout=60, args=(how,))
        assert (out.returncode, out.stdout.strip(), out.stderr) == (code, "exit 0 heard True", ""), how


def test_senders_leave_while_the_sdk_encodes_their_frames():
    # The main thread keeps the GIL while it sends 1080p frames that the SDK encodes for a viewer
    # (whose callbacks wait for the GIL) and then leaves or drops the cloud mid-encode: sends
    # return, ExitRoom and Destroy stop and join the encoding threads, nothing deadlocks.
    out = run_python(
        """
        import sys
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import enter_params

        class Viewer(o.VONUCloudDelegate):
            def OnRemoteVideoFrameReceived(self, user_id, type, frame):
                sum(range(1000))

        viewer = o.VONUCloud(Viewer())
        assert viewer.EnterRoom(enter_params("viewer", room="busy-sender")) == 0
        assert viewer.Subscribe("cam", o.STREAM_TYPE_VIDEO_HIGH) == 0
        frame = o.PixelFrame()
        frame.width, frame.height, frame.format = 1920, 1080, o.VIDEO_PIXEL_FORMAT_YUV420p
        frame.SetData(bytes(range(256)) * (1920 * 1080 * 3 // 2 // 256))
        sys.setswitchinterval(1000.0)   # this thread gives the GIL up only when it blocks
        for leave in ("exit", "destroy") * 5:
            cam = o.VONUCloud(o.VONUCloudDelegate())
            assert cam.EnterRoom(enter_params("cam", room="busy-sender", pixel_in=True)) == 0
            assert cam.CreateLocalVideoChannel(o.STREAM_TYPE_VIDEO_HIGH) == 0
            threads = lb.sdk_threads()
            for pts in range(4):
                frame.pts = pts
                assert cam.SendPixelFrame(o.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            if leave == "exit":
                assert cam.ExitRoom() == 0
                assert lb.sdk_threads() == threads, (lb.sdk_threads(), threads)
            del cam
        sys.setswitchinterval(0.005)
        assert lb.wait_idle(10.0)
        assert lb.codecs()["h264_encoders"] == 0
        print("done")
    """,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    assert "done" in out.stdout, out.stdout
