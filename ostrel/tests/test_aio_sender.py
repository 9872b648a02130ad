"""The paced sender, measured through a member that receives it: real-time pacing (never more
than one frame ahead), clear() stopping the speech at once, drain() flushing a partial frame."""

import asyncio
import contextlib
import gc
import struct
import time
import weakref

import pytest
from aio_support import idle, params, run

import ostrel

pytestmark = pytest.mark.usefixtures("nothing_left_behind")

RATE, MS = 48000, 20
FRAME = RATE * MS // 1000  # samples per frame


def speech(frames, start=0):
    """PCM whose every sample holds the number of its frame."""
    return b"".join(struct.pack("<h", start + i) * FRAME for i in range(frames))


def loop_time():
    return asyncio.get_running_loop().time()


@contextlib.asynccontextmanager
async def _speaking(room):
    """A listener, and the paced sender of a bot in the same room."""
    async with ostrel.aio.connect(params("listener", room)) as listener:
        async with ostrel.aio.connect(params("bot", room)) as bot:
            yield listener, bot.audio_sender(RATE, 1, MS)


def test_paced_in_real_time_and_complete():
    async def main():
        async with _speaking("pace") as (listener, sender):
            heard = listener.events("OnRemoteAudioReceived", maxsize=200)
            start = loop_time()
            await sender.write(speech(50))  # one second
            returned = loop_time() - start
            assert sender.queued_ms <= MS  # returned within the lead
            await sender.drain()
            assert sender.queued_ms == 0 and sender.frames_sent == 50
            events = [await heard.__anext__() for _ in range(50)]
            # Never ahead of the clock by more than one frame: frame k cannot arrive before k - 1
            # frame lengths passed since the first, and the write cannot return before 48 did.
            assert all(e.time - events[0].time >= (k - 1) * MS / 1000 for k, e in enumerate(events))
            assert returned >= 48 * MS / 1000 - 0.005
            assert b"".join(e.args[1].data for e in events) == speech(50)
            assert heard.stats.dropped == 0

    run(main())


def test_clear_stops_within_a_frame_and_releases_the_writer():
    async def main():
        async with _speaking("barge") as (listener, sender):
            heard = listener.audio("bot", maxsize=500)
            start = loop_time()
            writing = asyncio.ensure_future(sender.write(speech(150)))  # three seconds
            await asyncio.sleep(0.3)
            elapsed = loop_time() - start
            sender.clear()
            await asyncio.wait_for(writing, 5)  # the waiting write returns
            assert sender.queued_ms == 0 and sender.frames_cleared > 0
            sent = sender.frames_sent
            assert sent + sender.frames_cleared == 150
            assert sent <= int(elapsed * 1000 / MS) + 1  # nothing ahead of the clock but one frame
            await asyncio.sleep(0.1)
            idle()
            await asyncio.sleep(0)
            assert heard.stats.received == sent  # nothing went out after clear()
            # The sender speaks again after a barge-in, starting from its next write.
            await sender.write(speech(2, start=500))
            await sender.drain()
            got = [heard.take_nowait() for _ in range(sent)]
            assert got[-1] is not None and got[-1].data == speech(1, start=sent - 1)

    run(main())


