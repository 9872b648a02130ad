"""fork(): children of a process with clouds exit normally, get an SDK of their own, and refuse
to use the clouds they inherited. Each scenario runs in a subprocess with a timeout."""

from test_lifecycle import run_python


def test_children_exit_with_their_own_status():
    # Under AddressSanitizer the parent's SDK stays quiet during the forks (no quality reports),
    # for the reason given in the next test.
    out = run_python(
        """
        import os, sys
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import EventLog, enter_params, idle

        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            lb.set_quality_interval(0)
        idle_cloud = o.VONUCloud(None)
        member = o.VONUCloud(EventLog())
        member.EnterRoom(enter_params("parent", room="fork-exit"))
        idle()
        codes = []
        for i in range(20):
            pid = os.fork()
            if pid == 0:
                sys.exit(3 + i % 5)          # a normal interpreter exit, clouds alive
            codes.append(os.waitpid(pid, 0)[1] >> 8)
        print("codes", codes == [3 + i % 5 for i in range(20)], "parent", member.ExitRoom())
    """,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert "codes True parent 0" in out.stdout, (out.stdout, out.stderr)


def test_child_has_an_sdk_of_its_own():
    # Forks while SDK threads are busy (paced audio, quality reports): no child may find an SDK
    # lock held by a thread of its parent. Then one child runs a room of its own. GCC 12's
    # AddressSanitizer runtime does not hold its allocator's locks across fork(), so under it a
    # child could hang on one taken by a busy parent thread: there the SDK is quiet at the forks.
    out = run_python(
        """
        import os, sys
        import _ostrel as o, ostrel_loopback as lb
        from roomkit import EventLog, enter_params, idle

        busy = "libasan" not in os.environ.get("LD_PRELOAD", "")
        lb.set_quality_interval(10 if busy else 500)
        a, b = EventLog(), EventLog()
        ca, cb = o.VONUCloud(a), o.VONUCloud(b)
        ca.EnterRoom(enter_params("pa", room="fork-room"))
        cb.EnterRoom(enter_params("pb", room="fork-room"))
        idle()
        ca.CreateLocalAudioChannel(o.AudioEncodeParams())
        idle()
        frame = o.AudioFrame()
        frame.SetData(b"\\0\\0" * 960)
        for _ in range(2000 if busy else 0):
            ca.SendContinuousAudioFrame(frame, False)
        failed = 0
        for _ in range(400):
            pid = os.fork()
            if pid == 0:
                o.VONUCloud(None)
                os._exit(0)
            failed += os.waitpid(pid, 0)[1] != 0
        print("failed", failed)
        sys.stdout.flush()

        pid = os.fork()
        if pid == 0:
            try:
                ca.SendCustomCmdMsg(1, b"from the child", True, True)
            except RuntimeError as e:
                print("inherited:", e)
            print("threads", lb.sdk_threads(), "live", lb.live_instances())
            x, y = EventLog(), EventLog()
            cx, cy = o.VONUCloud(x), o.VONUCloud(y)
            cx.EnterRoom(enter_params("cx", room="fork-room"))
            cy.EnterRoom(enter_params("cy", room="fork-room"))
            idle()
            cy.SendCustomCmdMsg(1, b"hello", True, True)
            idle()
            print("child sees", [i[0].user_id.GetValue() for i in x.of("OnRemoteUserEnterRoom")],
                  x.of("OnReceiveCustomCmdMsg"), bool(x.wait_for(lambda d: d.of("OnNetworkQuality"))))
            sys.exit(7)
        print("child status", os.waitpid(pid, 0)[1] >> 8)
        idle()
        print("parent sees", [i[0].user_id.GetValue() for i in a.of("OnRemoteUserEnterRoom")], ca.ExitRoom())
    """,
        timeout=240,
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines == [
        "failed 0",
        "inherited: this VONUCloud belongs to another process: it was created before fork() and cannot be used "
        "in the child; create a new VONUCloud",
        "threads 0 live 0",
        "child sees ['cy'] [('cy', 1, 1, b'hello')] True",
        "child status 7",
        "parent sees ['pb'] 0",
    ], (out.stdout, out.stderr)


def test_child_forked_inside_a_callback_ends():
    # The child is a copy of an SDK thread with no SDK behind it: leaving the callback ends it,
    # with the status sys.exit asked for (0 for a plain return, 1 for an uncaught error) and
    # one line on standard error; os._exit ends it silently as ever.
    program = """
        import os, sys, time
        import _ostrel as o
        from roomkit import EventLog, enter_params, idle

        how = sys.argv[1]
        children = []
        class Forker(EventLog):
            def OnEnterRoom(self):
                pid = os.fork()
                if pid != 0:
                    children.append(pid)
                    return
                print("child", how, flush=True)
                if how == "exit":
                    sys.exit(3)
                if how == "raise":
                    raise ValueError("raised in the child")
                if how == "os_exit":
                    os._exit(6)

        bot = Forker()
        cloud = o.VONUCloud(bot)
        cloud.EnterRoom(enter_params("forker", room="fork-callback"))
        idle()
        pid, = children
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                print("child hung")
                sys.exit(1)
            time.sleep(0.05)
        print("child status", os.WEXITSTATUS(status) if os.WIFEXITED(status) else -status)
        print("parent", cloud.ExitRoom())
    """
    note = (
        "_ostrel: this process was forked inside a VONUCloudDelegate callback, which has ended; "
        "it cannot go back to the SDK thread it was forked on and exits with status %d"
    )
    for how, status in (("return", 0), ("exit", 3), ("raise", 1), ("os_exit", 6)):
        out = run_python(program, timeout=60, args=(how,))
        assert out.returncode == 0, (how, out.stdout, out.stderr)
        assert out.stdout.splitlines() == ["child " + how, "child status %d" % status, "parent 0"], (
            how,
            out.stdout,
            out.stderr,
        )
        lines = out.stderr.splitlines()
        if how == "os_exit":
            assert lines == [], out.stderr
        else:
            assert lines[-1] == note % status, (how, out.stderr)
            assert ("ValueError: raised in the child" in out.stderr) == (how == "raise"), out.stderr
