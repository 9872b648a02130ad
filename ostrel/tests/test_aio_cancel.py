"""Cancellation and Ctrl-C at random moments while a bot enters and leaves: the cancellation is
never lost (the task ends cancelled, the block's body never starts after a cancel during entry,
a Ctrl-C always ends the program) and no SDK instance is left. Each kind of loop runs many races in
one child interpreter with a watchdog, so a lost cancellation fails instead of hanging."""

import importlib.util

import pytest
from aio_support import run_python

pytestmark = pytest.mark.usefixtures("nothing_left_behind")

RUNS = 40
LOOPS = ["asyncio"] + (["uvloop"] if importlib.util.find_spec("uvloop") else [])

PRELUDE = """
    import asyncio, faulthandler, os, random, signal, sys, threading, time
    import ostrel, ostrel_loopback as lb
    from aio_support import params

    signal.signal(signal.SIGINT, signal.default_int_handler)  # even when the test run ignores SIGINT
    if sys.argv[1] == "uvloop":
        import uvloop
        uvloop.install()
    runs = int(sys.argv[2])

    def watchdog():  # a lost cancellation hangs: say where, and fail
        faulthandler.dump_traceback_later(20, exit=True)
"""


def _race(body: str) -> str:
    out = None
    for loop in LOOPS:
        out = run_python(PRELUDE + body, args=[loop, str(RUNS)], timeout=180)
        assert out.returncode == 0, loop + ": " + out.stdout + out.stderr
        assert out.stdout.split()[-1] == "ok", loop + ": " + out.stdout + out.stderr
    assert out is not None
    return out.stdout


def test_cancel_while_entering_or_leaving_is_never_lost():
    _race("""
    async def once(i, delay):
        phase = {"now": "entering", "at_cancel": None}

        async def bot():
            async with ostrel.aio.connect(params("bot", "race%d" % i)):
                assert phase["at_cancel"] is None, "the body ran after a cancel during entry"
                phase["now"] = "leaving"  # the body awaits nothing: a cancel now lands in the exit
            phase["now"] = "done"

        def cancel():
            phase["at_cancel"] = phase["now"]
            task.cancel()

        task = asyncio.ensure_future(bot())
        asyncio.get_running_loop().call_later(delay, cancel)
        await asyncio.wait([task])
        if phase["at_cancel"] not in (None, "done"):
            assert task.cancelled(), "cancelled while %s, but the task ended normally" % phase["at_cancel"]
        return phase["at_cancel"]

    async def main():
        start = time.monotonic()
        await once(0, 10.0)
        span = time.monotonic() - start  # entering and leaving, uncancelled
        hits = {}
        for i in range(1, runs + 1):
            watchdog()
            landed = await once(i, random.uniform(0, span))
            hits[landed] = hits.get(landed, 0) + 1
        print(sorted(hits.items(), key=str))

    asyncio.run(main())
    assert lb.live_instances() == 0
    print("ok")
    """)


def test_concurrent_closes_and_a_cancelled_close_release_once():
    _race("""
    async def main():
        for i in range(runs):
            watchdog()
            conn = await ostrel.aio.connect(params("bot", "close%d" % i)).__aenter__()
            results = await asyncio.gather(conn.close(), conn.close(), return_exceptions=True)
            assert results == [None, None], results
            conn = await ostrel.aio.connect(params("bot", "close%d" % i)).__aenter__()
            closing = asyncio.ensure_future(conn.close())
            await asyncio.sleep(0)  # it has started leaving
            asyncio.get_running_loop().call_later(random.uniform(0, 0.001), closing.cancel)
            await asyncio.wait([closing])
            assert conn.closed and lb.live_instances() == 0

    asyncio.run(main())
    print("ok")
    """)


@pytest.mark.parametrize("how", ["KeyboardInterrupt", "cancel by a signal handler"])
def test_ctrl_c_right_after_connecting_ends_the_program(how):
    # SIGINT 0-1 ms after connect() starts, then the bot waits for audio that never comes.
    out = _race(
        """
    handler = %r
    async def bot(i):
        if handler:
            asyncio.get_running_loop().add_signal_handler(signal.SIGINT, asyncio.current_task().cancel)
        threading.Timer(random.uniform(0, 0.001), os.kill, (os.getpid(), signal.SIGINT)).start()
        async with ostrel.aio.connect(params("bot", "sigint%%d" %% i)) as conn:
            async for frame in conn.audio("user"):
                pass

    ended = 0
    for i in range(runs):
        watchdog()
        try:
            asyncio.run(bot(i))
        except (KeyboardInterrupt, asyncio.CancelledError):
            ended += 1
        assert lb.live_instances() == 0
    print(ended, "ok")
    """
        % (how != "KeyboardInterrupt",)
    )
    assert out.split()[0] == str(RUNS)


def test_what_the_loop_could_not_close_is_left_at_exit():
    # A connection whose loop ended with the bot still in the room (a second Ctrl-C interrupting
    # asyncio.run's own clean-up leaves one so) leaves and is destroyed when the program ends.
    out = run_python("""
        import asyncio, atexit, warnings
        import ostrel, ostrel_loopback as lb
        from aio_support import params

        atexit.register(lambda: print("at exit", lb.live_instances(), flush=True))  # runs after the layer's
        warnings.simplefilter("always", ResourceWarning)
        loop = asyncio.new_event_loop()
        conn = loop.run_until_complete(ostrel.aio.connect(params("bot", "left")).__aenter__())
        loop.close()
        print("in the room", lb.live_instances(), flush=True)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["in", "the", "room", "1", "at", "exit", "0"], out.stdout
    assert "ResourceWarning" in out.stderr and "the program ended" in out.stderr, out.stderr
