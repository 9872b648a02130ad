"""Events through ostrel.aio: what the bot sees equals what a raw delegate sees, in the SDK's
order; the loop being blocked or closed never holds an SDK thread; many connections per loop and
several loops at once."""

import asyncio
import logging
import threading
import time

import pytest
from aio_support import EVENTS, Recorder, idle, normal, params, pcm_frame, run, run_python

import _ostrel as o
import ostrel
import ostrel_loopback
from ostrel.testing import thread_states

pytestmark = pytest.mark.usefixtures("nothing_left_behind")


def test_event_list_is_the_delegates():
    assert ostrel.aio.EVENT_NAMES == tuple(EVENTS) and len(EVENTS) == 22


def test_sdk_threads_take_no_gil_for_the_layer():
    room = "no-gil"

    async def main():
        before = thread_states()
        async with ostrel.aio.connect(params("bot", room)) as conn:
            audio, commands = conn.audio("sender"), conn.events("OnReceiveCustomCmdMsg")
            sender = o.VONUCloud(None)  # its own events go nowhere
            sender.EnterRoom(params("sender", room))
            idle()
            sender.CreateLocalAudioChannel(o.AudioEncodeParams())
            for i in range(5):
                sender.SendAudioFrame(pcm_frame(i))
            sender.SendCustomCmdMsg(3, b"hi", True, True)
            assert len([await audio.__anext__() for _ in range(5)]) == 5
            assert (await commands.__anext__()).message == b"hi"
            during = thread_states()
            plain = o.VONUCloud(Recorder())  # the probe's control: a plain delegate takes the GIL
            plain.EnterRoom(params("plain", room))
            idle()
            with_plain = thread_states()
            plain.ExitRoom()
            idle()
            del plain, sender
        return before, during, with_plain

    before, during, with_plain = run(main())
    assert during == before < with_plain


def test_same_events_in_the_same_order_as_a_raw_delegate():
    room = "compare"
    raw = Recorder()
    raw_cloud = o.VONUCloud(raw)
    assert raw_cloud.EnterRoom(params("raw", room)) == 0

    async def main():
        async with ostrel.aio.connect(params("bot", room)) as conn:
            idle()
            backlog = conn.events()  # the first iterator takes what arrived while entering
            assert [e.name for e in _drain(backlog)][:3] == [
                "OnConnectionStateChanged",
                "OnConnectionStateChanged",
                "OnEnterRoom",
            ]
            stream = conn.events()  # a later one starts now
            with raw.lock:
                raw.events.clear()
            sender = o.VONUCloud(Recorder())
            sender.EnterRoom(params("sender", room))
            idle()
            sender.CreateLocalAudioChannel(o.AudioEncodeParams())
            sender.CreateLocalVideoChannel(o.STREAM_TYPE_VIDEO_HIGH)
            for i in range(5):
                sender.SendAudioFrame(pcm_frame(i))
            sender.SendCustomCmdMsg(3, b"hello", True, True)
            ostrel_loopback.drop_messages("sender", 2)
            for text in (b"lost", b"lost", b"after"):
                sender.SendCustomCmdMsg(3, text, True, True)
            ostrel_loopback.raise_error("bot", -7)
            ostrel_loopback.raise_error("raw", -7)
            sender.ExitRoom()
            del sender
            idle()
            with raw.lock:
                want = [(name, normal(args)) for name, args in raw.events]
            got = _drain(stream)
            assert stream.stats.dropped == 0 and stream.stats.received == len(got)
        return got, want

    try:
        got, want = run(main())
    finally:
        raw_cloud.ExitRoom()
        del raw_cloud
    assert [(e.name, normal(e.args)) for e in got] == want
    assert {name for name, _ in want} >= {
        "OnRemoteUserEnterRoom",
        "OnRemoteAudioAvailable",
        "OnRemoteAudioReceived",
        "OnRemoteVideoAvailable",
        "OnReceiveCustomCmdMsg",
        "OnMissCustomCmdMsg",
        "OnError",
        "OnRemoteUserExitRoom",
    }
    assert all(a.time <= b.time for a, b in zip(got, got[1:]))