def test_drain_pads_the_last_partial_frame():
    async def main():
        async with _speaking("drain") as (listener, sender):
            heard = listener.audio("bot")
            half = FRAME // 2 * 2  # bytes of half a frame
            await sender.write(speech(1) + b"\x01\x00" * (FRAME // 2))
            assert sender.queued_ms > 0
            await sender.drain()
            frames = [await heard.__anext__() for _ in range(2)]
            assert frames[0].data == speech(1)
            assert frames[1].data == b"\x01\x00" * (FRAME // 2) + bytes(half)

    run(main())


def test_bad_input_is_refused_before_the_sdk_and_numpy_pcm_works():
    numpy = pytest.importorskip("numpy")

    async def main():
        async with ostrel.aio.connect(params("listener", "input")) as listener, ostrel.aio.connect(
            params("bot", "input")
        ) as bot:
            heard = listener.audio("bot")
            sender = bot.audio_sender(RATE, 1, MS)
            with pytest.raises(ValueError, match="48000 Hz"):
                bot.audio_sender(16000)  # the channel the first sender made would refuse every frame
            for bad in ({"frame_ms": 0}, {"sample_rate": -1}, {"channels": 0}, {"sample_rate": 44100, "frame_ms": 15}):
                with pytest.raises(ValueError):
                    bot.audio_sender(**bad)
            for pcm, error in (
                ("text", TypeError),
                (numpy.zeros(FRAME, numpy.float32), TypeError),
                (b"\0", ValueError),
            ):
                with pytest.raises(error):
                    await sender.write(pcm)
            # numpy int16 after half a frame of bytes; the block's end then leaves cleanly.
            await sender.write(speech(2)[:FRAME])
            await sender.write(numpy.frombuffer(speech(2)[FRAME:], numpy.int16))
            await sender.drain()
            assert sender.frames_sent == 2 and (await heard.__anext__()).data == speech(1)

    run(main())


def test_frames_the_sdk_refuses_raise_sdk_error(caplog):
    async def main():
        async with ostrel.aio.connect(params("listener", "refused")) as listener, ostrel.aio.connect(
            params("bot", "refused")
        ) as bot:
            heard = listener.audio("bot")
            at_16k = ostrel.AudioEncodeParams()
            at_16k.sample_rate = 16000
            assert bot.cloud.CreateLocalAudioChannel(at_16k) == 0  # made by hand: the layer cannot check
            idle()
            await asyncio.sleep(0.05)  # the layer has seen the channel made
            sender = bot.audio_sender(RATE, 1, MS)
            with pytest.raises(ostrel.aio.SdkError) as caught:
                await sender.write(speech(25))
            assert caught.value.code_name == "ERR_INVALID_PARAMETER"
            assert (sender.frames_sent, sender.frames_failed, sender.frames_cleared) == (0, 1, 24)
            idle()
            assert heard.take_nowait() is None

    run(main())
    assert "refused a frame: ERR_INVALID_PARAMETER (-2)" in caplog.text


def test_default_sender_speaks_what_it_hears_frames_checked_and_lateness_counted(caplog):
    async def main():
        async with ostrel.aio.connect(params("listener", "format", rate=16000)) as listener, ostrel.aio.connect(
            params("bot", "format", rate=16000, frame_ms=40)
        ) as bot:
            heard = listener.audio("bot", maxsize=100)
            sender = bot.audio_sender()
            assert (sender.sample_rate, sender.channels, sender.frame_ms) == (16000, 1, 40)
            frame = ostrel.AudioFrame()
            frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
            frame.SetData(bytes(1920))
            with pytest.raises(ValueError, match="48000 Hz.*16000 Hz"):
                await sender.write(frame)  # never a silent change of speed
            frame.sample_rate = 16000
            pcm = struct.pack("<640h", *range(640))  # 40 ms at 16 kHz
            frame.SetData(pcm)
            await sender.write(frame)
            await sender.drain()
            assert b"".join([(await heard.__anext__()).data for _ in range(2)]) == pcm  # heard in 20 ms frames
            # A loop blocked well past the catch-up limit: frames go out late, counted, one warning.
            writing = asyncio.ensure_future(sender.write(bytes(1280 * 25)))
            await asyncio.sleep(0.1)
            time.sleep(0.4)
            await writing
            await sender.drain()
            stats = sender.stats
            assert stats.late > 0 and stats.max_late_ms >= 300 and stats.fell_behind >= 1
            assert "late" in repr(sender)

    run(main())
    assert caplog.text.count("behind real time") == 1


def test_a_finished_loop_keeps_nothing_of_the_layer_alive():
    # Senders share one pacer per loop and hubs one wake-up per loop; neither keeps a loop, a
    # sender or a hub alive once the loop is done with.
    alive = []

    async def main():
        async with _speaking("gone") as (listener, sender):
            asyncio.ensure_future(sender.write(speech(10)))
            await asyncio.sleep(0.05)
            alive.extend(weakref.ref(o) for o in (sender, listener._hub, asyncio.get_running_loop()))

    run(main())
    gc.collect()
    assert [ref() for ref in alive] == [None, None, None]


def test_the_pacer_wakes_each_sender_at_its_moment(loopback):
    # Senders at other phases: one that asks again while another's moment still waits must not
    # move the loop's one timer past that moment. In virtual time a moment is met exactly.
    from ostrel.aio._pacer import Pacer

    class Sender:
        def __init__(self, pacer, period):
            self.pacer, self.period, self.late = pacer, period, []

        @property
        def ref(self):
            return weakref.ref(self)

        def due(self, when, now):
            self.late.append(now - when)
            self.pacer.ask(self, when + self.period)

    async def main():
        pacer = Pacer(asyncio.get_running_loop())
        start = loop_time()
        senders = [Sender(pacer, 0.020) for _ in range(3)]
        for phase, sender in zip((0.010, 0.017, 0.020), senders):
            pacer.ask(sender, start + phase)
        await asyncio.sleep(1.0)
        return senders

    senders = loopback.run(main())
    assert all(len(s.late) >= 49 and max(s.late) <= 0.0005 for s in senders), [max(s.late) for s in senders]
