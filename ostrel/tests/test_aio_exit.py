"""Ending a program while events flow: Ctrl-C, sys.exit and an exception in the bot each end
asyncio.run promptly with the program's own status, leave no SDK instance or thread, and print
nothing of the layer's. A fork child uses the layer on clouds of its own. Each run is a fresh
interpreter with a timeout, so a hang fails the test."""

import os
import signal
import subprocess
import sys
import time

import pytest
from aio_support import HERE, run_python

pytestmark = pytest.mark.usefixtures("nothing_left_behind")

RUNS = 3

BOT = r"""
import asyncio, atexit, signal, sys, threading
import ostrel, ostrel_loopback as lb
from aio_support import params

signal.signal(signal.SIGINT, signal.default_int_handler)  # a test run started with SIGINT ignored passes that on

def report():
    alive = [t.name for t in threading.enumerate() if not isinstance(t, threading._DummyThread)]
    print("left", lb.live_instances(), len(alive), flush=True)
atexit.register(report)

async def talk(conn):
    sender = conn.audio_sender()
    while True:
        conn.send_command(1, b"tick")
        await sender.write(bytes(1920 * 3))

async def main(how):
    async with ostrel.aio.connect(params("peer", "exit")) as peer:
        talker = asyncio.ensure_future(talk(peer))
        try:
            async with ostrel.aio.connect(params("bot", "exit")) as conn:
                audio = conn.audio("peer")
                count = 0
                async for event in conn.events("OnReceiveCustomCmdMsg"):
                    count += 1
                    await audio.__anext__()
                    if count == 20:
                        print("flowing", flush=True)
                        if how == "exit":
                            sys.exit(3)
                        if how == "raise":
                            raise ValueError("the bot failed")
        finally:
            talker.cancel()

asyncio.run(main(sys.argv[1]))
"""


def _run_bot(how):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.Popen(
        [sys.executable, "-c", BOT, how], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env
    )
    try:
        if how == "sigint":
            assert proc.stdout is not None
            assert proc.stdout.readline() == "flowing\n"
            time.sleep(0.2)
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    return proc.returncode, out, err


@pytest.mark.parametrize(
    "how, status, last_line",
    [
        ("sigint", -signal.SIGINT, "KeyboardInterrupt"),
        ("exit", 3, None),
        ("raise", 1, "ValueError: the bot failed"),
    ],
)
def test_exit_while_events_flow(how, status, last_line):
    for _ in range(RUNS):
        code, out, err = _run_bot(how)
        assert code == status, err
        assert out.splitlines()[-1] == "left 0 1", out  # no instance, no thread but the main one
        # A sender's report that the loop was held up tells how loaded the machine is, not how
        # the program ended: a busy CI machine may stall the loop while a cloud starts or stops.
        lines = [line for line in err.strip().splitlines() if "behind real time" not in line]
        err = "\n".join(lines)
        if last_line is None:
            assert lines == [], err
        else:
            # Python's own traceback of the program's exception, and nothing else.
            assert lines[0] == "Traceback (most recent call last):" and lines[-1] == last_line, err
            assert not any(word in err for word in ("ostrel.aio", "Exception ignored", "Task", "never retrieved"))


def test_fork_child_uses_clouds_of_its_own():
    out = run_python(
        """
        import asyncio, os
        import ostrel, ostrel_loopback as lb
        from aio_support import params

        async def child():
            async with ostrel.aio.connect(params("child", "fork")) as a, \\
                       ostrel.aio.connect(params("other", "fork")) as b:
                errors = a.events("OnReceiveCustomCmdMsg")
                assert b.send_command(2, b"hi")
                event = await asyncio.wait_for(errors.__anext__(), 10)
                return event.args[3]

        async def parent():
            async with ostrel.aio.connect(params("parent", "fork")) as conn:
                pid = os.fork()
                if pid == 0:
                    try:
                        try:
                            conn.send_command(1, b"x")
                        except RuntimeError as error:
                            assert "another process" in str(error)
                        else:
                            raise AssertionError("the parent's cloud worked in the child")
                        ok = asyncio.new_event_loop().run_until_complete(child()) == b"hi"
                        os._exit(0 if ok and lb.live_instances() == 0 else 1)
                    except BaseException:
                        import traceback; traceback.print_exc()
                        os._exit(2)
                _, status = os.waitpid(pid, 0)
                assert conn.send_command(1, b"still here")  # the parent's cloud still works
                return status

        print("child", asyncio.run(parent()), lb.live_instances())
    """,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["child", "0", "0"], out.stdout + out.stderr