def _drain(stream):
    """What a stream holds now, without waiting."""
    out = []
    while True:
        item = stream.take_nowait()
        if item is None:
            return out
        out.append(item)


def test_filtering_and_bad_names():
    async def main():
        async with ostrel.aio.connect(params("bot", "filter")) as conn:
            with pytest.raises(ValueError):
                conn.events("OnNoSuchThing")
            errors = conn.events("OnError")
            for code in (-1, -2, -3):
                ostrel_loopback.raise_error("bot", code)
            got = [int((await errors.__anext__()).args[0]) for _ in range(3)]
            assert got == [-1, -2, -3]
            assert errors.names == frozenset({"OnError"})

    run(main())


def test_fault_inside_the_layer_is_logged_and_the_sdk_thread_goes_on(caplog, monkeypatch):
    def broken(self, event):
        raise ZeroDivisionError("broken sink")

    async def main():
        async with ostrel.aio.connect(params("bot", "fault")) as conn:
            stream = conn.events("OnError")
            monkeypatch.setattr(ostrel.aio.EventStream, "push", broken)
            ostrel_loopback.raise_error("bot", -1)
            idle()
            assert stream.take_nowait() is None  # the loop takes the event: the push fails
            monkeypatch.undo()
            ostrel_loopback.raise_error("bot", -2)
            assert int((await stream.__anext__()).args[0]) == -2

    with caplog.at_level(logging.ERROR, logger="ostrel.aio"):
        run(main())
    assert "ZeroDivisionError: broken sink" in caplog.text and "OnError" in caplog.text
    assert ostrel_loopback.escaped() == [] or all("broken" not in text for text in ostrel_loopback.escaped())


def test_fifty_connections_on_one_loop():
    # Fifty bots on one loop: each sends one command, and each hears the 49 others.
    async def main():
        ready, go, finish = asyncio.Semaphore(0), asyncio.Event(), asyncio.Event()
        conns = []

        async def member(i):
            async with ostrel.aio.connect(params(f"m{i}", "fifty")) as conn:
                conns.append(conn)
                commands = conn.events("OnReceiveCustomCmdMsg")
                ready.release()
                await go.wait()
                got = set()
                async for event in commands:
                    got.add(event.args[0])
                    if len(got) == 49:
                        break
                ready.release()
                await finish.wait()
                return got

        tasks = [asyncio.ensure_future(member(i)) for i in range(50)]
        for _ in range(50):
            await ready.acquire()
        assert all(conn.send_command(1, conn.user_id.encode()) for conn in conns)
        go.set()
        for _ in range(50):
            await ready.acquire()
        assert ostrel_loopback.live_instances() == 50
        finish.set()
        results = await asyncio.gather(*tasks)
        assert all(r == {f"m{i}" for i in range(50)} - {f"m{n}"} for n, r in enumerate(results))

    run(main(), timeout=120)


def test_blocked_loop_never_holds_an_sdk_thread():
    # The loop sleeps 2 s while a member floods commands and audio at it: every callback returns
    # at once, nothing is lost but frames beyond the bound, and the bot then reads it all in order.
    out = run_python(
        """
        import asyncio, time, threading
        import _ostrel as o, ostrel, ostrel_loopback as lb
        from aio_support import params, pcm_frame

        async def main():
            async with ostrel.aio.connect(params("bot", "blocked")) as conn:
                commands = conn.events("OnReceiveCustomCmdMsg")
                audio = conn.audio("flood", maxsize=10)
                stop = threading.Event()
                peak = [0, 0]
                def flood():
                    q = o.VONUCloud(None)
                    q.EnterRoom(params("flood", "blocked"))
                    time.sleep(0.2)
                    q.CreateLocalAudioChannel(o.AudioEncodeParams())
                    sent = 0
                    while not stop.is_set():
                        if sent < 60:
                            sent += q.SendCustomCmdMsg(1, b"%d" % sent, True, True)
                        q.SendAudioFrame(pcm_frame(sent))
                        peak[0] = max(peak[0], lb.callbacks_running())
                        time.sleep(0.01)
                    q.ExitRoom()
                t = threading.Thread(target=flood)
                t.start()
                started = time.monotonic()
                time.sleep(2.0)  # the loop is blocked; SDK threads must not be
                lb.wait_idle(5.0)
                idle_after = time.monotonic() - started
                got = []
                async for e in commands:
                    got.append(int(e.args[3]))
                    if len(got) == 30:
                        break
                stop.set()
                t.join()
                print("peak", peak[0], "commands", got == list(range(30)), "frames",
                      audio.stats.max_depth <= 10, audio.stats.dropped > 0, round(idle_after, 1))
        asyncio.run(main())
        assert lb.live_instances() == 0
    """,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    words = out.stdout.split()
    assert int(words[1]) <= 2 and words[3:7] == ["True", "frames", "True", "True"], out.stdout
    assert out.stderr.count("audio stream of 'flood' dropped") == 1, out.stderr  # logged once a second


def test_frames_a_blocked_loop_cannot_take_are_bounded_and_counted(caplog, monkeypatch):
    # With room for two frames in native memory, a loop blocked while ten arrive gets two; the
    # other eight are counted and logged, and the message sent among them still arrives.
    monkeypatch.setattr(ostrel.aio._hub, "FRAME_BYTES_LIMIT", 2 * 1920)

    async def main():
        async with ostrel.aio.connect(params("bot", "bounded")) as conn:
            audio, commands = conn.audio("sender", maxsize=50), conn.events("OnReceiveCustomCmdMsg")
            sender = o.VONUCloud(None)
            sender.EnterRoom(params("sender", "bounded"))
            idle()
            sender.CreateLocalAudioChannel(o.AudioEncodeParams())
            for i in range(10):  # the loop does not run meanwhile
                sender.SendAudioFrame(pcm_frame(i))
                if i == 5:
                    sender.SendCustomCmdMsg(2, b"through", True, True)
            idle()
            assert (await commands.__anext__()).message == b"through"
            assert [audio.take_nowait() is not None for _ in range(3)] == [True, True, False]
            assert conn.dropped_events == 8
            del sender

    with caplog.at_level(logging.WARNING, logger="ostrel.aio"):
        run(main())
    assert "8 item(s)" in caplog.text and "bytes of frames were waiting for the event loop" in caplog.text


def test_closed_loop_drops_and_counts():
    # A loop that ends without leaving the room (the connection is entered by hand and never
    # closed): events after it closed are counted, and the SDK thread goes on.
    holder = {}

    async def main():
        conn = ostrel.aio.connect(params("orphan", "closed"))
        await conn.__aenter__()
        holder["conn"] = conn

    loop = asyncio.new_event_loop()
    loop.run_until_complete(main())
    loop.close()
    conn = holder["conn"]
    for code in (-1, -2, -3):
        ostrel_loopback.raise_error("orphan", code)
    idle()
    assert conn.dropped_events == 3
    conn._release()  # what the block's end would have done
    idle()


def test_loops_in_several_threads():
    out = run_python(
        """
        import asyncio, threading
        import ostrel, ostrel_loopback as lb
        from aio_support import params

        results = []
        def worker(i):
            async def main():
                async with ostrel.aio.connect(params("t%d" % i, "threads")) as conn:
                    errors = conn.events("OnError")
                    lb.raise_error("t%d" % i, -i)
                    e = await asyncio.wait_for(errors.__anext__(), 10)
                    results.append(int(e.args[0]) == -i)
            asyncio.run(main())
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(1, 5)]
        for t in threads: t.start()
        for t in threads: t.join(60)
        print(results.count(True), lb.live_instances())
    """,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["4", "0"]


def test_typed_events_wait_for_and_streams_that_leave_nothing_behind():
    async def main():
        async with ostrel.aio.connect(params("bot", "typed")) as conn, ostrel.aio.connect(
            params("peer", "typed")
        ) as peer:
            hub = conn._hub
            await conn.events().aclose()  # the backlog is taken over and gone
            before = hub.sink_count
            # The event of each callback carries its arguments by name, and is still (name, args, time).
            asking = asyncio.ensure_future(conn.wait_for("OnReceiveCustomCmdMsg", lambda e: e.message == b"two"))
            await asyncio.sleep(0)
            for text in (b"one", b"two"):
                peer.send_command(7, text)
            event = await asking
            assert isinstance(event, ostrel.aio.events.OnReceiveCustomCmdMsg)
            assert (event.user_id, event.cmd_id, event.message) == ("peer", 7, b"two")
            name, args = event
            assert (name, args[3]) == ("OnReceiveCustomCmdMsg", b"two")
            with pytest.raises(asyncio.TimeoutError):
                await conn.wait_for("OnError", timeout=0.05)
            waiting = asyncio.ensure_future(conn.wait_for("OnReceiveCustomCmdMsg", lambda e: 1 / 0 > 0))
            await asyncio.sleep(0)
            peer.send_command(7, b"three")
            with pytest.raises(ZeroDivisionError):  # the bot's test raises through the wait
                await waiting
            with pytest.raises(ValueError):
                await conn.wait_for("OnNoSuchThing")

            # 300 waits, 300 streams left by a break while events flow and 300 frame streams dropped
            # unread leave no sink behind.
            def command():
                ostrel_loopback.inject("bot", "OnReceiveCustomCmdMsg", b"peer", 1, 1, b"x")

            for _ in range(300):
                waiting = asyncio.ensure_future(conn.wait_for("OnReceiveCustomCmdMsg"))
                await asyncio.sleep(0)
                command()
                await waiting
                commands = conn.events("OnReceiveCustomCmdMsg")
                command()
                async for _ in commands:
                    break
                async with conn.events("OnReceiveCustomCmdMsg") as stream:
                    command()
                    await stream.__anext__()
                del commands
                audio = conn.audio("peer")  # a frame stream dropped unread
                del audio
            await asyncio.sleep(0.05)
            assert hub.sink_count == before
            assert "closed" in repr(stream) and "received" in repr(stream)

    run(main())


def test_order_across_connections_and_streams_under_load():
    # Three members send numbered messages and audio from threads of their own while the loop is
    # blocked; six connections on one loop each read the messages through two streams. Every
    # connection gets every sender's messages complete and in order, in both streams alike.
    room, count = "order-load", 25  # messages per sender: the SDK takes 30 a second

    async def main():
        conns = [await ostrel.aio.connect(params("bot%d" % i, room)) for i in range(6)]
        try:
            streams = [
                (c.events("OnReceiveCustomCmdMsg"), c.events("OnReceiveCustomCmdMsg", "OnRemoteAudioReceived"))
                for c in conns
            ]
            senders = [o.VONUCloud(None) for _ in range(3)]
            for k, sender in enumerate(senders):
                sender.EnterRoom(params("sender%d" % k, room))
            idle()
            for sender in senders:
                sender.CreateLocalAudioChannel(o.AudioEncodeParams())

            def flood(k: int, sender: o.VONUCloud) -> None:
                for i in range(count * 6):
                    if i % 6 == 0:
                        assert sender.SendCustomCmdMsg(1, b"%d:%d" % (k, i // 6), True, True)
                    sender.SendAudioFrame(pcm_frame(i))

            threads = [threading.Thread(target=flood, args=(k, s)) for k, s in enumerate(senders)]
            for thread in threads:
                thread.start()
            time.sleep(0.2)  # the loop is blocked while they send
            for thread in threads:
                thread.join()
            idle()
            for messages, mixed in streams:
                got = [(await messages.__anext__()).message for _ in range(3 * count)]
                for k in range(3):
                    assert [m for m in got if m.startswith(b"%d:" % k)] == [b"%d:%d" % (k, i) for i in range(count)]
                also = []
                while len(also) < len(got):
                    event = await mixed.__anext__()
                    if event.name == "OnReceiveCustomCmdMsg":
                        also.append(event.message)
                assert also == got
            del senders
            idle()
        finally:
            for conn in conns:
                await conn.close()

    run(main())
